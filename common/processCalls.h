// Calls on child processes that differ from system to system, each with its
// POSIX path beside it, so that the tools use them plainly.
#pragma once

#include <sys/resource.h>
#include <sys/types.h>

// Reaps the child `child`, waiting for it to end if it has not, and when
// `usage` is not null fills it with the child's resource usage: its processor
// times are the child's own on every system; its peak memory (ru_maxrss) is
// the child's own where the system reports usage per child (wait4), and
// elsewhere the largest of every child reaped so far. Returns the child's
// process id, or -1 with errno set.
pid_t reapChild(pid_t child, int *status, struct rusage *usage);

// Whether reapChild's peak memory is the child's own on this system, rather
// than the largest of every child reaped so far.
bool peakMemoryPerChild();
