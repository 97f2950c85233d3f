// Strings and byte order: bounded copies that refuse rather than cut, prefix tests, sensor byte order.
#pragma once

#include <stdbool.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

// Sizes are byte counts that include the terminating NUL.
// Copies only when size >= strlen(source) + 1; else NULL and the destination is untouched.
char* palStrcpy(char* destination, uint32_t size, const char* source);
char* palAsciiStrcpy(char* destination, uint32_t size, const char* source);
// Appends only when size >= strlen(destination) + strlen(source) + 1; else NULL.
char* palStrcat(char* destination, uint32_t size, const char* source);
char* palAsciiStrcat(char* destination, uint32_t size, const char* source);
// NULL when size < count; else exactly strncpy (no NUL when the source is longer).
char* palStrncpy(char* destination, uint32_t size, const char* source, uint32_t count);
char* palAsciiStrncpy(char* destination, uint32_t size, const char* source, uint32_t count);
// The only operation that cuts: the length when the text fitted, else 0xFFFFFFFF with the text cut.
uint32_t palSprintf(char* buffer, uint32_t size, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
uint32_t palAsciiSprintf(char* buffer, uint32_t size, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

// Units written including the NUL; 0 for a NULL destination or capacity 0.
uint32_t palAsciiToUnicodeString(const char* source, uint16_t* destination, uint32_t capacity);
uint32_t palUnicodeToAsciiString(const uint16_t* source, char* destination, uint32_t capacity);

uint32_t palMemmove(void* destination, uint32_t destinationSize, const void* source, uint32_t count);
int32_t palMemcmp(const void* a, const void* b, uint32_t count);
void* palMemcpy(void* destination, const void* source, uint32_t count);
void* palMemset(void* destination, int value, uint32_t count);
void* palMemchr(const void* block, int value, uint32_t count);

// Prefix tests used by every lookup by name: true when first begins with second.
bool palStringsMatch(const char* first, const char* second);
bool palAsciiStringsMatch(const char* first, const char* second);
bool palStringsIMatch(const char* first, const char* second);
bool palAsciiStringsIMatch(const char* first, const char* second);

uint32_t palStrlen(const char* text);
uint32_t palAsciiStrlen(const char* text);
int32_t palStrcmp(const char* a, const char* b);
int32_t palStricmp(const char* a, const char* b);
int32_t palStrncmp(const char* a, const char* b, uint32_t count);
char* palStrchr(const char* text, int character);
char* palAsciiStrchr(const char* text, int character);
char* palStrrchr(const char* text, int character);
char* palStrstr(const char* text, const char* part);
char* palAsciiStrstr(const char* text, const char* part);
char* palStrtok(char* text, const char* delimiters, char** save);
char* palAsciiStrtok(char* text, const char* delimiters, char** save);
long palStrtol(const char* text, char** end, int base);
long palAsciiStrtol(const char* text, char** end, int base);
unsigned long palStrtoul(const char* text, char** end, int base);
unsigned long palAsciiStrtoul(const char* text, char** end, int base);
bool palIsSpace(char character);
// Lower-cases text in place; returns 1.
uint32_t palToLower(char* text);

// Sensor byte order is little-endian.
uint16_t palHostToSensor16(uint16_t value);
uint32_t palHostToSensor32(uint32_t value);
uint16_t palSensorToHost16(uint16_t value);
uint32_t palSensorToHost32(uint32_t value);

#ifdef __cplusplus
}
#endif
