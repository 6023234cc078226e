// lapwatch's signal policy. The tool must never end and leave its command
// running, and its caller must see it end as the command's caller would.
//
// What is forwarded: every signal whose default action ends the process and
// that can be caught (endingSignals). While a command runs, the first such
// signal sends it SIGTERM, whatever the signal was; the tool waits for the
// command to end. A terminal's interrupt or quit that already reached the
// command, in the terminal's foreground group, is not doubled. A second
// signal while the first is handled sends SIGKILL. A signal that the caller
// ignores stays ignored (a background job, a command immune to hangups), but
// for SIGINT, which is always caught: a child that cannot run the command
// says so by SIGINT. When the caller ignores or blocks SIGINT, only that
// child's SIGINT counts.
//
// What is held: every signal, from the installation of the handler (and,
// for every later run, from the start of the run) until the handler knows the
// command's process id; one that arrives meanwhile is handled then and
// reaches the command. The tool then takes the caller's mask but for SIGINT.
// The command starts with the caller's mask and dispositions, as it would
// without the tool. SIGCHLD keeps its default action while the tool runs.
//
// How the timer ends: after a forwarded signal, once the command has ended,
// by that same signal with its default action and without a report, so that
// the tool's own parent sees how it ended. The command is waited for without
// being reaped until forwarding to it has stopped, so that no signal reaches
// a process that took over its id.
//
// A time limit: a command still running when its time is up is sent
// SIGTERM, as a forwarded signal would send it, and SIGKILL when it is still
// running after a grace; the tool goes on. The wait sleeps on SIGCHLD,
// blocked meanwhile, so that a limit needs neither a timer signal (SIGALRM
// is the caller's, and forwarded) nor a second process.
#include "signalPolicy.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cassert>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <ctime>

#include "error.h"
#include "signals.h"

void signal_handler(int sig, siginfo_t *info, void *context);

namespace {

// The running command's process id, read by the signal handler; 0 while no
// command runs (before the fork, in the child, and once the wait returned).
// Only the parent writes it.
volatile sig_atomic_t nPid = 0;

// The first handled signal that reached the tool, 0 until one did.
volatile sig_atomic_t signalReceived = 0;

// This process, as against the child that becomes the command: until its
// exec the child runs our handler in our memory.
pid_t timerPid = 0;

// What the caller left us, given back to the command before it starts. Only
// the two dispositions that the tool changes and exec does not put back
// are kept: SIGINT, caught even when the caller ignores it, and SIGCHLD.
struct sigaction callersInterrupt;
struct sigaction callersChildStatus;
sigset_t callersMask;

// The tool's own mask while a command runs: the caller's, but for SIGINT, by
// which a child that cannot run the command ends the tool.
sigset_t ownMask;

// Whether every signal is blocked now, as from the installation of the
// handler until a command's process id is stored.
bool signalsHeld = false;

// SIGINT ignored or blocked by the caller: then only our child's SIGINT,
// which says that the command could not be run, counts.
bool interruptOff = false;

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
// it and is sent SIGTERM as for any other signal. A system that marks the
// terminal's signals as a process's gets them forwarded like any other.
bool commandHasIt(int sig, const siginfo_t *info, pid_t command) {
    return (sig == SIGINT || sig == SIGQUIT) && sentByTerminal(info) && inForeground(command);
}

void catchSignal(int sig, const struct sigaction *handling, struct sigaction *callers) {
    if (sigaction(sig, handling, callers) == 0 && callers->sa_handler == SIG_IGN && sig != SIGINT) {
        sigaction(sig, callers, nullptr);
    }
}

// Blocks every signal, unless they are held already; `callers` takes the mask
// from before.
void holdSignals(sigset_t *callers) {
    if (signalsHeld) return;
    sigset_t all;
    sigfillset(&all);
    sigprocmask(SIG_BLOCK, &all, callers);
    signalsHeld = true;
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
[[noreturn]] void becomeCommand(char **commandAndArguments) {
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
        // waitForCommand leaves the ended command unreaped until nPid is
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

// The handler of the forwarded signals, installed while every signal is
// blocked, so that none can slip in while a disposition is being looked at.
// A signal that the caller ignores stays ignored (a command run in the
// background, or immune to hangups, keeps running), with one exception:
// SIGINT is always caught, since it is how a child that cannot run the
// command tells us so. The handler may interrupt itself (SA_NODEFER, nothing
// masked): a second signal must reach it while it waits. SIGCHLD gets its
// default action: ignored, the command's status would be thrown away by the
// system before we could wait for it.
void installForwarding() {
    holdSignals(&callersMask);
    timerPid = getpid();
    struct sigaction handling;
    std::memset(&handling, 0, sizeof handling);
    handling.sa_sigaction = signal_handler;
    handling.sa_flags = SA_SIGINFO | SA_NODEFER | SA_RESTART;
    sigemptyset(&handling.sa_mask);
    int forwarded[kMaxEndingSignals];
    int count = endingSignals(forwarded, kMaxEndingSignals);
    assert(count <= kMaxEndingSignals);
    struct sigaction callers;
    for (int i = 0; i < count; ++i) {
        int sig = forwarded[i];
        catchSignal(sig, &handling, sig == SIGINT ? &callersInterrupt : &callers);
    }
    interruptOff = callersInterrupt.sa_handler == SIG_IGN || sigismember(&callersMask, SIGINT) == 1;
    ownMask = callersMask;
    sigdelset(&ownMask, SIGINT);

    struct sigaction byDefault;
    std::memset(&byDefault, 0, sizeof byDefault);
    byDefault.sa_handler = SIG_DFL;
    sigemptyset(&byDefault.sa_mask);
    sigaction(SIGCHLD, &byDefault, &callersChildStatus);
}

// Every signal stays blocked from before the handler is installed (for a
// later run, from here) until the command's process id is stored; one that
// arrives meanwhile is handled then, and reaches the command. The tool itself
// then takes the caller's mask, but for SIGINT, by which a child that cannot
// run the command ends it. vfork: the parent waits until the command has
// started (or failed to), and no copy of the parent's memory is made for a
// child that at once becomes another program.
pid_t startCommand(char **commandAndArguments) {
    holdSignals(nullptr);
    pid_t child = vfork();
    if (child == 0) {
        becomeCommand(commandAndArguments);
    }
    int forkErrno = errno;
    if (child > 0) nPid = child;
    sigprocmask(SIG_SETMASK, &ownMask, nullptr);
    signalsHeld = false;
    errno = forkErrno;
    return child;
}

// Wait without reaping: until nPid is cleared the command's process id stays
// taken, so the handler cannot signal another process.
int waitForCommand(pid_t command) {
    siginfo_t ended;
    while (waitid(P_PID, static_cast<id_t>(command), &ended, WEXITED | WNOWAIT) == -1) {
        if (errno != EINTR) return -1;
    }
    nPid = 0;
    return 0;
}

namespace {

double monotonicSeconds() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// Whether the command has ended (without reaping it), waiting for it until
// `deadline` on the monotonic clock. SIGCHLD is blocked by the caller, so
// that one sent between the look and the sleep is kept for the sleep; one
// left over from an earlier command only makes the loop look once more.
bool endedBy(pid_t command, double deadline, const sigset_t *childStatus) {
    for (;;) {
        siginfo_t ended;
        ended.si_pid = 0;
        if (waitid(P_PID, static_cast<id_t>(command), &ended, WEXITED | WNOHANG | WNOWAIT) == 0 &&
            ended.si_pid != 0) {
            return true;
        }
        double left = deadline - monotonicSeconds();
        if (left <= 0) return false;
        struct timespec sleep;
        sleep.tv_sec = static_cast<time_t>(left);
        sleep.tv_nsec = static_cast<long>((left - std::floor(left)) * 1e9);
        sigtimedwait(childStatus, nullptr, &sleep);
    }
}

}  // namespace

int waitForCommandWithin(pid_t command, double limit, double grace, bool *timedOut) {
    *timedOut = false;
    sigset_t childStatus;
    sigset_t before;
    sigemptyset(&childStatus);
    sigaddset(&childStatus, SIGCHLD);
    sigprocmask(SIG_BLOCK, &childStatus, &before);
    double start = monotonicSeconds();
    if (!endedBy(command, start + limit, &childStatus)) {
        // nPid still holds the command, which is not reaped: the signals
        // reach it and no other process.
        *timedOut = true;
        kill(command, SIGTERM);
        if (!endedBy(command, monotonicSeconds() + grace, &childStatus)) kill(command, SIGKILL);
    }
    int result = waitForCommand(command);
    int waitErrno = errno;
    // A SIGCHLD still pending is discarded as the mask is put back: its
    // default action is to be ignored.
    sigprocmask(SIG_SETMASK, &before, nullptr);
    errno = waitErrno;
    return result;
}
