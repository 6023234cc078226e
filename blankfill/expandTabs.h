// The tab-expansion filter of blankfill, kept apart from the tool's main so
// that tests and benchmarks link it on its own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

struct TabStops;

// The largest tab spacing the filter takes: the largest column it counts,
// which is the largest offset a file can have. A line never gets that long
// in any file, and the spaces of a run of tabs never wrap round.
constexpr int64_t kMaxSpacing = INT64_MAX;

// Copies `in` to `out`, replacing each tab by the spaces that reach the next
// tab stop (stops every `spacing` columns; a spacing below 2 acts as 1, and
// one above kMaxSpacing is the caller's to refuse). With
// `leadingOnly` non-zero only the tabs among a line's leading spaces and tabs
// are expanded; later tabs are copied. Columns count bytes from 0 at each
// newline; a backspace lowers the column when it is above 0 and raises it
// otherwise. Reads to the end of input or the first failure of either
// stream. Returns 0, or 1 when either stream's error indicator is set at the
// end. Both streams stay open; the caller checks and closes them.
int blankfill(FILE *in, int64_t spacing, int leadingOnly, FILE *out);

// From now on the filter counts columns by display width: the input is read
// as UTF-8, a character takes the columns that the system's wcwidth gives it
// in a UTF-8 locale (2 for wide and fullwidth characters, 0 for combining
// marks and zero-width characters, 1 for the rest), and a byte that does not
// belong to a whole, valid character takes 1 column and is copied as it is.
// The ASCII bytes keep their rules. Only the calling thread's character type
// is set, whatever the user's locale. Returns false, changing nothing, where
// the system has no UTF-8 locale.
bool countDisplayWidths();

// From now on tabs stop at the columns of `stops` (tabStops.h), which must
// stay valid while in use, rather than every `spacing` columns; null goes
// back to the spacing. The list is taken by the portable kernels, which
// apply its column rule; the vector kernels serve the one spacing.
void useTabStops(const TabStops *stops);

// The filter on `length` bytes in memory (a line of a file, for instance),
// written to `out`: as blankfill, with the same settings. Returns 0, or 1
// when the output stream's error indicator is set at the end.
int expandTabsInMemory(const char *data, size_t length, int64_t spacing, int leadingOnly, FILE *out);
