// The order sums against plain loops: every kernel the processor runs, its
// products of neighbours against a plain sum and its Monte-Carlo points
// against the exact test around the arc, an input split anywhere and joined
// again, and the sums gathered beside the count.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "sequenceSums.h"

namespace {

std::vector<unsigned char> randomBytes(std::size_t n, unsigned seed) {
    std::mt19937 gen(seed);
    std::vector<unsigned char> data(n);
    for (unsigned char &c : data) c = static_cast<unsigned char>(gen());
    return data;
}

// Points around the arc: for each x, the y values just inside, on and just
// outside it, and the corners of their cells of 65,536 and of 512 values.
std::vector<unsigned char> pointsAroundTheArc() {
    std::vector<unsigned char> data;
    const double radius = (1 << 24) - 1;
    for (std::uint32_t x = 0; x < (1u << 24); x += 4099) {
        const std::uint32_t edge = static_cast<std::uint32_t>(std::sqrt(radius * radius - double(x) * x));
        for (std::uint32_t y : {edge - 1, edge, edge + 1, edge | 0xFFFF, edge & ~0xFFFFu, edge | 0x1FF, edge & ~0x1FFu}) {
            if (y >= (1u << 24)) continue;
            for (std::uint32_t v : {x, y}) {
                data.push_back(static_cast<unsigned char>(v >> 16));
                data.push_back(static_cast<unsigned char>(v >> 8));
                data.push_back(static_cast<unsigned char>(v));
            }
        }
    }
    return data;
}

TEST(SequenceSums, EveryProductKernelEqualsAPlainSum) {
    std::vector<std::vector<unsigned char>> inputs = {randomBytes(1000, 1), std::vector<unsigned char>(300000, 0xFF)};
    std::string skipped;
    for (OrderKernel kernel : {OrderKernel::portable, OrderKernel::avx2}) {
        if (!orderKernelSupported(kernel)) {
            skipped += std::string(" ") + orderKernelName(kernel);
            continue;
        }
        for (const auto &data : inputs) {
            // Every length up to 100 at every start up to 32, and the whole.
            for (std::size_t start = 0; start < 33; ++start) {
                for (std::size_t n = 0; n <= 100 && start + n <= data.size(); ++n) {
                    std::uint64_t want = 0;
                    for (std::size_t i = start; i + 1 < start + n; ++i) want += std::uint64_t{data[i]} * data[i + 1];
                    ASSERT_EQ(neighbourProductsWith(kernel, data.data() + start, n), want)
                        << orderKernelName(kernel) << " at " << start << ", " << n << " bytes";
                }
            }
            EXPECT_EQ(neighbourProductsWith(kernel, data.data(), data.size()),
                      neighbourProductsWith(OrderKernel::portable, data.data(), data.size()));
        }
    }
    if (!skipped.empty()) GTEST_SKIP() << "not run on this processor:" << skipped;
}

TEST(SequenceSums, EveryPointKernelAgreesWithTheExactTest) {
    std::vector<unsigned char> data = randomBytes(6 * 100000, 2);
    const std::vector<unsigned char> arc = pointsAroundTheArc();
    data.insert(data.end(), arc.begin(), arc.end());
    std::uint64_t exactPoints = 0, exactInside = 0;
    monteCarloPointsExact(data.data(), data.size(), exactPoints, exactInside);
    ASSERT_GT(exactInside, 0u);
    ASSERT_LT(exactInside, exactPoints);
    std::string skipped;
    for (OrderKernel kernel : {OrderKernel::portable, OrderKernel::avx2}) {
        if (!orderKernelSupported(kernel)) {
            skipped += std::string(" ") + orderKernelName(kernel);
            continue;
        }
        std::uint64_t points = 0, inside = 0;
        monteCarloPointsWith(kernel, data.data(), data.size(), points, inside);
        EXPECT_EQ(points, exactPoints) << orderKernelName(kernel);
        EXPECT_EQ(inside, exactInside) << orderKernelName(kernel);
        // Every number of points from 0 to 12 at the end of the data, where
        // the arc's points lie: the vector rounds and what they leave over.
        for (std::size_t k = 0; k <= 12; ++k) {
            const unsigned char *p = data.data() + data.size() - 6 * k;
            std::uint64_t wantPoints = 0, want = 0, got = 0;
            monteCarloPointsExact(p, 6 * k, wantPoints, want);
            monteCarloPointsWith(kernel, p, 6 * k, points, got);
            ASSERT_EQ(got, want) << orderKernelName(kernel) << ", " << k << " points";
        }
    }
    if (!skipped.empty()) GTEST_SKIP() << "not run on this processor:" << skipped;
}

OrderSums whole(const std::vector<unsigned char> &data) {
    SequenceState s;
    sequenceStart(s, 0);
    sequenceFeed(s, data.data(), data.size());
    return sequenceTotals(s);
}

TEST(SequenceSums, PiecesJoinedEqualTheWhole) {
    const std::vector<unsigned char> data = randomBytes(500, 3);
    const OrderSums want = whole(data);
    // The plain sums: neighbours in a circle, points of six from the start.
    double products = 0;
    for (std::size_t i = 0; i < data.size(); ++i) products += double(data[i]) * data[(i + 1) % data.size()];
    EXPECT_EQ(want.neighbourProducts, products);
    EXPECT_EQ(want.points, data.size() / 6);
    // Cut into three pieces at every pair of places (pieces of 0 to 13
    // bytes in the middle, so a piece may end inside its head), each piece
    // fed in two feeds, then joined in order.
    for (std::size_t a = 0; a < 20; ++a) {
        for (std::size_t b = a; b < a + 14; ++b) {
            SequenceState pieces[3];
            const std::size_t cuts[] = {0, a, b, data.size()};
            for (int k = 0; k < 3; ++k) {
                sequenceStart(pieces[k], static_cast<int>(cuts[k] % 6));
                const std::size_t middle = (cuts[k] + cuts[k + 1]) / 2;
                sequenceFeed(pieces[k], data.data() + cuts[k], middle - cuts[k]);
                sequenceFeed(pieces[k], data.data() + middle, cuts[k + 1] - middle);
            }
            sequenceJoin(pieces[0], pieces[1]);
            sequenceJoin(pieces[0], pieces[2]);
            const OrderSums got = sequenceTotals(pieces[0]);
            ASSERT_EQ(got.neighbourProducts, want.neighbourProducts) << a << " " << b;
            ASSERT_EQ(got.points, want.points) << a << " " << b;
            ASSERT_EQ(got.inside, want.inside) << a << " " << b;
        }
    }
}

TEST(SequenceSums, GatheredBesideTheCountAsAlone) {
    // Random bytes with the arc's points among them (from a point's start),
    // text and a run of one byte (which are counted apart), fed in pieces of
    // sizes around the loop's rounds of 96 bytes and the look blocks, from
    // every place within a point: the sums and the counts as when gathered
    // and counted apart.
    std::vector<unsigned char> data = randomBytes(6 * 30000, 4);
    const std::vector<unsigned char> arc = pointsAroundTheArc();
    data.insert(data.end(), arc.begin(), arc.end());
    const std::vector<unsigned char> tail = randomBytes(70000, 5);
    data.insert(data.end(), tail.begin(), tail.end());
    data.insert(data.end(), 70000, 'a');
    for (int i = 0; i < 70000; ++i) data.push_back(static_cast<unsigned char>("some text\n"[i % 10]));
    static ByteCounters counters, apart;
    for (std::size_t piece : {64, 99, 100, 101, 197, 1000, 65536, 65537, 200000}) {
        SequenceState fed, alone;
        sequenceStart(fed, 0);
        sequenceStart(alone, 0);
        // The pieces are 0 to 5 bytes short of `piece` in turn.
        for (std::size_t at = 0, k = 0; at < data.size(); at += piece - k++ % 6) {
            const std::size_t n = std::min(piece - k % 6, data.size() - at);
            sequenceFeedCounting(fed, counters, data.data() + at, n);
            sequenceFeed(alone, data.data() + at, n);
            countBytes(apart, data.data() + at, n);
        }
        const OrderSums got = sequenceTotals(fed), want = sequenceTotals(alone);
        EXPECT_EQ(got.neighbourProducts, want.neighbourProducts) << piece;
        EXPECT_EQ(got.points, want.points) << piece;
        EXPECT_EQ(got.inside, want.inside) << piece;
        std::uint64_t gotCounts[256] = {}, wantCounts[256] = {};
        takeByteTotals(counters, gotCounts);
        takeByteTotals(apart, wantCounts);
        for (int v = 0; v < 256; ++v) ASSERT_EQ(gotCounts[v], wantCounts[v]) << piece << ", value " << v;
    }
}

}  // namespace
