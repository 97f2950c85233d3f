// Capture-file utilities that need the service core: an image record written as a BMP file.
#include "platform/files.h"
#include "tcs/core.h"
#include "tcs/handle_map.h"
#include "tcs/imaging/capture_file.h"
#include "tcs/tcs.h"

#include <new>
#include <vector>

extern "C" {

TcsResult fclWriteImageToBmpFile(const char* path, ImageRecord* image) {
    if (path == nullptr || image == nullptr) return TCS_RESULT_BAD_PARAM;
    uint64_t handle = 0;
    if (tcsSafeHandleReverseFetch(image, TCS_HANDLE_TYPE_IMAGE, &handle) != TCS_RESULT_OK || handle == 0) {
        return TCS_RESULT_BAD_PARAM;
    }
    uint32_t size = 0;
    TcsResult r = tcsImageToBitmapBits(handle, nullptr, &size);
    if (r != TCS_RESULT_OK && size == 0) return r;
    std::vector<uint8_t> bits;
    try {
        bits.resize(size);
    } catch (const std::bad_alloc&) {
        return TCS_RESULT_OUT_OF_MEMORY;
    }
    r = tcsImageToBitmapBits(handle, bits.data(), &size);
    if (r != TCS_RESULT_OK) return r;
    FILE* file = palFileOpen(path, "w+b");
    if (file == nullptr) return TCS_RESULT_FILE_OPEN_FAILED;
    const bool written = palFileWrite(bits.data(), 1, size, file) == size;
    palFileClose(file);
    return written ? TcsResult(TCS_RESULT_OK) : TcsResult(TCS_RESULT_FILE_WRITE_FAILED);
}

}  // extern "C"
