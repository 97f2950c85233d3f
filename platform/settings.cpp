// Persistent settings: a text registry of sections and values, reread and rewritten whole on every access.

#include "platform/settings.h"

#include "platform/detail/settings_text.h"
#include "platform/memory.h"
#include "platform/test_seams.h"
#include "platform/text.h"
#include "platform/threads.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <new>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using pal::detail::freeValue;
using pal::detail::newSection;
using pal::detail::newValue;
using pal::detail::setText;

constexpr const char* kDefaultPath = "/etc/TovanticPersistentData";
// The replacement is written beside the file under a name of its own (this suffix, made unique) and
// renamed over it, so a reader never sees half a file.
constexpr const char* kTempSuffix = ".XXXXXX";
// A value text may be longer than a line: the 64 KiB raw partition a sensor paired by password keeps
// here is 131072 hex characters. The bound only keeps a caller's mistake from a file of gigabytes.
constexpr size_t kMaxTextLength = (4u << 20) - 1;
// Section and name lines stay within the 1023 characters the format allows them.
constexpr size_t kMaxSectionName = 1020;  // "[", "]", LF
constexpr size_t kMaxValueName = 1016;    // "[", up to four digits, "]", LF
// It holds pairing secrets: never readable by other users.
constexpr mode_t kFileMode = 0600;

std::mutex gPathLock;
std::string& pathValue() {
    static auto* path = new std::string(kDefaultPath);
    return *path;
}

std::string settingsPath() {
    std::lock_guard<std::mutex> hold(gPathLock);
    return pathValue();
}

// One process-wide recursive lock, made before its first use and never destroyed: a set or remove
// holds it from its read to its write, and the reader and writer take it again inside.
PalMutexHandle settingsLock() {
    static PalMutexHandle lock = [] {
        PalMutexHandle made = nullptr;
        palCriticalSectionInitialize(&made);
        return made;
    }();
    return lock;
}

class SettingsLock {
public:
    SettingsLock() { palCriticalSectionAcquire(settingsLock()); }
    ~SettingsLock() { palCriticalSectionRelease(settingsLock()); }
    SettingsLock(const SettingsLock&) = delete;
    SettingsLock& operator=(const SettingsLock&) = delete;
};

class Descriptor {
public:
    explicit Descriptor(int fd) : fd_(fd) {}
    ~Descriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return fd_; }
    int release() {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }

private:
    int fd_;
};

// Opens the file for reading without following a link, creating it empty when missing. A link planted
// at the path, or anything but a regular file, is refused: it would be read, then replaced.
int openSettingsFile(const std::string& path) {
    for (;;) {
        int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0 && errno == ENOENT) {
            fd = ::open(path.c_str(), O_RDONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, kFileMode);
            if (fd < 0 && errno == EEXIST) continue;  // made by another process meanwhile
        }
        if (fd < 0) return -1;
        struct stat status;
        if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
            ::close(fd);
            return -1;
        }
        return fd;
    }
}

bool lockFile(int fd, int operation) {
    for (;;) {
        if (::flock(fd, operation) == 0) return true;
        if (errno != EINTR) return false;
    }
}

// Writers in other processes are kept out by an flock on the settings file itself. A writer replaces
// the file, so a lock won on a file that is no longer at the path is let go and taken on the new one.
// Nested holders in one thread share the outermost one's lock; the state is guarded by the settings
// lock.
class WriterLock {
public:
    WriterLock() {
        if (gDepth == 0) {
            gFile = lockCurrentFile(settingsPath());
            if (gFile < 0) return;
        }
        ++gDepth;
        held_ = true;
    }
    ~WriterLock() {
        if (held_ && --gDepth == 0) {
            ::close(gFile);  // lets the flock go
            gFile = -1;
        }
    }
    WriterLock(const WriterLock&) = delete;
    WriterLock& operator=(const WriterLock&) = delete;
    bool held() const { return held_; }
    // Whether this thread holds it; asked under the settings lock.
    static bool heldHere() { return gDepth > 0; }
    // The locked file: the one the replacement takes the place of.
    static int lockedFile() { return gFile; }

private:
    static int lockCurrentFile(const std::string& path) {
        for (;;) {
            Descriptor file(openSettingsFile(path));
            if (file.get() < 0) return -1;
            if (!lockFile(file.get(), LOCK_EX)) return -1;
            struct stat opened, current;
            if (::fstat(file.get(), &opened) == 0 && ::lstat(path.c_str(), &current) == 0 &&
                opened.st_dev == current.st_dev && opened.st_ino == current.st_ino) {
                return file.release();
            }
        }
    }

    SettingsLock hold_;
    bool held_ = false;
    static inline int gFile = -1;
    static inline unsigned gDepth = 0;
};

bool readAll(int fd, std::string* out) {
    char chunk[16384];
    for (;;) {
        ssize_t got = ::read(fd, chunk, sizeof chunk);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return false;
        if (got == 0) return true;
        out->append(chunk, size_t(got));
    }
}

bool writeAll(int fd, const std::string& text) {
    for (size_t done = 0; done < text.size();) {
        ssize_t put = ::write(fd, text.data() + done, text.size() - done);
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) return false;
        done += size_t(put);
    }
    return true;
}

std::string folderOf(const std::string& path) {
    size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// A file mounted in its own right (a bind mount, as containers give single files) cannot be renamed
// over, so it is rewritten in place: its space reserved first, so that a full disk fails before a byte
// of it changes. Readers take the lock shared, so none sees it half written.
TcsResult rewriteInPlace(const std::string& path, const std::string& text, const struct stat& old) {
    Descriptor file(::open(path.c_str(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC));
    struct stat opened;
    if (file.get() < 0 || ::fstat(file.get(), &opened) != 0 || opened.st_dev != old.st_dev ||
        opened.st_ino != old.st_ino) {
        return TCS_RESULT_FILE_OPEN_FAILED;
    }
    if (text.size() > size_t(old.st_size)) {
        int reserved = ::posix_fallocate(file.get(), 0, off_t(text.size()));
        if (reserved != 0 && reserved != EOPNOTSUPP && reserved != EINVAL) return TCS_RESULT_FILE_WRITE_FAILED;
    }
    bool written = ::fchmod(file.get(), old.st_mode & kFileMode) == 0 && writeAll(file.get(), text) &&
                   ::ftruncate(file.get(), off_t(text.size())) == 0 && ::fsync(file.get()) == 0;
    return written ? TCS_RESULT_OK : TCS_RESULT_FILE_WRITE_FAILED;
}

// Writes the text to a new file beside the settings file and renames it over it: the file is then
// the old one or the new one, whole, even when the disk fills or the process dies. The new file takes
// the old one's owner and its mode, no wider than 0600.
TcsResult replaceFile(const std::string& path, const std::string& text, int oldFile) {
    struct stat old;
    if (::fstat(oldFile, &old) != 0) return TCS_RESULT_FILE_OPEN_FAILED;
    // A fresh name each time, made with O_EXCL, so nothing planted there is followed. One fixed name
    // was shared by writers whose locks are on different files (each with its own file bind-mounted
    // at the path, the folder shared): one removed the other's file before its rename, and that
    // write failed.
    std::string temp = path + kTempSuffix;
    Descriptor file(::mkostemp(temp.data(), O_CLOEXEC));
    if (file.get() < 0) return TCS_RESULT_FILE_OPEN_FAILED;
    bool written = ::fchmod(file.get(), old.st_mode & kFileMode) == 0;
    if (written && (old.st_uid != ::geteuid() || old.st_gid != ::getegid())) {
        (void)!::fchown(file.get(), old.st_uid, old.st_gid);  // only a privileged writer can
    }
    written = written && writeAll(file.get(), text) && ::fsync(file.get()) == 0;
    written = ::close(file.release()) == 0 && written;
    if (!written || ::rename(temp.c_str(), path.c_str()) != 0) {
        const bool mounted = written && errno == EBUSY;
        ::unlink(temp.c_str());
        return mounted ? rewriteInPlace(path, text, old) : TCS_RESULT_FILE_WRITE_FAILED;
    }
    // The rename itself must reach the disk before a caller counts the value as stored.
    Descriptor folder(::open(folderOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (folder.get() >= 0) ::fsync(folder.get());
    return TCS_RESULT_OK;
}

PersistentSection* findSection(PalListEntry* head, const char* name, PalListEntry* after = nullptr) {
    for (PalListEntry* e = (after != nullptr ? after : head)->next; e != head; e = e->next) {
        auto* section = PAL_LIST_RECORD(e, PersistentSection, links);
        if (!section->verbatim && palStringsMatch(section->name, name)) return section;
    }
    return nullptr;
}

PersistentValue* findValue(PersistentSection* section, const char* name) {
    for (PalListEntry* e = section->values.next; e != &section->values; e = e->next) {
        auto* value = PAL_LIST_RECORD(e, PersistentValue, links);
        if (!value->verbatim && palStringsMatch(value->name, name)) return value;
    }
    return nullptr;
}

// Frees the parsed list when it goes out of scope.
struct ParsedFile {
    PalListEntry head;
    ParsedFile() { palListInit(&head); }
    ~ParsedFile() { palFreeAllPersistentData(&head); }
    ParsedFile(const ParsedFile&) = delete;
    ParsedFile& operator=(const ParsedFile&) = delete;
};

// Refused texts would not read back as written and could corrupt the values after them.
bool storableText(const char* text, size_t length) {
    return length <= kMaxTextLength && pal::detail::storableText(text, length);
}

bool storableSectionName(const char* name) {
    size_t length = std::strlen(name);
    return length <= kMaxSectionName && std::strpbrk(name, "]\n") == nullptr;
}

bool storableValueName(const char* name) {
    size_t length = std::strlen(name);
    return length > 0 && length <= kMaxValueName && std::strpbrk(name, "[\n") == nullptr;
}

char hexDigit(uint32_t nibble) { return "0123456789ABCDEF"[nibble & 0xF]; }

uint8_t nibbleOf(char c) {
    if (c >= '0' && c <= '9') return uint8_t(c - '0');
    if (c >= 'A' && c <= 'F') return uint8_t(c - 'A' + 10);
    if (c >= 'a' && c <= 'f') return uint8_t(c - 'a' + 10);
    return 0;
}

}  // namespace

extern "C" {

void palTestSetSettingsPath(const char* path) {
    std::lock_guard<std::mutex> hold(gPathLock);
    pathValue() = path != nullptr ? path : kDefaultPath;
}

TcsResult palReadAllPersistentData(PalListEntry* head) {
    if (head == nullptr) return TCS_RESULT_NULL_POINTER;
    palListInit(head);
    SettingsLock hold;
    Descriptor file(openSettingsFile(settingsPath()));
    if (file.get() < 0) return TCS_RESULT_FILE_OPEN_FAILED;
    // A replaced file is read whole as it was; the shared lock only waits out a rewrite in place.
    if (!WriterLock::heldHere()) lockFile(file.get(), LOCK_SH);
    try {
        std::string text;
        if (!readAll(file.get(), &text)) return TCS_RESULT_FILE_READ_FAILED;
        return pal::detail::parseSettingsText(text.data(), text.size(), head);
    } catch (const std::bad_alloc&) {
        return TCS_RESULT_OUT_OF_MEMORY;
    }
}

TcsResult palWriteAllPersistentData(PalListEntry* head) {
    if (head == nullptr) return TCS_RESULT_NULL_POINTER;
    WriterLock lock;
    if (!lock.held()) return TCS_RESULT_FILE_OPEN_FAILED;
    try {
        std::string text;
        TcsResult result = pal::detail::formatSettingsText(head, &text);
        if (result != TCS_RESULT_OK) return result;
        return replaceFile(settingsPath(), text, WriterLock::lockedFile());
    } catch (const std::bad_alloc&) {
        return TCS_RESULT_OUT_OF_MEMORY;
    }
}

TcsResult palSetPersistentDataStringValue(const char* section, const char* name, const char* text, uint32_t) {
    if (section == nullptr || name == nullptr || text == nullptr) return TCS_RESULT_NULL_POINTER;
    size_t length = std::strlen(text);
    if (!storableText(text, length)) return TCS_RESULT_BAD_PARAM;
    // An empty request would take the section's first value, whatever its name.
    if (name[0] == '\0') return TCS_RESULT_BAD_PARAM;
    WriterLock lock;
    if (!lock.held()) return TCS_RESULT_FILE_OPEN_FAILED;
    ParsedFile parsed;
    TcsResult result = palReadAllPersistentData(&parsed.head);
    if (result != TCS_RESULT_OK) return result;
    PersistentSection* found = findSection(&parsed.head, section);
    PersistentValue* value = found != nullptr ? findValue(found, name) : nullptr;
    if (value != nullptr) {
        if (!setText(value, text, length)) return TCS_RESULT_OUT_OF_MEMORY;
    } else {
        if (!storableValueName(name) || (found == nullptr && !storableSectionName(section))) {
            return TCS_RESULT_BAD_PARAM;
        }
        if (found == nullptr) {
            found = newSection(section, std::strlen(section));
            if (found == nullptr) return TCS_RESULT_OUT_OF_MEMORY;
            palListInsertTail(&parsed.head, &found->links);
        }
        value = newValue(name, std::strlen(name));
        if (value == nullptr || !setText(value, text, length)) {
            freeValue(value);
            return TCS_RESULT_OUT_OF_MEMORY;
        }
        palListInsertTail(&found->values, &value->links);
    }
    return palWriteAllPersistentData(&parsed.head);
}

TcsResult palSetPersistentDataLongValue(const char* section, const char* name, uint32_t value) {
    if (section == nullptr || name == nullptr) return TCS_RESULT_NULL_POINTER;
    char text[16];
    uint32_t length = palSprintf(text, sizeof text, "%lu", static_cast<unsigned long>(value));
    return palSetPersistentDataStringValue(section, name, text, length);
}

TcsResult palSetPersistentDataBinaryValue(const char* section, const char* name, const uint8_t* bytes,
                                          uint32_t count) {
    if (section == nullptr || name == nullptr || bytes == nullptr) return TCS_RESULT_BAD_PARAM;
    if (count > kMaxTextLength / 2) return TCS_RESULT_BAD_PARAM;
    auto* text = static_cast<char*>(palRealMalloc(2 * count + 1));
    if (text == nullptr) return TCS_RESULT_OUT_OF_MEMORY;
    for (uint32_t i = 0; i < count; ++i) {
        text[2 * i] = hexDigit(bytes[i] >> 4);
        text[2 * i + 1] = hexDigit(bytes[i]);
    }
    text[2 * count] = '\0';
    TcsResult result = palSetPersistentDataStringValue(section, name, text, 2 * count + 1);
    palRealFree(text);
    return result;
}

TcsResult palGetPersistentDataStringValue(const char* section, const char* name, const char* defaultText,
                                          uint32_t defaultSize, char* buffer, uint32_t* size) {
    if (section == nullptr || name == nullptr || size == nullptr) return TCS_RESULT_NULL_POINTER;
    ParsedFile parsed;
    TcsResult result = palReadAllPersistentData(&parsed.head);
    // An unreadable file leaves the defaults; only a failed parse is reported.
    if (result == TCS_RESULT_OUT_OF_MEMORY) return result;
    PersistentValue* value = nullptr;
    for (PersistentSection* s = findSection(&parsed.head, section); s != nullptr && value == nullptr;
         s = findSection(&parsed.head, section, &s->links)) {
        value = findValue(s, name);
    }
    if (value != nullptr) {
        if (buffer != nullptr) {
            if (*size < value->textSize) return TCS_RESULT_BUFFER_TOO_SMALL;
            std::memcpy(buffer, value->text, value->textSize);
        }
        *size = value->textSize;
        return TCS_RESULT_OK;
    }
    if (buffer == nullptr) {
        *size = defaultSize;
        return TCS_RESULT_OK;
    }
    if (*size < defaultSize) return TCS_RESULT_BUFFER_TOO_SMALL;
    if (defaultText == nullptr) return TCS_RESULT_NULL_POINTER;
    if (*size > 0) {
        size_t length = strnlen(defaultText, defaultSize);
        if (length > *size - 1) length = *size - 1;
        std::memcpy(buffer, defaultText, length);
        buffer[length] = '\0';
    }
    return TCS_RESULT_OK;
}

TcsResult palGetPersistentDataLongValue(const char* section, const char* name, uint32_t defaultValue,
                                        uint32_t* value) {
    if (section == nullptr || name == nullptr || value == nullptr) return TCS_RESULT_NULL_POINTER;
    char defaultText[16];
    uint32_t defaultLength = palSprintf(defaultText, sizeof defaultText, "%d", int32_t(defaultValue));
    char text[260];
    uint32_t size = sizeof text;
    TcsResult result = palGetPersistentDataStringValue(section, name, defaultText, defaultLength + 1, text, &size);
    if (result != TCS_RESULT_OK) {
        *value = defaultValue;
        return result;
    }
    *value = uint32_t(std::strtol(text, nullptr, 10));
    return TCS_RESULT_OK;
}

TcsResult palGetPersistentDataBinaryValue(const char* section, const char* name, const uint8_t* defaultBytes,
                                          uint32_t defaultCount, uint8_t* bytes, uint32_t* count) {
    if (section == nullptr || name == nullptr || defaultBytes == nullptr || count == nullptr) {
        return TCS_RESULT_NULL_POINTER;
    }
    if (defaultCount > 0x7FFFFFFEu / 2 || (bytes != nullptr && *count > 0x7FFFFFFEu / 2)) return TCS_RESULT_BAD_PARAM;
    char* defaultText = nullptr;
    uint32_t defaultSize = 0;
    if (defaultCount > 0) {
        defaultSize = 2 * defaultCount + 1;
        defaultText = static_cast<char*>(palRealMalloc(defaultSize));
        if (defaultText == nullptr) return TCS_RESULT_OUT_OF_MEMORY;
        for (uint32_t i = 0; i < defaultCount; ++i) {
            defaultText[2 * i] = hexDigit(defaultBytes[i] >> 4);
            defaultText[2 * i + 1] = hexDigit(defaultBytes[i]);
        }
        defaultText[2 * defaultCount] = '\0';
    }
    TcsResult result;
    if (bytes == nullptr) {
        uint32_t size = 0;
        result = palGetPersistentDataStringValue(section, name, defaultText, defaultSize, nullptr, &size);
        if (result == TCS_RESULT_OK) *count = size / 2;
    } else {
        uint32_t size = 2 * *count + 1;
        auto* text = static_cast<char*>(palRealMalloc(size));
        if (text == nullptr) {
            palRealFree(defaultText);
            return TCS_RESULT_OUT_OF_MEMORY;
        }
        std::memset(text, 0, size);
        result = palGetPersistentDataStringValue(section, name, defaultText, defaultSize, text, &size);
        if (result == TCS_RESULT_OK) {
            uint32_t decoded = size / 2;
            for (uint32_t i = 0; i < decoded; ++i) {
                bytes[i] = uint8_t(nibbleOf(text[2 * i]) << 4 | nibbleOf(text[2 * i + 1]));
            }
            *count = decoded;
        }
        palRealFree(text);
    }
    palRealFree(defaultText);
    return result;
}

TcsResult palRemovePersistentDataValue(const char* section, const char* name) {
    if (section == nullptr || name == nullptr) return TCS_RESULT_NULL_POINTER;
    WriterLock lock;
    if (!lock.held()) return TCS_RESULT_FILE_OPEN_FAILED;
    ParsedFile parsed;
    TcsResult result = palReadAllPersistentData(&parsed.head);
    if (result != TCS_RESULT_OK) return result;
    // The other way round from the getters: the stored names are prefixes of the requested ones.
    bool removed = false;
    for (PalListEntry* s = parsed.head.next; s != &parsed.head && !removed; s = s->next) {
        auto* stored = PAL_LIST_RECORD(s, PersistentSection, links);
        if (stored->verbatim || !palStringsMatch(section, stored->name)) continue;
        for (PalListEntry* v = stored->values.next; v != &stored->values; v = v->next) {
            auto* value = PAL_LIST_RECORD(v, PersistentValue, links);
            if (!value->verbatim && palStringsMatch(name, value->name)) {
                palListRemove(v);
                freeValue(value);
                removed = true;
                break;
            }
        }
    }
    return palWriteAllPersistentData(&parsed.head);
}

TcsResult palGetPersistentQueryInfo(const char* section, uint32_t*, uint32_t*) {
    return section == nullptr ? TCS_RESULT_NULL_POINTER : TCS_RESULT_NOT_IMPLEMENTED;
}

TcsResult palGetPersistentEnumValue(const char* section, uint32_t, char*, uint32_t*) {
    return section == nullptr ? TCS_RESULT_NULL_POINTER : TCS_RESULT_NOT_IMPLEMENTED;
}

TcsResult palGetPersistentEnumKey(const char* section, uint32_t, char*, uint32_t*) {
    return section == nullptr ? TCS_RESULT_NULL_POINTER : TCS_RESULT_NOT_IMPLEMENTED;
}

TcsResult palCreatePersistentKey(const char* section) {
    return section == nullptr ? TCS_RESULT_NULL_POINTER : TCS_RESULT_NOT_IMPLEMENTED;
}

TcsResult palDeletePersistentKey(const char* section) {
    return section == nullptr ? TCS_RESULT_NULL_POINTER : TCS_RESULT_NOT_IMPLEMENTED;
}

TcsResult palVerifyPersistentKeyExistence(const char* section, const char* name) {
    return section == nullptr || name == nullptr ? TCS_RESULT_NULL_POINTER : TCS_RESULT_NOT_IMPLEMENTED;
}

TcsResult palGetPersistentKeyNameFromSensorId(const char*, char*, uint32_t) { return TCS_RESULT_NOT_IMPLEMENTED; }

}  // extern "C"
