// The filter's scanning kernels, one for each instruction set that it can
// use. The filter picks one at start-up; its tests run the whole filter with
// each kernel that the processor supports, against a plain model.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

// The bytes taken from a regular file at a time, and the output handed to the
// stream at a time. A pipe's block is what one read returns, up to this size.
inline constexpr size_t kBlockSize = 262144;

enum class ScanKernel {
    portable,  // eight bytes a step in a 64-bit word, on any processor
    sse2,      // 16-byte vectors, on every x86-64
    avx2,      // 32-byte vectors
    avx512bw,  // 64-byte vectors with byte masks
};

inline constexpr ScanKernel allScanKernels[] = {ScanKernel::portable, ScanKernel::sse2, ScanKernel::avx2,
                                                ScanKernel::avx512bw};

const char *scanKernelName(ScanKernel kernel);

// Whether this build holds the kernel and this processor can run it.
bool scanKernelRuns(ScanKernel kernel);

// The kernel that the filter uses on this processor.
ScanKernel chosenScanKernel();

// The filter of expandTabs.h with the given kernel, which must run here.
int expandTabsWith(ScanKernel kernel, FILE *in, int64_t spacing, int leadingOnly, FILE *out);
