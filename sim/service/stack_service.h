// Stand-in for the service process that runs the real stack: it starts the in-process stack as the
// service does, makes the request channel and the state word, answers every function id by calling
// the stack's same operation, forwards each client's events to that client's event channel, and
// creates the ready file once the stack is up. Everything it made is removed when it ends.
#pragma once

#include <memory>
#include <string>

namespace sim::service {

struct StackServiceConfig {
    std::string pipeDirectory;  // with trailing slash
    std::string keyFilePrefix;  // the key-file prefix in force; the ready file is prefix + "ServiceReady"
    // Called on the stack's thread when a sensor asks for a swipe (the person at the sensor).
    void (*swipeAsked)() = nullptr;
};

class StackService {
public:
    // Null when the stack or the channel could not be made (nothing is left behind then).
    static std::unique_ptr<StackService> start(const StackServiceConfig& config);
    ~StackService();

    struct Impl;

private:
    explicit StackService(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

}  // namespace sim::service
