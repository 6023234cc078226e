// Safe file replacement: a pending replacement holds the target open and
// locked, and owns one temporary file in the working directory that receives
// the new contents. Finishing writes them over the target through the
// descriptors that were opened at the start, never by reopening a name, and
// only once they are complete, on stable storage, and sure to fit; aborting
// removes the temporary file.
//
// The order of a finish is what keeps a user's file whole:
//   1. the temporary file is flushed and synced: a complete copy of the new
//      contents exists before the target changes, even across a crash;
//   2. the target is checked to be the file that was read, unchanged;
//   3. room for the new contents is reserved on the target's file system and
//      every other resource the copy needs is in hand;
//   4. with the ending signals held, the contents are written over the
//      target, cut to length and synced;
//   5. only then is the temporary file removed.
// Until step 4 starts, any failure leaves the target exactly as it was. From
// then on only an I/O error can still fail, and the temporary file is kept.
#include "replaceFile.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cassert>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "movefile.h"

char rcsid_replaceFile[] = "$Id: replaceFile.c,v 1.22 2019-01-11 12:40:03-05 devteam Exp $";

const char replaceFileAbortFlag[] = "replaceFileAbortFlagString8753";

namespace {

constexpr char tempTemplate[] = "replFileXXXXXX";
constexpr size_t kCopyBufferSize = 65536;

// The one replacement in progress. The temporary file may be removed (by an
// abort, a failure before the target changes, or a signal handler) only
// while temporaryRemovable is set; it is cleared for good once the temporary
// file holds the only complete copy of the new contents.
char tempFileName[sizeof tempTemplate];
volatile sig_atomic_t temporaryRemovable = 0;
char *oldFileName = nullptr;
int tmpfd = -1;
FILE *tmpfp = nullptr;
int targetFd = -1;
struct stat targetStatus;  // as the target was when it was opened and locked
struct timespec times[2];  // its access and modification times, to the nanosecond
int preserveD = 0;

// Used only when the kernel cannot copy between the two files itself.
char copyBuffer[kCopyBufferSize];

char buffer[300];        // messages of number 1
char MFErrorMsg[2000];   // message of number 5
char closeErrorMsg[600]; // messages of numbers 7, 8 and 12
struct stat stat_buf;

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

// The signals that end a tool when a user or the system asks it to stop.
sigset_t endingSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGHUP);
    sigaddset(&set, SIGQUIT);
    return set;
}

void holdEndingSignals(sigset_t *previous) {
    sigset_t set = endingSignals();
    sigprocmask(SIG_BLOCK, &set, previous);
}

void releaseEndingSignals(const sigset_t *previous) { sigprocmask(SIG_SETMASK, previous, nullptr); }

bool sameFile(const struct stat &a, const struct stat &b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

bool sameTime(const struct timespec &a, const struct timespec &b) {
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

// Ends the pending replacement's hold on everything; errno survives.
void release() {
    int saved = errno;
    if (tmpfp != nullptr) {
        std::fclose(tmpfp);
        tmpfp = nullptr;
    }
    tmpfd = -1;
    if (targetFd >= 0) {
        close(targetFd);  // releases the lock
        targetFd = -1;
    }
    std::free(oldFileName);
    oldFileName = nullptr;
    preserveD = 0;
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
const char *openTarget(const char *name) {
    targetFd = open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (targetFd < 0) {
        int reason = errno;
        // Readable but not writable is refused here, before any work; a file
        // that cannot even be read is the caller's to report.
        int readFd = open(name, O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (readFd < 0) {
            errno = reason;
            return "(9) Cannot open the file for reading";
        }
        close(readFd);
        return withReason("(8) Cannot open the file for writing: %s: original file left unchanged", reason);
    }
    // Between the check and the open the name may have been pointed elsewhere.
    if (fstat(targetFd, &targetStatus) != 0 || !sameFile(targetStatus, stat_buf) ||
        !S_ISREG(targetStatus.st_mode)) {
        return changedMeanwhile;
    }
    // One run at a time on a file: another run's half-written target must
    // never be read as this run's input.
    if (flock(targetFd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
        return beingConverted;
    }
    times[0] = targetStatus.st_atim;
    times[1] = targetStatus.st_mtim;
    return nullptr;
}

// Creates the temporary file with the ending signals held, so that a handler
// that removes it never sees a name that is not yet, or no longer, ours.
bool createTemporary() {
    sigset_t previous;
    holdEndingSignals(&previous);
    std::memcpy(tempFileName, tempTemplate, sizeof tempTemplate);
    tmpfd = mkstemp(tempFileName);
    if (tmpfd >= 0) temporaryRemovable = 1;
    int saved = errno;
    releaseEndingSignals(&previous);
    errno = saved;
    return tmpfd >= 0;
}

const char *begin(const char *name, const char *mode, int preserveDates, FILE **stream) {
    // One replacement at a time: a begin while another is pending would lose
    // track of its temporary file.
    assert(tmpfp == nullptr && targetFd < 0);
    assert(stream != nullptr);

    if (const char *reason = cantprocess(name)) {
        return reason;
    }
    preserveD = preserveDates;

    size_t length = std::strlen(name) + 1;
    oldFileName = static_cast<char *>(std::malloc(length));
    if (oldFileName == nullptr) {
        return "(2) Insufficient memory";
    }
    std::memcpy(oldFileName, name, length);

    if (const char *message = openTarget(name)) {
        return giveUp(message);
    }
    if (!createTemporary()) {
        return giveUp("(3) Cannot open a temporary file for read/write access");
    }
    tmpfp = fdopen(tmpfd, mode);
    if (tmpfp == nullptr) {
        // Nothing was written yet: the empty file is of no use to anyone.
        int saved = errno;
        close(tmpfd);
        errno = saved;
        return giveUp("(4) Cannot fdopen() temporary file's file descriptor");
    }
    *stream = tmpfp;
    return nullptr;
}

// Step 1: the new contents complete and on stable storage. Returns their
// size, or -1 with errno set.
off_t settleTemporary() {
    int writeFailed = std::ferror(tmpfp);
    int writeErrno = errno;
    if (writeFailed) {
        errno = writeErrno != 0 ? writeErrno : EIO;
        return -1;
    }
    struct stat status;
    if (std::fflush(tmpfp) != 0 || fsync(tmpfd) != 0 || fstat(tmpfd, &status) != 0) {
        return -1;
    }
    return status.st_size;
}

// Step 2: the target is still the file that was read, and nobody has
// written it since.
bool targetUnchanged() {
    struct stat now;
    struct stat named;
    return fstat(targetFd, &now) == 0 && now.st_size == targetStatus.st_size &&
           sameTime(now.st_mtim, targetStatus.st_mtim) && sameTime(now.st_ctim, targetStatus.st_ctim) &&
           stat(oldFileName, &named) == 0 && sameFile(named, targetStatus);
}

// Step 3: room for `size` bytes in the target. Returns 0 or an errno value.
int reserveRoom(off_t size) {
    struct rlimit limit;
    if (getrlimit(RLIMIT_FSIZE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY &&
        static_cast<rlim_t>(size) > limit.rlim_cur) {
        return EFBIG;
    }
    // The fallback copy's buffer is touched now, so that the memory it
    // needs is in hand before the target changes.
    std::memset(copyBuffer, 0, sizeof copyBuffer);
    if (size == 0 || fallocate(targetFd, FALLOC_FL_KEEP_SIZE, 0, size) == 0) {
        return 0;
    }
    if (errno != EOPNOTSUPP && errno != ENOSYS) {
        return errno;
    }
    // A file system that cannot reserve: at least make sure the space is free.
    struct statvfs fs;
    if (fstatvfs(targetFd, &fs) != 0) return 0;
    long long needed = static_cast<long long>(size) - static_cast<long long>(targetStatus.st_blocks) * 512;
    long long available = static_cast<long long>(fs.f_bavail) * static_cast<long long>(fs.f_frsize);
    return needed > available ? ENOSPC : 0;
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

// Step 4: the temporary file's `size` bytes over the start of the target.
// Returns null, or the failing side's message text with errno set.
const char *copyBack(off_t size) {
    bool kernelCopy = true;
    off_t done = 0;
    while (done < size) {
        size_t want = static_cast<size_t>(size - done);
        ssize_t got;
        if (kernelCopy) {
            off_t in = done;
            off_t out = done;
            got = copy_file_range(tmpfd, &in, targetFd, &out, want, 0);
            if (got < 0 && done == 0 &&
                (errno == EXDEV || errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP)) {
                kernelCopy = false;
                continue;
            }
            if (got < 0 && errno != EINTR) return "Error while writing the output file";
        } else {
            got = pread(tmpfd, copyBuffer, want < kCopyBufferSize ? want : kCopyBufferSize, done);
            if (got < 0 && errno != EINTR) return "Error while reading the input file";
            if (got > 0 && !writeAll(copyBuffer, static_cast<size_t>(got), done)) {
                return "Error while writing the output file";
            }
        }
        if (got == 0) {
            errno = EIO;  // the temporary file is shorter than it was a moment ago
            return "Error while reading the input file";
        }
        if (got > 0) done += got;
    }
    if (ftruncate(targetFd, size) != 0 || fsync(targetFd) != 0) {
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

const char *finish() {
    assert(tmpfp != nullptr && targetFd >= 0);

    off_t size = settleTemporary();
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

    sigset_t previous;
    holdEndingSignals(&previous);
    if (const char *what = copyBack(size)) {
        const char *message = reportDamage(what);
        releaseEndingSignals(&previous);
        return message;
    }
    // The new contents are complete and safe in the target itself.
    const char *result = nullptr;
    if (preserveD && futimens(targetFd, times) != 0) {
        result = "(6) Cannot set original file date";
    }
    int saved = errno;
    discardReplacement();
    release();
    releaseEndingSignals(&previous);
    errno = saved;
    return result;
}

}  // namespace

void discardReplacement() {
    // Removed before the flag is cleared: a signal handler that interrupts
    // this finds the flag still set and removes the name once more, which
    // is harmless, whereas the other order could leave the file behind.
    if (temporaryRemovable) {
        unlink(tempFileName);
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
    size_t length = std::strlen(name);
    if (length > 0 && name[length - 1] == '/') {
        return refuse("Name must not end in /");
    }
    if (stat(name, &stat_buf) != 0) {
        return refuse("Cannot find [stat()] the file");
    }
    switch (stat_buf.st_mode & S_IFMT) {
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
    if ((stat_buf.st_mode & S_IRUSR) == 0) {
        return refuse("do not have read permission");
    }
    if ((stat_buf.st_mode & S_IWUSR) == 0) {
        return refuse("do not have write permission");
    }
    return nullptr;
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
