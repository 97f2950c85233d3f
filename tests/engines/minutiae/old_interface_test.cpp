// The older interface: its parameter block, degree conversions, matching, generalisation and
// extraction on its own context.
#include <gtest/gtest.h>

#include <cstring>
#include <initializer_list>
#include <memory>
#include <vector>

#include "engines/minutiae/context.h"
#include "engines/minutiae/mnt_engine.h"
#include "engines/minutiae/old_interface.h"
#include "sim/finger/finger.h"
#include "tests/engines/minutiae/match_support.h"

namespace {

using namespace mnt;
using namespace mnt::test;

// Initialises the engine for one test and finalises it afterwards.
class OldInterface : public ::testing::Test {
 protected:
    void SetUp() override { ASSERT_EQ(MntInitialize(), 0); }
    void TearDown() override { EXPECT_EQ(MntUninitialize(), 0); }

    static std::unique_ptr<MntOldFeatures> Old(const FeatureRecord& record) {
        auto old = std::make_unique<MntOldFeatures>();
        FeaturesToFpd(&record, old.get());
        return old;
    }
    static uint32_t OldContextValue(uint32_t id) {
        uint32_t value = 0;
        EXPECT_EQ(MntGetAdditionalParameter(OldInterfaceContext(), id, &value), MNT_OK);
        return value;
    }
};

TEST(OldDegrees, ConvertBothWays) {
    struct Case {
        int32_t degrees, direction;
    };
    for (auto [degrees, direction] : std::initializer_list<Case>{
             {0, 120}, {90, 60}, {180, 0}, {270, 180}, {359, 121}, {1, 120}, {2, 119}}) {
        EXPECT_EQ(DegreesToDirection(degrees), direction) << degrees;
    }
    for (auto [direction, degrees] : std::initializer_list<Case>{{120, 0}, {60, 90}, {0, 180}, {180, 270}, {121, 359}, {239, 182}, {1, 179}}) {
        EXPECT_EQ(DirectionToDegrees(direction), degrees) << direction;
    }
    for (int32_t a = 0; a < 240; ++a) EXPECT_EQ(DegreesToDirection(DirectionToDegrees(a)), a) << a;
}

TEST_F(OldInterface, DefaultBlockAndClampedSet) {
    MntParameters p{};
    EXPECT_EQ(MntGetParameters(&p), 1);
    EXPECT_EQ(p.goodAreaMeanLimit, 120);
    EXPECT_EQ(p.lineLengthTolerance, 13);
    EXPECT_EQ(p.lineAngleTolerance, 10);
    EXPECT_EQ(p.testLineLimit, 350);
    EXPECT_EQ(p.sampleLineLimit, 700);
    EXPECT_EQ(p.maxLineLength, 150);
    EXPECT_EQ(p.useQualityWeight, 1);
    EXPECT_EQ(p.speedSelector, 4);
    EXPECT_EQ(OldContextValue(20001), 10u);
    EXPECT_EQ(OldContextValue(20003), 350u);

    p.goodAreaMeanLimit = 300;
    p.reservedLevel = 9;
    p.binarizeRadiusSmall = -5;
    p.useCore = -7;
    p.minLineLength = 30;
    EXPECT_EQ(MntSetParameters(&p), 1);
    MntParameters q{};
    MntGetParameters(&q);
    EXPECT_EQ(q.goodAreaMeanLimit, 255);
    EXPECT_EQ(q.reservedLevel, 3);
    EXPECT_EQ(q.binarizeRadiusSmall, 0);
    EXPECT_EQ(q.useCore, -7);
    EXPECT_EQ(OldContextValue(20005), 30u);
    EXPECT_EQ(OldContextValue(10000), 255u);
    EXPECT_EQ(MntGetParameters(nullptr), MNT_NULL_POINTER);
    EXPECT_EQ(MntSetParameters(nullptr), MNT_NULL_POINTER);

    // The next start-up begins from the defaults again.
    EXPECT_EQ(MntUninitialize(), 0);
    ASSERT_EQ(MntInitialize(), 0);
    MntGetParameters(&q);
    EXPECT_EQ(q.goodAreaMeanLimit, 120);
}

TEST_F(OldInterface, FingerprintsMatchingChecksTheRecordAndReportsTheSelectorsCoefficients) {
    auto a = RandomRecord(71, 50);
    auto b = Transformed(*a, 8, 150, 200, 12, -9);
    const auto oa = Old(*a), ob = Old(*b), other = Old(*RandomRecord(72, 50));
    auto record = std::make_unique<MntOldMatchRecord>();
    record->size = 47;
    EXPECT_EQ(FingerprintsMatching(record.get(), oa.get(), ob.get()), -1);
    record->size = MNT_OLD_MATCH_SHORT;
    EXPECT_EQ(FingerprintsMatching(record.get(), nullptr, ob.get()), MNT_NULL_POINTER);
    EXPECT_EQ(FingerprintsMatching(record.get(), oa.get(), ob.get()), MNT_OK);
    EXPECT_EQ(record->coefficientA, 753);
    EXPECT_EQ(record->coefficientB, 15752);
    EXPECT_EQ(OldContextValue(20003), 150u);  // selector 4: speed 256
    EXPECT_EQ(OldContextValue(20021), 1000u);
    EXPECT_EQ(FingerprintsMatching(record.get(), oa.get(), other.get()), MNT_NO_MATCH);

    struct Case {
        int32_t selector, a, b, lines;
    };
    for (auto [selector, ca, cb, lines] : std::initializer_list<Case>{
             {0, 497, 10658, 700}, {1, 993, -813, 150}, {3, 993, -813, 150}, {5, 1902, 10210, 150}, {9, 497, 10658, 150}}) {
        MntParameters p{};
        MntGetParameters(&p);
        p.speedSelector = selector;
        MntSetParameters(&p);
        record->size = MNT_OLD_MATCH_LONG;
        EXPECT_EQ(FingerprintsMatching(record.get(), oa.get(), ob.get()), MNT_OK) << selector;
        EXPECT_EQ(record->coefficientA, ca) << selector;
        EXPECT_EQ(record->coefficientB, cb) << selector;
        EXPECT_EQ(OldContextValue(20003), uint32_t(lines)) << selector;
        EXPECT_GT(record->pairCount, 20u) << selector;
        EXPECT_LE(record->pairCount, uint32_t(MNT_OLD_MATCH_PAIRS));
    }

    // A context named in the record is used in place of the older interface's own.
    MntContext* own = CreateFMO();
    record->context = own;
    EXPECT_EQ(FingerprintsMatching(record.get(), oa.get(), ob.get()), MNT_OK);
    EXPECT_NE(own->matchData, nullptr);
    EXPECT_EQ(DestroyFMO(own), MNT_OK);
}

TEST_F(OldInterface, GeneralizationOfThreeOldStructures) {
    auto a = RandomRecord(81, 50);
    const auto o0 = Old(*a);
    const auto o1 = Old(*Transformed(*a, 4, 150, 200, 6, 3));
    const auto o2 = Old(*Transformed(*a, -4, 150, 200, -5, 8));
    const MntOldFeatures* three[3] = {o0.get(), o1.get(), o2.get()};
    auto result = std::make_unique<MntOldFeatures>();
    const int32_t base = FeaturesGeneralization(three, result.get());
    ASSERT_GE(base, 0);
    EXPECT_GE(result->count, 40);
    EXPECT_EQ(FeaturesGeneralization(nullptr, result.get()), MNT_NULL_POINTER);
    const auto stranger = Old(*RandomRecord(82, 50));
    const MntOldFeatures* mixed[3] = {o0.get(), o1.get(), stranger.get()};
    EXPECT_EQ(FeaturesGeneralization(mixed, result.get()), -1);
}

TEST_F(OldInterface, ExtractionOnASyntheticImpression) {
    const simfinger::Impression& im = SyntheticImpressions(0)[0];
    std::vector<uint8_t> image = im.image;
    auto features = std::make_unique<MntOldFeatures>();
    EXPECT_EQ(FeaturesExtraction(im.width, im.height, image.data(), 9, features.get()), MNT_BAD_RESOLUTION);
    EXPECT_EQ(FeaturesExtraction(im.width, im.height, nullptr, 100, features.get()), MNT_NULL_POINTER);
    const int32_t r = FeaturesExtraction(im.width, im.height, image.data(), 100, features.get());
    EXPECT_TRUE(r == 0 || r == 1) << r;
    EXPECT_GT(features->count, 10);
    for (int i = 0; i < features->count; ++i) {
        EXPECT_GE(features->angle[i], 0);
        EXPECT_LT(features->angle[i], 360);
    }
    for (uint8_t v : image) ASSERT_TRUE(v == 0 || v == 255);
}

}  // namespace
