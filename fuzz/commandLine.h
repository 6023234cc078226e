// The fuzzer's bytes as a command line: arguments separated by NUL bytes,
// after the tool's name as argv[0], at most kMostArguments of them, with the
// null pointer after the last, as main receives them. The strings are owned
// here; argv() may be rearranged by getopt, as a real argv may.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

class CommandLine {
public:
    static constexpr std::size_t kMostArguments = 24;

    CommandLine(const char *toolName, const uint8_t *data, std::size_t size) {
        texts_.emplace_back(toolName);
        std::string current;
        for (std::size_t i = 0; i < size && texts_.size() <= kMostArguments; ++i) {
            if (data[i] == '\0') {
                texts_.push_back(current);
                current.clear();
            } else {
                current.push_back(static_cast<char>(data[i]));
            }
        }
        if (texts_.size() <= kMostArguments && (size == 0 || data[size - 1] != '\0')) texts_.push_back(current);
        if (size == 0) texts_.pop_back();
        reset();
    }

    // Points argv() at the original arguments again, in their order.
    void reset() {
        pointers_.clear();
        for (std::string &text : texts_) pointers_.push_back(text.data());
        pointers_.push_back(nullptr);
    }

    int argc() const { return static_cast<int>(texts_.size()); }
    char **argv() { return pointers_.data(); }
    const std::vector<std::string> &texts() const { return texts_; }

    // Calls check(text) on every argument's text and on the text after its
    // first "=", where a number parser may meet either.
    template <class Check>
    void forEachValueText(Check check) const {
        for (const std::string &text : texts_) {
            // Embedded NULs cannot occur: the arguments were split on them.
            check(text);
            const std::size_t equals = text.find('=');
            if (equals != std::string::npos) check(text.substr(equals + 1));
        }
    }

private:
    std::vector<std::string> texts_;
    std::vector<char *> pointers_;
};
