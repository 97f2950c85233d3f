// Decrypted-template cache of a device: entries appended, looked up, listed and removed under the
// cache lock.
#include "tcs/sensorctl/protocol/template_cache.h"

#include <cstring>

namespace {

// A device reference and the cache lock for the length of one operation.
class CacheAccess {
public:
    explicit CacheAccess(ScsSensor* sensor) : result_(scsSensorDeviceAcquire(sensor, &device_)) {
        if (result_ != TCS_RESULT_OK) return;
        acquired_ = true;
        if (device_->decTemplatesLock == nullptr || scsLock(device_->decTemplatesLock) != TCS_RESULT_OK) {
            result_ = TCS_RESULT_INVALID;
            return;
        }
        locked_ = true;
    }
    ~CacheAccess() {
        if (locked_) scsUnlock(device_->decTemplatesLock);
        if (acquired_) scsSensorDeviceRelease(device_);
    }
    CacheAccess(const CacheAccess&) = delete;
    CacheAccess& operator=(const CacheAccess&) = delete;

    TcsResult result() const { return result_; }
    ScsSensorDevice* device() const { return device_; }

    template <typename Visit>
    void forEach(Visit visit) {
        PalListEntry* head = &device_->decTemplates;
        for (PalListEntry* node = head->next; node != head;) {
            PalListEntry* next = node->next;
            if (!visit(PAL_LIST_RECORD(node, ScsDecTemplateEntry, links))) return;
            node = next;
        }
    }

    ScsDecTemplateEntry* find(const uint8_t* userKey, const uint8_t* templateKey) {
        ScsDecTemplateEntry* found = nullptr;
        forEach([&](ScsDecTemplateEntry* entry) {
            if (std::memcmp(entry->userKey, userKey, 16) == 0 &&
                (templateKey == nullptr ? isZero(entry->templateKey) : std::memcmp(entry->templateKey, templateKey, 16) == 0)) {
                found = entry;
                return false;
            }
            return true;
        });
        return found;
    }

private:
    static bool isZero(const uint8_t* key) {
        for (int i = 0; i < 16; ++i) {
            if (key[i] != 0) return false;
        }
        return true;
    }

    ScsSensorDevice* device_ = nullptr;
    TcsResult result_;
    bool acquired_ = false;
    bool locked_ = false;
};

// A copy of length bytes (null for none); false when memory runs out.
bool copyOf(const uint8_t* data, uint32_t length, uint8_t** out) {
    *out = nullptr;
    if (data == nullptr || length == 0) return true;
    *out = static_cast<uint8_t*>(palRealMalloc(length));
    if (*out == nullptr) return false;
    std::memcpy(*out, data, length);
    return true;
}

void freeEntry(ScsDecTemplateEntry* entry) {
    palRealFree(entry->data);
    palRealFree(entry->secondData);
    palRealFree(entry);
}

}  // namespace

extern "C" {

TcsResult scsSensorSetDecTemplate(ScsSensor* sensor, const uint8_t* userKey, const uint8_t* templateKey,
                                  const uint8_t* data, uint32_t length, const uint8_t* secondData,
                                  uint32_t secondLength, uint32_t value) {
    if (userKey == nullptr) return TCS_RESULT_BAD_PARAM;
    CacheAccess cache(sensor);
    if (cache.result() != TCS_RESULT_OK) return cache.result();
    auto* entry = static_cast<ScsDecTemplateEntry*>(palRealMalloc(sizeof(ScsDecTemplateEntry)));
    if (entry == nullptr) return TCS_RESULT_OUT_OF_MEMORY;
    std::memset(entry, 0, sizeof *entry);
    std::memcpy(entry->userKey, userKey, 16);
    if (templateKey != nullptr) std::memcpy(entry->templateKey, templateKey, 16);
    if (!copyOf(data, length, &entry->data) || !copyOf(secondData, secondLength, &entry->secondData)) {
        freeEntry(entry);
        return TCS_RESULT_OUT_OF_MEMORY;
    }
    entry->length = entry->data != nullptr ? length : 0;
    entry->secondLength = entry->secondData != nullptr ? secondLength : 0;
    entry->value = value;
    palListInsertTail(&cache.device()->decTemplates, &entry->links);
    return TCS_RESULT_OK;
}

TcsResult scsSensorGetDecTemplate(ScsSensor* sensor, const uint8_t* userKey, const uint8_t* templateKey,
                                  uint8_t** outData, uint32_t* outLength, uint8_t** outSecondData,
                                  uint32_t* outSecondLength, uint32_t* outValue) {
    if (userKey == nullptr) return TCS_RESULT_BAD_PARAM;
    CacheAccess cache(sensor);
    if (cache.result() != TCS_RESULT_OK) return cache.result();
    const ScsDecTemplateEntry* entry = cache.find(userKey, templateKey);
    if (entry == nullptr) return TCS_RESULT_DOESNT_EXIST;
    uint8_t* data = nullptr;
    uint8_t* second = nullptr;
    if ((outData != nullptr && !copyOf(entry->data, entry->length, &data)) ||
        (outSecondData != nullptr && !copyOf(entry->secondData, entry->secondLength, &second))) {
        palRealFree(data);
        return TCS_RESULT_DOESNT_EXIST;
    }
    if (outData != nullptr) *outData = data;
    if (outLength != nullptr) *outLength = entry->length;
    if (outSecondData != nullptr) *outSecondData = second;
    if (outSecondLength != nullptr) *outSecondLength = entry->secondLength;
    if (outValue != nullptr) *outValue = entry->value;
    return TCS_RESULT_OK;
}

TcsResult scsSensorGetAllDecTemplates(ScsSensor* sensor, const uint8_t* userKey, uint8_t** outKeys, void*** outItems,
                                      uint32_t* outCount, ScsDecTemplateItemRoutine routine) {
    if (userKey == nullptr || outCount == nullptr || (outItems != nullptr && routine == nullptr)) {
        return TCS_RESULT_BAD_PARAM;
    }
    *outCount = 0;
    if (outKeys != nullptr) *outKeys = nullptr;
    if (outItems != nullptr) *outItems = nullptr;
    CacheAccess cache(sensor);
    if (cache.result() != TCS_RESULT_OK) return cache.result();
    uint32_t count = 0;
    cache.forEach([&](ScsDecTemplateEntry* entry) {
        if (std::memcmp(entry->userKey, userKey, 16) == 0) ++count;
        return true;
    });
    if (count == 0 || (outKeys == nullptr && outItems == nullptr)) {
        *outCount = count;
        return TCS_RESULT_OK;
    }
    uint8_t* keys = outKeys != nullptr ? static_cast<uint8_t*>(palRealMalloc(count * 16)) : nullptr;
    void** items = outItems != nullptr ? static_cast<void**>(palRealMalloc(count * sizeof(void*))) : nullptr;
    if ((outKeys != nullptr && keys == nullptr) || (outItems != nullptr && items == nullptr)) {
        palRealFree(keys);
        palRealFree(items);
        return TCS_RESULT_OUT_OF_MEMORY;
    }
    if (items != nullptr) std::memset(items, 0, count * sizeof(void*));
    uint32_t filled = 0;
    TcsResult result = TCS_RESULT_OK;
    cache.forEach([&](ScsDecTemplateEntry* entry) {
        if (std::memcmp(entry->userKey, userKey, 16) != 0) return true;
        if (items != nullptr) {
            result = routine(&items[filled], entry->data, entry->length, entry->secondData, entry->secondLength,
                             entry->value);
            if (result != TCS_RESULT_OK) return false;
        }
        if (keys != nullptr) std::memcpy(keys + 16 * filled, entry->templateKey, 16);
        ++filled;
        return true;
    });
    if (outKeys != nullptr) *outKeys = keys;
    if (outItems != nullptr) *outItems = items;
    *outCount = filled;
    return result;
}

TcsResult scsSensorRemoveDecTemplate(ScsSensor* sensor, const uint8_t* userKey, const uint8_t* templateKey) {
    if (userKey == nullptr) return TCS_RESULT_BAD_PARAM;
    CacheAccess cache(sensor);
    if (cache.result() != TCS_RESULT_OK) return cache.result();
    ScsDecTemplateEntry* entry = cache.find(userKey, templateKey);
    if (entry == nullptr) return TCS_RESULT_DOESNT_EXIST;
    palListRemove(&entry->links);
    freeEntry(entry);
    return TCS_RESULT_OK;
}

TcsResult scsSensorFreeDecTemplatesList(ScsSensor* sensor, void* list) {
    if (list != nullptr) {
        palRealFree(list);
        return TCS_RESULT_OK;
    }
    ScsSensorDevice* device = nullptr;
    TcsResult result = scsSensorDeviceAcquire(sensor, &device);
    if (result != TCS_RESULT_OK) return result;
    result = scsSensorDeviceFreeDecTemplatesList(device, nullptr);
    scsSensorDeviceRelease(device);
    return result;
}

uint32_t scsSensorIsDecCacheFull(ScsSensor* sensor) {
    CacheAccess cache(sensor);
    return cache.result() == TCS_RESULT_OK && cache.device()->decTemplatesFull != 0 ? 1 : 0;
}

TcsResult scsSensorMarkDecCacheFull(ScsSensor* sensor) {
    CacheAccess cache(sensor);
    if (cache.result() != TCS_RESULT_OK) return cache.result();
    cache.device()->decTemplatesFull = 1;
    return TCS_RESULT_OK;
}

}  // extern "C"
