#include "options.h"

#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>

namespace {

// "+": options end at the first operand, the command. "-": "--anything",
// which getopt reads as the letters of "-anything", shows the help.
const char optionLetters[] = "+hH-vVro:n:w:it:qS:a";

constexpr double kMaxLimit = 1e6;

ParsedOptions<Options> ended(ParseEnding ending, std::string message = {}) {
    ParsedOptions<Options> parsed;
    parsed.ending = ending;
    parsed.message = std::move(message);
    return parsed;
}

// Whether an option took the argument, and whether it refused it.
enum class Taken { no, yes, refused };

// getopt starts afresh when optind is 0, but only at its next call: a scan
// that ended inside a cluster ("-hx") would otherwise go on from the middle
// of the previous argv. --json may move optind before that call, so the
// restart is made at once, on a list of no arguments.
void restartScan() {
    char name[] = "lapwatch";
    char *none[] = {name, nullptr};
    optind = 0;
    getopt(1, none, optionLetters);
    optind = 1;
}

// --json FILE, --csv FILE and their "=FILE" forms, taken before getopt sees
// them, which would show the help for any other "--word". Looks at the
// argument at optind.
Taken takeLongOption(int argc, char **argv, ParsedOptions<Options> *parsed) {
    const char *names[] = {"--json", "--csv"};
    const char **files[] = {&parsed->options.jsonFile, &parsed->options.csvFile};
    for (int i = 0; i < 2; ++i) {
        size_t length = std::strlen(names[i]);
        const char *word = argv[optind];
        if (std::strncmp(word, names[i], length) != 0 || (word[length] != '\0' && word[length] != '=')) continue;
        const char *file = nullptr;
        if (word[length] == '=') {
            file = word + length + 1;
            optind += 1;
        } else if (optind + 1 < argc) {
            file = argv[optind + 1];
            optind += 2;
        }
        if (file == nullptr || *file == '\0') {
            parsed->message = formatMessage("Option %s needs a FILE.", names[i]);
            return Taken::refused;
        }
        *files[i] = file;
        parsed->options.series = true;
        return Taken::yes;
    }
    return Taken::no;
}

// The options of a series, with their value in optarg.
Taken takeSeriesOption(int option, ParsedOptions<Options> *parsed) {
    Options &options = parsed->options;
    switch (option) {
    case 'n':
    case 'w': {
        const long least = option == 'n' ? 1 : 0;
        long *count = option == 'n' ? &options.settings.runs : &options.settings.warmups;
        if (!runCount(optarg, least, count)) {
            parsed->message = formatMessage("Number \"%s\" for option -%c must be a whole number from %ld to %ld.",
                                            optarg, option, least, kMaxSeriesRuns);
            return Taken::refused;
        }
        break;
    }
    case 'i': options.settings.ignoreFailures = true; break;
    case 't':
        if (!timeLimit(optarg, &options.settings.timeLimit)) {
            parsed->message = formatMessage(
                "Time limit \"%s\" for option -t must be a number of seconds above 0 and at most %g.", optarg, kMaxLimit);
            return Taken::refused;
        }
        break;
    case 'q': options.quiet = true; break;
    case 'S':
        if (*optarg == '\0') {
            parsed->message = "Separator for option -S must not be empty.";
            return Taken::refused;
        }
        options.separator = optarg;
        break;
    default: return Taken::no;
    }
    options.series = true;
    return Taken::yes;
}

}  // namespace

bool runCount(const char *text, long least, long *value) {
    char *end = nullptr;
    errno = 0;
    long count = std::strtol(text, &end, 10);
    if (*text < '0' || *text > '9' || *end != '\0' || errno != 0 || count < least || count > kMaxSeriesRuns) {
        return false;
    }
    *value = count;
    return true;
}

bool timeLimit(const char *text, double *value) {
    char *end = nullptr;
    double limit = std::strtod(text, &end);
    bool plain = (*text >= '0' && *text <= '9') || *text == '.';
    if (!plain || *end != '\0' || !std::isfinite(limit) || limit <= 0 || limit > kMaxLimit) return false;
    *value = limit;
    return true;
}

ParsedOptions<Options> parseOptions(int argc, char *argv[]) {
    ParsedOptions<Options> parsed;
    Options &options = parsed.options;
    restartScan();
    for (;;) {
        Taken taken = optind < argc ? takeLongOption(argc, argv, &parsed) : Taken::no;
        if (taken == Taken::refused) return ended(ParseEnding::misuse, std::move(parsed.message));
        if (taken == Taken::yes) continue;
        int option = getopt(argc, argv, optionLetters);
        if (option == -1) break;
        taken = takeSeriesOption(option, &parsed);
        if (taken == Taken::refused) return ended(ParseEnding::misuse, std::move(parsed.message));
        if (taken == Taken::yes) continue;
        switch (option) {
        case 'r': options.resourceUsage = true; break;
        case 'o': options.reportFile = optarg; break;
        case 'a': options.append = true; break;
        case 'h':
        case 'H':
        case '-': return ended(ParseEnding::help);
        case '?': return ended(ParseEnding::misuse);  // getopt has said what was wrong
        case 'v':
        case 'V': return ended(ParseEnding::banner);
        default:
            return ended(ParseEnding::failure,
                         formatMessage("Internal error in file %s at line no. %d.\n", __FILE_NAME__, __LINE__));
        }
    }
    if (options.append && options.reportFile == nullptr) {
        return ended(ParseEnding::misuse, "Option -a needs -o FILE to append to.");
    }
    if (optind >= argc) return ended(ParseEnding::misuse, "Missing command_name.");
    if (*argv[optind] == '\0') return ended(ParseEnding::misuse, "Zero-length command_name.");
    options.command = optind;
    return parsed;
}
