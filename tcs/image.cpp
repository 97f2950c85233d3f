// Image records: creation, copies, in-place transformations, the packed byte form and 8-bit BMP output.
#include "tcs/core.h"

#include "platform/memory.h"
#include "tcs/handle_map.h"

#include <cstddef>
#include <cstdio>
#include <cstring>
#include <utility>

static_assert(offsetof(ImageRecord, rows) == 4);
static_assert(offsetof(ImageRecord, quality) == 20);
static_assert(offsetof(ImageRecord, iv) == 32);
static_assert(offsetof(ImageRecord, horizontalPpi) == 48);
static_assert(offsetof(ImageRecord, verticalPpi) == 52);
static_assert(offsetof(ImageRecord, irMetrics) == 56);
static_assert(offsetof(ImageRecord, aspMetrics) == 64);
static_assert(offsetof(ImageRecord, aspScore) == 72);
static_assert(offsetof(ImageRecord, pixels) == TCS_IMAGE_HEADER_SIZE);

namespace {

constexpr uint32_t kBmpHeaderSize = 1078;
constexpr uint32_t kQualityRefused = 0x78000000;  // bits 27-30
constexpr uint32_t kQualityUnusable = 0x80000000;
constexpr uint32_t kStrictTolerated = 0x3490FC0;

void putU16(uint8_t* at, uint16_t value) {
    at[0] = uint8_t(value);
    at[1] = uint8_t(value >> 8);
}

void putU32(uint8_t* at, uint32_t value) {
    for (int i = 0; i < 4; ++i) at[i] = uint8_t(value >> (8 * i));
}

uint32_t getU32(const uint8_t* at) {
    return uint32_t(at[0]) | uint32_t(at[1]) << 8 | uint32_t(at[2]) << 16 | uint32_t(at[3]) << 24;
}

uint32_t rowPadding(uint32_t columns) { return (4 - columns % 4) % 4; }

// The 1078-byte header: file and information headers, then the grey palette.
void buildBmpHeader(uint8_t* header, uint32_t height, uint32_t width, bool invert) {
    uint32_t padded = width + rowPadding(width);
    uint32_t pixelBytes = padded * height;
    std::memset(header, 0, kBmpHeaderSize);
    header[0] = 'B';
    header[1] = 'M';
    putU32(header + 2, kBmpHeaderSize + pixelBytes);
    putU32(header + 10, kBmpHeaderSize);
    putU32(header + 14, 40);
    // The writers carry only the low 16 bits of the dimensions.
    putU32(header + 18, width & 0xFFFF);
    putU32(header + 22, height & 0xFFFF);
    putU16(header + 26, 1);
    putU16(header + 28, 8);
    putU32(header + 34, pixelBytes);
    for (uint32_t i = 0; i < 256; ++i) {
        uint8_t grey = uint8_t(invert ? 255 - i : i);
        uint8_t* entry = header + 54 + 4 * i;
        entry[0] = entry[1] = entry[2] = grey;
    }
}

ImageRecord* fetchImage(TcsHandle handle) {
    void* object = nullptr;
    if (handle == 0 || tcsSafeImageHandleFetch(handle, &object) != TCS_RESULT_OK) return nullptr;
    return static_cast<ImageRecord*>(object);
}

// rows x columns must lie within the pixels the record has room for: a record unpacked from
// another process or filled by a faulty producer may claim more.
bool pixelsFit(const ImageRecord* image) {
    return uint64_t(image->rows) * image->columns <= image->allocSize;
}

void freeImage(ImageRecord* image) {
    palRealFree(image->irMetrics);
    palRealFree(image->aspMetrics);
    palRealFree(image);
}

void imageCleanup(HandleNode* node) {
    if (node->object != nullptr) freeImage(static_cast<ImageRecord*>(node->object));
    node->object = nullptr;
}

TcsResult registerImage(ImageRecord* image, TcsHandle* outHandle) {
    _tcsImageRegisterCleanup();
    return tcsSafeImageHandleCreate(image, outHandle);
}

}  // namespace

extern "C" {

// Set on every registration rather than once: whoever resets the map's clean-ups (its own tests)
// must not leave images to the default, which would leak their metrics blocks.
void _tcsImageRegisterCleanup(void) { _tcsSafeHandleSetCleanup(TCS_HANDLE_TYPE_IMAGE, imageCleanup); }

TcsResult _tcsImageCreate(ImageRecord** outImage, const uint8_t* pixels, uint32_t size, uint32_t rows,
                          uint32_t columns, uint32_t quality) {
    if (outImage == nullptr) return TCS_RESULT_NULL_POINTER;
    if (pixels != nullptr && (rows == 0 || columns == 0)) return TCS_RESULT_BAD_PARAM;
    if (pixels == nullptr && (rows != 0 || columns != 0)) return TCS_RESULT_NULL_POINTER;
    if (size == 0) return TCS_RESULT_BAD_PARAM;
    if ((quality & kQualityRefused) != 0) return TCS_RESULT_BAD_PARAM;
    if (size > 0xFFFFFFFFu - TCS_IMAGE_OVERHEAD) return TCS_RESULT_INVALID;
    auto* image = static_cast<ImageRecord*>(palRealMalloc(size + TCS_IMAGE_OVERHEAD));
    void* asp = palRealMalloc(TCS_ASP_METRICS_SIZE);
    if (image == nullptr || asp == nullptr) {
        palRealFree(image);
        palRealFree(asp);
        return TCS_RESULT_INVALID;
    }
    std::memset(image, 0, size + TCS_IMAGE_OVERHEAD);
    std::memset(asp, 0, TCS_ASP_METRICS_SIZE);
    std::memcpy(image->magic, "TIMG", 4);
    image->rows = rows;
    image->columns = columns;
    image->allocSize = size;
    image->quality = quality;
    if (pixels != nullptr) {
        std::memcpy(tcsImagePixels(image), pixels, size);
        image->dataSize = size;
    }
    image->aspMetrics = asp;
    *outImage = image;
    return TCS_RESULT_OK;
}

TcsResult tcsImageCreate(TcsHandle* outImage, const uint8_t* pixels, uint32_t size, uint32_t rows, uint32_t columns,
                         uint32_t quality) {
    if (outImage == nullptr) return TCS_RESULT_NULL_POINTER;
    ImageRecord* image = nullptr;
    TcsResult result = _tcsImageCreate(&image, pixels, size, rows, columns, quality);
    if (result != TCS_RESULT_OK) return result;
    if (registerImage(image, outImage) != TCS_RESULT_OK) {
        freeImage(image);
        return TCS_RESULT_OUT_OF_MEMORY;
    }
    return TCS_RESULT_OK;
}

TcsResult _tcsImageDestroy(ImageRecord* image) {
    if (image != nullptr) freeImage(image);
    return TCS_RESULT_OK;
}

TcsResult tcsImageClone(TcsHandle handle, TcsHandle* outImage) {
    if (outImage == nullptr) return TCS_RESULT_NULL_POINTER;
    ImageRecord* source = fetchImage(handle);
    if (source == nullptr || source->dataSize > source->allocSize) return TCS_RESULT_BAD_PARAM;
    ImageRecord* copy = nullptr;
    if (_tcsImageCreate(&copy, tcsImagePixels(source), source->dataSize, source->rows, source->columns, source->quality) !=
        TCS_RESULT_OK) {
        return TCS_RESULT_BAD_PARAM;
    }
    if (registerImage(copy, outImage) != TCS_RESULT_OK) {
        freeImage(copy);
        return TCS_RESULT_BAD_PARAM;
    }
    return TCS_RESULT_OK;
}

TcsResult tcsImageGetData(TcsHandle handle, uint8_t* buffer, uint32_t size) {
    if (buffer == nullptr) return TCS_RESULT_NULL_POINTER;
    if (size == 0) return TCS_RESULT_BAD_PARAM;
    ImageRecord* image = fetchImage(handle);
    if (image == nullptr) return TCS_RESULT_NULL_HANDLE_POINTER;
    if (size > image->allocSize) return TCS_RESULT_BAD_PARAM;
    std::memcpy(buffer, tcsImagePixels(image), size);
    return TCS_RESULT_OK;
}

TcsResult tcsImageFlipHorizontal(TcsHandle handle) {
    ImageRecord* image = fetchImage(handle);
    if (image == nullptr || !pixelsFit(image)) return TCS_RESULT_BAD_PARAM;
    for (uint32_t r = 0; r < image->rows; ++r) {
        uint8_t* row = tcsImagePixels(image) + size_t(r) * image->columns;
        for (uint32_t i = 0, j = image->columns; i + 1 < j; ++i, --j) std::swap(row[i], row[j - 1]);
    }
    return TCS_RESULT_OK;
}

TcsResult _tcsImageFlipVertical(ImageRecord* image) {
    if (image == nullptr) return TCS_RESULT_NULL_POINTER;
    if (!pixelsFit(image)) return TCS_RESULT_BAD_PARAM;
    if (image->rows < 2 || image->columns == 0) return TCS_RESULT_OK;
    auto* spare = static_cast<uint8_t*>(palRealMalloc(image->columns));
    if (spare == nullptr) return TCS_RESULT_NULL_POINTER;
    size_t width = image->columns;
    for (uint32_t i = 0; i < image->rows / 2; ++i) {
        uint8_t* top = tcsImagePixels(image) + i * width;
        uint8_t* bottom = tcsImagePixels(image) + (image->rows - 1 - i) * width;
        std::memcpy(spare, top, width);
        std::memcpy(top, bottom, width);
        std::memcpy(bottom, spare, width);
    }
    palRealFree(spare);
    return TCS_RESULT_OK;
}

TcsResult tcsImageFlipVertical(TcsHandle handle) {
    ImageRecord* image = fetchImage(handle);
    if (image == nullptr) return TCS_RESULT_BAD_PARAM;
    return _tcsImageFlipVertical(image);
}

TcsResult _tcsImageInvertGreyscale(ImageRecord* image) {
    if (image == nullptr) return TCS_RESULT_NULL_POINTER;
    if (!pixelsFit(image)) return TCS_RESULT_BAD_PARAM;
    size_t count = size_t(image->rows) * image->columns;
    for (size_t i = 0; i < count; ++i) tcsImagePixels(image)[i] = uint8_t(255 - tcsImagePixels(image)[i]);
    return TCS_RESULT_OK;
}

TcsResult tcsImageInvertGreyscale(TcsHandle handle) { return _tcsImageInvertGreyscale(fetchImage(handle)); }

uint32_t tcsImageCheckUsability(TcsHandle handle, uint32_t strict) {
    ImageRecord* image = fetchImage(handle);
    if (image == nullptr || (image->quality & kQualityUnusable) != 0) return 0;
    if (strict != 0 && (image->quality & ~kStrictTolerated) != 0) return 0;
    return 1;
}

TcsResult tcsImagePack(TcsHandle handle, uint8_t* buffer, uint32_t* outSize) {
    if (outSize == nullptr) return TCS_RESULT_NULL_POINTER;
    ImageRecord* image = fetchImage(handle);
    if (image == nullptr) return TCS_RESULT_NULL_POINTER;
    // The record's first n bytes must lie within its allocation.
    if (image->dataSize > image->allocSize) return TCS_RESULT_BAD_PARAM;
    uint32_t n = image->dataSize + TCS_IMAGE_OVERHEAD;
    uint32_t aspSize = image->aspMetrics != nullptr ? getU32(static_cast<uint8_t*>(image->aspMetrics)) : 0;
    if (aspSize > TCS_ASP_METRICS_SIZE) return TCS_RESULT_BAD_PARAM;
    uint32_t size = 4 + n;
    if (image->irMetrics != nullptr) size += 4 + TCS_IR_METRICS_SIZE;
    if (image->aspMetrics != nullptr) size += 4 + aspSize;
    *outSize = size;
    if (buffer == nullptr) return TCS_RESULT_OK;
    uint8_t* at = buffer;
    putU32(at, n);
    std::memcpy(at + 4, image, n);
    at += 4 + n;
    if (image->irMetrics != nullptr) {
        putU32(at, TCS_IR_METRICS_SIZE);
        std::memcpy(at + 4, image->irMetrics, TCS_IR_METRICS_SIZE);
        at += 4 + TCS_IR_METRICS_SIZE;
    }
    if (image->aspMetrics != nullptr) {
        putU32(at, aspSize);
        std::memcpy(at + 4, image->aspMetrics, aspSize);
    }
    return TCS_RESULT_OK;
}

TcsResult tcsImageUnPack(const uint8_t* packed, TcsHandle* outImage) {
    if (packed == nullptr) return TCS_RESULT_NULL_POINTER;
    if (outImage == nullptr) return TCS_RESULT_NULL_HANDLE_POINTER;
    *outImage = 0;
    uint32_t n = getU32(packed);
    // The counts come from another process: the record below holds exactly n bytes, so every count
    // that describes its pixels must fit in them.
    if (n < TCS_IMAGE_OVERHEAD || n > 0xFFFFFFFFu - 4) return TCS_RESULT_INVALID_FILE_FORMAT;
    const uint8_t* header = packed + 4;
    uint32_t room = n - TCS_IMAGE_OVERHEAD;
    uint32_t rows = getU32(header + offsetof(ImageRecord, rows));
    uint32_t columns = getU32(header + offsetof(ImageRecord, columns));
    uint32_t dataSize = getU32(header + offsetof(ImageRecord, dataSize));
    if (dataSize > room || uint64_t(rows) * columns > room) return TCS_RESULT_INVALID_FILE_FORMAT;
    auto* image = static_cast<ImageRecord*>(palRealMalloc(n < sizeof(ImageRecord) ? sizeof(ImageRecord) : n));
    if (image == nullptr) return TCS_RESULT_INVALID;
    std::memset(image, 0, sizeof(ImageRecord));
    std::memcpy(image, header, n);
    // The storage holds n bytes whatever the sender's allocated-size field said.
    image->allocSize = room;
    bool hasIr = image->irMetrics != nullptr;
    bool hasAsp = image->aspMetrics != nullptr;
    // The pointers are the sender's: only whether they were set means anything here.
    image->iv = nullptr;
    image->ivLength = 0;
    image->irMetrics = nullptr;
    image->aspMetrics = nullptr;
    const uint8_t* at = header + n;
    if (hasIr) {
        uint32_t length = getU32(at);
        if (length != TCS_IR_METRICS_SIZE) {
            freeImage(image);
            return TCS_RESULT_INVALID_FILE_FORMAT;
        }
        image->irMetrics = palRealMalloc(length);
        if (image->irMetrics == nullptr) {
            freeImage(image);
            return TCS_RESULT_INVALID;
        }
        std::memcpy(image->irMetrics, at + 4, length);
        at += 4 + length;
    }
    if (hasAsp) {
        uint32_t length = getU32(at);
        if (length > TCS_ASP_METRICS_SIZE) {
            freeImage(image);
            return TCS_RESULT_INVALID_FILE_FORMAT;
        }
        // Readers take the whole 72-byte block: a shorter one is padded with zeros.
        image->aspMetrics = palRealMalloc(TCS_ASP_METRICS_SIZE);
        if (image->aspMetrics == nullptr) {
            freeImage(image);
            return TCS_RESULT_INVALID;
        }
        std::memset(image->aspMetrics, 0, TCS_ASP_METRICS_SIZE);
        std::memcpy(image->aspMetrics, at + 4, length);
    }
    // A record that cannot be registered stays allocated and the caller sees handle 0.
    registerImage(image, outImage);
    return TCS_RESULT_OK;
}

TcsResult tcsImageToBitmapBits(TcsHandle handle, uint8_t* buffer, uint32_t* outSize) {
    ImageRecord* image = fetchImage(handle);
    if (image == nullptr) return TCS_RESULT_NULL_HANDLE_POINTER;
    if (outSize == nullptr) return TCS_RESULT_NULL_POINTER;
    if (!pixelsFit(image)) return TCS_RESULT_BAD_PARAM;
    uint32_t padding = rowPadding(image->columns);
    uint64_t size = kBmpHeaderSize + uint64_t(image->columns + padding) * image->rows;
    if (size > 0xFFFFFFFFu) return TCS_RESULT_BAD_PARAM;
    *outSize = uint32_t(size);
    if (buffer == nullptr) return TCS_RESULT_OK;
    auto* bmp = static_cast<uint8_t*>(palRealMalloc(uint32_t(size)));
    if (bmp == nullptr) return TCS_RESULT_ERROR;
    buildBmpHeader(bmp, image->rows, image->columns, false);
    uint8_t* at = bmp + kBmpHeaderSize;
    for (uint32_t r = 0; r < image->rows; ++r) {
        std::memcpy(at, tcsImagePixels(image) + size_t(r) * image->columns, image->columns);
        std::memset(at + image->columns, 0, padding);
        at += image->columns + padding;
    }
    std::memcpy(buffer, bmp, uint32_t(size));
    palRealFree(bmp);
    return TCS_RESULT_OK;
}

FILE* tcsInitBmpFile(const char* path, uint32_t height, uint32_t width, uint32_t invert, uint32_t* outPadding) {
    if (path == nullptr) return nullptr;
    FILE* file = std::fopen(path, "wb");
    if (file == nullptr) return nullptr;
    if (outPadding != nullptr) *outPadding = rowPadding(width);
    uint8_t header[kBmpHeaderSize];
    buildBmpHeader(header, height, width, invert != 0);
    if (std::fwrite(header, 1, sizeof(header), file) != sizeof(header)) {
        std::fclose(file);
        return nullptr;
    }
    return file;
}

TcsResult _tcsImage2bmp(ImageRecord* image, const char* path) {
    if (image == nullptr || path == nullptr) return TCS_RESULT_BAD_PARAM;
    if (!pixelsFit(image)) return TCS_RESULT_BAD_PARAM;
    uint32_t padding = 0;
    FILE* file = tcsInitBmpFile(path, image->rows, image->columns, 0, &padding);
    if (file == nullptr) return TCS_RESULT_INVALID;
    const uint8_t zeros[3] = {0, 0, 0};
    bool ok = true;
    for (uint32_t r = 0; r < image->rows && ok; ++r) {
        ok = std::fwrite(tcsImagePixels(image) + size_t(r) * image->columns, 1, image->columns, file) == image->columns &&
             std::fwrite(zeros, 1, padding, file) == padding;
    }
    ok = std::fclose(file) == 0 && ok;
    return ok ? TCS_RESULT_OK : TCS_RESULT_INVALID;
}

void tcsImage2bmp(TcsHandle handle, const char* path) {
    ImageRecord* image = fetchImage(handle);
    if (image != nullptr) _tcsImage2bmp(image, path);
}

void tcsFp2bmp(const uint8_t* pixels, uint32_t size, uint32_t width, const char* path) {
    if (pixels == nullptr || path == nullptr || width == 0 || size < width) return;
    uint32_t height = size / width;
    uint32_t padding = 0;
    FILE* file = tcsInitBmpFile(path, height, width, 0, &padding);
    if (file == nullptr) return;
    const uint8_t zeros[3] = {0, 0, 0};
    for (uint32_t r = 0; r < height; ++r) {
        if (std::fwrite(pixels + size_t(r) * width, 1, width, file) != width) break;
        if (std::fwrite(zeros, 1, padding, file) != padding) break;
    }
    std::fclose(file);
}

uint32_t tcsImageGetRows(TcsHandle handle) {
    ImageRecord* image = fetchImage(handle);
    return image != nullptr ? image->rows : 0;
}

uint32_t tcsImageGetColumns(TcsHandle handle) {
    ImageRecord* image = fetchImage(handle);
    return image != nullptr ? image->columns : 0;
}

uint32_t tcsImageGetDataSize(TcsHandle handle) {
    ImageRecord* image = fetchImage(handle);
    return image != nullptr ? image->dataSize : 0;
}

uint32_t tcsImageGetAllocSize(TcsHandle handle) {
    ImageRecord* image = fetchImage(handle);
    return image != nullptr ? image->allocSize : 0;
}

uint32_t tcsImageGetSwipeSpeed(TcsHandle handle) {
    ImageRecord* image = fetchImage(handle);
    return image != nullptr ? image->swipeSpeed : 0;
}

uint32_t _tcsImageGetQuality(ImageRecord* image) { return image != nullptr ? image->quality : kQualityUnusable; }
uint32_t tcsImageGetQuality(TcsHandle handle) { return _tcsImageGetQuality(fetchImage(handle)); }
uint32_t _tcsImageGetAspScore(ImageRecord* image) { return image != nullptr ? image->aspScore : 0; }
uint32_t tcsImageGetAspScore(TcsHandle handle) { return _tcsImageGetAspScore(fetchImage(handle)); }
void* _tcsImageGetASPMetrics(ImageRecord* image) { return image != nullptr ? image->aspMetrics : nullptr; }
void* tcsImageGetASPMetrics(TcsHandle handle) { return _tcsImageGetASPMetrics(fetchImage(handle)); }

void* tcsImageGetIRMetrics(TcsHandle handle) {
    ImageRecord* image = fetchImage(handle);
    return image != nullptr ? image->irMetrics : nullptr;
}

TcsResult tcsCryptoImageGetPaddingSize(TcsHandle handle, uint32_t* outSize) {
    if (outSize == nullptr) return TCS_RESULT_NULL_POINTER;
    ImageRecord* image = fetchImage(handle);
    if (image == nullptr) return TCS_RESULT_NULL_HANDLE_POINTER;
    *outSize = image->paddingSize;
    return TCS_RESULT_OK;
}

TcsResult tcsCryptoImageGetIV(TcsHandle handle, void** outIv, uint32_t* outLength) {
    if (outIv == nullptr || outLength == nullptr) return TCS_RESULT_NULL_POINTER;
    ImageRecord* image = fetchImage(handle);
    if (image == nullptr) return TCS_RESULT_NULL_HANDLE_POINTER;
    *outIv = image->iv;
    *outLength = image->ivLength;
    return TCS_RESULT_OK;
}

uint32_t _tcsGetActualMatcherId(void) { return 1; }

// --- Event records and buffers of the client interface ------------------------------------------------

uint32_t tcsEventGetId(const EventRecord* event) { return event != nullptr ? event->id : 0; }
uint32_t tcsEventGetStatus(const EventRecord* event) { return event != nullptr ? event->status : 0; }
uint32_t tcsEventGetDataSize(const EventRecord* event) { return event != nullptr ? event->dataSize : 0; }
void* tcsEventGetData(const EventRecord* event) { return event != nullptr ? event->data : nullptr; }

char* tcsEventGetDataStringA(const EventRecord* event) {
    if (event == nullptr || event->data == nullptr) return nullptr;
    // One byte more than the data holds, so the copy is a string even when the data lacks its NUL.
    auto* copy = static_cast<char*>(palRealMalloc(event->dataSize + 1));
    if (copy == nullptr) return nullptr;
    std::memcpy(copy, event->data, event->dataSize);
    copy[event->dataSize] = '\0';
    return copy;
}

uint16_t* tcsEventGetDataStringW(const EventRecord* event) {
    if (event == nullptr || event->data == nullptr) return nullptr;
    auto* copy = static_cast<uint16_t*>(palRealMalloc(2 * (event->dataSize + 1)));
    if (copy == nullptr) return nullptr;
    const auto* source = static_cast<const uint8_t*>(event->data);
    for (uint32_t i = 0; i < event->dataSize; ++i) copy[i] = source[i];
    copy[event->dataSize] = 0;
    return copy;
}

TcsResult tcsEventFreeDataString(void* text) {
    palRealFree(text);
    return TCS_RESULT_OK;
}

TcsResult tcsBufferFree(void* buffer) {
    palRealFree(buffer);
    return TCS_RESULT_OK;
}

}  // extern "C"
