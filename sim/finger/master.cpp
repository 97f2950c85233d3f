// Master fingers: shape, orientation model, period map, Gabor ridge growth, and their found minutiae.
#include <algorithm>
#include <cmath>

#include "sim/finger/detail.h"

namespace simfinger {
namespace {

using detail::kPi;
using detail::Rng;

constexpr int kCanvasWidth = 360;   // 18.3 mm at 500 ppi
constexpr int kCanvasHeight = 480;  // 24.4 mm

// Gabor kernel bank: orientations and periods are quantised so each kernel is built once per finger.
constexpr int kRadius = 6;
constexpr int kSide = 2 * kRadius + 1;
constexpr int kRow = 16;  // kernel rows padded to 16 taps so the inner product vectorises
constexpr int kOrientationBins = 48;
constexpr double kMinPeriod = 7.0, kMaxPeriod = 12.0, kPeriodStep = 0.25;
constexpr int kPeriodBins = int((kMaxPeriod - kMinPeriod) / kPeriodStep) + 1;
constexpr int kIterations = 14;
constexpr float kGain = 2.0f;
constexpr int kSeedSpacing = 44;  // mean spacing of the ridge seeds; sets the minutia density
constexpr int kSmoothPasses = 2;
constexpr double kSmoothSigma = 1.5;
// A ground-truth minutia must also show with the ridge field's threshold moved this far either way.
constexpr float kStableShift = 0.5f;
// Ground truth keeps only minutiae this far from any other candidate: closer ones are bridges, breaks
// and lakes whose reading flips with the slightest change of the image.
constexpr double kTruthSpacing = 9.0;

struct OrientationModel {
    FingerClass cls;
    std::vector<SingularPoint> cores, deltas;
    double archX = 0, archY = 0, archAmp = 0, archWidth = 1;
    double tilt = 0;

    // Ridge direction in image coordinates (atan2(dy, dx) with y down), modulo pi.
    double at(double x, double y) const {
        double theta = tilt;
        if (cls == FingerClass::Arch) {
            // Ridges follow level lines of y + bump(x) * fade(y): arcs that rise in the middle and flatten
            // towards the bottom of the finger.
            auto level = [&](double px, double py) {
                const double u = (px - archX) / archWidth;
                const double fade = 1.0 / (1.0 + std::exp((py - archY) / 60.0));
                return py + archAmp * std::exp(-u * u) * fade;
            };
            const double gx = level(x + 1, y) - level(x - 1, y), gy = level(x, y + 1) - level(x, y - 1);
            theta += std::atan2(-gx, gy);
        } else {
            // Zero-pole model: each core adds half its argument, each delta subtracts half of its (in these
            // y-down coordinates; with y up the signs swap).
            for (const auto& c : cores) theta += 0.5 * std::atan2(y - c.y, x - c.x);
            for (const auto& d : deltas) theta -= 0.5 * std::atan2(y - d.y, x - d.x);
        }
        theta = std::fmod(theta, kPi);
        if (theta < 0) theta += kPi;
        return theta;
    }
};

OrientationModel makeModel(FingerClass cls, Rng& rng, double cx, double cy) {
    OrientationModel m;
    m.cls = cls;
    m.tilt = rng.uniform(-0.08, 0.08);
    const double coreX = cx + rng.uniform(-15, 15), coreY = cy + rng.uniform(-60, -25);
    switch (cls) {
        case FingerClass::Arch:
            m.archX = cx + rng.uniform(-20, 20);
            m.archY = cy + rng.uniform(0, 50);
            m.archAmp = rng.uniform(40, 90);
            m.archWidth = rng.uniform(70, 110);
            break;
        case FingerClass::TentedArch:
            m.cores.push_back({coreX, coreY});
            m.deltas.push_back({coreX + rng.uniform(-6, 6), coreY + rng.uniform(45, 70)});
            break;
        case FingerClass::LeftLoop:
        case FingerClass::RightLoop: {
            const double side = cls == FingerClass::LeftLoop ? 1.0 : -1.0;
            m.cores.push_back({coreX - side * 10, coreY});
            m.deltas.push_back({coreX + side * rng.uniform(70, 110), coreY + rng.uniform(85, 125)});
            break;
        }
        case FingerClass::Whorl: {
            const double spread = rng.uniform(12, 24), lean = rng.uniform(-10, 10);
            m.cores.push_back({coreX + lean, coreY - spread});
            m.cores.push_back({coreX - lean, coreY + spread});
            const double dy = coreY + rng.uniform(80, 120);
            m.deltas.push_back({coreX - rng.uniform(85, 115), dy + rng.uniform(-12, 12)});
            m.deltas.push_back({coreX + rng.uniform(85, 115), dy + rng.uniform(-12, 12)});
            break;
        }
    }
    return m;
}

// The finger's outline: an ellipse-like cap on top, squarer flanks below, a slightly wavy edge.
std::vector<uint8_t> makeMask(Rng& rng, double cx, double cy) {
    const double a = rng.uniform(140, 162), top = rng.uniform(195, 220), bottom = rng.uniform(230, 260);
    const double wobble = rng.uniform(0.01, 0.025), wobblePhase = rng.uniform(0, 2 * kPi);
    std::vector<uint8_t> mask(size_t(kCanvasWidth) * kCanvasHeight, 0);
    for (int y = 0; y < kCanvasHeight; ++y)
        for (int x = 0; x < kCanvasWidth; ++x) {
            const double u = (x - cx) / a, v = (y - cy) / (y < cy ? top : bottom);
            const double exponent = y < cy ? 2.0 : 3.5;
            const double r = std::pow(std::abs(u), exponent) + std::pow(std::abs(v), exponent);
            const double phi = std::atan2(v, u);
            mask[size_t(y) * kCanvasWidth + x] = r < 1.0 + wobble * std::sin(5 * phi + wobblePhase);
        }
    return mask;
}

struct KernelBank {
    std::vector<float> taps;  // [orientation][period][row][kRow]
    KernelBank() : taps(size_t(kOrientationBins) * kPeriodBins * kSide * kRow, 0.0f) {
        for (int o = 0; o < kOrientationBins; ++o)
            for (int p = 0; p < kPeriodBins; ++p) build(o, p);
    }
    const float* kernel(int o, int p) const { return &taps[(size_t(o) * kPeriodBins + p) * kSide * kRow]; }

private:
    void build(int o, int p) {
        const double theta = kPi * o / kOrientationBins, period = kMinPeriod + kPeriodStep * p;
        const double c = std::cos(theta), s = std::sin(theta);
        // Envelope: long along the ridge (smooths it), about half a period across (keeps frequency).
        const double sigmaAlong = 4.0, sigmaAcross = 0.45 * period;
        double g[kSide][kSide], env[kSide][kSide], sumG = 0, sumEnv = 0;
        for (int v = -kRadius; v <= kRadius; ++v)
            for (int u = -kRadius; u <= kRadius; ++u) {
                const double along = u * c + v * s, across = -u * s + v * c;
                const double e = std::exp(-0.5 * (along * along / (sigmaAlong * sigmaAlong) +
                                                  across * across / (sigmaAcross * sigmaAcross)));
                env[v + kRadius][u + kRadius] = e;
                g[v + kRadius][u + kRadius] = e * std::cos(2 * kPi * across / period);
                sumG += g[v + kRadius][u + kRadius];
                sumEnv += e;
            }
        // No response to flat grey, unit response to a matching ridge train.
        double gain = 0;
        for (int v = -kRadius; v <= kRadius; ++v)
            for (int u = -kRadius; u <= kRadius; ++u) {
                double& t = g[v + kRadius][u + kRadius];
                t -= sumG / sumEnv * env[v + kRadius][u + kRadius];
                const double across = -u * s + v * c;
                gain += t * std::cos(2 * kPi * across / period);
            }
        float* out = &taps[(size_t(o) * kPeriodBins + p) * kSide * kRow];
        for (int v = 0; v < kSide; ++v)
            for (int u = 0; u < kSide; ++u) out[v * kRow + u] = float(g[v][u] / gain);
    }
};

const KernelBank& kernelBank() {
    static const KernelBank bank;
    return bank;
}

// One filtering step over padded buffers (pixel (x, y) at row y + kRadius, column x + kRadius).
//
// This loop is most of a finger's cost and its reads stay inside the padded buffer by construction;
// left uninstrumented (and on raw pointers, as instrumented helpers would not inline here) it keeps
// the sanitizer build's tests within their time budget.
__attribute__((no_sanitize("address", "undefined"))) void filterStep(const float* src, float* dst,
                                                                      const int* kernelIndex, const uint8_t* active,
                                                                      const float* taps, int w, int h, int stride) {
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const size_t i = size_t(y) * w + x;
            if (!active[i]) continue;
            const float* k = taps + size_t(kernelIndex[i]) * kSide * kRow;
            float acc[kRow] = {};
            for (int r = 0; r < kSide; ++r) {
                const float* in = src + size_t(y + r) * stride + x;
                const float* kr = k + r * kRow;
                for (int j = 0; j < kRow; ++j) acc[j] += kr[j] * in[j];
            }
            float sum = 0;
            for (int j = 0; j < kRow; ++j) sum += acc[j];
            const float v = kGain * sum;
            dst[size_t(y + kRadius) * stride + x + kRadius] = v > 1.0f ? 1.0f : (v < -1.0f ? -1.0f : v);
        }
}

// Grows ridges: sparse random seeds, then repeated filtering with the local Gabor kernel and clipping,
// which spreads ridge trains from each seed along the orientation field until they meet.
std::vector<float> growRidges(const std::vector<int>& kernelIndex, const std::vector<uint8_t>& active, Rng& rng,
                              int w, int h) {
    const int stride = w + 2 * kRadius + 4;  // room to read kRow taps from the last column
    const int rows = h + 2 * kRadius;
    std::vector<float> a(size_t(stride) * rows, 0.0f), b(a.size(), 0.0f);
    auto cell = [&](std::vector<float>& buf, int x, int y) -> float& {
        return buf[size_t(y + kRadius) * stride + x + kRadius];
    };
    for (int gy = kSeedSpacing / 2; gy < h; gy += kSeedSpacing)
        for (int gx = kSeedSpacing / 2; gx < w; gx += kSeedSpacing) {
            const int x = std::clamp(gx + rng.below(kSeedSpacing) - kSeedSpacing / 2, 1, w - 2);
            const int y = std::clamp(gy + rng.below(kSeedSpacing) - kSeedSpacing / 2, 1, h - 2);
            const float sign = rng.below(2) ? 1.0f : -1.0f;
            for (int dy = -1; dy <= 1; ++dy)
                for (int dx = -1; dx <= 1; ++dx) cell(a, x + dx, y + dy) = sign;
        }
    const KernelBank& bank = kernelBank();
    for (int it = 0; it < kIterations; ++it) {
        filterStep(a.data(), b.data(), kernelIndex.data(), active.data(), bank.taps.data(), w, h, stride);
        std::swap(a, b);
    }
    std::vector<float> out(size_t(w) * h);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) out[size_t(y) * w + x] = cell(a, x, y);
    return out;
}

// Separable Gaussian blur with clamped edges.
std::vector<float> blur(const std::vector<float>& in, int w, int h, double sigma) {
    const int r = int(std::ceil(3 * sigma));
    std::vector<float> k(2 * r + 1);
    float total = 0;
    for (int i = -r; i <= r; ++i) total += k[i + r] = float(std::exp(-0.5 * i * i / (sigma * sigma)));
    for (auto& v : k) v /= total;
    // Each row and column is copied into a line padded with its edge values, so the taps need no clamping.
    std::vector<float> line(size_t(std::max(w, h) + 2 * r));
    std::vector<float> out(in.size());
    auto pass = [&](const std::vector<float>& src, std::vector<float>& dst, int count, int length, size_t step,
                    size_t lineStep) {
        for (int c = 0; c < count; ++c) {
            const size_t base = size_t(c) * lineStep;
            for (int i = 0; i < length; ++i) line[size_t(i + r)] = src[base + size_t(i) * step];
            for (int i = 0; i < r; ++i) {
                line[size_t(i)] = line[size_t(r)];
                line[size_t(length + r + i)] = line[size_t(length + r - 1)];
            }
            for (int i = 0; i < length; ++i) {
                float sum = 0;
                for (int t = 0; t <= 2 * r; ++t) sum += k[size_t(t)] * line[size_t(i + t)];
                dst[base + size_t(i) * step] = sum;
            }
        }
    };
    std::vector<float> tmp(in.size());
    pass(in, tmp, h, w, 1, size_t(w));   // rows
    pass(tmp, out, w, h, size_t(w), 1);  // columns
    return out;
}

// Minutiae of the ridge field that survive thinner and thicker ridges: a feature that appears or
// vanishes when the threshold moves by a fraction of a pixel is not one an impression reliably shows.
std::vector<Minutia> stableMinutiae(const std::vector<float>& field, const std::vector<uint8_t>& mask, int w, int h) {
    auto at = [&](float threshold) {
        std::vector<uint8_t> ridge(field.size());
        for (size_t i = 0; i < field.size(); ++i) ridge[i] = field[i] > threshold;
        return detail::minutiaeOfBinary(ridge, w, h, mask, 10, kTruthSpacing);
    };
    std::vector<Minutia> kept = at(0.0f);
    for (float t : {-kStableShift, kStableShift}) {
        const std::vector<Minutia> other = at(t);
        std::vector<Minutia> both;
        for (const Minutia& m : kept)
            for (const Minutia& o : other)
                if (o.type == m.type && std::hypot(o.x - m.x, o.y - m.y) <= 4.0) {
                    both.push_back(m);
                    break;
                }
        kept.swap(both);
    }
    return kept;
}

}  // namespace

FingerClass classFromSeed(uint64_t seed) {
    Rng rng(seed, 0x636c617373ull);
    const double u = rng.uniform();
    if (u < 0.05) return FingerClass::Arch;
    if (u < 0.10) return FingerClass::TentedArch;
    if (u < 0.40) return FingerClass::LeftLoop;
    if (u < 0.70) return FingerClass::RightLoop;
    return FingerClass::Whorl;
}

const char* className(FingerClass cls) {
    switch (cls) {
        case FingerClass::Arch: return "arch";
        case FingerClass::TentedArch: return "tented-arch";
        case FingerClass::LeftLoop: return "left-loop";
        case FingerClass::RightLoop: return "right-loop";
        case FingerClass::Whorl: return "whorl";
    }
    return "unknown";
}

Finger makeMasterFinger(uint64_t seed, FingerClass cls) {
    Finger f;
    f.seed = seed;
    f.cls = cls;
    f.width = kCanvasWidth;
    f.height = kCanvasHeight;
    const int w = f.width, h = f.height;
    const size_t n = size_t(w) * h;
    Rng shapeRng(seed, 1), fieldRng(seed, 2), periodRng(seed, 3), growRng(seed, 4);

    f.centerX = w / 2.0 + shapeRng.uniform(-6, 6);
    f.centerY = h / 2.0 + shapeRng.uniform(-6, 6);
    f.mask = makeMask(shapeRng, f.centerX, f.centerY);

    const OrientationModel model = makeModel(cls, fieldRng, f.centerX, f.centerY);
    const detail::Waves wiggle(fieldRng, 120, 300);
    const double wiggleAmp = fieldRng.uniform(0.03, 0.10);
    const double basePeriod = periodRng.uniform(8.6, 9.8);
    const detail::Waves periodField(periodRng, 150, 400);
    const double periodAmp = periodRng.uniform(0.4, 0.9);

    f.orientation.resize(n);
    f.period.resize(n);
    std::vector<int> kernelIndex(n);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const size_t i = size_t(y) * w + x;
            double theta = std::fmod(model.at(x, y) + wiggleAmp * wiggle(x, y) + kPi, kPi);
            // Ridges are a little finer towards the fingertip.
            const double period = std::clamp(basePeriod + periodAmp * periodField(x, y) + (y - f.centerY) * 0.002,
                                             kMinPeriod, kMaxPeriod);
            f.period[i] = float(period);
            // Stored counter-clockwise as seen on the image, like every other direction we report.
            f.orientation[i] = float(std::fmod(kPi - theta, kPi));
            const int o = int(std::lround(theta / kPi * kOrientationBins)) % kOrientationBins;
            const int p = int(std::lround((period - kMinPeriod) / kPeriodStep));
            kernelIndex[i] = o * kPeriodBins + p;
        }

    // Grow only on and near the finger; ridges far outside it are never shown.
    std::vector<uint8_t> outside(n);
    for (size_t i = 0; i < n; ++i) outside[i] = !f.mask[i];
    const std::vector<float> toFinger = detail::distanceToOutside(outside, w, h);
    std::vector<uint8_t> active(n);
    for (size_t i = 0; i < n; ++i) active[i] = toFinger[i] < 2 * kRadius;
    const std::vector<float> grown = growRidges(kernelIndex, active, growRng, w, h);

    // Settle the pattern: blurring and re-thresholding rounds off necks and gaps a pixel or two wide
    // (they would flip with any resampling), dots and lakes too small to print go, and a last soft blur
    // gives the rendered ridges a profile; thresholding it at 0 gives back the settled binary pattern.
    std::vector<uint8_t> binary(n);
    for (size_t i = 0; i < n; ++i) binary[i] = grown[i] > 0;
    std::vector<float> sharp(n);
    for (int pass = 0; pass < kSmoothPasses; ++pass) {
        detail::removeSmallComponents(binary, w, h, 30);
        for (size_t i = 0; i < n; ++i) sharp[i] = binary[i] ? 1.0f : -1.0f;
        const std::vector<float> soft = blur(sharp, w, h, kSmoothSigma);
        for (size_t i = 0; i < n; ++i) binary[i] = soft[i] > 0;
    }
    detail::removeSmallComponents(binary, w, h, 30);
    for (size_t i = 0; i < n; ++i) sharp[i] = binary[i] ? 1.0f : -1.0f;
    f.ridges = blur(sharp, w, h, 1.0);

    f.minutiae = stableMinutiae(f.ridges, f.mask, w, h);

    auto onFinger = [&](const SingularPoint& p) {
        const long x = std::lround(p.x), y = std::lround(p.y);
        return x >= 0 && y >= 0 && x < w && y < h && f.mask[size_t(y) * w + size_t(x)];
    };
    for (const auto& c : model.cores)
        if (onFinger(c)) f.cores.push_back(c);
    for (const auto& d : model.deltas)
        if (onFinger(d)) f.deltas.push_back(d);

    f.image = masterAsImpression(f).image;
    return f;
}

Finger makeMasterFinger(uint64_t seed) { return makeMasterFinger(seed, classFromSeed(seed)); }

}  // namespace simfinger
