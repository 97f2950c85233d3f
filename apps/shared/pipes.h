// Named pipes (FIFOs) of the client library and the test seam that moves them away from /tmp.
#pragma once

#include "tcs/result.h"

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

// A FIFO path and its descriptor, opened lazily by the first read or write.
typedef struct PalPipe {
    int32_t mode;  // stored only
    char* path;
    int32_t descriptor;  // -1 while closed
} PalPipe;

TcsResult palPipeCreate(const char* path, int32_t mode, PalPipe** inOutPipe);
TcsResult palPipeOpen(const char* path, int32_t mode, PalPipe** inOutPipe);
TcsResult palPipeRead(PalPipe* pipe, void* buffer, uint32_t count);
TcsResult palPipeWrite(PalPipe* pipe, const void* data, uint32_t count);
TcsResult palPipeDisconnect(PalPipe* pipe);
TcsResult palPipeClose(PalPipe* pipe);
TcsResult palPipeConnect(PalPipe* pipe);

// Directory (with trailing slash) in front of every channel's FIFO name; NULL restores "/tmp/".
void tovClientTestSetPipeDirectory(const char* directory);
// The directory now in force, copied into buffer (at least 64 bytes).
void tovClientPipeDirectory(char* buffer, uint32_t size);

#ifdef __cplusplus
}

namespace tov::client {

// Reads exactly count bytes. Waits in slices of sliceMs and gives up with 34 when giveUp() says so
// between slices; 209 when the writer has gone (end of file), 40 on another read failure.
template <typename GiveUp>
TcsResult pipeReadPolling(PalPipe* pipe, void* buffer, uint32_t count, uint32_t sliceMs, GiveUp giveUp);

// Drops the bytes that wait in a FIFO open for reading now, without waiting for more.
void pipeDiscardPending(PalPipe* pipe);

// Untemplated core of the above.
TcsResult pipeReadWith(PalPipe* pipe, void* buffer, uint32_t count, uint32_t sliceMs, bool (*giveUp)(void*),
                       void* context);

template <typename GiveUp>
TcsResult pipeReadPolling(PalPipe* pipe, void* buffer, uint32_t count, uint32_t sliceMs, GiveUp giveUp) {
    return pipeReadWith(pipe, buffer, count, sliceMs,
                        [](void* context) { return (*static_cast<GiveUp*>(context))(); }, &giveUp);
}

}  // namespace tov::client
#endif
