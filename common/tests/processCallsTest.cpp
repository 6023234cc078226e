// Reaping a child: its status and its own processor time, even when other
// children were reaped before it.
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "processCalls.h"

namespace {

// A child that uses `cpuSeconds` of processor time, then exits with `status`.
pid_t startChild(double cpuSeconds, int status) {
    pid_t child = fork();
    if (child == 0) {
        struct timespec used {};
        do {
            clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &used);
        } while (static_cast<double>(used.tv_sec) + static_cast<double>(used.tv_nsec) / 1e9 < cpuSeconds);
        _exit(status);
    }
    return child;
}

double cpuSeconds(const struct rusage &usage) {
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

TEST(ReapChild, StatusAndTheChildsOwnProcessorTime) {
    // A child that worked and was reaped by another wait counts for none of
    // the children reaped after it.
    pid_t earlier = startChild(0.3, 0);
    ASSERT_GT(earlier, 0);
    ASSERT_EQ(waitpid(earlier, nullptr, 0), earlier);

    const struct {
        double cpuSeconds;
        int status;
        bool withUsage;
        double least, most;
    } cases[] = {
        {0.2, 3, true, 0.15, 100},
        {0, 4, true, 0, 0.1},
        {0, 5, false, 0, 0},
    };
    for (const auto &c : cases) {
        pid_t child = startChild(c.cpuSeconds, c.status);
        ASSERT_GT(child, 0);
        int status = -1;
        struct rusage usage {};
        ASSERT_EQ(reapChild(child, &status, c.withUsage ? &usage : nullptr), child) << c.status;
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == c.status) << status;
        if (!c.withUsage) continue;
        EXPECT_GE(cpuSeconds(usage), c.least) << c.status;
        EXPECT_LE(cpuSeconds(usage), c.most) << c.status;
    }
}

}  // namespace
