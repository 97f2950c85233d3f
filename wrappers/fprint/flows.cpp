// Enroll, verify, identify and capture flows behind the tfs_* functions: one print from the device's
// group, a flipped copy kept for the framework, matching in-process on the context's matcher.
#include "wrappers/fprint/tfs.h"

#include "apps/shared/inproc_matchers.h"
#include "platform/memory.h"
#include "tcs/handle_map.h"

#include <cstdlib>
#include <cstring>
#include <syslog.h>

namespace {

constexpr uint32_t kCaptureTimeoutMs = 60000;
constexpr uint32_t kMatchThreshold = 20;
constexpr int kIdentifySlots = 10;
constexpr uint32_t kStrictMask = 0x03490FC0u;

// Quality bits that reject an image, in the order they are reported; lenient skips the marked ones.
struct QualityRule {
    uint32_t bit;  // 0: no columns / no rows, by the index below
    bool skippedWhenLenient;
    const char* message;
};
constexpr QualityRule kQualityRules[] = {
    {0x2, true, "Swiped too fast"},
    {0x10, true, "Swiped too slow"},
    {0x4, true, "Image too short"},
    {0x1, true, "Image quality flag - stiction - finger got stuck"},
    {0x8, false, "Finger went backwards"},
    {0x20, false, "Only finger tip is down"},
    {0x40, true, "Data Com dropped significant number of lines"},
    {0x80, false, "Image columns are stuck at some level"},
    {0x100, false, "Rate columns are stuck at some level"},
    {0x200, true, "Significant speckle noise was detected but image was analyzed"},
    {0x400, false, "Excessive speckle noise was detected and image could not be analyzed"},
    {0x800000, false, "Correlation failure"},
    {0x800, false, "Suspected firmware buffer overrun detected"},
    {0x1000, true, "Finger was offset left or right"},
    {0x2000, false, "Bad swipe technique"},
    {0x4000, true, "Change pressure"},
    {0x8000, true, "Finger skew too large"},
    {0x10000, true, "Finger swiped too lightly"},
    {0x20000, true, "Finger was offset too far to the left"},
    {0x40000, true, "Finger was offset too far to the right"},
    {0x80000, true, "Finger swiped too hard"},
    {0x100000, false, "Bad/Invalid ASP data"},
    {0x200000, false, "Not a swipe, an accidental brush may be"},
    {0x400000, true, "Sensor may not be properly calibrated"},
    {0x1000000, true, "Finger or sensor is too wet"},
};

AppContext* contextOf(TfsDevice* device) { return device->group->context; }

void destroyHandle(uint64_t& handle) {
    if (handle != 0) tcsHandleDestroy(handle);
    handle = 0;
}

// The flows need a matcher of the device's type; it is opened on first use and kept in the context.
bool ensureMatcher(AppContext* context) {
    if (context->matcher != 0) return true;
    const uint32_t id = context->matcherType == TFS_MATCHER_ORBIS ? 2 : 1;
    TcsResult result = tcsMatcherOpen(context->client, id, &context->matcher);
    if (result != TCS_RESULT_OK) {
        context->matcher = 0;
        TFS_ERROR_REPORT(&context->lastError, result, "tcsMatcherOpen failed");
        return false;
    }
    return true;
}

// One print from the group; the probe becomes the caller's (the entry lets go of it).
bool captureProbe(TfsDevice* device, uint32_t timeoutMs, uint64_t* outProbe) {
    GroupSensorEntry* entry = nullptr;
    TcsResult result = GroupGetFingerprint(&entry, timeoutMs, device->group, 0);
    if (result != TCS_RESULT_OK || entry == nullptr || entry->image == 0) return false;
    *outProbe = entry->image;
    entry->image = 0;
    return true;
}

// A copy of the image into the device's last-image field, flipped top to bottom when asked.
bool keepImage(TfsDevice* device, uint64_t image, bool flip) {
    const uint32_t size = tcsImageGetDataSize(image);
    if (size == 0) return false;
    auto* pixels = static_cast<uint8_t*>(palRealMalloc(size));
    if (pixels == nullptr) return false;
    bool kept = tcsImageGetData(image, pixels, size) == TCS_RESULT_OK;
    uint64_t copy = 0;
    if (kept) {
        kept = tcsImageCreate(&copy, pixels, size, tcsImageGetRows(image), tcsImageGetColumns(image),
                              tcsImageGetQuality(image)) == TCS_RESULT_OK;
    }
    palRealFree(pixels);
    if (!kept) return false;
    if (flip) tcsImageFlipVertical(copy);
    // The previous image is released here rather than lost; a handle already cleaned up is simply
    // unknown to the map by now, so destroying it again does no harm.
    if (device->lastImage != 0) tcsHandleDestroy(device->lastImage);
    device->lastImage = copy;
    return true;
}

// Header and first data byte of the template record, then its data: data size + 53 bytes.
bool buildStoredPrint(uint64_t templateHandle, uint8_t** outRecord, uint32_t* outLength) {
    void* object = nullptr;
    if (tcsSafeEnrollTemplateHandleFetch(templateHandle, &object) != TCS_RESULT_OK || object == nullptr) return false;
    auto* templ = static_cast<const EnrollTemplate*>(object);
    const uint32_t dataSize = templ->dataSize;
    const uint32_t length = dataSize + TFS_STORED_PRINT_HEADER;
    auto* record = static_cast<uint8_t*>(malloc(length));
    if (record == nullptr) return false;
    std::memset(record, 0, length);
    std::memcpy(record, templ, TFS_STORED_PRINT_HEADER);
    std::memcpy(record + TFS_STORED_PRINT_HEADER, templ->data, dataSize);
    *outRecord = record;
    *outLength = length;
    return true;
}

bool rebuildTemplate(const uint8_t* record, int length, uint64_t* outHandle) {
    if (record == nullptr || length <= int(TFS_STORED_PRINT_HEADER)) return false;
    return tcsTemplateCreate(outHandle, record + TFS_STORED_PRINT_HEADER, uint32_t(length) - TFS_STORED_PRINT_HEADER) ==
           TCS_RESULT_OK;
}

bool hasGroup(TfsDevice* device) { return device != nullptr && device->group != nullptr && device->group->context != nullptr; }

void freeEnrollment(TfsDevice* device, int32_t chosen) {
    auto* list = static_cast<EnrollmentList*>(device->enrollmentList);
    if (list == nullptr) return;
    for (int i = 0; i < 3; ++i) {
        destroyHandle(list->images[i]);
        // The templates not chosen would otherwise stay registered with nobody to release them.
        if (i != chosen) destroyHandle(list->templates[i]);
    }
    palRealFree(list);
    // Cleared rather than left stale: a later swipe without a first one must not reach freed memory.
    device->enrollmentList = nullptr;
}

}  // namespace

extern "C" {

TcsResult InitializeEnrollment(EnrollmentList* list, int required) {
    if (list == nullptr) return TCS_RESULT_NULL_POINTER;
    if (required != 3) return TCS_RESULT_BAD_PARAM;
    std::memset(list, 0, sizeof(*list));
    list->required = required;
    return TCS_RESULT_OK;
}

TcsResult CheckPrintImage(uint64_t image) {
    if (image == 0) return TCS_RESULT_NULL_POINTER;
    const uint32_t quality = tcsImageGetQuality(image);
    if ((quality & 0x80000000u) != 0 || (quality & 0x4u) != 0) return TCS_RESULT_BAD_PARAM;
    if (tcsImageGetRows(image) == 0 || tcsImageGetColumns(image) == 0) return TCS_RESULT_BAD_PARAM;
    return TCS_RESULT_OK;
}

TcsResult AddEnrollmentImage(EnrollmentList* list, uint64_t image, uint32_t* outDone) {
    if (list == nullptr || outDone == nullptr) return TCS_RESULT_NULL_POINTER;
    if (list->count >= list->required || list->count >= 3 || list->count < 0) return TCS_RESULT_BAD_PARAM;
    if (CheckPrintImage(image) != TCS_RESULT_OK) return TCS_RESULT_BAD_PARAM;
    list->images[list->count++] = image;
    *outDone = list->count == list->required ? 1 : 0;
    return TCS_RESULT_OK;
}

TcsResult selectPrint(EnrollmentList* list, uint64_t matcher, uint64_t* outTemplate, int32_t* outIndex,
                      int32_t* outScore) {
    if (list == nullptr || outTemplate == nullptr || outIndex == nullptr || outScore == nullptr) {
        return TCS_RESULT_NULL_POINTER;
    }
    for (int i = 0; i < 3; ++i) {
        TcsResult result = tcsMatcherExtractTemplate(matcher, list->images[i], &list->templates[i]);
        if (result != TCS_RESULT_OK) return result;
    }
    *outIndex = -1;
    uint32_t raw[3] = {};
    uint32_t comparison[3] = {};
    bool matched[3] = {};
    static constexpr int kOthers[3][2] = {{1, 2}, {0, 2}, {0, 1}};
    for (int i = 0; i < 3; ++i) {
        uint32_t scores[2] = {};
        bool ok = true;
        for (int k = 0; k < 2 && ok; ++k) {
            uint64_t result = 0;
            ok = tcsMatcherMatchTemplates(matcher, list->templates[i], list->templates[kOthers[i][k]], &result) ==
                 TCS_RESULT_OK;
            if (ok) scores[k] = tcsMatchResultsGetScore(result);
            if (result != 0) tcsMatchResultsDestroyHandle(result);
        }
        matched[i] = ok;
        raw[i] = ok ? (scores[0] + scores[1]) >> 1 : 0;
        comparison[i] = ok ? uint32_t(uint64_t(raw[i]) * 99 / 100) : 0;
    }
    int chosen = 0;
    for (int i = 1; i < 3; ++i) {
        if (matched[i] && comparison[i] > comparison[chosen]) chosen = i;
    }
    if (raw[chosen] < kMatchThreshold) {
        *outIndex = -2;
        *outScore = 0;
        return TCS_RESULT_ERROR;
    }
    *outIndex = chosen;
    *outScore = int32_t(comparison[chosen]);
    *outTemplate = list->templates[chosen];
    return TCS_RESULT_OK;
}

TcsResult CheckPrint(uint64_t image, int strict, AppLastError* lastError, uint32_t flags) {
    clearAppLastError(lastError);
    if (image == 0) {
        TFS_INFO(lastError, TCS_RESULT_NULL_POINTER, "pPrint is TCS_NULL");
        return TCS_RESULT_NULL_POINTER;
    }
    if (tcsImageCheckUsability(image, uint32_t(strict)) != 0) return TCS_RESULT_OK;
    const uint32_t quality = tcsImageGetQuality(image);
    const bool lenient = (flags & 2u) != 0;
    const char* message = nullptr;
    for (const QualityRule& rule : kQualityRules) {
        if (lenient && rule.skippedWhenLenient) continue;
        if ((quality & rule.bit) != 0) {
            message = rule.message;
            break;
        }
    }
    if (message == nullptr && tcsImageGetColumns(image) == 0) message = "bad image columns";
    if (message == nullptr && tcsImageGetRows(image) == 0) message = "bad image rows";
    if (message == nullptr) return TCS_RESULT_OK;
    if (lastError != nullptr) {
        lastError->isError = 0;
        TFS_INFO(lastError, TFS_RESULT_IMAGE_REJECTED, message);
    }
    return TFS_RESULT_IMAGE_REJECTED;
}

int NTEnrollFinger(TfsDevice* device, int first, int swipeIndex, uint8_t** outRecord, uint32_t* outLength) {
    if (!hasGroup(device) || outLength == nullptr) return TFS_ERROR;
    AppContext* context = contextOf(device);
    if (first == 1) {
        freeEnrollment(device, -1);
        auto* list = static_cast<EnrollmentList*>(palRealMalloc(sizeof(EnrollmentList)));
        if (list == nullptr) return TFS_ERROR;
        std::memset(list, 0, sizeof(*list));
        device->enrollmentList = list;
        if (InitializeEnrollment(list, 3) != TCS_RESULT_OK) return TFS_ERROR;
    }
    auto* list = static_cast<EnrollmentList*>(device->enrollmentList);
    if (list == nullptr) return TFS_ERROR;
    uint64_t probe = 0;
    if (!captureProbe(device, kCaptureTimeoutMs, &probe)) return TFS_ERROR;
    uint32_t done = 0;
    if (AddEnrollmentImage(list, probe, &done) != TCS_RESULT_OK) {
        destroyHandle(probe);
        return TFS_RETRY;
    }
    if (swipeIndex < 2) return TFS_MORE_SWIPES;

    int result = TFS_FAILED;
    int32_t index = -1;
    int32_t score = 0;
    if (ensureMatcher(context)) {
        destroyHandle(context->workTemplate);
        uint64_t chosen = 0;
        if (selectPrint(list, context->matcher, &chosen, &index, &score) == TCS_RESULT_OK) {
            context->workTemplate = chosen;
            if (outRecord != nullptr && keepImage(device, list->images[index], true) &&
                buildStoredPrint(chosen, outRecord, outLength)) {
                result = TFS_SUCCESS;
            }
        }
    }
    freeEnrollment(device, result == TFS_SUCCESS || context->workTemplate != 0 ? index : -1);
    return result;
}

int OrbisEnrollFinger(TfsDevice* device, int first, int swipeIndex, uint8_t** outRecord, uint32_t* outLength) {
    if (!hasGroup(device) || outLength == nullptr) return TFS_ERROR;
    AppContext* context = contextOf(device);
    if (first == 1) destroyHandle(context->workTemplate);
    uint64_t probe = 0;
    if (!captureProbe(device, kCaptureTimeoutMs, &probe)) return TFS_ERROR;
    int result = TFS_RETRY;
    uint32_t quality = 0;
    uint32_t state = 0;
    if (!ensureMatcher(context)) {
        result = TFS_ERROR;
    } else if (tcsMatcherCheckImageQuality(context->matcher, probe, &quality) != TCS_RESULT_OK) {
        result = TFS_RETRY;
    } else if (CheckPrint(probe, 1, &context->lastError, device->group->checkFlags) != TCS_RESULT_OK) {
        result = TFS_RETRY;
    } else if (tcsMatcherAddImageToTemplate(context->matcher, probe, &state, &context->workTemplate) != TCS_RESULT_OK) {
        result = TFS_RETRY;
    } else {
        result = state == 402 ? TFS_MORE_SWIPES : state == 400 ? TFS_SUCCESS : TFS_ERROR;
    }
    if (swipeIndex > 2) result = TFS_FAILED;
    if (result == TFS_SUCCESS) {
        if (outRecord == nullptr || !keepImage(device, probe, true) ||
            !buildStoredPrint(context->workTemplate, outRecord, outLength)) {
            result = TFS_FAILED;
        }
    }
    destroyHandle(probe);
    return result;
}

int NTVerifyFinger(TfsDevice* device, const uint8_t* record, int length) {
    if (!hasGroup(device) || record == nullptr || length <= int(TFS_STORED_PRINT_HEADER)) return TFS_ERROR;
    AppContext* context = contextOf(device);
    uint64_t probe = 0;
    if (!captureProbe(device, kCaptureTimeoutMs, &probe)) return TFS_ERROR;
    keepImage(device, probe, true);
    int result = TFS_NO_MATCH;
    uint64_t probeTemplate = 0;
    uint64_t match = 0;
    if (CheckPrintImage(probe) != TCS_RESULT_OK) {
        result = TFS_RETRY;
    } else if (!ensureMatcher(context)) {
        result = TFS_ERROR;
    } else if (tcsMatcherExtractTemplate(context->matcher, probe, &probeTemplate) != TCS_RESULT_OK) {
        result = TFS_RETRY;
    } else {
        destroyHandle(context->workTemplate);
        if (!rebuildTemplate(record, length, &context->workTemplate)) {
            result = TFS_ERROR;
        } else if (tcsMatcherMatchTemplates(context->matcher, context->workTemplate, probeTemplate, &match) ==
                       TCS_RESULT_OK &&
                   tcsMatchResultsGetScore(match) >= kMatchThreshold) {
            result = TFS_SUCCESS;
        }
    }
    destroyHandle(match);
    destroyHandle(probeTemplate);
    destroyHandle(probe);
    destroyHandle(context->workTemplate);
    return result;
}

int OrbisVerifyFinger(TfsDevice* device, const uint8_t* record, int length) {
    if (!hasGroup(device) || record == nullptr || length <= int(TFS_STORED_PRINT_HEADER)) return TFS_ERROR;
    AppContext* context = contextOf(device);
    uint64_t probe = 0;
    if (!captureProbe(device, kCaptureTimeoutMs, &probe)) return TFS_ERROR;
    keepImage(device, probe, true);
    int result = TFS_NO_MATCH;
    uint64_t match = 0;
    if (CheckPrintImage(probe) != TCS_RESULT_OK) {
        result = TFS_RETRY;
    } else if (!ensureMatcher(context)) {
        result = TFS_ERROR;
    } else {
        destroyHandle(context->workTemplate);
        if (!rebuildTemplate(record, length, &context->workTemplate)) {
            result = TFS_ERROR;
        } else {
            context->handles[0] = context->workTemplate;
            if (tcsMatcherMatchImageToTemplates(context->matcher, probe, context->handles, 1, 2, &match) ==
                    TCS_RESULT_OK &&
                tcsMatchResultsGetScore(match) >= kMatchThreshold) {
                result = TFS_SUCCESS;
            }
            context->handles[0] = 0;
        }
    }
    destroyHandle(match);
    destroyHandle(probe);
    destroyHandle(context->workTemplate);
    return result;
}

int tfs_identify(TfsDevice* device, const uint8_t* const* records, const int* lengths, int* outIndex, int count) {
    if (!hasGroup(device) || outIndex == nullptr || records == nullptr || lengths == nullptr) return TFS_ERROR;
    AppContext* context = contextOf(device);
    uint64_t probe = 0;
    if (!captureProbe(device, kCaptureTimeoutMs, &probe)) return TFS_ERROR;
    if (tcsImageGetDataSize(probe) == 0) {
        destroyHandle(probe);
        return TFS_ERROR;
    }
    keepImage(device, probe, true);
    int result = TFS_NO_MATCH;
    uint64_t templates[kIdentifySlots] = {};
    uint64_t match = 0;
    if (CheckPrintImage(probe) != TCS_RESULT_OK) {
        result = TFS_RETRY;
    } else if (count <= 0) {
        result = TFS_NO_MATCH;
    } else if (count > kIdentifySlots) {
        // The table holds ten stored prints; more are refused rather than written past it.
        result = TFS_ERROR;
    } else if (!ensureMatcher(context)) {
        result = TFS_ERROR;
    } else {
        for (int i = 0; i < count && result != TFS_ERROR; ++i) {
            if (!rebuildTemplate(records[i], lengths[i], &templates[i])) result = TFS_ERROR;
        }
        if (result != TFS_ERROR &&
            tcsMatcherMatchImageToTemplates(context->matcher, probe, templates, uint32_t(count), 1, &match) ==
                TCS_RESULT_OK &&
            tcsMatchResultsGetStatus(match) != 0) {
            *outIndex = int(tcsMatchResultsGetIndex(match));
            result = TFS_SUCCESS;
        }
    }
    destroyHandle(match);
    destroyHandle(probe);
    for (uint64_t& templ : templates) destroyHandle(templ);
    return result;
}

int FPRINTCaptureFinger(TfsDevice* device, int first) {
    openlog("Tovantic_FPRINTCaptureFinger", LOG_CONS | LOG_NDELAY, LOG_DAEMON);
    if (!hasGroup(device)) return TFS_ERROR;
    AppContext* context = contextOf(device);
    if (first == 1) destroyHandle(context->workTemplate);
    GroupSensorEntry* entry = nullptr;
    TcsResult result = GroupGetFingerprint(&entry, 0xFFFFFFFFu, device->group, 0);
    if (result != TCS_RESULT_OK || entry == nullptr) {
        syslog(LOG_WARNING, "GroupGetFingerprint returned error\n");
        return TFS_ERROR;
    }
    if (entry->image == 0) {
        syslog(LOG_WARNING, "Failed to capture the fingerprint\n");
        return TFS_ERROR;
    }
    if (tcsImageGetDataSize(entry->image) == 0) {
        syslog(LOG_WARNING, "Failed to get the image datasize\n");
        destroyHandle(entry->image);
        return TFS_ERROR;
    }
    const bool kept = keepImage(device, entry->image, false);
    destroyHandle(entry->image);
    return kept ? TFS_SUCCESS : TFS_ERROR;
}

}  // extern "C"
