// Virtual sensor firmware: the clock and SPI-interface settings. Set reference clock (0x09, five
// u32), set CPU clock (0x13, two u32) and set SPI mode (0x0A, one u32) are answered with success;
// the words are the sensor's own registers, so it takes them as they come and keeps the last
// ones until it loses power: transient "refClock" (20 bytes), "cpuClock" (8) and "spiMode" (4),
// as sent (little-endian words).
#include "sim/usb/firmware.h"

namespace simusb {
namespace {

template <size_t Words>
void keepWords(Firmware& fw, const char* name, std::span<const uint8_t> request) {
    fw.transient(name).assign(request.begin() + 1, request.begin() + 1 + 4 * Words);
}

void setRefClock(Firmware& fw, std::span<const uint8_t> request, Reply&) { keepWords<5>(fw, "refClock", request); }
void setSpiMode(Firmware& fw, std::span<const uint8_t> request, Reply&) { keepWords<1>(fw, "spiMode", request); }
void setCpuClock(Firmware& fw, std::span<const uint8_t> request, Reply&) { keepWords<2>(fw, "cpuClock", request); }

constexpr CommandEntry kCommands[] = {
    {0x09, 1 + 4 * 5, setRefClock},
    {0x0A, 1 + 4 * 1, setSpiMode},
    {0x13, 1 + 4 * 2, setCpuClock},
};

}  // namespace

extern const CommandModule kClocksModule = {"clocks", kCommands};

}  // namespace simusb
