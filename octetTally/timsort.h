// A stable, adaptive merge sort for arrays of fixed-width elements, ordered
// by a comparison function of the caller's.
#pragma once

#include <cstddef>

// Sorts the `nel` elements of `width` bytes at `a` in place, ascending in the
// order of `c` (negative: first before second, zero: equal, positive: first
// after second), keeping equal elements in their input order. `a` may be null
// only when `nel` or `width` is 0; `c` must always be given.
// Returns 0, or -1 with errno set: ENOMEM when a buffer could not be
// allocated, EINVAL when a merge found `c` inconsistent. On failure the array
// still holds every one of its elements exactly once.
int timsort(void *a, std::size_t nel, std::size_t width, int (*c)(const void *, const void *));
