// The figures of a series of runs per command, its report for people (the
// statistics, the ranking of the commands and the warnings where the figures
// cannot be trusted), and the rules of those warnings.
#pragma once

#include <cstdio>

#include "series.h"
#include "statistics.h"

// Values beyond this many interquartile ranges outside the quartiles are
// outliers (the far-out values of a box plot): timings are skewed to the
// slow side, and the nearer fence of 1.5 ranges would flag a few runs of
// nearly every series.
constexpr double kOutlierRanges = 3.0;

// A first counted run slower than this many times the median of the others
// is taken for one that met cold caches.
constexpr double kColdFactor = 1.5;

// A mean shorter than this many times the timer's own overhead is mostly
// the overhead.
constexpr double kOverheadFactor = 10.0;

// The significance level of the rank test.
constexpr double kSignificance = 0.05;

// The figures of one command's counted runs. The times are of the runs that
// ended within the time limit (a run that was ended at the limit has no time
// of its own to give).
struct CommandFigures {
    long counted = 0;          // counted runs made
    long failed = 0;           // of them, failed (timed-out ones included)
    long timedOut = 0;         // of them, ended at the time limit
    double *walls = nullptr;   // the finished runs' wall times, in the order they ran
    Summary wall;              // their summary; wall.count == 0 when none finished
    double userMean = 0;
    double systemMean = 0;
    bool memoryKnown = false;  // whether the peaks are each run's own
    double memoryMedian = 0;   // KiB
    long memoryMax = 0;        // KiB
    int outliers = 0;
    double coldRatio = 0;      // the first counted run over the others' median; 0 with fewer than 3
};

// The figures of each command, in the order of the commands.
CommandFigures *computeFigures(const Series &series);

// The commands that have finished runs, fastest mean first; returns how many.
int rankByMean(const Series &series, const CommandFigures *figures, int *order);

// Writes the report: each command's figures, then the ranking with the
// significance of each difference. With `resourceUsage`, the processor
// times and peak memory too.
void writeSeriesReport(FILE *stream, const Series &series, const CommandFigures *figures, bool resourceUsage);

// Writes a warning, after the report and with it, for every figure that
// cannot be trusted: outliers, a cold first run, runs too short against the
// timer's overhead.
void writeWarnings(FILE *stream, const Series &series, const CommandFigures *figures);

// `value` with a comma between each group of three digits, in a static
// buffer that the next call overwrites.
const char *groupedThousands(long long value);
