// Sensor-control event dispatch (system, client and sensor events) and the external configuration
// blob that replaces built-in capture parameters.
#include "tcs/sensorctl/engine/scs_internal.h"

#include <stdio.h>

namespace {

constexpr int kBlobMarker = 0x1A;

// Walks a locked listener list; the next node is read before each call so a callback may remove its
// own node.
template <typename Call>
TcsResult walkListeners(PalMutexHandle lock, PalListEntry* list, Call call) {
    if (lock == nullptr || scsLock(lock) != TCS_RESULT_OK) return TCS_RESULT_INVALID;
    for (PalListEntry* node = list->next; node != list;) {
        PalListEntry* next = node->next;
        ScsListener* listener = PAL_LIST_RECORD(node, ScsListener, links);
        if (listener->callback != nullptr) call(listener);
        node = next;
    }
    scsUnlock(lock);
    return TCS_RESULT_OK;
}

}  // namespace

uint32_t scsEventGetId(const EventRecord* event) { return event != nullptr ? event->id : 0; }
uint32_t scsEventGetStatus(const EventRecord* event) { return event != nullptr ? event->status : TCS_RESULT_INVALID; }
uint32_t scsEventGetDataSize(const EventRecord* event) { return event != nullptr ? event->dataSize : 0; }
void* scsEventGetData(const EventRecord* event) { return event != nullptr ? event->data : nullptr; }

TcsResult scsSensorEventPerformCallback(ScsSensor* sensor, EventRecord* event) {
    if (sensor == nullptr) return TCS_RESULT_INVALID;
    return walkListeners(sensor->callbacksLock, &sensor->callbacks, [&](ScsListener* listener) {
        reinterpret_cast<ScsSensorEventCallback>(listener->callback)(sensor, listener->context, event);
    });
}

TcsResult scsClientEventPerformCallback(ScsClient* client, EventRecord* event) {
    if (client == nullptr) return TCS_RESULT_INVALID;
    return walkListeners(client->callbacksLock, &client->callbacks, [&](ScsListener* listener) {
        reinterpret_cast<ScsClientEventCallback>(listener->callback)(client, listener->context, event);
    });
}

TcsResult scsSystemEventPerformCallback(ScsSubsystem* subsystem, EventRecord* event) {
    if (subsystem == nullptr || subsystem->clientListLock == nullptr) return TCS_RESULT_INVALID;
    if (scsLock(subsystem->clientListLock) != TCS_RESULT_OK) return TCS_RESULT_INVALID;
    for (PalListEntry* node = subsystem->clients.next; node != &subsystem->clients;) {
        PalListEntry* next = node->next;
        scsClientEventPerformCallback(PAL_LIST_RECORD(node, ScsClient, links), event);
        node = next;
    }
    scsUnlock(subsystem->clientListLock);
    return TCS_RESULT_OK;
}

TcsResult scsSubsystemGetHarlokCfgBlob(const char* path, uint8_t** outBlob, uint32_t* outLength) {
    if (outBlob != nullptr) *outBlob = nullptr;
    if (outLength != nullptr) *outLength = 0;
    if (path == nullptr) return TCS_RESULT_OK;
    FILE* file = fopen(path, "rb");
    if (file == nullptr) return TCS_RESULT_FILE_OPEN_FAILED;
    long size = -1;
    if (fseek(file, 0, SEEK_END) == 0) size = ftell(file);
    if (size < 0 || fseek(file, 0, SEEK_SET) != 0) {
        fclose(file);
        return TCS_RESULT_OK;
    }
    long position = 0;
    bool found = false;
    for (int c; (c = fgetc(file)) != EOF;) {
        ++position;
        if (c == kBlobMarker) {
            found = true;
            break;
        }
    }
    const long remaining = size - position;
    if (found && remaining > 0 && outBlob != nullptr) {
        auto* blob = static_cast<uint8_t*>(palRealMalloc(uint32_t(remaining)));
        if (blob != nullptr) {
            if (fread(blob, 1, size_t(remaining), file) == size_t(remaining)) {
                *outBlob = blob;
                if (outLength != nullptr) *outLength = uint32_t(remaining);
            } else {
                palRealFree(blob);
            }
        }
    }
    fclose(file);
    return TCS_RESULT_OK;
}
