// Image records: creation rules, packed form, BMP output and the bounds kept on foreign records.
#include "tcs/core.h"
#include "tcs/handle_map.h"
#include "tcs/tcs.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <numeric>
#include <string>
#include <vector>

namespace {

class ImageTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(tcsSafeHandlesInitialize(), TCS_RESULT_OK); }
    // The map frees only its nodes: the images go through their handles first.
    void TearDown() override {
        for (TcsHandle handle : handles_) tcsHandleDestroy(handle);
        tcsSafeHandlesUnInitialize();
        _tcsSafeHandleSetCleanup(TCS_HANDLE_TYPE_IMAGE, nullptr);  // other suites expect the default
    }

    TcsHandle keep(TcsHandle handle) {
        if (handle != 0) handles_.push_back(handle);
        return handle;
    }

    TcsHandle make(uint32_t rows, uint32_t columns, uint32_t quality = 0) {
        std::vector<uint8_t> pixels(size_t(rows) * columns);
        std::iota(pixels.begin(), pixels.end(), uint8_t(1));
        TcsHandle handle = 0;
        EXPECT_EQ(tcsImageCreate(&handle, pixels.data(), uint32_t(pixels.size()), rows, columns, quality),
                  TCS_RESULT_OK);
        return keep(handle);
    }

    static ImageRecord* record(TcsHandle handle) {
        void* object = nullptr;
        tcsSafeImageHandleFetch(handle, &object);
        return static_cast<ImageRecord*>(object);
    }

    static std::vector<uint8_t> pixelsOf(TcsHandle handle) {
        std::vector<uint8_t> data(tcsImageGetDataSize(handle));
        if (!data.empty()) tcsImageGetData(handle, data.data(), uint32_t(data.size()));
        return data;
    }

    static uint32_t u32At(const std::vector<uint8_t>& bytes, size_t at) {
        uint32_t value;
        std::memcpy(&value, bytes.data() + at, 4);
        return value;
    }

private:
    std::vector<TcsHandle> handles_;
};

TEST_F(ImageTest, CreateChecksItsArgumentsInOrder) {
    uint8_t pixels[4] = {1, 2, 3, 4};
    TcsHandle handle = 0;
    struct Case {
        TcsHandle* out;
        const uint8_t* pixels;
        uint32_t size, rows, columns, quality;
        TcsResult expected;
    };
    for (const Case& c : std::initializer_list<Case>{
             {nullptr, pixels, 4, 2, 2, 0, TCS_RESULT_NULL_POINTER},
             {&handle, pixels, 4, 0, 2, 0, TCS_RESULT_BAD_PARAM},
             {&handle, nullptr, 4, 2, 2, 0, TCS_RESULT_NULL_POINTER},
             {&handle, pixels, 0, 2, 2, 0, TCS_RESULT_BAD_PARAM},
             {&handle, pixels, 4, 2, 2, 0x08000000, TCS_RESULT_BAD_PARAM},
             {&handle, pixels, 4, 2, 2, 0x40000000, TCS_RESULT_BAD_PARAM},
             {&handle, pixels, 4, 2, 2, 0x80000000, TCS_RESULT_OK},
             {&handle, pixels, 4, 2, 2, 0x04000001, TCS_RESULT_OK},
         }) {
        handle = 0;
        EXPECT_EQ(tcsImageCreate(c.out, c.pixels, c.size, c.rows, c.columns, c.quality), c.expected)
            << c.size << " " << c.rows << " " << std::hex << c.quality;
        keep(handle);
    }
}

TEST_F(ImageTest, EmptyImageHasRoomButNoData) {
    TcsHandle handle = 0;
    ASSERT_EQ(tcsImageCreate(&handle, nullptr, 100, 0, 0, 0), TCS_RESULT_OK);
    keep(handle);
    EXPECT_EQ(tcsImageGetDataSize(handle), 0u);
    EXPECT_EQ(tcsImageGetAllocSize(handle), 100u);
    EXPECT_NE(tcsImageGetASPMetrics(handle), nullptr);
    EXPECT_EQ(tcsImageGetIRMetrics(handle), nullptr);
    EXPECT_EQ(std::memcmp(record(handle)->magic, "TIMG", 4), 0);
}

TEST_F(ImageTest, UsabilityFollowsTheQualityWord) {
    EXPECT_EQ(tcsImageCheckUsability(make(2, 2, 0x80000000), 0), 0u);
    EXPECT_EQ(tcsImageGetQuality(make(2, 2, 0x80000000)), 0x80000000u);
    EXPECT_EQ(tcsImageGetQuality(12345), 0x80000000u);  // unknown handle
    EXPECT_EQ(tcsImageCheckUsability(make(2, 2, 0x40), 1), 1u);  // tolerated by the strict check
    EXPECT_EQ(tcsImageCheckUsability(make(2, 2, 0x1), 1), 0u);
    EXPECT_EQ(tcsImageCheckUsability(make(2, 2, 0x1), 0), 1u);
    EXPECT_EQ(tcsImageCheckUsability(0, 0), 0u);
}

TEST_F(ImageTest, FlipsAndInvertTransformInPlace) {
    TcsHandle one = make(1, 4);
    std::vector<uint8_t> before = pixelsOf(one);
    EXPECT_EQ(tcsImageFlipVertical(one), TCS_RESULT_OK);
    EXPECT_EQ(pixelsOf(one), before);

    TcsHandle image = make(3, 4);
    before = pixelsOf(image);
    ASSERT_EQ(tcsImageFlipVertical(image), TCS_RESULT_OK);
    std::vector<uint8_t> flipped = pixelsOf(image);
    EXPECT_EQ(std::vector<uint8_t>(flipped.begin(), flipped.begin() + 4),
              std::vector<uint8_t>(before.begin() + 8, before.end()));
    ASSERT_EQ(tcsImageFlipVertical(image), TCS_RESULT_OK);
    EXPECT_EQ(pixelsOf(image), before);

    ASSERT_EQ(tcsImageFlipHorizontal(image), TCS_RESULT_OK);
    EXPECT_EQ(pixelsOf(image)[0], before[3]);
    EXPECT_EQ(pixelsOf(image)[4], before[7]);

    ASSERT_EQ(tcsImageInvertGreyscale(image), TCS_RESULT_OK);
    EXPECT_EQ(pixelsOf(image)[0], 255 - before[3]);

    EXPECT_EQ(tcsImageFlipVertical(999), TCS_RESULT_BAD_PARAM);
    EXPECT_EQ(tcsImageFlipHorizontal(999), TCS_RESULT_BAD_PARAM);
    EXPECT_EQ(tcsImageInvertGreyscale(999), TCS_RESULT_NULL_POINTER);
}

TEST_F(ImageTest, CloneCopiesPixelsSizeAndQualityOnly) {
    TcsHandle image = make(3, 5, 0x40);
    record(image)->swipeSpeed = 7;
    record(image)->aspScore = 9;
    TcsHandle copy = 0;
    ASSERT_EQ(tcsImageClone(image, &copy), TCS_RESULT_OK);
    keep(copy);
    EXPECT_NE(copy, image);
    EXPECT_EQ(pixelsOf(copy), pixelsOf(image));
    EXPECT_EQ(tcsImageGetRows(copy), 3u);
    EXPECT_EQ(tcsImageGetColumns(copy), 5u);
    EXPECT_EQ(tcsImageGetQuality(copy), 0x40u);
    EXPECT_EQ(tcsImageGetSwipeSpeed(copy), 0u);
    EXPECT_EQ(tcsImageGetAspScore(copy), 0u);
    EXPECT_EQ(tcsImageClone(image, nullptr), TCS_RESULT_NULL_POINTER);
    EXPECT_EQ(tcsImageClone(4242, &copy), TCS_RESULT_BAD_PARAM);
}

// A fresh 10 x 10 image packs to 4 + 179 + 4 bytes: its ASP block is present with size word 0.
TEST_F(ImageTest, PackedFreshImageIs187BytesAndUnpacksToTheSameImage) {
    TcsHandle image = make(10, 10, 0x40);
    uint32_t size = 0;
    ASSERT_EQ(tcsImagePack(image, nullptr, &size), TCS_RESULT_OK);
    EXPECT_EQ(size, 187u);
    std::vector<uint8_t> packed(size);
    ASSERT_EQ(tcsImagePack(image, packed.data(), &size), TCS_RESULT_OK);
    EXPECT_EQ(u32At(packed, 0), 179u);
    EXPECT_EQ(std::memcmp(packed.data() + 4, "TIMG", 4), 0);
    EXPECT_EQ(u32At(packed, 4 + 4), 10u);   // rows
    EXPECT_EQ(u32At(packed, 4 + 12), 100u);  // data size
    EXPECT_EQ(packed[4 + 76], 1);            // first pixel
    EXPECT_EQ(u32At(packed, 183), 0u);       // ASP size word

    TcsHandle copy = 0;
    ASSERT_EQ(tcsImageUnPack(packed.data(), &copy), TCS_RESULT_OK);
    keep(copy);
    ASSERT_NE(copy, 0u);
    EXPECT_EQ(tcsImageGetRows(copy), 10u);
    EXPECT_EQ(tcsImageGetColumns(copy), 10u);
    EXPECT_EQ(tcsImageGetQuality(copy), 0x40u);
    EXPECT_EQ(pixelsOf(copy), pixelsOf(image));
    EXPECT_NE(tcsImageGetASPMetrics(copy), nullptr);
    EXPECT_EQ(tcsImageGetIRMetrics(copy), nullptr);
}

TEST_F(ImageTest, PackCarriesIrMetricsAndFilledAspBlock) {
    TcsHandle image = make(2, 3);
    ImageRecord* r = record(image);
    r->irMetrics = std::calloc(1, TCS_IR_METRICS_SIZE);
    static_cast<uint8_t*>(r->irMetrics)[5] = 0xAB;
    uint32_t aspSize = TCS_ASP_METRICS_SIZE;
    std::memcpy(r->aspMetrics, &aspSize, 4);
    static_cast<uint8_t*>(r->aspMetrics)[71] = 0xCD;
    uint32_t size = 0;
    ASSERT_EQ(tcsImagePack(image, nullptr, &size), TCS_RESULT_OK);
    EXPECT_EQ(size, 4 + 6 + 79 + 228 + 4 + 72u);
    std::vector<uint8_t> packed(size);
    ASSERT_EQ(tcsImagePack(image, packed.data(), &size), TCS_RESULT_OK);
    TcsHandle copy = 0;
    ASSERT_EQ(tcsImageUnPack(packed.data(), &copy), TCS_RESULT_OK);
    keep(copy);
    ASSERT_NE(tcsImageGetIRMetrics(copy), nullptr);
    EXPECT_EQ(static_cast<uint8_t*>(tcsImageGetIRMetrics(copy))[5], 0xAB);
    EXPECT_EQ(static_cast<uint8_t*>(tcsImageGetASPMetrics(copy))[71], 0xCD);
}

// Packed images come from another process: counts that exceed the bytes present are refused, and
// the allocated-size field is held to what was actually allocated.
TEST_F(ImageTest, UnpackRefusesCountsBeyondTheBytesPresent) {
    TcsHandle image = make(4, 4);
    uint32_t size = 0;
    tcsImagePack(image, nullptr, &size);
    std::vector<uint8_t> good(size);
    tcsImagePack(image, good.data(), &size);

    auto withU32 = [&](size_t at, uint32_t value) {
        std::vector<uint8_t> bytes = good;
        std::memcpy(bytes.data() + at, &value, 4);
        return bytes;
    };
    struct Case {
        const char* what;
        std::vector<uint8_t> bytes;
    };
    for (const Case& c : std::vector<Case>{
             {"n below the header", withU32(0, 20)},
             {"rows x columns", withU32(4 + 4, 1000)},
             {"data size", withU32(4 + 12, 17)},
         }) {
        TcsHandle out = 77;
        EXPECT_EQ(tcsImageUnPack(c.bytes.data(), &out), TCS_RESULT_INVALID_FILE_FORMAT) << c.what;
        EXPECT_EQ(out, 0u) << c.what;
    }

    std::vector<uint8_t> inflated = withU32(4 + 16, 0x100000);  // allocated size
    TcsHandle out = 0;
    ASSERT_EQ(tcsImageUnPack(inflated.data(), &out), TCS_RESULT_OK);
    keep(out);
    EXPECT_EQ(tcsImageGetAllocSize(out), 16u);
    std::vector<uint8_t> buffer(64);
    EXPECT_EQ(tcsImageGetData(out, buffer.data(), 64), TCS_RESULT_BAD_PARAM);

    EXPECT_EQ(tcsImageUnPack(nullptr, &out), TCS_RESULT_NULL_POINTER);
    EXPECT_EQ(tcsImageUnPack(good.data(), nullptr), TCS_RESULT_NULL_HANDLE_POINTER);
}

TEST_F(ImageTest, TransformsRefuseDimensionsBeyondTheStorage) {
    TcsHandle image = make(2, 2);
    record(image)->rows = 100;
    record(image)->columns = 100;
    uint32_t size = 0;
    EXPECT_EQ(tcsImageFlipVertical(image), TCS_RESULT_BAD_PARAM);
    EXPECT_EQ(tcsImageFlipHorizontal(image), TCS_RESULT_BAD_PARAM);
    EXPECT_EQ(tcsImageInvertGreyscale(image), TCS_RESULT_BAD_PARAM);
    EXPECT_EQ(tcsImageToBitmapBits(image, nullptr, &size), TCS_RESULT_BAD_PARAM);
    EXPECT_EQ(_tcsImage2bmp(record(image), "/nonexistent/x.bmp"), TCS_RESULT_BAD_PARAM);
}

// A 3 x 5 image: 1078 header bytes and three rows padded to 8 bytes.
TEST_F(ImageTest, BitmapOfThreeByFiveImageIs1102Bytes) {
    TcsHandle image = make(3, 5);
    uint32_t size = 0;
    ASSERT_EQ(tcsImageToBitmapBits(image, nullptr, &size), TCS_RESULT_OK);
    EXPECT_EQ(size, 1102u);
    std::vector<uint8_t> bmp(size, 0xEE);
    ASSERT_EQ(tcsImageToBitmapBits(image, bmp.data(), &size), TCS_RESULT_OK);
    EXPECT_EQ(bmp[0], 'B');
    EXPECT_EQ(bmp[1], 'M');
    EXPECT_EQ(u32At(bmp, 2), 1102u);
    EXPECT_EQ(u32At(bmp, 6), 0u);
    EXPECT_EQ(u32At(bmp, 10), 1078u);
    EXPECT_EQ(u32At(bmp, 14), 40u);
    EXPECT_EQ(u32At(bmp, 18), 5u);
    EXPECT_EQ(u32At(bmp, 22), 3u);
    EXPECT_EQ(bmp[26] | bmp[27] << 8, 1);
    EXPECT_EQ(bmp[28] | bmp[29] << 8, 8);
    EXPECT_EQ(u32At(bmp, 30), 0u);
    EXPECT_EQ(u32At(bmp, 34), 24u);
    EXPECT_EQ(u32At(bmp, 54 + 4 * 200), 0x00C8C8C8u);  // palette entry 200
    std::vector<uint8_t> pixels = pixelsOf(image);
    for (int row = 0; row < 3; ++row) {
        const uint8_t* at = bmp.data() + 1078 + 8 * row;
        EXPECT_EQ(std::vector<uint8_t>(at, at + 5), std::vector<uint8_t>(pixels.begin() + 5 * row, pixels.begin() + 5 * row + 5));
        EXPECT_EQ(std::vector<uint8_t>(at + 5, at + 8), std::vector<uint8_t>(3, 0)) << row;
    }
    EXPECT_EQ(tcsImageToBitmapBits(4242, nullptr, &size), TCS_RESULT_NULL_HANDLE_POINTER);
    EXPECT_EQ(tcsImageToBitmapBits(image, nullptr, nullptr), TCS_RESULT_NULL_POINTER);
}

// Rows are padded to a multiple of 4 bytes: none for a width that already is one (a padding of 4
// there would shear every row), 1 to 3 otherwise; the buffer, the file writers and the header agree.
TEST_F(ImageTest, BmpRowPaddingAtAndAroundMultiplesOfFour) {
    const std::string path = ::testing::TempDir() + "/tcs_bmp_width_" + std::to_string(getpid()) + ".bmp";
    struct Case {
        uint32_t width;
        uint32_t padding;
    };
    for (auto [width, padding] : std::initializer_list<Case>{{4, 0}, {8, 0}, {12, 0}, {5, 3}, {6, 2}, {7, 1}}) {
        SCOPED_TRACE(width);
        const uint32_t rows = 3;
        TcsHandle image = make(rows, width);
        const uint32_t stride = width + padding;
        uint32_t size = 0;
        ASSERT_EQ(tcsImageToBitmapBits(image, nullptr, &size), TCS_RESULT_OK);
        ASSERT_EQ(size, 1078 + stride * rows);
        std::vector<uint8_t> bmp(size);
        ASSERT_EQ(tcsImageToBitmapBits(image, bmp.data(), &size), TCS_RESULT_OK);
        EXPECT_EQ(u32At(bmp, 2), size);
        EXPECT_EQ(u32At(bmp, 34), stride * rows);
        const std::vector<uint8_t> pixels = pixelsOf(image);
        for (uint32_t row = 0; row < rows; ++row) {
            const uint8_t* at = bmp.data() + 1078 + stride * row;
            EXPECT_EQ(std::vector<uint8_t>(at, at + width),
                      std::vector<uint8_t>(pixels.begin() + width * row, pixels.begin() + width * (row + 1)))
                << row;
        }
        uint32_t filePadding = 9;
        FILE* file = tcsInitBmpFile(path.c_str(), rows, width, 0, &filePadding);
        ASSERT_NE(file, nullptr);
        std::fclose(file);
        EXPECT_EQ(filePadding, padding);
        tcsFp2bmp(pixels.data(), uint32_t(pixels.size()), width, path.c_str());
        std::ifstream in(path, std::ios::binary);
        EXPECT_EQ(std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {}), bmp);
        std::remove(path.c_str());
    }
}

TEST_F(ImageTest, BmpFilesMatchTheBufferForm) {
    std::string dir = ::testing::TempDir();
    std::string fromPixels = dir + "/tcs_fp2bmp.bmp";
    std::string fromImage = dir + "/tcs_image2bmp.bmp";
    std::vector<uint8_t> pixels(15);
    std::iota(pixels.begin(), pixels.end(), uint8_t(1));
    tcsFp2bmp(pixels.data(), 15, 5, fromPixels.c_str());
    TcsHandle image = make(3, 5);
    tcsImage2bmp(image, fromImage.c_str());
    auto read = [](const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
    };
    std::vector<uint8_t> bmp(1102);
    uint32_t size = 0;
    ASSERT_EQ(tcsImageToBitmapBits(image, bmp.data(), &size), TCS_RESULT_OK);
    EXPECT_EQ(read(fromPixels), bmp);
    EXPECT_EQ(read(fromImage), bmp);
    std::remove(fromPixels.c_str());
    std::remove(fromImage.c_str());

    uint32_t padding = 9;
    FILE* inverted = tcsInitBmpFile(fromPixels.c_str(), 2, 6, 1, &padding);
    ASSERT_NE(inverted, nullptr);
    std::fclose(inverted);
    EXPECT_EQ(padding, 2u);
    std::vector<uint8_t> header = read(fromPixels);
    ASSERT_EQ(header.size(), 1078u);
    EXPECT_EQ(u32At(header, 54), 0x00FFFFFFu);  // inverted palette: entry 0 is white
    std::remove(fromPixels.c_str());
}

TEST_F(ImageTest, EventGettersAndDataStrings) {
    char name[] = "SIM00001";
    EventRecord event{3, 372, sizeof(name), name};
    EXPECT_EQ(tcsEventGetId(&event), 3u);
    EXPECT_EQ(tcsEventGetStatus(&event), 372u);
    EXPECT_EQ(tcsEventGetDataSize(&event), 9u);
    EXPECT_EQ(tcsEventGetData(&event), name);
    EXPECT_EQ(tcsEventGetId(nullptr), 0u);
    EXPECT_EQ(tcsEventGetData(nullptr), nullptr);
    char* copy = tcsEventGetDataStringA(&event);
    ASSERT_NE(copy, nullptr);
    EXPECT_STREQ(copy, "SIM00001");
    uint16_t* wide = tcsEventGetDataStringW(&event);
    ASSERT_NE(wide, nullptr);
    EXPECT_EQ(wide[0], 'S');
    EXPECT_EQ(wide[7], '1');
    EXPECT_EQ(tcsEventFreeDataString(copy), TCS_RESULT_OK);
    EXPECT_EQ(tcsEventFreeDataString(wide), TCS_RESULT_OK);
    EXPECT_EQ(tcsBufferFree(nullptr), TCS_RESULT_OK);
    EXPECT_EQ(_tcsGetActualMatcherId(), 1u);
}

}  // namespace
