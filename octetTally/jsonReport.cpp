// See jsonReport.h.
#include "jsonReport.h"

#include <cerrno>
#include <cinttypes>
#include <cmath>

namespace {

// The length of the UTF-8 sequence at `p` (1 to 4), or 0 where it is not
// one: a lead byte followed by the right number of continuation bytes.
int utf8Length(const unsigned char *p) {
    const int length = p[0] < 0x80 ? 1 : p[0] >= 0xC2 && p[0] < 0xE0 ? 2 : p[0] >= 0xE0 && p[0] < 0xF0 ? 3
                                   : p[0] >= 0xF0 && p[0] < 0xF5 ? 4 : 0;
    for (int i = 1; i < length; ++i) {
        if ((p[i] & 0xC0) != 0x80) return 0;
    }
    return length;
}

// A figure with `places` decimals, or null.
void writeFigure(FILE *out, const char *name, double value, int places, bool last = false) {
    if (std::isnan(value)) {
        std::fprintf(out, "    \"%s\": null%s\n", name, last ? "" : ",");
    } else {
        std::fprintf(out, "    \"%s\": %.*f%s\n", name, places, value, last ? "" : ",");
    }
}

void writeStatistics(FILE *out, const ByteStats &stats, const MoreStats &more) {
    std::fputs(",\n  \"statistics\": {\n", out);
    writeFigure(out, "entropy", stats.entropy, 6);
    writeFigure(out, "chiSquare", stats.chiSquare, 6);
    writeFigure(out, "chiSquareProbability", more.chiSquareProbability, 2);
    writeFigure(out, "mean", stats.mean, 6);
    writeFigure(out, "monteCarloPi", more.pi, 9);
    writeFigure(out, "monteCarloPiError", more.piError, 2);
    writeFigure(out, "serialCorrelation", more.serialCorrelation, 6);
    std::fprintf(out, "    \"compression\": %d,\n", more.compression);
    writeFigure(out, "minEntropy", more.minEntropy, 6, true);
    std::fputs("  }", out);
}

void writeEdgeList(FILE *out, const EntropyLog &log) {
    std::fputs("\n  ],\n  \"lastBlockBytes\": ", out);
    std::fprintf(out, "%" PRId64 ",\n  \"risingThreshold\": %.3f,\n  \"fallingThreshold\": %.3f,\n  \"edges\": [",
                 log.lastBytes, log.rising, log.falling);
    const std::int64_t listed = log.edgeCount < kEdgesListed ? log.edgeCount : kEdgesListed;
    for (std::int64_t e = 0; e < listed; ++e) {
        std::fprintf(out, "%s\n    {\"offset\": %" PRId64 ", \"entropy\": %.6f, \"edge\": \"%s\"}",
                     e == 0 ? "" : ",", log.edges[e].offset, log.edges[e].entropy,
                     log.edges[e].rising ? "rising" : "falling");
    }
    std::fprintf(out, "%s],\n  \"edgesNotListed\": %" PRId64, listed == 0 ? "" : "\n  ", log.edgeCount - listed);
}

}  // namespace

int writeJsonString(FILE *out, const char *text) {
    std::fputc('"', out);
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(text); *p != 0;) {
        const int length = utf8Length(p);
        if (length == 0) {
            std::fputs("\\ufffd", out);
            ++p;
        } else if (*p == '"' || *p == '\\') {
            std::fprintf(out, "\\%c", *p++);
        } else if (*p < 0x20 || *p == 0x7F) {
            std::fprintf(out, "\\u%04x", *p++);
        } else {
            std::fwrite(p, 1, static_cast<std::size_t>(length), out);
            p += length;
        }
    }
    return std::fputc('"', out) == EOF ? errno : 0;
}

int jsonBegin(FILE *out, const char *name, std::int64_t offset, std::int64_t blockSize) {
    std::fputs("{\n  \"input\": ", out);
    writeJsonString(out, name);
    std::fprintf(out, ",\n  \"offset\": %" PRId64, offset);
    if (blockSize > 0) std::fprintf(out, ",\n  \"blockSize\": %" PRId64 ",\n  \"blocks\": [", blockSize);
    return std::ferror(out) ? errno : 0;
}

int jsonEnd(FILE *out, const EntropyLog *log, const std::uint64_t counts[256], std::int64_t total,
            const ByteStats *stats, const MoreStats *more) {
    if (log != nullptr) writeEdgeList(out, *log);
    std::fprintf(out, ",\n  \"length\": %" PRId64 ",\n  \"total\": %" PRId64 ",\n  \"counts\": [", total, total);
    for (int v = 0; v < 256; ++v) {
        std::fprintf(out, "%s%s%" PRIu64, v == 0 ? "" : ",", v % 16 == 0 ? "\n    " : " ", counts[v]);
    }
    std::fputs("\n  ]", out);
    if (stats != nullptr && more != nullptr) {
        writeStatistics(out, *stats, *more);
    } else {
        std::fputs(",\n  \"statistics\": null", out);
    }
    return std::fputs("\n}\n", out) == EOF ? errno : 0;
}
