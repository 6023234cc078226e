// The records and the comparison function that the sort benchmark orders
// them by, kept in a file of their own so that no sorter can inline it.
#pragma once

#include <cstdint>

struct TallyRecord {
    std::int64_t count;
    std::uint8_t value;
};
static_assert(sizeof(TallyRecord) == 16, "a tally record is 16 bytes");

// Comparisons made by the counting function since the last reset.
extern long benchComparisons;

// Orders records by descending count.
int compareByDescendingCount(const void *x, const void *y);

// The same order, counting its calls in benchComparisons. Only the untimed
// runs that count comparisons use it, so that the count's memory traffic
// stays out of the timings.
int countingCompareByDescendingCount(const void *x, const void *y);
