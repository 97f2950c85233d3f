// The framework wrapper: the tfs_* functions a fingerprint framework calls, the sensor groups behind
// them, the application context with its last error, and the result messages.
#pragma once

#include "tcs/result.h"
#include "tcs/handle_map.h"
#include "tcs/tcs.h"
#include "platform/list.h"
#include "platform/threads.h"

#include <stdint.h>
#include <stdio.h>

#ifdef __cplusplus
extern "C" {
#endif

// Result codes of the group support beyond the stack's numbering.
enum : TcsResult {
    TFS_RESULT_WRONG_GROUP_STATE = 1001,
    TFS_RESULT_GROUP_NOT_INITIALIZED = 1002,
    TFS_RESULT_DB_SENSOR_NO_FLASH = 1003,
    TFS_RESULT_DB_SENSOR_UNPLUGGED = 1004,
    TFS_RESULT_NO_SENSORS = 1005,
    TFS_RESULT_WAIT_TIMEOUT = 1006,
    TFS_RESULT_PRINTS_TOO_DIFFERENT = 1008,
    TFS_RESULT_IMAGE_REJECTED = 1009,
};

// The framework's results.
enum {
    TFS_ERROR = -1,
    TFS_NO_MATCH = 0,
    TFS_SUCCESS = 1,
    TFS_FAILED = 2,
    TFS_MORE_SWIPES = 3,
    TFS_RETRY = 100,
};

typedef enum TfsMatcherType { TFS_MATCHER_NT = 1, TFS_MATCHER_ORBIS = 2, TFS_MATCHER_CAPTURE_ONLY = 3 } TfsMatcherType;

#define TFS_CONTEXT_SIGNATURE 0xBABEFACEu
#define TFS_CONTEXT_SIZE 800u
#define TFS_SENSOR_ID_MAX 100u

// The reason of the last failure: an owned text, its code and whether it reports an error (1) or a
// plain condition (0).
typedef struct AppLastError {
    char* text;
    uint32_t code;
    uint32_t isError;
    uint8_t unused[272];
} AppLastError;

typedef struct SensorGroup SensorGroup;
typedef struct GroupSensorEntry GroupSensorEntry;

// One per device, 800 bytes zero-filled at creation.
typedef struct AppContext {
    uint32_t signature;
    uint64_t client;
    uint32_t captureTimeoutMs;
    char* debugFileName;  // owned
    uint32_t accuracy;
    uint32_t capturePurpose;
    uint64_t matcher;
    uint64_t workTemplate;
    uint64_t handles[4];
    uint32_t matcherType;
    uint32_t extendedMatch;
    uint32_t enrollUpdate;
    AppLastError lastError;
    EventCallback clientEventHandler;
    EventCallback sensorEventHandler;
    CompletionCallback captureCompletion;
    uint32_t consoleMode;
} AppContext;

// All attached sensors treated as one device.
struct SensorGroup {
    PalListEntry entries;
    PalMutexHandle lock;  // recursive
    uint32_t state;       // 0 not initialised, 1 initialised, 2 sensors open, 3 capturing
    uint32_t exitFlag;
    AppContext* context;
    uint32_t checkFlags;
};

struct GroupSensorEntry {
    PalListEntry links;
    PalMutexHandle* groupLock;
    PalMutexHandle lock;
    char sensorId[TFS_SENSOR_ID_MAX + 4];
    uint32_t databaseOnSensor;
    uint32_t databaseSensor;
    volatile uint32_t removed;
    uint64_t sensor;
    volatile uint32_t captureState;
    volatile uint32_t captureStatus;
    volatile uint32_t armed;
    uint64_t image;
    uint32_t enumerationCount;
    PalEvent* event;
    volatile uint32_t gotPrint;
    volatile uint32_t fingerPresent;
    volatile uint32_t unplugged;
    uint32_t unplugTime;
    uint32_t index;
    volatile uint32_t timedOut;
    uint32_t hasFlash;
    AppContext* context;
};

// The framework's record of one device.
typedef struct TfsDevice {
    SensorGroup* group;
    uint64_t lastImage;
    void* enrollmentList;
} TfsDevice;

// NT enrollment: three swipes, their images and the templates made from them.
typedef struct EnrollmentList {
    int32_t required;
    int32_t count;
    uint64_t images[3];
    uint64_t templates[3];
} EnrollmentList;

#define TFS_STORED_PRINT_HEADER 53u

extern int g_MatcherType;
extern int _PRINT_MSG_;
extern int _PRINT_RESULTS_;

// --- Framework entry points ---------------------------------------------------------------------------
int tfs_set_matcher_type(int type);
int tfs_get_matcher_type(void);
int tfs_wait_for_service(void);
int tfs_dev_init(TfsDevice* device);
void tfs_dev_exit(TfsDevice* device);
int tfs_capture(TfsDevice* device, int first);
int tfs_enroll(TfsDevice* device, int first, int swipeIndex, uint8_t** outRecord, uint32_t* outLength);
int tfs_verify(TfsDevice* device, const uint8_t* record, int length);
int tfs_identify(TfsDevice* device, const uint8_t* const* records, const int* lengths, int* outIndex, int count);
uint32_t tfs_get_img_datasize(TfsDevice* device);
uint32_t tfs_get_img_height(TfsDevice* device);
uint32_t tfs_get_img_width(TfsDevice* device);
uint8_t* tfs_get_img_data(TfsDevice* device);
void tfs_free_img_data(uint8_t* data);
void tfs_clean_handles(TfsDevice* device);

// --- Flows -------------------------------------------------------------------------------------------
int NTEnrollFinger(TfsDevice* device, int first, int swipeIndex, uint8_t** outRecord, uint32_t* outLength);
int OrbisEnrollFinger(TfsDevice* device, int first, int swipeIndex, uint8_t** outRecord, uint32_t* outLength);
int NTVerifyFinger(TfsDevice* device, const uint8_t* record, int length);
int OrbisVerifyFinger(TfsDevice* device, const uint8_t* record, int length);
int FPRINTCaptureFinger(TfsDevice* device, int first);
TcsResult InitializeEnrollment(EnrollmentList* list, int required);
TcsResult AddEnrollmentImage(EnrollmentList* list, uint64_t image, uint32_t* outDone);
TcsResult CheckPrintImage(uint64_t image);
TcsResult selectPrint(EnrollmentList* list, uint64_t matcher, uint64_t* outTemplate, int32_t* outIndex,
                      int32_t* outScore);
TcsResult CheckPrint(uint64_t image, int strict, AppLastError* lastError, uint32_t flags);

// --- Sensor groups -----------------------------------------------------------------------------------
TcsResult GroupInitInfo(SensorGroup* group);
TcsResult GroupUnInitInfo(SensorGroup* group);
uint32_t GroupSize(void);
TcsResult GroupSensorsEnumAndInit(SensorGroup* group);
TcsResult GroupSensorOpen(SensorGroup* group);
TcsResult GroupOpenSingleSensor(SensorGroup* group, GroupSensorEntry* entry);
TcsResult GroupSensorClose(SensorGroup* group);
TcsResult GroupGetFingerprint(GroupSensorEntry** outEntry, uint32_t timeoutMs, SensorGroup* group,
                              uint32_t exitOnDbSensorLoss);
TcsResult GroupGetSingleFingerprint(GroupSensorEntry* entry);
TcsResult GroupGetFingerprintAsync(void* image, TcsResult status, void* entry);
TcsResult GroupWaitAllSensorsArmed(uint32_t timeoutMs, SensorGroup* group);
TcsResult GroupRunServiceUntilTrue(uint32_t timeoutMs, SensorGroup* group, uint32_t exitOnDbSensorLoss);
TcsResult GroupAbortFingerprint(SensorGroup* group);
TcsResult GroupWaitForCaptureStart(GroupSensorEntry* entry, uint32_t timeoutMs);
uint32_t GroupIsSensorRemoved(TcsResult code);
TcsResult GroupSensorRemoved(SensorGroup* group, const char* sensorId);
TcsResult GroupHandleSensorRemoval(TcsResult code, SensorGroup* group, const char* sensorId);
TcsResult GroupSensorEventsHandler(void* sensor, void* entry, EventRecord* event);
TcsResult GroupSystemEventsHandler(void* client, void* group, EventRecord* event);
uint32_t GroupSystemEventsHandlerThread(void* record);
TcsResult GroupSetDatabaseSensor(uint32_t timeoutMs, SensorGroup* group, uint32_t flashRequired);
uint64_t GroupGetDBSensorHandle(SensorGroup* group, int any);
const char* GroupGetDBSensorID(SensorGroup* group);
TcsResult GroupSensorPrintVersion(SensorGroup* group);

// --- Messages, last error and client utilities -------------------------------------------------------
const char* tcsErrorToString(uint32_t code);
char* tcsErrorToStringEx(char* buffer, uint32_t size, AppLastError lastError);
uint32_t isInfoMsg(uint32_t code);
uint32_t IsSensorRemovalError(int code);
char* setAppLastError(AppLastError* record, const char* text, int code);
void clearAppLastError(AppLastError* record);
const char* getAppLastError(AppLastError record);
const char* getFileName(const char* path);
TcsResult ClientCreate(AppContext* context, void* user);
TcsResult ClientDestroy(AppContext* context, void* user);
TcsResult getDatabaseFullPath(char* out, uint32_t size, const char* address, uint16_t value16, const uint8_t* id6,
                              const uint8_t* id16);
TcsResult readMenuOption(int* outOption);
TcsResult readMenuOptionEx(int* outOption, volatile int* abortFlag);
int readUnsignedNumber(void);
int cleanInputBuffer(FILE* file);
char* trim_spaces(char* text);
TcsResult tcsReadStringFromInputBufferWithoutNewLine(char* buffer, int size, FILE* file);

// Reporting convention: flag 0 a plain condition, 1 a failed call; file and line are added unless
// the code is an information code.
void tfsReport(AppLastError* record, uint32_t isError, TcsResult code, const char* message, const char* file,
               unsigned line);
#define TFS_INFO(record, code, message) tfsReport((record), 0, (code), (message), __FILE__, __LINE__)
#define TFS_ERROR_REPORT(record, code, message) tfsReport((record), 1, (code), (message), __FILE__, __LINE__)

// --- Single-sensor routines and the sample enrollment --------------------------------------------------
extern EnrollmentList gEnroller;
TcsResult SystemEventsHandler(void* client, void* entry, EventRecord* event);
TcsResult SensorEventsHandler(void* sensor, void* entry, EventRecord* event);
TcsResult TovanticSensorEventsHandler(void* sensor, void* entry, EventRecord* event);
TcsResult AddSensorCallback(GroupSensorEntry* entry);
TcsResult RemoveSensorCallback(GroupSensorEntry* entry);
TcsResult GetFingerprintAsync(void* image, TcsResult status, void* entry);
TcsResult GetFingerprint(GroupSensorEntry* entry);
TcsResult RunServiceUntilTrue(GroupSensorEntry* entry, volatile uint32_t* flag, uint32_t timeoutMs);
TcsResult InitEnrollment(int count, AppLastError* lastError);
TcsResult AddEnrollmentPrint(uint64_t image, uint32_t* outDone, AppLastError* lastError);
TcsResult ChoosePrint(uint64_t matcher, uint64_t* outTemplate, int32_t* outIndex, uint32_t* outScore,
                      AppLastError* lastError);
// Console flows over a group: the context's matcherType holds a matcher id here.
TcsResult Enroll(SensorGroup* group);
TcsResult Verify(SensorGroup* group);
TcsResult HighLevelEnroll(SensorGroup* group);
TcsResult HighLevelVerify(SensorGroup* group);

#ifdef __cplusplus
}
#endif
