// The body of the sort, written once in terms of the element width W and
// stamped out for W = 4, 8 and 16 (fixed-size moves) and W = 0, the generic
// instance that takes the width as its last argument. Each instance reports
// itself under its suffixed name (mergeHi_16, binarySort_width, ...).
//
// Every routine here is internal to the library: the header is included by
// timsort.cpp alone, and everything lives in an unnamed namespace.
#pragma once

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <type_traits>

namespace {

using TimsortCompare = int (*)(const void *, const void *);

// Arrays of fewer elements are sorted by binary insertion alone; also the
// bound of the minimum-run computation.
constexpr std::size_t SHORT_SORT_LIMIT = 32;
// Start value of the galloping threshold, and the length a gallop must reach
// for a merge to keep galloping.
constexpr std::size_t GALLOP_LIMIT = 7;
// Merge-buffer capacity, in elements, at the start of a sort of 512 or more.
constexpr std::size_t TMP_START_LEN = 256;
// The generic instance keeps its one-element scratch on the stack up to this
// width; wider elements are swapped and inserted piecewise, in place.
constexpr std::size_t SCRATCH_BYTES = 256;

// A sorted run not yet merged: `len` (never 0) elements from `base`.
struct PendingRun {
    char *base;
    std::size_t len;
};

// The state of one full sort (32 elements or more).
struct TimsortState {
    char *a;                      // first element of the whole array
    std::size_t len;              // elements in the whole array
    TimsortCompare c;             // the caller's comparison function
    std::size_t gallopThreshold;  // wins in a row that switch a merge to galloping
    char *tmp;                    // merge buffer, holds tmpLen elements
    std::size_t tmpLen;
    std::size_t stackSize;        // pending runs on the run stack
    std::size_t stackLen;         // capacity of the run stack, fixed for the call
    PendingRun *run;              // the run stack
};
// The run stack is allocated by the entry; its size in bytes is what the
// tests see of it.
static_assert(sizeof(PendingRun) == sizeof(char *) + sizeof(std::size_t),
              "a pending run is its base and its length, without padding");

// Defined in timsort.cpp.
[[noreturn]] void checkFailed(const char *expr, const char *file, unsigned line,
                              const char *routine, const char *suffix);
int timsort_init(TimsortState *ts, char *a, std::size_t len, TimsortCompare c, std::size_t width);
void pushRun(TimsortState *ts, char *base, std::size_t len);

// A check that stays in every build: on failure it writes the standard
// assertion message naming the expression, the routine's instance, the
// source file's base name and the line, then aborts. The instance is the
// routine's own name (__func__, which is the bare name in a template) and
// the suffix of the width W in scope.
#define TIMSORT_CHECK(expr)                                                                   \
    ((expr) ? static_cast<void>(0)                                                            \
            : checkFailed(#expr, __FILE_NAME__, static_cast<unsigned>(__LINE__), __func__, \
                          instanceSuffix<W>()))

// The address of the element `i` places after `base`; every routine that
// uses it has its `width` at hand.
#define ELEM(base, i) ((base) + (i) * width)

// The W of the routines that exist once (timsort_init, pushRun): no suffix.
constexpr std::size_t kSingleInstance = 1;

template <std::size_t W>
constexpr const char *instanceSuffix() {
    static_assert(W == 0 || W == 4 || W == 8 || W == 16 || W == kSingleInstance,
                  "instances are _4, _8, _16 and _width");
    if constexpr (W == kSingleInstance) {
        return "";
    } else if constexpr (W == 4) {
        return "_4";
    } else if constexpr (W == 8) {
        return "_8";
    } else if constexpr (W == 16) {
        return "_16";
    } else {
        return "_width";
    }
}

// The fixed instances have their width built in; the generic one takes it
// from its last argument.
template <std::size_t W>
constexpr std::size_t widthOf(std::size_t givenWidth) {
    return W != 0 ? W : givenWidth;
}

// Copies to `dest` the element at `ifOne` when `take` is 1, the one at
// `ifZero` when it is 0. The fixed widths load both and select with a mask,
// so that no branch depends on the comparison that decided `take`.
template <std::size_t W>
void copySelected(char *dest, const char *ifZero, const char *ifOne, std::size_t take,
                  std::size_t width) {
    if constexpr (W != 0) {
        using Word = std::conditional_t<W % 8 == 0, std::uint64_t, std::uint32_t>;
        constexpr std::size_t words = W / sizeof(Word);
        Word x[words];
        Word y[words];
        std::memcpy(x, ifZero, W);
        std::memcpy(y, ifOne, W);
        const Word mask = Word{0} - static_cast<Word>(take);
        for (std::size_t i = 0; i < words; ++i) {
            x[i] ^= (x[i] ^ y[i]) & mask;
        }
        std::memcpy(dest, x, W);
    } else {
        std::memcpy(dest, take != 0 ? ifOne : ifZero, width);
    }
}

template <std::size_t W>
void swapElements(char *p, char *q, std::size_t width) {
    if constexpr (W != 0) {
        unsigned char scratch[W];
        std::memcpy(scratch, p, W);
        std::memcpy(p, q, W);
        std::memcpy(q, scratch, W);
    } else {
        unsigned char scratch[SCRATCH_BYTES];
        for (std::size_t done = 0; done < width; done += SCRATCH_BYTES) {
            std::size_t piece = width - done < SCRATCH_BYTES ? width - done : SCRATCH_BYTES;
            std::memcpy(scratch, p + done, piece);
            std::memcpy(p + done, q + done, piece);
            std::memcpy(q + done, scratch, piece);
        }
    }
}

// Reverses the `hi` elements from `lo` in place.
template <std::size_t W>
void reverseRange(char *lo, std::size_t hi, std::size_t givenWidth) {
    const std::size_t width = widthOf<W>(givenWidth);
    TIMSORT_CHECK(hi > 0);
    for (std::size_t i = 0, j = hi - 1; i < j; ++i, --j) {
        swapElements<W>(ELEM(lo, i), ELEM(lo, j), width);
    }
}

// Binary insertion sort of the `hi` elements from `lo`, of which the first
// `start` are already in order.
template <std::size_t W>
void binarySort(char *lo, std::size_t hi, std::size_t start, TimsortCompare c,
                std::size_t givenWidth) {
    const std::size_t width = widthOf<W>(givenWidth);
    TIMSORT_CHECK(start <= hi);
    if (start == 0) {
        start = 1;
    }
    for (; start < hi; ++start) {
        // The pivot stays in its slot during the search.
        char *pivot = ELEM(lo, start);
        std::size_t left = 0;
        std::size_t count = start;
        // Written as selections rather than branches: on unordered input
        // the outcome of each comparison is a coin toss that a branch
        // would keep mispredicting.
        while (count > 0) {
            const std::size_t half = count / 2;
            const std::size_t after = 0 - static_cast<std::size_t>(c(pivot, ELEM(lo, left + half)) >= 0);
            left += (half + 1) & after;
            count = half ^ ((half ^ (count - half - 1)) & after);
        }
        // `left` is past every element equal to the pivot: stable.
        if (W != 0 || width <= SCRATCH_BYTES) {
            unsigned char scratch[W != 0 ? W : SCRATCH_BYTES];
            std::memcpy(scratch, pivot, width);
            std::memmove(ELEM(lo, left + 1), ELEM(lo, left), (start - left) * width);
            std::memcpy(ELEM(lo, left), scratch, width);
        } else {
            // Too wide for the scratch: walk the pivot down by swaps.
            for (std::size_t k = start; k > left; --k) {
                swapElements<W>(ELEM(lo, k - 1), ELEM(lo, k), width);
            }
        }
    }
}

// Finds the run that starts at `lo` among the `n` elements left, makes it
// ascending in place and returns its length. Only strictly descending runs
// are reversed, so equal elements never change their order. The later
// element is always the first argument of a comparison.
template <std::size_t W>
std::size_t countRunAndMakeAscending(char *lo, std::size_t n, TimsortCompare c,
                                     std::size_t givenWidth) {
    const std::size_t width = widthOf<W>(givenWidth);
    if (n == 1) {
        return 1;
    }
    std::size_t hi = 2;
    if (c(ELEM(lo, 1), lo) < 0) {
        while (hi < n && c(ELEM(lo, hi), ELEM(lo, hi - 1)) < 0) {
            ++hi;
        }
        reverseRange<W>(lo, hi, width);
    } else {
        while (hi < n && c(ELEM(lo, hi), ELEM(lo, hi - 1)) >= 0) {
            ++hi;
        }
    }
    return hi;
}

// The minimum run length for `n` elements: n itself below 32, otherwise
// between 16 and 32, chosen so that n / minRun is a power of two or a little
// below one, which keeps the final merges balanced.
std::size_t computeMinRun(std::size_t n) {
    std::size_t r = 0;
    while (n >= SHORT_SORT_LIMIT) {
        r |= n & 1;
        n >>= 1;
    }
    return n + r;
}

// Makes room in the merge buffer for `need` elements: the next power of two
// above `need`, never more than half the array. The old contents are not
// kept. Returns the buffer, or null when it could not be allocated.
template <std::size_t W>
char *growTmp(TimsortState *ts, std::size_t need, std::size_t givenWidth) {
    const std::size_t width = widthOf<W>(givenWidth);
    if (ts->tmpLen >= need) {
        return ts->tmp;
    }
    // The next power of two above need: every bit below the highest set,
    // for whatever width a size has here.
    std::size_t newLen = need;
    for (unsigned shift = 1; shift < std::numeric_limits<std::size_t>::digits; shift *= 2) {
        newLen |= newLen >> shift;
    }
    newLen += 1;
    if (newLen > ts->len / 2) {
        newLen = ts->len / 2;
    }
    if (newLen == 0) {  // the power of two wrapped round
        newLen = need;
    }
    std::free(ts->tmp);
    ts->tmpLen = newLen;
    ts->tmp = static_cast<char *>(std::malloc(newLen * width));
    return ts->tmp;
}

// The leftmost place of `key` in the sorted `len` elements from `base`:
// every element before it orders before `key`. The search starts at `hint`
// with offsets 1, 3, 7, 15, ... and then narrows by halving.
template <std::size_t W>
std::size_t gallopLeft(const char *key, const char *base, std::size_t len, std::size_t hint,
                       TimsortCompare c, std::size_t givenWidth) {
    const std::size_t width = widthOf<W>(givenWidth);
    TIMSORT_CHECK(len > 0 && hint < len);
    std::size_t lastOfs = 0;
    std::size_t ofs = 1;
    if (c(key, ELEM(base, hint)) > 0) {
        // key > base[hint]: look right, until base[hint + lastOfs] < key <= base[hint + ofs].
        const std::size_t maxOfs = len - hint;
        while (ofs < maxOfs && c(key, ELEM(base, hint + ofs)) > 0) {
            lastOfs = ofs;
            ofs = 2 * ofs + 1;
        }
        if (ofs > maxOfs) {
            ofs = maxOfs;
        }
        lastOfs = hint + lastOfs + 1;
        ofs = hint + ofs;
    } else {
        // key <= base[hint]: look left, until base[hint - ofs] < key <= base[hint - lastOfs].
        const std::size_t maxOfs = hint + 1;
        while (ofs < maxOfs && c(key, ELEM(base, hint - ofs)) <= 0) {
            lastOfs = ofs;
            ofs = 2 * ofs + 1;
        }
        if (ofs > maxOfs) {
            ofs = maxOfs;
        }
        const std::size_t oldLastOfs = lastOfs;
        lastOfs = hint + 1 - ofs;
        ofs = hint - oldLastOfs;
    }
    // The place is in lastOfs .. ofs: base[lastOfs - 1] < key <= base[ofs].
    TIMSORT_CHECK(lastOfs <= ofs && ofs <= len);
    while (lastOfs < ofs) {
        const std::size_t m = lastOfs + (ofs - lastOfs) / 2;
        if (c(key, ELEM(base, m)) > 0) {
            lastOfs = m + 1;
        } else {
            ofs = m;
        }
    }
    TIMSORT_CHECK(lastOfs == ofs);
    return ofs;
}

// The rightmost place of `key`: every element before it orders before or
// equal to `key`, every element from it on after `key`.
template <std::size_t W>
std::size_t gallopRight(const char *key, const char *base, std::size_t len, std::size_t hint,
                        TimsortCompare c, std::size_t givenWidth) {
    const std::size_t width = widthOf<W>(givenWidth);
    TIMSORT_CHECK(len > 0 && hint < len);
    std::size_t lastOfs = 0;
    std::size_t ofs = 1;
    if (c(key, ELEM(base, hint)) < 0) {
        // key < base[hint]: look left, until base[hint - ofs] <= key < base[hint - lastOfs].
        const std::size_t maxOfs = hint + 1;
        while (ofs < maxOfs && c(key, ELEM(base, hint - ofs)) < 0) {
            lastOfs = ofs;
            ofs = 2 * ofs + 1;
        }
        if (ofs > maxOfs) {
            ofs = maxOfs;
        }
        const std::size_t oldLastOfs = lastOfs;
        lastOfs = hint + 1 - ofs;
        ofs = hint - oldLastOfs;
    } else {
        // base[hint] <= key: look right, until base[hint + lastOfs] <= key < base[hint + ofs].
        const std::size_t maxOfs = len - hint;
        while (ofs < maxOfs && c(key, ELEM(base, hint + ofs)) >= 0) {
            lastOfs = ofs;
            ofs = 2 * ofs + 1;
        }
        if (ofs > maxOfs) {
            ofs = maxOfs;
        }
        lastOfs = hint + lastOfs + 1;
        ofs = hint + ofs;
    }
    TIMSORT_CHECK(lastOfs <= ofs && ofs <= len);
    while (lastOfs < ofs) {
        const std::size_t m = lastOfs + (ofs - lastOfs) / 2;
        if (c(key, ELEM(base, m)) < 0) {
            ofs = m;
        } else {
            lastOfs = m + 1;
        }
    }
    TIMSORT_CHECK(lastOfs == ofs);
    return ofs;
}

// Merges run 1 (base1, len1) and the run right after it (base2, len2), with
// len1 <= len2, from the left. Run 1 is copied into the merge buffer; the
// trimming in mergeAt guarantees that run 2's first element goes first and
// run 1's last element goes last, so run 1 must be the run that lasts.
template <std::size_t W>
int mergeLo(TimsortState *ts, char *base1, std::size_t len1, char *base2, std::size_t len2,
            std::size_t givenWidth) {
    const std::size_t width = widthOf<W>(givenWidth);
    TIMSORT_CHECK(len1 > 0 && len2 > 0 && ELEM(base1, len1) == base2);
    char *tmp = growTmp<W>(ts, len1, width);
    if (tmp == nullptr) {
        return -1;
    }
    std::memcpy(tmp, base1, len1 * width);
    const char *cursor1 = tmp;
    char *cursor2 = base2;
    char *dest = base1;
    const TimsortCompare c = ts->c;

    std::memcpy(dest, cursor2, width);
    dest += width;
    cursor2 += width;
    if (--len2 == 0) {
        std::memcpy(dest, cursor1, len1 * width);
        return 0;
    }
    if (len1 == 1) {
        std::memmove(dest, cursor2, len2 * width);
        std::memcpy(ELEM(dest, len2), cursor1, width);
        return 0;
    }

    std::size_t g = ts->gallopThreshold;
    for (;;) {
        std::size_t count1 = 0;  // elements taken from run 1 in a row
        std::size_t count2 = 0;  // elements taken from run 2 in a row

        // One at a time, until one run wins g times in a row. Each step
        // selects its source instead of branching on the comparison, whose
        // outcome is unpredictable on unordered input; the one branch left
        // is the loop's, taken until a run ends or wins g times.
        do {
            TIMSORT_CHECK(len1 > 1 && len2 > 0);
            const std::size_t fromRun2 = c(cursor2, cursor1) < 0;
            const std::size_t fromRun1 = 1 - fromRun2;
            copySelected<W>(dest, cursor1, cursor2, fromRun2, width);
            dest += width;
            cursor2 += fromRun2 * width;
            cursor1 += fromRun1 * width;
            count2 = (count2 + 1) * fromRun2;
            count1 = (count1 + 1) * fromRun1;
            len2 -= fromRun2;
            len1 -= fromRun1;
        } while (len2 != 0 && len1 != 1 && count1 < g && count2 < g);
        if (len2 == 0 || len1 == 1) {
            goto finish;
        }

        // Galloping, while either gallop finds a stretch of GALLOP_LIMIT or more.
        do {
            TIMSORT_CHECK(len1 > 1 && len2 > 0);
            count1 = gallopRight<W>(cursor2, cursor1, len1, 0, c, width);
            if (count1 != 0) {
                std::memcpy(dest, cursor1, count1 * width);
                dest += count1 * width;
                cursor1 += count1 * width;
                len1 -= count1;
                if (len1 <= 1) {  // 0 only when the comparison function is inconsistent
                    goto finish;
                }
            }
            std::memcpy(dest, cursor2, width);
            dest += width;
            cursor2 += width;
            if (--len2 == 0) {
                goto finish;
            }

            count2 = gallopLeft<W>(cursor1, cursor2, len2, 0, c, width);
            if (count2 != 0) {
                std::memmove(dest, cursor2, count2 * width);
                dest += count2 * width;
                cursor2 += count2 * width;
                len2 -= count2;
                if (len2 == 0) {
                    goto finish;
                }
            }
            std::memcpy(dest, cursor1, width);
            dest += width;
            cursor1 += width;
            if (--len1 == 1) {
                goto finish;
            }
            if (g > 0) {
                --g;
            }
        } while (count1 >= GALLOP_LIMIT || count2 >= GALLOP_LIMIT);
        g += 2;  // galloping stopped paying: make it harder to enter again
    }

finish:
    ts->gallopThreshold = g != 0 ? g : 1;
    if (len1 == 1) {
        TIMSORT_CHECK(len2 > 0);
        std::memmove(dest, cursor2, len2 * width);
        std::memcpy(ELEM(dest, len2), cursor1, width);
        return 0;
    }
    if (len1 == 0) {
        // Run 1's last element orders after all that is left of run 2, yet
        // it was used up first. Here dest has caught up with cursor2, so the
        // array still holds every element once.
        errno = EINVAL;
        return -1;
    }
    TIMSORT_CHECK(len2 == 0);
    std::memcpy(dest, cursor1, len1 * width);
    return 0;
}

// The mirror image of mergeLo, with len1 > len2: run 2 is copied aside and
// the merge runs from the right. Cursors point at the last element not yet
// placed and are stepped down only while their run has elements left, so
// that no pointer is ever formed below its run.
template <std::size_t W>
int mergeHi(TimsortState *ts, char *base1, std::size_t len1, char *base2, std::size_t len2,
            std::size_t givenWidth) {
    const std::size_t width = widthOf<W>(givenWidth);
    TIMSORT_CHECK(len1 > 0 && len2 > 0 && ELEM(base1, len1) == base2);
    char *tmp = growTmp<W>(ts, len2, width);
    if (tmp == nullptr) {
        return -1;
    }
    std::memcpy(tmp, base2, len2 * width);
    char *cursor1 = ELEM(base1, len1 - 1);
    const char *cursor2 = ELEM(tmp, len2 - 1);
    char *dest = ELEM(base2, len2 - 1);
    const TimsortCompare c = ts->c;

    // Run 1's last element goes last; run 1 keeps at least one (len1 > len2 >= 1).
    std::memcpy(dest, cursor1, width);
    dest -= width;
    cursor1 -= width;
    --len1;
    if (len2 == 1) {
        std::memmove(ELEM(base1, 1), base1, len1 * width);
        std::memcpy(base1, tmp, width);
        return 0;
    }

    std::size_t g = ts->gallopThreshold;
    for (;;) {
        std::size_t count1 = 0;
        std::size_t count2 = 0;

        // One at a time, selecting rather than branching as in mergeLo. The
        // cursors are worked out from the lengths, so that none steps below
        // its run when the run ends.
        do {
            TIMSORT_CHECK(len1 > 0 && len2 > 1);
            cursor1 = ELEM(base1, len1 - 1);
            cursor2 = ELEM(tmp, len2 - 1);
            const std::size_t fromRun1 = c(cursor2, cursor1) < 0;
            const std::size_t fromRun2 = 1 - fromRun1;
            copySelected<W>(dest, cursor2, cursor1, fromRun1, width);
            dest -= width;
            count1 = (count1 + 1) * fromRun1;
            count2 = (count2 + 1) * fromRun2;
            len1 -= fromRun1;
            len2 -= fromRun2;
        } while (len1 != 0 && len2 != 1 && count1 < g && count2 < g);
        if (len1 == 0 || len2 == 1) {
            goto finish;
        }
        cursor1 = ELEM(base1, len1 - 1);
        cursor2 = ELEM(tmp, len2 - 1);

        do {
            TIMSORT_CHECK(len1 > 0 && len2 > 1);
            count1 = len1 - gallopRight<W>(cursor2, base1, len1, len1 - 1, c, width);
            if (count1 != 0) {
                // Run 1's elements that order after the buffered one at cursor2.
                len1 -= count1;
                dest -= count1 * width;
                std::memmove(dest + width, ELEM(base1, len1), count1 * width);
                if (len1 == 0) {
                    goto finish;
                }
                cursor1 = ELEM(base1, len1 - 1);
            }
            std::memcpy(dest, cursor2, width);
            dest -= width;
            if (--len2 == 1) {
                goto finish;
            }
            cursor2 -= width;

            count2 = len2 - gallopLeft<W>(cursor1, tmp, len2, len2 - 1, c, width);
            if (count2 != 0) {
                len2 -= count2;
                dest -= count2 * width;
                std::memcpy(dest + width, ELEM(tmp, len2), count2 * width);
                if (len2 <= 1) {  // 0 only when the comparison function is inconsistent
                    goto finish;
                }
                cursor2 = ELEM(tmp, len2 - 1);
            }
            std::memcpy(dest, cursor1, width);
            dest -= width;
            if (--len1 == 0) {
                goto finish;
            }
            cursor1 -= width;
            if (g > 0) {
                --g;
            }
        } while (count1 >= GALLOP_LIMIT || count2 >= GALLOP_LIMIT);
        g += 2;
    }

finish:
    ts->gallopThreshold = g != 0 ? g : 1;
    if (len2 == 1) {
        // What is left of run 1 moves up one slot; the buffered element,
        // run 2's first, goes in front of it.
        TIMSORT_CHECK(len1 > 0);
        std::memmove(ELEM(base1, 1), base1, len1 * width);
        std::memcpy(base1, tmp, width);
        return 0;
    }
    if (len2 == 0) {
        // Run 2's first element orders before all that is left of run 1,
        // yet it was used up first; every element is still present once.
        errno = EINVAL;
        return -1;
    }
    TIMSORT_CHECK(len1 == 0);
    std::memcpy(base1, tmp, len2 * width);
    return 0;
}

// Merges run[i] and run[i+1] into run[i]; i is the second or third run from
// the top of the stack.
template <std::size_t W>
int mergeAt(TimsortState *ts, std::size_t i, std::size_t givenWidth) {
    const std::size_t width = widthOf<W>(givenWidth);
    TIMSORT_CHECK(ts->stackSize >= 2);
    TIMSORT_CHECK(i == ts->stackSize - 2 || i == ts->stackSize - 3);
    char *base1 = ts->run[i].base;
    std::size_t len1 = ts->run[i].len;
    char *base2 = ts->run[i + 1].base;
    std::size_t len2 = ts->run[i + 1].len;
    TIMSORT_CHECK(len1 > 0 && len2 > 0);
    TIMSORT_CHECK(ELEM(base1, len1) == base2);

    // The stack records the merged run before the merge is done; should the
    // merge fail, the sort ends at once and nobody reads the stack again.
    ts->run[i].len = len1 + len2;
    if (i == ts->stackSize - 3) {
        ts->run[i + 1] = ts->run[i + 2];
    }
    --ts->stackSize;

    // Run 1's elements that order before run 2's first are in place already.
    const std::size_t k = gallopRight<W>(base2, base1, len1, 0, ts->c, width);
    base1 = ELEM(base1, k);
    len1 -= k;
    if (len1 == 0) {
        return 0;
    }
    // So are run 2's elements that order after run 1's last.
    len2 = gallopLeft<W>(ELEM(base1, len1 - 1), base2, len2, len2 - 1, ts->c, width);
    if (len2 == 0) {
        return 0;
    }
    // Now run 2's first element orders before run 1's first, and run 1's
    // last after run 2's last; both merges rely on it.
    if (len1 <= len2) {
        return mergeLo<W>(ts, base1, len1, base2, len2, width);
    }
    return mergeHi<W>(ts, base1, len1, base2, len2, width);
}

// Merges pending runs until, for the lengths A, B, C, D of the four top runs
// (from deepest to top), C > D, B > C + D and A > B + C hold wherever the
// runs exist. Looking four deep, not three, is what keeps the invariant true
// all the way down the stack; the capacity that it allows is chosen in
// stackLenFor (timsort.cpp), with the one case that needs more.
template <std::size_t W>
int mergeUntilBalanced(TimsortState *ts, std::size_t width) {
    while (ts->stackSize > 1) {
        std::size_t n = ts->stackSize - 2;
        const PendingRun *run = ts->run;
        if ((n >= 1 && run[n - 1].len <= run[n].len + run[n + 1].len) ||
            (n >= 2 && run[n - 2].len <= run[n - 1].len + run[n].len)) {
            if (run[n - 1].len < run[n + 1].len) {
                --n;
            }
        } else if (run[n].len > run[n + 1].len) {
            return 0;
        }
        const int result = mergeAt<W>(ts, n, width);
        if (result != 0) {
            return result;
        }
    }
    return 0;
}

// One step of the final merging: the top run with the shorter of its
// neighbours.
template <std::size_t W>
int mergeTopRuns(TimsortState *ts, std::size_t width) {
    std::size_t n = ts->stackSize - 2;
    if (n > 0 && ts->run[n - 1].len < ts->run[n + 1].len) {
        --n;
    }
    return mergeAt<W>(ts, n, width);
}

// Merges whatever is pending at the end of the scan down to one run.
template <std::size_t W>
int mergeAllRemaining(TimsortState *ts, std::size_t width) {
    while (ts->stackSize > 1) {
        const int result = mergeTopRuns<W>(ts, width);
        if (result != 0) {
            return result;
        }
    }
    return 0;
}

// The entry of each instance; timsort passes its arguments on unchanged.
// Named timsort so that its checks report timsort_4 ... timsort_width.
template <std::size_t W>
int timsort(void *a, std::size_t nel, std::size_t width, TimsortCompare c) {
    TIMSORT_CHECK(a || !nel || !width);
    TIMSORT_CHECK(c);
    if (nel < 2) {
        return 0;
    }
    if constexpr (W == 0) {
        if (width == 0) {
            return 0;
        }
    }
    width = widthOf<W>(width);
    char *const base = static_cast<char *>(a);
    if (nel < SHORT_SORT_LIMIT) {
        const std::size_t r = countRunAndMakeAscending<W>(base, nel, c, width);
        binarySort<W>(base, nel, r, c, width);
        return 0;
    }

    TimsortState ts;
    if (timsort_init(&ts, base, nel, c, width) != 0) {
        return -1;
    }
    const std::size_t minRun = computeMinRun(nel);
    char *lo = base;
    std::size_t remaining = nel;
    int result = 0;
    while (remaining > 0 && result == 0) {
        std::size_t runLen = countRunAndMakeAscending<W>(lo, remaining, c, width);
        if (runLen < minRun) {
            // Extend a short run to minRun elements (or the rest of the array).
            const std::size_t force = remaining < minRun ? remaining : minRun;
            binarySort<W>(lo, force, runLen, c, width);
            runLen = force;
        }
        // A full stack is the exception described at stackLenFor: make room
        // by merging as the final merging does.
        while (ts.stackSize == ts.stackLen && result == 0) {
            result = mergeTopRuns<W>(&ts, width);
        }
        if (result != 0) {
            break;
        }
        pushRun(&ts, lo, runLen);
        result = mergeUntilBalanced<W>(&ts, width);
        lo = ELEM(lo, runLen);
        remaining -= runLen;
    }
    if (result == 0) {
        result = mergeAllRemaining<W>(&ts, width);
        if (result == 0) {
            TIMSORT_CHECK(ts.stackSize == 1);
        }
    }
    std::free(ts.tmp);
    std::free(ts.run);
    return result;
}

// The instances that timsort chooses between, by the exact width.
inline int timsort_4(void *a, std::size_t nel, std::size_t width, TimsortCompare c) {
    return timsort<4>(a, nel, width, c);
}

inline int timsort_8(void *a, std::size_t nel, std::size_t width, TimsortCompare c) {
    return timsort<8>(a, nel, width, c);
}

inline int timsort_16(void *a, std::size_t nel, std::size_t width, TimsortCompare c) {
    return timsort<16>(a, nel, width, c);
}

inline int timsort_width(void *a, std::size_t nel, std::size_t width, TimsortCompare c) {
    return timsort<0>(a, nel, width, c);
}

}  // namespace
