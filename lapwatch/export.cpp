// A series of runs as JSON or CSV; see export.h.
#include "export.h"

#include <sys/wait.h>

#include <cmath>
#include <cstdlib>

namespace {

// The length of the valid UTF-8 sequence at `text`, or 0 when its first byte
// starts none: no overlong forms, no surrogates, nothing past U+10FFFF.
int utf8Length(const unsigned char *text) {
    unsigned char lead = text[0];
    int length = lead < 0x80 ? 1 : lead >= 0xC2 && lead <= 0xDF ? 2 : lead >= 0xE0 && lead <= 0xEF ? 3
                                                                   : lead >= 0xF0 && lead <= 0xF4 ? 4 : 0;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
    for (int i = 1; i < length; ++i) {
        unsigned char next = text[i];
        if (next < (i == 1 ? low : 0x80) || next > (i == 1 ? high : 0xBF)) return 0;
    }
    return length;
}

// A command's summary in seconds, in the order of these names; NaN for
// each when no run finished.
const char *const summaryNames[] = {"mean", "stddev", "median", "min", "max", "user_mean", "system_mean"};
constexpr int kSummaryFigures = sizeof summaryNames / sizeof summaryNames[0];

void summaryFigures(const CommandFigures &f, double (&figures)[kSummaryFigures]) {
    const double known[kSummaryFigures] = {f.wall.mean, f.wall.stddev, f.wall.median, f.wall.min,
                                           f.wall.max,  f.userMean,    f.systemMean};
    for (int i = 0; i < kSummaryFigures; ++i) figures[i] = f.wall.count > 0 ? known[i] : NAN;
}

// Seconds as a plain decimal to the nanosecond; null for what is not known.
void writeSeconds(FILE *stream, double seconds) {
    if (std::isfinite(seconds)) {
        std::fprintf(stream, "%.9f", seconds);
    } else {
        std::fprintf(stream, "null");
    }
}

void writeJsonSummary(FILE *stream, const Series &series, int command, const CommandFigures &f) {
    std::fprintf(stream, "    {\"command\": ");
    writeJsonString(stream, series.names[command]);
    std::fprintf(stream, ", \"arguments\": [");
    for (char **word = series.commands[command]; *word != nullptr; ++word) {
        if (word != series.commands[command]) std::fprintf(stream, ", ");
        writeJsonString(stream, *word);
    }
    std::fprintf(stream, "],\n     \"runs\": %ld, \"failed\": %ld, \"timed_out\": %ld", f.counted, f.failed,
                 f.timedOut);
    double figures[kSummaryFigures];
    summaryFigures(f, figures);
    for (int i = 0; i < kSummaryFigures; ++i) {
        std::fprintf(stream, ", \"%s\": ", summaryNames[i]);
        writeSeconds(stream, figures[i]);
    }
    if (f.memoryKnown) {
        std::fprintf(stream, ", \"peak_memory_median_kib\": %.1f, \"peak_memory_max_kib\": %ld", f.memoryMedian,
                     f.memoryMax);
    } else {
        std::fprintf(stream, ", \"peak_memory_median_kib\": null, \"peak_memory_max_kib\": null");
    }
    std::fprintf(stream, ", \"outliers\": %d}", f.outliers);
}

void writeJsonComparisons(FILE *stream, const Series &series, const CommandFigures *figures) {
    int *order = static_cast<int *>(std::malloc(static_cast<size_t>(series.commandCount) * sizeof(int)));
    int ranked = order == nullptr ? 0 : rankByMean(series, figures, order);
    std::fprintf(stream, "  \"comparisons\": [");
    for (int i = 1; i < ranked; ++i) {
        const CommandFigures &faster = figures[order[0]];
        const CommandFigures &slower = figures[order[i]];
        Ratio ratio = speedRatio(slower.wall, faster.wall);
        RankTest test = mannWhitney(faster.walls, faster.wall.count, slower.walls, slower.wall.count);
        std::fprintf(stream, "%s\n    {\"faster\": ", i > 1 ? "," : "");
        writeJsonString(stream, series.names[order[0]]);
        std::fprintf(stream, ", \"slower\": ");
        writeJsonString(stream, series.names[order[i]]);
        std::fprintf(stream,
                     ", \"ratio\": %.6f, \"ratio_stddev\": %.6f, \"test\": \"Mann-Whitney U\", \"exact\": %s, "
                     "\"u\": %.1f, \"p\": %.6g, \"significant\": %s}",
                     ratio.value, ratio.uncertainty, test.exact ? "true" : "false", test.u, test.p,
                     test.p < kSignificance ? "true" : "false");
    }
    std::fprintf(stream, "%s],\n", ranked > 1 ? "\n  " : "");
    std::free(order);
}

void writeJsonRun(FILE *stream, const Series &series, const RunRecord &record) {
    std::fprintf(stream, "    {\"command\": ");
    writeJsonString(stream, series.names[record.command]);
    std::fprintf(stream, ", \"run\": %ld, \"warmup\": %s, \"wall\": ", record.number, record.warmup ? "true" : "false");
    writeSeconds(stream, record.wall);
    std::fprintf(stream, ", \"user\": %.6f, \"system\": %.6f, \"peak_memory_kib\": ", record.user, record.system);
    if (record.peakKiB >= 0) {
        std::fprintf(stream, "%ld", record.peakKiB);
    } else {
        std::fprintf(stream, "null");
    }
    if (WIFEXITED(record.status)) {
        std::fprintf(stream, ", \"exit_status\": %d, \"signal\": null", WEXITSTATUS(record.status));
    } else {
        std::fprintf(stream, ", \"exit_status\": null, \"signal\": %d", WTERMSIG(record.status));
    }
    std::fprintf(stream, ", \"timed_out\": %s}", record.timedOut ? "true" : "false");
}

// A field of CSV: in quotes, each quote doubled.
void writeCsvText(FILE *stream, const char *text) {
    std::fputc('"', stream);
    for (const char *c = text; *c != '\0'; ++c) {
        if (*c == '"') std::fputc('"', stream);
        std::fputc(*c, stream);
    }
    std::fputc('"', stream);
}

void writeCsvSeconds(FILE *stream, double seconds) {
    if (std::isfinite(seconds)) std::fprintf(stream, "%.9f", seconds);
}

// The summary row: the means where a run row has its times, the median
// peak where it has its peak, the counts of timed-out and failed runs, then
// the columns of the summary alone.
void writeCsvSummary(FILE *stream, const Series &series, int command, const CommandFigures &f) {
    double figures[kSummaryFigures];
    summaryFigures(f, figures);
    std::fprintf(stream, "summary,");
    writeCsvText(stream, series.names[command]);
    std::fprintf(stream, ",%ld,", f.counted);
    const int means[] = {0, 5, 6};
    const int spread[] = {1, 2, 3, 4};
    for (int i : means) {
        std::fprintf(stream, ",");
        writeCsvSeconds(stream, figures[i]);
    }
    std::fprintf(stream, ",");
    if (f.memoryKnown) std::fprintf(stream, "%.1f", f.memoryMedian);
    std::fprintf(stream, ",,,%ld,%ld", f.timedOut, f.failed);
    for (int i : spread) {
        std::fprintf(stream, ",");
        writeCsvSeconds(stream, figures[i]);
    }
    std::fprintf(stream, ",");
    if (f.memoryKnown) std::fprintf(stream, "%ld", f.memoryMax);
    std::fprintf(stream, "\n");
}

void writeCsvRun(FILE *stream, const Series &series, const RunRecord &record) {
    std::fprintf(stream, "run,");
    writeCsvText(stream, series.names[record.command]);
    std::fprintf(stream, ",%ld,%s,", record.number, record.warmup ? "true" : "false");
    writeCsvSeconds(stream, record.wall);
    std::fprintf(stream, ",%.6f,%.6f,", record.user, record.system);
    if (record.peakKiB >= 0) std::fprintf(stream, "%ld", record.peakKiB);
    if (WIFEXITED(record.status)) {
        std::fprintf(stream, ",%d,", WEXITSTATUS(record.status));
    } else {
        std::fprintf(stream, ",,%d", WTERMSIG(record.status));
    }
    std::fprintf(stream, ",%d,%d,,,,,\n", record.timedOut ? 1 : 0, runFailed(record) ? 1 : 0);
}

}  // namespace

void writeJsonString(FILE *stream, const char *text) {
    std::fputc('"', stream);
    const auto *c = reinterpret_cast<const unsigned char *>(text);
    while (*c != '\0') {
        int length = utf8Length(c);
        if (length == 0) {
            std::fputs("\\ufffd", stream);
            ++c;
        } else if (*c == '"' || *c == '\\') {
            std::fprintf(stream, "\\%c", *c++);
        } else if (*c < 0x20) {
            std::fprintf(stream, "\\u%04x", *c++);
        } else {
            std::fwrite(c, 1, static_cast<size_t>(length), stream);
            c += length;
        }
    }
    std::fputc('"', stream);
}

void writeJson(FILE *stream, const Series &series, const CommandFigures *figures) {
    std::fprintf(stream, "{\n  \"timer_overhead\": ");
    writeSeconds(stream, series.overhead >= 0 ? series.overhead : NAN);
    std::fprintf(stream, ",\n  \"runs_per_command\": %ld,\n  \"warmups_per_command\": %ld,\n  \"time_limit\": ",
                 series.settings.runs, series.settings.warmups);
    writeSeconds(stream, series.settings.timeLimit > 0 ? series.settings.timeLimit : NAN);
    std::fprintf(stream, ",\n  \"stopped\": %s,\n  \"commands\": [\n", series.stopped ? "true" : "false");
    for (int command = 0; command < series.commandCount; ++command) {
        writeJsonSummary(stream, series, command, figures[command]);
        std::fprintf(stream, "%s\n", command + 1 < series.commandCount ? "," : "");
    }
    std::fprintf(stream, "  ],\n");
    writeJsonComparisons(stream, series, figures);
    std::fprintf(stream, "  \"runs\": [\n");
    for (long i = 0; i < series.recordCount; ++i) {
        writeJsonRun(stream, series, series.records[i]);
        std::fprintf(stream, "%s\n", i + 1 < series.recordCount ? "," : "");
    }
    std::fprintf(stream, "  ]\n}\n");
}

void writeCsv(FILE *stream, const Series &series, const CommandFigures *figures) {
    std::fprintf(stream, "kind,command,run,warmup,wall,user,system,peak_memory_kib,exit_status,signal,timed_out,"
                         "failed,stddev,median,min,max,peak_memory_max_kib\n");
    for (long i = 0; i < series.recordCount; ++i) writeCsvRun(stream, series, series.records[i]);
    for (int command = 0; command < series.commandCount; ++command) {
        writeCsvSummary(stream, series, command, figures[command]);
    }
}
