// Liveness interface: handles, the argument checks in their order, and the test's three stages
// (mask, features, classifier) over one image.
#include "tcs/imaging/liveness/nex.h"

#include "tcs/imaging/liveness/buffers.h"
#include "tcs/imaging/liveness/classifier.h"
#include "tcs/imaging/liveness/features.h"
#include "tcs/imaging/liveness/mask_gen.h"

#include <cstring>
#include <memory>
#include <new>

static_assert(sizeof(NexConfigRecord) == 44);
static_assert(sizeof(nexImage_t) == 52);
static_assert(sizeof(NexFlagsRecord) == 25);
static_assert(sizeof(NexStatusRecord) == NEX_STATUS_PAYLOAD + 9);
static_assert(sizeof(NexResultRecord) == NEX_RESULT_PAYLOAD + 9);
static_assert(sizeof(liveness::ExtractionFlagsSt) == 6);

struct NexHandle {
    uint32_t tag;
    uint64_t value;
    NexConfigRecord config;
    const void* configData;
    void* classifier;  // ClassifierState
};

namespace {

constexpr uint32_t kBuiltInConfigData = 4;
constexpr int kDpi = 500;
// The stages index planes with int sides; a raw swipe's sides are 16-bit anyway.
constexpr uint32_t kMaxSide = 0xFFFF;

// What a handle scores with: the table set installed when it was made, or none.
struct ClassifierState {
    std::shared_ptr<const NexClassifierTables> tables;
};

bool imageUsable(const nexImage_t* image) {
    if (image == nullptr || image->size < sizeof(nexImage_t) || image->zero != 0) return false;
    if ((image->quality & 0x80000000u) != 0 || image->bitsPerPixel != 8 || image->pixels == nullptr) return false;
    return uint64_t(image->dataSize) >= uint64_t(image->rows) * image->columns * image->bitsPerPixel / 8;
}

uint32_t scoreImage(const nexImage_t& image, const NexClassifierTables& tables, int32_t* score) {
    if (image.rows > kMaxSide || image.columns > kMaxSide) return NEX_RESULT_NOT_ANALYSED;
    const int rows = int(image.rows), columns = int(image.columns);
    const size_t n = size_t(image.rows) * image.columns;
    // No pixels, no foreground: the mask stage would only copy empty rows from nowhere.
    if (n == 0) return NEX_RESULT_NOT_ANALYSED;
    std::vector<uint8_t> pixels = liveness::zeroedBuffer<uint8_t>(n);
    std::vector<uint8_t> mask = liveness::zeroedBuffer<uint8_t>(n);
    std::vector<uint8_t> ridge = liveness::zeroedBuffer<uint8_t>(n);
    std::vector<uint8_t> thinned = liveness::zeroedBuffer<uint8_t>(n);
    std::memcpy(pixels.data(), image.pixels, n);
    if (liveness::mask_gen(pixels.data(), mask.data(), ridge.data(), thinned.data(), rows, columns) != 0) {
        return NEX_RESULT_NOT_ANALYSED;
    }
    std::vector<double> features = liveness::zeroedBuffer<double>(NEX_FEATURE_COUNT);
    const liveness::ExtractionFlagsSt flags{1, 1, 1, 1, 1, 1};
    if (liveness::extract_features(pixels.data(), mask.data(), ridge.data(), thinned.data(), features.data(), columns,
                                   rows, kDpi, flags) != 1) {
        return NEX_RESULT_NOT_ANALYSED;
    }
    *score = liveness::MLP_Test(features.data(), tables);
    return NEX_RESULT_OK;
}

bool tagged(const NexHandle* handle) { return handle != nullptr && handle->tag == NEX_HANDLE_TAG; }

}  // namespace

extern "C" {

const void* nexGetConfigData(uint32_t* outSize) {
    static const uint32_t gDefaultConfigData = kBuiltInConfigData;
    if (outSize == nullptr) return nullptr;
    *outSize = sizeof gDefaultConfigData;
    return &gDefaultConfigData;
}

uint32_t nexInitialize(uint64_t value, NexHandle** outHandle, uint32_t* outStatusSize, uint32_t* outResultSize,
                       const NexConfigRecord* config) {
    if (outHandle == nullptr) return 57;
    *outHandle = nullptr;
    if (outStatusSize == nullptr) return 58;
    if (outResultSize == nullptr) return 59;
    if (config == nullptr || config->size < sizeof(NexConfigRecord)) return 60;
    std::unique_ptr<NexHandle> handle(new (std::nothrow) NexHandle{});
    std::unique_ptr<ClassifierState> state(new (std::nothrow) ClassifierState{});
    if (handle == nullptr || state == nullptr) return NEX_RESULT_OUT_OF_MEMORY;
    state->tables = liveness::installedTables();
    handle->tag = NEX_HANDLE_TAG;
    handle->value = value;
    std::memcpy(&handle->config, config, sizeof(NexConfigRecord));
    if (config->data == nullptr || config->dataSize < 4) {
        uint32_t size = 0;
        handle->config.data = nexGetConfigData(&size);
        handle->config.dataSize = size;
    }
    handle->configData = handle->config.data;
    handle->classifier = state.release();
    *outStatusSize = NEX_STATUS_PAYLOAD;
    *outResultSize = NEX_RESULT_PAYLOAD;
    *outHandle = handle.release();
    return NEX_RESULT_OK;
}

uint32_t nexLivenessTest(NexHandle* handle, const nexImage_t* secondImage, const nexImage_t* image,
                         const NexFlagsRecord* flags, NexStatusRecord* status, NexResultRecord* result) {
    if (!tagged(handle)) return 56;
    if (!imageUsable(image)) return 57;
    if (result != nullptr && (secondImage == nullptr || secondImage->size <= 51)) return 58;
    if (flags == nullptr || flags->size <= 24) return 59;
    if (status == nullptr || status->size <= 8) return 60;
    if (result == nullptr || result->size <= 8) return 61;
    result->score = 0;
    // Without trained tables there is no score to give: stop before the costly stages.
    const auto* state = static_cast<const ClassifierState*>(handle->classifier);
    if (state == nullptr || state->tables == nullptr) return NEX_RESULT_NOT_ANALYSED;
    try {
        int32_t score = 0;
        const uint32_t r = scoreImage(*image, *state->tables, &score);
        if (r == NEX_RESULT_OK) result->score = score;
        return r;
    } catch (const std::bad_alloc&) {
        return NEX_RESULT_OUT_OF_MEMORY;
    }
}

uint32_t nexFinalize(NexHandle* handle, const nexImage_t*, const NexFlagsRecord*, NexStatusRecord*,
                     NexResultRecord* result) {
    if (!tagged(handle)) return 56;
    const uint32_t r = result == nullptr || result->size <= 8 ? 57 : NEX_RESULT_OK;
    livRelease(handle->classifier);
    handle->tag = 0;
    delete handle;
    return r;
}

void livRelease(void* classifierState) { delete static_cast<ClassifierState*>(classifierState); }

uint32_t livClassify(NexHandle*, nexImage_t, double) { return NEX_RESULT_OK; }

}  // extern "C"
