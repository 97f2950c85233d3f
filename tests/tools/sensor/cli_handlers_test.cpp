// Command handlers in-process over the virtual sensor, through Execute as a script line runs them
// (the sensor stays open from command to command), and the print output files' formats.
#include "tests/tools/sensor/tool_session.h"

#include "platform/test_seams.h"
#include "platform/usb_test_seams.h"
#include "sim/usb/sim_usb.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

std::vector<uint8_t> readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::string readText(FILE* file) {
    std::string text;
    rewind(file);
    for (int c; (c = fgetc(file)) != EOF;) text += char(c);
    return text;
}

class Handlers : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(tool_.start("cli_handlers"));
        id_ = simusb::plug();
    }
    void TearDown() override { tool_.stop(); }

    int run(std::initializer_list<const char*> words, std::string* output) { return tool_.run(words, output); }

    ToolSession tool_;
    simusb::SensorId id_ = 0;
};

TEST_F(Handlers, OutputFilesOfOtpRawCommandAndMemory) {
    std::string out;
    ASSERT_EQ(run({"getver"}, &out), 1) << out;
    EXPECT_EQ(out.rfind("Sensor Version ", 0), 0u) << out;
    ASSERT_NE(g_hSensor, 0u);

    // The version command as a raw command from a file; its reply begins with status 0.
    std::ofstream("cmd.bin", std::ios::binary).put(0x01);
    ASSERT_EQ(run({"send", "cmd.bin", "rep.bin", "38"}, &out), 1) << out;
    // Sensor control reports the protocol as 4; the reply's status is read all the same.
    EXPECT_EQ(out, "Command succeeded.\nReply written to <rep.bin> file.\n");
    const std::vector<uint8_t> reply = readFile("rep.bin");
    ASSERT_GE(reply.size(), 2u);
    EXPECT_EQ(reply[0], 0);
    EXPECT_EQ(reply[1], 0);

    // OTP is read under the test patch; the file holds what the sensor's OTP holds.
    ASSERT_EQ(run({"read_otp"}, &out), 1) << out;
    EXPECT_EQ(out, "\n OTP read SUCCESS  \n");
    EXPECT_EQ(readFile("otp.bin"), simusb::storedState(id_, "otp"));

    // The detailed version: the reply decoded field by field.
    ASSERT_EQ(run({"getver", "-V"}, &out), 1) << out;
    EXPECT_EQ(out.rfind("buildtime        = 0x", 0), 0u) << out;
    EXPECT_NE(out.find("\nvmajor           = 4\n"), std::string::npos) << out;
    EXPECT_NE(out.find("\nserial_number[6] = 0x"), std::string::npos) << out;
    EXPECT_NE(out.find("\n                   phase:"), std::string::npos) << out;
    ASSERT_EQ(run({"getstartinfo"}, &out), 1) << out;
    EXPECT_EQ(out, "Get start info success values are\n\tStart Type: RESET(0)\tReset Type: POWERON(0)\t"
                   "Start Status: 0x00000000\n");

    // Memory: a poke read back by peek and by readram (host-order words); a length below 4 gives
    // an empty file.
    ASSERT_EQ(run({"poke", "0x20001000", "0x11223344"}, &out), 1) << out;
    EXPECT_EQ(out, "Poke was successful\n");
    ASSERT_EQ(run({"poke", "0x20001000", "0xA0", "0xF0", "1"}, &out), 1) << out;
    ASSERT_EQ(run({"peek", "0x20001000"}, &out), 1) << out;
    EXPECT_EQ(out, "0x112233e0\n") << "the old bits under the mask kept, the value ORed in";
    ASSERT_EQ(run({"readram", "ram.bin", "8", "0x20001000"}, &out), 1) << out;
    EXPECT_EQ(readFile("ram.bin"), (std::vector<uint8_t>{0xE0, 0x33, 0x22, 0x11, 0, 0, 0, 0}));
    ASSERT_EQ(run({"readram", "empty.bin", "2"}, &out), 1) << out;
    EXPECT_TRUE(readFile("empty.bin").empty());
    EXPECT_EQ(run({"readram"}, &out), 0);
    EXPECT_EQ(out, "Usage: readram output-file [length [baseaddr]]\n");
}

// The lock handler locks the sensor's security state; the sensor holds it until it loses power.
TEST_F(Handlers, LockLocksTheSensor) {
    std::string out;
    ASSERT_EQ(run({"lock"}, &out), 1) << out;
    EXPECT_EQ(out, "Sensor locking  SUCCEEDED \n");
    EXPECT_EQ(simusb::transientState(id_, "locked"), std::vector<uint8_t>{1});
    simusb::setCommandHook(0x1B, [](std::span<const uint8_t>) { return simusb::Reply{0x0401, {}}; });
    EXPECT_EQ(run({"lock"}, &out), 0);
    simusb::setCommandHook(0x1B, nullptr);
    EXPECT_EQ(out, "FAILED to lock sensor \n");
}

TEST_F(Handlers, ArgumentFailuresPrintTheirLines) {
    struct Case {
        std::initializer_list<const char*> words;
        const char* output;
    };
    for (const Case& c : {Case{{"poke", "0x10"}, "Error: Too few input arguments.\n"},
                          Case{{"setspimode"}, "Please Enter value of the master clock divider\n"},
                          Case{{"woesetup"}, "Please Enter Path to a WOE configuration file\n"},
                          Case{{"decomm"}, "This command is currently disabled \n"},
                          Case{{"gpio", "alt"}, "GPIO alt must be followed by a hex value\n"},
                          Case{{"gpio", "dout", "zz"}, "invalid hex value for GPIO dout zz\n"},
                          Case{{"send", "missing.bin"}, "Open file <missing.bin> failed\n"},
                          Case{{"get_auth_data"}, "Open file <./auth_data.bin> failed\n"},
                          Case{{"set_prod_opts", "-bogus"}, "Unrecognized option -bogus.\n"},
                          Case{{"spiflashwrite", "-page"}, "-page must be followed by a value\n"},
                          Case{{"spibulkread", "-loop", "x"}, "invalid loop count x\n"},
                          Case{{"cal"}, ""}}) {
        std::string out;
        EXPECT_EQ(run(c.words, &out), 0) << *c.words.begin();
        EXPECT_EQ(out, c.output) << *c.words.begin();
    }
}

// A script keeps the sensor open from line to line; a successful reset re-opens it under a new
// handle once it is back, so the lines after it still reach it.
TEST_F(Handlers, ScriptReopensTheSensorAfterAReset) {
    gScriptCommand = 0;
    std::ofstream("run.bat") << "sensor getver -doinit\nrem the sensor leaves the bus and comes back\n"
                                "sensor Reset 5\nsensor getver\n";
    std::string w0 = "sensor", w1 = "script", w2 = "run.bat";
    char* argv[] = {w0.data(), w1.data(), w2.data(), nullptr};
    ::testing::internal::CaptureStdout();
    const int result = SensorRunScript(3, argv);
    fflush(stdout);
    const std::string out = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(result, 1) << out;
    EXPECT_NE(out.find("sensor Reset 5 \nSensor Reset\nsensor getver \nSensor Version "), std::string::npos) << out;
    EXPECT_NE(g_hSensor, 0u) << "still open: the script's own command closes it";
}

TEST(PrintFiles, LineRecordsAsTextAndBytes) {
    TcsTestRawLine lines[3] = {};
    lines[0].length = 3;
    lines[0].data[0] = 1;
    lines[0].data[1] = 22;
    lines[0].data[2] = 255;
    lines[1].length = 0;  // an empty record: an empty text line, no bytes
    lines[2].length = 1;
    lines[2].data[0] = 7;
    FILE* csv = tmpfile();
    FILE* bin = tmpfile();
    ASSERT_NE(csv, nullptr);
    ASSERT_NE(bin, nullptr);
    SensorWriteLineRecords(csv, bin, lines, 3);
    EXPECT_EQ(readText(csv), "001, 022, 255\n\n007\n");
    EXPECT_EQ(readText(bin), std::string("\x01\x16\xff\x07", 4));
    fclose(csv);
    fclose(bin);
}

TEST(PrintFiles, LongCaptureCutAtLineStarts) {
    struct Case {
        std::vector<uint8_t> data;
        uint32_t lineLength;
        const char* text;
    };
    const Case cases[] = {
        // No markers: plain lines of the line length.
        {{1, 2, 3, 4, 5, 6}, 3, "001, 002, 003\n004, 005, 006\n"},
        // A marker right after the line: the next line begins there.
        {{9, 9, 0x01, 0xFE, 8, 8}, 2, "009, 009\n001, 254\n008, 008\n"},
        // A marker inside the line: the next line begins at it, the bytes before it are dropped.
        {{5, 0x01, 0xFE, 6, 7, 8}, 3, "005, 001, 254\n001, 254, 006\n"},
    };
    for (const Case& c : cases) {
        FILE* csv = tmpfile();
        ASSERT_NE(csv, nullptr);
        SensorWriteBulkCsv(csv, c.data.data(), uint32_t(c.data.size()), c.lineLength);
        EXPECT_EQ(readText(csv), c.text);
        fclose(csv);
    }
}

TEST(OtpHelpers, SerialNumbersAndTaggedArea) {
    struct Case {
        const char* text;
        int result;
    };
    for (auto [text, result] : std::initializer_list<Case>{{"0123456789aB", 0},
                                                            {"0123456789ABC", 7},
                                                            {"0123456789AG", 7},
                                                            {"01234", 7},
                                                            {"", 7}}) {
        uint8_t serial[6] = {};
        EXPECT_EQ(ParseSerialNum(text, serial), result) << text;
        if (result != 0) continue;
        EXPECT_EQ(std::vector<uint8_t>(serial, serial + 6), (std::vector<uint8_t>{1, 0x23, 0x45, 0x67, 0x89, 0xAB}));
    }

    std::vector<uint8_t> area(2048, 0);
    uint32_t length = 99;
    EXPECT_EQ(FindDunmoOtpTaggedValue(area.data(), &length, 3), -1);
    EXPECT_EQ(length, 0u);
    // Blank words are skipped; an entry of tag 1, 6 bytes long (rounded up to 8), then tag 3.
    area[8] = 6;
    area[9] = 0x10;
    area[16] = 12;
    area[17] = 0x30;
    EXPECT_EQ(FindDunmoOtpTaggedValue(area.data(), &length, 3), 16);
    EXPECT_EQ(length, 12u);
    EXPECT_EQ(FindDunmoOtpTaggedValue(area.data(), &length, 8), -1);
    // A zero-length entry before the wanted tag: the area is corrupt.
    area[9] = 0x20;
    area[8] = 0;
    area[10] = 1;  // keeps the word non-blank
    EXPECT_EQ(FindDunmoOtpTaggedValue(area.data(), &length, 3), -2);
}

}  // namespace
