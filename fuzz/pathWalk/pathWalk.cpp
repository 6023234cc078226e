// Fuzz target for the checked look-up and opening of common/checkedOpen
// (lookUp, openLookedUp, openToWrite) on a scratch tree that the target
// builds once: directories, files, links relative and absolute, loops,
// links and directories of other owners, a FIFO, a socket and a device.
// The input chooses the components of a name under the tree, and a model of
// the walk says where it must end: links followed only as the link rule
// allows (one that the caller or root owns; any other only where its owner
// owns what it leads to), at most 40 of them, a name ending in '/' only for
// a directory. Checked besides: only a regular file is ever opened, and
// only the very file that was looked at, even when another is put in its
// place after the look-up; no descriptor is left open.
//
// Input: a byte of flags (which call, absence allowed, a trailing '/',
// open after the look-up, swap before opening), then one byte a component.
#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "checkedOpen.h"
#include "fileCalls.h"
#include "fuzzCheck.h"

namespace {

constexpr uid_t kNobody = 65534;
constexpr uid_t kOther = 4321;
constexpr int kMostLinks = 40;

// ---- The scratch tree --------------------------------------------------------------------

enum class Kind { directory, file, link, fifo, socket, device };

struct Entry {
    const char *path;  // under the tree's root
    Kind kind;
    uid_t owner;
    const char *target;  // a link's; "@" stands for the tree's root
};

// n is a directory that all may write, as /tmp is, where nobody plants
// links; o is another user's own.
const Entry entries[] = {
    {"f", Kind::file, 0, nullptr},
    {"g", Kind::file, 0, nullptr},
    {"d", Kind::directory, 0, nullptr},
    {"d/f", Kind::file, 0, nullptr},
    {"d/g", Kind::file, 0, nullptr},
    {"d/up", Kind::link, 0, ".."},
    {"d/self", Kind::link, 0, "."},
    {"d/abs", Kind::link, 0, "@/f"},
    {"n", Kind::directory, kNobody, nullptr},
    {"n/f", Kind::file, kNobody, nullptr},
    {"n/g", Kind::file, kNobody, nullptr},
    {"n/toF", Kind::link, kNobody, "f"},
    {"n/toRootF", Kind::link, kNobody, "../f"},
    {"n/toD", Kind::link, kNobody, "../d"},
    {"n/toN", Kind::link, kNobody, "."},
    {"n/sub", Kind::directory, kNobody, nullptr},
    {"n/sub/f", Kind::file, 0, nullptr},
    {"n/toSub", Kind::link, kNobody, "sub"},
    {"n/abs", Kind::link, kNobody, "@/n/f"},
    {"n/chain", Kind::link, kNobody, "toF"},
    {"n/toL", Kind::link, kNobody, "../l"},
    {"n/missing", Kind::link, kNobody, "nothere"},
    {"n/toO", Kind::link, kNobody, "../o/f"},
    {"n/deep", Kind::link, kNobody, "sub/../toSub/../f"},
    {"o", Kind::directory, kOther, nullptr},
    {"o/f", Kind::file, kOther, nullptr},
    {"o/toF", Kind::link, kOther, "f"},
    {"o/toN", Kind::link, kOther, "../n/f"},
    {"l", Kind::link, 0, "f"},
    {"la", Kind::link, 0, "@/d"},
    {"loop1", Kind::link, 0, "loop2"},
    {"loop2", Kind::link, 0, "loop1"},
    {"self", Kind::link, 0, "self"},
    {"dangling", Kind::link, 0, "nothere"},
    {"ring", Kind::link, 0, "d/up/ring"},
    {"fslash", Kind::link, 0, "f/"},
    {"fifo", Kind::fifo, 0, nullptr},
    {"sock", Kind::socket, 0, nullptr},
    {"dev", Kind::device, 0, nullptr},
    {"e", Kind::directory, 0, nullptr},
};

// The components a name is made of.
const std::vector<std::string> &vocabulary() {
    static const std::vector<std::string> words = [] {
        std::vector<std::string> w = {".", "..", "", "nothere", std::string(NAME_MAX, 'y'),
                                      std::string(NAME_MAX + 1, 'x')};
        for (const Entry &e : entries) {
            const char *slash = std::strrchr(e.path, '/');
            const std::string base = slash != nullptr ? slash + 1 : e.path;
            bool known = false;
            for (const std::string &word : w) known = known || word == base;
            if (!known) w.push_back(base);
        }
        return w;
    }();
    return words;
}

// The sandbox: top/u/v is the tree's root, so that up to two ".." of a
// name stay inside.
std::string top;
std::string treeRoot;
constexpr int kMostUps = 2;

void makeEntry(const Entry &e) {
    const std::string path = treeRoot + "/" + e.path;
    std::string target;
    if (e.target != nullptr) target = e.target[0] == '@' ? treeRoot + (e.target + 1) : e.target;
    switch (e.kind) {
    case Kind::directory:
        FUZZ_CHECK(mkdir(path.c_str(), S_IRWXU | S_IRGRP | S_IXGRP | S_IROTH | S_IXOTH) == 0);
        if (e.owner == kNobody) chmod(path.c_str(), S_IRWXU | S_IRWXG | S_IRWXO | S_ISVTX);
        break;
    case Kind::file: {
        const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL, S_IRUSR | S_IWUSR | S_IRGRP | S_IROTH);
        FUZZ_CHECK(fd >= 0);
        close(fd);
        break;
    }
    case Kind::link:
        FUZZ_CHECK(symlink(target.c_str(), path.c_str()) == 0);
        break;
    case Kind::fifo:
        FUZZ_CHECK(mkfifo(path.c_str(), S_IRUSR | S_IWUSR) == 0);
        break;
    case Kind::socket: {
        const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        FUZZ_CHECK(fd >= 0 && path.size() < sizeof address.sun_path);
        std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
        FUZZ_CHECK(bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0);
        close(fd);
        break;
    }
    case Kind::device:
        // The null device, where the system lets this process make one.
        mknod(path.c_str(), S_IFCHR | S_IRUSR | S_IWUSR, makedev(1, 3));
        break;
    }
    // Given away as root may; another caller keeps the entry as its own,
    // and the model reads the owners back from the tree either way.
    if (e.owner != 0) FUZZ_CHECK(lchown(path.c_str(), e.owner, e.owner) == 0 || geteuid() != 0);
}

int removeOne(const char *path, const struct stat *, int, FTW *) { return remove(path); }

void removeSandbox() { nftw(top.c_str(), removeOne, 16, FTW_DEPTH | FTW_PHYS); }

// ---- The model ---------------------------------------------------------------------------

struct Node {
    std::string name;
    const Node *parent = nullptr;
    struct stat status {};
    std::string target;  // a link's
    std::map<std::string, std::unique_ptr<Node>> children;

    bool is(mode_t type) const { return (status.st_mode & S_IFMT) == type; }
    const Node *child(const std::string &n) const {
        auto found = children.find(n);
        return found != children.end() ? found->second.get() : nullptr;
    }
};

std::unique_ptr<Node> topNode;
const Node *rootNode = nullptr;

// The tree as it is on disk, read back.
void readBack(Node *node, const std::string &path) {
    FUZZ_CHECK(lstat(path.c_str(), &node->status) == 0);
    if (node->is(S_IFLNK)) {
        char target[PATH_MAX];
        const ssize_t n = readlink(path.c_str(), target, sizeof target);
        FUZZ_CHECK(n > 0);
        node->target.assign(target, static_cast<size_t>(n));
    }
    if (!node->is(S_IFDIR)) return;
    DIR *dir = opendir(path.c_str());
    FUZZ_CHECK(dir != nullptr);
    while (const dirent *entry = readdir(dir)) {
        const std::string name = entry->d_name;
        if (name == "." || name == "..") continue;
        auto child = std::make_unique<Node>();
        child->name = name;
        child->parent = node;
        readBack(child.get(), path + "/" + name);
        node->children[name] = std::move(child);
    }
    closedir(dir);
}

std::string pathOf(const Node *node) {
    if (node == topNode.get()) return top;
    return pathOf(node->parent) + "/" + node->name;
}

std::vector<std::string> componentsOf(const std::string &path) {
    std::vector<std::string> parts;
    size_t at = 0;
    while (at <= path.size()) {
        size_t end = path.find('/', at);
        if (end == std::string::npos) end = path.size();
        if (end > at) parts.push_back(path.substr(at, end - at));
        at = end + 1;
    }
    return parts;
}

struct Outcome {
    LookUpEnd end = LookUpEnd::failed;
    const Node *node = nullptr;  // found: what; absent: the directory it would be in
    const Node *dir = nullptr;   // found: the directory it was found in
    std::string name;            // found, absent: the last component; linkRefused: the link
    int error = 0;
    bool mustBeDirectory = false;  // found through a name or target that ends in '/'
};

Outcome failedWith(int error) {
    Outcome o;
    o.error = error;
    return o;
}

bool trusted(const Node *link) { return link->status.st_uid == geteuid() || link->status.st_uid == 0; }

// Walks `parts` from `dir`. `endsInSlash`: they end in '/'; `tail`: nothing
// of the name follows them, so that their last is the name's last.
Outcome walk(int *links, bool mayBeAbsent, const Node *dir, const std::vector<std::string> &parts, bool endsInSlash,
             bool tail) {
    const Node *here = dir;
    Outcome reached;
    for (size_t i = 0; i < parts.size(); ++i) {
        const std::string &part = parts[i];
        const bool lastHere = i + 1 == parts.size();
        if (part.size() > NAME_MAX) return failedWith(ENAMETOOLONG);
        const Node *next = part == "." ? here : part == ".." ? here->parent : here->child(part);
        FUZZ_CHECK(part != ".." || next != nullptr);  // never above the sandbox
        if (next == nullptr) {
            if (lastHere && tail && mayBeAbsent) {
                Outcome absent;
                absent.end = LookUpEnd::absent;
                absent.node = here;
                absent.name = part;
                return absent;
            }
            return failedWith(ENOENT);
        }
        if (next->is(S_IFLNK)) {
            if (++*links > kMostLinks) return failedWith(ELOOP);
            const bool absolute = next->target[0] == '/';
            FUZZ_CHECK(!absolute || next->target.compare(0, treeRoot.size(), treeRoot) == 0);
            const std::string rest = absolute ? next->target.substr(treeRoot.size()) : next->target;
            const std::vector<std::string> targetParts = componentsOf(rest);
            FUZZ_CHECK(!targetParts.empty());  // no link of the tree leads to the root itself
            Outcome led = walk(links, mayBeAbsent, absolute ? rootNode : here, targetParts,
                               rest.back() == '/' || (lastHere && endsInSlash), lastHere && tail);
            if (led.end == LookUpEnd::absent && !trusted(next)) {
                led.end = LookUpEnd::linkRefused;
                led.name = part;
            }
            if (led.end != LookUpEnd::found) return led;
            if (!trusted(next) && led.node->status.st_uid != next->status.st_uid) {
                Outcome refused;
                refused.end = LookUpEnd::linkRefused;
                refused.name = part;
                return refused;
            }
            reached = led;
        } else {
            reached.end = LookUpEnd::found;
            reached.node = next;
            reached.dir = here;
            reached.name = part;
            reached.mustBeDirectory = lastHere && endsInSlash;
        }
        if (!lastHere && !reached.node->is(S_IFDIR)) return failedWith(ENOTDIR);
        here = reached.node;
    }
    return reached;
}

// Where lookUp must end for `name`, which is the tree's root followed by
// `tokens` (and a '/' when `endsInSlash`).
Outcome modelLookUp(const std::string &name, const std::vector<std::string> &tokens, bool endsInSlash,
                    bool mayBeAbsent) {
    if (name.size() >= PATH_MAX) return failedWith(ENAMETOOLONG);
    std::string rest;
    for (const std::string &token : tokens) rest += "/" + token;
    std::vector<std::string> parts = componentsOf(rest);
    if (parts.empty()) {
        // The root itself, as its last component names it.
        Outcome root;
        root.end = LookUpEnd::found;
        root.node = rootNode;
        root.dir = rootNode->parent;
        root.name = rootNode->name;
        return root;
    }
    int links = 0;
    Outcome o = walk(&links, mayBeAbsent, rootNode, parts, endsInSlash, true);
    if (o.end == LookUpEnd::found && o.mustBeDirectory && !o.node->is(S_IFDIR)) return failedWith(ENOTDIR);
    return o;
}

// ---- Checks ------------------------------------------------------------------------------

DIR *openDescriptors = nullptr;

int descriptorsOpen() {
    rewinddir(openDescriptors);
    int count = 0;
    while (readdir(openDescriptors) != nullptr) ++count;
    return count;
}

void checkOpened(int fd, const Node *node, int accessMode) {
    FUZZ_CHECK(fd >= 0);
    struct stat opened;
    FUZZ_CHECK(fstat(fd, &opened) == 0);
    FUZZ_CHECK(S_ISREG(opened.st_mode));
    FUZZ_CHECK(sameFile(opened, node->status));
    FUZZ_CHECK((fcntl(fd, F_GETFL) & O_ACCMODE) == accessMode);
}

// The file found is put aside and "g" of the same directory put in its
// place, then opened: only the file looked at may come back.
void checkSwapped(const LookedUp &found, const Outcome &model) {
    const Node *partner = model.dir->child("g");
    if (partner == nullptr || !partner->is(S_IFREG) || model.name == "g" || model.name == "." || model.name == "..")
        return;
    FUZZ_CHECK(renameat2(found.dir, found.finalName, found.dir, "g", RENAME_EXCHANGE) == 0);
    const int fd = openLookedUp(found, O_RDONLY);
    const int error = errno;
    FUZZ_CHECK(renameat2(found.dir, found.finalName, found.dir, "g", RENAME_EXCHANGE) == 0);
    if (kHaveLookHandles) {
        checkOpened(fd, model.node, O_RDONLY);
    } else {
        FUZZ_CHECK(fd == kNotTheFileLookedAt && error == ESTALE);
    }
    if (fd >= 0) close(fd);
}

void checkLookUp(const std::string &name, const Outcome &model, bool mayBeAbsent, bool open, bool swap) {
    LookedUp found;
    errno = 0;
    const LookUpEnd end = lookUp(name.c_str(), &found, mayBeAbsent);
    const int error = errno;
    FUZZ_CHECK(end == model.end);
    if (end == LookUpEnd::failed) FUZZ_CHECK(error == model.error);
    if (end != LookUpEnd::failed) FUZZ_CHECK(model.name == found.finalName);
    if (end == LookUpEnd::found) {
        FUZZ_CHECK(sameFile(found.status, model.node->status));
        FUZZ_CHECK((found.object >= 0) == kHaveLookHandles);
        // The system's own walk, which follows every link, reaches it too.
        struct stat followed;
        FUZZ_CHECK(stat(name.c_str(), &followed) == 0 && sameFile(followed, model.node->status));
        if (open && swap && model.node->is(S_IFREG)) {
            checkSwapped(found, model);
        } else if (open) {
            const int fd = openLookedUp(found, O_WRONLY);
            if (model.node->is(S_IFREG)) {
                checkOpened(fd, model.node, O_WRONLY);
                close(fd);
            } else {
                FUZZ_CHECK(fd == -1 && errno == ENXIO);
            }
        }
    }
    if (end == LookUpEnd::absent) FUZZ_CHECK(found.dir >= 0);
    closeLookedUp(&found);
}

void checkOpenToWrite(const std::string &name, const Outcome &model, bool append) {
    WriteRefusal why = WriteRefusal::failed;
    char refused[NAME_MAX + 1] = "";
    errno = 0;
    const mode_t mode = S_IRUSR | S_IWUSR | S_IRGRP;
    const int fd = openToWrite(name.c_str(), append, mode, &why, refused);
    const int error = errno;
    if (model.end == LookUpEnd::linkRefused) {
        FUZZ_CHECK(fd == -1 && why == WriteRefusal::linkRefused && model.name == refused);
    } else if (model.end == LookUpEnd::found && !model.node->is(S_IFREG)) {
        FUZZ_CHECK(fd == -1 && why == WriteRefusal::notRegular && error == ENXIO);
    } else if (model.end == LookUpEnd::found) {
        checkOpened(fd, model.node, O_WRONLY);
        const int flags = fcntl(fd, F_GETFL);
        FUZZ_CHECK(((flags & O_APPEND) != 0) == append && (flags & O_NONBLOCK) == 0);
        close(fd);
    } else if (model.end == LookUpEnd::absent && name.back() == '/') {
        FUZZ_CHECK(fd == -1 && why == WriteRefusal::failed && error == EISDIR);
    } else if (model.end == LookUpEnd::absent) {
        // Made new, where the model says, and taken away again.
        FUZZ_CHECK(fd >= 0);
        struct stat made;
        struct stat there;
        const std::string path = pathOf(model.node) + "/" + model.name;
        FUZZ_CHECK(fstat(fd, &made) == 0 && S_ISREG(made.st_mode) && made.st_size == 0);
        FUZZ_CHECK(lstat(path.c_str(), &there) == 0 && sameFile(made, there));
        FUZZ_CHECK((made.st_mode & ~mode & (S_IRWXU | S_IRWXG | S_IRWXO)) == 0);
        close(fd);
        FUZZ_CHECK(unlink(path.c_str()) == 0);
    } else {
        FUZZ_CHECK(fd == -1 && why == WriteRefusal::failed && error == model.error);
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    const char *tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp != nullptr && *tmp ? tmp : "/tmp") + "/pathWalk.XXXXXX";
    FUZZ_CHECK(mkdtemp(pattern.data()) != nullptr);
    char *real = realpath(pattern.c_str(), nullptr);
    FUZZ_CHECK(real != nullptr);
    top = real;
    free(real);
    std::atexit(removeSandbox);
    FUZZ_CHECK(mkdir((top + "/u").c_str(), S_IRWXU) == 0 && mkdir((top + "/u/v").c_str(), S_IRWXU) == 0);
    treeRoot = top + "/u/v";
    for (const Entry &e : entries) makeEntry(e);

    topNode = std::make_unique<Node>();
    topNode->name = top.substr(top.rfind('/') + 1);
    readBack(topNode.get(), top);
    rootNode = topNode->child("u")->child("v");
    openDescriptors = opendir("/proc/self/fd");
    FUZZ_CHECK(openDescriptors != nullptr);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1) return 0;
    const int call = data[0] & 3;  // lookUp, lookUp for a new file, openToWrite, openToWrite appending
    const bool flagSlash = data[0] & 4;
    const bool open = data[0] & 8;
    const bool swap = data[0] & 16;
    const std::vector<std::string> &words = vocabulary();
    std::vector<std::string> tokens;
    int ups = 0;
    for (size_t i = 1; i < size && tokens.size() < 300; ++i) {
        std::string token = words[data[i] % words.size()];
        if (token == ".." && ++ups > kMostUps) token = ".";
        tokens.push_back(token);
    }
    std::string name = treeRoot;
    for (const std::string &token : tokens) name += "/" + token;
    if (flagSlash) name += "/";
    // An empty last component ends the name in '/' as well.
    const bool endsInSlash = name.back() == '/';

    const int before = descriptorsOpen();
    const bool mayBeAbsent = call != 0;
    const Outcome model = modelLookUp(name, tokens, endsInSlash, mayBeAbsent);
    if (call < 2) {
        checkLookUp(name, model, mayBeAbsent, open, swap);
    } else {
        checkOpenToWrite(name, model, call == 3);
    }
    FUZZ_CHECK(descriptorsOpen() == before);
    return 0;
}
