// The sensor program's own state and entry points: front end, start-up, result names and the
// command handlers, shared by the program and its tests.
#pragma once

#include "tcs/result.h"
#include "tcs/tcs.h"
#include "tools/sensor/diag.h"

#include <stdint.h>
#include <stdio.h>

// --- Process-wide tool state --------------------------------------------------------------------------
extern uint32_t gMode;
extern uint32_t gNoWait;
extern uint32_t gPrintTime;
extern uint32_t gUseInternalCfg;
extern uint32_t gDoInit;
extern uint32_t gIsSPIsecure;
extern uint32_t gSwipeSpeed;
extern uint32_t gSoClock;
extern uint32_t gFlexId;
extern uint32_t gScriptCommand;
extern TcsHandle g_hSensor;

constexpr uint32_t kInitialMode = 0x80300000u;

// Puts every global above back to its value at process start (tests run many command lines).
void SensorResetToolState();

// --- Front end ---------------------------------------------------------------------------------------------
typedef int (*SensorHandler)(int argc, char** argv);
struct SensorCommand {
    const char* name;
    SensorHandler handler;
};
constexpr int kFunctionCount = 54;
extern const SensorCommand FunctionList[kFunctionCount];

// The gated entry: what main() does, returning the process status.
int SensorMain(int argc, char** argv);
int Execute(int argc, char** argv);
const SensorCommand* FindFunction(char* word);
// The option scan of Execute: sets the globals and returns the lowered argument count.
int SensorScanOptions(int argc, char** argv);
// Splits a script line in place into at most 63 words; the vector ends with a null entry.
int SensorSplitScriptLine(char* line, char** words, int capacity);
void usage();
void wait();

// --- Start-up and key callbacks ------------------------------------------------------------------------------
TcsHandle GetSensor(uint32_t flags);
int UpdateSensor(TcsHandle* handle);
TcsResult DestroySensor();
TcsResult tcsClientEventsCallback(void* handle, void* context, EventRecord* event);
TcsHandle GetClientHandle();
uint8_t GetCommandProtocolVersion();
// Start-up option 5: the stack hands the length by value (the bytes it wants), so it is taken so here.
TcsResult GetSensorPubKey(const uint8_t* sensorId, uint32_t unused, uint8_t* buffer, uint32_t length);
TcsResult SignDataByHAPrivKey(const uint8_t* sensorId, uint32_t unused, const uint8_t* data, uint32_t length,
                              uint32_t hashId, uint8_t* signature, uint32_t* signatureLength);
// The per-sensor settings section: the base section, a backslash and the 6-byte id in hex.
void SensorKeySection(const uint8_t* sensorId6, char* out260);
// The start-up option list GetSensor hands to the stack (ids 4, 5, then 1, 2, 3 when given, then 0).
// Allocated with palRealMalloc; NULL when out of memory.
StartupOption* SensorBuildStartupOptions();

// --- Result-code names ----------------------------------------------------------------------------------------
struct SensorValueName {
    uint32_t value;
    const char* name;
};
int SensorValToString(char* out, uint32_t outSize, uint32_t value, const SensorValueName* table, uint32_t rows);
const char* SensorResultStatus(uint32_t code);

// --- Handlers --------------------------------------------------------------------------------------------------
int SensorGetVersion(int argc, char** argv);
int SensorReset(int argc, char** argv);
int SensorPeek(int argc, char** argv);
int SensorPoke(int argc, char** argv);
int SensorGetPrint(int argc, char** argv);
int SensorStopPrint(int argc, char** argv);
int SensorUnloadPatch(int argc, char** argv);
int SensorDoPatch(int argc, char** argv);
int SensorRunScript(int argc, char** argv);
int SensorAnyCommand(int argc, char** argv);
int SensorGPIO(int argc, char** argv);
int SensorGetFingerStatus(int argc, char** argv);
int SensorGetPrintBulk(int argc, char** argv);
int SensorSPITransfer(int argc, char** argv);
int SensorSPIBulkRead(int argc, char** argv);
int SensorSPIFlashWrite(int argc, char** argv);
int SensorSetCPUClock(int argc, char** argv);
int SensorReadRAM(int argc, char** argv);
int SensorSetRefClock(int argc, char** argv);
int SensorWOEEnter(int argc, char** argv);
int SensorGetStartInfo(int argc, char** argv);
int SensorWOESetup(int argc, char** argv);
int SensorGetConfig(int argc, char** argv);
int SensorSetSPIMode(int argc, char** argv);
int SensorGetPrintWait(int argc, char** argv);
int SensorCalibrate(int argc, char** argv);
int SensorGetFlashInfo(int argc, char** argv);
int SensorProvision(int argc, char** argv);
int SensorSetOwner(int argc, char** argv);
int SensorSetOwnerSim(int argc, char** argv);
int SensorResetOwner(int argc, char** argv);
int SensorDecommission(int argc, char** argv);
int SensorLock(int argc, char** argv);
int SensorGetSecureStatus(int argc, char** argv);
int SensorGetSSLStatus(int argc, char** argv);
int SensorGetPrintSignature(int argc, char** argv);
int SensorOtpRead(int argc, char** argv);
int SensorOtpWrite(int argc, char** argv);
int SensorSetProdOpts(int argc, char** argv);
int SensorGetOwnershipInfo(int argc, char** argv);
int SensorSerialize(int argc, char** argv);
int SensorGetCertificate(int argc, char** argv);
int SensorGetAuthData(int argc, char** argv);
int SensorSetOwnerWithKeys(int argc, char** argv);
int SensorGetUID(int argc, char** argv);
int SensorGenVCK(int argc, char** argv);
int SensorMakeProd(int argc, char** argv);

// OTP helpers: 12 hex digits into 6 bytes (7 for anything else); the tagged OTP area's scan (entry
// offset, -1 when absent, -2 for a corrupt area).
int ParseSerialNum(const char* text, uint8_t* out6);
int FindDunmoOtpTaggedValue(const uint8_t* area, uint32_t* outLength, uint32_t tag);

// Print output files: line records as "%3.3d" values separated by ", " (one text line a record) and
// their bytes; the data of a long capture cut into lines at the 0x01, 0xFE line starts.
void SensorWriteLineRecords(FILE* csv, FILE* bin, const TcsTestRawLine* lines, uint32_t count);
void SensorWriteBulkCsv(FILE* csv, const uint8_t* data, uint32_t byteCount, uint32_t lineLength);
