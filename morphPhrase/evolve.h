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
// Each block of draws is checked against the found positions at once, with
// the kernel that evolveKernel chooses.
int64_t evolve(const char *phrase, char *buf, unsigned char *correct, size_t n, int64_t updatePeriod,
               FILE *display);

// The ways of checking a block of draws against the found positions: lane
// by lane in plain C++, or with the gathers of AVX2 or AVX-512. Every kernel
// gives the same tries and display lines for the same generator state.
enum class EvolveKernel { portable, avx2, avx512 };
constexpr int kEvolveKernelCount = 3;

const char *evolveKernelName(EvolveKernel kernel);
// Whether this processor (and this build) runs the kernel.
bool evolveKernelRuns(EvolveKernel kernel);
// The kernel evolve uses here: the widest that runs.
EvolveKernel evolveKernel();
// evolve with a given kernel, which must run here.
int64_t evolveWith(EvolveKernel kernel, const char *phrase, char *buf, unsigned char *correct, size_t n,
                   int64_t updatePeriod, FILE *display);
