// Sensor ownership: taking it with a password or with keys through the staged core item 7,
// resetting it through item 9, the ownership counters and the synchronous forms with their resets.
#include "tcs/core.h"

#include "platform/crypto/crypto.h"
#include "platform/memory.h"
#include "platform/settings.h"
#include "platform/text.h"
#include "platform/usb_transport.h"
#include "tcs/flashfs/xtfs.h"
#include "tcs/handle_map.h"
#include "tcs/sensorctl/secure/data_slots.h"
#include "tcs/sensorctl/init/device_accessors.h"
#include "tcs/sensorctl/protocol/patch_loader.h"
#include "tcs/sensorctl/protocol/patches.h"
#include "tcs/sensorctl/ownership/secure_storage.h"
#include "tcs/sensorctl/protocol/sensor_commands.h"
#include "tcs/sensorctl/protocol/sensor_properties.h"

#include <cstdio>
#include <cstring>

namespace {

constexpr uint32_t kSetOwnerTimeoutMs = 120000;
constexpr uint32_t kResetOwnerTimeoutMs = 60000;
constexpr uint32_t kResetWaitMs = 120000;
constexpr uint32_t kLongPipeMs = 90000;
constexpr uint32_t kMaxPassword = 64;
constexpr uint32_t kHostKeyBits = 2048;
constexpr uint32_t kPrivateBlobSize = 1184;
constexpr uint32_t kHostKeySlot = 13;
constexpr uint32_t kKeyedReplySize = 256;
constexpr TcsResult kNoOwnershipCycle = 381;
constexpr uint32_t kStageFailed = 7;
constexpr uint32_t kStageCallback = 6;
constexpr const char* kProductSection = "SOFTWARE\\Tovantic\\tfs530";

struct OwnershipKeySet {
    uint32_t flashCapacity;
    uint32_t eraseBlockSize;
    uint32_t savedReadMs;
    uint32_t savedWriteMs;
    const uint8_t* cik;
    const uint8_t* cios;
    uint32_t ecc;
    uint32_t hostKeyMade;
    const uint8_t* privateExponent;
    const uint8_t* privateModulus;
    uint8_t* hostModulus;  // owned when hostKeyMade is 1
};

struct OwnershipRequest {
    ScsSensor* sensor;
    ScsFwVersion version;
    const SizedBuffer* password;  // password route (points at the copy below); NULL: empty password
    OwnershipKeySet* keys;        // key route; owned by the item
    // The item keeps its own copy of the password: a caller whose wait ran out may be gone while a
    // started item still reaches stage 3.
    SizedBuffer passwordCopy;
    uint8_t passwordBytes[kMaxPassword];
};

// The item of a reset: request and a copy of the password in one block, freed by the handler.
struct ResetRequestBlock {
    ScsResetOwnershipRequest request;
    ScsOwnershipData buffer;
    uint8_t password[kMaxPassword];
};

void wipe(void* data, size_t length) {
    volatile uint8_t* p = static_cast<volatile uint8_t*>(data);
    for (size_t i = 0; i < length; ++i) p[i] = 0;
}

bool isFw(const ScsFwVersion& v, uint8_t major, uint8_t minor) { return v.major == major && v.minor == minor; }
bool keyFirmware(const ScsFwVersion& v) { return isFw(v, 4, 40) || isFw(v, 4, 60); }

TcsResult fetchSensor(TcsHandle handle, SensorRecord** out) {
    void* object = nullptr;
    tcsSafeSensorHandleFetch(handle, &object);
    auto* sensor = static_cast<SensorRecord*>(object);
    if (sensor == nullptr) return TCS_RESULT_NULL_SENSOR_HANDLE;
    *out = sensor;
    return TCS_RESULT_OK;
}

// 14 unknown sensor, 16 no client, 216 no core record.
TcsResult sensorClientStack(TcsHandle handle, SensorRecord** out) {
    TcsResult result = fetchSensor(handle, out);
    if (result != TCS_RESULT_OK) return result;
    if ((*out)->client == nullptr) return TCS_RESULT_NULL_CLIENT_HANDLE;
    if ((*out)->client->stack == nullptr) return TCS_RESULT_NULL_SUBSYSTEM_HANDLE;
    return TCS_RESULT_OK;
}

void freeKeySet(OwnershipKeySet* keys) {
    if (keys == nullptr) return;
    if (keys->hostKeyMade == 1 && keys->hostModulus != nullptr) palRealFree(keys->hostModulus);
    wipe(keys, sizeof *keys);
    palRealFree(keys);
}

TcsResult queueOwnership(TcsHandle handle, uint32_t type, const SizedBuffer* password, OwnershipKeySet* keys,
                         CompletionCallback callback, void* context) {
    SensorRecord* sensor = nullptr;
    TcsResult result = fetchSensor(handle, &sensor);
    if (result != TCS_RESULT_OK) return result;
    if (sensor->client == nullptr || sensor->client->stack == nullptr) return TCS_RESULT_NULL_SUBSYSTEM_HANDLE;
    if (callback == nullptr) return TCS_RESULT_BAD_PARAM;
    if (password != nullptr && password->length > kMaxPassword) return TCS_RESULT_BAD_PARAM;
    auto* request = static_cast<OwnershipRequest*>(palRealMalloc(sizeof(OwnershipRequest)));
    if (request == nullptr) return TCS_RESULT_OUT_OF_MEMORY;
    std::memset(request, 0, sizeof *request);
    request->sensor = sensor->sensorControlSensor;
    if (password != nullptr && password->data != nullptr && password->length != 0) {
        std::memcpy(request->passwordBytes, password->data, password->length);
        request->passwordCopy.length = password->length;
        request->passwordCopy.data = request->passwordBytes;
        request->password = &request->passwordCopy;
    }
    request->keys = keys;
    result = _tcsQueueCoreItem(sensor->client->stack, type, kSetOwnerTimeoutMs, request, callback, context);
    if (result != TCS_RESULT_OK) palRealFree(request);
    return result;
}

OwnershipKeySet* makeKeySet(const uint8_t* cik, const uint8_t* cios, const uint8_t* exponent, const uint8_t* modulus,
                            const uint8_t* hostModulus, uint32_t ecc) {
    auto* keys = static_cast<OwnershipKeySet*>(palRealMalloc(sizeof(OwnershipKeySet)));
    if (keys == nullptr) return nullptr;
    std::memset(keys, 0, sizeof *keys);
    keys->cik = cik;
    keys->cios = cios;
    keys->privateExponent = exponent;
    keys->privateModulus = modulus;
    keys->hostModulus = const_cast<uint8_t*>(hostModulus);
    keys->ecc = ecc;
    return keys;
}

// Stage 1 on firmware with capability bit 4 and no caller modulus: a host key pair whose public
// modulus goes to the sensor (reversed) and whose private blob stays in the sensor's flash slots.
TcsResult makeHostKey(ScsSensor* sensor, OwnershipKeySet* keys) {
    CryptoKeyObject* publicKey = nullptr;
    CryptoKeyObject* privateKey = nullptr;
    palCryptoRsaGenerateKeypair(kHostKeyBits, &publicKey, &privateKey);
    struct Keys {
        CryptoKeyObject** a;
        CryptoKeyObject** b;
        ~Keys() {
            if (*a != nullptr) palCryptoObjectDestroyHandle(a);
            if (*b != nullptr) palCryptoObjectDestroyHandle(b);
        }
    } destroy{&publicKey, &privateKey};
    uint8_t exported[kHostKeyBits / 8] = {};
    uint32_t bits = 0;
    TcsResult result = palCryptoRsaExportPublicKey(&bits, publicKey, exported, sizeof exported);
    if (result != TCS_RESULT_OK) return result;
    if (bits == 0 || bits > kHostKeyBits) return TCS_RESULT_BAD_PARAM;
    const uint32_t length = bits / 8;
    auto* modulus = static_cast<uint8_t*>(palRealMalloc(length));
    if (modulus == nullptr) return TCS_RESULT_OUT_OF_MEMORY;
    for (uint32_t i = 0; i < length; ++i) modulus[i] = exported[length - 1 - i];
    keys->hostModulus = modulus;
    keys->hostKeyMade = 1;
    auto* blob = static_cast<uint8_t*>(palRealMalloc(kPrivateBlobSize));
    if (blob == nullptr) return TCS_RESULT_OUT_OF_MEMORY;
    uint32_t blobLength = kPrivateBlobSize;
    result = palCryptoRsaExportPrivateKeyBlobData(privateKey, blob, &blobLength);
    if (result == TCS_RESULT_OK) {
        ScsSensorDevice* device = nullptr;
        result = scsSensorDeviceAcquire(sensor, &device);
        if (result == TCS_RESULT_OK) {
            result = scsStoreDataInStorage(device, kHostKeySlot, 1, 1, kPrivateBlobSize, blob);
            scsSensorDeviceRelease(device);
        }
    }
    wipe(blob, kPrivateBlobSize);
    palRealFree(blob);
    return result;
}

TcsResult stageReadCounters(OwnershipRequest* request) {
    TcsResult result = scsSensorGetFwVersion(request->sensor, &request->version);
    if (result != TCS_RESULT_OK) return result;
    uint16_t total = 0, available = 0;
    result = GetOwnershipInfo(request->sensor, &total, &available);
    if (result != TCS_RESULT_OK) return result;
    return available == 0 ? kNoOwnershipCycle : TCS_RESULT_OK;
}

TcsResult stagePartition(OwnershipRequest* request) {
    const ScsFwVersion& v = request->version;
    const uint8_t layout = (v.major > 3 && v.minor > 39) ? 34 : 33;
    // Initialisation leaves the raw partition open on a secure sensor, and flash storage will not
    // make a new table over an open one: the old table is given up first (nothing of it is kept).
    xtfsStorageClose(request->sensor, 1);
    TcsResult result = xtfsStorageCreate(request->sensor, 1, layout);
    if (result != TCS_RESULT_OK || !keyFirmware(v)) return result;
    // A password request on key firmware has no key set to fill.
    OwnershipKeySet* keys = request->keys;
    if (keys == nullptr) return TCS_RESULT_BAD_PARAM;
    result = xtfsGetFlashInfo(request->sensor, &keys->flashCapacity);
    if (result == TCS_RESULT_OK) result = xtfsGetFlashSectorSize(request->sensor, &keys->eraseBlockSize);
    if (result != TCS_RESULT_OK) return result;
    if ((v.capabilities & 0x10) != 0 && keys->hostModulus == nullptr) result = makeHostKey(request->sensor, keys);
    return result;
}

TcsResult stagePatches(OwnershipRequest* request) {
    if (keyFirmware(request->version)) {
        TcsResult result = LoadPreSecurityManagementPatch(request->sensor);
        if (result != TCS_RESULT_OK) return result;
    }
    return LoadSecurityManagementPatch(request->sensor, 0);
}

TcsResult takeWithKeys(OwnershipRequest* request) {
    OwnershipKeySet* keys = request->keys;
    if (keys == nullptr) return TCS_RESULT_BAD_PARAM;
    ScsSensorDevice* device = nullptr;
    TcsResult result = scsSensorDeviceAcquire(request->sensor, &device);
    if (result != TCS_RESULT_OK) return result;
    PalSensorHandle* pipe = device->platformHandle;
    result = palSensorGetPipeTimeouts(pipe, &keys->savedReadMs, &keys->savedWriteMs);
    bool readRaised = false, writeRaised = false;
    if (result == TCS_RESULT_OK && keys->savedReadMs != kLongPipeMs) {
        result = palSensorSetPipeTimeout(pipe, 1, kLongPipeMs);
        readRaised = result == TCS_RESULT_OK;
    }
    if (result == TCS_RESULT_OK && keys->savedWriteMs != kLongPipeMs) {
        result = palSensorSetPipeTimeout(pipe, 0, kLongPipeMs);
        writeRaised = result == TCS_RESULT_OK;
    }
    if (result == TCS_RESULT_OK) {
        uint8_t reply[kKeyedReplySize] = {};
        result = scsSensorTakeOwnershipWithKeys(request->sensor, keys->flashCapacity, keys->eraseBlockSize, keys->cik,
                                                keys->cios, keys->privateExponent, keys->privateModulus,
                                                keys->hostModulus, kKeyedReplySize, reply);
        if (result == TCS_RESULT_OK) result = scsSensorStoreTakeOwnershipWithKeysReply(request->sensor, sizeof reply, reply);
        wipe(reply, sizeof reply);
    }
    // Put the time-outs back on every path: a failed command used to leave them at 90000 ms until
    // the next reset, so a later stalled transfer hung for a minute and a half.
    if (readRaised) palSensorSetPipeTimeout(pipe, 1, keys->savedReadMs);
    if (writeRaised) palSensorSetPipeTimeout(pipe, 0, keys->savedWriteMs);
    scsSensorDeviceRelease(device);
    return result;
}

TcsResult takeWithPassword(OwnershipRequest* request) {
    const SizedBuffer* password = request->password;
    const uint32_t length = password != nullptr ? password->length : 0;
    const uint8_t* data = password != nullptr ? password->data : nullptr;
    uint8_t first[32] = {}, second[32] = {};
    TcsResult result = scsSensorTakeOwnership(request->sensor, length, data, first, 32, second, 32);
    if (result == TCS_RESULT_OK) result = scsSensorStoreTakeOwnershipReply(request->sensor, 32, first, 32, second);
    wipe(first, sizeof first);
    wipe(second, sizeof second);
    return result;
}

TcsResult stageMarker(OwnershipRequest* request) {
    const uint8_t* s = request->version.serial;
    char section[260];
    std::snprintf(section, sizeof section, "%s\\%02X%02X%02X%02X%02X%02X", kProductSection, s[0], s[1], s[2], s[3],
                  s[4], s[5]);
    const uint8_t one = 1;
    return palSetPersistentDataBinaryValue(section, "AfterTakeOwner", &one, 1);
}

TcsResult runStage(uint32_t stage, OwnershipRequest* request) {
    switch (stage) {
        case 0: return stageReadCounters(request);
        case 1: return stagePartition(request);
        case 2: return stagePatches(request);
        case 3: return keyFirmware(request->version) ? takeWithKeys(request) : takeWithPassword(request);
        case 4: return scsSerializeRawPartition(request->sensor, SCS_RAW_SAVE_STORE);
        default: return stageMarker(request);
    }
}

// The synchronous pattern of the ownership calls: reset recovery off, the asynchronous call queued
// with the heap-owned wait record of the core (a handler still running when the wait runs out
// completes into a record that is then freed by that completion), and the own item cancelled on
// a time-out.
struct SyncStart {
    TcsResult (*queue)(const SyncStart&, CompletionCallback, void*);
    TcsHandle sensor;
    const SizedBuffer* password;
    const uint8_t* keys[5];
};

TcsResult startSync(CompletionCallback callback, SyncWaitRecord* record, void* argument) {
    auto* start = static_cast<SyncStart*>(argument);
    return start->queue(*start, callback, record);
}

TcsResult runSync(SensorRecord* sensor, uint32_t type, uint32_t timeoutMs, SyncStart& start) {
    TcsResult result = scsSensorDisableResetRecovery(sensor->sensorControlSensor, 1);
    if (result != TCS_RESULT_OK) return result;
    CoreSubsystem* stack = sensor->client->stack;
    result = _tcsSyncCall(stack, timeoutMs, TCS_RESULT_EVENT_CREATION_FAILED, nullptr, startSync, &start);
    if (result == TCS_RESULT_TIMEOUT) _tcsCompleteWorkItem(&stack->workList, type);
    return result;
}

uint32_t ownershipItemType(SensorRecord* sensor) {
    return scsSensorIsBrellow(sensor->sensorControlSensor) == 1 ? TCS_ITEM_SET_OWNERSHIP_BRELLOW
                                                                 : TCS_ITEM_SET_OWNERSHIP;
}

TcsResult resetAfterPairing(TcsHandle handle, TcsResult result) {
    const TcsResult reset = tcsSensorResetAndWait(handle, kResetWaitMs);
    return (reset != TCS_RESULT_OK && result == TCS_RESULT_OK) ? reset : result;
}

TcsResult checkPassword(const SizedBuffer* password) {
    if (password == nullptr || password->length == 0 || password->data == nullptr) return TCS_RESULT_NULL_POINTER;
    if (password->length > kMaxPassword) return TCS_RESULT_BAD_PARAM;
    return TCS_RESULT_OK;
}

TcsResult withKeysSync(TcsHandle handle, const uint8_t* const keys[5], bool ecc) {
    SensorRecord* sensor = nullptr;
    TcsResult result = sensorClientStack(handle, &sensor);
    if (result != TCS_RESULT_OK) return result;
    ScsSensor* control = sensor->sensorControlSensor;
    uint32_t provisioned = 0;
    result = scsSensorIsProvisioned(control, &provisioned);
    if (result == TCS_RESULT_OK && provisioned == 0) result = TCS_RESULT_SENSOR_CMD_DENIED;
    if (result == TCS_RESULT_OK) {
        const bool brellow = scsSensorIsBrellow(control) == 1;
        if (ecc) {
            if (!brellow) result = TCS_RESULT_NOT_IMPLEMENTED;
        } else {
            ScsFwVersion version{};
            result = scsSensorGetFwVersion(control, &version);
            if (result == TCS_RESULT_OK && !brellow && !keyFirmware(version)) result = TCS_RESULT_NOT_IMPLEMENTED;
        }
    }
    if (result == TCS_RESULT_OK) {
        SyncStart start{};
        start.sensor = handle;
        std::memcpy(start.keys, keys, sizeof start.keys);
        start.queue = ecc ? [](const SyncStart& s, CompletionCallback cb, void* context) {
            return tcsSensorSetOwnerWithKeysEccAsync(s.sensor, s.keys[0], s.keys[1], s.keys[2], s.keys[3], s.keys[4], cb,
                                                     context);
        }
                          : [](const SyncStart& s, CompletionCallback cb, void* context) {
            return tcsSensorSetOwnerWithKeysAsync(s.sensor, s.keys[0], s.keys[1], s.keys[2], s.keys[3], s.keys[4], cb,
                                                  context);
        };
        result = runSync(sensor, ecc ? uint32_t(TCS_ITEM_SET_OWNERSHIP_BRELLOW) : ownershipItemType(sensor), kSetOwnerTimeoutMs,
                         start);
    }
    if (result == TCS_RESULT_NULL_POINTER || result == kNoOwnershipCycle) return result;
    return resetAfterPairing(handle, result);
}

}  // namespace

extern "C" {

TcsResult tcsWITSetOwnership(WorkItem* item) {
    auto* request = static_cast<OwnershipRequest*>(item->object);
    uint32_t* stage = tcsItemStep(item);
    if (*stage == kStageFailed) {
        *stage = kStageCallback;
        return TCS_RESULT_OK;
    }
    if (*stage == kStageCallback) {
        const TcsResult result = tcsItemResult(item);
        CompletionCallback callback = tcsItemCallback(item);
        if (callback != nullptr) callback(nullptr, result, tcsItemContext(item));
        if (request != nullptr) {
            freeKeySet(request->keys);
            wipe(request, sizeof *request);
            palRealFree(request);
        }
        item->object = nullptr;
        *tcsItemState(item) = TCS_ITEM_DONE;
        return result;
    }
    const TcsResult result = request != nullptr ? runStage(*stage, request) : TCS_RESULT_NULL_POINTER;
    tcsItemSetResult(item, result);
    if (result != TCS_RESULT_OK) {
        *stage = kStageFailed;
    } else {
        *stage = *stage == 5 ? kStageCallback : *stage + 1;
    }
    return result;
}

void tcsOwnershipItemDiscard(WorkItem* item) {
    if (item->object == nullptr) return;
    if (item->type == TCS_ITEM_RESET_OWNERSHIP) {
        wipe(item->object, sizeof(ResetRequestBlock));
    } else {
        auto* request = static_cast<OwnershipRequest*>(item->object);
        // A sequence that was under way still owes its caller the one callback.
        if (*tcsItemStep(item) != 0) {
            CompletionCallback callback = tcsItemCallback(item);
            if (callback != nullptr) callback(nullptr, TCS_RESULT_TIMEOUT, tcsItemContext(item));
        }
        freeKeySet(request->keys);
        wipe(request, sizeof *request);
    }
    palRealFree(item->object);
    item->object = nullptr;
}

TcsResult tcsWITResetOwnership(WorkItem* item) {
    auto* block = static_cast<ResetRequestBlock*>(item->object);
    const TcsResult result = block != nullptr ? scsResetOwnership(&block->request) : TCS_RESULT_NULL_POINTER;
    tcsItemSetResult(item, result);
    CompletionCallback callback = tcsItemCallback(item);
    if (callback != nullptr) callback(nullptr, result, tcsItemContext(item));
    if (block != nullptr) {
        wipe(block, sizeof *block);
        palRealFree(block);
    }
    item->object = nullptr;
    *tcsItemState(item) = TCS_ITEM_DONE;
    return result;
}

TcsResult tcsSensorGetOwnershipInfo(TcsHandle handle, uint16_t* outTotal, uint16_t* outAvailable) {
    SensorRecord* sensor = nullptr;
    TcsResult result = fetchSensor(handle, &sensor);
    if (result != TCS_RESULT_OK) return result;
    if (outTotal == nullptr || outAvailable == nullptr) return TCS_RESULT_NULL_POINTER;
    ScsSensor* control = sensor->sensorControlSensor;
    result = GetOwnershipInfo(control, outTotal, outAvailable);
    if (result == TCS_RESULT_NULL_SENSOR_HANDLE) return result;
    const TcsResult restored = scsSensorRestoreRunPatch(control);
    return restored != TCS_RESULT_OK ? restored : result;
}

TcsResult tcsSensorGetSupportedRSAKeyLength(TcsHandle handle, uint32_t* outLength) {
    SensorRecord* sensor = nullptr;
    TcsResult result = fetchSensor(handle, &sensor);
    if (result != TCS_RESULT_OK) return result;
    if (outLength == nullptr) return TCS_RESULT_NULL_POINTER;
    return scsSensorGetSupportedRSAKeyLength(sensor->sensorControlSensor, outLength);
}

TcsResult tcsSensorSetOwnerAsync(TcsHandle handle, const SizedBuffer* password, CompletionCallback callback,
                                 void* context) {
    SensorRecord* sensor = nullptr;
    TcsResult result = fetchSensor(handle, &sensor);
    if (result != TCS_RESULT_OK) return result;
    return queueOwnership(handle, ownershipItemType(sensor), password, nullptr, callback, context);
}

TcsResult tcsSensorSetOwnerWithKeysAsync(TcsHandle handle, const uint8_t* cik, const uint8_t* cios,
                                         const uint8_t* privateExponent, const uint8_t* privateModulus,
                                         const uint8_t* hostModulus, CompletionCallback callback, void* context) {
    SensorRecord* sensor = nullptr;
    TcsResult result = fetchSensor(handle, &sensor);
    if (result != TCS_RESULT_OK) return result;
    if (sensor->client == nullptr || sensor->client->stack == nullptr) return TCS_RESULT_NULL_SUBSYSTEM_HANDLE;
    if (callback == nullptr) return TCS_RESULT_BAD_PARAM;
    OwnershipKeySet* keys = makeKeySet(cik, cios, privateExponent, privateModulus, hostModulus, 0);
    if (keys == nullptr) return TCS_RESULT_OUT_OF_MEMORY;
    result = queueOwnership(handle, ownershipItemType(sensor), nullptr, keys, callback, context);
    if (result != TCS_RESULT_OK) freeKeySet(keys);
    return result;
}

TcsResult tcsSensorSetOwnerWithKeysEccAsync(TcsHandle handle, const uint8_t* cik, const uint8_t* cios,
                                            const uint8_t* privateExponent, const uint8_t* privateModulus,
                                            const uint8_t* hostModulus, CompletionCallback callback, void* context) {
    SensorRecord* sensor = nullptr;
    TcsResult result = fetchSensor(handle, &sensor);
    if (result != TCS_RESULT_OK) return result;
    if (sensor->client == nullptr || sensor->client->stack == nullptr) return TCS_RESULT_NULL_SUBSYSTEM_HANDLE;
    if (callback == nullptr) return TCS_RESULT_BAD_PARAM;
    OwnershipKeySet* keys = makeKeySet(cik, cios, privateExponent, privateModulus, hostModulus, 1);
    if (keys == nullptr) return TCS_RESULT_OUT_OF_MEMORY;
    result = queueOwnership(handle, TCS_ITEM_SET_OWNERSHIP_BRELLOW, nullptr, keys, callback, context);
    if (result != TCS_RESULT_OK) freeKeySet(keys);
    return result;
}

TcsResult tcsSensorResetOwnerAsync(TcsHandle handle, const SizedBuffer* password, CompletionCallback callback,
                                   void* context) {
    SensorRecord* sensor = nullptr;
    TcsResult result = fetchSensor(handle, &sensor);
    if (result != TCS_RESULT_OK) return result;
    if (sensor->client == nullptr || sensor->client->stack == nullptr) return TCS_RESULT_NULL_SUBSYSTEM_HANDLE;
    if (callback == nullptr) return TCS_RESULT_BAD_PARAM;
    if (password != nullptr && password->length > kMaxPassword) return TCS_RESULT_BAD_PARAM;
    auto* block = static_cast<ResetRequestBlock*>(palRealMalloc(sizeof(ResetRequestBlock)));
    if (block == nullptr) return TCS_RESULT_OUT_OF_MEMORY;
    std::memset(block, 0, sizeof *block);
    block->request.sensor = sensor->sensorControlSensor;
    // The item keeps its own copy: the caller's buffer need not outlive the call.
    if (password != nullptr && password->data != nullptr && password->length != 0) {
        std::memcpy(block->password, password->data, password->length);
        block->buffer.length = uint16_t(password->length);
        block->buffer.data = block->password;
        block->request.buffer = &block->buffer;
    }
    result = _tcsQueueCoreItem(sensor->client->stack, TCS_ITEM_RESET_OWNERSHIP, kResetOwnerTimeoutMs, block, callback,
                               context);
    if (result != TCS_RESULT_OK) {
        wipe(block, sizeof *block);
        palRealFree(block);
    }
    return result;
}

TcsResult tcsSensorSetOwner(TcsHandle handle, const SizedBuffer* password) {
    SensorRecord* sensor = nullptr;
    TcsResult result = sensorClientStack(handle, &sensor);
    if (result != TCS_RESULT_OK) return result;
    ScsSensor* control = sensor->sensorControlSensor;
    ScsFwVersion version{};
    result = scsSensorGetFwVersion(control, &version);
    if (result == TCS_RESULT_OK) {
        if (!(version.major == 6 && (version.capabilities & 0x02) == 0)) {
            uint32_t provisioned = 0;
            const TcsResult query = scsSensorIsProvisioned(control, &provisioned);
            if (query != TCS_RESULT_OK) return query;
            if (provisioned == 0) return TCS_RESULT_SENSOR_CMD_DENIED;
        }
        const bool passwordRoute = isFw(version, 4, 21);
        if (passwordRoute) {
            const TcsResult checked = checkPassword(password);
            if (checked != TCS_RESULT_OK) return checked;
        }
        SyncStart start{};
        start.sensor = handle;
        start.password = password;
        start.queue = passwordRoute ? [](const SyncStart& s, CompletionCallback cb, void* context) {
            return tcsSensorSetOwnerAsync(s.sensor, s.password, cb, context);
        }
                                    : [](const SyncStart& s, CompletionCallback cb, void* context) {
            return tcsSensorSetOwnerWithKeysAsync(s.sensor, nullptr, nullptr, nullptr, nullptr, nullptr, cb, context);
        };
        result = runSync(sensor, ownershipItemType(sensor), kSetOwnerTimeoutMs, start);
    }
    if (result == TCS_RESULT_SENSOR_CMD_DENIED || result == kNoOwnershipCycle) return result;
    return resetAfterPairing(handle, result);
}

TcsResult tcsSensorSetOwnerWithKeys(TcsHandle handle, const uint8_t* cik, const uint8_t* cios,
                                    const uint8_t* privateExponent, const uint8_t* privateModulus,
                                    const uint8_t* hostModulus) {
    const uint8_t* keys[5] = {cik, cios, privateExponent, privateModulus, hostModulus};
    return withKeysSync(handle, keys, false);
}

TcsResult tcsSensorSetOwnerWithKeysEcc(TcsHandle handle, const uint8_t* cik, const uint8_t* cios,
                                       const uint8_t* privateExponent, const uint8_t* privateModulus,
                                       const uint8_t* hostModulus) {
    const uint8_t* keys[5] = {cik, cios, privateExponent, privateModulus, hostModulus};
    return withKeysSync(handle, keys, true);
}

TcsResult tcsSensorResetOwner(TcsHandle handle, const SizedBuffer* password) {
    SensorRecord* sensor = nullptr;
    TcsResult result = sensorClientStack(handle, &sensor);
    if (result != TCS_RESULT_OK) return result;
    ScsSensor* control = sensor->sensorControlSensor;
    ScsFwVersion version{};
    result = scsSensorGetFwVersion(control, &version);
    if (result == TCS_RESULT_OK) {
        if (isFw(version, 4, 21)) {
            const TcsResult checked = checkPassword(password);
            if (checked != TCS_RESULT_OK) return checked;
        }
        SyncStart start{};
        start.sensor = handle;
        start.password = password;
        start.queue = [](const SyncStart& s, CompletionCallback cb, void* context) {
            return tcsSensorResetOwnerAsync(s.sensor, s.password, cb, context);
        };
        result = runSync(sensor, TCS_ITEM_RESET_OWNERSHIP, kResetOwnerTimeoutMs, start);
    }
    if (result != TCS_RESULT_SENSOR_CMD_DENIED && result != kNoOwnershipCycle) scsSensorReset(control, 0);
    return result;
}

}  // extern "C"
