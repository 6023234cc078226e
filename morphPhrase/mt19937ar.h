// MT19937, the Mersenne Twister of period 2^19937 - 1, with the seeding,
// generation, tempering and derived outputs of its published reference form,
// plus mt19937ar_words and mt19937ar_bytes to fill a buffer with draws. One
// generator per process.
#pragma once

#include <cstddef>
#include <cstdint>

extern char RCS_ID_MT19937AR[];

void init_genrand(uint32_t s);
// key_length must be at least 1.
void init_by_array(const uint32_t init_key[], int key_length);

uint32_t genrand_int32();   // [0, 2^32 - 1]
uint32_t genrand_int31();   // [0, 2^31 - 1]
double genrand_real1();     // [0, 1]
double genrand_real2();     // [0, 1)
double genrand_real3();     // (0, 1)
double genrand_res53();     // [0, 1) with 53-bit resolution, two draws

// Fills dst with the next n draws: the words that n calls of genrand_int32
// would return, tempered a block at a time.
void mt19937ar_words(uint32_t *dst, size_t n);

// Fills n bytes with draws, each word least significant byte first; a final
// part word gives its low-order bytes. Returns 0, or -1 with errno = EINVAL
// when dst is null.
int mt19937ar_bytes(void *dst, size_t n);
