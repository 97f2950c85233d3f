// Raw command blobs sent as they stand, the shared reply callbacks of the synchronous commands, and
// the synchronous commands the firmware has no support for.
#pragma once

#include "tcs/sensorctl/engine/scs_internal.h"

#ifdef __cplusplus
extern "C" {
#endif

// Context of the shared callbacks: the callback writes the status (and the length), then sets the event.
typedef struct ScsWaitContext {
    TcsResult status;
    PalEvent* event;
    uint32_t ownsEvent;
    uint32_t length;
} ScsWaitContext;

// Copies the bytes (length + 1) and sends them through scsSend without a work item. 17 for null data,
// callback or transaction-id pointer; 2 when the copy cannot be made.
TcsResult scsSensorSendCommandBlob(ScsSensor* sensor, const uint8_t* data, uint32_t length, uint32_t expectedReplyLength,
                                   ScsReply callback, void* context, uint32_t* outTransactionId);
TcsResult scsSensorGenericCB(ScsReplyView* reply, TcsResult status, void* context);
TcsResult scsSensorGenericBufferCallback(void* context, TcsResult status, uint8_t* data, uint32_t length, void* entry);
// Also returns 7, so the buffer is not posted again.
TcsResult scsSPIBulkReadCB(void* context, TcsResult status, uint8_t* data, uint32_t length, void* entry);

// 221 at once, nothing sent (with the four in sensor_commands.h).
TcsResult scsSensorSendVipCreateClientAuthToken(ScsSensor* sensor);
TcsResult scsSensorSendVipProvisionOtpSeed(ScsSensor* sensor);
TcsResult scsSensorSendVipCreateTotpToken(ScsSensor* sensor);
TcsResult scsSensorSendFidoCreateAuthData(ScsSensor* sensor);
TcsResult scsSensorSendFidoProvisionOtpSeed(ScsSensor* sensor);
TcsResult scsSensorSendFidoCreateHotpToken(ScsSensor* sensor);
TcsResult scsSensorStorageInfoGet(ScsSensor* sensor);
TcsResult scsSensorStoragePartFormat(ScsSensor* sensor);
TcsResult scsSensorStoragePartRead(ScsSensor* sensor);
TcsResult scsSensorStoragePartWrite(ScsSensor* sensor);
TcsResult scsSensorStorageFWPartValidate(ScsSensor* sensor);
TcsResult scsSensorStorageFWPartInfoGet(ScsSensor* sensor);
TcsResult scsSensorDbInfoGet(ScsSensor* sensor);
TcsResult scsSensorDbObjectInfoGet(ScsSensor* sensor);
TcsResult scsSensorDbObjectCreate(ScsSensor* sensor);
TcsResult scsSensorDbObjectDelete(ScsSensor* sensor);
TcsResult scsSensorDbObjectDataGet(ScsSensor* sensor);
TcsResult scsSensorDbUserInfoGet(ScsSensor* sensor);
TcsResult scsSensorDbObjectRestore(ScsSensor* sensor);
TcsResult scsSensorDbSystemParamGet(ScsSensor* sensor);
TcsResult scsSensorDbSystemParamSet(ScsSensor* sensor);
TcsResult scsSensorDbContainerInfoGet(ScsSensor* sensor);
TcsResult scsSensorGetCertificateEx(ScsSensor* sensor);
TcsResult scsSensorTakeOwnershipWithKeysEx(ScsSensor* sensor);

#ifdef __cplusplus
}
#endif
