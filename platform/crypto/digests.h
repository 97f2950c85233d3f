// Digest, MAC and checksum primitives: MD5 and SHA-1 (one context), SHA-256, HMAC-SHA-256, CRC-32, Adler-32.
#pragma once

#include "tcs/result.h"

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

enum : uint32_t { PAL_HASH_SHA1 = 1, PAL_HASH_MD5 = 2 };

// One layout for MD5 and SHA-1; MD5 uses four of the state words.
typedef struct PalHashContext {
    uint32_t state[5];
    uint32_t lengthLow;   // message length in bits, low word
    uint32_t lengthHigh;  // and high word
    uint8_t buffer[64];
    uint32_t selector;    // PAL_HASH_SHA1 or PAL_HASH_MD5
} PalHashContext;

// 7 for a null context or a selector other than 1 (SHA-1) and 2 (MD5).
TcsResult palHashInit(PalHashContext* context, uint32_t selector);
// A length of 0 is refused with 7.
TcsResult palHashUpdate(PalHashContext* context, const uint8_t* data, uint32_t length);
// Writes 20 (SHA-1) or 16 (MD5) bytes.
TcsResult palHashFinal(PalHashContext* context, uint8_t* out);

typedef struct PalSha256Context {
    uint32_t state[8];
    uint64_t bitLength;
    uint8_t buffer[64];
    uint32_t fill;
} PalSha256Context;

void SHA256_init(PalSha256Context* context);
void SHA256_update(PalSha256Context* context, const uint8_t* data, uint32_t length);
// Pads the message; SHA256_digest then writes the eight state words big-endian.
void SHA256_final(PalSha256Context* context);
void SHA256_digest(const PalSha256Context* context, uint8_t out[32]);

typedef struct PalHmacSha256State {
    PalSha256Context inner;
    PalSha256Context outer;
    uint8_t innerPad[64];  // key XOR 0x36
    uint8_t outerPad[64];  // key XOR 0x5C
} PalHmacSha256State;

void hmac_sha256_init(PalHmacSha256State* state, const uint8_t* key, uint32_t keyLength);
void hmac_sha256_update(PalHmacSha256State* state, const uint8_t* data, uint32_t length);
void hmac_sha256_final(PalHmacSha256State* state, uint8_t out[32]);

// Checksums continue from a start value: a result passed back as start value extends it over more
// data. CRC-32 with start 0 and Adler-32 with start 1 are the standard ones. A null out returns 0
// with nothing written; null data with a non-zero length gives 40.
TcsResult palCRC32(uint32_t start, uint32_t* out, const uint8_t* data, uint32_t length);
TcsResult palAdler32(uint32_t start, uint32_t* out, const uint8_t* data, uint32_t length);

#ifdef __cplusplus
}
#endif
