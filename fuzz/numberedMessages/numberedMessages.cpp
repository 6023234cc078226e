// Fuzz target for the accessors that take a numbered message apart: the
// number of "(N) text" (-1 unless the text begins with '(', one to four
// decimal digits and ')'), and the text after the first ") " (the whole
// message when it has none). The move module's pair and the replacement
// module's pair must agree with a plain model and with each other.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "fuzzCheck.h"
#include "movefile.h"
#include "replaceFile.h"

namespace {

int modelNumber(const char *message) {
    if (message[0] != '(') return -1;
    size_t digits = 0;
    int number = 0;
    while (message[1 + digits] >= '0' && message[1 + digits] <= '9') {
        number = number * 10 + (message[1 + digits] - '0');
        if (++digits > 4) return -1;
    }
    if (digits == 0 || message[1 + digits] != ')') return -1;
    return number;
}

const char *modelString(const char *message) {
    for (const char *at = message; *at != '\0'; ++at)
        if (at[0] == ')' && at[1] == ' ') return at + 2;
    return message;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    // The message in a heap block of its exact size; a NUL in the input ends
    // it early, as it would any C string.
    char *message = static_cast<char *>(std::malloc(size + 1));
    std::memcpy(message, data, size);
    message[size] = '\0';

    const int number = modelNumber(message);
    FUZZ_CHECK(getMFErrorNumber(message) == number);
    FUZZ_CHECK(getRFErrorNumber(message) == number);
    const char *text = modelString(message);
    FUZZ_CHECK(getMFErrorString(message) == text);
    FUZZ_CHECK(getRFErrorString(message) == text);
    FUZZ_CHECK(getMFErrorNumber(nullptr) == -1);
    FUZZ_CHECK(getRFErrorNumber(nullptr) == -1);

    std::free(message);
    return 0;
}
