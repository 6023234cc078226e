// lapwatch's series as a user runs them: the order of the runs seen from the
// commands' own logs, failures and time limits, each run's own peak memory,
// the exports read by real parsers against the report, and the progress
// line on a terminal only.
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "export.h"
#include "lapwatchTesting.h"
#include "testing.h"

using namespace testing_support;

namespace {

RunResult run(std::vector<std::string> args, RunOptions options = {}) {
    options.args = std::move(args);
    return runTool(tool, options);
}

// A command that appends `word` to the log.
std::vector<std::string> logs(const std::string &word, const std::string &log) {
    return {"sh", "-c", "echo " + word + " >> " + log};
}

std::vector<std::string> join(std::initializer_list<std::vector<std::string>> parts) {
    std::vector<std::string> all;
    for (const auto &part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
}

TEST(LapwatchSeries, RunsAreInterleavedWarmUpsFirst) {
    TempDir dir;
    const std::string log = dir.file("log");
    struct Case {
        std::vector<std::string> args;
        std::string order;
    };
    const Case cases[] = {
        {join({{"-n", "2", "-w", "1"}, logs("A", log), {"---"}, logs("B", log), {"---"}, logs("C", log)}),
         "A B C A B C A B C"},
        {join({{"-n", "3"}, logs("A", log)}), "A A A"},
        // Another separator: "---" is then an argument of the command.
        {join({{"-S", "::", "-n", "2"}, {"sh", "-c", "echo $1 >> " + log, "sh", "---"}, {"::"}, logs("B", log)}),
         "--- B --- B"},
        // Without an option of a series, "---" is an argument as ever.
        {{"sh", "-c", "echo $1 >> " + log, "sh", "---"}, "---"},
    };
    for (const Case &c : cases) {
        unlink(log.c_str());
        RunResult r = run(c.args);
        EXPECT_EQ(r.status, 0) << r.err;
        std::string order = readFile(log);
        std::replace(order.begin(), order.end(), '\n', ' ');
        EXPECT_EQ(order, c.order + " ") << c.args[0] << " " << c.args[1];
    }
}

TEST(LapwatchSeries, FailedRunStopsTheSeriesUnlessCounted) {
    TempDir dir;
    const std::string log = dir.file("log");
    // Fails in its second run, whichever kind of run that is.
    const std::vector<std::string> secondFails = {"sh", "-c", "echo x >> " + log + "; [ $(wc -l < " + log + ") -ne 2 ]"};
    struct Case {
        std::vector<std::string> options;
        std::vector<std::string> command;
        int status;
        int runs;             // lines in the log
        std::string message;  // on standard error
    };
    const Case cases[] = {
        {{"-n", "4"}, secondFails, 1, 2, "failed in run 2 of 4: exit status 1; the series stops"},
        {{"-n", "3", "-w", "2"}, secondFails, 1, 2, "failed in warm-up run 2 of 2: exit status 1"},
        {{"-n", "4", "-i"}, secondFails, 0, 4, "  failed: 1 of 4 runs\n"},
        {{"-n", "2"}, {"sh", "-c", "echo x >> " + log + "; kill -KILL $$"}, 1, 1,
         "failed in run 1 of 2: ended by signal 9 ("},
        {{"-n", "2"}, {"sh", "-c", "echo x >> " + log + "; exit 7"}, 7, 1, "failed in run 1 of 2: exit status 7"},
    };
    for (const Case &c : cases) {
        unlink(log.c_str());
        RunResult r = run(join({c.options, c.command}));
        EXPECT_TRUE(r.exited);
        EXPECT_EQ(r.status, c.status) << r.err;
        std::string lines;
        for (int i = 0; i < c.runs; ++i) lines += "x\n";
        EXPECT_EQ(readFile(log), lines) << r.err;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    }
}

const std::string recorder = SIGNAL_RECORDER_PATH;

// A run past its time limit is sent SIGTERM; one that ignores it, SIGKILL a
// grace later. Nothing is left running either way.
TEST(LapwatchSeries, TimedOutRunLeavesNoProcessBehind) {
    if (!adoptOrphans()) GTEST_SKIP() << "this system does not let a process adopt orphans";
    TempDir dir;
    const std::string log = dir.file("log");
    struct Case {
        std::vector<std::string> options;
        std::string mode;
        int status;
        std::string logged;
        std::string message;
    };
    const Case cases[] = {
        {{"-n", "2", "-t", "0.3"}, "ignores-term", 1, "ready\nTERM\n", "failed in run 1 of 2: timed out after 0.3 s"},
        {{"-n", "2", "-t", "0.3", "-i"}, "ends", 0, "ready\nTERM\nready\nTERM\n",
         "  wall time: none, no run ended within the time limit\n  failed: 2 of 2 runs, 2 of them timed out"},
    };
    for (const Case &c : cases) {
        unlink(log.c_str());
        RunResult r = run(join({c.options, {recorder, log, c.mode}}));
        std::string left;
        for (pid_t child : unreapedChildren()) left.append(" ").append(std::to_string(child));
        killChildren();
        EXPECT_EQ(left, "") << c.mode << ": left running";
        EXPECT_TRUE(r.exited) << c.mode;
        EXPECT_EQ(r.status, c.status) << r.err;
        EXPECT_EQ(readFile(log), c.logged) << c.mode;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    }
}

// A signal to the tool in the middle of a series reaches the run that goes
// on, as for a single run, and ends the tool by that signal, without a
// report and without running the rest of the series.
TEST(LapwatchSeries, SignalReachesTheRunThatGoesOn) {
    if (!adoptOrphans()) GTEST_SKIP() << "this system does not let a process adopt orphans";
    TempDir dir;
    const std::string log = dir.file("log"), json = dir.file("runs.json");
    RunOptions options;
    options.args = {"-n", "3", "-i", "--json", json, "sh", "-c", "echo run >> " + log, "---", recorder, log, "ends"};
    Running running = startTool(tool, options);
    for (int i = 0; i < 1000 && readFile(log) != "run\nready\n"; ++i) usleep(10000);
    ASSERT_EQ(readFile(log), "run\nready\n");
    kill(running.pid, SIGHUP);
    RunResult r = finishTool(running);
    std::string left;
    for (pid_t child : unreapedChildren()) left.append(" ").append(std::to_string(child));
    killChildren();
    EXPECT_EQ(left, "") << "left running";
    EXPECT_FALSE(r.exited);
    EXPECT_EQ(r.signal, SIGHUP);
    EXPECT_TRUE(std::regex_match(r.err, std::regex(startLine))) << r.err;
    EXPECT_EQ(readFile(log), "run\nready\nTERM\n");
}

// What python3 prints for `program` run on `file`.
std::string python(const std::string &program, const std::string &file, int *status) {
    return shellOutput("python3 -c '" + program + "' " + file + " 2>&1", status);
}

// Each run's peak is the run's own: a 64 MiB run after a 256 MiB one in the
// same series shows 64 MiB, not the largest so far.
TEST(LapwatchSeries, PeakMemoryIsEachRunsOwn) {
    if (!commandExists("python3")) GTEST_SKIP() << "python3 is not installed";
    TempDir dir;
    const std::string json = dir.file("runs.json");
    RunResult r = run({"-n", "1", "-r", "--json", json, "dd", "if=/dev/zero", "of=/dev/null", "bs=256M", "count=1",
                       "---", "dd", "if=/dev/zero", "of=/dev/null", "bs=64M", "count=1"});
    ASSERT_EQ(r.status, 0) << r.err;
    int status = 0;
    std::string peaks = python("import json,sys; print(*[r[\"peak_memory_kib\"] for r in json.load(open(sys.argv[1]))[\"runs\"]])",
                               json, &status);
    ASSERT_EQ(status, 0) << peaks;
    if (!SUITE_HAVE_WAIT4) {
        // Without a reap of each child's own usage, no run's peak is known.
        EXPECT_EQ(peaks, "None None\n");
        EXPECT_NE(r.err.find("peak memory: not known per run on this system"), std::string::npos) << r.err;
        return;
    }
    long large = 0, small = 0;
    ASSERT_EQ(std::sscanf(peaks.c_str(), "%ld %ld", &large, &small), 2) << peaks;
    EXPECT_GE(large, 256 * 1024);
    EXPECT_GE(small, 64 * 1024);
    EXPECT_LT(small, 128 * 1024) << "the second run's peak is the first's";
}

// Each command's figures from the report, as printed ("12.345 ms").
struct Printed {
    double mean, stddev, median, min, max, scale;
};

std::map<std::string, Printed> printedFigures(const std::string &report) {
    std::map<std::string, Printed> figures;
    std::regex block("\n\"([^\"]+)\": \\d+ runs[^\n]*\n  wall time: ([\\d.]+) (\xC2\xB5s|ms|s) \xC2\xB1 ([\\d.]+) \\S+ "
                     "\\(median ([\\d.]+) \\S+, min ([\\d.]+) \\S+, max ([\\d.]+) \\S+\\)\n");
    for (std::sregex_iterator m(report.begin(), report.end(), block), end; m != end; ++m) {
        double scale = (*m)[3] == "s" ? 1 : (*m)[3] == "ms" ? 1e3 : 1e6;
        figures[(*m)[1]] = {std::stod((*m)[2]), std::stod((*m)[4]), std::stod((*m)[5]), std::stod((*m)[6]),
                            std::stod((*m)[7]), scale};
    }
    return figures;
}

TEST(LapwatchSeries, ExportsAreParsedAndAgreeWithTheReport) {
    if (!commandExists("python3")) GTEST_SKIP() << "python3 is not installed";
    TempDir dir;
    const std::string json = dir.file("runs.json"), csv = dir.file("runs.csv");
    RunResult r = run({"-n", "5", "-w", "1", "-r", "--json", json, "--csv=" + csv, "true", "---", "sleep", "0.02"});
    ASSERT_EQ(r.status, 0) << r.err;
    std::map<std::string, Printed> printed = printedFigures(r.err);
    ASSERT_EQ(printed.size(), 2u) << r.err;

    int status = 0;
    // The summaries, and the mean and median of the counted runs worked out
    // from the runs themselves.
    std::string out = python(
        "import json,sys,statistics as s; d=json.load(open(sys.argv[1]))\n"
        "for c in d[\"commands\"]:\n"
        "  w=[r[\"wall\"] for r in d[\"runs\"] if r[\"command\"]==c[\"command\"] and not r[\"warmup\"]]\n"
        "  print(c[\"command\"]+\"|\", c[\"mean\"], c[\"stddev\"], c[\"median\"], c[\"min\"], c[\"max\"], s.mean(w), s.median(w), len(w),"
        " len(d[\"runs\"]))",
        json, &status);
    ASSERT_EQ(status, 0) << out;
    std::istringstream lines(out);
    std::string line;
    int commands = 0;
    while (std::getline(lines, line)) {
        std::string name = line.substr(0, line.find('|'));
        std::istringstream in(line.substr(line.find('|') + 1));
        double mean, stddev, median, min, max, runsMean, runsMedian;
        int counted, runs;
        in >> mean >> stddev >> median >> min >> max >> runsMean >> runsMedian >> counted >> runs;
        ASSERT_TRUE(printed.count(name)) << name;
        const Printed &p = printed[name];
        double half = 0.0005 / p.scale + 1e-12;  // half the last printed digit
        EXPECT_NEAR(mean * p.scale, p.mean, 0.0005 + 1e-9) << name;
        EXPECT_NEAR(stddev, p.stddev / p.scale, half) << name;
        EXPECT_NEAR(median, p.median / p.scale, half) << name;
        EXPECT_NEAR(min, p.min / p.scale, half) << name;
        EXPECT_NEAR(max, p.max / p.scale, half) << name;
        EXPECT_NEAR(runsMean, mean, 1e-9) << name;
        EXPECT_NEAR(runsMedian, median, 1e-9) << name;
        EXPECT_EQ(counted, 5);
        EXPECT_EQ(runs, 12);
        ++commands;
    }
    EXPECT_EQ(commands, 2) << out;

    // The CSV: a header, a row a run, a summary row a command, each as wide
    // as the header; its summary's mean is the JSON's.
    out = python("import csv,sys; rows=list(csv.DictReader(open(sys.argv[1])));"
                 "print(len(rows), sum(r[\"kind\"]==\"run\" for r in rows), all(None not in r for r in rows),"
                 " *[r[\"wall\"] for r in rows if r[\"kind\"]==\"summary\"])",
                 csv, &status);
    ASSERT_EQ(status, 0) << out;
    std::istringstream in(out);
    int rows = 0, runRows = 0;
    std::string even;
    double trueMean = 0;
    in >> rows >> runRows >> even >> trueMean;
    EXPECT_EQ(rows, 14);
    EXPECT_EQ(runRows, 12);
    EXPECT_EQ(even, "True");
    EXPECT_NEAR(trueMean * printed["true"].scale, printed["true"].mean, 0.0005 + 1e-9);
}

TEST(LapwatchSeries, JsonStringsAreValidWhateverTheBytes) {
    if (!commandExists("python3")) GTEST_SKIP() << "python3 is not installed";
    struct Case {
        std::string bytes;
        std::string decoded;  // as Python prints its repr
    };
    const Case cases[] = {
        {"plain", "'plain'"},
        {"q\"b\\", "'q\"b\\\\'"},
        {"tab\tnl\n\x01", "'tab\\tnl\\n\\x01'"},
        {"caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80", "'café € 😀'"},
        {"bad\xFF\xC3(\xED\xA0\x80\xC0\xAF", "'bad\uFFFD\uFFFD(\uFFFD\uFFFD\uFFFD\uFFFD\uFFFD'"},
    };
    TempDir dir;
    for (const Case &c : cases) {
        std::string file = dir.file("s.json");
        FILE *stream = std::fopen(file.c_str(), "w");
        ASSERT_NE(stream, nullptr);
        writeJsonString(stream, c.bytes.c_str());
        std::fclose(stream);
        int status = 0;
        std::string out = python("import json,sys; print(repr(json.load(open(sys.argv[1], encoding=\"utf-8\"))))",
                                 file, &status);
        EXPECT_EQ(status, 0) << out;
        EXPECT_EQ(out, c.decoded + "\n") << c.bytes;
    }
}

// The progress line, read from the terminal that is the tool's standard
// error; what the pseudo-terminal gave until the tool ended.
std::string onTerminal(const std::string &arguments) {
    RunOptions options;
    options.stdinKind = StdinKind::Pty;
    options.args = {"-c", "exec 2>/dev/tty; exec " + tool + " " + arguments};
    Running running = startTool("/bin/sh", options);
    std::string seen;
    char buffer[4096];
    for (;;) {
        ssize_t got = read(running.ptyMaster, buffer, sizeof buffer);
        if (got > 0) {
            seen.append(buffer, static_cast<size_t>(got));
        } else if (got == 0 || errno != EINTR) {
            break;  // EIO: the tool and its commands have closed the terminal
        }
    }
    finishTool(running);
    return seen;
}

TEST(LapwatchSeries, ProgressOnlyOnATerminal) {
    TempDir dir;
    // On the terminal: shown after the first run, erased before the report.
    std::string seen = onTerminal("-n 3 sleep 0.15");
    EXPECT_TRUE(std::regex_search(seen, std::regex(R"(\rlapwatch: run 1 of 3, about \d+ s left)"))) << seen;
    std::smatch erased;
    ASSERT_TRUE(std::regex_search(seen, erased, std::regex(R"(\r( +)\r\r?\n"sleep 0.15": 3 runs)"))) << seen;
    EXPECT_GE(erased[1].length(), std::string("lapwatch: run 2 of 3, about 0 s left").size());
    // With -o, or when standard error is a file or pipe, never.
    EXPECT_EQ(onTerminal("-n 3 -o " + dir.file("report") + " sleep 0.15").find("run 1 of"), std::string::npos);
    RunResult r = run({"-n", "3", "sleep", "0.15"});
    EXPECT_EQ(r.err.find("run 1 of"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find('\r'), std::string::npos) << r.err;
}

TEST(LapwatchSeries, OptionsAndTheirMistakes) {
    TempDir dir;
    const std::string report = dir.file("report"), json = dir.file("json");
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string err;  // a part of standard error
        std::string out;  // a part of standard output
    };
    const Case cases[] = {
        {{"--json"}, 1, "lapwatch: Option --json needs a FILE.\n", ""},
        {{"--csv=", "true"}, 1, "lapwatch: Option --csv needs a FILE.\n", ""},
        {{"--jsonish", "true"}, 0, "", "Usage: lapwatch command_name"},
        {{"-n", "2", "--anything", "true"}, 0, "", "Usage: lapwatch command_name"},
        {{"-n", "0", "true"}, 1, "Number \"0\" for option -n must be a whole number from 1 to 1000000.", ""},
        {{"-w", "+3", "true"}, 1, "Number \"+3\" for option -w must be a whole number from 0 to 1000000.", ""},
        {{"-n", "1000000", "true", "---", "true"}, 1, "Too many runs: 2 commands of 1000000 runs", ""},
        {{"-t", "0", "true"}, 1, "Time limit \"0\" for option -t must be a number of seconds above 0", ""},
        {{"-t", "nan", "true"}, 1, "Time limit \"nan\"", ""},
        {{"-S", "", "true"}, 1, "Separator for option -S must not be empty.", ""},
        {{"-a", "true"}, 1, "Option -a needs -o FILE to append to.", ""},
        {{"-n", "2", "true", "---"}, 1, "Missing command_name next to the separator \"---\".", ""},
        {{"-n", "2", "true", "---", "---", "false"}, 1, "Missing command_name next to the separator \"---\".", ""},
        {{"-o", report, "--json", report, "true"}, 1,
         "Cannot write the JSON export to \"" + report + "\": it is the same file as the report\n", ""},
        {{"-q", "-n", "2", "echo", "hidden"}, 0, "\"echo hidden\": 2 runs", ""},
    };
    for (const Case &c : cases) {
        RunResult r = run(c.args);
        EXPECT_TRUE(r.exited);
        EXPECT_EQ(r.status, c.status) << c.args[0] << " " << r.err;
        EXPECT_NE(r.err.find(c.err), std::string::npos) << c.args[0] << ": " << r.err;
        EXPECT_NE(r.out.find(c.out), std::string::npos) << c.args[0] << ": " << r.out;
        if (c.out.empty()) {
            EXPECT_EQ(r.out, "") << c.args[0];
        }
    }
    // A series refused leaves the report file and the exports as they were.
    const std::vector<std::string> refused[] = {{"-o", report, "--json", json, "-n", "1000000", "true", "---", "true"},
                                                {"-a", "-o", report, "--json", json, "-n", "2", "true", "---"}};
    for (const std::vector<std::string> &args : refused) {
        writeFile(report, "kept\n");
        writeFile(json, "kept\n");
        EXPECT_EQ(run(args).status, 1);
        EXPECT_EQ(readFile(report), "kept\n") << args[0];
        EXPECT_EQ(readFile(json), "kept\n") << args[0];
    }
}

TEST(LapwatchSeries, AppendKeepsWhatTheReportFileHeld) {
    TempDir dir;
    const std::string report = dir.file("report");
    writeFile(report, "earlier\n");
    for (int i = 0; i < 2; ++i) ASSERT_EQ(run({"-a", "-o", report, "-n", "2", "true"}).status, 0);
    ASSERT_EQ(run({"-a", "-o", report, "true"}).status, 0);
    std::string held = readFile(report);
    EXPECT_EQ(held.rfind("earlier\n", 0), 0u) << held;
    std::regex series("\n\"true\": 2 runs\n");
    EXPECT_EQ(std::distance(std::sregex_iterator(held.begin(), held.end(), series), std::sregex_iterator()), 2) << held;
    EXPECT_TRUE(std::regex_search(held, reportPattern("true", ".+"))) << held;
}

}  // namespace
