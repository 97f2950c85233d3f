// The settings file's text: section lines, then per value a name line with the text's length and a
// text line. Parsed into lists and written back without losing a line.
#include "platform/detail/settings_text.h"

#include "platform/memory.h"

#include <cstdint>
#include <cstring>

namespace pal::detail {
namespace {

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

bool allBlank(const char* text, size_t length) {
    for (size_t i = 0; i < length; ++i) {
        if (!isBlank(text[i])) return false;
    }
    return true;
}

char* copyBytes(const char* bytes, size_t length) {
    if (length >= UINT32_MAX) return nullptr;
    auto* copy = static_cast<char*>(palRealMalloc(uint32_t(length + 1)));
    if (copy == nullptr) return nullptr;
    if (length > 0) std::memcpy(copy, bytes, length);
    copy[length] = '\0';
    return copy;
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

// One line of the file, without its LF; it may hold NULs.
struct Line {
    const char* at;
    size_t length;
    const char* find(char c) const { return static_cast<const char*>(std::memchr(at, c, length)); }
};

// The length field of a name line: decimal digits closed by "]" (anything after it was always ignored).
// Only whether it is zero matters: the text line is taken whole, so a length that disagrees with its
// text loses nothing.
bool readLengthField(const char* field, const char* end, bool* nonZero) {
    bool digits = false;
    *nonZero = false;
    for (; field < end && *field >= '0' && *field <= '9'; ++field) {
        digits = true;
        *nonZero |= *field != '0';
    }
    return digits && field < end && *field == ']';
}

class Parser {
public:
    explicit Parser(PalListEntry* head) : head_(head) {}

    // False when memory runs out.
    bool take(Line line) {
        const bool hasNul = line.find('\0') != nullptr;
        if (line.length > 0 && line.at[0] == '[') {
            if (!flushPending()) return false;
            const char* close = line.find(']');
            if (close != nullptr && !hasNul) return addSection(line.at + 1, size_t(close - line.at - 1), false);
            // A header cut short or holding a NUL: its values stay under it, out of every look-up's reach,
            // rather than fall into the section before it.
            return addSection(line.at, line.length, true);
        }
        if (const char* open = line.find('[')) {
            if (!flushPending()) return false;
            bool textFollows = false;
            if (hasNul || !readLengthField(open + 1, line.at + line.length, &textFollows)) return keep(line);
            if (!textFollows) return addValue(line.at, size_t(open - line.at), "", 0);
            if (!openSection()) return false;
            pending_ = line;
            pendingName_ = size_t(open - line.at);
            // Lines kept while the text is awaited go behind the value, where a rewrite puts them.
            pendingPlace_ = current_->values.prev;
            hasPending_ = true;
            return true;
        }
        if (hasPending_ && !hasNul && line.length > 0 && !isBlank(line.at[0])) {
            size_t length = line.length;
            while (isBlank(line.at[length - 1])) --length;  // a CR LF file reads as an LF one
            hasPending_ = false;
            return addValue(pending_.at, pendingName_, line.at, length, pendingPlace_);
        }
        if (allBlank(line.at, line.length)) return true;  // a blank line holds nothing
        return keep(line);
    }

    bool finish() { return flushPending(); }

private:
    // A name line whose text line never came is kept as it was, in its place.
    bool flushPending() {
        if (!hasPending_) return true;
        hasPending_ = false;
        return keep(pending_, pendingPlace_);
    }

    bool addSection(const char* name, size_t length, bool verbatim) {
        PersistentSection* section = newSection(name, length);
        if (section == nullptr) return false;
        section->verbatim = verbatim ? 1 : 0;
        palListInsertTail(head_, &section->links);
        current_ = section;
        return true;
    }

    // Lines before the first header go to a nameless section of their own.
    bool openSection() { return current_ != nullptr || addSection("", 0, true); }

    // Links the value behind after, or at the end of the current section.
    bool place(PersistentValue* value, PalListEntry* after) {
        if (!openSection()) {
            freeValue(value);
            return false;
        }
        palListInsertAfter(after != nullptr ? after : current_->values.prev, &value->links);
        return true;
    }

    bool addValue(const char* name, size_t nameLength, const char* text, size_t textLength,
                  PalListEntry* where = nullptr) {
        PersistentValue* value = newValue(name, nameLength);
        if (value == nullptr) return false;
        if (!setText(value, text, textLength)) {
            freeValue(value);
            return false;
        }
        return place(value, where);
    }

    bool keep(Line line, PalListEntry* where = nullptr) {
        PersistentValue* value = newValue(line.at, line.length);
        if (value == nullptr) return false;
        value->verbatim = 1;
        return place(value, where);
    }

    PalListEntry* head_;
    PersistentSection* current_ = nullptr;
    Line pending_{nullptr, 0};
    size_t pendingName_ = 0;
    PalListEntry* pendingPlace_ = nullptr;
    bool hasPending_ = false;
};

void appendLine(std::string* out, const char* bytes, size_t length) {
    out->append(bytes, length);
    out->push_back('\n');
}

bool writableSectionName(const char* name) { return name != nullptr && std::strpbrk(name, "]\n") == nullptr; }

bool writableValueName(const char* name) {
    return name != nullptr && name[0] != '\0' && std::strpbrk(name, "[\n") == nullptr;
}

// A kept line goes back as it came: it never holds an LF.
bool writableVerbatim(const char* line, uint32_t size) {
    return line != nullptr && size > 0 && std::memchr(line, '\n', size - 1) == nullptr;
}

}  // namespace

PersistentSection* newSection(const char* name, size_t length) {
    auto* section = static_cast<PersistentSection*>(palRealMalloc(sizeof(PersistentSection)));
    if (section == nullptr) return nullptr;
    std::memset(section, 0, sizeof(*section));
    palListInit(&section->values);
    section->name = copyBytes(name, length);
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
    value->name = copyBytes(name, length);
    if (value->name == nullptr) {
        palRealFree(value);
        return nullptr;
    }
    value->nameSize = uint32_t(length + 1);
    return value;
}

bool setText(PersistentValue* value, const char* text, size_t length) {
    char* copy = copyBytes(text, length);
    if (copy == nullptr) return false;
    palRealFree(value->text);
    value->text = copy;
    value->textSize = uint32_t(length + 1);
    return true;
}

void freeValue(PersistentValue* value) {
    if (value == nullptr) return;
    palRealFree(value->name);
    palRealFree(value->text);
    palRealFree(value);
}

bool storableText(const char* text, size_t length) {
    // The reader takes a text line to its first blank-free character and cuts trailing blanks, and a
    // line holding "[" is a name line.
    return std::memchr(text, '\n', length) == nullptr && std::memchr(text, '[', length) == nullptr &&
           (length == 0 || (!isBlank(text[0]) && !isBlank(text[length - 1])));
}

TcsResult parseSettingsText(const char* text, size_t size, PalListEntry* head) {
    palListInit(head);
    Parser parser(head);
    bool parsed = true;
    for (size_t at = 0; at < size && parsed;) {
        const auto* end = static_cast<const char*>(std::memchr(text + at, '\n', size - at));
        const size_t length = end != nullptr ? size_t(end - (text + at)) : size - at;
        parsed = parser.take(Line{text + at, length});
        at += length + 1;
    }
    if (parsed && parser.finish()) return TCS_RESULT_OK;
    palFreeAllPersistentData(head);
    return TCS_RESULT_OUT_OF_MEMORY;
}

TcsResult formatSettingsText(const PalListEntry* head, std::string* out) {
    out->clear();
    for (const PalListEntry* s = head->next; s != head; s = s->next) {
        const auto* section = PAL_LIST_RECORD(s, const PersistentSection, links);
        if (section->verbatim) {
            if (!writableVerbatim(section->name, section->nameSize)) return TCS_RESULT_BAD_PARAM;
            if (section->nameSize > 1) appendLine(out, section->name, section->nameSize - 1);
        } else {
            if (!writableSectionName(section->name)) return TCS_RESULT_BAD_PARAM;
            *out += '[';
            *out += section->name;
            *out += "]\n";
        }
        for (const PalListEntry* v = section->values.next; v != &section->values; v = v->next) {
            const auto* value = PAL_LIST_RECORD(v, const PersistentValue, links);
            if (value->verbatim) {
                if (!writableVerbatim(value->name, value->nameSize)) return TCS_RESULT_BAD_PARAM;
                appendLine(out, value->name, value->nameSize - 1);
                continue;
            }
            // An empty name would be written as "[N]" and read back as a section header.
            const char* text = value->text != nullptr ? value->text : "";
            const size_t length = std::strlen(text);
            if (!writableValueName(value->name) || !storableText(text, length)) return TCS_RESULT_BAD_PARAM;
            *out += value->name;
            *out += '[';
            *out += std::to_string(length);
            *out += "]\n";
            appendLine(out, text, length);
        }
    }
    return TCS_RESULT_OK;
}

}  // namespace pal::detail

extern "C" void palFreeAllPersistentData(PalListEntry* head) {
    if (head == nullptr || head->next == nullptr) return;
    while (!palListIsEmpty(head)) {
        PalListEntry* entry = head->next;
        palListRemove(entry);
        pal::detail::freeSection(PAL_LIST_RECORD(entry, PersistentSection, links));
    }
}
