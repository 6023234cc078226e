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

void countBlock(ThreadCount &t, const unsigned char *p, std::size_t n) {
    if (analysing) {
        analysisCount(t.index, threadCounters[t.index], p, n);
    } else {
        countBytes(threadCounters[t.index], p, n);
    }
    t.bytes += static_cast<std::int64_t>(n);
}

void countBlock(ThreadCount &t, std::size_t n) {
    countBlock(t, threadBuffers[t.index], n);
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

// What the next read may ask for, after `done` bytes of at most `limit`
// (-1: no limit).
std::size_t nextWant(std::int64_t done, std::int64_t limit) {
    if (limit >= 0 && limit - done < static_cast<std::int64_t>(kBufferSize)) {
        return static_cast<std::size_t>(limit - done);
    }
    return kBufferSize;
}

// One read into `buffer` (none when `want` is 0). Returns the bytes read, 0
// at the end of input, or -1 with *error set.
ssize_t readSome(int fd, unsigned char *buffer, std::size_t want, int *error) {
    if (want == 0) return 0;
    for (;;) {
        const ssize_t got = read(fd, buffer, want);
        if (got >= 0 || errno != EINTR) {
            if (got < 0) *error = errno;
            return got;
        }
    }
}

// A stream counted as it is read: one thread only reads into a ring of
// buffers (those of every thread's index), while the caller counts them in
// turn, in the input's order, so that an analysis sees the bytes as one
// thread reading them would. On one thread each read waited for the count
// before it and the count for each read, while the writer on the other end
// of a pipe waited for both; apart, they run at once where there are
// processors for them. But where the count keeps waiting for the reads (a
// slow writer, or bytes as quick to count as one repeated byte, which took
// up to a quarter longer on two threads here), the hand-overs cost more
// than they save, and the rest is read on one thread again. Measured on two
// processors and dropped: the order sums fed on the reading thread, a count
// that waits for half the ring to fill, and one thread or two chosen from
// how long reads and counts took (no faster, and wrong on text).
constexpr std::int64_t kRingSlots = kMaxCountThreads;
// The count goes back to one thread when it waited for more than seven in
// eight of the slots of each of two windows this long in a row. Here, with
// the writer, the reader and the count on two processors, a count of random
// bytes with the order sums and blocks of a megabyte waited for 0 to 58 of
// a window's 64 slots, one of one repeated byte for 17 to 64 (more than 56
// in half the windows); a plain count of random bytes, quicker, went back
// in 6 runs of 10, and was as fast on one thread or two.
constexpr std::int64_t kStarvedWindow = 8 * kRingSlots;

struct StreamRing {
    int fd;
    std::int64_t limit;  // the most bytes to read, from `taken` on; -1: none
    std::int64_t taken;  // bytes read (the reader's own)
    std::size_t filled[kRingSlots];
    // Under the lock:
    std::int64_t produced;  // slots read
    std::int64_t consumed;  // slots counted
    bool ended;
    bool atEnd;  // the reader found the end of input, or an error
    bool stop;   // the count asks the reader to end
    int error;
    bool readerWaits;
    bool counterWaits;
    pthread_mutex_t lock;
    pthread_cond_t readerTurn;
    pthread_cond_t counterTurn;
};

void *readStream(void *arg) {
    StreamRing &r = *static_cast<StreamRing *>(arg);
    for (;;) {
        pthread_mutex_lock(&r.lock);
        // A full ring waits until half of it is free: one wake-up for
        // several slots, not one for each.
        if (r.produced - r.consumed == kRingSlots) {
            r.readerWaits = true;
            while (r.produced - r.consumed > kRingSlots / 2 && !r.stop) pthread_cond_wait(&r.readerTurn, &r.lock);
            r.readerWaits = false;
        }
        if (r.stop) {
            r.ended = true;
            pthread_cond_signal(&r.counterTurn);
            pthread_mutex_unlock(&r.lock);
            return nullptr;
        }
        const std::int64_t slot = r.produced % kRingSlots;
        pthread_mutex_unlock(&r.lock);
        int error = 0;
        const ssize_t got = readSome(r.fd, threadBuffers[slot], nextWant(r.taken, r.limit), &error);
        pthread_mutex_lock(&r.lock);
        if (got > 0) {
            r.filled[slot] = static_cast<std::size_t>(got);
            r.taken += got;
            ++r.produced;
        } else {
            r.ended = true;
            r.atEnd = true;
            r.error = error;
        }
        if (r.counterWaits) pthread_cond_signal(&r.counterTurn);
        pthread_mutex_unlock(&r.lock);
        if (got <= 0) return nullptr;
    }
}

// Counts the ring's slots in turn into `t` until the reader ends, or until
// the count asked it to. Returns 0 or the errno of the failed read.
int countRing(StreamRing &r, ThreadCount &t) {
    std::int64_t waits = 0;
    int starvedWindows = 0;  // in a row
    for (;;) {
        pthread_mutex_lock(&r.lock);
        if (r.consumed == r.produced && !r.ended) ++waits;
        while (r.consumed == r.produced && !r.ended) {
            r.counterWaits = true;
            pthread_cond_wait(&r.counterTurn, &r.lock);
        }
        r.counterWaits = false;
        if (r.consumed % kStarvedWindow == kStarvedWindow - 1) {
            starvedWindows = 8 * waits > 7 * kStarvedWindow ? starvedWindows + 1 : 0;
            if (starvedWindows == 2) {
                r.stop = true;
                pthread_cond_signal(&r.readerTurn);
            }
            waits = 0;
        }
        const bool done = r.consumed == r.produced;
        const std::int64_t slot = r.consumed % kRingSlots;
        pthread_mutex_unlock(&r.lock);
        if (done) return r.error;
        countBlock(t, threadBuffers[slot], r.filled[slot]);
        pthread_mutex_lock(&r.lock);
        ++r.consumed;
        if (r.readerWaits && r.produced - r.consumed <= kRingSlots / 2) pthread_cond_signal(&r.readerTurn);
        pthread_mutex_unlock(&r.lock);
    }
}

// The first bytes of a stream are read and counted on one thread: a short
// input (a line typed, a small pipe) is done before a second thread would
// have started.
constexpr std::int64_t kStreamAlone = std::int64_t{1} << 20;

// Reads on from the descriptor's offset until the end of input, or until
// `limit` bytes (-1: none) were read: a terminal's end is one keystroke,
// and reading on after it would wait for another. What is not a regular
// file is read on a thread of its own past its first kStreamAlone bytes,
// where there is a second processor (unless `mayShare` is false). Returns 0
// or errno.
int countToEnd(int fd, ThreadCount &t, std::int64_t limit = -1, bool mayShare = true) {
    const std::int64_t start = t.bytes;
    struct stat st;
    bool share = mayShare && fstat(fd, &st) == 0 && !S_ISREG(st.st_mode);
    for (;;) {
        int error = 0;
        const ssize_t got = readSome(fd, threadBuffers[t.index], nextWant(t.bytes - start, limit), &error);
        if (got <= 0) return got < 0 ? error : 0;
        countBlock(t, static_cast<std::size_t>(got));
        if (share && t.bytes - start >= kStreamAlone && nextWant(t.bytes - start, limit) > 0) {
            if (usableProcessors() >= 2) break;
            share = false;
        }
    }
    StreamRing r{};
    r.fd = fd;
    r.limit = limit < 0 ? -1 : limit - (t.bytes - start);
    pthread_mutex_init(&r.lock, nullptr);
    pthread_cond_init(&r.readerTurn, nullptr);
    pthread_cond_init(&r.counterTurn, nullptr);
    pthread_t reader;
    int error = 0;
    bool alone = true;
    if (pthread_create(&reader, nullptr, readStream, &r) == 0) {
        error = countRing(r, t);
        pthread_join(reader, nullptr);
        alone = !r.atEnd;
    }
    if (alone) error = countToEnd(fd, t, r.limit < 0 ? -1 : r.limit - r.taken, false);
    pthread_cond_destroy(&r.counterTurn);
    pthread_cond_destroy(&r.readerTurn);
    pthread_mutex_destroy(&r.lock);
    return error;
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
    for (std::int64_t skipped = 0; skipped < offset;) {
        int error = 0;
        const ssize_t got = readSome(fd, threadBuffers[0], nextWant(skipped, offset), &error);
        if (got <= 0) return got < 0 ? error : 0;
        skipped += got;
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
