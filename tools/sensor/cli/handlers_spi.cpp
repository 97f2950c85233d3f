// Command handlers for the SPI flash (or any SPI slave) behind the sensor: one raw transfer, bulk
// reads with repetition and comparison, erasing and programming a flash that accepts M25P80-type
// commands, and the flash's identity.
#include "tools/sensor/cli/sensor_tool.h"

#include "tcs/flashfs/xtfs_storage.h"

#include "tools/sensor/cli/file_io.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>

using sensor_tool::startsWith;

namespace {

constexpr const char kTwirlies[] = "-\\|/";
constexpr uint8_t kWriteEnable = 0x06;
constexpr uint8_t kBulkErase = 0xC7;
constexpr uint8_t kPageProgram = 0x02;
constexpr uint8_t kReadStatus = 0x05;
constexpr uint8_t kRead = 0x03;
constexpr uint8_t kWip = 0x01;
constexpr uint8_t kWel = 0x02;

TcsResult transfer(uint16_t length, const uint8_t* out, uint8_t* in) {
    return gIsSPIsecure != 0 ? tcsTestSensorSPITransEnc(g_hSensor, length, out, in)
                             : tcsTestSensorSPITrans(g_hSensor, length, out, in);
}

void putAddress(uint8_t* at, uint32_t address) {
    at[0] = uint8_t(address >> 16);
    at[1] = uint8_t(address >> 8);
    at[2] = uint8_t(address);
}

bool parseValue(int argc, char** argv, int* i, const char* option, const char* badValue, unsigned int* out) {
    if (*i + 1 >= argc) {
        printf("%s must be followed by a value\n", option);
        return false;
    }
    ++*i;
    if (sscanf(argv[*i], "%i", out) != 1) {
        printf(badValue, argv[*i]);
        return false;
    }
    return true;
}

}  // namespace

int SensorSPIFlashWaitStatusReg(uint8_t setMask, uint8_t clearMask, uint32_t* spinner) {
    for (;;) {
        const uint8_t command[4] = {kReadStatus, 0, 0, 0};
        uint8_t reply[4] = {};
        if (transfer(sizeof command, command, reply) != TCS_RESULT_OK) {
            printf("Unable to read status register.\n");
            return 0;
        }
        const uint8_t status = reply[1];
        if (setMask != 0) {
            if ((status & setMask) != 0) return 1;
        } else if (clearMask != 0) {
            if ((status & clearMask) == 0) return 1;
        } else {
            return 1;
        }
        printf("%c\b", kTwirlies[(*spinner)++ % 4]);
        fflush(stdout);
    }
}

int SensorSPITransfer(int argc, char** argv) {
    if (gDoInit == 0) {
        printf("ERROR: 'spitrans' can't be specified without '-doinit' option\n");
        return 0;
    }
    const char* commandFile = argc > 2 ? argv[2] : "./command.bin";
    FILE* in = fopen(commandFile, "rb");
    if (in == nullptr) {
        printf("Open file <%s> failed\n", commandFile);
        return 0;
    }
    uint8_t command[1024], reply[1024] = {};
    const size_t length = fread(command, 1, sizeof command, in);
    fclose(in);
    if (length == 0) {
        printf("Read file <%s> failed\n", commandFile);
        return 0;
    }
    const TcsResult result = transfer(uint16_t(length), command, reply);
    if (result != TCS_RESULT_OK) {
        // Two names in one argument list would share the result-name buffer; only one is a result.
        printf("%s failed with status - %s\n", argv[1], SensorResultStatus(result));
        return 0;
    }
    const char* replyFile = argc > 3 ? argv[3] : "./reply.bin";
    FILE* out = fopen(replyFile, "wb");
    if (out == nullptr) {
        printf("Open file <%s> failed\n", replyFile);
        return 0;
    }
    const bool written = fwrite(reply, 1, length, out) == length;
    fclose(out);
    if (!written) {
        printf("Write file <%s> failed\n", replyFile);
        return 0;
    }
    printf("Command sent.\nReply written to <%s> file.\n", replyFile);
    return 1;
}

int SensorSPIBulkRead(int argc, char** argv) {
    unsigned int passes = 1, address = 0, readLength = 256;
    bool haveAddress = false, namedWrite = false, namedRead = false, haveLength = false;
    const char* writeFile = "./command.bin";
    const char* readFile = "./reply.bin";
    const char* compareFile = nullptr;
    uint32_t method = 0;
    char version[80] = {};
    tcsTestGetVersion(g_hSensor, version);
    for (int i = 2; i < argc; ++i) {
        const char* w = argv[i];
        if (strcasecmp(w, "-loop") == 0) {
            if (!parseValue(argc, argv, &i, "-loop", "invalid loop count %s\n", &passes)) return 0;
        } else if (strcasecmp(w, "-addr") == 0) {
            if (!parseValue(argc, argv, &i, "-addr", "invalid address value %s\n", &address)) return 0;
            haveAddress = true;
        } else if (strcasecmp(w, "-compare") == 0) {
            if (i + 1 >= argc) {
                printf("-compare must be followed by a filename\n");
                return 0;
            }
            compareFile = argv[++i];
        } else if (strcasecmp(w, "-spisfr") == 0) {
            method = 1;
        } else if (strcasecmp(w, "-spitrans") == 0) {
            method = 2;
        } else if (!haveLength) {
            if (sscanf(w, "%i", &readLength) != 1) {
                printf("invalid read length value %s\n", w);
                return 0;
            }
            haveLength = true;
        } else if (!haveAddress && !namedWrite) {
            writeFile = w;
            namedWrite = true;
            haveAddress = false;
        } else if (!namedRead) {
            readFile = w;
            namedRead = true;
        } else {
            printf("unknown argument: %s\n", w);
            return 0;
        }
    }
    uint8_t command[1024];
    uint32_t commandLength = 0;
    if (haveAddress) {
        command[0] = kRead;
        putAddress(command + 1, address);
        commandLength = 4;
    } else {
        FILE* in = fopen(writeFile, "rb");
        if (in == nullptr) {
            printf("Open file <%s> failed\n", writeFile);
            return 0;
        }
        commandLength = uint32_t(fread(command, 1, sizeof command, in));
        fclose(in);
        if (commandLength == 0) {
            printf("Read file <%s> failed\n", writeFile);
            return 0;
        }
    }
    if (readLength % 256 != 0) {
        const unsigned int rounded = (readLength + 255) / 256 * 256;
        printf("Rounding size %u up to %u (a multiple of 256)\n", readLength, rounded);
        readLength = rounded;
    }
    if (readLength == 0) readLength = 256;
    uint8_t* expected = nullptr;
    if (compareFile != nullptr) {
        FILE* in = fopen(compareFile, "rb");
        if (in == nullptr) {
            printf("Open compare file <%s> failed\n", compareFile);
            return 0;
        }
        expected = static_cast<uint8_t*>(calloc(readLength, 1));
        const bool complete = expected != nullptr && fread(expected, 1, readLength, in) == readLength;
        fclose(in);
        if (!complete) {
            printf("Read file <%s> failed\n", compareFile);
            free(expected);
            return 0;
        }
    }
    auto* buffer = static_cast<uint8_t*>(calloc(readLength, 1));
    uint8_t reference[32] = {};
    if (buffer == nullptr) {
        free(expected);
        return 0;
    }
    printf("Reading... Please wait\n");
    int result = 1;
    for (uint32_t pass = 1; passes == 0 || pass <= passes; ++pass) {
        memset(buffer, 0, readLength);
        uint32_t count = 0;
        if (tcsTestSensorSPIBulkRead(g_hSensor, commandLength, command, readLength, buffer, &count, method) !=
            TCS_RESULT_OK) {
            printf("Command execution failed.\n");
            result = 0;
            break;
        }
        if (count > readLength) count = readLength;
        if (pass == 1 || expected != nullptr) {
            FILE* out = fopen(readFile, "wb");
            if (out == nullptr) {
                printf("Open file <%s> failed\n", readFile);
                result = 0;
                break;
            }
            const bool written = fwrite(buffer, 1, count, out) == count;
            fclose(out);
            if (!written) {
                printf("Write file <%s> failed\n", readFile);
                result = 0;
                break;
            }
        }
        if (pass == 1) {
            printf("Read %u bytes.\n", count);
            printf("Command sent.\nReply written to <%s> file.\n", readFile);
            memcpy(reference, buffer, readLength < 32 ? readLength : 32);
        }
        if (expected != nullptr) {
            if (memcmp(buffer, expected, readLength) != 0) {
                uint32_t at = 0;
                while (buffer[at] == expected[at]) ++at;
                printf("Comparison failed at step %u\n", pass);
                printf("Failure started at offset 0x%x Read 0x%02x Expected 0x%02x\n", at, buffer[at], expected[at]);
                result = 0;
                break;
            }
        } else if (pass > 1 && memcmp(buffer, reference, 32) != 0) {
            printf("Comparison failed at pass %u\n", pass);
            if (passes == 0 || pass < passes) passes = pass + 1;
        }
        if (passes != 1) {
            printf("\r%u", pass);
            fflush(stdout);
        }
    }
    free(buffer);
    free(expected);
    return result;
}

int SensorSPIFlashWrite(int argc, char** argv) {
    unsigned int pageSize = 256, size = 0x100000, start = 0;
    if (argc < 3) {
        printf("please specify either -erase, a file, or both.\n");
        return 0;
    }
    bool erase = false;
    const char* name = nullptr;
    for (int i = 2; i < argc; ++i) {
        const char* w = argv[i];
        if (strcasecmp(w, "-erase") == 0) {
            erase = true;
        } else if (strcasecmp(w, "-page") == 0) {
            if (!parseValue(argc, argv, &i, "-page", "invalid page size value %s\n", &pageSize)) return 0;
        } else if (strcasecmp(w, "-start") == 0) {
            if (!parseValue(argc, argv, &i, "-start", "invalid start addr value %s\n", &start)) return 0;
        } else if (strcasecmp(w, "-size") == 0) {
            if (!parseValue(argc, argv, &i, "-size", "invalid size value %s\n", &size)) return 0;
        } else if (name == nullptr) {
            name = w;
        } else {
            printf("only one file name, please.\n");
            return 0;
        }
    }
    if (name == nullptr && !erase) {
        printf("please specify either -erase, a file, or both.\n");
        return 0;
    }
    // A page must fit one transfer with its four command bytes.
    if (pageSize == 0 || pageSize > 0xFFFF - 4) {
        printf("invalid page size value %u\n", pageSize);
        return 0;
    }
    auto* page = static_cast<uint8_t*>(malloc(pageSize + 4));
    if (page == nullptr) {
        printf("unable to allocate buffer.\n");
        return 0;
    }
    FILE* in = nullptr;
    if (name != nullptr && (in = fopen(name, "rb")) == nullptr) {
        printf("unable to open %s for input.\n", name);
        free(page);
        return 0;
    }
    auto fail = [&](const char* message) {
        if (message != nullptr) printf("%s", message);
        if (in != nullptr) fclose(in);
        free(page);
        return 0;
    };
    uint32_t spinner = 0;
    uint8_t scratch[4] = {};
    if (erase) {
        printf("Enabling writes...");
        char version[80] = {};
        const TcsResult result = tcsTestGetVersion(g_hSensor, version);
        if (result != TCS_RESULT_OK) {
            printf("Failed to determine the firmware version. Status - %s\n", SensorResultStatus(result));
            return fail(nullptr);
        }
        if (startsWith(version, "04.40") || startsWith(version, "04.60")) {
            return fail("Bulk erase command is unacceptable for secure sensors.\n");
        }
        if (startsWith(version, "04.21")) {
            uint32_t owned = 0;
            const TcsResult status = tcsTestSensorGetSecurityStatus(g_hSensor, &owned);
            if (status != TCS_RESULT_OK) {
                printf("FAILED to retreive sensor security status. Status - %s\n", SensorResultStatus(status));
                return fail(nullptr);
            }
            if (owned == 1) {
                return fail("Bulk erase command is unacceptable for owned tfs641 sensors.\nPlease, run \"resetOwner\" "
                            "command first.\n");
            }
        }
        const uint8_t enable = kWriteEnable;
        if (transfer(1, &enable, scratch) != TCS_RESULT_OK) return fail("Unable to execute initial write enable.\n");
        if (!SensorSPIFlashWaitStatusReg(kWel, 0, &spinner)) return fail("Unable to wait for WEL to set.\n");
        printf("erasing...");
        const uint8_t bulk = kBulkErase;
        if (transfer(1, &bulk, scratch) != TCS_RESULT_OK) return fail("Unable to execute bulk erase.\n");
        if (!SensorSPIFlashWaitStatusReg(0, kWip, &spinner)) return fail("Unable to wait for WIP to clear.\n");
        printf("done.\n");
    }
    if (in == nullptr) {
        free(page);
        return 1;
    }
    printf("Programming...");
    auto* echo = static_cast<uint8_t*>(malloc(pageSize + 4));
    if (echo == nullptr) return fail("unable to allocate buffer.\n");
    uint32_t address = start;
    uint32_t left = size;
    int result = 1;
    while (left > 0) {
        const uint32_t want = pageSize < left ? pageSize : left;
        const size_t got = fread(page + 4, 1, want, in);
        if (got == 0) break;
        printf("%c\b", kTwirlies[spinner++ % 4]);
        const uint8_t enable = kWriteEnable;
        const char* error = nullptr;
        if (transfer(1, &enable, scratch) != TCS_RESULT_OK) error = "Unable to execute write enable.\n";
        else if (!SensorSPIFlashWaitStatusReg(kWel, 0, &spinner)) error = "Unable to wait for WEL to set.\n";
        if (error == nullptr) {
            page[0] = kPageProgram;
            putAddress(page + 1, address);
            printf("%c\b", kTwirlies[spinner++ % 4]);
            if (transfer(uint16_t(got + 4), page, echo) != TCS_RESULT_OK) error = "Unable to execute page program.\n";
            else if (!SensorSPIFlashWaitStatusReg(0, kWip, &spinner)) error = "Unable to wait for WIP to clear.\n";
        }
        if (error != nullptr) {
            printf("%s", error);
            result = 0;
            break;
        }
        address += uint32_t(got);
        left -= uint32_t(got);
    }
    if (result == 1) printf("done.\n");
    free(echo);
    fclose(in);
    free(page);
    return result;
}

int SensorGetFlashInfo(int, char**) {
    FlashPartInfo info{};
    static_assert(sizeof info <= 40, "the layer fills a 40-byte record");
    uint8_t record[40] = {};
    const TcsResult result = tcsTestGetFlashMemoryInfo(g_hSensor, record);
    if (result != TCS_RESULT_OK) {
        printf("tcsTestGetFlashMemoryInfo failed with status - %s\n", SensorResultStatus(result));
        return 0;
    }
    memcpy(&info, record, sizeof info);
    info.name[sizeof info.name - 1] = '\0';
    printf("Sensor Flash Info:\n");
    printf("\tPart Number:               %s\n", info.name);
    printf("\tSize:                      %lu KB\n", static_cast<unsigned long>(info.capacity / 1024));
    printf("\tSignature:                 0x%x\n", info.resSignature);
    printf("\tMfg ID:                    0x%x\n", info.jedec[0]);
    printf("\tMemory Type:               0x%x\n", info.jedec[1]);
    printf("\tMemory Capacity:           0x%x\n", info.jedec[2]);
    printf("\tBlock Size:                %lu KB\n", static_cast<unsigned long>(info.blockSize / 1024));
    printf("\tSector Size:               %lu KB\n", static_cast<unsigned long>(info.eraseUnit / 1024));
    printf("\tSector Erase Command:      0x%x\n", info.eraseOpcode);
    printf("\tSector Erase Command Size: %lu\n\n", static_cast<unsigned long>(info.last));
    return 1;
}
