// The list of signals that end a process, checked against what a process
// does on each signal at its default action, and the sender of a signal told
// apart for signals sent for real.
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "signals.h"
#include "testing.h"

using namespace testing_support;

namespace {

void onSignal(int) {}

// Whether `sig` can be caught and, at its default action, ends a process:
// seen in a child that raises it.
bool endsAndCanBeCaught(int sig) {
    pid_t child = fork();
    if (child == 0) {
        struct rlimit noCore = {0, 0};
        setrlimit(RLIMIT_CORE, &noCore);
        struct sigaction action {};
        action.sa_handler = onSignal;
        if (sigaction(sig, &action, nullptr) != 0) _exit(2);
        action.sa_handler = SIG_DFL;
        sigaction(sig, &action, nullptr);
        sigset_t only;
        sigemptyset(&only);
        sigaddset(&only, sig);
        sigprocmask(SIG_UNBLOCK, &only, nullptr);
        raise(sig);
        _exit(0);
    }
    int status = 0;
    waitpid(child, &status, WUNTRACED);
    if (WIFSTOPPED(status)) {
        kill(child, SIGKILL);
        waitpid(child, &status, 0);
        return false;
    }
    return WIFSIGNALED(status) && WTERMSIG(status) == sig;
}

TEST(EndingSignals, AreTheCatchableSignalsThatEndAProcess) {
    int listed[kMaxEndingSignals];
    int count = endingSignals(listed, kMaxEndingSignals);
    ASSERT_LE(count, kMaxEndingSignals);
    std::set<int> named(listed, listed + count);
    // Linux's own signals, which a build may take as missing (the POSIX
    // build does).
    std::set<int> mayBeMissing;
#ifdef SIGSTKFLT
    if (!SUITE_HAVE_SIGSTKFLT) mayBeMissing.insert(SIGSTKFLT);
#endif
#ifdef SIGPWR
    if (!SUITE_HAVE_SIGPWR) mayBeMissing.insert(SIGPWR);
#endif
    std::string wrong;
    for (int sig = 1; sig <= SIGRTMAX; ++sig) {
        // Every real-time signal ends a process by default, but an emulator
        // (qemu-user) keeps the last few for itself, and they end nothing
        // there: the whole range is listed.
        bool ends = (sig >= SIGRTMIN && sig <= SIGRTMAX) || endsAndCanBeCaught(sig);
        if (ends != (named.count(sig) == 1) && !(ends && mayBeMissing.count(sig) == 1)) {
            wrong.append(" ").append(std::to_string(sig)).append(ends ? " (ends a process, not listed)" : " (listed)");
        }
    }
    EXPECT_EQ(wrong, "");
}

TEST(EndingSignals, FillNoMoreThanTheCapacity) {
    int all[kMaxEndingSignals];
    int count = endingSignals(all, kMaxEndingSignals);
    // Short of room among the standard signals and among the real-time ones.
    for (int capacity : {0, 3, count - 1}) {
        std::vector<int> some(static_cast<size_t>(count), -1);
        EXPECT_EQ(endingSignals(some.data(), capacity), count) << capacity;
        std::vector<int> expected(all, all + capacity);
        expected.resize(static_cast<size_t>(count), -1);
        EXPECT_EQ(some, expected) << capacity;
    }
}

// A SIGINT sent to a child of the test in the way `how` names; the child
// says on standard output whether it took it for a terminal's.
std::string senderSeen(const std::string &how) {
    RunResult r = runInChild([&] {
        sigset_t interrupt;
        sigemptyset(&interrupt);
        sigaddset(&interrupt, SIGINT);
        sigprocmask(SIG_BLOCK, &interrupt, nullptr);
        if (how == "kill") {
            kill(getpid(), SIGINT);
        } else if (how == "sigqueue") {
            sigqueue(getpid(), SIGINT, sigval{});
        } else if (how == "raise") {
            raise(SIGINT);
        } else {
            // A terminal of its own, whose keyboard interrupt reaches it.
            setsid();
            int master = posix_openpt(O_RDWR | O_NOCTTY);
            if (master == -1 || grantpt(master) != 0 || unlockpt(master) != 0) _exit(3);
            if (open(ptsname(master), O_RDWR) == -1 || write(master, "\x03", 1) != 1) _exit(3);
        }
        siginfo_t info{};
        if (sigwaitinfo(&interrupt, &info) != SIGINT) _exit(4);
        const char *said = sentByTerminal(&info) ? "terminal" : "process";
        if (write(STDOUT_FILENO, said, std::strlen(said)) < 0) _exit(5);
    });
    EXPECT_TRUE(r.exited && r.status == 0) << how << ": " << r.status << r.err;
    return r.out;
}

TEST(SentByTerminal, TellsATerminalsInterruptFromAProcesss) {
    const struct {
        const char *how, *seen;
    } cases[] = {
        {"kill", "process"},
        {"sigqueue", "process"},
        {"raise", "process"},  // SI_TKILL on some kernels, SI_USER on others
        {"terminal", "terminal"},
    };
    for (const auto &c : cases) EXPECT_EQ(senderSeen(c.how), c.seen) << c.how;
}

}  // namespace
