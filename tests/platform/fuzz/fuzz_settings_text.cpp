// Fuzz target: any bytes as a settings file, parsed, written back and parsed again. The second parse
// must give the same sections, values and kept lines, and writing it the same bytes: nothing read is
// lost or changes its meaning on the way through a write.
#include "platform/detail/settings_text.h"

#include <stddef.h>
#include <stdint.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace {

// Each section, value and kept line in order, with every byte that tells it apart.
std::vector<std::string> entriesOf(const PalListEntry* head) {
    std::vector<std::string> entries;
    for (const PalListEntry* s = head->next; s != head; s = s->next) {
        const auto* section = PAL_LIST_RECORD(s, const PersistentSection, links);
        entries.push_back((section->verbatim ? "{" : "[") + std::string(section->name, section->nameSize - 1));
        for (const PalListEntry* v = section->values.next; v != &section->values; v = v->next) {
            const auto* value = PAL_LIST_RECORD(v, const PersistentValue, links);
            std::string entry = (value->verbatim ? "{" : "=") + std::string(value->name, value->nameSize - 1);
            if (!value->verbatim) entry += "\n" + std::string(value->text, value->textSize - 1);
            entries.push_back(entry);
        }
    }
    return entries;
}

// Parses and writes back; aborts when either step fails on what the parser itself produced.
std::vector<std::string> roundTrip(const char* bytes, size_t size, std::string* written) {
    PalListEntry head;
    if (pal::detail::parseSettingsText(bytes, size, &head) != TCS_RESULT_OK) std::abort();
    if (pal::detail::formatSettingsText(&head, written) != TCS_RESULT_OK) std::abort();
    std::vector<std::string> entries = entriesOf(&head);
    palFreeAllPersistentData(&head);
    return entries;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string first, second;
    const std::vector<std::string> read = roundTrip(reinterpret_cast<const char*>(data), size, &first);
    const std::vector<std::string> reread = roundTrip(first.data(), first.size(), &second);
    if (read != reread || first != second) std::abort();
    return 0;
}
