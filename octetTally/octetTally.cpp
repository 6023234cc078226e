// octetTally: counts how often each of the 256 byte values occurs in a file or
// in standard input, and writes a table of all of them, either from the most
// to the least frequent with percentages or in numeric order.
#include <langinfo.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <clocale>
#include <cstring>

#include "addSeparators.h"
#include "byteStats.h"
#include "countFile.h"
#include "entropyChart.h"
#include "error.h"
#include "inputAnalysis.h"
#include "inputPipe.h"
#include "jsonReport.h"
#include "options.h"
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
    "     -v      show program version number, date, author, email, compile date\n"
    "     -e      add the entropy, a chi-square test and the mean of the bytes\n"
    "     -c      write a plain value,count table for scripts instead\n"
    "     -m      draw the counts as a 16x16 map of byte values instead\n"
    "     -e      goes on with the chi-square probability, the serial correlation,\n"
    "             a Monte Carlo value of pi, compression and min-entropy\n"
    "     -b SIZE chart the entropy of each block of SIZE bytes along the input,\n"
    "             with its edges (with -c: an offset,entropy line per block)\n"
    "     -j      write one JSON document instead of the report\n"
    "     --offset N   count from byte N on; --length N   count at most N bytes\n"
    "             (SIZE and N take K, M, G for powers of 1,024)\n"
    "     --high X, --low X   -b's edge thresholds in bits per byte (7.6, 6.8)\n";


// One tally record per byte value; the sort is handed records of exactly
// this width.
// The count is aligned to 8 bytes on every processor (32-bit x86 would
// align it to 4), so that the record, and the sort's work, is the same
// everywhere.
struct Tally {
    uint8_t value;
    alignas(8) int64_t count;
};
static_assert(offsetof(Tally, count) == 8 && sizeof(Tally) == 16, "a tally record is 16 bytes");

constexpr size_t kByteValues = 256;

Tally freq[kByteValues];
uint64_t counts[kByteValues];  // by byte value, whatever order freq is put in
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

// Orders tally records by descending count; equal counts compare equal, so
// the stable sort keeps them in ascending byte order.
int rcmp(const void *first, const void *second) {
    const int64_t a = static_cast<const Tally *>(first)->count;
    const int64_t b = static_cast<const Tally *>(second)->count;
    return a > b ? -1 : a < b ? 1 : 0;
}

// Whether the count needs more than the plain counts of the whole input.
bool countsAPart(const Options &options) {
    return options.offset > 0 || options.length >= 0;
}
bool analyses(const Options &options) {
    return options.statistics || options.json || options.blockSize > 0;
}

// Writing the report over its own input would truncate the input before it
// is read, or add the report to it: a regular input that is also the output,
// by any name or through standard output, is refused.
void refuseOutputOverInput(FILE *in, const char *outName, const char *shownName) {
    struct stat inStat;
    struct stat outStat;
    // With standard output closed the input took its descriptor: that is a
    // write error to come, not an output over the input.
    if (outName == nullptr && fileno(in) == fileno(stdout)) return;
    if (fstat(fileno(in), &inStat) != 0 || !S_ISREG(inStat.st_mode)) return;
    const int found = outName == nullptr ? fstat(fileno(stdout), &outStat) : stat(outName, &outStat);
    if (found == 0 && inStat.st_dev == outStat.st_dev && inStat.st_ino == outStat.st_ino) {
        errorMsg(1, 0, 1, "Cannot write to \"%s\": it is the input file", shownName);
    }
}

// Counts every byte of the input into `freq` and `total`, in one pass of
// reads straight from the descriptor (nothing has been read through the
// stream): a named regular file large enough on several threads, standard
// input and everything else read by read. Returns false when the input is
// empty.
bool countInput(FILE *in, const char *inName, bool named) {
    const int fd = fileno(in);
    struct stat st;
    int threads = 1;
    if (named && fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
        threads = countThreadsFor(st.st_size);
    } else {
        widenInputPipe(fd);
    }
    // An input that fails at once (a directory, say) is an error, not an
    // empty file.
    const int readErr = countInputBytes(fd, threads, counts, &total);
    if (readErr != 0) errorMsg(1, readErr, 0, "Error reading from \"%s\"", inName);
    for (size_t v = 0; v < kByteValues; ++v) {
        freq[v].value = static_cast<uint8_t>(v);
        freq[v].count = static_cast<int64_t>(counts[v]);
    }
    return total > 0;
}

// What the analysis of the input gathers and where its blocks go.
EntropyLog entropyLog;

// countInput for a part of the input, and what -e, -b and -j add: the
// threads are those of the part's length, the chart's columns are set from
// it where it is known. Returns false when nothing was counted.
bool countInputPart(FILE *in, const char *inName, bool named, const Options &options, BlockLines lines,
                    FILE *out, OrderSums *order) {
    const int fd = fileno(in);
    struct stat st;
    int threads = 1;
    std::int64_t expected = -1;
    if (named && fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
        expected = st.st_size > options.offset ? st.st_size - options.offset : 0;
        if (options.length >= 0 && options.length < expected) expected = options.length;
        threads = countThreadsFor(static_cast<off_t>(expected));
    } else {
        widenInputPipe(fd);
    }
    // The order sums only where figures that need them are written.
    const bool orderSums = options.statistics || options.json;
    AnalysisPlan plan{options.blockSize, orderSums, BlockSink{entropyLogAdd, &entropyLog}};
    entropyLogStart(entropyLog, options.blockSize > 0 ? options.blockSize : 1, options.offset, expected,
                    options.rising, options.falling, lines, out);
    const CountPart part{options.offset, options.length, analyses(options) ? &plan : nullptr};
    const int readErr = countInputPart(fd, threads, part, counts, &total);
    if (readErr != 0) errorMsg(1, readErr, 0, "Error reading from \"%s\"", inName);
    for (size_t v = 0; v < kByteValues; ++v) {
        freq[v].value = static_cast<uint8_t>(v);
        freq[v].count = static_cast<int64_t>(counts[v]);
    }
    if (part.analysis != nullptr) *order = analysisOrderSums();
    return total > 0;
}

// Returns errno of the first failed row, or 0.
int writeByFrequency(FILE *out) {
    // The sort cannot fail on 256 records but for want of memory; a table in
    // no particular order must not pass for a sorted one.
    if (timsort(freq, kByteValues, sizeof freq[0], rcmp) != 0) {
        errorMsg(1, errno, 0, "Cannot sort the table");
    }
    std::fprintf(out, "%5s %25s %7s\n", "Char", "Count", "Percent");
    std::fprintf(out, "%5s %25s %7s\n", "-----", "------------------------", "-------");
    for (const Tally &t : freq) {
        const char *name = nameBuf;
        if (t.value < 128) {
            name = asciitable[t.value];
        } else {
            std::snprintf(nameBuf, sizeof nameBuf, "0x%02X", static_cast<unsigned>(t.value));
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
    for (unsigned c = 0; c < kByteValues; ++c) {
        // Bytes from 128 up are shown as themselves.
        const char raw[2] = {static_cast<char>(c), '\0'};
        const char *name = c < 128 ? asciitable[c] : raw;
        if (std::fprintf(out, "%03u %04X %5s %25s\n", c, c, name, addSepsInt64(freq[c].count)) < 0) {
            return errno;
        }
    }
    return 0;
}

// The table for scripts: every byte value in numeric order, its count in
// plain decimal, after a header that names the columns. An empty input gives
// 256 zeros like any other, so that a script needs no second case.
int writePlainTable(FILE *out) {
    if (std::fputs("value,count\n", out) == EOF) return errno;
    for (unsigned c = 0; c < kByteValues; ++c) {
        if (std::fprintf(out, "%u,%llu\n", c, static_cast<unsigned long long>(counts[c])) < 0) {
            return errno;
        }
    }
    return 0;
}

// Whether the user's locale encodes characters in UTF-8, for the map's
// shades. Only the character type is taken from the environment: the
// figures keep the "C" locale's decimal point.
bool utf8Locale() {
    if (std::setlocale(LC_CTYPE, "") == nullptr) return false;
    return std::strcmp(nl_langinfo(CODESET), "UTF-8") == 0;
}

// The map's shades by level, each written once in the legend and twice in a
// cell, so that a cell is about as high as it is wide.
const char *const utf8Shades[kMapLevels] = {" ", "\u2591", "\u2592", "\u2593", "\u2588"};
const char *const asciiShades[kMapLevels] = {" ", ".", ":", "*", "#"};

// One line of the legend: where each shade's counts begin (a level runs up
// to where the next begins). Its widest form, for the largest counts, is 74
// columns.
int writeMapLegend(FILE *out, const char *const shades[], uint64_t most) {
    if (std::fputs("Counts: blank 0", out) == EOF) return errno;
    for (int level = 1; level < kMapLevels; ++level) {
        const uint64_t floor = mapLevelFloor(level, most);
        const int written = floor == 0 ? std::fprintf(out, ", %s -", shades[level])
                                       : std::fprintf(out, ", %s %s+", shades[level],
                                                      addSepsInt64(static_cast<int64_t>(floor)));
        if (written < 0) return errno;
    }
    return std::fputc('\n', out) == EOF ? errno : 0;
}

// The counts as a 16 x 16 map, a row per high half-byte and a column per
// low one, each cell shaded by its count on a scale of powers of two up to
// the largest count. Rows end at their last shaded cell. 51 columns wide.
int writeMap(FILE *out, bool utf8) {
    const char *const *shades = utf8 ? utf8Shades : asciiShades;
    uint64_t most = 0;
    for (uint64_t c : counts) most = c > most ? c : most;
    std::fputs("   ", out);
    for (unsigned low = 0; low < 16; ++low) std::fprintf(out, " x%X", low);
    std::fputc('\n', out);
    for (unsigned high = 0; high < 16; ++high) {
        // The label, then 16 cells of a space and two shades of up to 3 bytes.
        char row[3 + 16 * 7 + 1];
        size_t length = static_cast<size_t>(std::snprintf(row, sizeof row, "%Xx ", high));
        size_t shaded = length - 1;  // the row ends here: after the label
        for (unsigned low = 0; low < 16; ++low) {
            const int level = mapLevel(counts[high * 16 + low], most);
            length += static_cast<size_t>(std::snprintf(row + length, sizeof row - length, " %s%s",
                                                        shades[level], shades[level]));
            if (level != 0) shaded = length;
        }
        row[shaded] = '\0';
        if (std::fprintf(out, "%s\n", row) < 0) return errno;
    }
    if (std::fputc('\n', out) == EOF) return errno;
    return writeMapLegend(out, shades, most);
}

// After the table or the map: how random the bytes look.
int writeStatistics(FILE *out) {
    const ByteStats stats = byteStats(counts, static_cast<uint64_t>(total));
    const int written = std::fprintf(out,
                                     "\nEntropy: %.6f bits per byte\n"
                                     "Chi-square: %.6f with 255 degrees of freedom\n"
                                     "Arithmetic mean: %.6f\n",
                                     stats.entropy, stats.chiSquare, stats.mean);
    return written < 0 ? errno : 0;
}

// The figures that -e gives after its first three, in the words of the widely used
// random test program whose figures they are.
int writeMoreStatistics(FILE *out, const MoreStats &more) {
    std::fputs("Chi-square probability: ", out);
    if (more.chiSquareProbability < 0.01) {
        std::fputs("less than 0.01 percent of random inputs exceed it\n", out);
    } else if (more.chiSquareProbability > 99.99) {
        std::fputs("more than 99.99 percent of random inputs exceed it\n", out);
    } else {
        std::fprintf(out, "%.2f percent of random inputs exceed it\n", more.chiSquareProbability);
    }
    if (std::isnan(more.serialCorrelation)) {
        std::fputs("Serial correlation: undefined (all values equal)\n", out);
    } else {
        std::fprintf(out, "Serial correlation: %.6f\n", more.serialCorrelation);
    }
    if (std::isnan(more.pi)) {
        std::fputs("Monte Carlo value of pi: undefined (fewer than 6 bytes)\n", out);
    } else {
        std::fprintf(out, "Monte Carlo value of pi: %.9f (error %.2f percent)\n", more.pi, more.piError);
    }
    const int written = std::fprintf(out,
                                     "Optimum compression would reduce the size by %d percent\n"
                                     "Min-entropy: %.6f bits per byte\n",
                                     more.compression, more.minEntropy);
    return written < 0 ? errno : 0;
}

// The first line of the report: the input's name, and the part counted
// where only a part is.
int writeHeader(FILE *out, const char *inName, const Options &options) {
    if (!countsAPart(options)) {
        return std::fprintf(out, "In \"%s\":\nTotal: %s bytes\n\n", inName, addSepsInt64(total)) < 0 ? errno : 0;
    }
    char first[32];
    std::snprintf(first, sizeof first, "%s", addSepsInt64(options.offset));
    std::fprintf(out, "In \"%s\", bytes %s to %s:\n", inName, first, addSepsInt64(options.offset + total - 1));
    return std::fprintf(out, "Total: %s bytes\n\n", addSepsInt64(total)) < 0 ? errno : 0;
}

int writeEmptyNotice(FILE *out, const char *inName, const Options &options) {
    const int written = countsAPart(options) ? std::fprintf(out, "File %s has no bytes from offset %s on.\n",
                                                            inName, addSepsInt64(options.offset))
                                             : std::fprintf(out, "File %s is empty.\n", inName);
    return written < 0 ? errno : 0;
}

// The report of a count with any of the options that analyse the input or
// count a part of it: the blocks' lines went out during the count.
int writeAnalysedReport(FILE *out, const char *inName, const Options &options, const OrderSums &order) {
    const ByteStats stats = total > 0 ? byteStats(counts, static_cast<uint64_t>(total)) : ByteStats{};
    const MoreStats more =
        total > 0 ? moreStats(counts, static_cast<uint64_t>(total), order, stats.chiSquare) : MoreStats{};
    if (options.json) {
        return jsonEnd(out, options.blockSize > 0 ? &entropyLog : nullptr, counts, total,
                       total > 0 ? &stats : nullptr, total > 0 ? &more : nullptr);
    }
    if (options.plainTable) {
        if (options.blockSize > 0 && std::fputc('\n', out) == EOF) return errno;
        return writePlainTable(out);
    }
    if (total == 0) return writeEmptyNotice(out, inName, options);
    int err = writeHeader(out, inName, options);
    const int tableErr = options.map            ? writeMap(out, utf8Locale())
                         : options.numericOrder ? writeByValue(out)
                                                : writeByFrequency(out);
    if (err == 0) err = tableErr;
    if (err == 0 && options.statistics) err = writeStatistics(out);
    if (err == 0 && options.statistics) err = writeMoreStatistics(out, more);
    if (err == 0 && options.blockSize > 0) err = writeEntropyChart(out, entropyLog);
    if (err == 0 && options.blockSize > 0) err = writeEdges(out, entropyLog);
    return err;
}

// Counts a part of the input, analysed as the options ask, and writes the
// report; the blocks' lines (-c) and JSON entries (-j) as they come.
// Returns errno of the first failed write, or 0.
int countAndReport(FILE *in, const char *inName, FILE *out, const Options &options) {
    BlockLines lines = BlockLines::none;
    int err = 0;
    if (options.json) {
        err = jsonBegin(out, inName, options.offset, options.blockSize);
        if (options.blockSize > 0) lines = BlockLines::json;
    } else if (options.plainTable && options.blockSize > 0) {
        if (std::fputs("offset,entropy\n", out) == EOF) err = errno;
        lines = BlockLines::plain;
    }
    OrderSums order{};
    countInputPart(in, inName, in != stdin, options, lines, out, &order);
    if (in != stdin && std::fclose(in) != 0) {
        errorMsg(1, errno, 0, "Error closing input: \"%s\"", inName);
    }
    if (err == 0) err = entropyLog.writeError;
    const int reportErr = writeAnalysedReport(out, inName, options, order);
    return err != 0 ? err : reportErr;
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
    const ParsedOptions<Options> parsed = parseOptions(argc, argv);
    switch (parsed.ending) {
    case ParseEnding::run:
        break;
    case ParseEnding::banner:
        printVersionBanner(buildText, ".");  // checks its own output
        return 0;
    case ParseEnding::help:
        std::printf(helpText, progName, progName, progName, progName);
        checkOutput(stdout, standardOutputName);
        return 0;
    case ParseEnding::misuse:
    case ParseEnding::failure:
        // errorMsg with a status does not return.
        errorMsg(1, 0, parsed.ending == ParseEnding::misuse ? 1 : 0, "%s", parsed.message.c_str());
        return 1;
    }
    const Options &options = parsed.options;

    FILE *in = stdin;
    const char *inName = standardInputName;
    if (options.inName) {
        inName = options.inName;
        in = std::fopen(inName, "rb");
        if (in == nullptr) errorMsg(1, errno, 1, "Cannot open \"%s\" for input", inName);
    }
    FILE *out = stdout;
    const char *outName = standardOutputName;
    refuseOutputOverInput(in, options.outName, options.outName ? options.outName : standardOutputName);
    if (options.outName) {
        outName = options.outName;
        out = std::fopen(outName, "w");
        if (out == nullptr) errorMsg(1, errno, 1, "Cannot open \"%s\" for output", outName);
    }

    if (in == stdin && isatty(fileno(stdin))) {
        errorMsg(0, 0, 0, "Waiting for keyboard input...");
    }
    if (analyses(options) || countsAPart(options)) {
        finishOutput(out, outName, countAndReport(in, inName, out, options));
        return 0;
    }
    const bool any = countInput(in, inName, in != stdin);
    if (in != stdin && std::fclose(in) != 0) {
        errorMsg(1, errno, 0, "Error closing input: \"%s\"", inName);
    }

    int writeErr = 0;
    if (options.plainTable) {
        writeErr = writePlainTable(out);
    } else if (!any) {
        if (std::fprintf(out, "File %s is empty.\n", inName) < 0) writeErr = errno;
    } else {
        if (std::fprintf(out, "In \"%s\":\nTotal: %s bytes\n\n", inName, addSepsInt64(total)) < 0) {
            writeErr = errno;
        }
        int tableErr = options.map            ? writeMap(out, utf8Locale())
                       : options.numericOrder ? writeByValue(out)
                                              : writeByFrequency(out);
        if (writeErr == 0) writeErr = tableErr;
    }
    finishOutput(out, outName, writeErr);
    return 0;
}
