// Key files of the named System V objects: shared by events, semaphores and shared memory.
#pragma once

#include <string>
#include <sys/types.h>

namespace pal::detail {

// The key-file prefix, "/tmp/tcsSemKey_" unless a test has set its own.
std::string ipcKeyPrefix();

// An open key file and the System V key made from it with ftok(path, 1).
struct KeyFile {
    std::string path;
    int descriptor = -1;
    key_t key = -1;
};

// Opens or creates prefix + name (mode 0777, write-only); for a NULL name a unique path made by
// mkstemp from prefix + "XXXXXX". False when any step fails; nothing is left behind then.
bool openKeyFile(const char* name, KeyFile* out);
// Closes and unlinks the key file.
void removeKeyFile(KeyFile* keyFile);

}  // namespace pal::detail
