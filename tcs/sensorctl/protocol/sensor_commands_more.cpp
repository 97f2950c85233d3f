// Synchronous sensor commands with larger replies: print signature, decommission, the PM-sector
// rewrite, on-chip template commands, authentication data, SPI fast read and
// the wake-on-event set-up.
#include "tcs/sensorctl/protocol/sensor_commands_more.h"

#include "platform/settings.h"
#include "tcs/sensorctl/secure/chip_session.h"
#include "tcs/sensorctl/protocol/command_args.h"
#include "tcs/sensorctl/protocol/patch_loader.h"
#include "tcs/sensorctl/protocol/patches.h"
#include "tcs/sensorctl/protocol/protocol_state.h"
#include "tcs/sensorctl/protocol/sensor_commands.h"

#include <cstdio>
#include <cstring>

namespace {

template <typename Args>
TcsResult runArgs(ScsSensor* sensor, uint32_t witId, const Args* args, std::vector<uint8_t>& payload,
                  uint32_t timeoutMs = SCS_COMMAND_TIMEOUT_MS) {
    payload.assign(4200, 0);
    uint32_t length = uint32_t(payload.size());
    const TcsResult result =
        scsRunCommand(sensor, witId, args, args != nullptr ? uint32_t(sizeof(Args)) : 0, timeoutMs, payload.data(), &length);
    payload.resize(result == TCS_RESULT_OK ? length : 0);
    return result;
}

uint16_t readU16(const uint8_t* p) { return uint16_t(p[0] | p[1] << 8); }

const void* devicePatchList(ScsSensor* sensor) {
    const void* const* list = nullptr;
    if (sensor != nullptr && sensor->device != nullptr) scsSensorFindPatchConfigList(sensor->device, &list);
    return list;
}

// On Selkin-secure sensors the chip answers encrypted under the session key and padded: decrypt in
// place and cut the padding off, which gives the final length.
TcsResult secureReply(ScsSensor* sensor, uint8_t* data, uint32_t* length) {
    if (scsSensorIsSelkinSecuryEnabledDevice(sensor) != 1) return TCS_RESULT_OK;
    TcsResult result = scsRSEncDecData(sensor, data, data, *length, 0);
    if (result == TCS_RESULT_OK) result = scsRSUnpackPayloadData(data, length);
    return result;
}

// Template commands leave the template patch loaded; Selkin-secure sensors get their run patch back.
struct RestoreRunPatchAfter {
    ScsSensor* sensor;
    ~RestoreRunPatchAfter() {
        if (scsSensorIsSelkinSecuryEnabledDevice(sensor) == 1) scsSensorRestoreRunPatch(sensor);
    }
};

}  // namespace

extern "C" {

TcsResult scsSensorGetPrintSignature(ScsSensor* sensor, uint8_t* inOutType, uint8_t* outSignature) {
    const TcsResult valid = scsSensorValidate(sensor);
    if (valid != TCS_RESULT_OK) return valid;
    if (inOutType == nullptr || outSignature == nullptr) return TCS_RESULT_BAD_PARAM;
    // The device is held across the command: it may go while the reply is awaited, and its flags
    // are read after it.
    return scsWithDevice(sensor, [&](ScsSensorDevice* device) -> TcsResult {
        std::vector<uint8_t> payload;
        const TcsResult result = runArgs<int>(sensor, scsWITSensor_CMD_GET_PRINT_SIGNATURE, nullptr, payload);
        if (result != TCS_RESULT_OK) return result;
        if (payload.empty()) return TCS_RESULT_SENSOR_SHORT_CMD;
        const uint32_t size = payload[0] == 1 ? 256 : 32;
        const uint32_t offset = device->aesSecured ? 1 : 2;
        if (payload.size() < offset + size) return TCS_RESULT_SENSOR_SHORT_CMD;
        *inOutType = payload[0];
        std::memcpy(outSignature, payload.data() + offset, size);
        return TCS_RESULT_OK;
    });
}

TcsResult scsSensorDecommission(ScsSensor* sensor) {
    // Held across the command, as above: the version record is read after the reply.
    return scsWithDevice(sensor, [&](ScsSensorDevice* device) -> TcsResult {
        std::vector<uint8_t> payload;
        TcsResult result = runArgs<int>(sensor, scsWITSensor_CMD_DECOMMISSION, nullptr, payload);
        if (result != TCS_RESULT_OK) return result;
        const ScsFwVersion* v = device->fwVersion;
        if (v == nullptr) return TCS_RESULT_NULL_POINTER;
        char section[261];
        std::snprintf(section, sizeof section, "%s\\%02X%02X%02X%02X%02X%02X", "SOFTWARE\\Tovantic\\tfs530",
                      v->serial[0], v->serial[1], v->serial[2], v->serial[3], v->serial[4], v->serial[5]);
        palRemovePersistentDataValue(section, "1");
        if (scsSensorIsRSASecured(sensor) != 1) palRemovePersistentDataValue(section, "8");
        return TCS_RESULT_OK;
    });
}

TcsResult scsSensorRewritePm(ScsSensor* sensor) {
    TcsResult result = LoadSecurityManagementPatch(sensor, 0);
    if (result != TCS_RESULT_OK) return result;
    std::vector<uint8_t> payload;
    result = runArgs<int>(sensor, scsWITSensor_CMD_REWRITE_PM_SECTOR, nullptr, payload);
    const TcsResult unload = scsSensorUnloadPatch(sensor);
    return result != TCS_RESULT_OK ? result : unload == TCS_RESULT_SENSOR_BAD_CMD ? TCS_RESULT_OK : unload;
}

TcsResult scsSensorSendMatchVerify(ScsSensor* sensor, uint16_t length, const uint8_t* data, const uint8_t* value32,
                                   uint8_t* outData, uint32_t* inOutCapacity) {
    const TcsResult valid = scsSensorValidate(sensor);
    if (valid != TCS_RESULT_OK) return valid;
    if (inOutCapacity == nullptr) return TCS_RESULT_BAD_PARAM;
    const scsargs::MatchVerify a{length, data, value32};
    std::vector<uint8_t> payload;
    TcsResult result = runArgs(sensor, scsWITSensor_CMD_MATCH_VERIFY, &a, payload);
    if (result != TCS_RESULT_OK) return result;
    if (payload.size() < 18) return TCS_RESULT_SENSOR_SHORT_CMD;
    uint32_t n = readU16(payload.data());
    if (n > payload.size() - 18) return TCS_RESULT_SENSOR_SHORT_CMD;
    // Decrypted whole, before the copy is bounded, so a short caller buffer never cuts a cipher block.
    result = secureReply(sensor, payload.data() + 18, &n);
    if (result != TCS_RESULT_OK) return result;
    if (n > *inOutCapacity) n = *inOutCapacity;
    if (outData != nullptr) std::memcpy(outData, payload.data() + 18, n);
    *inOutCapacity = n;
    if (scsproto::DeviceState* state = scsproto::stateOf(sensor->device)) {
        std::memcpy(state->matchVerifyResult, payload.data() + 2, 16);
    }
    return TCS_RESULT_OK;
}

TcsResult scsSensorSendSignEncTemplateData(ScsSensor* sensor, uint32_t aLength, const uint8_t* a, uint32_t bLength,
                                           const uint8_t* b, uint8_t* outData, uint32_t* inOutCapacity) {
    const TcsResult valid = scsSensorValidate(sensor);
    if (valid != TCS_RESULT_OK) return valid;
    if (outData == nullptr || inOutCapacity == nullptr) return TCS_RESULT_BAD_PARAM;
    const RestoreRunPatchAfter restore{sensor};
    TcsResult result = scsSensorLoadPatch(sensor, devicePatchList(sensor), 0x10000, 0, nullptr);
    if (result != TCS_RESULT_OK) return result;
    const scsargs::SignEnc args{aLength, a, bLength, b};
    std::vector<uint8_t> payload;
    result = runArgs(sensor, scsWITSensor_CMD_SIGN_ENC_TEMPLATE_DATA, &args, payload);
    if (result != TCS_RESULT_OK) return result;
    if (payload.size() < 2) return TCS_RESULT_SENSOR_SHORT_CMD;
    const uint32_t n = readU16(payload.data());
    if (n > payload.size() - 2) return TCS_RESULT_SENSOR_SHORT_CMD;
    if (n > *inOutCapacity) return TCS_RESULT_BUFFER_TOO_SMALL;
    std::memcpy(outData, payload.data() + 2, n);
    *inOutCapacity = n;
    return TCS_RESULT_OK;
}

TcsResult scsSensorSendDecVerifyTemplateData(ScsSensor* sensor, uint16_t length, const uint8_t* data,
                                             uint32_t secondLength, const uint8_t* second, const uint8_t* value32,
                                             uint8_t* outFirst, uint32_t* inOutFirst, uint8_t* outSecond,
                                             uint32_t* inOutSecond) {
    const TcsResult valid = scsSensorValidate(sensor);
    if (valid != TCS_RESULT_OK) return valid;
    if (outFirst == nullptr || inOutFirst == nullptr || inOutSecond == nullptr) return TCS_RESULT_BAD_PARAM;
    const RestoreRunPatchAfter restore{sensor};
    TcsResult result = scsSensorLoadPatch(sensor, devicePatchList(sensor), 0x10000, 0, nullptr);
    if (result != TCS_RESULT_OK) return result;
    const scsargs::DecVerify args{length, data, secondLength, second, value32};
    std::vector<uint8_t> payload;
    result = runArgs(sensor, scsWITSensor_CMD_DEC_VERIFY_TEMPLATE_DATA, &args, payload);
    if (result != TCS_RESULT_OK) return result;
    if (payload.size() < 4) return TCS_RESULT_SENSOR_SHORT_CMD;
    const uint32_t first = readU16(payload.data()), other = readU16(payload.data() + 2);
    if (uint64_t(first) + other > payload.size() - 4) return TCS_RESULT_SENSOR_SHORT_CMD;
    const uint32_t n1 = first < *inOutFirst ? first : *inOutFirst;
    const uint32_t n2 = other < *inOutSecond ? other : *inOutSecond;
    std::memcpy(outFirst, payload.data() + 4, n1);
    if (outSecond != nullptr) std::memcpy(outSecond, payload.data() + 4 + first, n2);
    *inOutFirst = n1;
    *inOutSecond = outSecond != nullptr ? n2 : 0;
    return TCS_RESULT_OK;
}

TcsResult scsSensorSendGetAuthData(ScsSensor* sensor, const uint8_t* a, uint32_t aLength, const uint8_t* b,
                                   uint32_t bLength, uint8_t** outData, uint32_t* outLength) {
    const TcsResult valid = scsSensorValidate(sensor);
    if (valid != TCS_RESULT_OK) return valid;
    if (outData == nullptr || outLength == nullptr) return TCS_RESULT_BAD_PARAM;
    *outData = nullptr;
    *outLength = 0;
    const scsargs::GetAuthData args{a, aLength, b, bLength};
    std::vector<uint8_t> payload;
    TcsResult result = runArgs(sensor, scsWITSensor_CMD_GET_AUTH_DATA, &args, payload);
    if (result != TCS_RESULT_OK) return result;
    if (payload.size() < 2) return TCS_RESULT_SENSOR_SHORT_CMD;
    uint16_t n;
    std::memcpy(&n, payload.data(), 2);  // taken as it stands
    if (n > payload.size() - 2) return TCS_RESULT_SENSOR_SHORT_CMD;
    uint32_t length = n;
    result = secureReply(sensor, payload.data() + 2, &length);
    if (result != TCS_RESULT_OK) return result;
    auto* copy = static_cast<uint8_t*>(palRealMalloc(length == 0 ? 1 : length));
    if (copy == nullptr) return TCS_RESULT_OUT_OF_MEMORY;
    std::memcpy(copy, payload.data() + 2, length);
    *outData = copy;
    *outLength = length;
    return TCS_RESULT_OK;
}

TcsResult scsSensorSPIBulkRead(ScsSensor* sensor, uint32_t commandLength, const uint8_t* command, uint32_t count,
                               uint8_t* destination) {
    const TcsResult valid = scsSensorValidate(sensor);
    if (valid != TCS_RESULT_OK) return valid;
    const ScsFwVersion* v = sensor->device->fwVersion;
    if (v != nullptr && v->major == 4 && v->minor == 52) return TCS_RESULT_NOT_SUPPORTED;
    const scsargs::SpiFastRead args{commandLength, command, count, destination};
    std::vector<uint8_t> payload;
    const TcsResult result = runArgs(sensor, scsWITSensor_CMD_SPISLV_FAST_READ, &args, payload);
    if (result == TCS_RESULT_OK) {
        if (scsproto::DeviceState* state = scsproto::stateOf(sensor->device)) state->fastReadStarted = true;
    }
    return result;
}

TcsResult scsSensorWOESetup(ScsSensor* sensor, uint32_t length, const uint8_t* setup) {
    const TcsResult valid = scsSensorValidate(sensor);
    if (valid != TCS_RESULT_OK) return valid;
    if (setup == nullptr) return TCS_RESULT_BAD_PARAM;
    const scsargs::WoeSetup args{length, setup};
    std::vector<uint8_t> payload;
    return runArgs(sensor, scsWITSensor_CMD_WOE_SETUP, &args, payload);
}

TcsResult scsSensorMatchVerifyResult(ScsSensor* sensor, uint32_t* outA, uint32_t* outB, uint32_t* outC) {
    if (outA == nullptr || outB == nullptr || outC == nullptr) return TCS_RESULT_BAD_PARAM;
    const TcsResult valid = scsSensorValidate(sensor);
    if (valid != TCS_RESULT_OK) return valid;
    scsproto::DeviceState* state = scsproto::stateOf(sensor->device);
    if (state == nullptr) return TCS_RESULT_OUT_OF_MEMORY;
    std::memcpy(outA, state->matchVerifyResult, 4);
    std::memcpy(outB, state->matchVerifyResult + 4, 4);
    std::memcpy(outC, state->matchVerifyResult + 8, 4);
    return TCS_RESULT_OK;
}

}  // extern "C"
