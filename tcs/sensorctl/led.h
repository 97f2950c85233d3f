// LED control: the external LED configuration, per-handle LED configuration and LED work items.
#pragma once

#include "tcs/sensorctl/scs_internal.h"

#ifdef __cplusplus
extern "C" {
#endif

// Fills the LED state (after its first word) from the settings store.
TcsResult scsGetExternalLEDConfig(void** ledState);
TcsResult scsSensorLoadLEDConfig(ScsSensor* sensor);
TcsResult scsSensorFreeLEDConfig(ScsSensor* sensor);
// Drives the LED pattern of an LED work item; sets the item's state itself.
TcsResult scsSensorLEDControlFromWIT(ScsSensorDevice* device, TcsResult result, WorkItem* item);

#ifdef __cplusplus
}
#endif
