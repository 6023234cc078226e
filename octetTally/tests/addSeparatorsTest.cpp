// Digit grouping: the in-place routines at their size boundaries, against a
// simple left-to-right grouping, and the convenience routines at the
// extremes of their types.
#include <cerrno>
#include <cfloat>
#include <cstdint>
#include <cstdio>
#include <algorithm>
#include <cstring>
#include <random>
#include <string>

#include <gtest/gtest.h>

#include "addSeparators.h"

namespace {

constexpr size_t bufLen = 64;
constexpr char fill = 'X';

struct Case {
    const char *text;
    size_t size;
    int separator;
    int group;
    int64_t result;
    int err;  // errno expected after a -1 result
    const char *after;
};

// A grouping written independently of the library: digits copied left to
// right with a separator before every group that ends a multiple of `group`
// characters from the right.
std::string oracle(const std::string &text, char separator, size_t group, char point = 0) {
    size_t start = (!text.empty() && (text[0] == '-' || text[0] == '+')) ? 1 : 0;
    size_t end = point ? text.find(point) : std::string::npos;
    if (end == std::string::npos) end = text.size();
    std::string out = text.substr(0, start);
    for (size_t i = start; i < end; ++i) {
        if (i > start && (end - i) % group == 0) out += separator;
        out += text[i];
    }
    return out + text.substr(end);
}

// Runs a case in a buffer filled past the text, so that a write beyond the
// stated size shows up.
void expectCase(const Case &c, bool decimal, int point = '.') {
    char buf[bufLen];
    std::memset(buf, fill, sizeof buf);
    std::strcpy(buf, c.text);
    errno = 0;
    int64_t result = decimal ? addSeparatorsDecimal(buf, c.size, point, c.separator, c.group)
                             : addSeparators(buf, c.size, c.separator, c.group);
    std::string label = std::string(c.text) + " size " + std::to_string(c.size) + " group " +
                        std::to_string(c.group);
    EXPECT_EQ(result, c.result) << label;
    if (c.result == -1) {
        EXPECT_EQ(errno, c.err) << label;
    }
    EXPECT_STREQ(buf, c.after) << label;
    size_t used = std::max(c.size, std::strlen(c.text) + 1);
    for (size_t i = used; i < bufLen; ++i) ASSERT_EQ(buf[i], fill) << label << " byte " << i;
}

TEST(AddSeparators, Table) {
    const Case cases[] = {
        // Fits exactly, one byte short, size query.
        {"1234567", 10, ',', 3, 0, 0, "1,234,567"},
        {"1234567", 9, ',', 3, -1, ENOMEM, "1234567"},
        {"1234567", 0, ',', 3, 10, 0, "1234567"},
        {"1234567", 64, ',', 3, 0, 0, "1,234,567"},
        // A sign keeps its place and takes one byte of the buffer.
        {"-1234", 7, ',', 3, 0, 0, "-1,234"},
        {"-1234", 6, ',', 3, -1, ENOMEM, "-1234"},
        {"-1234", 0, ',', 3, 7, 0, "-1234"},
        {"-1234", 1, ',', 3, 7, 0, "-1234"},
        {"+1234567", 11, ',', 3, 0, 0, "+1,234,567"},
        {"-", 0, ',', 3, 2, 0, "-"},
        {"-", 2, ',', 3, 0, 0, "-"},
        // No leading separator; short texts are left alone.
        {"123456", 8, ',', 3, 0, 0, "123,456"},
        {"123", 4, ',', 3, 0, 0, "123"},
        {"1234", 6, ',', 3, 0, 0, "1,234"},
        {"12", 3, ',', 3, 0, 0, "12"},
        {"1", 2, ',', 3, 0, 0, "1"},
        {"", 1, ',', 3, 0, 0, ""},
        {"", 0, ',', 3, 1, 0, ""},
        {"1", 0, ',', 3, 2, 0, "1"},
        {"-1", 3, ',', 3, 0, 0, "-1"},
        // Other separators and group sizes; every character counts as a digit.
        {"1234", 8, '.', 1, 0, 0, "1.2.3.4"},
        {"1234", 7, '.', 1, -1, ENOMEM, "1234"},
        {"1234", 0, '.', 1, 8, 0, "1234"},
        {"12345", 8, ' ', 2, 0, 0, "1 23 45"},
        {"abcdefg", 16, '_', 4, 0, 0, "abc_defg"},
        {"12345678", 9, ',', 4, -1, ENOMEM, "12345678"},
        {"12345678", 10, ',', 4, 0, 0, "1234,5678"},
        {"1234", 5, ',', 100, 0, 0, "1234"},
        // Unusable arguments.
        {"1234", 10, ',', 0, -1, EINVAL, "1234"},
        {"1234", 10, ',', -3, -1, EINVAL, "1234"},
    };
    for (const Case &c : cases) expectCase(c, false);
}

TEST(AddSeparators, NullTextIsInvalid) {
    errno = 0;
    EXPECT_EQ(addSeparators(nullptr, 10, ',', 3), -1);
    EXPECT_EQ(errno, EINVAL);
    errno = 0;
    EXPECT_EQ(addSeparatorsDecimal(nullptr, 10, '.', ',', 3), -1);
    EXPECT_EQ(errno, EINVAL);
}

TEST(AddSeparators, AgreesWithSimpleGroupingAtEveryLength) {
    std::mt19937 gen(4242);
    for (size_t len = 0; len <= 40; ++len) {
        for (int group = 1; group <= 6; ++group) {
            for (const char *sign : {"", "-", "+"}) {
                std::string text = sign;
                for (size_t i = 0; i < len; ++i) text += static_cast<char>('0' + gen() % 10);
                std::string want = oracle(text, ',', static_cast<size_t>(group));
                std::string buf = text;
                buf += '\0';
                buf.resize(128, fill);
                EXPECT_EQ(addSeparators(buf.data(), 0, ',', group),
                          static_cast<int64_t>(want.size() + 1))
                    << text << " group " << group;
                // One byte short fails unless the text is left as it was anyway.
                if (len >= 2 && want.size() > text.size()) {
                    EXPECT_EQ(addSeparators(buf.data(), want.size(), ',', group), -1) << text;
                    EXPECT_STREQ(buf.c_str(), text.c_str());
                }
                EXPECT_EQ(addSeparators(buf.data(), want.size() + 1, ',', group), 0) << text;
                EXPECT_STREQ(buf.c_str(), want.c_str()) << text << " group " << group;
            }
        }
    }
}

TEST(AddSeparatorsDecimal, Table) {
    const Case cases[] = {
        {"1234567.891", 20, ',', 3, 0, 0, "1,234,567.891"},
        {"1234567.891", 14, ',', 3, 0, 0, "1,234,567.891"},
        {"1234567.891", 13, ',', 3, -1, ENOMEM, "1234567.891"},
        {"1234567.891", 0, ',', 3, 14, 0, "1234567.891"},
        {"-1234.5", 9, ',', 3, 0, 0, "-1,234.5"},
        {"-1234.5", 8, ',', 3, -1, ENOMEM, "-1234.5"},
        {"-1234.5", 0, ',', 3, 9, 0, "-1234.5"},
        // The fraction is never grouped, and only the first point counts.
        {"12.345678", 16, ',', 3, 0, 0, "12.345678"},
        {"1234.5678.9", 16, ',', 2, 0, 0, "12,34.5678.9"},
        {".5", 3, ',', 3, 0, 0, ".5"},
        {".5", 0, ',', 3, 3, 0, ".5"},
        {"1234.", 7, ',', 3, 0, 0, "1,234."},
        // Without a point it is addSeparators.
        {"1234567", 10, ',', 3, 0, 0, "1,234,567"},
        {"1234567", 9, ',', 3, -1, ENOMEM, "1234567"},
        {"1234567", 0, ',', 3, 10, 0, "1234567"},
        // A buffer smaller than the fraction is refused, not wrapped round.
        {"1.2345", 3, ',', 3, -1, ENOMEM, "1.2345"},
        {"1234.5", 10, ',', 0, -1, EINVAL, "1234.5"},
    };
    for (const Case &c : cases) expectCase(c, true);
    const Case comma[] = {
        {"1234567,25", 16, '.', 3, 0, 0, "1.234.567,25"},
    };
    for (const Case &c : comma) expectCase(c, true, ',');
}

TEST(AddSepsInt64, ExtremesAndThousands) {
    const std::pair<int64_t, const char *> cases[] = {
        {INT64_MIN, "-9,223,372,036,854,775,808"},
        {INT64_MAX, "9,223,372,036,854,775,807"},
        {0, "0"},
        {999, "999"},
        {1000, "1,000"},
        {-999, "-999"},
        {-1000, "-1,000"},
        {1234567, "1,234,567"},
        {100000, "100,000"},
    };
    for (auto [value, want] : cases) EXPECT_STREQ(addSepsInt64(value), want) << value;
}

TEST(AddSepsUint64, ExtremesAndThousands) {
    const std::pair<uint64_t, const char *> cases[] = {
        {UINT64_MAX, "18,446,744,073,709,551,615"},
        {0, "0"},
        {999, "999"},
        {1000, "1,000"},
        {1000000, "1,000,000"},
    };
    for (auto [value, want] : cases) EXPECT_STREQ(addSepsUint64(value), want) << value;
}

TEST(AddSepsStatic, EachRoutineReusesItsOwnBuffer) {
    char *first = addSepsInt64(1000);
    char *unsignedOne = addSepsUint64(2000);
    EXPECT_EQ(addSepsInt64(5), first);
    EXPECT_STREQ(first, "5");
    EXPECT_STREQ(unsignedOne, "2,000");
    EXPECT_NE(addSepsDbl(1.0, 1), first);
}

TEST(AddSepsDbl, PlacesInAndOutOfRange) {
    const struct {
        double value;
        int places;
        const char *want;
    } cases[] = {
        {1234.5, 2, "1,234.50"},
        {0.0, 0, "0"},
        {999.0, 0, "999"},
        {1000.0, 0, "1,000"},
        {-1234567.5, 1, "-1,234,567.5"},
        {1.0, 17, "1.00000000000000000"},
        {1e6, 17, "1,000,000.00000000000000000"},
        {1234.5, 18, "\aaddSepsDbl's second argument must be 0 <= places <= 17 (it is 18)."},
        {1234.5, -1, "\aaddSepsDbl's second argument must be 0 <= places <= 17 (it is -1)."},
    };
    for (const auto &c : cases) EXPECT_STREQ(addSepsDbl(c.value, c.places), c.want) << c.places;
}

TEST(AddSepsDbl, LargestDoublesFitGrouped) {
    for (double value : {DBL_MAX, -DBL_MAX}) {
        char plain[400];
        std::snprintf(plain, sizeof plain, "%.17f", value);
        std::string want = oracle(plain, ',', 3, '.');
        EXPECT_STREQ(addSepsDbl(value, 17), want.c_str());
        EXPECT_GT(want.size(), 420u);
    }
}

}  // namespace
