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
#include <dirent.h>
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

constexpr const char* kServiceName = "tcsFPService";

// The ready file sits beside the key files, so tests that move those move it too.
std::string keyFile(const char* name) { return pal::detail::ipcKeyPrefix() + name; }

void logEntry(const char* ident) { openlog(ident, LOG_CONS | LOG_NDELAY, LOG_DAEMON); }

// Made by the service: a regular file of this user's or root's, never a link or a FIFO (which an
// open would block on) planted in its place.
bool readyFileExists() { return pal::detail::keyFileTrusted(keyFile("ServiceReady")); }

std::string firstLine(const std::string& path, char end) {
    std::string text;
    if (FILE* file = fopen(path.c_str(), "re")) {
        for (int c = fgetc(file); c != EOF && c != end && text.size() < 256; c = fgetc(file)) text.push_back(char(c));
        fclose(file);
    }
    return text;
}

// What pidof finds, found without a shell and without a file: a process whose name, or whose first
// argument's last component, is the service's. (Writing pidof's answer into a fixed name in /tmp
// through the shell truncated whatever a link planted there pointed at.)
bool serviceRunning() {
    DIR* processes = opendir("/proc");
    if (processes == nullptr) return false;
    bool found = false;
    while (dirent* entry = readdir(processes)) {
        if (entry->d_name[0] < '1' || entry->d_name[0] > '9') continue;
        const std::string folder = std::string("/proc/") + entry->d_name;
        std::string argument = firstLine(folder + "/cmdline", '\0');
        argument = argument.substr(argument.rfind('/') + 1);
        if (firstLine(folder + "/comm", '\n') == kServiceName || argument == kServiceName) {
            found = true;
            break;
        }
    }
    closedir(processes);
    return found;
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
    bool running = false;
    for (int attempt = 0; attempt < kServiceAttempts && !running; ++attempt) {
        running = serviceRunning();
        if (!running) palSleep(11);
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
