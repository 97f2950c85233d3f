// Test helpers for matching: feature records made from point lists, random sets, rigid
// transforms and the ground truth of synthetic impressions.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "engines/minutiae/features.h"
#include "sim/finger/finger.h"

struct MntContext;

namespace mnt::test {

struct Point {
    int x, y, direction;
    int curvature = -1;
};

std::unique_ptr<FeatureRecord> MakeRecord(const std::vector<Point>& points, uint8_t density = 100);
// `count` minutiae at least 20 px apart in a width x height area, directions and curvatures random.
std::unique_ptr<FeatureRecord> RandomRecord(uint32_t seed, int count, int width = 300, int height = 400);
// Rotates by `units` (1.5 degrees, towards increasing y) about (cx, cy), then shifts by (dx, dy).
std::unique_ptr<FeatureRecord> Transformed(const FeatureRecord& source, int units, double cx, double cy, int dx,
                                           int dy);
// Compressed with the context's output settings.
std::vector<uint8_t> Compress(const FeatureRecord& record, const MntContext* context);
// Ground truth of an impression: minutiae (engine directions) and cores, no curvature or grid.
std::unique_ptr<FeatureRecord> RecordFromImpression(const simfinger::Impression& impression);
// Three 300 x 400 impressions at 500 dpi of synthetic finger `finger` (master seed 300 + finger),
// made once per process and shared by the tests.
const std::vector<simfinger::Impression>& SyntheticImpressions(int finger);
// True in builds with the address sanitizer, where the tests that extract many images take
// smaller samples.
constexpr bool kSanitized =
#if defined(__SANITIZE_ADDRESS__)
    true;
#else
    false;
#endif
// The ground-truth direction in engine steps (y grows downwards).
int EngineDirection(double radians);

}  // namespace mnt::test
