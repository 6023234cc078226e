// See allocationHook.h.
#include "allocationHook.h"

#include <cerrno>
#include <cstdlib>

extern "C" {
void *__real_malloc(std::size_t size);
void *__real_realloc(void *p, std::size_t size);
void __real_free(void *p);
void *__wrap_malloc(std::size_t size);
void *__wrap_realloc(void *p, std::size_t size);
void __wrap_free(void *p);
}

namespace {

bool armed = false;
std::size_t refuseFromSize = static_cast<std::size_t>(-1);
int refuseNext = 0;
int refuseAt = 0;
allocation_hook::Counts seen;
// A fixed record, so that recording never allocates.
std::size_t sizes[64];
std::size_t sizeCount = 0;

}  // namespace

extern "C" void *__wrap_malloc(std::size_t size) {
    if (!armed) return __real_malloc(size);
    ++seen.mallocs;
    if (sizeCount < sizeof sizes / sizeof sizes[0]) sizes[sizeCount++] = size;
    if (refuseNext > 0 || size >= refuseFromSize || seen.mallocs == refuseAt) {
        if (refuseNext > 0) --refuseNext;
        errno = ENOMEM;
        return nullptr;
    }
    void *p = __real_malloc(size);
    if (p != nullptr) ++seen.live;
    return p;
}

extern "C" void *__wrap_realloc(void *p, std::size_t size) {
    if (armed) ++seen.reallocs;
    return __real_realloc(p, size);
}

extern "C" void __wrap_free(void *p) {
    if (armed && p != nullptr) {
        ++seen.frees;
        --seen.live;
    }
    __real_free(p);
}

namespace allocation_hook {

void arm(std::size_t refuseFrom, int refuseCount, int refuseNumber) {
    refuseFromSize = refuseFrom;
    refuseNext = refuseCount;
    refuseAt = refuseNumber;
    seen = Counts{};
    sizeCount = 0;
    armed = true;
}

std::vector<std::size_t> disarm() {
    armed = false;
    return std::vector<std::size_t>(sizes, sizes + sizeCount);
}

Counts counts() { return seen; }

}  // namespace allocation_hook
