// Client calls: each checks its arguments, fills its fixed request record, makes the transfer call
// and copies its outputs only when both the transfer and the service succeeded.

#include "apps/shared/calls.h"

#include "apps/shared/detail/callbacks.h"
#include "apps/shared/detail/waits.h"
#include "platform/clock.h"
#include "platform/memory.h"
#include "tcs/matching/templates.h"

#include <atomic>
#include <cstddef>
#include <cstring>
#include <memory>
#include <new>

namespace {

using tov::client::detail::CallbackKind;
using tov::client::detail::callbackAdd;
using tov::client::detail::callbackRemove;

constexpr uint32_t kArea = TOV_AREA_SIZE;
constexpr uint32_t kText = TOV_TEXT_SIZE;
constexpr uint32_t kEfiArea = 262144;
constexpr uint32_t kLedBytes = 24;
constexpr uint32_t kLedDefaultSize = 12;
constexpr uint32_t kEventWaitSliceMs = 200;

// --- Records ---------------------------------------------------------------------------------------------
struct HandleRequest {
    uint64_t handle;
};
struct CallbackRequest {
    uint64_t handle;
    uint64_t callback;
    uint64_t userData;
};
struct TextRequest {
    uint64_t handle;
    char text[kText];
};
struct CaptureRequest {
    uint64_t sensor;
    uint64_t callback;
    uint64_t userData;
    char path[kText];
};
struct AppStorageRequest {
    uint64_t database;
    char name[kText];
    uint32_t option;
};
struct PairRequest {
    uint64_t handle;
    uint64_t second;
};
struct ValueRequest {
    uint64_t handle;
    uint32_t value;
};
struct TwoValueRequest {
    uint64_t handle;
    uint32_t first;
    uint32_t second;
};
struct DataWriteRequest {
    uint64_t handle;
    uint32_t dataId;
    uint32_t length;
    uint8_t data[kArea];
};
struct SymmetricKeyRequest {
    uint64_t sensor;
    uint32_t keyIndex;
    uint32_t mode;
    uint32_t algorithm;
    uint8_t key[64];
    uint32_t keyLength;
};
struct LedRequest {
    uint64_t sensor;
    uint32_t selector;
    uint32_t size;
    uint8_t bytes[kLedBytes];
};
struct EfiRequest {
    uint64_t sensor;
    uint32_t flag;
    uint32_t length;
    uint8_t image[kEfiArea];
};
struct PbaGetRequest {
    uint64_t sensor;
    uint8_t flag;
};
struct ExFrame {
    uint64_t sensor;
    uint32_t option;
    uint64_t appStorage;
    uint32_t userIdLength;
    uint8_t userId[kArea];
    uint32_t value;
    uint32_t kind;
    uint32_t dataLength;
    uint8_t data[kArea];
    uint32_t flags;
    uint64_t callback;
    uint64_t userData;
};
struct UserIdRequest {
    uint64_t sensor;
    uint64_t appStorage;
    uint32_t length;
    uint8_t userId[kArea];
    uint32_t finger;  // zero in the export requests
};

struct AuthDataRequest {
    uint64_t sensor;
    uint32_t length1;
    uint8_t area1[kArea];
    uint32_t kind2;
    uint32_t length2;
    uint8_t area2[kArea];
    uint32_t value;
    uint32_t length3;
    uint8_t area3[kArea];
};
struct ShareAuthRequest {
    uint64_t sensor;
    uint64_t handle;
    uint32_t length1;
    uint8_t area1[kArea];
    uint32_t kind2;
    uint32_t length2;
    uint8_t area2[kArea];
    uint32_t length3;
    uint8_t area3[kArea];
    uint32_t length4;
    uint8_t area4[kArea];
};
struct EnrollTemplateRequest {
    uint64_t sensor;
    uint64_t appStorage;
    uint32_t userIdLength;
    uint8_t userId[kArea];
    uint32_t finger;
    uint32_t kind;
    uint32_t dataLength;
    uint8_t data[kArea];
    uint64_t enrollTemplate;
};

struct TemplateSetRequest {
    uint64_t templateHandle;
    uint64_t sensor;
    uint32_t length;
    uint8_t packed[kArea];
};

struct ResultReply {
    uint32_t result;
};
struct HandleReply {
    uint32_t result;
    uint32_t pad;
    uint64_t handle;
};
struct ValueReply {
    uint32_t result;
    uint32_t value;
};
struct TwoValueReply {
    uint32_t result;
    uint32_t first;
    uint32_t second;
};
struct VersionReply {
    uint32_t result;
    char version[80];
};
struct DataReply {
    uint32_t result;
    uint32_t length;
    uint8_t data[kArea];
};
struct DeviceInfoReply {
    uint32_t result;
    uint8_t info[48];
};
struct FormatReply {
    uint32_t result;
    uint8_t unused[12];
};
struct LedGetReply {
    uint32_t result;
    uint32_t pad;
    uint8_t bytes[kLedBytes];
};
struct UidReply {
    uint32_t result;
    uint16_t first;
    uint16_t second;
    uint8_t uid[16];
};
struct PbaGetReply {
    uint32_t result;
    uint8_t value;
};

static_assert(sizeof(CallbackRequest) == 24);
static_assert(sizeof(TextRequest) == 272);
static_assert(sizeof(CaptureRequest) == 288);
static_assert(sizeof(AppStorageRequest) == 272);
static_assert(sizeof(ValueRequest) == 16 && sizeof(TwoValueRequest) == 16 && sizeof(PairRequest) == 16);
static_assert(sizeof(DataWriteRequest) == 32784);
static_assert(sizeof(SymmetricKeyRequest) == 88);
static_assert(sizeof(LedRequest) == 40);
static_assert(sizeof(EfiRequest) == 262160);
static_assert(sizeof(PbaGetRequest) == 16);
static_assert(sizeof(ExFrame) == 65600);
static_assert(offsetof(ExFrame, appStorage) == 16 && offsetof(ExFrame, value) == 32796);
static_assert(offsetof(ExFrame, flags) == 65576 && offsetof(ExFrame, callback) == 65584);
static_assert(sizeof(UserIdRequest) == 32792);
static_assert(sizeof(TemplateSetRequest) == 32792);
static_assert(sizeof(AuthDataRequest) == 98336 && offsetof(AuthDataRequest, length3) == 65560);
static_assert(sizeof(ShareAuthRequest) == 131112 && offsetof(ShareAuthRequest, length4) == 98336);
static_assert(sizeof(EnrollTemplateRequest) == 65576 && offsetof(EnrollTemplateRequest, kind) == 32792);
constexpr uint32_t kAuthTokenSize = 131104;
constexpr uint32_t kAuthTokenFourth = 98332;  // the fourth string's length word
static_assert(sizeof(HandleReply) == 16 && sizeof(ValueReply) == 8 && sizeof(TwoValueReply) == 12);
static_assert(sizeof(VersionReply) == 84);
static_assert(sizeof(DataReply) == 32776);
static_assert(sizeof(DeviceInfoReply) == 52 && sizeof(FormatReply) == 16);
static_assert(sizeof(LedGetReply) == 32 && sizeof(UidReply) == 24 && sizeof(PbaGetReply) == 8);

// --- Helpers ---------------------------------------------------------------------------------------------
template <typename Request, typename Reply>
TcsResult transfer(uint8_t function, const Request* request, Reply* reply) {
    TcsResult result = tcsFPClientTransferCall(&gClientSystem, function, request, request != nullptr ? sizeof(Request) : 0,
                                               reply, sizeof(Reply), 0, 1);
    return result != TCS_RESULT_OK ? result : reply->result;
}

template <typename Reply>
TcsResult transferBare(uint8_t function, Reply* reply) {
    TcsResult result = tcsFPClientTransferCall(&gClientSystem, function, nullptr, 0, reply, sizeof(Reply), 0, 1);
    return result != TCS_RESULT_OK ? result : reply->result;
}

TcsResult handleOnly(uint8_t function, uint64_t handle) {
    HandleRequest request{handle};
    ResultReply reply{};
    return transfer(function, &request, &reply);
}

TcsResult handleOut(uint8_t function, uint64_t handle, TcsHandle* out) {
    if (out == nullptr) return TCS_RESULT_NULL_HANDLE_POINTER;
    HandleRequest request{handle};
    HandleReply reply{};
    TcsResult result = transfer(function, &request, &reply);
    *out = result == TCS_RESULT_OK ? reply.handle : 0;
    return result;
}

TcsResult valueCall(uint8_t function, uint64_t handle, uint32_t value) {
    ValueRequest request{};
    request.handle = handle;
    request.value = value;
    ResultReply reply{};
    return transfer(function, &request, &reply);
}

TcsResult valueOut(uint8_t function, uint64_t handle, uint32_t* out) {
    if (out == nullptr) return TCS_RESULT_NULL_HANDLE_POINTER;
    HandleRequest request{handle};
    ValueReply reply{};
    TcsResult result = transfer(function, &request, &reply);
    *out = result == TCS_RESULT_OK ? reply.value : 0;
    return result;
}

TcsResult callbackCall(uint8_t function, uint64_t handle, EventCallback callback, void* context) {
    if (callback == nullptr) return TCS_RESULT_NULL_POINTER;
    CallbackRequest request{handle, uint64_t(reinterpret_cast<uintptr_t>(callback)),
                            uint64_t(reinterpret_cast<uintptr_t>(context))};
    ResultReply reply{};
    const bool adding = function == TOV_FN_CLIENT_CALLBACK_ADD || function == TOV_FN_SENSOR_CALLBACK_ADD;
    // Listed before the service hears of it: its first events may overtake its reply.
    if (adding) callbackAdd(CallbackKind::Event, request.callback, request.userData);
    TcsResult result = transfer(function, &request, &reply);
    if (adding != (result == TCS_RESULT_OK)) callbackRemove(CallbackKind::Event, request.callback, request.userData);
    return result;
}

// A text field holds 259 characters and its NUL; a longer text cannot be sent whole.
bool putText(char (&field)[kText], const char* text) {
    if (text == nullptr) return true;
    size_t length = std::strlen(text);
    if (length >= kText) return false;
    std::memcpy(field, text, length);
    return true;
}

bool putWideText(char (&field)[kText], const uint16_t* text) {
    if (text == nullptr) return true;
    size_t length = 0;
    while (text[length] != 0) {
        if (length + 1 >= kText) return false;
        field[length] = char(text[length]);
        ++length;
    }
    return true;
}

TcsResult dataWrite(uint8_t function, uint64_t handle, uint32_t dataId, const uint8_t* data, uint32_t length) {
    if (data == nullptr) return TCS_RESULT_NULL_POINTER;
    if (length > kArea) return TCS_RESULT_BAD_PARAM;
    std::unique_ptr<DataWriteRequest> request(new (std::nothrow) DataWriteRequest{});
    if (request == nullptr) return TCS_RESULT_OUT_OF_MEMORY;
    request->handle = handle;
    request->dataId = dataId;
    request->length = length;
    std::memcpy(request->data, data, length);
    ResultReply reply{};
    return transfer(function, request.get(), &reply);
}

TcsResult dataRead(uint8_t function, uint64_t handle, uint32_t dataId, uint8_t** outData, uint32_t* outLength) {
    if (outData == nullptr || outLength == nullptr) return TCS_RESULT_NULL_HANDLE_POINTER;
    TwoValueRequest request{};
    request.handle = handle;
    request.first = dataId;
    std::unique_ptr<DataReply> reply(new (std::nothrow) DataReply{});
    if (reply == nullptr) return TCS_RESULT_OUT_OF_MEMORY;
    TcsResult result = transfer(function, &request, reply.get());
    if (result != TCS_RESULT_OK) return result;
    // The length is the service's word: no more than the area can be handed on.
    if (reply->length > kArea) return TCS_RESULT_BAD_PARAM;
    uint8_t* copy = nullptr;
    if (reply->length != 0) {
        copy = static_cast<uint8_t*>(palRealMalloc(reply->length));
        if (copy == nullptr) return TCS_RESULT_OUT_OF_MEMORY;
        std::memcpy(copy, reply->data, reply->length);
    }
    *outData = copy;
    *outLength = reply->length;
    return TCS_RESULT_OK;
}

// A byte string goes into its fixed area. One longer than the area is refused: sending its length
// over an empty area would store zeros in its place.
bool putArea(uint8_t (&area)[kArea], uint32_t* lengthField, const SizedBuffer* string) {
    if (string == nullptr) return true;
    if (string->length > kArea) return false;
    *lengthField = string->length;
    if (string->data != nullptr) std::memcpy(area, string->data, string->length);
    return true;
}

// The caller's callback behind tcsExEventsCB, and what it has seen of the operation's outcome.
struct ExForward {
    EventCallback callback;
    void* userData;
    std::atomic<uint32_t> identifiedSeen{0};
    std::atomic<uint32_t> imageSeen{0};
};

bool transportGone() {
    return gClientSystem.clientCount == 0 ||
           (gClientSystem.state != nullptr && *gClientSystem.state == TOV_SERVICE_STATE_STOPPED);
}

TcsResult exFrameCall(uint8_t function, uint64_t sensor, uint32_t option, uint64_t appStorage,
                      const SizedBuffer* userId, uint32_t value, const TypedSizedBuffer* data, uint32_t flags,
                      EventCallback callback, void* userData) {
    std::unique_ptr<ExFrame> request(new (std::nothrow) ExFrame{});
    if (request == nullptr) return TCS_RESULT_OUT_OF_MEMORY;
    request->sensor = sensor;
    request->option = option;
    request->appStorage = appStorage;
    if (!putArea(request->userId, &request->userIdLength, userId)) return TCS_RESULT_BAD_PARAM;
    request->value = value;
    if (data != nullptr) {
        if (data->length > kArea) return TCS_RESULT_BAD_PARAM;
        request->kind = data->kind;
        request->dataLength = data->length;
        if (data->data != nullptr) std::memcpy(request->data, data->data, data->length);
    }
    request->flags = flags;
    request->callback = uint64_t(reinterpret_cast<uintptr_t>(callback));
    request->userData = uint64_t(reinterpret_cast<uintptr_t>(userData));
    ResultReply reply{};
    return transfer(function, request.get(), &reply);
}

// Identify and verify: the outcome travels as an event, so the call returns only once it arrived.
TcsResult exForwardedCall(uint8_t function, uint64_t sensor, uint32_t option, uint64_t appStorage,
                          const SizedBuffer* userId, uint32_t flags, EventCallback callback, void* context) {
    ExForward forward;
    forward.callback = callback;
    forward.userData = context;
    // The forwarder's record lives on this stack: it is a registered callback only while it does.
    const uint64_t forwarder = uint64_t(reinterpret_cast<uintptr_t>(&tcsExEventsCB));
    const uint64_t record = uint64_t(reinterpret_cast<uintptr_t>(&forward));
    callbackAdd(CallbackKind::Event, forwarder, record);
    TcsResult result = exFrameCall(function, sensor, option, appStorage, userId, 0, nullptr, flags, tcsExEventsCB,
                                   &forward);
    std::atomic<uint32_t>* seen = result == TCS_RESULT_OK                    ? &forward.identifiedSeen
                                  : result == TCS_RESULT_USER_DOESNT_EXIST ? &forward.imageSeen
                                                                           : nullptr;
    // The wait has no limit but ends when the transport or the service has gone: the event can
    // then never come, and the record it would write to lives on this stack.
    while (seen != nullptr && seen->load() == 0 && !transportGone()) palSleep(kEventWaitSliceMs);
    callbackRemove(CallbackKind::Event, forwarder, record);
    return result;
}

bool putTyped(uint8_t (&area)[kArea], uint32_t* kindField, uint32_t* lengthField, const TypedSizedBuffer* string) {
    if (string == nullptr) return true;
    if (string->length > kArea) return false;
    *kindField = string->kind;
    *lengthField = string->length;
    if (string->data != nullptr) std::memcpy(area, string->data, string->length);
    return true;
}

// One byte string {u32 length, area} answers the authentication calls.
TcsResult byteStringCall(uint8_t function, const void* request, uint32_t requestLength, uint8_t** outData,
                         uint32_t* outLength) {
    std::unique_ptr<DataReply> reply(new (std::nothrow) DataReply{});
    if (reply == nullptr) return TCS_RESULT_OUT_OF_MEMORY;
    TcsResult result = tcsFPClientTransferCall(&gClientSystem, function, request, requestLength, reply.get(),
                                               sizeof(DataReply), 0, 1);
    if (result == TCS_RESULT_OK) result = reply->result;
    if (result != TCS_RESULT_OK) return result;
    if (reply->length > kArea) return TCS_RESULT_BAD_PARAM;
    uint8_t* copy = nullptr;
    if (reply->length != 0) {
        copy = static_cast<uint8_t*>(palRealMalloc(reply->length));
        if (copy == nullptr) return TCS_RESULT_OUT_OF_MEMORY;
        std::memcpy(copy, reply->data, reply->length);
    }
    *outData = copy;
    *outLength = reply->length;
    return TCS_RESULT_OK;
}

TcsResult fillAuthData(AuthDataRequest* request, uint64_t sensor, const SizedBuffer* first,
                       const TypedSizedBuffer* second, uint32_t value, const SizedBuffer* third) {
    request->sensor = sensor;
    if (!putArea(request->area1, &request->length1, first)) return TCS_RESULT_BAD_PARAM;
    if (!putTyped(request->area2, &request->kind2, &request->length2, second)) return TCS_RESULT_BAD_PARAM;
    request->value = value;
    if (!putArea(request->area3, &request->length3, third)) return TCS_RESULT_BAD_PARAM;
    return TCS_RESULT_OK;
}

// The packed form of an image, in a buffer of the library's.
TcsResult packImage(TcsHandle image, std::unique_ptr<uint8_t[]>* out, uint32_t* size) {
    TcsResult result = tcsImagePack(image, nullptr, size);
    if (result != TCS_RESULT_OK) return result;
    out->reset(new (std::nothrow) uint8_t[*size]);
    if (*out == nullptr) return TCS_RESULT_OUT_OF_MEMORY;
    return tcsImagePack(image, out->get(), size);
}

TcsResult twoCallList(uint8_t countFunction, uint8_t listFunction, const void* request, uint32_t requestLength,
                      uint32_t entrySize, bool withKinds, bool alwaysSecond, uint32_t* outCount, OwnedBuffer** outList) {
    ValueReply first{};
    TcsResult result =
        tcsFPClientTransferCall(&gClientSystem, countFunction, request, requestLength, &first, sizeof(first), 0, 1);
    if (result == TCS_RESULT_OK) result = first.result;
    if (result != TCS_RESULT_OK) return result;
    uint32_t count = first.value;
    if (count == 0 && !alwaysSecond) {
        *outCount = 0;
        *outList = nullptr;
        return TCS_RESULT_OK;
    }
    // The reply of the second call must fit a payload; a larger count cannot be answered.
    uint64_t capacity = 8 + uint64_t(count == 0 ? 1 : count) * entrySize;
    if (capacity > TOV_CHANNEL_PAYLOAD_MAX) return TCS_RESULT_BAD_PARAM;
    auto* reply = static_cast<uint8_t*>(palRealMalloc(uint32_t(capacity)));
    if (reply == nullptr) return TCS_RESULT_OUT_OF_MEMORY;
    std::memset(reply, 0, size_t(capacity));
    result = tcsFPClientTransferCall(&gClientSystem, listFunction, request, requestLength, reply, uint32_t(capacity),
                                     0, 1);
    uint32_t second = 0;
    if (result == TCS_RESULT_OK) {
        std::memcpy(&result, reply, 4);
        std::memcpy(&second, reply + 4, 4);
    }
    // The second count may not exceed the first, for which the buffer was made.
    if (result == TCS_RESULT_OK && second > count) result = TCS_RESULT_BAD_PARAM;
    OwnedBuffer* list = nullptr;
    if (result == TCS_RESULT_OK && second != 0) {
        list = static_cast<OwnedBuffer*>(palRealMalloc(uint32_t(second * sizeof(OwnedBuffer))));
        if (list == nullptr) result = TCS_RESULT_OUT_OF_MEMORY;
        else std::memset(list, 0, second * sizeof(OwnedBuffer));
    }
    for (uint32_t i = 0; result == TCS_RESULT_OK && i < second; ++i) {
        const uint8_t* entry = reply + 8 + size_t(i) * entrySize;
        if (withKinds) {
            std::memcpy(&list[i].kind, entry, 4);
            entry += 4;
        }
        uint32_t length;
        std::memcpy(&length, entry, 4);
        if (length > kArea) {
            result = TCS_RESULT_BAD_PARAM;
            break;
        }
        list[i].length = length;
        list[i].data = static_cast<uint8_t*>(palRealMalloc(length != 0 ? length : 1));
        if (list[i].data == nullptr) {
            result = TCS_RESULT_OUT_OF_MEMORY;
            break;
        }
        std::memcpy(list[i].data, entry + 4, length);
    }
    palRealFree(reply);
    if (result != TCS_RESULT_OK) {
        tcsExFreeBufferList(list, second);
        return result;
    }
    *outCount = second;
    *outList = list;
    return TCS_RESULT_OK;
}

// A packed template from the service lies wholly within its area: header, blob and profile.
bool packedTemplateFits(const uint8_t* packed, uint32_t room) {
    auto word = [&](uint32_t at) {
        uint32_t value;
        std::memcpy(&value, packed + at, 4);
        return value;
    };
    uint32_t length = word(0);
    if (length < TCS_TEMPLATE_HEADER_SIZE || uint64_t(4) + length > room) return false;
    for (size_t pointerAt : {offsetof(EnrollTemplate, blob), offsetof(EnrollTemplate, aspProfile)}) {
        uint32_t offset = word(uint32_t(4 + pointerAt));
        if (offset == 0) continue;
        if (uint64_t(offset) + 4 > room || uint64_t(offset) + 4 + word(offset) > room) return false;
    }
    return true;
}

}  // namespace

extern "C" {

// --- Clients and events ------------------------------------------------------------------------------------
TcsResult tcsClientEventsAddCallback(TcsHandle client, EventCallback callback, void* context) {
    if (client == 0) return TCS_RESULT_NULL_CLIENT_HANDLE;
    return callbackCall(TOV_FN_CLIENT_CALLBACK_ADD, client, callback, context);
}

TcsResult tcsClientEventsRemoveCallback(TcsHandle client, EventCallback callback, void* context) {
    if (client == 0) return TCS_RESULT_NULL_CLIENT_HANDLE;
    return callbackCall(TOV_FN_CLIENT_CALLBACK_REMOVE, client, callback, context);
}

// --- Sensors -------------------------------------------------------------------------------------------------
TcsResult tcsSensorGetVersionA(TcsHandle sensor, char* out80) {
    if (sensor == 0) return TCS_RESULT_NULL_SENSOR_HANDLE;
    if (out80 == nullptr) return TCS_RESULT_NULL_VERSION_POINTER;
    HandleRequest request{sensor};
    VersionReply reply{};
    TcsResult result = transfer(TOV_FN_SENSOR_GET_VERSION, &request, &reply);
    if (result == TCS_RESULT_OK) std::memcpy(out80, reply.version, sizeof(reply.version));
    return result;
}

TcsResult tcsSensorGetVersionW(TcsHandle sensor, uint16_t* out80) {
    if (sensor == 0) return TCS_RESULT_NULL_SENSOR_HANDLE;
    if (out80 == nullptr) return TCS_RESULT_NULL_VERSION_POINTER;
    char version[80];
    TcsResult result = tcsSensorGetVersionA(sensor, version);
    for (size_t i = 0; i < sizeof(version); ++i) {
        out80[i] = result == TCS_RESULT_OK ? uint8_t(version[i]) : 0;
    }
    return result;
}

TcsResult tcsSensorOpenPriv(TcsHandle client, const char* sensorId, TcsHandle* outSensor) {
    if (client == 0) return TCS_RESULT_NULL_CLIENT_HANDLE;
    if (sensorId == nullptr) return TCS_RESULT_BAD_PARAM;
    if (outSensor == nullptr) return TCS_RESULT_NULL_HANDLE_POINTER;
    TextRequest request{};
    request.handle = client;
    if (!putText(request.text, sensorId)) return TCS_RESULT_BAD_PARAM;
    HandleReply reply{};
    TcsResult result = transfer(TOV_FN_SENSOR_OPEN, &request, &reply);
    *outSensor = result == TCS_RESULT_OK ? reply.handle : 0;
    return result;
}

TcsResult tcsSensorOpenA(TcsHandle client, const char* sensorId, TcsHandle* outSensor) {
    return tcsSensorOpenPriv(client, sensorId, outSensor);
}

TcsResult tcsSensorOpenW(TcsHandle client, const uint16_t* sensorId, TcsHandle* outSensor) {
    if (client == 0) return TCS_RESULT_NULL_CLIENT_HANDLE;
    if (sensorId == nullptr) return TCS_RESULT_BAD_PARAM;
    char narrow[kText] = {};
    if (!putWideText(narrow, sensorId)) return TCS_RESULT_BAD_PARAM;
    return tcsSensorOpenPriv(client, narrow, outSensor);
}

TcsResult tcsSensorEventsAddCallback(TcsHandle sensor, EventCallback callback, void* context) {
    if (sensor == 0) return TCS_RESULT_NULL_SENSOR_HANDLE;
    return callbackCall(TOV_FN_SENSOR_CALLBACK_ADD, sensor, callback, context);
}

TcsResult tcsSensorEventsRemoveCallback(TcsHandle sensor, EventCallback callback, void* context) {
    if (sensor == 0) return TCS_RESULT_NULL_SENSOR_HANDLE;
    return callbackCall(TOV_FN_SENSOR_CALLBACK_REMOVE, sensor, callback, context);
}

TcsResult tcsSensorClose(TcsHandle sensor) {
    if (sensor == 0) return TCS_RESULT_NULL_SENSOR_HANDLE;
    return handleOnly(TOV_FN_SENSOR_CLOSE, sensor);
}

TcsResult tcsSensorGetReconstructedImageMaxSize(TcsHandle sensor, uint32_t* outSize) {
    if (sensor == 0) return TCS_RESULT_NULL_SENSOR_HANDLE;
    return valueOut(TOV_FN_SENSOR_IMAGE_MAX_SIZE, sensor, outSize);
}

TcsResult tcsSensorGetFingerprintAsyncPriv(TcsHandle sensor, CompletionCallback callback, void* context,
                                           const char* debugPath) {
    if (sensor == 0) return TCS_RESULT_NULL_SENSOR_HANDLE;
    if (callback == nullptr) return TCS_RESULT_NULL_POINTER;
    CaptureRequest request{};
    request.sensor = sensor;
    request.callback = uint64_t(reinterpret_cast<uintptr_t>(callback));
    request.userData = uint64_t(reinterpret_cast<uintptr_t>(context));
    if (!putText(request.path, debugPath)) return TCS_RESULT_BAD_PARAM;
    ResultReply reply{};
    // One completion per capture: its event uses the registration up.
    callbackAdd(CallbackKind::Completion, request.callback, request.userData);
    TcsResult result = transfer(TOV_FN_SENSOR_GET_FINGERPRINT, &request, &reply);
    if (result != TCS_RESULT_OK) callbackRemove(CallbackKind::Completion, request.callback, request.userData);
    return result;
}

TcsResult tcsSensorGetFingerprintAsyncA(TcsHandle sensor, CompletionCallback callback, void* context,
                                        const char* debugPath) {
    return tcsSensorGetFingerprintAsyncPriv(sensor, callback, context, debugPath);
}

TcsResult tcsSensorGetFingerprintAsyncW(TcsHandle sensor, CompletionCallback callback, void* context,
                                        const uint16_t* debugPath) {
    char narrow[kText] = {};
    if (!putWideText(narrow, debugPath)) return TCS_RESULT_BAD_PARAM;
    return tcsSensorGetFingerprintAsyncPriv(sensor, callback, context, narrow);
}

TcsResult tcsSensorAbortFingerprint(TcsHandle sensor) {
    if (sensor == 0) return TCS_RESULT_NULL_SENSOR_HANDLE;
    return handleOnly(TOV_FN_SENSOR_ABORT_FINGERPRINT, sensor);
}

// --- Database ------------------------------------------------------------------------------------------------
TcsResult tcsDatabaseOpenPriv(TcsHandle client, const char* url, TcsHandle* outDatabase) {
    if (url == nullptr) return TCS_RESULT_BAD_PARAM;
    if (outDatabase == nullptr) return TCS_RESULT_NULL_HANDLE_POINTER;
    TextRequest request{};
    request.handle = client;
    if (!putText(request.text, url)) return TCS_RESULT_BAD_PARAM;
    HandleReply reply{};
    TcsResult result = transfer(TOV_FN_DATABASE_OPEN, &request, &reply);
    *outDatabase = result == TCS_RESULT_OK ? reply.handle : 0;
    return result;
}

TcsResult tcsDatabaseOpenA(TcsHandle client, const char* url, TcsHandle* outDatabase) {
    return tcsDatabaseOpenPriv(client, url, outDatabase);
}

TcsResult tcsDatabaseClose(TcsHandle database) { return handleOnly(TOV_FN_DATABASE_CLOSE, database); }

TcsResult tcsDatabaseEraseDatabase(TcsHandle client, TcsHandle database) {
    PairRequest request{client, database};
    ResultReply reply{};
    return transfer(TOV_FN_DATABASE_ERASE, &request, &reply);
}

TcsResult tcsDatabaseCreateAppStorage(TcsHandle database, const char* name, uint32_t option, TcsHandle* outAppStorage) {
    if (name == nullptr) return TCS_RESULT_BAD_PARAM;
    if (outAppStorage == nullptr) return TCS_RESULT_NULL_HANDLE_POINTER;
    AppStorageRequest request{};
    request.database = database;
    if (!putText(request.name, name)) return TCS_RESULT_BAD_PARAM;
    request.option = option;
    HandleReply reply{};
    TcsResult result = transfer(TOV_FN_APP_STORAGE_CREATE, &request, &reply);
    *outAppStorage = result == TCS_RESULT_OK ? reply.handle : 0;
    return result;
}

TcsResult tcsDatabaseDeleteAppStorage(TcsHandle appStorage) { return handleOnly(TOV_FN_APP_STORAGE_DELETE, appStorage); }
TcsResult tcsDatabaseCloseAppStorage(TcsHandle appStorage) { return handleOnly(TOV_FN_APP_STORAGE_CLOSE, appStorage); }
TcsResult tcsDatabaseCreateUser(TcsHandle appStorage, TcsHandle* out) { return handleOut(TOV_FN_USER_CREATE, appStorage, out); }
TcsResult tcsDatabaseCloseUser(TcsHandle user) { return handleOnly(TOV_FN_USER_CLOSE, user); }

TcsResult tcsDatabaseSetUserData(TcsHandle user, uint32_t dataId, const uint8_t* data, uint32_t length) {
    return dataWrite(TOV_FN_USER_SET_DATA, user, dataId, data, length);
}
TcsResult tcsDatabaseGetUserData(TcsHandle user, uint32_t dataId, uint8_t** outData, uint32_t* outLength) {
    return dataRead(TOV_FN_USER_GET_DATA, user, dataId, outData, outLength);
}
TcsResult tcsDatabaseDeleteUserData(TcsHandle user, uint32_t dataId) {
    return valueCall(TOV_FN_USER_DELETE_DATA, user, dataId);
}
TcsResult tcsDatabaseOpenFirstUser(TcsHandle appStorage, TcsHandle* out) { return handleOut(TOV_FN_USER_OPEN_FIRST, appStorage, out); }
TcsResult tcsDatabaseOpenNextUser(TcsHandle appStorage, TcsHandle* out) { return handleOut(TOV_FN_USER_OPEN_NEXT, appStorage, out); }
TcsResult tcsDatabaseDeleteUser(TcsHandle user) { return handleOnly(TOV_FN_USER_DELETE, user); }
TcsResult tcsDatabaseCreateTemplate(TcsHandle user, TcsHandle* out) { return handleOut(TOV_FN_TEMPLATE_CREATE, user, out); }
TcsResult tcsDatabaseCloseTemplate(TcsHandle templateHandle) { return handleOnly(TOV_FN_TEMPLATE_CLOSE, templateHandle); }
TcsResult tcsDatabaseDeleteTemplate(TcsHandle templateHandle) { return handleOnly(TOV_FN_TEMPLATE_DELETE, templateHandle); }

TcsResult tcsDatabaseSetTemplateData(TcsHandle templateHandle, uint32_t dataId, const uint8_t* data, uint32_t length) {
    return dataWrite(TOV_FN_TEMPLATE_SET_DATA, templateHandle, dataId, data, length);
}
TcsResult tcsDatabaseDeleteTemplateData(TcsHandle templateHandle, uint32_t dataId) {
    return valueCall(TOV_FN_TEMPLATE_DELETE_DATA, templateHandle, dataId);
}
TcsResult tcsDatabaseGetTemplateData(TcsHandle templateHandle, uint32_t dataId, uint8_t** outData, uint32_t* outLength) {
    return dataRead(TOV_FN_TEMPLATE_GET_DATA, templateHandle, dataId, outData, outLength);
}
TcsResult tcsDatabaseOpenFirstTemplate(TcsHandle user, TcsHandle* out) { return handleOut(TOV_FN_TEMPLATE_OPEN_FIRST, user, out); }
TcsResult tcsDatabaseOpenNextTemplate(TcsHandle user, TcsHandle* out) { return handleOut(TOV_FN_TEMPLATE_OPEN_NEXT, user, out); }
TcsResult tcsDatabaseCreateStorage(TcsHandle appStorage, TcsHandle* out) { return handleOut(TOV_FN_STORAGE_CREATE, appStorage, out); }
TcsResult tcsDatabaseCloseStorage(TcsHandle storage) { return handleOnly(TOV_FN_STORAGE_CLOSE, storage); }
TcsResult tcsDatabaseDeleteStorage(TcsHandle storage) { return handleOnly(TOV_FN_STORAGE_DELETE, storage); }

TcsResult tcsDatabaseSetStorageData(TcsHandle storage, uint32_t dataId, const uint8_t* data, uint32_t length) {
    return dataWrite(TOV_FN_STORAGE_SET_DATA, storage, dataId, data, length);
}
TcsResult tcsDatabaseDeleteStorageData(TcsHandle storage, uint32_t dataId) {
    return valueCall(TOV_FN_STORAGE_DELETE_DATA, storage, dataId);
}
TcsResult tcsDatabaseGetStorageData(TcsHandle storage, uint32_t dataId, uint8_t** outData, uint32_t* outLength) {
    return dataRead(TOV_FN_STORAGE_GET_DATA, storage, dataId, outData, outLength);
}
TcsResult tcsDatabaseOpenFirstStorage(TcsHandle appStorage, TcsHandle* out) { return handleOut(TOV_FN_STORAGE_OPEN_FIRST, appStorage, out); }
TcsResult tcsDatabaseOpenNextStorage(TcsHandle appStorage, TcsHandle* out) { return handleOut(TOV_FN_STORAGE_OPEN_NEXT, appStorage, out); }

TcsResult tcsDatabaseFormatDatabasePriv(TcsHandle client, const char* url) {
    if (url == nullptr) return TCS_RESULT_BAD_PARAM;
    TextRequest request{};
    request.handle = client;
    if (!putText(request.text, url)) return TCS_RESULT_BAD_PARAM;
    FormatReply reply{};
    return transfer(TOV_FN_DATABASE_FORMAT, &request, &reply);
}

TcsResult tcsDatabaseGetUserCount(TcsHandle appStorage, uint32_t* outCount) {
    return valueOut(TOV_FN_USER_COUNT, appStorage, outCount);
}

TcsResult tcsDatabaseExGetTemplateData(TcsHandle templateHandle, TcsHandle sensor, TcsHandle* outEnrollTemplate) {
    if (templateHandle == 0) return TCS_RESULT_INVALID_TEMPLATE_HANDLE;
    if (sensor == 0) return TCS_RESULT_NULL_SENSOR_HANDLE;
    if (outEnrollTemplate == nullptr) return TCS_RESULT_NULL_HANDLE_POINTER;
    PairRequest request{templateHandle, sensor};
    std::unique_ptr<DataReply> reply(new (std::nothrow) DataReply{});
    if (reply == nullptr) return TCS_RESULT_OUT_OF_MEMORY;
    TcsResult result = transfer(TOV_FN_TEMPLATE_EX_GET, &request, reply.get());
    if (result != TCS_RESULT_OK) return result;
    // The packed template starts behind the result and its pad; its offsets are the service's word.
    const uint8_t* packed = reinterpret_cast<const uint8_t*>(reply.get()) + 8;
    if (!packedTemplateFits(packed, kArea)) return TCS_RESULT_BAD_PARAM;
    TcsHandle made = 0;
    result = tcsTemplateUnPack(packed, &made);
    if (result != TCS_RESULT_OK) return result;
    *outEnrollTemplate = made;
    return TCS_RESULT_OK;
}

TcsResult tcsDatabaseExSetTemplateData(TcsHandle templateHandle, TcsHandle sensor, TcsHandle enrollTemplate) {
    if (templateHandle == 0 || sensor == 0 || enrollTemplate == 0) return TCS_RESULT_INVALID_HANDLE;
    uint32_t size = 0;
    TcsResult result = tcsTemplatePack(enrollTemplate, nullptr, &size);
    if (result != TCS_RESULT_OK) return TCS_RESULT_INVALID_HANDLE;
    if (size > kArea) return TCS_RESULT_BAD_PARAM;
    std::unique_ptr<TemplateSetRequest> request(new (std::nothrow) TemplateSetRequest{});
    if (request == nullptr) return TCS_RESULT_OUT_OF_MEMORY;
    request->templateHandle = templateHandle;
    request->sensor = sensor;
    request->length = size;
    result = tcsTemplatePack(enrollTemplate, request->packed, &size);
    if (result != TCS_RESULT_OK) return result;
    ResultReply reply{};
    return transfer(TOV_FN_TEMPLATE_EX_SET, request.get(), &reply);
}

// --- Parameters and keys -------------------------------------------------------------------------------------
TcsResult tcsSetParam(TcsHandle client, uint32_t id, uint32_t value) {
    // The wait-while-suspended switch lives only in this library.
    if (id == 13) {
        tovFlagSet(&gClientSystem.waitWhileSuspended, value);
        return TCS_RESULT_OK;
    }
    TwoValueRequest request{};
    request.handle = client;
    request.first = id;
    request.second = value;
    ResultReply reply{};
    return transfer(TOV_FN_SET_PARAM, &request, &reply);
}

TcsResult tcsGetParam(TcsHandle client, uint32_t id, uint32_t* outValue) {
    if (outValue == nullptr) return TCS_RESULT_NULL_HANDLE_POINTER;
    if (id == 13) {
        *outValue = tovFlagGet(&gClientSystem.waitWhileSuspended);
        return TCS_RESULT_OK;
    }
    ValueRequest request{};
    request.handle = client;
    request.value = id;
    ValueReply reply{};
    TcsResult result = transfer(TOV_FN_GET_PARAM, &request, &reply);
    *outValue = result == TCS_RESULT_OK ? reply.value : 0;
    return result;
}

TcsResult tcsMatcherSetAccuracy(TcsHandle client, uint32_t level) {
    if (client == 0) return TCS_RESULT_NULL_CLIENT_HANDLE;
    switch (level) {
    case 1: return tcsSetParam(client, 15, 10000);
    case 2: return tcsSetParam(client, 15, 100000);
    case 3: return tcsSetParam(client, 15, 1000000);
    default: return TCS_RESULT_BAD_PARAM;
    }
}

TcsResult tcsSensorGetDeviceInfo(TcsHandle sensor, DeviceInfoRecord* out) {
    static_assert(sizeof(DeviceInfoRecord) == 48);
    if (sensor == 0) return TCS_RESULT_NULL_SENSOR_HANDLE;
    if (out == nullptr) return TCS_RESULT_NULL_HANDLE_POINTER;
    HandleRequest request{sensor};
    DeviceInfoReply reply{};
    TcsResult result = transfer(TOV_FN_SENSOR_DEVICE_INFO, &request, &reply);
    if (result == TCS_RESULT_OK) std::memcpy(out, reply.info, sizeof(reply.info));
    else std::memset(out, 0, sizeof(*out));
    return result;
}

TcsResult tcsSetSymmetricKey(TcsHandle client, uint32_t keyIndex, uint32_t mode, uint32_t algorithm, const void* key,
                             uint32_t keyLength) {
    if (client == 0) return TCS_RESULT_NULL_CLIENT_HANDLE;
    if (key == nullptr) return TCS_RESULT_NULL_POINTER;
    if (keyLength > 64) return TCS_RESULT_BAD_PARAM;
    SymmetricKeyRequest request{};
    request.sensor = client;
    request.keyIndex = keyIndex;
    request.mode = mode;
    request.algorithm = algorithm;
    std::memcpy(request.key, key, keyLength);
    request.keyLength = keyLength;
    ResultReply reply{};
    return transfer(TOV_FN_SET_SYMMETRIC_KEY, &request, &reply);
}

TcsResult tcsResetSymmetricKey(TcsHandle client, uint32_t keyIndex) {
    if (client == 0) return TCS_RESULT_NULL_CLIENT_HANDLE;
    return valueCall(TOV_FN_RESET_SYMMETRIC_KEY, client, keyIndex);
}

TcsResult tcsSensorStartTTAHandling(TcsHandle sensor) {
    if (sensor == 0) return TCS_RESULT_INVALID_HANDLE;
    return handleOnly(TOV_FN_TTA_START, sensor);
}

TcsResult tcsSensorStopTTAHandling(TcsHandle sensor) {
    if (sensor == 0) return TCS_RESULT_INVALID_HANDLE;
    return handleOnly(TOV_FN_TTA_STOP, sensor);
}

// --- Power ----------------------------------------------------------------------------------------------------
TcsResult tcsSensorGetPowerPolicies(TcsHandle sensor, void* policies) {
    if (sensor == 0) return TCS_RESULT_NULL_SENSOR_HANDLE;
    if (policies == nullptr) return TCS_RESULT_NULL_HANDLE_POINTER;
    HandleRequest request{sensor};
    TwoValueReply reply{};
    TcsResult result = transfer(TOV_FN_POWER_POLICIES_GET, &request, &reply);
    uint32_t values[2] = {0, 0};
    if (result == TCS_RESULT_OK) {
        values[0] = reply.first;
        values[1] = reply.second;
    }
    std::memcpy(policies, values, sizeof(values));
    return result;
}

TcsResult tcsSensorSetPowerPolicies(TcsHandle sensor, const void* policies) {
    if (sensor == 0) return TCS_RESULT_NULL_SENSOR_HANDLE;
    if (policies == nullptr) return TCS_RESULT_NULL_POINTER;
    TwoValueRequest request{};
    request.handle = sensor;
    std::memcpy(&request.first, policies, 8);
    ResultReply reply{};
    return transfer(TOV_FN_POWER_POLICIES_SET, &request, &reply);
}

TcsResult tcsSensorSetPowerState(TcsHandle sensor, uint32_t state) {
    if (sensor == 0) return TCS_RESULT_NULL_SENSOR_HANDLE;
    return valueCall(TOV_FN_POWER_STATE_SET, sensor, state);
}

TcsResult tcsSensorGetSelectiveSuspendTimeout(TcsHandle sensor, uint32_t* outTimeoutMs) {
    if (sensor == 0) return TCS_RESULT_NULL_SENSOR_HANDLE;
    return valueOut(TOV_FN_SUSPEND_TIMEOUT_GET, sensor, outTimeoutMs);
}

TcsResult tcsSensorSetSelectiveSuspendTimeout(TcsHandle sensor, uint32_t timeoutMs) {
    if (sensor == 0) return TCS_RESULT_NULL_SENSOR_HANDLE;
    return valueCall(TOV_FN_SUSPEND_TIMEOUT_SET, sensor, timeoutMs);
}

// The service takes one word: whether to enable; the policy is the sensor's one power policy.
TcsResult tcsSensorEnablePowerPolicy(TcsHandle sensor, uint32_t, uint32_t enable) {
    if (sensor == 0) return TCS_RESULT_NULL_SENSOR_HANDLE;
    return valueCall(TOV_FN_POWER_POLICY_ENABLE, sensor, enable);
}

TcsResult tcsSensorIsPowerPolicyEnabled(TcsHandle sensor, uint32_t, uint32_t* enabled) {
    if (sensor == 0) return TCS_RESULT_NULL_SENSOR_HANDLE;
    return valueOut(TOV_FN_POWER_POLICY_ENABLED, sensor, enabled);
}

// --- LED --------------------------------------------------------------------------------------------------------
TcsResult tcsSensorLEDConfig(TcsHandle sensor, uint32_t selector, LedConfigRecord* record) {
    if (sensor == 0) return TCS_RESULT_NULL_SENSOR_HANDLE;
    if (record == nullptr) return TCS_RESULT_NULL_POINTER;
    if (record->size == 0) record->size = kLedDefaultSize;
    if (record->size > kLedBytes) return TCS_RESULT_BAD_PARAM;
    LedRequest request{};
    request.sensor = sensor;
    request.selector = selector;
    request.size = record->size;
    std::memcpy(request.bytes, record->bytes, record->size);
    ResultReply reply{};
    return transfer(TOV_FN_LED_CONFIG, &request, &reply);
}

TcsResult tcsSensorLEDGetConfig(TcsHandle sensor, uint32_t selector, LedConfigRecord* record) {
    if (sensor == 0) return TCS_RESULT_NULL_SENSOR_HANDLE;
    if (record == nullptr) return TCS_RESULT_NULL_HANDLE_POINTER;
    uint32_t size = record->size == 0 ? kLedDefaultSize : record->size;
    if (size > kLedBytes) return TCS_RESULT_BAD_PARAM;
    LedRequest request{};
    request.sensor = sensor;
    request.selector = selector;
    request.size = record->size;
    LedGetReply reply{};
    TcsResult result = transfer(TOV_FN_LED_GET_CONFIG, &request, &reply);
    if (result == TCS_RESULT_OK) std::memcpy(record->bytes, reply.bytes, size);
    return result;
}

TcsResult tcsSensorLoadDefaultLEDConfig(TcsHandle sensor) {
    if (sensor == 0) return TCS_RESULT_NULL_SENSOR_HANDLE;
    LedRequest request{};
    request.sensor = sensor;
    ResultReply reply{};
    return transfer(TOV_FN_LED_LOAD_DEFAULT, &request, &reply);
}

TcsResult tcsSensorSaveLEDConfig(TcsHandle sensor) {
    if (sensor == 0) return TCS_RESULT_NULL_SENSOR_HANDLE;
    LedRequest request{};
    request.sensor = sensor;
    ResultReply reply{};
    return transfer(TOV_FN_LED_SAVE, &request, &reply);
}

TcsResult tcsSensorLEDSetEvent(TcsHandle sensor, uint32_t ledEvent) {
    if (sensor == 0) return TCS_RESULT_NULL_SENSOR_HANDLE;
    LedRequest request{};
    request.sensor = sensor;
    request.selector = ledEvent;
    ResultReply reply{};
    return transfer(TOV_FN_LED_SET_EVENT, &request, &reply);
}

TcsResult tcsSensorIsLEDEnabled(uint32_t* outEnabled) {
    if (outEnabled == nullptr) return TCS_RESULT_NULL_HANDLE_POINTER;
    ValueReply reply{};
    TcsResult result = transferBare(TOV_FN_LED_IS_ENABLED, &reply);
    *outEnabled = result == TCS_RESULT_OK ? reply.value : 0;
    return result;
}

TcsResult tcsSensorLEDEnable(uint32_t enable) {
    uint32_t request = enable;
    ResultReply reply{};
    return transfer(TOV_FN_LED_ENABLE, &request, &reply);
}

TcsResult tcsSensorLEDReadyForSwipe(TcsHandle sensor) { return tcsSensorLEDSetEvent(sensor, 23); }
TcsResult tcsSensorLEDEnrollmentSwipeAccepted(TcsHandle sensor) { return tcsSensorLEDSetEvent(sensor, 24); }
TcsResult tcsSensorLEDEnrollmentSwipeRejected(TcsHandle sensor) { return tcsSensorLEDSetEvent(sensor, 25); }
TcsResult tcsSensorLEDSwipeAccepted(TcsHandle sensor) { return tcsSensorLEDSetEvent(sensor, 26); }
TcsResult tcsSensorLEDSwipeRejected(TcsHandle sensor) { return tcsSensorLEDSetEvent(sensor, 27); }
TcsResult tcsSensorLEDIdle(TcsHandle sensor) { return tcsSensorLEDSetEvent(sensor, 28); }

// --- Firmware image, identity, flags ------------------------------------------------------------------------
TcsResult tcsSensorProgramEFIImage(TcsHandle sensor, const uint8_t* data, uint32_t length, uint32_t erase) {
    if (sensor == 0) return TCS_RESULT_NULL_SENSOR_HANDLE;
    if (data == nullptr) return TCS_RESULT_NULL_POINTER;
    if (length > kEfiArea) return TCS_RESULT_BAD_PARAM;
    std::unique_ptr<EfiRequest> request(new (std::nothrow) EfiRequest{});
    if (request == nullptr) return TCS_RESULT_OUT_OF_MEMORY;
    request->sensor = sensor;
    request->flag = erase;
    request->length = length;
    std::memcpy(request->image, data, length);
    ResultReply reply{};
    return transfer(TOV_FN_EFI_PROGRAM, request.get(), &reply);
}

TcsResult tcsSensorEraseEFIImage(TcsHandle sensor) {
    if (sensor == 0) return TCS_RESULT_NULL_SENSOR_HANDLE;
    return handleOnly(TOV_FN_EFI_ERASE, sensor);
}

TcsResult tcsSensorGetUID(TcsHandle sensor, SensorUidRecord* out) {
    static_assert(sizeof(SensorUidRecord) == 20);
    if (sensor == 0) return TCS_RESULT_NULL_SENSOR_HANDLE;
    if (out == nullptr) return TCS_RESULT_NULL_HANDLE_POINTER;
    HandleRequest request{sensor};
    UidReply reply{};
    TcsResult result = transfer(TOV_FN_SENSOR_UID, &request, &reply);
    if (result == TCS_RESULT_OK) std::memcpy(out, &reply.first, sizeof(*out));
    return result;
}

TcsResult tcsSensorStartPrivilegedTransaction(TcsHandle sensor) {
    if (sensor == 0) return TCS_RESULT_NULL_SENSOR_HANDLE;
    return valueCall(TOV_FN_PRIVILEGED_TRANSACTION, sensor, 1);
}

TcsResult tcsSensorStopPrivilegedTransaction(TcsHandle sensor) {
    if (sensor == 0) return TCS_RESULT_NULL_SENSOR_HANDLE;
    return valueCall(TOV_FN_PRIVILEGED_TRANSACTION, sensor, 0);
}

TcsResult tcsSensorSetPbaFlag(TcsHandle sensor, uint8_t index, uint8_t value) {
    if (sensor == 0) return TCS_RESULT_NULL_SENSOR_HANDLE;
    TwoValueRequest request{};
    request.handle = sensor;
    request.first = index;
    request.second = value;
    ResultReply reply{};
    return transfer(TOV_FN_PBA_FLAG_SET, &request, &reply);
}

TcsResult tcsSensorGetPbaFlag(TcsHandle sensor, uint8_t index, uint8_t* out) {
    if (sensor == 0) return TCS_RESULT_NULL_SENSOR_HANDLE;
    if (out == nullptr) return TCS_RESULT_NULL_HANDLE_POINTER;
    PbaGetRequest request{};
    request.sensor = sensor;
    request.flag = index;
    PbaGetReply reply{};
    TcsResult result = transfer(TOV_FN_PBA_FLAG_GET, &request, &reply);
    *out = result == TCS_RESULT_OK ? reply.value : 0;
    return result;
}

TcsResult tcsSensorGetEFIImageVersion(TcsHandle sensor, uint32_t* out) {
    if (sensor == 0) return TCS_RESULT_NULL_SENSOR_HANDLE;
    return valueOut(TOV_FN_EFI_VERSION, sensor, out);
}

TcsResult tcsSensorSetCapturePurpose(TcsHandle sensor, uint32_t purpose) {
    if (sensor == 0) return TCS_RESULT_NULL_SENSOR_HANDLE;
    return valueCall(TOV_FN_CAPTURE_PURPOSE, sensor, purpose);
}

// --- Extended flows -----------------------------------------------------------------------------------------------
TcsResult tcsExEnrollUserEx(TcsHandle sensor, uint32_t option, TcsHandle appStorage, const SizedBuffer* userId,
                            uint32_t value, const TypedSizedBuffer* data, uint32_t flags, EventCallback callback,
                            void* context) {
    if (sensor == 0) return TCS_RESULT_NULL_SENSOR_HANDLE;
    // The enrollment reports its progress for as long as it runs: the callback stays registered.
    const uint64_t key = uint64_t(reinterpret_cast<uintptr_t>(callback));
    const uint64_t userData = uint64_t(reinterpret_cast<uintptr_t>(context));
    callbackAdd(CallbackKind::Event, key, userData);
    TcsResult result = exFrameCall(TOV_FN_EX_ENROLL_USER, sensor, option, appStorage, userId, value, data, flags,
                                   callback, context);
    if (result != TCS_RESULT_OK) callbackRemove(CallbackKind::Event, key, userData);
    return result;
}

TcsResult tcsExEnrollUser(TcsHandle sensor, uint32_t option, TcsHandle appStorage, const SizedBuffer* userId,
                          uint32_t value, const TypedSizedBuffer* data, uint32_t flags, EventCallback callback,
                          void* context) {
    if (callback == nullptr) return TCS_RESULT_NULL_POINTER;
    return tcsExEnrollUserEx(sensor, option, appStorage, userId, value, data, flags, callback, context);
}

TcsResult tcsExIdentifyUser(TcsHandle sensor, uint32_t option, TcsHandle appStorage, uint32_t flags,
                            EventCallback callback, void* context) {
    if (sensor == 0) return TCS_RESULT_NULL_SENSOR_HANDLE;
    if (callback == nullptr) return TCS_RESULT_NULL_POINTER;
    return exForwardedCall(TOV_FN_EX_IDENTIFY_USER, sensor, option, appStorage, nullptr, flags, callback, context);
}

TcsResult tcsExVerifyUser(TcsHandle sensor, uint32_t option, TcsHandle appStorage, const SizedBuffer* userId,
                          uint32_t flags, EventCallback callback, void* context) {
    if (sensor == 0) return TCS_RESULT_NULL_SENSOR_HANDLE;
    if (callback == nullptr) return TCS_RESULT_NULL_POINTER;
    return exForwardedCall(TOV_FN_EX_VERIFY_USER, sensor, option, appStorage, userId, flags, callback, context);
}

TcsResult tcsExEventsCB(void* handle, void* context, EventRecord* event) {
    auto* forward = static_cast<ExForward*>(context);
    if (forward == nullptr || event == nullptr) return TCS_RESULT_NULL_POINTER;
    TcsResult result = forward->callback != nullptr ? forward->callback(handle, forward->userData, event)
                                                    : TCS_RESULT_OK;
    if (event->id == TOV_EVENT_IDENTIFIED_USER || event->id == TOV_EVENT_IDENTIFIED_USERS) {
        forward->identifiedSeen = 1;
    }
    if (event->id == TOV_EVENT_EX_IMAGE) forward->imageSeen = 1;
    return result;
}

TcsResult tcsCancelExOperation(TcsHandle sensor) {
    if (sensor == 0) return TCS_RESULT_ERROR;
    HandleRequest request{sensor};
    // Sent past the mutex, which the running extended call holds while it waits for its reply.
    tcsFPClientTransferCall(&gClientSystem, TOV_FN_EX_CANCEL, &request, sizeof(request), nullptr, 0, 0, 0);
    TcsResult held = palMutexAcquire(gClientSystem.mutex, tov::client::detail::mutexWaitMs());
    if (held != TCS_RESULT_OK) return held;
    palMutexRelease(gClientSystem.mutex);
    return TCS_RESULT_OK;
}

TcsResult tcsExRemoveUserFinger(TcsHandle sensor, TcsHandle appStorage, const SizedBuffer* userId, uint32_t finger) {
    if (sensor == 0) return TCS_RESULT_NULL_SENSOR_HANDLE;
    if (userId == nullptr) return TCS_RESULT_NULL_POINTER;
    std::unique_ptr<UserIdRequest> request(new (std::nothrow) UserIdRequest{});
    if (request == nullptr) return TCS_RESULT_OUT_OF_MEMORY;
    request->sensor = sensor;
    request->appStorage = appStorage;
    if (!putArea(request->userId, &request->length, userId)) return TCS_RESULT_BAD_PARAM;
    request->finger = finger;
    ResultReply reply{};
    return transfer(TOV_FN_EX_REMOVE_USER_FINGER, request.get(), &reply);
}

TcsResult tcsExGetEnrolledUserList(TcsHandle sensor, TcsHandle appStorage, uint32_t* outCount, OwnedBuffer** outUsers) {
    if (sensor == 0) return TCS_RESULT_NULL_SENSOR_HANDLE;
    if (outCount == nullptr || outUsers == nullptr) return TCS_RESULT_NULL_HANDLE_POINTER;
    PairRequest request{sensor, appStorage};
    return twoCallList(TOV_FN_EX_USER_LIST_COUNT, TOV_FN_EX_USER_LIST, &request, sizeof(request), 4 + kArea, false,
                       true, outCount, outUsers);
}

TcsResult tcsExExportUserTemplates(TcsHandle sensor, TcsHandle appStorage, const SizedBuffer* userId,
                                   uint32_t* outCount, OwnedBuffer** outTemplates) {
    if (sensor == 0) return TCS_RESULT_NULL_SENSOR_HANDLE;
    if (userId == nullptr) return TCS_RESULT_NULL_POINTER;
    if (outCount == nullptr || outTemplates == nullptr) return TCS_RESULT_NULL_HANDLE_POINTER;
    std::unique_ptr<UserIdRequest> request(new (std::nothrow) UserIdRequest{});
    if (request == nullptr) return TCS_RESULT_OUT_OF_MEMORY;
    request->sensor = sensor;
    request->appStorage = appStorage;
    if (!putArea(request->userId, &request->length, userId)) return TCS_RESULT_BAD_PARAM;
    return twoCallList(TOV_FN_EX_EXPORT_COUNT, TOV_FN_EX_EXPORT, request.get(), sizeof(UserIdRequest), 8 + kArea, true,
                       false, outCount, outTemplates);
}

void tcsExFreeBufferList(OwnedBuffer* list, uint32_t count) {
    if (list == nullptr) return;
    for (uint32_t i = 0; i < count; ++i) palRealFree(list[i].data);
    palRealFree(list);
}

TcsResult tcsExEnrollAuthData(TcsHandle sensor, const SizedBuffer* first, const TypedSizedBuffer* second,
                              uint32_t value, const SizedBuffer* third, uint8_t** outData, uint32_t* outLength) {
    if (sensor == 0) return TCS_RESULT_NULL_SENSOR_HANDLE;
    if (outData == nullptr || outLength == nullptr) return TCS_RESULT_NULL_HANDLE_POINTER;
    std::unique_ptr<AuthDataRequest> request(new (std::nothrow) AuthDataRequest{});
    if (request == nullptr) return TCS_RESULT_OUT_OF_MEMORY;
    TcsResult filled = fillAuthData(request.get(), sensor, first, second, value, third);
    if (filled != TCS_RESULT_OK) return filled;
    return byteStringCall(TOV_FN_EX_ENROLL_AUTH_DATA, request.get(), sizeof(AuthDataRequest), outData, outLength);
}

TcsResult tcsExGetAuthToken(TcsHandle sensor, const SizedBuffer* first, const TypedSizedBuffer* second,
                            uint32_t value, const SizedBuffer* third, const SizedBuffer* fourth, uint8_t** outData,
                            uint32_t* outLength) {
    if (sensor == 0) return TCS_RESULT_NULL_SENSOR_HANDLE;
    if (outData == nullptr || outLength == nullptr) return TCS_RESULT_NULL_HANDLE_POINTER;
    std::unique_ptr<uint8_t[]> request(new (std::nothrow) uint8_t[kAuthTokenSize]());
    if (request == nullptr) return TCS_RESULT_OUT_OF_MEMORY;
    std::unique_ptr<AuthDataRequest> head(new (std::nothrow) AuthDataRequest{});
    if (head == nullptr) return TCS_RESULT_OUT_OF_MEMORY;
    TcsResult filled = fillAuthData(head.get(), sensor, first, second, value, third);
    if (filled != TCS_RESULT_OK) return filled;
    std::memcpy(request.get(), head.get(), kAuthTokenFourth);
    if (fourth != nullptr) {
        if (fourth->length > kArea) return TCS_RESULT_BAD_PARAM;
        std::memcpy(request.get() + kAuthTokenFourth, &fourth->length, 4);
        if (fourth->data != nullptr) std::memcpy(request.get() + kAuthTokenFourth + 4, fourth->data, fourth->length);
    }
    return byteStringCall(TOV_FN_EX_GET_AUTH_TOKEN, request.get(), kAuthTokenSize, outData, outLength);
}

TcsResult tcsExShareAuthData(TcsHandle sensor, TcsHandle handle, const SizedBuffer* first,
                             const TypedSizedBuffer* second, const SizedBuffer* third, const SizedBuffer* fourth,
                             uint8_t** outData, uint32_t* outLength) {
    if (sensor == 0) return TCS_RESULT_NULL_SENSOR_HANDLE;
    if (outData == nullptr || outLength == nullptr) return TCS_RESULT_NULL_HANDLE_POINTER;
    std::unique_ptr<ShareAuthRequest> request(new (std::nothrow) ShareAuthRequest{});
    if (request == nullptr) return TCS_RESULT_OUT_OF_MEMORY;
    request->sensor = sensor;
    request->handle = handle;
    if (!putArea(request->area1, &request->length1, first) ||
        !putTyped(request->area2, &request->kind2, &request->length2, second) ||
        !putArea(request->area3, &request->length3, third) || !putArea(request->area4, &request->length4, fourth)) {
        return TCS_RESULT_BAD_PARAM;
    }
    return byteStringCall(TOV_FN_EX_SHARE_AUTH_DATA, request.get(), sizeof(ShareAuthRequest), outData, outLength);
}

TcsResult tcsExEnrollTemplate(TcsHandle sensor, TcsHandle appStorage, const SizedBuffer* userId, uint32_t finger,
                              const TypedSizedBuffer* data, TcsHandle enrollTemplate) {
    if (sensor == 0) return TCS_RESULT_NULL_SENSOR_HANDLE;
    std::unique_ptr<EnrollTemplateRequest> request(new (std::nothrow) EnrollTemplateRequest{});
    if (request == nullptr) return TCS_RESULT_OUT_OF_MEMORY;
    request->sensor = sensor;
    request->appStorage = appStorage;
    if (!putArea(request->userId, &request->userIdLength, userId)) return TCS_RESULT_BAD_PARAM;
    request->finger = finger;
    if (!putTyped(request->data, &request->kind, &request->dataLength, data)) return TCS_RESULT_BAD_PARAM;
    request->enrollTemplate = enrollTemplate;
    ResultReply reply{};
    return transfer(TOV_FN_EX_ENROLL_TEMPLATE, request.get(), &reply);
}

TcsResult tcsExIdentifyImage(TcsHandle sensor, uint32_t option, TcsHandle appStorage, uint32_t flags, TcsHandle image,
                             uint32_t* outCount, IdentifiedUser** outUsers) {
    if (sensor == 0) return TCS_RESULT_NULL_SENSOR_HANDLE;
    if (outCount == nullptr || outUsers == nullptr) return TCS_RESULT_NULL_HANDLE_POINTER;
    std::unique_ptr<uint8_t[]> packed;
    uint32_t packedSize = 0;
    TcsResult result = packImage(image, &packed, &packedSize);
    if (result != TCS_RESULT_OK) return result;
    uint64_t length = 32ull + packedSize + 7;
    if (length > TOV_CHANNEL_PAYLOAD_MAX) return TCS_RESULT_BAD_PARAM;
    std::unique_ptr<uint8_t[]> request(new (std::nothrow) uint8_t[length]());
    if (request == nullptr) return TCS_RESULT_OUT_OF_MEMORY;
    std::memcpy(request.get(), &sensor, 8);
    std::memcpy(request.get() + 8, &option, 4);
    std::memcpy(request.get() + 16, &appStorage, 8);
    std::memcpy(request.get() + 24, &flags, 4);
    std::memcpy(request.get() + 28, &packedSize, 4);
    std::memcpy(request.get() + 32, packed.get(), packedSize);
    void* reply = nullptr;
    uint32_t replyLength = 0;
    result = tcsFPClientTransferCallEx(&gClientSystem, TOV_FN_EX_IDENTIFY_IMAGE, request.get(), uint32_t(length),
                                       &reply, &replyLength, 0, 1);
    if (result != TCS_RESULT_OK) return result;
    std::unique_ptr<uint8_t, void (*)(uint8_t*)> owned(static_cast<uint8_t*>(reply),
                                                       [](uint8_t* block) { palRealFree(block); });
    // This reply carries its count before its result.
    if (replyLength < 8) return TCS_RESULT_SERVICE;
    uint32_t count;
    std::memcpy(&count, owned.get(), 4);
    std::memcpy(&result, owned.get() + 4, 4);
    if (result != TCS_RESULT_OK) return result;
    if (count > (replyLength - 8) / TOV_PACKED_IDENTIFIED_USER_SIZE) return TCS_RESULT_BAD_PARAM;
    IdentifiedUser* users = nullptr;
    if (count != 0) {
        users = static_cast<IdentifiedUser*>(palRealMalloc(uint32_t(count * sizeof(IdentifiedUser))));
        if (users == nullptr) return TCS_RESULT_OUT_OF_MEMORY;
        std::memset(users, 0, count * sizeof(IdentifiedUser));
        for (uint32_t i = 0; i < count; ++i) {
            TcsResult unpacked = tcsIdentifiedUserEventPackUnpack(
                &users[i], owned.get() + 8 + size_t(i) * TOV_PACKED_IDENTIFIED_USER_SIZE, 0);
            if (unpacked != TCS_RESULT_OK) {
                tcsExFreeIdentifiedUsers(users, count);
                return unpacked;
            }
        }
    }
    *outCount = count;
    *outUsers = users;
    return TCS_RESULT_OK;
}

void tcsExFreeIdentifiedUsers(IdentifiedUser* users, uint32_t count) {
    if (users == nullptr) return;
    for (uint32_t i = 0; i < count; ++i) tcsIdentifiedUserFree(&users[i]);
    palRealFree(users);
}

TcsResult tcsExVerifyImage(TcsHandle sensor, uint32_t option, TcsHandle appStorage, uint32_t flags,
                           const SizedBuffer* userId, TcsHandle image) {
    if (sensor == 0) return TCS_RESULT_NULL_SENSOR_HANDLE;
    std::unique_ptr<uint8_t[]> packed;
    uint32_t packedSize = 0;
    TcsResult result = packImage(image, &packed, &packedSize);
    if (result != TCS_RESULT_OK) return result;
    uint64_t length = 32804ull + packedSize + 3;
    if (length > TOV_CHANNEL_PAYLOAD_MAX) return TCS_RESULT_BAD_PARAM;
    std::unique_ptr<uint8_t[]> request(new (std::nothrow) uint8_t[length]());
    // Kept as the service's callers know it: this one request reports a failed allocation as 13.
    if (request == nullptr) return TCS_RESULT_NULL_HANDLE_POINTER;
    std::memcpy(request.get(), &sensor, 8);
    std::memcpy(request.get() + 8, &option, 4);
    std::memcpy(request.get() + 16, &appStorage, 8);
    std::memcpy(request.get() + 24, &flags, 4);
    if (userId != nullptr) {
        if (userId->length > kArea) return TCS_RESULT_BAD_PARAM;
        std::memcpy(request.get() + 28, &userId->length, 4);
        if (userId->data != nullptr) std::memcpy(request.get() + 32, userId->data, userId->length);
    }
    std::memcpy(request.get() + 32800, &packedSize, 4);
    std::memcpy(request.get() + 32804, packed.get(), packedSize);
    ResultReply reply{};
    result = tcsFPClientTransferCall(&gClientSystem, TOV_FN_EX_VERIFY_IMAGE, request.get(), uint32_t(length), &reply,
                                     sizeof(reply), 0, 1);
    return result != TCS_RESULT_OK ? result : reply.result;
}

// --- Answered here -------------------------------------------------------------------------------------------------
TcsResult tcsSensorNavigationStart(TcsHandle sensor) {
    return sensor == 0 ? TCS_RESULT_NULL_SENSOR_HANDLE : TCS_RESULT_NOT_IMPLEMENTED;
}
TcsResult tcsSensorNavigationStop(TcsHandle sensor) {
    return sensor == 0 ? TCS_RESULT_NULL_SENSOR_HANDLE : TCS_RESULT_NOT_IMPLEMENTED;
}
TcsResult tcsSensorNavigationSetConfig(TcsHandle sensor, const void*) {
    return sensor == 0 ? TCS_RESULT_NULL_SENSOR_HANDLE : TCS_RESULT_NOT_IMPLEMENTED;
}
TcsResult tcsSensorNavigationGetConfig(TcsHandle sensor, void*) {
    return sensor == 0 ? TCS_RESULT_NULL_SENSOR_HANDLE : TCS_RESULT_NOT_IMPLEMENTED;
}
TcsResult tcsFIDOCreateAuthData(void) { return TCS_RESULT_NOT_IMPLEMENTED; }
TcsResult tcsFIDOProvisionOtpSeed(void) { return TCS_RESULT_NOT_IMPLEMENTED; }
TcsResult tcsFIDOCreateHotpToken(void) { return TCS_RESULT_NOT_IMPLEMENTED; }

}  // extern "C"
