// --check and --diff as a user runs them: the lines and columns reported on a
// small tree, the summary and the status (2 for a file that cannot be
// read), binary files skipped; the diff's hunks against diff -u of the file
// and what -i makes of it, and the diff applied by git apply and by patch -p1
// giving exactly what -i gives.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "expandTabsKernels.h"
#include "testing.h"

using testing_support::readFile;
using testing_support::RunOptions;
using testing_support::RunResult;
using testing_support::runTool;
using testing_support::shellOutput;
using testing_support::TempDir;
using testing_support::writeFile;

namespace {

RunResult run(const std::vector<std::string> &args, const std::string &cwd, const std::string &input = "") {
    RunOptions options;
    options.args = args;
    options.env = {"BLANKFILL_SPACING"};
    options.cwd = cwd;
    options.stdinKind = testing_support::StdinKind::Pipe;
    options.input = input;
    return runTool(BLANKFILL_PATH, options);
}

const std::string enoent = std::strerror(ENOENT);

TEST(CheckMode, LinesColumnsAndStatus) {
    TempDir dir;
    ASSERT_EQ(mkdir(dir.file("src").c_str(), 0755), 0);
    writeFile(dir.file("src/a.c"), "int main()\n{\n\treturn 0;\t/* done */\n}\n  \tx\n");
    writeFile(dir.file("src/b.c"), "  x = 1;\tend");  // no final newline
    writeFile(dir.file("clean.txt"), "no tabs\nat all\n");
    writeFile(dir.file("data.bin"), std::string("\tx\0\ty\n", 6));
    ASSERT_EQ(mkfifo(dir.file("fifo").c_str(), 0644), 0);
    const std::string a = "src/a.c:3:1: tab would be expanded\nsrc/a.c:5:3: tab would be expanded\n";
    const std::string b = "src/b.c:1:9: tab would be expanded\n";
    struct Case {
        std::vector<std::string> args;
        std::string out;
        std::string err;
        int status;
    } cases[] = {
        {{"--check", "src/a.c", "src/b.c", "clean.txt"}, a + b, "3 lines in 2 files would change; 1 file would not.\n", 1},
        {{"--check", "clean.txt"}, "", "0 lines in 0 files would change; 1 file would not.\n", 0},
        {{"--check", "-l", "src/a.c", "src/b.c"}, a, "2 lines in 1 file would change; 1 file would not.\n", 1},
        {{"--check", "-n", "8", "-t", "3,9", "src/b.c"}, b, "1 line in 1 file would change; 0 files would not.\n", 1},
        {{"--check", "-V", "data.bin", "clean.txt", "src"}, "",
         "\"data.bin\": binary file skipped\n\"src\": directory skipped\n"
         "0 lines in 0 files would change; 1 file would not; 2 skipped.\n", 0},
        {{"--check", "missing", "src/b.c", "fifo"}, b,
         "blankfill: Cannot open \"missing\" for input: " + enoent + "\n"
         "blankfill: Cannot read \"fifo\": not a regular file\n"
         "1 line in 1 file would change; 0 files would not; 2 could not be read.\n", 2},
        {{"--diff", "clean.txt", "data.bin"}, "", "", 0},
        {{"--diff", "missing"}, "", "blankfill: Cannot open \"missing\" for input: " + enoent + "\n", 2},
    };
    for (const Case &c : cases) {
        RunResult r = run(c.args, dir.path());
        std::string label;
        for (const std::string &arg : c.args) label += arg + " ";
        EXPECT_EQ(r.out, c.out) << label;
        EXPECT_EQ(r.err, c.err) << label;
        EXPECT_EQ(r.status, c.status) << label;
    }
    // A file that opens and then fails to read: the process's own memory,
    // whose first page is never mapped.
    if (access("/proc/self/mem", R_OK) == 0) {
        const std::string eio = std::strerror(EIO);
        RunResult r = run({"--check", "src/b.c", "/proc/self/mem"}, dir.path());
        EXPECT_EQ(r.out, b);
        EXPECT_EQ(r.err, "blankfill: Error while reading from \"/proc/self/mem\": " + eio + "\n"
                         "1 line in 1 file would change; 0 files would not; 1 could not be read.\n");
        EXPECT_EQ(r.status, 2);
        r = run({"--diff", "/proc/self/mem"}, dir.path());
        EXPECT_EQ(r.err, "blankfill: Error while reading from \"/proc/self/mem\": " + eio + "\n");
        EXPECT_EQ(r.status, 2);
    }
    // Nothing was written.
    EXPECT_EQ(readFile(dir.file("src/b.c")), "  x = 1;\tend");
    // Standard input when no file is named.
    RunResult in = run({"--check"}, dir.path(), "a\n\tb\n");
    EXPECT_EQ(in.out, "<standard input>:2:1: tab would be expanded\n");
    EXPECT_EQ(in.status, 1);
}

TEST(CheckMode, RefusedCombinations) {
    TempDir dir;
    struct Case {
        std::vector<std::string> args;
        std::string message;
    } cases[] = {
        {{"--check", "-i", "f"}, "Options -i, --check and --diff cannot be used together."},
        {{"--check", "--diff", "f"}, "Options -i, --check and --diff cannot be used together."},
        {{"--diff"}, "You must provide one or more file name(s) with option --diff."},
        {{"--editorconfig", "f"}, "Option --editorconfig can be used only with -i, --check or --diff."},
    };
    for (const Case &c : cases) {
        RunResult r = run(c.args, dir.path());
        EXPECT_EQ(r.err.rfind("blankfill: " + c.message + "\nblankfill - replace", 0), 0u) << r.err;
        EXPECT_EQ(r.status, 1);
    }
    EXPECT_EQ(run({"--check", "-p", "f"}, dir.path()).err, "blankfill: option -p can be used only with option -i.");
}

// Lines with tabs here and there, runs of changed lines, gaps of 5, 6, 7 and
// 8 unchanged lines (hunks merge up to 6), a last line without a newline.
std::string randomFile(std::mt19937 &rng) {
    std::uniform_int_distribution<int> kindOf(0, 9), lineCount(1, 60);
    std::string text;
    int lines = lineCount(rng);
    for (int i = 0; i < lines; ++i) {
        switch (kindOf(rng)) {
        case 0: text += "\tleading " + std::to_string(i) + "\n"; break;
        case 1: text += "  \t mixed\tinner\n"; break;
        case 2: text += "x\ty\n"; break;
        case 3: text += "\n"; break;
        default: text += "plain line " + std::to_string(i) + "\n"; break;
        }
    }
    if (kindOf(rng) < 3) text.pop_back();
    return text;
}

// The hunks of a diff: everything from its first "@@" on.
std::string hunks(const std::string &diff) {
    size_t at = diff.find("@@");
    return at == std::string::npos ? "" : diff.substr(at);
}

TEST(CheckMode, DiffAppliesToWhatInPlaceGives) {
    const bool haveGit = testing_support::commandExists("git");
    const bool havePatch = testing_support::commandExists("patch");
    if (!testing_support::commandExists("diff")) GTEST_SKIP() << "no diff to compare the hunks with";
    std::mt19937 rng(3030);
    const std::vector<std::vector<std::string>> settings = {{}, {"-l"}, {"-n", "3"}, {"-t", "2,7,+4"}, {"-t", "3 5"}};
    for (int round = 0; round < 20; ++round) {
        const std::vector<std::string> &extra = settings[static_cast<size_t>(round) % settings.size()];
        TempDir dir;
        std::vector<std::string> names = {"one.c", "sub/two.txt", "three"};
        ASSERT_EQ(mkdir(dir.file("sub").c_str(), 0755), 0);
        for (const std::string &name : names) writeFile(dir.file(name), randomFile(rng));
        auto args = [&](const std::string &mode) {
            std::vector<std::string> all = {mode};
            all.insert(all.end(), extra.begin(), extra.end());
            all.insert(all.end(), names.begin(), names.end());
            return all;
        };
        RunResult diff = run(args("--diff"), dir.path());
        ASSERT_TRUE(diff.status == 0 || diff.status == 1) << diff.err;
        EXPECT_EQ(diff.err, "");
        writeFile(dir.file("patch"), diff.out);
        shellOutput("cd " + dir.path() + " && mkdir before && cp -r one.c sub three before/ && cp -r before git && "
                    "cp -r before patched");
        RunResult inPlace = run(args("-i"), dir.path());
        ASSERT_EQ(inPlace.status, 0) << inPlace.err;
        std::string expectedHunks;
        for (const std::string &name : names) {
            // diff -u's own hunks for the file and what -i made of it.
            std::string oracle = shellOutput("cd " + dir.path() + " && diff -u before/" + name + " " + name);
            expectedHunks += hunks(oracle);
            if (!oracle.empty()) {
                EXPECT_NE(diff.out.find("--- a/" + name + "\n+++ b/" + name + "\n@@"), std::string::npos) << name;
            }
        }
        std::string ours;
        for (size_t at = 0; (at = diff.out.find("@@", at)) != std::string::npos;) {
            size_t next = diff.out.find("\n--- a/", at);
            ours += diff.out.substr(at, next == std::string::npos ? std::string::npos : next + 1 - at);
            if (next == std::string::npos) break;
            at = next;
        }
        EXPECT_EQ(ours, expectedHunks) << "round " << round;
        EXPECT_EQ(diff.status, expectedHunks.empty() ? 0 : 1);
        int status = 0;
        if (haveGit) {
            shellOutput("cd " + dir.path() + "/git && git apply ../patch 2>&1", &status);
            EXPECT_EQ(status, 0) << "git apply, round " << round;
        }
        if (havePatch) {
            shellOutput("cd " + dir.path() + "/patched && patch -s -p1 < ../patch 2>&1", &status);
            EXPECT_EQ(status, 0) << "patch -p1, round " << round;
        }
        for (const std::string &name : names) {
            if (haveGit) {
                EXPECT_EQ(readFile(dir.file("git/" + name)), readFile(dir.file(name))) << name;
            }
            if (havePatch) {
                EXPECT_EQ(readFile(dir.file("patched/" + name)), readFile(dir.file(name))) << name;
            }
        }
    }
    if (!haveGit || !havePatch) GTEST_SKIP() << "applied only with " << (haveGit ? "git" : "patch");
}

// The lines with a tab to expand, found one line at a time: the model the
// scan of every kernel is held to.
struct Found {
    uint64_t line, column, start;
    bool operator==(const Found &) const = default;
};

std::vector<Found> plainModel(const std::string &input, bool leadingOnly) {
    std::vector<Found> found;
    uint64_t line = 1;
    for (size_t start = 0; start < input.size(); ++line) {
        size_t end = input.find('\n', start);
        if (end == std::string::npos) end = input.size();
        size_t tab = leadingOnly ? input.find_first_not_of(' ', start) : input.find('\t', start);
        if (tab < end && input[tab] == '\t') found.push_back({line, tab - start + 1, start});
        start = end + 1;
    }
    return found;
}

void noteFound(uint64_t line, uint64_t column, uint64_t start, void *context) {
    static_cast<std::vector<Found> *>(context)->push_back({line, column, start});
}

// Each kernel, where this processor runs it, on bytes of every kind cut into
// blocks of every size (1 to 200 bytes, and whole), in both modes.
class TabLines : public ::testing::TestWithParam<ScanKernel> {};

TEST_P(TabLines, FoundAsThePlainModelFindsThem) {
    const ScanKernel kernel = GetParam();
    if (!scanKernelRuns(kernel)) GTEST_SKIP() << "the " << scanKernelName(kernel) << " kernel cannot run here";
    std::mt19937 rng(31);
    std::uniform_int_distribution<int> kindOf(0, 7), byteOf(0, 255), cutOf(1, 200), runOf(0, 150);
    {
        for (int round = 0; round < 40; ++round) {
            std::string input;
            for (int i = 0; i < 3000; ++i) {
                int kind = kindOf(rng);
                input += kind == 0 ? '\t' : kind == 1 ? '\n' : kind < 4 ? ' ' : static_cast<char>(byteOf(rng));
            }
            // Odd rounds add long lines that open with long runs of blanks,
            // so that leading blanks and lines go on across windows and blocks.
            for (int line = 0; round % 2 == 1 && line < 30; ++line) {
                input += std::string(static_cast<size_t>(runOf(rng)), ' ');
                if (kindOf(rng) < 4) input += '\t';
                input += std::string(static_cast<size_t>(runOf(rng)), kindOf(rng) < 4 ? ' ' : 'x');
                input += std::string(static_cast<size_t>(runOf(rng)) % 3, '\t') + "\n";
            }
            for (bool leadingOnly : {false, true}) {
                std::vector<Found> found;
                TabLineScan scan;
                scan.leadingOnly = leadingOnly;
                scan.found = noteFound;
                scan.context = &found;
                for (size_t at = 0; at < input.size();) {
                    size_t length = round == 0 ? input.size() : std::min<size_t>(cutOf(rng), input.size() - at);
                    std::vector<unsigned char> block(input.begin() + static_cast<long>(at),
                                                     input.begin() + static_cast<long>(at + length));
                    block.resize(length + kScanSlack, '\t');  // what lies behind a block must not count
                    findTabLinesWith(kernel, scan, block.data(), length);
                    at += length;
                }
                EXPECT_EQ(found, plainModel(input, leadingOnly))
                    << scanKernelName(kernel) << " round " << round << (leadingOnly ? " leading" : "");
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(CheckMode, TabLines, ::testing::ValuesIn(allScanKernels),
                         [](const ::testing::TestParamInfo<ScanKernel> &kernel) {
                             return std::string(scanKernelName(kernel.param));
                         });

// A file large enough to be checked on several processors (where this
// machine has several) is reported as the one scan over it reports: lines
// across the edges of the parts it is cut into (a first block of 256 KiB
// read at once, then parts of 512 KiB), lines longer
// than two parts, leading blanks and tabs on either side of an edge, a part
// ending in its newline, no final newline. A read failing part-way stops
// the report before the failure, with status 2.
TEST(CheckMode, LargeFileAsOneScan) {
    constexpr size_t firstBlock = 256 * 1024;
    constexpr size_t part = 512 * 1024;
    std::mt19937 rng(7);
    std::string input;
    int edges = 2;  // the first edge, after the block read at once, takes tabs on both sides
    int longLines = 0;
    while (input.size() < 20 * part) {
        const size_t toEdge = part - (input.size() + part - firstBlock) % part;
        if (toEdge < 4096) {
            // Across each edge one of five lines, its tab 0, 1 or 2 bytes
            // past the edge (15 edges in turn take the 15 kinds): leading blanks, inner
            // blanks, tabs on both sides, a newline as the part's last byte,
            // a tab as the next part's first byte after blanks.
            const int kind = edges % 5;
            const std::string blanks(toEdge - 1 + static_cast<size_t>(edges / 5 % 3), ' ');
            input += kind == 0 ? blanks + "\tx\n"
                   : kind == 1 ? "x" + blanks + "\ty\n"
                   : kind == 2 ? "\t" + blanks + "\t\n"
                   : kind == 3 ? std::string(toEdge - 1, 'x') + "\n"
                               : std::string(toEdge, ' ') + "\t\n";
            ++edges;
        } else if (longLines < 2 && input.size() > (3 + 8 * static_cast<size_t>(longLines)) * part) {
            // Longer than two parts, so that a part holds no newline: tabs
            // before and after it, or a word before blanks that go on through it.
            const std::string through(1100 * 1024, longLines == 0 ? 'x' : ' ');
            input += longLines == 0 ? "\t" + through + "\tx\n" : "x" + through + "\t\n";
            ++longLines;
        } else {
            const auto form = static_cast<unsigned>(rng());
            input += std::string(form % 3, ' ') + std::string(form / 3 % 3, '\t') + "text" +
                     (form / 9 % 2 ? "\tnote" : "") + "\n";
        }
    }
    input += "\tend";
    TempDir dir;
    writeFile(dir.file("big"), input);
    auto reportOf = [&](bool leadingOnly) {
        std::string report;
        for (const Found &f : plainModel(input, leadingOnly)) {
            report += "big:" + std::to_string(f.line) + ":" + std::to_string(f.column) + ": tab would be expanded\n";
        }
        return report;
    };
    const std::string expected = reportOf(false);
    for (bool leadingOnly : {false, true}) {
        const std::string report = leadingOnly ? reportOf(true) : expected;
        RunResult r = run(leadingOnly ? std::vector<std::string>{"--check", "-l", "big"}
                                      : std::vector<std::string>{"--check", "big"},
                          dir.path());
        EXPECT_TRUE(r.out == report) << (leadingOnly ? "-l: " : "") << r.out.size() << " bytes, not " << report.size();
        const auto lines = std::count(report.begin(), report.end(), '\n');
        EXPECT_EQ(r.err, std::to_string(lines) + " lines in 1 file would change; 0 files would not.\n");
        EXPECT_EQ(r.status, 1);
    }
    // A read that fails in the middle of the file, whichever thread reads
    // there: what is reported is the report's beginning, up to the line
    // that holds the failing byte at most.
    const size_t failing = 5 * part + 100;
    RunOptions options;
    options.args = {"--check", "big"};
    options.cwd = dir.path();
    options.env = {std::string("LD_PRELOAD=") + FAULT_INJECTOR_PATH, "ASAN_OPTIONS=verify_asan_link_order=0",
                   "FAULT_FILE=big", "FAULT_AT=" + std::to_string(failing) + "=5"};
    RunResult r = runTool(BLANKFILL_DYNAMIC_PATH, options);
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("Error while reading from \"big\": " + std::string(std::strerror(5))), std::string::npos);
    ASSERT_FALSE(r.out.empty());
    EXPECT_TRUE(r.out.back() == '\n' && expected.compare(0, r.out.size(), r.out) == 0);
    const uint64_t lastLine = std::stoull(r.out.substr(r.out.rfind("big:") + 4));
    EXPECT_LE(lastLine, std::count(input.begin(), input.begin() + failing, '\n') + 1);
}

// A binary file is left alone by --check, --diff and --editorconfig, and
// converted by plain -i as it always was.
TEST(CheckMode, PlainInPlaceStillConvertsBinaryFiles) {
    TempDir dir;
    const std::string binary("\x7f" "ELF\0\0\tx\n", 9);
    writeFile(dir.file("prog"), binary);
    EXPECT_EQ(run({"--diff", "-V", "prog"}, dir.path()).err, "\"prog\": binary file skipped\n");
    RunResult r = run({"-i", "prog"}, dir.path());
    EXPECT_EQ(r.err, "1 file was converted.\n");
    EXPECT_EQ(readFile(dir.file("prog")), std::string("\x7f" "ELF\0\0  x\n", 10));
}

}  // namespace
