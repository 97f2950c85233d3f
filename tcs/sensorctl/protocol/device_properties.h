// Small per-device properties of the flat sensor-control interface: flags, thresholds and values
// set by device initialisation, calibration and the print defaults, the subsystem-wide recovery
// switches, and the entry points that only return a fixed result.
#pragma once

#include "tcs/sensorctl/engine/scs_internal.h"
#include "platform/usb_transport.h"

#ifdef __cplusplus
extern "C" {
#endif

// 4 for a device that speaks the V4 command protocol, 0 before its reply parser is installed.
TcsResult scsSensorGetCmdProtocolVersion(ScsSensor* sensor, uint8_t* outVersion);
TcsResult scsSensorDisableSSLAlerts(ScsSensor* sensor, uint32_t disable);
// The device's own baseline-information block, not a copy.
TcsResult scsSensorGetBaseLineInfo(ScsSensor* sensor, void** outInfo);
TcsResult scsSensorSetWOECalFlag(ScsSensor* sensor);
TcsResult scsSensorSetCalibrationType(ScsSensor* sensor, uint32_t type);
// Predicates: the value itself, 0 when the device cannot be had.
uint32_t scsSensorIsWOECalibrationFailed(ScsSensor* sensor);
uint32_t scsIsAlternateWOEEnabled(ScsSensor* sensor);
uint32_t scsSensorIsAESSecured(ScsSensor* sensor);
uint32_t scsSensorIsSecured(ScsSensor* sensor);
// The alternate value while alternate WOE is on, else the normal one.
TcsResult scsSensorSetWoeThresholdDelta(ScsSensor* sensor, uint32_t delta);
TcsResult scsSensorGetWoeThresholdDelta(ScsSensor* sensor, uint32_t* outDelta);
TcsResult scsSensorSetWoeThreshold(ScsSensor* sensor, uint32_t threshold);
TcsResult scsSensorGetWoeThreshold(ScsSensor* sensor, uint32_t* outThreshold);
// Normal threshold := the device's base threshold (allocation value or calibration's); outThreshold may be NULL.
TcsResult scsSensorResetWoeThreshold(ScsSensor* sensor, uint32_t* outThreshold);
TcsResult scsSensorSetMotionParamThresholdDelta(ScsSensor* sensor, uint32_t delta);
TcsResult scsSensorGetMotionParamThresholdDelta(ScsSensor* sensor, uint32_t* outDelta);
// NULL when the device cannot be had.
void* scsGetStorageInfoPtr(ScsSensor* sensor);
TcsResult scsSensorGetSubsystemStartupMode(ScsSensor* sensor, uint32_t* outMode);
TcsResult scsSensorGetId(ScsSensor* sensor, char* buffer, uint32_t size);
TcsResult scsSensorEnable(PalSensorHandle* handle);
TcsResult scsDriverSetDbgSystems(ScsSensor* sensor, uint32_t systems);
TcsResult scsDriverGetDbgSystems(ScsSensor* sensor, uint32_t* outSystems);
TcsResult scsDriverSetDbgFlags(ScsSensor* sensor, uint32_t flags);
TcsResult scsDriverGetDbgFlags(ScsSensor* sensor, uint32_t* outFlags);

// Store the switch and apply it to every initialising and active device: 1 turns the recovery off,
// anything else gives each device its default back.
TcsResult scsDisableResetRecovery(ScsSubsystem* subsystem, uint32_t disable);
TcsResult scsDisableESDRecovery(ScsSubsystem* subsystem, uint32_t disable);
// 1 (report) unless "SOFTWARE\\Tovantic\\ServiceDevices" exists and does not hold 1 under the name.
uint32_t scsReportSensorToService(const char* sensorName);

// The timeslot table: the first 1408 bytes of the configuration reply (fewer when it is shorter).
TcsResult scsHarlokFindTsTblInConfigReply(const ScsReplyView* reply, ScsReplyView* outTable);
TcsResult scsFindTsTblInConfigReply(ScsSensor* sensor, const ScsReplyView* reply, ScsReplyView* outTable);
TcsResult scsSensorFindNavConfiguration(ScsSensorDevice* device, uint32_t flexId, uint32_t soClock,
                                        uint32_t swipeSpeed, uint32_t bitDepth, void** outConfig);

// Not on this platform (6).
TcsResult scsGetStorageMemoryInfo(ScsSensor* sensor, void* outInfo);
TcsResult scsStoragePartitionsFormat(ScsSensor* sensor);
TcsResult scsReadImagePartEx(ScsSensor* sensor, void* buffer, uint32_t length);
TcsResult scsSensorIsFpga(ScsSensor* sensor);
// Not supported by the firmware (221).
TcsResult scsSensorVipCreateClientAuthToken(ScsSensor* sensor);
TcsResult scsSensorVipProvisionOtpSeed(ScsSensor* sensor);
TcsResult scsSensorVipCreateTotpToken(ScsSensor* sensor);
TcsResult scsSensorFidoCreateAuthData(ScsSensor* sensor);
TcsResult scsSensorFidoProvisionOtpSeed(ScsSensor* sensor);
TcsResult scsSensorFidoCreateHotpToken(ScsSensor* sensor);
// Always 0: no remote sensors, no interrupt endpoint.
TcsResult scsSensorIsRemoteSensor(ScsSensor* sensor);
TcsResult scsDeviceIsRemoteSensor(ScsSensorDevice* device);
TcsResult scsCancelInterruptEndpointRead(ScsSensor* sensor);
TcsResult scsIsInterruptEndpointEnabled(ScsSensor* sensor);
TcsResult scsInterruptEndpointEnable(ScsSensor* sensor, uint32_t enable);

#ifdef __cplusplus
}
#endif
