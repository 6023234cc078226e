// lapwatch: runs a command as a child process, forwards termination to it,
// and reports its wall-clock run time on standard error, ending with the
// command's own exit status.
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/time.h>
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

void signal_handler(int sig, siginfo_t *info, void *context);

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

// The running command's process id, read by the signal handler; 0 while no
// command runs (before the fork, in the child, and once the wait returned).
// Only the parent writes it.
volatile sig_atomic_t nPid = 0;

// The first handled signal that reached the tool, 0 until one did.
volatile sig_atomic_t signalReceived = 0;

// This process, as against the child that becomes the command: until its
// exec the child runs our handler in our memory.
pid_t timerPid = 0;

// Every signal whose default action ends the process and that can be caught:
// the tool must not end on one of them and leave its command running. It
// forwards them, waits for the command, and then ends by the same signal.
// The real-time signals, which end the process too, are added where the
// handlers are installed.
const int forwardedSignals[] = {
    SIGABRT, SIGFPE, SIGILL, SIGINT, SIGSEGV, SIGTERM, SIGHUP, SIGQUIT, SIGBUS, SIGTRAP, SIGSYS,
    SIGUSR1, SIGUSR2, SIGALRM, SIGPIPE, SIGXCPU, SIGXFSZ, SIGVTALRM,
#ifdef SIGPROF
    SIGPROF,
#endif
#ifdef SIGPOLL
    SIGPOLL,
#endif
#if SUITE_HAVE_SIGSTKFLT
    SIGSTKFLT,
#endif
#if SUITE_HAVE_SIGPWR
    SIGPWR,
#endif
#if SUITE_HAVE_SIGEMT
    SIGEMT,
#endif
};

// What the caller left us, given back to the command before it starts. Only
// the two dispositions that the tool changes and exec does not put back
// are kept: SIGINT, caught even when the caller ignores it, and SIGCHLD.
struct sigaction callersInterrupt;
struct sigaction callersChildStatus;
sigset_t callersMask;

// SIGINT ignored or blocked by the caller: then only our child's SIGINT,
// which says that the command could not be run, counts.
bool interruptOff = false;

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

// The report file is opened (created or emptied) before the command starts,
// so that a name that cannot be written costs no run of the command. The
// command does not inherit it.
void openReportFile(const char *name) {
    int fd = open(name, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC,
                  S_IRUSR | S_IWUSR | S_IRGRP | S_IWGRP | S_IROTH | S_IWOTH);
    FILE *stream = fd == -1 ? nullptr : fdopen(fd, "w");
    if (stream == nullptr) error(1, errno, "Cannot open \"%s\" for the report.  Reason", name);
    reportStream = stream;
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

// In the child: become the command. The child is started with vfork, so
// until it becomes the command it runs in the parent's memory and must change
// nothing there. It only makes system calls on its own kernel state: it gives
// SIGINT and SIGCHLD back the caller's dispositions while every signal is
// still blocked, then the caller's mask, so that the command starts as it
// would without us. The exec puts every other caught signal back to its
// default action, which was the caller's; one that arrives before the exec
// finds our handler, which ends the child by it as it would have ended the
// command. A failure is written with one writev() rather than through stdio
// (whose buffers and locks belong to the parent), and the child ends with
// _exit.
[[noreturn]] void runCommand(char **commandAndArguments) {
    if (callersInterrupt.sa_handler == SIG_IGN) sigaction(SIGINT, &callersInterrupt, nullptr);
    if (callersChildStatus.sa_handler != SIG_DFL || (callersChildStatus.sa_flags & SA_NOCLDWAIT) != 0) {
        sigaction(SIGCHLD, &callersChildStatus, nullptr);
    }
    sigprocmask(SIG_SETMASK, &callersMask, nullptr);
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

// Reaps the ended command and, when asked, takes its resource usage. wait4
// gives the command's own; without it, the usage of this process's reaped
// children is the command's alone, since it is the only child we have.
pid_t reapCommand(pid_t child, int *status, struct rusage *usage) {
#if SUITE_HAVE_WAIT4
    return wait4(child, status, 0, usage);
#else
    pid_t reaped = waitpid(child, status, 0);
    if (reaped != -1 && usage != nullptr && getrusage(RUSAGE_CHILDREN, usage) == -1) {
        std::memset(usage, 0, sizeof *usage);
    }
    return reaped;
#endif
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

// Ends the process by `sig` with its default action, so that our parent sees
// how we ended.
[[noreturn]] void endBySignal(int sig) {
    struct sigaction byDefault;
    std::memset(&byDefault, 0, sizeof byDefault);
    byDefault.sa_handler = SIG_DFL;
    sigemptyset(&byDefault.sa_mask);
    sigaction(sig, &byDefault, nullptr);
    sigset_t only;
    sigemptyset(&only);
    sigaddset(&only, sig);
    sigprocmask(SIG_UNBLOCK, &only, nullptr);
    raise(sig);
    // Not reached: the default action of every forwarded signal ends the
    // process.
    _exit(1);
}

// Whether a SIGINT or SIGQUIT was sent by a terminal for its keyboard (or a
// break) rather than by a process. Linux marks such a signal SI_KERNEL.
// Elsewhere a code above 0 that is neither SI_USER nor SI_QUEUE says the
// same, since every code that a process's kill or sigqueue gives is one of
// those or 0 or less; a system that marks the terminal's signals as a
// process's gets them forwarded like any other.
bool sentByTerminal(const siginfo_t *info) {
#if SUITE_HAVE_SI_KERNEL
    return info->si_code == SI_KERNEL;
#else
    return info->si_code > 0 && info->si_code != SI_USER && info->si_code != SI_QUEUE;
#endif
}

// Whether the command is in the terminal's foreground process group, which
// the terminal's signal reached. When the terminal cannot be asked, that
// group was ours, since the signal reached us.
bool inForeground(pid_t command) {
    pid_t foreground = -1;
    int terminal = open("/dev/tty", O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (terminal != -1) {
        foreground = tcgetpgrp(terminal);
        close(terminal);
    }
    if (foreground == -1) foreground = getpgrp();
    return getpgid(command) == foreground;
}

// A terminal's interrupt or quit, sent to its whole foreground group: a
// command in that group has it already and is not sent SIGTERM on top (it
// may clean up on it); one in another group or session (setsid) never got
// it and is sent SIGTERM as for any other signal.
bool commandHasIt(int sig, const siginfo_t *info, pid_t command) {
    return (sig == SIGINT || sig == SIGQUIT) && sentByTerminal(info) && inForeground(command);
}

void catchSignal(int sig, const struct sigaction *handling, struct sigaction *callers) {
    if (sigaction(sig, handling, callers) == 0 && callers->sa_handler == SIG_IGN && sig != SIGINT) {
        sigaction(sig, callers, nullptr);
    }
}

// Handlers for the forwarded signals, installed while every signal is
// blocked, so that none can slip in while a disposition is being looked at.
// A signal that the caller ignores stays ignored (a command run in the
// background, or immune to hangups, keeps running), with one exception:
// SIGINT is always caught, since it is how a child that cannot run the
// command tells us so. The handler may interrupt itself (SA_NODEFER, nothing
// masked): a second signal must reach it while it waits. SIGCHLD gets its
// default action: ignored, the command's status would be thrown away by the
// system before we could wait for it.
void installHandlers() {
    struct sigaction handling;
    std::memset(&handling, 0, sizeof handling);
    handling.sa_sigaction = signal_handler;
    handling.sa_flags = SA_SIGINFO | SA_NODEFER | SA_RESTART;
    sigemptyset(&handling.sa_mask);
    struct sigaction callers;
    for (int sig : forwardedSignals) {
        catchSignal(sig, &handling, sig == SIGINT ? &callersInterrupt : &callers);
    }
#ifdef SIGRTMIN
    for (int sig = SIGRTMIN; sig <= SIGRTMAX; ++sig) catchSignal(sig, &handling, &callers);
#endif
    interruptOff = callersInterrupt.sa_handler == SIG_IGN || sigismember(&callersMask, SIGINT) == 1;

    struct sigaction byDefault;
    std::memset(&byDefault, 0, sizeof byDefault);
    byDefault.sa_handler = SIG_DFL;
    sigemptyset(&byDefault.sa_mask);
    sigaction(SIGCHLD, &byDefault, &callersChildStatus);
}

}  // namespace

// Every path through the handler ends the process, except a SIGINT that the
// caller ignores or blocks and a second signal while the first is being
// handled. Everything it calls is async-signal-safe, but for error() when
// the command cannot be sent SIGTERM.
void signal_handler(int sig, siginfo_t *info, void *) {
    if (getpid() != timerPid) {
        // In the child, not yet the command: end as the command would, and
        // touch none of the parent's memory.
        endBySignal(sig);
    }
    int savedErrno = errno;
    pid_t command = nPid;
    if (sig == SIGINT && interruptOff) {
        // It counts only when it comes from our child that could not run
        // the command.
        bool fromChild = info->si_code == SI_USER && command > 0 && info->si_pid == command;
        if (!fromChild) {
            errno = savedErrno;
            return;
        }
    }
    if (signalReceived != 0) {
        // The command did not end on the first signal: end it for sure.
        if (command > 0) kill(command, SIGKILL);
        errno = savedErrno;
        return;
    }
    signalReceived = sig;
    if (command > 0) {
        // The wait in main leaves the ended command unreaped until nPid is
        // cleared, so `command` is never a process id that was reused.
        if (!commandHasIt(sig, info, command) && kill(command, SIGTERM) == -1 && errno != ESRCH) {
            error(1, errno,
                  "Cannot force the child process to end. You must end it manually with \"kill %d\".  Reason",
                  static_cast<int>(command));
        }
        int status;
        while (waitpid(command, &status, 0) == -1 && errno == EINTR) {
        }
    }
    endBySignal(sig);
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
    Options options = parseOptions(argc, argv);

    if (optind >= argc) usage(stderr, "Missing command_name.");
    const char *command = argv[optind];
    if (*command == '\0') usage(stderr, "Zero-length command_name.");

    if (options.reportFile != nullptr) openReportFile(options.reportFile);
    writeStartTime();
    timerPid = getpid();
    // Every signal stays blocked from before the handlers are installed
    // until the command's process id is stored; one that arrives meanwhile
    // is handled then, and reaches the command. The tool itself then takes
    // the caller's mask, but for SIGINT, by which a child that cannot run
    // the command ends it.
    sigset_t all;
    sigfillset(&all);
    sigprocmask(SIG_BLOCK, &all, &callersMask);
    installHandlers();
    sigset_t ownMask = callersMask;
    sigdelset(&ownMask, SIGINT);

    // The start is read before the fork: once forked, the command may run,
    // even to its end, before this process is scheduled again.
    double start = secs();
    // vfork: the parent waits until the command has started (or failed to),
    // and no copy of the parent's memory is made for a child that at once
    // becomes another program.
    pid_t child = vfork();
    if (child == 0) {
        runCommand(arguments + optind);
    }
    int forkErrno = errno;
    if (child > 0) nPid = child;
    sigprocmask(SIG_SETMASK, &ownMask, nullptr);
    if (child == -1) {
        error(1, forkErrno, "Cannot create (i.e., fork) \"%s\".  Reason", command);
    }

    // Wait without reaping: until nPid is cleared the command's process id
    // stays taken, so the handler cannot signal another process.
    siginfo_t ended;
    while (waitid(P_PID, static_cast<id_t>(child), &ended, WEXITED | WNOWAIT) == -1) {
        if (errno != EINTR) error(1, errno, "Cannot waitpid() for command \"%s\".  Reason", command);
    }
    nPid = 0;
    double stop = secs();
    int status = 0;
    struct rusage usage;
    std::memset(&usage, 0, sizeof usage);
    if (reapCommand(child, &status, options.resourceUsage ? &usage : nullptr) == -1) {
        error(1, errno, "Cannot waitpid() for command \"%s\".  Reason", command);
    }
    freeArguments(arguments, argc);

    if (WIFSIGNALED(status)) {
        reportSignalled(command, status);
    }
    int exitCode = WEXITSTATUS(status);

    if (start < 0 || stop < 0) {
        error(1, 0, "Error in secs(): cannot read the %s time.", start < 0 ? "start" : "stop");
    }
    double elapsed = stop - start;
    std::fprintf(reportStream, "\n\"%s\" wall-clock run time: %s (%.6f seconds total).\n", command,
                 prettifyInterval(elapsed), elapsed);
    if (options.resourceUsage) writeResourceUsage(usage);
    if (reportStream != stderr) checkOutput(reportStream, options.reportFile);
    return exitCode;
}
