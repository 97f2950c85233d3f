// Helpers shared by the crypto tests: hex conversion and running a check on both the portable and the
// processor-instruction code paths.
#pragma once

#include "platform/crypto/cpu_features.h"

#include <gtest/gtest.h>

#include <stdint.h>
#include <string>
#include <vector>

namespace crypto_test {

inline std::vector<uint8_t> hex(const std::string& text) {
    std::vector<uint8_t> bytes;
    for (size_t i = 0; i + 1 < text.size(); i += 2) {
        if (text[i] == ' ') {
            --i;
            continue;
        }
        bytes.push_back(uint8_t(std::stoul(text.substr(i, 2), nullptr, 16)));
    }
    return bytes;
}

inline std::string toHex(const uint8_t* data, size_t length) {
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (size_t i = 0; i < length; ++i) {
        text += digits[data[i] >> 4];
        text += digits[data[i] & 15];
    }
    return text;
}

inline std::string toHex(const std::vector<uint8_t>& data) { return toHex(data.data(), data.size()); }

inline std::vector<uint8_t> bytes(const std::string& text) { return std::vector<uint8_t>(text.begin(), text.end()); }

// Runs the check once on the portable code and, where the processor has the instructions, once on them.
template <typename Check>
void onEveryPath(Check check) {
    tov::crypto::setHardwareAcceleration(false);
    {
        SCOPED_TRACE("portable");
        check();
    }
    tov::crypto::setHardwareAcceleration(true);
    if (tov::crypto::cpuHasAesInstructions() || tov::crypto::cpuHasShaInstructions()) {
        SCOPED_TRACE("processor instructions");
        check();
    }
}

// Deterministic test data.
inline std::vector<uint8_t> pattern(size_t length, uint32_t seed = 1) {
    std::vector<uint8_t> data(length);
    uint32_t x = seed;
    for (auto& b : data) {
        x = x * 1103515245u + 12345u;
        b = uint8_t(x >> 16);
    }
    return data;
}

}  // namespace crypto_test
