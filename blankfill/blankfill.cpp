// blankfill: replace tab characters with runs of spaces, either as a filter
// from one stream to another or in place on any number of files.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cassert>
#include <cerrno>
#include <cstdint>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "checkMode.h"
#include "expandTabs.h"
#include "error.h"
#include "options.h"
#include "projectSettings.h"
#include "replaceFile.h"
#include "signals.h"
#include "tabStops.h"

char blankfill_rcsid[] = "$Id: blankfill.c,v 3.16 2019-01-11 12:41:25-05 devteam Exp $";

namespace {

const char compiledDateTime[] = "Compiled " SUITE_BUILD_DATE " at " SUITE_BUILD_TIME " EST";

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
    static const ParsedOptions<Options> parsed = parseOptions(argc, argv, std::getenv("BLANKFILL_SPACING"));
    const Options &options = parsed.options;
    // -u is asked of the system once the command line has passed its checks,
    // and before the variable's spacing is judged.
    if ((parsed.runs() || options.refusal == Refusal::variable) && options.displayWidths && !countDisplayWidths()) {
        error(1, 0, "Option -u needs a UTF-8 locale such as C.UTF-8, and this system has none.");
    }
    switch (parsed.ending) {
    case ParseEnding::run:
        break;
    case ParseEnding::banner:
        printVersionBanner(compiledDateTime, ".");  // checks its own output
        return 0;
    case ParseEnding::help:
        usage(stdout, nullptr);
    case ParseEnding::misuse:
        if (parsed.message.empty()) usage(stderr, nullptr);
        usage(stderr, "%s", parsed.message.c_str());
    case ParseEnding::failure:
        if (options.refusal == Refusal::bare) {
            std::fprintf(stderr, "%s: %s", progName, parsed.message.c_str());
            return 1;
        }
        error(1, 0, "%s", parsed.message.c_str());
        return 1;
    }
    const int operands = argc - options.firstOperand;
    char **names = argv + options.firstOperand;
    if (options.inPlace) return inPlaceMode(options, operands, names);
    if (looking(options)) return lookMode(options, operands, names);
    useTabStops(options.stops.count > 0 ? &options.stops : nullptr);
    return filterMode(options, operands, names);
}
