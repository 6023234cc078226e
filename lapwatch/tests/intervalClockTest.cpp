// The clock readings and the interval texts of the command timer.
#include <time.h>

#include <cstdio>
#include <string>

#include <gtest/gtest.h>

#include "intervalClock.h"
#include "testing.h"

using testing_support::RunResult;
using testing_support::runInChild;

namespace {

struct IntervalCase {
    double seconds;
    const char *text;
};

TEST(PrettifyInterval, Table) {
    const IntervalCase cases[] = {
        {0, "0 nanoseconds"},
        {0.0000005, "500 nanoseconds"},
        {0.00000099, "990 nanoseconds"},
        {0.000001, "1.00 microseconds"},
        {0.0123, "12300.00 microseconds"},
        {0.5, "500000.00 microseconds"},
        {0.999999, "999999.00 microseconds"},
        {1, "00:00:01.000000"},
        {3, "00:00:03.000000"},
        {61, "00:01:01.000000"},
        {3725.25, "01:02:05.250000"},
        {59.9999996, "00:01:00.000000"},
        {3599.9999996, "01:00:00.000000"},
        {86399.9999996, "1 day 00:00:00.000000"},
        {86399.9999994, "23:59:59.999999"},
        {86400, "1 day 00:00:00.000000"},
        {172800, "2 days 00:00:00.000000"},
        {200000, "2 days 07:33:20.000000"},
        {1e6 * 86400, "1e+06 days 00:00:00.000000"},
        {-2, "negative 00:00:02.000000"},
        {-0.5, "negative 500000.00 microseconds"},
        {-0.0000002, "negative 200 nanoseconds"},
        {-86400, "negative 1 day 00:00:00.000000"},
        {-200000, "negative 2 days 07:33:20.000000"},
    };
    for (const IntervalCase &c : cases) {
        EXPECT_STREQ(prettifyInterval(c.seconds), c.text) << c.seconds;
    }
}

TEST(PrettifyInterval, LongestTextFitsTheBuffer) {
    std::string text = prettifyInterval(-1.7976931348623157e308);
    EXPECT_LE(text.size(), 49u);
    EXPECT_EQ(text.rfind("negative ", 0), 0u) << text;
    EXPECT_NE(text.find(" days "), std::string::npos) << text;
}

TEST(PrettifyInterval, EachCallOverwritesTheLast) {
    const char *first = prettifyInterval(1);
    const char *second = prettifyInterval(0);
    EXPECT_EQ(first, second);
    EXPECT_STREQ(first, "0 nanoseconds");
}

TEST(Secs, FirstCallNearZeroThenTimeSinceTheBase) {
    // The base is taken once a process, so the readings come from a fresh
    // child each time: the test holds however often it is repeated.
    RunResult r = runInChild([] {
        double first = secs();
        struct timespec pause = {0, 200000000};
        nanosleep(&pause, nullptr);
        double later = secs();
        double again = secs();
        std::printf("%.9f %.9f %.9f", first, later, again);
    });
    double first = -1, later = -1, again = -1;
    ASSERT_EQ(std::sscanf(r.out.c_str(), "%lf %lf %lf", &first, &later, &again), 3) << r.out;
    EXPECT_GE(first, 0.0);
    EXPECT_LT(first, 0.05);
    EXPECT_GE(later, 0.2);
    EXPECT_LT(later, 5.0);  // generous: machines are shared
    EXPECT_GE(again, later);
}

}  // namespace
