// Virtual sensor driven from outside the process that runs it: the sensors listed in a state folder's
// "sensors" file are plugged (and, while the folder is watched, plugged and unplugged as the file
// changes), and a file "<serial>.swipe" there naming a synthetic finger is swiped over that sensor
// when the program that runs the stack sees the sensor ask for a swipe. A person at the sensor, for a program that cannot call this interface.
#include "sim/swipe/synthetic_swipes.h"
#include "sim/usb/outside.h"

#include "sim/usb/bus.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace simusb {
namespace {

constexpr auto kWatchPeriod = std::chrono::milliseconds(40);

struct Listed {
    SensorSpec identity;
    std::string firmware;  // "major.minor" or empty
    int finger = 2;        // the finger state it answers: 2 a finger resting, 0 none
};

std::vector<Listed> readList(const std::string& directory) {
    std::vector<Listed> out;
    std::ifstream list(directory + "/sensors");
    std::string line;
    while (list && std::getline(list, line)) {
        if (auto hash = line.find('#'); hash != std::string::npos) line.erase(hash);
        std::istringstream fields(line);
        Listed entry;
        if (!(fields >> entry.identity.serial)) continue;
        std::string product;
        int variant = 0, busNumber = 1;
        if (fields >> product) entry.identity.productId = uint16_t(std::strtoul(product.c_str(), nullptr, 16));
        if (fields >> variant) entry.identity.variant = uint8_t(variant & 0x0F);
        if (fields >> busNumber) entry.identity.bus = busNumber;
        fields >> entry.firmware;
        if (int finger = 0; fields >> finger) entry.finger = finger;
        out.push_back(entry);
    }
    return out;
}

// A sensor that has never run gets the firmware its line names: a family-1 ROM firmware of that
// version without a secure variant, provisioned, a finger resting whenever it is asked unless the
// line says none does (its captures then wait for a finger).
void giveFirmware(SensorId id, const Listed& entry) {
    unsigned major = 0, minor = 0;
    if (entry.firmware.empty() || std::sscanf(entry.firmware.c_str(), "%u.%u", &major, &minor) != 2) return;
    if (!storedState(id, "version").empty()) return;
    std::vector<uint8_t> v(36, 0);
    v[0] = 1;
    v[4] = 17;
    v[8] = uint8_t(major);
    v[9] = uint8_t(minor);
    v[10] = 1;
    v[11] = 4;
    v[13] = 1;
    v[22] = 1;
    const std::string& serial = entry.identity.serial;
    for (size_t i = 0; i < 6 && i < serial.size(); ++i) v[16 + i] = uint8_t(serial[serial.size() - 6 + i]);
    setStoredState(id, "version", v);
    setStoredState(id, "fingerState", {uint8_t(entry.finger), 0});
}

SensorId plugListed(const Listed& entry) {
    const SensorId id = plug(entry.identity);
    if (id == 0) return 0;
    if (entry.firmware.empty() || !storedState(id, "version").empty()) return id;
    // The version is read at arrival: the sensor comes back with it.
    giveFirmware(id, entry);
    unplug(id);
    return plug(entry.identity);
}

std::string swipeFile(const std::string& directory, const std::string& serial) {
    return directory + "/" + serial + ".swipe";
}

// The swipe asked for a sensor: "<finger> [<take>]" from its file.
bool readSwipe(const std::string& path, int* finger, int* take) {
    std::ifstream file(path);
    if (!file) return false;
    *take = 0;
    const bool named = static_cast<bool>(file >> *finger);
    if (named) file >> *take;
    return named && *finger >= 0;
}

struct Watcher {
    std::string directory;
    std::atomic<bool> stop{false};
    std::thread thread;
    std::mutex pluggedLock;
    std::map<std::string, SensorId> plugged;  // by serial: what the list plugged

    std::map<std::string, SensorId> pluggedNow() {
        std::lock_guard hold(pluggedLock);
        return plugged;
    }

    void follow() {
        std::vector<Listed> list = readList(directory);
        std::lock_guard hold(pluggedLock);
        for (const Listed& entry : list) {
            if (plugged.count(entry.identity.serial) == 0) {
                if (SensorId id = plugListed(entry)) plugged[entry.identity.serial] = id;
            }
        }
        for (auto it = plugged.begin(); it != plugged.end();) {
            bool listed = false;
            for (const Listed& entry : list) listed = listed || entry.identity.serial == it->first;
            if (listed) {
                ++it;
                continue;
            }
            unplug(it->second);
            it = plugged.erase(it);
        }
    }

    // A swipe is rendered as soon as it is asked for and waits for the sensor to ask for a finger.
    std::mutex lock;
    std::map<SensorId, std::vector<uint8_t>> ready;

    std::mutex renderLock;  // one renderer at a time: a file makes one swipe

    void render() {
        std::lock_guard rendering(renderLock);
        for (const auto& [serial, id] : pluggedNow()) {
            {
                std::lock_guard hold(lock);
                if (ready.count(id) != 0) continue;
            }
            int finger = 0, take = 0;
            const std::string path = swipeFile(directory, serial);
            if (!readSwipe(path, &finger, &take)) {
                unlink(path.c_str());  // nothing a finger can be made of
                continue;
            }
            std::vector<uint8_t> stream = synthswipe::swipe(finger, take);
            {
                std::lock_guard hold(lock);
                ready[id] = std::move(stream);
            }
            // Taken up only once the finger is ready to touch the sensor.
            unlink(path.c_str());
        }
    }

    // A swipe asked for before the thread rendered it is rendered here, on the asking thread.
    void present() {
        render();
        std::map<SensorId, std::vector<uint8_t>> taken;
        {
            std::lock_guard hold(lock);
            taken.swap(ready);
        }
        for (auto& [id, stream] : taken) pushFingerprintData(id, stream);
    }
};

Watcher*& watcher() {
    static Watcher* instance = nullptr;
    return instance;
}

}  // namespace

int plugListedSensors(const std::string& directory) {
    int count = 0;
    for (const Listed& entry : readList(directory)) count += plugListed(entry) != 0 ? 1 : 0;
    return count;
}

void watchStateDirectory(const std::string& directory) {
    if (watcher() != nullptr) return;
    setStateDirectory(directory);
    auto* w = new Watcher;
    w->directory = directory;
    watcher() = w;
    w->follow();
    w->thread = std::thread([w] {
        while (!w->stop) {
            std::this_thread::sleep_for(kWatchPeriod);
            w->follow();
            w->render();
        }
    });
}

void presentSwipes() {
    if (Watcher* w = watcher()) w->present();
}

void stopWatching() {
    Watcher* w = watcher();
    if (w == nullptr) return;
    w->stop = true;
    w->thread.join();
    for (auto& [serial, id] : w->plugged) unplug(id);
    delete w;
    watcher() = nullptr;
}

}  // namespace simusb
