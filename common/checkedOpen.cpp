// Safe look-up and opening; see checkedOpen.h.
//
// A name is walked one component at a time from the root or the working
// directory. Where the system has look handles, each component is opened as
// a handle that acts on nothing, and that handle is what is read (a link),
// entered (a directory) or finally reopened (the file). Without them, each
// component is looked at by name, and whatever is then read or opened by
// that name is checked to be what was looked at. The two ways are two small
// sets of steps behind one interface; the walk itself is the same for both.
#include "checkedOpen.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "fileCalls.h"

namespace {

constexpr int kMaxLinks = 40;

// What a way's readLink returns when the name no longer leads to the link
// that was judged: the component is looked at again.
constexpr ssize_t kLookAgain = -2;

void closeQuietly(int fd) {
    if (fd < 0) return;
    int saved = errno;
    close(fd);
    errno = saved;
}

// ---- The two ways of taking a step -----------------------------------------------------

struct LookWay {
    // The status of `name` in `dir`, and a handle on it where this way has
    // them (else -1); false with errno set.
    bool (*look)(int dir, const char *name, struct stat *status, int *handle);
    // Reads the link that was looked at and judged, and closes its handle:
    // the target's length, -1 with errno set, or kLookAgain.
    ssize_t (*readLink)(int dir, const char *name, int handle, const struct stat &judged, char *target, size_t size);
    // The directory that was looked at, to walk on in: a descriptor, or -1
    // with errno set. `dir` and the handle are used up either way.
    int (*enter)(int dir, const char *name, int handle, const struct stat &looked);
};

bool lookByHandle(int dir, const char *name, struct stat *status, int *handle) {
    *handle = openLookHandle(dir, name);
    if (*handle < 0) return false;
    if (fstat(*handle, status) != 0) {
        closeQuietly(*handle);
        *handle = -1;
        return false;
    }
    return true;
}

ssize_t readLinkByHandle(int, const char *, int handle, const struct stat &, char *target, size_t size) {
    ssize_t got = readlinkat(handle, "", target, size);
    closeQuietly(handle);
    return got;
}

int enterByHandle(int dir, const char *, int handle, const struct stat &) {
    closeQuietly(dir);
    return handle;
}

bool lookByName(int dir, const char *name, struct stat *status, int *handle) {
    *handle = -1;
    return fstatat(dir, name, status, AT_SYMLINK_NOFOLLOW) == 0;
}

ssize_t readLinkByName(int dir, const char *name, int, const struct stat &judged, char *target, size_t size) {
    ssize_t got = readlinkat(dir, name, target, size);
    struct stat again;
    // The link read must be the link that was judged.
    if (got >= 0 && (fstatat(dir, name, &again, AT_SYMLINK_NOFOLLOW) != 0 || !sameFile(again, judged) ||
                     again.st_uid != judged.st_uid)) {
        return kLookAgain;
    }
    return got;
}

int enterByName(int dir, const char *name, int, const struct stat &looked) {
    int opened = openDirectoryAt(dir, name);
    closeQuietly(dir);
    struct stat now;
    if (opened >= 0 && (fstat(opened, &now) != 0 || !sameFile(now, looked))) {
        closeQuietly(opened);
        errno = ENOENT;  // swapped while it was looked at
        opened = -1;
    }
    return opened;
}

constexpr LookWay byHandle = {lookByHandle, readLinkByHandle, enterByHandle};
constexpr LookWay byName = {lookByName, readLinkByName, enterByName};

// ---- The walk ---------------------------------------------------------------------------

// A name being walked: what is left of it, with the targets of the links
// followed so far spliced in, and the directory reached.
struct Walk {
    char pending[2 * PATH_MAX + 2];
    size_t at = 0;  // where the next component starts
    int links = 0;
    int dir = -1;
};

struct Component {
    size_t end;   // just past it
    size_t next;  // where the one after it starts
    bool last;
};

// The component at the walk's place, copied into `name`; false (errno
// ENAMETOOLONG) when it is too long to be a name.
bool nextComponent(Walk *walk, char (&name)[NAME_MAX + 1], Component *component) {
    const char *pending = walk->pending;
    while (pending[walk->at] == '/') ++walk->at;
    size_t end = walk->at;
    while (pending[end] != '\0' && pending[end] != '/') ++end;
    size_t next = end;
    while (pending[next] == '/') ++next;
    *component = {end, next, pending[next] == '\0'};
    size_t length = end - walk->at;
    if (length == 0) {  // "/" itself, or what a link to "/" left
        std::strcpy(name, ".");
    } else if (length > NAME_MAX) {
        errno = ENAMETOOLONG;
        return false;
    } else {
        std::memcpy(name, pending + walk->at, length);
        name[length] = '\0';
    }
    return true;
}

enum class Follow { followed, again, refused, failed };

// Judges the link `name` found in the walk's directory and, where the rule
// allows, puts its target in place of the name's components so far (from
// the root when the target is absolute). The handle is used up.
Follow followLink(Walk *walk, const LookWay &way, const char *name, const struct stat &link, int handle,
                  size_t end) {
    struct stat directory;
    if (fstat(walk->dir, &directory) != 0 || !mayFollow(link, directory)) {
        closeQuietly(handle);
        return Follow::refused;
    }
    char target[PATH_MAX];
    ssize_t got = way.readLink(walk->dir, name, handle, link, target, sizeof target);
    if (got == kLookAgain) return Follow::again;
    if (got < 0) return Follow::failed;
    if (++walk->links > kMaxLinks) {
        errno = ELOOP;
        return Follow::failed;
    }
    size_t linkLength = static_cast<size_t>(got);
    size_t restLength = std::strlen(walk->pending + end);
    if (linkLength >= sizeof target || linkLength + restLength + 1 > sizeof walk->pending) {
        errno = ENAMETOOLONG;
        return Follow::failed;
    }
    std::memmove(walk->pending + linkLength, walk->pending + end, restLength + 1);
    std::memcpy(walk->pending, target, linkLength);
    walk->at = 0;
    if (linkLength > 0 && target[0] == '/') {
        closeQuietly(walk->dir);
        walk->dir = openDirectoryAt(AT_FDCWD, "/");
        if (walk->dir < 0) return Follow::failed;
    }
    return Follow::followed;
}

}  // namespace

bool sameFile(const struct stat &a, const struct stat &b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// A link is followed when the caller or root owns it, or when it lies in a
// directory that only the directory's owner may write: no one else can have
// planted it there.
bool mayFollow(const struct stat &link, const struct stat &directory) {
    return link.st_uid == geteuid() || link.st_uid == 0 || (directory.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

LookUpEnd lookUp(const char *name, LookedUp *found) {
    *found = LookedUp{};
    size_t length = std::strlen(name);
    if (length == 0 || length >= PATH_MAX) {
        errno = length == 0 ? ENOENT : ENAMETOOLONG;
        return LookUpEnd::failed;
    }
    Walk walk;
    std::memcpy(walk.pending, name, length + 1);
    walk.dir = openDirectoryAt(AT_FDCWD, name[0] == '/' ? "/" : ".");
    const LookWay &way = kHaveLookHandles ? byHandle : byName;
    while (walk.dir >= 0) {
        Component component;
        struct stat here;
        int handle = -1;
        if (!nextComponent(&walk, found->finalName, &component) ||
            !way.look(walk.dir, found->finalName, &here, &handle)) {
            break;
        }
        if (S_ISLNK(here.st_mode)) {
            Follow follow = followLink(&walk, way, found->finalName, here, handle, component.end);
            if (follow == Follow::refused) {
                closeQuietly(walk.dir);
                return LookUpEnd::linkRefused;
            }
            if (follow == Follow::failed) break;
            continue;
        }
        if (component.last) {
            found->dir = walk.dir;
            found->object = handle;
            found->status = here;
            return LookUpEnd::found;
        }
        if (!S_ISDIR(here.st_mode)) {
            closeQuietly(handle);
            errno = ENOTDIR;
            break;
        }
        walk.dir = way.enter(walk.dir, found->finalName, handle, here);
        walk.at = component.next;
    }
    closeQuietly(walk.dir);
    return LookUpEnd::failed;
}

void closeLookedUp(LookedUp *found) {
    closeQuietly(found->object);
    closeQuietly(found->dir);
    found->object = found->dir = -1;
}

int openLookedUp(const LookedUp &found, int flags) {
    if (!S_ISREG(found.status.st_mode)) {
        errno = ENXIO;  // a socket, or anything else that is not a file
        return -1;
    }
    flags |= O_NOCTTY | O_CLOEXEC;
    int fd = -1;
    if (found.object >= 0) {
        fd = reopenHandle(found.object, flags);
        if (fd < 0 && errno != ENOENT) return -1;
    }
    if (fd < 0) fd = openat(found.dir, found.finalName, flags | kOpenNoFollow | O_NONBLOCK);
    if (fd < 0) return -1;
    struct stat opened;
    if (fstat(fd, &opened) != 0 || !sameFile(opened, found.status) || !S_ISREG(opened.st_mode)) {
        closeQuietly(fd);
        errno = ESTALE;
        return kNotTheFileLookedAt;
    }
    return fd;
}
