// morphPhrase: evolve a phrase by keeping random, correct characters.
//
// Starting from a line of '.' placeholders, each try picks a random position
// and, if that position is still wrong, draws a random character for it; a
// correct draw stays for good. The report compares the tries made with the
// tries a purely random search would need.
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cmath>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "error.h"
#include "evolve.h"
#include "hashTime.h"
#include "mt19937ar.h"
#include "options.h"

char morphPhrase_rcsid[] = "$Id: morphPhrase.c,v 2.38 2020-07-08 15:46:25-04 devteam Exp $";

namespace {

const char buildText[] = "compiled " SUITE_BUILD_DATE " at " SUITE_BUILD_TIME " EST";

// Joined arguments stop short of the standard-input limit: the first may bring
// the phrase to this length, every later one (with its space) to one more.
constexpr size_t kMaxJoined = 1999998;

// log10(27) as the double 0x3FF6E6DDB0BBE07E.
constexpr double kLog10Of27 = 1.4313637641589874;

// The target, the display line and the found flags; fixed, nothing allocated.
char phrase[kMaxPhrase + 1];
char buf[kMaxPhrase + 1];
unsigned char correct[kMaxPhrase + 1];

size_t readPhraseFromStdin() {
    if (isatty(STDIN_FILENO)) {
        error(1, 0, "Cannot read from the keyboard.  Use redirection or a pipeline with\noption -s.");
    }
    size_t n = std::fread(phrase, 1, kMaxPhrase, stdin);
    if (std::ferror(stdin)) {
        error(1, errno, "Cannot read phrase from standard input");
    }
    return n;
}

// Joins the words with single spaces; a word that would take the phrase past
// the limit is dropped together with every word after it.
size_t joinWords(char *const words[], int count) {
    size_t length = 0;
    for (int i = 0; i < count; ++i) {
        size_t m = std::strlen(words[i]);
        if (length + m > kMaxJoined) break;
        if (i > 0) phrase[length++] = ' ';
        std::memcpy(phrase + length, words[i], m);
        length += m;
    }
    return length;
}

// Every byte becomes a member of the alphabet: ASCII letters in lower case,
// everything else a space. The tests are those of the "C" locale, written out
// so that no locale can change them.
void normalise(size_t n) {
    for (size_t i = 0; i < n; ++i) {
        char c = phrase[i];
        if (c >= 'A' && c <= 'Z') {
            phrase[i] = char(c - 'A' + 'a');
        } else if (!(c >= 'a' && c <= 'z')) {
            phrase[i] = ' ';
        }
    }
}

void report(size_t n, int64_t tries) {
    std::printf("\n%s\n", buf);
    std::printf("The length of the phrase is %lu character%s.\n", (unsigned long)n, n == 1 ? "" : "s");
    std::printf("Total tries = %lld\n", (long long)tries);

    // 27^n as a mantissa and a decimal exponent, without forming 27^n.
    double wholePart;
    double fraction = std::modf(double(n) * kLog10Of27, &wholePart);
    std::printf("Expected tries (totally random ) = %.3fE+%.0f\n", exp10(fraction), wholePart);

    // 27 n H(n), summed term by term from k = 1 up.
    double expected = 0.0;
    for (size_t k = 1; k <= n; ++k) expected = expected + (double(n) / double(k)) * 27.0;
    std::printf("Expected tries (keeping correct) = %.0f\n", expected);
}

}  // namespace

void usage(FILE *stream, const char *format, ...) {
    if (stream != nullptr) {
        va_list args;
        va_start(args, format);
        writeUsageMessage(stream, format, args);
        va_end(args);
        std::fprintf(stream,
                     "%s - Evolve a phrase by keeping random, correct characters.\n"
                     "This demonstrates how evolution works quickly by retaining good qualities.\n"
                     "Usage:\n"
                     "  %s [-u|--update-period updatePeriod] \"your phrase here\"\n"
                     "  %s [-u|--update-period updatePeriod] -s|--standard-input\n"
                     "  %s -v\n"
                     "  %s -h\n"
                     "Options:\n"
                     "  -u updatePeriod - how many tries between displaying the phrase\n"
                     "  -s              - read the phrase from standard input\n"
                     "  -h              - show this help message\n"
                     "  -v              - show %s's version, date, author and compile time\n"
                     "Non-alphabetic/non-space characters will be changed to spaces.\n"
                     "If \"-u updatePeriod\" is specified, it must be > 0 and sets how may tries\n"
                     "are made between displaying the phrase.  If updatePeriod is not specified\n"
                     "the display will not be updated until the phrase is completely evolved.\n"
                     "  --seed N        - seed the generator from N (0 to 18446744073709551615)\n"
                     "                    in place of the clock: the same phrase and N repeat a\n"
                     "                    run try for try, on any system\n",
                     progName, progName, progName, progName, progName, progName);
    }
    endUsage(stream);
}

int main(int argc, char *argv[]) {
    if (getNameVersionAndDate(morphPhrase_rcsid, &progName, &version, &date) != 0) {
        reportIdentityFailure(__LINE__, __FILE_NAME__, "");
        return 1;
    }

    const ParsedOptions<Options> parsed = parseOptions(argc, argv);
    switch (parsed.ending) {
    case ParseEnding::run:
        break;
    case ParseEnding::banner:
        printVersionBanner(buildText, ", public domain.");  // checks its own output
        return 0;
    case ParseEnding::help:
        usage(stdout, nullptr);
    case ParseEnding::misuse:
    case ParseEnding::failure:
        if (parsed.message.empty()) usage(stderr, nullptr);
        usage(stderr, "%s", parsed.message.c_str());
    }
    const Options &o = parsed.options;

    size_t n = o.fromStdin ? readPhraseFromStdin() : joinWords(argv + o.firstWord, argc - o.firstWord);
    phrase[n] = '\0';
    if (n == 0) {
        std::fputs("Empty phrase.  Nothing to do.", stderr);
        return 1;
    }
    normalise(n);
    std::memset(buf, '.', n);
    buf[n] = '\0';

    // A given seed takes the clock's place in the same hashing, so that it
    // reaches the generator as a clock reading would.
    if (o.seeded) hashTime_fixReading(o.seed);
    init_genrand(uint32_t(hashTime() & 0xFFFFFFFFu));
    int64_t tries = evolve(phrase, buf, correct, n, o.updatePeriod, stdout);
    report(n, tries);
    checkOutput(stdout, standardOutputName);
    return 0;
}
