// What the counts of the 256 byte values say about the data: how random it
// looks (entropy, a chi-square test against equally likely bytes, the mean)
// and the shade levels of the byte map. Every figure is worked out in double
// precision in one fixed order from plain arithmetic, so that one input gives
// the same printed figures on every processor.
#pragma once

#include <cstdint>

struct ByteStats {
    double entropy;    // Shannon entropy in bits per byte, 0 to 8
    double chiSquare;  // against 256 equally likely values, 255 degrees of freedom
    double mean;       // arithmetic mean of the bytes
};

// The statistics of `total` bytes (more than 0) counted into `counts`.
ByteStats byteStats(const uint64_t counts[256], uint64_t total);

// The Shannon entropy of `total` bytes (more than 0) counted into `counts`,
// in bits per byte: the figure of byteStats, for a block as for the input.
double shannonEntropy(const uint64_t counts[256], uint64_t total);

// What the order of the bytes adds to their counts: the sum of the products
// of neighbouring bytes, the last byte's with the first's included (a
// circle, as a serial correlation test takes it), and the points of a
// Monte-Carlo estimate of pi, from six bytes at a time.
struct OrderSums {
    double neighbourProducts;  // exact below 2^53
    uint64_t points;           // complete six-byte groups
    uint64_t inside;           // of those, the points in the quarter circle
};

// The figures beyond the first three, each NaN where it is undefined.
struct MoreStats {
    double chiSquareProbability;  // percent of random inputs with a larger chi-square
    double serialCorrelation;     // -1 to 1; NaN when every byte is the same
    double pi;                    // 4 inside / points; NaN with no point
    double piError;               // its distance from pi, in percent of pi
    int compression;              // percent that optimum coding would save
    double minEntropy;            // -log2 of the largest byte probability
};

// The further statistics of `total` bytes (more than 0), from their counts,
// the order sums and the chi-square of byteStats.
MoreStats moreStats(const uint64_t counts[256], uint64_t total, const OrderSums &order, double chiSquare);

// The probability, in [0, 1], that a chi-square variable with `degrees`
// degrees of freedom exceeds `chiSquare`: from Boost.Math where the build
// finds it, from chiSquareUpperTailBySeries otherwise.
double chiSquareUpperTail(double chiSquare, int degrees);
// The same by the textbook series and continued fraction, with the C
// library's exp, log and lgamma; within 1e-12 of Boost.Math's figure.
double chiSquareUpperTailBySeries(double chiSquare, int degrees);

// The map's shades: level 0 for a count of 0, otherwise 1 to 4 on a scale of
// powers of two that puts `most` (the largest count, at least 1) at level 4.
constexpr int kMapLevels = 5;
int mapLevel(uint64_t count, uint64_t most);
// The lowest count at `level` (1 to 4) on the scale of `most`, always a power
// of two; 0 when no count reaches that level.
uint64_t mapLevelFloor(int level, uint64_t most);
