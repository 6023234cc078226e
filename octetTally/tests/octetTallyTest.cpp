// The tool as a user runs it: reports compared byte for byte with a report
// built here from an independent count, every message and exit status, and
// the safety of the input file.
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "error.h"
#include "testing.h"

using testing_support::readFile;
using testing_support::RunOptions;
using testing_support::RunResult;
using testing_support::runTool;
using testing_support::StdinKind;
using testing_support::TempDir;
using testing_support::writeFile;

namespace {

const std::string tool = OCTETTALLY_PATH;
const std::string hint = "\"octetTally -h\" for help.\n";

const std::string helpText =
    "octetTally - count the various characters in the input and output a list of\n"
    "character frequencies.  octetTally assumes 8-bit characters.\n"
    "Usage:  octetTally [-r] [INFILE [OUTFILE]]\n"
    "        octetTally [-h|-v]\n"
    "Optional INFILE and OUTFILE are file names to read from and write to.\n"
    "Other options:\n"
    "     -r      use an alternative output format (no frequencies)\n"
    "     -h      show this help message\n"
    "     -v      show program version number, date, author, email, compile date\n"
    "     -e      add the entropy, a chi-square test and the mean of the bytes\n"
    "     -c      write a plain value,count table for scripts instead\n"
    "     -m      draw the counts as a 16x16 map of byte values instead\n"
    "     -e      goes on with the chi-square probability, the serial correlation,\n"
    "             a Monte Carlo value of pi, compression and min-entropy\n"
    "     -b SIZE chart the entropy of each block of SIZE bytes along the input,\n"
    "             with its edges (with -c: an offset,entropy line per block)\n"
    "     -j      write one JSON document instead of the report\n"
    "     --offset N   count from byte N on; --length N   count at most N bytes\n"
    "             (SIZE and N take K, M, G for powers of 1,024)\n"
    "     --high X, --low X   -b's edge thresholds in bits per byte (7.6, 6.8)\n";

// --- The expected report, built without the tool's code -------------------

std::string grouped(long long value) {
    std::string digits = std::to_string(value);
    std::string out;
    int sinceSeparator = 0;
    for (size_t i = digits.size(); i-- > 0;) {
        if (sinceSeparator == 3 && digits[i] != '-') {
            out.insert(out.begin(), ',');
            sinceSeparator = 0;
        }
        out.insert(out.begin(), digits[i]);
        ++sinceSeparator;
    }
    return out;
}

std::string rightAligned(const std::string &text, size_t width) {
    return text.size() >= width ? text : std::string(width - text.size(), ' ') + text;
}

std::string byteName(unsigned c, bool numeric) {
    static const char *const controls[] = {
        "NUL", "SOH", "STX", "ETX", "EOT", "ENQ", "ACK", "BEL", "BS",  "HT",  "LF",
        "VT",  "FF",  "CR",  "SO",  "SI",  "DLE", "DC1", "DC2", "DC3", "DC4", "NAK",
        "SYN", "ETB", "CAN", "EM",  "SUB", "ESC", "FS",  "GS",  "RS",  "US"};
    if (c < 32) return controls[c];
    if (c == 32) return "SP";
    if (c == 127) return "del";
    if (c < 128 || numeric) return std::string(1, static_cast<char>(c));
    const char hex[] = "0123456789ABCDEF";
    return std::string("0x") + hex[c >> 4] + hex[c & 15];
}

std::string expectedReport(const std::string &data, const std::string &inName, bool numeric) {
    if (data.empty()) return "File " + inName + " is empty.\n";
    std::vector<long long> counts(256, 0);
    for (char byte : data) ++counts[static_cast<unsigned char>(byte)];
    const long long total = static_cast<long long>(data.size());
    std::string out = "In \"" + inName + "\":\nTotal: " + grouped(total) + " bytes\n\n";
    if (numeric) {
        out += "Dec  Hex  Char" + rightAligned("Count", 26) + "\n";
        out += "--- ---- -----" + rightAligned(std::string(24, '-'), 26) + "\n";
        for (unsigned c = 0; c < 256; ++c) {
            char codes[16];
            std::snprintf(codes, sizeof codes, "%03u %04X ", c, c);
            out += codes + rightAligned(byteName(c, true), 5) + " " +
                   rightAligned(grouped(counts[c]), 25) + "\n";
        }
        return out;
    }
    std::vector<unsigned> order(256);
    for (unsigned c = 0; c < 256; ++c) order[c] = c;
    std::stable_sort(order.begin(), order.end(),
                     [&](unsigned a, unsigned b) { return counts[a] > counts[b]; });
    out += " Char" + rightAligned("Count", 26) + " Percent\n";
    out += "-----" + rightAligned(std::string(24, '-'), 26) + " -------\n";
    for (unsigned c : order) {
        char percent[32];
        std::snprintf(percent, sizeof percent, "%.3f",
                      static_cast<double>(counts[c]) * 100.0 / static_cast<double>(total));
        out += rightAligned(byteName(c, false), 5) + " " + rightAligned(grouped(counts[c]), 25) +
               " " + rightAligned(percent, 7) + "\n";
    }
    return out;
}

RunResult runOn(const std::vector<std::string> &args, const std::string &cwd = "") {
    RunOptions o;
    o.args = args;
    o.cwd = cwd;
    return runTool(tool, o);
}

RunResult runPiped(const std::string &data, std::vector<std::string> args = {}) {
    RunOptions o;
    o.args = std::move(args);
    o.stdinKind = StdinKind::Pipe;
    o.input = data;
    return runTool(tool, o);
}

void expectSuccess(const RunResult &r, const std::string &out, const std::string &label) {
    EXPECT_TRUE(r.exited) << label;
    EXPECT_EQ(r.status, 0) << label;
    EXPECT_EQ(r.err, "") << label;
    EXPECT_EQ(r.out, out) << label;
}

void expectFailure(const RunResult &r, const std::string &err, const std::string &label) {
    EXPECT_TRUE(r.exited) << label;
    EXPECT_EQ(r.status, 1) << label;
    EXPECT_EQ(r.err, err) << label;
    EXPECT_EQ(r.out, "") << label;
}

std::string allValuesOnce() {
    std::string data;
    for (int c = 255; c >= 0; --c) data += static_cast<char>(c);
    return data;
}

// --- Reports -----------------------------------------------------------------

TEST(OctetTallyReport, EmptyInput) {
    RunOptions fromNull;
    expectSuccess(runTool(tool, fromNull), "File <standard input> is empty.\n", "null");
    expectSuccess(runPiped(""), "File <standard input> is empty.\n", "pipe");
    expectSuccess(runPiped("", {"-r"}), "File <standard input> is empty.\n", "pipe -r");
    TempDir dir;
    writeFile(dir.file("empty"), "");
    expectSuccess(runOn({dir.file("empty")}), "File " + dir.file("empty") + " is empty.\n", "file");
}

TEST(OctetTallyReport, SingleByteLiteral) {
    RunResult r = runPiped("A");
    expectSuccess(r, expectedReport("A", "<standard input>", false), "A");
    // The layout spelt out once, so that the report built above is checked too.
    const std::string head =
        "In \"<standard input>\":\n"
        "Total: 1 bytes\n"
        "\n"
        " Char                     Count Percent\n"
        "-----  ------------------------ -------\n"
        "    A                         1 100.000\n"
        "  NUL                         0   0.000\n"
        "  SOH                         0   0.000\n";
    EXPECT_EQ(r.out.substr(0, head.size()), head);
    EXPECT_EQ(r.out.substr(r.out.size() - 80), " 0xFE                         0   0.000\n"
                                               " 0xFF                         0   0.000\n");

    RunResult numeric = runPiped("A", {"-r"});
    expectSuccess(numeric, expectedReport("A", "<standard input>", true), "-r A");
    const std::string numericHead =
        "In \"<standard input>\":\n"
        "Total: 1 bytes\n"
        "\n"
        "Dec  Hex  Char                     Count\n"
        "--- ---- -----  ------------------------\n"
        "000 0000   NUL                         0\n";
    EXPECT_EQ(numeric.out.substr(0, numericHead.size()), numericHead);
    EXPECT_NE(numeric.out.find("065 0041     A                         1\n"), std::string::npos);
}

TEST(OctetTallyReport, TiesKeepAscendingByteOrder) {
    const std::string data = "zzzbaY\x01\x02\xf0\xf0\xf0";
    RunResult r = runPiped(data);
    expectSuccess(r, expectedReport(data, "<standard input>", false), "ties");
    // Three each, then one each, in ascending order of the byte.
    const std::vector<std::string> rows = {"  STX", "    Y", "    a", "    b"};
    size_t prev = r.out.find(" 0xF0 ");
    ASSERT_NE(prev, std::string::npos);
    EXPECT_LT(r.out.find("    z "), prev);
    prev = r.out.find("  SOH ");
    ASSERT_GT(prev, r.out.find(" 0xF0 "));
    for (const std::string &row : rows) {
        size_t at = r.out.find(row + " ");
        EXPECT_GT(at, prev) << row;
        prev = at;
    }
}

TEST(OctetTallyReport, NamesOfSpecialBytes) {
    const std::string data = "\n \x7f\xc8";
    RunResult def = runPiped(data);
    expectSuccess(def, expectedReport(data, "<standard input>", false), "default");
    for (const char *row : {"   LF                         1  25.000\n",
                            "   SP                         1  25.000\n",
                            "  del                         1  25.000\n",
                            " 0xC8                         1  25.000\n"}) {
        EXPECT_NE(def.out.find(row), std::string::npos) << row;
    }
    RunResult num = runPiped(data, {"-r"});
    expectSuccess(num, expectedReport(data, "<standard input>", true), "-r");
    for (const char *row : {"010 000A    LF                         1\n",
                            "032 0020    SP                         1\n",
                            "127 007F   del                         1\n",
                            "200 00C8     \xc8                         1\n"}) {
        EXPECT_NE(num.out.find(row), std::string::npos) << row;
    }
}

TEST(OctetTallyReport, AllByteValuesFromAFile) {
    TempDir dir;
    const std::string path = dir.file("all");
    const std::string data = allValuesOnce() + "aab";
    writeFile(path, data);
    expectSuccess(runOn({path}), expectedReport(data, path, false), "default");
    expectSuccess(runOn({"-r", path}), expectedReport(data, path, true), "-r");
}

TEST(OctetTallyReport, RandomMegabytesAgainstIndependentCount) {
    // Skewed so that counts differ and several need separators; more than one
    // 64 KiB block, and not a multiple of eight bytes.
    std::mt19937 gen(2024);
    std::geometric_distribution<int> skew(0.02);
    std::string data(3 * 1024 * 1024 + 13, '\0');
    for (char &byte : data) byte = static_cast<char>(skew(gen) % 256);
    TempDir dir;
    writeFile(dir.file("random"), data);
    expectSuccess(runOn({dir.file("random")}), expectedReport(data, dir.file("random"), false),
                  "file");
    RunResult piped = runPiped(data, {"-r"});
    expectSuccess(piped, expectedReport(data, "<standard input>", true), "pipe -r");

    // Runs of one value, of every length and alignment, across block ends.
    std::string runs;
    std::uniform_int_distribution<int> runLength(1, 300);
    while (runs.size() < 2 * 1024 * 1024 + 5) {
        const char value = static_cast<char>(gen() % 4 == 0 ? 0 : gen() % 256);
        runs.append(static_cast<size_t>(runLength(gen)), value);
    }
    expectSuccess(runPiped(runs), expectedReport(runs, "<standard input>", false), "runs");
}

TEST(OctetTallyReport, TotalsWithSeparators) {
    const std::string data(1234567, 'x');
    RunResult r = runPiped(data);
    expectSuccess(r, expectedReport(data, "<standard input>", false), "1234567");
    EXPECT_EQ(r.out.find("Total: 1,234,567 bytes\n"), 23u);
    EXPECT_NE(r.out.find("    x                 1,234,567 100.000\n"), std::string::npos);
}

// --- Arguments ---------------------------------------------------------------

TEST(OctetTallyArguments, HelpBannerAndUnknownOptions) {
    const std::string banner = std::string("octetTally version 1.35 (2024-09-02)\nby ") + author +
                               " <" + email + ">,\ncompiled ";
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string outPrefix;  // banner: prefix only (the build time varies)
        std::string err;
        bool isBanner;
    } cases[] = {
        {{"-h"}, 0, helpText, "", false},
        {{"-H"}, 0, helpText, "", false},
        {{"-?"}, 0, helpText, "", false},
        {{"--help"}, 0, helpText, "", false},
        {{"--anything"}, 0, helpText, "", false},
        {{"-r-"}, 0, helpText, "", false},
        {{"-rh", "no-such-file"}, 0, helpText, "", false},
        {{"-v"}, 0, banner, "", true},
        {{"-V"}, 0, banner, "", true},
        {{"-rv"}, 0, banner, "", true},
        {{"-v", "-x"}, 0, banner, "", true},
        {{"-x"}, 1, "", "octetTally: Unknown option -x\n", false},
        {{"-rx"}, 1, "", "octetTally: Unknown option -x\n", false},
        {{"-r", "-q", "-h"}, 1, "", "octetTally: Unknown option -q\n", false},
        {{"a", "b", "c"}, 1, "", "octetTally: Too many file names given on the command line.\n" + hint,
         false},
        {{"--", "a", "b", "c"}, 1, "",
         "octetTally: Too many file names given on the command line.\n" + hint, false},
    };
    for (const Case &c : cases) {
        std::string label;
        for (const std::string &a : c.args) label += a + " ";
        RunResult r = runOn(c.args);
        EXPECT_EQ(r.status, c.status) << label;
        EXPECT_EQ(r.err, c.err) << label;
        if (c.isBanner) {
            EXPECT_EQ(r.out.substr(0, c.outPrefix.size()), c.outPrefix) << label;
            EXPECT_EQ(r.out.substr(r.out.size() - 6), " EST.\n") << label;
            EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 3) << label;
        } else {
            EXPECT_EQ(r.out, c.outPrefix) << label;
        }
    }
}

// The first ending met wins: the scan's first bad option or help, then the
// checks made after the scan (options that cannot go together before the
// count of file names); an option's value is taken, never scanned itself.
TEST(OctetTallyArguments, FirstEndingWins) {
    const std::string bytes = "a number of bytes, with K, M or G for powers of 1,024\n";
    const struct {
        std::vector<std::string> args;
        int status;
        std::string out;
        std::string err;
    } cases[] = {
        {{"-b", "1", "-h"}, 1, "", "octetTally: Block size 1 is too small: a block has at least 64 bytes\n" + hint},
        {{"-c", "-e", "-h"}, 0, helpText, ""},
        {{"-ce", "a", "b", "c"}, 1, "", "octetTally: Option -c cannot be combined with -e\n" + hint},
        {{"-b", "64", "-x", "-v"}, 1, "", "octetTally: Unknown option -x\n"},
        {{"--offset=", "-1"}, 1, "", "octetTally: Invalid --offset \"-1\": " + bytes + hint},
        {{"--high", "-h"}, 1, "", "octetTally: Invalid --high \"-h\": a number of bits per byte from 0 to 8\n" + hint},
    };
    for (const auto &c : cases) {
        const RunResult r = runOn(c.args);
        EXPECT_EQ(r.status, c.status) << c.args[0];
        EXPECT_EQ(r.out, c.out) << c.args[0];
        EXPECT_EQ(r.err, c.err) << c.args[0];
    }
}

TEST(OctetTallyArguments, FileNamesThatLookLikeOptions) {
    TempDir dir;
    writeFile(dir.file("-"), "dash");
    writeFile(dir.file("-r"), "minus r");
    writeFile(dir.file("in"), "input");
    // A lone "-" is a file name, and so is everything after the first name.
    expectSuccess(runOn({"-"}, dir.path()), expectedReport("dash", "-", false), "-");
    expectSuccess(runOn({"-r", "-"}, dir.path()), expectedReport("dash", "-", true), "-r -");
    // After "--", "-r" is the input's name, not the option.
    expectSuccess(runOn({"--", "-r"}, dir.path()), expectedReport("minus r", "-r", false), "-- -r");
    RunResult toDashR = runOn({"in", "-x"}, dir.path());
    expectSuccess(toDashR, "", "in -x");
    EXPECT_EQ(readFile(dir.file("-x")), expectedReport("input", "in", false));
    RunResult both = runOn({"-r", "--", "-", "-v"}, dir.path());
    expectSuccess(both, "", "-r -- - -v");
    EXPECT_EQ(readFile(dir.file("-v")), expectedReport("dash", "-", true));
}

TEST(OctetTallyArguments, OneAndTwoNamesAndOutputTruncation) {
    TempDir dir;
    const std::string in = dir.file("in.txt");
    const std::string out = dir.file("out.txt");
    writeFile(in, "hello, world\n");
    expectSuccess(runOn({in}), expectedReport("hello, world\n", in, false), "one name");
    writeFile(out, std::string(100000, '#'));
    expectSuccess(runOn({"-r", in, out}), "", "two names");
    EXPECT_EQ(readFile(out), expectedReport("hello, world\n", in, true));
    // The notice of an empty input goes to the output file too.
    writeFile(in, "");
    expectSuccess(runOn({in, out}), "", "empty to file");
    EXPECT_EQ(readFile(out), "File " + in + " is empty.\n");
}

TEST(OctetTallyArguments, FilesThatCannotBeOpened) {
    TempDir dir;
    dir.openToAll();
    const std::string missing = dir.file("missing");
    const std::string noDir = dir.file("nodir/out");
    const std::string secret = dir.file("secret");
    const std::string in = dir.file("in");
    writeFile(secret, "private", 0000);
    writeFile(in, "data", 0644);
    mkdir(dir.file("locked").c_str(), 0755);
    const std::string locked = dir.file("locked/out");

    struct Case {
        std::vector<std::string> args;
        bool asNobody;
        std::string err;
    } cases[] = {
        {{missing}, false,
         "octetTally: Cannot open \"" + missing + "\" for input: No such file or directory\n" + hint},
        {{in, noDir}, false,
         "octetTally: Cannot open \"" + noDir + "\" for output: No such file or directory\n" + hint},
        // The input is opened first.
        {{missing, noDir}, false,
         "octetTally: Cannot open \"" + missing + "\" for input: No such file or directory\n" + hint},
        {{secret}, true,
         "octetTally: Cannot open \"" + secret + "\" for input: Permission denied\n" + hint},
        {{in, locked}, true,
         "octetTally: Cannot open \"" + locked + "\" for output: Permission denied\n" + hint},
    };
    for (const Case &c : cases) {
        RunOptions o;
        o.args = c.args;
        o.asNobody = c.asNobody;
        expectFailure(runTool(tool, o), c.err, c.args[0] + (c.asNobody ? " as nobody" : ""));
    }
    EXPECT_EQ(access(noDir.c_str(), F_OK), -1);
    EXPECT_EQ(access(locked.c_str(), F_OK), -1);
}

TEST(OctetTallyArguments, DirectoryAsInputIsAReadError) {
    TempDir dir;
    expectFailure(runOn({dir.path()}),
                  "octetTally: Error reading from \"" + dir.path() + "\": Is a directory\n", "dir");
    RunOptions o;
    o.stdinKind = StdinKind::Path;
    o.stdinPath = dir.path();
    expectFailure(runTool(tool, o),
                  "octetTally: Error reading from \"<standard input>\": Is a directory\n", "stdin");
}

TEST(OctetTallyArguments, OutputThatIsTheInputIsRefused) {
    TempDir dir;
    const std::string in = dir.file("data");
    const std::string content = "precious data, not to be lost\n";
    writeFile(in, content);
    ASSERT_EQ(symlink(in.c_str(), dir.file("link").c_str()), 0);
    ASSERT_EQ(link(in.c_str(), dir.file("hard").c_str()), 0);
    mkdir(dir.file("sub").c_str(), 0755);
    for (const std::string &out :
         {in, dir.path() + "/./data", dir.path() + "/sub/../data", dir.file("link"), dir.file("hard")}) {
        for (bool numeric : {false, true}) {
            std::vector<std::string> args = {in, out};
            if (numeric) args.insert(args.begin(), "-r");
            expectFailure(runOn(args),
                          "octetTally: Cannot write to \"" + out + "\": it is the input file\n" + hint,
                          out);
            EXPECT_EQ(readFile(in), content) << out;
        }
    }
    // Through the link as input and the real name as output, too.
    expectFailure(runOn({dir.file("link"), in}),
                  "octetTally: Cannot write to \"" + in + "\": it is the input file\n" + hint, "link in");
    EXPECT_EQ(readFile(in), content);
    // A device is not a file that could be truncated.
    expectSuccess(runOn({"/dev/null", "/dev/null"}), "", "/dev/null twice");
}

// Runs the tool with standard output (and, if asked, standard input) opened
// on `path` with `flags`, as `tool f 1<>f` or `tool f >> f` does, or closed
// for an empty `path`; returns the exit status and standard error.
std::pair<int, std::string> runWithOutputOn(const std::vector<std::string> &args,
                                            const std::string &path, int flags, bool inputToo,
                                            const TempDir &dir) {
    const std::string errPath = dir.file("stderr");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (path.empty()) {
        posix_spawn_file_actions_addclose(&actions, 1);
    } else {
        posix_spawn_file_actions_addopen(&actions, 1, path.c_str(), flags, 0644);
    }
    if (inputToo) posix_spawn_file_actions_addopen(&actions, 0, path.c_str(), O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    std::vector<char *> argv = {const_cast<char *>(tool.c_str())};
    for (const std::string &a : args) argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid;
    int status = -1;
    if (posix_spawn(&pid, tool.c_str(), &actions, nullptr, argv.data(), environ) == 0) {
        waitpid(pid, &status, 0);
    }
    posix_spawn_file_actions_destroy(&actions);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, readFile(errPath)};
}

TEST(OctetTallyArguments, StandardOutputThatIsTheInputIsRefused) {
    TempDir dir;
    const std::string in = dir.file("data");
    const std::string content = "precious data, not to be lost\n";
    const std::string refused =
        "octetTally: Cannot write to \"<standard output>\": it is the input file\n" + hint;
    struct Case {
        std::vector<std::string> args;
        int flags;
        bool inputToo;
        std::string label;
    } cases[] = {
        {{in}, O_RDWR, false, "f 1<>f"},
        {{"-r", in}, O_RDWR, false, "-r f 1<>f"},
        {{in}, O_WRONLY | O_APPEND, false, "f >> f"},
        {{}, O_WRONLY | O_APPEND, true, "< f >> f"},
        {{"--", in}, O_RDWR, false, "-- f 1<>f"},
    };
    for (const Case &c : cases) {
        writeFile(in, content);
        const auto [status, err] = runWithOutputOn(c.args, in, c.flags, c.inputToo, dir);
        EXPECT_EQ(status, 1) << c.label;
        EXPECT_EQ(err, refused) << c.label;
        EXPECT_EQ(readFile(in), content) << c.label;
    }
    // Another file as standard output is written as usual.
    writeFile(in, content);
    const auto [status, err] =
        runWithOutputOn({in}, dir.file("other"), O_WRONLY | O_CREAT | O_APPEND, false, dir);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(err, "");
    EXPECT_EQ(readFile(dir.file("other")), expectedReport(content, in, false));
    // A closed standard output is a write error, though the input then
    // takes its descriptor.
    const auto [closedStatus, closedErr] = runWithOutputOn({in}, "", 0, false, dir);
    EXPECT_EQ(closedStatus, 1);
    EXPECT_EQ(closedErr, "octetTally: Error writing to \"<standard output>\": Bad file descriptor\n");
    EXPECT_EQ(readFile(in), content);
}

TEST(OctetTallyArguments, WriteErrorsAreReported) {
    const std::string data = allValuesOnce();
    struct Case {
        std::vector<std::string> args;
        std::string stdoutPath;
        std::string input;
        long long sizeLimit;
        std::string err;
    } cases[] = {
        {{}, "/dev/full", data, -1,
         "octetTally: Error writing to \"<standard output>\": No space left on device\n"},
        {{"-r"}, "/dev/full", data, -1,
         "octetTally: Error writing to \"<standard output>\": No space left on device\n"},
        {{"-c"}, "/dev/full", data, -1,
         "octetTally: Error writing to \"<standard output>\": No space left on device\n"},
        {{"-me"}, "/dev/full", data, -1,
         "octetTally: Error writing to \"<standard output>\": No space left on device\n"},
        {{"-", "/dev/full"}, "", data, -1,
         "octetTally: Error writing to \"/dev/full\": No space left on device\n"},
        {{}, "/dev/full", "", -1,
         "octetTally: Error writing to \"<standard output>\": No space left on device\n"},
        {{"-", "OUT"}, "", data, 100, "octetTally: Error writing to \"OUT\": File too large\n"},
        {{}, "OUT", data, 5000, "octetTally: Error writing to \"<standard output>\": File too large\n"},
        // Help is output like the banner and the table.
        {{"-h"}, "/dev/full", "", -1, "octetTally: Cannot write to <standard output>: No space left on device\n"},
        {{"-v"}, "/dev/full", "", -1, "octetTally: Cannot write to <standard output>: No space left on device\n"},
    };
    for (const Case &c : cases) {
        TempDir dir;
        writeFile(dir.file("-"), c.input);
        RunOptions o;
        o.args = c.args;
        o.cwd = dir.path();
        o.stdinKind = StdinKind::Pipe;
        o.input = c.input;
        o.fileSizeLimit = c.sizeLimit;
        o.stdoutPath = c.stdoutPath == "OUT" ? dir.file("OUT") : c.stdoutPath;
        RunResult r = runTool(tool, o);
        EXPECT_TRUE(r.exited);
        EXPECT_EQ(r.status, 1) << c.err;
        EXPECT_EQ(r.err, c.err);
    }
}

TEST(OctetTallyTerminal, NoticeWhenReadingAKeyboard) {
    RunOptions o;
    o.stdinKind = StdinKind::Pty;
    testing_support::Running running = testing_support::startTool(tool, o);
    ASSERT_TRUE(testing_support::waitForStderr(running, "Waiting for keyboard input..."));
    // A line, then end of input typed at the start of the next line.
    const char typed[] = "AB\n\x04";
    ASSERT_EQ(write(running.ptyMaster, typed, sizeof typed - 1), static_cast<ssize_t>(sizeof typed - 1));
    RunResult r = testing_support::finishTool(running);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "octetTally: Waiting for keyboard input...\n");
    EXPECT_EQ(r.out, expectedReport("AB\n", "<standard input>", false));
}

// --- Statistics, the plain table and the map --------------------------------

std::vector<long long> countOf(const std::string &data) {
    std::vector<long long> counts(256, 0);
    for (char byte : data) ++counts[static_cast<unsigned char>(byte)];
    return counts;
}

// The three figures from their textbook formulas, with the standard library's
// logarithm: -sum p log2 p, sum (count - n/256)^2 / (n/256), sum of bytes / n.
std::string expectedStatistics(const std::string &data) {
    const std::vector<long long> counts = countOf(data);
    const double n = static_cast<double>(data.size());
    double entropy = 0;
    double chiSquare = 0;
    double sum = 0;
    for (size_t v = 0; v < 256; ++v) {
        const double c = static_cast<double>(counts[v]);
        if (c > 0) entropy -= c / n * std::log2(c / n);
        chiSquare += (c - n / 256) * (c - n / 256) / (n / 256);
        sum += static_cast<double>(v) * c;
    }
    char text[200];
    std::snprintf(text, sizeof text,
                  "\nEntropy: %.6f bits per byte\nChi-square: %.6f with 255 degrees of freedom\n"
                  "Arithmetic mean: %.6f\n",
                  entropy, chiSquare, sum / n);
    return text;
}

// The chance that a chi-square variable of `k` degrees of freedom exceeds
// `x`: the regularized upper incomplete gamma function Q(k/2, x/2), by its
// power series below k/2 + 1 and by its continued fraction above, in long
// double, as the textbooks give them.
long double chiSquareTail(long double x, int k) {
    const long double a = k / 2.0L;
    const long double z = x / 2.0L;
    if (z <= 0) return 1;
    const long double front = std::exp(a * std::log(z) - z - std::lgamma(a));
    if (z < a + 1) {
        long double term = 1 / a;
        long double sum = term;
        for (int n = 1; n < 100000 && term > sum * 1e-19L; ++n) sum += term *= z / (a + n);
        return 1 - front * sum;
    }
    const long double tiny = 1e-300L;
    long double b = z + 1 - a, c = 1 / tiny, d = 1 / b, h = d;
    for (int i = 1; i < 100000; ++i) {
        const long double an = -i * (i - a);
        b += 2;
        d = an * d + b;
        c = b + an / c;
        d = 1 / (std::fabs(d) < tiny ? tiny : d);
        c = std::fabs(c) < tiny ? tiny : c;
        h *= d * c;
        if (std::fabs(d * c - 1) < 1e-19L) break;
    }
    return front * h;
}

// The figures -e gives after the first three, from their textbook formulas:
// the chi-square's tail, the serial correlation of each byte with the next
// (the last with the first), pi from six-byte points (24-bit x then y, inside
// when x^2 + y^2 <= (2^24 - 1)^2), the compression that the entropy allows,
// and -log2 of the largest byte probability.
std::string expectedMoreStatistics(const std::string &data) {
    const std::vector<long long> counts = countOf(data);
    const double n = static_cast<double>(data.size());
    double entropy = 0, chiSquare = 0, sum = 0, squares = 0, products = 0, most = 0;
    for (size_t v = 0; v < 256; ++v) {
        const double c = static_cast<double>(counts[v]);
        if (c > 0) entropy -= c / n * std::log2(c / n);
        chiSquare += (c - n / 256) * (c - n / 256) / (n / 256);
        sum += static_cast<double>(v) * c;
        squares += static_cast<double>(v * v) * c;
        most = std::max(most, c);
    }
    const auto byte = [&](size_t i) { return static_cast<double>(static_cast<unsigned char>(data[i])); };
    for (size_t i = 0; i < data.size(); ++i) products += byte(i) * byte((i + 1) % data.size());
    long long points = 0, inside = 0;
    for (size_t i = 0; i + 6 <= data.size(); i += 6, ++points) {
        const double x = byte(i) * 65536 + byte(i + 1) * 256 + byte(i + 2);
        const double y = byte(i + 3) * 65536 + byte(i + 4) * 256 + byte(i + 5);
        inside += x * x + y * y <= 16777215.0 * 16777215.0 ? 1 : 0;
    }
    const double percent = static_cast<double>(chiSquareTail(chiSquare, 255) * 100);
    char text[600];
    int at = percent < 0.01    ? std::snprintf(text, sizeof text, "Chi-square probability: less than 0.01")
             : percent > 99.99 ? std::snprintf(text, sizeof text, "Chi-square probability: more than 99.99")
                               : std::snprintf(text, sizeof text, "Chi-square probability: %.2f", percent);
    at += std::snprintf(text + at, sizeof text - at, " percent of random inputs exceed it\n");
    const double spread = n * squares - sum * sum;
    at += spread == 0 ? std::snprintf(text + at, sizeof text - at, "Serial correlation: undefined (all values equal)\n")
                      : std::snprintf(text + at, sizeof text - at, "Serial correlation: %.6f\n",
                                      (n * products - sum * sum) / spread);
    const double pi = 4.0 * static_cast<double>(inside) / static_cast<double>(points);
    at += points == 0 ? std::snprintf(text + at, sizeof text - at, "Monte Carlo value of pi: undefined (fewer than 6 bytes)\n")
                      : std::snprintf(text + at, sizeof text - at, "Monte Carlo value of pi: %.9f (error %.2f percent)\n",
                                      pi, 100.0 * std::fabs(M_PI - pi) / M_PI);
    std::snprintf(text + at, sizeof text - at,
                  "Optimum compression would reduce the size by %d percent\nMin-entropy: %.6f bits per byte\n",
                  static_cast<int>(100.0 * (8.0 - entropy) / 8.0), 0.0 - std::log2(most / n));
    return text;
}

std::string expectedPlainTable(const std::string &data) {
    const std::vector<long long> counts = countOf(data);
    std::string out = "value,count\n";
    for (size_t v = 0; v < 256; ++v) out += std::to_string(v) + "," + std::to_string(counts[v]) + "\n";
    return out;
}

std::string headerOf(const std::string &data) {
    return "In \"<standard input>\":\nTotal: " + grouped(static_cast<long long>(data.size())) +
           " bytes\n\n";
}

// A map whose cells are all `cell` (two characters) but for those of `marked`,
// which are `markedCell`, and its legend line.
std::string mapOf(const std::string &cell, const std::vector<std::pair<int, std::string>> &marked,
                  const std::string &legend) {
    std::string out = "    x0 x1 x2 x3 x4 x5 x6 x7 x8 x9 xA xB xC xD xE xF\n";
    const char hex[] = "0123456789ABCDEF";
    for (int high = 0; high < 16; ++high) {
        std::string row = std::string(1, hex[high]) + "x ";
        for (int low = 0; low < 16; ++low) {
            std::string shade = cell;
            for (const auto &[value, markedCell] : marked) {
                if (value == high * 16 + low) shade = markedCell;
            }
            row += " " + shade;
        }
        row.erase(row.find_last_not_of(' ') + 1);
        out += row + "\n";
    }
    return out + "\n" + legend + "\n";
}

TEST(OctetTallyOptions, StatisticsOfKnownAndRandomInputs) {
    std::string uniform;
    for (int round = 0; round < 3; ++round) uniform += allValuesOnce();
    std::mt19937 gen(23);
    std::geometric_distribution<int> skew(0.01);
    std::string random(300000, '\0');
    for (char &byte : random) byte = static_cast<char>(skew(gen) % 256);
    struct Case {
        std::string data;
        std::vector<std::string> args;
        std::string literal;  // part of the figures, worked out by hand
        bool numeric;
    } cases[] = {
        // All bytes alike: no uncertainty, and the chi-square is 255 n.
        {std::string(1000, 'A'), {"-e"},
         "Entropy: 0.000000 bits per byte\nChi-square: 255000.000000 with 255 degrees of freedom\n"
         "Arithmetic mean: 65.000000\n",
         false},
        // Every value equally often: eight bits, no deviation, the middle.
        {uniform, {"-re"},
         "Entropy: 8.000000 bits per byte\nChi-square: 0.000000 with 255 degrees of freedom\n"
         "Arithmetic mean: 127.500000\n",
         true},
        {"\xff\x01", {"-e"}, "Entropy: 1.000000 bits per byte\n", false},
        {random, {"-e"}, "", false},
    };
    for (const Case &c : cases) {
        RunResult r = runPiped(c.data, c.args);
        const std::string expected =
            expectedReport(c.data, "<standard input>", c.numeric) + expectedStatistics(c.data) +
            expectedMoreStatistics(c.data);
        expectSuccess(r, expected, c.args[0] + " on " + std::to_string(c.data.size()) + " bytes");
        EXPECT_NE(r.out.find(c.literal), std::string::npos) << c.literal;
    }
    // No figures for an empty input, and the same figures through files.
    expectSuccess(runPiped("", {"-e"}), "File <standard input> is empty.\n", "empty");
    TempDir dir;
    writeFile(dir.file("in"), random);
    expectSuccess(runOn({"-e", dir.file("in"), dir.file("out")}), "", "files");
    EXPECT_EQ(readFile(dir.file("out")),
              expectedReport(random, dir.file("in"), false) + expectedStatistics(random) +
                  expectedMoreStatistics(random));
}

TEST(OctetTallyOptions, PlainTableForScripts) {
    const std::string data = std::string(1234, '\0') + "hello\xff";
    for (const std::vector<std::string> &args : {std::vector<std::string>{"-c"}, {"-cr"}, {"-r", "-c"}}) {
        expectSuccess(runPiped(data, args), expectedPlainTable(data), args[0]);
    }
    // An empty input is 256 zeros, not a notice a script would have to parse.
    expectSuccess(runPiped("", {"-c"}), expectedPlainTable(""), "empty");
    TempDir dir;
    writeFile(dir.file("in"), data);
    expectSuccess(runOn({"-c", dir.file("in"), dir.file("out")}), "", "files");
    EXPECT_EQ(readFile(dir.file("out")), expectedPlainTable(data));
    // Nothing may be added to the plain table or take its place.
    for (const char *combined : {"-ce", "-mc"}) {
        expectFailure(runPiped(data, {combined}),
                      std::string("octetTally: Option -c cannot be combined with -") +
                          (combined[1] == 'c' ? 'e' : 'm') + "\n" + hint,
                      combined);
    }
}

TEST(OctetTallyOptions, ByteMapLevelsAndShades) {
    const std::vector<std::string> utf8 = {"LC_ALL=C.UTF-8"};
    const std::vector<std::string> plain = {"LC_ALL=C"};
    std::string uniform;
    for (int round = 0; round < 5; ++round) uniform += allValuesOnce();
    // Counts on both sides of each level's lowest count, for a largest count
    // of 4096 (13 bits): the levels begin at 1, 8, 64 and 512.
    std::string steps;
    const std::pair<int, int> stepCounts[] = {{0x00, 4096}, {0x11, 512}, {0x22, 511}, {0x33, 64},
                                              {0x44, 63},   {0x55, 8},   {0x66, 7},   {0xF7, 1}};
    for (const auto &[value, count] : stepCounts) steps.append(size_t(count), char(value));
    struct Case {
        std::string data;
        std::vector<std::string> args;
        std::vector<std::string> env;
        std::string map;
    } cases[] = {
        // One value alone: one full cell. 100 has 7 bits, spread over the
        // levels as 1, 2-3, 4-5 and 6-7 bits.
        {std::string(100, 'A'), {"-m"}, utf8,
         mapOf("  ", {{0x41, "\u2588\u2588"}},
               "Counts: blank 0, \u2591 1+, \u2592 2+, \u2593 8+, \u2588 32+")},
        {std::string(100, 'A'), {"-m"}, plain,
         mapOf("  ", {{0x41, "##"}}, "Counts: blank 0, . 1+, : 2+, * 8+, # 32+")},
        {"A", {"-m"}, plain, mapOf("  ", {{0x41, "##"}}, "Counts: blank 0, . -, : -, * -, # 1+")},
        // Every value equally often: every cell at the top level. A scale of
        // fewer than four bit lengths (5 has 3) leaves the lowest levels out.
        {uniform, {"-rm"}, utf8,
         mapOf("\u2588\u2588", {}, "Counts: blank 0, \u2591 -, \u2592 1+, \u2593 2+, \u2588 4+")},
        {steps, {"-m"}, plain,
         mapOf("  ",
               {{0x00, "##"}, {0x11, "##"}, {0x22, "**"}, {0x33, "**"}, {0x44, "::"}, {0x55, "::"},
                {0x66, ".."}, {0xF7, ".."}},
               "Counts: blank 0, . 1+, : 8+, * 64+, # 512+")},
    };
    const bool utf8Loads = testing_support::utf8LocaleLoads();
    for (const Case &c : cases) {
        if (c.env == utf8 && !utf8Loads) continue;  // named as skipped below
        RunOptions o;
        o.args = c.args;
        o.env = c.env;
        o.stdinKind = StdinKind::Pipe;
        o.input = c.data;
        expectSuccess(runTool(tool, o), headerOf(c.data) + c.map, c.env[0] + " " + c.args[0]);
    }
    // With the figures after it, from a file to a file, and the empty notice.
    TempDir dir;
    writeFile(dir.file("in"), steps);
    RunOptions o;
    o.args = {"-me", dir.file("in"), dir.file("out")};
    o.env = plain;
    expectSuccess(runTool(tool, o), "", "-me files");
    EXPECT_EQ(readFile(dir.file("out")), "In \"" + dir.file("in") + "\":\nTotal: 5,262 bytes\n\n" +
                                             cases[4].map + expectedStatistics(steps) +
                                             expectedMoreStatistics(steps));
    expectSuccess(runPiped("", {"-m"}), "File <standard input> is empty.\n", "empty");
    if (!utf8Loads) GTEST_SKIP() << "the UTF-8 shades were not checked: no UTF-8 locale loads here";
}

// A sparse file past 4 GiB, from its name and through a pipe: counts and
// offsets that a 32-bit size would cut short.
TEST(OctetTallyOptions, SparseFileOverFourGiB) {
    TempDir dir;
    const off_t size = (off_t{1} << 32) + 3;
    const std::string path = dir.file("sparse");
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    for (off_t at : {off_t{0}, (off_t{1} << 32) - 1, size - 1}) ASSERT_EQ(pwrite(fd, "A", 1, at), 1);
    ASSERT_EQ(close(fd), 0);
    std::string expected = "value,count\n";
    for (int v = 0; v < 256; ++v) {
        const long long count = v == 0 ? static_cast<long long>(size) - 3 : v == 'A' ? 3 : 0;
        expected += std::to_string(v) + "," + std::to_string(count) + "\n";
    }
    RunOptions o;
    o.args = {"-c", path};
    expectSuccess(runTool(tool, o), expected, "file");
    int status = -1;
    EXPECT_EQ(testing_support::shellOutput("cat '" + path + "' | '" + tool + "' -c", &status), expected);
    EXPECT_EQ(status, 0) << "pipe";
}

// --- A large file on several threads -----------------------------------------

// A file cut or lengthened by another process while it is counted: the
// count ends with a table of what was read, or with a read error, and never
// with a signal (a mapping of the file would end in a bus error).
TEST(OctetTallyThreads, FileChangedWhileCounted) {
    TempDir dir;
    const std::string path = dir.file("changing");
    const off_t size = off_t{1} << 30;  // a written head, then a hole
    const std::string head(8 << 20, 'h');
    const struct {
        int delayMs;
        off_t cutTo;  // -1: lengthened instead, by appends
    } rows[] = {{0, 0}, {2, 5 << 20}, {10, 0}, {30, (off_t{1} << 29) + 3}, {0, -1}, {15, -1}};
    for (const auto &row : rows) {
        writeFile(path, head);
        ASSERT_EQ(truncate(path.c_str(), size), 0);
        RunOptions o;
        o.args = {path};
        testing_support::Running running = testing_support::startTool(tool, o);
        usleep(static_cast<useconds_t>(row.delayMs * 1000));
        const int fd = open(path.c_str(), O_WRONLY | O_APPEND);
        ASSERT_GE(fd, 0);
        if (row.cutTo >= 0) {
            EXPECT_EQ(ftruncate(fd, row.cutTo), 0);
        } else {
            for (int i = 0; i < 64; ++i) EXPECT_EQ(write(fd, "grown\n", 6), 6);
        }
        close(fd);
        const RunResult r = testing_support::finishTool(running);
        const std::string label = "after " + std::to_string(row.delayMs) + " ms, to " + std::to_string(row.cutTo);
        ASSERT_TRUE(r.exited) << label << ": ended by signal " << r.signal;
        if (r.status != 0) {
            EXPECT_EQ(r.err.rfind("octetTally: Error reading from \"" + path + "\": ", 0), 0u) << r.err;
            continue;
        }
        // Cut before it was looked at, the file is empty.
        if (r.out == "File " + path + " is empty.\n") continue;
        const std::size_t at = r.out.find("Total: ");
        ASSERT_NE(at, std::string::npos) << label << ": " << r.out.substr(0, 200);
        std::string digits;
        for (std::size_t i = at + 7; i < r.out.size() && r.out[i] != ' '; ++i) {
            if (r.out[i] != ',') digits += r.out[i];
        }
        const long long total = std::stoll(digits);
        if (row.cutTo >= 0) {
            EXPECT_LE(total, size) << label;
        } else {
            EXPECT_GE(total, size) << label;
            EXPECT_LE(total, size + 64 * 6) << label;
        }
    }
}

// A read that fails in one range of a file counted on several threads (or
// on one, where the machine has one processor) ends the run like any read
// error, with the error of the first range that failed, whichever thread
// met it first. The failures are injected at the C library.
TEST(OctetTallyThreads, ReadErrorOfTheFirstFailingRange) {
    TempDir dir;
    const std::string path = dir.file("failing");
    const off_t range = off_t{4} << 20;
    writeFile(path, std::string(static_cast<std::size_t>(8 * range + 100), 'r'));
    // The errors by this system's numbers, which differ between processors.
    const std::string eio = std::string("=").append(std::to_string(EIO));
    const std::string full = std::string("=").append(std::to_string(ENOSPC));
    const struct {
        std::string at;  // offset=errno, ...
        int error;       // the one reported
    } rows[] = {
        {"0" + eio, EIO},
        {std::to_string(8 * range + 99) + eio, EIO},
        // The first range fails at its end, long after the second failed at
        // its start.
        {std::to_string(range - 1) + eio + "," + std::to_string(range) + full, EIO},
        {std::to_string(2 * range + 5) + full + "," + std::to_string(3 * range) + eio, ENOSPC},
    };
    for (const auto &row : rows) {
        RunOptions o;
        o.args = {path};
        o.env = {std::string("LD_PRELOAD=") + FAULT_INJECTOR_PATH, "ASAN_OPTIONS=verify_asan_link_order=0",
                 "FAULT_FILE=failing", "FAULT_AT=" + row.at};
        expectFailure(runTool(OCTETTALLY_DYNAMIC_PATH, o),
                      "octetTally: Error reading from \"" + path + "\": " + std::strerror(row.error) + "\n", row.at);
    }
}

}  // namespace

