// Compressed feature sets: exact layouts, the block-grid codec, round trips and a fuzzed reader.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "engines/minutiae/context.h"
#include "engines/minutiae/features.h"

namespace {

using namespace mnt;

struct Fixture : ::testing::Test {
    MntContext* context = MntCreateContext();
    std::unique_ptr<FeatureRecord> record = std::make_unique<FeatureRecord>();
    std::vector<uint8_t> out = std::vector<uint8_t>(kMaxCompressedSize + 64, 0xCC);
    ~Fixture() override { MntFreeContext(context); }

    void AddMinutia(int x, int y, int direction, int curvature = 255) {
        MinutiaList& m = record->minutiae;
        m.x[m.count] = x;
        m.y[m.count] = y;
        m.direction[m.count] = direction;
        m.curvature[m.count] = curvature;
        ++m.count;
    }
    void AddPoint(int x, int y, int direction, int type) {
        SingularPointList& s = record->singularPoints;
        s.x[s.count] = x;
        s.y[s.count] = y;
        s.direction[s.count] = direction;
        s.type[s.count] = type;
        ++s.count;
    }
    std::vector<uint8_t> Compress() {
        const size_t n = CompressFeatures(record.get(), out.data(), context);
        return std::vector<uint8_t>(out.begin(), out.begin() + n);
    }
    void EmptyGrid(int columns, int rows) {
        record->blockColumns = columns;
        record->blockRows = rows;
        std::memset(record->blockGrid, 255, sizeof record->blockGrid);
    }
};

using FeatureFormat = Fixture;

TEST_F(FeatureFormat, EmptySetIsSevenBytesButTenAreWritten) {
    record->ridgeEdgeDensity = 0x5D;
    EXPECT_EQ(Compress(), (std::vector<uint8_t>{0x00, 0x5D, 0x00, 0x08, 0x80, 0x00, 0x00}));
    EXPECT_EQ(out[7], 0);
    EXPECT_EQ(out[8], 0);
    EXPECT_EQ(out[9], 0);
    EXPECT_EQ(out[10], 0xCC);
}

TEST_F(FeatureFormat, MinutiaRecordsAgainstTheOrigin) {
    AddMinutia(100, 50, 17);
    AddMinutia(40, 200, 239);
    context->writeCurvature = 1;
    const auto bytes = Compress();
    // Origin (40, 50): bits 0-11 50 + 2048, bits 12-23 40 + 2048.
    const uint32_t origin = (50 + 2048) | (40 + 2048) << 12;
    const uint32_t first = 60u << 21 | 0u << 10 | 17u;
    const uint32_t second = 0u << 21 | 150u << 10 | 239u;
    std::vector<uint8_t> expected{0x00, 0x00, uint8_t(origin), uint8_t(origin >> 8), uint8_t(origin >> 16), 2, 0};
    for (uint32_t v : {first, second})
        for (int i = 0; i < 8; ++i) expected.push_back(i < 4 ? uint8_t(v >> (8 * i)) : 0);
    EXPECT_EQ(bytes, expected);

    auto back = std::make_unique<FeatureRecord>();
    back->minutiae.kind[0] = 7;
    EXPECT_EQ(DecompressFeatures(bytes.data(), back.get()), bytes.size());
    EXPECT_EQ(back->minutiae.count, 2);
    EXPECT_EQ(back->minutiae.x[0], 100);
    EXPECT_EQ(back->minutiae.y[0], 50);
    EXPECT_EQ(back->minutiae.direction[0], 17);
    EXPECT_EQ(back->minutiae.curvature[0], -1);
    EXPECT_EQ(back->minutiae.x[1], 40);
    EXPECT_EQ(back->minutiae.y[1], 200);
    EXPECT_EQ(back->minutiae.kind[0], 7);  // the kind is not stored
    EXPECT_EQ(back->singularPoints.count, 0);
    EXPECT_EQ(back->blockColumns, 0);
}

TEST_F(FeatureFormat, CurvatureFlagOnlyWhenSomeCurvatureIsKnown) {
    AddMinutia(10, 10, 5);
    AddMinutia(20, 20, 6);
    auto bytes = Compress();
    EXPECT_EQ(bytes[0] & 1, 0);
    EXPECT_EQ(bytes.size(), 7u + 16u);

    auto back = std::make_unique<FeatureRecord>();
    DecompressFeatures(bytes.data(), back.get());
    EXPECT_EQ(back->minutiae.curvature[1], -1);
    // -1 left by the reader counts as known and goes out as 255.
    std::swap(record, back);
    bytes = Compress();
    EXPECT_EQ(bytes[0] & 1, 1);
    ASSERT_EQ(bytes.size(), 7u + 18u);
    EXPECT_EQ(bytes[7 + 8], 255);
    EXPECT_EQ(bytes[7 + 17], 255);

    record->minutiae.curvature[0] = 33;
    context->writeCurvature = 0;
    EXPECT_EQ(Compress()[0] & 1, 0);
}

TEST_F(FeatureFormat, OffsetsBeyondElevenBitsAreSkipped) {
    AddMinutia(0, 0, 1);
    AddMinutia(2047, 2047, 2);
    AddMinutia(2048, 5, 3);  // used to wrap to dx 0
    AddMinutia(5, 2048, 4);
    const auto bytes = Compress();
    auto back = std::make_unique<FeatureRecord>();
    DecompressFeatures(bytes.data(), back.get());
    ASSERT_EQ(back->minutiae.count, 2);
    EXPECT_EQ(back->minutiae.x[1], 2047);
    EXPECT_EQ(back->minutiae.y[1], 2047);
}

TEST_F(FeatureFormat, OriginIsClampedAndFarPointsSkipped) {
    AddMinutia(-5000, 10, 1);  // below the origin's range: dx negative after clamping
    AddMinutia(-2048, 10, 2);
    const auto bytes = Compress();
    EXPECT_EQ(bytes[2] | bytes[3] << 8 | bytes[4] << 16, (10 + 2048) | 0 << 12);
    auto back = std::make_unique<FeatureRecord>();
    DecompressFeatures(bytes.data(), back.get());
    ASSERT_EQ(back->minutiae.count, 1);
    EXPECT_EQ(back->minutiae.x[0], -2048);
}

TEST_F(FeatureFormat, LimitsOnMinutiaeAndSingularPoints) {
    for (int i = 0; i < 10; ++i) AddMinutia(i, i, i);
    AddPoint(3, 3, 100, -1);
    AddPoint(4, 4, 200, 1);
    AddPoint(5, 5, 201, 5);
    AddPoint(6, 6, 202, 2);
    context->maxMinutiae = 4;
    context->maxSingularPoints = 2;
    auto bytes = Compress();
    EXPECT_EQ(bytes[0], 2);
    auto back = std::make_unique<FeatureRecord>();
    DecompressFeatures(bytes.data(), back.get());
    EXPECT_EQ(back->minutiae.count, 4);
    ASSERT_EQ(back->singularPoints.count, 2);
    EXPECT_EQ(back->singularPoints.type[0], -1);
    EXPECT_EQ(back->singularPoints.direction[0], 100);
    EXPECT_EQ(back->singularPoints.type[1], 1);

    context->maxSingularPoints = 64;
    bytes = Compress();
    DecompressFeatures(bytes.data(), back.get());
    ASSERT_EQ(back->singularPoints.count, 4);
    EXPECT_EQ(back->singularPoints.type[2], 0);  // type 5 has no code
    EXPECT_EQ(back->singularPoints.type[3], 2);

    context->firstKindOnly = 1;
    bytes = Compress();
    DecompressFeatures(bytes.data(), back.get());
    ASSERT_EQ(back->singularPoints.count, 1);
    EXPECT_EQ(back->singularPoints.x[0], 4);

    context->maxMinutiae = 0;
    context->writeSingularPoints = 0;
    bytes = Compress();
    EXPECT_EQ(bytes.size(), 7u);
    EXPECT_EQ(bytes[0], 0);
}

TEST_F(FeatureFormat, SingularPointsMoveTheOriginOnlyWhenWritten) {
    AddMinutia(50, 60, 0);
    AddPoint(20, 30, 7, 1);
    auto bytes = Compress();
    EXPECT_EQ(bytes[2] | bytes[3] << 8 | bytes[4] << 16, (30 + 2048) | (20 + 2048) << 12);
    context->writeSingularPoints = 0;
    bytes = Compress();
    EXPECT_EQ(bytes[2] | bytes[3] << 8 | bytes[4] << 16, (60 + 2048) | (50 + 2048) << 12);
}

TEST_F(FeatureFormat, GridRowCodes) {
    EmptyGrid(8, 3);
    const uint8_t row0[] = {10, 10, 10, 11, 12};
    std::memcpy(record->blockGrid[0], row0, sizeof row0);
    record->blockGrid[2][0] = 30;
    const auto bytes = Compress();
    // Header 7 bytes, then columns - 1, rows - 1 and the codes.
    const std::vector<uint8_t> grid(bytes.begin() + 7, bytes.end());
    EXPECT_EQ(bytes[0], 4);
    EXPECT_EQ(grid, (std::vector<uint8_t>{7, 2, 10, 0x81, 11, 12, 0xE1, 30, 0xE0}));
}

TEST(BlockGridCodec, KnownCodes) {
    auto record = std::make_unique<FeatureRecord>();
    struct Case { std::vector<uint8_t> row; std::vector<uint8_t> codes; };
    const std::vector<Case> cases = {
        // a long run of one value: literal, then repeats of at most 32
        {std::vector<uint8_t>(40, 5), {5, 0x9F, 0x86}},
        // small steps become pair bytes: deltas +1 +1 +1 -1 around 20
        {{20, 21, 22, 23, 22}, {20, 0xA1, 0x99, 0x97}},
        // wrap: 119 -> 1 is a step of +2
        {{118, 119, 1, 3, 5}, {118, 0xA1, 0x9A, 0xAA}},
        // none in the middle: a single none is a literal 126, two or more a skip
        {{7, 255, 7, 255, 255, 7}, {7, 126, 7, 0xC1, 7}},
        // values 120..254 other than 255
        {{120, 200, 8}, {120, 127, 8}},
        // trailing none ends the grid
        {{9, 255, 255, 255, 255, 255}, {9, 0xE0}},
    };
    for (const auto& c : cases) {
        record->blockColumns = int(c.row.size());
        record->blockRows = 1;
        std::memset(record->blockGrid, 255, sizeof record->blockGrid);
        std::memcpy(record->blockGrid[0], c.row.data(), c.row.size());
        uint8_t out[256];
        const uint8_t* end = CompressBO(record.get(), out);
        const std::vector<uint8_t> codes(out + 2, const_cast<uint8_t*>(end));
        EXPECT_EQ(codes, c.codes) << int(c.row[0]) << " size " << c.row.size();

        auto back = std::make_unique<FeatureRecord>();
        EXPECT_EQ(DecompressBO(out, back.get()), end);
        EXPECT_EQ(back->blockColumns, int(c.row.size()));
        for (size_t x = 0; x < c.row.size(); ++x)
            EXPECT_EQ(back->blockGrid[0][x], c.row[x] == 200 ? 127 : c.row[x]) << x;
    }
}

TEST(BlockGridCodec, FullNoneGridAndEmptyHeader) {
    auto record = std::make_unique<FeatureRecord>();
    std::memset(record->blockGrid, 3, sizeof record->blockGrid);
    const uint8_t in[] = {0x7F, 0x7F, 0xE0};
    EXPECT_EQ(DecompressBO(in, record.get()), in + 3);
    EXPECT_EQ(record->blockColumns, 128);
    EXPECT_EQ(record->blockRows, 128);
    for (int y = 0; y < 128; ++y)
        for (int x = 0; x < 128; ++x) ASSERT_EQ(record->blockGrid[y][x], 255);

    record->blockColumns = 0;
    record->blockRows = 0;
    uint8_t out[4] = {};
    EXPECT_EQ(CompressBO(record.get(), out), out + 2);
    EXPECT_EQ(out[0], 0xFF);
    EXPECT_EQ(out[1], 0xFF);
}

// Random records with grids of realistic texture: smooth fields, holes and empty rows.
void RandomRecord(std::mt19937& rng, FeatureRecord* r) {
    std::uniform_int_distribution<int> any(0, 1 << 30);
    r->ridgeEdgeDensity = uint8_t(any(rng));
    r->minutiae.count = any(rng) % 200;
    const int baseX = any(rng) % 300 - 100, baseY = any(rng) % 300 - 100;
    for (int i = 0; i < r->minutiae.count; ++i) {
        r->minutiae.x[i] = baseX + any(rng) % 1500;
        r->minutiae.y[i] = baseY + any(rng) % 1500;
        r->minutiae.direction[i] = any(rng) % 240;
        r->minutiae.curvature[i] = any(rng) % 4 == 0 ? 255 : any(rng) % 255;
    }
    r->singularPoints.count = any(rng) % 6;
    for (int i = 0; i < r->singularPoints.count; ++i) {
        r->singularPoints.x[i] = baseX + any(rng) % 1500;
        r->singularPoints.y[i] = baseY + any(rng) % 1500;
        r->singularPoints.direction[i] = any(rng) % 240;
        r->singularPoints.type[i] = (any(rng) % 3) - 1 == 0 ? 2 : (any(rng) % 2 ? 1 : -1);
    }
    r->blockColumns = 1 + any(rng) % 128;
    r->blockRows = 1 + any(rng) % 128;
    std::memset(r->blockGrid, 255, sizeof r->blockGrid);
    for (int y = 0; y < r->blockRows; ++y) {
        if (any(rng) % 5 == 0) continue;
        int v = any(rng) % 120;
        for (int x = 0; x < r->blockColumns; ++x) {
            const int kind = any(rng) % 20;
            if (kind == 0) continue;                       // hole
            if (kind == 1) v = any(rng) % 120;             // jump
            else if (kind < 8) v = (v + any(rng) % 17 - 8 + 120) % 120;  // small step
            r->blockGrid[y][x] = uint8_t(kind == 2 ? 120 + any(rng) % 134 : v);
        }
    }
}

TEST(FeatureFormatRoundTrip, RandomRecordsSurviveCompression) {
    MntContext* context = MntCreateContext();
    std::mt19937 rng(1234);
    auto record = std::make_unique<FeatureRecord>();
    auto back = std::make_unique<FeatureRecord>();
    std::vector<uint8_t> out(kMaxCompressedSize);
    for (int round = 0; round < 300; ++round) {
        *record = FeatureRecord{};
        RandomRecord(rng, record.get());
        const size_t n = CompressFeatures(record.get(), out.data(), context);
        ASSERT_LE(n, kMaxCompressedSize);
        ASSERT_EQ(CompressedFeaturesLength(out.data(), n), n);
        ASSERT_EQ(CompressedFeaturesLength(out.data(), n - 1), 0u);
        std::memset(back.get(), 0x11, sizeof *back);
        DecompressFeatures(out.data(), back.get());
        ASSERT_EQ(back->ridgeEdgeDensity, record->ridgeEdgeDensity);
        ASSERT_EQ(back->minutiae.count, record->minutiae.count);
        for (int i = 0; i < record->minutiae.count; ++i) {
            ASSERT_EQ(back->minutiae.x[i], record->minutiae.x[i]);
            ASSERT_EQ(back->minutiae.y[i], record->minutiae.y[i]);
            ASSERT_EQ(back->minutiae.direction[i], record->minutiae.direction[i]);
            const int curvature = record->minutiae.curvature[i];
            bool anyKnown = false;
            for (int k = 0; k < record->minutiae.count; ++k) anyKnown |= record->minutiae.curvature[k] != 255;
            ASSERT_EQ(back->minutiae.curvature[i], !anyKnown || curvature == 255 ? -1 : curvature);
        }
        ASSERT_EQ(back->singularPoints.count, record->singularPoints.count);
        for (int i = 0; i < record->singularPoints.count; ++i) {
            ASSERT_EQ(back->singularPoints.x[i], record->singularPoints.x[i]);
            ASSERT_EQ(back->singularPoints.type[i], record->singularPoints.type[i]);
            ASSERT_EQ(back->singularPoints.direction[i], record->singularPoints.direction[i]);
        }
        ASSERT_EQ(back->blockColumns, record->blockColumns);
        ASSERT_EQ(back->blockRows, record->blockRows);
        for (int y = 0; y < 128; ++y)
            for (int x = 0; x < 128; ++x) {
                const uint8_t v = record->blockGrid[y][x];
                const bool inside = x < record->blockColumns && y < record->blockRows;
                const uint8_t expected = !inside ? 255 : (v > 120 && v < 255) ? 127 : v;
                ASSERT_EQ(back->blockGrid[y][x], expected) << round << " " << x << "," << y;
            }
    }
    MntFreeContext(context);
}

TEST(FeatureFormatReader, FuzzedInputStaysInBounds) {
    // The reader trusts its input, so the buffer holds the most any header can make it read:
    // 65535 nine-byte minutiae, 255 points and a grid; ASan watches both sides.
    constexpr size_t kMostRead = 7 + 65535 * 9 + 1 + 255 * 8 + 2 + 128 * 128 * 34;
    std::vector<uint8_t> input(kMostRead);
    std::mt19937 rng(99);
    auto record = std::make_unique<FeatureRecord>();
    for (int round = 0; round < 200; ++round) {
        for (size_t i = 0; i < 4096; ++i) input[i] = uint8_t(rng());
        // Keep the grid part random too, wherever it starts.
        for (size_t i = 4096; i < input.size(); i += 4096 / 8) input[i] = uint8_t(rng());
        DecompressFeatures(input.data(), record.get());
        ASSERT_GE(record->minutiae.count, 0);
        ASSERT_LE(record->minutiae.count, kMaxMinutiae);
        ASSERT_LE(record->singularPoints.count, kMaxSingularPoints);
        ASSERT_LE(record->blockColumns, kGridSize);
        ASSERT_LE(record->blockRows, kGridSize);
        const uint8_t* end = DecompressBO(input.data() + 4096 * (round % 8), record.get());
        ASSERT_LE(end, input.data() + input.size());
    }
}

TEST(FeatureFormatReader, LengthCheckKeepsTheReaderInsideTruncatedSets) {
    // Each set sits at the very end of a heap block of its claimed length, so a read past
    // the length is an ASan error.
    std::mt19937 rng(17);
    auto record = std::make_unique<FeatureRecord>();
    int accepted = 0;
    for (int round = 0; round < 3000; ++round) {
        const size_t size = 1 + rng() % 400;
        std::vector<uint8_t> bytes(size);
        for (auto& b : bytes) b = uint8_t(rng());
        bytes[0] = uint8_t(bytes[0] & 7);
        if (size > 6) bytes[6] = 0;                 // keep some minutia counts small enough
        if (size > 5) bytes[5] = uint8_t(bytes[5] % 40);
        const size_t length = CompressedFeaturesLength(bytes.data(), size);
        ASSERT_LE(length, size);
        if (length == 0) continue;
        ++accepted;
        auto exact = std::make_unique<uint8_t[]>(length);
        std::memcpy(exact.get(), bytes.data(), length);
        DecompressFeatures(exact.get(), record.get());
    }
    EXPECT_GT(accepted, 100);
    EXPECT_EQ(CompressedFeaturesLength(nullptr, 100), 0u);
    const uint8_t empty[] = {0, 0, 0, 8, 0x80, 0, 0};
    EXPECT_EQ(CompressedFeaturesLength(empty, 7), 7u);
    EXPECT_EQ(CompressedFeaturesLength(empty, 6), 0u);
}

}  // namespace
