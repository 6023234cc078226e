// Safe file replacement: rewrite a file through a temporary file in the
// working directory, touching the file itself only once the new contents are
// complete.
#pragma once

#include <cstdio>

// What a caller passes as the name to abort the pending replacement. The
// module recognises this very array, not its text, so that a file that
// happens to carry the same name is converted like any other.
extern const char replaceFileAbortFlag[];

// Three uses, each returning null on success or a numbered message
// ("(N) text") that the caller must neither modify nor release:
//   begin:  replaceFile(target, "w", preserveDates, &stream) checks the target,
//           creates "replFileXXXXXX" in the working directory and stores a
//           stream on it; messages 1 to 4.
//   finish: replaceFile(nullptr, nullptr, 0, nullptr) moves the temporary file
//           onto the target (which keeps its permissions, owner and links) and
//           restores the target's times when asked; messages 5 to 7.
//   abort:  replaceFile(replaceFileAbortFlag, nullptr, 0, nullptr) removes the
//           temporary file and leaves the target as it was; always null, and
//           harmless when nothing is pending.
// After a successful begin exactly one finish or abort must follow before the
// next begin. The caller writes to the stream only until then and never
// closes it itself.
const char *replaceFile(const char *name, const char *mode, int preserveDates, FILE **stream);

// The checks that a begin makes: null when `name` is an existing file that
// is not a FIFO, device or directory and has its owner-read and owner-write
// bits, else a message of number 1 giving the reason.
const char *cantprocess(const char *name);

// Take a numbered message apart: its number (-1 when it has none) and the
// text after "(N) " (the whole message when it has no such prefix).
int getRFErrorNumber(const char *message);
const char *getRFErrorString(const char *message);
