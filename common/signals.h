// Facts about signals that differ from system to system, settled here once so
// that the tools use them plainly: which signals end a process, and whether a
// terminal sent one.
#pragma once

#include <signal.h>

// More than the catchable signals of any system the suite builds for: signal
// numbers stay below 128 everywhere (Linux on MIPS has the most, up to 127).
inline constexpr int kMaxEndingSignals = 128;

// Every signal whose default action ends the process and that a handler can
// catch (SIGKILL cannot, and is not among them): the standard ones, those that
// only some systems have, and the real-time range. The first `capacity` of
// them go to `out`, in no order to rely on; the return is how many there are
// in all, which a caller compares with its capacity.
int endingSignals(int *out, int capacity);

// Whether a SIGINT or SIGQUIT was sent by a terminal for its keyboard (or a
// break) rather than by a process.
bool sentByTerminal(const siginfo_t *info);
