// Fuzz target for lapwatch's command line: the bytes are the arguments (see
// commandLine.h). Checked: no crash; the same command line read twice gives
// the same result (nothing of a previous scan leaks into the next); a run's
// values in their ranges, pointing into the arguments before the command;
// each number parser against a model written from its documented rules, on
// every argument's text, the text after an "=" and after an option letter;
// and the whole reading against a model of the scan: options end at the
// first operand or "--", "--json"/"--csv" are taken whole, any other "--word"
// is the help, and the first mistake met is the one reported.
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "commandLine.h"
#include "fuzzCheck.h"
#include "options.h"

namespace {

// The manual's bounds: -n 1 to 1000000, -w 0 to 1000000, -t above 0 and at
// most 1000000 seconds.
constexpr long kMostRuns = 1000000;
constexpr double kMostSeconds = 1000000;

std::optional<long> modelRunCount(const std::string &text, long least) {
    if (text.empty()) return std::nullopt;
    long value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + (c - '0');
        if (value > kMostRuns) return std::nullopt;
    }
    if (value < least) return std::nullopt;
    return value;
}

// What the time-limit model says: a refusal, an acceptance (with the value
// to within rounding), or "either" where the number lies so close to a bound
// that only the exact conversion can tell.
enum class Verdict { refused, accepted, either };
struct Limit {
    Verdict verdict = Verdict::refused;
    double approximate = 0;  // for an acceptance outside the smallest numbers; else 0
};

int digitValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The size rules for a decimal number whose leading significant digit is
// worth 10^lead: above 0 (the smallest double is about 4.9e-324, and half of
// it rounds to 0) and at most 1000000 (within 5.8e-11 above it, the nearest
// double is 1000000 itself).
Limit decimalSize(const std::string &leading, bool truncated, long long lead) {
    if (lead > 6 || lead <= -325) return {};
    if (lead == -324) return {Verdict::either, 0};
    if (lead == 6) {
        if (leading[0] > 1) return {};
        for (std::size_t k = 1; k < leading.size(); ++k) {
            if (leading[k] != 0) return k <= 16 ? Limit{} : Limit{Verdict::either, 0};
        }
        if (truncated) return {Verdict::either, 0};
    }
    double mantissa = 0, scale = 1;
    for (std::size_t k = 0; k < leading.size() && k < 17; ++k, scale /= 10) mantissa += leading[k] * scale;
    return {Verdict::accepted, lead >= -300 ? mantissa * std::pow(10.0, double(lead)) : 0};
}

// The same for a hexadecimal number, 0.DDD... times 16^pointPower times
// 2^exponent: 2^20 is past 1000000, and 2^-1075 rounds to 0.
Limit hexadecimalSize(const std::string &leading, bool truncated, long long pointPower, long long exponent) {
    const int first = leading[0];
    const long long lead = 4 * (pointPower - 1) + exponent + (first >= 8 ? 3 : first >= 4 ? 2 : first >= 2 ? 1 : 0);
    if (lead >= 20 || lead <= -1076) return {};
    if (lead == -1075) return {Verdict::either, 0};
    // Thirteen hexadecimal digits are 52 bits: exact in a double.
    double mantissa = 0, scale = 1;
    for (std::size_t k = 0; k < leading.size(); ++k, scale /= 16) {
        if (k < 13) {
            mantissa += leading[k] * scale;
        } else if (leading[k] != 0) {
            truncated = true;
        }
    }
    const double approximate = lead >= -1000 ? std::ldexp(mantissa, int(4 * (pointPower - 1) + exponent)) : 0;
    if (lead == 19 && truncated && std::fabs(approximate - kMostSeconds) <= kMostSeconds * 1e-12) {
        return {Verdict::either, 0};
    }
    if (approximate > kMostSeconds) return {};
    return {Verdict::accepted, approximate};
}

// A number as strtod reads one in the "C" locale, decimal ("12.5e-3") or
// hexadecimal ("0x1.8p3"): digits with at most one point, at least one of
// them, and an optional exponent (e, or p for hexadecimal) with an optional
// sign and at least one digit; it must start with a digit or a point and
// fill the whole text. Then its size: above 0 and at most 1000000.
Limit modelTimeLimit(const std::string &text) {
    if (text.empty() || !((text[0] >= '0' && text[0] <= '9') || text[0] == '.')) return {};
    const bool hex = text.size() >= 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    const int base = hex ? 16 : 10;
    std::size_t i = hex ? 2 : 0;
    long long digitsBeforePoint = 0, position = 0, firstSignificant = -1;
    std::string leading;    // the first significant digits, as many as a double holds and a few more
    bool truncated = false;  // a non-zero digit after them
    bool point = false;
    for (; i < text.size(); ++i) {
        if (text[i] == '.' && !point) {
            point = true;
            continue;
        }
        const int d = digitValue(text[i]);
        if (d < 0 || d >= base) break;
        if (!point) ++digitsBeforePoint;
        if (d != 0 && firstSignificant < 0) firstSignificant = position;
        if (firstSignificant >= 0 && leading.size() < 20) {
            leading.push_back(char(d));
        } else if (firstSignificant >= 0 && d != 0) {
            truncated = true;
        }
        ++position;
    }
    if (position == 0) return {};
    long long exponent = 0;
    if (i < text.size() && (text[i] == (hex ? 'p' : 'e') || text[i] == (hex ? 'P' : 'E'))) {
        std::size_t j = i + 1;
        const bool negative = j < text.size() && text[j] == '-';
        if (j < text.size() && (text[j] == '+' || text[j] == '-')) ++j;
        if (j == text.size() || text[j] < '0' || text[j] > '9') return {};
        for (; j < text.size() && text[j] >= '0' && text[j] <= '9'; ++j) {
            if (exponent < 100000000) exponent = exponent * 10 + (text[j] - '0');
        }
        if (negative) exponent = -exponent;
        i = j;
    }
    if (i != text.size() || firstSignificant < 0) return {};
    // The value is 0.DDD... (the significant digits) times base^point.
    const long long pointPower = digitsBeforePoint - firstSignificant;
    return hex ? hexadecimalSize(leading, truncated, pointPower, exponent)
               : decimalSize(leading, truncated, pointPower + exponent - 1);
}

bool near(double value, double approximate) {
    return approximate == 0 || std::fabs(value - approximate) <= 1e-9 * approximate;
}

void checkNumberParsers(const std::string &text) {
    for (long least : {0L, 1L}) {
        long count = -7;
        const std::optional<long> expected = modelRunCount(text, least);
        FUZZ_CHECK(runCount(text.c_str(), least, &count) == expected.has_value());
        FUZZ_CHECK(count == (expected ? *expected : -7));
    }
    double limit = -7;
    const Limit expected = modelTimeLimit(text);
    const bool accepted = timeLimit(text.c_str(), &limit);
    if (expected.verdict != Verdict::either) FUZZ_CHECK(accepted == (expected.verdict == Verdict::accepted));
    if (accepted) {
        FUZZ_CHECK(limit > 0 && limit <= kMostSeconds);
        FUZZ_CHECK(near(limit, expected.approximate));
    } else {
        FUZZ_CHECK(limit == -7);
    }
}

bool sameResult(const ParsedOptions<Options> &a, const ParsedOptions<Options> &b) {
    const Options &x = a.options, &y = b.options;
    return a.ending == b.ending && a.message == b.message && x.resourceUsage == y.resourceUsage &&
           x.reportFile == y.reportFile && x.append == y.append && x.series == y.series &&
           x.settings.runs == y.settings.runs && x.settings.warmups == y.settings.warmups &&
           x.settings.ignoreFailures == y.settings.ignoreFailures && x.settings.timeLimit == y.settings.timeLimit &&
           x.settings.progress == y.settings.progress && x.separator == y.separator && x.quiet == y.quiet &&
           x.jsonFile == y.jsonFile && x.csvFile == y.csvFile && x.command == y.command;
}

// Whether `text` points into one of the arguments before the command.
bool inOption(const char *text, const CommandLine &line, int command) {
    for (int k = 1; k < command; ++k) {
        const std::string &argument = line.texts()[std::size_t(k)];
        if (text >= argument.data() && text <= argument.data() + argument.size()) return true;
    }
    return false;
}

void checkRun(const Options &o, const CommandLine &line) {
    FUZZ_CHECK(o.command >= 1 && o.command < line.argc());
    FUZZ_CHECK(!line.texts()[std::size_t(o.command)].empty());
    const SeriesSettings &s = o.settings;
    FUZZ_CHECK(s.runs >= 1 && s.runs <= kMostRuns && s.warmups >= 0 && s.warmups <= kMostRuns);
    FUZZ_CHECK(s.timeLimit == 0 || (s.timeLimit > 0 && s.timeLimit <= kMostSeconds));
    FUZZ_CHECK(!s.progress);  // main's to decide
    FUZZ_CHECK(!o.append || o.reportFile != nullptr);
    FUZZ_CHECK(o.reportFile == nullptr || inOption(o.reportFile, line, o.command));
    FUZZ_CHECK(o.jsonFile == nullptr || (*o.jsonFile != '\0' && inOption(o.jsonFile, line, o.command)));
    FUZZ_CHECK(o.csvFile == nullptr || (*o.csvFile != '\0' && inOption(o.csvFile, line, o.command)));
    FUZZ_CHECK(*o.separator != '\0');
    FUZZ_CHECK(std::strcmp(o.separator, "---") == 0 || inOption(o.separator, line, o.command));
    // Without an option of a series, every setting of one is as it starts.
    if (!o.series) {
        FUZZ_CHECK(s.runs == 1 && s.warmups == 0 && !s.ignoreFailures && s.timeLimit == 0 && !o.quiet);
        FUZZ_CHECK(std::strcmp(o.separator, "---") == 0 && o.jsonFile == nullptr && o.csvFile == nullptr);
    }
}

ParsedOptions<Options> modelEnding(ParseEnding ending, std::string message = {}) {
    ParsedOptions<Options> parsed;
    parsed.ending = ending;
    parsed.message = std::move(message);
    return parsed;
}

// An option letter with its value: true when taken, else the refusal in
// *refusal, or false with an empty *refusal when the model cannot tell.
bool modelValue(char letter, const char *value, Options *o, std::optional<ParsedOptions<Options>> *refusal) {
    const char *shape = "Number \"%s\" for option -%c must be a whole number from %ld to %ld.";
    if (letter == 'o') {
        o->reportFile = value;
        return true;
    }
    o->series = true;
    if (letter == 'n' || letter == 'w') {
        const long least = letter == 'n' ? 1 : 0;
        const std::optional<long> count = modelRunCount(value, least);
        if (!count) *refusal = modelEnding(ParseEnding::misuse, formatMessage(shape, value, letter, least, kMostRuns));
        (letter == 'n' ? o->settings.runs : o->settings.warmups) = count.value_or(0);
        return count.has_value();
    }
    if (letter == 't') {
        const Limit limit = modelTimeLimit(value);
        if (limit.verdict == Verdict::refused) {
            *refusal = modelEnding(ParseEnding::misuse,
                                   formatMessage("Time limit \"%s\" for option -t must be a number of seconds above 0 "
                                                 "and at most %g.", value, kMostSeconds));
        }
        o->settings.timeLimit = limit.approximate;
        return limit.verdict == Verdict::accepted;
    }
    if (*value == '\0') *refusal = modelEnding(ParseEnding::misuse, "Separator for option -S must not be empty.");
    o->separator = value;
    return *value != '\0';
}

// One argument of letters ("-rn5"); false when it ends the reading, with the
// ending (or nothing, when the model cannot tell) in *ended.
bool modelCluster(const CommandLine &line, std::size_t *k, Options *o, std::optional<ParsedOptions<Options>> *ended) {
    const std::string &word = line.texts()[*k];
    for (std::size_t c = 1; c < word.size(); ++c) {
        const char letter = word[c];
        if (std::strchr("hH-", letter) != nullptr) return *ended = modelEnding(ParseEnding::help), false;
        if (std::strchr("vV", letter) != nullptr) return *ended = modelEnding(ParseEnding::banner), false;
        if (letter == 'r') o->resourceUsage = true;
        else if (letter == 'a') o->append = true;
        else if (letter == 'i') o->settings.ignoreFailures = o->series = true;
        else if (letter == 'q') o->quiet = o->series = true;
        else if (letter != '\0' && std::strchr("onwtS", letter) != nullptr) {
            const char *value = nullptr;
            if (c + 1 < word.size()) {
                value = word.c_str() + c + 1;
            } else if (*k + 1 < line.texts().size()) {
                value = line.texts()[++*k].c_str();
            } else {
                return *ended = modelEnding(ParseEnding::misuse), false;
            }
            return modelValue(letter, value, o, ended);
        } else {
            return *ended = modelEnding(ParseEnding::misuse), false;
        }
    }
    return true;
}

// The reading that the help text and the manual describe, written without
// getopt; nothing when a time limit lies too near a bound to tell.
std::optional<ParsedOptions<Options>> modelParse(const CommandLine &line) {
    ParsedOptions<Options> parsed;
    Options &o = parsed.options;
    const std::vector<std::string> &words = line.texts();
    std::size_t k = 1;
    while (k < words.size()) {
        const std::string &word = words[k];
        const char *names[] = {"--json", "--csv"};
        const char **files[] = {&o.jsonFile, &o.csvFile};
        int taken = -1;
        for (int i = 0; i < 2 && taken < 0; ++i) {
            const std::size_t length = std::strlen(names[i]);
            if (word.compare(0, length, names[i]) == 0 && (word.size() == length || word[length] == '=')) taken = i;
        }
        if (taken >= 0) {
            const std::size_t length = std::strlen(names[taken]);
            const char *file = word.size() > length ? word.c_str() + length + 1
                               : k + 1 < words.size() ? words[++k].c_str() : "";
            if (*file == '\0') return modelEnding(ParseEnding::misuse, formatMessage("Option %s needs a FILE.", names[taken]));
            *files[taken] = file;
            o.series = true;
            ++k;
            continue;
        }
        if (word == "--") {
            ++k;
            break;
        }
        if (word.size() < 2 || word[0] != '-') break;
        std::optional<ParsedOptions<Options>> ended;
        if (!modelCluster(line, &k, &o, &ended)) return ended;
        ++k;
    }
    if (o.append && o.reportFile == nullptr) return modelEnding(ParseEnding::misuse, "Option -a needs -o FILE to append to.");
    if (k >= words.size()) return modelEnding(ParseEnding::misuse, "Missing command_name.");
    if (words[k].empty()) return modelEnding(ParseEnding::misuse, "Zero-length command_name.");
    o.command = int(k);
    return parsed;
}

void checkAgainstModel(const ParsedOptions<Options> &parsed, const CommandLine &line) {
    const std::optional<ParsedOptions<Options>> model = modelParse(line);
    if (!model) return;
    FUZZ_CHECK(parsed.ending == model->ending);
    FUZZ_CHECK(parsed.message == model->message);
    if (!parsed.runs()) return;
    ParsedOptions<Options> expected = *model;
    if (expected.options.separator == Options{}.separator) {  // no -S: the model's own "---"
        FUZZ_CHECK(std::strcmp(parsed.options.separator, "---") == 0);
        expected.options.separator = parsed.options.separator;
    }
    FUZZ_CHECK(near(parsed.options.settings.timeLimit, expected.options.settings.timeLimit));
    expected.options.settings.timeLimit = parsed.options.settings.timeLimit;
    FUZZ_CHECK(sameResult(parsed, expected));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size) {
    opterr = 0;  // getopt's complaints would only fill the log
    CommandLine line("lapwatch", data, size);
    for (const std::string &text : line.texts()) {
        // Embedded NULs cannot occur: the arguments were split on them.
        checkNumberParsers(text);
        const std::size_t equals = text.find('=');
        if (equals != std::string::npos) checkNumberParsers(text.substr(equals + 1));
        if (text.size() > 2 && text[0] == '-') checkNumberParsers(text.substr(2));
    }

    const ParsedOptions<Options> first = parseOptions(line.argc(), line.argv());
    line.reset();
    const ParsedOptions<Options> second = parseOptions(line.argc(), line.argv());
    FUZZ_CHECK(sameResult(first, second));
    FUZZ_CHECK(first.ending != ParseEnding::failure);  // the internal error: a letter the switch lacks
    if (first.runs()) checkRun(first.options, line);
    checkAgainstModel(first, line);
    return 0;
}
