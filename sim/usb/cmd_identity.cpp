// Virtual sensor firmware: version, start information, reset, and peek/poke of its memory.
#include "sim/usb/fields.h"
#include "sim/usb/firmware.h"
#include "sim/usb/ownership.h"

#include <algorithm>

namespace simusb {
namespace {

constexpr size_t kVersionLength = 36;

// The version block: stored "version" (36 bytes) when a test set one, else the product family's
// firmware. Family 1 runs 4.40 build 17 on a Harlok chip, family 2 4.60 build 23.
std::vector<uint8_t> versionBlock(Firmware& fw) {
    std::vector<uint8_t> v = fw.stored("version");
    const bool given = v.size() == kVersionLength;
    if (!given) {
        v.assign(kVersionLength, 0);
        const bool family2 = productFamily(fw.productId()) == 2;
        putU32(v, 0, 1);
        putU32(v, 4, family2 ? 23 : 17);
        v[8] = 4;
        v[9] = family2 ? 60 : 40;
        v[10] = 1;               // ROM firmware
        v[11] = family2 ? 3 : 4;  // Harlok chip kinds
        v[13] = 1;
        // Serial: the last six characters of the USB serial string.
        const std::string& serial = fw.serial();
        for (size_t i = 0; i < 6 && i < serial.size(); ++i) v[16 + i] = uint8_t(serial[serial.size() - 1 - i]);
    }
    // Flag 0x80: no owner yet. A given version keeps its own flags until the sensor has been
    // through an ownership command.
    if (!given || !fw.stored("ownership").empty()) {
        v[14] = ownershipOpenForPairing(fw) ? uint8_t(v[14] | 0x80) : uint8_t(v[14] & 0x7F);
    }
    // The revision byte follows the loaded patch.
    const std::vector<uint8_t>& patch = fw.transient("patch");
    v[15] = patch.size() >= 5 ? patch[4] : 0;
    return v;
}

void getVersion(Firmware& fw, std::span<const uint8_t>, Reply& reply) { reply.payload = versionBlock(fw); }

// {u8 start type, u8 reset type, u32 start status, u32, u32, 52 bytes}.
void getStartInfo(Firmware& fw, std::span<const uint8_t>, Reply& reply) {
    reply.payload.assign(66, 0);
    reply.payload[0] = fw.lastStart() == 0 ? 0 : 1;
    reply.payload[1] = fw.lastStart();
}

void reset(Firmware& fw, std::span<const uint8_t>, Reply&) { fw.requestReset(); }

// Memory as peek and poke see it: sparse bytes, zero until written, lost on a reset.
// Kept as {u32 address, u8 value} records.
uint8_t peekByte(Firmware& fw, uint32_t address) {
    const std::vector<uint8_t>& m = fw.transient("memory");
    for (size_t at = 0; at + 5 <= m.size(); at += 5) {
        if (getU32(m, at) == address) return m[at + 4];
    }
    return 0;
}

void pokeByte(Firmware& fw, uint32_t address, uint8_t value) {
    std::vector<uint8_t>& m = fw.transient("memory");
    for (size_t at = 0; at + 5 <= m.size(); at += 5) {
        if (getU32(m, at) == address) {
            m[at + 4] = value;
            return;
        }
    }
    m.resize(m.size() + 5);
    putU32(m, m.size() - 5, address);
    m.back() = value;
}

bool validWidth(uint8_t width) { return width == 1 || width == 2 || width == 4; }

void peek(Firmware& fw, std::span<const uint8_t> request, Reply& reply) {
    const uint32_t address = getU32(request, 1);
    const uint8_t width = request[5];
    if (!validWidth(width)) {
        reply.status = kStatusBadParameter;
        return;
    }
    reply.payload.assign(4, 0);
    for (uint8_t i = 0; i < width; ++i) reply.payload[i] = peekByte(fw, address + i);
}

void poke(Firmware& fw, std::span<const uint8_t> request, Reply& reply) {
    const uint32_t address = getU32(request, 1);
    const uint32_t value = getU32(request, 5);
    const uint8_t width = request[9];
    if (!validWidth(width)) {
        reply.status = kStatusBadParameter;
        return;
    }
    for (uint8_t i = 0; i < width; ++i) pokeByte(fw, address + i, uint8_t(value >> (8 * i)));
}

constexpr CommandEntry kCommands[] = {
    {0x01, 1, getVersion}, {0x19, 1, getStartInfo}, {0x05, 3, reset}, {0x07, 6, peek}, {0x08, 10, poke},
};

}  // namespace

extern const CommandModule kIdentityModule = {"identity", kCommands};

}  // namespace simusb
