// Flash image file: a host file standing in for a 4 MiB flash chip, kept whole in memory.
#pragma once

#include "tcs/result.h"

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define PAL_FLASH_IMAGE_SIZE 0x400000u       // 4 MiB; erased bytes read 0xFF
#define PAL_FLASH_IMAGE_SECTOR_SIZE 0x10000u // 64 erase sectors

// Every operation takes the context made by palFssFileDBInit (a FlashImageFile) as a plain
// pointer, so the functions bind directly into the flash file system's backend slots. Each open
// file keeps its own memory copy of the image, loaded on first use.
typedef struct FlashImageFile FlashImageFile;

// url is "<scheme>://<host path>"; the file is opened "r+b", or created "w+b". 17 NULL url or out
// pointer, 60 without "://", 207 when the file cannot be opened, 2 no memory.
TcsResult palFssFileDBInit(void* reserved, const char* url, void** outFile);
TcsResult palFssGetFileDBSize(void* file, uint32_t* outCapacity, uint32_t* outStoreSize);
// Loads the image if not loaded yet: an empty file becomes a fully erased image; a file shorter
// than the image gives 219 and stays unloaded.
TcsResult palStorageInitReadWrite(void* file);
TcsResult palFssReadFileDB(void* file, uint32_t address, uint16_t length, void* buffer);
// Changes the memory copy only; the file changes on commit.
TcsResult palFssWriteFileDB(void* file, uint32_t address, uint16_t length, const void* data);
// The backend's write slot: as palFssWriteFileDB, then a commit when commitFlag is 1.
TcsResult _palFssWriteFileDB(void* file, uint32_t address, uint16_t length, const void* data, uint32_t commitFlag);
TcsResult palFssSectorEraseFileDB(void* file, uint32_t address, uint16_t sectorCount);
TcsResult palFssBulkEraseFileDB(void* file);
// Writes the whole image at offset 0; 218 when it does not all reach the file.
TcsResult palFssCommitFileDB(void* file);
// Commits (its result is not reported), closes the file and frees the context.
TcsResult palFssFileDBUninit(void* file);

#ifdef __cplusplus
}
#endif
