// Safe file replacement: rewrite a file through a temporary file in the
// working directory, touching the file itself only once the new contents are
// complete, safe on disk, and sure to fit.
#pragma once

#include <cstdio>

// What a caller passes as the name to abort the pending replacement. The
// module recognises this very array, not its text, so that a file that
// happens to carry the same name is converted like any other.
extern const char replaceFileAbortFlag[];

// Three uses, each returning null on success or a numbered message
// ("(N) text") that the caller must neither modify nor release:
//   begin:  replaceFile(target, "w", preserveDates, &stream) checks the target
//           (looking its name up without following a symbolic link that
//           another user could have planted, and without opening anything
//           but a regular file), opens, locks and where it can leases it,
//           makes the temporary file in the working directory (nameless, or
//           "replPartXXXXXX" where the system cannot make one without a name)
//           and stores a stream on it. Messages 1 to 4, and:
//             8  the target cannot be opened for writing,
//             9  the target cannot be opened at all (errno tells why),
//             10 another process holds the target's lock or lease,
//             11 the name led to another file by the time it was opened.
//   finish: replaceFile(nullptr, nullptr, 0, nullptr) writes the new contents
//           over the target (which stays the same file: inode, permissions,
//           owner, links) and restores its times when asked; new contents
//           equal to the old are not written at all. Before the target's
//           first byte changes, the temporary file, complete and synced,
//           gets its "replFileXXXXXX" name. Messages:
//             5  an I/O error after the target's first byte changed; the
//                temporary file, the only complete copy, is kept and named,
//             6  the times could not be restored (the contents are in place),
//             7  the temporary file could not be written in full,
//             11 the target changed since it was read, or another process
//                opened it for writing (its lease broke),
//             12 the target's file system has no room for the new contents,
//             13 another process changed the target while it was written
//                back; the complete copy is kept and named, as with 5.
//           With every message but 5, 6 and 13 the target is exactly as it
//           was (room reserved for it is given back) and the temporary file
//           is gone.
//   abort:  replaceFile(replaceFileAbortFlag, nullptr, 0, nullptr) removes the
//           temporary file and leaves the target as it was; always null, and
//           harmless when nothing is pending.
// After a successful begin exactly one finish or abort must follow before the
// next begin. The caller writes to the stream only until then and never
// closes it itself. Every signal that can be blocked is held while the
// target is being written, so that it is never left half-written. While a
// replacement holds a lease, the module handles SIGIO: a lease break is
// noted, and a SIGIO sent by a process ends the tool as the caller's other
// ending signals do (removing the temporary file), unless it was ignored.
const char *replaceFile(const char *name, const char *mode, int preserveDates, FILE **stream);

// The numbers of the messages above.
constexpr int kRfRefused = 1;                 // the checks of cantprocess; the reason follows
constexpr int kRfNoMemory = 2;
constexpr int kRfNoTemporary = 3;
constexpr int kRfNoTemporaryStream = 4;
constexpr int kRfDamaged = 5;                 // the complete copy is kept
constexpr int kRfTimesNotSet = 6;
constexpr int kRfTemporaryNotWritten = 7;
constexpr int kRfCannotOpenForWriting = 8;
constexpr int kRfCannotOpenForReading = 9;    // errno tells why
constexpr int kRfBeingConverted = 10;
constexpr int kRfChangedMeanwhile = 11;
constexpr int kRfNoRoom = 12;
constexpr int kRfOtherWriter = 13;            // the complete copy is kept

// The reason of the refusal of a directory, "(1) directory".
extern const char kRfDirectory[];

// Whether `message` (not null) is the refusal of a directory.
bool isDirectoryRefusal(const char *message);

// A stream for reading the pending replacement's target: the very file that
// was checked and locked, whatever its name leads to by now. The caller
// closes it. Null, with errno set, when no stream can be had.
FILE *openReplacedFile();

// Removes the pending replacement's temporary file, if there is one that
// may be removed. Safe to call from a signal handler: it is how a tool that
// is ending on a signal leaves no temporary file behind.
void discardReplacement();

// The checks that a begin makes: null when `name` is an existing file that
// is not a FIFO, device, socket or directory and has its owner-read and
// owner-write bits, reached through no symbolic link that the link rule of
// common/checkedOpen refuses (one owned by neither the caller nor root that
// leads to what its owner does not own); else a message of number 1 giving
// the reason.
const char *cantprocess(const char *name);

// Take a numbered message apart: its number (-1 when it has none) and the
// text after "(N) " (the whole message when it has no such prefix).
int getRFErrorNumber(const char *message);
const char *getRFErrorString(const char *message);
