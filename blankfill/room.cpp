// Room for a replacement's new contents; see room.h.
#include "room.h"

#include <sys/resource.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "fileCalls.h"
#include "lease.h"

namespace {

// The file systems known to write an overwritten block where it was: there
// an overwrite of the target's bytes takes no new block. Every other file
// system, those that copy a block on write (btrfs, XFS with reflinks, ZFS,
// bcachefs), overlays whose upper layer may be one of them, and any kind
// that cannot be told, may need a new block for every block overwritten.
bool overwritesInPlace(int fd) {
    unsigned long kind = 0;
    int before = errno;
    if (fileSystemKind(fd, &kind) != 0) {
        errno = before;  // not knowing is no failure
        return false;
    }
    switch (kind) {
    case 0xef53u:      // ext2, ext3 and ext4
    case 0x01021994u:  // tmpfs
        return true;
    default:
        return false;
    }
}

long long freeBytes(const struct statvfs &fs) {
    return static_cast<long long>(fs.f_bavail) * static_cast<long long>(fs.f_frsize);
}

// The holes of the target before the reservation, punched again when the
// room is given back. The list grows with the file's holes and is kept for
// the next replacement (one replacement at a time).
struct Hole {
    off_t start;
    off_t end;
};
Hole *holeList = nullptr;
int holeCapacity = 0;

bool addHole(Room *room, off_t start, off_t end) {
    if (room->holes == holeCapacity) {
        int capacity = holeCapacity == 0 ? 64 : 2 * holeCapacity;
        void *grown = std::realloc(holeList, static_cast<size_t>(capacity) * sizeof *holeList);
        if (grown == nullptr) return false;
        holeList = static_cast<Hole *>(grown);
        holeCapacity = capacity;
    }
    holeList[room->holes++] = {start, end};
    return true;
}

// Notes every hole of the target, so that a reservation that is not used can
// be given back exactly. False when they could not all be noted (no memory
// for the list, or the system cannot find them in a file that has some).
bool noteHoles(Room *room, blkcnt_t blocksBefore) {
    room->holes = 0;
    if (static_cast<blkcnt_t>(room->oldSize / 512) <= blocksBefore) return true;  // no hole
    if (!kCanFindHoles) return false;
    bool noted = true;
    for (off_t at = 0; at < room->oldSize;) {
        off_t start = nextHole(room->fd, at);
        if (start < 0 || start >= room->oldSize) break;
        off_t end = nextData(room->fd, start);
        if (end < 0) end = room->oldSize;
        if (!addHole(room, start, end)) {
            noted = false;
            break;
        }
        at = end;
    }
    lseek(room->fd, 0, SEEK_SET);
    return noted;
}

// Where the holes cannot all be noted, only what lies past the old end is
// reserved (the tail, which giving back cuts off again); the holes' bytes,
// at most what the file's size exceeds its blocks by, must then be free.
int reserveTail(Room *room, blkcnt_t blocksBefore, off_t size) {
    room->holes = 0;
    if (size > room->oldSize && reserveBytes(room->fd, room->oldSize, size - room->oldSize) != 0) return -1;
    struct statvfs fs;
    long long holeBytes = static_cast<long long>(room->oldSize) - static_cast<long long>(blocksBefore) * 512;
    if (fstatvfs(room->fd, &fs) == 0 && holeBytes > freeBytes(fs)) {
        errno = ENOSPC;
        return -1;
    }
    return 0;
}

// The blocks for `size` bytes reserved, or where the file system cannot
// reserve, at least free. Returns 0 or an errno value.
int reserveBlocks(Room *room, blkcnt_t blocksBefore, off_t size) {
    bool allNoted = noteHoles(room, blocksBefore);
    room->reserved = true;
    int before = errno;
    int reserved = allNoted ? reserveBytes(room->fd, 0, size) : reserveTail(room, blocksBefore, size);
    if (reserved == 0) return 0;
    if (errno != ENOTSUP) {
        int reason = errno;
        giveBackRoom(room);
        return reason;
    }
    // A file system that cannot reserve: at least the space must be free.
    errno = before;
    room->reserved = false;
    struct statvfs fs;
    if (fstatvfs(room->fd, &fs) == 0) {
        long long needed = static_cast<long long>(size) - static_cast<long long>(blocksBefore) * 512;
        if (needed > freeBytes(fs)) return ENOSPC;
    }
    return 0;
}

}  // namespace

int reserveRoom(Room *room, int fd, const struct stat &before, const struct timespec times[2], off_t size) {
    *room = Room{};
    room->fd = fd;
    room->oldSize = before.st_size;
    room->times[0] = times[0];
    room->times[1] = times[1];
    struct rlimit limit;
    if (getrlimit(RLIMIT_FSIZE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY &&
        static_cast<rlim_t>(size) > limit.rlim_cur) {
        return EFBIG;
    }
    if (size == 0) return 0;
    if (int reason = reserveBlocks(room, before.st_blocks, size)) return reason;
    // Where an overwritten block may take a new one, the whole new size
    // must be free.
    struct statvfs fs;
    if (!overwritesInPlace(fd) && fstatvfs(fd, &fs) == 0 && static_cast<long long>(size) > freeBytes(fs)) {
        giveBackRoom(room);
        return ENOSPC;
    }
    return 0;
}

void giveBackRoom(Room *room) {
    if (!room->reserved) return;
    room->reserved = false;
    // A file that another process writes is left to it: cutting it to its
    // old size could cut what that process added. (The reservation itself
    // may have changed the times.)
    struct stat now;
    int saved = errno;
    if (leaseBroken() || fstat(room->fd, &now) != 0 || now.st_size != room->oldSize) {
        errno = saved;
        return;
    }
    for (int i = 0; i < room->holes; ++i) {
        punchHole(room->fd, holeList[i].start, holeList[i].end - holeList[i].start);
    }
    // Cutting to the same size releases what lies past the end.
    if (ftruncate(room->fd, room->oldSize) == 0) futimens(room->fd, room->times);
    errno = saved;
}
