// Liveness features: intensity histogram, pores and ridge segments, perspiration histograms, valley
// profile and compression coefficients, written group after group.
#include "tcs/imaging/liveness/features.h"

#include "tcs/imaging/liveness/buffers.h"
#include "tcs/imaging/liveness/transforms.h"

#include <algorithm>
#include <cmath>

namespace liveness {

namespace {

constexpr int kValleyMinimum = 256;
constexpr int kPoreWindowHalf = 4;  // the 9 x 9 window that looks for the skeleton next to a pore
constexpr int kPoreSkeletonReach = 10;  // squared distance
constexpr int kPoreMinimumGrey = 100;

constexpr int kDistanceEdges[5] = {2, 6, 10, 14, 18};
constexpr int kRunEdges[5] = {1, 3, 5, 7, 9};
constexpr int kRangeEdges[5] = {14, 24, 32, 37, 42};
constexpr int kDeviationEdges[5] = {10, 40, 70, 100, 130};

// Mean and population standard deviation of count values; count must not be 0.
void meanAndDeviation(const double* values, size_t count, double& mean, double& deviation) {
    double sum = 0;
    for (size_t i = 0; i < count; ++i) sum += values[i];
    mean = sum / double(count);
    double squares = 0;
    for (size_t i = 0; i < count; ++i) squares += (values[i] - mean) * (values[i] - mean);
    deviation = std::sqrt(squares / double(count));
}

// The 3 x 3 box of a plane around (r, c) in row order; positions outside the image count 0.
void fill_box(const uint8_t* plane, int columns, int rows, int r, int c, uint8_t box[9]) {
    int k = 0;
    for (int i = r - 1; i <= r + 1; ++i) {
        for (int j = c - 1; j <= c + 1; ++j) {
            box[k++] = i >= 0 && i < rows && j >= 0 && j < columns ? plane[size_t(i) * columns + j] : 0;
        }
    }
}

int onCount(const uint8_t box[9]) {
    int n = 0;
    for (int k = 0; k < 9; ++k) n += box[k] != 0;
    return n;
}

// Ridge-segment values 1 and 2: the darkness (255 - grey) of the ridge pixels. False without any.
bool ridgeDarkness(const uint8_t* image, const uint8_t* ridge, size_t pixels, double* out) {
    std::vector<double> dark = reservedList<double>(pixels);
    for (size_t i = 0; i < pixels; ++i) {
        if (ridge[i] != 0) dark.push_back(255.0 - image[i]);
    }
    if (dark.empty()) return false;
    meanAndDeviation(dark.data(), dark.size(), out[0], out[1]);
    return true;
}

}  // namespace

bool intensity_measures(const uint8_t* image, const uint8_t* mask, size_t pixels, bool maskOnly, double* out) {
    size_t bins[kIntensityCount] = {};
    size_t counted = 0;
    for (size_t i = 0; i < pixels; ++i) {
        if (maskOnly && mask[i] == 0) continue;
        ++bins[image[i] / 4];
        ++counted;
    }
    // Fewer than 100 counted pixels make the divisor 0: no measure rather than infinities.
    const size_t hundredths = counted / 100;
    if (hundredths == 0) return false;
    for (int k = 0; k < kIntensityCount; ++k) out[k] = double(bins[k]) / double(hundredths);
    return true;
}

void locate_and_map_pores(const uint8_t* image, const uint8_t* ridge, const uint8_t* skeleton, uint8_t* P,
                          uint8_t* Q, int columns, int rows) {
    // A neighbourhood that leaves the image counts as zeros: no pore on the image's edge.
    for (int r = 1; r < rows - 1; ++r) {
        for (int c = 1; c < columns - 1; ++c) {
            const size_t at = size_t(r) * columns + c;
            if (ridge[at] == 0) continue;
            int high = 0, low = 255;
            for (int i = -1; i <= 1; ++i) {
                for (int j = -1; j <= 1; ++j) {
                    const size_t n = size_t(r + i) * columns + (c + j);
                    const int v = ridge[n] != 0 ? image[n] : 0;
                    high = std::max(high, v);
                    low = std::min(low, v);
                }
            }
            if (image[at] != high || low < 1 || image[at] <= kPoreMinimumGrey) continue;
            P[at] = 255;
            int best = kPoreSkeletonReach;
            size_t nearest = 0;
            for (int i = -kPoreWindowHalf; i <= kPoreWindowHalf; ++i) {
                for (int j = -kPoreWindowHalf; j <= kPoreWindowHalf; ++j) {
                    const int y = r + i, x = c + j;
                    if (y < 0 || y >= rows || x < 0 || x >= columns) continue;
                    if (skeleton[size_t(y) * columns + x] == 0 || i * i + j * j >= best) continue;
                    best = i * i + j * j;
                    nearest = size_t(y) * columns + x;
                }
            }
            if (best < kPoreSkeletonReach) Q[nearest] = 255;
        }
    }
}

void find_pore_stats(const std::vector<uint8_t>& marks, int pixelsPerMm, std::vector<double>& distances,
                     std::vector<double>& runs) {
    auto append = [](std::vector<double>& list, double v) {
        if (list.size() < kMaxPoreList) list.push_back(v);
    };
    int counter = 0, run = 0;
    bool earlier = false;
    for (uint8_t mark : marks) {
        ++counter;
        if (mark != 0) {
            if (earlier) append(distances, counter);
            earlier = true;
            ++run;
            counter = 0;
        }
        if (counter > pixelsPerMm && run > 0) {
            append(runs, run);
            run = 0;
        }
    }
    if (run > 0 && counter < pixelsPerMm) append(runs, run);
}

RidgeSegments track_ridge_segments(const uint8_t* image, const uint8_t* skeleton, const uint8_t* Q, int columns,
                                   int rows, int pixelsPerMm) {
    const size_t pixels = size_t(rows) * columns;
    RidgeSegments out;
    out.distances = reservedList<double>(kMaxPoreList);
    out.runs = reservedList<double>(kMaxPoreList);
    out.traced = reservedList<double>(pixels);
    std::vector<uint8_t> copy = zeroedBuffer<uint8_t>(pixels);
    std::copy(skeleton, skeleton + pixels, copy.begin());
    std::vector<double> grey = reservedList<double>(kMaxSegment);
    std::vector<uint8_t> marks = reservedList<uint8_t>(kMaxSegment);
    uint8_t box[9];
    for (int r = 0; r < rows; ++r) {
        for (int c = 0; c < columns; ++c) {
            if (copy[size_t(r) * columns + c] == 0) continue;
            fill_box(copy.data(), columns, rows, r, c, box);
            if (onCount(box) >= 3) continue;  // not a segment end
            // `fill_ridge_seg`: follow the skeleton, clearing it behind; the last pixel of a
            // segment, with no neighbour left, stays.
            grey.clear();
            marks.clear();
            int y = r, x = c;
            for (;;) {
                fill_box(copy.data(), columns, rows, y, x, box);
                if (onCount(box) <= 1 || int(grey.size()) >= kMaxSegment) break;
                const size_t at = size_t(y) * columns + x;
                copy[at] = 0;
                box[4] = 0;
                grey.push_back(image[at]);
                out.traced.push_back(image[at]);
                marks.push_back(Q[at]);
                int next = -1;  // `next_pixel`: the last on pixel of the box in row order
                for (int k = 0; k < 9; ++k) {
                    if (box[k] != 0) next = k;
                }
                if (next < 0) break;
                y += next / 3 - 1;
                x += next % 3 - 1;
            }
            if (int(grey.size()) <= pixelsPerMm) continue;
            ++out.counting;
            if (out.distances.size() < kMaxPoreList - 1 && out.runs.size() < kMaxPoreList - 1) {
                find_pore_stats(marks, pixelsPerMm, out.distances, out.runs);
            }
            // `ridge_frequency`
            addMagnitudeSpectrum(grey.data(), grey.size(), 255, out.spectrum.data());
        }
    }
    return out;
}

void pore_neigh_perspiration(const uint8_t* image, const uint8_t* P, int columns, int rows,
                             std::vector<double>& ranges, std::vector<double>& deviations) {
    for (int r = 2; r < rows - 2; ++r) {
        for (int c = 2; c < columns - 2; ++c) {
            if (P[size_t(r) * columns + c] == 0) continue;
            int floor = 255;
            for (int i = -2; i <= 2; ++i) {
                for (int j = -2; j <= 2; ++j) floor = std::min<int>(floor, image[size_t(r + i) * columns + c + j]);
            }
            double ring[8];
            int k = 0;
            for (int i = -1; i <= 1; ++i) {
                for (int j = -1; j <= 1; ++j) {
                    if (i != 0 || j != 0) ring[k++] = double(image[size_t(r + i) * columns + c + j] - floor);
                }
            }
            const auto [low, high] = std::minmax_element(ring, ring + 8);
            double mean, deviation;
            meanAndDeviation(ring, 8, mean, deviation);
            ranges.push_back(*high - *low);
            deviations.push_back(deviation);
        }
    }
}

void hist(const std::vector<double>& values, const int edges[5], double* out) {
    const int half = (edges[1] - edges[0]) / 2;
    size_t counts[5] = {};
    for (double v : values) {
        if (v == 0) continue;
        int bin = 4;
        for (int k = 0; k < 4; ++k) {
            if (v <= edges[k] + half) {
                bin = k;
                break;
            }
        }
        ++counts[bin];
    }
    for (int k = 0; k < 5; ++k) out[k] = counts[k] != 0 ? 100.0 * double(counts[k]) / double(values.size()) : 0;
}

bool valley_analysis(const uint8_t* image, const uint8_t* mask, const uint8_t* ridge, size_t pixels, double* out) {
    std::vector<double> values = reservedList<double>(pixels);
    for (size_t i = 0; i < pixels; ++i) {
        if (mask[i] != 0 && ridge[i] == 0) values.push_back(255.0 - image[i]);
    }
    if (values.size() < size_t(kValleyMinimum)) return false;
    double spectrum[kSpectrumPoints] = {};
    addMagnitudeSpectrum(values.data(), values.size(), 1, spectrum);
    double sum = 0;
    for (double bin : spectrum) sum += bin;
    out[0] = sum / kSpectrumPoints;
    meanAndDeviation(values.data(), values.size(), out[1], out[2]);
    get_multires_measures(values.data(), values.size(), out + 3);
    return true;
}

int extract_features(const uint8_t* image, const uint8_t* mask, const uint8_t* ridge, const uint8_t* skeleton,
                     double* features, int columns, int rows, int dpi, ExtractionFlagsSt flags) {
    const size_t pixels = size_t(rows) * columns;
    const int pixelsPerMm = dpi == 500 ? 20 : int(std::lround(dpi / 25.4));
    double* out = features;
    if (flags.intensity) {
        if (!intensity_measures(image, mask, pixels, flags.intensityOption != 0, out)) return 0;
        out += kIntensityCount;
    }
    std::vector<uint8_t> P, Q;
    RidgeSegments segments;
    if (flags.ridgeSegments || flags.perspiration) {
        P = zeroedBuffer<uint8_t>(pixels);
        Q = zeroedBuffer<uint8_t>(pixels);
        locate_and_map_pores(image, ridge, skeleton, P.data(), Q.data(), columns, rows);
        segments = track_ridge_segments(image, skeleton, Q.data(), columns, rows, pixelsPerMm);
    }
    if (flags.ridgeSegments) {
        double sum = 0;
        for (double bin : segments.spectrum) sum += bin;
        out[0] = segments.counting != 0 ? sum / segments.counting : 0;
        // No ridge pixel or nothing traced would divide by zero: no measure.
        if (!ridgeDarkness(image, ridge, pixels, out + 1) || segments.traced.empty()) return 0;
        get_multires_measures(segments.traced.data(), segments.traced.size(), out + 3);
        out += kRidgeCount;
    }
    if (flags.perspiration) {
        std::vector<double> ranges, deviations;
        pore_neigh_perspiration(image, P.data(), columns, rows, ranges, deviations);
        hist(segments.distances, kDistanceEdges, out);
        hist(segments.runs, kRunEdges, out + 5);
        hist(ranges, kRangeEdges, out + 10);
        hist(deviations, kDeviationEdges, out + 15);
        out += kPerspirationCount;
    }
    if (flags.valley) {
        if (!valley_analysis(image, mask, ridge, pixels, out)) return 0;
        out += kValleyCount;
    }
    if (flags.compression) compression_features(image, rows, columns, out);
    return 1;
}

}  // namespace liveness
