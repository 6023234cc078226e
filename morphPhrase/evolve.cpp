// The evolution loop, kept apart from the tool's main so that its tests can
// seed the generator themselves and compare whole runs.
#include "evolve.h"

#include <cassert>
#include <cstring>

#include "mt19937ar.h"

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
// its own to mispredict, and only counts no try.
constexpr size_t kBitPositions = size_t(1) << 21;
static_assert(kBitPositions >= kMaxPhrase && kBitPositions / 2 < kMaxPhrase);
uint64_t foundBits[kBitPositions / 64];

bool isFound(uint32_t p) { return (foundBits[p >> 6] >> (p & 63)) & 1u; }

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

}  // namespace

// The hot path: about 27 n H(n) tries. Positions and characters are drawn by
// masking and rejecting, never by division; a found position costs one
// position draw and a bit probe, nothing more. The draws are taken in the
// generator's order whatever is done with them, so for a given seed the tries
// and every display line are those of drawing one at a time.
int64_t evolve(const char *phrase, char *buf, unsigned char *correct, size_t length, int64_t updatePeriod,
               FILE *display) {
    assert(length >= 1 && length <= kMaxPhrase);
    if (length == 1) return evolveOne(phrase, buf, correct, updatePeriod, display);
    const uint32_t n = uint32_t(length);
    const uint32_t mask = coveringMask(n - 1);
    // Bits 0 to n - 1 clear, n to mask set.
    const size_t words = (size_t(mask) + 1 + 63) / 64;
    std::memset(foundBits, 0, words * sizeof foundBits[0]);
    for (uint32_t p = n; p <= mask; ++p) foundBits[p >> 6] |= uint64_t(1) << (p & 63);
    int64_t tries = 0;
    uint32_t found = 0;
    // Tries left until the next display line; with no display, more than any
    // run makes.
    const int64_t period = updatePeriod != 0 ? updatePeriod : INT64_MAX;
    int64_t untilDisplay = period;
    // The index of the next draw stays in a register: a draw is a load, and
    // the block's end is the inner loop's test.
    for (;;) {
        refill();
        for (size_t at = 0; at < kDrawBlock;) {
            // Two stages ahead: the bit of a draw kPrefetchAhead on, and the
            // phrase character of one half as far on if its bit (fetched by
            // then) says it is still wrong, else a line that is hot anyway.
            __builtin_prefetch(&foundBits[(draws[at + kPrefetchAhead] & mask) >> 6]);
            const uint32_t ahead = draws[at + kPrefetchAhead / 2] & mask;
            __builtin_prefetch(phrase + (isFound(ahead) ? 0 : ahead));

            const uint32_t p = draws[at++] & mask;
            const uint32_t isTry = p < n;
            if (!isFound(p)) {
                uint32_t k;
                do {
                    if (at == kDrawBlock) [[unlikely]] {
                        refill();
                        at = 0;
                    }
                    k = draws[at++] & kCharacterMask;
                } while (k >= kAlphabetSize);
                char c = alphabet[k];
                if (c == phrase[p]) {
                    foundBits[p >> 6] |= uint64_t(1) << (p & 63);
                    correct[p] = 1;
                    c = upper(c);
                    if (++found == n) [[unlikely]] {
                        buf[p] = c;
                        if (--untilDisplay == 0 && updatePeriod != 0) showLine(buf, display);
                        return tries + 1;
                    }
                }
                buf[p] = c;
            }
            tries += isTry;
            untilDisplay -= isTry;
            if (untilDisplay == 0) [[unlikely]] {
                if (updatePeriod != 0) showLine(buf, display);
                untilDisplay = period;
            }
        }
    }
}
