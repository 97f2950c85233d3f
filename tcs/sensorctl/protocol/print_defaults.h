// Print defaults of a device (SO clock, swipe speed, bit depth, default print configuration) and
// the sensor-handle forms of the print-configuration accessors.
#pragma once

#include "tcs/sensorctl/engine/scs_internal.h"
#include "tcs/sensorctl/protocol/tag_records.h"

#ifdef __cplusplus
extern "C" {
#endif

TcsResult scsSensorSetDefaultPrintConfiguration(ScsSensor* sensor);
TcsResult scsSensorGetDefaultPrintConfiguration(ScsSensor* sensor, PrintConfiguration** outConfig);
TcsResult scsSensorFindPrintConfiguration(ScsSensorDevice* device, uint32_t flexId, uint32_t soClock,
                                          uint32_t swipeSpeed, uint32_t bitDepth, PrintConfiguration** outConfig);
TcsResult scsSensorGetUint32DataFromPrintConfig(ScsSensor* sensor, const PrintConfiguration* config, uint32_t index,
                                                uint32_t* outValue);
TcsResult scsSensorSetUint32DataToPrintConfig(ScsSensor* sensor, PrintConfiguration* config, uint32_t index,
                                              uint32_t value);
TcsResult scsSensorGetPrintParamBlobFromPrintConfig(ScsSensor* sensor, const PrintConfiguration* config,
                                                    const uint8_t** outBlob, uint32_t* outLength);
TcsResult scsSensorSetPrintParamBlobToPrintConfig(ScsSensor* sensor, PrintConfiguration* config, const uint8_t* data,
                                                  uint32_t length);
TcsResult scsSensorClonePrintConfiguration(ScsSensor* sensor, const PrintConfiguration* source,
                                           PrintConfiguration** outConfig);
TcsResult scsSensorFreePrintConfiguration(ScsSensor* sensor, PrintConfiguration** config);
// The four print settings: flex id, SO clock, swipe speed, bit depth.
TcsResult scsSensorGetConfigInfo(ScsSensor* sensor, uint32_t outSettings[4]);
TcsResult scsSensorGetFlexId(ScsSensor* sensor, uint32_t* outFlexId);

#ifdef __cplusplus
}
#endif
