// Device housekeeping: the wake-on-event set-up; stand-in bodies (6) for the baseline and flex-id
// work until device initialisation's processing routines land.
#include "tcs/sensorctl/housekeeping.h"

#include "platform/clock.h"
#include "platform/pnp.h"
#include "tcs/sensorctl/sensor_commands_more.h"
#include "tcs/sensorctl/sync_wait.h"

#include <cstring>
#include "tcs/sensorctl/wire_builders.h"

// Weak, so the real body wins wherever it is linked in, without a duplicate definition.
#define SCS_STAND_IN __attribute__((weak))

// The wake-on-event set-up that calibration chose, sent to the sensor.
TcsResult _scsSensorHarlokWOESetup(ScsSensor* sensor) {
    uint8_t* setup = nullptr;
    uint32_t length = 0;
    TcsResult result = scsSensorHarlokCalGetWoeSetup(sensor, &setup, &length, 0);
    if (result == TCS_RESULT_OK) result = scsSensorWOESetup(sensor, length, setup);
    palRealFree(setup);
    return result;
}
SCS_STAND_IN TcsResult _scsGetBaselineData(ScsSensor*) { return TCS_RESULT_NOT_IMPLEMENTED; }
SCS_STAND_IN TcsResult _scsDetermineFlexId(ScsSensor*) { return TCS_RESULT_NOT_IMPLEMENTED; }

TcsResult scsSensorPostFingerprintBufferEx(ScsSensor* sensor, uint8_t* buffer, uint32_t size, uint32_t,
                                           ScsFpBufferCallback callback, void* context) {
    const TcsResult valid = scsSensorValidate(sensor);
    if (valid != TCS_RESULT_OK) return valid;
    if (buffer == nullptr) return TCS_RESULT_BAD_PARAM;
    return scsQueueFpBufferDescriptor(sensor->device, buffer, size, callback, context);
}

TcsResult scsSensorPostFingerprintBuffer(ScsSensor* sensor, uint8_t* buffer, uint32_t size,
                                         ScsFpBufferCallback callback, void* context) {
    return scsSensorPostFingerprintBufferEx(sensor, buffer, size, 0, callback, context);
}

TcsResult scsSensorGetRetransmissionTimeout(ScsSensor* sensor, uint32_t* outTimeoutMs) {
    if (outTimeoutMs == nullptr) return TCS_RESULT_BAD_PARAM;
    const TcsResult valid = scsSensorValidate(sensor);
    if (valid != TCS_RESULT_OK) return valid;
    uint32_t returned = 0;
    return scsSensorSend(sensor->device, 0x829, nullptr, 0, outTimeoutMs, sizeof *outTimeoutMs, &returned, nullptr);
}

TcsResult scsSensorHWReset(ScsSensor* sensor) {
    const TcsResult valid = scsSensorValidate(sensor);
    if (valid != TCS_RESULT_OK) return valid;
    const TcsResult result = palSensorHWReset(sensor->device->platformHandle);
    palSleep(4000);
    return result;
}

namespace {

// Queues a subsystem item whose completion wakes the caller, and waits for it. The wait record is
// shared with the completion, so an item that finishes after the caller gave up finds live memory.
TcsResult queueAndWait(ScsSubsystem* subsystem, uint32_t type, void* object, TcsResult notRun) {
    scs::SyncWait* wait = scs::syncWaitCreate();
    if (wait == nullptr) return TCS_RESULT_OUT_OF_MEMORY;
    const TcsResult queued = palWorkItemEnqueue(&subsystem->workList, type, SCS_WIT_TIMEOUT_MS, object,
                                                reinterpret_cast<uintptr_t>(&scs::syncWaitComplete),
                                                reinterpret_cast<uintptr_t>(wait), 1, nullptr);
    if (queued != TCS_RESULT_OK) {
        scs::syncWaitRelease(wait);
        scs::syncWaitRelease(wait);
        return queued;
    }
    const TcsResult waited = scsSubsystemWaitForResponse(subsystem, wait->event, SCS_WIT_TIMEOUT_MS);
    const TcsResult result = waited == TCS_RESULT_OK ? wait->status : notRun == TCS_RESULT_OK ? notRun : waited;
    scs::syncWaitRelease(wait);
    return result;
}

}  // namespace

TcsResult scsSensorHarlokWOESetup(ScsSubsystem* subsystem, ScsWoeSetupContext* context) {
    if (subsystem == nullptr || context == nullptr || context->sensor == nullptr) return TCS_RESULT_BAD_PARAM;
    const bool direct =
        !subsystem->serviceThreadSet || palIsCurrentThread(subsystem->serviceThread, nullptr);
    if (direct) return _scsSensorHarlokWOESetup(context->sensor);
    return queueAndWait(subsystem, scsWitIdWoeSetup, context->sensor, TCS_RESULT_TIMEOUT);
}

TcsResult scsUpdateAvailableDeviceList(ScsSubsystem* subsystem) {
    if (subsystem == nullptr) return TCS_RESULT_NULL_POINTER;
    if (subsystem->deviceListLock == nullptr || scsLock(subsystem->deviceListLock) != TCS_RESULT_OK) {
        return TCS_RESULT_INVALID;
    }
    palPnpResetStillAvailableFlag(subsystem->pnp);
    auto add = [&](PalListEntry* list, bool announcedOnly) {
        for (PalListEntry* node = list->next; node != list; node = node->next) {
            ScsSensorDevice* device = PAL_LIST_RECORD(node, ScsSensorDevice, links);
            if (device->name == nullptr || (announcedOnly && device->announced != 1)) continue;
            palPnpAddToAvailableDeviceList(subsystem->pnp, device->name,
                                           device->resetRecovery == 1 ? reinterpret_cast<uintptr_t>(device) : 0);
        }
    };
    add(&subsystem->initialisingDevices, false);
    add(&subsystem->activeDevices, true);
    scsUnlock(subsystem->deviceListLock);
    return TCS_RESULT_OK;
}

TcsResult scsSensorCalibrate(ScsSensor* sensor, uint8_t type) {
    if (sensor == nullptr || sensor->client == nullptr || sensor->client->subsystem == nullptr) {
        return TCS_RESULT_NULL_POINTER;
    }
    ScsSensorDevice* device = nullptr;
    const TcsResult acquired = scsSensorDeviceAcquire(sensor, &device);
    if (acquired != TCS_RESULT_OK) return acquired;
    const bool running = device->captureModeByte != 0;
    if (!running) device->captureModeByte = type;
    scsSensorDeviceRelease(device);
    if (running) return TCS_RESULT_SENSOR_BUSY;
    return queueAndWait(sensor->client->subsystem, scsWitIdSensorCalibrate, sensor, TCS_RESULT_TIMEOUT);
}

TcsResult scsPrepareForSuspend(ScsSubsystem* subsystem) {
    if (subsystem == nullptr) return TCS_RESULT_BAD_PARAM;
    return queueAndWait(subsystem, scsWitIdSystemPrepareForSuspend, subsystem, TCS_RESULT_OK);
}

TcsResult scsCloneBaseLineInfo(const ScsBaseLineInfo* source, ScsBaseLineInfo* target) {
    if (source == nullptr || target == nullptr) return TCS_RESULT_BAD_PARAM;
    ScsBaseLineInfo copy{};
    for (int i = 0; i < 3; ++i) {
        const ScsBaseLineImage& from = source->images[i];
        if (from.pixels == nullptr) continue;
        copy.images[i] = from;
        const size_t size = size_t(from.width) * from.height;
        copy.images[i].pixels = static_cast<uint8_t*>(palRealMalloc(uint32_t(size == 0 ? 1 : size)));
        if (copy.images[i].pixels == nullptr) {
            scsFreeBaseLineInfo(&copy);
            return TCS_RESULT_INVALID;
        }
        std::memcpy(copy.images[i].pixels, from.pixels, size);
    }
    *target = copy;
    return TCS_RESULT_OK;
}

TcsResult scsFreeBaseLineInfo(ScsBaseLineInfo* info) {
    if (info == nullptr) return TCS_RESULT_BAD_PARAM;
    for (ScsBaseLineImage& image : info->images) {
        palRealFree(image.pixels);
        image.pixels = nullptr;
    }
    return TCS_RESULT_OK;
}
