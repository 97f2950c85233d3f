// Names under which the tool prints result codes; codes without a row print as "Unknown 0x..".
#include "tools/sensor/cli/sensor_tool.h"

#include "tcs/result.h"

#include <stdio.h>

int SensorValToString(char* out, uint32_t outSize, uint32_t value, const SensorValueName* table, uint32_t rows) {
    for (uint32_t i = 0; table != nullptr && i < rows; ++i) {
        if (table[i].value == value) return snprintf(out, outSize, "%s", table[i].name);
    }
    return snprintf(out, outSize, "Unknown 0x%02X", value);
}

const char* SensorResultStatus(uint32_t code) {
    // One buffer for the process: each call overwrites the previous text.
    static char text[128];
    // The stack's own table: search order is table order (11 stands before 10).
    SensorValueName copy[sizeof gTcsResultNames / sizeof gTcsResultNames[0]];
    for (size_t i = 0; i < sizeof copy / sizeof copy[0]; ++i) {
        copy[i] = SensorValueName{gTcsResultNames[i].code, gTcsResultNames[i].name};
    }
    SensorValToString(text, sizeof text, code, copy, uint32_t(sizeof copy / sizeof copy[0]));
    return text;
}
