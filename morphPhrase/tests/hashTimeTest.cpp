// Time hashing, with the real-time clock replaced at link time
// (-Wl,--wrap=clock_gettime) by one that stands still or fails. The module's
// state lives for the process, so each case runs in a fresh child process and
// reports what it saw on its standard output.
#include <time.h>

#include <cerrno>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <string>

#include <gtest/gtest.h>

#include "hashTime.h"
#include "testing.h"

using testing_support::RunResult;
using testing_support::runInChild;
using testing_support::shellOutput;
using testing_support::TempDir;
using testing_support::writeFile;

namespace {

int realtimeReadings = 0;
bool clockFails = false;

}  // namespace

extern "C" int __real_clock_gettime(clockid_t clock, struct timespec *ts);

extern "C" int __wrap_clock_gettime(clockid_t clock, struct timespec *ts) {
    if (clock != CLOCK_REALTIME) return __real_clock_gettime(clock, ts);
    ++realtimeReadings;
    if (clockFails) {
        errno = EINVAL;
        return -1;
    }
    ts->tv_sec = 1700000000;
    ts->tv_nsec = 123456789;
    return 0;
}

namespace {

constexpr uint64_t stuckClockWords[5] = {0xED11B7A36DB07A5Dull, 0xC255F18EFCC8C5A5ull, 0x972E23326567748Dull,
                                         0xB37558C80AED0E73ull, 0x77AD05F1946B035Eull};

std::string hex(const uint8_t *bytes, size_t n) {
    std::string s;
    char two[3];
    for (size_t i = 0; i < n; ++i) {
        std::snprintf(two, sizeof two, "%02x", bytes[i]);
        s += two;
    }
    return s;
}

// The digest bytes that a word was made from, first byte least significant.
std::string wordBytes(uint64_t word) {
    uint8_t b[8];
    for (int i = 0; i < 8; ++i) b[i] = uint8_t(word >> (8 * i));
    return hex(b, 8);
}

RunResult inFreshProcess(void (*body)()) {
    RunResult r = runInChild([body] {
        realtimeReadings = 0;
        body();
    });
    EXPECT_TRUE(r.exited);
    EXPECT_EQ(r.status, 0) << r.err;
    return r;
}

TEST(HashTime, FiveWordsFromAStuckClockAndOneReadingPerFour) {
    RunResult r = inFreshProcess([] {
        for (int i = 0; i < 5; ++i) {
            uint64_t w = hashTime();
            std::printf("%016" PRIX64 " %d\n", w, realtimeReadings);
        }
    });
    EXPECT_EQ(r.out,
              "ED11B7A36DB07A5D 1\n"
              "C255F18EFCC8C5A5 1\n"
              "972E23326567748D 1\n"
              "B37558C80AED0E73 1\n"
              "77AD05F1946B035E 2\n");
}

TEST(HashTime, WordFunctionsShareOneSupplyOfWords) {
    RunResult r = inFreshProcess([] {
        uint64_t a = hashTime();
        uint32_t b = hashTime32();  // the low half of the next word
        uint64_t c = hTAC32();      // the whole word after that
        uint64_t d = hashTime();
        uint32_t e = hashTime32();  // first word of the next digest
        std::printf("%016" PRIX64 " %08" PRIX32 " %016" PRIX64 " %016" PRIX64 " %08" PRIX32 " %d\n", a, b, c, d,
                    e, realtimeReadings);
    });
    EXPECT_EQ(r.out, "ED11B7A36DB07A5D FCC8C5A5 972E23326567748D B37558C80AED0E73 946B035E 2\n");
}

// Each record is 8 bytes of the multiplied counter and 8 bytes of the
// reading, least significant first; digest k covers records 1 to k. Checked
// against sha256sum on records built here.
TEST(HashTime, DigestsCoverEveryRecordSoFar) {
    RunResult r = inFreshProcess([] {
        uint8_t digest[32];
        for (int k = 0; k < 4; ++k) {
            hashTime_bytes(digest, sizeof digest);
            std::printf("%s\n", hex(digest, sizeof digest).c_str());
        }
    });
    TempDir dir;
    std::string records, expected;
    uint64_t differ = 0x0DF6273A267833BFull, delta = 0;
    for (int k = 0; k < 4; ++k) {
        differ += delta + 1;
        delta += 1;
        uint64_t values[2] = {differ * 0x2DBA9A6621FE1399ull, 1700000000ull * 1000000000ull + 123456789ull};
        for (uint64_t v : values)
            for (int i = 0; i < 8; ++i) records += char(uint8_t(v >> (8 * i)));
        writeFile(dir.file("records"), records);
        expected += shellOutput("sha256sum < '" + dir.file("records") + "' | cut -c1-64");
    }
    EXPECT_EQ(r.out, expected);
    // The first digest is the one the word functions hand out first.
    std::string firstFromWords;
    for (int i = 0; i < 4; ++i) firstFromWords += wordBytes(stuckClockWords[i]);
    EXPECT_EQ(r.out.substr(0, 64), firstFromWords);
}

TEST(HashTime, BytesTakeOneDigestPer32) {
    RunResult r = inFreshProcess([] {
        uint8_t bytes[40];
        for (uint8_t &b : bytes) b = 0xAA;
        int rc = hashTime_bytes(bytes, 0);
        std::printf("n=0: %d %d %s\n", rc, realtimeReadings, hex(bytes, 1).c_str());
        rc = hashTime_bytes(bytes, 32);
        std::printf("n=32: %d %d %s %s\n", rc, realtimeReadings, hex(bytes, 32).c_str(), hex(bytes + 32, 1).c_str());
        errno = 0;
        rc = hashTime_bytes(nullptr, 8);
        std::printf("null: %d %d %d\n", rc, errno == EINVAL, realtimeReadings);
        std::printf("%d\n", realtimeReadings);
    });
    std::string first;
    for (int i = 0; i < 4; ++i) first += wordBytes(stuckClockWords[i]);
    EXPECT_EQ(r.out, "n=0: 0 0 aa\n"
                     "n=32: 0 1 " + first + " aa\n"
                     "null: 1 1 1\n"
                     "1\n");

    // 33 bytes: two digests, the last byte the first of the second digest.
    RunResult r33 = inFreshProcess([] {
        uint8_t bytes[34];
        bytes[33] = 0xAA;
        int rc = hashTime_bytes(bytes, 33);
        std::printf("%d %d %s %s\n", rc, realtimeReadings, hex(bytes, 32).c_str(), hex(bytes + 32, 2).c_str());
    });
    EXPECT_EQ(r33.out, "0 2 " + first + " 5eaa\n");
}

TEST(HashTime, BytesBetweenTwoWordsOfOneDigestLeaveTheSecondAlone) {
    RunResult r = inFreshProcess([] {
        uint64_t a = hashTime();
        uint8_t bytes[40];
        hashTime_bytes(bytes, sizeof bytes);
        uint64_t b = hashTime();
        std::printf("%016" PRIX64 " %016" PRIX64 " %d\n", a, b, realtimeReadings);
    });
    EXPECT_EQ(r.out, "ED11B7A36DB07A5D C255F18EFCC8C5A5 3\n");
}

// A clock that cannot be read still gives values that differ from call to
// call and from process to process.
TEST(HashTime, UnreadableClockStillDiffers) {
    auto body = [] {
        clockFails = true;
        uint64_t words[8];
        for (uint64_t &w : words) w = hashTime();
        uint8_t a[32], b[32];
        hashTime_bytes(a, 32);
        hashTime_bytes(b, 32);
        std::printf("%016" PRIX64 " %016" PRIX64 " %s %s %d\n", words[0], words[4], hex(a, 32).c_str(),
                    hex(b, 32).c_str(), realtimeReadings);
    };
    RunResult one = inFreshProcess(body);
    RunResult two = inFreshProcess(body);
    char w0[17], w4[17], a[65], b[65];
    int readings = 0;
    ASSERT_EQ(std::sscanf(one.out.c_str(), "%16s %16s %64s %64s %d", w0, w4, a, b, &readings), 5) << one.out;
    EXPECT_STRNE(w0, w4);
    EXPECT_STRNE(a, b);
    EXPECT_EQ(readings, 4);
    EXPECT_NE(one.out, two.out);
    // And none of it is what a working clock standing still would give.
    EXPECT_STRNE(w0, "ED11B7A36DB07A5D");
}

}  // namespace
