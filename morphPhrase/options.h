// morphPhrase's command line, read into a value: the parser writes nothing
// and ends nothing, so that main alone carries out help, the banner and a
// refusal, and every command line can be tried in-process.
#pragma once

#include <cstdint>

#include "parsedOptions.h"

struct Options {
    int64_t updatePeriod = 0;  // 0: show the phrase only at the end
    bool fromStdin = false;    // -s
    bool seeded = false;       // --seed given
    uint64_t seed = 0;
    int firstWord = 0;         // argv index of the phrase's first word
};

// Reads argv with getopt_long (from the start: optind is reset). For misuse
// the message is the text usage() shows above the help, empty when getopt
// has already complained.
ParsedOptions<Options> parseOptions(int argc, char *argv[]);

// -u's value: 1 to 9223372036854775807, read as strtoll reads it (leading
// blanks and a sign accepted, anything after the number ignored). False for
// anything else.
bool parseUpdatePeriod(const char *text, int64_t *value);

// --seed's value: 0 to 18446744073709551615 in decimal digits alone.
bool parseSeed(const char *text, uint64_t *value);
