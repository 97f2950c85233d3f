// Raw command blobs through scsSend, the shared reply callbacks, and commands refused with 221.
#include "tests/tcs/sensorctl/fixture.h"

#include "tcs/sensorctl/protocol/command_blob.h"
#include "tcs/sensorctl/protocol/sync_commands.h"
#include "tcs/sensorctl/protocol/wire_builders.h"

namespace {

using scstest::SensorControl;
using Bytes = std::vector<uint8_t>;

class CommandBlob : public SensorControl {
protected:
    void SetUp() override {
        SensorControl::SetUp();
        ASSERT_EQ(scsClientCreate(subsystem_, &client_), TCS_RESULT_OK);
        device_ = plugAndAttach();
        ASSERT_NE(device_, nullptr);
        activate(device_);
        device_->replyParser = scsSensorParseReply_V4;
        ASSERT_EQ(scsSensorOpen(client_, device_->name, &handle_), TCS_RESULT_OK);
    }
    ScsClient* client_ = nullptr;
    ScsSensorDevice* device_ = nullptr;
    ScsSensor* handle_ = nullptr;
};

TEST_F(CommandBlob, SentAsItStandsAndAnsweredThroughTheGenericCallback) {
    ScsWaitContext wait{};
    wait.status = 0xFFFF;
    wait.event = palEventAlloc(0, 0, nullptr);
    ASSERT_NE(wait.event, nullptr);
    const Bytes poke = {8, 0, 0x30, 0, 0, 1, 0, 0, 0, 4};
    uint32_t transaction = 0;
    EXPECT_EQ(scsSensorSendCommandBlob(handle_, nullptr, 10, 2, scsSensorGenericCB, &wait, &transaction), 17u);
    EXPECT_EQ(scsSensorSendCommandBlob(handle_, poke.data(), 10, 2, nullptr, &wait, &transaction), 17u);
    EXPECT_EQ(scsSensorSendCommandBlob(handle_, poke.data(), 10, 2, scsSensorGenericCB, &wait, nullptr), 17u);
    ASSERT_EQ(scsSensorSendCommandBlob(handle_, poke.data(), uint32_t(poke.size()), 2, scsSensorGenericCB, &wait,
                                       &transaction), 0u);
    ASSERT_EQ(scsSensorWaitForCommandReply(handle_, wait.event, 3000, transaction), 0u);
    EXPECT_EQ(wait.status, 0u);
    EXPECT_EQ(simusb::commandLog(sensor_).back(), poke);
    palEventFree(wait.event);

    ScsWaitContext buffer{};
    EXPECT_EQ(scsSensorGenericBufferCallback(&buffer, 49, nullptr, 12, nullptr), 0u);
    EXPECT_EQ(buffer.status, 49u);
    EXPECT_EQ(buffer.length, 12u);
    EXPECT_EQ(scsSPIBulkReadCB(&buffer, 0, nullptr, 64, nullptr), 7u) << "not posted again";
    EXPECT_EQ(buffer.length, 64u);
    EXPECT_EQ(scsSensorGenericCB(nullptr, 0, nullptr), 17u);
}

TEST_F(CommandBlob, CommandsWithoutFirmwareSupportSendNothing) {
    const size_t before = simusb::commandLog(sensor_).size();
    for (auto refused : {scsSensorSendVipCreateClientAuthToken, scsSensorSendFidoCreateHotpToken, scsSensorStorageInfoGet,
                         scsSensorDbContainerInfoGet, scsSensorGetCertificateEx, scsSensorTakeOwnershipWithKeysEx}) {
        EXPECT_EQ(refused(handle_), 221u);
    }
    EXPECT_EQ(simusb::commandLog(sensor_).size(), before);
}

}  // namespace
