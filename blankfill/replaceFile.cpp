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
//
// The look-up and the checked opening are common/checkedOpen's; the room on
// the file system (step 4) is room's, the lease (steps 3 and 7) lease's, the
// temporary copy and its names (step 5) temporaryCopy's, the copy over the
// target (step 6) overwrite's; the calls that only some systems have are
// common/fileCalls'.
#include "replaceFile.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cassert>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "checkedOpen.h"
#include "fileCalls.h"
#include "lease.h"
#include "movefile.h"
#include "overwrite.h"
#include "room.h"
#include "temporaryCopy.h"

char rcsid_replaceFile[] = "$Id: replaceFile.c,v 1.22 2019-01-11 12:40:03-05 devteam Exp $";

const char replaceFileAbortFlag[] = "replaceFileAbortFlagString8753";
const char kRfDirectory[] = "directory";

namespace {

// ---- Messages ------------------------------------------------------------------------

constexpr char kRefusedFormat[] = "(1) %s";
constexpr char kLinkRefusedFormat[] =
    "(1) symbolic link \"%.200s\" belongs to another user and leads to what that user does not own; not followed";
constexpr char kNotFound[] = "Cannot find [stat()] the file";
constexpr char kLookUpFailedFormat[] = "(1) Cannot look up [%s()] the file: %s";
constexpr char kLookUpStoppedFormat[] = "(1) Cannot look up the file: %s";
constexpr char kNoMemory[] = "(2) Insufficient memory";
constexpr char kNoTemporary[] = "(3) Cannot open a temporary file for read/write access";
constexpr char kNoTemporaryStream[] = "(4) Cannot fdopen() temporary file's file descriptor";
constexpr char kDamagedFormat[] =
    "(5) Error while moving a temporary file \"%s\"to file name \"%s\": %s: %s: original file may be damaged or lost";
constexpr char kTimesNotSet[] = "(6) Cannot set original file date";
// The temporary file is named only where it has a name on disk: a nameless
// one has none until it is complete.
constexpr char kTemporaryNotWrittenFormat[] =
    "(7) Error while writing [%s()] the temporary file%s%s%s: %s: original file left unchanged";
constexpr char kCannotOpenForWritingFormat[] =
    "(8) Cannot open the file for writing: %s: original file left unchanged";
constexpr char kCannotOpenForReading[] = "(9) Cannot open the file for reading";
constexpr char kBeingConverted[] =
    "(10) The file is being converted by another process; original file left unchanged";
constexpr char kChangedMeanwhile[] = "(11) The file changed during the conversion; it was left as it is now";
constexpr char kNoRoomFormat[] = "(12) Cannot make room for the new contents: %s: original file left unchanged";
constexpr char kOtherWriterFormat[] =
    "(13) Another process changed the file while it was written back; the complete new contents are kept in \"%s\"";

// The texts carry the numbers that the header names.
static_assert(messageNumber(kRefusedFormat) == kRfRefused && messageNumber(kLinkRefusedFormat) == kRfRefused);
static_assert(messageNumber(kLookUpFailedFormat) == kRfRefused && messageNumber(kLookUpStoppedFormat) == kRfRefused);
static_assert(messageNumber(kNoMemory) == kRfNoMemory && messageNumber(kNoTemporary) == kRfNoTemporary);
static_assert(messageNumber(kNoTemporaryStream) == kRfNoTemporaryStream && messageNumber(kDamagedFormat) == kRfDamaged);
static_assert(messageNumber(kTimesNotSet) == kRfTimesNotSet);
static_assert(messageNumber(kTemporaryNotWrittenFormat) == kRfTemporaryNotWritten);
static_assert(messageNumber(kCannotOpenForWritingFormat) == kRfCannotOpenForWriting);
static_assert(messageNumber(kCannotOpenForReading) == kRfCannotOpenForReading);
static_assert(messageNumber(kBeingConverted) == kRfBeingConverted);
static_assert(messageNumber(kChangedMeanwhile) == kRfChangedMeanwhile);
static_assert(messageNumber(kNoRoomFormat) == kRfNoRoom && messageNumber(kOtherWriterFormat) == kRfOtherWriter);

// ---- The replacement in progress -------------------------------------------------------

// The one replacement in progress: the target, open and locked, with what
// the finish needs to know of it, and the stream on the temporary copy.
struct Replacement {
    int tmpfd = -1;
    FILE *tmpfp = nullptr;
    char *oldFileName = nullptr;
    int targetFd = -1;
    struct stat targetStatus {};  // as the target was when it was opened and locked
    struct timespec times[2] {};  // its access and modification times, to the nanosecond
    int preserveDates = 0;
    Room room;
};
Replacement pending;

// Where a returned message is formatted; the caller reads it before the
// next call.
char messageText[2000];

const char *refuse(const char *reason) {
    std::snprintf(messageText, sizeof messageText, kRefusedFormat, reason);
    return messageText;
}

// A message that carries the system's text for `reason` in its middle.
const char *withReason(const char *format, int reason) {
    std::snprintf(messageText, sizeof messageText, format, std::strerror(reason));
    errno = reason;
    return messageText;
}

const char *temporaryNotWritten(const char *call, int reason) {
    const char *name = temporaryCopyOnDisk();
    std::snprintf(messageText, sizeof messageText, kTemporaryNotWrittenFormat, call, name ? " \"" : "",
                  name ? name : "", name ? "\"" : "", std::strerror(reason));
    errno = reason;
    return messageText;
}

// Every signal that can be blocked is held while the temporary file's name
// changes and while the target is written back.
void holdSignals(sigset_t *previous) {
    sigset_t set;
    sigfillset(&set);
    sigprocmask(SIG_BLOCK, &set, previous);
}

void releaseSignals(const sigset_t *previous) { sigprocmask(SIG_SETMASK, previous, nullptr); }

bool sameTime(const struct timespec &a, const struct timespec &b) {
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

// ---- The checks --------------------------------------------------------------------------

// The checks of cantprocess on a status; null or a message of number 1.
const char *judge(const struct stat &status) {
    switch (status.st_mode & S_IFMT) {
    case S_IFIFO:
        return refuse("FIFO/pipe");
    case S_IFCHR:
        return refuse("character device");
    case S_IFDIR:
        return refuse(kRfDirectory);
    case S_IFBLK:
        return refuse("block device");
    case S_IFSOCK:
        return refuse("socket");
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

// Why the look-up failed: a name that leads nowhere is not found; any other
// failure names the call and its cause (too many open files, a loop of
// links, a name too long).
const char *lookUpFailed(const LookedUp &found, int reason) {
    if (reason == ENOENT || reason == ENOTDIR) return refuse(kNotFound);
    if (found.failedCall != nullptr) {
        std::snprintf(messageText, sizeof messageText, kLookUpFailedFormat, found.failedCall, std::strerror(reason));
    } else {
        std::snprintf(messageText, sizeof messageText, kLookUpStoppedFormat, std::strerror(reason));
    }
    errno = reason;
    return messageText;
}

// The checks, keeping what the look-up opened for the begin to use.
const char *examine(const char *name, LookedUp *found) {
    size_t length = std::strlen(name);
    if (length > 0 && name[length - 1] == '/') {
        return refuse("Name must not end in /");
    }
    switch (lookUp(name, found)) {
    case LookUpEnd::linkRefused:
        std::snprintf(messageText, sizeof messageText, kLinkRefusedFormat, found->finalName);
        return messageText;
    case LookUpEnd::failed:
    case LookUpEnd::absent:
        return lookUpFailed(*found, errno);
    case LookUpEnd::found:
        break;
    }
    if (const char *reason = judge(found->status)) {
        closeLookedUp(found);
        return reason;
    }
    return nullptr;
}

// ---- The begin ---------------------------------------------------------------------------

// Where the file can be opened through its look handle: refuses it while
// another run converts it (its lease or its lock), looking through a
// descriptor that only reads, so that a run that finds the file being
// converted never opens it for writing, which would break the other run's
// lease. Returns null or a message.
const char *refuseWhileConverted(const LookedUp &found) {
    if (found.object < 0) return nullptr;
    int probe = openLookedUp(found, O_RDONLY);
    if (probe == kNotTheFileLookedAt) return kChangedMeanwhile;
    if (probe < 0 && errno == EWOULDBLOCK) return kBeingConverted;  // another process's lease
    if (probe < 0) return kCannotOpenForReading;
    // One run at a time on a file: another run's half-written target must
    // never be read as this run's input.
    int locked = flock(probe, LOCK_EX | LOCK_NB);
    int reason = errno;
    close(probe);
    return locked != 0 && reason == EWOULDBLOCK ? kBeingConverted : nullptr;
}

// Why the target cannot be opened for writing: readable but not writable is
// refused here, before any work; a file that cannot even be read is the
// caller's to report.
const char *cannotOpenForWriting(const LookedUp &found, int reason) {
    if (found.object < 0) {
        int probe = openLookedUp(found, O_RDONLY);
        if (probe == kNotTheFileLookedAt) return kChangedMeanwhile;
        if (probe < 0) return kCannotOpenForReading;
        close(probe);
    }
    return withReason(kCannotOpenForWritingFormat, reason);
}

// Opens the checked target for reading and writing, refusing anything that
// is not the file that was checked, locks and leases it. Where the name must
// be opened again (no look handle), it is opened once only, for reading and
// writing, and there are no leases. Returns null or a message.
const char *openTarget(const LookedUp &found) {
    if (const char *message = refuseWhileConverted(found)) return message;
    int fd = openLookedUp(found, O_RDWR);
    if (fd == kNotTheFileLookedAt) return kChangedMeanwhile;
    if (fd < 0) return cannotOpenForWriting(found, errno);
    pending.targetFd = fd;
    if (fstat(fd, &pending.targetStatus) != 0) return kChangedMeanwhile;
    if (flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
        return kBeingConverted;
    }
    pending.times[0] = fileTime(pending.targetStatus, FileTime::access);
    pending.times[1] = fileTime(pending.targetStatus, FileTime::modification);
    // Times to keep are best kept by not moving them: reading the file then
    // leaves its access time, and a file with nothing to change is not
    // touched at all. Where the system or the file's owner does not allow
    // it, the times are set back at the finish.
    if (pending.preserveDates) {
        int before = errno;
        readWithoutAccessTime(fd);
        errno = before;
    }
    takeLease(fd);
    return nullptr;
}

// Makes the temporary copy with every signal held, so that a handler that
// removes it never sees a name that is not yet, or no longer, ours.
bool createTemporary() {
    sigset_t previous;
    holdSignals(&previous);
    pending.tmpfd = createTemporaryCopy();
    int saved = errno;
    releaseSignals(&previous);
    errno = saved;
    return pending.tmpfd >= 0;
}

// Ends the pending replacement's hold on everything; errno survives.
void release() {
    int saved = errno;
    letGoLease();
    if (pending.tmpfp != nullptr) {
        std::fclose(pending.tmpfp);
        pending.tmpfp = nullptr;
    } else if (pending.tmpfd >= 0) {
        close(pending.tmpfd);
    }
    pending.tmpfd = -1;
    if (pending.targetFd >= 0) {
        close(pending.targetFd);  // releases the lock
        pending.targetFd = -1;
    }
    std::free(pending.oldFileName);
    pending.oldFileName = nullptr;
    pending.preserveDates = 0;
    pending.room.reserved = false;
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

const char *begin(const char *name, const char *mode, int preserveDates, FILE **stream) {
    // One replacement at a time: a begin while another is pending would lose
    // track of its temporary file.
    assert(pending.tmpfp == nullptr && pending.targetFd < 0);
    assert(stream != nullptr);

    LookedUp found;
    if (const char *reason = examine(name, &found)) {
        return reason;
    }
    pending.preserveDates = preserveDates;

    size_t length = std::strlen(name) + 1;
    pending.oldFileName = static_cast<char *>(std::malloc(length));
    if (pending.oldFileName == nullptr) {
        closeLookedUp(&found);
        return kNoMemory;
    }
    std::memcpy(pending.oldFileName, name, length);

    const char *message = openTarget(found);
    closeLookedUp(&found);
    if (message != nullptr) {
        return giveUp(message);
    }
    if (!createTemporary()) {
        return giveUp(kNoTemporary);
    }
    pending.tmpfp = fdopen(pending.tmpfd, mode);
    if (pending.tmpfp == nullptr) {
        // Nothing was written yet: the empty file is of no use to anyone.
        return giveUp(kNoTemporaryStream);
    }
    *stream = pending.tmpfp;
    return nullptr;
}

// ---- Steps 1 to 3: the new contents, complete, and the target as it was --------------------

// Step 1: the new contents flushed. Returns their size, or -1 with errno set
// and the call that failed in *call.
off_t flushTemporary(const char **call) {
    *call = "write";
    int writeFailed = std::ferror(pending.tmpfp);
    int writeErrno = errno;
    if (writeFailed) {
        errno = writeErrno != 0 ? writeErrno : EIO;
        return -1;
    }
    struct stat status;
    if (std::fflush(pending.tmpfp) != 0) return -1;
    *call = "fstat";
    if (fstat(pending.tmpfd, &status) != 0) return -1;
    return status.st_size;
}

// Whether the target already holds exactly the `size` bytes of the new
// contents.
bool alreadyConverted(off_t size) {
    return size == pending.targetStatus.st_size && sameBytes(pending.tmpfd, pending.targetFd, size);
}

// Step 3: the target is still the file that was read, and nobody has
// written it since.
bool targetUnchanged() {
    if (leaseBroken()) return false;
    const struct stat &read = pending.targetStatus;
    struct stat now;
    struct stat named;
    return fstat(pending.targetFd, &now) == 0 && now.st_size == read.st_size &&
           sameTime(fileTime(now, FileTime::modification), fileTime(read, FileTime::modification)) &&
           sameTime(fileTime(now, FileTime::change), fileTime(read, FileTime::change)) &&
           stat(pending.oldFileName, &named) == 0 && sameFile(named, read);
}

// ---- Step 5: the complete copy named -----------------------------------------------------

// The last moment at which the file can still be left alone: whether it
// changed since the reservation left it as `reserved`, or a writer came.
bool changedSince(const struct stat &reserved) {
    struct stat now;
    return leaseBroken() || fstat(pending.targetFd, &now) != 0 || now.st_size != reserved.st_size ||
           !sameTime(fileTime(now, FileTime::modification), fileTime(reserved, FileTime::modification)) ||
           !sameTime(fileTime(now, FileTime::change), fileTime(reserved, FileTime::change));
}

// ---- The finish --------------------------------------------------------------------------

// How far a finish went, for its one way out.
struct Finish {
    sigset_t previous;           // the signal mask to go back to
    bool signalsHeld = false;    // from step 5 on
    bool targetWritten = false;  // step 6 began: the room is in use
    bool copyKept = false;       // the temporary file holds the only complete copy
};

const char *reportDamage(Finish *run, const char *what) {
    int reason = errno;
    std::snprintf(messageText, sizeof messageText, kDamagedFormat, temporaryCopyName(), pending.oldFileName, what,
                  std::strerror(reason));
    run->copyKept = true;
    errno = reason;
    return messageText;
}

const char *reportOtherWriter(Finish *run) {
    std::snprintf(messageText, sizeof messageText, kOtherWriterFormat, temporaryCopyName());
    run->copyKept = true;
    return messageText;
}

// The target's access and modification times as they were read, when the
// caller asked to keep them. Null or a message.
const char *keepTimes() {
    if (pending.preserveDates && futimens(pending.targetFd, pending.times) != 0) return kTimesNotSet;
    return nullptr;
}

// The access time of a file that was only read, set back where reading it
// moved it, when the caller asked to keep the times. Null or a message.
const char *keepAccessTime() {
    struct stat now;
    if (!pending.preserveDates || fstat(pending.targetFd, &now) != 0 ||
        sameTime(fileTime(now, FileTime::access), pending.times[0])) {
        return nullptr;
    }
    return keepTimes();
}

// Step 6 and what follows it: the write-back, the times, and a last look
// for another writer. Null or a message.
const char *writeBack(Finish *run, off_t size) {
    run->targetWritten = true;
    bool othersWrote = false;
    const char *what = overwrite(pending.tmpfd, pending.targetFd, pending.targetStatus.st_size, size, &othersWrote);
    if (what != nullptr) return reportDamage(run, what);
    // The new contents are complete and safe in the target itself.
    const char *result = keepTimes();
    // Once more: the size this run left, or another process's doing.
    if (othersWrote || sizeShowsOtherWriter(pending.targetFd, size)) return reportOtherWriter(run);
    return result;
}

// Steps 1 to 6 in their order; null or the message of the step that stopped.
const char *finishSteps(Finish *run) {
    const char *call = nullptr;
    off_t size = flushTemporary(&call);
    if (size >= 0 && alreadyConverted(size)) {
        // Nothing to change: the file is not written at all, but reading it
        // may have moved its access time.
        return keepAccessTime();
    }
    if (size >= 0 && fsync(pending.tmpfd) != 0) {
        call = "fsync";
        size = -1;
    }
    if (size < 0) return temporaryNotWritten(call, errno);
    if (!targetUnchanged()) return kChangedMeanwhile;
    prepareOverwrite();
    if (int reason = reserveRoom(&pending.room, pending.targetFd, pending.targetStatus, pending.times, size)) {
        return withReason(kNoRoomFormat, reason);
    }
    // The reservation may have changed the times: what it left is what the
    // write-back must still find.
    struct stat reserved;
    if (fstat(pending.targetFd, &reserved) != 0) reserved = pending.targetStatus;
    // Every signal is held from the moment the complete copy has its name:
    // a tool that ends now leaves it, complete, for the recovery.
    holdSignals(&run->previous);
    run->signalsHeld = true;
    if (int reason = nameTemporaryCopy(pending.tmpfd)) return temporaryNotWritten("link", reason);
    // A reader let through earlier may be gone: the write lease again, so
    // that no one reads the file half-written.
    retakeWriteLease();
    if (changedSince(reserved)) return kChangedMeanwhile;
    return writeBack(run, size);
}

// Step 7, whatever came before: the room given back where the target was
// not written, the temporary file removed unless it is the only complete
// copy, everything let go (the lease last of all: a writer that waited goes
// on now), and the signals released. errno is the stopping step's.
const char *finish() {
    assert(pending.tmpfp != nullptr && pending.targetFd >= 0);
    Finish run;
    const char *message = finishSteps(&run);
    int saved = errno;
    if (!run.targetWritten) giveBackRoom(&pending.room);
    if (run.copyKept) {
        keepTemporaryCopy();
    } else {
        discardReplacement();
    }
    release();
    if (run.signalsHeld) releaseSignals(&run.previous);
    errno = saved;
    return message;
}

}  // namespace

void discardReplacement() { discardTemporaryCopy(); }

FILE *openReplacedFile() {
    assert(pending.targetFd >= 0);
    int fd = dup(pending.targetFd);
    if (fd < 0) return nullptr;
    // Reads of a regular file never block; this only undoes O_NONBLOCK, and
    // keeps the others (O_NOATIME among them) of the open file it shares.
    int flags = fcntl(fd, F_GETFL);
    if (flags != -1) fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    FILE *stream = fdopen(fd, "r");
    if (stream == nullptr) {
        int saved = errno;
        close(fd);
        errno = saved;
    }
    return stream;
}

const char *cantprocess(const char *name) {
    LookedUp found;
    const char *reason = examine(name, &found);
    closeLookedUp(&found);
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

bool isDirectoryRefusal(const char *message) { return std::strcmp(getRFErrorString(message), kRfDirectory) == 0; }
