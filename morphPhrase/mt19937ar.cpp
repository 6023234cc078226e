// MT19937 generator. Every seed gives the published reference's sequence;
// all arithmetic on state words is modulo 2^32.
#include "mt19937ar.h"
#include "mt19937arKernels.h"
#include "processors.h"

#include <cassert>
#include <cerrno>
#include <cstring>

char RCS_ID_MT19937AR[] = "$Id: mt19937ar.c,v 1.6 2020-07-08 15:40:02-04 devteam Exp $";

namespace {

// The reference's own parameter names: the degree N and the middle word M.
constexpr int N = kMtDegree;
constexpr int M = 397;
constexpr uint32_t kMatrixA = 0x9908B0DFu;
constexpr uint32_t kUpperMask = 0x80000000u;
constexpr uint32_t kLowerMask = 0x7FFFFFFFu;
constexpr uint32_t kDefaultSeed = 5489u;

uint32_t mt[N];
int mti = N + 1;  // N + 1: never seeded

// One step of the recurrence: the word that replaces x, from x, its successor
// and the word M places on. (0 - (y & 1)) & kMatrixA is the reference's
// table lookup mag01[y & 1], written so that it vectorises.
[[gnu::always_inline]] inline uint32_t twist(uint32_t x, uint32_t next, uint32_t far) {
    uint32_t y = (x & kUpperMask) | (next & kLowerMask);
    return far ^ (y >> 1) ^ ((0u - (y & 1u)) & kMatrixA);
}

// The recurrence over the whole vector, in three stretches so that no loop
// reads a word that the same loop writes: the first N - M words take their
// far word from the old vector, the next N - M from the first stretch's new
// words, the rest from the second stretch's (N - M = 227 > N / 3), and the
// last word wraps around to the new word 0.
[[gnu::always_inline]] inline void regenerateBody(uint32_t *__restrict v) {
    static_assert(3 * (N - M) >= N - 1);
    for (int kk = 0; kk < N - M; ++kk) v[kk] = twist(v[kk], v[kk + 1], v[kk + M]);
    for (int kk = N - M; kk < 2 * (N - M); ++kk) v[kk] = twist(v[kk], v[kk + 1], v[kk + (M - N)]);
    for (int kk = 2 * (N - M); kk < N - 1; ++kk) v[kk] = twist(v[kk], v[kk + 1], v[kk + (M - N)]);
    v[N - 1] = twist(v[N - 1], v[0], v[M - 1]);
}

[[gnu::always_inline]] inline uint32_t temper(uint32_t y) {
    y ^= (y >> 11);
    y ^= (y << 7) & 0x9D2C5680u;
    y ^= (y << 15) & 0xEFC60000u;
    y ^= (y >> 18);
    return y;
}

[[gnu::always_inline]] inline void temperBody(const uint32_t *__restrict src, uint32_t *__restrict dst, size_t n) {
    for (size_t i = 0; i < n; ++i) dst[i] = temper(src[i]);
}

// The processor guard: on x86-64 the wider kernels are the same loops
// compiled for AVX2 and AVX-512 and chosen by the processor's features;
// elsewhere they are the portable loop under their own names and never run.
#if SUITE_X86_64_KERNELS
#define MT_TARGET(isa) [[gnu::target(isa)]]
#else
#define MT_TARGET(isa)
#endif

// The widest kernels this processor runs, chosen on first use.
void (*regenerateKernel)(uint32_t *) = nullptr;
void (*temperKernel)(const uint32_t *, uint32_t *, size_t) = nullptr;

void chooseKernels() {
    const MtKernel &chosen = firstThatRuns(mtKernels);
    regenerateKernel = chosen.regenerate;
    temperKernel = chosen.temper;
}

// One pass over the whole vector; afterwards all N words are ready. An
// unseeded generator is first seeded with the default seed. Kept out of line
// so that a draw, which needs it once in N times, stays small enough to
// inline into a caller's loop.
[[gnu::noinline]] void regenerate() {
    if (mti == N + 1) init_genrand(kDefaultSeed);
    if (regenerateKernel == nullptr) chooseKernels();
    regenerateKernel(mt);
    mti = 0;
}

}  // namespace

void mtRegenerate_portable(uint32_t *v) { regenerateBody(v); }
MT_TARGET("avx2") void mtRegenerate_avx2(uint32_t *v) { regenerateBody(v); }
MT_TARGET("avx512f") void mtRegenerate_avx512(uint32_t *v) { regenerateBody(v); }

void mtTemper_portable(const uint32_t *src, uint32_t *dst, size_t n) { temperBody(src, dst, n); }
MT_TARGET("avx2") void mtTemper_avx2(const uint32_t *src, uint32_t *dst, size_t n) {
    temperBody(src, dst, n);
}
MT_TARGET("avx512f") void mtTemper_avx512(const uint32_t *src, uint32_t *dst, size_t n) {
    temperBody(src, dst, n);
}

const MtKernel mtKernels[kMtKernelCount] = {
    {InstructionSet::avx512f, "avx512", mtRegenerate_avx512, mtTemper_avx512},
    {InstructionSet::avx2, "avx2", mtRegenerate_avx2, mtTemper_avx2},
    {InstructionSet::portable, "portable", mtRegenerate_portable, mtTemper_portable},
};

bool mtKernelRuns(const char *name) {
    for (const MtKernel &kernel : mtKernels) {
        if (std::strcmp(kernel.name, name) == 0) return processorRuns(kernel.needs);
    }
    return false;
}

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
    return temper(mt[mti++]);
}

void mt19937ar_words(uint32_t *dst, size_t n) {
    while (n > 0) {
        if (mti >= N) regenerate();
        size_t take = size_t(N - mti) < n ? size_t(N - mti) : n;
        temperKernel(mt + mti, dst, take);
        mti += int(take);
        dst += take;
        n -= take;
    }
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
