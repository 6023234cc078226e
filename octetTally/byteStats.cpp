// See byteStats.h. The logarithm is this module's own: a C library's log2 may
// round its last bit differently from one system (or one processor's variant
// of it) to another, while the series below uses the basic operations alone,
// which round the same everywhere. The build compiles this file without
// contraction into fused multiply-adds for the same reason.
#include "byteStats.h"

#include <cmath>

char byteStats_rcsid[] = "$Id: byteStats.c,v 1.1 2026-12-09 06:00:00-05 devteam Exp $";

namespace {

constexpr int kByteValues = 256;
constexpr double kSqrtHalf = 0.70710678118654752440;
constexpr double kLog2OfE = 1.44269504088896340736;
constexpr double kPi = 3.14159265358979323846;
// Terms of the series beyond the first: with |s| below 0.1716 the next term
// is under 2^-55 of the sum, past the last bit of a double.
constexpr int kSeriesTerms = 11;

// log2(x) for x > 0: x = f 2^e with f in [sqrt(1/2), sqrt(2)), and
// ln f = 2 atanh(s) = 2 (s + s^3/3 + s^5/5 + ...) with s = (f - 1) / (f + 1).
// Exact for powers of two, where s is 0.
double log2Portable(double x) {
    int exponent = 0;
    double f = std::frexp(x, &exponent);  // exact: 0.5 <= f < 1
    if (f < kSqrtHalf) {
        f = f * 2.0;
        exponent = exponent - 1;
    }
    const double s = (f - 1.0) / (f + 1.0);
    const double s2 = s * s;
    double series = 0.0;
    for (int k = kSeriesTerms; k >= 0; --k) series = series * s2 + 1.0 / double(2 * k + 1);
    return double(exponent) + 2.0 * s * series * kLog2OfE;
}

// The sum of v^power x count over the byte values (power 1 or 2), exact
// until it is converted: the counts are taken in two 32-bit halves, whose
// weighted sums cannot pass 64 bits.
double weightedSum(const uint64_t counts[256], int power) {
    uint64_t sumLow = 0;
    uint64_t sumHigh = 0;
    for (uint64_t v = 0; v < uint64_t(kByteValues); ++v) {
        const uint64_t weight = power == 1 ? v : v * v;
        sumLow += weight * (counts[v] & 0xFFFFFFFFu);
        sumHigh += weight * (counts[v] >> 32);
    }
    return double(sumHigh) * 4294967296.0 + double(sumLow);
}

int bitLength(uint64_t v) {
    int bits = 0;
    for (; v != 0; v >>= 1) ++bits;
    return bits;
}

}  // namespace

double shannonEntropy(const uint64_t counts[256], uint64_t total) {
    const double n = double(total);
    double entropy = 0.0;
    for (int v = 0; v < kByteValues; ++v) {
        if (counts[v] != 0) {
            const double p = double(counts[v]) / n;
            entropy = entropy - p * log2Portable(p);
        }
    }
    return entropy;
}

ByteStats byteStats(const uint64_t counts[256], uint64_t total) {
    const double n = double(total);
    const double expected = n / double(kByteValues);
    double chiSquare = 0.0;
    for (int v = 0; v < kByteValues; ++v) {
        const double diff = double(counts[v]) - expected;
        chiSquare = chiSquare + diff * diff / expected;
    }
    return ByteStats{shannonEntropy(counts, total), chiSquare, weightedSum(counts, 1) / n};
}

// The serial correlation coefficient takes the sums as a widely used random
// test program does, in the same order of the same operations, so that its
// printed digits are that program's:
// (n sum b[i] b[i+1] - (sum b)^2) / (n sum b^2 - (sum b)^2). The sums of the
// bytes and of their squares come from the counts, exactly.
MoreStats moreStats(const uint64_t counts[256], uint64_t total, const OrderSums &order, double chiSquare) {
    const double n = double(total);
    uint64_t most = 0;
    for (int v = 0; v < kByteValues; ++v) most = counts[v] > most ? counts[v] : most;
    const double sum = weightedSum(counts, 1);
    const double squares = weightedSum(counts, 2);
    MoreStats stats;
    stats.chiSquareProbability = chiSquareUpperTail(chiSquare, kByteValues - 1) * 100.0;
    const double sumSquared = sum * sum;
    const double spread = n * squares - sumSquared;
    stats.serialCorrelation = spread == 0.0 ? std::nan("") : (n * order.neighbourProducts - sumSquared) / spread;
    stats.pi = order.points == 0 ? std::nan("") : 4.0 * (double(order.inside) / double(order.points));
    stats.piError = 100.0 * (std::fabs(kPi - stats.pi) / kPi);
    const double entropy = shannonEntropy(counts, total);
    stats.compression = int(100.0 * (8.0 - entropy) / 8.0);
    stats.minEntropy = 0.0 - log2Portable(double(most) / n);
    return stats;
}

int mapLevel(uint64_t count, uint64_t most) {
    if (count == 0) return 0;
    const int top = bitLength(most);
    // The bit lengths 1 to top are spread over four levels, the longest at
    // the top; a scale of fewer than four bit lengths keeps one level each,
    // counted down from the top.
    const int span = top > 4 ? top : 4;
    return 4 - (top - bitLength(count)) * 4 / span;
}

uint64_t mapLevelFloor(int level, uint64_t most) {
    const int top = bitLength(most);
    for (int bits = 1; bits <= top; ++bits) {
        const uint64_t lowest = uint64_t{1} << (bits - 1);
        if (mapLevel(lowest, most) == level) return lowest;
    }
    return 0;
}
