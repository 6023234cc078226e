// The test executable links with -Wl,--wrap=malloc: every malloc call made by
// the modules goes through this hook, which records the sizes asked for and
// can refuse requests, so that allocation failures are reached for real.
#pragma once

#include <cstddef>
#include <vector>

namespace allocation_hook {

// Starts recording; requests of `refuseFrom` bytes or more fail, and so do
// the next `refuseCount` requests of any size.
void arm(size_t refuseFrom = static_cast<size_t>(-1), int refuseCount = 0);
// Stops recording and refusing; returns the sizes asked for while armed.
std::vector<size_t> disarm();

}  // namespace allocation_hook
