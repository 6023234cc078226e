// The sort library: order and stability against std::stable_sort for every
// width instance, comparison counts, the allocations seen through the shared
// allocator substitute, allocation failures, inconsistent comparison
// functions and the checks a caller can set off.
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <numeric>
#include <random>
#include <regex>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "allocationHook.h"
#include "testing.h"
#include "timsort.h"

using testing_support::RunResult;
using testing_support::runInChild;

// ---------------------------------------------------------------------------
// Allocations, seen through the shared allocator substitute: while watching,
// every call is recorded, and the one numbered `failAt` (1-based) fails with
// ENOMEM.

namespace {

// What one run-stack entry (a base pointer and a length) takes.
constexpr std::size_t kRunEntryBytes = sizeof(char *) + sizeof(std::size_t);

struct AllocationLog {
    int mallocs = 0;  // calls, the failed one included
    int live = 0;     // successful mallocs minus frees
    std::size_t sizes[64] = {};
};
AllocationLog alloc;

void watchAllocations(int failAt = 0) {
    alloc = AllocationLog{};
    allocation_hook::arm(static_cast<std::size_t>(-1), 0, failAt);
}

void stopWatching() {
    const std::vector<std::size_t> sizes = allocation_hook::disarm();
    const allocation_hook::Counts seen = allocation_hook::counts();
    std::copy(sizes.begin(), sizes.end(), alloc.sizes);
    alloc.mallocs = seen.mallocs;
    alloc.live = seen.live;
    // The library never reallocates.
    EXPECT_EQ(seen.reallocs, 0);
}

}  // namespace

namespace {

// ---------------------------------------------------------------------------
// Elements of any width: a key in the leading bytes (big-endian, so that it
// is easy to read back) and the element's input position in the rest, so
// that a stable result is unique and can be compared byte for byte.

const std::size_t kWidths[] = {1, 3, 4, 8, 12, 16, 24};

std::size_t gWidth = 16;
long gComparisons = 0;

// The key of an element: for widths of 4 or more the first 4 bytes, minus
// the low byte for width 4 itself, which carries part of the position;
// width 3 keeps 2 bytes of key, width 1 the high four bits.
std::uint32_t keyOf(const void *p) {
    const auto *b = static_cast<const unsigned char *>(p);
    switch (gWidth) {
    case 1:
        return b[0] >> 4;
    case 3:
        return static_cast<std::uint32_t>(b[0] << 8 | b[1]);
    case 4:
        return static_cast<std::uint32_t>(b[0] << 16 | b[1] << 8 | b[2]);
    default:
        return static_cast<std::uint32_t>(b[0]) << 24 | static_cast<std::uint32_t>(b[1]) << 16 |
               static_cast<std::uint32_t>(b[2]) << 8 | b[3];
    }
}

std::uint32_t maxKey() {
    switch (gWidth) {
    case 1:
        return 15;
    case 3:
        return 0xffff;
    case 4:
        return 0xffffff;
    default:
        return 0xffffffff;
    }
}

int compareKeys(const void *x, const void *y) {
    ++gComparisons;
    const std::uint32_t kx = keyOf(x), ky = keyOf(y);
    return kx < ky ? -1 : kx > ky ? 1 : 0;
}

// Lays out `keys` as elements of gWidth bytes, each tagged with its position.
std::vector<unsigned char> makeElements(const std::vector<std::uint32_t> &keys) {
    std::vector<unsigned char> out(keys.size() * gWidth);
    for (std::size_t i = 0; i < keys.size(); ++i) {
        unsigned char *e = &out[i * gWidth];
        const std::uint32_t k = std::min(keys[i], maxKey());
        const std::uint64_t pos = i;
        switch (gWidth) {
        case 1:
            e[0] = static_cast<unsigned char>(k << 4 | (pos & 15));
            break;
        case 3:
            e[0] = static_cast<unsigned char>(k >> 8);
            e[1] = static_cast<unsigned char>(k);
            e[2] = static_cast<unsigned char>(pos);
            break;
        case 4:
            e[0] = static_cast<unsigned char>(k >> 16);
            e[1] = static_cast<unsigned char>(k >> 8);
            e[2] = static_cast<unsigned char>(k);
            e[3] = static_cast<unsigned char>(pos);
            break;
        default:
            for (int b = 0; b < 4; ++b) {
                e[b] = static_cast<unsigned char>(k >> (24 - 8 * b));
            }
            for (std::size_t b = 4; b < gWidth; ++b) {
                e[b] = static_cast<unsigned char>(pos >> (8 * ((b - 4) % 8)));
            }
        }
    }
    return out;
}

// The oracle: std::stable_sort of the element indices by the same order.
std::vector<unsigned char> stableSorted(const std::vector<unsigned char> &in) {
    const std::size_t n = in.size() / gWidth;
    std::vector<std::size_t> order(n);
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(), [&](std::size_t x, std::size_t y) {
        return keyOf(&in[x * gWidth]) < keyOf(&in[y * gWidth]);
    });
    std::vector<unsigned char> out(in.size());
    for (std::size_t i = 0; i < n; ++i) {
        std::memcpy(&out[i * gWidth], &in[order[i] * gWidth], gWidth);
    }
    return out;
}

// The elements as a sorted list of byte strings: equal for two arrays that
// hold the same elements, each as often.
std::vector<std::string_view> asMultiset(const std::vector<unsigned char> &v, std::size_t width) {
    std::vector<std::string_view> out;
    out.reserve(v.size() / width);
    for (std::size_t i = 0; i + width <= v.size(); i += width) {
        out.emplace_back(reinterpret_cast<const char *>(&v[i]), width);
    }
    std::sort(out.begin(), out.end());
    return out;
}

// ---------------------------------------------------------------------------
// Key distributions.

enum class Shape {
    Random,
    Sorted,
    Descending,        // strictly descending where the key range allows
    DescendingPairs,   // descending with equal neighbours
    FewDistinct,
    EqualStretches,    // long runs of equal keys
    Sawtooth,
    OrganPipe,
    GallopLo,          // two runs, the first shorter, interleaved in long stretches
    GallopHi,          // the same with the first run longer
    Stretches,         // many runs that interleave in stretches of varied length
};

const Shape kShapes[] = {Shape::Random,      Shape::Sorted,         Shape::Descending,
                         Shape::DescendingPairs, Shape::FewDistinct, Shape::EqualStretches,
                         Shape::Sawtooth,    Shape::OrganPipe,      Shape::GallopLo,
                         Shape::GallopHi,    Shape::Stretches};

const char *shapeName(Shape s) {
    static const char *const names[] = {"random",    "sorted",    "descending", "descendingPairs",
                                        "fewDistinct", "equalStretches", "sawtooth", "organPipe",
                                        "gallopLo",  "gallopHi",  "stretches"};
    return names[static_cast<int>(s)];
}

// Two ascending runs of l1 and n - l1 keys whose values interleave in
// stretches of `stretch` (scaled to the key range by `scale`).
void twoInterleavedRuns(std::vector<std::uint32_t> &k, std::size_t l1, std::size_t stretch,
                        std::mt19937 &rng) {
    const std::size_t n = k.size();
    std::vector<std::uint32_t> all(n);
    std::vector<int> side(n);
    // Walk the value line, handing out stretches to either run in turn, so
    // that both take their share.
    std::size_t left1 = l1, left2 = n - l1;
    int who = 1;
    for (std::size_t v = 0; v < n; ++v) {
        if (v % stretch == 0 && v != 0) {
            who = (rng() % 4 == 0) ? who : 3 - who;
        }
        if (who == 1 && left1 == 0) who = 2;
        if (who == 2 && left2 == 0) who = 1;
        side[v] = who;
        (who == 1 ? left1 : left2)--;
    }
    std::size_t i1 = 0, i2 = l1;
    for (std::size_t v = 0; v < n; ++v) {
        (side[v] == 1 ? k[i1++] : k[i2++]) = static_cast<std::uint32_t>(v);
    }
}

std::vector<std::uint32_t> makeKeys(Shape shape, std::size_t n, std::uint32_t seed) {
    std::mt19937 rng(seed);
    std::vector<std::uint32_t> k(n);
    const std::uint32_t top = maxKey();
    // Scales 0 .. n-1 onto the key range without losing order.
    auto scaled = [&](std::size_t v) {
        return n <= top ? static_cast<std::uint32_t>(v)
                        : static_cast<std::uint32_t>(static_cast<std::uint64_t>(v) * top / n);
    };
    switch (shape) {
    case Shape::Random:
        for (auto &x : k) x = static_cast<std::uint32_t>(rng() % (top + 1ULL));
        break;
    case Shape::Sorted:
        for (std::size_t i = 0; i < n; ++i) k[i] = scaled(i);
        break;
    case Shape::Descending:
        for (std::size_t i = 0; i < n; ++i) k[i] = scaled(n - 1 - i);
        break;
    case Shape::DescendingPairs:
        for (std::size_t i = 0; i < n; ++i) k[i] = scaled((n - 1 - i) / 2);
        break;
    case Shape::FewDistinct:
        for (auto &x : k) x = rng() % 4;
        break;
    case Shape::EqualStretches: {
        std::uint32_t key = 0;
        for (std::size_t i = 0; i < n; ++i) {
            if (i % 100 == 0) key = static_cast<std::uint32_t>(rng() % (top + 1ULL));
            k[i] = key;
        }
        break;
    }
    case Shape::Sawtooth:
        for (std::size_t i = 0; i < n; ++i) k[i] = scaled(i % 97) ;
        break;
    case Shape::OrganPipe:
        for (std::size_t i = 0; i < n; ++i) k[i] = scaled(i < n / 2 ? i : n - i);
        break;
    case Shape::GallopLo:
        twoInterleavedRuns(k, n / 3, 50, rng);
        for (auto &x : k) x = scaled(x);
        break;
    case Shape::GallopHi:
        twoInterleavedRuns(k, n - n / 3, 50, rng);
        for (auto &x : k) x = scaled(x);
        break;
    case Shape::Stretches: {
        // Ascending runs of 40 to 400 keys, each from its own offset, so
        // that merges meet stretches of every length.
        std::size_t i = 0;
        while (i < n) {
            std::size_t len = 40 + rng() % 361;
            std::uint32_t v = static_cast<std::uint32_t>(rng() % (n + 1));
            for (std::size_t j = 0; j < len && i < n; ++j, ++i) {
                k[i] = scaled(std::min<std::size_t>(v, n - 1));
                v += 1 + (rng() % 16 == 0 ? static_cast<std::uint32_t>(rng() % 64) : 0);
            }
        }
        break;
    }
    }
    return k;
}

// Sorts `keys` laid out at gWidth with the library and compares with the
// oracle. Returns true when they agree.
::testing::AssertionResult sortsLikeStableSort(const std::vector<std::uint32_t> &keys) {
    std::vector<unsigned char> data = makeElements(keys);
    const std::vector<unsigned char> expected = stableSorted(data);
    errno = 0;
    const int rc = timsort(data.empty() ? nullptr : data.data(), keys.size(), gWidth, compareKeys);
    if (rc != 0) {
        return ::testing::AssertionFailure() << "result " << rc << ", errno " << errno;
    }
    if (data != expected) {
        std::size_t i = 0;
        while (i < data.size() && data[i] == expected[i]) ++i;
        return ::testing::AssertionFailure() << "first difference at element " << i / gWidth;
    }
    return ::testing::AssertionSuccess();
}

// ---------------------------------------------------------------------------

TEST(Timsort, OrderAndStabilityAroundEveryThreshold) {
    const std::size_t sizes[] = {0, 1, 2, 3, 31, 32, 33, 63, 64, 65, 255, 256, 257, 511, 512, 513, 1000, 4321};
    for (std::size_t width : kWidths) {
        gWidth = width;
        for (Shape shape : kShapes) {
            for (std::size_t n : sizes) {
                for (std::uint32_t seed = 1; seed <= 2; ++seed) {
                    EXPECT_TRUE(sortsLikeStableSort(makeKeys(shape, n, seed)))
                        << "width " << width << ", " << shapeName(shape) << ", n " << n
                        << ", seed " << seed;
                }
            }
        }
    }
}

TEST(Timsort, OrderAndStabilityOnLargeArrays) {
    struct Case {
        std::size_t width;
        Shape shape;
        std::size_t n;
    };
    const Case cases[] = {
        {16, Shape::Random, 1000000},       {12, Shape::GallopHi, 100000},
        {4, Shape::Random, 100000},         {16, Shape::GallopLo, 100000},
        {3, Shape::EqualStretches, 30000},  {24, Shape::OrganPipe, 30000},
        {1, Shape::Random, 30000},          {8, Shape::DescendingPairs, 30000},
        {8, Shape::Stretches, 100000},
    };
    for (const Case &c : cases) {
        gWidth = c.width;
        EXPECT_TRUE(sortsLikeStableSort(makeKeys(c.shape, c.n, 7)))
            << "width " << c.width << ", " << shapeName(c.shape) << ", n " << c.n;
        EXPECT_TRUE(sortsLikeStableSort(makeKeys(Shape::Stretches, c.n / 10, 9)))
            << "width " << c.width << ", stretches, n " << c.n / 10;
    }
}

TEST(Timsort, SmallCasesByHand) {
    // Keys with their input positions: 3, 2, 2, 1 is the descending run 3, 2
    // (the equal pair ends it), reversed; the second 2 then goes after the first.
    gWidth = 16;
    struct Case {
        std::vector<std::uint32_t> keys;
        std::vector<std::size_t> expectedPositions;
    };
    const Case cases[] = {
        {{3, 2, 2, 1}, {3, 1, 2, 0}},
        {{2, 1}, {1, 0}},
        {{1, 1}, {0, 1}},
        {{1, 2, 1, 2, 1}, {0, 2, 4, 1, 3}},
        {{5, 4, 3, 3, 2, 1}, {5, 4, 2, 3, 1, 0}},
    };
    for (const Case &c : cases) {
        std::vector<unsigned char> data = makeElements(c.keys);
        ASSERT_EQ(timsort(data.data(), c.keys.size(), 16, compareKeys), 0);
        for (std::size_t i = 0; i < c.keys.size(); ++i) {
            EXPECT_EQ(data[i * 16 + 4], c.expectedPositions[i]) << "element " << i;
        }
    }
}

// Arrays of two or three runs built to reach the merges' corner cases.
std::vector<std::uint32_t> concat(std::initializer_list<std::vector<std::uint32_t>> parts) {
    std::vector<std::uint32_t> out;
    for (const auto &p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

std::vector<std::uint32_t> range(std::uint32_t from, std::uint32_t to, int step = 1) {
    std::vector<std::uint32_t> out;
    for (std::int64_t v = from; step > 0 ? v < std::int64_t{to} : v > std::int64_t{to}; v += step) {
        out.push_back(static_cast<std::uint32_t>(v));
    }
    return out;
}

TEST(Timsort, ConstructedMerges) {
    struct Case {
        const char *what;
        std::vector<std::uint32_t> keys;
    };
    const Case cases[] = {
        // Two forced runs (each reversed from descending input) already in order.
        {"run 1 wholly before run 2", concat({range(15, 0, -1), {0}, range(31, 15, -1), {16}})},
        // Trimming leaves one element of each run: 100 against 50.
        {"one against one", concat({range(1, 16), {100}, {50}, range(200, 215)})},
        // Run 2 wholly before run 1, run 1 shorter: taken one by one, then galloped.
        {"run 2 first, mergeLo", concat({range(1000, 1020), range(0, 60)})},
        {"run 2 first, mergeHi", concat({range(1000, 1060), range(0, 20)})},
        // One element of run 1 left after trimming, in either merge.
        {"mergeLo with one element", concat({range(0, 20), {500}, range(1, 40), {1000}})},
        {"mergeHi with one element", concat({{2000}, range(0, 60), range(1, 20)})},
        // Equal keys across the runs: run 1's come first.
        {"equal keys across runs", concat({range(0, 40), range(0, 40)})},
        {"equal keys, uneven", concat({std::vector<std::uint32_t>(50, 7), std::vector<std::uint32_t>(20, 7), {3}})},
        // A single element left at the end of the scan.
        {"sorted but the last", concat({range(1, 100), {0}})},
        // Three runs where the middle one is longest.
        {"three runs", concat({range(100, 140), range(0, 300, 2), range(1, 80, 2)})},
    };
    for (std::size_t width : {4u, 8u, 16u, 12u}) {
        gWidth = width;
        for (const Case &c : cases) {
            EXPECT_TRUE(sortsLikeStableSort(c.keys)) << c.what << ", width " << width;
        }
    }
}

// Runs whose lengths keep the balance rules satisfied with as many runs
// pending as possible: from the top of the stack down minRun, minRun + 1,
// then each one more than the two above it, pushed deepest first, and the
// rest of the array as one last run.
std::vector<std::uint32_t> deepestStack(std::size_t n, std::size_t minRun) {
    std::vector<std::size_t> lens = {minRun, minRun + 1};
    std::size_t sum = 2 * minRun + 1;
    for (;;) {
        const std::size_t next = lens[lens.size() - 1] + lens[lens.size() - 2] + 1;
        if (sum + next > n - 1) break;
        lens.push_back(next);
        sum += next;
    }
    std::reverse(lens.begin(), lens.end());
    lens.push_back(n - sum);
    // Each run ascends from a start below the previous run's end.
    std::vector<std::uint32_t> keys;
    std::uint32_t start = static_cast<std::uint32_t>(n);
    for (std::size_t len : lens) {
        start -= static_cast<std::uint32_t>(len / 2 + 1);
        for (std::size_t j = 0; j < len; ++j) keys.push_back(start + static_cast<std::uint32_t>(j));
    }
    return keys;
}

TEST(Timsort, MoreRunsPendingThanTheStackHolds) {
    // n, its minimum run length, and the run-stack entries set up for it.
    struct Case {
        std::size_t n;
        std::size_t minRun;
        std::size_t stackEntries;
    };
    const Case cases[] = {{256, 16, 5}, {358, 23, 5}, {4219, 17, 10}, {76209, 19, 16}, {200000, 25, 39}};
    for (std::size_t width : {16u, 4u, 12u}) {
        gWidth = width;
        for (const Case &c : cases) {
            const std::vector<std::uint32_t> keys = deepestStack(c.n, c.minRun);
            ASSERT_EQ(keys.size(), c.n);
            std::vector<unsigned char> data = makeElements(keys);
            const std::vector<unsigned char> expected = stableSorted(data);
            watchAllocations();
            const int rc = timsort(data.data(), c.n, width, compareKeys);
            stopWatching();
            EXPECT_EQ(rc, 0) << "n " << c.n;
            EXPECT_TRUE(data == expected) << "width " << width << ", n " << c.n;
            EXPECT_EQ(alloc.sizes[1], c.stackEntries * kRunEntryBytes) << "n " << c.n;
        }
    }
}

TEST(Timsort, UnalignedArrays) {
    // No alignment is assumed: sort arrays that start at odd addresses.
    for (std::size_t width : {4u, 8u, 16u, 12u}) {
        gWidth = width;
        const std::vector<std::uint32_t> keys = makeKeys(Shape::Stretches, 3000, 3);
        std::vector<unsigned char> data = makeElements(keys);
        const std::vector<unsigned char> expected = stableSorted(data);
        std::vector<unsigned char> shifted(data.size() + 1);
        std::memcpy(shifted.data() + 1, data.data(), data.size());
        ASSERT_EQ(timsort(shifted.data() + 1, keys.size(), width, compareKeys), 0);
        EXPECT_EQ(0, std::memcmp(shifted.data() + 1, expected.data(), expected.size())) << width;
    }
}

TEST(Timsort, VeryWideElements) {
    // Wider than the generic instance's stack scratch: swapped and inserted piecewise.
    for (std::size_t width : {300u, 1000u}) {
        gWidth = width;
        for (Shape shape : {Shape::Random, Shape::Descending, Shape::GallopHi}) {
            for (std::size_t n : {20u, 700u}) {
                EXPECT_TRUE(sortsLikeStableSort(makeKeys(shape, n, 5)))
                    << "width " << width << ", " << shapeName(shape) << ", n " << n;
            }
        }
    }
}

TEST(Timsort, ComparisonCounts) {
    for (std::size_t width : kWidths) {
        gWidth = width;
        for (std::size_t n : {0u, 1u, 2u, 31u, 32u, 33u, 1000u, 100000u}) {
            for (Shape shape : {Shape::Sorted, Shape::Descending}) {
                if (shape == Shape::Descending && n > maxKey() + 1) {
                    continue;  // not strictly descending in this key range
                }
                std::vector<unsigned char> data = makeElements(makeKeys(shape, n, 1));
                const std::vector<unsigned char> expected = stableSorted(data);
                gComparisons = 0;
                ASSERT_EQ(timsort(data.data(), n, width, compareKeys), 0);
                EXPECT_EQ(gComparisons, n < 2 ? 0 : static_cast<long>(n) - 1)
                    << "width " << width << ", " << shapeName(shape) << ", n " << n;
                EXPECT_TRUE(data == expected);
            }
            // All equal: one run, and the input order stands.
            std::vector<unsigned char> data = makeElements(std::vector<std::uint32_t>(n, 5));
            const std::vector<unsigned char> before = data;
            gComparisons = 0;
            ASSERT_EQ(timsort(data.data(), n, width, compareKeys), 0);
            EXPECT_EQ(gComparisons, n < 2 ? 0 : static_cast<long>(n) - 1) << "all equal, n " << n;
            EXPECT_TRUE(data == before) << "all equal, n " << n;
        }
    }
}

TEST(Timsort, NothingToSort) {
    gWidth = 16;
    gComparisons = 0;
    errno = 1234;
    EXPECT_EQ(timsort(nullptr, 0, 16, compareKeys), 0);
    EXPECT_EQ(timsort(nullptr, 0, 12, compareKeys), 0);
    unsigned char one[16] = {9};
    EXPECT_EQ(timsort(one, 1, 16, compareKeys), 0);
    // Width 0: nothing is compared, whatever the count and the address.
    EXPECT_EQ(timsort(nullptr, 1000, 0, compareKeys), 0);
    EXPECT_EQ(timsort(one, 5, 0, compareKeys), 0);
    EXPECT_EQ(gComparisons, 0);
    EXPECT_EQ(errno, 1234);
    EXPECT_EQ(one[0], 9);
}

// ---------------------------------------------------------------------------
// Allocations.

TEST(TimsortAllocation, NoneBelowThirtyTwoElements) {
    for (std::size_t width : kWidths) {
        gWidth = width;
        std::vector<unsigned char> data = makeElements(makeKeys(Shape::Random, 31, 4));
        watchAllocations();
        EXPECT_EQ(timsort(data.data(), 31, width, compareKeys), 0);
        stopWatching();
        EXPECT_EQ(alloc.mallocs, 0) << width;
    }
}

TEST(TimsortAllocation, SetUpSizesAndGrowth) {
    // nel, the length of a second run that must be merged with a longer or
    // equal first one, and the sizes (in elements, then bytes) of every
    // allocation: merge buffer, run stack, then any growth.
    struct Case {
        std::size_t nel;
        std::size_t run2;
        std::vector<std::size_t> bufferElements;
        std::size_t stackEntries;
    };
    const Case cases[] = {
        {32, 0, {16}, 5},          {256, 0, {128}, 5},    {358, 0, {179}, 5},
        {359, 0, {179}, 10},       {511, 0, {255}, 10},   {512, 0, {256}, 10},
        {4220, 0, {256}, 16},      {76210, 0, {256}, 39}, {600, 300, {256, 300}, 10},
        {10000, 257, {256, 512}, 16}, {10000, 512, {256, 1024}, 16},
        {10000, 256, {256}, 16},
    };
    for (std::size_t width : {16u, 8u, 4u, 12u}) {
        gWidth = width;
        for (const Case &c : cases) {
            std::vector<std::uint32_t> keys;
            if (c.run2 == 0) {
                keys = makeKeys(Shape::Sorted, c.nel, 1);
            } else {
                // Run 1 takes the even values, run 2 odd values spread over
                // run 1's range, below its first and last: neither trim
                // shortens run 2, so the merge needs exactly run 2's length.
                const std::size_t l1 = c.nel - c.run2;
                for (std::size_t j = 0; j < l1; ++j) keys.push_back(static_cast<std::uint32_t>(2 * j + 2));
                for (std::size_t j = 0; j < c.run2; ++j) {
                    keys.push_back(static_cast<std::uint32_t>(2 * (j * l1 / c.run2) + 1));
                }
            }
            std::vector<unsigned char> data = makeElements(keys);
            const std::vector<unsigned char> expected = stableSorted(data);
            watchAllocations();
            const int rc = timsort(data.data(), c.nel, width, compareKeys);
            stopWatching();
            EXPECT_EQ(rc, 0);
            EXPECT_TRUE(data == expected);
            ASSERT_EQ(alloc.mallocs, static_cast<int>(c.bufferElements.size()) + 1)
                << "width " << width << ", nel " << c.nel;
            EXPECT_EQ(alloc.sizes[0], c.bufferElements[0] * width) << "nel " << c.nel;
            EXPECT_EQ(alloc.sizes[1], c.stackEntries * kRunEntryBytes) << "nel " << c.nel;
            for (std::size_t g = 1; g < c.bufferElements.size(); ++g) {
                EXPECT_EQ(alloc.sizes[g + 1], c.bufferElements[g] * width) << "nel " << c.nel;
            }
            EXPECT_EQ(alloc.live, 0) << "nel " << c.nel;
        }
    }
}

TEST(TimsortAllocation, FailureAtSetUpLeavesTheArrayUntouched) {
    for (std::size_t width : {16u, 12u}) {
        gWidth = width;
        for (int failAt : {1, 2}) {
            std::vector<unsigned char> data = makeElements(makeKeys(Shape::Random, 5000, 2));
            const std::vector<unsigned char> before = data;
            gComparisons = 0;
            watchAllocations(failAt);
            errno = 0;
            const int rc = timsort(data.data(), 5000, width, compareKeys);
            const int savedErrno = errno;
            stopWatching();
            EXPECT_EQ(rc, -1);
            EXPECT_EQ(savedErrno, ENOMEM);
            EXPECT_TRUE(data == before);
            EXPECT_EQ(gComparisons, 0);
            EXPECT_EQ(alloc.mallocs, 2) << "both are tried, whichever fails";
            EXPECT_EQ(alloc.live, 0) << "nothing leaks";
        }
    }
}

TEST(TimsortAllocation, FailureDuringGrowthKeepsEveryElement) {
    struct Case {
        std::size_t width;
        Shape shape;
        std::size_t n;
    };
    const Case cases[] = {
        {16, Shape::Random, 10000}, {12, Shape::GallopLo, 10000}, {8, Shape::GallopHi, 10000},
        {4, Shape::Stretches, 20000}, {16, Shape::Stretches, 20000},
    };
    for (const Case &c : cases) {
        gWidth = c.width;
        const std::vector<unsigned char> input = makeElements(makeKeys(c.shape, c.n, 6));
        // Count the growths of an undisturbed sort, then fail each in turn.
        std::vector<unsigned char> data = input;
        watchAllocations();
        ASSERT_EQ(timsort(data.data(), c.n, c.width, compareKeys), 0);
        stopWatching();
        const int total = alloc.mallocs;
        ASSERT_GE(total, 3) << shapeName(c.shape) << ": the merge buffer must grow";
        for (int failAt = 3; failAt <= total; ++failAt) {
            data = input;
            watchAllocations(failAt);
            errno = 0;
            const int rc = timsort(data.data(), c.n, c.width, compareKeys);
            const int savedErrno = errno;
            stopWatching();
            EXPECT_EQ(rc, -1) << failAt;
            EXPECT_EQ(savedErrno, ENOMEM) << failAt;
            EXPECT_EQ(alloc.live, 0) << failAt;
            EXPECT_TRUE(asMultiset(data, c.width) == asMultiset(input, c.width))
                << shapeName(c.shape) << ", failing allocation " << failAt;
        }
    }
}

// ---------------------------------------------------------------------------
// Inconsistent comparison functions.

std::mt19937 gChaos;
int randomAnswer(const void *, const void *) { return static_cast<int>(gChaos() % 3) - 1; }
int alwaysLess(const void *, const void *) { return -1; }
int alwaysGreater(const void *, const void *) { return 1; }
// Consistent on the first comparisons (so that runs form), random later.
long gHonestFor = 0;
int honestThenRandom(const void *x, const void *y) {
    if (gHonestFor > 0) {
        --gHonestFor;
        return compareKeys(x, y);
    }
    return randomAnswer(x, y);
}

TEST(Timsort, InconsistentComparisonKeepsEveryElement) {
    struct Comparator {
        const char *name;
        int (*c)(const void *, const void *);
    };
    // The constant answers make one run of the whole array; random answers
    // reach the merges.
    const Comparator comparators[] = {{"random", randomAnswer},
                                      {"always less", alwaysLess},
                                      {"always greater", alwaysGreater},
                                      {"honest, then random", honestThenRandom}};
    int detected = 0;
    for (const Comparator &cmp : comparators) {
        const bool constant = cmp.c == alwaysLess || cmp.c == alwaysGreater;
        for (std::size_t width : kWidths) {
            gWidth = width;
            for (std::size_t n : {2u, 31u, 32u, 33u, 100u, 257u, 1000u, 5000u, 20000u}) {
                if (n > 1000 && (constant || (width != 16 && width != 12))) {
                    continue;
                }
                for (Shape shape : {Shape::Random, Shape::GallopLo, Shape::GallopHi}) {
                    gChaos.seed(static_cast<std::uint32_t>(n * 31 + width));
                    gHonestFor = static_cast<long>(n);
                    std::vector<unsigned char> data = makeElements(makeKeys(shape, n, 8));
                    const std::vector<unsigned char> input = data;
                    errno = 0;
                    const int rc = timsort(data.data(), n, width, cmp.c);
                    if (rc != 0) {
                        EXPECT_EQ(rc, -1);
                        EXPECT_EQ(errno, EINVAL);
                        ++detected;
                    }
                    EXPECT_TRUE(asMultiset(data, width) == asMultiset(input, width))
                        << cmp.name << ", width " << width << ", n " << n;
                }
            }
        }
    }
    EXPECT_GT(detected, 0) << "some merge must notice the inconsistency";
}

// ---------------------------------------------------------------------------
// The checks a caller can set off: the standard assertion message names the
// routine instance and the source module, then the process aborts.

TEST(TimsortChecks, MisuseAbortsWithTheStandardMessage) {
    struct Case {
        void *a;
        std::size_t nel;
        std::size_t width;
        int (*c)(const void *, const void *);
        const char *instance;
        const char *expression;
    };
    static unsigned char some[64];
    const Case cases[] = {
        {nullptr, 5, 16, compareKeys, "timsort_16", "a \\|\\| !nel \\|\\| !width"},
        {nullptr, 40, 8, compareKeys, "timsort_8", "a \\|\\| !nel \\|\\| !width"},
        {nullptr, 1, 4, compareKeys, "timsort_4", "a \\|\\| !nel \\|\\| !width"},
        {nullptr, 2, 12, compareKeys, "timsort_width", "a \\|\\| !nel \\|\\| !width"},
        {some, 4, 16, nullptr, "timsort_16", "c"},
        {nullptr, 0, 4, nullptr, "timsort_4", "c"},
        {some, 1, 8, nullptr, "timsort_8", "c"},
        {nullptr, 0, 0, nullptr, "timsort_width", "c"},
        {some, 3, 3, nullptr, "timsort_width", "c"},
    };
    // The program's name as the C library keeps it, where it keeps one: this
    // test executable's.
    const std::string namePrefix =
        SUITE_HAVE_PROGRAM_INVOCATION_SHORT_NAME || SUITE_HAVE_GETPROGNAME ? "timsort_tests: " : "";
    for (const Case &c : cases) {
        const RunResult r = runInChild([&] { timsort(c.a, c.nel, c.width, c.c); });
        EXPECT_FALSE(r.exited);
        EXPECT_EQ(r.signal, SIGABRT);
        // An emulator may add a line of its own about the signal after the message.
        const std::regex expected(namePrefix + "timsort-impl\\.h:[0-9]+: " + c.instance + ": Assertion `" +
                                  c.expression + "' failed\\.\n(qemu: uncaught target signal 6 [^\n]*\n)?");
        EXPECT_TRUE(std::regex_match(r.err, expected)) << r.err;
    }
}

}  // namespace
