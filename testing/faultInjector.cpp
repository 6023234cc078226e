// Makes chosen C-library calls fail, for the faults that a real file system
// cannot be made to produce on demand (an I/O error part-way through a copy,
// a failing sync). Loaded into a tool with LD_PRELOAD and set up through the
// environment:
//   FAULT_CALL   the calls that fail, separated by commas, each with the
//                error number it sets after "=" (EIO when none is given):
//                read, fread, pwrite, copy_file_range, fsync, fallocate,
//                ftruncate or close; "copy_file_range=18,pwrite" fails the
//                kernel's copy as unsupported and then the plain writes
//   FAULT_FILE   text that the failing descriptor's path contains, as
//                /proc/self/fd shows it (for example "replFile" or a name)
//   FAULT_SKIP   how many matching calls of each kind succeed first
// Each call named fails once, at its first matching call after the skipped
// ones; every other call passes through.
//   FAULT_AT     offsets in the file, each with the error number after "=":
//                every read or pread of the FAULT_FILE descriptor that
//                would read the byte at one of them fails with its number,
//                whichever thread reads it and however often ("4194304=5")
// The C library's checked inline versions of read and fread would collide
// with the definitions below. The calls are defined under both their plain
// and their 64-bit names, with the C library's own types for each, so the
// build's large-file setting, which renames the plain calls to the 64-bit
// ones on 32-bit systems, is taken out here.
#undef _FORTIFY_SOURCE
#undef _FILE_OFFSET_BITS
#undef _TIME_BITS
#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

const char *setting(const char *name) {
    const char *value = std::getenv(name);
    return value != nullptr ? value : "";
}

// The error number that this call on `fd` must fail with, or 0 to let it
// through.
int faultFor(const char *call, int fd) {
    static long seen[16];  // matching calls so far, for each entry of FAULT_CALL
    size_t length = std::strlen(call);
    int number = 0;
    size_t index = 0;
    for (const char *entry = setting("FAULT_CALL"); *entry != '\0' && index < 16; ++index) {
        const char *end = std::strchr(entry, ',');
        if (end == nullptr) end = entry + std::strlen(entry);
        if (std::strncmp(entry, call, length) == 0 && (entry[length] == '=' || entry + length == end)) {
            number = entry[length] == '=' ? std::atoi(entry + length + 1) : EIO;
            break;
        }
        entry = *end == ',' ? end + 1 : end;
    }
    if (number == 0) return 0;
    char link[64];
    char path[4096];
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    ssize_t got = readlink(link, path, sizeof path - 1);
    if (got < 0) return 0;
    path[got] = '\0';
    if (std::strstr(path, setting("FAULT_FILE")) == nullptr) return 0;
    return seen[index]++ == std::atol(setting("FAULT_SKIP")) ? number : 0;
}

// Fails the call in hand when it must fail: sets errno, gives -1.
#define FAIL_IF_CHOSEN(call, fd)                      \
    do {                                              \
        if (int number = faultFor(call, fd)) {        \
            errno = number;                           \
            return -1;                                \
        }                                             \
    } while (0)

template <typename Function>
Function next(const char *name) {
    return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

// The error number for a read of `count` bytes at `offset` (-1: the
// descriptor's own offset) that covers one of FAULT_AT's offsets, or 0.
int faultAt(int fd, long long offset, size_t count) {
    const char *entry = setting("FAULT_AT");
    if (*entry == '\0' || count == 0) return 0;
    if (offset < 0) offset = lseek64(fd, 0, SEEK_CUR);
    char link[64];
    char path[4096];
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    const ssize_t got = readlink(link, path, sizeof path - 1);
    if (offset < 0 || got < 0) return 0;
    path[got] = '\0';
    if (std::strstr(path, setting("FAULT_FILE")) == nullptr) return 0;
    while (*entry != '\0') {
        char *end;
        const long long at = std::strtoll(entry, &end, 10);
        const int number = *end == '=' ? std::atoi(end + 1) : EIO;
        if (at >= offset && at - offset < static_cast<long long>(count)) return number;
        entry = std::strchr(entry, ',');
        if (entry == nullptr) break;
        ++entry;
    }
    return 0;
}

#define FAIL_IF_AT(fd, offset, count)                    \
    do {                                                 \
        if (int number = faultAt(fd, offset, count)) {   \
            errno = number;                              \
            return -1;                                   \
        }                                                \
    } while (0)

}  // namespace

extern "C" {

ssize_t read(int fd, void *buffer, size_t count) {
    FAIL_IF_CHOSEN("read", fd);
    FAIL_IF_AT(fd, -1, count);
    return next<ssize_t (*)(int, void *, size_t)>("read")(fd, buffer, count);
}

// A read into a buffer of a size the compiler knows goes through the C
// library's checked versions.
ssize_t __read_chk(int fd, void *buffer, size_t count, size_t) {
    FAIL_IF_CHOSEN("read", fd);
    FAIL_IF_AT(fd, -1, count);
    return next<ssize_t (*)(int, void *, size_t)>("read")(fd, buffer, count);
}

ssize_t __pread_chk(int fd, void *buffer, size_t count, off_t offset, size_t) {
    FAIL_IF_AT(fd, offset, count);
    return next<ssize_t (*)(int, void *, size_t, off_t)>("pread")(fd, buffer, count, offset);
}

ssize_t __pread64_chk(int fd, void *buffer, size_t count, off64_t offset, size_t) {
    FAIL_IF_AT(fd, offset, count);
    return next<ssize_t (*)(int, void *, size_t, off64_t)>("pread64")(fd, buffer, count, offset);
}

ssize_t pread(int fd, void *buffer, size_t count, off_t offset) {
    FAIL_IF_AT(fd, offset, count);
    return next<ssize_t (*)(int, void *, size_t, off_t)>("pread")(fd, buffer, count, offset);
}

ssize_t pread64(int fd, void *buffer, size_t count, off64_t offset) {
    FAIL_IF_AT(fd, offset, count);
    return next<ssize_t (*)(int, void *, size_t, off64_t)>("pread64")(fd, buffer, count, offset);
}

// The C library's streams read through its own internal calls, which no
// preloaded read can reach: a failing stream read is made here instead.
size_t fread(void *buffer, size_t size, size_t count, FILE *stream) {
    if (int number = faultFor("fread", fileno(stream))) {
        errno = number;
        stream->_flags |= _IO_ERR_SEEN;
        return 0;
    }
    return next<size_t (*)(void *, size_t, size_t, FILE *)>("fread")(buffer, size, count, stream);
}

ssize_t pwrite(int fd, const void *buffer, size_t count, off_t offset) {
    FAIL_IF_CHOSEN("pwrite", fd);
    return next<ssize_t (*)(int, const void *, size_t, off_t)>("pwrite")(fd, buffer, count, offset);
}

ssize_t pwrite64(int fd, const void *buffer, size_t count, off64_t offset) {
    FAIL_IF_CHOSEN("pwrite", fd);
    return next<ssize_t (*)(int, const void *, size_t, off64_t)>("pwrite64")(fd, buffer, count, offset);
}

ssize_t copy_file_range(int in, off64_t *inOffset, int out, off64_t *outOffset, size_t length, unsigned flags) {
    FAIL_IF_CHOSEN("copy_file_range", out);
    return next<ssize_t (*)(int, off64_t *, int, off64_t *, size_t, unsigned)>("copy_file_range")(
        in, inOffset, out, outOffset, length, flags);
}

int fsync(int fd) {
    FAIL_IF_CHOSEN("fsync", fd);
    return next<int (*)(int)>("fsync")(fd);
}

int fallocate(int fd, int mode, off_t offset, off_t length) {
    FAIL_IF_CHOSEN("fallocate", fd);
    return next<int (*)(int, int, off_t, off_t)>("fallocate")(fd, mode, offset, length);
}

int fallocate64(int fd, int mode, off64_t offset, off64_t length) {
    FAIL_IF_CHOSEN("fallocate", fd);
    return next<int (*)(int, int, off64_t, off64_t)>("fallocate64")(fd, mode, offset, length);
}

int ftruncate(int fd, off_t length) {
    FAIL_IF_CHOSEN("ftruncate", fd);
    return next<int (*)(int, off_t)>("ftruncate")(fd, length);
}

int ftruncate64(int fd, off64_t length) {
    FAIL_IF_CHOSEN("ftruncate", fd);
    return next<int (*)(int, off64_t)>("ftruncate64")(fd, length);
}

// The descriptor is released as a real close releases it, and the failure
// reported after.
int close(int fd) {
    int number = faultFor("close", fd);
    int result = next<int (*)(int)>("close")(fd);
    if (number == 0) return result;
    errno = number;
    return -1;
}

}  // extern "C"
