// The lease on a file being replaced; see lease.h.
#include "lease.h"

#include <signal.h>

#include <cerrno>

#include "fileCalls.h"
#include "replaceFile.h"

namespace {

// The signal handler reads and writes these, so they stay at file scope as
// volatile sig_atomic_t. The state is none, a write lease, or a read lease
// that a reader's open left.
enum LeaseState : int { noLease, writeLease, readLease };
volatile sig_atomic_t leaseState = noLease;
volatile sig_atomic_t broken = 0;
volatile sig_atomic_t leaseFd = -1;
// Written once, before the handler is installed, and only read after.
bool leaseSignalIgnored = false;

// A lease break, or the same signal sent by someone: the first lets a
// reader through (the lease becomes a read lease) and takes note of a
// writer (the lease goes, the writer goes on, and the file is then left
// alone); the second ends the tool like every other ending signal.
void onLeaseSignal(int signalNumber, siginfo_t *info, void *) {
    if (info == nullptr || info->si_code <= 0) {
        if (leaseSignalIgnored) return;
        discardReplacement();
        signal(signalNumber, SIG_DFL);
        raise(signalNumber);
        return;
    }
    int saved = errno;
    int fd = leaseFd;
    if (fd >= 0 && leaseState != noLease) {
        Lease wanted = leaseNow(fd);
        if (wanted == Lease::read) {
            if (setLease(fd, Lease::read) == 0) leaseState = readLease;
        } else if (wanted == Lease::none) {
            broken = 1;
            setLease(fd, Lease::none);
            leaseState = noLease;
            leaseFd = -1;
        }
    }
    errno = saved;
}

void catchLeaseSignal() {
    static bool installed = false;
    if (installed) return;
    installed = true;
    struct sigaction previous {};
    sigaction(kLeaseSignal, nullptr, &previous);
    leaseSignalIgnored = !(previous.sa_flags & SA_SIGINFO) && previous.sa_handler == SIG_IGN;
    struct sigaction action {};
    action.sa_sigaction = onLeaseSignal;
    action.sa_flags = SA_SIGINFO | SA_RESTART;
    sigfillset(&action.sa_mask);
    sigaction(kLeaseSignal, &action, nullptr);
}

}  // namespace

void takeLease(int fd) {
    broken = 0;
    leaseState = noLease;
    if (!kHaveLeases) return;
    catchLeaseSignal();
    signalLeaseBreaks(fd);  // so that the break carries its reason
    leaseFd = fd;
    if (setLease(fd, Lease::write) == 0) {
        leaseState = writeLease;
    } else {
        leaseFd = -1;
    }
}

bool leaseBroken() { return broken != 0; }

void retakeWriteLease() {
    int fd = leaseFd;
    if (fd >= 0 && leaseState == readLease && setLease(fd, Lease::write) == 0) leaseState = writeLease;
}

void letGoLease() {
    int fd = leaseFd;
    leaseFd = -1;
    if (fd >= 0 && leaseState != noLease) setLease(fd, Lease::none);
    leaseState = noLease;
}
