// Virtual sensor: control interface for tests over the emulated USB bus behind the libusb-0.1 functions.
//
// The library defines usb_init, usb_find_busses, usb_find_devices, usb_get_busses, usb_open,
// usb_close, usb_set_configuration, usb_claim_interface, usb_set_altinterface, usb_reset,
// usb_get_descriptor, usb_get_string_simple, usb_bulk_write and usb_bulk_read (and harmless
// answers for the rest of usb.h) over an emulated bus. Tests link `sim_usb` in place of -lusb and
// drive the bus with the functions below. Every function here may be called from any thread.
//
// The bus is what libusb-0.1 shows: a plugged sensor appears in usb_get_busses() only after the
// next usb_find_devices(), as a device file "%03d" on bus directory "%03d". A reset
// re-enumerates the sensor under a new device file name with the same serial; handles opened
// before an unplug or reset fail with -ENODEV, and transfers blocked on them wake at once.
#pragma once

#include "platform/usb_ids.h"

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

namespace simusb {

using SensorId = int;  // 0 is no sensor

struct SensorSpec {
    std::string serial = "SIM00001";  // empty: the device has no serial-number string
    uint16_t vendorId = TOV_USB_VENDOR_ID;
    uint16_t productId = TOV_USB_PID_DEFAULT;
    uint8_t variant = 0;  // low nibble of bDeviceSubClass
    int bus = 1;          // bus directory name "%03d"
};

// One reply on endpoint 0x81: u16 status (little-endian) then the payload, or, with `whole`,
// the payload alone (commands whose whole reply is their payload).
struct Reply {
    uint16_t status = 0;
    std::vector<uint8_t> payload;
    bool whole = false;
    uint32_t delayMs = 0;  // the reply becomes readable this long after its request
};

// Plugging. plug returns 0 when a sensor with the same non-empty serial is already plugged.
SensorId plug(const SensorSpec& identity = {});
bool unplug(SensorId sensor);
bool reset(SensorId sensor);
std::string busDirName(SensorId sensor);   // "" when not plugged
std::string deviceFileName(SensorId sensor);  // current device file name, "" when not plugged
// Unplugs everything and forgets faults, logs, hooks and the state directory (test tear-down).
void resetAll();
// Handles opened with usb_open and not yet closed, over the whole bus.
int openHandleCount();

// Replies on 0x81: the next `count` replies come `ms` later than they would, or never.
void delayReplies(SensorId sensor, uint32_t ms, uint32_t count = 1);
void dropReplies(SensorId sensor, uint32_t count = 1);

// Scripted reads on an IN endpoint (0x81 or 0x82), one step used per read, in order.
// Short: the read returns at most `bytes` (what it leaves of a reply is lost; fingerprint data
// stays for the next read). Empty: returns 0 at once. Timeout: waits the read's time-out and
// returns -ETIMEDOUT. Error: returns -EIO at once. Pass: reads go through as usual until they
// have returned `bytes` bytes between them, so a fault can be aimed past data that is still to come.
enum class ReadFault { Short, Empty, Timeout, Error, Pass };
struct ReadStep {
    ReadFault kind;
    uint32_t bytes = 0;
};
void scriptReads(SensorId sensor, uint8_t endpoint, std::vector<ReadStep> steps);

// The next `count` writes to endpoint 1 fail: Timeout waits the write's time-out (-ETIMEDOUT),
// Error returns -EIO, Partial takes half the bytes. A failed write reaches no firmware.
enum class WriteFault { Timeout, Error, Partial };
void failWrites(SensorId sensor, WriteFault fault, uint32_t count = 1);

// A stalled endpoint blocks its transfers, whatever their time-out, until released or unplugged
// (a wedged transfer).
void stallEndpoint(SensorId sensor, uint8_t endpoint, bool stalled);

// Fingerprint data on 0x82. Each push is one transfer ending in a short packet: a read never
// returns bytes of two pushes at once.
void pushFingerprintData(SensorId sensor, std::span<const uint8_t> data);

// Every request that reached the firmware, bytes as written; the commands that came inside a
// secure session, as the firmware read them after decryption. Clearing clears both.
std::vector<std::vector<uint8_t>> commandLog(SensorId sensor);
std::vector<std::vector<uint8_t>> sessionCommandLog(SensorId sensor);
void clearCommandLog(SensorId sensor);

// Every read on an IN endpoint: the bytes asked for and what the read returned (a count or -errno).
struct ReadRecord {
    uint8_t endpoint;
    int asked;
    int result;
};
std::vector<ReadRecord> readLog(SensorId sensor);

// Answers a command code for every sensor in place of the firmware (nullptr removes the hook).
// Runs with the bus locked: it must not call this interface.
using CommandHook = std::function<Reply(std::span<const uint8_t> request)>;
void setCommandHook(uint8_t code, CommandHook hook);

// Where sensors keep what outlives a run (flash, ownership, keys): "<dir>/<serial>.state", read
// when a sensor with that serial is plugged and written whenever it changes. "" turns it off.
// Sensors without a serial keep nothing.
void setStateDirectory(const std::string& directory);
// A sensor's stored value by name (what its firmware keeps across runs), read or replaced by tests.
std::vector<uint8_t> storedState(SensorId sensor, const std::string& name);
void setStoredState(SensorId sensor, const std::string& name, std::vector<uint8_t> value);
// A sensor's transient value by name (what it keeps until it loses power: the last LED blocks, the
// lock of its security state), read by tests.
std::vector<uint8_t> transientState(SensorId sensor, const std::string& name);

}  // namespace simusb
