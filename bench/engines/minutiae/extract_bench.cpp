// Time of a whole feature extraction (MntExtract at 500 dpi) per image, on synthetic fingerprints,
// and of the costliest image stage (smoothing along the ridges) against the version it replaced.
// Run pinned to one core: taskset -c N build/bench/bench_minutiae --benchmark_filter=Extract
// Before the image stages were reworked (groups of eight pixels, running sums, fewer branches), a
// 300 x 400 extraction took 14.2-15.3 ms of CPU on the machine measured, pinned, where the first
// reworked version took 9.7-10.5 ms in the same runs (500 x 500: 25.2-25.6 ms before, 17.5-18.4 ms).
// With thinning decided 32 pixels at a time, vectorised orientation row merges and contrast
// stretch, and shorter running-sum chains, runs alternating with that version gave 8.2-9.3 ms
// against its 9.0-10.7 ms (500 x 500: 13.9-14.8 ms against 15.6-17.3 ms; the machine was loaded).
// With pixel orientation rows run in whole vectors to the row's end and the directional filter
// taking two taps to a 16-bit multiply-add, runs alternating with that version gave 8.5-8.9 ms
// against its 8.6-9.5 ms (500 x 500: 14.2-15.3 ms against 14.6-15.8 ms; load average above 10).
// With the directional filter sixteen pixels at a time in 16-bit lanes (one quotient a group),
// orientation quotients through corrected float division, and orientation rows split into
// three loops, pinned runs alternating with that version gave medians of 7.09-7.25 ms against
// its 7.94-8.90 ms, and 7.13 ms against 8.13 ms with 500 x 500 at 12.1 ms against 14.0 ms (load
// average 1.2-1.8; with the load near 10 earlier, 7.4-8.0 ms against 8.0-9.3 ms). The stage of
// pixel orientations alone went from 0.52 to 0.45 ms.
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "engines/minutiae/context.h"
#include "engines/minutiae/dir_filter.h"
#include "engines/minutiae/directions.h"
#include "engines/minutiae/features.h"
#include "engines/minutiae/image_ops.h"
#include "engines/minutiae/mnt_engine.h"
#include "sim/finger/finger.h"

namespace {

using namespace mnt;

simfinger::Impression Print(int w, int h) {
    const simfinger::Finger finger = simfinger::makeMasterFinger(21, simfinger::FingerClass::LeftLoop);
    simfinger::ImpressionParams params = simfinger::randomImpressionParams(5);
    params.contact = {};
    return simfinger::renderImpression(finger, params, w, h, 500.0);
}

void BM_Extract(benchmark::State& state) {
    const int w = int(state.range(0)), h = int(state.range(1));
    const simfinger::Impression im = Print(w, h);
    MntContext* context = MntCreateContext();
    std::vector<uint8_t> pixels, features(mnt::kMaxCompressedSize);
    uint64_t size = 0;
    for (auto _ : state) {
        state.PauseTiming();
        pixels = im.image;
        state.ResumeTiming();
        benchmark::DoNotOptimize(MntExtract(w, h, pixels.data(), 500, features.data(), &size, context));
    }
    state.counters["bytes"] = double(size);
    MntFreeContext(context);
}

BENCHMARK(BM_Extract)->ArgNames({"w", "h"})->Args({300, 400})->Args({500, 500})->Unit(benchmark::kMillisecond);

// The smoothing along the ridges as it was: pixel by pixel, four at a time through 16-bit
// multiply-adds where four neighbours share an orientation, FilterPixel near the border.
void DirectSmoothBefore(int width, int height, ByteImage image, const ByteImage directions) {
    std::vector<uint8_t> source(size_t(width) * height);
    for (int y = 0; y < height; ++y) std::memcpy(source.data() + size_t(y) * width, image[y], size_t(width));
    static ptrdiff_t offsets[120][kFilterTaps];
    for (int o = 0; o < 120; ++o)
        for (int k = 0; k < filter_c[o]; ++k) offsets[o][k] = ptrdiff_t(filter_y[o][k]) * width + filter_x[o][k];
    auto apply = [&](const uint8_t* p, int o) {
        int32_t sum = filter_w0[o] * int32_t(*p);
        for (int k = 0; k < filter_c[o]; ++k)
            sum += filter_w[o][k] * (int32_t(p[-offsets[o][k]]) + int32_t(p[offsets[o][k]]));
        return uint8_t(sum / kFilterDivisor);
    };
    auto apply4 = [&](const uint8_t* p, int o, uint8_t* out) {
#if defined(__SSE2__)
        const __m128i zero = _mm_setzero_si128();
        auto bytes = [&](const uint8_t* q) {
            int32_t v;
            std::memcpy(&v, q, sizeof v);
            return _mm_unpacklo_epi8(_mm_cvtsi32_si128(v), zero);
        };
        __m128i acc = _mm_madd_epi16(_mm_unpacklo_epi16(bytes(p), zero), _mm_set1_epi32(filter_w0[o]));
        for (int k = 0; k < filter_c[o]; ++k) {
            const __m128i pairs = _mm_unpacklo_epi16(bytes(p - offsets[o][k]), bytes(p + offsets[o][k]));
            acc = _mm_add_epi32(acc, _mm_madd_epi16(pairs, _mm_set1_epi16(int16_t(filter_w[o][k]))));
        }
        int32_t sum[4];
        _mm_storeu_si128(reinterpret_cast<__m128i*>(sum), acc);
        for (int j = 0; j < 4; ++j) out[j] = uint8_t(sum[j] / kFilterDivisor);
#else
        for (int j = 0; j < 4; ++j) out[j] = apply(p + j, o);
#endif
    };
    constexpr int kReach = 6;
    for (int y = 0; y < height; ++y) {
        const uint8_t* row = source.data() + size_t(y) * width;
        uint8_t* out = image[y];
        const bool innerRow = y >= kReach && y < height - kReach;
        for (int x = 0; x < width; ++x) {
            const int o = directions[y][x] & 0x7F;
            if (!innerRow || x < kReach || x >= width - kReach) {
                out[x] = FilterPixel(source.data(), width, height, x, y, o);
            } else if (o >= 120) {
                const uint8_t* p = row + x;
                out[x] = uint8_t((p[-width - 1] + p[-width] + p[-width + 1] + p[-1] + p[0] + p[1] + p[width - 1] +
                                  p[width] + p[width + 1]) / 9);
            } else if (x + 3 < width - kReach && (directions[y][x + 1] & 0x7F) == o &&
                       (directions[y][x + 2] & 0x7F) == o && (directions[y][x + 3] & 0x7F) == o) {
                apply4(row + x, o, out + x);
                x += 3;
            } else {
                out[x] = apply(row + x, o);
            }
        }
    }
}

// A print and its orientations as extraction has them when it smooths along the ridges.
struct SmoothingInput {
    int w = 300, h = 400;
    std::vector<uint8_t> image, directions;
    SmoothingInput() {
        const simfinger::Impression im = Print(w, h);
        ByteImage a = CreateByteImage(w, h), b = CreateByteImage(w, h), d = CreateByteImage(w, h);
        for (int y = 0; y < h; ++y) std::memcpy(a[y], im.image.data() + size_t(y) * w, size_t(w));
        CopyByteImage(w, h, a, b);
        SmoothImage(w, h, b, 4);
        NormalizeImage(w, h, a, b, 128);
        ComputeDirImage(w, h, b, d, 12, 12, 19, 0);
        for (int y = 0; y < h; ++y) {
            image.insert(image.end(), im.image.begin() + size_t(y) * w, im.image.begin() + size_t(y + 1) * w);
            directions.insert(directions.end(), d[y], d[y] + w);
        }
        FreeImage(a, h);
        FreeImage(b, h);
        FreeImage(d, h);
    }
};

template <bool before>
void BM_DirectSmooth(benchmark::State& state) {
    const SmoothingInput in;
    ByteImage image = CreateByteImage(in.w, in.h), directions = CreateByteImage(in.w, in.h);
    auto fill = [&](ByteImage target, const std::vector<uint8_t>& from) {
        for (int y = 0; y < in.h; ++y) std::memcpy(target[y], from.data() + size_t(y) * in.w, size_t(in.w));
    };
    fill(directions, in.directions);
    for (auto _ : state) {
        state.PauseTiming();
        fill(image, in.image);
        state.ResumeTiming();
        if (before) DirectSmoothBefore(in.w, in.h, image, directions);
        else DirectSmoothImage(in.w, in.h, image, directions);
        benchmark::ClobberMemory();
    }
    // Both give the same image.
    ByteImage other = CreateByteImage(in.w, in.h);
    fill(other, in.image);
    fill(image, in.image);
    DirectSmoothBefore(in.w, in.h, other, directions);
    DirectSmoothImage(in.w, in.h, image, directions);
    for (int y = 0; y < in.h; ++y)
        if (std::memcmp(image[y], other[y], size_t(in.w)) != 0) state.SkipWithError("the two versions differ");
    FreeImage(other, in.h);
    FreeImage(image, in.h);
    FreeImage(directions, in.h);
}

BENCHMARK(BM_DirectSmooth<true>)->Name("BM_ExtractStage_DirectSmooth/before")->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_DirectSmooth<false>)->Name("BM_ExtractStage_DirectSmooth/now")->Unit(benchmark::kMicrosecond);

}  // namespace
