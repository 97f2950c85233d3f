// Image acquisition entry points: start and stop succeed and do nothing, every request gives 6 until
// the image-data service takes their place.
#include "tcs/imaging/ids.h"

struct IdsSubsystem {
    uint32_t unused;
};

namespace {
IdsSubsystem gSubsystem{};
}

extern "C" {

TcsResult idsSubsystemStartup(IdsSubsystem** outSubsystem, PalEvent*, ScsSubsystem*) {
    if (outSubsystem == nullptr) return TCS_RESULT_NULL_HANDLE_POINTER;
    *outSubsystem = &gSubsystem;
    return TCS_RESULT_OK;
}

TcsResult idsSubsystemShutdown(IdsSubsystem*) { return TCS_RESULT_OK; }

// Nothing is ever queued, so the stage reports no work rather than a failure.
TcsResult idsSubsystemService(IdsSubsystem*, uint32_t, uint32_t* nextWaitMs) {
    if (nextWaitMs != nullptr) *nextWaitMs = 0;
    return TCS_RESULT_NO_WORK_ITEMS;
}

IdsSubsystem* idsGetSubsystem(IdsSensor*) { return nullptr; }
TcsResult idsIsGetPrintTaskInWorkList(IdsSubsystem*) { return 0; }

TcsResult idsClientSendCreate(IdsSubsystem*, IdsCallback, void*) { return TCS_RESULT_NOT_IMPLEMENTED; }
TcsResult idsClientSendDestroy(IdsClient*, IdsCallback, void*) { return TCS_RESULT_NOT_IMPLEMENTED; }
TcsResult idsSensorSendOpen(IdsClient*, ScsSensor*, IdsCallback, void*) { return TCS_RESULT_NOT_IMPLEMENTED; }
TcsResult idsSensorSendClose(IdsSensor*, IdsCallback, void*) { return TCS_RESULT_NOT_IMPLEMENTED; }
TcsResult idsSensorSendAbortFingerprint(IdsSensor*, IdsCallback, void*) { return TCS_RESULT_NOT_IMPLEMENTED; }
TcsResult idsSensorSendGetFingerprint(GetPrintContext*, ImageRecord*, IdsCallback, void*) {
    return TCS_RESULT_NOT_IMPLEMENTED;
}
TcsResult idsSensorSendGetRawScanLines(IdsSensor*, void*, uint32_t, uint32_t, uint32_t, IdsCallback, void*,
                                       PrintConfiguration*, uint32_t) {
    return TCS_RESULT_NOT_IMPLEMENTED;
}

TcsResult idsSensorGetReconstructedImageMaxSize(IdsSensor*, uint32_t*) { return TCS_RESULT_NOT_IMPLEMENTED; }
TcsResult idsSensorSetFpBufferChunkSize(IdsSensor*, int32_t) { return TCS_RESULT_NOT_IMPLEMENTED; }
TcsResult idsSensorSetFpBufferCount(IdsSensor*, int32_t) { return TCS_RESULT_NOT_IMPLEMENTED; }
TcsResult idsSensorSetCaptureMode(IdsSensor*, uint32_t) { return TCS_RESULT_NOT_IMPLEMENTED; }
TcsResult idsSensorSetDefaultCaptureMode(IdsSensor*) { return TCS_RESULT_NOT_IMPLEMENTED; }
TcsResult idsSensorSetCaptureMetrics(IdsSensor*, uint32_t) { return TCS_RESULT_NOT_IMPLEMENTED; }
TcsResult idsSensorSetCapturePurpose(IdsSensor*, uint32_t) { return TCS_RESULT_NOT_IMPLEMENTED; }
TcsResult idsSensorSetPrintConfig(IdsSensor*, PrintConfiguration*) { return TCS_RESULT_NOT_IMPLEMENTED; }

TcsResult idsAllocateSensorContext(GetPrintContext**) { return TCS_RESULT_NOT_IMPLEMENTED; }
TcsResult idsSetSensorHandleToCtx(GetPrintContext*, IdsSensor*) { return TCS_RESULT_NOT_IMPLEMENTED; }
TcsResult idsSetFilePathToCtx(GetPrintContext*, const char*) { return TCS_RESULT_NOT_IMPLEMENTED; }
TcsResult idsSetParamsToCtx(GetPrintContext*, const uint32_t*) { return TCS_RESULT_NOT_IMPLEMENTED; }
TcsResult idsSetCalibrationTypeToCtx(GetPrintContext*, int32_t) { return TCS_RESULT_NOT_IMPLEMENTED; }

TcsResult idsSensorEventsAddCallback(IdsSensor*, IdsEventCallback, void*) { return TCS_RESULT_NOT_IMPLEMENTED; }
TcsResult idsSensorEventsRemoveCallback(IdsSensor*, IdsEventCallback, void*) { return TCS_RESULT_NOT_IMPLEMENTED; }
uint32_t idsEventGetId(const IdsEvent*) { return 0; }
uint32_t idsEventGetStatus(const IdsEvent*) { return 0; }
uint64_t idsEventGetData(const IdsEvent*) { return 0; }
uint32_t idsEventGetDataSize(const IdsEvent*) { return 0; }

}  // extern "C"
