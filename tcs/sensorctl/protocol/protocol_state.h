// What the command protocol keeps per device beyond the device record: the loaded-patch record,
// the pending patch-signature item, the run-patch flag, the cached version string, the print
// settings and default print configuration, the fast-read flag.
#pragma once

#include "tcs/sensorctl/engine/scs_internal.h"
#include "tcs/sensorctl/protocol/tag_records.h"

#include <stdint.h>

#include <vector>

// Bit of the device's wake-on-event flags: wake-on-variance is on, and the capture request carries
// its record beside the wake-on-event record.
#define SCS_WOE_FLAG_WOVAR 0x1u

namespace scsproto {

struct LoadedPatch {
    uint32_t ids;
    uint32_t selector;
    uint8_t revision;
};

struct DeviceState {
    bool hasLoadedPatch = false;
    LoadedPatch loaded{};
    uint8_t pendingSignature[40];
    bool runPatchWasLoaded = false;
    bool patchManagementDisabled = false;
    char versionString[80] = {};
    uint32_t flexId = 0, soClock = 0, swipeSpeed = 0, bitDepth = 0;
    uint32_t lineLengthOverride = 0;
    uint32_t variant = 0;
    bool selkin = false;
    bool secureMatchSupported = false;
    bool alternateWoe = false;
    bool selectiveSuspend = false;
    uint32_t selectiveSuspendTimeoutMs = 5000;
    bool fastReadStarted = false;
    uint8_t matchVerifyResult[16] = {};
    PrintConfiguration* defaultConfig = nullptr;
    // Fingerprint data encryption of the current capture: AES-CBC under the key cut to the session
    // key length, the IV carried from delivery to delivery.
    bool fpEncrypted = false;
    uint8_t fpKey[32] = {};
    uint8_t fpIv[32] = {};  // AES-CBC takes the first 16; the sensor gets all 32
    uint32_t fpKeyLength = 16;
    // Fingerprint signing: HMAC-SHA-256 under a fresh key, or on RSA-secured sensors a digest
    // (MD5 on 4.40, over alternating hashed and skipped spans).
    uint8_t signingKey[32] = {};
    uint8_t signatureResult[32] = {};
    void* signMac = nullptr;     // MacContext*
    void* signDigest = nullptr;  // DigestContext*
    bool signSpans = false;
    uint16_t signBlockLength = 0;
    uint32_t signPhase = 0;
    uint32_t signPosition = 0;

    // Fingerprint buffering in the sensor's flash: the two buffering parameters and the first unit
    // and unit count of the buffering area, filled by flash storage when it opens the ring (zero
    // until then); the key and IV of the capture whose data went into the ring.
    uint32_t fpBufferingParams[2] = {};
    uint32_t fpBufferingFirstUnit = 0;
    uint32_t fpBufferingUnitCount = 0;
    uint8_t bufferedFpKey[32] = {};
    uint8_t bufferedFpIv[32] = {};
    bool bufferedFpEncrypted = false;  // that capture's data went out encrypted
    // Wake-on-event thresholds and deltas, the alternate pair used while alternate WOE is on; the
    // motion threshold delta added to the capture's presence thresholds. 16 is the allocation value
    // of the device's base threshold.
    uint32_t woeThreshold = 16, woeThresholdAlt = 16;
    uint32_t woeThresholdDelta = 0, woeThresholdDeltaAlt = 0;
    uint32_t motionThresholdDelta = 0;
    // The last capture request asked to be kept (option 0x4000), from byte 1 on.
    std::vector<uint8_t> captureRequestCopy;

    DeviceState();
};

// The device's state, made on first use; NULL only when memory runs out. Guarded by the caller's
// device reference: the protocol runs one command per device at a time on the service thread.
DeviceState* stateOf(ScsSensorDevice* device);
// Drops the device's state (device free).
void forget(ScsSensorDevice* device);

}  // namespace scsproto

extern "C" {
// Called when a device record is freed, so its protocol state goes with it.
void scsProtocolDeviceFreed(ScsSensorDevice* device);
}
