// tcsFPService: the stand-in service process over the real stack and the virtual sensor.
//
//   tcsFPService [pipe folder [key-file prefix [sensor folder]]]
//
// Defaults: "/tmp/", "/tmp/tcsSemKey_", "/tmp/tov-sim-usb". The sensor folder is the virtual
// sensor's state folder: its file "sensors" lists the sensors on the bus (followed while the
// service runs), "<serial>.swipe" swipes a synthetic finger (sim/usb/README.md), and the stack's
// settings file "TovanticPersistentData" is kept there too. Ends on SIGINT or SIGTERM, removing the
// ready file, the channels and the System V objects it made.
#include "sim/service/stack_service.h"

#include "platform/test_seams.h"
#include "platform/usb_ids.h"
#include "sim/usb/outside.h"

#include <csignal>
#include <cstdio>
#include <fstream>
#include <string>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Without a list, one sensor a user's framework can enroll on: firmware 4.30, no secure variant.
void listDefaultSensor(const std::string& folder) {
    const std::string list = folder + "/sensors";
    if (access(list.c_str(), F_OK) == 0) return;
    std::ofstream out(list);
    char product[8];
    std::snprintf(product, sizeof product, "%04x", unsigned(TOV_USB_PID_DEFAULT));
    out << "# serial, product id (hex), variant, bus, firmware\n"
        << "TOV00001 " << product << " 0 1 4.30\n";
}

}  // namespace

int main(int argc, char** argv) {
    // Found as pidof finds it, whatever the file is called.
    prctl(PR_SET_NAME, "tcsFPService", 0, 0, 0);
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGINT);
    sigaddset(&stop, SIGTERM);
    // Blocked before any thread starts, so only the wait below takes them.
    pthread_sigmask(SIG_BLOCK, &stop, nullptr);

    sim::service::StackServiceConfig config;
    config.pipeDirectory = argc > 1 ? argv[1] : "/tmp/";
    if (!config.pipeDirectory.empty() && config.pipeDirectory.back() != '/') config.pipeDirectory += '/';
    config.keyFilePrefix = argc > 2 ? argv[2] : "/tmp/tcsSemKey_";
    config.swipeAsked = simusb::presentSwipes;
    const std::string sensors = argc > 3 ? argv[3] : "/tmp/tov-sim-usb";
    palTestSetIpcKeyPrefix(config.keyFilePrefix.c_str());
    ::mkdir(sensors.c_str(), 0700);
    palTestSetSettingsPath((sensors + "/TovanticPersistentData").c_str());
    listDefaultSensor(sensors);
    simusb::watchStateDirectory(sensors);

    auto service = sim::service::StackService::start(config);
    if (service == nullptr) {
        std::fprintf(stderr, "tcsFPService: the stack or the service's channel could not be made (pipes in %s)\n",
                     config.pipeDirectory.c_str());
        simusb::stopWatching();
        return 1;
    }
    std::printf("tcsFPService: ready (pipes in %s, key files %s*, sensors in %s)\n", config.pipeDirectory.c_str(),
                config.keyFilePrefix.c_str(), sensors.c_str());
    std::fflush(stdout);
    int signal = 0;
    sigwait(&stop, &signal);
    service.reset();
    simusb::stopWatching();
    std::printf("tcsFPService: stopped\n");
    return 0;
}
