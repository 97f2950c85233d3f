// Arguments of each sensor command as they ride in ScsWitRequest::arguments: one struct per
// command, filled by its synchronous call and read by its wire builder.
#pragma once

#include "tcs/sensorctl/scs.h"
#include "tcs/sensorctl/protocol/tag_records.h"
#include "tcs/sensorctl/protocol/wire_format.h"

#include <stdint.h>

#include <cstring>
#include <type_traits>

namespace scsargs {

struct Reset { uint16_t delay; };
struct Peek { uint32_t address; uint8_t width; };
struct Poke { uint32_t address; uint8_t width; uint32_t value; };
struct Gpio { uint32_t words[18]; };
struct RefClock { uint32_t words[5]; };
struct CpuClock { uint32_t a, b; };
struct SpiMode { uint32_t mode; };
struct Patch { uint16_t reserved; uint16_t length; const uint8_t* image; };
struct WoeSetup { uint32_t length; const uint8_t* setup; };
struct WoeEnter { uint16_t value; };
struct GetPrint {
    uint16_t lines;
    uint8_t mode;
    uint8_t calibration;
    uint32_t options;
    PrintConfiguration* config;
};
struct SpiTransfer { uint32_t length; const uint8_t* data; const scswire::SpiParams* params; };
struct SpiFastRead { uint32_t commandLength; const uint8_t* command; uint32_t count; uint8_t* destination; };
struct TakeOwnership { uint32_t length; const uint8_t* password; };
struct ResetOwnership { uint32_t length; const uint8_t* password; };
struct TakeOwnershipWithKeys {
    uint32_t param1, param2;
    const uint8_t* value1;
    const uint8_t* value2;
    const uint8_t* pairA;
    const uint8_t* pairB;
    const uint8_t* key256;
};
struct MatchVerify { uint16_t length; const uint8_t* data; const uint8_t* value; };
struct SignEnc { uint32_t aLength; const uint8_t* a; uint32_t bLength; const uint8_t* b; };
struct DecVerify { uint16_t length; const uint8_t* data; uint32_t secondLength; const uint8_t* second; const uint8_t* value; };
struct GetAuthData { const uint8_t* a; uint32_t aLength; const uint8_t* b; uint32_t bLength; };
struct Led { scswire::LedState state; };
struct LedEx { scswire::LedEntry entries[16]; uint32_t trailer; };

template <typename T>
T read(const ScsWitRequest* request) {
    static_assert(sizeof(T) <= sizeof(request->arguments) && std::is_trivially_copyable_v<T>);
    T value;
    std::memcpy(&value, request->arguments, sizeof(T));
    return value;
}

template <typename T>
void write(ScsWitRequest* request, const T& value) {
    static_assert(sizeof(T) <= sizeof(request->arguments) && std::is_trivially_copyable_v<T>);
    std::memcpy(request->arguments, &value, sizeof(T));
}

}  // namespace scsargs
