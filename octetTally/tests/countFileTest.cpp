// A whole input counted on every number of threads, against a plain count,
// at the sizes where ranges, reads and the share of a thread begin and end,
// and the threads a count takes for a size; and a stream, read on a thread
// of its own past its first megabyte, against a plain count.
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <random>
#include <string>
#include <thread>
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

// Writes the first `bytes` of `data` to `fd` in pieces of random sizes;
// where `slow`, pieces of at most one read, each after a pause, so that the
// count keeps waiting for the reader and goes back to one thread. Then
// closes it, first sending a byte to the other end that is never read where
// `reset` (the reader then finds the connection reset once it has read
// everything).
void writeInPieces(int fd, int other, const std::string &data, std::size_t bytes, bool slow, bool reset) {
    if (reset) {
        ASSERT_EQ(write(other, "x", 1), 1);
    }
    std::mt19937 gen(3);
    for (std::size_t at = 0; at < bytes;) {
        const std::size_t most = slow ? kCountRead : 300000;
        const std::size_t piece = std::min<std::size_t>(bytes - at, 1 + gen() % most);
        const ssize_t sent = send(fd, data.data() + at, piece, MSG_NOSIGNAL);
        if (sent <= 0) break;  // the reader stopped at its length
        at += static_cast<std::size_t>(sent);
        if (slow) std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    close(fd);
}

TEST(CountFile, AStreamEqualsAPlainCount) {
    const std::int64_t mib = std::int64_t{1} << 20;
    const struct {
        std::int64_t bytes;
        std::int64_t length;  // -1: to the end
        bool slow;
        bool reset;
        int error;
    } cases[] = {
        {21 * mib + 7, -1, true, false, 0},
        {21 * mib + 7, 19 * mib + 5, true, false, 0},
        {5 * mib + 7, 3 * mib + 5, false, false, 0},
        {5 * mib + 7, mib, false, false, 0},
        {3 * mib + 1, -1, false, true, ECONNRESET},
    };
    const std::string data = contents(static_cast<std::size_t>(21 * mib + 7), 0);
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << c.bytes << " bytes, length " << c.length << ", slow " << c.slow
                                        << ", reset " << c.reset);
        const std::size_t counted = static_cast<std::size_t>(c.length < 0 ? c.bytes : c.length);
        std::uint64_t want[256] = {};
        for (std::size_t i = 0; i < counted; ++i) ++want[static_cast<unsigned char>(data[i])];
        int ends[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, ends), 0);
        std::thread writer(writeInPieces, ends[0], ends[1], std::cref(data), static_cast<std::size_t>(c.bytes),
                           c.slow, c.reset);
        std::uint64_t got[256] = {};
        std::int64_t bytes = 0;
        EXPECT_EQ(countInputPart(ends[1], 1, CountPart{0, c.length, nullptr}, got, &bytes), c.error);
        shutdown(ends[1], SHUT_RD);
        writer.join();
        close(ends[1]);
        EXPECT_EQ(bytes, static_cast<std::int64_t>(counted));
        for (int v = 0; v < 256; ++v) ASSERT_EQ(got[v], want[v]) << "value " << v;
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
