// Time hashing: clock readings and a counter, absorbed by one running SHA-256
// context; results are digests of a finished copy of it. The context is never
// reset, so no two digests of a process cover the same input, even when the
// clock has not moved between them.
#include "hashTime.h"

#include <cerrno>
#include <cstring>
#include <ctime>

#include <unistd.h>

#include "sha256.h"

char RCS_ID_HASHTIME[] = "$Id: hashTime.c,v 1.12 2020-07-08 15:44:10-04 devteam Exp $";

namespace {

constexpr uint64_t kDifferStart = 0x0DF6273A267833BFull;
constexpr uint64_t kDifferMultiplier = 0x2DBA9A6621FE1399ull;
constexpr uint64_t kNanosecondsPerSecond = 1000000000ull;
constexpr uint32_t kWordsPerDigest = 4;

uint32_t idx = kWordsPerDigest;  // no word left: the first request hashes
uint64_t hash64[kWordsPerDigest];
uint64_t differ = 0;  // 0: not started yet
uint64_t delta = 0;
sha256_ctx ctx;
sha256_ctx temp_ctx;
uint8_t sha256sum[32];
bool readingFixed = false;
uint64_t fixedReading;

// Stands in for a clock reading that failed. It must still tell calls and
// processes apart: a count of failed readings spread over the high bits,
// the process id, and the address of a local variable (which moves from
// process to process where addresses are randomised).
uint64_t stopgapReading() {
    static uint64_t failedReadings = 0;
    ++failedReadings;
    int local = 0;
    uint64_t address = reinterpret_cast<uintptr_t>(&local);
    return (failedReadings * kDifferMultiplier) ^ (uint64_t(getpid()) << 32) ^ address;
}

void putLittleEndian(uint8_t out[8], uint64_t v) {
    for (int i = 0; i < 8; ++i) out[i] = uint8_t(v >> (8 * i));
}

// Takes a new clock reading and leaves a new digest in sha256sum.
void hasher() {
    struct timespec now;
    uint64_t reading;
    if (readingFixed) {
        reading = fixedReading;
    } else if (clock_gettime(CLOCK_REALTIME, &now) == 0) {
        // s * 10^9 + ns as a signed 64-bit number; computed unsigned so that
        // it wraps instead of overflowing, which gives the same bytes.
        reading = uint64_t(now.tv_sec) * kNanosecondsPerSecond + uint64_t(now.tv_nsec);
    } else {
        reading = stopgapReading();
    }

    if (differ == 0) {
        differ = kDifferStart;
        sha256_starts(&ctx);
    }
    // differ grows by 1, 2, 3, ...: the new value uses the old step.
    differ = differ + delta + 1;
    delta = delta + 1;

    uint8_t record[16];
    putLittleEndian(record, kDifferMultiplier * differ);
    putLittleEndian(record + 8, reading);
    sha256_update(&ctx, record, sizeof record);

    temp_ctx = ctx;
    sha256_finish(&temp_ctx, sha256sum);
}

}  // namespace

uint64_t hashTime() {
    if (idx >= kWordsPerDigest) {
        hasher();
        // Word i is digest bytes 8i to 8i+7, the first the least significant.
        for (uint32_t i = 0; i < kWordsPerDigest; ++i) {
            uint64_t word = 0;
            for (int b = 7; b >= 0; --b) word = (word << 8) | sha256sum[8 * i + uint32_t(b)];
            hash64[i] = word;
        }
        idx = 0;
    }
    return hash64[idx++];
}

void hashTime_fixReading(uint64_t reading) {
    fixedReading = reading;
    readingFixed = true;
}

uint32_t hashTime32() { return uint32_t(hashTime() & 0xFFFFFFFFu); }

uint64_t hTAC32() { return hashTime(); }

int hashTime_bytes(void *dst, size_t n) {
    if (dst == nullptr) {
        errno = EINVAL;
        return 1;
    }
    uint8_t *out = static_cast<uint8_t *>(dst);
    while (n > 0) {
        hasher();
        size_t take = n < sizeof sha256sum ? n : sizeof sha256sum;
        std::memcpy(out, sha256sum, take);
        out += take;
        n -= take;
    }
    return 0;
}
