// Authentication data: a caller's secret sealed so that only the sensor's identification of the
// right user (and the sensor's confirmation of that match) opens it again.
#include "platform/crypto/crypto.h"
#include "platform/memory.h"
#include "platform/threads.h"
#include "tcs/database/dss_interface.h"
#include "tcs/database/dss_store.h"
#include "tcs/flows/ex_detail.h"
#include "tcs/sensorctl/protocol/device_properties.h"
#include "tcs/sensorctl/ownership/secure_storage.h"
#include "tcs/sensorctl/protocol/sensor_properties.h"

#include <cstring>

using namespace exflows;

namespace {

constexpr uint32_t kValueSize = 32;
constexpr uint32_t kRandomSize = 32;
constexpr uint32_t kLengthWord = 4;
constexpr uint32_t kMatchAnswerSize = 64;
constexpr uint32_t kKindCallerKey = 3;
constexpr uint32_t kKindShared = 4;
// Two of the sensor's 288-byte scan lines.
constexpr uint32_t kRawLineBytes = 576;
constexpr uint32_t kRawLines = 2;
constexpr uint32_t kRawLinesWaitMs = 1000;
constexpr uint32_t kAbortWaitMs = 5000;
// The application whose shares on an AES-secured sensor ask for no scan lines.
constexpr char kNoRawLinesApplication[] = "DuzodarOrodu";

bool pekOn(SensorRecord* sensor) { return scsSensorIsPEKSecurityEnabled(sensor->sensorControlSensor) == 1; }

// The value the last identification of this user left: checked against the identify payload, or
// (without one) against the value the caller holds.
TcsResult identifiedValue(SensorRecord* sensor, const SizedBuffer* userId, const SizedBuffer* payload,
                          const uint8_t* value32, uint8_t out[kValueSize]) {
    if (payload != nullptr) {
        return _tcsDatabaseExCacheVerifyIdentifyPayoad(sensor, userId, payload->data, payload->length, out);
    }
    uint8_t context[DSS_LAST_ID_CONTEXT_SIZE];
    TcsResult result = lastIdentificationOf(sensor, userId, context);
    if (result == TCS_RESULT_OK && std::memcmp(context, value32, kValueSize) != 0) {
        result = TCS_RESULT_NOT_LAST_IDENTIFIED;
    }
    if (result == TCS_RESULT_OK) std::memcpy(out, context, kValueSize);
    std::memset(context, 0, sizeof context);
    return result;
}

// The sensor confirms that its last print matched the template it last matched: the template
// record cached by the identification, unpacked once and sent in its sensor-protected form.
TcsResult confirmMatch(SensorRecord* sensor) {
    ScsSensor* control = sensor->sensorControlSensor;
    uint32_t length = 0;
    void* cached = nullptr;
    TcsResult result = scsSensorGetCachedMatchDataAndTemplate(control, &length, &cached, nullptr, nullptr);
    if (result != TCS_RESULT_OK) return result;
    // The device keeps its copy and may replace it: work on ours.
    SecretBytes record(static_cast<const uint8_t*>(cached), cached != nullptr ? length : 0);
    // Not tied to an application here: a key of zeros keeps the decrypted copy apart from every
    // application's, which identification looks up by the MD5 of its name.
    const uint8_t noApplication[16] = {};
    TemplateHandle templ;
    result = _tcsDatabaseExTPUnPackTemplateData(sensor, noApplication, record.size(),
                                                record.empty() ? nullptr : record.data(), templ.out(), nullptr,
                                                nullptr, nullptr, nullptr, 0);
    if (result != TCS_RESULT_OK) return result;
    uint32_t wrappedLength = 0;
    const uint8_t* wrapped = nullptr;
    result = _tcsDatabaseExTPWithoutHeaders(sensor, record.size(), record.data(), &wrappedLength, &wrapped);
    if (result == TCS_RESULT_OK && wrappedLength > 0xFFFF) result = TCS_RESULT_BAD_PARAM;
    uint8_t signature[32];
    if (result == TCS_RESULT_OK) result = scsSensorGetLastFpSignature(control, signature);
    uint8_t answer[kMatchAnswerSize];
    uint32_t answerLength = sizeof answer;
    if (result == TCS_RESULT_OK) {
        result = scsSensorMatchVerify(control, uint16_t(wrappedLength), wrapped, signature, answer, &answerLength);
    }
    std::memset(answer, 0, sizeof answer);
    return result;
}

// Sealed data {u32 length, block}: the sensor opens the block under the identified value.
TcsResult unseal(SensorRecord* sensor, const SizedBuffer* sealed, const uint8_t value[kValueSize], uint32_t kind,
                 uint32_t keyLength, ExBuffer* out) {
    uint32_t lengthWord = 0;
    std::memcpy(&lengthWord, sealed->data, kLengthWord);
    AllocatedBytes token;
    const TcsResult result =
        _tcsDatabaseExUnPackAuthData(sensor, sealed->length - kLengthWord, sealed->data + kLengthWord, value,
                                     lengthWord, kind, keyLength, 0, &token.length, &token.data);
    if (result != TCS_RESULT_OK) return result;
    const uint32_t length = token.length;
    *out = ExBuffer{length, token.release()};
    return TCS_RESULT_OK;
}

// Shared between the raw-line request and its completion, freed by whichever is last.
struct RawLinesWait {
    PalEvent* event;
    uint32_t owners;  // the waiter and the request, each drops one
    uint8_t lines[kRawLineBytes];
};

void dropRawLinesWait(RawLinesWait* wait) {
    if (__atomic_sub_fetch(&wait->owners, 1, __ATOMIC_ACQ_REL) != 0) return;
    palEventFree(wait->event);
    palRealFree(wait);
}

// On an AES-secured sensor the share asks the sensor for two fresh scan lines first; what comes
// back is not used here, and a request that does not end in time is aborted.
void requestRawLines(SensorRecord* sensor) {
    auto* wait = static_cast<RawLinesWait*>(palRealMalloc(sizeof(RawLinesWait)));
    if (wait == nullptr) return;
    std::memset(wait, 0, sizeof *wait);
    wait->event = palEventAlloc(0, 0, nullptr);
    wait->owners = 2;
    if (wait->event == nullptr) {
        palRealFree(wait);
        return;
    }
    IdsSensor* imaging = sensor->imagingSensor;
    if (idsSensorSendGetRawScanLines(imaging, wait->lines, sizeof wait->lines, kRawLines, 0, tcsExGetRawScanLinesCB,
                                     wait, nullptr, 0) != TCS_RESULT_OK) {
        palEventFree(wait->event);
        palRealFree(wait);
        return;
    }
    CoreSubsystem* stack = sensor->client != nullptr ? sensor->client->stack : nullptr;
    if (_tcsSubsystemWaitForResponse(stack, wait->event, kRawLinesWaitMs) != TCS_RESULT_OK &&
        idsSensorSendAbortFingerprint(imaging, nullptr, nullptr) == TCS_RESULT_OK) {
        _tcsSubsystemWaitForResponse(stack, wait->event, kAbortWaitMs);
    }
    idsSensorSetPrintConfig(imaging, nullptr);
    dropRawLinesWait(wait);
}

}  // namespace

extern "C" {

TcsResult tcsExGetRawScanLinesCB(void*, TcsResult, void* waitRecord) {
    auto* wait = static_cast<RawLinesWait*>(waitRecord);
    if (wait == nullptr) return TCS_RESULT_NULL_POINTER;
    palEventSet(wait->event);
    dropRawLinesWait(wait);
    return 1;
}

TcsResult _tcsExEnrollAuthData(TcsHandle sensorHandle, const SizedBuffer* userId, const SizedBuffer* payload,
                               const uint8_t* value32, uint32_t kind, const SizedBuffer* authData,
                               ExBuffer* outSealed) {
    SensorRecord* sensor = nullptr;
    TcsResult result = sensorOf(sensorHandle, &sensor);
    if (result != TCS_RESULT_OK) return result;
    if (!given(userId) || (payload == nullptr && value32 == nullptr) || !given(authData) || outSealed == nullptr) {
        return TCS_RESULT_NULL_POINTER;
    }
    if (payload != nullptr && payload->length != 0 && payload->data == nullptr) return TCS_RESULT_NULL_POINTER;
    if (!pekOn(sensor)) return TCS_RESULT_NOT_IMPLEMENTED;
    uint8_t value[kValueSize];
    result = identifiedValue(sensor, userId, payload, value32, value);
    uint8_t random[kRandomSize];
    if (result == TCS_RESULT_OK) result = palCryptoRng(random, sizeof random);
    AllocatedBytes block;
    if (result == TCS_RESULT_OK) {
        result = _tcsDatabaseExPackAuthData(sensor, authData->data, authData->length, kind, &block.data, &block.length,
                                            nullptr, random, value);
    }
    std::memset(value, 0, sizeof value);
    if (result != TCS_RESULT_OK) return result;
    const uint64_t total = uint64_t(block.length) + kLengthWord;
    auto* out = total <= UINT32_MAX ? static_cast<uint8_t*>(palRealMalloc(size_t(total))) : nullptr;
    if (out == nullptr) return TCS_RESULT_OUT_OF_MEMORY;
    std::memcpy(out, &authData->length, kLengthWord);
    std::memcpy(out + kLengthWord, block.data, block.length);
    *outSealed = ExBuffer{uint32_t(total), out};
    return TCS_RESULT_OK;
}

TcsResult tcsExEnrollAuthData(TcsHandle sensor, const SizedBuffer* userId, const SizedBuffer* payload, uint32_t kind,
                              const SizedBuffer* authData, ExBuffer* outSealed) {
    if (payload == nullptr) return TCS_RESULT_NULL_POINTER;
    return _tcsExEnrollAuthData(sensor, userId, payload, nullptr, kind, authData, outSealed);
}

TcsResult tcsExEnrollAuthDataAlt(TcsHandle sensor, const SizedBuffer* userId, const uint8_t* value32, uint32_t kind,
                                 const SizedBuffer* authData, ExBuffer* outSealed) {
    if (value32 == nullptr) return TCS_RESULT_NULL_POINTER;
    return _tcsExEnrollAuthData(sensor, userId, nullptr, value32, kind, authData, outSealed);
}

TcsResult tcsExGetAuthToken(TcsHandle sensorHandle, const SizedBuffer* userId, const SizedBuffer* payload,
                            const SizedBuffer* sealed, uint32_t kind, const SizedBuffer* key, ExBuffer* outToken) {
    SensorRecord* sensor = nullptr;
    TcsResult result = sensorOf(sensorHandle, &sensor);
    if (result != TCS_RESULT_OK) return result;
    if (!pekOn(sensor)) return TCS_RESULT_NOT_IMPLEMENTED;
    if (payload == nullptr || !given(sealed) || !given(userId) || outToken == nullptr) return TCS_RESULT_NULL_POINTER;
    if (payload->length != 0 && payload->data == nullptr) return TCS_RESULT_NULL_POINTER;
    // The sealed form starts with its length word; anything shorter is not sealed data.
    if (sealed->length <= kLengthWord) return TCS_RESULT_BAD_PARAM;
    uint8_t value[kValueSize];
    result = identifiedValue(sensor, userId, payload, nullptr, value);
    if (result == TCS_RESULT_OK && kind == kKindCallerKey && (!given(key) || key->length != kValueSize)) {
        result = TCS_RESULT_BAD_PARAM;
    }
    if (result == TCS_RESULT_OK) result = confirmMatch(sensor);
    if (result == TCS_RESULT_OK) result = unseal(sensor, sealed, value, kind, given(key) ? key->length : 0, outToken);
    std::memset(value, 0, sizeof value);
    return result;
}

TcsResult tcsExShareAuthData(TcsHandle sensorHandle, const SizedBuffer* userId, const SizedBuffer* payload,
                             const SizedBuffer* sealed, TcsHandle appStorage, const SizedBuffer* storageUserId,
                             ExBuffer* outData) {
    SensorRecord* sensor = nullptr;
    TcsResult result = sensorOf(sensorHandle, &sensor);
    if (result != TCS_RESULT_OK) return result;
    DssAppStorage* storage = appStorageOf(appStorage);
    if (!given(userId) || !given(storageUserId) || payload == nullptr || !given(sealed) || outData == nullptr ||
        storage == nullptr) {
        return TCS_RESULT_NULL_POINTER;
    }
    if (payload->length != 0 && payload->data == nullptr) return TCS_RESULT_NULL_POINTER;
    if (sealed->length <= kLengthWord) return TCS_RESULT_BAD_PARAM;
    ScsSensor* control = sensor->sensorControlSensor;
    result = scsSensorDeterminePEKCapability(control, storage->name);
    if (result != TCS_RESULT_OK) return result;

    SecretBytes stored;
    {
        DbHandle user(tcsDatabaseCloseUser);
        DbHandle templ(tcsDatabaseCloseTemplate);
        if (GetUserHandleByUserID(storage, storageUserId, user.out()) != TCS_RESULT_OK ||
            tcsDatabaseOpenFirstTemplate(user.get(), templ.out()) != TCS_RESULT_OK) {
            return TCS_RESULT_BAD_USERID;
        }
        result = readStoredTemplate(templ.get(), &stored);
        if (result != TCS_RESULT_OK) return result;
        if (stored.empty() || stored.data()[0] != DSS_TEMPLATE_FORMAT_PACKED) return TCS_RESULT_BAD_USERID;
    }
    if (!pekOn(sensor)) return TCS_RESULT_NOT_IMPLEMENTED;

    // Tested by name here, not left to the PEK rule: a sensor secured by RSA or Selkin as well keeps
    // PEK security for that application too.
    if (scsSensorIsAESSecured(control) == 1 && std::strcmp(storage->name, kNoRawLinesApplication) != 0) {
        requestRawLines(sensor);
    }
    uint8_t value[kValueSize];
    result = identifiedValue(sensor, userId, payload, nullptr, value);
    if (result == TCS_RESULT_OK) result = confirmMatch(sensor);
    uint32_t templateLength = 0;
    const uint8_t* templatePart = nullptr;
    if (result == TCS_RESULT_OK) {
        result = _tcsDatabaseExTPWithoutHeaders(sensor, stored.size() - 1, stored.data() + 1, &templateLength,
                                                &templatePart);
    }
    if (result == TCS_RESULT_OK) result = unseal(sensor, sealed, value, kKindShared, templateLength, outData);
    std::memset(value, 0, sizeof value);
    return result;
}

}  // extern "C"
