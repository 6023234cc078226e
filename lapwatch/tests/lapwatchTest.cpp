// lapwatch as a user runs it: arguments, the command's output and status,
// the start-time line and the report, help and banner, and signals.
#include <signal.h>
#include <unistd.h>

#include <regex>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "testing.h"

using namespace testing_support;

namespace {

const std::string tool = LAPWATCH_PATH;

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
           "Wildcards (*?) may be used in file names.\n";
}

const std::string startLine = R"(lapwatch: Start time: \d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\n)";

// The start-time line, a blank line, then the report for `command`.
std::regex reportPattern(const std::string &command, const std::string &interval) {
    return std::regex(startLine + "\n\"" + command + "\" wall-clock run time: " + interval +
                      R"( \(\d+\.\d{6} seconds total\)\.\n)");
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

TEST(Lapwatch, VersionBannerThatCannotBeWrittenFails) {
    RunOptions options;
    options.stdoutPath = "/dev/full";
    RunResult r = run({"-v"}, options);
    EXPECT_EQ(r.err, "lapwatch: Cannot write to <standard output>: No space left on device\n");
    EXPECT_EQ(r.status, 1);
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
    RunResult r = run({"sleep", "0.1"}, options);
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

bool processGone(const std::string &pid) {
    // Gone, or a zombie waiting for a reaper: either way it no longer runs.
    std::string stat = readFile("/proc/" + pid + "/stat");
    size_t close = stat.rfind(')');
    return stat.empty() || (close != std::string::npos && stat.compare(close + 2, 1, "Z") == 0);
}

TEST(Lapwatch, TerminationIsForwardedToTheCommand) {
    for (int sig : {SIGINT, SIGTERM}) {
        TempDir dir;
        std::string pidFile = dir.file("pid");
        RunOptions options;
        options.args = {"sh", "-c", "echo $$ > " + pidFile + "; exec sleep 30"};
        Running running = startTool(tool, options);
        std::string pid;
        for (int i = 0; i < 1000 && pid.empty(); ++i) {
            pid = readFile(pidFile);
            if (!pid.empty() && pid.back() != '\n') pid.clear();
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        ASSERT_FALSE(pid.empty());
        pid.pop_back();
        kill(running.pid, sig);
        RunResult r = finishTool(running);
        EXPECT_FALSE(r.exited);
        EXPECT_EQ(r.signal, sig);
        EXPECT_TRUE(std::regex_match(r.err, std::regex(startLine))) << r.err;
        bool gone = false;
        for (int i = 0; i < 500 && !gone; ++i) {
            gone = processGone(pid);
            if (!gone) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        EXPECT_TRUE(gone) << "command still running after signal " << sig;
    }
}

}  // namespace
