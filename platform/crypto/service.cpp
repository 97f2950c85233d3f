// The crypto service's start-up, random numbers, digests, MACs, ciphers, checksums and Diffie-Hellman
// entry: algorithm ids mapped onto the primitives.

#include "platform/crypto/crypto.h"

#include "platform/clock.h"
#include "platform/crypto/cpu_features.h"
#include "platform/crypto/rsa.h"
#include "platform/memory.h"

#include <errno.h>
#include <string.h>
#include <sys/random.h>

struct DigestContext {
    uint32_t algorithm;
    union {
        PalSha256Context sha256;
        PalHashContext hash;  // SHA-1 and MD5
    };
};

struct MacContext {
    uint32_t algorithm;
    PalHmacSha256State hmac;
};

namespace {

using tov::crypto::wipe;

bool knownDigest(uint32_t algorithm) {
    return algorithm == PAL_CRYPTO_SHA256 || algorithm == PAL_CRYPTO_SHA1 || algorithm == PAL_CRYPTO_MD5;
}

void freeDigest(DigestContext* context) {
    wipe(context, sizeof *context);
    palRealFree(context);
}

void freeMac(MacContext* context) {
    wipe(context, sizeof *context);
    palRealFree(context);
}

// Fills as much as the kernel gives; false when it gives nothing usable.
bool osRandom(uint8_t* out, size_t length) {
    size_t done = 0;
    while (done < length) {
        const ssize_t n = getrandom(out + done, length - done, 0);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        done += size_t(n);
    }
    return true;
}

TcsResult cipher(const uint8_t* in, uint32_t length, uint8_t* out, uint32_t* outLength, const uint8_t* key,
                 uint32_t keyLength, uint8_t* iv, uint32_t algorithm, int encrypt) {
    switch (algorithm) {
    case PAL_CRYPTO_AES_CBC:
        return palCryptoAesCbc(in, length, out, outLength, key, keyLength, iv, encrypt);
    case PAL_CRYPTO_AES_CTR:
        return palCryptoAesCtr(in, length, out, outLength, key, keyLength, iv);
    case PAL_CRYPTO_DES_CBC:
        if (keyLength != 8) return TCS_RESULT_INVALID;
        return palCryptoDesCbc(in, length, out, outLength, key, iv, encrypt);
    default:
        return TCS_RESULT_NOT_IMPLEMENTED;
    }
}

}  // namespace

extern "C" {

TcsResult palCryptoInitialize(void) {
    const uint32_t t = palGetSecondsSinceEpoch();
    uint32_t words[5] = {t, t + 1, t + 2, t + 3, t + 4};
    uint8_t seed[20];
    memcpy(seed, words, sizeof seed);
    std::lock_guard<std::recursive_mutex> hold(tov::crypto::prngLock());
    TcsResult rc = palPRNGContextInit(seed, sizeof seed);
    wipe(seed, sizeof seed);
    if (rc != TCS_RESULT_OK) return rc;
    // Seeded from the time alone, every key and secret would follow from the start time; the
    // kernel's random bytes make them unpredictable. Seeding mixes, so the time seed stays in.
    uint8_t entropy[32];
    if (osRandom(entropy, sizeof entropy)) rc = palPRNGContextInit(entropy, sizeof entropy);
    wipe(entropy, sizeof entropy);
    return rc;
}

TcsResult palCryptoUninitialize(void) { return TCS_RESULT_OK; }

TcsResult palCryptoRng(uint8_t* buffer, uint32_t length) {
    if (buffer == nullptr) return TCS_RESULT_BAD_PARAM;
    bool reseed = false;
    for (uint32_t i = 1; i < length && !reseed; ++i) reseed = buffer[i] != 0;
    // The reseed and the draw are one step: no other thread may draw from the state in between.
    std::lock_guard<std::recursive_mutex> hold(tov::crypto::prngLock());
    if (reseed) {
        // The time ends at the last byte, most significant byte first.
        const uint32_t t = palGetSecondsSinceEpoch();
        const uint32_t n = length < 4 ? length : 4;
        for (uint32_t i = 0; i < n; ++i) buffer[length - 1 - i] ^= uint8_t(t >> (8 * i));
        const TcsResult rc = palPRNGContextInit(buffer, length);
        if (rc != TCS_RESULT_OK) return rc;
    }
    return palPRNGRandomGenerate(buffer, length);
}

TcsResult palCryptoAesKeyGen(uint8_t* key, uint32_t length) { return palCryptoRng(key, length); }

TcsResult palCryptoDigestInit(DigestContext** context, uint32_t algorithm) {
    if (context == nullptr) return TCS_RESULT_ERROR;
    *context = nullptr;
    if (!knownDigest(algorithm)) return TCS_RESULT_NOT_IMPLEMENTED;
    auto* created = static_cast<DigestContext*>(palRealMalloc(sizeof(DigestContext)));
    if (created == nullptr) return TCS_RESULT_OUT_OF_MEMORY;
    memset(created, 0, sizeof *created);
    created->algorithm = algorithm;
    if (algorithm == PAL_CRYPTO_SHA256) {
        SHA256_init(&created->sha256);
    } else {
        palHashInit(&created->hash, algorithm == PAL_CRYPTO_SHA1 ? PAL_HASH_SHA1 : PAL_HASH_MD5);
    }
    *context = created;
    return TCS_RESULT_OK;
}

TcsResult palCryptoDigestUpdate(DigestContext* context, const uint8_t* data, uint32_t length) {
    if (context == nullptr) return TCS_RESULT_ERROR;
    if (!knownDigest(context->algorithm)) return TCS_RESULT_NOT_IMPLEMENTED;
    if (data == nullptr && length != 0) return TCS_RESULT_NULL_POINTER;
    if (context->algorithm == PAL_CRYPTO_SHA256) {
        SHA256_update(&context->sha256, data, length);
        return TCS_RESULT_OK;
    }
    return palHashUpdate(&context->hash, data, length);
}

TcsResult palCryptoDigestFinal(DigestContext* context, uint8_t* out, uint32_t* outLength) {
    if (context == nullptr) return TCS_RESULT_ERROR;
    if (!knownDigest(context->algorithm)) return TCS_RESULT_NOT_IMPLEMENTED;
    if (out == nullptr) return TCS_RESULT_NULL_POINTER;
    uint32_t length = 32;
    if (context->algorithm == PAL_CRYPTO_SHA256) {
        SHA256_final(&context->sha256);
        SHA256_digest(&context->sha256, out);
    } else {
        palHashFinal(&context->hash, out);
        length = context->algorithm == PAL_CRYPTO_SHA1 ? 20 : 16;
    }
    if (outLength != nullptr) *outLength = length;
    freeDigest(context);
    return TCS_RESULT_OK;
}

TcsResult palCryptoDigestCtxDuplicate(DigestContext** out, const DigestContext* context) {
    if (out == nullptr || context == nullptr) return TCS_RESULT_ERROR;
    *out = nullptr;
    if (!knownDigest(context->algorithm)) return TCS_RESULT_NOT_IMPLEMENTED;
    auto* copy = static_cast<DigestContext*>(palRealMalloc(sizeof(DigestContext)));
    if (copy == nullptr) return TCS_RESULT_OUT_OF_MEMORY;
    memcpy(copy, context, sizeof *copy);
    *out = copy;
    return TCS_RESULT_OK;
}

TcsResult palCryptoDigest(const uint8_t* data, uint32_t length, uint8_t* out, uint32_t algorithm) {
    if (out == nullptr) return TCS_RESULT_NULL_POINTER;
    DigestContext* context = nullptr;
    TcsResult rc = palCryptoDigestInit(&context, algorithm);
    if (rc != TCS_RESULT_OK) return rc;
    rc = palCryptoDigestUpdate(context, data, length);
    if (rc != TCS_RESULT_OK) {
        freeDigest(context);
        return rc;
    }
    return palCryptoDigestFinal(context, out, nullptr);
}

TcsResult palCryptoMACInit(MacContext** context, const uint8_t* key, uint32_t keyLength, uint32_t algorithm) {
    if (context == nullptr || key == nullptr) return TCS_RESULT_NULL_POINTER;
    if (algorithm == 1 || algorithm == 2) return TCS_RESULT_OK;
    if (algorithm != PAL_CRYPTO_HMAC_SHA256) return TCS_RESULT_NOT_IMPLEMENTED;
    auto* created = static_cast<MacContext*>(palRealMalloc(sizeof(MacContext)));
    if (created == nullptr) return TCS_RESULT_OUT_OF_MEMORY;
    created->algorithm = algorithm;
    hmac_sha256_init(&created->hmac, key, keyLength);
    *context = created;
    return TCS_RESULT_OK;
}

TcsResult palCryptoMACUpdate(MacContext* context, const uint8_t* data, uint32_t length) {
    if (context == nullptr || (data == nullptr && length != 0)) return TCS_RESULT_NULL_POINTER;
    if (context->algorithm == 1 || context->algorithm == 2) return TCS_RESULT_OK;
    if (context->algorithm != PAL_CRYPTO_HMAC_SHA256) return TCS_RESULT_NOT_IMPLEMENTED;
    hmac_sha256_update(&context->hmac, data, length);
    return TCS_RESULT_OK;
}

TcsResult palCryptoMACFinal(MacContext* context, uint8_t* out, uint32_t* outLength) {
    if (context == nullptr || out == nullptr || outLength == nullptr) return TCS_RESULT_NULL_POINTER;
    if (context->algorithm == 1 || context->algorithm == 2) return TCS_RESULT_OK;
    if (context->algorithm != PAL_CRYPTO_HMAC_SHA256) return TCS_RESULT_NOT_IMPLEMENTED;
    hmac_sha256_final(&context->hmac, out);
    *outLength = 32;
    freeMac(context);
    return TCS_RESULT_OK;
}

TcsResult palCryptoMAC(const uint8_t* data, uint32_t length, const uint8_t* key, uint32_t keyLength, uint8_t* out,
                       uint32_t* outLength, uint32_t algorithm) {
    if (key == nullptr || out == nullptr || outLength == nullptr || (data == nullptr && length != 0)) {
        return TCS_RESULT_NULL_POINTER;
    }
    MacContext* context = nullptr;
    TcsResult rc = palCryptoMACInit(&context, key, keyLength, algorithm);
    // Ids 1 and 2 are accepted and make no context: nothing more to do.
    if (rc != TCS_RESULT_OK || context == nullptr) return rc;
    rc = palCryptoMACUpdate(context, data, length);
    if (rc != TCS_RESULT_OK) {
        freeMac(context);
        return rc;
    }
    return palCryptoMACFinal(context, out, outLength);
}

TcsResult palCryptoEncrypt(const uint8_t* in, uint32_t length, uint8_t* out, uint32_t* outLength, const uint8_t* key,
                           uint32_t keyLength, uint8_t* iv, uint32_t algorithm) {
    return cipher(in, length, out, outLength, key, keyLength, iv, algorithm, 1);
}

TcsResult palCryptoDecrypt(const uint8_t* in, uint32_t length, uint8_t* out, uint32_t* outLength, const uint8_t* key,
                           uint32_t keyLength, uint8_t* iv, uint32_t algorithm) {
    return cipher(in, length, out, outLength, key, keyLength, iv, algorithm, 0);
}

TcsResult palCryptoAesKeyDerive(const uint8_t* key, uint32_t keyLength, PalAesKeySchedule* schedule) {
    return palAESSetEncryptKey(key, keyLength, schedule);
}

TcsResult palCryptoChecksum(uint32_t start, uint32_t* out, const uint8_t* data, uint32_t length, uint32_t algorithm) {
    switch (algorithm) {
    case PAL_CRYPTO_CRC32:
        return palCRC32(start, out, data, length);
    case PAL_CRYPTO_ADLER32:
        return palAdler32(start, out, data, length);
    default:
        return TCS_RESULT_NOT_IMPLEMENTED;
    }
}

TcsResult palCryptoCalculateDHPubKey(uint8_t* base, uint8_t* exponent, const uint8_t* prime, uint8_t* out) {
    if (base == nullptr || exponent == nullptr || prime == nullptr || out == nullptr) return TCS_RESULT_NULL_POINTER;
    palDHCalculateExp(base, exponent, prime, out);
    return TCS_RESULT_OK;
}

TcsResult palCryptoProtectMemory(void*, uint32_t) { return TCS_RESULT_NOT_IMPLEMENTED; }
TcsResult palCryptoEccEllipticCurveSet(uint32_t) { return TCS_RESULT_NOT_IMPLEMENTED; }
TcsResult palCryptoEccEllipticCurveParamGet(uint32_t, uint8_t*, uint32_t*) { return TCS_RESULT_NOT_IMPLEMENTED; }
TcsResult palCryptoEccKeypairGenerate(CryptoKeyObject**, CryptoKeyObject**) { return TCS_RESULT_NOT_IMPLEMENTED; }
TcsResult palCryptoECDH(const CryptoKeyObject*, const uint8_t*, uint32_t, uint8_t*, uint32_t*) {
    return TCS_RESULT_NOT_IMPLEMENTED;
}
TcsResult palCryptoECDSASign(const uint8_t*, uint32_t, uint8_t*, uint32_t*, const CryptoKeyObject*) {
    return TCS_RESULT_NOT_IMPLEMENTED;
}
TcsResult palCryptoECDSAVerify(const uint8_t*, uint32_t, const uint8_t*, uint32_t, const CryptoKeyObject*) {
    return TCS_RESULT_NOT_IMPLEMENTED;
}
TcsResult palCryptoECCKeyImport(const uint8_t*, uint32_t, CryptoKeyObject**) { return TCS_RESULT_NOT_IMPLEMENTED; }
TcsResult palCryptoECCKeyExport(const CryptoKeyObject*, uint8_t*, uint32_t*) { return TCS_RESULT_NOT_IMPLEMENTED; }

}  // extern "C"
