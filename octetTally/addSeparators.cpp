// Digit grouping: separators inserted in place, right to left, so that no
// second buffer is needed; only the decimal variant copies its fraction aside.
#include "addSeparators.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

char rcs_id[] = "$Id: addSeparators.c,v 1.44 2024-04-20 16:02:11-04 devteam Exp $";

namespace {

// Room for the longest 64-bit value with its sign and separators
// (-9,223,372,036,854,775,808 and 18,446,744,073,709,551,615 are 26 characters).
constexpr size_t kIntegerBufferSize = 27;
// Room for any double printed with up to 17 places and grouped.
constexpr size_t kDoubleBufferSize = 450;
constexpr int kMaxPlaces = 17;

char int64Buf[kIntegerBufferSize];
char uint64Buf[kIntegerBufferSize];
char dblBuf[kDoubleBufferSize];

}  // namespace

int64_t addSeparators(char *text, size_t size, int separator, int groupSize) {
    if (text == nullptr || groupSize <= 0) {
        errno = EINVAL;
        return -1;
    }
    // A sign keeps its place; the rest of the buffer is what the digits get.
    int64_t signLen = 0;
    if (*text == '-' || *text == '+') {
        ++text;
        signLen = 1;
        if (size > 0) --size;
    }
    const size_t n = std::strlen(text);
    const size_t group = static_cast<size_t>(groupSize);
    const size_t groupedLen = n == 0 ? 0 : n + (n - 1) / group;
    if (size == 0) {
        return static_cast<int64_t>(groupedLen) + 1 + signLen;
    }
    if (n < 2) {
        return 0;
    }
    // The grouped text and its terminator must fit.
    if (groupedLen >= size) {
        errno = ENOMEM;
        return -1;
    }
    // Right to left: the write position never falls behind the character
    // still to be read, so every character is moved before it is overwritten.
    text[groupedLen] = '\0';
    size_t from = n;
    size_t to = groupedLen;
    size_t inGroup = 0;
    while (from > 0) {
        text[--to] = text[--from];
        if (++inGroup == group && from > 0) {
            text[--to] = static_cast<char>(separator);
            inGroup = 0;
        }
    }
    return 0;
}

int addSeparatorsDecimal(char *text, size_t size, int decimalPoint, int separator,
                         int groupSize) {
    if (text == nullptr || groupSize <= 0) {
        errno = EINVAL;
        return -1;
    }
    char *point = std::strchr(text, decimalPoint);
    if (point == nullptr) {
        return static_cast<int>(addSeparators(text, size, separator, groupSize));
    }
    const size_t fractionLen = std::strlen(point);
    // A buffer no larger than the fraction cannot have held the text at all;
    // refuse it rather than let the size left for the integer part wrap round.
    if (size != 0 && size <= fractionLen) {
        errno = ENOMEM;
        return -1;
    }
    char *fraction = static_cast<char *>(std::malloc(fractionLen + 1));
    if (fraction == nullptr) {
        errno = ENOMEM;
        return -1;
    }
    std::memcpy(fraction, point, fractionLen + 1);
    const char pointChar = *point;
    *point = '\0';

    const int64_t result =
        addSeparators(text, size == 0 ? 0 : size - fractionLen, separator, groupSize);
    if (size == 0) {
        *point = pointChar;
        std::free(fraction);
        return static_cast<int>(result + static_cast<int64_t>(fractionLen));
    }
    if (result != 0 || std::strlen(text) + fractionLen >= size) {
        *point = pointChar;
        std::free(fraction);
        errno = ENOMEM;
        return -1;
    }
    std::memcpy(text + std::strlen(text), fraction, fractionLen + 1);
    std::free(fraction);
    return 0;
}

char *addSepsInt64(int64_t value) {
    std::snprintf(int64Buf, sizeof int64Buf, "%lld", static_cast<long long>(value));
    addSeparators(int64Buf, sizeof int64Buf, ',', 3);
    return int64Buf;
}

char *addSepsUint64(uint64_t value) {
    std::snprintf(uint64Buf, sizeof uint64Buf, "%llu", static_cast<unsigned long long>(value));
    addSeparators(uint64Buf, sizeof uint64Buf, ',', 3);
    return uint64Buf;
}

char *addSepsDbl(double value, int places) {
    // Taken as unsigned, a negative count is out of range too.
    if (static_cast<unsigned>(places) <= static_cast<unsigned>(kMaxPlaces)) {
        std::snprintf(dblBuf, sizeof dblBuf, "%.*f", places, value);
        addSeparatorsDecimal(dblBuf, sizeof dblBuf, '.', ',', 3);
    } else {
        std::snprintf(dblBuf, sizeof dblBuf,
                      "\aaddSepsDbl's second argument must be 0 <= places <= 17 (it is %d).",
                      places);
    }
    return dblBuf;
}
