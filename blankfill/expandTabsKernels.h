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

// A scan for the lines that the filter would change: those that hold a tab
// it expands (any tab, or in leading-only mode a tab among the line's leading
// blanks). It looks at the same windows of marked bytes as the filter and
// converts nothing, one block after another of the same input.
struct TabLineScan {
    bool leadingOnly = false;
    // Called for each such line with its number (from 1), the byte column of
    // its first expanded tab (from 1) and the offset of its first byte.
    void (*found)(uint64_t line, uint64_t column, uint64_t lineStart, void *context) = nullptr;
    void *context = nullptr;
    uint64_t base = 0;       // offset of the next block's first byte
    uint64_t line = 1;       // the line that the next block starts in
    uint64_t lineStart = 0;  // and the offset of its first byte
    bool lineDone = false;   // whether that line was reported already
    bool leading = true;     // whether the next block starts among a line's leading blanks
};

// The kernels read whole windows: a block must have this many readable
// bytes behind it, whatever they hold.
inline constexpr size_t kScanSlack = 64;

// Scans the next block of the input with the kernel the filter uses, or
// with the given kernel, which must run here.
void findTabLines(TabLineScan &scan, const unsigned char *block, size_t length);
void findTabLinesWith(ScanKernel kernel, TabLineScan &scan, const unsigned char *block, size_t length);
