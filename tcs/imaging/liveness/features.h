// Liveness features: 159 values describing grey levels, pores along the ridges and the contrast
// around them, ridge and valley intensity profiles, and the image's low-frequency content.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <array>
#include <vector>

namespace liveness {

constexpr int kIntensityCount = 64;
constexpr int kRidgeCount = 15;
constexpr int kPerspirationCount = 20;
constexpr int kValleyCount = 15;
constexpr int kMaxSegment = 799;
constexpr size_t kMaxPoreList = 3000;

// Which groups to write, in the order they are written; a group that is off leaves its positions
// to the next.
struct ExtractionFlagsSt {
    uint8_t intensity;
    uint8_t ridgeSegments;
    uint8_t perspiration;
    uint8_t valley;
    uint8_t compression;
    uint8_t intensityOption;  // intensity histogram over the mask only
};

// All planes are rows x columns, row after row; mask, ridge and skeleton are on at 255. 1 with the
// features written; 0 when a group has too few pixels to measure (fewer than 256 valley pixels,
// fewer than 100 counted intensity pixels, no ridge pixel or no skeleton to trace). Throws
// std::bad_alloc when memory runs out.
int extract_features(const uint8_t* image, const uint8_t* mask, const uint8_t* ridge, const uint8_t* skeleton,
                     double* features, int columns, int rows, int dpi, ExtractionFlagsSt flags);

// The groups and their parts.

// 64 bins of value / 4, each divided by (counted pixels / 100) in integers; false when fewer than
// 100 pixels are counted.
bool intensity_measures(const uint8_t* image, const uint8_t* mask, size_t pixels, bool maskOnly, double* out);

// Marks pore centres in P and the skeleton pixel next to each in Q (both zeroed planes).
void locate_and_map_pores(const uint8_t* image, const uint8_t* ridge, const uint8_t* skeleton, uint8_t* P,
                          uint8_t* Q, int columns, int rows);

struct RidgeSegments {
    std::vector<double> distances;  // between consecutive pores along a segment
    std::vector<double> runs;  // pores per run
    std::vector<double> traced;  // grey value of every traced skeleton pixel
    std::array<double, 256> spectrum{};  // magnitude spectra of the counting segments, bin by bin
    int counting = 0;  // segments longer than one millimetre
};
RidgeSegments track_ridge_segments(const uint8_t* image, const uint8_t* skeleton, const uint8_t* Q, int columns,
                                   int rows, int pixelsPerMm);
// Walks one segment's pore marks into the distance and run lists (neither beyond 3000 values).
void find_pore_stats(const std::vector<uint8_t>& marks, int pixelsPerMm, std::vector<double>& distances,
                     std::vector<double>& runs);

// Contrast range and deviation around each pore centre at least 2 pixels inside the image.
void pore_neigh_perspiration(const uint8_t* image, const uint8_t* P, int columns, int rows,
                             std::vector<double>& ranges, std::vector<double>& deviations);
// Five bins over the non-zero values, each as a percentage of all values.
void hist(const std::vector<double>& values, const int edges[5], double* out);

// False when fewer than 256 valley pixels.
bool valley_analysis(const uint8_t* image, const uint8_t* mask, const uint8_t* ridge, size_t pixels, double* out);

}  // namespace liveness
