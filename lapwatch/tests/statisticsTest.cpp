// The figures of a series against independent references: Python's own
// statistics module for the summary, the enumeration of every arrangement of
// two small samples for the rank test, and published table values.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "statistics.h"
#include "testing.h"

using testing_support::commandExists;
using testing_support::shellOutput;

namespace {

// Python's mean, sample standard deviation, median and quartiles
// (interpolated between the ranks, its "inclusive" method) of `values`.
std::vector<double> pythonFigures(const std::vector<double> &values) {
    std::string list;
    for (double v : values) {
        char text[40];
        std::snprintf(text, sizeof text, "%.17g,", v);
        list += text;
    }
    std::string out = shellOutput("python3 -c 'import statistics as s; d=[" + list +
                                  "]; q=s.quantiles(d, n=4, method=\"inclusive\") if len(d) > 1 else [d[0]]*3; "
                                  "print(repr(s.mean(d)), repr(s.stdev(d)) if len(d) > 1 else \"nan\", "
                                  "repr(s.median(d)), repr(q[0]), repr(q[2]), repr(min(d)), repr(max(d)))'");
    std::istringstream in(out);
    std::vector<double> figures;
    std::string word;
    while (in >> word) figures.push_back(std::stod(word));
    return figures;
}

TEST(Statistics, SummaryAgreesWithPython) {
    if (!commandExists("python3")) GTEST_SKIP() << "python3 is not installed";
    const std::vector<double> samples[] = {
        {1, 2, 3, 4},
        {41, 7, 39, 15, 40, 36},
        {0.003, 0.001, 0.002, 0.0105, 0.0021},
        {0.25},
        // Runs that share most of their digits: a one-pass variance would
        // lose them all.
        {1000000.000001, 1000000.000002, 1000000.000004, 1000000.000003},
    };
    for (const std::vector<double> &sample : samples) {
        std::vector<double> expected = pythonFigures(sample);
        ASSERT_EQ(expected.size(), 7u);
        std::vector<double> sorted(sample.size());
        Summary s = summarize(sample.data(), static_cast<int>(sample.size()), sorted.data());
        double got[] = {s.mean, s.stddev, s.median, s.lowerQuartile, s.upperQuartile, s.min, s.max};
        for (int i = 0; i < 7; ++i) {
            if (std::isnan(expected[i])) {
                EXPECT_TRUE(std::isnan(got[i])) << sample.size() << " values, figure " << i;
            } else {
                EXPECT_NEAR(got[i], expected[i], 1e-9 * std::fabs(expected[i]) + 1e-12)
                    << sample.size() << " values, figure " << i;
            }
        }
        EXPECT_TRUE(std::is_sorted(sorted.begin(), sorted.end()));
        EXPECT_EQ(s.count, static_cast<int>(sample.size()));
    }
}

TEST(Statistics, OutliersAndRatio) {
    // Quartiles 2 and 4 (an interquartile range of 2): the far-out fences
    // at 3 ranges lie at -4 and 10.
    const double values[] = {1, 2, 3, 4, 5, 10, 10.5, -4.5};
    std::vector<double> sorted(8);
    Summary s = summarize(values, 5, sorted.data());
    ASSERT_DOUBLE_EQ(s.lowerQuartile, 2);
    ASSERT_DOUBLE_EQ(s.upperQuartile, 4);
    EXPECT_EQ(countOutliers(values, 8, s, 3.0), 2);  // 10.5 and -4.5; 10 is on the fence
    EXPECT_EQ(countOutliers(values, 8, s, 1.5), 3);  // and 10, past 7

    Summary slower, faster;
    slower.count = faster.count = 10;
    slower.mean = 3.0, slower.stddev = 0.3;
    faster.mean = 2.0, faster.stddev = 0.1;
    Ratio r = speedRatio(slower, faster);
    EXPECT_DOUBLE_EQ(r.value, 1.5);
    EXPECT_NEAR(r.uncertainty, 1.5 * std::hypot(0.1, 0.05), 1e-12);
}

// The count of arrangements of m values of one sample among n of another in
// which U (the pairs that the first sample wins) is each value.
std::vector<double> enumeratedRankCounts(int m, int n) {
    std::vector<double> counts(static_cast<size_t>(m * n) + 1, 0);
    for (unsigned mask = 0; mask < (1u << (m + n)); ++mask) {
        if (__builtin_popcount(mask) != m) continue;
        int u = 0, secondBelow = 0;
        for (int position = 0; position < m + n; ++position) {
            if (mask & (1u << position)) {
                u += secondBelow;
            } else {
                ++secondBelow;
            }
        }
        counts[static_cast<size_t>(u)] += 1;
    }
    return counts;
}

TEST(Statistics, ExactRankDistributionIsEveryArrangementCounted) {
    const int sizes[][2] = {{1, 1}, {2, 3}, {3, 3}, {4, 7}, {6, 6}, {5, 9}, {8, 8}, {1, 12}};
    for (const auto &size : sizes) {
        int m = size[0], n = size[1];
        std::vector<double> counts = enumeratedRankCounts(m, n);
        double total = 0;
        for (double c : counts) total += c;
        double below = 0;
        for (int u = 0; u <= m * n; ++u) {
            below += counts[static_cast<size_t>(u)];
            EXPECT_NEAR(exactRankLowerTail(m, n, u), below / total, 1e-12) << m << "," << n << " u=" << u;
        }
    }
    EXPECT_EQ(exactRankLowerTail(31, 30, 0), -1);
}

// The largest U whose two-sided p is at most 0.05, or -1 where none is.
int criticalU(int m, int n) {
    int u = -1;
    while (2 * exactRankLowerTail(m, n, u + 1) <= 0.05) ++u;
    return u;
}

TEST(Statistics, CriticalValuesMatchThePublishedTable) {
    // The two-sided 5 % critical values of U in the usual printed tables.
    const int table[][3] = {{3, 3, -1}, {4, 4, 0}, {5, 5, 2},    {6, 6, 5},   {7, 7, 8},   {8, 8, 13},
                            {9, 9, 17}, {10, 10, 23}, {5, 10, 8}, {15, 15, 64}, {20, 20, 127}};
    for (const auto &row : table) {
        EXPECT_EQ(criticalU(row[0], row[1]), row[2]) << row[0] << "," << row[1];
    }
    // The standard normal's published two-sided tail probabilities.
    EXPECT_NEAR(normalTwoSided(1.959964), 0.05, 1e-6);
    EXPECT_NEAR(normalTwoSided(-2.575829), 0.01, 1e-6);
    EXPECT_NEAR(normalTwoSided(0), 1.0, 1e-15);
}

// U by its definition, the pairs that `a` wins (a tie half each), and its
// variance over every assignment of the pooled values to the two samples.
double pairwiseU(const std::vector<double> &a, const std::vector<double> &b) {
    double u = 0;
    for (double x : a) {
        for (double y : b) u += x > y ? 1 : x == y ? 0.5 : 0;
    }
    return u;
}

double enumeratedVariance(const std::vector<double> &pooled, int m) {
    int total = static_cast<int>(pooled.size());
    double sum = 0, squares = 0, count = 0;
    for (unsigned mask = 0; mask < (1u << total); ++mask) {
        if (__builtin_popcount(mask) != m) continue;
        std::vector<double> a, b;
        for (int i = 0; i < total; ++i) ((mask & (1u << i)) ? a : b).push_back(pooled[static_cast<size_t>(i)]);
        double u = pairwiseU(a, b);
        sum += u, squares += u * u, count += 1;
    }
    return squares / count - (sum / count) * (sum / count);
}

TEST(Statistics, RankTestOfSamples) {
    struct Case {
        std::vector<double> a, b;
        bool exact;
    };
    const Case cases[] = {
        {{1.1, 1.3, 1.2, 1.6}, {2.0, 1.5, 2.2, 2.1, 1.9}, true},
        {{5, 6, 7}, {1, 2, 3}, true},
        {{1, 2, 2, 3, 3, 3}, {2, 3, 4, 4, 5}, false},  // ties: the normal approximation
        {{4, 4, 4}, {4, 4, 4, 4}, false},              // all tied: no evidence
    };
    for (const Case &c : cases) {
        int m = static_cast<int>(c.a.size()), n = static_cast<int>(c.b.size());
        RankTest t = mannWhitney(c.a.data(), m, c.b.data(), n);
        double u = pairwiseU(c.a, c.b);
        EXPECT_DOUBLE_EQ(t.u, std::min(u, m * n - u));
        EXPECT_EQ(t.exact, c.exact);
        double expected;
        if (c.exact) {
            expected = std::min(1.0, 2 * exactRankLowerTail(m, n, static_cast<int>(t.u)));
        } else {
            std::vector<double> pooled = c.a;
            pooled.insert(pooled.end(), c.b.begin(), c.b.end());
            double variance = enumeratedVariance(pooled, m);
            expected = variance == 0 ? 1.0
                                     : std::min(1.0, std::erfc(std::max(0.0, std::fabs(u - m * n / 2.0) - 0.5) /
                                                               std::sqrt(2 * variance)));
        }
        EXPECT_NEAR(t.p, expected, 1e-12) << m << "," << n;
    }
    // Separated samples of 3 and 3: the least two-sided p there is, 2/20.
    const double low[] = {1, 2, 3}, high[] = {4, 5, 6};
    EXPECT_NEAR(mannWhitney(low, 3, high, 3).p, 0.1, 1e-12);
}

}  // namespace
