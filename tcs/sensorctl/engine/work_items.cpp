// Sensor-control work items: the table of the 84 item ids with their handlers and wire builders, and
// the handlers of sensor commands, clients, sensor handles, plug and play, suspend, LED, finger state
// and device housekeeping.
#include "tcs/sensorctl/init/device_init.h"
#include "tcs/sensorctl/init/housekeeping.h"
#include "tcs/sensorctl/init/led.h"
#include "tcs/sensorctl/engine/scs_internal.h"
#include "tcs/sensorctl/secure/security.h"
#include "tcs/sensorctl/protocol/sync_commands.h"
#include "tcs/sensorctl/protocol/wire_builders.h"

#include <string.h>

// --- The table -----------------------------------------------------------------------------------------

#define SCS_CMD_ROW(name, builder) {scsWITSensorSendCommand, builder, #name}
#define SCS_LIFE_ROW(name, handler) {handler, nullptr, #name}

extern "C" const ScsWitRow gScsWitList[SCS_WIT_COUNT] = {
    SCS_CMD_ROW(scsWITSensor_CMD_NOOP, nullptr),
    SCS_CMD_ROW(scsWITSensor_CMD_GET_VERSION, scsSensorSendGetVersion_V4),
    SCS_CMD_ROW(scsWITSensor_CMD_RESET, scsSensorSendReset_V4),
    SCS_CMD_ROW(scsWITSensor_CMD_GET_STARTINFO, scsSensorSendGetStartInfo_V4),
    SCS_CMD_ROW(scsWITSensor_CMD_PEEK, scsSensorSendPeek_V4),
    SCS_CMD_ROW(scsWITSensor_CMD_POKE, scsSensorSendPoke_V4),
    SCS_CMD_ROW(scsWITSensor_CMD_GPIO, scsSensorSendGPIO_V4),
    SCS_CMD_ROW(scsWITSensor_CMD_SET_REFCLK, scsSensorSendRefClock_V4),
    SCS_CMD_ROW(scsWITSensor_CMD_SET_CPUCLK, scsSensorSendSetCPUClock_V4),
    SCS_CMD_ROW(scsWITSensor_CMD_SET_SPIMODE, scsSensorSendSetSPIMode_V4),
    SCS_CMD_ROW(scsWITSensor_CMD_PATCH, scsSensorSendDownloadPatch_V4),
    SCS_CMD_ROW(scsWITSensor_CMD_INPLACE_PATCH, scsSensorSendInplacePatch_V4),
    SCS_CMD_ROW(scsWITSensor_CMD_UNLOAD_PATCH, scsSensorSendUnloadPatch_V4),
    SCS_CMD_ROW(scsWITSensor_CMD_WOE_SETUP, scsSensorSendWOESetup_V4),
    SCS_CMD_ROW(scsWITSensor_CMD_WOE_ENTER, scsSensorSendWOEEnter_V4),
    SCS_CMD_ROW(scsWITSensor_CMD_GET_PRINT, scsSensorSendGetFingerprint_V4),
    SCS_CMD_ROW(scsWITSensor_CMD_STOP_PRINT, scsSensorSendAbortFingerprint_V4),
    SCS_CMD_ROW(scsWITSensor_CMD_GET_PRINT_SIGNATURE, scsSensorSendGetPrintSignature_V4),
    SCS_CMD_ROW(scsWITSensor_CMD_GET_FINGER_STATUS, scsSensorSendGetFingerState_V4),
    SCS_CMD_ROW(scsWITSensor_CMD_GET_CONFIGURATION, scsSensorSendGetConfiguration_V4),
    SCS_CMD_ROW(scsWITSensor_CMD_GET_CFGTSBL, scsSensorSendGetCFGTSBL_V4),
    SCS_CMD_ROW(scsWITSensor_CMD_SPI_TRANSFER, scsSensorSendSPITrans_V4),
    SCS_CMD_ROW(scsWITSensor_CMD_SPISLV_FAST_READ, scsSensorSendSPIBulkRead_V4),
    SCS_CMD_ROW(scsWITSensor_CMD_SPI_FLASH, scsSensorSendSPIFlash_V4),
    SCS_CMD_ROW(scsWITSensor_CMD_LED, scsSensorSendSetLEDState_V4),
    SCS_CMD_ROW(scsWITSensor_CMD_LED_EX, scsSensorSendSetLEDStateEx_V4),
    SCS_CMD_ROW(scsWITSensor_CMD_LED_EX_2, scsSensorSendSetLEDStateEx2_V4),
    SCS_CMD_ROW(scsWITSensor_CMD_DECOMMISSION, scsSensorSendDecommission_V4),
    SCS_CMD_ROW(scsWITSensor_CMD_TAKE_OWNERSHIP, scsSensorSendTakeOwnership_V4),
    SCS_CMD_ROW(scsWITSensor_CMD_TAKE_OWNERSHIP_EX, scsSensorSendTakeOwnershipWithKeys_V4),
    SCS_CMD_ROW(scsWITSensor_CMD_TAKE_OWNERSHIP_EX2, scsSensorSendTakeOwnershipWithKeysEx_V4),
    SCS_CMD_ROW(scsWITSensor_CMD_RESET_OWNERSHIP, scsSensorSendResetOwnership_V4),
    SCS_CMD_ROW(scsWITSensor_CMD_REWRITE_PM_SECTOR, scsSensorSendRewritePm_V4),
    SCS_CMD_ROW(scsWITSensor_CMD_GET_OWNERSHIP_INFO, scsSensorSendGetOwnershipInfo_V4),
    SCS_CMD_ROW(scsWITSensor_CMD_GET_CERTIFICATE, scsSensorSendGetCertificate_V4),
    SCS_CMD_ROW(scsWITSensor_CMD_GET_CERTIFICATE_EX, scsSensorSendGetCertificateEx_V4),
    SCS_CMD_ROW(scsWITSensor_CMD_LOCK, scsSensorSendSensorLock_V4),
    SCS_CMD_ROW(scsWITSensor_CMD_GET_UID, scsSensorSendGetUID_V4),
    SCS_CMD_ROW(scsWITSensor_CMD_MATCH_VERIFY, scsSensorSendMatchVerify_V4),
    SCS_CMD_ROW(scsWITSensor_CMD_SIGN_ENC_TEMPLATE_DATA, scsSensorSendSignEncTemplateData_V4),
    SCS_CMD_ROW(scsWITSensor_CMD_DEC_VERIFY_TEMPLATE_DATA, scsSensorSendDecVerifyTemplateData_V4),
    SCS_CMD_ROW(scsWITSensor_CMD_GET_AUTH_DATA, scsSensorSendGetAuthData_V4),
    SCS_CMD_ROW(scsWITSensor_CMD_STORAGE_INFO_GET, scsSensorSendStorageInfoGet_V4),
    SCS_CMD_ROW(scsWITSensor_CMD_STORAGE_PART_FORMAT, scsSensorSendStoragePartFormat_V4),
    SCS_CMD_ROW(scsWITSensor_CMD_STORAGE_PART_READ, scsSensorSendStoragePartRead_V4),
    SCS_CMD_ROW(scsWITSensor_CMD_STORAGE_PART_WRITE, scsSensorSendStoragePartWrite_V4),
    SCS_CMD_ROW(scsWITSensor_CMD_STORAGE_FWPART_VALIDATE, scsSensorSendStorageFWPartValidate_V4),
    SCS_CMD_ROW(scsWITSensor_CMD_STORAGE_FWPART_INFO_GET, scsSensorSendStorageFWPartInfoGet_V4),
    SCS_CMD_ROW(scsWITSensor_CMD_DB_INFO_GET, scsSensorSendDbInfoGet_V4),
    SCS_CMD_ROW(scsWITSensor_CMD_DB_OBJECT_CREATE, scsSensorSendDbObjectCreate_V4),
    SCS_CMD_ROW(scsWITSensor_CMD_DB_OBJECT_DELETE, scsSensorSendDbObjectDelete_V4),
    SCS_CMD_ROW(scsWITSensor_CMD_DB_OBJECT_INFO_GET, scsSensorSendDbObjectInfoGet_V4),
    SCS_CMD_ROW(scsWITSensor_CMD_DB_OBJECT_DATA_GET, scsSensorSendDbObjectDataGet_V4),
    SCS_CMD_ROW(scsWITSensor_CMD_DB_OBJECT_RESTORE, scsSensorSendDbObjectRestore_V4),
    SCS_CMD_ROW(scsWITSensor_CMD_DB_USER_INFO_GET, scsSensorSendDbUserInfoGet_V4),
    SCS_CMD_ROW(scsWITSensor_CMD_DB_SYSTEM_PARAM_GET, scsSensorSendDbSystemParamGet_V4),
    SCS_CMD_ROW(scsWITSensor_CMD_DB_SYSTEM_PARAM_SET, scsSensorSendDbSystemParamSet_V4),
    SCS_CMD_ROW(scsWITSensor_CMD_DB_USER_CONTAINER_INFO_GET, scsSensorSendDbContainerInfoGet_V4),
    SCS_LIFE_ROW(scsWitIdClientCreate, scsWITClientCreate),
    SCS_LIFE_ROW(scsWitIdClientDestroy, scsWITClientDestroy),
    SCS_LIFE_ROW(scsWitIdSensorOpen, scsWITSensorOpen),
    SCS_LIFE_ROW(scsWitIdSensorOpenEx, scsWITSensorOpenEx),
    SCS_LIFE_ROW(scsWitIdSensorClose, scsWITSensorClose),
    SCS_LIFE_ROW(scsWitIdSensorCalibrate, scsWITSensorCalibrate),
    SCS_LIFE_ROW(scsWitIdSensorGetSecurityInfo, scsWITSensorGetSecurityInfo),
    SCS_LIFE_ROW(scsWitIdPnpShutdown, scsWITPnpShutdown),
    SCS_LIFE_ROW(scsWitIdPnpAttached, scsWITPnpSensorAttached),
    SCS_LIFE_ROW(scsWitIdPnpDetached, scsWITPnpSensorDetached),
    SCS_LIFE_ROW(scsWitIdPnpDisabled, scsWITPnpSensorDetached),
    SCS_LIFE_ROW(scsWitIdPnpMalfunction, scsWITPnpSensorDetached),
    SCS_LIFE_ROW(scsWitIdSystemPrepareForSuspend, scsWITPrepareForSuspend),
    SCS_LIFE_ROW(scsWitIdLedInitialize, scsWITLedInitialize),
    SCS_LIFE_ROW(scsWitIdLedActivate, scsWITLedProcess),
    SCS_LIFE_ROW(scsWitIdLedTerminate, scsWITLedTerminate),
    SCS_LIFE_ROW(scsWitIdLedEnrollAccepted, scsWITLedProcess),
    SCS_LIFE_ROW(scsWitIdLedEnrollRejected, scsWITLedProcess),
    SCS_LIFE_ROW(scsWitIdLedIdentifyAccepted, scsWITLedProcess),
    SCS_LIFE_ROW(scsWitIdLedIdentifyRejected, scsWITLedProcess),
    SCS_LIFE_ROW(scsWitIdLedProcessIdle, scsWITLedProcess),
    SCS_LIFE_ROW(scsWitIdLedIndicatorOverride, scsWITLedProcess),
    SCS_LIFE_ROW(scsWitIdGetFingerState, scsWITGetFingerStatus),
    SCS_LIFE_ROW(scsWitIdWoeSetup, scsWITWoeSetup),
    SCS_LIFE_ROW(scsWitIdGetBaselineData, scsWITGetBaselineData),
    SCS_LIFE_ROW(scsWitIdDetermineFlexId, scsWITDetermineFlexId),
};

namespace {

constexpr uint32_t kCommandWaitMs = 15000;
constexpr uint32_t kBadRetryMs = 5000;
constexpr uint32_t kSuspendCallerRemainingMs = 113;
constexpr uint32_t kFingerPresent = 3;

struct SendCommandRecord {
    ScsSensor* sensor;
    ScsWitRequest request;
};

// The wait context of a command item; its first word is the status, never the raw-reply mark.
struct CommandWait {
    TcsResult status;
    PalEvent* event;
    uint32_t ownsEvent;
    WorkItem* item;
    uint32_t delivered;
};

void finish(WorkItem* item, TcsResult status) {
    *scsWitStatus(item) = status;
    *scsWitState(item) = SCS_WIT_STATE_DONE;
}

TcsResult callBack(WorkItem* item, void* object, TcsResult status) {
    ScsCallback callback = scsWitCallback(item);
    return callback != nullptr ? callback(object, status, scsWitContext(item)) : TCS_RESULT_OK;
}

void freePnpRecord(WorkItem* item) {
    auto* record = static_cast<ScsPnpRecord*>(item->object);
    if (record != nullptr) {
        palRealFree(record->name);
        palRealFree(record);
    }
    item->object = nullptr;
}

bool sameName(const ScsSensorDevice* device, const char* name) {
    return device->name != nullptr && name != nullptr && palStricmp(device->name, name) == 0;
}

ScsSensorDevice* findOn(PalListEntry* list, const char* name) {
    for (PalListEntry* node = list->next; node != list; node = node->next) {
        ScsSensorDevice* device = PAL_LIST_RECORD(node, ScsSensorDevice, links);
        if (sameName(device, name)) return device;
    }
    return nullptr;
}

ScsSensorDevice* takeFrom(PalListEntry* list, const char* name) {
    ScsSensorDevice* device = findOn(list, name);
    if (device != nullptr) {
        palListRemove(&device->links);
        palListInit(&device->links);
    }
    return device;
}

void raiseRemoved(ScsSubsystem* subsystem, const char* name) {
    EventRecord event{1, 0, palStrlen(name) + 1, const_cast<char*>(name)};
    scsSystemEventPerformCallback(subsystem, &event);
}

void releaseFromAvailableList(ScsSubsystem* subsystem, const char* name) {
    uint64_t reference = 0;
    if (palPnpGetSensorDeviceFromAvailableDeviceList(subsystem->pnp, name, &reference) == TCS_RESULT_OK &&
        reference != 0) {
        scsSensorDeviceRelease(reinterpret_cast<ScsSensorDevice*>(static_cast<uintptr_t>(reference)));
    }
    palPnpRemoveFromAvailableDeviceList(subsystem->pnp, name);
}

// Unbinds every client's handles from the device and tells the subsystem's sensor-lost listeners.
void unbindHandles(ScsSubsystem* subsystem, ScsSensorDevice* device) {
    scsForEachSensorHandle(subsystem, [&](ScsSensor* sensor) {
        if (sensor->device != device) return;
        scsLock(subsystem->referenceLock);
        // Atomic: callers validate their handles on their own threads without this lock.
        __atomic_store_n(&sensor->device, nullptr, __ATOMIC_RELEASE);
        scsUnlock(subsystem->referenceLock);
        for (PalListEntry* l = subsystem->sensorLostCallbacks.next; l != &subsystem->sensorLostCallbacks; l = l->next) {
            ScsListener* listener = PAL_LIST_RECORD(l, ScsListener, links);
            reinterpret_cast<ScsSensorLostCallback>(listener->callback)(listener->context, sensor, 1);
        }
    });
}

void closeHandle(ScsSensor* sensor) {
    scsSensorUnlinkFromClient(sensor);
    scsSensorFreeLEDConfig(sensor);
    scsSensorFree(sensor);
}

TcsResult openHandler(WorkItem* item, bool ex) {
    auto* sensor = static_cast<ScsSensor*>(item->object);
    if (sensor == nullptr || sensor->client == nullptr) {
        finish(item, TCS_RESULT_INVALID);
        return TCS_RESULT_INVALID;
    }
    ScsSensorDevice* device = nullptr;
    const TcsResult found = scsSensorDeviceFind(sensor->sensorId, sensor->client->subsystem, &device);
    TcsResult result = found;
    bool bound = false;
    const bool bindable = found == TCS_RESULT_OK || (!ex && (found == TCS_RESULT_SENSOR_INITIALIZING ||
                                                             found == TCS_RESULT_FOUND_ONLY_FAILED_DEVICE));
    if (bindable && device != nullptr) {
        sensor->device = device;
        sensor->transportKind = device->transportKind;
        sensor->calibrate = device->productFamily == SCS_FAMILY_1 || device->productFamily == SCS_FAMILY_2
                                ? scsSensorHarlokCalibrate
                                : nullptr;
        scsLock(sensor->client->sensorsLock);
        palListInsertTail(&sensor->client->sensors, &sensor->links);
        sensor->linked = 1;
        scsUnlock(sensor->client->sensorsLock);
        bound = true;
        result = TCS_RESULT_OK;
    }
    const bool absent = device == nullptr;
    bool ledFailed = false;
    if (!absent) {
        const TcsResult led = scsSensorLoadLEDConfig(sensor);
        if (led != TCS_RESULT_OK) {
            result = led;
            ledFailed = true;
        }
    }
    if (absent || ledFailed) {
        if (bound) scsSensorUnlinkFromClient(sensor);
        scsSensorFree(sensor);
        item->object = nullptr;
        if (absent) result = TCS_RESULT_SENSOR_NOT_FOUND;
        callBack(item, nullptr, result);
    } else {
        callBack(item, sensor, result);
    }
    finish(item, result);
    return result;
}

}  // namespace

// --- Sensor commands -----------------------------------------------------------------------------------

// Command items carry the request's reply callback as their completion.
static void replyBack(WorkItem* item, ScsReplyView* reply, TcsResult result) {
    auto callback = reinterpret_cast<ScsReply>(static_cast<uintptr_t>(item->parameter1));
    if (callback != nullptr) callback(reply, result, scsWitContext(item));
}

TcsResult scsSensorWitCB(ScsReplyView* reply, TcsResult result, void* context) {
    auto* wait = static_cast<CommandWait*>(context);
    if (wait == nullptr || wait->item == nullptr) return TCS_RESULT_NULL_POINTER;
    wait->delivered = 1;
    replyBack(wait->item, reply, result);
    wait->status = result;
    palEventSet(wait->event);
    return TCS_RESULT_OK;
}

TcsResult scsWITSensorSendCommand(WorkItem* item) {
    auto* record = static_cast<SendCommandRecord*>(item->object);
    if (record == nullptr) {
        finish(item, TCS_RESULT_INVALID);
        return TCS_RESULT_INVALID;
    }
    if (item->cancelled) {
        // Its caller gave up waiting before the item started: answer without sending.
        replyBack(item, nullptr, TCS_RESULT_CANCEL);
        palRealFree(record);
        item->object = nullptr;
        finish(item, TCS_RESULT_CANCEL);
        return TCS_RESULT_CANCEL;
    }
    CommandWait wait{TCS_RESULT_OK, palEventAlloc(1, 0, nullptr), 1, item, 0};
    TcsResult result = TCS_RESULT_EVENT_CREATION_FAILED;
    if (wait.event != nullptr) {
        ScsWitRequest request = record->request;
        uint32_t transactionId = 0;
        request.replyCallback = scsSensorWitCB;
        request.context = &wait;
        request.transactionId = &transactionId;
        result = scsSensorSendCommand(record->sensor, &request);
        if (result == TCS_RESULT_OK) {
            // The caller's own time-out rides in the request's reserved word: a fixed 15000 ms here
            // cut ownership's 120000 ms short while the caller still waited.
            const uint32_t waitMs = record->request.reserved != 0 ? record->request.reserved : kCommandWaitMs;
            result = scsSensorWaitForCommandReply(record->sensor, wait.event, waitMs, transactionId);
            if (result == TCS_RESULT_OK) result = wait.status;
        }
        palEventFree(wait.event);
    }
    // A command whose reply never came still completes, with the failure.
    if (!wait.delivered) replyBack(item, nullptr, result);
    palRealFree(record);
    item->object = nullptr;
    finish(item, result);
    return result;
}

// --- Clients ----------------------------------------------------------------------------------------------

TcsResult scsWITClientCreate(WorkItem* item) {
    auto* client = static_cast<ScsClient*>(item->object);
    if (client == nullptr) {
        finish(item, TCS_RESULT_INVALID);
        return TCS_RESULT_INVALID;
    }
    ScsSubsystem* subsystem = client->subsystem;
    const TcsResult status = scsLock(subsystem->clientListLock);
    if (status == TCS_RESULT_OK) {
        palListInsertTail(&subsystem->clients, &client->links);
        scsUnlock(subsystem->clientListLock);
    }
    callBack(item, client, status);
    finish(item, status);
    return status;
}

TcsResult scsWITClientDestroy(WorkItem* item) {
    auto* client = static_cast<ScsClient*>(item->object);
    if (client == nullptr) {
        finish(item, TCS_RESULT_INVALID);
        return TCS_RESULT_INVALID;
    }
    if (*scsWitSubState(item) == 0) {
        scsLock(client->sensorsLock);
        while (!palListIsEmpty(&client->sensors)) {
            closeHandle(PAL_LIST_RECORD(client->sensors.next, ScsSensor, links));
        }
        scsUnlock(client->sensorsLock);
        *scsWitSubState(item) = 1;
        return TCS_RESULT_OK;
    }
    callBack(item, nullptr, TCS_RESULT_OK);
    scsClientFree(client);
    item->object = nullptr;
    item->parameter1 = 0;
    finish(item, TCS_RESULT_OK);
    return TCS_RESULT_OK;
}

// --- Sensor handles -----------------------------------------------------------------------------------------

TcsResult scsWITSensorOpen(WorkItem* item) { return openHandler(item, false); }
TcsResult scsWITSensorOpenEx(WorkItem* item) { return openHandler(item, true); }

TcsResult scsWITSensorClose(WorkItem* item) {
    auto* sensor = static_cast<ScsSensor*>(item->object);
    if (sensor == nullptr) {
        finish(item, TCS_RESULT_INVALID);
        return TCS_RESULT_INVALID;
    }
    scsSensorUnlinkFromClient(sensor);
    scsSensorFreeLEDConfig(sensor);
    const TcsResult result = scsSensorFree(sensor);
    item->object = nullptr;
    callBack(item, nullptr, result);
    finish(item, result);
    return result;
}

TcsResult scsWITSensorCalibrate(WorkItem* item) {
    auto* sensor = static_cast<ScsSensor*>(item->object);
    if (sensor != nullptr && sensor->calibrate != nullptr) return sensor->calibrate(sensor, TCS_RESULT_SERVICE, item);
    callBack(item, sensor, TCS_RESULT_NULL_POINTER);
    finish(item, TCS_RESULT_NULL_POINTER);
    return TCS_RESULT_NULL_POINTER;
}

TcsResult scsWITSensorGetSecurityInfo(WorkItem* item) {
    auto* sensor = static_cast<ScsSensor*>(item->object);
    const TcsResult status = scsSensorGetSecurityInfo(sensor, static_cast<uint32_t*>(scsWitContext(item)));
    callBack(item, sensor, status);
    finish(item, status);
    return status;
}

// --- Plug and play --------------------------------------------------------------------------------------------

TcsResult scsWITPnpShutdown(WorkItem* item) {
    auto* subsystem = static_cast<ScsSubsystem*>(item->object);
    const TcsResult result = subsystem != nullptr
                                 ? palPnpRemoveCallback(subsystem->pnp, scsPnpNotificationsHandler, subsystem)
                                 : TCS_RESULT_INVALID;
    finish(item, result);
    return result;
}

TcsResult scsWITPnpSensorAttached(WorkItem* item) {
    auto* record = static_cast<ScsPnpRecord*>(item->object);
    if (record == nullptr || record->subsystem == nullptr || record->name == nullptr) {
        freePnpRecord(item);
        finish(item, TCS_RESULT_INVALID);
        return TCS_RESULT_INVALID;
    }
    ScsSubsystem* subsystem = record->subsystem;
    const char* name = record->name;
    TcsResult result = TCS_RESULT_OK;
    if (scsIsSuspended(subsystem)) {
        freePnpRecord(item);
        finish(item, result);
        return result;
    }
    scsLock(subsystem->deviceListLock);
    ScsSensorDevice* duplicate = findOn(&subsystem->initialisingDevices, name);
    if (duplicate == nullptr) duplicate = findOn(&subsystem->activeDevices, name);
    if (duplicate != nullptr && duplicate->platformHandle != nullptr) {
        result = TCS_RESULT_INVALID;
    } else {
        ScsSensorDevice* device = takeFrom(&subsystem->detachedDevices, name);
        if (device == nullptr) device = takeFrom(&subsystem->badDevices, name);
        bool reopen = device != nullptr;
        if (device == nullptr && record->detectionType == PAL_PNP_DETECTION_REPLAYED) {
            uint64_t reference = 0;
            if (palPnpGetSensorDeviceFromAvailableDeviceList(subsystem->pnp, name, &reference) == TCS_RESULT_OK &&
                reference != 0) {
                device = reinterpret_cast<ScsSensorDevice*>(static_cast<uintptr_t>(reference));
                device->announced = 1;
                reopen = true;
            }
        }
        // A device kept since it left the bus comes back from a restart: the sensor forgot its
        // secure session, so the host drops its side too rather than send the first commands of
        // the initialisation under keys the sensor no longer has. (A resume recovers the session.)
        if (device != nullptr && record->detectionType != PAL_PNP_DETECTION_REPLAYED) scsSSLCloseSession(device, 0);
        if (device == nullptr) result = scsSensorDeviceAlloc(subsystem, &device, name, record->detectionType);
        if (result == TCS_RESULT_OK && reopen) {
            const TcsResult opened = scsSensorDeviceStartup(device, name);
            if (opened != TCS_RESULT_OK) {
                if (record->detectionType != PAL_PNP_DETECTION_REPLAYED) {
                    device->lastAttemptTime = palGetTickCount();
                    device->retryCount = 0;
                    palListInsertHead(&subsystem->badDevices, &device->links);
                    result = opened;
                } else {
                    if (!scsIsSuspended(subsystem)) raiseRemoved(subsystem, name);
                    palPnpRemoveFromAvailableDeviceList(subsystem->pnp, name);
                    scsSensorDeviceRelease(device);
                }
                device = nullptr;
            }
        }
        if (result == TCS_RESULT_OK && device != nullptr) {
            if (record->detectionType == PAL_PNP_DETECTION_REPLAYED) {
                device->suspendMode = 2;
                if (device->initialisedOnce && device->resetRecovery) device->afterRecovery = 1;
            }
            palPnpRemoveFromAvailableDeviceList(subsystem->pnp, name);
            palListInsertTail(&subsystem->initialisingDevices, &device->links);
        }
    }
    scsUnlock(subsystem->deviceListLock);
    freePnpRecord(item);
    finish(item, result);
    return result;
}

TcsResult scsWITPnpSensorDetached(WorkItem* item) {
    auto* record = static_cast<ScsPnpRecord*>(item->object);
    const bool marker = *scsWitResultWord(item) == SCS_SUSPEND_MARKER;
    if (item->type < scsWitIdPnpDetached || item->type > scsWitIdPnpMalfunction || record == nullptr ||
        record->subsystem == nullptr || record->name == nullptr || (scsIsSuspended(record->subsystem) && !marker)) {
        freePnpRecord(item);
        finish(item, TCS_RESULT_OK);
        return TCS_RESULT_OK;
    }
    ScsSubsystem* subsystem = record->subsystem;
    const char* name = record->name;
    if (record->detectionType == PAL_PNP_DETECTION_REPLAYED) {
        raiseRemoved(subsystem, name);
        releaseFromAvailableList(subsystem, name);
        freePnpRecord(item);
        finish(item, TCS_RESULT_OK);
        return TCS_RESULT_OK;
    }

    scsLock(subsystem->deviceListLock);
    bool badRemoval = false;
    ScsSensorDevice* device = takeFrom(&subsystem->activeDevices, name);
    // Only one entry per name should ever be listed; drop any stale twin with it.
    for (ScsSensorDevice* twin; device != nullptr && (twin = takeFrom(&subsystem->activeDevices, name)) != nullptr;) {
        scsSensorDeviceRelease(twin);
    }
    if (device == nullptr && item->type == scsWitIdPnpDetached) {
        device = takeFrom(&subsystem->badDevices, name);
        if (device != nullptr && (!device->esdRecovery || marker)) {
            // Taken off the bad list without recovery: nothing will bring it back, so let it go
            // rather than leave it unreachable.
            scsSensorDeviceRelease(device);
            scsUnlock(subsystem->deviceListLock);
            freePnpRecord(item);
            finish(item, TCS_RESULT_OK);
            return TCS_RESULT_OK;
        }
        badRemoval = device != nullptr;
    }
    if (device == nullptr) {
        device = takeFrom(&subsystem->initialisingDevices, name);
        if (device != nullptr) {
            scsSensorCancelAllRequests(device, TCS_RESULT_SENSOR_NOT_FOUND);
            scsCancelDeviceInitialization(device, 1);
        }
    }
    if (device == nullptr) {
        scsUnlock(subsystem->deviceListLock);
        freePnpRecord(item);
        finish(item, TCS_RESULT_OK);
        return TCS_RESULT_OK;
    }
    const uint32_t now = palGetTickCount();
    if (badRemoval) {
        if (device->calibrated && device->resetRecovery) {
            device->lastAttemptTime = now;
            palListInsertHead(&subsystem->detachedDevices, &device->links);
        } else {
            scsSensorDeviceRelease(device);
        }
    } else {
        scsSensorCancelAllRequests(device, TCS_RESULT_SENSOR_NOT_FOUND);
        if (!marker && device->announced) {
            raiseRemoved(subsystem, name);
            device->announced = 0;
        }
        unbindHandles(subsystem, device);
        if (item->type == scsWitIdPnpMalfunction) {
            scsSensorDeviceShutdown(device, 0);
            device->lastAttemptTime = record->resetKind != 0 ? now + kBadRetryMs : now;
            device->retryCount = 0;
            palListInsertHead(&subsystem->badDevices, &device->links);
        } else if (item->type == scsWitIdPnpDetached && device->resetRecovery) {
            scsSensorDeviceShutdown(device, marker ? 1 : 0);
            if (!marker) {
                device->lastAttemptTime = now;
                palListInsertHead(&subsystem->detachedDevices, &device->links);
            } else {
                // Kept across the suspend: resume hands it back as already present.
                palPnpAddToAvailableDeviceList(subsystem->pnp, name, reinterpret_cast<uintptr_t>(device));
            }
        } else {
            scsSensorDeviceRelease(device);
        }
    }
    scsUnlock(subsystem->deviceListLock);
    freePnpRecord(item);
    finish(item, TCS_RESULT_OK);
    return TCS_RESULT_OK;
}

TcsResult scsWITPrepareForSuspend(WorkItem* item) {
    auto* subsystem = static_cast<ScsSubsystem*>(item->object);
    auto* callerItem = static_cast<WorkItem*>(scsWitContext(item));
    TcsResult result = subsystem != nullptr ? TCS_RESULT_OK : TCS_RESULT_INVALID;
    if (result == TCS_RESULT_OK && scsLock(subsystem->deviceListLock) != TCS_RESULT_OK) result = TCS_RESULT_INVALID;
    if (result == TCS_RESULT_OK) {
        WorkItem removal;
        memset(&removal, 0, sizeof removal);
        removal.type = scsWitIdPnpDetached;
        auto nextDevice = [&](PalListEntry* list, bool needsHandle) -> ScsSensorDevice* {
            for (PalListEntry* node = list->next; node != list; node = node->next) {
                ScsSensorDevice* device = PAL_LIST_RECORD(node, ScsSensorDevice, links);
                if (device->name != nullptr && (!needsHandle || device->platformHandle != nullptr)) return device;
            }
            return nullptr;
        };
        PalListEntry* lists[] = {&subsystem->activeDevices, &subsystem->badDevices, &subsystem->initialisingDevices};
        const bool needsHandle[] = {true, false, true};
        for (int i = 0; i < 3 && result == TCS_RESULT_OK; ++i) {
            for (ScsSensorDevice* device; (device = nextDevice(lists[i], needsHandle[i])) != nullptr;) {
                auto* record = static_cast<ScsPnpRecord*>(palRealMalloc(sizeof(ScsPnpRecord)));
                const uint32_t size = palStrlen(device->name) + 1;
                char* name = static_cast<char*>(palRealMalloc(size));
                if (record == nullptr || name == nullptr) {
                    palRealFree(record);
                    palRealFree(name);
                    result = TCS_RESULT_INVALID;
                    break;
                }
                memcpy(name, device->name, size);
                *record = {subsystem, name, 0, 0};
                removal.object = record;
                *scsWitState(&removal) = SCS_WIT_STATE_RUN;
                *scsWitResultWord(&removal) = SCS_SUSPEND_MARKER;
                scsUnlock(subsystem->deviceListLock);
                scsWITPnpSensorDetached(&removal);
                scsLock(subsystem->deviceListLock);
                // A device the removal did not take off its list would be visited for ever.
                if (nextDevice(lists[i], needsHandle[i]) == device) {
                    palListRemove(&device->links);
                    palListInit(&device->links);
                    scsSensorDeviceRelease(device);
                }
            }
        }
        scsUnlock(subsystem->deviceListLock);
    }
    if (callerItem != nullptr) callerItem->remainingMs = kSuspendCallerRemainingMs;
    callBack(item, nullptr, result);
    finish(item, result);
    return result;
}

// --- LED ----------------------------------------------------------------------------------------------------

TcsResult scsClientCreateLedCB(void* object, TcsResult status, void* context) {
    auto* subsystem = static_cast<ScsSubsystem*>(context);
    if (subsystem == nullptr || subsystem->ledState == nullptr) return TCS_RESULT_INVALID;
    auto* client = static_cast<ScsClient*>(object);
    // A stack stopped before start-up's items ran creates the LED client after the terminate item
    // and the client destroys of shut-down have gone by: destroy it here, or nothing ever frees it.
    if (status == TCS_RESULT_OK && client != nullptr && subsystem->stopping) {
        return scsClientSendDestroy(client, dummyscsClientDestroyCB, nullptr);
    }
    subsystem->ledState[0] = client;
    if (status != TCS_RESULT_OK || client == nullptr) return TCS_RESULT_INVALID;
    return scsClientEventsAddCallback(client, scsLEDEventHandlerCB, nullptr);
}

TcsResult scsLEDEventHandlerCB(ScsClient* client, void*, EventRecord* event) {
    if (client == nullptr || event == nullptr) return TCS_RESULT_INVALID;
    uint32_t type = 0;
    switch (event->id) {
        case 24: type = scsWitIdLedEnrollAccepted; break;
        case 25: type = scsWitIdLedEnrollRejected; break;
        case 26: type = scsWitIdLedIdentifyAccepted; break;
        case 27: type = scsWitIdLedIdentifyRejected; break;
        case 28: type = scsWitIdLedProcessIdle; break;
        case 29: type = scsWitIdLedActivate; break;
        case 30: type = scsWitIdLedIndicatorOverride; break;
        default: return TCS_RESULT_BAD_PARAM;
    }
    if (event->data == nullptr) return TCS_RESULT_INVALID;
    return palWorkItemEnqueue(&client->subsystem->workList, type, SCS_WIT_TIMEOUT_MS, event->data, 0, 0, 1, nullptr);
}

TcsResult scsWITLedInitialize(WorkItem* item) {
    auto* subsystem = static_cast<ScsSubsystem*>(item->object);
    const TcsResult result =
        subsystem != nullptr ? scsClientSendCreate(subsystem, scsClientCreateLedCB, subsystem) : TCS_RESULT_INVALID;
    finish(item, result);
    return result;
}

TcsResult scsWITLedProcess(WorkItem* item) {
    auto* device = static_cast<ScsSensorDevice*>(item->object);
    if (device == nullptr) {
        finish(item, TCS_RESULT_INVALID);
        return TCS_RESULT_INVALID;
    }
    const TcsResult result = scsSensorLEDControlFromWIT(device, TCS_RESULT_SERVICE, item);
    if (result != TCS_RESULT_OK) finish(item, result);
    return result;
}

TcsResult scsWITLedTerminate(WorkItem* item) {
    auto* subsystem = static_cast<ScsSubsystem*>(item->object);
    TcsResult result = TCS_RESULT_INVALID;
    if (subsystem != nullptr && subsystem->ledState != nullptr && subsystem->ledState[0] != nullptr) {
        result = scsClientEventsRemoveCallback(static_cast<ScsClient*>(subsystem->ledState[0]), scsLEDEventHandlerCB,
                                               nullptr);
    }
    finish(item, result);
    return result;
}

// --- Finger state and housekeeping ---------------------------------------------------------------------------

uint8_t scsSensorGetFingerStatusFromReply(const ScsSensorDevice* device, uint32_t mode, uint8_t state, uint8_t flags) {
    if (state == 2) return kFingerPresent;
    // Firmware 4 in the wake-on-event modes reports a finger in the flags byte only.
    if (device != nullptr && device->fwVersion != nullptr && device->fwVersion->major == 4 && (mode == 2 || mode == 3) &&
        (flags & 0x10) != 0) {
        return kFingerPresent;
    }
    return state;
}

TcsResult scsWITGetFingerStatus(WorkItem* item) {
    auto* poll = static_cast<ScsFingerStatePoll*>(item->object);
    if (poll == nullptr) {
        finish(item, TCS_RESULT_INVALID);
        return TCS_RESULT_INVALID;
    }
    uint64_t& subState = *scsWitSubState(item);
    uint64_t& fingerState = *scsWitResultWord(item);
    if (item->cancelled) {
        subState = 2;
        *scsWitStatus(item) = TCS_RESULT_CANCEL;
    }
    auto report = [&] {
        ScsCallback callback = scsWitCallback(item);
        if (callback != nullptr) {
            callback(reinterpret_cast<void*>(static_cast<uintptr_t>(fingerState)), *scsWitStatus(item),
                     scsWitContext(item));
        }
    };
    switch (subState) {
        case 0:
            fingerState = 0;
            subState = 1;
            *scsWitState(item) = SCS_WIT_STATE_RUN;
            return TCS_RESULT_OK;
        case 1: {
            if (!palWorkItemIsTimeout(item)) return TCS_RESULT_OK;
            uint8_t state = 0;
            uint8_t flags = 0;
            const TcsResult read = scsSensorGetFingerState(poll->sensor, &state, &flags);
            if (read != TCS_RESULT_OK) {
                *scsWitStatus(item) = read;
                subState = 2;
                *scsWitState(item) = SCS_WIT_STATE_RUN;
                return read;
            }
            ScsSensorDevice* device = poll->sensor != nullptr ? poll->sensor->device : nullptr;
            state = scsSensorGetFingerStatusFromReply(device, poll->mode, state, flags);
            fingerState = state;
            if (state == kFingerPresent) {
                subState = 2;
                *scsWitState(item) = SCS_WIT_STATE_AGAIN;
                if (device != nullptr) scsSensorSignalWorkToDo(device);
                return TCS_RESULT_OK;
            }
            if (poll->firstReportPending) {
                poll->firstReportPending = 0;
                report();
            }
            palWorkItemSetTimeout(item, poll->pollIntervalMs, 0);
            *scsWitState(item) = SCS_WIT_STATE_WAIT;
            return TCS_RESULT_OK;
        }
        default:
            if (item->cancelReason == 0) report();
            *scsWitState(item) = SCS_WIT_STATE_DONE;
            return *scsWitStatus(item);
    }
}

TcsResult scsWITWoeSetup(WorkItem* item) {
    const TcsResult result = _scsSensorHarlokWOESetup(static_cast<ScsSensor*>(item->object));
    callBack(item, nullptr, result);
    finish(item, result);
    return result;
}

TcsResult scsWITGetBaselineData(WorkItem* item) {
    const TcsResult result = _scsGetBaselineData(static_cast<ScsBaselineContext*>(item->object));
    callBack(item, nullptr, result);
    finish(item, result);
    return result;
}

TcsResult scsWITDetermineFlexId(WorkItem* item) {
    const TcsResult result = _scsDetermineFlexId(static_cast<ScsFlexIdContext*>(item->object));
    callBack(item, nullptr, result);
    finish(item, result);
    return result;
}
