// The evolution loop, kept apart from the tool's main so that its tests can
// seed the generator themselves and compare whole runs.
#include "evolve.h"

#include <bit>
#include <cassert>
#include <cstring>
#include <iterator>

#include "mt19937ar.h"
#include "processors.h"

#if SUITE_X86_64_KERNELS
#include <immintrin.h>
#endif

namespace {

const char alphabet[] = "abcdefghijklmnopqrstuvwxyz ";
constexpr uint32_t kAlphabetSize = 27;
constexpr uint32_t kCharacterMask = 31;  // the smallest 2^k - 1 covering 26

char upper(char c) { return (c >= 'a' && c <= 'z') ? char(c - 'a' + 'A') : c; }

// The smallest 2^k - 1 that is at least v.
uint32_t coveringMask(uint32_t v) {
    v |= v >> 1;
    v |= v >> 2;
    v |= v >> 4;
    v |= v >> 8;
    v |= v >> 16;
    return v;
}

// Found positions, one bit each: an eighth of `correct`'s size, so that the
// probe at a random position, which nearly every try makes, hits a cache
// close to the processor. It covers every masked draw, up to the smallest
// 2^k above kMaxPhrase: the positions from n up are marked found, so that a
// rejected draw takes the same path as a found position, without a branch of
// its own to mispredict, and only counts no try. 32-bit words, so that a
// vector gather can fetch one word per draw.
constexpr size_t kBitPositions = size_t(1) << 21;
static_assert(kBitPositions >= kMaxPhrase && kBitPositions / 2 < kMaxPhrase);
uint32_t foundBits[kBitPositions / 32];

bool isFound(uint32_t p) { return (foundBits[p >> 5] >> (p & 31)) & 1u; }
void markFound(uint32_t p) { foundBits[p >> 5] |= uint32_t(1) << (p & 31); }

// Draws come from the generator a few vectors at a time, so that the next
// positions are known early enough to fetch their bits ahead of the probe.
// The words after the block only give the fetch ahead something harmless to
// look at near the block's end.
constexpr size_t kDrawBlock = 4 * 624;
constexpr size_t kPrefetchAhead = 32;
uint32_t draws[kDrawBlock + kPrefetchAhead];

[[gnu::noinline]] void refill() { mt19937ar_words(draws, kDrawBlock); }

void showLine(const char *buf, FILE *display) {
    std::fputs(buf, display);
    std::putc('\n', display);
}

// A one-character phrase draws no positions.
int64_t evolveOne(const char *phrase, char *buf, unsigned char *correct, int64_t updatePeriod, FILE *display) {
    int64_t tries = 0;
    int64_t sinceDisplay = 0;
    bool done;
    do {
        uint32_t k;
        do {
            k = genrand_int32() & kCharacterMask;
        } while (k >= kAlphabetSize);
        char c = alphabet[k];
        buf[0] = c;
        done = c == phrase[0];
        if (done) {
            correct[0] = 1;
            buf[0] = upper(c);
        }
        ++sinceDisplay;
        if (updatePeriod != 0 && sinceDisplay >= updatePeriod) {
            showLine(buf, display);
            sinceDisplay = 0;
        }
        ++tries;
    } while (!done);
    return tries;
}

// Positions from n up to mask are found from the start; the rest are not.
void clearFoundBits(uint32_t n, uint32_t mask) {
    const size_t words = (size_t(mask) + 1 + 31) / 32;
    std::memset(foundBits, 0, words * sizeof foundBits[0]);
    for (uint32_t p = n; p <= mask; ++p) markFound(p);
}

// Draws passed over at once where the loop takes them in groups. A group
// never reaches past the block, nor to the next display line.
constexpr uint32_t kGroup = 16;

// What a kernel learns of kGroup draws, taken as positions: bit i of `wrong`
// is set where draw i falls on a position still wrong, bit i of `inPhrase`
// where it falls inside the phrase (a rejected draw counts no try).
struct Group {
    uint32_t wrong;
    uint32_t inPhrase;
};

// Lane by lane, without a branch.
struct PortableGroups {
    static Group check(const uint32_t *group, uint32_t mask, uint32_t n) {
        Group g{0, 0};
        for (uint32_t i = 0; i < kGroup; ++i) {
            const uint32_t p = group[i] & mask;
            g.wrong |= uint32_t(!isFound(p)) << i;
            g.inPhrase |= uint32_t(p < n) << i;
        }
        return g;
    }
};

// The processor guard: on x86-64 the found bits of a group are gathered,
// eight words a vector with AVX2, sixteen with AVX-512 (bit p of the table
// is bit p % 32 of word p / 32 on every processor). Positions stay below
// 2^21, so signed and unsigned comparisons agree.
#if SUITE_X86_64_KERNELS
#define AVX2_TARGET gnu::target("avx2")
#define AVX512_TARGET gnu::target("avx512f")
typedef uint32_t Lanes8 __attribute__((vector_size(32)));
typedef int32_t SignedLanes8 __attribute__((vector_size(32)));
typedef uint32_t Lanes16 __attribute__((vector_size(64)));

struct Avx2Groups {
    // Bit i set where lane i of the eight draws is wrong, of `inPhrase` where
    // it is inside the phrase.
    [[AVX2_TARGET]] static uint32_t half(const uint32_t *group, uint32_t mask, uint32_t n,
                                         uint32_t &inPhrase) {
        Lanes8 p;
        std::memcpy(&p, group, sizeof p);
        p &= mask;
        const Lanes8 words = Lanes8(_mm256_i32gather_epi32(reinterpret_cast<const int *>(foundBits),
                                                           __m256i(p >> 5), 4));
        const Lanes8 found = (words >> (p & 31)) << 31;
        inPhrase = uint32_t(_mm256_movemask_ps(__m256(SignedLanes8(p) < SignedLanes8(Lanes8{} + n))));
        return ~uint32_t(_mm256_movemask_ps(__m256(found))) & 0xFFu;
    }
    [[AVX2_TARGET]] static Group check(const uint32_t *group, uint32_t mask, uint32_t n) {
        uint32_t low, high;
        Group g;
        g.wrong = half(group, mask, n, low);
        g.wrong |= half(group + 8, mask, n, high) << 8;
        g.inPhrase = low | high << 8;
        return g;
    }
};

struct Avx512Groups {
    [[AVX512_TARGET]] static Group check(const uint32_t *group, uint32_t mask, uint32_t n) {
        Lanes16 p;
        std::memcpy(&p, group, sizeof p);
        p &= mask;
        const Lanes16 words =
            Lanes16(_mm512_mask_i32gather_epi32(_mm512_setzero_si512(), 0xFFFF, __m512i(p >> 5), foundBits, 4));
        const Lanes16 one = Lanes16{} + 1u;
        Group g;
        g.wrong = _mm512_testn_epi32_mask(__m512i(words >> (p & 31)), __m512i(one));
        g.inPhrase = _mm512_cmplt_epu32_mask(__m512i(p), __m512i(Lanes16{} + n));
        return g;
    }
};
#endif

// The groups of a block, checked as soon as it is drawn, as if every draw
// were a position draw: bit i of word w stands for draw 32w + i. Checked all
// at once, the probes overlap each other, where a group checked only once
// the previous one is known would wait for its bits first. A bit says
// "wrong" also for a position found later in the same block, so a wrong
// draw is checked again before it is tried; a found one stays found. The
// word after the last lets a group near the block's end be read whole.
constexpr size_t kMaskWords = kDrawBlock / 32;
static_assert(kDrawBlock % 32 == 0 && kGroup == 16);
uint32_t wrongMasks[kMaskWords + 1];
uint32_t inPhraseMasks[kMaskWords + 1];

template <class Kernel>
inline void checkGroups(uint32_t mask, uint32_t n) {
    for (size_t w = 0; w < kMaskWords; ++w) {
        const Group low = Kernel::check(draws + 32 * w, mask, n);
        const Group high = Kernel::check(draws + 32 * w + 16, mask, n);
        wrongMasks[w] = low.wrong | high.wrong << 16;
        inPhraseMasks[w] = low.inPhrase | high.inPhrase << 16;
    }
}

// The phrase character and the line character of each draw of the block
// that falls on a wrong position are fetched while the loop gets there:
// both arrays are megabytes, and a wrong try that waits for them costs
// more than all the found draws around it.
void prefetchWrong(const char *phrase, const char *buf, uint32_t mask) {
    for (size_t w = 0; w < kMaskWords; ++w) {
        for (uint32_t wrong = wrongMasks[w]; wrong != 0; wrong &= wrong - 1) {
            const uint32_t p = draws[32 * w + uint32_t(std::countr_zero(wrong))] & mask;
            __builtin_prefetch(phrase + p);
            __builtin_prefetch(buf + p, 1);
        }
    }
}

// The kGroup bits of the draws from `at` on.
uint32_t groupAt(const uint32_t *masks, size_t at) {
    const uint64_t pair = masks[at / 32] | uint64_t(masks[at / 32 + 1]) << 32;
    return uint32_t(pair >> (at % 32)) & 0xFFFFu;
}

// Each kernel's block check is compiled whole for its instruction set.
[[gnu::noinline]] void checkBlock_portable(uint32_t mask, uint32_t n) { checkGroups<PortableGroups>(mask, n); }

#if SUITE_X86_64_KERNELS
[[AVX2_TARGET, gnu::flatten, gnu::noinline]] void checkBlock_avx2(uint32_t mask, uint32_t n) {
    checkGroups<Avx2Groups>(mask, n);
}

[[AVX512_TARGET, gnu::flatten, gnu::noinline]] void checkBlock_avx512(uint32_t mask, uint32_t n) {
    checkGroups<Avx512Groups>(mask, n);
}
#endif

// The hot path: about 27 n H(n) tries, n >= 2. Positions and characters are
// drawn by masking and rejecting, never by division. The draws are taken in
// the generator's order whatever is done with them, so for a given seed the
// tries and every display line are those of drawing one at a time.
//
// Most tries fall on found positions, and one at a time each costs a probe
// and a branch that the wrong ones make hard to predict. So while a whole
// group fits in the block and more than kGroup tries are left before the
// next display line (a group then cannot reach it), the loop reads the block
// check's bits of the next kGroup draws: if none is wrong they only count as
// tries; otherwise the draws before the first wrong one do, and that one is
// checked again and tried with its character draws, before grouping resumes
// after them. Near the block's end and the next display line the draws go
// one at a time.
template <void (*checkBlock)(uint32_t mask, uint32_t n)>
int64_t evolveLoop(const char *phrase, char *buf, unsigned char *correct, uint32_t n, int64_t updatePeriod,
                   FILE *display) {
    const uint32_t mask = coveringMask(n - 1);
    clearFoundBits(n, mask);
    int64_t tries = 0;
    uint32_t found = 0;
    // Tries left until the next display line; with no display, more than any
    // run makes.
    const int64_t period = updatePeriod != 0 ? updatePeriod : INT64_MAX;
    int64_t untilDisplay = period;
    // A try at position p, still wrong: its character draws, which may run
    // into the next block. True once the phrase is complete, after the last
    // display line that is due.
    auto drawCharacter = [&](uint32_t p, size_t &at) {
        uint32_t k;
        do {
            if (at == kDrawBlock) [[unlikely]] {
                refill();
                checkBlock(mask, n);
                prefetchWrong(phrase, buf, mask);
                at = 0;
            }
            k = draws[at++] & kCharacterMask;
        } while (k >= kAlphabetSize);
        char c = alphabet[k];
        if (c == phrase[p]) {
            markFound(p);
            correct[p] = 1;
            c = upper(c);
            if (++found == n) [[unlikely]] {
                buf[p] = c;
                if (--untilDisplay == 0 && updatePeriod != 0) showLine(buf, display);
                return true;
            }
        }
        buf[p] = c;
        return false;
    };
    // The index of the next draw stays in a register: a draw is a load, and
    // the block's end is the inner loop's test.
    for (;;) {
        refill();
        checkBlock(mask, n);
        prefetchWrong(phrase, buf, mask);
        for (size_t at = 0; at < kDrawBlock;) {
            if (at + kGroup <= kDrawBlock && untilDisplay > kGroup) {
                const uint32_t wrong = groupAt(wrongMasks, at);
                const uint32_t inPhrase = groupAt(inPhraseMasks, at);
                if (wrong == 0) {
                    const int counted = std::popcount(inPhrase);
                    tries += counted;
                    untilDisplay -= counted;
                    at += kGroup;
                    continue;
                }
                const uint32_t passed = uint32_t(std::countr_zero(wrong));
                const int counted = std::popcount(inPhrase & ((uint32_t(1) << passed) - 1));
                tries += counted;
                untilDisplay -= counted;
                at += passed;
                // The first draw that was wrong is inside the phrase; fewer
                // than kGroup tries are counted, so no display line is due.
                const uint32_t p = draws[at++] & mask;
                if (!isFound(p) && drawCharacter(p, at)) return tries + 1;
                ++tries;
                --untilDisplay;
                continue;
            }
            // Two stages ahead: the bit of a draw kPrefetchAhead on, and the
            // phrase character of one half as far on if its bit (fetched by
            // then) says it is still wrong, else a line that is hot anyway.
            __builtin_prefetch(&foundBits[(draws[at + kPrefetchAhead] & mask) >> 5]);
            const uint32_t ahead = draws[at + kPrefetchAhead / 2] & mask;
            __builtin_prefetch(phrase + (isFound(ahead) ? 0 : ahead));

            const uint32_t p = draws[at++] & mask;
            const uint32_t isTry = p < n;
            if (!isFound(p) && drawCharacter(p, at)) return tries + 1;
            tries += isTry;
            untilDisplay -= isTry;
            if (untilDisplay == 0) [[unlikely]] {
                if (updatePeriod != 0) showLine(buf, display);
                untilDisplay = period;
            }
        }
    }
}

#if SUITE_X86_64_KERNELS
// The loop of each wide kernel is compiled whole for its instruction set:
// counting the tries of a group is then one instruction, not a call.
[[AVX2_TARGET, gnu::target("popcnt,bmi"), gnu::flatten]] int64_t evolve_avx2(
    const char *phrase, char *buf, unsigned char *correct, uint32_t n, int64_t updatePeriod, FILE *display) {
    return evolveLoop<checkBlock_avx2>(phrase, buf, correct, n, updatePeriod, display);
}

[[AVX512_TARGET, gnu::target("popcnt,bmi"), gnu::flatten]] int64_t evolve_avx512(
    const char *phrase, char *buf, unsigned char *correct, uint32_t n, int64_t updatePeriod, FILE *display) {
    return evolveLoop<checkBlock_avx512>(phrase, buf, correct, n, updatePeriod, display);
}
#else
// A build without x86-64 kernels names the wide kernels all the same, as the
// portable loop; processorRuns never lets them run.
constexpr auto evolve_avx2 = evolveLoop<checkBlock_portable>;
constexpr auto evolve_avx512 = evolveLoop<checkBlock_portable>;
#endif

// The kernels from the widest. Each needs the instruction set of the
// generator's kernel of the same name (mt19937arKernels.h), so that the loop
// runs where the generator's kernel runs.
struct EvolveKernelEntry {
    InstructionSet needs;
    EvolveKernel kernel;
    const char *name;
    int64_t (*loop)(const char *phrase, char *buf, unsigned char *correct, uint32_t n, int64_t updatePeriod,
                    FILE *display);
};
constexpr EvolveKernelEntry evolveKernels[] = {
    {InstructionSet::avx512f, EvolveKernel::avx512, "avx512", evolve_avx512},
    {InstructionSet::avx2, EvolveKernel::avx2, "avx2", evolve_avx2},
    {InstructionSet::portable, EvolveKernel::portable, "portable", evolveLoop<checkBlock_portable>},
};
static_assert(std::size(evolveKernels) == kEvolveKernelCount);

}  // namespace

const char *evolveKernelName(EvolveKernel kernel) {
    const EvolveKernelEntry *entry = entryOf(evolveKernels, kernel);
    return entry != nullptr ? entry->name : "portable";
}

bool evolveKernelRuns(EvolveKernel kernel) {
    const EvolveKernelEntry *entry = entryOf(evolveKernels, kernel);
    return entry != nullptr && processorRuns(entry->needs);
}

EvolveKernel evolveKernel() { return firstThatRuns(evolveKernels).kernel; }

int64_t evolveWith(EvolveKernel kernel, const char *phrase, char *buf, unsigned char *correct, size_t length,
                   int64_t updatePeriod, FILE *display) {
    assert(length >= 1 && length <= kMaxPhrase);
    assert(evolveKernelRuns(kernel));
    if (length == 1) return evolveOne(phrase, buf, correct, updatePeriod, display);
    return entryOf(evolveKernels, kernel)->loop(phrase, buf, correct, uint32_t(length), updatePeriod, display);
}

int64_t evolve(const char *phrase, char *buf, unsigned char *correct, size_t length, int64_t updatePeriod,
               FILE *display) {
    static const EvolveKernel chosen = evolveKernel();
    return evolveWith(chosen, phrase, buf, correct, length, updatePeriod, display);
}
