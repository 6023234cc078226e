// Safe file replacement: a pending replacement holds the target open and
// locked, and owns one temporary file in the working directory that receives
// the new contents. Finishing writes them over the target through the
// descriptors that were opened at the start, never by reopening a name, and
// only once they are complete, on stable storage, and sure to fit; aborting
// removes the temporary file.
//
// The begin looks the name up one component at a time without acting on
// what it names (O_PATH where the system has it), refuses a symbolic link
// that another user could have planted, and opens for reading and writing
// only a regular file, and only the one it looked at.
//
// The order of a finish is what keeps a user's file whole:
//   1. the temporary file is flushed; when it equals the target byte for
//      byte, nothing is written and the replacement ends here;
//   2. it is synced: a complete copy of the new contents exists before the
//      target changes, even across a crash;
//   3. the target is checked to be the file that was read, unchanged, and
//      not opened for writing by anyone else since (the lease);
//   4. room for the new contents is reserved on the target's file system
//      (given back if the target is then not written), and on a
//      copy-on-write file system the free space must hold the new size;
//   5. the temporary file, complete and synced, gets its replFileXXXXXX
//      name: until then it has none (O_TMPFILE) or a replPartXXXXXX one;
//   6. with every signal that can be blocked held, the contents are written
//      over the target, cut to length and synced; the target's size is
//      watched all along, for another writer;
//   7. only then is the temporary file removed and the lease let go.
// Until step 6 starts, any failure leaves the target exactly as it was. From
// then on only an I/O error or another process's write can still fail, and
// the temporary file is kept.
#include "replaceFile.h"

#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/types.h>
#include <time.h>
#include <unistd.h>
#if SUITE_HAVE_FSTATFS
#include <sys/vfs.h>
#endif

#include <cassert>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "fileTimes.h"
#include "movefile.h"


char rcsid_replaceFile[] = "$Id: replaceFile.c,v 1.22 2019-01-11 12:40:03-05 devteam Exp $";

const char replaceFileAbortFlag[] = "replaceFileAbortFlagString8753";

namespace {

constexpr char tempTemplate[] = "replFileXXXXXX";
constexpr char partialTemplate[] = "replPartXXXXXX";  // a copy still being written
constexpr size_t kCopyBufferSize = 65536;
// The kernel's copy goes in chunks of this size, and the target's size is
// checked after each one.
constexpr off_t kCopyChunk = off_t{8} << 20;
constexpr int kMaxLinks = 40;
#if SUITE_HAVE_O_NOFOLLOW
constexpr int kNoFollow = O_NOFOLLOW;
#else
// Without it every component's type is looked at before it is opened, and
// the opened file is compared with what was looked at.
constexpr int kNoFollow = 0;
#endif

// The one replacement in progress. The temporary file may be removed (by an
// abort, a failure before the target changes, or a signal handler) only
// while temporaryRemovable is set, and then by the name in removableName;
// it is cleared for good once the temporary file holds the only complete
// copy of the new contents.
char tempFileName[sizeof tempTemplate];    // the name of the complete copy, once it has one
char partialName[sizeof partialTemplate];  // where no nameless file can be made
const char *volatile removableName = tempFileName;
volatile sig_atomic_t temporaryRemovable = 0;
bool temporaryNamed = false;  // tempFileName exists and is ours
char *oldFileName = nullptr;
int tmpfd = -1;
FILE *tmpfp = nullptr;
int targetFd = -1;
struct stat targetStatus;  // as the target was when it was opened and locked
struct timespec times[2];  // its access and modification times, to the nanosecond
int preserveD = 0;

// The lease on the target: none, a write lease, or a read lease that a
// reader's open left (readers go through); broken when a writer opened it.
enum LeaseState : int { noLease, writeLease, readLease };
volatile sig_atomic_t leaseState = noLease;
volatile sig_atomic_t leaseBroken = 0;
volatile sig_atomic_t leaseFd = -1;
[[maybe_unused]] bool leaseSignalIgnored = false;  // SIGIO was ignored before the first lease

// Holes of the target before the reservation, punched again when the room
// is given back.
constexpr int kMaxHoles = 32;
[[maybe_unused]] off_t holeStart[kMaxHoles];
[[maybe_unused]] off_t holeEnd[kMaxHoles];
int holes = 0;
bool roomReserved = false;

// Used only when the kernel cannot copy between the two files itself, and
// to compare the new contents with the old.
char copyBuffer[kCopyBufferSize];
char compareBuffer[kCopyBufferSize];

char buffer[300];        // messages of number 1
char MFErrorMsg[2000];   // messages of numbers 5 and 13
char closeErrorMsg[600]; // messages of numbers 7, 8 and 12
struct stat stat_buf;
char finalName[NAME_MAX + 1];  // the last component of the name looked up
char pending[2 * PATH_MAX + 2];

const char *const beingConverted = "(10) The file is being converted by another process; original file left unchanged";
const char *const changedMeanwhile = "(11) The file changed during the conversion; it was left as it is now";

const char *refuse(const char *reason) {
    std::snprintf(buffer, sizeof buffer, "(1) %s", reason);
    return buffer;
}

// A message that carries the system's text for `reason` in its middle.
const char *withReason(const char *format, int reason) {
    std::snprintf(closeErrorMsg, sizeof closeErrorMsg, format, std::strerror(reason));
    errno = reason;
    return closeErrorMsg;
}

// Every signal that can be blocked is held while the temporary file's name
// changes and while the target is written back.
void holdSignals(sigset_t *previous) {
    sigset_t set;
    sigfillset(&set);
    sigprocmask(SIG_BLOCK, &set, previous);
}

void releaseSignals(const sigset_t *previous) { sigprocmask(SIG_SETMASK, previous, nullptr); }

bool sameFile(const struct stat &a, const struct stat &b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

bool sameTime(const struct timespec &a, const struct timespec &b) {
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

void closeQuietly(int fd) {
    if (fd < 0) return;
    int saved = errno;
    close(fd);
    errno = saved;
}

// ---- Leases ---------------------------------------------------------------------

void dropLease() {
#if SUITE_HAVE_F_SETLEASE
    int fd = leaseFd;
    leaseFd = -1;
    if (fd >= 0 && leaseState != noLease) fcntl(fd, F_SETLEASE, F_UNLCK);
#endif
    leaseState = noLease;
}

#if SUITE_HAVE_F_SETLEASE
// A lease break, or a SIGIO that someone sent: the first lets a reader
// through (the lease becomes a read lease) and takes note of a writer (the
// lease goes, the writer goes on, and the file is then left alone); the
// second ends the tool like every other ending signal.
void onLeaseSignal(int signalNumber, siginfo_t *info, void *) {
    if (info == nullptr || info->si_code <= 0) {
        if (leaseSignalIgnored) return;
        discardReplacement();
        signal(signalNumber, SIG_DFL);
        raise(signalNumber);
        return;
    }
    int saved = errno;
    int fd = leaseFd;
    if (fd >= 0 && leaseState != noLease) {
        int wanted = fcntl(fd, F_GETLEASE);
        if (wanted == F_RDLCK) {
            if (fcntl(fd, F_SETLEASE, F_RDLCK) == 0) leaseState = readLease;
        } else if (wanted == F_UNLCK) {
            leaseBroken = 1;
            fcntl(fd, F_SETLEASE, F_UNLCK);
            leaseState = noLease;
            leaseFd = -1;
        }
    }
    errno = saved;
}

void catchLeaseSignal() {
    static bool installed = false;
    if (installed) return;
    installed = true;
    struct sigaction previous {};
    sigaction(SIGIO, nullptr, &previous);
    leaseSignalIgnored = !(previous.sa_flags & SA_SIGINFO) && previous.sa_handler == SIG_IGN;
    struct sigaction action {};
    action.sa_sigaction = onLeaseSignal;
    action.sa_flags = SA_SIGINFO | SA_RESTART;
    sigfillset(&action.sa_mask);
    sigaction(SIGIO, &action, nullptr);
}
#endif

// A write lease on the target where the kernel grants one.
void takeLease() {
    leaseBroken = 0;
    leaseState = noLease;
#if SUITE_HAVE_F_SETLEASE
    catchLeaseSignal();
#if SUITE_HAVE_F_SETSIG
    fcntl(targetFd, F_SETSIG, SIGIO);  // so that the break carries its reason
#endif
    leaseFd = targetFd;
    if (fcntl(targetFd, F_SETLEASE, F_WRLCK) == 0) {
        leaseState = writeLease;
    } else {
        leaseFd = -1;
    }
#endif
}

// ---- Looking a name up --------------------------------------------------------------

#if SUITE_HAVE_O_PATH
constexpr int kLookFlags = O_PATH | kNoFollow | O_CLOEXEC;
constexpr int kDirectoryFlags = O_PATH | O_DIRECTORY | O_CLOEXEC;
#else
constexpr int kDirectoryFlags = O_RDONLY | O_DIRECTORY | kNoFollow | O_CLOEXEC;
#endif

// A link is followed when the caller or root owns it, or when it lies in a
// directory that only the directory's owner may write: no one else can have
// planted it there.
bool mayFollow(const struct stat &link, const struct stat &directory) {
    return link.st_uid == geteuid() || link.st_uid == 0 || (directory.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

// Looks `name` up one component at a time, following only the links that
// mayFollow allows. Returns a descriptor on the directory that holds the
// last component (named in finalName), with the final object's status in
// *status and, where the system has O_PATH, a descriptor on it in *object
// that opens nothing for I/O; or -1 with errno set, or with *refusal set
// when a link was refused.
int lookUp(const char *name, struct stat *status, int *object, const char **refusal) {
    *refusal = nullptr;
    *object = -1;
    size_t length = std::strlen(name);
    if (length == 0 || length >= PATH_MAX) {
        errno = length == 0 ? ENOENT : ENAMETOOLONG;
        return -1;
    }
    std::memcpy(pending, name, length + 1);
    int dir = open(pending[0] == '/' ? "/" : ".", kDirectoryFlags);
    if (dir < 0) return -1;
    size_t at = 0;
    int links = 0;
    for (;;) {
        while (pending[at] == '/') ++at;
        size_t end = at;
        while (pending[end] != '\0' && pending[end] != '/') ++end;
        size_t next = end;
        while (pending[next] == '/') ++next;
        bool last = pending[next] == '\0';
        if (end == at) {  // "/" itself, or what a link to "/" left
            std::strcpy(finalName, ".");
        } else if (end - at > NAME_MAX) {
            closeQuietly(dir);
            errno = ENAMETOOLONG;
            return -1;
        } else {
            std::memcpy(finalName, pending + at, end - at);
            finalName[end - at] = '\0';
        }
        struct stat here;
        int fd = -1;
#if SUITE_HAVE_O_PATH
        fd = openat(dir, finalName, kLookFlags);
        if (fd < 0 || fstat(fd, &here) != 0) {
            closeQuietly(fd);
            closeQuietly(dir);
            return -1;
        }
#else
        if (fstatat(dir, finalName, &here, AT_SYMLINK_NOFOLLOW) != 0) {
            closeQuietly(dir);
            return -1;
        }
#endif
        if (S_ISLNK(here.st_mode)) {
            struct stat directory;
            if (fstat(dir, &directory) != 0 || !mayFollow(here, directory)) {
                std::snprintf(buffer, sizeof buffer,
                              "(1) symbolic link \"%.200s\" belongs to another user, in a directory that others "
                              "may write; not followed",
                              finalName);
                *refusal = buffer;
                closeQuietly(fd);
                closeQuietly(dir);
                return -1;
            }
            char target[PATH_MAX];
#if SUITE_HAVE_O_PATH
            ssize_t got = readlinkat(fd, "", target, sizeof target);
            closeQuietly(fd);
#else
            ssize_t got = readlinkat(dir, finalName, target, sizeof target);
            struct stat again;
            // The link read must be the link that was judged.
            if (got >= 0 && (fstatat(dir, finalName, &again, AT_SYMLINK_NOFOLLOW) != 0 || !sameFile(again, here) ||
                             again.st_uid != here.st_uid)) {
                continue;
            }
#endif
            if (got < 0 || static_cast<size_t>(got) >= sizeof target || ++links > kMaxLinks) {
                if (got >= 0) errno = ++links > kMaxLinks ? ELOOP : ENAMETOOLONG;
                closeQuietly(dir);
                return -1;
            }
            size_t restLength = std::strlen(pending + end);
            size_t linkLength = static_cast<size_t>(got);
            if (linkLength + restLength + 1 > sizeof pending) {
                closeQuietly(dir);
                errno = ENAMETOOLONG;
                return -1;
            }
            std::memmove(pending + linkLength, pending + end, restLength + 1);
            std::memcpy(pending, target, linkLength);
            at = 0;
            if (target[0] == '/') {
                closeQuietly(dir);
                dir = open("/", kDirectoryFlags);
                if (dir < 0) return -1;
            }
            continue;
        }
        if (last) {
            *status = here;
            *object = fd;
            return dir;
        }
        if (!S_ISDIR(here.st_mode)) {
            closeQuietly(fd);
            closeQuietly(dir);
            errno = ENOTDIR;
            return -1;
        }
#if SUITE_HAVE_O_PATH
        closeQuietly(dir);
        dir = fd;
#else
        int opened = openat(dir, finalName, kDirectoryFlags);
        closeQuietly(dir);
        struct stat now;
        if (opened >= 0 && (fstat(opened, &now) != 0 || !sameFile(now, here))) {
            closeQuietly(opened);
            errno = ENOENT;  // swapped while it was looked at
            opened = -1;
        }
        if (opened < 0) return -1;
        dir = opened;
#endif
        at = next;
    }
}

// The checks of cantprocess on a status; null or a message of number 1.
const char *judge(const struct stat &status) {
    switch (status.st_mode & S_IFMT) {
    case S_IFIFO:
        return refuse("FIFO/pipe");
    case S_IFCHR:
        return refuse("character device");
    case S_IFDIR:
        return refuse("directory");
    case S_IFBLK:
        return refuse("block device");
    default:
        break;
    }
    // Only the owner's bits count, whoever the caller is.
    if ((status.st_mode & S_IRUSR) == 0) {
        return refuse("do not have read permission");
    }
    if ((status.st_mode & S_IWUSR) == 0) {
        return refuse("do not have write permission");
    }
    return nullptr;
}

// The checks, keeping what the look-up opened for the begin to use.
const char *examine(const char *name, int *dir, int *object) {
    *dir = -1;
    *object = -1;
    size_t length = std::strlen(name);
    if (length > 0 && name[length - 1] == '/') {
        return refuse("Name must not end in /");
    }
    const char *refusal = nullptr;
    *dir = lookUp(name, &stat_buf, object, &refusal);
    if (*dir < 0) {
        return refusal != nullptr ? refusal : refuse("Cannot find [stat()] the file");
    }
    if (const char *reason = judge(stat_buf)) {
        closeQuietly(*object);
        closeQuietly(*dir);
        *dir = *object = -1;
        return reason;
    }
    return nullptr;
}

// Opens the looked-up object with `flags`: through its O_PATH descriptor
// where there is one (the very file looked at, whatever the name leads to
// now), else by its last name component without following a link, without
// blocking and without taking a terminal. Only a regular file is opened at
// all; what was opened is checked to be the file that was looked at.
int openChecked(int dir, int object, int flags) {
    if (!S_ISREG(stat_buf.st_mode)) {
        errno = ENXIO;  // a socket, or anything else that is not a file
        return -1;
    }
    flags |= O_NOCTTY | O_CLOEXEC;
    int fd = -1;
    if (object >= 0) {
        // The regular file itself: an open that may wait for another
        // process's lease to be let go, but can act on nothing else.
        char path[64];
        std::snprintf(path, sizeof path, "/proc/self/fd/%d", object);
        fd = open(path, flags);
        if (fd < 0 && errno != ENOENT) return -1;
    }
    if (fd < 0) fd = openat(dir, finalName, flags | kNoFollow | O_NONBLOCK);
    if (fd < 0) return -1;
    struct stat opened;
    if (fstat(fd, &opened) != 0 || !sameFile(opened, stat_buf) || !S_ISREG(opened.st_mode)) {
        closeQuietly(fd);
        errno = ESTALE;
        return -2;
    }
    return fd;
}

// ---- The temporary file ------------------------------------------------------------

// Six characters for a name, different at each call and across processes.
void fillSuffix(char *x) {
    static const char letters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    static unsigned long long state = 0;
    struct timespec now {};
    clock_gettime(CLOCK_REALTIME, &now);
    state = state * 6364136223846793005ull + 1442695040888963407ull +
            static_cast<unsigned long long>(now.tv_nsec) + (static_cast<unsigned long long>(getpid()) << 20);
    unsigned long long bits = state;
    for (int i = 0; i < 6; ++i) {
        x[i] = letters[(bits >> 33) % 62];
        bits = bits * 6364136223846793005ull + 1ull;
    }
}

// A fresh replFileXXXXXX name that no file has now.
void chooseName() {
    int saved = errno;
    std::memcpy(tempFileName, tempTemplate, sizeof tempTemplate);
    for (int tries = 0; tries < 100; ++tries) {
        fillSuffix(tempFileName + sizeof tempTemplate - 7);
        struct stat existing;
        if (lstat(tempFileName, &existing) != 0 && errno == ENOENT) break;
    }
    errno = saved;
}

// Creates the temporary file with every signal held, so that a handler that
// removes it never sees a name that is not yet, or no longer, ours. It is
// nameless where the system can make such a file, else named replPartXXXXXX
// until it is complete.
bool createTemporary() {
    sigset_t previous;
    holdSignals(&previous);
    chooseName();
    temporaryNamed = false;
    tmpfd = -1;
#if SUITE_HAVE_O_TMPFILE
    tmpfd = open(".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
#endif
    if (tmpfd < 0) {
        std::memcpy(partialName, partialTemplate, sizeof partialTemplate);
        tmpfd = mkstemp(partialName);
        if (tmpfd >= 0) {
            // The complete copy will be named with the same six characters.
            std::memcpy(tempFileName + sizeof tempTemplate - 7, partialName + sizeof partialTemplate - 7, 6);
            removableName = partialName;
            temporaryRemovable = 1;
        }
    }
    int saved = errno;
    releaseSignals(&previous);
    errno = saved;
    return tmpfd >= 0;
}

// Gives the complete, synced temporary file its replFileXXXXXX name, with
// every signal held. Returns 0 or an errno value.
int nameTemporary() {
    sigset_t previous;
    holdSignals(&previous);
    int result = 0;
    for (int tries = 0; tries < 100; ++tries) {
        int made = -1;
        if (temporaryRemovable && removableName == partialName) {
            made = link(partialName, tempFileName);
            if (made != 0 && errno != EEXIST) {
                // A file system without hard links: the partial name is ours.
                made = rename(partialName, tempFileName);
                if (made == 0) partialName[0] = '\0';
            }
        } else {
#if SUITE_HAVE_O_TMPFILE
#if SUITE_HAVE_AT_EMPTY_PATH
            made = linkat(tmpfd, "", AT_FDCWD, tempFileName, AT_EMPTY_PATH);
            if (made != 0 && errno != EEXIST)
#endif
            {
                char path[64];
                std::snprintf(path, sizeof path, "/proc/self/fd/%d", tmpfd);
                made = linkat(AT_FDCWD, path, AT_FDCWD, tempFileName, AT_SYMLINK_FOLLOW);
            }
#else
            errno = EINVAL;
#endif
        }
        if (made == 0) {
            if (partialName[0] != '\0' && removableName == partialName) unlink(partialName);
            partialName[0] = '\0';
            removableName = tempFileName;
            temporaryRemovable = 1;
            temporaryNamed = true;
            break;
        }
        if (errno != EEXIST) {
            result = errno;
            break;
        }
        chooseName();
    }
    releaseSignals(&previous);
    return result;
}

// Ends the pending replacement's hold on everything; errno survives.
void release() {
    int saved = errno;
    dropLease();
    if (tmpfp != nullptr) {
        std::fclose(tmpfp);
        tmpfp = nullptr;
    } else if (tmpfd >= 0) {
        close(tmpfd);
    }
    tmpfd = -1;
    if (targetFd >= 0) {
        close(targetFd);  // releases the lock
        targetFd = -1;
    }
    std::free(oldFileName);
    oldFileName = nullptr;
    preserveD = 0;
    roomReserved = false;
    errno = saved;
}

// A failure before the target changed: the temporary file goes too.
const char *giveUp(const char *message) {
    int saved = errno;
    discardReplacement();
    release();
    errno = saved;
    return message;
}

// Opens the checked target for reading and writing, refusing anything that
// is not the file that was checked. Returns null or a message.
const char *openTarget(int dir, int object) {
    // Readable but not writable is refused here, before any work; a file
    // that cannot even be read is the caller's to report. The lock is
    // looked at through a descriptor that only reads, so that a run that
    // finds the file being converted never opens it for writing, which
    // would break the other run's lease.
    // Where the name must be opened again (no O_PATH descriptor), it is
    // opened once only, for reading and writing, and there are no leases.
    if (object >= 0) {
        int probe = openChecked(dir, object, O_RDONLY);
        if (probe == -2) return changedMeanwhile;
        if (probe < 0 && errno == EWOULDBLOCK) return beingConverted;  // another process's lease
        if (probe < 0) return "(9) Cannot open the file for reading";
        // One run at a time on a file: another run's half-written target
        // must never be read as this run's input.
        if (flock(probe, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
            closeQuietly(probe);
            return beingConverted;
        }
        closeQuietly(probe);
    }
    targetFd = openChecked(dir, object, O_RDWR);
    if (targetFd < 0) {
        int reason = errno;
        bool changed = targetFd == -2;
        targetFd = -1;
        if (changed) return changedMeanwhile;
        if (object < 0) {
            int probe = openChecked(dir, object, O_RDONLY);
            if (probe == -2) return changedMeanwhile;
            if (probe < 0) return "(9) Cannot open the file for reading";
            closeQuietly(probe);
        }
        return withReason("(8) Cannot open the file for writing: %s: original file left unchanged", reason);
    }
    if (fstat(targetFd, &targetStatus) != 0) return changedMeanwhile;
    if (flock(targetFd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
        return beingConverted;
    }
    times[0] = fileTime(targetStatus, FileTime::access);
    times[1] = fileTime(targetStatus, FileTime::modification);
    takeLease();
    return nullptr;
}

const char *begin(const char *name, const char *mode, int preserveDates, FILE **stream) {
    // One replacement at a time: a begin while another is pending would lose
    // track of its temporary file.
    assert(tmpfp == nullptr && targetFd < 0);
    assert(stream != nullptr);

    int dir = -1;
    int object = -1;
    if (const char *reason = examine(name, &dir, &object)) {
        return reason;
    }
    preserveD = preserveDates;

    size_t length = std::strlen(name) + 1;
    oldFileName = static_cast<char *>(std::malloc(length));
    if (oldFileName == nullptr) {
        closeQuietly(object);
        closeQuietly(dir);
        return "(2) Insufficient memory";
    }
    std::memcpy(oldFileName, name, length);

    const char *message = openTarget(dir, object);
    closeQuietly(object);
    closeQuietly(dir);
    if (message != nullptr) {
        return giveUp(message);
    }
    if (!createTemporary()) {
        return giveUp("(3) Cannot open a temporary file for read/write access");
    }
    tmpfp = fdopen(tmpfd, mode);
    if (tmpfp == nullptr) {
        // Nothing was written yet: the empty file is of no use to anyone.
        return giveUp("(4) Cannot fdopen() temporary file's file descriptor");
    }
    *stream = tmpfp;
    return nullptr;
}

// ---- The finish ----------------------------------------------------------------------

// Step 1: the new contents flushed. Returns their size, or -1 with errno set.
off_t flushTemporary() {
    int writeFailed = std::ferror(tmpfp);
    int writeErrno = errno;
    if (writeFailed) {
        errno = writeErrno != 0 ? writeErrno : EIO;
        return -1;
    }
    struct stat status;
    if (std::fflush(tmpfp) != 0 || fstat(tmpfd, &status) != 0) {
        return -1;
    }
    return status.st_size;
}

ssize_t readAll(int fd, char *data, size_t length, off_t at) {
    size_t done = 0;
    while (done < length) {
        ssize_t got = pread(fd, data + done, length - done, at + static_cast<off_t>(done));
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return -1;
        if (got == 0) break;
        done += static_cast<size_t>(got);
    }
    return static_cast<ssize_t>(done);
}

// Whether the target already holds exactly the `size` bytes of the new
// contents (a read error counts as a difference).
bool alreadyConverted(off_t size) {
    if (size != targetStatus.st_size) return false;
    for (off_t done = 0; done < size;) {
        off_t remaining = size - done;
        size_t want = static_cast<size_t>(remaining < off_t{kCopyBufferSize} ? remaining : off_t{kCopyBufferSize});
        ssize_t a = readAll(tmpfd, copyBuffer, want, done);
        ssize_t b = readAll(targetFd, compareBuffer, want, done);
        if (a != static_cast<ssize_t>(want) || b != a || std::memcmp(copyBuffer, compareBuffer, want) != 0) {
            return false;
        }
        done += static_cast<off_t>(want);
    }
    return true;
}

// Step 3: the target is still the file that was read, and nobody has
// written it since.
bool targetUnchanged() {
    if (leaseBroken) return false;
    struct stat now;
    struct stat named;
    return fstat(targetFd, &now) == 0 && now.st_size == targetStatus.st_size &&
           sameTime(fileTime(now, FileTime::modification), fileTime(targetStatus, FileTime::modification)) &&
           sameTime(fileTime(now, FileTime::change), fileTime(targetStatus, FileTime::change)) &&
           stat(oldFileName, &named) == 0 && sameFile(named, targetStatus);
}

// Whether overwriting the target may need new blocks: the copy-on-write file
// systems, and every file system where the kind cannot be told.
bool copyOnWrite() {
#if SUITE_HAVE_FSTATFS
    struct statfs fs;
    if (fstatfs(targetFd, &fs) != 0) return true;
    switch (static_cast<unsigned long>(fs.f_type) & 0xffffffffu) {
    case 0x9123683eu:  // btrfs
    case 0x58465342u:  // XFS (reflinks possible)
    case 0x2fc12fc1u:  // ZFS
    case 0xca451a4eu:  // bcachefs
        return true;
    default:
        return false;
    }
#else
    return true;
#endif
}

// Notes the target's holes, so that a reservation that is not used can be
// given back exactly.
[[maybe_unused]] void noteHoles() {
    holes = 0;
#if SUITE_HAVE_SEEK_HOLE
    if (static_cast<blkcnt_t>(targetStatus.st_size / 512) <= targetStatus.st_blocks) return;  // no hole
    off_t at = 0;
    while (at < targetStatus.st_size && holes < kMaxHoles) {
        off_t start = lseek(targetFd, at, SEEK_HOLE);
        if (start < 0 || start >= targetStatus.st_size) break;
        off_t end = lseek(targetFd, start, SEEK_DATA);
        if (end < 0) end = targetStatus.st_size;
        holeStart[holes] = start;
        holeEnd[holes] = end;
        ++holes;
        at = end;
    }
    lseek(targetFd, 0, SEEK_SET);
#endif
}

// A reservation that will not be used: the blocks past the file's end and
// in its former holes go back, and the file keeps its times where the
// system lets them be set.
void giveBackRoom() {
    if (!roomReserved) return;
    roomReserved = false;
    // A file that another process writes is left to it: cutting it to its
    // old size could cut what that process added.
    // (The reservation itself may have changed the times.)
    struct stat now;
    if (leaseBroken || fstat(targetFd, &now) != 0 || now.st_size != targetStatus.st_size) {
        return;
    }
    int saved = errno;
#if SUITE_HAVE_FALLOCATE && SUITE_HAVE_FALLOC_PUNCH_HOLE
    for (int i = 0; i < holes; ++i) {
        fallocate(targetFd, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, holeStart[i], holeEnd[i] - holeStart[i]);
    }
#endif
    // Cutting to the same size releases what lies past the end.
    if (ftruncate(targetFd, targetStatus.st_size) == 0) futimens(targetFd, times);
    errno = saved;
}

// Step 4: room for `size` bytes in the target. Returns 0 or an errno value.
int reserveRoom(off_t size) {
    struct rlimit limit;
    if (getrlimit(RLIMIT_FSIZE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY &&
        static_cast<rlim_t>(size) > limit.rlim_cur) {
        return EFBIG;
    }
    // The fallback copy's buffer is touched now, so that the memory it
    // needs is in hand before the target changes.
    std::memset(copyBuffer, 0, sizeof copyBuffer);
    struct statvfs fs;
    bool reserved = size == 0;
#if SUITE_HAVE_FALLOCATE
    if (!reserved) {
        noteHoles();
        roomReserved = true;
        if (fallocate(targetFd, FALLOC_FL_KEEP_SIZE, 0, size) == 0) {
            reserved = true;
        } else if (errno != EOPNOTSUPP && errno != ENOSYS) {
            int reason = errno;
            giveBackRoom();
            return reason;
        } else {
            roomReserved = false;
        }
    }
#endif
    if (!reserved) {
        // A file system that cannot reserve: at least make sure the space is free.
        if (fstatvfs(targetFd, &fs) == 0) {
            long long needed = static_cast<long long>(size) - static_cast<long long>(targetStatus.st_blocks) * 512;
            long long available = static_cast<long long>(fs.f_bavail) * static_cast<long long>(fs.f_frsize);
            if (needed > available) return ENOSPC;
        }
    }
    // Overwriting a copy-on-write file's blocks takes new ones: the whole
    // new size must be free.
    if (size > 0 && copyOnWrite() && fstatvfs(targetFd, &fs) == 0) {
        long long available = static_cast<long long>(fs.f_bavail) * static_cast<long long>(fs.f_frsize);
        if (static_cast<long long>(size) > available) {
            giveBackRoom();
            return ENOSPC;
        }
    }
    return 0;
}

bool writeAll(const char *data, size_t length, off_t at) {
    while (length > 0) {
        ssize_t put = pwrite(targetFd, data, length, at);
        if (put < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data += put;
        length -= static_cast<size_t>(put);
        at += put;
    }
    return true;
}

bool othersWrote = false;  // the target's size showed another writer during the write-back

// Whether the target's size is what this write-back alone makes of it.
void watchSize(off_t expected) {
    struct stat now;
    if (fstat(targetFd, &now) == 0 && now.st_size != expected) othersWrote = true;
}

#if SUITE_HAVE_COPY_FILE_RANGE
bool kernelCopy = true;  // until the kernel says it cannot copy between these two files
#endif
bool nothingWritten = true;

// Bytes [from, to) of the temporary file over the same bytes of the target,
// the target's size checked against `expected` after every chunk. Returns
// null, or the failing side's message text with errno set.
const char *copyRange(off_t from, off_t to, off_t expected) {
    off_t done = from;
    off_t watched = from;
    while (done < to) {
        off_t remaining = to - done;
        ssize_t got;
#if SUITE_HAVE_COPY_FILE_RANGE
        if (kernelCopy) {
            size_t want = static_cast<size_t>(remaining < kCopyChunk ? remaining : kCopyChunk);
            loff_t in = done;  // the kernel's own 64-bit offsets, whatever off_t is
            loff_t out = done;
            got = copy_file_range(tmpfd, &in, targetFd, &out, want, 0);
            if (got < 0 && nothingWritten &&
                (errno == EXDEV || errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP)) {
                kernelCopy = false;
                continue;
            }
            if (got < 0 && errno != EINTR) return "Error while writing the output file";
        } else
#endif
        {
            size_t want = static_cast<size_t>(remaining < off_t{kCopyBufferSize} ? remaining : off_t{kCopyBufferSize});
            got = pread(tmpfd, copyBuffer, want, done);
            if (got < 0 && errno != EINTR) return "Error while reading the input file";
            if (got > 0 && !writeAll(copyBuffer, static_cast<size_t>(got), done)) {
                return "Error while writing the output file";
            }
        }
        if (got == 0) {
            errno = EIO;  // the temporary file is shorter than it was a moment ago
            return "Error while reading the input file";
        }
        if (got > 0) {
            done += got;
            nothingWritten = false;
        }
        if (done - watched >= kCopyChunk || done == to) {
            watchSize(expected);
            watched = done;
        }
    }
    return nullptr;
}

// Step 6: the temporary file's `size` bytes over the start of the target.
// A file that grows gets its last bytes first, so that from the first write
// on its size is final and an append by anyone else shows at once; a file
// that shrinks keeps its old size until it is cut at the end. Returns null,
// or the failing side's message text with errno set.
const char *copyBack(off_t size) {
    othersWrote = false;
    nothingWritten = true;
#if SUITE_HAVE_COPY_FILE_RANGE
    kernelCopy = true;
#endif
    const off_t oldSize = targetStatus.st_size;
    const off_t expected = size > oldSize ? size : oldSize;
    off_t tail = size;
    if (size > oldSize) {
        tail = size - oldSize < off_t{kCopyBufferSize} ? oldSize : size - off_t{kCopyBufferSize};
        if (const char *what = copyRange(tail, size, expected)) return what;
    }
    if (const char *what = copyRange(0, tail, expected)) return what;
    if (size == 0) watchSize(oldSize);
    // Bytes that another process appended are not cut away.
    if ((!othersWrote && ftruncate(targetFd, size) != 0) || fsync(targetFd) != 0) {
        return "Error while writing the output file";
    }
    return nullptr;
}

const char *reportDamage(const char *what) {
    int reason = errno;
    std::snprintf(MFErrorMsg, sizeof MFErrorMsg,
                  "(5) Error while moving a temporary file \"%s\"to file name \"%s\": %s: %s: "
                  "original file may be damaged or lost",
                  tempFileName, oldFileName, what, std::strerror(reason));
    // The temporary file holds the only complete copy of the new contents:
    // nothing may remove it any more.
    temporaryRemovable = 0;
    release();
    errno = reason;
    return MFErrorMsg;
}

const char *reportOtherWriter() {
    std::snprintf(MFErrorMsg, sizeof MFErrorMsg,
                  "(13) Another process changed the file while it was written back; the complete new contents "
                  "are kept in \"%s\"",
                  tempFileName);
    temporaryRemovable = 0;
    release();
    return MFErrorMsg;
}

const char *finish() {
    assert(tmpfp != nullptr && targetFd >= 0);

    off_t size = flushTemporary();
    if (size >= 0 && alreadyConverted(size)) {
        // Nothing to change: the file is not written at all.
        return giveUp(nullptr);
    }
    if (size >= 0 && fsync(tmpfd) != 0) size = -1;
    if (size < 0) {
        int reason = errno;
        std::snprintf(closeErrorMsg, sizeof closeErrorMsg,
                      "(7) Error while writing the temporary file \"%s\": %s: original file left unchanged",
                      tempFileName, std::strerror(reason));
        errno = reason;
        return giveUp(closeErrorMsg);
    }
    if (!targetUnchanged()) {
        return giveUp(changedMeanwhile);
    }
    if (int reason = reserveRoom(size)) {
        return giveUp(withReason("(12) Cannot make room for the new contents: %s: original file left unchanged",
                                 reason));
    }
    // The reservation may have changed the times: what it left is what the
    // write-back must still find.
    struct stat reserved;
    if (fstat(targetFd, &reserved) != 0) reserved = targetStatus;
    // Every signal is held from the moment the complete copy has its name:
    // a tool that ends now leaves it, complete, for the recovery.
    sigset_t previous;
    holdSignals(&previous);
    if (int reason = nameTemporary()) {
        releaseSignals(&previous);
        giveBackRoom();
        std::snprintf(closeErrorMsg, sizeof closeErrorMsg,
                      "(7) Error while writing the temporary file \"%s\": %s: original file left unchanged",
                      tempFileName, std::strerror(reason));
        errno = reason;
        return giveUp(closeErrorMsg);
    }
#if SUITE_HAVE_F_SETLEASE
    // A reader let through earlier may be gone: the write lease again, so
    // that no one reads the file half-written.
    if (leaseState == readLease && fcntl(targetFd, F_SETLEASE, F_WRLCK) == 0) leaseState = writeLease;
#endif
    // The last moment at which the file can still be left alone.
    struct stat now;
    if (leaseBroken || fstat(targetFd, &now) != 0 || now.st_size != reserved.st_size ||
        !sameTime(fileTime(now, FileTime::modification), fileTime(reserved, FileTime::modification)) ||
        !sameTime(fileTime(now, FileTime::change), fileTime(reserved, FileTime::change))) {
        giveBackRoom();
        const char *message = giveUp(changedMeanwhile);
        releaseSignals(&previous);
        return message;
    }
    if (const char *what = copyBack(size)) {
        const char *message = reportDamage(what);
        releaseSignals(&previous);
        return message;
    }
    // The new contents are complete and safe in the target itself.
    const char *result = nullptr;
    if (preserveD && futimens(targetFd, times) != 0) {
        result = "(6) Cannot set original file date";
    }
    // Once more: the size this run left, or another process's doing.
    watchSize(size);
    if (othersWrote) {
        const char *message = reportOtherWriter();
        releaseSignals(&previous);
        return message;
    }
    int saved = errno;
    discardReplacement();
    release();  // the lease goes: a writer that waited goes on now
    releaseSignals(&previous);
    errno = saved;
    return result;
}

}  // namespace

void discardReplacement() {
    // Removed before the flag is cleared: a signal handler that interrupts
    // this finds the flag still set and removes the name once more, which
    // is harmless, whereas the other order could leave the file behind.
    if (temporaryRemovable) {
        unlink(removableName);
        temporaryRemovable = 0;
    }
}

FILE *openReplacedFile() {
    assert(targetFd >= 0);
    int fd = dup(targetFd);
    if (fd < 0) return nullptr;
    fcntl(fd, F_SETFL, 0);  // reads of a regular file never block; this only undoes O_NONBLOCK
    FILE *stream = fdopen(fd, "r");
    if (stream == nullptr) {
        int saved = errno;
        close(fd);
        errno = saved;
    }
    return stream;
}

const char *cantprocess(const char *name) {
    int dir = -1;
    int object = -1;
    const char *reason = examine(name, &dir, &object);
    closeQuietly(object);
    closeQuietly(dir);
    return reason;
}

const char *replaceFile(const char *name, const char *mode, int preserveDates, FILE **stream) {
    if (name == replaceFileAbortFlag) {
        discardReplacement();
        release();
        return nullptr;
    }
    if (name == nullptr) {
        return finish();
    }
    return begin(name, mode, preserveDates, stream);
}

int getRFErrorNumber(const char *message) { return getMFErrorNumber(message); }

const char *getRFErrorString(const char *message) { return getMFErrorString(message); }
