// Flash storage services that sensor control and the stack call: partitions of the sensor's flash,
// raw records, page and sector access, the patch-signature cache and fingerprint buffering in flash.
#pragma once

#include "tcs/result.h"

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct ScsSensor ScsSensor;
typedef struct ScsSensorDevice ScsSensorDevice;

// Partition kinds.
enum { XTFS_PART_IMAGE = 0, XTFS_PART_RAW = 1, XTFS_PART_FS = 2, XTFS_PART_FP_BUFFER = 3 };

// The flash file system's backend, in slot order.
typedef struct FssBackendOps {
    TcsResult (*getFlashInfo)(void* backend, uint32_t* outCapacity, uint32_t* outStoreSize);
    TcsResult (*read)(void* backend, uint32_t address, uint32_t length, void* buffer);
    // commitFlag 1: the write is committed before the slot returns.
    TcsResult (*write)(void* backend, uint32_t address, uint32_t length, const void* buffer, uint32_t commitFlag);
    TcsResult (*commit)(void* backend);
    TcsResult (*bulkErase)(void* backend);
    TcsResult (*sectorErase)(void* backend, uint32_t address, uint32_t sectorCount);
    TcsResult (*uninit)(void* backend);
} FssBackendOps;

// Storage-information record of a device (its second u32 is the first sector's size); its fields
// are in "tcs/flashfs/xtfs_storage.h".
typedef struct XtfsStorageInfo XtfsStorageInfo;

typedef struct XtfsRawDataRecord {
    uint8_t type;
    uint32_t address;
    uint32_t length;
} XtfsRawDataRecord;

typedef struct XtfsPatchKey {
    uint32_t patchIdBits;
    uint8_t revision;
} XtfsPatchKey;

// flags bit 0: create (a blank table in RAM for the raw partition); *outStorage, when given, gets
// the device's XtfsStorageInfo.
TcsResult xtfsStorageOpen(ScsSensor* sensor, uint32_t partitionKind, uint32_t flags, void** outStorage);
TcsResult xtfsStorageClose(ScsSensor* sensor, uint32_t partitionKind);
TcsResult xtfsStorageCleanup(ScsSensorDevice* device, uint32_t partitionKind);
TcsResult xtfsStorageCreate(ScsSensor* sensor, uint32_t partitionKind, uint8_t layout);
XtfsStorageInfo* GetStorageInfo(ScsSensor* sensor);
XtfsRawDataRecord* GetLastRawDataRecord(XtfsStorageInfo* info);
TcsResult xtfsGetFlashInfo(ScsSensor* sensor, uint32_t* outCapacity);
TcsResult xtfsGetFlashSectorSize(ScsSensor* sensor, uint32_t* outSize);
TcsResult xtfsReadImagePartition(ScsSensor* sensor, void* buffer, uint32_t length);
TcsResult xtfsProgramImagePartition(ScsSensor* sensor, const void* image, uint32_t length, uint32_t eraseFlag);
TcsResult xtfsProgramRawPartition(ScsSensor* sensor, const void* image, uint32_t size);
TcsResult xtfsGetRawPartitionEntry(ScsSensorDevice* device, uint32_t entryType, void* buffer, uint32_t* inOutLength);
TcsResult xtfsAddRawPartitionEntry(ScsSensorDevice* device, uint32_t entryType, const void* data, uint32_t length);
TcsResult xtfsIsPatchSignatureCached(ScsSensor* sensor, const XtfsPatchKey* key, uint8_t selector, uint32_t* outFound,
                                     uint8_t* outItem40);
TcsResult xtfsInvalidateCachedPatchSignature(ScsSensor* sensor, const XtfsPatchKey* key, uint8_t selector);
TcsResult xtfsCachePatchSignatureItem(ScsSensor* sensor, const uint8_t* item40);
// readCommand 0: fast read of length bytes from address; else that one-byte command alone.
TcsResult BulkRead(ScsSensor* sensor, uint32_t address, void* buffer, uint32_t length, uint8_t readCommand);
TcsResult PageReadRaw(ScsSensor* sensor, uint32_t address, uint8_t* page256);
TcsResult PageProgramRaw(ScsSensor* sensor, uint32_t address, const uint8_t* page256);
TcsResult SectorErase(ScsSensor* sensor, uint32_t address);
TcsResult xtfsBulkErase(ScsSensor* sensor);
TcsResult xtfsBulkEraseFSSStorage(ScsSensor* sensor);
uint32_t IsBlankPage(const uint8_t* page256);
uint32_t IsBlankBuffer(const uint8_t* buffer, uint32_t length);
TcsResult xtfsReadLastBufferedFpData(ScsSensor* sensor, uint32_t length, void* outBuffer);
TcsResult xtfsGenFSSEncKey(ScsSensor* sensor, uint32_t keyLength, void* outBuffer, uint32_t* inOutLength);
TcsResult CalculateRAWPartitionHash(ScsSensor* sensor, uint8_t* outHash20, uint32_t storeFlag);
TcsResult VerifyRAWPartitionIntegrity(ScsSensor* sensor, uint32_t* outDamaged);
TcsResult xtfsRestore(ScsSensor* sensor, const void* image, uint32_t size, uint32_t flag);

#ifdef __cplusplus
}
#endif
