// Minutiae matching: lines between minutiae, rotation and translation votes, and the score.
#include "engines/minutiae/matching.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>
#include <functional>

#include "engines/minutiae/context.h"
#include "engines/minutiae/geometry.h"

namespace mnt {
namespace {

constexpr uint32_t kNoCore = 0xFFFFFFFFu;
constexpr uint8_t kUsedPair = 255;
constexpr uint8_t kMaxPairWeight = 254;
constexpr int kMaxGroup = 255;
constexpr int32_t kTranslationLimit = 1024;
// ComputeDistance never returns more than 8193, so no line is longer.
constexpr int32_t kLongestDistance = 8193;
constexpr uint32_t kTaken = 0xFFFFFFFFu;

int32_t Mod240(int32_t v) {
    v %= 240;
    return v < 0 ? v + 240 : v;
}

int32_t Abs(int32_t v) { return v < 0 ? -v : v; }

// Circular difference of two full angles 0..239, 0..120.
int32_t AngleDiff240(int32_t a, int32_t b) {
    const int32_t d = a > b ? a - b : b - a;
    return d > 120 ? 240 - d : d;
}

int32_t MinutiaCount(const FeatureRecord& record) { return std::clamp(record.minutiae.count, 0, kMaxMinutiae); }

bool HasCurvature(int32_t curvature) { return curvature >= 0 && curvature < 255; }

int32_t ClampWeight(int64_t w) { return w > INT32_MAX ? INT32_MAX : int32_t(w); }

// product / divisor for a non-negative product and a positive divisor, in 32 bits when both fit
// (the usual case; a 64-bit division costs several times more).
int64_t Quotient(int64_t product, int64_t divisor) {
    if (product <= INT32_MAX && divisor <= INT32_MAX) return int32_t(product) / int32_t(divisor);
    return product / divisor;
}

// raw x 2 up to the pivot line count, raw x scale / n beyond it.
int64_t NormaliseRaw(int64_t raw, uint32_t lineCount, const MntContext* c) {
    if (int64_t(lineCount) <= c->lineCountPivot) return raw * 2;
    return raw * c->lineCountScale / lineCount;
}

int64_t ScoreOf(int64_t raw, const MntContext* c) { return (c->scoreOffset + raw * c->scoreSlope + 500) / 1000; }

void BuildBuckets(FeatureMatchRecord* record) {
    uint32_t counts[kAngleBuckets] = {};
    for (uint32_t k = 0; k < record->lineCount; ++k) ++counts[record->lines[k].firstAngle];
    uint32_t start = 0;
    for (int b = 0; b < kAngleBuckets; ++b) {
        record->bucketStart[b] = uint16_t(start);
        start += counts[b];
        counts[b] = record->bucketStart[b];
    }
    record->bucketStart[kAngleBuckets] = uint16_t(start);
    for (uint32_t k = 0; k < record->lineCount; ++k) {
        const GraphLine& line = record->lines[k];
        const uint32_t at = counts[line.firstAngle]++;
        record->bucketLines[at] = uint16_t(k);
        record->bucketLength[at] = int16_t(line.length);
        record->bucketFirstAngle[at] = uint8_t(line.firstAngle);
        record->bucketSecondAngle[at] = uint8_t(line.secondAngle);
    }
}

// floor(sqrt(s)) for the squared distances of most minutia pairs.
constexpr int32_t kRootTableSize = 1 << 15;
const uint8_t* SmallRoots() {
    static const auto* table = [] {
        static uint8_t t[kRootTableSize];
        int32_t r = 0;
        for (int32_t v = 0; v < kRootTableSize; ++v) {
            while ((r + 1) * (r + 1) <= v) ++r;
            t[v] = uint8_t(r);
        }
        return t;
    }();
    return table;
}

}  // namespace

int32_t PairDistance(int32_t a, int32_t b) {
    if (a > 8192 || b > 8192) return kLongestDistance;
    const int64_t s = int64_t(a) * a + int64_t(b) * b;
    if (s < kRootTableSize) return SmallRoots()[s] | 1;
    if (s >= (int64_t(1) << 26)) return kLongestDistance;
    int64_t r = int64_t(std::sqrt(double(s)));
    while (r * r > s) --r;
    while ((r + 1) * (r + 1) <= s) ++r;
    return int32_t(r | 1);
}

namespace {

// Which pairs the line builders keep, lo <= PairDistance < hi, decided on the squared distance
// so that only kept pairs take a square root. Bounds near the distance limit use the distance.
class LengthRange {
 public:
    LengthRange(int64_t lo, int64_t hi) : exact_(lo > kFastLimit || hi > kFastLimit), lo_(lo), hi_(hi) {
        if (!exact_) {
            low_ = SmallestSquare(lo);
            high_ = SmallestSquare(hi);
        }
    }
    // The length of the pair, or -1 when it is not kept.
    int32_t Length(int32_t a, int32_t b) const {
        if (exact_) {
            const int32_t length = PairDistance(a, b);
            return length >= lo_ && length < hi_ ? length : -1;
        }
        if (a > 8192 || b > 8192) return -1;  // 8193, beyond hi
        const int64_t s = int64_t(a) * a + int64_t(b) * b;
        if (s < low_ || s >= high_) return -1;
        return PairDistance(a, b);
    }

 private:
    static constexpr int64_t kFastLimit = 8000;
    // The smallest s whose distance reaches t: r * r for the smallest r with (r | 1) >= t.
    static int64_t SmallestSquare(int64_t t) {
        int64_t r = t > 2 ? t - 2 : 0;
        while ((r | 1) < t) ++r;
        return r * r;
    }
    bool exact_;
    int64_t lo_, hi_;
    int64_t low_ = 0, high_ = 0;
};

void FillCoreDistances(FeatureMatchRecord* record) {
    const FeatureRecord& f = record->features;
    const int32_t cx = f.singularPoints.x[record->coreIndex];
    const int32_t cy = f.singularPoints.y[record->coreIndex];
    const int n = MinutiaCount(f);
    for (int i = 0; i < n; ++i)
        record->coreDistance[i] = uint32_t(ComputeDistance(Abs(f.minutiae.x[i] - cx), Abs(f.minutiae.y[i] - cy)));
}

// W0 - ComputeDistance3D(dL, dA1, dA2) for every difference below the tolerances, kept with the
// match data; 0 entries when the table would be too large (then computed per vote).
const int32_t* VoteWeights(MatchDataBlock* block, int32_t lengthTol, int32_t angleTol, int32_t base) {
    if (block->voteWeightsLength == lengthTol && block->voteWeightsAngle == angleTol &&
        block->voteWeightsBase == base && block->voteWeights.count > 0)
        return block->voteWeights.data;
    block->voteWeights.Clear();
    block->voteWeightsLength = block->voteWeightsAngle = block->voteWeightsBase = -1;
    const int64_t size = int64_t(lengthTol) * angleTol * angleTol;
    if (size <= 0 || size > 65536 || !block->voteWeights.Reserve(uint32_t(size))) return nullptr;
    int32_t* table = block->voteWeights.data;
    for (int32_t l = 0; l < lengthTol; ++l)
        for (int32_t a = 0; a < angleTol; ++a)
            for (int32_t b = 0; b < angleTol; ++b)
                table[(l * angleTol + a) * angleTol + b] = base - ComputeDistance3D(l, a, b);
    block->voteWeights.count = uint32_t(size);
    block->voteWeightsLength = lengthTol;
    block->voteWeightsAngle = angleTol;
    block->voteWeightsBase = base;
    return table;
}

struct Rotator {
    int32_t s, c;
    explicit Rotator(int32_t index) : s(sin_x10E4[index]), c(cos_x10E4[index]) {}
};

void RotationHistogramSmooth(const uint32_t* in, uint32_t* out) {
    for (int k = 0; k < kAngleBuckets; ++k) {
        uint32_t sum = 0;
        for (int d = -4; d <= 4; ++d) sum += in[Mod240(k + d)];
        out[k] = sum;
    }
}

// The rotation that brings the sample onto the test, 0..239 (230 when no bin stands out).
int32_t RotationHistogramProcessing(MatchDataBlock* block) {
    uint32_t smooth[kAngleBuckets];
    RotationHistogramSmooth(block->rotation, smooth);
    int32_t peak = 0;
    uint32_t peakValue = 0;
    for (int k = 0; k < kAngleBuckets; ++k) {
        if (block->rotationMask[k] && smooth[k] > peakValue) {
            peak = k;
            peakValue = smooth[k];
        }
    }
    const uint32_t half = peakValue / 2;
    int64_t sumW = 0, sumWP = 0;
    for (int i = -10; i <= 10; ++i) {
        const uint32_t v = smooth[Mod240(peak + i)];
        if (v > half && v >= 21) {
            const int64_t w = int64_t(v) - half;
            sumW += w;
            sumWP += w * (peak + i + 10);
        }
    }
    if (sumW == 0) return 230;
    int32_t r = int32_t((100 * sumWP / sumW + 50) / 100) - 10;
    if (r < 0) r += 240;
    if (r > 239) r -= 240;
    return r;
}

void RotateSample(FeatureMatchRecord* sample, int32_t r) {
    const Rotator rot((240 - r) % 240);
    MinutiaList& m = sample->features.minutiae;
    const int n = MinutiaCount(sample->features);
    const int32_t cx = sample->centreX, cy = sample->centreY;
    for (int i = 0; i < n; ++i) {
        const int64_t px = m.x[i] - cx, py = m.y[i] - cy;
        m.x[i] = cx + RoundDiv10000(rot.c * px + rot.s * py);
        m.y[i] = cy + RoundDiv10000(rot.c * py - rot.s * px);
        m.direction[i] = Mod240(m.direction[i] + r);
    }
    for (uint32_t k = 0; k < sample->lineCount; ++k)
        sample->lines[k].direction = Mod240(sample->lines[k].direction + r) % 120;
}

// The shift of one translation histogram: the weighted mean of the bins near the peak that
// exceed two thirds of it, less half the histogram. Votes lie in bins lo..hi (lo > hi: none), so
// the 10-bin sums are zero outside lo-4 .. hi+5 and only that range is summed.
int32_t TranslationHistogramProcessing(const uint32_t* histogram, int32_t lo, int32_t hi, uint32_t* work) {
    constexpr int n = kTranslationBins;
    if (lo > hi) return 0;
    const int first = std::max(lo - 4, 5), last = std::min(hi + 5, n - 6);
    if (first > last) return 0;  // votes only in the last bins, which no sum reaches
    // work[j] = histogram[j-5] + ... + histogram[j+4]
    uint32_t running = 0;
    for (int j = first - 5; j < first + 5; ++j) running += histogram[j];
    for (int j = first; j <= last; ++j) {
        work[j] = running;
        running += histogram[j + 5];
        running -= histogram[j - 5];
    }
    int m = first;
    for (int j = first + 1; j <= last; ++j)
        if (work[j] > work[m]) m = j;
    if (work[m] == 0) return 0;  // every bin 0: none exceeds two thirds of the peak
    const uint32_t limit = uint32_t(uint64_t(work[m]) * 2 / 3);
    int64_t sum = 0, weighted = 0;
    for (int j = std::max({m - 10, 0, first}); j < std::min({m + 10, n - 1, last + 1}); ++j) {
        if (work[j] > limit) {
            sum += work[j];
            weighted += int64_t(work[j]) * j;
        }
    }
    if (sum == 0) return 0;
    return int32_t(weighted / sum) - n / 2;
}

// Flags the sample lines whose length and end angles are within the tolerances of a test
// line's; returns how many.
uint32_t VoteTests(const int16_t* __restrict lengths, const uint8_t* __restrict firsts,
                   const uint8_t* __restrict seconds, int32_t count, int32_t tLength, int32_t tFirst, int32_t tSecond,
                   int32_t lengthTol, int32_t angleTol, uint8_t* __restrict flags) {
    uint32_t passed = 0;
    for (int32_t k = 0; k < count; ++k) {
        const int32_t dL = Abs(tLength - lengths[k]);
        const int32_t dA1 = AngleDiff240(tFirst, firsts[k]);
        const int32_t dA2 = AngleDiff240(tSecond, seconds[k]);
        const uint8_t ok = uint8_t((dL < lengthTol) & (dA1 < angleTol) & (dA2 < angleTol));
        flags[k] = ok;
        passed += ok;
    }
    return passed;
}

// The bins the translation votes went into.
struct VotedRange {
    int32_t lowX = kTranslationBins, highX = -1, lowY = kTranslationBins, highY = -1;
};

// Votes for the shift that brings both ends of the sample line onto the test line's, when the two
// ends agree on it and it is within 1024 pixels.
void AddTranslationHistogramValue(MatchDataBlock* block, const FeatureRecord& test, const GraphLine& t,
                                  const FeatureRecord& sample, const GraphLine& s, uint8_t weight, int32_t tolerance,
                                  VotedRange* voted) {
    const MinutiaList& tm = test.minutiae;
    const MinutiaList& sm = sample.minutiae;
    const int32_t dx1 = tm.x[t.first] - sm.x[s.first], dy1 = tm.y[t.first] - sm.y[s.first];
    const int32_t dx2 = tm.x[t.second] - sm.x[s.second], dy2 = tm.y[t.second] - sm.y[s.second];
    if (Abs(dx1 - dx2) >= tolerance || Abs(dy1 - dy2) >= tolerance) return;
    if (Abs(dx1) >= kTranslationLimit || Abs(dy1) >= kTranslationLimit || Abs(dx2) >= kTranslationLimit ||
        Abs(dy2) >= kTranslationLimit)
        return;
    const int32_t bx = (dx1 + dx2) / 2 + kTranslationBins / 2, by = (dy1 + dy2) / 2 + kTranslationBins / 2;
    block->translationX[bx] += weight;
    block->translationY[by] += weight;
    voted->lowX = std::min(voted->lowX, bx);
    voted->highX = std::max(voted->highX, bx);
    voted->lowY = std::min(voted->lowY, by);
    voted->highY = std::max(voted->highY, by);
}

// Both ends of the two lines within the position tolerance after alignment.
bool LineLocationSimilarity(const FeatureRecord& test, const GraphLine& t, const FeatureRecord& sample,
                            const GraphLine& s, int32_t tolerance) {
    const MinutiaList& a = test.minutiae;
    const MinutiaList& b = sample.minutiae;
    return Abs(a.x[t.first] - b.x[s.first]) < tolerance && Abs(a.y[t.first] - b.y[s.first]) < tolerance &&
           Abs(a.x[t.second] - b.x[s.second]) < tolerance && Abs(a.y[t.second] - b.y[s.second]) < tolerance;
}

void StorePair(MntVerifyRecord* record, int32_t testIndex, int32_t sampleIndex) {
    if (record->pairCount >= kMaxMinutiae) return;
    for (uint32_t k = 0; k < record->pairCount; ++k)
        if (record->firstIndices[k] == testIndex && record->secondIndices[k] == sampleIndex) return;
    record->firstIndices[record->pairCount] = uint16_t(testIndex);
    record->secondIndices[record->pairCount] = uint16_t(sampleIndex);
    ++record->pairCount;
}

// Sum over runs of consecutive listed pairs with the same test line of each run's largest weight.
int64_t SumOfRunMaxima(const MatchDataBlock* block, const uint32_t* list, uint32_t count) {
    int64_t raw = 0;
    uint32_t k = 0;
    while (k < count) {
        const uint16_t line = block->pairs.data[list[k]].testLine;
        uint8_t best = 0;
        for (; k < count && block->pairs.data[list[k]].testLine == line; ++k)
            best = std::max(best, block->pairs.data[list[k]].weight);
        raw += best;
    }
    return raw;
}

// Line groups: pairs joined through shared test or sample lines; each group adds the best
// weight per distinct line on its sparser side.
// Grows the group seeded at list[k] the way repeated passes over the list would: each pass
// takes, in list order, every remaining pair that shares a line with a member (members joined
// earlier in the same pass count), until a pass takes nothing or the group is full. This is
// the plain form, used when the index of the fast form cannot be made.
void GrowGroupByPasses(MatchDataBlock* block, uint32_t* list, uint32_t count, uint32_t k, uint32_t gen) {
    const CandidatePair* pairs = block->pairs.data;
    auto& members = block->groupMembers;
    bool capped = false, grew = true;
    while (grew && !capped) {
        grew = false;
        for (uint32_t q = k + 1; q < count && !capped; ++q) {
            if (list[q] == kTaken) continue;
            const CandidatePair& p = pairs[list[q]];
            if (block->testLineMark[p.testLine] != gen && block->sampleLineMark[p.sampleLine] != gen) continue;
            members.Push(list[q], 255);
            block->testLineMark[p.testLine] = gen;
            block->sampleLineMark[p.sampleLine] = gen;
            grew = true;
            // The member that fills the group stays on the list and may seed a later group.
            if (members.count >= kMaxGroup) capped = true;
            else list[q] = kTaken;
        }
    }
}

// Positions of the listed pairs by test line and by sample line, ascending.
struct LineIndex {
    const uint32_t* testHead;
    const uint32_t* testItems;
    const uint32_t* sampleHead;
    const uint32_t* sampleItems;
};

bool BuildLineIndex(MatchDataBlock* block, const uint32_t* list, uint32_t count, uint32_t testLines,
                    uint32_t sampleLines, LineIndex* index) {
    auto& a = block->groupIndex;
    const uint64_t need = uint64_t(testLines) + 1 + sampleLines + 1 + 2 * uint64_t(count);
    if (need > UINT32_MAX || !a.Reserve(uint32_t(need))) return false;
    if (!block->heapNow.Reserve(2 * count + 2) || !block->heapNext.Reserve(2 * count + 2)) return false;
    uint32_t* testHead = a.data;
    uint32_t* sampleHead = testHead + testLines + 1;
    uint32_t* testItems = sampleHead + sampleLines + 1;
    uint32_t* sampleItems = testItems + count;
    std::memset(testHead, 0, sizeof(uint32_t) * (testLines + 1));
    std::memset(sampleHead, 0, sizeof(uint32_t) * (sampleLines + 1));
    const CandidatePair* pairs = block->pairs.data;
    for (uint32_t q = 0; q < count; ++q) {
        ++testHead[pairs[list[q]].testLine + 1];
        ++sampleHead[pairs[list[q]].sampleLine + 1];
    }
    for (uint32_t t = 0; t < testLines; ++t) testHead[t + 1] += testHead[t];
    for (uint32_t t = 0; t < sampleLines; ++t) sampleHead[t + 1] += sampleHead[t];
    // Fill with running cursors, then restore the heads.
    for (uint32_t q = 0; q < count; ++q) {
        testItems[testHead[pairs[list[q]].testLine]++] = q;
        sampleItems[sampleHead[pairs[list[q]].sampleLine]++] = q;
    }
    for (uint32_t t = testLines; t > 0; --t) testHead[t] = testHead[t - 1];
    testHead[0] = 0;
    for (uint32_t t = sampleLines; t > 0; --t) sampleHead[t] = sampleHead[t - 1];
    sampleHead[0] = 0;
    *index = {testHead, testItems, sampleHead, sampleItems};
    return true;
}

// The same growth as GrowGroupByPasses, driven by the line index: the pairs a pass would take
// are the remaining ones on marked lines, taken in ascending position after the pass's cursor;
// those before it wait for the next pass.
void GrowGroupIndexed(MatchDataBlock* block, uint32_t* list, uint32_t k, uint32_t gen, const LineIndex& index) {
    const CandidatePair* pairs = block->pairs.data;
    auto& members = block->groupMembers;
    auto& now = block->heapNow;
    auto& next = block->heapNext;
    now.count = next.count = 0;
    const std::greater<uint32_t> later;
    uint32_t cursor = k;
    auto offer = [&](const uint32_t* items, uint32_t from, uint32_t to) {
        for (uint32_t i = from; i < to; ++i) {
            const uint32_t q = items[i];
            if (list[q] == kTaken) continue;
            auto& heap = q > cursor ? now : next;
            heap.data[heap.count++] = q;
            std::push_heap(heap.data, heap.data + heap.count, later);
        }
    };
    auto mark = [&](const CandidatePair& p) {
        if (block->testLineMark[p.testLine] != gen) {
            block->testLineMark[p.testLine] = gen;
            offer(index.testItems, index.testHead[p.testLine], index.testHead[p.testLine + 1]);
        }
        if (block->sampleLineMark[p.sampleLine] != gen) {
            block->sampleLineMark[p.sampleLine] = gen;
            offer(index.sampleItems, index.sampleHead[p.sampleLine], index.sampleHead[p.sampleLine + 1]);
        }
    };
    mark(pairs[members.data[0]]);
    for (;;) {
        if (now.count == 0) {
            if (next.count == 0) return;
            std::swap(now.data, next.data);
            std::swap(now.capacity, next.capacity);
            now.count = next.count;
            next.count = 0;
            std::make_heap(now.data, now.data + now.count, later);
            cursor = k;
        }
        std::pop_heap(now.data, now.data + now.count, later);
        const uint32_t q = now.data[--now.count];
        if (list[q] == kTaken) continue;
        cursor = q;
        members.Push(list[q], 255);
        const CandidatePair& p = pairs[list[q]];
        // The member that fills the group stays on the list and may seed a later group.
        if (members.count >= kMaxGroup) return;
        list[q] = kTaken;
        mark(p);
    }
}

int64_t ConsolidateLineGroups(MatchDataBlock* block, uint32_t* list, uint32_t count, uint32_t testLines,
                              uint32_t sampleLines) {
    CandidatePair* pairs = block->pairs.data;
    auto& members = block->groupMembers;
    LineIndex index{};
    const bool indexed = BuildLineIndex(block, list, count, testLines, sampleLines, &index);
    int64_t raw = 0;
    for (uint32_t k = 0; k < count; ++k) {
        if (list[k] == kTaken) continue;
        const uint32_t gen = ++block->markGeneration;
        members.Clear();
        members.Push(list[k], 255);
        list[k] = kTaken;
        if (indexed) {
            GrowGroupIndexed(block, list, k, gen, index);
        } else {
            block->testLineMark[pairs[members.data[0]].testLine] = gen;
            block->sampleLineMark[pairs[members.data[0]].sampleLine] = gen;
            GrowGroupByPasses(block, list, count, k, gen);
        }
        if (members.count < 4) {
            uint8_t best = 0;
            for (uint32_t m = 0; m < members.count; ++m) best = std::max(best, pairs[members.data[m]].weight);
            raw += best;
            continue;
        }
        uint32_t distinctTest = 0, distinctSample = 0;
        const uint32_t countGen = ++block->markGeneration;
        for (uint32_t m = 0; m < members.count; ++m) {
            const CandidatePair& p = pairs[members.data[m]];
            if (block->testLineMark[p.testLine] != countGen) {
                block->testLineMark[p.testLine] = countGen;
                ++distinctTest;
            }
            if (block->sampleLineMark[p.sampleLine] != countGen) {
                block->sampleLineMark[p.sampleLine] = countGen;
                ++distinctSample;
            }
        }
        const bool keyIsSample = distinctTest > distinctSample;
        const uint32_t rounds = std::min(distinctTest, distinctSample);
        auto key = [&](uint32_t m) {
            const CandidatePair& p = pairs[members.data[m]];
            return keyIsSample ? p.sampleLine : p.testLine;
        };
        for (uint32_t round = 0; round < rounds; ++round) {
            uint32_t first = 0;
            while (first < members.count && pairs[members.data[first]].weight == kUsedPair) ++first;
            if (first == members.count) break;
            const uint16_t value = key(first);
            uint8_t best = 0;
            for (uint32_t m = first; m < members.count; ++m) {
                CandidatePair& p = pairs[members.data[m]];
                if (p.weight == kUsedPair || key(m) != value) continue;
                best = std::max(best, p.weight);
                p.weight = kUsedPair;
            }
            raw += best;
        }
    }
    return raw;
}

}  // namespace

int32_t RoundDiv10000(int64_t v) { return int32_t(v >= 0 ? (v + 5000) / 10000 : -((-v + 5000) / 10000)); }

void FillLineData(const FeatureRecord& record, int i, int j, GraphLine* line) {
    const MinutiaList& m = record.minutiae;
    const int32_t d = ComputeLineDirection(m.x[i], m.y[i], m.x[j], m.y[j]);
    line->length = PairDistance(Abs(m.x[j] - m.x[i]), Abs(m.y[j] - m.y[i]));
    line->direction = d > 119 ? d - 120 : d;
    line->firstAngle = Mod240(d - m.direction[i]);
    line->secondAngle = Mod240((d + 120) % 240 - m.direction[j]);
    line->first = i;
    line->second = j;
}

void FillLineData1(const GraphLine& forward, GraphLine* reverse) {
    reverse->length = forward.length;
    reverse->direction = forward.direction;
    reverse->firstAngle = forward.secondAngle;
    reverse->secondAngle = forward.firstAngle;
    reverse->first = forward.second;
    reverse->second = forward.first;
}

void TestFingerprintGraphLines(const MntContext* context, MatchDataBlock* block, FeatureMatchRecord* record) {
    const FeatureRecord& f = record->features;
    const int n = MinutiaCount(f);
    auto& triples = block->triples;
    triples.Clear();
    const LengthRange range(context->minLineLength, context->maxLineLength);
    for (int i = 0; i < n && !triples.full; ++i) {
        for (int j = i + 1; j < n; ++j) {
            const int32_t length = range.Length(Abs(f.minutiae.x[j] - f.minutiae.x[i]), Abs(f.minutiae.y[j] - f.minutiae.y[i]));
            if (length < 0) continue;
            if (!triples.Push({uint16_t(length), uint16_t(i), uint16_t(j)}, 500)) break;
        }
    }
    // The limit is a parameter; the record holds at most kMaxGraphLines lines, two per pair.
    const uint32_t limit = uint32_t(std::clamp(context->testLineLimit / 2, 0, kMaxGraphLines / 2));
    const uint32_t found = triples.count;
    auto& order = block->tripleOrder;
    order.Clear();
    uint32_t kept = found;
    bool sorted = false;
    if (found >= limit) {
        kept = limit;
        // Counts per length, sized for the longest possible line rather than the parameter,
        // which may be set far beyond any distance.
        const uint32_t lengths = uint32_t(std::clamp(context->maxLineLength, 1, kLongestDistance + 1));
        auto& counts = block->lengthCounts;
        if (counts.Reserve(std::max<uint32_t>(lengths, 400)) && order.Reserve(found)) {
            std::memset(counts.data, 0, sizeof(uint32_t) * lengths);
            for (uint32_t k = 0; k < found; ++k) ++counts.data[triples.data[k].length];
            uint32_t end = 0;
            for (uint32_t l = 0; l < lengths; ++l) {
                end += counts.data[l];
                counts.data[l] = end;
            }
            // Filling from each length's end in discovery order leaves equal lengths reversed.
            for (uint32_t k = 0; k < found; ++k) order.data[--counts.data[triples.data[k].length]] = k;
            sorted = true;
        }
    }
    record->longestLine = 0;
    record->lineCount = 0;
    for (uint32_t k = 0; k < kept; ++k) {
        const LinePairTriple& t = triples.data[sorted ? order.data[k] : k];
        GraphLine* forward = &record->lines[record->lineCount++];
        FillLineData(f, t.first, t.second, forward);
        FillLineData1(*forward, &record->lines[record->lineCount++]);
        if (uint32_t(t.length) > record->longestLine) record->longestLine = t.length + 1u;
    }
    BuildBuckets(record);
}

void SampleFingerprintGraphLines(const MntContext* context, FeatureMatchRecord* record, uint32_t longestLine) {
    const FeatureRecord& f = record->features;
    const int n = MinutiaCount(f);
    const uint32_t limit = uint32_t(std::clamp(context->sampleLineLimit, 0, kMaxGraphLines));
    record->lineCount = 0;
    const LengthRange range(int64_t(context->minLineLength) + 1, longestLine);
    for (int i = 0; i < n && record->lineCount < limit; ++i) {
        for (int j = i + 1; j < n && record->lineCount < limit; ++j) {
            const int32_t length = range.Length(Abs(f.minutiae.x[j] - f.minutiae.x[i]), Abs(f.minutiae.y[j] - f.minutiae.y[i]));
            if (length < 0) continue;
            FillLineData(f, i, j, &record->lines[record->lineCount++]);
        }
    }
    BuildBuckets(record);
}

uint32_t GetTheOnlyCore(const FeatureRecord& record) {
    const SingularPointList& s = record.singularPoints;
    uint32_t found = kNoCore;
    const int n = std::clamp(s.count, 0, kMaxSingularPoints);
    for (int i = 0; i < n; ++i) {
        if (s.type[i] != 1) continue;
        if (found != kNoCore) return kNoCore;
        found = uint32_t(i);
    }
    return found;
}

void FillTestFeaturesMatchData(const MntContext* context, MatchDataBlock* block, FeatureMatchRecord* record) {
    TestFingerprintGraphLines(context, block, record);
    record->coreIndex = kNoCore;
    record->hasCore = 0;
    if (context->useCore) {
        record->coreIndex = GetTheOnlyCore(record->features);
        record->hasCore = record->coreIndex != kNoCore;
        if (record->hasCore) FillCoreDistances(record);
    }
}

void FillSampleFeaturesMatchData(const MntContext* context, FeatureMatchRecord* record, uint32_t longestLine,
                                 bool testHasCore) {
    SampleFingerprintGraphLines(context, record, longestLine);
    record->coreIndex = kNoCore;
    record->hasCore = 0;
    if (testHasCore) {
        record->coreIndex = GetTheOnlyCore(record->features);
        record->hasCore = record->coreIndex != kNoCore;
        if (record->hasCore) FillCoreDistances(record);
    }
    const MinutiaList& m = record->features.minutiae;
    const int n = MinutiaCount(record->features);
    if (n == 0) {
        record->centreX = record->centreY = 5000;
        return;
    }
    int32_t minX = m.x[0], maxX = m.x[0], minY = m.y[0], maxY = m.y[0];
    for (int i = 1; i < n; ++i) {
        minX = std::min(minX, m.x[i]);
        maxX = std::max(maxX, m.x[i]);
        minY = std::min(minY, m.y[i]);
        maxY = std::max(maxY, m.y[i]);
    }
    record->centreX = (minX + maxX) / 2;
    record->centreY = (minY + maxY) / 2;
}

void BuildRotationMask(MatchDataBlock* block, int32_t rotationTolerance) {
    const int32_t r = std::clamp(rotationTolerance, 0, 120);
    std::memset(block->rotationMask, 0, sizeof block->rotationMask);
    for (int32_t k = 0; k < r; ++k) {
        block->rotationMask[k] = 1;
        block->rotationMask[239 - k] = 1;
    }
}

void RotateRidgesOrientation(int32_t cx, int32_t cy, int32_t r, FeatureRecord* grid) {
    const int32_t n = std::clamp(std::max(grid->blockColumns, grid->blockRows), 0, kGridSize);
    grid->blockColumns = grid->blockRows = n;
    uint8_t source[kGridSize][kGridSize];
    std::memcpy(source, grid->blockGrid, sizeof source);
    const Rotator rot(Mod240(r));
    for (int32_t i = 0; i < n; ++i) {
        for (int32_t j = 0; j < n; ++j) {
            const int64_t px = 16 * j - cx, py = 16 * i - cy;
            const int32_t sx = (cx + RoundDiv10000(rot.c * px + rot.s * py)) / 16;
            const int32_t sy = (cy + RoundDiv10000(rot.c * py - rot.s * px)) / 16;
            uint8_t value = kNoBlockOrientation;
            if (sx >= 0 && sx < n && sy >= 0 && sy < n && source[sy][sx] < kNoBlockOrientation)
                value = uint8_t(Mod240(source[sy][sx] + r) % 120);
            grid->blockGrid[i][j] = value;
        }
    }
}

void TranslateRidgesOrientation(int32_t dx, int32_t dy, FeatureRecord* grid) {
    const int32_t n = std::clamp(grid->blockRows, 0, kGridSize);
    if (n == 0) return;
    auto blocks = [](int32_t d) {
        int32_t shift = d / 16;
        const int32_t rest = d % 16;
        if (rest > 7) ++shift;
        if (rest < -7) --shift;
        return shift;
    };
    const int32_t sx = blocks(dx), sy = blocks(dy);
    uint8_t source[kGridSize][kGridSize];
    std::memcpy(source, grid->blockGrid, sizeof source);
    for (int32_t r = 0; r < n; ++r) {
        for (int32_t c = 0; c < n; ++c) {
            const int32_t oc = c - sx, orow = r - sy;
            grid->blockGrid[r][c] =
                oc >= 0 && oc < n && orow >= 0 && orow < n ? source[orow][oc] : kNoBlockOrientation;
        }
    }
}

void OrientationStructureComparison(const FeatureRecord& test, const FeatureRecord& sample, int32_t* similarity,
                                    int32_t* total) {
    const int32_t n = std::clamp(std::max({test.blockColumns, test.blockRows, sample.blockRows}), 0, kGridSize);
    if (n == 0) {
        *similarity = *total = 1;
        return;
    }
    int32_t s = 0, t = 0;
    for (int32_t i = 0; i < n; ++i) {
        for (int32_t j = 0; j < n; ++j) {
            const int32_t a = test.blockGrid[i][j], b = sample.blockGrid[i][j];
            if (a >= kNoBlockOrientation || b >= kNoBlockOrientation) continue;
            int32_t d = Abs(a - b);
            if (d > 60) d = 120 - d;
            t += 60;
            if (d < 5) s += 60;
            else if (d <= 50) s += 60 - d;
        }
    }
    if (t == 0) {
        *similarity = 0;
        *total = 1;
        return;
    }
    *similarity = s;
    *total = t;
}

int32_t MatchFeatures(FeatureMatchRecord* test, FeatureMatchRecord* sample, int32_t threshold,
                      MntVerifyRecord* record, const MntContext* context, MatchDataBlock* block) {
    const MntContext* c = context;
    const FeatureRecord& tf = test->features;
    FeatureRecord& sf = sample->features;
    std::memset(block->rotation, 0, sizeof block->rotation);
    const bool coreOn = test->hasCore && sample->hasCore;
    const bool orientationOn = c->useBlockOrientation && tf.blockColumns > 0 && tf.blockRows > 0 &&
                               sf.blockColumns > 0 && sf.blockRows > 0;
    const int32_t lengthTol = c->lineLengthTolerance;
    const int32_t angleTol = c->lineAngleTolerance;
    const int32_t base = ClampWeight((int64_t(angleTol) + lengthTol) * 600 / 1000);
    const int32_t* weights = VoteWeights(block, lengthTol, angleTol, base);
    const bool extended = record != nullptr && record->size == MNT_VERIFY_RECORD_LONG;

    // Rotation votes.
    auto& pairs = block->pairs;
    pairs.Clear();
    int64_t raw1 = 0;
    // A tolerance of half a turn or more covers every bucket; visit each only once.
    const int32_t window = std::min(2 * int64_t(angleTol), int64_t(kAngleBuckets));
    const auto coreWeight = [c](int64_t e) {
        const int64_t over = std::max<int64_t>((e < 0 ? -e : e) - c->coreDistanceMargin, 0);
        return std::max<int64_t>(c->coreDistanceSpan - over, 0);
    };
    const auto curvatureWeight = [c](int64_t x) { return std::max<int64_t>(c->extraByteSpan - (x < 0 ? -x : x), 0); };
    // A norm set to 0 would divide by zero; it then scales by 1.
    const int64_t coreNorm = std::max(c->coreDistanceNorm, 1);
    const int64_t extraNorm = std::max(c->extraByteNorm, 1);
    const MinutiaList& tm = tf.minutiae;
    const MinutiaList& sm = sf.minutiae;
    for (int32_t b = 0; b < kAngleBuckets && window > 0; ++b) {
        const int32_t first = window >= kAngleBuckets ? 0 : Mod240(b - angleTol);
        // The window as at most two runs of the sample's bucket array.
        uint32_t runs[2][2];
        int runCount = 1;
        if (first + window <= kAngleBuckets) {
            runs[0][0] = sample->bucketStart[first];
            runs[0][1] = sample->bucketStart[first + window];
        } else {
            runs[0][0] = sample->bucketStart[first];
            runs[0][1] = sample->bucketStart[kAngleBuckets];
            runs[1][0] = sample->bucketStart[0];
            runs[1][1] = sample->bucketStart[first + window - kAngleBuckets];
            runCount = 2;
        }
        for (uint32_t tk = test->bucketStart[b]; tk < test->bucketStart[b + 1]; ++tk) {
            const uint16_t ti = test->bucketLines[tk];
            const GraphLine& t = test->lines[ti];
            const int32_t tLength = test->bucketLength[tk];
            const int32_t tFirst = test->bucketFirstAngle[tk];
            const int32_t tSecond = test->bucketSecondAngle[tk];
            const bool testCurvatures =
                c->useExtraByte && HasCurvature(tm.curvature[t.first]) && HasCurvature(tm.curvature[t.second]);
            int32_t best = 0;
            for (int run = 0; run < runCount; ++run) {
                const uint32_t from = runs[run][0], to = runs[run][1];
                // First the tests alone over the run (a loop the compiler can vectorise), then the
                // lines that passed, in bucket order.
                const uint8_t* flags = block->voteFlags;
                const int16_t* lengths = sample->bucketLength;
                const uint8_t* firsts = sample->bucketFirstAngle;
                const uint8_t* seconds = sample->bucketSecondAngle;
                uint32_t passed = VoteTests(lengths + from, firsts + from, seconds + from, int32_t(to - from),
                                            tLength, tFirst, tSecond, lengthTol, angleTol, block->voteFlags);
                for (uint32_t sk = from; sk < to && passed > 0; ++sk) {
                    if (!flags[sk - from]) continue;
                    --passed;
                    const int32_t dL = Abs(tLength - lengths[sk]);
                    const int32_t dA1 = AngleDiff240(tFirst, firsts[sk]);
                    const int32_t dA2 = AngleDiff240(tSecond, seconds[sk]);
                    const uint16_t si = sample->bucketLines[sk];
                    const GraphLine& s = sample->lines[si];
                    int64_t w = weights != nullptr ? weights[(dL * angleTol + dA1) * angleTol + dA2]
                                                   : base - ComputeDistance3D(dL, dA1, dA2);
                    if (w <= 0) continue;
                    if (coreOn) {
                        const int64_t e1 = int64_t(test->coreDistance[t.first]) - sample->coreDistance[s.first];
                        const int64_t e2 = int64_t(test->coreDistance[t.second]) - sample->coreDistance[s.second];
                        w = ClampWeight(Quotient(coreWeight(e2) * coreWeight(e1) * w, coreNorm));
                    }
                    if (testCurvatures && HasCurvature(sm.curvature[s.first]) && HasCurvature(sm.curvature[s.second])) {
                        const int64_t x1 = tm.curvature[t.first] - sm.curvature[s.first];
                        const int64_t x2 = tm.curvature[t.second] - sm.curvature[s.second];
                        w = ClampWeight(Quotient(curvatureWeight(x2) * curvatureWeight(x1) * w, extraNorm));
                    }
                    if (w <= 0) continue;
                    // The pair keeps a byte; 255 is the used mark, so larger weights (only
                    // possible with raised tolerances or spans) stop at 254.
                    pairs.Push({uint8_t(std::min<int64_t>(w, kMaxPairWeight)), si, ti}, 500);
                    block->rotation[Mod240(tm.direction[t.first] - sm.direction[s.first])] += uint32_t(w);
                    block->rotation[Mod240(tm.direction[t.second] - sm.direction[s.second])] += uint32_t(w);
                    best = std::max<int32_t>(best, int32_t(w));
                }
            }
            raw1 += best;
        }
    }
    const uint32_t lines = test->lineCount;
    if (threshold > ScoreOf(NormaliseRaw(raw1, lines, c), c)) return 0;

    // Rotation.
    const int32_t r = RotationHistogramProcessing(block);
    RotateSample(sample, r);
    if (orientationOn) RotateRidgesOrientation(sample->centreX, sample->centreY, r, &sf);
    if (record != nullptr) record->rotation = uint32_t(r);

    // Translation votes.
    // Only the bins the last comparison voted into need clearing.
    if (block->votedLow <= block->votedHigh) {
        const size_t count = size_t(block->votedHigh - block->votedLow + 1);
        std::memset(block->translationX + block->votedLow, 0, sizeof(uint32_t) * count);
        std::memset(block->translationY + block->votedLow, 0, sizeof(uint32_t) * count);
    }
    VotedRange voted;
    auto& list = block->pairIndices;
    list.Clear();
    for (uint32_t k = 0; k < pairs.count; ++k) {
        const CandidatePair& p = pairs.data[k];
        const GraphLine& t = test->lines[p.testLine];
        const GraphLine& s = sample->lines[p.sampleLine];
        int32_t dd = Abs(t.direction - s.direction) % 120;
        if (dd > 60) dd = 120 - dd;
        if (dd >= angleTol) continue;
        AddTranslationHistogramValue(block, tf, t, sf, s, p.weight, lengthTol, &voted);
        list.Push(k, 500);
    }
    block->votedLow = std::min(voted.lowX, voted.lowY);
    block->votedHigh = std::max(voted.highX, voted.highY);
    const int64_t raw2 = SumOfRunMaxima(block, list.data, list.count);
    if (threshold > ScoreOf(NormaliseRaw(raw2, lines, c), c)) return 0;

    // Translation.
    const int32_t shiftX = TranslationHistogramProcessing(block->translationX, voted.lowX, voted.highX, block->translationWork);
    const int32_t shiftY = TranslationHistogramProcessing(block->translationY, voted.lowY, voted.highY, block->translationWork);
    const int n = MinutiaCount(sf);
    for (int i = 0; i < n; ++i) {
        sf.minutiae.x[i] += shiftX;
        sf.minutiae.y[i] += shiftY;
    }
    if (record != nullptr) {
        record->translationX = shiftX;
        record->translationY = shiftY;
    }
    int32_t similarity = 1, total = 1;
    if (orientationOn) {
        TranslateRidgesOrientation(shiftX, shiftY, &sf);
        OrientationStructureComparison(tf, sf, &similarity, &total);
    }

    // Consolidation: keep the pairs whose both ends now coincide.
    uint32_t passing = 0;
    for (uint32_t k = 0; k < list.count; ++k) {
        const CandidatePair& p = pairs.data[list.data[k]];
        const GraphLine& t = test->lines[p.testLine];
        const GraphLine& s = sample->lines[p.sampleLine];
        if (!LineLocationSimilarity(tf, t, sf, s, lengthTol)) continue;
        if (extended) {
            StorePair(record, t.first, s.first);
            StorePair(record, t.second, s.second);
        }
        list.data[passing++] = list.data[k];
    }
    int64_t raw3 = c->useLineGroups ? ConsolidateLineGroups(block, list.data, passing, test->lineCount, sample->lineCount)
                                    : SumOfRunMaxima(block, list.data, passing);
    raw3 = NormaliseRaw(raw3, lines, c);
    if (orientationOn) raw3 = similarity * raw3 / total;
    if (c->useQualityWeight) {
        const int32_t q = 255 - Abs(int32_t(tf.ridgeEdgeDensity) - int32_t(sf.ridgeEdgeDensity));
        raw3 = (q < 241 ? q : 255) * raw3 / 255;
    }
    const int64_t score = ScoreOf(raw3, c);
    return score < 0 ? 0 : int32_t(std::min<int64_t>(score, INT32_MAX));
}

}  // namespace mnt
