// Snapshots of a sensor's print set-up: the record a capture file stores and the sensor tool's
// diagnostic record.
#include "platform/clock.h"
#include "platform/memory.h"
#include "tcs/sensorctl/calibration/cal_results.h"
#include "tcs/sensorctl/protocol/device_properties.h"
#include "tcs/sensorctl/init/housekeeping.h"
#include "tcs/sensorctl/protocol/protocol_state.h"
#include "tcs/sensorctl/engine/scs_internal.h"

#include <string.h>

namespace {

// An owned copy of length bytes; true also for nothing to copy.
bool copyBytes(const uint8_t* source, uint32_t length, uint8_t** out) {
    *out = nullptr;
    if (source == nullptr || length == 0) return true;
    *out = static_cast<uint8_t*>(palRealMalloc(length));
    if (*out == nullptr) return false;
    memcpy(*out, source, length);
    return true;
}

const PrintConfiguration* defaultConfig(ScsSensorDevice* device) {
    scsproto::DeviceState* state = scsproto::stateOf(device);
    const PrintConfiguration* config = state != nullptr ? state->defaultConfig : nullptr;
    return config == nullptr || scsIsDefaultPrintConfig(config) ? nullptr : config;
}

// Takes a device reference for the body and releases it on every path.
template <typename Body>
TcsResult withDevice(ScsSensor* sensor, Body body) {
    const TcsResult valid = scsSensorValidate(sensor);
    if (valid != TCS_RESULT_OK) return valid;
    ScsSensorDevice* device = nullptr;
    const TcsResult acquired = scsSensorDeviceAcquire(sensor, &device);
    if (acquired != TCS_RESULT_OK) return acquired;
    const TcsResult result = body(device);
    scsSensorDeviceRelease(device);
    return result;
}

}  // namespace

extern "C" {

TcsResult scsSensorGetPrintConfigurationData(ScsSensor* sensor, ScsPrintConfigurationData* outData) {
    if (outData == nullptr) return TCS_RESULT_BAD_PARAM;
    memset(outData, 0, sizeof *outData);
    const TcsResult result = withDevice(sensor, [&](ScsSensorDevice* device) -> TcsResult {
        ScsPrintConfigurationData& data = *outData;
        data.timeStamp = palGetDateTime();
        data.flexId = device->flexId;
        data.transportKind = device->transportKind;
        data.transportValue1 = device->transportValue1;
        data.transportValue2 = device->transportValue2;
        if (device->fwVersion != nullptr) {
            data.version = static_cast<ScsFwVersion*>(palRealMalloc(sizeof(ScsFwVersion)));
            if (data.version == nullptr) return TCS_RESULT_OUT_OF_MEMORY;
            memcpy(data.version, device->fwVersion, sizeof(ScsFwVersion));
        }
        if (!copyBytes(device->configReply, device->configReplyLength, &data.configReply)) {
            return TCS_RESULT_OUT_OF_MEMORY;
        }
        data.configReplyLength = data.configReply != nullptr ? device->configReplyLength : 0;
        if (const PrintConfiguration* config = defaultConfig(device)) {
            if (!copyBytes(config->blob, config->blobLength, &data.printParam)) return TCS_RESULT_OUT_OF_MEMORY;
            data.printParamLength = data.printParam != nullptr ? config->blobLength : 0;
            data.bitReduction[0] = config->fields[11];
            data.bitReduction[1] = config->fields[12];
        }
        // The time-slot table lies inside the reply; a reply without one leaves it empty.
        if (data.configReply != nullptr) {
            ScsReplyView reply{data.configReplyLength, data.configReply};
            ScsReplyView table{0, nullptr};
            if (scsFindTsTblInConfigReply(sensor, &reply, &table) == TCS_RESULT_OK && table.data != nullptr) {
                data.tsTable = table.data;
                data.tsTableLength = table.length;
            }
        }
        memcpy(data.printCommand, device->printCommand, sizeof data.printCommand);
        if (device->baselineInfo != nullptr) {
            auto* clone = static_cast<ScsBaseLineInfo*>(palRealMalloc(sizeof(ScsBaseLineInfo)));
            if (clone == nullptr) return TCS_RESULT_OUT_OF_MEMORY;
            if (scsCloneBaseLineInfo(static_cast<const ScsBaseLineInfo*>(device->baselineInfo), clone) != TCS_RESULT_OK) {
                palRealFree(clone);
                return TCS_RESULT_OUT_OF_MEMORY;
            }
            data.baseline = clone;
        }
        data.calResults = device->calResults;
        return TCS_RESULT_OK;
    });
    if (result != TCS_RESULT_OK) scsSensorFreePrintConfigurationData(outData);
    return result;
}

TcsResult scsSensorFreePrintConfigurationData(ScsPrintConfigurationData* data) {
    if (data == nullptr) return TCS_RESULT_OK;
    palRealFree(data->version);
    palRealFree(data->configReply);
    palRealFree(data->printParam);
    if (data->baseline != nullptr) scsFreeBaseLineInfo(static_cast<ScsBaseLineInfo*>(data->baseline));
    palRealFree(data->baseline);
    memset(data, 0, sizeof *data);
    return TCS_RESULT_OK;
}

TcsResult scsSensorGetHarlokData(ScsSensor* sensor, ScsHarlokData* outData) {
    if (outData == nullptr) return TCS_RESULT_NULL_POINTER;
    memset(outData, 0, sizeof *outData);
    const TcsResult result = withDevice(sensor, [&](ScsSensorDevice* device) -> TcsResult {
        ScsHarlokData& data = *outData;
        data.timeStamp = palGetDateTime();
        data.flexId = device->flexId;
        data.transportKind = device->transportKind;
        data.transportValue1 = device->transportValue1;
        data.transportValue2 = device->transportValue2;
        if (device->fwVersion != nullptr) {
            memcpy(data.version, device->fwVersion,
                   sizeof(ScsFwVersion) < sizeof data.version ? sizeof(ScsFwVersion) : sizeof data.version);
        }
        if (!copyBytes(device->configReply, device->configReplyLength, &data.configReply)) {
            return TCS_RESULT_OUT_OF_MEMORY;
        }
        data.configReplyLength = data.configReply != nullptr ? device->configReplyLength : 0;
        if (const PrintConfiguration* config = defaultConfig(device)) {
            if (!copyBytes(config->blob, config->blobLength, &data.printParam)) return TCS_RESULT_OUT_OF_MEMORY;
            data.printParamLength = data.printParam != nullptr ? config->blobLength : 0;
        }
        memcpy(data.printCommand, device->printCommand, sizeof data.printCommand);
        if (device->calResults != nullptr) {
            CalOldFormatRecord old{};
            if (calResultsGetResultsInOldFormat(static_cast<CalResultsContainer*>(device->calResults), &old) ==
                TCS_RESULT_OK) {
                data.calUsesDefaults = old.usesDefaults;
                data.calGetPrintStatus = old.getPrintStatus;
                const uint32_t count = old.count < 255 ? old.count : 255;
                if (old.words != nullptr) memcpy(data.calWords, old.words, count * sizeof(uint32_t));
                data.calCount = old.words != nullptr ? count : 0;
                palRealFree(old.words);
            }
        }
        return TCS_RESULT_OK;
    });
    if (result != TCS_RESULT_OK) {
        scsSensorFreeHarlokData(outData);
        memset(outData, 0, sizeof *outData);
    }
    return result;
}

TcsResult scsSensorFreeHarlokData(ScsHarlokData* data) {
    if (data == nullptr) return TCS_RESULT_NULL_POINTER;
    palRealFree(data->configReply);
    palRealFree(data->printParam);
    data->configReply = nullptr;
    data->printParam = nullptr;
    data->configReplyLength = 0;
    data->printParamLength = 0;
    return TCS_RESULT_OK;
}

}  // extern "C"
