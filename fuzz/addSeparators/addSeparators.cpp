// Fuzz target for digit grouping. The first bytes choose the group size, the
// separator and the decimal point; the rest (up to its first NUL) is the
// text. addSeparators and addSeparatorsDecimal run on every buffer size from
// the size query up to one past the size needed, each time in a heap block
// of exactly that size (or of the text's own size when the size given is
// smaller than that), and must give what a plain model of the grouping rules
// gives: the grouped text, or -1 with errno and the text untouched. The
// convenience routines format the input's first bytes taken as numbers.
#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "addSeparators.h"
#include "fuzzCheck.h"

namespace {

struct Outcome {
    int64_t result;
    int error;          // errno when result is -1
    std::string text;   // the text after the call
};

// Groups of `group` characters counted from the right.
std::string grouped(const std::string &digits, char separator, size_t group) {
    std::string out;
    for (size_t i = 0; i < digits.size(); ++i) {
        if (i > 0 && (digits.size() - i) % group == 0) out += separator;
        out += digits[i];
    }
    return out;
}

Outcome modelInteger(const std::string &text, size_t size, char separator, int groupSize) {
    if (groupSize <= 0) return {-1, EINVAL, text};
    const size_t sign = !text.empty() && (text[0] == '-' || text[0] == '+') ? 1 : 0;
    const std::string digits = text.substr(sign);
    const size_t n = digits.size();
    const size_t group = static_cast<size_t>(groupSize);
    const size_t groupedLength = n == 0 ? 0 : n + (n - 1) / group;
    // The sign takes one byte of the buffer, leaving no less than 0.
    const size_t room = sign && size > 0 ? size - 1 : size;
    if (room == 0) return {static_cast<int64_t>(groupedLength + 1 + sign), 0, text};
    if (n < 2) return {0, 0, text};
    if (groupedLength >= room) return {-1, ENOMEM, text};
    return {0, 0, text.substr(0, sign) + grouped(digits, separator, group)};
}

Outcome modelDecimal(const std::string &text, size_t size, char point, char separator,
                     int groupSize) {
    if (groupSize <= 0) return {-1, EINVAL, text};
    const size_t at = text.find(point);
    if (at == std::string::npos) return modelInteger(text, size, separator, groupSize);
    const std::string integer = text.substr(0, at);
    const std::string fraction = text.substr(at);
    if (size == 0) {
        Outcome query = modelInteger(integer, 0, separator, groupSize);
        return {query.result + static_cast<int64_t>(fraction.size()), 0, text};
    }
    // A size that cannot have held the text leaves no room for its grouping.
    if (size <= text.size()) return {-1, ENOMEM, text};
    Outcome part = modelInteger(integer, size - fraction.size(), separator, groupSize);
    if (part.result != 0 || part.text.size() + fraction.size() >= size)
        return {-1, ENOMEM, text};
    return {0, 0, part.text + fraction};
}

// Runs one call on a heap block holding the text, of `size` bytes or the
// text's own size if that is larger, and checks it against the model.
template <typename Call>
void checkCall(const std::string &text, size_t size, const Outcome &expected, Call call) {
    const size_t blockSize = std::max(size, text.size() + 1);
    char *block = static_cast<char *>(std::malloc(blockSize));
    std::memcpy(block, text.c_str(), text.size() + 1);
    errno = 0;
    const int64_t result = call(block, size);
    FUZZ_CHECK(result == expected.result);
    if (result == -1) FUZZ_CHECK(errno == expected.error);
    // Compared as bytes, terminator included: a separator may be any byte.
    FUZZ_CHECK(expected.text.size() < blockSize);
    FUZZ_CHECK(std::memcmp(block, expected.text.c_str(), expected.text.size() + 1) == 0);
    std::free(block);
}

void checkGrouping(const std::string &text, char separator, char point, int groupSize) {
    const Outcome integerQuery = modelInteger(text, 0, separator, groupSize);
    const size_t integerLast = integerQuery.result > 0 ? static_cast<size_t>(integerQuery.result) + 1 : 1;
    for (size_t size = 0; size <= integerLast; ++size) {
        checkCall(text, size, modelInteger(text, size, separator, groupSize),
                  [&](char *block, size_t s) {
                      return addSeparators(block, s, static_cast<unsigned char>(separator),
                                           groupSize);
                  });
    }
    const Outcome decimalQuery = modelDecimal(text, 0, point, separator, groupSize);
    const size_t decimalLast = decimalQuery.result > 0 ? static_cast<size_t>(decimalQuery.result) + 1 : 1;
    for (size_t size = 0; size <= decimalLast; ++size) {
        checkCall(text, size, modelDecimal(text, size, point, separator, groupSize),
                  [&](char *block, size_t s) {
                      return static_cast<int64_t>(addSeparatorsDecimal(
                          block, s, static_cast<unsigned char>(point),
                          static_cast<unsigned char>(separator), groupSize));
                  });
    }
    FUZZ_CHECK(addSeparators(nullptr, 10, ',', 3) == -1 && errno == EINVAL);
    FUZZ_CHECK(addSeparatorsDecimal(nullptr, 10, '.', ',', 3) == -1 && errno == EINVAL);
}

// The convenience routines group with ',' in threes what printf gives.
void checkConvenience(const uint8_t *data, size_t size) {
    unsigned char bytes[8] = {};
    std::memcpy(bytes, data, std::min(size, sizeof bytes));
    int64_t signedValue;
    uint64_t unsignedValue;
    double doubleValue;
    std::memcpy(&signedValue, bytes, 8);
    std::memcpy(&unsignedValue, bytes, 8);
    std::memcpy(&doubleValue, bytes, 8);
    char text[512];

    std::snprintf(text, sizeof text, "%lld", static_cast<long long>(signedValue));
    FUZZ_CHECK(modelInteger(text, 27, ',', 3).text == addSepsInt64(signedValue));
    std::snprintf(text, sizeof text, "%llu", static_cast<unsigned long long>(unsignedValue));
    FUZZ_CHECK(modelInteger(text, 27, ',', 3).text == addSepsUint64(unsignedValue));

    // Places from -2 to 18, so that both ends of the range are crossed.
    const int places = size > 8 ? data[8] % 21 - 2 : 2;
    if (places >= 0 && places <= 17) {
        std::snprintf(text, sizeof text, "%.*f", places, doubleValue);
        const Outcome expected = modelDecimal(text, 450, '.', ',', 3);
        FUZZ_CHECK(expected.result == 0);
        FUZZ_CHECK(expected.text == addSepsDbl(doubleValue, places));
    } else {
        std::snprintf(text, sizeof text,
                      "\aaddSepsDbl's second argument must be 0 <= places <= 17 (it is %d).",
                      places);
        FUZZ_CHECK(std::string(text) == addSepsDbl(doubleValue, places));
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    checkConvenience(data, size);
    if (size < 3) return 0;
    // Group sizes from -2 to 253: the refusals of 0 and below, the usual 3,
    // and groups longer than any text.
    const int groupSize = data[0] - 2;
    // A NUL as separator or point would end the text it is written into.
    const char separator = static_cast<char>(data[1] != 0 ? data[1] : ',');
    const char point = static_cast<char>(data[2] != 0 ? data[2] : '.');
    // Texts of up to 300 characters keep the size-by-size runs quick.
    const char *text = reinterpret_cast<const char *>(data + 3);
    const size_t length = strnlen(text, std::min<size_t>(size - 3, 300));
    checkGrouping(std::string(text, length), separator, point, groupSize);
    return 0;
}
