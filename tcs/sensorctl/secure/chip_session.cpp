// Secure-chip session key by Diffie-Hellman (command 0x28), AES-128-CTR of template data under it,
// payload unpadding, the patch signature block with its RSA signature replaced by an HMAC, and which
// devices are Selkin-secure.
#include "tcs/sensorctl/secure/chip_session.h"

#include "platform/crypto/crypto.h"
#include "platform/memory.h"
#include "tcs/sensorctl/protocol/patch_loader.h"
#include "tcs/sensorctl/protocol/patches.h"
#include "tcs/sensorctl/protocol/version.h"
#include "tcs/sensorctl/engine/scs_internal.h"

#include <map>
#include <mutex>
#include <string.h>

namespace {

constexpr uint32_t kSecurityPatchKind = 0x8000;
constexpr uint32_t kDhReplySize = 20;
constexpr uint32_t kDhWaitMs = 15000;

// The two 17-byte constants are put together on the stack where they are used.
void dhPrime(uint8_t out[17]) {
    static const uint8_t a[17] = {0xC6, 0xC7, 0x73, 0x02, 0x8C, 0x76, 0x52, 0xBB, 0x6B,
                                  0xF3, 0x87, 0x98, 0x3A, 0xAB, 0x44, 0x24, 0x0F};
    memcpy(out, a, 17);
}
void dhSecondConstant(uint8_t out[17]) {
    static const uint8_t a[17] = {0xE8, 0xA7, 0xE2, 0x29, 0x61, 0x98, 0x3F, 0x8D, 0xB4,
                                  0xA9, 0xA6, 0x7E, 0x8B, 0xDB, 0xE9, 0x77, 0xE7};
    memcpy(out, a, 17);
}

// The device record has no slot for the chip context yet; a table keyed by device stands in.
struct ContextTable {
    std::mutex lock;
    std::map<const ScsSensorDevice*, ScsRsSecurityContext*> contexts;
};
ContextTable& table() {
    static ContextTable t;
    return t;
}

void freeNumber(uint8_t** number) {
    if (*number == nullptr) return;
    memset(*number, 0, SCS_DH_NUMBER_SIZE);
    palRealFree(*number);
    *number = nullptr;
}

void freeNumbers(ScsRsSecurityContext* c) {
    freeNumber(&c->g);
    freeNumber(&c->x);
    freeNumber(&c->p);
    freeNumber(&c->c);
}

bool allZero(const uint8_t* p, uint32_t n) {
    uint8_t any = 0;
    for (uint32_t i = 0; i < n; ++i) any |= p[i];
    return any == 0;
}

}  // namespace

ScsRsSecurityContext* scsRSSecurityContext(ScsSensorDevice* device, uint32_t create) {
    ContextTable& t = table();
    std::lock_guard<std::mutex> hold(t.lock);
    auto it = t.contexts.find(device);
    if (it != t.contexts.end()) return it->second;
    if (!create) return nullptr;
    auto* c = static_cast<ScsRsSecurityContext*>(palRealMalloc(sizeof(ScsRsSecurityContext)));
    if (c == nullptr) return nullptr;
    memset(c, 0, sizeof *c);
    try {
        t.contexts[device] = c;
    } catch (...) {  // no exception leaves sensor control
        palRealFree(c);
        return nullptr;
    }
    return c;
}

TcsResult scsRSFreeSecurityCtx(ScsSensorDevice* device) {
    ScsRsSecurityContext* c = nullptr;
    {
        ContextTable& t = table();
        std::lock_guard<std::mutex> hold(t.lock);
        auto it = t.contexts.find(device);
        if (it == t.contexts.end()) return TCS_RESULT_OK;
        c = it->second;
        t.contexts.erase(it);
    }
    freeNumbers(c);
    memset(c, 0, sizeof *c);
    palRealFree(c);
    return TCS_RESULT_OK;
}

TcsResult scsDHBuildCommand(ScsRsSecurityContext* c, uint32_t family, uint8_t* command, uint32_t* length) {
    if (c == nullptr || command == nullptr || length == nullptr) return TCS_RESULT_NULL_POINTER;
    freeNumbers(c);
    uint8_t** numbers[4] = {&c->g, &c->x, &c->p, &c->c};
    for (uint8_t** n : numbers) {
        *n = static_cast<uint8_t*>(palRealMalloc(SCS_DH_NUMBER_SIZE));
        if (*n == nullptr) {
            freeNumbers(c);
            return TCS_RESULT_INVALID;
        }
        memset(*n, 0, SCS_DH_NUMBER_SIZE);
    }
    TcsResult result = palCryptoRng(c->g + 2, 16);
    if (result == TCS_RESULT_OK) result = palCryptoRng(c->x + 2, 16);
    dhPrime(c->p + 1);
    dhSecondConstant(c->c);
    // g and x are consumed by the computation: it works on copies.
    uint8_t g[SCS_DH_NUMBER_SIZE], x[SCS_DH_NUMBER_SIZE];
    memcpy(g, c->g, sizeof g);
    memcpy(x, c->x, sizeof x);
    memset(command, 0, 137);
    command[0] = SCS_DH_COMMAND;
    if (result == TCS_RESULT_OK) result = palCryptoCalculateDHPubKey(g, x, c->p, command + 19);
    memset(x, 0, sizeof x);
    if (result != TCS_RESULT_OK) {
        freeNumbers(c);
        return result;
    }
    memcpy(command + 1, c->g, SCS_DH_NUMBER_SIZE);
    memcpy(command + 37, c->p, SCS_DH_NUMBER_SIZE);
    *length = 55;
    if (family == SCS_FAMILY_3) {
        memcpy(command + 55, c->c, SCS_DH_NUMBER_SIZE);
        *length = 73;
    }
    return TCS_RESULT_OK;
}

TcsResult scsDHSessionKeyCB(ScsReplyView* reply, TcsResult status, void* resultRecord) {
    auto* record = static_cast<ScsDHResult*>(resultRecord);
    TcsResult result = status;
    if (result == TCS_RESULT_OK) {
        if (reply == nullptr || record == nullptr || record->device == nullptr || reply->data == nullptr ||
            reply->length < SCS_DH_NUMBER_SIZE) {
            result = TCS_RESULT_BAD_PARAM;
        } else {
            ScsSensorDevice* device = record->device;
            const bool locked = device->securityLock == nullptr || scsLock(device->securityLock) == TCS_RESULT_OK;
            ScsRsSecurityContext* c = scsRSSecurityContext(device, 0);
            if (c == nullptr || c->x == nullptr || c->p == nullptr) {
                result = TCS_RESULT_INVALID_HANDLE;
            } else {
                uint8_t b[SCS_DH_NUMBER_SIZE], x[SCS_DH_NUMBER_SIZE], k[SCS_DH_NUMBER_SIZE];
                memcpy(b, reply->data, sizeof b);  // B follows the status word
                memcpy(x, c->x, sizeof x);
                result = palCryptoCalculateDHPubKey(b, x, c->p, k);
                if (result == TCS_RESULT_OK) {
                    memcpy(c->sessionKey, k + 2, 16);
                    memset(c->encryptCounter, 0, 16);
                    memset(c->decryptCounter, 0, 16);
                    c->encryptCounter[15] = c->decryptCounter[15] = k[1];
                }
                memset(k, 0, sizeof k);
                memset(x, 0, sizeof x);
                freeNumbers(c);
            }
            if (locked && device->securityLock != nullptr) scsUnlock(device->securityLock);
        }
    }
    if (record != nullptr) {
        record->result = result;
        if (record->event != nullptr) palEventSet(record->event);
    }
    return result;
}

TcsResult scsDHEstablishSessionKey(ScsSensor* sensor, uint32_t force) {
    ScsSensorDevice* device = nullptr;
    if (sensor == nullptr || scsSensorDeviceAcquire(sensor, &device) != TCS_RESULT_OK || device == nullptr) {
        return TCS_RESULT_NULL_CLIENT_HANDLE;
    }
    struct Release {
        ScsSensorDevice* d;
        ~Release() { scsSensorDeviceRelease(d); }
    } release{device};
    if (device->subsystem == nullptr) return TCS_RESULT_NULL_SUBSYSTEM_HANDLE;
    if (scsLock(device->securityLock) != TCS_RESULT_OK) return TCS_RESULT_MUTEX_ACQUISITION_FAILED;
    ScsRsSecurityContext* existing = scsRSSecurityContext(device, 0);
    if (existing != nullptr && !allZero(existing->sessionKey, 16)) {
        if (!force) {
            scsUnlock(device->securityLock);
            return TCS_RESULT_OK;
        }
    }
    if (existing != nullptr) scsRSFreeSecurityCtx(device);
    ScsRsSecurityContext* c = scsRSSecurityContext(device, 1);
    if (c == nullptr) {
        scsUnlock(device->securityLock);
        return TCS_RESULT_OUT_OF_MEMORY;
    }
    // The chip answers the exchange only under its security patch, which the device's own patch
    // list carries (an empty list would load nothing).
    const void* const* patches = nullptr;
    scsSensorFindPatchConfigList(device, &patches);
    TcsResult result = scsSensorLoadPatch(sensor, patches, kSecurityPatchKind, 0, nullptr);
    if (result != TCS_RESULT_OK) {
        scsUnlock(device->securityLock);
        return result;
    }
    auto* command = static_cast<uint8_t*>(palRealMalloc(137));
    if (command == nullptr) {
        scsUnlock(device->securityLock);
        return TCS_RESULT_OUT_OF_MEMORY;
    }
    uint32_t length = 0;
    result = scsDHBuildCommand(c, device->productFamily, command, &length);
    if (result != TCS_RESULT_OK) {
        palRealFree(command);
        scsUnlock(device->securityLock);
        return result;
    }
    // The record outlives a timed-out wait only as long as the completion may still come: the
    // completion runs on the service thread, which this caller pumps or waits for.
    ScsDHResult* record = static_cast<ScsDHResult*>(palRealMalloc(sizeof(ScsDHResult)));
    PalEvent* event = palEventAlloc(1, 0, nullptr);
    if (record == nullptr || event == nullptr) {
        palRealFree(record);
        if (event != nullptr) palEventFree(event);
        palRealFree(command);
        scsUnlock(device->securityLock);
        return TCS_RESULT_EVENT_CREATION_FAILED;
    }
    *record = ScsDHResult{TCS_RESULT_TIMEOUT, event, device};
    result = scsSend(device, command, length, kDhReplySize, scsDHSessionKeyCB, record, nullptr, 0, 0);
    scsUnlock(device->securityLock);
    if (result == TCS_RESULT_OK) {
        result = scsSubsystemWaitForResponse(device->subsystem, event, kDhWaitMs);
        if (result == TCS_RESULT_OK) result = record->result;
    }
    scsSensorRestoreRunPatch(sensor);
    if (result != TCS_RESULT_TIMEOUT) {
        palEventFree(event);
        palRealFree(record);
    }
    return result;
}

TcsResult scsRSEncDecDataOnDevice(ScsSensorDevice* device, const uint8_t* in, uint8_t* out, uint32_t length,
                                  uint32_t encrypt) {
    if (device == nullptr) return TCS_RESULT_NULL_DEVICE_HANDLE;
    const bool locked = device->securityLock == nullptr || scsLock(device->securityLock) == TCS_RESULT_OK;
    TcsResult result;
    ScsRsSecurityContext* c = scsRSSecurityContext(device, 0);
    if (in == nullptr || out == nullptr) {
        result = TCS_RESULT_NULL_POINTER;
    } else if (length % 16 != 0) {
        result = TCS_RESULT_BAD_PARAM;
    } else if (c == nullptr) {
        result = TCS_RESULT_INVALID_HANDLE;
    } else if (allZero(c->sessionKey, 16)) {
        result = 54;
    } else {
        uint8_t* counter = encrypt ? c->encryptCounter : c->decryptCounter;
        // Counter mode runs the same both ways; one key stream per direction continues across calls.
        result = palCryptoEncrypt(in, length, out, nullptr, c->sessionKey, 16, counter, PAL_CRYPTO_AES_CTR);
    }
    if (locked && device->securityLock != nullptr) scsUnlock(device->securityLock);
    return result;
}

TcsResult scsRSEncDecData(ScsSensor* sensor, const uint8_t* in, uint8_t* out, uint32_t length, uint32_t encrypt) {
    if (sensor == nullptr) return TCS_RESULT_NULL_DEVICE_HANDLE;
    ScsSensorDevice* device = nullptr;
    TcsResult result = scsSensorDeviceAcquire(sensor, &device);
    if (result != TCS_RESULT_OK) return result;
    result = scsRSEncDecDataOnDevice(device, in, out, length, encrypt);
    scsSensorDeviceRelease(device);
    return result;
}

TcsResult scsRSUnpackPayloadData(const uint8_t* data, uint32_t* length) {
    if (data == nullptr || length == nullptr) return TCS_RESULT_NULL_POINTER;
    if (*length == 0) return TCS_RESULT_BAD_PARAM;
    const uint8_t last = data[*length - 1];
    uint32_t start = *length - 1;
    while (start > 0 && data[start - 1] == last) --start;
    if (start > 0 && last == 0 && data[start - 1] == 0x20) *length = start - 1;
    return TCS_RESULT_OK;
}

TcsResult scsReplaseRSASignatureByHMAC(const uint8_t* hmac, const uint8_t* block, uint32_t totalLength,
                                       uint8_t** out, uint32_t* outLength) {
    if (hmac == nullptr || block == nullptr || out == nullptr || outLength == nullptr) return TCS_RESULT_NULL_POINTER;
    *out = nullptr;
    *outLength = 0;
    if (totalLength < 4) return TCS_RESULT_BAD_PARAM;
    const uint16_t kind = uint16_t(block[0] | block[1] << 8);
    const uint32_t signatureLength = uint32_t(block[2] | block[3] << 8);
    if (kind != 2) return TCS_RESULT_OK;
    // A signature length past the block would make the copy below read beyond it.
    if (4 + signatureLength > totalLength) return TCS_RESULT_BAD_PARAM;
    const uint32_t rest = totalLength - 4 - signatureLength;
    const uint32_t length = 4 + 32 + rest;
    auto* buffer = static_cast<uint8_t*>(palRealMalloc(length));
    if (buffer == nullptr) return TCS_RESULT_OUT_OF_MEMORY;
    buffer[0] = 2;
    buffer[1] = 0;
    buffer[2] = 32;
    buffer[3] = 0;
    memcpy(buffer + 4, hmac, 32);
    memcpy(buffer + 36, block + 4 + signatureLength, rest);
    *out = buffer;
    *outLength = length;
    return TCS_RESULT_OK;
}

TcsResult scsSensorIsSelkinSecuryEnabledDevice(ScsSensor* sensor) {
    TcsResult dunmo = scsSensorIsDunmo(sensor);
    return scsWithDevice(sensor, [&](ScsSensorDevice* device) -> TcsResult {
        const ScsFwVersion* v = device->fwVersion;
        if (v != nullptr && scsversion::isSelkinKind(v->chipKind)) return 1;
        if (dunmo == 1) return 1;
        return v != nullptr && v->major == 4 && v->minor == 0 ? 1 : 0;
    });
}
