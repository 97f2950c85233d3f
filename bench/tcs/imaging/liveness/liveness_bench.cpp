// Liveness per 300x400 500 ppi image (synthetic prints): the whole test as the driver runs it, its
// two image stages alone, and the test without classifier tables, which is all a capture pays today.
#include "sim/finger/finger.h"
#include "tcs/imaging/liveness/features.h"
#include "tcs/imaging/liveness/mask_gen.h"
#include "tcs/imaging/liveness/nex.h"

#include <benchmark/benchmark.h>

#include <memory>
#include <vector>

namespace {

constexpr int kColumns = 300, kRows = 400;

struct Prints {
    std::vector<std::vector<uint8_t>> images;
    Prints() {
        for (uint64_t seed = 1; seed <= 4; ++seed) {
            const simfinger::Finger f = simfinger::makeMasterFinger(seed);
            images.push_back(
                simfinger::renderImpression(f, simfinger::randomImpressionParams(seed), kColumns, kRows, 500).image);
        }
    }
};

const Prints& prints() {
    static const Prints p;
    return p;
}

// Tables whose score does not depend on the image: the cost is the same as a trained set's.
void installTables() {
    auto t = std::make_unique<NexClassifierTables>();
    for (int i = 0; i < NEX_FEATURE_COUNT; ++i) t->mx[i] = 1;
    nexSetClassifierTables(t.get());
}

// One image through initialise, test and finalise, as the driver's Service step does it.
uint32_t livenessTest(const std::vector<uint8_t>& pixels, int32_t* score) {
    uint32_t size = 0;
    NexConfigRecord config{sizeof(NexConfigRecord), 0, {}, 0, nullptr};
    config.data = nexGetConfigData(&size);
    config.dataSize = size;
    NexHandle* handle = nullptr;
    uint32_t statusSize = 0, resultSize = 0;
    uint32_t r = nexInitialize(0, &handle, &statusSize, &resultSize, &config);
    if (r != 0) return r;
    const nexImage_t image{sizeof(nexImage_t), 0, 0, 8, 0, 508, 508, kRows, kColumns, kRows * kColumns, pixels.data()};
    NexFlagsRecord flags{sizeof(NexFlagsRecord), {}};
    NexStatusRecord status{sizeof(NexStatusRecord), {}};
    NexResultRecord result{sizeof(NexResultRecord), 0, {}};
    r = nexLivenessTest(handle, &image, &image, &flags, &status, &result);
    *score = result.score;
    nexFinalize(handle, &image, &flags, &status, &result);
    return r;
}

void runTests(benchmark::State& state, bool withTables) {
    const Prints& p = prints();
    if (withTables) installTables();
    size_t i = 0;
    for (auto _ : state) {
        int32_t score = 0;
        const uint32_t r = livenessTest(p.images[i++ % p.images.size()], &score);
        if (r != (withTables ? 0u : 1u)) state.SkipWithError("unexpected result");
        benchmark::DoNotOptimize(score);
    }
    nexSetClassifierTables(nullptr);
    state.SetItemsProcessed(int64_t(state.iterations()));
}

void BM_LivenessTest(benchmark::State& state) { runTests(state, true); }
BENCHMARK(BM_LivenessTest)->Unit(benchmark::kMillisecond);

void BM_LivenessWithoutTables(benchmark::State& state) { runTests(state, false); }
BENCHMARK(BM_LivenessWithoutTables)->Unit(benchmark::kMicrosecond);

void BM_MaskStage(benchmark::State& state) {
    const Prints& p = prints();
    std::vector<uint8_t> mask(kRows * kColumns), ridge(kRows * kColumns), thinned(kRows * kColumns);
    size_t i = 0;
    for (auto _ : state) {
        const int r = liveness::mask_gen(p.images[i++ % p.images.size()].data(), mask.data(), ridge.data(),
                                         thinned.data(), kRows, kColumns);
        benchmark::DoNotOptimize(r);
    }
}
BENCHMARK(BM_MaskStage)->Unit(benchmark::kMillisecond);

void BM_Features(benchmark::State& state) {
    const std::vector<uint8_t>& image = prints().images[0];
    std::vector<uint8_t> mask(kRows * kColumns), ridge(kRows * kColumns), thinned(kRows * kColumns);
    liveness::mask_gen(image.data(), mask.data(), ridge.data(), thinned.data(), kRows, kColumns);
    double features[NEX_FEATURE_COUNT];
    for (auto _ : state) {
        const int r = liveness::extract_features(image.data(), mask.data(), ridge.data(), thinned.data(), features,
                                                 kColumns, kRows, 500, {1, 1, 1, 1, 1, 1});
        benchmark::DoNotOptimize(r);
    }
}
BENCHMARK(BM_Features)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
