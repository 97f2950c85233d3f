// Virtual sensor firmware: get UID (0x27): {u16 vendor id, u16 product id, 16-byte unique id}. The
// unique id is the chip's, fixed at manufacture: stored "uid" when a test gave 16 bytes, else
// derived from the serial, so a sensor keeps its id from run to run. Every sensor answers it.
#include "sim/usb/fields.h"
#include "sim/usb/firmware.h"
#include "sim/usb/sha256.h"

#include <algorithm>
#include <string>

namespace simusb {
namespace {

constexpr size_t kUidLength = 16;

void getUid(Firmware& fw, std::span<const uint8_t>, Reply& reply) {
    reply.payload.assign(4 + kUidLength, 0);
    putU16(reply.payload, 0, TOV_USB_VENDOR_ID);
    putU16(reply.payload, 2, fw.productId());
    const std::vector<uint8_t>& given = fw.stored("uid");
    if (given.size() == kUidLength) {
        std::copy(given.begin(), given.end(), reply.payload.begin() + 4);
        return;
    }
    const std::string seed = "uid:" + fw.serial();
    const Digest d = sha256({reinterpret_cast<const uint8_t*>(seed.data()), seed.size()});
    std::copy(d.begin(), d.begin() + kUidLength, reply.payload.begin() + 4);
}

constexpr CommandEntry kCommands[] = {
    {0x27, 1, getUid},
};

}  // namespace

extern const CommandModule kUidModule = {"uid", kCommands};

}  // namespace simusb
