// The check and the diff of a conversion; see checkMode.h.
//
// Both find the changing lines with the filter's own scan of marked bytes
// (findTabLines), which looks at each byte once and converts nothing. The
// check reads its input a block at a time and keeps no more than a block;
// the diff holds the file whole, since its hunks reach back over lines
// already read.
#include "checkMode.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "expandTabs.h"
#include "expandTabsKernels.h"

namespace {

// A line that would change.
struct Changed {
    uint64_t line;    // from 1
    uint64_t column;  // byte column of its first expanded tab, from 1
    uint64_t start;   // offset of its first byte in the input
};

// Reads until `length` bytes are in or the input ends; -1 on a failure.
ssize_t readFully(int fd, char *buffer, size_t length) {
    size_t got = 0;
    while (got < length) {
        ssize_t n = read(fd, buffer + got, length - got);
        if (n == 0) break;
        if (n < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        got += static_cast<size_t>(n);
    }
    return static_cast<ssize_t>(got);
}

// ---- The check ---------------------------------------------------------------

unsigned char block[kBlockSize + kScanSlack];

// A finding's parts are put down in whole pieces of kPiece bytes, each
// source padded behind it: a fixed copy is a few moves, where a copy of the
// part's own length would be a call, and the bytes written past a part are
// written over by the next part or lie past the end of what is handed on.
constexpr size_t kPiece = 32;

void putPieces(char *q, const char *from, size_t length) {
    for (size_t at = 0; at < length; at += kPiece) std::memcpy(q + at, from + at, kPiece);
}

// A count kept in decimal, right-aligned in digits[0, 20) with the colon
// that follows it in a finding and a piece's padding behind: the line
// numbers of the findings only grow, mostly by one or two, so each is the
// last one with a few digits carried rather than a number written out anew.
struct DecimalCount {
    uint64_t value = 0;
    size_t first = 19;  // the first digit in use
    char digits[20 + 1 + kPiece] = {'0', '0', '0', '0', '0', '0', '0', '0', '0', '0',
                                    '0', '0', '0', '0', '0', '0', '0', '0', '0', '0', ':'};
};

void advance(DecimalCount &d, uint64_t to) {
    uint64_t add = to - d.value;
    d.value = to;
    unsigned carry = 0;
    for (size_t i = 19; add != 0 || carry != 0; --i) {
        unsigned digit = static_cast<unsigned>(d.digits[i] - '0') + static_cast<unsigned>(add % 10) + carry;
        add /= 10;
        carry = digit >= 10;
        d.digits[i] = static_cast<char>('0' + digit - 10 * carry);
        if (i < d.first) d.first = i;
        if (i == 0) break;
    }
}

char *putNumber(char *q, uint64_t value) {
    if (value < 10) {
        *q = static_cast<char>('0' + value);
        return q + 1;
    }
    char digits[20];
    int n = 0;
    for (; value != 0; value /= 10) digits[n++] = static_cast<char>('0' + value % 10);
    while (n > 0) *q++ = digits[--n];
    return q;
}

// The longest name put down in pieces; a longer one is written by fprintf.
constexpr size_t kLongestPieceName = 4096;

// The findings of a check, gathered and handed to the stream in blocks.
struct Findings {
    FILE *out;
    const char *name;
    size_t nameLength;
    uint64_t count;
    DecimalCount line;
    size_t used = 0;
    char text[65536];
    char paddedName[kLongestPieceName + 1 + kPiece];  // the name and its colon
};
Findings findings;

void flushFindings(Findings &f) {
    if (f.used > 0) std::fwrite(f.text, 1, f.used, f.out);
    f.used = 0;
}

constexpr char kFinding[] = " tab would be expanded\n";

void noteFinding(uint64_t line, uint64_t column, uint64_t, void *context) {
    Findings &f = *static_cast<Findings *>(context);
    ++f.count;
    advance(f.line, line);
    if (f.nameLength > kLongestPieceName) {
        flushFindings(f);
        std::fprintf(f.out, "%s:%llu:%llu:%s", f.name, static_cast<unsigned long long>(line),
                     static_cast<unsigned long long>(column), kFinding);
        return;
    }
    // The name and its colon, the line and its colon, the column, a colon
    // and the text, each part with a piece's room behind it.
    const size_t longest = f.nameLength + 1 + 21 + 20 + sizeof kFinding + 3 * kPiece;
    if (f.used + longest > sizeof f.text) flushFindings(f);
    char *q = f.text + f.used;
    putPieces(q, f.paddedName, f.nameLength + 1);
    q += f.nameLength + 1;
    putPieces(q, f.line.digits + f.line.first, 21 - f.line.first);
    q += 21 - f.line.first;
    q = putNumber(q, column);
    *q++ = ':';
    std::memcpy(q, kFinding, sizeof kFinding - 1);
    f.used = static_cast<size_t>(q + sizeof kFinding - 1 - f.text);
}

// ---- The diff ----------------------------------------------------------------

// The whole input of a diff, and the lines found to change in it, in
// buffers kept from one file to the next.
char *whole = nullptr;
size_t wholeRoom = 0;
Changed *changes = nullptr;
size_t changesRoom = 0;
size_t changeCount = 0;
bool outOfMemory = false;

bool makeRoom(void **buffer, size_t *room, size_t needed, size_t each) {
    if (needed <= *room) return true;
    size_t grown = *room < 4096 ? 4096 : *room;
    while (grown < needed) grown *= 2;
    void *larger = std::realloc(*buffer, grown * each);
    if (larger == nullptr) return false;
    *buffer = larger;
    *room = grown;
    return true;
}

void noteChange(uint64_t line, uint64_t column, uint64_t start, void *) {
    if (!makeRoom(reinterpret_cast<void **>(&changes), &changesRoom, changeCount + 1, sizeof(Changed))) {
        outOfMemory = true;
        return;
    }
    changes[changeCount++] = Changed{line, column, start};
}

// Reads the input whole into `whole`; its length, or -1 with errno set.
ssize_t readWhole(int fd) {
    struct stat status;
    size_t expected = fstat(fd, &status) == 0 && S_ISREG(status.st_mode) ? static_cast<size_t>(status.st_size) : 0;
    size_t length = 0;
    for (;;) {
        // Room for what is expected and more, to see the end, and the
        // scan's slack behind it.
        if (!makeRoom(reinterpret_cast<void **>(&whole), &wholeRoom,
                      std::max(expected, length) + kBlockSize + kScanSlack, 1)) {
            errno = ENOMEM;
            return -1;
        }
        const size_t room = wholeRoom - kScanSlack;
        ssize_t got = readFully(fd, whole + length, room - length);
        if (got < 0) return -1;
        length += static_cast<size_t>(got);
        if (length < room) return static_cast<ssize_t>(length);
    }
}

// The end of the line that starts at `p`: behind its newline, or the input's end.
const char *lineEnd(const char *p, const char *end) {
    const char *newline = static_cast<const char *>(std::memchr(p, '\n', static_cast<size_t>(end - p)));
    return newline != nullptr ? newline + 1 : end;
}

void putRange(FILE *out, uint64_t first, uint64_t count) {
    std::fprintf(out, "%llu", static_cast<unsigned long long>(first));
    if (count != 1) std::fprintf(out, ",%llu", static_cast<unsigned long long>(count));
}

// A line with its mark, and the note diff gives a last line without a newline.
void putLine(FILE *out, char mark, const char *p, const char *end) {
    std::putc(mark, out);
    std::fwrite(p, 1, static_cast<size_t>(end - p), out);
    if (end[-1] != '\n') std::fputs("\n\\ No newline at end of file\n", out);
}

struct DiffSettings {
    FILE *out;
    int64_t spacing;
    bool leadingOnly;
};

// The changed lines from `line` on that follow each other, as diff shows
// them: all of them as they are, then all of them converted. Returns where
// the next line starts.
const char *putChangedRun(const DiffSettings &d, const char *p, const char *end, size_t *next) {
    size_t last = *next;
    while (last + 1 < changeCount && changes[last + 1].line == changes[last].line + 1) ++last;
    const char *at = p;
    for (size_t i = *next; i <= last; ++i) {
        const char *stop = lineEnd(at, end);
        putLine(d.out, '-', at, stop);
        at = stop;
    }
    at = p;
    for (size_t i = *next; i <= last; ++i) {
        const char *stop = lineEnd(at, end);
        std::putc('+', d.out);
        expandTabsInMemory(at, static_cast<size_t>(stop - at), d.spacing, d.leadingOnly, d.out);
        if (stop[-1] != '\n') std::fputs("\n\\ No newline at end of file\n", d.out);
        at = stop;
    }
    *next = last + 1;
    return at;
}

constexpr uint64_t kContext = 3;

// One hunk, from the change `*next` on to the last change less than twice
// the context after the one before; *next moves past it.
void putHunk(const DiffSettings &d, const char *end, uint64_t lines, size_t *next) {
    size_t last = *next;
    while (last + 1 < changeCount && changes[last + 1].line - changes[last].line <= 2 * kContext + 1) ++last;
    const Changed &first = changes[*next];
    const uint64_t from = first.line > kContext ? first.line - kContext : 1;
    const uint64_t to = std::min(lines, changes[last].line + kContext);
    // Back from the first change to the hunk's first line.
    const char *at = whole + first.start;
    for (uint64_t line = first.line; line > from; --line) {
        do --at;
        while (at > whole && at[-1] != '\n');
    }
    std::fputs("@@ -", d.out);
    putRange(d.out, from, to - from + 1);
    std::fputs(" +", d.out);
    putRange(d.out, from, to - from + 1);
    std::fputs(" @@\n", d.out);
    for (uint64_t line = from; line <= to;) {
        if (*next <= last && changes[*next].line == line) {
            size_t before = *next;
            at = putChangedRun(d, at, end, next);
            line += *next - before;
            continue;
        }
        const char *stop = lineEnd(at, end);
        putLine(d.out, ' ', at, stop);
        at = stop;
        ++line;
    }
}

}  // namespace

bool looksBinary(const char *start, size_t length) {
    return std::memchr(start, '\0', std::min(length, kBinaryProbe)) != nullptr;
}

Opened openToLook(const char *name, int *fd) {
    // Not blocking on a FIFO's opening; what was opened is then looked at.
    *fd = open(name, O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (*fd < 0) return errno == EISDIR ? Opened::directory : Opened::failed;
    struct stat status;
    if (fstat(*fd, &status) != 0) {
        int reason = errno;
        close(*fd);
        errno = reason;
        return Opened::failed;
    }
    if (S_ISREG(status.st_mode)) return Opened::file;
    close(*fd);
    return S_ISDIR(status.st_mode) ? Opened::directory : Opened::notRegular;
}

Verdict checkInput(int fd, const char *name, bool leadingOnly, bool skipBinary, FILE *out, uint64_t *changedLines) {
    Findings &f = findings;
    f.out = out;
    f.name = name;
    f.nameLength = std::strlen(name);
    if (f.nameLength <= kLongestPieceName) {
        std::memcpy(f.paddedName, name, f.nameLength);
        f.paddedName[f.nameLength] = ':';
    }
    f.count = 0;
    f.line = DecimalCount{};
    TabLineScan s;
    s.leadingOnly = leadingOnly;
    s.found = noteFinding;
    s.context = &f;
    Verdict verdict = Verdict::unchanged;
    for (bool first = true;; first = false) {
        ssize_t got = readFully(fd, reinterpret_cast<char *>(block), kBlockSize);
        if (got < 0) {
            verdict = Verdict::unreadable;
            break;
        }
        const char *start = reinterpret_cast<const char *>(block);
        if (first && skipBinary && looksBinary(start, static_cast<size_t>(got))) return Verdict::binary;
        findTabLines(s, block, static_cast<size_t>(got));
        if (static_cast<size_t>(got) < kBlockSize) break;
    }
    int reason = errno;
    flushFindings(f);
    *changedLines = f.count;
    errno = reason;
    if (verdict == Verdict::unreadable) return verdict;
    return f.count > 0 ? Verdict::changes : Verdict::unchanged;
}

Verdict diffInput(int fd, const char *name, int64_t spacing, bool leadingOnly, FILE *out) {
    ssize_t got = readWhole(fd);
    if (got < 0) return Verdict::unreadable;
    const size_t length = static_cast<size_t>(got);
    if (looksBinary(whole, length)) return Verdict::binary;
    TabLineScan s;
    s.leadingOnly = leadingOnly;
    s.found = noteChange;
    changeCount = 0;
    outOfMemory = false;
    findTabLines(s, reinterpret_cast<const unsigned char *>(whole), length);
    if (outOfMemory) {
        errno = ENOMEM;
        return Verdict::unreadable;
    }
    if (changeCount == 0) return Verdict::unchanged;
    // The lines of the input: a last one without a newline counts too.
    const uint64_t lines = s.line - (whole[length - 1] == '\n' ? 1 : 0);
    std::fprintf(out, "--- a/%s\n+++ b/%s\n", name, name);
    const DiffSettings d{out, spacing, leadingOnly};
    for (size_t next = 0; next < changeCount;) putHunk(d, whole + length, lines, &next);
    return Verdict::changes;
}
