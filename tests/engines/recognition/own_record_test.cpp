// Own feature records and templates, Rarovura records, and the export and import dispatch.
#include <gtest/gtest.h>
#include <string.h>

#include <algorithm>
#include <tuple>
#include <vector>

#include "engines/recognition/own_record.h"
#include "engines/recognition/rarovura.h"
#include "tests/engines/recognition/records_fixture.h"

namespace recogtest {
namespace {

namespace E = R::Embedded;

using Key = std::tuple<int, int, int, int>;

std::vector<Key> minutiaSet(const R::MatchData& v) {
    std::vector<Key> out;
    for (int i = 0; i < v.count(); ++i) out.emplace_back(v[i].y, v[i].x, v[i].angle, v[i].confidence);
    std::sort(out.begin(), out.end());
    return out;
}

void expectSameView(const R::MatchData& got, const R::MatchData& want) {
    EXPECT_EQ(minutiaSet(got), minutiaSet(want));
    EXPECT_EQ(memcmp(got.coverage, want.coverage, sizeof got.coverage), 0);
    EXPECT_EQ(got.coverageArea, want.coverageArea);
    EXPECT_EQ(got.originX, want.originX);
    EXPECT_EQ(got.originY, want.originY);
    EXPECT_EQ(memcmp(got.device, want.device, 3), 0);
    EXPECT_EQ(got.version.build, want.version.build);
}

class OwnRecordTest : public RecordTest {};

TEST_F(OwnRecordTest, FeatureSetRoundTripRestoresEverythingTheRecordCarries) {
    const R::MatchData view = viewWithCoverage(makeFinger(1, 40), 7);
    const auto bytes = exported(featureSet(view), RECOG_FORMAT_FEATURE_SET);
    ASSERT_GT(bytes.size(), 5u);
    EXPECT_EQ(bytes[0] | bytes[1] << 8, 0xE800);
    EXPECT_EQ(size_t(bytes[2] | bytes[3] << 8), bytes.size() - 5);  // marker offset
    EXPECT_EQ(bytes.back(), 'o');

    RecogHandle h = nullptr;
    ASSERT_EQ(import(bytes, RECOG_FORMAT_FEATURE_SET, 7, &h), RECOG_OK);
    const R::MatchData& got = viewOf(h);
    expectSameView(got, view);
    EXPECT_EQ(got.purpose, 7u);
    EXPECT_EQ(got.flags, view.flags);
    EXPECT_EQ(got.centreX, view.centreX);
    EXPECT_EQ(got.centreY, view.centreY);
    for (int i = 0; i < got.count(); ++i) EXPECT_NE(got[i].weight, 0) << i;
    // Imported objects are read-only.
    EXPECT_EQ(R::FromHandle<R::FpFtrSetObj>(h, true), nullptr);
    EXPECT_NE(R::FromHandle<R::FpFtrSetObj>(h, false), nullptr);
}

// The purpose section restores the purpose the view was made for; before, a probe of purpose 7
// came back as 6 and could not be imported for purpose 7 again.
TEST_F(OwnRecordTest, PurposeCheckOnImport) {
    struct Case {
        uint32_t recordPurpose, asked;
        RecogResult status;
        uint32_t purpose;
    };
    for (const Case& c : std::initializer_list<Case>{
             {7, 7, RECOG_OK, 7},
             {7, 6, RECOG_OK, 6},
             {6, 7, RECOG_E_PURPOSE, 0},
             {6, 0x80000007, RECOG_OK, 6},
             {1, 6, RECOG_E_PURPOSE, 0},
             {1, 0x80000007, RECOG_OK, 1},
             {1, 1, RECOG_OK, 1},
         }) {
        const auto bytes = exported(featureSet(viewWithCoverage(makeFinger(2, 20), c.recordPurpose)),
                                    RECOG_FORMAT_FEATURE_SET);
        RecogHandle h = nullptr;
        ASSERT_EQ(import(bytes, RECOG_FORMAT_FEATURE_SET, c.asked, &h), c.status) << c.recordPurpose << " " << c.asked;
        if (c.status == RECOG_OK) {
            EXPECT_EQ(viewOf(h).purpose, c.purpose);
        }
    }
}

TEST_F(OwnRecordTest, TwoCallSizePatternZeroesExactlyTheStatedCapacity) {
    RecogHandle fs = featureSet(viewWithCoverage(makeFinger(3, 30), 7));
    uint32_t size = 0;
    ASSERT_EQ(RecogExport(fs, RECOG_FORMAT_FEATURE_SET, nullptr, &size), RECOG_OK);
    const uint32_t needed = size;
    for (uint32_t capacity : {0u, 3u, 4u, needed - 1}) {
        std::vector<uint8_t> buffer(needed + 8, 0xCC);
        size = capacity;
        EXPECT_EQ(RecogExport(fs, RECOG_FORMAT_FEATURE_SET, buffer.data(), &size), RECOG_E_BUFFER_TOO_SMALL);
        EXPECT_EQ(size, needed);
        for (uint32_t i = 0; i < buffer.size(); ++i) ASSERT_EQ(buffer[i], i < capacity ? 0 : 0xCC) << capacity << " " << i;
    }
    std::vector<uint8_t> buffer(needed + 8, 0xCC);
    size = uint32_t(buffer.size());
    EXPECT_EQ(RecogExport(fs, RECOG_FORMAT_FEATURE_SET, buffer.data(), &size), RECOG_OK);
    EXPECT_EQ(size, needed);
}

TEST_F(OwnRecordTest, LongFormsOfDyAndX) {
    // One minutia at x 300, y 40 needs a two-byte dy and a two-byte x: six bytes against four.
    auto sizeFor = [](int x, int y) {
        R::MatchData v = viewWithCoverage({{x, y, 10, 50}}, 7);
        size_t size = 0;
        EXPECT_EQ(E::WriteFeatures(nullptr, size, v, false, false, E::kFtrCodeLast, nullptr), RECOG_OK);
        return size;
    };
    EXPECT_EQ(sizeFor(300, 40) - sizeFor(20, 10), 2u);
    EXPECT_EQ(sizeFor(253, 27), sizeFor(20, 10));
    EXPECT_EQ(sizeFor(254, 28) - sizeFor(20, 10), 2u);

    R::MatchData v = viewWithCoverage({{300, 40, 10, 50}, {511, 1000, 200, 20}}, 7);
    std::vector<uint8_t> bytes(400);
    size_t size = bytes.size();
    ASSERT_EQ(E::WriteFeatures(bytes.data(), size, v, false, false, E::kFtrCodeLast, nullptr), RECOG_OK);
    R::MatchData got;
    ASSERT_EQ(E::ReadFeatures(bytes.data(), size, got, 7, nullptr, false), RECOG_OK);
    EXPECT_EQ(minutiaSet(got), minutiaSet(v));
}

TEST_F(OwnRecordTest, EmptyCoverageIsRefused) {
    R::MatchData v = toMatchData(makeFinger(4, 10), 7);
    uint32_t size = 77;
    std::vector<uint8_t> buffer(100, 0xCC);
    EXPECT_EQ(RecogExport(featureSet(v), RECOG_FORMAT_FEATURE_SET, buffer.data(), &size), RECOG_E_NOTHING_TO_DO);
    EXPECT_EQ(size, 77u);
    EXPECT_EQ(buffer[76], 0);
    EXPECT_EQ(buffer[77], 0xCC);
}

// A hand-made plain record in big-endian byte order: header word 47 written high byte first.
TEST_F(OwnRecordTest, LegacyPlainBigEndianRecord) {
    const std::vector<uint8_t> body = {
        4, 0, 0, 0, 2, 0xA8, 70, 0, 5, 0, 7, 0, 0, 1, 0, 175,  // core block
        2, 10, 20, 192, 50, 0x1C | 1, 4, 0xFF, 0x2C, 0, 60,    // two minutiae: (20, 10), (300, 10 + 260)
        // Coverage rows 2 to 4, row 2 columns 3 to 9; then the codes 2, 0 (row 3) and 3 with the
        // byte 0, then 1 (row 4): 10 00 11 00000000 01.
        2, 4, 3, 9, 0x8C, 0x01,
    };
    std::vector<uint8_t> record = {0x00, 0x2F, 0x00, uint8_t(body.size())};
    record.insert(record.end(), body.begin(), body.end());
    record.push_back('o');
    RecogHandle h = nullptr;
    ASSERT_EQ(import(record, RECOG_FORMAT_FEATURE_SET, 6, &h), RECOG_OK);
    const R::MatchData& v = viewOf(h);
    ASSERT_EQ(v.count(), 2);
    EXPECT_EQ(std::make_tuple(v[0].x, v[0].y, v[0].angle, v[0].confidence), std::make_tuple(20, 10, 64, 50));
    EXPECT_EQ(std::make_tuple(v[1].x, v[1].y, v[1].angle, v[1].confidence), std::make_tuple(300, 270, 0, 60));
    EXPECT_EQ(v.originX, 5);
    EXPECT_EQ(v.originY, 7);
    EXPECT_EQ(v.coverageArea, 256u);
    EXPECT_EQ(v.device[2], 175);
    EXPECT_EQ(v[0].unnamed, 0xA8);
    EXPECT_EQ(v.coverage[1], 0u);
    EXPECT_EQ(v.coverage[2], 0x3F8u);
    EXPECT_EQ(v.coverage[3], 0x3F0u);
    EXPECT_EQ(v.coverage[4], 0x1FFu);
    EXPECT_EQ(v.coverage[5], 0u);

    // The same record with its header word in the other byte order is malformed.
    record[0] = 0x2F;
    record[1] = 0x00;
    EXPECT_EQ(import(record, RECOG_FORMAT_FEATURE_SET, 6, &h), RECOG_E_MALFORMED);
}


TEST_F(OwnRecordTest, FittingDropsTheLeastConfidentMinutiae) {
    const R::MatchData view = viewWithCoverage(makeFinger(5, 70), 7);
    std::vector<uint8_t> bytes(218);
    size_t size = bytes.size();
    ASSERT_EQ(E::WriteFeatures(bytes.data(), size, view, true, false, E::kFtrCodeLast, nullptr), RECOG_OK);
    EXPECT_LE(size, 218u);
    R::MatchData got;
    ASSERT_EQ(E::ReadFeatures(bytes.data(), size, got, 7, nullptr, false), RECOG_OK);
    ASSERT_GT(got.count(), 10);
    ASSERT_LT(got.count(), view.count());
    // Kept in y order, and none dropped that was more confident than one kept.
    int lowestKept = 255;
    for (int i = 0; i < got.count(); ++i) {
        lowestKept = std::min<int>(lowestKept, got[i].confidence);
        if (i > 0) {
            EXPECT_LE(std::make_pair(got[i - 1].y, got[i - 1].x), std::make_pair(got[i].y, got[i].x));
        }
    }
    const auto kept = minutiaSet(got);
    for (int i = 0; i < view.count(); ++i) {
        const Key k{view[i].y, view[i].x, view[i].angle, view[i].confidence};
        if (!std::binary_search(kept.begin(), kept.end(), k)) {
            EXPECT_LE(view[i].confidence, lowestKept);
        }
    }
}

TEST_F(OwnRecordTest, FittedFeatureSetNeedsMoreRoomForEnrollment) {
    // Purpose 7 has the enrollment bit too; a verification-only set gets away with less.
    for (uint32_t purpose : {6u, 7u}) {
        RecogHandle fs = featureSet(viewWithCoverage(makeFinger(6, 60), purpose));
        uint32_t fitted = 0;
        ASSERT_EQ(RecogExport(fs, RECOG_FORMAT_FEATURE_SET_FITTED, nullptr, &fitted), RECOG_OK);
        EXPECT_LE(fitted, 600u);
        std::vector<uint8_t> buffer(250);
        uint32_t size = 250;
        const RecogResult status = RecogExport(fs, RECOG_FORMAT_FEATURE_SET_FITTED, buffer.data(), &size);
        if (purpose == 6) {
            EXPECT_EQ(status, RECOG_OK);
            EXPECT_LE(size, 250u);
        } else {
            EXPECT_EQ(status, RECOG_E_BUFFER_TOO_SMALL);
            EXPECT_EQ(size, fitted);
        }
    }
    // The keyed variant needs a key block on export.
    uint32_t size = 0;
    EXPECT_EQ(RecogExport(featureSet(viewWithCoverage(makeFinger(6, 10), 7)), RECOG_FORMAT_FEATURE_SET_KEYED,
                          nullptr, &size),
              RECOG_E_INVALID_ARG);
}

TEST_F(OwnRecordTest, KeyBlocks) {
    const R::MatchData view = viewWithCoverage(makeFinger(7, 30), 6);
    RecogHandle fs = featureSet(view);
    KeyOptions plain{24, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16}, {}, {}};
    KeyOptions other = plain;
    other.key[0] ^= 1;
    KeyOptions wrapped{40, {9, 8, 7, 6, 5, 4, 3, 2, 1, 0, 1, 2, 3, 4, 5, 6}, {1, 1, 2, 3, 5, 8, 13, 21}, {}};
    KeyOptions bad{32, {}, {}, {}};

    // A fitted record wants a buffer of more than 217 bytes even when it needs fewer.
    std::vector<uint8_t> withKey(600);
    uint32_t written = 600;
    ASSERT_EQ(RecogExportEx(fs, RECOG_FORMAT_FEATURE_SET_KEYED, &plain, withKey.data(), &written), RECOG_OK);
    withKey.resize(written);
    RecogHandle h = nullptr;
    ASSERT_EQ(import(withKey, RECOG_FORMAT_FEATURE_SET_KEYED, 6, &h, &plain), RECOG_OK);
    expectSameView(viewOf(h), view);
    EXPECT_LT(import(withKey, RECOG_FORMAT_FEATURE_SET_KEYED, 6, &h, &other), 0);
    EXPECT_LT(import(withKey, RECOG_FORMAT_FEATURE_SET, 6, &h), 0);

    const auto withWrapped = exported(fs, RECOG_FORMAT_FEATURE_SET, &wrapped);
    ASSERT_EQ(import(withWrapped, RECOG_FORMAT_FEATURE_SET, 6, &h, &wrapped), RECOG_OK);
    expectSameView(viewOf(h), view);
    EXPECT_LT(import(withWrapped, RECOG_FORMAT_FEATURE_SET, 6, &h, &plain), 0);

    uint32_t size = 0;
    EXPECT_EQ(RecogExportEx(fs, RECOG_FORMAT_FEATURE_SET, &bad, nullptr, &size), RECOG_E_INVALID_ARG);
    EXPECT_EQ(import(withKey, RECOG_FORMAT_FEATURE_SET, 6, &h, &bad), RECOG_E_INVALID_ARG);
}

TEST_F(OwnRecordTest, TemplateOfThreeViews) {
    std::vector<R::MatchData> views;
    for (int v = 0; v < 3; ++v) views.push_back(viewWithCoverage(makeFinger(10 + v, 30 + 5 * v), 6));
    const auto bytes = exported(templateOf(views), RECOG_FORMAT_TEMPLATE);
    // Header words: 0xF800 while another view follows, 0xE800 for the last.
    size_t offset = 0;
    for (uint16_t word : {0xF800, 0xF800, 0xE800}) {
        ASSERT_LT(offset + 4, bytes.size());
        EXPECT_EQ(bytes[offset] | bytes[offset + 1] << 8, word);
        offset += size_t(bytes[offset + 2] | bytes[offset + 3] << 8) + 5;
    }
    EXPECT_EQ(offset, bytes.size());

    RecogHandle h = nullptr;
    ASSERT_EQ(import(bytes, RECOG_FORMAT_TEMPLATE, 6, &h), RECOG_OK);
    const R::FpTemplate& got = viewsOf(h);
    ASSERT_EQ(got.size(), 3u);
    for (int v = 0; v < 3; ++v) {
        expectSameView(got[v], views[v]);
        EXPECT_EQ(got[v].purpose, 6u);
        // Weights come from the record, in confidence order.
        for (int i = 0; i < got[v].count(); ++i) {
            for (int j = 0; j < views[v].count(); ++j) {
                if (views[v][j].x == got[v][i].x && views[v][j].y == got[v][i].y) {
                    EXPECT_EQ(got[v][i].weight, views[v][j].weight);
                }
            }
        }
    }
    // A template needs purpose 6 covered.
    EXPECT_EQ(import(bytes, RECOG_FORMAT_TEMPLATE, 1, &h), RECOG_E_PURPOSE);
}

TEST_F(OwnRecordTest, OptionalSectionsOfTemplateViews) {
    R::MatchData view = viewWithCoverage(makeFinger(15, 30), 6);
    view.flags |= 0x80000000 | 0x40000000 | 0x10000000;  // unnamed bytes, quality byte, fifth byte
    view.device[3] = 77;
    view.device[4] = 9;
    view.version.build = 1234;
    for (int i = 0; i < view.count(); ++i) view[i].unnamed = uint8_t(100 + i);
    RecogHandle h = nullptr;
    ASSERT_EQ(import(exported(templateOf({view}), RECOG_FORMAT_TEMPLATE), RECOG_FORMAT_TEMPLATE, 6, &h), RECOG_OK);
    const R::MatchData& got = viewsOf(h)[0];
    EXPECT_EQ(got.flags, view.flags);
    EXPECT_EQ(got.device[3], 77);
    EXPECT_EQ(got.device[4], 9);
    EXPECT_EQ(got.version.build, 1234);
    // The sections leave the minutiae in confidence order, each with its own bytes.
    ASSERT_EQ(got.count(), view.count());
    for (int i = 0; i < got.count(); ++i) {
        if (i > 0) {
            EXPECT_GE(got[i - 1].confidence, got[i].confidence);
        }
        for (int j = 0; j < view.count(); ++j) {
            if (view[j].x == got[i].x && view[j].y == got[i].y) {
                EXPECT_EQ(got[i].unnamed, view[j].unnamed);
                EXPECT_EQ(got[i].weight, view[j].weight);
            }
        }
    }
    // Feature sets carry neither the unnamed bytes nor the fifth byte.
    RecogHandle fs = nullptr;
    view.purpose = 7;
    ASSERT_EQ(import(exported(featureSet(view), RECOG_FORMAT_FEATURE_SET), RECOG_FORMAT_FEATURE_SET, 7, &fs), RECOG_OK);
    EXPECT_EQ(viewOf(fs).flags & (0x80000000 | 0x10000000), 0u);
    EXPECT_EQ(viewOf(fs).device[3], 77);
    EXPECT_EQ(viewOf(fs).device[4], 5);
}

TEST_F(OwnRecordTest, FittedTemplateSizes) {
    std::vector<R::MatchData> views;
    for (int v = 0; v < 4; ++v) views.push_back(viewWithCoverage(makeFinger(20 + v, 70), 6));
    RecogHandle t = templateOf(views);
    uint32_t needed = 0;
    ASSERT_EQ(RecogExport(t, RECOG_FORMAT_TEMPLATE_FITTED, nullptr, &needed), RECOG_OK);
    EXPECT_LE(needed, 1640u);
    std::vector<uint8_t> buffer(1640);
    uint32_t size = 1000;
    EXPECT_EQ(RecogExport(t, RECOG_FORMAT_TEMPLATE_FITTED, buffer.data(), &size), RECOG_E_BUFFER_TOO_SMALL);
    EXPECT_EQ(size, needed);
    size = 1640;
    ASSERT_EQ(RecogExport(t, RECOG_FORMAT_TEMPLATE_FITTED, buffer.data(), &size), RECOG_OK);
    buffer.resize(size);
    RecogHandle h = nullptr;
    ASSERT_EQ(import(buffer, RECOG_FORMAT_TEMPLATE_FITTED, 6, &h), RECOG_OK);
    EXPECT_EQ(viewsOf(h).size(), 4u);
    // Keyed templates need a key block both ways.
    EXPECT_EQ(RecogExport(t, RECOG_FORMAT_TEMPLATE_KEYED, nullptr, &size), RECOG_E_INVALID_ARG);
    EXPECT_EQ(import(buffer, RECOG_FORMAT_TEMPLATE_KEYED, 6, &h), RECOG_E_INVALID_ARG);
    // A template without views has nothing to write.
    EXPECT_EQ(RecogExport(templateOf({}), RECOG_FORMAT_TEMPLATE, nullptr, &size), RECOG_E_NOTHING_TO_DO);
}

TEST_F(OwnRecordTest, RarovuraRecords) {
    for (auto [format, fixed] : {std::pair{RECOG_FORMAT_RAROVURA_FEATURE_SET, 600u},
                                 std::pair{RECOG_FORMAT_RAROVURA_TEMPLATE, 1914u}}) {
        uint32_t size = 0;
        // The size is known without looking at the object, even an empty one.
        RecogHandle h = format == RECOG_FORMAT_RAROVURA_TEMPLATE ? templateOf({}) : featureSet(R::MatchData{});
        EXPECT_EQ(RecogExport(h, format, nullptr, &size), RECOG_OK);
        EXPECT_EQ(size, fixed);
    }
    for (uint32_t purpose : {7u, 1u}) {
        const R::MatchData view = viewWithCoverage(makeFinger(30, 60), purpose);
        std::vector<uint8_t> record(600, 0xA5);
        uint32_t size = 600;
        ASSERT_EQ(RecogExport(featureSet(view), RECOG_FORMAT_RAROVURA_FEATURE_SET, record.data(), &size), RECOG_OK);
        EXPECT_EQ(size, 600u);
        const uint8_t head[] = {0x30, 0x82, 0x02, 0x54, 0x30, 0x82, 0x01, 0xBD, 0x04, 0x82, 0x01, 0x84};
        EXPECT_EQ(memcmp(record.data(), head, sizeof head), 0);
        EXPECT_EQ(record[69], purpose == 1 ? 3 : 2);
        EXPECT_EQ(memcmp(record.data() + 70, "\x04\x82\x01\x3E", 4), 0);
        EXPECT_EQ(memcmp(record.data() + 438, "\x17\x0D" "100227001018Z", 15), 0);
        EXPECT_EQ(memcmp(record.data() + 468, "\x03\x81\x81", 3), 0);
        for (int i = 471; i < 600; ++i) ASSERT_EQ(record[i], 0xA5) << i;  // signature left as it was
        RecogHandle h = nullptr;
        ASSERT_EQ(import(record, RECOG_FORMAT_RAROVURA_FEATURE_SET, 0x80000007, &h), RECOG_OK);
        EXPECT_EQ(viewOf(h).purpose, purpose);
        EXPECT_LE(viewOf(h).count(), view.count());
    }

    std::vector<R::MatchData> views = {viewWithCoverage(makeFinger(31, 70), 6), viewWithCoverage(makeFinger(32, 70), 6)};
    std::vector<uint8_t> record(1914);
    uint32_t size = 1914;
    ASSERT_EQ(RecogExport(templateOf(views), RECOG_FORMAT_RAROVURA_TEMPLATE, record.data(), &size), RECOG_OK);
    const size_t first = size_t(record[76] | record[77] << 8) + 5;
    EXPECT_LE(first, 816u);
    EXPECT_EQ(record[74] | record[75] << 8, 0xF800);
    EXPECT_EQ(record[74 + first] | record[75 + first] << 8, 0xE800);
    RecogHandle h = nullptr;
    ASSERT_EQ(import(record, RECOG_FORMAT_RAROVURA_TEMPLATE, 6, &h), RECOG_OK);
    EXPECT_EQ(viewsOf(h).size(), 2u);

    size = 1913;
    EXPECT_EQ(RecogExport(templateOf(views), RECOG_FORMAT_RAROVURA_TEMPLATE, record.data(), &size),
              RECOG_E_BUFFER_TOO_SMALL);
    EXPECT_EQ(size, 1914u);
    record[4] = 0x31;  // the signed part is not a SEQUENCE
    EXPECT_EQ(import(record, RECOG_FORMAT_RAROVURA_TEMPLATE, 6, &h), RECOG_E_MALFORMED);
}

TEST_F(OwnRecordTest, DispatchChecks) {
    RecogHandle fs = featureSet(viewWithCoverage(makeFinger(40, 20), 7));
    RecogHandle t = templateOf({viewWithCoverage(makeFinger(41, 20), 6)});
    std::vector<uint8_t> buffer(64, 0xCC);
    uint32_t size = 64;
    // The wrong kind of handle: neither the buffer nor the size is touched.
    EXPECT_EQ(RecogExport(fs, RECOG_FORMAT_TEMPLATE, buffer.data(), &size), RECOG_E_HANDLE);
    EXPECT_EQ(RecogExport(t, RECOG_FORMAT_FEATURE_SET, buffer.data(), &size), RECOG_E_HANDLE);
    EXPECT_EQ(RecogExport(context_, RECOG_FORMAT_ALIGNMENT, buffer.data(), &size), RECOG_E_HANDLE);
    EXPECT_EQ(size, 64u);
    EXPECT_EQ(buffer[0], 0xCC);
    EXPECT_EQ(RecogExport(fs, 0x00330209, buffer.data(), &size), RECOG_E_INVALID_ARG);
    EXPECT_EQ(RecogExport(fs, RECOG_FORMAT_FEATURE_SET, buffer.data(), nullptr), RECOG_E_INVALID_ARG);

    const auto bytes = exported(fs, RECOG_FORMAT_FEATURE_SET);
    RecogHandle h = nullptr;
    EXPECT_EQ(RecogImport(context_, nullptr, 10, RECOG_FORMAT_FEATURE_SET, 7, &h), RECOG_E_INVALID_ARG);
    EXPECT_EQ(RecogImport(context_, bytes.data(), uint32_t(bytes.size()), RECOG_FORMAT_FEATURE_SET, 7, nullptr),
              RECOG_E_INVALID_ARG);
    EXPECT_EQ(RecogImport(context_, bytes.data(), uint32_t(bytes.size()), RECOG_FORMAT_FEATURE_SET, 8, &h),
              RECOG_E_INVALID_ARG);
    EXPECT_EQ(RecogImport(context_, bytes.data(), uint32_t(bytes.size()), 0x00330209, 7, &h), RECOG_E_INVALID_ARG);
    EXPECT_EQ(RecogImport(fs, bytes.data(), uint32_t(bytes.size()), RECOG_FORMAT_FEATURE_SET, 7, &h), RECOG_E_HANDLE);
    EXPECT_EQ(h, nullptr);

    // Allocation failures leave nothing behind.
    for (int skip : {0, 1}) {
        log_.failAt = int(log_.sizes.size()) + skip;
        EXPECT_EQ(RecogImport(context_, bytes.data(), uint32_t(bytes.size()), RECOG_FORMAT_FEATURE_SET, 7, &h),
                  RECOG_E_OUT_OF_MEMORY);
        EXPECT_EQ(h, nullptr);
    }
    // A malformed record leaves no object either (the fixture checks for leaks).
    EXPECT_EQ(RecogImport(context_, bytes.data(), 3, RECOG_FORMAT_FEATURE_SET, 7, &h), RECOG_E_MALFORMED);
}

// A re-imported probe compares with a re-imported template as the originals do.
TEST_F(OwnRecordTest, ImportedObjectsMatchLikeTheOriginals) {
    const auto finger = makeFinger(50, 40);
    std::vector<R::MatchData> views;
    for (int v = 0; v < 4; ++v) views.push_back(viewWithCoverage(impression(finger, 60 + v, v * 3, v, -v), 6));
    RecogHandle t = templateOf(views);
    RecogHandle probe = featureSet(viewWithCoverage(impression(finger, 70, 5, 4, 3), 7));
    auto probability = [&](RecogHandle p, RecogHandle tm) {
        RecogHandle c = nullptr;
        EXPECT_EQ(RecogCreateComparison(p, tm, 0, &c), RECOG_OK);
        uint32_t value = 0;
        EXPECT_EQ(RecogGetProbability(c, RECOG_PROBABILITY_COMPARISON, &value), RECOG_OK);
        RecogCloseHandle(c);
        return value;
    };
    RecogHandle t2 = nullptr, p2 = nullptr;
    ASSERT_EQ(import(exported(t, RECOG_FORMAT_TEMPLATE), RECOG_FORMAT_TEMPLATE, 6, &t2), RECOG_OK);
    ASSERT_EQ(import(exported(probe, RECOG_FORMAT_FEATURE_SET), RECOG_FORMAT_FEATURE_SET, 7, &p2), RECOG_OK);
    const uint32_t original = probability(probe, t);
    EXPECT_LT(original, 1000u);
    EXPECT_EQ(probability(p2, t2), original);
}

}  // namespace
}  // namespace recogtest
