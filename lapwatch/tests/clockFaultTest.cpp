// secs() when the clock cannot be read: the clock is substituted at link
// time (-Wl,--wrap=clock_gettime) so that readings can be made to fail.
#include <time.h>

#include <cstdio>

#include <gtest/gtest.h>

#include "intervalClock.h"
#include "testing.h"

using testing_support::RunResult;
using testing_support::runInChild;

extern "C" int __real_clock_gettime(clockid_t clock, struct timespec *now);

namespace {
int failuresLeft = 0;
int readings = 0;
}  // namespace

extern "C" int __wrap_clock_gettime(clockid_t clock, struct timespec *now) {
    ++readings;
    if (failuresLeft > 0) {
        --failuresLeft;
        return -1;
    }
    return __real_clock_gettime(clock, now);
}

namespace {

TEST(SecsClockFailure, FailedBaseReadingIsTakenAgainNextTime) {
    // The base is taken once a process, so the readings come from a fresh
    // child each time: the test holds however often it is repeated.
    RunResult r = runInChild([] {
        readings = 0;
        failuresLeft = 1;
        double failed = secs();
        int readingsAfterFailure = readings;  // no second reading once the base failed

        struct timespec pause = {0, 100000000};
        nanosleep(&pause, nullptr);
        double first = secs();  // takes the base now, not before the pause

        // A failed later reading fails the call but keeps the base.
        failuresLeft = 1;
        double failedLater = secs();
        nanosleep(&pause, nullptr);
        double later = secs();
        std::printf("%.9f %d %.9f %.9f %.9f", failed, readingsAfterFailure, first, failedLater, later);
    });
    double failed = 0, first = -1, failedLater = 0, later = -1;
    int readingsAfterFailure = -1;
    ASSERT_EQ(std::sscanf(r.out.c_str(), "%lf %d %lf %lf %lf", &failed, &readingsAfterFailure, &first,
                          &failedLater, &later),
              5)
        << r.out;
    EXPECT_EQ(failed, -1.0);
    EXPECT_EQ(readingsAfterFailure, 1);
    EXPECT_GE(first, 0.0);
    EXPECT_LT(first, 0.05);
    EXPECT_EQ(failedLater, -1.0);
    EXPECT_GE(later, 0.1);
}

}  // namespace
