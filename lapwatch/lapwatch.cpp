// lapwatch: runs a command as a child process, forwards termination to it,
// and reports its wall-clock run time on standard error, ending with the
// command's own exit status.
#include <signal.h>
#include <sys/types.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "error.h"
#include "intervalClock.h"

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
    "Wildcards (*?) may be used in file names.\n";

// The running command's process id, read by the signal handler; 0 while no
// command runs (before the fork, in the child, and once the wait returned).
volatile sig_atomic_t nPid = 0;

// The signals after which the command must not outlive the tool.
const int forwardedSignals[] = {SIGABRT, SIGFPE, SIGILL, SIGINT, SIGSEGV, SIGTERM};

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
void parseOptions(int argc, char **argv) {
    int option;
    while ((option = getopt(argc, argv, "+hH-vV")) != -1) {
        switch (option) {
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
        std::fprintf(stderr, "%s: Start time: %s\n", progName, text);
    }
}

// In the child: become the command. The child is started with vfork, so
// until it becomes the command it runs in the parent's memory: it must change
// nothing there, so a failure is written with one writev() rather than
// through stdio (whose buffers and locks belong to the parent), and the child
// ends with _exit.
[[noreturn]] void runCommand(char **commandAndArguments) {
    execvp(commandAndArguments[0], commandAndArguments);
    const char *reason = std::strerror(errno);
    const char *pieces[] = {progName, ": ERROR: Cannot run \"", commandAndArguments[0],
                            "\" in path.  Reason: ", reason, "\n"};
    struct iovec line[sizeof pieces / sizeof pieces[0]];
    for (size_t i = 0; i < sizeof pieces / sizeof pieces[0]; ++i) {
        line[i].iov_base = const_cast<char *>(pieces[i]);
        line[i].iov_len = std::strlen(pieces[i]);
    }
    ssize_t ignored = writev(STDERR_FILENO, line, sizeof line / sizeof line[0]);
    (void)ignored;
    kill(getppid(), SIGINT);
    _exit(1);
}

// A command ended by a signal gets no report; the tool says why and fails.
[[noreturn]] void reportSignalled(const char *command, int status) {
    if (status & 0x80) {
        error(1, 0, "\"%s\" dumped core.", command);
    }
    size_t size = std::strlen(command) + 200;
    char *message = static_cast<char *>(std::malloc(size));
    if (message != nullptr) {
        std::snprintf(message, size, "\"%s\" exited.  Reason", command);
        psignal(status & 0x7F, message);
        std::free(message);
    } else {
        psignal(status & 0x7F, command);
    }
    std::exit(1);
}

}  // namespace

void signal_handler(int sig) {
    // A second delivery while we forward the first is dropped.
    signal(sig, SIG_IGN);
    // The wait may already have reaped the command when the signal arrives
    // (it is handled on the way back from the wait, before nPid is cleared):
    // a command that no longer exists needs no forcing.
    if (nPid > 0 && kill(nPid, SIGTERM) == -1 && errno != ESRCH) {
        error(1, errno,
              "Cannot force the child process to end. You must end it manually with \"kill %d\".  Reason",
              static_cast<int>(nPid));
    }
    // End by the same signal, so that our parent sees how we ended.
    signal(sig, SIG_DFL);
    raise(sig);
}

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

    // The clock's base is taken now; every later reading is relative to it.
    int firstReading = static_cast<int>(secs());
    if (firstReading < 0) {
        if (firstReading == -1) error(1, 0, "Cannot get time from secs().\n");
        error(1, 0, "Internal error at line %d in file \"%s\".", __LINE__, __FILE_NAME__);
    }

    char **arguments = copyArguments(argc, argv);
    parseOptions(argc, argv);

    if (optind >= argc) usage(stderr, "Missing command_name.");
    const char *command = argv[optind];
    if (*command == '\0') usage(stderr, "Zero-length command_name.");

    writeStartTime();
    for (int sig : forwardedSignals) signal(sig, signal_handler);

    // The start is read before the fork: once forked, the command may run,
    // even to its end, before this process is scheduled again.
    double start = secs();
    // vfork: the parent waits until the command has started (or failed to),
    // and no copy of the parent's memory is made for a child that at once
    // becomes another program. The start time was read before.
    pid_t child = vfork();
    nPid = child;
    if (child == -1) {
        error(1, errno, "Cannot create (i.e., fork) \"%s\".  Reason", command);
    }
    if (child == 0) {
        runCommand(arguments + optind);
    }

    int status = 0;
    if (waitpid(child, &status, 0) == -1) {
        error(1, errno, "Cannot waitpid() for command \"%s\".  Reason", command);
    }
    nPid = 0;
    double stop = secs();
    freeArguments(arguments, argc);

    int signalNumber = status & 0x7F;
    if (signalNumber != 0 && signalNumber != 0x7F) {
        reportSignalled(command, status);
    }
    int exitCode = (status >> 8) & 0xFF;

    if (start < 0 || stop < 0) {
        error(1, 0, "Error in secs(): cannot read the %s time.", start < 0 ? "start" : "stop");
    }
    double elapsed = stop - start;
    std::fprintf(stderr, "\n\"%s\" wall-clock run time: %s (%.6f seconds total).\n", command,
                 prettifyInterval(elapsed), elapsed);
    return exitCode;
}
