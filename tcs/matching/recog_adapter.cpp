// Matcher 4 over the recognition engine: images become ANSI 381 finger image records, their greys
// stretched, and engine feature sets; enrolment collects views until the engine can make a
// template, and a comparison's false-match probability maps onto a 0..3000 score.
#include "tcs/matching/recog_adapter.h"

#include "engines/recognition/recog_records.h"
#include "platform/memory.h"
#include "tcs/matching/adapter_support.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

constexpr uint32_t kAnsiFormat = RECOG_FORMAT_ANSI_381;
constexpr uint32_t kFeatureFormat = RECOG_FORMAT_FEATURE_SET;
constexpr uint32_t kTemplateFormat = RECOG_FORMAT_TEMPLATE;
constexpr uint32_t kPurposeProbe = 7;
constexpr uint32_t kPurposeEnroll = 1;
constexpr uint32_t kPurposeTemplate = 6;
constexpr uint32_t kAnsiHeader = 50;
constexpr uint32_t kTemplateData = 1800;
constexpr uint32_t kOpenThreshold = 214748;
constexpr uint32_t kMinEnrollRows = 150;
constexpr uint32_t kMaxOffered = 7;
constexpr uint32_t kExtractTries = 5;
// The narrowest grey band stretched to the full range (a gain of about 8).
constexpr uint32_t kMinStretchSpan = 32;
// The share of pixels left out at each end of the band a print's greys are stretched from (1/50),
// and the band of a print that already uses the full grey range (all but 1/1024 at each end within
// this many levels of black and white).
constexpr uint32_t kStretchOutliers = 50;
constexpr uint32_t kFullRangeOutliers = 1024;
constexpr uint32_t kFullRangeMargin = 16;
constexpr uint32_t kExportFlags = MSS_FLAG_SHORT_IMAGES | MSS_FLAG_PROBE_READY | MSS_FLAG_KEEP_PROBE |
                                  MSS_FLAG_KEEP_ENROLL_RECORDS;  // 270

struct RecogState {
    ContextInitBlock* init;
    RecogHandle context;
    RecogHandle enrollment;
    uint32_t mode;
    int32_t threshold;
    uint32_t enrolling;
    uint32_t accepted;
    uint32_t offered;
    uint32_t inProgress;
    mss::LivenessSums liveness;
};

RecogState* stateOf(MatcherRecord* m) { return static_cast<RecogState*>(m->state); }

void* my_malloc(size_t size, void*) { return size > 0xFFFFFFFFu ? nullptr : palRealMalloc(uint32_t(size)); }
void my_free(void* block, void*) { palRealFree(block); }

void closeHandle(RecogHandle& handle) {
    if (handle != nullptr) RecogCloseHandle(handle);
    handle = nullptr;
}

RecogHandle probeOf(MatcherRecord* m) { return static_cast<RecogHandle>(m->probeFeatures); }
void closeProbe(MatcherRecord* m) {
    RecogHandle probe = probeOf(m);
    closeHandle(probe);
    m->probeFeatures = nullptr;
}

void putBe16(uint8_t* at, uint32_t v) {
    at[0] = uint8_t(v >> 8);
    at[1] = uint8_t(v);
}
void putBe32(uint8_t* at, uint32_t v) {
    for (int i = 0; i < 4; ++i) at[i] = uint8_t(v >> (24 - 8 * i));
}

// Index into the score table: finer steps where the probability is small.
uint32_t scoreIndex(uint32_t p) {
    if (p <= 83) return 0;
    if (p <= 21474) return uint32_t(uint64_t(p) * 256 / 21474);
    if (p <= 4294799) return 256 + p / 21474;
    if (p <= 122406530) return 454 + p / 2147483;
    return 511;
}

// 512 non-increasing scores: about 321 per decade of the false-match probability at the upper end of
// each index's range, through the stored anchor rows.
const std::vector<uint16_t>& logScoreTable() {
    static const std::vector<uint16_t> table = [] {
        struct Anchor {
            uint32_t index;
            uint16_t score;
        };
        static constexpr Anchor kAnchors[] = {{0, 3000},   {1, 2381},   {2, 2284},   {64, 1800},
                                              {101, 1737}, {128, 1704}, {255, 1607}, {257, 1510},
                                              {259, 1413}, {281, 1152}, {300, 1075}, {400, 912},
                                              {455, 867},  {456, 811},  {510, 399},  {511, 0}};
        auto probability = [](uint32_t i) {
            if (i < 256) return double(i) * 21474.0 / 256.0 / 2147483648.0;
            if (i < 455) return double(i - 255) * 21474.0 / 2147483648.0;
            return double(i - 453) * 2147483.0 / 2147483648.0;
        };
        std::vector<uint16_t> t(512);
        size_t a = 0;
        for (uint32_t i = 0; i < 512; ++i) {
            while (a + 1 < std::size(kAnchors) && kAnchors[a + 1].index <= i) ++a;
            if (kAnchors[a].index == i) {
                t[i] = kAnchors[a].score;
                continue;
            }
            double s = -321.4 * std::log10(probability(i));
            const double high = kAnchors[a].score, low = kAnchors[a + 1].score;
            t[i] = uint16_t(std::clamp(s, low, high));
        }
        for (uint32_t i = 1; i < 512; ++i) t[i] = std::min(t[i], t[i - 1]);
        return t;
    }();
    return table;
}

uint32_t matchThreshold(uint32_t mode) { return mode == 2 ? 1413 : mode == 3 ? 1737 : 1152; }

// A feature set of the record: in place when both resolutions (read little-endian, as stored) lie in
// the band of 500 to 508 ppi; then exported and imported again in the engine's own format.
TcsResult recordToFeatureSet(RecogHandle context, uint8_t* record, uint32_t size, uint32_t purpose,
                             uint32_t importPurpose, RecogHandle* out) {
    *out = nullptr;
    const uint32_t h = uint32_t(record[28]) | uint32_t(record[29]) << 8;
    const uint32_t v = uint32_t(record[30]) | uint32_t(record[31]) << 8;
    RecogHandle first = nullptr;
    RecogResult r = (h > 62208 && h < 64770 && v > 62208 && v < 64770)
                        ? RecogCreateFeatureSetInPlace(context, record, size, kAnsiFormat, purpose, 0, &first)
                        : RecogCreateFeatureSet(context, record, size, kAnsiFormat, purpose, 0, &first);
    if (r != RECOG_OK || first == nullptr) {
        closeHandle(first);
        return TCS_RESULT_INVALID;
    }
    uint32_t length = 0;
    r = RecogExport(first, kFeatureFormat, nullptr, &length);
    std::vector<uint8_t> bytes(length);
    if (r == RECOG_OK && length != 0) r = RecogExport(first, kFeatureFormat, bytes.data(), &length);
    closeHandle(first);
    if (r != RECOG_OK || length == 0) return TCS_RESULT_INVALID;
    RecogHandle imported = nullptr;
    r = RecogImport(context, bytes.data(), length, kFeatureFormat, importPurpose, &imported);
    if (r != RECOG_OK || imported == nullptr) {
        closeHandle(imported);
        return TCS_RESULT_INVALID;
    }
    *out = imported;
    return TCS_RESULT_OK;
}

// The grey band that holds all but the darkest and the brightest count/outliers pixels.
void greyBand(const uint32_t (&histogram)[256], uint32_t count, uint32_t outliers, uint32_t& lo, uint32_t& hi) {
    const uint32_t left = count / outliers;
    lo = 0;
    hi = 255;
    for (uint32_t seen = histogram[0]; seen <= left && lo < 255;) seen += histogram[++lo];
    for (uint32_t seen = histogram[255]; seen <= left && hi > 0;) seen += histogram[--hi];
}

// Light pressure and dry skin give images whose greys fill a narrow band near white, and the engine
// counts a block as finger only above a fixed contrast: such a print was refused as having too few
// features. The record's pixels (never the caller's image) are stretched so that the band between
// the 2nd and the 98th percentile spans the full range. On the public optical prints that brings
// the equal error rate over all 2,880 impostor pairs from 1.8% (all but 1/1024 at each end) to 1.4%,
// with the fewest false rejections at low false acceptance of the bands (0.1 to 5%) and the mean and
// spread normalisations tried. A print that already uses the full range keeps the near-identity
// stretch of all but 1/1024 at each end. The gain stops at 8, so that a blank image's sensor noise
// is not blown up into ridges.
void stretchGreyRange(uint8_t* pixels, uint32_t count) {
    if (count == 0) return;
    uint32_t histogram[256] = {};
    for (uint32_t i = 0; i < count; ++i) ++histogram[pixels[i]];
    uint32_t lo = 0, hi = 255;
    greyBand(histogram, count, kFullRangeOutliers, lo, hi);
    if (lo > kFullRangeMargin || hi < 255 - kFullRangeMargin) greyBand(histogram, count, kStretchOutliers, lo, hi);
    if (hi <= lo) return;
    const uint32_t span = std::max(hi - lo, kMinStretchSpan);
    uint8_t map[256];
    for (uint32_t v = 0; v < 256; ++v) map[v] = uint8_t(v <= lo ? 0 : std::min((v - lo) * 255 / span, 255u));
    for (uint32_t i = 0; i < count; ++i) pixels[i] = map[pixels[i]];
}

TcsResult imageToFeatureSet(RecogHandle context, ImageRecord* image, uint32_t purpose, uint32_t importPurpose,
                            RecogHandle* out) {
    *out = nullptr;
    uint8_t* record = nullptr;
    uint32_t size = 0;
    TcsResult result = tcsImageToAnsi381(image, &record, &size);
    if (result != TCS_RESULT_OK) return result;
    stretchGreyRange(record + kAnsiHeader, size - kAnsiHeader);
    result = recordToFeatureSet(context, record, size, purpose, importPurpose, out);
    FreeAnsi381Image(record);
    return result;
}

void releaseState(MatcherRecord* m) {
    RecogState* s = stateOf(m);
    if (s == nullptr) return;
    closeProbe(m);
    closeHandle(s->enrollment);
    closeHandle(s->context);
    if (s->init != nullptr) palRealFree(s->init->user);
    palRealFree(s->init);
    palRealFree(s);
    m->state = nullptr;
}

TcsResult matcherRecogOpen(MatcherRecord* m) {
    if (m == nullptr) return TCS_RESULT_BAD_PARAM;
    if (m->state == nullptr) {
        auto* s = static_cast<RecogState*>(palRealMalloc(sizeof(RecogState)));
        if (s == nullptr) return TCS_RESULT_OUT_OF_MEMORY;
        std::memset(s, 0, sizeof *s);
        m->state = s;
    }
    RecogState* s = stateOf(m);
    if (s->init == nullptr) {
        auto* init = static_cast<ContextInitBlock*>(palRealMalloc(sizeof(ContextInitBlock)));
        void* user = palRealMalloc(8);
        if (init == nullptr || user == nullptr) {
            palRealFree(init);
            palRealFree(user);
            return TCS_RESULT_OUT_OF_MEMORY;
        }
        std::memset(init, 0, sizeof *init);
        std::memset(user, 0, 8);
        init->size = 72;
        init->user = user;
        init->allocate = my_malloc;
        init->deallocate = my_free;
        s->init = init;
    }
    closeHandle(s->context);
    if (RecogCreateContext(s->init, &s->context) != RECOG_OK || s->context == nullptr) {
        s->context = nullptr;
        return TCS_RESULT_MATCHER_OPEN_FAILED;
    }
    s->mode = 1;
    s->threshold = int32_t(kOpenThreshold);
    uint32_t v[4] = {};
    RecogGetLibraryVersion(v);
    std::snprintf(m->idString, sizeof m->idString, "Recog: M=%u m=%u r=%d b=%d", v[0], v[1], int(v[2]), int(v[3]));
    return TCS_RESULT_OK;
}

TcsResult matchRecogClose(MatcherRecord* m) {
    if (m == nullptr) return TCS_RESULT_BAD_PARAM;
    if (m->state == nullptr) return TCS_RESULT_MATCHER_CLOSE_FAILED;
    releaseState(m);
    return TCS_RESULT_OK;
}

TcsResult matcherRecogShutdown(MatcherRecord* m) {
    if (m == nullptr) return TCS_RESULT_BAD_PARAM;
    releaseState(m);
    return TCS_RESULT_OK;
}

TcsResult matcherRecogSetFAR(MatcherRecord* m, uint32_t rate) {
    if (m == nullptr) return TCS_RESULT_BAD_PARAM;
    RecogState* s = stateOf(m);
    if (s == nullptr) return TCS_RESULT_MATCHER_OPEN_FAILED;
    s->mode = rate == 100000 ? 2 : rate == 1000000 ? 3 : 1;
    s->threshold = RECOG_THRESHOLD_DEFAULT;
    return TCS_RESULT_OK;
}

TcsResult matcherRecogDestroyEnrollTemplate(MatcherRecord*, EnrollTemplate* templ) {
    if (templ != nullptr && templ->version != 0) _tcsTemplateDestroy(templ);
    return TCS_RESULT_OK;
}

TcsResult matcherRecogSetParameter(MatcherRecord*, uint32_t, uint32_t) { return TCS_RESULT_NOT_IMPLEMENTED; }
TcsResult matcherRecogGetParameter(MatcherRecord*, uint32_t, uint32_t*) { return TCS_RESULT_NOT_IMPLEMENTED; }
TcsResult matcherRecogMatch(MatcherRecord*, EnrollTemplate*, EnrollTemplate*, MatchResult*) {
    return TCS_RESULT_NOT_IMPLEMENTED;
}
TcsResult matcherRecogGeneralize(MatcherRecord*, EnrollTemplate**, uint32_t, EnrollTemplate**, uint32_t*) {
    return TCS_RESULT_NOT_IMPLEMENTED;
}

TcsResult matcherRecogCheckQuality(MatcherRecord*, ImageRecord*, uint32_t* outVerdict) {
    if (outVerdict == nullptr) return TCS_RESULT_NULL_POINTER;
    *outVerdict = 0;
    return TCS_RESULT_OK;
}

// One comparison: the template bytes against the probe. Returns 302 on engine failure, else fills
// the verification answer and the score (the previous score when no probability comes back).
TcsResult compare(RecogState* s, RecogHandle probe, const uint8_t* data, uint32_t size, RecogResult* outVerdict,
                  uint32_t* inOutScore) {
    RecogHandle templ = nullptr, comparison = nullptr;
    if (data == nullptr || size == 0 ||
        RecogImport(s->context, data, size, kTemplateFormat, kPurposeTemplate, &templ) != RECOG_OK ||
        templ == nullptr) {
        closeHandle(templ);
        return TCS_RESULT_MATCHER_MATCH_FAILED;
    }
    if (RecogCreateComparison(probe, templ, 0, &comparison) != RECOG_OK || comparison == nullptr) {
        closeHandle(comparison);
        closeHandle(templ);
        return TCS_RESULT_MATCHER_MATCH_FAILED;
    }
    *outVerdict = RecogGetVerificationResult(comparison, s->threshold);
    uint32_t p = 0;
    if (RecogGetProbability(comparison, RECOG_PROBABILITY_COMPARISON, &p) == RECOG_OK) *inOutScore = mss::recogScore(p);
    closeHandle(comparison);
    closeHandle(templ);
    return TCS_RESULT_OK;
}

TcsResult matcherRecogMatchImageToTemplates(MatcherRecord* m, ImageRecord* image, EnrollTemplate** templates,
                                            uint32_t count, uint32_t mode, MatchResult* result) {
    if (m == nullptr) return TCS_RESULT_BAD_PARAM;
    RecogState* s = stateOf(m);
    if (s == nullptr) return TCS_RESULT_MATCHER_OPEN_FAILED;
    const uint32_t flags = m->controlFlags;
    if (image == nullptr && (flags & MSS_FLAG_PROBE_READY) == 0) return TCS_RESULT_NULL_POINTER;
    if (result == nullptr) return TCS_RESULT_BAD_PARAM;
    TcsResult status = TCS_RESULT_OK;
    if ((flags & MSS_FLAG_RELEASE_ONLY) == 0) {
        const uint32_t threshold = matchThreshold(s->mode);
        if ((flags & MSS_FLAG_PROBE_READY) == 0) {
            closeProbe(m);
            RecogHandle probe = nullptr;
            TcsResult made = imageToFeatureSet(s->context, image, kPurposeProbe, kPurposeProbe, &probe);
            if (made != TCS_RESULT_OK) return made;
            m->probeFeatures = probe;
        }
        result->index = result->score = result->status = result->enrollUpdate = 0;
        const bool single = (flags & MSS_FLAG_SINGLE_TEMPLATE) != 0;
        uint32_t score = 0;
        for (uint32_t i = 0; i < count; ++i) {
            EnrollTemplate* entry = templates != nullptr ? templates[i] : nullptr;
            const uint8_t* data = single ? m->singleTemplateData : entry != nullptr ? entry->data : nullptr;
            const uint32_t size = single ? m->singleTemplateSize : entry != nullptr ? entry->dataSize : 0;
            RecogResult verdict = RECOG_NO;
            if (probeOf(m) == nullptr) {
                status = TCS_RESULT_MATCHER_MATCH_FAILED;
                break;
            }
            status = compare(s, probeOf(m), data, size, &verdict, &score);
            if (status != TCS_RESULT_OK) break;
            bool stop = false;
            if (score > result->score) {
                result->score = score;
                result->index = i;
                if (score > threshold) {
                    result->status = 1;
                    stop = mode == 2;
                }
            }
            if (verdict != RECOG_OK && verdict != RECOG_NO) result->score = 0;
            if (stop) break;
        }
        if (status == TCS_RESULT_OK && !single && templates != nullptr && result->index < count &&
            templates[result->index] != nullptr) {
            result->userId = templates[result->index]->userId;
            result->finger = templates[result->index]->finger;
        }
    }
    if ((flags & MSS_FLAG_KEEP_PROBE) == 0) closeProbe(m);
    return status;
}

TcsResult matcherRecogMatchImageToTemplatesExt(MatcherRecord* m, ImageRecord* image, EnrollTemplate** templates,
                                               uint32_t count, uint32_t* inOutResults, MatchResult** results) {
    if (m == nullptr) return TCS_RESULT_BAD_PARAM;
    RecogState* s = stateOf(m);
    if (s == nullptr) return TCS_RESULT_MATCHER_OPEN_FAILED;
    if (image == nullptr && (m->controlFlags & MSS_FLAG_PROBE_READY) == 0) return TCS_RESULT_NULL_POINTER;
    if (results == nullptr || inOutResults == nullptr || templates == nullptr) return TCS_RESULT_BAD_PARAM;
    const uint32_t buffers = std::min(*inOutResults, count);
    for (uint32_t i = 0; i < buffers; ++i) results[i]->status = 0;
    if ((m->controlFlags & MSS_FLAG_PROBE_READY) == 0) {
        closeProbe(m);
        RecogHandle probe = nullptr;
        TcsResult made = imageToFeatureSet(s->context, image, kPurposeProbe, kPurposeProbe, &probe);
        if (made != TCS_RESULT_OK) return made;
        m->probeFeatures = probe;
    }
    std::vector<MatchResult> all(count);
    TcsResult status = probeOf(m) != nullptr ? TCS_RESULT_OK : TCS_RESULT_MATCHER_MATCH_FAILED;
    uint32_t score = 0;
    for (uint32_t i = 0; status == TCS_RESULT_OK && i < count; ++i) {
        EnrollTemplate* entry = templates[i];
        RecogResult verdict = RECOG_NO;
        status = compare(s, probeOf(m), entry != nullptr ? entry->data : nullptr, entry != nullptr ? entry->dataSize : 0,
                         &verdict, &score);
        if (status != TCS_RESULT_OK) break;
        MatchResult& r = all[i];
        r.index = i;
        r.score = score;
        r.userId = entry->userId;
        r.finger = entry->finger;
        r.status = verdict == RECOG_OK ? 1 : 0;
        if (verdict != RECOG_OK && verdict != RECOG_NO) r.score = 0;
    }
    if ((m->controlFlags & MSS_FLAG_KEEP_PROBE) == 0) closeProbe(m);
    if (status != TCS_RESULT_OK) return status;
    // Highest score first; only as many as the caller has buffers for.
    std::vector<MatchResult*> order(count);
    for (uint32_t i = 0; i < count; ++i) order[i] = &all[i];
    sortMatchResults(order.data(), count);
    for (uint32_t i = 0; i < buffers; ++i) *results[i] = *order[i];
    *inOutResults = buffers;
    return TCS_RESULT_OK;
}

TcsResult matcherRecogAddImageToTemplate(MatcherRecord* m, ImageRecord* image, EnrollTemplate** inOutTemplate,
                                         uint32_t* outComplete) {
    if (m == nullptr) return TCS_RESULT_BAD_PARAM;
    RecogState* s = stateOf(m);
    if (s == nullptr) return TCS_RESULT_MATCHER_OPEN_FAILED;
    const uint32_t flags = m->controlFlags;
    if (image == nullptr && (flags & MSS_FLAG_PROBE_READY) == 0) return TCS_RESULT_NULL_POINTER;
    if (inOutTemplate == nullptr || outComplete == nullptr) return TCS_RESULT_NULL_POINTER;
    *outComplete = 0;
    if (flags & MSS_FLAG_RELEASE_ONLY) return TCS_RESULT_OK;
    if ((flags & MSS_FLAG_SHORT_IMAGES) == 0 && image != nullptr && image->rows < kMinEnrollRows)
        return MSS_RESULT_IMAGE_REJECTED;
    if (s->context == nullptr) return TCS_RESULT_MATCHER_ADD_IMAGE_FAILED;

    if (*inOutTemplate == nullptr) {
        closeHandle(s->enrollment);
        if (RecogCreateEnrollment(s->context, 0, &s->enrollment) != RECOG_OK || s->enrollment == nullptr) {
            s->enrollment = nullptr;
            return TCS_RESULT_ERROR;
        }
        EnrollTemplate* templ = _tcsTemplateAlloc(kTemplateData);
        if (templ == nullptr) return TCS_RESULT_OUT_OF_MEMORY;
        std::memcpy(templ->magic, "TTML", 4);
        templ->dataSize = kTemplateData;
        templ->templateType = 5;
        templ->version = 1;
        templ->enrollMark = 1;
        *inOutTemplate = templ;
        s->enrolling = 1;
        s->accepted = s->offered = s->inProgress = 0;
        s->liveness = {};
    }
    EnrollTemplate* templ = *inOutTemplate;
    if (s->enrolling) {
        if (s->enrollment == nullptr) return TCS_RESULT_INVALID;
        ++s->offered;
        RecogHandle features = nullptr;
        if (flags & MSS_FLAG_PROBE_READY) {
            features = probeOf(m);
        } else {
            TcsResult made = imageToFeatureSet(s->context, image, kPurposeEnroll, kPurposeEnroll, &features);
            if (made == TCS_RESULT_NULL_POINTER || made == TCS_RESULT_OUT_OF_MEMORY) return MSS_RESULT_IMAGE_REJECTED;
        }
        if (features == nullptr) return MSS_RESULT_IMAGE_REJECTED;
        uint32_t length = 0;
        if (RecogExport(features, kFeatureFormat, nullptr, &length) != RECOG_OK || length == 0) {
            if ((flags & MSS_FLAG_PROBE_READY) == 0) closeHandle(features);
            return TCS_RESULT_INVALID;
        }
        if (RecogAddFeatureSetToEnrollment(s->enrollment, features) != RECOG_OK) {
            if ((flags & MSS_FLAG_PROBE_READY) == 0) closeHandle(features);
            return TCS_RESULT_INVALID;
        }
        if (flags & MSS_FLAG_KEEP_ENROLL_RECORDS) {
            // Kept for the caller (the adaptive wrapper reads it as the probe's features).
            if (features != probeOf(m)) {
                closeProbe(m);
                m->probeFeatures = features;
            }
        } else if ((flags & MSS_FLAG_PROBE_READY) == 0) {
            closeHandle(features);
        }
        ++s->accepted;

        uint32_t state = RECOG_ENROLL_MORE_VIEWS;
        if (RecogGetEnrollmentStatus(s->enrollment, &state) != RECOG_OK) return TCS_RESULT_INVALID;
        if (state == RECOG_ENROLL_READY) {
            if ((flags & MSS_FLAG_KEEP_PROBE) && (flags & MSS_FLAG_KEEP_ENROLL_RECORDS) == 0) closeProbe(m);
            RecogHandle made = nullptr;
            uint32_t size = 0;
            std::vector<uint8_t> bytes;
            RecogResult r = RecogCreateTemplate(s->enrollment, kPurposeTemplate, &made);
            if (r == RECOG_OK && made != nullptr) r = RecogExport(made, kTemplateFormat, nullptr, &size);
            if (r == RECOG_OK && size != 0) {
                bytes.resize(size);
                r = RecogExport(made, kTemplateFormat, bytes.data(), &size);
            }
            closeHandle(made);
            closeHandle(s->enrollment);
            s->enrolling = 0;
            if (r != RECOG_OK || size == 0) return TCS_RESULT_INVALID;
            size = std::min(size, kTemplateData);
            if ((flags & MSS_FLAG_SINGLE_TEMPLATE) && m->singleTemplateData != nullptr) {
                std::memcpy(m->singleTemplateData, bytes.data(), std::min(size, m->singleTemplateSize));
                m->singleTemplateSize = std::min(size, m->singleTemplateSize);
            } else {
                std::memcpy(templ->data, bytes.data(), size);
            }
            templ->dataSize = size;
            *outComplete = 1;
        } else if (s->offered > kMaxOffered) {
            return TCS_RESULT_INVALID;
        }
    }
    mss::addLiveness(s->liveness, image);
    if (!*outComplete) return TCS_RESULT_OK;
    if (s->liveness.counted > 2) return mss::attachProfile(templ, s->liveness);
    return TCS_RESULT_OK;
}

TcsResult matcherRecogExtract(MatcherRecord* m, ImageRecord* image, EnrollTemplate** outTemplate) {
    if (m == nullptr) return TCS_RESULT_BAD_PARAM;
    if (stateOf(m) == nullptr) return TCS_RESULT_MATCHER_OPEN_FAILED;
    if ((image == nullptr && (m->controlFlags & MSS_FLAG_PROBE_READY) == 0) || outTemplate == nullptr)
        return TCS_RESULT_NULL_POINTER;
    EnrollTemplate* templ = nullptr;
    for (uint32_t attempt = 0; attempt < kExtractTries; ++attempt) {
        uint32_t complete = 0;
        TcsResult result = matcherRecogAddImageToTemplate(m, image, &templ, &complete);
        if (result == TCS_RESULT_OK && complete == 1) {
            *outTemplate = templ;
            return TCS_RESULT_OK;
        }
        if (result != TCS_RESULT_OK && result != MSS_RESULT_IMAGE_REJECTED) break;
    }
    // An enrolment left unfinished must not leak its template or its engine enrollment.
    if (templ != nullptr) _tcsTemplateDestroy(templ);
    if (RecogState* s = stateOf(m)) {
        closeHandle(s->enrollment);
        s->enrolling = 0;
    }
    return TCS_RESULT_MATCHER_EXTRACT_FAILED;
}

TcsResult matcherRecogExportTemplate(MatcherRecord* m, const void* data, uint32_t size, EnrollTemplate** outTemplate,
                                     uint32_t* outSize, uint32_t mode, uint32_t) {
    if (m == nullptr) return TCS_RESULT_BAD_PARAM;
    RecogState* s = stateOf(m);
    if (s == nullptr) return TCS_RESULT_MATCHER_OPEN_FAILED;
    RecogHandle features = nullptr;
    bool imported = false;
    if (mode == 0 || mode == 2) {
        features = static_cast<RecogHandle>(const_cast<void*>(data));
    } else if (mode == 1) {
        features = static_cast<RecogHandle>(const_cast<void*>(data));
        closeHandle(features);
        return TCS_RESULT_OK;
    } else {
        if (data == nullptr ||
            RecogImport(s->context, data, size, kFeatureFormat, kPurposeProbe, &features) != RECOG_OK ||
            features == nullptr)
            return TCS_RESULT_INVALID;
        imported = true;
    }
    if (outTemplate == nullptr || features == nullptr) {
        if (imported) closeHandle(features);
        return TCS_RESULT_NULL_POINTER;
    }
    void* savedProbe = m->probeFeatures;
    const uint32_t savedFlags = m->controlFlags;
    m->probeFeatures = features;
    m->controlFlags = kExportFlags;
    EnrollTemplate* templ = nullptr;
    TcsResult result = matcherRecogExtract(m, nullptr, &templ);
    m->controlFlags = savedFlags;
    m->probeFeatures = savedProbe;
    if (imported) closeHandle(features);
    if (result != TCS_RESULT_OK) return TCS_RESULT_INVALID;
    *outTemplate = templ;
    if (outSize != nullptr) *outSize = templ->dataSize;
    return TCS_RESULT_OK;
}

}  // namespace

namespace mss {
uint32_t recogScoreIndex(uint32_t probability) { return scoreIndex(probability); }
uint32_t recogScore(uint32_t probability) { return logScoreTable()[scoreIndex(probability)]; }
}  // namespace mss

extern "C" {

TcsResult tcsImageToAnsi381(ImageRecord* image, uint8_t** outRecord, uint32_t* outSize) {
    if (image == nullptr || image->dataSize == 0 || outRecord == nullptr) return TCS_RESULT_NULL_POINTER;
    const uint8_t* pixels = mss::imagePixels(image);
    if (pixels == nullptr || image->rows > 0xFFFF || image->columns > 0xFFFF) return TCS_RESULT_NULL_POINTER;
    const uint32_t pixelBytes = image->rows * image->columns;
    auto* record = static_cast<uint8_t*>(palRealMalloc(kAnsiHeader + pixelBytes));
    if (record == nullptr) return TCS_RESULT_OUT_OF_MEMORY;
    std::memset(record, 0, kAnsiHeader);
    std::memcpy(record, "FIR", 4);
    std::memcpy(record + 4, "010", 4);
    putBe32(record + 10, kAnsiHeader + pixelBytes);
    record[14] = 0x00;
    record[15] = 0x28;
    record[16] = 0x04;
    record[17] = 0x01;
    putBe16(record + 20, 30);
    record[22] = 1;
    record[23] = 1;
    uint32_t horizontal = 508, vertical = 508;
    if (image->horizontalPpi != 0 && image->verticalPpi != 0) {
        horizontal = image->horizontalPpi;
        vertical = image->verticalPpi;
    }
    putBe16(record + 24, horizontal);
    putBe16(record + 26, vertical);
    putBe16(record + 28, horizontal);
    putBe16(record + 30, vertical);
    record[32] = 8;
    putBe32(record + 36, 14 + pixelBytes);
    record[41] = 1;
    record[42] = 1;
    record[43] = 254;
    record[44] = 8;
    putBe16(record + 45, image->columns);
    putBe16(record + 47, image->rows);
    for (uint32_t row = 0; row < image->rows; ++row) {
        std::memcpy(record + kAnsiHeader + row * image->columns,
                    pixels + (image->rows - 1 - row) * image->columns, image->columns);
    }
    *outRecord = record;
    if (outSize != nullptr) *outSize = kAnsiHeader + pixelBytes;
    return TCS_RESULT_OK;
}

void FreeAnsi381Image(uint8_t* record) { palRealFree(record); }

void sortMatchResults(MatchResult** results, uint32_t count) {
    if (results == nullptr) return;
    std::stable_sort(results, results + count,
                     [](const MatchResult* a, const MatchResult* b) { return a->score > b->score; });
}

TcsResult tcsImageToRecogFeatureHandle(RecogHandle context, ImageRecord* image, RecogHandle* outFeatureSet) {
    if (outFeatureSet == nullptr) return TCS_RESULT_NULL_POINTER;
    return imageToFeatureSet(context, image, kPurposeProbe, kPurposeProbe, outFeatureSet);
}

TcsResult mssRecogOpen(MatcherRecord* m) {
    if (m == nullptr) return TCS_RESULT_BAD_PARAM;
    std::memset(m->idString, 0, sizeof m->idString);
    std::memcpy(m->idString, "Recog", 5);
    m->id = MSS_MATCHER_RECOG;
    m->templateType = 5;
    m->controlFlags = 0;
    m->Open = matcherRecogOpen;
    m->Close = matchRecogClose;
    m->SetFAR = matcherRecogSetFAR;
    m->DestroyEnrollTemplate = matcherRecogDestroyEnrollTemplate;
    m->AddImageToTemplate = matcherRecogAddImageToTemplate;
    m->MatchImageToTemplates = matcherRecogMatchImageToTemplates;
    m->MatchImageToTemplatesExt = matcherRecogMatchImageToTemplatesExt;
    m->SetParameter = matcherRecogSetParameter;
    m->GetParameter = matcherRecogGetParameter;
    m->Shutdown = matcherRecogShutdown;
    m->Extract = matcherRecogExtract;
    m->Match = matcherRecogMatch;
    m->Generalize = matcherRecogGeneralize;
    m->CheckQuality = matcherRecogCheckQuality;
    m->ExportTemplate = matcherRecogExportTemplate;
    if (m->state == nullptr) {
        auto* s = static_cast<RecogState*>(palRealMalloc(sizeof(RecogState)));
        if (s == nullptr) return TCS_RESULT_OUT_OF_MEMORY;
        std::memset(s, 0, sizeof *s);
        m->state = s;
    }
    return TCS_RESULT_OK;
}

}  // extern "C"
