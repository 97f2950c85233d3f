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

}  // namespace
}  // namespace recogtest
