// A series of timed runs of one or more commands: warm-up runs first, then
// the counted runs, the commands interleaved (A, B, A, B, ...) so that a slow
// drift of the machine falls on each alike. Every run is started, forwarded
// to and waited for as a single run is, and measured by its own wait.
#pragma once

#include <sys/types.h>

// The largest number of runs in one series, warm-up runs included: the
// record of each run stays in memory (56 bytes on a 64-bit system), and what
// the timer holds at a fork counts into the command's peak memory.
constexpr long kMaxSeriesRuns = 1000000;

// How long a run that outlived its time limit has between SIGTERM and
// SIGKILL.
constexpr double kGraceSeconds = 1.0;

// How the series is run.
struct SeriesSettings {
    long runs = 1;              // counted runs of each command
    long warmups = 0;           // warm-up runs of each command, timed but not counted
    bool ignoreFailures = false;  // a failed run is counted and the series goes on
    double timeLimit = 0;       // seconds a run may last; 0 for no limit
    bool progress = false;      // a progress line on standard error
};

// One run as it ended.
struct RunRecord {
    int command = 0;        // which command, from 0
    long number = 0;        // from 1, among the command's warm-up or counted runs
    bool warmup = false;
    bool timedOut = false;  // ended past the time limit
    int status = 0;         // the wait status
    double wall = 0;        // seconds
    double user = 0;        // seconds of processor time in user mode
    double system = 0;      // seconds of processor time in system mode
    long peakKiB = -1;      // peak resident memory; -1 where it is not the run's own
};

// The commands, each a null-terminated argument vector, and every run in the
// order the runs were made.
struct Series {
    char ***commands = nullptr;
    char **names = nullptr;  // each command as its words with a space between
    int commandCount = 0;
    SeriesSettings settings;
    RunRecord *records = nullptr;
    long recordCount = 0;
    double overhead = 0;     // the timer's own share of a run's time, in seconds
    bool stopped = false;    // a failed run ended the series early
};

// Splits `arguments` (a null-terminated vector of strings from malloc) into
// the series' commands at every argument that is `separator`; the
// separators are freed and become the commands' terminating nulls, so that
// the caller, who frees what is left, loses none. Returns false when a
// command would be empty (a separator first, last or twice in a row). Ends
// the process when memory runs out.
bool splitCommands(char **arguments, const char *separator, Series *series);

// Whether a run failed: ended with a status other than 0, by a signal, or
// past its time limit.
bool runFailed(const RunRecord &record);

// The timer's own share of every measured interval: the median time of a
// child that is started and ends at once, measured before the first run
// while signals are still held. Negative when the clock cannot be read.
double measureOverhead();

// Runs the series: warm-ups, then the counted runs, interleaved. A failed
// run ends it (series->stopped) unless failures are ignored. Ends the
// process on a failure of the system calls, as a single run does.
void runSeries(Series *series);
