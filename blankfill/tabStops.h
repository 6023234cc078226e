// Tab stops given as a list (-t): columns where tabs stop, in increasing
// order, and what lies past the last of them.
#pragma once

#include <cstddef>
#include <cstdint>

// A list of stops. Past the last listed stop, a tab reaches the next
// multiple of `every` (a list ending in /N), the next stop `every` columns
// on from the last one (+N), or, with `every` 0, the next column: one space.
// Columns count from 0, so a stop at 4 puts what follows a tab at column 4.
struct TabStops {
    int64_t *stops = nullptr;  // increasing, each from 1 to kMaxSpacing
    size_t count = 0;
    int64_t every = 0;         // the N of /N or +N; 0 for a plain list
    bool fromLast = false;     // +N: counted on from the last stop
};

// Reads a list of stops as `-t` takes it: one number, or numbers separated by
// commas or blanks (runs of them count as one), increasing, the last of
// which may be /N or +N. Returns null with `stops` filled (its array from
// malloc, or none), or the reason the list is refused, a constant text.
// A list of a single plain number, or of /N or +N alone, is one spacing,
// which `spacing` then holds (0 otherwise).
const char *parseTabStops(const char *text, TabStops *stops, int64_t *spacing);

// The column that a tab met at `column` reaches: always beyond it, and
// UINT64_MAX where the next stop would lie past the largest column counted.
uint64_t nextTabStop(const TabStops &stops, uint64_t column);
