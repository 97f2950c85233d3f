// Speed of the finger generator: growing a master and rendering a 300x400 impression from it.
#include <benchmark/benchmark.h>

#include "sim/finger/finger.h"

namespace {

void BM_MasterFinger(benchmark::State& state) {
    uint64_t seed = 1;
    for (auto _ : state) {
        simfinger::Finger f = simfinger::makeMasterFinger(seed++, simfinger::FingerClass::Whorl);
        benchmark::DoNotOptimize(f.image.data());
    }
}
BENCHMARK(BM_MasterFinger)->Unit(benchmark::kMillisecond);

void BM_Impression300x400(benchmark::State& state) {
    const simfinger::Finger f = simfinger::makeMasterFinger(1, simfinger::FingerClass::LeftLoop);
    uint64_t seed = 1;
    for (auto _ : state) {
        simfinger::Impression im = simfinger::renderImpression(f, simfinger::randomImpressionParams(seed++), 300, 400, 508);
        benchmark::DoNotOptimize(im.image.data());
    }
}
BENCHMARK(BM_Impression300x400)->Unit(benchmark::kMillisecond);

// What a test pays for one fresh finger image: a master and one impression of it.
void BM_FingerImage300x400(benchmark::State& state) {
    uint64_t seed = 1;
    for (auto _ : state) {
        const simfinger::Finger f = simfinger::makeMasterFinger(seed, simfinger::classFromSeed(seed));
        simfinger::Impression im = simfinger::renderImpression(f, simfinger::randomImpressionParams(seed++), 300, 400, 500);
        benchmark::DoNotOptimize(im.image.data());
    }
}
BENCHMARK(BM_FingerImage300x400)->Unit(benchmark::kMillisecond);

void BM_FindMinutiae300x400(benchmark::State& state) {
    const simfinger::Finger f = simfinger::makeMasterFinger(1, simfinger::FingerClass::LeftLoop);
    const simfinger::Impression im = simfinger::renderImpression(f, simfinger::randomImpressionParams(2), 300, 400, 500);
    for (auto _ : state) {
        auto found = simfinger::findMinutiae(im.image, im.width, im.height, im.mask);
        benchmark::DoNotOptimize(found.data());
    }
}
BENCHMARK(BM_FindMinutiae300x400)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
