// Protected data slots: serializers (settings store, raw flash partition), protectors (none, the
// global shared key), the read, store and delete operations over them, and a handle's secrets read
// from one store or the other with migration to the sensor's flash.
#include "tcs/sensorctl/secure/data_slots.h"

#include "platform/crypto/crypto.h"
#include "platform/memory.h"
#include "platform/settings.h"
#include "platform/text.h"
#include "tcs/flashfs/xtfs.h"
#include "tcs/sensorctl/engine/scs_internal.h"

#include <array>
#include <map>
#include <mutex>
#include <stdio.h>
#include <string.h>

namespace {

constexpr char kProductSection[] = "SOFTWARE\\Tovantic\\tfs530";
constexpr uint32_t kMaxSettingsSlot = 999;
constexpr uint32_t kBlobVersion = 2;

// The global shared key is never held whole in the image: it is assembled on the stack from two
// halves where it is used, then wiped.
struct GlobalSharedKey {
    uint8_t bytes[32];
    GlobalSharedKey() {
        static const uint8_t a[32] = {0xEA, 0x79, 0x03, 0xFA, 0x9F, 0xDC, 0x9F, 0xEE, 0x1B, 0xDE, 0x15,
                                      0x3E, 0x11, 0x6D, 0x7B, 0x0F, 0x8F, 0xDA, 0xFF, 0x0F, 0x05, 0xD1,
                                      0xC3, 0x9D, 0x86, 0x31, 0xBD, 0x78, 0x2D, 0x94, 0xDE, 0x03};
        static const uint8_t b[32] = {0x3A, 0x37, 0xB1, 0x03, 0x88, 0x62, 0xDF, 0x8E, 0xD9, 0xDA, 0x06,
                                      0x10, 0xAF, 0x2A, 0x13, 0x94, 0x32, 0xF9, 0xF4, 0x04, 0x9B, 0xF1,
                                      0x9C, 0x91, 0x43, 0xC8, 0xE6, 0x42, 0x06, 0x46, 0x45, 0xE9};
        for (int i = 0; i < 32; ++i) bytes[i] = uint8_t(a[i] ^ b[i] ^ (i * 29));
    }
    ~GlobalSharedKey() {
        volatile uint8_t* p = bytes;
        for (int i = 0; i < 32; ++i) p[i] = 0;
    }
};

void wipeAndFree(uint8_t* buffer, uint32_t length) {
    if (buffer == nullptr) return;
    memset(buffer, 0, length);
    palRealFree(buffer);
}

// The item-1 cache of each device. The device record has no field for it yet; a small table keyed
// by the device stands in. Each entry remembers the sensor's serial, so a later device record at the
// same address (another sensor) never sees it.
struct CachedSecret {
    uint8_t serial[6];
    std::array<uint8_t, SCS_SHARED_SECRET_SIZE> secret;
};
struct SecretCache {
    std::mutex lock;
    std::map<const ScsSensorDevice*, CachedSecret> secrets;
};
SecretCache& secretCache() {
    static SecretCache cache;
    return cache;
}

void serialOf(const ScsSensorDevice* device, uint8_t out[6]) {
    if (device->fwVersion != nullptr) {
        memcpy(out, device->fwVersion->serial, 6);
    } else {
        memset(out, 0, 6);
    }
}

TcsResult prepareSerializer(uint32_t kind, ScsDataSerializer* serializer, bool forWrite) {
    TcsResult result = scsGetDataSerializer(kind, serializer);
    if (result != TCS_RESULT_OK) return result;
    if ((forWrite ? (void*)serializer->serialize : (void*)serializer->deserialize) == nullptr) {
        return TCS_RESULT_NOT_IMPLEMENTED;
    }
    return TCS_RESULT_OK;
}

TcsResult bindRecord(ScsSensorDevice* device, ScsDataSerializer* serializer) {
    if (device->fwVersion == nullptr) return TCS_RESULT_NULL_POINTER;
    serializer->record.device = device;
    memcpy(serializer->record.sensorId, device->fwVersion->serial, 6);
    return TCS_RESULT_OK;
}

void slotName(uint32_t slot, char name[16]) { snprintf(name, 16, "%u", slot); }

}  // namespace

TcsResult scsSensorSectionName(const uint8_t sensorId[6], char* out, uint32_t size) {
    if (sensorId == nullptr || out == nullptr) return TCS_RESULT_NULL_POINTER;
    int n = snprintf(out, size, "%s\\%02X%02X%02X%02X%02X%02X", kProductSection, sensorId[0], sensorId[1],
                     sensorId[2], sensorId[3], sensorId[4], sensorId[5]);
    return n < 0 || uint32_t(n) >= size ? TCS_RESULT_BUFFER_TOO_SMALL : TCS_RESULT_OK;
}

TcsResult scsGetDataSlotFromDataID(uint32_t id, uint32_t* slot) {
    if (slot == nullptr) return TCS_RESULT_NULL_POINTER;
    *slot = id;
    return TCS_RESULT_OK;
}

TcsResult scsGetDataSerializer(uint32_t kind, ScsDataSerializer* serializer) {
    if (serializer == nullptr) return TCS_RESULT_NULL_POINTER;
    if (kind != SCS_SERIALIZER_SETTINGS && kind != SCS_SERIALIZER_SPI_FLASH) return TCS_RESULT_BAD_PARAM;
    memset(serializer, 0, sizeof *serializer);
    if (kind == SCS_SERIALIZER_SETTINGS) {
        serializer->serialize = scsSerializeToPersistentStorage;
        serializer->deserialize = scsDeserializeFromPersistentStorage;
    } else {
        serializer->serialize = scsSerializeToSPIFlash;
        serializer->deserialize = scsDeserializeFromSPIFlash;
    }
    return TCS_RESULT_OK;
}

TcsResult scsGetSSProtector(uint32_t kind, ScsSSProtector* protector) {
    if (protector == nullptr) return TCS_RESULT_NULL_POINTER;
    switch (kind) {
    case SCS_PROTECTOR_NONE: *protector = {scsEncryptVoid, scsDecryptVoid}; return TCS_RESULT_OK;
    case SCS_PROTECTOR_GSK: *protector = {scsEncryptWithGSKGlobal, scsDecryptWithGSKGlobal}; return TCS_RESULT_OK;
    case SCS_PROTECTOR_FACTORY:
    case SCS_PROTECTOR_FACTORY2:
        *protector = {scsEncryptWithGSKMCFACT, scsDecryptWithGSKMCFACT};
        return TCS_RESULT_OK;
    default: return TCS_RESULT_BAD_PARAM;
    }
}

TcsResult scsGetDataFromStorage(ScsSensorDevice* device, uint32_t id, uint32_t serializerKind, uint32_t protectorKind,
                                uint32_t length, uint8_t* buffer) {
    if (buffer == nullptr) return TCS_RESULT_NULL_POINTER;
    if (device == nullptr) return TCS_RESULT_NULL_DEVICE_HANDLE;
    if (id == SCS_SLOT_SHARED_SECRET) {
        uint8_t cached[SCS_SHARED_SECRET_SIZE];
        scsDataSlotGetCachedSecret(device, cached);
        uint8_t zero[SCS_SHARED_SECRET_SIZE] = {};
        if (memcmp(cached, zero, sizeof cached) != 0) {
            // The cache holds 32 bytes; asking for more must not read past it.
            TcsResult result = length <= sizeof cached ? TCS_RESULT_OK : TCS_RESULT_BAD_PARAM;
            if (result == TCS_RESULT_OK) memcpy(buffer, cached, length);
            memset(cached, 0, sizeof cached);
            return result;
        }
    }
    ScsDataSerializer serializer;
    TcsResult result = prepareSerializer(serializerKind, &serializer, false);
    uint32_t slot = 0;
    if (result == TCS_RESULT_OK) result = scsGetDataSlotFromDataID(id, &slot);
    if (result == TCS_RESULT_OK) result = bindRecord(device, &serializer);
    if (result != TCS_RESULT_OK) return result;

    uint32_t storedLength = 0;
    result = serializer.deserialize(&serializer.record, id, slot, &storedLength, nullptr);
    if (result != TCS_RESULT_OK) return result;
    if (storedLength == 0) return TCS_RESULT_DOESNT_EXIST;
    auto* stored = static_cast<uint8_t*>(palRealMalloc(storedLength));
    if (stored == nullptr) return TCS_RESULT_OUT_OF_MEMORY;
    result = serializer.deserialize(&serializer.record, id, slot, &storedLength, stored);
    ScsSSProtector protector;
    if (result == TCS_RESULT_OK) result = scsGetSSProtector(protectorKind, &protector);
    uint8_t* plain = nullptr;
    uint32_t plainLength = 0;
    if (result == TCS_RESULT_OK) result = protector.unprotect(storedLength, stored, &plainLength, &plain);
    // The caller's length is checked against what is stored: a shorter item used to be over-read.
    if (result == TCS_RESULT_OK && plainLength < length) result = TCS_RESULT_BAD_PARAM;
    if (result == TCS_RESULT_OK) memcpy(buffer, plain, length);
    // The pairing secret is kept with the device once read, so later reads need no storage.
    if (result == TCS_RESULT_OK && id == SCS_SLOT_SHARED_SECRET && plainLength == SCS_SHARED_SECRET_SIZE) {
        scsDataSlotSetCachedSecret(device, plain);
    }
    wipeAndFree(plain, plainLength);
    wipeAndFree(stored, storedLength);
    return result;
}

TcsResult scsStoreDataInStorage(ScsSensorDevice* device, uint32_t id, uint32_t serializerKind,
                                uint32_t protectorKind, uint32_t length, const uint8_t* data) {
    if (data == nullptr) return TCS_RESULT_NULL_POINTER;
    ScsSSProtector protector;
    TcsResult result = scsGetSSProtector(protectorKind, &protector);
    if (result != TCS_RESULT_OK) return result;
    ScsDataSerializer serializer;
    result = prepareSerializer(serializerKind, &serializer, true);
    uint32_t slot = 0;
    if (result == TCS_RESULT_OK) result = scsGetDataSlotFromDataID(id, &slot);
    if (result != TCS_RESULT_OK) return result;
    if (device == nullptr) return TCS_RESULT_NULL_DEVICE_HANDLE;
    result = bindRecord(device, &serializer);
    if (result != TCS_RESULT_OK) return result;
    uint8_t* blob = nullptr;
    uint32_t blobLength = 0;
    result = protector.protect(length, data, &blobLength, &blob);
    if (result != TCS_RESULT_OK) return result;
    result = serializer.serialize(&serializer.record, id, slot, blobLength, blob);
    wipeAndFree(blob, blobLength);
    return result;
}

TcsResult scsDeleteDataFromStorage(ScsSensorDevice* device, uint32_t id, uint32_t serializerKind) {
    if (serializerKind != SCS_SERIALIZER_SETTINGS || id > kMaxSettingsSlot) return TCS_RESULT_BAD_PARAM;
    if (device == nullptr) return TCS_RESULT_NULL_DEVICE_HANDLE;
    if (device->fwVersion == nullptr) return TCS_RESULT_NULL_POINTER;
    char section[300];
    char name[16];
    TcsResult result = scsSensorSectionName(device->fwVersion->serial, section, sizeof section);
    if (result != TCS_RESULT_OK) return result;
    slotName(id, name);
    if (id == SCS_SLOT_SHARED_SECRET) scsDataSlotSetCachedSecret(device, nullptr);  // pairing removed
    return palRemovePersistentDataValue(section, name);
}

TcsResult scsSerializeToPersistentStorage(ScsDataSerializerRecord* record, uint32_t, uint32_t slot, uint32_t length,
                                          const uint8_t* data) {
    if (slot > kMaxSettingsSlot) return TCS_RESULT_BAD_PARAM;
    if (record == nullptr || data == nullptr) return TCS_RESULT_NULL_POINTER;
    char section[300];
    char name[16];
    TcsResult result = scsSensorSectionName(record->sensorId, section, sizeof section);
    if (result != TCS_RESULT_OK) return result;
    slotName(slot, name);
    return palSetPersistentDataBinaryValue(section, name, data, length);
}

TcsResult scsDeserializeFromPersistentStorage(ScsDataSerializerRecord* record, uint32_t, uint32_t slot,
                                              uint32_t* length, uint8_t* buffer) {
    if (slot > kMaxSettingsSlot) return TCS_RESULT_BAD_PARAM;
    if (record == nullptr || length == nullptr) return TCS_RESULT_NULL_POINTER;
    char section[300];
    char name[16];
    TcsResult result = scsSensorSectionName(record->sensorId, section, sizeof section);
    if (result != TCS_RESULT_OK) return result;
    slotName(slot, name);
    static const uint8_t kEmpty[1] = {0};
    return palGetPersistentDataBinaryValue(section, name, kEmpty, 0, buffer, length);
}

TcsResult scsSerializeToSPIFlash(ScsDataSerializerRecord* record, uint32_t, uint32_t slot, uint32_t length,
                                 const uint8_t* data) {
    if (record == nullptr || record->device == nullptr) return TCS_RESULT_NULL_POINTER;
    return xtfsAddRawPartitionEntry(record->device, slot, data, length);
}

TcsResult scsDeserializeFromSPIFlash(ScsDataSerializerRecord* record, uint32_t, uint32_t slot, uint32_t* length,
                                     uint8_t* buffer) {
    if (record == nullptr || record->device == nullptr) return TCS_RESULT_NULL_POINTER;
    return xtfsGetRawPartitionEntry(record->device, slot, buffer, length);
}

TcsResult scsEncryptVoid(uint32_t length, const uint8_t* data, uint32_t* outLength, uint8_t** out) {
    if (data == nullptr || outLength == nullptr || out == nullptr) return TCS_RESULT_INVALID;
    auto* copy = static_cast<uint8_t*>(palRealMalloc(length != 0 ? length : 1));
    if (copy == nullptr) return TCS_RESULT_INVALID;
    memcpy(copy, data, length);
    *out = copy;
    *outLength = length;
    return TCS_RESULT_OK;
}

TcsResult scsDecryptVoid(uint32_t length, const uint8_t* data, uint32_t* outLength, uint8_t** out) {
    return scsEncryptVoid(length, data, outLength, out);
}

TcsResult scsEncryptWithGSKGlobal(uint32_t length, const uint8_t* data, uint32_t* outLength, uint8_t** out) {
    if (data == nullptr || outLength == nullptr || out == nullptr) return TCS_RESULT_INVALID;
    // CBC without padding: a ragged plaintext could not be read back whole, so it is refused here.
    if (length == 0 || length % 16 != 0) return TCS_RESULT_BAD_PARAM;
    auto* blob = static_cast<uint8_t*>(palRealMalloc(length + SCS_PROTECTED_BLOB_HEADER));
    if (blob == nullptr) return TCS_RESULT_INVALID;
    uint8_t iv[16] = {};
    TcsResult result = palCryptoRng(iv, sizeof iv);
    memcpy(blob + 6, iv, 16);
    if (result == TCS_RESULT_OK) {
        GlobalSharedKey key;
        result = palCryptoEncrypt(data, length, blob + SCS_PROTECTED_BLOB_HEADER, nullptr, key.bytes, 32, iv,
                                  PAL_CRYPTO_AES_CBC);
    }
    uint32_t crc = 0;
    if (result == TCS_RESULT_OK) result = palCryptoChecksum(0, &crc, blob + 6, length + 16, PAL_CRYPTO_CRC32);
    if (result != TCS_RESULT_OK) {
        wipeAndFree(blob, length + SCS_PROTECTED_BLOB_HEADER);
        return result;
    }
    blob[0] = kBlobVersion;
    blob[1] = uint8_t(length % 16);
    for (int i = 0; i < 4; ++i) blob[2 + i] = uint8_t(crc >> (8 * i));
    *out = blob;
    *outLength = length + SCS_PROTECTED_BLOB_HEADER;
    return TCS_RESULT_OK;
}

TcsResult scsDecryptWithGSKGlobal(uint32_t length, const uint8_t* data, uint32_t* outLength, uint8_t** out) {
    if (data == nullptr || outLength == nullptr || out == nullptr || length == 0) return TCS_RESULT_INVALID;
    const bool old = data[0] == 0;  // version 0: {0, IV} with neither CRC nor padding count
    const uint32_t header = old ? 17 : SCS_PROTECTED_BLOB_HEADER;
    const uint32_t padding = old ? 0 : (length > 1 ? data[1] : 0);
    if (length <= header + padding) return TCS_RESULT_INVALID;
    const uint32_t cipherLength = length - header;
    // Only whole blocks can be decrypted; anything else would read past the blob.
    if (cipherLength % 16 != 0) return TCS_RESULT_INVALID;
    const uint8_t* iv = data + (old ? 1 : 6);
    if (!old) {
        uint32_t crc = 0;
        TcsResult result = palCryptoChecksum(0, &crc, data + 6, length - 6, PAL_CRYPTO_CRC32);
        uint32_t stored = uint32_t(data[2]) | uint32_t(data[3]) << 8 | uint32_t(data[4]) << 16 |
                          uint32_t(data[5]) << 24;
        if (result != TCS_RESULT_OK || crc != stored) return TCS_RESULT_INVALID;
    }
    auto* plain = static_cast<uint8_t*>(palRealMalloc(cipherLength));
    if (plain == nullptr) return TCS_RESULT_OUT_OF_MEMORY;
    uint8_t chain[16];
    memcpy(chain, iv, 16);
    TcsResult result;
    {
        GlobalSharedKey key;
        result = palCryptoDecrypt(data + header, cipherLength, plain, nullptr, key.bytes, 32, chain,
                                  PAL_CRYPTO_AES_CBC);
    }
    if (result != TCS_RESULT_OK) {
        wipeAndFree(plain, cipherLength);
        return result;
    }
    *out = plain;
    *outLength = cipherLength - padding;
    return TCS_RESULT_OK;
}

TcsResult scsEncryptWithGSKMCFACT(uint32_t, const uint8_t*, uint32_t*, uint8_t**) { return TCS_RESULT_NOT_IMPLEMENTED; }
TcsResult scsDecryptWithGSKMCFACT(uint32_t, const uint8_t*, uint32_t*, uint8_t**) { return TCS_RESULT_NOT_IMPLEMENTED; }

TcsResult scsSignByGSKGlobal(uint32_t length, const uint8_t* data, uint8_t out[32]) {
    if (data == nullptr || out == nullptr || length == 0) return TCS_RESULT_BAD_PARAM;
    uint8_t macKey[32];
    TcsResult result;
    {
        GlobalSharedKey key;
        result = palCryptoDigest(key.bytes, 32, macKey, PAL_CRYPTO_SHA256);
    }
    uint8_t mac[32];
    uint32_t macLength = sizeof mac;
    if (result == TCS_RESULT_OK) {
        result = palCryptoMAC(data, length, macKey, sizeof macKey, mac, &macLength, PAL_CRYPTO_HMAC_SHA256);
    }
    if (result == TCS_RESULT_OK) memcpy(out, mac, 32);
    memset(macKey, 0, sizeof macKey);
    memset(mac, 0, sizeof mac);
    return result;
}

TcsResult scsDataSlotGetCachedSecret(ScsSensorDevice* device, uint8_t out[SCS_SHARED_SECRET_SIZE]) {
    if (device == nullptr || out == nullptr) return TCS_RESULT_NULL_POINTER;
    uint8_t serial[6];
    serialOf(device, serial);
    SecretCache& cache = secretCache();
    std::lock_guard<std::mutex> guard(cache.lock);
    auto it = cache.secrets.find(device);
    if (it == cache.secrets.end() || memcmp(it->second.serial, serial, 6) != 0) {
        memset(out, 0, SCS_SHARED_SECRET_SIZE);
    } else {
        memcpy(out, it->second.secret.data(), SCS_SHARED_SECRET_SIZE);
    }
    return TCS_RESULT_OK;
}

TcsResult scsDataSlotSetCachedSecret(ScsSensorDevice* device, const uint8_t* secret) {
    if (device == nullptr) return TCS_RESULT_NULL_POINTER;
    SecretCache& cache = secretCache();
    std::lock_guard<std::mutex> guard(cache.lock);
    if (secret == nullptr) {
        auto it = cache.secrets.find(device);
        if (it != cache.secrets.end()) {
            it->second.secret.fill(0);
            cache.secrets.erase(it);
        }
        return TCS_RESULT_OK;
    }
    try {
        CachedSecret& entry = cache.secrets[device];
        serialOf(device, entry.serial);
        memcpy(entry.secret.data(), secret, SCS_SHARED_SECRET_SIZE);
    } catch (...) {  // no exception leaves sensor control
        return TCS_RESULT_OUT_OF_MEMORY;
    }
    return TCS_RESULT_OK;
}

void scsDataSlotForgetDevice(ScsSensorDevice* device) { scsDataSlotSetCachedSecret(device, nullptr); }

TcsResult scsGetSecretData(ScsSensor* sensor, uint32_t size, uint8_t* buffer, uint32_t slot, uint32_t store,
                           uint32_t migrate) {
    if (buffer == nullptr) return TCS_RESULT_BAD_PARAM;
    // Slot 1 is answered from the device's cached copy, when there is one, by every read below.
    return scsWithDevice(sensor, [&](ScsSensorDevice* device) -> TcsResult {
        if (store == 2) {
            TcsResult r = scsGetDataFromStorage(device, slot, SCS_SERIALIZER_SPI_FLASH, SCS_PROTECTOR_GSK, size, buffer);
            if (r == TCS_RESULT_OK) return r;
            r = scsGetDataFromStorage(device, slot, SCS_SERIALIZER_SETTINGS, SCS_PROTECTOR_GSK, size, buffer);
            if (r == TCS_RESULT_OK && migrate &&
                scsStoreDataInStorage(device, slot, SCS_SERIALIZER_SPI_FLASH, SCS_PROTECTOR_GSK, size, buffer) ==
                    TCS_RESULT_OK) {
                scsDeleteDataFromStorage(device, slot, SCS_SERIALIZER_SETTINGS);
            }
            return r;
        }
        const uint32_t protector = slot == SCS_SLOT_SENSOR_CERTIFICATE ? SCS_PROTECTOR_NONE : SCS_PROTECTOR_GSK;
        return scsGetDataFromStorage(device, slot, store, protector, size, buffer);
    });
}

TcsResult scsSetSecretData(ScsSensor* sensor, uint32_t size, const uint8_t* data, uint32_t slot) {
    if (data == nullptr) return TCS_RESULT_BAD_PARAM;
    return scsWithDevice(sensor, [&](ScsSensorDevice* device) -> TcsResult {
        scsStoreDataInStorage(device, slot, SCS_SERIALIZER_SETTINGS, SCS_PROTECTOR_GSK, size, data);
        if (scsStoreDataInStorage(device, slot, SCS_SERIALIZER_SPI_FLASH, SCS_PROTECTOR_GSK, size, data) !=
            TCS_RESULT_OK) {
            return TCS_RESULT_OK;  // the settings copy stays the only one
        }
        auto* back = static_cast<uint8_t*>(palRealMalloc(size != 0 ? size : 1));
        if (back == nullptr) return TCS_RESULT_OUT_OF_MEMORY;
        TcsResult r = scsGetDataFromStorage(device, slot, SCS_SERIALIZER_SPI_FLASH, SCS_PROTECTOR_GSK, size, back);
        if (r == TCS_RESULT_OK && memcmp(back, data, size) == 0) {
            scsDeleteDataFromStorage(device, slot, SCS_SERIALIZER_SETTINGS);
        }
        memset(back, 0, size);
        palRealFree(back);
        return r;
    });
}
