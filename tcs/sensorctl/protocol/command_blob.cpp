// Raw command blobs sent as they stand, the shared reply callbacks, and the synchronous commands the
// firmware has no support for.
#include "tcs/sensorctl/protocol/command_blob.h"

#include <cstring>

namespace {

TcsResult wake(void* context, TcsResult status, const uint32_t* length) {
    auto* wait = static_cast<ScsWaitContext*>(context);
    if (wait == nullptr) return TCS_RESULT_BAD_PARAM;
    wait->status = status;
    if (length != nullptr) wait->length = *length;
    if (wait->event != nullptr) palEventSet(wait->event);
    return TCS_RESULT_OK;
}

}  // namespace

extern "C" {

TcsResult scsSensorSendCommandBlob(ScsSensor* sensor, const uint8_t* data, uint32_t length, uint32_t expectedReplyLength,
                                   ScsReply callback, void* context, uint32_t* outTransactionId) {
    const TcsResult valid = scsSensorValidate(sensor);
    if (valid != TCS_RESULT_OK) return valid;
    if (data == nullptr || callback == nullptr || outTransactionId == nullptr) return TCS_RESULT_BAD_PARAM;
    auto* copy = static_cast<uint8_t*>(palRealMalloc(length + 1));
    if (copy == nullptr) return TCS_RESULT_OUT_OF_MEMORY;
    std::memcpy(copy, data, length);
    // scsSend owns the copy from here on, whatever it returns.
    return scsSend(sensor->device, copy, length, expectedReplyLength, callback, context, outTransactionId, 0, 0);
}

TcsResult scsSensorGenericCB(ScsReplyView*, TcsResult status, void* context) { return wake(context, status, nullptr); }

TcsResult scsSensorGenericBufferCallback(void* context, TcsResult status, uint8_t*, uint32_t length, void*) {
    return wake(context, status, &length);
}

TcsResult scsSPIBulkReadCB(void* context, TcsResult status, uint8_t*, uint32_t length, void*) {
    const TcsResult woken = wake(context, status, &length);
    return woken != TCS_RESULT_OK ? woken : TCS_RESULT_INVALID;
}

#define SCS_REFUSED(name) \
    TcsResult name(ScsSensor*) { return TCS_RESULT_NOT_SUPPORTED; }
SCS_REFUSED(scsSensorSendVipCreateClientAuthToken)
SCS_REFUSED(scsSensorSendVipProvisionOtpSeed)
SCS_REFUSED(scsSensorSendVipCreateTotpToken)
SCS_REFUSED(scsSensorSendFidoCreateAuthData)
SCS_REFUSED(scsSensorSendFidoProvisionOtpSeed)
SCS_REFUSED(scsSensorSendFidoCreateHotpToken)
SCS_REFUSED(scsSensorStorageInfoGet)
SCS_REFUSED(scsSensorStoragePartFormat)
SCS_REFUSED(scsSensorStoragePartRead)
SCS_REFUSED(scsSensorStoragePartWrite)
SCS_REFUSED(scsSensorStorageFWPartValidate)
SCS_REFUSED(scsSensorStorageFWPartInfoGet)
SCS_REFUSED(scsSensorDbInfoGet)
SCS_REFUSED(scsSensorDbObjectInfoGet)
SCS_REFUSED(scsSensorDbObjectCreate)
SCS_REFUSED(scsSensorDbObjectDelete)
SCS_REFUSED(scsSensorDbObjectDataGet)
SCS_REFUSED(scsSensorDbUserInfoGet)
SCS_REFUSED(scsSensorDbObjectRestore)
SCS_REFUSED(scsSensorDbSystemParamGet)
SCS_REFUSED(scsSensorDbSystemParamSet)
SCS_REFUSED(scsSensorDbContainerInfoGet)
SCS_REFUSED(scsSensorGetCertificateEx)
SCS_REFUSED(scsSensorTakeOwnershipWithKeysEx)
#undef SCS_REFUSED

}  // extern "C"
