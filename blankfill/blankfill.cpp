// blankfill: replace tab characters with runs of spaces, either as a filter
// from one stream to another or in place on any number of files.
#include <fcntl.h>
#include <getopt.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cassert>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "checkMode.h"
#include "expandTabs.h"
#include "error.h"
#include "projectSettings.h"
#include "replaceFile.h"
#include "signals.h"
#include "tabStops.h"

char blankfill_rcsid[] = "$Id: blankfill.c,v 3.16 2019-01-11 12:41:25-05 devteam Exp $";

namespace {

const char compiledDateTime[] = "Compiled " SUITE_BUILD_DATE " at " SUITE_BUILD_TIME " EST";

constexpr int kDefaultSpacing = 4;

struct Options {
    int64_t spacing = 0;  // 0: no -n given
    bool inPlace = false;
    bool preserveDates = false;
    bool leadingOnly = false;
    bool verbose = false;
    bool displayWidths = false;  // -u: columns by display width in UTF-8
    bool check = false;          // --check: report the lines that would change
    bool diff = false;           // --diff: show the conversion as a unified diff
    bool editorConfig = false;   // --editorconfig: each file's settings from .editorconfig
    TabStops stops;              // -t with a list: the stops in place of the spacing
};

// The long options that have no letter.
enum : int { kCheckOption = 256, kDiffOption, kEditorConfigOption };

// Whether the tool only looks at the files (--check, --diff).
bool looking(const Options &options) { return options.check || options.diff; }

// -t: a single number is a spacing, as with -n; a list replaces it. Either
// replaces what an earlier -n or -t gave.
void readTabStops(Options &options, const char *text) {
    int64_t spacing = 0;
    std::free(options.stops.stops);
    if (const char *reason = parseTabStops(text, &options.stops, &spacing)) {
        usage(stderr, "Tab stops \"%s\" for option -t are not valid: %s.", text, reason);
    }
    options.spacing = spacing;
}

// A tab spacing read the way atoi reads a number (leading blanks, a sign,
// digits up to the first non-digit, none giving 0), but never overflowing:
// *tooLarge tells a spacing above the largest the filter takes, and one far
// below 1 stays below 1.
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

Options parseOptions(int argc, char *argv[]) {
    static const struct option longOptions[] = {
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
    Options options;
    int option;
    while ((option = getopt_long(argc, argv, "iplVn:hHvut:", longOptions, nullptr)) != -1) {
        switch (option) {
        case 'i':
            options.inPlace = true;
            break;
        case 'p':
            options.preserveDates = true;
            break;
        case 'l':
            options.leadingOnly = true;
            break;
        case 'V':
            options.verbose = true;
            break;
        case 'u':
            options.displayWidths = true;
            break;
        case 'n': {
            bool tooLarge;
            options.spacing = readSpacing(optarg, &tooLarge);
            if (options.spacing < 1) {
                usage(stderr, "Incorrect or missing value for option -n.  Tab spacing must be 1 or\ngreater.");
            }
            if (tooLarge) {
                usage(stderr, "Tab spacing \"%s\" for option -n is too large.  It must be no greater than\n%lld.",
                      optarg, static_cast<long long>(kMaxSpacing));
            }
            std::free(options.stops.stops);
            options.stops = TabStops{};
            break;
        }
        case 't':
            readTabStops(options, optarg);
            break;
        case kCheckOption:
            options.check = true;
            break;
        case kDiffOption:
            options.diff = true;
            break;
        case kEditorConfigOption:
            options.editorConfig = true;
            break;
        case 'h':
        case 'H':
            usage(stdout, nullptr);
        case 'v':
            printVersionBanner(compiledDateTime, ".");
            std::exit(0);
        case '?':
            usage(stderr, nullptr);
        default:
            error(1, 0, "Internal error in file \"%s\" at line no. %d.\n", __FILE_NAME__, __LINE__);
        }
    }
    return options;
}

// The command-line checks made once the options are known, in their order.
void checkOperands(const Options &options, int operands) {
    if (operands >= 3 && !options.inPlace && !looking(options)) {
        usage(stderr, "Too many files given.  You must use option -i to convert files in-place.");
    }
    if (operands == 0 && options.inPlace) {
        usage(stderr, "You must provide one or more file name(s) with option -i (--in-place).");
    }
    if (options.preserveDates && !options.inPlace) {
        std::fprintf(stderr, "%s: option -p can be used only with option -i.", progName);
        std::exit(1);
    }
    if (options.verbose && !options.inPlace && !looking(options)) {
        std::fprintf(stderr, "%s: option -V can be used only with option -i.", progName);
        std::exit(1);
    }
    if (options.inPlace + options.check + options.diff > 1) {
        usage(stderr, "Options -i, --check and --diff cannot be used together.");
    }
    if (operands == 0 && options.diff) {
        usage(stderr, "You must provide one or more file name(s) with option --diff.");
    }
    if (options.editorConfig && !options.inPlace && !looking(options)) {
        usage(stderr, "Option --editorconfig can be used only with -i, --check or --diff.");
    }
    if (options.editorConfig && !projectSettingsAvailable()) {
        error(1, 0, "Option --editorconfig needs the EditorConfig library, which this build of blankfill was "
                    "made without.");
    }
}

// -n wins; else BLANKFILL_SPACING when set and not empty; else the default.
int64_t spacingFromEnvironment() {
    const char *value = std::getenv("BLANKFILL_SPACING");
    if (value == nullptr || *value == '\0') {
        return kDefaultSpacing;
    }
    bool tooLarge;
    int64_t spacing = readSpacing(value, &tooLarge);
    if (spacing < 1) {
        usage(stderr, "Cannot set tab spacing to %lld.  It must be a whole number, 1 or greater.\n",
              static_cast<long long>(spacing));
    }
    if (tooLarge) {
        usage(stderr, "Cannot set tab spacing to \"%s\".  It must be no greater than %lld.\n", value,
              static_cast<long long>(kMaxSpacing));
    }
    return spacing;
}

bool sameFile(const struct stat &a, const struct stat &b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Opening the output empties it, so an output that is the input itself, by
// whatever name, would lose the input before it is read: refuse it first.
void refuseSameFile(FILE *in, const char *inName, const char *outName) {
    struct stat inStatus;
    struct stat outStatus;
    if (fstat(fileno(in), &inStatus) != 0 || !S_ISREG(inStatus.st_mode)) {
        return;
    }
    int found = outName == standardOutputName ? fstat(fileno(stdout), &outStatus)
                                              : stat(outName, &outStatus);
    if (found == 0 && sameFile(inStatus, outStatus)) {
        error(1, 0, "Input \"%s\" and output \"%s\" are the same file; nothing done", inName, outName);
    }
}

int filterMode(const Options &options, int operands, char *names[]) {
    // With standard output closed, the input would be opened on its
    // descriptor and mistaken for the output.
    if (operands < 2 && fcntl(STDOUT_FILENO, F_GETFD) < 0) {
        error(1, errno, "Cannot write to %s", standardOutputName);
    }
    FILE *in = stdin;
    FILE *out = stdout;
    const char *inName = standardInputName;
    const char *outName = standardOutputName;
    if (operands >= 1) {
        inName = names[0];
        in = std::fopen(inName, "r");
        if (in == nullptr) {
            error(0, errno, "Cannot open \"%s\" for input", inName);
            usage(stderr, nullptr);
        }
    }
    if (operands == 2) {
        outName = names[1];
    }
    refuseSameFile(in, inName, outName);
    if (operands == 2) {
        out = std::fopen(outName, "w");
        if (out == nullptr) {
            error(0, errno, "Cannot open \"%s\" for output", outName);
            usage(stderr, nullptr);
        }
    }
    if (in == stdin && isatty(fileno(stdin))) {
        error(0, 0, "Waiting for keyboard input...");
    }

    // The streams' own indicators say what went wrong, and where.
    blankfill(in, options.spacing, options.leadingOnly, out);
    if (std::ferror(in)) {
        error(1, errno, "Error while reading from \"%s\"", inName);
    }
    if (std::fclose(in) != 0) {
        error(1, errno, "Error closing input file \"%s\"", inName);
    }
    if (std::ferror(out)) {
        error(1, errno, "Error while writing to \"%s\"", outName);
    }
    if (std::fclose(out) != 0) {
        error(1, errno, "Error closing output file \"%s\"", outName);
    }
    return 0;
}

void abortReplacement() { replaceFile(replaceFileAbortFlag, nullptr, 0, nullptr); }

// A signal that ends the tool while a file is being converted removes that
// file's temporary copy first; the file itself is still untouched, since the
// replacement holds every signal back while it writes the file. The tool
// then ends by the same signal, as its caller expects.
void endOnSignal(int signalNumber) {
    discardReplacement();
    signal(signalNumber, SIG_DFL);
    raise(signalNumber);
}

// Every signal whose default action ends the process: the standard ones,
// those that only some systems have, and the real-time ones.
void catchEndingSignals() {
    int signals[kMaxEndingSignals];
    int count = endingSignals(signals, kMaxEndingSignals);
    assert(count <= kMaxEndingSignals);
    struct sigaction action {};
    action.sa_handler = endOnSignal;
    sigfillset(&action.sa_mask);
    for (int i = 0; i < count; ++i) {
        int signalNumber = signals[i];
        // A file-size limit makes a write fail, to be reported, rather than
        // kill the tool half-way.
        if (signalNumber == SIGXFSZ) {
            signal(SIGXFSZ, SIG_IGN);
            continue;
        }
        struct sigaction previous {};
        // A signal the caller chose to ignore (nohup) stays ignored; numbers
        // that the C library keeps for itself are refused here and skipped.
        if (sigaction(signalNumber, nullptr, &previous) != 0) continue;
        if (!(previous.sa_flags & SA_SIGINFO) && previous.sa_handler == SIG_IGN) continue;
        sigaction(signalNumber, &action, nullptr);
    }
}

enum class Outcome { converted, notConverted, skipped, damaged };

// A note about a file on standard error, after the output so far.
void tell(const char *name, const char *what) {
    std::fflush(stdout);
    std::fprintf(stderr, "\"%s\": %s\n", name, what);
}

// How one file is converted: with the command line's spacing or stops, or,
// with --editorconfig, with the width its .editorconfig files give it; or
// not at all, where they say that it is indented with tabs.
struct FileRules {
    bool leaveAlone = false;
    int64_t spacing = 0;
    const TabStops *stops = nullptr;
};

// False, with the reason told, when the file's settings cannot be read.
bool rulesFor(const Options &options, const char *name, FileRules *rules) {
    rules->spacing = options.spacing;
    rules->stops = options.stops.count > 0 ? &options.stops : nullptr;
    if (!options.editorConfig) return true;
    ProjectSettings settings;
    if (const char *why = projectSettingsFor(name, &settings)) {
        error(0, 0, "\"%s\": cannot read its .editorconfig settings: %s", name, why);
        return false;
    }
    if (settings.keepsTabs) {
        rules->leaveAlone = true;
        if (options.verbose) tell(name, "indent_style is tab in .editorconfig: left alone");
    } else if (settings.tabWidth > 0) {
        rules->spacing = settings.tabWidth;
        rules->stops = nullptr;
    }
    return true;
}

// Whether the file open as `in` starts as a binary file does; its position
// stays where it is. A read failure is the conversion's to meet.
bool startsAsBinary(FILE *in) {
    char start[kBinaryProbe];
    size_t got = 0;
    while (got < sizeof start) {
        ssize_t n = pread(fileno(in), start + got, sizeof start - got, static_cast<off_t>(got));
        if (n <= 0) break;
        got += static_cast<size_t>(n);
    }
    return looksBinary(start, got);
}

Outcome cannotOpenForInput(const char *name, int reason) {
    error(0, reason, "Cannot open file \"%s\" for input", name);
    std::fprintf(stderr, "Try \"%s -h\" for help.\n", progName);
    return Outcome::notConverted;
}

// What a replacement's message means for the file, told to the user.
Outcome reportMessage(const char *name, const char *message) {
    if (message == nullptr) {
        return Outcome::converted;
    }
    if (getRFErrorNumber(message) == kRfCannotOpenForReading) {
        return cannotOpenForInput(name, errno);
    }
    if (isDirectoryRefusal(message)) {
        std::fprintf(stderr, "\"%s\": directory skipped\n", name);
        return Outcome::skipped;
    }
    std::fprintf(stderr, "%s: \"%s\": %s\n", progName, name, getRFErrorString(message));
    // After these two the complete copy is kept: a failure of the run.
    int number = getRFErrorNumber(message);
    return number == kRfDamaged || number == kRfOtherWriter ? Outcome::damaged : Outcome::notConverted;
}

// Converts one file through a replacement, reading the very file that the
// replacement checked and locked.
Outcome convertInPlace(const Options &options, const char *name) {
    FileRules rules;
    if (!rulesFor(options, name, &rules)) return Outcome::notConverted;
    if (rules.leaveAlone) return Outcome::skipped;
    useTabStops(rules.stops);
    FILE *temporary = nullptr;
    if (const char *message = replaceFile(name, "w", options.preserveDates, &temporary)) {
        return reportMessage(name, message);
    }
    FILE *in = openReplacedFile();
    if (in == nullptr) {
        int reason = errno;
        abortReplacement();
        return cannotOpenForInput(name, reason);
    }
    // Plain -i converts whatever it is given, as it always has.
    if (options.editorConfig && startsAsBinary(in)) {
        abortReplacement();
        std::fclose(in);
        if (options.verbose) tell(name, "binary file skipped");
        return Outcome::skipped;
    }
    if (blankfill(in, rules.spacing, options.leadingOnly, temporary) != 0) {
        if (std::ferror(in)) {
            int reason = errno;
            abortReplacement();
            std::fclose(in);
            std::fprintf(stderr, "%s: \"%s\": Error while reading the file: %s: original file left unchanged\n",
                         progName, name, std::strerror(reason));
            return Outcome::notConverted;
        }
        // A failed write to the temporary file is the finish's to report.
        if (!std::ferror(temporary)) {
            abortReplacement();
            error(1, 0, "Internal error in file \"%s\" at line no. %d.", __FILE_NAME__, __LINE__);
        }
    }
    std::fclose(in);
    return reportMessage(name, replaceFile(nullptr, nullptr, 0, nullptr));
}

void reportCount(int count, const char *what) {
    std::fprintf(stderr, "%d file%s %s.\n", count, count == 1 ? " was" : "s were", what);
}

int inPlaceMode(const Options &options, int operands, char *names[]) {
    catchEndingSignals();
    int converted = 0;
    int notConverted = 0;
    bool damaged = false;
    for (int i = 0; i < operands; ++i) {
        const char *name = names[i];
        if (options.verbose) {
            std::printf("Processing \"%s\"\n", name);
            std::fflush(stdout);  // in order with the diagnostics about the file
        }
        switch (convertInPlace(options, name)) {
        case Outcome::converted:
            ++converted;
            break;
        case Outcome::damaged:
            damaged = true;
            [[fallthrough]];
        case Outcome::notConverted:
            ++notConverted;
            break;
        case Outcome::skipped:
            break;
        }
        abortReplacement();
    }
    reportCount(converted, "converted");
    if (notConverted != 0) {
        reportCount(notConverted, "not converted");
    }
    // The "Processing" lines are output too: a failure to write them is no success.
    checkOutput(stdout, standardOutputName);
    // A file that may be damaged is a failure, whatever else went well.
    return damaged ? 1 : 0;
}

// What --check and --diff found over all the files.
struct Tally {
    int changed = 0;
    int unchanged = 0;
    int skipped = 0;
    int unreadable = 0;
    uint64_t lines = 0;
};

void lookAtInput(const Options &options, const char *name, int fd, const FileRules &rules, Tally &tally) {
    useTabStops(rules.stops);
    uint64_t lines = 0;
    Verdict verdict = options.check ? checkInput(fd, name, options.leadingOnly, true, stdout, &lines)
                                    : diffInput(fd, name, rules.spacing, options.leadingOnly, stdout);
    switch (verdict) {
    case Verdict::changes:
        ++tally.changed;
        tally.lines += lines;
        break;
    case Verdict::unchanged:
        ++tally.unchanged;
        break;
    case Verdict::binary:
        ++tally.skipped;
        if (options.verbose) tell(name, "binary file skipped");
        break;
    case Verdict::unreadable:
        ++tally.unreadable;
        error(0, errno, "Error while reading from \"%s\"", name);
        break;
    }
}

void lookAtNamedFile(const Options &options, const char *name, Tally &tally) {
    FileRules rules;
    if (!rulesFor(options, name, &rules)) {
        ++tally.unreadable;
        return;
    }
    if (rules.leaveAlone) {
        ++tally.skipped;
        return;
    }
    int fd;
    switch (openToLook(name, &fd)) {
    case Opened::file:
        lookAtInput(options, name, fd, rules, tally);
        close(fd);
        break;
    case Opened::directory:
        ++tally.skipped;
        tell(name, "directory skipped");
        break;
    case Opened::notRegular:
        ++tally.unreadable;
        error(0, 0, "Cannot read \"%s\": not a regular file", name);
        break;
    case Opened::failed:
        ++tally.unreadable;
        error(0, errno, "Cannot open \"%s\" for input", name);
        break;
    }
}

const char *plural(uint64_t count) { return count == 1 ? "" : "s"; }

void reportTally(const Tally &t) {
    std::fflush(stdout);
    std::fprintf(stderr, "%llu line%s in %d file%s would change; %d file%s would not",
                 static_cast<unsigned long long>(t.lines), plural(t.lines), t.changed, plural(t.changed),
                 t.unchanged, plural(t.unchanged));
    if (t.skipped != 0) std::fprintf(stderr, "; %d skipped", t.skipped);
    if (t.unreadable != 0) std::fprintf(stderr, "; %d could not be read", t.unreadable);
    std::fprintf(stderr, ".\n");
}

// --check and --diff: each file read once and left as it is. Status 0 when
// nothing would change, 1 when something would, 2 when a file could not
// be read or the output not written (which CI must not take for either).
int lookMode(const Options &options, int operands, char *names[]) {
    if (fcntl(STDOUT_FILENO, F_GETFD) < 0) {
        error(2, errno, "Cannot write to %s", standardOutputName);
    }
    Tally tally;
    if (operands == 0) {
        FileRules rules;
        rules.spacing = options.spacing;
        rules.stops = options.stops.count > 0 ? &options.stops : nullptr;
        lookAtInput(options, standardInputName, STDIN_FILENO, rules, tally);
    }
    for (int i = 0; i < operands; ++i) lookAtNamedFile(options, names[i], tally);
    if (options.check) reportTally(tally);
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        error(2, errno, "Cannot write to %s", standardOutputName);
    }
    return tally.unreadable != 0 ? 2 : tally.changed != 0 ? 1 : 0;
}

}  // namespace

void usage(FILE *stream, const char *format, ...) {
    if (stream != nullptr) {
        va_list args;
        va_start(args, format);
        writeUsageMessage(stream, format, args);
        va_end(args);
        std::fprintf(stream,
                     "%s - replace tab characters with runs of space characters.\n"
                     "Usage: %s [-n[ ]NUM] [-l|--leading-only] [infile [outfile]]\n"
                     "       %s -i|--in-place [-l|--leading-only] [-p|--preserve-dates]\n"
                     "                       [-n[ ]NUM] [-V|--verbose] [file ...]\n"
                     "       %s [-h|-v]\n"
                     "Options:\n"
                     "  infile  - name of a text file to read from\n"
                     "  outfile - name of a file to write to\n"
                     "  -nNUM is a tab spacing (it defaults to -n%d), e.g., \"-n4\" or \"-n 8\".\n"
                     "  -i process in-place all files named on the command line\n"
                     "  -p preserve the original file's modified and accessed times\n"
                     "  -l expand tabs within leading blanks only\n"
                     "  -V print each file's name as it is processed\n"
                     "  -h shows this help message\n"
                     "  -v shows %s's version, date, author and compile date/time\n"
                     "Environment variable 'BLANKFILL_SPACING' may be set to adjust the tab spacing;\n"
                     "no literal \"-n\" is allowed in the environment variable's value.  A tab setting\n"
                     "of less than 1 is not permitted in any case.\n"
                     "  -u (--utf8) count columns by display width, reading the input as UTF-8\n"
                     "  -t LIST (--tabs=LIST) tab stops: one number as -n, or increasing columns\n"
                     "     separated by commas or blanks, the last of which may be /N (every\n"
                     "     multiple of N) or +N (every N columns after the last stop)\n"
                     "  --check list the lines that -i would change as FILE:LINE:COLUMN and change\n"
                     "     nothing; exit status 1 if a line would change, 2 if a file cannot be read\n"
                     "  --diff show what -i would change as a unified diff and change nothing\n"
                     "  --editorconfig take each file's tab width from its .editorconfig files and\n"
                     "     leave alone the files whose indent_style is tab\n",
                     progName, progName, progName, progName, kDefaultSpacing, progName);
    }
    endUsage(stream);
}

int main(int argc, char *argv[]) {
    if (getNameVersionAndDate(blankfill_rcsid, &progName, &version, &date) != 0) {
        reportIdentityFailure(__LINE__, __FILE_NAME__, "\n");
        return 1;
    }
    // Static, as the tab stops' list it holds is read until the process ends.
    static Options options = parseOptions(argc, argv);
    int operands = argc - optind;
    char **names = argv + optind;
    checkOperands(options, operands);
    if (options.displayWidths && !countDisplayWidths()) {
        error(1, 0, "Option -u needs a UTF-8 locale such as C.UTF-8, and this system has none.");
    }
    // The last of -n and -t wins; the variable counts only without either.
    if (options.spacing == 0 && options.stops.count == 0) {
        options.spacing = spacingFromEnvironment();
    }
    if (options.inPlace) return inPlaceMode(options, operands, names);
    if (looking(options)) return lookMode(options, operands, names);
    useTabStops(options.stops.count > 0 ? &options.stops : nullptr);
    return filterMode(options, operands, names);
}
