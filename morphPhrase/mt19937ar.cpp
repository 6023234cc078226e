// MT19937 generator. Every seed gives the published reference's sequence;
// all arithmetic on state words is modulo 2^32.
#include "mt19937ar.h"

#include <cassert>
#include <cerrno>
#include <cstring>

char RCS_ID_MT19937AR[] = "$Id: mt19937ar.c,v 1.6 2020-07-08 15:40:02-04 devteam Exp $";

namespace {

constexpr int N = 624;
constexpr int M = 397;
constexpr uint32_t MATRIX_A = 0x9908B0DFu;
constexpr uint32_t UPPER_MASK = 0x80000000u;
constexpr uint32_t LOWER_MASK = 0x7FFFFFFFu;
constexpr uint32_t DEFAULT_SEED = 5489u;

uint32_t mt[N];
int mti = N + 1;  // N + 1: never seeded
const uint32_t mag01[2] = {0u, MATRIX_A};

// One pass over the whole vector; afterwards all N words are ready. An
// unseeded generator is first seeded with the default seed. Kept out of line
// so that a draw, which needs it once in N times, stays small enough to
// inline into a caller's loop.
[[gnu::noinline]] void regenerate() {
    if (mti == N + 1) init_genrand(DEFAULT_SEED);
    int kk = 0;
    uint32_t y;
    for (; kk < N - M; ++kk) {
        y = (mt[kk] & UPPER_MASK) | (mt[kk + 1] & LOWER_MASK);
        mt[kk] = mt[kk + M] ^ (y >> 1) ^ mag01[y & 0x1u];
    }
    for (; kk < N - 1; ++kk) {
        y = (mt[kk] & UPPER_MASK) | (mt[kk + 1] & LOWER_MASK);
        mt[kk] = mt[kk + (M - N)] ^ (y >> 1) ^ mag01[y & 0x1u];
    }
    y = (mt[N - 1] & UPPER_MASK) | (mt[0] & LOWER_MASK);
    mt[N - 1] = mt[M - 1] ^ (y >> 1) ^ mag01[y & 0x1u];
    mti = 0;
}

}  // namespace

void init_genrand(uint32_t s) {
    mt[0] = s;
    for (mti = 1; mti < N; ++mti) {
        uint32_t prev = mt[mti - 1];
        mt[mti] = 1812433253u * (prev ^ (prev >> 30)) + uint32_t(mti);
    }
}

void init_by_array(const uint32_t init_key[], int key_length) {
    assert(key_length >= 1);
    init_genrand(19650218u);
    int i = 1, j = 0;
    for (int k = (N > key_length ? N : key_length); k; --k) {
        uint32_t prev = mt[i - 1];
        mt[i] = (mt[i] ^ ((prev ^ (prev >> 30)) * 1664525u)) + init_key[j] + uint32_t(j);
        ++i;
        ++j;
        if (i >= N) {
            mt[0] = mt[N - 1];
            i = 1;
        }
        if (j >= key_length) j = 0;
    }
    for (int k = N - 1; k; --k) {
        uint32_t prev = mt[i - 1];
        mt[i] = (mt[i] ^ ((prev ^ (prev >> 30)) * 1566083941u)) - uint32_t(i);
        ++i;
        if (i >= N) {
            mt[0] = mt[N - 1];
            i = 1;
        }
    }
    mt[0] = 0x80000000u;  // the most significant bit is set: a non-zero vector
}

uint32_t genrand_int32() {
    if (mti >= N) [[unlikely]] regenerate();
    uint32_t y = mt[mti++];
    y ^= (y >> 11);
    y ^= (y << 7) & 0x9D2C5680u;
    y ^= (y << 15) & 0xEFC60000u;
    y ^= (y >> 18);
    return y;
}

uint32_t genrand_int31() { return genrand_int32() >> 1; }

double genrand_real1() { return genrand_int32() * (1.0 / 4294967295.0); }

double genrand_real2() { return genrand_int32() * (1.0 / 4294967296.0); }

double genrand_real3() { return (double(genrand_int32()) + 0.5) * (1.0 / 4294967296.0); }

double genrand_res53() {
    uint32_t a = genrand_int32() >> 5;
    uint32_t b = genrand_int32() >> 6;
    return (a * 67108864.0 + b) * (1.0 / 9007199254740992.0);
}

int mt19937ar_bytes(void *dst, size_t n) {
    if (dst == nullptr) {
        errno = EINVAL;
        return -1;
    }
    uint8_t *out = static_cast<uint8_t *>(dst);
    while (n > 0) {
        uint32_t w = genrand_int32();
        uint8_t bytes[4] = {uint8_t(w), uint8_t(w >> 8), uint8_t(w >> 16), uint8_t(w >> 24)};
        size_t take = n < 4 ? n : 4;
        std::memcpy(out, bytes, take);
        out += take;
        n -= take;
    }
    return 0;
}
