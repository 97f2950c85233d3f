// Print defaults: SO clock, swipe speed and bit depth from the start options, the product family
// and the settings store; the default print configuration chosen from the built-in list.
#include "tcs/sensorctl/protocol/print_defaults.h"

#include "platform/settings.h"
#include "tcs/imaging/reconstruction/flex_info.h"
#include "tcs/sensorctl/protocol/builtin_lists.h"
#include "tcs/sensorctl/protocol/patch_loader.h"
#include "tcs/sensorctl/protocol/protocol_state.h"

namespace {

constexpr char kProductSection[] = "SOFTWARE\\Tovantic\\tfs530";

uint32_t setting(const char* name, uint32_t defaultValue) {
    uint32_t value = defaultValue;
    if (palGetPersistentDataLongValue(kProductSection, name, defaultValue, &value) != TCS_RESULT_OK) return defaultValue;
    return value;
}

bool smallFamily(uint32_t family) { return family == SCS_FAMILY_3 || family == SCS_FAMILY_4; }

struct DeviceRef {
    ScsSensorDevice* device = nullptr;
    TcsResult result;
    explicit DeviceRef(ScsSensor* sensor) : result(scsSensorDeviceAcquire(sensor, &device)) {}
    ~DeviceRef() {
        if (result == TCS_RESULT_OK) scsSensorDeviceRelease(device);
    }
};

scsprint::DeviceDefaults defaultsOf(ScsSensorDevice* device, const scsproto::DeviceState& state) {
    return {device->flexId, state.soClock, state.swipeSpeed, state.bitDepth, state.lineLengthOverride,
            device->productFamily};
}

}  // namespace

extern "C" {

TcsResult scsSensorFindPrintConfiguration(ScsSensorDevice* device, uint32_t flexId, uint32_t soClock,
                                          uint32_t swipeSpeed, uint32_t bitDepth, PrintConfiguration** outConfig) {
    if (device == nullptr || outConfig == nullptr) return TCS_RESULT_BAD_PARAM;
    if (device->productFamily != SCS_FAMILY_1 && device->productFamily != SCS_FAMILY_2) return TCS_RESULT_BAD_PARAM;
    const void* const* list = nullptr;
    scsSensorFindPrintConfigList(device, &list);
    scsproto::DeviceState* state = scsproto::stateOf(device);
    if (list == nullptr || state == nullptr || device->fwVersion == nullptr) return TCS_RESULT_OK;
    const ScsFwVersion& v = *device->fwVersion;
    const scslists::DeviceView view{v.major, v.minor, v.build, v.revision, v.romFlag, v.flags, v.value32,
                                    device->flexId, state->variant, state->selkin};
    return scslists::findPrintConfig(view, {flexId, soClock, swipeSpeed, bitDepth}, list, outConfig);
}

TcsResult scsSensorSetDefaultPrintConfiguration(ScsSensor* sensor) {
    DeviceRef ref(sensor);
    if (ref.result != TCS_RESULT_OK) return ref.result;
    ScsSensorDevice* device = ref.device;
    scsproto::DeviceState* state = scsproto::stateOf(device);
    if (state == nullptr) return TCS_RESULT_OUT_OF_MEMORY;
    const uint32_t family = device->productFamily;
    const StartupOptionBlock* options = device->subsystem != nullptr ? &device->subsystem->startOptions : nullptr;

    uint32_t so = options != nullptr ? options->socClock : 0;
    if (so == 0) so = setting("SOClock", smallFamily(family) ? 24 : family == SCS_FAMILY_2 ? 21 : 18);
    uint32_t swipe = options != nullptr ? options->swipeSpeed : 0;
    if (swipe == 0) swipe = setting("swipeSpeed", smallFamily(family) ? 25 : 15);
    uint32_t depthDefault = smallFamily(family) ? 4 : 8;
    if (family == SCS_FAMILY_2 && device->transportKind == 2) depthDefault = 4;
    const uint32_t depth = setting("bitDepth", depthDefault);
    state->soClock = so;
    state->swipeSpeed = swipe;
    state->bitDepth = depth;

    if (state->defaultConfig == nullptr) {
        PrintConfiguration* found = nullptr;
        TcsResult result = scsSensorFindPrintConfiguration(device, device->flexId, so, swipe, depth, &found);
        if (result != TCS_RESULT_OK) return result;
        if (found != nullptr && !smallFamily(family)) {
            PrintConfiguration* converted = nullptr;
            result = scsHarlokConvertPrintConfig(found, depth, &converted);
            scsHarlokFreePrintConfig(&found);
            if (result != TCS_RESULT_OK) return result;
            found = converted;
        }
        state->defaultConfig = found;
    }

    state->selectiveSuspend = setting("useSelectiveSuspend", 0) != 0;
    // Read when selective suspend is in use, and yet the flag stays 0: kept as found.
    if (state->selectiveSuspend) setting("AlternateWOE", 1);
    state->alternateWoe = false;
    const FlexInfoRecord* flex = dliFindFlexInfo(int32_t(device->flexId));
    if (flex == nullptr) return TCS_RESULT_NULL_POINTER;
    uint32_t woe = setting("woeType", flex->defaultWoeType);
    if (woe > 2) woe = flex->defaultWoeType;
    device->woeType = woe;
    if (woe == 0) state->selectiveSuspend = false;
    state->selectiveSuspendTimeoutMs = setting("selectiveSuspendTimeout", 5000);
    return TCS_RESULT_OK;
}

TcsResult scsSensorGetDefaultPrintConfiguration(ScsSensor* sensor, PrintConfiguration** outConfig) {
    if (outConfig == nullptr) return TCS_RESULT_BAD_PARAM;
    DeviceRef ref(sensor);
    if (ref.result != TCS_RESULT_OK) return ref.result;
    scsproto::DeviceState* state = scsproto::stateOf(ref.device);
    *outConfig = state != nullptr ? state->defaultConfig : nullptr;
    return TCS_RESULT_OK;
}

TcsResult scsSensorGetUint32DataFromPrintConfig(ScsSensor* sensor, const PrintConfiguration* config, uint32_t index,
                                                uint32_t* outValue) {
    DeviceRef ref(sensor);
    if (ref.result != TCS_RESULT_OK) return ref.result;
    scsproto::DeviceState* state = scsproto::stateOf(ref.device);
    if (state == nullptr) return TCS_RESULT_OUT_OF_MEMORY;
    return scsprint::getField(config, index, defaultsOf(ref.device, *state), outValue);
}

TcsResult scsSensorSetUint32DataToPrintConfig(ScsSensor* sensor, PrintConfiguration* config, uint32_t index,
                                              uint32_t value) {
    const TcsResult valid = scsSensorValidate(sensor);
    return valid != TCS_RESULT_OK ? valid : scsprint::setField(config, index, value);
}

TcsResult scsSensorGetPrintParamBlobFromPrintConfig(ScsSensor* sensor, const PrintConfiguration* config,
                                                    const uint8_t** outBlob, uint32_t* outLength) {
    const TcsResult valid = scsSensorValidate(sensor);
    return valid != TCS_RESULT_OK ? valid : scsprint::getBlob(config, outBlob, outLength);
}

TcsResult scsSensorSetPrintParamBlobToPrintConfig(ScsSensor* sensor, PrintConfiguration* config, const uint8_t* data,
                                                  uint32_t length) {
    const TcsResult valid = scsSensorValidate(sensor);
    return valid != TCS_RESULT_OK ? valid : scsprint::setBlob(config, data, length);
}

TcsResult scsSensorClonePrintConfiguration(ScsSensor* sensor, const PrintConfiguration* source,
                                           PrintConfiguration** outConfig) {
    const TcsResult valid = scsSensorValidate(sensor);
    return valid != TCS_RESULT_OK ? valid : scsprint::clone(source, outConfig);
}

TcsResult scsSensorFreePrintConfiguration(ScsSensor* sensor, PrintConfiguration** config) {
    const TcsResult valid = scsSensorValidate(sensor);
    return valid != TCS_RESULT_OK ? valid : scsHarlokFreePrintConfig(config);
}

TcsResult scsSensorGetConfigInfo(ScsSensor* sensor, uint32_t outSettings[4]) {
    if (outSettings == nullptr) return TCS_RESULT_BAD_PARAM;
    DeviceRef ref(sensor);
    if (ref.result != TCS_RESULT_OK) return ref.result;
    scsproto::DeviceState* state = scsproto::stateOf(ref.device);
    if (state == nullptr) return TCS_RESULT_OUT_OF_MEMORY;
    outSettings[0] = ref.device->flexId;
    outSettings[1] = state->soClock;
    outSettings[2] = state->swipeSpeed;
    outSettings[3] = state->bitDepth;
    return TCS_RESULT_OK;
}

TcsResult scsSensorGetFlexId(ScsSensor* sensor, uint32_t* outFlexId) {
    if (outFlexId == nullptr) return TCS_RESULT_BAD_PARAM;
    DeviceRef ref(sensor);
    if (ref.result != TCS_RESULT_OK) return ref.result;
    *outFlexId = ref.device->flexId;
    return TCS_RESULT_OK;
}

}  // extern "C"
