// The file-system partition's placement and erase against the virtual flash.
#include "flash_fixture.h"

namespace {

using xtfstest::Bytes;
using xtfstest::FlashTest;

TEST_F(FlashTest, UnsecuredFileSystemSitsAboveThePreBootArea) {
    struct Case { Bytes page0; uint32_t base, size; };
    for (const Case& c : std::initializer_list<Case>{
             {{}, 0x40000, 0xC0000},                   // blank page 0
             {{'_', 'V', 'E', 'H', 1}, 0x40000, 0xC0000},  // pre-boot flag page
             {{0x12, 0x34}, 0, 0x100000},              // anything else: the whole flash
         }) {
        seed(0, Bytes(256, 0xFF));
        if (!c.page0.empty()) seed(0, c.page0);
        uint32_t size = 0;
        ASSERT_EQ(xtfsStorageOpenEx(handle_, XTFS_PART_FS, 0, 1, &size), 0u);
        EXPECT_EQ(size, c.size);
        EXPECT_EQ(info()->fssBase, c.base);
        ASSERT_EQ(xtfsStorageClose(handle_, XTFS_PART_FS), 0u);
        EXPECT_EQ(device_->storageInfo, nullptr);
    }
}

TEST_F(FlashTest, BulkEraseOfTheFileSystem) {
    EXPECT_EQ(xtfsBulkEraseFSSStorage(handle_), 40u) << "no storage state";
    seed(0, Bytes(0x100000, 0x00));
    seed(0, Bytes{'_', 'V', 'E', 'H'});
    ASSERT_EQ(xtfsStorageOpen(handle_, XTFS_PART_FS, 0, nullptr), 0u);
    simusb::clearCommandLog(sensor_);
    ASSERT_EQ(xtfsBulkEraseFSSStorage(handle_), 0u);
    Bytes f = flash();
    EXPECT_EQ(f[0x3FFFF], 0x00) << "pre-boot area kept";
    EXPECT_TRUE(IsBlankBuffer(f.data() + 0x40000, 0xC0000));
    const std::vector<uint8_t> ops = spiOpcodes();
    EXPECT_EQ(std::count(ops.begin(), ops.end(), 0xD8), 12) << "block by block";
    EXPECT_EQ(std::count(ops.begin(), ops.end(), 0xC7), 0);
    ASSERT_EQ(xtfsStorageClose(handle_, XTFS_PART_FS), 0u);

    // A partition over the whole flash goes with one chip erase.
    seed(0, Bytes(0x100000, 0x00));
    ASSERT_EQ(xtfsStorageOpen(handle_, XTFS_PART_FS, 0, nullptr), 0u);
    simusb::clearCommandLog(sensor_);
    ASSERT_EQ(xtfsBulkEraseFSSStorage(handle_), 0u);
    EXPECT_EQ(spiOpcodes(), (std::vector<uint8_t>{0x06, 0xC7, 0x05}));
    EXPECT_TRUE(IsBlankBuffer(flash().data(), 0x100000));
    EXPECT_TRUE(IsBlankBuffer(info()->fssMirror, info()->fssSize));
}

TEST_F(FlashTest, SectorEraseWithinTheFileSystem) {
    seed(0, Bytes{'_', 'V', 'E', 'H'});
    seed(0x40000, Bytes(0x30000, 0x00));
    ASSERT_EQ(xtfsStorageOpen(handle_, XTFS_PART_FS, 0, nullptr), 0u);
    ASSERT_EQ(xtfsSectorEraseFlash(handle_, 0x10000, 1), 0u);
    const Bytes f = flash();
    EXPECT_EQ(f[0x4FFFF], 0x00);
    EXPECT_TRUE(IsBlankBuffer(f.data() + 0x50000, 0x10000));
    EXPECT_EQ(f[0x60000], 0x00);
    EXPECT_EQ(xtfsSectorEraseFlash(handle_, 0xB0000, 2), 17u) << "past the partition";
    EXPECT_EQ(xtfsSectorEraseFlash(handle_, 0x100, 1), 17u) << "not on a block";
}

class SecuredFileSystem : public FlashTest {
protected:
    void openRaw(bool rsa, std::initializer_list<Bytes> entries) {
        uint32_t capacity = 0;
        ASSERT_EQ(xtfsGetFlashInfo(handle_, &capacity), 0u);
        ASSERT_EQ(xtfsStorageOpen(handle_, XTFS_PART_IMAGE, 0, nullptr), 0u);
        (rsa ? device_->rsaSecured : device_->aesSecured) = 1;
        const uint32_t base = rsa ? 4096 : 0x40000;
        Bytes table(256, 0xFF);
        table[0] = 'E', table[1] = 'A', table[2] = 'T', table[3] = rsa ? 0x22 : 0x21;
        size_t at = 4;
        for (const Bytes& e : entries) {
            std::copy(e.begin(), e.end(), table.begin() + long(at));
            at += 10;
        }
        seed(base, table);
        ASSERT_EQ(xtfsStorageOpen(handle_, XTFS_PART_RAW, 0, nullptr), 0u);
    }
};

TEST_F(SecuredFileSystem, PlacedByItsTableEntry) {
    uint32_t capacity = 0;
    ASSERT_EQ(xtfsGetFlashInfo(handle_, &capacity), 0u);
    ASSERT_EQ(xtfsStorageOpen(handle_, XTFS_PART_IMAGE, 0, nullptr), 0u);
    device_->rsaSecured = 1;
    EXPECT_EQ(xtfsStorageOpen(handle_, XTFS_PART_FS, 0, nullptr), 375u) << "raw partition not open";
    openRaw(true, {{7, 0x00, 0x00, 0x06, 0x00, 0x00, 0x00, 0x02, 0x00, 0xFF}});
    uint32_t size = 0;
    ASSERT_EQ(xtfsStorageOpenEx(handle_, XTFS_PART_FS, 0, 1, &size), 0u);
    EXPECT_EQ(size, 0x20000u);
    EXPECT_EQ(info()->fssBase, 0x60000u);
}

TEST_F(SecuredFileSystem, TableWithoutEntry) {
    openRaw(true, {{6, 0x00, 0x20, 0x00, 0x00, 0, 0, 0, 0, 0xFF}});
    EXPECT_EQ(xtfsStorageOpen(handle_, XTFS_PART_FS, 0, nullptr), 374u) << "layout 0x22";
}

TEST_F(SecuredFileSystem, AesLayoutGetsTheDefaultEntryOnFlash) {
    openRaw(false, {});
    uint32_t size = 0;
    ASSERT_EQ(xtfsStorageOpenEx(handle_, XTFS_PART_FS, 0, 1, &size), 0u);
    EXPECT_EQ(size, 0x30000u);
    EXPECT_EQ(info()->fssBase, 0x50000u);
    const Bytes f = flash();
    const Bytes slot19(f.begin() + 0x40000 + 4 + 190, f.begin() + 0x40000 + 4 + 200);
    EXPECT_EQ(slot19, (Bytes{7, 0x00, 0x00, 0x05, 0x00, 0x00, 0x00, 0x03, 0x00, 0xFF}));
}

TEST_F(SecuredFileSystem, EntryBeyondTheFlash) {
    openRaw(true, {{7, 0x00, 0x00, 0x0F, 0x00, 0x00, 0x00, 0x02, 0x00, 0xFF}});
    EXPECT_EQ(xtfsStorageOpen(handle_, XTFS_PART_FS, 0, nullptr), 374u);
}

// Commit erases whole blocks: an area off the block grid would reach into its neighbours.
TEST_F(SecuredFileSystem, EntryNotMadeOfWholeBlocks) {
    struct Case { Bytes entry; const char* what; };
    for (const Case& c : std::initializer_list<Case>{
             {{7, 0x00, 0x01, 0x05, 0x00, 0x00, 0x00, 0x02, 0x00, 0xFF}, "base off a block"},
             {{7, 0x00, 0x00, 0x05, 0x00, 0x00, 0x80, 0x02, 0x00, 0xFF}, "size of a block and a half"}}) {
        openRaw(true, {c.entry});
        EXPECT_EQ(xtfsStorageOpen(handle_, XTFS_PART_FS, 0, nullptr), 374u) << c.what;
        ASSERT_EQ(xtfsStorageClose(handle_, XTFS_PART_RAW), 0u);
    }
}

}  // namespace

namespace {

using xtfstest::Bytes;
using xtfstest::FlashTest;

TEST_F(FlashTest, FileSystemKeyIsWrappedByTheSensor) {
    uint32_t length = 0;
    ASSERT_EQ(xtfsGenFSSEncKey(handle_, 32, nullptr, &length), 0u);
    EXPECT_EQ(length, 96u);
    EXPECT_EQ(xtfsGenFSSEncKey(handle_, 32, nullptr, nullptr), 17u);

    // The sensor wraps what it is given: here the key reversed, then 64 bytes of 0xA5.
    static Bytes sent;
    simusb::setCommandHook(29, [](std::span<const uint8_t> request) {
        simusb::Reply reply;
        const uint32_t n = uint32_t(request[1] | request[2] << 8);
        sent.assign(request.begin() + 5, request.begin() + 5 + n);
        Bytes wrapped(sent.rbegin(), sent.rend());
        wrapped.resize(n + 64, 0xA5);
        reply.payload = {uint8_t(wrapped.size()), uint8_t(wrapped.size() >> 8)};
        reply.payload.insert(reply.payload.end(), wrapped.begin(), wrapped.end());
        return reply;
    });
    Bytes out(96, 0);
    length = 96;
    ASSERT_EQ(xtfsGenFSSEncKey(handle_, 32, out.data(), &length), 0u);
    simusb::setCommandHook(29, nullptr);
    EXPECT_EQ(length, 96u);
    ASSERT_EQ(sent.size(), 32u);
    EXPECT_NE(sent, Bytes(32, 0)) << "a random key";
    EXPECT_EQ(Bytes(out.begin(), out.begin() + 32), Bytes(sent.rbegin(), sent.rend()));
    EXPECT_EQ(Bytes(out.begin() + 32, out.end()), Bytes(64, 0xA5));
    length = 95;
    EXPECT_EQ(xtfsGenFSSEncKey(handle_, 32, out.data(), &length), 17u) << "buffer too small";
}

}  // namespace
