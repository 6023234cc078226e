// See countBytes.h. Each kernel has counters of its own in the caller's set;
// they are folded into the set's 64-bit totals before the bytes counted since
// the last fold could carry any 32-bit counter past its limit, and when the
// totals are taken.
#include "countBytes.h"

#include <cstring>
#include <iterator>
#include <utility>

#include "processors.h"

#if SUITE_X86_64_KERNELS
#include <immintrin.h>
#endif

char countBytes_rcsid[] = "$Id: countBytes.c,v 1.1 2026-12-08 14:00:00-05 devteam Exp $";

namespace {

constexpr std::size_t kByteValues = 256;
// No 32-bit counter can pass its limit while fewer bytes than this were
// counted into its table.
constexpr std::uint64_t kFoldLimit = UINT32_MAX;
// The largest piece handed to a kernel at once, well below kFoldLimit.
constexpr std::size_t kPieceLimit = std::size_t{1} << 30;

// --- Eight interleaved tables ----------------------------------------------
//
// Counting into one table makes every increment of a dominant byte wait for
// the previous one to land. Bytes are spread over interleaved tables by
// their position instead, so that consecutive increments touch different
// memory. Eight tables of 32-bit counters take 8 KiB and stay in the L1
// cache.
constexpr std::size_t kLanes = 8;

// Eight bytes that all repeat the piece's first byte (zero padding, runs of
// one value) are counted in a register with one comparison instead.
void multiTableCount(ByteCounters &c, const unsigned char *p, std::size_t n) {
    const std::uint64_t runWord = 0x0101010101010101ULL * p[0];
    std::uint32_t runBytes = 0;
    std::size_t i = 0;
    for (; i + kLanes <= n; i += kLanes) {
        std::uint64_t word;
        std::memcpy(&word, p + i, sizeof word);
        if (word == runWord) {
            runBytes += kLanes;
            continue;
        }
        countWord(c, word);
    }
    c.laneCounts[0][p[0]] += runBytes;
    for (; i < n; ++i) ++c.laneCounts[0][p[i]];
}

void multiTableFold(ByteCounters &c) {
    for (std::size_t lane = 0; lane < kLanes; ++lane) {
        for (std::size_t v = 0; v < kByteValues; ++v) c.totals[v] += c.laneCounts[lane][v];
    }
    std::memset(c.laneCounts, 0, sizeof c.laneCounts);
}

// --- Byte pairs ------------------------------------------------------------
//
// In text a few bytes dominate, and even eight tables leave their increments
// queueing. Counting each aligned pair of bytes as one 16-bit index spreads
// the same bytes over many counters and halves the increments; the table
// (256 KiB) stays in the L2 cache, and each pair adds to both of its bytes
// when it is folded.
constexpr std::size_t kPairs = 65536;

void pairTableCount(ByteCounters &c, const unsigned char *p, std::size_t n) {
    auto &pairCounts = c.pairCounts;
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        std::uint64_t word;
        std::memcpy(&word, p + i, sizeof word);
        ++pairCounts[word & 0xffff];
        ++pairCounts[(word >> 16) & 0xffff];
        ++pairCounts[(word >> 32) & 0xffff];
        ++pairCounts[word >> 48];
    }
    // The few bytes past the last whole word go straight to the totals.
    for (; i < n; ++i) ++c.totals[p[i]];
}

void pairTableFold(ByteCounters &c) {
    for (std::size_t pair = 0; pair < kPairs; ++pair) {
        const std::uint32_t count = c.pairCounts[pair];
        c.totals[pair & 0xff] += count;
        c.totals[pair >> 8] += count;
    }
    std::memset(c.pairCounts, 0, sizeof c.pairCounts);
}

// --- Bit planes (AVX-512) --------------------------------------------------
//
// 512 bytes are turned into eight 512-bit planes, plane k holding bit k of
// every byte (one Galois-field affine step per plane and 64 bytes picks a
// bit of each byte of a 64-bit group). The bytes of value v are then the
// positions where every plane agrees with v's bits: three-way logic steps
// on the planes of bits 7 to 5 give eight masks, and bit 4 makes them the
// sixteen masks of the high half-byte; bits 3 to 1 and bit 0 likewise give
// the sixteen of the low half-byte. Each value's mask is one AND of a high
// and a low mask, and its population count is the value's count. A high
// half-byte that no byte of a group of blocks has is passed over with its
// sixteen values, which halves the work on text. The counters are 64-bit
// lanes (eight per value) and never need folding early.
#if SUITE_X86_64_KERNELS
#define PLANES_TARGET __attribute__((target("avx512f,avx512bw,avx512vpopcntdq,gfni")))

constexpr std::size_t kPlaneBlock = 512;

// The masks of one 512-byte block: the sixteen of the high four bits and the
// sixteen of the low four bits.
struct PlaneMasks {
    __m512i high[16];
    __m512i low[16];
};

// out[a] has a bit set where the bits of x, y and z spell a, for each a
// below 8; the logic step's table must be a constant, hence the sequence.
template <std::size_t... A>
PLANES_TARGET inline void eachOfThreeBits(__m512i out[8], __m512i x, __m512i y, __m512i z,
                                          std::index_sequence<A...>) {
    ((out[A] = _mm512_ternarylogic_epi64(x, y, z, 1 << A)), ...);
}

PLANES_TARGET void makePlaneMasks(const unsigned char *p, PlaneMasks &masks) {
    __m512i plane[8];
    for (int k = 0; k < 8; ++k) plane[k] = _mm512_setzero_si512();
    // Byte j of every 64-bit group of plane k holds bit k of the eight
    // bytes of that group of the j-th 64 bytes.
    for (int j = 0; j < 8; ++j) {
        const __m512i data = _mm512_loadu_si512(p + 64 * j);
        const __mmask64 slot = 0x0101010101010101ULL << j;
        for (int k = 0; k < 8; ++k) {
            plane[k] = _mm512_mask_gf2p8affine_epi64_epi8(
                plane[k], slot, _mm512_set1_epi8(static_cast<char>(1 << k)), data, 0);
        }
    }
    // The logic step's table has bit (x << 2 | y << 1 | z) set for the
    // inputs x, y, z it accepts: bit a accepts exactly the bits of a.
    __m512i high[8];
    __m512i mid[8];
    eachOfThreeBits(high, plane[7], plane[6], plane[5], std::make_index_sequence<8>());
    eachOfThreeBits(mid, plane[3], plane[2], plane[1], std::make_index_sequence<8>());
    for (int b = 0; b < 8; ++b) {
        // x and not y; x and y (z unused).
        masks.low[2 * b] = _mm512_ternarylogic_epi64(mid[b], plane[0], plane[0], 0x30);
        masks.low[2 * b + 1] = _mm512_ternarylogic_epi64(mid[b], plane[0], plane[0], 0xc0);
    }
    for (int a = 0; a < 8; ++a) {
        masks.high[2 * a] = _mm512_ternarylogic_epi64(high[a], plane[4], plane[4], 0x30);
        masks.high[2 * a + 1] = _mm512_ternarylogic_epi64(high[a], plane[4], plane[4], 0xc0);
    }
}

// `Blocks` blocks of 512 bytes: their counts are summed in registers before
// they are added to the counters in memory. Values of the high half-byte 15
// or the low half-byte 15 are not counted one by one: the slot of (h, 15)
// takes the whole of row h, the slot of (15, l) the whole of column l, and
// the fold subtracts the rest (a population count with no AND saved on 31
// of the 256 values).
template <std::size_t Blocks>
PLANES_TARGET void bitPlanesGroup(ByteCounters &c, const unsigned char *p) {
    PlaneMasks masks[Blocks];
    for (std::size_t b = 0; b < Blocks; ++b) makePlaneMasks(p + kPlaneBlock * b, masks[b]);
    __m512i *counts = reinterpret_cast<__m512i *>(c.planeCounts);
    for (int h = 0; h < 15; ++h) {
        // Text has bytes of about seven of the sixteen high half-bytes.
        __m512i seen = masks[0].high[h];
        for (std::size_t b = 1; b < Blocks; ++b) seen = _mm512_or_si512(seen, masks[b].high[h]);
        if (_mm512_test_epi64_mask(seen, seen) == 0) continue;
        __m512i row = _mm512_setzero_si512();
        for (std::size_t b = 0; b < Blocks; ++b) {
            row = _mm512_add_epi64(row, _mm512_popcnt_epi64(masks[b].high[h]));
        }
        counts[h * 16 + 15] = _mm512_add_epi64(counts[h * 16 + 15], row);
        for (int l = 0; l < 15; ++l) {
            __m512i sum = _mm512_setzero_si512();
            for (std::size_t b = 0; b < Blocks; ++b) {
                sum = _mm512_add_epi64(
                    sum, _mm512_popcnt_epi64(_mm512_and_si512(masks[b].high[h], masks[b].low[l])));
            }
            counts[h * 16 + l] = _mm512_add_epi64(counts[h * 16 + l], sum);
        }
    }
    for (int l = 0; l < 15; ++l) {
        __m512i column = _mm512_setzero_si512();
        for (std::size_t b = 0; b < Blocks; ++b) {
            column = _mm512_add_epi64(column, _mm512_popcnt_epi64(masks[b].low[l]));
        }
        counts[15 * 16 + l] = _mm512_add_epi64(counts[15 * 16 + l], column);
    }
    c.planeBytes += Blocks * kPlaneBlock;
}

constexpr std::size_t kGroupBlocks = 8;

PLANES_TARGET void bitPlanesCount(ByteCounters &c, const unsigned char *p, std::size_t n) {
    std::size_t blocks = n / kPlaneBlock;
    for (; blocks >= kGroupBlocks; blocks -= kGroupBlocks, p += kGroupBlocks * kPlaneBlock) {
        bitPlanesGroup<kGroupBlocks>(c, p);
    }
    for (; blocks > 0; --blocks, p += kPlaneBlock) bitPlanesGroup<1>(c, p);
}

// Turns the slots of row and column totals back into single values.
void bitPlanesFold(ByteCounters &c) {
    std::uint64_t slot[16][16];
    for (std::size_t v = 0; v < kByteValues; ++v) {
        std::uint64_t sum = 0;
        for (std::uint64_t &lane : c.planeCounts[v]) {
            sum += lane;
            lane = 0;
        }
        slot[v >> 4][v & 15] = sum;
    }
    // Every difference is a count, so unsigned arithmetic is exact.
    for (std::size_t h = 0; h < 15; ++h) {
        for (std::size_t l = 0; l < 15; ++l) {
            slot[h][15] -= slot[h][l];
            slot[15][l] -= slot[h][l];
        }
    }
    slot[15][15] = c.planeBytes;
    for (std::size_t v = 0; v + 1 < kByteValues; ++v) slot[15][15] -= slot[v >> 4][v & 15];
    for (std::size_t v = 0; v < kByteValues; ++v) c.totals[v] += slot[v >> 4][v & 15];
    c.planeBytes = 0;
}
#else
// A build without x86-64 kernels has no bit planes, and never runs them.
constexpr std::size_t kPlaneBlock = 512;
void bitPlanesCount(ByteCounters &, const unsigned char *, std::size_t) {}
void bitPlanesFold(ByteCounters &) {}
#endif

// The kernels from the best; the first the processor runs counts whatever
// the look at a block leaves to the processor's choice. The pair table is
// never that choice: it is the look's own for text where the bit planes do
// not run.
struct CountKernelEntry {
    InstructionSet needs;
    CountKernel kernel;
    const char *name;
};
constexpr CountKernelEntry countKernels[] = {
    {InstructionSet::avx512PopcountGfni, CountKernel::bitPlanes, "bit-planes (AVX-512)"},
    {InstructionSet::portable, CountKernel::multiTable, "multi-table"},
    {InstructionSet::portable, CountKernel::pairTable, "pair-table"},
};
static_assert(std::size(countKernels) == kCountKernelCount);

void fold(ByteCounters &c, CountKernel kernel) {
    switch (kernel) {
    case CountKernel::multiTable:
        multiTableFold(c);
        break;
    case CountKernel::pairTable:
        pairTableFold(c);
        break;
    case CountKernel::bitPlanes:
        bitPlanesFold(c);
        break;
    }
    c.bytesSinceFold[static_cast<int>(kernel)] = 0;
}

// Counts with one kernel, in pieces that cannot overflow its counters.
void countPieces(ByteCounters &c, CountKernel kernel, const unsigned char *p, std::size_t n) {
    while (n > 0) {
        const std::size_t piece = n < kPieceLimit ? n : kPieceLimit;
        std::uint64_t &since = c.bytesSinceFold[static_cast<int>(kernel)];
        if (since + piece > kFoldLimit) fold(c, kernel);
        since += piece;
        switch (kernel) {
        case CountKernel::multiTable:
            multiTableCount(c, p, piece);
            break;
        case CountKernel::pairTable:
            pairTableCount(c, p, piece);
            break;
        case CountKernel::bitPlanes: {
            // Whole planes here; the last few bytes by the tables.
            const std::size_t whole = piece - piece % kPlaneBlock;
            bitPlanesCount(c, p, whole);
            if (whole < piece) countPieces(c, CountKernel::multiTable, p + whole, piece - whole);
            break;
        }
        }
        p += piece;
        n -= piece;
    }
}

// The look at a block decides on its first line of bytes.
constexpr std::size_t kLookBytes = 64;

bool repeatsOneByte(const unsigned char *p) {
    for (std::size_t i = 1; i < kLookBytes; ++i) {
        if (p[i] != p[0]) return false;
    }
    return true;
}

// Random bytes are all below 128 in one look of 2^64; text nearly always.
bool looksLikeText(const unsigned char *p) {
    unsigned char any = 0;
    for (std::size_t i = 0; i < kLookBytes; ++i) any |= p[i];
    return any < 0x80;
}

// The kernel for a block of `n` bytes (at most kLookBlock), `main` being the
// processor's choice.
CountKernel lookAt(CountKernel main, const unsigned char *p, std::size_t n) {
    if (n < kLookBytes || repeatsOneByte(p)) return CountKernel::multiTable;
    // The bit planes skip the half-bytes text lacks, and stay ahead.
    if (main == CountKernel::multiTable && looksLikeText(p)) return CountKernel::pairTable;
    return main;
}

}  // namespace

const char *countKernelName(CountKernel kernel) {
    const CountKernelEntry *entry = entryOf(countKernels, kernel);
    return entry != nullptr ? entry->name : "?";
}

bool countKernelSupported(CountKernel kernel) {
    const CountKernelEntry *entry = entryOf(countKernels, kernel);
    return entry != nullptr && processorRuns(entry->needs);
}

void countBytesWith(ByteCounters &counters, CountKernel kernel, const unsigned char *p, std::size_t n) {
    countPieces(counters, kernel, p, n);
}

CountKernel chosenCountKernel() {
    // Chosen once, whichever thread asks first (the initialisation of a
    // local static is made safe between threads).
    static const CountKernel mainKernel = firstThatRuns(countKernels).kernel;
    return mainKernel;
}

void countBytes(ByteCounters &counters, const unsigned char *p, std::size_t n) {
    countBytesAs(counters, chosenCountKernel(), p, n);
}

bool countsWordByWord(const unsigned char *p, std::size_t n) {
    // A run of one value is counted in a register instead.
    return n >= kLookBytes && !repeatsOneByte(p) && lookAt(chosenCountKernel(), p, n) == CountKernel::multiTable;
}

void reserveWords(ByteCounters &counters, std::size_t n) {
    std::uint64_t &since = counters.bytesSinceFold[static_cast<int>(CountKernel::multiTable)];
    if (since + n > kFoldLimit) fold(counters, CountKernel::multiTable);
    since += n;
}

void countBytesAs(ByteCounters &counters, CountKernel main, const unsigned char *p, std::size_t n) {
    while (n > 0) {
        const std::size_t block = n < kLookBlock ? n : kLookBlock;
        countPieces(counters, lookAt(main, p, block), p, block);
        p += block;
        n -= block;
    }
}

void takeByteTotals(ByteCounters &counters, std::uint64_t totals[256]) {
    // A kernel that counted nothing has nothing to fold; the pair table
    // alone is 256 KiB that a short input would otherwise touch.
    for (int kernel = 0; kernel < kCountKernelCount; ++kernel) {
        if (counters.bytesSinceFold[kernel] > 0) fold(counters, static_cast<CountKernel>(kernel));
    }
    for (std::size_t v = 0; v < kByteValues; ++v) {
        totals[v] += counters.totals[v];
        counters.totals[v] = 0;
    }
}
