// SHA-256 with an incremental interface: start a context, feed it bytes in
// pieces of any size, finish it into a 32-byte digest. The context is a plain
// record; a copy of it can be finished while the original goes on absorbing.
#pragma once

#include <cstdint>

struct sha256_ctx {
    uint32_t total[2];   // [0]: bytes absorbed mod 2^32; [1]: times [0] wrapped
    uint32_t state[8];   // chaining value
    uint8_t buffer[64];  // partial block; its first total[0] % 64 bytes are valid
};

static_assert(sizeof(sha256_ctx) == 104, "sha256_ctx is a plain record of fixed size");

extern char RCS_ID_SHA256[];

void sha256_starts(sha256_ctx *ctx);
void sha256_update(sha256_ctx *ctx, const uint8_t *input, uint32_t length);
void sha256_process(sha256_ctx *ctx, const uint8_t data[64]);
void sha256_finish(sha256_ctx *ctx, uint8_t digest[32]);

// 64 lower-case hexadecimal digits of a digest, or "(null)" for a null
// pointer, in a static buffer that the next call overwrites.
char *sha256_digest_to_string(const uint8_t *digest);
