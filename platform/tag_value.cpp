// Tag-value containers: building, looking up, serialising and parsing typed properties.
#include "platform/tag_value.h"

#include "platform/memory.h"
#include "platform/text.h"

#include <string.h>

namespace {

// This part's own numbering: out of memory is 7 here, not 2.
constexpr TcsResult kNoMemory = TCS_RESULT_INVALID;
constexpr TcsResult kTagAbsent = TCS_RESULT_DATA_ID_DOESNT_EXIST;

bool tagAllowed(uint16_t tag) { return tag < PAL_TAGVAL_FIRST_RESERVED_TAG; }

TagValueProperty* propertyOf(PalListEntry* e) { return PAL_LIST_RECORD(e, TagValueProperty, links); }

TagValueProperty* findProperty(TagValueContainer* c, uint16_t tag) {
    for (PalListEntry* e = c->properties.next; e != &c->properties; e = e->next) {
        if (propertyOf(e)->tag == tag) return propertyOf(e);
    }
    return nullptr;
}

void freeProperty(TagValueProperty* p) {
    if (p->ownsData && p->data != nullptr) palRealFree(p->data);
    palRealFree(p);
}

// Appends a property; with copy set the data is duplicated (none for length 0), else referenced.
TcsResult appendProperty(TagValueContainer* c, uint16_t tag, uint32_t elementSize, uint16_t length,
                         const void* data, bool copy, bool parsed) {
    auto* p = static_cast<TagValueProperty*>(palRealMalloc(sizeof(TagValueProperty)));
    if (p == nullptr) return kNoMemory;
    memset(p, 0, sizeof *p);
    p->elementSize = elementSize;
    p->tag = tag;
    p->length = length;
    p->parsed = parsed ? 1 : 0;
    if (copy && length > 0) {
        p->data = palRealMalloc(length);
        if (p->data == nullptr) {
            palRealFree(p);
            return kNoMemory;
        }
        memcpy(p->data, data, length);
        p->ownsData = 1;
    } else if (length > 0) {
        p->data = const_cast<void*>(data);
    }
    palListInsertTail(&c->properties, &p->links);
    c->totalSize += 4u + length;
    return TCS_RESULT_OK;
}

TcsResult checkSetter(TagValueContainer* c, uint16_t tag) {
    return c == nullptr || !tagAllowed(tag) ? TCS_RESULT_BAD_PARAM : TCS_RESULT_OK;
}

bool convertsFromSensor(const TagValueContainer* c, const TagValueProperty* p) {
    return c->byteOrderFlag == 1 && p->parsed == 1;
}

uint16_t load16(const uint8_t* at) {
    uint16_t v;
    memcpy(&v, at, 2);
    return v;
}

void store16(uint8_t* at, uint16_t v) { memcpy(at, &v, 2); }

// Converts whole elements of size 2 or 4 in place; a trailing part of an element stays as it is.
void toSensorOrder(uint8_t* data, uint32_t length, uint32_t elementSize) {
    for (uint32_t i = 0; elementSize == 2 && i + 2 <= length; i += 2) {
        store16(data + i, palHostToSensor16(load16(data + i)));
    }
    for (uint32_t i = 0; elementSize == 4 && i + 4 <= length; i += 4) {
        uint32_t v;
        memcpy(&v, data + i, 4);
        v = palHostToSensor32(v);
        memcpy(data + i, &v, 4);
    }
}

void fromSensorOrder(uint8_t* data, uint32_t length, uint32_t elementSize) {
    for (uint32_t i = 0; elementSize == 2 && i + 2 <= length; i += 2) {
        store16(data + i, palSensorToHost16(load16(data + i)));
    }
    for (uint32_t i = 0; elementSize == 4 && i + 4 <= length; i += 4) {
        uint32_t v;
        memcpy(&v, data + i, 4);
        v = palSensorToHost32(v);
        memcpy(data + i, &v, 4);
    }
}

bool misfit(uint32_t elementSize, uint32_t length) {
    return (elementSize == 2 && length % 2 != 0) || (elementSize == 4 && length % 4 != 0);
}

// Reads the length's bytes of a scalar property into a zeroed value of width bytes.
template <typename T>
TcsResult getScalar(TagValueContainer* c, uint16_t tag, T* out) {
    if (c == nullptr || out == nullptr) return TCS_RESULT_BAD_PARAM;
    TagValueProperty* p = findProperty(c, tag);
    if (p == nullptr) return kTagAbsent;
    if (p->length > sizeof(T)) return TCS_RESULT_BAD_PARAM;
    T value = 0;
    if (p->length > 0) memcpy(&value, p->data, p->length);
    if constexpr (sizeof(T) == 2) {
        if (convertsFromSensor(c, p)) value = palSensorToHost16(value);
    } else if constexpr (sizeof(T) == 4) {
        if (convertsFromSensor(c, p)) value = palSensorToHost32(value);
    }
    *out = value;
    return TCS_RESULT_OK;
}

TcsResult parseBlob(TagValueContainer* c, uint32_t size, const void* blob, bool copy) {
    if (c == nullptr || blob == nullptr) return TCS_RESULT_BAD_PARAM;
    if (size == 0) return kNoMemory;
    const auto* bytes = static_cast<const uint8_t*>(blob);
    uint64_t total = 0;
    while (total < size) {
        // A remainder shorter than a header, a record running past the end, or a reserved tag
        // ends the parse; the properties already added stay.
        if (size - total < 4) return TCS_RESULT_BAD_PARAM;
        uint16_t tag = palSensorToHost16(load16(bytes + total));
        uint16_t length = palSensorToHost16(load16(bytes + total + 2));
        if (total + 4 + length > size || !tagAllowed(tag)) return TCS_RESULT_BAD_PARAM;
        TcsResult result = appendProperty(c, tag, 0, length, bytes + total + 4, copy, true);
        if (result != TCS_RESULT_OK) return result;
        total += 4u + length;
    }
    return TCS_RESULT_OK;
}

}  // namespace

extern "C" {

TcsResult palTagValContainerInit(TagValueContainer** outContainer) {
    if (outContainer == nullptr) return TCS_RESULT_BAD_PARAM;
    *outContainer = nullptr;
    auto* c = static_cast<TagValueContainer*>(palRealMalloc(sizeof(TagValueContainer)));
    if (c == nullptr) return kNoMemory;
    memset(c, 0, sizeof *c);
    palListInit(&c->properties);
    *outContainer = c;
    return TCS_RESULT_OK;
}

TcsResult palTagValContainerUnInit(TagValueContainer* container) {
    if (container == nullptr) return TCS_RESULT_OK;
    while (!palListIsEmpty(&container->properties)) {
        TagValueProperty* p = propertyOf(container->properties.next);
        palListRemove(&p->links);
        freeProperty(p);
    }
    palRealFree(container);
    return TCS_RESULT_OK;
}

TcsResult palTagValSetByteProperty(TagValueContainer* container, uint16_t tag, uint8_t value) {
    TcsResult result = checkSetter(container, tag);
    return result != TCS_RESULT_OK ? result : appendProperty(container, tag, 1, 1, &value, true, false);
}

TcsResult palTagValSetWordProperty(TagValueContainer* container, uint16_t tag, uint16_t value) {
    TcsResult result = checkSetter(container, tag);
    return result != TCS_RESULT_OK ? result : appendProperty(container, tag, 2, 2, &value, true, false);
}

TcsResult palTagValSetDwordProperty(TagValueContainer* container, uint16_t tag, uint32_t value) {
    TcsResult result = checkSetter(container, tag);
    return result != TCS_RESULT_OK ? result : appendProperty(container, tag, 4, 4, &value, true, false);
}

TcsResult palTagValSetBlobDataProperty(TagValueContainer* container, uint16_t tag, uint32_t elementSize,
                                       uint16_t length, const void* data) {
    TcsResult result = checkSetter(container, tag);
    if (result != TCS_RESULT_OK) return result;
    if (length > 0 && data == nullptr) return TCS_RESULT_BAD_PARAM;
    return appendProperty(container, tag, elementSize, length, data, true, false);
}

TcsResult palTagValSetByteDataPropertyByRef(TagValueContainer* container, uint16_t tag, uint16_t length,
                                            const void* data) {
    TcsResult result = checkSetter(container, tag);
    if (result != TCS_RESULT_OK) return result;
    if (length > 0 && data == nullptr) return TCS_RESULT_BAD_PARAM;
    return appendProperty(container, tag, 1, length, data, false, false);
}

TcsResult palTagValDeleteProperty(TagValueContainer* container, uint16_t tag) {
    if (container == nullptr) return TCS_RESULT_BAD_PARAM;
    if (TagValueProperty* p = findProperty(container, tag)) {
        container->totalSize -= 4u + p->length;
        palListRemove(&p->links);
        freeProperty(p);
    }
    return TCS_RESULT_OK;
}

TcsResult palTagValGetByteProperty(TagValueContainer* container, uint16_t tag, uint8_t* outValue) {
    return getScalar(container, tag, outValue);
}

TcsResult palTagValGetWordProperty(TagValueContainer* container, uint16_t tag, uint16_t* outValue) {
    return getScalar(container, tag, outValue);
}

TcsResult palTagValGetDwordProperty(TagValueContainer* container, uint16_t tag, uint32_t* outValue) {
    return getScalar(container, tag, outValue);
}

TcsResult palTagValGetBlobDataProperty(TagValueContainer* container, uint16_t tag, uint32_t elementSize,
                                       uint16_t* inOutLength, void* outBuffer) {
    if (container == nullptr || inOutLength == nullptr) return TCS_RESULT_BAD_PARAM;
    TagValueProperty* p = findProperty(container, tag);
    if (p == nullptr) return kTagAbsent;
    if (*inOutLength == 0) {
        *inOutLength = p->length;
        return TCS_RESULT_OK;
    }
    if (*inOutLength != p->length || outBuffer == nullptr) return TCS_RESULT_BAD_PARAM;
    memcpy(outBuffer, p->data, p->length);
    if (convertsFromSensor(container, p)) {
        if (misfit(elementSize, p->length)) return TCS_RESULT_BAD_PARAM;
        fromSensorOrder(static_cast<uint8_t*>(outBuffer), p->length, elementSize);
    }
    return TCS_RESULT_OK;
}

TcsResult palTagValGetByteDataPropertyByRef(TagValueContainer* container, uint16_t tag, uint16_t* outLength,
                                            void** outData) {
    if (container == nullptr || outLength == nullptr || outData == nullptr) return TCS_RESULT_BAD_PARAM;
    TagValueProperty* p = findProperty(container, tag);
    if (p == nullptr) return kTagAbsent;
    *outLength = p->length;
    *outData = p->data;
    return TCS_RESULT_OK;
}

TcsResult palTagValGetContainerDataAsBlob(TagValueContainer* container, uint32_t* inOutSize, void* outBuffer) {
    if (container == nullptr || inOutSize == nullptr) return TCS_RESULT_BAD_PARAM;
    if (*inOutSize == 0) {
        *inOutSize = container->totalSize;
        return TCS_RESULT_OK;
    }
    if (outBuffer == nullptr) return TCS_RESULT_BAD_PARAM;
    if (*inOutSize != container->totalSize) return TCS_RESULT_BUFFER_TOO_SMALL;
    if (palListIsEmpty(&container->properties)) return kNoMemory;
    auto* out = static_cast<uint8_t*>(outBuffer);
    TcsResult result = TCS_RESULT_OK;
    for (PalListEntry* e = container->properties.next; e != &container->properties; e = e->next) {
        const TagValueProperty* p = propertyOf(e);
        store16(out, palHostToSensor16(p->tag));
        store16(out + 2, palHostToSensor16(p->length));
        if (p->length > 0) memcpy(out + 4, p->data, p->length);
        toSensorOrder(out + 4, p->length, p->elementSize);
        // Only the last property decides the result; the blob is complete either way.
        result = misfit(p->elementSize, p->length) ? TCS_RESULT_BAD_PARAM : TCS_RESULT_OK;
        out += 4u + p->length;
    }
    return result;
}

TcsResult palTagValSetBlobAsContainerData(TagValueContainer* container, uint32_t size, const void* blob) {
    return parseBlob(container, size, blob, true);
}

TcsResult palTagValSetBlobAsContainerDataByRef(TagValueContainer* container, uint32_t size, const void* blob) {
    return parseBlob(container, size, blob, false);
}

}  // extern "C"
