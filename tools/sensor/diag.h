// Diagnostic layer of the sensor tool: synchronous tcsTest* calls through which the command handlers
// reach the in-process stack (start-up, sensor open, raw commands, patches, security, capture,
// configuration, SPI flash, calibration and queries).
#pragma once

#include "tcs/result.h"
#include "tcs/tcs.h"

#include <stdint.h>
#include <stdio.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct PrintConfiguration PrintConfiguration;
typedef struct ScsHarlokData ScsHarlokData;
typedef struct ScsPrintConfigurationData ScsPrintConfigurationData;
typedef struct PalSensorHandle PalSensorHandle;

// What the tool holds between tcsTestInitializeEx and tcsTestUninitialize.
typedef struct TcsTestContext {
    CoreSubsystem* stack;
    TcsHandle client;  // 0 once the client is destroyed
} TcsTestContext;

// --- Frame -----------------------------------------------------------------------------------------
TcsResult tcsTestInitializeEx(TcsTestContext** outContext, uint32_t flags, const StartupOption* options,
                              EventCallback systemCallback, void* callbackContext);
// values: {swipe speed, clock, flex id} or NULL.
TcsResult tcsTestInitialize(TcsTestContext** outContext, uint32_t flags, const uint32_t* values,
                            EventCallback systemCallback, void* callbackContext);
TcsResult tcsTestUninitialize(TcsTestContext* context, EventCallback systemCallback, void* callbackContext);
TcsResult tcsTestValidateTestSubsystem(const TcsTestContext* context);
TcsResult tcsTestGetClientHandle(const TcsTestContext* context, TcsHandle* outClient);
TcsResult tcsTestSensorOpen(TcsTestContext* context, TcsHandle* outSensor, const char* sensorId,
                            EventCallback sensorCallback, void* callbackContext);
TcsResult tcsTestSensorClose(TcsHandle sensor, EventCallback sensorCallback, void* callbackContext);
TcsResult tcsTestIsSensorInitialized(TcsHandle sensor);
TcsResult tcsTestResetAndWait(TcsTestContext* context, const char* sensorId);

// The reset wait's record, written by tcsTestResetEventsHandler on the service thread.
typedef struct TcsTestResetWait {
    uint32_t status;
    PalEvent* event;
    uint32_t removalSeen;
} TcsTestResetWait;
TcsResult tcsTestResetEventsHandler(void* client, void* waitRecord, EventRecord* event);

TcsResult tcsTestIsPersistentSettings(const uint8_t* sensorId6, const char* valueName, uint32_t* outValue);
TcsResult tcsTestSafeHandlesInitialize(void);
TcsResult tcsTestSafeHandlesUnInitialize(void);
TcsResult tcsTestDisableResetRecovery(TcsTestContext* context, uint32_t flag);
TcsResult tcsTestDisableESDRecovery(TcsTestContext* context, uint32_t flag);
TcsResult tcsTestSensorEnable(PalSensorHandle* platformSensor);
TcsResult tcsTestSensorGetId(TcsHandle sensor, char* buffer, uint32_t size);
TcsResult tcsTestDiscoverRemoteSensors(CoreSubsystem** stack);
TcsResult tcsTestSensorFreeConfiguration(void* buffer);

// Fixed results: 6 (not on this platform) and 221 (not supported by the firmware).
TcsResult tcsTestSensorServiceManager(void);
TcsResult tcsTestSensorSelectiveSuspend(void);
TcsResult tcsTestIsEngineeringPort(void);
TcsResult tcsTestGetEngineeringSensorsList(void);
TcsResult tcsTestSendControlMessage(void);
TcsResult tcsTestSensorSetLEDStateEx2(void);
TcsResult tcsTestSensorSPIFlash(void);
TcsResult tcsTestDunmoGetCFGTSBL(void);

// --- Patch files and patches --------------------------------------------------------------------------
typedef struct PatchFileHeader {
    uint32_t firmwareVersion[4];  // 0xFFFFFFFF for a part written '*'
    uint32_t patchLevel;
    uint32_t interfaceKind;
    uint32_t security;
    uint32_t phase;  // the patch kind mask
    uint32_t encryption;
    uint32_t target;
    uint32_t product;
} PatchFileHeader;

TcsResult tcsTestParsePatchFile(const char* path, PatchFileHeader* outHeader, uint8_t* outData, uint32_t* inOutSize);
// Both buffers are the caller's to free with palRealFree.
TcsResult ParsePatchFile(const char* path, uint8_t** outData, uint16_t* outDataLength, char** outHeader,
                         uint16_t* outHeaderLength);
// The blob is the caller's to free with palRealFree.
TcsResult tcsTestCreatePatchCmd(TcsHandle sensor, const char* path, uint8_t** outBlob, uint16_t* outLength);
TcsResult tcsTestCreatePatchCmd_V4(TcsHandle sensor, const char* path, uint8_t** outBlob, uint16_t* outLength);
TcsResult tcsTestDoPatch_V4(TcsHandle sensor, const char* path, uint32_t kindMask, uint32_t selector);
TcsResult tcsTestDownloadPatch(TcsHandle sensor, const char* path);
TcsResult tcsTestDownloadInternalPatch(TcsHandle sensor, uint32_t kindMask, uint32_t selector);
TcsResult tcsTestSensorLoadPatch(TcsHandle sensor, uint32_t kindMask, uint32_t selector, uint32_t* outLoaded);
TcsResult tcsTestSensorUnloadPatch(TcsHandle sensor);
TcsResult tcsTestDisablePatchManagement(TcsHandle sensor, uint32_t value, uint32_t* outOldValue);
TcsResult tcsTestSensorIsPatched(TcsHandle sensor, uint8_t* outLevel);
TcsResult tcsTestSensorEnablePatchSignatureCaching(TcsHandle sensor, uint32_t flag);
TcsResult tcsTestGetCmdProtocolVersion(TcsHandle sensor, uint8_t* outVersion);

// --- Security ---------------------------------------------------------------------------------------------
TcsResult tcsTestSensorIsRsaSecured(TcsHandle sensor, uint32_t* out);
TcsResult tcsTestSensorIsAesSecured(TcsHandle sensor, uint32_t* out);
TcsResult tcsTestSensorGetSecurityStatus(TcsHandle sensor, uint32_t* out);
TcsResult tcsTestIsInSecureSession(TcsHandle sensor, uint32_t* out);
TcsResult tcsTestIsSelkinMatchOnChip(TcsHandle sensor, uint32_t* out);
TcsResult tcsTestStopSSLSession(TcsHandle sensor, uint32_t sendAlert);
TcsResult tcsTestEstablishSSLSession(TcsHandle sensor);
TcsResult tcsTestRSEstablishSessionKey(TcsHandle sensor);
// The authentication data come back in a buffer the caller frees with palRealFree.
TcsResult tcsTestSensorGetAuthData(TcsHandle sensor, const uint8_t* block, uint32_t blockLength, const uint8_t* extra,
                                   uint32_t extraLength, uint8_t** outData, uint32_t* outLength, uint32_t selector);
TcsResult tcsTestSensorValidateCertificate(TcsHandle sensor, uint32_t length, const uint8_t* certificate,
                                           const uint8_t* signature);
TcsResult tcsTestSensorGetCertificate(TcsHandle sensor, uint32_t* outKeyLength, uint32_t* outExponent,
                                      uint8_t* outModulus256, uint8_t* outSignature256);
TcsResult tcsTestSensorGetPrintSignature(TcsHandle sensor, uint8_t* outKind, uint8_t* outBlock256);
TcsResult tcsTestSensorGetLastFpSignature(TcsHandle sensor, uint8_t* out32);
TcsResult tcsTestSensorVerifyFpSignature(TcsHandle sensor);
TcsResult tcsTestSensorDecVerifyTemplateData(TcsHandle sensor, uint32_t length, const uint8_t* input,
                                             uint32_t secondLength, const uint8_t* second, const uint8_t* value32,
                                             uint8_t* outFirst, uint32_t* inOutFirst, uint8_t* outSecond,
                                             uint32_t* inOutSecond);
TcsResult tcsTestSensorSignEncTemplateData(TcsHandle sensor, uint32_t length, const uint8_t* input,
                                           uint32_t extraLength, const uint8_t* extra, uint8_t* outData,
                                           uint32_t* inOutLength);
TcsResult tcsTestSensorMatchVerify(TcsHandle sensor, uint32_t length, const uint8_t* templ, const uint8_t* value32,
                                   uint8_t* outData, uint32_t* inOutLength);
TcsResult tcsTestSecureCommunication(TcsHandle sensor, const uint8_t* secret32, uint32_t length);
TcsResult tcsTestSensorUpdateSecurityState(TcsHandle sensor);
TcsResult tcsTestSignDataByPrivK(const uint8_t* keyBlob, uint32_t blobLength, const uint8_t* data,
                                 uint32_t dataLength, uint32_t hashId, uint8_t* outSignature,
                                 uint32_t* inOutSignatureLength);

// --- Test-patch commands, ownership and OTP -------------------------------------------------------------
TcsResult tcsTestSensorSendCommand(TcsHandle sensor, const uint8_t* command, uint32_t commandLength, uint8_t* reply,
                                   uint32_t* inOutReplyLength);
TcsResult tcsTestNoop(TcsHandle sensor);
TcsResult tcsTestSensorOtpRead(TcsHandle sensor, uint8_t* out128, const char* patchPath);
TcsResult tcsTestSensorOtpWrite(TcsHandle sensor, const uint8_t* data128, const char* patchPath);
TcsResult tcsTestSensorOtpReadEx(TcsHandle sensor, uint8_t bank, uint32_t mode, uint8_t* out, const char* patchPath);
TcsResult tcsTestSensorOtpWriteEx(TcsHandle sensor, uint8_t bank, uint32_t mode, uint8_t index, const uint8_t* data,
                                  uint16_t* outA, uint16_t* outB, uint16_t* outC, uint16_t* outD,
                                  const char* patchPath);
TcsResult tcsTestSensorRomChecksum(TcsHandle sensor, uint32_t* outChecksum, const char* patchPath);
TcsResult tcsTestGetSpecialGPIOState(TcsHandle sensor, uint32_t* outState);
TcsResult tcsTestSensorGetEccCorrectionInfo(TcsHandle sensor, uint16_t* outA, uint16_t* outB);
TcsResult tcsTestProgrammDunmoMTPassed(TcsHandle sensor, const char* patchPath);
TcsResult tcsTestProgrammDunmoSSK(TcsHandle sensor, const char* patchPath);
TcsResult tcsTestSensorProvision(TcsHandle sensor, uint32_t length, uint8_t* out52, const char* patchPath);

typedef struct TcsTestPassword {
    uint32_t length;
    const uint8_t* data;
} TcsTestPassword;
TcsResult tcsTestSensorResetOwner(TcsHandle sensor, const TcsTestPassword* password);
TcsResult tcsTestSensorResetOwnerQuick(TcsHandle sensor);
TcsResult tcsTestSimulateTakeOwnership(TcsHandle sensor, const uint8_t* data, uint32_t length, const char* patchPath);
TcsResult tcsTestGenFakeSharedSecret(TcsHandle sensor, uint8_t* out32, uint32_t length, const char* patchPath);
TcsResult tcsTestSensorDownloadSetVCK_IV(TcsHandle sensor, uint32_t sizeSelector, const char* patchPath);

// --- Capture, raw lines, configuration read-out -----------------------------------------------------------
typedef struct TcsTestRawLine {
    uint32_t length;
    uint8_t data[400];
} TcsTestRawLine;

// The all-ones pointer stands for the device default, as NULL does.
#define TCS_TEST_DEFAULT_CONFIG ((const char*)~(uintptr_t)0)

TcsResult tcsTestSensorGetFingerprint(TcsHandle sensor, TcsHandle* outImage, const char* configPath,
                                      const char* debugPath, uint32_t calibrationType, uint32_t timeoutMs);
TcsResult tcsTestGetPrintByConfig(TcsHandle sensor, TcsHandle* outImage, PrintConfiguration* config,
                                  const char* debugPath, uint8_t calibrationType, uint32_t timeoutMs);
TcsResult tcsTestGetPrintByConfigAsync(TcsHandle sensor, PrintConfiguration* config, const char* debugPath,
                                       uint8_t calibrationType, CompletionCallback callback, void* context);
TcsResult tcsTestGetRawScanlines(TcsHandle sensor, uint16_t lineCount, TcsTestRawLine* out, uint8_t lineOption,
                                 const char* configPath, uint32_t modeFlags);
TcsResult tcsTestStartRawStreaming(TcsHandle sensor, uint16_t lineCount, const char* configPath,
                                   CompletionCallback lineCallback, void* context);
TcsResult tcsTestSensorGetConfiguration(TcsHandle sensor, uint8_t** outBuffer, uint32_t* outLength);
TcsResult tcsTestGetPrintBulk(TcsHandle sensor, const uint8_t* command, uint32_t commandLength, uint32_t timeoutMs,
                              uint8_t* reply, uint32_t* inOutReplyLength, uint8_t* data, uint32_t dataSize,
                              uint32_t* outByteCount);
TcsResult tcsTestSaveDataToQcf(TcsHandle sensor, const char* path, uint32_t size, const uint8_t* data);
TcsResult tcsTestStopPrint(TcsHandle sensor);
TcsResult tcsTestImageGetIRMetrics(TcsHandle image, uint8_t* out224);
TcsResult tcsTestImageToBitmapBits(TcsHandle image, uint8_t* buffer, uint32_t* inOutSize);

// The buffer and line callbacks of the read-outs (records private to the layer).
TcsResult tcsTestSensorGetConfigurationBufferCallback(void* waitRecord, TcsResult status, uint8_t* buffer,
                                                      uint32_t length, void* entry);
TcsResult tcsTestFingerprintCB(void* waitRecord, TcsResult status, uint8_t* buffer, uint32_t byteCount, void* entry);
TcsResult idsGetRawScanLinesCB(void* object, TcsResult status, void* waitRecord);

// --- Print configuration files and configuration data -----------------------------------------------------
TcsResult tcsTestLoadPrintConfigFromFile(TcsHandle sensor, const char* path, PrintConfiguration** outConfig);
// 1 with key and value pointing into the (modified) line, 0 for null arguments or a line without '='.
uint32_t tcsTestGetKeyValue(char* line, char** outKey, char** outValue);
char* tcsTestTrimSpace(char* text);
TcsResult tcsTestGetUint32DataFromPrintConfig(TcsHandle sensor, const PrintConfiguration* config, uint32_t index,
                                              uint32_t* outValue);
TcsResult tcsTestSetUint32DataToPrintConfig(TcsHandle sensor, PrintConfiguration* config, uint32_t index,
                                            uint32_t value);
TcsResult tcsTestGetPrintParamBlobFromPrintConfig(TcsHandle sensor, const PrintConfiguration* config,
                                                  const uint8_t** outBlob, uint32_t* outLength);
TcsResult tcsTestSetPrintParamBlobToPrintConfig(TcsHandle sensor, PrintConfiguration* config, const uint8_t* blob,
                                                uint32_t length);
TcsResult tcsTestGetPrintConfig(TcsHandle sensor, uint32_t flexId, uint32_t soClock, uint32_t swipeSpeed,
                                uint32_t bitDepth, PrintConfiguration** outConfig);
TcsResult tcsTestFreePrintConfig(TcsHandle sensor, PrintConfiguration** config);
TcsResult tcsTestGetPreconfScanlineLength(TcsHandle sensor, uint16_t* outLength);
TcsResult tcsTestSensorGetConfigData(TcsHandle sensor, ScsPrintConfigurationData** outRecord);
TcsResult tcsTestSensorFreeConfigData(ScsPrintConfigurationData** record);
TcsResult tcsTestGetUint32DataFromConfigData(const ScsPrintConfigurationData* record, uint32_t index,
                                             uint32_t* outValue);
TcsResult tcsTestGetBlobDataFromConfigData(const ScsPrintConfigurationData* record, uint32_t index,
                                           const uint8_t** outData, uint32_t* outLength);
// The array is the caller's to free with palRealFree.
TcsResult tcsTestGetCalibrationResultsFromConfigData(const ScsPrintConfigurationData* record, uint32_t** outArray,
                                                     uint32_t* outCount, uint32_t* outB, uint32_t* outC);
TcsResult tcsTestGetCalStatusResults(TcsHandle sensor, uint32_t** outArray, uint32_t* outCount, uint32_t* outB,
                                     uint32_t* outC);
TcsResult tcsTestFreeCalStatusResults(uint32_t* array);
TcsResult tcsTestSensorGetHarlokConfigData(TcsHandle sensor, ScsHarlokData* out);
TcsResult tcsTestSensorFreeHarlokConfigData(ScsHarlokData* data);
TcsResult tcsTestGetRegFieldValueFromGetPrintDataV4(const uint8_t* block, uint32_t length, uint32_t address,
                                                    uint8_t lowBit, uint8_t highBit, uint32_t* outValue);

// --- SPI, flash, memory and transport ---------------------------------------------------------------------
TcsResult tcsTestSensorSPITransPriv(TcsHandle sensor, uint16_t length, const uint8_t* command, uint8_t* reply,
                                    uint32_t encrypt);
TcsResult tcsTestSensorSPITransEnc(TcsHandle sensor, uint16_t length, const uint8_t* command, uint8_t* reply);
TcsResult tcsTestSensorSPITrans(TcsHandle sensor, uint16_t length, const uint8_t* command, uint8_t* reply);
TcsResult tcsTestSensorSPIBulkRead(TcsHandle sensor, uint64_t unused, uint8_t* command4, uint32_t length,
                                   uint8_t* out, uint32_t* outLength, uint32_t method);
TcsResult tcsTestSensorSPIRead(TcsHandle sensor, uint32_t address, uint32_t length, uint8_t* out);
TcsResult tcsTestSensorSectorErase(TcsHandle sensor, uint32_t address);
TcsResult tcsTestSensorSetSPIMode(TcsHandle sensor, uint32_t mode);
TcsResult tcsTestSensorSetCPUClk(TcsHandle sensor, uint32_t a, uint32_t b);
TcsResult tcsTestSensorSetRefClock(TcsHandle sensor, uint32_t a, uint32_t b, uint32_t c, uint32_t d, uint32_t e);
TcsResult tcsTestPeek(TcsHandle sensor, uint32_t address, uint32_t width, uint32_t* out);
TcsResult tcsTestPoke(TcsHandle sensor, uint32_t address, uint32_t width, uint32_t value);
TcsResult tcsTestGetFlashCapacity(TcsHandle sensor, uint64_t* outCapacity);
TcsResult tcsTestGetFlashMemoryInfo(TcsHandle sensor, uint8_t* out40);
TcsResult tcsTestGetFlashInfo(TcsHandle database, uint32_t* outCapacity, uint32_t* outStoreSize);
TcsResult tcsTestGetFlashFreeSpace(TcsHandle database, uint32_t* outFree);
TcsResult tcsTestPrintFSSStat(FILE* stream, TcsHandle database);
TcsResult tcsTestSensorGetTransport(TcsHandle sensor, uint32_t* outKind);
TcsResult tcsTestSetDriverBaudRate(TcsHandle sensor, uint64_t rate);
TcsResult tcsTestSendDriverIOCTL(TcsHandle sensor, uint32_t code, uint16_t* outA, uint32_t* outB, uint32_t* inOutC);

// --- Calibration, LED, WOE, selective suspend and queries -------------------------------------------------
typedef struct TcsTestStartInfo {
    uint8_t startType;
    uint8_t resetType;
    uint32_t word;
} TcsTestStartInfo;

// {u32 kind (24 marks the extended form), period ms, duty %, rate[, three more]}.
typedef struct TcsTestLedPattern {
    uint32_t kind;
    uint32_t periodMs;
    uint32_t dutyPercent;
    uint32_t rate;
    uint32_t extra[3];
} TcsTestLedPattern;

TcsResult tcsTestCalibrate(TcsHandle sensor, uint32_t type);
TcsResult tcsTestGetCalData(TcsHandle sensor, uint8_t* buffer, uint32_t* inOutSize);
TcsResult tcsTestSensorGetCalibrationResultsHandle(TcsHandle sensor, uint64_t* out);
TcsResult tcsTestSensorGetDefaultConfigParams(TcsHandle sensor, uint32_t* outFlexId, uint32_t* outA, uint32_t* outB,
                                              uint32_t* outC);
TcsResult tcsTestSensorLEDConfig(TcsHandle sensor, uint32_t event, const TcsTestLedPattern* pattern);
TcsResult tcsTestSensorLEDSwipeAccepted(TcsHandle sensor);
TcsResult tcsTestSensorLEDSwipeRejected(TcsHandle sensor);
TcsResult tcsTestSensorLEDReadyForSwipe(TcsHandle sensor);
TcsResult tcsTestSensorLEDIdle(TcsHandle sensor);
TcsResult tcsTestSensorLEDSwipeAcceptAndReject(TcsHandle sensor, uint32_t count);
TcsResult tcsTestSetLEDStateEx2ToScsCmdSetLEDStateEx2(const uint8_t* source, uint8_t* destination);
TcsResult tcsGetWoeParams(const char* path, uint8_t* outBuffer, uint32_t* inOutSize);
TcsResult tcsTestWOESetup(TcsHandle sensor, const char* path, uint32_t flag);
TcsResult tcsTestSetWOEConfiguration(TcsHandle sensor, const uint8_t* data, uint32_t size);
// The data are the caller's to free with palRealFree.
TcsResult tcsTestGetDefaultWOEConfiguration(TcsHandle sensor, uint32_t flag, uint8_t** outData, uint32_t* outSize);
TcsResult tcsTestWOEEnter(TcsHandle sensor, uint32_t mode);
TcsResult tcsTestDisableSelectiveSuspend(TcsHandle sensor);
TcsResult tcsTestEnableSelectiveSuspend(TcsHandle sensor);
TcsResult tcsTestSetSelectiveSuspendTimeout(TcsHandle sensor, uint32_t timeoutMs);
TcsResult tcsTestGetSelectiveSuspendTimeout(TcsHandle sensor, uint32_t* outTimeoutMs);
TcsResult tcsTestResumeSelectiveSuspend(TcsHandle sensor);
TcsResult tcsTestGetVersion(TcsHandle sensor, char* out80);
TcsResult tcsTestSensorGetUID(TcsHandle sensor, uint16_t* outA, uint16_t* outB, uint8_t* outUid16);
TcsResult tcsTestSensorGetProductFamily(TcsHandle sensor, uint32_t* outFamily);
TcsResult tcsTestSensorGetStartInfo(TcsHandle sensor, TcsTestStartInfo* out);
TcsResult tcsTestSensorGetFingerState(TcsHandle sensor, uint8_t* out);
TcsResult tcsTestReset(TcsHandle sensor, uint32_t type);

#ifdef __cplusplus
}
#endif
