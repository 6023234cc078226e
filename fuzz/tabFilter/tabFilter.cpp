// Fuzz target for the tab-expansion filter. Each input goes through both of
// the filter's loops, the block loop (the input is a regular file: a memory
// file opened as a stream) and the byte loop (a pipe, or a memory stream for
// inputs larger than a pipe holds), and both must write what a byte-by-byte
// model of the column rules writes.
//
// Input: spacing, flags, filler byte, prefix adjustment, output limit, then
// the text. The flags switch on leading-only mode, a prefix of filler bytes
// that puts the text across the end of the block loop's first block, an output
// stream that fails after a given number of bytes (the filter must then
// report 1, having written exactly the model's output up to that point), and
// a memory stream in place of the pipe.
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "expandTabs.h"
#include "expandTabsKernels.h"
#include "filterModel.h"
#include "fuzzCheck.h"

namespace {

// The block loop's block: a prefix puts the text across its end.
constexpr size_t kBlock = kBlockSize;

// The input as a stream that is not a regular file: a memory stream, or a
// pipe filled before anyone reads (a memory stream after all when the pipe
// cannot take it all).
FILE *openAsStream(std::string &in, bool inMemory) {
    if (!inMemory) {
        int ends[2];
        FUZZ_CHECK(pipe(ends) == 0);
        // Only the writing end is non-blocking, so that a full pipe ends the
        // attempt rather than the run.
        FUZZ_CHECK(fcntl(ends[1], F_SETFL, O_NONBLOCK) == 0);
        if (in.size() > kBlock) fcntl(ends[1], F_SETPIPE_SZ, static_cast<int>(in.size()));
        const ssize_t written = write(ends[1], in.data(), in.size());
        close(ends[1]);
        if (written == static_cast<ssize_t>(in.size())) {
            FILE *stream = fdopen(ends[0], "r");
            FUZZ_CHECK(stream != nullptr);
            return stream;
        }
        close(ends[0]);
    }
    FILE *stream = fmemopen(in.data(), in.size(), "r");
    FUZZ_CHECK(stream != nullptr);
    return stream;
}

void checkFilter(FILE *in, const std::string &expected, int spacing, bool leadingOnly,
                 bool failingOutput, size_t limit) {
    checkFilterOutput(in, expected, failingOutput, limit,
                      [&](FILE *from, FILE *to) { return blankfill(from, spacing, leadingOnly, to); });
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 5) return 0;
    const int spacing = static_cast<int8_t>(data[0]);
    const bool leadingOnly = data[1] & 1;
    const bool prefixed = data[1] & 2;
    const bool failingOutput = data[1] & 4;
    const bool inMemory = data[1] & 32;
    // A prefix of a block less 256 bytes to a whole block ends just short of
    // the block boundary or on it. A tab as the filler would make the output large
    // for little gain; it becomes a space.
    const char filler = static_cast<char>(data[2] == '\t' ? ' ' : data[2]);
    const size_t prefixLength = prefixed ? kBlock - 256 + data[3] + ((data[1] >> 3) & 1) : 0;
    const size_t limit = static_cast<size_t>(data[4]) << ((data[1] & 16) ? 9 : 0);

    std::string in(prefixLength, filler);
    in.append(reinterpret_cast<const char *>(data + 5), size - 5);
    const std::string expected = byteModel(in, spacing, leadingOnly);

    checkFilter(openAsFile(in), expected, spacing, leadingOnly, failingOutput, limit);
    checkFilter(openAsStream(in, inMemory), expected, spacing, leadingOnly, failingOutput, limit);
    return 0;
}
