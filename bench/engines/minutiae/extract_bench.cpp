// Time of a whole feature extraction (MntExtract at 500 dpi) per image, on synthetic fingerprints.
#include <benchmark/benchmark.h>

#include <vector>

#include "engines/minutiae/context.h"
#include "engines/minutiae/features.h"
#include "engines/minutiae/mnt_engine.h"
#include "sim/finger/finger.h"

namespace {

void BM_Extract(benchmark::State& state) {
    const int w = int(state.range(0)), h = int(state.range(1));
    const simfinger::Finger finger = simfinger::makeMasterFinger(21, simfinger::FingerClass::LeftLoop);
    simfinger::ImpressionParams params = simfinger::randomImpressionParams(5);
    params.contact = {};
    const simfinger::Impression im = simfinger::renderImpression(finger, params, w, h, 500.0);
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

}  // namespace
