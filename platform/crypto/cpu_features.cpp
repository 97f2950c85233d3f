// Processor feature detection for the crypto primitives and the switch that tests use to force the
// portable paths.

#include "platform/crypto/cpu_features.h"

#include <atomic>
#include <cpuid.h>
#include <string.h>

namespace tov::crypto {
namespace {

struct Detected {
    bool aes = false;
    bool sha = false;
};

Detected detect() {
    Detected d;
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    if (!__get_cpuid(1, &eax, &ebx, &ecx, &edx)) return d;
    const bool ssse3 = ecx & (1u << 9);
    const bool sse41 = ecx & (1u << 19);
    d.aes = (ecx & (1u << 25)) && ssse3;
    if (__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx)) d.sha = (ebx & (1u << 29)) && ssse3 && sse41;
    return d;
}

const Detected& detected() {
    static const Detected d = detect();
    return d;
}

std::atomic<bool> gAccelerationEnabled{true};

}  // namespace

bool cpuHasAesInstructions() { return detected().aes; }
bool cpuHasShaInstructions() { return detected().sha; }
bool useAesInstructions() { return detected().aes && gAccelerationEnabled.load(std::memory_order_relaxed); }
bool useShaInstructions() { return detected().sha && gAccelerationEnabled.load(std::memory_order_relaxed); }
void setHardwareAcceleration(bool enabled) { gAccelerationEnabled.store(enabled, std::memory_order_relaxed); }

void wipe(void* data, size_t length) {
    if (data != nullptr && length != 0) explicit_bzero(data, length);
}

}  // namespace tov::crypto
