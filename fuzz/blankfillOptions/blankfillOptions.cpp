// Fuzz target for blankfill's command line. An input that starts with '='
// carries BLANKFILL_SPACING's value up to the first NUL byte, and the rest is
// the arguments (see commandLine.h); any other input is the arguments alone,
// with the variable unset. Checked: no crash or leak; the same command line
// read twice gives the same result; a run obeys the rules of the modes (the
// operands each mode takes, the options that need another, a spacing or a
// list of stops, never both); the variable counts only where neither -n nor
// -t is given, and only once the command line has passed its checks; and
// -n's spacing and -t's list against models written from the manual page's
// rules, on every argument's text, on the text after an "=" and on the
// variable's.
#include <getopt.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "commandLine.h"
#include "expandTabs.h"
#include "fuzzCheck.h"
#include "options.h"
#include "projectSettings.h"

namespace {

const std::string kLargest = "9223372036854775807";

// The value of a string of decimal digits, if it is no greater than the
// largest column counted; compared as text, so that no arithmetic of the
// model can overflow.
std::optional<int64_t> decimalWithinRange(std::string digits) {
    digits.erase(0, digits.find_first_not_of('0'));
    if (digits.size() > kLargest.size() || (digits.size() == kLargest.size() && digits > kLargest)) {
        return std::nullopt;
    }
    int64_t value = 0;
    for (char c : digits) value = value * 10 + (c - '0');
    return value;
}

struct Spacing {
    int64_t value;
    bool tooLarge;
};

// -n's number as atoi reads it: blanks (the C locale's), a sign, the digits
// up to the first other byte. Beyond the largest column a spacing is too
// large; a negative one that far out is the largest column's negative.
Spacing modelSpacing(const std::string &text) {
    std::size_t i = text.find_first_not_of(" \t\n\v\f\r");
    if (i == std::string::npos) i = text.size();
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    std::size_t digitsEnd = i;
    while (digitsEnd < text.size() && text[digitsEnd] >= '0' && text[digitsEnd] <= '9') ++digitsEnd;
    const std::optional<int64_t> value = decimalWithinRange(text.substr(i, digitsEnd - i));
    if (!value) return negative ? Spacing{-kMaxSpacing, false} : Spacing{kMaxSpacing, true};
    return {negative ? -*value : *value, false};
}

struct StopsModel {
    int64_t spacing = 0;
    std::vector<int64_t> stops;
    int64_t every = 0;
    bool fromLast = false;
};

bool isSeparator(char c) { return c == ',' || c == ' ' || c == '\t'; }

// -t's list: entries separated by runs of commas and blanks, each a number
// from 1 to the largest column, increasing; the last may be /N or +N. One
// plain number, or /N or +N alone, is a spacing.
std::optional<StopsModel> modelStops(const std::string &text) {
    std::vector<std::string> entries;
    for (std::size_t i = 0; i < text.size();) {
        if (isSeparator(text[i])) {
            ++i;
            continue;
        }
        std::size_t end = i;
        while (end < text.size() && !isSeparator(text[end])) ++end;
        entries.push_back(text.substr(i, end - i));
        i = end;
    }
    if (entries.empty()) return std::nullopt;
    StopsModel model;
    char marker = 0;
    for (std::size_t k = 0; k < entries.size(); ++k) {
        std::string digits = entries[k];
        const bool marked = digits[0] == '/' || digits[0] == '+';
        if (marked && k + 1 != entries.size()) return std::nullopt;
        if (marked) {
            marker = digits[0];
            digits.erase(0, 1);
        }
        if (digits.empty() || digits.find_first_not_of("0123456789") != std::string::npos) return std::nullopt;
        const std::optional<int64_t> value = decimalWithinRange(digits);
        if (!value || *value == 0) return std::nullopt;
        if (marked) {
            model.every = *value;
        } else {
            if (!model.stops.empty() && *value <= model.stops.back()) return std::nullopt;
            model.stops.push_back(*value);
        }
    }
    if (model.stops.size() <= 1 && (marker == 0 || model.stops.empty())) {
        model.spacing = model.stops.empty() ? model.every : model.stops[0];
        return StopsModel{model.spacing, {}, 0, false};
    }
    model.fromLast = marker == '+';
    return model;
}

void checkNumberParsers(const std::string &text) {
    bool tooLarge = true;
    const int64_t spacing = readSpacing(text.c_str(), &tooLarge);
    const Spacing expected = modelSpacing(text);
    FUZZ_CHECK(spacing == expected.value && tooLarge == expected.tooLarge);

    TabStops stops;
    int64_t listSpacing = -1;
    const char *reason = parseTabStops(text.c_str(), &stops, &listSpacing);
    const std::optional<StopsModel> model = modelStops(text);
    FUZZ_CHECK((reason == nullptr) == model.has_value());
    if (reason != nullptr) {
        FUZZ_CHECK(*reason != '\0' && stops.stops == nullptr && stops.count == 0 && listSpacing == 0);
    } else {
        FUZZ_CHECK(listSpacing == model->spacing && stops.count == model->stops.size());
        FUZZ_CHECK(stops.every == model->every && stops.fromLast == model->fromLast);
        for (std::size_t k = 0; k < stops.count; ++k) FUZZ_CHECK(stops.stops[k] == model->stops[k]);
    }
    std::free(stops.stops);
}

bool sameStops(const TabStops &a, const TabStops &b) {
    if (a.count != b.count || a.every != b.every || a.fromLast != b.fromLast) return false;
    if ((a.stops == nullptr) != (b.stops == nullptr)) return false;
    for (std::size_t k = 0; k < a.count; ++k) {
        if (a.stops[k] != b.stops[k]) return false;
    }
    return true;
}

// Every field but the spacing, which the variable may set.
bool sameApartFromSpacing(const ParsedOptions<Options> &a, const ParsedOptions<Options> &b) {
    const Options &x = a.options;
    const Options &y = b.options;
    return a.ending == b.ending && a.message == b.message && x.inPlace == y.inPlace &&
           x.preserveDates == y.preserveDates && x.leadingOnly == y.leadingOnly && x.verbose == y.verbose &&
           x.displayWidths == y.displayWidths && x.check == y.check && x.diff == y.diff &&
           x.editorConfig == y.editorConfig && sameStops(x.stops, y.stops) && x.firstOperand == y.firstOperand &&
           x.refusal == y.refusal;
}

bool sameResult(const ParsedOptions<Options> &a, const ParsedOptions<Options> &b) {
    return sameApartFromSpacing(a, b) && a.options.spacing == b.options.spacing;
}

// The rules that every run keeps.
void checkRun(const Options &o, int argc) {
    FUZZ_CHECK(o.firstOperand >= 1 && o.firstOperand <= argc);
    const int operands = argc - o.firstOperand;
    FUZZ_CHECK(o.inPlace + o.check + o.diff <= 1);
    if (o.inPlace || o.diff) FUZZ_CHECK(operands >= 1);
    if (!o.inPlace && !looking(o)) FUZZ_CHECK(operands <= 2);
    if (o.preserveDates) FUZZ_CHECK(o.inPlace);
    if (o.verbose || o.editorConfig) FUZZ_CHECK(o.inPlace || looking(o));
    if (o.editorConfig) FUZZ_CHECK(projectSettingsAvailable());
    FUZZ_CHECK(o.refusal == Refusal::usual);
    // A spacing or a list of stops: exactly one of them.
    FUZZ_CHECK((o.spacing == 0) == (o.stops.count > 0));
    if (o.stops.count == 0) {
        FUZZ_CHECK(o.spacing >= 1 && o.stops.stops == nullptr && o.stops.every == 0 && !o.stops.fromLast);
        return;
    }
    FUZZ_CHECK(o.stops.count >= 2 || o.stops.every > 0);  // a single number is a spacing
    FUZZ_CHECK(o.stops.every >= 0 && (!o.stops.fromLast || o.stops.every > 0));
    FUZZ_CHECK(o.stops.stops[0] >= 1);
    for (std::size_t k = 1; k < o.stops.count; ++k) FUZZ_CHECK(o.stops.stops[k] > o.stops.stops[k - 1]);
}

// The rules of every other ending.
void checkEnding(const ParsedOptions<Options> &parsed) {
    const Options &o = parsed.options;
    FUZZ_CHECK(o.stops.stops == nullptr && o.stops.count == 0);
    switch (parsed.ending) {
    case ParseEnding::run:
        break;
    case ParseEnding::help:
    case ParseEnding::banner:
        FUZZ_CHECK(parsed.message.empty() && o.refusal == Refusal::usual);
        break;
    case ParseEnding::misuse:
        FUZZ_CHECK(o.refusal == Refusal::usual || o.refusal == Refusal::variable);
        break;
    case ParseEnding::failure:
        FUZZ_CHECK(!parsed.message.empty() && (o.refusal == Refusal::usual || o.refusal == Refusal::bare));
        if (o.refusal == Refusal::bare) {
            FUZZ_CHECK(parsed.message == "option -p can be used only with option -i." ||
                       parsed.message == "option -V can be used only with option -i.");
        }
        break;
    }
}

ParsedOptions<Options> parse(CommandLine &line, const char *variable) {
    line.reset();
    return parseOptions(line.argc(), line.argv(), variable);
}

void release(ParsedOptions<Options> &parsed) { std::free(parsed.options.stops.stops); }

// The variable against the same command line without it (unset) and with
// "1" (which tells whether it is read at all).
void checkVariable(const ParsedOptions<Options> &withIt, const ParsedOptions<Options> &unset,
                   const ParsedOptions<Options> &one, const std::optional<std::string> &variable) {
    if (!unset.runs()) {
        // Refused before the variable is read.
        FUZZ_CHECK(sameResult(withIt, unset) && sameResult(one, unset));
        return;
    }
    FUZZ_CHECK(sameApartFromSpacing(one, unset));
    const bool read = one.options.spacing != unset.options.spacing;
    if (read) FUZZ_CHECK(unset.options.spacing == kDefaultSpacing && one.options.spacing == 1);
    if (!read || !variable || variable->empty()) {
        FUZZ_CHECK(sameResult(withIt, unset));
        return;
    }
    const Spacing expected = modelSpacing(*variable);
    if (expected.value >= 1 && !expected.tooLarge) {
        FUZZ_CHECK(sameApartFromSpacing(withIt, unset) && withIt.options.spacing == expected.value);
        return;
    }
    // Refused, after the command line's checks: main still needs -u's answer.
    FUZZ_CHECK(withIt.ending == ParseEnding::misuse && withIt.options.refusal == Refusal::variable);
    FUZZ_CHECK(withIt.options.displayWidths == unset.options.displayWidths);
    const std::string quoted = expected.tooLarge ? "\"" + *variable + "\"" : std::to_string(expected.value);
    FUZZ_CHECK(withIt.message.rfind("Cannot set tab spacing to " + quoted + ".", 0) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size) {
    opterr = 0;  // getopt's complaints would only fill the log
    std::optional<std::string> variable;
    if (size > 0 && data[0] == '=') {
        const void *nul = std::memchr(data, '\0', size);
        const std::size_t length = nul != nullptr ? std::size_t(static_cast<const uint8_t *>(nul) - data) : size;
        variable = std::string(reinterpret_cast<const char *>(data) + 1, length - 1);
        // The arguments start after the NUL that ends the variable.
        const std::size_t skipped = length < size ? length + 1 : size;
        data += skipped;
        size -= skipped;
        checkNumberParsers(*variable);
    }
    CommandLine line("blankfill", data, size);
    for (const std::string &text : line.texts()) {
        checkNumberParsers(text);
        const std::size_t equals = text.find('=');
        if (equals != std::string::npos) checkNumberParsers(text.substr(equals + 1));
    }

    const char *value = variable ? variable->c_str() : nullptr;
    ParsedOptions<Options> first = parse(line, value);
    ParsedOptions<Options> second = parse(line, value);
    FUZZ_CHECK(sameResult(first, second));
    if (first.runs()) {
        checkRun(first.options, line.argc());
    } else {
        checkEnding(first);
    }

    ParsedOptions<Options> unset = parse(line, nullptr);
    ParsedOptions<Options> one = parse(line, "1");
    checkVariable(first, unset, one, variable);
    for (ParsedOptions<Options> *parsed : {&first, &second, &unset, &one}) release(*parsed);
    return 0;
}
