// Byte counting at the processor's limit: several kernels that add the
// occurrences of each of the 256 byte values of a buffer to running totals,
// one of them chosen when the tool starts by what the processor offers and,
// block by block, by a cheap look at the data.
#pragma once

#include <cstddef>
#include <cstdint>

enum class CountKernel {
    multiTable,  // eight interleaved tables of 32-bit counters, any processor
    pairTable,   // one table of 65,536 32-bit counters indexed by byte pairs
    bitPlanes,   // 512 bytes at a time as eight bit planes (AVX-512)
};
constexpr int kCountKernelCount = 3;

// The kernel's name as the benchmark and the tests print it.
const char *countKernelName(CountKernel kernel);
// Whether this processor (and its operating system) can run the kernel.
bool countKernelSupported(CountKernel kernel);

// Adds the `n` bytes at `p` to the counters of `kernel`, which must be
// supported. The counters are 32-bit and are folded into 64-bit totals
// before any of them can overflow; takeByteTotals collects them.
void countBytesWith(CountKernel kernel, const unsigned char *p, std::size_t n);

// The tool's entry: counts with the best kernel for this processor, chosen
// at the first call, and per block by a look at the block's first bytes.
void countBytes(const unsigned char *p, std::size_t n);
// The same look at each block, with `main` in place of the processor's choice
// (the benchmark compares the choices a processor might make).
void countBytesAs(CountKernel main, const unsigned char *p, std::size_t n);
// The kernel that countBytes uses on data that is not one repeated byte
// (nor, on a processor without AVX-512, text-like).
CountKernel chosenCountKernel();

// Adds every count gathered so far to `totals` and starts again from zero.
void takeByteTotals(std::uint64_t totals[256]);
