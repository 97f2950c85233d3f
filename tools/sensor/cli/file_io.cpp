// Whole-file reads for the command handlers, with the messages the tool prints for each failure.
#include "tools/sensor/cli/file_io.h"

#include "platform/memory.h"

#include <string.h>

namespace sensor_tool {

ReadStatus readWholeFile(const char* name, uint32_t required, uint8_t** outData, uint32_t* outSize) {
    *outData = nullptr;
    *outSize = 0;
    FILE* file = fopen(name, "rb");
    if (file == nullptr) {
        printf("Open file <%s> failed\n", name);
        return ReadStatus::kOpenFailed;
    }
    long size = -1;
    if (fseek(file, 0, SEEK_END) == 0) size = ftell(file);
    rewind(file);
    if (size <= 0 || size > 0x7FFFFFFF || (required != 0 && uint32_t(size) != required)) {
        printf("Size of <%s> file is incorrect\n", name);
        fclose(file);
        return ReadStatus::kBadSize;
    }
    auto* data = static_cast<uint8_t*>(palRealMalloc(uint32_t(size)));
    if (data == nullptr) {
        printf("Can't allocate memory\n");
        fclose(file);
        return ReadStatus::kNoMemory;
    }
    if (fread(data, 1, size_t(size), file) != size_t(size)) {
        printf("Read file <%s> failed\n", name);
        palRealFree(data);
        fclose(file);
        return ReadStatus::kReadFailed;
    }
    fclose(file);
    *outData = data;
    *outSize = uint32_t(size);
    return ReadStatus::kOk;
}

bool startsWith(const char* text, const char* prefix) {
    return strncmp(text, prefix, strlen(prefix)) == 0;
}

void SecretBuffer::reset() {
    if (data != nullptr) {
        volatile uint8_t* wipe = data;
        for (uint32_t i = 0; i < size; ++i) wipe[i] = 0;
        palRealFree(data);
    }
    data = nullptr;
    size = 0;
}

}  // namespace sensor_tool
