// Command handlers for the sensor's one-time-programmable memory (OTP): read-out, product options,
// serial numbers, the unique id, the VCK seed and the conversion into a production sensor. OTP bits
// can only be set, so every write is an image of zeros holding just the bits to program.
#include "tools/sensor/cli/sensor_tool.h"

#include "tools/sensor/cli/file_io.h"

#include "platform/text.h"

#include <ctype.h>
#include <stdio.h>
#include <string.h>
#include <strings.h>

using sensor_tool::startsWith;

namespace {

constexpr const char* kOtpFile = "./otp.bin";
constexpr const char* kVckFile = "./evck_iv.bin";
constexpr const char* kModuleTestPatch = "./5_03u_moduletest.patch";
constexpr uint32_t kOtpSize = 128;
constexpr uint32_t kRecordSize = 2048;

struct NamedBit {
    const char* name;
    uint8_t bit;
};
constexpr NamedBit SetProdOptHarlokOptions[] = {
    {"-spatch", 0x02}, {"-smatch", 0x01}, {"-led", 0x04}, {"-fpr_off", 0x08}, {"-aessha_1dma_mode", 0x10}};
constexpr NamedBit SetProdOptSelkinOptions[] = {{"-smatch", 0x08}};

const NamedBit* LookupName(const char* word, const NamedBit* table, size_t rows) {
    for (size_t i = 0; i < rows; ++i) {
        if (strcasecmp(word, table[i].name) == 0) return &table[i];
    }
    return nullptr;
}

bool confirmed() {
    fflush(stdout);
    return getc(stdin) == 'y';
}

bool refreshSecurityIfKeyed(const char* version) {
    if (!startsWith(version, "04.40") && !startsWith(version, "04.60")) return true;
    if (tcsTestSensorUpdateSecurityState(g_hSensor) != TCS_RESULT_OK) {
        printf("tcsTestSensorUpdateSecurityState FAILED \n");
        return false;
    }
    return true;
}

void printSerial(const char* label, const uint8_t* s) {
    printf("%s%02X%02X%02X%02X%02X%02X\n", label, s[0], s[1], s[2], s[3], s[4], s[5]);
}

// Serial bytes of the earlier family's record: two copies, ORed on reading.
constexpr size_t kSerialCopyA[6] = {48, 49, 32, 33, 34, 35};
constexpr size_t kSerialCopyB[6] = {56, 57, 40, 41, 42, 43};

// The ROM checksum decides whether the module-test patch is needed for the OTP calls that follow;
// NULL patch when it is not, false when neither way works.
bool moduleTestPatch(const char** patch) {
    uint32_t checksum = 0;
    *patch = nullptr;
    if (tcsTestSensorRomChecksum(g_hSensor, &checksum, nullptr) == TCS_RESULT_OK) return true;
    if (tcsTestSensorRomChecksum(g_hSensor, &checksum, kModuleTestPatch) == TCS_RESULT_OK) {
        *patch = kModuleTestPatch;
        return true;
    }
    printf("Failed to load moduletest patch.\n");
    printf("5_03u_moduletest.patch should be located");
    printf("in the working directory of the application.\n");
    return false;
}

}  // namespace

int ParseSerialNum(const char* text, uint8_t* out6) {
    if (text == nullptr || strlen(text) != 12) return TCS_RESULT_INVALID;
    for (int i = 0; i < 12; ++i) {
        if (!isxdigit(static_cast<unsigned char>(text[i]))) return TCS_RESULT_INVALID;
    }
    for (int i = 0; i < 6; ++i) {
        auto digit = [](char c) { return isdigit(static_cast<unsigned char>(c)) ? c - '0' : (tolower(c) - 'a' + 10); };
        out6[i] = uint8_t(digit(text[2 * i]) * 16 + digit(text[2 * i + 1]));
    }
    return TCS_RESULT_OK;
}

int FindDunmoOtpTaggedValue(const uint8_t* area, uint32_t* outLength, uint32_t tag) {
    uint32_t offset = 0;
    while (offset < 2044) {
        uint32_t word;
        memcpy(&word, area + offset, 4);
        if (word == 0 || word == 0xFFFFFFFFu) {
            offset += 4;
            continue;
        }
        const uint32_t entryTag = area[offset + 1] >> 4;
        const uint32_t length = uint32_t(area[offset + 1] & 0x0F) * 256 + area[offset];
        if (entryTag == tag) {
            *outLength = length;
            return int(offset);
        }
        if (length == 0) return -2;
        offset += (area[offset] & 3) != 0 ? (length + 3) & ~3u : length;
    }
    *outLength = 0;
    return -1;
}

int SensorOtpRead(int, char**) {
    uint8_t otp[kOtpSize] = {};
    if (tcsTestSensorOtpRead(g_hSensor, otp, nullptr) != TCS_RESULT_OK) {
        printf("FAILED to Read OTP.  \n");
        return 0;
    }
    printf("\n OTP read SUCCESS  \n");
    FILE* out = fopen(kOtpFile, "wb");
    if (out == nullptr) {
        printf("\n %s file open failed. \n", kOtpFile);
        return 0;
    }
    fwrite(otp, 1, sizeof otp, out);
    fclose(out);
    return 1;
}

int SensorOtpWrite(int, char**) {
    FILE* in = fopen(kOtpFile, "rb");
    if (in == nullptr) {
        printf("\n %s file open failed. \n", kOtpFile);
        return 0;
    }
    uint8_t otp[kOtpSize] = {};
    const size_t got = fread(otp, 1, sizeof otp, in);
    fclose(in);
    // A short file would program zeros the user never gave; refuse it rather than guess.
    if (got != sizeof otp || tcsTestSensorOtpWrite(g_hSensor, otp, nullptr) != TCS_RESULT_OK) {
        printf("FAILED to Write OTP.  \n");
        return 0;
    }
    printf("\n OTP write SUCCESS  \n");
    return 1;
}

int SensorSetProdOpts(int argc, char** argv) {
    const NamedBit* table = SetProdOptHarlokOptions;
    size_t rows = sizeof SetProdOptHarlokOptions / sizeof SetProdOptHarlokOptions[0];
    int first = 2;
    if (argc > 2 && strcasecmp(argv[2], "-selkin") == 0) {
        table = SetProdOptSelkinOptions;
        rows = 1;
        first = 3;
    }
    const bool show = first >= argc;
    uint8_t mask = 0;
    for (int i = first; i < argc; ++i) {
        const NamedBit* row = LookupName(argv[i], table, rows);
        if (row == nullptr) {
            printf("Unrecognized option %s.\n", argv[i]);
            return 0;
        }
        mask |= row->bit;
    }
    char version[80] = {};
    const TcsResult result = tcsTestGetVersion(g_hSensor, version);
    if (result != TCS_RESULT_OK) {
        printf("Failed to determine the firmware version. Status - %s\n", SensorResultStatus(result));
        return 0;
    }
    if (!refreshSecurityIfKeyed(version)) return 0;
    uint8_t otp[kOtpSize] = {};
    if (tcsTestSensorOtpRead(g_hSensor, otp, nullptr) != TCS_RESULT_OK) {
        printf("FAILED to Read OTP.  \n");
        return 0;
    }
    const uint8_t options = otp[3];
    if (show) {
        for (size_t i = 0; i < rows; ++i) {
            printf("Bit '%s' is %s\n", table[i].name, (options & table[i].bit) != 0 ? "set" : "clear");
        }
        return 1;
    }
    if ((options & mask) == mask) {
        printf("Specified option(s) is(are) already set.\n");
        return 1;
    }
    uint8_t image[kOtpSize] = {};
    image[3] = mask;
    if (tcsTestSensorOtpWrite(g_hSensor, image, nullptr) != TCS_RESULT_OK) {
        printf("FAILED to Write OTP.  \n");
        return 0;
    }
    printf("Programming done.\n");
    if (tcsTestSensorOtpRead(g_hSensor, otp, nullptr) != TCS_RESULT_OK) {
        printf("\nFAILED to Read OTP.  \n");
        return 0;
    }
    printf(otp[3] == mask ? "Verification succeeded.\n" : "Verification failed.\n");
    return 1;
}

int SensorSerialize(int argc, char** argv) {
    char version[80] = {};
    if (tcsTestGetVersion(g_hSensor, version) != TCS_RESULT_OK) {
        printf("tcsTestGetVersion FAILED\n");
        return 0;
    }
    printf("Sensor version: %s\n\n", version);
    size_t offset = 0;
    bool earlier = false;
    static const char* const kMain[] = {"00.30", "04.00", "04.10", "04.20", "04.21", "04.40", "04.60"};
    for (const char* v : kMain) {
        if (startsWith(version, v)) offset = 8;
    }
    if (startsWith(version, "00.09")) offset = 3;
    if (startsWith(version, "05.03")) earlier = true;
    if (offset == 0 && !earlier) {
        printf("Unsupported sensor.\n");
        return 0;
    }
    if (!earlier) {
        if (!refreshSecurityIfKeyed(version)) return 0;
        uint8_t otp[kOtpSize] = {};
        if (tcsTestSensorOtpRead(g_hSensor, otp, nullptr) != TCS_RESULT_OK) {
            printf("\nFAILED to Read OTP.  \n");
            return 0;
        }
        printSerial("Current sensor serial number: ", otp + offset);
        if (argc < 3) return 1;
        uint8_t serial[6];
        if (ParseSerialNum(argv[2], serial) != TCS_RESULT_OK) {
            printf("ParseSerialNum FAILED\n");
            return 0;
        }
        printSerial("    New sensor serial number: ", serial);
        printf("\n");
        for (int i = 0; i < 6; ++i) {
            if ((otp[offset + size_t(i)] & ~serial[i]) != 0) {
                printf("Cannot update sensor to new serial number.\n");
                return 0;
            }
        }
        printf("Are you sure you want to proceed? [y/n] ");
        if (!confirmed()) return 1;
        uint8_t image[kOtpSize] = {};
        memcpy(image + offset, serial, 6);
        if (tcsTestSensorOtpWrite(g_hSensor, image, nullptr) != TCS_RESULT_OK) {
            printf("FAILED to Write OTP.  \n");
            return 0;
        }
        printf("Sensor serial number programmed successfully.\n\n");
        if (tcsTestSensorOtpRead(g_hSensor, otp, nullptr) == TCS_RESULT_OK) {
            printSerial("New sensor serial number: ", otp + offset);
        }
        return 1;
    }
    const char* patch = nullptr;
    if (!moduleTestPatch(&patch)) return 0;
    static uint8_t record[kRecordSize];
    memset(record, 0, sizeof record);
    if (tcsTestSensorOtpReadEx(g_hSensor, 1, 1, record, patch) != TCS_RESULT_OK) {
        printf("\nFAILED to Read OTP.  \n");
        return 0;
    }
    uint8_t current[6];
    bool written = false;
    for (int i = 0; i < 6; ++i) {
        current[i] = record[kSerialCopyA[i]] | record[kSerialCopyB[i]];
        written = written || current[i] != 0;
    }
    printSerial("Current sensor serial number: ", current);
    if (written) {
        printf("Serial Number already written.\n");
        return 0;
    }
    if (argc < 3) return 1;
    uint8_t serial[6];
    if (ParseSerialNum(argv[2], serial) != TCS_RESULT_OK) {
        printf("ParseSerialNum FAILED\n");
        return 0;
    }
    printSerial("    New sensor serial number: ", serial);
    printf("\n");
    printf("Are you sure you want to proceed? [y/n] ");
    if (!confirmed()) return 1;
    for (int i = 0; i < 6; ++i) record[kSerialCopyA[i]] = record[kSerialCopyB[i]] = serial[i];
    uint16_t a = 0, b = 0, c = 0, d = 0;
    if (tcsTestSensorOtpWriteEx(g_hSensor, 1, 1, 2, record, &a, &b, &c, &d, patch) != TCS_RESULT_OK) {
        printf("FAILED to Write OTP.  \n");
        return 0;
    }
    printf("Sensor serial number programmed successfully.\n\n");
    if (tcsTestSensorOtpReadEx(g_hSensor, 1, 1, record, patch) == TCS_RESULT_OK) {
        for (int i = 0; i < 6; ++i) current[i] = record[kSerialCopyA[i]] | record[kSerialCopyB[i]];
        printSerial("New sensor serial number: ", current);
    }
    return 1;
}

int SensorGetUID(int, char**) {
    uint16_t vendor = 0, product = 0;
    uint8_t uid[16] = {};
    const TcsResult result = tcsTestSensorGetUID(g_hSensor, &vendor, &product, uid);
    if (result != TCS_RESULT_OK) {
        printf("FAILED to get print signature with status - %s\n", SensorResultStatus(result));
        return 0;
    }
    printf(" Vendor  ID: %04X \n", vendor);
    printf(" Product ID: %04X \n", product);
    printf(" Unique  ID: ");
    for (uint8_t b : uid) printf("%02X", b);
    printf("\n");
    return 1;
}

int SensorGenVCK(int argc, char** argv) {
    const uint8_t command = 0x2F;
    uint8_t reply[18] = {};
    uint32_t length = sizeof reply;
    if (tcsTestSensorSendCommand(g_hSensor, &command, 1, reply, &length) != TCS_RESULT_OK) {
        printf("Command failed.\n");
        return 0;
    }
    if (length == 0) {
        printf("A zero sized reply received. This can be due to sensor reset.\n");
        return 0;
    }
    if (length < 18) {
        printf("Reply too short (%u bytes) -- does not include encrypted VCK seed\n", length);
        return 0;
    }
    uint16_t raw;
    memcpy(&raw, reply, 2);
    const uint16_t status = palSensorToHost16(raw);
    if ((status & 0x0400) != 0) {
        printf("Error status returned %u 0x%x\n", status, status);
        return 0;
    }
    const char* name = argc > 2 ? argv[2] : kVckFile;
    FILE* out = fopen(name, "wb");
    if (out == nullptr) {
        printf("Open file <%s> failed\n", name);
        return 0;
    }
    const bool written = fwrite(reply + 2, 1, 16, out) == 16;
    fclose(out);
    if (!written) {
        printf("Write file <%s> failed\n", name);
        return 0;
    }
    return 1;
}

int SensorMakeProd(int, char**) {
    auto failed = [] {
        printf("Failed to convert engineering sensor to production.\n");
        return 0;
    };
    char version[80] = {};
    const TcsResult result = tcsTestGetVersion(g_hSensor, version);
    if (result != TCS_RESULT_OK) {
        printf("Failed to determine the firmware version. Status - %s\n", SensorResultStatus(result));
        return failed();
    }
    const bool earlier = startsWith(version, "05.0");
    if (!earlier) {
        if (!startsWith(version, "04.40") && !startsWith(version, "04.60")) {
            printf("Unsupported for %s sensor operation.\n", version);
            return 0;
        }
        if ((gMode & 0x80000000u) != 0) {
            printf("For Harlok sensors command must be issued with \"-doinit\" parameter.\n");
            return 0;
        }
    }
    uint32_t secured = 0;
    if (tcsTestSensorIsRsaSecured(g_hSensor, &secured) != TCS_RESULT_OK) {
        printf("Internal error. Failed to determine the security status.\n");
        return failed();
    }
    if (secured != 0) {
        printf("Please reset the ownership of the sensor and try again.\n");
        return 0;
    }
    if (tcsTestSensorUnloadPatch(g_hSensor) != TCS_RESULT_OK) {
        printf("Internal error. tcsTestSensorUnloadPatch failed.\n");
        return failed();
    }
    if (earlier) {
        printf("You are about to convert the attached Dunmo sensor into Production one.\n");
        printf("This procedure is irreversible.\n");
        printf("Are you sure you want to convert?  [y/n] ");
        if (!confirmed()) return 1;
        const char* patch = nullptr;
        if (!moduleTestPatch(&patch)) return failed();
        static uint8_t record[kRecordSize];
        memset(record, 0, sizeof record);
        if (tcsTestSensorOtpReadEx(g_hSensor, 0, 1, record, patch) != TCS_RESULT_OK) {
            printf("\nFAILED to Read OTP.  \n");
            return failed();
        }
        uint16_t a = 0, b = 0, c = 0, d = 0;
        bool trimmed = false;
        for (size_t i = 0; i < 4; ++i) trimmed = trimmed || record[16 + i] != 0 || record[24 + i] != 0;
        if (trimmed) {
            printf("\nTrim values is already programmed. Skip writing SiOsk asn SlowOsk trim values\n");
        } else {
            static const uint8_t kTrim[4] = {0xEE, 0x32, 0x7D, 0x00};
            memcpy(record + 16, kTrim, 4);
            memcpy(record + 24, kTrim, 4);
            if (tcsTestSensorOtpWriteEx(g_hSensor, 0, 1, 2, record, &a, &b, &c, &d, patch) != TCS_RESULT_OK) {
                printf("FAILED to Write Trim values into the OTP. \n");
            }
        }
        if ((record[51] & 0x04) != 0 || (record[59] & 0x04) != 0) {
            printf("\nSecure bit is already programmed in OTP_PROD_OPTS. Skip writing secure bit.\n");
        } else {
            record[51] = record[59] = 0x04;
            if (tcsTestSensorOtpWriteEx(g_hSensor, 0, 1, 2, record, &a, &b, &c, &d, patch) != TCS_RESULT_OK) {
                printf("FAILED to Write Secure bit into the OTP. \n");
            }
        }
        memset(record, 0, sizeof record);
        if (tcsTestSensorOtpReadEx(g_hSensor, 0, 0, record, patch) != TCS_RESULT_OK) {
            printf("\nFAILED to Read OTP.  \n");
            return failed();
        }
        uint32_t length = 0;
        const int ssk = FindDunmoOtpTaggedValue(record, &length, 3);
        const int vck = ssk == -2 ? -2 : FindDunmoOtpTaggedValue(record, &length, 8);
        if (ssk == -2 || vck == -2) {
            printf("\nFAILED to PARSE OTP. IS IT CORRUPTED ? \n");
            return failed();
        }
        if (ssk >= 0) {
            printf("\nSSK is already programmed. Skip writing SSK\n");
        } else if (tcsTestProgrammDunmoSSK(g_hSensor, patch) != TCS_RESULT_OK) {
            printf("\nFailed to programm SSK\n");
            return failed();
        }
        if (vck >= 0) {
            printf("\nVCK_IV is already programmed. Skip writing VCK_IV\n");
            printf("Done.\n");
            return 1;
        }
        if (tcsTestSensorDownloadSetVCK_IV(g_hSensor, 1, nullptr) != TCS_RESULT_OK) {
            printf("\nFailed to programm VCK_IV\n");
            return failed();
        }
        printf("Done.\n");
        return 1;
    }
    uint8_t otp[kOtpSize] = {};
    if (tcsTestSensorOtpRead(g_hSensor, otp, nullptr) != TCS_RESULT_OK) {
        printf("FAILED to Read OTP.\n");
        return failed();
    }
    if ((otp[1] & 0x20) != 0) {
        printf("The sensor is already production sensor.\n");
        return 1;
    }
    printf("You are about to convert the attached\n");
    printf("Engineering TFS643/645/646 sensor into Production one.\n");
    printf("This procedure is irreversible.\n");
    printf("Are you sure you want to convert?  [y/n] ");
    if (!confirmed()) return 1;
    uint8_t image[kOtpSize] = {};
    image[1] = 0x20;
    if (tcsTestSensorOtpWrite(g_hSensor, image, nullptr) != TCS_RESULT_OK) {
        printf("Failed to Write OTP.\n");
        return failed();
    }
    if (tcsTestSensorUnloadPatch(g_hSensor) != TCS_RESULT_OK) {
        printf("Internal error. tcsTestSensorUnloadPatch failed.\n");
        return failed();
    }
    if (tcsTestSensorDownloadSetVCK_IV(g_hSensor, 1, nullptr) != TCS_RESULT_OK) return failed();
    printf("Done.\n");
    return 1;
}
