// What the order of the bytes says, gathered in one pass beside the count:
// the products of neighbouring bytes (for the serial correlation) and the
// points of a Monte-Carlo estimate of pi (each six bytes from the start of
// the input a point, x from the first three, y from the next three, inside
// when x^2 + y^2 <= (2^24 - 1)^2). A piece of the input may be gathered on
// its own, by another thread, and joined to the pieces before it in order.
#pragma once

#include <cstddef>
#include <cstdint>

#include "byteStats.h"
#include "countBytes.h"

struct SequenceState {
    std::uint64_t productsLow;   // sum of neighbours' products, two 64-bit words
    std::uint64_t productsHigh;
    std::uint64_t points;
    std::uint64_t inside;
    std::int64_t bytes;          // bytes gathered
    unsigned char first;         // the first and last byte, once bytes > 0
    unsigned char last;
    // The bytes that complete a point begun before this piece (headWant of
    // them), and those of a point begun here but not complete.
    unsigned char head[6];
    int headWant;
    int headLength;
    unsigned char carry[6];
    int carryLength;
};

// A state for a piece that begins `phase` bytes (0 to 5) into a point: 0 at
// the start of the input.
void sequenceStart(SequenceState &s, int phase);
// Gathers the next `n` bytes of the piece.
void sequenceFeed(SequenceState &s, const unsigned char *p, std::size_t n);
// The same, and countBytes of the same bytes into `counters`: where both
// would go word by word, in one loop.
void sequenceFeedCounting(SequenceState &s, ByteCounters &counters, const unsigned char *p, std::size_t n);
// Joins `next`, the piece that follows `into` directly, to it.
void sequenceJoin(SequenceState &into, const SequenceState &next);
// The sums of a whole input gathered into `s`, the last byte's product with
// the first's included.
OrderSums sequenceTotals(const SequenceState &s);

// The kernels that gather the sums of a buffer, one table of them (see
// sequenceSums.cpp): the products of neighbours and the Monte-Carlo points,
// each by the same kernel. Exposed for the tests and the benchmark.
enum class OrderKernel { portable, avx2 };
const char *orderKernelName(OrderKernel kernel);
bool orderKernelSupported(OrderKernel kernel);
// The sum of p[i] p[i + 1] for i from 0 to n - 2.
std::uint64_t neighbourProductsWith(OrderKernel kernel, const unsigned char *p, std::size_t n);
// The points of `n` bytes (a multiple of 6) added to `points` and `inside`.
void monteCarloPointsWith(OrderKernel kernel, const unsigned char *p, std::size_t n, std::uint64_t &points,
                          std::uint64_t &inside);
// The same by the exact test alone, one point at a time: the reference.
void monteCarloPointsExact(const unsigned char *p, std::size_t n, std::uint64_t &points, std::uint64_t &inside);
