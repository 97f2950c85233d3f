// Strings and byte order: bounded copies that refuse rather than cut, prefix tests, sensor byte order.

#include "platform/text.h"

#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>

namespace {

uint32_t formatInto(char* buffer, uint32_t size, const char* format, va_list values) {
    if (buffer == nullptr || format == nullptr || size == 0) return 0xFFFFFFFFu;
    int length = std::vsnprintf(buffer, size, format, values);
    if (length < 0 || uint32_t(length) >= size) return 0xFFFFFFFFu;
    return uint32_t(length);
}

bool prefixMatch(const char* first, const char* second, bool ignoreCase) {
    if (first == nullptr || second == nullptr) return false;
    size_t length = std::strlen(second);
    return ignoreCase ? strncasecmp(first, second, length) == 0 : std::strncmp(first, second, length) == 0;
}

template <typename From, typename To>
uint32_t widenOrNarrow(const From* source, To* destination, uint32_t capacity, To (*convert)(From)) {
    if (destination == nullptr || capacity == 0) return 0;
    uint32_t written = 0;
    if (source != nullptr) {
        while (written < capacity - 1 && source[written] != 0) {
            destination[written] = convert(source[written]);
            written++;
        }
    }
    destination[written++] = 0;
    return written;
}

}  // namespace

extern "C" {

char* palStrcpy(char* destination, uint32_t size, const char* source) {
    if (destination == nullptr || source == nullptr) return nullptr;
    size_t length = std::strlen(source);
    if (size < length + 1) return nullptr;
    std::memcpy(destination, source, length + 1);
    return destination;
}

char* palAsciiStrcpy(char* destination, uint32_t size, const char* source) {
    return palStrcpy(destination, size, source);
}

char* palStrcat(char* destination, uint32_t size, const char* source) {
    if (destination == nullptr || source == nullptr) return nullptr;
    size_t present = strnlen(destination, size);
    size_t length = std::strlen(source);
    if (size < present + length + 1) return nullptr;
    std::memcpy(destination + present, source, length + 1);
    return destination;
}

char* palAsciiStrcat(char* destination, uint32_t size, const char* source) {
    return palStrcat(destination, size, source);
}

char* palStrncpy(char* destination, uint32_t size, const char* source, uint32_t count) {
    if (destination == nullptr || source == nullptr || size < count) return nullptr;
    return std::strncpy(destination, source, count);
}

char* palAsciiStrncpy(char* destination, uint32_t size, const char* source, uint32_t count) {
    return palStrncpy(destination, size, source, count);
}

uint32_t palSprintf(char* buffer, uint32_t size, const char* format, ...) {
    va_list values;
    va_start(values, format);
    uint32_t result = formatInto(buffer, size, format, values);
    va_end(values);
    return result;
}

uint32_t palAsciiSprintf(char* buffer, uint32_t size, const char* format, ...) {
    va_list values;
    va_start(values, format);
    uint32_t result = formatInto(buffer, size, format, values);
    va_end(values);
    return result;
}

uint32_t palAsciiToUnicodeString(const char* source, uint16_t* destination, uint32_t capacity) {
    // Bytes widen as signed chars: 0x80-0xFF become 0xFF80-0xFFFF, as stored names expect.
    return widenOrNarrow<char, uint16_t>(source, destination, capacity,
                                         [](char c) { return uint16_t(int16_t(static_cast<signed char>(c))); });
}

uint32_t palUnicodeToAsciiString(const uint16_t* source, char* destination, uint32_t capacity) {
    return widenOrNarrow<uint16_t, char>(source, destination, capacity, [](uint16_t u) { return char(u & 0xFF); });
}

uint32_t palMemmove(void* destination, uint32_t, const void* source, uint32_t count) {
    if (count != 0) std::memmove(destination, source, count);
    return count;
}

int32_t palMemcmp(const void* a, const void* b, uint32_t count) {
    if (count == 0) return 0;
    int result = std::memcmp(a, b, count);
    return result < 0 ? -1 : (result > 0 ? 1 : 0);
}

void* palMemcpy(void* destination, const void* source, uint32_t count) {
    if (count == 0) return destination;
    return std::memcpy(destination, source, count);
}

void* palMemset(void* destination, int value, uint32_t count) {
    if (count == 0) return destination;
    return std::memset(destination, value, count);
}

void* palMemchr(const void* block, int value, uint32_t count) {
    if (count == 0) return nullptr;
    return const_cast<void*>(std::memchr(block, value, count));
}

bool palStringsMatch(const char* first, const char* second) { return prefixMatch(first, second, false); }
bool palAsciiStringsMatch(const char* first, const char* second) { return prefixMatch(first, second, false); }
bool palStringsIMatch(const char* first, const char* second) { return prefixMatch(first, second, true); }
bool palAsciiStringsIMatch(const char* first, const char* second) { return prefixMatch(first, second, true); }

uint32_t palStrlen(const char* text) { return text == nullptr ? 0 : uint32_t(std::strlen(text)); }
uint32_t palAsciiStrlen(const char* text) { return palStrlen(text); }
int32_t palStrcmp(const char* a, const char* b) { return std::strcmp(a, b); }
int32_t palStricmp(const char* a, const char* b) { return strcasecmp(a, b); }
int32_t palStrncmp(const char* a, const char* b, uint32_t count) { return std::strncmp(a, b, count); }
char* palStrchr(const char* text, int character) { return const_cast<char*>(std::strchr(text, character)); }
char* palAsciiStrchr(const char* text, int character) { return palStrchr(text, character); }
char* palStrrchr(const char* text, int character) { return const_cast<char*>(std::strrchr(text, character)); }
char* palStrstr(const char* text, const char* part) { return const_cast<char*>(std::strstr(text, part)); }
char* palAsciiStrstr(const char* text, const char* part) { return palStrstr(text, part); }
char* palStrtok(char* text, const char* delimiters, char** save) { return strtok_r(text, delimiters, save); }
char* palAsciiStrtok(char* text, const char* delimiters, char** save) { return strtok_r(text, delimiters, save); }
long palStrtol(const char* text, char** end, int base) { return std::strtol(text, end, base); }
long palAsciiStrtol(const char* text, char** end, int base) { return std::strtol(text, end, base); }
unsigned long palStrtoul(const char* text, char** end, int base) { return std::strtoul(text, end, base); }
unsigned long palAsciiStrtoul(const char* text, char** end, int base) { return std::strtoul(text, end, base); }

// A negative (high-bit) character is never white space; the C library must not see it as an index.
bool palIsSpace(char character) { return character >= 0 && std::isspace(character) != 0; }

uint32_t palToLower(char* text) {
    for (char* p = text; p != nullptr && *p != 0; ++p) *p = char(std::tolower(static_cast<unsigned char>(*p)));
    return 1;
}

// The sensor is little-endian; so is every host this builds for, where these are identities.
static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__ || __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__);
uint16_t palHostToSensor16(uint16_t value) {
    return __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__ ? value : __builtin_bswap16(value);
}
uint32_t palHostToSensor32(uint32_t value) {
    return __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__ ? value : __builtin_bswap32(value);
}
uint16_t palSensorToHost16(uint16_t value) { return palHostToSensor16(value); }
uint32_t palSensorToHost32(uint32_t value) { return palHostToSensor32(value); }

}  // extern "C"
