// The fingerprint-buffering ring on the virtual flash: where reading starts at open, reads that
// wrap, the erase of what was read, and what sensor control is told for the buffering record.
#include "flash_fixture.h"

#include "tcs/flashfs/xtfs_mirror.h"
#include "tcs/sensorctl/secure/fp_crypto.h"

namespace xtfstest {
namespace {

constexpr uint32_t kRing = 0x80000, kRingSize = 0x80000, kBlock = 0x10000;
const Bytes kRingEntry{15, 0x00, 0x00, 0x08, 0x00, 0x00, 0x00, 0x08, 0x00, 0xFF};

Bytes pattern(uint32_t length, uint8_t seed) {
    Bytes p(length);
    for (uint32_t i = 0; i < length; ++i) p[i] = uint8_t(seed + i * 7 + (i >> 8));
    return p;
}

uint32_t le32(const uint8_t* p) { return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24; }

class RingTest : public FlashTest {
protected:
    void SetUp() override {
        FlashTest::SetUp();
        device_->fwVersion->major = 4;
        device_->fwVersion->minor = 60;
        uint32_t capacity = 0;
        ASSERT_EQ(xtfsGetFlashInfo(handle_, &capacity), 0u);
        ASSERT_EQ(xtfsStorageOpen(handle_, XTFS_PART_IMAGE, 0, nullptr), 0u);
        device_->rsaSecured = 1;
    }
    void TearDown() override {
        xtfsSetSensorReadSwitches(0, 1);
        FlashTest::TearDown();
    }
    // An RSA table at 4096 with these entries, opened.
    void openTable(std::initializer_list<Bytes> entries) {
        Bytes table(256, 0xFF);
        table[0] = 'E', table[1] = 'A', table[2] = 'T', table[3] = 0x22;
        size_t at = 4;
        for (const Bytes& e : entries) {
            std::copy(e.begin(), e.end(), table.begin() + long(at));
            at += 10;
        }
        seed(4096, table);
        ASSERT_EQ(xtfsStorageOpen(handle_, XTFS_PART_RAW, 0, nullptr), 0u);
    }
    Bytes readRing(uint32_t length) {
        Bytes out(length);
        EXPECT_EQ(xtfsReadLastBufferedFpData(handle_, length, out.data()), 0u);
        return out;
    }
    // The buffering record sensor control builds for the next capture: its four words.
    std::vector<uint32_t> bufferingRecord() {
        uint8_t record[20] = {};
        uint32_t size = 0;
        EXPECT_EQ(scsGetFpBufferingParams(device_, record, &size), 0u);
        return {le32(record + 4), le32(record + 8), le32(record + 12), le32(record + 16)};
    }
    Bytes flashAt(uint32_t address, uint32_t length) {
        const Bytes f = flash();
        return Bytes(f.begin() + address, f.begin() + address + length);
    }
};

TEST_F(RingTest, OpenNeedsTheFirmwareASwitchAndASoundEntry) {
    EXPECT_EQ(xtfsStorageOpen(handle_, XTFS_PART_FP_BUFFER, 0, nullptr), 375u) << "raw partition not open";
    openTable({{7, 0x00, 0x00, 0x05, 0x00, 0x00, 0x00, 0x03, 0x00, 0xFF}});
    EXPECT_EQ(xtfsStorageOpen(handle_, XTFS_PART_FP_BUFFER, 0, nullptr), 374u) << "no type-15 entry";
    ASSERT_EQ(xtfsStorageClose(handle_, XTFS_PART_RAW), 0u);

    struct Case { Bytes entry; const char* what; };
    for (const Case& c : std::initializer_list<Case>{
             {{15, 0x00, 0x00, 0x08, 0x00, 0x00, 0x00, 0x00, 0x00, 0xFF}, "size 0"},
             {{15, 0x00, 0x00, 0x0C, 0x00, 0x00, 0x00, 0x08, 0x00, 0xFF}, "past the end of the flash"},
             {{15, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x20, 0x00, 0xFF}, "larger than the flash"},
             {{15, 0x00, 0x01, 0x08, 0x00, 0x00, 0x00, 0x04, 0x00, 0xFF}, "not on a block"}}) {
        openTable({c.entry});
        EXPECT_EQ(xtfsStorageOpen(handle_, XTFS_PART_FP_BUFFER, 0, nullptr), 374u) << c.what;
        ASSERT_EQ(xtfsStorageClose(handle_, XTFS_PART_RAW), 0u);
    }

    openTable({kRingEntry});
    device_->fwVersion->minor = 40;
    EXPECT_EQ(xtfsStorageOpen(handle_, XTFS_PART_FP_BUFFER, 0, nullptr), 17u) << "firmware 4.40 does not buffer";
    device_->fwVersion->minor = 60;
    xtfsSetSensorReadSwitches(0, 0);
    EXPECT_EQ(xtfsStorageOpen(handle_, XTFS_PART_FP_BUFFER, 0, nullptr), 17u) << "both switches off";
    xtfsSetSensorReadSwitches(1, 0);
    uint32_t size = 0;
    ASSERT_EQ(xtfsStorageOpenEx(handle_, XTFS_PART_FP_BUFFER, 0, 1, &size), 0u);
    EXPECT_EQ(size, kRingSize);
}

TEST_F(RingTest, ReadingStartsAtTheOldestUnreadBlock) {
    openTable({kRingEntry});
    struct Case {
        std::vector<uint32_t> data, consumed;
        uint32_t start;
        const char* what;
    };
    for (const Case& c : std::initializer_list<Case>{
             {{}, {}, 0, "empty ring"},
             {{2, 3}, {}, 2, "one run"},
             {{6, 7, 0}, {}, 6, "a run across the end"},
             {{2, 3}, {1, 5}, 2, "consumed blocks are erased first"},
             {{0, 1, 2, 3, 4, 5, 6, 7}, {}, 0, "full ring"}}) {
        SCOPED_TRACE(c.what);
        seed(kRing, Bytes(kRingSize, 0xFF));
        for (uint32_t b : c.data) seed(kRing + b * kBlock, pattern(64, uint8_t(b + 1)));
        for (uint32_t b : c.consumed) {
            seed(kRing + b * kBlock, pattern(64, 0x80));
            seed(kRing + b * kBlock + 0xFF00, Bytes{0x00});
        }
        ASSERT_EQ(xtfsStorageOpen(handle_, XTFS_PART_FP_BUFFER, 0, nullptr), 0u);
        const uint32_t position = kRing + c.start * kBlock;
        EXPECT_EQ(info()->ringReadPos, position);
        EXPECT_EQ(info()->ringWindowEnd, position + 0xFFFF);
        EXPECT_EQ(bufferingRecord(), (std::vector<uint32_t>{position, position + 0xFFFF, 8, 15}));
        for (uint32_t b : c.consumed) EXPECT_TRUE(IsBlankBuffer(flashAt(kRing + b * kBlock, kBlock).data(), kBlock)) << b;
        for (uint32_t b : c.data) EXPECT_EQ(flashAt(kRing + b * kBlock, 64), pattern(64, uint8_t(b + 1))) << b;
        ASSERT_EQ(xtfsStorageClose(handle_, XTFS_PART_FP_BUFFER), 0u);
        const std::vector<uint32_t> closed = bufferingRecord();
        EXPECT_EQ(std::vector<uint32_t>(closed.begin(), closed.begin() + 3), (std::vector<uint32_t>{0, 0, 0})) << "closed";
    }
}

TEST_F(RingTest, ReadsWrapEraseWhatTheyPassedAndSeeNewData) {
    openTable({kRingEntry});
    // Block 7 holds a swipe's start (up to its marker page), block 0 its continuation.
    const Bytes a = pattern(0xFF00, 0x11), b = pattern(0x3000, 0x55);
    seed(kRing + 7 * kBlock, a);
    seed(kRing, b);
    ASSERT_EQ(xtfsStorageOpen(handle_, XTFS_PART_FP_BUFFER, 0, nullptr), 0u);
    ASSERT_EQ(info()->ringReadPos, kRing + 7 * kBlock);

    Bytes expected = a;
    expected.resize(kBlock, 0xFF);
    expected.insert(expected.end(), b.begin(), b.begin() + 0x1000);
    EXPECT_EQ(readRing(kBlock + 0x1000), expected);
    EXPECT_TRUE(IsBlankBuffer(flashAt(kRing + 7 * kBlock, kBlock).data(), kBlock)) << "block 7 read past";
    EXPECT_EQ(flashAt(kRing, 0x3000), b) << "block 0 is still being read";
    EXPECT_EQ(info()->ringReadPos, kRing + 0x1000);
    EXPECT_EQ(bufferingRecord()[0], kRing + 0x1000);

    // The sensor goes on writing after the open: the read fetches the range again.
    const Bytes c = pattern(0x200, 0x99);
    seed(kRing + 0x3000, c);
    expected.assign(b.begin() + 0x1000, b.end());
    expected.insert(expected.end(), c.begin(), c.begin() + 0x100);
    EXPECT_EQ(readRing(0x2100), expected);
    EXPECT_EQ(info()->ringReadPos, kRing + 0x3100);
    readRing(0x50);
    EXPECT_EQ(info()->ringReadPos, kRing + 0x3200) << "rounded up to the next page";

    // A read ending in the last page of the ring puts the position back to its start, and the
    // block whose tail was skipped goes too.
    seed(kRing, Bytes(kRingSize, 0xFF));
    ASSERT_EQ(xtfsStorageClose(handle_, XTFS_PART_FP_BUFFER), 0u);
    seed(kRing + 7 * kBlock, a);
    ASSERT_EQ(xtfsStorageOpen(handle_, XTFS_PART_FP_BUFFER, 0, nullptr), 0u);
    expected = a;
    expected.resize(0xFFF0, 0xFF);
    EXPECT_EQ(readRing(0xFFF0), expected);
    EXPECT_EQ(info()->ringReadPos, kRing);
    EXPECT_EQ(info()->ringWindowEnd, kRing + 0xFFFF);
    EXPECT_TRUE(IsBlankBuffer(flashAt(kRing + 7 * kBlock, kBlock).data(), kBlock));
}

TEST_F(RingTest, ReadErrors) {
    Bytes out(16);
    EXPECT_EQ(xtfsReadLastBufferedFpData(handle_, 16, nullptr), 17u);
    EXPECT_EQ(xtfsReadLastBufferedFpData(handle_, 16, out.data()), 40u) << "ring not open";
    openTable({kRingEntry});
    ASSERT_EQ(xtfsStorageOpen(handle_, XTFS_PART_FP_BUFFER, 0, nullptr), 0u);
    Bytes big(kRingSize + 1);
    EXPECT_EQ(xtfsReadLastBufferedFpData(handle_, kRingSize + 1, big.data()), 17u) << "more than the ring holds";
    EXPECT_EQ(xtfsReadLastBufferedFpData(handle_, 0, out.data()), 0u);
    EXPECT_EQ(info()->ringReadPos, kRing) << "nothing read, nothing moved";
}

}  // namespace
}  // namespace xtfstest
