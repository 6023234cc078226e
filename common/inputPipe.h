// Input that comes through a pipe.
#pragma once

// A pipe holds 64 KiB unless asked for more. A writer that hands over more
// at a time (most do: 128 KiB is common) then waits for the reader in the
// middle of every write, and the two take turns at each piece instead of
// running side by side; moving the bytes took three times as long here.
// When `fd` is a pipe that holds less, this asks the system to let it hold
// kWidePipe bytes, or failing that a quarter of it. A pipe that cannot grow
// (a user over the system's limit on pipe memory, say) stays as it is: that
// costs time only. Anything that is not a pipe is left alone.
inline constexpr int kWidePipe = 1 << 20;
void widenInputPipe(int fd);
