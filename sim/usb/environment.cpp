// Virtual sensor: bus set-up of the preloadable build, from TOV_SIM_USB_STATE.
//
// Under LD_PRELOAD nothing can call the control interface, so the preloaded bus reads its sensors
// from the state directory named by TOV_SIM_USB_STATE: the file "sensors" there lists one sensor per
// line, "<serial> [<product id, hex> [<variant> [<bus>]]]" ('#' starts a comment). Without that file
// one sensor with the defaults is plugged and the file is written, so the next run finds the same
// sensor. Each sensor keeps its state in "<serial>.state" beside it. The variable belongs to this
// stand-in only; the stack itself reads no environment. The static library used by tests ignores it.
#include "sim/usb/bus.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <vector>

namespace simusb::detail {

void configureFromEnvironment() {
#ifdef TOV_SIM_USB_PRELOAD
    const char* directory = std::getenv("TOV_SIM_USB_STATE");
    if (directory == nullptr || *directory == '\0') directory = "/tmp/tov-sim-usb";
    ::mkdir(directory, 0777);
    setStateDirectory(directory);
    const std::string listPath = std::string(directory) + "/sensors";
    std::ifstream list(listPath);
    bool any = false;
    std::string line;
    while (list && std::getline(list, line)) {
        if (auto hash = line.find('#'); hash != std::string::npos) line.erase(hash);
        std::istringstream fields(line);
        SensorSpec identity;
        if (!(fields >> identity.serial)) continue;
        std::string product;
        int variant = 0, busNumber = 1;
        if (fields >> product) identity.productId = uint16_t(std::strtoul(product.c_str(), nullptr, 16));
        if (fields >> variant) identity.variant = uint8_t(variant & 0x0F);
        if (fields >> busNumber) identity.bus = busNumber;
        any = plug(identity) != 0 || any;
    }
    if (!any) {
        // The default sensor is the one a user pairs with a bare "setowner -doinit": firmware 4.40
        // secured by certificates (variant 5, in the descriptor and in the version record's variant
        // byte, with capability bit 0x10), provisioned and without an owner.
        SensorSpec identity;
        identity.variant = 5;
        const SensorId id = plug(identity);
        if (id != 0 && storedState(id, "version").empty()) {
            std::vector<uint8_t> v(36, 0);
            v[0] = 1;
            v[4] = 17;
            v[8] = 4;
            v[9] = 40;
            v[10] = 1;
            v[11] = 4;
            v[13] = 1;
            v[14] = 0x80;
            for (size_t i = 0; i < 6 && i < identity.serial.size(); ++i) {
                v[16 + i] = uint8_t(identity.serial[identity.serial.size() - 1 - i]);
            }
            v[22] = 5;
            v[23] = 0x10;
            setStoredState(id, "version", std::move(v));
        }
        std::ofstream out(listPath, std::ios::app);
        char product[8];
        std::snprintf(product, sizeof product, "%04x", identity.productId);
        out << "# serial, product id (hex), variant, bus\n"
            << identity.serial << ' ' << product << ' ' << int(identity.variant) << ' ' << identity.bus << '\n';
    }
#endif
}

}  // namespace simusb::detail
