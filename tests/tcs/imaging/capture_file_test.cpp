// Capture files: byte layout of every kind, round trips, the iterator's pairs, raw-data growth and
// damaged files refused cleanly.
#include "tcs/imaging/capture_file.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

class TempDir {
public:
    TempDir() {
        char pattern[] = "/tmp/tov-qcf-XXXXXX";
        path_ = mkdtemp(pattern);
    }
    ~TempDir() { std::system(("rm -rf " + path_).c_str()); }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

Bytes readAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}
void writeAll(const std::string& path, const Bytes& bytes) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}
uint32_t u32At(const Bytes& b, size_t at) { return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | uint32_t(b[at + 3]) << 24; }
uint16_t u16At(const Bytes& b, size_t at) { return uint16_t(b[at] | b[at + 1] << 8); }
void put32(Bytes& b, uint32_t v) {
    for (int i = 0; i < 4; ++i) b.push_back(uint8_t(v >> (8 * i)));
}
Bytes section(uint32_t type, uint32_t version, const Bytes& payload) {
    Bytes out;
    put32(out, uint32_t(payload.size() + 12));
    put32(out, type);
    put32(out, version);
    out.insert(out.end(), payload.begin(), payload.end());
    return out;
}

struct SectionHeader {
    uint32_t length, type, version;
};
std::vector<SectionHeader> headersOf(const Bytes& file) {
    std::vector<SectionHeader> out;
    for (size_t at = 0; at + 12 <= file.size();) {
        out.push_back({u32At(file, at), u32At(file, at + 4), u32At(file, at + 8)});
        if (out.back().length < 12) break;
        at += out.back().length;
    }
    return out;
}

const Bytes kCreatorTrailer = [] {
    const char text[] = "QCF File from Tovantic Sensors, Inc.";
    Bytes payload(text, text + sizeof text);
    return section(2, 1, payload);
}();

QcfSection of(uint32_t kind) {
    QcfSection s;
    std::memset(&s, 0, sizeof s);
    s.kind = kind;
    return s;
}

// Every kind a capture writes, with distinct values, and the section lengths each gives on disk.
struct Fixture {
    uint32_t registers[3] = {0x11223344, 2, 3};
    uint32_t timeslots[4] = {9, 8, 7, 6};
    uint32_t pairs[4] = {1, 100, 2, 200};
    uint8_t blob[5] = {1, 2, 3, 4, 5};
    uint8_t baseline[6] = {10, 11, 12, 13, 14, 15};
    uint8_t image[8] = {20, 21, 22, 23, 24, 25, 26, 27};
    uint8_t raw[12] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11};
    uint8_t area[3] = {7, 8, 9};
    std::vector<QcfSection> sections() {
        std::vector<QcfSection> out;
        QcfSection h = of(QCF_KIND_HEADER);
        for (uint32_t i = 0; i < 7; ++i) h.u.header.words[i] = 0x01010101u * (i + 1);
        std::memset(h.u.header.bytes8, 0xA8, 8);
        std::memset(h.u.header.bytes6, 0xA6, 6);
        std::memset(h.u.header.bytes2, 0xA2, 2);
        h.u.header.value8 = 0x5A;
        h.u.header.value16 = 0xBEEF;
        out.push_back(h);
        QcfSection s = of(QCF_KIND_SWIPE_DIRECTION);
        s.u.value = 2;
        out.push_back(s);
        s = of(QCF_KIND_BASELINE_VARIANCE);
        s.u.value = 20;
        out.push_back(s);
        s = of(QCF_KIND_BIT_REDUCTION);
        s.u.bitReduction[0] = 5;
        s.u.bitReduction[1] = 6;
        out.push_back(s);
        s = of(QCF_KIND_REGISTERS);
        s.u.words = {3, registers};
        out.push_back(s);
        s = of(QCF_KIND_BLOB_5);
        s.u.blob = {5, blob};
        out.push_back(s);
        s = of(QCF_KIND_TIMESLOT_TABLE);
        s.u.words = {4, timeslots};
        out.push_back(s);
        s = of(QCF_KIND_GET_PRINT_CONFIG);
        s.u.getPrintConfig = {0x409D, 7, 0x1234};
        out.push_back(s);
        s = of(QCF_KIND_CAL_RESULTS);
        s.u.calResults = {1, 33, 2, pairs};
        out.push_back(s);
        s = of(QCF_KIND_CAL_RESULTS_OLD);
        s.u.calOld.flag = 9;
        s.u.calOld.extended = 1;
        s.u.calOld.extra = 77;
        for (uint32_t i = 0; i < 7; ++i) s.u.calOld.values[i] = 100 + i;
        out.push_back(s);
        s = of(QCF_KIND_BASELINE_IMAGE_1);
        s.u.baselineImage = {2, 4, 1, image};
        out.push_back(s);
        s = of(QCF_KIND_BASELINE_FIRST);
        s.u.baseline = {2, 3, baseline};
        out.push_back(s);
        s = of(QCF_KIND_FINGER_ON_OFF_AREA);
        s.u.variable.fixed[0] = 0x42;
        s.u.variable.fixed[166] = 0x43;
        s.u.variable.count = 3;
        s.u.variable.data = area;
        out.push_back(s);
        s = of(QCF_KIND_USER_INFO);
        s.u.userInfo = {1, 2, 3};
        out.push_back(s);
        s = of(QCF_KIND_RAW_BUFFERED_SIZE);
        s.u.value = 0;
        out.push_back(s);
        s = of(QCF_KIND_RAW_FP_DATA);
        s.u.raw = {4, 9, 12, raw};
        out.push_back(s);
        return out;
    }
};

TEST(CaptureFile, SectionLayoutOnDisk) {
    TempDir dir;
    Fixture f;
    QcfFile* file = nullptr;
    ASSERT_EQ(fclQcfCreateA(&file, dir.file("capture").c_str()), 0u);
    for (const QcfSection& s : f.sections()) ASSERT_EQ(fclQcfWriteSection(file, &s), 0u) << s.kind;
    ASSERT_EQ(fclQcfClose(file), 0u);

    const Bytes bytes = readAll(dir.file("capture.qcf"));
    const std::vector<SectionHeader> expected = {
        {56, 7, 1},  {28, 29, 1}, {16, 20, 1}, {16, 34, 1}, {20, 28, 1}, {24, 9, 1},  {17, 10, 1},
        {28, 11, 1}, {22, 12, 1}, {28, 26, 1}, {28, 27, 2}, {45, 21, 1}, {24, 22, 1}, {16, 23, 1},
        {22, 13, 1}, {194, 30, 1}, {22, 50, 1}, {16, 35, 1}, {34, 8, 1},
    };
    const std::vector<SectionHeader> got = headersOf(bytes);
    ASSERT_EQ(got.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(got[i].length, expected[i].length) << i;
        EXPECT_EQ(got[i].type, expected[i].type) << i;
        EXPECT_EQ(got[i].version, expected[i].version) << i;
    }
    // A blob section (kind 5) was written, so no creator trailer follows the raw data.
    // Header pair: the u8 and u16 live in the type-29 section at payload offsets 0 and 1.
    EXPECT_EQ(bytes[56 + 12], 0x5A);
    EXPECT_EQ(u16At(bytes, 56 + 13), 0xBEEF);
    // Raw data: u32 0, line count = 12 / 4, line length, second value, then the data.
    const size_t raw = bytes.size() - 34;
    EXPECT_EQ(u32At(bytes, raw + 12), 0u);
    EXPECT_EQ(u16At(bytes, raw + 16), 3);
    EXPECT_EQ(u16At(bytes, raw + 18), 4);
    EXPECT_EQ(u16At(bytes, raw + 20), 9);
    // Baseline data stores the second dimension first.
    const size_t baseline = 56 + 28 + 16 + 16 + 20 + 24 + 17 + 28 + 22 + 28 + 28 + 45 + 24 + 16;
    EXPECT_EQ(u16At(bytes, baseline + 12), 3);
    EXPECT_EQ(u16At(bytes, baseline + 14), 2);
    // Old calibration results: the flag is stored as a byte, 1 for any non-zero value.
    EXPECT_EQ(bytes[56 + 28 + 16 + 16 + 20 + 24 + 17 + 28 + 22 + 28 + 28 + 12], 1);
}

TEST(CaptureFile, EveryWrittenKindReadsBack) {
    TempDir dir;
    Fixture f;
    QcfFile* file = nullptr;
    ASSERT_EQ(fclQcfCreateA(&file, dir.file("round").c_str()), 0u);
    const std::vector<QcfSection> written = f.sections();
    for (const QcfSection& s : written) ASSERT_EQ(fclQcfWriteSection(file, &s), 0u);
    ASSERT_EQ(fclQcfClose(file), 0u);

    ASSERT_EQ(fclQcfOpenA(&file, dir.file("round.qcf").c_str()), 0u);
    for (const QcfSection& w : written) {
        QcfSection r = of(w.kind);
        ASSERT_EQ(fclQcfReadSection(file, &r), 0u) << w.kind;
        switch (w.kind) {
            case QCF_KIND_HEADER: EXPECT_EQ(std::memcmp(&r.u.header, &w.u.header, sizeof r.u.header), 0); break;
            case QCF_KIND_REGISTERS:
            case QCF_KIND_TIMESLOT_TABLE:
                ASSERT_EQ(r.u.words.count, w.u.words.count);
                EXPECT_EQ(std::memcmp(r.u.words.values, w.u.words.values, 4 * w.u.words.count), 0);
                break;
            case QCF_KIND_BLOB_5:
                ASSERT_EQ(r.u.blob.size, 5u);
                EXPECT_EQ(std::memcmp(r.u.blob.data, f.blob, 5), 0);
                break;
            case QCF_KIND_CAL_RESULTS:
                EXPECT_EQ(r.u.calResults.first, 1u);
                EXPECT_EQ(r.u.calResults.second, 33u);
                ASSERT_EQ(r.u.calResults.count, 2u);
                EXPECT_EQ(std::memcmp(r.u.calResults.pairs, f.pairs, sizeof f.pairs), 0);
                break;
            case QCF_KIND_CAL_RESULTS_OLD:
                EXPECT_EQ(r.u.calOld.flag, 1u);
                EXPECT_EQ(r.u.calOld.extended, 1u);
                EXPECT_EQ(r.u.calOld.extra, 77u);
                EXPECT_EQ(r.u.calOld.values[6], 106u);
                break;
            case QCF_KIND_BASELINE_IMAGE_1:
                EXPECT_EQ(r.u.baselineImage.first, 2);
                EXPECT_EQ(r.u.baselineImage.second, 4);
                EXPECT_EQ(r.u.baselineImage.flag, 1u);
                EXPECT_EQ(std::memcmp(r.u.baselineImage.data, f.image, 8), 0);
                break;
            case QCF_KIND_BASELINE_FIRST:
                EXPECT_EQ(r.u.baseline.first, 2);
                EXPECT_EQ(r.u.baseline.second, 3);
                EXPECT_EQ(std::memcmp(r.u.baseline.data, f.baseline, 6), 0);
                break;
            case QCF_KIND_FINGER_ON_OFF_AREA:
                EXPECT_EQ(r.u.variable.fixed[0], 0x42);
                EXPECT_EQ(r.u.variable.fixed[166], 0x43);
                ASSERT_EQ(r.u.variable.count, 3u);
                EXPECT_EQ(std::memcmp(r.u.variable.data, f.area, 3), 0);
                break;
            case QCF_KIND_RAW_FP_DATA:
                EXPECT_EQ(r.u.raw.lineLength, 4);
                EXPECT_EQ(r.u.raw.second, 9);
                ASSERT_EQ(r.u.raw.dataLength, 12u);
                EXPECT_EQ(std::memcmp(r.u.raw.data, f.raw, 12), 0);
                break;
            case QCF_KIND_GET_PRINT_CONFIG:
                EXPECT_EQ(r.u.getPrintConfig.first, 0x409Du);
                EXPECT_EQ(r.u.getPrintConfig.second, 7u);
                EXPECT_EQ(r.u.getPrintConfig.third, 0x1234);
                break;
            case QCF_KIND_USER_INFO:
                EXPECT_EQ(r.u.userInfo.first, 1u);
                EXPECT_EQ(r.u.userInfo.second, 2);
                EXPECT_EQ(r.u.userInfo.third, 3u);
                break;
            case QCF_KIND_BIT_REDUCTION:
                EXPECT_EQ(r.u.bitReduction[0], 5u);
                EXPECT_EQ(r.u.bitReduction[1], 6u);
                break;
            default: EXPECT_EQ(r.u.value, w.u.value) << w.kind; break;
        }
    }
    // Kinds never written, and the two kinds that are never cached, are missing.
    for (uint32_t kind : {2u, 3u, 20u, 24u, 26u}) {
        QcfSection r = of(kind);
        EXPECT_EQ(fclQcfReadSection(file, &r), QCF_RESULT_SECTION_MISSING) << kind;
    }
    // An opened file takes no writes.
    const QcfSection s = written[1];
    EXPECT_EQ(fclQcfWriteSection(file, &s), 218u);
    EXPECT_EQ(fclQcfClose(file), 0u);
}

TEST(CaptureFile, ArgumentAndModeChecks) {
    TempDir dir;
    QcfFile* file = nullptr;
    EXPECT_EQ(fclQcfCreateA(&file, nullptr), 17u);
    EXPECT_EQ(fclQcfOpenA(&file, nullptr), 17u);
    EXPECT_EQ(fclQcfOpenA(&file, dir.file("absent").c_str()), 207u);
    EXPECT_EQ(fclQcfCreateA(&file, dir.file("nodir/x").c_str()), 207u);
    EXPECT_EQ(fclQcfClose(nullptr), 40u);
    ASSERT_EQ(fclQcfCreateA(&file, dir.file("modes").c_str()), 0u);
    QcfSection s = of(0);
    EXPECT_EQ(fclQcfWriteSection(file, &s), 17u);
    s.kind = 29;
    EXPECT_EQ(fclQcfWriteSection(file, &s), 17u);
    s = of(QCF_KIND_BLOB_2);  // empty blob
    EXPECT_EQ(fclQcfWriteSection(file, &s), 17u);
    s = of(QCF_KIND_REGISTERS);  // zero count
    EXPECT_EQ(fclQcfWriteSection(file, &s), 17u);
    EXPECT_EQ(fclQcfWriteSection(file, nullptr), 40u);
    s = of(QCF_KIND_SWIPE_DIRECTION);
    EXPECT_EQ(fclQcfReadSection(file, &s), 219u);
    // Nothing raw to append to yet.
    const uint8_t data[4] = {};
    EXPECT_EQ(fclQcfAppendRawData(file, data, 4, 1), QCF_RESULT_SECTION_MISSING);
    EXPECT_EQ(fclQcfAppendRawData(file, data, 0, 1), 17u);
    EXPECT_EQ(fclQcfClose(file), 0u);
}

TEST(CaptureFile, ExtensionAddedOnlyWhenAbsentAnywhere) {
    struct Case {
        const char* path;
        const char* expected;
    };
    for (auto [path, expected] : std::initializer_list<Case>{{"/tmp/a", "/tmp/a.qcf"},
                                                             {"/tmp/a.qcf", "/tmp/a.qcf"},
                                                             {"/tmp/x.qcf.d/a", "/tmp/x.qcf.d/a"},
                                                             {"", ".qcf"}}) {
        char* out = nullptr;
        ASSERT_EQ(fclAppendExtentionToPath(&out, ".qcf", path), 0u);
        EXPECT_STREQ(out, expected);
        std::free(out);
    }
}

TEST(CaptureFile, BlobSectionSuppressesTheTrailer) {
    TempDir dir;
    QcfFile* file = nullptr;
    ASSERT_EQ(fclQcfCreateA(&file, dir.file("blob").c_str()), 0u);
    const uint8_t data[3] = {1, 2, 3};
    QcfSection s = of(QCF_KIND_BLOB_2);
    s.u.blob = {3, data};
    ASSERT_EQ(fclQcfWriteSection(file, &s), 0u);
    ASSERT_EQ(fclQcfClose(file), 0u);
    EXPECT_EQ(readAll(dir.file("blob.qcf")), section(2, 1, {1, 2, 3}));
}

TEST(CaptureFile, IteratorPairsInEitherOrderAndMissingPartners) {
    TempDir dir;
    Bytes headerWords(44, 0);
    headerWords[0] = 0x77;
    Bytes headerTail(16, 0);
    headerTail[0] = 0x12;
    headerTail[1] = 0x34;
    headerTail[2] = 0x56;
    Bytes pairs;
    for (uint32_t v : {1u, 10u, 2u, 20u, 3u, 30u}) put32(pairs, v);
    Bytes calHead(16, 0);
    calHead[0] = 5;
    struct Case {
        const char* name;
        Bytes file;
        uint32_t kind;
        uint8_t value8;
        uint16_t value16;
    };
    const std::vector<Case> cases = {
        {"7 then 29", [&] { Bytes b = section(7, 1, headerWords); Bytes t = section(29, 1, headerTail); b.insert(b.end(), t.begin(), t.end()); return b; }(), 1, 0x12, 0x5634},
        {"29 then 7", [&] { Bytes b = section(29, 1, headerTail); Bytes t = section(7, 1, headerWords); b.insert(b.end(), t.begin(), t.end()); return b; }(), 1, 0x12, 0x5634},
        {"7 alone", section(7, 1, headerWords), 1, 0, 0},
    };
    for (const Case& c : cases) {
        writeAll(dir.file("pair.qcf"), c.file);
        QcfIterator* it = nullptr;
        ASSERT_EQ(fclQcfIteratorGetFirstA(&it, dir.file("pair").c_str()), 0u) << c.name;
        QcfSection s;
        ASSERT_EQ(fclQcfIteratorGetData(it, &s), 0u);
        EXPECT_EQ(s.kind, c.kind) << c.name;
        EXPECT_EQ(s.u.header.words[0], 0x77u) << c.name;
        EXPECT_EQ(s.u.header.value8, c.value8) << c.name;
        EXPECT_EQ(s.u.header.value16, c.value16) << c.name;
        // The partner was consumed with the first section: the file then ends.
        EXPECT_EQ(fclQcfIteratorMoveToNext(it), 3u) << c.name;
        fclQcfIteratorClose(it);
    }
    // A type-27 section whose version word is 3 carries three pairs, wherever its partner stands.
    Bytes cal = section(27, 3, pairs);
    Bytes head = section(26, 1, calHead);
    cal.insert(cal.end(), head.begin(), head.end());
    writeAll(dir.file("cal.qcf"), cal);
    QcfIterator* it = nullptr;
    ASSERT_EQ(fclQcfIteratorGetFirstA(&it, dir.file("cal.qcf").c_str()), 0u);
    QcfSection s;
    fclQcfIteratorGetData(it, &s);
    EXPECT_EQ(s.kind, 11u);
    EXPECT_EQ(s.u.calResults.first, 5u);
    ASSERT_EQ(s.u.calResults.count, 3u);
    EXPECT_EQ(s.u.calResults.pairs[5], 30u);
    EXPECT_EQ(fclQcfIteratorMoveToNext(it), 3u);
    fclQcfIteratorClose(it);
}

TEST(CaptureFile, UnknownSectionsCopyUnchangedThroughTheIterator) {
    TempDir dir;
    Bytes source = section(33, 1, {9, 8, 7});           // a blob without a decoder
    Bytes odd = section(77, 5, {1, 2});                 // a type this reader does not know
    source.insert(source.end(), odd.begin(), odd.end());
    writeAll(dir.file("src.qcf"), source);
    QcfIterator* it = nullptr;
    ASSERT_EQ(fclQcfIteratorGetFirstA(&it, dir.file("src").c_str()), 0u);
    QcfFile* copy = nullptr;
    ASSERT_EQ(fclQcfCreateA(&copy, dir.file("copy").c_str()), 0u);
    TcsResult r = 0;
    uint32_t sections = 0;
    for (; r == 0; r = fclQcfIteratorMoveToNext(it)) {
        QcfSection s;
        fclQcfIteratorGetData(it, &s);
        EXPECT_EQ(s.kind, 0u);
        EXPECT_EQ(fclQcfWriteSectionByIterator(copy, &s), 0u);
        ++sections;
    }
    EXPECT_EQ(r, 3u);
    EXPECT_EQ(sections, 2u);
    fclQcfIteratorClose(it);
    ASSERT_EQ(fclQcfClose(copy), 0u);
    // Type 33 is a blob section: no trailer follows the copy.
    EXPECT_EQ(readAll(dir.file("copy.qcf")), source);
}

TEST(CaptureFile, DamagedFilesAreRefused) {
    TempDir dir;
    const Bytes good = section(20, 1, {2, 0, 0, 0});
    struct Case {
        const char* name;
        Bytes file;
        TcsResult open;
    };
    auto join = [](Bytes a, const Bytes& b) {
        a.insert(a.end(), b.begin(), b.end());
        return a;
    };
    Bytes lengthTooSmall = good;
    lengthTooSmall[0] = 11;
    Bytes payloadCut = section(20, 1, {2, 0, 0, 0, 5, 5, 5, 5});
    payloadCut.resize(payloadCut.size() - 3);
    Bytes hugeLength = good;
    hugeLength[3] = 0x7F;
    Bytes areaCount(167 + 12, 0);
    areaCount[167] = 200;  // claims 200 bytes that are not there
    const std::vector<Case> cases = {
        {"empty file", {}, 0},
        {"ends after a section", good, 0},
        {"ends inside a header", join(good, {1, 2, 3, 4, 5}), 220},
        {"length below 12", lengthTooSmall, 220},
        {"payload cut short", payloadCut, 219},
        {"length far past the end", hugeLength, 219},
        {"old calibration of 30 bytes", section(21, 1, Bytes(30, 0)), 220},
        {"baseline larger than its payload", section(13, 1, {4, 0, 4, 0, 1, 2}), 220},
        {"raw data without its sub-header", section(8, 1, Bytes(9, 0)), 220},
        {"finger area count past the end", section(30, 1, areaCount), 220},
        {"calibration pairs missing", join(section(26, 1, Bytes(16, 0)), section(27, 4, Bytes(8, 0))), 220},
        {"one-word section of 3 bytes", section(34, 1, {1, 2, 3}), 220},
        {"header tail too short", join(section(7, 1, Bytes(44, 0)), section(29, 1, Bytes(15, 0))), 220},
    };
    for (const Case& c : cases) {
        writeAll(dir.file("bad.qcf"), c.file);
        QcfFile* file = nullptr;
        EXPECT_EQ(fclQcfOpenA(&file, dir.file("bad.qcf").c_str()), c.open) << c.name;
        if (file != nullptr && c.open == 0) fclQcfClose(file);
        // The iterator reports the same fault at the same place (or 3 for an empty file).
        QcfIterator* it = nullptr;
        TcsResult r = fclQcfIteratorGetFirstA(&it, dir.file("bad.qcf").c_str());
        while (r == 0) r = fclQcfIteratorMoveToNext(it);
        EXPECT_EQ(r, c.open == 0 ? 3u : c.open) << c.name;
        if (it != nullptr) fclQcfIteratorClose(it);
    }
}

TEST(CaptureFile, RawDataGrowsInPlace) {
    TempDir dir;
    QcfFile* file = nullptr;
    ASSERT_EQ(fclQcfCreateA(&file, dir.file("grow").c_str()), 0u);
    QcfSection buffered = of(QCF_KIND_RAW_BUFFERED_SIZE);
    ASSERT_EQ(fclQcfWriteSection(file, &buffered), 0u);
    QcfSection raw = of(QCF_KIND_RAW_FP_DATA);
    raw.u.raw = {4, 1, 0, nullptr};
    ASSERT_EQ(fclQcfWriteSection(file, &raw), 0u);
    const std::string path = dir.file("grow.qcf");
    auto lineCount = [&] {
        std::fflush(nullptr);
        return u16At(readAll(path), 16 + 16);
    };
    const uint8_t a[8] = {1, 1, 1, 1, 2, 2, 2, 2}, b[4] = {3, 3, 3, 3}, c[4] = {4, 4, 4, 4}, front[4] = {9, 9, 9, 9};
    ASSERT_EQ(fclQcfAppendRawData(file, a, 8, 0), 0u);
    ASSERT_EQ(fclQcfAppendRawData(file, b, 4, 0), 0u);
    EXPECT_EQ(lineCount(), 0);  // counted only when the last buffer comes
    ASSERT_EQ(fclQcfAppendRawData(file, c, 4, 1), 0u);
    EXPECT_EQ(lineCount(), 4);
    ASSERT_EQ(fclQcfInsertRawData(file, front, 4, 0), 0u);
    EXPECT_EQ(fclQcfInsertRawData(file, front, 4, 100), 17u);  // past the present data
    ASSERT_EQ(fclQcfClose(file), 0u);

    const Bytes bytes = readAll(path);
    EXPECT_EQ(u32At(bytes, 12), 4u);  // the buffered-size section holds the inserted length
    EXPECT_EQ(u32At(bytes, 16), 22u + 20u);
    EXPECT_EQ(u16At(bytes, 16 + 16), 5);
    const Bytes data(bytes.begin() + 16 + 22, bytes.begin() + 16 + 42);
    EXPECT_EQ(data, (Bytes{9, 9, 9, 9, 1, 1, 1, 1, 2, 2, 2, 2, 3, 3, 3, 3, 4, 4, 4, 4}));
    EXPECT_EQ(Bytes(bytes.begin() + 58, bytes.end()), kCreatorTrailer);
}

TEST(CaptureFile, Unpack4bitInPlace) {
    uint8_t buffer[6] = {0xAB, 0xCD, 0xEF, 0x55, 0x55, 0x55};
    fclUnpack4bitArray(buffer, buffer, 5);  // two packed bytes used; the odd fifth is not written
    EXPECT_EQ(Bytes(buffer, buffer + 6), (Bytes{0xA0, 0xB0, 0xC0, 0xD0, 0x55, 0x55}));
}

}  // namespace
