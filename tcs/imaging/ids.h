// Image acquisition: the calls the service core makes into the image-data service.
#pragma once

#include "platform/threads.h"
#include "tcs/result.h"
#include "tcs/sensorctl/scs.h"

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct IdsSubsystem IdsSubsystem;
typedef struct IdsClient IdsClient;
typedef struct IdsSensor IdsSensor;
typedef struct IdsEvent IdsEvent;
typedef struct GetPrintContext GetPrintContext;  // one capture's record
typedef struct PrintConfiguration PrintConfiguration;
typedef struct ImageRecord ImageRecord;

// Completion of an image-acquisition request: (object or NULL, status, context).
typedef TcsResult (*IdsCallback)(void* object, TcsResult status, void* context);
// Image events: (image-acquisition sensor, the registration's context, event).
typedef TcsResult (*IdsEventCallback)(IdsSensor* sensor, void* context, IdsEvent* event);

// Image-acquisition event ids that reach the core's per-sensor callback.
typedef enum IdsEventId {
    IDS_EVENT_SWIPE_NOW = 204,
    IDS_EVENT_IMAGE_READY = 205,  // data: the image record
    IDS_EVENT_CAPTURE_DONE = 206,  // status: the capture's result
    IDS_EVENT_RAW_DATA = 207,
    IDS_EVENT_FINGER_DETECTED = 208,
    IDS_EVENT_UNUSED = 209,  // never raised
    IDS_EVENT_FINGER_REMOVED = 210,
    IDS_EVENT_FINGER_EXTRA = 211,
} IdsEventId;

TcsResult idsSubsystemStartup(IdsSubsystem** outSubsystem, PalEvent* wakeEvent, ScsSubsystem* sensorControl);
TcsResult idsSubsystemShutdown(IdsSubsystem* subsystem);
// 0 while work remains, 217 when none; *nextWaitMs receives the smallest wait asked for (0 none).
TcsResult idsSubsystemService(IdsSubsystem* subsystem, uint32_t budgetMs, uint32_t* nextWaitMs);
IdsSubsystem* idsGetSubsystem(IdsSensor* sensor);
// 1 when a capture or raw-scan item with a payload is queued, else 0 (or the lock's failure code).
TcsResult idsIsGetPrintTaskInWorkList(IdsSubsystem* subsystem);
// Gives every queued capture of the sensor-control sensor that has not started yet the path (NULL
// or empty: none) and the client parameter block given. The first failure, else 0.
TcsResult idsUpdateQueuedCaptures(IdsSubsystem* subsystem, ScsSensor* sensor, const char* path,
                                  const uint32_t* parameters);

TcsResult idsClientSendCreate(IdsSubsystem* subsystem, IdsCallback callback, void* context);
TcsResult idsClientSendDestroy(IdsClient* client, IdsCallback callback, void* context);
TcsResult idsSensorSendOpen(IdsClient* client, ScsSensor* sensor, IdsCallback callback, void* context);
TcsResult idsSensorSendClose(IdsSensor* sensor, IdsCallback callback, void* context);
TcsResult idsSensorSendAbortFingerprint(IdsSensor* sensor, IdsCallback callback, void* context);
TcsResult idsSensorSendGetFingerprint(GetPrintContext* context, ImageRecord* image, IdsCallback callback,
                                      void* callbackContext);
// Raw scan lines. With a line count, the caller's buffer is filled once and raised as event 207.
// Without, every filled buffer is raised as event 207 and handed to the callback as (buffer, 0,
// context) until it returns 1 or the request is aborted. The end calls it (line buffer or NULL,
// status, context).
TcsResult idsSensorSendGetRawScanLines(IdsSensor* sensor, void* lineBuffer, uint32_t size, uint32_t lineCount,
                                       uint32_t flags, IdsCallback callback, void* context,
                                       PrintConfiguration* config, uint32_t mode);

TcsResult idsSensorGetReconstructedImageMaxSize(IdsSensor* sensor, uint32_t* outSize);
TcsResult idsSensorSetFpBufferChunkSize(IdsSensor* sensor, int32_t size);
TcsResult idsSensorSetFpBufferCount(IdsSensor* sensor, int32_t count);
TcsResult idsSensorSetCaptureMode(IdsSensor* sensor, uint32_t mode);
TcsResult idsSensorSetDefaultCaptureMode(IdsSensor* sensor);
TcsResult idsSensorSetCaptureMetrics(IdsSensor* sensor, uint32_t on);
TcsResult idsSensorSetCapturePurpose(IdsSensor* sensor, uint32_t purpose);
TcsResult idsSensorSetPrintConfig(IdsSensor* sensor, PrintConfiguration* config);

TcsResult idsAllocateSensorContext(GetPrintContext** outContext);
TcsResult idsSetSensorHandleToCtx(GetPrintContext* context, IdsSensor* sensor);
TcsResult idsSetFilePathToCtx(GetPrintContext* context, const char* path);
// Copies the client's 24 parameter words.
TcsResult idsSetParamsToCtx(GetPrintContext* context, const uint32_t* parameters);
TcsResult idsSetCalibrationTypeToCtx(GetPrintContext* context, int32_t type);
// Destroys the context's output image, then frees the context: the caller's when a capture was not
// queued, the capture's own once queued.
TcsResult idsFreeSensorContext(GetPrintContext* context);

TcsResult idsSensorEventsAddCallback(IdsSensor* sensor, IdsEventCallback callback, void* context);
TcsResult idsSensorEventsRemoveCallback(IdsSensor* sensor, IdsEventCallback callback, void* context);
uint32_t idsEventGetId(const IdsEvent* event);
uint32_t idsEventGetStatus(const IdsEvent* event);
uint64_t idsEventGetData(const IdsEvent* event);
uint32_t idsEventGetDataSize(const IdsEvent* event);

#ifdef __cplusplus
}
#endif
