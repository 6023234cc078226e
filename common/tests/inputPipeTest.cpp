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

// Where the system cannot widen a pipe, or the build takes its POSIX path,
// the pipe keeps its size and, as everywhere, its bytes.
TEST(InputPipe, GrowsAndKeepsItsBytes) {
    Pipe p;
#if defined(F_GETPIPE_SZ)
    const int before = fcntl(p.ends[0], F_GETPIPE_SZ);
    ASSERT_LT(before, kWidePipe);
#endif
    const std::string held = "bytes written before the pipe grows\n";
    ASSERT_EQ(write(p.ends[1], held.data(), held.size()), static_cast<ssize_t>(held.size()));
    widenInputPipe(p.ends[0]);
#if defined(F_GETPIPE_SZ)
    const int after = fcntl(p.ends[0], F_GETPIPE_SZ);
    EXPECT_EQ(after, SUITE_HAVE_PIPE_SIZE ? kWidePipe : before);
#endif
    char back[64] = {};
    ASSERT_EQ(read(p.ends[0], back, sizeof back), static_cast<ssize_t>(held.size()));
    EXPECT_EQ(std::string(back), held);
}

}  // namespace
