// Front end of the sensor program: the gate on the command line, the option scan, the command lookup
// and the opening and closing of the sensor around one command.
#include "tools/sensor/cli/sensor_tool.h"

#include "platform/clock.h"

#include <ctype.h>
#include <stdio.h>
#include <string.h>
#include <strings.h>

uint32_t gMode = kInitialMode;
uint32_t gNoWait = 0;
uint32_t gPrintTime = 0;
uint32_t gUseInternalCfg = 0;
uint32_t gDoInit = 0;
uint32_t gIsSPIsecure = 0;
uint32_t gSwipeSpeed = 0;
uint32_t gSoClock = 0;
uint32_t gFlexId = 0;
uint32_t gScriptCommand = 0;
TcsHandle g_hSensor = 0;

namespace {

bool isOptionWord(const char* word) {
    static const char* const kOptions[] = {"nowait", "-time",   "-internalcfg", "-doinit",  "-sec",   "-nossl",
                                           "-nocal", "-lock",   "-swipespeed",  "-soclock", "-flexid"};
    for (const char* option : kOptions) {
        if (strcasecmp(word, option) == 0) return true;
    }
    return false;
}

}  // namespace

void SensorResetToolState() {
    gMode = kInitialMode;
    gNoWait = gPrintTime = gUseInternalCfg = gDoInit = gIsSPIsecure = 0;
    gSwipeSpeed = gSoClock = gFlexId = 0;
    gScriptCommand = 0;
    g_hSensor = 0;
}

int SensorScanOptions(int argc, char** argv) {
    int count = argc;
    for (int i = argc - 1; i >= 1; --i) {
        const char* word = argv[i];
        if (word == nullptr) continue;
        uint32_t* value = nullptr;
        if (strcasecmp(word, "nowait") == 0) {
            gNoWait = 1;
        } else if (strcasecmp(word, "-time") == 0) {
            gPrintTime = 1;
        } else if (strcasecmp(word, "-internalcfg") == 0) {
            gUseInternalCfg = 1;
        } else if (strcasecmp(word, "-doinit") == 0) {
            gDoInit = 1;
            gMode &= 0x7FFFFFFFu;
        } else if (strcasecmp(word, "-sec") == 0) {
            gIsSPIsecure = 1;
        } else if (strcasecmp(word, "-nossl") == 0) {
            gMode |= 0x00000100u;
        } else if (strcasecmp(word, "-nocal") == 0) {
            gMode |= 0x04000000u;
        } else if (strcasecmp(word, "-lock") == 0) {
            gMode &= 0xFFEFFFFFu;
        } else if (strcasecmp(word, "-swipespeed") == 0) {
            value = &gSwipeSpeed;
        } else if (strcasecmp(word, "-soclock") == 0) {
            value = &gSoClock;
        } else if (strcasecmp(word, "-flexid") == 0) {
            value = &gFlexId;
        } else {
            continue;
        }
        --count;
        // A following option word was counted on its own already; taking it as the value as well
        // would lower the count twice for one word and hide a real parameter from the handler.
        if (value != nullptr && i + 1 < argc && argv[i + 1] != nullptr && !isOptionWord(argv[i + 1])) {
            unsigned int read = 0;
            if (sscanf(argv[i + 1], "%i", &read) == 1) *value = read;
            --count;
        }
    }
    return count;
}

const SensorCommand* FindFunction(char* word) {
    for (char* c = word; *c != '\0'; ++c) *c = char(tolower(static_cast<unsigned char>(*c)));
    for (int i = 0; i < kFunctionCount; ++i) {
        if (strcmp(FunctionList[i].name, word) == 0) return &FunctionList[i];
    }
    return nullptr;
}

void wait() {
    if (gNoWait == 1) return;
    printf("Press <enter> to continue...\n");
    fflush(stdout);
    getchar();
}

int Execute(int argc, char** argv) {
    const int count = SensorScanOptions(argc, argv);
    if (gUseInternalCfg != 0 && gDoInit == 0) {
        printf("ERROR: '-internalcfg' can't be specified without '-doinit' option.\n");
        return 0;
    }
    if (count < 2) {
        usage();
        return 0;
    }
    const SensorCommand* row = FindFunction(argv[1]);
    if (row == nullptr) {
        printf("ERROR: unknown command '%s'\n", argv[1]);
        return 0;
    }
    if (g_hSensor == 0) {
        g_hSensor = GetSensor(gMode);
        if (g_hSensor == 0) {
            printf("Open Sensor failed\n");
            return 0;
        }
    }
    fflush(stdout);
    const int succeeded = row->handler(count, argv);
    fflush(stdout);
    if (succeeded != 0 && gScriptCommand != 0 && strcmp(argv[1], "reset") == 0 && g_hSensor != 0) {
        UpdateSensor(&g_hSensor);
        return 1;
    }
    if (gScriptCommand == 0 && g_hSensor != 0) {
        DestroySensor();
        g_hSensor = 0;
    }
    return succeeded != 0 ? 1 : 0;
}

int SensorMain(int argc, char** argv) {
    gPrintTime = 0;
    const uint32_t start = palGetTickCount();
    if (argc < 2) {
        usage();
        return 1;
    }
    const bool admitted = (strcasecmp(argv[1], "setowner") == 0 || strcasecmp(argv[1], "resetowner") == 0) &&
                          argc >= 3 && strcasecmp(argv[2], "-doinit") == 0;
    if (!admitted) {
        printf("Request failed\n");
        wait();
        return 1;
    }
    const int status = Execute(argc, argv) != 0 ? 0 : 1;
    if (gPrintTime == 1) printf("Execution time: %d milliseconds\n", int32_t(palGetTickCount() - start));
    fflush(stdout);
    return status;
}
