// Device initialisation's data routines: flex id from a detection line, the power-up baseline copy.
#include "tests/tcs/sensorctl/fixture.h"

#include "platform/memory.h"
#include "tcs/sensorctl/protocol/print_defaults.h"

namespace {

using scstest::SensorControl;

TEST(FlexIdData, FirstSmallestByteAfterTheHeaderChoosesTheFlexId) {
    struct Case {
        const char* what;
        std::vector<uint8_t> data;
        uint32_t expected;  // flex id in the context afterwards (it starts at 77)
    };
    const std::vector<uint8_t> header(8, 0);  // header bytes never count, however small
    auto line = [&](size_t pixels, size_t smallestAt) {
        std::vector<uint8_t> d = header;
        for (size_t i = 0; i < pixels; ++i) d.push_back(i == smallestAt ? 3 : 200);
        return d;
    };
    std::vector<uint8_t> twoEqual = line(60, 10);
    twoEqual[8 + 48] = 3;  // a later equal minimum does not win
    for (const Case& c : std::initializer_list<Case>{
             {"index 10", line(60, 10), 14},
             {"index 48", line(60, 48), 55},
             {"first of two equal", twoEqual, 14},
             {"index 0 looks up reserved id 0: kept", line(60, 0), 77},
             {"beyond the table: kept", line(120, 110), 77},
             {"header alone: nothing", header, 77},
         }) {
        SCOPED_TRACE(c.what);
        ScsFlexIdContext context{nullptr, nullptr, 77, scsHarlokProcessFlexIdData};
        EXPECT_EQ(context.process(&context, c.data.data(), uint32_t(c.data.size())), TCS_RESULT_OK);
        EXPECT_EQ(context.flexId, c.expected);
    }
    static_assert(sizeof(ScsFlexIdContext) == 32);
    ScsFlexIdContext context{};
    const uint8_t byte = 0;
    EXPECT_EQ(scsHarlokProcessFlexIdData(nullptr, &byte, 1), TCS_RESULT_BAD_PARAM);
    EXPECT_EQ(scsHarlokProcessFlexIdData(&context, nullptr, 9), TCS_RESULT_BAD_PARAM);
}

class BaselineData : public SensorControl {
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

TEST_F(BaselineData, CopyIsLineLengthTimesLinesAndReplacesTheEarlierOne) {
    uint32_t lineLength = 0;
    ASSERT_EQ(scsSensorGetUint32DataFromPrintConfig(handle_, SCS_PRINT_CONFIG_DEFAULT, SCS_PC_LINE_LENGTH, &lineLength),
              TCS_RESULT_OK);
    ASSERT_GT(lineLength, 0u);
    std::vector<uint8_t> captured(size_t(lineLength) * 21);  // one line more than kept, as captured
    for (size_t i = 0; i < captured.size(); ++i) captured[i] = uint8_t(i * 7);

    ScsBaselineRecord record{};
    record.data = static_cast<uint8_t*>(palRealMalloc(4));
    record.length = 4;
    ScsBaselineContext context{handle_, 20, &record, scsHarlokGetBaselineData, nullptr};
    ASSERT_EQ(context.process(&context, captured.data()), TCS_RESULT_OK);
    ASSERT_EQ(record.length, uint64_t(lineLength) * 20);
    EXPECT_EQ(record.lines, 20u);
    EXPECT_TRUE(std::equal(record.data, record.data + record.length, captured.begin()));
    palRealFree(record.data);

    EXPECT_EQ(scsHarlokGetBaselineData(&context, nullptr), TCS_RESULT_BAD_PARAM);
    context.record = nullptr;
    EXPECT_EQ(scsHarlokGetBaselineData(&context, captured.data()), TCS_RESULT_BAD_PARAM);
}

}  // namespace
