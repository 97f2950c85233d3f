// Number-based primitives: RSA with PKCS#1 v1.5 over LibTomMath, the 144-bit Diffie-Hellman step and
// the SHA-1 based random generator. Numbers here are big-endian byte strings.
#pragma once

#include "tcs/result.h"

#include <stdint.h>
#include <tommath.h>

#ifdef __cplusplus
extern "C" {
#endif

// Hash types of this layer (the crypto interface's ids 0-3 plus one).
enum : uint32_t { PAL_RSA_HASH_SHA256 = 1, PAL_RSA_HASH_SHA1 = 2, PAL_RSA_HASH_MD5 = 3, PAL_RSA_HASH_RAW = 4 };

typedef struct PalRsaContext {
    uint32_t modulusBits;  // 8 x modulus bytes
    mp_int n;
    mp_int e;
    mp_int d;
    uint32_t hasPublicExponent;
    uint32_t hasPrivateExponent;
} PalRsaContext;

// 40 when the context or modulus is missing or both exponents are; 2 when a number cannot be made.
TcsResult palRsaCryptoInit(PalRsaContext* context, const uint8_t* modulus, uint32_t modulusLength,
                           const uint8_t* publicExponent, uint32_t publicLength, const uint8_t* privateExponent,
                           uint32_t privateLength);
// Clears the numbers and wipes the context.
void palRsaCryptoFree(PalRsaContext* context);

// out = in^e (public) or in^d (private) mod n, written as k = modulus bytes, left-padded with zeros.
// *outLength holds the room in out (5 with the needed k when it is smaller) and becomes k. 40 for
// null arguments; 7 when the exponent is absent, the input is not below the modulus or the
// exponentiation fails.
TcsResult palRsaPublicKeyOperation(PalRsaContext* context, const uint8_t* in, uint32_t length, uint8_t* out,
                                   uint32_t* outLength);
TcsResult palRsaPrivateKeyOperation(PalRsaContext* context, const uint8_t* in, uint32_t length, uint8_t* out,
                                    uint32_t* outLength);

// PKCS#1 v1.5 blocks of k = ceil(modulusBits / 8) bytes. Encode: 7 when length + 11 > k or the block
// type is not 1 or 2, 5 when *outLength < k (set to k). Decode: 7 for a malformed block, 5 when the
// message does not fit (*outLength set to its length).
TcsResult palPKCS1_1_5_encode(const uint8_t* message, uint32_t length, uint32_t blockType, uint32_t modulusBits,
                              uint8_t* out, uint32_t* outLength);
TcsResult palPKCS1_1_5_decode(const uint8_t* block, uint32_t length, uint32_t blockType, uint32_t modulusBits,
                              uint8_t* out, uint32_t* outLength);
// The older pair of block builders: a k-byte block of type 1 or 2 (17 when the message does not fit or
// the type is unknown); stripping returns what follows the first zero byte from the third byte on
// (17 when there is none or it does not fit; *outLength holds the room and becomes the length).
TcsResult rsa_add_padding(const uint8_t* message, uint32_t length, uint32_t blockType, uint8_t* block, uint32_t k);
TcsResult rsa_strip_padding(const uint8_t* block, uint32_t k, uint8_t* out, uint32_t* outLength);

// Key selector 0 public, 1 private (7 otherwise).
TcsResult palRsaEncrypt(PalRsaContext* context, uint32_t keySelector, uint32_t blockType, const uint8_t* message,
                        uint32_t length, uint8_t* out, uint32_t* outLength);
TcsResult palRsaDecrypt(PalRsaContext* context, uint32_t keySelector, uint32_t blockType, const uint8_t* in,
                        uint32_t length, uint8_t* out, uint32_t* outLength);
// Block type 1 with the DigestInfo of the hash type (none for raw), private operation.
TcsResult palRsaSign(PalRsaContext* context, uint32_t hashType, const uint8_t* hash, uint32_t length, uint8_t* out,
                     uint32_t* outLength);
// 0 valid, 7 malformed block, 54 hash or prefix mismatch.
TcsResult palRsaVerify(PalRsaContext* context, uint32_t hashType, const uint8_t* hash, uint32_t length,
                       const uint8_t* signature, uint32_t signatureLength);

enum : uint32_t { PAL_DH_NUMBER_SIZE = 18 };

// result = base^exponent mod modulus over 18-byte numbers; base and exponent are consumed.
void palDHCalculateExp(uint8_t base[18], uint8_t exponent[18], const uint8_t modulus[18], uint8_t result[18]);
// a = a x b mod m.
void palDH_mod(uint8_t a[18], const uint8_t b[18], const uint8_t m[18]);

// The process's one random generator: 20 bytes XKEY and a seeded flag.
typedef struct PRNGCtx {
    uint8_t xkey[20];
    uint32_t seeded;
} PRNGCtx;

// Mixes the seed into the state (the first min(n, 20) seed bytes are XORed with XKEY in place, then
// XKEY = SHA-1 of the n seed bytes). 7 for a null seed or n = 0.
TcsResult palPRNGContextInit(uint8_t* seed, uint32_t length);
// 7 for a null out or n = 0, 54 before the first seeding.
TcsResult palPRNGRandomGenerate(uint8_t* out, uint32_t length);
// Wipes XKEY and clears the seeded flag.
void palPRNGContextUninit(void);
// out = a + b over words (first word least significant), final carry dropped.
void palPRNGMathSum(const uint32_t* a, const uint32_t* b, uint32_t words, uint32_t* out);
// number += value over words.
void palPRNGMathSum_q(uint32_t value, uint32_t* number, uint32_t words);

#ifdef __cplusplus
}

#include <mutex>

namespace tov::crypto {
// The generator's lock. Recursive, so that palCryptoRng can hold it across a reseed and the draw
// after it while both take it again inside.
std::recursive_mutex& prngLock();
}  // namespace tov::crypto
#endif
