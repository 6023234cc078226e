// The tab-expansion filter of blankfill, kept apart from the tool's main so
// that tests and benchmarks link it on its own.
#pragma once

#include <cstdio>

// Copies `in` to `out`, replacing each tab by the spaces that reach the next
// tab stop (stops every `spacing` columns; a spacing below 2 acts as 1). With
// `leadingOnly` non-zero only the tabs among a line's leading spaces and tabs
// are expanded; later tabs are copied. Columns count bytes from 0 at each
// newline; a backspace lowers the column when it is above 0 and raises it
// otherwise. Reads to the end of input or the first failure of either
// stream. Returns 0, or 1 when either stream's error indicator is set at the
// end. Both streams stay open; the caller checks and closes them.
int blankfill(FILE *in, int spacing, int leadingOnly, FILE *out);
