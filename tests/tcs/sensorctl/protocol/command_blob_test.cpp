// Raw command blobs through scsSend, the shared reply callbacks, and commands refused with 221.
#include "tests/tcs/sensorctl/fixture.h"

#include "tcs/sensorctl/protocol/command_blob.h"
#include "tcs/sensorctl/protocol/sensor_commands.h"
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

// Every call and every command of the on-sensor database, storage partitions, tokens and the other
// commands the firmware has no support for: 221, and nothing reaches the bus.
TEST_F(CommandBlob, CommandsWithoutFirmwareSupportSendNothing) {
    const size_t before = simusb::commandLog(sensor_).size();
    for (auto refused :
         {scsSensorSendVipCreateClientAuthToken, scsSensorSendVipProvisionOtpSeed, scsSensorSendVipCreateTotpToken,
          scsSensorSendFidoCreateAuthData, scsSensorSendFidoProvisionOtpSeed, scsSensorSendFidoCreateHotpToken,
          scsSensorGetCFGTSBL, scsSensorSetLEDStateEx2, scsSensorSPIFlash, scsSensorInplacePatch, scsSensorStorageInfoGet,
          scsSensorStoragePartFormat, scsSensorStoragePartRead, scsSensorStoragePartWrite, scsSensorStorageFWPartValidate,
          scsSensorStorageFWPartInfoGet, scsSensorDbInfoGet, scsSensorDbObjectInfoGet, scsSensorDbObjectCreate,
          scsSensorDbObjectDelete, scsSensorDbObjectDataGet, scsSensorDbUserInfoGet, scsSensorDbObjectRestore,
          scsSensorDbSystemParamGet, scsSensorDbSystemParamSet, scsSensorDbContainerInfoGet, scsSensorGetCertificateEx,
          scsSensorTakeOwnershipWithKeysEx}) {
        EXPECT_EQ(refused(handle_), 221u);
    }
    // Their wire builders, reached through the command path as any work item is.
    for (uint32_t wit :
         {scsWITSensor_CMD_INPLACE_PATCH, scsWITSensor_CMD_GET_CFGTSBL, scsWITSensor_CMD_SPI_FLASH,
          scsWITSensor_CMD_LED_EX_2, scsWITSensor_CMD_TAKE_OWNERSHIP_EX2, scsWITSensor_CMD_GET_CERTIFICATE_EX,
          scsWITSensor_CMD_STORAGE_INFO_GET, scsWITSensor_CMD_STORAGE_PART_FORMAT, scsWITSensor_CMD_STORAGE_PART_READ,
          scsWITSensor_CMD_STORAGE_PART_WRITE, scsWITSensor_CMD_STORAGE_FWPART_VALIDATE,
          scsWITSensor_CMD_STORAGE_FWPART_INFO_GET, scsWITSensor_CMD_DB_INFO_GET, scsWITSensor_CMD_DB_OBJECT_CREATE,
          scsWITSensor_CMD_DB_OBJECT_DELETE, scsWITSensor_CMD_DB_OBJECT_INFO_GET, scsWITSensor_CMD_DB_OBJECT_DATA_GET,
          scsWITSensor_CMD_DB_OBJECT_RESTORE, scsWITSensor_CMD_DB_USER_INFO_GET, scsWITSensor_CMD_DB_SYSTEM_PARAM_GET,
          scsWITSensor_CMD_DB_SYSTEM_PARAM_SET, scsWITSensor_CMD_DB_USER_CONTAINER_INFO_GET}) {
        uint8_t reply[16];
        uint32_t length = sizeof reply;
        EXPECT_EQ(scsRunCommand(handle_, wit, nullptr, 0, 1000, reply, &length), 221u) << gScsWitList[wit].name;
    }
    EXPECT_EQ(simusb::commandLog(sensor_).size(), before);
}

}  // namespace
