// Derived fields of a MatchData: directions, centre, relative positions and density weights.
#include "engines/recognition/match_data.h"

#include "engines/recognition/tables.h"

namespace DurodudUrodera::FpRecEngineImpl::Embedded {

void setDirection(Minutia& m, uint8_t angle) {
    m.angle = angle;
    m.cos = int16_t(Angle::cos(angle));
    m.sin = int16_t(Angle::sin(angle));
}

void computeCentreAndRelative(MatchData& view) {
    const int n = view.count();
    int32_t sumX = 0, sumY = 0;
    for (int i = 0; i < n; ++i) {
        sumX += view[i].x;
        sumY += view[i].y;
    }
    view.centreX = n ? int16_t((sumX + n / 2) / n) : 0;
    view.centreY = n ? int16_t((sumY + n / 2) / n) : 0;
    for (int i = 0; i < n; ++i) {
        Minutia& m = view[i];
        const int32_t dx = m.x - view.centreX, dy = m.y - view.centreY;
        m.relX = int16_t((dx * m.cos + dy * m.sin + 128) >> 8);
        m.relY = int16_t((dy * m.cos - dx * m.sin + 128) >> 8);
    }
}

void computeDensityWeights(MatchData& view) {
    const int n = view.count();
    uint8_t neighbours[kMaxMinutiae] = {};
    for (int i = 0; i < n; ++i) {
        for (int j = i + 1; j < n; ++j) {
            const int32_t dx = view[i].x - view[j].x, dy = view[i].y - view[j].y;
            if (dx * dx + dy * dy < 257) {
                ++neighbours[i];
                ++neighbours[j];
            }
        }
    }
    for (int i = 0; i < n; ++i) view[i].weight = mapDensityToWeight[neighbours[i]];
    view.flags |= kFlagWeightsComputed;
}

}  // namespace DurodudUrodera::FpRecEngineImpl::Embedded
