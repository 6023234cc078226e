// Well-mixed values from the real-time clock, for seeding a generator. Every
// clock reading is fed, with a changing counter, into one SHA-256 context that
// runs for the whole process; each result comes from the digest of all that
// was fed so far. One digest serves four 64-bit words.
#pragma once

#include <cstddef>
#include <cstdint>

extern char RCS_ID_HASHTIME[];

uint64_t hashTime();    // the next word of the current digest
uint32_t hashTime32();  // the low 32 bits of the next word (uses a whole word)
uint64_t hTAC32();      // the same result and effects as hashTime

// From now on every digest takes `reading` where it would take the clock's
// reading (seconds x 10^9 + nanoseconds): the same value, fixed before the
// first digest, always gives the same words, on every system.
void hashTime_fixReading(uint64_t reading);

// Fills n bytes, each 32 (and a shorter tail) from a fresh digest. Leaves the
// words of the three functions above alone. Returns 0, or 1 with
// errno = EINVAL when dst is null.
int hashTime_bytes(void *dst, size_t n);
