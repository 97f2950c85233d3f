// Feature extraction: the pipeline state, the driver and the image operations it chains.
//
// Everything works inside one caller-given work area (the job's 128000 bytes, or the record's own
// buffer in place) plus fixed arrays on the stack: no allocation happens inside the pipeline.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "engines/recognition/match_data.h"
#include "engines/recognition/objects.h"
#include "engines/recognition/recog.h"

namespace DurodudUrodera::FpRecEngineImpl {

constexpr size_t kExtractionWorkArea = 128000;
constexpr int kWorkMaxWidth = 256;
constexpr int kWorkMaxHeight = 400;
constexpr int kBestMinutiae = 68;

namespace Embedded {

// Signed-byte direction vector of one 4x4 block.
struct OriEntry {
    int8_t re;
    int8_t im;
};

// Pipeline state: filled from the record, then rewritten by normalisation.
struct FeatureExtractionBase {
    const uint8_t* pixels = nullptr;
    uint64_t height = 0;
    uint64_t width = 0;
    uint64_t pixelCount = 0;
    int32_t xOffset = 1;  // origin of the work image in the source, in work pixels
    int32_t yOffset = 6;
    uint8_t* footprint = nullptr;
    OriEntry* orientation = nullptr;
    uint64_t blocksAcross = 0;
    uint64_t blockCount = 0;
    uint16_t resolution = 0;
    uint8_t sensorType = 0;
    const FeatureExtractionImplParameters* parameters = nullptr;

    // Runs the whole extraction of `pixels` into `out`.
    RecogResult ExtractMinutia(const uint8_t* source, uint8_t* work, size_t workSize, uint32_t purpose,
                               uint32_t flags, MatchData& out);
};

// Integer trigonometry of the image operations: 127-scaled sine, u8 angles (256 a turn).
int32_t sin127(uint8_t a);
uint8_t atan2u8(int32_t x, int32_t y);

// Orientation map and footprint over 4x4 blocks; `orientation` may be null (footprint only).
void orientation_map_and_footprint(int width, int pixelCount, const uint8_t* image, bool footprintOn,
                                   OriEntry* orientation, uint8_t* footprint);
// Block-FFT ridge enhancement in place; `room` holds at least 32 rows in front of the image, which
// starts at room + 32 * width after the call has moved it (the caller's layout).
void fft_enhance(uint8_t* image, int width, int pixelCount, uint8_t* room);
// Coefficient stage of the enhancement (exposed for tests): u in 0..15, v in -16..15.
void fftEnhanceCoefficient(int u, int v, int32_t& re, int32_t& im);

// Quantised phase image of `image` steered by the block orientations; `out` may be `image`.
void freeman_phasemap(int width, int pixelCount, const uint8_t* image, const OriEntry* orientation,
                      uint8_t* out);

// Bounded best-first list over the MatchData's own slots; its top is the least good entry.
class TopN {
public:
    TopN(Minutia* begin, int capacity) : begin_(begin), capacity_(capacity) {}
    // Keeps the candidate when it beats the threshold (not full) or the least good entry (full).
    void offer(const Minutia& m);
    int size() const { return size_; }
    // Removes and returns the least good entry.
    Minutia pop();

private:
    Minutia* begin_;
    int capacity_;
    int size_ = 0;
};

// a better than b: higher confidence, then smaller y, then smaller x, then angle not larger.
bool better(const Minutia& a, const Minutia& b);

void extract_minutia(const uint8_t* phase, int width, int pixelCount, const uint8_t* footprint, TopN& best,
                     const FeatureExtractionImplParameters& parameters, bool refineAngles);

// Follows the ridge from (x, y) and replaces `angle` by the direction walked when the walk is long.
bool adjust_angle(uint8_t& angle, int x, int y, const uint8_t* phase, int width, int pixelCount, bool turn);
bool is_in_footprint(int x, int y, int width, int pixelCount, const uint8_t* phase);

}  // namespace Embedded

// The extraction job: the pipeline state and, in the ordinary variant, its work area.
template <class Impl>
class FeatureExtractionObj final : public TaggedObject {
public:
    static constexpr char kTag[] = "FtxExtr";
    explicit FeatureExtractionObj(Context& context) : TaggedObject(context, kTag) {}
    int64_t result = 0;
    MatchData* output = nullptr;  // the feature set's record being filled
    Embedded::FeatureExtractionBase base;
    Impl impl;
};

namespace Embedded {
struct FeatureExtraction {
    uint8_t workArea[kExtractionWorkArea];
};
struct FeatureExtractionInPlace {};
}  // namespace Embedded

}  // namespace DurodudUrodera::FpRecEngineImpl
