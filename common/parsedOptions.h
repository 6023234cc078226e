// What a tool's option parser found, as a value: the options to run with, or
// the ending that the command line asks for, which the tool's main carries
// out (help, the banner, or a refusal with its message). The parser itself
// writes nothing and ends nothing (getopt's own complaints about an unknown
// option aside, which opterr silences), so that every command line can be
// tried in-process by the tests and the fuzzers.
#pragma once

#include <cstdarg>
#include <cstdio>
#include <string>

enum class ParseEnding {
    run,      // the options are complete: go on
    help,     // the help text to standard output, status 0
    banner,   // the version banner, status 0
    misuse,   // a wrong command line, reported as the tool reports misuse
              // (its help text or its hint follows; the message may be empty)
    failure,  // a plain diagnostic with the message, status 1
};

template <class Options>
struct ParsedOptions {
    Options options{};
    ParseEnding ending = ParseEnding::run;
    std::string message;  // for misuse and failure: the text after "prog: "

    bool runs() const { return ending == ParseEnding::run; }
};

// printf into a string, for the parsers' messages.
[[gnu::format(printf, 1, 2)]] inline std::string formatMessage(const char *format, ...) {
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    const int length = std::vsnprintf(nullptr, 0, format, args);
    va_end(args);
    std::string text(length > 0 ? static_cast<std::size_t>(length) : 0, '\0');
    if (length > 0) std::vsnprintf(text.data(), text.size() + 1, format, again);
    va_end(again);
    return text;
}
