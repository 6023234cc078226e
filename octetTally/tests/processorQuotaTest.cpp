// The processors a count may use: under a real affinity mask and real
// processor quotas, and the readers of the quota, group and mount files on
// texts given here.
#include <sched.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <map>
#include <string>

#include <gtest/gtest.h>

#include "processorQuota.h"
#include "testing.h"

using testing_support::runInChild;
using testing_support::writeFile;

namespace {

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

TEST(ProcessorQuota, UsableProcessorsFollowAffinityAndQuotas) {
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

// The quota files of the cases below, by path.
std::map<std::string, std::string> quotaFiles;

bool readQuotaFile(const char *path, char *text, std::size_t size) {
    auto file = quotaFiles.find(path);
    if (file == quotaFiles.end()) return false;
    std::snprintf(text, size, "%s", file->second.c_str());
    return true;
}

TEST(ProcessorQuota, LeastQuotaOfTheTables) {
    const std::string unified = "30 25 0:26 / /m rw,nosuid shared:4 - cgroup2 cgroup2 rw\n";
    const std::string older = "33 32 0:30 / /v rw,relatime - cgroup cgroup rw,cpu,cpuacct\n"
                              "34 32 0:31 / /w rw,relatime - cgroup cgroup rw,memory\n";
    const struct {
        std::string mountinfo;
        std::string cgroups;
        std::map<std::string, std::string> files;
        int processors;
    } cases[] = {
        // The single hierarchy's line, "0::".
        {unified, "0::/g\n", {{"/m/g/cpu.max", "150000 100000\n"}}, 2},
        {unified, "0::/g\n", {{"/m/g/cpu.max", "max 100000\n"}}, 0},
        // The older kind: the hierarchy that has "cpu"; the least quota of
        // the group and those above it.
        {older, "4:memory:/a/b\n2:cpu,cpuacct:/a/b\n",
         {{"/v/a/b/cpu.cfs_quota_us", "300000\n"}, {"/v/a/b/cpu.cfs_period_us", "100000\n"},
          {"/v/a/cpu.cfs_quota_us", "100000\n"}, {"/v/a/cpu.cfs_period_us", "100000\n"},
          {"/w/a/b/cpu.cfs_quota_us", "50000\n"}, {"/w/a/b/cpu.cfs_period_us", "100000\n"}},
         1},
        {older, "2:cpu,cpuacct:/a\n", {{"/v/a/cpu.cfs_quota_us", "-1\n"}, {"/v/a/cpu.cfs_period_us", "100000\n"}}, 0},
        // A hierarchy seen from inside a group: its root is left out of the
        // path, and a group beside the root is none of it.
        {"50 40 0:40 /a /m rw - cgroup2 cgroup2 rw\n", "0::/a/c\n", {{"/m/c/cpu.max", "200000 100000"}}, 2},
        {"50 40 0:40 /a /m rw - cgroup cgroup rw,cpu\n", "1:cpu:/ab/c\n",
         {{"/mb/c/cpu.cfs_quota_us", "100000"}, {"/mb/c/cpu.cfs_period_us", "100000"}}, 0},
        // The largest number a file can say.
        {unified, "0::/g\n", {{"/m/g/cpu.max", "9223372036854775807 100000\n"}}, kMostQuotaProcessors},
    };
    for (const auto &c : cases) {
        quotaFiles = c.files;
        EXPECT_EQ(quotaProcessors(c.mountinfo.data(), c.mountinfo.size(), c.cgroups.data(), c.cgroups.size(),
                                  readQuotaFile),
                  c.processors)
            << c.mountinfo << c.cgroups;
    }
}

}  // namespace
