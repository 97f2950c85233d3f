// Virtual sensor firmware: captures (get print with its tag records, counted lines on 0x82, the
// configuration reply), stop print, get configuration and finger status.
#include "sim/swipe/swipe_model.h"
#include "sim/usb/afe_drift.h"
#include "sim/usb/analog_model.h"
#include "sim/usb/fields.h"
#include "sim/usb/firmware.h"
#include "sim/usb/fp_buffering.h"
#include "sim/usb/print_signature.h"
#include "sim/usb/sim_crypto.h"
#include "sim/usb/wake_on_event.h"

#include <algorithm>
#include <cstring>

namespace simusb {
namespace {

constexpr uint16_t kTagSecurity = 6;
constexpr uint16_t kSecurityLength = 106;
constexpr uint16_t kTagConfigReply = 23;
constexpr size_t kConfigReplyLength = 2400;
constexpr uint64_t kMaxCaptureBytes = 16u << 20;

// {u16 length of what follows, the 2400-byte configuration}. The configuration is the time-slot
// area of the module this stand-in models (flex 14, every sample 8 bits wide, as the swipe model
// lays it out: sampling entries, the control word and the bank words), unless a test stored a
// configuration of its own as "configReply" (2400 bytes: a module whose scan lines it will send).
std::vector<uint8_t> configurationReply(Firmware& fw) {
    static const std::vector<uint32_t> kModuleWords =
        swipe_model::SwipeModel(swipe_model::GreyImage{}, swipe_model::SwipeConfig{}).timeslotWords();
    std::vector<uint8_t> out(2 + kConfigReplyLength, 0);
    putU16(out, 0, uint16_t(kConfigReplyLength));
    const std::vector<uint8_t>& own = fw.stored("configReply");
    if (own.size() == kConfigReplyLength) {
        std::copy(own.begin(), own.end(), out.begin() + 2);
    } else {
        for (size_t w = 0; w < kModuleWords.size() && 4 * w + 4 <= kConfigReplyLength; ++w) {
            putU32(out, 2 + 4 * w, kModuleWords[w]);
        }
    }
    return out;
}

// The darkest pixel of a line names the sensor's flex: the host reads its position past the 8-byte
// line header as the key of its flex table. Position 10 is the flex this stand-in models (its
// 288-byte lines).
constexpr uint32_t kFlexMarkerColumn = 8 + 10;
constexpr uint8_t kFlexMarker = 0x60;

// Lines of a resting sensor: a scan-line header (samples as wide as the time-slot area says, the
// sensor time 10 ticks a line), then mid-grey with a little fixed texture, so consecutive lines
// differ, and the flex marker.
constexpr uint32_t kLineHeader = 8;
constexpr uint16_t kTicksPerLine = 10;

std::vector<uint8_t> scanLines(uint32_t lineLength, uint32_t lines, int levelShift) {
    std::vector<uint8_t> out(size_t(lineLength) * lines);
    for (uint32_t line = 0; line < lines; ++line) {
        uint8_t* at = out.data() + size_t(line) * lineLength;
        const uint16_t time = uint16_t(line * kTicksPerLine);
        const uint8_t header[kLineHeader] = {1, 1, uint8_t(time), uint8_t(time >> 8), 0, 0, 0, 0};
        std::memcpy(at, header, std::min(lineLength, kLineHeader));
        for (uint32_t col = kLineHeader; col < lineLength; ++col) {
            const int level = col == kFlexMarkerColumn ? kFlexMarker : 0x70 + int(line * 3 + col * 5) % 32;
            at[col] = uint8_t(std::clamp(level + levelShift, 0, 255));
        }
    }
    return out;
}

// {u16 line length, u16 lines (0: until stopped), tag records {u16 tag, u16 length, data}}.
void getPrint(Firmware& fw, std::span<const uint8_t> request, Reply& reply) {
    const uint16_t lineLength = getU16(request, 1);
    const uint16_t lines = getU16(request, 3);
    bool wantsConfiguration = false;
    size_t security = 0;  // offset of the security record, 0 for none
    size_t at = 5;
    while (at < request.size()) {
        if (request.size() - at < 4 || request.size() - at - 4 < getU16(request, at + 2)) {
            reply.status = kStatusShortCommand;  // a record runs past the request
            return;
        }
        if (getU16(request, at) == kTagConfigReply) wantsConfiguration = true;
        if (getU16(request, at) == kTagSecurity && getU16(request, at + 2) == kSecurityLength) security = at;
        at += 4 + getU16(request, at + 2);
    }
    if (lineLength == 0 || uint64_t(lineLength) * lines > kMaxCaptureBytes) {
        reply.status = kStatusBadParameter;
        return;
    }
    if (fw.transient("capturing").size() != 0) {
        reply.status = kStatusBusy;
        return;
    }
    afeRegisterWrites(fw, request.subspan(5));
    if (wantsConfiguration) reply.payload = configurationReply(fw);
    if (lines == 0) {
        fw.transient("capturing") = {1};
        fpBufferingStart(fw, lineLength, request.subspan(5));
        return;
    }
    // A calibration sweep's records make the analog front end answer the sweep; any other capture
    // scans a resting sensor.
    const bool woeDead = fw.stored("woeDetectorDead") == std::vector<uint8_t>{1};
    std::vector<uint8_t> swept = analogModelCapture(lineLength, lines, request.subspan(5), afeDrift(fw), woeDead);
    std::vector<uint8_t> data =
        !swept.empty() ? std::move(swept) : scanLines(lineLength, lines, afeLevelShift(fw));
    signPrint(fw, security != 0 ? request.subspan(security, 4 + kSecurityLength) : std::span<const uint8_t>(), lineLength,
              data);
    if (security != 0) {
        // A capture that hands over a key is sent AES-CBC encrypted under it (cut to the size the
        // code names), whole blocks only: a tail shorter than a block goes as it is.
        const uint8_t code = request[security + 108];
        const size_t keyLength = code == 1 ? 16 : code == 2 ? 24 : code == 4 ? 32 : 0;
        if (keyLength == 0) {
            reply.status = kStatusBadParameter;
            return;
        }
        uint8_t iv[16];
        std::memcpy(iv, request.data() + security + 36, sizeof iv);
        crypto::aesCbc(request.subspan(security + 4, keyLength), iv, std::span<uint8_t>(data.data(), data.size() & ~size_t(15)),
                       true);
    }
    fw.sendFingerprintData(std::move(data));
}

void stopPrint(Firmware& fw, std::span<const uint8_t>, Reply&) {
    fw.transient("capturing").clear();
    fpBufferingStop(fw);
}

void getConfiguration(Firmware& fw, std::span<const uint8_t>, Reply& reply) { reply.payload = configurationReply(fw); }

// {u8 finger state, u8 flags, 3 reserved}; tests set stored "fingerState" {state, flags}.
void getFingerStatus(Firmware& fw, std::span<const uint8_t>, Reply& reply) {
    if (wakeOnEventFingerStatus(fw, reply.payload)) return;
    reply.payload.assign(5, 0);
    const std::vector<uint8_t>& finger = fw.stored("fingerState");
    for (size_t i = 0; i < finger.size() && i < 2; ++i) reply.payload[i] = finger[i];
}

constexpr CommandEntry kCommands[] = {
    {0x02, 5, getPrint}, {0x04, 1, stopPrint}, {0x15, 1, getConfiguration},
    {0x17, 1, getFingerStatus},
};

}  // namespace

extern const CommandModule kCaptureModule = {"capture", kCommands};

}  // namespace simusb
