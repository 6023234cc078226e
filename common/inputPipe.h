// Input that comes through a pipe.
#pragma once

// A pipe holds sixteen pages unless asked for more: 64 KiB where pages are
// 4 KiB. A writer that hands over more at a time (most do: 128 KiB is
// common) then waits for the reader in the middle of every write, and the
// two take turns at each piece instead of running side by side; moving the
// bytes took about three times as long here. When `fd` is a pipe that holds
// less, this asks the system to let it hold kWidePipe bytes: more measured
// no faster, and every pipe a user widens counts against the system's limit
// on that user's pipe memory. A pipe that holds as much already (1 MiB where
// pages are 64 KiB, as on POWER) is never narrowed, and one that cannot grow
// stays as it is, which costs only time; anything that is not a pipe is
// left alone.
inline constexpr int kWidePipe = 1 << 18;
void widenInputPipe(int fd);
