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

TEST(InputPipe, GrowsAndKeepsItsBytes) {
    Pipe p;
    const int before = fcntl(p.ends[0], F_GETPIPE_SZ);
    ASSERT_LT(before, kWidePipe);
    const std::string held = "bytes written before the pipe grows\n";
    ASSERT_EQ(write(p.ends[1], held.data(), held.size()), static_cast<ssize_t>(held.size()));
    widenInputPipe(p.ends[0]);
    const int after = fcntl(p.ends[0], F_GETPIPE_SZ);
    EXPECT_EQ(after, kWidePipe);
    char back[64] = {};
    ASSERT_EQ(read(p.ends[0], back, sizeof back), static_cast<ssize_t>(held.size()));
    EXPECT_EQ(std::string(back), held);
}

}  // namespace
