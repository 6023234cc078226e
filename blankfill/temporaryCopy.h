// The temporary copy that receives a replacement's new contents, in the
// working directory: made without a name where the system can (else named
// replPartXXXXXX while it is written), given its replFileXXXXXX name once it
// is complete and synced, and removable (by an abort, a failure or a signal
// handler) only until it holds the only complete copy of the new contents.
// One copy at a time. The caller holds every signal around the calls that
// make or name the copy, so that a handler that removes it never sees a
// name that is not yet, or no longer, the copy's.
#pragma once

// Makes the copy; a descriptor open for reading and writing, or -1 with
// errno set.
int createTemporaryCopy();

// Gives the complete copy open on `fd` its replFileXXXXXX name. Returns 0
// or an errno value.
int nameTemporaryCopy(int fd);

// The replFileXXXXXX name that the copy has, or is to have once complete.
const char *temporaryCopyName();

// The name that the copy has on disk now: its replFileXXXXXX name once
// complete, its replPartXXXXXX name while it is written where it cannot be
// nameless, or null while it has none.
const char *temporaryCopyOnDisk();

// Removes the copy if it may still be removed. Safe in a signal handler.
void discardTemporaryCopy();

// The copy holds the only complete copy of the new contents: nothing may
// remove it any more.
void keepTemporaryCopy();
