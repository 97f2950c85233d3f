// Every row of the tool's command table through its dispatcher (Execute, what the front end calls
// after its gate) against a virtual sensor of the kind the command is meant for: the line printed
// on success, the file written and the sensor's state afterwards; then the same command refused
// by the sensor gives the row's failure line.
#include "tests/tcs/sim_version.h"
#include "tests/tools/sensor/tool_session.h"
#include "tcs/handle_map.h"
#include "tools/sensor/diag.h"
#include "sim/swipe/synthetic_swipes.h"
#include "sim/usb/secure_channel.h"
#include "sim/usb/sha256.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <iterator>
#include <stdio_ext.h>
#include <memory>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

std::vector<uint8_t> readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void writeFile(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

// The sensors the commands are meant for, as their firmware reports itself.
enum class Kind {
    Plain440,  // 4.40 without a secured variant: the engineering and capture commands
    Rsa440,    // 4.40 secured by certificates (variant 5), provisioned, no owner yet
    Pwd421,    // 4.21 paired by password (variant 3), provisioned, no owner yet
    Clean421,  // 4.21 not yet provisioned, nor secured
    Swipe430,  // 4.30, the sensor the stack captures and reconstructs swipes from
};

// A patch file: a header naming its kind, then a vendor-signed image the virtual sensor takes.
std::vector<uint8_t> patchFile(const char* phase, const char* level = "3") {
    std::vector<uint8_t> body = {'T', 'P', 'A', 'T', 0x01, 0, 0, 0, 3, 0xC0, 0xDE};
    const simusb::Digest digest = simusb::sha256(body);
    std::vector<uint8_t> image = {2, 0, 0x00, 0x01};
    image.insert(image.end(), digest.begin(), digest.end());
    image.resize(4 + 256, 0);
    image.insert(image.end(), body.begin(), body.end());
    std::string header = std::string("FirmwareVersion = 4.40.*.*\nPatchLevel = ") + level + "\nPhase = " + phase + "\n";
    std::vector<uint8_t> file(header.begin(), header.end());
    file.push_back(0);
    file.push_back(0x1A);
    file.insert(file.end(), image.begin(), image.end());
    return file;
}

class CommandTable;

struct Row {
    std::vector<const char*> words;
    Kind kind;
    std::function<void(CommandTable&)> prepare;  // input files, earlier commands
    const char* success;                         // a line the success prints ("" when none)
    std::function<void(CommandTable&)> check;    // the file written, the sensor's state
    uint8_t refused;                             // the command the sensor refuses for the failure case
    const char* failure;                         // the row's failure line
    const char* missing = nullptr;               // a command the virtual sensor does not answer yet
    std::function<void(CommandTable&)> beforeRefusal = nullptr;
    int succeeds = 1;  // the handler's result on success
};

void PrintTo(const Row& row, std::ostream* out) { *out << row.words.front(); }

class CommandTable : public ::testing::TestWithParam<Row> {
public:
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(tool_.start("cli_table"));
        gNoWait = 1;
    }

    void TearDown() override {
        answer(nullptr);
        tool_.stop();
    }

    void plug(Kind kind) {
        simusb::SensorSpec spec;
        spec.serial = "SIM001";
        if (kind == Kind::Rsa440) spec.variant = 5;
        if (kind == Kind::Pwd421) spec.variant = 3;
        id_ = simusb::plug(spec);
        ASSERT_NE(id_, 0);
        std::vector<uint8_t> version;
        if (kind == Kind::Rsa440) version = simVersionRecord(40, 5, 0x10);
        if (kind == Kind::Pwd421 || kind == Kind::Clean421) version = simVersionRecord(21, 0, 0);
        if (kind == Kind::Swipe430) version = simVersionRecord(30, 0, 0);
        if (kind == Kind::Clean421) version[14] = 0;  // not provisioned: not ready to pair
        if (!version.empty()) simusb::setStoredState(id_, "version", version);
    }

    // Plugs a sensor of the kind and brings it up, as the gate's first command does.
    void bringUp(Kind kind) {
        ASSERT_NO_FATAL_FAILURE(plug(kind));
        std::string out;
        ASSERT_EQ(run({"getver"}, &out), 1) << out;
    }

    int run(std::vector<const char*> words, std::string* output) {
        const int result = tool_.run(words, output);
        last_ = *output;
        return result;
    }
    const std::string& lastOutput() const { return last_; }

    // After a command that resets the sensor (pairing, provisioning) the tool opens it again, as
    // the next run of the program would.
    void reopen() {
        DestroySensor();
        g_hSensor = 0;
        std::string out;
        ASSERT_EQ(run({"getver"}, &out), 1) << out;
    }

    // The sensor carries the swipe model's module (flex 14) and a finger: at the capture's prompt a
    // synthetic finger is swiped over it.
    void swipeAtPrompt() {
        const std::vector<uint32_t> words = synthswipe::timeslotWords();
        std::vector<uint8_t> reply(words.size() * 4);
        std::memcpy(reply.data(), words.data(), reply.size());
        simusb::setStoredState(id_, "configReply", reply);
        simusb::setStoredState(id_, "fingerState", {2, 0});
        gFlexId = 14;
        reopen();
        swipe_ = synthswipe::swipe(1, 1);
        ASSERT_EQ(tcsSensorEventsAddCallback(g_hSensor, onSensorEvent, this), TCS_RESULT_OK);
    }

    static TcsResult onSensorEvent(void*, void* context, EventRecord* event) {
        auto* self = static_cast<CommandTable*>(context);
        if (event->id == TCS_SENSOR_EVENT_SWIPE_NOW) {
            simusb::pushFingerprintData(self->id_, self->swipe_);
            ++self->swiped_;
        }
        return TCS_RESULT_OK;
    }

    std::vector<uint8_t> swipe_;
    std::atomic<int> swiped_{0};

    // Pairs the sensor by keys, then opens it again.
    void pair() {
        std::string out;
        ASSERT_EQ(run({"setowner"}, &out), 1) << out;
        reopen();
    }

    // What the prompts read from standard input ("y" to go on); nullptr puts stdin back.
    void answer(const char* text) {
        if (savedStdin_ >= 0) {
            dup2(savedStdin_, 0);
            close(savedStdin_);
            savedStdin_ = -1;
        }
        __fpurge(stdin);
        clearerr(stdin);
        if (text == nullptr) return;
        std::ofstream("answer.txt") << text;
        savedStdin_ = dup(0);
        const int fd = open("answer.txt", O_RDONLY);
        dup2(fd, 0);
        close(fd);
    }

    simusb::SensorId id_ = 0;

private:
    ToolSession tool_;
    std::string last_;
    int savedStdin_ = -1;
};

simusb::Reply refusal(std::span<const uint8_t>) { return simusb::Reply{0x0406, {}}; }

TEST_P(CommandTable, SucceedsThenFailsWithItsLine) {
    const Row& row = GetParam();
    if (row.missing != nullptr) GTEST_SKIP() << "the virtual sensor does not answer " << row.missing << " yet";
    plug(row.kind);
    if (HasFatalFailure()) return;
    std::string out;
    ASSERT_EQ(run({"getver"}, &out), 1) << out;  // brings the sensor up, as the gate's first command does
    if (row.prepare) row.prepare(*this);
    if (HasFatalFailure()) return;
    ASSERT_EQ(run(row.words, &out), row.succeeds) << out;
    EXPECT_NE(out.find(row.success), std::string::npos) << out;
    if (row.check) row.check(*this);

    // Some commands send nothing the sensor could refuse (their failure is the handler's own).
    if (row.refused == 0) return;
    if (row.beforeRefusal) row.beforeRefusal(*this);
    simusb::setCommandHook(row.refused, refusal);
    run(row.words, &out);
    simusb::setCommandHook(row.refused, nullptr);
    EXPECT_NE(out.find(row.failure), std::string::npos) << out;
}

// A wake-on-event parameter file: text, 0x1A, then the 56-byte set-up.
void writeWoeFile() {
    std::vector<uint8_t> file = {'w', 'o', 'e', 0x1A};
    file.resize(4 + 56, 0x11);
    writeFile("woe.cfg", file);
}

// Rows of one shape: a report that prints a line and changes nothing.
Row report(std::vector<const char*> words, Kind kind, const char* success, uint8_t refused, const char* failure) {
    return Row{std::move(words), kind, nullptr, success, nullptr, refused, failure};
}

const std::vector<uint8_t> kVersionCommand = {0x01};
const std::vector<uint8_t> kAuthData = {'t', 'o', 'k', 'e', 'n', 0, 1, 2, 3, 0xFE, 0xFF};

std::vector<Row> rows() {
    std::vector<Row> r;
    for (const char* w : {"ver", "getver"}) {
        r.push_back(report({w}, Kind::Plain440, "Sensor Version 04.40", 0x01, "GetVersion failed with status -  "));
    }
    for (const char* w : {"res", "reset"}) {
        r.push_back(Row{{w, "5"}, Kind::Plain440, nullptr, "Sensor Reset\n",
                        [](CommandTable& t) {
                            EXPECT_EQ(simusb::storedState(t.id_, "version").size(), 0u);
                        },
                        0x05, "reset failed with status - "});
    }
    r.push_back(report({"peek", "0x20001000"}, Kind::Plain440, "0x00000000\n", 0x07, "peek failed with status - "));
    r.push_back(Row{{"poke", "0x20001000", "0x11223344"}, Kind::Plain440, nullptr, "Poke was successful\n",
                    [](CommandTable& t) {
                        std::string out;
                        ASSERT_EQ(t.run({"peek", "0x20001000"}, &out), 1);
                        EXPECT_EQ(out, "0x11223344\n");
                    },
                    0x08, "poke failed with status - "});
    for (const char* w : {"getpr", "getprint"}) {
        r.push_back(Row{{w, "16"}, Kind::Plain440, nullptr, "",
                        [](CommandTable&) { EXPECT_FALSE(readFile("FingerPrint.bin").empty()); }, 0x02,
                        "getPrint failed with status - "});
    }
    for (const char* w : {"stop", "stopprint"}) {
        // Nothing is sent while no capture runs.
        r.push_back(report({w}, Kind::Plain440, "Print stopped\n", 0, ""));
    }
    for (const char* w : {"unl", "unloadpatch"}) {
        r.push_back(Row{{w}, Kind::Plain440, nullptr, "",
                        [](CommandTable& t) { EXPECT_TRUE(simusb::transientState(t.id_, "patch").empty()); }, 0x1A,
                        "Return status = 0x0406"});
    }
    r.push_back(Row{{"patch", "test.patch"}, Kind::Plain440,
                    [](CommandTable&) {
                        writeFile("test.patch", patchFile("1"));
                    },
                    "Patch was successful\n",
                    [](CommandTable& t) {
                        EXPECT_EQ(simusb::transientState(t.id_, "patch"), (std::vector<uint8_t>{1, 0, 0, 0, 3}));
                    },
                    0x06, "Patch failed with status - ", nullptr,
                    [](CommandTable& t) {
                        std::string out;
                        ASSERT_EQ(t.run({"unl"}, &out), 1) << out;  // so that the patch is sent again
                        // A patch of another kind, which the host must send.
                        std::vector<uint8_t> file = patchFile("2");
                        writeFile("test.patch", file);
                    }});
    r.push_back(Row{{"script", "run.bat"}, Kind::Plain440,
                    [](CommandTable&) { std::ofstream("run.bat") << "sensor poke 0x20002000 0x5A\n"; },
                    "sensor poke 0x20002000 0x5A", nullptr, 0x08, "poke failed with status - "});
    r.push_back(Row{{"send", "cmd.bin", "rep.bin", "38"}, Kind::Plain440,
                    [](CommandTable&) { writeFile("cmd.bin", kVersionCommand); }, "Command succeeded.\n",
                    [](CommandTable&) {
                        const std::vector<uint8_t> reply = readFile("rep.bin");
                        ASSERT_EQ(reply.size(), 38u);
                        EXPECT_EQ(reply[10], 4);
                        EXPECT_EQ(reply[11], 40);
                    },
                    0x01, "Command failed.\n"});
    r.push_back(Row{{"gpio"}, Kind::Plain440, nullptr, "ALT    DIR", nullptr, 0x0D, "Return status = 0x0406\n"});
    for (const char* w : {"getf", "getfstate"}) {
        r.push_back(report({w}, Kind::Plain440, "status         accumwoe\n", 0x17, "Return status = 0x0406"));
    }
    // A get-print command of 10 lines of 200 bytes: the lines the sensor sends land in the print file.
    r.push_back(Row{{"bulk", "cmd.bin", "rep.bin"}, Kind::Plain440,
                    [](CommandTable&) { writeFile("cmd.bin", {0x02, 200, 0, 10, 0}); }, "Command succeeded.\n",
                    [](CommandTable&) {
                        const std::vector<uint8_t> print = readFile("FingerPrint.bin");
                        ASSERT_EQ(print.size(), 2000u);
                        EXPECT_EQ(std::vector<uint8_t>(print.begin() + 200, print.begin() + 204),
                                  (std::vector<uint8_t>{1, 1, 10, 0})) << "the second line's header, 10 ticks on";
                    },
                    // A refused get print sends no lines: the handler stops after naming the sizes.
                    0x02, "NumLines = 10, LineLength = 200\n"});
    for (const char* w : {"spi", "spitrans"}) {
        r.push_back(Row{{w, "cmd.bin", "rep.bin"}, Kind::Plain440,
                        [](CommandTable&) { writeFile("cmd.bin", {0x9F, 0, 0, 0}); }, "Command sent.\n",
                        [](CommandTable&) { EXPECT_EQ(readFile("rep.bin").size(), 4u); }, 0x0B, "failed with status - "});
    }
    r.push_back(Row{{"spibulkread", "512", "-addr", "0"}, Kind::Plain440, nullptr, "Read 512 bytes.\n",
                    [](CommandTable& t) {
                        const std::vector<uint8_t> flash = simusb::storedState(t.id_, "flash");
                        const std::vector<uint8_t> read = readFile("reply.bin");
                        ASSERT_EQ(read.size(), 512u);
                        if (flash.size() >= 512) {
                            EXPECT_TRUE(std::equal(read.begin(), read.end(), flash.begin()));
                        }
                    },
                    0x1F, "Command execution failed.\n"});
    r.push_back(Row{{"spiflashwrite", "-erase"}, Kind::Clean421,
                    [](CommandTable& t) { simusb::setStoredState(t.id_, "flash", std::vector<uint8_t>(1 << 20, 0x00)); },
                    "done.\n",
                    [](CommandTable& t) {
                        const std::vector<uint8_t> flash = simusb::storedState(t.id_, "flash");
                        EXPECT_TRUE(std::all_of(flash.begin(), flash.end(), [](uint8_t b) { return b == 0xFF; }));
                    },
                    0x0B, "Unable to execute initial write enable.\n"});
    r.push_back(report({"setclk", "1", "2"}, Kind::Plain440, "Command succeeded.\n", 0x13, "Command failed with status"));
    r.push_back(Row{{"readram", "ram.bin", "8", "0x20001000"}, Kind::Plain440, nullptr, "",
                    [](CommandTable&) { EXPECT_EQ(readFile("ram.bin").size(), 8u); }, 0x07, "Peek failed at address"});
    r.push_back(report({"setrefclk", "1", "2", "3", "4", "5"}, Kind::Plain440, "\"Ref Clock\" command send successfully",
                       0x09, "Send \"Ref Clock\" command failed with status - "));
    // Entered after a set-up, as the sensor requires.
    r.push_back(Row{{"woeenter", "1"}, Kind::Plain440,
                    [](CommandTable& t) {
                        writeWoeFile();
                        std::string out;
                        ASSERT_EQ(t.run({"woesetup", "woe.cfg"}, &out), 1) << out;
                    },
                    "Force low power mode\n",
                    [](CommandTable& t) { EXPECT_FALSE(simusb::transientState(t.id_, "woeArmed").empty()); }, 0x0C,
                    "Force low power mode failed with status - "});
    r.push_back(report({"getstartinfo"}, Kind::Plain440, "Get start info success values are\n", 0x19,
                       "Get start info failed with status - "));
    r.push_back(Row{{"woesetup", "woe.cfg"}, Kind::Plain440,
                    [](CommandTable&) { writeWoeFile(); },
                    "WOE Setup was successful\n",
                    [](CommandTable& t) {
                        EXPECT_EQ(simusb::transientState(t.id_, "woeSetup"), std::vector<uint8_t>(56, 0x11));
                    },
                    0x12, "WOE Setup failed with status - "});
    r.push_back(report({"getconfig"}, Kind::Plain440, "Get configuration was successful\n", 0x02,
                       "Get configuration failed  failed with status - "));
    r.push_back(report({"setspimode", "2"}, Kind::Plain440, "Set SPI mode success\n", 0x0A, "Set SPI mode failed"));
    r.push_back(Row{{"getprintwait"}, Kind::Swipe430, [](CommandTable& t) { t.swipeAtPrompt(); }, "",
                    [](CommandTable& t) { EXPECT_EQ(t.swiped_.load(), 1) << "one swipe made the image"; }, 0x02,
                    "tcsTestSensorGetFingerprint failed.\n"});
    for (const char* w : {"cal", "calibrate"}) {
        r.push_back(report({w, "2"}, Kind::Plain440, "Sensor is calibrated\n", 0x02, "calibrate failed with status - "));
    }
    r.push_back(report({"flashinfo"}, Kind::Plain440, "Sensor Flash Info:\n", 0x0B,
                       "tcsTestGetFlashMemoryInfo failed with status - "));
    r.push_back(Row{{"provision"}, Kind::Clean421, nullptr, "Sensor provisioning SUCCEEDED\n",
                    [](CommandTable& t) {
                        EXPECT_EQ(simusb::storedState(t.id_, "provisioned"), std::vector<uint8_t>{1});
                        EXPECT_EQ(simusb::storedState(t.id_, "otp")[1] & 1, 1);
                    },
                    0x0E, "tcsTestSensorProvision failed.\n", nullptr, [](CommandTable& t) {
                        // A clean sensor again (its OTP keeps what was programmed), opened after its reset.
                        simusb::setStoredState(t.id_, "provisioned", {});
                        simusb::setStoredState(t.id_, "ownership", {});
                        t.reopen();
                    }});
    r.push_back(Row{{"setowner"}, Kind::Rsa440, nullptr, "Set Sensor Owner SUCCESS",
                    [](CommandTable& t) { EXPECT_EQ(simusb::storedState(t.id_, "ownership"), std::vector<uint8_t>{2}); },
                    0x2C, "FAILED to Set Sensor Owner.  \n", nullptr, [](CommandTable& t) { t.reopen(); }});
    r.push_back(Row{{"setowner_sim"}, Kind::Pwd421, nullptr, "Set Sensor Owner SUCCESS",
                    [](CommandTable& t) { EXPECT_EQ(simusb::storedState(t.id_, "ownership"), std::vector<uint8_t>{1}); },
                    // The success ends with a reset: the refusal waits for the sensor to come back.
                    0x0F, "FAILED to Set Sensor Owner.  \n", nullptr, [](CommandTable& t) { t.reopen(); }});
    // Inside the secure session the command cannot be told from the outside: the sensor refuses
    // with no ownership cycle left.
    r.push_back(Row{{"resetowner"}, Kind::Rsa440, [](CommandTable& t) { t.pair(); }, "Reset Sensor Owner SUCCESS",
                    [](CommandTable& t) {
                        EXPECT_EQ(simusb::storedState(t.id_, "ownership"), std::vector<uint8_t>{0});
                        EXPECT_EQ(simusb::storedState(t.id_, "ownership.cycles"), (std::vector<uint8_t>{5, 0, 4, 0}));
                    },
                    0x10, "FAILED to Reset Sensor Owner.  \n", nullptr, [](CommandTable& t) {
                        t.reopen();
                        t.pair();
                        simusb::setStoredState(t.id_, "ownership.cycles", {5, 0, 0, 0});
                    }});
    // Disabled: it says so and sends nothing.
    r.push_back(Row{{"decomm"}, Kind::Rsa440, nullptr, "This command is currently disabled \n", nullptr, 0, ""});
    r.back().succeeds = 0;
    r.push_back(Row{{"lock"}, Kind::Plain440, nullptr, "Sensor locking  SUCCEEDED \n",
                    [](CommandTable& t) { EXPECT_EQ(simusb::transientState(t.id_, "locked"), std::vector<uint8_t>{1}); },
                    0x1B, "FAILED to lock sensor \n"});
    r.push_back(report({"sensorstat"}, Kind::Rsa440, "Current sensor is", 0, ""));
    r.push_back(report({"sslstat"}, Kind::Rsa440, "SSL connection is", 0, ""));
    // The sensor signs a capture whose security record carries a signing key: an encrypted one.
    r.push_back(Row{{"getsignature"}, Kind::Rsa440,
                    [](CommandTable& t) {
                        t.pair();
                        std::string out;
                        ASSERT_EQ(t.run({"getprint", "16", "enc"}, &out), 1) << out;
                    },
                    "Hash Type: ",
                    [](CommandTable& t) {
                        EXPECT_EQ(simusb::transientState(t.id_, "printSignature").size(), 33u);
                    },
                    0x03, "FAILED to get print signature with status - ", nullptr, [](CommandTable& t) {
                        // Inside the secure session: the sensor refuses once a reset lost the signature.
                        std::string out;
                        ASSERT_EQ(t.run({"reset", "5"}, &out), 1) << out;
                    }});
    r.push_back(Row{{"read_otp"}, Kind::Plain440, nullptr, "\n OTP read SUCCESS  \n",
                    [](CommandTable& t) { EXPECT_EQ(readFile("otp.bin"), simusb::storedState(t.id_, "otp")); }, 0x22,
                    "FAILED to Read OTP.  \n"});
    r.push_back(Row{{"set_prod_opts", "-smatch", "-led"}, Kind::Plain440, nullptr, "Verification succeeded.\n",
                    [](CommandTable& t) { EXPECT_EQ(simusb::storedState(t.id_, "otp")[3], 0x05); }, 0x22,
                    "FAILED to Read OTP.  \n"});
    r.push_back(report({"get_ownership_info"}, Kind::Pwd421, "Total cycles number: 5 \n", 0x26,
                       "FAILED to Get Ownership Info \n"));
    // A sensor whose serial is not programmed yet.
    r.push_back(Row{{"serialize", "0123456789AB"}, Kind::Plain440,
                    [](CommandTable& t) {
                        simusb::setStoredState(t.id_, "otp", std::vector<uint8_t>(128, 0));
                        t.answer("y");
                    },
                    "Sensor serial number programmed successfully.\n",
                    [](CommandTable& t) {
                        const std::vector<uint8_t> otp = simusb::storedState(t.id_, "otp");
                        ASSERT_EQ(otp.size(), 128u);
                        // OTP bits are only set: the new serial ORed over the one programmed before.
                        const uint8_t wanted[6] = {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB};
                        for (int i = 0; i < 6; ++i) EXPECT_EQ(otp[8 + i] & wanted[i], wanted[i]) << i;
                    },
                    0x22, "FAILED to Read OTP.  \n"});
    // Only a sensor paired by keys holds a certificate: the modulus printed is the sensor's.
    r.push_back(Row{{"get_cert"}, Kind::Rsa440, [](CommandTable& t) { t.pair(); }, "Get Certificate  SUCCESS \n",
                    [](CommandTable& t) {
                        std::string hex;
                        char byte[4];
                        for (uint8_t b : simusb::sensorCertificate()) {
                            std::snprintf(byte, sizeof byte, "%02x ", b);
                            hex += byte;
                        }
                        EXPECT_NE(t.lastOutput().find("\n modulus: \n\t" + hex + "\n"), std::string::npos);
                        EXPECT_NE(t.lastOutput().find("Key length: 256 \npub_exp: 65537 \n"), std::string::npos);
                    },
                    // Inside the secure session: the sensor refuses once it forgets its key pairing.
                    0x29, "FAILED to Get Certificate \n", nullptr,
                    [](CommandTable& t) { simusb::setStoredState(t.id_, "ssl.rsa", {}); }});
    // The file holds data the sensor wrapped; sent without a key, the sensor gives the data back.
    r.push_back(Row{{"get_auth_data"}, Kind::Rsa440,
                    [](CommandTable& t) {
                        t.pair();
                        std::vector<uint8_t> wrapped(48 + 64);
                        uint32_t length = uint32_t(wrapped.size());
                        ASSERT_EQ(tcsTestSensorSignEncTemplateData(g_hSensor, uint32_t(kAuthData.size()),
                                                                   kAuthData.data(), 0, nullptr, wrapped.data(),
                                                                   &length),
                                  TCS_RESULT_OK);
                        wrapped.resize(length);
                        writeFile("auth_data.bin", wrapped);
                    },
                    "PASSED to Get Auth Data \n",
                    [](CommandTable& t) {
                        EXPECT_EQ(readFile("auth_token.bin"), kAuthData);
                        // A block the sensor did not wrap is refused.
                        writeFile("auth_data.bin", std::vector<uint8_t>(64, 0x5A));
                        std::string out;
                        EXPECT_EQ(t.run({"get_auth_data"}, &out), 0);
                        EXPECT_EQ(out, "FAILED to Get Auth Data \n");
                    },
                    0x2B, "FAILED to Get Auth Data \n"});
    r.push_back(Row{{"setowner_with_keys"}, Kind::Rsa440, nullptr, "Set Sensor Owner SUCCESS",
                    [](CommandTable& t) { EXPECT_EQ(simusb::storedState(t.id_, "ownership"), std::vector<uint8_t>{2}); },
                    0x2C, "FAILED to Set Sensor Owner.  \n", nullptr, [](CommandTable& t) { t.reopen(); }});
    r.push_back(report({"getuid"}, Kind::Plain440, " Vendor  ID: ", 0x27, "FAILED to get print signature with status - "));
    r.push_back(Row{{"genvck", "vck.bin"}, Kind::Plain440, nullptr, "",
                    [](CommandTable& t) { EXPECT_EQ(readFile("vck.bin"), simusb::storedState(t.id_, "vck")); }, 0x2F,
                    "Reply too short (2 bytes) -- does not include encrypted VCK seed\n"});
    // The conversion needs a key-and-IV test patch (kind 4096 on 4.40) that the built-in test
    // patches do not hold: a sensor converted already is what succeeds.
    r.push_back(Row{{"makeprod"}, Kind::Plain440,
                    [](CommandTable& t) {
                        std::vector<uint8_t> otp(128, 0);
                        otp[1] = 0x20;
                        simusb::setStoredState(t.id_, "otp", otp);
                    },
                    "The sensor is already production sensor.\n", nullptr, 0x22, "FAILED to Read OTP.\n"});
    return r;
}

std::string rowName(const ::testing::TestParamInfo<Row>& info) {
    std::string name = std::to_string(info.index) + "_";
    for (char c : std::string(info.param.words.front())) name += std::isalnum(uint8_t(c)) ? c : '_';
    return name;
}

INSTANTIATE_TEST_SUITE_P(Rows, CommandTable, ::testing::ValuesIn(rows()), rowName);

// The table has as many rows as the tool has commands: a new command needs a row here too.
TEST(CommandTableRows, EveryCommandHasARow) {
    EXPECT_EQ(rows().size(), size_t(kFunctionCount));
    const std::vector<Row> all = rows();
    for (size_t i = 0; i < all.size() && i < size_t(kFunctionCount); ++i) {
        EXPECT_STREQ(all[i].words.front(), FunctionList[i].name) << i;
    }
}

}  // namespace

namespace {

class ToolCommands : public CommandTable {};

// The raw capture end to end: the print file holds, line by line, the scan lines the sensor sent.
TEST_F(ToolCommands, GetPrintWritesTheLinesTheSensorSent) {
    plug(Kind::Plain440);
    std::string out;
    ASSERT_EQ(run({"getprint", "16"}, &out), 1) << out;
    const size_t lineLength = readFile("FingerPrint.bin").size() / 16;
    ASSERT_GT(lineLength, 8u);

    // A second tool run, as a user would start it: the first capture's end may still be under way.
    reopen();
    // A swipe of our own: the sensor answers the get print and sends these lines.
    std::vector<uint8_t> swipe(lineLength * 16);
    for (size_t i = 0; i < swipe.size(); ++i) swipe[i] = uint8_t(i * 7 + i / lineLength);
    simusb::setCommandHook(0x02, [](std::span<const uint8_t>) { return simusb::Reply{}; });
    simusb::pushFingerprintData(id_, swipe);
    const int result = run({"getprint", "16"}, &out);
    simusb::setCommandHook(0x02, nullptr);
    ASSERT_EQ(result, 1) << out;
    EXPECT_EQ(readFile("FingerPrint.bin"), swipe);
    std::ifstream csv("FingerPrint.csv");
    std::string first;
    std::getline(csv, first);
    EXPECT_EQ(first.substr(0, 15), "000, 007, 014, ") << "the first line as text";
}

// A swiped image as a bitmap: the header with the file's size, then the image's rows, each padded
// to four bytes.
TEST_F(ToolCommands, SwipedImageAsBitmap) {
    ASSERT_NO_FATAL_FAILURE(bringUp(Kind::Swipe430));
    swipeAtPrompt();
    if (HasFatalFailure()) return;
    TcsHandle image = 0;
    ASSERT_EQ(tcsTestSensorGetFingerprint(g_hSensor, &image, TCS_TEST_DEFAULT_CONFIG, nullptr, 1, 60000),
              TCS_RESULT_OK);
    const std::unique_ptr<void, void (*)(void*)> release(reinterpret_cast<void*>(uintptr_t(image)), [](void* h) {
        tcsHandleDestroy(uint64_t(uintptr_t(h)));
    });
    const uint32_t rows = tcsImageGetRows(image), columns = tcsImageGetColumns(image);
    ASSERT_GT(rows * columns, 0u);
    std::vector<uint8_t> pixels(rows * columns);
    ASSERT_EQ(tcsImageGetData(image, pixels.data(), uint32_t(pixels.size())), TCS_RESULT_OK);
    uint32_t size = 0;
    ASSERT_EQ(tcsTestImageToBitmapBits(image, nullptr, &size), TCS_RESULT_OK);
    const uint32_t stride = (columns + 3) / 4 * 4;
    ASSERT_EQ(size, 1078u + stride * rows);
    std::vector<uint8_t> bmp(size);
    ASSERT_EQ(tcsTestImageToBitmapBits(image, bmp.data(), &size), TCS_RESULT_OK);
    EXPECT_EQ(bmp[0], 'B');
    EXPECT_EQ(bmp[1], 'M');
    EXPECT_EQ(uint32_t(bmp[2] | bmp[3] << 8 | bmp[4] << 16 | bmp[5] << 24), size);
    EXPECT_TRUE(std::equal(pixels.begin(), pixels.begin() + columns, bmp.begin() + 1078)) << "the first row";
    EXPECT_EQ(tcsTestImageToBitmapBits(image, bmp.data(), nullptr), 40u);
}

// "write_otp" has no row (the word is refused), but its handler programs the OTP file: bits are only
// ever set, and a file shorter than the area programs nothing.
TEST_F(ToolCommands, OtpWriteProgramsTheFileOrNothing) {
    ASSERT_NO_FATAL_FAILURE(bringUp(Kind::Plain440));
    std::vector<uint8_t> before(128, 0);
    before[40] = 0x0F;
    simusb::setStoredState(id_, "otp", before);
    std::vector<uint8_t> image(128, 0);
    image[40] = 0xF0;
    image[41] = 0x81;
    writeFile("otp.bin", image);
    char word[] = "write_otp";
    char* argv[] = {word, nullptr};
    testing::internal::CaptureStdout();
    EXPECT_EQ(SensorOtpWrite(1, argv), 1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "\n OTP write SUCCESS  \n");
    const std::vector<uint8_t> otp = simusb::storedState(id_, "otp");
    ASSERT_EQ(otp.size(), 128u);
    EXPECT_EQ(otp[40], 0xFF);
    EXPECT_EQ(otp[41], 0x81);

    image.resize(100);
    image[50] = 0xFF;
    writeFile("otp.bin", image);
    testing::internal::CaptureStdout();
    EXPECT_EQ(SensorOtpWrite(1, argv), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "FAILED to Write OTP.  \n");
    EXPECT_EQ(simusb::storedState(id_, "otp")[50], 0);
}

// The simulated ownership of a 4.40 sensor stores the host keys for its session and removes them
// again; an ownership that fails after they were stored ends with the failure line.
TEST_F(ToolCommands, SimulatedOwnershipFailureIsReported) {
    plug(Kind::Rsa440);
    std::string out;
    ASSERT_EQ(run({"getver"}, &out), 1) << out;
    writeFile("ha_pub_mod.bin", std::vector<uint8_t>(128, 0x41));
    writeFile("ha_priv_blob.bin", std::vector<uint8_t>(64, 0x42));
    simusb::setCommandHook(0x06, refusal);  // the ownership patch is refused
    const int result = run({"setowner_sim"}, &out);
    simusb::setCommandHook(0x06, nullptr);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(out, "FAILED to Set Sensor Owner.  \n");
}

// The client the tool's start-up recorded is the stack's client, not the sensor.
TEST_F(ToolCommands, ClientHandleIsTheStacksClient) {
    ASSERT_NO_FATAL_FAILURE(bringUp(Kind::Plain440));
    const TcsHandle client = GetClientHandle();
    ASSERT_NE(client, 0u);
    EXPECT_NE(client, g_hSensor);
    void* object = nullptr;
    EXPECT_EQ(tcsSafeClientHandleFetch(client, &object), TCS_RESULT_OK);
    EXPECT_NE(object, nullptr);
    HandleType kind = TCS_HANDLE_TYPE_COUNT;
    ASSERT_EQ(_tcsSafeHandleTypeGet(client, &kind), TCS_RESULT_OK);
    EXPECT_EQ(kind, TCS_HANDLE_TYPE_CLIENT);
}

// "patch -createonly" writes the command that would download the file's patch, and sends nothing.
TEST_F(ToolCommands, PatchCommandFileWithoutSending) {
    ASSERT_NO_FATAL_FAILURE(bringUp(Kind::Plain440));
    const std::vector<uint8_t> file = patchFile("1");
    writeFile("test.patch", file);
    const uint8_t separator[2] = {0, 0x1A};
    const auto data = std::search(file.begin(), file.end(), separator, separator + 2) + 2;
    std::vector<uint8_t> command = {6};
    command.insert(command.end(), data, file.end());
    simusb::clearCommandLog(id_);
    std::string out;
    ASSERT_EQ(run({"patch", "test.patch", "-createonly"}, &out), 1) << out;
    EXPECT_EQ(out, "Patch command file is successfully created: test.patch.bin.\n");
    EXPECT_EQ(readFile("test.patch.bin"), command);
    for (const auto& c : simusb::commandLog(id_)) EXPECT_NE(c.at(0), 0x06) << "no patch sent";
    EXPECT_EQ(run({"patch", "missing.patch", "-createonly"}, &out), 0);
    EXPECT_EQ(out.rfind("Patch command creation failed with status - ", 0), 0u) << out;
}

// Converting an engineering 4.40 sensor: only a 'y' programs the production bit, which then stays.
// The key-and-IV step needs a test patch (kind 4096 on 4.40) that the built-in list lacks, so the
// conversion ends with its failure line although the bit was programmed.
TEST_F(ToolCommands, MakeProdProgramsTheProductionBitOnlyWhenConfirmed) {
    ASSERT_NO_FATAL_FAILURE(bringUp(Kind::Plain440));
    std::vector<uint8_t> engineering(128, 0);
    engineering[3] = 0x05;  // product options
    engineering[8] = 0x31;  // serial
    simusb::setStoredState(id_, "otp", engineering);
    struct Case {
        const char* answer;
        int result;
        const char* last;  // the last line printed
        bool programmed;
    };
    for (const Case& c : {Case{"n", 1, "Are you sure you want to convert?  [y/n] ", false},
                          Case{"y", 0, "Failed to convert engineering sensor to production.\n", true}}) {
        SCOPED_TRACE(c.answer);
        answer(c.answer);
        std::string out;
        EXPECT_EQ(run({"makeprod"}, &out), c.result) << out;
        answer(nullptr);
        EXPECT_NE(out.find("This procedure is irreversible.\n"), std::string::npos) << out;
        ASSERT_GE(out.size(), std::strlen(c.last));
        EXPECT_EQ(out.substr(out.size() - std::strlen(c.last)), c.last);
        std::vector<uint8_t> expected = engineering;
        if (c.programmed) expected[1] |= 0x20;
        EXPECT_EQ(simusb::storedState(id_, "otp"), expected);
    }
    std::string out;
    EXPECT_EQ(run({"makeprod"}, &out), 1);
    EXPECT_EQ(out, "The sensor is already production sensor.\n");
}

}  // namespace

namespace {

class SecuredSensor : public CommandTable {};

// A sensor paired by keys, through the diagnostic layer: its certificate checks against its maker's
// key and a changed one does not; data it wrapped come back only through it; the secure session
// closes and opens again.
TEST_F(SecuredSensor, CertificateWrappedDataAndSession) {
    ASSERT_NO_FATAL_FAILURE(bringUp(Kind::Rsa440));
    pair();
    if (HasFatalFailure()) return;
    uint32_t flag = 0;
    ASSERT_EQ(tcsTestSensorIsRsaSecured(g_hSensor, &flag), TCS_RESULT_OK);
    EXPECT_EQ(flag, 1u);
    EXPECT_EQ(tcsTestSensorEnablePatchSignatureCaching(g_hSensor, 1), TCS_RESULT_OK) << "an RSA-secured sensor";

    uint32_t keyLength = 0, exponent = 0;
    uint8_t modulus[256] = {}, signature[256] = {};
    ASSERT_EQ(tcsTestSensorGetCertificate(g_hSensor, &keyLength, &exponent, modulus, signature), TCS_RESULT_OK);
    EXPECT_EQ(tcsTestSensorValidateCertificate(g_hSensor, sizeof modulus, modulus, signature), TCS_RESULT_OK);
    modulus[17] ^= 1;
    EXPECT_NE(tcsTestSensorValidateCertificate(g_hSensor, sizeof modulus, modulus, signature), TCS_RESULT_OK);

    const std::vector<uint8_t> templ(40, 0x33), key(32, 0x44);
    std::vector<uint8_t> wrapped(40 + 32 + 64);
    uint32_t length = uint32_t(wrapped.size());
    ASSERT_EQ(tcsTestSensorSignEncTemplateData(g_hSensor, uint32_t(templ.size()), templ.data(), uint32_t(key.size()),
                                               key.data(), wrapped.data(), &length),
              TCS_RESULT_OK);
    wrapped.resize(length);
    EXPECT_EQ(std::search(wrapped.begin(), wrapped.end(), templ.begin(), templ.begin() + 16), wrapped.end())
        << "the template is not in the wrap in plain";
    std::vector<uint8_t> first(256), second(256), field(64), value(32, 0x55);
    uint32_t firstLength = uint32_t(first.size()), secondLength = uint32_t(second.size());
    ASSERT_EQ(tcsTestSensorDecVerifyTemplateData(g_hSensor, length, wrapped.data(), uint32_t(field.size()), field.data(),
                                                 value.data(), first.data(), &firstLength, second.data(),
                                                 &secondLength),
              TCS_RESULT_OK);
    EXPECT_EQ(std::vector<uint8_t>(first.begin(), first.begin() + firstLength), templ);
    EXPECT_EQ(std::vector<uint8_t>(second.begin(), second.begin() + secondLength), key);
    std::vector<uint8_t> result(256);
    uint32_t resultLength = uint32_t(result.size());
    EXPECT_EQ(tcsTestSensorMatchVerify(g_hSensor, length, wrapped.data(), value.data(), result.data(), &resultLength),
              TCS_RESULT_OK);
    wrapped[20] ^= 1;
    firstLength = uint32_t(first.size());
    secondLength = uint32_t(second.size());
    EXPECT_NE(tcsTestSensorDecVerifyTemplateData(g_hSensor, length, wrapped.data(), uint32_t(field.size()), field.data(),
                                                 value.data(), first.data(), &firstLength, second.data(),
                                                 &secondLength),
              TCS_RESULT_OK);

    ASSERT_EQ(tcsTestStopSSLSession(g_hSensor, 1), TCS_RESULT_OK);
    ASSERT_EQ(tcsTestIsInSecureSession(g_hSensor, &flag), TCS_RESULT_OK);
    EXPECT_EQ(flag, 0u);
    ASSERT_EQ(tcsTestEstablishSSLSession(g_hSensor), TCS_RESULT_OK);
    ASSERT_EQ(tcsTestIsInSecureSession(g_hSensor, &flag), TCS_RESULT_OK);
    EXPECT_EQ(flag, 1u);
}

}  // namespace
