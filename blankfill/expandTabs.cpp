// The tab-expansion filter; see expandTabs.h.
//
// Two loops implement the same column rules. Input from a regular file is
// taken in large blocks and expanded run by run, which is several times
// faster than a byte loop and still keeps memory constant for lines of any
// length, since only a fixed block of input and of output is held. Any other
// input (a terminal, a pipe, a socket, a memory stream) goes through a byte
// loop on the stream's own buffer, so that each line is handled as soon as it
// arrives rather than when a block has filled.
#include "expandTabs.h"

#include <sys/stat.h>

#include <bit>
#include <cstdint>
#include <cstring>

namespace {

struct Columns {
    // Never negative, and 64 bits wide: a line longer than 2 GiB keeps its stops right.
    uint64_t column = 0;
    bool leading = true;
    uint64_t spacing = 1;
    bool spacingIsPowerOfTwo = true;  // the usual 4 or 8: a mask instead of a division
    bool leadingOnly = false;
};

// Spaces from `column` to the next tab stop: at least 1, at most spacing.
inline uint64_t spacesToStop(const Columns &c) {
    return c.spacing - (c.spacingIsPowerOfTwo ? c.column & (c.spacing - 1) : c.column % c.spacing);
}

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
            uint64_t n = spacesToStop(c);
            c.column += n;
            for (; n > 0; --n) putc_unlocked(' ', out);
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
// Room behind the block for the end marker of expandEveryTab and the word
// that its scan may read past it.
unsigned char inBlock[kBlockSize + 8];
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
        if (count <= kBlockSize - length) {
            memcpy(outBlock + length, from, count);
            length += count;
            return;
        }
        while (count > 0) {
            if (length == kBlockSize) flush();
            size_t n = count < kBlockSize - length ? count : kBlockSize - length;
            memcpy(outBlock + length, from, n);
            length += n;
            from += n;
            count -= n;
        }
    }
    void putSpaces(uint64_t count) {
        // The common short run: one fixed-size copy, of which `count` bytes count.
        static const char sixteen[] = "                ";
        if (count <= 16 && kBlockSize - length >= 16) {
            memcpy(outBlock + length, sixteen, 16);
            length += count;
            return;
        }
        while (count > 0) {
            if (length == kBlockSize) flush();
            size_t room = kBlockSize - length;
            size_t n = count < room ? static_cast<size_t>(count) : room;
            memset(outBlock + length, ' ', n);
            length += n;
            count -= n;
        }
    }
};

// The bytes that the every-tab mode cannot copy as plain one-column bytes
// are backspace, tab and newline: 8, 9 and 10. The scan for them takes eight
// bytes a step; in the result, the high bit of each byte of the word that
// lies strictly between 7 and 11 is set. Each byte is judged on its own (no
// carry or borrow crosses a byte), and bytes of 128 and above never count.
constexpr uint64_t kEveryByte = 0x0101010101010101u;
constexpr uint64_t kLowSeven = kEveryByte * 0x7f;
constexpr uint64_t kHighBits = kEveryByte * 0x80;

inline uint64_t specialBytesIn(uint64_t word) {
    uint64_t low = word & kLowSeven;
    return (kEveryByte * (127 + 11) - low) & ~word & (low + kEveryByte * (127 - 7)) & kHighBits;
}

// The first of the bytes 8, 9 and 10 from p on; one must come before the
// readable memory ends, and the 7 bytes behind it must be readable too.
inline const unsigned char *findSpecial(const unsigned char *p) {
    for (;; p += 8) {
        uint64_t word;
        memcpy(&word, p, 8);
        if (uint64_t found = specialBytesIn(word)) {
            int bit = std::endian::native == std::endian::little ? std::countr_zero(found)
                                                                   : std::countl_zero(found);
            return p + bit / 8;
        }
    }
}

// Every tab expanded: copy each run of plain bytes whole, then handle the
// byte that ended it. *end must be a special byte, so that the scan for the
// end of a run needs no bounds test of its own.
void expandEveryTab(const unsigned char *p, const unsigned char *end, Columns &c, Output &o) {
    while (p < end) {
        const unsigned char *run = p;
        p = findSpecial(p);
        o.putRun(run, static_cast<size_t>(p - run));
        c.column += static_cast<uint64_t>(p - run);
        if (p == end) break;
        unsigned char byte = *p++;
        if (byte == '\n') {
            o.put('\n');
            c.column = 0;
        } else if (byte == '\t') {
            uint64_t n = spacesToStop(c);
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
                uint64_t n = spacesToStop(c);
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
        inBlock[got] = '\n';
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
    c.spacing = spacing >= 2 ? static_cast<uint64_t>(spacing) : 1;
    c.spacingIsPowerOfTwo = (c.spacing & (c.spacing - 1)) == 0;
    c.leadingOnly = leadingOnly != 0;
    if (isRegularFile(in))
        expandInBlocks(in, c, out);
    else
        expandByteByByte(in, c, out);
    if (ferror(in)) return 1;
    if (ferror(out)) return 1;
    return 0;
}
