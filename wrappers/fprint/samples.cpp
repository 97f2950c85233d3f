// Single-sensor routines of console applications: the default event handlers on one sensor entry and
// the wait for a flag.
#include "wrappers/fprint/tfs.h"

#include "platform/clock.h"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <strings.h>

extern "C" {

TcsResult SystemEventsHandler(void* client, void* context, EventRecord* event) {
    (void)client;
    auto* entry = static_cast<GroupSensorEntry*>(context);
    if (entry == nullptr || entry->context == nullptr) return TCS_RESULT_NULL_POINTER;
    AppContext* app = entry->context;
    if (app->signature != TFS_CONTEXT_SIGNATURE) {
        fprintf(stderr, "INVALID TSS_CTX_SIGNATURE(%p:%x)\n", static_cast<void*>(app), app->signature);
    }
    if (app->client == 0) {
        TFS_INFO(&app->lastError, TCS_RESULT_NULL_CLIENT_HANDLE, "pCtx->hClient is TCS_NULL");
        return TCS_RESULT_NULL_CLIENT_HANDLE;
    }
    if (event == nullptr) return TCS_RESULT_NULL_POINTER;
    switch (tcsEventGetId(event)) {
    case TCS_SYSTEM_EVENT_SENSOR_REMOVED:
        if (_PRINT_MSG_) printf(entry->unplugged != 0 ? "Sensor already unplugged.\n" : "Sensor unplugged.\n");
        entry->unplugged = 1;
        entry->unplugTime = palGetTickCount();
        break;
    case TCS_SYSTEM_EVENT_SENSOR_READY: {
        char* id = tcsEventGetDataStringA(event);
        if (id == nullptr) {
            TFS_INFO(&app->lastError, TCS_RESULT_NULL_POINTER, "Event Data String is NULL");
            return TCS_RESULT_NULL_POINTER;
        }
        if (entry->enumerationCount > 0 && strncasecmp(entry->sensorId, id, strlen(id)) == 0) {
            if (_PRINT_MSG_) printf("Sensor already enumerated\n");
        } else if (strlen(id) <= TFS_SENSOR_ID_MAX) {
            std::memcpy(entry->sensorId, id, strlen(id) + 1);
            entry->enumerationCount += 1;
        }
        tcsEventFreeDataString(id);
        if (entry->unplugged != 0 && _PRINT_MSG_) printf("Sensor plugged.\n");
        entry->unplugged = 0;
        entry->unplugTime = 0;
        break;
    }
    case TCS_SYSTEM_EVENT_SENSOR_FAILED:
        if (_PRINT_MSG_) printf("Sensor failed to initialize.\n");
        break;
    case TCS_SYSTEM_EVENT_ALL_READY: entry->unplugged = 0; break;
    default: break;
    }
    return TCS_RESULT_OK;
}

}  // extern "C"
