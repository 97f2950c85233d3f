// Command handlers that pair the sensor with the host and undo the pairing, provision a clean
// sensor, and report its security state.
#include "tools/sensor/cli/file_io.h"
#include "tools/sensor/cli/sensor_tool.h"

#include "platform/memory.h"
#include "platform/settings.h"

#include <array>
#include <stdio.h>
#include <string.h>
#include <strings.h>

using sensor_tool::readWholeFile;
using sensor_tool::ReadStatus;
using sensor_tool::SecretBuffer;
using sensor_tool::startsWith;

namespace {

constexpr const char* kCikFile = "./cik.bin";
constexpr const char* kCiosFile = "./cios.bin";
constexpr const char* kHostPublicFile = "./ha_pub_mod.bin";
constexpr const char* kHostPrivateFile = "./ha_priv_blob.bin";
constexpr const char* kSensorModulusFile = "./s_priv_mod.bin";
constexpr const char* kSensorExponentFile = "./s_priv_exp.bin";
constexpr const char* kAuthDataFile = "./auth_data.bin";
constexpr const char* kAuthTokenFile = "./auth_token.bin";

// Fixed data only the sensor's firmware interprets: a stand-in modulus for the simulated sensor key
// (top bit set, odd) and the provisioning masks. Any fixed value serves, as long as it never changes.
template <size_t N>
constexpr std::array<uint8_t, N> fixedBytes(uint32_t seed, bool modulus) {
    std::array<uint8_t, N> out{};
    uint32_t x = seed;
    for (size_t i = 0; i < N; ++i) {
        x = x * 1103515245u + 12345u;
        out[i] = uint8_t(x >> 16);
    }
    if (modulus) {
        out[0] |= 0x80;
        out[N - 1] |= 0x01;
    }
    return out;
}

constexpr auto kSimModulus1024 = fixedBytes<128>(0x1024u, true);
constexpr auto kSimModulus2048 = fixedBytes<256>(0x2048u, true);
constexpr auto kProvisionMask1 = fixedBytes<16>(0x0440u, false);
constexpr auto kProvisionMask2 = fixedBytes<24>(0x0460u, false);
constexpr auto kProvisionMask3 = fixedBytes<48>(0x0646u, false);

// The password of "setowner" and "resetowner": word 2 when present, its bytes without the NUL.
struct Password {
    explicit Password(int argc, char** argv) {
        if (argc > 2) {
            value.length = uint32_t(strlen(argv[2]));
            if (value.length != 0) {
                copy = static_cast<uint8_t*>(palRealMalloc(value.length));
                if (copy != nullptr) memcpy(copy, argv[2], value.length);
                else value.length = 0;
                value.data = copy;
            }
        }
    }
    ~Password() {
        if (copy != nullptr) {
            memset(copy, 0, value.length);
            palRealFree(copy);
        }
    }
    SizedBuffer value{0, nullptr};
    uint8_t* copy = nullptr;
};

bool readSerialSection(char* section) {
    DeviceInfoRecord info{};
    if (tcsSensorGetDeviceInfo(g_hSensor, &info) != TCS_RESULT_OK) {
        printf("FAILED to get device info\n");
        return false;
    }
    SensorKeySection(info.serial, section);
    return true;
}

bool storeValue(const char* section, const char* name, const uint8_t* data, uint32_t size) {
    if (palSetPersistentDataBinaryValue(section, name, data, size) != TCS_RESULT_OK) {
        printf("FAILED to store HA private key in registry\n");
        return false;
    }
    return true;
}

}  // namespace

int SensorSetOwner(int argc, char** argv) {
    Password password(argc, argv);
    const TcsResult result = tcsSensorSetOwner(g_hSensor, &password.value);
    if (result == TCS_RESULT_OK) {
        printf("\n Set Sensor Owner SUCCESS  \n");
        return 1;
    }
    printf("FAILED to Set Sensor Owner.  \n");
    if (result == TCS_RESULT_BAD_PARAM) printf("\tPassword is incorrect (too long or not specified).  \n");
    return 0;
}

int SensorResetOwner(int argc, char** argv) {
    Password password(argc, argv);
    char version[80] = {};
    char section[260] = {};
    if ((gMode & 0x80000000u) != 0) {
        if (tcsSensorGetVersionA(g_hSensor, version) != TCS_RESULT_OK) {
            printf("FAILED to get version\n");
            return 0;
        }
        if (startsWith(version, "04.40") || startsWith(version, "04.60") || startsWith(version, "06.00")) {
            DeviceInfoRecord info{};
            if (tcsSensorGetDeviceInfo(g_hSensor, &info) != TCS_RESULT_OK) {
                printf("FAILED to get device info\n");
                return 0;
            }
            SensorKeySection(info.serial, section);
            if (tcsTestSensorUpdateSecurityState(g_hSensor) != TCS_RESULT_OK) {
                printf("tcsTestSensorUpdateSecurityState FAILED \n");
                return 0;
            }
        }
    }
    const TcsTestPassword pw{password.value.length, password.value.data};
    const TcsResult result = tcsTestSensorResetOwner(g_hSensor, &pw);
    if (result != TCS_RESULT_OK) {
        printf("FAILED to Reset Sensor Owner.  \n");
        if (result == TCS_RESULT_SENSOR_CMD_DENIED) printf("The sensor is not in secure state. \n");
        return 0;
    }
    printf("\n Reset Sensor Owner SUCCESS  \n");
    // Named from the device information read before the reset: the sensor has been reset since.
    if (startsWith(version, "04.40")) palDeletePersistentKey(section);  // the store answers 6, not looked at
    return 1;
}

int SensorSetOwnerWithKeys(int argc, char** argv) {
    uint32_t keyLength = 0;
    if (tcsSensorGetSupportedRSAKeyLength(g_hSensor, &keyLength) != TCS_RESULT_OK) {
        printf("FAILED to get supported RSA key length.  \n");
        return 0;
    }
    SecretBuffer cik, cios, hostPublic, hostPrivate, sensorModulus, sensorExponent;
    auto read = [](const char* name, uint32_t required, SecretBuffer& into) {
        into.reset();
        return readWholeFile(name, required, &into.data, &into.size) == ReadStatus::kOk;
    };
    for (int i = 2; i < argc; ++i) {
        const char* word = argv[i];
        if (strcasecmp(word, "cik") == 0) {
            if (!read(kCikFile, 32, cik)) return 0;
        } else if (strcasecmp(word, "cios") == 0) {
            if (!read(kCiosFile, 32, cios)) return 0;
        } else if (strcasecmp(word, "ha_key") == 0) {
            if (!read(kHostPublicFile, keyLength, hostPublic)) return 0;
            if (!read(kHostPrivateFile, 0, hostPrivate)) return 0;
            char section[260];
            if (!readSerialSection(section)) return 0;
            if (!storeValue(section, "HAPrivKey", hostPrivate.data, hostPrivate.size)) return 0;
        } else if (strcasecmp(word, "s_key") == 0) {
            if (!read(kSensorModulusFile, keyLength, sensorModulus)) return 0;
            char section[260];
            if (!readSerialSection(section)) return 0;
            if (!storeValue(section, "SPrivMod", sensorModulus.data, sensorModulus.size)) return 0;
            if (!read(kSensorExponentFile, keyLength, sensorExponent)) return 0;
        }
    }
    const TcsResult result = tcsSensorSetOwnerWithKeys(g_hSensor, cik.data, cios.data, sensorExponent.data,
                                                       sensorModulus.data, hostPublic.data);
    if (result != TCS_RESULT_OK) {
        printf("FAILED to Set Sensor Owner.  \n");
        return 0;
    }
    printf("\n Set Sensor Owner SUCCESS  \n");
    return 1;
}

int SensorSetOwnerSim(int, char**) {
    char version[80] = {};
    if (tcsSensorGetVersionA(g_hSensor, version) != TCS_RESULT_OK) {
        printf("FAILED to get version\n");
        return 0;
    }
    TcsResult result = TCS_RESULT_OK;
    if (startsWith(version, "04.40")) {
        uint32_t keyLength = 0;
        if (tcsSensorGetSupportedRSAKeyLength(g_hSensor, &keyLength) != TCS_RESULT_OK) {
            printf("FAILED to get supported RSA key length.  \n");
            return 0;
        }
        SecretBuffer hostPublic, hostPrivate;
        if (readWholeFile(kHostPublicFile, keyLength, &hostPublic.data, &hostPublic.size) != ReadStatus::kOk) return 0;
        if (readWholeFile(kHostPrivateFile, 0, &hostPrivate.data, &hostPrivate.size) != ReadStatus::kOk) return 0;
        char section[260];
        if (!readSerialSection(section)) return 0;
        // The values live only while the simulated ownership sets up its secure session, which reads
        // them through the key callbacks; they go again whatever the outcome.
        const uint8_t* modulus = keyLength == 256 ? kSimModulus2048.data() : kSimModulus1024.data();
        const uint32_t modulusLength = keyLength == 256 ? 256 : (keyLength < 128 ? keyLength : 128);
        const bool stored = storeValue(section, "HAPrivKey", hostPrivate.data, hostPrivate.size) &&
                            storeValue(section, "SPrivMod", modulus, modulusLength);
        if (stored) result = tcsTestSimulateTakeOwnership(g_hSensor, hostPublic.data, hostPublic.size, nullptr);
        palRemovePersistentDataValue(section, "SPrivMod");
        palRemovePersistentDataValue(section, "HAPrivKey");
        // A store failure has printed its line; the ownership's own general error (1) must still
        // reach the failure line below rather than end the handler silently.
        if (!stored) return 0;
    } else {
        result = tcsTestSimulateTakeOwnership(g_hSensor, nullptr, 0, nullptr);
    }
    if (result != TCS_RESULT_OK) {
        printf("FAILED to Set Sensor Owner.  \n");
        return 0;
    }
    printf("\n Set Sensor Owner SUCCESS  \n");
    tcsTestReset(g_hSensor, 0);
    return 1;
}

int SensorProvision(int argc, char** argv) {
    auto failed = [] {
        printf("Sensor provisioning FAILED\n");
        return 0;
    };
    if (tcsTestSensorUnloadPatch(g_hSensor) != TCS_RESULT_OK) {
        printf("tcsTestSensorUnloadPatch failed.\n");
        return failed();
    }
    char version[80] = {};
    TcsResult result = tcsTestGetVersion(g_hSensor, version);
    if (result != TCS_RESULT_OK) {
        printf("Failed to determine the firmware version. Status - %s\n", SensorResultStatus(result));
        return failed();
    }
    int variant = 0;
    if (startsWith(version, "04.40")) {
        variant = 1;
    } else if (startsWith(version, "04.60")) {
        variant = argc > 2 && strncasecmp(argv[2], "tfs646", 6) == 0 ? 3 : 2;
    }
    if (variant == 0 && !startsWith(version, "00.30") && !startsWith(version, "04.00") &&
        !startsWith(version, "04.10") && !startsWith(version, "04.20") && !startsWith(version, "04.21")) {
        printf("Unsupported for %s sensor operation.\n", version);
        return failed();
    }
    if (variant != 0 && tcsTestSensorUpdateSecurityState(g_hSensor) != TCS_RESULT_OK) {
        printf("tcsTestSensorUpdateSecurityState FAILED \n");
        return 0;
    }
    uint32_t info[4] = {};
    if (tcsSensorGetSecurityInfo(g_hSensor, info) != TCS_RESULT_OK) {
        printf("FAILED to determine the security status.\n");
        return failed();
    }
    if (info[0] != 0) {
        printf("Already provisioned.\n");
        return 1;
    }
    uint8_t otp[128] = {};
    if (tcsTestSensorOtpRead(g_hSensor, otp, nullptr) != TCS_RESULT_OK) {
        printf("FAILED to Read OTP.\n");
        return failed();
    }
    uint8_t reply[52] = {};
    if (tcsTestSensorProvision(g_hSensor, sizeof reply, reply, nullptr) != TCS_RESULT_OK) {
        printf("tcsTestSensorProvision failed.\n");
        return failed();
    }
    if (variant != 2) otp[1] |= 0x01;
    if (variant != 0) {
        otp[1] ^= 0xDC;
        otp[3] ^= 0x03;
        otp[2] ^= variant == 1 ? 0xC0 : variant == 2 ? 0xD0 : 0xF0;
        otp[2] ^= 0x08;
        const uint8_t* mask = variant == 1 ? kProvisionMask1.data() : variant == 2 ? kProvisionMask2.data()
                                                                                   : kProvisionMask3.data();
        const size_t offset = variant == 1 ? 112 : variant == 2 ? 104 : 80;
        const size_t length = variant == 1 ? 16 : variant == 2 ? 24 : 48;
        for (size_t i = 0; i < length; ++i) otp[offset + i] ^= mask[i];
    }
    if (tcsTestSensorOtpWrite(g_hSensor, otp, nullptr) != TCS_RESULT_OK) {
        printf("FAILED to Write OTP.\n");
        return failed();
    }
    printf("Sensor provisioning SUCCEEDED\n");
    if (variant != 0) {
        printf("Unplug and plug the sensor back...\n");
        return 1;
    }
    printf("Resetting the sensor...\n");
    const bool reset = tcsTestReset(g_hSensor, 20) == TCS_RESULT_OK;
    if (!reset) printf("tcsTestReset failed.\n");
    printf("Done.\n");
    return reset ? 1 : 0;
}

int SensorDecommission(int, char**) {
    printf("This command is currently disabled \n");
    return 0;
}

int SensorLock(int, char**) {
    if (tcsSensorLock(g_hSensor) != TCS_RESULT_OK) {
        printf("FAILED to lock sensor \n");
        return 0;
    }
    printf("Sensor locking  SUCCEEDED \n");
    return 1;
}

int SensorGetSecureStatus(int, char**) {
    uint32_t secure = 0;
    const bool ok = tcsTestSensorGetSecurityStatus(g_hSensor, &secure) == TCS_RESULT_OK;
    if (!ok) {
        printf("FAILED to retreive  sensor security status \n");
        secure = 0;
    }
    printf(secure != 0 ? "Current sensor is secure \n" : "Current sensor isn't secure \n");
    return ok ? 1 : 0;
}

int SensorGetSSLStatus(int, char**) {
    uint32_t established = 0;
    const bool ok = tcsTestIsInSecureSession(g_hSensor, &established) == TCS_RESULT_OK;
    if (!ok) {
        printf("FAILED to determine SSL connection is established \n");
        established = 0;
    }
    printf(established != 0 ? "SSL connection is established \n" : "SSL connection isn't established \n");
    return ok ? 1 : 0;
}

int SensorGetOwnershipInfo(int, char**) {
    uint16_t total = 0, available = 0;
    if (tcsSensorGetOwnershipInfo(g_hSensor, &total, &available) != TCS_RESULT_OK) {
        printf("FAILED to Get Ownership Info \n");
        return 0;
    }
    printf("Get Ownership Info  SUCCESS \n");
    printf("Total cycles number: %d \n", total);
    printf("Available cycles number: %d \n", available);
    return 1;
}

int SensorGetCertificate(int, char**) {
    uint32_t keyLength = 0, exponent = 0;
    uint8_t modulus[256] = {}, signature[256] = {};
    if (tcsTestSensorGetCertificate(g_hSensor, &keyLength, &exponent, modulus, signature) != TCS_RESULT_OK) {
        printf("FAILED to Get Certificate \n");
        return 0;
    }
    printf("Get Certificate  SUCCESS \n");
    printf("Key length: %d \n", int(keyLength));
    printf("pub_exp: %d \n", int(exponent));
    printf("\n modulus: \n\t");
    for (uint8_t b : modulus) printf("%02x ", b);
    printf("\n");
    printf("\n sign: \n\t");
    for (uint8_t b : signature) printf("%02x ", b);
    printf("\n");
    return 1;
}

int SensorGetAuthData(int, char**) {
    SecretBuffer data;
    if (readWholeFile(kAuthDataFile, 0, &data.data, &data.size) != ReadStatus::kOk) return 0;
    uint8_t* token = nullptr;
    uint32_t tokenLength = 4096;
    if (tcsTestSensorGetAuthData(g_hSensor, data.data, data.size, nullptr, 0, &token, &tokenLength, 0) !=
        TCS_RESULT_OK) {
        printf("FAILED to Get Auth Data \n");
        return 0;
    }
    printf("PASSED to Get Auth Data \n");
    int result = 1;
    FILE* out = fopen(kAuthTokenFile, "wb");
    if (out == nullptr) {
        printf("\n %s file open failed. \n", kAuthTokenFile);
        result = 0;
    } else {
        if (tokenLength != 0 && token != nullptr) fwrite(token, 1, tokenLength, out);
        fclose(out);
    }
    if (token != nullptr) palRealFree(token);
    return result;
}
