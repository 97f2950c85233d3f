// Key files of the named System V objects: shared by events, semaphores and shared memory.
#pragma once

#include <string>
#include <sys/types.h>

namespace pal::detail {

// The key-file prefix, "/tmp/tcsSemKey_" unless a test has set its own.
std::string ipcKeyPrefix();

// An open key file and the System V key made from it as ftok(path, 1) makes it.
struct KeyFile {
    std::string path;
    int descriptor = -1;
    key_t key = -1;
    dev_t device = 0;  // the file the descriptor holds, so that removal unlinks only that one
    ino_t inode = 0;
};

// Opens or creates prefix + name (mode 0600, write-only) without following a link; for a NULL name
// a unique path made by mkstemp from prefix + "XXXXXX". An existing file is taken only when it is a
// regular file with one link, owned by this user or root. False when any step fails or the file is
// refused; nothing is left behind then (a refused file is someone else's and stays).
bool openKeyFile(const char* name, KeyFile* out);
// Closes the key file and unlinks it while the path still names that file.
void removeKeyFile(KeyFile* keyFile);

// True when path names (without following a link) a regular file owned by this user or root: what
// the library may take a file under the prefix for (the service's ready file, a key file).
bool keyFileTrusted(const std::string& path);
// True for an owner this process may take a shared file or object from: itself or root.
bool trustedOwner(uid_t owner);

// The System V objects of a key, created owner read-write only (the service and the framework that
// loads the library run as the same user, root). An existing object is taken only when its owner
// and creator are this user or root; one of its own made wider by an older run is narrowed. -1 on
// failure.
int semaphoreSetFor(key_t key);
int segmentFor(key_t key, size_t size);

}  // namespace pal::detail
