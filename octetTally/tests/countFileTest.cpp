// A whole input counted on every number of threads, against a plain count,
// at the sizes where ranges, reads and the share of a thread begin and end;
// and the processors a count may use, under a real affinity mask and real
// processor quotas.
#include <fcntl.h>
#include <sched.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "countFile.h"
#include "testing.h"

using testing_support::runInChild;
using testing_support::TempDir;
using testing_support::writeFile;

namespace {

std::string contents(std::size_t n, int kind) {
    std::string data(n, 'e');
    std::mt19937 gen(static_cast<unsigned>(n));
    const std::string line = "for (int i = 0; i < n; ++i) total += count[i];\n";
    for (std::size_t i = 0; i < n; ++i) {
        if (kind == 0) data[i] = static_cast<char>(gen());
        if (kind == 1) data[i] = line[i % line.size()];
    }
    return data;
}

TEST(CountFile, EveryThreadCountEqualsAPlainCount) {
    const off_t range = kCountRange;
    const off_t read = static_cast<off_t>(kCountRead);
    const std::vector<off_t> sizes = {0,         1,           read - 1,      range - 1,
                                      range,     range + 1,   2 * kThreadShare - 1, 2 * kThreadShare + 517,
                                      3 * range + read + 3};
    TempDir dir;
    for (std::size_t s = 0; s < sizes.size(); ++s) {
        const int kind = static_cast<int>(s % 3);  // random bytes, text, one byte
        const std::string data = contents(static_cast<std::size_t>(sizes[s]), kind);
        std::uint64_t want[256] = {};
        for (unsigned char c : data) ++want[c];
        const std::string path = dir.file(std::to_string(s) + ".bytes");
        writeFile(path, data);
        for (int threads = 1; threads <= kMaxCountThreads; ++threads) {
            SCOPED_TRACE(testing::Message() << sizes[s] << " bytes of kind " << kind << " on " << threads
                                            << " threads");
            const int fd = open(path.c_str(), O_RDONLY);
            ASSERT_GE(fd, 0);
            std::uint64_t got[256] = {};
            std::int64_t bytes = 0;
            EXPECT_EQ(countInputBytes(fd, threads, got, &bytes), 0);
            close(fd);
            EXPECT_EQ(bytes, sizes[s]);
            for (int v = 0; v < 256; ++v) ASSERT_EQ(got[v], want[v]) << "value " << v;
        }
    }
}

TEST(CountFile, ThreadsForASize) {
    const int most = usableProcessors() < kMaxCountThreads ? usableProcessors() : kMaxCountThreads;
    EXPECT_EQ(countThreadsFor(0), 1);
    EXPECT_EQ(countThreadsFor(2 * kThreadShare - 1), 1);
    EXPECT_EQ(countThreadsFor(2 * kThreadShare), most < 2 ? most : 2);
    EXPECT_EQ(countThreadsFor(off_t{1} << 40), most);
}

// The group hierarchy that holds the processor controller and lets this
// process make groups in it: the older kind, with its quota files apart, or
// the single one where its root hands the controller down.
struct QuotaHierarchy {
    std::string root;
    bool unified = false;
};

bool writable(const std::string &path) { return access(path.c_str(), W_OK) == 0; }

bool findHierarchy(QuotaHierarchy &found) {
    for (const char *dir : {"/sys/fs/cgroup/cpu,cpuacct", "/sys/fs/cgroup/cpu"}) {
        if (writable(std::string(dir) + "/cpu.cfs_quota_us") || writable(std::string(dir) + "/cgroup.procs")) {
            found = {dir, false};
            return true;
        }
    }
    const std::string control = testing_support::readFile("/sys/fs/cgroup/cgroup.subtree_control");
    if (control.find("cpu") != std::string::npos && writable("/sys/fs/cgroup/cgroup.procs")) {
        found = {"/sys/fs/cgroup", true};
        return true;
    }
    return false;
}

bool setQuota(const QuotaHierarchy &h, const std::string &group, long quota) {
    if (quota < 0) return true;
    FILE *f = std::fopen((group + (h.unified ? "/cpu.max" : "/cpu.cfs_quota_us")).c_str(), "w");
    if (f == nullptr) return false;
    if (h.unified) {
        std::fprintf(f, "%ld 100000\n", quota);
    } else {
        std::fprintf(f, "%ld\n", quota);
    }
    return std::fclose(f) == 0;
}

TEST(CountFile, UsableProcessorsFollowAffinityAndQuotas) {
    const int all = usableProcessors();
    ASSERT_GE(all, 1);
    // Bound to one processor.
    testing_support::RunResult bound = runInChild([] {
        cpu_set_t one;
        CPU_ZERO(&one);
        CPU_SET(sched_getcpu(), &one);
        if (sched_setaffinity(0, sizeof one, &one) != 0) _exit(100);
        _exit(usableProcessors());
    });
    if (SUITE_HAVE_SCHED_GETAFFINITY && SUITE_HAVE_CPU_COUNT) {
        EXPECT_EQ(bound.status, 1) << "bound to one processor";
    } else {
        EXPECT_EQ(bound.status, all) << "no affinity mask: the processors online";
    }

    QuotaHierarchy h;
    if (!findHierarchy(h)) GTEST_SKIP() << "no processor quota can be set here (no writable cgroup with cpu)";
    // Quotas in microseconds per 100 ms: on the process's group, on the
    // group above it, or both; -1 is none. A quota rounds up to whole
    // processors, and the smallest one above the process counts.
    const struct {
        long outer;
        long inner;
        int processors;
    } rows[] = {
        {-1, 50000, 1},
        {100000, -1, 1},
        {400000, 150000, 2},
        {-1, -1, all},
    };
    for (const auto &row : rows) {
        const std::string outer = h.root + "/octetTallyQuota" + std::to_string(getpid());
        const std::string inner = outer + "/inner";
        ASSERT_EQ(mkdir(outer.c_str(), 0755), 0) << outer;
        ASSERT_EQ(mkdir(inner.c_str(), 0755), 0);
        if (h.unified) writeFile(outer + "/cgroup.subtree_control", "+cpu\n");
        ASSERT_TRUE(setQuota(h, outer, row.outer) && setQuota(h, inner, row.inner));
        testing_support::RunResult run = runInChild([&] {
            FILE *procs = std::fopen((inner + "/cgroup.procs").c_str(), "w");
            if (procs == nullptr || std::fprintf(procs, "0\n") < 0 || std::fclose(procs) != 0) _exit(100);
            _exit(usableProcessors());
        });
        rmdir(inner.c_str());
        rmdir(outer.c_str());
        const int want = row.processors < all ? row.processors : all;
        EXPECT_EQ(run.status, want) << "quotas " << row.outer << " above, " << row.inner << " on the group";
    }
}

}  // namespace
