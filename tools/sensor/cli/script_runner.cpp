// The "script" command: runs the lines of a script file through Execute with the sensor kept open.
#include "tools/sensor/cli/sensor_tool.h"

#include <ctype.h>
#include <stdio.h>
#include <string.h>

namespace {

constexpr int kMaxWords = 63;
constexpr const char* kDefaultScript = "./HarlokScript.bat";

bool endsLine(char c) {
    return c == '\0' || c == '\r' || c == '\n';
}

}  // namespace

int SensorSplitScriptLine(char* line, char** words, int capacity) {
    int count = 0;
    char* p = line;
    // The vector keeps room for its closing null; words beyond the room are dropped.
    const int limit = capacity - 1 < kMaxWords ? capacity - 1 : kMaxWords;
    while (!endsLine(*p)) {
        if (*p == ' ' || *p == '\t') {
            *p++ = '\0';
            continue;
        }
        char* start = p;
        if (*p == '"') {
            char* close = strchr(p + 1, '"');
            if (count < limit) words[count++] = start;
            if (close == nullptr) {
                // An unclosed quote runs to the end of the line.
                p[strcspn(p, "\r\n")] = '\0';
                break;
            }
            p = close + 1;
            if (*p == '\0') break;
            const bool lineEnd = *p == '\r' || *p == '\n';
            *p = '\0';
            if (lineEnd) break;
            ++p;
            continue;
        }
        while (!endsLine(*p) && *p != ' ' && *p != '\t') ++p;
        if (count < limit) words[count++] = start;
        if (endsLine(*p)) {
            *p = '\0';
            break;
        }
    }
    words[count] = nullptr;
    return count;
}

int SensorRunScript(int argc, char** argv) {
    gScriptCommand = 1;
    const char* name = argc > 2 ? argv[2] : kDefaultScript;
    FILE* file = fopen(name, "rt");
    if (file == nullptr) {
        printf("Open script <%s> failed\n", name);
        gScriptCommand = 0;
        return 0;
    }
    int result = 0;
    char line[256];
    char* words[kMaxWords + 1];
    while (fgets(line, sizeof line, file) != nullptr) {
        const int count = SensorSplitScriptLine(line, words, kMaxWords + 1);
        if (count == 0) {
            result = 1;
            continue;
        }
        for (int i = 0; i < count; ++i) printf("%s ", words[i]);
        printf("\n");
        for (char* c = words[0]; *c != '\0'; ++c) *c = char(tolower(static_cast<unsigned char>(*c)));
        if (strstr(words[0], "rem") != nullptr || words[0][0] == '#') continue;
        if (Execute(count, words) == 0) {
            printf("Execution of script failed\n");
            result = 0;
            break;
        }
        result = 1;
    }
    gScriptCommand = 0;
    fclose(file);
    return result;
}
