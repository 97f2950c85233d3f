// Time of the engine's image stages (normalisation to the final binary image) per image.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "engines/minutiae/context.h"
#include "engines/minutiae/dir_filter.h"
#include "engines/minutiae/directions.h"
#include "engines/minutiae/features.h"
#include "engines/minutiae/image_ops.h"
#include "engines/minutiae/singular_points.h"

namespace {

using namespace mnt;

struct Owned {
    int w, h;
    ByteImage rows;
    Owned(int width, int height) : w(width), h(height), rows(CreateByteImage(width, height)) {}
    ~Owned() { FreeImage(rows, h); }
};

// A whorl-like pattern with some noise, so that every stage has ridges to work on.
void FillPattern(Owned& image) {
    unsigned seed = 7;
    for (int y = 0; y < image.h; ++y)
        for (int x = 0; x < image.w; ++x) {
            seed = seed * 1103515245u + 12345u;
            const double d = std::hypot(x - image.w * 0.5, (y - image.h * 0.45) * 1.3);
            const int v = int(128 + 90 * std::cos(d * 2 * M_PI / 9.0)) + int((seed >> 16) % 31) - 15;
            image.rows[y][x] = uint8_t(v < 0 ? 0 : v > 255 ? 255 : v);
        }
}

enum Stage { kNormalise = 1, kBlocks = 2, kDirections = 4, kBadArea = 8, kBinarise = 16, kFilter = 32, kAll = 63 };

void RunStages(const MntContext& c, Owned& image, Owned& a, Owned& b, int stages) {
    const int w = image.w, h = image.h;
    if (stages & kNormalise) {
        PuttyImage(w, h, image.rows);
        CopyByteImage(w, h, image.rows, a.rows);
        SmoothImage(w, h, a.rows, c.smoothRadius);
        NormalizeImage(w, h, image.rows, a.rows, c.normalizeRadius);
        PuttyImage(w, h, a.rows);
        PuttyImage(w, h, a.rows);
    }
    SingularPointList blockPoints{}, points{};
    if (stages & kBlocks) {
        int columns, rows;
        ComputeBlockedImageSize(w, h, &columns, &rows);
        Owned d(columns, rows), e(columns, rows);
        ComputeBlockDirImage(w, h, a.rows, columns, rows, d.rows, e.rows, c.blockContrastMin);
        CleanupBlockDirImage(columns, rows, d.rows, e.rows, c.blockQualityMax);
        ExtractSingularPoints(columns, rows, d.rows, &blockPoints);
    }
    if (stages & kDirections) {
        ComputeDirImage(w, h, a.rows, b.rows, c.dirRadius, c.noiseRadius, c.dirContrastMin, c.squaredDifferences);
        GroupSingularPoints(w, h, b.rows, &blockPoints, &points);
    }
    if (stages & kBadArea) ComputeBadArea(w, h, b.rows, a.rows, &points, c.badAreaRadius, c.badAreaQualityMax);
    if (stages & kBinarise) {
        DirectSmoothImage(w, h, image.rows, b.rows);
        BinarizeImageTwo(w, h, image.rows, a.rows, c.binarizeRadiusSmall, c.binarizeRadiusLarge);
        ComputeGImage(w, h, a.rows, b.rows, c.densityRadius);
        SmoothImage(w, h, a.rows, c.densitySmoothRadius);
        BinarizeImageA(w, h, image.rows, a.rows, c.densityHighLimit, c.densityLowLimit, c.binarizeRadiusSmall,
                       c.binarizeRadiusMedium, c.binarizeRadiusLarge);
    }
    if (stages & kFilter) {
        DirFilterImage(w, h, image.rows, c.dirFilterRadius, c.dirFilterPasses);
        ComputeDirImageF(w, h, image.rows, b.rows, a.rows, &points, c.filterDirRadius, c.filterQualityMax,
                         c.filterQualityMin, c.filterBasePasses, c.filterPassScale);
        FilterImage(w, h, image.rows, b.rows, a.rows);
        BinarizeImageA(w, h, image.rows, a.rows, c.densityHighLimit, c.densityLowLimit, c.binarizeRadiusSmall,
                       c.binarizeRadiusMedium, c.binarizeRadiusLarge);
        BSmoothImage(w, h, image.rows);
    }
}

void BM_ImageStages(benchmark::State& state) {
    const int w = int(state.range(0)), h = int(state.range(1)), stages = int(state.range(2));
    MntContext* context = MntCreateContext();
    Owned source(w, h), image(w, h), a(w, h), b(w, h);
    FillPattern(source);
    // A single stage is timed on the inputs that the stages before it leave.
    const int before = stages == kAll ? 0 : stages - 1;
    for (auto _ : state) {
        state.PauseTiming();
        CopyByteImage(w, h, source.rows, image.rows);
        RunStages(*context, image, a, b, before);
        state.ResumeTiming();
        RunStages(*context, image, a, b, stages);
        benchmark::DoNotOptimize(image.rows[h / 2][w / 2]);
    }
    MntFreeContext(context);
}

BENCHMARK(BM_ImageStages)
    ->ArgNames({"w", "h", "stages"})
    ->Args({300, 400, kAll})
    ->Args({500, 500, kAll})
    ->Args({300, 400, kNormalise})
    ->Args({300, 400, kBlocks})
    ->Args({300, 400, kDirections})
    ->Args({300, 400, kBinarise})
    ->Args({300, 400, kFilter})
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
