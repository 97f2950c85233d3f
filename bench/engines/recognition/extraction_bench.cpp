// Extraction time per 300x400 500 ppi record (synthetic prints), with and without FFT enhancement.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <vector>

#include "engines/recognition/recog.h"
#include "sim/finger/finger.h"
#include "tests/engines/recognition/image_records.h"

namespace {

void* allocate(size_t size, void*) { return malloc(size); }
void deallocate(void* p, void*) { free(p); }

struct Records {
    std::vector<std::vector<uint8_t>> records;
    Records() {
        for (uint64_t seed = 1; seed <= 8; ++seed) {
            const simfinger::Finger f = simfinger::makeMasterFinger(seed);
            const simfinger::Impression im = simfinger::renderImpression(f, simfinger::randomImpressionParams(seed), 300, 400, 500);
            records.push_back(recogtest::standardRecord(im.image, 300, 400, false));
        }
    }
};

const Records& records() {
    static const Records r;
    return r;
}

void extract(benchmark::State& state, uint32_t flags) {
    const Records& recs = records();
    ContextInitBlock init{40, nullptr, allocate, deallocate, 0, {}, {}, {}, {}};
    RecogHandle context = nullptr;
    RecogCreateContext(&init, &context);
    size_t i = 0;
    for (auto _ : state) {
        const auto& rec = recs.records[i++ % recs.records.size()];
        RecogHandle fs = nullptr;
        const RecogResult r = RecogCreateFeatureSet(context, rec.data(), rec.size(), RECOG_FORMAT_ANSI_381, 7, flags, &fs);
        if (r < 0) state.SkipWithError("extraction failed");
        RecogCloseHandle(fs);
    }
    RecogCloseHandle(context);
}

void BM_Extract300x400(benchmark::State& state) { extract(state, 0); }
void BM_Extract300x400Fft(benchmark::State& state) { extract(state, RECOG_EXTRACT_FFT_ENHANCE); }
BENCHMARK(BM_Extract300x400)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Extract300x400Fft)->Unit(benchmark::kMillisecond);

}  // namespace
