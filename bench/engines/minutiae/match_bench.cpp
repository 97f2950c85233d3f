// Comparisons per second of MntVerify: typical sets (40-60 minutiae) of the same and of different
// fingers at both matching speeds, and sets of 1024 minutiae.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "engines/minutiae/context.h"
#include "engines/minutiae/features.h"
#include "engines/minutiae/mnt_engine.h"

namespace {

using namespace mnt;

constexpr double kPi = 3.14159265358979323846;

struct Rng {
    uint64_t state;
    int Next(int range) {
        state = state * 6364136223846793005ull + 1442695040888963407ull;
        return int((state >> 33) % uint64_t(range));
    }
};

// `count` minutiae at least `spacing` px apart; a second set is the same finger turned by
// `units`, shifted, jittered by up to 2 px and with a tenth of its minutiae replaced.
struct SetPair {
    std::vector<uint8_t> first, same, other;
};

std::unique_ptr<FeatureRecord> Blank() {
    auto r = std::make_unique<FeatureRecord>();
    std::memset(r.get(), 0, sizeof(FeatureRecord));
    std::memset(r->blockGrid, kNoBlockOrientation, sizeof r->blockGrid);
    r->ridgeEdgeDensity = 100;
    return r;
}

std::unique_ptr<FeatureRecord> RandomSet(Rng& rng, int count, int width, int height, int spacing) {
    auto r = Blank();
    MinutiaList& m = r->minutiae;
    int attempts = 0;
    while (m.count < count && attempts++ < 200000) {
        const int x = 20 + rng.Next(width - 40), y = 20 + rng.Next(height - 40);
        bool close = false;
        for (int i = 0; i < m.count && !close; ++i) close = std::hypot(m.x[i] - x, m.y[i] - y) < spacing;
        if (close) continue;
        m.x[m.count] = x;
        m.y[m.count] = y;
        m.direction[m.count] = rng.Next(240);
        m.curvature[m.count] = rng.Next(200);
        ++m.count;
    }
    return r;
}

std::unique_ptr<FeatureRecord> Impression(const FeatureRecord& source, Rng& rng, int units, int dx, int dy) {
    auto r = std::make_unique<FeatureRecord>(source);
    const double a = units * kPi / 120.0, cx = 150, cy = 200;
    MinutiaList& m = r->minutiae;
    for (int i = 0; i < m.count; ++i) {
        const double px = m.x[i] - cx, py = m.y[i] - cy;
        m.x[i] = int(std::lround(cx + std::cos(a) * px - std::sin(a) * py)) + dx + rng.Next(5) - 2;
        m.y[i] = int(std::lround(cy + std::sin(a) * px + std::cos(a) * py)) + dy + rng.Next(5) - 2;
        m.direction[i] = (m.direction[i] + units + 240) % 240;
        if (rng.Next(10) == 0) {
            m.x[i] = 20 + rng.Next(260);
            m.y[i] = 20 + rng.Next(360);
        }
    }
    return r;
}

std::vector<uint8_t> Compress(const FeatureRecord& r, const MntContext* context) {
    std::vector<uint8_t> out(kMaxCompressedSize);
    out.resize(CompressFeatures(&r, out.data(), context));
    return out;
}

std::vector<SetPair> MakePairs(const MntContext* context, int minCount, int maxCount, int width, int height,
                               int spacing, int howMany) {
    Rng rng{12345};
    std::vector<SetPair> pairs;
    for (int k = 0; k < howMany; ++k) {
        const int count = minCount + rng.Next(maxCount - minCount + 1);
        auto a = RandomSet(rng, count, width, height, spacing);
        auto b = Impression(*a, rng, rng.Next(21) - 10, rng.Next(41) - 20, rng.Next(41) - 20);
        auto c = RandomSet(rng, count, width, height, spacing);
        pairs.push_back({Compress(*a, context), Compress(*b, context), Compress(*c, context)});
    }
    return pairs;
}

struct Engine {
    MntContext* context = MntCreateContext();
    ~Engine() { MntFreeContext(context); }
};

// Arguments: matching speed (0 or 256), 1 for genuine pairs or 0 for impostor pairs.
void BM_VerifyTypical(benchmark::State& state) {
    Engine engine;
    MntSetParameter(220, int32_t(state.range(0)), engine.context);
    const bool genuine = state.range(1) != 0;
    const auto pairs = MakePairs(engine.context, 40, 60, 300, 400, 20, 32);
    size_t k = 0;
    int matched = 0;
    for (auto _ : state) {
        const SetPair& p = pairs[k++ % pairs.size()];
        const int32_t r = MntVerify(p.first.data(), genuine ? p.same.data() : p.other.data(), nullptr, engine.context);
        matched += r == MNT_OK;
        benchmark::DoNotOptimize(r);
    }
    state.SetItemsProcessed(int64_t(state.iterations()));
    state.counters["match_rate"] = double(matched) / double(state.iterations());
}
BENCHMARK(BM_VerifyTypical)->Args({0, 1})->Args({0, 0})->Args({256, 1})->Args({256, 0});

void BM_VerifyLarge(benchmark::State& state) {
    Engine engine;
    MntSetParameter(220, int32_t(state.range(0)), engine.context);
    const auto pairs = MakePairs(engine.context, 1024, 1024, 1000, 1200, 20, 2);
    size_t k = 0;
    for (auto _ : state) {
        const SetPair& p = pairs[k++ % pairs.size()];
        benchmark::DoNotOptimize(MntVerify(p.first.data(), p.same.data(), nullptr, engine.context));
    }
    state.SetItemsProcessed(int64_t(state.iterations()));
}
BENCHMARK(BM_VerifyLarge)->Arg(0)->Arg(256)->Unit(benchmark::kMillisecond);

}  // namespace
