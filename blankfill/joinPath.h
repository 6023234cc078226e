// Path joining: one path name from any number of parts, with every run of
// separators ('/' or '\') in the result written as a single '/'.
//
// One of the suite's library modules, kept, tested and fuzzed as such; the
// file move uses it to name a file moved into a directory. blankfill's
// in-place conversion moves nothing (it writes the new contents back over
// the file itself, which so keeps its identity), and needs no joined name.
#pragma once

// This module's identity line; nothing reads it.
extern char rcsid_joinPath[];

// Joins the parts with '/' between them, skipping empty parts, then merges
// every run of '/' and '\' bytes into one '/'. The parts come from `parts`,
// an array ended by a null pointer, or, when `parts` is null, from the
// variable arguments, ended by a null pointer:
//     joinPath(nullptr, dir, file, nullptr)
// Returns a new string that the caller releases with free(), or null when no
// memory could be had (errno as the allocator left it). No parts give "".
char *joinPath(const char *const *parts, ...);
