// Safe look-up and opening of a file that a tool is about to write: the name
// is looked up one component at a time without acting on what it names,
// a symbolic link is followed only where the link rule allows it, and only a
// regular file is opened, and only the very file that was looked at. The
// module says why it refused; the caller words the message.
#pragma once

#include <limits.h>
#include <sys/stat.h>
#include <sys/types.h>

// What a look-up found: the directory that holds the last component, the
// last component's name and its status as it was looked at, and, where the
// system has them, a handle on the object that opens nothing for I/O.
struct LookedUp {
    int dir = -1;
    int object = -1;
    struct stat status {};
    char finalName[NAME_MAX + 1] = "";
    const char *failedCall = nullptr;  // after a failure: the system call that failed, if one did
};

enum class LookUpEnd {
    found,        // *found is filled in; closeLookedUp releases it
    failed,       // errno says why
    linkRefused,  // the link rule refused the link named in finalName
    absent,       // only the last component is missing: dir and finalName say where it would be
};

// Looks `name` up, following only the links that the link rule allows (at
// most 40 of them). A missing last component ends the look-up as absent
// when `mayBeAbsent`, for a caller that is to create it (never where a link
// that the rule does not trust at once led there), else as failed with
// ENOENT. A name (or a link's target taking the name's place) that ends in
// '/' is found only where it leads to a directory, else it fails with
// ENOTDIR. Whatever the end, found->finalName holds the last component
// looked at, or the link refused.
LookUpEnd lookUp(const char *name, LookedUp *found, bool mayBeAbsent = false);

// Closes what a look-up left open; errno survives.
void closeLookedUp(LookedUp *found);

// The link rule, in two parts: a link that the caller or root owns is
// followed; any other only where its owner also owns what it leads to (a
// file or directory of the link owner's own), which the look-up judges once
// it has reached it. (Never from another user's link to what is not theirs:
// a planted link cannot raise what its owner can reach.)
bool linkTrusted(const struct stat &link);
bool mayLeadTo(uid_t linkOwner, const struct stat &target);

// Whether two statuses are of the same file.
bool sameFile(const struct stat &a, const struct stat &b);

// What openLookedUp returns when the name led to another file, or to no
// regular file, by the time it was opened.
constexpr int kNotTheFileLookedAt = -2;

// Opens the file that was looked up with `flags` (O_NOCTTY and O_CLOEXEC
// added): through its look handle where there is one (the very file looked
// at, whatever the name leads to now), else by its last name component
// without following a link, without blocking and without taking a
// terminal. Only a regular file is opened at all (else -1 with errno
// ENXIO), and what was opened must be the file that was looked at (else
// kNotTheFileLookedAt, errno ESTALE). Returns a descriptor, or -1 with errno
// set.
int openLookedUp(const LookedUp &found, int flags);

// Why openToWrite gave no descriptor.
enum class WriteRefusal {
    failed,       // errno says why
    linkRefused,  // the link rule refused the link named in refusedLink
    notRegular,   // a FIFO, device, socket or directory: never opened, never waited on
};

// Opens the file `name` for writing, as every tool opens a named file it
// writes: an existing regular file reached as the link rule allows (not
// emptied: the caller decides, once it has looked at what it opened), or
// else a new one created exclusively with `mode` (less the umask) in the
// directory the name leads to. Adds O_APPEND when `append`. Returns a
// descriptor that blocks as any other, or -1 with *why set (and errno, and
// the refused link's name in refusedLink).
int openToWrite(const char *name, bool append, mode_t mode, WriteRefusal *why, char (&refusedLink)[NAME_MAX + 1]);
