#include "options.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>

#include "inputAnalysis.h"

namespace {

using Parsed = ParsedOptions<Options>;

void refuse(Parsed &parsed, ParseEnding ending, std::string message) {
    parsed.ending = ending;
    parsed.message = std::move(message);
}

// The value of an option that takes one: the rest of its argument (after
// "=" for a long option, or after the letter), or the next argument. Null
// when there is none.
const char *optionValue(int argc, char **argv, int &i, const char *rest) {
    if (*rest != '\0') return rest;
    if (i + 1 >= argc) return nullptr;
    return argv[++i];
}

// The long options, each with its value; false for any other argument. A
// refusal is left in `parsed`.
bool longOption(int argc, char **argv, int &i, Parsed &parsed) {
    static const char *const names[] = {"--offset", "--length", "--high", "--low"};
    Options &options = parsed.options;
    const char *arg = argv[i];
    for (int k = 0; k < 4; ++k) {
        const std::size_t length = std::strlen(names[k]);
        if (std::strncmp(arg, names[k], length) != 0 || (arg[length] != '\0' && arg[length] != '=')) continue;
        // An empty value after "=" takes the next argument, as an option
        // without "=" does.
        const char *value = optionValue(argc, argv, i, arg[length] == '=' ? arg + length + 1 : "");
        if (value == nullptr) {
            refuse(parsed, ParseEnding::misuse, formatMessage("Option %s needs a value", names[k]));
            return true;
        }
        bool good = false;
        if (k < 2) {
            good = parseSize(value, k == 0 ? &options.offset : &options.length);
        } else {
            good = parseBits(value, k == 2 ? &options.rising : &options.falling);
        }
        if (!good) {
            refuse(parsed, ParseEnding::misuse,
                   formatMessage(k < 2 ? "Invalid %s \"%s\": a number of bytes, with K, M or G for powers of 1,024"
                                       : "Invalid %s \"%s\": a number of bits per byte from 0 to 8",
                                 names[k], value));
        }
        return true;
    }
    return false;
}

// -b's value; a block below 64 bytes has too few bytes for its entropy to
// mean anything.
void parseBlockSize(const char *value, Parsed &parsed) {
    Options &options = parsed.options;
    if (!parseSize(value, &options.blockSize) || options.blockSize == 0) {
        refuse(parsed, ParseEnding::misuse,
               formatMessage("Invalid block size \"%s\": a number of bytes, with K, M or G for powers of 1,024",
                             value));
    } else if (options.blockSize < kMinBlockSize) {
        refuse(parsed, ParseEnding::misuse,
               formatMessage("Block size %s is too small: a block has at least 64 bytes", value));
    }
}

// One cluster of option letters, taken in order: help and the banner end
// the scan where they are met, whatever follows them.
void scanCluster(int argc, char **argv, int &i, Parsed &parsed) {
    Options &options = parsed.options;
    for (const char *letter = argv[i] + 1; *letter; ++letter) {
        switch (*letter) {
        case 'r':
            options.numericOrder = true;
            break;
        case 'e':
            options.statistics = true;
            break;
        case 'c':
            options.plainTable = true;
            break;
        case 'm':
            options.map = true;
            break;
        case 'j':
            options.json = true;
            break;
        case 'b': {
            // The size is the rest of the cluster, or the next argument; the
            // cluster ends with it.
            const char *value = optionValue(argc, argv, i, letter + 1);
            if (value == nullptr) {
                refuse(parsed, ParseEnding::misuse, "Option -b needs a value");
            } else {
                parseBlockSize(value, parsed);
            }
            return;
        }
        case 'v':
        case 'V':
            parsed.ending = ParseEnding::banner;
            return;
        case 'h':
        case 'H':
        case '?':
        case '-':
            parsed.ending = ParseEnding::help;
            return;
        default:
            refuse(parsed, ParseEnding::failure, formatMessage("Unknown option -%c", *letter));
            return;
        }
    }
}

// Options that cannot go together, and thresholds in the wrong order.
void refuseConflicts(Parsed &parsed) {
    const Options &options = parsed.options;
    // The plain table is for scripts: nothing may follow it or take its place.
    if (options.plainTable && (options.statistics || options.map || options.json)) {
        refuse(parsed, ParseEnding::misuse,
               formatMessage("Option -c cannot be combined with -%c",
                             options.statistics ? 'e' : options.map ? 'm' : 'j'));
    } else if (options.json && options.map) {
        refuse(parsed, ParseEnding::misuse, "Option -j cannot be combined with -m");
    } else if (options.falling > options.rising) {
        refuse(parsed, ParseEnding::misuse, "The falling threshold (--low) is above the rising one (--high)");
    }
}

// What a refusal, help or the banner hands back: no half-read options.
Parsed ended(Parsed parsed) {
    parsed.options = Options{};
    return parsed;
}

}  // namespace

bool parseSize(const char *text, std::int64_t *value) {
    std::uint64_t n = 0;
    const char *p = text;
    for (; *p >= '0' && *p <= '9'; ++p) {
        if (n > (UINT64_MAX - 9) / 10) return false;
        n = n * 10 + static_cast<std::uint64_t>(*p - '0');
    }
    if (p == text) return false;
    int shift = 0;
    if (*p != '\0') {
        const char *const suffixes = "KMG";
        const char *found = std::strchr(suffixes, *p);
        if (found == nullptr || p[1] != '\0') return false;
        shift = 10 * static_cast<int>(found - suffixes + 1);
    }
    if (n > (std::uint64_t{INT64_MAX} >> shift)) return false;
    *value = static_cast<std::int64_t>(n << shift);
    return true;
}

bool parseBits(const char *text, double *value) {
    char *end = nullptr;
    if (!((*text >= '0' && *text <= '9') || *text == '.')) return false;
    errno = 0;
    const double bits = std::strtod(text, &end);
    if (errno != 0 || end == text || *end != '\0' || !(bits >= 0.0 && bits <= 8.0)) return false;
    *value = bits;
    return true;
}

ParsedOptions<Options> parseOptions(int argc, char **argv) {
    Parsed parsed;
    int i = 1;
    for (; i < argc; ++i) {
        const char *arg = argv[i];
        if (arg[0] != '-' || arg[1] == '\0') break;
        if (std::strcmp(arg, "--") == 0) {
            ++i;
            break;
        }
        if (!longOption(argc, argv, i, parsed)) scanCluster(argc, argv, i, parsed);
        if (!parsed.runs()) return ended(parsed);
    }
    refuseConflicts(parsed);
    if (!parsed.runs()) return ended(parsed);
    const int names = argc - i;
    if (names > 2) {
        refuse(parsed, ParseEnding::misuse, "Too many file names given on the command line.");
        return ended(parsed);
    }
    if (names >= 1) parsed.options.inName = argv[i];
    if (names == 2) parsed.options.outName = argv[i + 1];
    return parsed;
}
