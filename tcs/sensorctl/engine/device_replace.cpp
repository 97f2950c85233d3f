// Sensor handles bound again to a device that came back: after a resume, a reset or a return to the
// bus under a new device record, every handle opened under the device's name works on it again.
#include "platform/text.h"
#include "tcs/sensorctl/engine/scs_internal.h"

#include <initializer_list>

namespace {

// The device now listed under the name: one still initialising, or one that has become ready (the
// resume recovery runs once its device has moved to the active list, and a caller that waited for
// the sensor to be ready finds it there too). The caller holds the device-list lock.
ScsSensorDevice* returnedDevice(ScsSubsystem* subsystem, const char* name) {
    for (PalListEntry* list : {&subsystem->initialisingDevices, &subsystem->activeDevices}) {
        for (PalListEntry* node = list->next; node != list; node = node->next) {
            ScsSensorDevice* device = PAL_LIST_RECORD(node, ScsSensorDevice, links);
            if (device->name != nullptr && palStringsIMatch(device->name, name)) return device;
        }
    }
    return nullptr;
}

void bind(ScsSubsystem* subsystem, ScsSensor* sensor, ScsSensorDevice* device) {
    scsLock(subsystem->referenceLock);
    // Atomic: callers validate their handles on their own threads without this lock.
    __atomic_store_n(&sensor->device, device, __ATOMIC_RELEASE);
    scsUnlock(subsystem->referenceLock);
    // The same sensor come back has the same transport and family: written only when they differ,
    // as the service thread reads them while a database rebinds from its own thread.
    if (sensor->transportKind != device->transportKind) sensor->transportKind = device->transportKind;
    const auto calibrate = device->productFamily == SCS_FAMILY_1 || device->productFamily == SCS_FAMILY_2
                               ? scsSensorHarlokCalibrate
                               : nullptr;
    if (sensor->calibrate != calibrate) sensor->calibrate = calibrate;
}

}  // namespace

extern "C" {

TcsResult scsResumeRecovery(ScsSubsystem* subsystem, const char* deviceName) {
    if (subsystem == nullptr || deviceName == nullptr) return TCS_RESULT_BAD_PARAM;
    // The device-list lock keeps the device from leaving while handles are pointed at it; the order
    // (device list, client list, a client's sensors, references) is the one removal takes.
    scsLock(subsystem->deviceListLock);
    ScsSensorDevice* device = returnedDevice(subsystem, deviceName);
    if (device != nullptr) {
        scsForEachSensorHandle(subsystem, [&](ScsSensor* sensor) {
            if (sensor->sensorId != nullptr && palStringsIMatch(sensor->sensorId, deviceName)) {
                bind(subsystem, sensor, device);
            }
        });
    }
    scsUnlock(subsystem->deviceListLock);
    return TCS_RESULT_OK;
}

TcsResult scsSensorDeviceReplace(ScsSensor* sensor, const char* deviceName) {
    if (sensor == nullptr) return TCS_RESULT_NULL_SENSOR_HANDLE;
    ScsSubsystem* subsystem = sensor->client != nullptr ? sensor->client->subsystem : nullptr;
    if (subsystem == nullptr) return TCS_RESULT_BAD_PARAM;
    return scsResumeRecovery(subsystem, deviceName);
}

}  // extern "C"
