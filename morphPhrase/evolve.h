// The evolution loop of morphPhrase: tries at random positions until every
// character of the phrase has been drawn right, drawing from the MT19937
// generator as it stands.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

// The longest phrase the loop takes.
constexpr size_t kMaxPhrase = 2000000;

// Evolves `buf` towards `phrase`, both of n characters (1 <= n <= kMaxPhrase,
// each character of `phrase` a member of the alphabet, `buf` NUL-terminated
// after them); `correct` holds one zero flag per position, set once the
// position is found. Every `updatePeriod` tries (never when it is 0) the line
// is written to `display` with a newline. Returns the number of tries.
// The draws are used in the generator's order, but taken from it in blocks:
// afterwards the generator stands at the end of the last block, past the
// last draw used.
int64_t evolve(const char *phrase, char *buf, unsigned char *correct, size_t n, int64_t updatePeriod,
               FILE *display);
