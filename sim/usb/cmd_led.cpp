// Virtual sensor firmware: the LED. Set LED state (0x24, a 118-byte state block: 28 u32 words, two
// u16, two u8) and the extended form (0x2A, sixteen 7-byte entries then a u32) are answered with
// success; the firmware keeps the last block of each, as the LED shows it, in transient "led" and
// "ledEx" (a test reads them with transientState) and counts the requests in "ledCount" (u32).
#include "sim/usb/fields.h"
#include "sim/usb/firmware.h"

namespace simusb {
namespace {

constexpr size_t kStateBlock = 118;
constexpr size_t kExBlock = 116;

void count(Firmware& fw) {
    std::vector<uint8_t>& n = fw.transient("ledCount");
    if (n.size() != 4) n.assign(4, 0);
    putU32(n, 0, getU32(n, 0) + 1);
}

void setLedState(Firmware& fw, std::span<const uint8_t> request, Reply&) {
    fw.transient("led").assign(request.begin() + 1, request.begin() + 1 + kStateBlock);
    count(fw);
}

void setLedStateEx(Firmware& fw, std::span<const uint8_t> request, Reply&) {
    fw.transient("ledEx").assign(request.begin() + 1, request.begin() + 1 + kExBlock);
    count(fw);
}

constexpr CommandEntry kCommands[] = {
    {0x24, 1 + kStateBlock, setLedState},
    {0x2A, 1 + kExBlock, setLedStateEx},
};

}  // namespace

extern const CommandModule kLedModule = {"led", kCommands};

}  // namespace simusb
