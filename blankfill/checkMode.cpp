// The check and the diff of a conversion; see checkMode.h.
//
// Both find the changing lines with the filter's own scan of marked bytes
// (findTabLines), which looks at each byte once and converts nothing. The
// check reads its input a block at a time and keeps no more than a block
// (a large file: a part on each processor, below); the diff holds the file
// whole, since its hunks reach back over lines already read.
#include "checkMode.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>

#include "expandTabs.h"
#include "expandTabsKernels.h"
#include "processors.h"

#if SUITE_X86_64_KERNELS
#include <emmintrin.h>
#endif

namespace {

// A line that would change.
struct Changed {
    uint64_t line;    // from 1
    uint64_t column;  // byte column of its first expanded tab, from 1
    uint64_t start;   // offset of its first byte in the input
};

// Reads until `length` bytes are in or the input ends, from where `fd`
// stands, or from `offset` when one is given; -1 on a failure.
ssize_t readFully(int fd, void *buffer, size_t length, off_t offset = -1) {
    char *bytes = static_cast<char *>(buffer);
    size_t got = 0;
    while (got < length) {
        ssize_t n = offset < 0 ? read(fd, bytes + got, length - got)
                               : pread(fd, bytes + got, length - got, offset + static_cast<off_t>(got));
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

struct SharedCheck;

// The findings of a check, gathered and handed to the stream in blocks.
struct Findings {
    FILE *out;
    SharedCheck *shared = nullptr;  // a part of a check on several processors:
    uint64_t part = 0;              // which, written only in its turn
    const char *name;
    size_t nameLength;
    uint64_t count;
    DecimalCount line;
    size_t used = 0;
    char text[65536];
    char paddedName[kLongestPieceName + 1 + kPiece];  // the name and its colon
};
Findings findings;

bool waitForTurn(SharedCheck &c, uint64_t part);

void flushFindings(Findings &f) {
    // A part's findings are dropped when a part before it could not be read.
    if (f.used > 0 && (f.shared == nullptr || waitForTurn(*f.shared, f.part))) std::fwrite(f.text, 1, f.used, f.out);
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

void startFindings(Findings &f, FILE *out, const char *name) {
    f.out = out;
    f.name = name;
    f.nameLength = std::strlen(name);
    if (f.nameLength <= kLongestPieceName) {
        std::memcpy(f.paddedName, name, f.nameLength);
        f.paddedName[f.nameLength] = ':';
    }
    f.count = 0;
    f.line = DecimalCount{};
    f.used = 0;
}

// ---- The check of a large file, on several processors ------------------------
//
// A large regular file is cut into parts, taken in turn by a worker on each
// processor. A part is scanned as the one scan over the whole file would
// scan it, from the state that scan would be in where the part starts, and
// its findings are written when those of the parts before it are. That
// state (the line, where it began, whether it was reported, whether it is
// still among its leading blanks) is known from a part's own bytes once the
// state at its start is: after its last newline it depends on the part
// alone, and the newlines are counted in a quick pass before the scan. So
// the workers wait on each other only for that count and for their turn to
// write, and never hold more than a part and a block of findings each.

constexpr size_t kPartSize = 512 * 1024;
// Smaller files are scanned at once: starting the workers would cost more.
constexpr uint64_t kLargeFile = 4 * 1024 * 1024;
constexpr int kMostWorkers = 4;
constexpr uint64_t kNoPart = UINT64_MAX;

// What a scan carries from one place of the input to the next.
struct ScanState {
    uint64_t line = 1;
    uint64_t lineStart = 0;
    bool lineDone = false;
    bool leading = true;
};

struct SharedCheck {
    int fd;
    off_t start;      // where the first part begins in the file
    uint64_t origin;  // and in the scan's offsets
    uint64_t parts;
    uint64_t size;
    bool leadingOnly;
    pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
    pthread_cond_t changed = PTHREAD_COND_INITIALIZER;
    // Guarded by the lock:
    uint64_t nextPart = 0;
    uint64_t statesKnown = 0;  // the parts whose end state is known, the last in:
    ScanState endState;
    uint64_t endOffset = 0;    // and where that part ends
    uint64_t written = 0;      // the parts whose findings are written
    uint64_t reported = 0;     // the lines they reported
    uint64_t stopAt = kNoPart; // no part from here on is reported
    uint64_t failedAt = kNoPart;  // the first part whose read failed, with
    int error = 0;                // errno
};

struct Worker {
    SharedCheck *shared;
    Findings findings;
    unsigned char block[kPartSize + kScanSlack];
};
Worker *workers[kMostWorkers];

// The newlines among [p, p + length). On x86-64, sixteen bytes at a time
// with the vector instructions that every such processor has: each newline
// byte subtracts -1 from its lane, the lanes summed for up to 255 rounds.
// Elsewhere eight bytes at a time: each newline byte gets a 1 (no carry
// crosses bytes), summed bytewise likewise. No population count: not every
// processor the build runs on has one.
uint64_t countNewlines(const unsigned char *p, size_t length) {
    uint64_t count = 0;
    size_t at = 0;
#if SUITE_X86_64_KERNELS
    const __m128i newline = _mm_set1_epi8('\n');
    while (at + 16 <= length) {
        __m128i sums = _mm_setzero_si128();
        for (int rounds = 0; rounds < 255 && at + 16 <= length; ++rounds, at += 16) {
            const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + at));
            sums = _mm_sub_epi8(sums, _mm_cmpeq_epi8(bytes, newline));
        }
        const __m128i halves = _mm_sad_epu8(sums, _mm_setzero_si128());
        count += static_cast<uint64_t>(_mm_cvtsi128_si64(halves)) +
                 static_cast<uint64_t>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(halves, halves)));
    }
#else
    constexpr uint64_t everyByte = 0x0101010101010101u;
    constexpr uint64_t lowSeven = everyByte * 0x7f;
    constexpr uint64_t everyOtherByte = 0x00ff00ff00ff00ffu;
    while (at + 8 <= length) {
        uint64_t sums = 0;
        for (int words = 0; words < 255 && at + 8 <= length; ++words, at += 8) {
            uint64_t word;
            std::memcpy(&word, p + at, 8);
            const uint64_t zeroed = word ^ (everyByte * '\n');
            sums += (~(((zeroed & lowSeven) + lowSeven) | zeroed) >> 7) & everyByte;
        }
        const uint64_t pairs = (sums & everyOtherByte) + (sums >> 8 & everyOtherByte);
        count += (pairs * 0x0001000100010001u) >> 48;
    }
#endif
    for (; at < length; ++at) count += p[at] == '\n';
    return count;
}

void ignoreLine(uint64_t, uint64_t, uint64_t, void *) {}

void lockCheck(SharedCheck &c) { pthread_mutex_lock(&c.lock); }
void unlockCheck(SharedCheck &c, bool changed) {
    if (changed) pthread_cond_broadcast(&c.changed);
    pthread_mutex_unlock(&c.lock);
}

// Waits until the findings before `part` are written; false when they never
// will be, a part before it having failed.
bool waitForTurn(SharedCheck &c, uint64_t part) {
    lockCheck(c);
    while (c.written != part && part < c.stopAt) pthread_cond_wait(&c.changed, &c.lock);
    const bool turn = part < c.stopAt;
    unlockCheck(c, false);
    return turn;
}

// Publishes the state at the end of `part`, which ends at `endOffset`.
void publishEndState(SharedCheck &c, uint64_t part, const ScanState &state, uint64_t endOffset) {
    lockCheck(c);
    c.endState = state;
    c.endOffset = endOffset;
    c.statesKnown = part + 1;
    unlockCheck(c, true);
}

// Stops the check before `part`, whose read failed with `error`.
void failPart(SharedCheck &c, uint64_t part, int error) {
    lockCheck(c);
    if (part < c.failedAt) {
        c.failedAt = part;
        c.error = error;
    }
    c.stopAt = std::min(c.stopAt, part);
    unlockCheck(c, true);
}

// One part: read, its newlines counted and its tail looked at, then, from
// the state where it starts, scanned and its findings written in turn.
// False when the check is to go no further.
bool checkPart(Worker &w, uint64_t part) {
    SharedCheck &c = *w.shared;
    const uint64_t offset = part * kPartSize;
    const size_t want = static_cast<size_t>(std::min<uint64_t>(kPartSize, c.size - offset));
    const ssize_t got = readFully(c.fd, w.block, want, c.start + static_cast<off_t>(offset));
    if (got < 0) {
        failPart(c, part, errno);
        return false;
    }
    const size_t length = static_cast<size_t>(got);
    if (length < want) {
        // The file was cut short under the check: it ends in this part.
        lockCheck(c);
        c.stopAt = std::min(c.stopAt, part + 1);
        unlockCheck(c, true);
    }
    size_t tailStart = length;
    while (tailStart > 0 && w.block[tailStart - 1] != '\n') --tailStart;
    const bool newline = tailStart > 0;
    const uint64_t newlines = newline ? countNewlines(w.block, tailStart) : 0;
    TabLineScan tail;
    tail.leadingOnly = c.leadingOnly;
    tail.found = ignoreLine;
    if (newline) findTabLines(tail, w.block + tailStart, length - tailStart);

    lockCheck(c);
    while (c.statesKnown != part && part < c.stopAt) pthread_cond_wait(&c.changed, &c.lock);
    const bool goOn = part < c.stopAt;
    const ScanState in = c.endState;
    unlockCheck(c, false);
    if (!goOn) return false;
    if (newline) {
        publishEndState(c, part, {in.line + newlines, c.origin + offset + tailStart, tail.lineDone, tail.leading},
                        offset + length);
    }

    TabLineScan s;
    s.leadingOnly = c.leadingOnly;
    s.found = noteFinding;
    s.context = &w.findings;
    s.base = c.origin + offset;
    s.line = in.line;
    s.lineStart = in.lineStart;
    s.lineDone = in.lineDone;
    s.leading = in.leading;
    w.findings.part = part;
    w.findings.count = 0;
    findTabLines(s, w.block, length);
    if (!newline) publishEndState(c, part, {s.line, s.lineStart, s.lineDone, s.leading}, offset + length);

    // In turn, even with nothing to write: the turn passes on in order.
    if (!waitForTurn(c, part)) return false;
    flushFindings(w.findings);
    lockCheck(c);
    c.reported += w.findings.count;
    c.written = part + 1;
    unlockCheck(c, true);
    return true;
}

void *checkParts(void *argument) {
    Worker &w = *static_cast<Worker *>(argument);
    SharedCheck &c = *w.shared;
    for (;;) {
        lockCheck(c);
        const uint64_t part = c.nextPart++;
        const bool take = part < c.parts && part < c.stopAt;
        unlockCheck(c, false);
        if (!take || !checkPart(w, part)) return nullptr;
    }
}

// The workers for the rest of a large regular file from where `fd` is, or 0
// when it is to be read on at once; *start and *size get where the rest
// begins and its length.
int workersFor(int fd, off_t *start, uint64_t *size) {
    struct stat status;
    if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) return 0;
    *start = lseek(fd, 0, SEEK_CUR);
    if (*start < 0 || status.st_size - *start < static_cast<off_t>(kLargeFile)) return 0;
    *size = static_cast<uint64_t>(status.st_size - *start);
    const int affinity = affinityProcessorCount();
    const int processors = std::min(affinity > 0 ? affinity : onlineProcessorCount(), kMostWorkers);
    return processors >= 2 ? processors : 0;
}

// Checks the `size` bytes from `start` on `count` workers, the caller being
// the first, going on from the scan `s` and writing the findings as `f`
// writes them, counted on in f.count. Then `s` stands where the last part
// reported ends, and `fd`'s offset too; false with errno set when a part
// could not be read.
bool checkOnWorkers(Findings &f, int fd, off_t start, uint64_t size, int count, TabLineScan &s) {
    SharedCheck c;
    c.fd = fd;
    c.start = start;
    c.origin = s.base;
    c.size = size;
    c.parts = (size + kPartSize - 1) / kPartSize;
    c.leadingOnly = s.leadingOnly;
    c.endState = {s.line, s.lineStart, s.lineDone, s.leading};
    flushFindings(f);
    pthread_t threads[kMostWorkers];
    int started = 0;
    for (; started < count; ++started) {
        if (workers[started] == nullptr) workers[started] = new (std::nothrow) Worker;
        if (workers[started] == nullptr) break;
        Worker &w = *workers[started];
        w.shared = &c;
        startFindings(w.findings, f.out, f.name);
        w.findings.shared = &c;
        // A worker that cannot be started leaves its parts to the others.
        if (started > 0 && pthread_create(&threads[started], nullptr, checkParts, &w) != 0) break;
    }
    if (started == 0) return true;
    checkParts(workers[0]);
    for (int i = 1; i < started; ++i) pthread_join(threads[i], nullptr);
    f.count += c.reported;
    if (c.failedAt != kNoPart && c.failedAt == c.stopAt) {
        errno = c.error;
        return false;
    }
    s.base = c.origin + c.endOffset;
    s.line = c.endState.line;
    s.lineStart = c.endState.lineStart;
    s.lineDone = c.endState.lineDone;
    s.leading = c.endState.leading;
    return lseek(fd, start + static_cast<off_t>(c.endOffset), SEEK_SET) >= 0;
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
    startFindings(f, out, name);
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
        const char *bytes = reinterpret_cast<const char *>(block);
        if (first && skipBinary && looksBinary(bytes, static_cast<size_t>(got))) return Verdict::binary;
        findTabLines(s, block, static_cast<size_t>(got));
        if (static_cast<size_t>(got) < kBlockSize) break;
        // After a first block, a large file goes on on several processors
        // as far as it reaches now; what is added to it since is read on
        // below, as any input is. (A small file is not asked about at all.)
        off_t start = 0;
        uint64_t size = 0;
        const int count = first && f.nameLength <= kLongestPieceName ? workersFor(fd, &start, &size) : 0;
        if (count > 0 && !checkOnWorkers(f, fd, start, size, count, s)) {
            verdict = Verdict::unreadable;
            break;
        }
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
