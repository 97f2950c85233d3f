// Capture output: the configuration sections a capture file starts with, in their order and with
// the calibration results in both their forms.
#include "platform/memory.h"
#include "tcs/imaging/capture_file.h"
#include "tcs/imaging/ids_internal.h"
#include "tcs/sensorctl/calibration/cal_results.h"
#include "tcs/sensorctl/calibration/calibration.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

struct Calibration {
    CalResultsContainer* c = nullptr;
    Calibration() {
        const uint32_t data[4] = {14, 18, 10, 0};
        EXPECT_EQ(calResultsContainerInit(1, reinterpret_cast<const uint8_t*>(data), nullptr, &c), 0u);
        EXPECT_EQ(calResultsSetByte(c, 1, CAL_ITEM_OFFSET, 0x33), 0u);
        EXPECT_EQ(calResultsSetByte(c, 6, CAL_ITEM_GAIN_PRI, 0x44), 0u);
        EXPECT_EQ(calResultsSetGetPrintStatus(c, 5), 0u);
    }
    ~Calibration() { calResultsContainerUnInit(c); }
};

TEST(CaptureOutput, ConfigurationSectionsInTheirOrder) {
    struct Case {
        const char* name;
        uint8_t generation;  // byte 8 of the sensor's version block
        std::vector<uint32_t> kinds;
    };
    const std::vector<Case> cases = {
        // The calibration blob (kind 26) has no decoder and comes back as a raw section (0).
        {"older sensor: two baseline images", 4, {1, 8, 27, 9, 4, 5, 6, 7, 0, 11, 18, 19, 28, 21}},
        {"newer sensor: the processed baseline", 5, {1, 8, 27, 9, 4, 5, 6, 7, 0, 11, 12, 28, 21}},
    };
    for (const Case& c : cases) {
        Calibration calibration;
        uint8_t version[28] = {};
        version[8] = c.generation;
        std::vector<uint32_t> reply(8, 0x11111111u), table(4, 0x22222222u);
        uint8_t param[6] = {1, 2, 3, 4, 5, 6};
        std::vector<uint8_t> first(40 * 12, 7), processed(30 * 4, 9);
        ScsBaseLineInfo baseline{};
        baseline.images[0] = {1, 40, 12, 0, first.data()};
        baseline.images[2] = {1, 30, 4, 0, processed.data()};
        ScsPrintConfigurationData cfg{};
        cfg.flexId = 14;
        cfg.version = reinterpret_cast<ScsFwVersion*>(version);
        cfg.configReply = reinterpret_cast<uint8_t*>(reply.data());
        cfg.configReplyLength = uint32_t(reply.size() * 4);
        cfg.printParam = param;
        cfg.printParamLength = sizeof param;
        cfg.tsTable = reinterpret_cast<const uint8_t*>(table.data());
        cfg.tsTableLength = uint32_t(table.size() * 4);
        cfg.printCommand[0] = 40;
        cfg.baseline = &baseline;
        cfg.calResults = calibration.c;

        const std::string path = ::testing::TempDir() + "/ids_save_config" + std::to_string(getpid());
        QcfFile* file = nullptr;
        ASSERT_EQ(fclQcfCreateA(&file, path.c_str()), 0u);
        ASSERT_EQ(idsSaveDataToQcf(&cfg, nullptr, 0, file), 0u) << c.name;
        ASSERT_EQ(fclQcfClose(file), 0u);

        std::vector<uint32_t> kinds;
        QcfIterator* it = nullptr;
        for (TcsResult r = fclQcfIteratorGetFirstA(&it, path.c_str()); r == 0; r = fclQcfIteratorMoveToNext(it)) {
            QcfSection s;
            ASSERT_EQ(fclQcfIteratorGetData(it, &s), 0u);
            kinds.push_back(s.kind);
        }
        if (it != nullptr) fclQcfIteratorClose(it);
        EXPECT_EQ(kinds, c.kinds) << c.name;

        ASSERT_EQ(fclQcfOpenA(&file, path.c_str()), 0u);
        // The old form of the results: one (block index, word) pair per block in force.
        CalOldFormatRecord old{};
        ASSERT_EQ(calResultsGetResultsInOldFormat(calibration.c, &old), 0u);
        QcfSection s{};
        s.kind = QCF_KIND_CAL_RESULTS;
        ASSERT_EQ(fclQcfReadSection(file, &s), 0u) << c.name;
        EXPECT_EQ(s.u.calResults.first, old.usesDefaults == 1 ? 1u : 0u);
        EXPECT_EQ(s.u.calResults.second, old.getPrintStatus);
        ASSERT_EQ(s.u.calResults.count, old.count) << c.name;
        for (uint32_t i = 0; i < old.count; ++i) {
            EXPECT_EQ(s.u.calResults.pairs[2 * i], i);
            EXPECT_EQ(s.u.calResults.pairs[2 * i + 1], old.words[i]) << c.name << " block " << i;
        }
        palRealFree(old.words);
        if (c.generation < 5) {
            // Rows of the baseline cut to 320 bytes; the missing second plane is zeros with flag 0.
            s = QcfSection{};
            s.kind = QCF_KIND_BASELINE_IMAGE_1;
            ASSERT_EQ(fclQcfReadSection(file, &s), 0u);
            EXPECT_EQ(s.u.baselineImage.flag, 1u);
            ASSERT_EQ(uint32_t(s.u.baselineImage.first) * s.u.baselineImage.second, 20u * 320u);
            EXPECT_EQ(s.u.baselineImage.data[0], 7);
            EXPECT_EQ(s.u.baselineImage.data[39], 7);
            EXPECT_EQ(s.u.baselineImage.data[40], 0);
            EXPECT_EQ(s.u.baselineImage.data[11 * 320], 7);
            EXPECT_EQ(s.u.baselineImage.data[12 * 320], 0);
            s = QcfSection{};
            s.kind = QCF_KIND_BASELINE_IMAGE_2;
            ASSERT_EQ(fclQcfReadSection(file, &s), 0u);
            EXPECT_EQ(s.u.baselineImage.flag, 0u);
        } else {
            s = QcfSection{};
            s.kind = QCF_KIND_BASELINE_FIRST;
            ASSERT_EQ(fclQcfReadSection(file, &s), 0u);
            EXPECT_EQ(s.u.baseline.first, 4u);
            EXPECT_EQ(s.u.baseline.second, 30u);
            EXPECT_EQ(s.u.baseline.data[119], 9);
        }
        fclQcfClose(file);
        std::remove((path + ".qcf").c_str());
    }
}

// Lines that the sensor kept while the host slept come back after the swipe and go in front of what
// was streamed: in the debug image (in memory or in its file, behind the 1078-byte header) and in
// the capture file's raw data.
TEST(CaptureOutput, PrependedLinesGoInFrontOfTheStreamedOnes) {
    const std::vector<uint8_t> streamed(8, 1), kept = {2, 2, 2, 2, 3, 3, 3, 3};
    const std::vector<uint8_t> expected = {2, 2, 2, 2, 3, 3, 3, 3, 1, 1, 1, 1, 1, 1, 1, 1};

    GetPrintContext memory{};
    std::vector<uint8_t> area(20, 0);
    memory.bmpMemory = area.data();
    memory.bmpCapacity = uint32_t(area.size());
    memory.bmpWidth = 4;
    EXPECT_EQ(idsFPFilePrependBMP(&memory, nullptr, 4), 40u);
    EXPECT_EQ(idsFPFilePrependBMP(nullptr, kept.data(), 4), 40u);
    ASSERT_EQ(idsFPFileStreamBMP(&memory, streamed.data(), uint32_t(streamed.size())), 0u);
    ASSERT_EQ(idsFPFilePrependBMP(&memory, kept.data(), uint32_t(kept.size())), 0u);
    EXPECT_EQ(std::vector<uint8_t>(area.begin(), area.begin() + 16), expected);
    EXPECT_EQ(memory.bmpUsed, 16u);
    EXPECT_EQ(memory.bmpLines, 3u) << "one streamed call and two prepended lines";
    EXPECT_EQ(idsFPFilePrependBMP(&memory, kept.data(), uint32_t(kept.size())), 2u) << "no room left";
    EXPECT_EQ(std::vector<uint8_t>(area.begin(), area.begin() + 16), expected);

    const std::string bmpPath = ::testing::TempDir() + "/ids_prepend" + std::to_string(getpid()) + ".bmp";
    GetPrintContext file{};
    file.bmpWidth = 4;
    file.bmpFile = std::fopen(bmpPath.c_str(), "w+b");
    ASSERT_NE(file.bmpFile, nullptr);
    const std::vector<uint8_t> header(1078, 0xEE);
    ASSERT_EQ(std::fwrite(header.data(), 1, header.size(), file.bmpFile), header.size());
    ASSERT_EQ(idsFPFileStreamBMP(&file, streamed.data(), uint32_t(streamed.size())), 0u);
    ASSERT_EQ(idsFPFilePrependBMP(&file, kept.data(), uint32_t(kept.size())), 0u);
    ASSERT_EQ(idsFPFileStreamBMP(&file, streamed.data(), 4), 0u) << "streaming goes on at the end";
    std::fflush(file.bmpFile);
    std::fseek(file.bmpFile, 0, SEEK_SET);
    std::vector<uint8_t> written(1078 + 20, 0);
    ASSERT_EQ(std::fread(written.data(), 1, written.size(), file.bmpFile), written.size());
    std::fclose(file.bmpFile);
    std::remove(bmpPath.c_str());
    EXPECT_EQ(std::vector<uint8_t>(written.begin(), written.begin() + 1078), header);
    std::vector<uint8_t> body = expected;
    body.insert(body.end(), 4, 1);
    EXPECT_EQ(std::vector<uint8_t>(written.begin() + 1078, written.end()), body);
    EXPECT_EQ(file.bmpLines, 4u);

    // The capture file: none open is no failure; an open one gets the data at the front.
    GetPrintContext capture{};
    EXPECT_EQ(idsFPFilePrependQcf(&capture, kept.data(), uint32_t(kept.size())), 0u);
    EXPECT_EQ(idsFPFilePrependQcf(&capture, nullptr, 4), 40u);
    const std::string qcfPath = ::testing::TempDir() + "/ids_prepend" + std::to_string(getpid());
    ASSERT_EQ(fclQcfCreateA(&capture.qcf, qcfPath.c_str()), 0u);
    uint8_t version[28] = {};
    version[8] = 5;
    ScsPrintConfigurationData cfg{};
    cfg.flexId = 14;
    cfg.version = reinterpret_cast<ScsFwVersion*>(version);
    cfg.printCommand[0] = 4;  // line length
    ASSERT_EQ(idsSaveDataToQcf(&cfg, nullptr, 0, capture.qcf), 0u);
    ASSERT_EQ(idsFPFileStreamQcf(&capture, streamed.data(), uint32_t(streamed.size()), 0), 0u);
    ASSERT_EQ(idsFPFilePrependQcf(&capture, kept.data(), uint32_t(kept.size())), 0u);
    EXPECT_EQ(capture.qcfBytes, 16u);
    ASSERT_EQ(fclQcfClose(capture.qcf), 0u);
    QcfFile* opened = nullptr;
    ASSERT_EQ(fclQcfOpenA(&opened, qcfPath.c_str()), 0u);
    QcfSection raw{};
    raw.kind = QCF_KIND_RAW_FP_DATA;
    ASSERT_EQ(fclQcfReadSection(opened, &raw), 0u);
    ASSERT_EQ(raw.u.raw.dataLength, 16u);
    EXPECT_EQ(std::vector<uint8_t>(raw.u.raw.data, raw.u.raw.data + 16), expected);
    fclQcfClose(opened);
    std::remove((qcfPath + ".qcf").c_str());
}

}  // namespace
