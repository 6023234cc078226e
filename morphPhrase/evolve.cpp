// The evolution loop, kept apart from the tool's main so that its tests can
// seed the generator themselves and compare whole runs.
#include "evolve.h"

#include <cassert>

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

}  // namespace

// The hot path: about 27 n H(n) tries. Positions and characters are drawn by
// masking and rejecting, never by division; a found position costs one
// position draw and nothing more.
int64_t evolve(const char *phrase, char *buf, unsigned char *correct, size_t length, int64_t updatePeriod,
               FILE *display) {
    assert(length >= 1 && length <= kMaxPhrase);
    const uint32_t n = uint32_t(length);
    const uint32_t mask = coveringMask(n - 1);
    int64_t tries = 0;
    uint32_t found = 0;
    int64_t sinceDisplay = 0;
    do {
        uint32_t p = 0;
        if (n >= 2) {
            do {
                p = genrand_int32() & mask;
            } while (p >= n);
        }
        if (!correct[p]) {
            uint32_t k;
            do {
                k = genrand_int32() & kCharacterMask;
            } while (k >= kAlphabetSize);
            char c = alphabet[k];
            buf[p] = c;
            if (c == phrase[p]) {
                ++found;
                correct[p] = 1;
                buf[p] = upper(c);
            }
        }
        ++sinceDisplay;
        if (updatePeriod != 0 && sinceDisplay >= updatePeriod) {
            std::fputs(buf, display);
            std::putc('\n', display);
            sinceDisplay = 0;
        }
        ++tries;
    } while (found != n);
    return tries;
}
