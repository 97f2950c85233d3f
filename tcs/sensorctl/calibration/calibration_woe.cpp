// Wake-on-event set-up record: timeslots, trim and threshold words by flex id, with settings overrides.
#include "tcs/sensorctl/calibration/calibration.h"
#include "tcs/sensorctl/calibration/calibration_woe.h"
#include "tcs/sensorctl/protocol/protocol_state.h"

#include "platform/memory.h"
#include "platform/settings.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr const char* kProductSection = "SOFTWARE\\Tovantic\\tfs530";

struct FlexWoe {
    uint32_t woeType;
    uint32_t evenSlots;  // TS0, TS2, TS4
    uint32_t oddSlots;   // TS1, TS3
    uint32_t trim;       // type 1 only
    uint32_t baseGain;
    uint32_t thresholdBase;
};

FlexWoe flexWoe(uint32_t flexId) {
    switch (flexId) {
        case 13: case 17: return {1, 0x0385CAE3, 0x037C2EE3, 0x0080FA20, 10, 0x010A00FF};
        case 90: return {1, 0x0385CCE3, 0x03802EE3, 0x0080FA20, 8, 0x010800FF};
        case 58: return {2, 0x0399C618, 0x005DC6E5, 0, 15, 0x010F00FF};
        case 59: case 91: case 93: return {2, 0x0355A218, 0x005DA2D3, 0, 15, 0x010F00FF};
        case 19: return {2, 0x03A9CE18, 0x03ADCE18, 0, 31, 0x011F00FF};
        case 72: return {2, 0x00F11E98, 0x023C7843, 0, 15, 0x010F00FF};
        case 98: return {2, 0x01515CB5, 0x02B8A84E, 0, 15, 0x010F00FF};
        case 99: return {2, 0x0150F280, 0x01E4A84E, 0, 15, 0x010F00FF};
        case 32: return {2, 0x04341602, 0x002E1B09, 0, 15, 0x010F00FF};
        default: return {1, 0x01D818E3, 0x01D818E3, 0x0080FA20, 8, 0x010800FF};
    }
}

uint32_t overridden(const char* name, uint32_t computed) {
    uint32_t value = computed;
    if (palGetPersistentDataLongValue(kProductSection, name, computed, &value) != TCS_RESULT_OK) return computed;
    return value;
}

}  // namespace

namespace scscal {

TcsResult woeSetupWords(const WoeSetupInput& in, uint32_t words[14], bool* adjusted) {
    const FlexWoe flex = flexWoe(in.flexId);
    const uint32_t deviceType = in.woeType == 2 ? 2 : 1;
    if (flex.woeType != deviceType) return TCS_RESULT_ERROR;
    *adjusted = false;
    std::memset(words, 0, 14 * sizeof(uint32_t));
    words[0] = in.transportKind == 2 ? 0x250 : in.mode == 1 ? 0x280 : 16;
    words[1] = 0x3FE;
    words[2] = overridden("woeTimer", in.mode == 1 ? 0x1FFF1FFF : 0x1FFF01F8);
    static const char* const kSlots[5] = {"woeTS0", "woeTS1", "woeTS2", "woeTS3", "woeTS4"};
    for (uint32_t i = 0; i < 5; ++i) words[4 + i] = overridden(kSlots[i], i % 2 == 0 ? flex.evenSlots : flex.oddSlots);
    uint32_t trim = flex.trim;
    uint32_t threshold = 0;
    if (deviceType == 1) {
        if (in.mode == 1) {
            threshold = 0x000F003F;
        } else if (in.delta == 0) {
            threshold = flex.baseGain << 16 | in.threshold;
        } else {
            const uint32_t sum = flex.baseGain + uint32_t(in.delta);
            const uint32_t moved = in.threshold + uint32_t(in.delta);
            threshold = sum < 15 ? sum << 16 | moved : moved | 0xE0000;
        }
    } else {
        uint32_t gain = in.gain, value = in.threshold;
        if (in.mode != 1 && in.delta != 0) {
            // Threshold and gain move by the delta, each held within its limit bytes.
            auto move = [&](uint32_t current, uint8_t low, uint8_t high) {
                const int64_t wanted = int64_t(current) + in.delta;
                const int64_t held = std::clamp<int64_t>(wanted, std::min(low, high), std::max(low, high));
                if (held != wanted) *adjusted = true;
                return uint32_t(held);
            };
            value = move(value, in.limits[1], in.limits[0]);
            gain = move(gain, in.limits[3], in.limits[2]);
        }
        trim = (gain & 0xFF) << 8 | 0x800020;
        threshold = (value & 0xFF) << 8 | flex.thresholdBase;
        if (in.mode == 1) {
            trim |= 0xFF00;
            threshold = (threshold & ~0xFF00u) | 0x0400;
        }
    }
    words[9] = overridden("woeTrim", trim);
    words[10] = overridden("woeThresh", threshold);
    words[13] = 0x338;
    return TCS_RESULT_OK;
}

}  // namespace scscal

extern "C" TcsResult scsHarlokCalGetWoeSetup(ScsSensorDevice* device, uint8_t** outRecord, uint32_t* outLength,
                                             uint32_t mode, uint32_t* outAdjusted) {
    if (device == nullptr || outRecord == nullptr || outLength == nullptr || device->woeType == 0) {
        return TCS_RESULT_BAD_PARAM;
    }
    scscal::WoeSetupInput in{};
    in.flexId = device->flexId;
    in.woeType = device->woeType;
    in.transportKind = device->transportKind;
    in.mode = mode;
    in.threshold = device->woeTiming[0];
    in.gain = device->woeTiming[2];
    // The raise that the capture's retries ratcheted up moves the calibrated threshold; without it
    // the sensor kept waking on the same noise however often the capture retried.
    const scsproto::DeviceState* state = scsproto::stateOf(device);
    in.delta = state == nullptr ? 0 : int32_t(state->alternateWoe ? state->woeThresholdDeltaAlt : state->woeThresholdDelta);
    uint32_t words[14];
    bool adjusted = false;
    const TcsResult built = scscal::woeSetupWords(in, words, &adjusted);
    if (built != TCS_RESULT_OK) return built;
    auto* record = static_cast<uint8_t*>(palRealMalloc(56));
    if (record == nullptr) return TCS_RESULT_INVALID;
    for (uint32_t i = 0; i < 14; ++i) {
        for (uint32_t b = 0; b < 4; ++b) record[4 * i + b] = uint8_t(words[i] >> (8 * b));
    }
    *outRecord = record;
    *outLength = 56;
    if (outAdjusted != nullptr) *outAdjusted = adjusted ? 1 : 0;
    return TCS_RESULT_OK;
}
