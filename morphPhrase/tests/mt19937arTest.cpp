// MT19937: the reference's published values, and init_genrand sequences
// checked against the standard library's mt19937.
#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "mt19937ar.h"
#include "mt19937arKernels.h"
namespace {

const uint32_t referenceKey[] = {0x123, 0x234, 0x345, 0x456};

// The generator is process-wide; the unseeded sequence is only visible in a
// process that has not drawn yet. A forked child inherits whatever the tests
// before it did to the generator (in a repeated or shuffled run, a seeded
// one), so the first draws are taken while the program starts, before any
// test runs. Nothing else in the test program draws before main.
const uint32_t firstUnseededDraws[3] = {genrand_int32(), genrand_int32(), genrand_int32()};

TEST(Mt19937ar, UnseededStartsFromTheDefaultSeed) {
    EXPECT_EQ(firstUnseededDraws[0], 3499211612u);
    EXPECT_EQ(firstUnseededDraws[1], 581869302u);
    EXPECT_EQ(firstUnseededDraws[2], 3890346734u);
}

TEST(Mt19937ar, ReferenceVectors) {
    init_genrand(0);
    EXPECT_EQ(genrand_int32(), 2357136044u);
    EXPECT_EQ(genrand_int32(), 2546248239u);

    init_by_array(referenceKey, 4);
    const uint32_t expected[] = {1067595299u, 955945823u, 477289528u, 4107218783u, 4228976476u};
    for (uint32_t want : expected) EXPECT_EQ(genrand_int32(), want);
}

TEST(Mt19937ar, InitGenrandMatchesStdMt19937AcrossRegenerations) {
    const uint32_t seeds[] = {0u, 1u, 5489u, 19650218u, 0x80000000u, 0xFFFFFFFFu, 0xDEADBEEFu};
    for (uint32_t seed : seeds) {
        std::mt19937 oracle(seed);
        init_genrand(seed);
        for (int i = 0; i < 2500; ++i) {
            uint32_t want = uint32_t(oracle());
            uint32_t got = genrand_int32();
            if (got != want) {
                ADD_FAILURE() << "seed " << seed << ", draw " << i << ": " << got << " != " << want;
                break;
            }
        }
    }
}

TEST(Mt19937ar, ReseedingRestartsTheSequence) {
    init_genrand(42);
    uint32_t first = genrand_int32();
    for (int i = 0; i < 1000; ++i) genrand_int32();
    init_genrand(42);
    EXPECT_EQ(genrand_int32(), first);
}

// Each derived output takes its stated number of draws from the one
// sequence, and maps them as stated.
TEST(Mt19937ar, DerivedOutputsAndTheirDrawCounts) {
    const uint32_t seed = 777;
    std::mt19937 oracle(seed);
    init_genrand(seed);

    uint32_t d = uint32_t(oracle());
    EXPECT_EQ(genrand_int31(), d >> 1);
    d = uint32_t(oracle());
    EXPECT_EQ(genrand_real1(), d * (1.0 / 4294967295.0));
    d = uint32_t(oracle());
    EXPECT_EQ(genrand_real2(), d * (1.0 / 4294967296.0));
    d = uint32_t(oracle());
    EXPECT_EQ(genrand_real3(), (d + 0.5) * (1.0 / 4294967296.0));
    uint32_t a = uint32_t(oracle()) >> 5, b = uint32_t(oracle()) >> 6;
    EXPECT_EQ(genrand_res53(), (a * 67108864.0 + b) * (1.0 / 9007199254740992.0));
    // Everything above used exactly 6 draws.
    EXPECT_EQ(genrand_int32(), uint32_t(oracle()));

    init_genrand(0xFFFFFFFFu);
    for (int i = 0; i < 200; ++i) {
        double r1 = genrand_real1(), r2 = genrand_real2(), r3 = genrand_real3(), r53 = genrand_res53();
        EXPECT_TRUE(r1 >= 0.0 && r1 <= 1.0);
        EXPECT_TRUE(r2 >= 0.0 && r2 < 1.0);
        EXPECT_TRUE(r3 > 0.0 && r3 < 1.0);
        EXPECT_TRUE(r53 >= 0.0 && r53 < 1.0);
    }
}

TEST(Mt19937ar, BytesFromTheReferenceKey) {
    init_by_array(referenceKey, 4);
    uint8_t bytes[8] = {0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA};
    ASSERT_EQ(mt19937ar_bytes(bytes, 6), 0);
    const uint8_t expected[8] = {0x23, 0x36, 0xA2, 0x3F, 0x5F, 0x93, 0xAA, 0xAA};
    for (int i = 0; i < 8; ++i) EXPECT_EQ(bytes[i], expected[i]) << "byte " << i;
    // The rest of the second draw was discarded: the next is the third.
    EXPECT_EQ(genrand_int32(), 477289528u);
}

TEST(Mt19937ar, BytesDrawCountsAndFailures) {
    const struct {
        size_t count;
        int draws;
    } cases[] = {{0, 0}, {1, 1}, {4, 1}, {5, 2}, {8, 2}, {9, 3}, {2496, 624}, {2497, 625}};
    uint8_t bytes[2500];
    for (const auto &c : cases) {
        std::mt19937 oracle(99);
        init_genrand(99);
        ASSERT_EQ(mt19937ar_bytes(bytes, c.count), 0);
        for (int i = 0; i < c.draws; ++i) {
            uint32_t w = uint32_t(oracle());
            for (size_t k = 0; k < 4 && size_t(i) * 4 + k < c.count; ++k)
                ASSERT_EQ(bytes[size_t(i) * 4 + k], uint8_t(w >> (8 * k))) << c.count << " byte " << i * 4 + int(k);
        }
        EXPECT_EQ(genrand_int32(), uint32_t(oracle())) << "count " << c.count;
    }

    init_genrand(99);
    errno = 0;
    EXPECT_EQ(mt19937ar_bytes(nullptr, 6), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(genrand_int32(), uint32_t(std::mt19937(99)()));  // nothing was drawn
}

// The wide kernels against the recurrence and the tempering written out
// plainly, and whole vectors against std::mt19937. Every kernel that this
// processor runs is checked; the others are named as the test is skipped.

void plainRegenerate(std::vector<uint32_t> &v) {
    const uint32_t mag01[2] = {0u, 0x9908B0DFu};
    for (int kk = 0; kk < 624; ++kk) {
        uint32_t y = (v[size_t(kk)] & 0x80000000u) | (v[size_t(kk + 1) % 624] & 0x7FFFFFFFu);
        v[size_t(kk)] = v[size_t(kk + 397) % 624] ^ (y >> 1) ^ mag01[y & 1u];
    }
}

uint32_t plainTemper(uint32_t y) {
    y ^= y >> 11;
    y ^= (y << 7) & 0x9D2C5680u;
    y ^= (y << 15) & 0xEFC60000u;
    return y ^ (y >> 18);
}

TEST(Mt19937ar, EveryKernelThatRunsHere) {
    std::string notRun;
    for (const MtKernel &k : mtKernels) {
        if (!mtKernelRuns(k.name)) {
            notRun += std::string(" ") + k.name;
            continue;
        }
        SCOPED_TRACE(k.name);
        // Vectors of arbitrary words, regenerated twice.
        std::mt19937 words(2024);
        for (int round = 0; round < 4; ++round) {
            std::vector<uint32_t> v(624), plain;
            for (uint32_t &w : v) w = uint32_t(words());
            plain = v;
            for (int pass = 0; pass < 2; ++pass) {
                k.regenerate(v.data());
                plainRegenerate(plain);
                EXPECT_TRUE(v == plain) << "pass " << pass;
            }
        }
        // A seeded vector gives std::mt19937's first 1248 draws.
        for (uint32_t seed : {0u, 5489u, 0xFFFFFFFFu}) {
            std::vector<uint32_t> v(624), out(624);
            v[0] = seed;
            for (uint32_t i = 1; i < 624; ++i) v[i] = 1812433253u * (v[i - 1] ^ (v[i - 1] >> 30)) + i;
            std::mt19937 oracle(seed);
            for (int pass = 0; pass < 2; ++pass) {
                k.regenerate(v.data());
                k.temper(v.data(), out.data(), 624);
                for (size_t i = 0; i < 624; ++i) {
                    if (out[i] != uint32_t(oracle())) {
                        ADD_FAILURE() << "seed " << seed << ", draw " << pass * 624 + int(i);
                        break;
                    }
                }
            }
        }
        // Tempering any count from any alignment, leaving the words after it.
        std::vector<uint32_t> src(80), dst(82);
        for (uint32_t &w : src) w = uint32_t(words());
        for (size_t offset : {0u, 1u, 3u}) {
            for (size_t count : {0u, 1u, 7u, 15u, 16u, 17u, 33u, 77u}) {
                std::fill(dst.begin(), dst.end(), 0xA5A5A5A5u);
                k.temper(src.data() + offset, dst.data() + 1, count);
                EXPECT_EQ(dst[0], 0xA5A5A5A5u);
                for (size_t i = 0; i < count; ++i) EXPECT_EQ(dst[1 + i], plainTemper(src[offset + i])) << i;
                EXPECT_EQ(dst[1 + count], 0xA5A5A5A5u) << "count " << count;
            }
        }
    }
    EXPECT_TRUE(mtKernelRuns("portable"));
    EXPECT_FALSE(mtKernelRuns("sse9"));
    if (!notRun.empty()) GTEST_SKIP() << "kernels not run on this processor:" << notRun;
}

// Words in any count, mixed with single draws, are the one sequence.
TEST(Mt19937ar, WordsContinueTheSequence) {
    const size_t counts[] = {0, 1, 623, 624, 625, 1, 2496, 5, 1247};
    std::mt19937 oracle(31337);
    init_genrand(31337);
    std::vector<uint32_t> words;
    for (size_t count : counts) {
        words.assign(count + 1, 0xDEADBEEFu);
        mt19937ar_words(words.data(), count);
        for (size_t i = 0; i < count; ++i) {
            if (words[i] != uint32_t(oracle())) {
                ADD_FAILURE() << "count " << count << ", word " << i;
                return;
            }
        }
        EXPECT_EQ(words[count], 0xDEADBEEFu) << "nothing written past the count";
        EXPECT_EQ(genrand_int32(), uint32_t(oracle())) << "after " << count << " words";
    }
}

}  // namespace
