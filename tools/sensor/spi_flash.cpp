// SPI flash access through the sensor (single transfers, optionally with the flash data encrypted
// by the sensor, bulk reads), flash information, memory peek and poke, clocks and SPI mode, and the
// two transport control requests.
#include "tcs/database/dss_store.h"
#include "tcs/flashfs/fss.h"
#include "tcs/flashfs/fss_internal.h"
#include "tcs/flashfs/xtfs.h"
#include "tcs/flashfs/xtfs_storage.h"
#include "tcs/sensorctl/protocol/device_properties.h"
#include "tcs/sensorctl/protocol/sensor_commands.h"
#include "tcs/sensorctl/protocol/sensor_properties.h"
#include "tools/sensor/diag_internal.h"

#include <cstring>

using namespace tovdiag;

namespace {

constexpr uint32_t kChunk = 256;
constexpr uint32_t kChunkTransfer = kChunk + 4;
constexpr uint32_t kBaudRateFunction = 0x823;
constexpr uint32_t kIoctlFunction = 0x821;
constexpr uint8_t kTransportNoControl = 1;

static_assert(sizeof(FlashPartInfo) == 40, "the caller's part description is 40 bytes");

bool fastPathAvailable() {
    return gScsWitList[scsWITSensor_CMD_SPISLV_FAST_READ].builder != nullptr ||
           gScsWitList[scsWITSensor_CMD_SPI_FLASH].builder != nullptr;
}

// Forwards a single sensor command: 14, the initialised check, the handle map, then the call.
template <typename Call>
TcsResult forward(TcsHandle handle, Call call) {
    Sensor sensor;
    TcsResult result = kOk;
    if (!beginSensor(handle, true, &sensor, &result)) return result;
    return call(sensor.scs());
}

// Transport kind 1 takes no control requests.
TcsResult transportTakesControl(ScsSensor* sensor) {
    TcsResult result = scsSensorValidate(sensor);
    if (result != kOk) return result;
    DeviceRef ref(sensor);
    if (ref.result != kOk) return ref.result;
    return ref.device->transportKind == kTransportNoControl ? kNotImplemented : kOk;
}

// The flash file system of a database handle. false ends the call with *result: the look-up's
// result for an unknown handle, 17 for a database without a file system.
bool databaseFileSystem(TcsHandle database, FssHandle** out, TcsResult* result) {
    void* record = nullptr;
    *result = tcsSafeDBHandleFetch(database, &record);
    if (record == nullptr) return false;
    FssHandle* fileSystem = static_cast<DssDatabase*>(record)->fileSystem;
    if (fileSystem == nullptr) {
        *result = kBadParam;
        return false;
    }
    *out = fileSystem;
    return true;
}

const char* sectorTypeName(uint8_t type) {
    switch (type) {
    case 255: return "Reserved";
    case 14: return "Data";
    case 12: return "SysFile";
    default: return "Unknown";
    }
}

void printFileSystemReport(FILE* stream, const FssMount& mount) {
    const uint32_t pagesPerSector = mount.pageSize != 0 ? mount.sectorSize / mount.pageSize : 0;
    palFprintf(stream, "  Flash size.............................%d\n", int(mount.capacity));
    palFprintf(stream, "  Flash uses sys file....................%s\n", mount.cacheSectors != 0 ? "Yes" : "No");
    palFprintf(stream, "  Flash system sector count..............%d\n", int(mount.cacheSectors));
    palFprintf(stream, "  Flash sector size......................%d\n", int(mount.sectorSize));
    palFprintf(stream, "  Flash sectors count....................%d\n", int(mount.sectorCount));
    palFprintf(stream, "  Number of Pages in sector..............%d\n", int(pagesPerSector));
    palFprintf(stream, "  Flash page size........................%d\n", int(mount.pageSize));
    for (uint32_t i = 0; i < mount.sectorCount && i < mount.sectors.size(); ++i) {
        const fssdetail::SectorState& sector = mount.sectors[i];
        palFprintf(stream, "\n  Sector_%d (%s) %s\n", int(i), sectorTypeName(sector.type),
                   i == mount.currentSector ? "Active" : "");
        palFprintf(stream, "        Start address......... 0x%08x\n", sector.address);
        palFprintf(stream, "        Is free............... %s\n", sector.fresh == 1 ? "Yes" : "No");
        palFprintf(stream, "        Obsolete page count... %d\n", int(sector.obsolete));
        palFprintf(stream, "        Available page count.. %d\n", int(pagesPerSector + 1) - int(sector.nextFree));
        palFprintf(stream, "        Valid page count...... %d\n", int(sector.nextFree) - 1 - int(sector.obsolete));
        palFprintf(stream, "        Formatted count....... %d\n", int(sector.eraseCount));
    }
}

}  // namespace

extern "C" {

TcsResult tcsTestSensorSPITransPriv(TcsHandle handle, uint16_t length, const uint8_t* command, uint8_t* reply,
                                    uint32_t encrypt) {
    if (handle == 0) return kNullSensor;
    Sensor sensor = fetchSensor(handle);
    if (sensor.record == nullptr) return sensor.result;
    if (command == nullptr || reply == nullptr) return kNullPointer;
    TcsResult result = tcsTestIsSensorInitialized(handle);
    if (result != kOk) return result;
    ScsSensor* scs = sensor.scs();
    scswire::SpiParams record{};
    bool withRecord = false;
    if (encrypt == 1 && scsSensorIsAESSecured(scs) && length >= 1) {
        uint32_t header = 0;
        switch (command[0]) {
        case 0x03: header = 4; break;
        case 0x0B: header = 5; break;
        case 0x02: header = 4, record.first = 1; break;
        default: break;
        }
        if (header != 0 && length >= 5) {
            for (int copy = 0; copy < 4; ++copy) std::memcpy(record.bytes + copy * 4, command + 1, 4);
            const uint32_t payload = length > header ? length - header : 0;
            record.param1 = uint16_t(payload & ~15u);
            record.param2 = uint16_t(header);
            withRecord = true;
        }
    }
    // Flash storage has no SPI transaction of its own in this build: the transfer goes straight to
    // sensor control's SPI command, which carries the encryption record the same way.
    return scsSensorSPITrans(scs, length, command, withRecord ? &record : nullptr, reply);
}

TcsResult tcsTestSensorSPITransEnc(TcsHandle handle, uint16_t length, const uint8_t* command, uint8_t* reply) {
    return tcsTestSensorSPITransPriv(handle, length, command, reply, 1);
}

TcsResult tcsTestSensorSPITrans(TcsHandle handle, uint16_t length, const uint8_t* command, uint8_t* reply) {
    return tcsTestSensorSPITransPriv(handle, length, command, reply, 0);
}

TcsResult tcsTestSensorSPIBulkRead(TcsHandle handle, uint64_t, uint8_t* command4, uint32_t length, uint8_t* out,
                                   uint32_t* outLength, uint32_t method) {
    if (handle == 0) return kNullSensor;
    Sensor sensor = fetchSensor(handle);
    if (sensor.record == nullptr) return sensor.result;
    if (command4 == nullptr || out == nullptr || outLength == nullptr) return kNullPointer;
    TcsResult result = tcsTestIsSensorInitialized(handle);
    if (result != kOk) return result;
    ScsSensor* scs = sensor.scs();
    {
        DeviceRef ref(scs);
        if (ref.result != kOk) return ref.result;
        if (ref.device->fwVersion == nullptr) return kNoVersion;
    }
    uint32_t address = uint32_t(command4[1]) << 16 | uint32_t(command4[2]) << 8 | command4[3];
    const bool fast = fastPathAvailable();
    if (method == 1 && !fast) {
        *outLength = length;
        return kUnsupported;
    }
    if (fast && (method == 0 || method == 1)) {
        result = BulkRead(scs, address, out, length, 0);
        *outLength = length;
        return result;
    }
    const uint32_t whole = length / kChunk * kChunk;
    if (whole == 0) {
        *outLength = length;
        return kOk;
    }
    uint8_t request[kChunkTransfer] = {};
    uint8_t reply[kChunkTransfer] = {};
    for (uint32_t done = 0; done < whole; done += kChunk) {
        std::memset(request, 0, sizeof request);
        std::memcpy(request, command4, 4);
        result = tcsTestSensorSPITrans(handle, kChunkTransfer, request, reply);
        if (result != kOk) return result;
        std::memcpy(out + done, reply + 4, kChunk);
        address += kChunk;
        command4[1] = uint8_t(address >> 16);
        command4[2] = uint8_t(address >> 8);
        command4[3] = uint8_t(address);
    }
    // The length asked for, not the whole chunks read: callers size their output by it.
    *outLength = length;
    return kOk;
}

TcsResult tcsTestSensorSPIRead(TcsHandle handle, uint32_t address, uint32_t length, uint8_t* out) {
    if (out == nullptr) return kNullPointer;
    uint8_t command[4] = {0x03, uint8_t(address >> 16), uint8_t(address >> 8), uint8_t(address)};
    uint32_t read = 0;
    return tcsTestSensorSPIBulkRead(handle, 0, command, length, out, &read, 0);
}

TcsResult tcsTestSensorSectorErase(TcsHandle handle, uint32_t address) {
    return forward(handle, [&](ScsSensor* s) { return SectorErase(s, address); });
}

TcsResult tcsTestSensorSetSPIMode(TcsHandle handle, uint32_t mode) {
    return forward(handle, [&](ScsSensor* s) { return scsSensorSetSPIMode(s, mode); });
}

TcsResult tcsTestSensorSetCPUClk(TcsHandle handle, uint32_t a, uint32_t b) {
    return forward(handle, [&](ScsSensor* s) { return scsSensorSetCPUClock(s, a, b); });
}

TcsResult tcsTestSensorSetRefClock(TcsHandle handle, uint32_t a, uint32_t b, uint32_t c, uint32_t d, uint32_t e) {
    return forward(handle, [&](ScsSensor* s) { return scsSensorSetRefClock(s, a, b, c, d, e); });
}

TcsResult tcsTestPeek(TcsHandle handle, uint32_t address, uint32_t width, uint32_t* out) {
    if (handle == 0) return kNullSensor;
    if (out == nullptr) return kNullPointer;
    return forward(handle, [&](ScsSensor* s) { return scsSensorPeek(s, address, uint8_t(width), out); });
}

TcsResult tcsTestPoke(TcsHandle handle, uint32_t address, uint32_t width, uint32_t value) {
    return forward(handle, [&](ScsSensor* s) { return scsSensorPoke(s, address, uint8_t(width), value); });
}

TcsResult tcsTestGetFlashCapacity(TcsHandle handle, uint64_t* outCapacity) {
    if (handle == 0) return kNullSensor;
    if (outCapacity == nullptr) return kNullPointer;
    Sensor sensor = fetchSensor(handle);
    if (sensor.record == nullptr) return sensor.result;
    DeviceRef ref(sensor.scs());
    if (ref.result != kOk) return ref.result;
    TcsResult result = ensureVersion(sensor.scs(), ref.device);
    if (result != kOk) return result;
    uint32_t capacity = 0;
    result = xtfsGetFlashInfo(sensor.scs(), &capacity);
    if (result != kOk) return result;
    *outCapacity = capacity;
    return kOk;
}

TcsResult tcsTestGetFlashMemoryInfo(TcsHandle handle, uint8_t* out40) {
    if (handle == 0) return kNullSensor;
    if (out40 == nullptr) return kNullPointer;
    Sensor sensor = fetchSensor(handle);
    if (sensor.record == nullptr) return sensor.result;
    DeviceRef ref(sensor.scs());
    if (ref.result != kOk) return ref.result;
    TcsResult result = ensureVersion(sensor.scs(), ref.device);
    if (result != kOk) return result;
    // Only Brellow sensors would ask the storage-memory query, and this build has none.
    FlashPartInfo part{};
    result = GetFlashMemoryInfo(sensor.scs(), &part);
    if (result != kOk) return result;
    std::memcpy(out40, &part, sizeof part);
    return kOk;
}

TcsResult tcsTestGetFlashInfo(TcsHandle database, uint32_t* outCapacity, uint32_t* outStoreSize) {
    if (database == 0) return kNullContext;
    if (outCapacity == nullptr && outStoreSize == nullptr) return kNullPointer;
    FssHandle* fileSystem = nullptr;
    TcsResult result = kOk;
    if (!databaseFileSystem(database, &fileSystem, &result)) return result;
    uint32_t capacity = 0, storeSize = 0;
    if (fileSystem->ops.getFlashInfo == nullptr) return kBadParam;
    result = fileSystem->ops.getFlashInfo(fileSystem->backend, &capacity, &storeSize);
    if (result != kOk) return result;
    if (outCapacity != nullptr) *outCapacity = capacity;
    // The store size counts without the sectors that hold the system file.
    if (outStoreSize != nullptr) {
        const FssMount* mount = fileSystem->mount;
        const uint32_t reserved = mount != nullptr ? uint32_t(mount->cacheSectors) * mount->sectorSize : 0;
        *outStoreSize = storeSize > reserved ? storeSize - reserved : 0;
    }
    return kOk;
}

TcsResult tcsTestGetFlashFreeSpace(TcsHandle database, uint32_t* outFree) {
    if (database == 0) return kNullSensor;
    if (outFree == nullptr) return kNullPointer;
    FssHandle* fileSystem = nullptr;
    TcsResult result = kOk;
    if (!databaseFileSystem(database, &fileSystem, &result)) return result;
    return fssGetFreeSpace(fileSystem, outFree);
}

TcsResult tcsTestPrintFSSStat(FILE* stream, TcsHandle database) {
    if (database == 0) return kNullSensor;
    if (stream == nullptr) return kNullPointer;
    FssHandle* fileSystem = nullptr;
    TcsResult result = kOk;
    if (!databaseFileSystem(database, &fileSystem, &result)) return result;
    const FssMount* mount = fileSystem->mount;
    if (mount == nullptr) return kBadParam;
    printFileSystemReport(stream, *mount);
    return kOk;
}

TcsResult tcsTestSensorGetTransport(TcsHandle handle, uint32_t* outKind) {
    if (handle == 0) return kNullSensor;
    if (outKind == nullptr) return kNullPointer;
    Sensor sensor = fetchSensor(handle);
    if (sensor.record == nullptr) return sensor.result;
    return scsSensorGetTransport(sensor.scs(), outKind);
}

TcsResult tcsTestSetDriverBaudRate(TcsHandle handle, uint64_t rate) {
    if (handle == 0) return kNullSensor;
    if (rate == 0) return kNullPointer;
    Sensor sensor;
    TcsResult result = kOk;
    if (!beginSensor(handle, true, &sensor, &result)) return result;
    result = transportTakesControl(sensor.scs());
    if (result != kOk) return result;
    DeviceRef ref(sensor.scs());
    if (ref.result != kOk) return ref.result;
    uint8_t value[2] = {uint8_t(rate), uint8_t(rate >> 8)};
    uint32_t returned = 0;
    return palSensorSend(ref.device->platformHandle, kBaudRateFunction, value, sizeof value, nullptr, 0, &returned,
                         nullptr);
}

TcsResult tcsTestSendDriverIOCTL(TcsHandle handle, uint32_t code, uint16_t* outA, uint32_t* outB, uint32_t* inOutC) {
    if (handle == 0) return kNullSensor;
    if (outA == nullptr || outB == nullptr || inOutC == nullptr) return kNullPointer;
    Sensor sensor;
    TcsResult result = kOk;
    if (!beginSensor(handle, true, &sensor, &result)) return result;
    result = transportTakesControl(sensor.scs());
    if (result != kOk) return result;
    DeviceRef ref(sensor.scs());
    if (ref.result != kOk) return ref.result;
    WaitEvent event;
    if (event.event == nullptr) return kNoEvent;
    // {u32 code, u32 in/out value, completion event, u32 reserved}: 20 bytes.
#pragma pack(push, 1)
    struct Request {
        uint32_t code;
        uint32_t value;
        PalEvent* event;
        uint32_t reserved;
    } request{code, *inOutC, event.event, 0};
    struct Answer {
        uint16_t a;
        uint16_t pad;
        uint32_t b;
        uint32_t c;
    } answer{};
#pragma pack(pop)
    static_assert(sizeof(Request) == 20, "the control request is 20 bytes");
    uint32_t returned = 0;
    result = palSensorSend(ref.device->platformHandle, kIoctlFunction, &request, sizeof request, &answer,
                           sizeof answer, &returned, nullptr);
    if (result != kOk) return result;
    result = palEventWaitFor(event.event, PAL_INFINITE);
    if (result != kOk) return result;
    *outA = answer.a;
    *outB = answer.b;
    *inOutC = answer.c;
    return kOk;
}

}  // extern "C"
