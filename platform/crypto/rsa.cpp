// RSA with PKCS#1 v1.5 over LibTomMath: plain modular exponentiation (no CRT), block encoding and
// decoding, signing and verification. Numbers are big-endian byte strings here.

#include "platform/crypto/rsa.h"

#include "platform/crypto/cpu_features.h"
#include "platform/crypto/crypto.h"

#include <string.h>

namespace {

using tov::crypto::wipe;

// Moduli up to 4096 bits; the system uses 1024 and 2048.
constexpr uint32_t kMaxModulusBytes = 512;
constexpr uint32_t kMinPadding = 8;

constexpr uint8_t kSha256Prefix[] = {0x30, 0x31, 0x30, 0x0d, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01,
                                     0x65, 0x03, 0x04, 0x02, 0x01, 0x05, 0x00, 0x04, 0x20};
constexpr uint8_t kSha1Prefix[] = {0x30, 0x21, 0x30, 0x09, 0x06, 0x05, 0x2b, 0x0e,
                                   0x03, 0x02, 0x1a, 0x05, 0x00, 0x04, 0x14};
constexpr uint8_t kMd5Prefix[] = {0x30, 0x20, 0x30, 0x0c, 0x06, 0x08, 0x2a, 0x86, 0x48,
                                  0x86, 0xf7, 0x0d, 0x02, 0x05, 0x05, 0x00, 0x04, 0x10};

struct Prefix {
    const uint8_t* bytes;
    uint32_t length;
};

bool digestInfo(uint32_t hashType, Prefix* prefix) {
    switch (hashType) {
    case PAL_RSA_HASH_SHA256: *prefix = {kSha256Prefix, sizeof kSha256Prefix}; return true;
    case PAL_RSA_HASH_SHA1: *prefix = {kSha1Prefix, sizeof kSha1Prefix}; return true;
    case PAL_RSA_HASH_MD5: *prefix = {kMd5Prefix, sizeof kMd5Prefix}; return true;
    case PAL_RSA_HASH_RAW: *prefix = {nullptr, 0}; return true;
    default: return false;
    }
}

uint32_t modulusBytes(const PalRsaContext* context) { return (context->modulusBits + 7) / 8; }

// Wipes the digits before LibTomMath frees them.
void clearNumber(mp_int* number) {
    if (number->dp != nullptr) wipe(number->dp, size_t(number->alloc) * sizeof(mp_digit));
    mp_clear(number);
}

TcsResult exponentiate(PalRsaContext* context, const mp_int* exponent, bool present, const uint8_t* in,
                       uint32_t length, uint8_t* out, uint32_t* outLength) {
    if (context == nullptr || in == nullptr || out == nullptr || outLength == nullptr) return TCS_RESULT_NULL_POINTER;
    if (!present) return TCS_RESULT_INVALID;
    const uint32_t k = modulusBytes(context);
    if (*outLength < k) {
        *outLength = k;
        return TCS_RESULT_BUFFER_TOO_SMALL;
    }
    mp_int x, y;
    if (mp_init_multi(&x, &y, nullptr) != MP_OKAY) return TCS_RESULT_INVALID;
    TcsResult rc = TCS_RESULT_INVALID;
    size_t size = 0;
    // An input at or above the modulus is no valid representative of anything.
    if (mp_from_ubin(&x, in, length) == MP_OKAY && mp_cmp(&x, &context->n) == MP_LT &&
        mp_exptmod(&x, exponent, &context->n, &y) == MP_OKAY && (size = mp_ubin_size(&y)) <= k) {
        memset(out, 0, k - size);
        size_t written = 0;
        if (mp_to_ubin(&y, out + (k - size), size, &written) == MP_OKAY) {
            *outLength = k;
            rc = TCS_RESULT_OK;
        }
    }
    clearNumber(&x);
    clearNumber(&y);
    return rc;
}

// Random non-zero padding bytes.
TcsResult randomPadding(uint8_t* out, uint32_t length) {
    if (length == 0) return TCS_RESULT_OK;
    memset(out, 0, length);  // a zero buffer draws without reseeding from its old contents
    TcsResult rc = palCryptoRng(out, length);
    for (uint32_t i = 0; i < length && rc == TCS_RESULT_OK; ++i) {
        while (out[i] == 0 && rc == TCS_RESULT_OK) rc = palCryptoRng(out + i, 1);
    }
    return rc;
}

bool sameBytes(const uint8_t* a, const uint8_t* b, uint32_t length) {
    uint8_t diff = 0;
    for (uint32_t i = 0; i < length; ++i) diff |= a[i] ^ b[i];
    return diff == 0;
}

// The type-1 block of k bytes holding prefix || hash; false when it does not fit.
bool signatureBlock(const Prefix& prefix, const uint8_t* hash, uint32_t length, uint32_t modulusBits, uint8_t* block) {
    uint8_t message[kMaxModulusBytes];
    const uint32_t k = (modulusBits + 7) / 8;
    if (uint64_t(prefix.length) + length + 11 > k) return false;
    if (prefix.length != 0) memcpy(message, prefix.bytes, prefix.length);
    if (length != 0) memcpy(message + prefix.length, hash, length);
    uint32_t blockLength = k;
    const bool ok =
        palPKCS1_1_5_encode(message, prefix.length + length, 1, modulusBits, block, &blockLength) == TCS_RESULT_OK;
    wipe(message, sizeof message);
    return ok;
}

}  // namespace

extern "C" {

TcsResult palRsaCryptoInit(PalRsaContext* context, const uint8_t* modulus, uint32_t modulusLength,
                           const uint8_t* publicExponent, uint32_t publicLength, const uint8_t* privateExponent,
                           uint32_t privateLength) {
    if (context == nullptr || modulus == nullptr || modulusLength == 0 ||
        (publicExponent == nullptr && privateExponent == nullptr)) {
        return TCS_RESULT_NULL_POINTER;
    }
    memset(context, 0, sizeof *context);
    if (mp_init_multi(&context->n, &context->e, &context->d, nullptr) != MP_OKAY) return TCS_RESULT_OUT_OF_MEMORY;
    context->modulusBits = 8 * modulusLength;
    bool ok = mp_from_ubin(&context->n, modulus, modulusLength) == MP_OKAY;
    if (ok && publicExponent != nullptr) {
        ok = mp_from_ubin(&context->e, publicExponent, publicLength) == MP_OKAY;
        context->hasPublicExponent = ok;
    }
    if (ok && privateExponent != nullptr) {
        ok = mp_from_ubin(&context->d, privateExponent, privateLength) == MP_OKAY;
        context->hasPrivateExponent = ok;
    }
    if (!ok || modulusLength > kMaxModulusBytes) {
        palRsaCryptoFree(context);
        return ok ? TCS_RESULT_BAD_PARAM : TCS_RESULT_OUT_OF_MEMORY;
    }
    return TCS_RESULT_OK;
}

void palRsaCryptoFree(PalRsaContext* context) {
    if (context == nullptr) return;
    clearNumber(&context->n);
    clearNumber(&context->e);
    clearNumber(&context->d);
    wipe(context, sizeof *context);
}

TcsResult palRsaPublicKeyOperation(PalRsaContext* context, const uint8_t* in, uint32_t length, uint8_t* out,
                                   uint32_t* outLength) {
    if (context == nullptr) return TCS_RESULT_NULL_POINTER;
    return exponentiate(context, &context->e, context->hasPublicExponent, in, length, out, outLength);
}

TcsResult palRsaPrivateKeyOperation(PalRsaContext* context, const uint8_t* in, uint32_t length, uint8_t* out,
                                    uint32_t* outLength) {
    if (context == nullptr) return TCS_RESULT_NULL_POINTER;
    return exponentiate(context, &context->d, context->hasPrivateExponent, in, length, out, outLength);
}

TcsResult palPKCS1_1_5_encode(const uint8_t* message, uint32_t length, uint32_t blockType, uint32_t modulusBits,
                              uint8_t* out, uint32_t* outLength) {
    if ((message == nullptr && length != 0) || out == nullptr || outLength == nullptr) return TCS_RESULT_NULL_POINTER;
    const uint32_t k = (modulusBits + 7) / 8;
    if (uint64_t(length) + 11 > k || (blockType != 1 && blockType != 2)) return TCS_RESULT_INVALID;
    if (*outLength < k) {
        *outLength = k;
        return TCS_RESULT_BUFFER_TOO_SMALL;
    }
    const uint32_t padding = k - 3 - length;
    if (length != 0) memmove(out + k - length, message, length);
    out[0] = 0x00;
    out[1] = uint8_t(blockType);
    if (blockType == 1) {
        memset(out + 2, 0xFF, padding);
    } else {
        const TcsResult rc = randomPadding(out + 2, padding);
        if (rc != TCS_RESULT_OK) return rc;
    }
    out[2 + padding] = 0x00;
    *outLength = k;
    return TCS_RESULT_OK;
}

TcsResult palPKCS1_1_5_decode(const uint8_t* block, uint32_t length, uint32_t blockType, uint32_t modulusBits,
                              uint8_t* out, uint32_t* outLength) {
    if (block == nullptr || out == nullptr || outLength == nullptr) return TCS_RESULT_NULL_POINTER;
    const uint32_t k = (modulusBits + 7) / 8;
    if (length > k || k < 11 || length < 11 || block[0] != 0x00 || block[1] != blockType) return TCS_RESULT_INVALID;
    uint32_t i = 2;
    if (blockType == 1) {
        while (i < length && block[i] == 0xFF) ++i;
        if (i == length || block[i] != 0x00) return TCS_RESULT_INVALID;
    } else if (blockType == 2) {
        while (i < length && block[i] != 0x00) ++i;
        if (i == length) return TCS_RESULT_INVALID;
    } else {
        return TCS_RESULT_INVALID;
    }
    if (i - 2 < kMinPadding) return TCS_RESULT_INVALID;
    const uint32_t messageLength = length - i - 1;
    if (*outLength < messageLength) {
        *outLength = messageLength;
        return TCS_RESULT_BUFFER_TOO_SMALL;
    }
    if (messageLength != 0) memcpy(out, block + i + 1, messageLength);
    *outLength = messageLength;
    return TCS_RESULT_OK;
}

TcsResult rsa_add_padding(const uint8_t* message, uint32_t length, uint32_t blockType, uint8_t* block, uint32_t k) {
    if ((message == nullptr && length != 0) || block == nullptr) return TCS_RESULT_NULL_POINTER;
    if (uint64_t(length) + 11 > k || (blockType != 1 && blockType != 2)) return TCS_RESULT_BAD_PARAM;
    const uint32_t padding = k - 3 - length;
    if (length != 0) memmove(block + k - length, message, length);
    block[0] = 0x00;
    block[1] = uint8_t(blockType);
    if (blockType == 1) {
        memset(block + 2, 0xFF, padding);
    } else {
        uint32_t filled = 0;
        uint8_t random[32];
        while (filled < padding) {
            memset(random, 0, sizeof random);
            const TcsResult rc = palCryptoRng(random, sizeof random);
            if (rc != TCS_RESULT_OK) {
                wipe(random, sizeof random);
                return rc;
            }
            for (uint32_t i = 0; i < sizeof random && filled < padding; ++i) {
                if (random[i] != 0) block[2 + filled++] = random[i];
            }
        }
        wipe(random, sizeof random);
    }
    block[2 + padding] = 0x00;
    return TCS_RESULT_OK;
}

TcsResult rsa_strip_padding(const uint8_t* block, uint32_t k, uint8_t* out, uint32_t* outLength) {
    if (block == nullptr || out == nullptr || outLength == nullptr) return TCS_RESULT_NULL_POINTER;
    uint32_t i = 2;
    while (i < k && block[i] != 0x00) ++i;
    if (i >= k) return TCS_RESULT_BAD_PARAM;
    const uint32_t messageLength = k - i - 1;
    if (messageLength > *outLength) return TCS_RESULT_BAD_PARAM;
    if (messageLength != 0) memcpy(out, block + i + 1, messageLength);
    *outLength = messageLength;
    return TCS_RESULT_OK;
}

TcsResult palRsaEncrypt(PalRsaContext* context, uint32_t keySelector, uint32_t blockType, const uint8_t* message,
                        uint32_t length, uint8_t* out, uint32_t* outLength) {
    if (context == nullptr) return TCS_RESULT_NULL_POINTER;
    if (keySelector > 1) return TCS_RESULT_INVALID;
    uint8_t block[kMaxModulusBytes];
    uint32_t blockLength = sizeof block;
    TcsResult rc = palPKCS1_1_5_encode(message, length, blockType, context->modulusBits, block, &blockLength);
    if (rc == TCS_RESULT_OK) {
        rc = keySelector == 0 ? palRsaPublicKeyOperation(context, block, blockLength, out, outLength)
                              : palRsaPrivateKeyOperation(context, block, blockLength, out, outLength);
    }
    wipe(block, sizeof block);
    return rc;
}

TcsResult palRsaDecrypt(PalRsaContext* context, uint32_t keySelector, uint32_t blockType, const uint8_t* in,
                        uint32_t length, uint8_t* out, uint32_t* outLength) {
    if (context == nullptr) return TCS_RESULT_NULL_POINTER;
    if (keySelector > 1) return TCS_RESULT_INVALID;
    uint8_t block[kMaxModulusBytes];
    uint32_t blockLength = sizeof block;
    TcsResult rc = keySelector == 0 ? palRsaPublicKeyOperation(context, in, length, block, &blockLength)
                                    : palRsaPrivateKeyOperation(context, in, length, block, &blockLength);
    if (rc == TCS_RESULT_OK) rc = palPKCS1_1_5_decode(block, blockLength, blockType, context->modulusBits, out, outLength);
    wipe(block, sizeof block);
    return rc;
}

TcsResult palRsaSign(PalRsaContext* context, uint32_t hashType, const uint8_t* hash, uint32_t length, uint8_t* out,
                     uint32_t* outLength) {
    if (context == nullptr || hash == nullptr || out == nullptr || outLength == nullptr) return TCS_RESULT_NULL_POINTER;
    Prefix prefix;
    if (!digestInfo(hashType, &prefix)) return TCS_RESULT_INVALID;
    uint8_t block[kMaxModulusBytes];
    TcsResult rc = TCS_RESULT_INVALID;
    if (modulusBytes(context) <= kMaxModulusBytes &&
        signatureBlock(prefix, hash, length, context->modulusBits, block)) {
        rc = palRsaPrivateKeyOperation(context, block, modulusBytes(context), out, outLength);
    }
    wipe(block, sizeof block);
    return rc;
}

TcsResult palRsaVerify(PalRsaContext* context, uint32_t hashType, const uint8_t* hash, uint32_t length,
                       const uint8_t* signature, uint32_t signatureLength) {
    if (context == nullptr || hash == nullptr || signature == nullptr) return TCS_RESULT_NULL_POINTER;
    Prefix prefix;
    if (!digestInfo(hashType, &prefix)) return TCS_RESULT_INVALID;
    const uint32_t k = modulusBytes(context);
    if (k > kMaxModulusBytes || k < 11 || signatureLength > k) return TCS_RESULT_INVALID;
    uint8_t block[kMaxModulusBytes] = {};
    uint32_t blockLength = k;
    TcsResult rc = palRsaPublicKeyOperation(context, signature, signatureLength, block, &blockLength);
    if (rc != TCS_RESULT_OK) return rc;
    // A well-formed type-1 block: 00 01, at least eight FF, 00.
    uint32_t i = 2;
    while (i < k && block[i] == 0xFF) ++i;
    if (block[0] != 0x00 || block[1] != 0x01 || i == k || block[i] != 0x00 || i - 2 < kMinPadding) {
        return TCS_RESULT_INVALID;
    }
    // Skipping the block type and any run of FF, and comparing only the bytes after the separator,
    // let a block with junk before the hash or after it pass. The expected block is rebuilt whole
    // instead and all k bytes compared: with the DigestInfo prefix, or for SHA-256 also the bare hash.
    uint8_t expected[kMaxModulusBytes];
    bool match = signatureBlock(prefix, hash, length, context->modulusBits, expected) && sameBytes(block, expected, k);
    if (!match && hashType == PAL_RSA_HASH_SHA256) {
        match = signatureBlock(Prefix{nullptr, 0}, hash, length, context->modulusBits, expected) &&
                sameBytes(block, expected, k);
    }
    return match ? TCS_RESULT_OK : TCS_RESULT_ERROR;
}

}  // extern "C"
