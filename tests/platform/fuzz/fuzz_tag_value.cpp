// Fuzz target: any bytes as a tag-value blob, parsed in both forms. What was accepted serialises back
// to the bytes it came from (for a refused blob, the records before the refused one), and every
// property is read through each getter in both byte orders without reading past its data.
#include "platform/tag_value.h"

#include <stddef.h>
#include <stdint.h>

#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

volatile uint32_t gSink;

void touch(const void* data, uint32_t length) {
    const auto* bytes = static_cast<const uint8_t*>(data);
    for (uint32_t i = 0; i < length; ++i) gSink = gSink + bytes[i];
}

void readEveryProperty(TagValueContainer* c) {
    for (PalListEntry* e = c->properties.next; e != &c->properties; e = e->next) {
        const TagValueProperty* p = PAL_LIST_RECORD(e, TagValueProperty, links);
        uint8_t byte;
        uint16_t word;
        uint32_t dword;
        gSink = gSink + palTagValGetByteProperty(c, p->tag, &byte) + palTagValGetWordProperty(c, p->tag, &word) +
                palTagValGetDwordProperty(c, p->tag, &dword);
        uint16_t length = 0;
        if (palTagValGetBlobDataProperty(c, p->tag, 1, &length, nullptr) != TCS_RESULT_OK) std::abort();
        std::vector<uint8_t> copy(length + 1u);
        for (uint32_t elementSize : {1u, 2u, 4u}) {
            uint16_t inOut = length;
            gSink = gSink + palTagValGetBlobDataProperty(c, p->tag, elementSize, &inOut, copy.data());
        }
        void* view = nullptr;
        if (palTagValGetByteDataPropertyByRef(c, p->tag, &length, &view) != TCS_RESULT_OK) std::abort();
        touch(view, length);
    }
}

void check(const uint8_t* data, size_t size, bool byReference) {
    TagValueContainer* c = nullptr;
    if (palTagValContainerInit(&c) != TCS_RESULT_OK) std::abort();
    const TcsResult parsed = byReference ? palTagValSetBlobAsContainerDataByRef(c, uint32_t(size), data)
                                         : palTagValSetBlobAsContainerData(c, uint32_t(size), data);
    uint32_t total = 0;
    if (palTagValGetContainerDataAsBlob(c, &total, nullptr) != TCS_RESULT_OK) std::abort();
    if (total > size || (parsed == TCS_RESULT_OK && total != size)) std::abort();
    if (total > 0) {
        std::vector<uint8_t> blob(total);
        if (palTagValGetContainerDataAsBlob(c, &total, blob.data()) != TCS_RESULT_OK) std::abort();
        if (std::memcmp(blob.data(), data, total) != 0) std::abort();
    }
    for (uint32_t order : {0u, 1u}) {
        c->byteOrderFlag = order;
        readEveryProperty(c);
    }
    // Deleting the first property takes exactly its record off the serialised size.
    if (!palListIsEmpty(&c->properties)) {
        const TagValueProperty* first = PAL_LIST_RECORD(c->properties.next, TagValueProperty, links);
        const uint32_t expected = total - 4u - first->length;
        if (palTagValDeleteProperty(c, first->tag) != TCS_RESULT_OK || c->totalSize != expected) std::abort();
    }
    palTagValContainerUnInit(c);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > UINT32_MAX) return 0;
    check(data, size, false);
    check(data, size, true);
    return 0;
}
