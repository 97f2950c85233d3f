// A stand-in service per test, in a directory of the test process's own (pipes and key files).
#pragma once

#include "apps/shared/client.h"
#include "apps/shared/client_test_seams.h"
#include "apps/shared/detail/client_nodes.h"
#include "platform/test_seams.h"
#include "sim/service/service_standin.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace tov::client::testing {

inline std::string testDirectory() { return "/tmp/tc" + std::to_string(getpid()) + "/"; }

// Bytes of a value as they travel (host order).
template <typename T>
std::vector<uint8_t> bytesOf(const T& value) {
    std::vector<uint8_t> out(sizeof(T));
    std::memcpy(out.data(), &value, sizeof(T));
    return out;
}

inline void append32(std::vector<uint8_t>& out, uint32_t value) {
    // Sized first, then filled: g++ 12 misreads byte-wise push_back on small vectors.
    const size_t at = out.size();
    out.resize(at + 4);
    for (int i = 0; i < 4; ++i) out[at + size_t(i)] = uint8_t(value >> (8 * i));
}
inline void append64(std::vector<uint8_t>& out, uint64_t value) {
    // Sized first, then filled: g++ 12 misreads byte-wise push_back on small vectors.
    const size_t at = out.size();
    out.resize(at + 8);
    for (int i = 0; i < 8; ++i) out[at + size_t(i)] = uint8_t(value >> (8 * i));
}
inline uint32_t read32(const std::vector<uint8_t>& in, size_t at) {
    uint32_t value;
    std::memcpy(&value, in.data() + at, 4);
    return value;
}
inline uint64_t read64(const std::vector<uint8_t>& in, size_t at) {
    uint64_t value;
    std::memcpy(&value, in.data() + at, 8);
    return value;
}

class ServiceTest : public ::testing::Test {
protected:
    void SetUp() override {
        directory_ = testDirectory();
        mkdir(directory_.c_str(), 0777);
        palTestSetIpcKeyPrefix((directory_ + "k_").c_str());
        tovClientTestSetPipeDirectory(directory_.c_str());
        tovClientTestSetWaits(0, 20);
        sim::service::Config config;
        config.pipeDirectory = directory_;
        service_ = sim::service::ServiceStandIn::start(config);
        ASSERT_NE(service_, nullptr);
    }

    void TearDown() override {
        while (gClientSystem.clientCount > 0) {
            uint64_t client = 0;
            if (!palListIsEmpty(&gClientSystem.clients)) {
                client = PAL_LIST_RECORD(gClientSystem.clients.next, detail::ClientNode, link)->client;
            }
            if (client == 0 || tcsClientDestroy(client) != TCS_RESULT_OK) {
                gClientSystem.clientCount = 1;
                tcsClientDestroy(~0ull);
            }
        }
        service_.reset();
        tovClientTestSetWaits(0, 0);
        tovClientTestSetPipeDirectory(nullptr);
        palTestSetIpcKeyPrefix(nullptr);
        rmdir(directory_.c_str());
    }

    // Requests of one function the service has seen, in order.
    std::vector<sim::service::Request> requestsOf(uint8_t function) {
        std::vector<sim::service::Request> out;
        for (auto& request : service_->requests()) {
            if (request.function == function) out.push_back(request);
        }
        return out;
    }

    TcsHandle createClient() {
        TcsHandle client = 0;
        EXPECT_EQ(tcsClientCreate(&client), TCS_RESULT_OK);
        EXPECT_NE(client, 0u);
        return client;
    }

    std::string directory_;
    std::unique_ptr<sim::service::ServiceStandIn> service_;
};

}  // namespace tov::client::testing
