// The figures and the report of a series of runs; see seriesReport.h.
#include "seriesReport.h"

#include <cmath>
#include <cstdlib>

#include "error.h"

namespace {

// One unit for all of a command's figures, chosen by its mean so that they
// read easily: microseconds below a millisecond, milliseconds below a
// second, seconds from there on.
struct Unit {
    const char *name;
    double perSecond;
};

Unit unitFor(double seconds) {
    if (seconds < 1e-3) return {"\xC2\xB5s", 1e6};
    if (seconds < 1) return {"ms", 1e3};
    return {"s", 1};
}

void *allocate(size_t count, size_t size) {
    void *memory = std::malloc(count * size + 1);
    if (memory == nullptr) error(1, 0, "ERROR: cannot summarize the runs: no memory.");
    return memory;
}

// The median of the finished counted runs' peaks, and the largest.
void memoryFigures(const Series &series, int command, CommandFigures *figures) {
    double *peaks = static_cast<double *>(allocate(static_cast<size_t>(series.recordCount), sizeof(double)));
    int count = 0;
    for (long i = 0; i < series.recordCount; ++i) {
        const RunRecord &record = series.records[i];
        if (record.command != command || record.warmup || record.timedOut) continue;
        if (record.peakKiB < 0) {
            count = 0;
            break;
        }
        peaks[count++] = static_cast<double>(record.peakKiB);
    }
    if (count > 0) {
        Summary peak = summarize(peaks, count, peaks);
        figures->memoryKnown = true;
        figures->memoryMedian = peak.median;
        figures->memoryMax = static_cast<long>(peak.max);
    }
    std::free(peaks);
}

// The first counted run against the median of the others.
double coldRatio(const double *walls, int count) {
    if (count < 3) return 0;
    double *others = static_cast<double *>(allocate(static_cast<size_t>(count), sizeof(double)));
    Summary rest = summarize(walls + 1, count - 1, others);
    std::free(others);
    return rest.median > 0 ? walls[0] / rest.median : 0;
}

void figuresOf(const Series &series, int command, CommandFigures *figures) {
    figures->walls = static_cast<double *>(allocate(static_cast<size_t>(series.recordCount), sizeof(double)));
    int finished = 0;
    double user = 0;
    double system = 0;
    for (long i = 0; i < series.recordCount; ++i) {
        const RunRecord &record = series.records[i];
        if (record.command != command || record.warmup) continue;
        ++figures->counted;
        figures->failed += runFailed(record);
        figures->timedOut += record.timedOut;
        if (record.timedOut) continue;
        figures->walls[finished++] = record.wall;
        user += record.user;
        system += record.system;
    }
    if (finished == 0) return;
    double *sorted = static_cast<double *>(allocate(static_cast<size_t>(finished), sizeof(double)));
    figures->wall = summarize(figures->walls, finished, sorted);
    std::free(sorted);
    figures->userMean = user / finished;
    figures->systemMean = system / finished;
    figures->outliers = countOutliers(figures->walls, finished, figures->wall, kOutlierRanges);
    figures->coldRatio = coldRatio(figures->walls, finished);
    memoryFigures(series, command, figures);
}

void writeTimes(FILE *stream, const CommandFigures &figures, const Unit &unit) {
    const Summary &wall = figures.wall;
    double scale = unit.perSecond;
    if (wall.count > 1) {
        std::fprintf(stream, "  wall time: %.3f %s \xC2\xB1 %.3f %s (median %.3f %s, min %.3f %s, max %.3f %s)\n",
                     wall.mean * scale, unit.name, wall.stddev * scale, unit.name, wall.median * scale, unit.name,
                     wall.min * scale, unit.name, wall.max * scale, unit.name);
    } else {
        std::fprintf(stream, "  wall time: %.3f %s (one run)\n", wall.mean * scale, unit.name);
    }
}

void writeUsage(FILE *stream, const CommandFigures &figures, const Unit &unit) {
    std::fprintf(stream, "  CPU time: %.3f %s user, %.3f %s system (means)\n", figures.userMean * unit.perSecond,
                 unit.name, figures.systemMean * unit.perSecond, unit.name);
    if (!figures.memoryKnown) {
        std::fprintf(stream, "  peak memory: not known per run on this system\n");
        return;
    }
    std::fprintf(stream, "  peak memory: %s KiB median, ", groupedThousands(std::llround(figures.memoryMedian)));
    std::fprintf(stream, "%s KiB largest\n", groupedThousands(figures.memoryMax));
}

void writeCommand(FILE *stream, const Series &series, int command, const CommandFigures &figures,
                  bool resourceUsage) {
    std::fprintf(stream, "\n\"%s\": %ld run%s", series.names[command], figures.counted,
                 figures.counted == 1 ? "" : "s");
    long warmups = series.settings.warmups;
    if (warmups > 0) std::fprintf(stream, " (and %ld warm-up run%s, not counted)", warmups, warmups == 1 ? "" : "s");
    std::fprintf(stream, "\n");
    if (figures.wall.count == 0) {
        std::fprintf(stream, "  wall time: none, no run ended within the time limit\n");
    } else {
        Unit unit = unitFor(figures.wall.mean);
        writeTimes(stream, figures, unit);
        if (resourceUsage) writeUsage(stream, figures, unit);
    }
    if (figures.failed > 0) {
        std::fprintf(stream, "  failed: %ld of %ld runs", figures.failed, figures.counted);
        if (figures.timedOut > 0) {
            std::fprintf(stream, ", %ld of them timed out (not in the times)", figures.timedOut);
        }
        std::fprintf(stream, "\n");
    }
}

// "B ran 1.23 ± 0.04 times as fast as A", and whether the rank test finds
// the difference significant.
void writeComparison(FILE *stream, const Series &series, const CommandFigures *figures, int fastest, int other) {
    Ratio ratio = speedRatio(figures[other].wall, figures[fastest].wall);
    RankTest test = mannWhitney(figures[fastest].walls, figures[fastest].wall.count, figures[other].walls,
                                figures[other].wall.count);
    char p[40];
    if (test.p < 0.0001) {
        std::snprintf(p, sizeof p, "p < 0.0001");
    } else {
        std::snprintf(p, sizeof p, "p = %.4f", test.p);
    }
    const char *level = test.p < 0.0001 ? "" : test.p < kSignificance ? " < 0.05" : " >= 0.05";
    std::fprintf(stream, "  %.2f \xC2\xB1 %.2f times as fast as \"%s\": %s (Mann-Whitney U test, %s%s)\n",
                 ratio.value, ratio.uncertainty, series.names[other],
                 test.p < kSignificance ? "significant" : "not significant", p, level);
}

}  // namespace

const char *groupedThousands(long long value) {
    static char text[40];
    char digits[24];
    int count = std::snprintf(digits, sizeof digits, "%lld", value < 0 ? 0LL : value);
    size_t out = 0;
    for (int i = 0; i < count; ++i) {
        if (i > 0 && (count - i) % 3 == 0) text[out++] = ',';
        text[out++] = digits[i];
    }
    text[out] = '\0';
    return text;
}

CommandFigures *computeFigures(const Series &series) {
    auto *figures = static_cast<CommandFigures *>(allocate(static_cast<size_t>(series.commandCount),
                                                           sizeof(CommandFigures)));
    for (int command = 0; command < series.commandCount; ++command) {
        figures[command] = CommandFigures();
        figuresOf(series, command, &figures[command]);
    }
    return figures;
}

int rankByMean(const Series &series, const CommandFigures *figures, int *order) {
    int ranked = 0;
    for (int command = 0; command < series.commandCount; ++command) {
        if (figures[command].wall.count == 0) continue;
        int at = ranked++;
        while (at > 0 && figures[order[at - 1]].wall.mean > figures[command].wall.mean) {
            order[at] = order[at - 1];
            --at;
        }
        order[at] = command;
    }
    return ranked;
}

void writeSeriesReport(FILE *stream, const Series &series, const CommandFigures *figures, bool resourceUsage) {
    for (int command = 0; command < series.commandCount; ++command) {
        writeCommand(stream, series, command, figures[command], resourceUsage);
    }
    if (series.commandCount < 2) return;
    int *order = static_cast<int *>(allocate(static_cast<size_t>(series.commandCount), sizeof(int)));
    int ranked = rankByMean(series, figures, order);
    if (ranked >= 2) {
        std::fprintf(stream, "\n\"%s\" ran\n", series.names[order[0]]);
        for (int i = 1; i < ranked; ++i) writeComparison(stream, series, figures, order[0], order[i]);
    }
    std::free(order);
}

void writeWarnings(FILE *stream, const Series &series, const CommandFigures *figures) {
    for (int command = 0; command < series.commandCount; ++command) {
        const CommandFigures &f = figures[command];
        const char *name = series.names[command];
        if (f.wall.count == 0) continue;
        if (f.outliers > 0) {
            std::fprintf(stream,
                         "%s: warning: %d of %d runs of \"%s\" lie more than %g interquartile ranges outside the "
                         "quartiles; a busy machine or an uneven command: the median resists them, the mean does "
                         "not\n",
                         progName, f.outliers, f.wall.count, name, kOutlierRanges);
        }
        if (f.coldRatio > kColdFactor) {
            std::fprintf(stream,
                         "%s: warning: the first counted run of \"%s\" took %.1f times the median of the others "
                         "(cold caches?): warm-up runs (-w) leave such a run out\n",
                         progName, name, f.coldRatio);
        }
        if (series.overhead > 0 && f.wall.mean < kOverheadFactor * series.overhead) {
            Unit unit = unitFor(series.overhead);
            std::fprintf(stream,
                         "%s: warning: runs of \"%s\" last less than %g times the timer's own overhead of %.3f %s "
                         "(a child started that ends at once): the figures are mostly that of starting a "
                         "process\n",
                         progName, name, kOverheadFactor, series.overhead * unit.perSecond, unit.name);
        }
    }
}
