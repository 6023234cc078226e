// The tab-expansion filter; see blankfill.h.
//
// Two loops implement the same column rules. Input from a regular file is
// taken in large blocks and expanded run by run, which is several times
// faster than a byte loop and still keeps memory constant for lines of any
// length, since only a fixed block of input and of output is held. Any other
// input (a terminal, a pipe, a socket, a memory stream) goes through a byte
// loop on the stream's own buffer, so that each line is handled as soon as it
// arrives rather than when a block has filled.
#include "blankfill.h"

#include <sys/stat.h>

#include <cstdint>
#include <cstring>

namespace {

struct Columns {
    int64_t column = 0;  // 64 bits: a line longer than 2 GiB keeps its stops right
    bool leading = true;
    int64_t spacing = 1;
    bool leadingOnly = false;
};

// Spaces from `column` to the next tab stop: at least 1, at most spacing.
inline int64_t spacesToStop(const Columns &c) { return c.spacing - c.column % c.spacing; }

// A backspace steps back over a column, but at column 0 it takes one up
// like any other byte.
inline void advance(Columns &c, int byte) {
    if (byte == '\b' && c.column > 0)
        --c.column;
    else
        ++c.column;
}

// ---- Byte loop, for input that arrives piecemeal ---------------------------

void expandByteByByte(FILE *in, Columns &c, FILE *out) {
    flockfile(in);
    flockfile(out);
    for (;;) {
        int byte = getc_unlocked(in);
        if (byte == '\n') {
            putc_unlocked('\n', out);
            c.column = 0;
            c.leading = true;
        } else if (byte == EOF) {
            break;
        } else if (byte == '\t' && c.leading) {
            int64_t n = spacesToStop(c);
            c.column += n;
            while (n-- > 0) putc_unlocked(' ', out);
        } else {
            if (c.leadingOnly && byte != '\t' && byte != ' ') c.leading = false;
            putc_unlocked(byte, out);
            advance(c, byte);
        }
        if (ferror_unlocked(out)) break;
    }
    funlockfile(out);
    funlockfile(in);
}

// ---- Block loop, for regular files ----------------------------------------

constexpr size_t kBlockSize = 65536;
unsigned char inBlock[kBlockSize];
char outBlock[kBlockSize];

// Output gathered in outBlock and handed to the stream a block at a time.
struct Output {
    FILE *stream;
    size_t length = 0;
    bool failed = false;

    void flush() {
        if (length > 0) fwrite(outBlock, 1, length, stream);
        length = 0;
        if (ferror(stream)) failed = true;
    }
    void put(char byte) {
        if (length == kBlockSize) flush();
        outBlock[length++] = byte;
    }
    void putRun(const unsigned char *from, size_t count) {
        while (count > 0) {
            if (length == kBlockSize) flush();
            size_t n = count < kBlockSize - length ? count : kBlockSize - length;
            memcpy(outBlock + length, from, n);
            length += n;
            from += n;
            count -= n;
        }
    }
    void putSpaces(int64_t count) {
        while (count > 0) {
            if (length == kBlockSize) flush();
            size_t room = kBlockSize - length;
            size_t n = static_cast<uint64_t>(count) < room ? static_cast<size_t>(count) : room;
            memset(outBlock + length, ' ', n);
            length += n;
            count -= static_cast<int64_t>(n);
        }
    }
};

// Bytes that the every-tab mode cannot copy as plain one-column bytes.
struct SpecialBytes {
    bool is[256] = {};
    constexpr SpecialBytes() {
        is[static_cast<unsigned char>('\t')] = true;
        is[static_cast<unsigned char>('\n')] = true;
        is[static_cast<unsigned char>('\b')] = true;
    }
};
constexpr SpecialBytes kSpecial;

// Every tab expanded: copy each run of plain bytes whole, then handle the
// byte that ended it.
void expandEveryTab(const unsigned char *p, const unsigned char *end, Columns &c, Output &o) {
    while (p < end) {
        const unsigned char *run = p;
        while (p < end && !kSpecial.is[*p]) ++p;
        o.putRun(run, static_cast<size_t>(p - run));
        c.column += p - run;
        if (p == end) break;
        unsigned char byte = *p++;
        if (byte == '\n') {
            o.put('\n');
            c.column = 0;
        } else if (byte == '\t') {
            int64_t n = spacesToStop(c);
            o.putSpaces(n);
            c.column += n;
        } else {
            o.put(static_cast<char>(byte));
            advance(c, byte);
        }
        if (o.failed) return;
    }
}

// Leading tabs only: the leading blanks go byte by byte; once a line's first
// other byte is seen, the rest of the line up to its newline is copied
// whole, since no later byte of it can change the output.
void expandLeadingTabs(const unsigned char *p, const unsigned char *end, Columns &c, Output &o) {
    while (p < end) {
        if (c.leading) {
            unsigned char byte = *p++;
            if (byte == '\n') {
                o.put('\n');
                c.column = 0;
            } else if (byte == '\t') {
                int64_t n = spacesToStop(c);
                o.putSpaces(n);
                c.column += n;
            } else {
                if (byte != ' ') c.leading = false;
                o.put(static_cast<char>(byte));
                advance(c, byte);
            }
        } else {
            const void *newline = memchr(p, '\n', static_cast<size_t>(end - p));
            const unsigned char *stop = newline ? static_cast<const unsigned char *>(newline) + 1 : end;
            o.putRun(p, static_cast<size_t>(stop - p));
            p = stop;
            if (newline) {
                c.column = 0;
                c.leading = true;
            }
        }
        if (o.failed) return;
    }
}

void expandInBlocks(FILE *in, Columns &c, FILE *out) {
    Output o{out};
    for (;;) {
        size_t got = fread(inBlock, 1, kBlockSize, in);
        if (c.leadingOnly)
            expandLeadingTabs(inBlock, inBlock + got, c, o);
        else
            expandEveryTab(inBlock, inBlock + got, c, o);
        // A short block means end of input or a read error: either ends the
        // filter, as the first failed read does in the byte loop.
        if (o.failed || got < kBlockSize) break;
    }
    if (!o.failed) o.flush();
}

bool isRegularFile(FILE *stream) {
    int fd = fileno(stream);
    struct stat status;
    return fd >= 0 && fstat(fd, &status) == 0 && S_ISREG(status.st_mode);
}

}  // namespace

int blankfill(FILE *in, int spacing, int leadingOnly, FILE *out) {
    Columns c;
    c.spacing = spacing >= 2 ? spacing : 1;
    c.leadingOnly = leadingOnly != 0;
    if (isRegularFile(in))
        expandInBlocks(in, c, out);
    else
        expandByteByByte(in, c, out);
    if (ferror(in)) return 1;
    if (ferror(out)) return 1;
    return 0;
}
