// Whole-swipe cost: ns per line in the Data calls (record search, unpack, cull, per-line stage) and
// the time to finish the image, for the default option word (correlation deferred to the end) and
// the real-time one (correlation per line). A line period is 200 us; the target is 1/50 of it.
#include "sim/swipe/swipe_model.h"
#include "tcs/imaging/reconstruction/feed.h"
#include "tcs/imaging/reconstruction/recon_control.h"

#include <benchmark/benchmark.h>

#include <memory>
#include <vector>

namespace {

constexpr uint32_t kSwipeLines = 6000;
constexpr uint32_t kDefaultCfg = 0x010B3F5B;
constexpr uint32_t kRealTimeCfg = kDefaultCfg & ~0x2000u & ~0x800u;
constexpr uint32_t kCapacity = 420 * 200;

struct Stream {
    Stream() {
        // Tall enough for 6000 lines at half a row per line (lag 16 at the start, faster later).
        const swipe_model::GreyImage finger = swipe_model::syntheticRidges(300, 3400, 11, 140, 900);
        swipe_model::SwipeConfig config;
        config.profile = swipe_model::SpeedProfile::Accelerating;
        config.rowsPerLine = 0.4;
        config.acceleration = 0.00003;
        config.noiseSigma = 3;
        swipe_model::SwipeModel model(finger, config);
        words = model.timeslotWords();
        recordBytes = model.recordBytes();
        buffers = swipe_model::SwipeModel::cutIntoBuffers(model.stream(0, kSwipeLines), 5, 2000, 12000);
    }
    std::vector<uint32_t> words;
    uint32_t recordBytes = 0;
    std::vector<std::vector<uint8_t>> buffers;
};

const Stream& stream() {
    static const Stream s;
    return s;
}

struct Reconstructor {
    explicit Reconstructor(uint32_t cfg) : flex(dliFindFlexInfo(14)) {
        persistent.assign(0x30000, 0);
        volatileArea.assign(32, 0);
        image.assign(kCapacity, 0);
        asp.assign(160000, 0);
        frame.assign(kCapacity, 0);
        unpacked.assign(flexUnpackedLineBytes(flex), 0);
        cell = asp.data();
        geometry = IrGeometry{sizeof(IrGeometry), 8, 200, 64, 68, 272, 400, 100, 0, 50, 50, 1, 1, 0, nullptr, 0, 0};
        options.size = sizeof(IrCaptureOptions);
        options.aspBufferSize = 160000;
        options.aspPixelCell = &cell;
        options.frameBuffer = frame.data();
        options.frameBufferSize = kCapacity;
        events.size = sizeof(IrEventRecord);
        map = std::make_unique<LineUnpackMap>();
        const Stream& s = stream();
        ok = ProcessTimeslotTable(s.words.data(), 0, uint32_t(s.words.size() * 4), flex, map.get()) == 0 &&
             tcsInitIR(persistent.data(), uint32_t(persistent.size()), volatileArea.data(), 32, image.data(), kCapacity,
                       &options, &geometry, cfg, 2, nullptr, nullptr, &events) == 0;
        instance.flex = flex;
        instance.state = irStateOf(persistent.data());
        instance.unpackMap = map.get();
        instance.unpackedLine = unpacked.data();
        instance.unpackedLineBytes = uint32_t(unpacked.size());
        instance.recordBytes = s.recordBytes;
    }
    void feed() {
        uint32_t done = 0;
        for (const auto& b : stream().buffers) irDliRTHarlokData(&instance, b.data(), uint32_t(b.size()), &done, nullptr);
    }
    const FlexInfoRecord* flex;
    std::vector<uint8_t> persistent, volatileArea, image, asp, frame, unpacked;
    uint8_t* cell = nullptr;
    IrGeometry geometry{};
    IrCaptureOptions options{};
    IrEventRecord events{};
    std::unique_ptr<LineUnpackMap> map;
    IrDliInstance instance{};
    bool ok = false;
};

void BM_SwipeDataCalls(benchmark::State& state) {
    const uint32_t cfg = state.range(0) ? kDefaultCfg : kRealTimeCfg;
    for (auto _ : state) {
        state.PauseTiming();
        Reconstructor r(cfg);
        if (!r.ok) state.SkipWithError("set-up failed");
        state.ResumeTiming();
        r.feed();
        benchmark::DoNotOptimize(r.instance.state->processedLines);
    }
    state.counters["per_line"] =
        benchmark::Counter(kSwipeLines, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_SwipeDataCalls)->Arg(1)->Arg(0)->ArgName("default_cfg")->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_SwipeFinish(benchmark::State& state) {
    const uint32_t cfg = state.range(0) ? kDefaultCfg : kRealTimeCfg;
    uint32_t rows = 0;
    for (auto _ : state) {
        state.PauseTiming();
        Reconstructor r(cfg);
        if (!r.ok) state.SkipWithError("set-up failed");
        r.feed();
        state.ResumeTiming();
        tcsDoIR(r.instance.state, nullptr, nullptr);
        rows = r.instance.state->results.rows;
    }
    state.counters["rows"] = rows;
}
BENCHMARK(BM_SwipeFinish)->Arg(1)->Arg(0)->ArgName("default_cfg")->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
