// File move: moves one regular file to a new name or into a directory by
// copying its bytes and then removing it. An existing destination is written
// in place, so it keeps its own permissions, owner and links.
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

// The number of a numbered message, or -1 when the message is null or does
// not begin with '(', one to four decimal digits and ')'.
int getMFErrorNumber(const char *message);

// The text of a numbered message after its first ") ", or the whole message
// when it has none. The message must not be null.
const char *getMFErrorString(const char *message);
