// The records and the comparison function that the sort benchmark orders
// them by, kept in a file of their own so that no sorter can inline it.
#pragma once

#include <cstdint>

struct TallyRecord {
    std::int64_t count;
    std::uint8_t value;
};
static_assert(sizeof(TallyRecord) == 16, "a tally record is 16 bytes");

// Comparisons made since the last reset.
extern long benchComparisons;

// Orders records by descending count.
int compareByDescendingCount(const void *x, const void *y);
