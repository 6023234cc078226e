// The figures of a series of timed runs: the usual summary of a sample, the
// far-out values among it, the ratio of two means with its uncertainty, and
// a rank test of whether two samples differ.
#pragma once

// A sample's summary. The standard deviation is the sample's (divided by
// count - 1), NaN for fewer than two values; the quartiles are interpolated
// between the nearest ranks, as the median is.
struct Summary {
    int count = 0;
    double mean = 0;
    double stddev = 0;
    double median = 0;
    double min = 0;
    double max = 0;
    double lowerQuartile = 0;
    double upperQuartile = 0;
};

// Summarizes `count` values (at least one). `sorted` receives them in
// ascending order; it may be `values` itself.
Summary summarize(const double *values, int count, double *sorted);

// The value at fraction `p` (0 to 1) of a sorted sample, interpolated
// linearly between the ranks on either side.
double quantileOfSorted(const double *sorted, int count, double p);

// How many values lie beyond `ranges` interquartile ranges below the lower
// or above the upper quartile.
int countOutliers(const double *values, int count, const Summary &summary, double ranges);

// How many times as fast the faster command ran, and that figure's standard
// deviation, propagated from both means' relative deviations.
struct Ratio {
    double value = 0;
    double uncertainty = 0;
};
Ratio speedRatio(const Summary &slower, const Summary &faster);

// The two-sided Mann-Whitney U test of whether two samples come from the
// same distribution. `u` is the smaller of the two U statistics. For
// samples of 60 values or fewer in all and without ties, p is exact;
// otherwise it is the normal approximation with the correction for ties and
// for continuity.
struct RankTest {
    double u = 0;
    double p = 1;
    bool exact = false;
};
RankTest mannWhitney(const double *a, int countA, const double *b, int countB);

// The exact probability that U is at most `u` for samples of m and n values
// without ties, m + n at most kMaxExactRankValues; -1 beyond that.
constexpr int kMaxExactRankValues = 60;
double exactRankLowerTail(int m, int n, int u);

// The probability that a standard normal variable exceeds |z| in either
// direction.
double normalTwoSided(double z);
