// New contents written over a file in place: the bytes of one file copied
// over the start of another through their descriptors, by the kernel where
// it can copy between the two and through a buffer where it cannot, while
// the target's size is watched for a writer other than this process.
#pragma once

#include <sys/types.h>

// Whether the first `size` bytes of the files open on `a` and `b` are equal
// (a read error counts as a difference).
bool sameBytes(int a, int b, off_t size);

// Touches the copy's buffer, so that the memory that it needs is in hand
// before the target changes.
void prepareOverwrite();

// Copies the `size` bytes of `from` over the start of `to`, whose size is
// `oldSize`, cuts `to` to `size` and syncs it. A file that grows gets its
// last bytes first, so that from the first write on its size is final and
// an append by anyone else shows at once; a file that shrinks keeps its old
// size until it is cut at the end. *othersWrote tells whether the target's
// size showed another writer, whose bytes are then not cut away. Returns
// null, or the failing side's text ("Error while reading the input file" or
// "Error while writing the output file") with errno set.
const char *overwrite(int from, int to, off_t oldSize, off_t size, bool *othersWrote);

// Whether the size of the file open on `fd` is no longer `expected`.
bool sizeShowsOtherWriter(int fd, off_t expected);
