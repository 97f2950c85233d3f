// Per-line cost of the reconstruction's front end: unpack, cull, one lag search (ns per line).
#include "sim/swipe/swipe_model.h"
#include "tcs/imaging/reconstruction/cull.h"
#include "tcs/imaging/reconstruction/ncc.h"
#include "tcs/imaging/reconstruction/recon_state.h"
#include "tcs/imaging/reconstruction/scan_line.h"

#include <benchmark/benchmark.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr uint32_t kLines = 512;
constexpr uint32_t kLineBytes = 8 + 200 + 64;
constexpr uint32_t kWindow = 68;  // correlation window position of flex 14

struct Swipe {
    Swipe() {
        swipe_model::GreyImage image;
        if (!swipe_model::loadTiff(std::string(TOV_DATA_DIR) + "/fvc/FVC2000_DB1_B/101_1.tif", image)) {
            image = swipe_model::syntheticRidges(300, 400, 9, 150, 200);
        }
        swipe_model::SwipeConfig config;
        config.rowsPerLine = 0.5;  // slow enough that culling has work to do
        config.noiseSigma = 2;
        swipe_model::SwipeModel model(image, config);
        const std::vector<uint32_t> words = model.timeslotWords();
        map = std::make_unique<LineUnpackMap>();
        ok = ProcessTimeslotTable(words.data(), 0, uint32_t(words.size() * 4), dliFindFlexInfo(14), map.get()) == 0;
        recordBytes = model.recordBytes();
        stream = model.stream(0, kLines);
        geometry.size = sizeof(IrGeometry);
        geometry.headerBytes = 8;
        geometry.pixelBytes = 200;
        geometry.extraBytes = 64;
    }
    bool ok = false;
    std::unique_ptr<LineUnpackMap> map;
    uint32_t recordBytes = 0;
    std::vector<uint8_t> stream;
    IrGeometry geometry{};
};

const Swipe& swipe() {
    static const Swipe s;
    return s;
}

NccLagSearch correlatorSearch() { return NccLagSearch{0, -7, -1, 1, 7, 64, 16384, 16384, 16384, 16384, 24, 16384}; }

void BM_Unpack(benchmark::State& state) {
    const Swipe& s = swipe();
    if (!s.ok) state.SkipWithError("time-slot table refused");
    std::vector<uint8_t> out(kLineBytes);
    uint32_t line = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(
            UnpackLineRT(s.stream.data() + size_t(line) * s.recordBytes, s.recordBytes, out.data(), s.map.get(), 0));
        line = (line + 1) % kLines;
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_Unpack);

void BM_LagSearch(benchmark::State& state) {
    const Swipe& s = swipe();
    std::vector<uint8_t> previous(kLineBytes), current(kLineBytes);
    UnpackLineRT(s.stream.data(), s.recordBytes, previous.data(), s.map.get(), 0);
    UnpackLineRT(s.stream.data() + 9 * s.recordBytes, s.recordBytes, current.data(), s.map.get(), 0);
    const NccLagSearch p = correlatorSearch();
    for (auto _ : state) {
        int8_t lag = 0;
        uint32_t cross = 0, evaluations = 0;
        benchmark::DoNotOptimize(computeNCCForMultipleLags(previous.data() + 8 + kWindow, current.data() + 8 + 200, 64,
                                                           nullptr, nullptr, &p, nullptr, &lag, &cross, &evaluations));
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_LagSearch);

// Unpack, prefilter, cull and one lag search against the line before: the work each incoming line costs.
void BM_PerLine(benchmark::State& state) {
    const Swipe& s = swipe();
    std::vector<uint8_t> raw(kLineBytes), filtered(kLineBytes), last(kLineBytes), previous(kLineBytes);
    CullState cull{};
    NccStats stats{};
    const NccLagSearch p = correlatorSearch();
    uint32_t line = 0, kept = 0;
    for (auto _ : state) {
        if (line == 0) tcsCullScanLineInit(&cull, &s.geometry, last.data(), &stats);
        UnpackLineRT(s.stream.data() + size_t(line) * s.recordBytes, s.recordBytes, raw.data(), s.map.get(), 0);
        std::memcpy(filtered.data(), raw.data(), kLineBytes);
        tcsCullPrefilterScanline(&cull, raw.data(), filtered.data());
        const uint32_t code = tcsCullScanLine(&cull, filtered.data(), raw.data(), 0, 2, 25, 374);
        int8_t lag = 0;
        uint32_t cross = 0, evaluations = 0;
        benchmark::DoNotOptimize(computeNCCForMultipleLags(previous.data() + 8 + kWindow, filtered.data() + 8 + 200, 64,
                                                           nullptr, nullptr, &p, nullptr, &lag, &cross, &evaluations));
        if (code == 0) {
            ++kept;
            std::memcpy(previous.data(), filtered.data(), kLineBytes);
        }
        line = (line + 1) % kLines;
    }
    state.SetItemsProcessed(state.iterations());
    state.counters["kept_fraction"] = benchmark::Counter(double(kept) / double(state.iterations()));
}
BENCHMARK(BM_PerLine);

}  // namespace

BENCHMARK_MAIN();
