// Sensor handles: open and close, command routing, per-device accessors, host-side fingerprint
// buffering, the match-data cache and the last identification context.
#include "platform/crypto/crypto.h"
#include "tcs/flashfs/xtfs.h"
#include "tcs/sensorctl/protocol/properties.h"
#include "tcs/sensorctl/protocol/protocol_state.h"
#include "tcs/sensorctl/engine/scs_internal.h"
#include "tcs/sensorctl/init/led.h"
#include "tcs/sensorctl/secure/security.h"
#include "tcs/sensorctl/engine/sync_wait.h"

#include <string.h>

namespace {

constexpr uint32_t kSyncWaitMs = 15000;
constexpr uint32_t kFpBufferCapacity = 1920000;
constexpr uint32_t kFpLineLength = 288;
constexpr uint32_t kLastLineMagic = 0x45465042;
constexpr uint32_t kImagePartitionProbe = 128;
constexpr uint32_t kCipherAesCbc = 5;

// Copied whole whenever a command crosses to the service thread.
static_assert(sizeof(ScsWitRequest) == 192, "the request record is 192 bytes");

struct SendCommandRecord {
    ScsSensor* sensor;
    ScsWitRequest request;
};

// One device reference for the length of an accessor.
class DeviceRef {
public:
    explicit DeviceRef(ScsSensor* sensor) : result_(scsSensorDeviceAcquire(sensor, &device_)) {}
    ~DeviceRef() {
        if (result_ == TCS_RESULT_OK) scsSensorDeviceRelease(device_);
    }
    DeviceRef(const DeviceRef&) = delete;
    DeviceRef& operator=(const DeviceRef&) = delete;
    TcsResult result() const { return result_; }
    ScsSensorDevice* operator->() const { return device_; }
    ScsSensorDevice* get() const { return device_; }

private:
    ScsSensorDevice* device_ = nullptr;
    TcsResult result_;
};

template <typename Body>
TcsResult withDevice(ScsSensor* sensor, Body body) {
    DeviceRef device(sensor);
    if (device.result() != TCS_RESULT_OK) return device.result();
    return body(device.get());
}

TcsResult scsSensorOpenCB(void* object, TcsResult status, void* context) {
    return scs::syncWaitComplete(object, status, context);
}

TcsResult scsSensorCloseCB(void* object, TcsResult status, void* context) {
    return scs::syncWaitComplete(object, status, context);
}

TcsResult replaceCopy(uint8_t*& slot, uint32_t& slotLength, const void* data, uint32_t length) {
    uint8_t* copy = nullptr;
    if (length != 0) {
        copy = static_cast<uint8_t*>(palRealMalloc(length));
        if (copy == nullptr) return TCS_RESULT_OUT_OF_MEMORY;
        memcpy(copy, data, length);
    }
    palRealFree(slot);
    slot = copy;
    slotLength = length;
    return TCS_RESULT_OK;
}

}  // namespace

// --- Handle life -------------------------------------------------------------------------------------------

TcsResult scsSensorValidate(ScsSensor* sensor) {
    if (sensor == nullptr) return TCS_RESULT_NULL_SENSOR_HANDLE;
    // The service thread unbinds a removed device from its handles while callers validate them.
    return __atomic_load_n(&sensor->device, __ATOMIC_ACQUIRE) == nullptr ? TCS_RESULT_SENSOR_NOT_COMPLETELY_OPEN
                                                                          : TCS_RESULT_OK;
}

TcsResult scsSensorAlloc(ScsSensor** outSensor, const char* sensorId) {
    if (outSensor == nullptr) return TCS_RESULT_BAD_PARAM;
    *outSensor = nullptr;
    auto* sensor = static_cast<ScsSensor*>(palRealMalloc(sizeof(ScsSensor)));
    if (sensor == nullptr) return TCS_RESULT_INVALID;
    memset(sensor, 0, sizeof *sensor);
    palListInit(&sensor->links);
    palListInit(&sensor->callbacks);
    sensor->callbacksLock = palMutexAlloc(nullptr, 0);
    if (sensorId != nullptr) {
        const uint32_t size = palStrlen(sensorId) + 1;
        sensor->sensorId = static_cast<char*>(palRealMalloc(size));
        if (sensor->sensorId != nullptr) memcpy(sensor->sensorId, sensorId, size);
    }
    if (sensor->callbacksLock == nullptr || (sensorId != nullptr && sensor->sensorId == nullptr)) {
        scsSensorFree(sensor);
        return TCS_RESULT_INVALID;
    }
    *outSensor = sensor;
    return TCS_RESULT_OK;
}

TcsResult scsSensorFree(ScsSensor* sensor) {
    if (sensor == nullptr) return TCS_RESULT_OK;
    // Its LED state goes with it: a handle freed without a close (its client's destroy cut short at
    // shut-down) left the state behind.
    scsSensorFreeLEDConfig(sensor);
    while (!palListIsEmpty(&sensor->callbacks)) {
        PalListEntry* node = sensor->callbacks.next;
        palListRemove(node);
        palRealFree(PAL_LIST_RECORD(node, ScsListener, links));
    }
    if (sensor->callbacksLock != nullptr) palMutexFree(sensor->callbacksLock);
    palRealFree(sensor->sensorId);
    palRealFree(sensor);
    return TCS_RESULT_OK;
}

void scsSensorUnlinkFromClient(ScsSensor* sensor) {
    if (sensor == nullptr || !sensor->linked || sensor->client == nullptr) return;
    scsLock(sensor->client->sensorsLock);
    palListRemove(&sensor->links);
    palListInit(&sensor->links);
    sensor->linked = 0;
    scsUnlock(sensor->client->sensorsLock);
}

TcsResult scsSensorSendOpenPriv(ScsClient* client, const char* sensorId, ScsCallback callback, void* context,
                                uint32_t itemId) {
    if (client == nullptr) return TCS_RESULT_NULL_CLIENT_HANDLE;
    if (callback == nullptr || sensorId == nullptr) return TCS_RESULT_BAD_PARAM;
    ScsSensor* sensor = nullptr;
    TcsResult result = scsSensorAlloc(&sensor, sensorId);
    if (result != TCS_RESULT_OK) return result;
    sensor->client = client;
    result = palWorkItemEnqueue(&client->subsystem->workList, itemId, SCS_WIT_TIMEOUT_MS, sensor,
                                reinterpret_cast<uintptr_t>(callback), reinterpret_cast<uintptr_t>(context), 1,
                                nullptr);
    if (result != TCS_RESULT_OK) scsSensorFree(sensor);
    return result;
}

TcsResult scsSensorSendOpen(ScsClient* client, const char* sensorId, ScsCallback callback, void* context) {
    return scsSensorSendOpenPriv(client, sensorId, callback, context, scsWitIdSensorOpen);
}

TcsResult scsSensorSendOpenEx(ScsClient* client, const char* sensorId, ScsCallback callback, void* context) {
    return scsSensorSendOpenPriv(client, sensorId, callback, context, scsWitIdSensorOpenEx);
}

TcsResult scsSensorOpen(ScsClient* client, const char* sensorId, ScsSensor** outSensor) {
    scs::SyncWait* wait = scs::syncWaitCreate();
    if (wait == nullptr) return TCS_RESULT_EVENT_CREATION_FAILED;
    TcsResult result = TCS_RESULT_OK;
    if (client == nullptr) result = TCS_RESULT_NULL_CLIENT_HANDLE;
    else if (outSensor == nullptr) result = TCS_RESULT_NULL_HANDLE_POINTER;
    else result = scsSensorSendOpen(client, sensorId, scsSensorOpenCB, wait);
    if (result != TCS_RESULT_OK) {
        scs::syncWaitRelease(wait);
        scs::syncWaitRelease(wait);
        return result;
    }
    result = scsSubsystemWaitForResponse(client->subsystem, wait->event, kSyncWaitMs);
    if (result == TCS_RESULT_OK) {
        result = wait->status;
        if (result == TCS_RESULT_OK) *outSensor = static_cast<ScsSensor*>(wait->object);
    }
    scs::syncWaitRelease(wait);
    return result;
}

TcsResult scsSensorSendClose(ScsSensor* sensor, ScsCallback callback, void* context) {
    const TcsResult valid = scsSensorValidate(sensor);
    // A handle that never completed its open may still be closed.
    if (valid != TCS_RESULT_OK && valid != TCS_RESULT_SENSOR_NOT_COMPLETELY_OPEN) return valid;
    if (sensor->client == nullptr) return TCS_RESULT_NULL_CLIENT_HANDLE;
    return palWorkItemEnqueue(&sensor->client->subsystem->workList, scsWitIdSensorClose, SCS_WIT_TIMEOUT_MS, sensor,
                              reinterpret_cast<uintptr_t>(callback), reinterpret_cast<uintptr_t>(context), 1, nullptr);
}

TcsResult scsSensorClose(ScsSensor* sensor) {
    if (sensor == nullptr) return TCS_RESULT_NULL_SENSOR_HANDLE;
    scs::SyncWait* wait = scs::syncWaitCreate();
    if (wait == nullptr) return TCS_RESULT_EVENT_CREATION_FAILED;
    ScsSubsystem* subsystem = sensor->client != nullptr ? sensor->client->subsystem : nullptr;
    TcsResult result = scsSensorSendClose(sensor, scsSensorCloseCB, wait);
    if (result != TCS_RESULT_OK) {
        scs::syncWaitRelease(wait);
        scs::syncWaitRelease(wait);
        return result;
    }
    result = scsSubsystemWaitForResponse(subsystem, wait->event, kSyncWaitMs);
    if (result == TCS_RESULT_OK) result = wait->status;
    scs::syncWaitRelease(wait);
    return result;
}

TcsResult scsSensorSendGetSecurityInfo(ScsSensor* sensor, ScsCallback callback, void* context) {
    if (context == nullptr) return TCS_RESULT_BAD_PARAM;
    if (sensor == nullptr) return TCS_RESULT_NULL_SENSOR_HANDLE;
    if (sensor->client == nullptr) return TCS_RESULT_NULL_CLIENT_HANDLE;
    return palWorkItemEnqueue(&sensor->client->subsystem->workList, scsWitIdSensorGetSecurityInfo, SCS_WIT_TIMEOUT_MS,
                              sensor, reinterpret_cast<uintptr_t>(callback), reinterpret_cast<uintptr_t>(context), 1,
                              nullptr);
}

// --- Command routing ---------------------------------------------------------------------------------------

TcsResult scsSensorSendCommand(ScsSensor* sensor, ScsWitRequest* request) {
    const TcsResult valid = scsSensorValidate(sensor);
    if (valid != TCS_RESULT_OK) return valid;
    if (request == nullptr) return TCS_RESULT_BAD_PARAM;
    if (request->witId > scsWITSensor_CMD_DB_USER_CONTAINER_INFO_GET) return TCS_RESULT_BAD_PARAM;
    ScsSubsystem* subsystem = sensor->device->subsystem;
    if ((subsystem->startFlags & SCS_START_NO_SERVICE_THREAD) == 0 && !scsIsServiceThread(subsystem)) {
        auto* record = static_cast<SendCommandRecord*>(palRealMalloc(sizeof(SendCommandRecord)));
        if (record == nullptr) return TCS_RESULT_OUT_OF_MEMORY;
        record->sensor = sensor;
        record->request = *request;
        uint32_t sequence = 0;
        const TcsResult result = palWorkItemEnqueue(
            &subsystem->workList, request->witId, SCS_WIT_TIMEOUT_MS, record,
            reinterpret_cast<uintptr_t>(request->replyCallback), reinterpret_cast<uintptr_t>(request->context), 1,
            &sequence);
        if (result != TCS_RESULT_OK) palRealFree(record);
        // The caller gets the item's number back in the reserved word, to cancel it if it gives up.
        if (result == TCS_RESULT_OK) request->reserved = sequence;
        return result;
    }
    ScsWireBuilder builder = gScsWitList[request->witId].builder;
    if (builder == nullptr) return TCS_RESULT_NOT_SUPPORTED;
    return withDevice(sensor, [&](ScsSensorDevice*) -> TcsResult { return builder(sensor, request); });
}

// --- Comparisons and fixed answers -------------------------------------------------------------------------

TcsResult scsSensorsAreEqual(ScsSensor* a, ScsSensor* b) {
    return a != nullptr && b != nullptr && a->device == b->device ? 1 : 0;
}

TcsResult scsHasSameDevice(ScsSensor* a, ScsSensor* b) {
    return a != nullptr && b != nullptr && a->device != nullptr && a->device == b->device ? 1 : 0;
}

TcsResult scsSensorGetSensorId(ScsSensor* sensor, char* buffer, uint32_t size) {
    return withDevice(sensor, [&](ScsSensorDevice* device) { return scsSensorDeviceGetSensorId(device, buffer, size); });
}

TcsResult scsSensorIsSelkinSPI(ScsSensor*) { return 0; }
TcsResult scsSensorIsDunmo(ScsSensor*) { return 0; }
TcsResult scsSensorIsPavlek(ScsSensor*) { return 0; }
TcsResult scsSensorIsBrellow(ScsSensor*) { return 0; }
TcsResult scsSensorGetProductFamilyByProductType(ScsSensor*) { return 0; }
TcsResult scsSensorFlushEP3(ScsSensor*) { return 0; }
TcsResult scsSensorSimulatePnpAction(ScsSensor*, uint32_t) { return TCS_RESULT_NOT_IMPLEMENTED; }
void scsDbgPrintSensor(ScsSensor*) {}

// --- Listeners -------------------------------------------------------------------------------------------------

TcsResult scsSensorAddEventCallback(ScsSubsystem* subsystem, ScsSensorLostCallback callback, void* context) {
    if (subsystem == nullptr) return TCS_RESULT_INVALID_HANDLE;
    if (callback == nullptr) return TCS_RESULT_BAD_PARAM;
    auto* node = static_cast<ScsListener*>(palRealMalloc(sizeof(ScsListener)));
    if (node == nullptr) return TCS_RESULT_INVALID;
    node->context = context;
    node->callback = reinterpret_cast<void*>(callback);
    palListInsertTail(&subsystem->sensorLostCallbacks, &node->links);
    return TCS_RESULT_OK;
}

TcsResult scsSensorEventsAddCallback(ScsSensor* sensor, ScsSensorEventCallback callback, void* context) {
    const TcsResult valid = scsSensorValidate(sensor);
    if (valid != TCS_RESULT_OK) return valid;
    if (callback == nullptr) return TCS_RESULT_BAD_PARAM;
    auto* node = static_cast<ScsListener*>(palRealMalloc(sizeof(ScsListener)));
    if (node == nullptr) return TCS_RESULT_OUT_OF_MEMORY;
    node->context = context;
    node->callback = reinterpret_cast<void*>(callback);
    scsLock(sensor->callbacksLock);
    palListInsertTail(&sensor->callbacks, &node->links);
    scsUnlock(sensor->callbacksLock);
    return TCS_RESULT_OK;
}

TcsResult scsSensorEventsRemoveCallback(ScsSensor* sensor, ScsSensorEventCallback callback, void* context) {
    const TcsResult valid = scsSensorValidate(sensor);
    if (valid != TCS_RESULT_OK) return valid;
    if (callback == nullptr) return TCS_RESULT_BAD_PARAM;
    scsLock(sensor->callbacksLock);
    for (PalListEntry* n = sensor->callbacks.next; n != &sensor->callbacks;) {
        PalListEntry* next = n->next;
        ScsListener* node = PAL_LIST_RECORD(n, ScsListener, links);
        if (node->callback == reinterpret_cast<void*>(callback) && node->context == context) {
            palListRemove(n);
            palRealFree(node);
        }
        n = next;
    }
    scsUnlock(sensor->callbacksLock);
    return TCS_RESULT_OK;
}

// --- Accessors ---------------------------------------------------------------------------------------------

TcsResult scsSensorSetBaselineVariance(ScsSensor* sensor, uint32_t variance) {
    return withDevice(sensor, [&](ScsSensorDevice* d) -> TcsResult { d->baselineVariance = variance; return TCS_RESULT_OK; });
}

TcsResult scsSensorGetBaselineVariance(ScsSensor* sensor, uint32_t* outVariance) {
    return withDevice(sensor, [&](ScsSensorDevice* d) -> TcsResult {
        if (outVariance == nullptr) return TCS_RESULT_BAD_PARAM;
        *outVariance = d->baselineVariance;
        return TCS_RESULT_OK;
    });
}

TcsResult scsSensorGetProductFamily(ScsSensor* sensor, uint32_t* outFamily) {
    return withDevice(sensor, [&](ScsSensorDevice* d) -> TcsResult {
        if (outFamily == nullptr) return TCS_RESULT_BAD_PARAM;
        *outFamily = d->productFamily;
        return TCS_RESULT_OK;
    });
}

TcsResult scsSensorIsHarlok(ScsSensor* sensor) {
    return withDevice(sensor, [&](ScsSensorDevice* d) -> TcsResult {
        return d->productFamily == SCS_FAMILY_1 || d->productFamily == SCS_FAMILY_2 ? 1 : 0;
    });
}

TcsResult scsSensorFpBufferingSetCurrentLineLen(ScsSensor* sensor, uint32_t lineLength) {
    return withDevice(sensor, [&](ScsSensorDevice* d) -> TcsResult { d->fpLineLength = lineLength; return TCS_RESULT_OK; });
}

TcsResult scsSensorFpBufferingDisable(ScsSensor* sensor) {
    return withDevice(sensor, [&](ScsSensorDevice* d) -> TcsResult { d->fpEnabled = 0; return TCS_RESULT_OK; });
}

TcsResult scsSensorFpBufferingIsEnabled(ScsSensor* sensor) {
    return withDevice(sensor, [&](ScsSensorDevice* d) -> TcsResult { return d->fpEnabled ? 1 : 0; });
}

TcsResult scsSensorFpBufferingIsFeatureSupported(ScsSensor* sensor) {
    return withDevice(sensor, [&](ScsSensorDevice* d) -> TcsResult {
        return d->fwVersion != nullptr && d->fwVersion->major == 4 && d->fwVersion->minor == 60 ? 1 : 0;
    });
}

TcsResult scsSensorGetCachedMatchDataAndTemplate(ScsSensor* sensor, uint32_t* outTemplateLength, void** outTemplate,
                                                 void** outMatchData, uint32_t* outMatchLength) {
    return withDevice(sensor, [&](ScsSensorDevice* d) -> TcsResult {
        if (outTemplateLength != nullptr) *outTemplateLength = d->cachedTemplateLength;
        if (outTemplate != nullptr) *outTemplate = d->cachedTemplate;
        if (outMatchData != nullptr) *outMatchData = d->cachedMatchData;
        if (outMatchLength != nullptr) *outMatchLength = d->cachedMatchLength;
        return TCS_RESULT_OK;
    });
}

TcsResult scsSensorCacheMatchDataAndTemplate(ScsSensor* sensor, const ScsReplyView* templ, const void* matchData,
                                             uint32_t matchLength) {
    return withDevice(sensor, [&](ScsSensorDevice* d) -> TcsResult {
        TcsResult result = TCS_RESULT_OK;
        if (templ != nullptr) result = replaceCopy(d->cachedTemplate, d->cachedTemplateLength, templ->data, templ->length);
        if (result == TCS_RESULT_OK && matchData != nullptr) {
            result = replaceCopy(d->cachedMatchData, d->cachedMatchLength, matchData, matchLength);
        }
        return result;
    });
}

TcsResult scsSensorIsPatchSignatureCacheEnabled(ScsSensor* sensor) {
    return withDevice(sensor,
                      [&](ScsSensorDevice* d) -> TcsResult { return d->rsaSecured && d->patchSignatureCaching ? 1 : 0; });
}

TcsResult scsSensorEnablePatchSignatureCaching(ScsSensor* sensor) {
    return withDevice(sensor, [&](ScsSensorDevice* d) -> TcsResult {
        if (!d->rsaSecured) return TCS_RESULT_NOT_IMPLEMENTED;
        d->patchSignatureCaching = 1;
        return TCS_RESULT_OK;
    });
}

TcsResult scsSensorIsECCSecured(ScsSensor* sensor) {
    return withDevice(sensor, [&](ScsSensorDevice* d) -> TcsResult { return d->eccSecured ? 1 : 0; });
}

TcsResult scsSensorIsRSASecured(ScsSensor* sensor) {
    return withDevice(sensor, [&](ScsSensorDevice* d) -> TcsResult { return d->rsaSecured ? 1 : 0; });
}

TcsResult scsSensorIsRSASensor(ScsSensor* sensor) {
    return withDevice(sensor, [&](ScsSensorDevice* d) -> TcsResult {
        const ScsFwVersion* v = d->fwVersion;
        return v != nullptr && v->major == 4 && (v->minor == 40 || v->minor == 60) ? 1 : 0;
    });
}

TcsResult scsSensorGetRecalibrationStatus(ScsSensor* sensor, uint32_t* outStatus) {
    return withDevice(sensor, [&](ScsSensorDevice* d) -> TcsResult {
        if (outStatus == nullptr) return TCS_RESULT_BAD_PARAM;
        *outStatus = d->recalibrationStatus;
        return TCS_RESULT_OK;
    });
}

TcsResult scsSensorSetRecalibrationStatus(ScsSensor* sensor) {
    return withDevice(sensor, [&](ScsSensorDevice* d) -> TcsResult {
        d->recalibrationStatus = d->calibrationAttempts < 5 ? 1 : 0;
        return TCS_RESULT_OK;
    });
}

TcsResult scsSensorGetCalibrateAttemptsCount(ScsSensor* sensor, uint32_t* outCount) {
    return withDevice(sensor, [&](ScsSensorDevice* d) -> TcsResult {
        if (outCount == nullptr) return TCS_RESULT_BAD_PARAM;
        *outCount = d->calibrationAttempts;
        return TCS_RESULT_OK;
    });
}

TcsResult scsSensorSetLastCommandSentTime(ScsSensor* sensor, uint32_t tick) {
    return withDevice(sensor, [&](ScsSensorDevice* d) -> TcsResult { d->lastCommandSentTime = tick; return TCS_RESULT_OK; });
}

TcsResult scsSensorGetLastCommandSentTime(ScsSensor* sensor, uint32_t* outTick) {
    return withDevice(sensor, [&](ScsSensorDevice* d) -> TcsResult {
        if (outTick == nullptr) return TCS_RESULT_BAD_PARAM;
        *outTick = d->lastCommandSentTime;
        return TCS_RESULT_OK;
    });
}

TcsResult scsSensorGetSuspendedMode(ScsSensor* sensor, uint8_t* outMode) {
    return withDevice(sensor, [&](ScsSensorDevice* d) -> TcsResult {
        if (outMode == nullptr) return TCS_RESULT_BAD_PARAM;
        *outMode = d->suspendMode;
        return TCS_RESULT_OK;
    });
}

TcsResult scsSensorGetState(ScsSensor* sensor, uint32_t* outState) {
    return withDevice(sensor, [&](ScsSensorDevice* d) -> TcsResult {
        if (outState == nullptr) return TCS_RESULT_BAD_PARAM;
        *outState = d->captureState;
        return TCS_RESULT_OK;
    });
}

TcsResult scsSensorGetPrintCmd(ScsSensor* sensor, uint32_t* outFields5) {
    return withDevice(sensor, [&](ScsSensorDevice* d) -> TcsResult {
        if (outFields5 == nullptr) return TCS_RESULT_BAD_PARAM;
        memcpy(outFields5, d->printCommand, sizeof d->printCommand);
        return TCS_RESULT_OK;
    });
}

TcsResult scsSensorIsDefaultCalUsed(ScsSensor* sensor) {
    return withDevice(sensor, [&](ScsSensorDevice* d) -> TcsResult { return d->defaultCalUsed ? 1 : 0; });
}

TcsResult scsSensorSetSuspendMode(ScsSensor* sensor, uint32_t mode) {
    return withDevice(sensor, [&](ScsSensorDevice*) -> TcsResult { return scsSensorSetSuspendModeEx(sensor, uint8_t(mode)); });
}

TcsResult scsSensorCancelRequest(ScsSensor* sensor, uint32_t transactionId) {
    return withDevice(sensor, [&](ScsSensorDevice* d) -> TcsResult { return scsSensorDeviceCancelRequest(d, transactionId); });
}

TcsResult scsSensorCancelRequests(ScsSensor* sensor) {
    return withDevice(sensor, [&](ScsSensorDevice* d) -> TcsResult { return scsSensorCancelAllRequests(d, TCS_RESULT_CANCEL); });
}

// --- Identification context ----------------------------------------------------------------------------

TcsResult scsSensorSetLastIdentificationCtx(ScsSensor* sensor, const void* data, uint32_t length) {
    return withDevice(sensor, [&](ScsSensorDevice* d) -> TcsResult {
        uint8_t* copy = nullptr;
        if (data != nullptr && length != 0) {
            copy = static_cast<uint8_t*>(palRealMalloc(length));
            if (copy == nullptr) return TCS_RESULT_OUT_OF_MEMORY;
            memcpy(copy, data, length);
            palCryptoProtectMemory(copy, length);
        }
        scsLock(d->lastIdentificationLock);
        palRealFree(d->lastIdentificationCtx);
        d->lastIdentificationCtx = copy;
        d->lastIdentificationCtxLength = copy != nullptr ? length : 0;
        scsUnlock(d->lastIdentificationLock);
        return TCS_RESULT_OK;
    });
}

TcsResult scsSensorGetLastIdentificationCtx(ScsSensor* sensor, void* outBuffer, uint32_t length) {
    return withDevice(sensor, [&](ScsSensorDevice* d) -> TcsResult {
        if (outBuffer == nullptr) return TCS_RESULT_BAD_PARAM;
        scsLock(d->lastIdentificationLock);
        TcsResult result = TCS_RESULT_BAD_PARAM;
        if (d->lastIdentificationCtx != nullptr) {
            // The caller names the length; never read past what was stored.
            const uint32_t count = length < d->lastIdentificationCtxLength ? length : d->lastIdentificationCtxLength;
            memcpy(outBuffer, d->lastIdentificationCtx, count);
            palCryptoProtectMemory(outBuffer, count);
            result = TCS_RESULT_OK;
        }
        scsUnlock(d->lastIdentificationLock);
        return result;
    });
}

TcsResult scsSensorGetSecurityInfo(ScsSensor* sensor, uint32_t* outInfo4) {
    return withDevice(sensor, [&](ScsSensorDevice* d) -> TcsResult {
        if (outInfo4 == nullptr) return TCS_RESULT_NULL_POINTER;
        const bool isSecured = d->aesSecured || d->rsaSecured || d->eccSecured;
        outInfo4[0] = d->provisioned;
        outInfo4[1] = isSecured ? 1 : 0;
        outInfo4[2] = scsSSLIsInSession(d);
        outInfo4[3] = 0;
        if (isSecured) {
            outInfo4[0] = 1;
            if (!d->imagePartitionByteCached) {
                uint8_t probe[kImagePartitionProbe];
                if (xtfsReadImagePartition(sensor, probe, sizeof probe) == TCS_RESULT_OK) {
                    d->imagePartitionByte = probe[31];
                    d->imagePartitionByteCached = 1;
                }
            }
            outInfo4[3] = d->imagePartitionByteCached ? d->imagePartitionByte : 0;
        }
        return TCS_RESULT_OK;
    });
}

// --- Host-side fingerprint buffering ----------------------------------------------------------------------

TcsResult scsSensorFpBufferingRestart(ScsSensor* sensor) {
    return withDevice(sensor, [&](ScsSensorDevice* d) -> TcsResult {
        if (d->fpBuffer == nullptr) {
            d->fpCapacity = kFpBufferCapacity;
            d->fpLineLength = kFpLineLength;
            d->fpBuffer = static_cast<uint8_t*>(palRealMalloc(d->fpCapacity));
            if (d->fpBuffer == nullptr) return TCS_RESULT_OUT_OF_MEMORY;
        }
        d->fpEnabled = 1;
        memset(d->fpIv, 0, sizeof d->fpIv);
        memset(d->fpKey, 0, sizeof d->fpKey);
        memset(d->fpBuffer, 0xFF, d->fpCapacity);
        d->fpFill = 0;
        if (d->fpLastLine == nullptr) {
            d->fpLastLine = static_cast<uint8_t*>(palRealMalloc(d->fpLineLength));
            if (d->fpLastLine == nullptr) return TCS_RESULT_OUT_OF_MEMORY;
            memset(d->fpLastLine, 0, d->fpLineLength);
        }
        return TCS_RESULT_OK;
    });
}

TcsResult scsSensorFpBufferingAppendFpData(ScsSensor* sensor, const void* data, uint32_t length) {
    return withDevice(sensor, [&](ScsSensorDevice* d) -> TcsResult {
        if (data == nullptr) return TCS_RESULT_BAD_PARAM;
        if (d->fpBuffer == nullptr || uint64_t(d->fpFill) + length > d->fpCapacity) return TCS_RESULT_BUFFER_TOO_SMALL;
        memcpy(d->fpBuffer + d->fpFill, data, length);
        d->fpFill += length;
        return TCS_RESULT_OK;
    });
}

TcsResult scsSensorFpBufferingSaveLastLine(ScsSensor* sensor, const void* data, uint32_t length) {
    return withDevice(sensor, [&](ScsSensorDevice* d) -> TcsResult {
        if (data == nullptr) return TCS_RESULT_BAD_PARAM;
        if (d->fpLastLine == nullptr || length > d->fpLineLength) return TCS_RESULT_BUFFER_TOO_SMALL;
        memcpy(d->fpLastLine, data, length);
        return TCS_RESULT_OK;
    });
}

TcsResult scsSensorFpBufferingGetLastBufferedData(ScsSensor* sensor, void* outBuffer, uint32_t* inOutSize) {
    return withDevice(sensor, [&](ScsSensorDevice* d) -> TcsResult {
        if (inOutSize == nullptr) return TCS_RESULT_BAD_PARAM;
        uint32_t magic = 0;
        uint32_t flashLength = 0;
        if (d->fpLastLine != nullptr && d->fpLineLength >= 16) {
            memcpy(&magic, d->fpLastLine + 8, 4);
            memcpy(&flashLength, d->fpLastLine + 12, 4);
            magic = palSensorToHost32(magic);
            flashLength = palSensorToHost32(flashLength);
        }
        if (magic != kLastLineMagic) {
            *inOutSize = 0;
            return TCS_RESULT_OK;
        }
        if (outBuffer == nullptr) {
            *inOutSize = flashLength + d->fpFill;
            return TCS_RESULT_OK;
        }
        auto* out = static_cast<uint8_t*>(outBuffer);
        TcsResult result = TCS_RESULT_OK;
        if (*inOutSize < d->fpFill || *inOutSize - d->fpFill != flashLength) result = TCS_RESULT_BAD_PARAM;
        // The flash part goes after the host buffer's first line.
        if (result == TCS_RESULT_OK && flashLength != 0 && uint64_t(d->fpLineLength) + flashLength > *inOutSize) {
            result = TCS_RESULT_BUFFER_TOO_SMALL;
        }
        if (result == TCS_RESULT_OK && flashLength != 0) {
            result = xtfsReadLastBufferedFpData(sensor, flashLength, out + d->fpLineLength);
            // The ring holds the data as the capture that asked for buffering sent it: under the key
            // and IV handed to the sensor with that capture, and plain when it sent none. The
            // device's own copies are zeroed by the restart before that capture is built, so
            // decrypting with them turned the ring's part into noise.
            const scsproto::DeviceState* state = scsproto::stateOf(d);
            if (result == TCS_RESULT_OK && state != nullptr && state->bufferedFpEncrypted &&
                (d->aesSecured || d->rsaSecured || d->eccSecured)) {
                memcpy(d->fpKey, state->bufferedFpKey, sizeof d->fpKey);
                memcpy(d->fpIv, state->bufferedFpIv, sizeof d->fpIv);
                result = palCryptoDecrypt(out + d->fpLineLength, flashLength, out + d->fpLineLength, nullptr, d->fpKey,
                                          scsSSLGetSessionKeyLength(d), d->fpIv, kCipherAesCbc);
                if (result == TCS_RESULT_OK) {
                    uint8_t digest[32];
                    result = palCryptoDigest(out + d->fpLineLength, flashLength, digest, 0);
                    for (int i = 0; result == TCS_RESULT_OK && i < 32; ++i) d->lastFingerprintSignature[i] ^= digest[i];
                }
            }
        }
        if (result == TCS_RESULT_OK && uint64_t(flashLength) + d->fpFill > d->fpCapacity) {
            result = TCS_RESULT_BUFFER_TOO_SMALL;
        }
        if (result == TCS_RESULT_OK && d->fpBuffer != nullptr) {
            const uint32_t head = d->fpFill < d->fpLineLength ? d->fpFill : d->fpLineLength;
            memcpy(out, d->fpBuffer, head);
            memcpy(out + head + flashLength, d->fpBuffer + head, d->fpFill - head);
        }
        if (result != TCS_RESULT_OK) {
            memset(d->fpKey, 0, sizeof d->fpKey);
            memset(d->fpIv, 0, sizeof d->fpIv);
        }
        return result;
    });
}

TcsResult scsSensorGetBitReductionData(ScsSensor* sensor, uint32_t* outValues2) {
    const TcsResult valid = scsSensorValidate(sensor);
    if (valid != TCS_RESULT_OK) return valid;
    if (outValues2 == nullptr) return TCS_RESULT_BAD_PARAM;
    return withDevice(sensor, [&](ScsSensorDevice* d) -> TcsResult {
        scsproto::DeviceState* state = scsproto::stateOf(d);
        const PrintConfiguration* config = state != nullptr ? state->defaultConfig : nullptr;
        if (config == nullptr || scsIsDefaultPrintConfig(config)) return TCS_RESULT_NULL_POINTER;
        outValues2[0] = config->fields[11];
        outValues2[1] = config->fields[12];
        return TCS_RESULT_OK;
    });
}
