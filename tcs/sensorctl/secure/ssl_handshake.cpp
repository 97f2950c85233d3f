// Secure channel handshake: context set-up, the client's messages, the handlers of the server's
// messages, the SSL 3.0 handshake hash with this channel's sender bytes, and key derivation.
#include "tcs/sensorctl/secure/ssl.h"

#include "platform/memory.h"

#include <string.h>

namespace {

const uint8_t kClientSender[4] = {0x54, 0x4E, 0x4C, 0x43};  // "TNLC"; SSL 3.0 would send "CLNT"
const uint8_t kServerSender[4] = {0x52, 0x56, 0x52, 0x53};  // "RVRS"; SSL 3.0 would send "SRVR"
const uint8_t kExponent65537[4] = {0x01, 0x00, 0x01, 0x00};  // least significant byte first

const ScsCipherSpec* nullSpec() { return &supportedCiphers[6]; }

TcsResult fail(uint8_t* alert, uint8_t description, TcsResult result) {
    *alert = description;
    return result;
}

void putHeader(uint8_t* message, uint8_t type, uint32_t bodyLength) {
    message[0] = type;
    message[1] = uint8_t(bodyLength >> 16);
    message[2] = uint8_t(bodyLength >> 8);
    message[3] = uint8_t(bodyLength);
}

void hashMessage(ScsSSLContext* c, const uint8_t* message, uint32_t length) {
    palCryptoDigestUpdate(c->md5, message, length);
    palCryptoDigestUpdate(c->sha1, message, length);
}

void freeSecret(uint8_t** buffer, uint32_t length) {
    if (*buffer == nullptr) return;
    memset(*buffer, 0, length);
    palRealFree(*buffer);
    *buffer = nullptr;
}

void discardDigest(DigestContext** digest) {
    if (*digest == nullptr) return;
    uint8_t out[32];
    uint32_t length = 0;
    palCryptoDigestFinal(*digest, out, &length);
    *digest = nullptr;
}

void reverse(uint8_t* out, const uint8_t* in, uint32_t length) {
    for (uint32_t i = 0; i < length; ++i) out[i] = in[length - 1 - i];
}

// One half of the handshake hash: H(messages ‖ sender ‖ master ‖ pad1), then H(master ‖ pad2 ‖ inner).
TcsResult hashHalf(DigestContext* running, uint32_t algorithm, uint32_t padLength, const uint8_t* sender,
                   const uint8_t* master, uint8_t* out) {
    uint8_t pad[48];
    uint8_t inner[32];
    uint32_t length = 0;
    if (sender != nullptr) palCryptoDigestUpdate(running, sender, 4);
    palCryptoDigestUpdate(running, master, SCS_SSL_MASTER_SIZE);
    memset(pad, 0x36, padLength);
    palCryptoDigestUpdate(running, pad, padLength);
    TcsResult result = palCryptoDigestFinal(running, inner, &length);
    if (result != TCS_RESULT_OK) return result;
    DigestContext* outer = nullptr;
    result = palCryptoDigestInit(&outer, algorithm);
    if (result != TCS_RESULT_OK) return result;
    memset(pad, 0x5C, padLength);
    palCryptoDigestUpdate(outer, master, SCS_SSL_MASTER_SIZE);
    palCryptoDigestUpdate(outer, pad, padLength);
    palCryptoDigestUpdate(outer, inner, length);
    uint8_t digest[32];
    result = palCryptoDigestFinal(outer, digest, &length);
    memcpy(out, digest, length);
    memset(inner, 0, sizeof inner);
    return result;
}

// MD5(secret ‖ SHA-1(label ‖ secret ‖ a ‖ b)), the derivation step of master secret and key block.
TcsResult deriveBlock(const uint8_t* label, uint32_t labelLength, const uint8_t* secret, const uint8_t* a,
                      const uint8_t* b, uint8_t out[16]) {
    uint8_t sha[32];
    uint32_t length = 0;
    DigestContext* digest = nullptr;
    TcsResult result = palCryptoDigestInit(&digest, PAL_CRYPTO_SHA1);
    if (result != TCS_RESULT_OK) return result;
    palCryptoDigestUpdate(digest, label, labelLength);
    palCryptoDigestUpdate(digest, secret, SCS_SSL_MASTER_SIZE);
    palCryptoDigestUpdate(digest, a, SCS_SSL_RANDOM_SIZE);
    palCryptoDigestUpdate(digest, b, SCS_SSL_RANDOM_SIZE);
    result = palCryptoDigestFinal(digest, sha, &length);
    if (result == TCS_RESULT_OK) result = palCryptoDigestInit(&digest, PAL_CRYPTO_MD5);
    if (result == TCS_RESULT_OK) {
        palCryptoDigestUpdate(digest, secret, SCS_SSL_MASTER_SIZE);
        palCryptoDigestUpdate(digest, sha, 20);
        uint8_t md5[32];
        result = palCryptoDigestFinal(digest, md5, &length);
        memcpy(out, md5, 16);
        memset(md5, 0, sizeof md5);
    }
    memset(sha, 0, sizeof sha);
    return result;
}

void computeRecoveryId(ScsSSLContext* c) {
    if (c->clientRandom == nullptr || c->serverRandom == nullptr) return;
    for (uint32_t i = 0; i < 32; ++i) c->recoveryId[i] = c->serverRandom[i] ^ c->clientRandom[i];
}

// Appends a Finished message as a protected handshake record at the end of the flight.
TcsResult writeFinished(ScsSSLContext* c, uint32_t consume) {
    uint8_t* record = c->output + 3 + c->flightLength;
    putHeader(record + 5, SCS_SSL_MSG_FINISHED, SCS_SSL_HASH_SIZE);
    TcsResult result = scsSSLHsHashFinish(c, kClientSender, consume, record + 9);
    if (result != TCS_RESULT_OK) return result;
    return scsSSLRecordPack(c, record, SCS_SSL_HANDSHAKE, 4 + SCS_SSL_HASH_SIZE);
}

void closeFlight(ScsSSLContext* c) {
    c->output[0] = SCS_SSL_FLIGHT_COMMAND;
    c->output[1] = uint8_t(c->flightLength);
    c->output[2] = uint8_t(c->flightLength >> 8);
}

}  // namespace

TcsResult scsSSLGetRandom(uint8_t* buffer, uint32_t length) {
    if (buffer == nullptr) return TCS_RESULT_NULL_POINTER;
    memset(buffer, 0, length);  // an all-zero buffer draws without reseeding the generator
    TcsResult result = palCryptoRng(buffer, length);
    if (result != TCS_RESULT_OK) memset(buffer, 0, length);
    return result;
}

TcsResult scsSSLClntCtxInit(ScsSSLContext** context, uint32_t mode) {
    if (context == nullptr) return TCS_RESULT_NULL_POINTER;
    ScsSSLContext* c = *context;
    const ScsCipherSpec* remembered = nullptr;
    if (c == nullptr) {
        c = static_cast<ScsSSLContext*>(palRealMalloc(sizeof(ScsSSLContext)));
        if (c == nullptr) return TCS_RESULT_OUT_OF_MEMORY;
        memset(c, 0, sizeof *c);
        *context = c;
    } else {
        c->flags = 0;
        c->flightLength = 0;
        c->closeAlertSent = 0;
        scsSSLWipeKeys(c);
        remembered = c->cipherSpec;
        discardDigest(&c->md5);
        discardDigest(&c->sha1);
    }
    c->cipherSpec = nullSpec();
    scsSSLReadCipherSuiteActivate(c);
    scsSSLWriteCipherSuiteActivate(c);
    TcsResult result = palCryptoDigestInit(&c->md5, PAL_CRYPTO_MD5);
    if (result == TCS_RESULT_OK) result = palCryptoDigestInit(&c->sha1, PAL_CRYPTO_SHA1);
    if (result != TCS_RESULT_OK) return result;
    if (remembered != nullptr) c->cipherSpec = remembered;
    c->nextMessage = 0;
    if (mode == 1) {
        c->state = SCS_SSL_STATE_SENSOR_CERTIFICATE;
        c->rsaMode = 1;
        c->flags |= SCS_SSL_FLAG_SEND_CERTIFICATE;
    } else {
        if (c->sharedSecret == nullptr) {
            c->sharedSecret = static_cast<uint8_t*>(palRealMalloc(32));
            if (c->sharedSecret == nullptr) return TCS_RESULT_OUT_OF_MEMORY;
        }
        memset(c->sharedSecret, 0, 32);
        c->state = SCS_SSL_STATE_SHARED_SECRET;
        c->rsaMode = 0;
    }
    c->requestPending = 0;
    return TCS_RESULT_OK;
}

TcsResult scsSSLCtxFree(ScsSSLContext** context) {
    if (context == nullptr || *context == nullptr) return TCS_RESULT_NULL_POINTER;
    ScsSSLContext* c = *context;
    palRealFree(c->sessionId);
    freeSecret(&c->clientRandom, SCS_SSL_RANDOM_SIZE);
    freeSecret(&c->serverRandom, SCS_SSL_RANDOM_SIZE);
    palRealFree(c->sensorCertificate);
    palRealFree(c->hostCertificate);
    if (c->hostPrivateKey != nullptr) palCryptoObjectDestroyHandle(&c->hostPrivateKey);
    discardDigest(&c->md5);
    discardDigest(&c->sha1);
    freeSecret(&c->sharedSecret, 32);
    palRealFree(c->appRecord);
    memset(c, 0, sizeof *c);
    palRealFree(c);
    *context = nullptr;
    return TCS_RESULT_OK;
}

TcsResult scsSSLHandshakeStart(ScsSSLContext* c) {
    if (c == nullptr) return TCS_RESULT_NULL_POINTER;
    if (c->clientRandom == nullptr) {
        c->clientRandom = static_cast<uint8_t*>(palRealMalloc(SCS_SSL_RANDOM_SIZE));
        if (c->clientRandom == nullptr) return TCS_RESULT_OUT_OF_MEMORY;
    }
    TcsResult result = scsSSLGetRandom(c->clientRandom, 4);
    if (result == TCS_RESULT_OK) result = scsSSLGetRandom(c->clientRandom + 4, 28);
    if (result != TCS_RESULT_OK) return result;

    uint8_t* message = c->output + 3 + 5;
    putHeader(message, SCS_SSL_MSG_CLIENT_HELLO, 51);
    message[4] = 3;
    message[5] = 0;
    memcpy(message + 6, c->clientRandom, 32);
    message[38] = SCS_SSL_SESSION_ID_SIZE;
    if (c->sessionId != nullptr) {
        memcpy(message + 39, c->sessionId, SCS_SSL_SESSION_ID_SIZE);
    } else {
        memset(message + 39, 0, SCS_SSL_SESSION_ID_SIZE);
    }
    message[46] = 0;
    message[47] = 6;
    const uint8_t suites[2][6] = {{0, 0x32, 0, 0x31, 0, 0x30}, {0, 0x44, 0, 0x43, 0, 0x42}};
    memcpy(message + 48, suites[c->rsaMode ? 1 : 0], 6);
    message[54] = 0;
    hashMessage(c, message, 55);
    c->flightLength = 0;
    result = scsSSLRecordPack(c, c->output + 3, SCS_SSL_HANDSHAKE, 55);
    if (result != TCS_RESULT_OK) return result;
    closeFlight(c);
    c->nextMessage = SCS_SSL_MSG_SERVER_HELLO;
    return TCS_RESULT_OK;
}

TcsResult scsSSLHandshakeProcess(ScsSSLContext* c, const uint8_t* data, uint32_t length, uint8_t* alert) {
    if (c == nullptr || data == nullptr || alert == nullptr) return TCS_RESULT_NULL_POINTER;
    *alert = SCS_SSL_ALERT_NONE;
    uint32_t pos = 0;
    while (pos < length) {
        uint32_t left = length - pos;
        if (left < 4) return fail(alert, SCS_SSL_ALERT_ILLEGAL_PARAMETER, SCS_SSL_BAD_RECORD);
        const uint8_t* message = data + pos;
        uint32_t type = message[0];
        uint32_t bodyLength = uint32_t(message[1]) << 16 | uint32_t(message[2]) << 8 | message[3];
        if (type != c->nextMessage) {
            if (c->nextMessage == SCS_SSL_MSG_CERTIFICATE_REQUEST && type == SCS_SSL_MSG_SERVER_HELLO_DONE) {
                // No certificate asked for: neither Certificate nor CertificateVerify is sent.
                c->flags &= ~SCS_SSL_FLAG_SEND_CERTIFICATE;
                c->nextMessage = SCS_SSL_MSG_SERVER_HELLO_DONE;
            } else {
                return fail(alert, SCS_SSL_ALERT_ILLEGAL_PARAMETER, SCS_SSL_BAD_RECORD);
            }
        }
        if (bodyLength > left - 4) return fail(alert, SCS_SSL_ALERT_ILLEGAL_PARAMETER, SCS_SSL_BAD_RECORD);
        uint32_t expected = c->nextMessage;
        if (expected == SCS_SSL_MSG_SERVER_HELLO || expected == SCS_SSL_MSG_CERTIFICATE ||
            expected == SCS_SSL_MSG_CERTIFICATE_REQUEST || expected == SCS_SSL_MSG_SERVER_HELLO_DONE) {
            hashMessage(c, message, 4 + bodyLength);
        }
        const uint8_t* body = message + 4;
        TcsResult result;
        switch (expected) {
        case SCS_SSL_MSG_SERVER_HELLO: result = scsSSLServerHelloProcess(c, body, bodyLength, alert); break;
        case SCS_SSL_MSG_CERTIFICATE_REQUEST:
            result = scsSSLCertificateRequestProcess(c, body, bodyLength, alert);
            break;
        case SCS_SSL_MSG_SERVER_HELLO_DONE: result = scsSSLServerHelloDoneProcess(c, body, bodyLength, alert); break;
        case SCS_SSL_MSG_FINISHED: result = scsSSLFinishedProcess(c, body, bodyLength, alert); break;
        default: result = fail(alert, SCS_SSL_ALERT_UNEXPECTED_MESSAGE, SCS_SSL_UNEXPECTED_MESSAGE); break;
        }
        if (result != TCS_RESULT_OK) return result;
        pos += 4 + bodyLength;
    }
    return TCS_RESULT_OK;
}

TcsResult scsSSLServerHelloProcess(ScsSSLContext* c, const uint8_t* body, uint32_t length, uint8_t* alert) {
    if (length <= 34) return fail(alert, SCS_SSL_ALERT_ILLEGAL_PARAMETER, SCS_SSL_BAD_RECORD);
    if (body[0] != 3 || body[1] != 0) return fail(alert, SCS_SSL_ALERT_HANDSHAKE_FAILURE, SCS_SSL_BAD_RECORD);
    if (c->serverRandom == nullptr) {
        c->serverRandom = static_cast<uint8_t*>(palRealMalloc(SCS_SSL_RANDOM_SIZE));
        if (c->serverRandom == nullptr) return TCS_RESULT_OUT_OF_MEMORY;
    }
    memcpy(c->serverRandom, body + 2, SCS_SSL_RANDOM_SIZE);
    computeRecoveryId(c);
    uint32_t idLength = body[34];
    uint32_t pos = 35;
    if (idLength == 0) {
        palRealFree(c->sessionId);
        c->sessionId = nullptr;
        c->flags &= ~SCS_SSL_FLAG_RESUMED;
    } else {
        // The channel's ids are 7 bytes; the parser always steps over 7 (a longer id is not ours).
        if (idLength > 32 || idLength > length - pos || SCS_SSL_SESSION_ID_SIZE > length - pos) {
            return fail(alert, SCS_SSL_ALERT_ILLEGAL_PARAMETER, SCS_SSL_BAD_RECORD);
        }
        if (c->sessionId != nullptr && idLength == SCS_SSL_SESSION_ID_SIZE &&
            memcmp(c->sessionId, body + pos, SCS_SSL_SESSION_ID_SIZE) == 0) {
            c->flags |= SCS_SSL_FLAG_RESUMED;
        } else {
            c->cipherSpec = nullSpec();
            if (c->sessionId == nullptr) {
                c->sessionId = static_cast<uint8_t*>(palRealMalloc(SCS_SSL_SESSION_ID_SIZE));
                if (c->sessionId == nullptr) return TCS_RESULT_OUT_OF_MEMORY;
            }
            memcpy(c->sessionId, body + pos, SCS_SSL_SESSION_ID_SIZE);
            c->flags &= ~SCS_SSL_FLAG_RESUMED;
        }
        pos += SCS_SSL_SESSION_ID_SIZE;
    }
    if (length - pos < 2) return fail(alert, SCS_SSL_ALERT_ILLEGAL_PARAMETER, SCS_SSL_BAD_RECORD);
    uint16_t suite = uint16_t(body[pos] << 8 | body[pos + 1]);
    pos += 2;
    if (c->flags & SCS_SSL_FLAG_RESUMED) {
        if (c->cipherSpec == nullptr || suite != c->cipherSpec->id) {
            return fail(alert, SCS_SSL_ALERT_HANDSHAKE_FAILURE, SCS_SSL_BAD_RECORD);
        }
    } else {
        const ScsCipherSpec* cipherSpec = scsSSLCipherSpecFind(suite);
        // The null suite is never offered; taking it would run the session unprotected.
        if (cipherSpec == nullptr || cipherSpec->id == 0) return fail(alert, SCS_SSL_ALERT_HANDSHAKE_FAILURE, SCS_SSL_BAD_RECORD);
        c->cipherSpec = cipherSpec;
    }
    if (length - pos < 1 || body[pos] != 0) return fail(alert, SCS_SSL_ALERT_ILLEGAL_PARAMETER, SCS_SSL_BAD_RECORD);
    if (c->flags & SCS_SSL_FLAG_RESUMED) {
        TcsResult result = scsSSLKeyBlockGenerate(c);
        if (result != TCS_RESULT_OK) return result;
        c->nextMessage = SCS_SSL_MSG_FINISHED;
    } else {
        c->nextMessage = c->rsaMode ? SCS_SSL_MSG_CERTIFICATE_REQUEST : SCS_SSL_MSG_SERVER_HELLO_DONE;
    }
    return TCS_RESULT_OK;
}

TcsResult scsSSLCertificateRequestProcess(ScsSSLContext* c, const uint8_t* body, uint32_t length, uint8_t* alert) {
    if (length <= 3 || body[0] > length - 1) return fail(alert, SCS_SSL_ALERT_ILLEGAL_PARAMETER, SCS_SSL_BAD_RECORD);
    if (body[1] != 1) return fail(alert, SCS_SSL_ALERT_UNSUPPORTED_CERTIFICATE, SCS_SSL_BAD_RECORD);
    c->nextMessage = SCS_SSL_MSG_SERVER_HELLO_DONE;
    return TCS_RESULT_OK;
}

TcsResult scsSSLServerHelloDoneProcess(ScsSSLContext* c, const uint8_t*, uint32_t, uint8_t* alert) {
    uint8_t preMaster[SCS_SSL_MASTER_SIZE];
    preMaster[0] = 3;
    preMaster[1] = 0;
    TcsResult result = scsSSLGetRandom(preMaster + 2, 46);
    if (result != TCS_RESULT_OK) return result;

    c->flightLength = 0;
    uint8_t* record = c->output + 3;
    uint8_t* message = record + 5;
    uint32_t used = 0;
    const bool sendCertificate = c->rsaMode && (c->flags & SCS_SSL_FLAG_SEND_CERTIFICATE);
    if (sendCertificate) {
        if (c->hostCertificate == nullptr) return TCS_RESULT_NULL_POINTER;
        uint8_t* m = message;
        putHeader(m, SCS_SSL_MSG_CERTIFICATE, 270);
        const uint8_t lengths[6] = {0x00, 0x01, 0x15, 0x00, 0x01, 0x08};
        memcpy(m + 4, lengths, 6);
        const uint32_t words[2] = {256, 65537};
        for (int w = 0; w < 2; ++w) {
            for (int i = 0; i < 4; ++i) m[10 + 4 * w + i] = uint8_t(words[w] >> (8 * i));
        }
        memcpy(m + 18, c->hostCertificate->modulus, 256);
        hashMessage(c, m, 274);
        used += 274;
    }

    uint8_t* exchange = message + used;
    if (c->rsaMode) {
        if (c->sensorCertificate == nullptr) return TCS_RESULT_NULL_POINTER;
        CryptoKeyObject* key = nullptr;
        result = palCryptoRsaCreatePublicKeyHandle(2048, kExponent65537, c->sensorCertificate->modulus, &key);
        uint8_t encrypted[256];
        uint32_t encryptedLength = sizeof encrypted;
        if (result == TCS_RESULT_OK) result = palCryptoRsaEncrypt(preMaster, 48, encrypted, &encryptedLength, key);
        if (key != nullptr) palCryptoObjectDestroyHandle(&key);
        if (result != TCS_RESULT_OK) {
            memset(preMaster, 0, sizeof preMaster);
            return result;
        }
        putHeader(exchange, SCS_SSL_MSG_CLIENT_KEY_EXCHANGE, 256);
        reverse(exchange + 4, encrypted, 256);  // the wire takes it most significant byte first
        hashMessage(c, exchange, 260);
        used += 260;
    } else {
        if (c->sharedSecret == nullptr || c->cipherSpec == nullptr) return TCS_RESULT_NULL_POINTER;
        uint8_t iv[16] = {};
        putHeader(exchange, SCS_SSL_MSG_CLIENT_KEY_EXCHANGE, 48);
        result = palCryptoEncrypt(preMaster, 48, exchange + 4, nullptr, c->sharedSecret, c->cipherSpec->keyLength, iv,
                                  PAL_CRYPTO_AES_CBC);
        if (result != TCS_RESULT_OK) {
            memset(preMaster, 0, sizeof preMaster);
            return result;
        }
        hashMessage(c, exchange, 52);
        used += 52;
    }

    result = scsSSLMasterSecretGenerate(c, preMaster);
    memset(preMaster, 0, sizeof preMaster);
    if (result != TCS_RESULT_OK) return result;

    if (sendCertificate) {
        uint8_t hash[SCS_SSL_HASH_SIZE];
        result = scsSSLHsHashFinish(c, nullptr, 0, hash);
        if (result != TCS_RESULT_OK) return result;
        uint8_t signature[256];
        uint32_t signatureLength = sizeof signature;
        if (c->hostPrivateKey != nullptr) {
            result = palCryptoRsaSign(hash, SCS_SSL_HASH_SIZE, PAL_CRYPTO_HASH_RAW, signature, &signatureLength,
                                      c->hostPrivateKey);
        } else if (c->signCallback != nullptr) {
            result = c->signCallback(c->sensorId, 6, hash, SCS_SSL_HASH_SIZE, PAL_CRYPTO_HASH_RAW, signature,
                                     &signatureLength);
        } else {
            result = TCS_RESULT_NULL_POINTER;
        }
        if (result == TCS_RESULT_OK && signatureLength != 256) result = TCS_RESULT_INVALID;
        if (result != TCS_RESULT_OK) return result;
        uint8_t* verify = message + used;
        putHeader(verify, SCS_SSL_MSG_CERTIFICATE_VERIFY, 256);
        reverse(verify + 4, signature, 256);
        hashMessage(c, verify, 260);
        used += 260;
    }

    result = scsSSLRecordPack(c, record, SCS_SSL_HANDSHAKE, used);
    if (result == TCS_RESULT_OK) result = scsSSLKeyBlockGenerate(c);
    if (result == TCS_RESULT_OK) result = scsSSLChangeCipherSpecWrite(c, c->output + 3 + c->flightLength);
    if (result == TCS_RESULT_OK) result = writeFinished(c, 0);
    if (result != TCS_RESULT_OK) return result;
    closeFlight(c);
    c->nextMessage = SCS_SSL_MSG_FINISHED;
    (void)alert;
    return TCS_RESULT_OK;
}

TcsResult scsSSLFinishedProcess(ScsSSLContext* c, const uint8_t* body, uint32_t length, uint8_t* alert) {
    if (!(c->flags & SCS_SSL_FLAG_READ_ACTIVE)) {
        return fail(alert, SCS_SSL_ALERT_UNEXPECTED_MESSAGE, SCS_SSL_UNEXPECTED_MESSAGE);
    }
    if (length != SCS_SSL_HASH_SIZE) return fail(alert, SCS_SSL_ALERT_ILLEGAL_PARAMETER, SCS_SSL_BAD_RECORD);
    const bool resumed = (c->flags & SCS_SSL_FLAG_RESUMED) != 0;
    // On resume the roles swap: the server's Finished comes first and works on copies.
    uint8_t expected[SCS_SSL_HASH_SIZE];
    TcsResult result = scsSSLHsHashFinish(c, kServerSender, resumed ? 0 : 1, expected);
    if (result != TCS_RESULT_OK) return result;
    const bool match = scsSSLSameBytes(expected, body, SCS_SSL_HASH_SIZE) != 0;
    memset(expected, 0, sizeof expected);
    if (!match) return fail(alert, SCS_SSL_ALERT_ILLEGAL_PARAMETER, SCS_SSL_BAD_RECORD);
    if (!resumed) {
        c->nextMessage = SCS_SSL_HANDSHAKE_COMPLETE;
        return TCS_RESULT_OK;
    }
    c->flightLength = 0;
    result = scsSSLChangeCipherSpecWrite(c, c->output + 3);
    if (result == TCS_RESULT_OK) result = writeFinished(c, 1);
    if (result != TCS_RESULT_OK) return result;
    closeFlight(c);
    // Complete once the sensor acknowledges with the alert {1, 50}.
    c->nextMessage = 0;
    return TCS_RESULT_OK;
}

TcsResult scsSSLHsHashFinish(ScsSSLContext* c, const uint8_t* sender, uint32_t consume, uint8_t out[36]) {
    if (c == nullptr || out == nullptr || c->md5 == nullptr || c->sha1 == nullptr) return TCS_RESULT_NULL_POINTER;
    DigestContext* md5 = c->md5;
    DigestContext* sha1 = c->sha1;
    TcsResult result = TCS_RESULT_OK;
    if (consume) {
        c->md5 = nullptr;
        c->sha1 = nullptr;
    } else {
        md5 = sha1 = nullptr;
        result = palCryptoDigestCtxDuplicate(&md5, c->md5);
        if (result == TCS_RESULT_OK) result = palCryptoDigestCtxDuplicate(&sha1, c->sha1);
        if (result != TCS_RESULT_OK) {
            discardDigest(&md5);
            discardDigest(&sha1);
            memset(c->masterSecret, 0, sizeof c->masterSecret);
            return result;
        }
    }
    result = hashHalf(md5, PAL_CRYPTO_MD5, 48, sender, c->masterSecret, out);
    TcsResult second = hashHalf(sha1, PAL_CRYPTO_SHA1, 40, sender, c->masterSecret, out + 16);
    if (result == TCS_RESULT_OK) result = second;
    if (result != TCS_RESULT_OK) memset(c->masterSecret, 0, sizeof c->masterSecret);
    return result;
}

TcsResult scsSSLMasterSecretGenerate(ScsSSLContext* c, uint8_t preMaster[SCS_SSL_MASTER_SIZE]) {
    if (c == nullptr || preMaster == nullptr) return TCS_RESULT_NULL_POINTER;
    if (c->clientRandom == nullptr || c->serverRandom == nullptr) return TCS_RESULT_NULL_POINTER;
    for (uint32_t i = 0; i < 3; ++i) {
        uint8_t label[3];
        memset(label, 'A' + int(i), i + 1);
        TcsResult result = deriveBlock(label, i + 1, preMaster, c->clientRandom, c->serverRandom,
                                       c->masterSecret + 16 * i);
        if (result != TCS_RESULT_OK) {
            memset(c->masterSecret, 0, sizeof c->masterSecret);
            memset(preMaster, 0, SCS_SSL_MASTER_SIZE);
            return result;
        }
    }
    return TCS_RESULT_OK;
}

TcsResult scsSSLKeyBlockGenerate(ScsSSLContext* c) {
    if (c == nullptr || c->cipherSpec == nullptr) return TCS_RESULT_NULL_POINTER;
    if (c->clientRandom == nullptr || c->serverRandom == nullptr) return TCS_RESULT_NULL_POINTER;
    const uint32_t length = 2 * c->cipherSpec->keyLength + 72;
    uint8_t block[16];
    for (uint32_t i = 1, done = 0; done < length; ++i) {
        uint8_t label[16];
        memset(label, 0x40 + int(i), i);
        TcsResult result = deriveBlock(label, i, c->masterSecret, c->serverRandom, c->clientRandom, block);
        if (result != TCS_RESULT_OK) {
            scsSSLWipeKeys(c);
            memset(c->masterSecret, 0, sizeof c->masterSecret);
            memset(block, 0, sizeof block);
            return result;
        }
        uint32_t take = length - done < 16 ? length - done : 16;
        memcpy(c->keyBlock + done, block, take);
        done += take;
    }
    memset(block, 0, sizeof block);
    freeSecret(&c->clientRandom, SCS_SSL_RANDOM_SIZE);
    freeSecret(&c->serverRandom, SCS_SSL_RANDOM_SIZE);
    return TCS_RESULT_OK;
}

TcsResult scsSSLRecoveryMessageBuild(ScsSSLContext* c, uint8_t out[SCS_SSL_RECOVERY_MESSAGE_SIZE]) {
    if (c == nullptr || out == nullptr || c->cipherSpec == nullptr) return TCS_RESULT_NULL_POINTER;
    out[0] = SCS_SSL_RECOVERY_COMMAND;
    memcpy(out + 1, c->recoveryId, 32);
    uint8_t plain[208] = {};
    memcpy(plain, c->masterSecret, 48);
    memcpy(plain + 48, c->readSequence, 8);
    memcpy(plain + 56, c->writeSequence, 8);
    memcpy(plain + 64, c->keyBlock, SCS_SSL_KEY_BLOCK_SIZE);
    plain[200] = uint8_t(c->cipherSpec->id);
    plain[201] = uint8_t(c->cipherSpec->id >> 8);
    TcsResult result = scsSSLGetRandom(out + 33, 16);
    uint8_t iv[16];
    memcpy(iv, out + 33, 16);
    if (result == TCS_RESULT_OK) {
        result = palCryptoEncrypt(plain, sizeof plain, out + 49, nullptr, c->recoveryKey, 32, iv, PAL_CRYPTO_AES_CBC);
    }
    memset(plain, 0, sizeof plain);
    if (result != TCS_RESULT_OK) {
        memset(c->masterSecret, 0, sizeof c->masterSecret);
        scsSSLWipeKeys(c);
        memset(c->recoveryKey, 0, sizeof c->recoveryKey);
    }
    return result;
}
