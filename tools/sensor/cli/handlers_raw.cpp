// Command handlers that talk to the sensor at the lowest level: peek and poke, memory read-out, raw
// commands from files, the GPIO registers, the finger-status command and patch unloading.
#include "tools/sensor/cli/sensor_tool.h"

#include "platform/text.h"

#include <ctype.h>
#include <stdio.h>
#include <string.h>
#include <strings.h>

namespace {

constexpr const char kTwirlies[] = "-\\|/";
constexpr uint32_t kRawBufferSize = 8192;

uint16_t replyStatus(const uint8_t* reply) {
    uint16_t raw;
    memcpy(&raw, reply, 2);
    return palSensorToHost16(raw);
}

uint32_t replyWord(const uint8_t* reply, size_t offset) {
    uint32_t raw;
    memcpy(&raw, reply + offset, 4);
    return palSensorToHost32(raw);
}

// The reply's status under command-protocol version 1; any other version counts as a failure.
uint16_t statusForProtocol(const uint8_t* reply) {
    if (GetCommandProtocolVersion() != 1) {
        printf("UNEXPECTED ERROR: Invalid command protocol version.\n");
        return 0xFFFF;
    }
    return replyStatus(reply);
}

}  // namespace

int SensorPeek(int argc, char** argv) {
    if (argc < 3) return 0;
    unsigned int address = 0;
    int size = 4;
    sscanf(argv[2], "%i", &address);
    if (argc > 3) sscanf(argv[3], "%d", &size);
    uint32_t value = 0;
    const TcsResult result = tcsTestPeek(g_hSensor, address, uint32_t(size) & 0xFFu, &value);
    if (result != TCS_RESULT_OK) {
        printf("peek failed with status - %s\n", SensorResultStatus(result));
        return 0;
    }
    printf("0x%08x\n", value);
    return 1;
}

int SensorPoke(int argc, char** argv) {
    if (argc < 4) {
        printf("Error: Too few input arguments.\n");
        return 0;
    }
    unsigned int address = 0, value = 0, mask = 0xFFFFFFFFu, size = 4;
    sscanf(argv[2], "%i", &address);
    sscanf(argv[3], "%i", &value);
    if (argc > 4) sscanf(argv[4], "%i", &mask);
    if (argc > 5) sscanf(argv[5], "%i", &size);
    const bool partial = (size == 1 && mask != 0xFF) || (size == 2 && mask != 0xFFFF) ||
                         (size == 4 && mask != 0xFFFFFFFFu);
    if (partial) {
        uint32_t old = 0;
        tcsTestPeek(g_hSensor, address, size, &old);
        value |= old & mask;
    }
    const TcsResult result = tcsTestPoke(g_hSensor, address, size, value);
    if (result != TCS_RESULT_OK) {
        printf("poke failed with status - %s\n", SensorResultStatus(result));
        return 0;
    }
    printf("Poke was successful\n");
    return 1;
}

int SensorReadRAM(int argc, char** argv) {
    if (argc < 3) {
        printf("Usage: readram output-file [length [baseaddr]]\n");
        return 0;
    }
    FILE* out = fopen(argv[2], "wb");
    if (out == nullptr) {
        printf("Unable to open file <%s> for output.\n", argv[2]);
        return 0;
    }
    unsigned int length = 0x3000, base = 0x60000000u;
    if (argc > 3) sscanf(argv[3], "%i", &length);
    if (argc > 4) sscanf(argv[4], "%i", &base);
    length &= ~3u;
    base &= ~3u;
    int result = 1;
    for (uint32_t done = 0; done < length; done += 4) {
        uint32_t value = 0;
        if (tcsTestPeek(g_hSensor, base + done, 4, &value) != TCS_RESULT_OK) {
            printf("Peek failed at address 0x%lx\n", static_cast<unsigned long>(base + done));
            result = 0;
            break;
        }
        if (fwrite(&value, 4, 1, out) != 1) {
            printf("Write file <%s> failed\n", argv[2]);
            result = 0;
            break;
        }
    }
    fclose(out);
    return result;
}

int SensorAnyCommand(int argc, char** argv) {
    const char* commandFile = "./command.bin";
    const char* replyFile = "./reply.bin";
    uint32_t replySize = kRawBufferSize;
    int named = 0;
    for (int i = 2; i < argc && i <= 5; ++i) {
        if (isdigit(static_cast<unsigned char>(argv[i][0]))) {
            replySize = 0;
            for (const char* c = argv[i]; *c != '\0'; ++c) replySize = replySize * 10 + uint32_t(*c - '0');
            break;
        }
        if (named == 0) commandFile = argv[i];
        else if (named == 1) replyFile = argv[i];
        ++named;
    }
    // The reply buffer holds 8192 bytes: a larger size asked for is cut to it.
    if (replySize > kRawBufferSize) replySize = kRawBufferSize;
    FILE* in = fopen(commandFile, "rb");
    if (in == nullptr) {
        printf("Open file <%s> failed\n", commandFile);
        return 0;
    }
    static uint8_t command[kRawBufferSize];
    static uint8_t reply[kRawBufferSize];
    const size_t length = fread(command, 1, sizeof command, in);
    fclose(in);
    if (length == 0) {
        printf("Read file <%s> failed\n", commandFile);
        return 0;
    }
    uint32_t replyLength = replySize;
    if (tcsTestSensorSendCommand(g_hSensor, command, uint32_t(length), reply, &replyLength) != TCS_RESULT_OK) return 0;
    if (replyLength == 0) {
        printf("A zero sized reply received. This can be due to sensor reset.\n");
        return 0;
    }
    FILE* out = fopen(replyFile, "wb");
    if (out == nullptr) {
        printf("Open file <%s> failed\n", replyFile);
        return 0;
    }
    const bool written = fwrite(reply, 1, replyLength, out) == replyLength;
    fclose(out);
    if (!written) {
        printf("Write file <%s> failed\n", replyFile);
        return 0;
    }
    const uint16_t status = replyLength >= 2 ? statusForProtocol(reply) : 0xFFFF;
    printf(status != 0 ? "Command failed.\n" : "Command succeeded.\n");
    printf("Reply written to <%s> file.\n", replyFile);
    return 1;
}

int SensorGPIO(int argc, char** argv) {
    static const char* const kRegisters[9] = {"alt", "dir", "din", "dout", "wpu", "hdrv", "alts", "ien", "pdr"};
    uint32_t pairs[18];
    for (int r = 0; r < 9; ++r) {
        pairs[2 * r] = 0;
        pairs[2 * r + 1] = r == 2 ? 0 : 0xFFFFFFFFu;
    }
    bool loop = false;
    for (int i = 2; i < argc; ++i) {
        if (strcasecmp(argv[i], "-loop") == 0) {
            loop = true;
            continue;
        }
        int reg = -1;
        for (int r = 0; r < 9; ++r) {
            if (r != 2 && strcasecmp(argv[i], kRegisters[r]) == 0) reg = r;
        }
        if (reg < 0) continue;
        if (i + 1 >= argc) {
            printf("GPIO %s must be followed by a hex value\n", argv[i]);
            return 0;
        }
        unsigned int value = 0;
        if (sscanf(argv[i + 1], "%x", &value) != 1) {
            printf("invalid hex value for GPIO %s %s\n", argv[i], argv[i + 1]);
            return 0;
        }
        unsigned int mask = 0;
        if (i + 2 < argc && sscanf(argv[i + 2], "%x", &mask) == 1) {
            i += 2;
        } else {
            mask = 0;
            i += 1;
        }
        pairs[2 * reg] = value;
        pairs[2 * reg + 1] = mask;
    }
    uint8_t command[73];
    command[0] = 0x0D;
    for (int k = 0; k < 18; ++k) {
        const uint32_t word = palHostToSensor32(pairs[k]);
        memcpy(command + 1 + 4 * k, &word, 4);
    }
    printf("ALT    DIR    DIN    DOUT   WPU    HDRV   ALTS   IEN    PDR\n");
    for (uint32_t pass = 0;; ++pass) {
        uint8_t reply[38] = {};
        uint32_t replyLength = sizeof reply;
        if (tcsTestSensorSendCommand(g_hSensor, command, sizeof command, reply, &replyLength) != TCS_RESULT_OK) {
            printf("Command failed.\n");
            return 0;
        }
        const uint16_t status = replyStatus(reply);
        if (status != 0) {
            printf("Return status = 0x%04x\n", status);
            return 0;
        }
        printf("\r");
        for (int r = 0; r < 9; ++r) printf("%06x ", replyWord(reply, 2 + 4 * size_t(r)));
        if (!loop) {
            printf("\n");
            return 1;
        }
        printf("%c", kTwirlies[pass % 4]);
        fflush(stdout);
    }
}

int SensorGetFingerStatus(int argc, char** argv) {
    static const struct {
        uint32_t bit;
        const char* word;
    } kFlags[] = {{2, "RESET "}, {3, "TIMER "}, {4, "FINGER "}, {5, "GPIO "},
                  {6, "SPI "},   {7, "USB "},   {8, "PP  "},    {9, "ABORT "}};
    bool loop = false;
    for (int i = 2; i < argc; ++i) {
        if (strcasecmp(argv[i], "-loop") == 0) loop = true;
    }
    printf("status         accumwoe\n");
    const uint8_t command = 0x17;
    for (uint32_t pass = 0;; ++pass) {
        uint8_t reply[7] = {};
        uint32_t length = sizeof reply;
        if (tcsTestSensorSendCommand(g_hSensor, &command, 1, reply, &length) != TCS_RESULT_OK) {
            printf("Command failed.\n");
            return 0;
        }
        if (length < 2) {
            printf("Reply too short (%u bytes) -- does not include status\n", length);
            return 0;
        }
        const uint16_t status = replyStatus(reply);
        if (status != 0) {
            printf("Return status = 0x%04x\n", status);
            return 0;
        }
        if (length < 3) {
            printf("Reply too short (%u bytes) -- does not include details.get_finger_status.status\n", length);
            return 0;
        }
        const uint8_t finger = reply[2];
        static const char* const kLabels[] = {"(UNKNOWN) ", "(ABSENT)  ", "(STILL)   ", "(MOVING)  "};
        printf("%3u. %s", finger, finger < 4 ? kLabels[finger] : "(?)       ");
        uint32_t flags = 0;
        if (length >= 7) {
            flags = replyWord(reply, 3);
            printf("%08x ", flags);
            for (const auto& f : kFlags) {
                if ((flags & (1u << f.bit)) != 0) printf("%s", f.word);
                else printf("%*s", int(strlen(f.word)), "");
            }
        }
        if (!loop) {
            if (flags != 0) printf("\n");
            printf("\n");
            return 1;
        }
        printf("%c\r", kTwirlies[pass % 4]);
        if (flags != 0) printf("\n");
        fflush(stdout);
    }
}

int SensorUnloadPatch(int, char**) {
    const uint8_t command = 0x1A;
    uint8_t reply[2] = {};
    uint32_t length = sizeof reply;
    if (tcsTestSensorSendCommand(g_hSensor, &command, 1, reply, &length) != TCS_RESULT_OK) {
        printf("Command failed.\n");
        return 0;
    }
    if (length < 2) {
        printf("Reply too short (%u bytes)\n", length);
        return 0;
    }
    const uint16_t status = replyStatus(reply);
    if (status != 0) {
        printf("Return status = 0x%04x\n", status);
        return 0;
    }
    printf("Command succeeded.\n");
    return 1;
}
