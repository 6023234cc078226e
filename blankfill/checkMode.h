// What a conversion would change, without changing anything: the lines that
// hold a tab to expand (--check) and the unified diff of the conversion
// (--diff).
//
// A tab's expansion changes only its own line, since columns start again at
// each newline, and every line keeps its number. So a line changes exactly
// when it holds a tab that is expanded (any tab, or with leading-only mode a
// tab among the line's leading blanks): the check needs no conversion at
// all, only a scan for tabs, and the diff compares each line with its own
// conversion.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

// A file's NUL byte in its first 8 KiB marks it as binary, as version
// control tools and searching tools decide.
constexpr size_t kBinaryProbe = 8192;

enum class Verdict {
    unchanged,   // nothing to change
    changes,     // lines would change
    binary,      // left alone: a NUL byte in its first 8 KiB
    unreadable,  // a read failed; errno tells why
};

// How a file named on the command line was opened for looking at.
enum class Opened {
    file,        // a regular file, or what standard input is
    directory,   // skipped, as in place
    notRegular,  // a FIFO, device or socket: not read, so never waited on
    failed,      // errno tells why
};

// Opens `name` for reading, refusing all but a regular file or a directory
// without waiting on any; *fd gets the descriptor of a regular file.
Opened openToLook(const char *name, int *fd);

// Reads the input `fd` once, writing to `out` for each line that would
// change "NAME:LINE:COLUMN: tab would be expanded", where COLUMN is the byte
// column, from 1, of the line's first tab that is expanded; *changedLines
// gets how many. With `skipBinary` a binary input is left alone.
Verdict checkInput(int fd, const char *name, bool leadingOnly, bool skipBinary, FILE *out, uint64_t *changedLines);

// Reads the input `fd` whole and writes to `out` the unified diff of its
// conversion ("--- a/NAME", "+++ b/NAME", hunks with three lines of context,
// merged as diff -u merges them), or nothing when no line changes. The
// conversion is the filter's with `spacing` and `leadingOnly` (and the tab
// stops and widths the filter was given). A binary input is left alone.
Verdict diffInput(int fd, const char *name, int64_t spacing, bool leadingOnly, FILE *out);

// Whether the first bytes of an input, `length` of them (all there are when
// fewer than kBinaryProbe), mark it as binary.
bool looksBinary(const char *start, size_t length);
