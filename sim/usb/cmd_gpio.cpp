// Virtual sensor firmware: the GPIO command (0x0D). The request holds nine {u32 value, u32 mask}
// pairs, one per register in the order ALT, DIR, DIN, DOUT, WPU, HDRV, ALTS, IEN, PDR; each
// register becomes (old & mask) | value, and the reply is the nine registers as they read after the
// update (36 bytes). So {0, 0xFFFFFFFF} leaves a register as it is.
//
// The registers are the chip's: zero at power-on, kept in transient "gpio" (nine u32) until power
// is lost. DIN cannot be written (its pair is ignored); it reads the pins: a pin whose DIR bit is
// set drives its DOUT bit; any other pin reads what the board puts on it, stored "gpioPins" (u32,
// a test's wiring, kept across power-off), or, with nothing there, its pull-up (WPU) bit.
#include "sim/usb/gpio.h"

#include "sim/usb/fields.h"

namespace simusb {
namespace {

std::array<uint32_t, kGpioRegisters> latched(Firmware& fw) {
    std::array<uint32_t, kGpioRegisters> r{};
    const std::vector<uint8_t>& kept = fw.transient("gpio");
    if (kept.size() == 4 * kGpioRegisters) {
        for (size_t i = 0; i < kGpioRegisters; ++i) r[i] = getU32(kept, 4 * i);
    }
    return r;
}

void gpio(Firmware& fw, std::span<const uint8_t> request, Reply& reply) {
    std::array<uint32_t, kGpioRegisters> r = latched(fw);
    for (size_t i = 0; i < kGpioRegisters; ++i) {
        if (i == kGpioDin) continue;
        const uint32_t value = getU32(request, 1 + 8 * i);
        const uint32_t mask = getU32(request, 5 + 8 * i);
        r[i] = (r[i] & mask) | value;
    }
    std::vector<uint8_t>& kept = fw.transient("gpio");
    kept.assign(4 * kGpioRegisters, 0);
    for (size_t i = 0; i < kGpioRegisters; ++i) putU32(kept, 4 * i, r[i]);
    const std::array<uint32_t, kGpioRegisters> now = gpioRegisters(fw);
    reply.payload.assign(4 * kGpioRegisters, 0);
    for (size_t i = 0; i < kGpioRegisters; ++i) putU32(reply.payload, 4 * i, now[i]);
}

constexpr CommandEntry kCommands[] = {
    {0x0D, 1 + 8 * kGpioRegisters, gpio},
};

}  // namespace

std::array<uint32_t, kGpioRegisters> gpioRegisters(Firmware& fw) {
    std::array<uint32_t, kGpioRegisters> r = latched(fw);
    const std::vector<uint8_t>& pins = fw.stored("gpioPins");
    const uint32_t board = pins.size() == 4 ? getU32(pins, 0) : r[kGpioWpu];
    r[kGpioDin] = (r[kGpioDout] & r[kGpioDir]) | (board & ~r[kGpioDir]);
    return r;
}

extern const CommandModule kGpioModule = {"gpio", kCommands};

}  // namespace simusb
