// The sensor program's front end without a sensor: the option scan, the command table, the failures
// Execute reports before it opens a sensor, the gate, and the result-code names.
#include "tools/sensor/cli/sensor_tool.h"

#include "platform/memory.h"
#include "platform/settings.h"
#include "platform/test_seams.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <unistd.h>
#include <string>
#include <vector>

namespace {

// A mutable argument vector, as main() gets one.
struct Argv {
    explicit Argv(std::initializer_list<const char*> words) {
        for (const char* w : words) storage.emplace_back(w);
        for (auto& s : storage) pointers.push_back(s.data());
        pointers.push_back(nullptr);
    }
    int argc() const { return int(pointers.size()) - 1; }
    char** argv() { return pointers.data(); }
    std::vector<std::string> storage;
    std::vector<char*> pointers;
};

class FrontEnd : public ::testing::Test {
protected:
    void SetUp() override { SensorResetToolState(); }
    void TearDown() override { SensorResetToolState(); }

    static std::string captured(const std::function<void()>& body) {
        ::testing::internal::CaptureStdout();
        body();
        fflush(stdout);
        return ::testing::internal::GetCapturedStdout();
    }
};

TEST_F(FrontEnd, OptionScanLowersTheCountAndSetsTheGlobals) {
    struct Case {
        std::initializer_list<const char*> words;
        int count;
        uint32_t mode;
        uint32_t noWait, printTime, internalCfg, doInit, spiSecure;
        uint32_t swipeSpeed, soClock, flexId;
    };
    const Case cases[] = {
        {{"sensor", "setowner", "-doinit"}, 2, 0x00300000, 0, 0, 0, 1, 0, 0, 0, 0},
        {{"sensor", "SETOWNER", "-DoInit", "pw"}, 3, 0x00300000, 0, 0, 0, 1, 0, 0, 0, 0},
        {{"sensor", "resetowner", "-doinit", "nowait", "-time"}, 2, 0x00300000, 1, 1, 0, 1, 0, 0, 0, 0},
        {{"sensor", "getprint", "-internalcfg", "-sec"}, 2, 0x80300000, 0, 0, 1, 0, 1, 0, 0, 0},
        {{"sensor", "x", "-nossl", "-nocal", "-lock"}, 2, 0x84200100, 0, 0, 0, 0, 0, 0, 0, 0},
        // Values: decimal, hexadecimal and octal, as "%i" reads them; options anywhere after the word.
        {{"sensor", "-swipespeed", "5", "x", "-soclock", "0x10", "-flexid", "010"}, 2, 0x80300000, 0, 0, 0, 0, 0,
         5, 16, 8},
        // As the last word: no value, the count lowered by one.
        {{"sensor", "getprint", "-swipespeed"}, 2, 0x80300000, 0, 0, 0, 0, 0, 0, 0, 0},
        // An option word after a value option is not its value, and is counted once.
        {{"sensor", "getprint", "-flexid", "-time"}, 2, 0x80300000, 0, 1, 0, 0, 0, 0, 0, 0},
        {{"sensor", "peek", "0x100", "2"}, 4, 0x80300000, 0, 0, 0, 0, 0, 0, 0, 0},
    };
    for (const Case& c : cases) {
        SensorResetToolState();
        Argv args(c.words);
        SCOPED_TRACE(args.storage[1]);
        EXPECT_EQ(SensorScanOptions(args.argc(), args.argv()), c.count);
        EXPECT_EQ(gMode, c.mode);
        EXPECT_EQ(gNoWait, c.noWait);
        EXPECT_EQ(gPrintTime, c.printTime);
        EXPECT_EQ(gUseInternalCfg, c.internalCfg);
        EXPECT_EQ(gDoInit, c.doInit);
        EXPECT_EQ(gIsSPIsecure, c.spiSecure);
        EXPECT_EQ(gSwipeSpeed, c.swipeSpeed);
        EXPECT_EQ(gSoClock, c.soClock);
        EXPECT_EQ(gFlexId, c.flexId);
    }
}

TEST_F(FrontEnd, CommandTableLookup) {
    // Every row is found under its own name, first row first.
    for (int i = 0; i < kFunctionCount; ++i) {
        std::string word = FunctionList[i].name;
        EXPECT_EQ(FindFunction(word.data()), &FunctionList[i]) << word;
    }
    struct Case {
        const char* word;
        SensorHandler handler;
        const char* lowered;
    };
    for (const Case& c : {Case{"GetVer", SensorGetVersion, "getver"}, Case{"RES", SensorReset, "res"},
                          Case{"Calibrate", SensorCalibrate, "calibrate"}, Case{"flashInfo", SensorGetFlashInfo, "flashinfo"},
                          Case{"SetOwner", SensorSetOwner, "setowner"}, Case{"resetowner", SensorResetOwner, "resetowner"},
                          Case{"write_otp", nullptr, "write_otp"}, Case{"setowner ", nullptr, "setowner "}}) {
        std::string word = c.word;
        const SensorCommand* row = FindFunction(word.data());
        EXPECT_EQ(row != nullptr ? row->handler : nullptr, c.handler) << c.word;
        EXPECT_EQ(word, c.lowered);
    }
}

TEST_F(FrontEnd, ExecuteFailsBeforeOpeningASensor) {
    struct Case {
        std::initializer_list<const char*> words;
        const char* output;
    };
    for (const Case& c :
         {Case{{"sensor", "getprint", "-internalcfg"}, "ERROR: '-internalcfg' can't be specified without '-doinit' option.\n"},
          Case{{"sensor", "-doinit", "-time"}, "Usage: "},
          Case{{"sensor", "BoGuS", "-doinit"}, "ERROR: unknown command 'bogus'\n"},
          Case{{"sensor", "write_otp"}, "ERROR: unknown command 'write_otp'\n"}}) {
        SensorResetToolState();
        Argv args(c.words);
        int result = -1;
        const std::string out = captured([&] { result = Execute(args.argc(), args.argv()); });
        EXPECT_EQ(result, 0);
        EXPECT_NE(out.find(c.output), std::string::npos) << out;
        EXPECT_EQ(g_hSensor, 0u);
    }
}

TEST_F(FrontEnd, GateAdmitsOnlySetOwnerAndResetOwnerWithDoInit) {
    struct Case {
        std::initializer_list<const char*> words;
        const char* output;
    };
    for (const Case& c : {Case{{"sensor"}, "Provides batch-level communications"},
                          Case{{"sensor", "setowner"}, "Request failed\n"},
                          Case{{"sensor", "getver", "-doinit"}, "Request failed\n"},
                          Case{{"sensor", "setowner", "nowait", "-doinit"}, "Request failed\n"},
                          Case{{"sensor", "script", "-doinit"}, "Request failed\n"}}) {
        SensorResetToolState();
        gNoWait = 1;  // the refusal's prompt would read standard input
        Argv args(c.words);
        int status = -1;
        const std::string out = captured([&] { status = SensorMain(args.argc(), args.argv()); });
        EXPECT_EQ(status, 1);
        EXPECT_NE(out.find(c.output), std::string::npos) << out;
        EXPECT_EQ(out.find("Execution time"), std::string::npos);
    }
}

TEST_F(FrontEnd, UsageTextLinesArePaddedAndEndWithTheVersion) {
    const std::string out = captured([] { usage(); });
    EXPECT_EQ(out.rfind("Provides batch-level communications with the Harlok and Dunmo parts ", 0), 0u);
    EXPECT_NE(out.find("\nsetowner [pwd]" + std::string(72 - 14, ' ') + "\n"), std::string::npos);
    EXPECT_NE(out.find("If \"ha_key\" is specified HA keys will be read from ./ha_priv_blob.bin and ./ha_pub_mod.bin"),
              std::string::npos);
    EXPECT_NE(out.find("\nSensor.exe V1.15 built "), std::string::npos);
}

TEST_F(FrontEnd, StartupOptionListHoldsTheValuesGiven) {
    struct Case {
        uint32_t swipeSpeed, soClock, flexId;
        std::vector<uint32_t> ids;
    };
    for (const Case& c : {Case{0, 0, 0, {4, 5, 0}}, Case{0, 0, 7, {4, 5, 3, 0}}, Case{3, 9, 7, {4, 5, 1, 2, 3, 0}}}) {
        gSwipeSpeed = c.swipeSpeed;
        gSoClock = c.soClock;
        gFlexId = c.flexId;
        StartupOption* list = SensorBuildStartupOptions();
        ASSERT_NE(list, nullptr);
        std::vector<uint32_t> ids;
        for (size_t i = 0; i < c.ids.size(); ++i) ids.push_back(list[i].id);
        EXPECT_EQ(ids, c.ids);
        EXPECT_EQ(list[0].value, reinterpret_cast<void*>(&SignDataByHAPrivKey));
        EXPECT_EQ(list[1].value, reinterpret_cast<void*>(&GetSensorPubKey));
        if (c.flexId != 0) {
            EXPECT_EQ(list[c.ids.size() - 2].value, &gFlexId);
        }
        EXPECT_EQ(list[c.ids.size() - 1].value, nullptr);
        palRealFree(list);
    }
}

TEST_F(FrontEnd, KeyCallbacksReadThePerSensorSection) {
    const std::string settings = ::testing::TempDir() + "/cli_keys_" + std::to_string(getpid());
    palTestSetSettingsPath(settings.c_str());
    const uint8_t id[6] = {0x01, 0xAB, 0x02, 0xCD, 0x03, 0xEF};
    char section[260];
    SensorKeySection(id, section);
    EXPECT_STREQ(section, "SOFTWARE\\Tovantic\\sensor.exe\\01AB02CD03EF");

    const uint8_t modulus[4] = {0xC0, 0x01, 0x02, 0x03};
    ASSERT_EQ(palSetPersistentDataBinaryValue(section, "SPrivMod", modulus, 4), TCS_RESULT_OK);
    uint8_t out[4] = {};
    EXPECT_EQ(GetSensorPubKey(id, 6, out, 4), TCS_RESULT_OK);
    EXPECT_EQ(std::vector<uint8_t>(out, out + 4), std::vector<uint8_t>(modulus, modulus + 4));
    EXPECT_EQ(GetSensorPubKey(nullptr, 6, out, 4), TCS_RESULT_NULL_POINTER);
    EXPECT_EQ(GetSensorPubKey(id, 6, nullptr, 4), TCS_RESULT_NULL_POINTER);

    // No host key stored: the store's one-byte default is no key blob, and signing fails.
    uint8_t signature[256];
    uint32_t length = sizeof signature;
    const uint8_t hash[32] = {};
    EXPECT_NE(SignDataByHAPrivKey(id, 6, hash, 32, 3, signature, &length), TCS_RESULT_OK);
    // A stored key of length 0 is refused before any signing.
    ASSERT_EQ(palSetPersistentDataBinaryValue(section, "HAPrivKey", modulus, 0), TCS_RESULT_OK);
    EXPECT_EQ(SignDataByHAPrivKey(id, 6, hash, 32, 3, signature, &length), TCS_RESULT_BAD_PARAM);
    EXPECT_EQ(SignDataByHAPrivKey(nullptr, 6, hash, 32, 3, signature, &length), TCS_RESULT_NULL_POINTER);

    palTestSetSettingsPath(nullptr);
    std::remove(settings.c_str());
}

TEST(ResultNames, KnownAndUnknownCodes) {
    struct Case {
        uint32_t code;
        const char* name;
    };
    for (auto [code, name] : std::initializer_list<Case>{{0, "TCS_RESULT_OK"},
                                                         {5, "TCS_RESULT_BUFFER_TOO_SMALL"},
                                                         {10, "TCS_RESULT_SENSOR_WRITE_TIMEOUT"},
                                                         {11, "TCS_RESULT_SENSOR_READ_TIMEOUT"},
                                                         {51, "TCS_RESULT_SENSOR_NO_ECNRYPT"},
                                                         {80, "TCS_RESULT_INVALID_DATABASE_SPEC"},
                                                         {81, "Unknown 0x51"},
                                                         {200, "TCS_RESULT_SENSOR_NOT_COMPLETELY_OPEN"},
                                                         {220, "TCS_RESULT_INVALID_FILE_FORMAT"},
                                                         {221, "Unknown 0xDD"},
                                                         {307, "TCS_RESULT_MATCHER_MATCH_IMAGE_FAILED"},
                                                         {370, "TCS_RESULT_SENSOR_CMD_DENIED"},
                                                         {372, "Unknown 0x174"},
                                                         {7, "TCS_RESULT_INVALID"}}) {
        EXPECT_STREQ(SensorResultStatus(code), name) << code;
    }
}

TEST(ResultNames, OneBufferAndTheGeneralLookup) {
    // Each call overwrites the text of the last: two names in one argument list print alike.
    const char* first = SensorResultStatus(0);
    const char* second = SensorResultStatus(34);
    EXPECT_EQ(first, second);
    EXPECT_STREQ(first, "TCS_RESULT_TIMEOUT");

    const SensorValueName table[] = {{7, "SEVEN"}, {7, "LATER SEVEN"}};
    char out[8];
    EXPECT_EQ(SensorValToString(out, sizeof out, 7, table, 2), 5);
    EXPECT_STREQ(out, "SEVEN");
    // No rows: the unknown form, cut to the buffer as snprintf cuts.
    EXPECT_EQ(SensorValToString(out, sizeof out, 7, table, 0), 12);
    EXPECT_STREQ(out, "Unknown");
    EXPECT_EQ(SensorValToString(out, sizeof out, 0x1234, nullptr, 0), 14);
    EXPECT_STREQ(out, "Unknown");
}

}  // namespace
