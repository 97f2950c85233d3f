// A stand-in for the outside matcher library: the "OrbBioSDK_*" entry points with the call behaviour
// the host relies on, over a deliberately simple matcher (normalised cross-correlation of 16 x 20
// block means). Tests steer it through the "OrbStandin_*" calls.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

// What the host passes; laid out as the host lays them out, declared here on their own.
struct Image {
    uint32_t width;
    uint32_t height;
    uint32_t resolution;
    uint8_t* pixels;
};
struct TemplateList {
    uint32_t size;
    uint8_t* slots;
};
struct Buffer {
    uint32_t size;
    uint8_t* data;
};

constexpr int kBlocksX = 16, kBlocksY = 20, kCells = kBlocksX * kBlocksY;
constexpr uint8_t kMagic[4] = {'O', 'R', 'B', 'T'};
constexpr int kEnrollImages = 3;

struct Context {
    uint32_t mode;
    int enrolled;
    bool enrolling;
    float sum[kCells];
};

// Steering and observation for tests.
struct Steering {
    int initFails = 0;
    int forcedVerify = 0;  // 0: compute
    int32_t forcedScore = 0;
    uint32_t forcedIndex = 0;
    int forcedQuality = 0;
    int doEnrollSecond = 0;
    int contexts = 0;  // open contexts
    uint32_t lastWidth = 0, lastHeight = 0;
    uint8_t lastFirst[4] = {}, lastLast[4] = {};
    uint32_t lastCount = 0, lastListSize = 0;
    uint8_t lastSlotTail[8] = {};  // bytes 1020..1027 of the first slot
    uint32_t lastMode = 0;
} gSteer;

void observe(const Image* image) {
    gSteer.lastWidth = image->width;
    gSteer.lastHeight = image->height;
    std::memcpy(gSteer.lastFirst, image->pixels, 4);
    std::memcpy(gSteer.lastLast, image->pixels + image->width * (image->height - 1), 4);
}

// Block means, normalised to zero mean and unit length.
void signature(const Image* image, float* out) {
    double total = 0;
    for (int by = 0; by < kBlocksY; ++by) {
        for (int bx = 0; bx < kBlocksX; ++bx) {
            uint32_t x0 = image->width * bx / kBlocksX, x1 = image->width * (bx + 1) / kBlocksX;
            uint32_t y0 = image->height * by / kBlocksY, y1 = image->height * (by + 1) / kBlocksY;
            double sum = 0;
            uint32_t n = 0;
            for (uint32_t y = y0; y < y1; ++y)
                for (uint32_t x = x0; x < x1; ++x, ++n) sum += image->pixels[y * image->width + x];
            out[by * kBlocksX + bx] = float(n != 0 ? sum / n : 0);
            total += out[by * kBlocksX + bx];
        }
    }
    double mean = total / kCells, norm = 0;
    for (int i = 0; i < kCells; ++i) {
        out[i] = float(out[i] - mean);
        norm += double(out[i]) * out[i];
    }
    norm = std::sqrt(norm);
    for (int i = 0; i < kCells; ++i) out[i] = norm > 0 ? float(out[i] / norm) : 0.0f;
}

int32_t similarity(const float* probe, const uint8_t* slot) {
    if (std::memcmp(slot, kMagic, 4) != 0) return 0;
    float stored[kCells];
    std::memcpy(stored, slot + 4, sizeof stored);
    double dot = 0;
    for (int i = 0; i < kCells; ++i) dot += double(probe[i]) * stored[i];
    return dot <= 0 ? 0 : int32_t(dot * 4000);
}

int32_t classify(int32_t score) { return score >= 2000 ? 2 : score >= 1000 ? 4 : 3; }

}  // namespace

extern "C" {

uintptr_t OrbBioSDK_Init(uint32_t magic, uint32_t, uint32_t mode, uint32_t* out) {
    if (gSteer.initFails || magic != 1007) return 0;
    auto* context = static_cast<Context*>(std::calloc(1, sizeof(Context)));
    if (context == nullptr) return 0;
    context->mode = mode;
    gSteer.lastMode = mode;
    if (out != nullptr) *out = 0;
    ++gSteer.contexts;
    return reinterpret_cast<uintptr_t>(context);
}

void OrbBioSDK_Terminate(uintptr_t context) {
    if (context == 0) return;
    std::free(reinterpret_cast<Context*>(context));
    --gSteer.contexts;
}

int32_t OrbBioSDK_CancelEnroll(uintptr_t context) {
    auto* c = reinterpret_cast<Context*>(context);
    c->enrolling = false;
    c->enrolled = 0;
    return 0;
}

int32_t OrbBioSDK_OpenEnroll(uintptr_t context) {
    auto* c = reinterpret_cast<Context*>(context);
    c->enrolling = true;
    c->enrolled = 0;
    std::memset(c->sum, 0, sizeof c->sum);
    return 1;
}

int32_t OrbBioSDK_DoEnroll(uintptr_t context, const Image* image, uint32_t* first, uint32_t* second,
                           uint32_t* third) {
    auto* c = reinterpret_cast<Context*>(context);
    if (!c->enrolling) return 7;
    observe(image);
    *first = *third = 0;
    *second = uint32_t(gSteer.doEnrollSecond);
    if (*second != 0) return 2;
    float s[kCells];
    signature(image, s);
    for (int i = 0; i < kCells; ++i) c->sum[i] += s[i];
    return ++c->enrolled >= kEnrollImages ? 3 : 2;
}

int32_t OrbBioSDK_CloseEnroll(uintptr_t context, Buffer* buffer) {
    auto* c = reinterpret_cast<Context*>(context);
    if (c->enrolled < kEnrollImages || buffer == nullptr || buffer->size < 4 + sizeof c->sum) return 9;
    float mean[kCells];
    double norm = 0;
    for (int i = 0; i < kCells; ++i) norm += double(c->sum[i]) * c->sum[i];
    norm = std::sqrt(norm);
    for (int i = 0; i < kCells; ++i) mean[i] = norm > 0 ? float(c->sum[i] / norm) : 0.0f;
    std::memcpy(buffer->data, kMagic, 4);
    std::memcpy(buffer->data + 4, mean, sizeof mean);
    c->enrolling = false;
    return 0;
}

static int32_t verifyCore(const Image* image, uint32_t count, uint32_t slotSize, const TemplateList* list,
                          int32_t* score, uint32_t* index) {
    observe(image);
    gSteer.lastCount = count;
    gSteer.lastListSize = list->size;
    std::memcpy(gSteer.lastSlotTail, list->slots + 1020, 8);
    if (gSteer.forcedVerify != 0) {
        *score = gSteer.forcedScore;
        *index = gSteer.forcedIndex;
        return gSteer.forcedVerify;
    }
    float probe[kCells];
    signature(image, probe);
    int32_t best = -1;
    for (uint32_t i = 0; i < count; ++i) {
        int32_t s = similarity(probe, list->slots + i * slotSize);
        if (s > best) {
            best = s;
            *index = i;
        }
    }
    *score = best;
    return classify(best);
}

int32_t OrbBioSDK_Verify(uintptr_t, const Image* image, uint32_t count, uint32_t slotSize, const TemplateList* list,
                         int32_t* score, uint32_t* index, uint32_t* third) {
    *third = 0;
    return verifyCore(image, count, slotSize, list, score, index);
}

int32_t OrbBioSDK_VerifyHalf(uintptr_t, const Image* image, uint32_t count, uint32_t slotSize,
                             const TemplateList* list, int32_t* score, uint32_t* index, uint32_t* third,
                             uint8_t* extra) {
    *third = 0;
    int32_t r = verifyCore(image, count, slotSize, list, score, index);
    std::memset(extra, 0x5A, 1024);
    return r;
}

#ifndef ORB_STANDIN_WITHOUT_VERIFY_EXT
int32_t OrbBioSDK_VerifyExt(uintptr_t, const Image* image, uint32_t count, uint32_t slotSize,
                            const TemplateList* list, uint32_t results, uint32_t* indices, int32_t* scores,
                            uint32_t* third) {
    *third = 0;
    observe(image);
    if (gSteer.forcedVerify != 0) {
        for (uint32_t i = 0; i < results; ++i) {
            indices[i] = (gSteer.forcedIndex + i) % count;
            scores[i] = gSteer.forcedScore;
        }
        return gSteer.forcedVerify;
    }
    float probe[kCells];
    signature(image, probe);
    // Best first: a selection over the templates not yet reported.
    bool used[64] = {};
    int32_t overall = 3;
    for (uint32_t r = 0; r < results; ++r) {
        int32_t best = -1;
        uint32_t at = 0;
        for (uint32_t i = 0; i < count && i < 64; ++i) {
            int32_t s = similarity(probe, list->slots + i * slotSize);
            if (!used[i] && s > best) {
                best = s;
                at = i;
            }
        }
        used[at] = true;
        indices[r] = at;
        scores[r] = best < 0 ? 0 : best;
        if (r == 0) overall = classify(best);
    }
    return overall;
}
#endif

int32_t OrbBioSDK_CheckQuality(uintptr_t, const Image* image) {
    observe(image);
    if (gSteer.forcedQuality != 0) return gSteer.forcedQuality;
    double sum = 0, squares = 0;
    const uint32_t n = image->width * image->height;
    for (uint32_t i = 0; i < n; ++i) {
        sum += image->pixels[i];
        squares += double(image->pixels[i]) * image->pixels[i];
    }
    const double mean = sum / n;
    return squares / n - mean * mean > 100.0 ? 1 : 2;
}

// Steering.
void OrbStandin_Reset() { gSteer = Steering{}; }
void OrbStandin_FailInit(int fails) { gSteer.initFails = fails; }
void OrbStandin_ForceVerify(int result, int32_t score, uint32_t index) {
    gSteer.forcedVerify = result;
    gSteer.forcedScore = score;
    gSteer.forcedIndex = index;
}
void OrbStandin_ForceQuality(int result) { gSteer.forcedQuality = result; }
int OrbStandin_OpenContexts() { return gSteer.contexts; }
// width, height, first 4 pixels of the first and of the last row, count, list size, slot bytes 1020..1027.
void OrbStandin_LastCall(uint32_t* width, uint32_t* height, uint8_t* first4, uint8_t* last4, uint32_t* count,
                         uint32_t* listSize, uint8_t* slotTail8) {
    *width = gSteer.lastWidth;
    *height = gSteer.lastHeight;
    std::memcpy(first4, gSteer.lastFirst, 4);
    std::memcpy(last4, gSteer.lastLast, 4);
    *count = gSteer.lastCount;
    *listSize = gSteer.lastListSize;
    std::memcpy(slotTail8, gSteer.lastSlotTail, 8);
}

}  // extern "C"
