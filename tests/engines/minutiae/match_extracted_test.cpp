// Extraction followed by comparison: genuine and impostor scores of synthetic impressions, and
// the equal error rate on the public fingerprint images.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "engines/minutiae/features.h"
#include "engines/minutiae/mnt_engine.h"
#include "sim/finger/finger.h"
#include "tests/engines/minutiae/equal_error_rate.h"
#include "tests/engines/minutiae/match_support.h"
#include "tests/engines/minutiae/test_support.h"

namespace {

using namespace mnt;
using matchtest::EqualErrorRate;

struct ContextOwner {
    MntContext* context = MntCreateContext();
    ~ContextOwner() { MntFreeContext(context); }
};

std::vector<uint8_t> Extract(std::vector<uint8_t> pixels, int width, int height, int ppi, MntContext* context) {
    std::vector<uint8_t> features(kMaxCompressedSize);
    uint64_t size = 0;
    const int32_t r = MntExtract(width, height, pixels.data(), ppi, features.data(), &size, context);
    EXPECT_TRUE(r == MNT_OK || r == MNT_NO_FEATURES) << r;
    features.resize(size_t(size));
    return features;
}

int32_t Score(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b, MntContext* context) {
    MntVerifyRecord record{};
    record.size = MNT_VERIFY_RECORD_SHORT;
    MntVerify(a.data(), b.data(), &record, context);
    return record.score;
}

void Print(const char* name, std::vector<int32_t> scores) {
    std::sort(scores.begin(), scores.end());
    std::printf("%s (%zu):", name, scores.size());
    for (int32_t s : scores) std::printf(" %d", s);
    std::printf("\n");
}

TEST(EqualErrorRate, MeetingPointOfTheTwoErrorRates) {
    EXPECT_DOUBLE_EQ(EqualErrorRate({50, 60, 70}, {1, 2, 3}), 0.0);
    EXPECT_DOUBLE_EQ(EqualErrorRate({1, 2, 3}, {50, 60, 70}), 1.0);
    EXPECT_NEAR(EqualErrorRate({10, 20, 30, 40}, {1, 2, 3, 25}), 0.25, 1e-9);
}

// Impressions of synthetic fingers, extracted and compared: same finger against different ones.
TEST(ExtractedSyntheticScores, GenuineAboveImpostor) {
    ContextOwner owner;
    // Fewer fingers under the sanitizers, where each extraction is slow.
    const int kFingers = test::kSanitized ? 2 : 4, kImpressions = 3;
    std::vector<std::vector<std::vector<uint8_t>>> sets(kFingers);
    for (int f = 0; f < kFingers; ++f)
        for (const auto& im : test::SyntheticImpressions(f))
            sets[f].push_back(Extract(im.image, im.width, im.height, 500, owner.context));
    for (int32_t speed : {0, 256}) {
        MntSetParameter(220, speed, owner.context);
        std::vector<int32_t> genuine, impostor;
        for (int f = 0; f < kFingers; ++f)
            for (int i = 0; i < kImpressions; ++i)
                for (int j = i + 1; j < kImpressions; ++j) genuine.push_back(Score(sets[f][i], sets[f][j], owner.context));
        for (int f = 0; f < kFingers; ++f)
            for (int g = f + 1; g < kFingers; ++g)
                for (int i = 0; i < kImpressions; ++i)
                    impostor.push_back(Score(sets[f][i], sets[g][(i + 1) % kImpressions], owner.context));
        std::printf("speed %d\n", speed);
        Print("extracted genuine", genuine);
        Print("extracted impostor", impostor);
        std::sort(genuine.begin(), genuine.end());
        std::sort(impostor.begin(), impostor.end());
        // Held loosely: most genuine pairs above every impostor pair, and the median genuine
        // score above the default threshold.
        const int32_t worstImpostor = impostor.back();
        const auto above = std::count_if(genuine.begin(), genuine.end(), [&](int32_t s) { return s > worstImpostor; });
        EXPECT_GE(above * 4, int(genuine.size()) * 3) << speed;
        EXPECT_GT(genuine[genuine.size() / 2], 47) << speed;
    }
}

// FVC protocol: every pair of impressions of a finger (genuine), the first impressions of
// different fingers (impostor). The full set (10 fingers, 8 impressions) runs with MNT_FVC_ALL=1;
// by default fewer images keep the test quick, fewest under the sanitizers.
TEST(FvcEqualErrorRate, PublicImages) {
    std::vector<uint8_t> probe;
    int width = 0, height = 0;
    if (!test::ReadTiff(test::FvcPath("101_1.tif"), probe, width, height)) GTEST_SKIP() << "no FVC images";
    const bool all = std::getenv("MNT_FVC_ALL") != nullptr;
    const int fingers = all ? 10 : test::kSanitized ? 3 : 10;
    const int impressions = all ? 8 : test::kSanitized ? 2 : 4;
    ContextOwner owner;
    const auto start = std::chrono::steady_clock::now();
    std::vector<std::vector<std::vector<uint8_t>>> sets;
    for (int finger = 101; finger < 101 + fingers; ++finger) {
        sets.emplace_back();
        for (int i = 1; i <= impressions; ++i) {
            std::vector<uint8_t> pixels;
            const std::string name = std::to_string(finger) + "_" + std::to_string(i) + ".tif";
            ASSERT_TRUE(test::ReadTiff(test::FvcPath(name), pixels, width, height)) << name;
            sets.back().push_back(Extract(pixels, width, height, 500, owner.context));
        }
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("extracted %zu images in %.2f s\n", sets.size() * size_t(impressions), seconds);
    for (int32_t speed : {0, 256}) {
        MntSetParameter(220, speed, owner.context);
        std::vector<int32_t> genuine, impostor;
        for (const auto& finger : sets)
            for (size_t i = 0; i < finger.size(); ++i)
                for (size_t j = i + 1; j < finger.size(); ++j) genuine.push_back(Score(finger[i], finger[j], owner.context));
        for (size_t f = 0; f < sets.size(); ++f)
            for (size_t g = f + 1; g < sets.size(); ++g) impostor.push_back(Score(sets[f][0], sets[g][0], owner.context));
        const double eer = EqualErrorRate(genuine, impostor);
        std::printf("FVC2000 DB1 B, speed %d: %zu genuine, %zu impostor, EER %.1f%%\n", speed, genuine.size(),
                    impostor.size(), 100 * eer);
        Print("fvc genuine", genuine);
        Print("fvc impostor", impostor);
        // Held loosely: a working matcher stays far from chance.
        EXPECT_LT(eer, 0.30) << speed;
    }
}

}  // namespace
