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
#include <cstdio>
#include <cstring>

#include "countBytes.h"
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

// --- Processors and quotas -------------------------------------------------

// Those of the affinity mask, or where the system cannot tell, those online.
int affinityProcessors() {
    const int affinity = affinityProcessorCount();
    return affinity > 0 ? affinity : onlineProcessorCount();
}

// A quota as processors, rounded up; 0 when the file sets none.
int quotaFromFile(const char *dir, bool unified) {
    char path[4200];
    long long quota = -1;
    long long period = 0;
    std::snprintf(path, sizeof path, "%s/%s", dir, unified ? "cpu.max" : "cpu.cfs_quota_us");
    FILE *f = std::fopen(path, "r");
    if (f == nullptr) return 0;
    // "max 100000" (none) or "150000 100000"; the older form keeps the
    // period apart and says -1 for none.
    const int read = unified ? std::fscanf(f, "%lld %lld", &quota, &period) : std::fscanf(f, "%lld", &quota);
    std::fclose(f);
    if (read < 1 || quota <= 0) return 0;
    if (!unified) {
        std::snprintf(path, sizeof path, "%s/cpu.cfs_period_us", dir);
        f = std::fopen(path, "r");
        if (f == nullptr) return 0;
        if (std::fscanf(f, "%lld", &period) != 1) period = 0;
        std::fclose(f);
    }
    if (period <= 0) return 0;
    const long long processors = (quota + period - 1) / period;
    return processors < 4096 ? static_cast<int>(processors) : 4096;
}

// Whether the comma-separated `list` holds `word`.
bool listHas(const char *list, const char *word) {
    const std::size_t length = std::strlen(word);
    for (const char *p = list; *p;) {
        const char *end = std::strchr(p, ',');
        const std::size_t n = end ? static_cast<std::size_t>(end - p) : std::strlen(p);
        if (n == length && std::strncmp(p, word, n) == 0) return true;
        if (end == nullptr) break;
        p = end + 1;
    }
    return false;
}

// The process's group in the hierarchy mounted at `mountPoint` (root
// `root` of it), and each group above it: the smallest quota among them.
int quotaOfGroup(const char *mountPoint, const char *root, const char *group, bool unified) {
    const std::size_t rootLength = std::strcmp(root, "/") == 0 ? 0 : std::strlen(root);
    if (std::strncmp(group, root, rootLength) != 0) return 0;
    char dir[4096];
    if (std::snprintf(dir, sizeof dir, "%s%s", mountPoint, group + rootLength) >= int(sizeof dir)) return 0;
    const std::size_t top = std::strlen(mountPoint);
    int least = 0;
    for (;;) {
        const int quota = quotaFromFile(dir, unified);
        if (quota > 0 && (least == 0 || quota < least)) least = quota;
        char *slash = std::strrchr(dir, '/');
        if (slash == nullptr || static_cast<std::size_t>(slash - dir) < top) break;
        *slash = '\0';
    }
    return least;
}

// The group of this process in the hierarchy that has the processor
// controller (`unified`: the single hierarchy, whose line is "0::").
bool groupOf(bool unified, char *group, std::size_t size) {
    FILE *f = std::fopen("/proc/self/cgroup", "r");
    if (f == nullptr) return false;
    char line[4200];
    bool found = false;
    while (!found && std::fgets(line, sizeof line, f)) {
        line[std::strcspn(line, "\n")] = '\0';
        char *controllers = std::strchr(line, ':');
        char *path = controllers ? std::strchr(controllers + 1, ':') : nullptr;
        if (path == nullptr) continue;
        *path++ = '\0';
        ++controllers;
        const bool match = unified ? std::strcmp(line, "0") == 0 && *controllers == '\0'
                                   : listHas(controllers, "cpu");
        if (match && std::strlen(path) < size) {
            std::strcpy(group, path);
            found = true;
        }
    }
    std::fclose(f);
    return found;
}

// The smallest processor quota of the groups this process is in; 0: none.
int quotaProcessors() {
    FILE *f = std::fopen("/proc/self/mountinfo", "r");
    if (f == nullptr) return 0;
    char line[8400];
    int least = 0;
    while (std::fgets(line, sizeof line, f)) {
        // "id parent dev root mount-point options [fields] - type source super-options"
        char root[4096];
        char mountPoint[4096];
        char type[32];
        char superOptions[512];
        const char *tail = std::strstr(line, " - ");
        if (tail == nullptr || std::sscanf(line, "%*s %*s %*s %4095s %4095s", root, mountPoint) != 2 ||
            std::sscanf(tail, " - %31s %*s %511s", type, superOptions) != 2) {
            continue;
        }
        const bool unified = std::strcmp(type, "cgroup2") == 0;
        if (!unified && (std::strcmp(type, "cgroup") != 0 || !listHas(superOptions, "cpu"))) continue;
        char group[4096];
        if (!groupOf(unified, group, sizeof group)) continue;
        const int quota = quotaOfGroup(mountPoint, root, group, unified);
        if (quota > 0 && (least == 0 || quota < least)) least = quota;
    }
    std::fclose(f);
    return least;
}

}  // namespace

int usableProcessors() {
    const int affinity = affinityProcessors();
    const int quota = quotaProcessors();
    return quota > 0 && quota < affinity ? quota : affinity;
}

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
