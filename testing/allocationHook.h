// The allocator substitute of the module tests. A test executable that links
// suite_allocation_hook is linked with -Wl,--wrap for malloc, realloc and
// free, so every call that the modules make goes through here: while armed,
// the sizes asked for are recorded, chosen requests are refused with ENOMEM,
// and the calls are counted, so that allocation failures are reached for real
// and leaks show.
#pragma once

#include <cstddef>
#include <vector>

namespace allocation_hook {

// What was seen since the hook was armed.
struct Counts {
    int mallocs = 0;   // calls, the refused ones included
    int frees = 0;     // of non-null pointers
    int reallocs = 0;  // calls
    int live = 0;      // successful mallocs minus frees
};

// Starts recording; requests of `refuseFrom` bytes or more fail, and so do
// the next `refuseCount` requests of any size and the request numbered
// `refuseNumber` (counted from 1; 0 for none).
void arm(std::size_t refuseFrom = static_cast<std::size_t>(-1), int refuseCount = 0,
         int refuseNumber = 0);
// Stops recording and refusing; returns the sizes asked for while armed (the
// first 64 of them).
std::vector<std::size_t> disarm();
// The calls seen while the hook was last armed.
Counts counts();

}  // namespace allocation_hook
