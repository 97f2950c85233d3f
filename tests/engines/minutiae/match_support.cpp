// Test helpers for matching: feature records made from point lists, random sets, rigid
// transforms and the ground truth of synthetic impressions.
#include "tests/engines/minutiae/match_support.h"

#include <cmath>
#include <cstring>
#include <map>

#include "engines/minutiae/context.h"

namespace mnt::test {
namespace {

constexpr double kPi = 3.14159265358979323846;

std::unique_ptr<FeatureRecord> EmptyRecord(uint8_t density) {
    auto record = std::make_unique<FeatureRecord>();
    std::memset(record.get(), 0, sizeof(FeatureRecord));
    std::memset(record->blockGrid, kNoBlockOrientation, sizeof record->blockGrid);
    record->ridgeEdgeDensity = density;
    return record;
}

}  // namespace

std::unique_ptr<FeatureRecord> MakeRecord(const std::vector<Point>& points, uint8_t density) {
    auto record = EmptyRecord(density);
    MinutiaList& m = record->minutiae;
    for (const Point& p : points) {
        m.x[m.count] = p.x;
        m.y[m.count] = p.y;
        m.direction[m.count] = p.direction;
        m.curvature[m.count] = p.curvature;
        ++m.count;
    }
    return record;
}

std::unique_ptr<FeatureRecord> RandomRecord(uint32_t seed, int count, int width, int height) {
    uint64_t state = seed * 6364136223846793005ull + 1442695040888963407ull;
    auto next = [&state](int range) {
        state = state * 6364136223846793005ull + 1442695040888963407ull;
        return int((state >> 33) % uint64_t(range));
    };
    std::vector<Point> points;
    int attempts = 0;
    while (int(points.size()) < count && attempts++ < 100000) {
        const Point p{20 + next(width - 40), 20 + next(height - 40), next(240), next(200)};
        bool close = false;
        for (const Point& q : points) close = close || std::hypot(p.x - q.x, p.y - q.y) < 20;
        if (!close) points.push_back(p);
    }
    return MakeRecord(points);
}

std::unique_ptr<FeatureRecord> Transformed(const FeatureRecord& source, int units, double cx, double cy, int dx,
                                           int dy) {
    auto record = std::make_unique<FeatureRecord>(source);
    const double a = units * kPi / 120.0;
    MinutiaList& m = record->minutiae;
    for (int i = 0; i < m.count; ++i) {
        const double px = m.x[i] - cx, py = m.y[i] - cy;
        m.x[i] = int(std::lround(cx + std::cos(a) * px - std::sin(a) * py)) + dx;
        m.y[i] = int(std::lround(cy + std::sin(a) * px + std::cos(a) * py)) + dy;
        m.direction[i] = ((m.direction[i] + units) % 240 + 240) % 240;
    }
    return record;
}

std::vector<uint8_t> Compress(const FeatureRecord& record, const MntContext* context) {
    std::vector<uint8_t> out(kMaxCompressedSize);
    out.resize(CompressFeatures(&record, out.data(), context));
    return out;
}

int EngineDirection(double radians) {
    const int d = int(std::lround(-radians * 120.0 / kPi)) % 240;
    return d < 0 ? d + 240 : d;
}

std::unique_ptr<FeatureRecord> RecordFromImpression(const simfinger::Impression& impression) {
    auto record = EmptyRecord(100);
    MinutiaList& m = record->minutiae;
    for (const auto& t : impression.minutiae) {
        if (m.count == kMaxMinutiae) break;
        m.x[m.count] = int(std::lround(t.x * 500.0 / impression.ppi));
        m.y[m.count] = int(std::lround(t.y * 500.0 / impression.ppi));
        m.direction[m.count] = EngineDirection(t.direction);
        m.curvature[m.count] = -1;
        ++m.count;
    }
    SingularPointList& s = record->singularPoints;
    for (const auto& c : impression.cores) {
        if (s.count == kMaxSingularPoints) break;
        s.x[s.count] = int(std::lround(c.x * 500.0 / impression.ppi));
        s.y[s.count] = int(std::lround(c.y * 500.0 / impression.ppi));
        s.type[s.count] = 1;
        ++s.count;
    }
    return record;
}

const std::vector<simfinger::Impression>& SyntheticImpressions(int finger) {
    static std::map<int, std::vector<simfinger::Impression>> cache;
    auto& impressions = cache[finger];
    if (impressions.empty()) {
        const simfinger::Finger master = simfinger::makeMasterFinger(uint64_t(300 + finger));
        for (int i = 0; i < 3; ++i) {
            simfinger::ImpressionParams p = simfinger::randomImpressionParams(uint64_t(1000 + 10 * finger + i));
            p.contact = {};  // whole-image contact keeps the sets comparable from finger to finger
            impressions.push_back(simfinger::renderImpression(master, p, 300, 400, 500));
        }
    }
    return impressions;
}

}  // namespace mnt::test
