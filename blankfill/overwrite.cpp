// New contents written over a file in place; see overwrite.h.
#include "overwrite.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "fileCalls.h"

namespace {

constexpr size_t kCopyBufferSize = 65536;
// The kernel's copy goes in chunks of this size, and the target's size is
// checked after each one.
constexpr off_t kCopyChunk = off_t{8} << 20;

// The failing side, as the caller's message names it.
constexpr char kReadFailed[] = "Error while reading the input file";
constexpr char kWriteFailed[] = "Error while writing the output file";

// Used only when the kernel cannot copy between the two files itself, and
// to compare new contents with old.
char copyBuffer[kCopyBufferSize];
char compareBuffer[kCopyBufferSize];

// One write-back in progress.
struct Copy {
    int from;
    int to;
    off_t expected;       // the target's size all along, if no one else writes it
    bool kernelCopy;      // until the kernel says it cannot copy between these two files
    bool nothingWritten;
    bool othersWrote;     // the target's size showed another writer
};

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

bool writeAll(int fd, const char *data, size_t length, off_t at) {
    while (length > 0) {
        ssize_t put = pwrite(fd, data, length, at);
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

void watchSize(Copy *copy, off_t expected) {
    if (sizeShowsOtherWriter(copy->to, expected)) copy->othersWrote = true;
}

bool kernelCannotCopyThese(int reason) {
    return reason == EXDEV || reason == EINVAL || reason == ENOSYS || reason == EOPNOTSUPP;
}

// The next chunk, of at most `remaining` bytes at `at`: by the kernel until
// it says it cannot copy between these two files, else through the buffer.
// The count copied, 0 when the source ended early, or -1 with errno set
// (EINTR: to be tried again) and *what naming the failing side.
ssize_t copyChunk(Copy *copy, off_t at, off_t remaining, const char **what) {
    *what = kWriteFailed;
    if (copy->kernelCopy) {
        size_t want = static_cast<size_t>(remaining < kCopyChunk ? remaining : kCopyChunk);
        ssize_t got = copyBetween(copy->from, copy->to, at, want);
        if (got >= 0 || !copy->nothingWritten || !kernelCannotCopyThese(errno)) return got;
        copy->kernelCopy = false;
    }
    size_t want = static_cast<size_t>(remaining < off_t{kCopyBufferSize} ? remaining : off_t{kCopyBufferSize});
    ssize_t got = pread(copy->from, copyBuffer, want, at);
    if (got < 0) {
        *what = kReadFailed;
        return -1;
    }
    if (got > 0 && !writeAll(copy->to, copyBuffer, static_cast<size_t>(got), at)) return -1;
    return got;
}

// Bytes [start, end) of the source over the same bytes of the target, the
// target's size watched after every chunk. Null, or the failing side's text
// with errno set.
const char *copyRange(Copy *copy, off_t start, off_t end) {
    off_t done = start;
    off_t watched = start;
    while (done < end) {
        const char *what = nullptr;
        ssize_t got = copyChunk(copy, done, end - done, &what);
        if (got < 0 && errno != EINTR) return what;
        if (got == 0) {
            errno = EIO;  // the source is shorter than it was a moment ago
            return kReadFailed;
        }
        if (got > 0) {
            done += got;
            copy->nothingWritten = false;
        }
        if (done - watched >= kCopyChunk || done == end) {
            watchSize(copy, copy->expected);
            watched = done;
        }
    }
    return nullptr;
}

}  // namespace

bool sameBytes(int a, int b, off_t size) {
    for (off_t done = 0; done < size;) {
        off_t remaining = size - done;
        size_t want = static_cast<size_t>(remaining < off_t{kCopyBufferSize} ? remaining : off_t{kCopyBufferSize});
        ssize_t gotA = readAll(a, copyBuffer, want, done);
        ssize_t gotB = readAll(b, compareBuffer, want, done);
        if (gotA != static_cast<ssize_t>(want) || gotB != gotA || std::memcmp(copyBuffer, compareBuffer, want) != 0) {
            return false;
        }
        done += static_cast<off_t>(want);
    }
    return true;
}

void prepareOverwrite() { std::memset(copyBuffer, 0, sizeof copyBuffer); }

const char *overwrite(int from, int to, off_t oldSize, off_t size, bool *othersWrote) {
    Copy copy = {from, to, size > oldSize ? size : oldSize, kHaveKernelCopy, true, false};
    const char *what = nullptr;
    off_t tail = size;
    if (size > oldSize) {
        tail = size - oldSize < off_t{kCopyBufferSize} ? oldSize : size - off_t{kCopyBufferSize};
        what = copyRange(&copy, tail, size);
    }
    if (what == nullptr) what = copyRange(&copy, 0, tail);
    if (what == nullptr) {
        if (size == 0) watchSize(&copy, oldSize);
        // Bytes that another process appended are not cut away.
        if ((!copy.othersWrote && ftruncate(to, size) != 0) || fsync(to) != 0) what = kWriteFailed;
    }
    *othersWrote = copy.othersWrote;
    return what;
}

bool sizeShowsOtherWriter(int fd, off_t expected) {
    struct stat now;
    return fstat(fd, &now) == 0 && now.st_size != expected;
}
