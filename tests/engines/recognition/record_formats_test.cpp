// Every record format code round-trips, and damaged records of every reader are refused cleanly.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <memory>
#include <tuple>
#include <vector>

#include "tests/engines/recognition/records_fixture.h"

namespace recogtest {
namespace {

using Bytes = std::vector<uint8_t>;

const KeyOptions kKey{24, {3, 1, 4, 1, 5, 9, 2, 6, 5, 3, 5, 8, 9, 7, 9, 3}, {}, {}};

struct Format {
    uint32_t code;
    const void* options;
    bool exact;  // the engine's own records carry the whole view; the standard ones minutiae only
};

const Format kFeatureSetFormats[] = {
    {RECOG_FORMAT_ANSI_FEATURE_SET, nullptr, false}, {RECOG_FORMAT_ANSI_FEATURE_SET_OWN, nullptr, true},
    {RECOG_FORMAT_ISO_FEATURE_SET, nullptr, false},  {RECOG_FORMAT_ISO_FEATURE_SET_OWN, nullptr, true},
    {RECOG_FORMAT_FEATURE_SET, nullptr, true},       {RECOG_FORMAT_FEATURE_SET_FITTED, nullptr, true},
    {RECOG_FORMAT_FEATURE_SET_KEYED, &kKey, true},   {RECOG_FORMAT_RAROVURA_FEATURE_SET, nullptr, true},
};
const Format kTemplateFormats[] = {
    {RECOG_FORMAT_ANSI_TEMPLATE, nullptr, false}, {RECOG_FORMAT_ANSI_TEMPLATE_OWN, nullptr, true},
    {RECOG_FORMAT_ISO_TEMPLATE, nullptr, false},  {RECOG_FORMAT_ISO_TEMPLATE_OWN, nullptr, true},
    {RECOG_FORMAT_TEMPLATE, nullptr, true},       {RECOG_FORMAT_TEMPLATE_FITTED, nullptr, true},
    {RECOG_FORMAT_TEMPLATE_KEYED, &kKey, true},   {RECOG_FORMAT_RAROVURA_TEMPLATE, nullptr, true},
};

// Standard records keep positions to a unit, angles to two-degree steps and halve confidences.
void expectCloseView(const R::MatchData& got, const R::MatchData& want) {
    ASSERT_EQ(got.count(), want.count());
    for (int i = 0; i < got.count(); ++i) {
        EXPECT_NEAR(got[i].x + got.originX, want[i].x + want.originX, 1) << i;
        EXPECT_NEAR(got[i].y + got.originY, want[i].y + want.originY, 1) << i;
        EXPECT_LE(abs(int8_t(uint8_t(got[i].angle - want[i].angle))), 2) << i;
        EXPECT_NEAR(got[i].confidence, want[i].confidence, 1) << i;
    }
}

void expectSameView(const R::MatchData& got, const R::MatchData& want) {
    auto sorted = [](const R::MatchData& v) {
        std::vector<std::tuple<int, int, int, int>> out;
        for (int i = 0; i < v.count(); ++i) out.emplace_back(v[i].y, v[i].x, v[i].angle, v[i].confidence);
        std::sort(out.begin(), out.end());
        return out;
    };
    EXPECT_EQ(sorted(got), sorted(want));
    EXPECT_EQ(memcmp(got.coverage, want.coverage, sizeof got.coverage), 0);
    EXPECT_EQ(got.originX, want.originX);
    EXPECT_EQ(got.purpose & want.purpose, got.purpose);
}

class RecordFormatsTest : public RecordTest {
protected:
    // A fitted export wants a generous buffer even when the record is small.
    Bytes exportAny(RecogHandle h, uint32_t format, const void* options) {
        Bytes bytes(2048);
        uint32_t size = uint32_t(bytes.size());
        EXPECT_EQ(RecogExportEx(h, format, options, bytes.data(), &size), RECOG_OK) << std::hex << format;
        bytes.resize(size);
        return bytes;
    }
};

TEST_F(RecordFormatsTest, EveryFormatCodeRoundTrips) {
    const R::MatchData probe = viewWithCoverage(makeFinger(80, 40), 7);
    RecogHandle fs = featureSet(probe);
    for (const Format& f : kFeatureSetFormats) {
        SCOPED_TRACE(testing::Message() << std::hex << f.code);
        RecogHandle h = nullptr;
        ASSERT_EQ(import(exportAny(fs, f.code, f.options), f.code, 7, &h, f.options), RECOG_OK);
        EXPECT_EQ(viewOf(h).purpose, 7u);
        if (f.exact) {
            expectSameView(viewOf(h), probe);
        } else {
            expectCloseView(viewOf(h), probe);
        }
    }

    std::vector<R::MatchData> views;
    for (int v = 0; v < 4; ++v) views.push_back(viewWithCoverage(makeFinger(81 + v, 40), 6));
    RecogHandle t = templateOf(views);
    for (const Format& f : kTemplateFormats) {
        SCOPED_TRACE(testing::Message() << std::hex << f.code);
        RecogHandle h = nullptr;
        ASSERT_EQ(import(exportAny(t, f.code, f.options), f.code, 6, &h, f.options), RECOG_OK);
        const R::FpTemplate& got = viewsOf(h);
        if (f.exact) {
            ASSERT_EQ(got.size(), 4u);
            for (int v = 0; v < 4; ++v) expectSameView(got[v], views[v]);
        } else {
            ASSERT_EQ(got.size(), 1u);  // a standard record's finger view holds the first view
            expectCloseView(got[0], views[0]);
        }
    }

    const Bytes alignment = {0x30, 0x1C, 0x02, 0x01, 0x00, 0x30, 0x17, 0x30, 0x15, 0x02, 0x02, 0x10, 0x00,
                             0x02, 0x01, 0x00, 0x02, 0x01, 0x00, 0x02, 0x02, 0x10, 0x00, 0x02, 0x01, 0x05,
                             0x02, 0x02, 0xFF, 0x00};
    RecogHandle a = nullptr;
    ASSERT_EQ(import(alignment, RECOG_FORMAT_ALIGNMENT, 2, &a), RECOG_OK);
    EXPECT_EQ(exportAny(a, RECOG_FORMAT_ALIGNMENT, nullptr), alignment);
}

// Truncations, bit flips and overwritten bytes of valid records: every import either succeeds or
// fails with a result code, never reads outside the record (the sanitizer build checks) and
// leaves no object behind (the fixture checks).
TEST_F(RecordFormatsTest, DamagedRecordsAreRefusedCleanly) {
    struct Seed {
        uint32_t format;
        uint32_t purpose;
        Bytes record;
    };
    std::vector<Seed> seeds;
    RecogHandle fs = featureSet(viewWithCoverage(makeFinger(90, 30), 7));
    std::vector<R::MatchData> views;
    // Four views, so that comparisons with imported templates score every view.
    for (int v = 0; v < 4; ++v) views.push_back(viewWithCoverage(makeFinger(91 + v, 25), 6));
    RecogHandle t = templateOf(views);
    for (uint32_t code : {RECOG_FORMAT_FEATURE_SET, RECOG_FORMAT_RAROVURA_FEATURE_SET, RECOG_FORMAT_ANSI_FEATURE_SET,
                          RECOG_FORMAT_ANSI_FEATURE_SET_OWN, RECOG_FORMAT_ISO_FEATURE_SET}) {
        seeds.push_back({code, 0x80000007, exportAny(fs, code, nullptr)});
    }
    for (uint32_t code : {RECOG_FORMAT_TEMPLATE, RECOG_FORMAT_RAROVURA_TEMPLATE, RECOG_FORMAT_ISO_TEMPLATE_OWN}) {
        seeds.push_back({code, 0x80000007, exportAny(t, code, nullptr)});
    }
    seeds.push_back({RECOG_FORMAT_ALIGNMENT, 2,
                     {0x30, 0x1B, 0x02, 0x01, 0x00, 0x30, 0x16, 0x30, 0x14, 0x02, 0x02, 0x10, 0x00, 0x02, 0x01,
                      0x00, 0x02, 0x01, 0x00, 0x02, 0x02, 0x10, 0x00, 0x02, 0x01, 0x05, 0x02, 0x01, 0x07}});
    // A plain body, so that damage reaches the body's structure rather than the cipher's.
    seeds.push_back({RECOG_FORMAT_FEATURE_SET, 0x80000007,
                     {0x2F, 0x00, 35, 0x00, 4, 2, 0, 0, 0, 0xA8, 70, 5, 0, 7, 0, 0, 1, 0, 0, 175, 2, 10, 20, 192,
                      50, 0x1D, 4, 0xFF, 0x2C, 0, 60, 2, 4, 3, 9, 0x8C, 0x01, 'o'}});
    seeds.back().record[2] = uint8_t(seeds.back().record.size() - 5);

    Rng rng(2026);
    int accepted = 0, refused = 0;
    for (const Seed& seed : seeds) {
        RecogHandle h = nullptr;
        ASSERT_EQ(RecogImport(context_, seed.record.data(), uint32_t(seed.record.size()), seed.format, seed.purpose, &h),
                  RECOG_OK)
            << std::hex << seed.format;
        RecogCloseHandle(h);
        for (int round = 0; round < 1000; ++round) {
            Bytes damaged = seed.record;
            switch (round % 3) {
                case 0:
                    damaged.resize(rng.next() % damaged.size());
                    break;
                case 1:
                    for (int flips = 1 + rng.range(0, 3); flips > 0; --flips) {
                        damaged[rng.next() % damaged.size()] ^= uint8_t(1u << rng.range(0, 7));
                    }
                    break;
                default:
                    damaged[rng.next() % damaged.size()] = uint8_t(rng.next());
                    if (rng.range(0, 1)) damaged.resize(damaged.size() - rng.next() % damaged.size());
                    break;
            }
            // Copy into a buffer of exactly the damaged size so any over-read is caught.
            std::unique_ptr<uint8_t[]> exact(new uint8_t[damaged.size() + 1]);
            memcpy(exact.get(), damaged.data(), damaged.size());
            h = nullptr;
            const RecogResult status =
                RecogImport(context_, exact.get(), uint32_t(damaged.size()), seed.format, seed.purpose, &h);
            if (status == RECOG_OK) {
                ++accepted;
                // Whatever was accepted can be written again, and some are compared (comparisons
                // are slow in the sanitizer build).
                uint32_t size = 0;
                RecogExport(h, seed.format, nullptr, &size);
                if (round % 32 == 1) {
                    RecogHandle comparison = nullptr;
                    if (R::FromHandle<R::FpFtrSetObj>(h, false)) RecogCreateComparison(h, t, 0, &comparison);
                    if (R::FromHandle<R::FpTemplateObj>(h, false)) RecogCreateComparison(fs, h, 0, &comparison);
                    RecogCloseHandle(comparison);
                }
                RecogCloseHandle(h);
            } else {
                ++refused;
                ASSERT_LT(status, 0) << std::hex << seed.format;
                ASSERT_EQ(h, nullptr);
            }
        }
    }
    EXPECT_GT(refused, accepted / 4);
}

}  // namespace
}  // namespace recogtest
