// Minutia detection on the phase image: structure-tensor corners, the bifurcation filter, angle
// refinement and the bounded best-first list.
#include <stdlib.h>
#include <string.h>

#include <algorithm>

#include "engines/recognition/extraction.h"

namespace DurodudUrodera::FpRecEngineImpl::Embedded {
namespace {

constexpr int kW = kWorkMaxWidth;

// Along-ridge filters over 17 patch rows: even smoothing, and odd taps at distances 1..8.
constexpr int kAlongEven[17] = {2, 4, 8, 14, 23, 32, 41, 48, 50, 48, 41, 32, 23, 14, 8, 4, 2};
constexpr int kAlongOdd[9] = {0, 48, 82, 96, 90, 72, 50, 30, 16};
// Across-ridge filters, from one end to the centre tap (mirrored after it).
constexpr int kAcrossEven[5][9] = {{3, 7, -28, 3, 74, -61, -53, 55, 0},
                                   {1, -25, -1, 63, 3, -83, 0, 42, 0},
                                   {-24, 5, 51, 22, -58, -50, 25, 29, 0},
                                   {13, 41, 18, -41, -60, -14, 28, 16, -2},
                                   {38, 14, -29, -50, -27, 13, 28, 13, 0}};
constexpr int kAcrossOdd[5][9] = {{0, 1, 1, -9, 6, 22, -32, -14, 52},
                                  {2, 0, -7, 0, 19, 1, -36, 0, 44},
                                  {-1, -6, -1, 14, 12, -18, -28, 9, 37},
                                  {-5, 0, 11, 13, -5, -24, -17, 13, 31},
                                  {3, 10, 11, 0, -16, -21, -7, 15, 26}};
constexpr uint8_t kConfWeight[45] = {16, 16, 16, 16, 16, 16, 16, 16, 16, 15, 15, 15, 15, 15, 15,
                                     15, 15, 15, 14, 14, 14, 14, 14, 14, 14, 14, 14, 13, 13, 13,
                                     13, 13, 13, 13, 13, 13, 12, 12, 12, 12, 12, 12, 12, 12, 12};
constexpr int8_t kOffs[8] = {0, 1, 1, 1, 0, -1, -1, -1};

struct Trial {
    bool passed = false;
    int32_t best = 0;
    bool flip = false;
    bool positive = false;
};

// The bifurcation filter on a 19x19 patch sampled along direction `dir` around (px, py).
Trial butterfly(const uint8_t* phase, int width, int height, int px, int py, uint8_t dir,
                const FeatureExtractionImplParameters& prm) {
    const int c = sin127(uint8_t(dir + 64)), s = sin127(dir);
    int32_t patch[19][19];  // [along][across]
    for (int r = -9; r <= 9; ++r) {
        for (int a = -9; a <= 9; ++a) {
            const int X = px * 128 + a * c - r * s, Y = py * 128 + a * s + r * c;
            const int ix = X >> 7, iy = Y >> 7, fx = X & 127, fy = Y & 127;
            int32_t v = 127;
            if (ix >= 0 && iy >= 0 && ix + 1 < width && iy + 1 < height) {
                const uint8_t* p = phase + size_t(iy) * width + ix;
                v = ((p[0] * (128 - fx) + p[1] * fx) * (128 - fy) + (p[width] * (128 - fx) + p[width + 1] * fx) * fy +
                     8192) >> 14;
            }
            patch[r + 9][a + 9] = v;
        }
    }
    // Three output rows along the ridge (offsets -1, 0, 1), all 19 columns.
    int32_t even[3][19], odd[3][19];
    for (int k = 0; k < 3; ++k) {
        const int centre = k + 8;  // patch row of offset k - 1
        for (int a = 0; a < 19; ++a) {
            int32_t e = 0, o = 0;
            for (int j = -8; j <= 8; ++j) e += kAlongEven[j + 8] * patch[centre + j][a];
            for (int d = 1; d <= 8; ++d) o += kAlongOdd[d] * (patch[centre + d][a] - patch[centre - d][a]);
            even[k][a] = e;
            odd[k][a] = o;
        }
    }
    int64_t bestW = -1, partnerW = 0;
    bool flip = false, positive = false;
    for (int i = 0; i < 45; ++i) {
        const int k = i / 15, m = (i % 15) / 5, f = i % 5;
        const int centre = m + 8;  // column of offset m - 1
        int64_t a = kAcrossEven[f][8] * int64_t(even[k][centre]), b = kAcrossOdd[f][8] * int64_t(odd[k][centre]);
        for (int j = 1; j <= 8; ++j) {
            a += kAcrossEven[f][8 - j] * int64_t(even[k][centre - j] + even[k][centre + j]);
            b += kAcrossOdd[f][8 - j] * int64_t(odd[k][centre - j] + odd[k][centre + j]);
        }
        const int64_t sum = a + b, diff = a - b;
        const int64_t ws = (llabs(sum) * kConfWeight[i] + 8) >> 4, wd = (llabs(diff) * kConfWeight[i] + 8) >> 4;
        if (ws > bestW) {
            bestW = ws;
            partnerW = wd;
            flip = false;
            positive = sum > 0;
        }
        if (wd > bestW) {
            bestW = wd;
            partnerW = ws;
            flip = true;
            positive = diff > 0;
        }
    }
    Trial t;
    t.best = int32_t((bestW + 65536) >> 17);
    const int64_t partner = (partnerW + 65536) >> 17;
    t.passed = t.best >= int32_t(prm.minimumResponse) && int64_t(t.best) * prm.dominance >= partner * 256;
    t.flip = flip;
    t.positive = positive;
    return t;
}

// Rings of rows, indexed by row number modulo their depth.
template <class T, int Depth>
struct Ring {
    T rows[Depth][kW];
    T* row(int y) { return rows[y & (Depth - 1)]; }
};

struct Scan {
    const uint8_t* phase;
    int width, height;
    Ring<int32_t, 8> hxx, hxy, hyy;  // products smoothed along the row
    Ring<int64_t, 32> response;      // corner response; -1 unusable
    Ring<uint8_t, 32> coherence;
    Ring<int32_t, 8> hcoh;
    Ring<uint8_t, 32> scoh;          // smoothed coherence
    OriEntry dirs[16][kW / 2];       // doubled-angle bytes at even rows and columns
    uint8_t groupAvg[8][kW / 5 + 1];
    bool unusable[8][kW];            // by product row

    int64_t R(int x, int y) {
        if (x < 0 || y < 0 || x >= width || y >= height) return -1;
        return response.row(y)[x];
    }
};

inline void smooth5(const int32_t* in, int32_t* out, int width) {
    // [1 4 6 4 1] along the row, zero outside.
    for (int x = 0; x < width; ++x) {
        int32_t s = 6 * in[x];
        if (x >= 1) s += 4 * in[x - 1];
        if (x >= 2) s += in[x - 2];
        if (x + 1 < width) s += 4 * in[x + 1];
        if (x + 2 < width) s += in[x + 2];
        out[x] = s;
    }
}

}  // namespace

bool better(const Minutia& a, const Minutia& b) {
    if (a.confidence != b.confidence) return a.confidence > b.confidence;
    if (a.y != b.y) return a.y < b.y;
    if (a.x != b.x) return a.x < b.x;
    return a.angle <= b.angle;
}


void TopN::offer(const Minutia& m) {
    auto cmp = [](const Minutia& a, const Minutia& b) { return better(a, b) && !better(b, a); };
    if (size_ < capacity_) {
        if (!better(m, Minutia{})) return;
        begin_[size_++] = m;
        std::push_heap(begin_, begin_ + size_, cmp);
        return;
    }
    if (capacity_ == 0 || !better(m, begin_[0])) return;
    std::pop_heap(begin_, begin_ + size_, cmp);
    begin_[size_ - 1] = m;
    std::push_heap(begin_, begin_ + size_, cmp);
}

Minutia TopN::pop() {
    auto cmp = [](const Minutia& a, const Minutia& b) { return better(a, b) && !better(b, a); };
    std::pop_heap(begin_, begin_ + size_, cmp);
    --size_;
    return begin_[size_];
}

bool is_in_footprint(int x, int y, int width, int pixelCount, const uint8_t* phase) {
    if (x < 1 || y < 1 || x + 1 >= width) return false;
    if (int64_t(y + 1) * width + x + 1 >= pixelCount) return false;
    const uint8_t* p = phase + size_t(y) * width + x;
    return p[-width - 1] != 127 && p[-width + 1] != 127 && p[width - 1] != 127 && p[width + 1] != 127;
}

// The walk and its result use the frame of the detector's angles (y down, the angle lying a
// quarter turn from the ridge's own direction). Taken literally (start octant angle / 32 with the
// steps (offs[d - 1], offs[d - 3]), result with y counted upwards), a refined angle came out mirrored
// and turned against the unrefined ones of the same feature set, which breaks matching.
bool adjust_angle(uint8_t& angle, int x, int y, const uint8_t* phase, int width, int pixelCount, bool turn) {
    // Direction d (0..7) is d * 45 degrees from +x towards +y.
    auto step = [](int d, int& dx, int& dy) {
        dx = kOffs[(d + 2) & 7];
        dy = kOffs[d & 7];
    };
    auto at = [&](int px, int py) { return int(phase[size_t(py) * width + px]); };
    if (!is_in_footprint(x, y, width, pixelCount, phase)) return false;
    int d = uint8_t(angle - 64 + 16) / 32;
    // Choose the darker or the brighter path among the three neighbours ahead (ties to the later).
    int bright = -1, dark = 256;
    for (int k = -1; k <= 1; ++k) {
        int dx, dy;
        step((d + k) & 7, dx, dy);
        const int v = at(x + dx, y + dy);
        if (v >= bright) bright = v;
        if (v <= dark) dark = v;
    }
    const bool followDark = bright < 255 - dark;
    int cx = x, cy = y, firstX = -1, firstY = -1, side = -1;
    int64_t lastDist = 0;
    bool far = false;
    for (int n = 0; n < 20; ++n) {
        int bestD = -1, bestV = followDark ? 256 : -1;
        for (int k = -1; k <= 1; ++k) {
            const int dd = (d + k) & 7;
            int dx, dy;
            step(dd, dx, dy);
            if (!is_in_footprint(cx + dx, cy + dy, width, pixelCount, phase)) continue;
            const int v = at(cx + dx, cy + dy);
            if (followDark ? v <= bestV : v >= bestV) {
                bestV = v;
                bestD = dd;
            }
        }
        if (bestD < 0) break;  // left the footprint
        int dx, dy;
        step(bestD, dx, dy);
        const int nx = cx + dx, ny = cy + dy;
        const int64_t dist = int64_t(nx - x) * (nx - x) + int64_t(ny - y) * (ny - y);
        if (dist <= lastDist) break;
        if (side < 0) {
            side = bestV & 0x80;
            firstX = nx;
            firstY = ny;
        } else if ((bestV & 0x80) != side) {
            break;  // crossed the middle: off the ridge or valley
        }
        cx = nx;
        cy = ny;
        lastDist = dist;
        if (dist > 400) far = true;
        if (turn) d = bestD;
    }
    if (firstX < 0 || !(far || lastDist > 195)) return false;
    angle = uint8_t(atan2u8(cx - firstX, cy - firstY) + 64);
    return true;
}

// The footprint reaches the scan through the phase image, where every pixel off it reads 127.
void extract_minutia(const uint8_t* phase, int width, int pixelCount, const uint8_t* /*footprint*/, TopN& best,
                     const FeatureExtractionImplParameters& prm, bool refineAngles) {
    const int height = pixelCount / width;
    Scan scanState;
    memset(&scanState, 0, sizeof scanState);
    Scan* scan = &scanState;
    scan->phase = phase;
    scan->width = width;
    scan->height = height;
    const int64_t P = prm.structureOffset;
    const int cells = width / 2;

    auto px = [&](int x, int y) { return int(phase[size_t(y) * width + x]); };

    for (int s = 0; s < height + 16; ++s) {
        // 1. Products of central differences of row s, smoothed along the row.
        if (s < height) {
            int32_t pxx[kW], pxy[kW], pyy[kW];
            bool* bad = scan->unusable[s & 7];
            for (int x = 0; x < width; ++x) {
                if (x == 0 || s == 0 || x + 1 >= width || s + 1 >= height) {
                    pxx[x] = pxy[x] = pyy[x] = 0;
                    bad[x] = true;
                    continue;
                }
                const int l = px(x - 1, s), r = px(x + 1, s), u = px(x, s - 1), d = px(x, s + 1);
                bad[x] = l == 255 || r == 255 || u == 255 || d == 255;
                const int dx = r - l, dy = d - u;
                pxx[x] = dx * dx;
                pxy[x] = dx * dy;
                pyy[x] = dy * dy;
            }
            smooth5(pxx, scan->hxx.row(s), width);
            smooth5(pxy, scan->hxy.row(s), width);
            smooth5(pyy, scan->hyy.row(s), width);
        }
        // 2. Tensor of row t: corner response, coherence, local direction.
        const int t = s - 2;
        if (t >= 0 && t < height) {
            static constexpr int kV[5] = {1, 4, 6, 4, 1};
            int64_t* R = scan->response.row(t);
            uint8_t* coh = scan->coherence.row(t);
            for (int x = 0; x < width; ++x) {
                int64_t xx = 0, xy = 0, yy = 0;
                for (int k = -2; k <= 2; ++k) {
                    const int y = t + k;
                    if (y < 0 || y >= height) continue;
                    xx += kV[k + 2] * int64_t(scan->hxx.row(y)[x]);
                    xy += kV[k + 2] * int64_t(scan->hxy.row(y)[x]);
                    yy += kV[k + 2] * int64_t(scan->hyy.row(y)[x]);
                }
                xx = (xx + 16) >> 5;
                xy = (xy + 16) >> 5;
                yy = (yy + 16) >> 5;
                const int64_t tr = xx + yy;
                int64_t c = 0;
                if (tr > 0) c = ((((xx - yy) * (xx - yy) + 4 * xy * xy) / tr) * 128) / tr;
                coh[x] = uint8_t(std::min<int64_t>(c, 255));
                int64_t r;
                if (scan->unusable[t & 7][x]) {
                    r = -1;
                } else if (tr <= 2 * P) {
                    r = 0;
                } else {
                    r = (P - xx) * (P - yy) - xy * xy;
                    if (r < 1) r = 0;
                }
                R[x] = r;
                if (((t | x) & 1) == 0) {
                    const int64_t a = xx - yy, b = 2 * xy;
                    const int64_t m = std::max<int64_t>(llabs(a), llabs(b)) / 127;
                    OriEntry e{0, 0};
                    if (m > 0) {
                        const int64_t dd = std::max<int64_t>((llabs(a) + llabs(b)) / 180, m);
                        e = {int8_t(a / dd), int8_t(b / dd)};
                    }
                    scan->dirs[(t >> 1) & 15][x >> 1] = e;
                }
            }
            int32_t cohRow[kW];
            for (int x = 0; x < width; ++x) cohRow[x] = coh[x];
            smooth5(cohRow, scan->hcoh.row(t), width);
        }
        // 3. Smoothed coherence of row u and the 5x5 group averages.
        const int u = t - 2;
        if (u >= 0 && u < height) {
            static constexpr int kV[5] = {1, 4, 6, 4, 1};
            uint8_t* sc = scan->scoh.row(u);
            for (int x = 0; x < width; ++x) {
                int32_t v = 0;
                for (int k = -2; k <= 2; ++k) {
                    const int y = u + k;
                    if (y < 0 || y >= height) continue;
                    v += kV[k + 2] * scan->hcoh.row(y)[x];
                }
                sc[x] = uint8_t((v + 128) >> 8);
            }
            if (u % 5 == 4 || u == height - 1) {
                const int g = u / 5;
                for (int gx = 0; gx * 5 < width; ++gx) {
                    int sum = 0, count = 0;
                    for (int y = g * 5; y <= u; ++y)
                        for (int x = gx * 5; x < std::min(width, gx * 5 + 5); ++x) {
                            const int v = scan->scoh.row(y)[x];
                            if (v) {
                                sum += v;
                                ++count;
                            }
                        }
                    scan->groupAvg[g & 7][gx] = uint8_t(count ? sum / count : 0);
                }
            }
        }
        // 4. Peaks of the 3x3 windows ending on row q.
        const int q = s - 14;
        if (q <= 5 || q % 3 != 0 || q >= height) continue;
        for (int x = 6; x < width; x += 3) {
            int64_t peak = 0;
            int peakX = -1, peakY = -1;
            bool dropped = false;
            for (int y = q - 2; y <= q && !dropped; ++y)
                for (int xx = x - 2; xx <= x; ++xx) {
                    const int64_t r = scan->R(xx, y);
                    if (r < 0) {
                        dropped = true;
                        break;
                    }
                    if (r > peak) {
                        peak = r;
                        peakX = xx;
                        peakY = y;
                    }
                }
            if (dropped || peakX < 0) continue;
            for (int y = peakY - 2; y <= peakY + 2 && !dropped; ++y)
                for (int xx = peakX - 2; xx <= peakX + 2; ++xx) {
                    if (y >= q - 2 && y <= q && xx >= x - 2 && xx <= x) continue;
                    const int64_t r = scan->R(xx, y);
                    if (r < 0 || r > peak) {
                        dropped = true;
                        break;
                    }
                }
            if (dropped || !is_in_footprint(peakX, peakY, width, pixelCount, phase)) continue;

            // Direction across the ridge: the doubled-angle bytes of 13 cells by 13 even rows.
            int32_t sumA = 0, sumB = 0;
            const int ey = peakY & ~1, cx = peakX >> 1;
            for (int y = ey - 12; y <= ey + 12; y += 2) {
                if (y < 0 || y >= height) continue;
                const OriEntry* row = scan->dirs[(y >> 1) & 15];
                for (int c = std::max(0, cx - 6); c <= std::min(cells - 1, cx + 6); ++c) {
                    sumA += row[c].re;
                    sumB += row[c].im;
                }
            }
            const uint8_t dir = uint8_t(atan2u8(sumA, sumB) >> 1);

            const Trial first = butterfly(phase, width, height, peakX, peakY, uint8_t(dir - 2), prm);
            const Trial second = butterfly(phase, width, height, peakX, peakY, uint8_t(dir + 2), prm);
            if (!first.passed && !second.passed) continue;
            if (peakY > 256) continue;
            if (peakY < height - 16) {
                const int c0 = scan->coherence.row(peakY)[peakX], c1 = scan->scoh.row(peakY)[peakX];
                const int avg = scan->groupAvg[(peakY / 5) & 7][peakX / 5];
                if (peakY > 200 && c1 <= 59 && avg <= 79 && c0 <= 119) continue;
                if (c1 <= 4 && avg <= 9) continue;
                if (c0 == 0 && c1 == 0) continue;
            }
            const bool useFirst = first.passed && (!second.passed || first.best >= second.best);
            const Trial& win = useFirst ? first : second;
            const Trial& lastPassed = second.passed ? second : first;
            uint8_t angle = uint8_t(useFirst ? dir - 2 : dir + 2);
            if (lastPassed.flip) angle = uint8_t(angle + 128);
            if (refineAngles && !adjust_angle(angle, peakX, peakY, phase, width, pixelCount, false))
                adjust_angle(angle, peakX, peakY, phase, width, pixelCount, true);
            Minutia m;
            m.x = int16_t(peakX - 1);
            m.y = int16_t(peakY);
            // Saturated: keeping only the low byte turned the strongest responses into the weakest.
            m.confidence = uint8_t(std::min(win.best, 255));
            setDirection(m, angle);
            m.kind = m.confidence > prm.kindThreshold ? (win.positive ? 1 : 2) : 0;
            m.kind2 = m.kind;
            best.offer(m);
        }
    }
}

}  // namespace DurodudUrodera::FpRecEngineImpl::Embedded
