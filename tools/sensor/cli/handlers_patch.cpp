// Command handlers that change how the sensor runs: patch download, reset, calibration, clocks, SPI
// mode and wake-on-event.
#include "tools/sensor/cli/sensor_tool.h"

#include "platform/memory.h"

#include <stdio.h>
#include <string.h>
#include <strings.h>

namespace {

constexpr uint8_t kPatchCommand = 6;

uint32_t delayWord(int argc, char** argv) {
    int delay = 10;
    if (argc > 2) sscanf(argv[2], "%d", &delay);
    return uint32_t(delay) & 0xFFFFu;
}

int rawPatch(const char* name) {
    uint32_t size = 0;
    if (tcsTestParsePatchFile(name, nullptr, nullptr, &size) != TCS_RESULT_OK) {
        printf("Failed to parse patch file.\n");
        return 0;
    }
    auto* command = static_cast<uint8_t*>(palRealMalloc(size + 1));
    if (command == nullptr) {
        printf("Failed to allocate memory.\n");
        return 0;
    }
    command[0] = kPatchCommand;
    int result = 0;
    if (tcsTestParsePatchFile(name, nullptr, command + 1, &size) != TCS_RESULT_OK) {
        printf("Failed to parse patch file.\n");
    } else {
        uint8_t reply[16] = {};
        uint32_t replyLength = sizeof reply;
        if (tcsTestSensorSendCommand(g_hSensor, command, size + 1, reply, &replyLength) != TCS_RESULT_OK) {
            printf("Error during patch command.\n");
        } else {
            result = 1;
        }
    }
    palRealFree(command);
    return result;
}

int createPatchCommand(const char* name) {
    uint8_t* command = nullptr;
    uint16_t length = 0;
    const TcsResult result = tcsTestCreatePatchCmd(g_hSensor, name, &command, &length);
    if (result != TCS_RESULT_OK) {
        printf("Patch command creation failed with status - %s\n", SensorResultStatus(result));
        return 0;
    }
    char outName[260];
    snprintf(outName, sizeof outName, "%s.bin", name);
    int ok = 0;
    FILE* out = fopen(outName, "wb");
    if (out == nullptr) {
        printf("Failed to open file <%s> failed to write the command.\n", outName);
    } else {
        if (fwrite(command, 1, length, out) == length) {
            printf("Patch command file is successfully created: %s.\n", outName);
            ok = 1;
        } else {
            printf("Write file <%s> failed\n", outName);
        }
        fclose(out);
    }
    palRealFree(command);
    return ok;
}

}  // namespace

int SensorReset(int argc, char** argv) {
    const TcsResult result = tcsTestReset(g_hSensor, delayWord(argc, argv));
    if (result != TCS_RESULT_OK) {
        printf("reset failed with status - %s\n", SensorResultStatus(result));
        return 0;
    }
    printf("Sensor Reset\n");
    return 1;
}

int SensorCalibrate(int argc, char** argv) {
    int type = 0;
    if (argc < 3 || sscanf(argv[2], "%d", &type) != 1) return 0;
    const TcsResult result = tcsTestCalibrate(g_hSensor, uint32_t(type));
    if (result != TCS_RESULT_OK) {
        printf("calibrate failed with status - %s\n", SensorResultStatus(result));
        return 0;
    }
    printf("Sensor is calibrated\n");
    return 1;
}

int SensorSetRefClock(int, char**) {
    const TcsResult result =
        tcsTestSensorSetRefClock(g_hSensor, 0x00B71B00u, 0x08954400u, 0x00004E20u, 0x02580100u, 0x00621884u);
    if (result != TCS_RESULT_OK) {
        printf("Send \"Ref Clock\" command failed with status - %s\n", SensorResultStatus(result));
        return 0;
    }
    printf("\"Ref Clock\" command send successfully\n");
    return 1;
}

int SensorSetCPUClock(int argc, char** argv) {
    unsigned int run = 0, waitClock = 0;
    if (argc > 2) sscanf(argv[2], "%i", &run);
    if (argc > 3) sscanf(argv[3], "%i", &waitClock);
    const TcsResult result = tcsTestSensorSetCPUClk(g_hSensor, run, waitClock);
    if (result != TCS_RESULT_OK) {
        printf("Command failed with status -  %s\n", SensorResultStatus(result));
        return 0;
    }
    printf("Command succeeded.\n");
    return 1;
}

int SensorSetSPIMode(int argc, char** argv) {
    if (argc < 3) {
        printf("Please Enter value of the master clock divider\n");
        return 0;
    }
    unsigned int mode = 0x3000;
    if (strcasecmp(argv[2], "-raw") == 0) {
        if (argc > 3) sscanf(argv[3], "%x", &mode);
    } else {
        int divider = 0;
        sscanf(argv[2], "%d", &divider);
        mode = 0x3000u | (uint32_t(divider) & 0x0FFFu);
    }
    if (tcsTestSensorSetSPIMode(g_hSensor, mode) != TCS_RESULT_OK) {
        printf("Set SPI mode failed");
        return 0;
    }
    printf("Set SPI mode success\n");
    return 1;
}

int SensorWOEEnter(int argc, char** argv) {
    const TcsResult result = tcsTestWOEEnter(g_hSensor, delayWord(argc, argv));
    if (result != TCS_RESULT_OK) {
        printf("Force low power mode failed with status - %s\n", SensorResultStatus(result));
        return 0;
    }
    printf("Force low power mode\n");
    return 1;
}

int SensorWOESetup(int argc, char** argv) {
    if (argc < 3) {
        printf("Please Enter Path to a WOE configuration file\n");
        return 0;
    }
    const TcsResult result = tcsTestWOESetup(g_hSensor, argv[2], 0);
    if (result != TCS_RESULT_OK) {
        printf("WOE Setup failed with status - %s\n", SensorResultStatus(result));
        return 0;
    }
    printf("WOE Setup was successful\n");
    return 1;
}

int SensorDoPatch(int argc, char** argv) {
    const char* name = "./Patch.ihex";
    bool createOnly = false, raw = false;
    for (int i = 2; i < argc; ++i) {
        if (strcasecmp(argv[i], "-createonly") == 0) createOnly = true;
        else if (strcasecmp(argv[i], "-raw") == 0) raw = true;
        else name = argv[i];
    }
    if (raw) return rawPatch(name);
    if (createOnly) return createPatchCommand(name);
    PatchFileHeader header{};
    if (tcsTestParsePatchFile(name, &header, nullptr, nullptr) != TCS_RESULT_OK) {
        printf("Failed to parse patch file.\n");
        return 0;
    }
    if (header.phase == 0) {
        printf("Downloading patch with 0 phase not supported by this command. Use 'raw' option to download this "
               "patch .\n");
        return 0;
    }
    const TcsResult result = tcsTestDownloadPatch(g_hSensor, name);
    if (result != TCS_RESULT_OK) {
        printf("Patch failed with status - %s\n", SensorResultStatus(result));
        return 0;
    }
    printf("Patch was successful\n");
    return 1;
}
