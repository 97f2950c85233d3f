// The per-sensor flash storage record (GetStorageInfo): the flash part's geometry and the state of
// the partitions that are open. Sensor control reads it; only flash storage changes it.
#pragma once

#include "tcs/flashfs/xtfs.h"

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define XTFS_PAGE_SIZE 256u
#define XTFS_TABLE_ENTRIES 20u
#define XTFS_ENTRY_SIZE 10u
#define XTFS_PATCH_SIGNATURE_SIZE 40u

// Layout bytes of the partition table.
enum { XTFS_LAYOUT_AES = 0x21, XTFS_LAYOUT_RSA = 0x22 };

// Table entry types with a meaning of their own; every other type is a data record of sensor control.
enum {
    XTFS_ENTRY_DELETED = 0,
    XTFS_ENTRY_SIGNATURE_CACHE = 6,
    XTFS_ENTRY_FSS = 7,
    XTFS_ENTRY_FSS_KEY = 8,
    XTFS_ENTRY_HASH = 14,
    XTFS_ENTRY_FP_BUFFER = 15,
    XTFS_ENTRY_EMPTY = 255,
};

// Results of the partition layer without a name in tcs/result.h.
enum : uint32_t {
    XTFS_RESULT_VERIFY_FAILED = 84,   // read-back differs after a commit or restore
    XTFS_RESULT_NO_ROOM = 369,        // table, data area or signature stack full
    XTFS_RESULT_BAD_TABLE = 374,      // partition table or entry inconsistent
    XTFS_RESULT_RAW_NOT_OPEN = 375,
    XTFS_RESULT_OTHER_SENSOR = 377,   // restore image of another sensor
};

// One row of the known flash parts.
typedef struct FlashPartInfo {
    char name[20];
    uint32_t capacity;
    uint8_t resSignature;
    uint8_t jedec[3];  // manufacturer, memory type, capacity code
    uint32_t blockSize;
    uint32_t eraseUnit;
    uint16_t eraseOpcode;
    uint16_t last;
} FlashPartInfo;

// JEDEC id (0x9F), or the RES signature (0xAB) for parts without one; 83 when the part is unknown.
TcsResult GetFlashMemoryInfo(ScsSensor* sensor, FlashPartInfo* outRow);
TcsResult GetFlashInfoInternal(ScsSensor* sensor);
// Reads length / 256 pages with fast read 0x0B.
TcsResult SPIRead(ScsSensor* sensor, uint32_t address, uint32_t length, void* buffer);
// 17 when the data would cross the page end.
TcsResult xtfsWriteRawDataToPage(ScsSensor* sensor, uint32_t address, const void* data, uint32_t length);
TcsResult xtfsWriteRawDataToFlash(ScsSensor* sensor, uint32_t address, const void* data, uint32_t length);
TcsResult WaitForWriteComplete(ScsSensor* sensor, uint32_t intervalMs);
// Erase with the part's own erase opcode and unit.
TcsResult UnitErase(ScsSensor* sensor, uint32_t address);

// Open with the create flag (a blank table in RAM for the raw partition) and the check flag (374
// for a raw partition neither blank nor "EAT"); outSize gets the partition's usable size.
TcsResult xtfsStorageOpenEx(ScsSensor* sensor, uint32_t kind, uint32_t create, uint32_t check, uint32_t* outSize);
TcsResult xtfsIsStorageOpen(ScsSensor* sensor, uint32_t kind, uint32_t* outFlag);
TcsResult xtfsGetStorageSize(ScsSensor* sensor, uint32_t kind, uint32_t* outSize);
// 1 when the entry's data is neither all 0xFF nor all zeros.
TcsResult xtfsIsRawPartitionEntryValid(ScsSensorDevice* device, uint32_t entryType, uint32_t* outFlag);
TcsResult xtfsRemoveRawPartitionEntry(ScsSensor* sensor, uint32_t entryType);

// Frees the device's whole storage record whatever is still open (for the device's own release:
// xtfsStorageCleanup counts one close per call).
TcsResult xtfsStorageFree(ScsSensorDevice* device);

// Erases count blocks of the file-system partition from the partition offset on (0xD8 each).
TcsResult xtfsSectorEraseFlash(ScsSensor* sensor, uint32_t offset, uint32_t count);

// The first two words are read by sensor control at fixed offsets: keep them first.
struct XtfsStorageInfo {
    uint32_t capacity;       // flash bytes
    uint32_t blockSize;      // unit of the 0xD8 erase, also the size of the first sector
    uint32_t pagesPerBlock;
    uint32_t eraseUnit;      // bytes erased by eraseOpcode
    uint16_t rowLast;
    uint8_t eraseOpcode;

    // Raw partition (kind 1): the whole partition in memory, its partition table page first
    // (header == rawImage, 256 bytes). rawImage is NULL while the partition is not open.
    uint32_t rawOpen;        // open count
    uint8_t* rawImage;
    const uint8_t* header;
    uint32_t rawBase;        // flash address of the table page (4096 or 0x40000)
    uint32_t rawSize;        // 4096 or 0x10000, table page included
    uint8_t layout;          // XTFS_LAYOUT_*
    uint32_t deferWrites;    // a table made in RAM reaches flash only when the partition is programmed
    XtfsRawDataRecord lastRecord;  // filled by GetLastRawDataRecord

    // Image partition (kind 0).
    uint32_t imageOpen;
    uint32_t imageBase;
    uint32_t imageSize;

    // File-system partition (kind 2): its place on flash and the RAM mirror with its maps.
    uint32_t fssOpen;
    uint32_t fssBase;
    uint32_t fssSize;
    uint8_t* fssMirror;    // fssSize bytes
    uint8_t* fssBlockMap;  // one byte per block: 1 = erase at commit
    uint8_t* fssPageMap;   // one byte per page: bit 0 loaded, bit 1 to be programmed
    // Set when the whole partition was read at open: pages not yet loaded hold the flash bytes as
    // stored (still encrypted), loading a page only decrypts it in place.
    uint32_t fssPreloaded;
    // Page encryption (RSA-secured sensors with a type-8 entry) and the key the sensor unwrapped.
    uint32_t fssEncrypted;
    uint32_t fssKeyCached;
    uint8_t fssKey[32];

    // Fingerprint-buffering ring (kind 3): its area, a RAM copy of it, and the read position and
    // window end as flash addresses.
    uint32_t ringOpen;
    uint32_t ringBase;
    uint32_t ringSize;
    uint8_t* ringCopy;
    uint32_t ringReadPos;
    uint32_t ringWindowEnd;
};

#ifdef __cplusplus
}
#endif
