// The command timer's clock and the text it makes of an interval.
#pragma once

// Seconds since this routine's first call, read from the monotonic clock with
// nanosecond resolution; -1.0 when the clock cannot be read.
double secs();

// An interval in seconds as text for people: nanoseconds, microseconds, or
// [N day(s) ]hh:mm:ss.uuuuuu, each with "negative " in front when below zero.
// The text lives in a static buffer that the next call overwrites.
const char *prettifyInterval(double seconds);
