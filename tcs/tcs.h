// Client interface of the stack: start-up and shut-down, clients, sensors, capture, events and images.
#pragma once

#include "tcs/result.h"
#include "tcs/sensorctl/scs.h"  // EventRecord, StartupOptionBlock

#include <stdint.h>
#include <stdio.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct CoreSubsystem CoreSubsystem;

// Handles of every kind are 64-bit values from the handle map; 0 is never a handle.
typedef uint64_t TcsHandle;

// Called once when an asynchronous operation ends. handle carries the operation's handle value (or
// object) as a pointer-sized word, NULL when there is none.
typedef TcsResult (*CompletionCallback)(void* handle, TcsResult status, void* context);
// Events: handle is the client handle (system events) or the sensor handle (sensor events) as a
// pointer-sized word; the record is valid only during the call.
typedef TcsResult (*EventCallback)(void* handle, void* context, EventRecord* event);

// Start flags.
#define TCS_START_NO_SERVICE_THREAD 0x00000001u  // callers that wait pump the service themselves
#define TCS_START_FAST_POLL 0x08000000u          // the service thread waits at most 1 ms between passes

typedef struct StartupOption {
    uint32_t id;  // 0 ends the list; 1 swipe speed, 2 SoC clock, 3 flex id (u32 values pointed to),
                  // 4 sign-data callback, 5 get-sensor-public-key callback (the pointers themselves)
    void* value;
} StartupOption;

// System events (raised by sensor control) and sensor events (raised by the core).
enum {
    TCS_SYSTEM_EVENT_SENSOR_REMOVED = 1,
    TCS_SYSTEM_EVENT_SENSOR_ARRIVING = 2,
    TCS_SYSTEM_EVENT_SENSOR_READY = 3,
    TCS_SYSTEM_EVENT_SENSOR_FAILED = 4,
    TCS_SYSTEM_EVENT_ALL_READY = 9,
    TCS_SYSTEM_EVENT_SENSOR_READY_AGAIN = 101,
    TCS_SENSOR_EVENT_IMAGE_READY = 5,
    TCS_SENSOR_EVENT_RAW_DATA = 6,
    TCS_SENSOR_EVENT_CAPTURE_DONE = 7,
    TCS_SENSOR_EVENT_SWIPE_NOW = 8,
    TCS_SENSOR_EVENT_FINGER_PRESENT = 11,
    TCS_SENSOR_EVENT_FINGER_REMOVED = 20,
    TCS_SENSOR_EVENT_FINGER_EXTRA = 33,
};

// --- Start-up and shut-down -------------------------------------------------------------------------
TcsResult tcsStartupEx(CoreSubsystem** outStack, uint32_t flags, const StartupOption* options);
// values: {swipe speed, SoC clock, flex id} or NULL.
TcsResult tcsStartup(CoreSubsystem** outStack, uint32_t flags, const uint32_t* values);
TcsResult tcsShutdown(CoreSubsystem* stack);
TcsResult tcsSubsystemDumpState(CoreSubsystem* stack);
TcsResult tcsDiscoverRemoteSensors(void* argument);
TcsResult tcsGetDbgFlags(uint32_t* flags);
TcsResult tcsGetDbgSystems(uint32_t* systems);
TcsResult tcsSetDbgFlags(uint32_t flags);
TcsResult tcsSetDbgSystems(uint32_t systems);

// Not supported by this build: the GPIO calls return 221, the power-policy calls 6.
TcsResult tcsSensorConfigureGPIOIn(TcsHandle sensor, uint32_t pin);
TcsResult tcsSensorConfigureGPIOOut(TcsHandle sensor, uint32_t pin);
TcsResult tcsSensorSetGPIOOut(TcsHandle sensor, uint32_t pin, uint32_t value);
TcsResult tcsSensorGetGPIOIn(TcsHandle sensor, uint32_t pin, uint32_t* value);
TcsResult tcsSensorGetPowerPolicies(TcsHandle sensor, void* policies);
TcsResult tcsSensorSetPowerPolicies(TcsHandle sensor, const void* policies);
TcsResult tcsSensorSetPowerPolicy(TcsHandle sensor, uint32_t policy);
TcsResult tcsSensorEnablePowerPolicy(TcsHandle sensor, uint32_t policy, uint32_t enable);
TcsResult tcsSensorIsPowerPolicyEnabled(TcsHandle sensor, uint32_t policy, uint32_t* enabled);
TcsResult tcsSensorSetPowerState(TcsHandle sensor, uint32_t state);
TcsResult tcsSensorSimulatePnPAction(TcsHandle sensor, uint32_t action);

// --- Service ------------------------------------------------------------------------------------------
// One pass within budgetMs; nextWaitMs (may be NULL) receives the wait the stages asked for.
TcsResult tcsService(CoreSubsystem* stack, uint32_t budgetMs, uint32_t* nextWaitMs);
TcsResult tcsCancelOperation(uint32_t target, TcsHandle client, uint32_t type);

// --- Clients ------------------------------------------------------------------------------------------
TcsResult tcsClientCreateSysAsync(CoreSubsystem* stack, CompletionCallback callback, void* context);
TcsResult tcsClientCreateSys(CoreSubsystem* stack, TcsHandle* outClient);
TcsResult tcsClientDestroyAsync(TcsHandle client, CompletionCallback callback, void* context);
TcsResult tcsClientDestroy(TcsHandle client);
TcsResult tcsGetParam(TcsHandle client, uint32_t id, uint32_t* outValue);
TcsResult tcsSetParam(TcsHandle client, uint32_t id, uint32_t value);
TcsResult tcsMatcherSetAccuracy(TcsHandle client, uint32_t level);
TcsResult tcsSetSymmetricKey(TcsHandle client, uint32_t keyIndex, uint32_t mode, uint32_t algorithm,
                             const void* key, uint32_t keyLength);
TcsResult tcsResetSymmetricKey(TcsHandle client, uint32_t keyIndex);
TcsResult tcsClientEventsAddCallback(TcsHandle client, EventCallback callback, void* context);
TcsResult tcsClientEventsRemoveCallback(TcsHandle client, EventCallback callback, void* context);
TcsResult tcsSystemEventListen(TcsHandle client, uint32_t id, int32_t enable);

// --- Sensors ------------------------------------------------------------------------------------------
TcsResult tcsSensorOpenAsyncA(TcsHandle client, const char* sensorId, CompletionCallback callback, void* context);
TcsResult tcsSensorOpenAsyncW(TcsHandle client, const uint16_t* sensorId, CompletionCallback callback,
                              void* context);
TcsResult tcsSensorOpenA(TcsHandle client, const char* sensorId, TcsHandle* outSensor);
TcsResult tcsSensorOpenW(TcsHandle client, const uint16_t* sensorId, TcsHandle* outSensor);
TcsResult tcsSensorCloseAsync(TcsHandle sensor, CompletionCallback callback, void* context);
TcsResult tcsSensorClose(TcsHandle sensor);
TcsResult tcsSensorReattachAsync(TcsHandle sensor, CompletionCallback callback, void* context);
TcsResult tcsSensorReattach(TcsHandle sensor);
TcsResult tcsSensorGetFingerprint(TcsHandle sensor, TcsHandle* outImage, const char* debugPath);
TcsResult tcsSensorGetFingerprintAsyncA(TcsHandle sensor, CompletionCallback callback, void* context,
                                        const char* debugPath);
TcsResult tcsSensorGetFingerprintAsyncW(TcsHandle sensor, CompletionCallback callback, void* context,
                                        const uint16_t* debugPath);
TcsResult tcsSensorGetRawFingerprintAsync(TcsHandle sensor, CompletionCallback callback, void* context);
TcsResult tcsSensorAbortFingerprint(TcsHandle sensor);
TcsResult tcsSensorGetReconstructedImageMaxSize(TcsHandle sensor, uint32_t* outSize);
TcsResult tcsSensorSetCapturePurpose(TcsHandle sensor, uint32_t purpose);
TcsResult tcsSensorUpdateGetPrintContext(TcsHandle sensor, TcsHandle client, const char* path);
TcsResult tcsSensorEventsAddCallback(TcsHandle sensor, EventCallback callback, void* context);
TcsResult tcsSensorEventsRemoveCallback(TcsHandle sensor, EventCallback callback, void* context);
TcsResult tcsSensorEventListen(TcsHandle sensor, uint32_t id, int32_t enable);

// --- Sensor services ----------------------------------------------------------------------------------
// The record of tcsSensorGetDeviceInfo, 48 bytes little-endian as the client library carries it.
typedef struct DeviceInfoRecord {
    uint32_t transport;
    uint32_t firmwareId;  // first word of the firmware version record
    uint8_t major;
    uint8_t minor;
    uint8_t revision;
    uint8_t notWritten[3];
    uint8_t serial[6];
    uint32_t zero;
    uint32_t flexId;
    uint32_t driverVersion[4];
    uint32_t flashSize;
} DeviceInfoRecord;

typedef struct SensorUidRecord {
    uint16_t first;
    uint16_t second;
    uint8_t uid[16];
} SensorUidRecord;

// A password or other caller bytes.
typedef struct SizedBuffer {
    uint32_t length;
    const uint8_t* data;
} SizedBuffer;

TcsResult tcsSensorGetVersionA(TcsHandle sensor, char* out80);
TcsResult tcsSensorGetVersionW(TcsHandle sensor, uint16_t* out80);
// The callback receives (version string, result, context); the string is valid during the call.
TcsResult tcsSensorGetVersionAsync(TcsHandle sensor, CompletionCallback callback, void* context);
TcsResult tcsSensorGetVersionCB(void* version, TcsResult status, void* waitRecord);
// 384 when the sensor comes back ready without a secure session, 34 when it does not come back in time.
TcsResult tcsSensorResetAndWait(TcsHandle sensor, uint32_t timeoutMs);
// {provisioned or secured, secured, in a secure session, pre-boot image partition byte}
TcsResult tcsSensorGetSecurityInfo(TcsHandle sensor, uint32_t* outInfo4);
TcsResult tcsSensorGetDeviceInfo(TcsHandle sensor, DeviceInfoRecord* out);
TcsResult tcsSensorGetUID(TcsHandle sensor, SensorUidRecord* out);
// Locks the sensor's security state against a change to another one.
TcsResult tcsSensorLock(TcsHandle sensor);
// Copies the id's characters without a terminating zero.
TcsResult tcsSensorGetId(TcsHandle sensor, char* out);
uint32_t tcsSensorGetState(TcsHandle sensor);
TcsResult tcsSensorSetLastCommandSentTime(TcsHandle sensor, uint32_t tick);
uint32_t tcsSensorGetLastCommandSentTime(TcsHandle sensor);
TcsResult tcsSensorGetPbaFlag(TcsHandle sensor, uint8_t index, uint8_t* out);
// value 0, 1, 8 (sets bit 3) or 247 (clears bit 3); 17 for any other.
TcsResult tcsSensorSetPbaFlag(TcsHandle sensor, uint8_t index, uint8_t value);
TcsResult tcsSensorEraseEFIImage(TcsHandle sensor);
TcsResult tcsSensorProgramEFIImage(TcsHandle sensor, const uint8_t* data, uint32_t length, uint32_t erase);
TcsResult tcsSensorGetEFIImageVersion(TcsHandle sensor, uint32_t* out);
TcsResult tcsVerifyAndUpdateEFI(TcsHandle sensor, uint32_t* outReason);
// Selective suspend: 6 unless the device uses it; the time-out calls give 358 while it initialises.
TcsResult tcsSensorEnableSelectiveSuspend(TcsHandle sensor, uint32_t timeoutMs);
TcsResult tcsSensorDisableSelectiveSuspend(TcsHandle sensor);
TcsResult tcsSensorSetSelectiveSuspendTimeout(TcsHandle sensor, uint32_t timeoutMs);
TcsResult tcsSensorGetSelectiveSuspendTimeout(TcsHandle sensor, uint32_t* outTimeoutMs);
// 1 when the sensor kept its state in the suspend (nothing to do), 0 when it is initialised again.
TcsResult tcsSensorReconfigureStart(TcsHandle sensor);
TcsResult tcsSensorReconfigureIsFinished(TcsHandle sensor, uint32_t* outFinished);
TcsResult tcsSensorResumeFromSelectiveSuspend(TcsHandle sensor);

// --- Ownership ----------------------------------------------------------------------------------------
TcsResult tcsSensorGetOwnershipInfo(TcsHandle sensor, uint16_t* outTotal, uint16_t* outAvailable);
// 256 bytes when the firmware has capability bit 3, else 128.
TcsResult tcsSensorGetSupportedRSAKeyLength(TcsHandle sensor, uint32_t* outLength);
// Completions are called as callback(NULL, result, context) on the service thread.
TcsResult tcsSensorSetOwnerAsync(TcsHandle sensor, const SizedBuffer* password, CompletionCallback callback,
                                 void* context);
TcsResult tcsSensorSetOwnerWithKeysAsync(TcsHandle sensor, const uint8_t* cik, const uint8_t* cios,
                                         const uint8_t* privateExponent, const uint8_t* privateModulus,
                                         const uint8_t* hostModulus, CompletionCallback callback, void* context);
TcsResult tcsSensorSetOwnerWithKeysEccAsync(TcsHandle sensor, const uint8_t* cik, const uint8_t* cios,
                                            const uint8_t* privateExponent, const uint8_t* privateModulus,
                                            const uint8_t* hostModulus, CompletionCallback callback, void* context);
TcsResult tcsSensorResetOwnerAsync(TcsHandle sensor, const SizedBuffer* password, CompletionCallback callback,
                                   void* context);
// The synchronous forms reset the sensor afterwards (and, but for reset-owner, wait for its return)
// except after 370 or 381 (password forms) and 40 or 381 (key forms).
TcsResult tcsSensorSetOwner(TcsHandle sensor, const SizedBuffer* password);
TcsResult tcsSensorSetOwnerWithKeys(TcsHandle sensor, const uint8_t* cik, const uint8_t* cios,
                                    const uint8_t* privateExponent, const uint8_t* privateModulus,
                                    const uint8_t* hostModulus);
TcsResult tcsSensorSetOwnerWithKeysEcc(TcsHandle sensor, const uint8_t* cik, const uint8_t* cios,
                                       const uint8_t* privateExponent, const uint8_t* privateModulus,
                                       const uint8_t* hostModulus);
TcsResult tcsSensorResetOwner(TcsHandle sensor, const SizedBuffer* password);

// --- Events and buffers ---------------------------------------------------------------------------------
uint32_t tcsEventGetId(const EventRecord* event);
uint32_t tcsEventGetStatus(const EventRecord* event);
uint32_t tcsEventGetDataSize(const EventRecord* event);
void* tcsEventGetData(const EventRecord* event);
char* tcsEventGetDataStringA(const EventRecord* event);
uint16_t* tcsEventGetDataStringW(const EventRecord* event);
TcsResult tcsEventFreeDataString(void* text);
TcsResult tcsBufferFree(void* buffer);

// --- Images -------------------------------------------------------------------------------------------
TcsResult tcsImageCreate(TcsHandle* outImage, const uint8_t* pixels, uint32_t size, uint32_t rows, uint32_t columns,
                         uint32_t quality);
TcsResult tcsImageClone(TcsHandle image, TcsHandle* outImage);
TcsResult tcsImageGetData(TcsHandle image, uint8_t* buffer, uint32_t size);
TcsResult tcsImageFlipHorizontal(TcsHandle image);
TcsResult tcsImageFlipVertical(TcsHandle image);
TcsResult tcsImageInvertGreyscale(TcsHandle image);
// 1 usable, 0 not.
uint32_t tcsImageCheckUsability(TcsHandle image, uint32_t strict);
TcsResult tcsImagePack(TcsHandle image, uint8_t* buffer, uint32_t* outSize);
TcsResult tcsImageUnPack(const uint8_t* packed, TcsHandle* outImage);
TcsResult tcsImageToBitmapBits(TcsHandle image, uint8_t* buffer, uint32_t* outSize);
// Creates the file and writes the 1078-byte header; the caller writes the rows and closes the file.
FILE* tcsInitBmpFile(const char* path, uint32_t height, uint32_t width, uint32_t invert, uint32_t* outPadding);
void tcsImage2bmp(TcsHandle image, const char* path);
void tcsFp2bmp(const uint8_t* pixels, uint32_t size, uint32_t width, const char* path);

uint32_t tcsImageGetRows(TcsHandle image);
uint32_t tcsImageGetColumns(TcsHandle image);
uint32_t tcsImageGetDataSize(TcsHandle image);
uint32_t tcsImageGetAllocSize(TcsHandle image);
uint32_t tcsImageGetSwipeSpeed(TcsHandle image);
uint32_t tcsImageGetQuality(TcsHandle image);
uint32_t tcsImageGetAspScore(TcsHandle image);
void* tcsImageGetASPMetrics(TcsHandle image);
void* tcsImageGetIRMetrics(TcsHandle image);
TcsResult tcsCryptoImageGetPaddingSize(TcsHandle image, uint32_t* outSize);
TcsResult tcsCryptoImageGetIV(TcsHandle image, void** outIv, uint32_t* outLength);
uint32_t _tcsGetActualMatcherId(void);

#ifdef __cplusplus
}
#endif
