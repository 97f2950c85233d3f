// The sensor program run as a user runs it: the built binary over the virtual sensor (preloaded in
// place of libusb), taking and resetting ownership with "-doinit" on a 4.21 sensor (password) and a
// 4.40 sensor (keys), and the gate that refuses every other command line.
#include "sim/usb/firmware.h"
#include "sim/usb/sim_usb.h"
#include "tests/tcs/sim_version.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

std::string slurp(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

class SensorProgram : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = ::testing::TempDir() + "/cli_e2e_" + std::to_string(getpid());
        ASSERT_EQ(std::system(("rm -rf " + dir_ + " && mkdir -p " + dir_ + "/state").c_str()), 0);
        settings_ = dir_ + "/settings";
        std::ofstream(settings_).flush();
        // The stack keeps its settings in one fixed file; where the machine allows a private mount
        // namespace, each run gets this test's own file in its place.
        isolated_ = std::system("unshare --mount true >/dev/null 2>&1") == 0 &&
                    std::system("test -e /etc/TovanticPersistentData || : > /etc/TovanticPersistentData") == 0;
    }

    void TearDown() override { std::system(("rm -rf " + dir_).c_str()); }

    // Calibration runs as it does for a user: at every initialisation that reads the power-up
    // baseline (the first one on 4.21, the one after pairing on 4.40 too).
    void prepare(const std::string& serial, uint8_t minor, uint8_t usbVariant, uint8_t variantByte,
                 uint8_t capabilities) {
        simusb::SensorSpec identity;
        identity.serial = serial;
        identity.variant = usbVariant;
        simusb::Firmware firmware(identity.serial, identity.productId, usbVariant);
        // A serial of its own per run, so that runs never share a settings section.
        firmware.stored("version") = simVersionRecord(minor, variantByte, capabilities, uint8_t(0x40 + getpid() % 64));
        firmware.storedChanged();
        ASSERT_TRUE(firmware.save(dir_ + "/state"));
        char line[64];
        std::snprintf(line, sizeof line, "%s %04x %d 1\n", serial.c_str(), identity.productId, usbVariant);
        std::ofstream(dir_ + "/state/sensors") << line;
    }

    // Runs the program with the words given; returns its exit status, its output in *output.
    int run(const std::string& words, std::string* output) {
        // In a sanitizer build the preloaded library comes before the sanitizer's runtime, which
        // then has to be told that this order is intended.
        const char* asan = std::getenv("ASAN_OPTIONS");
        const std::string asanOptions = std::string(asan != nullptr && *asan != '\0' ? std::string(asan) + ":" : "") +
                                        "verify_asan_link_order=0";
        const std::string env = "TOV_SIM_USB_STATE=" + dir_ + "/state LD_PRELOAD=" + TOV_SIM_USB_PRELOAD_LIB +
                                " ASAN_OPTIONS=" + asanOptions;
        const std::string program = std::string(TOV_SENSOR_PROGRAM) + " " + words;
        std::string command;
        if (isolated_) {
            command = "unshare --mount sh -c 'mount --bind " + settings_ +
                      " /etc/TovanticPersistentData && exec env " + env + " " + program + "'";
        } else {
            command = "env " + env + " " + program;
        }
        command = "cd " + dir_ + " && timeout 120 " + command + " </dev/null >" + dir_ + "/out.txt 2>&1";
        const int raw = std::system(command.c_str());
        *output = slurp(dir_ + "/out.txt");
        return WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    }

    std::vector<uint8_t> storedOwnership(const std::string& serial) {
        simusb::Firmware firmware(serial, simusb::SensorSpec{}.productId, 0);
        if (!firmware.load(dir_ + "/state")) return {};
        return firmware.stored("ownership");
    }

    std::string dir_;
    std::string settings_;
    bool isolated_ = false;
};

TEST_F(SensorProgram, GateRefusesEveryOtherCommandLine) {
    struct Case {
        const char* words;
        const char* expected;
    };
    for (const Case& c : {Case{"getver -doinit", "Request failed\n"}, Case{"setowner", "Request failed\n"},
                          Case{"setowner nowait", "Request failed\n"}, Case{"", "\nUsage: "}}) {
        SCOPED_TRACE(c.words);
        std::string output;
        EXPECT_EQ(run(c.words, &output), 1);
        EXPECT_NE(output.find(c.expected), std::string::npos) << output;
        EXPECT_EQ(output.find("Press <enter>") != std::string::npos, std::string(c.words).size() > 0);
    }
}

TEST_F(SensorProgram, PasswordOwnershipOn421TakenAndReset) {
    prepare("CLI421", 21, 3, 0, 0);
    std::string output;
    // Word 2 of these command lines is "-doinit" itself, which is what goes as the password (so
    // both runs must spell it alike).
    EXPECT_EQ(run("setowner -doinit pw", &output), 0) << output;
    EXPECT_NE(output.find("Set Sensor Owner SUCCESS"), std::string::npos) << output;
    EXPECT_EQ(storedOwnership("CLI421"), std::vector<uint8_t>{1});
    // Spelt otherwise, the password is wrong: the sensor refuses and the tool says so.
    run("resetowner -DOINIT pw", &output);
    EXPECT_NE(output.find("FAILED to Reset Sensor Owner"), std::string::npos) << output;
    EXPECT_EQ(output.find("Reset Sensor Owner SUCCESS"), std::string::npos) << output;
    EXPECT_EQ(storedOwnership("CLI421"), std::vector<uint8_t>{1});
    EXPECT_EQ(run("resetowner -doinit pw nowait -time", &output), 0) << output;
    EXPECT_NE(output.find("Reset Sensor Owner SUCCESS"), std::string::npos) << output;
    EXPECT_NE(output.find("Execution time: "), std::string::npos) << output;
    EXPECT_EQ(storedOwnership("CLI421"), std::vector<uint8_t>{0});
}

TEST_F(SensorProgram, KeyOwnershipOn440TakenAndReset) {
    prepare("CLI440", 40, 5, 5, 0x10);
    std::string output;
    EXPECT_EQ(run("SETOWNER -DOINIT", &output), 0) << output;
    EXPECT_NE(output.find("Set Sensor Owner SUCCESS"), std::string::npos) << output;
    EXPECT_EQ(storedOwnership("CLI440"), std::vector<uint8_t>{2});
    EXPECT_EQ(run("resetowner -doinit -Time", &output), 0) << output;
    EXPECT_NE(output.find("Reset Sensor Owner SUCCESS"), std::string::npos) << output;
    EXPECT_NE(output.find("Execution time: "), std::string::npos) << "options are read in any case";
    EXPECT_EQ(storedOwnership("CLI440"), std::vector<uint8_t>{0});
}

// The README's example on a fresh state folder: the default virtual sensor is one a bare
// "setowner -doinit" pairs.
TEST_F(SensorProgram, ReadmeExamplePairsTheDefaultSensor) {
    std::string output;
    EXPECT_EQ(run("setowner -doinit", &output), 0) << output;
    EXPECT_NE(output.find("Set Sensor Owner SUCCESS"), std::string::npos) << output;
    EXPECT_NE(slurp(dir_ + "/state/sensors").find("SIM00001 0001 5 1"), std::string::npos);
    EXPECT_EQ(storedOwnership("SIM00001"), std::vector<uint8_t>{2});
    EXPECT_EQ(run("resetowner -doinit", &output), 0) << output;
    EXPECT_NE(output.find("Reset Sensor Owner SUCCESS"), std::string::npos) << output;
    EXPECT_EQ(storedOwnership("SIM00001"), std::vector<uint8_t>{0});
}

}  // namespace
