// See allocationHook.h.
#include "allocationHook.h"

#include <cerrno>
#include <cstdlib>

extern "C" void *__real_malloc(size_t size);
extern "C" void *__wrap_malloc(size_t size);

namespace {

bool armed = false;
size_t refuseFromSize = static_cast<size_t>(-1);
int refuseNext = 0;
// A fixed record, so that recording never allocates.
size_t sizes[64];
size_t sizeCount = 0;

}  // namespace

extern "C" void *__wrap_malloc(size_t size) {
    if (armed) {
        if (sizeCount < sizeof sizes / sizeof sizes[0]) sizes[sizeCount++] = size;
        if (refuseNext > 0 || size >= refuseFromSize) {
            if (refuseNext > 0) --refuseNext;
            errno = ENOMEM;
            return nullptr;
        }
    }
    return __real_malloc(size);
}

namespace allocation_hook {

void arm(size_t refuseFrom, int refuseCount) {
    refuseFromSize = refuseFrom;
    refuseNext = refuseCount;
    sizeCount = 0;
    armed = true;
}

std::vector<size_t> disarm() {
    armed = false;
    return std::vector<size_t>(sizes, sizes + sizeCount);
}

}  // namespace allocation_hook
