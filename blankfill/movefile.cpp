// File move; see movefile.h.
//
// The move always copies and then removes the source; the file system's
// rename is never used, because the callers rely on the destination file
// itself (its permissions, owner and links) surviving the move.
#include "movefile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utime.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "joinPath.h"

char rcsid_movefile[] = "$Id: movefile.c,v 1.22 2019-01-11 12:37:04-05 devteam Exp $";

namespace {

constexpr char kNoSourceStatus[] = "(1) Cannot get the file status of the file to move";
constexpr char kSourceIsDirectory[] = "(2) Cannot move entire directories";
constexpr char kNoDirectoryWrite[] = "(3) No write permission for destination directory";
constexpr char kNoMemoryForName[] = "(4) Cannot get memory for  directory + file name";
constexpr char kSourceNoRead[] = "(5) The input file is marked as no read";
constexpr char kSourceNoWrite[] = "(6) Cannot remove the old file; nothing done";
constexpr char kNoMemoryForBuffer[] = "(7) Cannot get memory for move buffer";
constexpr char kCannotOpenInput[] = "(8) Cannot open the input file for reading";
constexpr char kCannotOpenOutput[] = "(9) Cannot open the output file for writing";
constexpr char kReadError[] = "(10) Error while reading the input file";
constexpr char kWriteError[] = "(11) Error while writing the output file";
constexpr char kCloseOutputError[] = "(12) Error while closing the output file";
constexpr char kInputErrorAtClose[] = "(13) Error while reading the input file";
constexpr char kCloseInputError[] = "(14) Error while closing the input file";
constexpr char kCannotRemoveInput[] = "(15) Cannot remove the input file after copying it";
constexpr char kCannotSetTimes[] = "(16) Cannot set destination_name's 'modified' date";
constexpr char kSameFile[] = "(17) Source and destination are the same file; nothing done";

static_assert(messageNumber(kNoSourceStatus) == kMfNoSourceStatus);
static_assert(messageNumber(kSourceIsDirectory) == kMfSourceIsDirectory);
static_assert(messageNumber(kNoDirectoryWrite) == kMfNoDirectoryWrite);
static_assert(messageNumber(kNoMemoryForName) == kMfNoMemoryForName);
static_assert(messageNumber(kSourceNoRead) == kMfSourceNoRead);
static_assert(messageNumber(kSourceNoWrite) == kMfSourceNoWrite);
static_assert(messageNumber(kNoMemoryForBuffer) == kMfNoMemoryForBuffer);
static_assert(messageNumber(kCannotOpenInput) == kMfCannotOpenInput);
static_assert(messageNumber(kCannotOpenOutput) == kMfCannotOpenOutput);
static_assert(messageNumber(kReadError) == kMfReadError);
static_assert(messageNumber(kWriteError) == kMfWriteError);
static_assert(messageNumber(kCloseOutputError) == kMfCloseOutputError);
static_assert(messageNumber(kInputErrorAtClose) == kMfInputErrorAtClose);
static_assert(messageNumber(kCloseInputError) == kMfCloseInputError);
static_assert(messageNumber(kCannotRemoveInput) == kMfCannotRemoveInput);
static_assert(messageNumber(kCannotSetTimes) == kMfCannotSetTimes);
static_assert(messageNumber(kSameFile) == kMfSameFile);

// The bit that the directory type sets. Testing this one bit rather than the
// whole type field also refuses block devices and sockets, whose type codes
// contain it.
constexpr mode_t kDirectoryBit = 040000;
constexpr mode_t kOwnerRead = S_IRUSR;
constexpr mode_t kOwnerWrite = S_IWUSR;

constexpr size_t kSmallBuffer = 65536;
constexpr size_t kLargeBuffer = 536870912;
constexpr off_t kLargeSourceSize = 104857600;

// The copy buffer, obtained for each move and released after it.
char *buf = nullptr;

// Closes a stream or descriptor on a failure path without disturbing the
// errno of the call that failed.
void closeQuietly(FILE *stream) {
    int saved = errno;
    std::fclose(stream);
    errno = saved;
}

void closeQuietly(int fd) {
    int saved = errno;
    close(fd);
    errno = saved;
}

// Opens the destination for writing and empties it, as mode "wb" would,
// unless it is the very file that is open as the source: emptying that
// would destroy the data before it is read. Returns null with *sameFile set
// in that case, or null with errno set when the destination cannot be opened.
FILE *openDestination(const char *name, FILE *source, bool *sameFile) {
    *sameFile = false;
    int fd = open(name, O_WRONLY | O_CREAT, 0666);
    if (fd < 0) return nullptr;
    struct stat in, out;
    if (fstat(fileno(source), &in) != 0 || fstat(fd, &out) != 0) {
        closeQuietly(fd);
        return nullptr;
    }
    if (in.st_dev == out.st_dev && in.st_ino == out.st_ino) {
        *sameFile = true;
        close(fd);
        return nullptr;
    }
    if (S_ISREG(out.st_mode) && ftruncate(fd, 0) != 0) {
        closeQuietly(fd);
        return nullptr;
    }
    FILE *stream = fdopen(fd, "wb");
    if (stream == nullptr) closeQuietly(fd);
    return stream;
}

// Copies source to destination with the buffer in place, then removes the
// source and gives the destination the source's times.
const char *copyThenRemove(const char *source, const char *destination, size_t bufferSize,
                           const struct utimbuf &times) {
    FILE *in = std::fopen(source, "rb");
    if (in == nullptr) return kCannotOpenInput;
    bool sameFile = false;
    FILE *out = openDestination(destination, in, &sameFile);
    if (out == nullptr) {
        closeQuietly(in);
        return sameFile ? kSameFile : kCannotOpenOutput;
    }

    for (;;) {
        size_t got = std::fread(buf, 1, bufferSize, in);
        if (got == 0) break;
        if (std::fwrite(buf, 1, got, out) < got) break;
    }
    int copyErrno = errno;

    if (std::ferror(in)) {
        std::fclose(out);
        std::remove(destination);
        std::fclose(in);
        errno = copyErrno;
        return kReadError;
    }
    bool writeFailed = std::ferror(out) != 0;
    bool closeFailed = std::fclose(out) != 0;
    if (writeFailed) {
        std::remove(destination);
        std::fclose(in);
        errno = copyErrno;
        return kWriteError;
    }
    if (closeFailed) {
        closeQuietly(in);
        return kCloseOutputError;
    }

    bool readFailed = std::ferror(in) != 0;
    bool inCloseFailed = std::fclose(in) != 0;
    if (readFailed) return kInputErrorAtClose;
    if (inCloseFailed) return kCloseInputError;

    // The source keeps the data until the copy is complete and closed.
    if (std::remove(source) != 0) return kCannotRemoveInput;
    if (utime(destination, &times) != 0) return kCannotSetTimes;
    return nullptr;
}

// Checks the source's mode bits, gets the copy buffer and moves the file.
const char *moveChecked(const char *source, const char *destination, const struct stat &status) {
    if (!(status.st_mode & kOwnerRead)) return kSourceNoRead;
    // Only the owner's bits count; a source its owner may not write is one
    // that the move has no business removing.
    if (!(status.st_mode & kOwnerWrite)) return kSourceNoWrite;

    struct utimbuf times;
    times.actime = status.st_atime;
    times.modtime = status.st_mtime;

    size_t bufferSize = status.st_size < kLargeSourceSize ? kSmallBuffer : kLargeBuffer;
    buf = static_cast<char *>(std::malloc(bufferSize));
    if (buf == nullptr && bufferSize != kSmallBuffer) {
        bufferSize = kSmallBuffer;
        buf = static_cast<char *>(std::malloc(bufferSize));
    }
    if (buf == nullptr) return kNoMemoryForBuffer;

    const char *result = copyThenRemove(source, destination, bufferSize, times);
    int saved = errno;
    std::free(buf);
    buf = nullptr;
    errno = saved;
    return result;
}

}  // namespace

const char *movefile(const char *source, const char *destination) {
    struct stat status;
    if (stat(source, &status) != 0) return kNoSourceStatus;
    if (status.st_mode & kDirectoryBit) return kSourceIsDirectory;

    // Into a directory: the destination is the directory joined with the
    // source's last name component.
    char *joined = nullptr;
    struct stat destStatus;
    if (stat(destination, &destStatus) == 0 && (destStatus.st_mode & kDirectoryBit)) {
        if (!(destStatus.st_mode & kOwnerWrite)) return kNoDirectoryWrite;
        const char *slash = std::strrchr(source, '/');
        joined = joinPath(nullptr, destination, slash ? slash + 1 : source, nullptr);
        if (joined == nullptr) return kNoMemoryForName;
        destination = joined;
    }

    const char *result = moveChecked(source, destination, status);
    int saved = errno;
    std::free(joined);
    errno = saved;
    return result;
}

int getMFErrorNumber(const char *message) { return messageNumber(message); }

const char *getMFErrorString(const char *message) {
    const char *after = std::strstr(message, ") ");
    return after ? after + 2 : message;
}
