// ANSI INCITS 378 and ISO/IEC 19794-2 minutiae records: writer bytes, reader conversions and checks.
#include <gtest/gtest.h>
#include <string.h>

#include <vector>

#include "engines/recognition/std_record.h"
#include "tests/engines/recognition/records_fixture.h"

namespace recogtest {
namespace {

using Bytes = std::vector<uint8_t>;

class StdRecordTest : public RecordTest {};

// One minutia of a hand-made record, in record units.
struct StdMinutia {
    int type, x, y, theta, quality;
};

struct StdView {
    int finger = 0;
    int viewByte = 0;
    int quality = 60;
    std::vector<StdMinutia> minutiae;
    int extraCount = 0;  // minutiae announced beyond those given, filled with zeros
};

void put16(Bytes& b, unsigned v) {
    b.push_back(uint8_t(v >> 8));
    b.push_back(uint8_t(v));
}

// An ANSI record (or ISO with `iso`) with the given views.
Bytes stdRecord(const std::vector<StdView>& views, bool iso = false, unsigned resolution = 197,
                bool longLength = false, unsigned width = 300, unsigned height = 400) {
    Bytes b = {'F', 'M', 'R', 0, ' ', '2', '0', 0};
    const size_t lengthAt = b.size();
    if (iso) {
        put16(b, 0);
        put16(b, 0);
    } else {
        put16(b, 0);
        if (longLength) {
            put16(b, 0);
            put16(b, 0);
        }
        put16(b, 0x0033);  // product identifier 0x00330000
        put16(b, 0);
    }
    b.push_back(0);
    b.push_back(0xA8);  // device byte
    put16(b, width);
    put16(b, height);
    put16(b, resolution);
    put16(b, resolution);
    b.push_back(uint8_t(views.size()));
    b.push_back(0);
    for (const StdView& v : views) {
        b.push_back(uint8_t(v.finger));
        b.push_back(uint8_t(v.viewByte));
        b.push_back(uint8_t(v.quality));
        b.push_back(uint8_t(v.minutiae.size() + v.extraCount));
        for (const StdMinutia& m : v.minutiae) {
            put16(b, unsigned(m.type) << 14 | unsigned(m.x));
            put16(b, unsigned(m.y));
            b.push_back(uint8_t(m.theta));
            b.push_back(uint8_t(m.quality));
        }
        b.insert(b.end(), 6 * size_t(v.extraCount), 0);
        put16(b, 0);
    }
    const size_t n = b.size();
    if (iso) {
        b[lengthAt] = uint8_t(n >> 24), b[lengthAt + 1] = uint8_t(n >> 16);
        b[lengthAt + 2] = uint8_t(n >> 8), b[lengthAt + 3] = uint8_t(n);
    } else if (longLength) {
        b[lengthAt + 2] = uint8_t(n >> 24), b[lengthAt + 3] = uint8_t(n >> 16);
        b[lengthAt + 4] = uint8_t(n >> 8), b[lengthAt + 5] = uint8_t(n);
    } else {
        b[lengthAt] = uint8_t(n >> 8), b[lengthAt + 1] = uint8_t(n);
    }
    return b;
}

TEST_F(StdRecordTest, EmptyViewRecordsAsTheyStand) {
    R::MatchData empty;
    const Bytes ansi = exported(featureSet(empty), RECOG_FORMAT_ANSI_FEATURE_SET);
    const Bytes wantAnsi = {'F', 'M', 'R', 0, ' ', '2', '0', 0, 0x00, 0x20, 0x00, 0x33, 0x00, 0x00, 0x00, 0x00,
                            0x00, 0x08, 0x00, 0x08, 0x00, 0xC5, 0x00, 0xC5, 0x01, 0x00,
                            0x00, 0x00, 0x56, 0x00, 0x00, 0x00};
    EXPECT_EQ(ansi, wantAnsi);
    const Bytes iso = exported(featureSet(empty), RECOG_FORMAT_ISO_FEATURE_SET);
    const Bytes wantIso = {'F', 'M', 'R', 0, ' ', '2', '0', 0, 0x00, 0x00, 0x00, 0x1E, 0x00, 0x00,
                           0x00, 0x08, 0x00, 0x08, 0x00, 0xC5, 0x00, 0xC5, 0x01, 0x00,
                           0x00, 0x00, 0x56, 0x00, 0x00, 0x00};
    EXPECT_EQ(iso, wantIso);
}

TEST_F(StdRecordTest, MinutiaConversionsOnWriting) {
    R::MatchData view = toMatchData({{100, 50, 64, 99}, {10, 20, 0, 0}}, 7);
    view[0].kind = 1;
    view.device[2] = 168;  // a swipe sensor: impression type 8
    const Bytes ansi = exported(featureSet(view), RECOG_FORMAT_ANSI_FEATURE_SET);
    ASSERT_EQ(ansi.size(), 26u + 6 + 12);
    // Width and height: largest x 118 and y 59 written, plus 8.
    EXPECT_EQ(Bytes(ansi.begin() + 14, ansi.begin() + 20), (Bytes{0x00, 0xA8, 0x00, 126, 0x00, 67}));
    const Bytes wantView = {0x00, 0x08, 0x56, 0x02,
                            0x40, 0x76, 0x00, 0x3B, 0, 50,   // x 100 -> 118, y 50 -> 59, angle 64 -> 0
                            0x00, 0x0C, 0x00, 0x18, 45, 0,   // x 10 -> 12, y 20 -> 24, angle 0 -> 45
                            0x00, 0x00};
    EXPECT_EQ(Bytes(ansi.begin() + 26, ansi.end()), wantView);

    const Bytes iso = exported(featureSet(view), RECOG_FORMAT_ISO_FEATURE_SET);
    ASSERT_EQ(iso.size(), 24u + 6 + 12);
    EXPECT_EQ(iso[24 + 8], 0);   // angle 64
    EXPECT_EQ(iso[24 + 14], 64);  // angle 0

    view.device[2] = 170;
    EXPECT_EQ(exported(featureSet(view), RECOG_FORMAT_ANSI_FEATURE_SET)[27], 0);
}

TEST_F(StdRecordTest, WriterOptions) {
    RecogHandle fs = featureSet(toMatchData({{100, 50, 64, 99}}, 7));
    RecogStdWriteOptions o{};
    o.size = 24;
    o.productId = 0x12345678;
    o.fingerPosition = 3;
    o.viewNumber = 2;
    o.xResolution = 0xFFFF;
    o.yResolution = 394;
    o.width = 500;
    o.height = 0xFFFF;
    const Bytes ansi = exported(fs, RECOG_FORMAT_ANSI_FEATURE_SET, &o);
    EXPECT_EQ(Bytes(ansi.begin() + 10, ansi.begin() + 14), (Bytes{0x12, 0x34, 0x56, 0x78}));
    EXPECT_EQ(Bytes(ansi.begin() + 16, ansi.begin() + 24), (Bytes{0x01, 0xF4, 0x00, 126, 0x00, 0xC5, 0x01, 0x8A}));
    EXPECT_EQ(ansi[26], 3);
    EXPECT_EQ(ansi[27], 0x20);
    EXPECT_EQ(Bytes(ansi.begin() + 30, ansi.begin() + 34), (Bytes{0x00, 0x76, 0x00, 0x76}));  // 50 at 394: 118

    uint32_t size = 0;
    for (auto bad : std::initializer_list<RecogStdWriteOptions>{
             {16, 0, 0, 0, 0, 197, 197, 0xFFFF, 0xFFFF, 0, {}},
             {20, 0, 0, 11, 0, 197, 197, 0xFFFF, 0xFFFF, 0, {}},
             {20, 0, 0, 0, 0, 98, 197, 0xFFFF, 0xFFFF, 0, {}},
             {24, 0, 0, 0, 0, 197, 1001, 0xFFFF, 0xFFFF, 0, {}},
             {24, 0, 0, 0, 0, 197, 197, 15, 0xFFFF, 0, {}},
             {24, 0, 0, 0, 0, 197, 197, 0xFFFF, 16384, 0, {}},
         }) {
        EXPECT_EQ(RecogExportEx(fs, RECOG_FORMAT_ANSI_FEATURE_SET, &bad, nullptr, &size), RECOG_E_INVALID_ARG)
            << bad.size << " " << bad.fingerPosition;
    }
    // A rotation of a quarter turn: (100, 50) becomes (-50, 100), and alone it moves to the origin.
    RecogStdWriteOptions turned{32, 0, 0, 0xFFFF, 0xFFFF, 167, 167, 0xFFFF, 0xFFFF, 64, {}};
    const Bytes rotated = exported(fs, RECOG_FORMAT_ISO_FEATURE_SET, &turned);
    EXPECT_EQ(Bytes(rotated.begin() + 28, rotated.begin() + 34), (Bytes{0x00, 0x00, 0x00, 0x00, 192, 50}));
}

TEST_F(StdRecordTest, ReadingConversions) {
    const std::vector<StdView> views = {{1, 0x10, 77, {{0, 0, 0, 0, 10}, {1, 118, 59, 45, 50}}, 0}};
    for (bool longLength : {false, true}) {
        RecogHandle h = nullptr;
        ASSERT_EQ(import(stdRecord(views, false, 197, longLength), RECOG_FORMAT_ANSI_FEATURE_SET, 7, &h), RECOG_OK);
        const R::MatchData& v = viewOf(h);
        ASSERT_EQ(v.count(), 2);
        EXPECT_EQ(std::make_tuple(v[0].x, v[0].y, v[0].angle, v[0].confidence), std::make_tuple(0, 0, 64, 20));
        EXPECT_EQ(std::make_tuple(v[1].x, v[1].y, v[1].angle, v[1].confidence, v[1].kind),
                  std::make_tuple(100, 50, 0, 100, 1));
        EXPECT_EQ(v.purpose, 7u);
        EXPECT_EQ(v.device[2], 0xA8);
        EXPECT_EQ(v.device[3], 77);
        EXPECT_EQ(v.coverageArea, 5000u);
        EXPECT_EQ(v.coverage[6], 0x3FFFu);  // rows 0-6, columns 0-13
        EXPECT_EQ(v.coverage[7], 0u);
        EXPECT_NE(v[1].weight, 0);
    }
    // ISO angles are 256ths of a turn: 64 reads back as 0. No product identifier: device byte 0.
    RecogHandle h = nullptr;
    ASSERT_EQ(import(stdRecord({{0, 0, 60, {{0, 5, 5, 64, 10}, {0, 0, 0, 0, 10}}, 0}}, true),
                     RECOG_FORMAT_ISO_FEATURE_SET, 6, &h),
              RECOG_OK);
    EXPECT_EQ(viewOf(h)[0].angle, 0);
    EXPECT_EQ(viewOf(h).device[2], 0);
}

TEST_F(StdRecordTest, ViewsMinutiaeAndSelectors) {
    StdView many{1, 0, 60, {}, 0};
    for (int i = 0; i < 80; ++i) many.minutiae.push_back({0, i * 3, i * 4, 0, 40});
    const StdView second{2, 0x30, 60, {{0, 7, 9, 0, 40}, {0, 17, 19, 0, 40}}, 0};
    const Bytes record = stdRecord({many, second}, false, 167);
    RecogHandle h = nullptr;
    ASSERT_EQ(import(record, RECOG_FORMAT_ANSI_FEATURE_SET, 7, &h), RECOG_OK);
    EXPECT_EQ(viewOf(h).count(), 76);

    // The second view is reached only if the first's 80 minutiae were all passed over.
    RecogStdReadOptions select{16, 0, 0, 2, 0xFFFF, 0, {}};
    ASSERT_EQ(import(record, RECOG_FORMAT_ANSI_FEATURE_SET, 7, &h, &select), RECOG_OK);
    ASSERT_EQ(viewOf(h).count(), 2);
    EXPECT_EQ(viewOf(h).originX, 7);
    EXPECT_EQ(viewOf(h)[1].x, 10);
    select.viewNumber = 3;
    EXPECT_EQ(import(record, RECOG_FORMAT_ANSI_FEATURE_SET, 7, &h, &select), RECOG_OK);
    select.viewNumber = 4;
    EXPECT_EQ(import(record, RECOG_FORMAT_ANSI_FEATURE_SET, 7, &h, &select), RECOG_E_NO_VIEW);
    select = {16, 0, 0, 5, 0xFFFF, 0, {}};
    EXPECT_EQ(import(record, RECOG_FORMAT_ANSI_FEATURE_SET, 7, &h, &select), RECOG_E_NO_VIEW);
    select.size = 20;
    EXPECT_EQ(import(record, RECOG_FORMAT_ANSI_FEATURE_SET, 7, &h, &select), RECOG_E_INVALID_ARG);

    // A record without views is an empty feature set.
    ASSERT_EQ(import(stdRecord({}), RECOG_FORMAT_ANSI_FEATURE_SET, 7, &h), RECOG_OK);
    EXPECT_EQ(viewOf(h).count(), 0);
    // Templates keep one view.
    ASSERT_EQ(import(record, RECOG_FORMAT_ANSI_TEMPLATE, 6, &h), RECOG_OK);
    EXPECT_EQ(viewsOf(h).size(), 1u);
}

TEST_F(StdRecordTest, MalformedRecords) {
    const StdView one{0, 0, 60, {{0, 10, 10, 0, 40}, {0, 20, 30, 0, 100}}, 0};
    struct Case {
        const char* what;
        Bytes record;
        RecogResult status;
    };
    Bytes badMagic = stdRecord({one});
    badMagic[2] = 'X';
    Bytes oldVersion = stdRecord({one});
    oldVersion[5] = '1';
    Bytes tooLong = stdRecord({one});
    tooLong[9] += 1;
    Bytes badQuality = stdRecord({{0, 0, 60, {{0, 10, 10, 0, 101}}, 0}});
    Bytes badCapture = stdRecord({one});
    badCapture[14] = 0x01;  // compliance bits under the engine's own product identifier
    Bytes cut = stdRecord({one});
    cut.resize(cut.size() - 3);
    cut[9] = uint8_t(cut.size());
    for (const Case& c : std::initializer_list<Case>{
             {"good", stdRecord({one}), RECOG_OK},
             {"magic", badMagic, RECOG_E_MALFORMED},
             {"version", oldVersion, RECOG_E_MALFORMED},
             {"length", tooLong, RECOG_E_MALFORMED},
             {"resolution 98", stdRecord({one}, false, 98), RECOG_E_MALFORMED},
             {"resolution 1001", stdRecord({one}, false, 1001), RECOG_E_MALFORMED},
             {"width 15", stdRecord({one}, false, 197, false, 15), RECOG_E_MALFORMED},
             {"height 16384", stdRecord({one}, false, 197, false, 300, 16384), RECOG_E_MALFORMED},
             {"quality 101", badQuality, RECOG_E_MALFORMED},
             {"capture", badCapture, RECOG_E_MALFORMED},
             {"truncated", cut, RECOG_E_MALFORMED},
         }) {
        RecogHandle h = nullptr;
        EXPECT_EQ(import(c.record, RECOG_FORMAT_ANSI_FEATURE_SET, 7, &h), c.status) << c.what;
    }
    RecogHandle h = nullptr;
    EXPECT_EQ(import(stdRecord({one}), RECOG_FORMAT_ANSI_FEATURE_SET, 0, &h), RECOG_E_PURPOSE);
}

}  // namespace
}  // namespace recogtest
