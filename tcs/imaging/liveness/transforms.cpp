// Liveness transforms: radix-2 FFT, direct low-frequency DCT, db8 wavelet decomposition and
// reconstruction to full resolution.
#include "tcs/imaging/liveness/transforms.h"

#include "tcs/imaging/liveness/buffers.h"

#include <algorithm>
#include <cmath>

namespace liveness {

namespace {

constexpr double kPi = 3.14159265358979323846;

// Daubechies' 16-tap low-pass decomposition filter (db8), to 7 significant digits.
constexpr double kDb8[kWaveletTaps] = {
    -1.174768e-04, 6.754494e-04, -3.917404e-04, -4.870353e-03, 8.746094e-03, 1.398103e-02,
    -4.408825e-02, -1.736930e-02, 1.287474e-01,  4.724846e-04,  -2.840155e-01, -1.582911e-02,
    5.853547e-01,  6.756307e-01,  3.128716e-01,  5.441584e-02,
};

WaveletFilters makeFilters() {
    WaveletFilters f{};
    for (int k = 0; k < kWaveletTaps; ++k) {
        f.h[k] = kDb8[k];
        f.rh[k] = kDb8[kWaveletTaps - 1 - k];
        // The high-pass filters by the alternating-sign rule: rg[k] = (-1)^k h[k], g its reverse.
        f.rg[k] = (k % 2 == 0 ? 1 : -1) * kDb8[k];
    }
    for (int k = 0; k < kWaveletTaps; ++k) f.g[k] = f.rg[kWaveletTaps - 1 - k];
    return f;
}

// Full convolution: size + 15 values.
std::vector<double> conv(const std::vector<double>& x, const double* filter) {
    std::vector<double> y = zeroedBuffer<double>(x.size() + kWaveletTaps - 1);
    for (size_t j = 0; j < x.size(); ++j) {
        const double v = x[j];
        if (v == 0) continue;  // half the samples of an upsampled signal
        for (int k = 0; k < kWaveletTaps; ++k) y[j + k] += v * filter[k];
    }
    return y;
}

// Every second sample, from the first.
std::vector<double> downsample(const std::vector<double>& x) {
    std::vector<double> y = zeroedBuffer<double>((x.size() + 1) / 2);
    for (size_t i = 0; i < y.size(); ++i) y[i] = x[2 * i];
    return y;
}

// A zero after each sample.
std::vector<double> upsample(const std::vector<double>& x) {
    std::vector<double> y = zeroedBuffer<double>(2 * x.size());
    for (size_t i = 0; i < x.size(); ++i) y[2 * i] = x[i];
    return y;
}

}  // namespace

const WaveletFilters& db8Filters() {
    static const WaveletFilters filters = makeFilters();
    return filters;
}

int FFT_float(const double* re, const double* im, double* outRe, double* outIm, int n, int direction) {
    if (n < 2 || (n & (n - 1)) != 0) return -1;
    int bits = 0;
    while ((1 << bits) < n) ++bits;
    for (int i = 0; i < n; ++i) {
        int reversed = 0;
        for (int b = 0; b < bits; ++b) reversed |= ((i >> b) & 1) << (bits - 1 - b);
        outRe[reversed] = re[i];
        outIm[reversed] = im != nullptr ? im[i] : 0;
    }
    const double sign = direction != 0 ? 1 : -1;
    for (int length = 2; length <= n; length <<= 1) {
        const double step = sign * 2 * kPi / length;
        for (int start = 0; start < n; start += length) {
            for (int k = 0; k < length / 2; ++k) {
                const double wr = std::cos(step * k), wi = std::sin(step * k);
                const int a = start + k, b = a + length / 2;
                const double tr = wr * outRe[b] - wi * outIm[b];
                const double ti = wr * outIm[b] + wi * outRe[b];
                outRe[b] = outRe[a] - tr;
                outIm[b] = outIm[a] - ti;
                outRe[a] += tr;
                outIm[a] += ti;
            }
        }
    }
    if (direction != 0) {
        for (int i = 0; i < n; ++i) {
            outRe[i] /= n;
            outIm[i] /= n;
        }
    }
    return 0;
}

void addMagnitudeSpectrum(const double* values, size_t count, double divisor, double* accumulator) {
    double in[kSpectrumPoints] = {}, re[kSpectrumPoints], im[kSpectrumPoints];
    const size_t used = std::min<size_t>(count, kSpectrumPoints);
    for (size_t i = 0; i < used; ++i) in[i] = values[i] / divisor;
    // The data's length chose the direction: never 0, so the positive exponent and the 1/256 scale
    // (the length itself, beyond 32 bits, could wrap to 0).
    FFT_float(in, nullptr, re, im, kSpectrumPoints, 1);
    for (int k = 0; k < kSpectrumPoints; ++k) {
        accumulator[k] += im[k] == 0 ? std::fabs(re[k]) : std::sqrt(re[k] * re[k] + im[k] * im[k]);
    }
}

void compression_features(const uint8_t* image, int rows, int columns, double* out) {
    constexpr int kFrequencies = 9;  // anti-diagonals 0 .. 8
    // Inner sums over each line for every u first: the same coefficients as two cosines per pixel,
    // a ninth of the work.
    std::vector<double> cosX = zeroedBuffer<double>(size_t(kFrequencies) * rows);
    std::vector<double> cosY = zeroedBuffer<double>(size_t(kFrequencies) * columns);
    for (int u = 0; u < kFrequencies; ++u) {
        for (int x = 0; x < rows; ++x) cosX[size_t(u) * rows + x] = std::cos(kPi * u * (x + 0.5) / rows);
        for (int y = 0; y < columns; ++y) cosY[size_t(u) * columns + y] = std::cos(kPi * u * (y + 0.5) / columns);
    }
    std::vector<double> lineSums = zeroedBuffer<double>(size_t(kFrequencies) * columns);
    for (int y = 0; y < columns; ++y) {
        const uint8_t* line = image + size_t(y) * rows;
        for (int u = 0; u < kFrequencies; ++u) {
            const double* c = cosX.data() + size_t(u) * rows;
            double s = 0;
            for (int x = 0; x < rows; ++x) s += line[x] * c[x];
            lineSums[size_t(u) * columns + y] = s;
        }
    }
    int k = 0;
    for (int s = 0; s < kFrequencies; ++s) {
        for (int i = 0; i <= s; ++i) {
            const int u = s % 2 == 0 ? i : s - i;  // up the anti-diagonal for even s, down for odd
            const int v = s - u;
            const double cu = (u != 0 ? std::sqrt(2.0) : 1.0) / std::sqrt(double(rows));
            const double cv = (v != 0 ? std::sqrt(2.0) : 1.0) / std::sqrt(double(columns));
            double sum = 0;
            for (int y = 0; y < columns; ++y) sum += cosY[size_t(v) * columns + y] * lineSums[size_t(u) * columns + y];
            out[k++] = cu * cv * sum;
        }
    }
}

std::array<std::vector<double>, kWaveletLevels + 1> multires(const double* values, size_t n) {
    const WaveletFilters& f = db8Filters();
    std::vector<double> approximation = zeroedBuffer<double>(n);
    std::copy(values, values + n, approximation.begin());
    std::array<std::vector<double>, kWaveletLevels> details;
    for (int level = 0; level < kWaveletLevels; ++level) {
        details[level] = downsample(conv(approximation, f.g));
        approximation = downsample(conv(approximation, f.h));
    }
    // Each level's synthesis delays the signal by 15 samples at that level's rate.
    constexpr size_t kOffsets[kWaveletLevels + 1] = {15, 45, 105, 225, 465, 465};
    std::array<std::vector<double>, kWaveletLevels + 1> rows;
    for (int level = 0; level <= kWaveletLevels; ++level) {
        std::vector<double> x;
        if (level < kWaveletLevels) {
            x = conv(upsample(details[level]), f.rg);
            for (int k = 0; k < level; ++k) x = conv(upsample(x), f.rh);
        } else {
            x = approximation;
            for (int k = 0; k < kWaveletLevels; ++k) x = conv(upsample(x), f.rh);
        }
        rows[level] = zeroedBuffer<double>(n);
        std::copy(x.begin() + kOffsets[level], x.begin() + kOffsets[level] + n, rows[level].begin());
    }
    return rows;
}

void get_multires_measures(const double* values, size_t n, double* out) {
    const auto rows = multires(values, n);
    for (int level = 0; level <= kWaveletLevels; ++level) {
        double absolute = 0, sum = 0, squares = 0;
        for (double v : rows[level]) {
            absolute += std::fabs(v);
            sum += v;
            squares += v * v;
        }
        const double mean = sum / double(n);
        // Rounding can leave the difference a hair below 0 for a flat row: no square root of that.
        const double spread = squares / double(n) - mean * mean;
        out[2 * level] = absolute / double(n);
        out[2 * level + 1] = spread > 0 ? std::sqrt(spread) : 0;
    }
}

}  // namespace liveness
