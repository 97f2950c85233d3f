// Virtual sensor firmware: the SPI transfer to its NOR flash (JEDEC id, read, fast read, page
// program, sector/block/chip erase, status, write enable), the fast read through 0x82 and the
// rewrite of the protected-memory sector (0x2D).
//
// The flash is 1 MiB (JEDEC id EF 40 14), erased to 0xFF, kept in stored "flash". Like real NOR
// it only clears bits when programmed (new = old AND data), wraps a page program within its
// 256-byte page, and ignores program and erase without a preceding write enable.
#include "sim/usb/fields.h"
#include "sim/usb/firmware.h"
#include "sim/usb/fp_buffering.h"

#include <algorithm>

namespace simusb {
namespace {

constexpr uint32_t kFlashSize = 1u << 20;
constexpr uint8_t kJedecId[3] = {0xEF, 0x40, 0x14};
constexpr size_t kTransferHeader = 35;  // code byte and 34-byte header
constexpr size_t kFastReadHeader = 115;
constexpr uint32_t kPmSectorSize = 4096;
constexpr uint32_t kSecurityManagementPatch = 4;

}  // namespace

std::vector<uint8_t>& sensorFlash(Firmware& fw) {
    std::vector<uint8_t>& f = fw.stored("flash");
    if (f.size() != kFlashSize) f.assign(kFlashSize, 0xFF);
    return f;
}

namespace {

uint32_t address24(std::span<const uint8_t> mosi) {
    return (uint32_t(mosi[1]) << 16 | uint32_t(mosi[2]) << 8 | mosi[3]) % kFlashSize;
}

void erase(Firmware& fw, uint32_t address, uint32_t size) {
    std::vector<uint8_t>& f = sensorFlash(fw);
    const uint32_t start = address & ~(size - 1);
    std::fill(f.begin() + start, f.begin() + start + size, 0xFF);
    fw.storedChanged();
}

// One chip-select cycle: MOSI in, MISO out, same length; MISO idles at 0xFF.
std::vector<uint8_t> clock(Firmware& fw, std::span<const uint8_t> mosi) {
    std::vector<uint8_t> miso(mosi.size(), 0xFF);
    if (mosi.empty()) return miso;
    std::vector<uint8_t>& wel = fw.transient("flashWriteEnable");
    const bool writable = !wel.empty();
    switch (mosi[0]) {
        case 0x9F:
            for (size_t i = 1; i < miso.size() && i <= 3; ++i) miso[i] = kJedecId[i - 1];
            break;
        case 0x05:
            for (size_t i = 1; i < miso.size(); ++i) miso[i] = writable ? 0x02 : 0x00;
            break;
        case 0x06: wel = {1}; break;
        case 0x04: wel.clear(); break;
        case 0x03:
        case 0x0B: {
            const size_t lead = mosi[0] == 0x03 ? 4 : 5;  // fast read clocks one dummy byte
            if (mosi.size() < 4) break;
            const std::vector<uint8_t>& f = sensorFlash(fw);
            const uint32_t address = address24(mosi);
            for (size_t i = lead; i < miso.size(); ++i) miso[i] = f[(address + (i - lead)) % kFlashSize];
            break;
        }
        case 0x02: {
            if (!writable || mosi.size() < 4) break;
            std::vector<uint8_t>& f = sensorFlash(fw);
            const uint32_t address = address24(mosi);
            const uint32_t page = address & ~0xFFu;
            for (size_t i = 4; i < mosi.size(); ++i) f[page + ((address + (i - 4)) & 0xFF)] &= mosi[i];
            fw.storedChanged();
            wel.clear();
            break;
        }
        case 0x20:
        case 0xD8:
            if (!writable || mosi.size() < 4) break;
            erase(fw, address24(mosi), mosi[0] == 0x20 ? 0x1000 : 0x10000);
            wel.clear();
            break;
        case 0xC7:
        case 0x60:
            if (!writable) break;
            erase(fw, 0, kFlashSize);
            wel.clear();
            break;
        default: break;
    }
    return miso;
}

// {34-byte header: data length n at bytes 21-24}, n MOSI bytes; the answer is the n MISO bytes.
void spiTransfer(Firmware& fw, std::span<const uint8_t> request, Reply& reply) {
    const uint32_t length = getU32(request, 21);
    if (request.size() - kTransferHeader != length) {
        reply.status = kStatusShortCommand;
        return;
    }
    reply.payload = clock(fw, request.subspan(kTransferHeader));
}

// {u32 command length n, u32 bytes to read (a multiple of 64), 106 zero bytes, n command bytes}:
// the bytes read arrive on the fingerprint endpoint. A one-byte command (JEDEC id, RES) is how the
// host identifies the flash of a secured sensor outside a secure session.
void spiFastRead(Firmware& fw, std::span<const uint8_t> request, Reply& reply) {
    const uint32_t commandLength = getU32(request, 1);
    const uint32_t count = getU32(request, 5);
    if (request.size() - kFastReadHeader != commandLength) {
        reply.status = kStatusShortCommand;
        return;
    }
    if (count % 64 != 0 || count > kFlashSize || commandLength == 0) {
        reply.status = kStatusBadParameter;
        return;
    }
    std::vector<uint8_t> mosi(request.begin() + kFastReadHeader, request.end());
    const size_t lead = mosi.size();
    mosi.resize(lead + count, 0);
    std::vector<uint8_t> miso = clock(fw, mosi);
    fw.sendFingerprintData(std::vector<uint8_t>(miso.begin() + long(lead), miso.end()));
}

// {} under the security-management patch (patch-id bit 4): the firmware programs its protected-memory
// sector back into the first 4 KiB of flash, where the host erased it with the block around it.
// The sector is the stored "pmSector" when a test gave one (4096 bytes), else the firmware's own:
// "TOVPM", a zero, the serial, then erased bytes. Programming only clears bits, like any page
// program, so a sector that was not erased first comes out mixed with what was there.
void rewritePmSector(Firmware& fw, std::span<const uint8_t>, Reply& reply) {
    const std::vector<uint8_t>& patch = fw.transient("patch");
    if (patch.size() < 4 || (getU32(patch, 0) & kSecurityManagementPatch) == 0) {
        reply.status = kStatusBadCommand;
        return;
    }
    std::vector<uint8_t> sector = fw.stored("pmSector");
    if (sector.size() != kPmSectorSize) {
        sector.assign(kPmSectorSize, 0xFF);
        const char magic[] = "TOVPM";
        std::copy(magic, magic + sizeof magic, sector.begin());
        std::copy(fw.serial().begin(), fw.serial().begin() + long(std::min<size_t>(fw.serial().size(), 32)),
                  sector.begin() + long(sizeof magic));
    }
    std::vector<uint8_t>& f = sensorFlash(fw);
    for (uint32_t i = 0; i < kPmSectorSize; ++i) f[i] &= sector[i];
    fw.storedChanged();
}

constexpr CommandEntry kCommands[] = {
    {0x0B, kTransferHeader, spiTransfer},
    {0x1F, kFastReadHeader, spiFastRead},
    {0x2D, 1, rewritePmSector},
};

}  // namespace

extern const CommandModule kSpiFlashModule = {"spi-flash", kCommands};

}  // namespace simusb
