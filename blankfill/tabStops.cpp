// Tab stops from a list; see tabStops.h.
#include "tabStops.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "expandTabs.h"

namespace {

bool isSeparator(char c) { return c == ',' || c == ' ' || c == '\t'; }

// One entry of a list: an optional / or + and the digits of a number.
struct Entry {
    char marker = 0;  // '/', '+' or 0
    int64_t value = 0;
};

// Reads the entry at *text, up to the next separator, and moves past it.
const char *readEntry(const char **text, Entry *entry) {
    const char *p = *text;
    if (*p == '/' || *p == '+') entry->marker = *p++;
    if (*p < '0' || *p > '9') {
        bool known = *p == '\0' || *p == '/' || *p == '+' || isSeparator(*p);
        return known ? "/ or + must stand just before a number" : "only digits, commas, blanks, / and + may be used";
    }
    uint64_t value = 0;
    const uint64_t largest = static_cast<uint64_t>(kMaxSpacing);
    bool tooLarge = false;
    for (; *p >= '0' && *p <= '9'; ++p) {
        uint64_t digit = static_cast<uint64_t>(*p - '0');
        if (value > (largest - digit) / 10) tooLarge = true;
        if (!tooLarge) value = value * 10 + digit;
    }
    if (*p != '\0' && !isSeparator(*p)) {
        return *p == '/' || *p == '+' ? "/ or + must stand just before a number"
                                      : "only digits, commas, blanks, / and + may be used";
    }
    if (tooLarge) return "a tab stop must be no greater than 9223372036854775807";
    if (value == 0) return "a tab stop must be 1 or greater";
    entry->value = static_cast<int64_t>(value);
    *text = p;
    return nullptr;
}

}  // namespace

const char *parseTabStops(const char *text, TabStops *stops, int64_t *spacing) {
    *stops = TabStops{};
    *spacing = 0;
    // At most one stop for every two bytes of the text.
    size_t room = std::strlen(text) / 2 + 1;
    int64_t *list = static_cast<int64_t *>(std::malloc(room * sizeof(int64_t)));
    if (list == nullptr) return "there is no memory for it";
    size_t count = 0;
    Entry last;
    const char *reason = nullptr;
    for (const char *p = text;;) {
        while (isSeparator(*p)) ++p;
        if (*p == '\0') break;
        if (last.marker != 0) {
            reason = "only the last entry may be /N or +N";
            break;
        }
        Entry entry;
        if ((reason = readEntry(&p, &entry)) != nullptr) break;
        if (entry.marker == 0 && count > 0 && entry.value <= list[count - 1]) {
            reason = "tab stops must increase";
            break;
        }
        if (entry.marker == 0) list[count++] = entry.value;
        last = entry;
    }
    if (reason == nullptr && count == 0 && last.marker == 0) reason = "no tab stop is given";
    if (reason != nullptr || count == 0 || (count == 1 && last.marker == 0)) {
        // One spacing: a single number, or /N or +N alone (every N from 0).
        if (reason == nullptr) *spacing = count == 1 ? list[0] : last.value;
        std::free(list);
        return reason;
    }
    stops->stops = list;
    stops->count = count;
    stops->every = last.marker != 0 ? last.value : 0;
    stops->fromLast = last.marker == '+';
    return nullptr;
}

uint64_t nextTabStop(const TabStops &stops, uint64_t column) {
    const int64_t *begin = stops.stops;
    const int64_t *end = begin + stops.count;
    const int64_t *next = std::upper_bound(begin, end, column,
                                           [](uint64_t c, int64_t stop) { return c < static_cast<uint64_t>(stop); });
    if (next != end) return static_cast<uint64_t>(*next);
    const uint64_t every = static_cast<uint64_t>(stops.every);
    if (every == 0) return column == UINT64_MAX ? column : column + 1;
    // +N counts on from the last stop, /N from column 0.
    const uint64_t origin = stops.fromLast ? static_cast<uint64_t>(end[-1]) : 0;
    uint64_t stop;
    if (__builtin_add_overflow(column, every - (column - origin) % every, &stop)) return UINT64_MAX;
    return stop;
}
