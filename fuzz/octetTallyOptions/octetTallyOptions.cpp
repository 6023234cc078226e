// Fuzz target for octetTally's command line: the bytes are the arguments
// (see commandLine.h). Checked: no crash; the same command line read twice
// gives the same result (nothing of a previous scan leaks into the next);
// the rules a run's options keep (sizes and thresholds in range, options
// that cannot go together apart, the file names last); a refusal's form;
// and each number parser against a model written from its documented
// rules, on every argument's text and on the text after an "=".
#include <algorithm>
#include <cfloat>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>

#include "commandLine.h"
#include "fuzzCheck.h"
#include "options.h"

namespace {

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// Decimal digits, then K, M or G for 2^10, 2^20, 2^30; at most 2^63 - 1.
// The bound is checked on the digits as text, against the largest number
// that the suffix allows.
std::optional<std::int64_t> modelSize(const std::string &text) {
    std::size_t digits = 0;
    while (digits < text.size() && isDigit(text[digits])) ++digits;
    if (digits == 0) return std::nullopt;
    const std::string suffix = text.substr(digits);
    int shift = 0;
    if (suffix == "K") {
        shift = 10;
    } else if (suffix == "M") {
        shift = 20;
    } else if (suffix == "G") {
        shift = 30;
    } else if (!suffix.empty()) {
        return std::nullopt;
    }
    std::string number = text.substr(0, digits);
    number.erase(0, std::min(number.find_first_not_of('0'), number.size()));
    const std::string largest = std::to_string(INT64_MAX >> shift);
    if (number.size() > largest.size() || (number.size() == largest.size() && number > largest)) {
        return std::nullopt;
    }
    std::int64_t value = 0;
    for (char c : number) value = value * 10 + (c - '0');
    return value * (std::int64_t{1} << shift);
}

bool isHexDigit(char c) { return isDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

// From `i` on: digits of the kind, a point and more of them, with at least
// one digit in all; then, where the rest is not empty, the exponent letter,
// a sign and decimal digits up to the end.
bool numberToEnd(const std::string &t, std::size_t i, bool (*digit)(char), const char *exponentLetters) {
    std::size_t count = 0;
    for (; i < t.size() && digit(t[i]); ++i) ++count;
    if (i < t.size() && t[i] == '.') {
        for (++i; i < t.size() && digit(t[i]); ++i) ++count;
    }
    if (count == 0) return false;
    if (i == t.size()) return true;
    if (std::strchr(exponentLetters, t[i]) == nullptr) return false;
    ++i;
    if (i < t.size() && (t[i] == '+' || t[i] == '-')) ++i;
    if (i == t.size()) return false;
    for (; i < t.size(); ++i) {
        if (!isDigit(t[i])) return false;
    }
    return true;
}

// A threshold's form: the whole text is one number in the C library's
// floating forms, beginning with a digit or a point (so no blanks, sign,
// infinity or nan): decimal with an e exponent, or hexadecimal after 0x
// with a p exponent.
bool thresholdForm(const std::string &t) {
    if (t.empty() || !(isDigit(t[0]) || t[0] == '.')) return false;
    if (t.size() >= 2 && t[0] == '0' && (t[1] == 'x' || t[1] == 'X')) return numberToEnd(t, 2, isHexDigit, "pP");
    return numberToEnd(t, 0, isDigit, "eE");
}

enum class Verdict { refused, accepted, either };

// A threshold: its form, then 0 to 8 once rounded to the nearest double
// (which the C library's conversion gives). A number below the smallest
// normal double may be reported as out of range or not (the library says so
// only when the rounding lost something), so either answer is right there.
Verdict modelBits(const std::string &text, double *value) {
    if (!thresholdForm(text)) return Verdict::refused;
    *value = std::strtod(text.c_str(), nullptr);
    const bool hex = text.size() >= 2 && (text[1] == 'x' || text[1] == 'X');
    const std::size_t start = hex ? 2 : 0;
    const std::size_t exponent = std::min(text.find_first_of(hex ? "pP" : "eE"), text.size());
    const std::string mantissa = text.substr(start, exponent - start);
    const bool zeroDigits = mantissa.find_first_not_of("0.") == std::string::npos;
    if ((*value == 0.0 && !zeroDigits) || (*value > 0.0 && *value < DBL_MIN)) return Verdict::either;
    return *value >= 0.0 && *value <= 8.0 ? Verdict::accepted : Verdict::refused;
}

void checkNumberParsers(const std::string &text) {
    std::int64_t size = -7;
    const std::optional<std::int64_t> expectedSize = modelSize(text);
    FUZZ_CHECK(parseSize(text.c_str(), &size) == expectedSize.has_value());
    FUZZ_CHECK(expectedSize ? size == *expectedSize : size == -7);

    double bits = -1.0;
    double expectedBits = -2.0;
    const Verdict verdict = modelBits(text, &expectedBits);
    const bool taken = parseBits(text.c_str(), &bits);
    if (verdict != Verdict::either) FUZZ_CHECK(taken == (verdict == Verdict::accepted));
    FUZZ_CHECK(taken ? bits == expectedBits : bits == -1.0);
}

bool sameOptions(const Options &a, const Options &b) {
    return a.numericOrder == b.numericOrder && a.statistics == b.statistics && a.plainTable == b.plainTable &&
           a.map == b.map && a.json == b.json && a.blockSize == b.blockSize && a.offset == b.offset &&
           a.length == b.length && a.rising == b.rising && a.falling == b.falling && a.inName == b.inName &&
           a.outName == b.outName;
}

bool sameResult(const ParsedOptions<Options> &a, const ParsedOptions<Options> &b) {
    return a.ending == b.ending && a.message == b.message && sameOptions(a.options, b.options);
}

// A run's options keep the rules the scan enforces.
void checkRun(const Options &o, CommandLine &line) {
    FUZZ_CHECK(o.blockSize == 0 || o.blockSize >= 64);
    FUZZ_CHECK(o.offset >= 0 && o.length >= -1);
    FUZZ_CHECK(o.falling >= 0.0 && o.falling <= o.rising && o.rising <= 8.0);
    FUZZ_CHECK(!(o.plainTable && (o.statistics || o.map || o.json)));
    FUZZ_CHECK(!(o.json && o.map));
    // The file names are the last arguments: the output after the input.
    char **argv = line.argv();
    const int argc = line.argc();
    FUZZ_CHECK(o.outName == nullptr || o.inName != nullptr);
    if (o.inName == nullptr) return;
    const int in = o.outName != nullptr ? argc - 2 : argc - 1;
    FUZZ_CHECK(in >= 1 && o.inName == argv[in]);
    FUZZ_CHECK(o.outName == nullptr || o.outName == argv[in + 1]);
    // A name that looks like an option comes after "--" (or is "-").
    if (o.inName[0] == '-' && o.inName[1] != '\0') FUZZ_CHECK(std::strcmp(argv[in - 1], "--") == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size) {
    CommandLine line("octetTally", data, size);
    line.forEachValueText(checkNumberParsers);

    const ParsedOptions<Options> first = parseOptions(line.argc(), line.argv());
    line.reset();
    const ParsedOptions<Options> second = parseOptions(line.argc(), line.argv());
    FUZZ_CHECK(sameResult(first, second));

    switch (first.ending) {
    case ParseEnding::run:
        FUZZ_CHECK(first.message.empty());
        checkRun(first.options, line);
        break;
    case ParseEnding::failure:
        // Only an unknown letter is refused without the hint.
        FUZZ_CHECK(first.message.size() == 17 && first.message.rfind("Unknown option -", 0) == 0);
        FUZZ_CHECK(sameOptions(first.options, Options{}));
        break;
    case ParseEnding::misuse:
        FUZZ_CHECK(!first.message.empty() && first.message.rfind("Unknown option", 0) != 0);
        FUZZ_CHECK(sameOptions(first.options, Options{}));
        break;
    case ParseEnding::help:
    case ParseEnding::banner:
        FUZZ_CHECK(first.message.empty() && sameOptions(first.options, Options{}));
        break;
    }
    return 0;
}
