// --editorconfig on a small project: a root .editorconfig with [Makefile]
// (indent_style = tab), [*.py] (indent_size = 4) and [*.c] (tab_width = 8),
// a nested one that overrides [*.c], one above the root that must not count;
// through --check, --diff and -i. A build without the library refuses the
// option, and these tests say they were skipped.
#include <sys/stat.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "projectSettings.h"
#include "testing.h"

using testing_support::readFile;
using testing_support::RunOptions;
using testing_support::RunResult;
using testing_support::runTool;
using testing_support::TempDir;
using testing_support::writeFile;

namespace {

RunResult run(const std::vector<std::string> &args, const std::string &cwd) {
    RunOptions options;
    options.args = args;
    options.env = {"BLANKFILL_SPACING=3"};
    options.cwd = cwd;
    return runTool(BLANKFILL_PATH, options);
}

// The tree: top/.editorconfig (not to be read: below it a root is declared),
// top/project/.editorconfig (root = true) and top/project/lib/.editorconfig.
struct Project {
    TempDir dir;
    std::string root = dir.file("project");
    Project() {
        mkdir(root.c_str(), 0755);
        mkdir((root + "/lib").c_str(), 0755);
        writeFile(dir.file(".editorconfig"), "[*]\nindent_style = tab\ntab_width = 5\n");
        writeFile(root + "/.editorconfig",
                  "root = true\n\n[*]\nindent_style = space\n\n[Makefile]\nindent_style = tab\n\n"
                  "[*.py]\nindent_size = 4\n\n[*.c]\ntab_width = 8\n");
        writeFile(root + "/lib/.editorconfig", "[*.c]\ntab_width = 2\n");
        writeFile(root + "/Makefile", "all:\n\tcc -o x x.c\n");
        writeFile(root + "/tool.py", "def f():\n\treturn 1\n");
        writeFile(root + "/main.c", "int\tx;\n");
        writeFile(root + "/lib/util.c", "int\tx;\n");
        writeFile(root + "/notes.txt", "a\tb\n");  // the command line's width, from the variable
        writeFile(root + "/image.c", std::string("\t\0\t", 3));
    }
};

const std::vector<std::string> files = {"Makefile", "tool.py", "main.c", "lib/util.c", "notes.txt", "image.c"};

std::vector<std::string> with(std::vector<std::string> args) {
    args.insert(args.end(), files.begin(), files.end());
    return args;
}

TEST(ProjectSettings, EachFileTakesItsOwnWidth) {
    Project p;
    if (!projectSettingsAvailable()) {
        RunResult r = run(with({"--check", "--editorconfig"}), p.root);
        EXPECT_EQ(r.err, "blankfill: Option --editorconfig needs the EditorConfig library, which this build of "
                         "blankfill was made without.\n");
        EXPECT_EQ(r.status, 1);
        GTEST_SKIP() << "this build has no EditorConfig library: the option is refused, as checked";
    }
    RunResult check = run(with({"--check", "--editorconfig", "-V"}), p.root);
    EXPECT_EQ(check.out, "tool.py:2:1: tab would be expanded\nmain.c:1:4: tab would be expanded\n"
                         "lib/util.c:1:4: tab would be expanded\nnotes.txt:1:2: tab would be expanded\n");
    EXPECT_EQ(check.err, "\"Makefile\": indent_style is tab in .editorconfig: left alone\n"
                         "\"image.c\": binary file skipped\n"
                         "4 lines in 4 files would change; 0 files would not; 2 skipped.\n");
    EXPECT_EQ(check.status, 1);

    RunResult diff = run(with({"--diff", "--editorconfig"}), p.root);
    EXPECT_EQ(diff.out,
              "--- a/tool.py\n+++ b/tool.py\n@@ -1,2 +1,2 @@\n def f():\n-\treturn 1\n+    return 1\n"
              "--- a/main.c\n+++ b/main.c\n@@ -1 +1 @@\n-int\tx;\n+int     x;\n"
              "--- a/lib/util.c\n+++ b/lib/util.c\n@@ -1 +1 @@\n-int\tx;\n+int x;\n"
              "--- a/notes.txt\n+++ b/notes.txt\n@@ -1 +1 @@\n-a\tb\n+a  b\n");
    EXPECT_EQ(diff.status, 1);

    RunResult inPlace = run(with({"-i", "--editorconfig"}), p.root);
    EXPECT_EQ(inPlace.err, "4 files were converted.\n");
    const std::pair<std::string, std::string> after[] = {
        {"Makefile", "all:\n\tcc -o x x.c\n"}, {"tool.py", "def f():\n    return 1\n"}, {"main.c", "int     x;\n"},
        {"lib/util.c", "int x;\n"},          {"notes.txt", "a  b\n"},                   {"image.c", std::string("\t\0\t", 3)},
    };
    for (const auto &[name, contents] : after) EXPECT_EQ(readFile(p.root + "/" + name), contents) << name;

    // Without the option every file is converted alike, the binary one too.
    RunResult plain = run(with({"-i"}), p.root);
    EXPECT_EQ(plain.err, "6 files were converted.\n");
    EXPECT_EQ(readFile(p.root + "/Makefile"), "all:\n   cc -o x x.c\n");
}

// A .editorconfig that the library cannot read leaves the file alone, said so.
TEST(ProjectSettings, UnreadableSettingsLeaveTheFileAlone) {
    if (!projectSettingsAvailable()) GTEST_SKIP() << "this build has no EditorConfig library";
    TempDir dir;
    writeFile(dir.file(".editorconfig"), "root = true\n[*.c\nindent_size = 2\n");
    writeFile(dir.file("a.c"), "\tx\n");
    RunResult r = run({"--check", "--editorconfig", "a.c"}, dir.path());
    EXPECT_EQ(r.err.rfind("blankfill: \"a.c\": cannot read its .editorconfig settings: ", 0), 0u) << r.err;
    EXPECT_NE(r.err.find("0 lines in 0 files would change; 0 files would not; 1 could not be read.\n"),
              std::string::npos) << r.err;
    EXPECT_EQ(r.status, 2);
    r = run({"-i", "--editorconfig", "a.c"}, dir.path());
    EXPECT_NE(r.err.find("1 file was not converted.\n"), std::string::npos) << r.err;
    EXPECT_EQ(readFile(dir.file("a.c")), "\tx\n");
}

}  // namespace
