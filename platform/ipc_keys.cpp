// Key files of the named System V objects, and the test seam that moves them away from /tmp/tcsSemKey_.

#include "platform/detail/ipc_keys.h"

#include "platform/test_seams.h"

#include <fcntl.h>
#include <mutex>
#include <sys/ipc.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr const char* kDefaultPrefix = "/tmp/tcsSemKey_";
std::mutex gPrefixLock;
std::string& prefix() {
    static auto* value = new std::string(kDefaultPrefix);
    return *value;
}

}  // namespace

namespace pal::detail {

std::string ipcKeyPrefix() {
    std::lock_guard<std::mutex> hold(gPrefixLock);
    return prefix();
}

bool openKeyFile(const char* name, KeyFile* out) {
    KeyFile file;
    if (name != nullptr) {
        file.path = ipcKeyPrefix() + name;
    } else {
        std::string pattern = ipcKeyPrefix() + "XXXXXX";
        std::vector<char> buffer(pattern.begin(), pattern.end());
        buffer.push_back('\0');
        int made = mkstemp(buffer.data());
        if (made < 0) return false;
        close(made);
        file.path = buffer.data();
    }
    file.descriptor = open(file.path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0777);
    if (file.descriptor < 0) {
        if (name == nullptr) unlink(file.path.c_str());
        return false;
    }
    file.key = ftok(file.path.c_str(), 1);
    if (file.key == key_t(-1)) {
        removeKeyFile(&file);
        return false;
    }
    *out = std::move(file);
    return true;
}

void removeKeyFile(KeyFile* keyFile) {
    if (keyFile->descriptor >= 0) close(keyFile->descriptor);
    keyFile->descriptor = -1;
    if (!keyFile->path.empty()) unlink(keyFile->path.c_str());
}

}  // namespace pal::detail

extern "C" void palTestSetIpcKeyPrefix(const char* value) {
    std::lock_guard<std::mutex> hold(gPrefixLock);
    prefix() = value != nullptr ? value : kDefaultPrefix;
}
