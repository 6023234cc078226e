// The counting kernels one by one, in-process, on the same data: either a
// whole file read as the tool reads it (for timing against other readers of
// the file), or the counting rate alone on one block that stays in the cache.
//
// Usage: countBytesBench KERNEL FILE   count FILE, print the kernel and total
//        countBytesBench --rate FILE   GB/s of each kernel on FILE's first MiB
//        countBytesBench --list        the kernels this processor can run, and
//                                      the threads the tool would count with
//        countBytesBench --threads N FILE   count FILE as the tool counts a
//                                      named file, on N threads
//        countBytesBench --plan FILE   the threads the tool would count FILE on
//        countBytesBench --order FILE  GB/s of each neighbour-product kernel
//                                      and of the Monte-Carlo points on FILE's
//                                      first MiB, and of the count with and
//                                      without them
// KERNEL: a kernel's number (see --list), "auto" (the tool's own choice and
// look at each block), or "portable" (the same look without AVX-512).
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <ctime>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "countBytes.h"
#include "countFile.h"
#include "sequenceSums.h"

namespace {

constexpr std::size_t blockSize = 1 << 20;

ByteCounters counters;

int countFile(const std::string &mode, const char *path) {
    std::vector<unsigned char> buf(blockSize);
    const int fd = open(path, O_RDONLY);
    if (fd < 0) {
        std::perror(path);
        return 1;
    }
    const bool automatic = mode == "auto";
    const bool portable = mode == "portable";
    const auto kernel = static_cast<CountKernel>(automatic || portable ? 0 : std::atoi(mode.c_str()));
    if (!automatic && !portable && !countKernelSupported(kernel)) {
        std::fprintf(stderr, "kernel %s cannot run here\n", mode.c_str());
        return 1;
    }
    ssize_t got;
    std::uint64_t total = 0;
    while ((got = read(fd, buf.data(), buf.size())) > 0) {
        const auto n = static_cast<std::size_t>(got);
        if (automatic) {
            countBytes(counters, buf.data(), n);
        } else if (portable) {
            countBytesAs(counters, CountKernel::multiTable, buf.data(), n);
        } else {
            countBytesWith(counters, kernel, buf.data(), n);
        }
        total += n;
    }
    close(fd);
    std::uint64_t totals[256] = {};
    takeByteTotals(counters, totals);
    std::uint64_t sum = 0;
    for (std::uint64_t t : totals) sum += t;
    const char *name = automatic ? countKernelName(chosenCountKernel())
                       : portable ? "portable choice"
                                  : countKernelName(kernel);
    std::printf("%s: %llu bytes%s\n", name, static_cast<unsigned long long>(total),
                sum == total ? "" : " (COUNTS DISAGREE)");
    return sum == total ? 0 : 1;
}

double threadSeconds() {
    timespec now;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// The first MiB of the file at `path` into `buf`; false, said, if it is shorter.
bool readFirstMiB(const char *path, std::vector<unsigned char> &buf) {
    buf.resize(blockSize);
    FILE *f = std::fopen(path, "rb");
    const bool whole = f != nullptr && std::fread(buf.data(), 1, buf.size(), f) == buf.size();
    if (f != nullptr) std::fclose(f);
    if (!whole) std::fprintf(stderr, "%s: need a file of at least 1 MiB\n", path);
    return whole;
}

int rates(const char *path) {
    std::vector<unsigned char> buf;
    if (!readFirstMiB(path, buf)) return 1;
    for (int k = 0; k < kCountKernelCount; ++k) {
        const auto kernel = static_cast<CountKernel>(k);
        if (!countKernelSupported(kernel)) {
            std::printf("%-22s cannot run here\n", countKernelName(kernel));
            continue;
        }
        std::vector<double> rounds;
        for (int round = 0; round < 7; ++round) {
            // Processor time of this thread: a shared machine's other work
            // does not count against the kernel.
            const double start = threadSeconds();
            for (int i = 0; i < 256; ++i) countBytesWith(counters, kernel, buf.data(), buf.size());
            rounds.push_back(256.0 * blockSize / (threadSeconds() - start) / 1e9);
        }
        std::uint64_t totals[256] = {};
        takeByteTotals(counters, totals);
        std::sort(rounds.begin(), rounds.end());
        std::printf("%-22s %6.2f GB/s (median of 7; best %.2f)\n", countKernelName(kernel), rounds[3],
                    rounds[6]);
    }
    return 0;
}

// The median rate, in GB/s of this thread's processor time, of 7 rounds of
// 256 calls of `work` on a 1 MiB block.
template <class Work>
double medianRate(Work work) {
    std::vector<double> rounds;
    for (int round = 0; round < 7; ++round) {
        const double start = threadSeconds();
        for (int i = 0; i < 256; ++i) work();
        rounds.push_back(256.0 * blockSize / (threadSeconds() - start) / 1e9);
    }
    std::sort(rounds.begin(), rounds.end());
    return rounds[3];
}

// The order sums' kernels on a file's first MiB, beside the tool's count, and
// the count with the order sums as the tool gathers them.
int orderRates(const char *path) {
    std::vector<unsigned char> buf;
    if (!readFirstMiB(path, buf)) return 1;
    volatile std::uint64_t sink = 0;
    std::uint64_t points = 0, inside = 0;
    const std::size_t whole = buf.size() / 6 * 6;
    for (OrderKernel kernel : {OrderKernel::avx2, OrderKernel::portable}) {
        if (!orderKernelSupported(kernel)) continue;
        const double products = medianRate([&] { sink = sink + neighbourProductsWith(kernel, buf.data(), buf.size()); });
        std::printf("neighbour products, %-18s %6.2f GB/s\n", orderKernelName(kernel), products);
        const double rate = medianRate([&] { monteCarloPointsWith(kernel, buf.data(), whole, points, inside); });
        std::printf("Monte-Carlo points, %-18s %6.2f GB/s\n", orderKernelName(kernel), rate);
    }
    std::printf("count, the tool's choice %14s %6.2f GB/s\n", "",
                medianRate([&] { countBytes(counters, buf.data(), buf.size()); }));
    SequenceState sums;
    sequenceStart(sums, 0);
    std::printf("count and order sums, the tool's way %2s %6.2f GB/s\n", "",
                medianRate([&] { sequenceFeedCounting(sums, counters, buf.data(), buf.size()); }));
    return 0;
}

int countOnThreads(const char *count, const char *path) {
    const int threads = std::atoi(count);
    const int fd = open(path, O_RDONLY);
    if (fd < 0 || threads < 1 || threads > kMaxCountThreads) {
        std::fprintf(stderr, "%s: cannot open, or not 1 to %d threads\n", path, kMaxCountThreads);
        return 1;
    }
    std::uint64_t totals[256] = {};
    std::int64_t bytes = 0;
    const int error = countInputBytes(fd, threads, totals, &bytes);
    close(fd);
    std::printf("%d threads: %lld bytes%s\n", threads, static_cast<long long>(bytes),
                error != 0 ? " (READ ERROR)" : "");
    return error != 0;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc == 2 && std::strcmp(argv[1], "--list") == 0) {
        for (int k = 0; k < kCountKernelCount; ++k) {
            const auto kernel = static_cast<CountKernel>(k);
            std::printf("%d %s%s\n", k, countKernelName(kernel),
                        countKernelSupported(kernel) ? "" : " (cannot run here)");
        }
        std::printf("auto: %s\n", countKernelName(chosenCountKernel()));
        std::printf("threads: %d usable processors, at most %d, one per %lld MiB of a file\n",
                    usableProcessors(), kMaxCountThreads, static_cast<long long>(kThreadShare >> 20));
        return 0;
    }
    if (argc == 3 && std::strcmp(argv[1], "--rate") == 0) return rates(argv[2]);
    if (argc == 3 && std::strcmp(argv[1], "--order") == 0) return orderRates(argv[2]);
    if (argc == 4 && std::strcmp(argv[1], "--threads") == 0) return countOnThreads(argv[2], argv[3]);
    struct stat st;
    if (argc == 3 && std::strcmp(argv[1], "--plan") == 0 && stat(argv[2], &st) == 0) {
        std::printf("%d\n", countThreadsFor(st.st_size));
        return 0;
    }
    if (argc == 3) return countFile(argv[1], argv[2]);
    std::fprintf(stderr, "usage: countBytesBench KERNEL FILE | --rate FILE | --order FILE | --list | --threads N FILE | --plan FILE\n");
    return 2;
}
