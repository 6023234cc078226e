// secs() when the clock cannot be read: the clock is substituted at link
// time (-Wl,--wrap=clock_gettime) so that readings can be made to fail.
#include <time.h>

#include <gtest/gtest.h>

#include "intervalClock.h"

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
    failuresLeft = 1;
    EXPECT_EQ(secs(), -1.0);
    EXPECT_EQ(readings, 1);  // no second reading once the base failed

    struct timespec pause = {0, 100000000};
    nanosleep(&pause, nullptr);
    double first = secs();  // takes the base now, not before the pause
    EXPECT_GE(first, 0.0);
    EXPECT_LT(first, 0.05);

    // A failed later reading fails the call but keeps the base.
    failuresLeft = 1;
    EXPECT_EQ(secs(), -1.0);
    nanosleep(&pause, nullptr);
    double later = secs();
    EXPECT_GE(later, 0.1);
}

}  // namespace
