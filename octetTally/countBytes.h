// Byte counting at the processor's limit: several kernels that add the
// occurrences of each of the 256 byte values of a buffer to running totals,
// one of them chosen when the tool starts by what the processor offers and,
// block by block, by a cheap look at the data. The kernels keep no state of
// their own: every count goes into a set of counters that the caller owns,
// so that threads counting at once each have theirs.
#pragma once

#include <cstddef>
#include <cstdint>

enum class CountKernel {
    multiTable,  // eight interleaved tables of 32-bit counters, any processor
    pairTable,   // one table of 65,536 32-bit counters indexed by byte pairs
    bitPlanes,   // 512 bytes at a time as eight bit planes (AVX-512)
};
constexpr int kCountKernelCount = 3;

// The kernel's name as the benchmark and the tests print it.
const char *countKernelName(CountKernel kernel);
// Whether this processor (and its operating system) can run the kernel.
bool countKernelSupported(CountKernel kernel);

// The counters of one counting thread: each kernel's own, and the 64-bit
// totals they are folded into. A set starts zeroed (static storage or
// calloc) and is zero again after takeByteTotals; about 290 KiB, of which a
// count touches only what its kernels use.
struct ByteCounters {
    alignas(64) std::uint64_t planeCounts[256][8];  // bit planes: 64-bit lanes per value
    std::uint64_t planeBytes;                       // counted into planeCounts since its fold
    std::uint32_t laneCounts[8][256];               // multi-table
    std::uint32_t pairCounts[65536];                // pair-table
    std::uint64_t totals[256];
    std::uint64_t bytesSinceFold[kCountKernelCount];
};

// Adds the `n` bytes at `p` to the counters of `kernel`, which must be
// supported. The counters are 32-bit and are folded into 64-bit totals
// before any of them can overflow; takeByteTotals collects them.
void countBytesWith(ByteCounters &counters, CountKernel kernel, const unsigned char *p, std::size_t n);

// The tool's entry: counts with the best kernel for this processor, chosen
// at the first call, and per block by a look at the block's first bytes.
void countBytes(ByteCounters &counters, const unsigned char *p, std::size_t n);
// The same look at each block, with `main` in place of the processor's choice
// (the benchmark compares the choices a processor might make).
void countBytesAs(ByteCounters &counters, CountKernel main, const unsigned char *p, std::size_t n);
// The kernel that countBytes uses on data that is not one repeated byte
// (nor, on a processor without AVX-512, text-like).
CountKernel chosenCountKernel();

// For a caller with work of its own on the same bytes (the order sums),
// which can share the count's loop where the count goes word by word: the
// multi-table kernel's step, one 64-bit word into its eight tables, is bound
// by its stores and leaves the vector units idle.
//
// The blocks countBytes looks at, one by one, to choose a kernel.
constexpr std::size_t kLookBlock = 65536;
// Whether countBytes would count the look block at `p` (`n` bytes, at most
// kLookBlock) word by word, its bytes being no run of one value.
bool countsWordByWord(const unsigned char *p, std::size_t n);
// Makes room in the multi-table counters for `n` more bytes (at most
// kLookBlock), to be counted by countWord.
void reserveWords(ByteCounters &counters, std::size_t n);
// Counts one word, eight bytes as read from memory, into the multi-table
// counters.
inline void countWord(ByteCounters &counters, std::uint64_t word) {
    auto &laneCounts = counters.laneCounts;
    ++laneCounts[0][word & 0xff];
    ++laneCounts[1][(word >> 8) & 0xff];
    ++laneCounts[2][(word >> 16) & 0xff];
    ++laneCounts[3][(word >> 24) & 0xff];
    ++laneCounts[4][(word >> 32) & 0xff];
    ++laneCounts[5][(word >> 40) & 0xff];
    ++laneCounts[6][(word >> 48) & 0xff];
    ++laneCounts[7][word >> 56];
}

// Adds every count gathered in `counters` to `totals` and zeroes them.
void takeByteTotals(ByteCounters &counters, std::uint64_t totals[256]);
