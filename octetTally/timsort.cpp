// The sort's entry: the choice of the width instance, the set-up of a full
// sort and the run-stack push. The body of the sort is in timsort-impl.h.
#include "timsort.h"

#include <cerrno>
#include <cstdio>
#include <cstdint>
#include <cstdlib>

#include "platform.h"
#include "timsort-impl.h"

char timsort_rcsid[] = "$Id: timsort.c,v 1.12 2024-09-02 11:52:17-04 devteam Exp $";

namespace {

// Writes the standard assertion message, "prog: file:line: routine:
// Assertion `expr' failed.", and aborts. The routine is named by its
// instance (mergeHi_16), never by a template signature, and the file by its
// base name.
[[noreturn]] void checkFailed(const char *expr, const char *file, unsigned line,
                              const char *routine, const char *suffix) {
    // The C library's own assertions name the program as it was invoked;
    // where that name is not on offer, the message starts at the file.
    const char *prog = invocationShortName();
    std::fprintf(stderr, "%s%s%s:%u: %s%s: Assertion `%s' failed.\n", prog,
                 prog[0] != '\0' ? ": " : "", file, line, routine, suffix, expr);
    std::fflush(stderr);
    std::abort();
}

// The routines of this file exist once: their checks carry no suffix.
constexpr std::size_t W = kSingleInstance;

// Run-stack capacity for `len` elements. With the balance rules of
// mergeUntilBalanced kept (A > B + C and B > C for every three neighbours),
// the pending run lengths grow at least like Fibonacci numbers from the top
// of the stack down, and the capacities below come from that growth. One
// case needs more: the run just pushed is not yet balanced against the
// others, so an array can leave one run more pending than its capacity
// (256 elements in runs of 87, 52, 34, 17, 16 and 50 need six places of
// five). The sort then merges before the push, as its final merging does,
// rather than enlarge the stack; pushRun checks that no push overflows.
std::size_t stackLenFor(std::size_t len) {
    if (len < 359) {
        return 5;
    }
    if (len < 4220) {
        return 10;
    }
    if (len < 76210) {
        return 16;
    }
#if SIZE_MAX > 0xFFFFFFFFu
    if (len < 4885703256ULL) {
        return 39;
    }
    return 85;
#else
    return 39;  // every length a 32-bit size can hold
#endif
}

// Sets up a full sort of `len` elements: the merge buffer (half the array
// or TMP_START_LEN elements) and the run stack. Returns 0, or -1 with both
// released when either allocation failed.
int timsort_init(TimsortState *ts, char *a, std::size_t len, TimsortCompare c, std::size_t width) {
    TIMSORT_CHECK(ts);
    TIMSORT_CHECK(a || !len);
    TIMSORT_CHECK(c);
    ts->a = a;
    ts->len = len;
    ts->c = c;
    ts->gallopThreshold = GALLOP_LIMIT;
    ts->stackSize = 0;
    ts->tmpLen = len < 2 * TMP_START_LEN ? len / 2 : TMP_START_LEN;
    ts->tmp = static_cast<char *>(std::malloc(ts->tmpLen * width));
    ts->stackLen = stackLenFor(len);
    ts->run = static_cast<PendingRun *>(std::malloc(ts->stackLen * sizeof(PendingRun)));
    if (ts->tmp != nullptr && ts->run != nullptr) {
        return 0;
    }
    std::free(ts->tmp);
    std::free(ts->run);
    return -1;
}

void pushRun(TimsortState *ts, char *base, std::size_t len) {
    TIMSORT_CHECK(ts->stackSize < ts->stackLen);
    ts->run[ts->stackSize].base = base;
    ts->run[ts->stackSize].len = len;
    ++ts->stackSize;
}

}  // namespace

int timsort(void *a, std::size_t nel, std::size_t width, int (*c)(const void *, const void *)) {
    if (width == 16) {
        return timsort_16(a, nel, width, c);
    }
    if (width == 8) {
        return timsort_8(a, nel, width, c);
    }
    if (width == 4) {
        return timsort_4(a, nel, width, c);
    }
    return timsort_width(a, nel, width, c);
}
