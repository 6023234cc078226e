// The tool's analyses as a user runs them, against independent references:
// every figure of -e against a widely used random test program run live on
// the same files; the blocks' entropies of a file of known parts; a part
// of a file against the same bytes cut out with dd; the JSON document
// through Python's parser against -c and -e; and a sparse file past 4 GiB.
#include <fcntl.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "byteStats.h"
#include "testing.h"

using testing_support::readFile;
using testing_support::RunOptions;
using testing_support::RunResult;
using testing_support::runTool;
using testing_support::shellOutput;
using testing_support::StdinKind;
using testing_support::TempDir;
using testing_support::writeFile;

namespace {

const std::string tool = OCTETTALLY_PATH;

RunResult run(const std::vector<std::string> &args, const std::string &input = "", bool piped = false) {
    RunOptions o;
    o.args = args;
    if (piped) {
        o.stdinKind = StdinKind::Pipe;
        o.input = input;
    }
    return runTool(tool, o);
}

std::string randomBytes(std::size_t n, unsigned seed) {
    std::mt19937 gen(seed);
    std::string data(n, '\0');
    for (char &c : data) c = static_cast<char>(gen() & 0xFF);
    return data;
}

// Numbered lines of English words, the same on every system.
std::string sampleText(std::size_t n) {
    static const char *const words[] = {"the", "count", "of", "every", "byte", "value", "in", "a",
                                        "file", "tells", "how", "random", "it", "looks", "and", "where"};
    std::mt19937 gen(7);
    std::string text;
    while (text.size() < n) {
        text += std::to_string(text.size() % 1000) + ":";
        for (int w = 0; w < 10; ++w) text += std::string(" ") + words[gen() % 16];
        text += ".\n";
    }
    text.resize(n);
    return text;
}

// The text after `label` up to the end of its line, or "" where it is missing.
std::string after(const std::string &text, const std::string &label) {
    const std::size_t at = text.find(label);
    if (at == std::string::npos) return "";
    const std::size_t begin = at + label.size();
    return text.substr(begin, text.find('\n', begin) - begin);
}

// The test program's printed figures, in -e's words and digits.
std::string peerFigures(const std::string &path) {
    const std::string full = shellOutput("ent '" + path + "'");
    const std::string terse = shellOutput("ent -t '" + path + "'");
    const std::string row = terse.substr(terse.find("\n1,") + 3);
    double bytes, entropy, chiSquare, mean, pi, serial;
    EXPECT_EQ(std::sscanf(row.c_str(), "%lf,%lf,%lf,%lf,%lf,%lf", &bytes, &entropy, &chiSquare, &mean, &pi, &serial), 6)
        << row;
    char text[400];
    std::snprintf(text, sizeof text,
                  "Entropy: %.6f bits per byte\nChi-square: %.6f with 255 degrees of freedom\n"
                  "Arithmetic mean: %.6f\n",
                  entropy, chiSquare, mean);
    std::string out = text;
    std::string exceed = after(full, "would exceed this value ");
    if (exceed.rfind("more than than ", 0) == 0) exceed.erase(5, 5);  // the peer's own wording
    out += "Chi-square probability: " + exceed.substr(0, exceed.find(" percent")) +
           " percent of random inputs exceed it\n";
    const std::string correlation = after(full, "Serial correlation coefficient is ");
    out += "Serial correlation: " +
           (correlation.rfind("undefined", 0) == 0 ? "undefined (all values equal)"
                                                   : correlation.substr(0, correlation.find(' '))) + "\n";
    const std::string monteCarlo = after(full, "Monte Carlo value for Pi is ");
    out += "Monte Carlo value of pi: " +
           (monteCarlo.find("nan") != std::string::npos ? "undefined (fewer than 6 bytes)"
                                                          : monteCarlo.substr(0, monteCarlo.size() - 1)) + "\n";
    const std::string reduce = after(full, " file by ");
    out += "Optimum compression would reduce the size by " + reduce.substr(0, reduce.find(' ')) + " percent\n";
    return out;
}

// Six bytes of a Monte-Carlo point.
std::string point(std::uint32_t x, std::uint32_t y) {
    const char bytes[] = {char(x >> 16), char(x >> 8), char(x), char(y >> 16), char(y >> 8), char(y)};
    return std::string(bytes, 6);
}

// 452 points of which 355 inside the circle make 4 x 355 / 452, pi within
// 0.00001 percent; the points on the arc itself (a 3-4-5 triangle scaled to
// the radius 2^24 - 1) count inside, those one step past it outside.
std::string piFile() {
    const std::uint32_t r5 = ((1u << 24) - 1) / 5;
    std::string data;
    for (int i = 0; i < 355; ++i) data += i % 2 ? point(3 * r5, 4 * r5) : point(4 * r5 - i, 3 * r5);
    for (int i = 0; i < 97; ++i) data += i % 2 ? point(3 * r5, 4 * r5 + 1) : point(0xFFFFFF, 0xFFFFFF - i);
    return data + "ab";  // a point begun, not counted
}

TEST(OctetTallyAnalysis, EveryStatisticAgreesWithThePeer) {
    if (shellOutput("command -v ent").empty()) GTEST_SKIP() << "ent is not installed (testing/install-deps.sh)";
    std::string uniform;
    for (int round = 0; round < 40; ++round) {
        for (int c = 0; c < 256; ++c) uniform += static_cast<char>(c);
    }
    const struct {
        std::string name;
        std::string data;
    } files[] = {
        {"random", randomBytes(1000003, 5)}, {"text", sampleText(300000)},
        {"one value", std::string(1000, 'A')}, {"all values", uniform},
        {"one byte", "Z"}, {"exact pi", piFile()},
    };
    TempDir dir;
    for (const auto &f : files) {
        const std::string path = dir.file("in");
        writeFile(path, f.data);
        const RunResult r = run({"-e", path});
        EXPECT_EQ(r.status, 0) << f.name << r.err;
        const std::size_t at = r.out.find("\nEntropy: ");
        ASSERT_NE(at, std::string::npos) << f.name;
        const std::string ours = r.out.substr(at + 1, r.out.find("Min-entropy") - at - 1);
        EXPECT_EQ(ours, peerFigures(path)) << f.name;
    }
    // The exact estimate: 4 x 355 / 452 = 3.141592920.
    writeFile(dir.file("pi"), piFile());
    EXPECT_NE(run({"-e", dir.file("pi")}).out.find("pi: 3.141592920 (error 0.00 percent)"), std::string::npos);
}

// The series that stands in for Boost.Math in a build without it: against
// the closed forms of 1, 2 and 4 degrees of freedom (erfc(sqrt(x/2)),
// e^(-x/2), e^(-x/2) (1 + x/2)), on both sides of where the series hands
// over to the continued fraction, and against Boost.Math for 255 degrees
// over the whole range the report distinguishes.
TEST(OctetTallyAnalysis, ChiSquareTailSeriesAgreesWithClosedFormsAndTheLibrary) {
    for (double x : {0.0, 0.01, 0.5, 1.0, 2.9, 3.0, 3.1, 6.0, 10.0, 40.0, 200.0, 1500.0}) {
        const double half = x / 2.0;
        const double closed[][2] = {{1, std::erfc(std::sqrt(half))}, {2, std::exp(-half)},
                                    {4, std::exp(-half) * (1.0 + half)}};
        for (const auto &c : closed) {
            const double got = chiSquareUpperTailBySeries(x, int(c[0]));
            EXPECT_NEAR(got, c[1], 1e-13 + 1e-12 * c[1]) << c[0] << " degrees, " << x;
        }
    }
    for (double x = 0.0; x <= 700.0; x += 0.25) {
        EXPECT_NEAR(chiSquareUpperTailBySeries(x, 255), chiSquareUpperTail(x, 255), 1e-12) << x;
    }
    EXPECT_EQ(chiSquareUpperTailBySeries(1e9, 255), 0.0);
}

TEST(OctetTallyAnalysis, MinEntropyOfKnownInputs) {
    const struct {
        std::string data;
        std::string figure;
    } cases[] = {
        {std::string(1000, 'A'), "0.000000"},
        {std::string(3, 'a') + "b", "0.415037"},  // -log2(3/4)
        {"abcd", "2.000000"},
        {std::string(1, 'x') + randomBytes(0, 1), "0.000000"},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(after(run({"-e"}, c.data, true).out, "Min-entropy: "), c.figure + " bits per byte") << c.data;
    }
}

// 1 MiB of text, 1 MiB of random bytes, 1 MiB of zeros in blocks of 64 KiB.
std::string threeParts() {
    return sampleText(1 << 20) + randomBytes(1 << 20, 9) + std::string(1 << 20, '\0');
}

TEST(OctetTallyAnalysis, BlocksOfAFileOfThreeParts) {
    // Worked out with Python's math.log2 from the same bytes.
    const char *const text[] = {"4.382735", "4.380609", "4.384489", "4.384598", "4.382872", "4.380234",
                                "4.382181", "4.384216", "4.382405", "4.382772", "4.382660", "4.382930",
                                "4.377434", "4.384113", "4.385482", "4.385973"};
    const char *const random[] = {"7.997048", "7.996938", "7.997590", "7.997335", "7.997378", "7.997317",
                                  "7.997272", "7.996720", "7.997719", "7.997549", "7.997504", "7.997538",
                                  "7.997303", "7.997109", "7.997282", "7.996907"};
    std::string lines = "offset,entropy\n";
    for (int b = 0; b < 48; ++b) {
        const char *figure = b < 16 ? text[b] : b < 32 ? random[b - 16] : "0.000000";
        lines += std::to_string(b * 65536) + "," + figure + "\n";
    }
    TempDir dir;
    const std::string path = dir.file("parts");
    const std::string data = threeParts();
    writeFile(path, data);
    const RunResult plain = run({"-b", "64K", "-c", path});
    EXPECT_EQ(plain.status, 0);
    ASSERT_EQ(plain.out.substr(0, lines.size()), lines);
    // The counts follow, after an empty line, from the same pass.
    EXPECT_EQ(plain.out.substr(lines.size(), 15), "\nvalue,count\n0,");
    EXPECT_EQ(run({"-b64K", "-c"}, data, true).out, plain.out);
    const RunResult chart = run({"-b", "64K", path});
    EXPECT_NE(chart.out.find("Edges (rising to 7.600 bits per byte or more, falling to 6.800 or less): 2\n"
                             "rising             0x100000        1 MiB  7.997048\n"
                             "falling            0x200000        2 MiB  0.000000\n"),
              std::string::npos)
        << chart.out;
    // Thresholds of one's own: the text's blocks are above 4.
    const RunResult low = run({"-b", "64K", "--high", "4", "--low=3.5", path});
    EXPECT_NE(low.out.find("rising                  0x0          0 B  4.382735\n"
                           "falling            0x200000        2 MiB  0.000000\n"),
              std::string::npos)
        << low.out;
}

// The rows of the chart, top first, without their labels.
std::vector<std::string> chartRows(const std::string &out) {
    std::vector<std::string> rows;
    std::size_t at = out.find("\n  8 |");
    for (int row = 0; row < 20 && at != std::string::npos; ++row) {
        const std::size_t end = out.find('\n', at + 1);
        rows.push_back(out.substr(at + 6, end - at - 6));
        at = end;
    }
    return rows;
}

TEST(OctetTallyAnalysis, ALoneHighBlockStaysVisible) {
    // 200 blocks of 64 zeros but one of 64 different values (6 bits), in
    // more blocks than the chart has columns, from a file (3 blocks a
    // column) and from a pipe (columns merged as they fill: 4 a column).
    std::string data(200 * 64, '\0');
    for (int i = 0; i < 64; ++i) data[137 * 64 + i] = static_cast<char>(i);
    TempDir dir;
    writeFile(dir.file("lone"), data);
    const struct {
        RunResult r;
        int perColumn;
    } runs[] = {{run({"-b", "64", dir.file("lone")}), 3}, {run({"-b", "64"}, data, true), 4}};
    for (const auto &c : runs) {
        EXPECT_NE(c.r.out.find("covers " + std::to_string(c.perColumn) + " blocks"), std::string::npos) << c.r.out;
        const std::vector<std::string> rows = chartRows(c.r.out);
        ASSERT_EQ(rows.size(), 20u) << c.r.out;
        // The lone block's column ranges from 0 (its zero blocks) to 6 bits,
        // up to the row of 6.0 to 6.4 bits (the fifth from the top); the
        // others are 0 bits, the bottom row.
        const std::size_t lone = 137 / static_cast<std::size_t>(c.perColumn);
        for (std::size_t row = 0; row < 19; ++row) {
            EXPECT_EQ(rows[row], row < 4 ? "" : std::string(lone, ' ') + "#") << row << "\n" << c.r.out;
        }
        EXPECT_EQ(rows[19], std::string((199 / static_cast<std::size_t>(c.perColumn) + 1), '#'));
    }
}

TEST(OctetTallyAnalysis, PartsEqualTheSameBytesCutOut) {
    TempDir dir;
    const std::string path = dir.file("big");
    // Large enough that the part is counted on several threads where the
    // machine has more than one processor.
    writeFile(path, randomBytes(40 << 20, 3) + sampleText(1 << 20));
    const struct {
        long long offset;
        long long length;  // -1: to the end
    } parts[] = {{0, 5}, {3, 36 << 20}, {(40 << 20) - 7, 2 << 20}, {12345, -1}, {41 << 20, 10}, {99 << 20, -1}};
    for (const auto &p : parts) {
        const std::string cut = "dd if='" + path + "' bs=1M iflag=skip_bytes,count_bytes skip=" +
                                std::to_string(p.offset) + (p.length >= 0 ? " count=" + std::to_string(p.length) : "") +
                                " status=none";
        const std::string expected = shellOutput(cut + " | '" + tool + "' -c");
        const std::string expectedStats = shellOutput(cut + " | '" + tool + "' -e | sed -n '/^Entropy/,$p'");
        std::vector<std::string> range = {"--offset", std::to_string(p.offset)};
        if (p.length >= 0) range.insert(range.end(), {"--length=" + std::to_string(p.length)});
        const std::string label = std::to_string(p.offset) + "+" + std::to_string(p.length);
        std::vector<std::string> args = range;
        args.insert(args.begin(), "-c");
        args.push_back(path);
        EXPECT_EQ(run(args).out, expected) << label;
        const std::string options = " --offset " + std::to_string(p.offset) +
                                    (p.length >= 0 ? " --length " + std::to_string(p.length) : "");
        EXPECT_EQ(shellOutput("'" + tool + "' -e" + options + " '" + path + "' | sed -n '/^Entropy/,$p'"),
                  expectedStats) << label;
        // Skipped by reading from a pipe, sought from a redirected file.
        EXPECT_EQ(shellOutput("(cat '" + path + "' 2>/dev/null) | '" + tool + "' -c" + options), expected) << label;
        EXPECT_EQ(shellOutput("'" + tool + "' -c" + options + " < '" + path + "'"), expected) << label;
    }
    // The header names the part, and an empty part says so.
    EXPECT_NE(run({"--offset", "1K", "--length", "2K", path}).out.find("In \"" + path + "\", bytes 1,024 to 3,071:\n"
                                                                         "Total: 2,048 bytes\n"),
              std::string::npos);
    EXPECT_EQ(run({"--offset", "1G", path}).out, "File " + path + " has no bytes from offset 1,073,741,824 on.\n");
}

TEST(OctetTallyAnalysis, JsonThroughPythonEqualsTheReport) {
    TempDir dir;
    const std::string path = dir.file("parts \"quoted\"");
    writeFile(path, threeParts());
    ASSERT_EQ(std::system(("'" + tool + "' -j -b 64K '" + path + "' | python3 -m json.tool > /dev/null").c_str()), 0);
    // The blocks and counts as -c writes them, the figures as -e does.
    const std::string script =
        "import json, sys\n"
        "d = json.load(sys.stdin)\n"
        "print('offset,entropy')\n"
        "for b in d['blocks']: print('%d,%.6f' % (b['offset'], b['entropy']))\n"
        "print('\\nvalue,count')\n"
        "for v, c in enumerate(d['counts']): print('%d,%d' % (v, c))\n"
        "s = d['statistics']\n"
        "print('Entropy: %.6f bits per byte' % s['entropy'])\n"
        "print('Chi-square: %.6f with 255 degrees of freedom' % s['chiSquare'])\n"
        "print('Arithmetic mean: %.6f' % s['mean'])\n"
        "print('Chi-square probability: less than 0.01 percent of random inputs exceed it' if s['chiSquareProbability'] < 0.01 else '%.2f' % s['chiSquareProbability'])\n"
        "print('Serial correlation: %.6f' % s['serialCorrelation'])\n"
        "print('Monte Carlo value of pi: %.9f (error %.2f percent)' % (s['monteCarloPi'], s['monteCarloPiError']))\n"
        "print('Optimum compression would reduce the size by %d percent' % s['compression'])\n"
        "print('Min-entropy: %.6f bits per byte' % s['minEntropy'])\n"
        "print(d['input'], d['offset'], d['length'], d['total'], d['lastBlockBytes'], len(d['edges']))\n";
    writeFile(dir.file("read.py"), script);
    const std::string fromJson =
        shellOutput("'" + tool + "' -j -b 64K '" + path + "' | python3 '" + dir.file("read.py") + "'");
    const std::string expected = run({"-c", "-b", "64K", path}).out +
                                 shellOutput("'" + tool + "' -e '" + path + "' | sed -n '/^Entropy/,$p'") + path +
                                 " 0 3145728 3145728 65536 2\n";
    EXPECT_EQ(fromJson, expected);
    // Undefined figures are null, an empty input has no statistics, and a
    // name that is not UTF-8 is still a JSON string.
    const std::string nulls = "import json, sys\nd = json.load(sys.stdin)\ns = d['statistics']\n"
                              "print(s and (s['monteCarloPi'], s['serialCorrelation']), d['total'], d['input'])\n";
    writeFile(dir.file("nulls.py"), nulls);
    writeFile(dir.file("one\xff"), "A");
    EXPECT_EQ(shellOutput("'" + tool + "' -j '" + dir.file("one\xff") + "' | python3 '" + dir.file("nulls.py") + "'"),
              "(None, None) 1 " + dir.file("one") + "\xef\xbf\xbd\n");
    EXPECT_EQ(shellOutput("'" + tool + "' -j < /dev/null | python3 '" + dir.file("nulls.py") + "'"),
              "None 0 <standard input>\n");
}

// A sparse file past 4 GiB in blocks of 1 GiB: offsets and counts that 32
// bits would cut short, and a last block of 3 bytes.
TEST(OctetTallyAnalysis, BlocksOfASparseFileOverFourGiB) {
    TempDir dir;
    const off_t size = (off_t{1} << 32) + 3;
    const std::string path = dir.file("sparse");
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    for (off_t at : {off_t{0}, (off_t{1} << 32) - 1, size - 1}) ASSERT_EQ(pwrite(fd, "A", 1, at), 1);
    ASSERT_EQ(close(fd), 0);
    const RunResult r = run({"-b", "1G", "-c", path});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.substr(0, r.out.find("\n\n")), "offset,entropy\n0,0.000000\n1073741824,0.000000\n"
                                                   "2147483648,0.000000\n3221225472,0.000000\n4294967296,0.918296");
    EXPECT_NE(r.out.find("\n0,4294967296\n"), std::string::npos);
    const RunResult chart = run({"-b", "1G", path});
    EXPECT_NE(chart.out.find(": 5 blocks of 1,073,741,824 bytes (1 GiB),\nthe last of 3 bytes."), std::string::npos)
        << chart.out.substr(0, 400);
}

TEST(OctetTallyAnalysis, OptionErrors) {
    const std::string hint = "\"octetTally -h\" for help.\n";
    const struct {
        std::vector<std::string> args;
        std::string err;
    } cases[] = {
        {{"-b", "63"}, "Block size 63 is too small: a block has at least 64 bytes"},
        {{"-b0"}, "Invalid block size \"0\": a number of bytes, with K, M or G for powers of 1,024"},
        {{"-b", "1T"}, "Invalid block size \"1T\": a number of bytes, with K, M or G for powers of 1,024"},
        {{"-b", "8589934592G"}, "Invalid block size \"8589934592G\": a number of bytes, with K, M or G for powers of 1,024"},
        {{"-b"}, "Option -b needs a value"},
        {{"--offset", "-1"}, "Invalid --offset \"-1\": a number of bytes, with K, M or G for powers of 1,024"},
        {{"--length"}, "Option --length needs a value"},
        {{"--high", "8.5"}, "Invalid --high \"8.5\": a number of bits per byte from 0 to 8"},
        {{"--low=nan"}, "Invalid --low \"nan\": a number of bits per byte from 0 to 8"},
        {{"--high", "5", "--low", "6"}, "The falling threshold (--low) is above the rising one (--high)"},
        {{"-jc"}, "Option -c cannot be combined with -j"},
        {{"-jm"}, "Option -j cannot be combined with -m"},
    };
    for (const auto &c : cases) {
        const RunResult r = run(c.args, "data", true);
        EXPECT_EQ(r.status, 1) << c.err;
        EXPECT_EQ(r.err, "octetTally: " + c.err + "\n" + hint);
        EXPECT_EQ(r.out, "");
    }
}

}  // namespace
