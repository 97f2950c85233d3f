// Framework entry points: wait for the service, set up and tear down a device (all sensors as one
// group), capture, enroll, verify and identify, and the last image's accessors.
#include "wrappers/fprint/tfs.h"

#include "apps/shared/inproc_matchers.h"
#include "platform/clock.h"
#include "platform/detail/ipc_keys.h"
#include "platform/memory.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <syslog.h>
#include <unistd.h>

extern "C" {
int g_MatcherType = 0;
}

namespace {

// Records the framework and the samples allocate by these sizes.
static_assert(sizeof(AppContext) <= TFS_CONTEXT_SIZE);
static_assert(sizeof(AppLastError) == 288);
static_assert(sizeof(SensorGroup) == 48);
static_assert(sizeof(EnrollmentList) == 56);

constexpr int kServiceAttempts = 2000;

// The ready and pid files sit beside the key files, so tests that move those move these too.
std::string keyFile(const char* name) { return pal::detail::ipcKeyPrefix() + name; }

void logEntry(const char* ident) { openlog(ident, LOG_CONS | LOG_NDELAY, LOG_DAEMON); }

bool readyFileExists() {
    FILE* file = fopen(keyFile("ServiceReady").c_str(), "r");
    if (file == nullptr) return false;
    fclose(file);
    return true;
}

void releaseDevice(TfsDevice* device, bool opened) {
    SensorGroup* group = device->group;
    AppContext* context = group->context;
    if (opened) GroupSensorClose(group);
    GroupUnInitInfo(group);
    if (context != nullptr) {
        if (context->matcher != 0) {
            tcsMatcherClose(context->matcher);
            context->matcher = 0;
        }
        if (context->workTemplate != 0) tcsHandleDestroy(context->workTemplate);
        context->workTemplate = 0;
        if (context->client != 0) ClientDestroy(context, group);
        clearAppLastError(&context->lastError);
        palRealFree(context);
    }
    palRealFree(group);
    device->group = nullptr;
}

}  // namespace

extern "C" {

int tfs_set_matcher_type(int type) {
    g_MatcherType = type;
    return 0;
}

int tfs_get_matcher_type(void) { return g_MatcherType; }

int tfs_wait_for_service(void) try {
    logEntry("Tovantic_tfs_wait_for_service");
    char line[64] = {};
    const std::string idFile = keyFile("ServiceId");
    const std::string command = "pidof tcsFPService > " + idFile;
    bool running = false;
    for (int attempt = 0; attempt < kServiceAttempts && !running; ++attempt) {
        if (system(command.c_str()) == -1) {
            // The shell could not be started; the file tells the rest.
        }
        palSleep(1);
        FILE* file = fopen(idFile.c_str(), "r");
        if (file == nullptr) {
            palSleep(10);
            continue;
        }
        if (fgets(line, sizeof line, file) != nullptr && strlen(line) > 1) {
            running = true;
            fclose(file);
            unlink(idFile.c_str());
            break;
        }
        palSleep(10);
        fclose(file);
    }
    if (!running) {
        syslog(LOG_WARNING, "Tovantic service could not be found\n");
        return TCS_RESULT_ERROR;
    }
    for (int attempt = 0; attempt < kServiceAttempts; ++attempt) {
        if (readyFileExists()) return 0;
        palSleep(10);
    }
    syslog(LOG_WARNING, "Tovantic device could not be found\n");
    return TCS_RESULT_ERROR;
} catch (...) {
    // Nothing thrown inside may leave the library.
    return TCS_RESULT_ERROR;
}

int tfs_dev_init(TfsDevice* device) {
    logEntry("Tovantic_tfs_dev_init");
    syslog(LOG_WARNING, "Entry\n");
    if (device == nullptr) return -1;
    if (!readyFileExists()) return -1;

    auto* group = static_cast<SensorGroup*>(palRealMalloc(sizeof(SensorGroup)));
    if (group == nullptr) return -1;
    std::memset(group, 0, sizeof(*group));
    device->group = group;
    auto* context = static_cast<AppContext*>(palRealMalloc(TFS_CONTEXT_SIZE));
    if (context == nullptr) {
        releaseDevice(device, false);
        return -1;
    }
    std::memset(context, 0, TFS_CONTEXT_SIZE);
    group->context = context;
    if (GroupInitInfo(group) != TCS_RESULT_OK) {
        releaseDevice(device, false);
        return -1;
    }
    context->clientEventHandler = GroupSystemEventsHandler;

    bool opened = false;
    if (ClientCreate(context, group) != TCS_RESULT_OK) {
        syslog(LOG_WARNING, "ClientCreate failure\n");
    } else if (GroupSensorsEnumAndInit(group) != TCS_RESULT_OK) {
        syslog(LOG_WARNING, "GroupSensorsEnumAndInit failure\n");
    } else if (GroupSensorOpen(group) != TCS_RESULT_OK) {
        syslog(LOG_WARNING, "GroupSensorOpen failure\n");
    } else {
        opened = true;
    }
    if (opened && g_MatcherType >= TFS_MATCHER_NT && g_MatcherType <= TFS_MATCHER_CAPTURE_ONLY) {
        context->matcherType = uint32_t(g_MatcherType);
        syslog(LOG_WARNING, "Exit\n");
        return 0;
    }
    releaseDevice(device, opened);
    return -1;
}

void tfs_dev_exit(TfsDevice* device) {
    if (device == nullptr || device->group == nullptr) return;
    releaseDevice(device, true);
}

int tfs_capture(TfsDevice* device, int first) {
    logEntry("Tovantic_tfs_capture");
    if (device == nullptr || device->group == nullptr || device->group->context == nullptr) return -1;
    if (device->group->context->matcherType == TFS_MATCHER_CAPTURE_ONLY) return FPRINTCaptureFinger(device, first);
    syslog(LOG_WARNING, "FPRINTCaptureFinger failed\n");
    return TFS_FAILED;
}

int tfs_enroll(TfsDevice* device, int first, int swipeIndex, uint8_t** outRecord, uint32_t* outLength) {
    if (device == nullptr || device->group == nullptr || device->group->context == nullptr) return TFS_FAILED;
    switch (device->group->context->matcherType) {
    case TFS_MATCHER_NT: return NTEnrollFinger(device, first, swipeIndex, outRecord, outLength);
    case TFS_MATCHER_ORBIS: return OrbisEnrollFinger(device, first, swipeIndex, outRecord, outLength);
    default: return TFS_FAILED;
    }
}

int tfs_verify(TfsDevice* device, const uint8_t* record, int length) {
    if (device == nullptr || device->group == nullptr || device->group->context == nullptr) return TFS_ERROR;
    switch (device->group->context->matcherType) {
    case TFS_MATCHER_NT: return NTVerifyFinger(device, record, length);
    case TFS_MATCHER_ORBIS: return OrbisVerifyFinger(device, record, length);
    default: return TFS_ERROR;
    }
}

uint32_t tfs_get_img_datasize(TfsDevice* device) {
    return device != nullptr && device->lastImage != 0 ? tcsImageGetDataSize(device->lastImage) : 0;
}

uint32_t tfs_get_img_height(TfsDevice* device) {
    return device != nullptr && device->lastImage != 0 ? tcsImageGetRows(device->lastImage) : 0;
}

uint32_t tfs_get_img_width(TfsDevice* device) {
    return device != nullptr && device->lastImage != 0 ? tcsImageGetColumns(device->lastImage) : 0;
}

uint8_t* tfs_get_img_data(TfsDevice* device) {
    const uint32_t size = tfs_get_img_datasize(device);
    if (size == 0) return nullptr;
    auto* copy = static_cast<uint8_t*>(palRealMalloc(size));
    if (copy == nullptr) return nullptr;
    if (tcsImageGetData(device->lastImage, copy, size) != TCS_RESULT_OK) {
        palRealFree(copy);
        return nullptr;
    }
    return copy;
}

void tfs_free_img_data(uint8_t* data) {
    if (data != nullptr) palRealFree(data);
}

void tfs_clean_handles(TfsDevice* device) {
    if (device == nullptr || device->lastImage == 0) return;
    tcsHandleDestroy(device->lastImage);
}

}  // extern "C"
