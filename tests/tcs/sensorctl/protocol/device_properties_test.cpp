// Per-device properties through a sensor handle: thresholds that follow the alternate-WOE switch,
// flags and predicates, the recovery switches over the device lists, fixed results.
#include "tests/tcs/sensorctl/fixture.h"

#include "platform/settings.h"
#include "tcs/sensorctl/protocol/device_properties.h"
#include "tcs/sensorctl/protocol/protocol_state.h"
#include "tcs/sensorctl/protocol/sensor_commands.h"
#include "tcs/sensorctl/protocol/wire_builders.h"

namespace {

using scstest::SensorControl;
using Bytes = std::vector<uint8_t>;

class DeviceProperties : public SensorControl {
protected:
    void SetUp() override {
        SensorControl::SetUp();
        ASSERT_EQ(scsClientCreate(subsystem_, &client_), TCS_RESULT_OK);
        device_ = plugAndAttach();
        ASSERT_NE(device_, nullptr);
        activate(device_);
        ASSERT_EQ(scsSensorOpen(client_, device_->name, &handle_), TCS_RESULT_OK);
    }
    ScsClient* client_ = nullptr;
    ScsSensorDevice* device_ = nullptr;
    ScsSensor* handle_ = nullptr;
};

TEST_F(DeviceProperties, WoeThresholdsFollowTheAlternateSwitch) {
    uint32_t value = 0;
    ASSERT_EQ(scsSensorSetWoeThreshold(handle_, 40), 0u);
    ASSERT_EQ(scsSensorSetWoeThresholdDelta(handle_, 3), 0u);
    scsproto::stateOf(device_)->alternateWoe = true;
    EXPECT_EQ(scsIsAlternateWOEEnabled(handle_), 1u);
    ASSERT_EQ(scsSensorGetWoeThreshold(handle_, &value), 0u);
    EXPECT_EQ(value, 16u) << "alternate threshold untouched";
    ASSERT_EQ(scsSensorSetWoeThreshold(handle_, 50), 0u);
    ASSERT_EQ(scsSensorGetWoeThresholdDelta(handle_, &value), 0u);
    EXPECT_EQ(value, 0u);
    scsproto::stateOf(device_)->alternateWoe = false;
    ASSERT_EQ(scsSensorGetWoeThreshold(handle_, &value), 0u);
    EXPECT_EQ(value, 40u);
    ASSERT_EQ(scsSensorGetWoeThresholdDelta(handle_, &value), 0u);
    EXPECT_EQ(value, 3u);

    device_->woeTiming[0] = 0x21;  // what calibration chose
    ASSERT_EQ(scsSensorResetWoeThreshold(handle_, nullptr), 0u);
    ASSERT_EQ(scsSensorResetWoeThreshold(handle_, &value), 0u);
    EXPECT_EQ(value, 0x21u);
    ASSERT_EQ(scsSensorGetWoeThreshold(handle_, &value), 0u);
    EXPECT_EQ(value, 0x21u);
    EXPECT_EQ(scsSensorGetWoeThreshold(handle_, nullptr), 17u);
    EXPECT_EQ(scsSensorGetWoeThreshold(nullptr, &value), 14u);
}

TEST_F(DeviceProperties, FlagsAndPredicates) {
    EXPECT_EQ(scsSensorIsSecured(handle_), 0u);
    EXPECT_EQ(scsSensorIsECCSecured(handle_), 0u);
    device_->eccSecured = 1;
    EXPECT_EQ(scsSensorIsSecured(handle_), 1u);
    EXPECT_EQ(scsSensorIsECCSecured(handle_), 1u);
    EXPECT_EQ(scsSensorIsRSASecured(handle_), 0u);
    EXPECT_EQ(scsSensorIsAESSecured(handle_), 0u);
    device_->aesSecured = 1;
    EXPECT_EQ(scsSensorIsAESSecured(handle_), 1u);
    EXPECT_EQ(scsSensorIsAESSecured(nullptr), 0u);

    ASSERT_EQ(scsSensorSetWOECalFlag(handle_), 0u);
    EXPECT_EQ(device_->woeOnlyCalibration, 1u);
    ASSERT_EQ(scsSensorSetCalibrationType(handle_, 0x102), 0u);
    EXPECT_EQ(device_->captureModeByte, 2) << "one byte";
    device_->woeCalibrationFailed = 1;
    EXPECT_EQ(scsSensorIsWOECalibrationFailed(handle_), 1u);
    ASSERT_EQ(scsSensorDisableSSLAlerts(handle_, 1), 0u);
    EXPECT_EQ(device_->suppressCloseAlert, 1u);

    uint8_t protocol = 9;
    EXPECT_EQ(scsSensorGetCmdProtocolVersion(nullptr, &protocol), 17u);
    device_->replyParser = scsSensorParseReply_V4;
    ASSERT_EQ(scsSensorGetCmdProtocolVersion(handle_, &protocol), 0u);
    EXPECT_EQ(protocol, 4);
    uint32_t mode = 9;
    ASSERT_EQ(scsSensorGetSubsystemStartupMode(handle_, &mode), 0u);
    EXPECT_EQ(mode, subsystem_->startFlags);
    void* info = &mode;
    ASSERT_EQ(scsSensorGetBaseLineInfo(handle_, &info), 0u);
    EXPECT_EQ(info, device_->baselineInfo);
    uint32_t delta = 9;
    ASSERT_EQ(scsSensorSetMotionParamThresholdDelta(handle_, 5), 0u);
    ASSERT_EQ(scsSensorGetMotionParamThresholdDelta(handle_, &delta), 0u);
    EXPECT_EQ(delta, 5u);
}

TEST_F(DeviceProperties, RecoverySwitchesReachEveryDevice) {
    device_->resetRecoverySaved = 1;
    device_->resetRecovery = 1;
    device_->esdRecoverySaved = 1;
    device_->esdRecovery = 1;
    ASSERT_EQ(scsDisableResetRecovery(subsystem_, 1), 0u);
    EXPECT_EQ(device_->resetRecovery, 0u);
    EXPECT_EQ(device_->esdRecovery, 1u);
    ASSERT_EQ(scsDisableESDRecovery(subsystem_, 1), 0u);
    EXPECT_EQ(device_->esdRecovery, 0u);
    ASSERT_EQ(scsDisableResetRecovery(subsystem_, 0), 0u);
    EXPECT_EQ(device_->resetRecovery, 1u) << "the device's default back";
    EXPECT_EQ(subsystem_->resetRecoveryOff, 0u);
    EXPECT_EQ(subsystem_->esdRecoveryOff, 1u);
    EXPECT_EQ(scsDisableESDRecovery(nullptr, 1), 17u);
}

TEST_F(DeviceProperties, ReportToServiceAndFixedResults) {
    EXPECT_EQ(scsReportSensorToService(nullptr), 1u);
    EXPECT_EQ(scsReportSensorToService("SIMDEV"), 1u) << "nothing configured";
    palSetPersistentDataLongValue("SOFTWARE\\Tovantic\\ServiceDevices", "SIMDEV", 0);
    EXPECT_EQ(scsReportSensorToService("SIMDEV"), 0u);
    palSetPersistentDataLongValue("SOFTWARE\\Tovantic\\ServiceDevices", "SIMDEV", 1);
    EXPECT_EQ(scsReportSensorToService("SIMDEV"), 1u);

    for (TcsResult r : {scsGetStorageMemoryInfo(handle_, nullptr), scsStoragePartitionsFormat(handle_),
                        scsReadImagePartEx(handle_, nullptr, 0), scsSensorIsFpga(handle_)}) {
        EXPECT_EQ(r, 6u);
    }
    for (TcsResult r : {scsSensorVipCreateClientAuthToken(handle_), scsSensorVipProvisionOtpSeed(handle_),
                        scsSensorVipCreateTotpToken(handle_), scsSensorFidoCreateAuthData(handle_),
                        scsSensorFidoProvisionOtpSeed(handle_), scsSensorFidoCreateHotpToken(handle_)}) {
        EXPECT_EQ(r, 221u);
    }
    for (TcsResult r : {scsSensorIsRemoteSensor(handle_), scsDeviceIsRemoteSensor(device_),
                        scsCancelInterruptEndpointRead(handle_), scsIsInterruptEndpointEnabled(handle_),
                        scsInterruptEndpointEnable(handle_, 1)}) {
        EXPECT_EQ(r, 0u);
    }
    EXPECT_EQ(scsSensorEnable(nullptr), 17u);

    Bytes reply(2000, 7);
    ScsReplyView view{uint32_t(reply.size()), reply.data()}, table{};
    EXPECT_EQ(scsFindTsTblInConfigReply(nullptr, &view, &table), 17u);
    ASSERT_EQ(scsFindTsTblInConfigReply(handle_, &view, &table), 0u);
    EXPECT_EQ(table.length, 1408u);
    EXPECT_EQ(table.data, reply.data());
}

}  // namespace
