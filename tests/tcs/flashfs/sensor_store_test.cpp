// The flash file system over the sensor's file-system partition, end to end on the virtual flash:
// formatted, written, closed and mounted again through the mirror and its commits.
#include "flash_fixture.h"

#include "tcs/flashfs/fss.h"
#include "tcs/flashfs/fss_internal.h"
#include "tcs/flashfs/xtfs_mirror.h"

#include <algorithm>
#include <string>

namespace xtfstest {
namespace {

Bytes pattern(uint32_t length, uint8_t seed) {
    Bytes p(length);
    for (uint32_t i = 0; i < length; ++i) p[i] = uint8_t(seed + i * 11 + (i >> 8));
    return p;
}

TcsResult writeFile(FssHandle* h, const char* path, const Bytes& data) {
    FssFile* f = nullptr;
    TcsResult result = fssFileOpen(h, path, "wb", &f);
    if (result != TCS_RESULT_OK) return result;
    uint32_t written = 0;
    result = fssFileWrite(data.data(), 1, uint32_t(data.size()), f, &written);
    const TcsResult closed = fssFileClose(f);
    if (result == TCS_RESULT_OK && written != data.size()) result = TCS_RESULT_ERROR;
    return result != TCS_RESULT_OK ? result : closed;
}

// Reads to the end; the read that passes the end says so with 55.
TcsResult readFile(FssHandle* h, const char* path, Bytes* out) {
    FssFile* f = nullptr;
    TcsResult result = fssFileOpen(h, path, "rb", &f);
    if (result != TCS_RESULT_OK) return result;
    out->clear();
    uint8_t buffer[300];
    uint32_t got = 0;
    do {
        result = fssFileRead(buffer, 1, sizeof buffer, f, &got);
        out->insert(out->end(), buffer, buffer + got);
    } while (result == TCS_RESULT_OK);
    fssFileClose(f);
    return result == TCS_RESULT_EOF ? TcsResult(TCS_RESULT_OK) : result;
}

class SensorStore : public FlashTest {
protected:
    // Formats, writes two files, closes, and mounts again to read them.
    void roundTrip() {
        ASSERT_EQ(fssFormatDB(handle_, FSS_BACKEND_SENSOR, "/db", nullptr), 0u);
        EXPECT_TRUE(info() == nullptr || info()->fssOpen == 0) << "closing the store closed the partition";
        FssHandle* h = nullptr;
        ASSERT_EQ(fssOpen(handle_, FSS_BACKEND_SENSOR, &h), 0u);
        ASSERT_EQ(fssMkdir(h, "/db/user1"), 0u);
        ASSERT_EQ(writeFile(h, "/db/user1/t0", pattern(1000, 3)), 0u);
        ASSERT_EQ(writeFile(h, "/db/user1/t1", pattern(300, 9)), 0u);
        ASSERT_EQ(writeFile(h, "/db/user1/t1", pattern(500, 4)), 0u) << "rewritten";
        ASSERT_EQ(fssClose(h), 0u);

        h = nullptr;
        ASSERT_EQ(fssOpen(handle_, FSS_BACKEND_SENSOR, &h), 0u);
        Bytes back;
        EXPECT_EQ(readFile(h, "/db/user1/t0", &back), 0u);
        EXPECT_EQ(back, pattern(1000, 3));
        EXPECT_EQ(readFile(h, "/db/user1/t1", &back), 0u);
        EXPECT_EQ(back, pattern(500, 4));
        ASSERT_EQ(fssClose(h), 0u);
    }
};

TEST_F(SensorStore, UnsecuredSensor) {
    seed(0, Bytes{'_', 'V', 'E', 'H'});
    roundTrip();
    const Bytes f = flash();
    EXPECT_EQ(f[0], '_') << "pre-boot flag page kept";
    const Bytes needle = pattern(64, 3);
    EXPECT_NE(std::search(f.begin() + 0x40000, f.end(), needle.begin(), needle.end()), f.end()) << "on flash";
}

// A 128 KiB part erased in 64 KiB blocks holds 32 KiB file-system sectors, two to a block:
// formatting one of them keeps what its neighbour holds.
TEST_F(SensorStore, SmallSectorsShareAnEraseBlock) {
    uint32_t capacity = 0;
    ASSERT_EQ(xtfsGetFlashInfo(handle_, &capacity), 0u);
    ASSERT_EQ(xtfsStorageOpen(handle_, XTFS_PART_IMAGE, 0, nullptr), 0u);  // keeps the record
    info()->capacity = 128 * 1024;
    info()->blockSize = 64 * 1024;
    ASSERT_EQ(fssFormatDB(handle_, FSS_BACKEND_SENSOR, "/db", nullptr), 0u);
    FssHandle* h = nullptr;
    ASSERT_EQ(fssOpen(handle_, FSS_BACKEND_SENSOR, &h), 0u);
    ASSERT_EQ(h->mount->sectorSize, 32768u);
    ASSERT_EQ(writeFile(h, "/db/a", pattern(1000, 7)), 0u);
    // Every sector without pages is formatted, among them the other half of the file's block.
    const uint16_t used = fssdetail::sectorOf(h->mount, fssdetail::findChild(h->mount->root, "a")->pages[0].address);
    ASSERT_EQ(h->mount->sectors[used ^ 1].nextFree, 1u);
    for (uint16_t i = 0; i < h->mount->sectorCount; ++i) {
        if (h->mount->sectors[i].nextFree > 1) continue;
        EXPECT_EQ(fssdetail::fssFormatSector(h, i), 0u) << i;
        EXPECT_EQ(flash()[i * 32768u + 18], 4) << i << ": header rewritten";
    }
    ASSERT_EQ(fssClose(h), 0u);
    h = nullptr;
    ASSERT_EQ(fssOpen(handle_, FSS_BACKEND_SENSOR, &h), 0u);
    Bytes back;
    EXPECT_EQ(readFile(h, "/db/a", &back), 0u);
    EXPECT_EQ(back, pattern(1000, 7));
    ASSERT_EQ(fssClose(h), 0u);
}

// RSA-secured with the wrapped key in the table: every page but a block's first is encrypted, and
// the file system's later flag writes go to the plain head.
TEST_F(SensorStore, EncryptedSensor) {
    uint32_t capacity = 0;
    ASSERT_EQ(xtfsGetFlashInfo(handle_, &capacity), 0u);
    ASSERT_EQ(xtfsStorageOpen(handle_, XTFS_PART_IMAGE, 0, nullptr), 0u);
    device_->rsaSecured = 1;
    Bytes table(256, 0xFF);
    table[0] = 'E', table[1] = 'A', table[2] = 'T', table[3] = 0x22;
    const Bytes entries{7, 0x00, 0x00, 0x05, 0x00, 0x00, 0x00, 0x03, 0x00, 0xFF,
                        8, 0x00, 0x11, 0x00, 0x00, 96, 0x00, 0x00, 0x00, 0xFF};
    std::copy(entries.begin(), entries.end(), table.begin() + 4);
    seed(4096, table);
    seed(4352, Bytes(96, 0x5A));
    ASSERT_EQ(xtfsStorageOpen(handle_, XTFS_PART_RAW, 0, nullptr), 0u);
    simusb::setCommandHook(30, [](std::span<const uint8_t>) {
        simusb::Reply reply;
        reply.payload = {32, 0, 0, 0};
        const Bytes key = pattern(32, 0x61);
        reply.payload.insert(reply.payload.end(), key.begin(), key.end());
        return reply;
    });
    roundTrip();
    simusb::setCommandHook(30, nullptr);
    // The files' data never lie on flash in plain.
    const Bytes f = flash();
    const Bytes needle = pattern(64, 3);
    EXPECT_EQ(std::search(f.begin() + 0x50000, f.begin() + 0x80000, needle.begin(), needle.end()), f.begin() + 0x80000);
}

}  // namespace
}  // namespace xtfstest
