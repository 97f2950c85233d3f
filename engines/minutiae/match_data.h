// Per-context work area of the comparison, made on first use and kept with the context.
#pragma once

#include <cstdint>
#include <cstdlib>

#include "engines/minutiae/features.h"

namespace mnt {

// Room for lines of one record. The line limits are parameters that can be set above it, so
// every use bounds them by this capacity (the parameter still reads back what was set).
constexpr int kMaxGraphLines = 5000;
constexpr int kAngleBuckets = 240;
constexpr int kTranslationBins = 2048;

// A line between two minutiae of one set. Angles: direction 0..119 (undirected); the two end
// angles are the line's directed direction less the end minutia's direction, 0..239.
struct GraphLine {
    int32_t length;
    int32_t direction;
    int32_t firstAngle;
    int32_t secondAngle;
    int32_t first;
    int32_t second;
};

// A growable array of trivially copyable values. A failed enlargement keeps the old array and
// marks it full until the next Clear, so nothing more is appended in that comparison.
template <typename T>
struct GrowArray {
    T* data = nullptr;
    uint32_t count = 0;
    uint32_t capacity = 0;
    bool full = false;

    bool Init(uint32_t initial) {
        data = static_cast<T*>(std::malloc(sizeof(T) * initial));
        capacity = data != nullptr ? initial : 0;
        return data != nullptr;
    }
    void Clear() {
        count = 0;
        full = false;
    }
    bool Reserve(uint32_t wanted) {
        if (wanted <= capacity) return true;
        if (full) return false;
        void* grown = std::realloc(data, sizeof(T) * size_t(wanted));
        if (grown == nullptr) {
            full = true;
            return false;
        }
        data = static_cast<T*>(grown);
        capacity = wanted;
        return true;
    }
    // Grows by at least `step`; by half the capacity when that is more, so that large sets do
    // not copy the array a thousand times.
    bool Push(const T& value, uint32_t step) {
        if (count == capacity) {
            const uint32_t more = capacity / 2 > step ? capacity / 2 : step;
            if (!Reserve(capacity + more)) return false;
        }
        data[count++] = value;
        return true;
    }
    void Release() {
        std::free(data);
        data = nullptr;
        count = capacity = 0;
    }
};

// One side of a comparison: the decompressed set, its lines bucketed by first-end angle
// (bucket b holds bucketLines[bucketStart[b] .. bucketStart[b + 1] - 1], in the order the
// lines were made; the vote loop reads length and end angles from the bucket-ordered copies
// beside it, so that it walks memory in sequence), and the core and
// centre used for weighting and rotation.
struct FeatureMatchRecord {
    FeatureRecord features;
    GraphLine lines[kMaxGraphLines];
    uint16_t bucketStart[kAngleBuckets + 1];
    uint16_t bucketLines[kMaxGraphLines];
    int16_t bucketLength[kMaxGraphLines];
    uint8_t bucketFirstAngle[kMaxGraphLines];
    uint8_t bucketSecondAngle[kMaxGraphLines];
    uint32_t lineCount;
    uint32_t longestLine;  // test side: one more than its longest line
    uint32_t coreIndex;    // all ones when there is not exactly one core
    uint32_t hasCore;
    // Sized for every minutia a set can hold (an older table had 1000 entries for sets of up
    // to 1024 minutiae, so the last ones read past it).
    uint32_t coreDistance[kMaxMinutiae];
    int32_t centreX;
    int32_t centreY;
};

// A test line and a sample line that agree. weight 0..254; 255 marks a pair used by the group
// consolidation.
struct CandidatePair {
    uint8_t weight;
    uint16_t sampleLine;
    uint16_t testLine;
};

struct LinePairTriple {
    uint16_t length;
    uint16_t first;
    uint16_t second;
};

struct MatchDataBlock {
    FeatureMatchRecord test;
    FeatureMatchRecord second;
    FeatureMatchRecord sample;
    // Test-line work area: candidate pairs of minutiae, their order after sorting, and a count
    // per length for the counting sort.
    GrowArray<LinePairTriple> triples;
    GrowArray<uint32_t> tripleOrder;
    GrowArray<uint32_t> lengthCounts;
    GrowArray<CandidatePair> pairs;
    // Indices into `pairs`; 32 bits, since large sets make more than 65535 pairs.
    GrowArray<uint32_t> pairIndices;
    // Consolidation work: group members and per-line marks of the current group.
    GrowArray<uint32_t> groupMembers;
    // Listed pairs by test line and by sample line, and the two queues of the group growth.
    GrowArray<uint32_t> groupIndex;
    GrowArray<uint32_t> heapNow;
    GrowArray<uint32_t> heapNext;
    uint32_t testLineMark[kMaxGraphLines];
    uint32_t sampleLineMark[kMaxGraphLines];
    uint32_t markGeneration;
    // Which lines of a bucket run pass the vote tests.
    uint8_t voteFlags[kMaxGraphLines];
    // Zero outside votedLow..votedHigh, the bins the last comparison voted into.
    int32_t votedLow;
    int32_t votedHigh;
    uint32_t translationX[kTranslationBins];
    uint32_t translationY[kTranslationBins];
    uint32_t translationWork[kTranslationBins];
    uint32_t rotation[kAngleBuckets];
    uint8_t rotationMask[kAngleBuckets];
    // W0 - ComputeDistance3D(dL, dA1, dA2) for the tolerances it was built for.
    GrowArray<int32_t> voteWeights;
    int32_t voteWeightsLength;
    int32_t voteWeightsAngle;
    int32_t voteWeightsBase;
};

// Null when any allocation fails (everything made so far is released).
MatchDataBlock* CreateMatchData();
void FreeMatchData(MatchDataBlock* block);  // null is ignored

}  // namespace mnt
