// Alignment records: DER bytes both ways, plausibility bounds, purposes and malformed input.
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "engines/recognition/alignment_data.h"
#include "tests/engines/recognition/records_fixture.h"

namespace recogtest {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}
Bytes element(uint8_t tag, const Bytes& content) {
    Bytes out(content.size() + 2);
    out[0] = tag;
    out[1] = uint8_t(content.size());
    std::copy(content.begin(), content.end(), out.begin() + 2);
    return out;
}
Bytes sequence(std::initializer_list<Bytes> parts) { return element(0x30, cat(parts)); }

const Bytes kIdentity = sequence({{0x02, 0x02, 0x10, 0x00}, {0x02, 0x01, 0x00}, {0x02, 0x01, 0x00},
                                  {0x02, 0x02, 0x10, 0x00}, {0x02, 0x01, 0x00}, {0x02, 0x01, 0x00}});
// A quarter turn moved by (-1, 128).
const Bytes kQuarterTurn = sequence({{0x02, 0x01, 0x00}, {0x02, 0x02, 0xF0, 0x00}, {0x02, 0x02, 0x10, 0x00},
                                     {0x02, 0x01, 0x00}, {0x02, 0x01, 0xFF}, {0x02, 0x02, 0x00, 0x80}});
const Bytes kVersion0 = {0x02, 0x01, 0x00};

class AlignmentRecordTest : public RecordTest {};

TEST_F(AlignmentRecordTest, RoundTripGivesTheSameBytes) {
    const Bytes record = sequence({kVersion0, sequence({kIdentity, kQuarterTurn})});
    ASSERT_EQ(record.size(), 52u);
    RecogHandle h = nullptr;
    ASSERT_EQ(import(record, RECOG_FORMAT_ALIGNMENT, RECOG_PURPOSE_VERIFY, &h), RECOG_OK);
    EXPECT_EQ(R::FromHandle<R::AlignmentDataObj>(h, true), nullptr);  // read-only
    const R::AlignmentDataObj& a = *R::FromHandle<R::AlignmentDataObj>(h, false);
    ASSERT_EQ(a.count, 2u);
    EXPECT_EQ(a.alignments[1].b, -4096);
    EXPECT_EQ(a.alignments[1].tx, -1);
    EXPECT_EQ(a.alignments[1].ty, 128);
    EXPECT_EQ(exported(h, RECOG_FORMAT_ALIGNMENT), record);

    Bytes small(20, 0xCC);
    uint32_t size = 10;
    EXPECT_EQ(RecogExport(h, RECOG_FORMAT_ALIGNMENT, small.data(), &size), RECOG_E_BUFFER_TOO_SMALL);
    EXPECT_EQ(size, 52u);
    EXPECT_EQ(small[9], 0);
    EXPECT_EQ(small[10], 0xCC);
    size_t n = 0;
    EXPECT_EQ(a.Export(RECOG_FORMAT_FEATURE_SET, nullptr, nullptr, n), RECOG_E_INVALID_ARG);

    // An empty list imports, but there is nothing to export.
    ASSERT_EQ(import(sequence({kVersion0, sequence({})}), RECOG_FORMAT_ALIGNMENT, 2, &h), RECOG_OK);
    EXPECT_EQ(RecogExport(h, RECOG_FORMAT_ALIGNMENT, nullptr, &size), RECOG_E_NOTHING_TO_DO);
}

TEST_F(AlignmentRecordTest, Purposes) {
    const Bytes record = sequence({kVersion0, sequence({kIdentity})});
    for (auto [purpose, status] : std::initializer_list<std::pair<uint32_t, RecogResult>>{
             {2, RECOG_OK}, {0x80000002, RECOG_OK}, {0x80000006, RECOG_OK},
             {6, RECOG_E_PURPOSE}, {0x80000001, RECOG_E_PURPOSE}, {0, RECOG_E_PURPOSE}}) {
        RecogHandle h = nullptr;
        EXPECT_EQ(import(record, RECOG_FORMAT_ALIGNMENT, purpose, &h), status) << std::hex << purpose;
    }
}

Bytes matrix(Bytes a, Bytes b, Bytes c, Bytes d) {
    return sequence({kVersion0, sequence({sequence({a, b, c, d, {0x02, 0x01, 0x00}, {0x02, 0x01, 0x00}})})});
}

TEST_F(AlignmentRecordTest, MalformedAndImplausibleRecords) {
    const Bytes four = {0x02, 0x02, 0x10, 0x00}, zero = {0x02, 0x01, 0x00};
    const Bytes extra = {0x02, 0x01, 0x07};
    const Bytes withExtras =
        sequence({{0x02, 0x01, 0x01}, sequence({cat({{0x30, 0x17}, Bytes(kIdentity.begin() + 2, kIdentity.end()), extra})}), extra});
    const Bytes extrasAtVersion0 =
        sequence({kVersion0, sequence({cat({{0x30, 0x17}, Bytes(kIdentity.begin() + 2, kIdentity.end()), extra})})});
    Bytes longForm = sequence({kVersion0, sequence({kIdentity})});
    longForm.insert(longForm.begin() + 6, 0x81);  // the list's length in the long form
    longForm[1] += 1;
    Bytes noLengthBytes = longForm;
    noLengthBytes[6] = 0x80;
    struct Case {
        const char* what;
        Bytes record;
        RecogResult status;
    };
    for (const Case& c : std::initializer_list<Case>{
             {"identity", matrix(four, zero, zero, four), RECOG_OK},
             {"padded integer", matrix({0x02, 0x05, 0x00, 0x00, 0x00, 0x10, 0x00}, zero, zero, four), RECOG_OK},
             {"long length", longForm, RECOG_OK},
             {"later version skips extras", withExtras, RECOG_OK},
             {"version 0 refuses extras", extrasAtVersion0, RECOG_E_MALFORMED},
             {"length of no bytes", noLengthBytes, RECOG_E_MALFORMED},
             {"wide integer", matrix({0x02, 0x05, 0x01, 0x00, 0x00, 0x10, 0x00}, zero, zero, four), RECOG_E_MALFORMED},
             {"empty integer", matrix({0x02, 0x00}, zero, zero, four), RECOG_E_MALFORMED},
             {"scale 2", matrix({0x02, 0x02, 0x20, 0x00}, zero, zero, {0x02, 0x02, 0x20, 0x00}), RECOG_E_MALFORMED},
             {"scale 0.5", matrix({0x02, 0x02, 0x08, 0x00}, zero, zero, {0x02, 0x02, 0x08, 0x00}), RECOG_E_MALFORMED},
             {"shear", matrix(four, {0x02, 0x02, 0x08, 0x00}, zero, four), RECOG_E_MALFORMED},
             {"beyond 8192", matrix({0x02, 0x02, 0x20, 0x01}, zero, zero, zero), RECOG_E_MALFORMED},
             {"five alignments", sequence({kVersion0, sequence({kIdentity, kIdentity, kIdentity, kIdentity, kIdentity})}),
              RECOG_E_MALFORMED},
             {"not a sequence", element(0x31, cat({kVersion0, sequence({kIdentity})})), RECOG_E_MALFORMED},
             {"cut short", Bytes(kIdentity.begin(), kIdentity.end() - 1), RECOG_E_MALFORMED},
         }) {
        RecogHandle h = nullptr;
        EXPECT_EQ(import(c.record, RECOG_FORMAT_ALIGNMENT, 2, &h), c.status) << c.what;
    }
}

}  // namespace
}  // namespace recogtest
