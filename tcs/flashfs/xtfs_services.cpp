// Flash storage services: stand-in bodies until the flash storage subsystem lands (6: not implemented).
#include "tcs/flashfs/xtfs.h"

// Weak, so the real body wins wherever it is linked in, without a duplicate definition.
#define SCS_STAND_IN __attribute__((weak))

SCS_STAND_IN TcsResult xtfsStorageOpen(ScsSensor*, uint32_t, uint32_t, void** outStorage) {
    if (outStorage != nullptr) *outStorage = nullptr;
    return TCS_RESULT_NOT_IMPLEMENTED;
}
SCS_STAND_IN TcsResult xtfsStorageClose(ScsSensor*, uint32_t) { return TCS_RESULT_NOT_IMPLEMENTED; }
SCS_STAND_IN TcsResult xtfsStorageCleanup(ScsSensorDevice*, uint32_t) { return TCS_RESULT_NOT_IMPLEMENTED; }
SCS_STAND_IN TcsResult xtfsStorageCreate(ScsSensor*, uint32_t, uint8_t) { return TCS_RESULT_NOT_IMPLEMENTED; }
SCS_STAND_IN XtfsStorageInfo* GetStorageInfo(ScsSensor*) { return nullptr; }
SCS_STAND_IN XtfsRawDataRecord* GetLastRawDataRecord(XtfsStorageInfo*) { return nullptr; }
SCS_STAND_IN TcsResult xtfsGetFlashInfo(ScsSensor*, uint32_t*) { return TCS_RESULT_NOT_IMPLEMENTED; }
SCS_STAND_IN TcsResult xtfsGetFlashSectorSize(ScsSensor*, uint32_t*) { return TCS_RESULT_NOT_IMPLEMENTED; }
SCS_STAND_IN TcsResult xtfsReadImagePartition(ScsSensor*, void*, uint32_t) { return TCS_RESULT_NOT_IMPLEMENTED; }
SCS_STAND_IN TcsResult xtfsProgramImagePartition(ScsSensor*, const void*, uint32_t, uint32_t) { return TCS_RESULT_NOT_IMPLEMENTED; }
SCS_STAND_IN TcsResult xtfsProgramRawPartition(ScsSensor*, const void*, uint32_t) { return TCS_RESULT_NOT_IMPLEMENTED; }
SCS_STAND_IN TcsResult xtfsGetRawPartitionEntry(ScsSensorDevice*, uint32_t, void*, uint32_t*) { return TCS_RESULT_NOT_IMPLEMENTED; }
SCS_STAND_IN TcsResult xtfsAddRawPartitionEntry(ScsSensorDevice*, uint32_t, const void*, uint32_t) {
    return TCS_RESULT_NOT_IMPLEMENTED;
}
SCS_STAND_IN TcsResult xtfsIsPatchSignatureCached(ScsSensor*, const XtfsPatchKey*, uint8_t, uint32_t*, uint8_t*) {
    return TCS_RESULT_NOT_IMPLEMENTED;
}
SCS_STAND_IN TcsResult xtfsInvalidateCachedPatchSignature(ScsSensor*, const XtfsPatchKey*, uint8_t) {
    return TCS_RESULT_NOT_IMPLEMENTED;
}
SCS_STAND_IN TcsResult xtfsCachePatchSignatureItem(ScsSensor*, const uint8_t*) { return TCS_RESULT_NOT_IMPLEMENTED; }
SCS_STAND_IN TcsResult BulkRead(ScsSensor*, uint32_t, void*, uint32_t, uint8_t, uint32_t) { return TCS_RESULT_NOT_IMPLEMENTED; }
SCS_STAND_IN TcsResult PageReadRaw(ScsSensor*, uint32_t, uint8_t*) { return TCS_RESULT_NOT_IMPLEMENTED; }
SCS_STAND_IN TcsResult PageProgramRaw(ScsSensor*, uint32_t, const uint8_t*) { return TCS_RESULT_NOT_IMPLEMENTED; }
SCS_STAND_IN TcsResult SectorErase(ScsSensor*, uint32_t) { return TCS_RESULT_NOT_IMPLEMENTED; }
SCS_STAND_IN TcsResult xtfsBulkErase(ScsSensor*) { return TCS_RESULT_NOT_IMPLEMENTED; }
SCS_STAND_IN TcsResult xtfsBulkEraseFSSStorage(ScsSensor*) { return TCS_RESULT_NOT_IMPLEMENTED; }
SCS_STAND_IN uint32_t IsBlankPage(const uint8_t*) { return 0; }
SCS_STAND_IN uint32_t IsBlankBuffer(const uint8_t*, uint32_t) { return 0; }
SCS_STAND_IN TcsResult xtfsReadLastBufferedFpData(ScsSensor*, uint32_t, void*) { return TCS_RESULT_NOT_IMPLEMENTED; }
SCS_STAND_IN TcsResult xtfsGenFSSEncKey(ScsSensor*, uint32_t, void*, uint32_t*) { return TCS_RESULT_NOT_IMPLEMENTED; }
SCS_STAND_IN TcsResult CalculateRAWPartitionHash(ScsSensor*, uint8_t*, uint32_t) { return TCS_RESULT_NOT_IMPLEMENTED; }
SCS_STAND_IN TcsResult VerifyRAWPartitionIntegrity(ScsSensor*, uint32_t*) { return TCS_RESULT_NOT_IMPLEMENTED; }
SCS_STAND_IN TcsResult xtfsRestore(ScsSensor*, const void*, uint32_t, uint32_t) { return TCS_RESULT_NOT_IMPLEMENTED; }
