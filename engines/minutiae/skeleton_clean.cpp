// Repairs of the skeleton before minutiae are read: short gaps between ridge endings that continue
// each other are bridged, small closed loops ("eyes") and short bridges between bifurcations opened.
#include "engines/minutiae/skeleton_clean.h"

#include <algorithm>
#include <cstdlib>

#include "engines/minutiae/geometry.h"
#include "engines/minutiae/skeleton.h"

namespace mnt {
namespace {

using detail::Point;

constexpr int kLineTrace = 10;
constexpr int kLineTraceMinimum = 4;
constexpr int kGapReach = 15;
constexpr int kEyeMargin = 21;

// Difference of two full directions folded into 0..120.
int Folded(int a, int b) {
    const int d = std::abs(a - b);
    return d >= 120 ? 240 - d : d;
}

// Pixels from the start towards the end, the end excluded: one step a pixel along the longer axis,
// the other coordinate following an accumulator in hundredths. Stops when `visit` returns true.
template <typename Visit>
bool WalkLine(int x0, int y0, int x1, int y1, Visit visit) {
    const int dx = x1 - x0, dy = y1 - y0;
    const int ax = std::abs(dx), ay = std::abs(dy);
    if (ax == 0 && ay == 0) return false;
    const bool alongX = ax >= ay;
    const int steps = alongX ? ax : ay;
    const int step = (alongX ? dx : dy) > 0 ? 1 : -1;
    const int gain = 100 * (alongX ? dy : dx) / steps;
    int x = x0, y = y0, acc = 0;
    for (int i = 0; i < steps; ++i) {
        if (visit(x, y)) return true;
        int& along = alongX ? x : y;
        int& across = alongX ? y : x;
        along += step;
        acc += gain;
        if (acc >= 50) {
            ++across;
            acc -= 100;
        } else if (acc <= -50) {
            --across;
            acc += 100;
        }
    }
    return false;
}

void SetBranch(ByteImage skeleton, const SkeletonBranch& b, uint8_t value, int first = 0, int last = -1) {
    if (last < 0) last = b.count;
    for (int i = first; i < last; ++i) skeleton[b.y[i]][b.x[i]] = value;
}

void SetAllBranches(ByteImage skeleton, const SkeletonNode& node, uint8_t value) {
    for (int b = 0; b < node.branches; ++b) SetBranch(skeleton, node.branch[b], value);
}

bool SameLast(const SkeletonBranch& a, const SkeletonBranch& b) {
    return a.count > 0 && b.count > 0 && a.x[a.count - 1] == b.x[b.count - 1] &&
           a.y[a.count - 1] == b.y[b.count - 1];
}

constexpr int kOthers[3][2] = {{1, 2}, {0, 2}, {0, 1}};

// Traces an ending for at most 10 pixels and restores it; its direction into the ridge, or -1
// when the trace is shorter than 4 pixels.
int EndingDirection(int width, int height, ByteImage skeleton, int x, int y, Point* recorded, int* count,
                    bool restore) {
    int wx = x, wy = y;
    *count = detail::TraceEnding(width, height, skeleton, wx, wy, kLineTrace, recorded);
    if (restore) detail::SetPixels(skeleton, recorded, *count, 0);
    return *count < kLineTraceMinimum ? -1 : ComputeLineDirection(x, y, wx, wy);
}

}  // namespace

void Line(int x0, int y0, int x1, int y1, ByteImage skeleton) {
    skeleton[y1][x1] = 0;
    WalkLine(x0, y0, x1, y1, [&](int x, int y) {
        skeleton[y][x] = 0;
        return false;
    });
}

int PixelOnLine(int x0, int y0, int x1, int y1, const ByteImage skeleton) {
    if (x0 == x1 && y0 == y1) return 1;
    return WalkLine(x0, y0, x1, y1,
                    [&](int x, int y) { return (x != x0 || y != y0) && skeleton[y][x] == 0; })
               ? 1
               : 0;
}

void EliminateLines(int width, int height, ByteImage skeleton, const ByteImage directions) {
    Point own[kLineTrace + 2 * (kGapReach + 1) + 2], other[kLineTrace];
    for (int y = 1; y < height - 1; ++y)
        for (int x = 1; x < width - 1; ++x) {
            // Background pixels (most of them) have no transition count; tested here without a call.
            if (skeleton[y][x] != 0 || (directions[y][x] & 0x80) != 0 || GetTransitionCount(skeleton, y, x) != 1)
                continue;
            int count = 0;
            const int dirE = EndingDirection(width, height, skeleton, x, y, own, &count, false);
            if (dirE < 0) {
                detail::SetPixels(skeleton, own, count, 0);
                continue;
            }
            bool found = false;
            const int yEnd = std::min(y + kGapReach, height - 2), xEnd = std::min(x + kGapReach, width - 2);
            for (int cy = std::max(1, y - kGapReach); cy <= yEnd && !found; ++cy)
                for (int cx = std::max(1, x - kGapReach); cx <= xEnd; ++cx) {
                    if (skeleton[cy][cx] != 0 || GetTransitionCount(skeleton, cy, cx) != 1) continue;
                    if (PixelOnLine(x, y, cx, cy, skeleton) != 0) continue;
                    const int dirEC = ComputeLineDirection(x, y, cx, cy);
                    if (Folded(dirEC, dirE) < 110) continue;
                    int otherCount = 0;
                    const int dirC = EndingDirection(width, height, skeleton, cx, cy, other, &otherCount, true);
                    if (dirC < 0) continue;
                    const int back = dirEC + 120 >= 240 ? dirEC - 120 : dirEC + 120;
                    if (Folded(dirC, back) <= 109) continue;
                    WalkLine(x, y, cx, cy, [&](int px, int py) {
                        own[count++] = {px, py};
                        return false;
                    });
                    found = true;
                    break;
                }
            detail::SetPixels(skeleton, own, count, 0);
        }
}

void GetNode(ByteImage skeleton, int width, int height, int x, int y, SkeletonNode* node, int restore) {
    node->x = x;
    node->y = y;
    node->branches = 3;
    for (auto& b : node->branch) {
        b.count = 0;
        b.status = kBranchStopped;
        b.direction = 255;
    }
    for (int b = 0; b < 3; ++b) {
        SkeletonBranch& branch = node->branch[b];
        int px = x, py = y;
        Point blanked[2] = {};
        uint8_t saved[2] = {};
        bool blanking = false;
        auto unblank = [&] {
            if (!blanking) return;
            for (int i = 0; i < 2; ++i) skeleton[blanked[i].y][blanked[i].x] = saved[i];
            blanking = false;
        };
        bool noBranch = false;
        for (int step = 0;; ++step) {
            if (py < 2 || py > height - 3 || px < 2 || px > width - 3) {
                branch.status = kBranchBranches;
                break;
            }
            const int t = detail::NeighbourTransitions(skeleton, py, px);
            if (step == 0 && t == 0) {
                noBranch = true;
                break;
            }
            branch.x[branch.count] = px;
            branch.y[branch.count] = py;
            ++branch.count;
            bool meets = false;
            for (int e = 0; e < b && !meets; ++e)
                for (int i = 2; i < node->branch[e].count; ++i)
                    if (node->branch[e].x[i] == px && node->branch[e].y[i] == py) {
                        meets = true;
                        break;
                    }
            if (meets) {
                skeleton[py][px] = 255;
                branch.status = kBranchMeets;
                break;
            }
            if (step >= 2 && t != 1) {
                // The pixel stays ridge so that a later branch can meet it.
                branch.status = t == 0 ? kBranchStopped : t == 2 ? kBranchMeets : kBranchBranches;
                break;
            }
            // Two direct neighbours of the node at right angles: a branch leaving through one
            // also touches the other, so the second step must not see it.
            bool corner = false;
            if (step == 0) {
                const bool up = skeleton[y - 1][x] == 0, right = skeleton[y][x + 1] == 0;
                const bool down = skeleton[y + 1][x] == 0, left = skeleton[y][x - 1] == 0;
                corner = (up && right) || (right && down) || (down && left) || (left && up);
            }
            skeleton[py][px] = 255;
            const int fromX = px, fromY = py;
            const bool moved = detail::NextRidgePixel(skeleton, px, py);
            if (step == 1) unblank();
            if (!moved) {
                branch.status = kBranchStopped;
                break;
            }
            if (step == 0 && corner && (px == fromX || py == fromY)) {
                if (px == fromX) blanked[0] = {x - 1, y}, blanked[1] = {x + 1, y};
                else blanked[0] = {x, y - 1}, blanked[1] = {x, y + 1};
                for (int i = 0; i < 2; ++i) {
                    saved[i] = skeleton[blanked[i].y][blanked[i].x];
                    skeleton[blanked[i].y][blanked[i].x] = 255;
                }
                blanking = true;
            }
            if (branch.count == kNodeTrace) {
                branch.status = kBranchComplete;
                break;
            }
        }
        unblank();
        if (noBranch) {
            node->branches = b;
            break;
        }
    }
    SetAllBranches(skeleton, *node, restore != 0 ? 0 : 255);
    for (int b = 0; b < node->branches; ++b) {
        SkeletonBranch& branch = node->branch[b];
        if (branch.count > 0)
            branch.direction = ComputeLineDirection(x, y, branch.x[branch.count - 1], branch.y[branch.count - 1]);
    }
    if (node->branches == 3) {
        node->angle[0] = Folded(node->branch[0].direction, node->branch[1].direction);
        node->angle[1] = Folded(node->branch[1].direction, node->branch[2].direction);
        node->angle[2] = Folded(node->branch[0].direction, node->branch[2].direction);
    } else {
        node->angle[0] = node->angle[1] = node->angle[2] = 255;
    }
}

int32_t NodeType(const SkeletonNode* node) {
    const int32_t* d = node->angle;
    int largest = d[1] > d[0] ? 1 : 0;
    if (d[2] > d[largest]) largest = 2;
    const int o1 = d[kOthers[largest][0]], o2 = d[kOthers[largest][1]];
    const int l = d[largest];
    if (l > 110 && o1 >= 51 && o1 <= 69 && o2 >= 51 && o2 <= 69) return 1;
    if (l <= 110 && l < 94) return -1;
    return o1 >= 31 && o1 <= 92 && o2 >= 31 && o2 <= 92 ? 2 : -1;
}

void EliminateEye(int width, int height, ByteImage skeleton, int x, int y) {
    if (GetTransitionCount(skeleton, y, x) != 3) return;
    SkeletonNode a;
    GetNode(skeleton, width, height, x, y, &a, 0);
    if (a.branches < 3) {
        SetAllBranches(skeleton, a, 0);
        return;
    }
    if (a.branch[0].status != kBranchMeets && a.branch[1].status != kBranchMeets &&
        a.branch[2].status != kBranchMeets) {
        SetAllBranches(skeleton, a, 0);
        return;
    }
    // Two branches ending at one pixel enclose an eye: open it by dropping the longer side.
    static constexpr int kPairs[3][3] = {{0, 1, 0}, {1, 2, 1}, {0, 2, 2}};  // pair, erased on a tie
    int erased = -1;
    for (const auto& pair : kPairs) {
        const SkeletonBranch& p = a.branch[pair[0]];
        const SkeletonBranch& q = a.branch[pair[1]];
        if (!SameLast(p, q)) continue;
        erased = p.count > q.count ? pair[0] : q.count > p.count ? pair[1] : pair[2];
    }
    if (erased >= 0) {
        for (int b = 0; b < 3; ++b)
            if (b != erased) SetBranch(skeleton, a.branch[b], 0);
        return;
    }

    SetAllBranches(skeleton, a, 0);
    int shortBranches = 0;
    for (const auto& branch : a.branch) shortBranches += branch.count < 11;
    for (int b = 0; b < 3; ++b) {
        const SkeletonBranch& ab = a.branch[b];
        if (ab.status != kBranchMeets || ab.count == 0) continue;
        SkeletonNode nb;
        GetNode(skeleton, width, height, ab.x[ab.count - 1], ab.y[ab.count - 1], &nb, 1);
        if (nb.branches < 3) return;

        // Triangle of three nodes: replace it by three lines to its centre.
        if (shortBranches >= 2) {
            for (int c : kOthers[b]) {
                const SkeletonBranch& ac = a.branch[c];
                for (int k = 0; k < 3; ++k) {
                    if (!SameLast(ac, nb.branch[k])) continue;
                    SetBranch(skeleton, ab, 255);
                    SetBranch(skeleton, ac, 255);
                    SetBranch(skeleton, nb.branch[k], 255);
                    const int px = ab.x[ab.count - 1], py = ab.y[ab.count - 1];
                    const int qx = ac.x[ac.count - 1], qy = ac.y[ac.count - 1];
                    const int mx = (px + qx + x) / 3, my = (py + qy + y) / 3;
                    Line(mx, my, px, py, skeleton);
                    Line(mx, my, qx, qy, skeleton);
                    Line(mx, my, x, y, skeleton);
                    return;
                }
            }
        }

        int k = 0;
        const int mx = ab.x[ab.count / 2], my = ab.y[ab.count / 2];
        for (int j = 0; j < 3; ++j) {
            bool holds = false;
            for (int i = 0; i < nb.branch[j].count && !holds; ++i)
                holds = nb.branch[j].x[i] == mx && nb.branch[j].y[i] == my;
            if (holds) {
                k = j;
                break;
            }
        }
        if (ab.count >= 15) continue;
        auto reconnect = [&] {
            for (int o : kOthers[b]) SetBranch(skeleton, a.branch[o], 0, 0, std::min(3, a.branch[o].count));
            for (int o : kOthers[k]) SetBranch(skeleton, nb.branch[o], 0);
        };
        if (NodeType(&a) == 2 && NodeType(&nb) == 2) {
            SetBranch(skeleton, ab, 255);
            reconnect();
            return;
        }
        const int (&ao)[2] = kOthers[b];
        const int (&bo)[2] = kOthers[k];
        if (ab.count < 6 && Folded(a.branch[ao[0]].direction, a.branch[ao[1]].direction) < 41 &&
            Folded(nb.branch[bo[0]].direction, nb.branch[bo[1]].direction) < 41) {
            if (ab.count > 2) SetBranch(skeleton, ab, 255, 1, ab.count - 1);
            reconnect();
            return;
        }
    }
}

void EliminateEyes(int width, int height, ByteImage skeleton, const ByteImage directions) {
    for (int y = kEyeMargin; y < height - kEyeMargin; ++y)
        for (int x = kEyeMargin; x < width - kEyeMargin; ++x)
            if (skeleton[y][x] == 0 && (directions[y][x] & 0x80) == 0) EliminateEye(width, height, skeleton, x, y);
}

}  // namespace mnt
