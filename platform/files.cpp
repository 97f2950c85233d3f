// Files, directories, dynamic loading and terminal keys over the C library.

#include "platform/files.h"

#include "platform/text.h"

#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <ftw.h>
#include <strings.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace {

// nftw gives its callback no context, so the walk's state lives here; walks nest at most two deep.
struct Walk {
    const char* extension;
    PalDirWalkCallback callback;
    void* userData;
    uint32_t count;
    uint32_t level;
};
constexpr int kMaxWalkDepth = 2;
thread_local Walk* tWalks[kMaxWalkDepth];
thread_local int tWalkDepth = 0;

bool endsWithIgnoringCase(const char* path, const char* extension) {
    size_t pathLength = std::strlen(path);
    size_t extensionLength = std::strlen(extension);
    return extensionLength <= pathLength && strcasecmp(path + pathLength - extensionLength, extension) == 0;
}

int visitEntry(const char* path, const struct stat* status, int kind, FTW*) {
    Walk* walk = tWalks[tWalkDepth - 1];
    bool counted = false;
    if (kind == FTW_F && S_ISREG(status->st_mode)) {
        counted = walk->extension != nullptr && endsWithIgnoringCase(path, walk->extension);
    } else if (kind == FTW_D) {
        counted = walk->extension == nullptr && std::strcmp(path, ".") != 0 && std::strcmp(path, "..") != 0;
    }
    if (counted) {
        walk->count++;
        if (walk->callback != nullptr) walk->callback(walk->userData, walk->count, path, walk->level);
    }
    return 0;
}

// Non-canonical, no echo; restored by the destructor. Inactive when standard input is no terminal.
class RawTerminal {
public:
    RawTerminal() {
        active_ = tcgetattr(STDIN_FILENO, &saved_) == 0;
        if (!active_) return;
        termios raw = saved_;
        raw.c_lflag &= ~tcflag_t(ICANON | ECHO);
        tcsetattr(STDIN_FILENO, TCSANOW, &raw);
    }
    ~RawTerminal() {
        if (active_) tcsetattr(STDIN_FILENO, TCSANOW, &saved_);
    }
    RawTerminal(const RawTerminal&) = delete;
    RawTerminal& operator=(const RawTerminal&) = delete;

private:
    termios saved_{};
    bool active_ = false;
};

}  // namespace

extern "C" {

FILE* palFileOpen(const char* path, const char* mode) {
    if (path == nullptr || mode == nullptr) return nullptr;
    return std::fopen(path, mode);
}

int palFileClose(FILE* file) { return file == nullptr ? EOF : std::fclose(file); }

char* palFileGets(char* buffer, uint32_t n, FILE* file) {
    if (buffer == nullptr || file == nullptr || n == 0 || n > 0x7FFFFFFFu) return nullptr;
    return std::fgets(buffer, int(n), file);
}

char* palAsciiFileGets(char* buffer, uint32_t n, FILE* file) { return palFileGets(buffer, n, file); }

int palFileGetc(FILE* file) { return file == nullptr ? EOF : std::fgetc(file); }

uint32_t palFileRead(void* buffer, uint32_t itemSize, uint32_t itemCount, FILE* file) {
    if (buffer == nullptr || file == nullptr) return 0;
    return uint32_t(std::fread(buffer, itemSize, itemCount, file));
}

uint32_t palFileWrite(const void* buffer, uint32_t itemSize, uint32_t itemCount, FILE* file) {
    if (buffer == nullptr || file == nullptr) return 0;
    return uint32_t(std::fwrite(buffer, itemSize, itemCount, file));
}

int palFileSeek(FILE* file, uint32_t offset, uint32_t origin) {
    static const int kOrigins[] = {SEEK_SET, SEEK_CUR, SEEK_END};
    if (file == nullptr || origin > 2) return -1;
    return std::fseek(file, long(offset), kOrigins[origin]);
}

uint32_t palFileTell(FILE* file) { return file == nullptr ? 0xFFFFFFFFu : uint32_t(std::ftell(file)); }

int palFprintf(FILE* file, const char* format, ...) {
    va_list values;
    va_start(values, format);
    int result = std::vfprintf(file != nullptr ? file : stdout, format, values);
    va_end(values);
    return result;
}

int palAsciiFprintf(FILE* file, const char* format, ...) {
    va_list values;
    va_start(values, format);
    int result = std::vfprintf(file != nullptr ? file : stdout, format, values);
    va_end(values);
    return result;
}

int palFscanf(FILE* file, const char* format, ...) {
    va_list values;
    va_start(values, format);
    int result = std::vfscanf(file != nullptr ? file : stdin, format, values);
    va_end(values);
    return result;
}

int palFileAccess(const char* path, int mode) { return path == nullptr ? -1 : access(path, mode); }

int palFileRemove(const char* path) { return path == nullptr ? -1 : std::remove(path); }

int palFileRename(const char*, const char*) { return 0; }

int palDirCreate(const char* path) {
    if (path == nullptr) return 161;
    // Hexadecimal 0x777 (octal 3567) as the system has always created its directories.
    return mkdir(path, 0x777);
}

uint32_t palDirWalk(const char* directory, const char* extension, void*, PalDirWalkCallback callback,
                    void* userData) {
    if (directory == nullptr || tWalkDepth >= kMaxWalkDepth) return 0;
    Walk walk{extension, callback, userData, 0, uint32_t(tWalkDepth)};
    tWalks[tWalkDepth++] = &walk;
    nftw(directory, visitEntry, 1024, 0);
    tWalkDepth--;
    return walk.count;
}

uint32_t palGetCurrentDirectory(char* buffer, uint32_t size) {
    if (buffer == nullptr || size == 0 || getcwd(buffer, size) == nullptr) return 0;
    return uint32_t(std::strlen(buffer));
}

uint32_t palGetModuleFileName(char* buffer, uint32_t size) {
    if (buffer == nullptr || size == 0) return 0;
    buffer[0] = '\0';
    char path[4096] = {};
    ssize_t length = readlink("/proc/self/exe", path, 4094);
    if (length > 0 && access(path, F_OK) == 0) {
        palStrcpy(buffer, size, path);
        return uint32_t(std::strlen(buffer));
    }
    FILE* maps = std::fopen("/proc/self/maps", "r");
    if (maps != nullptr) {
        char line[4096] = {};
        if (std::fgets(line, sizeof line, maps) != nullptr && std::strstr(line, " r-xp ") != nullptr) {
            if (char* start = std::strchr(line, '/')) {
                start[std::strcspn(start, "\n")] = '\0';
                palStrcpy(buffer, size, start);
            }
        }
        std::fclose(maps);
    }
    return uint32_t(std::strlen(buffer));
}

void* palLoadLibrary(const char* path) { return path == nullptr ? nullptr : dlopen(path, RTLD_LAZY); }

void* palGetProcAddress(void* library, const char* symbol) {
    if (library == nullptr || symbol == nullptr) return nullptr;
    return dlsym(library, symbol);
}

bool palFreeLibrary(void* library) { return library != nullptr && dlclose(library) == 0; }

int palGetch(void) {
    RawTerminal raw;
    return std::getchar();
}

bool palKbhit(void) {
    RawTerminal raw;
    int flags = fcntl(STDIN_FILENO, F_GETFL, 0);
    fcntl(STDIN_FILENO, F_SETFL, flags | O_NONBLOCK);
    int character = std::getchar();
    fcntl(STDIN_FILENO, F_SETFL, flags);
    if (character == EOF) {
        std::clearerr(stdin);
        return false;
    }
    std::ungetc(character, stdin);
    return true;
}

}  // extern "C"
