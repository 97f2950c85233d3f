// Files, directories, dynamic loading and terminal keys over the C library.
#pragma once

#include <stdbool.h>
#include <stdint.h>
#include <stdio.h>

#ifdef __cplusplus
extern "C" {
#endif

FILE* palFileOpen(const char* path, const char* mode);
int palFileClose(FILE* file);
// One line of at most n - 1 bytes; NULL at the end of the file.
char* palFileGets(char* buffer, uint32_t n, FILE* file);
char* palAsciiFileGets(char* buffer, uint32_t n, FILE* file);
int palFileGetc(FILE* file);
uint32_t palFileRead(void* buffer, uint32_t itemSize, uint32_t itemCount, FILE* file);
uint32_t palFileWrite(const void* buffer, uint32_t itemSize, uint32_t itemCount, FILE* file);
// Origin 0 start, 1 current, 2 end.
int palFileSeek(FILE* file, uint32_t offset, uint32_t origin);
uint32_t palFileTell(FILE* file);
// A NULL file means standard output (print) or standard input (scan).
int palFprintf(FILE* file, const char* format, ...) __attribute__((format(printf, 2, 3)));
int palAsciiFprintf(FILE* file, const char* format, ...) __attribute__((format(printf, 2, 3)));
int palFscanf(FILE* file, const char* format, ...) __attribute__((format(scanf, 2, 3)));
int palFileAccess(const char* path, int mode);
int palFileRemove(const char* path);
// Does nothing and returns 0.
int palFileRename(const char* oldPath, const char* newPath);

// 161 for a NULL path; else mkdir's answer. The mode is 0x777 (octal 3567), not 0777.
int palDirCreate(const char* path);

// Called for each counted entry: count so far, full path, nesting level (0 outer walk, 1 inner).
typedef void (*PalDirWalkCallback)(void* userData, uint32_t count, const char* path, uint32_t level);
// Counts files ending in extension (any case), or directories when extension is NULL.
uint32_t palDirWalk(const char* directory, const char* extension, void* reserved, PalDirWalkCallback callback,
                    void* userData);

uint32_t palGetCurrentDirectory(char* buffer, uint32_t size);
uint32_t palGetModuleFileName(char* buffer, uint32_t size);

void* palLoadLibrary(const char* path);
void* palGetProcAddress(void* library, const char* symbol);
bool palFreeLibrary(void* library);

int palGetch(void);
bool palKbhit(void);

#ifdef __cplusplus
}
#endif
