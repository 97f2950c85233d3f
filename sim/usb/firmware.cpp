// Virtual sensor firmware: command dispatch and the sensor's persisted state.
#include "sim/usb/firmware.h"
#include "sim/usb/fp_buffering.h"

#include "sim/usb/secure_channel.h"

#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>

namespace simusb {
namespace {

using CommandTable = std::array<const CommandEntry*, 256>;

const CommandTable& commandTable() {
    static const CommandTable table = [] {
        CommandTable t{};
        for (const CommandModule* module : commandModules()) {
            for (const CommandEntry& entry : module->commands) {
                if (t[entry.code] != nullptr) {
                    // Two modules claiming one code is a mistake in the stand-in itself.
                    std::fprintf(stderr, "virtual sensor: command 0x%02x defined twice (module %s)\n", entry.code,
                                 module->name);
                    std::abort();
                }
                t[entry.code] = &entry;
            }
        }
        return t;
    }();
    return table;
}

// State file: "TOVSIMSTATE1\n", then per value {u32 name length, name, u32 data length, data},
// lengths little-endian.
constexpr char kStateMagic[] = "TOVSIMSTATE1\n";

void putU32(std::string& out, uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(char(v >> (8 * i)));
}

bool getU32(const std::string& in, size_t& pos, uint32_t& v) {
    if (in.size() - pos < 4) return false;
    v = 0;
    for (int i = 0; i < 4; ++i) v |= uint32_t(uint8_t(in[pos + i])) << (8 * i);
    pos += 4;
    return true;
}

std::string statePath(const std::string& directory, const std::string& serial) {
    return directory + "/" + serial + ".state";
}

}  // namespace

Firmware::Firmware(std::string serial, uint16_t productId, uint8_t variant)
    : serial_(std::move(serial)), productId_(productId), variant_(variant) {}

void Firmware::sendFingerprintData(std::vector<uint8_t> data) {
    if (data.empty()) return;
    fingerprint_.push_back(fpBufferingFrame(*this, std::move(data)));
}

Reply Firmware::handle(std::span<const uint8_t> request) {
    Reply reply;
    // Once a secure session is up every request is a record of the channel.
    if (secureChannelIntercept(*this, request, reply)) return reply;
    if (request.empty()) {
        reply.status = kStatusShortCommand;
        return reply;
    }
    const CommandEntry* entry = commandTable()[request[0]];
    if (entry == nullptr) {
        reply.status = kStatusBadCommand;
    } else if (request.size() < entry->minLength) {
        reply.status = kStatusShortCommand;
    } else {
        entry->handler(*this, request, reply);
    }
    return reply;
}

void Firmware::powerCycle() {
    transient_.clear();
    fingerprint_.clear();
    lastStart_ = resetPending_ ? 1 : 2;
    resetPending_ = false;
    resetRequested_ = false;
}

bool Firmware::takeStoredDirty() {
    bool dirty = storedDirty_;
    storedDirty_ = false;
    return dirty;
}

bool Firmware::load(const std::string& directory) {
    if (directory.empty() || serial_.empty()) return false;
    std::ifstream file(statePath(directory, serial_), std::ios::binary);
    if (!file) return false;
    std::string in((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    const size_t magicLength = sizeof(kStateMagic) - 1;
    if (in.compare(0, magicLength, kStateMagic) != 0) return false;
    std::map<std::string, std::vector<uint8_t>> values;
    size_t pos = magicLength;
    while (pos < in.size()) {
        uint32_t nameLength = 0, dataLength = 0;
        if (!getU32(in, pos, nameLength) || in.size() - pos < nameLength) return false;
        std::string name = in.substr(pos, nameLength);
        pos += nameLength;
        if (!getU32(in, pos, dataLength) || in.size() - pos < dataLength) return false;
        values[name].assign(in.begin() + pos, in.begin() + pos + dataLength);
        pos += dataLength;
    }
    stored_ = std::move(values);
    return true;
}

bool Firmware::save(const std::string& directory) {
    if (directory.empty() || serial_.empty()) return false;
    // Write beside and rename, so a crash mid-write never leaves half a state behind. Streamed
    // straight to the file: built in memory first, the 1 MiB flash was copied again at every save.
    const std::string path = statePath(directory, serial_);
    const std::string temporary = path + ".tmp";
    {
        std::ofstream file(temporary, std::ios::binary | std::ios::trunc);
        if (!file) return false;
        file.write(kStateMagic, std::streamsize(sizeof(kStateMagic) - 1));
        auto putLength = [&file](size_t n) {
            std::string word;
            putU32(word, uint32_t(n));
            file.write(word.data(), 4);
        };
        for (const auto& [name, data] : stored_) {
            putLength(name.size());
            file.write(name.data(), std::streamsize(name.size()));
            putLength(data.size());
            file.write(reinterpret_cast<const char*>(data.data()), std::streamsize(data.size()));
        }
        if (!file) return false;
    }
    return std::rename(temporary.c_str(), path.c_str()) == 0;
}

}  // namespace simusb
