// Fuzz target for joinPath: the input, split at its NUL bytes, gives the
// parts. Both calling forms must give what a plain model of the joining rules
// gives: the non-empty parts joined with '/', then every run of '/' and '\'
// written as one '/'.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fuzzCheck.h"
#include "joinPath.h"

namespace {

std::string model(const std::vector<std::string> &parts) {
    std::string joined;
    for (const std::string &part : parts) {
        if (part.empty()) continue;
        if (!joined.empty()) joined += '/';
        joined += part;
    }
    std::string result;
    bool inRun = false;
    for (char c : joined) {
        bool separator = c == '/' || c == '\\';
        if (!separator)
            result += c;
        else if (!inRun)
            result += '/';
        inRun = separator;
    }
    return result;
}

// The variable-argument form for up to eight parts.
char *joinVariadic(const std::vector<char *> &p) {
    switch (p.size()) {
    case 0: return joinPath(nullptr, nullptr);
    case 1: return joinPath(nullptr, p[0], nullptr);
    case 2: return joinPath(nullptr, p[0], p[1], nullptr);
    case 3: return joinPath(nullptr, p[0], p[1], p[2], nullptr);
    case 4: return joinPath(nullptr, p[0], p[1], p[2], p[3], nullptr);
    case 5: return joinPath(nullptr, p[0], p[1], p[2], p[3], p[4], nullptr);
    case 6: return joinPath(nullptr, p[0], p[1], p[2], p[3], p[4], p[5], nullptr);
    case 7: return joinPath(nullptr, p[0], p[1], p[2], p[3], p[4], p[5], p[6], nullptr);
    case 8: return joinPath(nullptr, p[0], p[1], p[2], p[3], p[4], p[5], p[6], p[7], nullptr);
    default: return nullptr;
    }
}

void check(const char *result, const std::string &expected) {
    FUZZ_CHECK(result != nullptr);
    FUZZ_CHECK(result == expected);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    // No input gives no parts; otherwise every NUL ends one part and begins
    // the next, so empty parts arise wherever two NULs meet.
    std::vector<std::string> parts;
    if (size > 0) {
        const char *text = reinterpret_cast<const char *>(data);
        size_t start = 0;
        for (size_t i = 0; i <= size; ++i) {
            if (i == size || text[i] == '\0') {
                parts.emplace_back(text + start, i - start);
                start = i + 1;
            }
        }
    }

    // Each part in a heap block of its exact size, so that a read past its
    // terminator is caught.
    std::vector<char *> copies;
    for (const std::string &part : parts) {
        char *copy = static_cast<char *>(std::malloc(part.size() + 1));
        std::memcpy(copy, part.c_str(), part.size() + 1);
        copies.push_back(copy);
    }
    const std::string expected = model(parts);

    std::vector<char *> array = copies;
    array.push_back(nullptr);
    char *fromArray = joinPath(array.data());
    check(fromArray, expected);
    std::free(fromArray);

    if (copies.size() <= 8) {
        char *fromList = joinVariadic(copies);
        check(fromList, expected);
        std::free(fromList);
    }

    for (char *copy : copies) std::free(copy);
    return 0;
}
