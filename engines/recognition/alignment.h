// Matching kernel: Hough-vote alignment search and the correspondence score of one alignment.
#pragma once

#include <stdint.h>

#include "engines/recognition/fixed_vector.h"
#include "engines/recognition/match_data.h"
#include "engines/recognition/objects.h"

namespace DurodudUrodera::FpRecEngineImpl {

namespace ContinousVoting {

constexpr uint16_t kNoCell = 0xFFF;
constexpr int kGrid = 64;

// Pairs (minutia i of A, minutia j of B) grouped by rotation difference. Each bin keeps its pairs
// newest first, the order of a list built at its head: the vote's tie-breaks and the candidate
// order of the score depend on it.
struct minutia_pairs {
    uint16_t binStart[257];  // bin b holds entries binStart[b] .. binStart[b + 1] - 1
    // Per entry: translation cell in bits 0-11 (0xFFF none), minutia of A in bits 12-19, minutia
    // of B in bits 20-27, signed 4-bit weight in bits 28-31 (0 for a pair without a cell).
    uint32_t entries[kMaxMinutiae * kMaxMinutiae + 8];  // room to read a group of eight past the end
    // The grid, then guard cells that pairs without a cell (0xFFF, weight 0) may touch unchecked.
    int16_t votes[kGrid * kGrid + kGrid + 2];
};

struct alignment {
    int16_t votes;
    uint16_t cell;  // column = cell % 64, row = cell / 64
    uint8_t rotation;
};

using alignments = fixed_vector<alignment, 3>;

// The three best alignments in increasing order of votes, never two with one cell. An offer
// counts only above the threshold, which starts at the minimum votes and, once the list is
// full, becomes the votes of the weakest entry after each newcomer.
class TopList {
public:
    explicit TopList(int threshold) : threshold_(threshold) {}
    int threshold() const { return threshold_; }
    int size() const { return count_; }
    const alignment& operator[](int k) const { return entries_[k]; }
    void offer(int16_t votes, uint16_t cell, uint8_t rotation);
    void copyBestFirst(alignments& out) const;

private:
    int firstWithMoreVotes(int votes) const;
    void insert(const alignment& candidate);

    alignment entries_[3];
    int count_ = 0;
    int threshold_;
};

inline void TopList::offer(int16_t votes, uint16_t cell, uint8_t rotation) {
    if (votes <= threshold_) return;
    const alignment candidate{votes, cell, rotation};
    for (int k = 0; k < count_; ++k) {
        if (entries_[k].cell != cell) continue;
        if (entries_[k].votes < votes) {
            for (int m = k; m + 1 < count_; ++m) entries_[m] = entries_[m + 1];
            --count_;
            insert(candidate);
        }
        return;
    }
    if (count_ == 3) {
        // The newcomer goes in front of the first entry with more votes; the weakest falls out.
        const int place = firstWithMoreVotes(votes);
        if (place > 0) {
            for (int m = 0; m + 1 < place; ++m) entries_[m] = entries_[m + 1];
            entries_[place - 1] = candidate;
        }
        threshold_ = entries_[0].votes;
        return;
    }
    insert(candidate);
}

inline void TopList::copyBestFirst(alignments& out) const {
    for (int k = count_ - 1; k >= 0; --k) out.push_back(entries_[k]);
}

inline int TopList::firstWithMoreVotes(int votes) const {
    int place = 0;
    while (place < count_ && entries_[place].votes <= votes) ++place;
    return place;
}

inline void TopList::insert(const alignment& candidate) {
    const int place = firstWithMoreVotes(candidate.votes);
    for (int m = count_; m > place; --m) entries_[m] = entries_[m - 1];
    entries_[place] = candidate;
    ++count_;
}

void subtract_votes(int16_t* votes, uint16_t cell, int weight);
// Fills the pairs table and `out` (best first) with the three strongest alignments of A onto B.
void find_alignments(const MatchData& a, const MatchData& b, const Parameters& parameters, minutia_pairs& pairs,
                     alignments& out);

}  // namespace ContinousVoting

// The scratch object of one comparison or enrollment step; no handle shows it, so it has no tag.
class MinutiaPairs final : public Object {
public:
    explicit MinutiaPairs(Context& context) : Object(context) {}
    ContinousVoting::minutia_pairs table;
};

namespace Verification {

constexpr int32_t kNoEvidence = -37302;

struct Box {
    int16_t minX = 32767, minY = 32767, maxX = -32768, maxY = -32768;
};
struct BoxPair {
    Box a, b;
};

struct pair_t {
    uint8_t a, b;
};
struct pair_with_r2 {
    uint8_t a, b;
    uint16_t r2;
};
struct assignment_pair {
    uint8_t a, b;
};

// The accepted pairs' heap (largest r2 on top), ordered as std::make_heap and std::pop_heap of
// the GNU library order it.
void makePairHeap(pair_with_r2* heap, int length);
void popPairHeap(pair_with_r2* heap, int length);

class CorrFinder {
public:
    // `pairs` must have been filled by find_alignments with the same A and B.
    CorrFinder(const MatchData& a, const MatchData& b, const CorrFinderParameters& parameters,
               const ContinousVoting::minutia_pairs& pairs, BoxPair* boxes)
        : a_(a), b_(b), parameters_(parameters), pairs_(pairs), boxes_(boxes) {}

    // 256 * -log2 of the chance of so many pairs by accident; -37302 when no pair survives.
    int32_t get_score_using_all(const ContinousVoting::alignment& alignment);

private:
    const MatchData& a_;
    const MatchData& b_;
    const CorrFinderParameters& parameters_;
    const ContinousVoting::minutia_pairs& pairs_;
    BoxPair* boxes_;
};

}  // namespace Verification

namespace Embedded {

// Scores of every alignment found in both directions (A onto B, then B onto A), appended.
void scoreBothDirections(const MatchData& a, const MatchData& b, const MatchParameters& parameters,
                         ContinousVoting::minutia_pairs& pairs, Verification::BoxPair& boxes,
                         fixed_vector<int32_t, 6>& scores);
// Mean of the upper half of the scores, rounded half away from zero; -37302 for none.
int32_t upperHalfMean(fixed_vector<int32_t, 6>& scores);
// Score index of a raw calibrated value: 0 below 1, else rounded >> 16.
int32_t scoreIndex(int32_t raw);
// Score index of one view against one view.
int32_t oneViewIndex(const MatchData& a, const MatchData& b, const MatchParameters& parameters,
                     ContinousVoting::minutia_pairs& pairs, Verification::BoxPair& boxes);

}  // namespace Embedded
}  // namespace DurodudUrodera::FpRecEngineImpl
