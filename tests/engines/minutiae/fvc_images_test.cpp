// The image stages in extraction order on real fingerprint images, as far as the skeleton.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "engines/minutiae/context.h"
#include "engines/minutiae/dir_filter.h"
#include "engines/minutiae/directions.h"
#include "engines/minutiae/features.h"
#include "engines/minutiae/image_ops.h"
#include "engines/minutiae/singular_points.h"
#include "test_support.h"

namespace {

using namespace mnt;
using mnt::test::Image;

struct StageResult {
    int quality = -1;
    int goodPixels = 0;
    std::unique_ptr<FeatureRecord> record = std::make_unique<FeatureRecord>();
};

// Extraction's image stages with the settings of a context, up to the ridge-edge density.
StageResult RunStages(const MntContext& c, Image& image) {
    const int w = image.width(), h = image.height();
    StageResult result;
    FeatureRecord& record = *result.record;
    Image a(w, h), b(w, h);
    PuttyImage(w, h, image.rows());
    if (c.extraPutty) PuttyImage(w, h, image.rows());
    CopyByteImage(w, h, image.rows(), a.rows());
    SmoothImage(w, h, a.rows(), c.smoothRadius);
    NormalizeImage(w, h, image.rows(), a.rows(), c.normalizeRadius);
    for (int i = 0; i < (c.extraPutty ? 3 : 2); ++i) PuttyImage(w, h, a.rows());

    int columns, rows;
    ComputeBlockedImageSize(w, h, &columns, &rows);
    SingularPointList blockPoints{};
    {
        Image d(columns, rows), e(columns, rows);
        ComputeBlockDirImage(w, h, a.rows(), columns, rows, d.rows(), e.rows(), c.blockContrastMin);
        CleanupBlockDirImage(columns, rows, d.rows(), e.rows(), c.blockQualityMax);
        record.blockColumns = std::min(columns, kGridSize);
        record.blockRows = std::min(rows, kGridSize);
        for (int y = 0; y < record.blockRows; ++y)
            for (int x = 0; x < record.blockColumns; ++x) record.blockGrid[y][x] = d.at(x, y);
        ExtractSingularPoints(columns, rows, d.rows(), &blockPoints);
    }
    ComputeDirImage(w, h, a.rows(), b.rows(), c.dirRadius, c.noiseRadius, c.dirContrastMin, c.squaredDifferences);
    GroupSingularPoints(w, h, b.rows(), &blockPoints, &record.singularPoints);
    result.quality = uint8_t(ComputeBadArea(w, h, b.rows(), a.rows(), &record.singularPoints, c.badAreaRadius,
                                            c.badAreaQualityMax));
    DirectSmoothImage(w, h, image.rows(), b.rows());
    BinarizeImageTwo(w, h, image.rows(), a.rows(), c.binarizeRadiusSmall, c.binarizeRadiusLarge);
    ComputeGImage(w, h, a.rows(), b.rows(), c.densityRadius);
    SmoothImage(w, h, a.rows(), c.densitySmoothRadius);
    BinarizeImageA(w, h, image.rows(), a.rows(), c.densityHighLimit, c.densityLowLimit, c.binarizeRadiusSmall,
                   c.binarizeRadiusMedium, c.binarizeRadiusLarge);
    DirFilterImage(w, h, image.rows(), c.dirFilterRadius, c.dirFilterPasses);
    ComputeDirImageF(w, h, image.rows(), b.rows(), a.rows(), &record.singularPoints, c.filterDirRadius,
                     c.filterQualityMax, c.filterQualityMin, c.filterBasePasses, c.filterPassScale);
    FilterImage(w, h, image.rows(), b.rows(), a.rows());
    BinarizeImageA(w, h, image.rows(), a.rows(), c.densityHighLimit, c.densityLowLimit, c.binarizeRadiusSmall,
                   c.binarizeRadiusMedium, c.binarizeRadiusLarge);
    BSmoothImage(w, h, image.rows());
    record.ridgeEdgeDensity = ComputeG(w, h, image.rows(), b.rows());
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) result.goodPixels += (b.at(x, y) & 0x80) == 0;
    return result;
}

TEST(RealImages, StagesGivePlausibleResults) {
    MntContext* context = MntCreateContext();
    std::vector<uint8_t> compressed(kMaxCompressedSize);
    int images = 0;
    // A few fingers of different kinds and qualities keep the test quick.
    for (const char* name : {"101_1.tif", "103_2.tif", "106_1.tif", "110_1.tif"}) {
        std::vector<uint8_t> pixels;
        int w = 0, h = 0;
        if (!test::ReadTiff(test::FvcPath(name), pixels, w, h)) continue;
        ++images;
        ASSERT_EQ(w, 300);
        ASSERT_EQ(h, 300);
        Image image(w, h, [&](int x, int y) { return pixels[size_t(y) * w + x]; });
        const StageResult r = RunStages(*context, image);

        // A finger covers a good part of these images, and its ridges are clear enough there.
        EXPECT_GT(r.goodPixels, w * h / 5) << name;
        EXPECT_LT(r.quality, 200) << name;
        EXPECT_GT(r.record->ridgeEdgeDensity, 40) << name;
        EXPECT_LE(r.record->singularPoints.count, 6) << name;
        for (int i = 0; i < r.record->singularPoints.count; ++i) {
            EXPECT_TRUE(r.record->singularPoints.type[i] == 1 || r.record->singularPoints.type[i] == -1) << name;
            EXPECT_GE(r.record->singularPoints.direction[i], 0);
            EXPECT_LT(r.record->singularPoints.direction[i], 240);
        }
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) ASSERT_TRUE(image.at(x, y) == 0 || image.at(x, y) == 255) << name;

        // The grid and points go through the feature format unchanged.
        const size_t n = CompressFeatures(r.record.get(), compressed.data(), context);
        auto back = std::make_unique<FeatureRecord>();
        DecompressFeatures(compressed.data(), back.get());
        EXPECT_LT(n, 10000u);
        EXPECT_EQ(back->blockColumns, 18);
        EXPECT_EQ(back->blockRows, 18);
        int withOrientation = 0;
        for (int y = 0; y < 18; ++y)
            for (int x = 0; x < 18; ++x) {
                const uint8_t v = r.record->blockGrid[y][x];
                EXPECT_EQ(back->blockGrid[y][x], v > 120 && v < 255 ? 127 : v);
                withOrientation += v < 120;
            }
        EXPECT_GT(withOrientation, 18 * 18 / 5) << name;
        EXPECT_EQ(back->singularPoints.count, r.record->singularPoints.count);
        std::printf("%s: quality %d, good %d%%, density %d, singular points %d, grid %d/324, %zu bytes\n",
                    name, r.quality, r.goodPixels * 100 / (w * h), r.record->ridgeEdgeDensity,
                    r.record->singularPoints.count, withOrientation, n);
    }
    if (images == 0) GTEST_SKIP() << "no images at " << test::FvcPath("");
    MntFreeContext(context);
}

}  // namespace
