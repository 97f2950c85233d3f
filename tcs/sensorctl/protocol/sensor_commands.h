// Command protocol of sensor control: wire format and builders, synchronous commands, properties,
// patches, print configuration, built-in data, tag records and the decrypted-template cache.
//
// Synchronous sensor commands: one blocking call per command (any thread, the service thread
// included), with the reply parsed into the caller's out-arguments and the device's caches.
#pragma once

#include "tcs/sensorctl/engine/scs_internal.h"
#include "tcs/sensorctl/protocol/tag_records.h"
#include "tcs/sensorctl/protocol/wire_format.h"

#ifdef __cplusplus
extern "C" {
#endif

#define SCS_VERSION_TEXT_SIZE 80u
#define SCS_COMMAND_TIMEOUT_MS 15000u
#define SCS_OWNERSHIP_TIMEOUT_MS 120000u

TcsResult scsSensorGetVersion(ScsSensor* sensor, char* text80);
TcsResult scsSensorReset(ScsSensor* sensor, uint16_t delay);
TcsResult scsSensorGetStartInfo(ScsSensor* sensor, uint8_t* outStartType, uint8_t* outResetType, uint32_t* outWord2,
                                uint32_t* outWord6, uint32_t* outWord10, uint8_t* outBlock52);
TcsResult scsSensorPeek(ScsSensor* sensor, uint32_t address, uint8_t width, uint32_t* outValue);
TcsResult scsSensorPoke(ScsSensor* sensor, uint32_t address, uint8_t width, uint32_t value);
TcsResult scsSensorSetRefClock(ScsSensor* sensor, uint32_t a, uint32_t b, uint32_t c, uint32_t d, uint32_t e);
TcsResult scsSensorSetCPUClock(ScsSensor* sensor, uint32_t a, uint32_t b);
TcsResult scsSensorSetSPIMode(ScsSensor* sensor, uint32_t mode);
TcsResult scsSensorDownloadPatch(ScsSensor* sensor, uint16_t reserved, uint16_t length, const uint8_t* image);
TcsResult scsSensorUnloadPatch(ScsSensor* sensor);
TcsResult scsSensorWOEEnter(ScsSensor* sensor, uint16_t value);
// The configuration reply, copied into a palRealMalloc'd buffer the caller frees ({0, NULL} when
// the sensor sent none).
TcsResult scsSensorGetFingerprint(ScsSensor* sensor, uint16_t lines, uint8_t calibration, uint8_t mode,
                                  uint32_t options, PrintConfiguration* config, ScsReplyView* outReply);
TcsResult scsSensorAbortFingerprint(ScsSensor* sensor);
TcsResult scsSensorGetFingerState(ScsSensor* sensor, uint8_t* outState, uint8_t* outFlags);
TcsResult scsSensorSPITrans(ScsSensor* sensor, uint32_t length, const uint8_t* data, const scswire::SpiParams* settings,
                            uint8_t* outReceive);
TcsResult scsSensorLock(ScsSensor* sensor);
TcsResult scsSensorGetUID(ScsSensor* sensor, uint16_t* outA, uint16_t* outB, uint8_t* outUid16);
TcsResult scsSensorGetCertificate(ScsSensor* sensor, uint32_t* outA, uint32_t* outB, uint8_t* outFirst256,
                                  uint8_t* outSecond256);
TcsResult scsSensorGetOwnershipInfo(ScsSensor* sensor, uint16_t* outA, uint16_t* outB);
TcsResult scsSensorTakeOwnership(ScsSensor* sensor, uint32_t length, const uint8_t* password, uint8_t* outFirst,
                                 uint32_t firstLength, uint8_t* outSecond, uint32_t secondLength);
// The 256-byte reply of the keyed pairing; any key pointer may be NULL (the sensor uses its own).
TcsResult scsSensorTakeOwnershipWithKeys(ScsSensor* sensor, uint32_t flashCapacity, uint32_t eraseBlockSize,
                                         const uint8_t* cik, const uint8_t* cios, const uint8_t* privateExponent,
                                         const uint8_t* privateModulus, const uint8_t* hostModulus,
                                         uint32_t replyLength, uint8_t* outReply);
TcsResult scsSensorResetOwnership(ScsSensor* sensor, uint32_t length, const uint8_t* password);
// Sends the bytes as they stand and hands back the raw reply (status word included); *inOutLength
// is the room in outBuffer on entry and the reply length on return.
TcsResult scsSensorCommandBlob(ScsSensor* sensor, const uint8_t* data, uint32_t length, uint8_t* outBuffer,
                               uint32_t* inOutLength);
// The common synchronous call: arguments (at most 160 bytes) as the command's builder reads them,
// the payload copied out (*inOutLength: room on entry, bytes on return).
TcsResult scsRunCommand(ScsSensor* sensor, uint32_t witId, const void* args, uint32_t argsSize, uint32_t timeoutMs,
                        uint8_t* outPayload, uint32_t* inOutLength);
TcsResult scsSensorGetCachedVersion(ScsSensor* sensor, char* text80);
TcsResult scsSensorFormatVersionString(ScsSensorDevice* device, char* text80);
TcsResult scsSensorGetFwVersion(ScsSensor* sensor, ScsFwVersion* outVersion);
TcsResult scsSensorGetPatchLevel(ScsSensor* sensor, uint32_t* outLevel);
TcsResult scsSensorSetConfigReply(ScsSensor* sensor, const ScsReplyView* reply);
TcsResult scsHarlokParseConfigReply(ScsSensorDevice* device, const ScsReplyView* reply);
TcsResult scsSensorGetTimeSlotTable(ScsSensor* sensor, uint8_t** outTable, uint32_t* outLength);
TcsResult scsStartReadFingerprint(ScsSensor* sensor);

// The commands without firmware support: 221, nothing sent.
TcsResult scsSensorGetCFGTSBL(ScsSensor* sensor);
TcsResult scsSensorSPIFlash(ScsSensor* sensor);
TcsResult scsSensorInplacePatch(ScsSensor* sensor);
TcsResult scsSensorSetLEDStateEx2(ScsSensor* sensor);

#ifdef __cplusplus
}
#endif

#ifdef __cplusplus
extern "C" {
#endif
// Fingerprint-buffer waits and cancellation of a counted-line capture.
TcsResult scsSensorWaitForFpBuffersSyncResponse(ScsSensor* sensor, PalEvent* event, uint32_t timeoutMs,
                                                uint32_t transactionId);
TcsResult scsSensorCancelAllFingerprintBuffers(ScsSensor* sensor);
// Counted-line capture: lines scan lines through the fingerprint pipe into buffer.
TcsResult scsSensorGetCountedLinesSynch(ScsSensor* sensor, uint8_t* buffer, uint32_t size, uint16_t lines,
                                        uint8_t mode, uint32_t value, void* printConfiguration, void* outReply);
// SPI flash read through the fingerprint pipe: readLength bytes (a multiple of 64) into buffer.
TcsResult scsFastReadSPIFlash(ScsSensor* sensor, uint32_t ignored, uint16_t commandLength, const uint8_t* command,
                              uint32_t readLength, uint8_t* buffer);
#ifdef __cplusplus
}
#endif
