// The benchmark's comparison function: descending count, counting calls.
#include "timsortBenchCompare.h"

long benchComparisons = 0;

int compareByDescendingCount(const void *x, const void *y) {
    ++benchComparisons;
    const std::int64_t cx = static_cast<const TallyRecord *>(x)->count;
    const std::int64_t cy = static_cast<const TallyRecord *>(y)->count;
    return cx > cy ? -1 : cx < cy ? 1 : 0;
}
