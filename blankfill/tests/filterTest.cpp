// The tab-expansion filter: column rules by table, GNU expand as an oracle on
// random text, both input paths (regular file in blocks, other streams byte
// by byte), failures of either stream, and input handled as it arrives.
#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <random>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "expandTabs.h"
#include "testing.h"

using testing_support::shellOutput;
using testing_support::TempDir;

namespace {

struct Filtered {
    std::string out;
    int result;
};

std::string readAll(FILE *stream) {
    std::string data;
    rewind(stream);
    char block[65536];
    size_t n;
    while ((n = fread(block, 1, sizeof block, stream)) > 0) data.append(block, n);
    return data;
}

// Input from a regular file: the block path.
Filtered filterFile(const std::string &input, int spacing, int leadingOnly) {
    FILE *in = tmpfile();
    FILE *out = tmpfile();
    fwrite(input.data(), 1, input.size(), in);
    rewind(in);
    Filtered r;
    r.result = blankfill(in, spacing, leadingOnly, out);
    r.out = readAll(out);
    fclose(in);
    fclose(out);
    return r;
}

// Input from a memory stream, which has no descriptor: the byte path.
Filtered filterMemory(const std::string &input, int spacing, int leadingOnly) {
    std::string copy = input;
    FILE *in = copy.empty() ? fopen("/dev/null", "r") : fmemopen(copy.data(), copy.size(), "r");
    FILE *out = tmpfile();
    Filtered r;
    r.result = blankfill(in, spacing, leadingOnly, out);
    r.out = readAll(out);
    fclose(in);
    fclose(out);
    return r;
}

struct Case {
    const char *name;
    std::string input;
    int spacing;
    int leadingOnly;
    std::string expected;
};

TEST(Filter, ColumnRules) {
    const Case cases[] = {
        {"tab after two bytes", "ab\tc", 4, 0, "ab  c"},
        {"tab at a stop", "abcd\t", 4, 0, "abcd    "},
        {"tab at line start", "\tx\n\ty\n", 4, 0, "    x\n    y\n"},
        {"two tabs", "\t\t", 4, 0, "        "},
        {"spacing 1", "a\tb\t\tc", 1, 0, "a b  c"},
        {"spacing 0 acts as 1", "a\tb\t\tc", 0, 0, "a b  c"},
        {"negative spacing acts as 1", "ab\tc", -7, 0, "ab c"},
        {"spacing 8", "abc\tx\t", 8, 0, "abc     x       "},
        {"backspace above column 0", "ab\b\tc", 4, 0, "ab\b   c"},
        {"backspace at column 0 counts one", "\b\tx", 4, 0, "\b   x"},
        {"two backspaces then tab", "abc\b\b\tz", 4, 0, "abc\b\b   z"},
        {"carriage return counts one", "a\r\t", 4, 0, "a\r  "},
        {"control byte counts one", "\x01\t", 4, 0, "\x01   "},
        {"newline resets the column", "abc\n\t", 4, 0, "abc\n    "},
        {"every tab expanded", "  \tx\ty", 4, 0, "    x   y"},
        {"leading only", "  \tx\ty\n\tz\n", 4, 1, "    x\ty\n    z\n"},
        {"leading only: blanks-only line", " \t \t\n", 4, 1, "        \n"},
        {"leading only: carriage return ends leading", "\r\t", 4, 1, "\r\t"},
        {"leading only: later line expanded again", "x\t\n \t\n", 3, 1, "x\t\n   \n"},
        {"empty input", "", 4, 0, ""},
        {"empty input, leading only", "", 4, 1, ""},
        {"no final newline", "a\tb", 4, 0, "a   b"},
        {"byte 255 is a byte", "\xff\t\xff\n\xff", 4, 0, "\xff   \xff\n\xff"},
        {"byte 255, leading only", "\t\xff\t", 4, 1, "    \xff\t"},
        {"multi-byte text counts bytes", "\xc3\xa9\t.", 4, 0, "\xc3\xa9  ."},
        {"large spacing", "a\t", 100000, 0, "a" + std::string(99999, ' ')},
    };
    for (const Case &c : cases) {
        Filtered file = filterFile(c.input, c.spacing, c.leadingOnly);
        EXPECT_EQ(file.out, c.expected) << c.name << " (file)";
        EXPECT_EQ(file.result, 0) << c.name << " (file)";
        Filtered memory = filterMemory(c.input, c.spacing, c.leadingOnly);
        EXPECT_EQ(memory.out, c.expected) << c.name << " (stream)";
        EXPECT_EQ(memory.result, 0) << c.name << " (stream)";
    }
}

std::string randomText(std::mt19937 &rng, size_t length) {
    static const char alphabet[] = "abcXYZ      \t\t\t\n\n";
    std::uniform_int_distribution<size_t> pick(0, sizeof alphabet - 2);
    std::string text;
    for (size_t i = 0; i < length; ++i) text += alphabet[pick(rng)];
    return text;
}

// GNU expand agrees on text of letters, spaces, tabs and newlines.
TEST(Filter, AgreesWithExpand) {
    if (!testing_support::commandExists("expand")) GTEST_SKIP() << "no expand";
    TempDir dir;
    std::string path = dir.file("in");
    std::mt19937 rng(20260108);
    std::uniform_int_distribution<size_t> lengthOf(0, 400);
    for (int round = 0; round < 300; ++round) {
        int spacing = 1 + round % 12;
        std::string input = randomText(rng, lengthOf(rng));
        testing_support::writeFile(path, input);
        for (int leadingOnly = 0; leadingOnly <= 1; ++leadingOnly) {
            std::string command = std::string("expand ") + (leadingOnly ? "-i " : "") + "-t " +
                                  std::to_string(spacing) + " " + path;
            std::string expected = shellOutput(command);
            EXPECT_EQ(filterFile(input, spacing, leadingOnly).out, expected) << command << " round " << round;
            EXPECT_EQ(filterMemory(input, spacing, leadingOnly).out, expected) << command << " round " << round;
        }
    }
}

// Long lines and inputs of several blocks: blocks end anywhere in a line.
TEST(Filter, AgreesWithExpandAcrossBlocks) {
    if (!testing_support::commandExists("expand")) GTEST_SKIP() << "no expand";
    TempDir dir;
    std::string path = dir.file("in");
    std::mt19937 rng(7);
    std::string input = randomText(rng, 200000);
    input += std::string(150000, 'q') + "\t" + std::string(70000, ' ') + "\t.\n \t" + randomText(rng, 70000);
    testing_support::writeFile(path, input);
    for (int spacing : {3, 8}) {
        for (int leadingOnly = 0; leadingOnly <= 1; ++leadingOnly) {
            std::string command = std::string("expand ") + (leadingOnly ? "-i " : "") + "-t " +
                                  std::to_string(spacing) + " " + path;
            std::string expected = shellOutput(command);
            EXPECT_EQ(filterFile(input, spacing, leadingOnly).out, expected) << command;
            EXPECT_EQ(filterMemory(input, spacing, leadingOnly).out, expected) << command;
        }
    }
}

// Any byte values, backspaces and long lines among them: the block loop
// agrees with the byte loop, which follows the column rules one byte at a time.
TEST(Filter, BlockAndByteLoopsAgreeOnAnyBytes) {
    std::mt19937 rng(99);
    std::uniform_int_distribution<int> byteOf(0, 255), kindOf(0, 9);
    for (int round = 0; round < 24; ++round) {
        std::string input;
        for (int i = 0; i < 50000; ++i) {
            int kind = kindOf(rng);
            input += kind == 0 ? '\t' : kind == 1 ? '\b' : kind == 2 && round % 3 ? '\n' : kind == 3 ? ' '
                                                                                   : static_cast<char>(byteOf(rng));
        }
        int spacing = 1 + round % 12, leadingOnly = round % 2;
        Filtered block = filterFile(input, spacing, leadingOnly);
        EXPECT_EQ(block.out, filterMemory(input, spacing, leadingOnly).out) << "round " << round;
        EXPECT_EQ(block.result, 0);
    }
}

// A write failure stops the filter early with result 1, on both paths.
TEST(Filter, WriteErrorStops) {
    std::string input(4 << 20, 'x');
    for (int path = 0; path < 2; ++path) {
        FILE *in = path == 0 ? tmpfile() : fmemopen(input.data(), input.size(), "r");
        if (path == 0) {
            fwrite(input.data(), 1, input.size(), in);
            rewind(in);
        }
        FILE *out = fopen("/dev/full", "w");
        ASSERT_NE(out, nullptr);
        EXPECT_EQ(blankfill(in, 4, 0, out), 1) << path;
        EXPECT_LT(ftell(in), static_cast<long>(input.size()) / 2) << "read on after the failure, path " << path;
        EXPECT_EQ(ferror(in), 0);
        fclose(in);
        clearerr(out);
        fclose(out);
    }
}

// A file-size limit fails the writes part-way: result 1, output cut at the limit.
TEST(Filter, FileSizeLimitStops) {
    TempDir dir;
    std::string input;
    for (int i = 0; i < 20000; ++i) input += "\tline\tof text\n";
    testing_support::writeFile(dir.file("in"), input);
    auto result = testing_support::runInChild([&] {
        struct rlimit limit = {100000, 100000};
        signal(SIGXFSZ, SIG_IGN);
        setrlimit(RLIMIT_FSIZE, &limit);
        FILE *in = fopen(dir.file("in").c_str(), "r");
        FILE *out = fopen(dir.file("out").c_str(), "w");
        int r = blankfill(in, 4, 0, out);
        fprintf(stderr, "%d", r);
    });
    EXPECT_EQ(result.err, "1");
    std::string written = testing_support::readFile(dir.file("out"));
    EXPECT_EQ(written.size(), 100000u);
    EXPECT_EQ(written, filterFile(input, 4, 0).out.substr(0, 100000));
}

// A read failure ends the filter with result 1: a directory read through the
// byte path, and a regular file whose reads fail through the block path.
TEST(Filter, ReadErrorGivesOne) {
    FILE *out = tmpfile();
    FILE *directory = fopen("/", "r");
    ASSERT_NE(directory, nullptr);
    EXPECT_EQ(blankfill(directory, 4, 0, out), 1);
    EXPECT_NE(ferror(directory), 0);
    fclose(directory);

    FILE *memory = fopen("/proc/self/mem", "r");  // offset 0 is never mapped
    if (memory != nullptr) {
        EXPECT_EQ(blankfill(memory, 4, 1, out), 1);
        EXPECT_NE(ferror(memory), 0);
        fclose(memory);
    }
    EXPECT_EQ(ferror(out), 0);
    fclose(out);
}

// Input from a pipe is expanded as it arrives: a line's output is out before
// the writer has closed its end.
TEST(Filter, PipeInputHandledAsItArrives) {
    int inPipe[2], outPipe[2];
    ASSERT_EQ(pipe(inPipe), 0);
    ASSERT_EQ(pipe(outPipe), 0);
    FILE *in = fdopen(inPipe[0], "r");
    FILE *out = fdopen(outPipe[1], "w");
    setvbuf(out, nullptr, _IOLBF, 0);
    int result = -1;
    std::thread filter([&] { result = blankfill(in, 4, 0, out); });

    ASSERT_EQ(write(inPipe[1], "a\tb\n", 4), 4);
    struct pollfd ready = {outPipe[0], POLLIN, 0};
    ASSERT_EQ(poll(&ready, 1, 10000), 1) << "no output while the input stays open";
    char line[16] = {};
    EXPECT_EQ(read(outPipe[0], line, sizeof line), 6);
    EXPECT_STREQ(line, "a   b\n");

    close(inPipe[1]);
    filter.join();
    EXPECT_EQ(result, 0);
    fclose(in);
    fclose(out);
    close(outPipe[0]);
}

}  // namespace
