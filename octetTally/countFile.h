// Counting a whole input: read by read on one thread, or, for a large
// regular file, in ranges read with pread on several threads at once, each
// into its own buffer and its own counters, folded once at the end.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

// The most threads one count uses. One thread counts random bytes at about
// 2.6 GB/s; eight together ask more of the memory than a copy from the page
// cache delivers on the machines measured, so more would only wait.
constexpr int kMaxCountThreads = 8;

// A regular file smaller than this is counted on one thread, and each
// further thread is given at least this much of a larger one: starting and
// joining a thread costs about what counting a few hundred KiB does, and
// smaller shares were measured no faster.
constexpr off_t kThreadShare = off_t{4} << 20;

// The ranges of a file that the threads take in turn, and the reads that
// fill each thread's buffer.
constexpr off_t kCountRange = off_t{4} << 20;
constexpr std::size_t kCountRead = std::size_t{128} << 10;

// The processors this process may use: those of its affinity mask, fewer
// where a cgroup quota of processor time allows fewer. At least 1.
int usableProcessors();

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
