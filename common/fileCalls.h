// The file calls that only some systems have, each behind a small routine
// with its POSIX fallback beside it: the one place where the build decides
// what the system offers. A routine that the system cannot carry out fails
// with ENOTSUP and touches nothing, so that its callers choose their way
// with a plain `if` on the constants below or on that error, and carry no
// preprocessor conditionals of their own.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <ctime>

// ---- Looking a name up without acting on it ----------------------------------------

// Whether the system has handles that name a file without opening it for
// I/O (and so without blocking on a FIFO or taking a terminal).
constexpr bool kHaveLookHandles = SUITE_HAVE_O_PATH != 0;

// The flag that makes an open refuse a symbolic link as its last component;
// 0 where there is none, and the caller then compares what it opened with
// what it looked at.
#if SUITE_HAVE_O_NOFOLLOW
constexpr int kOpenNoFollow = O_NOFOLLOW;
#else
constexpr int kOpenNoFollow = 0;
#endif

// A look handle on `name` in `dir`, the link itself when it is one; -1 with
// errno set (ENOTSUP where the system has no such handles).
int openLookHandle(int dir, const char *name);

// A descriptor on the directory `name` in `dir` (AT_FDCWD for the working
// directory) to look names up in: a look handle where the system has them,
// else opened for reading without following a link as its last component.
int openDirectoryAt(int dir, const char *name);

// The file that a look handle names, opened with `flags`; -1 with errno set
// (ENOENT where the system cannot reopen a handle).
int reopenHandle(int handle, int flags);

// ---- Reading without a trace -------------------------------------------------------------

// Makes reads through `fd` (and every descriptor that shares its open file)
// leave the file's access time alone; 0, or -1 with errno set (EPERM where
// the caller neither owns the file nor may act as its owner, ENOTSUP where
// the system cannot).
int readWithoutAccessTime(int fd);

// ---- A temporary file that has no name until it is complete -------------------------

// A new regular file in the directory `dir`, open for reading and writing,
// that no name reaches; -1 with errno set (ENOTSUP where the system cannot
// make one).
int openNameless(const char *dir, mode_t mode);

// Gives the nameless file open on `fd` the name `name` (relative to the
// working directory); 0, or -1 with errno set (EEXIST when the name is
// taken, ENOTSUP where the system has no nameless files).
int linkNameless(int fd, const char *name);

// ---- Room on the file system ------------------------------------------------------------

// Reserves the blocks for bytes [offset, offset + length) of the file
// without changing its size; 0, or -1 with errno set (ENOTSUP where the
// system or the file system cannot reserve).
int reserveBytes(int fd, off_t offset, off_t length);

// Whether holes can be found and punched: what a reservation that is not
// used needs to give back exactly the blocks that it took.
constexpr bool kCanFindHoles = SUITE_HAVE_SEEK_HOLE != 0;

// The offset of the first hole, or of the first data, at or after `at`;
// -1 with errno set (ENOTSUP where the system cannot tell).
off_t nextHole(int fd, off_t at);
off_t nextData(int fd, off_t at);

// Gives back the blocks of bytes [start, start + length) of the file,
// which keeps its size; 0, or -1 with errno set (ENOTSUP where the system
// cannot).
int punchHole(int fd, off_t start, off_t length);

// The kind of the file system that holds the file (its magic number); 0, or
// -1 with errno set (ENOTSUP where the system cannot tell).
int fileSystemKind(int fd, unsigned long *kind);

// ---- Copying inside the kernel ---------------------------------------------------------

// Whether the system can copy bytes from one file to another without
// passing them through the process.
constexpr bool kHaveKernelCopy = SUITE_HAVE_COPY_FILE_RANGE != 0;

// Copies up to `length` bytes at `offset` of `in` to the same offset of
// `out`; the count copied, or -1 with errno set (ENOTSUP where the system
// has no such copy; EXDEV, EINVAL, ENOSYS or EOPNOTSUPP where it cannot copy
// between these two files).
ssize_t copyBetween(int in, int out, off_t offset, size_t length);

// ---- Leases -------------------------------------------------------------------------------

// Whether the system grants leases: a signal when another process opens
// the file, before that open goes on.
constexpr bool kHaveLeases = SUITE_HAVE_F_SETLEASE != 0;

// The signal that a lease break sends (0 where there are no leases).
extern const int kLeaseSignal;

enum class Lease { none, read, write, unknown };

// Takes a lease of the kind given (Lease::none lets the lease go); 0, or -1
// with errno set (ENOTSUP where there are no leases). Safe in a signal
// handler.
int setLease(int fd, Lease kind);

// The lease held on `fd`, or the one it must become while a break is
// pending; Lease::unknown where there are no leases or the system will not
// say. Safe in a signal handler.
Lease leaseNow(int fd);

// Makes a lease break on `fd` arrive as kLeaseSignal with its reason, where
// the system can choose the signal; 0, or -1 with errno set.
int signalLeaseBreaks(int fd);

// ---- A file's times -------------------------------------------------------------------------

enum class FileTime { access, modification, change };

// Whether fileTime carries nanoseconds on this build (st_mtim and its kin,
// or the BSDs' st_mtimespec), rather than whole seconds.
constexpr bool kFileTimesHaveNanoseconds = SUITE_HAVE_ST_MTIM != 0 || SUITE_HAVE_ST_MTIMESPEC != 0;

// One of a file's times, to the nanosecond where the status record has it.
inline struct timespec fileTime(const struct stat &status, FileTime which) {
    struct timespec time {};
#if SUITE_HAVE_ST_MTIM
    time = which == FileTime::access ? status.st_atim : which == FileTime::modification ? status.st_mtim : status.st_ctim;
#elif SUITE_HAVE_ST_MTIMESPEC
    time = which == FileTime::access         ? status.st_atimespec
           : which == FileTime::modification ? status.st_mtimespec
                                             : status.st_ctimespec;
#else
    time.tv_sec = which == FileTime::access ? status.st_atime : which == FileTime::modification ? status.st_mtime : status.st_ctime;
    time.tv_nsec = 0;
#endif
    return time;
}
