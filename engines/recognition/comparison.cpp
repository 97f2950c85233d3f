// Comparison of a feature set with a template: score index, false-match probability, decision.
#include <stdlib.h>

#include <algorithm>

#include "engines/recognition/alignment.h"
#include "engines/recognition/objects.h"
#include "engines/recognition/recog.h"
#include "engines/recognition/tables.h"

namespace DurodudUrodera::FpRecEngineImpl {
namespace {

constexpr int32_t kDefaultThreshold = 16384;

struct VerificationResult {
    int64_t status = 0;
    int32_t scoreIndex = 0;  // tenths of a decade of false-match probability
    Verification::BoxPair boxes;  // of the paired minutiae of the last correspondence scored
};

class ComparisonObj final : public TaggedObject {
public:
    static constexpr char kTag[] = "Compare";
    explicit ComparisonObj(Context& context) : TaggedObject(context, kTag) {}
    VerificationResult* result = &own;
    VerificationResult own;
};

int32_t halfAwayFromZero(int64_t sum, int64_t divisor) {
    const int64_t magnitude = (std::abs(sum) + divisor / 2) / divisor;
    return int32_t(sum < 0 ? -magnitude : magnitude);
}

int32_t calibrate(int32_t value, int32_t slope, int32_t offset) {
    return int32_t(uint32_t(value) * uint32_t(slope) + uint32_t(offset));  // 32-bit arithmetic
}

void compare(const MatchData& probe, const FpTemplate& views, const MatchParameters& parameters,
             ContinousVoting::minutia_pairs& pairs, VerificationResult& result) {
    if (views.size() == 1) {
        fixed_vector<int32_t, 6> scores;
        Embedded::scoreBothDirections(views[0], probe, parameters, pairs, result.boxes, scores);
        const int32_t m = Embedded::upperHalfMean(scores);
        result.scoreIndex = Embedded::scoreIndex(calibrate(m, parameters.oneViewSlope, parameters.oneViewOffset));
    } else if (views.size() == 4) {
        int32_t best = INT32_MIN;
        int64_t sum = 0;
        for (const MatchData& view : views) {
            fixed_vector<int32_t, 6> scores;
            Embedded::scoreBothDirections(view, probe, parameters, pairs, result.boxes, scores);
            const int32_t m = Embedded::upperHalfMean(scores);
            best = std::max(best, m);
            sum += m;
        }
        // Half of (best + rounded mean), each rounded half away from zero.
        const int32_t h = halfAwayFromZero(int64_t(best) + halfAwayFromZero(sum, 4), 2);
        result.scoreIndex = Embedded::scoreIndex(calibrate(h, parameters.fourViewSlope, parameters.fourViewOffset));
    }
    // Two or three views (possible only by import) give no evidence.
}

}  // namespace
}  // namespace DurodudUrodera::FpRecEngineImpl

using namespace DurodudUrodera::FpRecEngineImpl;

extern "C" RecogResult RecogCreateComparison(RecogHandle featureSet, RecogHandle templ, uint32_t /*options*/,
                                             RecogHandle* out) {
    if (out == nullptr) return RECOG_E_INVALID_ARG;
    Ptr<FpFtrSetObj> probe(featureSet, false);
    Ptr<FpTemplateObj> reference(templ, false);
    if (!probe || !reference) return RECOG_E_HANDLE;
    if (&probe->context() != &reference->context()) return RECOG_E_HANDLE;

    Context& context = probe->context();
    return createWithHandle<ComparisonObj>(context, false, out, [&](ComparisonObj& comparison) {
        VerificationResult& result = *comparison.result;
        Ptr<MinutiaPairs> scratch(newObject<MinutiaPairs>(context));
        if (!scratch) {
            result.status = RECOG_E_OUT_OF_MEMORY;
        } else {
            compare(probe->view, reference->views, context.matchParameters, scratch->table, result);
        }
        return RecogResult(result.status);
    });
}

extern "C" RecogResult RecogGetProbability(RecogHandle handle, int32_t kind, uint32_t* probability) {
    if (probability == nullptr) return RECOG_E_INVALID_ARG;
    Ptr<ComparisonObj> comparison(handle, false);
    // Candidates of an identification are never made in this build, so only comparisons answer.
    if (!comparison) return RECOG_E_HANDLE;
    if (kind != RECOG_PROBABILITY_COMPARISON) return RECOG_E_INVALID_ARG;
    const VerificationResult& result = *comparison->result;
    if (result.status >= 0) *probability = Embedded::pow10_x_10(result.scoreIndex);
    return RecogResult(result.status);
}

extern "C" RecogResult RecogGetVerificationResult(RecogHandle handle, int32_t threshold) {
    Ptr<ComparisonObj> comparison(handle, false);
    if (!comparison) return RECOG_E_HANDLE;
    if (threshold == RECOG_THRESHOLD_DEFAULT) threshold = kDefaultThreshold;
    if (threshold < 0) return RECOG_E_INVALID_ARG;
    const VerificationResult& result = *comparison->result;
    if (result.status != 0) return RecogResult(result.status);
    if (threshold == RECOG_PROBABILITY_ONE) return RECOG_OK;
    return uint32_t(threshold) > Embedded::pow10_x_10(result.scoreIndex) ? RECOG_OK : RECOG_NO;
}
