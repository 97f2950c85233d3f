// What both service stand-ins share: the channel objects a service makes for the client library
// (segment, semaphore, named event and FIFO of one channel name), little-endian fields, and writes
// on a FIFO whose reader may go away.
#pragma once

#include "platform/threads.h"

#include <atomic>
#include <cstdint>
#include <string>
#include <sys/types.h>
#include <vector>

namespace sim::service {

inline constexpr uint32_t kSegmentSize = 1280064;
inline constexpr uint32_t kRequestHeader = 64;
inline constexpr uint32_t kMaxPayload = 1280000;
inline constexpr const char* kStateSegmentName = "FPServiceInfoFileMapping";

void put32(std::vector<uint8_t>& out, uint32_t value);
void put64(std::vector<uint8_t>& out, uint64_t value);
uint32_t get32(const std::vector<uint8_t>& in, size_t at);  // 0 past the end
uint64_t get64(const std::vector<uint8_t>& in, size_t at);

// Writes every byte (SIGPIPE kept off the process); false when the reader has gone.
bool writeAll(int descriptor, const uint8_t* data, size_t count);
// Opens the writing side once the client has its reading side open; -1 after about 2 s.
int openWriter(const std::string& path);
// Writes on an open writer; a client that closed its end (after bad input) opens it again, so the
// write is tried once more on a new opening.
bool writeAgainOnce(int* descriptor, const std::string& path, const std::vector<uint8_t>& bytes);

// Reads exactly count bytes from a non-blocking reader, looking at `stop` between 50 ms waits;
// false when it is set or the reader fails.
bool readExact(int reader, uint8_t* buffer, size_t count, const std::atomic<bool>& stop);

// Removes what is at path unless it is of the given type (S_IFREG, S_IFIFO) and this user's.
void clearPlanted(const std::string& path, mode_t type);
// A segment made afresh: one a killed service left under the same key (perhaps of another size,
// which would make every later attach fail) is removed first.
PalSharedObject* freshSegment(const std::string& name, uint32_t size);

struct ChannelObjects {
    PalSharedObject* segment = nullptr;
    PalSharedObject* semaphore = nullptr;
    PalEvent* event = nullptr;
    std::string path;

    // keyPrefix: the key-file prefix in force; when set, what was planted at the channel's key
    // files and FIFO is removed first, as a service starting afresh clears its names.
    bool create(const std::string& directory, const std::string& keyPrefix, const std::string& name);
    void destroy();
};

// A reply block: {0, thread, function, 3 pad, length} then the payload.
std::vector<uint8_t> replyBlock(uint32_t thread, uint8_t function, const std::vector<uint8_t>& payload,
                                uint32_t lengthField);
// An event block: the 40-byte header then the payload.
std::vector<uint8_t> eventBlock(uint32_t id, uint32_t status, uint64_t handle, uint64_t callback, uint64_t userData,
                                const std::vector<uint8_t>& payload);

}  // namespace sim::service
