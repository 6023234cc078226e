// See sequenceSums.h. Where the processor has AVX2, the products of
// neighbours are summed with vector multiply-adds and the Monte-Carlo points
// are judged four at a time by exact integer arithmetic in vector lanes.
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

std::uint64_t portableProducts(const unsigned char *p, std::size_t n) {
    std::uint64_t sum = 0;
    for (std::size_t i = 0; i + 1 < n; ++i) sum += std::uint64_t{p[i]} * p[i + 1];
    return sum;
}

#if SUITE_X86_64_KERNELS
// 32 neighbours at a time, from the 16-bit words of the bytes at i and at
// i + 1: each odd byte p[2k + 1] is the neighbour of both p[2k] and p[2k + 2],
// so its products are p[2k + 1] (p[2k] + p[2k + 2]), one multiply-add of
// 16-bit lanes (the sum at most 510) into 32-bit ones for every pair of odd
// bytes (at most 2 x 255 x 510 a round), which take 4,096 rounds (at most
// 1.07e9 a lane) before they are widened into 64-bit ones.
__attribute__((target("avx2"))) std::uint64_t avx2Products(const unsigned char *p, std::size_t n) {
    const __m256i zero = _mm256_setzero_si256();
    const __m256i lowBytes = _mm256_set1_epi16(0xFF);
    __m256i wide = _mm256_setzero_si256();
    std::size_t i = 0;
    while (i + 33 <= n) {
        __m256i lanes = _mm256_setzero_si256();
        for (int round = 0; round < 4096 && i + 33 <= n; ++round, i += 32) {
            const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p + i));
            const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p + i + 1));
            const __m256i odd = _mm256_srli_epi16(a, 8);
            const __m256i around = _mm256_add_epi16(_mm256_and_si256(a, lowBytes), _mm256_srli_epi16(b, 8));
            lanes = _mm256_add_epi32(lanes, _mm256_madd_epi16(odd, around));
        }
        wide = _mm256_add_epi64(wide, _mm256_unpacklo_epi32(lanes, zero));
        wide = _mm256_add_epi64(wide, _mm256_unpackhi_epi32(lanes, zero));
    }
    std::uint64_t part[4];
    _mm256_storeu_si256(reinterpret_cast<__m256i *>(part), wide);
    return part[0] + part[1] + part[2] + part[3] + portableProducts(p + i, n - i);
}
#else
std::uint64_t avx2Products(const unsigned char *p, std::size_t n) {
    return portableProducts(p, n);
}
#endif

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
// Four points (24 bytes) at a time: the low half of a vector holds bytes 0
// to 15, the high half bytes 8 to 23, and one byte shuffle each puts the
// four x and the four y, big-endian 24-bit numbers, into the low 32 bits of
// 64-bit lanes. Their squares, 32 by 32 bits into 64, sum below 2^49, and a
// 64-bit comparison marks the points past the radius: exact, as the
// one-by-one test is, with no table and no branch.
__attribute__((target("avx2"))) std::uint64_t avx2Outside(const unsigned char *p, std::size_t n) {
    const __m256i pickX = _mm256_setr_epi8(2, 1, 0, -1, -1, -1, -1, -1, 8, 7, 6, -1, -1, -1, -1, -1,  //
                                           6, 5, 4, -1, -1, -1, -1, -1, 12, 11, 10, -1, -1, -1, -1, -1);
    const __m256i pickY = _mm256_setr_epi8(5, 4, 3, -1, -1, -1, -1, -1, 11, 10, 9, -1, -1, -1, -1, -1,  //
                                           9, 8, 7, -1, -1, -1, -1, -1, 15, 14, 13, -1, -1, -1, -1, -1);
    const __m256i limit = _mm256_set1_epi64x(static_cast<long long>(kRadiusSquared));
    __m256i outside = _mm256_setzero_si256();
    for (std::size_t i = 0; i + 4 * kGroup <= n; i += 4 * kGroup) {
        const __m128i low = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + i));
        const __m128i high = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + i + 8));
        const __m256i bytes = _mm256_inserti128_si256(_mm256_castsi128_si256(low), high, 1);
        const __m256i x = _mm256_shuffle_epi8(bytes, pickX);
        const __m256i y = _mm256_shuffle_epi8(bytes, pickY);
        const __m256i sum = _mm256_add_epi64(_mm256_mul_epu32(x, x), _mm256_mul_epu32(y, y));
        // A lane past the radius is all ones: -1 subtracted, 1 counted.
        outside = _mm256_sub_epi64(outside, _mm256_cmpgt_epi64(sum, limit));
    }
    std::uint64_t part[4];
    _mm256_storeu_si256(reinterpret_cast<__m256i *>(part), outside);
    return part[0] + part[1] + part[2] + part[3];
}
#else
std::uint64_t avx2Outside(const unsigned char *, std::size_t) {
    return 0;
}
#endif

void avx2Points(const unsigned char *p, std::size_t n, std::uint64_t &inside) {
    const std::size_t whole = n / (4 * kGroup) * (4 * kGroup);
    inside += whole / kGroup - avx2Outside(p, whole);
    for (std::size_t i = whole; i + kGroup <= n; i += kGroup) inside += exactlyInside(p + i) ? 1 : 0;
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
    if (s.bytes > 0) {
        addProducts(s, std::uint64_t{s.last} * p[0]);
    } else {
        s.first = p[0];
    }
    addProducts(s, neighbourProductsWith(chosenOrderKernel(), p, n));
    s.last = p[n - 1];
    s.bytes += static_cast<std::int64_t>(n);
    std::size_t i = 0;
    while (s.headLength < s.headWant && i < n) s.head[s.headLength++] = p[i++];
    if (s.headLength < s.headWant) return;
    if (s.carryLength > 0) i += fillCarry(s, p + i, n - i);
    if (s.carryLength > 0) return;
    const std::size_t whole = (n - i) / kGroup * kGroup;
    monteCarloPointsWith(chosenOrderKernel(), p + i, whole, s.points, s.inside);
    i += whole;
    s.carryLength = static_cast<int>(n - i);
    std::memcpy(s.carry, p + i, n - i);
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
