// The reconstructor interface: the record's limits, offline rebuilds from capture files, the
// driver's information calls, its liveness step and the liveness metrics of an image.
#include "platform/settings.h"
#include "platform/test_seams.h"
#include "sim/swipe/swipe_model.h"
#include "tcs/imaging/capture_file.h"
#include "tcs/imaging/ids_internal.h"
#include "tcs/imaging/liveness/nex.h"
#include "tcs/imaging/reconstructor_interface.h"
#include "tests/tcs/imaging/liveness/liveness_images.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr const char* kIr = "SOFTWARE\\Tovantic\\IR";

class Settings : public ::testing::Test {
protected:
    void SetUp() override {
        path_ = ::testing::TempDir() + "/ids_ir_settings" + std::to_string(getpid());
        std::remove(path_.c_str());
        palTestSetSettingsPath(path_.c_str());
    }
    void TearDown() override {
        palTestSetSettingsPath(nullptr);
        std::remove(path_.c_str());
        for (const std::string& f : files_) std::remove(f.c_str());
    }
    std::string file(const std::string& name) {
        files_.push_back(::testing::TempDir() + "/" + name + std::to_string(getpid()) + ".qcf");
        return files_.back();
    }
    std::string path_;
    std::vector<std::string> files_;
};

swipe_model::SwipeModel model() {
    static const swipe_model::GreyImage finger = swipe_model::syntheticRidges(300, 500, 9, 150, 150);
    swipe_model::SwipeConfig config;
    config.noiseSigma = 2;
    return swipe_model::SwipeModel(finger, config);
}

// A capture file as a capture of the model's swipe leaves it: header naming the flex, the
// configuration reply's words as registers, the print command and the raw lines.
// A sensor of generation 5 or later (byte 8 of its version block) may leave its processed
// baseline table as kind 12.
void writeCapture(const std::string& path, uint32_t flexId, const std::vector<uint8_t>& raw,
                  const std::vector<uint32_t>& words, uint32_t recordBytes, uint32_t buffered = 0,
                  uint8_t generation = 0, const std::vector<uint8_t>& baselineTable = {}) {
    QcfFile* file = nullptr;
    ASSERT_EQ(fclQcfCreateA(&file, path.c_str()), 0u);
    QcfSection s;
    std::memset(&s, 0, sizeof s);
    s.kind = QCF_KIND_HEADER;
    s.u.header.words[1] = flexId;
    s.u.header.bytes8[0] = generation;
    ASSERT_EQ(fclQcfWriteSection(file, &s), 0u);
    if (!baselineTable.empty()) {
        std::memset(&s, 0, sizeof s);
        s.kind = QCF_KIND_BASELINE_FIRST;
        s.u.baseline = {1, uint16_t(baselineTable.size()), baselineTable.data()};
        ASSERT_EQ(fclQcfWriteSection(file, &s), 0u);
    }
    std::memset(&s, 0, sizeof s);
    s.kind = QCF_KIND_REGISTERS;
    s.u.words = {uint32_t(words.size()), words.data()};
    ASSERT_EQ(fclQcfWriteSection(file, &s), 0u);
    std::memset(&s, 0, sizeof s);
    s.kind = QCF_KIND_GET_PRINT_CONFIG;
    s.u.getPrintConfig = {recordBytes, 0, 100};
    ASSERT_EQ(fclQcfWriteSection(file, &s), 0u);
    std::memset(&s, 0, sizeof s);
    s.kind = QCF_KIND_RAW_BUFFERED_SIZE;
    s.u.value = buffered;
    ASSERT_EQ(fclQcfWriteSection(file, &s), 0u);
    std::memset(&s, 0, sizeof s);
    s.kind = QCF_KIND_RAW_FP_DATA;
    s.u.raw = {uint16_t(recordBytes), 0, uint32_t(raw.size()), raw.data()};
    ASSERT_EQ(fclQcfWriteSection(file, &s), 0u);
    ASSERT_EQ(fclQcfClose(file), 0u);
}

TEST_F(Settings, MaximumImageSizeIsClamped) {
    struct Case {
        int64_t setting;  // -1: no key
        uint32_t expected;
    };
    for (auto [setting, expected] : std::initializer_list<Case>{{-1, 86016}, {90000, 86016}, {50000, 68608},
                                                                {70000, 70000}}) {
        if (setting >= 0) palSetPersistentDataLongValue(kIr, "ReconstructImageSize", uint32_t(setting));
        ImageReconstructorInterface ir{};
        ASSERT_EQ(irDliRTStartup(&ir), 0u);
        EXPECT_EQ(ir.maxImageSize, expected) << setting;
        EXPECT_EQ(ir.timeBudget, 6000u);
        EXPECT_EQ(ir.Open, &irDliOpen);
        EXPECT_EQ(ir.PrependData, &irDliPrependData);
    }
    EXPECT_EQ(irDliRTStartup(nullptr), 17u);
}

TEST_F(Settings, OfflineRebuildGivesTheSwipedImage) {
    const swipe_model::SwipeModel m = model();
    ASSERT_TRUE(m.valid());
    const std::string path = file("rebuild");
    writeCapture(path, 14, m.stream(0, 300), m.timeslotWords(), m.recordBytes());
    ImageRecord* image = nullptr;
    ImageRecord* raw = nullptr;
    ASSERT_EQ(idsReconstructQcfToImage(path.c_str(), &image, &raw, nullptr), 0u);
    ASSERT_NE(image, nullptr);
    // 300 lines at the nominal lag of 8 lines per row step give a little under 300 rows.
    EXPECT_GT(image->rows, 200u);
    EXPECT_LE(image->rows, 420u);
    EXPECT_GT(image->columns, 150u);
    EXPECT_EQ(image->dataSize, image->rows * image->columns);
    EXPECT_EQ(std::memcmp(image->magic, "TIMG", 4), 0);
    EXPECT_EQ(image->horizontalPpi, 508u);
    EXPECT_EQ(image->quality & 0x80000000u, 0u) << std::hex << image->quality;
    _tcsImageDestroy(image);
    if (raw != nullptr) _tcsImageDestroy(raw);
}

// The variance table a newer sensor's capture file keeps is the rebuild's baseline-variance map;
// without it (or on an older sensor, which keeps no table) the image is marked as made without one.
TEST_F(Settings, OfflineRebuildUsesTheFilesBaselineTable) {
    const swipe_model::SwipeModel m = model();
    const std::vector<uint8_t> table(m.recordBytes(), 128);  // mid-grey: a usable baseline
    struct Case {
        const char* name;
        uint8_t generation;
        bool withTable;
        bool withoutMap;
    };
    for (const Case& c : {Case{"newer sensor with its table", 5, true, false}, Case{"no table", 5, false, true},
                          Case{"older sensor", 4, true, true}}) {
        const std::string path = file("table");
        writeCapture(path, 14, m.stream(0, 300), m.timeslotWords(), m.recordBytes(), 0, c.generation,
                     c.withTable ? table : std::vector<uint8_t>{});
        ImageRecord* image = nullptr;
        ASSERT_EQ(idsReconstructQcfToImage(path.c_str(), &image, nullptr, nullptr), 0u) << c.name;
        EXPECT_EQ((image->quality & 0x400000u) != 0, c.withoutMap) << c.name << std::hex << " " << image->quality;
        EXPECT_GT(image->rows, 200u) << c.name;
        _tcsImageDestroy(image);
    }
}

TEST_F(Settings, OfflineRebuildOfAnUnknownFlexFallsBackOnlyFor91) {
    const swipe_model::SwipeModel m = model();
    struct Case {
        uint32_t flexId;
        TcsResult expected;
    };
    // Flex 91 has no row of its own: a rebuild uses flex 59's reconstructor and geometry, which the
    // flex-14 time-slot words do not fit, so the failure comes from the table, not from the lookup.
    for (auto [flexId, expected] : std::initializer_list<Case>{{14, 0}, {91, 17}, {77, 6}}) {
        const std::string path = file("flex" + std::to_string(flexId));
        writeCapture(path, flexId, m.stream(0, 200), m.timeslotWords(), m.recordBytes());
        ImageRecord* image = nullptr;
        EXPECT_EQ(idsReconstructQcfToImage(path.c_str(), &image, nullptr, nullptr), expected) << flexId;
        if (image != nullptr) _tcsImageDestroy(image);
    }
}

TEST_F(Settings, DamagedCaptureFileGivesNoImage) {
    const std::string path = file("damaged");
    std::FILE* f = std::fopen(path.c_str(), "wb");
    const uint8_t junk[] = {40, 0, 0, 0, 8, 0, 0, 0, 1, 0, 0, 0, 1, 2};
    std::fwrite(junk, 1, sizeof junk, f);
    std::fclose(f);
    ImageRecord* image = nullptr;
    EXPECT_EQ(idsReconstructQcfToImage(path.c_str(), &image, nullptr, nullptr), 219u);
    EXPECT_EQ(image, nullptr);
    EXPECT_EQ(idsReconstructQcfToImage("/nonexistent/x", &image, nullptr, nullptr), 207u);
    // No raw data at all.
    QcfFile* q = nullptr;
    ASSERT_EQ(fclQcfCreateA(&q, path.c_str()), 0u);
    QcfSection s;
    std::memset(&s, 0, sizeof s);
    s.kind = QCF_KIND_SWIPE_DIRECTION;
    fclQcfWriteSection(q, &s);
    fclQcfClose(q);
    EXPECT_EQ(idsReconstructQcfToImage(path.c_str(), &image, nullptr, nullptr), QCF_RESULT_SECTION_MISSING);
}

struct UserEvents {
    std::vector<uint32_t> ids;
    uint32_t failOn = 0xFFFF;
};
void recordUser(IrDliUserEvent* event, uint32_t* status) {
    auto* log = static_cast<UserEvents*>(event->context);
    log->ids.push_back(event->id);
    *status = event->id == log->failOn ? 54 : 0;
}

struct Offline {
    swipe_model::SwipeModel m = model();
    std::vector<uint32_t> words = m.timeslotWords();
    IrDliOfflineData data{};
    UserEvents events;
    IrDliOpenParams params{};
    std::vector<uint8_t> blob;
    Offline() {
        data.printCommand[0] = m.recordBytes();
        data.printCommand[2] = 100;
        data.timeslotTable = words.data();
        data.timeslotBytes = uint32_t(words.size() * 4);
        params.flexId = 14;
        params.offline = &data;
        params.userCallback = recordUser;
        params.userContext = &events;
    }
    // A print-parameter blob {4-byte head, tag 45 record} with the given length and first word.
    void trailerParam(uint16_t length, uint32_t word) {
        blob.assign(4 + 4 + length, 0);
        blob[4] = 45;
        blob[6] = uint8_t(length);
        std::memcpy(blob.data() + 8, &word, 4);
        data.printParam = blob.data();
        data.printParamLength = uint32_t(blob.size());
    }
};

TEST_F(Settings, OpenChecksAndUserEvents) {
    struct Case {
        const char* name;
        uint32_t flexId;
        bool withSensor;
        uint16_t paramLength;  // 0: no print parameter 45
        uint32_t paramWord;
        uint32_t failOn;
        TcsResult expected;
        std::vector<uint32_t> events;
    };
    IdsSensor unusedSensor{};
    const std::vector<Case> cases = {
        {"opens", 14, false, 0, 0, 0xFFFF, 0, {0}},
        {"unknown flex", 77, false, 0, 0, 0xFFFF, 40, {9}},
        {"91 with a sensor", 91, true, 0, 0, 0xFFFF, 40, {9}},
        {"trailer record of 20 bytes", 14, false, 20, 0, 0xFFFF, 7, {9}},
        {"trailer type 2", 14, false, 28, 2u << 9, 0xFFFF, 7, {9}},
        {"trailer type 1", 14, false, 28, 1u << 9, 0xFFFF, 0, {0}},
        {"callback refuses the open", 14, false, 0, 0, 0, 54, {0, 9}},
    };
    for (const Case& c : cases) {
        Offline o;
        o.params.flexId = c.flexId;
        o.params.sensor = c.withSensor ? &unusedSensor : nullptr;
        o.events.failOn = c.failOn;
        if (c.paramLength != 0) o.trailerParam(c.paramLength, c.paramWord);
        void* instance = reinterpret_cast<void*>(1);
        EXPECT_EQ(irDliOpen(&instance, &o.params), c.expected) << c.name;
        EXPECT_EQ(o.events.ids, c.events) << c.name;
        if (c.expected == 0) {
            ASSERT_NE(instance, nullptr);
            EXPECT_EQ(irDliClose(instance), 0u);
            EXPECT_EQ(o.events.ids.back(), 9u) << c.name;
        } else {
            EXPECT_EQ(instance, nullptr) << c.name;
        }
    }
    void* instance = nullptr;
    EXPECT_EQ(irDliOpen(nullptr, nullptr), 17u);
    EXPECT_EQ(irDliOpen(&instance, nullptr), 17u);
}

TEST_F(Settings, InformationAndImageHandOut) {
    Offline o;
    void* instance = nullptr;
    ASSERT_EQ(irDliOpen(&instance, &o.params), 0u);
    uint32_t value = 0;
    EXPECT_EQ(irDliGetInfo(instance, 0, &value), 0u);
    EXPECT_EQ(value, 4u);
    EXPECT_EQ(irDliGetInfo(instance, 4, &value), 0u);
    EXPECT_EQ(value, 288u);  // flex 14's unpack buffer length
    EXPECT_EQ(irDliGetInfo(instance, 2, &value), 17u);
    EXPECT_EQ(irDliGetInfo(instance, 1, nullptr), 40u);
    ImageRecord* image = nullptr;
    EXPECT_EQ(irDliGetImage(instance, &image, nullptr), 7u);  // not ready yet
    EXPECT_EQ(irDliSetInfo(instance, 0, nullptr), 40u);
    EXPECT_EQ(irDliSetInfo(instance, 7, nullptr), 17u);
    EXPECT_EQ(irDliSetInfo(nullptr, 1, nullptr), 40u);
    EXPECT_EQ(irDliService(nullptr, 10), 40u);

    const std::vector<uint8_t> stream = o.m.stream(0, 300);
    IrDliBuffer first{stream.data(), uint32_t(stream.size() / 2), 0};
    ASSERT_EQ(irDliData(instance, &first), 0u);
    EXPECT_EQ(first.done, 0u);
    IrDliBuffer rest{stream.data() + stream.size() / 2, uint32_t(stream.size() - stream.size() / 2), 1};
    ASSERT_EQ(irDliData(instance, &rest), 0u);
    EXPECT_EQ(rest.done, 1u);
    // Lines were reported one by one, then the end of the swipe as 8 and 6.
    ASSERT_GE(o.events.ids.size(), 3u);
    EXPECT_EQ(o.events.ids[o.events.ids.size() - 2], 8u);
    EXPECT_EQ(o.events.ids.back(), 6u);
    EXPECT_EQ(irDliService(instance, 1000000), 201u);
    ImageRecord* second = reinterpret_cast<ImageRecord*>(1);
    ASSERT_EQ(irDliGetImage(instance, &image, &second), 0u);
    ASSERT_NE(image, nullptr);
    EXPECT_GT(image->rows, 100u);
    // A second hand-out finds no image.
    ImageRecord* again = nullptr;
    EXPECT_EQ(irDliGetImage(instance, &again, nullptr), 7u);
    EXPECT_EQ(irDliClose(instance), 0u);
    _tcsImageDestroy(image);
    EXPECT_EQ(irDliClose(nullptr), 40u);
    EXPECT_EQ(irDliShutdown(nullptr), 17u);
}

TEST_F(Settings, CallersImageIsFilledAndFlippedTopToBottom) {
    Offline o;
    ImageRecord* mine = nullptr;
    ASSERT_EQ(_tcsImageCreate(&mine, nullptr, 0x15000, 0, 0, 0), 0u);
    o.params.outputImage = mine;
    void* instance = nullptr;
    ASSERT_EQ(irDliOpen(&instance, &o.params), 0u);
    const std::vector<uint8_t> stream = o.m.stream(0, 300);
    IrDliBuffer all{stream.data(), uint32_t(stream.size()), 1};
    ASSERT_EQ(irDliData(instance, &all), 0u);
    ASSERT_EQ(irDliService(instance, 1000000), 201u);
    // The rows as the reconstruction left them, before the hand-out flips them.
    const uint32_t rows = mine->rows, columns = mine->columns;
    ASSERT_GT(rows, 1u);
    const std::vector<uint8_t> before(tcsImagePixels(mine), tcsImagePixels(mine) + rows * columns);
    ImageRecord* image = nullptr;
    ASSERT_EQ(irDliGetImage(instance, &image, nullptr), 0u);
    EXPECT_EQ(image, mine);
    for (uint32_t r = 0; r < rows; r += rows / 7 + 1) {
        EXPECT_EQ(std::memcmp(tcsImagePixels(image) + size_t(r) * columns, before.data() + size_t(rows - 1 - r) * columns,
                              columns),
                  0)
            << r;
    }
    // The caller's image is never the driver's to free.
    EXPECT_EQ(irDliClose(instance), 0u);
    _tcsImageDestroy(mine);
}

// The liveness step scores the raw swipe that the rebuild keeps beside the image: with tables the
// image carries the score, clamped into -1000..2000, as its ASP score and metrics; without them the
// metrics stay zeroed and the score 0.
TEST_F(Settings, RebuildCarriesTheClampedLivenessScore) {
    const swipe_model::SwipeModel m = model();
    const std::string path = file("liveness");
    writeCapture(path, 14, m.stream(0, 300), m.timeslotWords(), m.recordBytes());
    struct Case {
        const char* name;
        double bias;  // NaN: no tables
        int32_t score;
        uint32_t kind;
    };
    for (const Case& c : {Case{"no tables", std::nan(""), 0, 0}, Case{"in range", 0.25, 250, 2},
                          Case{"above 2000", 5, 2000, 2}, Case{"below -1000", -3, -1000, 2}}) {
        ASSERT_EQ(nexSetClassifierTables(std::isnan(c.bias) ? nullptr : livetest::flatTables(c.bias).get()), 0u);
        ImageRecord* image = nullptr;
        ImageRecord* raw = nullptr;
        ASSERT_EQ(idsReconstructQcfToImage(path.c_str(), &image, &raw, nullptr), 0u) << c.name;
        // The raw swipe: the lines the culling kept, as they came, up to 300 of them.
        ASSERT_NE(raw, nullptr);
        EXPECT_GT(raw->rows, 100u) << c.name;
        EXPECT_LE(raw->rows, 300u) << c.name;
        EXPECT_EQ(raw->dataSize, raw->rows * raw->columns) << c.name;
        EXPECT_EQ(int32_t(image->aspScore), c.score) << c.name;
        const auto* metrics = static_cast<const AspMetricsBlock*>(image->aspMetrics);
        ASSERT_NE(metrics, nullptr);
        EXPECT_EQ(metrics->size, 72u) << c.name;
        EXPECT_EQ(metrics->kind, c.kind) << c.name;
        EXPECT_EQ(metrics->verdict[7], c.score > 550 ? 1u : 0u) << c.name;
        EXPECT_EQ(metrics->verdict[0], c.kind == 2 && c.score >= -199 ? 1u : 0u) << c.name;
        _tcsImageDestroy(image);
        _tcsImageDestroy(raw);
    }
    nexSetClassifierTables(nullptr);
}

// The score the image carries is the raw swipe's, the lines as they came, not the finished image's.
TEST_F(Settings, RebuildScoresTheRawSwipe) {
    const swipe_model::SwipeModel m = model();
    const std::string path = file("rawscore");
    writeCapture(path, 14, m.stream(0, 300), m.timeslotWords(), m.recordBytes());
    ASSERT_EQ(nexSetClassifierTables(livetest::variedTables().get()), 0u);
    ImageRecord* image = nullptr;
    ImageRecord* raw = nullptr;
    ASSERT_EQ(idsReconstructQcfToImage(path.c_str(), &image, &raw, nullptr), 0u);
    auto scoreOf = [](ImageRecord* im, int32_t* score) {
        uint32_t size = 0, statusSize = 0, resultSize = 0;
        NexConfigRecord config{sizeof(NexConfigRecord), 0, {}, 0, nullptr};
        config.data = nexGetConfigData(&size);
        config.dataSize = size;
        NexHandle* handle = nullptr;
        ASSERT_EQ(nexInitialize(0, &handle, &statusSize, &resultSize, &config), 0u);
        const nexImage_t d{sizeof(nexImage_t), 0, 0, 8, 0, 508, 508, im->rows, im->columns, im->dataSize,
                           tcsImagePixels(im)};
        NexFlagsRecord flags{sizeof(NexFlagsRecord), {}};
        NexStatusRecord status{sizeof(NexStatusRecord), {}};
        NexResultRecord result{sizeof(NexResultRecord), 0, {}};
        EXPECT_EQ(nexLivenessTest(handle, &d, &d, &flags, &status, &result), 0u);
        *score = result.score;
        nexFinalize(handle, &d, &flags, &status, &result);
    };
    int32_t rawScore = 0, imageScore = 0;
    scoreOf(raw, &rawScore);
    scoreOf(image, &imageScore);
    ASSERT_GT(rawScore, -1000);
    ASSERT_LT(rawScore, 2000);
    EXPECT_EQ(int32_t(image->aspScore), rawScore);
    EXPECT_NE(imageScore, rawScore);
    EXPECT_EQ(static_cast<const AspMetricsBlock*>(image->aspMetrics)->kind, 2u);
    _tcsImageDestroy(image);
    _tcsImageDestroy(raw);
    nexSetClassifierTables(nullptr);
}

// Service in a state that nothing in the call can move (lines still to come, a raw swipe ready
// before its image) returns at once instead of spinning; the ready event gives the raw swipe its size.
TEST_F(Settings, ServiceWithNothingToFinishReturnsAtOnce) {
    Offline o;
    ImageRecord* asp = nullptr;
    ASSERT_EQ(_tcsImageCreate(&asp, nullptr, 160000, 0, 0, 0), 0u);
    o.params.aspImage = asp;
    void* instance = nullptr;
    ASSERT_EQ(irDliOpen(&instance, &o.params), 0u);
    EXPECT_EQ(irDliService(instance, 0xFFFFFFFFu), 0u);
    IrEventRecord ready{sizeof(IrEventRecord), 10, 0, 300, 200, 0, 0};
    EXPECT_EQ(IREventCallback(&ready, instance), 0u);
    EXPECT_EQ(asp->rows, 300u);
    EXPECT_EQ(asp->columns, 200u);
    EXPECT_EQ(asp->dataSize, 60000u);
    EXPECT_EQ(irDliService(instance, 0xFFFFFFFFu), 0u);
    EXPECT_EQ(irDliClose(instance), 0u);
    _tcsImageDestroy(asp);
}

TEST(AspMetrics, LivenessScoreGivesVerdictsAndConfidences) {
    struct Case {
        int32_t score;
        int32_t stored;
        uint32_t verdicts;  // bit i: verdict i + 1
    };
    for (auto [score, stored, verdicts] : std::initializer_list<Case>{
             {-1500, -1000, 0x00}, {2500, 2000, 0xFF}, {0, 0, 0x03}, {20, 20, 0x07}, {-199, -199, 0x01},
             {-99, -99, 0x03}, {101, 101, 0x1F}, {551, 551, 0xFF}}) {
        ImageRecord* image = nullptr;
        ASSERT_EQ(_tcsImageCreate(&image, nullptr, 16, 0, 0, 0), 0u);
        irDliFillAspMetrics(image, score);
        EXPECT_EQ(int32_t(image->aspScore), stored) << score;
        const auto* m = static_cast<const AspMetricsBlock*>(image->aspMetrics);
        ASSERT_NE(m, nullptr);
        EXPECT_EQ(m->size, 72u);
        EXPECT_EQ(m->kind, 2u);
        for (uint32_t i = 0; i < 8; ++i) {
            const bool on = (verdicts >> i) & 1;
            EXPECT_EQ(m->verdict[i], on ? 1u : 0u) << score << " verdict " << i + 1;
            EXPECT_EQ(m->confidence[i], on ? 100u : 0u) << score << " confidence " << i + 1;
        }
        _tcsImageDestroy(image);
    }
}

}  // namespace
