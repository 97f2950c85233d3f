// Captures with a chosen configuration, raw scan lines, raw streaming, the configuration read-out
// through a get-print command, raw bulk transfers, capture files and image accessors.
#include "tcs/imaging/capture_file.h"
#include "tcs/imaging/ids_internal.h"
#include "tcs/sensorctl/protocol/device_properties.h"
#include "tcs/sensorctl/protocol/patch_loader.h"
#include "tcs/sensorctl/protocol/print_defaults.h"
#include "tcs/sensorctl/protocol/sensor_commands.h"
#include "tcs/sensorctl/protocol/sensor_commands_more.h"
#include "tcs/sensorctl/init/housekeeping.h"
#include "tcs/sensorctl/protocol/sensor_properties.h"
#include "tools/sensor/diag_internal.h"

#include <atomic>
#include <cstring>
#include <new>

using namespace tovdiag;

namespace {

constexpr uint32_t kRawLinesWaitMs = 60000;
constexpr uint32_t kAbortWaitMs = 5000;
constexpr uint32_t kConfigurationWaitMs = 5000;
constexpr uint32_t kRawLineElement = 400;
constexpr uint32_t kLineLengthField = 8;

// The record of a request whose callback may come after its waiter gave up. Whoever comes second
// frees it: the callback of a request that was given up frees the record, its buffer and any image
// it delivered, so that a late callback never writes into a waiter's released memory.
struct PendingRequest {
    std::atomic<uint32_t> state{0};  // 0 pending, 1 completed, 2 given up
    TcsResult status = kOk;
    uint64_t value = 0;
    PalEvent* event = nullptr;
    uint8_t* buffer = nullptr;  // freed with the record
    bool valueIsImage = false;
};

PendingRequest* newPending() {
    void* memory = palRealMalloc(sizeof(PendingRequest));
    if (memory == nullptr) return nullptr;
    auto* pending = new (memory) PendingRequest();
    pending->event = palEventAlloc(0, 0, nullptr);
    return pending;
}

void releasePending(PendingRequest* pending) {
    if (pending == nullptr) return;
    if (pending->event != nullptr) palEventFree(pending->event);
    palRealFree(pending->buffer);
    pending->~PendingRequest();
    palRealFree(pending);
}

void completePending(PendingRequest* pending, TcsResult status, uint64_t value) {
    pending->status = status;
    pending->value = value;
    uint32_t expected = 0;
    if (pending->state.compare_exchange_strong(expected, 1)) {
        palEventSet(pending->event);
        return;
    }
    if (pending->valueIsImage && value != 0) tcsHandleDestroy(value);
    releasePending(pending);
}

// The waiter gives up: true when the callback is still to come (and will free the record).
bool abandonPending(PendingRequest* pending) {
    uint32_t expected = 0;
    return pending->state.compare_exchange_strong(expected, 2);
}

TcsResult captureDone(void* image, TcsResult status, void* context) {
    completePending(static_cast<PendingRequest*>(context), status, uint64_t(uintptr_t(image)));
    return kOk;
}

// The record idsGetFingerprintCB takes and frees: {completion, context}.
struct CaptureCompletion {
    CompletionCallback callback;
    void* context;
};

TcsResult protocolVersion(ScsSensor* sensor, uint8_t* out) { return scsSensorGetCmdProtocolVersion(sensor, out); }

bool isDefaultPath(const char* path) { return path == nullptr || path == TCS_TEST_DEFAULT_CONFIG; }

// The configuration of a raw request and its line length. A configuration read from a file is
// freed by the holder.
struct RawConfiguration {
    TcsHandle handle = 0;
    PrintConfiguration* config = nullptr;
    PrintConfiguration* fromFile = nullptr;
    uint32_t lineLength = 0;
    ~RawConfiguration() {
        if (fromFile != nullptr) tcsTestFreePrintConfig(handle, &fromFile);
    }
};

TcsResult rawConfiguration(TcsHandle handle, ScsSensor* sensor, const char* path, RawConfiguration* out) {
    out->handle = handle;
    if (isDefaultPath(path)) {
        PrintConfiguration* defaults = nullptr;
        TcsResult result = scsSensorGetDefaultPrintConfiguration(sensor, &defaults);
        if (result != kOk) return result;
        result = scsSensorGetUint32DataFromPrintConfig(sensor, defaults, kLineLengthField, &out->lineLength);
        if (result != kOk) return result;
        out->config = path == nullptr ? defaults : SCS_PRINT_CONFIG_DEFAULT;
        return kOk;
    }
    TcsResult result = tcsTestLoadPrintConfigFromFile(handle, path, &out->fromFile);
    if (result != kOk) return result;
    out->config = out->fromFile;
    return scsSensorGetUint32DataFromPrintConfig(sensor, out->config, kLineLengthField, &out->lineLength);
}

uint32_t roundUp(uint64_t value, uint32_t block) {
    if (block == 0) return uint32_t(value);
    return uint32_t((value + block - 1) / block * block);
}

uint32_t rawRequestFlags(uint32_t mode) {
    uint32_t flags = 0;
    if (mode & 1u) flags |= 0x0C;
    if (mode & 2u) flags |= 0x10;
    if (mode & 4u) flags |= 0x4000;
    if (mode & 8u) flags |= 0x8000;
    return flags;
}

// The buffer callbacks' record: written on the service thread, read after the event.
struct BufferWait {
    uint32_t value = 0;
    TcsResult status = kOk;
    PalEvent* event = nullptr;
};

}  // namespace

extern "C" {

TcsResult tcsTestGetPrintByConfig(TcsHandle handle, TcsHandle* outImage, PrintConfiguration* config,
                                  const char* debugPath, uint8_t calibrationType, uint32_t timeoutMs) {
    PendingRequest* pending = newPending();
    if (pending == nullptr) return kNoMemory;
    if (pending->event == nullptr) {
        releasePending(pending);
        return kNoEvent;
    }
    pending->valueIsImage = true;
    auto fail = [&](TcsResult result) {
        releasePending(pending);
        return result;
    };
    if (handle == 0) return fail(kNullSensor);
    if (outImage == nullptr) return fail(kNullOut);
    Sensor sensor;
    TcsResult result = kOk;
    if (!beginSensor(handle, true, &sensor, &result)) return fail(result);
    SensorRecord* record = sensor.record;

    uint8_t protocol = 0;
    result = protocolVersion(sensor.scs(), &protocol);
    if (result != kOk) return fail(result);
    if (isProtocolOne(protocol)) idsSensorSetPrintConfig(record->imagingSensor, config);
    auto clearConfig = [&] { idsSensorSetPrintConfig(record->imagingSensor, nullptr); };

    auto* completion = static_cast<CaptureCompletion*>(palRealMalloc(sizeof(CaptureCompletion)));
    if (completion == nullptr) {
        clearConfig();
        return fail(kNoMemory);
    }
    completion->callback = captureDone;
    completion->context = pending;
    GetPrintContext* printContext = nullptr;
    ImageRecord* image = nullptr;
    result = _tcsSensorPrepareGetFingerprintContext(record, debugPath, &printContext, &image);
    if (result == kOk) result = idsSetCalibrationTypeToCtx(printContext, calibrationType);
    if (result == kOk) {
        result = idsSensorSendGetFingerprint(printContext, image, idsGetFingerprintCB, completion);
    }
    if (result != kOk) {
        // A refused request (46 while the last capture ends) leaves its context and image here.
        if (image != nullptr) _tcsImageDestroy(image);
        if (printContext != nullptr) idsFreeSensorContext(printContext);
        palRealFree(completion);
        clearConfig();
        return fail(result);
    }

    result = _tcsSubsystemWaitForResponse(record->client->stack, pending->event, timeoutMs);
    if (result == kTimeout) {
        tcsSensorAbortFingerprint(handle);
        *outImage = 0;
        clearConfig();
        if (!abandonPending(pending)) {
            // Completed while the abort went out: the image is not handed out after a time-out.
            if (pending->value != 0) tcsHandleDestroy(pending->value);
            releasePending(pending);
        }
        return kTimeout;
    }
    clearConfig();
    if (result != kOk) {
        if (!abandonPending(pending)) {
            if (pending->value != 0) tcsHandleDestroy(pending->value);
            releasePending(pending);
        }
        return result;
    }
    *outImage = pending->value;
    result = pending->status;
    const bool noImage = pending->value == 0;
    releasePending(pending);
    if (result == kOk && noImage) return kError;
    return result;
}

TcsResult tcsTestSensorGetFingerprint(TcsHandle handle, TcsHandle* outImage, const char* configPath,
                                      const char* debugPath, uint32_t calibrationType, uint32_t timeoutMs) {
    if (handle == 0) return kNullSensor;
    if (outImage == nullptr) return kNullOut;
    Sensor sensor;
    TcsResult result = kOk;
    if (!beginSensor(handle, true, &sensor, &result)) return result;
    uint8_t protocol = 0;
    result = protocolVersion(sensor.scs(), &protocol);
    if (result != kOk) return result;
    PrintConfiguration* config = nullptr;
    PrintConfiguration* fromFile = nullptr;
    if (isProtocolOne(protocol)) {
        if (isDefaultPath(configPath)) {
            config = configPath == nullptr ? nullptr : SCS_PRINT_CONFIG_DEFAULT;
        } else {
            result = tcsTestLoadPrintConfigFromFile(handle, configPath, &fromFile);
            if (result != kOk) return result;
            config = fromFile;
        }
    }
    *outImage = 0;
    result = tcsTestGetPrintByConfig(handle, outImage, config, debugPath, uint8_t(calibrationType), timeoutMs);
    if (fromFile != nullptr) tcsTestFreePrintConfig(handle, &fromFile);
    if (result == kOk && *outImage == 0) return kError;
    return result;
}

TcsResult tcsTestGetPrintByConfigAsync(TcsHandle handle, PrintConfiguration* config, const char* debugPath,
                                       uint8_t calibrationType, CompletionCallback callback, void* context) {
    if (handle == 0) return kNullSensor;
    Sensor sensor;
    TcsResult result = kOk;
    if (!beginSensor(handle, true, &sensor, &result)) return result;
    if (callback == nullptr) return kNullPointer;
    SensorRecord* record = sensor.record;
    uint8_t protocol = 0;
    result = protocolVersion(sensor.scs(), &protocol);
    if (result != kOk) return result;
    if (isProtocolOne(protocol)) {
        result = idsSensorSetPrintConfig(record->imagingSensor, config);
        if (result != kOk) {
            idsSensorSetPrintConfig(record->imagingSensor, nullptr);
            return result;
        }
    }
    GetPrintContext* printContext = nullptr;
    ImageRecord* image = nullptr;
    result = _tcsSensorPrepareGetFingerprintContext(record, debugPath, &printContext, &image);
    if (result == kOk) result = idsSetCalibrationTypeToCtx(printContext, calibrationType);
    CaptureCompletion* completion = nullptr;
    if (result == kOk) {
        completion = static_cast<CaptureCompletion*>(palRealMalloc(sizeof(CaptureCompletion)));
        if (completion == nullptr) result = kNoMemory;
    }
    if (result == kOk) {
        completion->callback = callback;
        completion->context = context;
        result = idsSensorSendGetFingerprint(printContext, image, idsGetFingerprintCB, completion);
        if (result != kOk) palRealFree(completion);
    }
    if (result != kOk) {
        if (image != nullptr) _tcsImageDestroy(image);
        if (printContext != nullptr) idsFreeSensorContext(printContext);
    }
    idsSensorSetPrintConfig(record->imagingSensor, nullptr);
    return result;
}

TcsResult idsGetRawScanLinesCB(void*, TcsResult status, void* waitRecord) {
    if (waitRecord == nullptr) return kNullPointer;
    completePending(static_cast<PendingRequest*>(waitRecord), status, 0);
    return status;
}

TcsResult tcsTestGetRawScanlines(TcsHandle handle, uint16_t lineCount, TcsTestRawLine* out, uint8_t lineOption,
                                 const char* configPath, uint32_t modeFlags) {
    if (handle == 0) return kNullSensor;
    Sensor sensor = fetchSensor(handle);
    if (sensor.record == nullptr) return sensor.result;
    if (out == nullptr) return kNullPointer;
    TcsResult result = tcsTestIsSensorInitialized(handle);
    if (result != kOk) return result;
    ScsSensor* scs = sensor.scs();
    IdsSensor* imaging = sensor.record->imagingSensor;

    RawConfiguration config;
    result = rawConfiguration(handle, scs, configPath, &config);
    if (result != kOk) return result;
    uint32_t block = 64;
    scsSensorGetTransportBlockSize(scs, &block);
    const uint32_t size = roundUp(uint64_t(lineCount) * config.lineLength, block);
    PendingRequest* pending = newPending();
    if (pending == nullptr) return kNoMemory;
    if (size != 0) {
        pending->buffer = static_cast<uint8_t*>(palRealMalloc(size));
        if (pending->buffer == nullptr) {
            releasePending(pending);
            return kNoMemory;
        }
        std::memset(pending->buffer, 0, size);
    }
    if (pending->event == nullptr) {
        releasePending(pending);
        return kNoEvent;
    }
    result = idsSensorSendGetRawScanLines(imaging, pending->buffer, size, lineCount, lineOption, idsGetRawScanLinesCB,
                                          pending, config.config, rawRequestFlags(modeFlags));
    if (result != kOk) {
        releasePending(pending);
        idsSensorSetPrintConfig(imaging, nullptr);
        return result;
    }
    result = palEventWaitFor(pending->event, kRawLinesWaitMs);
    if (result == kTimeout) {
        result = idsSensorSendAbortFingerprint(imaging, nullptr, nullptr);
        if (result == kOk) result = palEventWaitFor(pending->event, kAbortWaitMs);
        if (result != kOk) {
            // The request may still fill its buffer: it stays with the record the callback frees.
            if (!abandonPending(pending)) releasePending(pending);
            idsSensorSetPrintConfig(imaging, nullptr);
            return result;
        }
    } else if (result != kOk) {
        if (!abandonPending(pending)) releasePending(pending);
        idsSensorSetPrintConfig(imaging, nullptr);
        return result;
    }
    result = pending->status;
    for (uint32_t line = 0; line < lineCount; ++line) {
        // An element holds 400 bytes; a longer line is cut there and its length says so.
        const uint32_t length = config.lineLength < kRawLineElement ? config.lineLength : kRawLineElement;
        out[line].length = length;
        if (length != 0) std::memcpy(out[line].data, pending->buffer + size_t(line) * config.lineLength, length);
    }
    releasePending(pending);
    idsSensorSetPrintConfig(imaging, nullptr);
    return result;
}

TcsResult tcsTestStartRawStreaming(TcsHandle handle, uint16_t lineCount, const char* configPath,
                                   CompletionCallback lineCallback, void* context) {
    Sensor sensor;
    TcsResult result = kOk;
    if (!beginSensor(handle, true, &sensor, &result)) return result;
    ScsSensor* scs = sensor.scs();
    IdsSensor* imaging = sensor.record->imagingSensor;
    RawConfiguration config;
    result = rawConfiguration(handle, scs, configPath, &config);
    if (result != kOk) return result;
    uint32_t block = 64;
    result = scsSensorGetTransportBlockSize(scs, &block);
    if (result != kOk) return result;
    if (lineCount != 0 && imaging != nullptr) {
        imaging->rawSize = roundUp(uint64_t(lineCount) * config.lineLength, block);
    }
    return idsSensorSendGetRawScanLines(imaging, nullptr, 0, 0, 0, lineCallback, context, config.config, 0);
}

TcsResult tcsTestSensorGetConfigurationBufferCallback(void* waitRecord, TcsResult status, uint8_t*, uint32_t, void*) {
    auto* wait = static_cast<BufferWait*>(waitRecord);
    if (wait == nullptr) return kNullPointer;
    wait->status = status;
    palEventSet(wait->event);
    return kInvalid;
}

TcsResult tcsTestFingerprintCB(void* waitRecord, TcsResult status, uint8_t*, uint32_t byteCount, void*) {
    auto* wait = static_cast<BufferWait*>(waitRecord);
    if (wait == nullptr) return kNullPointer;
    wait->status = status;
    wait->value = byteCount;
    palEventSet(wait->event);
    return kInvalid;
}

TcsResult tcsTestSensorGetConfiguration(TcsHandle handle, uint8_t** outBuffer, uint32_t* outLength) {
    Sensor sensor;
    TcsResult result = kOk;
    if (!beginSensor(handle, true, &sensor, &result)) return result;
    if (outBuffer == nullptr || outLength == nullptr) return kNullPointer;
    ScsSensor* scs = sensor.scs();
    uint8_t protocol = 0;
    result = protocolVersion(scs, &protocol);
    if (result != kOk) return result;
    PrintConfiguration* defaults = nullptr;
    result = scsSensorGetDefaultPrintConfiguration(scs, &defaults);
    if (result != kOk) return result;
    uint32_t lineLength = 0;
    result = scsSensorGetUint32DataFromPrintConfig(scs, defaults, kLineLengthField, &lineLength);
    if (result != kOk) return result;
    auto* line = static_cast<uint8_t*>(palRealMalloc(lineLength != 0 ? lineLength : 1));
    if (line == nullptr) return kNoMemory;
    WaitEvent event;
    if (event.event == nullptr) {
        palRealFree(line);
        return kNoEvent;
    }
    BufferWait wait;
    wait.event = event.event;
    ScsReplyView reply{0, nullptr};
    result = scsDownloadGetPrintPatch(scs, 0);
    bool posted = false;
    if (result == kOk) {
        result = scsSensorPostFingerprintBuffer(scs, line, lineLength, tcsTestSensorGetConfigurationBufferCallback,
                                                &wait);
        posted = result == kOk;
    }
    if (result == kOk) {
        // No configuration rides along: only Brellow sensors take one here, and this build has none.
        result = scsSensorGetFingerprint(scs, 1, 0, 0, 48, nullptr, &reply);
    }
    if (result == kOk) palEventWaitFor(event.event, kConfigurationWaitMs);
    // Cancelling drains the queue, so the callback is done with the record and the line afterwards.
    if (posted) scsSensorCancelAllFingerprintBuffers(scs);
    palRealFree(line);
    if (result != kOk) {
        palRealFree(reply.data);
        return result;
    }
    *outBuffer = reply.data;
    *outLength = reply.length;
    return kOk;
}

TcsResult tcsTestGetPrintBulk(TcsHandle handle, const uint8_t* command, uint32_t commandLength, uint32_t timeoutMs,
                              uint8_t* reply, uint32_t* inOutReplyLength, uint8_t* data, uint32_t dataSize,
                              uint32_t* outByteCount) {
    if (handle == 0) return kNullSensor;
    Sensor sensor = fetchSensor(handle);
    if (sensor.record == nullptr) return sensor.result;
    if (data == nullptr || outByteCount == nullptr) return kNullPointer;
    TcsResult result = tcsTestIsSensorInitialized(handle);
    if (result != kOk) return result;
    ScsSensor* scs = sensor.scs();
    WaitEvent event;
    if (event.event == nullptr) return kNoEvent;
    BufferWait wait;
    wait.event = event.event;
    result = scsSensorPostFingerprintBuffer(scs, data, dataSize, tcsTestFingerprintCB, &wait);
    if (result != kOk) return result;
    result = scsStartReadFingerprint(scs);
    if (result == kOk) result = tcsTestSensorSendCommand(handle, command, commandLength, reply, inOutReplyLength);
    if (result == kOk && (*inOutReplyLength < 2 || (reply[0] | (reply[1] << 8)) != 0)) result = kError;
    if (result == kOk) result = palEventWaitFor(event.event, timeoutMs);
    if (result != kOk) {
        scsSensorCancelAllFingerprintBuffers(scs);
        return result;
    }
    *outByteCount = wait.value;
    return kOk;
}

TcsResult tcsTestSaveDataToQcf(TcsHandle handle, const char* path, uint32_t size, const uint8_t* data) {
    TcsResult result = tcsTestIsSensorInitialized(handle);
    if (result != kOk) return result;
    if (path == nullptr || data == nullptr || size == 0) return kNullPointer;
    Sensor sensor = fetchSensor(handle);
    if (sensor.record == nullptr) return sensor.result;
    ScsPrintConfigurationData record{};
    result = scsSensorGetPrintConfigurationData(sensor.scs(), &record);
    if (result != kOk) return result;
    QcfFile* file = nullptr;
    result = fclQcfCreateA(&file, path);
    if (result == kOk) {
        result = idsSaveDataToQcf(&record, data, size, file);
        TcsResult closed = fclQcfClose(file);
        if (result == kOk) result = closed;
    }
    scsSensorFreePrintConfigurationData(&record);
    return result;
}

TcsResult tcsTestStopPrint(TcsHandle handle) {
    Sensor sensor;
    TcsResult result = kOk;
    if (!beginSensor(handle, true, &sensor, &result)) return result;
    return tcsSensorAbortFingerprint(handle);
}

TcsResult tcsTestImageGetIRMetrics(TcsHandle image, uint8_t* out224) {
    if (image == 0 || out224 == nullptr) return kNullPointer;
    void* object = nullptr;
    TcsResult result = tcsSafeImageHandleFetch(image, &object);
    if (object == nullptr) return result;
    std::memset(out224, 0, TCS_IR_METRICS_SIZE);
    const auto* record = static_cast<const ImageRecord*>(object);
    if (record->irMetrics != nullptr) std::memcpy(out224, record->irMetrics, TCS_IR_METRICS_SIZE);
    return result;
}

TcsResult tcsTestImageToBitmapBits(TcsHandle image, uint8_t* buffer, uint32_t* inOutSize) {
    return tcsImageToBitmapBits(image, buffer, inOutSize);
}

}  // extern "C"
