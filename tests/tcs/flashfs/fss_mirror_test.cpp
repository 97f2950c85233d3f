// The file-system partition's RAM mirror against the virtual flash: reads and writes in RAM, the
// commit that erases only where a bit must rise, page encryption on RSA-secured sensors.
#include "flash_fixture.h"

#include "platform/crypto/crypto.h"
#include "tcs/flashfs/xtfs_mirror.h"

#include <algorithm>

namespace xtfstest {
namespace {

// Unsecured sensor: the pre-boot flag page keeps the partition at 0x40000 (0xC0000 bytes).
constexpr uint32_t kBase = 0x40000;
constexpr uint32_t kBlock = 0x10000;

struct Switches {
    uint32_t preload, spiRead;
    const char* name;
};
constexpr Switches kSwitchCases[] = {{0, 1, "preloaded"}, {0, 0, "page by page"}};

class MirrorTest : public FlashTest {
protected:
    void TearDown() override {
        xtfsSetSensorReadSwitches(0, 1);
        FlashTest::TearDown();
    }
    void openFileSystem() {
        seed(0, Bytes{'_', 'V', 'E', 'H'});
        ASSERT_EQ(xtfsStorageOpen(handle_, XTFS_PART_FS, 0, nullptr), 0u);
        ASSERT_EQ(info()->fssBase, kBase);
    }
    long count(uint8_t opcode) {
        const std::vector<uint8_t> ops = spiOpcodes();
        return std::count(ops.begin(), ops.end(), opcode);
    }
    Bytes read(uint32_t offset, uint32_t length) {
        Bytes out(length);
        EXPECT_EQ(xtfsReadFlash(handle_, offset, length, out.data()), 0u);
        return out;
    }
    Bytes flashAt(uint32_t address, uint32_t length) {
        const Bytes f = flash();
        return Bytes(f.begin() + address, f.begin() + address + length);
    }
};

// Block 1 of the partition: page 0 all 0x0F, page 3 a pattern, the rest blank; its neighbours
// hold zeros so that a stray erase shows.
Bytes pattern(uint32_t length, uint8_t seed) {
    Bytes p(length);
    for (uint32_t i = 0; i < length; ++i) p[i] = uint8_t(seed + i * 13);
    return p;
}

TEST_F(MirrorTest, ClearingBitsProgramsOnlyTheWrittenPages) {
    for (const Switches& s : kSwitchCases) {
        SCOPED_TRACE(s.name);
        xtfsSetSensorReadSwitches(s.preload, s.spiRead);
        seed(kBase + kBlock, Bytes(256, 0x0F));
        openFileSystem();
        EXPECT_EQ(info()->fssPreloaded, s.spiRead);

        ASSERT_EQ(xtfsWriteFlash(handle_, kBlock + 5, 2, Bytes{0x01, 0x0E}.data()), 0u);
        const Bytes crossing = pattern(8, 0x40);
        ASSERT_EQ(xtfsWriteFlash(handle_, kBlock + 0x1FA, 8, crossing.data()), 0u);
        EXPECT_EQ(info()->fssBlockMap[1], 0u) << "0x00 over 0xFF needs no erase";
        EXPECT_EQ(flashAt(kBase + kBlock + 5, 2), (Bytes{0x0F, 0x0F})) << "nothing on flash before commit";
        EXPECT_EQ(read(kBlock + 4, 4), (Bytes{0x0F, 0x01, 0x0E, 0x0F}));

        simusb::clearCommandLog(sensor_);
        ASSERT_EQ(xtfsCommitFlash(handle_), 0u);
        EXPECT_EQ(count(0xD8), 0);
        EXPECT_EQ(count(0x02), 3) << "page 0, and both pages the crossing write touched";
        EXPECT_EQ(flashAt(kBase + kBlock + 4, 4), (Bytes{0x0F, 0x01, 0x0E, 0x0F}));
        EXPECT_EQ(flashAt(kBase + kBlock + 0x1FA, 8), crossing);

        simusb::clearCommandLog(sensor_);
        ASSERT_EQ(xtfsCommitFlash(handle_), 0u);
        EXPECT_TRUE(spiOpcodes().empty()) << "nothing left to commit";
        ASSERT_EQ(xtfsStorageClose(handle_, XTFS_PART_FS), 0u);
        seed(0, Bytes(0x100000, 0xFF));
    }
}

TEST_F(MirrorTest, RaisingABitErasesTheBlockAndPutsBackItsOtherPages) {
    for (const Switches& s : kSwitchCases) {
        SCOPED_TRACE(s.name);
        xtfsSetSensorReadSwitches(s.preload, s.spiRead);
        seed(kBase, Bytes(3 * kBlock, 0x00));
        seed(kBase + kBlock, Bytes(kBlock, 0xFF));
        seed(kBase + kBlock, Bytes(256, 0x0F));
        const Bytes page3 = pattern(256, 7);
        seed(kBase + kBlock + 0x300, page3);
        openFileSystem();

        ASSERT_EQ(xtfsWriteFlash(handle_, kBlock + 0x300, 2, Bytes{0xFF, 0xFF}.data()), 0u);
        EXPECT_EQ(info()->fssBlockMap[1], 1u);
        simusb::clearCommandLog(sensor_);
        ASSERT_EQ(xtfsCommitFlash(handle_), 0u);
        EXPECT_EQ(count(0xD8), 1);
        EXPECT_EQ(count(0x02), 2) << "the two pages of the block that are not blank";

        Bytes expected(kBlock, 0xFF);
        std::fill(expected.begin(), expected.begin() + 256, 0x0F);
        std::copy(page3.begin(), page3.end(), expected.begin() + 0x300);
        expected[0x300] = expected[0x301] = 0xFF;
        EXPECT_EQ(flashAt(kBase + kBlock, kBlock), expected);
        EXPECT_EQ(flashAt(kBase, kBlock), Bytes(kBlock, 0x00)) << "block before untouched";
        EXPECT_EQ(flashAt(kBase + 2 * kBlock, kBlock), Bytes(kBlock, 0x00)) << "block after untouched";
        EXPECT_EQ(read(kBlock, kBlock), expected);
        ASSERT_EQ(xtfsStorageClose(handle_, XTFS_PART_FS), 0u);
        seed(0, Bytes(0x100000, 0xFF));
    }
}

TEST_F(MirrorTest, BadRangesAndMissingPartition) {
    uint8_t byte = 0;
    EXPECT_EQ(xtfsReadFlash(handle_, 0, 1, &byte), 40u);
    EXPECT_EQ(xtfsWriteFlash(handle_, 0, 1, &byte), 40u);
    EXPECT_EQ(xtfsCommitFlash(handle_), 40u);
    openFileSystem();
    Bytes buffer(16);
    struct Case { uint32_t offset, length; const char* what; };
    for (auto [offset, length, what] : std::initializer_list<Case>{
             {0xC0000, 1, "at the end"},
             {0xBFFFF, 2, "across the end"},
             {0x100, 0, "zero length"},
             {0xFFFFFFF8u, 16, "wraps in 32 bits"}}) {
        EXPECT_EQ(xtfsReadFlash(handle_, offset, length, buffer.data()), 17u) << what;
        EXPECT_EQ(xtfsWriteFlash(handle_, offset, length, buffer.data()), 17u) << what;
    }
    EXPECT_EQ(xtfsReadFlash(handle_, 0, 1, nullptr), 17u);
    EXPECT_EQ(xtfsWriteFlash(handle_, 0, 1, nullptr), 17u);
    EXPECT_EQ(xtfsReadFlash(handle_, 0xBFFF0, 16, buffer.data()), 0u) << "last bytes";
}

// Answers every SPI transfer with 0xFF (status reads with "ready"): programs never land.
simusb::Reply lostPrograms(std::span<const uint8_t> request) {
    simusb::Reply reply;
    Bytes mosi(request.begin() + 35, request.end());
    reply.payload.assign(mosi.size(), 0xFF);
    if (mosi[0] == 0x05) std::fill(reply.payload.begin() + 1, reply.payload.end(), 0);
    return reply;
}

TEST_F(MirrorTest, ReadBackMismatchAndAFailedEraseThatALaterCommitFinishes) {
    xtfsSetSensorReadSwitches(0, 0);
    seed(kBase + kBlock, Bytes(256, 0x00));
    openFileSystem();
    ASSERT_EQ(xtfsWriteFlash(handle_, 0x10, 1, Bytes{0x00}.data()), 0u);
    simusb::setCommandHook(0x0B, lostPrograms);
    EXPECT_EQ(xtfsCommitFlash(handle_), 84u);
    simusb::setCommandHook(0x0B, nullptr);

    // The erase fails: nothing is done and the marks stay for the next commit.
    ASSERT_EQ(xtfsWriteFlash(handle_, kBlock, 2, Bytes{0xFF, 0x5A}.data()), 0u);
    simusb::setCommandHook(0x0B, [](std::span<const uint8_t> request) {
        simusb::Reply reply = lostPrograms(request);
        if (request[35] == 0xD8) reply.status = 0x0401;
        return reply;
    });
    EXPECT_NE(xtfsCommitFlash(handle_), 0u);
    simusb::setCommandHook(0x0B, nullptr);
    EXPECT_EQ(flashAt(kBase + kBlock, 2), (Bytes{0x00, 0x00}));
    simusb::clearCommandLog(sensor_);
    ASSERT_EQ(xtfsCommitFlash(handle_), 0u);
    EXPECT_EQ(count(0xD8), 1);
    Bytes expected(256, 0x00);
    expected[0] = 0xFF, expected[1] = 0x5A;
    EXPECT_EQ(flashAt(kBase + kBlock, 256), expected);
}

TEST_F(MirrorTest, BackendSlotsOpenAndCloseThePartition) {
    seed(0, Bytes{'_', 'V', 'E', 'H'});
    uint32_t capacity = 0, size = 0;
    ASSERT_EQ(_xtfsGetFlashInfo(handle_, &capacity, &size), 0u);
    EXPECT_EQ(capacity, 0x100000u);
    EXPECT_EQ(size, 0xC0000u);
    ASSERT_EQ(_xtfsGetFlashInfo(handle_, &capacity, &size), 0u);
    EXPECT_EQ(info()->fssOpen, 1u) << "an open partition is not opened again";
    const Bytes data = pattern(20, 3);
    ASSERT_EQ(_xtfsWriteFlash(handle_, 0x1F0, 20, data.data(), 0), 0u);
    EXPECT_TRUE(IsBlankBuffer(flashAt(kBase + 0x1F0, 20).data(), 20)) << "without the commit flag only the mirror";
    ASSERT_EQ(_xtfsCommitFlash(handle_), 0u);
    EXPECT_EQ(flashAt(kBase + 0x1F0, 20), data);
    const Bytes committed = pattern(8, 9);
    ASSERT_EQ(_xtfsWriteFlash(handle_, 0x2000, 8, committed.data(), 1), 0u);
    EXPECT_EQ(flashAt(kBase + 0x2000, 8), committed) << "the commit flag programs at once";
    Bytes back(20);
    ASSERT_EQ(_xtfsReadFlash(handle_, 0x1F0, 20, back.data()), 0u);
    EXPECT_EQ(back, data);
    ASSERT_EQ(_xtfsSectorEraseFlash(handle_, 0, 1), 0u);
    EXPECT_TRUE(IsBlankBuffer(flashAt(kBase, kBlock).data(), kBlock));
    const Bytes last = pattern(4, 0x70);
    ASSERT_EQ(_xtfsWriteFlash(handle_, 0x300, 4, last.data(), 0), 0u);
    ASSERT_EQ(_xtfsSPIUninit(handle_), 0u);
    EXPECT_EQ(device_->storageInfo, nullptr);
    EXPECT_EQ(flashAt(kBase + 0x300, 4), last) << "written before the close, not lost with the mirror";
}

// RSA-secured sensor whose table holds the wrapped file-system key: the file system sits at
// 0x50000 and its pages are encrypted, except the first of each block.
class EncryptedMirror : public MirrorTest {
protected:
    static constexpr uint32_t kFsBase = 0x50000;
    static inline Bytes key_ = pattern(32, 0x21);
    static inline Bytes unwrapped_;

    void SetUp() override {
        MirrorTest::SetUp();
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
        // The sensor unwraps the key: hands back 32 bytes for the 96 it was given.
        unwrapped_.clear();
        simusb::setCommandHook(30, [](std::span<const uint8_t> request) {
            simusb::Reply reply;
            const uint32_t n = uint32_t(request[1] | request[2] << 8);
            unwrapped_.assign(request.begin() + 113, request.begin() + 113 + n);
            reply.payload = {32, 0, 0, 0};
            reply.payload.insert(reply.payload.end(), key_.begin(), key_.end());
            return reply;
        });
    }
    void TearDown() override {
        simusb::setCommandHook(30, nullptr);
        MirrorTest::TearDown();
    }
    // AES-CBC of bytes 16-255 under the key, the IV the page's address four times.
    static Bytes encrypted(uint32_t address, const Bytes& plain) {
        Bytes out = plain;
        uint8_t iv[16];
        for (int i = 0; i < 16; ++i) iv[i] = uint8_t(address >> (8 * (i % 4)));
        EXPECT_EQ(palCryptoEncrypt(plain.data() + 16, 240, out.data() + 16, nullptr, key_.data(), 32, iv, 5), 0u);
        return out;
    }
};

TEST_F(EncryptedMirror, PagesGoToFlashEncryptedAndComeBackPlain) {
    for (const Switches& s : kSwitchCases) {
        SCOPED_TRACE(s.name);
        xtfsSetSensorReadSwitches(s.preload, s.spiRead);
        ASSERT_EQ(xtfsStorageOpen(handle_, XTFS_PART_FS, 0, nullptr), 0u);
        EXPECT_EQ(info()->fssEncrypted, 1u);
        EXPECT_EQ(unwrapped_, Bytes(96, 0x5A)) << "the type-8 entry went to the sensor";
        const Bytes header = pattern(256, 0x11), inner = pattern(256, 0x33);
        ASSERT_EQ(xtfsWriteFlash(handle_, 0, 256, header.data()), 0u);
        ASSERT_EQ(xtfsWriteFlash(handle_, 0x100, 256, inner.data()), 0u);
        ASSERT_EQ(xtfsWriteFlash(handle_, 0x200, 16, Bytes(16, 0xFF).data()), 0u);
        ASSERT_EQ(xtfsCommitFlash(handle_), 0u);
        EXPECT_TRUE(IsBlankPage(flashAt(kFsBase + 0x200, 256).data())) << "a blank page stays free space";
        EXPECT_EQ(flashAt(kFsBase, 256), header) << "the first page of a block stays plain";
        EXPECT_EQ(flashAt(kFsBase + 0x100, 256), encrypted(kFsBase + 0x100, inner));

        ASSERT_EQ(xtfsStorageClose(handle_, XTFS_PART_FS), 0u);
        ASSERT_EQ(xtfsStorageOpen(handle_, XTFS_PART_FS, 0, nullptr), 0u);
        EXPECT_EQ(read(0, 256), header);
        EXPECT_EQ(read(0x100, 256), inner);
        EXPECT_EQ(read(0x200, 256), Bytes(256, 0xFF)) << "a blank page is not decrypted";

        // Clearing a bit of the plain data still changes the cipher text: only an erase helps.
        ASSERT_EQ(xtfsWriteFlash(handle_, 0x120, 1, Bytes{0x00}.data()), 0u);
        EXPECT_EQ(info()->fssBlockMap[0], 1u);
        // The plain head takes bit clearing as it is.
        ASSERT_EQ(xtfsCommitFlash(handle_), 0u);
        ASSERT_EQ(xtfsWriteFlash(handle_, 0x100, 1, Bytes{0x00}.data()), 0u);
        EXPECT_EQ(info()->fssBlockMap[0], 0u);
        ASSERT_EQ(xtfsCommitFlash(handle_), 0u);
        Bytes changed = inner;
        changed[0x20] = 0x00;
        changed[0] = 0x00;
        EXPECT_EQ(flashAt(kFsBase + 0x100, 256), encrypted(kFsBase + 0x100, changed));
        EXPECT_EQ(flashAt(kFsBase, 256), header) << "put back after the erase";

        ASSERT_EQ(xtfsStorageClose(handle_, XTFS_PART_FS), 0u);
        seed(kFsBase, Bytes(0x30000, 0xFF));
    }
}

TEST_F(EncryptedMirror, BackupIsPlainAndRestoreEncryptsAgain) {
    uint8_t hash[20];
    ASSERT_EQ(CalculateRAWPartitionHash(handle_, hash, 1), 0u);
    ASSERT_EQ(xtfsStorageOpen(handle_, XTFS_PART_FS, 0, nullptr), 0u);
    const Bytes inner = pattern(256, 0x44);
    ASSERT_EQ(xtfsWriteFlash(handle_, 0x10300, 256, inner.data()), 0u);
    ASSERT_EQ(xtfsCommitFlash(handle_), 0u);
    const Bytes before = flash();

    uint32_t size = 0;
    ASSERT_EQ(xtfsBackup(handle_, nullptr, &size), 0u);
    ASSERT_EQ(size, 4096u + 0x30000u);
    Bytes image(size);
    ASSERT_EQ(xtfsBackup(handle_, image.data(), &size), 0u);
    EXPECT_EQ(Bytes(image.begin() + 4096 + 0x10300, image.begin() + 4096 + 0x10400), inner) << "plain in the image";

    ASSERT_EQ(xtfsSectorEraseFlash(handle_, 0x10000, 1), 0u);
    ASSERT_EQ(xtfsRestore(handle_, image.data(), size, 0), 0u);
    EXPECT_EQ(flash(), before);
    EXPECT_EQ(read(0x10300, 256), inner);
}

TEST_F(EncryptedMirror, KeyCaching) {
    EXPECT_EQ(xtfsCacheFSSEncKey(handle_, nullptr, 0), 0u);
    EXPECT_EQ(Bytes(info()->fssKey, info()->fssKey + 32), key_);
    unwrapped_.clear();
    EXPECT_EQ(xtfsCacheFSSEncKey(handle_, nullptr, 0), 0u);
    EXPECT_TRUE(unwrapped_.empty()) << "a kept key is not fetched again";
    EXPECT_EQ(xtfsCacheFSSEncKey(handle_, nullptr, 1), 0u);
    EXPECT_FALSE(unwrapped_.empty()) << "forced";
    simusb::setCommandHook(30, [](std::span<const uint8_t>) {
        simusb::Reply reply;
        reply.payload.assign(20, 0x77);
        reply.payload[0] = 16;
        reply.payload[1] = reply.payload[2] = reply.payload[3] = 0;
        return reply;
    });
    EXPECT_EQ(xtfsCacheFSSEncKey(handle_, nullptr, 1), 374u) << "not a 32-byte key";
    ASSERT_EQ(xtfsStorageClose(handle_, XTFS_PART_RAW), 0u);
    EXPECT_EQ(xtfsCacheFSSEncKey(handle_, nullptr, 1), 375u);
}

}  // namespace
}  // namespace xtfstest
