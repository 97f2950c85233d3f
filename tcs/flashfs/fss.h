// Flash file system: directories and files in a NOR-flash store on the host's flash-image file or
// the sensor's file-system partition. No lock of its own: one thread uses a handle at a time.
#pragma once

#include "tcs/flashfs/xtfs.h"
#include "tcs/result.h"

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

// Codes of the file system.
#define FSS_RESULT_VERIFY_FAILED ((TcsResult)84)  // a written page does not read back equal (backend)
#define FSS_RESULT_BAD_VERSION ((TcsResult)85)  // store of another format version
#define FSS_RESULT_UNKNOWN_FLASH ((TcsResult)86)  // flash capacity with no geometry row
#define FSS_RESULT_NO_ROOM ((TcsResult)392)
#define FSS_RESULT_EXISTS ((TcsResult)393)
#define FSS_RESULT_BAD_NAME ((TcsResult)394)  // bad name, or a directory opened as a file
#define FSS_RESULT_NO_PARENT ((TcsResult)395)  // parent missing or not a directory
#define FSS_RESULT_NO_ROOT ((TcsResult)396)
#define FSS_RESULT_NOT_FOUND ((TcsResult)397)  // not found, or not open
#define FSS_RESULT_TABLE_FULL ((TcsResult)398)  // open files or listings
#define FSS_RESULT_ALREADY_OPEN ((TcsResult)399)
#define FSS_RESULT_WRONG_MODE ((TcsResult)400)
#define FSS_RESULT_BAD_CRC ((TcsResult)401)
#define FSS_RESULT_NO_CACHE ((TcsResult)402)  // no current start of the mount cache file
#define FSS_RESULT_CACHE_VERSION ((TcsResult)403)  // mount cache file unusable
#define FSS_RESULT_NOT_EMPTY ((TcsResult)404)
#define FSS_RESULT_UNKNOWN_FORMAT ((TcsResult)406)

// Backend kinds (stored as a u8 in the handle).
typedef enum FssBackendKind { FSS_BACKEND_HOST_FILE = 0, FSS_BACKEND_SENSOR = 1 } FssBackendKind;

typedef struct FssMount FssMount;
typedef struct FssFile FssFile;
typedef struct FssDirListing FssDirListing;

typedef struct FssHandle {
    FssMount* mount;  // owned; null before mount
    uint8_t valid;    // 1 when mounted and usable
    uint32_t refCount;
    uint8_t kind;     // FssBackendKind
    FssBackendOps ops;
    void* backend;    // the sensor handle (kind 1) or the flash-image file (kind 0)
} FssHandle;

// One entry of a directory listing: node type (1 directory, 2 file), then the name.
typedef struct FssDirEntry {
    uint8_t type;
    char name[13];
} FssDirEntry;

typedef struct FssFileInfoRecord {
    uint32_t size;
    uint32_t one;  // always 1
} FssFileInfoRecord;

// Handle and mount.
TcsResult fssCreateHandle(ScsSensor* sensor, uint8_t kind, FssHandle** outHandle, const char* storeUrl);
TcsResult fssOpenEx(ScsSensor* sensor, uint8_t kind, FssHandle** outHandle, const char* storeUrl);
TcsResult fssOpen(ScsSensor* sensor, uint8_t kind, FssHandle** outHandle);
TcsResult fssClose(FssHandle* handle);
TcsResult fssIsValid(FssHandle* handle);
TcsResult fssPartition(FssHandle* handle);
// mode 1 also frees the sector table and the mount record.
TcsResult fssUnMount(FssHandle* handle, uint32_t mode);

// Files and directories.
TcsResult fssFormatDB(ScsSensor* sensor, uint8_t kind, const char* rootPath, const char* storeUrl);
TcsResult fssFormat(FssHandle* handle);
TcsResult fssMkdir(FssHandle* handle, const char* path);
TcsResult fssRmdir(FssHandle* handle, const char* path);
TcsResult fssFileRemove(FssHandle* handle, const char* path);
// mode "r", "rb", "w" or "wb".
TcsResult fssFileOpen(FssHandle* handle, const char* path, const char* mode, FssFile** outFile);
TcsResult fssFileRead(void* buffer, uint32_t size, uint32_t count, FssFile* file, uint32_t* outRead);
TcsResult fssFileWrite(const void* buffer, uint32_t size, uint32_t count, FssFile* file, uint32_t* outWritten);
uint32_t fssFileEof(FssFile* file);
TcsResult fssFileClose(FssFile* file);
TcsResult fssFileInfo(FssHandle* handle, const char* path, FssFileInfoRecord* outInfo);
TcsResult fssDirOpen(FssHandle* handle, const char* path, FssDirListing** outListing);
const FssDirEntry* fssDirRead(FssDirListing* listing);
TcsResult fssDirClose(FssDirListing* listing);
// set 1 writes length bytes at byte 64 of the directory's meta page; 0 reads them.
TcsResult fssSetGetDirAttrib(FssHandle* handle, const char* path, void* buffer, uint32_t length, uint32_t set);
TcsResult fssGetFreeSpace(FssHandle* handle, uint32_t* outBytes);

// The sensor backend's slots (kind 1), over the file-system partition of the sensor's flash.
TcsResult _xtfsGetFlashInfo(void* sensor, uint32_t* outCapacity, uint32_t* outStoreSize);
TcsResult _xtfsReadFlash(void* sensor, uint32_t address, uint32_t length, void* buffer);
TcsResult _xtfsWriteFlash(void* sensor, uint32_t address, uint32_t length, const void* buffer, uint32_t commitFlag);
TcsResult _xtfsCommitFlash(void* sensor);
TcsResult _xtfsBulkEraseFlash(void* sensor);
TcsResult _xtfsSectorEraseFlash(void* sensor, uint32_t address, uint32_t sectorCount);
TcsResult _xtfsSPIUninit(void* sensor);

#ifdef __cplusplus
}
#endif
