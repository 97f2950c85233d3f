// Secure channel session of a device: handshake state machine, wrapping of commands and replies,
// suspend and one-message recovery, close alerts, and where a device's security flags come from.
#include "tcs/sensorctl/secure/ssl_session.h"

#include "platform/clock.h"
#include "platform/memory.h"
#include "tcs/sensorctl/secure/data_slots.h"
#include "tcs/sensorctl/secure/public_keys.h"
#include "tcs/sensorctl/engine/scs_internal.h"
#include "tcs/sensorctl/secure/security.h"

#include <string.h>

namespace {

constexpr uint32_t kCloseAlertReplySize = 2404;

void freeSecret(uint8_t** buffer) {
    if (*buffer == nullptr) return;
    memset(*buffer, 0, 32);
    palRealFree(*buffer);
    *buffer = nullptr;
}

ScsSSLCertificate* newCertificate() {
    auto* c = static_cast<ScsSSLCertificate*>(palRealMalloc(sizeof(ScsSSLCertificate)));
    if (c != nullptr) {
        memset(c, 0, sizeof *c);
        c->modulusLength = 256;
        c->exponent = 65537;
    }
    return c;
}

// Whether a reply took the handshake as far as the state `next` needs. The server's first flight ends
// with ServerHelloDone (the final flight is then built and its Finished awaited) or, resuming, with
// the sensor's checked Finished (the host's own then packed). The final flight's reply must complete
// the handshake: only a checked Finished proves the sensor holds the keys, and a reply that stops
// short of it (a bare change cipher spec, nothing at all) is a failure, never a session.
bool flightDone(const ScsSSLContext* c, uint8_t next) {
    if (next == SCS_SSL_STATE_ESTABLISHED) return c->nextMessage == SCS_SSL_HANDSHAKE_COMPLETE;
    if (c->flags & SCS_SSL_FLAG_RESUMED) return c->nextMessage == 0 && (c->flags & SCS_SSL_FLAG_READ_ACTIVE);
    return c->nextMessage == SCS_SSL_MSG_FINISHED;
}

// Completion of a handshake command: the reply's records are processed; an alert prepared by
// processing is still owed to the sensor (state 6), otherwise the handshake has failed (state 7).
void afterReply(ScsSSLContext* c, const uint8_t* reply, uint32_t length, uint8_t next) {
    // Processing decrypts in place: work on a copy of the caller's reply.
    auto* copy = static_cast<uint8_t*>(palRealMalloc(length != 0 ? length : 1));
    TcsResult result = copy == nullptr ? TCS_RESULT_OUT_OF_MEMORY : TCS_RESULT_OK;
    if (copy != nullptr) {
        memcpy(copy, reply, length);
        result = scsSSLProcess(c, copy, length);
        palRealFree(copy);
    }
    if (result == TCS_RESULT_OK && flightDone(c, next)) {
        c->state = next;
    } else if (result == TCS_RESULT_OK) {
        scsSSLWipeKeys(c);
        c->state = SCS_SSL_STATE_FAILED;
    } else {
        c->state = c->closeAlertSent ? SCS_SSL_STATE_SEND_ALERT : SCS_SSL_STATE_FAILED;
    }
}

TcsResult sendOutput(ScsSSLContext* c, const ScsSSLIo* io) {
    c->requestPending = 1;
    TcsResult result = io->send(io->context, c->output, 3 + c->flightLength, SCS_SSL_HANDSHAKE_REPLY_SIZE);
    if (result != TCS_RESULT_OK) {
        c->requestPending = 0;
        c->state = SCS_SSL_STATE_FAILED;
    }
    return result;
}

TcsResult recoverStep(ScsSSLContext* c, const ScsSSLIo* io, const uint8_t* reply, TcsResult status) {
    if (status == TCS_RESULT_SERVICE) {
        if (c->requestPending) return TCS_RESULT_OK;
        uint8_t message[SCS_SSL_RECOVERY_MESSAGE_SIZE];
        TcsResult result = scsSSLRecoveryMessageBuild(c, message);
        if (result != TCS_RESULT_OK) return result;
        // Unusable while the sensor has not taken the session back.
        c->flags |= SCS_SSL_FLAG_UNUSABLE;
        c->requestPending = 1;
        result = io->send(io->context, message, sizeof message, SCS_SSL_HANDSHAKE_REPLY_SIZE);
        memset(message, 0, sizeof message);
        if (result != TCS_RESULT_OK) {
            c->requestPending = 0;
            c->state = SCS_SSL_STATE_FAILED;
        }
        return TCS_RESULT_OK;
    }
    if (reply == nullptr) {
        memset(c->masterSecret, 0, sizeof c->masterSecret);
        scsSSLWipeKeys(c);
        memset(c->recoveryKey, 0, sizeof c->recoveryKey);
        return TCS_RESULT_NULL_POINTER;
    }
    c->requestPending = 0;
    c->flags &= ~SCS_SSL_FLAG_UNUSABLE;
    c->state = status == TCS_RESULT_OK ? SCS_SSL_STATE_ESTABLISHED : SCS_SSL_STATE_FAILED;
    return TCS_RESULT_OK;
}

}  // namespace

TcsResult scsSSLStep(ScsSSLContext* c, const ScsSSLIo* io, const uint8_t* reply, uint32_t replyLength,
                     TcsResult status) {
    if (c == nullptr || io == nullptr) return TCS_RESULT_NULL_POINTER;
    const bool step = status == TCS_RESULT_SERVICE;
    if (!step && reply == nullptr && c->state != SCS_SSL_STATE_RECOVER && c->state != SCS_SSL_STATE_SEND_ALERT) {
        c->requestPending = 0;
        c->state = SCS_SSL_STATE_FAILED;
        return TCS_RESULT_NULL_POINTER;
    }
    switch (c->state) {
    case SCS_SSL_STATE_RECOVER: {
        TcsResult result = recoverStep(c, io, reply, status);
        if (result != TCS_RESULT_OK) c->state = SCS_SSL_STATE_FAILED;
        return result;
    }
    case SCS_SSL_STATE_SENSOR_CERTIFICATE: {
        if (!step) return TCS_RESULT_OK;
        if (c->sensorCertificate == nullptr) c->sensorCertificate = newCertificate();
        if (c->sensorCertificate == nullptr) return TCS_RESULT_OUT_OF_MEMORY;
        TcsResult result = io->readSlot(io->context, SCS_SLOT_SENSOR_CERTIFICATE, SCS_SERIALIZER_SPI_FLASH,
                                        SCS_PROTECTOR_NONE, 256, c->sensorCertificate->modulus);
        if (result == TCS_RESULT_OK) {
            uint8_t signature[256];
            result = io->readSlot(io->context, SCS_SLOT_SENSOR_SIGNATURE, SCS_SERIALIZER_SPI_FLASH,
                                  SCS_PROTECTOR_NONE, 256, signature);
            if (result == TCS_RESULT_OK) {
                result = io->validateCertificate(io->context, c->sensorCertificate->modulus, signature);
            }
            c->state = result == TCS_RESULT_OK ? SCS_SSL_STATE_HOST_CERTIFICATE : SCS_SSL_STATE_FAILED;
        } else if (result == TCS_RESULT_DATA_ID_DOESNT_EXIST && c->publicKeyCallback != nullptr) {
            c->publicKeyCallback(c->sensorId, 6, c->sensorCertificate->modulus, 256);
            c->state = SCS_SSL_STATE_HOST_CERTIFICATE;
        } else {
            c->state = SCS_SSL_STATE_FAILED;
        }
        return TCS_RESULT_OK;
    }
    case SCS_SSL_STATE_HOST_CERTIFICATE: {
        if (!step) return TCS_RESULT_OK;
        c->requestPending = 0;
        if (c->hostCertificate == nullptr) c->hostCertificate = newCertificate();
        if (c->hostCertificate == nullptr) return TCS_RESULT_OUT_OF_MEMORY;
        TcsResult result = io->readSlot(io->context, SCS_SLOT_HOST_CERTIFICATE, SCS_SERIALIZER_SPI_FLASH,
                                        SCS_PROTECTOR_NONE, 256, c->hostCertificate->modulus);
        if (result != TCS_RESULT_OK) {
            c->state = SCS_SSL_STATE_FAILED;
            return TCS_RESULT_OK;
        }
        if (c->hostPrivateKey == nullptr) {
            auto* blob = static_cast<uint8_t*>(palRealMalloc(PAL_HOST_KEY_BLOB_DATA_SIZE));
            if (blob == nullptr) return TCS_RESULT_OUT_OF_MEMORY;
            result = io->readSlot(io->context, SCS_SLOT_HOST_PRIVATE_KEY, SCS_SERIALIZER_SPI_FLASH, SCS_PROTECTOR_GSK,
                                  PAL_HOST_KEY_BLOB_DATA_SIZE, blob);
            if (result == TCS_RESULT_OK) {
                result = palCryptoRsaCreatePrivateKeyHandle(PAL_RSA_BLOB_SIZE_2048, blob, &c->hostPrivateKey);
                c->hostCertificateLength = 256;
            }
            memset(blob, 0, PAL_HOST_KEY_BLOB_DATA_SIZE);
            palRealFree(blob);
        }
        // No stored key is fine: CertificateVerify then goes through the sign callback.
        c->state = (result == TCS_RESULT_OK || result == TCS_RESULT_DATA_ID_DOESNT_EXIST) ? SCS_SSL_STATE_HELLO
                                                                                       : SCS_SSL_STATE_FAILED;
        return TCS_RESULT_OK;
    }
    case SCS_SSL_STATE_SHARED_SECRET: {
        if (!step) return TCS_RESULT_OK;
        TcsResult result = c->sharedSecret == nullptr
                               ? TCS_RESULT_NULL_POINTER
                               : io->readSlot(io->context, SCS_SLOT_SHARED_SECRET, SCS_SERIALIZER_SPI_FLASH,
                                              SCS_PROTECTOR_GSK, SCS_SHARED_SECRET_SIZE, c->sharedSecret);
        c->state = result == TCS_RESULT_OK ? SCS_SSL_STATE_HELLO : SCS_SSL_STATE_FAILED;
        return TCS_RESULT_OK;
    }
    case SCS_SSL_STATE_HELLO:
        if (step) {
            if (c->requestPending) return TCS_RESULT_OK;
            TcsResult result = scsSSLHandshakeStart(c);
            if (result != TCS_RESULT_OK) {
                c->state = SCS_SSL_STATE_FAILED;
                return TCS_RESULT_OK;
            }
            sendOutput(c, io);
            return TCS_RESULT_OK;
        }
        c->requestPending = 0;
        afterReply(c, reply, replyLength, SCS_SSL_STATE_FINAL_FLIGHT);
        // The shared secret never outlives the server's first flight.
        freeSecret(&c->sharedSecret);
        return TCS_RESULT_OK;
    case SCS_SSL_STATE_FINAL_FLIGHT:
        if (step) {
            if (!c->requestPending) sendOutput(c, io);
            return TCS_RESULT_OK;
        }
        c->requestPending = 0;
        c->flags |= SCS_SSL_FLAG_EXPECT_RECOVERY_KEY;
        afterReply(c, reply, replyLength, SCS_SSL_STATE_ESTABLISHED);
        return TCS_RESULT_OK;
    case SCS_SSL_STATE_SEND_ALERT:
        if (step) {
            if (!c->requestPending) sendOutput(c, io);
            return TCS_RESULT_OK;
        }
        c->requestPending = 0;
        c->state = SCS_SSL_STATE_FAILED;
        return TCS_RESULT_OK;
    case SCS_SSL_STATE_FAILED: return SCS_SSL_HANDSHAKE_FAILED;
    case SCS_SSL_STATE_ESTABLISHED:
        palRealFree(c->sensorCertificate);
        palRealFree(c->hostCertificate);
        c->sensorCertificate = c->hostCertificate = nullptr;
        return TCS_RESULT_OK;
    default: c->state = SCS_SSL_STATE_FAILED; return TCS_RESULT_OK;
    }
}

// --- Device level ----------------------------------------------------------------------------------------

namespace {

ScsSSLContext* contextOf(ScsSensorDevice* device) { return static_cast<ScsSSLContext*>(device->sslContext); }

TcsResult deviceSend(void* context, const uint8_t* data, uint32_t length, uint32_t replyLength) {
    auto* device = static_cast<ScsSensorDevice*>(context);
    auto* copy = static_cast<uint8_t*>(palRealMalloc(length));
    if (copy == nullptr) return TCS_RESULT_OUT_OF_MEMORY;
    memcpy(copy, data, length);
    // Handshake commands go out as they are: the record layer is the message itself.
    return scsSend(device, copy, length, replyLength, scsSSLEstablishSession, device, nullptr, 1, 0);
}

TcsResult deviceReadSlot(void* context, uint32_t id, uint32_t serializer, uint32_t protector, uint32_t length,
                         uint8_t* out) {
    return scsGetDataFromStorage(static_cast<ScsSensorDevice*>(context), id, serializer, protector, length, out);
}

TcsResult deviceValidate(void* context, const uint8_t* certificate, const uint8_t* signature) {
    return scsSensorValidateCertificateOnDevice(static_cast<ScsSensorDevice*>(context), 256, certificate, signature);
}

ScsSSLIo deviceIo(ScsSensorDevice* device) { return ScsSSLIo{device, deviceSend, deviceReadSlot, deviceValidate}; }

void freeContext(ScsSensorDevice* device) {
    ScsSSLContext* c = contextOf(device);
    if (c != nullptr) scsSSLCtxFree(&c);
    device->sslContext = nullptr;
}

bool established(ScsSSLContext* c) {
    return c != nullptr && c->state == SCS_SSL_STATE_ESTABLISHED && c->nextMessage == SCS_SSL_HANDSHAKE_COMPLETE;
}

// From the ClientHello until the session is set up or the context freed, and while a recovery
// message is out: commands must neither leave plain nor come back plain then, because the sensor
// takes them for session traffic (or a peer on the link passes its own off as that). Before the
// ClientHello (slot reads) and while suspended before the recovery, plain commands are the rule.
bool handshakeUnderway(const ScsSSLContext* c) {
    if (c == nullptr) return false;
    switch (c->state) {
    case SCS_SSL_STATE_HELLO: case SCS_SSL_STATE_FINAL_FLIGHT: case SCS_SSL_STATE_SEND_ALERT: case SCS_SSL_STATE_FAILED:
        return true;
    case SCS_SSL_STATE_RECOVER: return c->requestPending != 0;
    default: return false;
    }
}

// Packs and sends a close notify (or raises the malfunction when an alert is already out).
TcsResult alertNotifyLocked(ScsSensorDevice* device) {
    ScsSSLContext* c = contextOf(device);
    if (c == nullptr) return TCS_RESULT_NULL_POINTER;
    TcsResult result = TCS_RESULT_OK;
    if (c->closeAlertSent) {
        if (device->subsystem != nullptr) scsProcessPnpAction(device->subsystem, 5, device->name, 0);
    } else {
        result = scsSSLAlertWrite(c, c->output, SCS_SSL_ALERT_CLOSE_NOTIFY);
        c->closeAlertSent = 1;
        if (result == TCS_RESULT_OK) {
            auto* copy = static_cast<uint8_t*>(palRealMalloc(c->flightLength));
            result = copy == nullptr ? TCS_RESULT_OUT_OF_MEMORY : TCS_RESULT_OK;
            if (copy != nullptr) {
                memcpy(copy, c->output, c->flightLength);
                result = scsSend(device, copy, c->flightLength, kCloseAlertReplySize, nullptr, nullptr, nullptr, 1, 0);
            }
        }
    }
    c->flags |= SCS_SSL_FLAG_UNUSABLE;
    return result;
}

}  // namespace

TcsResult scsSSLInitCallbacks(ScsSensorDevice* device) {
    if (device == nullptr) return TCS_RESULT_NULL_DEVICE_HANDLE;
    ScsSSLContext* c = contextOf(device);
    if (c == nullptr) return TCS_RESULT_NULL_POINTER;
    if (device->subsystem != nullptr) {
        c->signCallback = reinterpret_cast<ScsSignCallback>(device->subsystem->startOptions.signDataCallback);
        c->publicKeyCallback =
            reinterpret_cast<ScsPublicKeyCallback>(device->subsystem->startOptions.getSensorPublicKeyCallback);
    }
    if (device->fwVersion != nullptr) memcpy(c->sensorId, device->fwVersion->serial, 6);
    return TCS_RESULT_OK;
}

TcsResult scsSSLEstablishSession(ScsReplyView* reply, TcsResult status, void* context) {
    auto* device = static_cast<ScsSensorDevice*>(context);
    if (device == nullptr) return TCS_RESULT_NULL_DEVICE_HANDLE;
    if (scsLock(device->sslLock) != TCS_RESULT_OK) return TCS_RESULT_MUTEX_ACQUISITION_FAILED;
    TcsResult result = TCS_RESULT_OK;
    if (device->sslContext == nullptr) {
        ScsSSLContext* created = nullptr;
        result = scsSSLClntCtxInit(&created, device->rsaSecured ? 1 : 0);
        device->sslContext = created;
        if (result == TCS_RESULT_OK) result = scsSSLInitCallbacks(device);
        if (result != TCS_RESULT_OK) {
            freeContext(device);
            scsUnlock(device->sslLock);
            return result;
        }
    }
    ScsSSLContext* c = contextOf(device);
    if ((device->initCancelMode == 1 || device->initCancelMode == 2) && !c->requestPending) {
        if (device->initCancelMode == 2 && !c->closeAlertSent) alertNotifyLocked(device);
        freeContext(device);
        device->initCancelMode = 3;
        scsUnlock(device->sslLock);
        return SCS_SSL_HANDSHAKE_FAILED;
    }
    ScsSSLIo io = deviceIo(device);
    // A reply without payload (the recovery's bare status) is still a reply.
    static const uint8_t kEmpty[1] = {0};
    const uint8_t* data = reply == nullptr ? nullptr : reply->data != nullptr ? reply->data : kEmpty;
    const uint32_t length = reply != nullptr ? reply->length : 0;
    result = scsSSLStep(c, &io, data, length, status);
    if (result == SCS_SSL_HANDSHAKE_FAILED) freeContext(device);
    scsUnlock(device->sslLock);
    return result;
}

uint32_t scsSSLIsInSession(ScsSensorDevice* device) {
    if (device == nullptr || scsLock(device->sslLock) != TCS_RESULT_OK) return 0;
    ScsSSLContext* c = contextOf(device);
    // State 8 is reached only through a checked Finished (or a recovery of such a session).
    uint32_t in = c != nullptr && c->state == SCS_SSL_STATE_ESTABLISHED ? 1 : 0;
    scsUnlock(device->sslLock);
    return in;
}

TcsResult scsSSLEstablishSessionEx(ScsSensorDevice* device) {
    if (device == nullptr) return TCS_RESULT_NULL_DEVICE_HANDLE;
    TcsResult result = TCS_RESULT_OK;
    while (!scsSSLIsInSession(device)) {
        result = scsSSLEstablishSession(nullptr, TCS_RESULT_SERVICE, device);
        if (result != TCS_RESULT_OK) break;
        palSleep(10);
    }
    return result;
}

TcsResult scsSSLEncrypt(ScsSensorDevice* device, uint8_t** buffer, uint32_t* length, uint32_t* expectedReplyLength) {
    if (device == nullptr) return TCS_RESULT_NULL_DEVICE_HANDLE;
    if (scsLock(device->sslLock) != TCS_RESULT_OK) return TCS_RESULT_MUTEX_ACQUISITION_FAILED;
    ScsSSLContext* c = contextOf(device);
    TcsResult result = TCS_RESULT_OK;
    if (established(c)) {
        if (c->flags & SCS_SSL_FLAG_UNUSABLE) {
            result = SCS_SSL_SESSION_UNUSABLE;
        } else if (c->closeAlertSent) {
            result = TCS_RESULT_OK;  // after the close alert commands go out plain
        } else if (buffer == nullptr || *buffer == nullptr || length == nullptr) {
            result = TCS_RESULT_NULL_POINTER;
        } else {
            result = scsSSLAppDataWrite(c, *buffer, *length);
            if (result == TCS_RESULT_OK) {
                if (expectedReplyLength != nullptr) *expectedReplyLength += SCS_SSL_RECORD_OVERHEAD;
                palRealFree(*buffer);
                *buffer = c->appRecord;
                *length = c->flightLength;
                c->appRecord = nullptr;
            }
        }
    } else if (handshakeUnderway(c)) {
        result = SCS_SSL_NO_SESSION;
    }
    scsUnlock(device->sslLock);
    return result;
}

TcsResult scsSSLDecrypt(ScsSensorDevice* device, uint8_t* buffer, uint32_t* length) {
    if (device == nullptr) return TCS_RESULT_NULL_DEVICE_HANDLE;
    if (scsLock(device->sslLock) != TCS_RESULT_OK) return TCS_RESULT_MUTEX_ACQUISITION_FAILED;
    ScsSSLContext* c = contextOf(device);
    TcsResult result = TCS_RESULT_OK;
    if (established(c)) {
        if (c->flags & SCS_SSL_FLAG_UNUSABLE) {
            result = SCS_SSL_SESSION_UNUSABLE;
        } else if (buffer == nullptr || length == nullptr) {
            result = TCS_RESULT_NULL_POINTER;
        } else {
            c->flags &= ~SCS_SSL_FLAG_EXPECT_RECOVERY_KEY;
            // A reply without application data must not hand on the length of the last command.
            c->flightLength = 0;
            result = scsSSLProcess(c, buffer, *length);
            if (result == TCS_RESULT_OK) {
                const uint32_t content = *length >= 5 && c->flightLength <= *length - 5 ? c->flightLength : 0;
                memmove(buffer, buffer + 5, content);
                *length = content;
            } else if (c->closeAlertSent && !(c->flags & SCS_SSL_FLAG_UNUSABLE)) {
                if (device->suppressCloseAlert) {
                    c->closeAlertSent = 0;
                } else {
                    // The alert packed by processing is not sent: the device is reported malfunctioning.
                    alertNotifyLocked(device);
                }
            }
        }
    } else if (handshakeUnderway(c) && !c->requestPending) {
        // Only the handshake's own commands are answered plain meanwhile.
        result = SCS_SSL_NO_SESSION;
    }
    scsUnlock(device->sslLock);
    return result;
}

TcsResult scsSSLAlertNotify(ScsSensorDevice* device, uint32_t reason) {
    if (device == nullptr) return TCS_RESULT_NULL_DEVICE_HANDLE;
    if (reason != 0) return TCS_RESULT_OK;
    if (scsLock(device->sslLock) != TCS_RESULT_OK) return TCS_RESULT_MUTEX_ACQUISITION_FAILED;
    TcsResult result = alertNotifyLocked(device);
    scsUnlock(device->sslLock);
    return result;
}

uint32_t scsSSLIsCloseAlertSent(ScsSensorDevice* device) {
    if (device == nullptr || scsLock(device->sslLock) != TCS_RESULT_OK) return 0;
    ScsSSLContext* c = contextOf(device);
    uint32_t sent = c != nullptr ? c->closeAlertSent : 0;
    scsUnlock(device->sslLock);
    return sent;
}

TcsResult scsSSLCloseSession(ScsSensorDevice* device, uint32_t notify) {
    if (device == nullptr) return TCS_RESULT_NULL_DEVICE_HANDLE;
    if (scsLock(device->sslLock) != TCS_RESULT_OK) return TCS_RESULT_MUTEX_ACQUISITION_FAILED;
    ScsSSLContext* c = contextOf(device);
    if (c != nullptr) {
        if (!c->closeAlertSent && notify == 1) {
            alertNotifyLocked(device);
            palSleep(100);
        }
        freeContext(device);
    }
    scsUnlock(device->sslLock);
    return TCS_RESULT_OK;
}

TcsResult scsSSLSuspendSession(ScsSensorDevice* device) {
    if (device == nullptr) return TCS_RESULT_NULL_DEVICE_HANDLE;
    if (scsLock(device->sslLock) != TCS_RESULT_OK) return TCS_RESULT_MUTEX_ACQUISITION_FAILED;
    ScsSSLContext* c = contextOf(device);
    TcsResult result = TCS_RESULT_OK;
    if (c != nullptr && c->state == SCS_SSL_STATE_ESTABLISHED && !(c->flags & SCS_SSL_FLAG_UNUSABLE)) {
        if (c->flags & SCS_SSL_FLAG_RECOVERY_KEY_HELD) {
            c->state = SCS_SSL_STATE_RECOVER;
        } else {
            // The session id stays, so the next handshake can resume.
            result = scsSSLClntCtxInit(&c, device->rsaSecured ? 1 : 0);
        }
    } else {
        freeContext(device);
    }
    scsUnlock(device->sslLock);
    return result;
}

uint32_t scsSSLGetSessionKeyLength(ScsSensorDevice* device) {
    if (device == nullptr || scsLock(device->sslLock) != TCS_RESULT_OK) return 0;
    ScsSSLContext* c = contextOf(device);
    uint32_t length = established(c) && c->cipherSpec != nullptr ? c->cipherSpec->keyLength : 0;
    scsUnlock(device->sslLock);
    return length;
}

// Where "secured" comes from: the sensor variant, which the sensor reports in the low nibble of its
// USB device subclass (on firmware 4.40 and 4.60 the version record's variant byte replaces it, as
// device initialisation reads it). The secure variants are the ones initialisation sets a session
// up for: variant 3 pairs by password and a shared secret (AES-secured; firmware 4.21 with its
// 64 KiB raw partition), variant 5 by certificates (RSA-secured), variants 6 and 7 carry the ECC
// chip (ECC-secured). Every other variant, 2 included (ready with 529), runs without one. Provisioned is bit 0x80 of the version record's flags byte (its low
// bits are the secure-match and signed-patch bits).
void scsSSLDeriveSecurityFlags(ScsSensorDevice* device, uint32_t variant) {
    if (device == nullptr) return;
    device->aesSecured = variant == 3 ? 1 : 0;
    device->rsaSecured = variant == 5 ? 1 : 0;
    device->eccSecured = (variant == 6 || variant == 7) ? 1 : 0;
    device->provisioned = device->fwVersion != nullptr && (device->fwVersion->flags & 0x80) ? 1 : 0;
}
