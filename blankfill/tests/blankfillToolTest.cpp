// The blankfill tool as a user runs it: options and spacing, the command-line
// checks, filter mode with its failures, in-place mode with its counts, and
// the cases where a user's file must survive (the same file named twice,
// permissions, a file-size limit).
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>
#include <utime.h>

#include <cerrno>
#include <cstring>
#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "temporaryFiles.h"
#include "testing.h"

using testing_support::readFile;
using testing_support::RunOptions;
using testing_support::RunResult;
using testing_support::runTool;
using testing_support::StdinKind;
using testing_support::TempDir;
using testing_support::writeFile;

namespace {

const std::string helpText =
    "blankfill - replace tab characters with runs of space characters.\n"
    "Usage: blankfill [-n[ ]NUM] [-l|--leading-only] [infile [outfile]]\n"
    "       blankfill -i|--in-place [-l|--leading-only] [-p|--preserve-dates]\n"
    "                       [-n[ ]NUM] [-V|--verbose] [file ...]\n"
    "       blankfill [-h|-v]\n"
    "Options:\n"
    "  infile  - name of a text file to read from\n"
    "  outfile - name of a file to write to\n"
    "  -nNUM is a tab spacing (it defaults to -n4), e.g., \"-n4\" or \"-n 8\".\n"
    "  -i process in-place all files named on the command line\n"
    "  -p preserve the original file's modified and accessed times\n"
    "  -l expand tabs within leading blanks only\n"
    "  -V print each file's name as it is processed\n"
    "  -h shows this help message\n"
    "  -v shows blankfill's version, date, author and compile date/time\n"
    "Environment variable 'BLANKFILL_SPACING' may be set to adjust the tab spacing;\n"
    "no literal \"-n\" is allowed in the environment variable's value.  A tab setting\n"
    "of less than 1 is not permitted in any case.\n"
    "  -u (--utf8) count columns by display width, reading the input as UTF-8\n"
    "  -t LIST (--tabs=LIST) tab stops: one number as -n, or increasing columns\n"
    "     separated by commas or blanks, the last of which may be /N (every\n"
    "     multiple of N) or +N (every N columns after the last stop)\n"
    "  --check list the lines that -i would change as FILE:LINE:COLUMN and change\n"
    "     nothing; exit status 1 if a line would change, 2 if a file cannot be read\n"
    "  --diff show what -i would change as a unified diff and change nothing\n"
    "  --editorconfig take each file's tab width from its .editorconfig files and\n"
    "     leave alone the files whose indent_style is tab\n";

const std::string badOptionValue =
    "blankfill: Incorrect or missing value for option -n.  Tab spacing must be 1 or\ngreater.\n" + helpText;

std::string badVariable(int value) {
    return "blankfill: Cannot set tab spacing to " + std::to_string(value) +
           ".  It must be a whole number, 1 or greater.\n\n" + helpText;
}

// A spacing above the largest column that the filter counts, 2^63 - 1.
std::string tooLargeOption(const std::string &value) {
    return "blankfill: Tab spacing \"" + value +
           "\" for option -n is too large.  It must be no greater than\n9223372036854775807.\n" + helpText;
}

std::string tooLargeVariable(const std::string &value) {
    return "blankfill: Cannot set tab spacing to \"" + value +
           "\".  It must be no greater than 9223372036854775807.\n\n" + helpText;
}

const std::string enoent = std::strerror(ENOENT);

RunResult run(std::vector<std::string> args, std::vector<std::string> env = {"BLANKFILL_SPACING"},
              const std::string &input = "", const std::string &cwd = "") {
    RunOptions options;
    options.args = std::move(args);
    options.env = std::move(env);
    options.stdinKind = StdinKind::Pipe;
    options.input = input;
    options.cwd = cwd;
    return runTool(BLANKFILL_PATH, options);
}

struct Case {
    std::vector<std::string> args;
    std::vector<std::string> env;
    std::string out;
    std::string err;
    int status;
};

// Each case filters "\tx\n" from standard input.
void runCases(const std::vector<Case> &cases) {
    for (const Case &c : cases) {
        std::string label;
        for (const std::string &a : c.args) label += a + " ";
        for (const std::string &e : c.env) label += "[" + e + "] ";
        RunResult r = run(c.args, c.env, "\tx\n");
        EXPECT_EQ(r.out, c.out) << label;
        EXPECT_EQ(r.err, c.err) << label;
        EXPECT_TRUE(r.exited) << label;
        EXPECT_EQ(r.status, c.status) << label;
    }
}

std::string spaced(int spacing) { return std::string(static_cast<size_t>(spacing), ' ') + "x\n"; }

const std::string unset = "BLANKFILL_SPACING";

TEST(BlankfillTool, SpacingFromOptionAndVariable) {
    runCases({
        {{}, {unset}, spaced(4), "", 0},
        {{}, {"BLANKFILL_SPACING=8"}, spaced(8), "", 0},
        {{"-n", "2"}, {"BLANKFILL_SPACING=8"}, spaced(2), "", 0},
        {{"-n", "2"}, {"BLANKFILL_SPACING=0"}, spaced(2), "", 0},  // not even read
        {{}, {"BLANKFILL_SPACING="}, spaced(4), "", 0},
        {{}, {"BLANKFILL_SPACING=8 words"}, spaced(8), "", 0},
        {{}, {"BLANKFILL_SPACING=  +3"}, spaced(3), "", 0},
        {{}, {"BLANKFILL_SPACING=0"}, "", badVariable(0), 1},
        {{}, {"BLANKFILL_SPACING=-n8"}, "", badVariable(0), 1},
        {{}, {"BLANKFILL_SPACING=-3"}, "", badVariable(-3), 1},
        {{"-n8"}, {unset}, spaced(8), "", 0},
        {{"-n", "3x"}, {unset}, spaced(3), "", 0},
        {{"--tab-size=5"}, {unset}, spaced(5), "", 0},
        {{"--tab-size", "6"}, {unset}, spaced(6), "", 0},
        {{"-n", "2", "-n", "7"}, {unset}, spaced(7), "", 0},
        {{"-n", "1"}, {unset}, spaced(1), "", 0},
        {{"-n", "0"}, {unset}, "", badOptionValue, 1},
        {{"-n", "-3"}, {unset}, "", badOptionValue, 1},
        {{"-n", "x"}, {unset}, "", badOptionValue, 1},
        {{"-n", ""}, {unset}, "", badOptionValue, 1},
        {{"-n", " +3"}, {unset}, spaced(3), "", 0},
        {{"-n", "9223372036854775808"}, {unset}, "", tooLargeOption("9223372036854775808"), 1},
        {{"-n", "18446744073709551616"}, {unset}, "", tooLargeOption("18446744073709551616"), 1},
        {{"-n", "-18446744073709551616"}, {unset}, "", badOptionValue, 1},
        {{}, {"BLANKFILL_SPACING=18446744073709551616"}, "", tooLargeVariable("18446744073709551616"), 1},
        {{}, {"BLANKFILL_SPACING=9223372036854775808"}, "", tooLargeVariable("9223372036854775808"), 1},
    });
    // Past 2^31, the spacing is exact: a tab at column 1 reaches 2^31, as
    // the same bytes made here say.
    int status = -1;
    std::string compared = testing_support::shellOutput(
        "bash -c \"cmp <(printf 'a\\tb\\n' | env -u BLANKFILL_SPACING " + std::string(BLANKFILL_PATH) +
            " -n 2147483648) <(printf a; head -c 2147483647 /dev/zero | tr '\\\\0' ' '; printf 'b\\n')\" 2>&1",
        &status);
    EXPECT_EQ(status, 0) << compared;
}

TEST(BlankfillTool, HelpVersionAndRejectedOptions) {
    runCases({
        {{"-h"}, {unset}, helpText, "", 0},
        {{"-H"}, {unset}, helpText, "", 0},
        {{"--help"}, {unset}, helpText, "", 0},
        {{"-h", "-n", "0"}, {unset}, helpText, "", 0},
        {{"-n", "0", "-h"}, {unset}, "", badOptionValue, 1},
    });
    for (std::vector<std::string> args : {std::vector<std::string>{"-v"}, {"--version"}, {"-v", "--bogus", "a", "b", "c"}}) {
        RunResult r = run(args);
        EXPECT_EQ(r.status, 0) << args[0];
        EXPECT_EQ(r.err, "");
        EXPECT_TRUE(std::regex_match(r.out, std::regex("blankfill version 3\\.16 \\(2019-01-11\\)\nby [^\n]+ <[^\n]+>,\n"
                                                      "Compiled [A-Z][a-z]{2} [ 0-9][0-9] [0-9]{4} at "
                                                      "[0-9]{2}:[0-9]{2}:[0-9]{2} EST\\.\n")))
            << r.out;
    }
    for (std::vector<std::string> args : {std::vector<std::string>{"-x"}, {"--bogus"}, {"-n"}, {"-i", "-q", "f"}}) {
        RunResult r = run(args);
        EXPECT_EQ(r.status, 1) << args[0];
        EXPECT_EQ(r.out, "");
        ASSERT_GT(r.err.size(), helpText.size()) << args[0];
        EXPECT_EQ(r.err.substr(r.err.size() - helpText.size()), helpText) << args[0];
        // The parser's own complaint comes first, under the name it was run by.
        EXPECT_EQ(r.err.rfind(std::string(BLANKFILL_PATH) + ": ", 0), 0u) << r.err;
    }
}

TEST(BlankfillTool, CommandLineChecksInTheirOrder) {
    const std::string tooMany =
        "blankfill: Too many files given.  You must use option -i to convert files in-place.\n" + helpText;
    const std::string noFiles =
        "blankfill: You must provide one or more file name(s) with option -i (--in-place).\n" + helpText;
    runCases({
        {{"a", "b", "c"}, {unset}, "", tooMany, 1},
        {{"-p", "-V", "a", "b", "c"}, {unset}, "", tooMany, 1},
        {{"-i"}, {unset}, "", noFiles, 1},
        {{"-i", "-p", "-V"}, {"BLANKFILL_SPACING=0"}, "", noFiles, 1},
        {{"-p"}, {unset}, "", "blankfill: option -p can be used only with option -i.", 1},
        {{"--preserve-dates", "-V", "in"}, {"BLANKFILL_SPACING=0"}, "", "blankfill: option -p can be used only with option -i.", 1},
        {{"-V"}, {unset}, "", "blankfill: option -V can be used only with option -i.", 1},
        {{"--verbose", "in", "out"}, {"BLANKFILL_SPACING=0"}, "", "blankfill: option -V can be used only with option -i.", 1},
        {{"-p", "-n", "0"}, {unset}, "", badOptionValue, 1},
    });
}

TEST(BlankfillTool, FilterModeWithFiles) {
    TempDir dir;
    writeFile(dir.file("in"), "a\tb\n \tc\td\n\t");
    writeFile(dir.file("out"), "much longer old contents of the output file\n");
    ASSERT_EQ(mkdir(dir.file("sub").c_str(), 0755), 0);
    struct FileCase {
        std::vector<std::string> args;
        std::string out;
        std::string err;
        int status;
        std::string outFile;  // expected contents of "out"; empty: unchanged
    } cases[] = {
        {{"in"}, "a   b\n    c   d\n    ", "", 0, ""},
        {{"-l", "in"}, "a\tb\n    c\td\n    ", "", 0, ""},
        {{"-n", "2", "in", "out"}, "", "", 0, "a b\n  c d\n  "},
        {{"--leading-only", "in", "new"}, "", "", 0, ""},
        {{"missing"}, "", "blankfill: Cannot open \"missing\" for input: " + enoent + "\n" + helpText, 1, ""},
        {{"-"}, "", "blankfill: Cannot open \"-\" for input: " + enoent + "\n" + helpText, 1, ""},
        {{"in", "nodir/out"}, "", "blankfill: Cannot open \"nodir/out\" for output: " + enoent + "\n" + helpText, 1, ""},
        {{"sub"}, "", "blankfill: Error while reading from \"sub\": " + std::string(std::strerror(EISDIR)) + "\n", 1, ""},
    };
    for (const FileCase &c : cases) {
        std::string before = readFile(dir.file("out"));
        RunResult r = run(c.args, {unset}, "", dir.path());
        EXPECT_EQ(r.out, c.out) << c.args[0];
        EXPECT_EQ(r.err, c.err) << c.args[0];
        EXPECT_EQ(r.status, c.status) << c.args[0];
        EXPECT_EQ(readFile(dir.file("out")), c.outFile.empty() ? before : c.outFile) << c.args[0];
    }
    EXPECT_EQ(readFile(dir.file("new")), "a\tb\n    c\td\n    ");
    EXPECT_EQ(readFile(dir.file("in")), "a\tb\n \tc\td\n\t");
}

TEST(BlankfillTool, WriteFailuresAreReported) {
    const std::string enospc = std::strerror(ENOSPC);
    struct WriteCase {
        std::string input;
        std::string err;
    } cases[] = {
        // A short output fails only when it is written out at the close.
        // (Input from a file: a pipe that pauses has the output so far
        // written out at the pause, which may fail first.)
        {"a\tb\n", "blankfill: Error closing output file \"<standard output>\": " + enospc + "\n"},
        {std::string(1 << 20, '\t'), "blankfill: Error while writing to \"<standard output>\": " + enospc + "\n"},
    };
    for (const WriteCase &c : cases) {
        RunOptions options;
        options.stdinKind = StdinKind::File;
        options.input = c.input;
        options.stdoutPath = "/dev/full";
        RunResult r = runTool(BLANKFILL_PATH, options);
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(r.status, 1);
    }
    // In place, the files are converted, but lost "Processing" lines are a
    // failure all the same.
    TempDir dir;
    writeFile(dir.file("f"), "\tx\n");
    RunOptions options;
    options.args = {"-i", "-V", "f"};
    options.cwd = dir.path();
    options.stdoutPath = "/dev/full";
    RunResult r = runTool(BLANKFILL_PATH, options);
    EXPECT_EQ(r.err, "1 file was converted.\nblankfill: Cannot write to <standard output>: " + enospc + "\n");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(readFile(dir.file("f")), "    x\n");

    // Help is output like the banner: lost, it is a failure.
    options = RunOptions{};
    options.args = {"-h"};
    options.stdoutPath = "/dev/full";
    r = runTool(BLANKFILL_PATH, options);
    EXPECT_EQ(r.err, "blankfill: Cannot write to <standard output>: " + enospc + "\n");
    EXPECT_EQ(r.status, 1);

    // A closed standard output is reported as such, before the input is
    // opened on its descriptor; with an output file named, it is not needed.
    writeFile(dir.file("in"), "\tx\n");
    int status = 0;
    std::string out = testing_support::shellOutput(
        "cd " + dir.path() + " && " + BLANKFILL_PATH + " in 2>&1 >&-", &status);
    EXPECT_EQ(out, "blankfill: Cannot write to <standard output>: " + std::string(std::strerror(EBADF)) + "\n");
    EXPECT_EQ(status, 1);
    out = testing_support::shellOutput("cd " + dir.path() + " && " + BLANKFILL_PATH + " in out 2>&1 >&-", &status);
    EXPECT_EQ(out, "");
    EXPECT_EQ(status, 0);
    EXPECT_EQ(readFile(dir.file("out")), "    x\n");
}

TEST(BlankfillTool, AnnouncesKeyboardInput) {
    RunOptions options;
    options.stdinKind = StdinKind::Pty;
    options.input = "\tx\n\x04";
    options.env = {unset};
    RunResult r = runTool(BLANKFILL_PATH, options);
    EXPECT_EQ(r.err, "blankfill: Waiting for keyboard input...\n");
    EXPECT_EQ(r.out, "    x\n");
    EXPECT_EQ(r.status, 0);
    // A pipe is no keyboard.
    EXPECT_EQ(run({}, {unset}, "\tx\n").err, "");
}

// Opening the output would empty the input first: the same file under any
// name is refused before anything is opened for writing.
TEST(BlankfillTool, FilterRefusesTheSameFileAsInputAndOutput) {
    TempDir dir;
    const std::string contents = "a\tb\n";
    writeFile(dir.file("f"), contents);
    ASSERT_EQ(symlink("f", dir.file("soft").c_str()), 0);
    ASSERT_EQ(link(dir.file("f").c_str(), dir.file("hard").c_str()), 0);
    ASSERT_EQ(mkdir(dir.file("sub").c_str(), 0755), 0);
    const std::vector<std::vector<std::string>> cases = {
        {"f", "f"}, {"f", "./f"}, {"f", "sub/../f"}, {"f", dir.file("f")}, {"f", "soft"}, {"soft", "f"}, {"f", "hard"}, {"-l", "hard", "soft"},
    };
    for (const std::vector<std::string> &args : cases) {
        const std::string &in = args[args.size() - 2];
        const std::string &out = args[args.size() - 1];
        RunResult r = run(args, {unset}, "", dir.path());
        EXPECT_EQ(r.err, "blankfill: Input \"" + in + "\" and output \"" + out + "\" are the same file; nothing done\n");
        EXPECT_EQ(r.status, 1) << in << " " << out;
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(readFile(dir.file("f")), contents) << in << " " << out;
    }
    // Standard input and standard output on one file (as with ">>"): the
    // harness has already emptied it, as a shell would with ">".
    RunOptions options;
    options.stdinKind = StdinKind::Path;
    options.stdinPath = dir.file("hard");
    options.stdoutPath = dir.file("f");
    options.env = {unset};
    RunResult same = runTool(BLANKFILL_PATH, options);
    EXPECT_EQ(same.err, "blankfill: Input \"<standard input>\" and output \"<standard output>\" are the same file; nothing done\n");
    EXPECT_EQ(same.status, 1);

    // Different files are fine, also when the output does not exist yet.
    writeFile(dir.file("f"), contents);
    RunResult r = run({"f", "g"}, {unset}, "", dir.path());
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(readFile(dir.file("g")), "a   b\n");
}

TEST(BlankfillTool, InPlaceCountsAndMessages) {
    TempDir dir;
    ASSERT_EQ(mkdir(dir.file("d").c_str(), 0755), 0);
    writeFile(dir.file("f"), "\tx\n");
    writeFile(dir.file("ro"), "\tx\n", 0444);
    writeFile(dir.file("g"), "a\tb\n");
    writeFile(dir.file(std::string("replaceFileAbortFlagString8753")), "\tz\n");
    struct InPlaceCase {
        std::vector<std::string> args;
        std::string out;
        std::string err;
    } cases[] = {
        {{"-i", "d", "f", "ro"}, "",
         "\"d\": directory skipped\nblankfill: \"ro\": do not have write permission\n"
         "1 file was converted.\n1 file was not converted.\n"},
        {{"--in-place", "-V", "f", "g"}, "Processing \"f\"\nProcessing \"g\"\n", "2 files were converted.\n"},
        {{"-i", "missing", "d/", "ro"}, "",
         "blankfill: \"missing\": Cannot find [stat()] the file\nblankfill: \"d/\": Name must not end in /\n"
         "blankfill: \"ro\": do not have write permission\n0 files were converted.\n3 files were not converted.\n"},
        {{"-i", "-V", "d"}, "Processing \"d\"\n", "\"d\": directory skipped\n0 files were converted.\n"},
        {{"-i", "replaceFileAbortFlagString8753"}, "", "1 file was converted.\n"},
    };
    for (const InPlaceCase &c : cases) {
        RunResult r = run(c.args, {unset}, "", dir.path());
        EXPECT_EQ(r.out, c.out) << c.args[1];
        EXPECT_EQ(r.err, c.err) << c.args[1];
        EXPECT_EQ(r.status, 0) << c.args[1];
        EXPECT_TRUE(temporaryFiles(dir.path()).empty());
    }
    EXPECT_EQ(readFile(dir.file("f")), "    x\n");
    EXPECT_EQ(readFile(dir.file("g")), "a   b\n");
    EXPECT_EQ(readFile(dir.file("ro")), "\tx\n");
    EXPECT_EQ(readFile(dir.file("replaceFileAbortFlagString8753")), "    z\n");
}

TEST(BlankfillTool, InPlaceOptionsAndLinks) {
    TempDir dir;
    TempDir other;
    const std::string text = " \tx\ty\n\t\n";
    struct stat s {};
    writeFile(dir.file("kept"), text, 0640);
    writeFile(other.file("far"), text);
    ASSERT_EQ(symlink(other.file("far").c_str(), dir.file("link").c_str()), 0);
    struct utimbuf old;
    old.actime = 1000000000;
    old.modtime = 1100000000;
    ASSERT_EQ(utime(dir.file("kept").c_str(), &old), 0);

    RunResult r = run({"-i", "-p", "-l", "-n", "3", "kept"}, {unset}, "", dir.path());
    EXPECT_EQ(r.err, "1 file was converted.\n");
    ASSERT_EQ(stat(dir.file("kept").c_str(), &s), 0);  // before reading it sets the access time
    EXPECT_EQ(s.st_atime, 1000000000);
    EXPECT_EQ(s.st_mtime, 1100000000);
    EXPECT_EQ(s.st_mode & 07777, 0640u);
    EXPECT_EQ(readFile(dir.file("kept")), "   x\ty\n   \n");

    ASSERT_EQ(utime(dir.file("kept").c_str(), &old), 0);
    r = run({"-i", "kept"}, {"BLANKFILL_SPACING=8"}, "", dir.path());
    EXPECT_EQ(readFile(dir.file("kept")), "   x    y\n   \n");
    ASSERT_EQ(stat(dir.file("kept").c_str(), &s), 0);
    EXPECT_GT(s.st_mtime, 1100000000);

    r = run({"-i", "link"}, {unset}, "", dir.path());
    EXPECT_EQ(r.err, "1 file was converted.\n");
    ASSERT_EQ(lstat(dir.file("link").c_str(), &s), 0);
    EXPECT_TRUE(S_ISLNK(s.st_mode));
    EXPECT_EQ(readFile(other.file("far")), "    x   y\n    \n");
    EXPECT_TRUE(temporaryFiles(dir.path()).empty());
    EXPECT_TRUE(temporaryFiles(other.path()).empty());
}

// Root ignores permission bits, so these run the tool as nobody.
RunResult runAsNobody(std::vector<std::string> args, const std::string &cwd) {
    RunOptions options;
    options.args = std::move(args);
    options.env = {unset};
    options.cwd = cwd;
    options.asNobody = true;
    return runTool(BLANKFILL_PATH, options);
}

TEST(BlankfillTool, InPlaceWithoutTheRights) {
    TempDir dir;
    dir.openToAll();
    // Owner bits allow it, but the caller is not the owner.
    writeFile(dir.file("secret"), "\tx\n", 0600);
    RunResult r = runAsNobody({"-i", "secret"}, dir.path());
    EXPECT_EQ(r.err, "blankfill: Cannot open file \"secret\" for input: " + std::string(std::strerror(EACCES)) +
                         "\nTry \"blankfill -h\" for help.\n0 files were converted.\n1 file was not converted.\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(readFile(dir.file("secret")), "\tx\n");
    EXPECT_TRUE(temporaryFiles(dir.path()).empty());

    // A working directory where no temporary file can be made.
    TempDir locked;
    ASSERT_EQ(chmod(locked.path().c_str(), 0755), 0);
    writeFile(dir.file("open"), "\tx\n", 0666);
    r = runAsNobody({"-i", dir.file("open")}, locked.path());
    EXPECT_EQ(r.err, "blankfill: \"" + dir.file("open") +
                         "\": Cannot open a temporary file for read/write access\n"
                         "0 files were converted.\n1 file was not converted.\n");
    EXPECT_EQ(readFile(dir.file("open")), "\tx\n");

    // Readable but not writable by the caller: refused before any work, the
    // file untouched and no copy left; a file the caller may write without
    // owning it is converted.
    writeFile(dir.file("shared"), "\tx\n", 0644);
    r = runAsNobody({"-i", "shared", "open"}, dir.path());
    EXPECT_EQ(r.err, "blankfill: \"shared\": Cannot open the file for writing: " + std::string(std::strerror(EACCES)) +
                         ": original file left unchanged\n1 file was converted.\n1 file was not converted.\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(temporaryFiles(dir.path()).empty());
    EXPECT_EQ(readFile(dir.file("shared")), "\tx\n");
    EXPECT_EQ(readFile(dir.file("open")), "    x\n");
}

// Under a file-size limit the temporary copies of large files cannot be
// written: each file must end up either untouched or fully converted, the
// failure must be reported, and no temporary file may stay behind.
TEST(BlankfillTool, FileSizeLimitLosesNothing) {
    const long long limit = 20000;
    auto makeText = [](size_t lines) {
        std::string text;
        for (size_t i = 0; i < lines; ++i) text += "\tline " + std::to_string(i) + "\twith\ttabs\n";
        return text;
    };
    auto expandText = [](const std::string &text) {
        std::string out;
        int column = 0;
        for (char c : text) {
            if (c == '\t') {
                int n = 4 - column % 4;
                out.append(static_cast<size_t>(n), ' ');
                column += n;
            } else {
                out += c;
                column = c == '\n' ? 0 : column + 1;
            }
        }
        return out;
    };
    // Converted sizes: well below, just above (the last write-out fails at
    // the close), far above (writes fail while converting).
    std::vector<std::pair<std::string, std::string>> files;
    for (size_t lines : {size_t{20}, size_t{500}, size_t{3000}}) {
        std::string text = makeText(lines);
        while (expandText(text).size() < static_cast<size_t>(limit) + 40 && lines == 500) text += "\tx\n";
        files.push_back({"f" + std::to_string(lines), text});
    }
    files.push_back({"small", makeText(5)});
    const std::vector<std::vector<std::string>> orders = {
        {"f20", "f500", "small"}, {"f20", "f3000", "small"}, {"f500", "f3000", "small"}, {"small", "f500", "f20"}};
    for (const std::vector<std::string> &order : orders) {
        TempDir dir;
        for (const auto &[name, text] : files) writeFile(dir.file(name), text);
        RunOptions options;
        options.args = {"-i"};
        options.args.insert(options.args.end(), order.begin(), order.end());
        options.env = {unset};
        options.cwd = dir.path();
        options.fileSizeLimit = limit;
        RunResult r = runTool(BLANKFILL_PATH, options);
        std::string label = order[0] + " " + order[1] + " " + order[2];
        EXPECT_TRUE(r.exited) << label;
        for (const auto &[name, text] : files) {
            std::string now = readFile(dir.file(name));
            EXPECT_TRUE(now == text || now == expandText(text)) << label << ": " << name;
            if (expandText(text).size() > static_cast<size_t>(limit)) {
                EXPECT_EQ(now, text) << label << ": " << name;
            }
        }
        // The first file is converted when its result fits under the limit.
        for (const auto &[name, text] : files) {
            if (name == order[0] && expandText(text).size() < static_cast<size_t>(limit)) {
                EXPECT_EQ(readFile(dir.file(name)), expandText(text)) << label;
            }
        }
        EXPECT_TRUE(temporaryFiles(dir.path()).empty()) << label;
        bool reported = r.err.find("not converted") != std::string::npos ||
                        (r.status == 1 && r.err.find("Internal error") != std::string::npos);
        EXPECT_TRUE(reported) << label << ": " << r.err;
    }
}

}  // namespace

// A sparse file of over 4 GiB, mostly one hole, with lines with tabs at the
// start, at 4 GiB and at the end: converted as a filter and in place, the
// result holds the converted lines where they belong, zeros between them,
// and has the right size. Offsets past 4 GiB must survive every 32-bit
// type on the way. Skipped where the disk lacks room for the copies.
TEST(BlankfillTool, SparseFileOverFourGiB) {
    TempDir dir;
    const off_t fourGiB = off_t{1} << 32;
    const off_t size = fourGiB + (off_t{1} << 20);
    struct statvfs fs {};
    ASSERT_EQ(statvfs(dir.path().c_str(), &fs), 0);
    long long room = static_cast<long long>(fs.f_bavail) * static_cast<long long>(fs.f_frsize);
    if (room < 2 * static_cast<long long>(size) + (256ll << 20)) {
        GTEST_SKIP() << "the disk has " << (room >> 20) << " MiB free; this test needs twice the file's "
                     << (size >> 20) << " MiB";
    }
    const std::string head = "\thead\n";
    const std::string middle = "\n\tmiddle\n";  // its newline at 4 GiB - 1
    const std::string tail = "\n\ttail\n";
    auto put = [](int fd, const std::string &text, off_t at) {
        return pwrite(fd, text.data(), text.size(), at) == static_cast<ssize_t>(text.size());
    };
    const std::string input = dir.file("sparse");
    int fd = open(input.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(put(fd, head, 0) && put(fd, middle, fourGiB - 1) &&
                put(fd, tail, size - static_cast<off_t>(tail.size())));
    ASSERT_EQ(close(fd), 0);

    // Each line grows by three: one tab becomes four spaces.
    auto check = [&](const std::string &path, const char *label) {
        int in = open(path.c_str(), O_RDONLY);
        ASSERT_GE(in, 0) << label;
        struct stat s {};
        fstat(in, &s);
        EXPECT_EQ(s.st_size, size + 9) << label;
        auto at = [&](off_t offset, size_t length) {
            std::string got(length, '?');
            ssize_t n = pread(in, got.data(), length, offset);
            got.resize(n > 0 ? static_cast<size_t>(n) : 0);
            return got;
        };
        EXPECT_EQ(at(0, 10), std::string("    head\n") + '\0') << label;
        EXPECT_EQ(at(fourGiB + 2, 12), "\n    middle\n") << label;
        EXPECT_EQ(at(size + 9 - 10, 10), "\n    tail\n") << label;
        EXPECT_EQ(at(fourGiB / 2, 4), std::string(4, '\0')) << label;
        close(in);
    };

    // The filter's output, through a pipe, against the expected contents
    // made as a sparse file too.
    const std::string expected = dir.file("expected");
    fd = open(expected.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(put(fd, "    head\n", 0) && put(fd, "\n    middle\n", fourGiB + 2) &&
                put(fd, "\n    tail\n", size + 9 - 10));
    ASSERT_EQ(close(fd), 0);
    check(expected, "expected");
    int status = -1;
    std::string out = testing_support::shellOutput("cd " + dir.path() + " && env -u " + unset + " " + BLANKFILL_PATH +
                                                       " sparse | cmp - expected 2>&1",
                                                   &status);
    EXPECT_EQ(status, 0) << "filter: " << out;

    RunResult inPlace = run({"-i", "sparse"}, {unset}, "", dir.path());
    EXPECT_EQ(inPlace.err, "1 file was converted.\n");
    check(input, "in place");
    EXPECT_TRUE(temporaryFiles(dir.path()).empty());
}
