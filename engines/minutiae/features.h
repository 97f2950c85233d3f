// The engine's uncompressed feature record and the compressed feature-set codec.
#pragma once

#include <cstddef>
#include <cstdint>

struct MntContext;

namespace mnt {

constexpr int kMaxMinutiae = 1024;
constexpr int kMaxSingularPoints = 64;
constexpr int kGridSize = 128;
constexpr uint8_t kNoBlockOrientation = 255;

// Cores (type 1) and their opposite kind (type -1); x, y in pixels (block units in the
// block-level list), direction 0..239 (-1 in the block-level list).
struct SingularPointList {
    int32_t count;
    int32_t x[kMaxSingularPoints];
    int32_t y[kMaxSingularPoints];
    int32_t direction[kMaxSingularPoints];
    int32_t type[kMaxSingularPoints];
};

// Minutiae in extraction order; a negative direction marks one for removal.
// kind: 0 ridge ending, 1 bifurcation. curvature 0..254, 255 none when extracted, -1 none
// after decompression.
struct MinutiaList {
    int32_t count;
    int32_t x[kMaxMinutiae];
    int32_t y[kMaxMinutiae];
    int32_t direction[kMaxMinutiae];
    int32_t kind[kMaxMinutiae];
    int32_t curvature[kMaxMinutiae];
};

struct FeatureRecord {
    uint8_t ridgeEdgeDensity;
    MinutiaList minutiae;
    SingularPointList singularPoints;
    int32_t blockColumns;
    int32_t blockRows;
    // Block orientations 0..119, 255 where a block has none; row stride 128.
    uint8_t blockGrid[kGridSize][kGridSize];
};

// Copies count, x, y, direction and curvature (not the kind), the whole grid, the density and
// the singular points; entries beyond the counts are left as they were.
void CopyFeatures(FeatureRecord* target, const FeatureRecord* source);

// Upper bound of a compressed set, whatever the context allows.
constexpr size_t kMaxCompressedSize =
    7 + 9 * kMaxMinutiae + 1 + 8 * kMaxSingularPoints + 2 + (kGridSize + 1) * kGridSize;

// Writes the set into `out` (at least 10 bytes are always written) and returns its length.
size_t CompressFeatures(const FeatureRecord* record, uint8_t* out, const MntContext* context);
// Fills the record from a set; returns the number of bytes read before the block grid.
// It trusts the set's counts and codes: check sets of unknown origin with
// CompressedFeaturesLength first.
size_t DecompressFeatures(const uint8_t* features, FeatureRecord* record);
// The length of the set at `features` (what DecompressFeatures reads), or 0 when the set
// would run past `available` bytes.
size_t CompressedFeaturesLength(const uint8_t* features, size_t available);

// Grid part of the set; both return the position after what they wrote or read.
uint8_t* CompressBO(const FeatureRecord* grid, uint8_t* out);
size_t CompressBOLine(int previous, int count, const uint8_t* values, uint8_t* out);
const uint8_t* DecompressBO(const uint8_t* in, FeatureRecord* grid);

}  // namespace mnt
