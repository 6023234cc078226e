// A series of timed runs; see series.h.
#include "series.h"

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "error.h"
#include "intervalClock.h"
#include "processCalls.h"
#include "signalPolicy.h"
#include "statistics.h"

namespace {

// The progress line on standard error: written after each run (at most ten
// times a second), so that it stands while the next run goes on, and erased
// before anything else is written.
struct Progress {
    bool on = false;
    long total = 0;
    double start = 0;
    double shownAt = -1;
    int shownLength = 0;
};

void eraseProgress(Progress *progress) {
    if (progress->shownLength == 0) return;
    std::fprintf(stderr, "\r%*s\r", progress->shownLength, "");
    progress->shownLength = 0;
}

// "run 12 of 40, about 3 s left": the time left at the pace of the runs so
// far.
void showProgress(Progress *progress, long done) {
    double now = secs();
    if (!progress->on || done >= progress->total || now < 0) return;
    if (progress->shownAt >= 0 && now - progress->shownAt < 0.1) return;
    double left = (now - progress->start) / static_cast<double>(done) * static_cast<double>(progress->total - done);
    char text[120];
    if (left < 60) {
        std::snprintf(text, sizeof text, "%s: run %ld of %ld, about %.0f s left", progName, done, progress->total,
                      left);
    } else {
        long minutes = static_cast<long>(left / 60);
        std::snprintf(text, sizeof text, "%s: run %ld of %ld, about %ld min %02ld s left", progName, done,
                      progress->total, minutes, static_cast<long>(left) - minutes * 60);
    }
    int length = static_cast<int>(std::strlen(text));
    std::fprintf(stderr, "\r%s%*s", text, progress->shownLength > length ? progress->shownLength - length : 0, "");
    if (progress->shownLength < length) progress->shownLength = length;
    progress->shownAt = now;
}

double inSeconds(const struct timeval &time) {
    return static_cast<double>(time.tv_sec) + static_cast<double>(time.tv_usec) / 1e6;
}

// One run, timed as a single run is: the start read before the fork, the
// stop once the command has ended and before it is reaped, the figures from
// its own reap.
RunRecord timeRun(char **command, double timeLimit) {
    RunRecord record;
    double start = secs();
    pid_t child = startCommand(command);
    if (child == -1) error(1, errno, "Cannot create (i.e., fork) \"%s\".  Reason", command[0]);
    int waited = timeLimit > 0 ? waitForCommandWithin(child, timeLimit, kGraceSeconds, &record.timedOut)
                               : waitForCommand(child);
    if (waited == -1) error(1, errno, "Cannot waitpid() for command \"%s\".  Reason", command[0]);
    double stop = secs();
    struct rusage usage {};
    if (reapChild(child, &record.status, &usage) == -1) {
        error(1, errno, "Cannot waitpid() for command \"%s\".  Reason", command[0]);
    }
    if (start < 0 || stop < 0) {
        error(1, 0, "Error in secs(): cannot read the %s time.", start < 0 ? "start" : "stop");
    }
    record.wall = stop - start;
    record.user = inSeconds(usage.ru_utime);
    record.system = inSeconds(usage.ru_stime);
    if (peakMemoryPerChild()) record.peakKiB = static_cast<long>(usage.ru_maxrss);
    return record;
}

// The failed run that ends the series, and how it ended.
void reportFailure(const Series &series, const RunRecord &record) {
    const char *name = series.names[record.command];
    long of = record.warmup ? series.settings.warmups : series.settings.runs;
    const char *kind = record.warmup ? "warm-up run" : "run";
    if (record.timedOut) {
        error(0, 0, "\"%s\" failed in %s %ld of %ld: timed out after %g s; the series stops (-i counts failed runs)",
              name, kind, record.number, of, series.settings.timeLimit);
    } else if (WIFSIGNALED(record.status)) {
        error(0, 0, "\"%s\" failed in %s %ld of %ld: ended by signal %d (%s); the series stops (-i counts failed "
                    "runs)",
              name, kind, record.number, of, WTERMSIG(record.status), strsignal(WTERMSIG(record.status)));
    } else {
        error(0, 0, "\"%s\" failed in %s %ld of %ld: exit status %d; the series stops (-i counts failed runs)", name,
              kind, record.number, of, WEXITSTATUS(record.status));
    }
}

}  // namespace

bool splitCommands(char **arguments, const char *separator, Series *series) {
    int count = 1;
    for (char **word = arguments; *word != nullptr; ++word) count += std::strcmp(*word, separator) == 0;
    series->commands = static_cast<char ***>(std::malloc(static_cast<size_t>(count) * sizeof *series->commands));
    series->names = static_cast<char **>(std::calloc(static_cast<size_t>(count), sizeof *series->names));
    if (series->commands == nullptr || series->names == nullptr) error(1, 0, "ERROR: cannot split the commands: no memory.");
    series->commandCount = count;
    char **word = arguments;
    for (int command = 0; command < count; ++command) {
        series->commands[command] = word;
        size_t length = 1;
        while (*word != nullptr && std::strcmp(*word, separator) != 0) length += std::strlen(*word++) + 1;
        if (word == series->commands[command]) return false;
        series->names[command] = static_cast<char *>(std::malloc(length));
        if (series->names[command] == nullptr) error(1, 0, "ERROR: cannot split the commands: no memory.");
        series->names[command][0] = '\0';
        for (char **part = series->commands[command]; part != word; ++part) {
            if (part != series->commands[command]) std::strcat(series->names[command], " ");
            std::strcat(series->names[command], *part);
        }
        if (*word != nullptr) {
            std::free(*word);
            *word++ = nullptr;
        }
    }
    return true;
}

bool runFailed(const RunRecord &record) {
    return record.timedOut || !WIFEXITED(record.status) || WEXITSTATUS(record.status) != 0;
}

// The same calls as a run of a command, but for the exec: what is left is
// the timer's own. One round, in a frame of its own, so that no variable of
// the caller's loop lives across the vfork (which the child may clobber).
[[gnu::noinline]] double overheadOnce() {
    const double start = secs();
    const pid_t child = vfork();
    if (child == 0) _exit(0);
    if (child == -1 || waitForCommand(child) == -1) return -1;
    const double stop = secs();
    int status;
    if (reapChild(child, &status, nullptr) == -1 || start < 0 || stop < 0) return -1;
    return stop - start;
}

double measureOverhead() {
    constexpr int kTries = 21;
    double times[kTries];
    for (int i = 0; i < kTries; ++i) {
        times[i] = overheadOnce();
        if (times[i] < 0) return -1;
    }
    return summarize(times, kTries, times).median;
}

void runSeries(Series *series) {
    const SeriesSettings &settings = series->settings;
    Progress progress;
    progress.on = settings.progress;
    progress.total = (settings.warmups + settings.runs) * series->commandCount;
    progress.start = secs();
    for (long round = 0; round < settings.warmups + settings.runs; ++round) {
        for (int command = 0; command < series->commandCount; ++command) {
            RunRecord record = timeRun(series->commands[command], settings.timeLimit);
            record.command = command;
            record.warmup = round < settings.warmups;
            record.number = record.warmup ? round + 1 : round - settings.warmups + 1;
            series->records[series->recordCount++] = record;
            if (runFailed(record) && !settings.ignoreFailures) {
                eraseProgress(&progress);
                reportFailure(*series, record);
                series->stopped = true;
                return;
            }
            showProgress(&progress, series->recordCount);
        }
    }
    eraseProgress(&progress);
}
