// Stand-in for the outside service process: makes the request channel and the state word, answers
// requests on each client process's output channel and raises events on its event channel.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace sim::service {

// One request as it arrived: the header's fields and the payload bytes.
struct Request {
    uint32_t process = 0;
    uint32_t thread = 0;
    uint8_t function = 0;
    bool headerReservedZero = true;  // bytes 9-63 of the header apart from the length
    std::vector<uint8_t> payload;
};

// What to send for one function instead of the stand-in's own answer.
struct CannedReply {
    std::vector<uint8_t> payload;  // result word first
    bool overrideLength = false;   // send lengthField in the header instead of payload.size()
    uint32_t lengthField = 0;
    bool otherThreadFirst = false;  // send a reply addressed to another thread first:
    std::vector<uint8_t> otherThreadPayload;  // its payload (empty: the same as payload)
    bool vanish = false;            // close the output FIFO instead of answering
    bool hold = false;              // answer only when released (or a cancel arrives: result 1)
};

struct Config {
    std::string pipeDirectory;  // with trailing slash, as the client's seam
    // The key-file prefix in force (as the platform's seam). When set, whatever was planted at the
    // stand-in's names (a link, anything but a regular file of its own at a key file's name, anything
    // but its own FIFO at a FIFO's) is removed before it makes its objects, as a service starting
    // afresh clears its names. Empty: nothing is cleared.
    std::string keyFilePrefix;
    uint32_t imageRows = 16;
    uint32_t imageColumns = 12;
    // When not empty, the captured image's pixels (rows x columns, row after row) instead of the pattern.
    std::vector<uint8_t> imagePixels;
    uint32_t imageQuality = 0;
    // A capture raises "swipe now" (event 8) to the sensor's callbacks before the image, as a sensor
    // that arms does; off by default so that event counts of older tests stay as they were.
    bool announceSwipe = false;
};

class ServiceStandIn {
public:
    // Creates "CH_REQUEST" and "FPServiceInfoFileMapping" and starts answering.
    static std::unique_ptr<ServiceStandIn> start(const Config& config);
    ~ServiceStandIn();

    void setState(uint32_t state);
    // While suspended, function 52 reports 1 and functions outside the suspended set get 357.
    void setSuspended(bool suspended);
    void setReply(uint8_t function, const CannedReply& reply);
    void clearReply(uint8_t function);
    // Answers a held request with the given result word.
    bool releaseHeld(uint8_t function, uint32_t result);
    bool waitForHeld(uint8_t function, uint32_t ms);

    std::vector<Request> requests();
    void clearRequests();
    // Waits until a request of that function has arrived (ms at most); false on time-out.
    bool waitForRequest(uint8_t function, uint32_t ms);

    // Raises an event on a client process's event channel, with callback and user data as given.
    bool raiseEvent(uint32_t process, uint32_t id, uint32_t status, uint64_t handle, uint64_t callback,
                    uint64_t userData, const std::vector<uint8_t>& payload);
    // Raises a client event to every client callback registered with function 3.
    void raiseClientEvent(uint32_t id, uint32_t status, const std::vector<uint8_t>& payload);
    // Sends raw bytes on a client process's event channel (for malformed-input tests).
    bool sendRawEvent(uint32_t process, const std::vector<uint8_t>& bytes);

    // A packed image as events 5 and 50 carry it.
    std::vector<uint8_t> packedImage() const;
    uint32_t helloCount();
    uint32_t goodbyeCount();

    struct Impl;

private:
    explicit ServiceStandIn(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

}  // namespace sim::service
