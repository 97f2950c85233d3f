// Command handlers that report what the sensor says about itself: version, start information and
// whether its configuration can be read.
#include "tools/sensor/cli/sensor_tool.h"

#include "platform/text.h"

#include <initializer_list>
#include <stdio.h>
#include <string.h>
#include <strings.h>
#include <utility>

namespace {

constexpr uint16_t kErrorStatusBit = 0x0400;

uint16_t u16At(const uint8_t* reply, size_t offset) {
    uint16_t raw;
    memcpy(&raw, reply + offset, 2);
    return palSensorToHost16(raw);
}

uint32_t u32At(const uint8_t* reply, size_t offset) {
    uint32_t raw;
    memcpy(&raw, reply + offset, 4);
    return palSensorToHost32(raw);
}

bool detailed(int argc, char** argv) {
    return argc > 2 && strcasecmp(argv[2], "-v") == 0;
}

// Sends a one-byte command and checks the reply's status; prints the failure and returns false.
bool rawQuery(uint8_t code, uint8_t* reply, uint32_t* length) {
    if (tcsTestSensorSendCommand(g_hSensor, &code, 1, reply, length) != TCS_RESULT_OK) {
        printf("Command failed.\n");
        return false;
    }
    if (*length < 2) {
        printf("Response too short (no status) (%u bytes).\n", *length);
        return false;
    }
    const uint16_t status = u16At(reply, 0);
    if ((status & kErrorStatusBit) != 0) {
        printf("Error status returned %u 0x%x\n", status, status);
        return false;
    }
    return true;
}

const char* nameOf(uint32_t value, const char* const* names, uint32_t count, const char* other) {
    return value < count && names[value] != nullptr ? names[value] : other;
}

void printBits(const char* label, uint32_t value, std::initializer_list<std::pair<int, const char*>> bits) {
    printf("%s", label);
    for (const auto& [bit, name] : bits) {
        if ((value & (1u << bit)) != 0) printf(" %s", name);
    }
    printf("\n");
}

}  // namespace

int SensorGetVersion(int argc, char** argv) {
    if (!detailed(argc, argv)) {
        char text[80] = {};
        const TcsResult result = tcsTestGetVersion(g_hSensor, text);
        if (result != TCS_RESULT_OK) {
            printf("GetVersion failed with status -  %s\n", SensorResultStatus(result));
            return 0;
        }
        printf("Sensor Version %s\n", text);
        return 1;
    }
    uint8_t r[38] = {};
    uint32_t n = sizeof r;
    if (!rawQuery(1, r, &n)) return 0;
    static const char* const kTargets[] = {nullptr, "(ROM)\n", "(FPGA)\n", "(RTLSIM)\n", "(ISS)\n", "(FPGADBG)\n"};
    static const char* const kIfaces[] = {nullptr, "(USB)\n", "(PARALLEL)\n", "(SPI)\n", "(SPI_MASTER)\n",
                                          "(SPI_MCBSP)\n"};
    auto product = [](uint32_t p) -> const char* {
        static const char* const kProducts[] = {nullptr,          "(Harlok)\n",    "(Selkin)\n", "(Harlokusb)\n",
                                                "(Harlokspi)\n", "(Selkinusb)\n", "(Selkinspi)\n"};
        if (p < 7 && kProducts[p] != nullptr) return kProducts[p];
        if (p == 20) return "(TAVUUSB)\n";
        if (p == 46) return "(Pavlekusb)\n";
        return "(?)\n";
    };
    // Each field is printed only when the reply reaches past its last byte.
    if (n < 6) return 1;
    printf("buildtime        = 0x%08lx\n", static_cast<unsigned long>(u32At(r, 2)));
    if (n < 10) return 1;
    printf("buildnum         = %lu\n", static_cast<unsigned long>(u32At(r, 6)));
    if (n < 11) return 1;
    printf("vmajor           = %u\n", r[10]);
    if (n < 12) return 1;
    printf("vminor           = %u\n", r[11]);
    if (n < 13) return 1;
    printf("target           = %u %s", r[12], nameOf(r[12], kTargets, 6, "(?)\n"));
    if (n < 14) return 1;
    printf("product          = %u %s", r[13], product(r[13]));
    if (n < 15) return 1;
    printf("siliconrev       = %u 0x%02x\n", r[14], r[14]);
    if (n < 16) return 1;
    printf("formalrel        = %u\n", r[15]);
    if (n < 17) return 1;
    printf("platform         = %u 0x%02x\n", r[16], r[16]);
    if (n < 18) return 1;
    printf("patch            = %u\n", r[17]);
    if (n < 24) return 1;
    printf("serial_number[6] = 0x%02x %02x %02x %02x %02x %02x\n", r[18], r[19], r[20], r[21], r[22], r[23]);
    if (n < 26) return 1;
    printf("security[2]      = 0x%02x %02x\n", r[24], r[25]);
    if (n < 30) return 1;
    const uint32_t signature = u32At(r, 26);
    printf("patchsig         = 0x%08lx\n", static_cast<unsigned long>(signature));
    printBits("                   phase:", signature,
              {{0, "boot"}, {1, "cal"}, {2, "secmgmt"}, {3, "flash"}, {14, "moduletest"}, {15, "led"},
               {16, "provision"}, {17, "getprint"}, {18, "nav"}, {19, "securematch"}, {20, "takeownsimul"},
               {21, "setvckiveng"}, {22, "setvckivprd"}, {23, "spansusp"}});
    printBits("                   iface:", signature, {{4, "USB"}, {5, "PP"}, {6, "SPIs"}, {7, "SPIm"}, {8, "SPImcbsp"}});
    printBits("                   sec:", signature, {{12, "ins"}, {13, "aes"}});
    if (n < 31) return 1;
    printf("iface            = %u %s", r[30], nameOf(r[30], kIfaces, 6, "(?)\n"));
    return 1;
}

int SensorGetStartInfo(int argc, char** argv) {
    static const char* const kStartTypes[] = {"RESET", "SLEEP", "WOE"};
    static const char* const kResetTypes[] = {"POWERON", "WDOG", "PANIC", "COMM", "CMD", "UNKNOWN"};
    if (!detailed(argc, argv)) {
        TcsTestStartInfo info{};
        const TcsResult result = tcsTestSensorGetStartInfo(g_hSensor, &info);
        if (result != TCS_RESULT_OK) {
            printf("Get start info failed with status - %s\n", SensorResultStatus(result));
            return 0;
        }
        printf("Get start info success values are\n");
        printf("\tStart Type: %s", nameOf(info.startType, kStartTypes, 3, "unknown"));
        printf("(%d)\tReset Type: %s", info.startType, nameOf(info.resetType, kResetTypes, 5, "unknown"));
        printf("(%d)\tStart Status: 0x%08lx\n", info.resetType, static_cast<unsigned long>(info.word));
        return 1;
    }
    uint8_t r[68] = {};
    uint32_t n = sizeof r;
    if (!rawQuery(25, r, &n)) return 0;
    static const char* const kFields[] = {"start_status",
                                          "sanity_pc",
                                          "sanity_code",
                                          "cpu_reset_nvinfo.pc",
                                          "cpu_reset_nvinfo.suspendctrl",
                                          "cpu_reset_nvinfo.count",
                                          "cpu_reset_nvinfo.dpc",
                                          "cpu_reset_nvinfo.lvl1int",
                                          "cpu_reset_nvinfo.magic",
                                          "cpu_reset_nvinfo.epc1",
                                          "cpu_reset_nvinfo.epc2",
                                          "cpu_reset_nvinfo.depc",
                                          "cpu_reset_nvinfo.debugcause",
                                          "cpu_reset_nvinfo.exccause",
                                          "cpu_reset_nvinfo.excvaddr",
                                          "dummy"};
    printf("%28s:       0x%02x=%s\n", "start_type", r[2], nameOf(r[2], kStartTypes, 3, "?"));
    printf("%28s:       0x%02x=%s\n", "reset_type", r[3], nameOf(r[3], kResetTypes, 6, "?"));
    for (int f = 0; f < 16; ++f) {
        const unsigned long v = u32At(r, 4 + 4 * size_t(f));
        const char* label = kFields[f];
        switch (f) {
        case 0: {
            static const char* const kEvents[] = {"EV_RESET", "EV_TIMER", "EV_FINGER", "EV_GPIO",
                                                  "EV_SPI",   "EV_USB",   "EV_PP",     "EV_ABORT"};
            printf("%28s: 0x%08lx=", label, v);
            bool named = false;
            unsigned long rest = v;
            for (int bit = 2; bit <= 9; ++bit) {
                if ((v & (1ul << bit)) == 0) continue;
                printf("%s%s", named ? "|" : "", kEvents[bit - 2]);
                named = true;
                rest &= ~(1ul << bit);
            }
            if (rest != 0) printf("%s0x%08lx", named ? "|" : "", rest);
            printf("\n");
            break;
        }
        case 2:
        case 4:
        case 5:
            printf("%28s: 0x%08lx=%lu\n", label, v, v);
            break;
        case 8:
            printf("%28s: 0x%08lx=%s", label, v, v == 0xD88741B7ul ? "magical\n" : "unmagical\n");
            break;
        case 12: {
            static const char* const kCauses[] = {"IC", "IB", "DB", "BI", "BN", "DI"};
            printf("%28s: 0x%08lx=", label, v);
            printf("DBNUM=%u", unsigned((v >> 8) & 0xF));
            for (int bit = 5; bit >= 0; --bit) {
                if ((v & (1ul << bit)) != 0) printf("|%s", kCauses[bit]);
            }
            const unsigned long other = v & ~0xF3Ful;
            if (other != 0) printf("|0x%08lx", other);
            printf("\n");
            break;
        }
        case 13: {
            const char* cause = "(unknown)";
            static const struct {
                unsigned long code;
                const char* name;
            } kExc[] = {{0, "IllegalInstructionCause"},   {1, "SyscallCause"},
                        {2, "InstructionFetchErrorCause"}, {3, "LoadStoreErrorCause"},
                        {4, "Level1InterruptCause"},       {5, "AllocaCause"},
                        {8, "PrivilegedCause"},            {9, "LoadStoreAlignmentCause"},
                        {16, "InstTLBMissCause"},          {17, "InstTLBMultiHitCause"},
                        {18, "InstFetchPrivilegeCause"},   {20, "InstFetchProhibitedCause"},
                        {24, "LoadStoreTLBMissCause"},     {25, "LoadStoreTLBMultiHitCause"},
                        {26, "LoadStorePrivilegeCause"},   {28, "LoadProhibitedCause"},
                        {29, "StoreProhibitedCause"}};
            for (const auto& e : kExc) {
                if (e.code == v) cause = e.name;
            }
            char coprocessor[24];
            if (v >= 32 && v <= 39) {
                snprintf(coprocessor, sizeof coprocessor, "Coprocessor%luDisabled", v - 32);
                cause = coprocessor;
            }
            printf("%28s: 0x%08lx=%lu %s\n", label, v, v, cause);
            break;
        }
        default:
            printf("%28s: 0x%08lx\n", label, v);
            break;
        }
    }
    return 1;
}

int SensorGetConfig(int, char**) {
    uint8_t* configuration = nullptr;
    uint32_t length = 0;
    const TcsResult result = tcsTestSensorGetConfiguration(g_hSensor, &configuration, &length);
    if (result == TCS_RESULT_OK) printf("Get configuration was successful\n");
    else printf("Get configuration failed  failed with status - %s\n", SensorResultStatus(result));
    tcsTestSensorFreeConfiguration(configuration);
    return 1;
}
