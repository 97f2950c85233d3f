// Generalisation: three impressions of one finger merged into one feature set.
#include "engines/minutiae/generalize.h"

#include <algorithm>
#include <cstring>
#include <initializer_list>
#include <new>
#include <vector>

#include "engines/minutiae/context.h"
#include "engines/minutiae/matching.h"

namespace mnt {
namespace {

// Unordered pairs of impressions; a joined list has the lower impression on side 0.
constexpr int kPairs = 3;
constexpr int kPairImpressions[kPairs][2] = {{0, 1}, {0, 2}, {1, 2}};
constexpr int kSlots = 6;

int SlotIndex(int i, int j) { return i * 2 + (j > i ? j - 1 : j); }

int PairOf(int a, int b) {
    const int lo = std::min(a, b), hi = std::max(a, b);
    return lo == 0 ? hi - 1 : 2;
}

int SideOf(int pair, int impression) { return kPairImpressions[pair][0] == impression ? 0 : 1; }

bool Contains(int pair, int impression) {
    return kPairImpressions[pair][0] == impression || kPairImpressions[pair][1] == impression;
}

void Append(PairList* list, uint32_t a, uint32_t b) {
    if (list->count >= uint32_t(kMaxJoinedPairs)) return;
    list->index[0][list->count] = uint16_t(a);
    list->index[1][list->count] = uint16_t(b);
    ++list->count;
}

struct Work {
    FeatureRecord impressions[kImpressions];
    FeatureRecord result;
    GeneralizationSlot slots[kSlots];
    PairList joined[kPairs];
    PairList ambiguous[kPairs];
    // Group label per minutia of each impression, 0 for none; as wide as the minutia count, so
    // that neither more than 255 minutiae nor more than 255 groups wrap a label.
    int32_t label[kImpressions][kMaxMinutiae];
    uint8_t mark[2][kMaxMinutiae];
};

// The pair list of both directed comparisons of {lo, hi}: the (lo, hi) pairs, then the (hi, lo)
// pairs that are not already there, sides exchanged.
void AppendIPS(const GeneralizationSlot& forward, const GeneralizationSlot& backward, PairList* joined) {
    joined->count = 0;
    for (uint32_t k = 0; k < forward.record.pairCount; ++k)
        Append(joined, forward.record.firstIndices[k], forward.record.secondIndices[k]);
    const uint32_t own = joined->count;
    for (uint32_t k = 0; k < backward.record.pairCount; ++k) {
        const uint16_t a = backward.record.secondIndices[k], b = backward.record.firstIndices[k];
        bool known = false;
        for (uint32_t e = 0; e < own && !known; ++e) known = joined->index[0][e] == a && joined->index[1][e] == b;
        if (!known) Append(joined, a, b);
    }
}

// Moves the entries whose move flag is set from `list` to the end of `to`, keeping the order of both.
void MoveFlagged(PairList* list, PairList* to, const std::vector<uint8_t>& move) {
    uint32_t kept = 0;
    for (uint32_t e = 0; e < list->count; ++e) {
        if (move[e]) {
            Append(to, list->index[0][e], list->index[1][e]);
        } else {
            list->index[0][kept] = list->index[0][e];
            list->index[1][kept] = list->index[1][e];
            ++kept;
        }
    }
    list->count = kept;
}

// Leaves only one-to-one correspondences in the joined list; the rest go to the ambiguity list.
void ExtractDuplicates(PairList* joined, PairList* ambiguous, Work* work) {
    uint16_t uses[2][kMaxMinutiae] = {};
    for (uint32_t e = 0; e < joined->count; ++e)
        for (int side = 0; side < 2; ++side) ++uses[side][joined->index[side][e]];
    std::vector<uint8_t> move(joined->count, 0);
    std::memset(work->mark, 0, sizeof work->mark);
    for (uint32_t e = 0; e < joined->count; ++e) {
        if (uses[0][joined->index[0][e]] < 2 && uses[1][joined->index[1][e]] < 2) continue;
        move[e] = 1;
        work->mark[0][joined->index[0][e]] = work->mark[1][joined->index[1][e]] = 1;
    }
    // Anything left that touches a moved minutia goes too.
    for (uint32_t e = 0; e < joined->count; ++e)
        if (work->mark[0][joined->index[0][e]] || work->mark[1][joined->index[1][e]]) move[e] = 1;
    MoveFlagged(joined, ambiguous, move);
}

// Moves every entry of the other pairs' joined lists that touches a minutia of an ambiguity list
// into that pair's own ambiguity list, until nothing moves.
void SpreadAmbiguity(Work* work) {
    bool moved = true;
    while (moved) {
        moved = false;
        for (int p = 0; p < kPairs; ++p) {
            for (int q = 0; q < kPairs; ++q) {
                if (q == p) continue;
                const int shared = Contains(q, kPairImpressions[p][0]) ? kPairImpressions[p][0] : kPairImpressions[p][1];
                std::memset(work->mark[0], 0, sizeof work->mark[0]);
                const PairList& a = work->ambiguous[p];
                for (uint32_t e = 0; e < a.count; ++e) work->mark[0][a.index[SideOf(p, shared)][e]] = 1;
                PairList& j = work->joined[q];
                std::vector<uint8_t> move(j.count, 0);
                bool any = false;
                for (uint32_t e = 0; e < j.count; ++e) {
                    if (!work->mark[0][j.index[SideOf(q, shared)][e]]) continue;
                    move[e] = 1;
                    any = true;
                }
                if (!any) continue;
                MoveFlagged(&j, &work->ambiguous[q], move);
                moved = true;
            }
        }
    }
}

struct Merger {
    Work* work;
    int base;

    const FeatureRecord& Frame(int impression) const {
        return impression == base ? work->impressions[base] : work->slots[SlotIndex(base, impression)].aligned;
    }

    // Appends the mean of the given minutiae (impression, index), in the base's frame.
    void AppendMean(std::initializer_list<std::pair<int, int>> points) {
        MinutiaList& out = work->result.minutiae;
        // The result holds what a record holds; further minutiae are dropped.
        if (out.count >= kMaxMinutiae) return;
        int32_t x = 0, y = 0, curvature = 0, angles[kImpressions];
        int n = 0;
        for (auto [impression, index] : points) {
            const MinutiaList& m = Frame(impression).minutiae;
            x += m.x[index];
            y += m.y[index];
            curvature += m.curvature[index];
            angles[n++] = m.direction[index];
        }
        out.x[out.count] = x / n;
        out.y[out.count] = y / n;
        out.direction[out.count] = AverageAngle(angles, n);
        out.curvature[out.count] = curvature / n;
        out.kind[out.count] = 0;
        ++out.count;
    }
};

// Groups of ambiguous correspondences: each group contributes the minutiae of the impression
// that has most of them in it.
void ResolveAmbiguousGroups(Work* work, Merger* merger) {
    std::memset(work->label, 0, sizeof work->label);
    int32_t next = 0;
    std::vector<std::pair<int, int>> members;
    for (;;) {
        int p = 0;
        while (p < kPairs && work->ambiguous[p].count == 0) ++p;
        if (p == kPairs) break;
        const int32_t label = ++next;
        members.clear();
        auto take = [&](int pair, uint32_t e) {
            for (int side = 0; side < 2; ++side) {
                const int impression = kPairImpressions[pair][side];
                const int index = work->ambiguous[pair].index[side][e];
                if (work->label[impression][index] == 0) {
                    work->label[impression][index] = label;
                    members.emplace_back(impression, index);
                }
            }
        };
        take(p, 0);
        EliminatePointFromIps(&work->ambiguous[p], 0);
        bool grew = true;
        while (grew) {
            grew = false;
            for (int q = 0; q < kPairs; ++q) {
                PairList& a = work->ambiguous[q];
                for (uint32_t e = 0; e < a.count;) {
                    const bool touches = work->label[kPairImpressions[q][0]][a.index[0][e]] == label ||
                                         work->label[kPairImpressions[q][1]][a.index[1][e]] == label;
                    if (!touches) {
                        ++e;
                        continue;
                    }
                    take(q, e);
                    EliminatePointFromIps(&a, e);
                    grew = true;
                }
            }
        }
        int counts[kImpressions] = {};
        for (auto [impression, index] : members) ++counts[impression];
        int winner = 0;
        for (int z = 1; z < kImpressions; ++z)
            if (counts[z] > counts[winner]) winner = z;
        std::vector<int> own;
        for (auto [impression, index] : members)
            if (impression == winner) own.push_back(index);
        std::sort(own.begin(), own.end());
        for (int index : own) merger->AppendMean({{winner, index}});
    }
}

}  // namespace

int32_t FindFeatureInIPS(const PairList& list, uint32_t index, int side) {
    for (uint32_t e = 0; e < list.count; ++e)
        if (list.index[side][e] == index) return int32_t(e);
    return -1;
}

void EliminatePointFromIps(PairList* list, uint32_t position) {
    if (position >= list->count) return;
    for (int side = 0; side < 2; ++side)
        std::memmove(&list->index[side][position], &list->index[side][position + 1],
                     sizeof(uint16_t) * (list->count - position - 1));
    --list->count;
}

int32_t AverageAngle(const int32_t* angles, int n) {
    if (n <= 0) return 0;
    const auto [lo, hi] = std::minmax_element(angles, angles + n);
    int32_t sum = 0;
    if (*hi - *lo > 119) {
        for (int k = 0; k < n; ++k) sum += angles[k] > 119 ? angles[k] - 240 : angles[k];
        const int32_t mean = sum / n;
        return mean < 0 ? mean + 240 : mean;
    }
    for (int k = 0; k < n; ++k) sum += angles[k];
    return sum / n;
}

int32_t GenMatchFeatures(GeneralizationSlot* slot, const FeatureRecord* impressions, int32_t threshold,
                         const MntContext* context, MatchDataBlock* block) {
    BuildRotationMask(block, context->rotationTolerance);
    CopyFeatures(&block->test.features, &impressions[slot->test]);
    FillTestFeaturesMatchData(context, block, &block->test);
    CopyFeatures(&block->sample.features, &slot->aligned);
    FillSampleFeaturesMatchData(context, &block->sample, block->test.longestLine, block->test.hasCore);
    std::memset(&slot->record, 0, sizeof slot->record);
    slot->record.size = MNT_VERIFY_RECORD_LONG;
    const int32_t score = MatchFeatures(&block->test, &block->sample, threshold, &slot->record, context, block);
    slot->record.score = score;
    const MinutiaList& aligned = block->sample.features.minutiae;
    MinutiaList& copy = slot->aligned.minutiae;
    const int n = std::clamp(copy.count, 0, kMaxMinutiae);
    std::memcpy(copy.x, aligned.x, sizeof(int32_t) * n);
    std::memcpy(copy.y, aligned.y, sizeof(int32_t) * n);
    std::memcpy(copy.direction, aligned.direction, sizeof(int32_t) * n);
    return score;
}

namespace {

int32_t Generalize(Work* work, int32_t threshold, const MntContext* context, MatchDataBlock* block) {
    for (int i = 0; i < kImpressions; ++i) {
        for (int j = 0; j < kImpressions; ++j) {
            if (i == j) continue;
            GeneralizationSlot& slot = work->slots[SlotIndex(i, j)];
            slot.test = i;
            slot.sample = j;
            CopyFeatures(&slot.aligned, &work->impressions[j]);
            if (GenMatchFeatures(&slot, work->impressions, threshold, context, block) < threshold) return -1;
        }
    }
    for (int p = 0; p < kPairs; ++p) {
        const int lo = kPairImpressions[p][0], hi = kPairImpressions[p][1];
        AppendIPS(work->slots[SlotIndex(lo, hi)], work->slots[SlotIndex(hi, lo)], &work->joined[p]);
        work->ambiguous[p].count = 0;
        ExtractDuplicates(&work->joined[p], &work->ambiguous[p], work);
    }
    SpreadAmbiguity(work);

    int base = 0;
    uint32_t best = 0;
    for (int z = 0; z < kImpressions; ++z) {
        uint32_t total = 0;
        for (int p = 0; p < kPairs; ++p)
            if (Contains(p, z)) total += work->joined[p].count;
        if (z == 0 || total > best) {
            base = z;
            best = total;
        }
    }
    const int o1 = base == 0 ? 1 : 0;
    const int o2 = base == 2 ? 1 : 2;
    work->result.minutiae.count = 0;
    Merger merger{work, base};
    ResolveAmbiguousGroups(work, &merger);

    PairList& withO1 = work->joined[PairOf(base, o1)];
    PairList& withO2 = work->joined[PairOf(base, o2)];
    PairList& others = work->joined[PairOf(o1, o2)];
    const int b1 = SideOf(PairOf(base, o1), base), b2 = SideOf(PairOf(base, o2), base);
    const int s1 = SideOf(PairOf(o1, o2), o1), s2 = SideOf(PairOf(o1, o2), o2);
    for (uint32_t e = 0; e < withO1.count; ++e) {
        const int m = withO1.index[b1][e], p = withO1.index[1 - b1][e];
        const int32_t at = FindFeatureInIPS(withO2, uint32_t(m), b2);
        if (at >= 0) {
            merger.AppendMean({{base, m}, {o1, p}, {o2, withO2.index[1 - b2][at]}});
            EliminatePointFromIps(&withO2, uint32_t(at));
        } else {
            merger.AppendMean({{base, m}, {o1, p}});
        }
        const int32_t other = FindFeatureInIPS(others, uint32_t(p), s1);
        if (other >= 0) EliminatePointFromIps(&others, uint32_t(other));
    }
    for (uint32_t e = 0; e < withO2.count; ++e) {
        const int m = withO2.index[b2][e], q = withO2.index[1 - b2][e];
        merger.AppendMean({{base, m}, {o2, q}});
        const int32_t other = FindFeatureInIPS(others, uint32_t(q), s2);
        if (other >= 0) EliminatePointFromIps(&others, uint32_t(other));
    }
    for (uint32_t e = 0; e < others.count; ++e)
        merger.AppendMean({{o1, others.index[s1][e]}, {o2, others.index[s2][e]}});
    return base;
}

}  // namespace

int32_t GeneralizeFeatures(const FeatureRecord* impressions, FeatureRecord* result, int32_t threshold,
                           const MntContext* context, MatchDataBlock* block) {
    auto* work = new (std::nothrow) Work();
    if (work == nullptr) return MNT_OUT_OF_MEMORY;
    for (int i = 0; i < kImpressions; ++i) CopyFeatures(&work->impressions[i], &impressions[i]);
    const int32_t base = Generalize(work, threshold, context, block);
    if (base >= 0) {
        const MinutiaList& m = work->result.minutiae;
        result->minutiae.count = m.count;
        for (int i = 0; i < m.count; ++i) {
            result->minutiae.x[i] = m.x[i];
            result->minutiae.y[i] = m.y[i];
            result->minutiae.direction[i] = m.direction[i];
            result->minutiae.curvature[i] = m.curvature[i];
            result->minutiae.kind[i] = 0;
        }
    }
    delete work;
    return base;
}

}  // namespace mnt

using namespace mnt;

extern "C" int32_t MntGeneralize(int32_t count, const uint8_t* const* sets, uint8_t* features, uint64_t* size,
                                 MntContext* context) {
    if (count != kImpressions) return MNT_BAD_VALUE;
    if (sets == nullptr || features == nullptr || size == nullptr) return MNT_NULL_POINTER;
    if (sets[0] == nullptr || sets[1] == nullptr || sets[2] == nullptr) return MNT_NULL_POINTER;
    context = ResolveContext(context);
    if (context == nullptr) return MNT_NO_CONTEXT;
    if (context->busy) return MNT_BUSY;
    if (context->matchData == nullptr) context->matchData = CreateMatchData();
    if (context->matchData == nullptr) return MNT_OUT_OF_MEMORY;

    struct Records {
        FeatureRecord impressions[kImpressions];
        FeatureRecord result;
    };
    auto* records = new (std::nothrow) Records();
    if (records == nullptr) return MNT_OUT_OF_MEMORY;
    for (int i = 0; i < kImpressions; ++i) DecompressFeatures(sets[i], &records->impressions[i]);
    const int32_t base =
        GeneralizeFeatures(records->impressions, &records->result, context->generalizationThreshold, context,
                           context->matchData);
    if (base >= 0) {
        FeatureRecord& r = records->result;
        const FeatureRecord& b = records->impressions[base];
        r.ridgeEdgeDensity = b.ridgeEdgeDensity;
        r.singularPoints = b.singularPoints;
        std::memset(r.blockGrid, kNoBlockOrientation, sizeof r.blockGrid);
        r.blockColumns = std::clamp(b.blockColumns, 0, kGridSize);
        r.blockRows = std::clamp(b.blockRows, 0, kGridSize);
        for (int y = 0; y < r.blockRows; ++y) std::memcpy(r.blockGrid[y], b.blockGrid[y], size_t(r.blockColumns));
        *size = CompressFeatures(&r, features, context);
    }
    delete records;
    return base;
}
