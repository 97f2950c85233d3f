// Adaptive matcher (ids 257, 258, 260): wraps native matcher 1, 2 or 4, keeps up to eight native views
// per template in an "ARUS" container, and adds a matching probe as a new view while the template's
// update window is open.
#include "tcs/matching/adaptive_matcher.h"

#include "platform/clock.h"
#include "platform/memory.h"
#include "tcs/matching/adapter_support.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace mss {

namespace {

constexpr uint32_t kInnerFlagsIdle = MSS_FLAG_ADAPTIVE_MARK | MSS_FLAG_SHORT_IMAGES;  // 3
constexpr uint32_t kEnrollRate = 100000;
constexpr uint32_t kWindowRate = 1000000;
constexpr int32_t kThresholdForceMatch = -1;
constexpr int32_t kThresholdNoUpdate = -2;
constexpr uint32_t kBit21 = 1u << 21;
constexpr char kIdPrefix[] = "AEM 0.9: ";

struct AdaptiveState {
    uint32_t minimumViews;
    uint32_t maximumAttempts;
    uint32_t updateWindow;
    uint32_t maximumUpdates;
    uint32_t far;
    int32_t updateThreshold;
    MatcherRecord* inner;
    uint32_t acceptedViews;
    uint32_t attempts;
    void* viewFeatures[kMaxViews];
    uint32_t minimumHeight;
    // The inner matcher's unfinished enrolment template (matcher 4 makes one at the first image).
    // Kept here rather than handed out: the caller would hold a handle to a record that the finished
    // container replaces.
    EnrollTemplate* pendingNative;
};

AdaptiveState* stateOf(MatcherRecord* m) { return static_cast<AdaptiveState*>(m->state); }

uint16_t le16(const uint8_t* at) { return uint16_t(at[0] | at[1] << 8); }
void putLe16(uint8_t* at, uint32_t v) {
    at[0] = uint8_t(v);
    at[1] = uint8_t(v >> 8);
}
void putLe32(uint8_t* at, uint32_t v) {
    for (int i = 0; i < 4; ++i) at[i] = uint8_t(v >> (8 * i));
}

uint32_t roundedView(uint32_t size) { return (kViewHeader + size + 3) & ~3u; }

// The end of the views (offset into the data), or 0 when the container is damaged.
uint32_t viewsEnd(const EnrollTemplate* t) {
    uint32_t at = kAdaptiveHeader;
    for (uint32_t v = 0; v < t->data[5]; ++v) {
        if (at + kViewHeader > t->dataSize) return 0;
        const uint32_t size = le16(t->data + at);
        if (size < kViewHeader || at + size > t->dataSize) return 0;
        at += size;
    }
    return at;
}

void stamp(EnrollTemplate* container) { putLe32(container->data + 12, palGetSecondsSinceEpoch()); }

uint32_t innerId(const AdaptiveState* s) { return s->inner != nullptr ? s->inner->id : 0; }

void restoreInner(AdaptiveState* s) {
    s->inner->controlFlags = kInnerFlagsIdle;
    if (s->inner->SetFAR != nullptr) s->inner->SetFAR(s->inner, s->far);
}

void* keptProbe(const AdaptiveState* s) {
    return innerId(s) == MSS_MATCHER_ORBIS ? s->inner->probeFeatures2 : s->inner->probeFeatures;
}

void dropNative(AdaptiveState* s, EnrollTemplate*& native) {
    if (native == nullptr) return;
    if (s->inner->DestroyEnrollTemplate != nullptr) {
        s->inner->DestroyEnrollTemplate(s->inner, native);
    } else if (native->version != 0) {
        _tcsTemplateDestroy(native);
    }
    native = nullptr;
}

// The inner matcher's kept probe features, taken over as the features of an enrolment view: the
// inner field is cleared, so the next image cannot release them while the view still needs them
// (matcher 4 keeps one feature-set handle per image, and its view is rebuilt from it later).
void* takeKeptProbe(AdaptiveState* s) {
    MatcherRecord* in = s->inner;
    void*& field = innerId(s) == MSS_MATCHER_ORBIS ? in->probeFeatures2 : in->probeFeatures;
    void* kept = field;
    field = nullptr;
    return kept;
}

bool holdsViewFeatures(const AdaptiveState* s) {
    return std::any_of(std::begin(s->viewFeatures), std::end(s->viewFeatures), [](void* f) { return f != nullptr; });
}

// Hands one view's features back to the inner matcher for release (its export mode 1).
void releaseViewFeatures(AdaptiveState* s, void*& features) {
    MatcherRecord* in = s->inner;
    if (features != nullptr && in->ExportTemplate != nullptr) {
        EnrollTemplate* none = nullptr;
        uint32_t size = 0;
        in->ExportTemplate(in, features, 0, &none, &size, 1, 0);
    }
    features = nullptr;
}

// An inner call with release-only set: frees what the inner matcher keeps (probe features, matcher
// 1's enrolment records), and the views' features the wrapper took over.
void releaseInnerRecords(AdaptiveState* s) {
    MatcherRecord* in = s->inner;
    for (void*& features : s->viewFeatures) releaseViewFeatures(s, features);
    const uint32_t saved = in->controlFlags;
    in->controlFlags = (saved | MSS_FLAG_RELEASE_ONLY) & ~(MSS_FLAG_KEEP_ENROLL_RECORDS | MSS_FLAG_KEEP_PROBE);
    uint32_t complete = 0;
    EnrollTemplate* none = nullptr;
    if (in->AddImageToTemplate != nullptr) in->AddImageToTemplate(in, nullptr, &none, &complete);
    if (in->MatchImageToTemplates != nullptr) {
        MatchResult scratch{};
        in->MatchImageToTemplates(in, nullptr, nullptr, 0, 1, &scratch);
        palRealFree(scratch.extraData);
    }
    in->controlFlags = saved;
}

uint32_t windowOf(MatcherRecord* m, const AdaptiveState* s, const EnrollTemplate* t) {
    if ((m->controlFlags & MSS_FLAG_NO_UPDATE) != 0 || s->updateThreshold == kThresholdNoUpdate) return 0;
    if (t->dataSize < kAdaptiveHeader) return 0;
    return checkIfEnrollmentWindowOpen(t->data[6], s->maximumUpdates, s->updateWindow, readLe32(t->data + 12),
                                       palGetSecondsSinceEpoch());
}

// Matches the probe against every view of one template: the largest score, and whether any view
// matched. With stopAtMatch the first matching view decides the score.
TcsResult matchTemplateViews(AdaptiveState* s, ImageRecord* image, const EnrollTemplate* t, uint32_t mode,
                             bool stopAtMatch, bool& firstCall, uint32_t& score, bool& matched) {
    MatcherRecord* in = s->inner;
    ContainerView views[kMaxViews];
    uint32_t count = 0;
    if (!containerViews(t, views, &count)) {
        // A native template (or anything else) is one view of its own.
        views[0] = {t->data, t->dataSize};
        count = 1;
    }
    score = 0;
    matched = false;
    TcsResult last = TCS_RESULT_OK;
    for (uint32_t v = 0; v < count; ++v) {
        in->singleTemplateData = const_cast<uint8_t*>(views[v].data);
        in->singleTemplateSize = views[v].size;
        MatchResult r{};
        last = in->MatchImageToTemplates(in, image, nullptr, 1, mode, &r);
        palRealFree(r.extraData);  // matcher 2's extra output belongs to a result nobody keeps
        if (firstCall) {
            in->controlFlags |= MSS_FLAG_PROBE_READY;
            firstCall = false;
        }
        if (last != TCS_RESULT_OK) continue;
        if (stopAtMatch && r.status == 1) {
            score = r.score;
            matched = true;
            break;
        }
        score = std::max(score, r.score);
        if (r.status == 1) matched = true;
    }
    return last;
}

// Stores the probe as a new view of the matched template while its window is open. 1 when the
// template was updated (or would have been but the probe is not stored), 0 otherwise.
uint32_t adaptiveUpdateEnrollment(MatcherRecord* m, AdaptiveState* s, EnrollTemplate* t, ImageRecord* image,
                                  MatchResult* result, uint32_t score, uint32_t index) {
    const uint32_t window = windowOf(m, s, t);
    const bool open = window == 3;
    bool store = false;
    if (open) {
        t->data[6] = uint8_t(t->data[6] + 1);
        if (result->status == 1) {
            uint32_t limit = 0xFFFFFFFFu;
            switch (innerId(s)) {
                case MSS_MATCHER_ORBIS: limit = 2500; break;
                case MSS_MATCHER_MINUTIAE: limit = 200; break;
                default: {
                    ContainerView views[kMaxViews];
                    uint32_t count = 0;
                    containerViews(t, views, &count);
                    if (s->minimumViews > 3 || count > 3) limit = 2284;
                    break;
                }
            }
            store = score <= limit;
            result->index = index;
            result->finger = t->finger;
        } else if (s->updateThreshold == kThresholdForceMatch) {
            result->status = 1;
            result->index = index;
            if (score < 1) {
                result->score = 3001;
                result->finger = 0;
            } else {
                result->score = 3001 + score;
                result->finger = t->finger;
            }
            store = true;
        } else if (s->updateThreshold != 0 && score >= uint32_t(s->updateThreshold)) {
            result->status = 1;
            result->index = index;
            result->finger = t->finger;
            store = true;
        }
    } else {
        result->score = score;
        result->index = index;
        result->finger = t->finger;
    }
    result->userId = t->userId;
    if (!open) return 0;
    if (!store) return 1;
    MatcherRecord* in = s->inner;
    if (in->ExportTemplate == nullptr || keptProbe(s) == nullptr) return 0;
    EnrollTemplate* native = nullptr;
    uint32_t size = 0;
    if (in->ExportTemplate(in, keptProbe(s), in->probeFeatureSize, &native, &size, 2, 0) != TCS_RESULT_OK ||
        native == nullptr)
        return 0;
    TcsResult added = addEnrollmentToContainer(t, native->data, native->dataSize, image != nullptr ? image->rows : 0,
                                               image != nullptr ? image->quality : 0);
    if (added == TCS_RESULT_OK) stamp(t);
    dropNative(s, native);
    return added == TCS_RESULT_OK ? 1 : 0;
}

// Frees the inner matcher's kept probe and clears the single-template fields after a match.
TcsResult releaseProbe(AdaptiveState* s, ImageRecord* image, uint32_t mode) {
    MatcherRecord* in = s->inner;
    in->controlFlags = (in->controlFlags & ~MSS_FLAG_KEEP_PROBE) | MSS_FLAG_RELEASE_ONLY;
    MatchResult scratch{};
    TcsResult result = in->MatchImageToTemplates(in, image, nullptr, 0, mode, &scratch);
    palRealFree(scratch.extraData);
    if (result == TCS_RESULT_OK) {
        in->controlFlags &= ~(MSS_FLAG_RELEASE_ONLY | MSS_FLAG_SINGLE_TEMPLATE);
        in->singleTemplateData = nullptr;
        in->singleTemplateSize = 0;
        in->probeFeatures = nullptr;
        in->probeFeatures2 = nullptr;
    }
    return result;
}

TcsResult adaptiveMatcherOpen(MatcherRecord* m) {
    if (m == nullptr || stateOf(m) == nullptr) return TCS_RESULT_BAD_PARAM;
    AdaptiveState* s = stateOf(m);
    MatcherRecord* in = s->inner;
    TcsResult result = in->Open != nullptr ? in->Open(in) : TCS_RESULT_NOT_IMPLEMENTED;
    if (result == TCS_RESULT_OK) {
        std::memset(m->idString, 0, sizeof m->idString);
        std::memcpy(m->idString, kIdPrefix, sizeof kIdPrefix - 1);
        const size_t room = sizeof m->idString - 1 - (sizeof kIdPrefix - 1);
        std::memcpy(m->idString + sizeof kIdPrefix - 1, in->idString, strnlen(in->idString, room));
        in->controlFlags = kInnerFlagsIdle;
    }
    return result;
}

TcsResult adaptiveMatcherClose(MatcherRecord* m) {
    if (m == nullptr || stateOf(m) == nullptr) return TCS_RESULT_BAD_PARAM;
    AdaptiveState* s = stateOf(m);
    // What an unfinished enrolment holds goes first: the inner close ends the engine it came from.
    dropNative(s, s->pendingNative);
    for (void*& features : s->viewFeatures) releaseViewFeatures(s, features);
    MatcherRecord* in = s->inner;
    if (in->Close != nullptr) in->Close(in);
    return TCS_RESULT_OK;
}

TcsResult adaptiveMatcherShutdown(MatcherRecord* m) {
    if (m == nullptr) return TCS_RESULT_BAD_PARAM;
    AdaptiveState* s = stateOf(m);
    if (s == nullptr) return TCS_RESULT_OK;
    TcsResult result = TCS_RESULT_OK;
    if (s->inner != nullptr) {
        dropNative(s, s->pendingNative);
        for (void*& features : s->viewFeatures) releaseViewFeatures(s, features);
        result = s->inner->Shutdown != nullptr ? s->inner->Shutdown(s->inner) : TCS_RESULT_OK;
        palRealFree(s->inner);
    }
    palRealFree(s);
    m->state = nullptr;
    return result;
}

TcsResult adaptiveMatcherSetFAR(MatcherRecord* m, uint32_t rate) {
    if (m == nullptr || stateOf(m) == nullptr) return TCS_RESULT_BAD_PARAM;
    AdaptiveState* s = stateOf(m);
    TcsResult result = s->inner->SetFAR != nullptr ? s->inner->SetFAR(s->inner, rate) : TCS_RESULT_NOT_IMPLEMENTED;
    if (result == TCS_RESULT_OK) s->far = rate;
    return result;
}

uint32_t* parameterField(AdaptiveState* s, uint32_t id) {
    switch (id) {
        case 6: return &s->minimumViews;
        case 7: return &s->updateWindow;
        case 8: return &s->maximumUpdates;
        case 9: return reinterpret_cast<uint32_t*>(&s->updateThreshold);
        case 11: return &s->minimumHeight;
        case 12: return &s->maximumAttempts;
        default: return nullptr;
    }
}

TcsResult adaptiveMatcherSetParameter(MatcherRecord* m, uint32_t id, uint32_t value) {
    if (m == nullptr || stateOf(m) == nullptr) return TCS_RESULT_BAD_PARAM;
    AdaptiveState* s = stateOf(m);
    if (uint32_t* field = parameterField(s, id)) {
        *field = value;
        return TCS_RESULT_OK;
    }
    return s->inner->SetParameter != nullptr ? s->inner->SetParameter(s->inner, id, value)
                                             : TCS_RESULT_NOT_IMPLEMENTED;
}

TcsResult adaptiveMatcherGetParameter(MatcherRecord* m, uint32_t id, uint32_t* outValue) {
    if (outValue == nullptr) return TCS_RESULT_OK;
    if (m == nullptr || stateOf(m) == nullptr) return TCS_RESULT_BAD_PARAM;
    AdaptiveState* s = stateOf(m);
    if (uint32_t* field = parameterField(s, id)) {
        *outValue = *field;
        return TCS_RESULT_OK;
    }
    return s->inner->GetParameter != nullptr ? s->inner->GetParameter(s->inner, id, outValue)
                                             : TCS_RESULT_NOT_IMPLEMENTED;
}

TcsResult adaptiveMatcherDestroyEnrollTemplate(MatcherRecord* m, EnrollTemplate* t) {
    if (m == nullptr || stateOf(m) == nullptr) return TCS_RESULT_BAD_PARAM;
    MatcherRecord* in = stateOf(m)->inner;
    return in->DestroyEnrollTemplate != nullptr ? in->DestroyEnrollTemplate(in, t) : TCS_RESULT_NOT_IMPLEMENTED;
}

TcsResult adaptiveMatcherMatch(MatcherRecord* m, EnrollTemplate* a, EnrollTemplate* b, MatchResult* result) {
    if (a == nullptr || b == nullptr) return TCS_RESULT_NULL_POINTER;
    if (m == nullptr || stateOf(m) == nullptr) return TCS_RESULT_BAD_PARAM;
    MatcherRecord* in = stateOf(m)->inner;
    return in->Match != nullptr ? in->Match(in, a, b, result) : TCS_RESULT_NOT_IMPLEMENTED;
}

TcsResult adaptiveMatcherGeneralize(MatcherRecord* m, EnrollTemplate** templates, uint32_t count,
                                    EnrollTemplate** inOut, uint32_t* outIndex) {
    if (m == nullptr || stateOf(m) == nullptr) return TCS_RESULT_BAD_PARAM;
    MatcherRecord* in = stateOf(m)->inner;
    return in->Generalize != nullptr ? in->Generalize(in, templates, count, inOut, outIndex)
                                     : TCS_RESULT_NOT_IMPLEMENTED;
}

TcsResult adaptiveMatcherCheckQuality(MatcherRecord* m, ImageRecord* image, uint32_t* outVerdict) {
    if (image == nullptr) return TCS_RESULT_NULL_POINTER;
    if (m == nullptr || stateOf(m) == nullptr) return TCS_RESULT_BAD_PARAM;
    MatcherRecord* in = stateOf(m)->inner;
    return in->CheckQuality != nullptr ? in->CheckQuality(in, image, outVerdict) : TCS_RESULT_NOT_IMPLEMENTED;
}

TcsResult adaptiveMatcherExtract(MatcherRecord* m, ImageRecord* image, EnrollTemplate** outTemplate) {
    if (m == nullptr || image == nullptr || outTemplate == nullptr) return TCS_RESULT_NULL_POINTER;
    AdaptiveState* s = stateOf(m);
    if (s == nullptr) return TCS_RESULT_MATCHER_OPEN_FAILED;
    MatcherRecord* in = s->inner;
    if (in->Extract == nullptr) return TCS_RESULT_NOT_IMPLEMENTED;
    EnrollTemplate* native = nullptr;
    TcsResult result = in->Extract(in, image, &native);
    if (result != TCS_RESULT_OK || native == nullptr) return result;
    EnrollTemplate* container = nullptr;
    TcsResult wrapped = adaptiveWrap(native->data, native->dataSize, m->id, image->rows, image->quality,
                                     palGetSecondsSinceEpoch(), &container);
    dropNative(s, native);
    if (wrapped != TCS_RESULT_OK) return TCS_RESULT_INVALID;
    *outTemplate = container;
    return result;
}

TcsResult adaptiveMatcherMatchImageToTemplates(MatcherRecord* m, ImageRecord* image, EnrollTemplate** templates,
                                               uint32_t count, uint32_t mode, MatchResult* result) {
    if (image == nullptr) return TCS_RESULT_NULL_POINTER;
    if (m == nullptr || stateOf(m) == nullptr || result == nullptr) return TCS_RESULT_BAD_PARAM;
    AdaptiveState* s = stateOf(m);
    MatcherRecord* in = s->inner;
    if (in->MatchImageToTemplates == nullptr) return TCS_RESULT_NOT_IMPLEMENTED;
    std::memset(result, 0, sizeof *result);
    in->controlFlags |= MSS_FLAG_KEEP_PROBE | MSS_FLAG_SINGLE_TEMPLATE;
    bool firstCall = true;
    uint32_t bestScore = 0, bestIndex = 0;
    bool bestMatched = false, any = false;
    for (uint32_t i = 0; templates != nullptr && i < count; ++i) {
        if (templates[i] == nullptr) continue;
        uint32_t score = 0;
        bool matched = false;
        matchTemplateViews(s, image, templates[i], mode, false, firstCall, score, matched);
        if (!any || score > bestScore) {
            bestScore = score;
            bestIndex = i;
            any = true;
        }
        if (matched) bestMatched = true;
    }
    result->score = bestScore;
    result->status = bestMatched ? 1 : 0;
    result->index = bestIndex;
    if (any && adaptiveUpdateEnrollment(m, s, templates[bestIndex], image, result, bestScore, bestIndex) == 1)
        result->enrollUpdate = 1;
    TcsResult released = releaseProbe(s, image, mode);
    restoreInner(s);
    return released;
}

TcsResult adaptiveMatcherMatchImageToTemplatesExt(MatcherRecord* m, ImageRecord* image, EnrollTemplate** templates,
                                                  uint32_t count, uint32_t* inOutResults, MatchResult** results) {
    if (image == nullptr) return TCS_RESULT_NULL_POINTER;
    if (m == nullptr || stateOf(m) == nullptr || results == nullptr || inOutResults == nullptr || templates == nullptr)
        return TCS_RESULT_BAD_PARAM;
    AdaptiveState* s = stateOf(m);
    MatcherRecord* in = s->inner;
    if (in->MatchImageToTemplates == nullptr) return TCS_RESULT_NOT_IMPLEMENTED;
    // One result per template, but never more than the caller made buffers for.
    const uint32_t number = std::min(count, *inOutResults);
    in->controlFlags |= MSS_FLAG_KEEP_PROBE | MSS_FLAG_SINGLE_TEMPLATE;
    bool firstCall = true;
    for (uint32_t i = 0; i < number; ++i) {
        MatchResult* r = results[i];
        std::memset(r, 0, sizeof *r);
        EnrollTemplate* t = templates[i];
        if (t == nullptr) continue;
        const bool wide = windowOf(m, s, t) == 3;
        if (wide && in->SetFAR != nullptr) in->SetFAR(in, kWindowRate);
        uint32_t score = 0;
        bool matched = false;
        matchTemplateViews(s, image, t, 1, true, firstCall, score, matched);
        if (wide && in->SetFAR != nullptr) in->SetFAR(in, s->far);
        r->score = score;
        r->status = matched ? 1 : 0;
        r->index = i;
        if (adaptiveUpdateEnrollment(m, s, t, image, r, score, i) == 1) r->enrollUpdate = 1;
    }
    *inOutResults = number;
    TcsResult released = releaseProbe(s, image, 1);
    restoreInner(s);
    return released;
}

TcsResult adaptiveMatcherAddImageToTemplate(MatcherRecord* m, ImageRecord* image, EnrollTemplate** inOut,
                                            uint32_t* complete) {
    if (m == nullptr) return TCS_RESULT_BAD_PARAM;
    AdaptiveState* s = stateOf(m);
    if (s == nullptr) return TCS_RESULT_MATCHER_OPEN_FAILED;
    if (image == nullptr || inOut == nullptr || complete == nullptr) return TCS_RESULT_NULL_POINTER;
    *complete = 0;
    MatcherRecord* in = s->inner;
    if (in->AddImageToTemplate == nullptr) return TCS_RESULT_NOT_IMPLEMENTED;
    EnrollTemplate* container = *inOut;
    // Images are added only to the wrapper's own containers: views are written in place and the data
    // size is set to the full container, which a smaller record could not hold.
    ContainerView views[kMaxViews];
    uint32_t viewCount = 0;
    if (container != nullptr &&
        (container->dataSize < kAdaptiveDataSize || !containerViews(container, views, &viewCount)))
        return TCS_RESULT_BAD_PARAM;
    TcsResult result = TCS_RESULT_OK;
    bool innerGave304 = false;

    if (adaptiveRejectEnrollImage(image, s->minimumHeight)) {
        ++s->attempts;
        result = MSS_RESULT_IMAGE_REJECTED;
        if (container == nullptr || s->attempts < s->maximumAttempts) {
            restoreInner(s);
            return result;
        }
    } else {
        if (container == nullptr && s->pendingNative == nullptr && s->acceptedViews == 0) {
            if (in->SetFAR != nullptr) in->SetFAR(in, kEnrollRate);
        }
        ++s->attempts;
        EnrollTemplate* native = container == nullptr ? s->pendingNative : nullptr;
        s->pendingNative = nullptr;
        in->controlFlags |= MSS_FLAG_KEEP_PROBE | MSS_FLAG_SINGLE_TEMPLATE | MSS_FLAG_KEEP_ENROLL_RECORDS;
        result = in->AddImageToTemplate(in, image, &native, complete);
        in->controlFlags &= ~(MSS_FLAG_KEEP_PROBE | MSS_FLAG_SINGLE_TEMPLATE | MSS_FLAG_KEEP_ENROLL_RECORDS);
        innerGave304 = result == TCS_RESULT_MATCHER_ENROLL_FAILED;
        if (result == TCS_RESULT_OK || innerGave304) {
            const uint32_t k = std::min(s->acceptedViews, kMaxViews - 1);
            ++s->acceptedViews;
            void* kept = takeKeptProbe(s);
            if (kept != s->viewFeatures[k]) releaseViewFeatures(s, s->viewFeatures[k]);
            s->viewFeatures[k] = kept;
            if (native != nullptr && *complete == 1 && container == nullptr) {
                TcsResult wrapped = adaptiveWrap(native->data, native->dataSize, m->id, image->rows, image->quality,
                                                 palGetSecondsSinceEpoch(), &container);
                dropNative(s, native);
                if (wrapped != TCS_RESULT_OK) {
                    *complete = 0;
                    result = wrapped;
                } else {
                    container->data[7] = 1;
                    *inOut = container;
                }
            } else if (native != nullptr && *complete == 1) {
                TcsResult added = addEnrollmentToContainer(container, native->data, native->dataSize, image->rows,
                                                           image->quality);
                dropNative(s, native);
                if (added != TCS_RESULT_OK) {
                    *complete = 0;
                    result = added;
                } else {
                    stamp(container);
                }
            } else if (native != nullptr) {
                s->pendingNative = native;  // unfinished: stays with the wrapper until it completes
            }
        } else {
            // The image did not count: an unfinished native template waits for the next one.
            if (native != nullptr && container == nullptr) s->pendingNative = native;
            if (result == MSS_RESULT_IMAGE_REJECTED && keptProbe(s) == nullptr && !holdsViewFeatures(s))
                dropNative(s, s->pendingNative);
        }
    }

    if (*complete == 1) {
        releaseInnerRecords(s);
    } else if (s->attempts >= s->minimumViews || innerGave304) {
        // Rebuild the container from the inner matcher's kept images, one view each.
        const uint32_t taken = std::min(s->acceptedViews, kMaxViews);
        if (in->ExportTemplate == nullptr || taken == 0) {
            if (innerGave304 || taken == 0) result = innerGave304 ? TCS_RESULT_MATCHER_ENROLL_FAILED : result;
        } else {
            EnrollTemplate* rebuilt = nullptr;
            TcsResult made = TCS_RESULT_OK;
            for (uint32_t k = 0; k < taken && made == TCS_RESULT_OK; ++k) {
                EnrollTemplate* native = nullptr;
                uint32_t size = 0;
                made = in->ExportTemplate(in, s->viewFeatures[k], 0, &native, &size, 0, k);
                if (made != TCS_RESULT_OK || native == nullptr) {
                    if (made == TCS_RESULT_OK) made = TCS_RESULT_INVALID;
                    break;
                }
                if (rebuilt == nullptr) {
                    made = adaptiveWrap(native->data, native->dataSize, m->id, image->rows, image->quality,
                                        palGetSecondsSinceEpoch(), &rebuilt);
                } else {
                    made = addEnrollmentToContainer(rebuilt, native->data, native->dataSize, image->rows,
                                                    image->quality);
                }
                if (native->version == 1) _tcsTemplateDestroy(native);
            }
            releaseInnerRecords(s);
            dropNative(s, s->pendingNative);
            if (made == TCS_RESULT_OK && container != nullptr) {
                // The caller's container belongs to its handle: its views are rebuilt in place (its
                // update count stays), never freed and replaced under the handle.
                const uint8_t updates = container->data[6];
                std::memcpy(container->data, rebuilt->data, kAdaptiveDataSize);
                container->data[6] = updates;
                _tcsTemplateDestroy(rebuilt);
                rebuilt = container;
            }
            if (made != TCS_RESULT_OK) {
                if (rebuilt != nullptr && rebuilt != container) _tcsTemplateDestroy(rebuilt);
                result = made;
            } else {
                *inOut = rebuilt;
                *complete = 1;
                result = TCS_RESULT_OK;
            }
        }
    }

    if (*complete == 1) {
        EnrollTemplate* done = *inOut;
        done->dataSize = kAdaptiveDataSize;
        done->data[7] = 0;
        stamp(done);
        s->acceptedViews = 0;
        s->attempts = 0;
    } else if (s->attempts >= s->maximumAttempts) {
        s->acceptedViews = 0;
        s->attempts = 0;
        dropNative(s, s->pendingNative);
        releaseInnerRecords(s);
        result = TCS_RESULT_MATCHER_ENROLL_FAILED;
    } else if (result != TCS_RESULT_OK && result != MSS_RESULT_IMAGE_REJECTED &&
               result != MSS_RESULT_QUALITY_UNEXPECTED) {
        s->acceptedViews = 0;
    }
    restoreInner(s);
    return result;
}

}  // namespace

MatcherRecord* adaptiveInner(MatcherRecord* wrapper) {
    AdaptiveState* s = wrapper != nullptr ? stateOf(wrapper) : nullptr;
    return s != nullptr ? s->inner : nullptr;
}

uint32_t adaptiveRankQuality(uint32_t quality, uint32_t rows) {
    struct Weight {
        uint32_t bit;
        uint32_t weight;
    };
    static constexpr Weight kWeights[] = {{3, 15}, {2, 11}, {13, 10}, {24, 5}, {25, 5}, {12, 4}, {17, 4},
                                          {18, 4}, {19, 4}, {0, 3},   {16, 3}, {1, 2},  {4, 2},  {6, 2},
                                          {15, 2}, {5, 1},  {14, 1},  {20, 1}, {22, 1}};
    uint64_t sum = 0;
    const bool bit31 = (quality >> 31) & 1, bit21 = (quality >> 21) & 1;
    if (bit31) sum += bit21 ? 30 : 10;
    else if (bit21) sum += 20;
    for (const Weight& w : kWeights) {
        if ((quality >> w.bit) & 1) sum += w.weight;
    }
    sum += uint32_t(420u - rows) / 8;  // unsigned on purpose: taller than 420 rows ranks 255
    return uint32_t(std::min<uint64_t>(sum, 255));
}

bool adaptiveRejectEnrollImage(const ImageRecord* image, uint32_t minimumHeight) {
    if (image == nullptr) return true;
    const uint64_t height = image->verticalPpi != 0 ? uint64_t(image->rows) * 508 / image->verticalPpi : image->rows;
    return height < minimumHeight || (image->quality & kBit21) != 0;
}

uint32_t checkIfEnrollmentWindowOpen(uint32_t updates, uint32_t maximumUpdates, uint32_t window, uint32_t time,
                                     uint32_t now) {
    uint32_t state = 0;
    if (now - time < window) state |= 2;
    if (updates < maximumUpdates) state |= 1;
    return state;
}

TcsResult adaptiveWrap(const uint8_t* data, uint32_t size, uint32_t templateType, uint32_t rows, uint32_t quality,
                       uint32_t time, EnrollTemplate** outContainer) {
    *outContainer = nullptr;
    if (data == nullptr || kAdaptiveHeader + roundedView(size) > kAdaptiveDataSize) return TCS_RESULT_BUFFER_TOO_SMALL;
    EnrollTemplate* c = _tcsTemplateAlloc(kAdaptiveDataSize);
    if (c == nullptr) return TCS_RESULT_OUT_OF_MEMORY;
    c->dataSize = kAdaptiveDataSize;
    c->templateType = templateType;
    c->version = 1;
    std::memcpy(c->data, "ARUS", 4);
    c->data[4] = 1;
    putLe32(c->data + 12, time);
    TcsResult result = addEnrollmentToContainer(c, data, size, rows, quality);
    if (result != TCS_RESULT_OK) {
        _tcsTemplateDestroy(c);
        return result;
    }
    *outContainer = c;
    return TCS_RESULT_OK;
}

TcsResult addEnrollmentToContainer(EnrollTemplate* c, const uint8_t* data, uint32_t size, uint32_t rows,
                                   uint32_t quality) {
    if (c == nullptr || data == nullptr) return TCS_RESULT_NULL_POINTER;
    const uint32_t end = viewsEnd(c);
    const uint32_t viewSize = roundedView(size);
    if (end == 0 || uint64_t(end) + viewSize > c->dataSize || viewSize > 0xFFFF) return TCS_RESULT_BUFFER_TOO_SMALL;
    if (c->data[5] >= kMaxViews) return TCS_RESULT_INVALID;
    uint8_t* view = c->data + end;
    std::memset(view, 0, viewSize);
    putLe16(view, viewSize);
    // The first two views both carry index 1: the index is the view count when it is written, and the
    // first view is written into a container that already counts it.
    view[2] = uint8_t(c->data[5] == 0 ? 1 : c->data[5]);
    view[3] = uint8_t(rows / 8);
    view[4] = uint8_t(adaptiveRankQuality(quality, rows));
    std::memcpy(view + kViewHeader, data, size);
    c->data[5] = uint8_t(c->data[5] + 1);
    return TCS_RESULT_OK;
}

bool containerViews(const EnrollTemplate* t, ContainerView* views, uint32_t* count) {
    *count = 0;
    if (t == nullptr || t->dataSize < kAdaptiveHeader || std::memcmp(t->data, "ARUS", 4) != 0 || t->data[4] != 1 ||
        t->data[5] > kMaxViews)
        return false;
    uint32_t at = kAdaptiveHeader;
    for (uint32_t v = 0; v < t->data[5]; ++v) {
        if (at + kViewHeader > t->dataSize) return false;
        const uint32_t size = le16(t->data + at);
        if (size < kViewHeader || at + size > t->dataSize) return false;
        views[v] = {t->data + at + kViewHeader, size - kViewHeader};
        at += size;
    }
    *count = t->data[5];
    return true;
}

}  // namespace mss

extern "C" TcsResult mssAdaptiveMatcherOpen(MatcherRecord* m, uint32_t id) {
    using namespace mss;
    if (m == nullptr) return TCS_RESULT_BAD_PARAM;
    m->id = id;
    m->templateType = MSS_MATCHER_ADAPTIVE;
    std::memset(m->idString, 0, sizeof m->idString);
    std::memcpy(m->idString, kIdPrefix, sizeof kIdPrefix - 1);
    m->controlFlags = 0;
    m->Open = adaptiveMatcherOpen;
    m->Close = adaptiveMatcherClose;
    m->SetFAR = adaptiveMatcherSetFAR;
    m->DestroyEnrollTemplate = adaptiveMatcherDestroyEnrollTemplate;
    m->AddImageToTemplate = adaptiveMatcherAddImageToTemplate;
    m->MatchImageToTemplates = adaptiveMatcherMatchImageToTemplates;
    m->MatchImageToTemplatesExt = adaptiveMatcherMatchImageToTemplatesExt;
    m->SetParameter = adaptiveMatcherSetParameter;
    m->GetParameter = adaptiveMatcherGetParameter;
    m->Shutdown = adaptiveMatcherShutdown;
    m->Extract = adaptiveMatcherExtract;
    m->Match = adaptiveMatcherMatch;
    m->Generalize = adaptiveMatcherGeneralize;
    m->CheckQuality = adaptiveMatcherCheckQuality;
    m->ExportTemplate = nullptr;
    auto* s = static_cast<AdaptiveState*>(palRealMalloc(sizeof(AdaptiveState)));
    auto* inner = static_cast<MatcherRecord*>(palRealMalloc(sizeof(MatcherRecord)));
    if (s == nullptr || inner == nullptr) {
        palRealFree(s);
        palRealFree(inner);
        return TCS_RESULT_OUT_OF_MEMORY;
    }
    std::memset(s, 0, sizeof *s);
    std::memset(inner, 0, sizeof *inner);
    inner->client = m->client;
    TcsResult result;
    switch (id - MSS_MATCHER_ADAPTIVE) {
        case MSS_MATCHER_MINUTIAE: result = mssMinutiaeOpen(inner); break;
        case MSS_MATCHER_ORBIS: result = mssOrbisOpen(inner); break;
        case MSS_MATCHER_RECOG: result = mssRecogOpen(inner); break;
        default: result = TCS_RESULT_NOT_IMPLEMENTED; break;
    }
    if (result != TCS_RESULT_OK) {
        // A failed inner opener leaves nothing behind, so the wrapper keeps nothing either.
        palRealFree(inner->state);
        palRealFree(inner);
        palRealFree(s);
        return result;
    }
    s->inner = inner;
    s->minimumViews = 5;
    s->maximumAttempts = 12;
    s->updateWindow = 86400;
    s->maximumUpdates = 8;
    s->far = 100000;
    s->updateThreshold = inner->id == MSS_MATCHER_ORBIS ? 555 : inner->id == MSS_MATCHER_RECOG ? 899 : 1;
    s->minimumHeight = 120;
    m->state = s;
    return TCS_RESULT_OK;
}
