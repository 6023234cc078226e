// octetTally: counts how often each of the 256 byte values occurs in a file or
// in standard input, and writes a table of all of them, either from the most
// to the least frequent with percentages or in numeric order.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "addSeparators.h"
#include "error.h"
#include "timsort.h"

namespace {

char rcsid[] = "$Id: octetTally.c,v 1.35 2024-09-02 11:54:53-04 devteam Exp $";

constexpr char buildText[] = "compiled " SUITE_BUILD_DATE " at " SUITE_BUILD_TIME " EST";

constexpr char helpText[] =
    "%s - count the various characters in the input and output a list of\n"
    "character frequencies.  %s assumes 8-bit characters.\n"
    "Usage:  %s [-r] [INFILE [OUTFILE]]\n"
    "        %s [-h|-v]\n"
    "Optional INFILE and OUTFILE are file names to read from and write to.\n"
    "Other options:\n"
    "     -r      use an alternative output format (no frequencies)\n"
    "     -h      show this help message\n"
    "     -v      show program version number, date, author, email, compile date\n";

constexpr char stdinName[] = "<standard input>";
constexpr char stdoutName[] = "<standard output>";

// One tally record per byte value; the sort is handed records of exactly
// this width.
struct Tally {
    uint8_t value;
    int64_t count;
};
static_assert(sizeof(Tally) == 16, "a tally record is 16 bytes");

constexpr size_t byteValues = 256;
constexpr size_t bufSize = 65536;

unsigned char buf[bufSize];
Tally freq[byteValues];
char nameBuf[24];
int64_t total;

// Display names of the bytes 0 to 127.
const char asciitable[128][4] = {
    "NUL", "SOH", "STX", "ETX", "EOT", "ENQ", "ACK", "BEL", "BS",  "HT",  "LF",  "VT",  "FF",
    "CR",  "SO",  "SI",  "DLE", "DC1", "DC2", "DC3", "DC4", "NAK", "SYN", "ETB", "CAN", "EM",
    "SUB", "ESC", "FS",  "GS",  "RS",  "US",  "SP",  "!",   "\"",  "#",   "$",   "%",   "&",
    "'",   "(",   ")",   "*",   "+",   ",",   "-",   ".",   "/",   "0",   "1",   "2",   "3",
    "4",   "5",   "6",   "7",   "8",   "9",   ":",   ";",   "<",   "=",   ">",   "?",   "@",
    "A",   "B",   "C",   "D",   "E",   "F",   "G",   "H",   "I",   "J",   "K",   "L",   "M",
    "N",   "O",   "P",   "Q",   "R",   "S",   "T",   "U",   "V",   "W",   "X",   "Y",   "Z",
    "[",   "\\",  "]",   "^",   "_",   "`",   "a",   "b",   "c",   "d",   "e",   "f",   "g",
    "h",   "i",   "j",   "k",   "l",   "m",   "n",   "o",   "p",   "q",   "r",   "s",   "t",
    "u",   "v",   "w",   "x",   "y",   "z",   "{",   "|",   "}",   "~",   "del",
};

// Counting into one table makes every increment of a dominant byte wait for
// the previous one to land. Bytes are spread over interleaved tables by
// their position instead, so that consecutive increments touch different
// memory, and the tables are folded into the tally records at the end.
// Eight tables of 64-bit counters take 16 KiB and stay in the L1 cache.
constexpr size_t lanes = 8;
uint64_t laneCounts[lanes][byteValues];

// Eight bytes that all repeat the block's first byte (zero padding, runs of
// one value) are counted in a register with one comparison instead.
void countBlock(const unsigned char *p, size_t n) {
    const uint64_t runWord = 0x0101010101010101ULL * p[0];
    uint64_t runBytes = 0;
    size_t i = 0;
    for (; i + lanes <= n; i += lanes) {
        uint64_t word;
        std::memcpy(&word, p + i, sizeof word);
        if (word == runWord) {
            runBytes += lanes;
            continue;
        }
        ++laneCounts[0][word & 0xff];
        ++laneCounts[1][(word >> 8) & 0xff];
        ++laneCounts[2][(word >> 16) & 0xff];
        ++laneCounts[3][(word >> 24) & 0xff];
        ++laneCounts[4][(word >> 32) & 0xff];
        ++laneCounts[5][(word >> 40) & 0xff];
        ++laneCounts[6][(word >> 48) & 0xff];
        ++laneCounts[7][word >> 56];
    }
    laneCounts[0][p[0]] += runBytes;
    for (; i < n; ++i) ++laneCounts[0][p[i]];
}

// Orders tally records by descending count; equal counts compare equal, so
// the stable sort keeps them in ascending byte order.
int rcmp(const void *first, const void *second) {
    const int64_t a = static_cast<const Tally *>(first)->count;
    const int64_t b = static_cast<const Tally *>(second)->count;
    return a > b ? -1 : a < b ? 1 : 0;
}

struct Options {
    bool numericOrder = false;
    const char *inName = nullptr;   // null: standard input
    const char *outName = nullptr;  // null: standard output
};

// The tool's own argument scan: option clusters up to the first file name,
// a lone "-" or "--"; after that everything is a file name.
// Returns -1 to go on, or the exit status when the run is already over.
int scanArguments(int argc, char **argv, Options &options) {
    int i = 1;
    for (; i < argc; ++i) {
        const char *arg = argv[i];
        if (arg[0] != '-' || arg[1] == '\0') break;
        if (std::strcmp(arg, "--") == 0) {
            ++i;
            break;
        }
        for (const char *letter = arg + 1; *letter; ++letter) {
            switch (*letter) {
            case 'r':
                options.numericOrder = true;
                break;
            case 'v':
            case 'V':
                printVersionBanner(buildText, ".");
                return 0;
            case 'h':
            case 'H':
            case '?':
            case '-':
                std::printf(helpText, progName, progName, progName, progName);
                return 0;
            default:
                errorMsg(1, 0, 0, "Unknown option -%c", *letter);
                return 1;
            }
        }
    }
    const int names = argc - i;
    if (names > 2) {
        errorMsg(1, 0, 1, "Too many file names given on the command line.");
        return 1;
    }
    if (names >= 1) options.inName = argv[i];
    if (names == 2) options.outName = argv[i + 1];
    return -1;
}

// Writing the report over its own input would truncate the input before it
// is read; a regular file named twice, by any path, is refused.
bool sameRegularFile(FILE *in, const char *outName) {
    struct stat inStat;
    struct stat outStat;
    return fstat(fileno(in), &inStat) == 0 && S_ISREG(inStat.st_mode) &&
           stat(outName, &outStat) == 0 && inStat.st_dev == outStat.st_dev &&
           inStat.st_ino == outStat.st_ino;
}

// Counts every byte of the input into `freq` and `total`. Returns false when
// the input is empty.
bool countInput(FILE *in, const char *inName) {
    for (size_t v = 0; v < byteValues; ++v) {
        freq[v].value = static_cast<uint8_t>(v);
        freq[v].count = 0;
    }
    size_t got = std::fread(buf, 1, bufSize, in);
    while (got > 0) {
        countBlock(buf, got);
        total += static_cast<int64_t>(got);
        // A terminal's end of input is one keystroke: reading on after it
        // would wait for another.
        if (std::feof(in) || std::ferror(in)) break;
        got = std::fread(buf, 1, bufSize, in);
    }
    // An input that fails at once (a directory, say) is an error, not an
    // empty file.
    if (std::ferror(in)) {
        errorMsg(1, errno, 0, "Error reading from \"%s\"", inName);
    }
    for (size_t v = 0; v < byteValues; ++v) {
        int64_t sum = 0;
        for (size_t lane = 0; lane < lanes; ++lane) sum += static_cast<int64_t>(laneCounts[lane][v]);
        freq[v].count = sum;
    }
    return total > 0;
}

// Returns errno of the first failed row, or 0.
int writeByFrequency(FILE *out) {
    // The sort cannot fail on 256 records but for want of memory; a table in
    // no particular order must not pass for a sorted one.
    if (timsort(freq, byteValues, sizeof freq[0], rcmp) != 0) {
        errorMsg(1, errno, 0, "Cannot sort the table");
    }
    std::fprintf(out, "%5s %25s %7s\n", "Char", "Count", "Percent");
    std::fprintf(out, "%5s %25s %7s\n", "-----", "------------------------", "-------");
    for (const Tally &t : freq) {
        const char *name = asciitable[0];
        if (t.value < 128) {
            name = asciitable[t.value];
        } else {
            std::snprintf(nameBuf, sizeof nameBuf, "0x%02X", static_cast<unsigned>(t.value));
            name = nameBuf;
        }
        const double percent = static_cast<double>(t.count) * 100.0 / static_cast<double>(total);
        if (std::fprintf(out, "%5s %25s %7.3f\n", name, addSepsInt64(t.count), percent) < 0) {
            return errno;
        }
    }
    return 0;
}

int writeByValue(FILE *out) {
    std::fprintf(out, "%3s %4s %5s %25s\n", "Dec", "Hex", "Char", "Count");
    std::fprintf(out, "%3s %4s %5s %25s\n", "---", "----", "-----", "------------------------");
    for (unsigned c = 0; c < byteValues; ++c) {
        // Bytes from 128 up are shown as themselves.
        const char raw[2] = {static_cast<char>(c), '\0'};
        const char *name = c < 128 ? asciitable[c] : raw;
        if (std::fprintf(out, "%03u %04X %5s %25s\n", c, c, name, addSepsInt64(freq[c].count)) < 0) {
            return errno;
        }
    }
    return 0;
}

// Checks the output stream (after pushing out what it still holds) and
// closes it when it is a named file.
void finishOutput(FILE *out, const char *outName, int writeErr) {
    if (std::fflush(out) != 0 && writeErr == 0) writeErr = errno;
    if (std::ferror(out)) {
        errorMsg(1, writeErr, 0, "Error writing to \"%s\"", outName);
    }
    if (out != stdout && std::fclose(out) != 0) {
        errorMsg(1, errno, 0, "Error closing \"%s\"", outName);
    }
}

}  // namespace

int main(int argc, char **argv) {
    if (getNameVersionAndDate(rcsid, &progName, &version, &date) != 0) {
        reportIdentityFailure(__LINE__, __FILE_NAME__, "");
        return 1;
    }
    Options options;
    if (int status = scanArguments(argc, argv, options); status >= 0) {
        return status;
    }

    FILE *in = stdin;
    const char *inName = stdinName;
    if (options.inName) {
        inName = options.inName;
        in = std::fopen(inName, "rb");
        if (in == nullptr) {
            errorMsg(1, errno, 1, "Cannot open \"%s\" for input", inName);
            return 1;
        }
    }
    FILE *out = stdout;
    const char *outName = stdoutName;
    if (options.outName) {
        outName = options.outName;
        if (sameRegularFile(in, outName)) {
            errorMsg(1, 0, 1, "Cannot write to \"%s\": it is the input file", outName);
            return 1;
        }
        out = std::fopen(outName, "w");
        if (out == nullptr) {
            errorMsg(1, errno, 1, "Cannot open \"%s\" for output", outName);
            return 1;
        }
    }

    if (in == stdin && isatty(fileno(stdin))) {
        errorMsg(0, 0, 0, "Waiting for keyboard input...");
    }
    const bool any = countInput(in, inName);
    if (in != stdin && std::fclose(in) != 0) {
        errorMsg(1, errno, 0, "Error closing input: \"%s\"", inName);
    }

    int writeErr = 0;
    if (!any) {
        if (std::fprintf(out, "File %s is empty.\n", inName) < 0) writeErr = errno;
    } else {
        if (std::fprintf(out, "In \"%s\":\nTotal: %s bytes\n\n", inName, addSepsInt64(total)) < 0) {
            writeErr = errno;
        }
        const int tableErr = options.numericOrder ? writeByValue(out) : writeByFrequency(out);
        if (writeErr == 0) writeErr = tableErr;
    }
    finishOutput(out, outName, writeErr);
    return 0;
}
