// Fuzz target for the tab filter with display widths on (countDisplayWidths).
// Each input goes through three of the filter's ways in: a socket of
// packets, each read as one block, so that blocks end at points the input
// chooses (inside a character, between a character and its combining mark,
// at a tab); a regular file, optionally behind a prefix that puts the text
// across the end of the first block; and a memory stream, read through the
// stream a line at a time. Every way must write what a model of the stated
// widths writes: a whole, valid UTF-8 character takes the columns that
// wcwidth gives it (1 where it calls it unprintable), every other byte of
// 0x80 or more takes one and is copied as it is, and the ASCII bytes keep
// their rules. Pure ASCII input, and leading-only mode, must give exactly
// what the byte-by-byte model gives.
//
// Input: spacing, flags, filler, prefix adjustment, output limit, cut
// count, that many gaps between cuts, then the text. The flags switch on
// leading-only mode, the prefix, an output stream that fails after a
// given number of bytes, and choose the scanning kernel.
#include <sys/socket.h>
#include <unistd.h>
#include <wchar.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "expandTabs.h"
#include "expandTabsKernels.h"
#include "filterModel.h"
#include "fuzzCheck.h"

namespace {

// The well-formed UTF-8 sequences: a lead byte's range, the range of the
// byte after it, and the sequence's length; every later byte is 0x80-0xBF.
struct Form {
    unsigned char leadLow, leadHigh, secondLow, secondHigh;
    size_t length;
};
constexpr Form forms[] = {
    {0xC2, 0xDF, 0x80, 0xBF, 2}, {0xE0, 0xE0, 0xA0, 0xBF, 3}, {0xE1, 0xEC, 0x80, 0xBF, 3},
    {0xED, 0xED, 0x80, 0x9F, 3}, {0xEE, 0xEF, 0x80, 0xBF, 3}, {0xF0, 0xF0, 0x90, 0xBF, 4},
    {0xF1, 0xF3, 0x80, 0xBF, 4}, {0xF4, 0xF4, 0x80, 0x8F, 4},
};

// The length of the well-formed character at in[at] and its code point, or
// 0 where none starts there.
size_t wellFormed(const std::string &in, size_t at, char32_t *character) {
    const auto byte = [&](size_t i) { return static_cast<unsigned char>(in[at + i]); };
    for (const Form &form : forms) {
        if (byte(0) < form.leadLow || byte(0) > form.leadHigh) continue;
        if (at + form.length > in.size()) return 0;
        if (byte(1) < form.secondLow || byte(1) > form.secondHigh) return 0;
        for (size_t i = 2; i < form.length; ++i) {
            if (byte(i) < 0x80 || byte(i) > 0xBF) return 0;
        }
        char32_t value = byte(0) & (0xFF >> (form.length + 1));
        for (size_t i = 1; i < form.length; ++i) value = value << 6 | (byte(i) & 0x3F);
        *character = value;
        return form.length;
    }
    return 0;
}

// As byteModel, but a whole, valid character of 0x80 or more takes the
// columns that wcwidth gives it, and any other such byte one.
std::string widthModel(const std::string &in, int64_t spacingGiven, uint64_t column) {
    const uint64_t spacing = spacingGiven >= 2 ? static_cast<uint64_t>(spacingGiven) : 1;
    std::string out;
    out.reserve(in.size());
    size_t copied = 0;
    for (size_t at = 0; at < in.size();) {
        const auto byte = static_cast<unsigned char>(in[at]);
        char32_t character = 0;
        const size_t length = byte < 0x80 ? 0 : wellFormed(in, at, &character);
        if (length > 0) {
            const int width = wcwidth(static_cast<wchar_t>(character));
            column += width < 0 ? 1 : static_cast<uint64_t>(width);
            at += length;
            continue;
        }
        if (byte == '\n') {
            column = 0;
        } else if (byte == '\t') {
            const uint64_t spaces = spacing - column % spacing;
            out.append(in, copied, at - copied).append(spaces, ' ');
            copied = at + 1;
            column += spaces;
        } else {
            column = byte == '\b' && column > 0 ? column - 1 : column + 1;
        }
        ++at;
    }
    return out.append(in, copied, std::string::npos);
}

bool plainAscii(const std::string &in) {
    for (char c : in) {
        if (static_cast<unsigned char>(c) >= 0x80) return false;
    }
    return true;
}

// The text as packets of a socket, one for each piece between two cuts: each
// read of the filter then returns one piece, a block of its own.
FILE *openAsPackets(const std::string &text, const std::vector<size_t> &cuts) {
    int ends[2];
    FUZZ_CHECK(socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends) == 0);
    const int room = 1 << 22;
    if (setsockopt(ends[0], SOL_SOCKET, SO_SNDBUFFORCE, &room, sizeof room) != 0)
        setsockopt(ends[0], SOL_SOCKET, SO_SNDBUF, &room, sizeof room);
    size_t from = 0;
    for (size_t i = 0; i <= cuts.size(); ++i) {
        const size_t to = i < cuts.size() ? cuts[i] : text.size();
        if (to == from) continue;  // an empty packet would read as the end
        FUZZ_CHECK(send(ends[0], text.data() + from, to - from, MSG_DONTWAIT) == static_cast<ssize_t>(to - from));
        from = to;
    }
    close(ends[0]);
    FILE *stream = fdopen(ends[1], "r");
    FUZZ_CHECK(stream != nullptr);
    return stream;
}

// Fillers for the end of the prefix: characters of 1 to 4 bytes, so that
// the first block ends inside one, or a byte of the input's choice.
const char *const fillers[] = {"a", "\u00e9", "\u754c", "\U0001F600", "\u0301"};

std::vector<ScanKernel> runnableKernels() {
    std::vector<ScanKernel> kernels;
    for (ScanKernel kernel : allScanKernels) {
        if (scanKernelRuns(kernel)) kernels.push_back(kernel);
    }
    return kernels;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    FUZZ_CHECK(countDisplayWidths());
    // The widths the model takes from the locale are the stated ones.
    FUZZ_CHECK(wcwidth(L'\u754c') == 2 && wcwidth(L'\uff21') == 2 && wcwidth(L'\U0001F600') == 2);
    FUZZ_CHECK(wcwidth(L'\u0301') == 0 && wcwidth(L'\u200b') == 0 && wcwidth(L'\u00e9') == 1);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    constexpr size_t kHeader = 6;
    if (size < kHeader) return 0;
    const int64_t spacing = static_cast<int8_t>(data[0]);
    const bool leadingOnly = data[1] & 1;
    const bool prefixed = data[1] & 2;
    const bool failingOutput = data[1] & 4;
    static const std::vector<ScanKernel> kernels = runnableKernels();
    const ScanKernel kernel = kernels[(data[1] >> 4) % kernels.size()];
    const size_t limit = static_cast<size_t>(data[4]) << ((data[1] & 8) ? 6 : 0);
    const size_t cutCount = data[5] % 32;
    if (size < kHeader + cutCount) return 0;
    const std::string text(reinterpret_cast<const char *>(data + kHeader + cutCount), size - kHeader - cutCount);
    std::vector<size_t> cuts;
    for (size_t i = 0, at = 0; i < cutCount; ++i) {
        at += data[kHeader + i] + 1u;
        if (at >= text.size()) break;
        cuts.push_back(at);
    }

    // A prefix of a block less 256 bytes to a whole block: plain letters,
    // which the filter passes over quickly, then whole fillers over its last
    // 256 bytes or so, so that the block ends inside one of them. The
    // letters only move the column on, so the models start behind them.
    size_t letters = 0;
    std::string rest;
    if (prefixed) {
        const char byte = static_cast<char>(data[2] == '\t' ? ' ' : data[2]);
        const std::string filler = data[2] < 5 * 16 ? fillers[data[2] % 5] : std::string(1, byte);
        const size_t count = 256 / filler.size();
        letters = kBlockSize - 256 + data[3] - count * filler.size();
        for (size_t i = 0; i < count; ++i) rest += filler;
    }
    rest += text;
    const std::string in = std::string(letters, 'a') + rest;

    const auto modelOf = [&](const std::string &input, uint64_t column) {
        return leadingOnly || plainAscii(input) ? byteModel(input, spacing, leadingOnly, column, column == 0)
                                                : widthModel(input, spacing, column);
    };
    const auto filter = [&](FILE *from, FILE *to) { return expandTabsWith(kernel, from, spacing, leadingOnly, to); };
    const std::string expected = std::string(letters, 'a') + modelOf(rest, letters);
    checkFilterOutput(openAsFile(in), expected, failingOutput, limit, filter);

    const std::string expectedText = prefixed ? modelOf(text, 0) : expected;
    checkFilterOutput(openAsPackets(text, cuts), expectedText, failingOutput, limit, filter);
    std::string copy = text;
    FILE *stream = copy.empty() ? fopen("/dev/null", "r") : fmemopen(copy.data(), copy.size(), "r");
    FUZZ_CHECK(stream != nullptr);
    checkFilterOutput(stream, expectedText, failingOutput, limit, filter);
    return 0;
}
