// Repairs of the skeleton before minutiae are read: short gaps between ridge endings that continue
// each other are bridged, small closed loops ("eyes") and short bridges between bifurcations opened.
#pragma once

#include <cstdint>

#include "engines/minutiae/byte_image.h"

namespace mnt {

constexpr int kNodeTrace = 30;

// End status of a branch traced by GetNode.
enum : int32_t {
    kBranchStopped = 0,    // reached an ending (or could go no further)
    kBranchComplete = 1,   // 30 pixels traced
    kBranchMeets = 2,      // met an earlier branch of the node, or another line joining its own
    kBranchBranches = -1,  // reached a branching of three or more, or the trace limits
};

struct SkeletonBranch {
    int32_t x[kNodeTrace];
    int32_t y[kNodeTrace];
    int32_t count;
    int32_t status;
    int32_t direction;  // 0..239, 255 when the branch does not exist
};

struct SkeletonNode {
    int32_t x;
    int32_t y;
    SkeletonBranch branch[3];
    int32_t angle[3];  // folded differences of branches (0, 1), (1, 2), (0, 2); 255 unless three branches
    int32_t branches;
};

void EliminateLines(int width, int height, ByteImage skeleton, const ByteImage directions);
void EliminateEyes(int width, int height, ByteImage skeleton, const ByteImage directions);
void EliminateEye(int width, int height, ByteImage skeleton, int x, int y);
// Traces the branches of the node at (x, y); with `restore` 0 their pixels are left erased.
void GetNode(ByteImage skeleton, int width, int height, int x, int y, SkeletonNode* node, int restore);
// 1 for a T-shaped node, 2 for a Y-shaped one, else -1.
int32_t NodeType(const SkeletonNode* node);
// Digital lines: Line draws ridge pixels from (x0, y0) to (x1, y1); PixelOnLine reports a ridge
// pixel between the two points (the start excluded, the end not reached).
void Line(int x0, int y0, int x1, int y1, ByteImage skeleton);
int PixelOnLine(int x0, int y0, int x1, int y1, const ByteImage skeleton);

}  // namespace mnt
