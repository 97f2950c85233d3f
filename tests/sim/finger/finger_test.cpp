// Tests of the synthetic finger generator: determinism, true minutiae, shared ground truth, image statistics, files.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

#include "sim/finger/finger.h"

namespace {

using simfinger::Finger;
using simfinger::FingerClass;
using simfinger::Impression;
using simfinger::ImpressionParams;
using simfinger::Minutia;
using simfinger::MinutiaType;

constexpr double kPi = 3.14159265358979323846;
constexpr std::array<FingerClass, 5> kClasses = {FingerClass::Arch, FingerClass::TentedArch, FingerClass::LeftLoop,
                                                 FingerClass::RightLoop, FingerClass::Whorl};

// Masters are grown once per test binary; several tests look at the same ones.
const Finger& master(uint64_t seed, FingerClass cls) {
    static std::map<std::pair<uint64_t, FingerClass>, Finger> cache;
    auto it = cache.find({seed, cls});
    if (it == cache.end()) it = cache.emplace(std::pair{seed, cls}, simfinger::makeMasterFinger(seed, cls)).first;
    return it->second;
}

// --- An independent look at the image: threshold, Zhang-Suen thinning, crossing numbers. ---

struct Binary {
    int w, h;
    std::vector<uint8_t> px;
    int at(int x, int y) const { return (x < 0 || y < 0 || x >= w || y >= h) ? 0 : px[size_t(y) * w + x]; }
};

Binary darkPixels(const std::vector<uint8_t>& image, int w, int h, int threshold) {
    Binary b{w, h, std::vector<uint8_t>(image.size())};
    for (size_t i = 0; i < image.size(); ++i) b.px[i] = image[i] < threshold;
    return b;
}

Binary skeletonOf(Binary b) {
    bool changed = true;
    while (changed) {
        changed = false;
        for (int step = 0; step < 2; ++step) {
            std::vector<size_t> off;
            for (int y = 0; y < b.h; ++y)
                for (int x = 0; x < b.w; ++x) {
                    if (!b.at(x, y)) continue;
                    const int n[8] = {b.at(x, y - 1), b.at(x + 1, y - 1), b.at(x + 1, y),     b.at(x + 1, y + 1),
                                      b.at(x, y + 1), b.at(x - 1, y + 1), b.at(x - 1, y), b.at(x - 1, y - 1)};
                    int count = 0, rises = 0;
                    for (int k = 0; k < 8; ++k) {
                        count += n[k];
                        rises += !n[k] && n[(k + 1) % 8];
                    }
                    if (count < 2 || count > 6 || rises != 1) continue;
                    const bool keep = step == 0 ? (n[0] && n[2] && n[4]) || (n[2] && n[4] && n[6])
                                                : (n[0] && n[2] && n[6]) || (n[0] && n[4] && n[6]);
                    if (!keep) off.push_back(size_t(y) * b.w + x);
                }
            for (size_t i : off) b.px[i] = 0;
            changed |= !off.empty();
        }
    }
    return b;
}

int crossingNumber(const Binary& s, int x, int y) {
    const int n[8] = {s.at(x + 1, y), s.at(x + 1, y + 1), s.at(x, y + 1), s.at(x - 1, y + 1),
                      s.at(x - 1, y), s.at(x - 1, y - 1), s.at(x, y - 1), s.at(x + 1, y - 1)};
    int t = 0;
    for (int k = 0; k < 8; ++k) t += n[k] != n[(k + 1) % 8];
    return t / 2;
}

// True if the skeleton has a pixel of the minutia's kind within `radius` of (x, y).
bool skeletonFeatureNear(const Binary& skel, double x, double y, MinutiaType type, int radius) {
    const int want = type == MinutiaType::Ending ? 1 : 3;
    for (int dy = -radius; dy <= radius; ++dy)
        for (int dx = -radius; dx <= radius; ++dx) {
            const int px = int(std::lround(x)) + dx, py = int(std::lround(y)) + dy;
            if (skel.at(px, py) && crossingNumber(skel, px, py) == want) return true;
        }
    return false;
}

double angleGap(double a, double b) {
    double d = std::fmod(std::abs(a - b), 2 * kPi);
    return d > kPi ? 2 * kPi - d : d;
}

// Share of `truth` with a minutia of `found` within `radius` px (and `maxAngle` radians, if given).
double recall(const std::vector<Minutia>& truth, const std::vector<Minutia>& found, double radius,
              double maxAngle = 10) {
    if (truth.empty()) return 0;
    int hit = 0;
    for (const Minutia& t : truth)
        for (const Minutia& f : found)
            if (std::hypot(t.x - f.x, t.y - f.y) <= radius && angleGap(t.direction, f.direction) <= maxAngle) {
                ++hit;
                break;
            }
    return double(hit) / truth.size();
}

// Median ridge period of an image: in blocks on the finger, the profile across the ridges is the one
// with the most mean crossings; period = twice the mean spacing of its crossings.
double medianRidgePeriod(const Impression& im) {
    std::vector<double> periods;
    constexpr int kHalf = 24;
    for (int cy = kHalf; cy + kHalf < im.height; cy += kHalf)
        for (int cx = kHalf; cx + kHalf < im.width; cx += kHalf) {
            bool onFinger = true;
            for (int dy = -kHalf; dy <= kHalf && onFinger; dy += kHalf)
                for (int dx = -kHalf; dx <= kHalf && onFinger; dx += kHalf)
                    onFinger = im.mask[size_t(cy + dy) * im.width + cx + dx];
            if (!onFinger) continue;
            int bestCount = 0;
            double bestPeriod = 0;
            for (int a = 0; a < 36; ++a) {
                const double c = std::cos(a * kPi / 36), s = std::sin(a * kPi / 36);
                std::vector<double> profile;
                for (int t = -kHalf; t <= kHalf; ++t) {
                    const int x = int(std::lround(cx + t * c)), y = int(std::lround(cy + t * s));
                    profile.push_back(im.image[size_t(y) * im.width + x]);
                }
                double mean = 0;
                for (double v : profile) mean += v / profile.size();
                std::vector<double> at;  // crossing positions, interpolated
                for (size_t k = 1; k < profile.size(); ++k)
                    if ((profile[k - 1] < mean) != (profile[k] < mean))
                        at.push_back(k - 1 + (mean - profile[k - 1]) / (profile[k] - profile[k - 1]));
                if (at.size() < 3) continue;
                const double period = 2 * (at.back() - at.front()) / double(at.size() - 1);
                if (int(at.size()) > bestCount || (int(at.size()) == bestCount && period < bestPeriod)) {
                    bestCount = int(at.size());
                    bestPeriod = period;
                }
            }
            if (bestCount > 0) periods.push_back(bestPeriod);
        }
    if (periods.empty()) return 0;
    std::nth_element(periods.begin(), periods.begin() + periods.size() / 2, periods.end());
    return periods[periods.size() / 2];
}

TEST(FingerGenerator, SameSeedSameFingerDifferentSeedDifferentFinger) {
    const Finger& a = master(1, FingerClass::Whorl);
    const Finger b = simfinger::makeMasterFinger(1, FingerClass::Whorl);
    const Finger& c = master(2, FingerClass::Whorl);
    EXPECT_EQ(a.image, b.image);
    EXPECT_EQ(a.ridges, b.ridges);
    ASSERT_EQ(a.minutiae.size(), b.minutiae.size());
    for (size_t i = 0; i < a.minutiae.size(); ++i) {
        EXPECT_EQ(a.minutiae[i].x, b.minutiae[i].x);
        EXPECT_EQ(a.minutiae[i].y, b.minutiae[i].y);
        EXPECT_EQ(a.minutiae[i].direction, b.minutiae[i].direction);
        EXPECT_EQ(a.minutiae[i].type, b.minutiae[i].type);
    }
    EXPECT_NE(a.image, c.image);

    const ImpressionParams p = simfinger::randomImpressionParams(5);
    const Impression i1 = simfinger::renderImpression(a, p, 300, 400, 508);
    const Impression i2 = simfinger::renderImpression(b, p, 300, 400, 508);
    EXPECT_EQ(i1.image, i2.image);
    EXPECT_EQ(i1.mask, i2.mask);
    EXPECT_EQ(i1.minutiae.size(), i2.minutiae.size());
    EXPECT_NE(simfinger::renderImpression(a, simfinger::randomImpressionParams(6), 300, 400, 508).image, i1.image);
}

TEST(FingerGenerator, EachClassHasItsCoresAndDeltas) {
    struct Case {
        FingerClass cls;
        size_t cores, deltas;
    };
    for (auto [cls, cores, deltas] : std::initializer_list<Case>{{FingerClass::Arch, 0, 0},
                                                                 {FingerClass::TentedArch, 1, 1},
                                                                 {FingerClass::LeftLoop, 1, 1},
                                                                 {FingerClass::RightLoop, 1, 1},
                                                                 {FingerClass::Whorl, 2, 2}}) {
        for (uint64_t seed : {1, 2}) {
            // The second seed only where the geometry differs by side.
            if (seed == 2 && cls != FingerClass::LeftLoop && cls != FingerClass::RightLoop) continue;
            const Finger& f = master(seed, cls);
            SCOPED_TRACE(std::string(simfinger::className(cls)) + " seed " + std::to_string(seed));
            EXPECT_EQ(f.cores.size(), cores);
            EXPECT_EQ(f.deltas.size(), deltas);
            // A left loop opens to the left, so its delta lies to the right of its core; a right loop mirrors it.
            if (cls == FingerClass::LeftLoop) {
                EXPECT_GT(f.deltas[0].x, f.cores[0].x + 40);
            }
            if (cls == FingerClass::RightLoop) {
                EXPECT_LT(f.deltas[0].x, f.cores[0].x - 40);
            }
            for (const auto& d : f.deltas) EXPECT_GT(d.y, f.cores[0].y);
        }
    }
}

TEST(FingerGenerator, SeedsPickEveryClassLoopsMostOften) {
    std::map<FingerClass, int> seen;
    for (uint64_t seed = 0; seed < 1000; ++seed) ++seen[simfinger::classFromSeed(seed)];
    for (FingerClass cls : kClasses) EXPECT_GT(seen[cls], 20) << simfinger::className(cls);
    EXPECT_GT(seen[FingerClass::LeftLoop] + seen[FingerClass::RightLoop], 500);
    EXPECT_LT(seen[FingerClass::Arch] + seen[FingerClass::TentedArch], 200);
    EXPECT_EQ(simfinger::classFromSeed(42), simfinger::classFromSeed(42));
}

TEST(FingerGenerator, OrientationFieldTurnsHalfAroundEachSingularPoint) {
    // The Poincare index: walking around a core the ridge direction turns by +pi, around a delta by -pi
    // (counter-clockwise as seen; our directions are counter-clockwise too).
    const Finger& f = master(1, FingerClass::LeftLoop);
    auto indexAround = [&](double cx, double cy) {
        double total = 0, prev = 0;
        constexpr int kSteps = 64;
        for (int k = 0; k <= kSteps; ++k) {
            // Walk counter-clockwise as seen: y decreases first.
            const double a = 2 * kPi * k / kSteps;
            const int x = int(std::lround(cx + 12 * std::cos(a))), y = int(std::lround(cy - 12 * std::sin(a)));
            const double theta = f.orientation[size_t(y) * f.width + x];
            if (k > 0) {
                double d = theta - prev;
                while (d > kPi / 2) d -= kPi;
                while (d < -kPi / 2) d += kPi;
                total += d;
            }
            prev = theta;
        }
        return total;
    };
    EXPECT_NEAR(indexAround(f.cores[0].x, f.cores[0].y), kPi, 0.2);
    EXPECT_NEAR(indexAround(f.deltas[0].x, f.deltas[0].y), -kPi, 0.2);
}

TEST(FingerGenerator, ReportedMinutiaeAreRealEndingsAndBifurcations) {
    for (FingerClass cls : kClasses) {
        const Finger& f = master(1, cls);
        SCOPED_TRACE(simfinger::className(cls));
        int endings = 0, bifurcations = 0, onSkeleton = 0, pointing = 0;
        // Ridges print at 45, valleys at 215; the ridge field's zero is half-way.
        const Binary ridges = darkPixels(f.image, f.width, f.height, 131);
        const Binary skel = skeletonOf(ridges);
        for (const Minutia& m : f.minutiae) {
            (m.type == MinutiaType::Ending ? endings : bifurcations)++;
            EXPECT_TRUE(f.mask[size_t(std::lround(m.y)) * f.width + size_t(std::lround(m.x))]);
            onSkeleton += skeletonFeatureNear(skel, m.x, m.y, m.type, 2);
            // An ending points into its ridge; a bifurcation points away from its stem, so its stem is
            // ridge behind it.
            const double sign = m.type == MinutiaType::Ending ? 1 : -1;
            const double px = m.x + sign * 5 * std::cos(m.direction), py = m.y - sign * 5 * std::sin(m.direction);
            pointing += ridges.at(int(std::lround(px)), int(std::lround(py)));
        }
        const double n = double(f.minutiae.size());
        EXPECT_GE(n, 20);
        EXPECT_LE(n, 150);
        EXPECT_GE(endings, 5);
        EXPECT_GE(bifurcations, 5);
        EXPECT_GE(onSkeleton / n, 0.97);
        EXPECT_GE(pointing / n, 0.9);
    }
}

TEST(FingerGenerator, ImagesLookLikeFingerprints) {
    struct Case {
        double ppi, minPeriod, maxPeriod, minCover;
    };
    for (auto [ppi, lo, hi, cover] :
         std::initializer_list<Case>{{500, 8, 11, 0.5}, {508, 8.1, 11.2, 0.5}, {333, 5.3, 7.4, 0.3}}) {
        for (FingerClass cls : {FingerClass::LeftLoop, FingerClass::Whorl}) {
            SCOPED_TRACE(std::to_string(ppi) + " ppi " + simfinger::className(cls));
            const Impression im = simfinger::renderImpression(master(1, cls), ImpressionParams{}, 300, 400, ppi);
            ASSERT_EQ(im.image.size(), 300u * 400u);
            const double period = medianRidgePeriod(im);
            EXPECT_GE(period, lo);
            EXPECT_LE(period, hi);
            double sum = 0, sq = 0, n = 0;
            for (size_t i = 0; i < im.image.size(); ++i) {
                if (!im.mask[i]) {
                    EXPECT_EQ(im.image[i], 255) << i;
                    continue;
                }
                sum += im.image[i];
                sq += double(im.image[i]) * im.image[i];
                ++n;
            }
            ASSERT_GT(n, cover * im.image.size());
            const double mean = sum / n, sd = std::sqrt(sq / n - mean * mean);
            EXPECT_GT(mean, 100);
            EXPECT_LT(mean, 170);
            EXPECT_GT(sd, 50);
        }
    }
}

// An uncompressed 8-bit little-endian TIFF (the FVC sets): width, height and strips from the first IFD.
bool readTiff(const std::string& path, Impression& out) {
    std::ifstream in(path, std::ios::binary);
    const std::vector<uint8_t> b((std::istreambuf_iterator<char>(in)), {});
    auto u16 = [&](size_t at) { return at + 2 <= b.size() ? uint32_t(b[at] | b[at + 1] << 8) : 0u; };
    auto u32 = [&](size_t at) { return at + 4 <= b.size() ? u16(at) | u16(at + 2) << 16 : 0u; };
    if (b.size() < 8 || b[0] != 'I' || b[1] != 'I') return false;
    const size_t ifd = u32(4);
    uint32_t width = 0, height = 0, offsets = 0, strips = 0, offsetType = 4, rowsPerStrip = 0;
    for (uint32_t e = 0, n = u16(ifd); e < n; ++e) {
        const size_t at = ifd + 2 + 12 * size_t(e);
        const uint32_t tag = u16(at), type = u16(at + 2), count = u32(at + 4);
        const uint32_t value = type == 3 ? u16(at + 8) : u32(at + 8);
        if (tag == 256) width = value;
        if (tag == 257) height = value;
        if (tag == 273) {
            strips = count;
            offsets = value;
            offsetType = type;
        }
        if (tag == 278) rowsPerStrip = value;
    }
    if (width == 0 || height == 0 || strips == 0) return false;
    if (rowsPerStrip == 0 || rowsPerStrip > height) rowsPerStrip = height;
    out.width = int(width);
    out.height = int(height);
    out.image.clear();
    for (uint32_t k = 0; k < strips; ++k) {
        const size_t start = strips == 1 ? offsets : (offsetType == 3 ? u16(offsets + 2 * k) : u32(offsets + 4 * k));
        const size_t bytes = std::min<size_t>(size_t(width) * rowsPerStrip, size_t(width) * height - out.image.size());
        if (start + bytes > b.size()) return false;
        out.image.insert(out.image.end(), b.begin() + start, b.begin() + start + bytes);
    }
    return out.image.size() == size_t(width) * height;
}

TEST(FingerGenerator, RidgePeriodMatchesRealPrintsAtTheSameResolution) {
    // The same estimator on public 500 ppi prints: synthetic ridges are as fine as real ones.
    std::vector<double> real;
    for (int finger = 101; finger <= 110; ++finger) {
        const std::string name = std::to_string(finger) + "_1";
        Impression im;
        if (!readTiff(std::string(TOV_DATA_DIR) + "/fvc/FVC2000_DB1_B/" + name + ".tif", im)) continue;
        // On the finger where a 16x16 block has ridge contrast.
        im.mask.assign(im.image.size(), 0);
        for (int by = 0; by + 16 <= im.height; by += 16)
            for (int bx = 0; bx + 16 <= im.width; bx += 16) {
                double sum = 0, sq = 0;
                for (int y = by; y < by + 16; ++y)
                    for (int x = bx; x < bx + 16; ++x) {
                        sum += im.image[size_t(y) * im.width + x];
                        sq += double(im.image[size_t(y) * im.width + x]) * im.image[size_t(y) * im.width + x];
                    }
                const double mean = sum / 256, sd = std::sqrt(sq / 256 - mean * mean);
                for (int y = by; y < by + 16; ++y)
                    for (int x = bx; x < bx + 16; ++x) im.mask[size_t(y) * im.width + x] = sd > 20;
            }
        const double period = medianRidgePeriod(im);
        if (period > 0) real.push_back(period);
    }
    if (real.empty()) GTEST_SKIP() << "no FVC images under " << TOV_DATA_DIR;
    std::sort(real.begin(), real.end());
    const double realMedian = real[real.size() / 2];
    EXPECT_GE(realMedian, 8);
    EXPECT_LE(realMedian, 11);
    for (FingerClass cls : {FingerClass::Arch, FingerClass::LeftLoop, FingerClass::Whorl}) {
        const Impression im = simfinger::renderImpression(master(1, cls), ImpressionParams{}, 300, 300, 500);
        EXPECT_NEAR(medianRidgePeriod(im), realMedian, 1.2) << simfinger::className(cls);
    }
}

TEST(FingerImpressions, ShareTheMastersTransformedGroundTruth) {
    struct Case {
        uint64_t seed;
        FingerClass cls;
    };
    int checked = 0;
    for (auto [seed, cls] : std::initializer_list<Case>{
             {1, FingerClass::Arch}, {2, FingerClass::LeftLoop}, {2, FingerClass::RightLoop}, {1, FingerClass::Whorl}}) {
        const Finger& f = master(seed, cls);
        for (uint64_t k = 1; k <= 3; ++k) {
            ImpressionParams p = simfinger::randomImpressionParams(seed * 10 + k);
            const double ppi = k == 2 ? 500 : 508;
            SCOPED_TRACE(std::string(simfinger::className(cls)) + " seed " + std::to_string(seed) + " impression " +
                         std::to_string(k));
            const Impression im = simfinger::renderImpression(f, p, 300, 400, ppi);
            ASSERT_GE(im.minutiae.size(), 10u);
            // Every carried minutia is where the transform puts its master.
            size_t matched = 0;
            for (const Minutia& m : f.minutiae) {
                double x, y;
                if (!simfinger::masterToImpression(f, p, 300, 400, ppi, m.x, m.y, x, y)) continue;
                for (const Minutia& t : im.minutiae) matched += std::hypot(t.x - x, t.y - y) < 1e-6 && t.type == m.type;
            }
            EXPECT_EQ(matched, im.minutiae.size());
            // And the impression's own image shows them there, pointing the same way.
            const auto found = simfinger::findMinutiae(im.image, im.width, im.height, im.mask);
            EXPECT_GE(recall(im.minutiae, found, 5.0), 0.9);
            EXPECT_GE(recall(im.minutiae, found, 5.0, kPi / 6), 0.85);
            ++checked;
        }
    }
    EXPECT_EQ(checked, 12);
}

TEST(FingerImpressions, DifferentFingersDoNotShareMinutiae) {
    const Impression a = simfinger::renderImpression(master(1, FingerClass::LeftLoop), ImpressionParams{}, 300, 400, 500);
    const Impression b = simfinger::renderImpression(master(2, FingerClass::LeftLoop), ImpressionParams{}, 300, 400, 500);
    EXPECT_LT(recall(a.minutiae, b.minutiae, 5.0, kPi / 6), 0.3);
}

TEST(FingerImpressions, QuarterTurnRotatesTheImage) {
    const Finger& f = master(2, FingerClass::RightLoop);
    const Impression upright = simfinger::renderImpression(f, ImpressionParams{}, 200, 260, 500);
    ImpressionParams turned;
    turned.rotation = kPi / 2;
    const Impression side = simfinger::renderImpression(f, turned, 260, 200, 500);
    // Turned counter-clockwise as seen: the upright image's top row becomes the left column, read upward.
    int worst = 0;
    for (int y = 0; y < 200; ++y)
        for (int x = 0; x < 260; ++x)
            worst = std::max(worst, std::abs(int(side.image[size_t(y) * 260 + x]) - int(upright.image[size_t(x) * 200 + 199 - y])));
    EXPECT_LE(worst, 1);
    // The minutiae turn with it, directions included.
    ASSERT_EQ(side.minutiae.size(), upright.minutiae.size());
    for (size_t i = 0; i < side.minutiae.size(); ++i) {
        const Minutia& u = upright.minutiae[i];
        const Minutia& s = side.minutiae[i];
        EXPECT_NEAR(s.x, u.y, 1e-6);
        EXPECT_NEAR(s.y, 199 - u.x, 1e-6);
        EXPECT_LT(angleGap(s.direction, u.direction + kPi / 2), 0.05);
    }
}

TEST(FingerImpressions, PressurePartialContactAndDistortion) {
    const Finger& f = master(1, FingerClass::Whorl);
    auto darkShare = [](const Impression& im) {
        double dark = 0, on = 0;
        for (size_t i = 0; i < im.image.size(); ++i)
            if (im.mask[i]) {
                on += 1;
                dark += im.image[i] < 130;
            }
        return dark / on;
    };
    ImpressionParams light, heavy;
    light.pressure = -0.8;
    heavy.pressure = 0.8;
    const double plain = darkShare(simfinger::renderImpression(f, ImpressionParams{}, 300, 400, 500));
    EXPECT_LT(darkShare(simfinger::renderImpression(f, light, 300, 400, 500)), plain - 0.05);
    EXPECT_GT(darkShare(simfinger::renderImpression(f, heavy, 300, 400, 500)), plain + 0.05);

    ImpressionParams half;
    half.contact.left = 0.5;
    const Impression im = simfinger::renderImpression(f, half, 300, 400, 500);
    for (int y = 0; y < 400; ++y)
        for (int x = 0; x < 150; ++x) {
            ASSERT_EQ(im.mask[size_t(y) * 300 + x], 0);
            ASSERT_EQ(im.image[size_t(y) * 300 + x], 255);
        }
    ASSERT_FALSE(im.minutiae.empty());
    for (const Minutia& m : im.minutiae) EXPECT_GE(m.x, 150 + 7.5);

    // Distortion moves points by several pixels away from the centre, and not at all at it.
    ImpressionParams bent;
    bent.distortion = 10;
    bent.seed = 9;
    double far = 0;
    for (auto [mx, my] : std::initializer_list<std::pair<double, double>>{{60, 120}, {300, 120}, {60, 380}, {300, 380}}) {
        double x0, y0, x1, y1;
        ASSERT_TRUE(simfinger::masterToImpression(f, ImpressionParams{}, 400, 500, 500, mx, my, x0, y0));
        ASSERT_TRUE(simfinger::masterToImpression(f, bent, 400, 500, 500, mx, my, x1, y1));
        far = std::max(far, std::hypot(x1 - x0, y1 - y0));
    }
    EXPECT_GT(far, 3);
    double cx0, cy0, cx1, cy1;
    ASSERT_TRUE(simfinger::masterToImpression(f, ImpressionParams{}, 400, 500, 500, f.centerX, f.centerY, cx0, cy0));
    ASSERT_TRUE(simfinger::masterToImpression(f, bent, 400, 500, 500, f.centerX, f.centerY, cx1, cy1));
    EXPECT_NEAR(cx0, 199.5, 1e-6);
    EXPECT_NEAR(cy0, 249.5, 1e-6);
    EXPECT_LT(std::hypot(cx1 - cx0, cy1 - cy0), 0.1);
}

TEST(FingerImpressions, BadRequestsGiveEmptyResults) {
    const Finger& f = master(1, FingerClass::LeftLoop);
    struct Case {
        int w, h;
        double ppi;
    };
    for (auto [w, h, ppi] : std::initializer_list<Case>{{0, 400, 500}, {300, -1, 500}, {300, 400, 100}, {300, 400, 5000},
                                                       {5000, 400, 500}, {300, 400, std::nan("")}}) {
        const Impression im = simfinger::renderImpression(f, ImpressionParams{}, w, h, ppi);
        EXPECT_TRUE(im.image.empty()) << w << "x" << h << "@" << ppi;
        EXPECT_EQ(im.width, 0);
    }
    EXPECT_TRUE(simfinger::renderImpression(Finger{}, ImpressionParams{}, 300, 400, 500).image.empty());
    // Non-finite settings fall back to their defaults instead of poisoning the arithmetic.
    ImpressionParams wild;
    wild.dx = std::nan("");
    wild.rotation = INFINITY;
    wild.pressure = std::nan("");
    wild.contact.right = std::nan("");
    EXPECT_EQ(simfinger::renderImpression(f, wild, 120, 160, 500).image,
              simfinger::renderImpression(f, ImpressionParams{}, 120, 160, 500).image);
    double x, y;
    EXPECT_FALSE(simfinger::masterToImpression(Finger{}, ImpressionParams{}, 300, 400, 500, 1, 1, x, y));
    EXPECT_FALSE(simfinger::masterToImpression(f, ImpressionParams{}, 300, 400, 500, -500, 1, x, y));
    EXPECT_TRUE(simfinger::findMinutiae(std::vector<uint8_t>(10), 3, 3, {}).empty());
    EXPECT_TRUE(simfinger::findMinutiae(f.image, f.width, f.height, std::vector<uint8_t>(5)).empty());
}

// --- Files ---

// Per process, so concurrent runs of the suite do not share files.
std::string tempPath(const std::string& name) {
    return ::testing::TempDir() + "simfinger_" + std::to_string(getpid()) + "_" + name;
}

std::vector<uint8_t> readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

uint32_t le32(const std::vector<uint8_t>& b, size_t at) {
    return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | uint32_t(b[at + 3]) << 24;
}

TEST(FingerFiles, PgmAndBmpHoldThePixels) {
    // 3x2, odd width: BMP rows are padded to 4 bytes and stored bottom-up.
    const std::vector<uint8_t> px = {1, 2, 3, 4, 5, 6};
    ASSERT_TRUE(simfinger::writePgm(tempPath("a.pgm"), px, 3, 2));
    const std::string header = "P5\n3 2\n255\n";
    std::vector<uint8_t> pgm(header.begin(), header.end());
    pgm.insert(pgm.end(), px.begin(), px.end());
    EXPECT_EQ(readFile(tempPath("a.pgm")), pgm);

    ASSERT_TRUE(simfinger::writeBmp(tempPath("a.bmp"), px, 3, 2));
    const auto bmp = readFile(tempPath("a.bmp"));
    ASSERT_EQ(bmp.size(), 14u + 40 + 1024 + 8);
    EXPECT_EQ(bmp[0], 'B');
    EXPECT_EQ(bmp[1], 'M');
    EXPECT_EQ(le32(bmp, 2), bmp.size());
    EXPECT_EQ(le32(bmp, 10), 14u + 40 + 1024);
    EXPECT_EQ(le32(bmp, 18), 3u);
    EXPECT_EQ(le32(bmp, 22), 2u);
    EXPECT_EQ(bmp[28], 8);
    EXPECT_EQ(le32(bmp, 54 + 4 * 200), 0x00C8C8C8u);  // grey palette
    const std::vector<uint8_t> rows(bmp.end() - 8, bmp.end());
    EXPECT_EQ(rows, (std::vector<uint8_t>{4, 5, 6, 0, 1, 2, 3, 0}));

    EXPECT_FALSE(simfinger::writePgm(tempPath("b.pgm"), px, 4, 2));
    EXPECT_FALSE(simfinger::writeBmp(tempPath("b.bmp"), px, 0, 2));
    EXPECT_FALSE(simfinger::writePgm("/nonexistent-dir/x.pgm", px, 3, 2));
    EXPECT_FALSE(simfinger::writeBmp("/nonexistent-dir/x.bmp", px, 3, 2));
    EXPECT_FALSE(simfinger::writeGroundTruth("/nonexistent-dir/x.txt", Impression{}));
    std::remove(tempPath("a.pgm").c_str());
    std::remove(tempPath("a.bmp").c_str());
}

TEST(FingerFiles, GroundTruthTextListsEveryPoint) {
    const Impression im = simfinger::masterAsImpression(master(1, FingerClass::Whorl));
    ASSERT_TRUE(simfinger::writeGroundTruth(tempPath("gt.txt"), im));
    std::ifstream in(tempPath("gt.txt"));
    std::string line, word;
    std::map<std::string, size_t> count;
    std::vector<Minutia> read;
    while (std::getline(in, line)) {
        std::istringstream ls(line);
        ls >> word;
        ++count[word];
        if (word == "image") {
            int w, h;
            double ppi;
            ls >> w >> h >> ppi;
            EXPECT_EQ(w, im.width);
            EXPECT_EQ(h, im.height);
            EXPECT_EQ(ppi, 500);
        } else if (word == "minutia") {
            Minutia m;
            std::string type;
            ls >> m.x >> m.y >> m.direction >> type;
            ASSERT_TRUE(type == "ending" || type == "bifurcation") << line;
            m.type = type == "ending" ? MinutiaType::Ending : MinutiaType::Bifurcation;
            read.push_back(m);
        }
    }
    EXPECT_EQ(count["#"], 1u);
    EXPECT_EQ(count["image"], 1u);
    EXPECT_EQ(count["core"], im.cores.size());
    EXPECT_EQ(count["delta"], im.deltas.size());
    ASSERT_EQ(read.size(), im.minutiae.size());
    for (size_t i = 0; i < read.size(); ++i) {
        EXPECT_NEAR(read[i].x, im.minutiae[i].x, 0.01);
        EXPECT_NEAR(read[i].direction, im.minutiae[i].direction, 0.001);
        EXPECT_EQ(read[i].type, im.minutiae[i].type);
    }
    std::remove(tempPath("gt.txt").c_str());
}

int runTool(const std::string& args) {
    const int status = std::system((std::string(FINGERGEN_PATH) + " " + args + " >/dev/null 2>&1").c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(FingerFiles, ToolWritesImagesAndGroundTruth) {
    const std::string out = tempPath("tool");
    ASSERT_EQ(runTool("--seed 3 --class whorl --width 160 --height 200 --ppi 508 --impressions 1 --others 1 --out " + out), 0);
    for (const char* name : {"_master", "_imp1", "_other1"}) {
        SCOPED_TRACE(name);
        const auto pgm = readFile(out + name + ".pgm");
        const auto bmp = readFile(out + name + ".bmp");
        const auto txt = readFile(out + name + ".txt");
        ASSERT_GT(pgm.size(), 10u);
        EXPECT_EQ(pgm[0], 'P');
        EXPECT_EQ(pgm[1], '5');
        ASSERT_GT(bmp.size(), 54u);
        EXPECT_EQ(le32(bmp, 2), bmp.size());
        EXPECT_NE(std::string(txt.begin(), txt.end()).find("minutia "), std::string::npos);
    }
    const auto imp = readFile(out + "_imp1.bmp");
    EXPECT_EQ(le32(imp, 18), 160u);
    EXPECT_EQ(le32(imp, 22), 200u);

    for (const char* bad : {"--class sideways", "--ppi 10", "--width x", "--bogus 1", "--seed"})
        EXPECT_EQ(runTool(std::string(bad) + " --out " + out), 2) << bad;
    EXPECT_EQ(runTool("--impressions 0 --others 0 --out /nonexistent-dir/x"), 1);
    for (const char* name : {"_master", "_imp1", "_other1"})
        for (const char* ext : {".pgm", ".bmp", ".txt"}) std::remove((out + name + ext).c_str());
}

}  // namespace
