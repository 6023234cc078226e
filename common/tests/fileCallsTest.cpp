// The file calls that only some systems have: where the build has a call,
// it does its work; where it has not, it fails with ENOTSUP and leaves the
// file alone. The ci preset runs the first half of every case, the posix
// preset the second.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <string>

#include <gtest/gtest.h>

#include "fileCalls.h"
#include "testing.h"

using testing_support::readFile;
using testing_support::TempDir;
using testing_support::writeFile;

namespace {

constexpr off_t kSize = 1 << 20;

struct stat statusOf(int fd) {
    struct stat s {};
    EXPECT_EQ(fstat(fd, &s), 0);
    return s;
}

TEST(FileCalls, EachCallWorksOrSaysItCannot) {
    TempDir d;
    const std::string data(kSize, 'x');
    writeFile(d.file("dense"), data);
    writeFile(d.file("source"), std::string(100, 's'));
    writeFile(d.file("empty"), "");
    ASSERT_EQ(symlink("dense", d.file("link").c_str()), 0);
    int dense = open(d.file("dense").c_str(), O_RDWR);
    int source = open(d.file("source").c_str(), O_RDONLY);
    int empty = open(d.file("empty").c_str(), O_RDWR);
    ASSERT_TRUE(dense >= 0 && source >= 0 && empty >= 0);
    int handle = -1;
    int nameless = -1;
    unsigned long kind = 0;
    struct Case {
        const char *call;
        bool have;
        std::function<long long()> run;  // -1 with errno set, or what the call gave
        std::function<bool(long long)> didItsWork;
    } cases[] = {
        {"reserveBytes", SUITE_HAVE_FALLOCATE != 0, [&] { return reserveBytes(empty, 0, kSize); },
         [&](long long) { return statusOf(empty).st_size == 0 && statusOf(empty).st_blocks * 512 >= kSize; }},
        {"nextHole", kCanFindHoles, [&] { return nextHole(dense, 0); }, [](long long at) { return at == kSize; }},
        {"nextData", kCanFindHoles, [&] { return nextData(dense, 4096); }, [](long long at) { return at == 4096; }},
        {"punchHole", SUITE_HAVE_FALLOCATE && SUITE_HAVE_FALLOC_PUNCH_HOLE, [&] { return punchHole(dense, 0, 65536); },
         [&](long long) {
             std::string now = readFile(d.file("dense"));
             return now.size() == data.size() && now.find_first_not_of('\0') == 65536;
         }},
        {"copyBetween", kHaveKernelCopy, [&] { return copyBetween(source, dense, 10, 20); },
         [&](long long copied) {
             std::string now = readFile(d.file("dense"));
             return copied == 20 && now.substr(10, 20) == std::string(20, 's') && now[9] != 's' && now[30] != 's';
         }},
        {"fileSystemKind", SUITE_HAVE_FSTATFS != 0, [&] { return fileSystemKind(dense, &kind); },
         [&](long long) { return kind != 0; }},
        {"openLookHandle", kHaveLookHandles, [&] { return handle = openLookHandle(AT_FDCWD, d.file("link").c_str()); },
         [&](long long) { return S_ISLNK(statusOf(handle).st_mode) && read(handle, &kind, 1) < 0; }},
        {"openNameless", SUITE_HAVE_O_TMPFILE != 0, [&] { return nameless = openNameless(d.path().c_str(), 0600); },
         [&](long long) { return statusOf(nameless).st_nlink == 0 && write(nameless, "n", 1) == 1; }},
        {"linkNameless", SUITE_HAVE_O_TMPFILE != 0, [&] { return linkNameless(nameless, d.file("named").c_str()); },
         [&](long long) { return readFile(d.file("named")) == "n"; }},
        {"setLease", kHaveLeases, [&] { return setLease(source, Lease::read); },
         [&](long long) { return leaseNow(source) == Lease::read && setLease(source, Lease::none) == 0; }},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.call);
        const std::string before = readFile(d.file("dense"));
        errno = 0;
        long long result = c.run();
        int error = errno;
        if (c.have) {
            ASSERT_GE(result, 0) << std::strerror(error);
            EXPECT_TRUE(c.didItsWork(result));
        } else {
            EXPECT_EQ(result, -1);
            EXPECT_EQ(error, ENOTSUP);
            EXPECT_EQ(readFile(d.file("dense")), before);
        }
    }
    if (!kHaveLeases) {
        EXPECT_EQ(leaseNow(source), Lease::unknown);
    }
    for (int fd : {dense, source, empty, handle, nameless}) {
        if (fd >= 0) close(fd);
    }
}

}  // namespace
