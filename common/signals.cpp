// Facts about signals that differ from system to system; see signals.h.
#include "signals.h"

namespace {

// Named, never numbered: the numbers differ from one system and processor to
// the next. The conditionals name the signals that only some systems have;
// SIGSTKFLT and SIGPWR are Linux's own, looked for when the build is set up
// (the POSIX build takes them as missing).
const int standardEndingSignals[] = {
    SIGABRT, SIGFPE, SIGILL, SIGINT, SIGSEGV, SIGTERM, SIGHUP, SIGQUIT, SIGBUS, SIGTRAP, SIGSYS,
    SIGUSR1, SIGUSR2, SIGALRM, SIGPIPE, SIGXCPU, SIGXFSZ, SIGVTALRM,
#ifdef SIGPROF
    SIGPROF,
#endif
// Where SIGIO is not also SIGPOLL, its default action is to ignore it.
#ifdef SIGPOLL
    SIGPOLL,
#endif
#ifdef SIGEMT
    SIGEMT,
#endif
#if SUITE_HAVE_SIGSTKFLT
    SIGSTKFLT,
#endif
#if SUITE_HAVE_SIGPWR
    SIGPWR,
#endif
};

}  // namespace

int endingSignals(int *out, int capacity) {
    int count = 0;
    for (int sig : standardEndingSignals) {
        if (count < capacity) out[count] = sig;
        ++count;
    }
#ifdef SIGRTMIN
    for (int sig = SIGRTMIN; sig <= SIGRTMAX; ++sig) {
        if (count < capacity) out[count] = sig;
        ++count;
    }
#endif
    return count;
}

// Linux marks a terminal's signal SI_KERNEL. Elsewhere a code above 0 that is
// neither SI_USER nor SI_QUEUE says the same, since every code that a
// process's kill or sigqueue gives is one of those or 0 or less; a system
// that marks the terminal's signals as a process's gets them taken for a
// process's.
bool sentByTerminal(const siginfo_t *info) {
#if SUITE_HAVE_SI_KERNEL
    return info->si_code == SI_KERNEL;
#else
    return info->si_code > 0 && info->si_code != SI_USER && info->si_code != SI_QUEUE;
#endif
}
