// Virtual sensor: the drift of the analog front end, and the PGA offset that trims it.
#include "sim/usb/afe_drift.h"

#include "sim/usb/fields.h"

namespace simusb {
namespace {

constexpr uint16_t kTagRegisterWrite = 3;
constexpr uint32_t kPgaOffset = 0x300420C8;
constexpr int kPowerUpOffset = 0x40;
constexpr int kLevelPerStep = 6;  // as the analog model answers the PGA offset sweep

}  // namespace

int afeDrift(Firmware& fw) {
    const std::vector<uint8_t>& drift = fw.stored("afeDrift");
    return drift.empty() ? 0 : int(int8_t(drift[0]));
}

void afeRegisterWrites(Firmware& fw, std::span<const uint8_t> records) {
    for (size_t at = 0; records.size() - at >= 4;) {
        const uint16_t tag = getU16(records, at);
        const uint16_t length = getU16(records, at + 2);
        if (records.size() - at - 4 < length) break;
        if (tag == kTagRegisterWrite && length >= 8 && getU32(records, at + 4) == kPgaOffset) {
            fw.transient("pgaOffset") = {uint8_t(getU32(records, at + 8))};
        }
        at += 4 + length;
    }
}

int afeLevelShift(Firmware& fw) {
    const std::vector<uint8_t>& offset = fw.transient("pgaOffset");
    const int value = offset.empty() ? kPowerUpOffset : int(offset[0]);
    return afeDrift(fw) + kLevelPerStep * (value - kPowerUpOffset);
}

}  // namespace simusb
