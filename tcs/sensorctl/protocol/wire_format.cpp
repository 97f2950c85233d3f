// Sensor command wire format: request layouts, reply sizes, capture tag records, status map.
// Every multi-byte field is little-endian (sensor byte order), whatever the host's order.
#include "tcs/sensorctl/protocol/wire_format.h"

#include <algorithm>
#include <cstring>

namespace scswire {
namespace {

void put8(Bytes& out, uint8_t v) { out.push_back(v); }
void put16(Bytes& out, uint16_t v) {
    out.push_back(uint8_t(v));
    out.push_back(uint8_t(v >> 8));
}
void put32(Bytes& out, uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(uint8_t(v >> (8 * i)));
}
// Grown by resize and filled in place: g++ 12 misreads vector::insert after a one-byte
// initialiser list as an overflow.
void putBytes(Bytes& out, const uint8_t* data, uint32_t length) {
    if (length == 0) return;
    const size_t at = out.size();
    out.resize(at + length);
    std::memcpy(out.data() + at, data, length);
}
void putZeros(Bytes& out, size_t count) { out.resize(out.size() + count, 0); }
// A fixed field of `size` bytes holding `length` caller bytes (zero when data is NULL).
void putField(Bytes& out, const uint8_t* data, uint32_t length, size_t size) {
    const size_t start = out.size();
    putZeros(out, size);
    if (data != nullptr && length != 0) std::memcpy(out.data() + start, data, std::min<size_t>(length, size));
}

struct StatusRow {
    uint16_t first, last;
    TcsResult result;
};
constexpr StatusRow kStatusTable[] = {
    {0x0401, 0x0401, 42},  {0x0402, 0x0402, 46},  {0x0403, 0x0403, 44},  {0x0404, 0x0404, 370},
    {0x0405, 0x0405, 43},  {0x0406, 0x0406, 49},  {0x0407, 0x0407, 47},  {0x0409, 0x0411, 44},
    {0x042b, 0x042b, 389}, {0x0430, 0x0430, 365}, {0x0431, 0x0431, 380}, {0x044f, 0x044f, 373},
    {0x0450, 0x0450, 46},  {0x0451, 0x0451, 366}, {0x0452, 0x0452, 367}, {0x0457, 0x0457, 368},
    {0x0466, 0x0466, 381}, {0x0469, 0x0469, 512}, {0x0491, 0x0491, 42},
};

}  // namespace

uint32_t replySize(uint8_t code) {
    switch (code) {
        case kCmdGetVersion: return 38;
        case kCmdGetPrint: return 2404;
        case kCmdGetPrintSignature: return 260;
        case kCmdPatch: return 34;
        case kCmdPeek: return 6;
        case kCmdGpio: return 38;
        case kCmdTakeOwnership: return 66;
        case kCmdGetConfiguration: return 2404;
        case kCmdGetFingerStatus: return 7;
        case kCmdGetStartInfo: return 68;
        case kCmdMatchVerify: return 4116;
        case kCmdSignEncTemplateData: return 4100;
        case kCmdDecVerifyTemplateData: return 4102;
        case kCmdGetOwnershipInfo: return 6;
        case kCmdGetUid: return 22;
        case kCmdGetCertificate: return 520;
        case kCmdGetAuthData: return 4100;
        case kCmdTakeOwnershipEx: return 260;
        case kCmdStopPrint: case kCmdReset: case kCmdPoke: case kCmdSetRefClock: case kCmdSetSpiMode:
        case kCmdWoeEnter: case kCmdResetOwnership: case kCmdWoeSetup: case kCmdSetCpuClock: case kCmdDecommission:
        case kCmdUnloadPatch: case kCmdLock: case kCmdSpiFastRead: case kCmdLed: case kCmdLedEx: case kCmdRewritePm:
            return 2;
        default: return 0;
    }
}

TcsResult mapFirmwareStatus(uint16_t status) {
    if (status == 0x0000 || status == 0x0412) return TCS_RESULT_OK;
    for (const StatusRow& row : kStatusTable) {
        if (status >= row.first && status <= row.last) return row.result;
    }
    return (status & 0x0400) != 0 ? TcsResult(TCS_RESULT_SENSOR_HARD_FAIL) : TcsResult(TCS_RESULT_OK);
}

SplitReply splitReply(uint8_t code, const uint8_t* reply, uint32_t length) {
    SplitReply out{0xFFFF, nullptr, 0};
    if (reply != nullptr && length >= 2) out.status = uint16_t(reply[0] | reply[1] << 8);
    if (code == kCmdSsl || code == kCmdRaw) {
        out.payload = reply;
        out.length = reply == nullptr ? 0 : length;
    } else if (reply != nullptr && length > 2) {
        out.payload = reply + 2;
        out.length = length - 2;
    }
    return out;
}

Bytes bare(uint8_t code) { return Bytes{code}; }

Bytes reset(uint16_t delay) {
    Bytes out{kCmdReset};
    put16(out, delay < 10 ? 10 : delay);
    return out;
}

Bytes peek(uint32_t address, uint8_t width) {
    Bytes out{kCmdPeek};
    put32(out, address);
    put8(out, width);
    return out;
}

Bytes poke(uint32_t address, uint32_t value, uint8_t width) {
    Bytes out{kCmdPoke};
    put32(out, address);
    put32(out, value);
    put8(out, width);
    return out;
}

Bytes refClock(const uint32_t words[5]) {
    Bytes out{kCmdSetRefClock};
    for (int i = 0; i < 5; ++i) put32(out, words[i]);
    return out;
}

Bytes spiMode(uint32_t mode) {
    Bytes out{kCmdSetSpiMode};
    put32(out, mode);
    return out;
}

Bytes woeEnter(uint16_t argument) {
    Bytes out{kCmdWoeEnter};
    put16(out, argument);
    return out;
}

Bytes gpio(const uint32_t words[18]) {
    Bytes out{kCmdGpio};
    for (int i = 0; i < 18; ++i) put32(out, words[i]);
    return out;
}

Bytes cpuClock(uint32_t a, uint32_t b) {
    Bytes out{kCmdSetCpuClock};
    put32(out, a);
    put32(out, b);
    return out;
}

std::optional<Bytes> patch(const uint8_t* image, uint32_t length) {
    if (image == nullptr || length > 0xFFFF) return std::nullopt;
    Bytes out{kCmdPatch};
    putBytes(out, image, length);
    return out;
}

std::optional<Bytes> takeOwnership(const uint8_t* password, uint32_t length) {
    if (length > 64 || (password == nullptr && length != 0)) return std::nullopt;
    Bytes out{kCmdTakeOwnership};
    put8(out, uint8_t(length));
    putField(out, password, length, 64);
    return out;
}

std::optional<Bytes> resetOwnership(const uint8_t* password, uint32_t length, const uint8_t secret[32]) {
    if (length > 64 || (password == nullptr && length != 0)) return std::nullopt;
    Bytes out{kCmdResetOwnership};
    put8(out, uint8_t(length));
    putField(out, password, length, 64);
    putField(out, secret, secret == nullptr ? 0 : 32, 32);
    return out;
}

std::optional<Bytes> woeSetup(const uint8_t* setup, uint32_t length) {
    // The field holds 56 bytes; a longer setup would lose its tail on the wire.
    if (setup == nullptr || length > 56) return std::nullopt;
    Bytes out{kCmdWoeSetup};
    putField(out, setup, length, 56);
    return out;
}

std::optional<Bytes> matchVerify(const uint8_t* templ, uint32_t length, const uint8_t value[32]) {
    if (length > 0xFFFF || (templ == nullptr && length != 0)) return std::nullopt;
    Bytes out{kCmdMatchVerify};
    put16(out, uint16_t(length));
    putZeros(out, 2);
    putField(out, value, value == nullptr ? 0 : 32, 32);
    putBytes(out, templ, length);
    return out;
}

std::optional<Bytes> signEncTemplateData(const uint8_t* a, uint32_t aLength, const uint8_t* b, uint32_t bLength) {
    if (aLength > 0xFFFF || bLength > 0xFFFF || (a == nullptr && aLength != 0) || (b == nullptr && bLength != 0)) {
        return std::nullopt;
    }
    Bytes out{kCmdSignEncTemplateData};
    put16(out, uint16_t(aLength));
    put16(out, uint16_t(bLength));
    putBytes(out, a, aLength);
    putBytes(out, b, bLength);
    return out;
}

std::optional<Bytes> decVerifyTemplateData(const uint8_t* data, uint32_t length, const uint8_t* second,
                                           uint32_t secondLength, const uint8_t value[32]) {
    if (length > 0xFFFF || secondLength > 64 || (data == nullptr && length != 0) ||
        (second == nullptr && secondLength != 0)) {
        return std::nullopt;
    }
    Bytes out{kCmdDecVerifyTemplateData};
    put16(out, uint16_t(length));
    put16(out, uint16_t(secondLength));
    putZeros(out, 12);
    putField(out, second, secondLength, 64);
    putField(out, value, value == nullptr ? 0 : 32, 32);
    putBytes(out, data, length);
    return out;
}

std::optional<Bytes> getAuthData(const uint8_t* a, uint32_t aLength, const uint8_t* b, uint32_t bLength) {
    if (aLength > 0xFFFF || bLength > 0xFFFF || (a == nullptr && aLength != 0)) return std::nullopt;
    if (b == nullptr) bLength = 0;
    Bytes out{kCmdGetAuthData};
    put16(out, uint16_t(aLength));
    put16(out, uint16_t(bLength));
    putBytes(out, a, aLength);
    putBytes(out, b, bLength);
    return out;
}

std::optional<Bytes> spiFastRead(const uint8_t* command, uint32_t commandLength, uint32_t count) {
    if (count % 64 != 0 || (command == nullptr && commandLength != 0)) return std::nullopt;
    Bytes out{kCmdSpiFastRead};
    put32(out, commandLength);
    put32(out, count);
    putZeros(out, 106);
    putBytes(out, command, commandLength);
    return out;
}

Bytes spiTransfer(const SpiParams* params, const uint8_t* data, uint32_t length) {
    Bytes out;
    out.reserve(35 + size_t(length));
    out.push_back(kCmdSpiTransfer);
    if (params != nullptr) {
        putBytes(out, params->bytes, 16);
        put32(out, params->param1);
        put32(out, length);
        put16(out, params->param2);
        put16(out, params->first);
    } else {
        putZeros(out, 20);
        put32(out, length);
        putZeros(out, 4);
    }
    putZeros(out, 6);
    putBytes(out, data, data == nullptr ? 0 : length);
    out.resize(35 + size_t(length), 0);
    return out;
}

Bytes ledState(const LedState& state) {
    Bytes out{kCmdLed};
    for (uint32_t w : state.words) put32(out, w);
    put16(out, state.half1);
    put16(out, state.half2);
    put8(out, state.byte1);
    put8(out, state.byte2);
    return out;
}

Bytes ledStateEx(const LedEntry entries[16], uint32_t trailer) {
    Bytes out{kCmdLedEx};
    for (int i = 0; i < 16; ++i) {
        putBytes(out, entries[i].pattern, 5);
        put16(out, entries[i].value);
    }
    put32(out, trailer);
    return out;
}

Bytes takeOwnershipWithKeys(const OwnershipKeys& keys) {
    Bytes out(845, 0);
    out[0] = kCmdTakeOwnershipEx;
    uint16_t mask = 16;
    auto place = [&](size_t at, const uint8_t* data, size_t size, uint16_t bit) {
        if (data == nullptr) return;
        std::memcpy(out.data() + at, data, size);
        mask |= bit;
    };
    place(5, keys.key256, 256, 8);
    for (int i = 0; i < 4; ++i) {
        out[261 + size_t(i)] = uint8_t(keys.param1 >> (8 * i));
        out[265 + size_t(i)] = uint8_t(keys.param2 >> (8 * i));
    }
    place(269, keys.value1, 32, 1);
    place(301, keys.value2, 32, 2);
    if (keys.pairA != nullptr && keys.pairB != nullptr) {
        place(333, keys.pairA, 256, 4);
        place(589, keys.pairB, 256, 4);
    }
    out[1] = uint8_t(mask);
    out[2] = uint8_t(mask >> 8);
    return out;
}

// --- Capture request --------------------------------------------------------------------------------

const NamedDefault kMotion1Fields[12] = {
    {"motion1ParamPresentThresh", 250}, {"motion1ParamAbsentThresh", 250},
    {"motion1ParamMovingThresh", 0},    {"motion1ParamStillThresh", 128},
    {"motion1ParamStartDebounce", 100}, {"motion1ParamDoneDebounce", 500},
    {"motion1ParamStillDebounce", 0},   {"motion1ParamStillToAbsentDebounce", 0},
    {"motion1ParamFirstImageChan", 0},  {"motion1ParamLastImageChan", 32967},
    {"motion1ParamMotionCenterOffset", 36}, {"motion1ParamPresenceCenterOffset", 68},
};

const NamedDefault kMotion2Fields[9] = {
    {"motionParamFingerDebounce", 2},   {"motionParamInitialDebounce", 50}, {"motionParamStillDebounce", 1000},
    {"motionParamFingerVariance", 3000}, {"motionParamMotionDebounce", 10}, {"motionParamDoneDebounce", 100},
    {"motionParamStatusDebounce", 2},   {"motionParamStartTS", 10},         {"motionParamStopTS", 190},
};

void appendRecord(Bytes& out, uint16_t tag, std::span<const uint8_t> data) {
    put16(out, tag);
    put16(out, uint16_t(data.size()));
    out.insert(out.end(), data.begin(), data.end());
}

void appendEmptyRecord(Bytes& out, uint16_t tag) {
    put16(out, tag);
    put16(out, 0);
}

void appendCullRecord(Bytes& out, uint32_t flags, uint32_t control) {
    put16(out, 21);
    put16(out, 8);
    put32(out, flags);
    put32(out, control);
}

void appendMotion1(Bytes& out, const SettingReader& read, uint32_t thresholdDelta) {
    put16(out, 8);
    put16(out, 24);
    for (size_t i = 0; i < 12; ++i) {
        uint32_t v = read(kMotion1Fields[i].name, kMotion1Fields[i].defaultValue);
        if (i <= 1) v += thresholdDelta;  // present and absent thresholds
        put16(out, uint16_t(v));
    }
}

void appendMotion2(Bytes& out, const SettingReader& read) {
    put16(out, 11);
    put16(out, 20);
    for (const NamedDefault& f : kMotion2Fields) put16(out, uint16_t(read(f.name, f.defaultValue)));
    read("motionParamReserved", 0);  // read and not used: the field goes out as zero
    put16(out, 0);
}

void appendMotion3(Bytes& out, const SettingReader& read, const Motion3Inputs& in) {
    uint16_t presentDefault = 250, fingerupDefault = 400, presenceDefault = 68;
    if (in.flexId == 19) presentDefault = 150;
    if (in.flexId == 32 || in.flexId == 93) {
        fingerupDefault = 200;
        presentDefault = 256;
        presenceDefault = 56;
    }
    if (in.flexId == 59 || in.flexId == 91) {
        fingerupDefault = 200;
        presentDefault = 250;
        presenceDefault = 56;
    }
    const uint16_t lastDefault =
        in.flexChannels >= 1 ? uint16_t(uint32_t(in.flexChannels - 1) | 0x8000u) : uint16_t(32967);

    put16(out, 24);
    put16(out, 338);
    put8(out, in.bitDepth);
    put8(out, uint8_t(read("motion3ParamMode", 0)));
    uint16_t downPoll = uint16_t(read("motion3ParamFingerdownPollTime", 10));
    if (in.woeNfInCapMode4) downPoll = 0;
    put16(out, downPoll);
    put16(out, uint16_t(read("motion3ParamFingerupPollTime", 10)));
    put16(out, uint16_t(read("motion3ParamPresentThresh", presentDefault) + in.thresholdDelta));
    put16(out, uint16_t(read("motion3ParamFingerdownDebounce", 30)));
    put16(out, uint16_t(read("motion3ParamFingerupDebounce", fingerupDefault)));
    put16(out, uint16_t(read("motion3ParamFirstImageChan", 0)));
    uint16_t last = uint16_t(read("motion3ParamLastImageChan", lastDefault));
    if (in.captureMode == 2 || in.captureMode == 3 || in.channelFlagSwitch) last &= 0x7FFF;
    put16(out, last);
    put16(out, uint16_t(read("motion3ParamPresenceCenterOffset", presenceDefault)));
    const size_t tail = out.size();
    putZeros(out, 320);
    if (!in.zeroTail) {
        const size_t n = std::min<size_t>(in.baselineTail.size(), 312);
        std::copy_n(in.baselineTail.begin(), n, out.begin() + long(tail + 8));
    }
}

void appendWoeRecord(Bytes& out, const uint8_t* setup56) {
    put16(out, 7);
    put16(out, 60);
    put32(out, 16);
    putField(out, setup56, setup56 == nullptr ? 0 : 56, 56);
}

void appendWovRecord(Bytes& out, const SettingReader& read, uint32_t threshold) {
    const bool withBaseline = read("WOVARuseBaseline", 0) != 0;
    put16(out, 25);
    put16(out, withBaseline ? 329 : 10);
    put32(out, threshold);
    put16(out, uint16_t(read("WOVARfirstchan", 0)));
    put16(out, uint16_t(read("WOVARnchan", 0)));
    put8(out, uint8_t(read("WOVARbit_depth", 8)));
    putZeros(out, withBaseline ? 320 : 1);
}

Bytes captureHeader(uint16_t lineLength, uint16_t lines) {
    Bytes out{kCmdGetPrint};
    put16(out, lineLength);
    put16(out, lines);
    return out;
}

void appendBitReduction(Bytes& out, uint32_t depth) {
    put16(out, 5);
    put16(out, 14);
    put16(out, 0);
    put32(out, 0xFFFFFF0Fu);
    put32(out, 0);
    put32(out, depth * 16);
}

}  // namespace scswire
