// Sensor flash access: identifying the SPI NOR part, the per-sensor storage record, and page read,
// page program, erase and bulk read, each one or more SPI transactions through sensor control.
#include "platform/clock.h"
#include "platform/memory.h"
#include "tcs/flashfs/flash_internal.h"
#include "tcs/sensorctl/protocol/patch_loader.h"
#include "tcs/sensorctl/protocol/patches.h"
#include "tcs/sensorctl/secure/security.h"
#include "tcs/sensorctl/protocol/sensor_commands.h"

#include <string.h>

namespace {

constexpr uint32_t KiB = 1024;
constexpr uint32_t MiB = 1024 * KiB;
constexpr TcsResult kNoFlash = 83;
constexpr uint32_t kErasePollMs = 25;
constexpr uint32_t kPatchSettleMs = 10;
constexpr uint32_t kIdentifyReadLength = 128;
// The fast-read command moves whole 64-byte packets; larger ranges go in pieces.
constexpr uint32_t kBulkPacket = 64;
constexpr uint32_t kBulkChunk = 64 * KiB;

constexpr FlashPartInfo flashIDs[] = {
    {"M25P05-A", 64 * KiB, 0x05, {0x20, 0x20, 0x10}, 32 * KiB, 32 * KiB, 0xD8, 4},
    {"M25P10-A", 128 * KiB, 0x10, {0x20, 0x20, 0x11}, 32 * KiB, 32 * KiB, 0xD8, 4},
    {"M25P20", 256 * KiB, 0x11, {0x20, 0x20, 0x12}, 64 * KiB, 64 * KiB, 0xD8, 4},
    {"M25P40", 512 * KiB, 0x12, {0x20, 0x20, 0x13}, 64 * KiB, 64 * KiB, 0xD8, 4},
    {"M25P80", 1 * MiB, 0x13, {0x20, 0x20, 0x14}, 64 * KiB, 64 * KiB, 0xD8, 4},
    {"M25P16", 2 * MiB, 0x14, {0x20, 0x20, 0x15}, 64 * KiB, 64 * KiB, 0xD8, 4},
    {"M25P32", 4 * MiB, 0x15, {0x20, 0x20, 0x16}, 64 * KiB, 64 * KiB, 0xD8, 4},
    {"M25P64", 8 * MiB, 0x16, {0x20, 0x20, 0x17}, 64 * KiB, 64 * KiB, 0xD8, 4},
    {"SST25VF040B", 512 * KiB, 0x8D, {0xBF, 0x25, 0x8D}, 64 * KiB, 64 * KiB, 0xD8, 4},
    {"W25X10A", 128 * KiB, 0x10, {0xEF, 0x30, 0x11}, 64 * KiB, 4 * KiB, 0x20, 4},
    {"W25X20A", 256 * KiB, 0x11, {0xEF, 0x30, 0x12}, 64 * KiB, 4 * KiB, 0x20, 4},
    {"W25X40A", 512 * KiB, 0x12, {0xEF, 0x30, 0x13}, 64 * KiB, 4 * KiB, 0x20, 4},
    {"W25X80A", 1 * MiB, 0x13, {0xEF, 0x30, 0x14}, 64 * KiB, 4 * KiB, 0x20, 4},
    {"W25Q40B", 512 * KiB, 0x12, {0xEF, 0x40, 0x13}, 64 * KiB, 4 * KiB, 0x20, 4},
    {"W25Q80B", 1 * MiB, 0x13, {0xEF, 0x40, 0x14}, 64 * KiB, 4 * KiB, 0x20, 4},
    {"MX25L4006E", 512 * KiB, 0x12, {0xC2, 0x20, 0x13}, 64 * KiB, 4 * KiB, 0x20, 4},
    {"EN25Q40", 512 * KiB, 0x12, {0x1C, 0x30, 0x13}, 64 * KiB, 4 * KiB, 0x20, 4},
};

void putAddress(uint8_t* command, uint32_t address) {
    command[1] = uint8_t(address >> 16);
    command[2] = uint8_t(address >> 8);
    command[3] = uint8_t(address);
}

// One identification command: a plain transaction, or on a secured sensor outside a secure session
// a bulk read of the command alone (the firmware refuses plain transactions there).
TcsResult identifyCommand(ScsSensor* sensor, bool viaBulk, uint8_t command, uint8_t* answer, uint32_t answerLength) {
    if (viaBulk) {
        uint8_t buffer[kIdentifyReadLength];
        const TcsResult result = BulkRead(sensor, 0, buffer, sizeof buffer, command);
        if (result == TCS_RESULT_OK) memcpy(answer, buffer, answerLength);
        return result;
    }
    uint8_t tx[5] = {command, 0, 0, 0, 0};
    uint8_t rx[5] = {};
    const uint32_t length = answerLength + 1;
    const TcsResult result = xtfsdetail::spiTrans(sensor, tx, rx, length);
    if (result == TCS_RESULT_OK) memcpy(answer, rx + 1, answerLength);
    return result;
}

}  // namespace

namespace xtfsdetail {

bool inSecureSession(const ScsSensorDevice* device) {
    return scsSSLIsInSession(const_cast<ScsSensorDevice*>(device)) != 0;
}

TcsResult spiTrans(ScsSensor* sensor, const uint8_t* transmit, uint8_t* receive, uint32_t length) {
    uint8_t scratch[4 + XTFS_PAGE_SIZE + 1];
    if (receive == nullptr) {
        if (length > sizeof scratch) return TCS_RESULT_BAD_PARAM;
        receive = scratch;
    }
    // No secure-transfer descriptor: the pages handed up are always plain.
    return scsSensorSPITrans(sensor, length, transmit, nullptr, receive);
}

TcsResult waitForWriteComplete(ScsSensor* sensor, uint32_t intervalMs) {
    // No time limit: the part always ends its program or erase, or the transaction fails.
    for (;;) {
        if (intervalMs != 0) palSleep(intervalMs);
        const uint8_t tx[4] = {0x05, 0, 0, 0};
        uint8_t rx[4] = {};
        const TcsResult result = spiTrans(sensor, tx, rx, sizeof tx);
        if (result != TCS_RESULT_OK) return result;
        if ((rx[1] & 1) == 0) return TCS_RESULT_OK;
    }
}

TcsResult programPage(ScsSensor* sensor, uint32_t address, const uint8_t* data, uint32_t length) {
    if (data == nullptr || length == 0) return TCS_RESULT_BAD_PARAM;
    if (address % XTFS_PAGE_SIZE + length > XTFS_PAGE_SIZE) return TCS_RESULT_BAD_PARAM;
    const uint8_t enable = 0x06;
    TcsResult result = spiTrans(sensor, &enable, nullptr, 1);
    if (result != TCS_RESULT_OK) return result;
    uint8_t tx[4 + XTFS_PAGE_SIZE];
    tx[0] = 0x02;
    putAddress(tx, address);
    memcpy(tx + 4, data, length);
    result = spiTrans(sensor, tx, nullptr, 4 + length);
    return result == TCS_RESULT_OK ? waitForWriteComplete(sensor, 0) : result;
}

TcsResult writeRawData(ScsSensor* sensor, uint32_t address, const uint8_t* data, uint32_t length) {
    if (data == nullptr) return TCS_RESULT_BAD_PARAM;
    while (length > 0) {
        const uint32_t piece = XTFS_PAGE_SIZE - address % XTFS_PAGE_SIZE < length
                                   ? XTFS_PAGE_SIZE - address % XTFS_PAGE_SIZE
                                   : length;
        const TcsResult result = programPage(sensor, address, data, piece);
        if (result != TCS_RESULT_OK) return result;
        address += piece;
        data += piece;
        length -= piece;
    }
    return TCS_RESULT_OK;
}

TcsResult eraseBlock(ScsSensor* sensor, uint8_t opcode, uint32_t address) {
    const uint8_t enable = 0x06;
    TcsResult result = spiTrans(sensor, &enable, nullptr, 1);
    if (result != TCS_RESULT_OK) return result;
    uint8_t tx[4] = {opcode, 0, 0, 0};
    putAddress(tx, address);
    result = spiTrans(sensor, tx, nullptr, sizeof tx);
    return result == TCS_RESULT_OK ? waitForWriteComplete(sensor, kErasePollMs) : result;
}

TcsResult ensureContext(ScsSensor* sensor, ScsSensorDevice* device) {
    if (device->storageInfo != nullptr) return TCS_RESULT_OK;
    // Sensors of the Brellow family would take their geometry from sensor control; none exist here.
    FlashPartInfo row{};
    const TcsResult result = GetFlashMemoryInfo(sensor, &row);
    if (result != TCS_RESULT_OK) return result;
    auto* info = static_cast<XtfsStorageInfo*>(palRealMalloc(sizeof(XtfsStorageInfo)));
    if (info == nullptr) return TCS_RESULT_OUT_OF_MEMORY;
    memset(info, 0, sizeof *info);
    info->capacity = row.capacity;
    info->blockSize = row.blockSize;
    info->pagesPerBlock = row.blockSize / XTFS_PAGE_SIZE;
    info->eraseUnit = row.eraseUnit;
    info->rowLast = row.last;
    info->eraseOpcode = uint8_t(row.eraseOpcode);
    device->storageInfo = info;
    return TCS_RESULT_OK;
}

}  // namespace xtfsdetail

using xtfsdetail::DeviceRef;

extern "C" {

TcsResult GetFlashMemoryInfo(ScsSensor* sensor, FlashPartInfo* outRow) {
    if (outRow == nullptr) return TCS_RESULT_BAD_PARAM;
    DeviceRef ref(sensor);
    if (ref.result != TCS_RESULT_OK) return ref.result;
    const bool viaBulk = xtfsdetail::isSecured(ref.device) && !xtfsdetail::inSecureSession(ref.device);
    uint8_t jedec[3] = {};
    TcsResult result = identifyCommand(sensor, viaBulk, 0x9F, jedec, sizeof jedec);
    if (result != TCS_RESULT_OK && result != TCS_RESULT_NOT_SUPPORTED) return result;
    if (result == TCS_RESULT_OK && jedec[0] != 0x00 && jedec[0] != 0xFF) {
        for (const FlashPartInfo& row : flashIDs) {
            if (memcmp(row.jedec, jedec, 3) == 0) {
                *outRow = row;
                return TCS_RESULT_OK;
            }
        }
        FlashPartInfo generic{"", 0, 0, {jedec[0], jedec[1], jedec[2]}, 64 * KiB, 4 * KiB, 0x20, 4};
        // A capacity code past 31 cannot be a size in 32 bits: no part to work with.
        if (jedec[2] >= 32) return kNoFlash;
        generic.capacity = 1u << jedec[2];
        *outRow = generic;
        return TCS_RESULT_OK;
    }
    uint8_t res[4] = {};
    result = identifyCommand(sensor, viaBulk, 0xAB, res, sizeof res);
    if (result != TCS_RESULT_OK) return result;
    for (const FlashPartInfo& row : flashIDs) {
        if (row.resSignature == res[3]) {
            *outRow = row;
            return TCS_RESULT_OK;
        }
    }
    return kNoFlash;
}

TcsResult GetFlashInfoInternal(ScsSensor* sensor) {
    DeviceRef ref(sensor);
    if (ref.result != TCS_RESULT_OK) return ref.result;
    return xtfsdetail::ensureContext(sensor, ref.device);
}

TcsResult xtfsGetFlashInfo(ScsSensor* sensor, uint32_t* outCapacity) {
    if (outCapacity == nullptr) return TCS_RESULT_BAD_PARAM;
    DeviceRef ref(sensor);
    if (ref.result != TCS_RESULT_OK) return ref.result;
    const TcsResult result = xtfsdetail::ensureContext(sensor, ref.device);
    if (result == TCS_RESULT_OK) *outCapacity = xtfsdetail::infoOf(ref.device)->capacity;
    return result;
}

TcsResult xtfsGetFlashSectorSize(ScsSensor* sensor, uint32_t* outSize) {
    if (outSize == nullptr) return TCS_RESULT_BAD_PARAM;
    DeviceRef ref(sensor);
    if (ref.result != TCS_RESULT_OK) return ref.result;
    const TcsResult result = xtfsdetail::ensureContext(sensor, ref.device);
    if (result == TCS_RESULT_OK) *outSize = xtfsdetail::infoOf(ref.device)->blockSize;
    return result;
}

TcsResult PageReadRaw(ScsSensor* sensor, uint32_t address, uint8_t* page256) {
    if (page256 == nullptr) return TCS_RESULT_BAD_PARAM;
    DeviceRef ref(sensor);
    if (ref.result != TCS_RESULT_OK) return ref.result;
    uint8_t tx[4 + XTFS_PAGE_SIZE] = {0x03};
    uint8_t rx[4 + XTFS_PAGE_SIZE];
    putAddress(tx, address);
    const TcsResult result = xtfsdetail::spiTrans(sensor, tx, rx, sizeof tx);
    if (result == TCS_RESULT_OK) memcpy(page256, rx + 4, XTFS_PAGE_SIZE);
    return result;
}

TcsResult SPIRead(ScsSensor* sensor, uint32_t address, uint32_t length, void* buffer) {
    if (buffer == nullptr || length == 0) return TCS_RESULT_BAD_PARAM;
    DeviceRef ref(sensor);
    if (ref.result != TCS_RESULT_OK) return ref.result;
    auto* out = static_cast<uint8_t*>(buffer);
    for (uint32_t page = 0; page < length / XTFS_PAGE_SIZE; ++page) {
        uint8_t tx[5 + XTFS_PAGE_SIZE] = {0x0B};
        uint8_t rx[5 + XTFS_PAGE_SIZE];
        putAddress(tx, address + page * XTFS_PAGE_SIZE);
        const TcsResult result = xtfsdetail::spiTrans(sensor, tx, rx, sizeof tx);
        if (result != TCS_RESULT_OK) return result;
        memcpy(out + page * XTFS_PAGE_SIZE, rx + 5, XTFS_PAGE_SIZE);
    }
    return TCS_RESULT_OK;
}

TcsResult PageProgramRaw(ScsSensor* sensor, uint32_t address, const uint8_t* page256) {
    DeviceRef ref(sensor);
    if (ref.result != TCS_RESULT_OK) return ref.result;
    return xtfsdetail::programPage(sensor, address, page256, XTFS_PAGE_SIZE);
}

TcsResult xtfsWriteRawDataToPage(ScsSensor* sensor, uint32_t address, const void* data, uint32_t length) {
    DeviceRef ref(sensor);
    if (ref.result != TCS_RESULT_OK) return ref.result;
    return xtfsdetail::programPage(sensor, address, static_cast<const uint8_t*>(data), length);
}

TcsResult xtfsWriteRawDataToFlash(ScsSensor* sensor, uint32_t address, const void* data, uint32_t length) {
    DeviceRef ref(sensor);
    if (ref.result != TCS_RESULT_OK) return ref.result;
    return xtfsdetail::writeRawData(sensor, address, static_cast<const uint8_t*>(data), length);
}

TcsResult WaitForWriteComplete(ScsSensor* sensor, uint32_t intervalMs) {
    DeviceRef ref(sensor);
    if (ref.result != TCS_RESULT_OK) return ref.result;
    return xtfsdetail::waitForWriteComplete(sensor, intervalMs);
}

TcsResult SectorErase(ScsSensor* sensor, uint32_t address) {
    DeviceRef ref(sensor);
    if (ref.result != TCS_RESULT_OK) return ref.result;
    return xtfsdetail::eraseBlock(sensor, 0xD8, address);
}

TcsResult UnitErase(ScsSensor* sensor, uint32_t address) {
    DeviceRef ref(sensor);
    if (ref.result != TCS_RESULT_OK) return ref.result;
    const TcsResult result = xtfsdetail::ensureContext(sensor, ref.device);
    if (result != TCS_RESULT_OK) return result;
    return xtfsdetail::eraseBlock(sensor, xtfsdetail::infoOf(ref.device)->eraseOpcode, address);
}

TcsResult xtfsBulkErase(ScsSensor* sensor) {
    DeviceRef ref(sensor);
    if (ref.result != TCS_RESULT_OK) return ref.result;
    const uint8_t enable = 0x06;
    TcsResult result = xtfsdetail::spiTrans(sensor, &enable, nullptr, 1);
    const uint8_t chipErase = 0xC7;
    if (result == TCS_RESULT_OK) result = xtfsdetail::spiTrans(sensor, &chipErase, nullptr, 1);
    return result == TCS_RESULT_OK ? xtfsdetail::waitForWriteComplete(sensor, kErasePollMs) : result;
}

TcsResult BulkRead(ScsSensor* sensor, uint32_t address, void* buffer, uint32_t length, uint8_t readCommand) {
    if (buffer == nullptr) return TCS_RESULT_BAD_PARAM;
    DeviceRef ref(sensor);
    if (ref.result != TCS_RESULT_OK) return ref.result;
    TcsResult result = scsDownloadFlashPatch(sensor);
    auto* out = static_cast<uint8_t*>(buffer);
    if (result == TCS_RESULT_OK && readCommand != 0) {
        const uint32_t rounded = (length + kBulkPacket - 1) / kBulkPacket * kBulkPacket;
        auto* scratch = static_cast<uint8_t*>(palRealMalloc(rounded == 0 ? kBulkPacket : rounded));
        if (scratch == nullptr) {
            result = TCS_RESULT_OUT_OF_MEMORY;
        } else {
            result = scsFastReadSPIFlash(sensor, 0xFFFFFFFFu, 1, &readCommand, rounded == 0 ? kBulkPacket : rounded,
                                         scratch);
            if (result == TCS_RESULT_OK) memcpy(out, scratch, length);
            palRealFree(scratch);
        }
    }
    uint8_t* scratch = nullptr;
    for (uint32_t done = 0; result == TCS_RESULT_OK && readCommand == 0 && done < length;) {
        const uint32_t piece = length - done < kBulkChunk ? length - done : kBulkChunk;
        uint8_t command[5] = {0x0B, 0, 0, 0, 0};
        putAddress(command, address + done);
        if (piece % kBulkPacket == 0) {
            result = scsFastReadSPIFlash(sensor, address + done, sizeof command, command, piece, out + done);
        } else {
            // The tail that is not a whole packet goes through a scratch buffer.
            const uint32_t rounded = (piece + kBulkPacket - 1) / kBulkPacket * kBulkPacket;
            scratch = static_cast<uint8_t*>(palRealMalloc(rounded));
            if (scratch == nullptr) {
                result = TCS_RESULT_OUT_OF_MEMORY;
                break;
            }
            result = scsFastReadSPIFlash(sensor, address + done, sizeof command, command, rounded, scratch);
            if (result == TCS_RESULT_OK) memcpy(out + done, scratch, piece);
            palRealFree(scratch);
            scratch = nullptr;
        }
        done += piece;
    }
    palSleep(kPatchSettleMs);
    const TcsResult restored = scsSensorRestoreRunPatch(sensor);
    return result != TCS_RESULT_OK ? result : restored;
}

uint32_t IsBlankBuffer(const uint8_t* buffer, uint32_t length) {
    if (buffer == nullptr) return 0;
    for (uint32_t i = 0; i < length; ++i) {
        if (buffer[i] != 0xFF) return 0;
    }
    return 1;
}

uint32_t IsBlankPage(const uint8_t* page256) { return IsBlankBuffer(page256, XTFS_PAGE_SIZE); }

}  // extern "C"
