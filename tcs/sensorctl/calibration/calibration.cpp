// Calibration of the analog front-end: the calibration context, sweep set-up, line summation, sweep
// stepping, the sweep steps and their value-choice rules, and the wake-on-event set-up record.
#include "tcs/sensorctl/calibration/calibration.h"

#include "platform/memory.h"
#include "platform/settings.h"
#include "tcs/sensorctl/calibration/cal_results.h"
#include "tcs/sensorctl/calibration/calibration_rows.h"
#include "tcs/sensorctl/calibration/calibration_steps.h"
#include "tcs/sensorctl/protocol/protocol_state.h"

#include <algorithm>
#include <cstring>
#include <new>

using namespace scscal;

namespace {

constexpr const char* kProductSection = "SOFTWARE\\Tovantic\\tfs530";
constexpr TcsResult kStepAgain = 223;
constexpr uint32_t kNoContext = 15;

const void* const* gRowsOverride = nullptr;

ScsHarlokCalContext* contextOf(ScsSensorDevice* device) {
    return device == nullptr ? nullptr : static_cast<ScsHarlokCalContext*>(device->calContext);
}

uint32_t longSetting(const char* name, uint32_t fallback) {
    uint32_t value = fallback;
    if (palGetPersistentDataLongValue(kProductSection, name, fallback, &value) != TCS_RESULT_OK) return fallback;
    return value;
}

uint32_t voltageClass(const ScsSensorDevice* device) {
    if (device->transportKind != 2) return 2;
    const uint32_t volts = longSetting("SPIVoltage", 0);
    return volts == 25 ? 1 : volts == 33 ? 2 : 0;
}

const CalLimitReference& referenceRow(const ScsSensorDevice* device, uint32_t soClock, uint32_t swipeSpeed) {
    const uint32_t voltage = voltageClass(device);
    for (uint32_t i = 0; i < gHarlokCalLimitReferenceCount; ++i) {
        const CalLimitReference& row = gHarlokCalLimitReference[i];
        if (row.voltageClass == voltage && row.flexId == device->flexId && row.soClock == soClock &&
            row.swipeSpeed == swipeSpeed) {
            return row;
        }
    }
    return gHarlokCalLimitReference[0];
}

bool anyOr(uint32_t word, uint32_t value) { return word == 0xFFFF || word == value; }

uint32_t chipFamily(const ScsSensorDevice* device) { return device->fwVersion != nullptr ? device->fwVersion->chipKind : 0; }
uint32_t chipRevision(const ScsSensorDevice* device) {
    return device->fwVersion != nullptr ? device->fwVersion->revision : 0;
}

// Score of a candidate row for the set-up's choice.
uint32_t scoreRow(const CalRow& row, const ScsSensorDevice* device) {
    const uint32_t family = chipFamily(device);
    const uint32_t w4 = row.word(4), w5 = row.word(5), w6 = row.word(6), w7 = row.word(7);
    const uint32_t base = w4 == family ? 2000 : w4 == 0xFFFF ? 1000 : 0;
    const uint32_t revision = w5 == chipRevision(device) ? 200 : w5 == 0xFFFF ? 100 : 0;
    const uint32_t byte4 = w6 == 0xFFFF ? 10 : 0;
    const uint32_t byte15 = w7 == 0xFFFF ? 1 : 0;
    return base + revision + byte4 + byte15;
}

// Everything a step needs leaves the context; Status and Attempts go into the block.
TcsResult finishStep(ScsHarlokCalContext* context, CalResultsContainer* results, uint32_t blockId, TcsResult status) {
    calResultsSetWord(results, blockId, CAL_WORD_STATUS, uint16_t(status));
    calResultsSetWord(results, blockId, CAL_WORD_ATTEMPTS, context->attempt);
    if (status == TCS_RESULT_OK) return TCS_RESULT_OK;
    if (status == kNoContext || context->attempt >= 2) return TCS_RESULT_ERROR;
    return kStepAgain;
}

using StepBody = TcsResult (*)(ScsHarlokCalContext& context, CalResultsContainer* results);

TcsResult runStep(ScsSensorDevice* device, uint32_t blockId, StepBody body) {
    ScsHarlokCalContext* context = contextOf(device);
    auto* results = device != nullptr ? static_cast<CalResultsContainer*>(device->calResults) : nullptr;
    if (context == nullptr || results == nullptr) {
        if (results != nullptr) calResultsSetWord(results, blockId, CAL_WORD_STATUS, uint16_t(kNoContext));
        return TCS_RESULT_ERROR;
    }
    ++context->attempt;
    TcsResult status;
    try {
        status = body(*context, results);
    } catch (const std::bad_alloc&) {
        status = TCS_RESULT_NOT_IMPLEMENTED;  // out of memory is 6 as a step result
    }
    return finishStep(context, results, blockId, status);
}

}  // namespace

extern "C" {

void scsHarlokCalTestSetRows(const void* const* rows) { gRowsOverride = rows; }

TcsResult scsHarlokCalContextInit(ScsSensorDevice* device, uint32_t loadLast) {
    if (device == nullptr) return TCS_RESULT_BAD_PARAM;
    scsproto::DeviceState* state = scsproto::stateOf(device);
    const uint32_t soClock = state != nullptr ? state->soClock : 0;
    const uint32_t swipeSpeed = state != nullptr ? state->swipeSpeed : 0;
    const CalLimitReference& reference = referenceRow(device, soClock, swipeSpeed);
    auto* results = static_cast<CalResultsContainer*>(device->calResults);
    if (results == nullptr) {
        const uint32_t data[4] = {device->flexId, soClock, swipeSpeed, 0};
        if (calResultsContainerInit(device->productFamily, reinterpret_cast<const uint8_t*>(data), reference.defaults,
                                    &results) != TCS_RESULT_OK) {
            return TCS_RESULT_OUT_OF_MEMORY;
        }
        device->calResults = results;
    } else {
        // The device keeps no earlier calibration across a new one.
        for (uint32_t id = 0; id < 7; ++id) calResultsDeleteBlock(results, id);
    }
    if (loadLast) {
        LoadCalibrationDataFromPresistentStorage(device);
        return TCS_RESULT_OK;
    }
    scsHarlokCalContextUnInit(device);
    auto* context = new (std::nothrow) ScsHarlokCalContext;
    if (context == nullptr) return TCS_RESULT_OUT_OF_MEMORY;
    try {
        context->limits = reference.limits;
        const CalLimitValues* limits = reference.limits;
        if (limits != nullptr && limits->steps[SCS_CAL_BLOCK_WOE] != nullptr) {
            const uint8_t* woe = limits->steps[SCS_CAL_BLOCK_WOE];
            context->woeLimitBytes[0] = woe[7];
            context->woeLimitBytes[1] = woe[4];
            context->woeLimitBytes[2] = woe[11];
            context->woeLimitBytes[3] = woe[8];
        }
        const void* const* list = gRowsOverride != nullptr ? gRowsOverride : scsHarlokCalConfigRows();
        for (; *list != nullptr; ++list) {
            CalRow row(static_cast<const CalConfigDescriptor*>(*list));
            if (!anyOr(row.word(4), chipFamily(device)) || !anyOr(row.word(10), device->flexId) ||
                !anyOr(row.word(11), soClock) || !anyOr(row.word(12), swipeSpeed) || (row.word(8) & 1u) == 0) {
                continue;
            }
            context->rows.push_back(row);
        }
    } catch (const std::bad_alloc&) {
        delete context;
        return TCS_RESULT_OUT_OF_MEMORY;
    }
    context->noLimitCheck = longSetting("noLimitCheck", 0) != 0;
    context->woeThreshold = reference.defaults != nullptr && reference.defaults->sets[SCS_CAL_BLOCK_WOE] != nullptr
                                ? static_cast<const uint8_t*>(reference.defaults->sets[SCS_CAL_BLOCK_WOE])[0]
                                : 0;
    context->woeGain = 128;
    context->woeType = device->woeType;
    context->flexId = device->flexId;
    device->calContext = context;
    return TCS_RESULT_OK;
}

TcsResult scsHarlokCalContextUnInit(ScsSensorDevice* device) {
    if (device == nullptr) return TCS_RESULT_BAD_PARAM;
    delete contextOf(device);
    device->calContext = nullptr;
    return TCS_RESULT_OK;
}

TcsResult scsHarlokCalSetup(ScsSensorDevice* device, uint32_t blockId, uint16_t attempt) {
    ScsHarlokCalContext* context = contextOf(device);
    if (context == nullptr || blockId > 6) return TCS_RESULT_BAD_PARAM;
    if (attempt == 0) {
        context->attempt = 0;
        context->chosen = -1;
        const uint32_t kind = 1;
        uint32_t best = 0;
        for (size_t i = 0; i < context->rows.size(); ++i) {
            const CalRow& row = context->rows[i];
            const uint32_t interfaces = row.word(26) == 0 ? 1 : row.word(26);
            if ((row.word(9) & (1u << blockId)) == 0 || (interfaces & kind) == 0) continue;
            const uint32_t score = scoreRow(row, device);
            if (context->chosen < 0 || score > best) {
                context->chosen = int(i);
                best = score;
            }
        }
    }
    context->blockId = blockId;
    if (context->chosen < 0) {
        context->lineCount = 0;
        return TCS_RESULT_OK;
    }
    try {
        const TcsResult prepared = prepareCapture(*context, context->rows[size_t(context->chosen)], blockId);
        if (prepared != TCS_RESULT_OK) return prepared;
    } catch (const std::bad_alloc&) {
        return TCS_RESULT_INVALID;
    }
    return TCS_RESULT_OK;
}

TcsResult scsHarlokCalGetSweepCapture(ScsSensorDevice* device, ScsHarlokSweepCapture* out) {
    if (out == nullptr) return TCS_RESULT_BAD_PARAM;
    *out = ScsHarlokSweepCapture{};
    ScsHarlokCalContext* context = contextOf(device);
    if (context == nullptr) return TCS_RESULT_BAD_PARAM;
    if (context->chosen < 0 || context->lineCount == 0) return TCS_RESULT_OK;
    out->buffer = context->lines.data();
    out->size = uint32_t(context->lines.size());
    out->lines = context->lineCount;
    out->mode = 0;
    out->value = 0;
    out->printConfiguration = &context->printConfig;
    return TCS_RESULT_OK;
}

TcsResult scsHarlokCalGetWoeValues(ScsSensorDevice* device, uint32_t* outFirst, uint32_t* outSecond) {
    ScsHarlokCalContext* context = contextOf(device);
    if (context == nullptr) return TCS_RESULT_ERROR;
    if (outFirst != nullptr) *outFirst = context->woeThreshold;
    if (outSecond != nullptr) *outSecond = context->woeGain;
    return TCS_RESULT_OK;
}

uint32_t scsHarlokCalWoeFailed(ScsSensorDevice* device) {
    ScsHarlokCalContext* context = contextOf(device);
    return context == nullptr ? 1 : context->woeFailed ? 1 : 0;
}

TcsResult scsHarlokCalSetDefaults(ScsSensorDevice* device, uint32_t mode) {
    if (device == nullptr || mode > 2) return TCS_RESULT_ERROR;
    auto* results = static_cast<CalResultsContainer*>(device->calResults);
    if (results == nullptr) return TCS_RESULT_ERROR;
    if (mode == 0 || mode == 2) {
        for (uint32_t id : {0u, 1u, 2u, 3u, 5u, 6u}) calResultsSetFlag(results, id, CAL_FLAG_IS_DEFAULT);
    }
    if (mode == 1 || mode == 2) {
        ScsHarlokCalContext* context = contextOf(device);
        if (context == nullptr) return TCS_RESULT_ERROR;
        calResultsSetFlag(results, SCS_CAL_BLOCK_WOE, CAL_FLAG_IS_DEFAULT);
        uint8_t threshold = 0, gain = 0;
        calResultsGetByte(results, SCS_CAL_BLOCK_WOE, CAL_SET_DEFAULT, CAL_ITEM_THRESHOLD, &threshold);
        calResultsGetByte(results, SCS_CAL_BLOCK_WOE, CAL_SET_DEFAULT, CAL_ITEM_GAIN_PRI, &gain);
        context->woeThreshold = threshold;
        context->woeGain = gain;
    }
    return TCS_RESULT_OK;
}

TcsResult scsHarlokCalChooseValuesWithRCAlg(uint32_t count, const uint32_t* pairs, uint32_t step, uint32_t divisor,
                                            uint32_t interleave, uint32_t parity, uint32_t out[4]) {
    if (out == nullptr || (count != 0 && pairs == nullptr)) return TCS_RESULT_BAD_PARAM;
    try {
        std::vector<std::pair<uint32_t, uint32_t>> list;
        for (uint32_t i = 0; i < count; ++i) list.push_back({pairs[2 * i], pairs[2 * i + 1]});
        return chooseValuesWithRCAlg(count, list.data(), step, divisor, interleave != 0, parity != 0, out);
    } catch (const std::bad_alloc&) {
        return TCS_RESULT_INVALID;
    }
}

TcsResult scsHarlokCalCommDet(ScsSensorDevice* device) { return runStep(device, SCS_CAL_BLOCK_COMMDET, stepCommDet); }
TcsResult scsHarlokCalPgaOffset(ScsSensorDevice* device) {
    return runStep(device, SCS_CAL_BLOCK_PGA_OFFSET, stepPgaOffset);
}
TcsResult scsHarlokCalAdc(ScsSensorDevice* device) { return runStep(device, SCS_CAL_BLOCK_ADC, stepAdc); }
TcsResult scsHarlokCalAspLna1(ScsSensorDevice* device) { return runStep(device, SCS_CAL_BLOCK_ASP_LNA1, stepAspLna1); }
TcsResult scsHarlokCalAspPga1(ScsSensorDevice* device) { return runStep(device, SCS_CAL_BLOCK_ASP_PGA1, stepAspPga1); }
TcsResult scsHarlokCalPgaGain(ScsSensorDevice* device) { return runStep(device, SCS_CAL_BLOCK_PGA_GAIN, stepPgaGain); }
TcsResult scsHarlokCalWoe(ScsSensorDevice* device) {
    const TcsResult result = runStep(device, SCS_CAL_BLOCK_WOE, stepWoe);
    if (ScsHarlokCalContext* context = contextOf(device)) context->woeFailed = result != TCS_RESULT_OK;
    return result;
}

}  // extern "C"
