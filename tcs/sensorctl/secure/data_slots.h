// Protected data slots: small secrets and certificates of a secured sensor, kept in the settings
// store or the sensor's raw flash partition, optionally encrypted under the global shared key; a
// handle's secrets read and stored across the two stores.
#pragma once

#include "tcs/result.h"

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct ScsSensorDevice ScsSensorDevice;
typedef struct ScsSensor ScsSensor;

// Item ids; the slot number equals the id.
typedef enum ScsDataSlot : uint32_t {
    SCS_SLOT_SHARED_SECRET = 1,
    SCS_SLOT_SENSOR_SECRET = 8,
    SCS_SLOT_SENSOR_CERTIFICATE = 10,
    SCS_SLOT_SENSOR_SIGNATURE = 11,
    SCS_SLOT_HOST_CERTIFICATE = 12,
    SCS_SLOT_HOST_PRIVATE_KEY = 13,
    SCS_SLOT_INIT_DATA = 14,
} ScsDataSlot;

enum : uint32_t { SCS_SERIALIZER_SETTINGS = 0, SCS_SERIALIZER_SPI_FLASH = 1 };
enum : uint32_t { SCS_PROTECTOR_NONE = 0, SCS_PROTECTOR_GSK = 1, SCS_PROTECTOR_FACTORY = 2, SCS_PROTECTOR_FACTORY2 = 3 };

#define SCS_PROTECTED_BLOB_HEADER 22u
#define SCS_SHARED_SECRET_SIZE 32u

typedef struct ScsDataSerializerRecord {
    ScsSensorDevice* device;
    uint8_t sensorId[6];
} ScsDataSerializerRecord;

typedef TcsResult (*ScsSerializeFn)(ScsDataSerializerRecord* record, uint32_t item, uint32_t slot, uint32_t length,
                                    const uint8_t* data);
// A NULL buffer asks for the stored length.
typedef TcsResult (*ScsDeserializeFn)(ScsDataSerializerRecord* record, uint32_t item, uint32_t slot,
                                      uint32_t* length, uint8_t* buffer);

typedef struct ScsDataSerializer {
    ScsSerializeFn serialize;
    ScsDeserializeFn deserialize;
    ScsDataSerializerRecord record;
} ScsDataSerializer;

// Protect and unprotect: the output is newly allocated (palRealMalloc); the caller frees it.
typedef TcsResult (*ScsProtectFn)(uint32_t length, const uint8_t* data, uint32_t* outLength, uint8_t** out);

typedef struct ScsSSProtector {
    ScsProtectFn protect;
    ScsProtectFn unprotect;
} ScsSSProtector;

TcsResult scsGetDataSlotFromDataID(uint32_t id, uint32_t* slot);
TcsResult scsGetDataSerializer(uint32_t kind, ScsDataSerializer* serializer);
TcsResult scsGetSSProtector(uint32_t kind, ScsSSProtector* protector);

// Reads exactly `length` bytes of an item; fails (buffer untouched) when the stored item is shorter.
TcsResult scsGetDataFromStorage(ScsSensorDevice* device, uint32_t id, uint32_t serializerKind, uint32_t protectorKind,
                                uint32_t length, uint8_t* buffer);
TcsResult scsStoreDataInStorage(ScsSensorDevice* device, uint32_t id, uint32_t serializerKind,
                                uint32_t protectorKind, uint32_t length, const uint8_t* data);
TcsResult scsDeleteDataFromStorage(ScsSensorDevice* device, uint32_t id, uint32_t serializerKind);

TcsResult scsSerializeToPersistentStorage(ScsDataSerializerRecord* record, uint32_t item, uint32_t slot,
                                          uint32_t length, const uint8_t* data);
TcsResult scsDeserializeFromPersistentStorage(ScsDataSerializerRecord* record, uint32_t item, uint32_t slot,
                                              uint32_t* length, uint8_t* buffer);
TcsResult scsSerializeToSPIFlash(ScsDataSerializerRecord* record, uint32_t item, uint32_t slot, uint32_t length,
                                 const uint8_t* data);
TcsResult scsDeserializeFromSPIFlash(ScsDataSerializerRecord* record, uint32_t item, uint32_t slot, uint32_t* length,
                                     uint8_t* buffer);

TcsResult scsEncryptVoid(uint32_t length, const uint8_t* data, uint32_t* outLength, uint8_t** out);
TcsResult scsDecryptVoid(uint32_t length, const uint8_t* data, uint32_t* outLength, uint8_t** out);
// Blob v2 {2, length mod 16, CRC-32 of bytes 6.., IV, AES-256-CBC}; plaintexts are whole blocks.
TcsResult scsEncryptWithGSKGlobal(uint32_t length, const uint8_t* data, uint32_t* outLength, uint8_t** out);
TcsResult scsDecryptWithGSKGlobal(uint32_t length, const uint8_t* data, uint32_t* outLength, uint8_t** out);
TcsResult scsEncryptWithGSKMCFACT(uint32_t length, const uint8_t* data, uint32_t* outLength, uint8_t** out);
TcsResult scsDecryptWithGSKMCFACT(uint32_t length, const uint8_t* data, uint32_t* outLength, uint8_t** out);

// HMAC-SHA-256 keyed with SHA-256 of the global shared key.
TcsResult scsSignByGSKGlobal(uint32_t length, const uint8_t* data, uint8_t out[32]);

// The device's cached copy of item 1 (all zero when none); set by pairing and device initialisation.
TcsResult scsDataSlotGetCachedSecret(ScsSensorDevice* device, uint8_t out[SCS_SHARED_SECRET_SIZE]);
TcsResult scsDataSlotSetCachedSecret(ScsSensorDevice* device, const uint8_t* secret);
void scsDataSlotForgetDevice(ScsSensorDevice* device);

// The per-sensor settings section "SOFTWARE\\Tovantic\\tfs530\\" + 12 hex digits; size includes the NUL.
TcsResult scsSensorSectionName(const uint8_t sensorId[6], char* out, uint32_t size);

// A handle's secret of a slot. store 0 settings, 1 flash, 2 flash then settings (migrating to flash
// when asked); slot 1 is answered from the device's cached copy when it has one.
TcsResult scsGetSecretData(ScsSensor* sensor, uint32_t size, uint8_t* buffer, uint32_t slot, uint32_t store,
                           uint32_t migrate);
// Writes both stores; the settings copy is removed once the flash copy reads back the same.
TcsResult scsSetSecretData(ScsSensor* sensor, uint32_t size, const uint8_t* data, uint32_t slot);

#ifdef __cplusplus
}
#endif
