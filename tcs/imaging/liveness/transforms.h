// Liveness transforms: the radix-2 FFT, the low-frequency 2-D DCT of an image, and the five-level
// db8 wavelet decomposition of a list of values.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <array>
#include <vector>

namespace liveness {

constexpr int kWaveletTaps = 16;
constexpr int kWaveletLevels = 5;
constexpr int kCompressionCount = 45;

// The db8 filters as stored (7 significant digits): decomposition low-pass h and high-pass g,
// reconstruction low-pass rh and high-pass rg.
struct WaveletFilters {
    double h[kWaveletTaps], g[kWaveletTaps], rh[kWaveletTaps], rg[kWaveletTaps];
};
const WaveletFilters& db8Filters();

// n-point transform of re (+ i·im, im may be NULL) into outRe/outIm. direction 0: e^(-2πikn/N);
// otherwise e^(+2πikn/N) divided by n. -1 when n is not a power of two of at least 2, else 0.
int FFT_float(const double* re, const double* im, double* outRe, double* outIm, int n, int direction);

constexpr int kSpectrumPoints = 256;

// Adds to each of the 256 bins of the accumulator the magnitude spectrum of the first 256 of count
// values (zero-padded), each divided by divisor: the transform with a positive exponent, divided by 256.
void addMagnitudeSpectrum(const double* values, size_t count, double divisor, double* accumulator);

// The first 45 coefficients, in zig-zag order, of the orthonormal 2-D DCT-II of rows x columns
// pixels read as `columns` lines of `rows` pixels (pixel (x, y) at y x rows + x).
void compression_features(const uint8_t* image, int rows, int columns, double* out);

// The six full-resolution rows of the decomposition (details of levels 0 to 4, then the final
// approximation), n values each; they add up to the input.
std::array<std::vector<double>, kWaveletLevels + 1> multires(const double* values, size_t n);

// Mean absolute value and standard deviation of each of the six rows: twelve values. n must not be 0.
void get_multires_measures(const double* values, size_t n, double* out);

}  // namespace liveness
