// Fuzz target for morphPhrase's command line: the bytes are the arguments
// (see commandLine.h). Checked: no crash; the same command line read twice
// gives the same result (nothing of a previous scan leaks into the next);
// a run has a phrase or -s, never both; and each number parser against a
// model written from its documented rules, on every argument's text and on
// the text after an "=".
#include <getopt.h>

#include <cstdint>
#include <cstring>
#include <optional>
#include <string>

#include "commandLine.h"
#include "fuzzCheck.h"
#include "options.h"

namespace {

std::optional<uint64_t> modelSeed(const std::string &text) {
    if (text.empty()) return std::nullopt;
    uint64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        const auto digit = static_cast<uint64_t>(c - '0');
        if (value > (UINT64_MAX - digit) / 10) return std::nullopt;
        value = value * 10 + digit;
    }
    return value;
}

// strtoll's reading: blanks, a sign, the digits up to the first other byte.
std::optional<int64_t> modelUpdatePeriod(const std::string &text) {
    std::size_t i = 0;
    while (i < text.size() && std::strchr(" \t\n\v\f\r", text[i]) != nullptr && text[i] != '\0') ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    if (negative) return std::nullopt;  // below 1 whenever it is a number at all (or out of range)
    uint64_t value = 0;
    bool any = false;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        any = true;
        const auto digit = static_cast<uint64_t>(text[i] - '0');
        if (value > (uint64_t{INT64_MAX} - digit) / 10) return std::nullopt;
        value = value * 10 + digit;
    }
    if (!any || value < 1) return std::nullopt;
    return static_cast<int64_t>(value);
}

void checkNumberParsers(const std::string &text) {
    uint64_t seed = 0;
    const std::optional<uint64_t> expectedSeed = modelSeed(text);
    FUZZ_CHECK(parseSeed(text.c_str(), &seed) == expectedSeed.has_value());
    if (expectedSeed) FUZZ_CHECK(seed == *expectedSeed);

    int64_t period = 0;
    const std::optional<int64_t> expectedPeriod = modelUpdatePeriod(text);
    FUZZ_CHECK(parseUpdatePeriod(text.c_str(), &period) == expectedPeriod.has_value());
    if (expectedPeriod) FUZZ_CHECK(period == *expectedPeriod);
}

bool sameResult(const ParsedOptions<Options> &a, const ParsedOptions<Options> &b) {
    return a.ending == b.ending && a.message == b.message && a.options.updatePeriod == b.options.updatePeriod &&
           a.options.fromStdin == b.options.fromStdin && a.options.seeded == b.options.seeded &&
           a.options.seed == b.options.seed && a.options.firstWord == b.options.firstWord;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size) {
    opterr = 0;  // getopt's complaints would only fill the log
    CommandLine line("morphPhrase", data, size);
    line.forEachValueText(checkNumberParsers);

    const ParsedOptions<Options> first = parseOptions(line.argc(), line.argv());
    line.reset();
    const ParsedOptions<Options> second = parseOptions(line.argc(), line.argv());
    FUZZ_CHECK(sameResult(first, second));

    if (first.runs()) {
        const Options &o = first.options;
        FUZZ_CHECK(o.firstWord >= 1 && o.firstWord <= line.argc());
        FUZZ_CHECK(o.fromStdin == (o.firstWord == line.argc()));
        FUZZ_CHECK(o.updatePeriod >= 0);
    } else if (first.ending == ParseEnding::misuse) {
        // Every refusal of a number quotes the number's text.
        FUZZ_CHECK(first.message.empty() || first.message.find('"') != std::string::npos ||
                   first.message == "Either a phrase OR option -s must be provided.");
    }
    return 0;
}
