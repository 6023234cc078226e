// Fuzz target for octetTally's readers of the cgroup and mount files. The
// texts of /proc/self/mountinfo and /proc/self/cgroup and of the groups'
// quota files all come from the input; the quota files are served by a
// reader that picks one of the given texts (or no file) by the path asked
// for. Checked: no crash, a quota of 0 (none) or 1 to kMostQuotaProcessors,
// and against small models: a quota file's text, the group named for each
// hierarchy, the comma-separated lists, and the whole answer as the least
// quota of the files that were read, each of them under a mount point.
//
// Input: sections separated by a line "%%": the mount table, the group
// table, then up to eight quota files' texts.
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fuzzCheck.h"
#include "processorQuota.h"

namespace {

std::vector<std::string> quotaTexts;

struct Read {
    std::string path;
    bool found;
    std::string text;  // as handed over, cut as the reader cuts it
};
std::vector<Read> reads;

// Serves quotaTexts by a hash of the path (one past the last: no file), so
// that the same path always reads the same.
bool readFromInput(const char *path, char *text, std::size_t size) {
    uint32_t hash = 2166136261u;
    for (const char *p = path; *p; ++p) hash = (hash ^ static_cast<unsigned char>(*p)) * 16777619u;
    const std::size_t pick = hash % (quotaTexts.size() + 1);
    if (pick == quotaTexts.size()) {
        reads.push_back({path, false, {}});
        return false;
    }
    const std::string &whole = quotaTexts[pick];
    const std::size_t n = whole.size() < size - 1 ? whole.size() : size - 1;
    std::memcpy(text, whole.data(), n);
    text[n] = '\0';
    reads.push_back({path, true, std::string(text, n)});
    return true;
}

// Serves the first text for the quota, the second for the period.
bool readFirstTwo(const char *path, char *text, std::size_t size) {
    const bool period = std::strstr(path, "cfs_period_us") != nullptr;
    const std::string &whole = quotaTexts[period ? 1 : 0];
    const std::size_t n = whole.size() < size - 1 ? whole.size() : size - 1;
    std::memcpy(text, whole.data(), n);
    text[n] = '\0';
    reads.push_back({path, true, std::string(text, n)});
    return true;
}

// ---- Models -------------------------------------------------------------------------------

// A decimal number as strtoll reads it, from where *p is; false when there
// is none.
bool number(const char *&p, long long *value) {
    char *end = nullptr;
    errno = 0;
    *value = std::strtoll(p, &end, 10);
    if (end == p) return false;
    p = end;
    return true;
}

// Processors from a quota and a period, rounded up, counted to the most.
int processorsOf(long long quota, long long period) {
    if (quota <= 0 || period <= 0) return 0;
    const __int128 processors = (static_cast<__int128>(quota) + period - 1) / period;
    return processors < kMostQuotaProcessors ? static_cast<int>(processors) : kMostQuotaProcessors;
}

// cpu.max: "QUOTA PERIOD", "max PERIOD" for none.
int modelUnified(const std::string &text) {
    const char *p = text.c_str();
    long long quota = 0;
    long long period = 0;
    if (!number(p, &quota) || !number(p, &period)) return 0;
    return processorsOf(quota, period);
}

bool endsWith(const std::string &s, const char *tail) {
    const std::size_t n = std::strlen(tail);
    return s.size() >= n && s.compare(s.size() - n, n, tail) == 0;
}

std::vector<std::string> split(const std::string &text, char separator) {
    std::vector<std::string> parts;
    std::size_t start = 0;
    for (;;) {
        const std::size_t at = text.find(separator, start);
        parts.push_back(text.substr(start, at == std::string::npos ? std::string::npos : at - start));
        if (at == std::string::npos) return parts;
        start = at + 1;
    }
}

bool modelListHas(const std::string &list, const std::string &word) {
    for (const std::string &item : split(list, ',')) {
        if (item == word) return true;
    }
    return false;
}

// The group named for a hierarchy in the group table "ID:CONTROLLERS:PATH".
bool modelGroupOf(const std::string &table, bool unified, std::string *group) {
    std::vector<std::string> lines = split(table, '\n');
    if (!table.empty() && table.back() == '\n') lines.pop_back();
    for (const std::string &line : lines) {
        const std::size_t first = line.find(':');
        if (first == std::string::npos) continue;
        const std::size_t second = line.find(':', first + 1);
        if (second == std::string::npos) continue;
        const std::string id = line.substr(0, first);
        const std::string controllers = line.substr(first + 1, second - first - 1);
        const std::string path = line.substr(second + 1);
        const bool match = unified ? id == "0" && controllers.empty() : modelListHas(controllers, "cpu");
        if (match && path.size() < 4096) {
            *group = path;
            return true;
        }
    }
    return false;
}

// Whether the table is one the models read as the readers do: no NUL, no
// line too long for a line of a real file.
bool plainTable(const std::string &text) {
    if (text.find('\0') != std::string::npos) return false;
    for (const std::string &line : split(text, '\n')) {
        if (line.size() >= 4096) return false;
    }
    return true;
}

// Whether a byte ends a word of the mount table: a blank, or a NUL, where
// the reader's line ends as a C string does.
bool endsWord(char c) { return c == '\0' || std::isspace(static_cast<unsigned char>(c)); }

// Whether `dir` is a mount point of the table or lies under one.
bool underAMountPoint(const std::string &dir, const std::string &mountinfo) {
    std::size_t at = 0;
    while (at < mountinfo.size()) {
        while (at < mountinfo.size() && endsWord(mountinfo[at])) ++at;
        std::size_t end = at;
        while (end < mountinfo.size() && !endsWord(mountinfo[end])) ++end;
        const std::string token = mountinfo.substr(at, end - at);
        if (!token.empty() && dir.compare(0, token.size(), token) == 0 &&
            (dir.size() == token.size() || dir[token.size()] == '/' || token.back() == '/')) {
            return true;
        }
        at = end;
    }
    return false;
}

// The answer that the files read give: the least quota among them. Each
// read must be a quota file of a group under a mount point, and the older
// form's period is read just after a quota that is set.
int leastQuotaRead(const std::string &mountinfo) {
    int least = 0;
    for (std::size_t i = 0; i < reads.size(); ++i) {
        const Read &r = reads[i];
        int quota = 0;
        std::string dir;
        if (endsWith(r.path, "/cpu.max")) {
            dir = r.path.substr(0, r.path.size() - std::strlen("/cpu.max"));
            if (r.found) quota = modelUnified(r.text);
        } else {
            FUZZ_CHECK(endsWith(r.path, "/cpu.cfs_quota_us"));
            dir = r.path.substr(0, r.path.size() - std::strlen("/cpu.cfs_quota_us"));
            const char *p = r.text.c_str();
            long long set = 0;
            if (r.found && number(p, &set) && set > 0) {
                FUZZ_CHECK(i + 1 < reads.size() && reads[i + 1].path == dir + "/cpu.cfs_period_us");
                const Read &period = reads[++i];
                p = period.text.c_str();
                long long each = 0;
                if (period.found && number(p, &each)) quota = processorsOf(set, each);
            }
        }
        FUZZ_CHECK(underAMountPoint(dir, mountinfo));
        if (quota > 0 && (least == 0 || quota < least)) least = quota;
    }
    return least;
}

// ---- Input ----------------------------------------------------------------------------------

std::vector<std::string> sections(const uint8_t *data, std::size_t size) {
    const std::string all(reinterpret_cast<const char *>(data), size);
    std::vector<std::string> parts;
    std::size_t start = 0;
    for (;;) {
        const std::size_t at = all.find("\n%%\n", start);
        if (at == std::string::npos || parts.size() == 9) {
            parts.push_back(all.substr(start));
            return parts;
        }
        parts.push_back(all.substr(start, at + 1 - start));
        start = at + 4;
    }
}

void checkQuotaFile(bool unified) {
    reads.clear();
    const int quota = quotaFromFile("/q", unified, readFirstTwo);
    int expected = 0;
    if (unified) {
        expected = modelUnified(reads[0].text);
    } else {
        const char *p = reads[0].text.c_str();
        long long set = 0;
        long long each = 0;
        if (number(p, &set) && set > 0) {
            FUZZ_CHECK(reads.size() == 2);
            p = reads[1].text.c_str();
            if (number(p, &each)) expected = processorsOf(set, each);
        }
    }
    FUZZ_CHECK(quota == expected);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    // The live files, once: at least one processor, whatever they say.
    FUZZ_CHECK(usableProcessors() >= 1);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size) {
    std::vector<std::string> parts = sections(data, size);
    if (parts.size() < 2) parts.resize(2);
    const std::string mountinfo = parts[0];
    const std::string cgroups = parts[1];
    quotaTexts.assign(parts.begin() + 2, parts.end());

    reads.clear();
    const int quota = quotaProcessors(mountinfo.data(), mountinfo.size(), cgroups.data(), cgroups.size(),
                                      readFromInput);
    FUZZ_CHECK(quota >= 0 && quota <= kMostQuotaProcessors);
    FUZZ_CHECK(quota == leastQuotaRead(mountinfo));

    for (bool unified : {false, true}) {
        char group[4096];
        const bool found = groupOf(cgroups.data(), cgroups.size(), unified, group, sizeof group);
        if (plainTable(cgroups)) {
            std::string expected;
            FUZZ_CHECK(found == modelGroupOf(cgroups, unified, &expected));
            if (found) FUZZ_CHECK(expected == group);
        }
    }

    if (quotaTexts.size() >= 2) {
        checkQuotaFile(false);
        checkQuotaFile(true);
    }
    if (!quotaTexts.empty()) {
        const std::string list = quotaTexts[0].c_str();
        FUZZ_CHECK(listHas(list.c_str(), "cpu") == modelListHas(list, "cpu"));
    }
    return 0;
}
