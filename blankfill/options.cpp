// blankfill's command line read into a value; see options.h.
#include "options.h"

#include <getopt.h>

#include <cctype>
#include <cstdlib>
#include <utility>

#include "expandTabs.h"
#include "projectSettings.h"

namespace {

// The long options that have no letter.
enum : int { kCheckOption = 256, kDiffOption, kEditorConfigOption };

const option longOptions[] = {
    {"tab-size", required_argument, nullptr, 'n'},
    {"in-place", no_argument, nullptr, 'i'},
    {"preserve-dates", no_argument, nullptr, 'p'},
    {"leading-only", no_argument, nullptr, 'l'},
    {"verbose", no_argument, nullptr, 'V'},
    {"utf8", no_argument, nullptr, 'u'},
    {"tabs", required_argument, nullptr, 't'},
    {"check", no_argument, nullptr, kCheckOption},
    {"diff", no_argument, nullptr, kDiffOption},
    {"editorconfig", no_argument, nullptr, kEditorConfigOption},
    {"help", no_argument, nullptr, 'h'},
    {"version", no_argument, nullptr, 'v'},
    {nullptr, 0, nullptr, 0},
};

// Sets an ending other than a run. The list of stops goes with it, since
// nothing reads it then.
void end(ParsedOptions<Options> &parsed, ParseEnding ending, std::string message = {},
         Refusal refusal = Refusal::usual) {
    std::free(parsed.options.stops.stops);
    parsed.options.stops = TabStops{};
    parsed.options.refusal = refusal;
    parsed.ending = ending;
    parsed.message = std::move(message);
}

// -n: a spacing, which replaces what an earlier -n or -t gave.
bool readTabSize(ParsedOptions<Options> &parsed, const char *text) {
    Options &o = parsed.options;
    bool tooLarge;
    o.spacing = readSpacing(text, &tooLarge);
    if (o.spacing < 1) {
        end(parsed, ParseEnding::misuse,
            "Incorrect or missing value for option -n.  Tab spacing must be 1 or\ngreater.");
        return false;
    }
    if (tooLarge) {
        end(parsed, ParseEnding::misuse,
            formatMessage("Tab spacing \"%s\" for option -n is too large.  It must be no greater than\n%lld.", text,
                          static_cast<long long>(kMaxSpacing)));
        return false;
    }
    std::free(o.stops.stops);
    o.stops = TabStops{};
    return true;
}

// -t: a single number is a spacing, as with -n; a list replaces it. Either
// replaces what an earlier -n or -t gave.
bool readTabStops(ParsedOptions<Options> &parsed, const char *text) {
    Options &o = parsed.options;
    int64_t spacing = 0;
    std::free(o.stops.stops);
    if (const char *reason = parseTabStops(text, &o.stops, &spacing)) {
        end(parsed, ParseEnding::misuse,
            formatMessage("Tab stops \"%s\" for option -t are not valid: %s.", text, reason));
        return false;
    }
    o.spacing = spacing;
    return true;
}

// One option met by the loop; false when it ends the parse.
bool readOption(ParsedOptions<Options> &parsed, int option) {
    Options &o = parsed.options;
    switch (option) {
    case 'i':
        o.inPlace = true;
        return true;
    case 'p':
        o.preserveDates = true;
        return true;
    case 'l':
        o.leadingOnly = true;
        return true;
    case 'V':
        o.verbose = true;
        return true;
    case 'u':
        o.displayWidths = true;
        return true;
    case 'n':
        return readTabSize(parsed, optarg);
    case 't':
        return readTabStops(parsed, optarg);
    case kCheckOption:
        o.check = true;
        return true;
    case kDiffOption:
        o.diff = true;
        return true;
    case kEditorConfigOption:
        o.editorConfig = true;
        return true;
    case 'h':
    case 'H':
        end(parsed, ParseEnding::help);
        return false;
    case 'v':
        end(parsed, ParseEnding::banner);
        return false;
    case '?':  // getopt has said what was wrong
        end(parsed, ParseEnding::misuse);
        return false;
    default:
        end(parsed, ParseEnding::failure,
            formatMessage("Internal error in file \"%s\" at line no. %d.\n", __FILE_NAME__, __LINE__));
        return false;
    }
}

// The checks made once the options are known, in their order; false when
// one of them ends the parse.
bool operandsFit(ParsedOptions<Options> &parsed, int operands) {
    const Options &o = parsed.options;
    const ParseEnding misuse = ParseEnding::misuse;
    if (operands >= 3 && !o.inPlace && !looking(o)) {
        end(parsed, misuse, "Too many files given.  You must use option -i to convert files in-place.");
    } else if (operands == 0 && o.inPlace) {
        end(parsed, misuse, "You must provide one or more file name(s) with option -i (--in-place).");
    } else if (o.preserveDates && !o.inPlace) {
        end(parsed, ParseEnding::failure, "option -p can be used only with option -i.", Refusal::bare);
    } else if (o.verbose && !o.inPlace && !looking(o)) {
        end(parsed, ParseEnding::failure, "option -V can be used only with option -i.", Refusal::bare);
    } else if (o.inPlace + o.check + o.diff > 1) {
        end(parsed, misuse, "Options -i, --check and --diff cannot be used together.");
    } else if (operands == 0 && o.diff) {
        end(parsed, misuse, "You must provide one or more file name(s) with option --diff.");
    } else if (o.editorConfig && !o.inPlace && !looking(o)) {
        end(parsed, misuse, "Option --editorconfig can be used only with -i, --check or --diff.");
    } else if (o.editorConfig && !projectSettingsAvailable()) {
        end(parsed, ParseEnding::failure,
            "Option --editorconfig needs the EditorConfig library, which this build of blankfill was made without.");
    } else {
        return true;
    }
    return false;
}

// -n or -t wins; else the variable when set and not empty; else the default.
void takeVariable(ParsedOptions<Options> &parsed, const char *value) {
    Options &o = parsed.options;
    if (o.spacing != 0 || o.stops.count != 0) return;
    if (value == nullptr || *value == '\0') {
        o.spacing = kDefaultSpacing;
        return;
    }
    bool tooLarge;
    const int64_t spacing = readSpacing(value, &tooLarge);
    if (spacing < 1) {
        end(parsed, ParseEnding::misuse,
            formatMessage("Cannot set tab spacing to %lld.  It must be a whole number, 1 or greater.\n",
                          static_cast<long long>(spacing)),
            Refusal::variable);
    } else if (tooLarge) {
        end(parsed, ParseEnding::misuse,
            formatMessage("Cannot set tab spacing to \"%s\".  It must be no greater than %lld.\n", value,
                          static_cast<long long>(kMaxSpacing)),
            Refusal::variable);
    } else {
        o.spacing = spacing;
    }
}

}  // namespace

int64_t readSpacing(const char *text, bool *tooLarge) {
    while (std::isspace(static_cast<unsigned char>(*text))) ++text;
    bool negative = *text == '-';
    if (*text == '-' || *text == '+') ++text;
    uint64_t value = 0;
    *tooLarge = false;
    const uint64_t largest = static_cast<uint64_t>(kMaxSpacing);
    for (; *text >= '0' && *text <= '9'; ++text) {
        uint64_t digit = static_cast<uint64_t>(*text - '0');
        value = value > (largest - digit) / 10 ? largest + 1 : value * 10 + digit;
    }
    if (value > largest) {
        if (negative) return -kMaxSpacing;
        *tooLarge = true;
        return kMaxSpacing;
    }
    return negative ? -static_cast<int64_t>(value) : static_cast<int64_t>(value);
}

ParsedOptions<Options> parseOptions(int argc, char *argv[], const char *spacingVariable) {
    ParsedOptions<Options> parsed;
    optind = 0;  // a full restart of getopt's scan
    int option;
    while ((option = getopt_long(argc, argv, "iplVn:hHvut:", longOptions, nullptr)) != -1) {
        if (!readOption(parsed, option)) return parsed;
    }
    parsed.options.firstOperand = optind;
    if (operandsFit(parsed, argc - optind)) takeVariable(parsed, spacingVariable);
    return parsed;
}
