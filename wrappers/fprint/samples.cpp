// Single-sensor routines of console applications: event handlers on one sensor entry, capture and the
// wait for a flag, and the three-print sample enrollment kept in gEnroller.
#include "wrappers/fprint/tfs.h"

#include "apps/shared/calls.h"
#include "apps/shared/inproc_matchers.h"
#include "platform/clock.h"
#include "platform/memory.h"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <string>
#include <strings.h>
#include <unistd.h>

extern "C" {
EnrollmentList gEnroller = {};
}

namespace {

constexpr uint32_t kLedReadyForSwipe = 23;
constexpr uint32_t kPollMs = 100;

AppLastError* lastErrorOf(GroupSensorEntry* entry) {
    return entry != nullptr && entry->context != nullptr ? &entry->context->lastError : nullptr;
}

EventCallback sensorHandlerOf(GroupSensorEntry* entry) {
    return entry->context != nullptr && entry->context->sensorEventHandler != nullptr ? entry->context->sensorEventHandler
                                                                                      : SensorEventsHandler;
}

}  // namespace

extern "C" {

TcsResult AddSensorCallback(GroupSensorEntry* entry) {
    if (entry == nullptr) return TCS_RESULT_NULL_POINTER;
    if (entry->sensor == 0) {
        TFS_INFO(lastErrorOf(entry), TCS_RESULT_NULL_SENSOR_HANDLE, "pCtx->hSensor is TCS_NULL");
        return TCS_RESULT_NULL_SENSOR_HANDLE;
    }
    TcsResult result = tcsSensorEventsAddCallback(entry->sensor, sensorHandlerOf(entry), entry);
    if (result != TCS_RESULT_OK) TFS_ERROR_REPORT(lastErrorOf(entry), result, "tcsSensorEventsAddCallback failed");
    return result;
}

TcsResult RemoveSensorCallback(GroupSensorEntry* entry) {
    if (entry == nullptr) return TCS_RESULT_NULL_POINTER;
    if (entry->sensor == 0) {
        TFS_INFO(lastErrorOf(entry), TCS_RESULT_NULL_SENSOR_HANDLE, "pCtx->hSensor is TCS_NULL");
        return TCS_RESULT_NULL_SENSOR_HANDLE;
    }
    TcsResult result = tcsSensorEventsRemoveCallback(entry->sensor, sensorHandlerOf(entry), entry);
    if (result != TCS_RESULT_OK) TFS_ERROR_REPORT(lastErrorOf(entry), result, "tcsSensorEventsRemoveCallback failed");
    return result;
}

TcsResult GetFingerprintAsync(void* image, TcsResult status, void* context) {
    auto* entry = static_cast<GroupSensorEntry*>(context);
    if (entry == nullptr) return TCS_RESULT_NULL_POINTER;
    AppLastError* error = lastErrorOf(entry);
    const TcsHandle imageHandle = TcsHandle(reinterpret_cast<uintptr_t>(image));
    if (entry->sensor == 0 && status != TCS_RESULT_SENSOR_NOT_FOUND && status != 200) {
        TFS_INFO(error, TCS_RESULT_NULL_SENSOR_HANDLE, "pSensorCtx->hSensor is TCS_NULL");
        return TCS_RESULT_NULL_SENSOR_HANDLE;
    }
    if (entry->captureState == 0) {
        entry->captureState = 1;
        entry->captureStatus = 0;
        tcsSensorLEDSetEvent(entry->sensor, kLedReadyForSwipe);
        CompletionCallback completion = entry->context != nullptr && entry->context->captureCompletion != nullptr
                                            ? entry->context->captureCompletion
                                            : GetFingerprintAsync;
        const char* name = entry->context != nullptr ? entry->context->debugFileName : nullptr;
        TcsResult result = tcsSensorGetFingerprintAsyncA(entry->sensor, completion, entry, name);
        if (result != TCS_RESULT_OK) TFS_ERROR_REPORT(error, result, "tcsSensorGetFingerprintAsync failed");
        return result;
    }
    if (entry->captureState == 1) {
        entry->captureState = 2;
        if (status == TCS_RESULT_OK) {
            if (entry->image != 0 && entry->image != imageHandle) tcsHandleDestroy(entry->image);
            entry->image = imageHandle;
        } else {
            if (imageHandle != 0) tcsHandleDestroy(imageHandle);
            entry->image = 0;
            if (status == 501) {
                if (entry->event != nullptr) palEventSet(entry->event);
            } else if (!IsSensorRemovalError(int(status))) {
                TFS_ERROR_REPORT(error, status, "tcsGetFingerprintAsync failed");
            }
        }
        entry->captureStatus = status;
        entry->gotPrint = 1;
        return status;
    }
    return TCS_RESULT_INVALID;
}

TcsResult RunServiceUntilTrue(GroupSensorEntry* entry, volatile uint32_t* flag, uint32_t timeoutMs) {
    if (entry == nullptr) return TCS_RESULT_NULL_POINTER;
    if (flag == nullptr) {
        TFS_INFO(lastErrorOf(entry), TCS_RESULT_NULL_POINTER, "flag is TCS_NULL");
        return TCS_RESULT_NULL_POINTER;
    }
    const uint32_t start = palGetTickCount();
    for (;;) {
        if (*flag != 0) return entry->captureStatus;
        if (entry->unplugged == 1) {
            TFS_INFO(lastErrorOf(entry), TCS_RESULT_SENSOR_NOT_FOUND, "sensor unplugged");
            return TCS_RESULT_SENSOR_NOT_FOUND;
        }
        if (timeoutMs != 0 && palGetTickCount() - start > timeoutMs) {
            entry->timedOut = 1;
            return TFS_RESULT_WAIT_TIMEOUT;
        }
        palSleep(kPollMs);
    }
}

TcsResult GetFingerprint(GroupSensorEntry* entry) {
    if (entry == nullptr) return TCS_RESULT_NULL_POINTER;
    if (entry->sensor == 0) {
        TFS_INFO(lastErrorOf(entry), TCS_RESULT_NULL_SENSOR_HANDLE, "pCtx->hSensor is TCS_NULL");
        return TCS_RESULT_NULL_SENSOR_HANDLE;
    }
    entry->captureState = 0;
    entry->gotPrint = 0;
    entry->timedOut = 0;
    TcsResult result = GetFingerprintAsync(reinterpret_cast<void*>(uintptr_t(entry->image)), 7, entry);
    if (result != TCS_RESULT_OK) return result;
    const uint32_t timeout = entry->context != nullptr ? entry->context->captureTimeoutMs : 0;
    TcsResult waited = RunServiceUntilTrue(entry, &entry->gotPrint, timeout);
    if (entry->timedOut != 0) {
        tcsSensorAbortFingerprint(entry->sensor);
        return TCS_RESULT_TIMEOUT;
    }
    return entry->captureStatus != 0 ? TcsResult(entry->captureStatus) : waited;
}

TcsResult TovanticSensorEventsHandler(void* sensor, void* context, EventRecord* event) {
    (void)sensor;
    auto* entry = static_cast<GroupSensorEntry*>(context);
    if (entry == nullptr) return TCS_RESULT_NULL_POINTER;
    if (entry->context != nullptr && entry->context->signature != TFS_CONTEXT_SIGNATURE) {
        fprintf(stderr, "INVALID TSS_CTX_SIGNATURE(%p:%x)\n", static_cast<void*>(entry->context),
                entry->context->signature);
    }
    switch (tcsEventGetId(event)) {
    case TCS_SENSOR_EVENT_CAPTURE_DONE:
        entry->captureStatus = tcsEventGetStatus(event);
        entry->gotPrint = 1;
        break;
    case TCS_SENSOR_EVENT_IMAGE_READY: {
        void* data = tcsEventGetData(event);
        if (entry->image != 0) tcsHandleDestroy(entry->image);
        entry->image = TcsHandle(reinterpret_cast<uintptr_t>(data));
        entry->gotPrint = 1;
        break;
    }
    case TCS_SENSOR_EVENT_RAW_DATA:
        if (tcsEventGetData(event) != nullptr) entry->fingerPresent = 1;
        break;
    default: break;
    }
    return TCS_RESULT_OK;
}

TcsResult SensorEventsHandler(void* sensor, void* context, EventRecord* event) {
    TcsResult result = GroupSensorEventsHandler(sensor, context, event);
    if (result == TCS_RESULT_OK && tcsEventGetId(event) == TCS_SENSOR_EVENT_CAPTURE_DONE) {
        static_cast<GroupSensorEntry*>(context)->captureStatus = tcsEventGetStatus(event);
    }
    return result;
}

TcsResult InitEnrollment(int count, AppLastError* lastError) {
    std::memset(&gEnroller, 0, sizeof gEnroller);
    if (count != 3) {
        TFS_INFO(lastError, TCS_RESULT_BAD_PARAM, "Invalid Print Count");
        return TCS_RESULT_BAD_PARAM;
    }
    gEnroller.required = count;
    return TCS_RESULT_OK;
}

TcsResult AddEnrollmentPrint(uint64_t image, uint32_t* outDone, AppLastError* lastError) {
    if (outDone == nullptr) {
        TFS_INFO(lastError, TCS_RESULT_NULL_POINTER, "pbIsDOne is TCS_NULL");
        return TCS_RESULT_NULL_POINTER;
    }
    TcsResult result = CheckPrint(image, 1, lastError, 0);
    if (result != TCS_RESULT_OK) return result;
    if (gEnroller.count >= gEnroller.required || gEnroller.count >= 3 || gEnroller.count < 0) {
        TFS_INFO(lastError, TCS_RESULT_BAD_PARAM, "Print Count >= Max");
        return TCS_RESULT_BAD_PARAM;
    }
    gEnroller.images[gEnroller.count++] = image;
    *outDone = gEnroller.count == gEnroller.required ? 1 : 0;
    return TCS_RESULT_OK;
}

TcsResult ChoosePrint(uint64_t matcher, uint64_t* outTemplate, int32_t* outIndex, uint32_t* outScore,
                      AppLastError* lastError) {
    if (outTemplate == nullptr) {
        TFS_INFO(lastError, TCS_RESULT_NULL_POINTER, "ppTemplateOut is TCS_NULL");
        return TCS_RESULT_NULL_POINTER;
    }
    if (outIndex == nullptr) {
        TFS_INFO(lastError, TCS_RESULT_NULL_POINTER, "pindexPrintChosen is TCS_NULL");
        return TCS_RESULT_NULL_POINTER;
    }
    if (outScore == nullptr) {
        TFS_INFO(lastError, TCS_RESULT_NULL_POINTER, "pScore is TCS_NULL");
        return TCS_RESULT_NULL_POINTER;
    }
    uint64_t chosen = 0;
    int32_t index = -1;
    int32_t score = 0;
    TcsResult result = selectPrint(&gEnroller, matcher, &chosen, &index, &score);
    if (result == TCS_RESULT_ERROR && index == -2) {
        TFS_INFO(lastError, TFS_RESULT_PRINTS_TOO_DIFFERENT, "Fingerprints are too different.");
        result = TFS_RESULT_PRINTS_TOO_DIFFERENT;
    } else if (result != TCS_RESULT_OK) {
        TFS_ERROR_REPORT(lastError, result, "tcsMatcherExtractTemplate failed");
    }
    for (int i = 0; i < 3; ++i) {
        if (result == TCS_RESULT_OK && i == index) continue;
        if (gEnroller.templates[i] != 0) tcsHandleDestroy(gEnroller.templates[i]);
        gEnroller.templates[i] = 0;
    }
    if (result != TCS_RESULT_OK) return result;
    *outTemplate = chosen;
    *outIndex = index;
    *outScore = uint32_t(score);
    return TCS_RESULT_OK;
}

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

// --- Console sample flows ------------------------------------------------------------------------------

namespace {

constexpr uint32_t kLedEnrollAccepted = 24;
constexpr uint32_t kLedEnrollRejected = 25;
constexpr uint32_t kLedSwipeRejected = 27;
constexpr uint32_t kConsoleCaptureMs = 60000;
constexpr int kEnrollAttempts = 15;
constexpr int kVerifyAttempts = 5;
constexpr uint32_t kConsoleThreshold = 20;
constexpr const char* kGiveUp =
    "Could not get a valid fingerprint. You may try to exit the application, re-plug the sensor, and re-run the "
    "application again.";

// The current directory with a trailing slash: the stem of the debug file names.
bool currentDirectory(std::string& out) {
    char directory[261] = {};
    if (getcwd(directory, 260) == nullptr) return false;
    out = directory;
    if (out.empty() || out.back() != '/') out += '/';
    return true;
}

void setDebugName(AppContext* context, const std::string& name) {
    if (context->debugFileName != nullptr) palRealFree(context->debugFileName);
    context->debugFileName = static_cast<char*>(palRealMalloc(uint32_t(name.size() + 1)));
    if (context->debugFileName != nullptr) std::memcpy(context->debugFileName, name.c_str(), name.size() + 1);
}

void printResult(AppContext* context) {
    const uint32_t code = context->lastError.code;
    if (!_PRINT_RESULTS_ || IsSensorRemovalError(int(code)) || code == 0) return;
    if (code == 1) {
        printf("Fingerprint operation canceled due to GetPrint request from another application.\n");
        return;
    }
    char text[512];
    printf("%s\n", tcsErrorToStringEx(text, sizeof text, context->lastError));
}

// One print from the group; the image becomes the caller's.
TcsResult capture(SensorGroup* group, GroupSensorEntry** outEntry, uint64_t* outImage) {
    GroupSensorEntry* entry = nullptr;
    TcsResult result = GroupGetFingerprint(&entry, kConsoleCaptureMs, group, 0);
    if (result != TCS_RESULT_OK) return result;
    if (entry == nullptr || entry->image == 0) return TCS_RESULT_ERROR;
    *outEntry = entry;
    *outImage = entry->image;
    entry->image = 0;
    if (_PRINT_MSG_) {
        printf("Fingerprint captured on sensor - %s.\n", entry->sensorId);
        printf("Fingerprint captured. Image size: %u x %u. IR quality: 0x%X.\n", tcsImageGetRows(*outImage),
               tcsImageGetColumns(*outImage), tcsImageGetQuality(*outImage));
    }
    return TCS_RESULT_OK;
}

bool openMatcher(AppContext* context) {
    if (context->matcher != 0) return true;
    TcsResult result = tcsMatcherOpen(context->client, context->matcherType, &context->matcher);
    if (result != TCS_RESULT_OK) {
        context->matcher = 0;
        TFS_ERROR_REPORT(&context->lastError, result, "tcsMatcherOpen failed");
        return false;
    }
    return true;
}

TcsResult closeMatcher(AppContext* context, TcsResult result) {
    if (context->matcher == 0) return result;
    TcsResult closed = tcsMatcherClose(context->matcher);
    context->matcher = 0;
    if (closed != TCS_RESULT_OK) {
        TFS_ERROR_REPORT(&context->lastError, closed, "tcsMatcherClose failed");
        if (result == TCS_RESULT_OK) result = closed;
    }
    return result;
}

}  // namespace

extern "C" {

TcsResult Enroll(SensorGroup* group) try {
    if (group == nullptr || group->context == nullptr) return TCS_RESULT_NULL_POINTER;
    AppContext* context = group->context;
    if (!openMatcher(context)) return context->lastError.code;
    std::string stem;
    if (!currentDirectory(stem)) {
        TFS_INFO(&context->lastError, TCS_RESULT_BUFFER_TOO_SMALL, "Can't get current directory\n");
        return closeMatcher(context, TCS_RESULT_BUFFER_TOO_SMALL);
    }
    context->capturePurpose = 1;
    InitEnrollment(3, &context->lastError);
    TcsResult result = TFS_RESULT_IMAGE_REJECTED;
    bool complete = false;
    for (int attempt = 1; attempt <= kEnrollAttempts && !complete; ++attempt) {
        if (_PRINT_MSG_) printf("---------- Enroll ----------\n");
        setDebugName(context, stem + "fpEnroll" + std::to_string(attempt));
        GroupSensorEntry* entry = nullptr;
        uint64_t image = 0;
        TcsResult captured = capture(group, &entry, &image);
        if (captured != TCS_RESULT_OK) {
            printResult(context);
            result = captured;
            break;
        }
        uint32_t done = 0;
        if (AddEnrollmentPrint(image, &done, &context->lastError) == TCS_RESULT_OK) {
            tcsSensorLEDSetEvent(entry->sensor, kLedEnrollAccepted);
        } else {
            printResult(context);
            clearAppLastError(&context->lastError);
            tcsSensorLEDSetEvent(entry->sensor, kLedEnrollRejected);
            tcsHandleDestroy(image);
            if (attempt < kEnrollAttempts && _PRINT_MSG_) printf("Try one more time.\n");
            continue;
        }
        if (done == 0) continue;
        complete = true;
        if (_PRINT_MSG_) printf("---------- Choosing print for Enrollment ----------\n");
        if (context->workTemplate != 0) tcsHandleDestroy(context->workTemplate);
        context->workTemplate = 0;
        int32_t index = -1;
        uint32_t score = 0;
        result = ChoosePrint(context->matcher, &context->workTemplate, &index, &score, &context->lastError);
        if (result == TCS_RESULT_OK && _PRINT_MSG_) {
            printf("Enrollment print %d chosen with a self-match score of %lu\n.", index, static_cast<unsigned long>(score));
        }
        printResult(context);
    }
    if (!complete && result == TFS_RESULT_IMAGE_REJECTED) {
        if (_PRINT_MSG_) printf("%s\n", kGiveUp);
        palSleep(2500);
    }
    for (uint64_t& image : gEnroller.images) {
        if (image != 0) tcsHandleDestroy(image);
        image = 0;
    }
    return closeMatcher(context, result);
} catch (...) {
    // Nothing thrown inside may leave the library.
    return TCS_RESULT_OUT_OF_MEMORY;
}

TcsResult Verify(SensorGroup* group) try {
    if (group == nullptr || group->context == nullptr) return TCS_RESULT_NULL_POINTER;
    AppContext* context = group->context;
    if (!openMatcher(context)) return context->lastError.code;
    std::string stem;
    if (!currentDirectory(stem)) {
        TFS_INFO(&context->lastError, TCS_RESULT_BUFFER_TOO_SMALL, "Can't get current directory\n");
        return closeMatcher(context, TCS_RESULT_BUFFER_TOO_SMALL);
    }
    if (_PRINT_MSG_) printf("---------- Verify ----------\n");
    TcsResult result = TFS_RESULT_IMAGE_REJECTED;
    for (int attempt = 1; attempt <= kVerifyAttempts; ++attempt) {
        setDebugName(context, stem + "fpVerify" + std::to_string(attempt));
        GroupSensorEntry* entry = nullptr;
        uint64_t image = 0;
        TcsResult captured = capture(group, &entry, &image);
        if (captured != TCS_RESULT_OK) {
            printResult(context);
            result = captured;
            break;
        }
        if (CheckPrint(image, 0, &context->lastError, group->checkFlags) != TCS_RESULT_OK) {
            printResult(context);
            tcsHandleDestroy(image);
            tcsSensorLEDSetEvent(entry->sensor, kLedSwipeRejected);
            if (_PRINT_MSG_ && attempt < kVerifyAttempts) printf("Try one more time.\n");
            if (_PRINT_MSG_ && attempt == kVerifyAttempts) printf("%s\n", kGiveUp);
            continue;
        }
        uint64_t probe = 0;
        uint64_t match = 0;
        result = tcsMatcherExtractTemplate(context->matcher, image, &probe);
        if (result != TCS_RESULT_OK) {
            TFS_ERROR_REPORT(&context->lastError, result, "Failed to extract template from fingerprint image.");
        } else {
            result = tcsMatcherMatchTemplates(context->matcher, context->workTemplate, probe, &match);
            if (result != TCS_RESULT_OK) {
                TFS_ERROR_REPORT(&context->lastError, result, "Failed to match templates.");
            } else {
                const unsigned long score = tcsMatchResultsGetScore(match);
                if (score >= kConsoleThreshold) {
                    if (_PRINT_MSG_) printf("The fingerprints match. The match score is %lu.\n", score);
                    tcsSensorLEDSwipeAccepted(entry->sensor);
                } else {
                    if (_PRINT_MSG_) printf("The fingerprints don't match. The match score is %lu.\n", score);
                    tcsSensorLEDSetEvent(entry->sensor, kLedSwipeRejected);
                }
            }
        }
        printResult(context);
        if (match != 0) tcsMatchResultsDestroyHandle(match);
        if (probe != 0) tcsHandleDestroy(probe);
        tcsHandleDestroy(image);
        break;
    }
    return closeMatcher(context, result);
} catch (...) {
    // Nothing thrown inside may leave the library.
    return TCS_RESULT_OUT_OF_MEMORY;
}

}  // extern "C"

namespace {

constexpr uint32_t kLedSwipeAccepted = 26;
constexpr uint32_t kAdaptiveIds = 256;

// Reads parameters and writes each back: an adaptive matcher's settings pass through the client.
void refreshParameters(AppContext* context, std::initializer_list<uint32_t> ids) {
    for (uint32_t id : ids) {
        uint32_t value = 0;
        if (tcsGetParam(context->client, id, &value) == TCS_RESULT_OK) tcsSetParam(context->client, id, value);
    }
}

uint32_t verifyCounter = 0;

}  // namespace

extern "C" {

TcsResult HighLevelEnroll(SensorGroup* group) try {
    if (group == nullptr || group->context == nullptr) return TCS_RESULT_NULL_POINTER;
    AppContext* context = group->context;
    if (context->matcher != 0) return TCS_RESULT_INVALID;
    if (!openMatcher(context)) return context->lastError.code;
    std::string stem;
    if (!currentDirectory(stem)) {
        TFS_INFO(&context->lastError, TCS_RESULT_BUFFER_TOO_SMALL, "Can't get current directory");
        return closeMatcher(context, TCS_RESULT_BUFFER_TOO_SMALL);
    }
    tcsSetParam(context->client, 6, 4);
    if (context->matcherType > kAdaptiveIds) refreshParameters(context, {6, 12, 11});
    if (_PRINT_MSG_) {
        printf("---------- Enroll ----------\n");
        printf("Please swipe your finger as many time as you will be asked.\n");
    }
    context->capturePurpose = 1;
    context->enrollUpdate = 0;
    if (context->workTemplate != 0) tcsHandleDestroy(context->workTemplate);
    context->workTemplate = 0;
    uint32_t state = 401;
    TcsResult result = TCS_RESULT_OK;
    bool ended = false;
    const bool checksQuality = tcsMatcherGetID(context->matcher) != 2;
    for (int attempt = 1; attempt <= kEnrollAttempts && state != 400 && !ended; ++attempt) {
        setDebugName(context, stem + "fpEnroll" + std::to_string(attempt));
        GroupSensorEntry* entry = nullptr;
        uint64_t image = 0;
        result = capture(group, &entry, &image);
        if (result != TCS_RESULT_OK) {
            printResult(context);
            ended = true;
            break;
        }
        bool poor = false;
        if (checksQuality) {
            uint32_t verdict = 0;
            result = tcsMatcherCheckImageQuality(context->matcher, image, &verdict);
            if (result != TCS_RESULT_OK) {
                TFS_ERROR_REPORT(&context->lastError, result, "tcsMatcherCheckImageQuality failed");
                printResult(context);
                tcsHandleDestroy(image);
                ended = true;
                break;
            }
            poor = verdict != 0;
            if (_PRINT_MSG_) printf(". Matcher quality: %s.\n", poor ? "Poor" : "Good");
        }
        if (CheckPrint(image, 1, &context->lastError, group->checkFlags) != TCS_RESULT_OK) {
            printResult(context);
            clearAppLastError(&context->lastError);
            if (_PRINT_MSG_ && attempt < kEnrollAttempts) printf("Try one more time.\n");
            tcsSensorLEDSetEvent(entry->sensor, kLedEnrollRejected);
        } else if (poor) {
            if (_PRINT_MSG_) printf("Poor quality fingerprint.\n");
            tcsSensorLEDSetEvent(entry->sensor, kLedEnrollRejected);
            if (attempt == kEnrollAttempts) ended = true;
            else if (_PRINT_MSG_) printf("Try one more time.\n");
        } else {
            tcsSensorLEDSetEvent(entry->sensor, kLedEnrollAccepted);
            TcsResult added = tcsMatcherAddImageToTemplate(context->matcher, image, &state, &context->workTemplate);
            if (added != TCS_RESULT_OK && state == 401) {
                TFS_INFO(&context->lastError, TFS_RESULT_PRINTS_TOO_DIFFERENT, "Fingerprints are too different.");
                printResult(context);
                result = TFS_RESULT_PRINTS_TOO_DIFFERENT;
                ended = true;
            }
        }
        tcsHandleDestroy(image);
    }
    if (!ended && state != 400) {
        if (_PRINT_MSG_) printf("%s\n", kGiveUp);
        palSleep(2500);
        result = TFS_RESULT_PRINTS_TOO_DIFFERENT;
    } else if (ended && result == TCS_RESULT_OK && state != 400) {
        result = TFS_RESULT_PRINTS_TOO_DIFFERENT;
    }
    if (context->matcher == 0) return result;
    TcsResult closed = tcsMatcherClose(context->matcher);
    context->matcher = 0;
    if (closed != TCS_RESULT_OK) {
        TFS_ERROR_REPORT(&context->lastError, closed, "tcsMathcerClose failed");
        if (result == TCS_RESULT_OK) result = closed;
    }
    return result;
} catch (...) {
    // Nothing thrown inside may leave the library.
    return TCS_RESULT_OUT_OF_MEMORY;
}

TcsResult HighLevelVerify(SensorGroup* group) try {
    if (group == nullptr || group->context == nullptr) return TCS_RESULT_NULL_POINTER;
    AppContext* context = group->context;
    if (!openMatcher(context)) return context->lastError.code;
    std::string stem;
    if (!currentDirectory(stem)) {
        TFS_INFO(&context->lastError, TCS_RESULT_BUFFER_TOO_SMALL, "Can't get current directory");
        return closeMatcher(context, TCS_RESULT_BUFFER_TOO_SMALL);
    }
    if (context->matcherType > kAdaptiveIds) refreshParameters(context, {9, 7, 8});
    if (_PRINT_MSG_) printf("---------- Verify ----------\n");
    const bool keepAll = (group->checkFlags & 2u) != 0;
    TcsResult result = TFS_RESULT_IMAGE_REJECTED;
    uint64_t image = 0;
    uint64_t results[2] = {};
    for (int attempt = 1; attempt <= kVerifyAttempts; ++attempt) {
        const uint32_t number = keepAll ? ++verifyCounter : uint32_t(attempt);
        setDebugName(context, stem + "fpVerify" + std::to_string(number));
        GroupSensorEntry* entry = nullptr;
        result = capture(group, &entry, &image);
        if (result != TCS_RESULT_OK) {
            printResult(context);
            image = 0;
            break;
        }
        if (CheckPrint(image, 0, &context->lastError, group->checkFlags) != TCS_RESULT_OK) {
            printResult(context);
            tcsHandleDestroy(image);
            image = 0;
            result = TFS_RESULT_IMAGE_REJECTED;
            tcsSensorLEDSetEvent(entry->sensor, kLedSwipeRejected);
            if (_PRINT_MSG_ && attempt < kVerifyAttempts) printf("Try one more time.\n");
            if (_PRINT_MSG_ && attempt == kVerifyAttempts) printf("%s\n", kGiveUp);
            continue;
        }
        if (context->extendedMatch == 1) {
            uint32_t wanted = 2;
            result = tcsMatcherMatchImageToTemplatesEx(context->matcher, image, context->handles, 2, &wanted, results);
            if (result != TCS_RESULT_OK) {
                TFS_ERROR_REPORT(&context->lastError, result, "tcsMatcherMatchImageToTemplatesEx failed");
            } else if (_PRINT_MSG_ && wanted == 2) {
                const bool inOrder = tcsMatchResultsGetIndex(results[0]) <= tcsMatchResultsGetIndex(results[1]);
                const uint64_t first = inOrder ? results[0] : results[1];
                const uint64_t second = inOrder ? results[1] : results[0];
                printf("Match scores are %d %d\n", int(tcsMatchResultsGetScore(first)),
                       int(tcsMatchResultsGetScore(second)));
            }
        } else {
            context->handles[0] = context->workTemplate;
            context->handles[1] = context->workTemplate;
            result = tcsMatcherMatchImageToTemplates(context->matcher, image, context->handles, 2, 2, &context->handles[3]);
            if (result != TCS_RESULT_OK) {
                TFS_ERROR_REPORT(&context->lastError, result, "tcsMatcherMatchImageToTemplates failed");
            } else {
                const uint64_t match = context->handles[3];
                context->enrollUpdate = tcsMatchResultsGetEnrollUpdate(match);
                const unsigned long score = tcsMatchResultsGetScore(match);
                if (tcsMatchResultsGetStatus(match) != 0 && score >= kConsoleThreshold) {
                    if (_PRINT_MSG_) printf("The fingerprints match. The match score is %lu.\n", score);
                    tcsSensorLEDSetEvent(entry->sensor, kLedSwipeAccepted);
                } else {
                    if (_PRINT_MSG_) printf("The fingerprints don't match. The match score is %lu.\n", score);
                    if (tcsSensorLEDSetEvent(entry->sensor, kLedSwipeRejected) != TCS_RESULT_OK && entry->removed != 0) {
                        result = 1007;
                    }
                }
            }
        }
        printResult(context);
        break;
    }
    if (keepAll) return result;
    if (image != 0) tcsHandleDestroy(image);
    for (uint64_t handle : results) {
        if (handle != 0) tcsMatchResultsDestroyHandle(handle);
    }
    if (context->handles[3] != 0) tcsMatchResultsDestroyHandle(context->handles[3]);
    context->handles[3] = 0;
    if ((group->checkFlags & 1u) == 0) {
        if (context->workTemplate != 0) tcsHandleDestroy(context->workTemplate);
        context->workTemplate = 0;
        context->handles[0] = context->handles[1] = 0;
    }
    return closeMatcher(context, result);
} catch (...) {
    // Nothing thrown inside may leave the library.
    return TCS_RESULT_OUT_OF_MEMORY;
}

}  // extern "C"
