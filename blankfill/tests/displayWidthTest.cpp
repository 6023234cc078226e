// blankfill -u as a user runs it: columns by display width on a table of
// lines whose columns are worked out by hand, the same on every input path
// and in place, characters cut by the end of a block, a long random text
// against a model with the widths stated here, and the refusal where the
// system has no UTF-8 locale.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "expandTabsKernels.h"
#include "testing.h"

using testing_support::readFile;
using testing_support::RunOptions;
using testing_support::RunResult;
using testing_support::runTool;
using testing_support::StdinKind;
using testing_support::TempDir;
using testing_support::writeFile;

namespace {

// Characters and the columns the locale gives them.
const std::string e_acute = "\u00e9";      // 1
const std::string wide = "\u754c";         // 2: East Asian Wide
const std::string fullA = "\uff21";        // 2: Fullwidth
const std::string emoji = "\U0001F600";    // 2
const std::string combining = "\u0301";    // 0: combining acute accent
const std::string zeroWidth = "\u200b";    // 0: zero-width space

RunResult runOn(std::vector<std::string> args, StdinKind kind, const std::string &input,
                const std::vector<std::string> &env = {}) {
    RunOptions o;
    o.args = std::move(args);
    o.env = env;
    o.env.push_back("BLANKFILL_SPACING");
    o.stdinKind = kind;
    o.input = input;
    return runTool(BLANKFILL_PATH, o);
}

// Runs blankfill with `args` on `input` from a pipe, from a regular file
// named as operand, and in place; each must give `expected`.
void expectEveryPath(const std::vector<std::string> &args, const std::string &input,
                     const std::string &expected, const std::string &label) {
    RunResult piped = runOn(args, StdinKind::Pipe, input);
    EXPECT_EQ(piped.status, 0) << label << piped.err;
    EXPECT_EQ(piped.out, expected) << label << " (pipe)";
    TempDir dir;
    writeFile(dir.file("in"), input);
    std::vector<std::string> withFile = args;
    withFile.push_back(dir.file("in"));
    RunResult fromFile = runOn(withFile, StdinKind::Null, "");
    EXPECT_EQ(fromFile.out, expected) << label << " (file)";
    withFile.insert(withFile.begin(), "-i");
    RunResult inPlace = runOn(withFile, StdinKind::Null, "");
    EXPECT_EQ(inPlace.status, 0) << label << inPlace.err;
    EXPECT_EQ(readFile(dir.file("in")), expected) << label << " (in place)";
}

TEST(BlankfillDisplayWidth, TableOfLines) {
    if (!testing_support::utf8LocaleLoads()) GTEST_SKIP() << "no UTF-8 locale loads here";
    const struct {
        std::string line;
        std::vector<std::string> args;
        std::string expected;  // the columns before each tab in the comment
    } cases[] = {
        {"ab\tc", {"-u"}, "ab  c"},                                  // 2
        {e_acute + "\tx", {"-u"}, e_acute + "   x"},                 // 1
        {wide + "\tx", {"-u"}, wide + "  x"},                        // 2
        {wide + wide + wide + "\tx", {"-u"}, wide + wide + wide + "  x"},  // 6
        {fullA + "b\tx", {"--utf8"}, fullA + "b" + " x"},            // 3
        {emoji + "\tx", {"-u"}, emoji + "  x"},                      // 2
        {"e" + combining + "\tx", {"-u"}, "e" + combining + "   x"}, // 1
        {"a" + zeroWidth + "b\tx", {"-u"}, "a" + zeroWidth + "b  x"},  // 2
        // Invalid: a lone byte 0xFF, a stray continuation byte, an overlong
        // '/', a surrogate, a start cut off by the tab: a column a byte.
        {"\xff\tx", {"-u"}, "\xff   x"},                              // 1
        {"\x80\x80\tx", {"-u"}, "\x80\x80  x"},                       // 2
        {"\xc0\xaf\tx", {"-u"}, "\xc0\xaf  x"},                       // 2
        {"\xed\xa0\x80\tx", {"-u"}, "\xed\xa0\x80 x"},                // 3
        {"\xe4\xb8\tx", {"-u"}, "\xe4\xb8  x"},                       // 2
        // Cut off by the end of the input: copied as it is.
        {"a\tb\xf0\x9f\x98", {"-u"}, "a   b\xf0\x9f\x98"},
        // A backspace steps back one column, over a wide character too; a
        // carriage return takes one.
        {wide + "\b\tx", {"-u"}, wide + "\b   x"},                   // 1
        {wide + "\r\tx", {"-u"}, wide + "\r x"},                     // 3
        {wide + "\tx\n" + wide + "a\tb", {"-u", "-n", "8"},
         wide + "      x\n" + wide + "a     b"},                     // 2, 3
        // Leading tabs only: a character ends the leading blanks.
        {" \t" + wide + "\tx", {"-u", "-l"}, "    " + wide + "\tx"},   // 1
        {wide + "\tx", {"-ul"}, wide + "\tx"},
    };
    for (const auto &c : cases) expectEveryPath(c.args, c.line + "\n", c.expected + "\n", c.line);
}

// Characters that the end of a 256 KiB block cuts, at every byte of them.
TEST(BlankfillDisplayWidth, CharactersAcrossBlocks) {
    if (!testing_support::utf8LocaleLoads()) GTEST_SKIP() << "no UTF-8 locale loads here";
    for (const std::string &character : {wide, emoji, e_acute}) {
        for (size_t before = kBlockSize - character.size() + 1; before < kBlockSize; ++before) {
            const std::string prefix(before, 'a');
            const size_t column = before + (character == e_acute ? 1 : 2);
            const std::string expected = prefix + character + std::string(4 - column % 4, ' ') + "x\n";
            TempDir dir;
            writeFile(dir.file("in"), prefix + character + "\tx\n");
            RunResult r = runOn({"-u", dir.file("in")}, StdinKind::Null, "");
            EXPECT_EQ(r.out, expected) << character << " after " << before;
        }
    }
}

// A long text of characters with known widths, through each input path,
// against a model of the column rules.
TEST(BlankfillDisplayWidth, RandomTextAgainstAModel) {
    if (!testing_support::utf8LocaleLoads()) GTEST_SKIP() << "no UTF-8 locale loads here";
    const struct {
        std::string bytes;
        int width;  // -1: a tab
    } pieces[] = {{"a", 1},    {" ", 1},     {"\t", -1},     {e_acute, 1}, {wide, 2},
                  {emoji, 2},  {combining, 0}, {"\xff", 1}, {"\n", 0},    {"abcdefghijklmnopqrstu", 21}};
    uint32_t state = 23;
    std::string input;
    std::string expected;
    uint64_t column = 0;
    while (input.size() < 3 * kBlockSize) {
        state = state * 1103515245u + 12345u;
        const auto &piece = pieces[(state >> 16) % (sizeof pieces / sizeof pieces[0])];
        input += piece.bytes;
        if (piece.bytes == "\n") {
            expected += "\n";
            column = 0;
        } else if (piece.width < 0) {
            expected += std::string(4 - column % 4, ' ');
            column += 4 - column % 4;
        } else {
            expected += piece.bytes;
            column += uint64_t(piece.width);
        }
    }
    expectEveryPath({"-u"}, input, expected, "random text");
}

// Where it stands among the refusals: after the command line's own checks,
// before BLANKFILL_SPACING is judged.
TEST(BlankfillDisplayWidth, RefusedWithoutAUtf8Locale) {
    const std::string refused =
        "blankfill: Option -u needs a UTF-8 locale such as C.UTF-8, and this system has none.\n";
    struct Case {
        std::string options;
        std::string variable;
        std::string err;
    } cases[] = {
        {"-u", "BLANKFILL_SPACING", refused},
        {"-u", "BLANKFILL_SPACING=0", refused},
        {"-u -p", "BLANKFILL_SPACING=0", "blankfill: option -p can be used only with option -i."},
    };
    for (const Case &c : cases) {
        // The locales hidden under an empty file system in a mount namespace
        // of the tool's own.
        RunOptions o;
        o.args = {"-m", "--propagation", "private", "sh", "-c",
                  "mount -t tmpfs none /usr/lib/locale 2>/dev/null || exit 77; exec \"$0\" " + c.options,
                  BLANKFILL_PATH};
        o.env = {c.variable};
        o.stdinKind = StdinKind::Pipe;
        o.input = "\tx\n";
        RunResult r = runTool("/usr/bin/unshare", o);
        if (r.status == 77 || (r.status != 0 && r.err.find("unshare") != std::string::npos)) {
            GTEST_SKIP() << "no mount namespace here to hide the locales in: " << r.err;
        }
        if (r.status == 0) GTEST_SKIP() << "this C library has a UTF-8 locale of its own";
        EXPECT_EQ(r.status, 1) << c.options << " " << c.variable;
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, c.err) << c.options << " " << c.variable;
    }
}

}  // namespace
