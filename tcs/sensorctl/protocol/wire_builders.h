// Command wire builders: one per sensor command, formatting its request and handing it to scsSend;
// and the reply parser that maps the firmware status of a reply to a result.
#pragma once

#include "tcs/sensorctl/engine/scs_internal.h"

#ifdef __cplusplus
extern "C" {
#endif

TcsResult scsSensorSendGetVersion_V4(ScsSensor* sensor, ScsWitRequest* request);
// The 56-byte wake-on-event set-up chosen by the sensor's calibration (palRealMalloc'd, the caller
// frees it); 7 when a pointer is missing. The Ex form also reports whether the calibrated values
// were held back.
TcsResult scsSensorHarlokCalGetWoeSetup(ScsSensor* sensor, uint8_t** outSetup, uint32_t* outLength, uint32_t selector);
TcsResult scsSensorHarlokCalGetWoeSetupEx(ScsSensor* sensor, uint8_t** outSetup, uint32_t* outLength,
                                          uint32_t selector, uint32_t* outAdjusted);
TcsResult scsSensorSendReset_V4(ScsSensor* sensor, ScsWitRequest* request);
TcsResult scsSensorSendGetStartInfo_V4(ScsSensor* sensor, ScsWitRequest* request);
TcsResult scsSensorSendPeek_V4(ScsSensor* sensor, ScsWitRequest* request);
TcsResult scsSensorSendPoke_V4(ScsSensor* sensor, ScsWitRequest* request);
TcsResult scsSensorSendGPIO_V4(ScsSensor* sensor, ScsWitRequest* request);
TcsResult scsSensorSendRefClock_V4(ScsSensor* sensor, ScsWitRequest* request);
TcsResult scsSensorSendSetCPUClock_V4(ScsSensor* sensor, ScsWitRequest* request);
TcsResult scsSensorSendSetSPIMode_V4(ScsSensor* sensor, ScsWitRequest* request);
TcsResult scsSensorSendDownloadPatch_V4(ScsSensor* sensor, ScsWitRequest* request);
TcsResult scsSensorSendInplacePatch_V4(ScsSensor* sensor, ScsWitRequest* request);
TcsResult scsSensorSendUnloadPatch_V4(ScsSensor* sensor, ScsWitRequest* request);
TcsResult scsSensorSendWOESetup_V4(ScsSensor* sensor, ScsWitRequest* request);
TcsResult scsSensorSendWOEEnter_V4(ScsSensor* sensor, ScsWitRequest* request);
TcsResult scsSensorSendGetFingerprint_V4(ScsSensor* sensor, ScsWitRequest* request);
TcsResult scsSensorSendAbortFingerprint_V4(ScsSensor* sensor, ScsWitRequest* request);
TcsResult scsSensorSendGetPrintSignature_V4(ScsSensor* sensor, ScsWitRequest* request);
TcsResult scsSensorSendGetFingerState_V4(ScsSensor* sensor, ScsWitRequest* request);
TcsResult scsSensorSendGetConfiguration_V4(ScsSensor* sensor, ScsWitRequest* request);
TcsResult scsSensorSendGetCFGTSBL_V4(ScsSensor* sensor, ScsWitRequest* request);
TcsResult scsSensorSendSPITrans_V4(ScsSensor* sensor, ScsWitRequest* request);
TcsResult scsSensorSendSPIBulkRead_V4(ScsSensor* sensor, ScsWitRequest* request);
TcsResult scsSensorSendSPIFlash_V4(ScsSensor* sensor, ScsWitRequest* request);
TcsResult scsSensorSendSetLEDState_V4(ScsSensor* sensor, ScsWitRequest* request);
TcsResult scsSensorSendSetLEDStateEx_V4(ScsSensor* sensor, ScsWitRequest* request);
TcsResult scsSensorSendSetLEDStateEx2_V4(ScsSensor* sensor, ScsWitRequest* request);
TcsResult scsSensorSendDecommission_V4(ScsSensor* sensor, ScsWitRequest* request);
TcsResult scsSensorSendTakeOwnership_V4(ScsSensor* sensor, ScsWitRequest* request);
TcsResult scsSensorSendTakeOwnershipWithKeys_V4(ScsSensor* sensor, ScsWitRequest* request);
TcsResult scsSensorSendTakeOwnershipWithKeysEx_V4(ScsSensor* sensor, ScsWitRequest* request);
TcsResult scsSensorSendResetOwnership_V4(ScsSensor* sensor, ScsWitRequest* request);
TcsResult scsSensorSendRewritePm_V4(ScsSensor* sensor, ScsWitRequest* request);
TcsResult scsSensorSendGetOwnershipInfo_V4(ScsSensor* sensor, ScsWitRequest* request);
TcsResult scsSensorSendGetCertificate_V4(ScsSensor* sensor, ScsWitRequest* request);
TcsResult scsSensorSendGetCertificateEx_V4(ScsSensor* sensor, ScsWitRequest* request);
TcsResult scsSensorSendSensorLock_V4(ScsSensor* sensor, ScsWitRequest* request);
TcsResult scsSensorSendGetUID_V4(ScsSensor* sensor, ScsWitRequest* request);
TcsResult scsSensorSendMatchVerify_V4(ScsSensor* sensor, ScsWitRequest* request);
TcsResult scsSensorSendSignEncTemplateData_V4(ScsSensor* sensor, ScsWitRequest* request);
TcsResult scsSensorSendDecVerifyTemplateData_V4(ScsSensor* sensor, ScsWitRequest* request);
TcsResult scsSensorSendGetAuthData_V4(ScsSensor* sensor, ScsWitRequest* request);
TcsResult scsSensorSendStorageInfoGet_V4(ScsSensor* sensor, ScsWitRequest* request);
TcsResult scsSensorSendStoragePartFormat_V4(ScsSensor* sensor, ScsWitRequest* request);
TcsResult scsSensorSendStoragePartRead_V4(ScsSensor* sensor, ScsWitRequest* request);
TcsResult scsSensorSendStoragePartWrite_V4(ScsSensor* sensor, ScsWitRequest* request);
TcsResult scsSensorSendStorageFWPartValidate_V4(ScsSensor* sensor, ScsWitRequest* request);
TcsResult scsSensorSendStorageFWPartInfoGet_V4(ScsSensor* sensor, ScsWitRequest* request);
TcsResult scsSensorSendDbInfoGet_V4(ScsSensor* sensor, ScsWitRequest* request);
TcsResult scsSensorSendDbObjectCreate_V4(ScsSensor* sensor, ScsWitRequest* request);
TcsResult scsSensorSendDbObjectDelete_V4(ScsSensor* sensor, ScsWitRequest* request);
TcsResult scsSensorSendDbObjectInfoGet_V4(ScsSensor* sensor, ScsWitRequest* request);
TcsResult scsSensorSendDbObjectDataGet_V4(ScsSensor* sensor, ScsWitRequest* request);
TcsResult scsSensorSendDbObjectRestore_V4(ScsSensor* sensor, ScsWitRequest* request);
TcsResult scsSensorSendDbUserInfoGet_V4(ScsSensor* sensor, ScsWitRequest* request);
TcsResult scsSensorSendDbSystemParamGet_V4(ScsSensor* sensor, ScsWitRequest* request);
TcsResult scsSensorSendDbSystemParamSet_V4(ScsSensor* sensor, ScsWitRequest* request);
TcsResult scsSensorSendDbContainerInfoGet_V4(ScsSensor* sensor, ScsWitRequest* request);

TcsResult scsSensorParseReply_V4(ScsSensorDevice* device, uint8_t* request, uint8_t* reply, uint32_t length,
                                 ScsReply callback, void* context);

#ifdef __cplusplus
}
#endif
