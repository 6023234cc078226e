// The benchmark's comparison functions: descending count, plain and counting.
#include "timsortBenchCompare.h"

long benchComparisons = 0;

int compareByDescendingCount(const void *x, const void *y) {
    const std::int64_t cx = static_cast<const TallyRecord *>(x)->count;
    const std::int64_t cy = static_cast<const TallyRecord *>(y)->count;
    return cx > cy ? -1 : cx < cy ? 1 : 0;
}

int countingCompareByDescendingCount(const void *x, const void *y) {
    ++benchComparisons;
    return compareByDescendingCount(x, y);
}
