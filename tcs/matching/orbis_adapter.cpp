// Matcher 2 over the outside matcher library, loaded by name at run time: images and templates go to
// it in fixed buffers, and a match it confirms stands only when the probe's liveness passes at the
// level the template's anti-spoofing profile asks for.
#include "tcs/matching/orbis_adapter.h"

#include "platform/files.h"
#include "platform/memory.h"
#include "platform/settings.h"
#include "tcs/handle_map.h"
#include "tcs/matching/adapter_support.h"

#include <cstring>
#include <mutex>
#include <string>

extern "C" {
uint32_t nFpImageWidth = 280;
uint32_t nFpImageHeight = 400;
}

namespace {

constexpr char kDefaultPath[] = "/usr/lib/OrbisBioSDK.so";
constexpr uint32_t kSlotSize = 4096;
constexpr uint32_t kTemplateData = 1024;
constexpr uint32_t kExtraSize = 1024;
constexpr uint32_t kInitMagic = 1007;
constexpr uint32_t kSelfCheckScore = 1208;
constexpr uint32_t kMaxStoredImages = 16;
constexpr uint32_t kExtractTries = 3;
constexpr char kLivenessSection[] = "SOFTWARE\\Tovantic\\tfs530";
constexpr char kLivenessSwitch[] = "{EDF035D1-A55C-4864-A513-7EE5158DBCEC}";

std::mutex gPathLock;
std::string gLibraryPath = kDefaultPath;

using InitFn = uintptr_t (*)(uint32_t, uint32_t, uint32_t, uint32_t*);
using TerminateFn = void (*)(uintptr_t);
using EnrollStepFn = int32_t (*)(uintptr_t);
using DoEnrollFn = int32_t (*)(uintptr_t, const OrbImage*, uint32_t*, uint32_t*, uint32_t*);
using CloseEnrollFn = int32_t (*)(uintptr_t, OrbBuffer*);
using VerifyFn = int32_t (*)(uintptr_t, const OrbImage*, uint32_t, uint32_t, const OrbTemplateList*, int32_t*,
                             uint32_t*, uint32_t*);
using VerifyHalfFn = int32_t (*)(uintptr_t, const OrbImage*, uint32_t, uint32_t, const OrbTemplateList*, int32_t*,
                                 uint32_t*, uint32_t*, uint8_t*);
using VerifyExtFn = int32_t (*)(uintptr_t, const OrbImage*, uint32_t, uint32_t, const OrbTemplateList*, uint32_t,
                                uint32_t*, int32_t*, uint32_t*);
using CheckQualityFn = int32_t (*)(uintptr_t, const OrbImage*);

struct OrbisState {
    uintptr_t context;
    uint32_t mode;
    uint32_t threshold;
    InitFn init;
    TerminateFn terminate;
    EnrollStepFn openEnroll;
    DoEnrollFn doEnroll;
    CloseEnrollFn closeEnroll;
    EnrollStepFn cancelEnroll;
    VerifyFn verify;
    VerifyExtFn verifyExt;
    CheckQualityFn checkQuality;
    VerifyHalfFn verifyHalf;  // optional
    void* library;
    uint32_t enrollState;
    uint32_t accepted;
    uint32_t storedCount;
    OrbImage* stored[kMaxStoredImages];
    mss::LivenessSums liveness;
};

OrbisState* stateOf(MatcherRecord* m) { return static_cast<OrbisState*>(m->state); }

void endContext(OrbisState* s) {
    if (s->context != 0) s->terminate(s->context);
    s->context = 0;
}

void freeStored(OrbisState* s) {
    for (uint32_t i = 0; i < s->storedCount; ++i) palRealFree(s->stored[i]);
    s->storedCount = 0;
}

void storeImage(OrbisState* s, OrbImage* image) {
    if (s->storedCount == kMaxStoredImages) {
        palRealFree(s->stored[0]);
        std::memmove(s->stored, s->stored + 1, sizeof(s->stored[0]) * (kMaxStoredImages - 1));
        --s->storedCount;
    }
    s->stored[s->storedCount++] = image;
}

// The switch in the settings store turns the liveness check off with 0.
uint32_t ValidateFingerprint(OrbisState* s, EnrollTemplate* templ, ImageRecord* image) {
    uint32_t enabled = 1;
    palGetPersistentDataLongValue(kLivenessSection, kLivenessSwitch, 1, &enabled);
    if (enabled == 0) return 1;
    const AspMetrics* metrics = mss::imageMetrics(image);
    if (metrics == nullptr || (metrics->kind != 1 && metrics->kind != 2)) return 1;
    const int32_t level = _tcsGetAspThreshold(templ, s->mode);
    if (level < 0 || level > 7 || metrics->confidence[level] == 0) return 1;
    return metrics->verdict[level];
}

template <typename T>
T bind(void* library, const char* name) {
    return reinterpret_cast<T>(palGetProcAddress(library, name));
}

TcsResult matcherOrbisOpen(MatcherRecord* m) {
    if (m == nullptr) return TCS_RESULT_BAD_PARAM;
    return stateOf(m) != nullptr ? TCS_RESULT_OK : TCS_RESULT_MATCHER_OPEN_FAILED;
}

TcsResult matchOrbisClose(MatcherRecord* m) {
    if (m == nullptr) return TCS_RESULT_BAD_PARAM;
    OrbisState* s = stateOf(m);
    if (s == nullptr) return TCS_RESULT_MATCHER_CLOSE_FAILED;
    endContext(s);
    return TCS_RESULT_OK;
}

TcsResult matcherOrbisShutdown(MatcherRecord* m) {
    if (m == nullptr) return TCS_RESULT_BAD_PARAM;
    OrbisState* s = stateOf(m);
    if (s == nullptr) return TCS_RESULT_OK;
    endContext(s);
    if (s->library != nullptr) palFreeLibrary(s->library);
    freeStored(s);
    palRealFree(s);
    m->state = nullptr;
    return TCS_RESULT_OK;
}

TcsResult matcherOrbisSetFAR(MatcherRecord* m, uint32_t rate) {
    if (m == nullptr) return TCS_RESULT_BAD_PARAM;
    OrbisState* s = stateOf(m);
    if (s == nullptr) return TCS_RESULT_MATCHER_OPEN_FAILED;
    if (rate == 100000) {
        s->mode = 2;
        s->threshold = 1347;
    } else if (rate == 1000000) {
        s->mode = 3;
        s->threshold = 1487;
    } else {
        s->mode = 1;
        s->threshold = 1208;
    }
    return TCS_RESULT_OK;
}

TcsResult matcherOrbisDestroyEnrollTemplate(MatcherRecord*, EnrollTemplate* templ) {
    if (templ != nullptr && templ->version != 0) _tcsTemplateDestroy(templ);
    return TCS_RESULT_OK;
}

TcsResult matcherOrbisSetParameter(MatcherRecord*, uint32_t, uint32_t) { return TCS_RESULT_NOT_IMPLEMENTED; }
TcsResult matcherOrbisGetParameter(MatcherRecord*, uint32_t, uint32_t*) { return TCS_RESULT_NOT_IMPLEMENTED; }
TcsResult matcherOrbisMatch(MatcherRecord*, EnrollTemplate*, EnrollTemplate*, MatchResult*) {
    return TCS_RESULT_NOT_IMPLEMENTED;
}
TcsResult matcherOrbisGeneralize(MatcherRecord*, EnrollTemplate**, uint32_t, EnrollTemplate**, uint32_t*) {
    return TCS_RESULT_NOT_IMPLEMENTED;
}

TcsResult matcherOrbisCheckQuality(MatcherRecord* m, ImageRecord* image, uint32_t* outVerdict) {
    if (m == nullptr) return TCS_RESULT_BAD_PARAM;
    OrbisState* s = stateOf(m);
    if (s == nullptr) return TCS_RESULT_MATCHER_OPEN_FAILED;
    uint32_t out = 0;
    uintptr_t context = s->init(kInitMagic, 1, s->mode, &out);
    if (context == 0) return TCS_RESULT_MATCHER_OPEN_FAILED;
    TcsResult result = TCS_RESULT_OK;
    OrbImage* converted = nullptr;
    if (image == nullptr || outVerdict == nullptr) {
        result = TCS_RESULT_NULL_POINTER;
    } else if ((converted = mssOrbisImageFromImage(image)) == nullptr) {
        result = TCS_RESULT_NULL_POINTER;
    } else {
        int32_t quality = s->checkQuality(context, converted);
        if (quality == 1) {
            *outVerdict = 0;
        } else if (quality == 2) {
            *outVerdict = 1;
        } else {
            result = MSS_RESULT_QUALITY_UNEXPECTED;
        }
    }
    palRealFree(converted);
    s->terminate(context);
    return result;
}

TcsResult matcherOrbisMatchImageToTemplates(MatcherRecord* m, ImageRecord* image, EnrollTemplate** templates,
                                            uint32_t count, uint32_t, MatchResult* result) {
    if (m == nullptr) return TCS_RESULT_BAD_PARAM;
    OrbisState* s = stateOf(m);
    if (s == nullptr) return TCS_RESULT_MATCHER_OPEN_FAILED;
    // The adaptive wrapper's release call: this adapter keeps no probe features between matches.
    if (m->controlFlags & MSS_FLAG_RELEASE_ONLY) return TCS_RESULT_OK;
    if (image == nullptr || result == nullptr) return TCS_RESULT_NULL_POINTER;
    // Single-template mode (the adaptive wrapper's views): the view's bytes as a one-entry list.
    EnrollTemplate* single = nullptr;
    if ((m->controlFlags & MSS_FLAG_SINGLE_TEMPLATE) && m->singleTemplateData != nullptr) {
        single = _tcsTemplateAlloc(m->singleTemplateSize);
        if (single == nullptr) return TCS_RESULT_OUT_OF_MEMORY;
        std::memcpy(single->data, m->singleTemplateData, m->singleTemplateSize);
        single->dataSize = m->singleTemplateSize;
        single->version = 1;
    }
    EnrollTemplate* singleList[1] = {single};
    if (single != nullptr) {
        templates = singleList;
        count = 1;
    }
    struct SingleOwner {
        EnrollTemplate* t;
        ~SingleOwner() {
            if (t != nullptr) _tcsTemplateDestroy(t);
        }
    } owner{single};
    uint32_t out = 0;
    uintptr_t context = s->init(kInitMagic, 1, 1, &out);
    if (context == 0) return TCS_RESULT_MATCHER_OPEN_FAILED;
    std::memset(result, 0, sizeof *result);
    auto* extra = static_cast<uint8_t*>(palRealMalloc(kExtraSize));
    if (extra == nullptr) {
        s->terminate(context);
        return TCS_RESULT_OUT_OF_MEMORY;
    }
    std::memset(extra, 0, kExtraSize);
    OrbImage* probe = mssOrbisImageFromImage(image);
    OrbTemplateList* list = mssOrbisTemplateList(templates, count);
    TcsResult status = TCS_RESULT_OK;
    if (probe == nullptr || list == nullptr || count == 0) {
        status = TCS_RESULT_NULL_POINTER;
    } else {
        int32_t score = 0;
        uint32_t index = 0, third = 0;
        int32_t r = s->verifyHalf != nullptr
                        ? s->verifyHalf(context, probe, count, kSlotSize, list, &score, &index, &third, extra)
                        : s->verify(context, probe, count, kSlotSize, list, &score, &index, &third);
        // An index outside the list names no template: nothing is read through it.
        if ((r == 2 || r == 3 || r == 4) && index < count && templates[index] != nullptr) {
            result->score = score < 0 ? 0 : uint32_t(score);
            result->index = index;
            result->userId = templates[index]->userId;
            result->finger = templates[index]->finger;
            result->extraData = extra;
            result->extraSize = kExtraSize;
            extra = nullptr;
            if (r == 2) {
                result->status = ValidateFingerprint(s, templates[index], image);
                if (result->status != 1) result->score /= 50;
            }
        }
    }
    palRealFree(extra);
    s->terminate(context);
    palRealFree(probe);
    palRealFree(list);
    return status;
}

TcsResult matcherOrbisMatchImageToTemplatesExt(MatcherRecord* m, ImageRecord* image, EnrollTemplate** templates,
                                               uint32_t count, uint32_t* inOutResults, MatchResult** results) {
    if (m == nullptr) return TCS_RESULT_BAD_PARAM;
    OrbisState* s = stateOf(m);
    if (s == nullptr) return TCS_RESULT_MATCHER_OPEN_FAILED;
    if (image == nullptr || inOutResults == nullptr || results == nullptr) return TCS_RESULT_NULL_POINTER;
    uint32_t out = 0;
    uintptr_t context = s->init(kInitMagic, 1, s->mode, &out);
    if (context == 0) return TCS_RESULT_MATCHER_OPEN_FAILED;
    const uint32_t number = *inOutResults;
    auto* indices = static_cast<uint32_t*>(palRealMalloc(4 * (number + 1)));
    auto* scores = static_cast<int32_t*>(palRealMalloc(4 * (number + 1)));
    OrbImage* probe = mssOrbisImageFromImage(image);
    OrbTemplateList* list = mssOrbisTemplateList(templates, count);
    TcsResult status = TCS_RESULT_OK;
    if (indices == nullptr || scores == nullptr || probe == nullptr || list == nullptr || count == 0) {
        status = TCS_RESULT_NULL_POINTER;
    } else {
        std::memset(indices, 0, 4 * (number + 1));
        std::memset(scores, 0, 4 * (number + 1));
        uint32_t third = 0;
        int32_t r = s->verifyExt(context, probe, count, kSlotSize, list, number, indices, scores, &third);
        bool negative = false;
        bool inRange = true;
        for (uint32_t i = 0; i < number; ++i) {
            negative = negative || scores[i] < 0;
            inRange = inRange && indices[i] < count && templates[indices[i]] != nullptr;
        }
        if ((r != 2 && r != 3 && r != 4) || negative || !inRange) {
            status = TCS_RESULT_MATCHER_MATCH_IMAGE_FAILED;
            *inOutResults = 0;
            if (number != 0) results[0]->status = 0;
        } else {
            for (uint32_t i = 0; i < number; ++i) {
                EnrollTemplate* t = templates[indices[i]];
                MatchResult* res = results[i];
                res->index = indices[i];
                res->score = uint32_t(scores[i]);
                res->userId = t->userId;
                res->finger = t->finger;
                res->status = r == 2 ? 1 : 0;
                if (r == 4 && t->features != 0) res->score = 0;
            }
            if (r == 2 && number != 0) results[0]->status = ValidateFingerprint(s, templates[indices[0]], image);
        }
    }
    s->terminate(context);
    palRealFree(indices);
    palRealFree(scores);
    palRealFree(probe);
    palRealFree(list);
    return status;
}

// The image against the template being enrolled, as the library sees one template.
int32_t verifyAgainst(OrbisState* s, const OrbImage* image, EnrollTemplate* templ, int32_t* score) {
    EnrollTemplate* one[1] = {templ};
    OrbTemplateList* list = mssOrbisTemplateList(one, 1);
    if (list == nullptr) return 0;
    uint32_t index = 0, third = 0;
    int32_t r = s->verify(s->context, image, 1, kSlotSize, list, score, &index, &third);
    palRealFree(list);
    return r;
}

TcsResult matcherOrbisAddImageToTemplate(MatcherRecord* m, ImageRecord* image, EnrollTemplate** inOut,
                                         uint32_t* complete) {
    if (m == nullptr) return TCS_RESULT_BAD_PARAM;
    OrbisState* s = stateOf(m);
    if (s == nullptr) return TCS_RESULT_MATCHER_OPEN_FAILED;
    if (image == nullptr || inOut == nullptr || complete == nullptr) return TCS_RESULT_NULL_POINTER;
    *complete = 0;
    if (s->context == 0) {
        uint32_t out = 0;
        s->context = s->init(kInitMagic, 1, 1, &out);
        if (s->context == 0) return TCS_RESULT_MATCHER_ADD_IMAGE_FAILED;
    }
    if (*inOut == nullptr) {
        freeStored(s);
        if (s->cancelEnroll(s->context) != 0) return TCS_RESULT_MATCHER_ADD_IMAGE_FAILED;
        if (s->openEnroll(s->context) != 1) return TCS_RESULT_ERROR;
        EnrollTemplate* templ = _tcsTemplateAlloc(kTemplateData);
        if (templ == nullptr) return TCS_RESULT_OUT_OF_MEMORY;
        std::memcpy(templ->magic, "TTML", 4);
        templ->dataSize = kTemplateData;
        templ->templateType = 17;
        templ->features = 1;
        templ->version = 1;
        *inOut = templ;
        s->enrollState = 1;
        s->accepted = 0;
        s->liveness = {};
    }
    EnrollTemplate* templ = *inOut;
    OrbImage* converted = mssOrbisImageFromImage(image);
    if (converted == nullptr) return MSS_RESULT_IMAGE_REJECTED;
    storeImage(s, converted);

    TcsResult result = TCS_RESULT_OK;
    bool counted = false;
    if (s->enrollState < 3) {
        uint32_t first = 0, second = 0, third = 0;
        int32_t r = s->doEnroll(s->context, converted, &first, &second, &third);
        if (r == 2) {
            s->enrollState = 2;
            if (second == 0) {
                ++s->accepted;
                counted = true;
            }
        } else if (r == 3) {
            s->enrollState = 3;
            ++s->accepted;
            counted = true;
            auto* buffer = static_cast<uint8_t*>(palRealMalloc(kSlotSize));
            if (buffer == nullptr) return TCS_RESULT_OUT_OF_MEMORY;
            std::memset(buffer, 0, kSlotSize);
            OrbBuffer descriptor{kSlotSize, buffer};
            int32_t closed = s->closeEnroll(s->context, &descriptor);
            if (closed != 0) {
                s->enrollState = uint32_t(closed);
                result = TCS_RESULT_ERROR;
            } else {
                std::memcpy(templ->data, buffer, kTemplateData);
                if (templ->features == 0) {
                    uint32_t agreeing = 0;
                    for (uint32_t i = 0; i < s->storedCount; ++i) {
                        int32_t score = 0;
                        int32_t v = verifyAgainst(s, s->stored[i], templ, &score);
                        if (v == 2 || (v == 4 && score >= int32_t(kSelfCheckScore))) ++agreeing;
                    }
                    if (agreeing <= 3) {
                        s->enrollState = 5;
                        result = TCS_RESULT_ERROR;
                    }
                }
            }
            palRealFree(buffer);
        } else {
            s->enrollState = uint32_t(r);
            result = TCS_RESULT_ERROR;
        }
    } else {
        ++s->accepted;
        int32_t score = 0;
        if (verifyAgainst(s, converted, templ, &score) == 2) {
            counted = true;
        } else if (s->accepted >= 6) {
            result = TCS_RESULT_ERROR;
        }
    }
    if (s->enrollState != 2) freeStored(s);
    if (counted) mss::addLiveness(s->liveness, image);
    if (s->enrollState == 3 && s->liveness.counted >= 3) {
        TcsResult attached = mss::attachProfile(templ, s->liveness);
        if (attached != TCS_RESULT_OK) return attached;
        endContext(s);
        *complete = 1;
    }
    return result;
}

TcsResult matcherOrbisExtract(MatcherRecord* m, ImageRecord* image, EnrollTemplate** outTemplate) {
    if (m == nullptr) return TCS_RESULT_BAD_PARAM;
    OrbisState* s = stateOf(m);
    if (s == nullptr) return TCS_RESULT_MATCHER_OPEN_FAILED;
    if (image == nullptr || outTemplate == nullptr) return TCS_RESULT_NULL_POINTER;
    EnrollTemplate* templ = nullptr;
    for (uint32_t attempt = 0; attempt < kExtractTries; ++attempt) {
        uint32_t complete = 0;
        TcsResult result = matcherOrbisAddImageToTemplate(m, image, &templ, &complete);
        if (result == TCS_RESULT_OK && complete == 1) {
            *outTemplate = templ;
            return TCS_RESULT_OK;
        }
    }
    // The unfinished template and its library context would otherwise outlive the call.
    if (templ != nullptr) _tcsTemplateDestroy(templ);
    freeStored(s);
    endContext(s);
    return TCS_RESULT_MATCHER_EXTRACT_FAILED;
}

}  // namespace

extern "C" {

void mssOrbisSetLibraryPath(const char* path) {
    std::lock_guard<std::mutex> lock(gPathLock);
    gLibraryPath = path != nullptr ? path : kDefaultPath;
}

OrbImage* mssOrbisImageFromImage(ImageRecord* image) {
    const uint8_t* pixels = mss::imagePixels(image);
    if (pixels == nullptr) return nullptr;
    const uint32_t width = image->columns < nFpImageWidth ? image->columns : nFpImageWidth;
    const uint32_t height = image->rows < nFpImageHeight ? image->rows : nFpImageHeight;
    const uint64_t capacity = uint64_t(nFpImageWidth) * nFpImageHeight;
    auto* out = static_cast<OrbImage*>(palRealMalloc(uint32_t(sizeof(OrbImage) + capacity)));
    if (out == nullptr) return nullptr;
    out->width = width;
    out->height = height;
    out->resolution = 500;
    out->pixels = reinterpret_cast<uint8_t*>(out + 1);
    const uint32_t firstColumn = (image->columns - width) / 2;
    const uint32_t firstRow = (image->rows - height) / 2;
    for (uint32_t y = 0; y < height; ++y) {
        std::memcpy(out->pixels + (height - 1 - y) * width, pixels + (firstRow + y) * image->columns + firstColumn,
                    width);
    }
    return out;
}

OrbTemplateList* mssOrbisTemplateList(EnrollTemplate** templates, uint32_t count) {
    if (templates == nullptr) return nullptr;
    const uint64_t bytes = sizeof(OrbTemplateList) + uint64_t(count) * kSlotSize;
    if (bytes > 0xFFFFFFFFu) return nullptr;
    auto* list = static_cast<OrbTemplateList*>(palRealMalloc(uint32_t(bytes)));
    if (list == nullptr) return nullptr;
    std::memset(list, 0, bytes);
    list->size = count * kSlotSize;
    list->slots = reinterpret_cast<uint8_t*>(list + 1);
    for (uint32_t i = 0; i < count; ++i) {
        if (templates[i] == nullptr) continue;
        const uint32_t size = templates[i]->dataSize < kSlotSize ? templates[i]->dataSize : kSlotSize;
        std::memcpy(list->slots + i * kSlotSize, templates[i]->data, size);
    }
    return list;
}

int32_t _tcsGetAspThreshold(EnrollTemplate* templ, uint32_t mode) {
    const uint32_t size = _tcsTemplateGetASPProfileSize(templ);
    if (size < 8) return -1;
    const uint8_t* profile = templ->aspProfile;
    const uint32_t version = mss::readLe32(profile + 4);
    int32_t cap;
    switch (mode) {
        case 2: cap = version == 2 ? 4 : 2; break;
        case 3: cap = version == 2 ? 5 : 3; break;
        default: cap = version == 2 ? 2 : 1; break;
    }
    if (version != 1 && version != 2) return -1;
    if (size < 20) return -1;
    int32_t leading = 0;
    while (leading < 8 && profile[8 + leading] > 99) ++leading;
    int32_t level;
    if (version == 1 && (mode == 1 || mode == 2)) {
        level = leading - 3;
    } else if (version == 1 && mode == 3) {
        level = leading - 2;
    } else if (version == 2 && mode >= 1 && mode <= 3) {
        level = leading - int32_t(6 - mode);
    } else {
        return -1;
    }
    if (level < 0) return -1;
    return level < cap ? level : cap;
}

int32_t tcsGetAspThreshold(uint64_t templateHandle, uint32_t mode) {
    void* object = nullptr;
    if (templateHandle != 0) tcsSafeEnrollTemplateHandleFetch(templateHandle, &object);
    return _tcsGetAspThreshold(static_cast<EnrollTemplate*>(object), mode);
}

TcsResult mssOrbisOpen(MatcherRecord* m) {
    if (m == nullptr) return TCS_RESULT_BAD_PARAM;
    std::string path;
    {
        std::lock_guard<std::mutex> lock(gPathLock);
        path = gLibraryPath;
    }
    void* library = palLoadLibrary(path.c_str());
    if (library == nullptr) return TCS_RESULT_ERROR;
    OrbisState bound{};
    bound.init = bind<InitFn>(library, "OrbBioSDK_Init");
    bound.terminate = bind<TerminateFn>(library, "OrbBioSDK_Terminate");
    bound.openEnroll = bind<EnrollStepFn>(library, "OrbBioSDK_OpenEnroll");
    bound.doEnroll = bind<DoEnrollFn>(library, "OrbBioSDK_DoEnroll");
    bound.closeEnroll = bind<CloseEnrollFn>(library, "OrbBioSDK_CloseEnroll");
    bound.cancelEnroll = bind<EnrollStepFn>(library, "OrbBioSDK_CancelEnroll");
    bound.verify = bind<VerifyFn>(library, "OrbBioSDK_Verify");
    bound.verifyExt = bind<VerifyExtFn>(library, "OrbBioSDK_VerifyExt");
    bound.checkQuality = bind<CheckQualityFn>(library, "OrbBioSDK_CheckQuality");
    bound.verifyHalf = bind<VerifyHalfFn>(library, "OrbBioSDK_VerifyHalf");
    if (bound.init == nullptr || bound.terminate == nullptr || bound.openEnroll == nullptr ||
        bound.doEnroll == nullptr || bound.closeEnroll == nullptr || bound.cancelEnroll == nullptr ||
        bound.verify == nullptr || bound.verifyExt == nullptr || bound.checkQuality == nullptr) {
        palFreeLibrary(library);
        return TCS_RESULT_ERROR;
    }
    std::memset(m->idString, 0, sizeof m->idString);
    std::memcpy(m->idString, "Orbis", 5);
    m->id = MSS_MATCHER_ORBIS;
    m->templateType = 17;
    m->controlFlags = 0;
    m->Open = matcherOrbisOpen;
    m->Close = matchOrbisClose;
    m->SetFAR = matcherOrbisSetFAR;
    m->DestroyEnrollTemplate = matcherOrbisDestroyEnrollTemplate;
    m->AddImageToTemplate = matcherOrbisAddImageToTemplate;
    m->MatchImageToTemplates = matcherOrbisMatchImageToTemplates;
    m->MatchImageToTemplatesExt = matcherOrbisMatchImageToTemplatesExt;
    m->SetParameter = matcherOrbisSetParameter;
    m->GetParameter = matcherOrbisGetParameter;
    m->Shutdown = matcherOrbisShutdown;
    m->Extract = matcherOrbisExtract;
    m->Match = matcherOrbisMatch;
    m->Generalize = matcherOrbisGeneralize;
    m->CheckQuality = matcherOrbisCheckQuality;
    m->ExportTemplate = nullptr;
    auto* s = static_cast<OrbisState*>(palRealMalloc(sizeof(OrbisState)));
    if (s == nullptr) {
        palFreeLibrary(library);
        return TCS_RESULT_OUT_OF_MEMORY;
    }
    *s = bound;
    s->library = library;
    s->mode = 1;
    s->threshold = 3000;
    m->state = s;
    return TCS_RESULT_OK;
}

}  // extern "C"
