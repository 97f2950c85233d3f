// Enrollment: up to four mutually consistent views of one finger, their pair scores, templates.
#pragma once

#include <stdint.h>

#include "engines/recognition/fixed_vector.h"
#include "engines/recognition/match_data.h"
#include "engines/recognition/objects.h"

namespace DurodudUrodera::FpRecEngineImpl {

constexpr int kEnrollViews = 4;
constexpr uint8_t kDroppedView = 0xFF;

// Pair scores of the five positions 0-4 (four views and one candidate) as a lower triangle.
struct PairScores {
    static constexpr int kSlots = (kEnrollViews + 1) * kEnrollViews / 2;
    int32_t values[kSlots] = {};
    static int slot(int i, int j) { return i > j ? i * (i - 1) / 2 + j : j * (j - 1) / 2 + i; }
    // Pairs of distinct positions only; a slot past the table (as (4, 4) would give) reads 0 and
    // stores nothing rather than reaching beyond the scores.
    int32_t get(int i, int j) const {
        const unsigned s = unsigned(slot(i, j));
        return s < unsigned(kSlots) ? values[s] : 0;
    }
    void set(int i, int j, int32_t v) {
        const unsigned s = unsigned(slot(i, j));
        if (s < unsigned(kSlots)) values[s] = v;
    }
};

// Outcome of the consistency rule over a set of positions.
struct Consistency {
    int32_t d;       // min(best row minimum, worst row maximum)
    int giveUp;      // the column of best's minimum when best <= worst, else the row of worst
};

// Mutual consistency of the positions in `members` (increasing order) by their pair scores.
Consistency consistency(const PairScores& scores, const int* members, int count);

class Enrollment {
public:
    explicit Enrollment(const MatchParameters* parameters) : parameters(parameters) {}

    // Lowest score first; with equal lows the higher highest score comes first.
    static bool better_view(const int32_t (&a)[2], const int32_t (&b)[2]) {
        return a[0] > b[0] || (a[0] == b[0] && a[1] > b[1]);
    }

    int64_t status = 0;
    fixed_vector<MatchData, kEnrollViews> views;
    PairScores pairScores;
    uint8_t viewOrder[kEnrollViews] = {0, 1, 2, 3};
    int32_t scoreRange[kEnrollViews][2] = {{2147483647, -2147483647 - 1},
                                           {2147483647, -2147483647 - 1},
                                           {2147483647, -2147483647 - 1},
                                           {2147483647, -2147483647 - 1}};
    const MatchParameters* parameters;
};

class EnrollmentObj final : public TaggedObject {
public:
    static constexpr char kTag[] = "Enrollmn";
    EnrollmentObj(Context& context, bool lenient)
        : TaggedObject(context, kTag), enrollment(&own), lenient(lenient), own(&parameters) {}

    Enrollment* enrollment;
    MatchParameters parameters;  // the defaults, not a copy of the context's
    int32_t readyThreshold = 30;
    bool lenient;
    Enrollment own;
};

}  // namespace DurodudUrodera::FpRecEngineImpl
