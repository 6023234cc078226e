// The figures of a series of timed runs; see statistics.h.
#include "statistics.h"

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

int compareValues(const void *left, const void *right) {
    double a = *static_cast<const double *>(left);
    double b = *static_cast<const double *>(right);
    return a < b ? -1 : a > b ? 1 : 0;
}

// A value of the pooled samples of a rank test, and which sample it is of.
struct Ranked {
    double value;
    bool first;
};

int compareRanked(const void *left, const void *right) {
    return compareValues(&static_cast<const Ranked *>(left)->value, &static_cast<const Ranked *>(right)->value);
}

// The rank sum of the first sample (ties given the mean of their ranks) and
// the sum of t^3 - t over the groups of t tied values.
struct RankSums {
    double firstSum = 0;
    double ties = 0;
};

RankSums rankSums(Ranked *pooled, int count) {
    std::qsort(pooled, static_cast<size_t>(count), sizeof *pooled, compareRanked);
    RankSums sums;
    int start = 0;
    while (start < count) {
        int end = start + 1;
        while (end < count && pooled[end].value == pooled[start].value) ++end;
        double tied = end - start;
        double meanRank = (start + 1 + end) / 2.0;  // ranks start + 1 .. end
        for (int i = start; i < end; ++i) {
            if (pooled[i].first) sums.firstSum += meanRank;
        }
        sums.ties += tied * tied * tied - tied;
        start = end;
    }
    return sums;
}

}  // namespace

double quantileOfSorted(const double *sorted, int count, double p) {
    double position = p * (count - 1);
    int below = static_cast<int>(std::floor(position));
    if (below >= count - 1) return sorted[count - 1];
    double fraction = position - below;
    return sorted[below] + fraction * (sorted[below + 1] - sorted[below]);
}

Summary summarize(const double *values, int count, double *sorted) {
    Summary summary;
    summary.count = count;
    if (sorted != values) std::memcpy(sorted, values, static_cast<size_t>(count) * sizeof *sorted);
    std::qsort(sorted, static_cast<size_t>(count), sizeof *sorted, compareValues);
    double total = 0;
    for (int i = 0; i < count; ++i) total += sorted[i];
    summary.mean = total / count;
    // The squares of the deviations from the mean, not the mean of the
    // squares less the squared mean, which loses every digit that runs of
    // nearly equal times share.
    double squares = 0;
    for (int i = 0; i < count; ++i) squares += (sorted[i] - summary.mean) * (sorted[i] - summary.mean);
    summary.stddev = count > 1 ? std::sqrt(squares / (count - 1)) : NAN;
    summary.min = sorted[0];
    summary.max = sorted[count - 1];
    summary.median = quantileOfSorted(sorted, count, 0.5);
    summary.lowerQuartile = quantileOfSorted(sorted, count, 0.25);
    summary.upperQuartile = quantileOfSorted(sorted, count, 0.75);
    return summary;
}

int countOutliers(const double *values, int count, const Summary &summary, double ranges) {
    double spread = ranges * (summary.upperQuartile - summary.lowerQuartile);
    int outliers = 0;
    for (int i = 0; i < count; ++i) {
        if (values[i] < summary.lowerQuartile - spread || values[i] > summary.upperQuartile + spread) ++outliers;
    }
    return outliers;
}

Ratio speedRatio(const Summary &slower, const Summary &faster) {
    Ratio ratio;
    ratio.value = slower.mean / faster.mean;
    double slowerSpread = slower.count > 1 ? slower.stddev / slower.mean : 0;
    double fasterSpread = faster.count > 1 ? faster.stddev / faster.mean : 0;
    ratio.uncertainty = ratio.value * std::sqrt(slowerSpread * slowerSpread + fasterSpread * fasterSpread);
    return ratio;
}

// The number of ways in which U takes each value, for samples of m and n,
// are the coefficients of the Gaussian binomial [m + n choose m] in q: the
// product over i = 1..m of (1 - q^(n+i)) / (1 - q^i). Each step multiplies
// by the numerator and divides by the denominator (a running sum with stride
// i). The arithmetic wraps modulo 2^64, and since every final coefficient,
// and their total C(m + n, m), is below 2^64 for m + n <= 66, the counts come
// out exact whatever the intermediate terms did.
double exactRankLowerTail(int m, int n, int u) {
    if (m < 0 || n < 0 || m + n > kMaxExactRankValues) return -1;
    if (u < 0) return 0;
    constexpr int kMaxTerms = kMaxExactRankValues * kMaxExactRankValues / 4 + 1;
    uint64_t ways[kMaxTerms] = {1};
    int top = m * n;
    for (int i = 1; i <= m; ++i) {
        int shift = n + i;
        for (int k = i * n; k >= shift; --k) ways[k] -= ways[k - shift];
        for (int k = i; k <= i * n; ++k) ways[k] += ways[k - i];
    }
    uint64_t total = 0;
    uint64_t atMost = 0;
    for (int k = 0; k <= top; ++k) {
        total += ways[k];
        if (k <= u) atMost += ways[k];
    }
    return static_cast<double>(atMost) / static_cast<double>(total);
}

double normalTwoSided(double z) {
    return std::erfc(std::fabs(z) / std::sqrt(2.0));
}

RankTest mannWhitney(const double *a, int countA, const double *b, int countB) {
    RankTest test;
    int count = countA + countB;
    Ranked *pooled = static_cast<Ranked *>(std::malloc(static_cast<size_t>(count) * sizeof *pooled));
    if (pooled == nullptr || countA == 0 || countB == 0) {
        std::free(pooled);
        test.p = NAN;
        return test;
    }
    for (int i = 0; i < countA; ++i) pooled[i] = {a[i], true};
    for (int i = 0; i < countB; ++i) pooled[countA + i] = {b[i], false};
    RankSums sums = rankSums(pooled, count);
    std::free(pooled);

    double pairs = static_cast<double>(countA) * countB;
    double uFirst = sums.firstSum - countA * (countA + 1) / 2.0;
    test.u = std::fmin(uFirst, pairs - uFirst);
    if (sums.ties == 0 && count <= kMaxExactRankValues) {
        test.exact = true;
        test.p = std::fmin(1.0, 2 * exactRankLowerTail(countA, countB, static_cast<int>(test.u)));
        return test;
    }
    double variance = pairs / 12.0 * ((count + 1) - sums.ties / (static_cast<double>(count) * (count - 1)));
    if (variance <= 0) {
        test.p = 1;  // every value tied: no evidence of any difference
        return test;
    }
    double z = std::fmax(0.0, pairs / 2 - test.u - 0.5) / std::sqrt(variance);
    test.p = std::fmin(1.0, normalTwoSided(z));
    return test;
}
