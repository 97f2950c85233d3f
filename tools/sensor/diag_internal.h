// What the diagnostic layer's files share: the sensor checks, the device reference, the wait event
// and the per-sensor security flags that the layer itself keeps.
#pragma once

#include "platform/pal.h"
#include "tcs/core.h"
#include "tcs/handle_map.h"
#include "tcs/sensorctl/engine/scs_internal.h"
#include "tools/sensor/diag.h"

#include <stdint.h>

namespace tovdiag {

constexpr TcsResult kOk = TCS_RESULT_OK;
constexpr TcsResult kNoMemory = 2;
constexpr TcsResult kNullContext = 4;
constexpr TcsResult kTooSmall = 5;
constexpr TcsResult kNotImplemented = 6;
constexpr TcsResult kInvalid = 7;
constexpr TcsResult kNullOut = 13;
constexpr TcsResult kNullSensor = 14;
constexpr TcsResult kNoClient = 16;
constexpr TcsResult kBadParam = 17;
constexpr TcsResult kNoEvent = 27;
constexpr TcsResult kTimeout = 34;
constexpr TcsResult kNullPointer = 40;
constexpr TcsResult kSensorBadParam = 44;
constexpr TcsResult kError = 54;
constexpr TcsResult kNoData = 77;
constexpr TcsResult kMismatch = 82;
constexpr TcsResult kNoVersion = 202;
constexpr TcsResult kOpenFailed = 207;
constexpr TcsResult kNoStack = 216;
constexpr TcsResult kShortRead = 219;
constexpr TcsResult kUnsupported = 221;
constexpr TcsResult kNotInitialised = 358;
constexpr TcsResult kOwnerRefused = 370;
constexpr TcsResult kNoCycle = 381;

// The record behind a sensor handle: result of the handle map, and the record when it resolved.
struct Sensor {
    TcsResult result = kOk;
    SensorRecord* record = nullptr;
    ScsSensor* scs() const { return record != nullptr ? record->sensorControlSensor : nullptr; }
};
Sensor fetchSensor(TcsHandle handle);

// The common checks of a sensor function: 14 for handle 0, the initialised check when asked, then
// the handle map. false: the call ends with *result (a failed check, or 0 for a handle that the
// map does not know).
bool beginSensor(TcsHandle handle, bool initialised, Sensor* sensor, TcsResult* result);

// A reference on the sensor-control device, dropped when it goes out of scope.
struct DeviceRef {
    ScsSensorDevice* device = nullptr;
    TcsResult result;
    explicit DeviceRef(ScsSensor* sensor) : result(scsSensorDeviceAcquire(sensor, &device)) {}
    ~DeviceRef() {
        if (device != nullptr) scsSensorDeviceRelease(device);
    }
    DeviceRef(const DeviceRef&) = delete;
    DeviceRef& operator=(const DeviceRef&) = delete;
};

// An unnamed auto-reset event owned by the scope.
struct WaitEvent {
    PalEvent* event = palEventAlloc(0, 0, nullptr);
    ~WaitEvent() {
        if (event != nullptr) palEventFree(event);
    }
    WaitEvent() = default;
    WaitEvent(const WaitEvent&) = delete;
    WaitEvent& operator=(const WaitEvent&) = delete;
};

// True for the command protocol of the operations that need protocol 1. Sensor control reports
// the one protocol of this stack's sensors as 4, its successor, so both are taken, as image
// acquisition does for its abort.
inline bool isProtocolOne(uint8_t version) { return version == 1 || version == 4; }
// The command-protocol check of the gated operations: 6 unless it is protocol 1.
TcsResult requireProtocolOne(ScsSensor* sensor);

// Reads the version record into the device when none is cached.
TcsResult ensureVersion(ScsSensor* sensor, ScsSensorDevice* device);
TcsResult readVersion(ScsSensor* sensor);

// Security-state flags of a sensor that the layer sets and reads (ownership, OTP, security-state
// refresh). Sensor control's device record has no room for them, so they are kept here by device
// name, which stays the same across the device's re-enumeration after a reset.
struct SecurityFlags {
    bool state2 = false;
    bool state5 = false;
    bool state6or15 = false;
    bool owned = false;
};
SecurityFlags securityFlags(const ScsSensorDevice* device);
void setSecurityFlags(const ScsSensorDevice* device, const SecurityFlags& flags);

// The patch brackets shared by the families.
TcsResult patchBracketLoad(TcsHandle sensor, const char* patchPath, uint32_t kind, uint32_t selector);

}  // namespace tovdiag
