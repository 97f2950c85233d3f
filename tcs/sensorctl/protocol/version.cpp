// Firmware version string: numbers, chip family, mark, ROM flag and module name, cut to 80 characters.
#include "tcs/sensorctl/protocol/version.h"

#include <cstdio>
#include <string>

namespace scsversion {

bool format(const Text& text, char out[kStringSize]) {
    char numbers[32];
    std::snprintf(numbers, sizeof numbers, "%02u.%02u.%02u.%04u", unsigned(text.major), unsigned(text.minor),
                  unsigned(text.revision), unsigned(text.build));
    std::string s = numbers;
    const bool selkin = isSelkinKind(text.chipKind);
    if (selkin) {
        s += " Selkin";
    } else if (text.chipKind == 1 || text.chipKind == 3 || text.chipKind == 4) {
        s += " Harlok";
    } else {
        s += " Unknown";
    }
    if (text.mark == 0) s += "*";
    s += text.romFlag == 1 ? " ROM" : " Unknown";
    if (text.flexName != nullptr) {
        s += " [";
        s.append(text.flexName, strnlen(text.flexName, 20));
        s += "]";
    }
    std::snprintf(out, kStringSize, "%s", s.c_str());
    return selkin;
}

}  // namespace scsversion
