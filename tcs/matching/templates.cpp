// Enroll templates and match results: records, handle accessors, and packing to and from bytes.
#include "tcs/matching/templates.h"

#include "platform/memory.h"
#include "tcs/handle_map.h"

#include <cstddef>
#include <cstring>

static_assert(offsetof(EnrollTemplate, blob) == 28);
static_assert(offsetof(EnrollTemplate, aspProfile) == 44);
static_assert(offsetof(EnrollTemplate, data) == TCS_TEMPLATE_HEADER_SIZE);

namespace {

// Offsets inside the packed form, counted from its start (the u32 L comes first).
constexpr uint32_t kPackedBlobOffsetAt = 32;
constexpr uint32_t kPackedAspOffsetAt = 48;
constexpr uint32_t kPackedHeaderEnd = 4 + TCS_TEMPLATE_HEADER_SIZE;

uint32_t readU32(const uint8_t* at) {
    return uint32_t(at[0]) | uint32_t(at[1]) << 8 | uint32_t(at[2]) << 16 | uint32_t(at[3]) << 24;
}
void writeU32(uint8_t* at, uint32_t value) {
    for (int i = 0; i < 4; ++i) at[i] = uint8_t(value >> (8 * i));
}
void writeU64(uint8_t* at, uint64_t value) {
    for (int i = 0; i < 8; ++i) at[i] = uint8_t(value >> (8 * i));
}

uint32_t profileSize(const uint8_t* profile) { return profile != nullptr ? readU32(profile) : 0; }

void freeTemplate(EnrollTemplate* templ) {
    palRealFree(templ->aspProfile);
    // The record owns its blob: unpacking allocates one and nothing else would ever free it.
    palRealFree(templ->blob);
    palRealFree(templ);
}

void templateCleanup(HandleNode* node) {
    if (node->object != nullptr) freeTemplate(static_cast<EnrollTemplate*>(node->object));
    node->object = nullptr;
}

void matchResultCleanup(HandleNode* node) {
    _tcsMatchResultFree(static_cast<MatchResult*>(node->object));
    node->object = nullptr;
}

EnrollTemplate* fetchTemplate(uint64_t handle) {
    void* object = nullptr;
    if (handle == 0 || tcsSafeEnrollTemplateHandleFetch(handle, &object) != TCS_RESULT_OK) return nullptr;
    return static_cast<EnrollTemplate*>(object);
}

MatchResult* fetchResult(uint64_t handle) {
    void* object = nullptr;
    if (handle == 0 || tcsSafeMatchResultsHandleFetch(handle, &object) != TCS_RESULT_OK) return nullptr;
    return static_cast<MatchResult*>(object);
}

uint8_t* copyBytes(const void* source, uint32_t size) {
    auto* copy = static_cast<uint8_t*>(palRealMalloc(size == 0 ? 1 : size));
    if (copy != nullptr && size != 0) std::memcpy(copy, source, size);
    return copy;
}

}  // namespace

extern "C" {

EnrollTemplate* _tcsTemplateAlloc(uint32_t size) {
    uint32_t total = TCS_TEMPLATE_HEADER_SIZE + size + 1;
    if (total < size) return nullptr;
    auto* templ = static_cast<EnrollTemplate*>(palRealMalloc(total));
    if (templ != nullptr) std::memset(templ, 0, total);
    return templ;
}

void _tcsTemplateRegisterCleanups(void) {
    _tcsSafeHandleSetCleanup(TCS_HANDLE_TYPE_ENROLL_TEMPLATE, templateCleanup);
    _tcsSafeHandleSetCleanup(TCS_HANDLE_TYPE_MATCH_RESULTS, matchResultCleanup);
}

TcsResult _tcsTemplateCreate(EnrollTemplate** outTemplate, const void* data, uint32_t size) {
    if (outTemplate == nullptr) return TCS_RESULT_NULL_HANDLE_POINTER;
    if (data == nullptr) return TCS_RESULT_NULL_POINTER;
    if (size == 0) return TCS_RESULT_BAD_PARAM;
    EnrollTemplate* templ = _tcsTemplateAlloc(size);
    if (templ == nullptr) return TCS_RESULT_INVALID;
    std::memcpy(templ->magic, "TTML", 4);
    templ->dataSize = size;
    templ->templateType = 1;
    templ->version = 1;
    std::memcpy(templ->data, data, size);
    *outTemplate = templ;
    return TCS_RESULT_OK;
}

TcsResult _tcsTemplateDestroy(EnrollTemplate* templ) {
    if (templ == nullptr) return TCS_RESULT_INVALID_HANDLE;
    freeTemplate(templ);
    return TCS_RESULT_OK;
}

TcsResult _tcsTemplateClone(EnrollTemplate* templ, EnrollTemplate** outTemplate) {
    if (outTemplate != nullptr) *outTemplate = nullptr;
    if (templ == nullptr) return TCS_RESULT_INVALID_HANDLE;
    EnrollTemplate* copy = nullptr;
    TcsResult result = _tcsTemplateCreate(&copy, templ->data, templ->dataSize);
    if (result != TCS_RESULT_OK) return result;
    if (templ->aspProfile != nullptr) {
        result = _tcsTemplateSetASPProfile(copy, templ->aspProfile, profileSize(templ->aspProfile));
        if (result != TCS_RESULT_OK) {
            freeTemplate(copy);
            return result;
        }
    }
    copy->userId = templ->userId;
    copy->finger = templ->finger;
    *outTemplate = copy;
    return TCS_RESULT_OK;
}

uint32_t _tcsTemplateGetDataSize(const EnrollTemplate* templ) { return templ != nullptr ? templ->dataSize : 0; }
uint32_t _tcsTemplateGetType(const EnrollTemplate* templ) { return templ != nullptr ? templ->templateType : 0; }
uint32_t _tcsTemplateGetFinger(const EnrollTemplate* templ) { return templ != nullptr ? templ->finger : 0; }
uint32_t _tcsTemplateGetFeatures(const EnrollTemplate* templ) { return templ != nullptr ? templ->features : 0; }
uint32_t _tcsTemplateGetASPProfileSize(const EnrollTemplate* templ) {
    return templ != nullptr ? profileSize(templ->aspProfile) : 0;
}

TcsResult _tcsTemplateGetASPProfile(const EnrollTemplate* templ, void* buffer, uint32_t size) {
    if (templ == nullptr || templ->aspProfile == nullptr) return TCS_RESULT_INVALID_HANDLE;
    if (buffer == nullptr) return TCS_RESULT_NULL_POINTER;
    uint32_t own = profileSize(templ->aspProfile);
    if (own > size) return TCS_RESULT_BAD_PARAM;
    std::memcpy(buffer, templ->aspProfile, own);
    return TCS_RESULT_OK;
}

TcsResult _tcsTemplateGetData(const EnrollTemplate* templ, void* buffer, uint32_t size) {
    if (templ == nullptr) return TCS_RESULT_INVALID_HANDLE;
    if (buffer == nullptr) return TCS_RESULT_NULL_POINTER;
    if (size == 0) return TCS_RESULT_BAD_PARAM;
    // Reading past the record would hand out heap bytes: a size beyond the data is refused.
    if (size > templ->dataSize) return TCS_RESULT_BAD_PARAM;
    std::memcpy(buffer, templ->data, size);
    return TCS_RESULT_OK;
}

TcsResult _tcsTemplateSetASPProfile(EnrollTemplate* templ, const void* profile, uint32_t size) {
    if (templ == nullptr) return TCS_RESULT_INVALID_HANDLE;
    if (profile == nullptr) return TCS_RESULT_NULL_POINTER;
    if (size < 8 || readU32(static_cast<const uint8_t*>(profile)) != size) return TCS_RESULT_BAD_PARAM;
    uint8_t* copy = copyBytes(profile, size);
    if (copy == nullptr) return TCS_RESULT_INVALID;
    palRealFree(templ->aspProfile);
    templ->aspProfile = copy;
    return TCS_RESULT_OK;
}

TcsResult tcsTemplateCreate(uint64_t* outHandle, const void* data, uint32_t size) {
    if (outHandle == nullptr) return TCS_RESULT_NULL_HANDLE_POINTER;
    *outHandle = 0;
    EnrollTemplate* templ = nullptr;
    TcsResult result = _tcsTemplateCreate(&templ, data, size);
    if (result != TCS_RESULT_OK) return result;
    result = tcsSafeEnrollTemplateHandleCreate(templ, outHandle);
    if (result != TCS_RESULT_OK) {
        freeTemplate(templ);
        *outHandle = 0;
    }
    return result;
}

uint32_t tcsTemplateGetDataSize(uint64_t handle) { return _tcsTemplateGetDataSize(fetchTemplate(handle)); }
uint32_t tcsTemplateGetType(uint64_t handle) { return _tcsTemplateGetType(fetchTemplate(handle)); }
uint32_t tcsTemplateGetFinger(uint64_t handle) { return _tcsTemplateGetFinger(fetchTemplate(handle)); }
uint32_t tcsTemplateGetFeatures(uint64_t handle) { return _tcsTemplateGetFeatures(fetchTemplate(handle)); }
uint32_t tcsTemplateGetASPProfileSize(uint64_t handle) { return _tcsTemplateGetASPProfileSize(fetchTemplate(handle)); }
uint32_t tcsTemplateGetUserID(uint64_t handle) {
    EnrollTemplate* templ = fetchTemplate(handle);
    return templ != nullptr ? templ->userId : 0;
}

TcsResult tcsTemplateGetData(uint64_t handle, void* buffer, uint32_t size) {
    return _tcsTemplateGetData(fetchTemplate(handle), buffer, size);
}
TcsResult tcsTemplateGetASPProfile(uint64_t handle, void* buffer, uint32_t size) {
    return _tcsTemplateGetASPProfile(fetchTemplate(handle), buffer, size);
}

TcsResult tcsCryptoTemplateGetPaddingSize(uint64_t handle, uint32_t* outSize) {
    if (outSize == nullptr) return TCS_RESULT_NULL_POINTER;
    const EnrollTemplate* templ = fetchTemplate(handle);
    if (templ == nullptr) return TCS_RESULT_BAD_PARAM;
    *outSize = templ->reserved;
    return TCS_RESULT_OK;
}

TcsResult tcsCryptoTemplateGetIV(uint64_t handle, void** outIv, uint32_t* outLength) {
    if (outIv == nullptr || outLength == nullptr) return TCS_RESULT_NULL_POINTER;
    const EnrollTemplate* templ = fetchTemplate(handle);
    if (templ == nullptr) return TCS_RESULT_BAD_PARAM;
    *outIv = templ->blob;
    *outLength = templ->blobSize;
    return TCS_RESULT_OK;
}

TcsResult tcsTemplateSetFeatures(uint64_t handle, uint32_t features) {
    EnrollTemplate* templ = fetchTemplate(handle);
    if (templ == nullptr) return TCS_RESULT_INVALID_HANDLE;
    templ->features = features;
    return TCS_RESULT_OK;
}

TcsResult tcsTemplateSetFinger(uint64_t handle, uint32_t finger) {
    EnrollTemplate* templ = fetchTemplate(handle);
    if (templ == nullptr) return TCS_RESULT_INVALID_HANDLE;
    templ->finger = finger;
    return TCS_RESULT_OK;
}

TcsResult tcsTemplateSetUserID(uint64_t handle, uint32_t userId) {
    EnrollTemplate* templ = fetchTemplate(handle);
    if (templ == nullptr) return TCS_RESULT_INVALID_HANDLE;
    if (userId == 0) return TCS_RESULT_BAD_PARAM;
    templ->userId = userId;
    return TCS_RESULT_OK;
}

TcsResult tcsTemplateSetASPProfile(uint64_t handle, const void* profile, uint32_t size) {
    return _tcsTemplateSetASPProfile(fetchTemplate(handle), profile, size);
}

TcsResult tcsTemplatePack(uint64_t handle, uint8_t* buffer, uint32_t* outSize) {
    EnrollTemplate* templ = fetchTemplate(handle);
    if (outSize == nullptr || templ == nullptr) return TCS_RESULT_NULL_POINTER;
    const uint32_t length = TCS_TEMPLATE_HEADER_SIZE + templ->dataSize;  // L
    const uint32_t aspSize = profileSize(templ->aspProfile);
    uint32_t total = 4 + length;
    if (templ->blob != nullptr) total += 4 + templ->blobSize;
    if (templ->aspProfile != nullptr) total += 4 + aspSize;
    *outSize = total;
    if (buffer == nullptr) return TCS_RESULT_OK;

    auto* work = static_cast<uint8_t*>(palRealMalloc(length));
    if (work == nullptr) return TCS_RESULT_INVALID;
    std::memcpy(work, templ, length);
    uint32_t blobOffset = 0, aspOffset = 0;
    if (templ->blob != nullptr) blobOffset = 4 + length;
    if (templ->aspProfile != nullptr) aspOffset = 4 + length + (templ->blob != nullptr ? 4 + templ->blobSize : 0);
    writeU64(work + offsetof(EnrollTemplate, blob), blobOffset);
    writeU64(work + offsetof(EnrollTemplate, aspProfile), aspOffset);

    writeU32(buffer, length);
    std::memcpy(buffer + 4, work, length);
    palRealFree(work);
    if (templ->blob != nullptr) {
        writeU32(buffer + blobOffset, templ->blobSize);
        std::memcpy(buffer + blobOffset + 4, templ->blob, templ->blobSize);
    }
    if (templ->aspProfile != nullptr) {
        writeU32(buffer + aspOffset, aspSize);
        std::memcpy(buffer + aspOffset + 4, templ->aspProfile, aspSize);
    }
    return TCS_RESULT_OK;
}

TcsResult tcsTemplateUnPack(const uint8_t* packed, uint64_t* outHandle) {
    if (packed == nullptr) return TCS_RESULT_NULL_POINTER;
    if (outHandle == nullptr) return TCS_RESULT_NULL_HANDLE_POINTER;
    *outHandle = 0;
    const uint32_t length = readU32(packed);
    // A length below the header cannot come from the packer; reading a header out of it would run
    // past the record.
    if (length < TCS_TEMPLATE_HEADER_SIZE) return TCS_RESULT_BAD_PARAM;
    auto* templ = static_cast<EnrollTemplate*>(palRealMalloc(length + 1));
    if (templ == nullptr) return TCS_RESULT_INVALID;
    std::memcpy(templ, packed + 4, length);
    reinterpret_cast<uint8_t*>(templ)[length] = 0;
    // Only the low 32 bits of each stored offset count.
    const uint32_t blobOffset = readU32(packed + kPackedBlobOffsetAt);
    const uint32_t aspOffset = readU32(packed + kPackedAspOffsetAt);
    templ->blob = nullptr;
    templ->aspProfile = nullptr;
    // The data size follows the length the record came in: a header that claims more would let
    // readers run past the allocation.
    templ->dataSize = length - TCS_TEMPLATE_HEADER_SIZE;
    if (blobOffset != 0) {
        const uint32_t size = readU32(packed + blobOffset);
        templ->blob = copyBytes(packed + blobOffset + 4, size);
        templ->blobSize = size;
        if (templ->blob == nullptr) {
            freeTemplate(templ);
            return TCS_RESULT_INVALID;
        }
    } else {
        templ->blobSize = 0;
    }
    if (aspOffset != 0) {
        const uint32_t size = readU32(packed + aspOffset);
        templ->aspProfile = copyBytes(packed + aspOffset + 4, size);
        if (templ->aspProfile == nullptr) {
            freeTemplate(templ);
            return TCS_RESULT_INVALID;
        }
    }
    TcsResult result = tcsSafeEnrollTemplateHandleCreate(templ, outHandle);
    if (result != TCS_RESULT_OK) {
        freeTemplate(templ);
        *outHandle = 0;
    }
    return result;
}

void _tcsMatchResultFree(MatchResult* result) {
    if (result == nullptr) return;
    palRealFree(result->extraData);
    palRealFree(result);
}

uint32_t tcsMatchResultsGetIndex(uint64_t handle) {
    MatchResult* r = fetchResult(handle);
    return r != nullptr ? r->index : 0;
}
uint32_t tcsMatchResultsGetScore(uint64_t handle) {
    MatchResult* r = fetchResult(handle);
    return r != nullptr ? r->score : 0;
}
uint32_t tcsMatchResultsGetUserID(uint64_t handle) {
    MatchResult* r = fetchResult(handle);
    return r != nullptr ? r->userId : 0;
}
uint32_t tcsMatchResultsGetFinger(uint64_t handle) {
    MatchResult* r = fetchResult(handle);
    return r != nullptr ? r->finger : 0;
}
uint32_t tcsMatchResultsGetStatus(uint64_t handle) {
    MatchResult* r = fetchResult(handle);
    return r != nullptr ? r->status : 0;
}
uint32_t tcsMatchResultsGetEnrollUpdate(uint64_t handle) {
    MatchResult* r = fetchResult(handle);
    return r != nullptr ? r->enrollUpdate : 0;
}

TcsResult tcsMatchResultsDestroyHandle(uint64_t handle) { return tcsSafeMatchResultsHandleDestroy(handle); }

}  // extern "C"
