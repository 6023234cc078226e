// Safe file replacement: a pending replacement owns one temporary file in the
// working directory; finishing copies it back onto the target with movefile,
// aborting removes it. The target is never touched before its new contents
// are complete on disk.
#include "replaceFile.h"

#include <sys/stat.h>
#include <unistd.h>
#include <utime.h>

#include <cassert>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "movefile.h"

char rcsid_replaceFile[] = "$Id: replaceFile.c,v 1.22 2019-01-11 12:40:03-05 devteam Exp $";

const char replaceFileAbortFlag[] = "replaceFileAbortFlagString8753";

namespace {

constexpr char tempTemplate[] = "replFileXXXXXX";

// The one replacement in progress. An empty tempFileName means there is no
// temporary file that an abort may remove.
char tempFileName[sizeof tempTemplate];
char *oldFileName = nullptr;
int tmpfd = -1;
FILE *tmpfp = nullptr;
struct utimbuf times;
int preserveD = 0;

char buffer[300];        // messages of number 1
char MFErrorMsg[2000];   // message of number 5
char closeErrorMsg[600]; // message of number 7
struct stat stat_buf;

const char *refuse(const char *reason) {
    std::snprintf(buffer, sizeof buffer, "(1) %s", reason);
    return buffer;
}

void forgetTarget() {
    std::free(oldFileName);
    oldFileName = nullptr;
}

const char *begin(const char *name, const char *mode, int preserveDates, FILE **stream) {
    // One replacement at a time: a begin while another is pending would lose
    // track of its temporary file.
    assert(tmpfp == nullptr);
    assert(stream != nullptr);

    if (const char *reason = cantprocess(name)) {
        return reason;
    }
    preserveD = preserveDates;
    times.actime = stat_buf.st_atime;
    times.modtime = stat_buf.st_mtime;

    size_t length = std::strlen(name) + 1;
    oldFileName = static_cast<char *>(std::malloc(length));
    if (oldFileName == nullptr) {
        return "(2) Insufficient memory";
    }
    std::memcpy(oldFileName, name, length);

    std::memcpy(tempFileName, tempTemplate, sizeof tempTemplate);
    tmpfd = mkstemp(tempFileName);
    if (tmpfd < 0) {
        tempFileName[0] = '\0';
        forgetTarget();
        return "(3) Cannot open a temporary file for read/write access";
    }
    tmpfp = fdopen(tmpfd, mode);
    if (tmpfp == nullptr) {
        // Nothing was written yet: the empty file is of no use to anyone.
        int saved = errno;
        close(tmpfd);
        remove(tempFileName);
        tempFileName[0] = '\0';
        forgetTarget();
        errno = saved;
        return "(4) Cannot fdopen() temporary file's file descriptor";
    }
    *stream = tmpfp;
    return nullptr;
}

const char *finish() {
    assert(tmpfp != nullptr);

    // The last write-out happens here. If it (or any earlier write) failed,
    // the temporary file is incomplete and must never reach the target.
    int writeFailed = std::ferror(tmpfp);
    int writeErrno = errno;
    errno = 0;
    int closeFailed = std::fclose(tmpfp);
    tmpfp = nullptr;
    if (writeFailed || closeFailed != 0) {
        int reason = closeFailed != 0 && errno != 0 ? errno : writeErrno;
        if (reason == 0) reason = EIO;
        std::snprintf(closeErrorMsg, sizeof closeErrorMsg,
                      "(7) Error while writing the temporary file \"%s\": %s: original file left unchanged",
                      tempFileName, std::strerror(reason));
        remove(tempFileName);
        tempFileName[0] = '\0';
        forgetTarget();
        errno = reason;
        return closeErrorMsg;
    }

    if (const char *moveMessage = movefile(tempFileName, oldFileName)) {
        int moveErrno = errno;
        std::snprintf(MFErrorMsg, sizeof MFErrorMsg,
                      "(5) Error while moving a temporary file \"%s\"to file name \"%s\": %s: %s: "
                      "original file may be damaged or lost",
                      tempFileName, oldFileName, getMFErrorString(moveMessage), std::strerror(moveErrno));
        // The temporary file may hold the only complete copy of the new
        // contents: keep it, and make sure no later abort removes it.
        tempFileName[0] = '\0';
        forgetTarget();
        return MFErrorMsg;
    }
    tempFileName[0] = '\0';

    if (preserveD) {
        if (utime(oldFileName, &times) != 0) {
            forgetTarget();
            return "(6) Cannot set original file date";
        }
    }
    preserveD = 0;
    forgetTarget();
    return nullptr;
}

void abortPending() {
    if (tmpfp == nullptr) {
        return;
    }
    std::fclose(tmpfp);
    tmpfp = nullptr;
    if (tempFileName[0] != '\0') {
        remove(tempFileName);
        tempFileName[0] = '\0';
    }
    forgetTarget();
}

}  // namespace

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
        abortPending();
        return nullptr;
    }
    if (name == nullptr) {
        return finish();
    }
    return begin(name, mode, preserveDates, stream);
}

int getRFErrorNumber(const char *message) { return getMFErrorNumber(message); }

const char *getRFErrorString(const char *message) { return getMFErrorString(message); }
