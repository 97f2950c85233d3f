// Calibration and its data, LED patterns, wake-on-event set-up, selective suspend, single-value
// sensor queries and the reset command.
#include "tcs/imaging/ids_internal.h"
#include "tcs/led_requests.h"
#include "tcs/sensorctl/calibration/cal_results.h"
#include "tcs/sensorctl/init/device_accessors.h"
#include "tcs/sensorctl/protocol/device_properties.h"
#include "tcs/sensorctl/init/housekeeping.h"
#include "tcs/sensorctl/init/led.h"
#include "tcs/sensorctl/protocol/patches.h"
#include "tcs/sensorctl/protocol/properties.h"
#include "tcs/sensorctl/protocol/protocol_state.h"
#include "tcs/sensorctl/protocol/sensor_commands.h"
#include "tcs/sensorctl/protocol/sensor_commands_more.h"
#include "tcs/sensorctl/protocol/sync_commands.h"
#include "tcs/sensorctl/protocol/wire_builders.h"
#include "tools/sensor/diag_internal.h"

#include <cstring>
#include <memory>
#include <vector>

using namespace tovdiag;

namespace {

constexpr uint32_t kLedSwipeAccepted = 26;
constexpr uint32_t kLedSwipeRejected = 27;
constexpr uint32_t kLedPauseMs = 500;
constexpr uint32_t kLedCount = 6;
constexpr uint32_t kLedHeader = 4;
constexpr uint32_t kLedRecord = 26;

static_assert(sizeof(TcsTestLedPattern) == sizeof(ScsLedConfigValues), "the pattern record is sensor control's");

template <typename Call>
TcsResult forward(TcsHandle handle, Call call) {
    Sensor sensor;
    TcsResult result = kOk;
    if (!beginSensor(handle, true, &sensor, &result)) return result;
    return call(sensor.scs());
}

struct FileCloser {
    void operator()(FILE* file) const { palFileClose(file); }
};

}  // namespace

extern "C" {

TcsResult tcsTestCalibrate(TcsHandle handle, uint32_t type) {
    Sensor sensor;
    TcsResult result = kOk;
    if (!beginSensor(handle, true, &sensor, &result)) return result;
    result = requireProtocolOne(sensor.scs());
    if (result != kOk) return result;
    result = tcsTestSensorUnloadPatch(handle);
    if (result != kOk) return result;
    result = scsSensorCalibrate(sensor.scs(), uint8_t(type));
    if (result != kOk) return result;
    return scsSensorRestoreRunPatch(sensor.scs());
}

TcsResult tcsTestGetCalData(TcsHandle handle, uint8_t* buffer, uint32_t* inOutSize) {
    if (handle == 0) return kNullSensor;
    if (inOutSize == nullptr) return kNullPointer;
    Sensor sensor;
    TcsResult result = kOk;
    if (!beginSensor(handle, true, &sensor, &result)) return result;
    DeviceRef ref(sensor.scs());
    if (ref.result != kOk) return ref.result;
    auto* results = static_cast<CalResultsContainer*>(ref.device->calResults);
    if (results == nullptr) return kNullPointer;
    uint16_t length = 0;
    result = calResultsGetCalibrationDataBlob(results, &length, nullptr);
    if (result != kOk) return result;
    if (buffer == nullptr) {
        *inOutSize = length;
        return kOk;
    }
    // The blob is taken whole and then cut to the caller's room.
    std::vector<uint8_t> blob(length != 0 ? length : 1);
    if (length != 0) {
        result = calResultsGetCalibrationDataBlob(results, &length, blob.data());
        if (result != kOk) return result;
    }
    const uint32_t copied = length < *inOutSize ? length : *inOutSize;
    if (copied != 0) std::memcpy(buffer, blob.data(), copied);
    *inOutSize = copied;
    return kOk;
}

TcsResult tcsTestSensorGetCalibrationResultsHandle(TcsHandle handle, uint64_t* out) {
    if (out == nullptr) return kBadParam;
    Sensor sensor;
    TcsResult result = kOk;
    if (!beginSensor(handle, true, &sensor, &result)) return result;
    DeviceRef ref(sensor.scs());
    if (ref.result != kOk) return ref.result;
    *out = uint64_t(uintptr_t(ref.device->calResults));
    return kOk;
}

TcsResult tcsTestSensorGetDefaultConfigParams(TcsHandle handle, uint32_t* outFlexId, uint32_t* outA, uint32_t* outB,
                                              uint32_t* outC) {
    Sensor sensor;
    TcsResult result = kOk;
    if (!beginSensor(handle, true, &sensor, &result)) return result;
    result = requireProtocolOne(sensor.scs());
    if (result != kOk) return result;
    DeviceRef ref(sensor.scs());
    if (ref.result != kOk) return ref.result;
    scsproto::DeviceState* state = scsproto::stateOf(ref.device);
    if (state == nullptr) return kNoMemory;
    if (outFlexId != nullptr) *outFlexId = state->flexId;
    if (outA != nullptr) *outA = state->soClock;
    if (outB != nullptr) *outB = state->swipeSpeed;
    if (outC != nullptr) *outC = state->bitDepth;
    return kOk;
}

TcsResult tcsTestSensorLEDConfig(TcsHandle handle, uint32_t event, const TcsTestLedPattern* pattern) {
    if (handle == 0) return kNullSensor;
    TcsResult result = tcsTestIsSensorInitialized(handle);
    if (result != kOk) return result;
    if (pattern == nullptr) return kNullPointer;
    ScsLedConfigValues values;
    std::memcpy(&values, pattern, sizeof values);
    return tcsSensorLEDConfig(handle, event, &values);
}

TcsResult tcsTestSensorLEDSwipeAccepted(TcsHandle handle) {
    return forward(handle, [&](ScsSensor*) { return tcsSensorLEDSwipeAccepted(handle); });
}

TcsResult tcsTestSensorLEDSwipeRejected(TcsHandle handle) {
    return forward(handle, [&](ScsSensor*) { return tcsSensorLEDSwipeRejected(handle); });
}

TcsResult tcsTestSensorLEDReadyForSwipe(TcsHandle handle) {
    return forward(handle, [&](ScsSensor*) { return tcsSensorLEDReadyForSwipe(handle); });
}

TcsResult tcsTestSensorLEDIdle(TcsHandle handle) {
    return forward(handle, [&](ScsSensor*) { return tcsSensorLEDIdle(handle); });
}

TcsResult tcsTestSensorLEDSwipeAcceptAndReject(TcsHandle handle, uint32_t count) {
    if (handle == 0) return kNullSensor;
    TcsResult result = tcsTestIsSensorInitialized(handle);
    if (result != kOk) return result;
    ScsLedConfigValues pattern{0, 32, 100, 1, 0, 0, 0};
    result = tcsSensorLEDConfig(handle, kLedSwipeAccepted, &pattern);
    if (result != kOk) return result;
    result = tcsSensorLEDConfig(handle, kLedSwipeRejected, &pattern);
    if (result != kOk) return result;
    for (uint32_t i = 0; i < count; ++i) {
        result = tcsSensorLEDSwipeAccepted(handle);
        if (result != kOk) return result;
        palSleep(kLedPauseMs);
        result = tcsSensorLEDSwipeRejected(handle);
        if (result != kOk) return result;
        palSleep(kLedPauseMs);
    }
    return kOk;
}

TcsResult tcsTestSetLEDStateEx2ToScsCmdSetLEDStateEx2(const uint8_t* source, uint8_t* destination) {
    if (source == nullptr || destination == nullptr) return kNullPointer;
    std::memcpy(destination, source, kLedHeader);
    for (uint32_t led = 0; led < kLedCount; ++led) {
        const uint8_t* from = source + kLedHeader + led * kLedRecord;
        uint8_t* to = destination + kLedHeader + led * kLedRecord;
        std::memcpy(to, from, 8);  // two u16 values, four bytes
        for (uint32_t group = 0; group < 3; ++group) {
            std::memcpy(to + 8 + group * 6, from + 8 + group * 6, 2);
        }
    }
    return kOk;
}

TcsResult tcsGetWoeParams(const char* path, uint8_t* outBuffer, uint32_t* inOutSize) {
    if (path == nullptr || inOutSize == nullptr) return kNullPointer;
    std::unique_ptr<FILE, FileCloser> file(palFileOpen(path, "rb"));
    if (!file) return kOpenFailed;
    if (palFileSeek(file.get(), 0, 2) != 0) return kShortRead;
    const uint32_t size = palFileTell(file.get());
    if (palFileSeek(file.get(), 0, 0) != 0) return kShortRead;
    uint32_t position = 0;
    int c = 0;
    while ((c = palFileGetc(file.get())) >= 0) {
        ++position;
        if (c == 0x1A) break;
    }
    if (c != 0x1A || position >= size) return kError;
    const uint32_t count = size - position;
    if (outBuffer != nullptr) {
        // The given size is the buffer's room: a larger set-up is refused, not written past it.
        if (*inOutSize < count) return kTooSmall;
        if (palFileRead(outBuffer, 1, count, file.get()) != count) return kShortRead;
    }
    *inOutSize = count;
    return kOk;
}

TcsResult tcsTestWOESetup(TcsHandle handle, const char* path, uint32_t flag) {
    Sensor sensor;
    TcsResult result = kOk;
    if (!beginSensor(handle, true, &sensor, &result)) return result;
    uint8_t* data = nullptr;
    uint32_t size = 0;
    if (path != nullptr) {
        result = tcsGetWoeParams(path, nullptr, &size);
        if (result != kOk) return result;
        data = static_cast<uint8_t*>(palRealMalloc(size));
        if (data == nullptr) return kNoMemory;
        result = tcsGetWoeParams(path, data, &size);
    } else {
        result = scsSensorHarlokCalGetWoeSetup(sensor.scs(), &data, &size, flag == 0 ? 1 : 0);
    }
    if (result == kOk) result = scsSensorWOESetup(sensor.scs(), size, data);
    palRealFree(data);
    return result;
}

TcsResult tcsTestSetWOEConfiguration(TcsHandle handle, const uint8_t* data, uint32_t size) {
    if (handle == 0) return kNullSensor;
    if (data == nullptr || size == 0) return kBadParam;
    return forward(handle, [&](ScsSensor* s) { return scsSensorWOESetup(s, size, data); });
}

TcsResult tcsTestGetDefaultWOEConfiguration(TcsHandle handle, uint32_t flag, uint8_t** outData, uint32_t* outSize) {
    if (handle == 0) return kNullSensor;
    if (outData == nullptr || outSize == nullptr) return kBadParam;
    return forward(handle,
                   [&](ScsSensor* s) { return scsSensorHarlokCalGetWoeSetup(s, outData, outSize, flag == 0 ? 1 : 0); });
}

TcsResult tcsTestWOEEnter(TcsHandle handle, uint32_t mode) {
    return forward(handle, [&](ScsSensor* s) { return scsSensorWOEEnter(s, uint16_t(mode)); });
}

TcsResult tcsTestDisableSelectiveSuspend(TcsHandle handle) {
    return forward(handle, [&](ScsSensor* s) { return scsSensorDisableSelectiveSuspend(s); });
}

TcsResult tcsTestEnableSelectiveSuspend(TcsHandle handle) {
    return forward(handle, [&](ScsSensor* s) { return scsSensorEnableSelectiveSuspend(s, 1); });
}

TcsResult tcsTestSetSelectiveSuspendTimeout(TcsHandle handle, uint32_t timeoutMs) {
    return forward(handle, [&](ScsSensor* s) { return scsSensorSetSelectiveSuspendTimeout(s, timeoutMs); });
}

TcsResult tcsTestGetSelectiveSuspendTimeout(TcsHandle handle, uint32_t* outTimeoutMs) {
    if (handle == 0) return kNullSensor;
    if (outTimeoutMs == nullptr) return kNullPointer;
    return forward(handle, [&](ScsSensor* s) { return scsSensorGetSelectiveSuspendTimeout(s, outTimeoutMs); });
}

TcsResult tcsTestResumeSelectiveSuspend(TcsHandle handle) {
    Sensor sensor = fetchSensor(handle);
    if (sensor.record == nullptr) return sensor.result;
    ScsSensor* scs = sensor.scs();
    DeviceRef ref(scs);
    if (ref.result != kOk) return kNullPointer;
    scsSensorDisableSelectiveSuspend(scs);
    ScsSubsystem* control = ref.device->subsystem;
    if (control == nullptr) return kNullPointer;
    TcsResult result = scsLock(control->deviceListLock);
    if (result != kOk) return result;
    palListRemove(&ref.device->links);
    scsSensorSetSuspendModeEx(scs, 1);
    palListInsertHead(&control->initialisingDevices, &ref.device->links);
    scsUnlock(control->deviceListLock);
    scsSensorSignalWorkToDo(ref.device);
    return kOk;
}

TcsResult tcsTestGetVersion(TcsHandle handle, char* out80) {
    if (handle == 0) return kNullSensor;
    if (out80 == nullptr) return kNullPointer;
    return forward(handle, [&](ScsSensor* s) { return scsSensorGetVersion(s, out80); });
}

TcsResult tcsTestSensorGetUID(TcsHandle handle, uint16_t* outA, uint16_t* outB, uint8_t* outUid16) {
    if (handle == 0) return kNullSensor;
    if (outA == nullptr || outB == nullptr || outUid16 == nullptr) return kNullPointer;
    return forward(handle, [&](ScsSensor* s) { return scsSensorGetUID(s, outA, outB, outUid16); });
}

TcsResult tcsTestSensorGetProductFamily(TcsHandle handle, uint32_t* outFamily) {
    if (handle == 0) return kNullSensor;
    if (outFamily == nullptr) return kNullOut;
    Sensor sensor = fetchSensor(handle);
    if (sensor.record == nullptr) return sensor.result;
    return scsSensorGetProductFamily(sensor.scs(), outFamily);
}

TcsResult tcsTestSensorGetStartInfo(TcsHandle handle, TcsTestStartInfo* out) {
    Sensor sensor = fetchSensor(handle);
    if (sensor.record == nullptr) return handle == 0 ? kNullSensor : sensor.result;
    if (out == nullptr) return kNullPointer;
    TcsResult result = tcsTestIsSensorInitialized(handle);
    if (result != kOk) return result;
    uint8_t startType = 0, resetType = 0;
    uint32_t word2 = 0, word6 = 0, word10 = 0;
    uint8_t block[52] = {};
    result = scsSensorGetStartInfo(sensor.scs(), &startType, &resetType, &word2, &word6, &word10, block);
    if (result != kOk) return result;
    out->startType = startType;
    out->resetType = resetType;
    out->word = word2;
    return kOk;
}

TcsResult tcsTestSensorGetFingerState(TcsHandle handle, uint8_t* out) {
    if (out == nullptr) return kNullPointer;
    if (handle == 0) return kNullSensor;
    Sensor sensor = fetchSensor(handle);
    if (sensor.record == nullptr) return sensor.result;
    TcsResult result = tcsTestIsSensorInitialized(handle);
    if (result != kOk) return result;
    uint8_t state = 0, flags = 0;
    result = scsSensorGetFingerState(sensor.scs(), &state, &flags);
    if (result != kOk) return result;
    if (state == 2 || state == 3) *out = 3;
    // Dunmo chips, which report differently, do not occur in this build.
    const IdsSensor* imaging = sensor.record->imagingSensor;
    const uint32_t mode = imaging != nullptr ? imaging->captureMode : 4;
    if ((mode == 2 || mode == 3) && (flags & 0x10) != 0) *out = 3;
    return kOk;
}

TcsResult tcsTestReset(TcsHandle handle, uint32_t type) {
    return forward(handle, [&](ScsSensor* s) { return scsSensorReset(s, uint16_t(type)); });
}

}  // extern "C"
