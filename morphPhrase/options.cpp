#include "options.h"

#include <getopt.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

// The value getopt_long gives for --seed, which has no short form.
constexpr int kSeedOption = 256;

const option longopts[] = {
    {"update-period", required_argument, nullptr, 'u'},
    {"seed", required_argument, nullptr, kSeedOption},
    {"standard-input", no_argument, nullptr, 's'},
    {"version", no_argument, nullptr, 'v'},
    {"help", no_argument, nullptr, 'h'},
    {nullptr, 0, nullptr, 0},
};

ParsedOptions<Options> ended(ParseEnding ending, std::string message = {}) {
    ParsedOptions<Options> parsed;
    parsed.ending = ending;
    parsed.message = std::move(message);
    return parsed;
}

}  // namespace

bool parseUpdatePeriod(const char *text, int64_t *value) {
    errno = 0;
    const long long period = std::strtoll(text, nullptr, 10);
    if (errno != 0 || period < 1) return false;
    *value = period;
    return true;
}

// strtoull would take a sign (and wrap "-1" round to the largest value) and
// leading blanks, so the digits are checked first; it reports a larger
// number as out of range.
bool parseSeed(const char *text, uint64_t *value) {
    const size_t digits = std::strspn(text, "0123456789");
    errno = 0;
    const unsigned long long seed = std::strtoull(text, nullptr, 10);
    if (digits == 0 || text[digits] != '\0' || errno != 0) return false;
    *value = uint64_t(seed);
    return true;
}

ParsedOptions<Options> parseOptions(int argc, char *argv[]) {
    ParsedOptions<Options> parsed;
    Options &o = parsed.options;
    optind = 0;  // a full restart of getopt's scan
    int opt;
    while ((opt = getopt_long(argc, argv, "u:shHvV", longopts, nullptr)) != -1) {
        switch (opt) {
        case 'u':
            if (!parseUpdatePeriod(optarg, &o.updatePeriod)) {
                return ended(ParseEnding::misuse,
                             formatMessage("updatePeriod (\"%s\") must be a whole number, no less than 1 and less "
                                           "than about 9 billion billion.\n",
                                           optarg));
            }
            break;
        case 's':
            o.fromStdin = true;
            break;
        case kSeedOption:
            if (!parseSeed(optarg, &o.seed)) {
                return ended(ParseEnding::misuse,
                             formatMessage("seed (\"%s\") must be a whole number from 0 to 18446744073709551615.\n",
                                           optarg));
            }
            o.seeded = true;
            break;
        case 'v':
        case 'V':
            return ended(ParseEnding::banner);
        case 'h':
        case 'H':
            return ended(ParseEnding::help);
        default:  // '?': getopt has said what was wrong
            return ended(ParseEnding::misuse);
        }
    }
    o.firstWord = optind;
    if (o.fromStdin == (optind < argc)) {
        return ended(ParseEnding::misuse, "Either a phrase OR option -s must be provided.");
    }
    return parsed;
}
