// Test support for the matching tests: a pumped stack with one client, and fingerprint images as
// image handles or bare records.
#pragma once

#include "platform/test_seams.h"
#include "sim/swipe/grey_image.h"
#include "sim/usb/sim_usb.h"
#include "tcs/core.h"
#include "tcs/handle_map.h"
#include "tcs/matching/matcher_client.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <map>
#include <string>

namespace matchtest {

inline std::string fvcPath(const std::string& name) {
    return std::string(TOV_DATA_DIR) + "/fvc/FVC2000_DB1_B/" + name;
}

// The pixels of a public print (300 x 300, 500 dpi), read once per name.
inline const swipe_model::GreyImage& fvc(const std::string& name) {
    static std::map<std::string, swipe_model::GreyImage> cache;
    auto it = cache.find(name);
    if (it == cache.end()) {
        swipe_model::GreyImage image;
        EXPECT_TRUE(swipe_model::loadTiff(fvcPath(name), image)) << name;
        it = cache.emplace(name, std::move(image)).first;
    }
    return it->second;
}

inline TcsHandle imageHandle(const swipe_model::GreyImage& g, uint32_t quality = 0) {
    TcsHandle h = 0;
    EXPECT_EQ(tcsImageCreate(&h, g.pixels.data(), uint32_t(g.pixels.size()), g.height, g.width, quality),
              TCS_RESULT_OK);
    return h;
}

inline ImageRecord* imageRecord(TcsHandle h) {
    void* object = nullptr;
    tcsSafeImageHandleFetch(h, &object);
    return static_cast<ImageRecord*>(object);
}

// An image record of its own (no handle) from the rows and columns given; freed with _tcsImageDestroy.
inline ImageRecord* rawImage(const swipe_model::GreyImage& g, uint32_t rows = 0, uint32_t columns = 0) {
    rows = rows ? rows : g.height;
    columns = columns ? columns : g.width;
    ImageRecord* image = nullptr;
    EXPECT_EQ(_tcsImageCreate(&image, nullptr, rows * columns, 0, 0, 0), TCS_RESULT_OK);
    image->rows = rows;
    image->columns = columns;
    image->dataSize = rows * columns;
    for (uint32_t y = 0; y < rows; ++y) {
        for (uint32_t x = 0; x < columns; ++x) {
            tcsImagePixels(image)[y * columns + x] = y < g.height && x < g.width ? g.pixels[y * g.width + x] : 255;
        }
    }
    return image;
}

// A stack served by the test's own calls (synchronous calls pump it), with one client.
class StackTest : public ::testing::Test {
protected:
    void SetUp() override {
        simusb::resetAll();
        settings_ = ::testing::TempDir() + "/mss_settings" + std::to_string(getpid());
        palTestSetSettingsPath(settings_.c_str());
        ASSERT_EQ(tcsStartupEx(&stack_, TCS_START_NO_SERVICE_THREAD, nullptr), TCS_RESULT_OK);
        ASSERT_EQ(tcsClientCreateSys(stack_, &client_), TCS_RESULT_OK);
    }
    void TearDown() override {
        if (client_ != 0) {
            EXPECT_EQ(tcsClientDestroy(client_), TCS_RESULT_OK);
        }
        if (stack_ != nullptr) {
            EXPECT_EQ(tcsShutdown(stack_), TCS_RESULT_OK);
        }
        palTestSetSettingsPath(nullptr);
        std::remove(settings_.c_str());
        simusb::resetAll();
    }
    // Runs service passes until done() holds (at most 200).
    template <typename Done>
    bool pumpUntil(Done done) {
        for (int i = 0; i < 200 && !done(); ++i) tcsService(stack_, 500, nullptr);
        return done();
    }
    ClientRecord* clientRecord() {
        void* object = nullptr;
        tcsSafeClientHandleFetch(client_, &object);
        return static_cast<ClientRecord*>(object);
    }

    CoreSubsystem* stack_ = nullptr;
    TcsHandle client_ = 0;
    std::string settings_;
};

}  // namespace matchtest
