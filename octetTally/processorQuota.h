// The processors this process may use: those of its affinity mask, fewer
// where a cgroup quota of processor time allows fewer. The readers of the
// system's files (/proc/self/mountinfo, /proc/self/cgroup and the groups'
// quota files) take those files' bytes, so that what a file may hold is
// read the same way whether it comes from the system or from elsewhere.
#pragma once

#include <cstddef>

// A quota of more processors than this counts as this many.
constexpr int kMostQuotaProcessors = 4096;

// Reads the start of the file `path` as text into `text`: at most size - 1
// bytes, then a NUL. False where the file cannot be opened or read.
using ReadSmallFile = bool (*)(const char *path, char *text, std::size_t size);

// The system's own: the file itself, read with stdio.
bool readSmallFile(const char *path, char *text, std::size_t size);

// The quota set in the group directory `dir` as processors, rounded up
// (at most kMostQuotaProcessors); 0 when its files set none. `unified`:
// the single hierarchy's cpu.max ("max 100000" for none, "150000 100000"),
// else the older cpu.cfs_quota_us (-1 for none) with cpu.cfs_period_us.
int quotaFromFile(const char *dir, bool unified, ReadSmallFile read);

// Whether the comma-separated `list` holds `word`.
bool listHas(const char *list, const char *word);

// The process's group `group` in the hierarchy mounted at `mountPoint`,
// whose root there is `root`, and each group above it up to the mount
// point: the smallest quota among them; 0 for none, or when the group is
// not the root nor below it.
int quotaOfGroup(const char *mountPoint, const char *root, const char *group, bool unified, ReadSmallFile read);

// The group of this process, from the text of /proc/self/cgroup (`length`
// bytes), in the hierarchy that has the processor controller (`unified`:
// the single hierarchy, whose line is "0::"). False when none is named or
// its name does not fit in `size` bytes.
bool groupOf(const char *cgroups, std::size_t length, bool unified, char *group, std::size_t size);

// The smallest processor quota of the groups this process is in, from the
// texts of /proc/self/mountinfo and /proc/self/cgroup, reading each group's
// quota files with `read`; 0 for none.
int quotaProcessors(const char *mountinfo, std::size_t mountinfoLength, const char *cgroups,
                    std::size_t cgroupsLength, ReadSmallFile read);

// The processors this process may use, from the system's files. At least 1.
int usableProcessors();
