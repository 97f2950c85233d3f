// Flex table, time-slot processing and scan-line unpacking, checked against the swipe model.
#include "tcs/imaging/reconstruction/scan_line.h"

#include "sim/swipe/swipe_model.h"
#include "tcs/imaging/reconstruction/circ_buffer.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

namespace {

using swipe_model::SwipeConfig;
using swipe_model::SwipeModel;

swipe_model::GreyImage ridges() { return swipe_model::syntheticRidges(300, 400, 9.0, 150.0, 200.0); }

std::unique_ptr<LineUnpackMap> buildMap(const std::vector<uint32_t>& words, uint16_t flexId, TcsResult* result,
                                        uint32_t tableBytes = 0) {
    auto map = std::make_unique<LineUnpackMap>();
    std::memset(map.get(), 0xA5, sizeof(LineUnpackMap));
    *result = ProcessTimeslotTable(words.data(), 0, tableBytes ? tableBytes : uint32_t(words.size() * 4),
                                   dliFindFlexInfo(flexId), map.get());
    return map;
}

TEST(FlexTable, LookupUsesLow16BitsAndNullForUnknown) {
    ASSERT_NE(dliFindFlexInfo(0x1003A), nullptr);
    EXPECT_EQ(dliFindFlexInfo(0x1003A)->flexId, 58);
    EXPECT_EQ(dliFindFlexInfo(91), nullptr);
    EXPECT_EQ(dliFindFlexInfo(0), nullptr);
    const FlexInfoRecord* f32 = dliFindFlexInfo(32);
    ASSERT_NE(f32, nullptr);
    EXPECT_EQ(f32->primaryCount, 144);
    EXPECT_EQ(f32->geometry[1], 70);
    EXPECT_EQ(f32->xResolution, 333);
    const uint16_t head[] = {20, 10, 19, 22, 12, 56, 64};
    for (int i = 0; i < 7; ++i) EXPECT_EQ(f32->primaryLayout[i], head[i]);
    const FlexInfoRecord* f14 = dliFindFlexInfo(14);
    EXPECT_EQ(f14->primaryLayout[0], 26);
    EXPECT_EQ(f14->primaryLayout[199], 225);
    EXPECT_EQ(f14->secondaryLayout[0], 11);
    EXPECT_EQ(f14->secondaryLayout[12], 279);
    EXPECT_EQ(f14->secondaryLayout[63], 228);
    EXPECT_EQ(dliFindFlexInfo(131)->primaryLayout[159], 6);
}

TEST(FlexTable, EveryRowIsConsistent) {
    for (const FlexInfoRecord& row : gFlexInfo) {
        SCOPED_TRACE(row.flexId);
        EXPECT_EQ(row.extraPixels, 0);
        EXPECT_EQ(row.reconstructorType, 4u);
        EXPECT_EQ(row.geometry[0] / row.geometry[2], 8);
        EXPECT_EQ(row.secondaryCount, 64);
        // Every sensor pixel number appears once across both banks, and every map column is primary.
        std::vector<int> seen(512, 0);
        for (int i = 0; i < row.primaryCount; ++i) ++seen[row.primaryLayout[i]];
        for (int i = 0; i < row.secondaryCount; ++i) ++seen[row.secondaryLayout[i]];
        for (int n : seen) EXPECT_LE(n, 1);
        for (int i = 0; i < row.secondaryCount; ++i) EXPECT_LT(row.secondaryToPrimary[i], row.primaryCount);
    }
}

TEST(FlexTable, UnpackBuffersHoldAWholeLine) {
    // Flex 92 tables 208 bytes but unpacks 8 + 200 + 64.
    EXPECT_EQ(dliFindFlexInfo(92)->unpackBufferLength, 208);
    EXPECT_EQ(flexUnpackedLineBytes(dliFindFlexInfo(92)), 272u);
    EXPECT_EQ(flexUnpackedLineBytes(dliFindFlexInfo(14)), 288u);
    EXPECT_EQ(flexUnpackedLineBytes(nullptr), 0u);
}

// Lines packed by the model come back as the model's pixels, for each module and sample width.
TEST(ScanLineUnpack, ModelLinesRoundTrip) {
    struct Case { uint16_t flex; uint8_t width; uint8_t header; };
    const swipe_model::GreyImage finger = ridges();
    for (auto [flex, width, header] : std::initializer_list<Case>{
             {14, 8, 0}, {14, 4, 0}, {14, 6, 0}, {14, 0, 0}, {14, 8, 4}, {14, 8, 6}, {58, 8, 0}, {92, 4, 0},
             {59, 6, 0}, {19, 0, 0}, {98, 8, 0}, {93, 5, 0}, {72, 0, 0}, {55, 7, 0}, {26, 8, 8}, {32, 4, 0}}) {
        SCOPED_TRACE(testing::Message() << "flex " << flex << " width " << int(width) << " header " << int(header));
        SwipeConfig config;
        config.flexId = flex;
        config.sampleWidth = width;
        config.headerWidth = header;
        config.noiseSigma = 40.0;  // random-looking lines
        config.seed = flex * 31u + width;
        SwipeModel model(finger, config);
        ASSERT_TRUE(model.valid());
        TcsResult result = 0;
        auto map = buildMap(model.timeslotWords(), flex, &result);
        ASSERT_EQ(result, TCS_RESULT_OK);
        const FlexInfoRecord* f = dliFindFlexInfo(flex);
        EXPECT_EQ(map->pixelCount, uint32_t(f->primaryCount + f->secondaryCount));
        EXPECT_EQ(map->commonWidth, width == 0 ? 0 : width);
        std::vector<uint8_t> out(flexUnpackedLineBytes(f), 0);
        for (uint32_t line = 0; line < 6; ++line) {
            const std::vector<uint8_t> raw = model.record(line);
            EXPECT_EQ(UnpackLineRT(raw.data(), uint32_t(raw.size()), out.data(), map.get(), 0), model.recordBytes());
            EXPECT_EQ(0, std::memcmp(out.data(), raw.data(), 8));
            const std::vector<uint8_t> expected = model.expectedUnpacked(line);
            ASSERT_EQ(std::vector<uint8_t>(out.begin() + 8, out.begin() + 8 + expected.size()), expected);
        }
    }
}

TEST(ScanLineUnpack, HandMadeVectors) {
    LineUnpackMap map{};
    map.pixelCount = 4;
    map.commonWidth = 4;
    const uint16_t columns[] = {2, 0, 3, 1};
    std::memcpy(map.columns, columns, sizeof columns);
    std::memset(map.widths, 4, 4);
    // Low nibble first; each nibble moves to the top of its pixel.
    const uint8_t nibbles[] = {1, 1, 0x34, 0x12, 0, 0, 0x04, 0, 0x21, 0x43};
    uint8_t out[12] = {};
    EXPECT_EQ(UnpackLineRT(nibbles, sizeof nibbles, out, &map, 0), 16u);
    const uint8_t expected4[] = {1, 1, 0x34, 0x12, 0, 0, 0x04, 0, 0x20, 0x40, 0x10, 0x30};
    EXPECT_EQ(0, std::memcmp(out, expected4, sizeof expected4));

    // Six-bit samples, least significant bit first across the byte boundary.
    LineUnpackMap six{};
    six.pixelCount = 2;
    six.commonWidth = 6;
    six.columns[0] = 0;
    six.columns[1] = 1;
    std::memset(six.widths, 6, 2);
    const uint8_t bits[] = {1, 1, 0, 0, 0, 0, 0, 0, 0xC1, 0x0A};
    uint8_t out6[10] = {};
    EXPECT_EQ(UnpackLineRT(bits, sizeof bits, out6, &six, 0), 16u);
    EXPECT_EQ(out6[8], 4);
    EXPECT_EQ(out6[9], 172);

    // Three 4-bit pixels (odd count) still take whole bytes; the result is at least 16.
    map.pixelCount = 3;
    EXPECT_EQ(UnpackLineRT(nibbles, sizeof nibbles, out, &map, 0), 16u);
    // Missing input and an empty map.
    EXPECT_EQ(UnpackLineRT(nullptr, 10, out, &map, 0), 0u);
    EXPECT_EQ(UnpackLineRT(nibbles, 0, out, &map, 0), 0u);
    EXPECT_EQ(UnpackLineRT(nibbles, sizeof nibbles, out, nullptr, 0), 0u);
    LineUnpackMap empty{};
    EXPECT_EQ(UnpackLineRT(nibbles, sizeof nibbles, out, &empty, 0), 16u);
}

TEST(ScanLineUnpack, LineWidthFromHeaderOrTable) {
    // Common width 8; a header asking for 4 halves the line, raw mode ignores the header.
    LineUnpackMap map{};
    map.pixelCount = 40;
    map.commonWidth = 8;
    for (int k = 0; k < 40; ++k) {
        map.columns[k] = uint16_t(k);
        map.widths[k] = 8;
    }
    std::vector<uint8_t> raw(8 + 40, 0x5A);
    raw[6] = 4;
    std::vector<uint8_t> out(48);
    EXPECT_EQ(UnpackLineRT(raw.data(), uint32_t(raw.size()), out.data(), &map, 0), 32u);  // 8 + 20 -> 32
    EXPECT_EQ(out[8], 0xA0);
    EXPECT_EQ(out[9], 0x50);
    EXPECT_EQ(UnpackLineRT(raw.data(), uint32_t(raw.size()), out.data(), &map, 1), 48u);  // 8 + 40 -> 48
    EXPECT_EQ(out[8], 0x5A);
    // A header width above the common width is held to it.
    raw[6] = 0xF;
    EXPECT_EQ(UnpackLineRT(raw.data(), uint32_t(raw.size()), out.data(), &map, 0), 48u);
    // A raw line shorter than its samples reads zeros beyond its end instead of past it.
    EXPECT_EQ(UnpackLineRT(raw.data(), 12, out.data(), &map, 1), 48u);
    EXPECT_EQ(out[8 + 3], 0x5A);
    EXPECT_EQ(out[8 + 4], 0);
}

class TimeslotTable : public testing::Test {
protected:
    std::vector<uint32_t> wordsFor(uint16_t flex) {
        SwipeConfig config;
        config.flexId = flex;
        return SwipeModel(swipe_model::syntheticRidges(300, 300, 9, 150, 150), config).timeslotWords();
    }
};

TEST_F(TimeslotTable, RefusesBadRecordsAndControlWords) {
    std::vector<uint32_t> words = wordsFor(58);
    LineUnpackMap map{};
    EXPECT_EQ(ProcessTimeslotTable(words.data(), 0, 2400, nullptr, &map), TCS_RESULT_BAD_PARAM);
    EXPECT_EQ(ProcessTimeslotTable(words.data(), 0, 2400, dliFindFlexInfo(131), &map), TCS_RESULT_BAD_PARAM);
    EXPECT_EQ(ProcessTimeslotTable(nullptr, 0, 2400, dliFindFlexInfo(58), &map), TCS_RESULT_BAD_PARAM);
    struct Case { uint32_t control; const char* what; };
    for (auto [control, what] : std::initializer_list<Case>{
             {0, "zero control word"}, {(5u << 9) | 5u, "first equals end"}, {(3u << 9) | 9u, "first after end"},
             {(300u << 9) | 0u, "first before the table"}}) {
        std::vector<uint32_t> bad = words;
        bad[kTimeslotControlWord] = control;
        TcsResult r = 0;
        buildMap(bad, 58, &r);
        EXPECT_EQ(r, TCS_RESULT_BAD_PARAM) << what;
    }
}

TEST_F(TimeslotTable, BankSelectorNamingNeitherBankIsRefusedExceptOnFlex14) {
    for (uint16_t flex : {58, 14}) {
        std::vector<uint32_t> words = wordsFor(flex);
        words[2] = (words[2] & ~(3u << 21)) | (2u << 21);  // selector 2: an unused bank
        TcsResult r = 0;
        buildMap(words, flex, &r);
        EXPECT_EQ(r, flex == 14 ? TCS_RESULT_OK : TCS_RESULT_BAD_PARAM) << flex;
    }
    // A pixel number that no layout holds.
    std::vector<uint32_t> words = wordsFor(14);
    words[2] = (words[2] & ~0x1FFu) | 400u;
    TcsResult r = 0;
    buildMap(words, 14, &r);
    EXPECT_EQ(r, TCS_RESULT_BAD_PARAM);
}

TEST_F(TimeslotTable, ReadsAreBoundedByTheRealBufferNotTheTableDescriptor) {
    const std::vector<uint32_t> words = wordsFor(58);
    TcsResult r = 0;
    // The nominal 1408-byte table does not even reach the control word.
    buildMap(words, 58, &r, 1408);
    EXPECT_EQ(r, TCS_RESULT_BAD_PARAM);
    // The model's entries only use selectors 0 and 1: words up to 433 are needed, not 465.
    buildMap(words, 58, &r, 433 * 4);
    EXPECT_EQ(r, TCS_RESULT_BAD_PARAM);
    buildMap(words, 58, &r, 434 * 4);
    EXPECT_EQ(r, TCS_RESULT_OK);
    // Flex 14 finds its banks by layout and never reads the bank words.
    buildMap(wordsFor(14), 14, &r, (kTimeslotControlWord + 1) * 4);
    EXPECT_EQ(r, TCS_RESULT_OK);
}

TEST_F(TimeslotTable, IncompleteTableIsRefusedAndMapUntouched) {
    std::vector<uint32_t> words = wordsFor(14);
    const uint32_t control = words[kTimeslotControlWord];
    const uint32_t end = ((control >> 9) & 0x1FF) - 1;
    words[kTimeslotControlWord] = (control & 0x1FF) | (end << 9);  // drop the last entry
    auto map = std::make_unique<LineUnpackMap>();
    map->pixelCount = 77;
    EXPECT_EQ(ProcessTimeslotTable(words.data(), 0, 2400, dliFindFlexInfo(14), map.get()), TCS_RESULT_BAD_PARAM);
    EXPECT_EQ(map->pixelCount, 77u);
}

TEST(ScanLineHelpers, InterpolationRangesSetColumnsTo128) {
    std::vector<uint8_t> pixels(264, 7);
    ApplyInterpolateRangesToLine(pixels.data(), dliFindFlexInfo(72)->interpolRanges);
    for (int c : {42, 43, 45, 49, 61, 186, 190}) EXPECT_EQ(pixels[c], 128) << c;
    EXPECT_EQ(pixels[44], 7);
    EXPECT_EQ(pixels[191], 7);
    std::vector<uint8_t> untouched(264, 7);
    ApplyInterpolateRangesToLine(untouched.data(), dliFindFlexInfo(98)->interpolRanges);  // count 0
    EXPECT_EQ(untouched, std::vector<uint8_t>(264, 7));
    ApplyInterpolateRangesToLine(untouched.data(), dliFindFlexInfo(32)->interpolRanges);
    for (int c : {16, 35, 124, 129}) EXPECT_EQ(untouched[c], 128) << c;
    EXPECT_EQ(untouched[0], 7);
}

TEST(ScanLineHelpers, HeaderParse) {
    const uint8_t raw[] = {1, 254, 0x34, 0x12, 0x78, 0x56, 0xD5, 0x99};
    SensorLineHeader h{};
    tcsParseSensorHeader(raw, &h);
    EXPECT_EQ(h.time, 0x1234);
    EXPECT_EQ(h.secondValue, 0x5678);
    EXPECT_EQ(h.byte0, 1);
    EXPECT_EQ(h.byte1, 254);
    EXPECT_EQ(h.fieldA, 3);
    EXPECT_EQ(h.flag, 1);
    EXPECT_EQ(h.fieldB, 5);
    EXPECT_EQ(h.byte7, 0x99);
}

TEST(ScanLineHelpers, SensorTime) {
    EXPECT_EQ(subtract16bitTime(5, 65530), 11u);
    EXPECT_EQ(subtract16bitTime(100, 40), 60u);
    EXPECT_EQ(subtract16bitTime(7, 7), 0u);

    uint16_t previous = 0, last = 0;
    uint32_t time32 = 0;
    keep32BitSensorTime(&previous, &last, &time32, 0xFFF0);
    EXPECT_EQ(time32, 0xFFF0u);
    // The clock wraps: the extended time keeps running forwards.
    keep32BitSensorTime(&previous, &last, &time32, 0x0005);
    EXPECT_EQ(previous, 0xFFF0);
    EXPECT_EQ(last, 0x0005);
    EXPECT_EQ(time32, 0x10005u);
    keep32BitSensorTime(&previous, &last, &time32, 0x0100);
    EXPECT_EQ(time32, 0x10100u);

    // Elapsed time against a line kept in a ring.
    uint8_t area[3 * 8] = {};
    CircBuffer ring{};
    ASSERT_EQ(tcsInitCircBuffer(sizeof area, 8, 8, area, &ring, 0), TCS_RESULT_OK);
    const uint8_t line[8] = {1, 1, 0xF0, 0xFF, 0, 0, 0, 0};
    tcsAddToCircBuffer(line, &ring);
    EXPECT_EQ(getElapsedTimeForBufferedScan(&ring, 0x0010, 0), 0x20u);
    EXPECT_EQ(getElapsedTimeForBufferedScan(&ring, 0x0010, 1), 0u);
}

TEST(ScanLineHelpers, IntegerSquareRoot) {
    struct Case { uint32_t in, out; };
    for (auto [in, out] : std::initializer_list<Case>{
             {0, 0}, {1, 1}, {3, 1}, {4, 2}, {15, 3}, {16, 4}, {16384, 128}, {16383, 127}, {0xFFFFFFFF, 65535}}) {
        EXPECT_EQ(isqrt(in), out) << in;
    }
}

TEST(ScanLineHelpers, FourBitRows) {
    const uint8_t source[] = {0x12, 0x34, 0x56, 0x78};
    uint8_t packed[2] = {};
    pack4bitRow(source, packed, 2, 1);
    EXPECT_EQ(packed[0], 0x13);
    EXPECT_EQ(packed[1], 0x57);
    pack4bitRow(source, packed, 2, 0);
    EXPECT_EQ(packed[0], 0x24);
    EXPECT_EQ(packed[1], 0x68);

    // Unpacking works in place into a buffer twice the size.
    uint8_t row[6] = {0xAB, 0xCD, 0xEF, 0, 0, 0};
    unpack4bitRow(row, row, 6, 1);
    const uint8_t high[] = {0xA0, 0xB0, 0xC0, 0xD0, 0xE0, 0xF0};
    EXPECT_EQ(0, std::memcmp(row, high, 6));
    uint8_t raw[5] = {0xAB, 0xCD, 0xEF, 0, 0};
    unpack4bitRow(raw, raw, 5, 0);
    const uint8_t nibbles[] = {0xA, 0xB, 0xC, 0xD, 0xE};
    EXPECT_EQ(0, std::memcmp(raw, nibbles, 5));
}

TEST(ScanLineHelpers, QuasiLineVariance) {
    const uint8_t flat[] = {9, 9, 9, 9};
    EXPECT_EQ(getQuasiLineVariance(flat, 4), 0u);
    const uint8_t spread[] = {0, 10, 20, 31};  // mean 15; deviations 15+5+5+16 = 41; (41 + 2) / 4 = 10
    EXPECT_EQ(getQuasiLineVariance(spread, 4), 10u);
    EXPECT_EQ(getQuasiLineVariance(spread, 0), 0u);
}

}  // namespace
