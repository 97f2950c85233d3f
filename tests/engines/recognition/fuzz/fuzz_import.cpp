// libFuzzer target: imports random and damaged records through one reader family per binary.
//
// Input: byte 0 picks the format code of the family; byte 1 bit 0 set means "damage a valid
// record": the rest is XORed over it (and with bit 1 also cuts it to the rest's length), so the
// fuzzer reaches deep into the structure without a corpus; bit 0 clear means the rest is the record.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <memory>
#include <vector>

#include "engines/recognition/objects.h"
#include "engines/recognition/recog.h"
#include "tests/engines/recognition/synthetic.h"

namespace {

namespace R = DurodudUrodera::FpRecEngineImpl;
using recogtest::makeFinger;
using recogtest::toMatchData;

void* allocate(size_t size, void*) { return malloc(size); }
void deallocate(void* p, void*) { free(p); }

[[maybe_unused]] const KeyOptions kKey{24, {3, 1, 4, 1, 5, 9, 2, 6, 5, 3, 5, 8, 9, 7, 9, 3}, {}, {}};
[[maybe_unused]] const KeyOptions kWrapped{40, {2, 7, 1, 8, 2, 8, 1, 8, 2, 8, 4, 5, 9, 0, 4, 5}, {1, 4, 1, 4, 2, 1, 3, 5}, {}};

struct Format {
    uint32_t code;
    uint32_t purpose;
    const void* options;
    std::vector<uint8_t> seed;
};

R::MatchData viewWithCoverage(uint64_t seed, int count, uint32_t purpose) {
    R::MatchData view = toMatchData(makeFinger(seed, count), purpose);
    for (int r = 3; r < 47; ++r) view.coverage[r] = (0xFFFFFFFFu >> (r % 5)) & ~((1u << (r % 3)) - 1);
    view.coverageArea = 44 * 30 * 64;
    return view;
}

struct Engine {
    RecogHandle context = nullptr;
    RecogHandle probe = nullptr, reference = nullptr;  // partners for comparing what was imported
    std::vector<Format> formats;

    Engine() {
        ContextInitBlock init{40, nullptr, allocate, deallocate, 0, {}, {}, {}, {}};
        RecogCreateContext(&init, &context);
        R::Context& ctx = *R::FromHandle<R::Context>(context, false);
        R::Ptr<R::FpFtrSetObj> set(R::newObject<R::FpFtrSetObj>(ctx));
        set->view = viewWithCoverage(1, 40, 7);
        R::Ptr<R::FpTemplateObj> templ(R::newObject<R::FpTemplateObj>(ctx));
        for (int v = 0; v < 4; ++v) templ->views.push_back(viewWithCoverage(2 + v, 30, 6));
        R::makeHandle(*set, true, &probe);
        R::makeHandle(*templ, true, &reference);
        [[maybe_unused]] RecogHandle fs = probe, t = reference;

#if defined(FUZZ_FAMILY_OWN_RECORD)
        add(fs, RECOG_FORMAT_FEATURE_SET, nullptr);
        add(fs, RECOG_FORMAT_FEATURE_SET_KEYED, &kKey);
        add(t, RECOG_FORMAT_TEMPLATE, nullptr);
        add(t, RECOG_FORMAT_TEMPLATE_KEYED, &kWrapped);
#elif defined(FUZZ_FAMILY_RAROVURA)
        add(fs, RECOG_FORMAT_RAROVURA_FEATURE_SET, nullptr);
        add(t, RECOG_FORMAT_RAROVURA_TEMPLATE, nullptr);
#elif defined(FUZZ_FAMILY_STD_RECORD)
        for (uint32_t code : {RECOG_FORMAT_ANSI_FEATURE_SET, RECOG_FORMAT_ANSI_FEATURE_SET_OWN,
                              RECOG_FORMAT_ISO_FEATURE_SET, RECOG_FORMAT_ISO_FEATURE_SET_OWN}) {
            add(fs, code, nullptr);
        }
        for (uint32_t code : {RECOG_FORMAT_ANSI_TEMPLATE, RECOG_FORMAT_ANSI_TEMPLATE_OWN, RECOG_FORMAT_ISO_TEMPLATE,
                              RECOG_FORMAT_ISO_TEMPLATE_OWN}) {
            add(t, code, nullptr);
        }
#elif defined(FUZZ_FAMILY_ALIGNMENT)
        formats.push_back({RECOG_FORMAT_ALIGNMENT, 0x80000002, nullptr,
                           {0x30, 0x1B, 0x02, 0x01, 0x00, 0x30, 0x16, 0x30, 0x14, 0x02, 0x02, 0x10, 0x00, 0x02,
                            0x01, 0x00, 0x02, 0x01, 0x00, 0x02, 0x02, 0x10, 0x00, 0x02, 0x01, 0x05, 0x02, 0x01, 0x07}});
#endif
    }

    void add(RecogHandle h, uint32_t code, const void* options) {
        std::vector<uint8_t> record(4096);
        uint32_t size = uint32_t(record.size());
        RecogExportEx(h, code, options, record.data(), &size);
        record.resize(std::min<size_t>(size, record.size()));
        formats.push_back({code, 0x80000007, options, record});
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Engine engine;
    if (size < 2 || engine.formats.empty()) return 0;
    const Format& f = engine.formats[data[0] % engine.formats.size()];
    std::vector<uint8_t> record;
    if (data[1] & 1) {
        record = f.seed;
        const size_t tail = size - 2;
        for (size_t i = 0; i < tail && i < record.size(); ++i) record[i] ^= data[2 + i];
        if (data[1] & 2) record.resize(std::min(record.size(), tail));
    } else {
        record.assign(data + 2, data + size);
    }
    // An allocation of exactly the record's size, so that any read past it is caught.
    std::unique_ptr<uint8_t[]> exact(new uint8_t[record.size()]);
    if (!record.empty()) memcpy(exact.get(), record.data(), record.size());

    RecogHandle h = nullptr;
    if (RecogImportEx(engine.context, exact.get(), uint32_t(record.size()), f.code, f.purpose, f.options, &h) ==
        RECOG_OK) {
        uint32_t needed = 0;
        RecogExportEx(h, f.code, f.options, nullptr, &needed);
        std::vector<uint8_t> out(needed);
        RecogExportEx(h, f.code, f.options, out.data(), &needed);
        RecogHandle comparison = nullptr;
        if (R::FromHandle<R::FpFtrSetObj>(h, false)) RecogCreateComparison(h, engine.reference, 0, &comparison);
        if (R::FromHandle<R::FpTemplateObj>(h, false)) RecogCreateComparison(engine.probe, h, 0, &comparison);
        RecogCloseHandle(comparison);
        RecogCloseHandle(h);
    } else if (h != nullptr) {
        abort();  // a failed import must not hand out a handle
    }
    return 0;
}
