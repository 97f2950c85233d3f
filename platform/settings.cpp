// Persistent settings: a text registry of sections and values, reread and rewritten whole on every access.

#include "platform/settings.h"

#include "platform/memory.h"
#include "platform/test_seams.h"
#include "platform/text.h"
#include "platform/threads.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

namespace {

constexpr const char* kDefaultPath = "/etc/TovanticPersistentData";
constexpr int kLineBuffer = 9216;
constexpr int kNameLineLimit = 1024;
// A value text may be longer than the line buffer: the 64 KiB raw partition a sensor paired by
// password keeps here is 131072 hex characters, so the reader grows its buffer to the declared
// length. The bound only keeps a damaged length from asking for gigabytes.
constexpr long kMaxTextLength = (4L << 20) - 1;
constexpr size_t kMaxSectionName = kNameLineLimit - 4;  // "[", "]", LF within one read
constexpr size_t kMaxValueName = kNameLineLimit - 8;    // "[", up to four digits, "]", LF

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

class File {
public:
    explicit File(FILE* file) : file_(file) {}
    ~File() {
        if (file_ != nullptr) std::fclose(file_);
    }
    File(const File&) = delete;
    File& operator=(const File&) = delete;
    FILE* get() const { return file_; }
    int close() {
        int result = std::fclose(file_);
        file_ = nullptr;
        return result;
    }

private:
    FILE* file_;
};

char* copyText(const char* text, size_t length) {
    auto* copy = static_cast<char*>(palRealMalloc(uint32_t(length + 1)));
    if (copy == nullptr) return nullptr;
    std::memcpy(copy, text, length);
    copy[length] = '\0';
    return copy;
}

void freeValue(PersistentValue* value) {
    if (value == nullptr) return;
    palRealFree(value->name);
    palRealFree(value->text);
    palRealFree(value);
}

void freeSection(PersistentSection* section) {
    while (!palListIsEmpty(&section->values)) {
        PalListEntry* entry = section->values.next;
        palListRemove(entry);
        freeValue(PAL_LIST_RECORD(entry, PersistentValue, links));
    }
    palRealFree(section->name);
    palRealFree(section);
}

PersistentSection* newSection(const char* name, size_t length) {
    auto* section = static_cast<PersistentSection*>(palRealMalloc(sizeof(PersistentSection)));
    if (section == nullptr) return nullptr;
    std::memset(section, 0, sizeof(*section));
    palListInit(&section->values);
    section->name = copyText(name, length);
    if (section->name == nullptr) {
        palRealFree(section);
        return nullptr;
    }
    section->nameSize = uint32_t(length + 1);
    return section;
}

PersistentValue* newValue(const char* name, size_t length) {
    auto* value = static_cast<PersistentValue*>(palRealMalloc(sizeof(PersistentValue)));
    if (value == nullptr) return nullptr;
    std::memset(value, 0, sizeof(*value));
    value->name = copyText(name, length);
    if (value->name == nullptr) {
        palRealFree(value);
        return nullptr;
    }
    value->nameSize = uint32_t(length + 1);
    return value;
}

bool setText(PersistentValue* value, const char* text, size_t length) {
    char* copy = copyText(text, length);
    if (copy == nullptr) return false;
    palRealFree(value->text);
    value->text = copy;
    value->textSize = uint32_t(length + 1);
    return true;
}

// Reads and drops the rest of the current line, whatever its length.
void discardLine(FILE* file, char* buffer) {
    while (std::fgets(buffer, kLineBuffer, file) != nullptr) {
        if (std::strchr(buffer, '\n') != nullptr) return;
    }
}

bool isLeadingBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

TcsResult parse(FILE* file, PalListEntry* head) {
    static thread_local std::vector<char> buffer(kLineBuffer);
    char* line = buffer.data();
    PersistentSection* current = nullptr;
    PersistentValue* pending = nullptr;
    int limit = kNameLineLimit;
    TcsResult result = TCS_RESULT_OK;
    while (std::fgets(line, limit, file) != nullptr) {
        limit = kNameLineLimit;
        char* close = std::strchr(line, ']');
        char* open = std::strchr(line, '[');
        if (line[0] == '[' && close != nullptr) {
            freeValue(pending);  // a name line without its text line
            pending = nullptr;
            current = newSection(line + 1, size_t(close - line - 1));
            if (current == nullptr) {
                result = TCS_RESULT_OUT_OF_MEMORY;
                break;
            }
            palListInsertTail(head, &current->links);
        } else if (open != nullptr) {
            freeValue(pending);
            pending = nullptr;
            close = std::strchr(open, ']');
            long length = close != nullptr ? std::strtol(open + 1, nullptr, 10) : 0;
            if (current == nullptr || length < 0 || length > kMaxTextLength) {
                // Hand-edited or damaged files only: a value before any section, or a declared length
                // past the bound. The value and its text line are skipped rather than overrun.
                discardLine(file, line);
                continue;
            }
            PersistentValue* value = newValue(line, size_t(open - line));
            if (value == nullptr || (close == nullptr || length == 0 ? !setText(value, "", 0) : false)) {
                freeValue(value);
                result = TCS_RESULT_OUT_OF_MEMORY;
                break;
            }
            if (close == nullptr) {
                // A name line without "]" ends the reading; its value stays, empty.
                palListInsertTail(&current->values, &value->links);
                break;
            }
            if (length == 0) {
                palListInsertTail(&current->values, &value->links);  // its empty text line is skipped next
            } else {
                pending = value;
                limit = int(length) + 1;  // exactly the declared characters; the LF comes as its own line
                if (size_t(limit) > buffer.size()) {
                    buffer.resize(size_t(limit));
                    line = buffer.data();
                }
            }
        } else {
            if (pending == nullptr || isLeadingBlank(line[0])) continue;
            size_t length = std::strlen(line);
            while (length > 0 && isLeadingBlank(line[length - 1])) length--;
            if (!setText(pending, line, length)) {
                result = TCS_RESULT_OUT_OF_MEMORY;
                break;
            }
            palListInsertTail(&current->values, &pending->links);
            pending = nullptr;
        }
    }
    freeValue(pending);
    if (result != TCS_RESULT_OK) palFreeAllPersistentData(head);
    return result;
}

PersistentSection* findSection(PalListEntry* head, const char* name, PalListEntry* after = nullptr) {
    for (PalListEntry* e = (after != nullptr ? after : head)->next; e != head; e = e->next) {
        auto* section = PAL_LIST_RECORD(e, PersistentSection, links);
        if (palStringsMatch(section->name, name)) return section;
    }
    return nullptr;
}

PersistentValue* findValue(PersistentSection* section, const char* name) {
    for (PalListEntry* e = section->values.next; e != &section->values; e = e->next) {
        auto* value = PAL_LIST_RECORD(e, PersistentValue, links);
        if (palStringsMatch(value->name, name)) return value;
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

// A text that would not read back as written (a LF or "[" in it, a leading blank, longer than a
// line) would corrupt the values after it when the file is next read, so it is refused.
bool storableText(const char* text, size_t length) {
    return length <= size_t(kMaxTextLength) && std::memchr(text, '\n', length) == nullptr &&
           std::memchr(text, '[', length) == nullptr && (length == 0 || !isLeadingBlank(text[0]));
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

void palFreeAllPersistentData(PalListEntry* head) {
    if (head == nullptr || head->next == nullptr) return;
    while (!palListIsEmpty(head)) {
        PalListEntry* entry = head->next;
        palListRemove(entry);
        freeSection(PAL_LIST_RECORD(entry, PersistentSection, links));
    }
}

TcsResult palReadAllPersistentData(PalListEntry* head) {
    if (head == nullptr) return TCS_RESULT_NULL_POINTER;
    palListInit(head);
    SettingsLock hold;
    std::string path = settingsPath();
    FILE* raw = std::fopen(path.c_str(), "r");
    // Created only when missing: an existing file that cannot be read must not be truncated.
    if (raw == nullptr && errno == ENOENT) raw = std::fopen(path.c_str(), "w+");
    if (raw == nullptr) return TCS_RESULT_FILE_OPEN_FAILED;
    File file(raw);
    return parse(file.get(), head);
}

TcsResult palWriteAllPersistentData(PalListEntry* head) {
    if (head == nullptr) return TCS_RESULT_NULL_POINTER;
    SettingsLock hold;
    File file(std::fopen(settingsPath().c_str(), "w"));
    if (file.get() == nullptr) return TCS_RESULT_FILE_OPEN_FAILED;
    bool written = true;
    for (PalListEntry* s = head->next; s != head; s = s->next) {
        auto* section = PAL_LIST_RECORD(s, PersistentSection, links);
        written &= std::fprintf(file.get(), "[%s]\n", section->name) >= 0;
        for (PalListEntry* v = section->values.next; v != &section->values; v = v->next) {
            auto* value = PAL_LIST_RECORD(v, PersistentValue, links);
            const char* text = value->text != nullptr ? value->text : "";
            written &= std::fprintf(file.get(), "%s[%d]\n", value->name, int(std::strlen(text))) >= 0;
            written &= std::fprintf(file.get(), "%s\n", text) >= 0;
        }
    }
    // A full disk must not pass for a stored value.
    written &= file.close() == 0;
    return written ? TCS_RESULT_OK : TCS_RESULT_FILE_WRITE_FAILED;
}

TcsResult palSetPersistentDataStringValue(const char* section, const char* name, const char* text, uint32_t) {
    if (section == nullptr || name == nullptr || text == nullptr) return TCS_RESULT_NULL_POINTER;
    size_t length = std::strlen(text);
    if (!storableText(text, length)) return TCS_RESULT_BAD_PARAM;
    SettingsLock hold;
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
    if (count > uint32_t(kMaxTextLength / 2)) return TCS_RESULT_BAD_PARAM;
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
    SettingsLock hold;
    ParsedFile parsed;
    TcsResult result = palReadAllPersistentData(&parsed.head);
    if (result != TCS_RESULT_OK) return result;
    // The other way round from the getters: the stored names are prefixes of the requested ones.
    bool removed = false;
    for (PalListEntry* s = parsed.head.next; s != &parsed.head && !removed; s = s->next) {
        auto* stored = PAL_LIST_RECORD(s, PersistentSection, links);
        if (!palStringsMatch(section, stored->name)) continue;
        for (PalListEntry* v = stored->values.next; v != &stored->values; v = v->next) {
            auto* value = PAL_LIST_RECORD(v, PersistentValue, links);
            if (palStringsMatch(name, value->name)) {
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
