// Singular points: Poincare index on the block orientations, grouping of neighbouring
// detections, placement at the greatest orientation change and a full direction.
#include "engines/minutiae/singular_points.h"

#include <cstdlib>

#include "engines/minutiae/directions.h"
#include "engines/minutiae/geometry.h"

namespace mnt {
namespace {

int CircularDistance240(int a, int b) {
    int d = std::abs(a - b);
    return d > 120 ? 240 - d : d;
}

// Both lists hold 64 points; detections beyond that are dropped rather than written past
// the arrays.
bool Append(SingularPointList* list, int32_t x, int32_t y, int32_t direction, int32_t type) {
    if (list->count < 0 || list->count >= kMaxSingularPoints) return false;
    const int i = list->count++;
    list->x[i] = x;
    list->y[i] = y;
    list->direction[i] = direction;
    list->type[i] = type;
    return true;
}

// Orientation deviation folded into 0..60 (the "none" value 127 is not special here).
int Deviation120(int a, int b) {
    const int d = std::abs(a - b);
    return d > 60 ? 120 - d : d;
}

}  // namespace

int32_t ComputePoincareIndex(int count, const uint8_t* orientations) {
    if (count <= 0) return 0;
    int prev = orientations[count - 1];
    int total = 0;
    for (int i = 0; i < count; ++i) {
        const int c = orientations[i];
        const int d0 = CircularDistance240(c, prev);
        const int d1 = CircularDistance240(c + 120, prev);
        if (d0 == d1) return 0;
        const int t = d1 < d0 ? c + 120 : c;
        int step = t - prev;
        if (step >= 121) step -= 240;
        else if (step < -120) step += 240;
        total += step;
        prev = t;
    }
    return total / 120;
}

void ExtractSingularPoints(int blockColumns, int blockRows, const ByteImage blockDirections, SingularPointList* list) {
    list->count = 0;
    static const int ring8[8][2] = {{-1, -1}, {0, -1}, {1, -1}, {1, 0}, {1, 1}, {0, 1}, {-1, 1}, {-1, 0}};
    static const int ring12[12][2] = {{-1, -2}, {0, -2}, {1, -2}, {2, -1}, {2, 0},  {2, 1},
                                      {1, 2},   {0, 2},  {-1, 2}, {-2, 1}, {-2, 0}, {-2, -1}};
    for (int by = 2; by <= blockRows - 3; ++by)
        for (int bx = 2; bx <= blockColumns - 3; ++bx) {
            bool usable = true;
            for (int dy = -2; dy <= 2 && usable; ++dy)
                for (int dx = -2; dx <= 2; ++dx) {
                    if ((dx == 0 && dy == 0) || (std::abs(dx) == 2 && std::abs(dy) == 2)) continue;
                    if (blockDirections[by + dy][bx + dx] == kRejectedBlock) {
                        usable = false;
                        break;
                    }
                }
            if (!usable) continue;
            uint8_t path8[8], path12[12];
            for (int i = 0; i < 8; ++i) path8[i] = blockDirections[by + ring8[i][1]][bx + ring8[i][0]];
            for (int i = 0; i < 12; ++i) path12[i] = blockDirections[by + ring12[i][1]][bx + ring12[i][0]];
            const int p8 = ComputePoincareIndex(8, path8);
            const int p12 = ComputePoincareIndex(12, path12);
            int index = p8;
            if (p8 != p12) index = p8 * p12 < 1 ? 0 : p12;
            if (index != 0) Append(list, bx, by, -1, index);
        }
}

int IsSingularPointNear(const SingularPointList* list, int32_t y, int32_t x, int32_t distance) {
    const int n = list->count < 0 ? 0 : list->count > kMaxSingularPoints ? kMaxSingularPoints : list->count;
    const int64_t limit = int64_t(distance) * distance;
    for (int i = 0; i < n; ++i) {
        const int64_t dx = int64_t(list->x[i]) - x;
        const int64_t dy = int64_t(list->y[i]) - y;
        if (dx * dx + dy * dy < limit) return 1;
    }
    return 0;
}

uint32_t ComputeCurvatureSP(int width, int height, const ByteImage directions, int y, int x) {
    const int c = directions[y][x];
    if (c == kNoOrientation) return 0;
    uint32_t sum = 0;
    for (int yy = y - 2; yy <= y + 2; ++yy)
        for (int xx = x - 2; xx <= x + 2; ++xx) {
            if (yy < 0 || xx < 0 || yy >= height || xx >= width) continue;
            const int v = directions[yy][xx];
            if (v == kNoOrientation) continue;
            sum += uint32_t(Deviation120(c, v));
        }
    return sum;
}

int32_t ComputeSingularPointDirection(int width, int height, const ByteImage directions, int y, int x) {
    int bestScore = 0;
    int32_t best = 0;
    bool any = false;
    for (int dy = 40; dy >= -40; --dy)
        for (int dx = 40; dx >= -40; --dx) {
            const int r2 = dx * dx + dy * dy;
            if (r2 < 1561 || r2 > 1639) continue;
            const int rx = x - dx, ry = y - dy;
            const int32_t dirRay = ComputeLineDirection(x, y, rx, ry);
            const int o = dirRay % 120;
            // Walk from the ring point towards the centre, one pixel per step along the
            // longer axis; stop before the centre row (or column).
            const bool alongRows = std::abs(dx) <= std::abs(dy);
            const int longer = alongRows ? std::abs(dy) : std::abs(dx);
            const int shorter = alongRows ? dx : dy;
            const int stepLong = alongRows ? (dy > 0 ? 1 : -1) : (dx > 0 ? 1 : -1);
            const int increment = longer == 0 ? 0 : 100 * shorter / longer;
            int sum = 0, count = 0, acc = 0;
            int px = rx, py = ry;
            for (int i = 0; i < longer; ++i) {
                if (px >= 0 && py >= 0 && px < width && py < height) {
                    sum += Deviation120(directions[py][px] & 0x7F, o);
                    ++count;
                }
                if (alongRows) py += stepLong;
                else px += stepLong;
                acc += increment;
                int& side = alongRows ? px : py;
                if (acc > 49) {
                    ++side;
                    acc -= 100;
                } else if (acc < -49) {
                    --side;
                    acc += 100;
                }
            }
            const int score = count == 0 ? 60 : sum / count;
            if (!any || score < bestScore) {
                any = true;
                bestScore = score;
                best = dirRay;
            }
        }
    return best;
}

void GroupSingularPoints(int width, int height, const ByteImage directions, SingularPointList* blockList,
                         SingularPointList* pointList) {
    pointList->count = 0;
    const int n = blockList->count < 0 ? 0 : blockList->count > kMaxSingularPoints ? kMaxSingularPoints : blockList->count;
    auto consumedAll = [&] {
        for (int i = 0; i < n; ++i)
            if (blockList->type[i] != 0) return false;
        return true;
    };
    while (!consumedAll()) {
        SingularPointList group{};
        bool changed = true;
        while (changed) {
            changed = false;
            for (int i = 0; i < n; ++i) {
                if (blockList->type[i] == 0) continue;
                if (group.count != 0 && !IsSingularPointNear(&group, blockList->y[i], blockList->x[i], 2)) continue;
                Append(&group, blockList->x[i], blockList->y[i], blockList->direction[i], blockList->type[i]);
                blockList->type[i] = 0;
                changed = true;
            }
        }
        int type = group.type[0];
        for (int i = 1; i < group.count; ++i)
            if (group.type[i] != type) type = 0;
        if (type == 0) continue;

        int64_t bestValue = -1;
        int bestX = 0, bestY = 0;
        for (int g = 0; g < group.count; ++g)
            for (int y = kBlockSize * group.y[g]; y < kBlockSize * group.y[g] + kBlockSize; ++y)
                for (int x = kBlockSize * group.x[g]; x < kBlockSize * group.x[g] + kBlockSize; ++x) {
                    if (x >= width || y >= height) continue;
                    const int64_t value = ComputeCurvatureSP(width, height, directions, y, x);
                    if (value > bestValue) {
                        bestValue = value;
                        bestX = x;
                        bestY = y;
                    }
                }
        const int centreX = bestX, centreY = bestY;
        for (int y = centreY - 16; y <= centreY + 16; ++y)
            for (int x = centreX - 16; x <= centreX + 16; ++x) {
                if (x < 0 || y < 0 || x >= width || y >= height) continue;
                const int64_t value = ComputeCurvatureSP(width, height, directions, y, x);
                if (value > bestValue) {
                    bestValue = value;
                    bestX = x;
                    bestY = y;
                }
            }
        Append(pointList, bestX, bestY, ComputeSingularPointDirection(width, height, directions, bestY, bestX), type);
    }
}

}  // namespace mnt
