// Comparisons per second: probes of 40-68 minutiae against four-view templates, genuine and impostor.
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

// Feature sets and templates are built directly: there is no import to time yet.
struct Gallery {
    static constexpr int kFingers = 16;
    RecogHandle context = nullptr;
    std::vector<RecogHandle> templates, oneView, genuine, impostor;

    // Sets of `lowest` to `highest` minutiae, spread evenly over the fingers.
    Gallery(int lowest, int highest) {
        ContextInitBlock init{40, nullptr, allocate, deallocate, 0, {}, {}, {}, {}};
        RecogCreateContext(&init, &context);
        R::Context& ctx = *R::FromHandle<R::Context>(context, false);
        for (int f = 0; f < kFingers; ++f) {
            const int count = lowest + (f * (highest - lowest)) / (kFingers - 1);
            const auto finger = makeFinger(1000 + f, count + 4);
            R::Ptr<R::FpTemplateObj> tmpl(R::newObject<R::FpTemplateObj>(ctx));
            for (int v = 0; v < 4; ++v)
                tmpl->views.push_back(toMatchData(impression(finger, 50 * f + v, v * 5 - 8, v * 6 - 9, 9 - v * 6), 6));
            templates.push_back(handle(*tmpl, true));
            R::Ptr<R::FpTemplateObj> single(R::newObject<R::FpTemplateObj>(ctx));
            single->views.push_back(tmpl->views[0]);
            oneView.push_back(handle(*single, true));
            genuine.push_back(featureSet(ctx, impression(finger, 7000 + f, 14, 10, -12)));
            impostor.push_back(featureSet(ctx, makeFinger(9000 + f, count)));
        }
    }
    ~Gallery() {
        for (auto* list : {&templates, &oneView, &genuine, &impostor})
            for (RecogHandle h : *list) RecogCloseHandle(h);
        RecogCloseHandle(context);
    }
    static RecogHandle handle(R::Object& object, bool readOnly) {
        RecogHandle h = nullptr;
        R::makeHandle(object, readOnly, &h);
        return h;
    }
    static RecogHandle featureSet(R::Context& ctx, const std::vector<RawMinutia>& minutiae) {
        R::Ptr<R::FpFtrSetObj> fs(R::newObject<R::FpFtrSetObj>(ctx));
        fs->view = toMatchData(minutiae, 7);
        return handle(*fs, false);
    }
};

Gallery& gallery() {
    static Gallery g(40, 68);
    return g;
}

void compareAll(benchmark::State& state, const std::vector<RecogHandle>& probes,
                const std::vector<RecogHandle>& templates) {
    int64_t matches = 0;
    for (auto _ : state) {
        for (int f = 0; f < Gallery::kFingers; ++f) {
            RecogHandle cmp = nullptr;
            RecogCreateComparison(probes[f], templates[f], 0, &cmp);
            matches += RecogGetVerificationResult(cmp, -1) == RECOG_OK;
            RecogCloseHandle(cmp);
        }
    }
    state.SetItemsProcessed(state.iterations() * Gallery::kFingers);
    state.counters["match_rate"] = double(matches) / double(state.iterations() * Gallery::kFingers);
}

void BM_CompareGenuine(benchmark::State& state) { compareAll(state, gallery().genuine, gallery().templates); }
void BM_CompareImpostor(benchmark::State& state) { compareAll(state, gallery().impostor, gallery().templates); }
// One view against one view, the unit of work of enrollment's pair scores.
void BM_CompareOneViewGenuine(benchmark::State& state) { compareAll(state, gallery().genuine, gallery().oneView); }

// How the rate scales with the size of the sets (genuine, four views, every set of one size).
void BM_CompareGenuineOfSize(benchmark::State& state) {
    static Gallery small(40, 40), large(68, 68);
    Gallery& g = state.range(0) == 40 ? small : large;
    compareAll(state, g.genuine, g.templates);
}

BENCHMARK(BM_CompareGenuine);
BENCHMARK(BM_CompareImpostor);
BENCHMARK(BM_CompareOneViewGenuine);
BENCHMARK(BM_CompareGenuineOfSize)->Arg(40)->Arg(68);

}  // namespace

BENCHMARK_MAIN();
