// Fuzz target for the sort. The input chooses the element width (1 to 40),
// the comparison function and the keys: one key a byte, or runs described by
// length and shape, so that the run stack and the galloping merges see
// whatever patterns of run lengths the fuzzer finds. Whatever the comparison
// function, no element may be lost or duplicated and nothing outside the
// array may be touched; with a consistent one the result must be exactly
// what std::stable_sort gives.
//
// Each element holds its 16-bit key in its first two bytes (one byte at
// width 1), then its index, then filler, so that equal keys remain
// distinguishable and their order shows whether the sort was stable.
#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <numeric>
#include <vector>

#include "fuzzCheck.h"
#include "timsort.h"

namespace {

constexpr size_t kMaxElements = 20000;

size_t width;
unsigned keyShift;
uint64_t randomState;
size_t calls;

unsigned keyOf(const void *element) {
    const auto *bytes = static_cast<const unsigned char *>(element);
    return width == 1 ? bytes[0] : (static_cast<unsigned>(bytes[0]) << 8 | bytes[1]);
}

// Consistent: the key's difference.
int byKey(const void *a, const void *b) {
    ++calls;
    return static_cast<int>(keyOf(a)) - static_cast<int>(keyOf(b));
}

// Consistent: a coarser key (many equal elements), answered with the
// extreme values of int, which only their sign may be taken for.
int byCoarseKey(const void *a, const void *b) {
    ++calls;
    const unsigned ka = keyOf(a) >> keyShift;
    const unsigned kb = keyOf(b) >> keyShift;
    return ka < kb ? INT_MIN : ka > kb ? INT_MAX : 0;
}

// Inconsistent: answers at random, -1, 0, 1 or 2.
int atRandom(const void *, const void *) {
    ++calls;
    randomState = randomState * 6364136223846793005u + 1442695040888963407u;
    return static_cast<int>(randomState >> 62) - 1;
}

// Inconsistent: antisymmetric but not transitive, keys ordered in a circle
// of three.
int inACircle(const void *a, const void *b) {
    ++calls;
    const unsigned d = (keyOf(a) + 3 - keyOf(b) % 3) % 3;
    return d == 0 ? 0 : d == 1 ? 1 : -1;
}

void put(std::vector<unsigned char> &array, size_t i, unsigned key) {
    unsigned char *element = array.data() + i * width;
    if (width == 1) {
        element[0] = static_cast<unsigned char>(key);
        return;
    }
    element[0] = static_cast<unsigned char>(key >> 8);
    element[1] = static_cast<unsigned char>(key);
    for (size_t j = 2; j < width; ++j)
        element[j] = static_cast<unsigned char>(j < 6 ? i >> (8 * (j - 2)) : i * 131 + j);
}

// Runs: two bytes each, a length (1 to 128, times 32 with the high bit) and
// a shape (ascending, strictly descending, constant or random keys, a step
// and a starting key).
std::vector<unsigned char> runsFrom(const uint8_t *data, size_t size) {
    std::vector<unsigned> keys;
    for (size_t at = 0; at + 1 < size && keys.size() < kMaxElements; at += 2) {
        size_t length = (data[at] & 0x7fu) + 1;
        if (data[at] & 0x80u) length *= 32;
        length = std::min(length, kMaxElements - keys.size());
        const unsigned shape = data[at + 1];
        const unsigned step = (shape >> 2) & 3;
        const unsigned start = (shape & 0xf0u) << 8;
        for (size_t i = 0; i < length; ++i) {
            switch (shape & 3) {
            case 0: keys.push_back(start + static_cast<unsigned>(i) * step); break;
            case 1: keys.push_back(start + static_cast<unsigned>(length - i) * (step + 1)); break;
            case 2: keys.push_back(start); break;
            default:
                randomState = randomState * 6364136223846793005u + 1442695040888963407u;
                keys.push_back(static_cast<unsigned>(randomState >> 48));
            }
        }
    }
    std::vector<unsigned char> array(keys.size() * width);
    for (size_t i = 0; i < keys.size(); ++i) put(array, i, keys[i] & 0xffffu);
    return array;
}

std::vector<unsigned char> bytesFrom(const uint8_t *data, size_t size) {
    std::vector<unsigned char> array(size * width);
    for (size_t i = 0; i < size; ++i) put(array, i, data[i] * 257u);
    return array;
}

// An order-blind fingerprint of the elements: two sums of a strong 64-bit
// hash of each element's bytes. Losing one element and duplicating another
// changes both sums unless the two elements collide in both hashes.
struct Fingerprint {
    uint64_t first = 0, second = 0;
    bool operator==(const Fingerprint &) const = default;
};

uint64_t mix(uint64_t h) {
    h ^= h >> 30;
    h *= 0xbf58476d1ce4e5b9u;
    h ^= h >> 27;
    h *= 0x94d049bb133111ebu;
    return h ^ (h >> 31);
}

Fingerprint fingerprint(const unsigned char *array, size_t n) {
    Fingerprint f;
    for (size_t i = 0; i < n; ++i) {
        uint64_t h1 = 0x9e3779b97f4a7c15u, h2 = 0x2545f4914f6cdd1du;
        for (size_t j = 0; j < width; ++j) {
            h1 = mix(h1 ^ array[i * width + j]);
            h2 = mix(h2 + array[i * width + j]);
        }
        f.first += h1;
        f.second += h2;
    }
    return f;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 3) return 0;
    width = data[0] % 40 + 1;
    const unsigned flags = data[1];
    keyShift = (flags >> 4) & 7;
    randomState = data[2];
    int (*const compare[])(const void *, const void *) = {byKey, byCoarseKey, atRandom, inACircle};
    int (*const c)(const void *, const void *) = compare[flags & 3];
    const bool consistent = (flags & 3) < 2;
    // An array that starts one byte into its block, after a guard byte, so
    // that no alignment can be relied on.
    const size_t offset = (flags & 8) ? 1 : 0;

    const std::vector<unsigned char> input =
        (flags & 4) ? runsFrom(data + 3, size - 3) : bytesFrom(data + 3, size - 3);
    const size_t n = input.size() / width;

    // The array in a heap block of exactly its size, so that a write or read
    // past its end is caught; no elements and the high bit give a null array.
    unsigned char *block = nullptr;
    if (n > 0 || !(flags & 0x80)) {
        block = static_cast<unsigned char *>(std::malloc(offset + input.size()));
        if (offset) block[0] = 0xA5;
        if (!input.empty()) std::memcpy(block + offset, input.data(), input.size());
    }
    unsigned char *array = block ? block + offset : nullptr;

    calls = 0;
    errno = 0;
    const int result = timsort(array, n, width, c);
    if (n < 2) FUZZ_CHECK(calls == 0);
    if (block && offset) FUZZ_CHECK(block[0] == 0xA5);
    if (consistent) {
        FUZZ_CHECK(result == 0);
        std::vector<size_t> order(n);
        std::iota(order.begin(), order.end(), size_t{0});
        std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) {
            return c(input.data() + a * width, input.data() + b * width) < 0;
        });
        for (size_t i = 0; i < n; ++i)
            FUZZ_CHECK(std::memcmp(array + i * width, input.data() + order[i] * width, width) == 0);
    } else {
        FUZZ_CHECK(result == 0 || (result == -1 && errno == EINVAL));
        FUZZ_CHECK(fingerprint(array, n) == fingerprint(input.data(), n));
    }
    std::free(block);
    return 0;
}
