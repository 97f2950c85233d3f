// Matcher 1 over the minutiae engine: extraction at 500 dpi, one-to-one verification, three-image
// enrolment that keeps the impression agreeing best with the other two, and the FAR threshold table.
#include "engines/minutiae/features.h"
#include "engines/minutiae/mnt_engine.h"
#include "platform/memory.h"
#include "tcs/matching/adapter_support.h"

#include <cstring>
#include <memory>

namespace {

constexpr int32_t kResolution = 500;
constexpr uint32_t kParamThreshold = 200;
constexpr uint32_t kParamSpeed = 220;
constexpr uint32_t kParamName = 10;
// The engine writes a set without being told a capacity; its limits allow this many bytes.
constexpr uint32_t kFeatureCapacity = uint32_t(mnt::kMaxCompressedSize);
constexpr uint32_t kProbeSizeIdle = 10000;
constexpr uint32_t kMinEnrollRows = 200;
constexpr uint32_t kMinTemplateData = 1024;
constexpr uint32_t kMinBestAverage = 20;

struct FarRow {
    uint32_t threshold;
    uint32_t rate;
};
// Rising threshold, falling rate; 699999 and 6999 and the doubled 8 and 6 are kept as stored.
constexpr FarRow FarTable[] = {
    {1, 810000000}, {2, 660000000}, {3, 530000000}, {4, 430000000}, {5, 350000000}, {6, 280000000},
    {7, 230000000}, {8, 190000000}, {9, 150000000}, {10, 120000000}, {11, 100000000}, {12, 80000000},
    {13, 70000000}, {14, 50000000}, {15, 40000000}, {17, 30000000}, {18, 20000000}, {21, 10000000},
    {23, 8000000},  {24, 7000000},  {25, 6000000},  {26, 5000000},  {27, 4000000},  {28, 3000000},
    {30, 2000000},  {32, 1000000},  {35, 800000},   {36, 699999},   {37, 600000},   {38, 500000},
    {39, 400000},   {40, 300000},   {42, 200000},   {45, 100000},   {48, 90000},    {49, 70000},
    {50, 60000},    {52, 50000},    {53, 40000},    {55, 30000},    {57, 20000},    {61, 10000},
    {70, 9000},     {83, 8000},     {98, 6999},     {115, 6000},    {135, 5000},    {159, 4000},
    {190, 3000},    {230, 2000},    {291, 1000},    {346, 899},     {360, 800},     {375, 699},
    {392, 600},     {412, 500},     {436, 400},     {466, 300},     {507, 200},     {568, 100},
    {623, 89},      {636, 80},      {652, 69},      {669, 60},      {689, 50},      {713, 40},
    {743, 30},      {784, 20},      {845, 10},      {900, 8},       {913, 8},       {928, 6},
    {945, 6},       {965, 5},       {990, 4},       {1020, 3},      {1060, 2},      {1122, 1},
    {1177, 0},
};
static_assert(sizeof FarTable / sizeof FarTable[0] == 79);

uint32_t thresholdForRate(uint32_t rate) {
    if (rate >= 810000000) return 1;
    if (rate == 0) return 1177;
    uint32_t threshold = FarTable[0].threshold;
    for (const FarRow& row : FarTable) {
        if (rate > row.rate) break;
        threshold = row.threshold;
    }
    return threshold;
}

struct EnrollStore {
    uint32_t count;
    EnrollTemplate* records[3];
};

EnrollStore* storeOf(MatcherRecord* m) { return static_cast<EnrollStore*>(m->state); }

// A set the engine can read within the given bytes: the engine trusts the counts it finds, and a
// template from a file or another process may carry anything.
bool readable(const uint8_t* features, uint32_t size) {
    return features != nullptr && size != 0 && mnt::CompressedFeaturesLength(features, size) != 0;
}

// Minutiae plus the singular-point count behind them.
uint32_t featuresWord(const uint8_t* data, uint32_t size) {
    if (size < 7) return 0;
    const int32_t n = int16_t(uint16_t(data[5] | data[6] << 8));
    const uint32_t f = data[0] & 1;
    const int64_t at = 7 + int64_t(n) * (8 + f);
    if (n < 0 || at >= size) return uint32_t(n);
    return uint32_t(n + int8_t(data[at]));
}

// Extracts an image's features into out (kFeatureCapacity bytes). 0 or -103 count as success; the
// engine works on a copy because it overwrites the pixels.
int32_t extractFeatures(ImageRecord* image, uint8_t* out, uint32_t* outSize) {
    const uint8_t* pixels = mss::imagePixels(image);
    if (pixels == nullptr) return MNT_BAD_IMAGE_SIZE;
    const uint32_t count = image->rows * image->columns;
    std::unique_ptr<uint8_t[]> copy(new (std::nothrow) uint8_t[count]);
    if (!copy) return MNT_OUT_OF_MEMORY;
    std::memcpy(copy.get(), pixels, count);
    uint64_t size = 0;
    int32_t result = MntExtract(int32_t(image->columns), int32_t(image->rows), copy.get(), kResolution, out, &size,
                                nullptr);
    *outSize = size > kFeatureCapacity ? kFeatureCapacity : uint32_t(size);
    return result;
}

EnrollTemplate* newTemplate(const uint8_t* data, uint32_t size, uint32_t roomFor) {
    EnrollTemplate* templ = _tcsTemplateAlloc(roomFor > size ? roomFor : size);
    if (templ == nullptr) return nullptr;
    std::memcpy(templ->data, data, size);
    templ->dataSize = roomFor > size ? roomFor : size;
    templ->templateType = 1;
    templ->version = 1;
    templ->features = featuresWord(data, size);
    return templ;
}

void freeRecords(EnrollStore* store) {
    for (EnrollTemplate*& r : store->records) {
        if (r != nullptr) _tcsTemplateDestroy(r);
        r = nullptr;
    }
    store->count = 0;
}

void freeProbe(MatcherRecord* m) {
    palRealFree(m->probeFeatures);
    m->probeFeatures = nullptr;
    m->probeFeatureSize = kProbeSizeIdle;
}

TcsResult matcherOpen(MatcherRecord* m) {
    if (m == nullptr) return TCS_RESULT_BAD_PARAM;
    if (m->state == nullptr) {
        auto* store = static_cast<EnrollStore*>(palRealMalloc(sizeof(EnrollStore)));
        if (store == nullptr) return TCS_RESULT_OUT_OF_MEMORY;
        std::memset(store, 0, sizeof *store);
        m->state = store;
    }
    return MntSetParameter(kParamSpeed, 256, nullptr) == MNT_OK ? TCS_RESULT_OK : TCS_RESULT_ERROR;
}

TcsResult matchClose(MatcherRecord* m) {
    if (m == nullptr) return TCS_RESULT_BAD_PARAM;
    if (EnrollStore* store = storeOf(m)) freeRecords(store);
    palRealFree(m->state);
    m->state = nullptr;
    freeProbe(m);
    return TCS_RESULT_OK;
}

TcsResult matcherSetFAR(MatcherRecord*, uint32_t rate) {
    return MntSetParameter(kParamThreshold, int32_t(thresholdForRate(rate)), nullptr) == MNT_OK ? TCS_RESULT_OK
                                                                                                : TCS_RESULT_ERROR;
}

TcsResult matcherDestroyEnrollTemplate(MatcherRecord*, EnrollTemplate* templ) {
    if (templ != nullptr && templ->version != 0) _tcsTemplateDestroy(templ);
    return TCS_RESULT_OK;
}

TcsResult matcherSetParameter(MatcherRecord*, uint32_t id, uint32_t value) {
    return MntSetParameter(id, int32_t(value), nullptr) == MNT_OK ? TCS_RESULT_OK : TCS_RESULT_ERROR;
}

TcsResult matcherGetParameter(MatcherRecord*, uint32_t id, uint32_t* outValue) {
    if (outValue == nullptr) return TCS_RESULT_NULL_POINTER;
    // Text and 64-bit parameters are written whole: read into room for the longest, keep 32 bits.
    alignas(8) uint8_t value[64] = {};
    if (MntGetParameter(id, value, nullptr) != MNT_OK) return TCS_RESULT_ERROR;
    std::memcpy(outValue, value, sizeof *outValue);
    return TCS_RESULT_OK;
}

TcsResult matcherShutdown(MatcherRecord* m) {
    if (m != nullptr && m->state != nullptr) matchClose(m);
    MntFinalize();
    return TCS_RESULT_OK;
}

TcsResult matcherExtract(MatcherRecord*, ImageRecord* image, EnrollTemplate** outTemplate) {
    if (image == nullptr || outTemplate == nullptr) return TCS_RESULT_NULL_POINTER;
    std::unique_ptr<uint8_t[]> work(new (std::nothrow) uint8_t[kFeatureCapacity]());
    if (!work) return TCS_RESULT_OUT_OF_MEMORY;
    uint32_t size = 0;
    int32_t engine = extractFeatures(image, work.get(), &size);
    if ((engine != MNT_OK && engine != MNT_NO_FEATURES) || size == 0) return TCS_RESULT_ERROR;
    EnrollTemplate* templ = newTemplate(work.get(), size, 0);
    if (templ == nullptr) return TCS_RESULT_OUT_OF_MEMORY;
    *outTemplate = templ;
    return TCS_RESULT_OK;
}

TcsResult matcherMatch(MatcherRecord*, EnrollTemplate* a, EnrollTemplate* b, MatchResult* result) {
    if (a == nullptr || b == nullptr) return TCS_RESULT_NULL_POINTER;
    if (result == nullptr) return TCS_RESULT_NULL_POINTER;
    std::memset(result, 0, sizeof *result);
    if (!readable(a->data, a->dataSize) || !readable(b->data, b->dataSize)) return TCS_RESULT_ERROR;
    MntVerifyRecord record{};
    record.size = MNT_VERIFY_RECORD_SHORT;
    int32_t engine = MntVerify(a->data, b->data, &record, nullptr);
    result->score = uint32_t(record.score);
    result->userId = b->userId;
    result->finger = b->finger;
    if (engine == MNT_OK) {
        result->index = 0;
        result->status = 1;
        return TCS_RESULT_OK;
    }
    return engine == MNT_NO_MATCH ? TCS_RESULT_OK : TCS_RESULT_ERROR;
}

TcsResult matcherMatchImageToTemplates(MatcherRecord* m, ImageRecord* image, EnrollTemplate** templates,
                                       uint32_t count, uint32_t, MatchResult* result) {
    if (m == nullptr) return TCS_RESULT_BAD_PARAM;
    if ((m->controlFlags & MSS_FLAG_RELEASE_ONLY) == 0) {
        if (image == nullptr && (m->controlFlags & MSS_FLAG_PROBE_READY) == 0) return TCS_RESULT_NULL_POINTER;
        if (result == nullptr) return TCS_RESULT_NULL_POINTER;
        std::memset(result, 0, sizeof *result);
        if ((m->controlFlags & MSS_FLAG_PROBE_READY) == 0) {
            freeProbe(m);
            auto* probe = static_cast<uint8_t*>(palRealMalloc(kFeatureCapacity));
            if (probe == nullptr) return TCS_RESULT_OUT_OF_MEMORY;
            std::memset(probe, 0, kFeatureCapacity);
            m->probeFeatures = probe;
            uint32_t size = 0;
            extractFeatures(image, probe, &size);
            m->probeFeatureSize = size;
        }
        const auto* probe = static_cast<const uint8_t*>(m->probeFeatures);
        // Without probe features there is nothing to compare: no match.
        const bool probeOk = readable(probe, m->probeFeatureSize);
        for (uint32_t i = 0; probeOk && i < count; ++i) {
            const bool single = (m->controlFlags & MSS_FLAG_SINGLE_TEMPLATE) != 0;
            EnrollTemplate* entry = templates != nullptr ? templates[i] : nullptr;
            const uint8_t* candidate = single ? m->singleTemplateData : entry != nullptr ? entry->data : nullptr;
            const uint32_t size = single ? m->singleTemplateSize : entry != nullptr ? entry->dataSize : 0;
            if (!readable(candidate, size)) continue;
            MntVerifyRecord record{};
            record.size = MNT_VERIFY_RECORD_SHORT;
            int32_t engine = MntVerify(probe, candidate, &record, nullptr);
            result->score = uint32_t(record.score);
            if (engine == MNT_OK) {
                result->index = i;
                result->status = 1;
                if (entry != nullptr) {
                    result->userId = entry->userId;
                    result->finger = entry->finger;
                }
                break;
            }
            if (engine == MNT_NO_MATCH) result->status = 0;
        }
    }
    if ((m->controlFlags & MSS_FLAG_KEEP_PROBE) == 0) freeProbe(m);
    return TCS_RESULT_OK;
}

TcsResult matcherAddImageToTemplate(MatcherRecord* m, ImageRecord* image, EnrollTemplate** inOutTemplate,
                                    uint32_t* outComplete) {
    if (m == nullptr) return TCS_RESULT_BAD_PARAM;
    EnrollStore* store = storeOf(m);
    if (store == nullptr) return TCS_RESULT_MATCHER_OPEN_FAILED;
    auto cleanUp = [&] {
        if (store->count == 3 && (m->controlFlags & MSS_FLAG_KEEP_ENROLL_RECORDS) == 0) freeRecords(store);
    };
    if (m->controlFlags & MSS_FLAG_RELEASE_ONLY) {
        cleanUp();
        return TCS_RESULT_OK;
    }
    if (image == nullptr || inOutTemplate == nullptr || outComplete == nullptr) return TCS_RESULT_NULL_POINTER;
    if ((m->controlFlags & MSS_FLAG_SHORT_IMAGES) == 0 && image->rows < kMinEnrollRows) return TCS_RESULT_OK;
    *outComplete = 0;
    // A store still full from a kept enrolment starts over rather than writing past its three places.
    if (store->count >= 3) freeRecords(store);

    std::unique_ptr<uint8_t[]> work(new (std::nothrow) uint8_t[kFeatureCapacity]());
    if (!work) return TCS_RESULT_OUT_OF_MEMORY;
    uint32_t size = 0;
    int32_t engine = extractFeatures(image, work.get(), &size);
    if ((engine != MNT_OK && engine != MNT_NO_FEATURES) || size == 0) return TCS_RESULT_ERROR;
    EnrollTemplate* record = newTemplate(work.get(), size, 0);
    if (record == nullptr) return TCS_RESULT_OUT_OF_MEMORY;
    std::memcpy(record->magic, "TTML", 4);
    store->records[store->count++] = record;
    if (store->count < 3) return TCS_RESULT_OK;

    // Each candidate against the two others; a failing pair rules the candidate out.
    uint32_t bestIndex = 0, bestAverage = 0, bestRank = 0;
    for (uint32_t c = 0; c < 3; ++c) {
        uint32_t scores[2] = {};
        bool ok = true;
        uint32_t pair = 0;
        for (uint32_t other = 0; other < 3; ++other) {
            if (other == c) continue;
            MntVerifyRecord verify{};
            verify.size = MNT_VERIFY_RECORD_SHORT;
            int32_t r = MntVerify(store->records[c]->data, store->records[other]->data, &verify, nullptr);
            if (r != MNT_OK && r != MNT_NO_MATCH) ok = false;
            scores[pair++] = uint32_t(verify.score);
        }
        uint32_t average = ok ? (scores[0] + scores[1]) / 2 : 0;
        uint32_t rank = ok ? average * 99 / 100 : 0;
        if (c == 0) {
            bestAverage = average;
            bestRank = rank;
        } else if (rank > bestRank) {
            bestIndex = c;
            bestAverage = average;
            bestRank = rank;
        }
    }
    TcsResult result;
    if (bestAverage >= kMinBestAverage) {
        EnrollTemplate* best = store->records[bestIndex];
        EnrollTemplate* templ = newTemplate(best->data, best->dataSize, kMinTemplateData);
        if (templ == nullptr) {
            *inOutTemplate = nullptr;
            result = TCS_RESULT_OUT_OF_MEMORY;
        } else {
            std::memcpy(templ->magic, "TTML", 4);
            templ->enrollMark = 1;
            *inOutTemplate = templ;
            *outComplete = 1;
            result = TCS_RESULT_OK;
        }
    } else {
        *inOutTemplate = nullptr;
        result = TCS_RESULT_MATCHER_ENROLL_FAILED;
    }
    cleanUp();
    return result;
}

TcsResult matcherGeneralize(MatcherRecord*, EnrollTemplate** templates, uint32_t count, EnrollTemplate** inOutTemplate,
                            uint32_t* outIndex) {
    if (count != 3 || templates == nullptr || inOutTemplate == nullptr || *inOutTemplate != nullptr)
        return TCS_RESULT_BAD_PARAM;
    const uint8_t* sets[3];
    for (uint32_t i = 0; i < 3; ++i) {
        if (templates[i] == nullptr || !readable(templates[i]->data, templates[i]->dataSize)) return TCS_RESULT_ERROR;
        sets[i] = templates[i]->data;
    }
    std::unique_ptr<uint8_t[]> out(new (std::nothrow) uint8_t[kFeatureCapacity]());
    if (!out) return TCS_RESULT_OUT_OF_MEMORY;
    uint64_t size = 0;
    int32_t index = MntGeneralize(3, sets, out.get(), &size, nullptr);
    if (index < 0 || index > 2 || size == 0 || size > kFeatureCapacity) return TCS_RESULT_ERROR;
    EnrollTemplate* templ = _tcsTemplateAlloc(uint32_t(size));
    if (templ == nullptr) return TCS_RESULT_OUT_OF_MEMORY;
    templ->version = 1;
    templ->dataSize = uint32_t(size);
    templ->templateType = templates[index]->templateType;
    templ->userId = templates[index]->userId;
    templ->finger = templates[index]->finger;
    std::memcpy(templ->data, out.get(), size);
    *inOutTemplate = templ;
    if (outIndex != nullptr) *outIndex = uint32_t(index);
    return TCS_RESULT_OK;
}

TcsResult matcherCheckQuality(MatcherRecord* m, ImageRecord* image, uint32_t* outVerdict) {
    if (image == nullptr || outVerdict == nullptr) return TCS_RESULT_NULL_POINTER;
    EnrollTemplate* templ = nullptr;
    TcsResult extracted = matcherExtract(m, image, &templ);
    if (templ != nullptr) _tcsTemplateDestroy(templ);
    *outVerdict = extracted == TCS_RESULT_OK ? 0 : 1;
    return TCS_RESULT_OK;
}

TcsResult matcherExportTemplate(MatcherRecord* m, const void* data, uint32_t size, EnrollTemplate** outTemplate,
                                uint32_t* outSize, uint32_t mode, uint32_t index) {
    if (m == nullptr || outTemplate == nullptr) return TCS_RESULT_NULL_POINTER;
    if (mode == 0) {
        EnrollStore* store = storeOf(m);
        if (store == nullptr || index > 2 || store->records[index] == nullptr) return TCS_RESULT_BAD_PARAM;
        EnrollTemplate* kept = store->records[index];
        kept->version = 0;  // still the store's: DestroyEnrollTemplate leaves it
        *outTemplate = kept;
        if (outSize != nullptr) *outSize = kept->dataSize;
    } else if (mode == 2) {
        if (data == nullptr) return TCS_RESULT_NULL_POINTER;
        EnrollTemplate* templ = _tcsTemplateAlloc(size);
        if (templ == nullptr) return TCS_RESULT_OUT_OF_MEMORY;
        std::memcpy(templ->data, data, size);
        templ->version = 1;
        templ->dataSize = size;
        *outTemplate = templ;
        if (outSize != nullptr) *outSize = size;
    }
    return TCS_RESULT_OK;
}

}  // namespace

extern "C" TcsResult mssMinutiaeOpen(MatcherRecord* m) {
    if (m == nullptr) return TCS_RESULT_BAD_PARAM;
    MntInitialize();
    char name[64] = {};
    int32_t length = MntGetParameter(kParamName, nullptr, nullptr);
    if (length > 0 && length < int32_t(sizeof name)) MntGetParameter(kParamName, name, nullptr);
    std::memset(m->idString, 0, sizeof m->idString);
    std::memcpy(m->idString, name, strnlen(name, sizeof m->idString - 1));
    m->id = MSS_MATCHER_MINUTIAE;
    m->templateType = 1;
    m->controlFlags = 0;
    m->probeFeatureSize = kProbeSizeIdle;
    m->Open = matcherOpen;
    m->Close = matchClose;
    m->SetFAR = matcherSetFAR;
    m->DestroyEnrollTemplate = matcherDestroyEnrollTemplate;
    m->AddImageToTemplate = matcherAddImageToTemplate;
    m->MatchImageToTemplates = matcherMatchImageToTemplates;
    m->MatchImageToTemplatesExt = nullptr;
    m->SetParameter = matcherSetParameter;
    m->GetParameter = matcherGetParameter;
    m->Shutdown = matcherShutdown;
    m->Extract = matcherExtract;
    m->Match = matcherMatch;
    m->Generalize = matcherGeneralize;
    m->CheckQuality = matcherCheckQuality;
    m->ExportTemplate = matcherExportTemplate;
    return TCS_RESULT_OK;
}
