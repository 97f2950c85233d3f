// Minutiae of a ridge pattern: binarise, thin, crossing number, then weed out border and spur artefacts.
#include <algorithm>
#include <array>
#include <cmath>

#include "sim/finger/detail.h"

namespace simfinger::detail {
namespace {

// The 8 neighbours in circular order, starting east, going clockwise on the image (y down).
constexpr std::array<int, 8> kDx = {1, 1, 0, -1, -1, -1, 0, 1};
constexpr std::array<int, 8> kDy = {0, 1, 1, 1, 0, -1, -1, -1};

struct Grid {
    const std::vector<uint8_t>& px;
    int w, h;
    int at(int x, int y) const { return (x < 0 || y < 0 || x >= w || y >= h) ? 0 : px[size_t(y) * w + x]; }
};

int crossingNumber(const Grid& g, int x, int y) {
    int transitions = 0;
    for (int i = 0; i < 8; ++i) {
        const int a = g.at(x + kDx[i], y + kDy[i]);
        const int b = g.at(x + kDx[(i + 1) % 8], y + kDy[(i + 1) % 8]);
        transitions += a != b;
    }
    return transitions / 2;
}

// Walks along the skeleton from (x, y) for up to `steps` pixels, never revisiting a pixel in `seen`.
// Returns the last pixel reached and how many steps were taken.
struct Walk {
    int x, y, steps;
};
Walk walk(const Grid& g, std::vector<uint8_t>& seen, int x, int y, int steps) {
    Walk w{x, y, 0};
    while (w.steps < steps) {
        int nx = -1, ny = -1;
        // Prefer 4-neighbours: Zhang-Suen leaves staircase corners where a diagonal would skip a pixel.
        for (int pass = 0; pass < 2 && nx < 0; ++pass) {
            for (int i = pass; i < 8; i += 2) {
                const int cx = w.x + kDx[i], cy = w.y + kDy[i];
                if (g.at(cx, cy) && !seen[size_t(cy) * g.w + cx]) {
                    nx = cx;
                    ny = cy;
                    break;
                }
            }
        }
        if (nx < 0) break;
        seen[size_t(ny) * g.w + nx] = 1;
        w.x = nx;
        w.y = ny;
        ++w.steps;
    }
    return w;
}

// Image step to our direction convention: counter-clockwise as seen, so y is flipped.
double directionOf(double dx, double dy) {
    double a = std::atan2(-dy, dx);
    if (a < 0) a += 2 * kPi;
    return a;
}

constexpr int kTraceSteps = 10;
constexpr int kMinTrace = 5;  // a shorter branch is a spur, not a ridge

}  // namespace

std::vector<float> distanceToOutside(const std::vector<uint8_t>& inside, int width, int height) {
    constexpr float kBig = 1e9f, kStraight = 1.0f, kDiagonal = 1.41421356f;
    // A one-pixel frame of zeros stands for the outside beyond the edge, so the passes need no bounds checks.
    const int w = width + 2, h = height + 2;
    std::vector<float> d(size_t(w) * h, 0.0f);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) d[size_t(y + 1) * w + x + 1] = inside[size_t(y) * width + x] ? kBig : 0.0f;
    for (int y = 1; y < h - 1; ++y)
        for (int x = 1; x < w - 1; ++x) {
            float* p = &d[size_t(y) * w + x];
            if (*p == 0) continue;
            const float* up = p - w;
            *p = std::min(std::min(*p, p[-1] + kStraight),
                          std::min(up[0] + kStraight, std::min(up[-1], up[1]) + kDiagonal));
        }
    for (int y = h - 2; y >= 1; --y)
        for (int x = w - 2; x >= 1; --x) {
            float* p = &d[size_t(y) * w + x];
            if (*p == 0) continue;
            const float* down = p + w;
            *p = std::min(std::min(*p, p[1] + kStraight),
                          std::min(down[0] + kStraight, std::min(down[-1], down[1]) + kDiagonal));
        }
    std::vector<float> out(size_t(width) * height);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) out[size_t(y) * width + x] = d[size_t(y + 1) * w + x + 1];
    return out;
}

void thin(std::vector<uint8_t>& img, int width, int height) {
    std::vector<size_t> doomed;
    Grid g{img, width, height};
    bool changed = true;
    while (changed) {
        changed = false;
        for (int sub = 0; sub < 2; ++sub) {
            doomed.clear();
            for (int y = 0; y < height; ++y)
                for (int x = 0; x < width; ++x) {
                    if (!img[size_t(y) * width + x]) continue;
                    // P2..P9 clockwise from north.
                    const int p2 = g.at(x, y - 1), p3 = g.at(x + 1, y - 1), p4 = g.at(x + 1, y), p5 = g.at(x + 1, y + 1);
                    const int p6 = g.at(x, y + 1), p7 = g.at(x - 1, y + 1), p8 = g.at(x - 1, y), p9 = g.at(x - 1, y - 1);
                    const int b = p2 + p3 + p4 + p5 + p6 + p7 + p8 + p9;
                    if (b < 2 || b > 6) continue;
                    const int a = (!p2 && p3) + (!p3 && p4) + (!p4 && p5) + (!p5 && p6) + (!p6 && p7) + (!p7 && p8) +
                                  (!p8 && p9) + (!p9 && p2);
                    if (a != 1) continue;
                    if (sub == 0 ? (p2 && p4 && p6) || (p4 && p6 && p8) : (p2 && p4 && p8) || (p2 && p6 && p8)) continue;
                    doomed.push_back(size_t(y) * width + x);
                }
            for (size_t i : doomed) img[i] = 0;
            changed |= !doomed.empty();
        }
    }
}

std::vector<Minutia> minutiaeOfBinary(const std::vector<uint8_t>& ridge, int width, int height,
                                      const std::vector<uint8_t>& mask, int margin, double minSpacing) {
    std::vector<uint8_t> skel = ridge;
    if (!mask.empty())
        for (size_t i = 0; i < skel.size(); ++i) skel[i] = skel[i] && mask[i];
    thin(skel, width, height);
    std::vector<uint8_t> area = mask;
    if (area.empty()) area.assign(size_t(width) * height, 1);
    const std::vector<float> dist = distanceToOutside(area, width, height);
    const Grid g{skel, width, height};

    std::vector<Minutia> found;
    std::vector<uint8_t> spurs;  // per found minutia: one of its branches is too short to be a ridge
    std::vector<uint8_t> seen(skel.size(), 0);
    for (int y = 1; y + 1 < height; ++y)
        for (int x = 1; x + 1 < width; ++x) {
            const size_t i = size_t(y) * width + x;
            if (!skel[i] || dist[i] < margin) continue;
            const int cn = crossingNumber(g, x, y);
            if (cn != 1 && cn != 3) continue;
            // One branch per run of set neighbours.
            std::vector<std::vector<std::pair<int, int>>> runs;
            for (int k = 0; k < 8; ++k) {
                const int prev = (k + 7) % 8;
                if (!g.at(x + kDx[k], y + kDy[k]) || g.at(x + kDx[prev], y + kDy[prev])) continue;
                runs.emplace_back();
                for (int j = k; j < k + 8 && g.at(x + kDx[j % 8], y + kDy[j % 8]); ++j)
                    runs.back().push_back({x + kDx[j % 8], y + kDy[j % 8]});
            }
            if (int(runs.size()) != cn) continue;
            std::vector<std::array<double, 2>> dirs;
            bool spur = false;
            for (size_t r = 0; r < runs.size(); ++r) {
                // Fence off the centre and the other branches' first pixels, so this walk stays on its own
                // branch; within the run, start on a 4-neighbour where there is one.
                seen[i] = 1;
                for (size_t o = 0; o < runs.size(); ++o)
                    for (auto [px, py] : runs[o]) seen[size_t(py) * width + px] = o != r;
                auto [sx, sy] = runs[r][0];
                for (auto [px, py] : runs[r])
                    if (px == x || py == y) {
                        sx = px;
                        sy = py;
                        break;
                    }
                seen[size_t(sy) * width + sx] = 1;
                const Walk w = walk(g, seen, sx, sy, kTraceSteps);
                if (w.steps + 1 < kMinTrace) spur = true;
                const double vx = w.x - x, vy = w.y - y, n = std::hypot(vx, vy);
                dirs.push_back({n > 0 ? vx / n : 0, n > 0 ? vy / n : 0});
            }
            // Clear the scratch map around the point (walks reach at most kTraceSteps + 1 pixels away).
            for (int dy = -kTraceSteps - 2; dy <= kTraceSteps + 2; ++dy)
                for (int dx = -kTraceSteps - 2; dx <= kTraceSteps + 2; ++dx) {
                    const int cx = x + dx, cy = y + dy;
                    if (cx >= 0 && cy >= 0 && cx < width && cy < height) seen[size_t(cy) * width + cx] = 0;
                }
            Minutia m;
            m.x = x;
            m.y = y;
            if (cn == 1) {
                m.type = MinutiaType::Ending;
                m.direction = directionOf(dirs[0][0], dirs[0][1]);
            } else {
                // The stem is the branch pointing most against the other two.
                int stem = 0;
                double worst = 1e9;
                for (int k = 0; k < 3; ++k) {
                    const auto& a = dirs[k];
                    const auto& b = dirs[(k + 1) % 3];
                    const auto& c = dirs[(k + 2) % 3];
                    const double score = a[0] * b[0] + a[1] * b[1] + a[0] * c[0] + a[1] * c[1];
                    if (score < worst) {
                        worst = score;
                        stem = k;
                    }
                }
                const auto& s = dirs[stem];
                const auto& b = dirs[(stem + 1) % 3];
                const auto& c = dirs[(stem + 2) % 3];
                m.type = MinutiaType::Bifurcation;
                m.direction = directionOf(b[0] + c[0] - s[0], b[1] + c[1] - s[1]);
            }
            found.push_back(m);
            spurs.push_back(spur);
        }

    // A fork often thins to two or three touching junction pixels; they are one bifurcation.
    std::vector<uint8_t> twin(found.size(), 0);
    for (size_t a = 0; a < found.size(); ++a)
        for (size_t b = a + 1; b < found.size() && !twin[a]; ++b)
            if (!twin[b] && found[a].type == MinutiaType::Bifurcation && found[b].type == MinutiaType::Bifurcation &&
                std::hypot(found[a].x - found[b].x, found[a].y - found[b].y) < 2.5)
                twin[b] = 1;
    // Two minutiae this close are one artefact (a short bridge, break, spur or lake), not two features.
    std::vector<uint8_t> drop(spurs);
    for (size_t a = 0; a < found.size(); ++a)
        for (size_t b = a + 1; b < found.size(); ++b)
            if (!twin[a] && !twin[b] && std::hypot(found[a].x - found[b].x, found[a].y - found[b].y) < minSpacing)
                drop[a] = drop[b] = 1;
    std::vector<Minutia> kept;
    for (size_t a = 0; a < found.size(); ++a)
        if (!drop[a] && !twin[a]) kept.push_back(found[a]);
    return kept;
}

void removeSmallComponents(std::vector<uint8_t>& binary, int width, int height, int minArea) {
    std::vector<uint8_t> visited(binary.size(), 0);
    std::vector<size_t> stack, component;
    for (int value = 1; value >= 0; --value) {
        const int neighbours = value == 1 ? 8 : 4;
        std::fill(visited.begin(), visited.end(), 0);
        for (size_t start = 0; start < binary.size(); ++start) {
            if (visited[start] || binary[start] != value) continue;
            component.clear();
            stack.assign(1, start);
            visited[start] = 1;
            bool touchesEdge = false;
            while (!stack.empty()) {
                const size_t i = stack.back();
                stack.pop_back();
                component.push_back(i);
                const int x = int(i % width), y = int(i / width);
                for (int k = 0; k < 8; k += 8 / neighbours) {
                    const int nx = x + kDx[k], ny = y + kDy[k];
                    if (nx < 0 || ny < 0 || nx >= width || ny >= height) {
                        touchesEdge = true;
                        continue;
                    }
                    const size_t j = size_t(ny) * width + nx;
                    if (!visited[j] && binary[j] == value) {
                        visited[j] = 1;
                        stack.push_back(j);
                    }
                }
            }
            if (!touchesEdge && int(component.size()) < minArea)
                for (size_t i : component) binary[i] = uint8_t(1 - value);
        }
    }
}

}  // namespace simfinger::detail

namespace simfinger {

std::vector<Minutia> findMinutiae(const std::vector<uint8_t>& image, int width, int height,
                                  const std::vector<uint8_t>& mask, int margin) {
    if (width <= 0 || height <= 0 || image.size() != size_t(width) * height) return {};
    if (!mask.empty() && mask.size() != image.size()) return {};
    // Light 3x3 smoothing, then a threshold against the mean of a window about one and a half ridge
    // periods wide, so pressure and dry patches shift the threshold with the ridges.
    constexpr int kRadius = 7;
    std::vector<double> integral(size_t(width + 1) * (height + 1), 0.0);
    std::vector<float> smooth(image.size());
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            double sum = 0;
            int n = 0;
            for (int dy = -1; dy <= 1; ++dy)
                for (int dx = -1; dx <= 1; ++dx) {
                    const int cx = x + dx, cy = y + dy;
                    if (cx < 0 || cy < 0 || cx >= width || cy >= height) continue;
                    sum += image[size_t(cy) * width + cx];
                    ++n;
                }
            smooth[size_t(y) * width + x] = float(sum / n);
        }
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            integral[size_t(y + 1) * (width + 1) + x + 1] = smooth[size_t(y) * width + x] +
                                                            integral[size_t(y) * (width + 1) + x + 1] +
                                                            integral[size_t(y + 1) * (width + 1) + x] -
                                                            integral[size_t(y) * (width + 1) + x];
    std::vector<uint8_t> binary(image.size(), 0);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            const int x0 = std::max(0, x - kRadius), x1 = std::min(width, x + kRadius + 1);
            const int y0 = std::max(0, y - kRadius), y1 = std::min(height, y + kRadius + 1);
            const double sum = integral[size_t(y1) * (width + 1) + x1] - integral[size_t(y0) * (width + 1) + x1] -
                               integral[size_t(y1) * (width + 1) + x0] + integral[size_t(y0) * (width + 1) + x0];
            const double mean = sum / double((x1 - x0) * (y1 - y0));
            binary[size_t(y) * width + x] = smooth[size_t(y) * width + x] < mean;
        }
    detail::removeSmallComponents(binary, width, height, 20);
    return detail::minutiaeOfBinary(binary, width, height, mask, margin);
}

}  // namespace simfinger
