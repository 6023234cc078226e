// A command for the tests of signal forwarding: it writes "ready" to a log
// once its handlers are in place, then the name of every SIGINT, SIGTERM,
// SIGHUP or SIGQUIT that reaches it. What it does after recording depends on
// its mode:
//   ends          every signal ends it, by that signal
//   ignores-term  SIGTERM is recorded and otherwise ignored; the others end it
//   saves-on-int  SIGINT starts a clean-up that takes a fifth of a second and
//                 then writes "saved" and exits 0; a signal meanwhile is
//                 recorded and ends it, cutting the clean-up short
// It gives up after 30 seconds, so that it cannot outlive a broken test long.
// Usage: signalRecorder LOG MODE
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cstring>
#include <ctime>
#include <initializer_list>

namespace {

int logFd = -1;
bool ignoresTerm = false;
bool savesOnInt = false;
volatile sig_atomic_t cleaningUp = 0;

void record(const char *text) {
    ssize_t ignored = write(logFd, text, std::strlen(text));
    (void)ignored;
}

void endBy(int sig) {
    signal(sig, SIG_DFL);
    sigset_t only;
    sigemptyset(&only);
    sigaddset(&only, sig);
    sigprocmask(SIG_UNBLOCK, &only, nullptr);
    raise(sig);
}

void onSignal(int sig) {
    switch (sig) {
    case SIGINT: record("INT\n"); break;
    case SIGTERM: record("TERM\n"); break;
    case SIGHUP: record("HUP\n"); break;
    case SIGQUIT: record("QUIT\n"); break;
    }
    if (sig == SIGTERM && ignoresTerm) return;
    if (sig == SIGINT && savesOnInt && !cleaningUp) {
        cleaningUp = 1;
        return;
    }
    endBy(sig);
}

}  // namespace

int main(int argc, char **argv) {
    if (argc != 3) return 2;
    logFd = open(argv[1], O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (logFd < 0) return 2;
    ignoresTerm = std::strcmp(argv[2], "ignores-term") == 0;
    savesOnInt = std::strcmp(argv[2], "saves-on-int") == 0;

    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = onSignal;
    action.sa_flags = SA_NODEFER;
    sigemptyset(&action.sa_mask);
    sigset_t handled, none;
    sigemptyset(&handled);
    sigemptyset(&none);
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) {
        sigaction(sig, &action, nullptr);
        sigaddset(&handled, sig);
    }
    // Blocked between the test of the flag and the wait, so that no signal
    // slips in between them.
    sigprocmask(SIG_BLOCK, &handled, nullptr);
    alarm(30);
    record("ready\n");

    while (!cleaningUp) sigsuspend(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    struct timespec cleanUp = {0, 200000000};
    while (nanosleep(&cleanUp, &cleanUp) == -1) {
    }
    record("saved\n");
    return 0;
}
