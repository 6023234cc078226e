// Room for a replacement's new contents; see room.h.
#include "room.h"

#include <sys/resource.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>

#include "fileCalls.h"
#include "lease.h"

namespace {

// Whether overwriting the file may need new blocks: the copy-on-write file
// systems, and every file system whose kind cannot be told.
bool copyOnWrite(int fd) {
    unsigned long kind = 0;
    int before = errno;
    if (fileSystemKind(fd, &kind) != 0) {
        errno = before;  // not knowing is no failure
        return true;
    }
    switch (kind) {
    case 0x9123683eu:  // btrfs
    case 0x58465342u:  // XFS (reflinks possible)
    case 0x2fc12fc1u:  // ZFS
    case 0xca451a4eu:  // bcachefs
        return true;
    default:
        return false;
    }
}

long long freeBytes(const struct statvfs &fs) {
    return static_cast<long long>(fs.f_bavail) * static_cast<long long>(fs.f_frsize);
}

// Notes the target's holes, so that a reservation that is not used can be
// given back exactly.
void noteHoles(Room *room, blkcnt_t blocksBefore) {
    room->holes = 0;
    if (!kCanFindHoles) return;
    if (static_cast<blkcnt_t>(room->oldSize / 512) <= blocksBefore) return;  // no hole
    off_t at = 0;
    while (at < room->oldSize && room->holes < Room::kMaxHoles) {
        off_t start = nextHole(room->fd, at);
        if (start < 0 || start >= room->oldSize) break;
        off_t end = nextData(room->fd, start);
        if (end < 0) end = room->oldSize;
        room->holeStart[room->holes] = start;
        room->holeEnd[room->holes] = end;
        ++room->holes;
        at = end;
    }
    lseek(room->fd, 0, SEEK_SET);
}

// The blocks for `size` bytes reserved, or where the file system cannot
// reserve, at least free. Returns 0 or an errno value.
int reserveBlocks(Room *room, blkcnt_t blocksBefore, off_t size) {
    noteHoles(room, blocksBefore);
    room->reserved = true;
    int before = errno;
    if (reserveBytes(room->fd, size) == 0) return 0;
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
    // Overwriting a copy-on-write file's blocks takes new ones: the whole
    // new size must be free.
    struct statvfs fs;
    if (copyOnWrite(fd) && fstatvfs(fd, &fs) == 0 && static_cast<long long>(size) > freeBytes(fs)) {
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
        punchHole(room->fd, room->holeStart[i], room->holeEnd[i] - room->holeStart[i]);
    }
    // Cutting to the same size releases what lies past the end.
    if (ftruncate(room->fd, room->oldSize) == 0) futimens(room->fd, room->times);
    errno = saved;
}
