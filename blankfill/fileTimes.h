// A file's times to the nanosecond where the platform's status record has
// them (st_mtim and its kin, or the BSDs' st_mtimespec), else in whole
// seconds. Used by the replacement and by blankfill's tests alike.
#pragma once

#include <sys/stat.h>

#include <ctime>

enum class FileTime { access, modification, change };

inline struct timespec fileTime(const struct stat &status, FileTime which) {
    struct timespec time {};
#if SUITE_HAVE_ST_MTIM
    time = which == FileTime::access ? status.st_atim : which == FileTime::modification ? status.st_mtim : status.st_ctim;
#elif SUITE_HAVE_ST_MTIMESPEC
    time = which == FileTime::access         ? status.st_atimespec
           : which == FileTime::modification ? status.st_mtimespec
                                             : status.st_ctimespec;
#else
    time.tv_sec = which == FileTime::access ? status.st_atime : which == FileTime::modification ? status.st_mtime : status.st_ctime;
    time.tv_nsec = 0;
#endif
    return time;
}

// Whether the times above carry nanoseconds on this build.
constexpr bool fileTimesHaveNanoseconds = SUITE_HAVE_ST_MTIM || SUITE_HAVE_ST_MTIMESPEC;
