// What the tab-filter targets share: the model of the column rules on
// bytes, an output stream that fails after a given number of bytes, and the
// input as a regular file.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "fuzzCheck.h"

// The filter's output, a byte at a time: a tab reaches the next stop (in
// leading-only mode only among a line's leading blanks), a newline starts
// the column again, a backspace steps back over a column above 0, and every
// other byte takes one. Only the tabs change the text: what lies between
// them is copied whole. The line so far may have reached `column`, among
// its leading blanks or not.
inline std::string byteModel(const std::string &in, int64_t spacingGiven, bool leadingOnly, uint64_t column = 0,
                             bool leading = true) {
    const uint64_t spacing = spacingGiven >= 2 ? static_cast<uint64_t>(spacingGiven) : 1;
    std::string out;
    out.reserve(in.size());
    size_t copied = 0;
    for (size_t at = 0; at < in.size(); ++at) {
        const auto byte = static_cast<unsigned char>(in[at]);
        if (byte == '\n') {
            column = 0;
            leading = true;
        } else if (byte == '\t' && (leading || !leadingOnly)) {
            const uint64_t spaces = spacing - column % spacing;
            out.append(in, copied, at - copied).append(spaces, ' ');
            copied = at + 1;
            column += spaces;
        } else {
            if (leadingOnly && byte != '\t' && byte != ' ') leading = false;
            column = byte == '\b' && column > 0 ? column - 1 : column + 1;
        }
    }
    return out.append(in, copied, std::string::npos);
}

// An output stream that takes `limit` bytes and then fails every write.
struct LimitedSink {
    std::string written;
    size_t limit;
};

inline ssize_t writeLimited(void *cookie, const char *data, size_t size) {
    auto *sink = static_cast<LimitedSink *>(cookie);
    const size_t room = sink->limit - sink->written.size();
    const size_t taken = size < room ? size : room;
    sink->written.append(data, taken);
    return static_cast<ssize_t>(taken);
}

// The input as a regular file: one memory file, refilled for every input.
inline FILE *openAsFile(const std::string &in) {
    static int fd = memfd_create("filterInput", 0);
    FUZZ_CHECK(fd >= 0);
    FUZZ_CHECK(ftruncate(fd, 0) == 0);
    FUZZ_CHECK(pwrite(fd, in.data(), in.size(), 0) == static_cast<ssize_t>(in.size()));
    FUZZ_CHECK(lseek(fd, 0, SEEK_SET) == 0);
    FILE *stream = fdopen(dup(fd), "r");
    FUZZ_CHECK(stream != nullptr);
    return stream;
}

// Runs `filter` from `in` (closed after) into an output stream, unbuffered
// and failing after `limit` bytes when `failingOutput`, else into memory,
// and checks what it wrote and returned against `expected`: all of it and
// 0, or, where the output fails first, exactly the bytes before the
// failure and 1.
template <class Filter>
void checkFilterOutput(FILE *in, const std::string &expected, bool failingOutput, size_t limit, Filter filter) {
    if (failingOutput) {
        LimitedSink sink{{}, limit};
        FILE *out = fopencookie(&sink, "w", {nullptr, writeLimited, nullptr, nullptr});
        FUZZ_CHECK(out != nullptr);
        // Unbuffered, so that the failure shows at the byte that meets it.
        setvbuf(out, nullptr, _IONBF, 0);
        const int result = filter(in, out);
        fclose(out);
        if (expected.size() > limit) {
            FUZZ_CHECK(result == 1);
            FUZZ_CHECK(sink.written == expected.substr(0, limit));
        } else {
            FUZZ_CHECK(result == 0);
            FUZZ_CHECK(sink.written == expected);
        }
    } else {
        char *buffer = nullptr;
        size_t length = 0;
        FILE *out = open_memstream(&buffer, &length);
        FUZZ_CHECK(out != nullptr);
        const int result = filter(in, out);
        FUZZ_CHECK(fclose(out) == 0);
        FUZZ_CHECK(result == 0);
        // A failure that the saved input alone does not repeat is read from
        // the log: what was written, beside what was expected.
        if (std::string(buffer, length) != expected) {
            std::fprintf(stderr, "filter wrote %zu bytes, returned %d; expected %zu bytes; written:", length, result,
                         expected.size());
            for (size_t i = 0; i < length && i < 256; ++i) std::fprintf(stderr, " %02x", (unsigned char)buffer[i]);
            std::fprintf(stderr, "\n");
        }
        FUZZ_CHECK(std::string(buffer, length) == expected);
        free(buffer);
    }
    fclose(in);
}
