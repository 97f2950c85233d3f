// Small file helpers shared by the command handlers: whole-file reads with the tool's messages.
#pragma once

#include <stdint.h>
#include <stdio.h>

namespace sensor_tool {

enum class ReadStatus { kOk, kOpenFailed, kBadSize, kNoMemory, kReadFailed };

// Reads a file whole into a palRealMalloc'd buffer. `required` 0 accepts any non-zero size.
// Prints the tool's message for a failure and returns its kind.
ReadStatus readWholeFile(const char* name, uint32_t required, uint8_t** outData, uint32_t* outSize);

// Lower-case copy comparison without regard to case of the first n characters.
bool startsWith(const char* text, const char* prefix);

// A palRealMalloc'd buffer freed (and wiped) when it leaves scope.
class SecretBuffer {
public:
    SecretBuffer() = default;
    SecretBuffer(const SecretBuffer&) = delete;
    SecretBuffer& operator=(const SecretBuffer&) = delete;
    ~SecretBuffer() { reset(); }
    void reset();
    uint8_t* data = nullptr;
    uint32_t size = 0;
};

}  // namespace sensor_tool
