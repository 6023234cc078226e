// See sequenceSums.h. Where the processor has AVX2, the products of
// neighbours are summed with vector multiply-adds and the Monte-Carlo points
// are judged eight at a time in vector lanes, by the cells of 512 by 512
// values they lie in, the few in cells along the arc by the exact test; and
// where the bytes are counted word by word (multi-table), whose increments
// leave the vector units idle, both are gathered in the count's own loop.
// Elsewhere the points are judged by a table of the high bytes of x and y:
// a cell of 65,536 by 65,536 values lies wholly inside the circle, wholly
// outside, or on its arc, and only the few points in cells on the arc
// (about 0.6 percent of random points) take the exact 48-bit test.
#include "sequenceSums.h"

#include <cstring>
#include <iterator>

#include "processors.h"

#if SUITE_X86_64_KERNELS
#include <immintrin.h>
#endif

char sequenceSums_rcsid[] = "$Id: sequenceSums.c,v 1.1 2026-12-09 18:00:00-05 devteam Exp $";

namespace {

constexpr int kGroup = 6;
constexpr std::uint64_t kRadius = (std::uint64_t{1} << 24) - 1;
constexpr std::uint64_t kRadiusSquared = kRadius * kRadius;

// The rounds of the loop that counts and gathers at once, and the bytes a
// round reads.
constexpr std::size_t kRound = 96;
constexpr std::size_t kRoundRead = kRound + 4;

std::uint64_t portableProducts(const unsigned char *p, std::size_t n) {
    std::uint64_t sum = 0;
    for (std::size_t i = 0; i + 1 < n; ++i) sum += std::uint64_t{p[i]} * p[i + 1];
    return sum;
}

bool exactlyInside(const unsigned char *g) {
    const std::uint64_t x = std::uint64_t{g[0]} << 16 | std::uint64_t{g[1]} << 8 | g[2];
    const std::uint64_t y = std::uint64_t{g[3]} << 16 | std::uint64_t{g[4]} << 8 | g[5];
    return x * x + y * y <= kRadiusSquared;
}

// By the high bytes of x and y: 0 outside, 1 inside, 2 on the arc.
struct CellTable {
    unsigned char cell[65536];
};

CellTable makeCellTable() {
    CellTable t;
    for (std::uint64_t hx = 0; hx < 256; ++hx) {
        for (std::uint64_t hy = 0; hy < 256; ++hy) {
            const std::uint64_t nearX = hx << 16, farX = nearX | 0xFFFF;
            const std::uint64_t nearY = hy << 16, farY = nearY | 0xFFFF;
            const bool allIn = farX * farX + farY * farY <= kRadiusSquared;
            const bool allOut = nearX * nearX + nearY * nearY > kRadiusSquared;
            t.cell[hx << 8 | hy] = allIn ? 1 : allOut ? 0 : 2;
        }
    }
    return t;
}

// The table's judgement: four points at a time without a branch; the rare
// four with a point on the arc are taken again one by one.
void tablePoints(const unsigned char *p, std::size_t n, std::uint64_t &inside) {
    static const CellTable table = makeCellTable();
    std::uint64_t in = 0;
    std::size_t i = 0;
    for (; i + 4 * kGroup <= n; i += 4 * kGroup) {
        const unsigned a = table.cell[unsigned{p[i]} << 8 | p[i + 3]];
        const unsigned b = table.cell[unsigned{p[i + 6]} << 8 | p[i + 9]];
        const unsigned c = table.cell[unsigned{p[i + 12]} << 8 | p[i + 15]];
        const unsigned d = table.cell[unsigned{p[i + 18]} << 8 | p[i + 21]];
        if (((a | b | c | d) & 2) == 0) {
            in += a + b + c + d;
            continue;
        }
        for (std::size_t g = i; g < i + 4 * kGroup; g += kGroup) in += exactlyInside(p + g) ? 1 : 0;
    }
    for (; i + kGroup <= n; i += kGroup) in += exactlyInside(p + i) ? 1 : 0;
    inside += in;
}

#if SUITE_X86_64_KERNELS
#define ORDER_TARGET __attribute__((target("avx2")))

ORDER_TARGET inline std::uint64_t sumLanes32(__m256i lanes) {
    std::uint32_t part[8];
    _mm256_storeu_si256(reinterpret_cast<__m256i *>(part), lanes);
    std::uint64_t sum = 0;
    for (std::uint32_t lane : part) sum += lane;
    return sum;
}

// The products of the 32 neighbours p[j] p[j + 1], j from 0 to 31 (33 bytes
// read), in eight 32-bit lanes, from the 16-bit words of the bytes at p and
// at p + 1: each odd byte p[2k + 1] is the neighbour of both p[2k] and
// p[2k + 2], so its products are p[2k + 1] (p[2k] + p[2k + 2]), one
// multiply-add of 16-bit lanes (the sum at most 510) into 32-bit ones: at
// most 2 x 255 x 510 = 260,100 a lane.
constexpr std::uint64_t kMostProductsALane = 2 * 255 * 510;
ORDER_TARGET inline __m256i productsOf32(const unsigned char *p) {
    const __m256i lowBytes = _mm256_set1_epi16(0xFF);
    const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p));
    const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p + 1));
    const __m256i odd = _mm256_srli_epi16(a, 8);
    const __m256i around = _mm256_add_epi16(_mm256_and_si256(a, lowBytes), _mm256_srli_epi16(b, 8));
    return _mm256_madd_epi16(odd, around);
}

// 64 bytes a round into two sums (the loop's overhead shared, the additions
// independent), widened into 64 bits every 4,096 rounds.
ORDER_TARGET std::uint64_t avx2Products(const unsigned char *p, std::size_t n) {
    static_assert(4096 * kMostProductsALane < (std::uint64_t{1} << 32), "a lane holds 4,096 rounds");
    std::uint64_t sum = 0;
    std::size_t i = 0;
    while (i + 65 <= n) {
        std::size_t rounds = (n - i - 1) / 64;
        if (rounds > 4096) rounds = 4096;
        __m256i first = _mm256_setzero_si256(), second = _mm256_setzero_si256();
        for (const std::size_t end = i + 64 * rounds; i < end; i += 64) {
            first = _mm256_add_epi32(first, productsOf32(p + i));
            second = _mm256_add_epi32(second, productsOf32(p + i + 32));
        }
        sum += sumLanes32(first) + sumLanes32(second);
    }
    return sum + portableProducts(p + i, n - i);
}

// Eight points (48 bytes, 52 read) at a time, judged by the top 15 bits of
// x and of y (X = x >> 9, Y = y >> 9): one multiply-add of 16-bit lanes
// gives X^2 + Y^2 in each 32-bit lane, below 2^31. A point lies in a cell of
// 512 by 512 values; it is outside whenever its cell's nearest corner is,
// 512^2 (X^2 + Y^2) > R^2, that is X^2 + Y^2 > kCellsOut, since R^2 / 2^18
// is that integer plus less than one. It is inside whenever its cell's far
// corner is, which holds where X^2 + Y^2 <= 32766^2: (X + 1)^2 + (Y + 1)^2
// is then at most (32766 + sqrt 2)^2, below R^2 / 2^18. Between the two
// lies a band about two cells wide along the arc, under one point in ten
// thousand of random bytes; eight points with one in it are taken by the
// exact test, one by one.
constexpr int kCellsOut = 1073741696;
constexpr int kCellsIn = 32766 * 32766;
static_assert(std::uint64_t{kCellsOut} * (1 << 18) <= kRadiusSquared &&
                  std::uint64_t{kCellsOut + 1} * (1 << 18) > kRadiusSquared,
              "kCellsOut is R^2 / 2^18 rounded down");
constexpr std::size_t kEightPoints = 8 * kGroup;
constexpr std::size_t kEightPointsRead = kEightPoints + 4;

// Bytes 0 to 15 from `p` in the low half, 12 to 27 in the high one.
ORDER_TARGET inline __m256i twoHalves(const unsigned char *p) {
    const __m128i low = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
    const __m128i high = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + 2 * kGroup));
    return _mm256_inserti128_si256(_mm256_castsi128_si256(low), high, 1);
}

// The eight points from `p`: how many are outside, added to the lanes of
// `outside` (a lane outside is all ones: -1 subtracted, 1 counted), or,
// where one is on the band, to `exactOutside`, by the exact test.
ORDER_TARGET inline void judgeEightPoints(const unsigned char *p, __m256i &outside, std::uint64_t &exactOutside) {
    // Each 128-bit half of a load holds two points; the top 16 bits of their
    // x and y (big-endian) go to 16-bit lanes as X0 Y0 X1 Y1, into the low
    // eight bytes of the half for the first load, the high eight for the
    // second, so that one OR gathers eight points.
    const __m256i pickFirst = _mm256_setr_epi8(1, 0, 4, 3, 7, 6, 10, 9, -1, -1, -1, -1, -1, -1, -1, -1,  //
                                               1, 0, 4, 3, 7, 6, 10, 9, -1, -1, -1, -1, -1, -1, -1, -1);
    const __m256i pickSecond = _mm256_setr_epi8(-1, -1, -1, -1, -1, -1, -1, -1, 1, 0, 4, 3, 7, 6, 10, 9,  //
                                                -1, -1, -1, -1, -1, -1, -1, -1, 1, 0, 4, 3, 7, 6, 10, 9);
    const __m256i top = _mm256_or_si256(_mm256_shuffle_epi8(twoHalves(p), pickFirst),
                                        _mm256_shuffle_epi8(twoHalves(p + 4 * kGroup), pickSecond));
    const __m256i cells = _mm256_srli_epi16(top, 1);
    const __m256i squares = _mm256_madd_epi16(cells, cells);
    const __m256i out = _mm256_cmpgt_epi32(squares, _mm256_set1_epi32(kCellsOut));
    const __m256i notIn = _mm256_cmpgt_epi32(squares, _mm256_set1_epi32(kCellsIn));
    if (_mm256_movemask_epi8(_mm256_xor_si256(out, notIn)) == 0) {
        outside = _mm256_sub_epi32(outside, out);
    } else {
        for (std::size_t g = 0; g < kEightPoints; g += kGroup) exactOutside += exactlyInside(p + g) ? 0 : 1;
    }
}

// The points outside the circle among the `n` bytes' whole points; the
// lanes are widened every 65,536 rounds.
ORDER_TARGET std::uint64_t avx2Outside(const unsigned char *p, std::size_t n) {
    std::uint64_t sum = 0;
    std::size_t i = 0;
    while (i + kEightPointsRead <= n) {
        __m256i outside = _mm256_setzero_si256();
        for (int round = 0; round < 65536 && i + kEightPointsRead <= n; ++round, i += kEightPoints) {
            judgeEightPoints(p + i, outside, sum);
        }
        sum += sumLanes32(outside);
    }
    for (; i + kGroup <= n; i += kGroup) sum += exactlyInside(p + i) ? 0 : 1;
    return sum;
}

// The count, the products and the points of `rounds` rounds of 96 bytes
// from `p` (which begins a point; 4 bytes past them are read): twelve words
// counted, three vectors of products, sixteen points a round. The products
// are those of every byte of the rounds with the next, the last round's
// last byte with the byte after it included. One call has at most a look
// block's rounds, which no lane can overflow.
static_assert(kLookBlock / kRound * 3 * kMostProductsALane < (std::uint64_t{1} << 32), "products of a look block");

ORDER_TARGET void avx2CountAndGather(ByteCounters &counters, const unsigned char *p, std::size_t rounds,
                                     std::uint64_t &products, std::uint64_t &outside) {
    __m256i productLanes = _mm256_setzero_si256(), outsideLanes = _mm256_setzero_si256();
    for (std::size_t round = 0; round < rounds; ++round, p += kRound) {
        for (std::size_t half = 0; half < kRound; half += kEightPoints) {
            judgeEightPoints(p + half, outsideLanes, outside);
            for (std::size_t w = half; w < half + kEightPoints; w += 8) {
                std::uint64_t word;
                std::memcpy(&word, p + w, sizeof word);
                countWord(counters, word);
            }
        }
        productLanes = _mm256_add_epi32(productLanes, productsOf32(p));
        productLanes = _mm256_add_epi32(productLanes, productsOf32(p + 32));
        productLanes = _mm256_add_epi32(productLanes, productsOf32(p + 64));
    }
    products += sumLanes32(productLanes);
    outside += sumLanes32(outsideLanes);
}
#else
// A build without x86-64 kernels never runs these.
std::uint64_t avx2Products(const unsigned char *p, std::size_t n) {
    return portableProducts(p, n);
}
std::uint64_t avx2Outside(const unsigned char *, std::size_t) {
    return 0;
}
void avx2CountAndGather(ByteCounters &, const unsigned char *, std::size_t, std::uint64_t &, std::uint64_t &) {}
#endif

void avx2Points(const unsigned char *p, std::size_t n, std::uint64_t &inside) {
    const std::size_t whole = n / kGroup * kGroup;
    inside += whole / kGroup - avx2Outside(p, whole);
}

struct OrderKernelEntry {
    InstructionSet needs;
    OrderKernel kernel;
    const char *name;
};
constexpr OrderKernelEntry orderKernels[] = {
    {InstructionSet::avx2, OrderKernel::avx2, "AVX2"},
    {InstructionSet::portable, OrderKernel::portable, "portable"},
};

OrderKernel chosenOrderKernel() {
    static const OrderKernel chosen = firstThatRuns(orderKernels).kernel;
    return chosen;
}

void addProducts(SequenceState &s, std::uint64_t products) {
    s.productsLow += products;
    if (s.productsLow < products) ++s.productsHigh;
}

void countPoint(SequenceState &s, const unsigned char *g) {
    ++s.points;
    s.inside += exactlyInside(g) ? 1 : 0;
}

// Adds `n` bytes to the point under way; returns how many it took.
std::size_t fillCarry(SequenceState &s, const unsigned char *p, std::size_t n) {
    std::size_t taken = 0;
    while (s.carryLength < kGroup && taken < n) s.carry[s.carryLength++] = p[taken++];
    if (s.carryLength == kGroup) {
        countPoint(s, s.carry);
        s.carryLength = 0;
    }
    return taken;
}

// Takes what the edges of `n` new bytes (n > 0) hold: the product with
// the byte before them, the first or last byte, the head, the point under
// way. Returns where whole points begin, or `n` where the head or the point
// under way took every byte.
std::size_t takeEdges(SequenceState &s, const unsigned char *p, std::size_t n) {
    if (s.bytes > 0) {
        addProducts(s, std::uint64_t{s.last} * p[0]);
    } else {
        s.first = p[0];
    }
    s.last = p[n - 1];
    s.bytes += static_cast<std::int64_t>(n);
    std::size_t i = 0;
    while (s.headLength < s.headWant && i < n) s.head[s.headLength++] = p[i++];
    if (s.headLength < s.headWant) return n;
    if (s.carryLength > 0) i += fillCarry(s, p + i, n - i);
    return s.carryLength > 0 ? n : i;
}

// Keeps the bytes from `from` to `n`, fewer than a point, as the point under
// way (nothing to keep where `from` is `n`: the point under way, if any,
// took every byte).
void keepRest(SequenceState &s, const unsigned char *p, std::size_t from, std::size_t n) {
    if (from == n) return;
    s.carryLength = static_cast<int>(n - from);
    std::memcpy(s.carry, p + from, n - from);
}

// sequenceFeed and countBytes of a look block counted word by word: the
// whole rounds from where points begin in the fused loop, the few bytes
// before and after them by the kernels of their own. The products add up
// across the cuts: those before `from`, the product across it, the fused
// ones (which include the product across `end`), those after `end`.
void feedCountingWords(SequenceState &s, ByteCounters &counters, const unsigned char *p, std::size_t n) {
    const std::size_t from = takeEdges(s, p, n);
    const std::size_t whole = (n - from) / kGroup * kGroup;
    const std::size_t rounds = whole >= kRoundRead ? (whole - (kRoundRead - kRound)) / kRound : 0;
    const std::size_t end = from + rounds * kRound;
    std::uint64_t products = 0, outside = 0;
    reserveWords(counters, end - from);
    avx2CountAndGather(counters, p + from, rounds, products, outside);
    countBytesWith(counters, CountKernel::multiTable, p, from);
    countBytesWith(counters, CountKernel::multiTable, p + end, n - end);
    if (from > 0 && from < n) products += std::uint64_t{p[from - 1]} * p[from];
    products += avx2Products(p, from) + avx2Products(p + end, n - end);
    addProducts(s, products);
    s.points += rounds * kRound / kGroup;
    s.inside += rounds * kRound / kGroup - outside;
    monteCarloPointsWith(OrderKernel::avx2, p + end, from + whole - end, s.points, s.inside);
    keepRest(s, p, from + whole, n);
}

}  // namespace

const char *orderKernelName(OrderKernel kernel) {
    const OrderKernelEntry *entry = entryOf(orderKernels, kernel);
    return entry != nullptr ? entry->name : "?";
}

bool orderKernelSupported(OrderKernel kernel) {
    const OrderKernelEntry *entry = entryOf(orderKernels, kernel);
    return entry != nullptr && processorRuns(entry->needs);
}

std::uint64_t neighbourProductsWith(OrderKernel kernel, const unsigned char *p, std::size_t n) {
    return kernel == OrderKernel::avx2 ? avx2Products(p, n) : portableProducts(p, n);
}

void monteCarloPointsWith(OrderKernel kernel, const unsigned char *p, std::size_t n, std::uint64_t &points,
                          std::uint64_t &inside) {
    if (kernel == OrderKernel::avx2) {
        avx2Points(p, n, inside);
    } else {
        tablePoints(p, n, inside);
    }
    points += n / kGroup;
}

void monteCarloPointsExact(const unsigned char *p, std::size_t n, std::uint64_t &points, std::uint64_t &inside) {
    for (std::size_t i = 0; i + kGroup <= n; i += kGroup) inside += exactlyInside(p + i) ? 1 : 0;
    points += n / kGroup;
}

void sequenceStart(SequenceState &s, int phase) {
    std::memset(&s, 0, sizeof s);
    s.headWant = (kGroup - phase) % kGroup;
}

void sequenceFeed(SequenceState &s, const unsigned char *p, std::size_t n) {
    if (n == 0) return;
    addProducts(s, neighbourProductsWith(chosenOrderKernel(), p, n));
    const std::size_t from = takeEdges(s, p, n);
    const std::size_t whole = (n - from) / kGroup * kGroup;
    monteCarloPointsWith(chosenOrderKernel(), p + from, whole, s.points, s.inside);
    keepRest(s, p, from + whole, n);
}

void sequenceFeedCounting(SequenceState &s, ByteCounters &counters, const unsigned char *p, std::size_t n) {
    // The same look blocks as countBytes, so that each is counted as it
    // would have been.
    while (n > 0) {
        const std::size_t block = n < kLookBlock ? n : kLookBlock;
        if (chosenOrderKernel() == OrderKernel::avx2 && countsWordByWord(p, block)) {
            feedCountingWords(s, counters, p, block);
        } else {
            sequenceFeed(s, p, block);
            countBytes(counters, p, block);
        }
        p += block;
        n -= block;
    }
}

void sequenceJoin(SequenceState &into, const SequenceState &next) {
    if (next.bytes == 0) return;
    if (into.bytes > 0) {
        addProducts(into, std::uint64_t{into.last} * next.first);
    } else {
        into.first = next.first;
    }
    addProducts(into, next.productsLow);
    into.productsHigh += next.productsHigh;
    into.points += next.points;
    into.inside += next.inside;
    into.last = next.last;
    into.bytes += next.bytes;
    // The head completes the point under way. A piece that ends inside its
    // head has nothing more; otherwise its own unfinished point follows
    // (the one under way is complete by then where the pieces meet).
    fillCarry(into, next.head, static_cast<std::size_t>(next.headLength));
    if (next.headLength < next.headWant) return;
    std::memcpy(into.carry, next.carry, sizeof into.carry);
    into.carryLength = next.carryLength;
}

OrderSums sequenceTotals(const SequenceState &s) {
    SequenceState whole = s;
    if (whole.bytes > 0) addProducts(whole, std::uint64_t{whole.last} * whole.first);
    const double products = double(whole.productsHigh) * 18446744073709551616.0 + double(whole.productsLow);
    return OrderSums{products, whole.points, whole.inside};
}
