// Built-in configuration lookup for a device: the device's view for the choice rules.
#include "tcs/sensorctl/protocol/config_lookup.h"

#include "tcs/sensorctl/protocol/patch_loader.h"
#include "tcs/sensorctl/protocol/protocol_state.h"

namespace {

bool viewOf(ScsSensorDevice* device, scslists::DeviceView& view) {
    if (device == nullptr || device->fwVersion == nullptr) return false;
    const scsproto::DeviceState* state = scsproto::stateOf(device);
    const ScsFwVersion& v = *device->fwVersion;
    view = {v.major, v.minor, v.build, v.revision, v.romFlag, v.flags, v.value32, device->flexId,
            state != nullptr ? state->variant : 0, state != nullptr && state->selkin};
    return true;
}

}  // namespace

extern "C" {

const ConfigDescriptor* scsHarlokFindPatchEx(ScsSensorDevice* device, const void* const* list, uint32_t required,
                                             uint32_t selector, uint32_t excluded) {
    scslists::DeviceView view{};
    if (list == nullptr || !viewOf(device, view)) return nullptr;
    return scslists::findPatch(view, list, required, selector, excluded);
}

const ConfigDescriptor* scsHarlokFindPatch(ScsSensorDevice* device, const void* const* list, uint32_t required,
                                           uint32_t excluded) {
    return scsHarlokFindPatchEx(device, list, required, 0, excluded);
}

TcsResult scsHarlokFindPrintConfig(ScsSensorDevice* device, uint32_t flexId, uint32_t soClock, uint32_t swipeSpeed,
                                   uint32_t bitDepth, const void* const* list, PrintConfiguration** outConfig) {
    scslists::DeviceView view{};
    if (list == nullptr || outConfig == nullptr || !viewOf(device, view)) return TCS_RESULT_OK;
    return scslists::findPrintConfig(view, {flexId, soClock, swipeSpeed, bitDepth}, list, outConfig);
}

const ConfigDescriptor* scsHarlokFindWoeConfig(ScsSensorDevice* device, const void* const* list) {
    scslists::DeviceView view{};
    if (list == nullptr || !viewOf(device, view)) return nullptr;
    return scslists::findWoeConfig(view, list);
}

TcsResult scsSensorFindCalConfigList(ScsSensorDevice* device, const void* const** outList) {
    return scsSensorFindConfigList(device, 2, outList);
}

TcsResult scsSensorFindNavConfigList(ScsSensorDevice* device, const void* const** outList) {
    return scsSensorFindConfigList(device, 3, outList);
}

TcsResult scsSensorFindWoeConfigList(ScsSensorDevice* device, const void* const** outList) {
    return scsSensorFindConfigList(device, 4, outList);
}

TcsResult scsSensorFindWoeConfiguration(ScsSensorDevice* device, const ConfigDescriptor** outConfig) {
    if (device == nullptr || outConfig == nullptr) return TCS_RESULT_BAD_PARAM;
    *outConfig = nullptr;
    if (device->productFamily != SCS_FAMILY_1 && device->productFamily != SCS_FAMILY_2) return TCS_RESULT_BAD_PARAM;
    const void* const* list = nullptr;
    scsSensorFindWoeConfigList(device, &list);
    *outConfig = scsHarlokFindWoeConfig(device, list);
    return TCS_RESULT_OK;
}

}  // extern "C"
