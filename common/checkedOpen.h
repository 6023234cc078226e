// Safe look-up and opening of a file that a tool is about to write: the name
// is looked up one component at a time without acting on what it names,
// a symbolic link is followed only where the link rule allows it, and only a
// regular file is opened, and only the very file that was looked at. The
// module says why it refused; the caller words the message.
#pragma once

#include <limits.h>
#include <sys/stat.h>

// What a look-up found: the directory that holds the last component, the
// last component's name and its status as it was looked at, and, where the
// system has them, a handle on the object that opens nothing for I/O.
struct LookedUp {
    int dir = -1;
    int object = -1;
    struct stat status {};
    char finalName[NAME_MAX + 1] = "";
};

enum class LookUpEnd {
    found,        // *found is filled in; closeLookedUp releases it
    failed,       // errno says why
    linkRefused,  // the link rule refused the link named in finalName
};

// Looks `name` up, following only the links that mayFollow allows (at most
// 40 of them). Whatever the end, found->finalName holds the last component
// looked at.
LookUpEnd lookUp(const char *name, LookedUp *found);

// Closes what a look-up left open; errno survives.
void closeLookedUp(LookedUp *found);

// The link rule: whether a symbolic link of status `link`, found in a
// directory of status `directory`, may be followed.
bool mayFollow(const struct stat &link, const struct stat &directory);

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
