// Ownership replies and certificates, reset of ownership with long pipe time-outs, the raw
// partition's save size and the secure-retry rule of the protected sensor commands.
#include "tcs/sensorctl/ownership/secure_storage.h"

#include "platform/crypto/crypto.h"
#include "platform/memory.h"
#include "platform/settings.h"
#include "tcs/sensorctl/secure/chip_session.h"
#include "tcs/sensorctl/secure/data_slots.h"
#include "tcs/sensorctl/ownership/ownership.h"
#include "tcs/sensorctl/protocol/patch_loader.h"
#include "tcs/sensorctl/protocol/patches.h"
#include "tcs/sensorctl/secure/public_keys.h"
#include "tcs/sensorctl/protocol/sensor_commands.h"
#include "tcs/sensorctl/protocol/sensor_commands_more.h"
#include "tcs/sensorctl/protocol/version.h"

#include <map>
#include <mutex>
#include <string.h>

namespace {

constexpr uint32_t kResetOwnershipPipeMs = 90000;
constexpr TcsResult kChipRefused = 367;  // a protected command the chip refused: never retried

// The device record has no slot for the cached id yet; a table keyed by device stands in. Entries
// carry the sensor's serial, so a later device record at the same address never inherits them.
struct Keyed {
    uint8_t serial[6];
    ScsSensorUid uid;
    uint32_t pek;
};
bool sameSensor(const Keyed& k, const ScsSensorDevice* device) {
    uint8_t serial[6] = {};
    if (device->fwVersion != nullptr) memcpy(serial, device->fwVersion->serial, 6);
    return memcmp(k.serial, serial, 6) == 0;
}
Keyed fresh(const ScsSensorDevice* device) {
    Keyed k{};
    if (device->fwVersion != nullptr) memcpy(k.serial, device->fwVersion->serial, 6);
    return k;
}
struct UidCache {
    std::mutex lock;
    std::map<const ScsSensorDevice*, Keyed> ids;
};
UidCache& uidCache() {
    static UidCache cache;
    return cache;
}

// Likewise the PEK-security flag.
struct PekFlags {
    std::mutex lock;
    std::map<const ScsSensorDevice*, Keyed> flags;
};
PekFlags& pekFlags() {
    static PekFlags table;
    return table;
}

}  // namespace

TcsResult scsSensorStoreTakeOwnershipReply(ScsSensor* sensor, uint32_t length1, const uint8_t* data1,
                                           uint32_t length2, const uint8_t* data2) {
    if (data1 == nullptr || data2 == nullptr) return TCS_RESULT_NULL_POINTER;
    return scsWithDevice(sensor, [&](ScsSensorDevice* device) {
        TcsResult result = scsStoreDataInStorage(device, SCS_SLOT_SHARED_SECRET, SCS_SERIALIZER_SPI_FLASH,
                                                 SCS_PROTECTOR_GSK, length1, data1);
        if (result == TCS_RESULT_OK) {
            if (length1 == SCS_SHARED_SECRET_SIZE) scsDataSlotSetCachedSecret(device, data1);
            result = scsStoreDataInStorage(device, SCS_SLOT_SENSOR_SECRET, SCS_SERIALIZER_SPI_FLASH, SCS_PROTECTOR_GSK,
                                           length2, data2);
        }
        return result;
    });
}

TcsResult scsSensorStoreTakeOwnershipWithKeysReply(ScsSensor* sensor, uint32_t length, const uint8_t* data) {
    if (data == nullptr) return TCS_RESULT_NULL_POINTER;
    return scsWithDevice(sensor, [&](ScsSensorDevice* device) {
        return scsStoreDataInStorage(device, SCS_SLOT_HOST_CERTIFICATE, SCS_SERIALIZER_SPI_FLASH, SCS_PROTECTOR_NONE,
                                     length, data);
    });
}

TcsResult ResetOwnership(ScsSensor* sensor, uint32_t length, const uint8_t* data) {
    ScsSensorDevice* device = nullptr;
    TcsResult result = scsSensorDeviceAcquire(sensor, &device);
    if (result != TCS_RESULT_OK) return result;
    PalSensorHandle* handle = device->platformHandle;
    uint32_t replyRead = 0, requestWrite = 0;
    result = palSensorGetPipeTimeouts(handle, &replyRead, &requestWrite);
    bool changedRead = false, changedWrite = false;
    if (result == TCS_RESULT_OK && replyRead != kResetOwnershipPipeMs) {
        result = palSensorSetPipeTimeout(handle, 1, kResetOwnershipPipeMs);
        changedRead = result == TCS_RESULT_OK;
    }
    if (result == TCS_RESULT_OK && requestWrite != kResetOwnershipPipeMs) {
        result = palSensorSetPipeTimeout(handle, 0, kResetOwnershipPipeMs);
        changedWrite = result == TCS_RESULT_OK;
    }
    scsSensorDeviceRelease(device);
    if (result == TCS_RESULT_OK) result = scsSensorResetOwnership(sensor, length & 0xFFFF, data);
    // Put back what was changed, also when the command failed.
    if (changedRead) palSensorSetPipeTimeout(handle, 1, replyRead);
    if (changedWrite) palSensorSetPipeTimeout(handle, 0, requestWrite);
    return result;
}

TcsResult GetSensorCertificate(ScsSensor* sensor, uint32_t* outLength, uint32_t* outSecond, uint8_t* certificate256,
                               uint8_t* signature256) {
    if (outLength == nullptr || outSecond == nullptr || certificate256 == nullptr) return TCS_RESULT_NULL_POINTER;
    TcsResult result = LoadSecurityManagementPatch(sensor, 0);
    if (result == TCS_RESULT_OK) {
        uint8_t signature[256];
        result = scsSensorGetCertificate(sensor, outLength, outSecond, certificate256, signature);
        if (result == TCS_RESULT_OK) result = scsSensorValidateCertificate(sensor, 256, certificate256, signature);
        if (result == TCS_RESULT_OK && signature256 != nullptr) memcpy(signature256, signature, 256);
    }
    TcsResult unload = UnloadPatch(sensor);
    return result == TCS_RESULT_OK ? unload : result;
}

TcsResult GetOwnershipInfo(ScsSensor* sensor, uint16_t* outA, uint16_t* outB) {
    TcsResult result = LoadSecurityManagementPatch(sensor, 1);
    if (result != TCS_RESULT_OK) return result;
    return scsSensorGetOwnershipInfo(sensor, outA, outB);
}

TcsResult scsSensorRunProtected(ScsSensor* sensor, ScsProtectedCommand command, void* context) {
    if (command == nullptr) return TCS_RESULT_NULL_POINTER;
    const bool selkin = scsSensorIsSelkinSecuryEnabledDevice(sensor) == 1;
    if (selkin) {
        TcsResult result = scsDHEstablishSessionKey(sensor, 0);
        if (result != TCS_RESULT_OK) return result;
    }
    TcsResult result = command(sensor, context);
    if (result == TCS_RESULT_OK || result == kChipRefused || !selkin) return result;
    // The chip may have lost its session key: once more with a fresh one.
    TcsResult fresh = scsDHEstablishSessionKey(sensor, 1);
    if (fresh != TCS_RESULT_OK) return fresh;
    return command(sensor, context);
}

TcsResult scsDeleteRawPartitionFromPersistentStorage(ScsSensor* sensor) {
    return scsWithDevice(sensor, [&](ScsSensorDevice* device) -> TcsResult {
        if (device->fwVersion == nullptr) return TCS_RESULT_NULL_POINTER;
        char section[300];
        TcsResult result = scsSensorSectionName(device->fwVersion->serial, section, sizeof section);
        if (result == TCS_RESULT_OK) result = palRemovePersistentDataValue(section, "RAW");
        if (result == TCS_RESULT_OK) result = palRemovePersistentDataValue(section, "AfterTakeOwner");
        memset(section, 0, sizeof section);
        return result;
    });
}

namespace {

// A command between two patch downloads: a failing download before it is the result; a failing
// run-patch download after it only when the command itself succeeded.
template <typename Before, typename Command>
TcsResult betweenPatches(ScsSensor* sensor, Before before, Command command) {
    TcsResult result = before();
    if (result != TCS_RESULT_OK) return result;
    result = command();
    TcsResult restore = scsDownloadRunPatch(sensor);
    return result != TCS_RESULT_OK ? result : restore;
}

struct AuthArgs {
    const uint8_t* a;
    uint32_t aLength;
    const uint8_t* b;
    uint32_t bLength;
    uint8_t** outData;
    uint32_t* outLength;
    uint32_t selector;
};

TcsResult runAuth(ScsSensor* sensor, void* context) {
    auto* k = static_cast<AuthArgs*>(context);
    auto command = [&] {
        return scsSensorSendGetAuthData(sensor, k->a, k->aLength, k->b, k->bLength, k->outData, k->outLength);
    };
    if (k->selector == 0) return command();
    return betweenPatches(sensor, [&] { return scsDownloadAuthPatch(sensor, k->selector); }, command);
}

}  // namespace

TcsResult scsSensorGetAuthData(ScsSensor* sensor, const uint8_t* a, uint32_t aLength, const uint8_t* b,
                               uint32_t bLength, uint8_t** outData, uint32_t* outLength, uint32_t patchSelector) {
    AuthArgs args{a, aLength, b, bLength, outData, outLength, patchSelector};
    TcsResult result = scsSensorRunProtected(sensor, runAuth, &args);
    if (patchSelector != 0) scsDownloadRunPatch(sensor);
    return result;
}

TcsResult scsSensorDecVerifyTemplateData(ScsSensor* sensor, uint16_t length, const uint8_t* data,
                                         uint32_t secondLength, const uint8_t* second, const uint8_t* value32,
                                         uint8_t* outFirst, uint32_t* inOutFirst, uint8_t* outSecond,
                                         uint32_t* inOutSecond) {
    // The capacities are in/out: each attempt starts from what the caller offered.
    const uint32_t first = inOutFirst != nullptr ? *inOutFirst : 0;
    const uint32_t secondRoom = inOutSecond != nullptr ? *inOutSecond : 0;
    auto run = [&](ScsSensor* s) {
        if (inOutFirst != nullptr) *inOutFirst = first;
        if (inOutSecond != nullptr) *inOutSecond = secondRoom;
        return scsSensorSendDecVerifyTemplateData(s, length, data, secondLength, second, value32, outFirst, inOutFirst,
                                                  outSecond, inOutSecond);
    };
    return scsSensorRunProtected(
        sensor, [](ScsSensor* s, void* c) { return (*static_cast<decltype(run)*>(c))(s); }, &run);
}

TcsResult scsSensorSignEncTemplateData(ScsSensor* sensor, uint32_t aLength, const uint8_t* a, uint32_t bLength,
                                       const uint8_t* b, uint8_t* outData, uint32_t* inOutCapacity) {
    const uint32_t room = inOutCapacity != nullptr ? *inOutCapacity : 0;
    auto run = [&](ScsSensor* s) {
        if (inOutCapacity != nullptr) *inOutCapacity = room;
        return scsSensorSendSignEncTemplateData(s, aLength, a, bLength, b, outData, inOutCapacity);
    };
    return scsSensorRunProtected(
        sensor, [](ScsSensor* s, void* c) { return (*static_cast<decltype(run)*>(c))(s); }, &run);
}

TcsResult scsSensorMatchVerify(ScsSensor* sensor, uint16_t length, const uint8_t* data, const uint8_t* value32,
                               uint8_t* outData, uint32_t* inOutCapacity) {
    const uint32_t room = inOutCapacity != nullptr ? *inOutCapacity : 0;
    auto run = [&](ScsSensor* s) {
        return betweenPatches(
            s, [&] { return scsDownloadSecureMatchPatch(s); },
            [&] {
                if (inOutCapacity != nullptr) *inOutCapacity = room;
                return scsSensorSendMatchVerify(s, length, data, value32, outData, inOutCapacity);
            });
    };
    return scsSensorRunProtected(
        sensor, [](ScsSensor* s, void* c) { return (*static_cast<decltype(run)*>(c))(s); }, &run);
}

void scsRawPartitionKind(uint32_t brellow, uint8_t major, uint8_t minor, uint8_t* outKind, uint32_t* outSize) {
    const bool large = !brellow && major == 4 && minor == 21;
    if (outKind != nullptr) *outKind = large ? '!' : '"';
    if (outSize != nullptr) *outSize = large ? 0x10000 : 4096;
}

TcsResult scsRawPartitionCheckSaved(const uint8_t* saved, uint32_t savedSize, uint8_t kind, uint32_t partitionSize) {
    if (savedSize > partitionSize) return TCS_RESULT_BAD_PARAM;
    if (saved == nullptr || savedSize < 4 || memcmp(saved, "EAT", 3) != 0 || saved[3] != kind) return 374;
    return TCS_RESULT_OK;
}

uint32_t scsRawPartitionSaveSize(uint32_t imageSize, uint32_t brellow, uint8_t major, uint8_t minor,
                                 uint32_t haveLastRecord, uint8_t lastType, uint32_t lastAddress,
                                 uint32_t lastLength) {
    uint64_t size = brellow ? 3840 : (major == 4 && minor == 40) ? 4096 : 0x10000;
    if (haveLastRecord) size = lastType == 255 ? 256 : uint64_t(lastAddress) + lastLength + 256;
    // Every save length is clamped to the image: "256 past the last record" and the 0x10000 default
    // on a 4096-byte partition both used to read beyond it.
    return uint32_t(size < imageSize ? size : imageSize);
}

void scsSensorForgetSecurityState(ScsSensorDevice* device) {
    {
        UidCache& cache = uidCache();
        std::lock_guard<std::mutex> hold(cache.lock);
        cache.ids.erase(device);
    }
    PekFlags& pek = pekFlags();
    std::lock_guard<std::mutex> hold(pek.lock);
    pek.flags.erase(device);
}

TcsResult scsSensorDeterminePEKCapability(ScsSensor* sensor, const char* applicationName) {
    const TcsResult selkin = scsSensorIsSelkinSecuryEnabledDevice(sensor);
    if (selkin != 0 && selkin != 1) return selkin;
    return scsWithDevice(sensor, [&](ScsSensorDevice* device) -> TcsResult {
        uint32_t on = 0;
        if (selkin == 1 || device->rsaSecured) {
            on = 1;
        } else if (device->aesSecured) {
            on = applicationName != nullptr && strcmp(applicationName, "DuzodarOrodu") == 0 ? 0 : 1;
        }
        PekFlags& pek = pekFlags();
        std::lock_guard<std::mutex> hold(pek.lock);
        Keyed entry = fresh(device);
        entry.pek = on;
        try {
            pek.flags[device] = entry;
        } catch (...) {  // no exception leaves sensor control
            return TCS_RESULT_OUT_OF_MEMORY;
        }
        return TCS_RESULT_OK;
    });
}

TcsResult scsSensorIsPEKSecurityEnabled(ScsSensor* sensor) {
    return scsWithDevice(sensor, [&](ScsSensorDevice* device) -> TcsResult {
        PekFlags& pek = pekFlags();
        std::lock_guard<std::mutex> hold(pek.lock);
        auto it = pek.flags.find(device);
        return it != pek.flags.end() && sameSensor(it->second, device) ? it->second.pek : 0;
    });
}

TcsResult scsSensorGetCachedUID(ScsSensor* sensor, ScsSensorUid* out) {
    if (out == nullptr) return TCS_RESULT_NULL_POINTER;
    ScsSensorDevice* device = nullptr;
    TcsResult result = scsSensorDeviceAcquire(sensor, &device);
    if (result != TCS_RESULT_OK) return result;
    {
        UidCache& cache = uidCache();
        std::lock_guard<std::mutex> hold(cache.lock);
        auto it = cache.ids.find(device);
        if (it != cache.ids.end() && sameSensor(it->second, device) && it->second.uid.second != 0) {
            *out = it->second.uid;
            scsSensorDeviceRelease(device);
            return TCS_RESULT_OK;
        }
    }
    const ScsFwVersion* version = device->fwVersion;
    if (version == nullptr) {
        scsSensorDeviceRelease(device);
        return TCS_RESULT_NULL_POINTER;
    }
    if (scsversion::isSelkinKind(version->chipKind)) {
        scsSensorDeviceRelease(device);
        return scsSensorGetUID(sensor, &out->first, &out->second, out->uid);
    }
    uint8_t input[6 + 32];
    uint32_t inputLength = 6;
    memcpy(input, version->serial, 6);
    if (device->aesSecured || device->eccSecured) {
        uint8_t material[256];
        uint32_t materialLength = device->rsaSecured ? 256 : SCS_SHARED_SECRET_SIZE;
        if (device->rsaSecured) {
            result = scsGetDataFromStorage(device, SCS_SLOT_HOST_CERTIFICATE, SCS_SERIALIZER_SPI_FLASH,
                                           SCS_PROTECTOR_NONE, materialLength, material);
        } else {
            result = scsGetSecretData(sensor, materialLength, material, SCS_SLOT_SHARED_SECRET, 2, 0);
        }
        if (result == TCS_RESULT_OK) result = palCryptoDigest(material, materialLength, input + 6, PAL_CRYPTO_SHA256);
        memset(material, 0, sizeof material);
        if (result != TCS_RESULT_OK) {
            scsSensorDeviceRelease(device);
            return result;
        }
        inputLength += 32;
    }
    ScsSensorUid uid{};
    uid.first = device->transportValue2;   // the word after the product id in the device information
    uid.second = device->transportValue1;  // the USB product id
    uint8_t digest[32];
    result = palCryptoDigest(input, inputLength, digest, PAL_CRYPTO_MD5);
    memset(input, 0, sizeof input);
    if (result == TCS_RESULT_OK) {
        memcpy(uid.uid, digest, 16);
        *out = uid;
        UidCache& cache = uidCache();
        std::lock_guard<std::mutex> hold(cache.lock);
        Keyed entry = fresh(device);
        entry.uid = uid;
        try {
            cache.ids[device] = entry;
        } catch (...) {  // the id is still answered, only not cached
        }
    }
    scsSensorDeviceRelease(device);
    return result;
}
