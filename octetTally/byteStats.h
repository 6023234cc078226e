// What the counts of the 256 byte values say about the data: how random it
// looks (entropy, a chi-square test against equally likely bytes, the mean)
// and the shade levels of the byte map. Every figure is worked out in double
// precision in one fixed order from plain arithmetic, so that one input gives
// the same printed figures on every processor.
#pragma once

#include <cstdint>

struct ByteStats {
    double entropy;    // Shannon entropy in bits per byte, 0 to 8
    double chiSquare;  // against 256 equally likely values, 255 degrees of freedom
    double mean;       // arithmetic mean of the bytes
};

// The statistics of `total` bytes (more than 0) counted into `counts`.
ByteStats byteStats(const uint64_t counts[256], uint64_t total);

// The map's shades: level 0 for a count of 0, otherwise 1 to 4 on a scale of
// powers of two that puts `most` (the largest count, at least 1) at level 4.
constexpr int kMapLevels = 5;
int mapLevel(uint64_t count, uint64_t most);
// The lowest count at `level` (1 to 4) on the scale of `most`, always a power
// of two; 0 when no count reaches that level.
uint64_t mapLevelFloor(int level, uint64_t most);
