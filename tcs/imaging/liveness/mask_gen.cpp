// Liveness mask stage: pad, normalise with a variance-walk foreground, block orientation and ridge
// frequency, block-tuned Gabor filtering, thinning.
#include "tcs/imaging/liveness/mask_gen.h"

#include "tcs/imaging/liveness/buffers.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace liveness {

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr int kVarianceHalf = 8;  // the 17 x 17 box of the variance walk
constexpr int64_t kForegroundVariance = 700;
constexpr int kBlock = 11;  // orientation and frequency blocks
constexpr int kGradientHalf = 15;  // the 31 x 31 gradient window of a block
constexpr int kSignatureLength = 36;
constexpr int kSignatureWidth = 20;
constexpr int kHoleFillPasses = 51;
constexpr int kGaborBlock = 5;
constexpr int kKernelHalf = 13;  // 27 x 27 kernel
constexpr int kKernelSide = 2 * kKernelHalf + 1;

// Box sums of the non-zero values of a plane: count, sum and sum of squares, all exact integers.
class NonZeroBoxSums {
public:
    NonZeroBoxSums(const uint8_t* plane, int R, int C)
        : C_(C + 1),
          count_(zeroedBuffer<int64_t>(size_t(R + 1) * (C + 1))),
          sum_(zeroedBuffer<int64_t>(size_t(R + 1) * (C + 1))),
          squares_(zeroedBuffer<int64_t>(size_t(R + 1) * (C + 1))) {
        for (int r = 0; r < R; ++r) {
            int64_t rowCount = 0, rowSum = 0, rowSquares = 0;
            for (int c = 0; c < C; ++c) {
                const int64_t p = plane[size_t(r) * C + c];
                if (p != 0) {
                    ++rowCount;
                    rowSum += p;
                    rowSquares += p * p;
                }
                const size_t at = size_t(r + 1) * C_ + c + 1, above = size_t(r) * C_ + c + 1;
                count_[at] = count_[above] + rowCount;
                sum_[at] = sum_[above] + rowSum;
                squares_[at] = squares_[above] + rowSquares;
            }
        }
    }
    // The box of rows r0..r1 and columns c0..c1, inclusive.
    void box(int r0, int c0, int r1, int c1, int64_t& n, int64_t& s, int64_t& q) const {
        n = rect(count_, r0, c0, r1, c1);
        s = rect(sum_, r0, c0, r1, c1);
        q = rect(squares_, r0, c0, r1, c1);
    }

private:
    int64_t rect(const std::vector<int64_t>& t, int r0, int c0, int r1, int c1) const {
        return t[size_t(r1 + 1) * C_ + c1 + 1] - t[size_t(r0) * C_ + c1 + 1] - t[size_t(r1 + 1) * C_ + c0] +
               t[size_t(r0) * C_ + c0];
    }
    int C_;
    std::vector<int64_t> count_, sum_, squares_;
};

// Box variance as the walk compares it, from exact integer sums: n·Σp² - (Σp)² over n² needs no
// rounding to decide against 700.
bool highVariance(const NonZeroBoxSums& sums, int r, int c) {
    int64_t n, s, q;
    sums.box(r - kVarianceHalf, c - kVarianceHalf, r + kVarianceHalf, c + kVarianceHalf, n, s, q);
    if (n == 0) return false;  // variance 100
    return n * q - s * s > kForegroundVariance * n * n;
}

uint8_t median9(uint8_t v[9]) {
    std::nth_element(v, v + 4, v + 9);
    return v[4];
}

// Sum of each pixel's (2 half + 1)-square window of a double plane, for the interior pixels.
std::vector<double> windowSums(const std::vector<double>& plane, int R, int C, int border, int half) {
    std::vector<double> rows = zeroedBuffer<double>(size_t(R) * C);
    std::vector<double> out = zeroedBuffer<double>(size_t(R) * C);
    for (int r = border - half; r < R - border + half; ++r) {
        for (int c = border; c < C - border; ++c) {
            double s = 0;
            for (int d = -half; d <= half; ++d) s += plane[size_t(r) * C + c + d];
            rows[size_t(r) * C + c] = s;
        }
    }
    for (int r = border; r < R - border; ++r) {
        for (int c = border; c < C - border; ++c) {
            double s = 0;
            for (int d = -half; d <= half; ++d) s += rows[size_t(r + d) * C + c];
            out[size_t(r) * C + c] = s;
        }
    }
    return out;
}

void fillSquare(double* plane, int C, int r, int c, int half, double value) {
    for (int i = r - half; i <= r + half; ++i) {
        for (int j = c - half; j <= c + half; ++j) plane[size_t(i) * C + j] = value;
    }
}

// The ridge signature of a block across the ridges (`X_sig`). Its entries start from the previous
// block's signature rather than from zero; the trained tables were made that way.
void signature(const uint8_t* normalised, int C, int r0, int c0, double theta, double* sig) {
    const double cs = std::cos(theta), sn = std::sin(theta);
    for (int i = 0; i < kSignatureLength; ++i) {
        const double u = i - kSignatureLength / 2;
        double s = sig[i];
        for (int j = 0; j < kSignatureWidth; ++j) {
            const double t = j - kSignatureWidth / 2;
            const int row = int(u * cs + r0 + t * sn);
            const int col = int(u * sn + c0 + t * cs);
            s += normalised[size_t(row) * C + col];
        }
        sig[i] = s / kSignatureWidth;
    }
    double mean = 0;  // `X_mean`
    for (int i = 0; i < kSignatureLength; ++i) mean += sig[i];
    mean /= kSignatureLength;
    for (int i = 0; i < kSignatureLength; ++i) sig[i] -= mean;
}

// `fill_holes`: pixels without a frequency take the mean of the known ones around them, in place,
// until a pass finds none.
void fillHoles(double* freq, const uint8_t* mask, int R, int C, int border) {
    const int half = kBlock / 2;
    for (int pass = 0; pass < kHoleFillPasses; ++pass) {
        bool found = false;
        for (int r = border; r < R - border; ++r) {
            for (int c = border; c < C - border; ++c) {
                const size_t at = size_t(r) * C + c;
                if (mask[at] == 0 || freq[at] != -1) continue;
                found = true;
                double sum = 0;
                int count = 0;
                for (int i = r - half; i <= r + half; ++i) {
                    for (int j = c - half; j <= c + half; ++j) {
                        const double f = freq[size_t(i) * C + j];
                        if (f > 0) {
                            sum += f;
                            ++count;
                        }
                    }
                }
                freq[at] = count != 0 ? sum / count : -1;
            }
        }
        if (!found) return;
    }
}

// `filter_def`: the kernel tuned to one block's orientation and frequency. Its x and y axes are the
// ones the trained tables saw, not a rotation.
void gaborKernel(double theta, double f, double* kernel) {
    const double cs = std::cos(theta), sn = std::sin(theta);
    for (int i = 0; i < kKernelSide; ++i) {
        for (int j = 0; j < kKernelSide; ++j) {
            const double x = (i - kKernelHalf) * cs + (j - kKernelHalf) * sn;
            const double y = (i - kKernelHalf) * sn + (j - kKernelHalf) * cs;
            kernel[i * kKernelSide + j] = std::cos(2 * kPi * f * x) * std::exp(-(y * y / 144 + x * x / 64) / 2);
        }
    }
}

}  // namespace

void pad_zeros(const uint8_t* image, uint8_t* padded, int rows, int columns, int border) {
    const int C = columns + 2 * border;
    for (int r = 0; r < rows; ++r) {
        std::memcpy(padded + size_t(r + border) * C + border, image + size_t(r) * columns, size_t(columns));
    }
}

void depad_zeros(const uint8_t* padded, uint8_t* image, int rows, int columns, int border) {
    const int C = columns + 2 * border;
    for (int r = 0; r < rows; ++r) {
        std::memcpy(image + size_t(r) * columns, padded + size_t(r + border) * C + border, size_t(columns));
    }
}

double var(const uint8_t* plane, int C, int r, int c) {
    double sum = 0;
    int count = 0;
    for (int i = r - kVarianceHalf; i <= r + kVarianceHalf; ++i) {
        for (int j = c - kVarianceHalf; j <= c + kVarianceHalf; ++j) {
            const uint8_t p = plane[size_t(i) * C + j];
            if (p != 0) {
                sum += p;
                ++count;
            }
        }
    }
    if (sum == 0) return 100;
    const double mean = sum / count;
    double squares = 0;
    for (int i = r - kVarianceHalf; i <= r + kVarianceHalf; ++i) {
        for (int j = c - kVarianceHalf; j <= c + kVarianceHalf; ++j) {
            const uint8_t p = plane[size_t(i) * C + j];
            if (p != 0) squares += (p - mean) * (p - mean);
        }
    }
    return squares / count;
}

bool normalize(const uint8_t* padded, uint8_t* normalised, uint8_t* mask, int R, int C, int border) {
    for (int r = border; r < R - border; ++r) std::memset(mask + size_t(r) * C + border, kOn, size_t(C - 2 * border));
    // The foreground starts where a row first meets a busy box, walking in from either side.
    const NonZeroBoxSums sums(padded, R, C);
    for (int r = border; r < R - border; ++r) {
        uint8_t* row = mask + size_t(r) * C;
        for (int c = border; c < C - border && !highVariance(sums, r, c); ++c) row[c] = 0;
        for (int c = C - border - 1; c >= border && !highVariance(sums, r, c); --c) row[c] = 0;
    }
    double sum = 0;
    size_t count = 0;
    for (int r = border; r < R - border; ++r) {
        for (int c = border; c < C - border; ++c) {
            if (mask[size_t(r) * C + c] != 0) {
                sum += padded[size_t(r) * C + c];
                ++count;
            }
        }
    }
    if (count == 0) return false;
    const double mean = sum / double(count);
    double variance = 0;
    for (int r = border; r < R - border; ++r) {
        for (int c = border; c < C - border; ++c) {
            const double d = padded[size_t(r) * C + c] - mean;
            if (mask[size_t(r) * C + c] != 0) variance += d * d;
        }
    }
    variance /= double(count);
    std::vector<uint8_t> stretched = zeroedBuffer<uint8_t>(size_t(R) * C);
    for (int r = border; r < R - border; ++r) {
        for (int c = border; c < C - border; ++c) {
            const size_t at = size_t(r) * C + c;
            if (mask[at] == 0) {
                stretched[at] = 255;
                continue;
            }
            const double p = padded[at];
            // A foreground of one grey level has no variance: every pixel sits at the mean, 150,
            // where 0/0 would give NaN and an undefined conversion.
            const double spread = variance > 0 ? std::sqrt((p - mean) * (p - mean) * 10000 / variance) : 0;
            const double value = p > mean ? std::min(150 + spread, 255.0) : std::max(150 - spread, 0.0);
            stretched[at] = uint8_t(value);
        }
    }
    for (int r = 0; r < R; ++r) {
        for (int c = 0; c < C; ++c) {
            const size_t at = size_t(r) * C + c;
            if (r < border || r >= R - border || c < border || c >= C - border) {
                normalised[at] = 0;
                continue;
            }
            uint8_t v[9];
            int k = 0;
            for (int i = -1; i <= 1; ++i) {
                for (int j = -1; j <= 1; ++j) v[k++] = stretched[at + size_t(i) * C + j];
            }
            normalised[at] = median9(v);
        }
    }
    return true;
}

// The block value is atan2(Σ 2·Gx·Gy, Σ (Gy² - Gx²)) with x along a row and y down the rows; half of
// its smoothed angle is π/2 less the gradient's angle, which the frequency and Gabor stages expect.
void orientation(const uint8_t* normalised, const uint8_t* mask, double* theta, int R, int C, int border) {
    auto px = [&](int r, int c) { return int64_t(normalised[size_t(r) * C + c]); };
    std::vector<double> blocks = zeroedBuffer<double>(size_t(R) * C);
    for (int r0 = border; r0 < R - border; r0 += kBlock) {
        for (int c0 = border; c0 < C - border; c0 += kBlock) {
            if (mask[size_t(r0) * C + c0] == 0) continue;
            int64_t a = 0, b = 0;
            for (int r = r0 - kGradientHalf; r <= r0 + kGradientHalf; ++r) {
                for (int c = c0 - kGradientHalf; c <= c0 + kGradientHalf; ++c) {
                    const int64_t gx = px(r - 1, c + 1) + px(r, c + 1) + px(r + 1, c + 1) - px(r - 1, c - 1) -
                                       px(r, c - 1) - px(r + 1, c - 1);
                    const int64_t gy = px(r + 1, c - 1) + px(r + 1, c) + px(r + 1, c + 1) - px(r - 1, c - 1) -
                                       px(r - 1, c) - px(r - 1, c + 1);
                    a += 2 * gx * gy;
                    b += gy * gy - gx * gx;
                }
            }
            fillSquare(blocks.data(), C, r0, c0, kBlock / 2, std::atan2(double(a), double(b)));
        }
    }
    std::vector<double> cosines = zeroedBuffer<double>(size_t(R) * C);
    std::vector<double> sines = zeroedBuffer<double>(size_t(R) * C);
    for (int r = border; r < R - border; ++r) {
        for (int c = border; c < C - border; ++c) {
            const size_t at = size_t(r) * C + c;
            if (mask[at] == 0) continue;
            cosines[at] = std::cos(blocks[at]);
            sines[at] = std::sin(blocks[at]);
        }
    }
    const std::vector<double> cosSums = windowSums(cosines, R, C, border, kBlock / 2);
    const std::vector<double> sinSums = windowSums(sines, R, C, border, kBlock / 2);
    constexpr double kWindow = kBlock * kBlock;
    for (int r = border; r < R - border; ++r) {
        for (int c = border; c < C - border; ++c) {
            const size_t at = size_t(r) * C + c;
            if (mask[at] != 0) theta[at] = std::atan2(sinSums[at] / kWindow, cosSums[at] / kWindow) / 2;
        }
    }
}

double find_peaks(const double* sig) {
    int counter = 0, sum = 0, intervals = 0;
    bool armed = false;
    for (int i = 1; i < kSignatureLength - 1; ++i) {
        if (sig[i] > sig[i - 1] && sig[i] > sig[i + 1] && sig[i] > 0) {
            // The first peak only arms the count: the first interval runs from the walk's start.
            if (!armed) {
                armed = true;
            } else if (counter > 5) {
                sum += counter;
                ++intervals;
                counter = 0;
            }
        }
        ++counter;
    }
    return intervals != 0 ? double(sum) / intervals : -1;
}

void frequency(const uint8_t* normalised, const double* theta, double* freq, const uint8_t* mask, int R, int C,
               int border) {
    double sig[kSignatureLength] = {};
    for (int r0 = border; r0 < R - border; r0 += kBlock) {
        for (int c0 = border; c0 < C - border; c0 += kBlock) {
            const size_t centre = size_t(r0 + kBlock / 2) * C + c0 + kBlock / 2;
            if (mask[centre] == 0) continue;
            signature(normalised, C, r0, c0, theta[centre], sig);
            const double period = find_peaks(sig);
            const double f = period > 6.5 && period < 14 ? 1 / period : -1;
            fillSquare(freq, C, r0, c0, kBlock / 2, f);
        }
    }
    fillHoles(freq, mask, R, C, border);
    // Smoothing: the mean of the known frequencies around each foreground pixel.
    std::vector<double> known = zeroedBuffer<double>(size_t(R) * C);
    std::vector<double> counted = zeroedBuffer<double>(size_t(R) * C);
    for (size_t at = 0; at < size_t(R) * C; ++at) {
        if (freq[at] > 0) {
            known[at] = freq[at];
            counted[at] = 1;
        }
    }
    const std::vector<double> sums = windowSums(known, R, C, border, kBlock / 2);
    const std::vector<double> counts = windowSums(counted, R, C, border, kBlock / 2);
    for (int r = border; r < R - border; ++r) {
        for (int c = border; c < C - border; ++c) {
            const size_t at = size_t(r) * C + c;
            if (mask[at] != 0) freq[at] = counts[at] != 0 ? sums[at] / counts[at] : 0;
        }
    }
}

void gabor(const uint8_t* normalised, const double* theta, const double* freq, const uint8_t* mask, uint8_t* ridge,
           int R, int C, int border) {
    std::memset(ridge, 0, size_t(R) * C);
    std::vector<double> pixels = zeroedBuffer<double>(size_t(R) * C);
    for (size_t at = 0; at < size_t(R) * C; ++at) pixels[at] = normalised[at];
    double kernel[kKernelSide * kKernelSide];
    for (int r0 = border; r0 < R - border - kGaborBlock; r0 += kGaborBlock) {
        for (int c0 = border; c0 < C - border - kGaborBlock; c0 += kGaborBlock) {
            if (mask[size_t(r0) * C + c0] == 0) continue;
            gaborKernel(theta[size_t(r0 + 4) * C + c0 + 5], freq[size_t(r0 + 5) * C + c0 + 5], kernel);
            for (int r = r0; r < r0 + kGaborBlock; ++r) {
                // The block row's five sums side by side, each still added up kernel entry by entry.
                double s[kGaborBlock] = {};
                for (int i = 0; i < kKernelSide; ++i) {
                    const double* line = pixels.data() + size_t(r - kKernelHalf + i) * C + (c0 - kKernelHalf);
                    const double* k = kernel + i * kKernelSide;
                    for (int j = 0; j < kKernelSide; ++j) {
                        for (int q = 0; q < kGaborBlock; ++q) s[q] += k[j] * line[j + q];
                    }
                }
                for (int q = 0; q < kGaborBlock; ++q) ridge[size_t(r) * C + c0 + q] = s[q] < 0 ? kOn : 0;
            }
        }
    }
}

void thinning(const uint8_t* ridge, uint8_t* thinned, int R, int C, int border) {
    std::memcpy(thinned, ridge, size_t(R) * C);
    auto on = [&](int r, int c) { return thinned[size_t(r) * C + c] != 0; };
    std::vector<size_t> doomed = reservedList<size_t>(size_t(R) * C);
    for (bool changed = true; changed;) {
        changed = false;
        for (int pass = 0; pass < 2; ++pass) {
            doomed.clear();
            for (int r = border; r < R - border; ++r) {
                for (int c = border; c < C - border; ++c) {
                    if (!on(r, c)) continue;
                    // x1 .. x8: east, north-east, north, north-west, west, south-west, south, south-east.
                    const bool x[10] = {false,        on(r, c + 1),     on(r - 1, c + 1), on(r - 1, c),
                                        on(r - 1, c - 1), on(r, c - 1), on(r + 1, c - 1), on(r + 1, c),
                                        on(r + 1, c + 1), on(r, c + 1)};
                    int crossings = 0, n1 = 0, n2 = 0;
                    for (int i = 1; i <= 4; ++i) {
                        crossings += !x[2 * i - 1] && (x[2 * i] || x[2 * i + 1]);
                        n1 += x[2 * i - 1] || x[2 * i];
                        n2 += x[2 * i] || x[2 * i + 1];
                    }
                    const int least = std::min(n1, n2);
                    if (crossings != 1 || least < 2 || least > 3) continue;
                    const bool kept = pass == 0 ? (x[6] || x[7] || !x[4]) && x[5] : (x[2] || x[3] || !x[8]) && x[1];
                    if (!kept) doomed.push_back(size_t(r) * C + c);
                }
            }
            for (size_t at : doomed) thinned[at] = 0;
            if (!doomed.empty()) changed = true;
        }
    }
    for (int r = border; r < R - border; ++r) {
        for (int c = border; c < C - border; ++c) {
            if (!on(r, c)) continue;
            int neighbours = 0;
            for (int i = -1; i <= 1; ++i) {
                for (int j = -1; j <= 1; ++j) neighbours += (i != 0 || j != 0) && on(r + i, c + j);
            }
            if (neighbours > 2) thinned[size_t(r) * C + c] = 0;
        }
    }
}

int mask_gen(const uint8_t* image, uint8_t* mask, uint8_t* ridge, uint8_t* thinned, int rows, int columns) {
    const int R = rows + 2 * kBorder, C = columns + 2 * kBorder;
    const size_t n = size_t(R) * C;
    std::vector<uint8_t> padded = zeroedBuffer<uint8_t>(n);
    std::vector<uint8_t> normalised = zeroedBuffer<uint8_t>(n);
    std::vector<uint8_t> paddedMask = zeroedBuffer<uint8_t>(n);
    pad_zeros(image, padded.data(), rows, columns, kBorder);
    if (!normalize(padded.data(), normalised.data(), paddedMask.data(), R, C, kBorder)) return -1;
    std::vector<double> theta = zeroedBuffer<double>(n);
    std::vector<double> freq = zeroedBuffer<double>(n);
    orientation(normalised.data(), paddedMask.data(), theta.data(), R, C, kBorder);
    frequency(normalised.data(), theta.data(), freq.data(), paddedMask.data(), R, C, kBorder);
    std::vector<uint8_t> filtered = zeroedBuffer<uint8_t>(n);
    gabor(normalised.data(), theta.data(), freq.data(), paddedMask.data(), filtered.data(), R, C, kBorder);
    std::vector<uint8_t> thin = zeroedBuffer<uint8_t>(n);
    thinning(filtered.data(), thin.data(), R, C, kBorder);
    depad_zeros(filtered.data(), ridge, rows, columns, kBorder);
    depad_zeros(thin.data(), thinned, rows, columns, kBorder);
    depad_zeros(paddedMask.data(), mask, rows, columns, kBorder);
    return 0;
}

bool mask_shrink(uint8_t* mask, int R, int C, int border) {
    constexpr int kSide = 200;
    // The mean first and last on position over the lines that have one; false when none has.
    auto edges = [&](int lines, int length, auto on, double& first, double& last) {
        double firstSum = 0, lastSum = 0;
        int counted = 0;
        for (int line = border; line < lines - border; ++line) {
            int a = -1, b = -1;
            for (int at = border; at < length - border; ++at) {
                if (!on(line, at)) continue;
                if (a < 0) a = at;
                b = at;
            }
            if (a < 0) continue;
            firstSum += a;
            lastSum += b;
            ++counted;
        }
        if (counted == 0) return false;
        first = firstSum / counted;
        last = lastSum / counted;
        return true;
    };
    double top = 0, bottom = 0, left = 0, right = 0;
    if (!edges(C, R, [&](int c, int r) { return mask[size_t(r) * C + c] != 0; }, top, bottom)) return false;
    edges(R, C, [&](int r, int c) { return mask[size_t(r) * C + c] != 0; }, left, right);
    const int centreRow = int((top + bottom) / 2);
    const int centreColumn = int((left + right) / 2);
    // The window moves inward rather than hanging over the border.
    auto window = [&](int centre, int size, int& first, int& end) {
        first = std::max(border, centre - kSide / 2);
        end = std::min(size - border, first + kSide);
        first = std::max(border, end - kSide);
    };
    int r0, r1, c0, c1;
    window(centreRow, R, r0, r1);
    window(centreColumn, C, c0, c1);
    for (int r = border; r < R - border; ++r) {
        for (int c = border; c < C - border; ++c) {
            if (r < r0 || r >= r1 || c < c0 || c >= c1) mask[size_t(r) * C + c] = 0;
        }
    }
    return true;
}

}  // namespace liveness
