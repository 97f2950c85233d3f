// Virtual sensor ownership commands: pairing by password and by keys, the reset against its cycle
// count, the counters, the pairing flag of the version record and the state kept across runs.
#include "sim/usb/firmware.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

Bytes passwordRequest(uint8_t code, const std::string& password, size_t extra = 0) {
    Bytes b(2 + 64 + extra, 0);
    b[0] = code;
    b[1] = uint8_t(password.size());
    std::copy(password.begin(), password.end(), b.begin() + 2);
    return b;
}

Bytes keyBlock(uint16_t mask) {
    Bytes b(845, 0);
    b[0] = 0x2C;
    b[1] = uint8_t(mask);
    b[2] = uint8_t(mask >> 8);
    return b;
}

// A reset of a password pairing: the password and the second value the pairing handed out.
Bytes resetRequest(const std::string& password, const Bytes& value2) {
    Bytes b = passwordRequest(0x10, password, 32);
    std::copy(value2.begin(), value2.end(), b.begin() + 2 + 64);
    return b;
}

uint8_t pairingFlag(simusb::Firmware& fw) { return fw.handle(Bytes{0x01}).payload[14] & 0x80; }

TEST(SimOwnership, PasswordPairingAndResetSpendACycle) {
    simusb::Firmware fw("SIM00001", 0x0001, 2);
    EXPECT_EQ(pairingFlag(fw), 0x80);
    simusb::Reply info = fw.handle(Bytes{0x26});
    ASSERT_EQ(info.payload.size(), 4u);
    EXPECT_EQ(info.payload, (Bytes{5, 0, 5, 0}));

    simusb::Reply taken = fw.handle(passwordRequest(0x0F, "secret"));
    ASSERT_EQ(taken.status, 0);
    ASSERT_EQ(taken.payload.size(), 64u);
    EXPECT_EQ(fw.stored("sharedSecret1"), Bytes(taken.payload.begin(), taken.payload.begin() + 32))
        << "the first half is the secure channel's shared secret";
    EXPECT_EQ(pairingFlag(fw), 0);
    EXPECT_EQ(fw.handle(passwordRequest(0x0F, "secret")).status, 0x0404) << "already paired";

    const Bytes value2(taken.payload.begin() + 32, taken.payload.end());
    EXPECT_EQ(fw.handle(resetRequest("wrong", value2)).status, 0x0403);
    EXPECT_EQ(fw.handle(passwordRequest(0x10, "secret", 32)).status, 0x0403) << "the right password alone";
    EXPECT_EQ(fw.handle(resetRequest("secret", value2)).status, 0);
    EXPECT_TRUE(fw.stored("sharedSecret1").empty());
    EXPECT_EQ(pairingFlag(fw), 0x80);
    EXPECT_EQ(fw.handle(Bytes{0x26}).payload, (Bytes{5, 0, 4, 0}));
    EXPECT_EQ(fw.handle(resetRequest("secret", value2)).status, 0x0404) << "nothing to reset";
}

// Lock holds the security state until the sensor loses power: no pairing and no reset meanwhile.
TEST(SimOwnership, LockHoldsTheStateUntilPowerIsLost) {
    simusb::Firmware fw("SIM00001", 0x0001, 3);
    EXPECT_EQ(fw.handle(Bytes{0x1B}).status, 0);
    EXPECT_EQ(fw.handle(Bytes{0x1B}).status, 0) << "locking again";
    EXPECT_EQ(fw.handle(passwordRequest(0x0F, "secret")).status, 0x0404);
    EXPECT_EQ(fw.handle(keyBlock(16)).status, 0x0404);
    fw.powerCycle();
    simusb::Reply taken = fw.handle(passwordRequest(0x0F, "secret"));
    ASSERT_EQ(taken.status, 0);
    const Bytes value2(taken.payload.begin() + 32, taken.payload.end());
    EXPECT_EQ(fw.handle(Bytes{0x1B}).status, 0);
    EXPECT_EQ(fw.handle(resetRequest("secret", value2)).status, 0x0404);
    EXPECT_EQ(fw.stored("ownership"), Bytes{1});
    fw.powerCycle();
    EXPECT_EQ(fw.handle(resetRequest("secret", value2)).status, 0);
}

TEST(SimOwnership, NoCycleLeftAnswers0466) {
    simusb::Firmware fw("SIM00001", 0x0001, 2);
    fw.stored("ownership.cycles") = {3, 0, 0, 0};
    EXPECT_EQ(fw.handle(passwordRequest(0x0F, "pw")).status, 0x0466);
    fw.stored("ownership") = {1};
    EXPECT_EQ(fw.handle(passwordRequest(0x10, "pw", 32)).status, 0x0466);
    EXPECT_EQ(fw.stored("ownership"), Bytes{1}) << "still paired";
}

TEST(SimOwnership, KeyPairingEnablesTheRsaSuites) {
    simusb::Firmware fw("SIM00002", 0x0001, 5);
    EXPECT_EQ(fw.handle(keyBlock(0)).status, 0x0406) << "mask bit 16 is always set";
    simusb::Reply taken = fw.handle(keyBlock(16 | 8));
    ASSERT_EQ(taken.status, 0);
    EXPECT_EQ(taken.payload.size(), 256u);
    EXPECT_FALSE(fw.stored("ssl.rsa").empty());
    EXPECT_EQ(pairingFlag(fw), 0);
    EXPECT_EQ(fw.handle(keyBlock(16)).status, 0x0404);
    EXPECT_EQ(fw.handle(passwordRequest(0x10, "", 32)).status, 0) << "a key pairing needs no password";
    EXPECT_TRUE(fw.stored("ssl.rsa").empty());
}

TEST(SimOwnership, GivenVersionKeepsItsFlagsUntilAnOwnershipCommand) {
    simusb::Firmware fw("SIM00001", 0x0001, 2);
    Bytes version(36, 0);
    version[8] = 4;
    version[9] = 21;
    fw.stored("version") = version;
    EXPECT_EQ(pairingFlag(fw), 0);
    const simusb::Reply taken = fw.handle(passwordRequest(0x0F, "pw"));
    ASSERT_EQ(taken.status, 0);
    EXPECT_EQ(pairingFlag(fw), 0);
    ASSERT_EQ(fw.handle(resetRequest("pw", Bytes(taken.payload.begin() + 32, taken.payload.end()))).status, 0);
    EXPECT_EQ(pairingFlag(fw), 0x80);
}

TEST(SimOwnership, StateSurvivesARun) {
    const std::string dir = ::testing::TempDir() + "/sim_ownership_" + std::to_string(getpid());
    ASSERT_EQ(std::system(("mkdir -p " + dir).c_str()), 0);
    Bytes secret, value2;
    {
        simusb::Firmware fw("SIM00009", 0x0001, 2);
        const simusb::Reply taken = fw.handle(passwordRequest(0x0F, "pw"));
        ASSERT_EQ(taken.status, 0);
        secret = fw.stored("sharedSecret1");
        value2.assign(taken.payload.begin() + 32, taken.payload.end());
        ASSERT_TRUE(fw.save(dir));
    }
    simusb::Firmware again("SIM00009", 0x0001, 2);
    ASSERT_TRUE(again.load(dir));
    EXPECT_EQ(again.stored("sharedSecret1"), secret);
    EXPECT_EQ(pairingFlag(again), 0);
    EXPECT_EQ(again.handle(resetRequest("pw", value2)).status, 0);
    std::system(("rm -rf " + dir).c_str());
}

}  // namespace
