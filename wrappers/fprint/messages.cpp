// Result messages, the last-error record and its reporting convention, client set-up and tear-down,
// the database path builder and the console input routines of the samples.
#include "wrappers/fprint/tfs.h"

#include "apps/shared/client.h"
#include "apps/shared/inproc_matchers.h"
#include "platform/memory.h"

#include <algorithm>
#include <cctype>
#include <iterator>
#include <cstdio>
#include <cstring>
#include <string>
#include <unistd.h>

namespace {

struct Message {
    uint32_t code;
    const char* text;
};

// Sorted by code.
constexpr Message kMessages[] = {
    {0, "Operation Successful"},
    {1, "The operation was canceled."},
    {2, "Out of heap memory."},
    {3, "No more entries in list being scanned."},
    {4, "Invalid handle passed."},
    {5, "Passed buffer is too small."},
    {6, "The function has not been implemented."},
    {7, "Placeholder until a real return code can be thought up."},
    {8, "Sensor write failed."},
    {9, "Sensor read failed."},
    {10, "Sensor write timeout."},
    {11, "Sensor read timeout."},
    {12, "Sensor device reset failed."},
    {13, "Null pointer to handle passed."},
    {14, "Sensor handle is null."},
    {15, "USB device handle is null."},
    {16, "Client handle is null."},
    {17, "One of the parameters specified is outside the range of acceptable values."},
    {18, "Attempted to attach more than one virtual sensor."},
    {19, "Sensors not found."},
    {20, "Passed sensor ID format is not correct."},
    {21, "No more sensors are available."},
    {22, "Failed to open sensor."},
    {23, "Failed to hook system events."},
    {24, "The call to DeviceDeactivate returned false"},
    {25, "The call to DeviceActivate returned false"},
    {26, "The call to DeviceSend returned false"},
    {27, "Failed to create event."},
    {28, "Failed to set event."},
    {29, "Failed to reset event."},
    {30, "Failed to close event."},
    {31, "Failed to create mutex."},
    {32, "Failed to release mutex."},
    {33, "Failed to close mutex."},
    {34, "Timeout occurred while processing command."},
    {35, "Failed to wait."},
    {36, "Unknown status value from wait."},
    {37, "Failed to create the requested thread."},
    {38, "Failed to create the requested timer."},
    {39, "No appropriate Image Reconstructor was found."},
    {40, "Required input pointer is null."},
    {41, "An entry at the head of the IDS queue has disappeared."},
    {42, "The command number is not recognized or is not implemented."},
    {43, "The command request is too short; it do not have the minimum amount of data to be processed."},
    {44, "The parameter is not recognized or is not implemented."},
    {45, "Value is out of range. Not currently used."},
    {46, "Sensor currently is armed by another application."},
    {47, "The address specified was either out of range or the address or length was not a multiple of 4."},
    {48, "A hardware error occurred while trying to write on flash."},
    {49, "A bad size was passed to the sensor."},
    {50, "A hardware failure occurred during calibration."},
    {51, "Sensor does not implement encryption."},
    {52, "A hardware failure occurred. Not currently used."},
    {53, "Fingerprint buffer list is empty."},
    {54, "An unexpected error occurred."},
    {55, "The end of file has been reached."},
    {60, "Database path format is incorrect."},
    {61, "Database is not open."},
    {62, "The User ID is incorrect."},
    {63, "User directory creation failed."},
    {64, "Template file creation failed."},
    {65, "User doesn't exist."},
    {66, "Template doesn't exist."},
    {67, "Template deletion failed."},
    {68, "Database path creation failed."},
    {69, "Database creation failed."},
    {70, "User handle is invalid."},
    {71, "Database handle is invalid."},
    {72, "Template handle is invalid."},
    {73, "The path is invalid."},
    {74, "Data with same ID is exist."},
    {75, "User data creation failed."},
    {76, "File input/output operation failed."},
    {77, "Directory can't be located."},
    {78, "File deletion failed."},
    {79, "Data with provided ID doesn't exist."},
    {80, "TCS_RESULT_INVALID_DATABASE_SPEC"},
    {81, "Application storage doesn't exist."},
    {82, "Signature verification failed."},
    {83, "None of the attached sensors has flash."},
    {84, "Flash write failed."},
    {85, "Filesystem version is not supported."},
    {86, "Attached flash chip is unknown."},
    {87, "Template file creation failed."},
    {88, "User finger is already enrolled."},
    {200, "Sensor is not opened completely."},
    {202, "Version pointer is null."},
    {203, "Sensor descriptor is pending."},
    {204, "Error sensor descriptor."},
    {205, "Sensor descriptor is canceled."},
    {206, "Sensor descriptor is too short."},
    {207, "Failed to open file."},
    {208, "Failed to shutdown."},
    {209, "To indicate service."},
    {210, "Failed to acquire mutex."},
    {211, "Failed to close sensor."},
    {212, "Failed to create client."},
    {213, "Failed to destroy client."},
    {214, "Client destruction in progress."},
    {215, "Sensor closing in progress."},
    {216, "Subsystem handle was null."},
    {217, "No work items found in the work list."},
    {218, "Failed writing to the file."},
    {219, "Failed reading from the file."},
    {220, "The file format is invalid."},
    {221, "The requested command is not supported by the current command protocol version."},
    {222, "Work item is in idle state."},
    {223, "Retry the last cal operation."},
    {224, "Zero length reply received."},
    {300, "Failed to open matcher."},
    {301, "Failed to close matcher."},
    {302, "Failed to match templates."},
    {303, "Failed to extract template."},
    {304, "Failed to enroll."},
    {305, "Failed to verify."},
    {306, "Failed to add image."},
    {307, "Failed to match image."},
    {308, "Failed to check image quality."},
    {320, "Failed to access storage. Incorrect key."},
    {356, "The config file not found."},
    {357, "The system is in suspend state."},
    {358, "Sensor is not initialized yet."},
    {359, "False triggerring occurred."},
    {360, "The sensor is removed."},
    {361, "Enroll, identify or verify operation is canceled."},
    {362, "User not identified."},
    {363, "User not verified."},
    {364, "User already exists."},
    {365, "No print signature."},
    {366, "No template found."},
    {367, "The matching has failed."},
    {368, "Cookie verification failed"},
    {369, "Raw partition of the flash (or EAT) is full."},
    {370, "A command was denied by sensor."},
    {371, "Identification succeeded however enrollment data ID not found "},
    {372, "No secure session established with secure sensor."},
    {373, "Signature verification of template data is failed."},
    {374, "Raw partition of the flash (or EAT) is corrupted."},
    {375, "Partition is not opened."},
    {377, "Provided restore data is not applicable to the given sensor."},
    {380, "No memory for command execution."},
    {381, "Out of OTP ownership"},
    {383, "SSL communication error."},
    {384, "SSL communication error."},
    {385, "SSL communication error."},
    {386, "SSL communication error."},
    {387, "SSL communication error."},
    {388, "SSL communication error."},
    {390, "SSL communication error."},
    {392, "FSS partition of the flash is full."},
    {393, "Specified file or directory already exists."},
    {394, "Filename contains invalid character or exceeds allowed length."},
    {395, "Specified path is invalid."},
    {396, "Root directory doesn't exist."},
    {397, "Specified file/folder doesn't exist in the database. Database is corrupted. Please use corresponding menu option to erase the database."},
    {398, "Number of allowable open directories is exceeded."},
    {399, "Requested file is already open."},
    {400, "Invalid open mode is specified."},
    {401, "Data is corrupted: checksum is not vaild. Please use corresponding menu option to erase the database."},
    {402, "System file does not exist."},
    {403, "System file is invalid."},
    {404, "Directory is not empty."},
    {406, "Filesystem is corrupted."},
    {410, "Failed to open the shared memory."},
    {411, "Failed to get a pointer to the shared memory."},
    {412, "Failed to open a semaphore object."},
    {413, "Failed to open an event object."},
    {500, "Service was stopped."},
    {501, "The fingerprint capture was stopped."},
    {510, "Operation was denied. The specified user already exists in the database.\nNeed to identify first to be able to accomplish the operation."},
    {513, "Sensor is probably removed."},
    {1005, "No sensors found."},
};

constexpr bool isSortedByCode() {
    for (size_t i = 1; i < std::size(kMessages); ++i) {
        if (kMessages[i - 1].code >= kMessages[i].code) return false;
    }
    return true;
}
static_assert(isSortedByCode(), "the messages are looked up by binary search");

constexpr const char* kGeneralError = "General error occurred.";
constexpr uint32_t kReportBuffer = 256;
constexpr size_t kDirectoryMax = 260;

}  // namespace

extern "C" {

const char* tcsErrorToString(uint32_t code) {
    auto found = std::lower_bound(std::begin(kMessages), std::end(kMessages), code,
                                  [](const Message& m, uint32_t c) { return m.code < c; });
    return found != std::end(kMessages) && found->code == code ? found->text : kGeneralError;
}

char* tcsErrorToStringEx(char* buffer, uint32_t size, AppLastError lastError) {
    if (buffer == nullptr || size == 0) return buffer;
    const char* message = tcsErrorToString(lastError.code);
    if (lastError.code == 0 || lastError.text == nullptr) {
        snprintf(buffer, size, "%s", message);
    } else if (lastError.isError == 0) {
        snprintf(buffer, size, "%s", lastError.text);
    } else {
        snprintf(buffer, size, "%s : %s", message, lastError.text);
    }
    return buffer;
}

uint32_t isInfoMsg(uint32_t code) {
    switch (code) {
    case 19: case 22: case 200: case 510: return 1;
    default: return code >= 1004 && code <= 1009 ? 1 : 0;
    }
}

uint32_t IsSensorRemovalError(int code) {
    switch (code) {
    case 14: case 19: case 22: case 200: case 360: return 1;
    default: return 0;
    }
}

char* setAppLastError(AppLastError* record, const char* text, int code) {
    if (record == nullptr) return nullptr;
    clearAppLastError(record);
    if (text == nullptr) return nullptr;
    const size_t length = strlen(text);
    auto* copy = static_cast<char*>(palRealMalloc(uint32_t(length + 1)));
    if (copy == nullptr) return nullptr;
    std::memcpy(copy, text, length + 1);
    record->text = copy;
    record->code = uint32_t(code);
    return copy;
}

void clearAppLastError(AppLastError* record) {
    if (record == nullptr) return;
    if (record->text != nullptr) palRealFree(record->text);
    record->text = nullptr;
    record->code = 0;
}

const char* getAppLastError(AppLastError record) { return record.text; }

const char* getFileName(const char* path) {
    if (path == nullptr) return nullptr;
    // The backslash is looked for first, so a later slash stays in the name.
    if (const char* back = strrchr(path, '\\')) return back + 1;
    if (const char* slash = strrchr(path, '/')) return slash + 1;
    return path;
}

void tfsReport(AppLastError* record, uint32_t isError, TcsResult code, const char* message, const char* file,
               unsigned line) {
    if (record == nullptr) return;
    char text[kReportBuffer];
    const bool info = isInfoMsg(code) != 0;
    if (isError == 0) {
        if (info) {
            snprintf(text, sizeof text, "%s", message);
        } else {
            snprintf(text, sizeof text, "%s - %s(%u)", message, getFileName(file), line);
        }
    } else if (info) {
        snprintf(text, sizeof text, "%s (%d)", message, int(code));
    } else {
        snprintf(text, sizeof text, "%s (%d) - %s(%u)", message, int(code), getFileName(file), line);
    }
    record->isError = isError;
    setAppLastError(record, text, int(code));
}

TcsResult ClientCreate(AppContext* context, void* user) {
    if (context == nullptr) return TCS_RESULT_NULL_POINTER;
    context->signature = TFS_CONTEXT_SIGNATURE;
    context->captureTimeoutMs = 60000;
    TcsResult result = tcsClientCreate(&context->client);
    if (result != TCS_RESULT_OK) {
        TFS_ERROR_REPORT(&context->lastError, result, "tcsClientCreate failed");
        return result;
    }
    EventCallback handler = context->clientEventHandler != nullptr ? context->clientEventHandler : SystemEventsHandler;
    result = tcsClientEventsAddCallback(context->client, handler, user);
    if (result != TCS_RESULT_OK) {
        TFS_ERROR_REPORT(&context->lastError, result, "tcsClientEventsAddCallback failed");
        return result;
    }
    if (context->accuracy != 0) {
        result = tcsMatcherSetAccuracy(context->client, context->accuracy);
        if (result != TCS_RESULT_OK) {
            TFS_ERROR_REPORT(&context->lastError, result, "tcsMatcherSetAccuracy failed");
            return result;
        }
    }
    // Calls wait while the system is suspended instead of failing.
    result = tcsSetParam(0, 13, 1);
    if (result != TCS_RESULT_OK) {
        TFS_ERROR_REPORT(&context->lastError, result, "tcsSetParam failed");
        return result;
    }
    return TCS_RESULT_OK;
}

TcsResult ClientDestroy(AppContext* context, void* user) {
    if (context == nullptr) return TCS_RESULT_NULL_POINTER;
    if (context->client == 0) {
        TFS_INFO(&context->lastError, TCS_RESULT_NULL_CLIENT_HANDLE, "Client handle is null");
        return TCS_RESULT_NULL_CLIENT_HANDLE;
    }
    EventCallback handler = context->clientEventHandler != nullptr ? context->clientEventHandler : SystemEventsHandler;
    TcsResult result = tcsClientEventsRemoveCallback(context->client, handler, user);
    if (result != TCS_RESULT_OK) {
        TFS_ERROR_REPORT(&context->lastError, result, "tcsClientEventsRemoveCallback failed");
        return result;
    }
    // The client's in-process matchers go with it; the service knows nothing of them.
    tovClientCloseMatchers(context->client);
    if (context->matcher != 0) context->matcher = 0;
    result = tcsClientDestroy(context->client);
    if (result != TCS_RESULT_OK) TFS_ERROR_REPORT(&context->lastError, result, "tcsClientDestroy failed");
    context->client = 0;
    if (context->debugFileName != nullptr) palRealFree(context->debugFileName);
    context->debugFileName = nullptr;
    return result;
}

TcsResult getDatabaseFullPath(char* out, uint32_t size, const char* address, uint16_t value16, const uint8_t* id6,
                              const uint8_t* id16) try {
    if (out == nullptr || address == nullptr) return TCS_RESULT_NULL_POINTER;
    std::memset(out, 0, size);
    if (strstr(address, "sensor://") != nullptr) {
        if (strlen(address) + 1 > size) return TCS_RESULT_BUFFER_TOO_SMALL;
        std::memcpy(out, address, strlen(address) + 1);
        return TCS_RESULT_OK;
    }
    if (strstr(address, "file://") == nullptr) return TCS_RESULT_BAD_PARAM;
    const char* name = strrchr(address, '/');
    if (name == nullptr) return TCS_RESULT_BAD_PARAM;
    char directory[kDirectoryMax + 1] = {};
    if (getcwd(directory, kDirectoryMax) == nullptr) return TCS_RESULT_INVALID;
    char suffix[64];
    int at = snprintf(suffix, sizeof suffix, "_%04x_", value16);
    for (int i = 0; i < 6; ++i) at += snprintf(suffix + at, sizeof suffix - size_t(at), "%02x", id6 != nullptr ? id6[i] : 0);
    at += snprintf(suffix + at, sizeof suffix - size_t(at), "_");
    std::string tail;
    char hex[3];
    for (int i = 0; i < 16; ++i) {
        snprintf(hex, sizeof hex, "%02x", id16 != nullptr ? id16[i] : 0);
        tail += hex;
    }
    tail += ".db";
    std::string full = std::string("file://") + directory + "/" + (name + 1) + suffix + tail;
    if (full.size() + 1 > size) return TCS_RESULT_BUFFER_TOO_SMALL;
    std::memcpy(out, full.c_str(), full.size() + 1);
    return TCS_RESULT_OK;
} catch (...) {
    // Nothing thrown inside may leave the library.
    return TCS_RESULT_OUT_OF_MEMORY;
}

int cleanInputBuffer(FILE* file) {
    if (file == nullptr) return 0;
    int dropped = 0;
    for (int c = fgetc(file); c != EOF && c != '\n'; c = fgetc(file)) ++dropped;
    return dropped;
}

TcsResult readMenuOptionEx(int* outOption, volatile int* abortFlag) {
    if (outOption == nullptr) return TCS_RESULT_INVALID;
    int c = fgetc(stdin);
    while (c == '\n') c = fgetc(stdin);
    if (c == EOF) return TCS_RESULT_INVALID;
    if (abortFlag != nullptr && *abortFlag != 0) {
        *outOption = '0';
        return TCS_RESULT_OK;
    }
    int next = fgetc(stdin);
    if (next == '\n' || next == EOF) {
        *outOption = c;
        return TCS_RESULT_OK;
    }
    cleanInputBuffer(stdin);
    return TCS_RESULT_INVALID;
}

TcsResult readMenuOption(int* outOption) { return readMenuOptionEx(outOption, nullptr); }

int readUnsignedNumber(void) {
    int c = fgetc(stdin);
    while (c == '\n') c = fgetc(stdin);
    if (c < '1' || c > '9') return -1;
    long value = c - '0';
    for (c = fgetc(stdin); c >= '0' && c <= '9'; c = fgetc(stdin)) {
        value = value * 10 + (c - '0');
        if (value > 0x7fffffff) value = 0x7fffffff;
    }
    if (c != '\n' && c != EOF) {
        cleanInputBuffer(stdin);
        return -1;
    }
    return int(value);
}

char* trim_spaces(char* text) {
    if (text == nullptr) return nullptr;
    while (*text == ' ' || *text == '\t') ++text;
    size_t length = strlen(text);
    while (length > 0 && (text[length - 1] == ' ' || text[length - 1] == '\t')) text[--length] = '\0';
    return text;
}

TcsResult tcsReadStringFromInputBufferWithoutNewLine(char* buffer, int size, FILE* file) try {
    if (buffer == nullptr || file == nullptr || size <= 0) return TCS_RESULT_NULL_POINTER;
    std::memset(buffer, 0, size_t(size));
    const size_t lineSize = size > 1024 ? size_t(size) + 128 : 1024;
    std::string line(lineSize, '\0');
    if (fgets(line.data(), int(lineSize), file) == nullptr) return TCS_RESULT_BAD_PARAM;
    size_t length = strlen(line.c_str());
    if (length > 0 && line[length - 1] == '\n') --length;
    if (length == 0 || length > size_t(size)) return TCS_RESULT_BAD_PARAM;
    const size_t copy = std::min(length, size_t(size) - 1);
    std::memcpy(buffer, line.data(), copy);
    return TCS_RESULT_OK;
} catch (...) {
    // Nothing thrown inside may leave the library.
    return TCS_RESULT_OUT_OF_MEMORY;
}

}  // extern "C"
