// Built-in configuration lookup for a device: its family's lists and the patch, print and
// wake-on-event choice from them (the rules are in builtin_lists.h).
#pragma once

#include "tcs/sensorctl/protocol/builtin_lists.h"
#include "tcs/sensorctl/engine/scs_internal.h"

#ifdef __cplusplus
extern "C" {
#endif

// NULL for a missing device, list or version record, or when nothing qualifies.
const ConfigDescriptor* scsHarlokFindPatchEx(ScsSensorDevice* device, const void* const* list, uint32_t required,
                                             uint32_t selector, uint32_t excluded);
const ConfigDescriptor* scsHarlokFindPatch(ScsSensorDevice* device, const void* const* list, uint32_t required,
                                           uint32_t excluded);
// 0 with a new configuration or NULL; 0 without touching *out when an argument or the version is missing.
TcsResult scsHarlokFindPrintConfig(ScsSensorDevice* device, uint32_t flexId, uint32_t soClock, uint32_t swipeSpeed,
                                   uint32_t bitDepth, const void* const* list, PrintConfiguration** outConfig);
const ConfigDescriptor* scsHarlokFindWoeConfig(ScsSensorDevice* device, const void* const* list);
TcsResult scsSensorFindCalConfigList(ScsSensorDevice* device, const void* const** outList);
TcsResult scsSensorFindNavConfigList(ScsSensorDevice* device, const void* const** outList);
TcsResult scsSensorFindWoeConfigList(ScsSensorDevice* device, const void* const** outList);
// Families 1 and 2 only (17 otherwise).
TcsResult scsSensorFindWoeConfiguration(ScsSensorDevice* device, const ConfigDescriptor** outConfig);

#ifdef __cplusplus
}
#endif
