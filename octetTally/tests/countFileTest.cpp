// A whole input counted on every number of threads, against a plain count,
// at the sizes where ranges, reads and the share of a thread begin and end,
// and the threads a count takes for a size.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "countFile.h"
#include "testing.h"

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

}  // namespace
