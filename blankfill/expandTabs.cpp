// The tab-expansion filter; see expandTabs.h.
//
// Input that comes through a descriptor is taken in blocks: a regular file a
// full block at a time, a pipe, terminal or socket as much as one read hands
// over, so that each line is still handled as soon as it arrives. A block is
// scanned with the widest vectors that the processor has for the bytes that
// need a visit (tabs, backspaces and newlines; in leading-only mode only the
// tabs among a line's leading blanks), and the runs between them are copied
// whole. Only a stream that holds bytes of its own (read ahead or pushed
// back) or has no descriptor, such as a memory stream, goes byte by byte
// through the stream's buffer. Memory is constant whatever the line lengths:
// one block of input and one of output.
#include "expandTabs.h"

#include <langinfo.h>
#include <locale.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>
#include <wchar.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <iterator>

#include "expandTabsKernels.h"
#include "inputPipe.h"
#include "platform.h"
#include "processors.h"
#include "tabStops.h"

#if SUITE_X86_64_KERNELS
#include <immintrin.h>
#endif

namespace {

struct Columns {
    // Never negative, and 64 bits wide: a line longer than 2 GiB keeps its stops right.
    uint64_t column = 0;
    bool leading = true;
    uint64_t spacing = 1;
    bool spacingIsPowerOfTwo = true;  // the usual 4 or 8: a mask instead of a division
    const TabStops *stops = nullptr;  // a list of stops in place of the spacing (useTabStops)
    bool leadingOnly = false;
    // Display widths (countDisplayWidths): the start of a character that the
    // end of a block cut off, held until the next block completes it.
    bool utf8 = false;
    unsigned char pending[4];
    size_t pendingLength = 0;
};

// Spaces from `column` to the next tab stop: at least 1, at most spacing.
inline uint64_t spacesToStop(const Columns &c) {
    return c.spacing - (c.spacingIsPowerOfTwo ? c.column & (c.spacing - 1) : c.column % c.spacing);
}

// The same with a list of stops: at least 1 (the stop is beyond the column,
// or the column is already the largest counted).
uint64_t spacesToListedStop(const Columns &c) {
    uint64_t spaces = nextTabStop(*c.stops, c.column) - c.column;
    return spaces > 0 ? spaces : 1;
}

// Spaces to the next stop of either kind.
inline uint64_t spacesToAnyStop(const Columns &c) {
    if (c.stops != nullptr) [[unlikely]]
        return spacesToListedStop(c);
    return spacesToStop(c);
}

// The column rules for one byte, shared by every loop, for the leading-only
// mode or for every tab (where the leading flag plays no part). Returns the
// number of spaces that replace an expanded tab, or 0 when the byte is
// written as it is. It is written as arithmetic on flags rather than as
// branches on the byte, which the scanning loops meet in no order that a
// processor could predict.
template <bool leadingOnly>
inline uint64_t stepOver(Columns &c, unsigned char byte) {
    uint64_t other = byte != '\n';
    uint64_t expanded = byte == '\t' && (!leadingOnly || c.leading);
    uint64_t spaces = spacesToAnyStop(c) & (0 - expanded);
    // A backspace steps back over a column, but at column 0 it takes one up
    // like any other byte.
    uint64_t back = (byte == '\b') & (c.column > 0);
    c.column = (c.column + 1 + (spaces - expanded) - 2 * back) & (0 - other);
    if (leadingOnly) {
        // A byte other than a blank ends the line's leading blanks; a newline
        // starts the next line's.
        bool blank = byte == '\t' || byte == ' ';
        c.leading = !other || (c.leading && blank);
    }
    return spaces;
}

// ---- Byte loop, for a stream that must be read through its own buffer ------

void expandUtf8ThroughStream(FILE *in, Columns &c, FILE *out);

void expandByteByByte(FILE *in, Columns &c, FILE *out) {
    if (c.utf8) return expandUtf8ThroughStream(in, c, out);
    flockfile(in);
    flockfile(out);
    for (;;) {
        int byte = getc_unlocked(in);
        if (byte == EOF) break;
        uint64_t spaces = c.leadingOnly ? stepOver<true>(c, static_cast<unsigned char>(byte))
                                        : stepOver<false>(c, static_cast<unsigned char>(byte));
        if (spaces == 0) putc_unlocked(byte, out);
        for (; spaces > 0; --spaces) putc_unlocked(' ', out);
        if (streamFailedUnlocked(out)) break;
    }
    funlockfile(out);
    funlockfile(in);
}

// ---- Blocks ----------------------------------------------------------------

// The widest load or store that a kernel makes. A kernel looks at a block a
// window of up to this many bytes at a time and copies runs by whole lanes
// of which only a part counts, so each block has room behind it for the
// window that holds its end marker and a copy that starts there, and the
// output block room for a few stores past its limit.
constexpr size_t kLane = 64;
alignas(kLane) unsigned char inBlock[kBlockSize + 2 * kLane];
alignas(kLane) char outBlock[kBlockSize + 3 * kLane];
char *const outLimit = outBlock + kBlockSize;

struct SpaceLane {
    char bytes[kLane];
};
constexpr SpaceLane kSpaces = [] {
    SpaceLane lane{};
    for (char &byte : lane.bytes) byte = ' ';
    return lane;
}();

// Output gathered in outBlock and handed to the stream a block at a time.
struct Output {
    FILE *stream;
    char *end = outBlock;  // behind the last byte gathered
    bool failed = false;
};

// Hands what is gathered to the stream; false once the stream has failed.
bool flushOutput(Output &o) {
    size_t length = static_cast<size_t>(o.end - outBlock);
    if (length > 0) fwrite(outBlock, 1, length, o.stream);
    o.end = outBlock;
    if (ferror(o.stream)) o.failed = true;
    return !o.failed;
}

// Makes room at q, where the next output goes: flushes the block once it
// has reached its limit. Returns where the output goes on, or null once the
// stream has failed. (Pointers are passed by value in these helpers, so that
// the kernels can keep theirs in registers.)
inline char *keepRoom(Output &o, char *q) {
    if (q < outLimit) return q;
    o.end = q;
    return flushOutput(o) ? o.end : nullptr;
}

// Writes `count` spaces at q, a lane at a time; as keepRoom.
char *putManySpaces(Output &o, char *q, uint64_t count) {
    while (count > 0 && q != nullptr) {
        memcpy(q, kSpaces.bytes, kLane);
        size_t n = count < kLane ? static_cast<size_t>(count) : kLane;
        count -= n;
        q = keepRoom(o, q + n);
    }
    return q;
}

inline char *putSpaces(Output &o, char *q, uint64_t count) {
    if (count > kLane) return putManySpaces(o, q, count);
    memcpy(q, kSpaces.bytes, kLane);
    return keepRoom(o, q + count);
}

// Writes a byte that went through the column rules: the byte itself when
// `spaces` is 0, else the spaces of an expanded tab. For the usual spacing
// this takes no branch: the byte, then a lane of spaces over it for a tab or
// behind it for any other byte. As keepRoom.
inline char *putStep(Output &o, char *q, unsigned char byte, uint64_t spaces) {
    if (spaces > kLane) return putManySpaces(o, q, spaces);
    uint64_t kept = spaces == 0;
    *q = static_cast<char>(byte);
    memcpy(q + kept, kSpaces.bytes, kLane);
    return keepRoom(o, q + spaces + kept);
}

// The kernels below are written once over a lane type that says how to look
// at a window of input and copy it:
//   width:           bytes in a window, at most kLane;
//   marks(p):        the Marks of the window's bytes at p;
//   copy(p, q):      copies the window's bytes at p to q;
//   firstOf(mask):   the offset of the first byte that a non-zero mask marks;
//   dropFirst(mask): the mask without that byte.
// Each kernel takes a block [p, end) with a newline as end marker at *end;
// the windows are laid from p on, and the marked bytes of each are visited in
// order, which keeps the loads of the input out of the chain of steps from
// one marked byte to the next. Runs between them are copied whole.

// Masks of a window's bytes of each kind that the kernels look for, one bit
// a byte, the first byte lowest. Each lane type fills them all; what a
// kernel does not read is left out when the compiler draws the lane in.
struct Marks {
    uint64_t tabs;
    uint64_t blanks;  // tabs and spaces
    uint64_t newlines;
    uint64_t backspaces;
};

// Expands the tab at `offset` of a window whose tabs are `tabs`, met at
// column c.column, together with the tabs that follow it at once: the first
// reaches the next stop, each other one spacing further, or, with a list of
// stops (`listed`), each the next stop of the list. Returns the tabs taken.
template <bool listed>
inline size_t putTabRun(Output &o, char *&q, Columns &c, uint64_t tabs, size_t offset) {
    size_t tabRun = static_cast<size_t>(std::countr_one(tabs >> offset));
    // Up to 64 tabs of the largest spacing would not fit: the count then
    // stays at the most that can be written, which no output ever reaches.
    uint64_t count;
    if constexpr (listed) {
        Columns at = c;
        for (size_t i = 0; i < tabRun; ++i) at.column += spacesToListedStop(at);
        count = at.column - c.column;
    } else if (__builtin_mul_overflow(static_cast<uint64_t>(tabRun - 1), c.spacing, &count) ||
               __builtin_add_overflow(count, spacesToStop(c), &count)) {
        count = UINT64_MAX;
    }
    c.column += count;
    q = putSpaces(o, q, count);
    return tabRun;
}

// The first tab of each run of tabs (a run that goes on from the window
// before counts as one of its own): the visits need not wait for the length
// of a run to find the next one.
inline uint64_t runStarts(uint64_t tabs) { return tabs & ~(tabs << 1); }

// Every-tab mode, one loop over the windows of a block. The visited bytes
// are the newlines, where the column starts again, and the bytes that change
// the output: each run of tabs, which is expanded at once, and each
// backspace, which goes through the column rules. Everything between them is
// counted and copied whole.
template <class Lanes, bool listed = false>
void expandWindows(const unsigned char *p, const unsigned char *end, Columns &columns, Output &o) {
    Columns c = columns;  // a local copy, which the stores to outBlock cannot alias
    char *q = o.end;
    const unsigned char *next = p;  // the first byte not yet handled
    for (const unsigned char *window = p;; window += Lanes::width) {
        Marks m = Lanes::marks(window);
        uint64_t found = runStarts(m.tabs) | m.newlines | m.backspaces;
        while (found != 0) {
            size_t offset = Lanes::firstOf(found);
            const unsigned char *at = window + offset;
            size_t run = static_cast<size_t>(at - next);
            Lanes::copy(next, q);
            q += run;
            c.column += run;
            if (m.newlines >> offset & 1) {
                if (at == end) goto done;
                // The copy holds the newline.
                c.column = 0;
                q = keepRoom(o, q + 1);
                next = at + 1;
                found = Lanes::dropFirst(found);
            } else if (m.tabs >> offset & 1) {
                next = at + putTabRun<listed>(o, q, c, m.tabs, offset);
                found = Lanes::dropFirst(found);
            } else {
                q = putStep(o, q, *at, stepOver<false>(c, *at));
                next = at + 1;
                found = Lanes::dropFirst(found);
            }
            if (q == nullptr) goto done;
        }
        size_t run = static_cast<size_t>(window + Lanes::width - next);
        Lanes::copy(next, q);
        c.column += run;
        next += run;
        q = keepRoom(o, q + run);
        if (q == nullptr) goto done;
    }
done:
    if (q != nullptr) o.end = q;
    columns = c;
}

// The bytes before offset n (at most 64).
inline uint64_t before(size_t n) { return n < 64 ? (uint64_t{1} << n) - 1 : ~uint64_t{0}; }

// The bytes of `mask` from offset `from` up to, not including, offset `to`.
inline uint64_t between(uint64_t mask, size_t from, size_t to) { return mask & before(to) & ~before(from); }

// The column at offset `to` of a window when it was `column` at offset
// `from` and the bytes between are plain or newlines: counted from the last
// of those newlines if there is one, and else on from `column`.
inline uint64_t columnAt(uint64_t column, uint64_t newlines, size_t from, size_t to) {
    uint64_t lines = between(newlines, from, to);
    return lines != 0 ? to - 1 - static_cast<size_t>(63 - std::countl_zero(lines)) : column + (to - from);
}

// Leading-only mode. The only bytes visited are the runs of tabs among a
// line's leading blanks. A window's leading blanks are found in one step:
// each line that starts in it (just behind a newline, or at the window's
// start while the blanks of a line go on from the window before) begins a run
// of blanks, and adding the run's first bit to the mask of blanks clears
// exactly that run. Newlines are copied with the rest: the column matters
// only among a line's leading blanks, where it is the count of spaces since
// the line's start or since the last run of tabs, so it is worked out from
// the last newline when a tab is reached and at each window's end.
template <class Lanes, bool listed = false>
void expandLeadingWindows(const unsigned char *p, const unsigned char *end, Columns &columns, Output &o) {
    constexpr int lastOffset = Lanes::width - 1;
    Columns c = columns;
    char *q = o.end;
    const unsigned char *next = p;
    uint64_t goesOn = c.leading;  // whether the window starts among a line's leading blanks
    for (const unsigned char *window = p;; window += Lanes::width) {
        Marks m = Lanes::marks(window);
        uint64_t starts = m.newlines << 1 | goesOn;
        uint64_t leading = m.blanks & ~(m.blanks + (starts & m.blanks));
        goesOn = (m.newlines | leading) >> lastOffset & 1;
        // The end marker's window is the last: nothing from the marker on.
        const bool last = end < window + Lanes::width;
        const size_t stop = last ? static_cast<size_t>(end - window) : Lanes::width;
        uint64_t found = between(runStarts(m.tabs & leading), 0, stop);
        while (found != 0) {
            size_t offset = Lanes::firstOf(found);
            size_t from = static_cast<size_t>(next - window);
            Lanes::copy(next, q);
            q += offset - from;
            c.column = columnAt(c.column, m.newlines, from, offset);
            next = window + offset + putTabRun<listed>(o, q, c, m.tabs, offset);
            if (q == nullptr) goto done;
            found = Lanes::dropFirst(found);
        }
        {
            size_t from = static_cast<size_t>(next - window);
            Lanes::copy(next, q);
            c.column = columnAt(c.column, m.newlines, from, stop);
            next = window + stop;
            q = keepRoom(o, q + (stop - from));
            if (q == nullptr) goto done;
        }
        if (last) {
            // Still among leading blanks at the end: the block ends where a
            // line starts, or just behind one of its blanks.
            c.leading = ((starts | leading << 1) >> stop & 1) != 0;
            break;
        }
    }
done:
    if (q != nullptr) o.end = q;
    columns = c;
}

// ---- Lines with a tab to expand -------------------------------------------------

// Visits a window at offset `at` of the input whose tabs to expand and
// newlines are `tabs` and `newlines`: the first such tab of each line not yet
// reported is reported, and the rest of its line skipped.
inline void visitTabLines(TabLineScan &s, uint64_t at, uint64_t tabs, uint64_t newlines) {
    for (;;) {
        if (s.lineDone) {
            if (newlines == 0) return;
            const size_t end = static_cast<size_t>(std::countr_zero(newlines));
            newlines &= newlines - 1;
            tabs &= ~before(end + 1);
            ++s.line;
            s.lineStart = at + end + 1;
            s.lineDone = false;
        }
        if (tabs == 0) break;
        const size_t tab = static_cast<size_t>(std::countr_zero(tabs));
        if (const uint64_t earlier = newlines & before(tab); earlier != 0) {
            s.line += static_cast<uint64_t>(std::popcount(earlier));
            s.lineStart = at + 64 - static_cast<uint64_t>(std::countl_zero(earlier));
            newlines &= ~earlier;
        }
        s.found(s.line, at + tab - s.lineStart + 1, s.lineStart, s.context);
        s.lineDone = true;
    }
    if (newlines != 0) {
        s.line += static_cast<uint64_t>(std::popcount(newlines));
        s.lineStart = at + 64 - static_cast<uint64_t>(std::countl_zero(newlines));
    }
}

// The windows of a block [p, p + length), each cut at the block's end. In
// leading-only mode only the tabs among leading blanks count, found as the
// leading-only kernel finds them.
template <class Lanes>
void scanTabLines(TabLineScan &s, const unsigned char *p, size_t length) {
    uint64_t goesOn = s.leading;
    for (size_t offset = 0; offset < length; offset += Lanes::width) {
        const Marks m = Lanes::marks(p + offset);
        const size_t stop = std::min(length - offset, Lanes::width);
        uint64_t tabs = m.tabs & before(stop);
        if (s.leadingOnly) {
            const uint64_t starts = m.newlines << 1 | goesOn;
            const uint64_t leading = m.blanks & ~(m.blanks + (starts & m.blanks));
            tabs &= leading;
            goesOn = stop < 64 ? ((starts | leading << 1) >> stop & 1) : ((m.newlines | leading) >> 63 & 1);
        }
        visitTabLines(s, s.base + offset, tabs, m.newlines & before(stop));
    }
    s.leading = goesOn != 0;
    s.base += length;
}

// Masks hold one bit a byte, the first byte lowest.
struct BitMasks {
    static size_t firstOf(uint64_t found) { return static_cast<size_t>(std::countr_zero(found)); }
    static uint64_t dropFirst(uint64_t found) { return found & (found - 1); }
};

// Eight bytes a window, in a 64-bit word loaded first byte lowest whatever
// the byte order. Each byte is judged on its own (no carry or borrow crosses
// a byte) into its high bit, and the eight high bits are then gathered into
// the low byte of a mask.
struct WordLanes : BitMasks {
    static constexpr size_t width = 8;
    static constexpr uint64_t everyByte = 0x0101010101010101u;
    static constexpr uint64_t lowSeven = everyByte * 0x7f;
    static constexpr uint64_t highBits = everyByte * 0x80;

    static uint64_t load(const unsigned char *p) {
        uint64_t word;
        memcpy(&word, p, 8);
        if constexpr (std::endian::native == std::endian::big) word = __builtin_bswap64(word);
        return word;
    }
    static void copy(const unsigned char *p, char *q) { memcpy(q, p, 8); }
    // Byte i's high bit, at bit 8i + 7, lands on bit 56 + i of the product,
    // and no two of the product's terms meet.
    static uint64_t gather(uint64_t highs) { return ((highs >> 7) * 0x0102040810204080u) >> 56; }
    // The high bit of each byte of the word that equals `byte`.
    static uint64_t equal(uint64_t word, unsigned char byte) {
        uint64_t zeroed = word ^ (everyByte * byte);
        return ~(((zeroed & lowSeven) + lowSeven) | zeroed) & highBits;
    }
    static Marks marks(const unsigned char *p) {
        uint64_t word = load(p);
        uint64_t tabs = equal(word, '\t');
        return {gather(tabs), gather(tabs | equal(word, ' ')), gather(equal(word, '\n')), gather(equal(word, '\b'))};
    }
};

void everyTabWords(const unsigned char *p, const unsigned char *end, Columns &c, Output &o) {
    expandWindows<WordLanes>(p, end, c, o);
}
void leadingTabsWords(const unsigned char *p, const unsigned char *end, Columns &c, Output &o) {
    expandLeadingWindows<WordLanes>(p, end, c, o);
}
void tabLinesWords(TabLineScan &s, const unsigned char *p, size_t length) { scanTabLines<WordLanes>(s, p, length); }

// A list of stops takes the word kernels with the list's column rule; the
// vector kernels stay specialised for the one spacing.
void everyTabListed(const unsigned char *p, const unsigned char *end, Columns &c, Output &o) {
    expandWindows<WordLanes, true>(p, end, c, o);
}
void leadingTabsListed(const unsigned char *p, const unsigned char *end, Columns &c, Output &o) {
    expandLeadingWindows<WordLanes, true>(p, end, c, o);
}

#if SUITE_X86_64_KERNELS

// The vector kernels look at 64 bytes a window, in as many lanes as that
// takes, so that most runs of plain text end in the window where they begin.
struct Sse2Lanes : BitMasks {
    static constexpr size_t width = 64;
    static __m128i load(const unsigned char *p) { return _mm_loadu_si128(reinterpret_cast<const __m128i *>(p)); }
    static uint64_t mask(__m128i marked, int lane) {
        return static_cast<uint64_t>(static_cast<uint32_t>(_mm_movemask_epi8(marked))) << (16 * lane);
    }
    static void copy(const unsigned char *p, char *q) {
        for (int i = 0; i < 4; ++i) _mm_storeu_si128(reinterpret_cast<__m128i *>(q + 16 * i), load(p + 16 * i));
    }
    static Marks marks(const unsigned char *p) {
        Marks m{};
        for (int i = 0; i < 4; ++i) {
            __m128i lane = load(p + 16 * i);
            __m128i tab = _mm_cmpeq_epi8(lane, _mm_set1_epi8('\t'));
            m.tabs |= mask(tab, i);
            m.blanks |= mask(_mm_or_si128(tab, _mm_cmpeq_epi8(lane, _mm_set1_epi8(' '))), i);
            m.newlines |= mask(_mm_cmpeq_epi8(lane, _mm_set1_epi8('\n')), i);
            m.backspaces |= mask(_mm_cmpeq_epi8(lane, _mm_set1_epi8('\b')), i);
        }
        return m;
    }
};

void everyTabSse2(const unsigned char *p, const unsigned char *end, Columns &c, Output &o) {
    expandWindows<Sse2Lanes>(p, end, c, o);
}
void leadingTabsSse2(const unsigned char *p, const unsigned char *end, Columns &c, Output &o) {
    expandLeadingWindows<Sse2Lanes>(p, end, c, o);
}
void tabLinesSse2(TabLineScan &s, const unsigned char *p, size_t length) { scanTabLines<Sse2Lanes>(s, p, length); }

// The wider kernels carry the instruction set in their target attribute, so
// that the binary still runs on any x86-64; `flatten` draws the kernel
// template and the lane functions into them, compiled for that set.
struct Avx2Lanes : BitMasks {
    static constexpr size_t width = 64;
    [[gnu::target("avx2")]] static __m256i load(const unsigned char *p) {
        return _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p));
    }
    [[gnu::target("avx2")]] static uint64_t mask(__m256i marked, int lane) {
        return static_cast<uint64_t>(static_cast<uint32_t>(_mm256_movemask_epi8(marked))) << (32 * lane);
    }
    [[gnu::target("avx2")]] static void copy(const unsigned char *p, char *q) {
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(q), load(p));
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(q + 32), load(p + 32));
    }
    [[gnu::target("avx2")]] static Marks marks(const unsigned char *p) {
        Marks m{};
        for (int i = 0; i < 2; ++i) {
            __m256i lane = load(p + 32 * i);
            __m256i tab = _mm256_cmpeq_epi8(lane, _mm256_set1_epi8('\t'));
            m.tabs |= mask(tab, i);
            m.blanks |= mask(_mm256_or_si256(tab, _mm256_cmpeq_epi8(lane, _mm256_set1_epi8(' '))), i);
            m.newlines |= mask(_mm256_cmpeq_epi8(lane, _mm256_set1_epi8('\n')), i);
            m.backspaces |= mask(_mm256_cmpeq_epi8(lane, _mm256_set1_epi8('\b')), i);
        }
        return m;
    }
};

[[gnu::target("avx2"), gnu::flatten]] void everyTabAvx2(const unsigned char *p, const unsigned char *end,
                                                        Columns &c, Output &o) {
    expandWindows<Avx2Lanes>(p, end, c, o);
}
[[gnu::target("avx2"), gnu::flatten]] void leadingTabsAvx2(const unsigned char *p, const unsigned char *end,
                                                           Columns &c, Output &o) {
    expandLeadingWindows<Avx2Lanes>(p, end, c, o);
}
[[gnu::target("avx2"), gnu::flatten]] void tabLinesAvx2(TabLineScan &s, const unsigned char *p, size_t length) {
    scanTabLines<Avx2Lanes>(s, p, length);
}

struct Avx512Lanes : BitMasks {
    static constexpr size_t width = 64;
    [[gnu::target("avx512bw")]] static void copy(const unsigned char *p, char *q) {
        _mm512_storeu_si512(q, _mm512_loadu_si512(p));
    }
    [[gnu::target("avx512bw")]] static Marks marks(const unsigned char *p) {
        __m512i lane = _mm512_loadu_si512(p);
        uint64_t tabs = _mm512_cmpeq_epi8_mask(lane, _mm512_set1_epi8('\t'));
        return {tabs, tabs | _mm512_cmpeq_epi8_mask(lane, _mm512_set1_epi8(' ')),
                _mm512_cmpeq_epi8_mask(lane, _mm512_set1_epi8('\n')),
                _mm512_cmpeq_epi8_mask(lane, _mm512_set1_epi8('\b'))};
    }
};

[[gnu::target("avx512bw"), gnu::flatten]] void everyTabAvx512(const unsigned char *p, const unsigned char *end,
                                                              Columns &c, Output &o) {
    expandWindows<Avx512Lanes>(p, end, c, o);
}
[[gnu::target("avx512bw"), gnu::flatten]] void leadingTabsAvx512(const unsigned char *p,
                                                                 const unsigned char *end, Columns &c,
                                                                 Output &o) {
    expandLeadingWindows<Avx512Lanes>(p, end, c, o);
}
[[gnu::target("avx512bw"), gnu::flatten]] void tabLinesAvx512(TabLineScan &s, const unsigned char *p,
                                                              size_t length) {
    scanTabLines<Avx512Lanes>(s, p, length);
}

#else

// A build without x86-64 kernels names the wide kernels all the same, as the
// word kernels that they would be; processorRuns never lets them run.
constexpr auto everyTabSse2 = everyTabWords, everyTabAvx2 = everyTabWords, everyTabAvx512 = everyTabWords;
constexpr auto leadingTabsSse2 = leadingTabsWords, leadingTabsAvx2 = leadingTabsWords,
               leadingTabsAvx512 = leadingTabsWords;
constexpr auto tabLinesSse2 = tabLinesWords, tabLinesAvx2 = tabLinesWords, tabLinesAvx512 = tabLinesWords;

#endif

using BlockKernel = void (*)(const unsigned char *, const unsigned char *, Columns &, Output &);

struct Kernel {
    BlockKernel everyTab;
    BlockKernel leadingTabs;
};

// The kernels from the widest; the filter takes the first that the
// processor runs.
using TabLineKernel = void (*)(TabLineScan &, const unsigned char *, size_t);

struct ScanKernelEntry {
    InstructionSet needs;
    ScanKernel kernel;
    const char *name;
    Kernel blocks;
    TabLineKernel tabLines;
};
constexpr ScanKernelEntry scanKernels[] = {
    {InstructionSet::avx512bw, ScanKernel::avx512bw, "avx512bw", {everyTabAvx512, leadingTabsAvx512}, tabLinesAvx512},
    {InstructionSet::avx2, ScanKernel::avx2, "avx2", {everyTabAvx2, leadingTabsAvx2}, tabLinesAvx2},
    {InstructionSet::sse2, ScanKernel::sse2, "sse2", {everyTabSse2, leadingTabsSse2}, tabLinesSse2},
    {InstructionSet::portable, ScanKernel::portable, "portable", {everyTabWords, leadingTabsWords}, tabLinesWords},
};
static_assert(std::size(scanKernels) == std::size(allScanKernels));

// The blocks of a kernel that runs here.
Kernel kernelFor(ScanKernel kernel) {
    const ScanKernelEntry *entry = entryOf(scanKernels, kernel);
    return entry != nullptr ? entry->blocks : Kernel{everyTabWords, leadingTabsWords};
}

bool expandedAsUtf8(size_t length, Columns &c, Output &o);

// Expands the block inBlock[0, length), behind which it sets the end marker.
void expandBlock(const Kernel &kernel, size_t length, Columns &c, Output &o) {
    if (c.utf8 && expandedAsUtf8(length, c, o)) return;
    inBlock[length] = '\n';
    (c.leadingOnly ? kernel.leadingTabs : kernel.everyTab)(inBlock, inBlock + length, c, o);
}

// A regular file, a full block at a time through the stream, which hands
// over any bytes it holds first.
void expandFile(FILE *in, const Kernel &kernel, Columns &c, Output &o) {
    for (;;) {
        size_t got = fread(inBlock, 1, kBlockSize, in);
        expandBlock(kernel, got, c, o);
        // A short block means end of input or a read error: either ends the
        // filter, as the first failed read does in the byte loop.
        if (o.failed || got < kBlockSize) break;
    }
    if (!o.failed) flushOutput(o);
}

// Whether a read of the descriptor would return at once.
bool inputWaiting(int fd) {
    struct pollfd ready = {fd, POLLIN, 0};
    return poll(&ready, 1, 0) > 0;
}

// A pipe, terminal, socket or device: each block is what one read returns,
// so nothing waits for a block to fill. Before a read that would wait, the
// output so far goes out and the stream is flushed, so that whoever reads
// the output sees each line as the input brings it.
void expandFromDescriptor(int fd, FILE *in, const Kernel &kernel, Columns &c, Output &o) {
    for (;;) {
        if (!inputWaiting(fd) && (!flushOutput(o) || fflush(o.stream) != 0)) return;
        ssize_t got = read(fd, inBlock, kBlockSize);
        if (got == 0) break;
        if (got < 0) {
            if (errno == EINTR) continue;
            // The stream meets the failure itself on its next read, so that its
            // error indicator and errno tell the caller; should that read
            // succeed, the byte loop goes on from there.
            if (flushOutput(o)) expandByteByByte(in, c, o.stream);
            return;
        }
        expandBlock(kernel, static_cast<size_t>(got), c, o);
        if (o.failed) return;
    }
    flushOutput(o);
}

// ---- Display widths ----------------------------------------------------------
//
// With display widths, a block without a byte of 0x80 or more is expanded by
// the kernels as ever. Any other block goes through the loop below, which
// visits the tabs, backspaces and newlines as the kernels do and each byte
// of 0x80 or more, where it takes a whole character and counts its width;
// everything between two tabs, backspaces or newlines is copied at once.
// Leading-only mode never counts widths (see expandTabsWith).

bool displayWidths = false;
// The stops of a list, in place of the spacing (useTabStops); null for none.
const TabStops *tabStops = nullptr;
// Widths of the characters below U+20000 (planes 0 and 1, where nearly every
// character of a text lies) as the locale gives them, plus one; 0 for one
// not yet asked for.
constexpr char32_t kKnownWidths = 0x20000;
int8_t knownWidths[kKnownWidths];

int displayWidth(char32_t character) {
    if (character < kKnownWidths && knownWidths[character] != 0) return knownWidths[character] - 1;
    int width = wcwidth(static_cast<wchar_t>(character));
    // A character the locale calls unprintable still takes its column.
    if (width < 0) width = 1;
    if (character < kKnownWidths) knownWidths[character] = static_cast<int8_t>(width + 1);
    return width;
}

// The length of the UTF-8 character at p, of which `available` bytes are at
// hand, and its code point: 2 to 4 for a whole valid character; 1 for a byte
// that cannot start one here (a stray continuation byte, a lead byte that
// no valid continuation follows, an overlong form, a surrogate or a value
// beyond U+10FFFF), which then stands alone; 0 when the bytes at hand are a
// valid start cut off before its end.
inline size_t utf8Length(const unsigned char *p, size_t available, char32_t &character) {
    const unsigned char lead = p[0];
    if (lead < 0xC2 || lead > 0xF4) return 1;
    const size_t length = lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
    // The second byte's range rules out the overlong forms, the surrogates
    // and the values past U+10FFFF.
    const unsigned char low = lead == 0xE0 ? 0xA0 : lead == 0xF0 ? 0x90 : 0x80;
    const unsigned char high = lead == 0xED ? 0x9F : lead == 0xF4 ? 0x8F : 0xBF;
    character = lead & (0x7F >> length);
    for (size_t i = 1; i < length; ++i) {
        if (i == available) return 0;
        const unsigned char next = p[i];
        if (next < (i == 1 ? low : 0x80) || next > (i == 1 ? high : 0xBF)) return 1;
        character = character << 6 | (next & 0x3F);
    }
    return length;
}

// The columns of a unit that utf8Length measured as `length` bytes: a byte
// standing alone takes one.
inline int unitWidth(size_t length, char32_t character) { return length == 1 ? 1 : displayWidth(character); }

// Copies [p, end) to q, flushing the output block when it fills; as keepRoom.
char *putRun(Output &o, char *q, const unsigned char *p, const unsigned char *end) {
    while (p < end && q != nullptr) {
        size_t n = std::min(static_cast<size_t>(end - p), static_cast<size_t>(outLimit + kLane - q));
        memcpy(q, p, n);
        p += n;
        q = keepRoom(o, q + n);
    }
    return q;
}

// The first byte from p on, before end, that is below 0x10 (the tab, the
// backspace and the newline among them) or 0x80 or more; end if there is
// none. Eight bytes a step: with each byte's high bit set, subtracting 0x10
// from it borrows nothing from the next byte and clears the high bit just
// where the other seven bits are below 0x10.
inline const unsigned char *nextVisit(const unsigned char *p, const unsigned char *end) {
    constexpr uint64_t sixteens = WordLanes::everyByte * 0x10;
    for (; end - p >= 8; p += 8) {
        const uint64_t word = WordLanes::load(p);
        const uint64_t visits = WordLanes::highBits & (word | ~((word | WordLanes::highBits) - sixteens));
        if (visits != 0) return p + std::countr_zero(visits) / 8;
    }
    while (p < end && *p >= 0x10 && *p < 0x80) ++p;
    return p;
}

// Expands [p, end) after the character that the previous block left cut off,
// if any; a start that this block cuts off in turn is held back for the next.
void expandUtf8Units(const unsigned char *p, const unsigned char *end, Columns &c, Output &o) {
    char *q = o.end;
    char32_t character = 0;
    while (c.pendingLength > 0 && p < end && q != nullptr) {
        // The held start, completed from this block as far as it goes.
        unsigned char joined[8];
        memcpy(joined, c.pending, c.pendingLength);
        size_t taken = std::min(static_cast<size_t>(end - p), sizeof c.pending);
        memcpy(joined + c.pendingLength, p, taken);
        size_t length = utf8Length(joined, c.pendingLength + taken, character);
        if (length == 0) {
            memcpy(c.pending + c.pendingLength, p, taken);
            c.pendingLength += taken;
            p = end;
        } else if (length == 1) {
            // Not completed: each byte held stands alone, and this block is
            // read from its start.
            c.column += c.pendingLength;
            q = putRun(o, q, c.pending, c.pending + c.pendingLength);
            c.pendingLength = 0;
        } else {
            c.column += static_cast<uint64_t>(displayWidth(character));
            q = putRun(o, q, joined, joined + length);
            p += length - c.pendingLength;
            c.pendingLength = 0;
        }
    }
    const unsigned char *run = p;  // [run, p) is counted and waits to be copied
    while (p < end && q != nullptr) {
        const unsigned char *at = nextVisit(p, end);
        c.column += static_cast<uint64_t>(at - p);
        p = at;
        if (p == end) break;
        if (*p >= 0x80) {
            const size_t length = utf8Length(p, static_cast<size_t>(end - p), character);
            if (length == 0) {
                // Cut off by the end of the block: held for the next.
                c.pendingLength = static_cast<size_t>(end - p);
                memcpy(c.pending, p, c.pendingLength);
                end = p;
                break;
            }
            c.column += static_cast<uint64_t>(unitWidth(length, character));
            p += length;
            continue;
        }
        if (*p != '\t' && *p != '\b' && *p != '\n') {
            // Another control byte: a column like any other byte.
            ++c.column;
            ++p;
            continue;
        }
        q = putRun(o, q, run, p);
        if (q != nullptr) q = putStep(o, q, *p, stepOver<false>(c, *p));
        run = ++p;
    }
    if (q != nullptr) q = putRun(o, q, run, end);
    if (q != nullptr) o.end = q;
}

// Whether no byte of [p, p + length) is 0x80 or more: whole words ORed
// together in runs that the compiler can widen, stopping at the first run
// that holds such a byte.
bool plainAscii(const unsigned char *p, size_t length) {
    constexpr size_t kRun = 256;
    size_t at = 0;
    for (; at + kRun <= length; at += kRun) {
        uint64_t any = 0;
        for (size_t i = 0; i < kRun; i += 8) {
            uint64_t word;
            memcpy(&word, p + at + i, 8);
            any |= word;
        }
        if ((any & 0x8080808080808080u) != 0) return false;
    }
    unsigned char tail = 0;
    for (; at < length; ++at) tail = static_cast<unsigned char>(tail | p[at]);
    return tail < 0x80;
}

// Expands inBlock[0, length) by display width unless it is plain ASCII with
// no character held over, which the kernels take; false then.
bool expandedAsUtf8(size_t length, Columns &c, Output &o) {
    if (c.pendingLength == 0 && plainAscii(inBlock, length)) return false;
    expandUtf8Units(inBlock, inBlock + length, c, o);
    return true;
}

// What is still held at the end of the input was cut off for good: each of
// its bytes stands alone.
void finishUtf8(Columns &c, Output &o) {
    if (c.pendingLength == 0 || o.failed) return;
    c.column += c.pendingLength;
    char *q = putRun(o, o.end, c.pending, c.pending + c.pendingLength);
    c.pendingLength = 0;
    if (q != nullptr) o.end = q;
    flushOutput(o);
}

// The byte loop's part with display widths: the stream's bytes are gathered
// a line (or a block) at a time and expanded as a block, and the output of
// each goes to the stream at once, as the byte loop's would.
void expandUtf8ThroughStream(FILE *in, Columns &c, FILE *out) {
    const Kernel kernel = kernelFor(ScanKernel::portable);
    Output o{out};
    for (;;) {
        size_t length = 0;
        int byte = 0;
        while (length < kBlockSize && (byte = getc(in)) != EOF) {
            inBlock[length++] = static_cast<unsigned char>(byte);
            if (byte == '\n') break;
        }
        if (length > 0) expandBlock(kernel, length, c, o);
        if (o.failed || !flushOutput(o)) return;
        if (byte == EOF) break;
    }
    finishUtf8(c, o);
}

}  // namespace

bool countDisplayWidths() {
    static const char *const names[] = {"C.UTF-8", "C.utf8", "en_US.UTF-8", "en_US.utf8"};
    for (const char *name : names) {
        locale_t utf8 = newlocale(LC_CTYPE_MASK, name, nullptr);
        if (utf8 == nullptr) continue;
        // Asked of the locale in use: a statically linked C library has been
        // seen to name the wrong character set when asked of another.
        locale_t previous = uselocale(utf8);
        if (std::strcmp(nl_langinfo(CODESET), "UTF-8") == 0) {
            // Kept for the rest of the process: wcwidth reads the thread's locale.
            displayWidths = true;
            return true;
        }
        uselocale(previous);
        freelocale(utf8);
    }
    return false;
}

const char *scanKernelName(ScanKernel kernel) {
    const ScanKernelEntry *entry = entryOf(scanKernels, kernel);
    return entry != nullptr ? entry->name : "unknown";
}

bool scanKernelRuns(ScanKernel kernel) {
    const ScanKernelEntry *entry = entryOf(scanKernels, kernel);
    return entry != nullptr && processorRuns(entry->needs);
}

ScanKernel chosenScanKernel() {
    static const ScanKernel chosen = firstThatRuns(scanKernels).kernel;
    return chosen;
}

void useTabStops(const TabStops *stops) { tabStops = stops; }

namespace {

// The column rules of a run of the filter, and the kernel that applies them.
Columns columnsFor(int64_t spacing, int leadingOnly) {
    Columns c;
    c.spacing = spacing >= 2 ? static_cast<uint64_t>(spacing) : 1;
    c.spacingIsPowerOfTwo = (c.spacing & (c.spacing - 1)) == 0;
    c.stops = tabStops;
    c.leadingOnly = leadingOnly != 0;
    // Leading-only mode needs no widths: only spaces and tabs are counted
    // there, and any other character, ASCII or not, ends a line's leading
    // blanks all the same.
    c.utf8 = displayWidths && !c.leadingOnly;
    return c;
}

Kernel kernelFor(ScanKernel scanKernel, const Columns &c) {
    return c.stops != nullptr ? Kernel{everyTabListed, leadingTabsListed} : kernelFor(scanKernel);
}

}  // namespace

int expandTabsWith(ScanKernel scanKernel, FILE *in, int64_t spacing, int leadingOnly, FILE *out) {
    Columns c = columnsFor(spacing, leadingOnly);
    Kernel kernel = kernelFor(scanKernel, c);
    Output o{out};
    int fd = fileno(in);
    struct stat status;
    if (fd < 0 || fstat(fd, &status) != 0)
        expandByteByByte(in, c, out);
    else if (S_ISREG(status.st_mode))
        expandFile(in, kernel, c, o);
    // A stream that holds bytes a read of its descriptor would skip is read
    // through itself.
    else if (streamHoldsInput(in))
        expandByteByByte(in, c, out);
    else {
        widenInputPipe(fd);
        expandFromDescriptor(fd, in, kernel, c, o);
    }
    finishUtf8(c, o);
    if (ferror(in)) return 1;
    if (ferror(out)) return 1;
    return 0;
}

int blankfill(FILE *in, int64_t spacing, int leadingOnly, FILE *out) {
    return expandTabsWith(chosenScanKernel(), in, spacing, leadingOnly, out);
}

void findTabLinesWith(ScanKernel kernel, TabLineScan &scan, const unsigned char *block, size_t length) {
    const ScanKernelEntry *entry = entryOf(scanKernels, kernel);
    (entry != nullptr ? entry->tabLines : tabLinesWords)(scan, block, length);
}

void findTabLines(TabLineScan &scan, const unsigned char *block, size_t length) {
    static const TabLineKernel chosen = firstThatRuns(scanKernels).tabLines;
    chosen(scan, block, length);
}

int expandTabsInMemory(const char *data, size_t length, int64_t spacing, int leadingOnly, FILE *out) {
    Columns c = columnsFor(spacing, leadingOnly);
    Kernel kernel = kernelFor(chosenScanKernel(), c);
    Output o{out};
    for (size_t done = 0; done < length && !o.failed;) {
        size_t block = std::min(length - done, kBlockSize);
        memcpy(inBlock, data + done, block);
        expandBlock(kernel, block, c, o);
        done += block;
    }
    finishUtf8(c, o);
    if (!o.failed) flushOutput(o);
    return ferror(out) ? 1 : 0;
}
