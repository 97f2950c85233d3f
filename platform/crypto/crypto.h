// The platform's crypto service: random numbers, digests, MACs, symmetric ciphers, checksums, the
// Diffie-Hellman step and RSA key objects with PKCS#1 v1.5, each chosen by a numeric algorithm id.
//
// Byte order: RSA moduli, exponents, ciphertexts and signatures are least significant byte first;
// hashes, messages and symmetric data keep their natural order.
#pragma once

#include "platform/crypto/ciphers.h"
#include "platform/crypto/digests.h"
#include "tcs/result.h"

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

enum : uint32_t {
    // Digests (palCryptoDigest*) and RSA signature hashes (0-2 with their DigestInfo, 3 raw).
    PAL_CRYPTO_SHA256 = 0,
    PAL_CRYPTO_SHA1 = 1,
    PAL_CRYPTO_MD5 = 2,
    PAL_CRYPTO_HASH_RAW = 3,
    // MACs: 0 HMAC-SHA-256; 1 and 2 are accepted and do nothing.
    PAL_CRYPTO_HMAC_SHA256 = 0,
    // Ciphers.
    PAL_CRYPTO_AES_CBC = 5,
    PAL_CRYPTO_AES_CTR = 6,
    PAL_CRYPTO_DES_CBC = 10,
    // Checksums.
    PAL_CRYPTO_CRC32 = 11,
    PAL_CRYPTO_ADLER32 = 12,
};

// Key object attribute types (PKCS#11 numbering); values are held most significant byte first.
enum : uint32_t {
    PAL_CRYPTO_ATTR_PRIVATE_KEY_BLOB = 0x110,
    PAL_CRYPTO_ATTR_MODULUS = 0x120,
    PAL_CRYPTO_ATTR_PUBLIC_EXPONENT = 0x122,
    PAL_CRYPTO_ATTR_PRIVATE_EXPONENT = 0x123,
};

// Private-key blob: type 7, version 2, algorithm 0x2400, "RSA2", bit length, public exponent, then
// modulus, primes, exponents, coefficient and private exponent, least significant byte first.
enum : uint32_t {
    PAL_RSA_BLOB_SIZE_2048 = 1172,
    PAL_RSA_BLOB_MODULUS_OFFSET = 20,
    PAL_RSA_BLOB_PRIVATE_EXPONENT_OFFSET_2048 = 916,
    PAL_RSA_BLOB_PRIVATE_EXPONENT_OFFSET_1024 = 468,
    // The host key's blob as exported: the blob and 12 zero bytes (the size of its data slot).
    PAL_HOST_KEY_BLOB_DATA_SIZE = 1184,
};

typedef struct CryptoKeyObject CryptoKeyObject;
typedef struct DigestContext DigestContext;
typedef struct MacContext MacContext;

// Start-up seeds the random generator from the time and the operating system's random source.
TcsResult palCryptoInitialize(void);
TcsResult palCryptoUninitialize(void);

// n random bytes; 17 for a null buffer. When any byte after the first is non-zero on entry, the buffer
// (its last four bytes XORed with the time) first reseeds the generator. 54 when never seeded.
TcsResult palCryptoRng(uint8_t* buffer, uint32_t length);
TcsResult palCryptoAesKeyGen(uint8_t* key, uint32_t length);

// Digests: 54 for a null context, 6 for an unknown id, 2 without memory. Final writes the digest and
// its length (32, 20 or 16; out must hold 32) and frees the context.
TcsResult palCryptoDigestInit(DigestContext** context, uint32_t algorithm);
TcsResult palCryptoDigestUpdate(DigestContext* context, const uint8_t* data, uint32_t length);
TcsResult palCryptoDigestFinal(DigestContext* context, uint8_t* out, uint32_t* outLength);
TcsResult palCryptoDigestCtxDuplicate(DigestContext** out, const DigestContext* context);
// Init, update and final; an empty message gives 7 for SHA-1 and MD5 (their update refuses length 0).
TcsResult palCryptoDigest(const uint8_t* data, uint32_t length, uint8_t* out, uint32_t algorithm);

// MACs: 40 for null arguments. Id 0 is HMAC-SHA-256 (32 bytes out); ids 1 and 2 return 0 without a
// context; others 6. Final wipes and frees the context.
TcsResult palCryptoMACInit(MacContext** context, const uint8_t* key, uint32_t keyLength, uint32_t algorithm);
TcsResult palCryptoMACUpdate(MacContext* context, const uint8_t* data, uint32_t length);
TcsResult palCryptoMACFinal(MacContext* context, uint8_t* out, uint32_t* outLength);
TcsResult palCryptoMAC(const uint8_t* data, uint32_t length, const uint8_t* key, uint32_t keyLength, uint8_t* out,
                       uint32_t* outLength, uint32_t algorithm);

// Ciphers 5 AES-CBC (key 16/24/32, or 244 for a key schedule; IV updated), 6 AES-CTR (counter block
// updated, each call starts a fresh key-stream block), 10 DES-CBC (8-byte key, length a multiple of 8).
// outLength may be null. Others give 6; bad keys and null arguments 7 (40 for AES-CBC buffers).
TcsResult palCryptoEncrypt(const uint8_t* in, uint32_t length, uint8_t* out, uint32_t* outLength, const uint8_t* key,
                           uint32_t keyLength, uint8_t* iv, uint32_t algorithm);
TcsResult palCryptoDecrypt(const uint8_t* in, uint32_t length, uint8_t* out, uint32_t* outLength, const uint8_t* key,
                           uint32_t keyLength, uint8_t* iv, uint32_t algorithm);
// The AES encryption key schedule, to pass later with key length 244.
TcsResult palCryptoAesKeyDerive(const uint8_t* key, uint32_t keyLength, PalAesKeySchedule* schedule);

// 11 CRC-32, 12 Adler-32, others 6; a result passed back as start value continues the checksum.
TcsResult palCryptoChecksum(uint32_t start, uint32_t* out, const uint8_t* data, uint32_t length, uint32_t algorithm);

// out = base^exponent mod prime over 18-byte big-endian numbers; base and exponent are consumed.
TcsResult palCryptoCalculateDHPubKey(uint8_t* base, uint8_t* exponent, const uint8_t* prime, uint8_t* out);

// RSA key objects. A public key from a 4-byte exponent and a bits/8-byte modulus (1024 or 2048 bits);
// a private key from a 2048-bit private-key blob (its modulus and private exponent).
// palCryptoRsaCreatePublicKeyHandle takes exponent and modulus LEAST significant byte first (65537 is
// {0x01, 0x00, 0x01, 0x00}); it reverses them into the object's attributes, which are held most
// significant byte first. A modulus passed in its usual big-endian form makes a different key.
TcsResult palCryptoRsaCreatePublicKeyHandle(uint32_t bits, const uint8_t exponent[4], const uint8_t* modulus,
                                            CryptoKeyObject** key);
TcsResult palCryptoRsaCreatePrivateKeyHandle(uint32_t blobLength, const uint8_t* blob, CryptoKeyObject** key);
// Frees the object and clears the handle; always 0.
TcsResult palCryptoObjectDestroyHandle(CryptoKeyObject** key);

// PKCS#1 v1.5 type 2; *outLength holds the room (5 with the needed length when short) and becomes the
// modulus length.
TcsResult palCryptoRsaEncrypt(const uint8_t* message, uint32_t length, uint8_t* out, uint32_t* outLength,
                              const CryptoKeyObject* publicKey);
TcsResult palCryptoRsaDecrypt(const uint8_t* ciphertext, uint32_t length, uint8_t* out, uint32_t* outLength,
                              const CryptoKeyObject* privateKey);
// PKCS#1 v1.5 type 1 with the DigestInfo of the hash id (0 SHA-256, 1 SHA-1, 2 MD5, 3 raw).
TcsResult palCryptoRsaSign(const uint8_t* hash, uint32_t length, uint32_t hashId, uint8_t* out, uint32_t* outLength,
                           const CryptoKeyObject* privateKey);
// 0 when the signature holds, 7 for a malformed block, 54 for a mismatch. The signature is taken
// LEAST significant byte first (length bytes, the modulus length): one in the usual big-endian form
// must be reversed first, or every valid signature is refused. The hash keeps its natural order.
TcsResult palCryptoRsaVerify(const uint8_t* signature, uint32_t length, const uint8_t* hash, uint32_t hashLength,
                             uint32_t hashId, const CryptoKeyObject* publicKey);
// Needs a whole private-key blob attribute, which the create operations never add: 17 for their objects.
TcsResult palCryptoRsaExportPrivateKey(uint32_t* bits, uint8_t* privateExponent, uint8_t* modulus,
                                       const CryptoKeyObject* key);
// Produces no key pair (the handles are cleared); callers that find none use the built-in host key.
TcsResult palCryptoRsaGenerateKeypair(uint32_t bits, CryptoKeyObject** publicKey, CryptoKeyObject** privateKey);
// The built-in host key: its private-key blob and 12 zero bytes (*length holds the room, at least
// 1184, and becomes 1184), and its 256-byte modulus (room in modulusLength) with the bit length.
TcsResult palCryptoRsaExportPrivateKeyBlobData(const CryptoKeyObject* key, uint8_t* blob, uint32_t* length);
TcsResult palCryptoRsaExportPublicKey(uint32_t* bits, const CryptoKeyObject* key, uint8_t* modulus,
                                      uint32_t modulusLength);

// Not implemented on this platform: each returns 6 and does nothing.
TcsResult palCryptoProtectMemory(void* data, uint32_t length);
TcsResult palCryptoEccEllipticCurveSet(uint32_t curve);
TcsResult palCryptoEccEllipticCurveParamGet(uint32_t curve, uint8_t* parameters, uint32_t* length);
TcsResult palCryptoEccKeypairGenerate(CryptoKeyObject** publicKey, CryptoKeyObject** privateKey);
TcsResult palCryptoECDH(const CryptoKeyObject* privateKey, const uint8_t* peerKey, uint32_t peerLength,
                        uint8_t* secret, uint32_t* secretLength);
TcsResult palCryptoECDSASign(const uint8_t* hash, uint32_t length, uint8_t* signature, uint32_t* signatureLength,
                             const CryptoKeyObject* privateKey);
TcsResult palCryptoECDSAVerify(const uint8_t* signature, uint32_t signatureLength, const uint8_t* hash,
                               uint32_t length, const CryptoKeyObject* publicKey);
TcsResult palCryptoECCKeyImport(const uint8_t* data, uint32_t length, CryptoKeyObject** key);
TcsResult palCryptoECCKeyExport(const CryptoKeyObject* key, uint8_t* data, uint32_t* length);

// Self-test of RSA encryption and signing with the host key; prints one line per step.
TcsResult test_palCryptoRSA(void);

#ifdef __cplusplus
}
#endif
