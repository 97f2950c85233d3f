// RSA key objects (a kind tag and a template of attributes), the RSA operations of the crypto service,
// the built-in host key's exports and the RSA self-test. Numbers cross this interface least
// significant byte first and are held inside most significant byte first.

#include "platform/crypto/crypto.h"

#include "platform/crypto/cpu_features.h"
#include "platform/crypto/host_key.h"
#include "platform/crypto/rsa.h"
#include "platform/memory.h"

#include <stdio.h>
#include <string.h>

namespace {

using tov::crypto::wipe;

struct Attribute {
    Attribute* next;
    uint32_t type;
    uint32_t length;
    uint8_t value[];
};

constexpr uint32_t kMaxModulusBytes = 512;

}  // namespace

struct CryptoKeyObject {
    char kind[4];      // "VIRP" private, "LBUP" public
    Attribute* first;  // the key template, newest first
};

namespace {

bool isKind(const CryptoKeyObject* key, const char* kind) { return memcmp(key->kind, kind, 4) == 0; }

const Attribute* findAttribute(const CryptoKeyObject* key, uint32_t type) {
    for (const Attribute* a = key->first; a != nullptr; a = a->next) {
        if (a->type == type) return a;
    }
    return nullptr;
}

void freeAttribute(Attribute* attribute) {
    wipe(attribute->value, attribute->length);
    palRealFree(attribute);
}

void destroyKey(CryptoKeyObject* key) {
    for (Attribute* a = key->first; a != nullptr;) {
        Attribute* next = a->next;
        freeAttribute(a);
        a = next;
    }
    wipe(key, sizeof *key);
    palRealFree(key);
}

// Adds the value given least significant byte first, stored reversed; replaces an attribute of the type.
bool addReversedAttribute(CryptoKeyObject* key, uint32_t type, const uint8_t* littleEndian, uint32_t length) {
    auto* attribute = static_cast<Attribute*>(palRealMalloc(uint32_t(sizeof(Attribute) + length)));
    if (attribute == nullptr) return false;
    attribute->type = type;
    attribute->length = length;
    for (uint32_t i = 0; i < length; ++i) attribute->value[i] = littleEndian[length - 1 - i];
    for (Attribute** link = &key->first; *link != nullptr; link = &(*link)->next) {
        if ((*link)->type == type) {
            Attribute* old = *link;
            *link = old->next;
            freeAttribute(old);
            break;
        }
    }
    attribute->next = key->first;
    key->first = attribute;
    return true;
}

CryptoKeyObject* newKey(const char* kind) {
    auto* key = static_cast<CryptoKeyObject*>(palRealMalloc(sizeof(CryptoKeyObject)));
    if (key == nullptr) return nullptr;
    memcpy(key->kind, kind, 4);
    key->first = nullptr;
    return key;
}

void reverseInto(uint8_t* out, const uint8_t* in, uint32_t length) {
    for (uint32_t i = 0; i < length; ++i) out[i] = in[length - 1 - i];
}

// An RSA context from the key's modulus and one exponent; it lives for one operation.
class RsaKey {
public:
    RsaKey(const Attribute* modulus, const Attribute* publicExponent, const Attribute* privateExponent) {
        result_ = palRsaCryptoInit(&context_, modulus->value, modulus->length,
                                   publicExponent ? publicExponent->value : nullptr,
                                   publicExponent ? publicExponent->length : 0,
                                   privateExponent ? privateExponent->value : nullptr,
                                   privateExponent ? privateExponent->length : 0);
    }
    ~RsaKey() {
        if (result_ == TCS_RESULT_OK) palRsaCryptoFree(&context_);
    }
    RsaKey(const RsaKey&) = delete;
    RsaKey& operator=(const RsaKey&) = delete;
    TcsResult result() const { return result_; }
    PalRsaContext* context() { return &context_; }

private:
    PalRsaContext context_{};
    TcsResult result_;
};

void printStep(const char* text) {
    fputs(text, stdout);
    fflush(stdout);
}

void ReportResult(TcsResult result) {
    printStep(result == TCS_RESULT_OK ? "passed\n" : result == TCS_RESULT_NOT_IMPLEMENTED ? "not implemented\n"
                                                                                         : "failed\n");
}

}  // namespace

extern "C" {

TcsResult palCryptoRsaCreatePublicKeyHandle(uint32_t bits, const uint8_t exponent[4], const uint8_t* modulus,
                                            CryptoKeyObject** key) {
    if (modulus == nullptr || key == nullptr || exponent == nullptr) return TCS_RESULT_NULL_POINTER;
    *key = nullptr;
    if (bits != 1024 && bits != 2048) return TCS_RESULT_BAD_PARAM;
    CryptoKeyObject* created = newKey("LBUP");
    if (created == nullptr) return TCS_RESULT_OUT_OF_MEMORY;
    if (!addReversedAttribute(created, PAL_CRYPTO_ATTR_MODULUS, modulus, bits / 8) ||
        !addReversedAttribute(created, PAL_CRYPTO_ATTR_PUBLIC_EXPONENT, exponent, 4)) {
        destroyKey(created);
        return TCS_RESULT_OUT_OF_MEMORY;
    }
    *key = created;
    return TCS_RESULT_OK;
}

TcsResult palCryptoRsaCreatePrivateKeyHandle(uint32_t blobLength, const uint8_t* blob, CryptoKeyObject** key) {
    if (blob == nullptr || key == nullptr) return TCS_RESULT_NULL_POINTER;
    *key = nullptr;
    // The modulus and private exponent are read at fixed offsets of a 2048-bit blob: a shorter blob
    // would be read past its end.
    if (blobLength < PAL_RSA_BLOB_SIZE_2048) return TCS_RESULT_BAD_PARAM;
    CryptoKeyObject* created = newKey("VIRP");
    if (created == nullptr) return TCS_RESULT_OUT_OF_MEMORY;
    if (!addReversedAttribute(created, PAL_CRYPTO_ATTR_MODULUS, blob + PAL_RSA_BLOB_MODULUS_OFFSET, 256) ||
        !addReversedAttribute(created, PAL_CRYPTO_ATTR_PRIVATE_EXPONENT,
                              blob + PAL_RSA_BLOB_PRIVATE_EXPONENT_OFFSET_2048, 256)) {
        destroyKey(created);
        return TCS_RESULT_OUT_OF_MEMORY;
    }
    *key = created;
    return TCS_RESULT_OK;
}

TcsResult palCryptoObjectDestroyHandle(CryptoKeyObject** key) {
    if (key != nullptr && *key != nullptr) {
        destroyKey(*key);
        *key = nullptr;
    }
    return TCS_RESULT_OK;
}

TcsResult palCryptoRsaEncrypt(const uint8_t* message, uint32_t length, uint8_t* out, uint32_t* outLength,
                              const CryptoKeyObject* publicKey) {
    if (message == nullptr || out == nullptr || outLength == nullptr || publicKey == nullptr) {
        return TCS_RESULT_NULL_POINTER;
    }
    const Attribute* modulus = findAttribute(publicKey, PAL_CRYPTO_ATTR_MODULUS);
    const Attribute* exponent = findAttribute(publicKey, PAL_CRYPTO_ATTR_PUBLIC_EXPONENT);
    if (modulus == nullptr || exponent == nullptr || uint64_t(length) + 11 > modulus->length) {
        return TCS_RESULT_BAD_PARAM;
    }
    const uint32_t k = modulus->length;
    if (*outLength < k) {
        *outLength = k;
        return TCS_RESULT_BUFFER_TOO_SMALL;
    }
    RsaKey rsa(modulus, exponent, nullptr);
    if (rsa.result() != TCS_RESULT_OK) return rsa.result();
    uint8_t cipher[kMaxModulusBytes];
    uint32_t cipherLength = sizeof cipher;
    const TcsResult rc = palRsaEncrypt(rsa.context(), 0, 2, message, length, cipher, &cipherLength);
    if (rc == TCS_RESULT_OK) {
        reverseInto(out, cipher, cipherLength);
        *outLength = cipherLength;
    }
    return rc;
}

TcsResult palCryptoRsaDecrypt(const uint8_t* ciphertext, uint32_t length, uint8_t* out, uint32_t* outLength,
                              const CryptoKeyObject* privateKey) {
    if (ciphertext == nullptr || out == nullptr || outLength == nullptr || privateKey == nullptr) {
        return TCS_RESULT_NULL_POINTER;
    }
    const Attribute* modulus = findAttribute(privateKey, PAL_CRYPTO_ATTR_MODULUS);
    const Attribute* exponent = findAttribute(privateKey, PAL_CRYPTO_ATTR_PRIVATE_EXPONENT);
    if (modulus == nullptr || exponent == nullptr) return TCS_RESULT_BAD_PARAM;
    if (length > modulus->length || length > kMaxModulusBytes) return TCS_RESULT_INVALID;
    RsaKey rsa(modulus, nullptr, exponent);
    if (rsa.result() != TCS_RESULT_OK) return rsa.result();
    uint8_t cipher[kMaxModulusBytes];
    reverseInto(cipher, ciphertext, length);
    const TcsResult rc = palRsaDecrypt(rsa.context(), 1, 2, cipher, length, out, outLength);
    return rc;
}

TcsResult palCryptoRsaSign(const uint8_t* hash, uint32_t length, uint32_t hashId, uint8_t* out, uint32_t* outLength,
                           const CryptoKeyObject* privateKey) {
    if (hash == nullptr || out == nullptr || outLength == nullptr || privateKey == nullptr) {
        return TCS_RESULT_NULL_POINTER;
    }
    if (!isKind(privateKey, "VIRP")) return TCS_RESULT_BAD_PARAM;
    if (hashId > PAL_CRYPTO_HASH_RAW) return TCS_RESULT_NOT_IMPLEMENTED;
    const Attribute* modulus = findAttribute(privateKey, PAL_CRYPTO_ATTR_MODULUS);
    const Attribute* exponent = findAttribute(privateKey, PAL_CRYPTO_ATTR_PRIVATE_EXPONENT);
    if (modulus == nullptr || exponent == nullptr) return TCS_RESULT_INVALID;
    const uint32_t k = modulus->length;
    if (*outLength < k) {
        *outLength = k;
        return TCS_RESULT_BUFFER_TOO_SMALL;
    }
    RsaKey rsa(modulus, nullptr, exponent);
    if (rsa.result() != TCS_RESULT_OK) return rsa.result();
    uint8_t signature[kMaxModulusBytes];
    uint32_t signatureLength = sizeof signature;
    const TcsResult rc = palRsaSign(rsa.context(), hashId + 1, hash, length, signature, &signatureLength);
    if (rc == TCS_RESULT_OK) {
        reverseInto(out, signature, signatureLength);
        *outLength = signatureLength;
    }
    return rc;
}

TcsResult palCryptoRsaVerify(const uint8_t* signature, uint32_t length, const uint8_t* hash, uint32_t hashLength,
                             uint32_t hashId, const CryptoKeyObject* publicKey) {
    if (signature == nullptr || hash == nullptr || publicKey == nullptr) return TCS_RESULT_NULL_POINTER;
    const Attribute* modulus = findAttribute(publicKey, PAL_CRYPTO_ATTR_MODULUS);
    const Attribute* exponent = findAttribute(publicKey, PAL_CRYPTO_ATTR_PUBLIC_EXPONENT);
    if (!isKind(publicKey, "LBUP") || modulus == nullptr || exponent == nullptr) return TCS_RESULT_BAD_PARAM;
    if (hashId > PAL_CRYPTO_HASH_RAW) return TCS_RESULT_NOT_IMPLEMENTED;
    if (length > modulus->length || length > kMaxModulusBytes) return TCS_RESULT_INVALID;
    RsaKey rsa(modulus, exponent, nullptr);
    if (rsa.result() != TCS_RESULT_OK) return rsa.result();
    uint8_t bigEndian[kMaxModulusBytes];
    reverseInto(bigEndian, signature, length);
    return palRsaVerify(rsa.context(), hashId + 1, hash, hashLength, bigEndian, length);
}

TcsResult palCryptoRsaExportPrivateKey(uint32_t* bits, uint8_t* privateExponent, uint8_t* modulus,
                                       const CryptoKeyObject* key) {
    if (bits == nullptr || privateExponent == nullptr || modulus == nullptr || key == nullptr) {
        return TCS_RESULT_NULL_POINTER;
    }
    const Attribute* blob = findAttribute(key, PAL_CRYPTO_ATTR_PRIVATE_KEY_BLOB);
    if (!isKind(key, "VIRP") || blob == nullptr || blob->length < 20) return TCS_RESULT_BAD_PARAM;
    const uint8_t* b = blob->value;
    const uint32_t keyBits = uint32_t(b[12]) | uint32_t(b[13]) << 8 | uint32_t(b[14]) << 16 | uint32_t(b[15]) << 24;
    uint32_t exponentOffset = 0;
    if (keyBits == 2048) {
        exponentOffset = PAL_RSA_BLOB_PRIVATE_EXPONENT_OFFSET_2048;
    } else if (keyBits == 1024) {
        exponentOffset = PAL_RSA_BLOB_PRIVATE_EXPONENT_OFFSET_1024;
    } else {
        return TCS_RESULT_BAD_PARAM;
    }
    const uint32_t bytes = keyBits / 8;
    if (blob->length < exponentOffset + bytes) return TCS_RESULT_BAD_PARAM;
    *bits = keyBits;
    memcpy(modulus, b + PAL_RSA_BLOB_MODULUS_OFFSET, bytes);
    memcpy(privateExponent, b + exponentOffset, bytes);
    return TCS_RESULT_OK;
}

TcsResult palCryptoRsaGenerateKeypair(uint32_t, CryptoKeyObject** publicKey, CryptoKeyObject** privateKey) {
    if (publicKey != nullptr) *publicKey = nullptr;
    if (privateKey != nullptr) *privateKey = nullptr;
    return TCS_RESULT_OK;
}

TcsResult palCryptoRsaExportPrivateKeyBlobData(const CryptoKeyObject*, uint8_t* blob, uint32_t* length) {
    if (blob == nullptr || length == nullptr) return TCS_RESULT_NULL_POINTER;
    if (*length < PAL_HOST_KEY_BLOB_DATA_SIZE) {
        *length = PAL_HOST_KEY_BLOB_DATA_SIZE;
        return TCS_RESULT_BUFFER_TOO_SMALL;
    }
    tov::crypto::hostKeyBlob(blob);
    memset(blob + PAL_RSA_BLOB_SIZE_2048, 0, PAL_HOST_KEY_BLOB_DATA_SIZE - PAL_RSA_BLOB_SIZE_2048);
    *length = PAL_HOST_KEY_BLOB_DATA_SIZE;
    return TCS_RESULT_OK;
}

TcsResult palCryptoRsaExportPublicKey(uint32_t* bits, const CryptoKeyObject*, uint8_t* modulus,
                                      uint32_t modulusLength) {
    if (bits == nullptr || modulus == nullptr) return TCS_RESULT_NULL_POINTER;
    if (modulusLength < tov::crypto::kHostKeyBits / 8) return TCS_RESULT_BUFFER_TOO_SMALL;
    tov::crypto::hostKeyModulus(modulus);
    *bits = tov::crypto::kHostKeyBits;
    return TCS_RESULT_OK;
}

TcsResult test_palCryptoRSA(void) {
    printStep("\t RSA-2048 enc/dec.......................");
    CryptoKeyObject* publicKey = nullptr;
    CryptoKeyObject* privateKey = nullptr;
    TcsResult rc = palCryptoRsaGenerateKeypair(2048, &publicKey, &privateKey);
    if (rc != TCS_RESULT_OK) {
        printStep("\t palCryptoRsaGenerateKeypair FAILED.......................");
        ReportResult(rc);
        return rc;
    }
    if (publicKey == nullptr || privateKey == nullptr) {
        // No generated pair: the host key, as for every other caller.
        palCryptoObjectDestroyHandle(&publicKey);
        palCryptoObjectDestroyHandle(&privateKey);
        uint8_t blob[PAL_HOST_KEY_BLOB_DATA_SIZE];
        uint32_t blobLength = sizeof blob;
        uint8_t modulus[256];
        uint32_t bits = 0;
        const uint8_t exponent[4] = {0x01, 0x00, 0x01, 0x00};
        rc = palCryptoRsaExportPrivateKeyBlobData(nullptr, blob, &blobLength);
        if (rc == TCS_RESULT_OK) rc = palCryptoRsaCreatePrivateKeyHandle(blobLength, blob, &privateKey);
        if (rc == TCS_RESULT_OK) rc = palCryptoRsaExportPublicKey(&bits, nullptr, modulus, sizeof modulus);
        if (rc == TCS_RESULT_OK) rc = palCryptoRsaCreatePublicKeyHandle(bits, exponent, modulus, &publicKey);
        wipe(blob, sizeof blob);
        if (rc != TCS_RESULT_OK) {
            printStep("\t palCryptoRsaGenerateKeypair FAILED.......................");
            ReportResult(rc);
            palCryptoObjectDestroyHandle(&publicKey);
            palCryptoObjectDestroyHandle(&privateKey);
            return rc;
        }
    }

    static const char kMessage[] = "Now is the time for all";  // 24 bytes with its terminating zero
    uint8_t cipher[256];
    uint32_t cipherLength = sizeof cipher;
    uint8_t plain[256];
    uint32_t plainLength = sizeof plain;
    rc = palCryptoRsaEncrypt(reinterpret_cast<const uint8_t*>(kMessage), sizeof kMessage, cipher, &cipherLength,
                             publicKey);
    if (rc != TCS_RESULT_OK) {
        printStep("\t palCryptoRsaEncrypt FAILED.......................");
    } else {
        rc = palCryptoRsaDecrypt(cipher, cipherLength, plain, &plainLength, privateKey);
        if (rc != TCS_RESULT_OK) {
            printStep("\t palCryptoRsaDecrypt FAILED.......................");
        } else if (plainLength != sizeof kMessage || memcmp(plain, kMessage, sizeof kMessage) != 0) {
            rc = TCS_RESULT_ERROR;
        }
    }
    ReportResult(rc);
    TcsResult overall = rc;

    printStep("\t RSA-2048 sign/verify...................");
    uint8_t value[20];
    memset(value, 0xEF, sizeof value);
    uint8_t signature[256];
    uint32_t signatureLength = sizeof signature;
    rc = palCryptoRsaSign(value, sizeof value, PAL_CRYPTO_SHA1, signature, &signatureLength, privateKey);
    if (rc == TCS_RESULT_OK) {
        rc = palCryptoRsaVerify(signature, signatureLength, value, sizeof value, PAL_CRYPTO_SHA1, publicKey);
    }
    ReportResult(rc);
    if (overall == TCS_RESULT_OK) overall = rc;

    palCryptoObjectDestroyHandle(&publicKey);
    palCryptoObjectDestroyHandle(&privateKey);
    return overall;
}

}  // extern "C"
