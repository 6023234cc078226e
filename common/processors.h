// The processors a tool runs on: which of the instruction sets that the
// suite's kernels use this processor runs, and how many processors this
// process may use. The only place that asks the processor or the system
// about either; each call that only some systems have sits in
// processors.cpp beside its POSIX fallback.
#pragma once

#include <cstddef>

// The one guard of the processor-specific kernels. SUITE_X86_64_KERNELS is 1
// where this build can carry x86-64 vector kernels, chosen at run time by
// processorRuns; elsewhere it is 0 and every tool builds its portable kernels
// alone. Code behind the guard may use target attributes and intrinsics;
// code outside it uses neither.
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define SUITE_X86_64_KERNELS 1
#else
#define SUITE_X86_64_KERNELS 0
#endif

// The instruction sets that some kernel needs. On a build without x86-64
// kernels every set but portable is one the processor does not run.
enum class InstructionSet {
    portable,            // plain C++, on any processor
    sse2,                // 16-byte vectors, on every x86-64
    avx2,                // 32-byte vectors
    avx512f,             // 64-byte vectors, the AVX-512 foundation
    avx512bw,            // AVX-512 with byte and word lanes
    avx512PopcountGfni,  // AVX-512 foundation and byte lanes, population counts of
                         // 64-bit lanes (VPOPCNTDQ) and Galois-field affine steps (GFNI)
};

// Whether this processor, and its operating system, run the instruction set.
// The processor is asked once, at the first call.
bool processorRuns(InstructionSet set);

// A module's kernels are a table of entries, ordered from the best, each
// with the instruction set it `needs`, its `kernel` and the `name` that the
// tests and benchmarks print; the last entry needs only the portable set.
// The entry that the module takes: the first that the processor runs.
template <class Entry, std::size_t N>
const Entry &firstThatRuns(const Entry (&table)[N]) {
    for (const Entry &entry : table) {
        if (processorRuns(entry.needs)) return entry;
    }
    return table[N - 1];
}

// The entry of `kernel`, for a test or benchmark that names its own; null
// for a kernel the table does not hold.
template <class Entry, std::size_t N, class Kernel>
const Entry *entryOf(const Entry (&table)[N], Kernel kernel) {
    for (const Entry &entry : table) {
        if (entry.kernel == kernel) return &entry;
    }
    return nullptr;
}

// The processors of this process's affinity mask; 0 where the system cannot
// tell.
int affinityProcessorCount();
// The processors online, at least 1.
int onlineProcessorCount();
