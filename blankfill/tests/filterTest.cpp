// The tab-expansion filter: column rules by table, GNU expand as an oracle on
// random text, the input paths (regular file in blocks, pipe in what each
// read returns, a memory stream or a stream holding bytes byte by byte),
// every scanning kernel against a plain model, failures of either stream,
// and input handled and output flushed as it arrives.
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "expandTabs.h"
#include "expandTabsKernels.h"
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
        {"large spacing", "a\t", 100000, 0, std::string("a").append(99999, ' ')},
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

// Any byte values, with tabs, backspaces and spaces common and newlines
// common or absent (for lines of any length).
std::string randomBytes(std::mt19937 &rng, int length, bool newlines) {
    std::uniform_int_distribution<int> byteOf(0, 255), kindOf(0, 9);
    std::string input;
    for (int i = 0; i < length; ++i) {
        int kind = kindOf(rng);
        input += kind == 0 ? '\t' : kind == 1 ? '\b' : kind == 2 && newlines ? '\n' : kind == 3 ? ' '
                                                                             : static_cast<char>(byteOf(rng));
    }
    return input;
}

// Any byte values, backspaces and long lines among them: the block loop
// agrees with the byte loop, which follows the column rules one byte at a time.
TEST(Filter, BlockAndByteLoopsAgreeOnAnyBytes) {
    std::mt19937 rng(99);
    for (int round = 0; round < 24; ++round) {
        std::string input = randomBytes(rng, 50000, round % 3 != 0);
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

// ---- Pipes, buffered streams and flushing ---------------------------------

// Reads what the pipe holds within `timeoutMs`, or "" if nothing came.
std::string readWhatArrives(int fd, int timeoutMs = 10000) {
    struct pollfd ready = {fd, POLLIN, 0};
    if (poll(&ready, 1, timeoutMs) != 1) return "";
    char data[256];
    ssize_t n = read(fd, data, sizeof data);
    return n > 0 ? std::string(data, static_cast<size_t>(n)) : "";
}

// Output to a pipe, which its stream buffers fully, is flushed whenever the
// input pauses: each line, and a line's start, reach the reader while the
// input stays open.
TEST(Filter, OutputFlushedWhenInputPauses) {
    for (int leadingOnly = 0; leadingOnly <= 1; ++leadingOnly) {
        int inPipe[2], outPipe[2];
        ASSERT_EQ(pipe(inPipe), 0);
        ASSERT_EQ(pipe(outPipe), 0);
        FILE *in = fdopen(inPipe[0], "r");
        FILE *out = fdopen(outPipe[1], "w");
        int result = -1;
        std::thread filter([&] { result = blankfill(in, 4, leadingOnly, out); });

        ASSERT_EQ(write(inPipe[1], "\ta\tb\n", 5), 5);
        EXPECT_EQ(readWhatArrives(outPipe[0]), leadingOnly ? "    a\tb\n" : "    a   b\n");
        ASSERT_EQ(write(inPipe[1], "\tc", 2), 2);
        EXPECT_EQ(readWhatArrives(outPipe[0]), "    c") << "a line's start waits for its end";

        close(inPipe[1]);
        filter.join();
        EXPECT_EQ(result, 0);
        fclose(in);
        fclose(out);
        close(outPipe[0]);
    }
}

// Bytes that the stream has read ahead or had pushed back are not skipped:
// such a stream is read through itself.
TEST(Filter, BytesHeldByTheStreamAreKept) {
    for (int pushBack = 0; pushBack <= 1; ++pushBack) {
        int inPipe[2];
        ASSERT_EQ(pipe(inPipe), 0);
        ASSERT_EQ(write(inPipe[1], "x\ty\n\tz\n", 7), 7);
        close(inPipe[1]);
        FILE *in = fdopen(inPipe[0], "r");
        if (pushBack)
            ungetc('w', in);
        else
            EXPECT_EQ(getc(in), 'x');  // the rest is now in the stream's buffer
        FILE *out = tmpfile();
        EXPECT_EQ(blankfill(in, 4, 0, out), 0);
        EXPECT_EQ(readAll(out), pushBack ? "wx  y\n    z\n" : "    y\n    z\n") << "pushed back: " << pushBack;
        fclose(in);
        fclose(out);
    }
}

// ---- Every scanning kernel against a plain model ---------------------------

// The column rules one byte at a time, written apart from the filter.
std::string model(const std::string &input, int spacing, int leadingOnly) {
    long stop = spacing < 2 ? 1 : spacing;
    std::string out;
    long column = 0;
    bool leading = true;
    for (char byte : input) {
        if (byte == '\n') {
            out += byte;
            column = 0;
            leading = true;
        } else if (byte == '\t' && leading) {
            long next = (column / stop + 1) * stop;
            out.append(static_cast<size_t>(next - column), ' ');
            column = next;
        } else {
            if (leadingOnly && byte != ' ' && byte != '\t') leading = false;
            out += byte;
            column += byte == '\b' && column > 0 ? -1 : 1;
        }
    }
    return out;
}

Filtered filterFileWith(ScanKernel kernel, const std::string &input, int spacing, int leadingOnly) {
    FILE *in = tmpfile();
    FILE *out = tmpfile();
    fwrite(input.data(), 1, input.size(), in);
    rewind(in);
    Filtered r;
    r.result = expandTabsWith(kernel, in, spacing, leadingOnly, out);
    r.out = readAll(out);
    fclose(in);
    fclose(out);
    return r;
}

// Input from a pipe in the given pieces, each read by the filter before the
// next is written, so that each piece is one block for it; the last piece
// goes on to the end of the input.
Filtered filterPipeWith(ScanKernel kernel, const std::string &input, const std::vector<size_t> &pieces,
                        int spacing, int leadingOnly) {
    int inPipe[2];
    EXPECT_EQ(pipe(inPipe), 0);
    std::thread writer([&] {
        size_t at = 0;
        for (size_t i = 0; at < input.size(); ++i) {
            size_t n = i < pieces.size() ? std::min(pieces[i], input.size() - at) : input.size() - at;
            for (size_t done = 0; done < n;) {
                ssize_t w = write(inPipe[1], input.data() + at + done, n - done);
                if (w <= 0) break;
                done += static_cast<size_t>(w);
            }
            at += n;
            for (int waiting = 0;; ++waiting) {
                int held = 0;
                if (ioctl(inPipe[1], FIONREAD, &held) != 0 || held == 0 || waiting > 100000) break;
                std::this_thread::sleep_for(std::chrono::microseconds(20));
            }
        }
        close(inPipe[1]);
    });
    FILE *in = fdopen(inPipe[0], "r");
    FILE *out = tmpfile();
    Filtered r;
    r.result = expandTabsWith(kernel, in, spacing, leadingOnly, out);
    writer.join();
    r.out = readAll(out);
    fclose(in);
    fclose(out);
    return r;
}

class Kernel : public ::testing::TestWithParam<ScanKernel> {
protected:
    void SetUp() override {
        if (!scanKernelRuns(GetParam()))
            GTEST_SKIP() << "the " << scanKernelName(GetParam()) << " kernel cannot run on this processor";
    }
};

// Each of backspace, tab and newline after every run length from 0 to past
// two 64-byte windows, so that each falls at every offset of the 16-, 32-
// and 64-byte lanes, at a window's last byte and first byte, and behind
// another at once; runs of leading blanks likewise; with spacings below and
// above a lane.
TEST_P(Kernel, SpecialBytesAtEveryLaneOffset) {
    std::string input;
    for (const char *special : {"\t", "\n", "\b", "\t\t", "\b\t", " \t", "\n\t"})
        for (size_t run = 0; run <= 140; ++run) {
            input.append(run, static_cast<char>('a' + run % 26));
            input += special;
        }
    // Leading blanks of every length that are all tabs, all spaces or mixed,
    // ended by text or by the newline of a blank line.
    for (const char *blanks : {"\t", " ", " \t", "\t "})
        for (size_t run = 0; run <= 140; ++run) {
            for (size_t i = 0; i < run; ++i) input += blanks[i % std::strlen(blanks)];
            if (run % 3 != 0) input.append("x\tz");
            input.push_back('\n');
        }
    for (int spacing : {1, 4, 7, 8, 64, 65, 300}) {
        for (int leadingOnly = 0; leadingOnly <= 1; ++leadingOnly) {
            std::string expected = model(input, spacing, leadingOnly);
            Filtered file = filterFileWith(GetParam(), input, spacing, leadingOnly);
            EXPECT_EQ(file.out, expected) << "spacing " << spacing << ", leading only " << leadingOnly;
            EXPECT_EQ(file.result, 0);
        }
    }
}

// A special byte at every offset from 70 before to 70 after the end of a
// block: each piece of a pipe's input is a block, so pieces of 200 bytes put
// one of them at each offset; a regular file's blocks are long, so only the
// offsets around the lanes are tried there. Output blocks end anywhere.
TEST_P(Kernel, SpecialBytesAroundBlockEnds) {
    std::mt19937 rng(5);
    const std::string text = randomText(rng, 400);
    std::string piped;
    std::vector<size_t> pieces;
    for (int k = 0; k <= 141; ++k) {
        piped += text.substr(0, 200);
        pieces.push_back(200);
    }
    for (int offset = -70; offset <= 70; ++offset) {
        size_t at = static_cast<size_t>(200 * (offset + 71) + offset);  // around the end of a piece
        piped[at - 1] = "\t\n\b"[(offset + 70) % 3];
        piped[at] = (offset & 1) ? '\t' : 'x';
    }
    const int offsets[] = {-65, -64, -63, -33, -32, -31, -17, -16, -15, -1, 0, 1, 15, 16, 17, 31, 32, 33, 63, 64, 65};
    std::string file;
    const std::string block = randomText(rng, kBlockSize);
    for (size_t k = 0; k <= std::size(offsets); ++k) file += block;
    for (size_t k = 0; k < std::size(offsets); ++k) {
        size_t at = static_cast<size_t>(static_cast<long>(kBlockSize * (k + 1)) + offsets[k]);
        file[at - 1] = "\t\n\b"[k % 3];
        file[at] = (offsets[k] & 1) ? '\t' : 'x';
    }
    for (int spacing : {4, 100}) {
        for (int leadingOnly = 0; leadingOnly <= 1; ++leadingOnly) {
            EXPECT_TRUE(filterPipeWith(GetParam(), piped, pieces, spacing, leadingOnly).out ==
                        model(piped, spacing, leadingOnly))
                << "pipe, spacing " << spacing << ", leading only " << leadingOnly;
            EXPECT_TRUE(filterFileWith(GetParam(), file, spacing, leadingOnly).out == model(file, spacing, leadingOnly))
                << "file, spacing " << spacing << ", leading only " << leadingOnly;
        }
    }
}

// Input from a pipe that arrives piecemeal, in pieces of 1 byte to more than
// a block, of any byte values: each read is a block of its own.
TEST_P(Kernel, PiecemealPipeInput) {
    std::mt19937 rng(11);
    std::uniform_int_distribution<int> byteOf(0, 255), kindOf(0, 7);
    std::uniform_int_distribution<size_t> small(1, 200);
    for (int round = 0; round < 6; ++round) {
        std::string input;
        for (int i = 0; i < 120000; ++i) {
            int kind = kindOf(rng);
            input += kind < 4 ? "\t\b\n "[kind] : kind == 4 ? static_cast<char>(byteOf(rng)) : 'q';
        }
        std::vector<size_t> pieces;
        for (int i = 0; i < 300; ++i) pieces.push_back(i == 150 ? 70000 : small(rng));
        int spacing = round < 2 ? 4 : round * 11, leadingOnly = round % 2;
        Filtered piped = filterPipeWith(GetParam(), input, pieces, spacing, leadingOnly);
        EXPECT_TRUE(piped.out == model(input, spacing, leadingOnly)) << "round " << round;
        EXPECT_EQ(piped.result, 0);
    }
}

// Any byte values and lines of any length through the block path.
TEST_P(Kernel, AnyBytes) {
    std::mt19937 rng(23);
    for (int round = 0; round < 12; ++round) {
        std::string input = randomBytes(rng, 100000, round % 3 != 0);
        int spacing = 1 + round * 7, leadingOnly = round % 2;
        EXPECT_TRUE(filterFileWith(GetParam(), input, spacing, leadingOnly).out == model(input, spacing, leadingOnly))
            << "round " << round;
    }
}

INSTANTIATE_TEST_SUITE_P(Filter, Kernel, ::testing::ValuesIn(allScanKernels),
                         [](const ::testing::TestParamInfo<ScanKernel> &kernel) {
                             return std::string(scanKernelName(kernel.param));
                         });

// The kernel that the filter takes is one that runs here, and the widest.
TEST(Filter, ChosenKernelRunsHere) {
    ScanKernel chosen = chosenScanKernel();
    EXPECT_TRUE(scanKernelRuns(chosen)) << scanKernelName(chosen);
    for (ScanKernel kernel : allScanKernels) {
        if (scanKernelRuns(kernel)) {
            EXPECT_GE(static_cast<int>(chosen), static_cast<int>(kernel)) << scanKernelName(kernel) << " is wider";
        }
    }
}

// Display widths through the byte path (a memory stream), in a child of its
// own since they stay on for the rest of the process: the byte path's lines,
// a character cut off at the end of the input, and the ASCII rules beside.
TEST(FilterDisplayWidth, ByteByByteStream) {
    const std::string input = "\u754c\tx\n \t\u00e9\tx\n\xff\b\tx\ne\u0301\tab\xe4\xb8";
    const std::string expected = "\u754c  x\n    \u00e9   x\n\xff\b    x\ne\u0301   ab\xe4\xb8";
    testing_support::RunResult r = testing_support::runInChild([&] {
        if (!countDisplayWidths()) {
            std::fputs("no UTF-8 locale", stderr);
            return;
        }
        Filtered memory = filterMemory(input, 4, 0);
        std::fputs(memory.out.c_str(), stdout);
    });
    if (r.err == "no UTF-8 locale") GTEST_SKIP() << "this system has no UTF-8 locale";
    EXPECT_EQ(r.out, expected);
    EXPECT_EQ(r.status, 0);
}

}  // namespace
