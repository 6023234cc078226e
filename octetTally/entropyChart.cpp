// See entropyChart.h. Edges follow the usual rule with two thresholds, so
// that entropy wavering about one of them gives one edge, not one a block:
// an edge rises where a block reaches the rising threshold after the input
// began, or fell, below it; it falls where a block reaches the falling
// threshold (or less) after a rising edge.
#include "entropyChart.h"

#include <cerrno>
#include <cinttypes>
#include <cstring>

#include "addSeparators.h"

namespace {

constexpr int kMargin = 5;      // "  8 |"
constexpr int kTickEvery = 16;  // characters between offset labels

void mergeColumns(EntropyLog &log) {
    const int merged = (log.columns + 1) / 2;
    for (int c = 0; c < merged; ++c) {
        double low = log.low[2 * c];
        double high = log.high[2 * c];
        if (2 * c + 1 < log.columns) {
            low = log.low[2 * c + 1] < low ? log.low[2 * c + 1] : low;
            high = log.high[2 * c + 1] > high ? log.high[2 * c + 1] : high;
        }
        log.low[c] = low;
        log.high[c] = high;
    }
    log.columns = merged;
    log.blocksPerColumn *= 2;
}

void addToChart(EntropyLog &log, double entropy) {
    std::int64_t column = log.blocks / log.blocksPerColumn;
    while (column >= kChartColumns) {
        mergeColumns(log);
        column = log.blocks / log.blocksPerColumn;
    }
    const int c = static_cast<int>(column);
    if (c == log.columns) {
        log.low[c] = entropy;
        log.high[c] = entropy;
        log.columns = c + 1;
    } else {
        log.low[c] = entropy < log.low[c] ? entropy : log.low[c];
        log.high[c] = entropy > log.high[c] ? entropy : log.high[c];
    }
}

void addEdge(EntropyLog &log, std::int64_t offset, double entropy) {
    const bool rises = !log.above && entropy >= log.rising;
    const bool falls = log.above && entropy <= log.falling;
    if (!rises && !falls) return;
    log.above = rises;
    if (log.edgeCount < kEdgesListed) log.edges[log.edgeCount] = Edge{offset, entropy, rises};
    ++log.edgeCount;
}

void writeLine(EntropyLog &log, std::int64_t offset, double entropy) {
    int written = 0;
    if (log.lines == BlockLines::plain) {
        written = std::fprintf(log.out, "%" PRId64 ",%.6f\n", offset, entropy);
    } else {
        written = std::fprintf(log.out, "%s\n    {\"offset\": %" PRId64 ", \"entropy\": %.6f}",
                               log.blocks == 0 ? "" : ",", offset, entropy);
    }
    if (written < 0 && log.writeError == 0) log.writeError = errno;
}

// The row of the chart at `row` (0 at the bottom): a label every five rows
// and 2, 4, 6, 8 bits beside theirs.
int writeChartRow(FILE *out, const EntropyLog &log, int row, int width) {
    char line[kMargin + kChartColumns + 2];
    const int label = row == kChartRows - 1 ? 8 : row % 5 == 0 ? row / 5 * 2 : -1;
    if (label >= 0) {
        std::snprintf(line, sizeof line, "%3d |", label);
    } else {
        std::snprintf(line, sizeof line, "    |");
    }
    int end = kMargin;
    for (int c = 0; c < log.columns; ++c) {
        const int low = chartRow(log.low[c]);
        const int high = chartRow(log.high[c]);
        const char mark = row > high ? ' ' : row >= low ? '#' : '.';
        for (int i = 0; i < width; ++i) line[end++] = mark;
    }
    while (end > kMargin && line[end - 1] == ' ') --end;
    line[end] = '\0';
    return std::fprintf(out, "%s\n", line) < 0 ? errno : 0;
}

// The axis with a tick every kTickEvery characters, and under it each
// tick's offset in hexadecimal and in KiB, MiB, GiB.
int writeAxis(FILE *out, const EntropyLog &log, int width, int chars) {
    char axis[kMargin + kChartColumns + 2];
    char hex[kMargin + kChartColumns + 24];
    char human[kMargin + kChartColumns + 24];
    std::memset(axis, '-', sizeof axis);
    std::memset(hex, ' ', sizeof hex);
    std::memset(human, ' ', sizeof human);
    std::memcpy(axis, "    +", kMargin);
    // The chart is never wider than its columns; said here so that the
    // compiler sees the axis fit too.
    if (chars > kChartColumns) chars = kChartColumns;
    if (chars < 0) chars = 0;
    int hexEnd = 0;
    int humanEnd = 0;
    for (int at = 0; at < chars; at += kTickEvery) {
        if (at > 0) axis[kMargin + at] = '+';
        const std::int64_t offset = log.start + at / width * log.blocksPerColumn * log.blockSize;
        char text[32];
        const int pos = kMargin + at;
        std::snprintf(text, sizeof text, "0x%" PRIX64, static_cast<std::uint64_t>(offset));
        std::memcpy(hex + pos, text, std::strlen(text));
        hexEnd = pos + static_cast<int>(std::strlen(text));
        humanOffset(offset, text, sizeof text);
        std::memcpy(human + pos, text, std::strlen(text));
        humanEnd = pos + static_cast<int>(std::strlen(text));
    }
    axis[kMargin + chars] = '\0';
    hex[hexEnd] = '\0';
    human[humanEnd] = '\0';
    return std::fprintf(out, "%s\n%s\n%s\n", axis, hex, human) < 0 ? errno : 0;
}

}  // namespace

int chartRow(double entropy) {
    const int row = static_cast<int>(entropy * (kChartRows / 8.0));
    return row < 0 ? 0 : row >= kChartRows ? kChartRows - 1 : row;
}

void humanOffset(std::int64_t offset, char *text, std::size_t size) {
    static const char *const units[] = {"KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
    const std::uint64_t value = static_cast<std::uint64_t>(offset);
    if (value < 1024) {
        std::snprintf(text, size, "%" PRIu64 " B", value);
        return;
    }
    int u = 0;
    std::uint64_t unit = 1024;
    while (u < 5 && value / unit >= 1024) {
        unit *= 1024;
        ++u;
    }
    std::uint64_t whole = value / unit;
    std::uint64_t tenth = (value % unit * 10 + unit / 2) / unit;
    if (tenth == 10) {
        ++whole;
        tenth = 0;
    }
    if (tenth == 0) {
        std::snprintf(text, size, "%" PRIu64 " %s", whole, units[u]);
    } else {
        std::snprintf(text, size, "%" PRIu64 ".%" PRIu64 " %s", whole, tenth, units[u]);
    }
}

void entropyLogStart(EntropyLog &log, std::int64_t blockSize, std::int64_t start, std::int64_t expected,
                     double rising, double falling, BlockLines lines, FILE *out) {
    std::memset(&log, 0, sizeof log);
    log.blockSize = blockSize;
    log.start = start;
    log.blocksPerColumn = 1;
    if (expected > 0) {
        const std::int64_t blocks = (expected - 1) / blockSize + 1;
        log.blocksPerColumn = (blocks - 1) / kChartColumns + 1;
    }
    log.rising = rising;
    log.falling = falling;
    log.lines = lines;
    log.out = out;
}

void entropyLogAdd(void *context, std::int64_t offset, double entropy, std::int64_t bytes) {
    EntropyLog &log = *static_cast<EntropyLog *>(context);
    const std::int64_t at = log.start + offset;
    if (log.lines != BlockLines::none) writeLine(log, at, entropy);
    addToChart(log, entropy);
    addEdge(log, at, entropy);
    log.lastBytes = bytes;
    ++log.blocks;
}

int writeEntropyChart(FILE *out, const EntropyLog &log) {
    const int width = log.columns > 0 ? kChartColumns / log.columns : 1;
    const int chars = log.columns * width;
    char size[32];
    char blocks[32];
    humanOffset(log.blockSize, size, sizeof size);
    std::snprintf(blocks, sizeof blocks, "%s", addSepsInt64(log.blocks));
    std::fprintf(out, "\nEntropy along the input, in bits per byte: %s block%s of %s bytes (%s)", blocks,
                 log.blocks == 1 ? "" : "s", addSepsInt64(log.blockSize), size);
    if (log.lastBytes != log.blockSize) {
        std::fprintf(out, ",\nthe last of %s bytes", addSepsInt64(log.lastBytes));
    }
    const int written = log.blocksPerColumn == 1
                            ? std::fprintf(out, ".\nEach column is one block: # at its entropy, dots below.\n")
                            : std::fprintf(out, ".\nEach column covers %s blocks: # from their lowest entropy to their "
                                                "highest.\n", addSepsInt64(log.blocksPerColumn));
    if (written < 0) return errno;
    for (int row = kChartRows - 1; row >= 0; --row) {
        const int error = writeChartRow(out, log, row, width);
        if (error != 0) return error;
    }
    return writeAxis(out, log, width, chars);
}

int writeEdges(FILE *out, const EntropyLog &log) {
    if (std::fprintf(out, "\nEdges (rising to %.3f bits per byte or more, falling to %.3f or less): %s\n",
                     log.rising, log.falling, log.edgeCount == 0 ? "none" : addSepsInt64(log.edgeCount)) < 0) {
        return errno;
    }
    const std::int64_t listed = log.edgeCount < kEdgesListed ? log.edgeCount : kEdgesListed;
    for (std::int64_t e = 0; e < listed; ++e) {
        const Edge &edge = log.edges[e];
        char hex[32];
        char human[32];
        std::snprintf(hex, sizeof hex, "0x%" PRIX64, static_cast<std::uint64_t>(edge.offset));
        humanOffset(edge.offset, human, sizeof human);
        if (std::fprintf(out, "%-8s %18s %12s  %.6f\n", edge.rising ? "rising" : "falling", hex, human,
                         edge.entropy) < 0) {
            return errno;
        }
    }
    if (log.edgeCount > listed &&
        std::fprintf(out, "and %s more\n", addSepsInt64(log.edgeCount - listed)) < 0) {
        return errno;
    }
    return 0;
}
