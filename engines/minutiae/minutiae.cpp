// Minutiae read off the cleaned skeleton: endings and bifurcations with direction and curvature,
// then the marking and removal of likely false ones.
#include "engines/minutiae/minutiae.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "engines/minutiae/geometry.h"
#include "engines/minutiae/skeleton.h"

namespace mnt {
namespace {

using detail::Point;

constexpr int kEndTrace = 20;
constexpr int kBranchTrace = 20;
constexpr int kBranchMinimum = 10;
constexpr int kCurvatureRadius = 10;
constexpr int kPatch = 30;

// Difference of two full directions folded into 0..120.
int Folded(int a, int b) {
    const int d = std::abs(a - b);
    return d > 120 ? 240 - d : d;
}

// Restores saved pixel values on scope exit unless already done.
struct SideBlank {
    ByteImage image = nullptr;
    Point at[2] = {};
    uint8_t saved[2] = {};
    bool active = false;
    void Blank(ByteImage im, Point a, Point b) {
        image = im;
        at[0] = a;
        at[1] = b;
        for (int i = 0; i < 2; ++i) {
            saved[i] = image[at[i].y][at[i].x];
            image[at[i].y][at[i].x] = 255;
        }
        active = true;
    }
    void Restore() {
        if (!active) return;
        for (int i = 0; i < 2; ++i) image[at[i].y][at[i].x] = saved[i];
        active = false;
    }
};

}  // namespace

int32_t ComputeEndDirection(int width, int height, ByteImage skeleton, int y, int x) {
    Point recorded[kEndTrace];
    int wx = x, wy = y;
    const int count = detail::TraceEnding(width, height, skeleton, wx, wy, kEndTrace, recorded);
    detail::SetPixels(skeleton, recorded, count, 0);
    return count == kEndTrace ? ComputeLineDirection(x, y, wx, wy) : kNoDirection;
}

int32_t ComputeBranchDirection(int width, int height, ByteImage skeleton, int y, int x) {
    Point recorded[3 * kBranchTrace];
    int total = 0;
    int32_t branch[3] = {-10, -10, -10};
    for (int b = 0; b < 3; ++b) {
        int wx = x, wy = y, count = 0;
        SideBlank blank;
        while (count < kBranchTrace) {
            if (wy < 1 || wy > height - 2 || wx < 1 || wx > width - 2) break;
            if (count >= 3 && GetTransitionCount(skeleton, wy, wx) != 1) break;
            skeleton[wy][wx] = 255;
            recorded[total++] = {wx, wy};
            ++count;
            const int fromX = wx, fromY = wy;
            const bool moved = detail::NextRidgePixel(skeleton, wx, wy);
            // Keep the second step off the node's other branches: they touch the first pixel too.
            if (count == 2) blank.Restore();
            if (!moved) break;
            if (count == 1) {
                if (wx == fromX) blank.Blank(skeleton, {x - 1, y}, {x + 1, y});
                else if (wy == fromY) blank.Blank(skeleton, {x, y - 1}, {x, y + 1});
            }
        }
        blank.Restore();
        if (count < kBranchMinimum) break;  // too short: the other branches are not traced
        branch[b] = ComputeLineDirection(x, y, wx, wy);
    }
    detail::SetPixels(skeleton, recorded, total, 0);
    if (branch[0] < 0 || branch[1] < 0 || branch[2] < 0) return kShortBranch;

    const int f01 = Folded(branch[0], branch[1]);
    const int f12 = Folded(branch[1], branch[2]);
    const int f02 = Folded(branch[0], branch[2]);
    int a = branch[1], c = branch[2], closest = f12;
    if (f12 > f01) a = branch[0], c = branch[1], closest = f01;
    if (f02 < closest) a = branch[0], c = branch[2], closest = f02;
    if (closest == 0 || std::max({f01, f12, f02}) < 60) return kNoDirection;
    const int d = std::abs(a - c);
    if (d <= 120) return (a + c) / 2;
    const int half = (240 - d) / 2;
    const int mean = c < 121 ? a + half : c + half;
    return mean >= 240 ? mean - 240 : mean;
}

int32_t ComputeCurvature(int width, int height, const ByteImage directions, int y, int x, int radius) {
    const int c = directions[y][x] & 127;
    if (c == 127) return 0;
    int64_t sum = 0, count = 0;
    for (int yy = std::max(0, y - radius); yy <= std::min(height - 1, y + radius); ++yy)
        for (int xx = std::max(0, x - radius); xx <= std::min(width - 1, x + radius); ++xx) {
            const int o = directions[yy][xx] & 127;
            if (o >= 127) continue;
            const int d = std::abs(c - o);
            sum += d >= 61 ? 120 - d : d;
            ++count;
        }
    return count == 0 ? 0 : int32_t(sum * 255 / (count * 60));
}

void ExtractMinutiae(int width, int height, ByteImage skeleton, const ByteImage directions, MinutiaList* list) {
    list->count = 0;
    for (int y = 2; y < height - 2; ++y)
        for (int x = 2; x < width - 2; ++x) {
            if (skeleton[y][x] != 0 || (directions[y][x] & 0x80) != 0) continue;
            const int t = GetTransitionCount(skeleton, y, x);
            if (t != 1 && t != 3) continue;
            if (list->count >= kMaxMinutiae) return;
            const int i = list->count++;
            list->x[i] = x;
            list->y[i] = y;
            list->kind[i] = t == 1 ? 0 : 1;
            list->direction[i] = t == 1 ? ComputeEndDirection(width, height, skeleton, y, x)
                                        : ComputeBranchDirection(width, height, skeleton, y, x);
            list->curvature[i] = ComputeCurvature(width, height, directions, y, x, kCurvatureRadius);
        }
}

void Putty1FTR1(ByteImage patch, ByteImage work, int width, int height) {
    if (width < 3 || height < 3) return;
    for (int y = 1; y < height - 1; ++y)
        for (int x = 1; x < width - 1; ++x) {
            int sum = 0;
            for (int dy = -1; dy <= 1; ++dy)
                for (int dx = -1; dx <= 1; ++dx) sum += patch[y + dy][x + dx];
            work[y][x] = uint8_t(sum / 9);
        }
    for (int x = 1; x < width - 1; ++x) {
        work[0][x] = work[1][x];
        work[height - 1][x] = work[height - 2][x];
    }
    for (int y = 0; y < height; ++y) {
        work[y][0] = work[y][1];
        work[y][width - 1] = work[y][width - 2];
    }
    for (int y = 0; y < height; ++y) {
        std::memcpy(patch[y], work[y], size_t(width));
        std::memset(work[y], 0, size_t(width));
    }
}

int GetFtrQuality(ByteImage patch, ByteImage work, int size) {
    const int n = size;
    if (n < 2) return 1;
    int64_t sum = 0;
    for (int i = 0; i < n - 1; ++i)
        for (int k = 0; k < n; ++k) {
            const int diff = std::abs(int(patch[i][k]) - int(patch[i + 1][k]));
            work[i][k] = uint8_t(diff);
            sum += diff;
        }
    std::memset(work[n - 1], 0, size_t(n));
    const int64_t limit = 2 * (sum / (int64_t(n) * (n - 1)));
    int64_t top = 0, bottom = 0, left = 0, right = 0;
    const int half = n / 2;
    for (int i = 0; i < n; ++i)
        for (int k = 0; k < n; ++k) {
            if (work[i][k] > limit) work[i][k] = uint8_t(limit);
            const int v = work[i][k];
            (i < half ? top : bottom) += v;
            (k < half ? left : right) += v;
        }
    const int64_t t = top * 100 / (int64_t(half) * n), b = bottom * 100 / (int64_t(n - half) * n);
    const int64_t l = left * 100 / (int64_t(half) * n), r = right * 100 / (int64_t(n - half) * n);
    return t < 130 || b < 130 || l < 130 || r < 130 || t + b + l + r < 760 ? 1 : 0;
}

void SelectBadMinutiae(int width, int height, const ByteImage sourceImage, const ByteImage directions,
                       MinutiaList* list, uint32_t pairFilter, uint32_t contrastTest) {
    const int n = std::clamp(list->count, 0, kMaxMinutiae);
    int32_t* const x = list->x;
    int32_t* const y = list->y;
    int32_t* const dir = list->direction;

    // Clusters; the list is in row order, so the neighbours in reach form one run of entries.
    for (int i = 0, start = 0; i < n; ++i) {
        while (start < n && y[start] < y[i] - 15) ++start;
        int near = 0;
        for (int j = start; j < n && y[j] <= y[i] + 15; ++j) {
            if (j == i) continue;
            const int dy = std::abs(y[i] - y[j]);
            if (dy < 16 && ComputeDistance(std::abs(x[i] - x[j]), dy) < 15) ++near;
        }
        if (near > 5) dir[i] = kClusterMark;
    }

    if (pairFilter != 0) {
        for (int i = 0; i < n; ++i)
            for (int j = 0; j < n && dir[i] >= 0; ++j) {
                if (j == i || dir[j] < 0) continue;
                const int dy = std::abs(y[i] - y[j]);
                if (dy > 10) continue;
                const int d = ComputeDistance(std::abs(x[i] - x[j]), dy);
                if (d >= 6) continue;
                if (d > 2 && !(list->kind[i] == 1 && list->kind[j] == 1)) continue;
                const int turn = ((dir[i] - dir[j]) % 240 + 240) % 240;
                if (turn >= 102 && turn <= 138) dir[i] = dir[j] = kFacingPairMark;
            }
    }

    for (int i = 0; i < n; ++i) {
        if (dir[i] < 0) continue;
        if (x[i] - 10 < 0 || x[i] + 10 >= width || y[i] - 10 < 0 || y[i] + 10 >= height) {
            dir[i] = kBorderMark;
            continue;
        }
        bool bad = false;
        for (int yy = y[i] - 10; yy <= y[i] + 10 && !bad; ++yy)
            for (int xx = x[i] - 10; xx <= x[i] + 10; ++xx)
                if (directions[yy][xx] & 0x80) {
                    bad = true;
                    break;
                }
        if (bad) dir[i] = kBorderMark;
    }

    if (contrastTest == 0 || sourceImage == nullptr) return;
    uint8_t patchPixels[kPatch][kPatch], workPixels[kPatch][kPatch] = {};
    uint8_t* patch[kPatch];
    uint8_t* work[kPatch];
    for (int r = 0; r < kPatch; ++r) patch[r] = patchPixels[r], work[r] = workPixels[r];
    for (int i = 0; i < n; ++i) {
        if (dir[i] < 0) continue;
        const int a = (240 - dir[i] % 240) % 240;
        const int64_t s = sin_x10E4[a], c = cos_x10E4[a];
        for (int r = 0; r < kPatch; ++r)
            for (int k = 0; k < kPatch; ++k) {
                const int64_t u = k - kPatch / 2, v = r - kPatch / 2;
                const int64_t sx = x[i] + (u * c + v * s) / 10000;
                const int64_t sy = y[i] + (v * c - u * s) / 10000;
                patch[r][k] = sx < 0 || sy < 0 || sx >= width || sy >= height ? 255 : sourceImage[sy][sx];
            }
        Putty1FTR1(patch, work, kPatch, kPatch);
        if (GetFtrQuality(patch, work, kPatch) == 1) dir[i] = kLowContrastMark;
    }
}

void EliminateBadMinutiae(MinutiaList* list) {
    const int n = std::clamp(list->count, 0, kMaxMinutiae);
    int kept = 0;
    for (int i = 0; i < n; ++i) {
        if (list->direction[i] < 0) continue;
        list->x[kept] = list->x[i];
        list->y[kept] = list->y[i];
        list->direction[kept] = list->direction[i];
        list->kind[kept] = list->kind[i];
        list->curvature[kept] = list->curvature[i];
        ++kept;
    }
    list->count = kept;
}

}  // namespace mnt
