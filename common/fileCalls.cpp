// The file calls that only some systems have; see fileCalls.h. Each routine
// is the system's call where the build found it, and its POSIX fallback
// beside it; SUITE_POSIX_FALLBACKS builds every fallback on a system that
// has them all.
#include "fileCalls.h"

#include <signal.h>
#include <unistd.h>
#if SUITE_HAVE_FSTATFS
#include <sys/vfs.h>
#endif

#include <cerrno>
#include <cstdio>

namespace {

// The path under which a descriptor's file can be reached again.
void descriptorPath(char (&path)[64], int fd) { std::snprintf(path, sizeof path, "/proc/self/fd/%d", fd); }

[[maybe_unused]] int unsupported() {
    errno = ENOTSUP;
    return -1;
}

}  // namespace

int openLookHandle([[maybe_unused]] int dir, [[maybe_unused]] const char *name) {
#if SUITE_HAVE_O_PATH
    return openat(dir, name, O_PATH | kOpenNoFollow | O_CLOEXEC);
#else
    return unsupported();
#endif
}

int openDirectoryAt(int dir, const char *name) {
#if SUITE_HAVE_O_PATH
    return openat(dir, name, O_PATH | O_DIRECTORY | O_CLOEXEC);
#else
    return openat(dir, name, O_RDONLY | O_DIRECTORY | kOpenNoFollow | O_CLOEXEC);
#endif
}

int reopenHandle(int handle, int flags) {
    // The regular file itself: an open that may wait for another process's
    // lease to be let go, but can act on nothing else.
    char path[64];
    descriptorPath(path, handle);
    return open(path, flags);
}

int readWithoutAccessTime([[maybe_unused]] int fd) {
#if SUITE_HAVE_O_NOATIME
    int flags = fcntl(fd, F_GETFL);
    if (flags == -1) return -1;
    return fcntl(fd, F_SETFL, flags | O_NOATIME);
#else
    return unsupported();
#endif
}

int openNameless([[maybe_unused]] const char *dir, [[maybe_unused]] mode_t mode) {
#if SUITE_HAVE_O_TMPFILE
    return open(dir, O_TMPFILE | O_RDWR | O_CLOEXEC, mode);
#else
    return unsupported();
#endif
}

int linkNameless([[maybe_unused]] int fd, [[maybe_unused]] const char *name) {
#if SUITE_HAVE_O_TMPFILE
#if SUITE_HAVE_AT_EMPTY_PATH
    int made = linkat(fd, "", AT_FDCWD, name, AT_EMPTY_PATH);
    if (made == 0 || errno == EEXIST) return made;
#endif
    // Without the capability to link a descriptor itself, its path under
    // /proc, followed, leads to the same file.
    char path[64];
    descriptorPath(path, fd);
    return linkat(AT_FDCWD, path, AT_FDCWD, name, AT_SYMLINK_FOLLOW);
#else
    return unsupported();
#endif
}

int reserveBytes([[maybe_unused]] int fd, [[maybe_unused]] off_t offset, [[maybe_unused]] off_t length) {
#if SUITE_HAVE_FALLOCATE
    if (fallocate(fd, FALLOC_FL_KEEP_SIZE, offset, length) == 0) return 0;
    // A file system that cannot reserve says so in one of two ways.
    if (errno == EOPNOTSUPP || errno == ENOSYS) errno = ENOTSUP;
    return -1;
#else
    return unsupported();
#endif
}

off_t nextHole([[maybe_unused]] int fd, [[maybe_unused]] off_t at) {
#if SUITE_HAVE_SEEK_HOLE
    return lseek(fd, at, SEEK_HOLE);
#else
    return unsupported();
#endif
}

off_t nextData([[maybe_unused]] int fd, [[maybe_unused]] off_t at) {
#if SUITE_HAVE_SEEK_HOLE
    return lseek(fd, at, SEEK_DATA);
#else
    return unsupported();
#endif
}

int punchHole([[maybe_unused]] int fd, [[maybe_unused]] off_t start, [[maybe_unused]] off_t length) {
#if SUITE_HAVE_FALLOCATE && SUITE_HAVE_FALLOC_PUNCH_HOLE
    return fallocate(fd, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, start, length);
#else
    return unsupported();
#endif
}

int fileSystemKind([[maybe_unused]] int fd, [[maybe_unused]] unsigned long *kind) {
#if SUITE_HAVE_FSTATFS
    struct statfs fs;
    if (fstatfs(fd, &fs) != 0) return -1;
    *kind = static_cast<unsigned long>(fs.f_type) & 0xffffffffu;
    return 0;
#else
    return unsupported();
#endif
}

ssize_t copyBetween([[maybe_unused]] int in, [[maybe_unused]] int out, [[maybe_unused]] off_t offset,
                    [[maybe_unused]] size_t length) {
#if SUITE_HAVE_COPY_FILE_RANGE
    loff_t from = offset;  // the kernel's own 64-bit offsets, whatever off_t is
    loff_t to = offset;
    return copy_file_range(in, &from, out, &to, length, 0);
#else
    return unsupported();
#endif
}

#if SUITE_HAVE_F_SETLEASE
const int kLeaseSignal = SIGIO;
#else
const int kLeaseSignal = 0;
#endif

int setLease([[maybe_unused]] int fd, [[maybe_unused]] Lease kind) {
#if SUITE_HAVE_F_SETLEASE
    int type = kind == Lease::write ? F_WRLCK : kind == Lease::read ? F_RDLCK : F_UNLCK;
    return fcntl(fd, F_SETLEASE, type);
#else
    return unsupported();
#endif
}

Lease leaseNow([[maybe_unused]] int fd) {
#if SUITE_HAVE_F_SETLEASE
    switch (fcntl(fd, F_GETLEASE)) {
    case F_WRLCK:
        return Lease::write;
    case F_RDLCK:
        return Lease::read;
    case F_UNLCK:
        return Lease::none;
    default:
        return Lease::unknown;
    }
#else
    return Lease::unknown;
#endif
}

int signalLeaseBreaks([[maybe_unused]] int fd) {
#if SUITE_HAVE_F_SETLEASE && SUITE_HAVE_F_SETSIG
    return fcntl(fd, F_SETSIG, kLeaseSignal);
#else
    return unsupported();
#endif
}
