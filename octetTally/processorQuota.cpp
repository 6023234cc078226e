// See processorQuota.h. The system's files are read whole by thin wrappers
// at the bottom; everything above them works on bytes.
#include "processorQuota.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "processors.h"

namespace {

// The next line of [*p, end) into `line`, without its newline, and *p past
// it; false at the end of the text. A line too long for `line` is passed
// over whole: none that the kernel writes in these files is, and a piece of
// one is no line of its own.
bool nextLine(const char *&p, const char *end, char *line, std::size_t size) {
    while (p < end) {
        const char *newline = static_cast<const char *>(std::memchr(p, '\n', static_cast<std::size_t>(end - p)));
        const char *lineEnd = newline != nullptr ? newline : end;
        const std::size_t length = static_cast<std::size_t>(lineEnd - p);
        const char *start = p;
        p = newline != nullptr ? newline + 1 : end;
        if (length < size) {
            std::memcpy(line, start, length);
            line[length] = '\0';
            return true;
        }
    }
    return false;
}

// Those of the affinity mask, or where the system cannot tell, those online.
int affinityProcessors() {
    const int affinity = affinityProcessorCount();
    return affinity > 0 ? affinity : onlineProcessorCount();
}

}  // namespace

int quotaFromFile(const char *dir, bool unified, ReadSmallFile read) {
    char path[4200];
    char text[128];
    long long quota = -1;
    long long period = 0;
    std::snprintf(path, sizeof path, "%s/%s", dir, unified ? "cpu.max" : "cpu.cfs_quota_us");
    if (!read(path, text, sizeof text)) return 0;
    // "max 100000" (none) or "150000 100000"; the older form keeps the
    // period apart and says -1 for none.
    const int got = unified ? std::sscanf(text, "%lld %lld", &quota, &period) : std::sscanf(text, "%lld", &quota);
    if (got < 1 || quota <= 0) return 0;
    if (!unified) {
        std::snprintf(path, sizeof path, "%s/cpu.cfs_period_us", dir);
        if (!read(path, text, sizeof text)) return 0;
        if (std::sscanf(text, "%lld", &period) != 1) period = 0;
    }
    if (period <= 0) return 0;
    // Rounded up without adding first: a file may say any number up to the
    // largest, and the sum would overflow.
    const long long processors = quota / period + (quota % period != 0);
    return processors < kMostQuotaProcessors ? static_cast<int>(processors) : kMostQuotaProcessors;
}

bool listHas(const char *list, const char *word) {
    const std::size_t length = std::strlen(word);
    for (const char *p = list; *p;) {
        const char *end = std::strchr(p, ',');
        const std::size_t n = end ? static_cast<std::size_t>(end - p) : std::strlen(p);
        if (n == length && std::strncmp(p, word, n) == 0) return true;
        if (end == nullptr) break;
        p = end + 1;
    }
    return false;
}

int quotaOfGroup(const char *mountPoint, const char *root, const char *group, bool unified, ReadSmallFile read) {
    const std::size_t rootLength = std::strcmp(root, "/") == 0 ? 0 : std::strlen(root);
    // The group must be the root or lie below it: "/ab" is not below "/a".
    if (std::strncmp(group, root, rootLength) != 0) return 0;
    if (group[rootLength] != '\0' && group[rootLength] != '/') return 0;
    char dir[4096];
    if (std::snprintf(dir, sizeof dir, "%s%s", mountPoint, group + rootLength) >= int(sizeof dir)) return 0;
    const std::size_t top = std::strlen(mountPoint);
    int least = 0;
    for (;;) {
        const int quota = quotaFromFile(dir, unified, read);
        if (quota > 0 && (least == 0 || quota < least)) least = quota;
        char *slash = std::strrchr(dir, '/');
        if (slash == nullptr || static_cast<std::size_t>(slash - dir) < top) break;
        *slash = '\0';
    }
    return least;
}

bool groupOf(const char *cgroups, std::size_t length, bool unified, char *group, std::size_t size) {
    char line[4200];
    const char *p = cgroups;
    while (nextLine(p, cgroups + length, line, sizeof line)) {
        char *controllers = std::strchr(line, ':');
        char *path = controllers ? std::strchr(controllers + 1, ':') : nullptr;
        if (path == nullptr) continue;
        // The line split into its hierarchy's number, its controllers and
        // the group's path.
        *controllers++ = '\0';
        *path++ = '\0';
        const bool match = unified ? std::strcmp(line, "0") == 0 && *controllers == '\0'
                                   : listHas(controllers, "cpu");
        if (match && std::strlen(path) < size) {
            std::strcpy(group, path);
            return true;
        }
    }
    return false;
}

int quotaProcessors(const char *mountinfo, std::size_t mountinfoLength, const char *cgroups,
                    std::size_t cgroupsLength, ReadSmallFile read) {
    char line[8400];
    int least = 0;
    const char *p = mountinfo;
    while (nextLine(p, mountinfo + mountinfoLength, line, sizeof line)) {
        // "id parent dev root mount-point options [fields] - type source super-options"
        char root[4096];
        char mountPoint[4096];
        char type[32];
        char superOptions[512];
        const char *tail = std::strstr(line, " - ");
        if (tail == nullptr || std::sscanf(line, "%*s %*s %*s %4095s %4095s", root, mountPoint) != 2 ||
            std::sscanf(tail, " - %31s %*s %511s", type, superOptions) != 2) {
            continue;
        }
        const bool unified = std::strcmp(type, "cgroup2") == 0;
        if (!unified && (std::strcmp(type, "cgroup") != 0 || !listHas(superOptions, "cpu"))) continue;
        char group[4096];
        if (!groupOf(cgroups, cgroupsLength, unified, group, sizeof group)) continue;
        const int quota = quotaOfGroup(mountPoint, root, group, unified, read);
        if (quota > 0 && (least == 0 || quota < least)) least = quota;
    }
    return least;
}

// ---- The system's files -------------------------------------------------------

bool readSmallFile(const char *path, char *text, std::size_t size) {
    FILE *f = std::fopen(path, "r");
    if (f == nullptr) return false;
    const std::size_t got = std::fread(text, 1, size - 1, f);
    const bool failed = std::ferror(f) != 0;
    std::fclose(f);
    text[got] = '\0';
    return !failed;
}

namespace {

// The whole of a file the kernel makes as it is read (whose size says
// nothing), in memory from malloc; null where it cannot be read.
char *readWholeFile(const char *path, std::size_t *length) {
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return nullptr;
    std::size_t size = 16384;
    std::size_t used = 0;
    char *text = static_cast<char *>(std::malloc(size));
    while (text != nullptr) {
        if (used == size) {
            char *larger = static_cast<char *>(std::realloc(text, 2 * size));
            if (larger == nullptr) {
                std::free(text);
                text = nullptr;
                break;
            }
            text = larger;
            size *= 2;
        }
        const ssize_t got = read(fd, text + used, size - used);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            std::free(text);
            text = nullptr;
        } else if (got == 0) {
            break;
        } else {
            used += static_cast<std::size_t>(got);
        }
    }
    close(fd);
    *length = used;
    return text;
}

}  // namespace

int usableProcessors() {
    const int affinity = affinityProcessors();
    std::size_t mountinfoLength = 0;
    std::size_t cgroupsLength = 0;
    char *mountinfo = readWholeFile("/proc/self/mountinfo", &mountinfoLength);
    char *cgroups = readWholeFile("/proc/self/cgroup", &cgroupsLength);
    int quota = 0;
    if (mountinfo != nullptr && cgroups != nullptr)
        quota = quotaProcessors(mountinfo, mountinfoLength, cgroups, cgroupsLength, readSmallFile);
    std::free(mountinfo);
    std::free(cgroups);
    return quota > 0 && quota < affinity ? quota : affinity;
}
