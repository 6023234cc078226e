// The one guard of the processor-specific kernels. SUITE_X86_64_KERNELS is 1
// where this build can carry x86-64 vector kernels, chosen at run time by the
// processor's features; elsewhere it is 0 and every tool builds its portable
// kernels alone. Code behind the guard may use target attributes, intrinsics
// and __builtin_cpu_supports; code outside it uses none of them.
#pragma once

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define SUITE_X86_64_KERNELS 1
#else
#define SUITE_X86_64_KERNELS 0
#endif
