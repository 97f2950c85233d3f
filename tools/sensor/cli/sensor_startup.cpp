// Tool start-up: brings the stack up through the diagnostic layer, waits for the sensor to be ready,
// opens it, and later closes it and shuts down; also the two key callbacks the stack calls while it
// sets up the secure link to an owned sensor, both reading per-sensor values from the settings store.
#include "tools/sensor/cli/sensor_tool.h"

#include "platform/memory.h"
#include "platform/settings.h"
#include "platform/threads.h"

#include <stdio.h>
#include <string.h>

namespace {

constexpr uint32_t kReadyWaitMs = 100000;
constexpr const char* kBaseSection = "SOFTWARE\\Tovantic\\sensor.exe";

struct SensorContext {
    uint32_t ready;
    PalEvent* readyEvent;
    uint32_t readyStatus;
    char sensorId[260];
    TcsHandle clientHandle;
    TcsHandle sensorHandle;
    TcsTestContext* diagnosticContext;
};

SensorContext gSensorContext;

}  // namespace

void SensorKeySection(const uint8_t* id, char* out260) {
    snprintf(out260, 260, "%s\\%02X%02X%02X%02X%02X%02X", kBaseSection, id[0], id[1], id[2], id[3], id[4], id[5]);
}

StartupOption* SensorBuildStartupOptions() {
    uint32_t count = 3 + (gSwipeSpeed != 0) + (gSoClock != 0) + (gFlexId != 0);
    auto* list = static_cast<StartupOption*>(palRealMalloc(uint32_t(count * sizeof(StartupOption))));
    if (list == nullptr) return nullptr;
    uint32_t n = 0;
    list[n++] = {4, reinterpret_cast<void*>(&SignDataByHAPrivKey)};
    list[n++] = {5, reinterpret_cast<void*>(&GetSensorPubKey)};
    if (gSwipeSpeed != 0) list[n++] = {1, &gSwipeSpeed};
    if (gSoClock != 0) list[n++] = {2, &gSoClock};
    if (gFlexId != 0) list[n++] = {3, &gFlexId};
    list[n] = {0, nullptr};
    return list;
}

TcsResult tcsClientEventsCallback(void* handle, void*, EventRecord* event) {
    switch (tcsEventGetId(event)) {
    case TCS_SYSTEM_EVENT_SENSOR_READY: {
        const char* id = static_cast<const char*>(tcsEventGetData(event));
        gSensorContext.sensorId[0] = '\0';
        if (id != nullptr) {
            // The event's size bounds the copy: its text need not be terminated within the record.
            uint32_t size = tcsEventGetDataSize(event);
            if (size > sizeof gSensorContext.sensorId - 1) size = sizeof gSensorContext.sensorId - 1;
            strncpy(gSensorContext.sensorId, id, size);
            gSensorContext.sensorId[size] = '\0';
        }
        gSensorContext.ready = 1;
        gSensorContext.clientHandle = TcsHandle(reinterpret_cast<uintptr_t>(handle));
        gSensorContext.readyStatus = tcsEventGetStatus(event);
        if (gSensorContext.readyEvent != nullptr) palEventSet(gSensorContext.readyEvent);
        break;
    }
    case 8:
        printf("Waiting for finger swipe...\n");
        fflush(stdout);
        break;
    default:
        break;
    }
    return TCS_RESULT_OK;
}

TcsHandle GetSensor(uint32_t flags) {
    memset(&gSensorContext, 0, sizeof gSensorContext);
    gSensorContext.readyEvent = palEventAlloc(0, 0, nullptr);
    if (gSensorContext.readyEvent == nullptr) return 0;
    StartupOption* list = SensorBuildStartupOptions();
    if (list == nullptr) {
        printf("Memory allocation FAILED\n");
        return 0;
    }
    if (tcsTestInitializeEx(&gSensorContext.diagnosticContext, flags, list, tcsClientEventsCallback,
                            &gSensorContext) != TCS_RESULT_OK) {
        printf("tcsTestInitialize FAILED\n");
        palRealFree(list);
        return 0;
    }
    palEventWaitFor(gSensorContext.readyEvent, kReadyWaitMs);
    palEventReset(gSensorContext.readyEvent);
    if (gSensorContext.ready == 0) {
        printf("Sensor isn't detected or isn't ready for use.\n Please unplug and then plug the sensor and try "
               "again\n");
        palRealFree(list);
        return 0;
    }
    if (gSensorContext.readyStatus == TCS_RESULT_READY_NO_SECURE_SESSION) {
        printf("WARNING!\nSecure session is not established with sensor. \nOnly sensor security state API is "
               "available.\n");
    }
    if (tcsTestSensorOpen(gSensorContext.diagnosticContext, &gSensorContext.sensorHandle, gSensorContext.sensorId,
                          nullptr, nullptr) != TCS_RESULT_OK) {
        printf("tcsTestSensorOpen FAILED\n");
        gSensorContext.sensorHandle = 0;
    }
    palRealFree(list);
    return gSensorContext.sensorHandle;
}

int UpdateSensor(TcsHandle* handle) {
    if (gSensorContext.sensorHandle == 0) return 0;
    if (tcsTestSensorClose(gSensorContext.sensorHandle, nullptr, nullptr) != TCS_RESULT_OK) return 0;
    gSensorContext.sensorHandle = 0;
    gSensorContext.ready = 0;
    palEventWaitFor(gSensorContext.readyEvent, kReadyWaitMs);
    if (gSensorContext.ready == 0) return 0;
    TcsHandle opened = 0;
    if (tcsTestSensorOpen(gSensorContext.diagnosticContext, &opened, gSensorContext.sensorId, nullptr, nullptr) !=
        TCS_RESULT_OK) {
        return 0;
    }
    gSensorContext.sensorHandle = opened;
    *handle = opened;
    return 1;
}

TcsResult DestroySensor() {
    tcsTestSensorClose(gSensorContext.sensorHandle, nullptr, nullptr);
    gSensorContext.sensorHandle = 0;
    TcsResult result = tcsTestUninitialize(gSensorContext.diagnosticContext, tcsClientEventsCallback, &gSensorContext);
    if (result != TCS_RESULT_OK) printf("tcsTestUninitialize FAILED\n");
    else gSensorContext.diagnosticContext = nullptr;
    if (gSensorContext.readyEvent != nullptr) palEventFree(gSensorContext.readyEvent);
    gSensorContext.readyEvent = nullptr;
    return result;
}

TcsHandle GetClientHandle() {
    return gSensorContext.clientHandle;
}

uint8_t GetCommandProtocolVersion() {
    uint8_t version = 255;
    tcsTestGetCmdProtocolVersion(g_hSensor, &version);
    // Sensor control reports this stack's one protocol as 4, its successor; the handlers compare
    // with 1, as the diagnostic layer's own checks take 4 for 1.
    return version == 4 ? 1 : version;
}

TcsResult GetSensorPubKey(const uint8_t* sensorId, uint32_t, uint8_t* buffer, uint32_t length) {
    if (sensorId == nullptr || buffer == nullptr) return TCS_RESULT_NULL_POINTER;
    char section[260];
    SensorKeySection(sensorId, section);
    const uint8_t none = 0;
    uint32_t size = length;
    return palGetPersistentDataBinaryValue(section, "SPrivMod", &none, 1, buffer, &size);
}

TcsResult SignDataByHAPrivKey(const uint8_t* sensorId, uint32_t, const uint8_t* data, uint32_t length,
                              uint32_t hashId, uint8_t* signature, uint32_t* signatureLength) {
    if (sensorId == nullptr) return TCS_RESULT_NULL_POINTER;
    char section[260];
    SensorKeySection(sensorId, section);
    const uint8_t none = 0;
    uint32_t size = 0;
    TcsResult result = palGetPersistentDataBinaryValue(section, "HAPrivKey", &none, 1, nullptr, &size);
    if (result != TCS_RESULT_OK) return result;
    if (size == 0) return TCS_RESULT_BAD_PARAM;
    auto* blob = static_cast<uint8_t*>(palRealMalloc(size));
    if (blob == nullptr) return TCS_RESULT_OUT_OF_MEMORY;
    result = palGetPersistentDataBinaryValue(section, "HAPrivKey", &none, 1, blob, &size);
    if (result == TCS_RESULT_OK) {
        result = tcsTestSignDataByPrivK(blob, size, data, length, hashId, signature, signatureLength);
    }
    // The private key never outlives the call in memory.
    volatile uint8_t* wipe = blob;
    for (uint32_t i = 0; i < size; ++i) wipe[i] = 0;
    palRealFree(blob);
    return result;
}
