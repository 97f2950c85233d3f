// Backup of the database's flash areas and its restore: the flash comes back byte for byte, and an
// image that does not belong to the sensor is refused before anything on flash changes.
#include "flash_fixture.h"

#include "tcs/flashfs/xtfs_mirror.h"
#include "tcs/sensorctl/secure/ssl.h"

#include <algorithm>

namespace xtfstest {
namespace {

Bytes pattern(uint32_t length, uint8_t seed) {
    Bytes p(length);
    for (uint32_t i = 0; i < length; ++i) p[i] = uint8_t(seed + i * 5 + (i >> 9));
    return p;
}

class BackupTest : public FlashTest {
protected:
    // A file system in use, kept sparse (every page costs a program and a read-back): in each
    // block the first pages and a run in its middle.
    void seedFileSystem(uint32_t base, uint32_t size, uint8_t seedValue) {
        for (uint32_t block = base; block < base + size; block += 0x10000) {
            seed(block, pattern(0x400, uint8_t(seedValue + block / 0x10000)));
            seed(block + 0x8000, pattern(0x200, uint8_t(seedValue * 3 + block / 0x10000)));
        }
    }
    void TearDown() override {
        if (device_ != nullptr) device_->sslContext = nullptr;
        FlashTest::TearDown();
    }
    Bytes backup() {
        uint32_t size = 0;
        EXPECT_EQ(xtfsBackup(handle_, nullptr, &size), 0u);
        Bytes image(size);
        EXPECT_EQ(xtfsBackup(handle_, image.data(), &size), 0u);
        return image;
    }
    // Changes the file system on flash: a bit-raising write across two blocks and an erased block.
    void scribble(uint32_t at) {
        const Bytes junk = pattern(0x300, 0xC3);
        ASSERT_EQ(xtfsWriteFlash(handle_, at, uint32_t(junk.size()), junk.data()), 0u);
        ASSERT_EQ(xtfsCommitFlash(handle_), 0u);
        ASSERT_EQ(xtfsSectorEraseFlash(handle_, 0x20000, 1), 0u);
    }
    long writes() {
        const std::vector<uint8_t> ops = spiOpcodes();
        return std::count_if(ops.begin(), ops.end(), [](uint8_t op) { return op == 0x02 || op == 0xD8 || op == 0xC7; });
    }
    // An AES-secured sensor: raw partition at 0x40000 with a record and its stored hash, the
    // file system from its default entry at 0x50000.
    void prepareAes() {
        uint32_t capacity = 0;
        ASSERT_EQ(xtfsGetFlashInfo(handle_, &capacity), 0u);
        ASSERT_EQ(xtfsStorageOpen(handle_, XTFS_PART_IMAGE, 0, nullptr), 0u);
        device_->aesSecured = 1;
        std::memset(&session_, 0, sizeof session_);
        session_.state = SCS_SSL_STATE_ESTABLISHED;
        device_->sslContext = &session_;
        ASSERT_EQ(xtfsStorageOpen(handle_, XTFS_PART_RAW, 0, nullptr), 0u);
        const Bytes record{1, 2, 3, 4};
        ASSERT_EQ(xtfsAddRawPartitionEntry(device_, 20, record.data(), 4), 0u);
        uint8_t hash[20];
        ASSERT_EQ(CalculateRAWPartitionHash(handle_, hash, 1), 0u);
        seedFileSystem(0x50000, 0x30000, 0x17);
        ASSERT_EQ(xtfsStorageOpen(handle_, XTFS_PART_FS, 0, nullptr), 0u);
    }
    ScsSSLContext session_{};
};

TEST_F(BackupTest, UnsecuredBackupThenRestoreGivesTheSameFlash) {
    seed(0, Bytes{'_', 'V', 'E', 'H'});
    seedFileSystem(0x40000, 0xB0000, 0x01);
    ASSERT_EQ(xtfsStorageOpen(handle_, XTFS_PART_FS, 0, nullptr), 0u);
    const Bytes update = pattern(0x40, 0x00);
    ASSERT_EQ(xtfsWriteFlash(handle_, 0x30010, uint32_t(update.size()), update.data()), 0u);
    ASSERT_EQ(xtfsCommitFlash(handle_), 0u);
    const Bytes before = flash();
    const Bytes image = backup();
    ASSERT_EQ(image.size(), 0xC0000u);
    EXPECT_EQ(image, Bytes(before.begin() + 0x40000, before.end()));

    scribble(0xFF80);
    ASSERT_NE(flash(), before);
    ASSERT_EQ(xtfsRestore(handle_, image.data(), uint32_t(image.size()), 0), 0u);
    EXPECT_EQ(flash(), before);
    Bytes back(0xC0000);
    ASSERT_EQ(xtfsReadFlash(handle_, 0, 0xC0000, back.data()), 0u);
    EXPECT_EQ(back, image) << "the mirror follows";
}

TEST_F(BackupTest, BackupArguments) {
    uint32_t size = 0;
    EXPECT_EQ(xtfsBackup(handle_, nullptr, &size), 40u) << "file system not open";
    seed(0, Bytes{'_', 'V', 'E', 'H'});
    ASSERT_EQ(xtfsStorageOpen(handle_, XTFS_PART_FS, 0, nullptr), 0u);
    EXPECT_EQ(xtfsBackup(handle_, nullptr, nullptr), 17u);
    Bytes image(0xC0000);
    size = 0xC0000 - 1;
    EXPECT_EQ(xtfsBackup(handle_, image.data(), &size), 17u) << "size differs";
    device_->aesSecured = 1;
    size = 0;
    EXPECT_EQ(xtfsBackup(handle_, nullptr, &size), 375u) << "secured without its raw partition";
}

TEST_F(BackupTest, SecuredBackupThenRestoreGivesTheSameFlash) {
    prepareAes();
    const Bytes before = flash();
    const Bytes image = backup();
    ASSERT_EQ(image.size(), 0x10000u + 0x30000u);
    EXPECT_EQ(image, Bytes(before.begin() + 0x40000, before.begin() + 0x80000));
    scribble(0x100);
    ASSERT_EQ(xtfsRestore(handle_, image.data(), uint32_t(image.size()), 0), 0u);
    EXPECT_EQ(flash(), before);
}

// The database closes its file system before it restores: the restore opens the partition for
// itself and leaves it closed again.
TEST_F(BackupTest, RestoreWithTheFileSystemClosed) {
    seed(0, Bytes{'_', 'V', 'E', 'H'});
    seed(0x50000, pattern(0x200, 0x05));  // few pages: each costs a program and a read-back
    ASSERT_EQ(xtfsStorageOpen(handle_, XTFS_PART_FS, 0, nullptr), 0u);
    const Bytes before = flash();
    const Bytes image = backup();
    scribble(0x100);
    ASSERT_EQ(xtfsStorageClose(handle_, XTFS_PART_FS), 0u);
    ASSERT_NE(flash(), before);
    ASSERT_EQ(xtfsRestore(handle_, image.data(), uint32_t(image.size()), 1), 0u);
    EXPECT_EQ(flash(), before);
    EXPECT_TRUE(info() == nullptr || info()->fssOpen == 0) << "left as it was found";
}

TEST_F(BackupTest, SecuredRestoreWithTheFileSystemClosed) {
    prepareAes();
    const Bytes before = flash();
    const Bytes image = backup();
    scribble(0x100);
    ASSERT_EQ(xtfsStorageClose(handle_, XTFS_PART_FS), 0u);
    ASSERT_EQ(xtfsRestore(handle_, image.data(), uint32_t(image.size()), 1), 0u);
    EXPECT_EQ(flash(), before);
    ASSERT_NE(info(), nullptr);
    EXPECT_EQ(info()->fssOpen, 0u);
}

TEST_F(BackupTest, ForeignOrDamagedImagesLeaveTheFlashAlone) {
    prepareAes();
    const Bytes good = backup();
    scribble(0x100);
    const Bytes before = flash();
    struct Case { size_t at; int value; int sizeChange; TcsResult expected; const char* what; };
    for (auto [at, value, sizeChange, expected, what] : std::initializer_list<Case>{
             {3, 0x22, 0, 377, "table of layout 0x22"},
             {0x100, 0x09, 0, 377, "another sensor's record"},
             {4, 0x0E, 0, 377, "table entries differ"},
             {0, -1, -1, 17, "cut short"},
             {0, -1, 256, 17, "too long"}}) {
        Bytes image = good;
        if (value >= 0) image[at] = uint8_t(value);
        image.resize(size_t(long(image.size()) + sizeChange), 0xFF);
        simusb::clearCommandLog(sensor_);
        EXPECT_EQ(xtfsRestore(handle_, image.data(), uint32_t(image.size()), 0), expected) << what;
        EXPECT_EQ(writes(), 0) << what;
        EXPECT_EQ(flash(), before) << what;
    }
}

}  // namespace
}  // namespace xtfstest
