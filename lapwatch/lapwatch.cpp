// lapwatch: runs a command as a child process, forwards termination to it,
// and reports its wall-clock run time on standard error, ending with the
// command's own exit status.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "checkedOpen.h"
#include "error.h"
#include "intervalClock.h"
#include "processCalls.h"
#include "signalPolicy.h"

char lapwatch_rcsid[] = "$Id: lapwatch.c,v 4.30 2024-03-12 09:13:44-04 devteam Exp $ $Name:  $";

namespace {

const char compiledDateTime[] = "compiled " SUITE_BUILD_DATE " at " SUITE_BUILD_TIME " EST";

const char helpText[] =
    "%s - Time a command to microsecond accuracy, up to ~28 years, while\n"
    "providing file wildcard globbing to that command.\n"
    "The reported time is wall-clock time, and does not include the overhead of\n"
    "searching the path for the command and starting it.\n"
    "Usage: %s command_name [argument [...]]\n"
    "       %s -h|--anything|-v\n"
    "command_name - name of command to run or document to open\n"
    "argument     - optional argument(s) to pass to the command or with\n"
    "               the document\n"
    "Options:\n"
    "    -h  - show this help message\n"
    "    -v  - show %s's version, date, author and compile date/time\n"
    "Wildcards (*?) may be used in file names.\n"
    "    -r  - also show the command's CPU time and peak memory\n"
    "    -o FILE - write the start time and the report to FILE\n";

// Parsed command-line settings.
struct Options {
    bool resourceUsage = false;      // -r: CPU time and peak memory after the report
    const char *reportFile = nullptr;  // -o FILE: the report there, not on standard error
};

// Where the start-time line and the report go: standard error, or the file
// of -o. Diagnostics always go to standard error.
FILE *reportStream = stderr;

void freeArguments(char **copy, int count) {
    for (int i = 0; i < count; ++i) std::free(copy[i]);
    std::free(copy);
}

// A separately allocated copy of the argument vector, null-terminated.
char **copyArguments(int argc, char **argv) {
    char **copy = static_cast<char **>(std::malloc((static_cast<size_t>(argc) + 1) * sizeof *copy));
    if (copy == nullptr) {
        error(1, 0, "ERROR: cannot duplicate arguments: no memory.\n");
    }
    for (int i = 0; i < argc; ++i) {
        copy[i] = strdup(argv[i]);
        if (copy[i] == nullptr) {
            freeArguments(copy, i);
            error(1, 0, "ERROR: cannot duplicate arguments: no memory.\n");
        }
    }
    copy[argc] = nullptr;
    return copy;
}

// Options end at the first argument that is not one; the command's own
// options are never looked at.
Options parseOptions(int argc, char **argv) {
    Options options;
    int option;
    while ((option = getopt(argc, argv, "+hH-vVro:")) != -1) {
        switch (option) {
        case 'r':
            options.resourceUsage = true;
            break;
        case 'o':
            options.reportFile = optarg;
            break;
        case 'h':
        case 'H':
        case '-':
            usage(stdout, nullptr);
        case '?':
            usage(stderr, nullptr);
        case 'v':
        case 'V':
            printVersionBanner(compiledDateTime, ".");
            std::exit(0);
        default:
            error(1, 0, "Internal error in file %s at line no. %d.\n", __FILE_NAME__, __LINE__);
        }
    }
    return options;
}

// Whether the report file is the file that the timer's standard output or
// standard error writes, which the command inherits: the report would be
// written over the command's output, or in the middle of it.
const char *sharedStream(int fd) {
    struct stat report;
    struct stat stream;
    if (fstat(fd, &report) != 0) return nullptr;
    if (fstat(STDOUT_FILENO, &stream) == 0 && sameFile(report, stream)) return "standard output";
    if (fstat(STDERR_FILENO, &stream) == 0 && sameFile(report, stream)) return "standard error";
    return nullptr;
}

// The report file is opened (created, or emptied once it is known to be a
// file of its own) before the command starts, so that a name that cannot be
// written costs no run of the command. It is opened as every file that the
// suite writes: through no link that another user could have planted, and
// never a FIFO, device or socket. The command does not inherit it.
void openReportFile(const char *name) {
    WriteRefusal why;
    char link[NAME_MAX + 1];
    int fd = openToWrite(name, false, S_IRUSR | S_IWUSR | S_IRGRP | S_IWGRP | S_IROTH | S_IWOTH, &why, link);
    if (fd == -1 && why == WriteRefusal::linkRefused) {
        error(1, 0, "Cannot open \"%s\" for the report: symbolic link \"%s\" belongs to another user and leads to "
                    "what that user does not own; not followed", name, link);
    }
    if (fd == -1 && why == WriteRefusal::notRegular) {
        error(1, 0, "Cannot open \"%s\" for the report: not a regular file", name);
    }
    if (fd == -1) error(1, errno, "Cannot open \"%s\" for the report.  Reason", name);
    if (const char *stream = sharedStream(fd)) {
        error(1, 0, "Cannot write the report to \"%s\": it is the same file as the %s, which the command writes",
              name, stream);
    }
    FILE *file = ftruncate(fd, 0) == 0 ? fdopen(fd, "w") : nullptr;
    if (file == nullptr) error(1, errno, "Cannot open \"%s\" for the report.  Reason", name);
    reportStream = file;
}

void writeStartTime() {
    time_t now = time(nullptr);
    if (now == static_cast<time_t>(-1)) {
        error(0, errno, "Cannot get the current time with time(); continuing...");
        return;
    }
    char text[200];
    struct tm *local = localtime(&now);
    if (local != nullptr && strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", local) > 0) {
        std::fprintf(reportStream, "%s: Start time: %s\n", progName, text);
        // In a file, at once: a signal ends the tool without flushing it.
        if (reportStream != stderr) std::fflush(reportStream);
    }
}

// A command ended by a signal gets no report; the tool says why and fails.
[[noreturn]] void reportSignalled(const char *command, int status) {
    if (WCOREDUMP(status)) {
        error(1, 0, "\"%s\" dumped core.", command);
    }
    size_t size = std::strlen(command) + 200;
    char *message = static_cast<char *>(std::malloc(size));
    if (message != nullptr) {
        std::snprintf(message, size, "\"%s\" exited.  Reason", command);
        psignal(WTERMSIG(status), message);
        std::free(message);
    } else {
        psignal(WTERMSIG(status), command);
    }
    std::exit(1);
}

// `value` with a comma between each group of three digits.
const char *groupedThousands(long long value) {
    static char text[40];
    char digits[24];
    int count = std::snprintf(digits, sizeof digits, "%lld", value < 0 ? 0LL : value);
    size_t out = 0;
    for (int i = 0; i < count; ++i) {
        if (i > 0 && (count - i) % 3 == 0) text[out++] = ',';
        text[out++] = digits[i];
    }
    text[out] = '\0';
    return text;
}

double inSeconds(const struct timeval &time) {
    return static_cast<double>(time.tv_sec) + static_cast<double>(time.tv_usec) / 1e6;
}

// The -r line, after the report: the command's processor time and its peak
// resident memory, as the system counts it (in KiB).
void writeResourceUsage(const struct rusage &usage) {
    std::fprintf(reportStream, "%s: CPU time %.3f s user, %.3f s system; peak memory %s KiB\n", progName,
                 inSeconds(usage.ru_utime), inSeconds(usage.ru_stime),
                 groupedThousands(static_cast<long long>(usage.ru_maxrss)));
}

// The clock's base is taken at start-up; every later reading is relative to
// it.
void takeClockBase() {
    int firstReading = static_cast<int>(secs());
    if (firstReading < 0) {
        if (firstReading == -1) error(1, 0, "Cannot get time from secs().\n");
        error(1, 0, "Internal error at line %d in file \"%s\".", __LINE__, __FILE_NAME__);
    }
}

// The command: the first argument after the options.
const char *commandName(int argc, char **argv) {
    if (optind >= argc) usage(stderr, "Missing command_name.");
    const char *command = argv[optind];
    if (*command == '\0') usage(stderr, "Zero-length command_name.");
    return command;
}

// One run of the command: the wait status, the clock readings around it and,
// when asked, its resource usage.
struct Run {
    int status = 0;
    double start = 0;
    double stop = 0;
    struct rusage usage {};
};

// Runs the command and waits for it. The start is read before the fork:
// once forked, the command may run, even to its end, before this process is
// scheduled again. The stop is read once it has ended, before it is reaped.
Run timeCommand(char **commandAndArguments, bool resourceUsage) {
    const char *command = commandAndArguments[0];
    Run run;
    run.start = secs();
    pid_t child = startCommand(commandAndArguments);
    if (child == -1) {
        error(1, errno, "Cannot create (i.e., fork) \"%s\".  Reason", command);
    }
    if (waitForCommand(child) == -1) error(1, errno, "Cannot waitpid() for command \"%s\".  Reason", command);
    run.stop = secs();
    if (reapChild(child, &run.status, resourceUsage ? &run.usage : nullptr) == -1) {
        error(1, errno, "Cannot waitpid() for command \"%s\".  Reason", command);
    }
    return run;
}

// The report of a run that ended normally, and the command's exit status for
// the tool's own.
int report(const char *command, const Run &run, const Options &options) {
    if (WIFSIGNALED(run.status)) {
        reportSignalled(command, run.status);
    }
    if (run.start < 0 || run.stop < 0) {
        error(1, 0, "Error in secs(): cannot read the %s time.", run.start < 0 ? "start" : "stop");
    }
    double elapsed = run.stop - run.start;
    std::fprintf(reportStream, "\n\"%s\" wall-clock run time: %s (%.6f seconds total).\n", command,
                 prettifyInterval(elapsed), elapsed);
    if (options.resourceUsage) writeResourceUsage(run.usage);
    if (reportStream != stderr) checkOutput(reportStream, options.reportFile);
    return WEXITSTATUS(run.status);
}

}  // namespace

void usage(FILE *stream, const char *format, ...) {
    if (stream != nullptr) {
        va_list args;
        va_start(args, format);
        writeUsageMessage(stream, format, args);
        va_end(args);
        std::fprintf(stream, helpText, progName, progName, progName, progName);
    }
    endUsage(stream);
}

int main(int argc, char **argv) {
    if (getNameVersionAndDate(lapwatch_rcsid, &progName, &version, &date) == -1) {
        reportIdentityFailure(__LINE__, __FILE_NAME__, "");
        std::exit(1);
    }
    takeClockBase();
    char **arguments = copyArguments(argc, argv);
    Options options = parseOptions(argc, argv);
    const char *command = commandName(argc, argv);

    if (options.reportFile != nullptr) openReportFile(options.reportFile);
    writeStartTime();
    installForwarding();
    Run run = timeCommand(arguments + optind, options.resourceUsage);
    freeArguments(arguments, argc);
    return report(command, run, options);
}
