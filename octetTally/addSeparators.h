// Digit grouping: inserts a separator character into the text of a number,
// counting groups from the right, so that 1234567 reads 1,234,567.
#pragma once

#include <cstddef>
#include <cstdint>

// Groups the NUL-terminated text in place. A leading '-' or '+' stays where it
// is; every other character counts as a digit. `size` is the size of the
// buffer that holds the text; 0 asks for the size needed instead. Returns 0
// (or the size needed), or -1 with errno set to EINVAL (null text, group size
// below 1) or ENOMEM (the grouped text would not fit; the text is unchanged).
int64_t addSeparators(char *text, size_t size, int separator, int groupSize);

// As addSeparators, but only the part before the first `decimalPoint` is
// grouped; the fraction is kept as it is.
int addSeparatorsDecimal(char *text, size_t size, int decimalPoint, int separator,
                         int groupSize);

// Format a value grouped with ',' in threes into a static buffer of the
// routine's own, overwritten by its next call.
char *addSepsInt64(int64_t value);
char *addSepsUint64(uint64_t value);
// `places` must be 0 to 17; otherwise the result is a message saying so,
// beginning with the alert character.
char *addSepsDbl(double value, int places);
