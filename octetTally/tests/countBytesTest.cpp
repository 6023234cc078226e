// The counting kernels: every kernel this processor can run, the tool's own
// choice among them, and the count beside the order sums, against a plain
// count on random, skewed, one-byte and block-boundary inputs, and totals
// beyond 32 bits.
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "countBytes.h"
#include "sequenceSums.h"

namespace {

using Counts = std::vector<std::uint64_t>;

ByteCounters counters;

Counts naiveCount(const std::vector<unsigned char> &data) {
    Counts counts(256, 0);
    for (unsigned char byte : data) ++counts[byte];
    return counts;
}

Counts taken() {
    std::uint64_t totals[256] = {};
    takeByteTotals(counters, totals);
    return Counts(totals, totals + 256);
}

std::vector<unsigned char> randomBytes(std::size_t n, std::uint32_t seed) {
    std::mt19937 gen(seed);
    std::vector<unsigned char> data(n);
    for (unsigned char &byte : data) byte = static_cast<unsigned char>(gen());
    return data;
}

// Mostly a handful of values, as in text, with runs and the odd high byte.
std::vector<unsigned char> skewedBytes(std::size_t n, std::uint32_t seed) {
    std::mt19937 gen(seed);
    std::geometric_distribution<int> skew(0.15);
    std::vector<unsigned char> data(n);
    for (unsigned char &byte : data) byte = static_cast<unsigned char>(' ' + skew(gen) % 224);
    return data;
}

std::vector<unsigned char> textBytes(std::size_t n) {
    const std::string line = "Nine lines of eight words and a tab\there, then a newline.\n";
    std::vector<unsigned char> data;
    while (data.size() < n) data.insert(data.end(), line.begin(), line.end());
    data.resize(n);
    return data;
}

// The kernels, the tool's entry, and the count beside the order sums, run
// only where it has a loop of its own (the processor has AVX2 and counts
// word by word).
struct Way {
    std::string name;
    bool runnable;
    void (*count)(CountKernel, const unsigned char *, std::size_t);
    CountKernel kernel;
};

void viaKernel(CountKernel kernel, const unsigned char *p, std::size_t n) {
    countBytesWith(counters, kernel, p, n);
}
void viaEntry(CountKernel, const unsigned char *p, std::size_t n) { countBytes(counters, p, n); }
SequenceState order;  // its sums are the order sums' tests' own
void viaOrderSums(CountKernel, const unsigned char *p, std::size_t n) { sequenceFeedCounting(order, counters, p, n); }

std::vector<Way> ways() {
    std::vector<Way> all;
    for (int k = 0; k < kCountKernelCount; ++k) {
        const auto kernel = static_cast<CountKernel>(k);
        all.push_back({countKernelName(kernel), countKernelSupported(kernel), viaKernel, kernel});
    }
    all.push_back({std::string("entry (") + countKernelName(chosenCountKernel()) + ")", true,
                   viaEntry, chosenCountKernel()});
    all.push_back({"beside the order sums",
                   orderKernelSupported(OrderKernel::avx2) && chosenCountKernel() == CountKernel::multiTable,
                   viaOrderSums, chosenCountKernel()});
    return all;
}

std::string notRunnable() {
    std::string names;
    for (const Way &way : ways()) {
        if (!way.runnable) names += (names.empty() ? "" : ", ") + way.name;
    }
    return names;
}

TEST(CountBytes, EveryKernelAgreesWithAPlainCount) {
    struct Input {
        std::string name;
        std::vector<unsigned char> data;
    };
    std::vector<Input> inputs = {
        {"random", randomBytes(3 * 65536 + 777, 1)},
        {"skewed", skewedBytes(2 * 65536 + 5, 2)},
        {"text", textBytes(300000)},
        {"one byte", std::vector<unsigned char>(200000, 0x41)},
        {"zeros", std::vector<unsigned char>(131072, 0)},
        {"0xFF", std::vector<unsigned char>(70000, 0xff)},
    };
    // A run of one value that breaks off inside a look, a word and a plane
    // block; every value once.
    std::vector<unsigned char> broken(65536 + 600, 'x');
    broken[65536 + 70] = 'y';
    broken[3] = 0x80;
    inputs.push_back({"broken run", broken});
    // Text with one byte of each high half-byte, each in a different 512-byte
    // block of its group of four or in the last, lone block.
    std::vector<unsigned char> rare = textBytes(8 * 2048 + 512);
    for (int h = 0; h < 16; ++h) {
        const std::size_t at = h < 15 ? h * 521 + 7 : 8 * 2048 + 100;
        rare[at] = static_cast<unsigned char>(h * 16 + 15 - h);
    }
    inputs.push_back({"rare half-bytes", rare});
    std::vector<unsigned char> each;
    for (int v = 0; v < 256; ++v) each.push_back(static_cast<unsigned char>(v));
    inputs.push_back({"each value", each});

    for (const Way &way : ways()) {
        if (!way.runnable) continue;
        for (const Input &input : inputs) {
            way.count(way.kernel, input.data.data(), input.data.size());
            EXPECT_EQ(taken(), naiveCount(input.data)) << way.name << " on " << input.name;
        }
    }
    if (!notRunnable().empty()) GTEST_SKIP() << "not run on this processor: " << notRunnable();
}

TEST(CountBytes, EveryLengthAndAlignmentAtBlockBoundaries) {
    // Lengths around the words (8), the plane blocks (512) and the looks
    // (65,536), from every offset within a word, in several calls whose
    // counts add up.
    const std::vector<unsigned char> data = skewedBytes(3 * 65536 + 2048, 7);
    std::vector<std::size_t> lengths;
    for (std::size_t base : {std::size_t{0}, std::size_t{512}, std::size_t{1024}, std::size_t{65536},
                             std::size_t{131072}}) {
        for (std::size_t d = 0; d <= 9; ++d) {
            if (base + d >= 4) lengths.push_back(base + d - 4);
        }
    }
    for (const Way &way : ways()) {
        if (!way.runnable) continue;
        for (std::size_t n : lengths) {
            for (std::size_t offset = 0; offset < 8; ++offset) {
                const unsigned char *p = data.data() + offset;
                const std::size_t split = n / 3;
                way.count(way.kernel, p, split);
                way.count(way.kernel, p + split, n - split);
                const std::vector<unsigned char> part(p, p + n);
                ASSERT_EQ(taken(), naiveCount(part))
                    << way.name << ", " << n << " bytes from offset " << offset;
            }
        }
    }
    if (!notRunnable().empty()) GTEST_SKIP() << "not run on this processor: " << notRunnable();
}

TEST(CountBytes, TotalsBeyondThirtyTwoBits) {
    // A little over 4 GiB through one block counted again and again: the
    // value that fills all but every 64th byte of it passes 2^32 on its own,
    // so the 32-bit counters must be folded on the way.
    constexpr std::size_t blockSize = 1 << 20;
    std::vector<unsigned char> block = randomBytes(blockSize, 3);
    for (std::size_t i = 0; i < blockSize; ++i) {
        if (i % 64 != 63) block[i] = 'e';
    }
    const Counts once = naiveCount(block);
    constexpr std::uint64_t repeats = 4200;
    ASSERT_GT(once['e'] * repeats, std::uint64_t{1} << 32);
    for (const Way &way : ways()) {
        // The entry and the count beside the order sums fold as the kernels do
        // (the next test), and would only take longer.
        if (!way.runnable || way.count == viaEntry || way.count == viaOrderSums) continue;
        for (std::uint64_t r = 0; r < repeats; ++r) way.count(way.kernel, block.data(), block.size());
        const Counts got = taken();
        for (std::size_t v = 0; v < 256; ++v) {
            ASSERT_EQ(got[v], once[v] * repeats) << way.name << ", value " << v;
        }
    }
    if (!notRunnable().empty()) GTEST_SKIP() << "not run on this processor: " << notRunnable();
}

TEST(CountBytes, CountersNearTheirLimitAreFoldedFirst) {
    // The counters as a run of 'A' leaves them, 5,000 bytes short of the
    // 32-bit limit, then a megabyte of 'A' that each way counts word by
    // word (a high byte opens each look block): counted into the same
    // counters unfolded, the count of 'A' would wrap.
    std::vector<unsigned char> data(1 << 20, 'A');
    for (std::size_t i = 0; i < data.size(); i += kLookBlock) data[i] = 0xFF;
    const std::uint32_t before = UINT32_MAX - 5000;
    for (const Way &way : ways()) {
        if (!way.runnable) continue;
        counters.laneCounts[0]['A'] = before;
        counters.bytesSinceFold[static_cast<int>(CountKernel::multiTable)] = before;
        way.count(way.kernel, data.data(), data.size());
        Counts want = naiveCount(data);
        want['A'] += before;
        ASSERT_EQ(taken(), want) << way.name;
    }
    if (!notRunnable().empty()) GTEST_SKIP() << "not run on this processor: " << notRunnable();
}

TEST(CountBytes, NamesAndChoice) {
    EXPECT_TRUE(countKernelSupported(CountKernel::multiTable));
    EXPECT_TRUE(countKernelSupported(CountKernel::pairTable));
    EXPECT_TRUE(countKernelSupported(chosenCountKernel()));
    // The widest kernel the processor can run is the one chosen.
    EXPECT_EQ(chosenCountKernel() == CountKernel::bitPlanes,
              countKernelSupported(CountKernel::bitPlanes));
    EXPECT_STRNE(countKernelName(CountKernel::multiTable), countKernelName(CountKernel::pairTable));
}

}  // namespace
