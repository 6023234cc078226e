// The report as one JSON document, for programs: the input's name, the part
// counted, the counts and every statistic, and with blocks their entropies
// (written as they come, between jsonBegin and jsonEnd). Numbers are plain
// decimals without separators, the statistics with the digits of the
// printed report; a figure that is undefined is null.
#pragma once

#include <cstdint>
#include <cstdio>

#include "byteStats.h"
#include "entropyChart.h"

// Writes the head: name, offset, and with blocks (`blockSize` above 0) the
// opening of the list of blocks. Returns 0 or errno.
int jsonBegin(FILE *out, const char *name, std::int64_t offset, std::int64_t blockSize);
// Writes the rest: with blocks the end of their list and the edges, then the
// total, the counts and, for a total above 0, the statistics. Returns 0 or
// errno.
int jsonEnd(FILE *out, const EntropyLog *log, const std::uint64_t counts[256], std::int64_t total,
            const ByteStats *stats, const MoreStats *more);
// `text` as a JSON string, quoted: bytes that are not UTF-8 become U+FFFD.
int writeJsonString(FILE *out, const char *text);
