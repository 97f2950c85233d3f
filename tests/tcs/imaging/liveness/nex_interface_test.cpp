// The liveness interface: argument checks in their order, handles and their tables, the test's
// failures and its score, and release of everything on every path.
#include "tcs/imaging/liveness/classifier.h"
#include "tcs/imaging/liveness/features.h"
#include "tcs/imaging/liveness/mask_gen.h"
#include "tcs/imaging/liveness/nex.h"
#include "tcs/imaging/liveness/test_seams.h"
#include "tests/tcs/imaging/liveness/liveness_images.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>

namespace {

using livetest::Image;

// Every test leaves the module without tables and with the allocation seam off.
class Liveness : public ::testing::Test {
protected:
    void TearDown() override {
        nexSetClassifierTables(nullptr);
        nexTestFailAllocationAfter(-1);
    }
    NexHandle* open() {
        uint32_t size = 0;
        NexConfigRecord config{sizeof(NexConfigRecord), 0x2E7B, {}, 0, nullptr};
        config.data = nexGetConfigData(&size);
        config.dataSize = size;
        NexHandle* handle = nullptr;
        uint32_t statusSize = 0, resultSize = 0;
        EXPECT_EQ(nexInitialize(0, &handle, &statusSize, &resultSize, &config), 0u);
        return handle;
    }
};

// One call's arguments, all valid until a case breaks them.
struct Call {
    explicit Call(const Image& im) : image(livetest::describe(im)), second(image) {
        flags.size = sizeof flags;
        flags.flags[20] = 1;
        status.size = sizeof status;
        result.size = sizeof result;
        result.score = 77;
    }
    uint32_t run(NexHandle* h) {
        return nexLivenessTest(h, secondPtr, imagePtr, flagsPtr, statusPtr, resultPtr);
    }
    int32_t score() const { return result.score; }  // by value: the record is packed
    nexImage_t image, second;
    NexFlagsRecord flags{};
    NexStatusRecord status{};
    NexResultRecord result{};
    const nexImage_t* imagePtr = &image;
    const nexImage_t* secondPtr = &second;
    const NexFlagsRecord* flagsPtr = &flags;
    NexStatusRecord* statusPtr = &status;
    NexResultRecord* resultPtr = &result;
    bool untagged = false, nullHandle = false;
};

TEST_F(Liveness, ArgumentChecksGiveTheFirstFailingCode) {
    const Image im = livetest::straightRidges(40, 50, 9, 0);
    struct Case {
        const char* name;
        std::function<void(Call&)> breakIt;
        uint32_t expected;
    };
    const std::vector<Case> cases = {
        {"null handle", [](Call& c) { c.nullHandle = true; }, 56},
        {"handle not tagged 74", [](Call& c) { c.untagged = true; }, 56},
        {"null image", [](Call& c) { c.imagePtr = nullptr; }, 57},
        {"descriptor of 51 bytes", [](Call& c) { c.image.size = 51; }, 57},
        {"second word not 0", [](Call& c) { c.image.zero = 1; }, 57},
        {"failed reconstruction (quality bit 31)", [](Call& c) { c.image.quality = 0x80000000u; }, 57},
        {"16 bits per pixel", [](Call& c) { c.image.bitsPerPixel = 16; }, 57},
        {"data one byte short", [](Call& c) { --c.image.dataSize; }, 57},
        {"null pixels", [](Call& c) { c.image.pixels = nullptr; }, 57},
        {"rows x columns beyond 32 bits", [](Call& c) { c.image.rows = c.image.columns = 0x10000; }, 57},
        {"second descriptor of 51 bytes", [](Call& c) { c.second.size = 51; }, 58},
        {"no second descriptor", [](Call& c) { c.secondPtr = nullptr; }, 58},
        {"bad second descriptor without a result record", [](Call& c) { c.second.size = 51, c.resultPtr = nullptr; }, 61},
        {"null flags", [](Call& c) { c.flagsPtr = nullptr; }, 59},
        {"flags of 24 bytes", [](Call& c) { c.flags.size = 24; }, 59},
        {"null status", [](Call& c) { c.statusPtr = nullptr; }, 60},
        {"status of 8 bytes", [](Call& c) { c.status.size = 8; }, 60},
        {"result of 8 bytes", [](Call& c) { c.result.size = 8; }, 61},
        {"everything wrong", [](Call& c) { c.untagged = true, c.imagePtr = nullptr, c.flagsPtr = nullptr; }, 56},
        {"image and status wrong", [](Call& c) { c.image.bitsPerPixel = 1, c.status.size = 0; }, 57},
        {"flags and result wrong", [](Call& c) { c.flags.size = 0, c.result.size = 0; }, 59},
    };
    NexHandle* handle = open();
    uint32_t fake[32] = {73};
    for (const Case& c : cases) {
        Call call(im);
        c.breakIt(call);
        NexHandle* h = call.nullHandle ? nullptr : call.untagged ? reinterpret_cast<NexHandle*>(fake) : handle;
        EXPECT_EQ(call.run(h), c.expected) << c.name;
        EXPECT_EQ(call.score(), 77) << c.name << ": the score is only touched once the checks pass";
    }
    NexResultRecord result{sizeof(NexResultRecord), 0, {}};
    EXPECT_EQ(nexFinalize(handle, nullptr, nullptr, nullptr, &result), 0u);
}

TEST_F(Liveness, InitializeChecksItsArgumentsInOrder) {
    NexConfigRecord config{sizeof(NexConfigRecord), 0x2E7B, {}, 0, nullptr};
    NexConfigRecord shortConfig = config;
    shortConfig.size = 43;
    NexHandle* handle = nullptr;
    uint32_t statusSize = 0, resultSize = 0;
    struct Case {
        const char* name;
        NexHandle** out;
        uint32_t* status;
        uint32_t* result;
        const NexConfigRecord* config;
        uint32_t expected;
    };
    for (const Case& c : {Case{"no out handle", nullptr, nullptr, nullptr, nullptr, 57},
                          Case{"no status size", &handle, nullptr, &resultSize, &config, 58},
                          Case{"no result size", &handle, &statusSize, nullptr, nullptr, 59},
                          Case{"no config", &handle, &statusSize, &resultSize, nullptr, 60},
                          Case{"config of 43 bytes", &handle, &statusSize, &resultSize, &shortConfig, 60}}) {
        handle = reinterpret_cast<NexHandle*>(1);
        EXPECT_EQ(nexInitialize(0, c.out, c.status, c.result, c.config), c.expected) << c.name;
        if (c.out != nullptr) {
            EXPECT_EQ(handle, nullptr) << c.name;
        }
    }
    // No configuration data: the handle uses the built-in data instead.
    ASSERT_EQ(nexInitialize(0, &handle, &statusSize, &resultSize, &config), 0u);
    EXPECT_EQ(statusSize, 4u);
    EXPECT_EQ(resultSize, 29u);
    NexResultRecord result{sizeof(NexResultRecord), 0, {}};
    EXPECT_EQ(nexFinalize(handle, nullptr, nullptr, nullptr, &result), 0u);

    uint32_t size = 0;
    const void* data = nexGetConfigData(&size);
    ASSERT_NE(data, nullptr);
    EXPECT_EQ(size, 4u);
    EXPECT_EQ(*static_cast<const uint32_t*>(data), 4u);
    EXPECT_EQ(nexGetConfigData(nullptr), nullptr);
}

// A tagged handle goes in every case (the sanitizer build's leak check sees it); an untagged one
// is left alone.
TEST_F(Liveness, FinalizeReleasesEveryTaggedHandle) {
    NexResultRecord good{sizeof(NexResultRecord), 0, {}};
    NexResultRecord tooSmall{8, 0, {}};
    EXPECT_EQ(nexFinalize(nullptr, nullptr, nullptr, nullptr, &good), 56u);
    uint32_t fake[32] = {73};
    EXPECT_EQ(nexFinalize(reinterpret_cast<NexHandle*>(fake), nullptr, nullptr, nullptr, &good), 56u);
    EXPECT_EQ(fake[0], 73u);
    EXPECT_EQ(nexFinalize(open(), nullptr, nullptr, nullptr, nullptr), 57u);
    EXPECT_EQ(nexFinalize(open(), nullptr, nullptr, nullptr, &tooSmall), 57u);
    EXPECT_EQ(nexFinalize(open(), nullptr, nullptr, nullptr, &good), 0u);
    livRelease(nullptr);
    EXPECT_EQ(livClassify(nullptr, nexImage_t{}, 0.5), 0u);
}

// Without tables nothing is allocated: the first allocation is set to fail and the result is still
// "no liveness result", not "out of memory".
TEST_F(Liveness, WithoutTablesTheTestStopsBeforeItsStages) {
    const Image im = livetest::fvcPrint("105_3");
    ASSERT_FALSE(im.pixels.empty());
    NexHandle* handle = open();
    Call call(im);
    nexTestFailAllocationAfter(0);
    EXPECT_EQ(call.run(handle), 1u);
    EXPECT_EQ(call.score(), 0);
    nexTestFailAllocationAfter(-1);
    EXPECT_EQ(nexFinalize(handle, nullptr, nullptr, nullptr, &call.result), 0u);
}

// A handle scores with the tables that were there when it was made.
TEST_F(Liveness, HandleKeepsTheTablesItWasMadeWith) {
    const Image im = livetest::fvcPrint("105_3");
    NexHandle* without = open();
    ASSERT_EQ(nexSetClassifierTables(livetest::flatTables(0.25).get()), 0u);
    NexHandle* with = open();
    ASSERT_EQ(nexSetClassifierTables(nullptr), 0u);
    Call a(im), b(im);
    EXPECT_EQ(a.run(without), 1u);
    EXPECT_EQ(b.run(with), 0u);
    EXPECT_EQ(b.score(), 250);
    nexFinalize(without, nullptr, nullptr, nullptr, &a.result);
    nexFinalize(with, nullptr, nullptr, nullptr, &b.result);
}

TEST_F(Liveness, ImagesWithoutForegroundGiveNoResultAndScoreZero) {
    ASSERT_EQ(nexSetClassifierTables(livetest::flatTables(0.25).get()), 0u);
    NexHandle* handle = open();
    for (uint8_t grey : {0, 200, 255}) {
        const Image blank{120, 90, std::vector<uint8_t>(120 * 90, grey)};
        Call call(blank);
        EXPECT_EQ(call.run(handle), 1u) << int(grey);
        EXPECT_EQ(call.score(), 0) << int(grey);
    }
    // No pixels at all, or more rows than a swipe can have: nothing to analyse either.
    for (auto [rows, columns] : {std::pair{0, 0}, std::pair{5, 0}, std::pair{0, 7}}) {
        const Image empty{rows, columns, std::vector<uint8_t>(1)};
        Call call(empty);
        EXPECT_EQ(call.run(handle), 1u) << rows << "x" << columns;
    }
    const Image column{0x10000, 1, std::vector<uint8_t>(0x10000, 128)};
    Call tall(column);
    EXPECT_EQ(tall.run(handle), 1u);
    NexResultRecord result{sizeof(NexResultRecord), 0, {}};
    nexFinalize(handle, nullptr, nullptr, nullptr, &result);
}

// The mask finds a foreground, two columns of 17 pixels between two lone dots, but the features
// cannot be measured over it: the intensity histogram over the mask needs 100 pixels. The test gives
// no result instead of a score made from NaN features (which these tables would turn into 0).
TEST_F(Liveness, TooFewPixelsToMeasureGiveNoResult) {
    Image im{60, 60, std::vector<uint8_t>(60 * 60)};
    im.pixels[30 * 60 + 10] = 255;
    im.pixels[30 * 60 + 25] = 1;
    std::vector<uint8_t> mask(im.pixels.size()), ridge(im.pixels.size()), thinned(im.pixels.size());
    ASSERT_EQ(liveness::mask_gen(im.pixels.data(), mask.data(), ridge.data(), thinned.data(), im.rows, im.columns), 0);
    ASSERT_EQ(nexSetClassifierTables(livetest::flatTables(0.25).get()), 0u);
    NexHandle* handle = open();
    Call call(im);
    EXPECT_EQ(call.run(handle), 1u);
    EXPECT_EQ(call.score(), 0);
    nexFinalize(handle, nullptr, nullptr, nullptr, &call.result);
}

// The score is the classifier's over the features of the mask stage's planes: rows and columns,
// flags and resolution as the stages expect them (a print with fewer columns than rows).
TEST_F(Liveness, ScoreIsTheClassifiersOverTheImagesFeatures) {
    const Image im = livetest::fvcPrint("105_3", 240);
    ASSERT_FALSE(im.pixels.empty());
    auto tables = livetest::variedTables();
    ASSERT_EQ(nexSetClassifierTables(tables.get()), 0u);

    const size_t n = im.pixels.size();
    std::vector<uint8_t> mask(n), ridge(n), thinned(n);
    ASSERT_EQ(liveness::mask_gen(im.pixels.data(), mask.data(), ridge.data(), thinned.data(), im.rows, im.columns), 0);
    double features[NEX_FEATURE_COUNT] = {};
    ASSERT_EQ(liveness::extract_features(im.pixels.data(), mask.data(), ridge.data(), thinned.data(), features,
                                         im.columns, im.rows, 500, {1, 1, 1, 1, 1, 1}),
              1);
    const int32_t expected = liveness::MLP_Test(features, *tables);

    NexHandle* handle = open();
    Call call(im);
    ASSERT_EQ(call.run(handle), 0u);
    EXPECT_EQ(call.score(), expected);
    EXPECT_NE(call.score(), 100) << "the hidden layer took part";
    nexFinalize(handle, nullptr, nullptr, nullptr, &call.result);
}

// Each allocation in turn fails: the test reports 2 and gives back what it took (the sanitizer
// build's leak check), until the count runs past the last allocation and the test succeeds.
TEST_F(Liveness, OutOfMemoryAnywhereGivesTwoAndReleasesEverything) {
    const Image im = livetest::straightRidges(40, 40, 9, 0.4);
    ASSERT_EQ(nexSetClassifierTables(livetest::flatTables(0.5).get()), 0u);
    NexHandle* handle = open();
    int failures = 0;
    for (int32_t k = 0; k < 2000; ++k) {
        Call call(im);
        nexTestFailAllocationAfter(k);
        const uint32_t r = call.run(handle);
        nexTestFailAllocationAfter(-1);
        if (r == 0) {
            EXPECT_EQ(call.score(), 500);
            break;
        }
        ASSERT_EQ(r, 2u) << "allocation " << k;
        EXPECT_EQ(call.score(), 0);
        ++failures;
    }
    EXPECT_GT(failures, 20);
    NexResultRecord result{sizeof(NexResultRecord), 0, {}};
    nexFinalize(handle, nullptr, nullptr, nullptr, &result);
}

}  // namespace
