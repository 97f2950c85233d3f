// The image-data service: its work list, clients and sensors, the senders that queue requests, the
// service step that runs them, capture settings, capture contexts and the reconstructor choice.
#include "platform/clock.h"
#include "platform/memory.h"
#include "platform/settings.h"
#include "tcs/imaging/ids_internal.h"
#include "tcs/imaging/reconstruction/flex_info.h"
#include "tcs/sensorctl/init/device_accessors.h"
#include "tcs/sensorctl/protocol/device_properties.h"
#include "tcs/sensorctl/secure/fp_signing.h"
#include "tcs/sensorctl/init/housekeeping.h"
#include "tcs/sensorctl/protocol/patch_loader.h"
#include "tcs/sensorctl/protocol/print_defaults.h"
#include "tcs/sensorctl/protocol/sensor_commands.h"
#include "tcs/sensorctl/protocol/sensor_properties.h"

#include <cstring>

namespace {

constexpr const char* kIrSection = "SOFTWARE\\Tovantic\\IR";
constexpr const char* kTfs530Section = "SOFTWARE\\Tovantic\\tfs530";
constexpr uint32_t kMinChunkSize = 84097;
constexpr uint32_t kMaxChunkSize = 0xFFFFF;
constexpr uint32_t kMaxBufferCount = 11;
constexpr uint32_t kRealTimeReconstructor = 4;

// Raw-line machine states.
enum : uint32_t {
    kRawStart = 0,
    kRawPost = 1,
    kRawPatch = 2,
    kRawCapture = 3,
    kRawWait = 4,
    kRawStop = 5,
    kRawRunPatch = 6,
    kRawDeliver = 7,
    kRawFail = 8,
};

TcsResult freeLock(PalMutexHandle& lock) {
    TcsResult r = TCS_RESULT_OK;
    if (lock != nullptr) r = palCriticalSectionFree(lock);
    lock = nullptr;
    return r;
}

void freeSensorRecord(IdsSensor* sensor) {
    if (sensor == nullptr) return;
    if (sensor->printConfig != nullptr) scsSensorFreePrintConfiguration(sensor->scsSensor, &sensor->printConfig);
    palRealFree(sensor->reconstructor);
    while (!palListIsEmpty(&sensor->registrations)) {
        PalListEntry* e = sensor->registrations.next;
        palListRemove(e);
        palRealFree(PAL_LIST_RECORD(e, IdsRegistration, links));
    }
    freeLock(sensor->registrationLock);
    palRealFree(sensor->area);
    palRealFree(sensor);
}

void freeClientRecord(IdsClient* client) {
    while (!palListIsEmpty(&client->registrations)) {
        PalListEntry* e = client->registrations.next;
        palListRemove(e);
        palRealFree(PAL_LIST_RECORD(e, IdsRegistration, links));
    }
    freeLock(client->sensorLock);
    freeLock(client->registrationLock);
    palRealFree(client);
}

IdsSubsystem* subsystemOf(IdsSensor* sensor) {
    return sensor != nullptr && sensor->client != nullptr ? sensor->client->subsystem : nullptr;
}

TcsResult enqueue(IdsSubsystem* subsystem, uint32_t type, void* object, IdsCallback callback, void* context) {
    if (subsystem == nullptr) return TCS_RESULT_BAD_PARAM;
    return palWorkItemEnqueue(&subsystem->workList, type, kIdsItemTimeoutMs, object, uint64_t(uintptr_t(callback)),
                              uint64_t(uintptr_t(context)), 1, nullptr);
}

IdsSensor* sensorOfItem(WorkItem* item) {
    if (item->object == nullptr) return nullptr;
    if (item->type == kIdsItemGetFingerprint || item->type == kIdsItemGetRawScanLines) {
        return static_cast<GetPrintContext*>(item->object)->sensor;
    }
    return nullptr;
}

// A capture or raw-lines item for the same device as the one being queued keeps the new one out.
uint32_t workItemsEnumEnqueueGetPrintPredicate(WorkItem* queued, WorkItemType, void* object, uint64_t, uint64_t) {
    if (queued->type != kIdsItemGetFingerprint && queued->type != kIdsItemGetRawScanLines) return 0;
    IdsSensor* a = sensorOfItem(queued);
    IdsSensor* b = static_cast<GetPrintContext*>(object)->sensor;
    if (a == nullptr || b == nullptr) return 0;
    return a->scsSensor == b->scsSensor || scsHasSameDevice(a->scsSensor, b->scsSensor) == 1 ? 1 : 0;
}

// Whether a capture or raw-lines item of the sensor's device is queued.
bool deviceBusy(IdsSubsystem* subsystem, IdsSensor* sensor) {
    GetPrintContext probe{};
    probe.sensor = sensor;
    bool busy = false;
    palCriticalSectionAcquire(subsystem->workList.listLock);
    for (PalListEntry* e = subsystem->workList.links.next; e != &subsystem->workList.links && !busy; e = e->next) {
        busy = workItemsEnumEnqueueGetPrintPredicate(PAL_WORK_ITEM_FROM_LINKS(e), kIdsItemGetRawScanLines, &probe, 0, 0) == 1;
    }
    palCriticalSectionRelease(subsystem->workList.listLock);
    return busy;
}

void freeArea(IdsSensor* sensor) {
    palRealFree(sensor->area);
    sensor->area = nullptr;
    sensor->areaSize = 0;
}

// A request takes its sensor's print configuration and capture mode with it as it is queued; a
// refused one gives the configuration back, unless another has been set meanwhile.
void takeSensorSettings(GetPrintContext* context) {
    IdsSensor* sensor = context->sensor;
    context->printConfig = sensor->printConfig;
    sensor->printConfig = nullptr;
    context->captureMode = sensor->captureMode;
}

void giveBackSensorSettings(GetPrintContext* context) {
    IdsSensor* sensor = context->sensor;
    if (sensor->printConfig != nullptr) return;
    sensor->printConfig = context->printConfig;
    context->printConfig = nullptr;
}

// --- Items --------------------------------------------------------------------------------------

void runClientCreate(IdsSubsystem* subsystem, WorkItem* item) {
    auto* client = static_cast<IdsClient*>(item->object);
    TcsResult status = palCriticalSectionAcquire(subsystem->clientLock);
    if (status == TCS_RESULT_OK) {
        palListInsertTail(&subsystem->clients, &client->links);
        palCriticalSectionRelease(subsystem->clientLock);
    }
    if (IdsCallback cb = idsItemCallback(item)) cb(client, status, idsItemContext(item));
    idsRunStatus(item) = kFinished;
}

void runClientDestroy(WorkItem* item) {
    auto* client = static_cast<IdsClient*>(item->object);
    if (IdsCallback cb = idsItemCallback(item)) cb(client, TCS_RESULT_OK, idsItemContext(item));
    freeClientRecord(client);
    item->object = nullptr;
    idsRunStatus(item) = kFinished;
}

void runSensorOpen(WorkItem* item) {
    auto* sensor = static_cast<IdsSensor*>(item->object);
    uint32_t& state = idsItemState(item);
    for (;;) {
        switch (state) {
            case 0: {
                const TcsResult r = idsSensorPickImageReconstructor(sensor);
                idsItemResult(item) = r;
                state = r == TCS_RESULT_OK ? 1 : 4;
                break;
            }
            case 1: {
                uint32_t family = 0;
                const TcsResult r = scsSensorGetProductFamily(sensor->scsSensor, &family);
                if (r == TCS_RESULT_OK && (family == 1 || family == 2)) {
                    sensor->captureRoutine = idsWITSensorGetHarlokFingerprint;
                    state = 2;
                } else {
                    // Another family has no capture routine. A query that worked but named such a family
                    // is reported as 6, not as the query's 0: a null sensor must not look like success.
                    idsItemResult(item) = r == TCS_RESULT_OK ? TcsResult(TCS_RESULT_NOT_IMPLEMENTED) : r;
                    state = 4;
                }
                break;
            }
            case 2: {
                sensor->bufferCount = kDefaultBufferCount;
                sensor->chunkSize = kDefaultChunkSize;
                IdsClient* client = sensor->client;
                const TcsResult r = palCriticalSectionAcquire(client->sensorLock);
                if (r == TCS_RESULT_OK) {
                    palListInsertTail(&client->sensors, &sensor->links);
                    palCriticalSectionRelease(client->sensorLock);
                } else {
                    idsItemResult(item) = r;
                }
                state = 3;
                break;
            }
            case 3:
                if (IdsCallback cb = idsItemCallback(item)) cb(sensor, idsItemResult(item), idsItemContext(item));
                idsRunStatus(item) = kFinished;
                return;
            default:  // 4
                freeSensorRecord(sensor);
                sensor = nullptr;
                item->object = nullptr;
                state = 3;
                break;
        }
    }
}

// The first queued capture or raw-lines item of the sensor, NULL when none.
WorkItem* findCapture(IdsSubsystem* subsystem, IdsSensor* sensor) {
    WorkItem* found = nullptr;
    palCriticalSectionAcquire(subsystem->workList.listLock);
    for (PalListEntry* e = subsystem->workList.links.next; e != &subsystem->workList.links; e = e->next) {
        WorkItem* queued = PAL_WORK_ITEM_FROM_LINKS(e);
        if (sensorOfItem(queued) == sensor && idsRunStatus(queued) != kFinished) {
            found = queued;
            break;
        }
    }
    palCriticalSectionRelease(subsystem->workList.listLock);
    return found;
}

// Sensor control names the one command protocol it speaks 4 (0 before a reply parser is set);
// the abort and the run-patch reload were written for protocol 1. Both are that protocol's
// successors here: with 1 alone an abort would never reach a capture on this stack.
bool speaksCaptureProtocol(ScsSensor* control) {
    uint8_t version = 0;
    return scsSensorGetCmdProtocolVersion(control, &version) == TCS_RESULT_OK && (version == 1 || version == 4);
}

void completeAbort(WorkItem* item) {
    if (IdsCallback cb = idsItemCallback(item)) cb(nullptr, TCS_RESULT_OK, idsItemContext(item));
    idsRunStatus(item) = kFinished;
}

// Raw lines not yet reading fail at once; a capture, or raw lines under way, see the abort flag.
void askToEnd(WorkItem* capture) {
    auto* context = static_cast<GetPrintContext*>(capture->object);
    if (capture->type == kIdsItemGetRawScanLines && idsItemState(capture) <= kRawPatch) {
        idsItemResult(capture) = TCS_RESULT_CANCEL;
        idsItemState(capture) = kRawFail;
    } else {
        context->abort = 1;
    }
}

void runSensorClose(IdsSubsystem* subsystem, WorkItem* item) {
    auto* sensor = static_cast<IdsSensor*>(item->object);
    // A capture of the sensor still queued (its sensor pulled out under it) ends first: the record
    // was freed under it, and the capture's next step read it.
    if (WorkItem* capture = sensor != nullptr ? findCapture(subsystem, sensor) : nullptr) {
        askToEnd(capture);
        idsRunStatus(item) = kWaiting;
        palWorkItemSetTimeout(item, 1, 1);
        return;
    }
    freeSensorRecord(sensor);
    item->object = nullptr;
    if (IdsCallback cb = idsItemCallback(item)) cb(nullptr, TCS_RESULT_OK, idsItemContext(item));
    idsRunStatus(item) = kFinished;
}

void runAbort(IdsSubsystem* subsystem, WorkItem* item) {
    auto* sensor = static_cast<IdsSensor*>(item->object);
    if (sensor == nullptr || !speaksCaptureProtocol(sensor->scsSensor)) {
        completeAbort(item);
        return;
    }
    uint32_t& state = idsItemState(item);
    if (state == 0) {
        WorkItem* capture = findCapture(subsystem, sensor);
        if (capture == nullptr) {
            completeAbort(item);
            return;
        }
        askToEnd(capture);
        state = 1;
    }
    if (findCapture(subsystem, sensor) != nullptr) {
        idsRunStatus(item) = kWaiting;
        palWorkItemSetTimeout(item, 1, 1);
        return;
    }
    completeAbort(item);
}

// --- Raw scan lines -------------------------------------------------------------------------------

TcsResult idsRawScanLinesBufferCallback(void* itemArgument, TcsResult status, uint8_t* data, uint32_t length, void* extra);

void runRawLines(WorkItem* item) {
    auto* context = static_cast<GetPrintContext*>(item->object);
    IdsSensor* sensor = context->sensor;
    ScsSensor* control = sensor->scsSensor;
    uint32_t& state = idsItemState(item);
    TcsResult& status = idsItemResult(item);
    const bool callerBuffer = sensor->rawBuffer != nullptr && sensor->rawLines != 0;
    for (;;) {
        switch (state) {
            case kRawStart:
                sensor->rawDone = 0;
                context->abort = 0;
                if (!callerBuffer) {
                    if (sensor->area == nullptr) {
                        sensor->areaSize = sensor->chunkSize * sensor->bufferCount;
                        sensor->area = static_cast<uint8_t*>(palRealMalloc(sensor->areaSize));
                    }
                    sensor->buffersToPost = sensor->bufferCount;
                    if (sensor->area == nullptr) {
                        status = TCS_RESULT_OUT_OF_MEMORY;
                        state = kRawFail;
                        break;
                    }
                    std::memset(sensor->area, 0, sensor->areaSize);
                }
                state = kRawPost;
                break;
            case kRawPost: {
                TcsResult r = TCS_RESULT_OK;
                if (callerBuffer) {
                    r = scsSensorPostFingerprintBuffer(control, sensor->rawBuffer, sensor->rawSize, idsRawScanLinesBufferCallback,
                                                       item);
                } else {
                    for (uint32_t i = 0; i < sensor->buffersToPost && r == TCS_RESULT_OK; ++i) {
                        r = scsSensorPostFingerprintBuffer(control, sensor->area + (i % sensor->bufferCount) *
                                                                                       sensor->chunkSize,
                                                           sensor->chunkSize, idsRawScanLinesBufferCallback, item);
                    }
                }
                if (r != TCS_RESULT_OK) {
                    status = r;
                    state = kRawFail;
                } else {
                    state = kRawPatch;
                }
                break;
            }
            case kRawPatch:
                scsDownloadGetPrintPatch(control, 0);
                state = kRawCapture;
                return;
            case kRawCapture: {
                if (context->abort) {
                    status = TCS_RESULT_CANCEL;
                    state = kRawFail;
                    break;
                }
                // The request's get-print flags go out as the capture's options and its raw-line flags
                // as the capture mode; taking the raw-line flags as options lost what the caller asked
                // of the capture (configuration reply, encryption).
                uint32_t flags = sensor->getPrintFlags;
                if (!callerBuffer) flags |= 0x80;
                if (scsSensorIsDunmo(control) == 1 || scsSensorIsBrellow(control) == 1) flags |= 0x20;
                const TcsResult r = scsSensorGetFingerprint(control, sensor->rawLines, 0, uint8_t(sensor->rawFlags),
                                                            flags, context->printConfig, nullptr);
                if (r != TCS_RESULT_OK) {
                    scsSensorCancelAllFingerprintBuffers(control);
                    status = r;
                    state = kRawFail;
                    break;
                }
                state = context->abort ? kRawStop : kRawWait;
                return;
            }
            case kRawWait:
                if (sensor->rawDone == 1) {
                    state = kRawStop;
                    break;
                }
                if (!context->abort) {
                    idsRunStatus(item) = kWaiting;
                    palWorkItemSetTimeout(item, 1, 1);
                    return;
                }
                if (status == TCS_RESULT_OK) status = TCS_RESULT_CANCEL;
                state = kRawStop;
                break;
            case kRawStop:
                if (context->abort) {
                    const TcsResult r = scsSensorAbortFingerprint(control);
                    if (r != TCS_RESULT_OK) {
                        status = r;
                        state = kRawFail;
                        break;
                    }
                }
                scsSensorCancelAllFingerprintBuffers(control);
                state = kRawRunPatch;
                break;
            case kRawRunPatch: {
                if (speaksCaptureProtocol(control)) {
                    const TcsResult r = scsDownloadRunPatch(control);
                    if (r != TCS_RESULT_OK && status == TCS_RESULT_OK) status = r;
                }
                state = kRawDeliver;
                break;
            }
            case kRawDeliver: {
                // The request's completion is the caller's IdsCallback: (line buffer or NULL, status,
                // context). Calling it through another signature would hand the caller garbage.
                if (IdsCallback cb = idsItemCallback(item)) cb(sensor->rawBuffer, status, idsItemContext(item));
                // The request's print configuration goes with its context.
                if (!callerBuffer) {
                    sensor->chunkSize = kDefaultChunkSize;
                    freeArea(sensor);
                }
                idsDetachItemContext(item);
                idsFreeSensorContext(context);
                idsRunStatus(item) = kFinished;
                return;
            }
            default:  // kRawFail
                scsSensorCancelRequests(control);
                scsSensorCancelAllFingerprintBuffers(control);
                state = kRawRunPatch;
                break;
        }
    }
}

TcsResult idsRawScanLinesBufferCallback(void* itemArgument, TcsResult status, uint8_t* data, uint32_t length, void* extra) {
    auto* item = static_cast<WorkItem*>(itemArgument);
    if (item == nullptr || item->object == nullptr) return TCS_RESULT_OK;
    auto* context = static_cast<GetPrintContext*>(item->object);
    IdsSensor* sensor = context->sensor;
    if (status != TCS_RESULT_OK) {
        // Buffers still posted when the request has what it wanted fail as they are cancelled: that
        // is the end of the request, not a failure of it.
        if (sensor->rawDone == 1) return TCS_RESULT_OK;
        idsItemState(item) = kRawFail;
        if (idsItemResult(item) == TCS_RESULT_OK) idsItemResult(item) = TCS_RESULT_INVALID;
        return TCS_RESULT_OK;
    }
    if (sensor->rawBuffer != nullptr && sensor->rawLines != 0) {
        if (scsSensorFpCryptContextFinalize(sensor->scsSensor, 1) == TCS_RESULT_OK) {
            sensor->rawSize = length;
            sensor->rawDone = 1;
            idsSensorEventPerformCallback(context, IDS_EVENT_RAW_DATA, data, length);
        }
    } else {
        // The caller's completion doubles as the data sink, called (buffer, 0, context) for every
        // filled buffer (its lines also go out as event 207); 1 from it ends the request.
        (void)extra;
        idsSensorEventPerformCallback(context, IDS_EVENT_RAW_DATA, data, length);
        IdsCallback sink = idsItemCallback(item);
        const TcsResult answer = sink != nullptr ? sink(data, TCS_RESULT_OK, idsItemContext(item)) : 0;
        if (answer == 1) {
            sensor->rawDone = 1;
        } else if (!context->abort) {
            scsSensorPostFingerprintBuffer(sensor->scsSensor, data, sensor->chunkSize, idsRawScanLinesBufferCallback, item);
        }
    }
    idsSensorSignalWorkToDo(sensor);
    return TCS_RESULT_OK;
}

// --- Capture ------------------------------------------------------------------------------------

void endCaptureAtOnce(WorkItem* item) {
    auto* context = static_cast<GetPrintContext*>(item->object);
    idsSensorEventPerformCallbackEx(context, IDS_EVENT_CAPTURE_DONE, TCS_RESULT_SENSOR_NOT_FOUND, nullptr, 0);
    scsSensorCancelAllFingerprintBuffers(context->sensor->scsSensor);
    if (IdsCallback cb = idsItemCallback(item)) cb(nullptr, TCS_RESULT_SENSOR_NOT_FOUND, idsItemContext(item));
    // The caller was told there is no image, so the output image goes with the context.
    freeArea(context->sensor);
    idsDetachItemContext(item);
    idsFreeSensorContext(context);
    idsRunStatus(item) = kFinished;
}

}  // namespace

// --- Shared with the other files ------------------------------------------------------------------

// A sender on another thread reads the contexts of queued items under the list lock (one capture
// per device), while the item stays queued as it ends: the context leaves the item under that lock
// before it is freed, so the sender never reads a freed context.
void idsDetachItemContext(WorkItem* item) {
    auto* context = static_cast<GetPrintContext*>(item->object);
    IdsSubsystem* subsystem = context != nullptr ? subsystemOf(context->sensor) : nullptr;
    if (subsystem != nullptr) palCriticalSectionAcquire(subsystem->workList.listLock);
    item->object = nullptr;
    if (subsystem != nullptr) palCriticalSectionRelease(subsystem->workList.listLock);
}

TcsResult idsSensorSignalWorkToDo(IdsSensor* sensor) {
    if (sensor == nullptr) return TCS_RESULT_INVALID;
    IdsSubsystem* subsystem = subsystemOf(sensor);
    if (subsystem == nullptr || subsystem->workList.wakeEvent == nullptr) return TCS_RESULT_OK;
    return palEventSet(subsystem->workList.wakeEvent);
}

TcsResult idsFreeSensorContext(GetPrintContext* context) {
    if (context == nullptr) return TCS_RESULT_NULL_POINTER;
    if (context->outputImage != nullptr) {
        const TcsResult r = _tcsImageDestroy(context->outputImage);
        if (r != TCS_RESULT_OK) return r;
        context->outputImage = nullptr;
    }
    if (context->handle != nullptr && context->sensor != nullptr && context->sensor->reconstructor != nullptr) {
        context->sensor->reconstructor->Close(context->handle);
    }
    context->handle = nullptr;
    if (context->sensor != nullptr && context->sensor->current == context) context->sensor->current = nullptr;
    if (context->printConfig != nullptr && context->sensor != nullptr) {
        scsSensorFreePrintConfiguration(context->sensor->scsSensor, &context->printConfig);
    }
    palRealFree(context->woe);
    palRealFree(context->path);
    freeLock(context->bufferLock);
    palRealFree(context);
    return TCS_RESULT_OK;
}

TcsResult idsStartupIr(uint32_t flexId, ImageReconstructorInterface* interface) {
    if (interface == nullptr) return TCS_RESULT_NULL_POINTER;
    uint32_t type = 0;
    palGetPersistentDataLongValue(kIrSection, "IRType", 0, &type);
    if (type == 0) {
        const FlexInfoRecord* flex = dliFindFlexInfo(int32_t(flexId & 0xFFFF));
        if (flex != nullptr) type = flex->reconstructorType;
    }
    return type == kRealTimeReconstructor ? irDliRTStartup(interface) : TcsResult(TCS_RESULT_NOT_IMPLEMENTED);
}

TcsResult idsSensorPickImageReconstructor(IdsSensor* sensor) {
    if (sensor == nullptr) return TCS_RESULT_BAD_PARAM;
    uint32_t flexId = 0;
    TcsResult r = scsSensorGetFlexId(sensor->scsSensor, &flexId);
    if (r != TCS_RESULT_OK) return r;
    if (flexId == 0) return TCS_RESULT_OK;
    ScsDriverVersion version{};
    r = scsSensorGetDriverVersion(sensor->scsSensor, &version);
    if (r != TCS_RESULT_OK) return r;
    auto* interface = static_cast<ImageReconstructorInterface*>(palRealMalloc(sizeof(ImageReconstructorInterface)));
    if (interface == nullptr) return TCS_RESULT_OUT_OF_MEMORY;
    std::memset(interface, 0, sizeof *interface);
    r = idsStartupIr(flexId, interface);
    if (r == TCS_RESULT_OK) {
        palRealFree(sensor->reconstructor);
        sensor->reconstructor = interface;
        return TCS_RESULT_OK;
    }
    palRealFree(interface);
    return sensor->reconstructor == nullptr ? TcsResult(TCS_RESULT_NO_IMAGE_RECON) : r;
}

TcsResult idsIsTaskInWorkList(IdsSubsystem* subsystem, uint32_t type) {
    if (subsystem == nullptr) return 0;
    TcsResult found = 0;
    palCriticalSectionAcquire(subsystem->workList.listLock);
    for (PalListEntry* e = subsystem->workList.links.next; e != &subsystem->workList.links; e = e->next) {
        WorkItem* item = PAL_WORK_ITEM_FROM_LINKS(e);
        if (item->type == type && item->object != nullptr) {
            found = 1;
            break;
        }
    }
    palCriticalSectionRelease(subsystem->workList.listLock);
    return found;
}

void idsSensorEventHandler(void* subsystemArgument, ScsSensor* control, uint32_t) {
    auto* subsystem = static_cast<IdsSubsystem*>(subsystemArgument);
    if (subsystem == nullptr || control == nullptr) return;
    palCriticalSectionAcquire(subsystem->workList.listLock);
    for (PalListEntry* e = subsystem->workList.links.next; e != &subsystem->workList.links; e = e->next) {
        WorkItem* item = PAL_WORK_ITEM_FROM_LINKS(e);
        if (item->type != kIdsItemGetFingerprint) continue;
        IdsSensor* sensor = sensorOfItem(item);
        if (sensor != nullptr && sensor->scsSensor == control) {
            palWorkItemEnqueue(&subsystem->workList, kIdsItemAbortFingerprint, kIdsItemTimeoutMs, sensor, 0, 0, 0,
                               nullptr);
        }
    }
    palCriticalSectionRelease(subsystem->workList.listLock);
}

extern "C" {

// --- Life cycle -------------------------------------------------------------------------------------

TcsResult idsSubsystemShutdown(IdsSubsystem* subsystem) {
    if (subsystem == nullptr) return TCS_RESULT_INVALID_HANDLE;
    // Sensor control outlives this record at shut-down and may still tell its listeners about lost
    // handles: the registration goes with the record.
    ScsSubsystem* control = subsystem->sensorControl;
    if (control != nullptr) {
        for (PalListEntry* e = control->sensorLostCallbacks.next; e != &control->sensorLostCallbacks;) {
            PalListEntry* next = e->next;
            auto* listener = PAL_LIST_RECORD(e, ScsListener, links);
            if (listener->context == subsystem) {
                palListRemove(e);
                palRealFree(listener);
            }
            e = next;
        }
    }
    if (subsystem->workList.listLock != nullptr) {
        palCriticalSectionAcquire(subsystem->workList.listLock);
        while (!palListIsEmpty(&subsystem->workList.links)) {
            WorkItem* item = PAL_WORK_ITEM_FROM_LINKS(subsystem->workList.links.next);
            palListRemove(&item->links);
            palWorkItemDestroy(item);
        }
        palCriticalSectionRelease(subsystem->workList.listLock);
    }
    palWorkListUninitialize(&subsystem->workList);
    freeLock(subsystem->clientLock);
    palRealFree(subsystem);
    return TCS_RESULT_OK;
}

TcsResult idsSubsystemStartup(IdsSubsystem** outSubsystem, PalEvent* wakeEvent, ScsSubsystem* sensorControl) {
    if (outSubsystem == nullptr) return TCS_RESULT_BAD_PARAM;
    *outSubsystem = nullptr;
    if (sensorControl == nullptr) return TCS_RESULT_BAD_PARAM;
    auto* subsystem = static_cast<IdsSubsystem*>(palRealMalloc(sizeof(IdsSubsystem)));
    if (subsystem == nullptr) return TCS_RESULT_INVALID;
    std::memset(subsystem, 0, sizeof *subsystem);
    palListInit(&subsystem->clients);
    palListInit(&subsystem->workList.links);
    TcsResult r = palWorkListInitialize(&subsystem->workList, wakeEvent);
    if (r == TCS_RESULT_OK) r = palCriticalSectionInitialize(&subsystem->clientLock);
    if (r == TCS_RESULT_OK && subsystem->clientLock == nullptr) r = TCS_RESULT_INVALID;
    subsystem->sensorControl = sensorControl;
    if (r == TCS_RESULT_OK) r = scsSensorAddEventCallback(sensorControl, idsSensorEventHandler, subsystem);
    if (r != TCS_RESULT_OK) {
        idsSubsystemShutdown(subsystem);
        return r;
    }
    *outSubsystem = subsystem;
    return TCS_RESULT_OK;
}

IdsSubsystem* idsGetSubsystem(IdsSensor* sensor) { return subsystemOf(sensor); }

TcsResult idsSubsystemDumpState(IdsSubsystem*) { return TCS_RESULT_OK; }
TcsResult idsGetDbgFlags(uint32_t* flags) {
    if (flags == nullptr) return TCS_RESULT_BAD_PARAM;
    *flags = 0;
    return TCS_RESULT_OK;
}
TcsResult idsSetDbgFlags(uint32_t) { return TCS_RESULT_OK; }
TcsResult idsGetDbgSystems(uint32_t* systems) { return idsGetDbgFlags(systems); }
TcsResult idsSetDbgSystems(uint32_t) { return TCS_RESULT_OK; }
TcsResult idsSensorSendStartTTA(IdsSensor*) { return TCS_RESULT_NOT_IMPLEMENTED; }
TcsResult idsSensorSendStopTTA(IdsSensor*) { return TCS_RESULT_NOT_IMPLEMENTED; }
TcsResult tcsSensorGenericCB(void*, TcsResult, void*) { return TCS_RESULT_OK; }

TcsResult idsIsGetPrintTaskInWorkList(IdsSubsystem* subsystem) {
    return idsIsTaskInWorkList(subsystem, kIdsItemGetFingerprint) == 1 ||
                   idsIsTaskInWorkList(subsystem, kIdsItemGetRawScanLines) == 1
               ? 1
               : 0;
}

TcsResult idsSubsystemService(IdsSubsystem* subsystem, uint32_t budgetMs, uint32_t* nextWaitMs) {
    if (subsystem == nullptr) return TCS_RESULT_INVALID_HANDLE;
    if (nextWaitMs != nullptr) *nextWaitMs = 0;
    const uint32_t start = palGetTickCount();
    WorkList& list = subsystem->workList;
    uint32_t count = 0;
    palCriticalSectionAcquire(list.listLock);
    for (PalListEntry* e = list.links.next; e != &list.links; e = e->next) ++count;
    palCriticalSectionRelease(list.listLock);
    if (count == 0) return TCS_RESULT_NO_WORK_ITEMS;
    bool workLeft = false;
    uint32_t smallestWait = 0;
    while (count > 0) {
        if (palGetTickCount() - start > budgetMs) {
            workLeft = true;
            break;
        }
        palCriticalSectionAcquire(list.listLock);
        if (palListIsEmpty(&list.links)) {
            palCriticalSectionRelease(list.listLock);
            break;
        }
        // The item stays queued while it runs, so that a request queued meanwhile from another
        // thread still sees it (one capture per device) and a close still finds it.
        WorkItem* item = PAL_WORK_ITEM_FROM_LINKS(list.links.next);
        if (item->type == kIdsItemGetFingerprint && item->object != nullptr) {
            static_cast<GetPrintContext*>(item->object)->started = 1;
        }
        palCriticalSectionRelease(list.listLock);
        if (idsRunStatus(item) == kFinished) {
            palCriticalSectionAcquire(list.listLock);
            palListRemove(&item->links);
            palCriticalSectionRelease(list.listLock);
            palWorkItemDestroy(item);
            --count;
            continue;
        }
        idsRunStatus(item) = kRunnable;
        switch (item->type) {
            case kIdsItemClientCreate: runClientCreate(subsystem, item); break;
            case kIdsItemClientDestroy: runClientDestroy(item); break;
            case kIdsItemSensorOpen: runSensorOpen(item); break;
            case kIdsItemSensorClose: runSensorClose(subsystem, item); break;
            case kIdsItemGetFingerprint: {
                auto* context = static_cast<GetPrintContext*>(item->object);
                const uint32_t now = palGetTickCount();
                context->budget = now - start < budgetMs ? budgetMs - (now - start) : 0;
                IdsCaptureRoutine routine = context->sensor->captureRoutine;
                const TcsResult r = routine != nullptr ? routine(subsystem, TCS_RESULT_SERVICE, item)
                                                       : TcsResult(TCS_RESULT_SENSOR_NOT_FOUND);
                if (r != TCS_RESULT_OK) endCaptureAtOnce(item);
                break;
            }
            case kIdsItemAbortFingerprint: runAbort(subsystem, item); break;
            case kIdsItemGetRawScanLines: runRawLines(item); break;
            default: break;
        }
        const uint32_t run = idsRunStatus(item);
        palCriticalSectionAcquire(list.listLock);
        palListRemove(&item->links);
        if (run == kFinished) {
            palCriticalSectionRelease(list.listLock);
            palWorkItemDestroy(item);
            --count;
            continue;
        }
        if (run == kRunAgain) {
            palListInsertHead(&list.links, &item->links);
        } else {
            palListInsertTail(&list.links, &item->links);
        }
        palCriticalSectionRelease(list.listLock);
        if (run == kRunAgain) continue;
        --count;
        if (run == kWaiting) {
            if (item->remainingMs != 0 && (smallestWait == 0 || item->remainingMs < smallestWait)) {
                smallestWait = item->remainingMs;
            }
        } else {
            workLeft = true;
        }
    }
    if (nextWaitMs != nullptr) *nextWaitMs = smallestWait;
    palCriticalSectionAcquire(list.listLock);
    const bool empty = palListIsEmpty(&list.links);
    palCriticalSectionRelease(list.listLock);
    return !empty && workLeft ? TcsResult(TCS_RESULT_OK) : TcsResult(TCS_RESULT_NO_WORK_ITEMS);
}

TcsResult idsUpdateQueuedCaptures(IdsSubsystem* subsystem, ScsSensor* sensor, const char* path,
                                  const uint32_t* parameters) {
    if (subsystem == nullptr) return TCS_RESULT_INVALID_HANDLE;
    if (parameters == nullptr) return TCS_RESULT_NULL_POINTER;
    TcsResult result = palCriticalSectionAcquire(subsystem->workList.listLock);
    if (result != TCS_RESULT_OK) return result;
    for (PalListEntry* e = subsystem->workList.links.next; e != &subsystem->workList.links && result == TCS_RESULT_OK;
         e = e->next) {
        WorkItem* item = PAL_WORK_ITEM_FROM_LINKS(e);
        auto* context = static_cast<GetPrintContext*>(item->object);
        if (item->type != kIdsItemGetFingerprint || context == nullptr || context->sensor == nullptr) continue;
        // A capture under way reads these on the service thread without a lock: only one that has
        // not started is changed.
        if (context->started || scsSensorsAreEqual(context->sensor->scsSensor, sensor) != 1) continue;
        result = idsSetFilePathToCtx(context, path);
        if (result == TCS_RESULT_OK) result = idsSetParamsToCtx(context, parameters);
    }
    palCriticalSectionRelease(subsystem->workList.listLock);
    return result;
}

// --- Senders ----------------------------------------------------------------------------------------

TcsResult idsClientSendCreate(IdsSubsystem* subsystem, IdsCallback callback, void* context) {
    if (subsystem == nullptr) return TCS_RESULT_BAD_PARAM;
    auto* client = static_cast<IdsClient*>(palRealMalloc(sizeof(IdsClient)));
    if (client == nullptr) return TCS_RESULT_INVALID;
    std::memset(client, 0, sizeof *client);
    client->subsystem = subsystem;
    palListInit(&client->links);
    palListInit(&client->sensors);
    palListInit(&client->registrations);
    if (palCriticalSectionInitialize(&client->sensorLock) != TCS_RESULT_OK || client->sensorLock == nullptr ||
        palCriticalSectionInitialize(&client->registrationLock) != TCS_RESULT_OK ||
        client->registrationLock == nullptr) {
        freeClientRecord(client);
        return TCS_RESULT_INVALID;
    }
    const TcsResult r = enqueue(subsystem, kIdsItemClientCreate, client, callback, context);
    if (r != TCS_RESULT_OK) freeClientRecord(client);
    return r;
}

TcsResult idsClientSendDestroy(IdsClient* client, IdsCallback callback, void* context) {
    if (client == nullptr) return TCS_RESULT_BAD_PARAM;
    IdsSubsystem* subsystem = client->subsystem;
    if (palCriticalSectionAcquire(subsystem->clientLock) != TCS_RESULT_OK) return TCS_RESULT_INVALID;
    if (client->links.next != nullptr && client->links.next != &client->links) palListRemove(&client->links);
    palListInit(&client->links);
    palCriticalSectionRelease(subsystem->clientLock);
    return enqueue(subsystem, kIdsItemClientDestroy, client, callback, context);
}

TcsResult idsSensorSendOpen(IdsClient* client, ScsSensor* control, IdsCallback callback, void* context) {
    if (client == nullptr || control == nullptr) return TCS_RESULT_BAD_PARAM;
    auto* sensor = static_cast<IdsSensor*>(palRealMalloc(sizeof(IdsSensor)));
    if (sensor == nullptr) return TCS_RESULT_INVALID;
    std::memset(sensor, 0, sizeof *sensor);
    palListInit(&sensor->links);
    palListInit(&sensor->registrations);
    sensor->client = client;
    sensor->scsSensor = control;
    sensor->chunkSize = kDefaultChunkSize;
    sensor->bufferCount = kDefaultBufferCount;
    sensor->captureMode = 4;
    if (palCriticalSectionInitialize(&sensor->registrationLock) != TCS_RESULT_OK || sensor->registrationLock == nullptr) {
        freeSensorRecord(sensor);
        return TCS_RESULT_INVALID;
    }
    TcsResult r = scsSensorGetTransport(control, &sensor->transportKind);
    if (r == TCS_RESULT_OK) r = enqueue(client->subsystem, kIdsItemSensorOpen, sensor, callback, context);
    if (r != TCS_RESULT_OK) freeSensorRecord(sensor);
    return r;
}

TcsResult idsSensorSendClose(IdsSensor* sensor, IdsCallback callback, void* context) {
    if (sensor == nullptr) return TCS_RESULT_BAD_PARAM;
    IdsClient* client = sensor->client;
    if (palCriticalSectionAcquire(client->sensorLock) != TCS_RESULT_OK) return TCS_RESULT_INVALID;
    if (sensor->links.next != &sensor->links) palListRemove(&sensor->links);
    palListInit(&sensor->links);
    palCriticalSectionRelease(client->sensorLock);
    return enqueue(client->subsystem, kIdsItemSensorClose, sensor, callback, context);
}

TcsResult idsSensorSendGetFingerprint(GetPrintContext* context, ImageRecord* image, IdsCallback callback,
                                      void* callbackContext) {
    if (context == nullptr) return TCS_RESULT_NULL_POINTER;
    IdsSensor* sensor = context->sensor;
    if (sensor == nullptr) return TCS_RESULT_NULL_SENSOR_HANDLE;
    if (image == nullptr) return TCS_RESULT_BAD_PARAM;
    IdsSubsystem* subsystem = subsystemOf(sensor);
    if (subsystem == nullptr) return TCS_RESULT_BAD_PARAM;
    context->outputImage = image;
    takeSensorSettings(context);
    const TcsResult r = palWorkItemEnumEnqueueConditional(
        &subsystem->workList, kIdsItemGetFingerprint, kIdsItemTimeoutMs, context, uint64_t(uintptr_t(callback)),
        uint64_t(uintptr_t(callbackContext)), 1, nullptr, workItemsEnumEnqueueGetPrintPredicate);
    // The caller keeps its context and image. The sensor's buffer area is left alone: a refused
    // request (46) has none of its own, and the area it would free is the one the running capture
    // of the same device has posted to the transport.
    if (r != TCS_RESULT_OK) {
        giveBackSensorSettings(context);
        context->outputImage = nullptr;
    }
    return r;
}

TcsResult idsSensorSendAbortFingerprint(IdsSensor* sensor, IdsCallback callback, void* context) {
    if (sensor == nullptr) return TCS_RESULT_BAD_PARAM;
    return enqueue(subsystemOf(sensor), kIdsItemAbortFingerprint, sensor, callback, context);
}

TcsResult idsSensorSendGetRawScanLines(IdsSensor* sensor, void* lineBuffer, uint32_t size, uint32_t lineCount,
                                       uint32_t flags, IdsCallback callback, void* context,
                                       PrintConfiguration* config, uint32_t getPrintFlags) {
    if (sensor == nullptr) return TCS_RESULT_BAD_PARAM;
    if (lineCount != 0 && lineBuffer == nullptr) return TCS_RESULT_BAD_PARAM;
    IdsSubsystem* subsystem = subsystemOf(sensor);
    if (subsystem == nullptr) return TCS_RESULT_BAD_PARAM;
    // The request lives on the sensor, so a request refused for a busy device must be refused before
    // it is stored: storing it first pointed the running request at the refused caller's buffer and
    // freed the print configuration it was capturing with.
    if (deviceBusy(subsystem, sensor)) return TCS_RESULT_SENSOR_BUSY;
    sensor->rawBuffer = static_cast<uint8_t*>(lineBuffer);
    sensor->rawSize = size;
    sensor->rawLines = uint16_t(lineCount);
    sensor->rawFlags = uint16_t(flags);
    sensor->getPrintFlags = getPrintFlags;
    if (config != nullptr) idsSensorSetPrintConfig(sensor, config);
    GetPrintContext* printContext = nullptr;
    TcsResult r = idsAllocateSensorContext(&printContext);
    if (r != TCS_RESULT_OK) return r;
    printContext->sensor = sensor;
    takeSensorSettings(printContext);
    r = palWorkItemEnumEnqueueConditional(&subsystem->workList, kIdsItemGetRawScanLines, kIdsItemTimeoutMs,
                                          printContext, uint64_t(uintptr_t(callback)), uint64_t(uintptr_t(context)), 1,
                                          nullptr, workItemsEnumEnqueueGetPrintPredicate);
    if (r != TCS_RESULT_OK) {
        giveBackSensorSettings(printContext);
        idsFreeSensorContext(printContext);
    }
    return r;
}

// --- Settings -----------------------------------------------------------------------------------------

TcsResult idsSensorSetFpBufferChunkSize(IdsSensor* sensor, int32_t size) {
    if (sensor == nullptr) return TCS_RESULT_BAD_PARAM;
    if (size >= int32_t(kMinChunkSize) && size <= int32_t(kMaxChunkSize)) sensor->chunkSize = uint32_t(size);
    return TCS_RESULT_OK;
}

TcsResult idsSensorSetFpBufferCount(IdsSensor* sensor, int32_t count) {
    if (sensor == nullptr) return TCS_RESULT_BAD_PARAM;
    if (count >= 1 && count <= int32_t(kMaxBufferCount)) sensor->bufferCount = uint32_t(count);
    return TCS_RESULT_OK;
}

TcsResult idsSensorSetCaptureMode(IdsSensor* sensor, uint32_t mode) {
    if (sensor == nullptr || mode > 4) return TCS_RESULT_BAD_PARAM;
    sensor->captureMode = mode;
    return TCS_RESULT_OK;
}

TcsResult idsSensorSetCapturePurpose(IdsSensor* sensor, uint32_t purpose) {
    if (sensor == nullptr || purpose > 1) return TCS_RESULT_BAD_PARAM;
    sensor->capturePurpose = purpose;
    return TCS_RESULT_OK;
}

TcsResult idsSensorSetCaptureMetrics(IdsSensor* sensor, uint32_t on) {
    if (sensor == nullptr || on > 1) return TCS_RESULT_BAD_PARAM;
    sensor->captureMetrics = on;
    return TCS_RESULT_OK;
}

TcsResult idsSensorSetDefaultCaptureMode(IdsSensor* sensor) {
    if (sensor == nullptr) return TCS_RESULT_BAD_PARAM;
    uint32_t family = 0;
    if (scsSensorGetProductFamily(sensor->scsSensor, &family) != TCS_RESULT_OK || (family != 1 && family != 2)) {
        return TCS_RESULT_BAD_PARAM;
    }
    uint32_t mode = 4;
    palGetPersistentDataLongValue(kTfs530Section, "captureMode", 4, &mode);
    sensor->captureMode = mode;
    return TCS_RESULT_OK;
}

TcsResult idsSensorSetPrintConfig(IdsSensor* sensor, PrintConfiguration* config) {
    if (sensor == nullptr) return TCS_RESULT_BAD_PARAM;
    if (sensor->printConfig != nullptr && sensor->printConfig != reinterpret_cast<PrintConfiguration*>(~uintptr_t(0))) {
        scsSensorFreePrintConfiguration(sensor->scsSensor, &sensor->printConfig);
    }
    sensor->printConfig = nullptr;
    if (config == nullptr || config == reinterpret_cast<PrintConfiguration*>(~uintptr_t(0))) {
        sensor->printConfig = config;
        return TCS_RESULT_OK;
    }
    return scsSensorClonePrintConfiguration(sensor->scsSensor, config, &sensor->printConfig);
}

TcsResult idsSensorGetReconstructedImageMaxSize(IdsSensor* sensor, uint32_t* outSize) {
    if (sensor == nullptr || outSize == nullptr || sensor->reconstructor == nullptr) return TCS_RESULT_BAD_PARAM;
    *outSize = sensor->reconstructor->maxImageSize;
    return TCS_RESULT_OK;
}

// --- Capture contexts ---------------------------------------------------------------------------------

TcsResult idsAllocateSensorContext(GetPrintContext** outContext) {
    if (outContext == nullptr) return TCS_RESULT_NULL_HANDLE_POINTER;
    auto* context = static_cast<GetPrintContext*>(palRealMalloc(sizeof(GetPrintContext)));
    if (context == nullptr) return TCS_RESULT_OUT_OF_MEMORY;
    std::memset(context, 0, sizeof *context);
    palListInit(&context->freeList);
    palListInit(&context->filledList);
    context->dataTimeLimit = 0xFFFFFFFFu;
    if (palCriticalSectionInitialize(&context->bufferLock) != TCS_RESULT_OK || context->bufferLock == nullptr) {
        palRealFree(context);
        return TCS_RESULT_OUT_OF_MEMORY;
    }
    *outContext = context;
    return TCS_RESULT_OK;
}

TcsResult idsSetSensorHandleToCtx(GetPrintContext* context, IdsSensor* sensor) {
    if (sensor == nullptr) return TCS_RESULT_NULL_SENSOR_HANDLE;
    if (context == nullptr) return TCS_RESULT_NULL_HANDLE_POINTER;
    context->sensor = sensor;
    return TCS_RESULT_OK;
}

TcsResult idsSetParamsToCtx(GetPrintContext* context, const uint32_t* parameters) {
    if (parameters == nullptr) return TCS_RESULT_NULL_POINTER;
    if (context == nullptr) return TCS_RESULT_NULL_HANDLE_POINTER;
    std::memcpy(context->params, parameters, sizeof context->params);
    if (context->sensor != nullptr) context->sensor->paramWord5 = parameters[5];
    return TCS_RESULT_OK;
}

TcsResult idsSetFilePathToCtx(GetPrintContext* context, const char* path) {
    if (context == nullptr) return TCS_RESULT_NULL_HANDLE_POINTER;
    palRealFree(context->path);
    context->path = nullptr;
    if (path == nullptr || path[0] == '\0') return TCS_RESULT_OK;
    context->path = static_cast<char*>(palRealMalloc(uint32_t(std::strlen(path) + 1)));
    if (context->path == nullptr) return TCS_RESULT_OUT_OF_MEMORY;
    std::strcpy(context->path, path);
    return TCS_RESULT_OK;
}

TcsResult idsSetCalibrationTypeToCtx(GetPrintContext* context, int32_t type) {
    if (context == nullptr) return TCS_RESULT_NULL_HANDLE_POINTER;
    context->calibrationType = uint32_t(type);
    return TCS_RESULT_OK;
}

}  // extern "C"
