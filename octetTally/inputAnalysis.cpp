// See inputAnalysis.h. A block is counted with the counting kernels and its
// counts are taken from them when it ends, which costs a fold of the kernels'
// tables (a few thousand additions): nothing beside a large block, too much
// beside a small one, which is counted byte by byte instead.
#include "inputAnalysis.h"

#include <pthread.h>

#include <cassert>
#include <cstring>

#include "countFile.h"
#include "sequenceSums.h"

namespace {

// Below this a block is counted byte by byte.
constexpr std::int64_t kKernelBlock = std::int64_t{16} << 10;
// Slots for ranges done before those ahead of them.
constexpr int kSlots = 2 * kMaxCountThreads;
// A range holds at most this many blocks (kCountRange / kMinBlockSize).
constexpr std::int64_t kSlotBlocks = kCountRange / kMinBlockSize;

// A range done, waiting for its turn.
struct Slot {
    double entropies[kSlotBlocks];
    std::int64_t blocks;
    std::int64_t lastBytes;  // bytes of its last block
    off_t at;                // offset of its first block
    SequenceState sequence;
    bool done;
};

// What one thread is working on.
struct Piece {
    std::uint64_t block[256];
    std::uint64_t whole[256];
    SequenceState sequence;
    std::int64_t blockFill;  // bytes of the block under way
    off_t blockAt;           // its offset
    std::int64_t range;      // -1: the whole input, in order, on one thread
    Slot *slot;
};

AnalysisPlan plan;
off_t rangeSize;
Slot slots[kSlots];
Piece pieces[kMaxCountThreads];
SequenceState joined;       // the ranges handed on so far
std::int64_t handedOn;      // ranges handed on
bool stopped;
pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t turn = PTHREAD_COND_INITIALIZER;

void endBlock(Piece &piece) {
    if (piece.blockFill == 0) return;
    const double entropy = shannonEntropy(piece.block, static_cast<std::uint64_t>(piece.blockFill));
    for (int v = 0; v < 256; ++v) piece.whole[v] += piece.block[v];
    std::memset(piece.block, 0, sizeof piece.block);
    if (piece.slot == nullptr) {
        plan.sink.add(plan.sink.context, piece.blockAt, entropy, piece.blockFill);
    } else {
        Slot &slot = *piece.slot;
        assert(slot.blocks < kSlotBlocks);
        slot.entropies[slot.blocks++] = entropy;
        slot.lastBytes = piece.blockFill;
    }
    piece.blockAt += piece.blockFill;
    piece.blockFill = 0;
}

// Counts the `n` bytes, and gathers their order sums where `order` is
// given, in one pass where the two can share it.
void countAndGather(SequenceState *order, ByteCounters &counters, const unsigned char *p, std::size_t n) {
    if (order != nullptr) {
        sequenceFeedCounting(*order, counters, p, n);
    } else {
        countBytes(counters, p, n);
    }
}

// The next `n` bytes, all in the block under way.
void countIntoBlock(Piece &piece, ByteCounters &counters, SequenceState *order, const unsigned char *p,
                    std::size_t n) {
    if (plan.blockSize < kKernelBlock) {
        if (order != nullptr) sequenceFeed(*order, p, n);
        for (std::size_t i = 0; i < n; ++i) ++piece.block[p[i]];
    } else {
        countAndGather(order, counters, p, n);
    }
    piece.blockFill += static_cast<std::int64_t>(n);
    if (piece.blockFill == plan.blockSize) {
        if (plan.blockSize >= kKernelBlock) takeByteTotals(counters, piece.block);
        endBlock(piece);
    }
}

// Hands on every range done in order, from the next one. Holds the lock.
void handOnDone() {
    for (;;) {
        Slot &slot = slots[handedOn % kSlots];
        if (!slot.done) return;
        for (std::int64_t b = 0; b < slot.blocks; ++b) {
            const bool last = b + 1 == slot.blocks;
            plan.sink.add(plan.sink.context, slot.at + b * plan.blockSize, slot.entropies[b],
                          last ? slot.lastBytes : plan.blockSize);
        }
        sequenceJoin(joined, slot.sequence);
        slot.done = false;
        ++handedOn;
        pthread_cond_broadcast(&turn);
    }
}

}  // namespace

void analysisBegin(const AnalysisPlan &newPlan, int threads) {
    assert(threads >= 1 && threads <= kMaxCountThreads);
    plan = newPlan;
    const off_t block = static_cast<off_t>(plan.blockSize);
    rangeSize = block == 0 ? kCountRange : block >= kCountRange ? block : kCountRange / block * block;
    for (Slot &slot : slots) slot.done = false;
    for (Piece &piece : pieces) std::memset(piece.whole, 0, sizeof piece.whole);
    sequenceStart(joined, 0);
    handedOn = 0;
    stopped = false;
}

off_t analysisRangeSize() {
    return rangeSize;
}

bool analysisEnter(std::int64_t range) {
    pthread_mutex_lock(&lock);
    while (!stopped && range >= handedOn + kSlots) pthread_cond_wait(&turn, &lock);
    const bool go = !stopped;
    pthread_mutex_unlock(&lock);
    return go;
}

void analysisRangeBegin(int thread, std::int64_t range, off_t at) {
    Piece &piece = pieces[thread];
    std::memset(piece.block, 0, sizeof piece.block);
    sequenceStart(piece.sequence, static_cast<int>(at % 6));
    piece.blockFill = 0;
    piece.blockAt = at;
    piece.range = range;
    piece.slot = range < 0 ? nullptr : &slots[range % kSlots];
    if (piece.slot != nullptr) {
        piece.slot->blocks = 0;
        piece.slot->lastBytes = 0;
        piece.slot->at = at;
    }
}

void analysisCount(int thread, ByteCounters &counters, const unsigned char *p, std::size_t n) {
    Piece &piece = pieces[thread];
    SequenceState *order = plan.orderSums ? &piece.sequence : nullptr;
    if (plan.blockSize == 0) {
        countAndGather(order, counters, p, n);
        return;
    }
    while (n > 0) {
        const std::int64_t room = plan.blockSize - piece.blockFill;
        const std::size_t take = static_cast<std::int64_t>(n) < room ? n : static_cast<std::size_t>(room);
        countIntoBlock(piece, counters, order, p, take);
        p += take;
        n -= take;
    }
}

void analysisRangeEnd(int thread, ByteCounters &counters, bool failed) {
    Piece &piece = pieces[thread];
    // A range's last block is short only at the end of the input.
    if (!failed && plan.blockSize >= kKernelBlock && piece.blockFill > 0) {
        takeByteTotals(counters, piece.block);
    }
    if (!failed && plan.blockSize != 0) endBlock(piece);
    if (piece.slot == nullptr) {
        joined = piece.sequence;
        return;
    }
    pthread_mutex_lock(&lock);
    if (failed) {
        stopped = true;
        pthread_cond_broadcast(&turn);
    } else {
        piece.slot->sequence = piece.sequence;
        piece.slot->done = true;
        handOnDone();
    }
    pthread_mutex_unlock(&lock);
}

void analysisTakeTotals(std::uint64_t totals[256]) {
    for (const Piece &piece : pieces) {
        for (int v = 0; v < 256; ++v) totals[v] += piece.whole[v];
    }
}

OrderSums analysisOrderSums() {
    return sequenceTotals(joined);
}
