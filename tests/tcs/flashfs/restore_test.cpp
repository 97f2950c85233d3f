// Restoring backup images onto the virtual flash.
#include "flash_fixture.h"

#include "tcs/sensorctl/secure/ssl.h"

namespace {

using xtfstest::Bytes;
using xtfstest::FlashTest;

TEST_F(FlashTest, UnsecuredRestoreWritesTheFileSystemAndVerifies) {
    seed(0, Bytes{'_', 'V', 'E', 'H'});
    seed(0x40000, Bytes(0x100, 0x00));
    ASSERT_EQ(xtfsStorageOpen(handle_, XTFS_PART_FS, 0, nullptr), 0u);
    Bytes image(0xC0000, 0xFF);
    for (uint32_t i = 0; i < 0x300; ++i) image[0x10000 + i] = uint8_t(i * 3);
    image[0x200] = 0x42;
    EXPECT_EQ(xtfsRestore(handle_, image.data(), uint32_t(image.size()) - 1, 0), 17u) << "wrong total size";
    EXPECT_EQ(xtfsRestore(handle_, nullptr, 16, 0), 17u);
    ASSERT_EQ(xtfsRestore(handle_, image.data(), uint32_t(image.size()), 0), 0u);
    const Bytes f = flash();
    EXPECT_EQ(Bytes(f.begin() + 0x40000, f.end()), image);
    EXPECT_EQ(f[0], '_') << "pre-boot area untouched";
    EXPECT_EQ(Bytes(info()->fssMirror, info()->fssMirror + info()->fssSize), image);
}

// The partition is opened for the restore itself, so a wrong size is found before any write,
// and nothing stays open afterwards.
TEST_F(FlashTest, RestoreWithoutFileSystemOpen) {
    const Bytes image(64, 0xFF);
    simusb::clearCommandLog(sensor_);
    EXPECT_EQ(xtfsRestore(handle_, image.data(), 64, 0), 17u);
    for (uint8_t op : spiOpcodes()) EXPECT_TRUE(op != 0x02 && op != 0xD8 && op != 0xC7) << int(op);
    EXPECT_TRUE(info() == nullptr || info()->fssOpen == 0);
}

TEST_F(FlashTest, RestoreReportsAReadBackMismatch) {
    ASSERT_EQ(xtfsStorageOpen(handle_, XTFS_PART_FS, 0, nullptr), 0u);
    // From here on page programs are lost.
    simusb::setCommandHook(0x0B, [](std::span<const uint8_t> request) {
        simusb::Reply reply;
        Bytes mosi(request.begin() + 35, request.end());
        reply.payload.assign(mosi.size(), 0xFF);
        if (mosi[0] == 0x05) std::fill(reply.payload.begin() + 1, reply.payload.end(), 0);
        return reply;
    });
    Bytes image(0xC0000, 0xFF);
    image[5] = 0;
    EXPECT_EQ(xtfsRestore(handle_, image.data(), uint32_t(image.size()), 0), 84u);
}

class SecuredRestore : public FlashTest {
protected:
    void TearDown() override {
        device_->sslContext = nullptr;
        FlashTest::TearDown();
    }
    // An AES-secured sensor: raw partition at 0x40000 with a stored hash, file system from its
    // default entry at 0x50000.
    void prepare() {
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
        ASSERT_EQ(xtfsStorageOpen(handle_, XTFS_PART_FS, 0, nullptr), 0u);
        ASSERT_EQ(info()->fssSize, 0x30000u);
    }
    Bytes backup() {
        Bytes image(info()->rawImage, info()->rawImage + info()->rawSize);
        image.resize(image.size() + info()->fssSize, 0xFF);
        return image;
    }
    ScsSSLContext session_{};
};

TEST_F(SecuredRestore, OwnSensorsBackupGoesBack) {
    prepare();
    Bytes image = backup();
    image[0x10000 + 0x100] = 0x77;               // file-system data
    image[0x10000 - 1] = 0x00;                   // raw bytes outside the hash (top of the data area)
    ASSERT_EQ(xtfsRestore(handle_, image.data(), uint32_t(image.size()), 0), 0u);
    const Bytes f = flash();
    EXPECT_EQ(f[0x50100], 0x77);
    EXPECT_EQ(f[0x4FFFF], 0x00) << "raw part rewritten";
    EXPECT_EQ(Bytes(f.begin() + 0x40000, f.begin() + 0x40100), Bytes(image.begin(), image.begin() + 0x100));
    uint32_t damaged = 1;
    ASSERT_EQ(VerifyRAWPartitionIntegrity(handle_, &damaged), 0u);
    EXPECT_EQ(damaged, 0u);
}

TEST_F(SecuredRestore, AnotherSensorsBackupIsRefused) {
    prepare();
    struct Case { size_t at; uint8_t value; const char* what; };
    for (auto [at, value, what] : std::initializer_list<Case>{
             {3, 0x22, "layout 0x22 onto 0x21"},
             {0x100, 0x09, "hashed record differs"}}) {
        Bytes image = backup();
        image[at] = value;
        EXPECT_EQ(xtfsRestore(handle_, image.data(), uint32_t(image.size()), 0), 377u) << what;
    }
    Bytes image = backup();
    image.pop_back();
    EXPECT_EQ(xtfsRestore(handle_, image.data(), uint32_t(image.size()), 0), 17u);
}

}  // namespace
