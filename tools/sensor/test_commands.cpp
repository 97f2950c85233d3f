// Engineering commands of the test patches (raw command, fixed-size raw reply with a leading u16
// status), OTP access, provisioning and the ownership operations built on them.
#include "platform/crypto/crypto.h"
#include "tcs/flashfs/xtfs.h"
#include "tcs/imaging/ids_internal.h"
#include "tcs/sensorctl/init/housekeeping.h"
#include "tcs/sensorctl/protocol/print_defaults.h"
#include "tcs/sensorctl/secure/data_slots.h"
#include "tcs/sensorctl/protocol/device_properties.h"
#include "tcs/sensorctl/protocol/patches.h"
#include "tcs/sensorctl/secure/security.h"
#include "tcs/sensorctl/secure/ssl_session.h"
#include "tcs/sensorctl/protocol/sensor_commands.h"
#include "tools/sensor/diag_internal.h"

#include <cstring>
#include <vector>

using namespace tovdiag;

namespace {

constexpr uint32_t kTestPatchKind = 16;
constexpr uint32_t kProvisionKind = 64;
constexpr uint32_t kOwnershipKind = 1024;
constexpr uint32_t kEccKind = 0x40000;
constexpr uint32_t kLongPipeMs = 90000;
constexpr uint32_t kKeptPipeMs = 150000;
constexpr uint32_t kPipeRequestWrite = 0;
constexpr uint32_t kPipeReplyRead = 1;

uint16_t u16At(const uint8_t* p) { return uint16_t(p[0] | (p[1] << 8)); }
uint32_t u32At(const uint8_t* p) { return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24; }

// Sends a raw command and checks the reply's status: 54 when it is not 0 (or the reply is too
// short to carry one).
TcsResult rawCommand(TcsHandle handle, const uint8_t* command, uint32_t length, uint8_t* reply, uint32_t replyLength) {
    uint32_t got = replyLength;
    TcsResult result = tcsTestSensorSendCommand(handle, command, length, reply, &got);
    if (result != kOk) return result;
    if (got < 2 || u16At(reply) != 0) return kError;
    return kOk;
}

// The test-patch bracket: load (file or built-in kind), run, always restore the run-time patch,
// whose failure wins.
template <typename Body>
TcsResult inTestPatch(TcsHandle handle, ScsSensor* sensor, const char* path, uint32_t kind, uint32_t selector,
                      Body body) {
    TcsResult result = patchBracketLoad(handle, path, kind, selector);
    if (result != kOk) return result;
    result = body();
    TcsResult restored = scsSensorRestoreRunPatch(sensor);
    return restored != kOk ? restored : result;
}

// 14 for handle 0 or a sensor whose device is gone; false ends the call with *result.
bool beginWithDevice(TcsHandle handle, Sensor* sensor, TcsResult* result) {
    if (handle == 0) {
        *result = kNullSensor;
        return false;
    }
    *sensor = fetchSensor(handle);
    if (sensor->record == nullptr) {
        *result = kNullSensor;
        return false;
    }
    DeviceRef ref(sensor->scs());
    if (ref.result != kOk) {
        *result = kNullSensor;
        return false;
    }
    return true;
}

void updateFlags(ScsSensor* sensor, void (*change)(SecurityFlags&)) {
    DeviceRef ref(sensor);
    if (ref.result != kOk) return;
    SecurityFlags flags = securityFlags(ref.device);
    change(flags);
    setSecurityFlags(ref.device, flags);
}

constexpr uint32_t kSecretItemSize = 256;
constexpr uint8_t kRawLayout = 34;
constexpr uint32_t kSecretCalibrationType = 2;
constexpr uint32_t kNoCalibrationFlag = 0x04000000u;

// The secret mode's fixed key and IV, made at run time rather than kept as one constant block.
void simulatedOwnershipKey(uint8_t key[32], uint8_t iv[16]) {
    for (uint32_t i = 0; i < 32; ++i) key[i] = uint8_t(0xA5 ^ (i * 7 + 3));
    for (uint32_t i = 0; i < 16; ++i) iv[i] = uint8_t(0x3C ^ (i * 11 + 1));
}

// Collects the sensor's baseline again in place of the device's old one.
TcsResult refreshBaseline(ScsSensor* sensor) {
    DeviceRef ref(sensor);
    if (ref.result != kOk) return ref.result;
    if (auto* old = static_cast<ScsBaseLineInfo*>(ref.device->baselineInfo)) {
        scsFreeBaseLineInfo(old);
        palRealFree(old);
        ref.device->baselineInfo = nullptr;
    }
    ScsBaselineRecord captured{};
    TcsResult result = scsSesnorGetBaselineData(sensor, &captured);
    if (result != kOk) {
        palRealFree(captured.data);
        return result;
    }
    ScsBaseLineImage line{};
    result = scsSensorValidateAndProcessBaseLineData(sensor, &captured, &line);
    palRealFree(captured.data);
    if (result != kOk || line.pixels == nullptr) return result;
    auto* info = static_cast<ScsBaseLineInfo*>(palRealMalloc(sizeof(ScsBaseLineInfo)));
    if (info == nullptr) {
        palRealFree(line.pixels);
        return kNoMemory;
    }
    *info = ScsBaseLineInfo{};
    info->images[0] = line;
    ref.device->baselineInfo = info;
    return kOk;
}

// Firmware 4.40 and 4.60: the simulated ownership is a secret kept in the raw partition, then the
// sensor is brought up again as after a pairing.
TcsResult secretModeOwnership(TcsHandle handle, SensorRecord* record, const uint8_t* encrypted) {
    ScsSensor* scs = record->sensorControlSensor;
    TcsResult result = xtfsStorageCreate(scs, XTFS_PART_RAW, kRawLayout);
    if (result != kOk) return result;
    {
        DeviceRef ref(scs);
        if (ref.result != kOk) return ref.result;
        result = scsStoreDataInStorage(ref.device, SCS_SLOT_HOST_CERTIFICATE, SCS_SERIALIZER_SPI_FLASH,
                                       SCS_PROTECTOR_NONE, kSecretItemSize, encrypted);
        if (result != kOk) return result;
        SecurityFlags flags = securityFlags(ref.device);
        flags.state2 = false;
        flags.state5 = true;
        setSecurityFlags(ref.device, flags);
        result = scsSSLEstablishSessionEx(ref.device);
        if (result != kOk) return result;
    }
    result = scsSensorDetermineFlexId(scs);
    if (result == kOk) result = idsSensorPickImageReconstructor(record->imagingSensor);
    if (result == kOk) result = scsSensorSetDefaultPrintConfiguration(scs);
    if (result != kOk) return result;
    const CoreSubsystem* stack = record->client != nullptr ? record->client->stack : nullptr;
    if (stack != nullptr && (stack->flags & kNoCalibrationFlag) != 0) return kOk;
    result = tcsTestSensorUnloadPatch(handle);
    if (result == kOk) result = scsSensorCalibrate(scs, kSecretCalibrationType);
    if (result == kOk) result = refreshBaseline(scs);
    return result;
}

}  // namespace

extern "C" {

TcsResult tcsTestSensorSendCommand(TcsHandle handle, const uint8_t* command, uint32_t commandLength, uint8_t* reply,
                                   uint32_t* inOutReplyLength) {
    if (handle == 0) return kNullSensor;
    if (command == nullptr || reply == nullptr || inOutReplyLength == nullptr) return kNullPointer;
    Sensor sensor;
    TcsResult result = kOk;
    if (!beginSensor(handle, true, &sensor, &result)) return result;
    return scsSensorCommandBlob(sensor.scs(), command, commandLength, reply, inOutReplyLength);
}

TcsResult tcsTestNoop(TcsHandle handle) {
    if (handle == 0) return kNullSensor;
    Sensor sensor = fetchSensor(handle);
    if (sensor.record == nullptr) return sensor.result;
    const uint8_t command[1] = {0x00};
    uint8_t reply[2] = {};
    return rawCommand(handle, command, sizeof command, reply, sizeof reply);
}

TcsResult tcsTestSensorOtpRead(TcsHandle handle, uint8_t* out128, const char* patchPath) {
    Sensor sensor;
    TcsResult result = kOk;
    if (!beginWithDevice(handle, &sensor, &result)) return result;
    if (out128 == nullptr) return kNullPointer;
    return inTestPatch(handle, sensor.scs(), patchPath, kTestPatchKind, 0, [&] {
        const uint8_t command[1] = {0x22};
        uint8_t reply[130] = {};
        TcsResult sent = rawCommand(handle, command, sizeof command, reply, sizeof reply);
        if (sent == kOk) std::memcpy(out128, reply + 2, 128);
        return sent;
    });
}

TcsResult tcsTestSensorOtpWrite(TcsHandle handle, const uint8_t* data128, const char* patchPath) {
    Sensor sensor;
    TcsResult result = kOk;
    if (!beginWithDevice(handle, &sensor, &result)) return result;
    if (data128 == nullptr) return kNullPointer;
    return inTestPatch(handle, sensor.scs(), patchPath, kTestPatchKind, 0, [&] {
        uint8_t command[129] = {0x23};
        std::memcpy(command + 1, data128, 128);
        uint8_t reply[2] = {};
        TcsResult sent = rawCommand(handle, command, sizeof command, reply, sizeof reply);
        if (sent == kOk && (data128[1] & 0x01) != 0) {
            updateFlags(sensor.scs(), [](SecurityFlags& f) { f.state2 = true; });
        }
        return sent;
    });
}

TcsResult tcsTestSensorOtpReadEx(TcsHandle handle, uint8_t bank, uint32_t mode, uint8_t* out, const char* patchPath) {
    if (handle == 0) return kNullSensor;
    if (out == nullptr) return kNullPointer;
    if (bank > 1) return kSensorBadParam;
    Sensor sensor = fetchSensor(handle);
    if (sensor.record == nullptr) return sensor.result;
    const bool shortForm = mode == 1;
    const uint32_t dataLength = shortForm ? 64 : 2048;
    return inTestPatch(handle, sensor.scs(), patchPath, kTestPatchKind, 0, [&] {
        TcsResult valid = scsSensorValidate(sensor.scs());
        if (valid != kOk) return valid;
        const uint8_t command[3] = {0x3B, bank, uint8_t(shortForm ? 1 : 0)};
        std::vector<uint8_t> reply(4 + dataLength);
        TcsResult sent = rawCommand(handle, command, sizeof command, reply.data(), uint32_t(reply.size()));
        if (sent == kOk) std::memcpy(out, reply.data() + 4, dataLength);
        return sent;
    });
}

TcsResult tcsTestSensorOtpWriteEx(TcsHandle handle, uint8_t bank, uint32_t mode, uint8_t index, const uint8_t* data,
                                  uint16_t* outA, uint16_t* outB, uint16_t* outC, uint16_t* outD,
                                  const char* patchPath) {
    if (handle == 0) return kNullSensor;
    Sensor sensor = fetchSensor(handle);
    if (sensor.record == nullptr) return sensor.result;
    if (data == nullptr) return kNullPointer;
    if (bank >= 2 || index > 10) return kSensorBadParam;
    DeviceRef ref(sensor.scs());
    if (ref.result != kOk) return ref.result;
    uint32_t readMs = 0, writeMs = 0;
    TcsResult result = palSensorGetPipeTimeouts(ref.device->platformHandle, &readMs, &writeMs);
    if (result != kOk) return result;
    const bool change = readMs != kKeptPipeMs;
    if (change) {
        result = palSensorSetPipeTimeout(ref.device->platformHandle, kPipeReplyRead, kLongPipeMs);
        if (result != kOk) return result;
    }
    const bool shortForm = mode == 1;
    const uint32_t dataLength = shortForm ? 64 : 2048;
    result = inTestPatch(handle, sensor.scs(), patchPath, kTestPatchKind, 0, [&] {
        std::vector<uint8_t> command(5 + dataLength);
        command[0] = 0x3C;
        command[1] = bank;
        command[2] = shortForm ? 1 : 0;
        command[3] = index;
        command[4] = 0;
        std::memcpy(command.data() + 5, data, dataLength);
        uint8_t reply[10] = {};
        TcsResult sent = rawCommand(handle, command.data(), uint32_t(command.size()), reply, sizeof reply);
        if (sent == kOk) {
            if (outA != nullptr) *outA = u16At(reply + 2);
            if (outB != nullptr) *outB = u16At(reply + 4);
            if (outC != nullptr) *outC = u16At(reply + 6);
            if (outD != nullptr) *outD = u16At(reply + 8);
        }
        return sent;
    });
    if (change) {
        TcsResult restored = palSensorSetPipeTimeout(ref.device->platformHandle, kPipeReplyRead, readMs);
        if (restored != kOk) result = restored;
    }
    return result;
}

TcsResult tcsTestSensorRomChecksum(TcsHandle handle, uint32_t* outChecksum, const char* patchPath) {
    Sensor sensor;
    TcsResult result = kOk;
    if (!beginWithDevice(handle, &sensor, &result)) return result;
    if (outChecksum == nullptr) return kNullPointer;
    return inTestPatch(handle, sensor.scs(), patchPath, kTestPatchKind, 0, [&] {
        const uint8_t command[1] = {0x21};
        uint8_t reply[6] = {};
        TcsResult sent = rawCommand(handle, command, sizeof command, reply, sizeof reply);
        if (sent == kOk) *outChecksum = u32At(reply + 2);
        return sent;
    });
}

TcsResult tcsTestGetSpecialGPIOState(TcsHandle handle, uint32_t* outState) {
    Sensor sensor;
    TcsResult result = kOk;
    if (!beginWithDevice(handle, &sensor, &result)) return result;
    if (outState == nullptr) return kNullPointer;
    result = tcsTestSensorUpdateSecurityState(handle);
    if (result != kOk) return result;
    return inTestPatch(handle, sensor.scs(), nullptr, kTestPatchKind, 2, [&] {
        const uint8_t command[1] = {0x3D};
        uint8_t reply[6] = {};
        TcsResult sent = rawCommand(handle, command, sizeof command, reply, sizeof reply);
        if (sent == kOk) *outState = u32At(reply + 2);
        return sent;
    });
}

TcsResult tcsTestSensorGetEccCorrectionInfo(TcsHandle handle, uint16_t* outA, uint16_t* outB) {
    Sensor sensor;
    TcsResult result = kOk;
    if (!beginWithDevice(handle, &sensor, &result)) return result;
    if (outA == nullptr || outB == nullptr) return kNullPointer;
    result = tcsTestSensorLoadPatch(handle, kEccKind, 0, nullptr);
    if (result != kOk) return result;
    return inTestPatch(handle, sensor.scs(), nullptr, kTestPatchKind, 0, [&] {
        const uint8_t command[1] = {0x30};
        uint8_t reply[6] = {};
        TcsResult sent = rawCommand(handle, command, sizeof command, reply, sizeof reply);
        if (sent == kOk) {
            *outA = u16At(reply + 2);
            *outB = u16At(reply + 4);
        }
        return sent;
    });
}

static TcsResult programmDunmo(TcsHandle handle, uint8_t code, const char* patchPath) {
    Sensor sensor;
    TcsResult result = kOk;
    if (!beginWithDevice(handle, &sensor, &result)) return result;
    return inTestPatch(handle, sensor.scs(), patchPath, kTestPatchKind, 0, [&] {
        const uint8_t command[1] = {code};
        uint8_t reply[10] = {};
        return rawCommand(handle, command, sizeof command, reply, sizeof reply);
    });
}

TcsResult tcsTestProgrammDunmoMTPassed(TcsHandle handle, const char* patchPath) {
    return programmDunmo(handle, 0x59, patchPath);
}

TcsResult tcsTestProgrammDunmoSSK(TcsHandle handle, const char* patchPath) {
    return programmDunmo(handle, 0x55, patchPath);
}

TcsResult tcsTestSensorProvision(TcsHandle handle, uint32_t length, uint8_t* out52, const char* patchPath) {
    Sensor sensor;
    TcsResult result = kOk;
    if (!beginWithDevice(handle, &sensor, &result)) return result;
    if ((length & 0xFFFFu) != 52 || out52 == nullptr) return kBadParam;
    return inTestPatch(handle, sensor.scs(), patchPath, kProvisionKind, 0, [&] {
        const uint8_t command[1] = {0x0E};
        uint8_t reply[54] = {};
        TcsResult sent = rawCommand(handle, command, sizeof command, reply, sizeof reply);
        if (sent == kOk) std::memcpy(out52, reply + 2, 52);
        return sent;
    });
}

TcsResult tcsTestSensorResetOwner(TcsHandle handle, const TcsTestPassword* password) {
    if (handle == 0) return kNullSensor;
    Sensor sensor = fetchSensor(handle);
    if (sensor.record == nullptr) return sensor.result;
    ScsSensor* scs = sensor.scs();
    DeviceRef ref(scs);
    if (ref.result != kOk) return ref.result;
    TcsResult result = ensureVersion(scs, ref.device);
    if (result != kOk) return result;

    // Every path from here on leaves the sensor reset.
    auto finish = [&](TcsResult outcome) {
        scsSensorReset(scs, 0);
        return outcome;
    };
    const SecurityFlags flags = securityFlags(ref.device);
    if (flags.state2 || !scsSensorIsSecured(scs)) return finish(kOwnerRefused);
    const bool state5 = flags.state5;
    uint32_t capacity = 0;
    if (xtfsGetFlashInfo(scs, &capacity) != kOk) capacity = 0;

    const uint32_t selector = ref.device->fwVersion != nullptr && ref.device->fwVersion->major == 6 ? 0 : 1;
    result = LoadSecurityManagementPatch(scs, selector);
    if (result != kOk) return finish(result);

    PalSensorHandle* transport = ref.device->platformHandle;
    uint32_t readMs = 0, writeMs = 0;
    result = palSensorGetPipeTimeouts(transport, &readMs, &writeMs);
    if (result != kOk) return finish(result);
    bool readChanged = false, writeChanged = false;
    bool ownershipRefused = false;
    bool timeoutsSet = true;
    if (readMs != kLongPipeMs) {
        result = palSensorSetPipeTimeout(transport, kPipeReplyRead, kLongPipeMs);
        if (result != kOk) return finish(result);
        readChanged = true;
    }
    if (writeMs != kLongPipeMs) {
        result = palSensorSetPipeTimeout(transport, kPipeRequestWrite, kLongPipeMs);
        writeChanged = result == kOk;
        timeoutsSet = result == kOk;
    }
    if (timeoutsSet) {
        const uint32_t length = password != nullptr ? password->length : 0;
        const uint8_t* bytes = password != nullptr ? password->data : nullptr;
        result = scsSensorResetOwnership(scs, length, bytes);
        ownershipRefused = result == kNoCycle;
        bool erase = false;
        if (result == kOk) {
            if (scsSSLIsInSession(ref.device)) scsSSLCloseSession(ref.device, 0);
            if (!state5) {
                scsDeleteDataFromStorage(ref.device, SCS_SLOT_SHARED_SECRET, SCS_SERIALIZER_SETTINGS);
                scsDeleteDataFromStorage(ref.device, SCS_SLOT_SENSOR_SECRET, SCS_SERIALIZER_SETTINGS);
                erase = true;
            }
        } else if (ownershipRefused) {
            erase = true;
        }
        if (erase && capacity != 0 && !state5) {
            result = UnloadPatch(scs);
            if (result == kOk) {
                if (ownershipRefused) {
                    if (xtfsStorageOpen(scs, XTFS_PART_FS, 0, nullptr) == kOk) xtfsBulkEraseFSSStorage(scs);
                } else {
                    xtfsBulkErase(scs);
                }
            }
        }
    }
    // A refused reset (a wrong password) must not be reported as success because putting the
    // time-outs back worked: a restore's failure counts only when everything before it succeeded.
    if (readChanged) {
        const TcsResult restored = palSensorSetPipeTimeout(transport, kPipeReplyRead, readMs);
        if (result == kOk) result = restored;
    }
    if (writeChanged) {
        const TcsResult restored = palSensorSetPipeTimeout(transport, kPipeRequestWrite, writeMs);
        if (result == kOk) result = restored;
    }
    return finish(ownershipRefused ? kNoCycle : result);
}

TcsResult tcsTestSensorResetOwnerQuick(TcsHandle handle) {
    if (handle == 0) return kNullSensor;
    Sensor sensor = fetchSensor(handle);
    if (sensor.record == nullptr) return sensor.result;
    ScsSensor* scs = sensor.scs();
    {
        DeviceRef ref(scs);
        if (ref.result != kOk) return ref.result;
        TcsResult result = ensureVersion(scs, ref.device);
        if (result != kOk) return result;
    }
    TcsResult result = tcsTestSensorLoadPatch(handle, kTestPatchKind, 0, nullptr);
    if (result == kOk) {
        const uint8_t command[1] = {0x34};
        uint8_t reply[2] = {};
        result = rawCommand(handle, command, sizeof command, reply, sizeof reply);
        if (result == kOk) {
            xtfsStorageClose(scs, XTFS_PART_RAW);
            updateFlags(scs, [](SecurityFlags& f) {
                f.state5 = false;
                f.state2 = true;
            });
        }
    }
    // This one ends with the patch unloaded, not with the run-time patch back.
    scsSensorUnloadPatch(scs);
    return result;
}

TcsResult tcsTestSimulateTakeOwnership(TcsHandle handle, const uint8_t* data, uint32_t length, const char* patchPath) {
    if (handle == 0) return kNullSensor;
    Sensor sensor = fetchSensor(handle);
    if (sensor.record == nullptr) return sensor.result;
    ScsSensor* scs = sensor.scs();
    uint8_t minor = 0;
    {
        DeviceRef ref(scs);
        if (ref.result != kOk) return ref.result;
        if (ref.device->fwVersion == nullptr) return kNullPointer;
        if (ref.device->fwVersion->major != 4) return kNotImplemented;
        minor = ref.device->fwVersion->minor;
    }
    const bool secretMode = minor == 40 || minor == 60;
    std::vector<uint8_t> encrypted;
    if (secretMode) {
        if (data == nullptr) return kNullPointer;
        // The item stored is 256 bytes, read from the encrypted copy: a shorter input would be read
        // past its end, and CBC takes whole blocks.
        if (length != kSecretItemSize) return kBadParam;
        uint8_t key[32], iv[16];
        simulatedOwnershipKey(key, iv);
        encrypted.resize(length);
        uint32_t outLength = length;
        TcsResult result = palCryptoEncrypt(data, length, encrypted.data(), &outLength, key, sizeof key, iv, 5);
        std::memset(key, 0, sizeof key);
        if (result != kOk) return result;
    }
    TcsResult result = patchBracketLoad(handle, patchPath, kOwnershipKind, 0);
    if (result != kOk) return result;
    if (secretMode) {
        result = secretModeOwnership(handle, sensor.record, encrypted.data());
        xtfsStorageClose(scs, XTFS_PART_RAW);
    } else {
        uint8_t secret[32] = {}, other[32] = {};
        result = scsSensorTakeOwnership(scs, data != nullptr ? length : 0, data, secret, 32, other, 32);
        if (result == kOk) {
            DeviceRef ref(scs);
            if (ref.result == kOk) {
                scsDataSlotSetCachedSecret(ref.device, secret);
                SecurityFlags flags = securityFlags(ref.device);
                flags.state2 = false;
                flags.owned = true;
                setSecurityFlags(ref.device, flags);
                result = scsSSLEstablishSessionEx(ref.device);
            } else {
                result = ref.result;
            }
        }
        std::memset(secret, 0, sizeof secret);
        std::memset(other, 0, sizeof other);
    }
    TcsResult restored = scsSensorRestoreRunPatch(scs);
    return restored != kOk ? restored : result;
}

TcsResult tcsTestGenFakeSharedSecret(TcsHandle handle, uint8_t* out32, uint32_t length, const char* patchPath) {
    Sensor sensor;
    TcsResult result = kOk;
    if (!beginWithDevice(handle, &sensor, &result)) return result;
    if (length != 32 || out32 == nullptr) return kBadParam;
    ScsSensor* scs = sensor.scs();
    {
        DeviceRef ref(scs);
        if (ref.result != kOk) return kNullSensor;
        if (ref.device->fwVersion == nullptr) return kNullPointer;
        if (ref.device->fwVersion->major != 4 || ref.device->fwVersion->minor != 21) return kNotImplemented;
    }
    result = patchBracketLoad(handle, patchPath, kOwnershipKind, 0);
    if (result != kOk) return result;
    uint8_t secret[32] = {}, other[32] = {};
    result = scsSensorTakeOwnership(scs, 0, nullptr, secret, 32, other, 32);
    if (result == kOk) {
        DeviceRef ref(scs);
        if (ref.result == kOk) {
            scsDataSlotSetCachedSecret(ref.device, secret);
            std::memcpy(out32, secret, 32);
            SecurityFlags flags = securityFlags(ref.device);
            flags.state2 = false;
            flags.owned = true;
            setSecurityFlags(ref.device, flags);
        } else {
            result = ref.result;
        }
    }
    std::memset(secret, 0, sizeof secret);
    std::memset(other, 0, sizeof other);
    TcsResult restored = scsSensorRestoreRunPatch(scs);
    return restored != kOk ? restored : result;
}

TcsResult tcsTestSensorDownloadSetVCK_IV(TcsHandle handle, uint32_t sizeSelector, const char* patchPath) {
    if (handle == 0) return kNullSensor;
    Sensor sensor = fetchSensor(handle);
    if (sensor.record == nullptr) return sensor.result;
    ScsSensor* scs = sensor.scs();
    TcsResult result = kOk;
    if (patchPath != nullptr) {
        result = tcsTestDownloadPatch(handle, patchPath);
    } else {
        uint8_t major = 0, minor = 0;
        {
            DeviceRef ref(scs);
            if (ref.result != kOk) return ref.result;
            result = ensureVersion(scs, ref.device);
            if (result != kOk) return result;
            if (ref.device->fwVersion == nullptr) return kNoVersion;
            major = ref.device->fwVersion->major;
            minor = ref.device->fwVersion->minor;
        }
        uint32_t kind = 2048;
        if ((major == 4 && minor == 40) || sizeSelector == 1) kind = 4096;
        if (major == 4 && minor == 60) {
            updateFlags(scs, [](SecurityFlags& f) {
                f.state2 = true;
                f.state5 = false;
            });
        }
        uint32_t loaded = 0;
        result = tcsTestSensorLoadPatch(handle, kind, 0, &loaded);
        if (result == kOk && loaded == 0) result = kNoData;
    }
    TcsResult restored = scsSensorRestoreRunPatch(scs);
    return restored != kOk ? restored : result;
}

}  // extern "C"
