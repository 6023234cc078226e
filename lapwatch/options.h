// lapwatch's command line, read into a value: the parser writes nothing and
// ends nothing, so that main alone carries out help, the banner and a
// refusal, and every command line can be tried in-process.
//
// Every refusal of the command line is lapwatch's usage (the message, then
// the help text, on standard error, status 1): misuse, with an empty message
// where getopt has already complained. The one failure is the internal error
// of an option letter that the option string has and the switch has not.
// What needs the file system (the report and export files) or the commands
// as split at the separator (an empty command, too many runs) is checked by
// main, after the report file is opened, as it always was.
#pragma once

#include "parsedOptions.h"
#include "series.h"

struct Options {
    bool resourceUsage = false;        // -r: CPU time and peak memory after the report
    const char *reportFile = nullptr;  // -o FILE: the report there, not on standard error
    bool append = false;               // -a: the report file is appended to
    // Any of the options of a series makes the run a series, of one run
    // or many, whose report is the series' summary.
    bool series = false;
    SeriesSettings settings;
    const char *separator = "---";     // -S WORD
    bool quiet = false;                // -q: the command's output to /dev/null
    const char *jsonFile = nullptr;    // --json FILE
    const char *csvFile = nullptr;     // --csv FILE
    int command = 0;                   // argv index of the command's name, the first operand
};

// Reads argv with getopt (from the start: its scan is restarted) and the two
// long options of its own. Options end at the first argument that is not
// one; the command's own options are never looked at. The strings of the
// result point into argv.
ParsedOptions<Options> parseOptions(int argc, char *argv[]);

// A count of runs (-n, -w): decimal digits alone, from `least` to
// kMaxSeriesRuns. False for anything else.
bool runCount(const char *text, long least, long *value);

// A time limit (-t) in seconds: a number as strtod reads it, starting with a
// digit or a point, with nothing after it, above 0 and at most 1000000.
// False for anything else.
bool timeLimit(const char *text, double *value);
