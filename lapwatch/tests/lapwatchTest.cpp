// lapwatch as a user runs it: arguments, the command's output and status,
// the start-time line and the report, help and banner, and signals.
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
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
           "Wildcards (*?) may be used in file names.\n"
           "    -r  - also show the command's CPU time and peak memory\n"
           "    -o FILE - write the start time and the report to FILE\n";
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

const std::string callerSetup = CALLER_SETUP_PATH;

// The tool started by a caller that first takes the `steps` of callerSetup.
RunResult runFromCaller(std::vector<std::string> steps, const std::vector<std::string> &args) {
    RunOptions options;
    options.args = std::move(steps);
    options.args.push_back("--");
    options.args.push_back(tool);
    options.args.insert(options.args.end(), args.begin(), args.end());
    return runTool(callerSetup, options);
}

TEST(Lapwatch, CommandStatusWhenTheCallerIgnoresChildStatus) {
    // An ignored SIGCHLD would have the system throw the command's status
    // away before the tool waits for it.
    RunResult r = runFromCaller({"ignore", std::to_string(SIGCHLD)}, {"sh", "-c", "exit 7"});
    EXPECT_TRUE(std::regex_match(r.err, reportPattern("sh", R"(\d+\.\d{2} microseconds)"))) << r.err;
    EXPECT_TRUE(r.exited);
    EXPECT_EQ(r.status, 7);
}

TEST(Lapwatch, CommandThatCannotRunEndsTheToolBySigintWhateverTheCallerBlocks) {
    const std::string interrupt = std::to_string(SIGINT);
    const std::vector<std::string> callers[] = {
        {"block", interrupt},
        {"block-all"},
        {"block-all", "ignore", interrupt},
    };
    for (const std::vector<std::string> &steps : callers) {
        RunResult r = runFromCaller(steps, {"/nonexistent/command"});
        EXPECT_FALSE(r.exited) << steps[0] << " " << steps.size();
        EXPECT_EQ(r.signal, SIGINT) << steps[0] << " " << steps.size();
        EXPECT_TRUE(std::regex_match(
            r.err, std::regex(startLine + "lapwatch: ERROR: Cannot run \"/nonexistent/command\" in path.  "
                                          "Reason: No such file or directory\n")))
            << r.err;
    }
}

// Signals. The test process adopts the orphans of the tools it starts, so a
// command that outlived the tool is found among its own children.

const std::string recorder = SIGNAL_RECORDER_PATH;

bool waitUntil(const std::function<bool()> &done, int timeoutMs = 10000) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

// The tool's command, once it runs the program named `name`.
pid_t waitForCommand(pid_t timer, const std::string &name) {
    pid_t found = -1;
    waitUntil([&] {
        for (pid_t child : childrenOf(timer)) {
            if (readFile("/proc/" + std::to_string(child) + "/comm") == name + "\n") found = child;
        }
        return found > 0;
    });
    return found;
}

bool stillRunning(pid_t pid) {
    siginfo_t info{};
    return waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
           info.si_pid == 0;
}

// Whatever the tool left behind: nothing, when it waited for its command.
std::string leftBehind() {
    std::string pids;
    for (pid_t child : unreapedChildren()) pids.append(" ").append(std::to_string(child));
    killChildren();
    return pids;
}

// The tool's own diagnostics: without the line that qemu-user adds when the
// program it runs ends by a signal that dumps core ("qemu: uncaught target
// signal 3 (Quit) - core dumped"), which a native run never has.
std::string toolsOwn(const std::string &err) {
    return std::regex_replace(err, std::regex(R"(qemu: uncaught target signal \d+ \([^)\n]*\) - core dumped\n)"), "");
}

// Whether `sig` sent to a process here reaches it: qemu-user keeps a few of
// the target's real-time signals for itself (the highest among them) and
// loses them. Asked of a child, which sends it to itself and should end by
// it at once.
bool reachesAProcessHere(int sig) {
    RunResult r = runInChild([sig] {
        signal(sig, SIG_DFL);
        kill(getpid(), sig);
        sleep(2);
        _exit(0);
    });
    return !r.exited && r.signal == sig;
}

class LapwatchSignals : public ::testing::Test {
protected:
    void SetUp() override {
        if (!adoptOrphans()) GTEST_SKIP() << "this system does not let a process adopt orphans";
        // Ending by SIGQUIT or SIGABRT writes no core file here.
        struct rlimit noCore = {0, 0};
        setrlimit(RLIMIT_CORE, &noCore);
    }
    TempDir dir;
    std::string log = dir.file("log");

    Running startRecorder(const std::string &mode, RunOptions options = {}) {
        options.args = {recorder, log, mode};
        Running running = startTool(tool, options);
        EXPECT_TRUE(waitUntil([&] { return readFile(log) == "ready\n"; })) << readFile(log);
        return running;
    }
};

TEST_F(LapwatchSignals, SignalToTheToolAloneIsForwardedAsTermination) {
    // The tool passes SIGTERM on, waits for its command, then ends by the
    // signal it got, without a report.
    for (int sig : {SIGTERM, SIGINT, SIGHUP, SIGQUIT}) {
        std::remove(log.c_str());
        Running running = startRecorder("ends");
        kill(running.pid, sig);
        RunResult r = finishTool(running);
        EXPECT_EQ(leftBehind(), "") << "the command outlived the tool, signal " << sig;
        EXPECT_FALSE(r.exited);
        EXPECT_EQ(r.signal, sig);
        EXPECT_TRUE(std::regex_match(toolsOwn(r.err), std::regex(startLine))) << r.err;
        EXPECT_EQ(readFile(log), "ready\nTERM\n") << "signal " << sig;

        RunOptions options;
        options.args = {"sleep", "30"};
        options.stdinKind = sig == SIGTERM ? StdinKind::Closed : StdinKind::Null;
        running = startTool(tool, options);
        EXPECT_GT(waitForCommand(running.pid, "sleep"), 0);
        kill(running.pid, sig);
        r = finishTool(running);
        EXPECT_EQ(leftBehind(), "") << "sleep outlived the tool, signal " << sig;
        EXPECT_EQ(r.signal, sig);
    }
}

TEST_F(LapwatchSignals, EveryEndingSignalIsForwarded) {
    // Whatever signal would end the tool ends its command first. SIGALRM
    // also comes for real, from an alarm that the caller set before the exec.
    std::vector<int> signals = {SIGUSR1, SIGUSR2, SIGALRM, SIGPIPE,  SIGXCPU,  SIGXFSZ,  SIGVTALRM,
                                SIGBUS,  SIGTRAP, SIGSYS,  SIGRTMIN, SIGRTMAX, -SIGALRM};
#ifdef SIGPROF
    signals.push_back(SIGPROF);
#endif
#ifdef SIGPOLL
    signals.push_back(SIGPOLL);
#endif
#if SUITE_HAVE_SIGSTKFLT
    signals.push_back(SIGSTKFLT);
#endif
#if SUITE_HAVE_SIGPWR
    signals.push_back(SIGPWR);
#endif
#if SUITE_HAVE_SIGEMT
    signals.push_back(SIGEMT);
#endif
    std::string lost;
    for (int row : signals) {
        int sig = row < 0 ? -row : row;
        if (!reachesAProcessHere(sig)) {
            lost.append(" ").append(std::to_string(sig));
            continue;
        }
        RunOptions options;
        options.args = {"sleep", "30"};
        std::string program = tool;
        if (row < 0) {
            options.args.insert(options.args.begin(), {"alarm", "1", "--", tool});
            program = callerSetup;
        }
        Running running = startTool(program, options);
        EXPECT_GT(waitForCommand(running.pid, "sleep"), 0) << "signal " << sig;
        if (row > 0) kill(running.pid, sig);
        RunResult r = finishTool(running);
        EXPECT_EQ(leftBehind(), "") << "sleep outlived the tool, signal " << row;
        EXPECT_FALSE(r.exited) << "signal " << row;
        EXPECT_EQ(r.signal, sig);
        EXPECT_TRUE(std::regex_match(toolsOwn(r.err), std::regex(startLine))) << r.err;
    }
    if (!lost.empty()) GTEST_SKIP() << "the others were checked; these never reach a process here:" << lost;
}

TEST_F(LapwatchSignals, SignalDuringALongPathSearchStillReachesTheCommand) {
    // Thousands of missing folders before the command's own make the start
    // last a while; a signal sent at any point of it must not leave the
    // command running. Sent to the tool's whole process group, it also finds
    // the child that is searching the path and is not yet the command.
    std::string path;
    for (int i = 0; i < 7000; ++i) path.append("m/").append(std::to_string(i)).append(":");
    path += std::getenv("PATH");
    struct Case {
        bool toGroup;
        int sig;
        int runs;
    };
    const Case cases[] = {{false, SIGTERM, 24}, {true, SIGTERM, 8}, {true, SIGUSR1, 8}};
    std::string survived;
    for (const Case &c : cases) {
        RunOptions options;
        options.args = {"sleep", "30"};
        options.cwd = dir.path();
        options.env = {"PATH=" + path};
        std::string program = tool;
        if (c.toGroup) {
            options.args.insert(options.args.begin(), {"own-group", "--", tool});
            program = callerSetup;
        }
        for (int delayUs : {0, 2000, 5000, 10000, 15000, 20000}) {
            for (int i = 0; i < c.runs; ++i) {
                Running running = startTool(program, options);
                if (c.toGroup) waitUntil([&] { return getpgid(running.pid) == running.pid; });
                std::this_thread::sleep_for(std::chrono::microseconds(delayUs));
                kill(c.toGroup ? -running.pid : running.pid, c.sig);
                RunResult r = finishTool(running);
                EXPECT_EQ(r.signal, c.sig) << r.err;
                if (!leftBehind().empty()) {
                    survived.append(" ").append(std::to_string(c.sig)).append(c.toGroup ? " to the group at " : " at ");
                    survived.append(std::to_string(delayUs / 1000)).append("ms");
                }
            }
        }
    }
    EXPECT_EQ(survived, "") << "the command outlived the tool after a signal at these delays";
}

TEST_F(LapwatchSignals, CommandThatIgnoresTerminationKeepsTheToolWaiting) {
    for (int second : {SIGTERM, SIGINT}) {
        std::remove(log.c_str());
        Running running = startRecorder("ignores-term");
        kill(running.pid, SIGTERM);
        ASSERT_TRUE(waitUntil([&] { return readFile(log) == "ready\nTERM\n"; })) << readFile(log);
        EXPECT_TRUE(stillRunning(running.pid)) << "the tool ended before its command";
        EXPECT_FALSE(childrenOf(running.pid).empty()) << "the command ended on SIGTERM";
        // A second signal ends the command for sure, and with it the tool.
        kill(running.pid, second);
        RunResult r = finishTool(running);
        EXPECT_EQ(leftBehind(), "");
        EXPECT_EQ(r.signal, SIGTERM);
        EXPECT_TRUE(std::regex_match(r.err, std::regex(startLine))) << r.err;
        EXPECT_EQ(readFile(log), "ready\nTERM\n");
    }
}

TEST_F(LapwatchSignals, InterruptFromTheTerminalLetsTheCommandCleanUp) {
    // Ctrl-C reaches the whole foreground group, the command included: the
    // tool sends nothing on top, waits for the command's clean-up, and ends by
    // SIGINT without a report.
    RunOptions options;
    options.stdinKind = StdinKind::Pty;
    Running running = startRecorder("saves-on-int", options);
    ASSERT_EQ(write(running.ptyMaster, "\x03", 1), 1);
    RunResult r = finishTool(running);
    EXPECT_EQ(leftBehind(), "");
    EXPECT_FALSE(r.exited);
    EXPECT_EQ(r.signal, SIGINT);
    EXPECT_TRUE(std::regex_match(r.err, std::regex(startLine))) << r.err;
    EXPECT_EQ(readFile(log), "ready\nINT\nsaved\n");
}

TEST_F(LapwatchSignals, InterruptFromTheTerminalReachesACommandOutsideItsForegroundGroup) {
    // A command in a session or group of its own does not get the
    // terminal's Ctrl-C: the tool sends it SIGTERM, and one Ctrl-C is enough.
    for (const char *leaves : {"new-session", "own-group"}) {
        std::remove(log.c_str());
        RunOptions options;
        options.stdinKind = StdinKind::Pty;
        options.args = {callerSetup, leaves, "--", recorder, log, "ends"};
        Running running = startTool(tool, options);
        ASSERT_TRUE(waitUntil([&] { return readFile(log) == "ready\n"; })) << readFile(log);
        ASSERT_EQ(write(running.ptyMaster, "\x03", 1), 1);
        RunResult r = finishTool(running);
        EXPECT_EQ(leftBehind(), "") << leaves;
        EXPECT_EQ(r.signal, SIGINT) << leaves;
        EXPECT_TRUE(std::regex_match(r.err, std::regex(startLine))) << r.err;
        EXPECT_EQ(readFile(log), "ready\nTERM\n") << leaves;
    }
}

TEST_F(LapwatchSignals, CommandStartsWithTheCallersSignalState) {
    // The command's blocked and ignored signals are what they would be
    // without the tool, whether the caller ignores signals or not, SIGINT
    // and SIGCHLD (which the tool itself does not leave ignored) included.
    const std::string probe = "grep -E '^Sig(Blk|Ign):' /proc/self/status";
    for (const std::string traps : {"", "trap '' INT QUIT HUP;"}) {
        RunOptions bare, timed;
        bare.args = {"-c", traps + " exec " + probe};
        timed.args = {"-c", traps + " exec " + tool + " " + probe};
        std::string expected = runTool("/bin/sh", bare).out;
        EXPECT_NE(expected.find("SigIgn:"), std::string::npos) << expected;
        EXPECT_EQ(runTool("/bin/sh", timed).out, expected) << traps;
    }
    RunOptions bare, timed;
    bare.args = {"ignore", std::to_string(SIGCHLD), "ignore", std::to_string(SIGINT), "block",
                 std::to_string(SIGUSR1), "--", "grep", "-E", "^Sig(Blk|Ign):", "/proc/self/status"};
    timed.args = bare.args;
    timed.args.insert(timed.args.begin() + 7, tool);
    std::string expected = runTool(callerSetup, bare).out;
    EXPECT_NE(expected.find("SigIgn:"), std::string::npos) << expected;
    EXPECT_EQ(runTool(callerSetup, timed).out, expected);
}

TEST_F(LapwatchSignals, SignalsTheCallerIgnoresStayIgnored) {
    // Immune to hangups (as under nohup), the tool lets SIGHUP pass and keeps
    // its command; SIGTERM after it is forwarded as ever.
    RunOptions options;
    options.args = {"-c", "trap '' HUP; exec " + tool + " " + recorder + " " + log + " ends"};
    Running running = startTool("/bin/sh", options);
    ASSERT_TRUE(waitUntil([&] { return readFile(log) == "ready\n"; })) << readFile(log);
    kill(running.pid, SIGHUP);
    kill(running.pid, SIGTERM);
    RunResult r = finishTool(running);
    EXPECT_EQ(leftBehind(), "");
    EXPECT_EQ(r.signal, SIGTERM);
    EXPECT_EQ(readFile(log), "ready\nTERM\n");

    // A command that cannot be run still ends the tool by SIGINT when the
    // caller ignores SIGINT (a background job) or closed standard input.
    for (bool closed : {false, true}) {
        RunOptions o;
        o.args = {"-c", "trap '' INT; exec " + tool + " /nonexistent/command"};
        if (closed) o.stdinKind = StdinKind::Closed;
        RunResult cannot = runTool("/bin/sh", o);
        EXPECT_EQ(cannot.signal, SIGINT) << closed;
        EXPECT_NE(cannot.err.find("Cannot run \"/nonexistent/command\""), std::string::npos) << cannot.err;
        EXPECT_EQ(leftBehind(), "");
    }
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
