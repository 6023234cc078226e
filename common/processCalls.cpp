// Calls on child processes that differ from system to system; see processCalls.h.
#include "processCalls.h"

#include <sys/time.h>
#include <sys/wait.h>

#include <cstring>

namespace {

// `later` less `earlier`, both counts of time that only grow.
[[maybe_unused]] struct timeval timeBetween(const struct timeval &earlier, const struct timeval &later) {
    struct timeval between;
    between.tv_sec = later.tv_sec - earlier.tv_sec;
    between.tv_usec = later.tv_usec - earlier.tv_usec;
    if (between.tv_usec < 0) {
        between.tv_usec += 1000000;
        --between.tv_sec;
    }
    return between;
}

}  // namespace

// wait4 gives the child's own usage. Without it, the usage of all the reaped
// children of this process (and of the processes it replaced through exec,
// which the system carries over) is read before and after the reap, and the
// processor times are their difference.
pid_t reapChild(pid_t child, int *status, struct rusage *usage) {
#if SUITE_HAVE_WAIT4
    return wait4(child, status, 0, usage);
#else
    struct rusage before;
    bool counted = usage != nullptr && getrusage(RUSAGE_CHILDREN, &before) == 0;
    pid_t reaped = waitpid(child, status, 0);
    if (reaped == -1 || usage == nullptr) return reaped;
    if (!counted || getrusage(RUSAGE_CHILDREN, usage) == -1) {
        std::memset(usage, 0, sizeof *usage);
        return reaped;
    }
    usage->ru_utime = timeBetween(before.ru_utime, usage->ru_utime);
    usage->ru_stime = timeBetween(before.ru_stime, usage->ru_stime);
    return reaped;
#endif
}

bool peakMemoryPerChild() {
    return SUITE_HAVE_WAIT4 != 0;
}
