// Erasing the flash after a keyed pairing: 4.40 and 4.60 keep their first block and erase only the
// blocks in use; other firmware erases the whole chip when anything is written.
#include "flash_fixture.h"

#include "tcs/flashfs/xtfs.h"
#include "tcs/sensorctl/protocol/patches.h"

#include <algorithm>

namespace xtfstest {
namespace {

class EraseFlashTest : public FlashTest {
protected:
    void firmware(uint8_t minor) {
        device_->fwVersion->major = 4;
        device_->fwVersion->minor = minor;
    }
    long count(uint8_t opcode) {
        const std::vector<uint8_t> ops = spiOpcodes();
        return std::count(ops.begin(), ops.end(), opcode);
    }
};

TEST_F(EraseFlashTest, On440And460TheFirstBlockStaysAndOnlyWrittenBlocksGo) {
    for (uint8_t minor : {uint8_t(40), uint8_t(60)}) {
        SCOPED_TRACE(int(minor));
        firmware(minor);
        seed(0, Bytes(0x100000, 0xFF));
        seed(0, Bytes(16, 0x00));
        seed(0x20000, Bytes(4, 0x00));
        seed(0xF0000, Bytes(4, 0x00));
        seed(0x50100, Bytes(4, 0x00));  // beyond the first page: the block is taken as blank
        seed(0x60000, Bytes{0xFF, 0xFF, 0x00});  // a first page that only begins erased
        simusb::clearCommandLog(sensor_);
        ASSERT_EQ(EraseFlash(handle_), TCS_RESULT_OK);
        const Bytes f = flash();
        EXPECT_EQ(f[0], 0x00) << "first block kept";
        EXPECT_TRUE(IsBlankBuffer(f.data() + 0x20000, 0x10000));
        EXPECT_TRUE(IsBlankBuffer(f.data() + 0xF0000, 0x10000));
        EXPECT_EQ(f[0x50100], 0x00);
        EXPECT_TRUE(IsBlankBuffer(f.data() + 0x60000, 0x10000));
        EXPECT_EQ(count(0xD8), 3);
        EXPECT_EQ(count(0xC7), 0);
    }
}

TEST_F(EraseFlashTest, OtherFirmwareErasesTheChipOrTheImageBlock) {
    firmware(21);
    seed(0, Bytes(0x100000, 0xFF));
    seed(0x30000, Bytes{0xFF, 0x00});  // written, though its first byte reads erased
    simusb::clearCommandLog(sensor_);
    ASSERT_EQ(EraseFlash(handle_), TCS_RESULT_OK);
    EXPECT_TRUE(IsBlankBuffer(flash().data(), 0x100000));
    EXPECT_EQ(count(0xC7), 1);

    // A blank flash: only the block at 0x40000 is erased.
    simusb::clearCommandLog(sensor_);
    ASSERT_EQ(EraseFlash(handle_), TCS_RESULT_OK);
    EXPECT_EQ(count(0xC7), 0);
    EXPECT_EQ(count(0xD8), 1);
}

TEST_F(EraseFlashTest, NoVersionRecordIsRefused) {
    ScsFwVersion* kept = device_->fwVersion;
    device_->fwVersion = nullptr;
    EXPECT_EQ(EraseFlash(handle_), TCS_RESULT_NULL_POINTER);
    device_->fwVersion = kept;
}

}  // namespace
}  // namespace xtfstest
