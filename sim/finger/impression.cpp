// Impressions: a master finger placed, distorted, pressed and rendered, with its ground truth carried over.
#include <algorithm>
#include <cmath>

#include "sim/finger/detail.h"

namespace simfinger {
namespace {

using detail::kPi;
using detail::Rng;

constexpr double kMinPpi = 250.0, kMaxPpi = 1000.0;
constexpr int kMaxSide = 4096;
constexpr double kRidgeGrey = 45.0, kValleyGrey = 215.0, kBackground = 255.0;
constexpr int kMinutiaMargin = 8;

// The mapping from impression pixels back to the master canvas: inverse placement plus a distortion
// that is nil at the contact centre and grows outward, as skin sliding on a platen does.
struct Placement {
    double masterCx, masterCy, imageCx, imageCy;
    double scale;  // master pixels per image pixel
    double cosR, sinR;
    double distortion;
    detail::Waves fx, fy;

    Placement(const Finger& f, const ImpressionParams& p, int width, int height, double ppi, Rng& rng)
        : masterCx(f.centerX), masterCy(f.centerY), imageCx((width - 1) / 2.0 + p.dx),
          imageCy((height - 1) / 2.0 + p.dy), scale(kMasterPpi / ppi), cosR(std::cos(p.rotation)),
          sinR(std::sin(p.rotation)), distortion(p.distortion), fx(rng, 220, 420),
          fy(rng, 220, 420) {}

    void toMaster(double ix, double iy, double& mx, double& my) const {
        const double ux = (ix - imageCx) * scale, uy = (iy - imageCy) * scale;
        // Undo a counter-clockwise turn as seen (y down): image = R * master with
        // R = [cos, sin; -sin, cos], so master = R^T * image.
        double x = cosR * ux - sinR * uy, y = sinR * ux + cosR * uy;
        if (distortion > 0) {
            const double r2 = (x * x + y * y) / (110.0 * 110.0);
            const double weight = 1.0 - std::exp(-r2);
            x += distortion * weight * fx(ux, uy);
            y += distortion * weight * fy(ux, uy);
        }
        mx = masterCx + x;
        my = masterCy + y;
    }

    // The inverse, by Newton's method from the undistorted guess (the distortion is gentle, so a few
    // steps converge to well under a hundredth of a pixel).
    void toImage(double mx, double my, double& ix, double& iy) const {
        const double x = mx - masterCx, y = my - masterCy;
        ix = imageCx + (cosR * x + sinR * y) / scale;
        iy = imageCy + (-sinR * x + cosR * y) / scale;
        for (int step = 0; step < 8; ++step) {
            double bx, by;
            toMaster(ix, iy, bx, by);
            const double ex = bx - mx, ey = by - my;
            if (std::abs(ex) + std::abs(ey) < 1e-6) break;
            constexpr double h = 0.5;
            double ax, ay, cx, cy, dx1, dy1, dx2, dy2;
            toMaster(ix + h, iy, ax, ay);
            toMaster(ix - h, iy, cx, cy);
            toMaster(ix, iy + h, dx1, dy1);
            toMaster(ix, iy - h, dx2, dy2);
            const double j11 = (ax - cx) / (2 * h), j21 = (ay - cy) / (2 * h);
            const double j12 = (dx1 - dx2) / (2 * h), j22 = (dy1 - dy2) / (2 * h);
            const double det = j11 * j22 - j12 * j21;
            if (std::abs(det) < 1e-12) break;
            ix -= (j22 * ex - j12 * ey) / det;
            iy -= (-j21 * ex + j11 * ey) / det;
        }
    }
};

float bilinear(const std::vector<float>& map, int w, int h, double x, double y, float outside) {
    if (!(x > -1.0 && y > -1.0 && x < w && y < h)) return outside;
    const int x0 = int(std::floor(x)), y0 = int(std::floor(y));
    const float fx = float(x - x0), fy = float(y - y0);
    auto at = [&](int px, int py) {
        return (px < 0 || py < 0 || px >= w || py >= h) ? outside : map[size_t(py) * w + px];
    };
    const float top = at(x0, y0) * (1 - fx) + at(x0 + 1, y0) * fx;
    const float bottom = at(x0, y0 + 1) * (1 - fx) + at(x0 + 1, y0 + 1) * fx;
    return top * (1 - fy) + bottom * fy;
}

bool validSize(int width, int height, double ppi) {
    return width > 0 && height > 0 && width <= kMaxSide && height <= kMaxSide && ppi >= kMinPpi && ppi <= kMaxPpi;
}

// Non-finite settings fall back to their defaults, out-of-range ones are clamped, so a careless caller
// gets an impression rather than undefined arithmetic.
ImpressionParams saneParams(const ImpressionParams& in) {
    ImpressionParams p = in;
    auto fix = [](double& v, double lo, double hi, double fallback) {
        v = std::isfinite(v) ? std::clamp(v, lo, hi) : fallback;
    };
    fix(p.dx, -1e5, 1e5, 0);
    fix(p.dy, -1e5, 1e5, 0);
    fix(p.rotation, -1e3, 1e3, 0);
    fix(p.distortion, 0, 20, 0);
    fix(p.pressure, -1, 1, 0);
    fix(p.noise, 0, 100, 0);
    fix(p.dryness, 0, 1, 0);
    fix(p.contact.left, 0, 1, 0);
    fix(p.contact.top, 0, 1, 0);
    fix(p.contact.right, 0, 1, 1);
    fix(p.contact.bottom, 0, 1, 1);
    return p;
}

bool validFinger(const Finger& f) {
    const size_t n = size_t(std::max(f.width, 0)) * size_t(std::max(f.height, 0));
    return n > 0 && f.mask.size() == n && f.ridges.size() == n;
}

}  // namespace

ImpressionParams randomImpressionParams(uint64_t seed) {
    Rng rng(seed, 0x696d70ull);
    ImpressionParams p;
    p.dx = rng.uniform(-30, 30);
    p.dy = rng.uniform(-30, 30);
    p.rotation = rng.uniform(-20, 20) * kPi / 180;
    p.distortion = rng.uniform(2, 9);
    p.pressure = rng.uniform(-0.6, 0.6);
    p.noise = rng.uniform(3, 12);
    p.dryness = rng.uniform() < 0.3 ? rng.uniform(0.2, 0.6) : 0.0;
    if (rng.uniform() < 0.3) {
        const double cut = rng.uniform(0.15, 0.35);
        switch (rng.below(4)) {
            case 0: p.contact.left = cut; break;
            case 1: p.contact.right = 1 - cut; break;
            case 2: p.contact.top = cut; break;
            default: p.contact.bottom = 1 - cut; break;
        }
    }
    p.seed = rng.next();
    return p;
}

bool masterToImpression(const Finger& finger, const ImpressionParams& params, int width, int height, double ppi,
                        double mx, double my, double& ix, double& iy) {
    if (!validFinger(finger) || !validSize(width, height, ppi)) return false;
    Rng rng(params.seed, 0x64697374ull);
    const Placement place(finger, saneParams(params), width, height, ppi, rng);
    place.toImage(mx, my, ix, iy);
    return ix >= -0.5 && iy >= -0.5 && ix < width - 0.5 && iy < height - 0.5;
}

Impression renderImpression(const Finger& finger, const ImpressionParams& asked, int width, int height,
                            double ppi) {
    const ImpressionParams params = saneParams(asked);
    Impression im;
    if (!validFinger(finger) || !validSize(width, height, ppi)) return im;
    im.width = width;
    im.height = height;
    im.ppi = ppi;
    const size_t n = size_t(width) * height;
    im.image.assign(n, uint8_t(kBackground));
    im.mask.assign(n, 0);

    Rng distortRng(params.seed, 0x64697374ull), noiseRng(params.seed, 0x6e6f6973ull), dryRng(params.seed, 0x647279ull);
    const Placement place(finger, params, width, height, ppi, distortRng);
    const detail::Waves dryField(dryRng, 50, 120);
    const double pressure = params.pressure, dryness = params.dryness, noise = params.noise;
    // Light pressure also shrinks the contact area.
    const double shrink = 10.0 * std::max(0.0, -pressure);
    const std::vector<float> edgeDistance = detail::distanceToOutside(finger.mask, finger.width, finger.height);

    const int x0 = int(std::lround(params.contact.left * width)), x1 = int(std::lround(params.contact.right * width));
    const int y0 = int(std::lround(params.contact.top * height)), y1 = int(std::lround(params.contact.bottom * height));

    for (int y = y0; y < y1; ++y)
        for (int x = x0; x < x1; ++x) {
            double mx, my;
            place.toMaster(x, y, mx, my);
            const double edge = bilinear(edgeDistance, finger.width, finger.height, mx, my, 0.0f) - shrink;
            if (edge <= 0.5) continue;
            const size_t i = size_t(y) * width + x;
            im.mask[i] = 1;
            // Pressure moves the threshold of the soft ridge field, so ridges widen or narrow.
            const double field = bilinear(finger.ridges, finger.width, finger.height, mx, my, -1.0f) + 0.4 * pressure;
            double darkness = 0.5 + 0.5 * std::tanh(2.2 * field);
            if (dryness > 0) {
                const double blot = std::clamp(dryField(x, y) * 2.5, 0.0, 1.0);
                darkness *= 1.0 - 0.6 * dryness * blot;
            }
            double grey = kValleyGrey - (kValleyGrey - kRidgeGrey) * darkness;
            // Fade into the background over the last few pixels of the contact edge.
            const double fade = std::clamp(edge / 4.0, 0.0, 1.0);
            grey = kBackground + (grey - kBackground) * fade;
            if (noise > 0) grey += noise * noiseRng.normal();
            im.image[i] = uint8_t(std::clamp(std::lround(grey), 0L, 255L));
        }

    const std::vector<float> inside = detail::distanceToOutside(im.mask, width, height);
    auto insideAt = [&](double x, double y, double margin) {
        const long px = std::lround(x), py = std::lround(y);
        return px >= 0 && py >= 0 && px < width && py < height && inside[size_t(py) * width + size_t(px)] >= margin;
    };
    for (const Minutia& m : finger.minutiae) {
        Minutia t = m;
        place.toImage(m.x, m.y, t.x, t.y);
        if (!insideAt(t.x, t.y, kMinutiaMargin)) continue;
        // Carry the direction by mapping a point a few pixels along it.
        double ax, ay;
        place.toImage(m.x + 4 * std::cos(m.direction), m.y - 4 * std::sin(m.direction), ax, ay);
        t.direction = std::atan2(-(ay - t.y), ax - t.x);
        if (t.direction < 0) t.direction += 2 * kPi;
        im.minutiae.push_back(t);
    }
    for (const auto& [from, to] : {std::pair{&finger.cores, &im.cores}, std::pair{&finger.deltas, &im.deltas}})
        for (const SingularPoint& s : *from) {
            SingularPoint t;
            place.toImage(s.x, s.y, t.x, t.y);
            if (insideAt(t.x, t.y, 1)) to->push_back(t);
        }
    return im;
}

Impression masterAsImpression(const Finger& finger) {
    ImpressionParams p;
    p.dx = finger.centerX - (finger.width - 1) / 2.0;
    p.dy = finger.centerY - (finger.height - 1) / 2.0;
    return renderImpression(finger, p, finger.width, finger.height, kMasterPpi);
}

}  // namespace simfinger
