// Event channel: the listener reads events off the FIFO, the handler delivers them to callbacks.

#include "apps/shared/client.h"
#include "apps/shared/detail/callbacks.h"
#include "apps/shared/detail/client_nodes.h"

#include "platform/clock.h"
#include "platform/memory.h"
#include "tcs/core.h"
#include "tcs/handle_map.h"

#include <cstddef>
#include <cstring>
#include <string>
#include <strings.h>
#include <syslog.h>

using tov::client::detail::CallbackKind;
using tov::client::detail::QueuedEvent;

namespace {

constexpr uint32_t kListenerSliceMs = 100;
constexpr uint32_t kReopenPauseMs = 20;
constexpr uint32_t kEvent32Size = 20;

struct DetectDataNode {
    PalListEntry link;
    char* id;
    void* callback;
};

// What the sensor-ready thread receives: the call to make and its own copy of the payload.
struct SentEvent {
    EventCallback callback;
    void* handle;
    void* userData;
    EventRecord record;
    uint8_t payload[1];
};

uint32_t getU32(const uint8_t* at) {
    uint32_t value;
    std::memcpy(&value, at, 4);
    return value;
}

void* asPointer(uint64_t value) { return reinterpret_cast<void*>(uintptr_t(value)); }

class Handler {
public:
    explicit Handler(FPClientSystem* system) : system_(system) {}

    void deliver(const EventChannelHeader& header, uint8_t* payload) {
        auto callback = reinterpret_cast<EventCallback>(asPointer(header.callback));
        void* handle = asPointer(header.handle);
        void* userData = asPointer(header.userData);
        EventRecord record{};
        record.id = header.id;
        record.status = header.status;
        switch (header.id) {
        case TOV_EVENT_SERVICE_SUSPENDED:
            tovFlagSet(&system_->suspended, 1);
            break;
        case TOV_EVENT_SERVICE_RESUMED:
            tovFlagSet(&system_->suspended, 0);
            if (tovFlagGet(&system_->waitWhileSuspended) != 0) palEventSet(system_->serviceReady);
            break;
        default:
            break;
        }
        if (callback == nullptr) return;
        // Whoever can write the event FIFO chooses the address and the arguments: only a pair this
        // process registered is called, and a capture's completion only as a completion.
        const CallbackKind kind =
            header.id == TOV_EVENT_CAPTURE_COMPLETE ? CallbackKind::Completion : CallbackKind::Event;
        if (!tov::client::detail::callbackKnown(kind, header.callback, header.userData,
                                                kind == CallbackKind::Completion)) {
            syslog(LOG_WARNING, "Tovantic event %u names no callback of this process: dropped\n", header.id);
            return;
        }
        switch (header.id) {
        case 1: case 4: case 9: case 21: case TOV_EVENT_SERVICE_SUSPENDED: case TOV_EVENT_SERVICE_RESUMED:
        case 6: case 7: case 8: case 10: case 11: case 20: case 33:
            record.dataSize = header.length;
            record.data = payload;
            callback(handle, userData, &record);
            break;
        case 2:
            sensorArriving(header, payload, callback, handle, userData);
            break;
        case 3:
            sensorReady(header, payload, callback, handle, userData);
            break;
        case 5:
            imageReady(header, payload, callback, handle, userData);
            break;
        case TOV_EVENT_EX_PROGRESS: case TOV_EVENT_EX_PROGRESS_2: case TOV_EVENT_EX_PROGRESS_3:
            record.dataSize = header.length;
            callback(handle, userData, &record);
            tcsHandleDestroy(remembered_);
            break;
        case TOV_EVENT_EX_IMAGE:
            progressImage(header, payload, callback, handle, userData);
            break;
        case TOV_EVENT_IDENTIFIED_USER:
            identifiedUser(header, payload, callback, handle, userData);
            break;
        case TOV_EVENT_IDENTIFIED_USERS:
            identifiedUsers(header, payload, callback, handle, userData);
            break;
        case TOV_EVENT_DATA_20: {
            // A shorter payload is padded with zeros rather than read past.
            uint8_t copy[kEvent32Size] = {};
            if (payload != nullptr) std::memcpy(copy, payload, header.length < kEvent32Size ? header.length : kEvent32Size);
            record.dataSize = kEvent32Size;
            record.data = copy;
            callback(handle, userData, &record);
            break;
        }
        case TOV_EVENT_CAPTURE_COMPLETE:
            captureComplete(header, payload, reinterpret_cast<CompletionCallback>(asPointer(header.callback)),
                            userData);
            break;
        default:
            break;
        }
    }

private:
    TcsResult unpack(const uint8_t* payload, uint32_t length, TcsHandle* out) {
        *out = 0;
        if (payload == nullptr || !tov::client::detail::packedImageFits(payload, length)) {
            return TCS_RESULT_INVALID_FILE_FORMAT;
        }
        return tcsImageUnPack(payload, out);
    }

    static std::string idString(const uint8_t* payload, uint32_t length) {
        if (payload == nullptr) return std::string();
        std::string id(reinterpret_cast<const char*>(payload), length);
        return id.substr(0, id.find('\0'));
    }

    void sensorArriving(const EventChannelHeader& header, uint8_t* payload, EventCallback callback, void* handle,
                        void* userData) {
        std::string id = idString(payload, header.length);
        tcsFPClientAddDetectDataToList(id.c_str(), uint32_t(id.size()), reinterpret_cast<void*>(callback), system_);
        EventRecord record{2, header.status, header.length, payload};
        callback(handle, userData, &record);
    }

    void sensorReady(const EventChannelHeader& header, uint8_t* payload, EventCallback callback, void* handle,
                     void* userData) {
        std::string id = idString(payload, header.length);
        auto* key = reinterpret_cast<void*>(callback);
        if (tcsFPClientIsContainDetectData(id.c_str(), key, system_)) {
            tcsFPClientRemoveDetectDataFromList(id.c_str(), key, system_);
        } else {
            // A callback that missed the sensor's arrival hears of it before it hears it is ready.
            EventRecord arriving{2, header.status, header.length, payload};
            callback(handle, userData, &arriving);
        }
        auto* sent = static_cast<SentEvent*>(palRealMalloc(uint32_t(sizeof(SentEvent) + header.length)));
        if (sent == nullptr) return;
        sent->callback = callback;
        sent->handle = handle;
        sent->userData = userData;
        sent->record = EventRecord{3, header.status, header.length, nullptr};
        if (payload != nullptr && header.length != 0) {
            std::memcpy(sent->payload, payload, header.length);
            sent->record.data = sent->payload;
        }
        PalThreadHandle thread = 0;
        uint32_t threadId = 0;
        if (palThreadBegin(nullptr, tcsFPClientSendEvent, sent, 0, &thread, &threadId) != TCS_RESULT_OK) {
            palRealFree(sent);
        }
    }

    void imageReady(const EventChannelHeader& header, uint8_t* payload, EventCallback callback, void* handle,
                    void* userData) {
        TcsHandle image = 0;
        TcsResult unpacked = unpack(payload, header.length, &image);
        EventRecord record{5, unpacked, unpacked == TCS_RESULT_OK ? uint32_t(sizeof(TcsHandle)) : 0u,
                           asPointer(image)};
        remembered_ = image;
        callback(handle, userData, &record);
    }

    void progressImage(const EventChannelHeader& header, uint8_t* payload, EventCallback callback, void* handle,
                       void* userData) {
        EventRecord record{TOV_EVENT_EX_IMAGE, header.status, 0, nullptr};
        TcsHandle image = 0;
        if (header.length != 0) {
            TcsResult unpacked = unpack(payload, header.length, &image);
            if (unpacked == TCS_RESULT_OK) {
                record.dataSize = sizeof(TcsHandle);
                record.data = &image;
            } else {
                record.status = unpacked;
            }
            remembered_ = image;
        }
        callback(handle, userData, &record);
        tcsHandleDestroy(remembered_);
    }

    void identifiedUser(const EventChannelHeader& header, uint8_t* payload, EventCallback callback, void* handle,
                        void* userData) {
        IdentifiedUser user{};
        TcsResult status = header.status;
        if (payload != nullptr && header.length != 0) {
            status = header.length >= TOV_PACKED_IDENTIFIED_USER_SIZE
                         ? tcsIdentifiedUserEventPackUnpack(&user, payload, 0)
                         : TCS_RESULT_INVALID;
        }
        EventRecord record{TOV_EVENT_IDENTIFIED_USER, status, sizeof(IdentifiedUser), &user};
        callback(handle, userData, &record);
        tcsIdentifiedUserFree(&user);
    }

    void identifiedUsers(const EventChannelHeader& header, uint8_t* payload, EventCallback callback, void* handle,
                         void* userData) {
        IdentifiedUserList list{};
        TcsResult status = header.status;
        if (payload != nullptr && header.length >= 4) {
            uint32_t count = getU32(payload);
            // The count is the service's word: only entries wholly inside the payload are read.
            uint64_t room = (header.length - 4) / TOV_PACKED_IDENTIFIED_USER_SIZE;
            bool cut = count > room;
            if (cut) count = uint32_t(room);
            if (count != 0) {
                list.users = static_cast<IdentifiedUser*>(palRealMalloc(uint32_t(count * sizeof(IdentifiedUser))));
                if (list.users == nullptr) {
                    status = TCS_RESULT_OUT_OF_MEMORY;
                } else {
                    std::memset(list.users, 0, count * sizeof(IdentifiedUser));
                    list.count = count;
                    for (uint32_t i = 0; i < count; ++i) {
                        status = tcsIdentifiedUserEventPackUnpack(
                            &list.users[i], payload + 4 + size_t(i) * TOV_PACKED_IDENTIFIED_USER_SIZE, 0);
                    }
                }
            }
            if (cut) status = TCS_RESULT_INVALID;
        }
        EventRecord record{TOV_EVENT_IDENTIFIED_USERS, status, sizeof(IdentifiedUserList), &list};
        callback(handle, userData, &record);
        for (uint32_t i = 0; i < list.count; ++i) tcsIdentifiedUserFree(&list.users[i]);
        palRealFree(list.users);
    }

    void captureComplete(const EventChannelHeader& header, uint8_t* payload, CompletionCallback callback,
                         void* userData) {
        TcsHandle image = 0;
        TcsResult status = header.status;
        if (status == TCS_RESULT_OK) {
            void* record = nullptr;
            if (remembered_ != 0 && tcsSafeImageHandleFetch(remembered_, &record) == TCS_RESULT_OK &&
                record != nullptr) {
                image = remembered_;
            } else {
                status = unpack(payload, header.length, &image);
            }
        } else {
            tcsHandleDestroy(remembered_);
        }
        remembered_ = 0;
        callback(asPointer(image), status, userData);
    }

    FPClientSystem* system_;
    TcsHandle remembered_ = 0;
};

QueuedEvent* takeHead(FPClientSystem* system) {
    palCriticalSectionAcquire(system->eventQueueLock);
    QueuedEvent* node = nullptr;
    if (!palListIsEmpty(&system->eventQueue)) {
        PalListEntry* entry = system->eventQueue.next;
        palListRemove(entry);
        node = PAL_LIST_RECORD(entry, QueuedEvent, link);
    }
    palCriticalSectionRelease(system->eventQueueLock);
    return node;
}

}  // namespace

namespace tov::client::detail {

bool packedImageFits(const uint8_t* packed, uint32_t length) {
    if (packed == nullptr || length < 4) return false;
    uint64_t n = getU32(packed);
    if (n < TCS_IMAGE_OVERHEAD || 4 + n > length) return false;
    uint64_t at = 4 + n;
    uint64_t irPointer = 0, aspPointer = 0;
    std::memcpy(&irPointer, packed + 4 + offsetof(ImageRecord, irMetrics), 8);
    std::memcpy(&aspPointer, packed + 4 + offsetof(ImageRecord, aspMetrics), 8);
    if (irPointer != 0) {
        if (at + 4 + TCS_IR_METRICS_SIZE > length) return false;
        at += 4 + TCS_IR_METRICS_SIZE;
    }
    if (aspPointer != 0) {
        if (at + 4 > length) return false;
        uint32_t aspLength = getU32(packed + at);
        if (at + 4 + aspLength > length) return false;
    }
    return true;
}

}  // namespace tov::client::detail

extern "C" {

uint32_t tcsEventChannelListener(void* argument) {
    auto* system = static_cast<FPClientSystem*>(argument);
    auto stopAsked = [system] { return tovFlagGet(&system->listenerStop) != 0; };
    while (!stopAsked()) {
        EventChannelHeader header{};
        TcsResult got =
            tov::client::pipeReadPolling(system->event.pipe, &header, sizeof(header), kListenerSliceMs, stopAsked);
        if (got == TCS_RESULT_TIMEOUT) break;
        if (got != TCS_RESULT_OK) {
            palPipeDisconnect(system->event.pipe);
            palSleep(kReopenPauseMs);
            continue;
        }
        if (header.id == TOV_EVENT_LISTENER_END) break;
        uint8_t* payload = nullptr;
        if (header.length > TOV_CHANNEL_PAYLOAD_MAX) {
            // While the service keeps its end open the FIFO keeps what it holds across a reopening:
            // drop it, or its bytes would be read as the next header.
            tov::client::pipeDiscardPending(system->event.pipe);
            palPipeDisconnect(system->event.pipe);
            continue;
        }
        if (header.length != 0) {
            payload = static_cast<uint8_t*>(palRealMalloc(header.length));
            if (payload == nullptr ||
                tov::client::pipeReadPolling(system->event.pipe, payload, header.length, kListenerSliceMs,
                                             stopAsked) != TCS_RESULT_OK) {
                palRealFree(payload);
                palPipeDisconnect(system->event.pipe);
                continue;
            }
        }
        auto* node = static_cast<QueuedEvent*>(palRealMalloc(sizeof(QueuedEvent)));
        if (node == nullptr) {
            palRealFree(payload);
            continue;
        }
        node->header = header;
        node->payload = payload;
        palCriticalSectionAcquire(system->eventQueueLock);
        palListInsertTail(&system->eventQueue, &node->link);
        palCriticalSectionRelease(system->eventQueueLock);
        palEventSet(system->handlerWake);
    }
    return 0;
}

uint32_t tcsEventsHandler(void* argument) {
    auto* system = static_cast<FPClientSystem*>(argument);
    Handler handler(system);
    for (;;) {
        palEventWaitFor(system->handlerWake, PAL_INFINITE);
        if (tovFlagGet(&system->handlerStop) != 0) return 0;
        while (QueuedEvent* node = takeHead(system)) {
            handler.deliver(node->header, static_cast<uint8_t*>(node->payload));
            palRealFree(node->payload);
            palRealFree(node);
        }
    }
}

uint32_t tcsFPClientSendEvent(void* copied) {
    auto* sent = static_cast<SentEvent*>(copied);
    if (sent == nullptr) return 0;
    sent->callback(sent->handle, sent->userData, &sent->record);
    palRealFree(sent);
    return 0;
}

TcsResult tcsFPClientAddDetectDataToList(const char* id, uint32_t length, void* callback, FPClientSystem* system) {
    if (id == nullptr || system == nullptr) return TCS_RESULT_NULL_POINTER;
    auto* node = static_cast<DetectDataNode*>(palRealMalloc(sizeof(DetectDataNode)));
    if (node == nullptr) return TCS_RESULT_OUT_OF_MEMORY;
    node->id = static_cast<char*>(palRealMalloc(length + 1));
    if (node->id == nullptr) {
        palRealFree(node);
        return TCS_RESULT_OUT_OF_MEMORY;
    }
    std::memcpy(node->id, id, length);
    node->id[length] = '\0';
    node->callback = callback;
    palListInsertTail(&system->detectData, &node->link);
    return TCS_RESULT_OK;
}

bool tcsFPClientIsContainDetectData(const char* id, void* callback, FPClientSystem* system) {
    if (id == nullptr || system == nullptr) return false;
    for (PalListEntry* entry = system->detectData.next; entry != &system->detectData; entry = entry->next) {
        auto* node = PAL_LIST_RECORD(entry, DetectDataNode, link);
        if (node->callback == callback && strcasecmp(node->id, id) == 0) return true;
    }
    return false;
}

TcsResult tcsFPClientRemoveDetectDataFromList(const char* id, void* callback, FPClientSystem* system) {
    if (id == nullptr || system == nullptr) return TCS_RESULT_NULL_POINTER;
    PalListEntry* entry = system->detectData.next;
    while (entry != &system->detectData) {
        PalListEntry* next = entry->next;
        auto* node = PAL_LIST_RECORD(entry, DetectDataNode, link);
        if (node->callback == callback && strcasecmp(node->id, id) == 0) {
            palListRemove(entry);
            palRealFree(node->id);
            palRealFree(node);
        }
        entry = next;
    }
    return TCS_RESULT_OK;
}

TcsResult tcsFPClientUnInitDetectDataList(FPClientSystem* system) {
    if (system == nullptr) return TCS_RESULT_NULL_POINTER;
    while (!palListIsEmpty(&system->detectData)) {
        PalListEntry* entry = system->detectData.next;
        palListRemove(entry);
        auto* node = PAL_LIST_RECORD(entry, DetectDataNode, link);
        palRealFree(node->id);
        palRealFree(node);
    }
    return TCS_RESULT_OK;
}

TcsResult tcsIdentifiedUserEventPackUnpack(IdentifiedUser* record, uint8_t* packed, uint32_t direction) {
    if (record == nullptr || packed == nullptr) return TCS_RESULT_INVALID;
    constexpr size_t kValueAt = 8 + TOV_AREA_SIZE;
    if (direction != 0) {
        if (record->length1 > TOV_AREA_SIZE || record->length2 > TOV_AREA_SIZE) return TCS_RESULT_BAD_PARAM;
        std::memset(packed, 0, TOV_PACKED_IDENTIFIED_USER_SIZE);
        std::memcpy(packed, &record->kind, 4);
        std::memcpy(packed + 4, &record->length1, 4);
        if (record->area1 != nullptr) std::memcpy(packed + 8, record->area1, record->length1);
        std::memcpy(packed + kValueAt, &record->value, 4);
        std::memcpy(packed + kValueAt + 4, &record->length2, 4);
        if (record->area2 != nullptr) std::memcpy(packed + kValueAt + 8, record->area2, record->length2);
        return TCS_RESULT_OK;
    }
    IdentifiedUser user{};
    user.kind = getU32(packed);
    user.length1 = getU32(packed + 4);
    user.value = getU32(packed + kValueAt);
    user.length2 = getU32(packed + kValueAt + 4);
    // Lengths come from the service: an area holds no more than its fixed size.
    if (user.length1 > TOV_AREA_SIZE || user.length2 > TOV_AREA_SIZE) return TCS_RESULT_INVALID;
    user.area1 = static_cast<uint8_t*>(palRealMalloc(user.length1 != 0 ? user.length1 : 1));
    user.area2 = static_cast<uint8_t*>(palRealMalloc(user.length2 != 0 ? user.length2 : 1));
    if (user.area1 == nullptr || user.area2 == nullptr) {
        palRealFree(user.area1);
        palRealFree(user.area2);
        return TCS_RESULT_INVALID;
    }
    std::memcpy(user.area1, packed + 8, user.length1);
    std::memcpy(user.area2, packed + kValueAt + 8, user.length2);
    *record = user;
    return TCS_RESULT_OK;
}

void tcsIdentifiedUserFree(IdentifiedUser* record) {
    if (record == nullptr) return;
    palRealFree(record->area1);
    palRealFree(record->area2);
    record->area1 = nullptr;
    record->area2 = nullptr;
}

}  // extern "C"
