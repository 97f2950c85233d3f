// Internals shared by the finger generator's files: its PRNG, thinning and the minutia finder.
#pragma once

#include <cmath>
#include <cstdint>
#include <vector>

#include "sim/finger/finger.h"

namespace simfinger::detail {

constexpr double kPi = 3.14159265358979323846;

// xoshiro256** seeded through splitmix64: the same numbers on every platform and library.
class Rng {
public:
    explicit Rng(uint64_t seed, uint64_t stream = 0) {
        uint64_t x = seed ^ (stream * 0xD1B54A32D192ED03ull);
        for (auto& word : s_) word = splitmix(x);
    }
    uint64_t next() {
        const uint64_t result = rotl(s_[1] * 5, 7) * 9;
        const uint64_t t = s_[1] << 17;
        s_[2] ^= s_[0];
        s_[3] ^= s_[1];
        s_[1] ^= s_[2];
        s_[0] ^= s_[3];
        s_[2] ^= t;
        s_[3] = rotl(s_[3], 45);
        return result;
    }
    // Uniform in [0, 1).
    double uniform() { return double(next() >> 11) * 0x1.0p-53; }
    double uniform(double lo, double hi) { return lo + (hi - lo) * uniform(); }
    // Standard normal by Box-Muller.
    double normal() {
        const double u1 = 1.0 - uniform();  // (0, 1]
        const double u2 = uniform();
        return std::sqrt(-2.0 * std::log(u1)) * std::cos(2.0 * kPi * u2);
    }
    int below(int n) { return int(next() % uint64_t(n)); }

private:
    static uint64_t rotl(uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }
    static uint64_t splitmix(uint64_t& x) {
        uint64_t z = (x += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    uint64_t s_[4];
};

// A smooth random field with values in [-1, 1]: a sum of four plane waves of random direction, phase
// and wavelength.
struct Waves {
    double kx[4], ky[4], phase[4], amp[4];
    Waves(Rng& rng, double minWavelength, double maxWavelength) {
        double total = 0;
        for (int i = 0; i < 4; ++i) {
            const double a = rng.uniform(0, 2 * kPi), len = rng.uniform(minWavelength, maxWavelength);
            kx[i] = std::cos(a) * 2 * kPi / len;
            ky[i] = std::sin(a) * 2 * kPi / len;
            phase[i] = rng.uniform(0, 2 * kPi);
            amp[i] = rng.uniform(0.5, 1.0);
            total += amp[i];
        }
        for (double& v : amp) v /= total;
    }
    double operator()(double x, double y) const {
        double v = 0;
        for (int i = 0; i < 4; ++i) v += amp[i] * std::sin(kx[i] * x + ky[i] * y + phase[i]);
        return v;
    }
};

// Chamfer distance (in pixels, approximately Euclidean) from each pixel to the nearest pixel outside
// `inside`; pixels beyond the image edge count as outside.
std::vector<float> distanceToOutside(const std::vector<uint8_t>& inside, int width, int height);

// Thins a binary image (1 = ridge) to a one-pixel skeleton in place (Zhang-Suen).
void thin(std::vector<uint8_t>& binary, int width, int height);

// Minutiae of a binary ridge image (1 = ridge), dropping those within `margin` px of the edge of
// `mask` (empty = whole image), those on spurs, and those closer than `minSpacing` to another candidate.
constexpr double kMinSpacing = 7.0;
std::vector<Minutia> minutiaeOfBinary(const std::vector<uint8_t>& ridge, int width, int height,
                                      const std::vector<uint8_t>& mask, int margin,
                                      double minSpacing = kMinSpacing);

// Removes 8-connected ridge blobs and 4-connected valley holes smaller than `minArea` pixels.
void removeSmallComponents(std::vector<uint8_t>& binary, int width, int height, int minArea);

}  // namespace simfinger::detail
