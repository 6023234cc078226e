// octetTally's command line, read into a value: the parser writes nothing
// and ends nothing, so that main alone carries out help, the banner and a
// refusal, and every command line can be tried in-process.
#pragma once

#include <cstdint>

#include "entropyChart.h"
#include "parsedOptions.h"

struct Options {
    bool numericOrder = false;        // -r
    bool statistics = false;          // -e: every statistic
    bool plainTable = false;          // -c
    bool map = false;                 // -m
    bool json = false;                // -j
    std::int64_t blockSize = 0;       // -b; 0: none, else at least 64
    std::int64_t offset = 0;          // --offset
    std::int64_t length = -1;         // --length; -1: to the end
    double rising = kDefaultRising;   // --high
    double falling = kDefaultFalling; // --low
    const char *inName = nullptr;     // null: standard input
    const char *outName = nullptr;    // null: standard output; set only with inName
};

// Reads the arguments as the tool always has: option clusters up to the
// first file name, a lone "-" or "--", then at most two file names. The
// first bad option wins; the options that cannot go together and the count
// of file names are looked at after the scan. A refusal leaves the options
// at their defaults.
//
// A refusal comes in the tool's two forms, both a single line "prog: message"
// with status 1 and no help text: misuse has the hint "prog -h" for help on
// the next line, failure has none. Failure is only "Unknown option -x", which
// the tool has always reported without the hint; every other mistake on the
// command line is misuse.
ParsedOptions<Options> parseOptions(int argc, char **argv);

// A size: decimal digits, then K, M or G for that power of 1,024. Returns
// false for anything else, or a size past 2^63 - 1.
bool parseSize(const char *text, std::int64_t *value);

// A threshold in bits per byte, 0 to 8 once read as a double: a number as
// strtod reads it (decimal, or hexadecimal after 0x, either with an
// exponent) that begins with a digit or a point, so no blanks, sign,
// infinity or nan. A number that strtod finds out of a double's range is
// refused.
bool parseBits(const char *text, double *value);
