// The feature record of one finger view (MatchData) and the derived fields every producer must fill.
#pragma once

#include <stdint.h>

namespace DurodudUrodera::FpRecEngineImpl {

constexpr int kMaxMinutiae = 76;
constexpr int kCoverageRows = 50;

// Flags of a MatchData.
constexpr uint32_t kMatchDataInitialFlags = 0x29000000;
constexpr uint32_t kFlagWeightsComputed = 0x00800000;

struct Minutia {
    int16_t x = 0;
    int16_t y = 0;
    int16_t relX = 0;  // relative to the record's centre, in the minutia's own direction frame
    int16_t relY = 0;
    int16_t cos = 256;
    int16_t sin = 0;
    uint8_t unnamed = 0;  // carried by the records; extraction leaves 0
    uint8_t confidence = 0;
    uint8_t angle = 0;  // 256 to a turn
    uint8_t weight = 0;
    uint8_t kind = 0;
    uint8_t kind2 = 0;
};

struct MinutiaPoints {
    Minutia slots[kMaxMinutiae];
    uint64_t count = 0;
};

struct EngineVersion {
    uint8_t major = 6;
    uint8_t minor = 0;
    uint8_t revision = 1;
    uint8_t fourth = 6;
    uint16_t build = 1561;
};

struct MatchData {
    MinutiaPoints minutiae;
    int16_t centreX = 0;
    int16_t centreY = 0;
    uint32_t coverage[kCoverageRows] = {};  // one bit per 8x8 cell on the fingerprint
    uint32_t coverageArea = 0;              // set bits times 64
    uint16_t originX = 0;
    uint16_t originY = 0;
    uint32_t flags = kMatchDataInitialFlags;
    uint32_t purpose = 0;
    // Three capture bytes (the third is the SensorTypeCode), then two bytes of the record formats.
    uint8_t device[5] = {0xA8, 0x00, 0x00, 0x56, 0x05};
    EngineVersion version;

    int count() const { return int(minutiae.count); }
    Minutia& operator[](int i) { return minutiae.slots[i]; }
    const Minutia& operator[](int i) const { return minutiae.slots[i]; }
};

namespace Embedded {

// Direction fields (cos, sin) of a minutia from its angle, by the engine's sine table.
void setDirection(Minutia& m, uint8_t angle);
// Centre (rounded mean) and every minutia's relative position.
void computeCentreAndRelative(MatchData& view);
// Matching weights from the neighbour density; sets kFlagWeightsComputed.
void computeDensityWeights(MatchData& view);

}  // namespace Embedded
}  // namespace DurodudUrodera::FpRecEngineImpl
