// Diagnostic layer frame: stack start and stop with its one client, sensor open and close, the
// initialised check, reset and wait, the settings query and the fixed stubs.
#include "tcs/sensorctl/init/device_accessors.h"
#include "tcs/sensorctl/protocol/device_properties.h"
#include "tcs/sensorctl/protocol/sensor_commands.h"
#include "tools/sensor/diag_internal.h"

#include <map>
#include <mutex>
#include <string>

namespace tovdiag {

Sensor fetchSensor(TcsHandle handle) {
    Sensor sensor;
    void* record = nullptr;
    sensor.result = tcsSafeSensorHandleFetch(handle, &record);
    sensor.record = static_cast<SensorRecord*>(record);
    return sensor;
}

bool beginSensor(TcsHandle handle, bool initialised, Sensor* sensor, TcsResult* result) {
    if (handle == 0) {
        *result = kNullSensor;
        return false;
    }
    if (initialised) {
        *result = tcsTestIsSensorInitialized(handle);
        if (*result != kOk) return false;
    }
    *sensor = fetchSensor(handle);
    *result = sensor->result;
    return sensor->record != nullptr && sensor->result == kOk;
}

TcsResult requireProtocolOne(ScsSensor* sensor) {
    uint8_t version = 0;
    TcsResult result = scsSensorGetCmdProtocolVersion(sensor, &version);
    if (result != kOk) return result;
    return isProtocolOne(version) ? kOk : kNotImplemented;
}

TcsResult readVersion(ScsSensor* sensor) {
    char text[SCS_VERSION_TEXT_SIZE] = {};
    return scsSensorGetVersion(sensor, text);
}

TcsResult ensureVersion(ScsSensor* sensor, ScsSensorDevice* device) {
    if (device != nullptr && device->fwVersion != nullptr) return kOk;
    return readVersion(sensor);
}

namespace {

std::mutex gFlagsLock;
std::map<std::string, SecurityFlags>& flagTable() {
    static std::map<std::string, SecurityFlags> table;
    return table;
}

std::string deviceKey(const ScsSensorDevice* device) {
    return device != nullptr && device->name != nullptr ? std::string(device->name) : std::string();
}

}  // namespace

SecurityFlags securityFlags(const ScsSensorDevice* device) {
    std::lock_guard<std::mutex> hold(gFlagsLock);
    auto found = flagTable().find(deviceKey(device));
    return found == flagTable().end() ? SecurityFlags{} : found->second;
}

void setSecurityFlags(const ScsSensorDevice* device, const SecurityFlags& flags) {
    std::lock_guard<std::mutex> hold(gFlagsLock);
    flagTable()[deviceKey(device)] = flags;
}

}  // namespace tovdiag

using namespace tovdiag;

namespace {

constexpr uint32_t kFastPoll = 0x08000000u;
constexpr uint32_t kResetWaitMs = 5000;
constexpr uint32_t kResetTypeForWait = 10;

}  // namespace

extern "C" {

TcsResult tcsTestValidateTestSubsystem(const TcsTestContext* context) {
    if (context == nullptr) return kNullContext;
    if (context->client == 0) return kNoClient;
    if (context->stack == nullptr) return kNoStack;
    return kOk;
}

TcsResult tcsTestInitializeEx(TcsTestContext** outContext, uint32_t flags, const StartupOption* options,
                              EventCallback systemCallback, void* callbackContext) {
    if (outContext == nullptr) return kNullOut;
    if (systemCallback == nullptr) return kNullPointer;
    auto* context = static_cast<TcsTestContext*>(palRealMalloc(sizeof(TcsTestContext)));
    if (context == nullptr) return kNoMemory;
    context->stack = nullptr;
    context->client = 0;
    // The tool always runs the stack's own service thread, waking every 1 ms.
    TcsResult result = tcsStartupEx(&context->stack, (flags & ~TCS_START_NO_SERVICE_THREAD) | kFastPoll, options);
    if (result == kOk) result = tcsClientCreateSys(context->stack, &context->client);
    if (result == kOk) result = tcsClientEventsAddCallback(context->client, systemCallback, callbackContext);
    if (result != kOk) {
        // Nothing is handed out on failure, so nothing may stay running behind the caller's back.
        if (context->client != 0) tcsClientDestroy(context->client);
        if (context->stack != nullptr) tcsShutdown(context->stack);
        palRealFree(context);
        return result;
    }
    *outContext = context;
    return kOk;
}

TcsResult tcsTestInitialize(TcsTestContext** outContext, uint32_t flags, const uint32_t* values,
                            EventCallback systemCallback, void* callbackContext) {
    if (values == nullptr) return tcsTestInitializeEx(outContext, flags, nullptr, systemCallback, callbackContext);
    auto* list = static_cast<StartupOption*>(palRealMalloc(4 * sizeof(StartupOption)));
    if (list == nullptr) return kNoMemory;
    list[0] = {1, const_cast<uint32_t*>(&values[0])};
    list[1] = {2, const_cast<uint32_t*>(&values[1])};
    list[2] = {3, const_cast<uint32_t*>(&values[2])};
    list[3] = {0, nullptr};
    TcsResult result = tcsTestInitializeEx(outContext, flags, list, systemCallback, callbackContext);
    palRealFree(list);
    return result;
}

TcsResult tcsTestUninitialize(TcsTestContext* context, EventCallback systemCallback, void* callbackContext) {
    TcsResult result = tcsTestValidateTestSubsystem(context);
    if (result != kOk) return result;
    if (systemCallback == nullptr) return kNullPointer;
    result = tcsClientEventsRemoveCallback(context->client, systemCallback, callbackContext);
    if (result != kOk) return result;
    result = tcsClientDestroy(context->client);
    context->client = 0;
    if (result != kOk) return result;
    CoreSubsystem* stack = context->stack;
    palRealFree(context);
    return tcsShutdown(stack);
}

TcsResult tcsTestGetClientHandle(const TcsTestContext* context, TcsHandle* outClient) {
    TcsResult result = tcsTestValidateTestSubsystem(context);
    if (result != kOk) return result;
    if (outClient == nullptr) return kNullOut;
    *outClient = context->client;
    return kOk;
}

TcsResult tcsTestSensorOpen(TcsTestContext* context, TcsHandle* outSensor, const char* sensorId,
                            EventCallback sensorCallback, void* callbackContext) {
    TcsResult result = tcsTestValidateTestSubsystem(context);
    if (result != kOk) return result;
    if (outSensor == nullptr) return kNullOut;
    if (sensorId == nullptr) return kNullPointer;
    result = tcsSensorOpenA(context->client, sensorId, outSensor);
    if (result != kOk || sensorCallback == nullptr) return result;
    return tcsSensorEventsAddCallback(*outSensor, sensorCallback, callbackContext);
}

TcsResult tcsTestSensorClose(TcsHandle sensor, EventCallback sensorCallback, void* callbackContext) {
    if (sensor == 0) return kNullSensor;
    if (sensorCallback != nullptr) {
        TcsResult result = tcsSensorEventsRemoveCallback(sensor, sensorCallback, callbackContext);
        if (result != kOk) return result;
    }
    return tcsSensorClose(sensor);
}

TcsResult tcsTestIsSensorInitialized(TcsHandle handle) {
    if (handle == 0) return kNullSensor;
    Sensor sensor = fetchSensor(handle);
    if (sensor.record == nullptr) return sensor.result;
    uint32_t initialised = 0;
    if (scsIsSensorInitialized(sensor.scs(), &initialised) != kOk || initialised == 0) return kNotInitialised;
    return kOk;
}

TcsResult tcsTestResetEventsHandler(void*, void* waitRecord, EventRecord* event) {
    auto* wait = static_cast<TcsTestResetWait*>(waitRecord);
    if (wait == nullptr || event == nullptr) return kOk;
    if (event->id == TCS_SYSTEM_EVENT_SENSOR_REMOVED) {
        __atomic_store_n(&wait->removalSeen, 1u, __ATOMIC_RELEASE);
    } else if (event->id == TCS_SYSTEM_EVENT_SENSOR_READY && __atomic_load_n(&wait->removalSeen, __ATOMIC_ACQUIRE)) {
        wait->status = kOk;
        palEventSet(wait->event);
    }
    return kOk;
}

TcsResult tcsTestResetAndWait(TcsTestContext* context, const char* sensorId) {
    TcsResult result = tcsTestValidateTestSubsystem(context);
    if (result != kOk) return result;
    if (sensorId == nullptr) return kNullPointer;

    ScsSubsystem* control = context->stack->sensorControl;
    bool found = false;
    if (control != nullptr && scsLock(control->deviceListLock) == kOk) {
        for (PalListEntry* entry = control->activeDevices.next; entry != &control->activeDevices;
             entry = entry->next) {
            auto* device = PAL_LIST_RECORD(entry, ScsSensorDevice, links);
            if (device->name != nullptr && palStringsMatch(device->name, sensorId)) {
                found = true;
                break;
            }
        }
        scsUnlock(control->deviceListLock);
    }
    if (!found) return kOk;

    TcsTestResetWait wait{};
    wait.event = palEventAlloc(0, 0, nullptr);
    if (wait.event == nullptr) return kNoEvent;
    result = tcsClientEventsAddCallback(context->client, tcsTestResetEventsHandler, &wait);
    if (result != kOk) {
        palEventFree(wait.event);
        return result;
    }
    TcsHandle sensor = 0;
    result = tcsSensorOpenA(context->client, sensorId, &sensor);
    if (result == kOk) {
        Sensor opened = fetchSensor(sensor);
        result = opened.record != nullptr ? scsSensorReset(opened.scs(), kResetTypeForWait) : opened.result;
        TcsResult closed = tcsSensorClose(sensor);
        if (result == kOk) result = closed;
    }
    if (result == kOk) result = palEventWaitFor(wait.event, kResetWaitMs);
    TcsResult removed = tcsClientEventsRemoveCallback(context->client, tcsTestResetEventsHandler, &wait);
    if (removed != kOk) result = removed;
    palEventFree(wait.event);
    wait = TcsTestResetWait{};
    return result;
}

TcsResult tcsTestIsPersistentSettings(const uint8_t* sensorId6, const char* valueName, uint32_t* outValue) {
    if (sensorId6 == nullptr || valueName == nullptr || outValue == nullptr) return kNullPointer;
    char section[260] = {};
    TcsResult result =
        palGetPersistentKeyNameFromSensorId(reinterpret_cast<const char*>(sensorId6), section, sizeof section);
    if (result != kOk) return result;
    uint32_t value = 0;
    result = palGetPersistentDataLongValue(section, valueName, 0, &value);
    if (result != kOk) return result;
    *outValue = value;
    return kOk;
}

TcsResult tcsTestSafeHandlesInitialize(void) { return tcsSafeHandlesInitialize(); }
TcsResult tcsTestSafeHandlesUnInitialize(void) { return tcsSafeHandlesUnInitialize(); }

TcsResult tcsTestDisableResetRecovery(TcsTestContext* context, uint32_t flag) {
    TcsResult result = tcsTestValidateTestSubsystem(context);
    if (result != kOk) return result;
    return scsDisableResetRecovery(context->stack->sensorControl, flag);
}

TcsResult tcsTestDisableESDRecovery(TcsTestContext* context, uint32_t flag) {
    TcsResult result = tcsTestValidateTestSubsystem(context);
    if (result != kOk) return result;
    return scsDisableESDRecovery(context->stack->sensorControl, flag);
}

TcsResult tcsTestSensorEnable(PalSensorHandle* platformSensor) {
    if (platformSensor == nullptr) return kBadParam;
    return scsSensorEnable(platformSensor);
}

TcsResult tcsTestSensorGetId(TcsHandle handle, char* buffer, uint32_t size) {
    if (handle == 0) return kNullSensor;
    Sensor sensor = fetchSensor(handle);
    if (sensor.record == nullptr) return sensor.result;
    return scsSensorGetId(sensor.scs(), buffer, size);
}

TcsResult tcsTestDiscoverRemoteSensors(CoreSubsystem** stack) {
    if (stack == nullptr || *stack == nullptr) return kNullPointer;
    return tcsDiscoverRemoteSensors(*stack);
}

TcsResult tcsTestSensorFreeConfiguration(void* buffer) {
    palRealFree(buffer);
    return kOk;
}

TcsResult tcsTestSensorServiceManager(void) { return kNotImplemented; }
TcsResult tcsTestSensorSelectiveSuspend(void) { return kNotImplemented; }
TcsResult tcsTestIsEngineeringPort(void) { return kNotImplemented; }
TcsResult tcsTestGetEngineeringSensorsList(void) { return kNotImplemented; }
TcsResult tcsTestSendControlMessage(void) { return kNotImplemented; }
TcsResult tcsTestSensorSetLEDStateEx2(void) { return kUnsupported; }
TcsResult tcsTestSensorSPIFlash(void) { return kUnsupported; }
TcsResult tcsTestDunmoGetCFGTSBL(void) { return kUnsupported; }

}  // extern "C"
