// What a count gathers beside the counts when it is asked to: the Shannon
// entropy of each block of a fixed size in turn, and the order sums of
// sequenceSums. The threads of a count each analyse the ranges they take;
// each range's results wait in one of a few slots until the ranges before
// it are done, and are then handed on in the input's order: the blocks'
// entropies to a sink, the order sums joined. Memory stays the same however
// long the input: a thread takes no range that would need a slot still
// waiting.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

#include "byteStats.h"
#include "countBytes.h"

// Where the blocks' entropies go, in order: offset from the start of what is
// counted, entropy in bits per byte, and the block's bytes (the block size
// but for the last).
struct BlockSink {
    void (*add)(void *context, std::int64_t offset, double entropy, std::int64_t bytes);
    void *context;
};

struct AnalysisPlan {
    std::int64_t blockSize;  // 0: no blocks
    bool orderSums;          // gather the order sums too
    BlockSink sink;
};

// The least and most block sizes.
constexpr std::int64_t kMinBlockSize = 64;
constexpr std::int64_t kMaxBlockSize = std::int64_t{1} << 40;

// Starts an analysis of a count on `threads` threads (1: read to the end).
void analysisBegin(const AnalysisPlan &plan, int threads);
// The size of the ranges that threads take: a whole number of blocks.
off_t analysisRangeSize();
// Waits until `range` has a slot; false when the count is to stop instead.
bool analysisEnter(std::int64_t range);
// The thread's range `range` begins `at` bytes into what is counted (or, with
// `range` at -1, the one thread reads everything in order).
void analysisRangeBegin(int thread, std::int64_t range, off_t at);
// Counts and analyses the next `n` bytes of the thread's range.
void analysisCount(int thread, ByteCounters &counters, const unsigned char *p, std::size_t n);
// Ends the thread's range, whose counts are in `counters`; `failed` where
// its read failed, which stops the other threads.
void analysisRangeEnd(int thread, ByteCounters &counters, bool failed);
// The counts that blocks were counted into, added to `totals`.
void analysisTakeTotals(std::uint64_t totals[256]);
// The order sums of everything counted.
OrderSums analysisOrderSums();
