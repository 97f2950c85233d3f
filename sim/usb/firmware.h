// Virtual sensor firmware: the command table from wire code to handler and the state handlers keep.
//
// A command module is one source file holding a `CommandModule` with its table of
// {code, minimum request length, handler}; it is listed once in commands.cpp. A handler reads its
// request (byte 0 is the code, fields little-endian) and fills the reply. The dispatcher answers
// 0x0401 for a code no module handles and 0x0405 for a request shorter than the entry's minimum
// (or empty). Handlers run with the bus locked, one at a time.
#pragma once

#include "sim/usb/sim_usb.h"

#include <cstdint>
#include <deque>
#include <map>
#include <span>
#include <string>
#include <utility>
#include <vector>

namespace simusb {

inline constexpr uint16_t kStatusOk = 0x0000;
inline constexpr uint16_t kStatusBadCommand = 0x0401;
inline constexpr uint16_t kStatusShortCommand = 0x0405;

class Firmware;
using CommandHandler = void (*)(Firmware& firmware, std::span<const uint8_t> request, Reply& reply);

struct CommandEntry {
    uint8_t code;
    uint32_t minLength;  // whole request, code byte included
    CommandHandler handler;
};

struct CommandModule {
    const char* name;
    std::span<const CommandEntry> commands;
};

// Every module the firmware runs (commands.cpp).
std::span<const CommandModule* const> commandModules();

class Firmware {
public:
    Firmware(std::string serial, uint16_t productId, uint8_t variant);

    const std::string& serial() const { return serial_; }
    uint16_t productId() const { return productId_; }
    uint8_t variant() const { return variant_; }

    // State that outlives unplugging and runs (flash contents, ownership, keys), by name. Call
    // storedChanged() after changing it so it reaches the state directory.
    std::vector<uint8_t>& stored(const std::string& name) { return stored_[name]; }
    void storedChanged() { storedDirty_ = true; }
    // State a reset or an unplug loses (a loaded patch, a session), by name.
    std::vector<uint8_t>& transient(const std::string& name) { return transient_[name]; }

    // Queues one transfer on the fingerprint endpoint 0x82.
    void sendFingerprintData(std::vector<uint8_t> data);

    // Runs one request through the command table.
    Reply handle(std::span<const uint8_t> request);
    // Power loss or port reset: transient state and unread fingerprint data are gone.
    void powerCycle();

    // A handler asks to drop off the bus once its reply has been read (the reset command); the bus
    // re-enumerates the sensor then. How the firmware last started: 0 power on, 1 reset command,
    // 2 port reset.
    void requestReset() { resetRequested_ = true; }
    bool takeResetRequest() { return std::exchange(resetRequested_, false); }
    uint8_t lastStart() const { return lastStart_; }

    // Persistence: "<dir>/<serial>.state"; load leaves the state empty when there is no file.
    bool load(const std::string& directory);
    bool save(const std::string& directory);
    bool takeStoredDirty();

    // Fingerprint transfers not yet read; the bus reads them.
    std::deque<std::vector<uint8_t>>& fingerprintTransfers() { return fingerprint_; }

    // Commands that came inside a secure session, as the firmware read them.
    std::vector<std::vector<uint8_t>>& sessionLog() { return sessionLog_; }

private:
    std::string serial_;
    uint16_t productId_;
    uint8_t variant_;
    std::map<std::string, std::vector<uint8_t>> stored_;
    std::map<std::string, std::vector<uint8_t>> transient_;
    bool storedDirty_ = false;
    std::deque<std::vector<uint8_t>> fingerprint_;
    std::vector<std::vector<uint8_t>> sessionLog_;
    bool resetRequested_ = false;
    bool resetPending_ = false;  // taken by the bus, acted on at the next power cycle
    uint8_t lastStart_ = 0;
public:
    // The bus marks that the coming power cycle is the one the reset command asked for.
    void markCommandedReset() { resetPending_ = true; }
};

}  // namespace simusb
