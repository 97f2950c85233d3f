// The file-system partition as a byte store (RAM mirror, commit to flash), its backend for the
// flash file system, backup, and the fingerprint-buffering ring.
#pragma once

#include "tcs/flashfs/xtfs.h"

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct XtfsStorageInfo XtfsStorageInfo;

// Offsets are partition offsets. Reads and writes only touch the mirror; a write that must set a
// bit back to 1 marks its blocks for erase. Commit erases and programs what changed, then reads
// every programmed page back (84 on a difference).
TcsResult xtfsReadFlash(ScsSensor* sensor, uint32_t offset, uint32_t length, void* buffer);
TcsResult xtfsWriteFlash(ScsSensor* sensor, uint32_t offset, uint32_t length, const void* buffer);
TcsResult xtfsCommitFlash(ScsSensor* sensor);

// The sensor's file-system key (type-8 entry) unwrapped by the sensor and kept in the storage
// record; with force 0 a key already kept is not fetched again.
TcsResult xtfsCacheFSSEncKey(ScsSensor* sensor, XtfsStorageInfo* info, uint32_t force);

// Secured sensors: the raw partition (table page on) followed by the file-system partition;
// others the file-system partition alone. A null buffer asks for the size; otherwise *inOutSize
// must be that size.
TcsResult xtfsBackup(ScsSensor* sensor, void* buffer, uint32_t* inOutSize);

// Erases the ring's blocks that a read of length bytes from ring offset `offset` has passed
// (wrapping at the ring's end) and blanks them in the RAM copy.
TcsResult xtfsEraseBufferedFPData(ScsSensor* sensor, uint32_t offset, uint32_t length);

// The two switches of sensor control that flash storage reads: either one on lets a sensor that is
// not AES-secured preload the file-system partition whole and use the buffering ring. Process-wide;
// by default the preload switch is off and the SPI-read switch on.
void xtfsSetSensorReadSwitches(uint32_t preload, uint32_t spiRead);

// The sensor-flash backend of the flash file system; the context is the sensor handle.
// Get flash info opens the file-system partition when it is not open; uninit closes it.
TcsResult _xtfsGetFlashInfo(void* context, uint32_t* outCapacity, uint32_t* outStoreSize);
TcsResult _xtfsReadFlash(void* context, uint32_t address, uint32_t length, void* buffer);
// Writes into the mirror; commitFlag 1 then commits through xtfsCommitFlash.
TcsResult _xtfsWriteFlash(void* context, uint32_t address, uint32_t length, const void* buffer, uint32_t commitFlag);
TcsResult _xtfsCommitFlash(void* context);
TcsResult _xtfsBulkEraseFlash(void* context);
TcsResult _xtfsSectorEraseFlash(void* context, uint32_t address, uint32_t sectorCount);
TcsResult _xtfsSPIUninit(void* context);

#ifdef __cplusplus
}
#endif
