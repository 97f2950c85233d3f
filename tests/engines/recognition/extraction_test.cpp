// Feature-set creation and extraction: record headers, result codes, normalisation, and minutiae
// found on public and synthetic prints.
#include <gtest/gtest.h>
#include <string.h>

#include <cmath>
#include <vector>

#include "engines/recognition/extraction.h"
#include "engines/recognition/objects.h"
#include "engines/recognition/recog.h"
#include "sim/finger/finger.h"
#include "tests/engines/recognition/engine_fixture.h"
#include "tests/engines/recognition/image_records.h"

namespace recogtest {
namespace {

namespace E = R::Embedded;

class ExtractionTest : public EngineTest {
protected:
    RecogResult create(const std::vector<uint8_t>& record, uint32_t format, RecogHandle* out,
                       uint32_t purpose = 7, uint32_t flags = 0) {
        return RecogCreateFeatureSet(context_, record.data(), record.size(), format, purpose, flags, out);
    }
    const R::MatchData& view(RecogHandle h) { return R::FromHandle<R::FpFtrSetObj>(h, false)->view; }
};

TEST_F(ExtractionTest, Diagnostics) {
    for (const char* name : {"101_1.tif", "102_1.tif", "103_1.tif", "104_1.tif"}) {
        auto px = readFvc(name);
        ASSERT_FALSE(px.empty());
        RecogHandle h = nullptr;
        RecogResult r = create(standardRecord(px, 300, 300, false), RECOG_FORMAT_ANSI_381, &h);
        printf("%s: %lx\n", name, r);
        if (r == 0) {
            const auto& v = view(keep(h));
            printf("  count %d area %u origin %d,%d\n", v.count(), v.coverageArea, v.originX, v.originY);
            for (int i = 0; i < v.count(); ++i) printf("   (%d,%d) a%d c%d k%d\n", v[i].x, v[i].y, v[i].angle, v[i].confidence, v[i].kind);
        }
    }
}

struct Score {
    int truth = 0, found = 0, hitTruth = 0, hitFound = 0;
};

// Matches the feature set's minutiae against the impression's ground truth (image pixels).
Score score(const R::MatchData& v, const simfinger::Impression& im, double radius) {
    Score s;
    s.truth = int(im.minutiae.size());
    s.found = v.count();
    std::vector<bool> used(im.minutiae.size());
    for (int i = 0; i < v.count(); ++i) {
        // Feature units back to work pixels (resolution field 500), then to the 500 ppi image.
        const double x = (v[i].x + v.originX) * 500.0 / 762 * 1.5, y = (v[i].y + v.originY) * 500.0 / 762 * 1.5;
        bool hit = false;
        for (size_t k = 0; k < im.minutiae.size(); ++k) {
            const double dx = im.minutiae[k].x - x, dy = im.minutiae[k].y - y;
            if (dx * dx + dy * dy <= radius * radius) {
                hit = true;
                if (!used[k]) {
                    used[k] = true;
                    ++s.hitTruth;
                }
            }
        }
        s.hitFound += hit;
    }
    return s;
}

TEST_F(ExtractionTest, SyntheticDiag) {
  for (uint32_t flags : {0u, 2u, 4u}) {
    Score total;
    for (uint64_t seed = 1; seed <= 6; ++seed) {
        const simfinger::Finger f = simfinger::makeMasterFinger(seed);
        simfinger::ImpressionParams p;
        p.seed = seed;
        p.noise = 8;
        const simfinger::Impression im = simfinger::renderImpression(f, p, 300, 400, 500);
        RecogHandle h = nullptr;
        ASSERT_EQ(create(standardRecord(im.image, 300, 400, false), RECOG_FORMAT_ANSI_381, &h, 7, flags), RECOG_OK);
        const Score s = score(view(keep(h)), im, 10);
        printf("seed %d: truth %d found %d recall %d precision %d\n", int(seed), s.truth, s.found, s.hitTruth, s.hitFound);
        total.truth += s.truth; total.found += s.found; total.hitTruth += s.hitTruth; total.hitFound += s.hitFound;
    }
    printf("flags %u recall %.2f precision %.2f\n", flags, double(total.hitTruth) / total.truth, double(total.hitFound) / total.found);
  }
}

}  // namespace
}  // namespace recogtest
