// Record import and export: the matcher imports a probe and every stored template per match.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <vector>

#include "engines/recognition/objects.h"
#include "engines/recognition/recog.h"
#include "tests/engines/recognition/synthetic.h"

namespace {

namespace R = DurodudUrodera::FpRecEngineImpl;
using namespace recogtest;

void* allocate(size_t size, void*) { return malloc(size); }
void deallocate(void* p, void*) { free(p); }

R::MatchData viewWithCoverage(uint64_t seed, int count, uint32_t purpose) {
    R::MatchData view = toMatchData(makeFinger(seed, count), purpose);
    for (int r = 2; r < 48; ++r) view.coverage[r] = 0x0FFFFFF0u >> (r % 4);
    view.coverageArea = 46 * 24 * 64;
    return view;
}

// Records of a probe and a four-view template of `count` minutiae in every format.
struct Records {
    RecogHandle context = nullptr;
    RecogHandle probe = nullptr, templ = nullptr;

    explicit Records(int count) {
        ContextInitBlock init{40, nullptr, allocate, deallocate, 0, {}, {}, {}, {}};
        RecogCreateContext(&init, &context);
        R::Context& ctx = *R::FromHandle<R::Context>(context, false);
        R::Ptr<R::FpFtrSetObj> fs(R::newObject<R::FpFtrSetObj>(ctx));
        fs->view = viewWithCoverage(1, count, 7);
        R::makeHandle(*fs, true, &probe);
        R::Ptr<R::FpTemplateObj> t(R::newObject<R::FpTemplateObj>(ctx));
        for (int v = 0; v < 4; ++v) t->views.push_back(viewWithCoverage(2 + v, count, 6));
        R::makeHandle(*t, true, &templ);
    }
    ~Records() {
        RecogCloseHandle(probe);
        RecogCloseHandle(templ);
        RecogCloseHandle(context);
    }
    std::vector<uint8_t> record(RecogHandle h, uint32_t format) const {
        std::vector<uint8_t> bytes(4096);
        uint32_t size = uint32_t(bytes.size());
        RecogExport(h, format, bytes.data(), &size);
        bytes.resize(size);
        return bytes;
    }
};

Records& records(int count) {
    static Records forty(40), sixtyEight(68);
    return count == 40 ? forty : sixtyEight;
}

void importRecord(benchmark::State& state, bool templ, uint32_t format, uint32_t purpose) {
    Records& r = records(int(state.range(0)));
    const std::vector<uint8_t> bytes = r.record(templ ? r.templ : r.probe, format);
    for (auto _ : state) {
        RecogHandle h = nullptr;
        if (RecogImport(r.context, bytes.data(), uint32_t(bytes.size()), format, purpose, &h) != RECOG_OK) {
            state.SkipWithError("import failed");
            break;
        }
        RecogCloseHandle(h);
    }
    state.SetItemsProcessed(state.iterations());
    state.counters["bytes"] = double(bytes.size());
}

void BM_ImportFeatureSet(benchmark::State& state) { importRecord(state, false, RECOG_FORMAT_FEATURE_SET, 7); }
void BM_ImportTemplate(benchmark::State& state) { importRecord(state, true, RECOG_FORMAT_TEMPLATE, 6); }
void BM_ImportRarovuraTemplate(benchmark::State& state) {
    importRecord(state, true, RECOG_FORMAT_RAROVURA_TEMPLATE, 6);
}
void BM_ImportAnsiFeatureSet(benchmark::State& state) {
    importRecord(state, false, RECOG_FORMAT_ANSI_FEATURE_SET, 7);
}

void BM_ExportTemplate(benchmark::State& state) {
    Records& r = records(int(state.range(0)));
    std::vector<uint8_t> bytes(4096);
    for (auto _ : state) {
        uint32_t size = uint32_t(bytes.size());
        RecogExport(r.templ, RECOG_FORMAT_TEMPLATE, bytes.data(), &size);
        benchmark::DoNotOptimize(bytes.data());
    }
    state.SetItemsProcessed(state.iterations());
}

BENCHMARK(BM_ImportFeatureSet)->Arg(40)->Arg(68);
BENCHMARK(BM_ImportTemplate)->Arg(40)->Arg(68);
BENCHMARK(BM_ImportRarovuraTemplate)->Arg(40)->Arg(68);
BENCHMARK(BM_ImportAnsiFeatureSet)->Arg(40)->Arg(68);
BENCHMARK(BM_ExportTemplate)->Arg(40)->Arg(68);

}  // namespace
