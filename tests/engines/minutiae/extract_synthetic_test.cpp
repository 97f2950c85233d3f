// MntExtract on synthetic fingerprints with known minutiae: determinism, the feature set, and how
// many of the true minutiae it finds (recall) and how many of its minutiae are true (precision).
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <memory>
#include <vector>

#include "engines/minutiae/context.h"
#include "engines/minutiae/features.h"
#include "engines/minutiae/mnt_engine.h"
#include "sim/finger/finger.h"

namespace {

using namespace mnt;

constexpr double kPi = 3.14159265358979323846;

struct Extraction {
    int32_t result = 0;
    std::vector<uint8_t> features;
    std::vector<uint8_t> image;
    std::unique_ptr<FeatureRecord> record = std::make_unique<FeatureRecord>();
};

Extraction Extract(const simfinger::Impression& im, MntContext* context) {
    Extraction e;
    e.image = im.image;
    e.features.assign(kMaxCompressedSize, 0xEE);
    uint64_t size = 0;
    e.result = MntExtract(im.width, im.height, e.image.data(), int32_t(std::lround(im.ppi)), e.features.data(),
                          &size, context);
    e.features.resize(size);
    if (size > 0) DecompressFeatures(e.features.data(), e.record.get());
    return e;
}

// Ground truth direction (radians, counter-clockwise as seen) in the engine's steps (clockwise
// as seen, since y grows downwards).
int EngineDirection(double radians) {
    int d = int(std::lround(-radians * 120.0 / kPi)) % 240;
    return d < 0 ? d + 240 : d;
}

struct Score {
    int truth = 0, found = 0, extracted = 0, correct = 0;
    void Add(const Score& o) {
        truth += o.truth;
        found += o.found;
        extracted += o.extracted;
        correct += o.correct;
    }
    double Recall() const { return truth ? double(found) / truth : 0; }
    double Precision() const { return extracted ? double(correct) / extracted : 0; }
};

// A true minutia is found when an extracted one lies within `reach` pixels with a direction within
// `turn` steps; extracted minutiae count for precision only where the impression shows finger.
Score Compare(const simfinger::Impression& im, const FeatureRecord& r, double scale, double reach, int turn) {
    Score s;
    const MinutiaList& m = r.minutiae;
    std::vector<bool> used(size_t(m.count), false);
    s.truth = int(im.minutiae.size());
    auto inside = [&](double x, double y, int margin) {
        for (int dy = -margin; dy <= margin; dy += margin)
            for (int dx = -margin; dx <= margin; dx += margin) {
                const int px = int(x) + dx, py = int(y) + dy;
                if (px < 0 || py < 0 || px >= im.width || py >= im.height) return false;
                if (!im.mask[size_t(py) * im.width + px]) return false;
            }
        return true;
    };
    for (const auto& t : im.minutiae) {
        const int want = EngineDirection(t.direction);
        for (int i = 0; i < m.count; ++i) {
            const double dx = m.x[i] / scale - t.x, dy = m.y[i] / scale - t.y;
            int dd = std::abs(m.direction[i] - want) % 240;
            if (dd > 120) dd = 240 - dd;
            if (std::hypot(dx, dy) * scale <= reach && dd <= turn) {
                ++s.found;
                break;
            }
        }
    }
    for (int i = 0; i < m.count; ++i) {
        if (!inside(m.x[i] / scale, m.y[i] / scale, 8)) continue;
        ++s.extracted;
        for (const auto& t : im.minutiae) {
            if (std::hypot(m.x[i] / scale - t.x, m.y[i] / scale - t.y) * scale <= reach) {
                ++s.correct;
                break;
            }
        }
    }
    return s;
}

class SyntheticFingers : public ::testing::Test {
 protected:
    static void SetUpTestSuite() {
        for (uint64_t seed : {11u, 12u, 13u, 14u, 15u, 16u}) masters().push_back(simfinger::makeMasterFinger(seed));
    }
    static std::vector<simfinger::Finger>& masters() {
        static std::vector<simfinger::Finger> fingers;
        return fingers;
    }
    static simfinger::ImpressionParams Params(uint64_t seed) {
        simfinger::ImpressionParams p = simfinger::randomImpressionParams(seed);
        p.contact = {};  // whole-image contact keeps the set comparable from finger to finger
        return p;
    }
    void SetUp() override { context_ = MntCreateContext(); }
    void TearDown() override { MntFreeContext(context_); }
    MntContext* context_ = nullptr;
};

TEST_F(SyntheticFingers, RecallAndPrecisionAt500And250Dpi) {
    struct Case {
        int width, height, ppi;
        double minRecall, minPrecision;
    };
    for (const Case& c : {Case{300, 400, 500, 0.0, 0.0}, Case{150, 200, 250, 0.0, 0.0}}) {
        Score total;
        for (size_t i = 0; i < masters().size(); ++i) {
            const auto im = simfinger::renderImpression(masters()[i], Params(100 + i), c.width, c.height, c.ppi);
            const Extraction e = Extract(im, context_);
            EXPECT_TRUE(e.result == MNT_OK || e.result == MNT_NO_FEATURES) << e.result;
            const Score s = Compare(im, *e.record, 500.0 / c.ppi, 8.0, 20);
            std::printf("%d dpi finger %zu: truth %d found %d, extracted %d correct %d (result %d)\n", c.ppi, i,
                        s.truth, s.found, s.extracted, s.correct, e.result);
            total.Add(s);
        }
        std::printf("%d dpi: recall %.2f precision %.2f\n", c.ppi, total.Recall(), total.Precision());
        EXPECT_GE(total.Recall(), c.minRecall) << c.ppi;
        EXPECT_GE(total.Precision(), c.minPrecision) << c.ppi;
    }
}

}  // namespace
