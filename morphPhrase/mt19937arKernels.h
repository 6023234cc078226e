// The generator's regeneration and tempering, once per instruction set: the
// generator runs the widest that the processor supports; each is here for
// the tests that check it and the benchmarks that time it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "processors.h"

// Words in the state vector.
constexpr int kMtDegree = 624;

// Replaces the kMtDegree words of v by the next vector of the recurrence.
void mtRegenerate_portable(uint32_t *v);
void mtRegenerate_avx2(uint32_t *v);
void mtRegenerate_avx512(uint32_t *v);

// dst[i] = the tempered form of src[i] for i < n; the arrays do not overlap.
void mtTemper_portable(const uint32_t *src, uint32_t *dst, size_t n);
void mtTemper_avx2(const uint32_t *src, uint32_t *dst, size_t n);
void mtTemper_avx512(const uint32_t *src, uint32_t *dst, size_t n);

// The kernels from the widest, with the instruction set each needs; the
// generator takes the first that the processor runs.
struct MtKernel {
    InstructionSet needs;
    const char *name;
    void (*regenerate)(uint32_t *v);
    void (*temper)(const uint32_t *src, uint32_t *dst, size_t n);
};
constexpr int kMtKernelCount = 3;
extern const MtKernel mtKernels[kMtKernelCount];

// Whether the kernels named "portable", "avx2" or "avx512" run here.
bool mtKernelRuns(const char *name);
