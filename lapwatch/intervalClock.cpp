// Monotonic clock readings relative to a base taken on the first call, and
// the formatting of intervals for the command timer's report.
#include "intervalClock.h"

#include <cmath>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <ctime>

namespace {

constexpr int64_t kNanosecondsPerSecond = 1000000000;
constexpr double kSecondsPerDay = 86400.0;

bool readNanoseconds(int64_t *nanoseconds) {
    struct timespec now;
    if (clock_gettime(CLOCK_MONOTONIC, &now) != 0) return false;
    *nanoseconds = static_cast<int64_t>(now.tv_sec) * kNanosecondsPerSecond + now.tv_nsec;
    return true;
}

// Appends formatted text at the end of the result, never past the room left,
// and takes what it wrote from the room.
struct TextRoom {
    char *end;
    int room;
};

[[gnu::format(printf, 2, 3)]] void append(TextRoom *text, const char *format, ...) {
    va_list args;
    va_start(args, format);
    int written = std::vsnprintf(text->end, static_cast<size_t>(text->room) + 1, format, args);
    va_end(args);
    if (written < 0) return;
    if (written > text->room) written = text->room;
    text->end += written;
    text->room -= written;
}

}  // namespace

double secs() {
    static bool needBaseTime = true;
    static int64_t base_ns = 0;
    if (needBaseTime) {
        // A failed base reading leaves the base untaken for the next call.
        if (!readNanoseconds(&base_ns)) return -1.0;
        needBaseTime = false;
    }
    int64_t now_ns = 0;
    if (!readNanoseconds(&now_ns)) return -1.0;
    return static_cast<double>(static_cast<uint64_t>(now_ns - base_ns)) * 1e-9;
}

const char *prettifyInterval(double seconds) {
    static char str[50];
    TextRoom text = {str, 49};
    str[0] = '\0';
    if (seconds < 0) {
        append(&text, "negative ");
        text.room = 40;
        seconds = -seconds;
    }
    if (seconds >= 1) {
        // Round once, to whole microseconds, so that a fraction just short of
        // a second carries into the seconds and on into the larger units.
        double totalMicros = std::floor(seconds * 1e6 + 0.5);
        double totalSeconds = std::floor(totalMicros / 1e6);
        double micros = totalMicros - totalSeconds * 1e6;
        double days = std::floor(totalSeconds / kSecondsPerDay);
        double inDay = totalSeconds - days * kSecondsPerDay;
        double hours = std::floor(inDay / 3600.0);
        double minutes = std::floor((inDay - hours * 3600.0) / 60.0);
        double secondsOfMinute = inDay - hours * 3600.0 - minutes * 60.0;
        if (days > 0) {
            append(&text, "%g day%s ", days, days > 1 ? "s" : "");
        }
        append(&text, "%02.0f:%02.0f:%02.0f.%06.0f", hours, minutes, secondsOfMinute, micros);
    } else if (seconds >= 0.000001) {
        append(&text, "%.2f microseconds", seconds * 1e6);
    } else {
        append(&text, "%.0f nanoseconds", seconds * 1e9);
    }
    return str;
}
