// Virtual sensor firmware: ownership. Taking it with a password (0x0F) or with keys (0x2C),
// resetting it (0x10) against a limited number of ownership cycles, the counters (0x26), the
// lock of the security state (0x1B) and decommissioning (0x16).
//
// Stored state (kept across runs):
//   "ownership"        1 byte: 0 no owner, 1 paired by password, 2 paired by keys;
//   "ownership.cycles" u16 total, u16 left (default 5 and 5); none left answers 0x0466;
//   "ownership.pass"   SHA-256 of the pairing password (password pairings);
//   "sharedSecret1"    the 32-byte shared secret the password pairing hands the host (the secure
//                      channel's shared-secret suites use it); "ownership.value2" the second value,
//                      which a reset of a password pairing must bring back with the password;
//   "ssl.rsa"          set by a key pairing (the channel's RSA suites); the pairing's reply hands
//                      the host its modulus back as its certificate.
// While there is no owner the version record's flags byte carries 0x80 (ready to be paired).
// Lock (0x1B) holds the security state where it is until the sensor loses power (a reset): while
// locked, taking and resetting ownership and decommissioning answer 0x0404 like any change the
// state does not allow.
#include "sim/usb/fields.h"
#include "sim/usb/firmware.h"
#include "sim/usb/ownership.h"
#include "sim/usb/sha256.h"

#include <algorithm>
#include <string>

namespace simusb {
namespace {

constexpr uint16_t kStatusNotAllowed = 0x0404;  // already paired / not paired
constexpr uint16_t kStatusWrongPassword = 0x0403;
constexpr uint16_t kStatusNoCycleLeft = 0x0466;
constexpr uint16_t kDefaultCycles = 5;
constexpr size_t kPasswordField = 64;
constexpr size_t kKeyBlockLength = 845;
constexpr uint16_t kMaskAlways = 16;
constexpr uint16_t kMaskHostModulus = 8;

bool locked(Firmware& fw) { return !fw.transient("locked").empty(); }

uint8_t owner(Firmware& fw) {
    const std::vector<uint8_t>& o = fw.stored("ownership");
    return o.empty() ? 0 : o[0];
}

void setOwner(Firmware& fw, uint8_t value) {
    fw.stored("ownership") = {value};
    fw.storedChanged();
}

// {total, left}
std::pair<uint16_t, uint16_t> cycles(Firmware& fw) {
    const std::vector<uint8_t>& c = fw.stored("ownership.cycles");
    if (c.size() != 4) return {kDefaultCycles, kDefaultCycles};
    return {getU16(c, 0), getU16(c, 2)};
}

Digest derive(Firmware& fw, const char* label, std::span<const uint8_t> extra) {
    std::vector<uint8_t> input(label, label + std::char_traits<char>::length(label));
    input.insert(input.end(), fw.serial().begin(), fw.serial().end());
    const auto [total, left] = cycles(fw);
    input.push_back(uint8_t(left));
    input.insert(input.end(), extra.begin(), extra.end());
    return sha256(input);
}

// {u8 length n, 64-byte field}
void takeOwnership(Firmware& fw, std::span<const uint8_t> request, Reply& reply) {
    const uint8_t length = request[1];
    if (length > kPasswordField) {
        reply.status = kStatusBadParameter;
        return;
    }
    if (owner(fw) != 0 || locked(fw)) {
        reply.status = kStatusNotAllowed;
        return;
    }
    if (cycles(fw).second == 0) {
        reply.status = kStatusNoCycleLeft;
        return;
    }
    const std::span<const uint8_t> password = request.subspan(2, length);
    const Digest secret = derive(fw, "secret1", password);
    const Digest value2 = derive(fw, "value2", password);
    const Digest pass = sha256(password);
    fw.stored("sharedSecret1").assign(secret.begin(), secret.end());
    fw.stored("ownership.value2").assign(value2.begin(), value2.end());
    fw.stored("ownership.pass").assign(pass.begin(), pass.end());
    setOwner(fw, 1);
    reply.payload.assign(secret.begin(), secret.end());
    reply.payload.insert(reply.payload.end(), value2.begin(), value2.end());
}

// The 845-byte key block: u16 presence mask, the host modulus (bit 8), two u32 (flash capacity
// and erase block), the two 32-byte values (bits 1, 2), the sensor key pair (bit 4, only together).
void takeOwnershipWithKeys(Firmware& fw, std::span<const uint8_t> request, Reply& reply) {
    const uint16_t mask = getU16(request, 1);
    if ((mask & kMaskAlways) == 0) {
        reply.status = kStatusBadParameter;
        return;
    }
    if (owner(fw) != 0 || locked(fw)) {
        reply.status = kStatusNotAllowed;
        return;
    }
    if (cycles(fw).second == 0) {
        reply.status = kStatusNoCycleLeft;
        return;
    }
    fw.stored("ownership.flash") = std::vector<uint8_t>(request.begin() + 261, request.begin() + 269);
    fw.stored("ssl.rsa") = {1};
    fw.stored("ownership.mask") = {uint8_t(mask), uint8_t(mask >> 8)};
    setOwner(fw, 2);
    // The reply is what the host keeps as its certificate for the RSA suites and sends back in
    // the handshake: the host modulus least significant byte first. It comes in most significant
    // byte first. Without one the sensor answers with a pairing record of its own.
    if (mask & kMaskHostModulus) {
        reply.payload.assign(request.rbegin() + long(request.size() - 261), request.rbegin() + long(request.size() - 5));
        return;
    }
    reply.payload.clear();
    for (uint8_t block = 0; reply.payload.size() < 256; ++block) {
        const uint8_t tag[] = {block};
        const Digest d = derive(fw, "keyed", tag);
        reply.payload.insert(reply.payload.end(), d.begin(), d.end());
    }
}

// The pairing's secrets and keys go, and the sensor is open for pairing again.
void forgetOwner(Firmware& fw) {
    for (const char* name : {"sharedSecret1", "ownership.value2", "ownership.pass", "ssl.rsa", "ssl.resume",
                             "ssl.recovery", "ownership.flash", "ownership.mask"}) {
        fw.stored(name).clear();
    }
    setOwner(fw, 0);
}

// {u8 length n, 64-byte password field, 32-byte secret field}
void resetOwnership(Firmware& fw, std::span<const uint8_t> request, Reply& reply) {
    const uint8_t length = request[1];
    if (length > kPasswordField) {
        reply.status = kStatusBadParameter;
        return;
    }
    const auto [total, left] = cycles(fw);
    if (left == 0) {
        reply.status = kStatusNoCycleLeft;
        return;
    }
    const uint8_t paired = owner(fw);
    if (paired == 0 || locked(fw)) {
        reply.status = kStatusNotAllowed;
        return;
    }
    if (paired == 1) {
        // A password pairing is reset with its password and the second value it handed out.
        const Digest pass = sha256(request.subspan(2, length));
        const std::vector<uint8_t>& kept = fw.stored("ownership.pass");
        const std::vector<uint8_t>& value2 = fw.stored("ownership.value2");
        const std::span<const uint8_t> secret = request.subspan(2 + kPasswordField, 32);
        if (kept.size() != pass.size() || !std::equal(pass.begin(), pass.end(), kept.begin()) ||
            value2.size() != secret.size() || !std::equal(secret.begin(), secret.end(), value2.begin())) {
            reply.status = kStatusWrongPassword;
            return;
        }
    }
    forgetOwner(fw);
    std::vector<uint8_t> c(4, 0);
    putU16(c, 0, total);
    putU16(c, 2, uint16_t(left - 1));
    fw.stored("ownership.cycles") = c;
    fw.storedChanged();
}

// Decommission: the owner's pairing is forgotten without its password, and no ownership cycle is
// spent (the sensor leaves service rather than changing hands). Only a paired, unlocked sensor.
void decommission(Firmware& fw, std::span<const uint8_t>, Reply& reply) {
    if (owner(fw) == 0 || locked(fw)) {
        reply.status = kStatusNotAllowed;
        return;
    }
    forgetOwner(fw);
}

void lock(Firmware& fw, std::span<const uint8_t>, Reply&) { fw.transient("locked") = {1}; }

void getOwnershipInfo(Firmware& fw, std::span<const uint8_t>, Reply& reply) {
    const auto [total, left] = cycles(fw);
    reply.payload.assign(4, 0);
    putU16(reply.payload, 0, total);
    putU16(reply.payload, 2, left);
}

constexpr CommandEntry kCommands[] = {
    {0x0F, 2 + kPasswordField, takeOwnership},
    {0x10, 2 + kPasswordField + 32, resetOwnership},
    {0x16, 1, decommission},
    {0x1B, 1, lock},
    {0x26, 1, getOwnershipInfo},
    {0x2C, kKeyBlockLength, takeOwnershipWithKeys},
};

}  // namespace

bool ownershipOpenForPairing(Firmware& fw) { return owner(fw) == 0; }

extern const CommandModule kOwnershipModule = {"ownership", kCommands};

}  // namespace simusb
