// Named pipes: FIFOs opened lazily, read and written whole, and the seam that moves their directory.

#include "apps/shared/pipes.h"

#include "platform/clock.h"
#include "platform/detail/ipc_keys.h"
#include "platform/memory.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <mutex>
#include <poll.h>
#include <pthread.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr const char* kDefaultDirectory = "/tmp/";
// A writer waits this long for the reading side to appear before it gives up: opening a FIFO for
// writing would otherwise block for ever when the peer process is gone.
constexpr uint32_t kWriterOpenTries = 40;
constexpr uint32_t kWriterOpenSleepMs = 25;

std::mutex gDirectoryLock;
std::string& directory() {
    static auto* value = new std::string(kDefaultDirectory);
    return *value;
}

// The FIFOs live in a folder every local user writes to: one is used only when it is a FIFO whose
// owner is this user or root (the service), never a link, a file or a device put in its place.
bool trustedFifo(const struct stat& status) {
    return S_ISFIFO(status.st_mode) && pal::detail::trustedOwner(status.st_uid);
}

bool fifoAt(const char* path) {
    struct stat status;
    return lstat(path, &status) == 0 && trustedFifo(status);
}

// Opens without following a link, then checks what was opened (the path may have changed since).
int openFifo(const char* path, int flags) {
    int descriptor = open(path, flags | O_NOFOLLOW | O_CLOEXEC);
    if (descriptor < 0) return -1;
    struct stat status;
    if (fstat(descriptor, &status) != 0 || !trustedFifo(status)) {
        close(descriptor);
        errno = EPERM;
        return -1;
    }
    return descriptor;
}

char* copyPath(const char* path) {
    size_t length = std::strlen(path);
    auto* copy = static_cast<char*>(palRealMalloc(uint32_t(length + 1)));
    if (copy != nullptr) std::memcpy(copy, path, length + 1);
    return copy;
}

PalPipe* makeRecord(const char* path, int32_t mode) {
    auto* pipe = static_cast<PalPipe*>(palRealMalloc(sizeof(PalPipe)));
    if (pipe == nullptr) return nullptr;
    pipe->mode = mode;
    pipe->descriptor = -1;
    pipe->path = copyPath(path);
    if (pipe->path == nullptr) {
        palRealFree(pipe);
        return nullptr;
    }
    return pipe;
}

// Reading side: opened without blocking, so a reader never hangs in open() waiting for a writer
// that may never come; reads wait in poll() instead, which also tells end of file apart.
TcsResult openForReading(PalPipe* pipe) {
    if (pipe->descriptor >= 0) return TCS_RESULT_OK;
    int descriptor = openFifo(pipe->path, O_RDONLY | O_NONBLOCK);
    if (descriptor < 0) return TCS_RESULT_FILE_OPEN_FAILED;
    pipe->descriptor = descriptor;
    return TCS_RESULT_OK;
}

TcsResult openForWriting(PalPipe* pipe) {
    if (pipe->descriptor >= 0) return TCS_RESULT_OK;
    for (uint32_t attempt = 0; attempt < kWriterOpenTries; ++attempt) {
        int descriptor = openFifo(pipe->path, O_WRONLY | O_NONBLOCK);
        if (descriptor >= 0) {
            // Writes block again once connected: a long block must pass whole, in pieces.
            int flags = fcntl(descriptor, F_GETFL);
            fcntl(descriptor, F_SETFL, flags & ~O_NONBLOCK);
            pipe->descriptor = descriptor;
            return TCS_RESULT_OK;
        }
        if (errno != ENXIO) return TCS_RESULT_FILE_OPEN_FAILED;
        palSleep(kWriterOpenSleepMs);
    }
    return TCS_RESULT_FILE_OPEN_FAILED;
}

// Writes with SIGPIPE held back on this thread, so a reader that went away gives EPIPE rather than
// ending the whole process.
bool writeAll(int descriptor, const uint8_t* data, uint32_t count) {
    sigset_t pipeSignal, previous;
    sigemptyset(&pipeSignal);
    sigaddset(&pipeSignal, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipeSignal, &previous);
    bool complete = true;
    uint32_t done = 0;
    while (done < count) {
        ssize_t written = write(descriptor, data + done, count - done);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) {
            complete = false;
            break;
        }
        done += uint32_t(written);
    }
    if (!complete && errno == EPIPE) {
        timespec none{0, 0};
        sigtimedwait(&pipeSignal, nullptr, &none);
    }
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    return complete;
}

}  // namespace

namespace tov::client {

void pipeDiscardPending(PalPipe* pipe) {
    if (pipe == nullptr || pipe->descriptor < 0) return;
    uint8_t chunk[4096];
    for (;;) {
        pollfd waiting{pipe->descriptor, POLLIN, 0};
        if (poll(&waiting, 1, 0) <= 0 || (waiting.revents & POLLIN) == 0) return;
        if (read(pipe->descriptor, chunk, sizeof(chunk)) <= 0) return;
    }
}

TcsResult pipeReadWith(PalPipe* pipe, void* buffer, uint32_t count, uint32_t sliceMs, bool (*giveUp)(void*),
                       void* context) {
    if (pipe == nullptr || buffer == nullptr || count == 0) return TCS_RESULT_NULL_POINTER;
    TcsResult opened = openForReading(pipe);
    if (opened != TCS_RESULT_OK) return opened;
    auto* at = static_cast<uint8_t*>(buffer);
    uint32_t done = 0;
    // A FIFO delivers a long payload in pieces of at most its capacity: read until the count is in.
    while (done < count) {
        pollfd waiting{pipe->descriptor, POLLIN, 0};
        int ready = poll(&waiting, 1, giveUp != nullptr ? int(sliceMs) : -1);
        if (ready < 0) {
            if (errno == EINTR) continue;
            return TCS_RESULT_NULL_POINTER;
        }
        if (ready == 0) {
            if (giveUp != nullptr && giveUp(context)) return TCS_RESULT_TIMEOUT;
            continue;
        }
        ssize_t got = read(pipe->descriptor, at + done, count - done);
        if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (got <= 0) return TCS_RESULT_NULL_POINTER;  // end of file: the writer has gone
        done += uint32_t(got);
    }
    return TCS_RESULT_OK;
}

}  // namespace tov::client

extern "C" {

TcsResult palPipeCreate(const char* path, int32_t mode, PalPipe** inOutPipe) {
    if (path == nullptr || inOutPipe == nullptr) return TCS_RESULT_NULL_POINTER;
    // Only the owner reads and writes it; an existing name is taken only when it is a FIFO of ours.
    if (mkfifo(path, 0600) != 0 && (errno != EEXIST || !fifoAt(path))) return 0xFFFFFFFFu;
    if (*inOutPipe != nullptr) return TCS_RESULT_OK;
    PalPipe* pipe = makeRecord(path, mode);
    if (pipe == nullptr) return TCS_RESULT_OUT_OF_MEMORY;
    *inOutPipe = pipe;
    return TCS_RESULT_OK;
}

TcsResult palPipeOpen(const char* path, int32_t mode, PalPipe** inOutPipe) {
    if (path == nullptr || inOutPipe == nullptr) return TCS_RESULT_NULL_POINTER;
    if (!fifoAt(path)) return TCS_RESULT_FILE_OPEN_FAILED;
    if (*inOutPipe != nullptr) return TCS_RESULT_OK;
    PalPipe* pipe = makeRecord(path, mode);
    if (pipe == nullptr) return TCS_RESULT_OUT_OF_MEMORY;
    *inOutPipe = pipe;
    return TCS_RESULT_OK;
}

TcsResult palPipeRead(PalPipe* pipe, void* buffer, uint32_t count) {
    return tov::client::pipeReadWith(pipe, buffer, count, 0, nullptr, nullptr);
}

TcsResult palPipeWrite(PalPipe* pipe, const void* data, uint32_t count) {
    if (pipe == nullptr || data == nullptr || count == 0) return TCS_RESULT_NULL_POINTER;
    TcsResult opened = openForWriting(pipe);
    if (opened != TCS_RESULT_OK) return opened;
    return writeAll(pipe->descriptor, static_cast<const uint8_t*>(data), count) ? TCS_RESULT_OK
                                                                               : TCS_RESULT_NULL_POINTER;
}

TcsResult palPipeDisconnect(PalPipe* pipe) {
    if (pipe == nullptr) return TCS_RESULT_INVALID;
    if (pipe->descriptor >= 0) close(pipe->descriptor);
    pipe->descriptor = -1;
    return TCS_RESULT_OK;
}

TcsResult palPipeClose(PalPipe* pipe) {
    if (pipe == nullptr) return TCS_RESULT_INVALID_HANDLE;
    if (pipe->descriptor >= 0) close(pipe->descriptor);
    palRealFree(pipe->path);
    palRealFree(pipe);
    return TCS_RESULT_OK;
}

TcsResult palPipeConnect(PalPipe* pipe) {
    if (pipe == nullptr || pipe->path == nullptr) return TCS_RESULT_INVALID_HANDLE;
    for (int attempt = 0; attempt < 10; ++attempt) {
        if (access(pipe->path, F_OK) == 0) return TCS_RESULT_OK;
        palSleep(100);
    }
    return TCS_RESULT_DOESNT_EXIST;
}

void tovClientTestSetPipeDirectory(const char* value) {
    std::lock_guard<std::mutex> hold(gDirectoryLock);
    directory() = value != nullptr ? value : kDefaultDirectory;
}

void tovClientPipeDirectory(char* buffer, uint32_t size) {
    if (buffer == nullptr || size == 0) return;
    std::lock_guard<std::mutex> hold(gDirectoryLock);
    std::strncpy(buffer, directory().c_str(), size - 1);
    buffer[size - 1] = '\0';
}

}  // extern "C"
