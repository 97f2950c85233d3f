// Flash image file backend: the erased 4 MiB image, range checks, erases, commits and separate copies.
#include "platform/flash_image.h"

#include <gtest/gtest.h>

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <initializer_list>
#include <string>
#include <vector>

namespace {

constexpr uint32_t kSize = 0x400000;

std::vector<uint8_t> readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    std::vector<uint8_t> content(size_t(std::max<std::streamoff>(in.tellg(), 0)));
    in.seekg(0);
    in.read(reinterpret_cast<char*>(content.data()), std::streamsize(content.size()));
    return content;
}

class FlashImage : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/flash_image_test_XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
    }
    void TearDown() override {
        for (void* f : open_) palFssFileDBUninit(f);
        std::string cmd = "rm -rf '" + dir_ + "'";
        ASSERT_EQ(system(cmd.c_str()), 0);
    }
    std::string path(const char* name) const { return dir_ + "/" + name; }
    void* open(const std::string& hostPath) {
        void* f = nullptr;
        EXPECT_EQ(palFssFileDBInit(nullptr, ("file://" + hostPath).c_str(), &f), TCS_RESULT_OK);
        if (f != nullptr) open_.push_back(f);
        return f;
    }
    void close(void* f) {
        std::erase(open_, f);
        EXPECT_EQ(palFssFileDBUninit(f), TCS_RESULT_OK);
    }
    std::string dir_;
    std::vector<void*> open_;
};

TEST_F(FlashImage, NewFileBecomesAFullyErasedImageOnFirstUse) {
    const std::string p = path("new.img");
    void* f = open(p);
    struct stat st;
    ASSERT_EQ(stat(p.c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 0);  // created, not yet loaded

    uint8_t byte = 0;
    ASSERT_EQ(palFssReadFileDB(f, 0x123456, 1, &byte), TCS_RESULT_OK);
    EXPECT_EQ(byte, 0xFF);
    std::vector<uint8_t> content = readFile(p);
    ASSERT_EQ(content.size(), kSize);
    EXPECT_EQ(std::count(content.begin(), content.end(), 0xFF), kSize);

    uint32_t capacity = 0, storeSize = 0;
    EXPECT_EQ(palFssGetFileDBSize(f, &capacity, &storeSize), TCS_RESULT_OK);
    EXPECT_EQ(capacity, kSize);
    EXPECT_EQ(storeSize, kSize);
    EXPECT_EQ(palFssGetFileDBSize(f, &capacity, nullptr), TCS_RESULT_OK);
    EXPECT_EQ(palFssGetFileDBSize(f, nullptr, &storeSize), TCS_RESULT_BAD_PARAM);
}

TEST_F(FlashImage, RangesOutsideTheImageAreRefusedWithoutWrapping) {
    void* f = open(path("range.img"));
    struct Case { uint32_t address; uint16_t length; TcsResult expected; };
    for (auto [address, length, expected] : std::initializer_list<Case>{
             {0x3FFFFF, 1, TCS_RESULT_OK},
             {0x3FFFFF, 2, TCS_RESULT_BAD_PARAM},
             {0x3F0000, 0xFFFF, TCS_RESULT_OK},
             {0x3F0002, 0xFFFF, TCS_RESULT_BAD_PARAM},
             {0, 0, TCS_RESULT_BAD_PARAM},  // 0 + 0 - 1 was always refused
             {5, 0, TCS_RESULT_OK},
             {0x400000, 0, TCS_RESULT_OK},
             {0x400001, 0, TCS_RESULT_BAD_PARAM},
             // These wrapped to small ends in 32 bits and were let through.
             {0xFFFFFFFF, 2, TCS_RESULT_BAD_PARAM},
             {0xFFFFF000, 0x1001, TCS_RESULT_BAD_PARAM},
             {0xFFFFFFFF, 0, TCS_RESULT_BAD_PARAM},
         }) {
        SCOPED_TRACE(testing::Message() << std::hex << address << " + " << length);
        std::vector<uint8_t> buffer(length + 1, 0x5A);
        EXPECT_EQ(palFssReadFileDB(f, address, length, buffer.data()), expected);
        EXPECT_EQ(palFssWriteFileDB(f, address, length, buffer.data()), expected);
        EXPECT_EQ(_palFssWriteFileDB(f, address, length, buffer.data(), 0), expected);
    }
}

TEST_F(FlashImage, WritesReachTheFileOnlyOnCommitAndSurviveReopening) {
    const std::string p = path("persist.img");
    void* f = open(p);
    const uint8_t data[] = {0x00, 0x11, 0x22, 0x33};
    ASSERT_EQ(palFssWriteFileDB(f, 0x200000, sizeof data, data), TCS_RESULT_OK);
    EXPECT_EQ(readFile(p)[0x200001], 0xFF);
    ASSERT_EQ(palFssCommitFileDB(f), TCS_RESULT_OK);
    EXPECT_EQ(readFile(p)[0x200001], 0x11);

    // A write with the commit flag set commits at once; close commits what is left.
    ASSERT_EQ(_palFssWriteFileDB(f, 10, 1, data + 3, 1), TCS_RESULT_OK);
    EXPECT_EQ(readFile(p)[10], 0x33);
    ASSERT_EQ(palFssWriteFileDB(f, kSize - 1, 1, data), TCS_RESULT_OK);
    close(f);
    EXPECT_EQ(readFile(p)[kSize - 1], 0x00);

    f = open(p);
    uint8_t back[4] = {};
    ASSERT_EQ(palFssReadFileDB(f, 0x200000, sizeof back, back), TCS_RESULT_OK);
    EXPECT_EQ(std::vector<uint8_t>(back, back + 4), std::vector<uint8_t>(data, data + 4));
}

TEST_F(FlashImage, SectorEraseCoversWholeSectorsInsideTheImage) {
    void* f = open(path("erase.img"));
    std::vector<uint8_t> zeros(0xFFFF, 0);
    for (uint32_t a = 0; a < 0x40000; a += 0xFFFF) ASSERT_EQ(palFssWriteFileDB(f, a, 0xFFFF, zeros.data()), 0u);
    auto at = [&](uint32_t address) {
        uint8_t b = 0x5A;
        EXPECT_EQ(palFssReadFileDB(f, address, 1, &b), TCS_RESULT_OK);
        return b;
    };

    ASSERT_EQ(palFssSectorEraseFileDB(f, 0x12345, 1), TCS_RESULT_OK);
    EXPECT_EQ(at(0xFFFF), 0x00);
    EXPECT_EQ(at(0x10000), 0xFF);
    EXPECT_EQ(at(0x1FFFF), 0xFF);
    EXPECT_EQ(at(0x20000), 0x00);

    EXPECT_EQ(palFssSectorEraseFileDB(f, 0x20000, 0), TCS_RESULT_OK);
    EXPECT_EQ(at(0x20000), 0x00);
    // Beyond the image: refused, nothing erased.
    EXPECT_EQ(palFssSectorEraseFileDB(f, 0x3F0000, 2), TCS_RESULT_BAD_PARAM);
    EXPECT_EQ(palFssSectorEraseFileDB(f, 0xFFFFFFFF, 1), TCS_RESULT_BAD_PARAM);
    EXPECT_EQ(palFssSectorEraseFileDB(f, 0x30000, 0xFFFF), TCS_RESULT_BAD_PARAM);
    EXPECT_EQ(at(0x30000), 0x00);
    EXPECT_EQ(palFssSectorEraseFileDB(f, 0x3F0000, 1), TCS_RESULT_OK);

    ASSERT_EQ(palFssBulkEraseFileDB(f), TCS_RESULT_OK);
    EXPECT_EQ(at(0), 0xFF);
    EXPECT_EQ(at(0x3FFFF), 0xFF);
}

TEST_F(FlashImage, TwoOpenImagesKeepSeparateCopies) {
    const std::string pa = path("a.img"), pb = path("b.img");
    void* a = open(pa);
    void* b = open(pb);
    const uint8_t one = 0x01, two = 0x02;
    ASSERT_EQ(palFssWriteFileDB(a, 100, 1, &one), TCS_RESULT_OK);
    ASSERT_EQ(palFssWriteFileDB(b, 100, 1, &two), TCS_RESULT_OK);
    uint8_t got = 0;
    ASSERT_EQ(palFssReadFileDB(a, 100, 1, &got), TCS_RESULT_OK);
    EXPECT_EQ(got, 0x01);
    ASSERT_EQ(palFssBulkEraseFileDB(b), TCS_RESULT_OK);
    ASSERT_EQ(palFssReadFileDB(a, 100, 1, &got), TCS_RESULT_OK);
    EXPECT_EQ(got, 0x01);
    close(a);
    close(b);
    EXPECT_EQ(readFile(pa)[100], 0x01);
    EXPECT_EQ(readFile(pb)[100], 0xFF);
}

TEST_F(FlashImage, ShortFileIsRefusedByEveryOperationThatNeedsTheImage) {
    const std::string p = path("short.img");
    std::ofstream(p, std::ios::binary) << std::string(100, 'x');
    void* f = open(p);
    uint8_t byte = 0;
    EXPECT_EQ(palStorageInitReadWrite(f), TCS_RESULT_FILE_READ_FAILED);
    EXPECT_EQ(palFssReadFileDB(f, 0, 1, &byte), TCS_RESULT_FILE_READ_FAILED);
    EXPECT_EQ(palFssWriteFileDB(f, 0, 1, &byte), TCS_RESULT_FILE_READ_FAILED);
    EXPECT_EQ(palFssSectorEraseFileDB(f, 0, 1), TCS_RESULT_FILE_READ_FAILED);
    EXPECT_EQ(palFssBulkEraseFileDB(f), TCS_RESULT_FILE_READ_FAILED);
    EXPECT_EQ(palFssCommitFileDB(f), TCS_RESULT_FILE_READ_FAILED);
    close(f);
    EXPECT_EQ(readFile(p).size(), 100u);  // left as it was
}

TEST_F(FlashImage, CommitThatCannotWriteReports218) {
    // Reads of /dev/full give zeros (a complete image); every write fails for lack of space.
    if (access("/dev/full", R_OK | W_OK) != 0) GTEST_SKIP() << "no /dev/full";
    void* f = open("/dev/full");
    ASSERT_NE(f, nullptr);
    const uint8_t value = 0x42;
    ASSERT_EQ(palFssWriteFileDB(f, 7, 1, &value), TCS_RESULT_OK);
    EXPECT_EQ(palFssCommitFileDB(f), TCS_RESULT_FILE_WRITE_FAILED);
    uint8_t got = 0;
    ASSERT_EQ(palFssReadFileDB(f, 7, 1, &got), TCS_RESULT_OK);
    EXPECT_EQ(got, 0x42);
}

TEST_F(FlashImage, UrlsAndMissingContexts) {
    void* f = reinterpret_cast<void*>(1);
    EXPECT_EQ(palFssFileDBInit(nullptr, nullptr, &f), TCS_RESULT_BAD_PARAM);
    EXPECT_EQ(palFssFileDBInit(nullptr, path("bare.img").c_str(), &f), TCS_RESULT_BAD_DATABASE_NAME_FORMAT);
    EXPECT_EQ(f, nullptr);
    EXPECT_EQ(palFssFileDBInit(nullptr, ("file:" + path("one.img")).c_str(), &f), TCS_RESULT_BAD_DATABASE_NAME_FORMAT);
    EXPECT_EQ(palFssFileDBInit(nullptr, ("file://" + dir_ + "/no/such/dir.img").c_str(), &f),
              TCS_RESULT_FILE_OPEN_FAILED);
    EXPECT_EQ(f, nullptr);

    uint8_t byte = 0;
    uint32_t capacity = 0;
    EXPECT_EQ(palFssGetFileDBSize(nullptr, &capacity, nullptr), TCS_RESULT_INVALID_HANDLE);
    EXPECT_EQ(palStorageInitReadWrite(nullptr), TCS_RESULT_INVALID_HANDLE);
    EXPECT_EQ(palFssReadFileDB(nullptr, 0, 1, &byte), TCS_RESULT_INVALID_HANDLE);
    EXPECT_EQ(palFssWriteFileDB(nullptr, 0, 1, &byte), TCS_RESULT_INVALID_HANDLE);
    EXPECT_EQ(_palFssWriteFileDB(nullptr, 0, 1, &byte, 1), TCS_RESULT_INVALID_HANDLE);
    EXPECT_EQ(palFssSectorEraseFileDB(nullptr, 0, 1), TCS_RESULT_INVALID_HANDLE);
    EXPECT_EQ(palFssBulkEraseFileDB(nullptr), TCS_RESULT_INVALID_HANDLE);
    EXPECT_EQ(palFssCommitFileDB(nullptr), TCS_RESULT_INVALID_HANDLE);
    EXPECT_EQ(palFssFileDBUninit(nullptr), TCS_RESULT_INVALID_HANDLE);
}

}  // namespace
