// lapwatch as a user runs it: arguments, the command's output and status,
// the start-time line and the report, help and banner. Its signals are tested
// in signalPolicyTest.cpp.
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <regex>
#include <string>

#include <gtest/gtest.h>

#include "lapwatchTesting.h"
#include "testing.h"

using namespace testing_support;

namespace {

RunResult run(std::vector<std::string> args, RunOptions options = {}) {
    options.args = std::move(args);
    return runTool(tool, options);
}

std::string helpText() {
    return "lapwatch - Time a command to microsecond accuracy, up to ~28 years, while\n"
           "providing file wildcard globbing to that command.\n"
           "The reported time is wall-clock time, and does not include the overhead of\n"
           "searching the path for the command and starting it.\n"
           "Usage: lapwatch command_name [argument [...]]\n"
           "       lapwatch -h|--anything|-v\n"
           "command_name - name of command to run or document to open\n"
           "argument     - optional argument(s) to pass to the command or with\n"
           "               the document\n"
           "Options:\n"
           "    -h  - show this help message\n"
           "    -v  - show lapwatch's version, date, author and compile date/time\n"
           "Wildcards (*?) may be used in file names.\n"
           "    -r  - also show the command's CPU time and peak memory\n"
           "    -o FILE - write the start time and the report to FILE\n";
}

TEST(Lapwatch, HelpAndBanner) {
    struct Case {
        std::vector<std::string> args;
        std::string out, err;
        int status;
    };
    const Case cases[] = {
        {{"-h"}, helpText(), "", 0},
        {{"-H", "ignored"}, helpText(), "", 0},
        {{"--help"}, helpText(), "", 0},
        {{"--anything"}, helpText(), "", 0},
        {{}, "", "lapwatch: Missing command_name.\n" + helpText(), 1},
        {{"--"}, "", "lapwatch: Missing command_name.\n" + helpText(), 1},
        {{""}, "", "lapwatch: Zero-length command_name.\n" + helpText(), 1},
    };
    for (const Case &c : cases) {
        RunResult r = run(c.args);
        EXPECT_EQ(r.out, c.out) << c.args.size();
        EXPECT_EQ(r.err, c.err) << c.args.size();
        EXPECT_TRUE(r.exited);
        EXPECT_EQ(r.status, c.status);
    }
}

TEST(Lapwatch, RejectedOptionGivesHelpOnStandardError) {
    RunResult r = run({"-x", "true"});
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find("-- 'x'\n" + helpText()), std::string::npos) << r.err;
    EXPECT_EQ(r.status, 1);
}

TEST(Lapwatch, VersionBanner) {
    for (const char *option : {"-v", "-V"}) {
        RunResult r = run({option, "false"});
        EXPECT_TRUE(std::regex_match(
            r.out, std::regex(R"(lapwatch version 4\.30 \(2024-03-12\)\nby [^\n]+ <[^\n]+>,\n)"
                              R"(compiled [A-Z][a-z]{2} [ 0-9]\d \d{4} at \d{2}:\d{2}:\d{2} EST\.\n)")))
            << r.out;
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.status, 0);
    }
}

TEST(Lapwatch, VersionBannerOrHelpThatCannotBeWrittenFails) {
    for (const char *option : {"-v", "-h"}) {
        RunOptions options;
        options.stdoutPath = "/dev/full";
        RunResult r = run({option}, options);
        EXPECT_EQ(r.err, "lapwatch: Cannot write to <standard output>: No space left on device\n") << option;
        EXPECT_EQ(r.status, 1) << option;
    }
}

TEST(Lapwatch, PassesTheStatusOnAndLeavesStandardOutputToTheCommand) {
    RunResult r = run({"sh", "-c", "echo out; exit 3"});
    EXPECT_EQ(r.out, "out\n");
    EXPECT_TRUE(std::regex_match(r.err, reportPattern("sh", R"(\d+\.\d{2} microseconds)"))) << r.err;
    EXPECT_EQ(r.status, 3);
}

TEST(Lapwatch, ArgumentsReachTheCommandVerbatim) {
    RunResult r = run({"printf", "[%s]", "two words", "*", "", "-h", "--", "$HOME"});
    EXPECT_EQ(r.out, "[two words][*][][-h][--][$HOME]");
    EXPECT_EQ(r.status, 0);

    r = run({"--", "printf", "%s", "-v"});
    EXPECT_EQ(r.out, "-v");
    EXPECT_EQ(r.status, 0);
}

TEST(Lapwatch, RunOverOneSecondUsesTheClockForm) {
    RunResult r = run({"sleep", "1.1"});
    EXPECT_TRUE(std::regex_match(r.err, reportPattern("sleep", R"(00:00:01\.\d{6})"))) << r.err;
    EXPECT_EQ(r.status, 0);
}

TEST(Lapwatch, RunTimeCoversACommandThatEndsBeforeTheToolGoesOn) {
    // However late the tool is scheduled after the fork, the command's time is
    // in the report: here the command has ended before the fork returns.
    RunOptions options;
    options.env = {std::string("LD_PRELOAD=") + DELAYED_FORK_PATH,
                   "ASAN_OPTIONS=verify_asan_link_order=0"};
    options.args = {"sleep", "0.1"};
    RunResult r = runTool(LAPWATCH_DYNAMIC_PATH, options);
    EXPECT_NE(r.err.find("fork delayed\n"), std::string::npos) << "the delay was not loaded: " << r.err;
    std::smatch total;
    ASSERT_TRUE(std::regex_search(r.err, total, std::regex(R"(\((\d+\.\d{6}) seconds total\))"))) << r.err;
    EXPECT_GE(std::stod(total[1]), 0.1) << r.err;
    EXPECT_EQ(r.status, 0);
}

TEST(Lapwatch, CommandThatCannotRun) {
    RunResult r = run({"/nonexistent/command", "arg"});
    EXPECT_FALSE(r.exited);
    EXPECT_EQ(r.signal, SIGINT);
    EXPECT_TRUE(std::regex_match(
        r.err, std::regex(startLine + "lapwatch: ERROR: Cannot run \"/nonexistent/command\" in path.  "
                                      "Reason: No such file or directory\n")))
        << r.err;
}

TEST(Lapwatch, CommandEndedBySignal) {
    RunResult r = run({"sh", "-c", "kill -KILL $$"});
    EXPECT_TRUE(r.exited);
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(std::regex_match(r.err, std::regex(startLine + "\"sh\" exited.  Reason: Killed\n"))) << r.err;
}

// The -r line: the command's CPU time, user and system, and its peak memory.
const std::string usageLine = R"(lapwatch: CPU time (\d+\.\d{3}) s user, (\d+\.\d{3}) s system; peak memory ([\d,]+) KiB\n)";

TEST(Lapwatch, ResourceUsageIsTheCommands) {
    // A command that fills 64 MiB shows at least that peak. A loop of the
    // shell's own shows the processor time that the shell itself counted
    // (its `times`), which is far more than the tool's own and never more
    // than the run's wall-clock time.
    RunResult r = run({"-r", "dd", "if=/dev/zero", "of=/dev/null", "bs=64M", "count=1"});
    std::smatch m;
    ASSERT_TRUE(std::regex_match(r.err, m, std::regex(R"([\s\S]*\n"dd" wall-clock run time: [^\n]+\n)" + usageLine)))
        << r.err;
    std::string peak = m[3];
    peak.erase(std::remove(peak.begin(), peak.end(), ','), peak.end());
    EXPECT_GE(std::stoll(peak), 64 * 1024) << r.err;
    EXPECT_EQ(r.status, 0);

    r = run({"-r", "sh", "-c", "i=0; while [ $i -lt 300000 ]; do i=$((i+1)); done; times"});
    std::smatch own;
    ASSERT_TRUE(std::regex_search(r.out, own, std::regex(R"(^(\d+)m([\d.]+)s )"))) << r.out;
    double shellUser = std::stod(own[1]) * 60 + std::stod(own[2]);
    ASSERT_TRUE(std::regex_match(
        r.err, m, std::regex(startLine + R"(\n"sh" wall-clock run time: [^\n]+ \((\d+\.\d{6}) seconds total\)\.\n)" + usageLine)))
        << r.err;
    double wall = std::stod(m[1]), user = std::stod(m[2]);
    EXPECT_GE(user, 0.1) << r.err;
    EXPECT_NEAR(user, shellUser, 0.05) << r.out << r.err;
    EXPECT_LE(user, wall + 0.01) << r.err;
}

TEST(Lapwatch, ReportFile) {
    // The start-time line, the report and the -r line go to the file; the
    // command's own output and the tool's diagnostics stay where they were.
    TempDir dir;
    std::string file = dir.file("report");
    writeFile(file, "old contents that must go\n");
    RunResult r = run({"-o", file, "-r", "sh", "-c", "echo out; echo err >&2; exit 3"});
    EXPECT_EQ(r.out, "out\n");
    EXPECT_EQ(r.err, "err\n");
    EXPECT_EQ(r.status, 3);
    EXPECT_TRUE(std::regex_match(readFile(file), std::regex(startLine + R"(\n"sh" wall-clock run time: [^\n]+\n)" + usageLine)))
        << readFile(file);

    // A file that cannot be opened is reported, and the command is not run.
    TempDir open;
    open.openToAll();
    std::string marker = open.file("ran");
    RunOptions asNobody;
    asNobody.asNobody = true;
    r = run({"-o", file, "touch", marker}, asNobody);
    EXPECT_EQ(r.err, "lapwatch: Cannot open \"" + file + "\" for the report.  Reason: Permission denied\n");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(readFile(marker), "");
    EXPECT_NE(access(marker.c_str(), F_OK), 0) << "the command ran";
}

#if LAPWATCH_LINKED_STATICALLY
TEST(LapwatchBuild, LoadsNothingAtStart) {
    std::string out = shellOutput("ldd " + tool + " 2>&1");
    EXPECT_TRUE(out.find("statically linked") != std::string::npos ||
                out.find("not a dynamic executable") != std::string::npos)
        << out;
}
#endif

}  // namespace
