// The feature extraction driver: resampling to 500 dpi, the stages in order, and the compressed set.
#include "engines/minutiae/extract.h"

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <new>
#include <vector>

#include "engines/minutiae/context.h"
#include "engines/minutiae/dir_filter.h"
#include "engines/minutiae/directions.h"
#include "engines/minutiae/image_ops.h"
#include "engines/minutiae/minutiae.h"
#include "engines/minutiae/singular_points.h"
#include "engines/minutiae/skeleton.h"
#include "engines/minutiae/skeleton_clean.h"
#include "engines/minutiae/window.h"

namespace mnt {
namespace {

constexpr uint32_t kEnhanceRadius = 5;
constexpr int kContrastQualityMax = 95;

// A byte image owned for one call; throws std::bad_alloc when memory runs out.
class OwnedImage {
 public:
    OwnedImage(int width, int height) : height_(height), rows_(CreateByteImage(width, height)) {
        if (rows_ == nullptr) throw std::bad_alloc();
    }
    OwnedImage(const OwnedImage&) = delete;
    OwnedImage& operator=(const OwnedImage&) = delete;
    ~OwnedImage() { FreeImage(rows_, height_); }
    ByteImage rows() const { return rows_; }

 private:
    int height_;
    ByteImage rows_;
};

struct FreeDeleter {
    void operator()(void* p) const { std::free(p); }
};

// Source index of every target index, x * s / t, accumulated by addition.
std::vector<int> SourceIndices(int s, int t) {
    std::vector<int> index(size_t(t > 0 ? t : 0));
    int64_t acc = 0;
    for (int i = 0; i < t; ++i, acc += s) index[size_t(i)] = int(acc / t);
    return index;
}

template <typename Read, typename Write>
void Stretch(int sw, int sh, int tw, int th, Read read, Write write) {
    if (sw <= 0 || sh <= 0 || tw <= 0 || th <= 0) return;
    const std::vector<int> columns = SourceIndices(sw, tw), rows = SourceIndices(sh, th);
    for (int y = 0; y < th; ++y) {
        const uint8_t* in = read(rows[size_t(y)]);
        uint8_t* out = write(y);
        for (int x = 0; x < tw; ++x) out[x] = in[columns[size_t(x)]];
    }
}

}  // namespace

void ComputeStretchedImageSize(int32_t width, int32_t height, int32_t resolution, int32_t* stretchedWidth,
                               int32_t* stretchedHeight) {
    // In 64 bits: width x 500 passes 32 bits for widths above about four million.
    auto stretch = [resolution](int32_t side) -> int32_t {
        if (resolution == 0) return -1;
        const int64_t s = int64_t(side) * kWorkingResolution / resolution;
        return s > INT32_MAX || s < INT32_MIN ? -1 : int32_t(s);
    };
    *stretchedWidth = stretch(width);
    *stretchedHeight = stretch(height);
}

void StretchImage(int sw, int sh, const ByteImage source, int tw, int th, ByteImage target) {
    Stretch(sw, sh, tw, th, [&](int y) { return source[y]; }, [&](int y) { return target[y]; });
}

void StretchLinearImage(int sw, int sh, const uint8_t* source, int tw, int th, uint8_t* target) {
    Stretch(
        sw, sh, tw, th, [&](int y) { return source + size_t(y) * size_t(sw); },
        [&](int y) { return target + size_t(y) * size_t(tw); });
}

void StretchImageFromLinear(int sw, int sh, const uint8_t* source, int tw, int th, ByteImage target) {
    Stretch(
        sw, sh, tw, th, [&](int y) { return source + size_t(y) * size_t(sw); }, [&](int y) { return target[y]; });
}

void StretchImageToLinear(int sw, int sh, const ByteImage source, int tw, int th, uint8_t* target) {
    Stretch(
        sw, sh, tw, th, [&](int y) { return source[y]; }, [&](int y) { return target + size_t(y) * size_t(tw); });
}

void MapBadArea(int width, int height, ByteImage image, const ByteImage directions) {
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            if (directions[y][x] & kBadAreaBit) image[y][x] = 255;
}

void EnhanceGoodArea(int width, int height, ByteImage directions, uint32_t radius) {
    // A row is rewritten only after the window sums have loaded it.
    ForEachWindowSumRow<int32_t>(
        width, height, ClipRadius(radius, width, height), 1,
        [&](int y, int32_t* row) {
            for (int x = 0; x < width; ++x) row[x] = (directions[y][x] & kBadAreaBit) ? 0 : 1;
        },
        [&](int y, const int32_t* good) {
            for (int x = 0; x < width; ++x)
                directions[y][x] = good[x] > 0 ? directions[y][x] & 0x7F : directions[y][x] | kBadAreaBit;
        });
}

int32_t ExtractFeatures(int width, int height, ByteImage image, FeatureRecord* record, const MntContext* context) {
    const MntContext& c = *context;
    const int w = width, h = height;
    auto blockPoints = std::make_unique<SingularPointList>();
    *blockPoints = {};
    OwnedImage a(w, h), b(w, h);
    std::unique_ptr<OwnedImage> source;
    if (c.keepSourceImage) {
        source = std::make_unique<OwnedImage>(w, h);
        CopyByteImage(w, h, image, source->rows());
    }
    ByteImage A = a.rows(), B = b.rows();

    PuttyImage(w, h, image);
    if (c.extraPutty) PuttyImage(w, h, image);
    CopyByteImage(w, h, image, A);
    SmoothImage(w, h, A, c.smoothRadius);
    NormalizeImage(w, h, image, A, c.normalizeRadius);
    for (int i = 0; i < (c.extraPutty ? 3 : 2); ++i) PuttyImage(w, h, A);

    int columns = 0, rows = 0;
    ComputeBlockedImageSize(w, h, &columns, &rows);
    {
        OwnedImage d(columns, rows), e(columns, rows);
        ComputeBlockDirImage(w, h, A, columns, rows, d.rows(), e.rows(), c.blockContrastMin);
        CleanupBlockDirImage(columns, rows, d.rows(), e.rows(), c.blockQualityMax);
        record->blockColumns = std::min(columns, kGridSize);
        record->blockRows = std::min(rows, kGridSize);
        for (int y = 0; y < record->blockRows; ++y)
            for (int x = 0; x < record->blockColumns; ++x) record->blockGrid[y][x] = d.rows()[y][x];
        ExtractSingularPoints(columns, rows, d.rows(), blockPoints.get());
    }

    ComputeDirImage(w, h, A, B, c.dirRadius, c.noiseRadius, c.dirContrastMin, c.squaredDifferences);
    GroupSingularPoints(w, h, B, blockPoints.get(), &record->singularPoints);
    const uint8_t q = uint8_t(
        ComputeBadArea(w, h, B, A, &record->singularPoints, c.badAreaRadius, c.badAreaQualityMax));
    if (c.enhanceGoodArea) EnhanceGoodArea(w, h, B, kEnhanceRadius);
    if (c.eliminateSpots) {
        CopyByteImage(w, h, B, A);
        EliminateSpots(w, h, A);
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) B[y][x] = uint8_t((B[y][x] & 0x7F) | (A[y][x] & kBadAreaBit));
    }
    DirectSmoothImage(w, h, image, B);

    auto finalBinarisation = [&] {
        if (c.useTwoLevelBinarization) {
            BinarizeImageA(w, h, image, A, c.densityHighLimit, c.densityLowLimit, c.binarizeRadiusSmall,
                           c.binarizeRadiusMedium, c.binarizeRadiusLarge);
        } else {
            BinarizeImage(w, h, image, c.binarizeRadiusMedium);
        }
    };
    if (c.useTwoLevelBinarization) {
        BinarizeImageTwo(w, h, image, A, c.binarizeRadiusSmall, c.binarizeRadiusLarge);
        ComputeGImage(w, h, A, B, c.densityRadius);
        SmoothImage(w, h, A, c.densitySmoothRadius);
    }
    finalBinarisation();

    // Sums of 32-bit settings in 64 bits, so that no combination wraps to zero.
    const uint64_t filterPasses = uint64_t(c.filterBasePasses) + c.filterPassScale;
    if (c.dirFilterPasses + filterPasses != 0) {
        if (c.dirFilterPasses != 0) DirFilterImage(w, h, image, c.dirFilterRadius, c.dirFilterPasses);
        if (filterPasses != 0) {
            ComputeDirImageF(w, h, image, B, A, &record->singularPoints, c.filterDirRadius, c.filterQualityMax,
                             c.filterQualityMin, c.filterBasePasses, c.filterPassScale);
            FilterImage(w, h, image, B, A);
        }
        finalBinarisation();
    }
    BSmoothImage(w, h, image);

    CopyByteImage(w, h, image, A);
    MapBadArea(w, h, image, B);
    record->ridgeEdgeDensity = ComputeG(w, h, A, B);

    SkeletonizeImage(w, h, A, c.skeletonIterations);
    EliminateLines(w, h, A, B);
    EliminateEyes(w, h, A, B);
    ExtractMinutiae(w, h, A, B, &record->minutiae);
    const uint32_t contrastTest = c.keepSourceImage && q <= kContrastQualityMax ? 1 : 0;
    SelectBadMinutiae(w, h, source ? source->rows() : nullptr, B, &record->minutiae, c.pairFilter, contrastTest);
    EliminateBadMinutiae(&record->minutiae);

    if (c.reportGoodAreaMean) return q;
    return q < c.goodAreaMeanLimit ? 1 : 0;
}

}  // namespace mnt

extern "C" int32_t MntExtract(int32_t width, int32_t height, uint8_t* pixels, int32_t resolution,
                              uint8_t* features, uint64_t* size, MntContext* context) {
    using namespace mnt;
    const MntContext* c = ResolveContext(context);
    if (c == nullptr) return MNT_NO_CONTEXT;
    if (resolution < kMinResolution || resolution > kMaxResolution) return MNT_BAD_RESOLUTION;
    int32_t sw = 0, sh = 0;
    ComputeStretchedImageSize(width, height, resolution, &sw, &sh);
    if (sw < kMinStretchedSide || sw > kMaxStretchedSide || sh < kMinStretchedSide || sh > kMaxStretchedSide)
        return MNT_BAD_IMAGE_SIZE;
    // Callers always pass buffers; a null one is refused rather than written through.
    if (pixels == nullptr || features == nullptr || size == nullptr) return MNT_NULL_POINTER;
    int32_t r;
    try {
        std::unique_ptr<FeatureRecord, FreeDeleter> record(
            static_cast<FeatureRecord*>(std::calloc(1, sizeof(FeatureRecord))));
        if (!record) return MNT_OUT_OF_MEMORY;
        OwnedImage image(sw, sh);
        StretchImageFromLinear(width, height, pixels, sw, sh, image.rows());
        r = ExtractFeatures(sw, sh, image.rows(), record.get(), c);
        *size = CompressFeatures(record.get(), features, c);
        StretchImageToLinear(sw, sh, image.rows(), width, height, pixels);
    } catch (const std::bad_alloc&) {
        // The pipeline has no result code of its own for this; what the buffers hold is not a result.
        return MNT_OUT_OF_MEMORY;
    }
    if (c->reportGoodAreaMean) return r;
    return r != 0 ? MNT_OK : MNT_NO_FEATURES;
}
