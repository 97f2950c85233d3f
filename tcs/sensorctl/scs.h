// Sensor control: the public interface of the subsystem that speaks to the sensors (devices,
// clients, sensor handles, the service step, events and command routing).
#pragma once

#include "platform/threads.h"
#include "tcs/result.h"

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct ScsSubsystem ScsSubsystem;
typedef struct ScsClient ScsClient;
typedef struct ScsSensor ScsSensor;  // one client's open of one device (the "sensor handle")
typedef struct ScsSensorDevice ScsSensorDevice;
typedef struct WorkItem WorkItem;

// Start flags read by sensor control.
#define SCS_START_NO_SERVICE_THREAD 0x00000001u

// {u32 id, u32 status, u32 data size, data}. System events: 1 sensor removed (data the name),
// 2 sensor arriving (the name), 3 sensor ready, 4 initialisation failed, 9 all present devices
// ready (a 4-byte count).
typedef struct EventRecord {
    uint32_t id;
    uint32_t status;
    uint32_t dataSize;
    void* data;
} EventRecord;

// Completion of an asynchronous operation: object is what the operation produced (a client, a
// sensor handle, a reply view, or NULL), status its result.
typedef TcsResult (*ScsCallback)(void* object, TcsResult status, void* context);

// What a command's reply callback receives as object: the payload, valid only during the call.
typedef struct ScsReplyView {
    uint32_t length;
    uint8_t* data;
} ScsReplyView;
typedef TcsResult (*ScsReply)(ScsReplyView* reply, TcsResult result, void* context);

// System events to a client (also used by the per-handle sensor listeners with the handle first).
typedef TcsResult (*ScsClientEventCallback)(ScsClient* client, void* context, EventRecord* event);
typedef TcsResult (*ScsSensorEventCallback)(ScsSensor* sensor, void* context, EventRecord* event);
// Subsystem-wide: told (context, handle, 1) when a sensor handle loses its device.
typedef void (*ScsSensorLostCallback)(void* context, ScsSensor* sensor, uint32_t reason);

// The 192-byte request of a sensor command (work items 0-57), built on the caller's stack.
typedef struct ScsWitRequest {
    uint32_t witId;  // ScsWitId, in an 8-byte slot
    uint32_t reserved;
    ScsReply replyCallback;
    void* context;
    uint32_t* transactionId;  // receives the transaction id when not NULL
    uint8_t arguments[160];
} ScsWitRequest;

// The start options the stack hands to sensor control, which keeps a copy (zeros when none was given).
// A zero slot means "use the persistent setting".
typedef struct StartupOptionBlock {
    uint32_t swipeSpeed;
    uint32_t socClock;
    uint32_t flexId;
    void* signDataCallback;
    void* getSensorPublicKeyCallback;
} StartupOptionBlock;

// --- Subsystem -----------------------------------------------------------------------------------
// 13 for a NULL out pointer; startOptions may be NULL.
TcsResult scsSubsystemStartup(ScsSubsystem** outSubsystem, PalEvent* wakeEvent, uint32_t startFlags,
                              const StartupOptionBlock* startOptions);
TcsResult scsSubsystemShutdown(ScsSubsystem* subsystem);
// One service step within budgetMs; 0 while work remains, 217 when none; *waitMs (may be NULL)
// receives the wait the step asks for (0 none).
TcsResult scsSubsystemService(ScsSubsystem* subsystem, uint32_t budgetMs, uint32_t* waitMs);
// Waits for event; pumps the service step itself when the stack has no service thread or the
// caller is the service thread. 34 on time-out, 40 for a NULL subsystem.
TcsResult scsSubsystemWaitForResponse(ScsSubsystem* subsystem, PalEvent* event, uint32_t timeoutMs);
TcsResult scsSubsystemSetTCSThreadHandle(ScsSubsystem* subsystem, PalThreadHandle thread, uint32_t threadId);
TcsResult scsHasWorkToDo(ScsSubsystem* subsystem, uint32_t* waitMs);
TcsResult scsRemoteSubsystemStartup(void);
TcsResult scsSubsystemDumpState(ScsSubsystem* subsystem);
void scsDbgPrintSubsystem(ScsSubsystem* subsystem);
TcsResult scsGetDbgFlags(uint32_t* flags);
TcsResult scsSetDbgFlags(uint32_t flags);
TcsResult scsGetDbgSystems(uint32_t* systems);
TcsResult scsSetDbgSystems(uint32_t systems);
uint32_t scsSensorGetProductFamilyByPid(uint32_t productId);

// --- Plug and play ---------------------------------------------------------------------------------
TcsResult scsProcessPnpAction(ScsSubsystem* subsystem, uint32_t action, const char* name, uint32_t detectionType);
TcsResult scsSensorHardReset(const char* deviceName, ScsSensor* sensor, uint32_t resetKind);
TcsResult scsSensorHardResetEx(ScsSensor* sensor, uint32_t resetKind);
TcsResult scsSensorSignalWorkToDo(ScsSensorDevice* device);
TcsResult scsSensorSignalWorkToDoEx(ScsSensor* sensor);

// --- Clients ------------------------------------------------------------------------------------------
TcsResult scsClientValidate(ScsClient* client);
TcsResult scsClientSendCreate(ScsSubsystem* subsystem, ScsCallback callback, void* context);
TcsResult scsClientCreate(ScsSubsystem* subsystem, ScsClient** outClient);
TcsResult scsClientSendDestroy(ScsClient* client, ScsCallback callback, void* context);
TcsResult scsClientDestroy(ScsClient* client);
TcsResult scsClientFree(ScsClient* client);
TcsResult scsClientEventsAddCallback(ScsClient* client, ScsClientEventCallback callback, void* context);
TcsResult scsClientEventsRemoveCallback(ScsClient* client, ScsClientEventCallback callback, void* context);
TcsResult dummyscsClientDestroyCB(void* object, TcsResult status, void* context);

// --- Sensor handles -----------------------------------------------------------------------------------
TcsResult scsSensorValidate(ScsSensor* sensor);
TcsResult scsSensorAlloc(ScsSensor** outSensor, const char* sensorId);
TcsResult scsSensorFree(ScsSensor* sensor);
TcsResult scsSensorSendOpen(ScsClient* client, const char* sensorId, ScsCallback callback, void* context);
TcsResult scsSensorSendOpenEx(ScsClient* client, const char* sensorId, ScsCallback callback, void* context);
TcsResult scsSensorOpen(ScsClient* client, const char* sensorId, ScsSensor** outSensor);
TcsResult scsSensorSendClose(ScsSensor* sensor, ScsCallback callback, void* context);
TcsResult scsSensorClose(ScsSensor* sensor);
TcsResult scsSensorSendGetSecurityInfo(ScsSensor* sensor, ScsCallback callback, void* context);
// Routes a sensor command: queued as work item request->witId off the service thread, run at once
// (through the command's wire builder) on it or without a service thread.
TcsResult scsSensorSendCommand(ScsSensor* sensor, ScsWitRequest* request);
TcsResult scsSensorsAreEqual(ScsSensor* a, ScsSensor* b);
TcsResult scsHasSameDevice(ScsSensor* a, ScsSensor* b);
TcsResult scsSensorGetSensorId(ScsSensor* sensor, char* buffer, uint32_t size);
// Points every client's handle opened under the name (case-insensitive) at the device now listed
// under it, initialising or ready; without such a device the handles stay as they are. 0 either
// way; 17 for a NULL subsystem or name (a handle without client: 17, NULL handle: 14).
TcsResult scsResumeRecovery(ScsSubsystem* subsystem, const char* deviceName);
TcsResult scsSensorDeviceReplace(ScsSensor* sensor, const char* deviceName);

TcsResult scsSensorAddEventCallback(ScsSubsystem* subsystem, ScsSensorLostCallback callback, void* context);
TcsResult scsSensorEventsAddCallback(ScsSensor* sensor, ScsSensorEventCallback callback, void* context);
TcsResult scsSensorEventsRemoveCallback(ScsSensor* sensor, ScsSensorEventCallback callback, void* context);

// Accessors: take a device reference, read or write one field, release.
TcsResult scsSensorSetBaselineVariance(ScsSensor* sensor, uint32_t variance);
TcsResult scsSensorGetBaselineVariance(ScsSensor* sensor, uint32_t* outVariance);
TcsResult scsSensorGetProductFamily(ScsSensor* sensor, uint32_t* outFamily);
TcsResult scsSensorIsHarlok(ScsSensor* sensor);
TcsResult scsSensorFpBufferingSetCurrentLineLen(ScsSensor* sensor, uint32_t lineLength);
TcsResult scsSensorFpBufferingDisable(ScsSensor* sensor);
TcsResult scsSensorFpBufferingIsEnabled(ScsSensor* sensor);
TcsResult scsSensorFpBufferingIsFeatureSupported(ScsSensor* sensor);
TcsResult scsSensorFpBufferingRestart(ScsSensor* sensor);
TcsResult scsSensorFpBufferingAppendFpData(ScsSensor* sensor, const void* data, uint32_t length);
TcsResult scsSensorFpBufferingSaveLastLine(ScsSensor* sensor, const void* data, uint32_t length);
TcsResult scsSensorFpBufferingGetLastBufferedData(ScsSensor* sensor, void* outBuffer, uint32_t* inOutSize);
TcsResult scsSensorGetCachedMatchDataAndTemplate(ScsSensor* sensor, uint32_t* outTemplateLength,
                                                 void** outTemplate, void** outMatchData,
                                                 uint32_t* outMatchLength);
TcsResult scsSensorCacheMatchDataAndTemplate(ScsSensor* sensor, const ScsReplyView* templ, const void* matchData,
                                             uint32_t matchLength);
TcsResult scsSensorIsPatchSignatureCacheEnabled(ScsSensor* sensor);
TcsResult scsSensorEnablePatchSignatureCaching(ScsSensor* sensor);
TcsResult scsSensorIsECCSecured(ScsSensor* sensor);
TcsResult scsSensorIsRSASecured(ScsSensor* sensor);
TcsResult scsSensorIsRSASensor(ScsSensor* sensor);
TcsResult scsSensorGetRecalibrationStatus(ScsSensor* sensor, uint32_t* outStatus);
TcsResult scsSensorSetRecalibrationStatus(ScsSensor* sensor);
TcsResult scsSensorGetCalibrateAttemptsCount(ScsSensor* sensor, uint32_t* outCount);
TcsResult scsSensorSetLastCommandSentTime(ScsSensor* sensor, uint32_t tick);
TcsResult scsSensorGetLastCommandSentTime(ScsSensor* sensor, uint32_t* outTick);
TcsResult scsSensorGetSuspendedMode(ScsSensor* sensor, uint8_t* outMode);
TcsResult scsSensorGetState(ScsSensor* sensor, uint32_t* outState);
// The five print-command fields of the device.
TcsResult scsSensorGetPrintCmd(ScsSensor* sensor, uint32_t* outFields5);
TcsResult scsSensorIsDefaultCalUsed(ScsSensor* sensor);
TcsResult scsSensorSetSuspendMode(ScsSensor* sensor, uint32_t mode);
TcsResult scsSensorCancelRequest(ScsSensor* sensor, uint32_t transactionId);
TcsResult scsSensorCancelRequests(ScsSensor* sensor);
TcsResult scsSensorSetLastIdentificationCtx(ScsSensor* sensor, const void* data, uint32_t length);
TcsResult scsSensorGetLastIdentificationCtx(ScsSensor* sensor, void* outBuffer, uint32_t length);
TcsResult scsSensorGetSecurityInfo(ScsSensor* sensor, uint32_t* outInfo4);
// Items 11 and 12 of the device's default print configuration; 40 without one.
TcsResult scsSensorGetBitReductionData(ScsSensor* sensor, uint32_t* outValues2);

// What a capture file records about the sensor that made it. Owned: the version copy, the
// configuration reply and print-parameter copies; the time-slot table points into the reply copy;
// the calibration results stay the device's.
typedef struct ScsPrintConfigurationData {
    uint32_t timeStamp;  // seconds since the epoch
    uint32_t flexId;
    uint32_t transportKind;
    uint32_t transportValue1;
    uint32_t transportValue2;
    struct ScsFwVersion* version;  // 28-byte copy; NULL when the device has no version record
    uint8_t* configReply;
    uint32_t configReplyLength;
    uint32_t printParamLength;
    uint8_t* printParam;
    const uint8_t* tsTable;
    uint32_t tsTableLength;
    uint32_t printCommand[5];
    void* baseline;      // owned clone of the device's ScsBaseLineInfo; NULL when it has none
    void* calResults;    // the device's calibration results container
    uint32_t bitReduction[2];
} ScsPrintConfigurationData;

// The sensor tool's diagnostic snapshot; zeroed first. Owned: the two reply copies.
typedef struct ScsHarlokData {
    uint32_t timeStamp;
    uint32_t flexId;
    uint32_t transportKind;
    uint32_t transportValue1;
    uint32_t transportValue2;
    uint8_t version[28];  // zeros when the device has no version record
    uint8_t* configReply;
    uint32_t configReplyLength;
    uint32_t printParamLength;
    uint8_t* printParam;
    uint32_t printCommand[4];
    uint32_t calUsesDefaults;  // calibration results in their old format
    uint32_t calGetPrintStatus;
    uint32_t calCount;
    uint32_t calWords[255];
    uint32_t preBoot[2];
} ScsHarlokData;

// 14 / 200 for the handle, 17 for a null record; on failure nothing stays allocated.
TcsResult scsSensorGetPrintConfigurationData(ScsSensor* sensor, ScsPrintConfigurationData* outData);
// Frees the owned parts and zeroes the record; NULL is accepted.
TcsResult scsSensorFreePrintConfigurationData(ScsPrintConfigurationData* data);
TcsResult scsSensorGetHarlokData(ScsSensor* sensor, ScsHarlokData* outData);
// 40 for NULL.
TcsResult scsSensorFreeHarlokData(ScsHarlokData* data);
// Flash-backed operations: a byte of the pre-boot flag page (8 sets bit 3, 247 clears it, other
// values replace the byte), and the pre-boot image update (out: why it was written, 0 when it was not).
TcsResult scsSetGetPbaFlag(ScsSensor* sensor, uint8_t* inOutByte, uint32_t index, uint32_t set);
// Clean-up of an ownership reset (the request of the core's reset-ownership item).
typedef struct ScsOwnershipData {
    uint16_t length;
    const uint8_t* data;
} ScsOwnershipData;
typedef struct ScsResetOwnershipRequest {
    ScsSensor* sensor;
    const ScsOwnershipData* buffer;  // may be NULL
} ScsResetOwnershipRequest;
TcsResult scsResetOwnership(ScsResetOwnershipRequest* request);
TcsResult scsVerifyAndUpdateEFI(ScsSensor* sensor, uint32_t* outReason);
TcsResult scsSensorIsSelkinSPI(ScsSensor* sensor);
TcsResult scsSensorIsDunmo(ScsSensor* sensor);
TcsResult scsSensorIsPavlek(ScsSensor* sensor);
TcsResult scsSensorIsBrellow(ScsSensor* sensor);
TcsResult scsSensorGetProductFamilyByProductType(ScsSensor* sensor);
TcsResult scsSensorFlushEP3(ScsSensor* sensor);
TcsResult scsSensorSimulatePnpAction(ScsSensor* sensor, uint32_t action);
void scsDbgPrintSensor(ScsSensor* sensor);

// --- Event records and dispatch -------------------------------------------------------------------
uint32_t scsEventGetId(const EventRecord* event);
uint32_t scsEventGetStatus(const EventRecord* event);
uint32_t scsEventGetDataSize(const EventRecord* event);
void* scsEventGetData(const EventRecord* event);
TcsResult scsSensorEventPerformCallback(ScsSensor* sensor, EventRecord* event);
TcsResult scsClientEventPerformCallback(ScsClient* client, EventRecord* event);
TcsResult scsSystemEventPerformCallback(ScsSubsystem* subsystem, EventRecord* event);
// The blob after the first 0x1A byte of the file (NULL when none); the caller frees it with palRealFree.
TcsResult scsSubsystemGetHarlokCfgBlob(const char* path, uint8_t** outBlob, uint32_t* outLength);

#ifdef __cplusplus
}
#endif
