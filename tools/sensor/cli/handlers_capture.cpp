// Command handlers that capture from the sensor and write what they get: raw scan lines into a
// comma-separated text file and a binary file, a capture command taken from a file, a full capture
// through the stack, stopping a capture, and the last print's signature.
#include "tools/sensor/cli/sensor_tool.h"

#include "platform/memory.h"
#include "platform/text.h"
#include "tcs/handle_map.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>

namespace {

constexpr uint16_t kDefaultLines = 1023;
constexpr uint32_t kMaxBulkCommand = 8192;
constexpr uint32_t kTimeslotFirst = 0x30042800u;
constexpr uint32_t kTimeslotEnd = 0x30042D80u;

// True when every tail of the word begins with a number that "%i" reads.
bool numericWord(const char* word) {
    if (*word == '\0') return false;
    for (const char* tail = word; *tail != '\0'; ++tail) {
        int value = 0;
        if (sscanf(tail, "%i", &value) != 1) return false;
    }
    return true;
}

void writeCsvLine(FILE* csv, const uint8_t* bytes, uint32_t count) {
    for (uint32_t i = 0; i < count; ++i) fprintf(csv, i + 1 < count ? "%3.3d, " : "%3.3d", bytes[i]);
    fprintf(csv, "\n");
}

}  // namespace

void SensorWriteLineRecords(FILE* csv, FILE* bin, const TcsTestRawLine* lines, uint32_t count) {
    for (uint32_t i = 0; i < count; ++i) {
        // A record never holds more than its 400 data bytes, whatever its count says.
        const uint32_t length = lines[i].length < sizeof lines[i].data ? lines[i].length : sizeof lines[i].data;
        if (csv != nullptr) writeCsvLine(csv, lines[i].data, length);
        if (bin != nullptr && length != 0) fwrite(lines[i].data, 1, length, bin);
    }
}

void SensorWriteBulkCsv(FILE* csv, const uint8_t* data, uint32_t byteCount, uint32_t lineLength) {
    if (lineLength == 0) return;
    uint32_t start = 0;
    for (uint64_t consumed = 0; consumed < byteCount && start < byteCount; consumed += lineLength) {
        const uint32_t available = byteCount - start;
        writeCsvLine(csv, data + start, lineLength < available ? lineLength : available);
        const uint64_t end = uint64_t(start) + lineLength;
        uint64_t next = end;
        if (end + 1 < byteCount && data[end] == 0x01 && data[end + 1] == 0xFE) {
            next = end;
        } else {
            // The next line starts at the first 0x01, 0xFE pair after the line's first byte, looked for
            // within three line lengths of its start (and within the data).
            for (uint64_t j = uint64_t(start) + 1; j + 1 < byteCount && j + 1 - start < 3ull * lineLength; ++j) {
                if (data[j] == 0x01 && data[j + 1] == 0xFE) {
                    next = j;
                    break;
                }
            }
        }
        if (next >= byteCount) break;
        start = uint32_t(next);
    }
}

int SensorGetPrint(int argc, char** argv) {
    if (argc > 6) {
        usage();
        return 0;
    }
    uint32_t lines = kDefaultLines;
    const char* configName = nullptr;
    bool dump = false, qcf = false;
    uint32_t encrypt = 0;
    int next = 2;
    if (argc >= 3 && numericWord(argv[2])) {
        unsigned int value = 0;
        sscanf(argv[2], "%i", &value);
        lines = value == 0 || value > 65000 ? kDefaultLines : value;
        next = 3;
    }
    for (int i = next; i < argc; ++i) {
        if (strcasecmp(argv[i], "dumpcfg") == 0) {
            dump = true;
        } else if (strcasecmp(argv[i], "qcf") == 0) {
            qcf = true;
        } else if (strcasecmp(argv[i], "enc") == 0) {
            encrypt = 1;
        } else if (configName == nullptr) {
            configName = argv[i];
        } else {
            usage();
            return 0;
        }
    }
    if (GetCommandProtocolVersion() != 1) return 0;
    PrintConfiguration* config = nullptr;
    if (tcsTestLoadPrintConfigFromFile(g_hSensor, configName, &config) != TCS_RESULT_OK) {
        printf("ERROR: Invalid configuration file - %s\n", configName != nullptr ? configName : "(null)");
        return 0;
    }
    uint32_t item = 0;
    tcsTestGetUint32DataFromPrintConfig(g_hSensor, config, 8, &item);
    tcsTestFreePrintConfig(g_hSensor, &config);
    const char* captureName = configName;
    if (captureName == nullptr) captureName = gUseInternalCfg != 0 ? nullptr : TCS_TEST_DEFAULT_CONFIG;

    auto* records = static_cast<TcsTestRawLine*>(calloc(lines, sizeof(TcsTestRawLine)));
    if (records == nullptr) return 0;
    const TcsResult result = tcsTestGetRawScanlines(g_hSensor, uint16_t(lines), records, 0, captureName, encrypt);
    if (result != TCS_RESULT_OK) {
        printf("getPrint failed with status - %s\n", SensorResultStatus(result));
        free(records);
        return 0;
    }
    if (uint64_t(lines) * item == 0) {
        free(records);
        return 0;
    }
    if (!qcf) {
        FILE* csv = fopen("./FingerPrint.csv", "w");
        if (csv == nullptr) printf("Open file c:\\FingerPrint.csv failed \n");
        FILE* bin = fopen("./FingerPrint.bin", "wb");
        if (bin == nullptr) printf("Open file c:\\FingerPrint.bin failed\n");
        SensorWriteLineRecords(csv, bin, records, lines);
        if (csv != nullptr) fclose(csv);
        if (bin != nullptr) fclose(bin);
    }
    free(records);
    if (!dump) {
        remove("./Timeslot.cfg");
        return 1;
    }
    FILE* slots = fopen("./Timeslot.cfg", "w");
    if (slots == nullptr) {
        printf("Open file c:\\Timeslot.cfg failed\n");
        return 1;
    }
    for (uint32_t address = kTimeslotFirst; address < kTimeslotEnd; address += 4) {
        uint32_t value = 0;
        if (tcsTestPeek(g_hSensor, address, 4, &value) != TCS_RESULT_OK) break;
        fprintf(slots, "0x%08x\n", value);
    }
    fclose(slots);
    return 1;
}

int SensorGetPrintBulk(int argc, char** argv) {
    const char* commandFile = argc > 2 ? argv[2] : "./command.bin";
    FILE* in = fopen(commandFile, "rb");
    if (in == nullptr) {
        printf("Open file <%s> failed\n", commandFile);
        return 0;
    }
    static uint8_t command[kMaxBulkCommand];
    const size_t length = fread(command, 1, sizeof command, in);
    fclose(in);
    if (length == 0) {
        printf("Read file <%s> failed\n", commandFile);
        return 0;
    }
    // Both size bytes sit inside the command: a shorter one counts them as 0.
    const uint32_t numLines = length > 3 ? command[3] : 0;
    const uint32_t lineLength = length > 1 ? command[1] : 0;
    printf("NumLines = %d, LineLength = %d\n", int(numLines), int(lineLength));
    const uint32_t dataSize = numLines * lineLength;
    auto* data = static_cast<uint8_t*>(malloc(dataSize != 0 ? dataSize : 1));
    if (data == nullptr) return 0;
    uint8_t reply[1024] = {};
    uint32_t replyLength = sizeof reply;
    uint32_t byteCount = 0;
    if (tcsTestGetPrintBulk(g_hSensor, command, uint32_t(length), 60000, reply, &replyLength, data, dataSize,
                            &byteCount) != TCS_RESULT_OK) {
        free(data);
        return 0;
    }
    const char* replyFile = argc > 3 ? argv[3] : "./reply.bin";
    int result = 0;
    FILE* out = nullptr;
    if (replyLength == 0) {
        printf("A zero sized reply received. This can be due to sensor reset.\n");
    } else if ((out = fopen(replyFile, "wb")) == nullptr) {
        printf("Open file <%s> failed\n", replyFile);
    } else if (fwrite(reply, 1, replyLength, out) != replyLength) {
        printf("Write file <%s> failed\n", replyFile);
    } else {
        result = 1;
    }
    if (out != nullptr) fclose(out);
    if (result == 0) {
        free(data);
        return 0;
    }
    uint16_t status = 0xFFFF;
    if (GetCommandProtocolVersion() == 1) {
        if (replyLength >= 2) {
            uint16_t raw;
            memcpy(&raw, reply, 2);
            status = palSensorToHost16(raw);
        }
    } else {
        printf("UNEXPECTED ERROR: Invalid command protocol version.\n");
    }
    printf(status != 0 ? "Command failed.\n" : "Command succeeded.\n");
    printf("Reply written to <%s> file.\nFingerprint written to <%s> file.\n", replyFile, "./FingerPrint.bin");
    if (byteCount > dataSize) byteCount = dataSize;
    if (byteCount == 0) {
        free(data);
        return 0;
    }
    FILE* csv = fopen("./FingerPrint.csv", "w");
    if (csv == nullptr) {
        printf("Open file c:\\HarlokPrint.csv failed \n");
    } else {
        SensorWriteBulkCsv(csv, data, byteCount, lineLength);
        fclose(csv);
    }
    FILE* bin = fopen("./FingerPrint.bin", "wb");
    if (bin == nullptr) {
        printf("Open file c:\\HarlokPrint.bin failed\n");
    } else {
        fwrite(data, 1, byteCount, bin);
        fclose(bin);
    }
    free(data);
    return 1;
}

int SensorGetPrintWait(int, char**) {
    TcsHandle image = 0;
    if (tcsTestSensorGetFingerprint(g_hSensor, &image, TCS_TEST_DEFAULT_CONFIG, nullptr, 1, 60000) != TCS_RESULT_OK) {
        printf("tcsTestSensorGetFingerprint failed.\n");
        return 0;
    }
    // Nothing reads the image: give it back, or every capture of a script keeps one.
    tcsHandleDestroy(image);
    return 1;
}

int SensorStopPrint(int, char**) {
    if (tcsTestStopPrint(g_hSensor) != TCS_RESULT_OK) return 0;
    printf("Print stopped\n");
    return 1;
}

int SensorGetPrintSignature(int argc, char** argv) {
    const bool verify = argc > 2 && strcmp(argv[2], "verify") == 0;
    uint8_t kind = 0;
    uint8_t signature[256] = {};
    const TcsResult result = tcsTestSensorGetPrintSignature(g_hSensor, &kind, signature);
    if (result != TCS_RESULT_OK) {
        printf("FAILED to get print signature with status - %s\n", SensorResultStatus(result));
        return 0;
    }
    printf("Hash Type: %d \n", kind);
    printf("Signature: \n\t");
    const int length = kind == 1 ? 256 : 32;
    for (int i = 0; i < length; ++i) printf("%02X", signature[i]);
    printf("\n");
    if (verify) {
        uint8_t last[32] = {};
        tcsTestSensorGetLastFpSignature(g_hSensor, last);
        printf("Last calculated is:\n\t");
        for (uint8_t b : last) printf("%02X", b);
        printf("\n");
        printf(tcsTestSensorVerifyFpSignature(g_hSensor) == TCS_RESULT_OK ? "Signature verified successfully \n"
                                                                          : "Signature not verified\n");
    }
    return 1;
}
