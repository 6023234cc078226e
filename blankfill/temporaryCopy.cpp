// The temporary copy of a replacement's new contents; see temporaryCopy.h.
#include "temporaryCopy.h"

#include <signal.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "fileCalls.h"

namespace {

constexpr char tempTemplate[] = "replFileXXXXXX";
constexpr char partialTemplate[] = "replPartXXXXXX";  // a copy still being written
constexpr size_t kSuffix = 6;

// The copy may be removed only while `removable` is set, and then by the
// name in removableName; it is cleared for good once the copy is the only
// complete one. A signal handler reads these two (through
// discardTemporaryCopy), so they are volatile and stay at file scope, with
// the names they point to.
const char *volatile removableName = nullptr;
volatile sig_atomic_t removable = 0;
char tempFileName[sizeof tempTemplate];    // the name of the complete copy, once it has one
char partialName[sizeof partialTemplate];  // set while the copy is named replPartXXXXXX
bool named = false;                        // the complete copy has its replFileXXXXXX name

char *suffixOf(char *name, size_t size) { return name + size - 1 - kSuffix; }

// Six characters for a name, different at each call and across processes.
void fillSuffix(char *x) {
    static const char letters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    static unsigned long long state = 0;
    struct timespec now {};
    clock_gettime(CLOCK_REALTIME, &now);
    state = state * 6364136223846793005ull + 1442695040888963407ull +
            static_cast<unsigned long long>(now.tv_nsec) + (static_cast<unsigned long long>(getpid()) << 20);
    unsigned long long bits = state;
    for (size_t i = 0; i < kSuffix; ++i) {
        x[i] = letters[(bits >> 33) % 62];
        bits = bits * 6364136223846793005ull + 1ull;
    }
}

// A fresh replFileXXXXXX name that no file has now.
void chooseName() {
    int saved = errno;
    std::memcpy(tempFileName, tempTemplate, sizeof tempTemplate);
    for (int tries = 0; tries < 100; ++tries) {
        fillSuffix(suffixOf(tempFileName, sizeof tempFileName));
        struct stat existing;
        if (lstat(tempFileName, &existing) != 0 && errno == ENOENT) break;
    }
    errno = saved;
}

// Gives the complete copy the name in tempFileName: a second name for a
// partial one (or its only name, where the file system has no hard links),
// the first for a nameless one. 0, or -1 with errno set.
int linkComplete(int fd) {
    if (partialName[0] == '\0') return linkNameless(fd, tempFileName);
    int made = link(partialName, tempFileName);
    if (made != 0 && errno != EEXIST) {
        // A file system without hard links: the partial name is ours.
        made = rename(partialName, tempFileName);
        if (made == 0) partialName[0] = '\0';
    }
    return made;
}

}  // namespace

int createTemporaryCopy() {
    chooseName();
    partialName[0] = '\0';
    named = false;
    int before = errno;
    int fd = openNameless(".", S_IRUSR | S_IWUSR);
    if (fd >= 0) return fd;
    errno = before;  // a system without nameless files is no failure
    std::memcpy(partialName, partialTemplate, sizeof partialTemplate);
    fd = mkstemp(partialName);
    if (fd < 0) {
        partialName[0] = '\0';
        return -1;
    }
    // The complete copy will be named with the same six characters.
    std::memcpy(suffixOf(tempFileName, sizeof tempFileName), suffixOf(partialName, sizeof partialName), kSuffix);
    removableName = partialName;
    removable = 1;
    return fd;
}

int nameTemporaryCopy(int fd) {
    for (int tries = 0; tries < 100; ++tries) {
        if (linkComplete(fd) == 0) {
            if (partialName[0] != '\0') unlink(partialName);
            partialName[0] = '\0';
            removableName = tempFileName;
            removable = 1;
            named = true;
            return 0;
        }
        if (errno != EEXIST) return errno;
        chooseName();
    }
    return EEXIST;  // every name tried was taken meanwhile: no complete copy has a name
}

const char *temporaryCopyName() { return tempFileName; }

const char *temporaryCopyOnDisk() {
    if (named) return tempFileName;
    return partialName[0] != '\0' ? partialName : nullptr;
}

void discardTemporaryCopy() {
    // Removed before the flag is cleared: a signal handler that interrupts
    // this finds the flag still set and removes the name once more, which
    // is harmless, whereas the other order could leave the file behind.
    if (removable) {
        unlink(removableName);
        removable = 0;
    }
}

void keepTemporaryCopy() { removable = 0; }
