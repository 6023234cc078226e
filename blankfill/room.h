// Room for a replacement's new contents on the target's file system: taken
// before the target's first byte changes, so that the write-back cannot run
// out of space half-way, and given back exactly when the target is then not
// written after all.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <ctime>

// The room reserved in one target, and what giving it back restores.
struct Room {
    int fd = -1;
    off_t oldSize = 0;
    struct timespec times[2] {};  // access and modification, as read
    bool reserved = false;
    int holes = 0;  // the target's holes noted before the reservation (the list is the module's)
};

// Room for `size` bytes in the target open on `fd`, whose status and times
// (access, modification) were `before` and `times` when it was read: within
// the file-size limit, reserved where the file system can reserve (else
// free), and on a copy-on-write file system, whose overwritten blocks take
// new ones, the whole new size free (every file system but those known to
// overwrite in place counts as one). Returns 0 or an errno value; after a
// failure the room is given back already.
int reserveRoom(Room *room, int fd, const struct stat &before, const struct timespec times[2], off_t size);

// Gives a reservation that will not be used back: the blocks past the file's
// end and in its former holes go, and the file keeps its times where the
// system lets them be set. A file that another process has written since is
// left to it. Does nothing when nothing is reserved, so it may be called
// more than once; errno survives.
void giveBackRoom(Room *room);
