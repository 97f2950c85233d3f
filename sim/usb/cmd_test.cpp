// Virtual sensor firmware: the engineering commands of the test patches (OTP, ROM checksum, special
// GPIO state, ECC report, provisioning, the key commands, the quick ownership reset) and the
// run-time key command GEN_VCK.
//
// A test command exists only while a patch carrying its bit is loaded (patch-id bit 0x10; 0x40 for
// provisioning); otherwise it answers 0x0401 like any unknown code. Replies are {u16 status,
// fields}, as the host reads them.
//
// Stored state (kept across runs, as OTP and the ROM are):
//   "otp"            the 128-byte OTP image; its bits can only be set: a write ORs its bytes in.
//                    A fresh sensor's image holds its serial at offset 8 and nothing else.
//   "otp.bank0", "otp.bank1"   the earlier chip family's OTP banks, 2048 bytes each (the long
//                    form); the short form is the bank's 64-byte record "otp.bank<n>.record".
//                    Bank 0's long form is the tagged area: SSK (tag 3) and VCK_IV (tag 8) land
//                    there.
//   "provisioned"    1 once provisioning ran; provisioning also puts the ownership record in place
//                    (no owner), so that the version record then reports the sensor ready to pair.
//   "gpioSpecial"    u32 the special GPIO state reports (0 when absent).
//   "eccReport"      two u16, the ECC corrections and failures reported (0 and 0 when absent).
//   "vck"            the 16-byte encrypted VCK seed that GEN_VCK hands out.
//   "mtPassed"       1 once the module test was marked passed.
#include "sim/usb/fields.h"
#include "sim/usb/firmware.h"
#include "sim/usb/sha256.h"

#include <algorithm>
#include <string>

namespace simusb {
namespace {

constexpr uint32_t kTestBit = 0x10;
constexpr uint32_t kProvisionBit = 0x40;
constexpr size_t kOtpLength = 128;
constexpr size_t kSerialOffset = 8;
constexpr size_t kBankLength = 2048;
constexpr size_t kRecordLength = 64;
constexpr size_t kProvisionReply = 52;

uint32_t loadedPatchIds(Firmware& fw) {
    const std::vector<uint8_t>& patch = fw.transient("patch");
    return patch.size() >= 4 ? getU32(patch, 0) : 0;
}

// False (and the reply answers 0x0401) unless a patch carrying the bit is loaded.
bool patchOffers(Firmware& fw, uint32_t bit, Reply& reply) {
    if ((loadedPatchIds(fw) & bit) != 0) return true;
    reply.status = kStatusBadCommand;
    return false;
}

Digest derive(Firmware& fw, const std::string& label) {
    const std::string input = label + fw.serial();
    return sha256({reinterpret_cast<const uint8_t*>(input.data()), input.size()});
}

std::vector<uint8_t>& otpImage(Firmware& fw) {
    std::vector<uint8_t>& otp = fw.stored("otp");
    if (otp.size() != kOtpLength) {
        otp.assign(kOtpLength, 0);
        // The serial as the version record reports it: the serial string's last six characters.
        const std::string& serial = fw.serial();
        for (size_t i = 0; i < 6 && i < serial.size(); ++i) otp[kSerialOffset + i] = uint8_t(serial[serial.size() - 1 - i]);
    }
    return otp;
}

std::vector<uint8_t>& bankArea(Firmware& fw, uint8_t bank, bool record) {
    std::vector<uint8_t>& area =
        fw.stored("otp.bank" + std::to_string(bank) + (record ? ".record" : ""));
    area.resize(record ? kRecordLength : kBankLength, 0);
    return area;
}

// OTP programming: bits are set, never cleared.
void program(std::vector<uint8_t>& area, std::span<const uint8_t> bits) {
    for (size_t i = 0; i < area.size() && i < bits.size(); ++i) area[i] |= bits[i];
}

void noop(Firmware&, std::span<const uint8_t>, Reply&) {}

void otpRead(Firmware& fw, std::span<const uint8_t>, Reply& reply) {
    if (!patchOffers(fw, kTestBit, reply)) return;
    reply.payload = otpImage(fw);
    fw.storedChanged();
}

void otpWrite(Firmware& fw, std::span<const uint8_t> request, Reply& reply) {
    if (!patchOffers(fw, kTestBit, reply)) return;
    program(otpImage(fw), request.subspan(1, kOtpLength));
    fw.storedChanged();
}

// {0x3B, bank, short flag} -> {u16 length, data}
void otpReadEx(Firmware& fw, std::span<const uint8_t> request, Reply& reply) {
    if (!patchOffers(fw, kTestBit, reply)) return;
    if (request[1] > 1) {
        reply.status = kStatusBadParameter;
        return;
    }
    const std::vector<uint8_t>& area = bankArea(fw, request[1], request[2] == 1);
    reply.payload.assign(2, 0);
    putU16(reply.payload, 0, uint16_t(area.size()));
    reply.payload.insert(reply.payload.end(), area.begin(), area.end());
    fw.storedChanged();
}

// {0x3C, bank, short flag, index, 0, data} -> {u16 bank, u16 index, u16 bytes changed, u16 0}
void otpWriteEx(Firmware& fw, std::span<const uint8_t> request, Reply& reply) {
    if (!patchOffers(fw, kTestBit, reply)) return;
    const bool record = request[2] == 1;
    const size_t length = record ? kRecordLength : kBankLength;
    if (request[1] > 1 || request.size() < 5 + length) {
        reply.status = request[1] > 1 ? kStatusBadParameter : kStatusShortCommand;
        return;
    }
    std::vector<uint8_t>& area = bankArea(fw, request[1], record);
    const std::vector<uint8_t> before = area;
    program(area, request.subspan(5, length));
    fw.storedChanged();
    uint16_t changed = 0;
    for (size_t i = 0; i < area.size(); ++i) changed += area[i] != before[i];
    reply.payload.assign(8, 0);
    putU16(reply.payload, 0, request[1]);
    putU16(reply.payload, 2, request[3]);
    putU16(reply.payload, 4, changed);
}

// The ROM's checksum: fixed for a firmware, here derived from the product id.
void romChecksum(Firmware& fw, std::span<const uint8_t>, Reply& reply) {
    if (!patchOffers(fw, kTestBit, reply)) return;
    const std::string label = "rom:" + std::to_string(fw.productId());
    const Digest d = sha256({reinterpret_cast<const uint8_t*>(label.data()), label.size()});
    reply.payload.assign(d.begin(), d.begin() + 4);
}

void specialGpio(Firmware& fw, std::span<const uint8_t>, Reply& reply) {
    if (!patchOffers(fw, kTestBit, reply)) return;
    const std::vector<uint8_t>& state = fw.stored("gpioSpecial");
    reply.payload.assign(4, 0);
    if (state.size() == 4) reply.payload = state;
}

void eccReport(Firmware& fw, std::span<const uint8_t>, Reply& reply) {
    if (!patchOffers(fw, kTestBit, reply)) return;
    const std::vector<uint8_t>& report = fw.stored("eccReport");
    reply.payload.assign(4, 0);
    if (report.size() == 4) reply.payload = report;
}

// Appends a tagged entry {u8 length low, u8 tag << 4 | length high, u16 0, value} to bank 0's
// area at its first blank word, unless the tag is there already.
void programTag(Firmware& fw, uint8_t tag, const std::string& label, Reply& reply) {
    std::vector<uint8_t>& area = bankArea(fw, 0, false);
    size_t at = 0;
    while (at + 4 <= area.size()) {
        const uint32_t word = getU32(area, at);
        if (word == 0 || word == 0xFFFFFFFFu) break;
        const size_t length = size_t(area[at + 1] & 0x0F) << 8 | area[at];
        if ((area[at + 1] >> 4) == tag || length == 0) {
            reply.status = kStatusBadParameter;  // programmed already, or an area it cannot walk
            return;
        }
        at += (length + 3) & ~size_t(3);
    }
    const Digest value = derive(fw, label);
    const size_t length = 4 + value.size();
    if (at + length > area.size()) {
        reply.status = kStatusBadParameter;
        return;
    }
    area[at] = uint8_t(length);
    area[at + 1] = uint8_t(tag << 4 | (length >> 8));
    area[at + 2] = 0xA5;  // keeps the header word non-blank whatever the length
    std::copy(value.begin(), value.end(), area.begin() + long(at + 4));
    fw.storedChanged();
    reply.payload.assign(8, 0);
}

void programSsk(Firmware& fw, std::span<const uint8_t>, Reply& reply) {
    if (patchOffers(fw, kTestBit, reply)) programTag(fw, 3, "ssk:", reply);
}

void programVckIv(Firmware& fw, std::span<const uint8_t>, Reply& reply) {
    if (patchOffers(fw, kTestBit, reply)) programTag(fw, 8, "vckiv:", reply);
}

void moduleTestPassed(Firmware& fw, std::span<const uint8_t>, Reply& reply) {
    if (!patchOffers(fw, kTestBit, reply)) return;
    fw.stored("mtPassed") = {1};
    fw.storedChanged();
    reply.payload.assign(8, 0);
}

// Provisioning makes the sensor's identity: 52 bytes, the serial (6) padded to 20, then the
// digest of its new key. A sensor provisions once.
void provision(Firmware& fw, std::span<const uint8_t>, Reply& reply) {
    if (!patchOffers(fw, kProvisionBit, reply)) return;
    if (!fw.stored("provisioned").empty()) {
        reply.status = kStatusBadParameter;
        return;
    }
    fw.stored("provisioned") = {1};
    if (fw.stored("ownership").empty()) fw.stored("ownership") = {0};
    fw.storedChanged();
    reply.payload.assign(kProvisionReply, 0);
    const std::vector<uint8_t>& otp = otpImage(fw);
    std::copy(otp.begin() + kSerialOffset, otp.begin() + kSerialOffset + 6, reply.payload.begin());
    const Digest key = derive(fw, "provision:");
    std::copy(key.begin(), key.end(), reply.payload.begin() + 20);
}

// The quick ownership reset: the pairing goes without a password and without using a cycle.
void resetOwnerQuick(Firmware& fw, std::span<const uint8_t>, Reply& reply) {
    if (!patchOffers(fw, kTestBit, reply)) return;
    for (const char* name : {"sharedSecret1", "ownership.value2", "ownership.pass", "ssl.rsa", "ssl.resume",
                             "ssl.recovery", "ownership.flash", "ownership.mask"}) {
        fw.stored(name).clear();
    }
    fw.stored("ownership") = {0};
    fw.storedChanged();
}

// GEN_VCK: {u16 status, 16-byte encrypted VCK seed}; the seed is made once.
void genVck(Firmware& fw, std::span<const uint8_t>, Reply& reply) {
    std::vector<uint8_t>& seed = fw.stored("vck");
    if (seed.size() != 16) {
        const Digest d = derive(fw, "vck:");
        seed.assign(d.begin(), d.begin() + 16);
        fw.storedChanged();
    }
    reply.payload = seed;
}

constexpr CommandEntry kCommands[] = {
    {0x00, 1, noop},
    {0x0E, 1, provision},
    {0x21, 1, romChecksum},
    {0x22, 1, otpRead},
    {0x23, 1 + kOtpLength, otpWrite},
    {0x2F, 1, genVck},
    {0x30, 1, eccReport},
    {0x34, 1, resetOwnerQuick},
    {0x3B, 3, otpReadEx},
    {0x3C, 5 + kRecordLength, otpWriteEx},
    {0x3D, 1, specialGpio},
    {0x54, 1, programVckIv},
    {0x55, 1, programSsk},
    {0x59, 1, moduleTestPassed},
};

}  // namespace

extern const CommandModule kTestPatchModule = {"test patch", kCommands};

}  // namespace simusb
