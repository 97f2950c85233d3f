// Seeded synthetic minutia sets for the recognition engine's tests and benchmark.
#pragma once

#include <stdint.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "engines/recognition/match_data.h"

namespace recogtest {

// xorshift64: the same sequence on every platform, unlike the standard distributions.
struct Rng {
    uint64_t state;
    explicit Rng(uint64_t seed) : state(seed * 0x9E3779B97F4A7C15ull + 1) {}
    uint32_t next() {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        return uint32_t(state >> 16);
    }
    int range(int lo, int hi) { return lo + int(next() % uint32_t(hi - lo + 1)); }
};

struct RawMinutia {
    int x, y, angle, confidence;
};

// `count` minutiae at least `spacing` feature units apart inside the 256 x 400 feature frame.
inline std::vector<RawMinutia> makeFinger(uint64_t seed, int count, int spacing = 14) {
    Rng rng(seed);
    std::vector<RawMinutia> out;
    while (int(out.size()) < count) {
        const RawMinutia m{rng.range(24, 231), rng.range(24, 375), rng.range(0, 255), rng.range(20, 99)};
        const bool clear = std::all_of(out.begin(), out.end(), [&](const RawMinutia& o) {
            return (o.x - m.x) * (o.x - m.x) + (o.y - m.y) * (o.y - m.y) >= spacing * spacing;
        });
        if (clear) out.push_back(m);
    }
    return out;
}

// Another impression: turned by `rotation` (256 to a turn) about the frame's middle, shifted,
// jittered by up to `jitter` units and 3 angle units, with `drop` minutiae lost; those leaving the
// frame are lost too.
inline std::vector<RawMinutia> impression(const std::vector<RawMinutia>& finger, uint64_t seed, int rotation,
                                          int dx, int dy, int jitter = 2, int drop = 4) {
    Rng rng(seed);
    const double t = rotation * 2 * M_PI / 256, c = std::cos(t), s = std::sin(t);
    std::vector<RawMinutia> out;
    for (const RawMinutia& m : finger) {
        const double x = m.x - 128.0, y = m.y - 200.0;
        RawMinutia n{int(std::lround(128 + x * c - y * s)) + dx + rng.range(-jitter, jitter),
                     int(std::lround(200 + x * s + y * c)) + dy + rng.range(-jitter, jitter),
                     (m.angle + rotation + rng.range(-3, 3)) & 255, m.confidence};
        if (n.x >= 0 && n.x <= 255 && n.y >= 0 && n.y <= 399) out.push_back(n);
    }
    for (int i = 0; i < drop && !out.empty(); ++i) out.erase(out.begin() + rng.range(0, int(out.size()) - 1));
    return out;
}

// A view as extraction or import leaves it: directions, centre, relative positions, weights.
inline DurodudUrodera::FpRecEngineImpl::MatchData toMatchData(const std::vector<RawMinutia>& minutiae,
                                                              uint32_t purpose) {
    namespace E = DurodudUrodera::FpRecEngineImpl::Embedded;
    DurodudUrodera::FpRecEngineImpl::MatchData view;
    const int n = std::min<int>(int(minutiae.size()), DurodudUrodera::FpRecEngineImpl::kMaxMinutiae);
    view.minutiae.count = uint64_t(n);
    for (int i = 0; i < n; ++i) {
        auto& m = view[i];
        m.x = int16_t(minutiae[i].x);
        m.y = int16_t(minutiae[i].y);
        m.confidence = uint8_t(minutiae[i].confidence);
        E::setDirection(m, uint8_t(minutiae[i].angle));
    }
    E::computeCentreAndRelative(view);
    E::computeDensityWeights(view);
    view.purpose = purpose;
    return view;
}

}  // namespace recogtest
