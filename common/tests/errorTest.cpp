// The support module: identity parsing and the two diagnostic routines,
// output compared byte for byte in a child process.
#include <fcntl.h>
#include <unistd.h>

#include <cassert>
#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "error.h"
#include "testing.h"

using testing_support::RunResult;
using testing_support::runInChild;

namespace {

struct ParseCase {
    const char *identity;
    int result;
    const char *name;
    const char *version;
    const char *date;
};

TEST(GetNameVersionAndDate, ParsesTable) {
    const ParseCase cases[] = {
        {"$Id: lapwatch.c,v 4.30 2024-03-12 09:13:44-04 devteam Exp $ $Name:  $", 0, "lapwatch", "4.30", "2024-03-12"},
        {"$Id: noext 1.1 2020-01-01", 0, "noext", "1.1", "2020-01-01"},
        {"$Id: dir/x.y.c,v 2.0 2020-01-01 x", 0, "x.y", "2.0", "2020-01-01"},
        {"$Id: a/b\\c/d.e,v 1 d", 0, "c/d", "1", "d"},
        {"$Id: c:\\tools\\tally.c,v 1 d", 0, "tally", "1", "d"},
        {"$Id: t.c,v 1.2 2024/03/12 x", 0, "t", "1.2", "2024-03-12"},
        {"$Id: t.c,v 1.2 2024/03/12", 0, "t", "1.2", "2024-03-12"},
        {"$Id: t.c,v 1.2", -1, "(null)", "(null)", "(null)"},
        {"$Id: t.c,v", -1, "(null)", "(null)", "(null)"},
        {"", -1, "(null)", "(null)", "(null)"},
        {"   ", -1, "(null)", "(null)", "(null)"},
    };
    for (const ParseCase &c : cases) {
        std::string buffer = c.identity;
        char *name = nullptr, *ver = nullptr, *dat = nullptr;
        EXPECT_EQ(getNameVersionAndDate(buffer.data(), &name, &ver, &dat), c.result) << c.identity;
        EXPECT_STREQ(name, c.name) << c.identity;
        EXPECT_STREQ(ver, c.version) << c.identity;
        EXPECT_STREQ(dat, c.date) << c.identity;
    }
}

TEST(GetNameVersionAndDate, NullInputAndNullOutputPlaces) {
    char *name = nullptr, *ver = nullptr, *dat = nullptr;
    EXPECT_EQ(getNameVersionAndDate(nullptr, &name, &ver, &dat), -1);
    EXPECT_STREQ(name, "(null)");
    EXPECT_STREQ(ver, "(null)");
    EXPECT_STREQ(dat, "(null)");

    char good[] = "$Id: tool.c,v 9.9 2001/02/03 t Exp $";
    EXPECT_EQ(getNameVersionAndDate(good, nullptr, nullptr, &dat), 0);
    EXPECT_STREQ(dat, "2001-02-03");
    char good2[] = "$Id: tool.c,v 9.9 2001/02/03 t Exp $";
    EXPECT_EQ(getNameVersionAndDate(good2, &name, nullptr, nullptr), 0);
    EXPECT_STREQ(name, "tool");
    char shortOne[] = "$Id: x";
    EXPECT_EQ(getNameVersionAndDate(shortOne, nullptr, nullptr, nullptr), -1);
}

TEST(GetNameVersionAndDate, OutputsPointIntoTheIdentityString) {
    char identity[] = "$Id: x.c,v 1.0 2020/1/2 y";
    char *name = nullptr, *ver = nullptr, *dat = nullptr;
    ASSERT_EQ(getNameVersionAndDate(identity, &name, &ver, &dat), 0);
    EXPECT_GE(name, identity);
    EXPECT_LT(dat, identity + sizeof identity);
}

void setName(const char *name) {
    static char storage[64];
    if (name == nullptr) {
        progName = nullptr;
        return;
    }
    std::strcpy(storage, name);
    progName = storage;
}

struct DiagnosticCase {
    const char *label;
    std::function<void()> call;
    std::string out;
    std::string err;
    int status;
};

void runCases(const std::vector<DiagnosticCase> &cases) {
    for (const DiagnosticCase &c : cases) {
        RunResult r = runInChild(c.call);
        EXPECT_EQ(r.out, c.out) << c.label;
        EXPECT_EQ(r.err, c.err) << c.label;
        EXPECT_TRUE(r.exited) << c.label;
        EXPECT_EQ(r.status, c.status) << c.label;
    }
}

const std::string enoent = std::strerror(ENOENT);

TEST(Error, WritesOneLineAndEndsWithItsStatus) {
    runCases({
        {"plain, status 1", [] { setName("tool"); error(1, 0, "Bad %s.", "thing"); }, "", "tool: Bad thing.\n", 1},
        {"with errno", [] { setName("tool"); error(3, ENOENT, "Cannot open \"%s\".  Reason", "f"); },
         "", "tool: Cannot open \"f\".  Reason: " + enoent + "\n", 3},
        {"status 0 returns", [] { setName("tool"); error(0, 0, "going on"); std::fputs("after", stderr); },
         "", "tool: going on\nafter", 0},
        {"pending stdout first", [] { setName("t"); std::fputs("out", stdout); error(0, 0, "x"); std::fputs("|", stdout); },
         "out|", "t: x\n", 0},
        {"newline in format gives an empty line", [] { setName("t"); error(1, 0, "Internal error in file %s at line no. %d.\n", "f.c", 7); },
         "", "t: Internal error in file f.c at line no. 7.\n\n", 1},
        {"empty format", [] { setName("t"); error(2, 0, "%s", ""); }, "", "t: \n", 2},
    });
}

TEST(ErrorMsg, FormatErrnoAndHelpHint) {
    runCases({
        {"plain", [] { setName("octetTally"); errorMsg(1, 0, 0, "Unknown option -%c", 'x'); },
         "", "octetTally: Unknown option -x\n", 1},
        {"errno and hint", [] { setName("octetTally"); errorMsg(1, ENOENT, 1, "Cannot open \"%s\" for reading", "in"); },
         "", "octetTally: Cannot open \"in\" for reading: " + enoent + "\n\"octetTally -h\" for help.\n", 1},
        {"null format, errno only", [] { setName("octetTally"); errorMsg(0, ENOENT, 0, nullptr); std::fputs("|", stderr); },
         "", enoent + "\n|", 0},
        {"null format, nothing", [] { setName("octetTally"); errorMsg(0, 0, 0, nullptr); }, "", "\n", 0},
        {"negative errno adds nothing", [] { setName("o"); errorMsg(4, -2, 0, "m"); }, "", "o: m\n", 4},
        {"null name", [] { setName(nullptr); errorMsg(1, 0, 1, "m"); }, "", "m\nHelp option is -h.\n", 1},
        {"does not flush stdout", [] { setName("o"); std::fputs("out", stdout); errorMsg(0, 0, 0, "m"); std::fputs("|", stderr); },
         "out", "o: m\n|", 0},
    });
}

// What a tool's usage does around its own help text.
[[gnu::format(printf, 2, 3)]] void usageLike(FILE *stream, const char *format, ...) {
    if (stream != nullptr) {
        va_list args;
        va_start(args, format);
        writeUsageMessage(stream, format, args);
        va_end(args);
        std::fputs("HELP\n", stream);
    }
    endUsage(stream);
}

// An empty format, which callers pass to ask for the help text alone.
#pragma GCC diagnostic ignored "-Wformat-security"
char emptyFormat[1];  // not a literal, so the compiler leaves it to run time

TEST(Usage, MessageHelpAndStatus) {
    runCases({
        {"help on stdout", [] { setName("t"); usageLike(stdout, nullptr); }, "HELP\n", "", 0},
        {"message on stderr", [] { setName("t"); usageLike(stderr, "Missing %s.", "name"); }, "", "t: Missing name.\nHELP\n", 1},
        {"empty message writes no line", [] { setName("t"); usageLike(stderr, emptyFormat); }, "", "HELP\n", 1},
        {"pending stdout first", [] { setName("t"); std::fputs("out", stdout); usageLike(stderr, "m"); }, "out", "t: m\nHELP\n", 1},
        {"null stream", [] { setName("t"); usageLike(nullptr, "m"); }, "", "", 0},
    });
}

TEST(Banner, ThreeLines) {
    RunResult r = runInChild([] {
        static char identity[] = "$Id: tool.c,v 1.2 2003/04/05 12:00:00-04 devteam Exp $";
        getNameVersionAndDate(identity, &progName, &version, &date);
        printVersionBanner("compiled Jan  1 2020 at 00:00:00 EST", ", public domain.");
    });
    EXPECT_EQ(r.out, std::string("tool version 1.2 (2003-04-05)\nby ") + author + " <" + email +
                         ">,\ncompiled Jan  1 2020 at 00:00:00 EST, public domain.\n");
}

TEST(Banner, UnwritableOutputFails) {
    RunResult r = runInChild([] {
        static char identity[] = "$Id: tool.c,v 1.2 2003/04/05 12:00:00-04 devteam Exp $";
        getNameVersionAndDate(identity, &progName, &version, &date);
        int full = open("/dev/full", O_WRONLY);
        dup2(full, 1);
        printVersionBanner("compiled Jan  1 2020 at 00:00:00 EST", ".");
    });
    EXPECT_EQ(r.err, "tool: Cannot write to <standard output>: " + std::string(std::strerror(ENOSPC)) + "\n");
    EXPECT_TRUE(r.exited);
    EXPECT_EQ(r.status, 1);
}

TEST(IdentityFailure, StartupText) {
    RunResult r = runInChild([] { reportIdentityFailure(42, "tool.cpp", ""); });
    EXPECT_EQ(r.err, "Internal error at line 42 in file \"tool.cpp\":\nCannot get my program name, version or date.");
}

// The shipped tools keep their assertions, and a failed one names the source
// file by its base name, never by a folder of the build machine's tree.
TEST(Assertion, NamesTheSourceFileByItsBaseName) {
    RunResult r = runInChild([] {
        volatile bool never = false;
        assert(never);
    });
    EXPECT_FALSE(r.exited);
    EXPECT_EQ(r.signal, SIGABRT);
    EXPECT_NE(r.err.find("errorTest.cpp:"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find('/'), std::string::npos) << r.err;
}

}  // namespace
