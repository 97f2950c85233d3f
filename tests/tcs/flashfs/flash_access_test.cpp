// Flash access against the virtual sensor: part identification, page read and program, erase and
// bulk read.
#include "flash_fixture.h"

namespace {

using xtfstest::Bytes;
using xtfstest::FlashTest;

// Answers JEDEC id and RES from a scripted part in place of the virtual sensor's own.
void scriptPart(Bytes jedec, uint8_t res) {
    simusb::setCommandHook(0x0B, [jedec, res](std::span<const uint8_t> request) {
        simusb::Reply reply;
        Bytes mosi(request.begin() + 35, request.end());
        reply.payload.assign(mosi.size(), 0xFF);
        if (!mosi.empty() && mosi[0] == 0x9F) {
            for (size_t i = 1; i < mosi.size() && i <= 3; ++i) reply.payload[i] = jedec[i - 1];
        } else if (!mosi.empty() && mosi[0] == 0xAB && mosi.size() >= 5) {
            reply.payload[4] = res;
        }
        return reply;
    });
}

TEST_F(FlashTest, IdentifiesThePartByJedecIdOrResSignature) {
    struct Case { Bytes jedec; uint8_t res; uint32_t capacity, block, unit; uint8_t opcode; };
    for (const Case& c : std::initializer_list<Case>{
             {{0xEF, 0x40, 0x14}, 0x00, 1u << 20, 0x10000, 0x1000, 0x20},  // W25Q80B
             {{0x01, 0x02, 0x15}, 0x00, 2u << 20, 0x10000, 0x1000, 0x20},  // unknown: generic row
             {{0xFF, 0xFF, 0xFF}, 0x12, 512u << 10, 0x10000, 0x10000, 0xD8},  // RES 0x12: M25P40
             {{0x20, 0x20, 0x10}, 0x00, 64u << 10, 0x8000, 0x8000, 0xD8},  // M25P05-A
         }) {
        scriptPart(c.jedec, c.res);
        FlashPartInfo row{};
        ASSERT_EQ(GetFlashMemoryInfo(handle_, &row), 0u);
        EXPECT_EQ(row.capacity, c.capacity);
        EXPECT_EQ(row.blockSize, c.block);
        EXPECT_EQ(row.eraseUnit, c.unit);
        EXPECT_EQ(row.eraseOpcode, c.opcode);
    }
    scriptPart({0x00, 0x00, 0x00}, 0x77);
    FlashPartInfo row{};
    EXPECT_EQ(GetFlashMemoryInfo(handle_, &row), 83u) << "unknown RES signature";
    uint32_t capacity = 0;
    EXPECT_EQ(xtfsGetFlashInfo(handle_, &capacity), 83u);
    EXPECT_EQ(device_->storageInfo, nullptr) << "no context for an unidentified part";
}

TEST_F(FlashTest, FlashInfoMakesTheContextOnce) {
    EXPECT_EQ(xtfsGetFlashInfo(handle_, nullptr), 17u);
    EXPECT_EQ(xtfsGetFlashSectorSize(handle_, nullptr), 17u);
    uint32_t capacity = 0, block = 0;
    ASSERT_EQ(xtfsGetFlashInfo(handle_, &capacity), 0u);
    EXPECT_EQ(capacity, 1u << 20);
    ASSERT_EQ(xtfsGetFlashSectorSize(handle_, &block), 0u);
    EXPECT_EQ(block, 0x10000u);
    XtfsStorageInfo* record = info();
    ASSERT_NE(record, nullptr);
    uint32_t second = 0;
    std::memcpy(&second, reinterpret_cast<const uint8_t*>(record) + 4, 4);
    EXPECT_EQ(second, 0x10000u) << "second word: first sector size";
    simusb::clearCommandLog(sensor_);
    ASSERT_EQ(xtfsGetFlashInfo(handle_, &capacity), 0u);
    EXPECT_TRUE(spiOpcodes().empty()) << "identified once";
    EXPECT_EQ(GetStorageInfo(nullptr), nullptr);
}

TEST_F(FlashTest, PageProgramClearsBitsAndReadsBack) {
    seed(0x3000, Bytes(256, 0xF0));
    Bytes page(256);
    for (int i = 0; i < 256; ++i) page[i] = uint8_t(i);
    ASSERT_EQ(PageProgramRaw(handle_, 0x3000, page.data()), 0u);
    Bytes back(256);
    ASSERT_EQ(PageReadRaw(handle_, 0x3000, back.data()), 0u);
    for (int i = 0; i < 256; ++i) EXPECT_EQ(back[i], uint8_t(i & 0xF0)) << i;
    EXPECT_EQ(spiOpcodes(), (std::vector<uint8_t>{0x06, 0x02, 0x05, 0x03}));
    EXPECT_EQ(PageReadRaw(handle_, 0, nullptr), 17u);
}

TEST_F(FlashTest, WritesWithinOnePageOnly) {
    const Bytes ten(10, 0x00);
    EXPECT_EQ(xtfsWriteRawDataToPage(handle_, 250, ten.data(), 10), 17u) << "crosses the page end";
    EXPECT_EQ(xtfsWriteRawDataToPage(handle_, 246, ten.data(), 10), 0u);
    const Bytes f = flash();
    EXPECT_EQ(f[245], 0xFF);
    EXPECT_EQ(f[246], 0x00);
    EXPECT_EQ(f[255], 0x00);
    EXPECT_EQ(f[256], 0xFF);
}

TEST_F(FlashTest, WriteRawDataToFlashSpansPages) {
    Bytes data(600);
    for (size_t i = 0; i < data.size(); ++i) data[i] = uint8_t(i * 7);
    ASSERT_EQ(xtfsWriteRawDataToFlash(handle_, 0x10080, data.data(), uint32_t(data.size())), 0u);
    const Bytes f = flash();
    EXPECT_EQ(Bytes(f.begin() + 0x10080, f.begin() + 0x10080 + 600), data);
    EXPECT_EQ(f[0x1007F], 0xFF);
    EXPECT_EQ(f[0x10080 + 600], 0xFF);
    EXPECT_EQ(xtfsWriteRawDataToFlash(handle_, 0, nullptr, 4), 17u);
}

TEST_F(FlashTest, SectorAndChipErase) {
    seed(0x20000, Bytes(0x20000, 0x00));
    ASSERT_EQ(SectorErase(handle_, 0x20000), 0u);
    Bytes f = flash();
    EXPECT_EQ(f[0x20000], 0xFF);
    EXPECT_EQ(f[0x2FFFF], 0xFF);
    EXPECT_EQ(f[0x30000], 0x00) << "one 64 KiB block";
    ASSERT_EQ(UnitErase(handle_, 0x31000), 0u);
    f = flash();
    EXPECT_EQ(f[0x31000], 0xFF);
    EXPECT_EQ(f[0x30FFF], 0x00) << "one 4 KiB unit";
    EXPECT_EQ(f[0x32000], 0x00);
    ASSERT_EQ(xtfsBulkErase(handle_), 0u);
    EXPECT_TRUE(IsBlankBuffer(flash().data(), 1u << 20));
}

TEST_F(FlashTest, BulkReadAnyLength) {
    Bytes data(1000);
    for (size_t i = 0; i < data.size(); ++i) data[i] = uint8_t(i ^ 0x5A);
    seed(0x40010, data);
    Bytes out(1000, 0);
    ASSERT_EQ(BulkRead(handle_, 0x40010, out.data(), 1000, 0), 0u);
    EXPECT_EQ(out, data);
    EXPECT_EQ(BulkRead(handle_, 0, nullptr, 64, 0), 17u);
}

TEST(FlashBlank, PagesAndBuffers) {
    Bytes page(256, 0xFF);
    EXPECT_EQ(IsBlankPage(page.data()), 1u);
    page[255] = 0xFE;
    EXPECT_EQ(IsBlankPage(page.data()), 0u);
    EXPECT_EQ(IsBlankBuffer(page.data(), 255), 1u);
    EXPECT_EQ(IsBlankBuffer(page.data(), 0), 1u);
}

}  // namespace

namespace {

using xtfstest::FlashTest;

TEST_F(FlashTest, SecuredSensorOutsideASessionIdentifiesThroughTheFlashPatch) {
    device_->aesSecured = 1;
    uint32_t capacity = 0;
    ASSERT_EQ(xtfsGetFlashInfo(handle_, &capacity), 0u);
    EXPECT_EQ(capacity, 1u << 20);
    EXPECT_TRUE(spiOpcodes().empty()) << "no plain transaction";
    bool bulk = false;
    for (const auto& request : simusb::commandLog(sensor_)) {
        // Fast read: u32 command length 1, then the command byte after the 115-byte header.
        if (request.size() == 116 && request[0] == 0x1F && request[1] == 1 && request[115] == 0x9F) bulk = true;
    }
    EXPECT_TRUE(bulk);
    device_->aesSecured = 0;
}

}  // namespace
