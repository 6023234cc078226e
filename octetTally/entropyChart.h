// The entropy along an input, block by block, as it is handed on in order:
// drawn as a chart of at most 72 columns by 20 rows, each column the range
// (lowest to highest) of the blocks it covers, so that no lone block is
// averaged away; its rising and falling edges; and, for scripts, a line or a
// JSON entry per block, written as the blocks come. The chart's columns are
// a fixed array: where the blocks outnumber them, two neighbours merge into
// one and each column covers twice the blocks, so memory never grows with
// the input.
#pragma once

#include <cstdint>
#include <cstdio>

constexpr int kChartColumns = 72;
constexpr int kChartRows = 20;
// Edges listed; those past it are counted.
constexpr int kEdgesListed = 32;
// The peers' usual thresholds: 0.95 and 0.85 of 8 bits.
constexpr double kDefaultRising = 7.6;
constexpr double kDefaultFalling = 6.8;

enum class BlockLines { none, plain, json };

struct Edge {
    std::int64_t offset;
    double entropy;
    bool rising;
};

struct EntropyLog {
    std::int64_t blockSize;
    std::int64_t start;  // offset of the first block in the input
    std::int64_t blocks;
    std::int64_t lastBytes;
    double low[kChartColumns];
    double high[kChartColumns];
    int columns;
    std::int64_t blocksPerColumn;
    double rising;
    double falling;
    bool above;  // past a rising edge, not yet past a falling one
    Edge edges[kEdgesListed];
    std::int64_t edgeCount;
    BlockLines lines;
    FILE *out;
    int writeError;  // errno of the first line that failed
};

// Starts a log of blocks of `blockSize` bytes from `start`; `expected` is
// the number of bytes to come where it is known (-1 otherwise), which sets
// the blocks a column covers from the start.
void entropyLogStart(EntropyLog &log, std::int64_t blockSize, std::int64_t start, std::int64_t expected,
                     double rising, double falling, BlockLines lines, FILE *out);
// One block, in order (the BlockSink of inputAnalysis.h; `log` is an
// EntropyLog).
void entropyLogAdd(void *log, std::int64_t offset, double entropy, std::int64_t bytes);

// The chart with its heading and offset labels; returns 0 or errno.
int writeEntropyChart(FILE *out, const EntropyLog &log);
// The edges, one line each after a heading; returns 0 or errno.
int writeEdges(FILE *out, const EntropyLog &log);
// The chart row (0 at the bottom) of an entropy.
int chartRow(double entropy);
// An offset in KiB, MiB, GiB or TiB with at most one decimal ("1.5 MiB"), or
// in bytes below 1 KiB, into `text`.
void humanOffset(std::int64_t offset, char *text, std::size_t size);
