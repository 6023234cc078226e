// lapwatch's signal policy as a user meets it: signals sent to the tool
// reach its command, the tool ends by the signal it got, and the command
// starts with the signal state its caller left.
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <regex>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "lapwatchTesting.h"
#include "testing.h"

using namespace testing_support;

namespace {

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
#ifdef SIGEMT
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

}  // namespace
