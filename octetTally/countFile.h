// Counting a whole input: read by read on one thread, or, for a large
// regular file, in ranges read with pread on several threads at once, each
// into its own buffer and its own counters, folded once at the end.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

#include "processorQuota.h"  // usableProcessors, which countThreadsFor asks

// The most threads one count uses. A thread reads and counts random bytes
// at 3 to 6 GB/s, and the copies out of the page cache are what bounds
// several: on the 2-processor machine measured, two copies at once moved
// 1.5 times what one did. Eight threads ask for 25 to 50 GB/s of such
// copies, about what a large machine's memory gives; more would wait on it
// and only add their buffers.
constexpr int kMaxCountThreads = 8;

// Each thread is given at least this much of a file, so that a file below
// twice this is counted on one. Starting a thread costs little, but on the
// virtual machines measured the second processor, idle until then, often
// took milliseconds to start it: from 8 to 32 MiB two threads were as fast
// as one, at 64 MiB they took 0.80 of its time (at 256 MiB 0.50).
constexpr off_t kThreadShare = off_t{16} << 20;

// The ranges of a file that the threads take in turn, and the reads that
// fill each thread's buffer.
constexpr off_t kCountRange = off_t{4} << 20;
constexpr std::size_t kCountRead = std::size_t{128} << 10;

// The threads that count a regular file of `size` bytes: one per share,
// no more than usableProcessors() and kMaxCountThreads.
int countThreadsFor(off_t size);

// Counts every byte of the open input `fd` into `totals` (added to it) and
// `*bytes`. With `threads` at 1 it reads on from the descriptor's offset
// until the end of input, as it would a pipe or a terminal. With more (up to
// kMaxCountThreads) `fd` must be a regular file: its size is split into
// ranges read with pread by that many threads, then whatever the file grew
// by is read after them; a file that shrinks ends where its reads find its
// end. Returns 0, or the errno of the failed read (of the first range that
// failed), in which case the counts are incomplete.
int countInputBytes(int fd, int threads, std::uint64_t totals[256], std::int64_t *bytes);

struct AnalysisPlan;

// A part of an input: from `offset` bytes on, at most `length` bytes (-1:
// to the end), and what is analysed beside the counts (null: nothing).
struct CountPart {
    std::int64_t offset;
    std::int64_t length;
    const AnalysisPlan *analysis;
};

// countInputBytes for a part of the input. With one thread the offset is
// sought from the descriptor's position, or read past where the input
// cannot seek; with more, the ranges run from `offset` to the end of the
// part or of the file as it is now (nothing the file grows by is read
// when a length is given or the input is analysed). An offset past the end
// counts nothing.
int countInputPart(int fd, int threads, const CountPart &part, std::uint64_t totals[256], std::int64_t *bytes);
