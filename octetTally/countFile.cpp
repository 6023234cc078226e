// See countFile.h. The threads take the file's ranges in order from one
// shared next-range number, so that a thread slowed by other work on the
// machine takes fewer of them instead of holding up the rest. Not a mapping
// of the file: a file that another process truncated under it would end the
// tool with a bus error, where a read simply finds the file's end.
#include "countFile.h"

#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cassert>
#include <cerrno>

#include "countBytes.h"
#include "processorQuota.h"
#include "inputAnalysis.h"
#include "processors.h"

namespace {

// Reads of 128 KiB were measured faster than reads of 1 MiB, on a whole
// file as on a short one: the block is still in the L2 cache when it is
// counted, and a buffer a count touches for the first time costs a page
// fault per page (2.7 ms for 1 MiB on a virtual machine measured). Reads of
// 64 KiB cost more calls for nothing.
constexpr std::size_t kBufferSize = kCountRead;
// The ranges are small enough to even out threads that run at different
// speeds (a processor shared with other work), large enough that taking
// one costs nothing.
constexpr off_t kRangeSize = kCountRange;

ByteCounters threadCounters[kMaxCountThreads];
alignas(64) unsigned char threadBuffers[kMaxCountThreads][kBufferSize];

// What the threads of one count share.
struct SharedCount {
    int fd;
    off_t begin;      // where the first range begins
    off_t size;       // where the last ends
    off_t rangeSize;
    bool analyse;
    std::int64_t ranges;
    std::atomic<std::int64_t> nextRange;
    std::atomic<bool> failed;  // some range failed: take no more
};

// What one thread owns: its counters and buffer are those of its index.
struct ThreadCount {
    SharedCount *shared;
    int index;
    std::int64_t bytes;
    std::int64_t failedRange;  // the range whose read failed, or -1
    int error;
};
ThreadCount threads[kMaxCountThreads];

// Whether the count under way is analysed (see inputAnalysis.h).
bool analysing;

void countBlock(ThreadCount &t, std::size_t n) {
    if (analysing) {
        analysisCount(t.index, threadCounters[t.index], threadBuffers[t.index], n);
    } else {
        countBytes(threadCounters[t.index], threadBuffers[t.index], n);
    }
    t.bytes += static_cast<std::int64_t>(n);
}

// One range, read until its end or the file's. Returns 0 or errno.
int countRange(ThreadCount &t, off_t at, off_t end) {
    while (at < end) {
        const off_t left = end - at;
        const std::size_t want = left < static_cast<off_t>(kBufferSize) ? static_cast<std::size_t>(left) : kBufferSize;
        const ssize_t got = pread(t.shared->fd, threadBuffers[t.index], want, at);
        if (got < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        // The file is shorter than it was: another process cut it.
        if (got == 0) return 0;
        countBlock(t, static_cast<std::size_t>(got));
        at += got;
    }
    return 0;
}

void *countRanges(void *arg) {
    ThreadCount &t = *static_cast<ThreadCount *>(arg);
    SharedCount &s = *t.shared;
    for (;;) {
        // Ranges are taken in order, so every range before a failed one has
        // been taken, and is finished, by the time the threads are joined.
        const std::int64_t range = s.nextRange.fetch_add(1, std::memory_order_relaxed);
        if (range >= s.ranges || s.failed.load(std::memory_order_relaxed)) break;
        if (s.analyse && !analysisEnter(range)) break;
        const off_t begin = s.begin + range * s.rangeSize;
        const off_t end = s.size - begin < s.rangeSize ? s.size : begin + s.rangeSize;
        if (s.analyse) analysisRangeBegin(t.index, range, begin - s.begin);
        const int error = countRange(t, begin, end);
        if (s.analyse) analysisRangeEnd(t.index, threadCounters[t.index], error != 0);
        if (error != 0) {
            t.failedRange = range;
            t.error = error;
            s.failed.store(true, std::memory_order_relaxed);
            break;
        }
    }
    return nullptr;
}

// Reads on from the descriptor's offset until the end of input, or until
// `limit` bytes (-1: none) were read: a terminal's end is one keystroke,
// and reading on after it would wait for another. Returns 0 or errno.
int countToEnd(int fd, ThreadCount &t, std::int64_t limit = -1) {
    for (;;) {
        std::size_t want = kBufferSize;
        if (limit >= 0 && limit - t.bytes < static_cast<std::int64_t>(want)) {
            want = static_cast<std::size_t>(limit - t.bytes);
        }
        if (want == 0) return 0;
        const ssize_t got = read(fd, threadBuffers[t.index], want);
        if (got < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        if (got == 0) return 0;
        countBlock(t, static_cast<std::size_t>(got));
    }
}

// The file's size as it is now, in ranges over `count` threads (the caller
// being the first); then the descriptor is left at that size for whatever
// was added since. Returns 0 or errno.
int countInRanges(int fd, int count, const CountPart &part = CountPart{0, -1, nullptr}) {
    struct stat st;
    if (fstat(fd, &st) != 0) return errno;
    SharedCount shared;
    shared.fd = fd;
    shared.begin = part.offset < st.st_size ? static_cast<off_t>(part.offset) : st.st_size;
    shared.size = part.length >= 0 && part.length < st.st_size - shared.begin ? shared.begin + part.length
                                                                               : st.st_size;
    shared.rangeSize = part.analysis != nullptr ? analysisRangeSize() : kRangeSize;
    shared.analyse = part.analysis != nullptr;
    shared.ranges = (shared.size - shared.begin + shared.rangeSize - 1) / shared.rangeSize;
    shared.nextRange.store(0);
    shared.failed.store(false);
    pthread_t started[kMaxCountThreads];
    int running = 1;
    for (; running < count; ++running) {
        threads[running].shared = &shared;
        // A thread that cannot be started leaves its ranges to the others.
        if (pthread_create(&started[running], nullptr, countRanges, &threads[running]) != 0) break;
    }
    threads[0].shared = &shared;
    countRanges(&threads[0]);
    for (int i = 1; i < running; ++i) pthread_join(started[i], nullptr);
    const ThreadCount *first = nullptr;
    for (int i = 0; i < running; ++i) {
        const ThreadCount &t = threads[i];
        if (t.failedRange >= 0 && (first == nullptr || t.failedRange < first->failedRange)) first = &t;
    }
    if (first != nullptr) return first->error;
    return lseek(fd, shared.size, SEEK_SET) < 0 ? errno : 0;
}

// Moves past the first `offset` bytes of the input: sought from where the
// descriptor is, or read and dropped where it cannot seek. Returns 0 or
// errno.
int skipInput(int fd, std::int64_t offset) {
    if (offset == 0 || lseek(fd, static_cast<off_t>(offset), SEEK_CUR) >= 0) return 0;
    if (errno != ESPIPE) return errno;
    while (offset > 0) {
        const std::size_t want = offset < static_cast<std::int64_t>(kBufferSize) ? static_cast<std::size_t>(offset)
                                                                                 : kBufferSize;
        const ssize_t got = read(fd, threadBuffers[0], want);
        if (got < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        if (got == 0) return 0;
        offset -= got;
    }
    return 0;
}

}  // namespace

int countThreadsFor(off_t size) {
    const off_t shares = size / kThreadShare;
    // A file of one share needs no look at the processors.
    if (shares < 2) return 1;
    int most = usableProcessors();
    if (most > kMaxCountThreads) most = kMaxCountThreads;
    return shares < most ? static_cast<int>(shares) : most;
}

int countInputBytes(int fd, int count, std::uint64_t totals[256], std::int64_t *bytes) {
    assert(count >= 1 && count <= kMaxCountThreads);
    for (int i = 0; i < kMaxCountThreads; ++i) threads[i] = ThreadCount{nullptr, i, 0, -1, 0};
    int error = count > 1 ? countInRanges(fd, count) : 0;
    if (error == 0) error = countToEnd(fd, threads[0]);
    // The sets of threads that never started counted nothing.
    for (int i = 0; i < count; ++i) {
        takeByteTotals(threadCounters[i], totals);
        *bytes += threads[i].bytes;
    }
    return error;
}

int countInputPart(int fd, int count, const CountPart &part, std::uint64_t totals[256], std::int64_t *bytes) {
    assert(count >= 1 && count <= kMaxCountThreads && part.offset >= 0);
    for (int i = 0; i < kMaxCountThreads; ++i) threads[i] = ThreadCount{nullptr, i, 0, -1, 0};
    analysing = part.analysis != nullptr;
    if (analysing) analysisBegin(*part.analysis, count);
    int error = 0;
    if (count > 1) {
        error = countInRanges(fd, count, part);
        if (error == 0 && !analysing && part.length < 0) error = countToEnd(fd, threads[0]);
    } else {
        error = skipInput(fd, part.offset);
        if (analysing) analysisRangeBegin(0, -1, 0);
        if (error == 0) error = countToEnd(fd, threads[0], part.length);
        if (analysing) analysisRangeEnd(0, threadCounters[0], error != 0);
    }
    for (int i = 0; i < count; ++i) {
        takeByteTotals(threadCounters[i], totals);
        *bytes += threads[i].bytes;
    }
    if (analysing) analysisTakeTotals(totals);
    analysing = false;
    return error;
}
