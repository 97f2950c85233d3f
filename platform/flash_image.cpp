// Flash image file: reads, writes and erases touch the memory copy; the file is rewritten whole on commit.
#include "platform/flash_image.h"

#include "platform/memory.h"

#include <stdio.h>
#include <string.h>

struct FlashImageFile {
    FILE* stream;
    // Each open file has its own copy: with one copy per process, two stores open at once
    // would write into each other's image.
    uint8_t* image;
    bool loadPending;
};

namespace {

constexpr uint64_t kImageSize = PAL_FLASH_IMAGE_SIZE;
constexpr uint32_t kSectorSize = PAL_FLASH_IMAGE_SECTOR_SIZE;

FlashImageFile* asImage(void* file) { return static_cast<FlashImageFile*>(file); }

// The end is computed in 64 bits: the 32-bit form address + length - 1 wrapped for addresses near
// 4 GiB and let such ranges through. A length of 0 at address 0 stays refused, as it always was.
bool rangeInsideImage(uint32_t address, uint16_t length) {
    uint64_t end = uint64_t(address) + length;
    return end != 0 && end <= kImageSize;
}

bool writeWholeImage(FlashImageFile& f) {
    if (fseek(f.stream, 0, SEEK_SET) != 0) return false;
    size_t written = fwrite(f.image, 1, kImageSize, f.stream);
    return fflush(f.stream) == 0 && written == kImageSize;
}

}  // namespace

extern "C" {

TcsResult palFssFileDBInit(void*, const char* url, void** outFile) {
    if (url == nullptr || outFile == nullptr) return TCS_RESULT_BAD_PARAM;
    *outFile = nullptr;
    const char* colon = strchr(url, ':');
    if (colon == nullptr || strncmp(colon + 1, "//", 2) != 0) return TCS_RESULT_BAD_DATABASE_NAME_FORMAT;
    const char* path = colon + 3;
    FILE* stream = fopen(path, "r+b");
    if (stream == nullptr) stream = fopen(path, "w+b");
    if (stream == nullptr) return TCS_RESULT_FILE_OPEN_FAILED;
    auto* f = static_cast<FlashImageFile*>(palRealMalloc(sizeof(FlashImageFile)));
    if (f == nullptr) {
        fclose(stream);
        return TCS_RESULT_OUT_OF_MEMORY;
    }
    *f = FlashImageFile{stream, nullptr, true};
    *outFile = f;
    return TCS_RESULT_OK;
}

TcsResult palFssGetFileDBSize(void* file, uint32_t* outCapacity, uint32_t* outStoreSize) {
    if (file == nullptr) return TCS_RESULT_INVALID_HANDLE;
    if (outCapacity == nullptr) return TCS_RESULT_BAD_PARAM;
    *outCapacity = PAL_FLASH_IMAGE_SIZE;
    if (outStoreSize != nullptr) *outStoreSize = PAL_FLASH_IMAGE_SIZE;
    return TCS_RESULT_OK;
}

TcsResult palStorageInitReadWrite(void* file) {
    FlashImageFile* f = asImage(file);
    if (f == nullptr) return TCS_RESULT_INVALID_HANDLE;
    if (!f->loadPending) return TCS_RESULT_OK;
    if (f->image == nullptr) {
        f->image = static_cast<uint8_t*>(palRealMalloc(uint32_t(kImageSize)));
        if (f->image == nullptr) return TCS_RESULT_OUT_OF_MEMORY;
    }
    size_t got = 0;
    if (fseek(f->stream, 0, SEEK_SET) == 0) got = fread(f->image, 1, kImageSize, f->stream);
    if (got == 0) {
        // A new, empty file becomes a fully erased image at once. A failed write shows at commit.
        memset(f->image, 0xFF, kImageSize);
        writeWholeImage(*f);
    } else if (got < kImageSize) {
        return TCS_RESULT_FILE_READ_FAILED;
    }
    f->loadPending = false;
    return TCS_RESULT_OK;
}

TcsResult palFssReadFileDB(void* file, uint32_t address, uint16_t length, void* buffer) {
    if (file == nullptr) return TCS_RESULT_INVALID_HANDLE;
    TcsResult result = palStorageInitReadWrite(file);
    if (result != TCS_RESULT_OK) return result;
    if (!rangeInsideImage(address, length)) return TCS_RESULT_BAD_PARAM;
    if (length == 0) return TCS_RESULT_OK;
    if (buffer == nullptr) return TCS_RESULT_BAD_PARAM;
    memcpy(buffer, asImage(file)->image + address, length);
    return TCS_RESULT_OK;
}

TcsResult palFssWriteFileDB(void* file, uint32_t address, uint16_t length, const void* data) {
    if (file == nullptr) return TCS_RESULT_INVALID_HANDLE;
    TcsResult result = palStorageInitReadWrite(file);
    if (result != TCS_RESULT_OK) return result;
    if (!rangeInsideImage(address, length)) return TCS_RESULT_BAD_PARAM;
    if (length == 0) return TCS_RESULT_OK;
    if (data == nullptr) return TCS_RESULT_BAD_PARAM;
    memcpy(asImage(file)->image + address, data, length);
    return TCS_RESULT_OK;
}

TcsResult _palFssWriteFileDB(void* file, uint32_t address, uint16_t length, const void* data, uint32_t commitFlag) {
    TcsResult result = palFssWriteFileDB(file, address, length, data);
    if (result != TCS_RESULT_OK || commitFlag != 1) return result;
    return palFssCommitFileDB(file);
}

TcsResult palFssSectorEraseFileDB(void* file, uint32_t address, uint16_t sectorCount) {
    if (file == nullptr) return TCS_RESULT_INVALID_HANDLE;
    TcsResult result = palStorageInitReadWrite(file);
    if (result != TCS_RESULT_OK) return result;
    if (sectorCount == 0) return TCS_RESULT_OK;
    uint64_t start = address & ~uint64_t(kSectorSize - 1);
    uint64_t end = start + uint64_t(sectorCount) * kSectorSize;
    // Callers keep erases inside the image; one that is not must not run past the memory copy.
    if (end > kImageSize) return TCS_RESULT_BAD_PARAM;
    memset(asImage(file)->image + start, 0xFF, end - start);
    return TCS_RESULT_OK;
}

TcsResult palFssBulkEraseFileDB(void* file) {
    if (file == nullptr) return TCS_RESULT_INVALID_HANDLE;
    TcsResult result = palStorageInitReadWrite(file);
    if (result != TCS_RESULT_OK) return result;
    memset(asImage(file)->image, 0xFF, kImageSize);
    return TCS_RESULT_OK;
}

TcsResult palFssCommitFileDB(void* file) {
    if (file == nullptr) return TCS_RESULT_INVALID_HANDLE;
    TcsResult result = palStorageInitReadWrite(file);
    if (result != TCS_RESULT_OK) return result;
    return writeWholeImage(*asImage(file)) ? TCS_RESULT_OK : TCS_RESULT_FILE_WRITE_FAILED;
}

TcsResult palFssFileDBUninit(void* file) {
    FlashImageFile* f = asImage(file);
    if (f == nullptr) return TCS_RESULT_INVALID_HANDLE;
    palFssCommitFileDB(f);
    fclose(f->stream);
    if (f->image != nullptr) palRealFree(f->image);
    palRealFree(f);
    return TCS_RESULT_OK;
}

}  // extern "C"
