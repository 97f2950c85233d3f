// Sensor command wire format: byte-exact request layouts, reply sizes, the capture request's tag
// records and the firmware status map. Pure functions over bytes; the _V4 builders hand their
// output to scsSend.
#pragma once

#include "tcs/result.h"

#include <stdint.h>

#include <functional>
#include <optional>
#include <span>
#include <vector>

namespace scswire {

using Bytes = std::vector<uint8_t>;

// Command codes (TcsFwCommand).
enum Command : uint8_t {
    kCmdGetVersion = 1, kCmdGetPrint = 2, kCmdGetPrintSignature = 3, kCmdStopPrint = 4, kCmdReset = 5,
    kCmdPatch = 6, kCmdPeek = 7, kCmdPoke = 8, kCmdSetRefClock = 9, kCmdSetSpiMode = 10, kCmdSpiTransfer = 11,
    kCmdWoeEnter = 12, kCmdGpio = 13, kCmdTakeOwnership = 15, kCmdResetOwnership = 16, kCmdWoeSetup = 18,
    kCmdSetCpuClock = 19, kCmdGetConfiguration = 21, kCmdDecommission = 22, kCmdGetFingerStatus = 23,
    kCmdGetStartInfo = 25, kCmdUnloadPatch = 26, kCmdLock = 27, kCmdMatchVerify = 28, kCmdSignEncTemplateData = 29,
    kCmdDecVerifyTemplateData = 30, kCmdSpiFastRead = 31, kCmdSsl = 0x11, kCmdLed = 0x24, kCmdGetOwnershipInfo = 0x26,
    kCmdGetUid = 0x27, kCmdGetCertificate = 0x29, kCmdLedEx = 0x2a, kCmdGetAuthData = 0x2b,
    kCmdTakeOwnershipEx = 0x2c, kCmdRewritePm = 0x2d, kCmdRaw = 0x44,
};

// Size of the reply buffer queued for a command, status word included; 0 for codes without one.
// SPI transfer's is n + 2 (spiTransferReplySize).
uint32_t replySize(uint8_t code);
inline uint32_t spiTransferReplySize(uint32_t n) { return n + 2; }

// ScsFirmwareStatus to TcsResult.
TcsResult mapFirmwareStatus(uint16_t status);

// A reply split into status and payload: 0x11 and 0x44 keep the whole reply as payload; a reply
// shorter than 2 bytes has status 0xFFFF.
struct SplitReply {
    uint16_t status;
    const uint8_t* payload;
    uint32_t length;
};
SplitReply splitReply(uint8_t code, const uint8_t* reply, uint32_t length);

// --- Fixed requests (std::nullopt: the arguments do not fit, 17) ----------------------------------
Bytes bare(uint8_t code);
Bytes reset(uint16_t delay);
Bytes peek(uint32_t address, uint8_t width);
Bytes poke(uint32_t address, uint32_t value, uint8_t width);
Bytes refClock(const uint32_t words[5]);
Bytes spiMode(uint32_t mode);
Bytes woeEnter(uint16_t argument);
Bytes gpio(const uint32_t words[18]);
Bytes cpuClock(uint32_t a, uint32_t b);
// Patch lengths travel as u16: an image that does not fit is refused rather than cut.
std::optional<Bytes> patch(const uint8_t* image, uint32_t length);
std::optional<Bytes> takeOwnership(const uint8_t* password, uint32_t length);
std::optional<Bytes> resetOwnership(const uint8_t* password, uint32_t length, const uint8_t secret[32]);
std::optional<Bytes> woeSetup(const uint8_t* setup, uint32_t length);
std::optional<Bytes> matchVerify(const uint8_t* templ, uint32_t length, const uint8_t value[32]);
std::optional<Bytes> signEncTemplateData(const uint8_t* a, uint32_t aLength, const uint8_t* b, uint32_t bLength);
std::optional<Bytes> decVerifyTemplateData(const uint8_t* data, uint32_t length, const uint8_t* second,
                                           uint32_t secondLength, const uint8_t value[32]);
std::optional<Bytes> getAuthData(const uint8_t* a, uint32_t aLength, const uint8_t* b, uint32_t bLength);
// Fast read: the count of bytes to read must be a multiple of 64.
std::optional<Bytes> spiFastRead(const uint8_t* command, uint32_t commandLength, uint32_t count);

// The caller's SPI parameter block: a first byte, 16 bytes, then two u16 parameters.
struct SpiParams {
    uint8_t first;
    uint8_t bytes[16];
    uint16_t param1;
    uint16_t param2;
};
Bytes spiTransfer(const SpiParams* params, const uint8_t* data, uint32_t length);

// LED state block: 28 words, two u16, two u8 (119 bytes with the code).
struct LedState {
    uint32_t words[28];
    uint16_t half1, half2;
    uint8_t byte1, byte2;
};
Bytes ledState(const LedState& state);
struct LedEntry {
    uint8_t pattern[5];
    uint16_t value;
};
Bytes ledStateEx(const LedEntry entries[16], uint32_t trailer);

// Key-ownership block (845 bytes); a NULL part stays zero and its mask bit clear. The two 256-byte
// keys go only as a pair.
struct OwnershipKeys {
    const uint8_t* key256;    // mask 8
    uint32_t param1, param2;
    const uint8_t* value1;    // 32 bytes, mask 1
    const uint8_t* value2;    // 32 bytes, mask 2
    const uint8_t* pairA;     // 256 bytes, with pairB mask 4
    const uint8_t* pairB;
};
Bytes takeOwnershipWithKeys(const OwnershipKeys& keys);

// --- Capture request --------------------------------------------------------------------------------
// Settings the capture request reads, by name with its default; tests stand in for the store.
using SettingReader = std::function<uint32_t(const char* name, uint32_t defaultValue)>;

struct NamedDefault {
    const char* name;
    uint16_t defaultValue;
};
// Motion type 1 (12 fields) and 2 (9 fields, then a reserved zero).
extern const NamedDefault kMotion1Fields[12];
extern const NamedDefault kMotion2Fields[9];

void appendRecord(Bytes& out, uint16_t tag, std::span<const uint8_t> data);
void appendEmptyRecord(Bytes& out, uint16_t tag);
// {tag 21, 8, u32 flags, u32 control}.
void appendCullRecord(Bytes& out, uint32_t flags, uint32_t control);
void appendMotion1(Bytes& out, const SettingReader& read, uint32_t thresholdDelta);
void appendMotion2(Bytes& out, const SettingReader& read);

// Type 3: the device's bit depth and flex id decide defaults; the tail is 320 bytes (zero, or
// baseline bytes from index 8 on).
struct Motion3Inputs {
    uint8_t bitDepth;
    uint32_t flexId;
    int32_t flexChannels;      // channel count of the flex entry; < 0 when there is none
    uint32_t captureMode;
    bool channelFlagSwitch;
    bool woeNfInCapMode4;      // "useWOENFInCapMode4" is 1 and the WOE type is 2
    uint32_t thresholdDelta;
    bool zeroTail;             // calibration left its baseline flag at 1
    std::span<const uint8_t> baselineTail;  // up to 312 bytes for tail index 8 on
};
void appendMotion3(Bytes& out, const SettingReader& read, const Motion3Inputs& in);

// {tag 7, 60, u32 16, 56-byte setup}; a missing setup is zero.
void appendWoeRecord(Bytes& out, const uint8_t* setup56);
// {tag 25, 10 or 329, u32 threshold, u16 first channel, u16 channel count, u8 depth[, 320 zero]}.
void appendWovRecord(Bytes& out, const SettingReader& read, uint32_t threshold);

// Bytes 0-4 of the capture request.
Bytes captureHeader(uint16_t lineLength, uint16_t lines);

// Bit-reduction record {tag 5, 14, u16 0, u32 0xFFFFFF0F, u32 0, u32 depth*16}.
void appendBitReduction(Bytes& out, uint32_t depth);

}  // namespace scswire
