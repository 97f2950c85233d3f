// Secure channel record layer: cipher suites, the SSL 3.0 MAC, padding, AES-CBC chained across
// records, alerts and the processing of received records.
#include "tcs/sensorctl/secure/ssl.h"

#include "platform/memory.h"

#include <string.h>

const ScsCipherSpec supportedCiphers[7] = {
    {0x0032, 32}, {0x0031, 24}, {0x0030, 16}, {0x0044, 32}, {0x0043, 24}, {0x0042, 16}, {0x0000, 0},
};

namespace {

constexpr uint32_t kClientMac = 0;
constexpr uint32_t kServerMac = 20;
constexpr uint32_t kClientKey = 40;

uint32_t keyLength(const ScsSSLContext* context) { return context->cipherSpec != nullptr ? context->cipherSpec->keyLength : 0; }
uint8_t* clientKey(ScsSSLContext* c) { return c->keyBlock + kClientKey; }
uint8_t* serverKey(ScsSSLContext* c) { return c->keyBlock + kClientKey + keyLength(c); }
uint8_t* clientIv(ScsSSLContext* c) { return c->keyBlock + kClientKey + 2 * keyLength(c); }
uint8_t* serverIv(ScsSSLContext* c) { return c->keyBlock + kClientKey + 2 * keyLength(c) + 16; }

void incrementSequence(uint8_t sequence[8]) {
    for (int i = 7; i >= 0; --i) {
        if (++sequence[i] != 0) break;
    }
}

void putBigEndian16(uint8_t* p, uint32_t v) {
    p[0] = uint8_t(v >> 8);
    p[1] = uint8_t(v);
}

bool handshakeComplete(const ScsSSLContext* c) { return c->nextMessage == SCS_SSL_HANDSHAKE_COMPLETE; }

// The alert {1, 50} completes a handshake only where the sensor acknowledges a resumed one: after its
// Finished was checked (which needs the read side) and the host's own was packed (next message 0).
// Anywhere else it would pass for a handshake that never proved the sensor holds the keys.
bool awaitingAcknowledgement(const ScsSSLContext* c) {
    const uint32_t both = SCS_SSL_FLAG_RESUMED | SCS_SSL_FLAG_READ_ACTIVE;
    return c->nextMessage == 0 && (c->flags & both) == both;
}

// Answers a failure in received data with one alert at most per session, packed where the sender of
// that moment expects it: behind a fresh flight frame during the handshake, bare afterwards.
void packFailureAlert(ScsSSLContext* c, uint8_t description) {
    if (description == SCS_SSL_ALERT_NONE || c->closeAlertSent != 0) return;
    if (!handshakeComplete(c)) {
        c->output[0] = SCS_SSL_FLIGHT_COMMAND;
        if (scsSSLAlertWrite(c, c->output + 3, description) != TCS_RESULT_OK) return;
        c->output[1] = uint8_t(c->flightLength);
        c->output[2] = uint8_t(c->flightLength >> 8);
    } else if (scsSSLAlertWrite(c, c->output, description) != TCS_RESULT_OK) {
        return;
    }
    c->closeAlertSent = 1;
}

}  // namespace

const ScsCipherSpec* scsSSLCipherSpecFind(uint16_t id) {
    for (const ScsCipherSpec& cipherSpec : supportedCiphers) {
        if (cipherSpec.id == id) return &cipherSpec;
        if (cipherSpec.id == 0) break;
    }
    return nullptr;
}

void scsSSLWriteCipherSuiteActivate(ScsSSLContext* context) {
    memset(context->writeSequence, 0, 8);
    if (context->cipherSpec != nullptr && context->cipherSpec->id != 0) context->flags |= SCS_SSL_FLAG_WRITE_ACTIVE;
}

void scsSSLReadCipherSuiteActivate(ScsSSLContext* context) {
    memset(context->readSequence, 0, 8);
    if (context->cipherSpec != nullptr && context->cipherSpec->id != 0) context->flags |= SCS_SSL_FLAG_READ_ACTIVE;
}

void scsSSLWipeKeys(ScsSSLContext* context) { memset(context->keyBlock, 0, sizeof context->keyBlock); }

uint32_t scsSSLSameBytes(const uint8_t* a, const uint8_t* b, uint32_t length) {
    // memcmp stops at the first difference, which tells a peer how many leading bytes it guessed right.
    volatile uint8_t difference = 0;
    for (uint32_t i = 0; i < length; ++i) difference = uint8_t(difference | (a[i] ^ b[i]));
    return difference == 0 ? 1 : 0;
}

TcsResult scsSSLMacSha(const uint8_t* secret, uint8_t sequence[8], uint8_t type, const uint8_t* data,
                       uint32_t length, uint8_t out[SCS_SSL_MAC_SIZE]) {
    if (secret == nullptr || sequence == nullptr || out == nullptr || (data == nullptr && length != 0)) {
        return TCS_RESULT_NULL_POINTER;
    }
    uint8_t pad[40];
    uint8_t inner[20];
    uint32_t digestLength = 0;
    DigestContext* digest = nullptr;
    TcsResult result = palCryptoDigestInit(&digest, PAL_CRYPTO_SHA1);
    if (result != TCS_RESULT_OK) return result;
    memset(pad, 0x36, sizeof pad);
    // The channel leaves the 2-byte content length out of the MAC input, unlike SSL 3.0.
    palCryptoDigestUpdate(digest, secret, SCS_SSL_MAC_SIZE);
    palCryptoDigestUpdate(digest, pad, sizeof pad);
    palCryptoDigestUpdate(digest, sequence, 8);
    palCryptoDigestUpdate(digest, &type, 1);
    if (length != 0) palCryptoDigestUpdate(digest, data, length);
    result = palCryptoDigestFinal(digest, inner, &digestLength);
    if (result == TCS_RESULT_OK) {
        digest = nullptr;
        result = palCryptoDigestInit(&digest, PAL_CRYPTO_SHA1);
    }
    if (result == TCS_RESULT_OK) {
        memset(pad, 0x5C, sizeof pad);
        palCryptoDigestUpdate(digest, secret, SCS_SSL_MAC_SIZE);
        palCryptoDigestUpdate(digest, pad, sizeof pad);
        palCryptoDigestUpdate(digest, inner, sizeof inner);
        uint8_t full[32];
        result = palCryptoDigestFinal(digest, full, &digestLength);
        memcpy(out, full, SCS_SSL_MAC_SIZE);
        memset(full, 0, sizeof full);
    }
    memset(inner, 0, sizeof inner);
    incrementSequence(sequence);
    return result;
}

TcsResult scsSSLAesEncDec(const uint8_t* in, uint8_t* out, uint32_t length, uint8_t iv[16], const uint8_t* key,
                          uint32_t keyLength, uint32_t encrypt) {
    if (in == nullptr || out == nullptr || iv == nullptr || key == nullptr) return TCS_RESULT_NULL_POINTER;
    // CBC works on whole blocks; anything else would read or write past the buffer.
    if (length == 0 || length % 16 != 0) return TCS_RESULT_BAD_PARAM;
    uint8_t lastCipher[16];
    if (!encrypt) memcpy(lastCipher, in + length - 16, 16);  // in place, the input is about to go
    uint8_t chain[16];
    memcpy(chain, iv, 16);
    TcsResult result = encrypt ? palCryptoEncrypt(in, length, out, nullptr, key, keyLength, chain, PAL_CRYPTO_AES_CBC)
                               : palCryptoDecrypt(in, length, out, nullptr, key, keyLength, chain, PAL_CRYPTO_AES_CBC);
    if (result != TCS_RESULT_OK) return result;
    memcpy(iv, encrypt ? out + length - 16 : lastCipher, 16);
    return TCS_RESULT_OK;
}

TcsResult scsSSLRecordPack(ScsSSLContext* context, uint8_t* buffer, uint8_t type, uint32_t length) {
    if (context == nullptr || buffer == nullptr) return TCS_RESULT_NULL_POINTER;
    uint32_t content = type == SCS_SSL_HANDSHAKE ? length : length - 5;
    uint32_t fragment = content;
    if (context->flags & SCS_SSL_FLAG_WRITE_ACTIVE) {
        uint8_t* data = buffer + 5;
        TcsResult result = scsSSLMacSha(context->keyBlock + kClientMac, context->writeSequence, type, data, content,
                                        data + content);
        uint32_t n = content + SCS_SSL_MAC_SIZE;
        // Padding bytes carry count - 1: a whole block of fifteens when n is already aligned.
        uint32_t pad = 16 - n % 16;
        memset(data + n, int(pad - 1), pad);
        fragment = n + pad;
        if (result == TCS_RESULT_OK) {
            result = scsSSLAesEncDec(data, data, fragment, clientIv(context), clientKey(context), keyLength(context), 1);
        }
        if (result != TCS_RESULT_OK) {
            scsSSLWipeKeys(context);
            return result;
        }
    }
    buffer[0] = type;
    buffer[1] = 3;
    buffer[2] = 0;
    putBigEndian16(buffer + 3, fragment);
    context->flightLength += 5 + fragment;
    return TCS_RESULT_OK;
}

TcsResult scsSSLAlertWrite(ScsSSLContext* context, uint8_t* buffer, uint8_t description) {
    if (context == nullptr || buffer == nullptr) return TCS_RESULT_NULL_POINTER;
    context->flightLength = 0;
    uint8_t level = (description == 10 || description == 20 || description == 40 || description == 47) ? 2 : 1;
    buffer[5] = level;
    buffer[6] = description;
    context->sentAlert[0] = level;
    context->sentAlert[1] = description;
    return scsSSLRecordPack(context, buffer, SCS_SSL_ALERT, 2 + 5);
}

TcsResult scsSSLChangeCipherSpecWrite(ScsSSLContext* context, uint8_t* buffer) {
    if (context == nullptr || buffer == nullptr) return TCS_RESULT_NULL_POINTER;
    buffer[5] = 1;
    TcsResult result = scsSSLRecordPack(context, buffer, SCS_SSL_CHANGE_CIPHER_SPEC, 1 + 5);
    // Activated after packing: the change cipher cipherSpec itself goes out under the old cipherSpec.
    if (result == TCS_RESULT_OK) scsSSLWriteCipherSuiteActivate(context);
    return result;
}

TcsResult scsSSLAppDataWrite(ScsSSLContext* context, const uint8_t* data, uint32_t length) {
    if (context == nullptr || (data == nullptr && length != 0)) return TCS_RESULT_NULL_POINTER;
    context->flightLength = 0;
    if (!handshakeComplete(context) || !(context->flags & SCS_SSL_FLAG_WRITE_ACTIVE) ||
        (context->flags & SCS_SSL_FLAG_UNUSABLE)) {
        return SCS_SSL_NO_SESSION;
    }
    if (length > SCS_SSL_MAX_CONTENT) return SCS_SSL_BAD_RECORD;
    auto* record = static_cast<uint8_t*>(palRealMalloc(length + SCS_SSL_RECORD_OVERHEAD));
    if (record == nullptr) return TCS_RESULT_OUT_OF_MEMORY;
    if (length != 0) memcpy(record + 5, data, length);
    TcsResult result = scsSSLRecordPack(context, record, SCS_SSL_APPLICATION_DATA, length + 5);
    if (result != TCS_RESULT_OK) {
        palRealFree(record);
        return result;
    }
    palRealFree(context->appRecord);
    context->appRecord = record;
    return TCS_RESULT_OK;
}

TcsResult scsSSLProcess(ScsSSLContext* context, uint8_t* data, uint32_t length) {
    if (context == nullptr || data == nullptr) return TCS_RESULT_NULL_POINTER;
    TcsResult result = TCS_RESULT_OK;
    uint8_t alert = SCS_SSL_ALERT_NONE;
    uint32_t pos = 0;
    while (pos < length) {
        uint8_t* header = data + pos;
        uint32_t left = length - pos;
        uint32_t fragmentLength = left >= 5 ? (uint32_t(header[3]) << 8 | header[4]) : 0;
        if (left < 5 || header[1] != 3 || header[2] != 0 || fragmentLength == 0 ||
            fragmentLength > SCS_SSL_MAX_FRAGMENT || fragmentLength > left - 5) {
            alert = SCS_SSL_ALERT_ILLEGAL_PARAMETER;
            result = SCS_SSL_BAD_RECORD;
            break;
        }
        uint8_t type = header[0];
        uint8_t* content = header + 5;
        uint32_t contentLength = fragmentLength;
        if (context->flags & SCS_SSL_FLAG_READ_ACTIVE) {
            // Whole blocks only: decrypting a ragged fragment would run past the record.
            if (fragmentLength % 16 != 0) {
                alert = SCS_SSL_ALERT_ILLEGAL_PARAMETER;
                result = SCS_SSL_BAD_RECORD;
                break;
            }
            result = scsSSLAesEncDec(content, content, fragmentLength, serverIv(context), serverKey(context),
                                     keyLength(context), 0);
            if (result != TCS_RESULT_OK) break;
            if (fragmentLength < SCS_SSL_MAC_SIZE) {
                alert = SCS_SSL_ALERT_BAD_RECORD_MAC;
                result = SCS_SSL_BAD_RECORD;
                break;
            }
            // A bad padding is answered as a bad MAC, after the same MAC work: a peer that could tell
            // the two apart would learn the last byte of any block it sends in.
            uint32_t pad = content[fragmentLength - 1];
            const bool padded = pad <= 15 && pad + SCS_SSL_MAC_SIZE < fragmentLength;
            contentLength = fragmentLength - 21 - (padded ? pad : 0);
            uint8_t mac[SCS_SSL_MAC_SIZE];
            result = scsSSLMacSha(context->keyBlock + kServerMac, context->readSequence, type, content, contentLength,
                                  mac);
            const bool match = result == TCS_RESULT_OK &&
                               scsSSLSameBytes(mac, content + contentLength, SCS_SSL_MAC_SIZE) != 0 && padded;
            memset(content + contentLength, 0, SCS_SSL_MAC_SIZE);
            memset(mac, 0, sizeof mac);
            if (result != TCS_RESULT_OK) break;
            if (!match) {
                alert = SCS_SSL_ALERT_BAD_RECORD_MAC;
                result = SCS_SSL_BAD_MAC;
                break;
            }
        }
        if (contentLength > SCS_SSL_MAX_CONTENT) {
            alert = SCS_SSL_ALERT_ILLEGAL_PARAMETER;
            result = SCS_SSL_BAD_RECORD;
            break;
        }
        if (type == SCS_SSL_ALERT) {
            if (contentLength < 2) {
                alert = SCS_SSL_ALERT_ILLEGAL_PARAMETER;
                result = SCS_SSL_BAD_RECORD;
                break;
            }
            context->receivedAlert[0] = content[0];
            context->receivedAlert[1] = content[1];
            if (content[0] == 1 && content[1] == 50 && awaitingAcknowledgement(context)) {
                // The sensor's acknowledgement of a resumed handshake.
                context->nextMessage = SCS_SSL_HANDSHAKE_COMPLETE;
            } else {
                context->flags |= SCS_SSL_FLAG_UNUSABLE;
                scsSSLWipeKeys(context);
                return SCS_SSL_ALERT_RECEIVED;
            }
        } else if (type == SCS_SSL_CHANGE_CIPHER_SPEC) {
            // Once only: a second one would restart the read sequence, and old records would pass again.
            if (context->nextMessage != SCS_SSL_MSG_FINISHED || (context->flags & SCS_SSL_FLAG_READ_ACTIVE)) {
                alert = SCS_SSL_ALERT_UNEXPECTED_MESSAGE;
                result = SCS_SSL_UNEXPECTED_MESSAGE;
                break;
            }
            if (contentLength < 1 || content[0] != 1) {
                alert = SCS_SSL_ALERT_ILLEGAL_PARAMETER;
                result = SCS_SSL_BAD_RECORD;
                break;
            }
            scsSSLReadCipherSuiteActivate(context);
        } else if (type == SCS_SSL_HANDSHAKE) {
            result = scsSSLHandshakeProcess(context, content, contentLength, &alert);
            if (result != TCS_RESULT_OK) {
                if (alert == SCS_SSL_ALERT_NONE) {
                    scsSSLWipeKeys(context);
                    return result;
                }
                break;
            }
        } else if (type == SCS_SSL_APPLICATION_DATA) {
            if (!handshakeComplete(context) || !(context->flags & SCS_SSL_FLAG_READ_ACTIVE)) {
                alert = SCS_SSL_ALERT_UNEXPECTED_MESSAGE;
                result = SCS_SSL_UNEXPECTED_MESSAGE;
                break;
            }
            context->flightLength = contentLength;
            if ((context->flags & SCS_SSL_FLAG_EXPECT_RECOVERY_KEY) && contentLength >= sizeof context->recoveryKey) {
                memcpy(context->recoveryKey, content, sizeof context->recoveryKey);
                context->flags = (context->flags & ~SCS_SSL_FLAG_EXPECT_RECOVERY_KEY) | SCS_SSL_FLAG_RECOVERY_KEY_HELD;
            }
        } else {
            alert = SCS_SSL_ALERT_UNEXPECTED_MESSAGE;
            result = SCS_SSL_UNEXPECTED_MESSAGE;
            break;
        }
        pos += 5 + fragmentLength;
    }
    if (result != TCS_RESULT_OK) {
        packFailureAlert(context, alert);
        scsSSLWipeKeys(context);
    }
    return result;
}
