// What the tests of lapwatch share: the tool's path, and the patterns of its
// start-time line and its report.
#pragma once

#include <regex>
#include <string>

inline const std::string tool = LAPWATCH_PATH;

inline const std::string startLine = R"(lapwatch: Start time: \d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\n)";

// The start-time line, a blank line, then the report for `command`.
inline std::regex reportPattern(const std::string &command, const std::string &interval) {
    return std::regex(startLine + "\n\"" + command + "\" wall-clock run time: " + interval +
                      R"( \(\d+\.\d{6} seconds total\)\.\n)");
}
