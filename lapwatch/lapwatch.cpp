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
#include "export.h"
#include "intervalClock.h"
#include "options.h"
#include "processCalls.h"
#include "series.h"
#include "seriesReport.h"
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
    "    -o FILE - write the start time and the report to FILE\n"
    "Several commands, separated by ---, are timed in turn and compared.\n"
    "    -n N  - run each command N times and show the statistics of the runs\n"
    "    -w N  - first run each command N times more as warm-up, not counted\n"
    "    -i  - count a run that fails and go on, instead of stopping there\n"
    "    -t SECONDS - end a run that lasts longer: SIGTERM, then SIGKILL\n"
    "    -q  - send the command's standard output to /dev/null\n"
    "    -S WORD - separate the commands by WORD instead of ---\n"
    "    -a  - append to the file of -o instead of emptying it\n"
    "    --json FILE - write every run and the summary to FILE as JSON\n"
    "    --csv FILE  - write every run and the summary to FILE as CSV\n";

// Where the start-time line and the report go: standard error, or the file
// of -o. Diagnostics always go to standard error.
FILE *reportStream = stderr;

// The exports of a series, when asked for.
FILE *jsonStream = nullptr;
FILE *csvStream = nullptr;

// The series, kept here to the end, where its memory is given back with the
// process.
Series series;

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

// The files opened so far, so that no two outputs are one file.
struct OpenedOutput {
    int fd;
    const char *what;
};
OpenedOutput openedOutputs[3];
int openedCount = 0;

// Which of the files opened before is the same file as `fd`, if one is.
const char *openedBefore(int fd) {
    struct stat file;
    struct stat other;
    if (fstat(fd, &file) != 0) return nullptr;
    for (int i = 0; i < openedCount; ++i) {
        if (fstat(openedOutputs[i].fd, &other) == 0 && sameFile(file, other)) return openedOutputs[i].what;
    }
    return nullptr;
}

// Every file that lapwatch writes (`what`: the report, or an export) is
// opened (created, or emptied once it is known to be a file of its own,
// unless it is appended to) before the command starts, so that a name that
// cannot be written costs no run of the command. It is opened as every file
// that the suite writes: through no link that another user could have
// planted, and never a FIFO, device or socket. The command does not inherit
// it.
FILE *openOutputFile(const char *name, const char *what, bool append) {
    WriteRefusal why;
    char link[NAME_MAX + 1];
    int fd = openToWrite(name, append, S_IRUSR | S_IWUSR | S_IRGRP | S_IWGRP | S_IROTH | S_IWOTH, &why, link);
    if (fd == -1 && why == WriteRefusal::linkRefused) {
        error(1, 0, "Cannot open \"%s\" for %s: symbolic link \"%s\" belongs to another user and leads to "
                    "what that user does not own; not followed", name, what, link);
    }
    if (fd == -1 && why == WriteRefusal::notRegular) {
        error(1, 0, "Cannot open \"%s\" for %s: not a regular file", name, what);
    }
    if (fd == -1) error(1, errno, "Cannot open \"%s\" for %s.  Reason", name, what);
    if (const char *stream = sharedStream(fd)) {
        error(1, 0, "Cannot write %s to \"%s\": it is the same file as the %s, which the command writes",
              what, name, stream);
    }
    if (const char *other = openedBefore(fd)) {
        error(1, 0, "Cannot write %s to \"%s\": it is the same file as %s", what, name, other);
    }
    FILE *file = append || ftruncate(fd, 0) == 0 ? fdopen(fd, append ? "a" : "w") : nullptr;
    if (file == nullptr) error(1, errno, "Cannot open \"%s\" for %s.  Reason", name, what);
    openedOutputs[openedCount++] = {fd, what};
    return file;
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

// A series: the commands split at the separator and room for every run, or
// the refusal of a series that cannot be run; before any file is opened, so
// that a refused command line leaves every file named in it as it was.
void prepareSeries(char **commandAndArguments, const Options &options) {
    if (!splitCommands(commandAndArguments, options.separator, &series)) {
        usage(stderr, "Missing command_name next to the separator \"%s\".", options.separator);
    }
    series.settings = options.settings;
    series.settings.progress = options.reportFile == nullptr && isatty(STDERR_FILENO) == 1;
    long perCommand = options.settings.runs + options.settings.warmups;
    if (perCommand > kMaxSeriesRuns / series.commandCount) {
        usage(stderr, "Too many runs: %d commands of %ld runs each pass the %ld runs that a series holds.",
              series.commandCount, perCommand, kMaxSeriesRuns);
    }
    size_t records = static_cast<size_t>(perCommand * series.commandCount);
    series.records = static_cast<RunRecord *>(std::malloc(records * sizeof *series.records));
    if (series.records == nullptr) error(1, 0, "ERROR: cannot keep the records of %zu runs: no memory.", records);
}

// A series' exports opened, and the command's output sent away with -q;
// after the report is opened, which is checked against the standard output
// the timer was given.
void openSeriesOutputs(const Options &options) {
    if (options.jsonFile != nullptr) jsonStream = openOutputFile(options.jsonFile, "the JSON export", false);
    if (options.csvFile != nullptr) csvStream = openOutputFile(options.csvFile, "the CSV export", false);
    if (options.quiet) {
        int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
        if (null == -1 || dup2(null, STDOUT_FILENO) == -1) {
            error(1, errno, "Cannot send the command's output to /dev/null.  Reason");
        }
        close(null);
    }
}

// The series' report and exports, and the tool's status: 0 when every run
// succeeded or failures were counted, else the failed run's exit status, or
// 1 when it was ended by a signal or at the time limit.
int reportSeries(const Options &options) {
    CommandFigures *figures = computeFigures(series);
    if (!series.stopped) {
        writeSeriesReport(reportStream, series, figures, options.resourceUsage);
        writeWarnings(reportStream, series, figures);
    }
    if (jsonStream != nullptr) {
        writeJson(jsonStream, series, figures);
        checkOutput(jsonStream, options.jsonFile);
    }
    if (csvStream != nullptr) {
        writeCsv(csvStream, series, figures);
        checkOutput(csvStream, options.csvFile);
    }
    if (reportStream != stderr) checkOutput(reportStream, options.reportFile);
    for (int command = 0; command < series.commandCount; ++command) std::free(figures[command].walls);
    std::free(figures);
    if (!series.stopped) return 0;
    const RunRecord &failed = series.records[series.recordCount - 1];
    if (failed.timedOut || !WIFEXITED(failed.status)) return 1;
    return WEXITSTATUS(failed.status);
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
    const ParsedOptions<Options> parsed = parseOptions(argc, argv);
    switch (parsed.ending) {
    case ParseEnding::run:
        break;
    case ParseEnding::help:
        usage(stdout, nullptr);
    case ParseEnding::banner:
        // exit, not return: the copy of the arguments is still held here.
        printVersionBanner(compiledDateTime, ".");
        std::exit(0);
    case ParseEnding::misuse:
        if (parsed.message.empty()) usage(stderr, nullptr);
        usage(stderr, "%s", parsed.message.c_str());
    case ParseEnding::failure:
        error(1, 0, "%s", parsed.message.c_str());
    }
    const Options &options = parsed.options;
    const char *command = argv[options.command];

    if (options.series) prepareSeries(arguments + options.command, options);
    if (options.reportFile != nullptr) reportStream = openOutputFile(options.reportFile, "the report", options.append);
    if (options.series) openSeriesOutputs(options);
    writeStartTime();
    installForwarding();
    if (options.series) {
        series.overhead = measureOverhead();
        runSeries(&series);
        int status = reportSeries(options);
        freeArguments(arguments, argc);
        return status;
    }
    Run run = timeCommand(arguments + options.command, options.resourceUsage);
    freeArguments(arguments, argc);
    return report(command, run, options);
}
