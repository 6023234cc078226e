// The check of every fuzz target: a result that breaks the rules is reported
// with its expression and line and aborts, which libFuzzer records as a crash
// and saves the input for.
#pragma once

#include <cstdio>
#include <cstdlib>

#define FUZZ_CHECK(expr)                                                               \
    ((expr) ? static_cast<void>(0)                                                     \
            : (std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE_NAME__, __LINE__, \
                            #expr),                                                    \
               std::abort()))
