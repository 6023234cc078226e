// SHA-256 (FIPS 180-2). Full 64-byte blocks are compressed straight from the
// caller's input; only a block completed from earlier bytes and the trailing
// remainder pass through the context's buffer.
#include "sha256.h"

#include <cstring>

char RCS_ID_SHA256[] = "$Id: sha256.c,v 1.10 2022-08-22 14:02:11-04 devteam Exp $";

namespace {

const uint8_t sha256_padding[64] = {0x80};

char string_output[129];

// The first 32 bits of the fractional parts of the cube roots of the first
// 64 primes.
const uint32_t roundConstants[64] = {
    0x428A2F98, 0x71374491, 0xB5C0FBCF, 0xE9B5DBA5, 0x3956C25B, 0x59F111F1, 0x923F82A4, 0xAB1C5ED5,
    0xD807AA98, 0x12835B01, 0x243185BE, 0x550C7DC3, 0x72BE5D74, 0x80DEB1FE, 0x9BDC06A7, 0xC19BF174,
    0xE49B69C1, 0xEFBE4786, 0x0FC19DC6, 0x240CA1CC, 0x2DE92C6F, 0x4A7484AA, 0x5CB0A9DC, 0x76F988DA,
    0x983E5152, 0xA831C66D, 0xB00327C8, 0xBF597FC7, 0xC6E00BF3, 0xD5A79147, 0x06CA6351, 0x14292967,
    0x27B70A85, 0x2E1B2138, 0x4D2C6DFC, 0x53380D13, 0x650A7354, 0x766A0ABB, 0x81C2C92E, 0x92722C85,
    0xA2BFE8A1, 0xA81A664B, 0xC24B8B70, 0xC76C51A3, 0xD192E819, 0xD6990624, 0xF40E3585, 0x106AA070,
    0x19A4C116, 0x1E376C08, 0x2748774C, 0x34B0BCB5, 0x391C0CB3, 0x4ED8AA4A, 0x5B9CCA4F, 0x682E6FF3,
    0x748F82EE, 0x78A5636F, 0x84C87814, 0x8CC70208, 0x90BEFFFA, 0xA4506CEB, 0xBEF9A3F7, 0xC67178F2,
};

// H(0): the first 32 bits of the fractional parts of the square roots of the
// first eight primes.
const uint32_t initialHash[8] = {
    0x6A09E667, 0xBB67AE85, 0x3C6EF372, 0xA54FF53A, 0x510E527F, 0x9B05688C, 0x1F83D9AB, 0x5BE0CD19,
};

inline uint32_t rotr(uint32_t x, unsigned n) { return (x >> n) | (x << (32 - n)); }

inline uint32_t loadBigEndian(const uint8_t *p) {
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | uint32_t{p[3]};
}

inline void storeBigEndian(uint8_t *p, uint32_t v) {
    p[0] = uint8_t(v >> 24);
    p[1] = uint8_t(v >> 16);
    p[2] = uint8_t(v >> 8);
    p[3] = uint8_t(v);
}

}  // namespace

void sha256_starts(sha256_ctx *ctx) {
    ctx->total[0] = 0;
    ctx->total[1] = 0;
    std::memcpy(ctx->state, initialHash, sizeof initialHash);
}

void sha256_process(sha256_ctx *ctx, const uint8_t data[64]) {
    uint32_t w[64];
    for (int t = 0; t < 16; ++t) w[t] = loadBigEndian(data + 4 * t);
    for (int t = 16; t < 64; ++t) {
        uint32_t s0 = rotr(w[t - 15], 7) ^ rotr(w[t - 15], 18) ^ (w[t - 15] >> 3);
        uint32_t s1 = rotr(w[t - 2], 17) ^ rotr(w[t - 2], 19) ^ (w[t - 2] >> 10);
        w[t] = w[t - 16] + s0 + w[t - 7] + s1;
    }
    uint32_t a = ctx->state[0], b = ctx->state[1], c = ctx->state[2], d = ctx->state[3];
    uint32_t e = ctx->state[4], f = ctx->state[5], g = ctx->state[6], h = ctx->state[7];
    for (int t = 0; t < 64; ++t) {
        uint32_t sum1 = rotr(e, 6) ^ rotr(e, 11) ^ rotr(e, 25);
        uint32_t choose = (e & f) ^ (~e & g);
        uint32_t t1 = h + sum1 + choose + roundConstants[t] + w[t];
        uint32_t sum0 = rotr(a, 2) ^ rotr(a, 13) ^ rotr(a, 22);
        uint32_t majority = (a & b) ^ (a & c) ^ (b & c);
        uint32_t t2 = sum0 + majority;
        h = g;
        g = f;
        f = e;
        e = d + t1;
        d = c;
        c = b;
        b = a;
        a = t1 + t2;
    }
    ctx->state[0] += a;
    ctx->state[1] += b;
    ctx->state[2] += c;
    ctx->state[3] += d;
    ctx->state[4] += e;
    ctx->state[5] += f;
    ctx->state[6] += g;
    ctx->state[7] += h;
}

void sha256_update(sha256_ctx *ctx, const uint8_t *input, uint32_t length) {
    if (length == 0) return;
    uint32_t left = ctx->total[0] & 0x3F;
    ctx->total[0] += length;
    if (ctx->total[0] < length) ++ctx->total[1];

    if (left != 0 && length >= 64 - left) {
        uint32_t fill = 64 - left;
        std::memcpy(ctx->buffer + left, input, fill);
        sha256_process(ctx, ctx->buffer);
        input += fill;
        length -= fill;
        left = 0;
    }
    while (length >= 64) {
        sha256_process(ctx, input);
        input += 64;
        length -= 64;
    }
    if (length > 0) std::memcpy(ctx->buffer + left, input, length);
}

void sha256_finish(sha256_ctx *ctx, uint8_t digest[32]) {
    uint8_t lengthBytes[8];
    storeBigEndian(lengthBytes, (ctx->total[1] << 3) | (ctx->total[0] >> 29));
    storeBigEndian(lengthBytes + 4, ctx->total[0] << 3);

    uint32_t last = ctx->total[0] & 0x3F;
    sha256_update(ctx, sha256_padding, last < 56 ? 56 - last : 120 - last);
    sha256_update(ctx, lengthBytes, 8);

    for (int i = 0; i < 8; ++i) storeBigEndian(digest + 4 * i, ctx->state[i]);
}

char *sha256_digest_to_string(const uint8_t *digest) {
    if (digest == nullptr) {
        std::strcpy(string_output, "(null)");
        return string_output;
    }
    static const char hexDigits[] = "0123456789abcdef";
    for (int i = 0; i < 32; ++i) {
        string_output[2 * i] = hexDigits[digest[i] >> 4];
        string_output[2 * i + 1] = hexDigits[digest[i] & 0x0F];
    }
    string_output[64] = '\0';
    return string_output;
}
