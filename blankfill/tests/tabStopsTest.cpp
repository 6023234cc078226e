// Tab stops from a list: the filter against GNU expand -t run live on the
// same inputs (every tab and leading tabs only, from a file and byte by byte,
// backspaces included), the lists that both refuse and those that only
// blankfill refuses, and which of -n, -t and BLANKFILL_SPACING wins.
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "expandTabs.h"
#include "tabStops.h"
#include "testing.h"

using testing_support::RunOptions;
using testing_support::RunResult;
using testing_support::runTool;
using testing_support::shellOutput;
using testing_support::TempDir;

namespace {

std::string readAll(FILE *stream) {
    std::string data;
    rewind(stream);
    char part[65536];
    for (size_t n; (n = fread(part, 1, sizeof part, stream)) > 0;) data.append(part, n);
    return data;
}

// The filter with the list `text` on `input`, from a regular file (the
// blocks) or from a memory stream (byte by byte).
std::string expandWithList(const std::string &text, const std::string &input, int leadingOnly, bool fromFile) {
    TabStops stops;
    int64_t spacing = 0;
    EXPECT_EQ(parseTabStops(text.c_str(), &stops, &spacing), nullptr) << text;
    useTabStops(stops.count > 0 ? &stops : nullptr);
    std::string copy = input;
    FILE *in = fromFile ? tmpfile() : fmemopen(copy.data(), copy.size(), "r");
    if (fromFile) {
        fwrite(input.data(), 1, input.size(), in);
        rewind(in);
    }
    FILE *out = tmpfile();
    EXPECT_EQ(blankfill(in, spacing, leadingOnly, out), 0);
    std::string result = readAll(out);
    fclose(in);
    fclose(out);
    useTabStops(nullptr);
    std::free(stops.stops);
    return result;
}

// Letters, spaces, tabs, newlines and backspaces; a backspace never stands
// at column 0, where expand keeps the column at 0 and blankfill counts one.
std::string randomText(std::mt19937 &rng, size_t length) {
    static const char alphabet[] = "abcXYZ     \t\t\t\t\n\n\b";
    std::uniform_int_distribution<size_t> pick(0, sizeof alphabet - 2);
    std::string text;
    size_t column = 0;
    for (size_t i = 0; i < length; ++i) {
        char c = alphabet[pick(rng)];
        if (c == '\b' && column == 0) c = 'b';
        column = c == '\n' ? 0 : c == '\b' ? column - 1 : column + 1;  // only whether it is 0 matters
        text += c;
    }
    return text;
}

TEST(TabStops, AgreeWithExpand) {
    if (!testing_support::commandExists("expand")) GTEST_SKIP() << "no expand";
    const char *lists[] = {
        "2,5,9",        // a plain list: a tab past 9 becomes one space
        "1,2,3,4,40",   // close stops, then a far one
        "4,/8",         // then every multiple of 8
        "3,+5",         // then every 5 columns after 3
        "2 7\t12,,20",  // blanks and runs of separators
        " 6, 7 ,/3",    // a repeat below the last stop
        "/5",           // every multiple of 5, as -n 5
        "+6",           // every 6 from column 0, as -n 6
        "5",            // one number, as -n 5
    };
    TempDir dir;
    const std::string path = dir.file("in");
    std::mt19937 rng(30);
    std::uniform_int_distribution<size_t> lengthOf(0, 300);
    for (const char *list : lists) {
        for (int round = 0; round < 12; ++round) {
            std::string input = randomText(rng, lengthOf(rng));
            if (round == 0) input += std::string(70000, 'x') + "\t\t.\n";  // lines across blocks
            testing_support::writeFile(path, input);
            for (int leadingOnly = 0; leadingOnly <= 1; ++leadingOnly) {
                const std::string command =
                    std::string("expand ") + (leadingOnly ? "-i" : "") + " -t '" + list + "' " + path;
                const std::string expected = shellOutput(command);
                EXPECT_EQ(expandWithList(list, input, leadingOnly, true), expected) << command;
                EXPECT_EQ(expandWithList(list, input, leadingOnly, false), expected) << command << " (bytes)";
            }
        }
    }
}

RunResult runBlankfill(const std::vector<std::string> &args, const std::vector<std::string> &env,
                       const std::string &input) {
    RunOptions options;
    options.args = args;
    options.env = env;
    options.stdinKind = testing_support::StdinKind::Pipe;
    options.input = input;
    return runTool(BLANKFILL_PATH, options);
}

TEST(TabStops, InvalidListsAreRefused) {
    // Refused by GNU expand too (the refusal is compared, not its wording).
    const char *refusedByBoth[] = {"0",   "4,4",  "8,4",     "4/8",      "a",  "-4", "/8,12", "1,+2,3",
                                   "4,/8,/16", "4,/8,+8", "18446744073709551616", "2,x"};
    // Refused here, where expand takes the default or ignores the entry: an
    // empty list, a repeat of 0, a / or + without a number or doubled, and a
    // stop past the largest column blankfill counts.
    const char *refusedHere[] = {"", ",", "/0", "+0", "4,/", "++4", "+/4", "2,4,+0", "9223372036854775808"};
    const bool haveExpand = testing_support::commandExists("expand");
    auto refused = [](const std::string &list) {
        RunResult r = runBlankfill({"-t", list}, {"BLANKFILL_SPACING"}, "\tx\n");
        EXPECT_EQ(r.status, 1) << list;
        EXPECT_EQ(r.out, "") << list;
        EXPECT_EQ(r.err.rfind("blankfill: Tab stops \"" + list + "\" for option -t are not valid: ", 0), 0u) << r.err;
        EXPECT_NE(r.err.find("\nUsage: blankfill"), std::string::npos) << list;
    };
    for (const char *list : refusedByBoth) {
        refused(list);
        if (!haveExpand) continue;
        int status = 0;
        shellOutput(std::string("printf 'a\\tb\\n' | expand -t '") + list + "' 2>/dev/null", &status);
        EXPECT_NE(status, 0) << "expand took " << list;
    }
    for (const char *list : refusedHere) refused(list);
    // The largest column counted is a stop.
    EXPECT_EQ(runBlankfill({"-t", "9223372036854775807"}, {}, "x\n").status, 0);
}

// The last of -n and -t wins; BLANKFILL_SPACING counts only without either.
TEST(TabStops, LastOptionWinsOverTheVariable) {
    const std::string input = "\tx\ty\tz\n";
    struct Case {
        std::vector<std::string> args;
        std::string variable;
        std::string out;
    } cases[] = {
        {{"-t", "2,5"}, "BLANKFILL_SPACING=8", "  x  y z\n"},
        {{"-t", "2,5", "-n", "3"}, "BLANKFILL_SPACING=8", "   x  y  z\n"},
        {{"-n", "3", "--tabs=2,5"}, "BLANKFILL_SPACING", "  x  y z\n"},
        {{"-t", "3"}, "BLANKFILL_SPACING=8", "   x  y  z\n"},
        {{"-t", "2,5", "-t", "/3"}, "BLANKFILL_SPACING", "   x  y  z\n"},
        {{"-l", "-t", "1,4"}, "BLANKFILL_SPACING", " x\ty\tz\n"},
    };
    for (const Case &c : cases) {
        RunResult r = runBlankfill(c.args, {c.variable}, input);
        EXPECT_EQ(r.out, c.out) << c.args[0] << " " << c.args[1];
        EXPECT_EQ(r.status, 0);
    }
    // Display widths: é takes one column with -u, two bytes without.
    if (testing_support::utf8LocaleLoads()) {
        EXPECT_EQ(runBlankfill({"-u", "-t", "3,6"}, {}, "\xc3\xa9\tx\ty\tz\n").out, "\xc3\xa9  x  y z\n");
        EXPECT_EQ(runBlankfill({"-t", "3,6"}, {}, "\xc3\xa9\tx\ty\tz\n").out, "\xc3\xa9 x  y z\n");
    }
}

}  // namespace
