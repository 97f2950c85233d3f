// Command wire builders and the reply parser: stand-in bodies until the wire-format work lands (6).
#include "tcs/sensorctl/wire_builders.h"

// Weak, so the real body wins wherever it is linked in, without a duplicate definition.
#define SCS_STAND_IN __attribute__((weak))

SCS_STAND_IN TcsResult scsSensorSendGetVersion_V4(ScsSensor*, ScsWitRequest*) { return TCS_RESULT_NOT_IMPLEMENTED; }
SCS_STAND_IN TcsResult scsSensorSendReset_V4(ScsSensor*, ScsWitRequest*) { return TCS_RESULT_NOT_IMPLEMENTED; }
SCS_STAND_IN TcsResult scsSensorSendGetStartInfo_V4(ScsSensor*, ScsWitRequest*) { return TCS_RESULT_NOT_IMPLEMENTED; }
SCS_STAND_IN TcsResult scsSensorSendPeek_V4(ScsSensor*, ScsWitRequest*) { return TCS_RESULT_NOT_IMPLEMENTED; }
SCS_STAND_IN TcsResult scsSensorSendPoke_V4(ScsSensor*, ScsWitRequest*) { return TCS_RESULT_NOT_IMPLEMENTED; }
SCS_STAND_IN TcsResult scsSensorSendGPIO_V4(ScsSensor*, ScsWitRequest*) { return TCS_RESULT_NOT_IMPLEMENTED; }
SCS_STAND_IN TcsResult scsSensorSendRefClock_V4(ScsSensor*, ScsWitRequest*) { return TCS_RESULT_NOT_IMPLEMENTED; }
SCS_STAND_IN TcsResult scsSensorSendSetCPUClock_V4(ScsSensor*, ScsWitRequest*) { return TCS_RESULT_NOT_IMPLEMENTED; }
SCS_STAND_IN TcsResult scsSensorSendSetSPIMode_V4(ScsSensor*, ScsWitRequest*) { return TCS_RESULT_NOT_IMPLEMENTED; }
SCS_STAND_IN TcsResult scsSensorSendDownloadPatch_V4(ScsSensor*, ScsWitRequest*) { return TCS_RESULT_NOT_IMPLEMENTED; }
SCS_STAND_IN TcsResult scsSensorSendInplacePatch_V4(ScsSensor*, ScsWitRequest*) { return TCS_RESULT_NOT_IMPLEMENTED; }
SCS_STAND_IN TcsResult scsSensorSendUnloadPatch_V4(ScsSensor*, ScsWitRequest*) { return TCS_RESULT_NOT_IMPLEMENTED; }
SCS_STAND_IN TcsResult scsSensorSendWOESetup_V4(ScsSensor*, ScsWitRequest*) { return TCS_RESULT_NOT_IMPLEMENTED; }
SCS_STAND_IN TcsResult scsSensorSendWOEEnter_V4(ScsSensor*, ScsWitRequest*) { return TCS_RESULT_NOT_IMPLEMENTED; }
SCS_STAND_IN TcsResult scsSensorSendGetFingerprint_V4(ScsSensor*, ScsWitRequest*) { return TCS_RESULT_NOT_IMPLEMENTED; }
SCS_STAND_IN TcsResult scsSensorSendAbortFingerprint_V4(ScsSensor*, ScsWitRequest*) { return TCS_RESULT_NOT_IMPLEMENTED; }
SCS_STAND_IN TcsResult scsSensorSendGetPrintSignature_V4(ScsSensor*, ScsWitRequest*) { return TCS_RESULT_NOT_IMPLEMENTED; }
SCS_STAND_IN TcsResult scsSensorSendGetFingerState_V4(ScsSensor*, ScsWitRequest*) { return TCS_RESULT_NOT_IMPLEMENTED; }
SCS_STAND_IN TcsResult scsSensorSendGetConfiguration_V4(ScsSensor*, ScsWitRequest*) { return TCS_RESULT_NOT_IMPLEMENTED; }
SCS_STAND_IN TcsResult scsSensorSendGetCFGTSBL_V4(ScsSensor*, ScsWitRequest*) { return TCS_RESULT_NOT_IMPLEMENTED; }
SCS_STAND_IN TcsResult scsSensorSendSPITrans_V4(ScsSensor*, ScsWitRequest*) { return TCS_RESULT_NOT_IMPLEMENTED; }
SCS_STAND_IN TcsResult scsSensorSendSPIBulkRead_V4(ScsSensor*, ScsWitRequest*) { return TCS_RESULT_NOT_IMPLEMENTED; }
SCS_STAND_IN TcsResult scsSensorSendSPIFlash_V4(ScsSensor*, ScsWitRequest*) { return TCS_RESULT_NOT_IMPLEMENTED; }
SCS_STAND_IN TcsResult scsSensorSendSetLEDState_V4(ScsSensor*, ScsWitRequest*) { return TCS_RESULT_NOT_IMPLEMENTED; }
SCS_STAND_IN TcsResult scsSensorSendSetLEDStateEx_V4(ScsSensor*, ScsWitRequest*) { return TCS_RESULT_NOT_IMPLEMENTED; }
SCS_STAND_IN TcsResult scsSensorSendSetLEDStateEx2_V4(ScsSensor*, ScsWitRequest*) { return TCS_RESULT_NOT_IMPLEMENTED; }
SCS_STAND_IN TcsResult scsSensorSendDecommission_V4(ScsSensor*, ScsWitRequest*) { return TCS_RESULT_NOT_IMPLEMENTED; }
SCS_STAND_IN TcsResult scsSensorSendTakeOwnership_V4(ScsSensor*, ScsWitRequest*) { return TCS_RESULT_NOT_IMPLEMENTED; }
SCS_STAND_IN TcsResult scsSensorSendTakeOwnershipWithKeys_V4(ScsSensor*, ScsWitRequest*) { return TCS_RESULT_NOT_IMPLEMENTED; }
SCS_STAND_IN TcsResult scsSensorSendTakeOwnershipWithKeysEx_V4(ScsSensor*, ScsWitRequest*) { return TCS_RESULT_NOT_IMPLEMENTED; }
SCS_STAND_IN TcsResult scsSensorSendResetOwnership_V4(ScsSensor*, ScsWitRequest*) { return TCS_RESULT_NOT_IMPLEMENTED; }
SCS_STAND_IN TcsResult scsSensorSendRewritePm_V4(ScsSensor*, ScsWitRequest*) { return TCS_RESULT_NOT_IMPLEMENTED; }
SCS_STAND_IN TcsResult scsSensorSendGetOwnershipInfo_V4(ScsSensor*, ScsWitRequest*) { return TCS_RESULT_NOT_IMPLEMENTED; }
SCS_STAND_IN TcsResult scsSensorSendGetCertificate_V4(ScsSensor*, ScsWitRequest*) { return TCS_RESULT_NOT_IMPLEMENTED; }
SCS_STAND_IN TcsResult scsSensorSendGetCertificateEx_V4(ScsSensor*, ScsWitRequest*) { return TCS_RESULT_NOT_IMPLEMENTED; }
SCS_STAND_IN TcsResult scsSensorSendSensorLock_V4(ScsSensor*, ScsWitRequest*) { return TCS_RESULT_NOT_IMPLEMENTED; }
SCS_STAND_IN TcsResult scsSensorSendGetUID_V4(ScsSensor*, ScsWitRequest*) { return TCS_RESULT_NOT_IMPLEMENTED; }
SCS_STAND_IN TcsResult scsSensorSendMatchVerify_V4(ScsSensor*, ScsWitRequest*) { return TCS_RESULT_NOT_IMPLEMENTED; }
SCS_STAND_IN TcsResult scsSensorSendSignEncTemplateData_V4(ScsSensor*, ScsWitRequest*) { return TCS_RESULT_NOT_IMPLEMENTED; }
SCS_STAND_IN TcsResult scsSensorSendDecVerifyTemplateData_V4(ScsSensor*, ScsWitRequest*) { return TCS_RESULT_NOT_IMPLEMENTED; }
SCS_STAND_IN TcsResult scsSensorSendGetAuthData_V4(ScsSensor*, ScsWitRequest*) { return TCS_RESULT_NOT_IMPLEMENTED; }
SCS_STAND_IN TcsResult scsSensorSendStorageInfoGet_V4(ScsSensor*, ScsWitRequest*) { return TCS_RESULT_NOT_IMPLEMENTED; }
SCS_STAND_IN TcsResult scsSensorSendStoragePartFormat_V4(ScsSensor*, ScsWitRequest*) { return TCS_RESULT_NOT_IMPLEMENTED; }
SCS_STAND_IN TcsResult scsSensorSendStoragePartRead_V4(ScsSensor*, ScsWitRequest*) { return TCS_RESULT_NOT_IMPLEMENTED; }
SCS_STAND_IN TcsResult scsSensorSendStoragePartWrite_V4(ScsSensor*, ScsWitRequest*) { return TCS_RESULT_NOT_IMPLEMENTED; }
SCS_STAND_IN TcsResult scsSensorSendStorageFWPartValidate_V4(ScsSensor*, ScsWitRequest*) { return TCS_RESULT_NOT_IMPLEMENTED; }
SCS_STAND_IN TcsResult scsSensorSendStorageFWPartInfoGet_V4(ScsSensor*, ScsWitRequest*) { return TCS_RESULT_NOT_IMPLEMENTED; }
SCS_STAND_IN TcsResult scsSensorSendDbInfoGet_V4(ScsSensor*, ScsWitRequest*) { return TCS_RESULT_NOT_IMPLEMENTED; }
SCS_STAND_IN TcsResult scsSensorSendDbObjectCreate_V4(ScsSensor*, ScsWitRequest*) { return TCS_RESULT_NOT_IMPLEMENTED; }
SCS_STAND_IN TcsResult scsSensorSendDbObjectDelete_V4(ScsSensor*, ScsWitRequest*) { return TCS_RESULT_NOT_IMPLEMENTED; }
SCS_STAND_IN TcsResult scsSensorSendDbObjectInfoGet_V4(ScsSensor*, ScsWitRequest*) { return TCS_RESULT_NOT_IMPLEMENTED; }
SCS_STAND_IN TcsResult scsSensorSendDbObjectDataGet_V4(ScsSensor*, ScsWitRequest*) { return TCS_RESULT_NOT_IMPLEMENTED; }
SCS_STAND_IN TcsResult scsSensorSendDbObjectRestore_V4(ScsSensor*, ScsWitRequest*) { return TCS_RESULT_NOT_IMPLEMENTED; }
SCS_STAND_IN TcsResult scsSensorSendDbUserInfoGet_V4(ScsSensor*, ScsWitRequest*) { return TCS_RESULT_NOT_IMPLEMENTED; }
SCS_STAND_IN TcsResult scsSensorSendDbSystemParamGet_V4(ScsSensor*, ScsWitRequest*) { return TCS_RESULT_NOT_IMPLEMENTED; }
SCS_STAND_IN TcsResult scsSensorSendDbSystemParamSet_V4(ScsSensor*, ScsWitRequest*) { return TCS_RESULT_NOT_IMPLEMENTED; }
SCS_STAND_IN TcsResult scsSensorSendDbContainerInfoGet_V4(ScsSensor*, ScsWitRequest*) { return TCS_RESULT_NOT_IMPLEMENTED; }

SCS_STAND_IN TcsResult scsSensorParseReply_V4(ScsSensorDevice*, uint8_t*, uint8_t*, uint32_t, ScsReply, void*) {
    return TCS_RESULT_NOT_IMPLEMENTED;
}
