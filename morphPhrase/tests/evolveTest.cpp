// The evolution loop with the generator seeded through its own interface:
// whole runs (tries, every display line, the final line and flags) of every
// kernel that runs here, against a plain loop written from the algorithm's
// description that draws from the standard library's mt19937, and against
// totals and digests of the display output recorded from the loop as it was
// before it was made faster.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "evolve.h"
#include "mt19937ar.h"
#include "mt19937arKernels.h"
#include "sha256.h"

namespace {

const char alphabet[] = "abcdefghijklmnopqrstuvwxyz ";

// A phrase of n alphabet members with letters and spaces mixed.
std::string testPhrase(size_t n) {
    std::string s(n, ' ');
    for (size_t i = 0; i < n; ++i) s[i] = alphabet[(i * 11 + (i >> 4)) % 27];
    return s;
}

struct Outcome {
    int64_t tries = 0;
    std::string display;  // every line written during the run
    std::string final;
    std::vector<unsigned char> correct;
};

// The loop as described: a position by masking and rejecting (none drawn for
// a single character), a character the same way with 31 and 27 if the
// position is still wrong, a display line every updatePeriod tries.
Outcome referenceRun(const std::string &phrase, uint32_t seed, int64_t updatePeriod) {
    std::mt19937 draw(seed);
    const uint32_t n = uint32_t(phrase.size());
    uint32_t mask = n - 1;
    for (int shift = 1; shift < 32; shift *= 2) mask |= mask >> shift;
    Outcome run;
    run.final.assign(n, '.');
    run.correct.assign(n, 0);
    uint32_t found = 0;
    int64_t sinceDisplay = 0;
    do {
        uint32_t p = 0;
        if (n >= 2) {
            do p = uint32_t(draw()) & mask;
            while (p >= n);
        }
        if (!run.correct[p]) {
            uint32_t k;
            do k = uint32_t(draw()) & 31u;
            while (k > 26);
            run.final[p] = alphabet[k];
            if (alphabet[k] == phrase[p]) {
                ++found;
                run.correct[p] = 1;
                if (phrase[p] != ' ') run.final[p] = char(phrase[p] - 'a' + 'A');
            }
        }
        if (updatePeriod != 0 && ++sinceDisplay >= updatePeriod) {
            run.display += run.final + "\n";
            sinceDisplay = 0;
        }
        ++run.tries;
    } while (found != n);
    return run;
}

Outcome toolRun(EvolveKernel kernel, const std::string &phrase, uint32_t seed, int64_t updatePeriod) {
    const size_t n = phrase.size();
    std::vector<char> buf(n + 1, '.');
    buf[n] = '\0';
    Outcome run;
    run.correct.assign(n, 0);
    char *text = nullptr;
    size_t size = 0;
    FILE *display = open_memstream(&text, &size);
    EXPECT_NE(display, nullptr);
    if (display == nullptr) return run;
    init_genrand(seed);
    run.tries = evolveWith(kernel, phrase.c_str(), buf.data(), run.correct.data(), n, updatePeriod, display);
    EXPECT_EQ(std::fclose(display), 0);
    run.display.assign(text, size);
    std::free(text);
    run.final.assign(buf.data(), n);
    EXPECT_EQ(buf[n], '\0');
    return run;
}

std::string digest(const std::string &s) {
    sha256_ctx ctx;
    uint8_t out[32];
    sha256_starts(&ctx);
    sha256_update(&ctx, reinterpret_cast<const uint8_t *>(s.data()), uint32_t(s.size()));
    sha256_finish(&ctx, out);
    return sha256_digest_to_string(out);
}

std::string upperCase(std::string s) {
    for (char &c : s) {
        if (c >= 'a' && c <= 'z') c = char(c - 'a' + 'A');
    }
    return s;
}

// Seeds, lengths (one character; two; a power of two, where no position draw
// is rejected; one past it, where nearly half are; lengths whose display
// lines are long) and display periods, with the tries and the SHA-256 of the
// display output that the loop gave for each before it was made faster; the
// rows without them are checked against the plain loop alone. The periods
// from 15 to 18 put display lines just inside and just past a group of
// draws checked at once, and make a group of sixteen the largest one that
// may be checked before a line is due, or rule groups out altogether.
const struct {
    uint32_t seed;
    size_t n;
    int64_t updatePeriod;
    int64_t tries;
    const char *displayDigest;
} recorded[] = {
    {5489, 1, 1, 38, "6934cfa15fa7bb87b11e89d096c795666fcab61b9c6128a97343ce4a1ff1fcd8"},
    {1, 2, 1, 26, "a02a47ed88ca09a14d3ded0e2b53f5c21a199bf7f826aea24e71eba10ec425ea"},
    {0xDEADBEEF, 28, 1, 3235, "1b0d1c3041806b7b0353b06e5d7153a3660dce9824ed234003e663e339fbc4ee"},
    {7, 4096, 997, 842955, "b3ce4333171cd09533ec859e6716e8825fabe6284d9563d23bf7b5a8f5c74613"},
    {8, 4097, 1000, 951784, "5fb89001e197702a80a044fb22df08f0e794896130ade79a018c5d78b0cf8dca"},
    {12345, 100000, 1000003, 31568566, "dd1d30ee73484dc58d2564574a79a607462037713f67fdaf2d429b5fb8ae3e91"},
    {0x80000000, 300000, 0, 99018789, "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
    {42, 65536, 0, 21048841, "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
    {3, 2, 17, 0, nullptr},
    {4, 16, 16, 0, nullptr},
    {5, 17, 17, 0, nullptr},
    {6, 512, 15, 0, nullptr},
    {9, 513, 17, 0, nullptr},
    {10, 600, 18, 0, nullptr},
    {11, 1024, 16, 0, nullptr},
    {13, 1025, 33, 0, nullptr},
};

const EvolveKernel kernels[] = {EvolveKernel::portable, EvolveKernel::avx2, EvolveKernel::avx512};
static_assert(std::size(kernels) == kEvolveKernelCount);

TEST(Evolve, EveryKernelMatchesThePlainLoopAndTheRecordedRuns) {
    std::string notRun;
    for (EvolveKernel kernel : kernels) {
        // The loop's kernels run where the generator's of the same names do.
        EXPECT_EQ(evolveKernelRuns(kernel), mtKernelRuns(evolveKernelName(kernel))) << evolveKernelName(kernel);
        if (!evolveKernelRuns(kernel)) notRun += std::string(" ") + evolveKernelName(kernel);
    }
    for (const auto &c : recorded) {
        const std::string phrase = testPhrase(c.n);
        const Outcome want = referenceRun(phrase, c.seed, c.updatePeriod);
        if (c.displayDigest != nullptr) {
            EXPECT_EQ(want.tries, c.tries) << "seed " << c.seed << ", " << c.n << " characters";
            EXPECT_EQ(digest(want.display), c.displayDigest) << "seed " << c.seed << ", " << c.n << " characters";
        }
        for (EvolveKernel kernel : kernels) {
            if (!evolveKernelRuns(kernel)) continue;
            SCOPED_TRACE(std::string(evolveKernelName(kernel)) + " kernel, seed " + std::to_string(c.seed) + ", " +
                         std::to_string(c.n) + " characters, period " + std::to_string(c.updatePeriod));
            const Outcome got = toolRun(kernel, phrase, c.seed, c.updatePeriod);
            EXPECT_EQ(got.tries, want.tries);
            EXPECT_TRUE(got.display == want.display) << "display output differs from the plain loop's";
            EXPECT_EQ(got.final, upperCase(phrase));
            EXPECT_TRUE(got.correct == std::vector<unsigned char>(c.n, 1));
            if (c.updatePeriod != 0) {
                EXPECT_EQ(got.display.size(), size_t(got.tries / c.updatePeriod) * (c.n + 1));
            }
        }
    }
    EXPECT_TRUE(evolveKernelRuns(EvolveKernel::portable));
    EXPECT_TRUE(evolveKernelRuns(evolveKernel()));
    if (!notRun.empty()) GTEST_SKIP() << "kernels not run on this processor:" << notRun;
}

// Runs that share a process start from clean state: a second run of the same
// seed gives the same result, whatever the length of the run before it.
TEST(Evolve, RepeatedRunsAreIndependent) {
    const std::string longer = testPhrase(5000), shorter = testPhrase(700);
    const EvolveKernel kernel = evolveKernel();
    Outcome first = toolRun(kernel, shorter, 99, 50);
    toolRun(kernel, longer, 3, 0);
    Outcome again = toolRun(kernel, shorter, 99, 50);
    EXPECT_EQ(first.tries, again.tries);
    EXPECT_TRUE(first.display == again.display);
    EXPECT_EQ(first.tries, referenceRun(shorter, 99, 50).tries);
}

}  // namespace
