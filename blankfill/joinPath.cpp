// Path joining; see joinPath.h.
#include "joinPath.h"

#include <cstdarg>
#include <cstdlib>
#include <cstring>

char rcsid_joinPath[] = "$Id: joinPath.c,v 2.50 2023-11-10 16:02:37-05 devteam Exp $";

namespace {

bool isSeparator(char c) { return c == '/' || c == '\\'; }

}  // namespace

char *joinPath(const char *const *parts, ...) {
    va_list args;
    va_start(args, parts);

    // Size: one byte per part for its separator or the terminator, plus 1,
    // less the 1 that the last part's share already covers.
    size_t total = 1;
    size_t count = 0;
    {
        // A va_list can be walked only once, so the sizing walk uses a copy.
        va_list walk;
        va_copy(walk, args);
        for (const char *const *at = parts;;) {
            const char *part = parts ? *at++ : va_arg(walk, const char *);
            if (part == nullptr) break;
            total += std::strlen(part) + 1;
            ++count;
        }
        va_end(walk);
    }
    size_t size = count == 0 ? 1 : total - 1;
    char *result = static_cast<char *>(std::malloc(size));
    if (result == nullptr) {
        va_end(args);
        return nullptr;
    }

    // Join: a '/' before every non-empty part but the first written.
    size_t length = 0;
    for (const char *const *at = parts;;) {
        const char *part = parts ? *at++ : va_arg(args, const char *);
        if (part == nullptr) break;
        size_t partLength = std::strlen(part);
        if (partLength == 0) continue;
        if (length > 0) result[length++] = '/';
        std::memcpy(result + length, part, partLength);
        length += partLength;
    }
    result[length] = '\0';
    va_end(args);

    // Normalise in place: each maximal run of separators becomes one '/'.
    size_t kept = 0;
    for (size_t i = 0; i < length;) {
        if (isSeparator(result[i])) {
            result[kept++] = '/';
            while (i < length && isSeparator(result[i])) ++i;
        } else {
            result[kept++] = result[i++];
        }
    }
    result[kept] = '\0';

    // Shrink; a failed shrink keeps the larger block, which holds the same text.
    if (kept + 1 < size) {
        char *smaller = static_cast<char *>(std::realloc(result, kept + 1));
        if (smaller != nullptr) result = smaller;
    }
    return result;
}
