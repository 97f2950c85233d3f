// Small per-device properties of the flat sensor-control interface: one value read or written under
// a device reference; the subsystem-wide recovery switches; entry points with a fixed result.
#include "tcs/sensorctl/protocol/device_properties.h"

#include "platform/settings.h"
#include "tcs/sensorctl/protocol/print_defaults.h"
#include "tcs/sensorctl/protocol/protocol_state.h"
#include "tcs/sensorctl/protocol/wire_builders.h"

namespace {

struct DeviceRef {
    ScsSensorDevice* device = nullptr;
    TcsResult result;
    explicit DeviceRef(ScsSensor* sensor) : result(scsSensorDeviceAcquire(sensor, &device)) {}
    ~DeviceRef() {
        if (result == TCS_RESULT_OK) scsSensorDeviceRelease(device);
    }
    DeviceRef(const DeviceRef&) = delete;
    DeviceRef& operator=(const DeviceRef&) = delete;
};

// Runs `use` on the device; a failing acquire gives its result.
template <typename Use>
TcsResult withDevice(ScsSensor* sensor, Use use) {
    DeviceRef ref(sensor);
    if (ref.result != TCS_RESULT_OK) return ref.result;
    return use(ref.device);
}

// Runs `use` on the device's protocol state.
template <typename Use>
TcsResult withState(ScsSensor* sensor, Use use) {
    return withDevice(sensor, [&](ScsSensorDevice* device) -> TcsResult {
        scsproto::DeviceState* state = scsproto::stateOf(device);
        if (state == nullptr) return TCS_RESULT_OUT_OF_MEMORY;
        return use(device, *state);
    });
}

// A predicate's value; 0 when the device cannot be had.
template <typename Read>
uint32_t predicate(ScsSensor* sensor, Read read) {
    DeviceRef ref(sensor);
    return ref.result == TCS_RESULT_OK && read(ref.device) ? 1 : 0;
}

// Applies a recovery switch to every device of one list (the device-list lock is held).
void applyRecovery(PalListEntry* list, uint32_t disable, bool esd) {
    for (PalListEntry* node = list->next; node != list; node = node->next) {
        ScsSensorDevice* device = PAL_LIST_RECORD(node, ScsSensorDevice, links);
        if (esd) {
            device->esdRecovery = disable == 1 ? 0 : device->esdRecoverySaved;
        } else {
            device->resetRecovery = disable == 1 ? 0 : device->resetRecoverySaved;
        }
    }
}

TcsResult disableRecovery(ScsSubsystem* subsystem, uint32_t disable, bool esd) {
    if (subsystem == nullptr) return TCS_RESULT_BAD_PARAM;
    (esd ? subsystem->esdRecoveryOff : subsystem->resetRecoveryOff) = disable;
    if (subsystem->deviceListLock == nullptr || scsLock(subsystem->deviceListLock) != TCS_RESULT_OK) {
        return TCS_RESULT_INVALID;
    }
    applyRecovery(&subsystem->activeDevices, disable, esd);
    applyRecovery(&subsystem->initialisingDevices, disable, esd);
    scsUnlock(subsystem->deviceListLock);
    return TCS_RESULT_OK;
}

constexpr uint32_t kTimeslotTableLength = 1408;

}  // namespace

extern "C" {

TcsResult scsSensorGetCmdProtocolVersion(ScsSensor* sensor, uint8_t* outVersion) {
    if (sensor == nullptr || outVersion == nullptr) return TCS_RESULT_BAD_PARAM;
    return withDevice(sensor, [&](ScsSensorDevice* device) {
        *outVersion = device->replyParser == scsSensorParseReply_V4 ? 4 : 0;
        return TCS_RESULT_OK;
    });
}

TcsResult scsSensorDisableSSLAlerts(ScsSensor* sensor, uint32_t disable) {
    return withDevice(sensor, [&](ScsSensorDevice* device) {
        device->suppressCloseAlert = disable;
        return TCS_RESULT_OK;
    });
}

TcsResult scsSensorGetBaseLineInfo(ScsSensor* sensor, void** outInfo) {
    if (outInfo == nullptr) return TCS_RESULT_BAD_PARAM;
    return withDevice(sensor, [&](ScsSensorDevice* device) {
        *outInfo = device->baselineInfo;
        return TCS_RESULT_OK;
    });
}

TcsResult scsSensorSetWOECalFlag(ScsSensor* sensor) {
    return withDevice(sensor, [](ScsSensorDevice* device) {
        device->woeOnlyCalibration = 1;
        return TCS_RESULT_OK;
    });
}

TcsResult scsSensorSetCalibrationType(ScsSensor* sensor, uint32_t type) {
    return withDevice(sensor, [&](ScsSensorDevice* device) {
        __atomic_store_n(&device->captureModeByte, uint8_t(type), __ATOMIC_RELEASE);
        return TCS_RESULT_OK;
    });
}

uint32_t scsSensorIsWOECalibrationFailed(ScsSensor* sensor) {
    return predicate(sensor, [](ScsSensorDevice* d) { return d->woeCalibrationFailed != 0; });
}

uint32_t scsIsAlternateWOEEnabled(ScsSensor* sensor) {
    return predicate(sensor, [](ScsSensorDevice* d) {
        const scsproto::DeviceState* state = scsproto::stateOf(d);
        return state != nullptr && state->alternateWoe;
    });
}

uint32_t scsSensorIsAESSecured(ScsSensor* sensor) {
    return predicate(sensor, [](ScsSensorDevice* d) { return d->aesSecured != 0; });
}

uint32_t scsSensorIsSecured(ScsSensor* sensor) {
    return predicate(sensor, [](ScsSensorDevice* d) { return d->aesSecured != 0 || d->rsaSecured != 0 || d->eccSecured != 0; });
}

TcsResult scsSensorSetWoeThresholdDelta(ScsSensor* sensor, uint32_t delta) {
    return withState(sensor, [&](ScsSensorDevice*, scsproto::DeviceState& s) {
        (s.alternateWoe ? s.woeThresholdDeltaAlt : s.woeThresholdDelta) = delta;
        return TCS_RESULT_OK;
    });
}

TcsResult scsSensorGetWoeThresholdDelta(ScsSensor* sensor, uint32_t* outDelta) {
    if (outDelta == nullptr) return TCS_RESULT_BAD_PARAM;
    return withState(sensor, [&](ScsSensorDevice*, scsproto::DeviceState& s) {
        *outDelta = s.alternateWoe ? s.woeThresholdDeltaAlt : s.woeThresholdDelta;
        return TCS_RESULT_OK;
    });
}

TcsResult scsSensorSetWoeThreshold(ScsSensor* sensor, uint32_t threshold) {
    return withState(sensor, [&](ScsSensorDevice*, scsproto::DeviceState& s) {
        (s.alternateWoe ? s.woeThresholdAlt : s.woeThreshold) = threshold;
        return TCS_RESULT_OK;
    });
}

TcsResult scsSensorGetWoeThreshold(ScsSensor* sensor, uint32_t* outThreshold) {
    if (outThreshold == nullptr) return TCS_RESULT_BAD_PARAM;
    return withState(sensor, [&](ScsSensorDevice*, scsproto::DeviceState& s) {
        *outThreshold = s.alternateWoe ? s.woeThresholdAlt : s.woeThreshold;
        return TCS_RESULT_OK;
    });
}

TcsResult scsSensorResetWoeThreshold(ScsSensor* sensor, uint32_t* outThreshold) {
    return withState(sensor, [&](ScsSensorDevice* device, scsproto::DeviceState& s) {
        // The base threshold: 16 from allocation, or what calibration chose.
        s.woeThreshold = device->woeTiming[0];
        if (outThreshold != nullptr) *outThreshold = s.woeThreshold;
        return TCS_RESULT_OK;
    });
}

TcsResult scsSensorSetMotionParamThresholdDelta(ScsSensor* sensor, uint32_t delta) {
    return withState(sensor, [&](ScsSensorDevice*, scsproto::DeviceState& s) {
        s.motionThresholdDelta = delta;
        return TCS_RESULT_OK;
    });
}

TcsResult scsSensorGetMotionParamThresholdDelta(ScsSensor* sensor, uint32_t* outDelta) {
    if (outDelta == nullptr) return TCS_RESULT_BAD_PARAM;
    return withState(sensor, [&](ScsSensorDevice*, scsproto::DeviceState& s) {
        *outDelta = s.motionThresholdDelta;
        return TCS_RESULT_OK;
    });
}

void* scsGetStorageInfoPtr(ScsSensor* sensor) {
    DeviceRef ref(sensor);
    return ref.result == TCS_RESULT_OK ? ref.device->storageInfo : nullptr;
}

TcsResult scsSensorGetSubsystemStartupMode(ScsSensor* sensor, uint32_t* outMode) {
    if (outMode == nullptr) return TCS_RESULT_BAD_PARAM;
    return withDevice(sensor, [&](ScsSensorDevice* device) {
        if (device->subsystem == nullptr) return TCS_RESULT_NULL_POINTER;
        *outMode = device->subsystem->startFlags;
        return TCS_RESULT_OK;
    });
}

TcsResult scsSensorGetId(ScsSensor* sensor, char* buffer, uint32_t size) {
    return withDevice(sensor, [&](ScsSensorDevice* device) { return scsSensorDeviceGetSensorId(device, buffer, size); });
}

TcsResult scsSensorEnable(PalSensorHandle* handle) {
    return handle == nullptr ? TCS_RESULT_BAD_PARAM : palSensorEnable(handle);
}

TcsResult scsDriverSetDbgSystems(ScsSensor* sensor, uint32_t systems) {
    return withDevice(sensor, [&](ScsSensorDevice* d) { return palDriverSetDbgSystems(d->platformHandle, systems); });
}

TcsResult scsDriverGetDbgSystems(ScsSensor* sensor, uint32_t* outSystems) {
    return withDevice(sensor, [&](ScsSensorDevice* d) { return palDriverGetDbgSystems(d->platformHandle, outSystems); });
}

TcsResult scsDriverSetDbgFlags(ScsSensor* sensor, uint32_t flags) {
    return withDevice(sensor, [&](ScsSensorDevice* d) { return palDriverSetDbgFlags(d->platformHandle, flags); });
}

TcsResult scsDriverGetDbgFlags(ScsSensor* sensor, uint32_t* outFlags) {
    return withDevice(sensor, [&](ScsSensorDevice* d) { return palDriverGetDbgFlags(d->platformHandle, outFlags); });
}

TcsResult scsDisableResetRecovery(ScsSubsystem* subsystem, uint32_t disable) {
    return disableRecovery(subsystem, disable, false);
}

TcsResult scsDisableESDRecovery(ScsSubsystem* subsystem, uint32_t disable) {
    return disableRecovery(subsystem, disable, true);
}

uint32_t scsReportSensorToService(const char* sensorName) {
    if (sensorName == nullptr) return 1;
    constexpr char kSection[] = "SOFTWARE\\Tovantic\\ServiceDevices";
    uint32_t subSections = 0, values = 0;
    const bool sectionKnown = palGetPersistentQueryInfo(kSection, &subSections, &values) == TCS_RESULT_OK;
    // The settings store here cannot tell whether a section exists: a value stored under the name
    // decides, and without one the sensor is reported unless the section is known to exist.
    constexpr uint32_t kAbsent = 0xFFFFFFFEu;
    uint32_t value = kAbsent;
    if (palGetPersistentDataLongValue(kSection, sensorName, kAbsent, &value) != TCS_RESULT_OK) value = kAbsent;
    if (value == kAbsent) return sectionKnown ? 0 : 1;
    return value == 1 ? 1 : 0;
}

TcsResult scsHarlokFindTsTblInConfigReply(const ScsReplyView* reply, ScsReplyView* outTable) {
    if (reply == nullptr || outTable == nullptr) return TCS_RESULT_BAD_PARAM;
    outTable->length = reply->data == nullptr ? 0 : reply->length < kTimeslotTableLength ? reply->length
                                                                                          : kTimeslotTableLength;
    outTable->data = reply->data;
    return TCS_RESULT_OK;
}

TcsResult scsFindTsTblInConfigReply(ScsSensor* sensor, const ScsReplyView* reply, ScsReplyView* outTable) {
    if (sensor == nullptr) return TCS_RESULT_BAD_PARAM;
    return scsHarlokFindTsTblInConfigReply(reply, outTable);
}

TcsResult scsSensorFindNavConfiguration(ScsSensorDevice* device, uint32_t flexId, uint32_t soClock,
                                        uint32_t swipeSpeed, uint32_t bitDepth, void** outConfig) {
    return scsSensorFindPrintConfiguration(device, flexId, soClock, swipeSpeed, bitDepth,
                                           reinterpret_cast<PrintConfiguration**>(outConfig));
}

TcsResult scsGetStorageMemoryInfo(ScsSensor*, void*) { return TCS_RESULT_NOT_IMPLEMENTED; }
TcsResult scsStoragePartitionsFormat(ScsSensor*) { return TCS_RESULT_NOT_IMPLEMENTED; }
TcsResult scsReadImagePartEx(ScsSensor*, void*, uint32_t) { return TCS_RESULT_NOT_IMPLEMENTED; }
TcsResult scsSensorIsFpga(ScsSensor*) { return TCS_RESULT_NOT_IMPLEMENTED; }
TcsResult scsSensorVipCreateClientAuthToken(ScsSensor*) { return TCS_RESULT_NOT_SUPPORTED; }
TcsResult scsSensorVipProvisionOtpSeed(ScsSensor*) { return TCS_RESULT_NOT_SUPPORTED; }
TcsResult scsSensorVipCreateTotpToken(ScsSensor*) { return TCS_RESULT_NOT_SUPPORTED; }
TcsResult scsSensorFidoCreateAuthData(ScsSensor*) { return TCS_RESULT_NOT_SUPPORTED; }
TcsResult scsSensorFidoProvisionOtpSeed(ScsSensor*) { return TCS_RESULT_NOT_SUPPORTED; }
TcsResult scsSensorFidoCreateHotpToken(ScsSensor*) { return TCS_RESULT_NOT_SUPPORTED; }
TcsResult scsSensorIsRemoteSensor(ScsSensor*) { return TCS_RESULT_OK; }
TcsResult scsDeviceIsRemoteSensor(ScsSensorDevice*) { return TCS_RESULT_OK; }
TcsResult scsCancelInterruptEndpointRead(ScsSensor*) { return TCS_RESULT_OK; }
TcsResult scsIsInterruptEndpointEnabled(ScsSensor*) { return TCS_RESULT_OK; }
TcsResult scsInterruptEndpointEnable(ScsSensor*, uint32_t) { return TCS_RESULT_OK; }

}  // extern "C"
