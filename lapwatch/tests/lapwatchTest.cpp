// lapwatch as a user runs it: arguments, the command's output and status,
// the start-time line and the report, help and banner. Its signals are tested
// in signalPolicyTest.cpp.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
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
           "    -o FILE - write the start time and the report to FILE\n"
           "Several commands, separated by ---, are timed in turn and compared.\n"
           "    -n N  - run each command N times and show the statistics of the runs\n"
           "    -w N  - first run each command N times more as warm-up, not counted\n"
           "    -i  - count a run that fails and go on, instead of stopping there\n"
           "    -t SECONDS - end a run that lasts longer: SIGTERM, then SIGKILL\n"
           "    -q  - send the command's standard output to /dev/null\n"
           "    -S WORD - separate the commands by WORD instead of ---\n"
           "    -a  - append to the file of -o instead of emptying it\n"
           "    --json FILE - write every run and the summary to FILE as JSON\n"
           "    --csv FILE  - write every run and the summary to FILE as CSV\n";
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

// The command line is read left to right and its first mistake is the one
// reported; a later help option or a later mistake is never reached, and a
// repeated option is checked again.
TEST(Lapwatch, FirstMistakeOfTheCommandLineIsReported) {
    const struct {
        std::vector<std::string> args;
        std::string err;  // before the help text
    } cases[] = {
        {{"-n", "0", "-x"}, "lapwatch: Number \"0\" for option -n must be a whole number from 1 to 1000000.\n"},
        {{"-x", "-n", "0"}, tool + ": invalid option -- 'x'\n"},  // getopt names argv[0]
        {{"-S", "", "-h"}, "lapwatch: Separator for option -S must not be empty.\n"},
        {{"--json", "a", "--json"}, "lapwatch: Option --json needs a FILE.\n"},
        {{"-a"}, "lapwatch: Option -a needs -o FILE to append to.\n"},
        {{"-t", "1e6", "-a", "x"}, "lapwatch: Option -a needs -o FILE to append to.\n"},
        {{"-t", "1000000.1", "-h"},
         "lapwatch: Time limit \"1000000.1\" for option -t must be a number of seconds above 0 and at most 1e+06.\n"},
    };
    for (const auto &c : cases) {
        RunResult r = run(c.args);
        EXPECT_EQ(r.out, "") << c.args[0];
        EXPECT_EQ(r.err, c.err + helpText()) << c.args[0];
        EXPECT_EQ(r.status, 1) << c.args[0];
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

bool protectionOff(const char *name) {
    std::string value = readFile(std::string("/proc/sys/fs/") + name);
    return value == "0\n";
}

// In a directory that all may write (sticky, as /tmp), another user plants
// what the report's name will meet: a link to a root-only file, a link to
// a file that does not exist yet, and a FIFO. Each is refused at once, with
// the command not run and nothing written anywhere; a link of that user's
// to that user's own file is followed. Where the kernel protects such
// directories itself, the planted link or FIFO would be refused before the
// tool looks, and the test says so and skips.
TEST(Lapwatch, ReportFileThroughWhatAnotherUserPlanted) {
    if (!protectionOff("protected_symlinks") || !protectionOff("protected_fifos")) {
        GTEST_SKIP() << "fs.protected_symlinks or fs.protected_fifos is on: the kernel refuses planted links "
                        "and FIFOs in sticky directories itself";
    }
    TempDir vault;  // 0700, root's
    writeFile(vault.file("conf"), "secret\n", 0600);
    TempDir shared;
    ASSERT_EQ(chmod(shared.path().c_str(), 01777), 0);
    RunResult planted = runInChild([&] {
        if (setgid(65534) != 0 || setuid(65534) != 0) _exit(2);
        int fd = open(shared.file("theirs").c_str(), O_WRONLY | O_CREAT | O_EXCL, 0666);
        bool made = fd >= 0 && close(fd) == 0 && symlink(vault.file("conf").c_str(), shared.file("link").c_str()) == 0 &&
                    symlink(vault.file("new").c_str(), shared.file("dangling").c_str()) == 0 &&
                    symlink("theirs", shared.file("own").c_str()) == 0 && mkfifo(shared.file("fifo").c_str(), 0666) == 0;
        _exit(made ? 0 : 1);
    });
    ASSERT_TRUE(planted.exited && planted.status == 0);
    const std::string refusedLink = " belongs to another user and leads to what that user does not own; not followed\n";
    struct Case {
        const char *name;
        std::string err;  // empty: the report is written
    } cases[] = {
        {"link", "for the report: symbolic link \"link\"" + refusedLink},
        {"dangling", "for the report: symbolic link \"dangling\"" + refusedLink},
        {"fifo", "for the report: not a regular file\n"},
        {"own", ""},
    };
    for (const Case &c : cases) {
        TempDir scratch;
        std::string marker = scratch.file("ran");
        // timeout: a FIFO opened for writing would wait for a reader for ever.
        int status = 0;
        std::string err = shellOutput("timeout 20 " + tool + " -o " + shared.file(c.name) + " touch " + marker +
                                          " 2>&1",
                                      &status);
        if (c.err.empty()) {
            EXPECT_EQ(status, 0) << c.name << ": " << err;
            EXPECT_TRUE(std::regex_search(readFile(shared.file("theirs")), reportPattern("touch", ".+"))) << c.name;
            continue;
        }
        EXPECT_EQ(err, "lapwatch: Cannot open \"" + shared.file(c.name) + "\" " + c.err) << c.name;
        EXPECT_EQ(status, 1) << c.name;
        EXPECT_NE(access(marker.c_str(), F_OK), 0) << c.name << ": the command ran";
    }
    EXPECT_EQ(readFile(vault.file("conf")), "secret\n");
    EXPECT_NE(access(vault.file("new").c_str(), F_OK), 0);
}

// The report file is the command's own output or error file, by whatever
// name or way of opening: the report would be written over what the command
// writes, or between it. It is refused and the command not run; a file
// opened for appending keeps what it held.
TEST(Lapwatch, ReportFileThatTheCommandWritesIsRefused) {
    TempDir dir;
    const std::string file = dir.file("out.txt");
    auto refusal = [&](const char *stream) {
        return "lapwatch: Cannot write the report to \"" + file + "\": it is the same file as the " + stream +
               ", which the command writes\n";
    };
    struct Case {
        std::string redirection;
        std::string shown;  // on the shell's standard error
        std::string left;   // in the file
    } cases[] = {
        {"> " + file, refusal("standard output"), ""},
        {">> " + file, refusal("standard output"), "kept\n"},
        {"> " + dir.file("alias"), refusal("standard output"), ""},
        {"2>> " + file, "", "kept\n" + refusal("standard error")},
    };
    for (const Case &c : cases) {
        writeFile(file, "kept\n");
        unlink(dir.file("alias").c_str());
        ASSERT_EQ(link(file.c_str(), dir.file("alias").c_str()), 0);
        std::string shown = shellOutput("{ " + tool + " -o " + file + " seq 1 30 " + c.redirection + "; } 2>&1; echo $?");
        EXPECT_EQ(shown, c.shown + "1\n") << c.redirection;
        EXPECT_EQ(readFile(file), c.left) << c.redirection;
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
