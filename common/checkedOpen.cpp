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
// A link that the rule lets through only if its owner also owns what it
// leads to, which is known once the components of its target are walked:
// that is when no more of the name is left than was left after the link.
struct LinkToJudge {
    uid_t owner;
    size_t restLength;  // what followed the link in the name, leading '/' left out
    char name[NAME_MAX + 1];
};

struct Walk {
    char pending[2 * PATH_MAX + 2];
    size_t at = 0;  // where the next component starts
    int links = 0;
    int dir = -1;
    // The links still to be judged, the one followed last on top; a link
    // followed later lies inside what an earlier one left, so its rest is
    // never shorter.
    LinkToJudge toJudge[kMaxLinks];
    int judging = 0;
    const char *failedCall = nullptr;  // the system call that stopped the walk
};

// The length of what is left of the name from `at`, leading '/' left out.
size_t leftFrom(const char *pending, size_t at) {
    while (pending[at] == '/') ++at;
    return std::strlen(pending + at);
}

// The object of status `reached` has been looked at, with `left` of the name
// still to walk: every link whose target it is must lead to what its owner
// owns. False, with the refused link's name in `refused`, when one does not.
bool judgeLinksEndingHere(Walk *walk, size_t left, const struct stat &reached, char (&refused)[NAME_MAX + 1]) {
    while (walk->judging > 0 && walk->toJudge[walk->judging - 1].restLength >= left) {
        const LinkToJudge &link = walk->toJudge[--walk->judging];
        if (!mayLeadTo(link.owner, reached)) {
            std::memcpy(refused, link.name, sizeof refused);
            return false;
        }
    }
    return true;
}

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

enum class Follow { followed, again, failed };

// Follows the link `name` found in the walk's directory: puts its target in
// place of the name's components so far (from the root when the target is
// absolute). A link that the rule does not trust at once is noted, to be
// judged by what it leads to. The handle is used up.
Follow followLink(Walk *walk, const LookWay &way, const char *name, const struct stat &link, int handle,
                  size_t end) {
    char target[PATH_MAX];
    ssize_t got = way.readLink(walk->dir, name, handle, link, target, sizeof target);
    if (got == kLookAgain) return Follow::again;
    if (got < 0) {
        walk->failedCall = "readlinkat";
        return Follow::failed;
    }
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
    if (!linkTrusted(link)) {
        LinkToJudge &noted = walk->toJudge[walk->judging++];
        noted.owner = link.st_uid;
        noted.restLength = leftFrom(walk->pending, end);
        std::memcpy(noted.name, name, sizeof noted.name);
    }
    std::memmove(walk->pending + linkLength, walk->pending + end, restLength + 1);
    std::memcpy(walk->pending, target, linkLength);
    walk->at = 0;
    if (linkLength > 0 && target[0] == '/') {
        closeQuietly(walk->dir);
        walk->dir = openDirectoryAt(AT_FDCWD, "/");
        if (walk->dir < 0) {
            walk->failedCall = "open";
            return Follow::failed;
        }
    }
    return Follow::followed;
}

// A target made of nothing but '/' leads to the root itself, which is then
// what the links that ended there are judged by.
bool judgeRootTarget(Walk *walk, char (&refused)[NAME_MAX + 1]) {
    if (walk->judging == 0) return true;
    size_t left = leftFrom(walk->pending, walk->at);
    if (left > walk->toJudge[walk->judging - 1].restLength) return true;
    struct stat root;
    if (fstat(walk->dir, &root) != 0) {
        // What cannot be judged is not followed.
        std::memcpy(refused, walk->toJudge[walk->judging - 1].name, sizeof refused);
        return false;
    }
    return judgeLinksEndingHere(walk, left, root, refused);
}

}  // namespace

bool sameFile(const struct stat &a, const struct stat &b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// The link rule: a link is followed when the caller or root owns it, or
// when its owner also owns what it leads to. Following a link then never
// takes the caller anywhere that the link's owner could not reach and write
// already: a link that another user planted, in a directory that all may
// write or in that user's own, cannot lead a run into someone else's file.
bool linkTrusted(const struct stat &link) { return link.st_uid == geteuid() || link.st_uid == 0; }

bool mayLeadTo(uid_t linkOwner, const struct stat &target) { return target.st_uid == linkOwner; }

namespace {

// Where a walk stops at a last component that is not there: a name to be
// created in the directory reached, unless a link that the rule does not
// trust led there, since what it leads to cannot be judged before it exists.
LookUpEnd endAbsent(Walk *walk, LookedUp *found) {
    if (walk->judging > 0) {
        std::memcpy(found->finalName, walk->toJudge[walk->judging - 1].name, sizeof found->finalName);
        closeQuietly(walk->dir);
        return LookUpEnd::linkRefused;
    }
    found->dir = walk->dir;
    return LookUpEnd::absent;
}

// One component looked at, not a link: the end of the walk when it is the
// last, else the directory to walk on in. Returns true to walk on.
bool stepPast(Walk *walk, const LookWay &way, const Component &component, const struct stat &here, int handle,
              LookedUp *found, LookUpEnd *end) {
    if (!judgeLinksEndingHere(walk, leftFrom(walk->pending, component.next), here, found->finalName)) {
        closeQuietly(handle);
        *end = LookUpEnd::linkRefused;
        return false;
    }
    // A name that ends in '/' names a directory, as in the system's own
    // look-up: a file found there is not what was asked for.
    if (component.last && walk->pending[component.end] == '/' && !S_ISDIR(here.st_mode)) {
        closeQuietly(handle);
        errno = ENOTDIR;
        return false;
    }
    if (component.last) {
        found->dir = walk->dir;
        found->object = handle;
        found->status = here;
        walk->dir = -1;
        *end = LookUpEnd::found;
        return false;
    }
    if (!S_ISDIR(here.st_mode)) {
        closeQuietly(handle);
        errno = ENOTDIR;
        return false;
    }
    walk->dir = way.enter(walk->dir, found->finalName, handle, here);
    if (walk->dir < 0) walk->failedCall = "openat";
    walk->at = component.next;
    return true;
}

}  // namespace

LookUpEnd lookUp(const char *name, LookedUp *found, bool mayBeAbsent) {
    *found = LookedUp{};
    size_t length = std::strlen(name);
    if (length == 0 || length >= PATH_MAX) {
        errno = length == 0 ? ENOENT : ENAMETOOLONG;
        return LookUpEnd::failed;
    }
    Walk walk;
    std::memcpy(walk.pending, name, length + 1);
    walk.dir = openDirectoryAt(AT_FDCWD, name[0] == '/' ? "/" : ".");
    if (walk.dir < 0) walk.failedCall = "open";
    const LookWay &way = kHaveLookHandles ? byHandle : byName;
    LookUpEnd end = LookUpEnd::failed;
    while (walk.dir >= 0) {
        Component component;
        struct stat here;
        int handle = -1;
        if (!nextComponent(&walk, found->finalName, &component)) break;
        if (!way.look(walk.dir, found->finalName, &here, &handle)) {
            if (errno == ENOENT && component.last && mayBeAbsent) return endAbsent(&walk, found);
            walk.failedCall = kHaveLookHandles ? "openat" : "fstatat";
            break;
        }
        if (!S_ISLNK(here.st_mode)) {
            if (stepPast(&walk, way, component, here, handle, found, &end)) continue;
            break;
        }
        Follow follow = followLink(&walk, way, found->finalName, here, handle, component.end);
        if (follow == Follow::failed) break;
        if (follow == Follow::followed && !judgeRootTarget(&walk, found->finalName)) {
            end = LookUpEnd::linkRefused;
            break;
        }
    }
    int saved = errno;
    closeQuietly(walk.dir);
    found->failedCall = walk.failedCall;
    errno = saved;
    return end;
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

namespace {

// The new file, made exclusively where the look-up found no such name; -1
// with errno EEXIST when another process made one meanwhile.
int createLookedUp(const LookedUp &found, int flags, mode_t mode) {
    return openat(found.dir, found.finalName, flags | O_CREAT | O_EXCL | kOpenNoFollow | O_NOCTTY | O_CLOEXEC, mode);
}

}  // namespace

int openToWrite(const char *name, bool append, mode_t mode, WriteRefusal *why, char (&refusedLink)[NAME_MAX + 1]) {
    const int flags = O_WRONLY | (append ? O_APPEND : 0);
    *why = WriteRefusal::failed;
    // A name made by another process between the look and the creation is
    // looked at again, as it now is.
    for (int tries = 0; tries < 3; ++tries) {
        LookedUp found;
        LookUpEnd end = lookUp(name, &found, true);
        int fd = -1;
        if (end == LookUpEnd::linkRefused) {
            std::memcpy(refusedLink, found.finalName, sizeof refusedLink);
            *why = WriteRefusal::linkRefused;
        } else if (end == LookUpEnd::found && !S_ISREG(found.status.st_mode)) {
            *why = WriteRefusal::notRegular;
            errno = ENXIO;
        } else if (end == LookUpEnd::found) {
            fd = openLookedUp(found, flags);
            if (fd == kNotTheFileLookedAt) fd = -1;  // errno ESTALE: it changed as it was opened
        } else if (end == LookUpEnd::absent && name[std::strlen(name) - 1] == '/') {
            errno = EISDIR;  // a new directory's name: no file is made under it
        } else if (end == LookUpEnd::absent) {
            fd = createLookedUp(found, flags, mode);
            if (fd < 0 && errno == EEXIST) {
                closeLookedUp(&found);
                continue;
            }
        }
        closeLookedUp(&found);
        // Opened without blocking where it was opened by name: from here on
        // it writes as any descriptor does.
        if (fd >= 0) fcntl(fd, F_SETFL, flags & O_APPEND);
        return fd;
    }
    return -1;
}
