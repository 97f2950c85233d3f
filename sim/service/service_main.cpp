// The stand-in service as a program of its own, for trying the client library across processes:
// tovservice [pipe directory, default /tmp/ [key-file prefix, default /tmp/tcsSemKey_]]; ends on
// SIGINT or SIGTERM.

#include "sim/service/service_standin.h"

#include "platform/test_seams.h"

#include <csignal>
#include <cstdio>
#include <unistd.h>

int main(int argc, char** argv) {
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGINT);
    sigaddset(&stop, SIGTERM);
    // Blocked before the service's thread starts, so only the wait below takes them.
    pthread_sigmask(SIG_BLOCK, &stop, nullptr);
    if (argc > 2) palTestSetIpcKeyPrefix(argv[2]);
    sim::service::Config config;
    config.pipeDirectory = argc > 1 ? argv[1] : "/tmp/";
    config.keyFilePrefix = argc > 2 ? argv[2] : "/tmp/tcsSemKey_";
    auto service = sim::service::ServiceStandIn::start(config);
    if (service == nullptr) {
        std::fprintf(stderr, "the service's channel could not be made in %s\n", config.pipeDirectory.c_str());
        return 1;
    }
    int signal = 0;
    sigwait(&stop, &signal);
    return 0;
}
