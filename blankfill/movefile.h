// File move: moves one regular file to a new name or into a directory by
// copying its bytes and then removing it. An existing destination is written
// in place, so it keeps its own permissions, owner and links.
//
// One of the suite's library modules, kept, tested and fuzzed as such; its
// numbered messages are the ones the replacement's follow. blankfill's
// in-place conversion does not move the new contents onto the file: it
// writes them back over the file itself, which so keeps its identity (inode,
// owner, permissions, links, access control lists), whereas a moved file is
// a new file under the old name.
#pragma once

// This module's identity line; nothing reads it.
extern char rcsid_movefile[];

// Moves `source` to `destination`, or into it when it is a directory (under
// the last component of the source name). Returns null on success, else a
// numbered message such as "(2) Cannot move entire directories", constant
// text that the caller must not modify or release. A move of a file onto
// itself, through whatever names, is refused with message 17 and touches
// nothing.
const char *movefile(const char *source, const char *destination);

// The numbers of movefile's messages.
constexpr int kMfNoSourceStatus = 1;
constexpr int kMfSourceIsDirectory = 2;
constexpr int kMfNoDirectoryWrite = 3;
constexpr int kMfNoMemoryForName = 4;
constexpr int kMfSourceNoRead = 5;
constexpr int kMfSourceNoWrite = 6;
constexpr int kMfNoMemoryForBuffer = 7;
constexpr int kMfCannotOpenInput = 8;
constexpr int kMfCannotOpenOutput = 9;
constexpr int kMfReadError = 10;
constexpr int kMfWriteError = 11;
constexpr int kMfCloseOutputError = 12;
constexpr int kMfInputErrorAtClose = 13;
constexpr int kMfCloseInputError = 14;
constexpr int kMfCannotRemoveInput = 15;
constexpr int kMfCannotSetTimes = 16;
constexpr int kMfSameFile = 17;

// The number of a numbered message, as getMFErrorNumber gives it; usable
// where a constant is needed, so that a module can check its message texts
// against their named numbers when it is compiled.
constexpr int messageNumber(const char *message) {
    if (message == nullptr || message[0] != '(') return -1;
    int number = 0;
    int digits = 0;
    const char *at = message + 1;
    while (*at >= '0' && *at <= '9') {
        if (++digits > 4) return -1;
        number = number * 10 + (*at++ - '0');
    }
    if (digits == 0 || *at != ')') return -1;
    return number;
}

// The number of a numbered message, or -1 when the message is null or does
// not begin with '(', one to four decimal digits and ')'.
int getMFErrorNumber(const char *message);

// The text of a numbered message after its first ") ", or the whole message
// when it has none. The message must not be null.
const char *getMFErrorString(const char *message);
