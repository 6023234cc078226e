// What the counts of the 256 byte values say about the data: how random it
// looks (entropy, a chi-square test against equally likely bytes, the mean). Every figure is worked out in double
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

