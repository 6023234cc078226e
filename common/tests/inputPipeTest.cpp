// Widening a pipe that a tool reads: the pipe grows and keeps what it holds.
#include <fcntl.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "inputPipe.h"

namespace {

struct Pipe {
    int ends[2] = {-1, -1};
    Pipe() { EXPECT_EQ(pipe(ends), 0); }
    ~Pipe() {
        close(ends[0]);
        close(ends[1]);
    }
};

// A pipe narrower than kWidePipe grows to it; one that already holds as
// much, as every pipe does by default where pages are 64 KiB (sixteen of
// them), keeps its size and is never narrowed. Where the system cannot
// widen a pipe, or the build takes its POSIX path, the pipe keeps its size
// and, as everywhere, its bytes.
TEST(InputPipe, GrowsAndKeepsItsBytes) {
    const long page = sysconf(_SC_PAGESIZE);
    ASSERT_GT(page, 0);
    struct Row {
        const char *label;
        long ask;  // the size set before the tool widens it; 0: the system's own
    } rows[] = {
        {"the system's default", 0},
        {"one page", page},
        {"twice the width asked for", 2L * kWidePipe},
    };
    for (const Row &row : rows) {
        Pipe p;
#if defined(F_GETPIPE_SZ)
        if (row.ask > 0) {
            ASSERT_GE(fcntl(p.ends[0], F_SETPIPE_SZ, static_cast<int>(row.ask)), row.ask) << row.label;
        }
        const int before = fcntl(p.ends[0], F_GETPIPE_SZ);
        ASSERT_GT(before, 0) << row.label;
#else
        if (row.ask > 0) continue;
#endif
        const std::string held = "bytes written before the pipe grows\n";
        ASSERT_EQ(write(p.ends[1], held.data(), held.size()), static_cast<ssize_t>(held.size()));
        widenInputPipe(p.ends[0]);
#if defined(F_GETPIPE_SZ)
        const int after = fcntl(p.ends[0], F_GETPIPE_SZ);
        const int widened = before < kWidePipe ? kWidePipe : before;
        EXPECT_EQ(after, SUITE_HAVE_PIPE_SIZE ? widened : before) << row.label << ", pages of " << page;
#endif
        char back[64] = {};
        ASSERT_EQ(read(p.ends[0], back, sizeof back), static_cast<ssize_t>(held.size())) << row.label;
        EXPECT_EQ(std::string(back), held) << row.label;
    }
}

}  // namespace
