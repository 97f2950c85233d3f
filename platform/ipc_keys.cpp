// Key files of the named System V objects, and the test seam that moves them away from /tmp/tcsSemKey_.

#include "platform/detail/ipc_keys.h"

#include "platform/test_seams.h"

#include <cerrno>
#include <fcntl.h>
#include <mutex>
#include <sys/ipc.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr const char* kDefaultPrefix = "/tmp/tcsSemKey_";
constexpr mode_t kKeyFileMode = 0600;
constexpr int kObjectMode = 0600;
std::mutex gPrefixLock;
std::string& prefix() {
    static auto* value = new std::string(kDefaultPrefix);
    return *value;
}

bool trustedFile(const struct stat& status) {
    return S_ISREG(status.st_mode) && status.st_nlink == 1 && pal::detail::trustedOwner(status.st_uid);
}

// ftok's own arithmetic (glibc), taken from the descriptor: a link swapped in at the path between
// the open and ftok's stat would otherwise give the key of another file.
key_t keyOf(const struct stat& status) {
    return key_t(uint32_t(status.st_ino & 0xFFFF) | uint32_t(status.st_dev & 0xFF) << 16 | 1u << 24);
}

// Whose the object is and how wide open; narrows an object of our own that others could use.
template <typename Permissions>
bool takeObject(Permissions& perm, bool& narrow) {
    if (!pal::detail::trustedOwner(perm.uid) || !pal::detail::trustedOwner(perm.cuid)) return false;
    narrow = (perm.mode & 0077) != 0 && perm.uid == ::geteuid();
    perm.mode &= 0600;
    return true;
}

}  // namespace

namespace pal::detail {

std::string ipcKeyPrefix() {
    std::lock_guard<std::mutex> hold(gPrefixLock);
    return prefix();
}

bool trustedOwner(uid_t owner) { return owner == ::geteuid() || owner == 0; }

bool keyFileTrusted(const std::string& path) {
    struct stat status;
    return ::lstat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode) && trustedOwner(status.st_uid);
}

bool openKeyFile(const char* name, KeyFile* out) {
    KeyFile file;
    bool made = false;
    if (name != nullptr) {
        file.path = ipcKeyPrefix() + name;
        // Without following a link (a link planted here made its target), and without blocking
        // on a FIFO put in its place.
        file.descriptor = ::open(file.path.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC,
                                 kKeyFileMode);
    } else {
        std::string pattern = ipcKeyPrefix() + "XXXXXX";
        std::vector<char> buffer(pattern.begin(), pattern.end());
        buffer.push_back('\0');
        file.descriptor = mkostemp(buffer.data(), O_CLOEXEC);
        file.path = buffer.data();
        made = true;
    }
    if (file.descriptor < 0) return false;
    struct stat status;
    if (::fstat(file.descriptor, &status) != 0 || !trustedFile(status)) {
        ::close(file.descriptor);
        if (made) ::unlink(file.path.c_str());
        return false;
    }
    file.device = status.st_dev;
    file.inode = status.st_ino;
    file.key = keyOf(status);
    *out = std::move(file);
    return true;
}

void removeKeyFile(KeyFile* keyFile) {
    if (keyFile->descriptor >= 0) ::close(keyFile->descriptor);
    keyFile->descriptor = -1;
    struct stat status;
    if (!keyFile->path.empty() && ::lstat(keyFile->path.c_str(), &status) == 0 && status.st_dev == keyFile->device &&
        status.st_ino == keyFile->inode) {
        ::unlink(keyFile->path.c_str());
    }
}

int semaphoreSetFor(key_t key) {
    int set = ::semget(key, 1, IPC_CREAT | kObjectMode);
    if (set < 0) return -1;
    semid_ds status{};
    bool narrow = false;
    if (::semctl(set, 0, IPC_STAT, &status) != 0 || !takeObject(status.sem_perm, narrow)) return -1;
    if (narrow && ::semctl(set, 0, IPC_SET, &status) != 0) return -1;
    return set;
}

int segmentFor(key_t key, size_t size) {
    int segment = ::shmget(key, size, IPC_CREAT | kObjectMode);
    if (segment < 0) return -1;
    shmid_ds status{};
    bool narrow = false;
    if (::shmctl(segment, IPC_STAT, &status) != 0 || !takeObject(status.shm_perm, narrow)) return -1;
    if (narrow && ::shmctl(segment, IPC_SET, &status) != 0) return -1;
    return segment;
}

}  // namespace pal::detail

extern "C" void palTestSetIpcKeyPrefix(const char* value) {
    std::lock_guard<std::mutex> hold(gPrefixLock);
    prefix() = value != nullptr ? value : kDefaultPrefix;
}
