// Device housekeeping: the wake-on-event set-up, the power-up baseline and flex-id detection, and
// the flat device operations around fingerprint buffers, suspend and reset.
#include "tcs/sensorctl/init/housekeeping.h"

#include "platform/clock.h"
#include "platform/pnp.h"
#include "platform/settings.h"
#include "tcs/imaging/reconstruction/baseline.h"
#include "tcs/imaging/reconstruction/flex_info.h"
#include "tcs/sensorctl/calibration/calibration.h"
#include "tcs/sensorctl/protocol/patch_loader.h"
#include "tcs/sensorctl/protocol/print_defaults.h"
#include "tcs/sensorctl/protocol/protocol_state.h"
#include "tcs/sensorctl/protocol/sensor_commands.h"
#include "tcs/sensorctl/protocol/sensor_commands_more.h"
#include "tcs/sensorctl/engine/sync_wait.h"

#include <cstring>
#include "tcs/sensorctl/protocol/wire_builders.h"

// The wake-on-event set-up that calibration chose, sent to the sensor.
TcsResult _scsSensorHarlokWOESetup(ScsSensor* sensor) {
    uint8_t* setup = nullptr;
    uint32_t length = 0;
    TcsResult result = scsSensorHarlokCalGetWoeSetup(sensor, &setup, &length, 0);
    if (result == TCS_RESULT_OK) result = scsSensorWOESetup(sensor, length, setup);
    palRealFree(setup);
    return result;
}

namespace {

constexpr uint32_t kBaselineLines = 20;
constexpr uint32_t kScanLineHeader = 8;
constexpr uint32_t kFlexIdTransport2 = 58;
constexpr uint32_t kFlexIdDefault = 14;

// The sensor's own settings section, when the settings store gives the sensor one.
bool sensorSection(const ScsSensorDevice* device, char* section, uint32_t size) {
    if (device->name == nullptr) return false;
    return palGetPersistentKeyNameFromSensorId(device->name, section, size) == TCS_RESULT_OK && section[0] != 0;
}

bool runsDirectly(const ScsSubsystem* subsystem) {
    return !scsServiceThreadKnown(subsystem) || scsIsServiceThread(subsystem);
}

TcsResult queueAndWait(ScsSubsystem* subsystem, uint32_t type, void* object, TcsResult notRun);

}  // namespace

TcsResult _scsGetBaselineData(ScsBaselineContext* context) {
    if (context == nullptr || context->sensor == nullptr || context->process == nullptr) return TCS_RESULT_BAD_PARAM;
    ScsSensor* sensor = context->sensor;
    TcsResult result = scsDownloadGetPrintPatch(sensor, 0);
    if (result != TCS_RESULT_OK) return result;
    PrintConfiguration* config = nullptr;
    result = scsSensorGetDefaultPrintConfiguration(sensor, &config);
    if (result != TCS_RESULT_OK) return result;
    if (config == nullptr) return TCS_RESULT_NULL_POINTER;
    uint32_t lineLength = 0;
    result = scsSensorGetUint32DataFromPrintConfig(sensor, config, SCS_PC_LINE_LENGTH, &lineLength);
    if (result != TCS_RESULT_OK) return result;
    if (lineLength == 0) return TCS_RESULT_BAD_PARAM;
    uint32_t lines = context->lineCount;
    // A transfer that ends exactly on a 64-byte packet boundary is not seen as complete by the
    // sensor's pipe, so one more line is asked for.
    if ((uint64_t(lines) * lineLength) % 64 == 0) ++lines;
    const uint64_t size = uint64_t(lines) * lineLength;
    if (lines > 0xFFFF || size > 0xFFFFFFFFull) return TCS_RESULT_BAD_PARAM;
    auto* buffer = static_cast<uint8_t*>(palRealMalloc(uint32_t(size)));
    if (buffer == nullptr) return TCS_RESULT_OUT_OF_MEMORY;
    scsproto::DeviceState* state = scsproto::stateOf(sensor->device);
    const uint32_t value = state != nullptr && state->selkin ? 4 : 20;
    ScsReplyView reply{};
    result = scsSensorGetCountedLinesSynch(sensor, buffer, uint32_t(size), uint16_t(lines), 2, value, config, &reply);
    // The reply's copy of the configuration reply is ours; the device keeps its own.
    palRealFree(reply.data);
    if (result == TCS_RESULT_OK) result = context->process(context, buffer);
    palRealFree(buffer);
    return result;
}

TcsResult _scsDetermineFlexId(ScsFlexIdContext* context) {
    if (context == nullptr || context->sensor == nullptr || context->process == nullptr) return TCS_RESULT_BAD_PARAM;
    ScsSensor* sensor = context->sensor;
    const TcsResult valid = scsSensorValidate(sensor);
    if (valid != TCS_RESULT_OK) return valid;
    ScsSensorDevice* device = sensor->device;
    const StartupOptionBlock* options = device->subsystem != nullptr ? &device->subsystem->startOptions : nullptr;
    if (options != nullptr && options->flexId != 0) {
        context->flexId = options->flexId;
        device->flexId = context->flexId;
        return TCS_RESULT_OK;
    }
    char section[256] = {};
    if (device->transportKind != 2 && sensorSection(device, section, sizeof section)) {
        uint32_t stored = 0;
        if (palGetPersistentDataLongValue(section, "FlexId", 0, &stored) == TCS_RESULT_OK && stored != 0) {
            context->flexId = stored;
            device->flexId = stored;
            return TCS_RESULT_OK;
        }
    }
    TcsResult result = TCS_RESULT_OK;
    if (device->fwVersion == nullptr) {
        char text[80];
        result = scsSensorGetVersion(sensor, text);
        if (result != TCS_RESULT_OK) return result;
    }
    // A family without built-in lists refuses the lookup; it has no detection configuration
    // either, so it takes the transport's default like a list without one.
    PrintConfiguration* config = nullptr;
    if (scsSensorFindPrintConfiguration(device, 0, 0, 0, 0, &config) != TCS_RESULT_OK) config = nullptr;
    if (config != nullptr) {
        uint32_t lineLength = 0;
        result = scsDownloadGetPrintPatch(sensor, 0);
        if (result == TCS_RESULT_OK) {
            result = scsSensorGetUint32DataFromPrintConfig(sensor, config, SCS_PC_LINE_LENGTH, &lineLength);
        }
        if (result == TCS_RESULT_OK && lineLength == 0) result = TCS_RESULT_BAD_PARAM;
        uint8_t* line = result == TCS_RESULT_OK ? static_cast<uint8_t*>(palRealMalloc(lineLength)) : nullptr;
        if (result == TCS_RESULT_OK && line == nullptr) result = TCS_RESULT_OUT_OF_MEMORY;
        if (result == TCS_RESULT_OK) {
            ScsReplyView reply{};
            result = scsSensorGetCountedLinesSynch(sensor, line, lineLength, 1, 0, 4, config, &reply);
            palRealFree(reply.data);
            if (result == TCS_RESULT_OK) result = context->process(context, line, lineLength);
        }
        palRealFree(line);
        scsHarlokFreePrintConfig(&config);
    } else {
        context->flexId = device->transportKind == 2 ? kFlexIdTransport2 : kFlexIdDefault;
    }
    if (result == TCS_RESULT_OK) device->flexId = context->flexId;
    return result;
}

TcsResult scsDetermineFlexId(ScsSubsystem* subsystem, ScsFlexIdContext* context) {
    if (subsystem == nullptr || context == nullptr || context->sensor == nullptr) return TCS_RESULT_BAD_PARAM;
    if (runsDirectly(subsystem)) return _scsDetermineFlexId(context);
    return queueAndWait(subsystem, scsWitIdDetermineFlexId, context, TCS_RESULT_TIMEOUT);
}

TcsResult scsSensorDetermineFlexId(ScsSensor* sensor) {
    if (sensor == nullptr || sensor->client == nullptr || sensor->client->subsystem == nullptr) {
        return TCS_RESULT_BAD_PARAM;
    }
    ScsFlexIdContext context{sensor, nullptr, 0, &scsHarlokProcessFlexIdData};
    return scsDetermineFlexId(sensor->client->subsystem, &context);
}

TcsResult scsSesnorGetBaselineData(ScsSensor* sensor, ScsBaselineRecord* outRecord) {
    if (sensor == nullptr || outRecord == nullptr) return TCS_RESULT_BAD_PARAM;
    ScsSensorDevice* device = nullptr;
    TcsResult result = scsSensorDeviceAcquire(sensor, &device);
    if (result != TCS_RESULT_OK) return result;
    const FlexInfoRecord* flex = dliFindFlexInfo(int32_t(device->flexId));
    const uint32_t family = device->productFamily;
    scsSensorDeviceRelease(device);
    if (flex == nullptr) return TCS_RESULT_NULL_POINTER;
    if (family != SCS_FAMILY_1 && family != SCS_FAMILY_2) return TCS_RESULT_BAD_PARAM;
    if (sensor->client == nullptr || sensor->client->subsystem == nullptr) return TCS_RESULT_NULL_POINTER;
    ScsSubsystem* subsystem = sensor->client->subsystem;

    ScsBaselineRecord record{};
    ScsBaselineContext context{sensor, kBaselineLines, &record, &scsHarlokGetBaselineData, flex};
    result = runsDirectly(subsystem) ? _scsGetBaselineData(&context)
                                     : queueAndWait(subsystem, scsWitIdGetBaselineData, &context, TCS_RESULT_TIMEOUT);
    if (result != TCS_RESULT_OK) {
        palRealFree(record.data);
        return result;
    }
    *outRecord = record;
    return TCS_RESULT_OK;
}

TcsResult scsSensorValidateAndProcessBaseLineData(ScsSensor* sensor, const ScsBaselineRecord* image,
                                                  ScsBaseLineImage* outRecord) {
    if (sensor == nullptr || image == nullptr || outRecord == nullptr) return TCS_RESULT_BAD_PARAM;
    ScsSensorDevice* device = nullptr;
    TcsResult result = scsSensorDeviceAcquire(sensor, &device);
    if (result != TCS_RESULT_OK) return result;
    char section[256] = {};
    const bool ownSection = sensorSection(device, section, sizeof section);
    uint32_t variance = device->baselineVariance;
    if (ownSection) palGetPersistentDataLongValue(section, "baselineVariance", variance, &variance);
    const FlexInfoRecord* flex = dliFindFlexInfo(int32_t(device->flexId));
    if (flex == nullptr) {
        scsSensorDeviceRelease(device);
        return TCS_RESULT_NULL_POINTER;
    }
    // A capture shorter than its line count claims is refused rather than read past its end.
    if (image->lines == 0 || image->lines > 0xFFFFFFFFull || image->data == nullptr ||
        image->length / image->lines == 0 || image->length / image->lines > 0xFFFFFFFFull) {
        scsSensorDeviceRelease(device);
        return TCS_RESULT_BAD_PARAM;
    }
    BaselineInput input{0, uint32_t(image->length / image->lines), uint32_t(image->lines), image->data};
    // The unpacking reads control words beyond the table's own 1408 bytes, so it is given the
    // whole configuration reply.
    const uint32_t replyLength = device->configReply != nullptr ? device->configReplyLength : 0;
    const uint32_t tableLength = replyLength < 1408 ? replyLength : 1408;
    BaselineOutput output{};
    const uint32_t before = variance;
    result = ProcessBaselineData(flex, tableLength, reinterpret_cast<const uint32_t*>(device->configReply),
                                 replyLength, kScanLineHeader, &input, &variance, &output);
    if (result == TCS_RESULT_OK && variance != before) {
        device->baselineVariance = variance;
        if (ownSection) palSetPersistentDataLongValue(section, "baselineVariance", variance);
    }
    scsSensorDeviceRelease(device);
    if (result != TCS_RESULT_OK) return result;
    if (input.status == kBaselineValid) {
        outRecord->kind = output.one;
        outRecord->width = output.blockSize;
        outRecord->height = output.one2;
        outRecord->reserved = 0;
        outRecord->pixels = output.block;
    }
    return TCS_RESULT_OK;
}

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
    if (runsDirectly(subsystem)) return _scsSensorHarlokWOESetup(context->sensor);
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
    // One test-and-set: initialisation's calibration and another caller's set the kind from other
    // threads, and only one of them may start a calibration.
    uint8_t none = 0;
    const bool started =
        __atomic_compare_exchange_n(&device->captureModeByte, &none, type, false, __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE);
    scsSensorDeviceRelease(device);
    if (!started) return TCS_RESULT_SENSOR_BUSY;
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
