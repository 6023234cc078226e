// blankfill's command line, read into a value together with the spacing that
// BLANKFILL_SPACING gives: the parser writes nothing and ends nothing, so
// that main alone carries out help, the banner and a refusal, and every
// command line can be tried in-process.
#pragma once

#include <cstdint>

#include "parsedOptions.h"
#include "tabStops.h"

constexpr int kDefaultSpacing = 4;

// How main reports a refusal where the ending alone does not say. Two of the
// tool's refusals have always been reported their own way: -p and -V without
// -i are written bare, "prog: message" with no newline, nothing flushed and
// no help (a failure); and a refused BLANKFILL_SPACING (a misuse) is judged
// only once main has asked the system whether -u can be had, as that check
// comes before it.
enum class Refusal : unsigned char {
    usual,     // misuse: the message and the help; failure: error(1, 0, ...)
    bare,      // failure: the message alone, no newline, status 1
    variable,  // misuse of BLANKFILL_SPACING, reported after -u's check
};

struct Options {
    int64_t spacing = 0;  // with a run: 0 exactly when a list of stops is given
    bool inPlace = false;
    bool preserveDates = false;
    bool leadingOnly = false;
    bool verbose = false;
    bool displayWidths = false;  // -u: columns by display width in UTF-8
    bool check = false;          // --check: report the lines that would change
    bool diff = false;           // --diff: show the conversion as a unified diff
    bool editorConfig = false;   // --editorconfig: each file's settings from .editorconfig
    TabStops stops;              // -t with a list: the stops in place of the spacing (malloc's)
    int firstOperand = 0;        // argv index of the first file name
    Refusal refusal = Refusal::usual;
};

// Whether the tool only looks at the files (--check, --diff).
inline bool looking(const Options &options) { return options.check || options.diff; }

// Reads argv with getopt_long (from the start: optind is reset), makes the
// checks that need nothing but the command line, in their order, and, when
// neither -n nor -t is given, takes the spacing from `spacingVariable`
// (BLANKFILL_SPACING's value, null when it is unset). For misuse the message
// is the text usage() shows above the help, empty when getopt has already
// complained. A run's list of stops is the caller's; no other ending holds
// one.
ParsedOptions<Options> parseOptions(int argc, char *argv[], const char *spacingVariable);

// A tab spacing (-n's value, BLANKFILL_SPACING) read the way atoi reads a
// number (leading blanks, a sign, digits up to the first non-digit, none
// giving 0), but never overflowing: *tooLarge tells a spacing above
// kMaxSpacing, which is then returned, and a negative one far below 1 gives
// -kMaxSpacing.
int64_t readSpacing(const char *text, bool *tooLarge);
