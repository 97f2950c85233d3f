// The settings file's text: parsed into sections and values and written back, apart from the file
// handling so that the format can be checked on bytes in memory.
#pragma once

#include "platform/settings.h"

#include <cstddef>
#include <string>

namespace pal::detail {

// Nodes of the parsed form, allocated so that palFreeAllPersistentData frees them.
PersistentSection* newSection(const char* name, size_t length);
PersistentValue* newValue(const char* name, size_t length);
bool setText(PersistentValue* value, const char* text, size_t length);
void freeValue(PersistentValue* value);

// Whether a text reads back as itself when written as a value's text line.
bool storableText(const char* text, size_t length);

// Fills head (initialised here) from the file's bytes. Nothing read is dropped but blank lines: a line
// that reads as no section or value is kept verbatim in its place. 2 when memory runs out (list
// emptied).
TcsResult parseSettingsText(const char* text, size_t size, PalListEntry* head);
// The file's text for a list; 17 when a name or text would not read back as itself.
TcsResult formatSettingsText(const PalListEntry* head, std::string* out);

}  // namespace pal::detail
