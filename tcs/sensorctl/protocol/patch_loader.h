// Firmware patches: choosing, loading (skip, reload, signature caching, the 373 retry), the
// per-kind loaders, the signed-patch wrapper and the pre-boot image header checks.
#pragma once

#include "tcs/sensorctl/protocol/patches.h"
#include "tcs/sensorctl/engine/scs_internal.h"

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

TcsResult LoadPatch(ScsSensor* sensor, uint32_t patchIds, uint32_t selector, uint32_t excludeMask, uint32_t revision,
                    uint32_t length, const uint8_t* image);
TcsResult scsSensorLoadPatchEx(ScsSensor* sensor, const void* list, uint32_t kind, uint32_t selector,
                               uint32_t excludeMask, uint32_t* outLoaded);
TcsResult LoadPreSecurityManagementPatch(ScsSensor* sensor);
TcsResult scsDownloadRunPatch(ScsSensor* sensor);
TcsResult scsDownloadFlashPatch(ScsSensor* sensor);
TcsResult scsDownloadAuthPatch(ScsSensor* sensor, uint32_t selector);
TcsResult scsDownloadSecureMatchPatch(ScsSensor* sensor);
TcsResult scsDownloadGetPrintPatch(ScsSensor* sensor, uint32_t mode);
TcsResult scsGetEFIImageVersion(ScsSensor* sensor, uint32_t* outVersion);
// {u16 2, u16 32, HMAC-SHA-256 under the slot-1 shared key, patch}; a MAC of zeros on firmware 4.21
// and later when the key cannot be read. The caller frees *outBuffer with palRealFree.
TcsResult scsCreateSignedPatch(ScsSensor* sensor, uint32_t length, const uint8_t* patch, uint16_t* outLength,
                               uint8_t** outBuffer);
// The configuration lists of the device's product family (kinds 0 patch, 1 print, 2 calibration,
// 3 navigation, 4 wake-on-event); NULL with 0 when the family has none.
TcsResult scsSensorFindConfigList(ScsSensorDevice* device, uint32_t kind, const void* const** outList);
TcsResult scsSensorFindPatchConfigList(ScsSensorDevice* device, const void* const** outList);
TcsResult scsSensorFindPrintConfigList(ScsSensorDevice* device, const void* const** outList);

#ifdef __cplusplus
}

namespace scspatch {

bool isSelfUnloading(uint32_t patchIds);

struct GetPrintKind {
    uint32_t kind, exclude;
};
GetPrintKind getPrintKind(uint32_t mode, bool alternateWoe, bool rsaOrSelkinSpi);

// Signed patch {u16 2, u16 32, HMAC-SHA-256 of the patch under the key (32 zero bytes when key is
// NULL), patch}; 17 when it would not fit its u16 length.
TcsResult buildSignedPatch(const uint8_t* key32, const uint8_t* patch, uint32_t length, uint8_t** out,
                           uint16_t* outLength);

// Pre-boot image header: the stored header CRC (u32 at 92) over 92 bytes, or 91 when bytes 4-7
// read "OEMA"; the body CRC (u32 at 39) over the body length (u32 at 35) after the 256-byte header.
bool efiHeaderCrcMatches(const uint8_t* header256);
uint32_t efiHeaderCrc(const uint8_t* header256);
bool efiBodyCrcMatches(const uint8_t* image, uint32_t imageLength);

}  // namespace scspatch
#endif
