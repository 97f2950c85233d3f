// Virtual sensor: the GPIO block as other firmware modules read it (cmd_gpio.cpp).
#pragma once

#include "sim/usb/firmware.h"

#include <array>
#include <cstdint>

namespace simusb {

// Register order of the GPIO command and its reply.
enum GpioRegister { kGpioAlt, kGpioDir, kGpioDin, kGpioDout, kGpioWpu, kGpioHdrv, kGpioAlts, kGpioIen, kGpioPdr };
inline constexpr size_t kGpioRegisters = 9;

// The nine registers as they read now (DIN sampled from the pins).
std::array<uint32_t, kGpioRegisters> gpioRegisters(Firmware& firmware);

}  // namespace simusb
