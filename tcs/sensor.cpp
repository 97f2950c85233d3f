// Sensors: open and close on the service thread (sensor control, then image acquisition), reattach,
// and the capture of a fingerprint image delivered as an image handle.
#include "tcs/core.h"

#include "platform/memory.h"
#include "platform/text.h"
#include "tcs/handle_map.h"
#include "tcs/sensorctl/init/device_accessors.h"

#include <cstring>
#include <utility>

namespace {

constexpr uint32_t kSensorItemTimeoutMs = 5000;
constexpr uint32_t kSensorWaitMs = 5000;
constexpr uint32_t kCaptureWaitMs = 60000;
constexpr uint32_t kMaxWideIdLength = 260;
constexpr uint32_t kParamChunkSize = 18;
constexpr uint32_t kParamBufferCount = 19;
constexpr uint32_t kParamMetrics = 20;
constexpr uint32_t kParamCaptureMode = 16;
constexpr uint32_t kDefaultCaptureMode = 0xFFFFFFFF;

struct CaptureRequest {
    CompletionCallback callback;
    void* context;
};

SensorRecord* fetchSensor(TcsHandle handle) {
    void* object = nullptr;
    if (handle == 0) return nullptr;
    tcsSafeSensorHandleFetch(handle, &object);
    return static_cast<SensorRecord*>(object);
}

ClientRecord* fetchClient(TcsHandle handle) {
    void* object = nullptr;
    if (handle == 0) return nullptr;
    tcsSafeClientHandleFetch(handle, &object);
    return static_cast<ClientRecord*>(object);
}

void sensorCleanup(HandleNode* node) {
    auto* sensor = static_cast<SensorRecord*>(node->object);
    if (sensor != nullptr) {
        palRealFree(sensor->sensorId);
        palRealFree(sensor);
    }
    node->object = nullptr;
}

void registerSensorCleanup() { _tcsSafeHandleSetCleanup(TCS_HANDLE_TYPE_SENSOR, sensorCleanup); }

// A sensor handle released with tcsHandleDestroy while its record is still in its client's list is
// closed the way tcsSensorClose does, so no freed record stays linked and sensor control lets go.
uint32_t closeLinkedSensor(uint64_t handle, void* object, TcsResult* outResult) {
    auto* sensor = static_cast<SensorRecord*>(object);
    ClientRecord* client = sensor->client;
    if (client == nullptr || sensor->links.next == nullptr || sensor->links.next == &sensor->links) return 0;
    bool linked = false;
    if (palCriticalSectionAcquire(client->sensorLock) != TCS_RESULT_OK) return 0;
    for (PalListEntry* e = client->sensors.next; e != &client->sensors && !linked; e = e->next) linked = e == &sensor->links;
    palCriticalSectionRelease(client->sensorLock);
    if (!linked) return 0;
    *outResult = tcsSensorClose(handle);
    return 1;
}

// The sensor and the client that owns it must both be valid.
TcsResult validateWithClient(SensorRecord* sensor) {
    TcsResult result = tcsSensorValidate(sensor);
    if (result != TCS_RESULT_OK) return result;
    return tcsClientValidate(sensor->client);
}

// Sensor control must have finished bringing the device up: a bound handle is not enough, since a
// device that resumes from a suspend is bound while it initialises again.
bool sensorReady(SensorRecord* sensor) {
    uint32_t initialised = 0;
    return sensor->sensorControlSensor != nullptr &&
           scsIsSensorInitialized(sensor->sensorControlSensor, &initialised) == TCS_RESULT_OK && initialised != 0;
}

TcsResult ignoreCompletion(void*, TcsResult, void*) { return TCS_RESULT_OK; }

void finish(WorkItem* item, void* handle, TcsResult result) {
    tcsItemSetResult(item, result);
    CompletionCallback callback = tcsItemCallback(item);
    if (callback != nullptr) callback(handle, result, tcsItemContext(item));
    *tcsItemState(item) = TCS_ITEM_DONE;
}

void unlinkFromClient(SensorRecord* sensor) {
    ClientRecord* client = sensor->client;
    if (client == nullptr || palCriticalSectionAcquire(client->sensorLock) != TCS_RESULT_OK) return;
    for (PalListEntry* e = client->sensors.next; e != &client->sensors; e = e->next) {
        if (e == &sensor->links) {
            palListRemove(e);
            palListInit(e);
            break;
        }
    }
    palCriticalSectionRelease(client->sensorLock);
}

// Open step 6: link, register, report; a sensor that did not open is released with what it got.
void finishOpen(WorkItem* item, SensorRecord* sensor) {
    TcsResult result = tcsItemResult(item);
    if (result == TCS_RESULT_OK) {
        if (palCriticalSectionAcquire(sensor->client->sensorLock) != TCS_RESULT_OK) return;  // next visit
        palListInsertTail(&sensor->client->sensors, &sensor->links);
        palCriticalSectionRelease(sensor->client->sensorLock);
    }
    TcsHandle handle = 0;
    CompletionCallback callback = tcsItemCallback(item);
    if (callback != nullptr && result == TCS_RESULT_OK) {
        registerSensorCleanup();
        result = tcsSafeSensorHandleCreate(sensor, &handle);
        tcsItemSetResult(item, result);
    }
    if (result != TCS_RESULT_OK) {
        unlinkFromClient(sensor);
        // The lower opens that succeeded would otherwise stay open with nobody to close them.
        if (sensor->imagingSensor != nullptr) {
            idsSensorEventsRemoveCallback(sensor->imagingSensor, tcsIdsSensorEventsCB, sensor);
            idsSensorSendClose(sensor->imagingSensor, ignoreCompletion, nullptr);
        }
        if (sensor->imagingClient != nullptr) idsClientSendDestroy(sensor->imagingClient, ignoreCompletion, nullptr);
        if (sensor->sensorControlSensor != nullptr) {
            scsSensorSendClose(sensor->sensorControlSensor, ignoreCompletion, nullptr);
        }
        _tcsSensorFree(sensor);
        item->object = nullptr;
    }
    if (callback != nullptr) {
        callback(result == TCS_RESULT_OK ? reinterpret_cast<void*>(uintptr_t(handle)) : nullptr, result,
                 tcsItemContext(item));
    }
    *tcsItemState(item) = TCS_ITEM_DONE;
}

TcsResult startOpen(CompletionCallback callback, SyncWaitRecord* record, void* argument) {
    auto* open = static_cast<std::pair<TcsHandle, const char*>*>(argument);
    return tcsSensorOpenAsyncA(open->first, open->second, callback, record);
}

TcsResult startClose(CompletionCallback callback, SyncWaitRecord* record, void* sensor) {
    return _tcsSensorCloseAsync(static_cast<SensorRecord*>(sensor), callback, record);
}

TcsResult startReattach(CompletionCallback callback, SyncWaitRecord* record, void* handle) {
    return tcsSensorReattachAsync(*static_cast<TcsHandle*>(handle), callback, record);
}

TcsResult startAbort(CompletionCallback callback, SyncWaitRecord* record, void* sensor) {
    auto* s = static_cast<SensorRecord*>(sensor);
    TcsResult result = tcsSensorValidate(s);
    if (result != TCS_RESULT_OK) return result;
    return idsSensorSendAbortFingerprint(s->imagingSensor, callback, record);
}

TcsResult startCapture(CompletionCallback callback, SyncWaitRecord* record, void* sensor) {
    return tcsSensorGetFingerprintAsyncPriv(static_cast<SensorRecord*>(sensor), callback, record, nullptr);
}

struct CaptureArguments {
    SensorRecord* sensor;
    const char* path;
};

TcsResult startCaptureWithPath(CompletionCallback callback, SyncWaitRecord* record, void* argument) {
    auto* capture = static_cast<CaptureArguments*>(argument);
    return tcsSensorGetFingerprintAsyncPriv(capture->sensor, callback, record, capture->path);
}

}  // namespace

extern "C" {

TcsResult tcsSensorValidate(SensorRecord* sensor) {
    if (sensor == nullptr) return TCS_RESULT_NULL_SENSOR_HANDLE;
    if (__atomic_load_n(&sensor->closing, __ATOMIC_ACQUIRE) != 0) return TCS_RESULT_SENSOR_CLOSE_IN_PROCESS;
    return TCS_RESULT_OK;
}

TcsResult tcsSensorAlloc(SensorRecord** outSensor, const char* sensorId) {
    if (outSensor == nullptr) return TCS_RESULT_NULL_SENSOR_HANDLE;
    auto* sensor = static_cast<SensorRecord*>(palRealMalloc(sizeof(SensorRecord)));
    uint32_t length = sensorId != nullptr ? uint32_t(std::strlen(sensorId)) : 0;
    char* id = static_cast<char*>(palRealMalloc(length + 1));
    if (sensor != nullptr) std::memset(sensor, 0, sizeof(*sensor));
    if (sensor != nullptr) palCriticalSectionInitialize(&sensor->eventLock);
    if (sensor == nullptr || id == nullptr || sensor->eventLock == nullptr) {
        if (sensor != nullptr && sensor->eventLock != nullptr) palCriticalSectionFree(sensor->eventLock);
        palRealFree(sensor);
        palRealFree(id);
        return TCS_RESULT_INVALID;
    }
    if (length != 0) std::memcpy(id, sensorId, length);
    id[length] = '\0';
    sensor->sensorId = id;
    palListInit(&sensor->links);
    palListInit(&sensor->eventCallbacks);
    sensor->workItemTimeoutMs = kSensorItemTimeoutMs;
    sensor->eventMask = ~uint64_t(0);
    *outSensor = sensor;
    return TCS_RESULT_OK;
}

TcsResult _tcsSensorFree(SensorRecord* sensor) {
    if (sensor == nullptr) return TCS_RESULT_NULL_SENSOR_HANDLE;
    if (sensor->eventLock != nullptr && palCriticalSectionAcquire(sensor->eventLock) == TCS_RESULT_OK) {
        while (!palListIsEmpty(&sensor->eventCallbacks)) {
            PalListEntry* e = sensor->eventCallbacks.next;
            palListRemove(e);
            palRealFree(PAL_LIST_RECORD(e, EventCallbackNode, links));
        }
        palCriticalSectionRelease(sensor->eventLock);
    }
    if (sensor->eventLock != nullptr) palCriticalSectionFree(sensor->eventLock);
    sensor->eventLock = nullptr;
    uint64_t handle = 0;
    if (tcsSafeHandleReverseFetch(sensor, TCS_HANDLE_TYPE_SENSOR, &handle) == TCS_RESULT_OK && handle != 0) {
        registerSensorCleanup();
        return tcsSafeHandleDestroy(handle);
    }
    palRealFree(sensor->sensorId);
    palRealFree(sensor);
    return TCS_RESULT_INVALID;
}

TcsResult tcsSensorOpenAsyncA(TcsHandle clientHandle, const char* sensorId, CompletionCallback callback,
                              void* context) {
    if (sensorId == nullptr) return TCS_RESULT_BAD_PARAM;
    ClientRecord* client = fetchClient(clientHandle);
    TcsResult result = tcsClientValidate(client);
    if (result != TCS_RESULT_OK) return result;
    if (callback == nullptr) return TCS_RESULT_NULL_POINTER;
    SensorRecord* sensor = nullptr;
    result = tcsSensorAlloc(&sensor, sensorId);
    if (result != TCS_RESULT_OK) return result;
    sensor->client = client;
    result = _tcsQueueCoreItem(client->stack, TCS_ITEM_SENSOR_OPEN, sensor->workItemTimeoutMs, sensor, callback,
                               context);
    if (result != TCS_RESULT_OK) _tcsSensorFree(sensor);
    return result;
}

TcsResult tcsSensorOpenAsyncW(TcsHandle clientHandle, const uint16_t* sensorId, CompletionCallback callback,
                              void* context) {
    if (sensorId == nullptr) return TCS_RESULT_BAD_PARAM;
    char id[kMaxWideIdLength + 1] = {};
    palUnicodeToAsciiString(sensorId, id, sizeof(id));
    return tcsSensorOpenAsyncA(clientHandle, id, callback, context);
}

TcsResult tcsSensorOpenA(TcsHandle clientHandle, const char* sensorId, TcsHandle* outSensor) {
    if (sensorId == nullptr) return TCS_RESULT_NULL_POINTER;
    if (outSensor == nullptr) return TCS_RESULT_NULL_HANDLE_POINTER;
    ClientRecord* client = fetchClient(clientHandle);
    std::pair<TcsHandle, const char*> open{clientHandle, sensorId};
    return _tcsSyncCall(client != nullptr ? client->stack : nullptr, kSensorWaitMs, TCS_RESULT_INVALID, outSensor,
                        startOpen, &open);
}

TcsResult tcsSensorOpenW(TcsHandle clientHandle, const uint16_t* sensorId, TcsHandle* outSensor) {
    if (sensorId == nullptr) return TCS_RESULT_BAD_PARAM;
    char id[kMaxWideIdLength + 1] = {};
    palUnicodeToAsciiString(sensorId, id, sizeof(id));
    return tcsSensorOpenA(clientHandle, id, outSensor);
}

TcsResult tcsSensorOpenStep(void* value, TcsResult status, void* itemArgument) {
    auto* item = static_cast<WorkItem*>(itemArgument);
    auto* sensor = static_cast<SensorRecord*>(item->object);
    uint32_t& step = *tcsItemStep(item);
    if (sensor == nullptr) {
        finish(item, nullptr, TCS_RESULT_NULL_SENSOR_HANDLE);
        return TCS_RESULT_OK;
    }
    bool visit = status == TCS_RESULT_SERVICE;
    auto fail = [&](TcsResult result) {
        tcsItemSetResult(item, result);
        step = 7;
    };
    for (;;) {
        switch (step) {
            case 0: {
                step = 1;
                TcsResult sent = scsSensorSendOpenEx(sensor->client->sensorControlClient, sensor->sensorId,
                                                     tcsSensorOpenStep, item);
                if (sent != TCS_RESULT_OK) {
                    fail(sent);
                    break;
                }
                return TCS_RESULT_OK;
            }
            case 1:
                if (visit) return TCS_RESULT_OK;
                if (status != TCS_RESULT_OK) {
                    fail(status);
                    break;
                }
                sensor->sensorControlSensor = static_cast<ScsSensor*>(value);
                step = 2;
                break;
            case 2: {
                step = 3;
                TcsResult sent = idsClientSendCreate(sensor->client->stack->imaging, tcsSensorOpenStep, item);
                if (sent != TCS_RESULT_OK) {
                    fail(sent);
                    break;
                }
                return TCS_RESULT_OK;
            }
            case 3:
                if (visit) return TCS_RESULT_OK;
                if (status != TCS_RESULT_OK) {
                    fail(status);
                    break;
                }
                sensor->imagingClient = static_cast<IdsClient*>(value);
                step = 4;
                break;
            case 4: {
                step = 5;
                TcsResult sent =
                    idsSensorSendOpen(sensor->imagingClient, sensor->sensorControlSensor, tcsSensorOpenStep, item);
                if (sent != TCS_RESULT_OK) {
                    fail(sent);
                    break;
                }
                return TCS_RESULT_OK;
            }
            case 5:
                if (visit) return TCS_RESULT_OK;
                if (status != TCS_RESULT_OK) {
                    fail(status);
                    break;
                }
                sensor->imagingSensor = static_cast<IdsSensor*>(value);
                idsSensorEventsAddCallback(sensor->imagingSensor, tcsIdsSensorEventsCB, sensor);
                idsSensorSetFpBufferChunkSize(sensor->imagingSensor,
                                              int32_t(sensor->client->parameters[kParamChunkSize]));
                idsSensorSetFpBufferCount(sensor->imagingSensor, int32_t(sensor->client->parameters[kParamBufferCount]));
                tcsItemSetResult(item, TCS_RESULT_OK);
                step = 6;
                break;
            case 6:
                finishOpen(item, sensor);
                return TCS_RESULT_OK;
            default:  // 7
                if (tcsItemResult(item) == TCS_RESULT_FOUND_ONLY_FAILED_DEVICE) {
                    tcsItemSetResult(item, TCS_RESULT_SENSOR_NOT_FOUND);
                }
                step = 6;
                break;
        }
        visit = true;  // the steps that follow in this call run as a visit
    }
}

TcsResult _tcsSensorCloseAsync(SensorRecord* sensor, CompletionCallback callback, void* context) {
    TcsResult result = tcsSensorValidate(sensor);
    if (result != TCS_RESULT_OK) return result;
    __atomic_store_n(&sensor->closing, 1u, __ATOMIC_RELEASE);
    result = _tcsQueueCoreItem(sensor->client->stack, TCS_ITEM_SENSOR_CLOSE, sensor->workItemTimeoutMs, sensor,
                               callback, context);
    if (result != TCS_RESULT_OK) __atomic_store_n(&sensor->closing, 0u, __ATOMIC_RELEASE);
    return result;
}

TcsResult tcsSensorCloseAsync(TcsHandle handle, CompletionCallback callback, void* context) {
    return _tcsSensorCloseAsync(fetchSensor(handle), callback, context);
}

TcsResult tcsSensorClose(TcsHandle handle) {
    SensorRecord* sensor = fetchSensor(handle);
    TcsResult result = validateWithClient(sensor);
    if (result != TCS_RESULT_OK) return result;
    return _tcsSyncCall(sensor->client->stack, kSensorWaitMs, TCS_RESULT_OUT_OF_MEMORY, nullptr, startClose, sensor);
}

TcsResult tcsSensorCloseStep(void* value, TcsResult status, void* itemArgument) {
    (void)value;
    auto* item = static_cast<WorkItem*>(itemArgument);
    auto* sensor = static_cast<SensorRecord*>(item->object);
    uint32_t& step = *tcsItemStep(item);
    if (sensor == nullptr) {
        finish(item, nullptr, TCS_RESULT_NULL_SENSOR_HANDLE);
        return TCS_RESULT_OK;
    }
    bool visit = status == TCS_RESULT_SERVICE;
    for (;;) {
        switch (step) {
            case 0:
                step = 2;
                if (idsIsGetPrintTaskInWorkList(sensor->client->stack->imaging) == 1) {
                    step = 1;
                    if (idsSensorSendAbortFingerprint(sensor->imagingSensor, tcsSensorCloseStep, item) ==
                        TCS_RESULT_OK) {
                        return TCS_RESULT_OK;
                    }
                    step = 2;
                }
                break;
            case 1:
                if (visit) return TCS_RESULT_OK;
                step = 2;
                break;
            case 2:
                step = 3;
                idsSensorEventsRemoveCallback(sensor->imagingSensor, tcsIdsSensorEventsCB, sensor);
                if (idsSensorSendClose(sensor->imagingSensor, tcsSensorCloseStep, item) == TCS_RESULT_OK) {
                    return TCS_RESULT_OK;
                }
                step = 4;
                break;
            case 3:
                if (visit) return TCS_RESULT_OK;
                if (status == TCS_RESULT_OK) sensor->imagingSensor = nullptr;
                step = 4;
                break;
            case 4:
                step = 5;
                if (idsClientSendDestroy(sensor->imagingClient, tcsSensorCloseStep, item) == TCS_RESULT_OK) {
                    return TCS_RESULT_OK;
                }
                step = 6;
                break;
            case 5:
                if (visit) return TCS_RESULT_OK;
                if (status == TCS_RESULT_OK) sensor->imagingClient = nullptr;
                step = 6;
                break;
            case 6:
                step = 7;
                if (scsSensorSendClose(sensor->sensorControlSensor, tcsSensorCloseStep, item) == TCS_RESULT_OK) {
                    return TCS_RESULT_OK;
                }
                step = 9;
                break;
            case 7:
                if (visit) return TCS_RESULT_OK;
                if (status == TCS_RESULT_OK) {
                    sensor->sensorControlSensor = nullptr;
                    tcsItemSetResult(item, TCS_RESULT_OK);
                    step = 8;
                } else {
                    step = 9;
                }
                break;
            case 8: {
                CompletionCallback callback = tcsItemCallback(item);
                if (callback != nullptr) callback(nullptr, tcsItemResult(item), tcsItemContext(item));
                unlinkFromClient(sensor);
                _tcsSensorFree(sensor);
                item->object = nullptr;
                *tcsItemState(item) = TCS_ITEM_DONE;
                return TCS_RESULT_OK;
            }
            default:  // 9
                tcsItemSetResult(item, TCS_RESULT_SENSOR_CLOSE_FAILED);
                step = 8;
                break;
        }
        visit = true;
    }
}

void _tcsSensorRegisterOwnerDestroy(void) { _tcsSafeHandleSetOwnerDestroy(TCS_HANDLE_TYPE_SENSOR, closeLinkedSensor); }

TcsResult tcsSensorReattachAsync(TcsHandle handle, CompletionCallback callback, void* context) {
    SensorRecord* sensor = fetchSensor(handle);
    TcsResult result = validateWithClient(sensor);
    if (result != TCS_RESULT_OK) return result;
    return _tcsQueueCoreItem(sensor->client->stack, TCS_ITEM_SENSOR_REATTACH, kSensorItemTimeoutMs, sensor, callback,
                             context);
}

TcsResult tcsSensorReattach(TcsHandle handle) {
    SensorRecord* sensor = fetchSensor(handle);
    TcsResult result = validateWithClient(sensor);
    if (result != TCS_RESULT_OK) return result;
    return _tcsSyncCall(sensor->client->stack, kSensorWaitMs, TCS_RESULT_OUT_OF_MEMORY, nullptr, startReattach,
                        &handle);
}

// Core item 4: sensor control points the handle (and every other handle of the sensor) at the
// device that now answers to its id.
TcsResult tcsSensorReattachItem(WorkItem* item) {
    auto* sensor = static_cast<SensorRecord*>(item->object);
    TcsResult result = TCS_RESULT_NULL_SENSOR_HANDLE;
    if (sensor != nullptr) result = scsSensorDeviceReplace(sensor->sensorControlSensor, sensor->sensorId);
    tcsItemSetResult(item, result);
    CompletionCallback callback = tcsItemCallback(item);
    if (callback == nullptr) return result;
    uint64_t handle = 0;
    if (sensor != nullptr) tcsSafeHandleReverseFetch(sensor, TCS_HANDLE_TYPE_SENSOR, &handle);
    if (handle == 0) {
        callback(nullptr, TCS_RESULT_NULL_SENSOR_HANDLE, tcsItemContext(item));
    } else {
        callback(reinterpret_cast<void*>(uintptr_t(handle)), result, tcsItemContext(item));
    }
    return result;
}

TcsResult _tcsSensorPrepareGetFingerprintContext(SensorRecord* sensor, const char* path, GetPrintContext** outContext,
                                                 ImageRecord** outImage) {
    ClientRecord* client = sensor->client;
    if (client == nullptr) return TCS_RESULT_NULL_CLIENT_HANDLE;
    uint32_t maxSize = 0;
    TcsResult result = idsSensorGetReconstructedImageMaxSize(sensor->imagingSensor, &maxSize);
    if (result != TCS_RESULT_OK) return result;
    ImageRecord* image = nullptr;
    result = _tcsImageCreate(&image, nullptr, maxSize, 0, 0, 0);
    if (result != TCS_RESULT_OK) return result;
    if (client->parameters[kParamMetrics] == 1) {
        image->irMetrics = palRealMalloc(TCS_IR_METRICS_SIZE);
        if (image->irMetrics == nullptr) {
            _tcsImageDestroy(image);
            return TCS_RESULT_OUT_OF_MEMORY;
        }
        std::memset(image->irMetrics, 0, TCS_IR_METRICS_SIZE);
    }
    uint32_t mode = client->parameters[kParamCaptureMode];
    GetPrintContext* context = nullptr;
    result = idsSensorSetCaptureMetrics(sensor->imagingSensor, client->parameters[kParamMetrics]);
    if (result == TCS_RESULT_OK) {
        result = mode == kDefaultCaptureMode ? idsSensorSetDefaultCaptureMode(sensor->imagingSensor)
                                             : idsSensorSetCaptureMode(sensor->imagingSensor, mode);
    }
    if (result == TCS_RESULT_OK) result = idsAllocateSensorContext(&context);
    if (result == TCS_RESULT_OK) result = idsSetSensorHandleToCtx(context, sensor->imagingSensor);
    if (result == TCS_RESULT_OK) result = idsSetFilePathToCtx(context, path);
    if (result == TCS_RESULT_OK) result = idsSetParamsToCtx(context, client->parameters);
    if (result == TCS_RESULT_OK) result = idsSetCalibrationTypeToCtx(context, 1);
    if (result != TCS_RESULT_OK) {
        _tcsImageDestroy(image);
        if (context != nullptr) idsFreeSensorContext(context);
        return result;
    }
    *outContext = context;
    *outImage = image;
    return TCS_RESULT_OK;
}

TcsResult tcsSensorGetFingerprintAsyncPriv(SensorRecord* sensor, CompletionCallback callback, void* context,
                                           const char* path) {
    if (callback == nullptr) return TCS_RESULT_NULL_POINTER;
    TcsResult result = tcsSensorValidate(sensor);
    if (result != TCS_RESULT_OK) return result;
    if (!sensorReady(sensor)) return TCS_RESULT_SENSOR_INITIALIZING;
    idsSensorSetPrintConfig(sensor->imagingSensor, nullptr);
    GetPrintContext* printContext = nullptr;
    ImageRecord* image = nullptr;
    result = _tcsSensorPrepareGetFingerprintContext(sensor, path, &printContext, &image);
    if (result != TCS_RESULT_OK) return result;
    auto* request = static_cast<CaptureRequest*>(palRealMalloc(sizeof(CaptureRequest)));
    if (request == nullptr) {
        _tcsImageDestroy(image);
        idsFreeSensorContext(printContext);
        return TCS_RESULT_OUT_OF_MEMORY;
    }
    request->callback = callback;
    request->context = context;
    result = idsSensorSendGetFingerprint(printContext, image, idsGetFingerprintCB, request);
    if (result != TCS_RESULT_OK) {
        // A capture that was not queued (46 while another runs) leaves its context with the caller.
        palRealFree(request);
        _tcsImageDestroy(image);
        idsFreeSensorContext(printContext);
    }
    return result;
}

TcsResult idsGetFingerprintCB(void* imageArgument, TcsResult status, void* requestArgument) {
    auto* request = static_cast<CaptureRequest*>(requestArgument);
    if (request == nullptr) return TCS_RESULT_OK;
    uint64_t handle = 0;
    if (imageArgument != nullptr &&
        (tcsSafeHandleReverseFetch(imageArgument, TCS_HANDLE_TYPE_IMAGE, &handle) != TCS_RESULT_OK || handle == 0)) {
        _tcsImageRegisterCleanup();
        tcsSafeImageHandleCreate(imageArgument, &handle);
    }
    request->callback(reinterpret_cast<void*>(uintptr_t(handle)), status, request->context);
    palRealFree(request);
    return TCS_RESULT_OK;
}

TcsResult tcsSensorGetFingerprintAsyncA(TcsHandle handle, CompletionCallback callback, void* context,
                                        const char* debugPath) {
    return tcsSensorGetFingerprintAsyncPriv(fetchSensor(handle), callback, context, debugPath);
}

TcsResult tcsSensorGetFingerprintAsyncW(TcsHandle handle, CompletionCallback callback, void* context,
                                        const uint16_t* debugPath) {
    char path[kMaxWideIdLength + 1] = {};
    if (debugPath != nullptr) palUnicodeToAsciiString(debugPath, path, sizeof(path));
    return tcsSensorGetFingerprintAsyncPriv(fetchSensor(handle), callback, context,
                                            debugPath != nullptr ? path : nullptr);
}

TcsResult tcsSensorGetFingerprint(TcsHandle handle, TcsHandle* outImage, const char* debugPath) {
    if (outImage == nullptr) return TCS_RESULT_NULL_POINTER;
    SensorRecord* sensor = fetchSensor(handle);
    TcsResult result = validateWithClient(sensor);
    if (result != TCS_RESULT_OK) return result;
    TcsHandle image = 0;
    CaptureArguments capture{sensor, debugPath};
    result = _tcsSyncCall(sensor->client->stack, kCaptureWaitMs, TCS_RESULT_INVALID, &image,
                          debugPath != nullptr ? startCaptureWithPath : startCapture,
                          debugPath != nullptr ? static_cast<void*>(&capture) : static_cast<void*>(sensor));
    if (result == TCS_RESULT_TIMEOUT) {
        tcsSensorAbortFingerprint(handle);
        return TCS_RESULT_TIMEOUT;
    }
    if (result != TCS_RESULT_OK) return result;
    if (image == 0) return TCS_RESULT_ERROR;
    *outImage = image;
    return TCS_RESULT_OK;
}

TcsResult tcsSensorGetRawFingerprintAsync(TcsHandle handle, CompletionCallback callback, void* context) {
    if (callback == nullptr) return TCS_RESULT_NULL_POINTER;
    SensorRecord* sensor = fetchSensor(handle);
    TcsResult result = tcsSensorValidate(sensor);
    if (result != TCS_RESULT_OK) return result;
    if (!sensorReady(sensor)) return TCS_RESULT_SENSOR_INITIALIZING;
    return idsSensorSendGetRawScanLines(sensor->imagingSensor, nullptr, 0, 0, 0, callback, context, nullptr, 0);
}

TcsResult tcsSensorAbortFingerprint(TcsHandle handle) {
    SensorRecord* sensor = fetchSensor(handle);
    CoreSubsystem* stack = sensor != nullptr && sensor->client != nullptr ? sensor->client->stack : nullptr;
    return _tcsSyncCall(stack, kSensorWaitMs, TCS_RESULT_INVALID, nullptr, startAbort, sensor);
}

TcsResult tcsSensorGetReconstructedImageMaxSize(TcsHandle handle, uint32_t* outSize) {
    if (outSize == nullptr) return TCS_RESULT_NULL_POINTER;
    SensorRecord* sensor = fetchSensor(handle);
    TcsResult result = tcsSensorValidate(sensor);
    if (result != TCS_RESULT_OK) return result;
    return idsSensorGetReconstructedImageMaxSize(sensor->imagingSensor, outSize);
}

TcsResult tcsSensorSetCapturePurpose(TcsHandle handle, uint32_t purpose) {
    SensorRecord* sensor = fetchSensor(handle);
    TcsResult result = tcsSensorValidate(sensor);
    if (result != TCS_RESULT_OK) return result;
    return idsSensorSetCapturePurpose(sensor->imagingSensor, purpose);
}

TcsResult tcsSensorUpdateGetPrintContext(TcsHandle handle, TcsHandle clientHandle, const char* path) {
    SensorRecord* sensor = fetchSensor(handle);
    TcsResult result = validateWithClient(sensor);
    if (result != TCS_RESULT_OK) return result;
    ClientRecord* client = fetchClient(clientHandle);
    result = tcsClientValidate(client);
    if (result != TCS_RESULT_OK) return result;
    return idsUpdateQueuedCaptures(idsGetSubsystem(sensor->imagingSensor), sensor->sensorControlSensor, path,
                                   client->parameters);
}

}  // extern "C"
