// The channel objects and FIFO writes both service stand-ins share.
#include "sim/service/service_wire.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace sim::service {

void put32(std::vector<uint8_t>& out, uint32_t value) {
    // Sized first, then filled: g++ 12 misreads byte-wise push_back on small vectors.
    const size_t at = out.size();
    out.resize(at + 4);
    for (int i = 0; i < 4; ++i) out[at + size_t(i)] = uint8_t(value >> (8 * i));
}

void put64(std::vector<uint8_t>& out, uint64_t value) {
    const size_t at = out.size();
    out.resize(at + 8);
    for (int i = 0; i < 8; ++i) out[at + size_t(i)] = uint8_t(value >> (8 * i));
}

uint32_t get32(const std::vector<uint8_t>& in, size_t at) {
    if (at + 4 > in.size()) return 0;
    uint32_t value = 0;
    for (int i = 3; i >= 0; --i) value = (value << 8) | in[at + size_t(i)];
    return value;
}

uint64_t get64(const std::vector<uint8_t>& in, size_t at) {
    return uint64_t(get32(in, at)) | (uint64_t(get32(in, at + 4)) << 32);
}

bool writeAll(int descriptor, const uint8_t* data, size_t count) {
    sigset_t pipeSignal, previous;
    sigemptyset(&pipeSignal);
    sigaddset(&pipeSignal, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipeSignal, &previous);
    size_t done = 0;
    bool ok = true;
    while (done < count) {
        ssize_t written = write(descriptor, data + done, count - done);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) {
            ok = false;
            break;
        }
        done += size_t(written);
    }
    if (!ok) {
        timespec none{0, 0};
        sigtimedwait(&pipeSignal, nullptr, &none);
    }
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    return ok;
}

int openWriter(const std::string& path) {
    for (int attempt = 0; attempt < 200; ++attempt) {
        int descriptor = open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        if (descriptor >= 0) {
            fcntl(descriptor, F_SETFL, fcntl(descriptor, F_GETFL) & ~O_NONBLOCK);
            return descriptor;
        }
        if (errno != ENXIO) return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return -1;
}

bool writeAgainOnce(int* descriptor, const std::string& path, const std::vector<uint8_t>& bytes) {
    if (*descriptor >= 0 && writeAll(*descriptor, bytes.data(), bytes.size())) return true;
    if (*descriptor >= 0) close(*descriptor);
    *descriptor = openWriter(path);
    return *descriptor >= 0 && writeAll(*descriptor, bytes.data(), bytes.size());
}

bool readExact(int reader, uint8_t* buffer, size_t count, const std::atomic<bool>& stop) {
    size_t done = 0;
    while (done < count) {
        if (stop) return false;
        pollfd waiting{reader, POLLIN, 0};
        if (poll(&waiting, 1, 50) <= 0) continue;
        ssize_t got = read(reader, buffer + done, count - done);
        if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (got <= 0) return false;
        done += size_t(got);
    }
    return true;
}

void clearPlanted(const std::string& path, mode_t type) {
    struct stat status;
    if (lstat(path.c_str(), &status) != 0) return;
    if ((status.st_mode & S_IFMT) != type || status.st_uid != geteuid()) unlink(path.c_str());
}

PalSharedObject* freshSegment(const std::string& name, uint32_t size) {
    if (PalSharedObject* stale = palSharedMemoryOpen(name.c_str(), 1)) palSharedMemoryFree(stale);
    return palSharedMemoryAlloc(name.c_str(), size);
}

bool ChannelObjects::create(const std::string& directory, const std::string& keyPrefix, const std::string& name) {
    if (!keyPrefix.empty()) {
        for (const char* suffix : {"MMF", "Sema", "Event"}) clearPlanted(keyPrefix + name + suffix, S_IFREG);
    }
    segment = freshSegment(name + "MMF", kSegmentSize);
    semaphore = palSemaphoreAlloc((name + "Sema").c_str(), 1);
    event = palEventAlloc(0, 0, (name + "Event").c_str());
    path = directory + name;
    if (!keyPrefix.empty()) clearPlanted(path, S_IFIFO);
    // The owner's alone, as the client library makes its FIFOs; an existing one only if it is ours.
    struct stat status;
    bool fifo = mkfifo(path.c_str(), 0600) == 0 ||
                (errno == EEXIST && lstat(path.c_str(), &status) == 0 && S_ISFIFO(status.st_mode) &&
                 status.st_uid == geteuid());
    return segment != nullptr && semaphore != nullptr && event != nullptr && fifo;
}

void ChannelObjects::destroy() {
    if (event != nullptr) palEventFree(event);
    if (segment != nullptr) palSharedMemoryFree(segment);
    if (semaphore != nullptr) palSemaphoreFree(semaphore);
    if (!path.empty()) unlink(path.c_str());
    *this = ChannelObjects{};
}

std::vector<uint8_t> replyBlock(uint32_t thread, uint8_t function, const std::vector<uint8_t>& payload,
                                uint32_t lengthField) {
    std::vector<uint8_t> block;
    put32(block, 0);
    put32(block, thread);
    block.push_back(function);
    block.insert(block.end(), 3, 0);
    put32(block, lengthField);
    block.insert(block.end(), payload.begin(), payload.end());
    return block;
}

std::vector<uint8_t> eventBlock(uint32_t id, uint32_t status, uint64_t handle, uint64_t callback, uint64_t userData,
                                const std::vector<uint8_t>& payload) {
    std::vector<uint8_t> bytes;
    put32(bytes, status);
    put32(bytes, id);
    put32(bytes, uint32_t(payload.size()));
    put32(bytes, 0);
    put64(bytes, handle);
    put64(bytes, callback);
    put64(bytes, userData);
    bytes.insert(bytes.end(), payload.begin(), payload.end());
    return bytes;
}

}  // namespace sim::service
