// Image acquisition's own records (subsystem, clients, sensors, capture contexts, events) and the
// operations its files share. Not for the rest of the stack: they use tcs/imaging/ids.h.
#pragma once

#include "platform/list.h"
#include "platform/threads.h"
#include "platform/worklist.h"
#include "tcs/core.h"
#include "tcs/imaging/capture_file.h"
#include "tcs/imaging/ids.h"
#include "tcs/imaging/reconstructor_interface.h"

#include <stdint.h>
#include <stdio.h>

#define IDS_RESULT_ABORTED 501u

// Work-item types of the image-data work list.
enum IdsWorkItemType : uint32_t {
    kIdsItemClientCreate = 0,
    kIdsItemClientDestroy = 1,
    kIdsItemSensorOpen = 2,
    kIdsItemSensorClose = 3,
    kIdsItemGetFingerprint = 4,
    kIdsItemAbortFingerprint = 5,
    kIdsItemGetRawScanLines = 6,
};

// Run status of an item after a visit.
enum : uint32_t { kRunnable = 0, kWaiting = 1, kRunAgain = 2, kFinished = 3 };

inline constexpr uint32_t kIdsItemTimeoutMs = 5000;
inline constexpr uint32_t kDefaultChunkSize = 84096;
inline constexpr uint32_t kDefaultBufferCount = 12;
inline constexpr uint32_t kCaptureParamWords = 24;  // the 96-byte capture parameter block

// The owner fields of an image-data item, kept in the item's spare words.
inline uint32_t& idsRunStatus(WorkItem* item) { return item->reserved1[0]; }
inline uint32_t& idsItemState(WorkItem* item) { return item->reserved1[1]; }
inline uint32_t& idsItemResult(WorkItem* item) { return item->reserved4; }
inline IdsCallback idsItemCallback(const WorkItem* item) { return (IdsCallback)(uintptr_t)item->parameter1; }
inline void* idsItemContext(const WorkItem* item) { return (void*)(uintptr_t)item->parameter2; }

struct IdsEvent {
    uint32_t id;
    uint32_t status;
    uint64_t data;
    uint32_t dataSize;
};

struct IdsRegistration {
    PalListEntry links;
    void* context;
    IdsEventCallback callback;
};

struct IdsSubsystem {
    WorkList workList;  // first in the record
    ScsSubsystem* sensorControl;
    PalListEntry clients;
    PalMutexHandle clientLock;
};

struct IdsClient {
    PalListEntry links;
    IdsSubsystem* subsystem;
    PalListEntry sensors;
    PalMutexHandle sensorLock;
    PalListEntry registrations;
    PalMutexHandle registrationLock;
};

typedef TcsResult (*IdsCaptureRoutine)(void* subsystemOrReply, TcsResult status, WorkItem* item);

struct IdsSensor {
    PalListEntry links;
    IdsClient* client;
    ScsSensor* scsSensor;
    uint32_t transportKind;
    uint32_t captureMode;  // 0..4
    uint32_t capturePurpose;
    uint32_t captureMetrics;
    uint32_t pollPeriod;
    PalListEntry registrations;
    PalMutexHandle registrationLock;
    uint32_t areaSize;
    uint8_t* area;
    uint32_t chunkSize;
    uint32_t bufferCount;
    int32_t allowanceTotal;  // capture mode 0 only
    int32_t allowanceRemaining;
    uint32_t dataCallbacks;
    uint32_t buffersToPost;
    ImageReconstructorInterface* reconstructor;
    // Raw scan-line request.
    uint8_t* rawBuffer;
    uint32_t rawSize;
    uint16_t rawLines;
    uint16_t rawFlags;
    uint32_t rawDone;
    PrintConfiguration* printConfig;
    uint32_t getPrintFlags;
    uint32_t paramWord5;
    GetPrintContext* current;
    uint32_t firstBufferAfterRestart;
    IdsCaptureRoutine captureRoutine;
};

struct FpBufferNode {
    PalListEntry links;
    uint32_t last;
    uint32_t size;
    uint32_t filled;
    uint8_t* data;
};

struct WoeRatchet {
    uint32_t pollState;
    uint32_t fingerEvent;
    uint32_t reserved;
    uint32_t redoSetup;
    uint32_t enabled;
    uint32_t threshold1;
    uint32_t threshold2;
    uint32_t limit;
    uint32_t step;
    uint32_t slotIndex;
    uint32_t slotBase;
    uint32_t slots[6];
};

struct FingerStateRequest {
    ScsSensor* sensor;
    uint32_t pollPeriod;
    uint32_t captureMode;
    uint32_t zero;
    uint32_t one;
};

struct GetPrintContext {
    IdsSensor* sensor;
    char* path;
    uint32_t params[kCaptureParamWords];
    uint32_t calibrationType;
    // Taken from the sensor as the request is queued, so that what callers do to the sensor's
    // settings meanwhile (a request refused while this one runs, a caller clearing the print
    // configuration after queueing) changes nothing this request uses.
    PrintConfiguration* printConfig;  // owned; null or all-ones for the default
    uint32_t captureMode;
    // Set under the work-list lock when the service first runs the capture: from then on the
    // machine reads the path and parameters on the service thread, and nobody may change them.
    uint32_t started;
    void* handle;  // the reconstructor instance of this capture
    ImageRecord* outputImage;
    ImageRecord* rawImage;
    // Machine fields kept with the capture.
    uint32_t fallback;
    uint32_t requestSeq;
    uint32_t budget;
    uint32_t recalibrationRequested;
    uint32_t lineLength;
    uint32_t endOfData;
    uint32_t retries;
    uint32_t fingerDetected;
    uint32_t waitingForFinger;
    uint32_t fingerEventSeen;
    uint32_t thirdFinger;
    uint32_t abort;
    uint32_t firstDataTick;
    uint32_t dataTimeLimit;  // all ones: none
    uint32_t laterCapture;
    ScsFpBufferCallback dataCallback;
    FingerStateRequest fingerRequest;
    uint32_t fingerSequence;
    uint32_t fingerQueued;
    WoeRatchet* woe;
    uint32_t baselineVariance;
    uint32_t lastItemTick;
    // Fingerprint buffers.
    PalMutexHandle bufferLock;
    uint32_t bufferRefs;
    uint32_t earlyBufferLists;  // the machine's own reference, taken before the reconstructor opens
    PalListEntry freeList;
    PalListEntry filledList;
    // Capture output.
    uint32_t pathMadeHere;
    QcfFile* qcf;
    uint32_t qcfBytes;
    FILE* bmpFile;
    uint8_t* bmpMemory;
    uint32_t bmpCapacity;
    uint32_t bmpUsed;
    uint32_t bmpLines;
    uint32_t bmpWidth;
    uint32_t rawBufferedSize;
};

// Image events (ids_events.cpp).
TcsResult idsSensorEventPerformCallbackEx(GetPrintContext* context, uint32_t id, uint32_t status, void* data,
                                          uint32_t size);
TcsResult idsSensorEventPerformCallback(GetPrintContext* context, uint32_t id, void* data, uint32_t size);
TcsResult idsClientEventPerformCallback(IdsClient* client, uint32_t id, void* data, uint32_t size);
TcsResult idsSystemEventPerformCallback(IdsSubsystem* subsystem, uint32_t id, void* data, uint32_t size);
TcsResult idsClientEventsAddCallback(IdsClient* client, IdsEventCallback callback, void* context);
TcsResult idsClientEventsRemoveCallback(IdsClient* client, IdsEventCallback callback, void* context);

// Service (ids_service.cpp).
TcsResult idsSensorSignalWorkToDo(IdsSensor* sensor);
// Clears the item's context pointer under the work-list lock; the caller frees the context after.
void idsDetachItemContext(WorkItem* item);
TcsResult idsStartupIr(uint32_t flexId, ImageReconstructorInterface* interface);
TcsResult idsSensorPickImageReconstructor(IdsSensor* sensor);
TcsResult idsIsTaskInWorkList(IdsSubsystem* subsystem, uint32_t type);
void idsSensorEventHandler(void* subsystem, ScsSensor* sensor, uint32_t reason);

// Capture machine (capture_machine.cpp).
TcsResult idsWITSensorGetHarlokFingerprint(void* subsystemOrReply, TcsResult status, WorkItem* item);
TcsResult idsSensorWOEFingerprintPoll(void* reply, TcsResult status, WorkItem* item);
TcsResult idsHarlokFingerprintCallback(void* item, TcsResult status, uint8_t* data, uint32_t length, void* entry);
TcsResult idsFPBufferCreateList(GetPrintContext* context);
TcsResult idsFPBufferDestroyList(GetPrintContext* context);
TcsResult idsFPBufferQueue(WorkItem* item, uint32_t length, uint8_t* data, uint32_t last);
TcsResult idsFPBufferProcess(WorkItem* item, uint32_t* outLast);
void idsUserCallback(IrDliUserEvent* request, uint32_t* outResult);

// Capture output (capture_output.cpp).
TcsResult idsFPFileOpen(GetPrintContext* context);
TcsResult idsFPFileClose(GetPrintContext* context);
TcsResult idsFPFileStreamQcf(GetPrintContext* context, const uint8_t* data, uint32_t length, uint32_t last);
TcsResult idsFPFilePrependQcf(GetPrintContext* context, const uint8_t* data, uint32_t length);
TcsResult idsFPFileStreamBMP(GetPrintContext* context, const uint8_t* data, uint32_t length);
TcsResult idsFPFilePrependBMP(GetPrintContext* context, const uint8_t* data, uint32_t length);
TcsResult idsSaveDataToQcf(const ScsPrintConfigurationData* configuration, const uint8_t* raw, uint32_t rawLength,
                           QcfFile* file);
TcsResult idsReconstructQcfToImage(const char* path, ImageRecord** outImage, ImageRecord** outRawImage,
                                   void* metrics);
