// The virtual sensor as libusb-0.1 shows it: enumeration, identity, re-enumeration, firmware answers,
// faults and persisted state.
#include "sim/usb/firmware.h"
#include "sim/usb/sim_usb.h"

#include <gtest/gtest.h>
#include <usb.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>

namespace {

struct Found {
    struct usb_bus* bus = nullptr;
    struct usb_device* device = nullptr;
};

// Sensors of our vendor currently listed by libusb, in bus order.
std::vector<Found> listSensors() {
    std::vector<Found> out;
    for (struct usb_bus* b = usb_get_busses(); b != nullptr; b = b->next) {
        for (struct usb_device* d = b->devices; d != nullptr; d = d->next) {
            if (d->descriptor.idVendor == TOV_USB_VENDOR_ID) out.push_back({b, d});
        }
    }
    return out;
}

void rescan() {
    usb_find_busses();
    usb_find_devices();
}

std::vector<uint8_t> exchange(usb_dev_handle* h, std::vector<uint8_t> request, int room = 64) {
    EXPECT_EQ(usb_bulk_write(h, 1, reinterpret_cast<const char*>(request.data()), int(request.size()), 500),
              int(request.size()));
    std::vector<uint8_t> reply(size_t(room), 0);
    const int got = usb_bulk_read(h, 0x81, reinterpret_cast<char*>(reply.data()), room, 500);
    reply.resize(got > 0 ? size_t(got) : 0);
    return reply;
}

class VirtualSensor : public ::testing::Test {
protected:
    void SetUp() override {
        simusb::resetAll();
        usb_init();
        rescan();
    }
    void TearDown() override {
        simusb::resetAll();
        rescan();
        EXPECT_EQ(simusb::openHandleCount(), 0);
    }
};

TEST_F(VirtualSensor, PluggedSensorAppearsAfterTheNextScanWithItsIdentity) {
    simusb::SensorSpec identity;
    identity.serial = "SN-1234";
    identity.productId = 0x0012;
    identity.variant = 5;
    const simusb::SensorId id = simusb::plug(identity);
    ASSERT_NE(id, 0);
    EXPECT_TRUE(listSensors().empty()) << "libusb shows a device only after usb_find_devices";
    EXPECT_EQ(usb_find_devices(), 1);
    EXPECT_EQ(usb_find_devices(), 0) << "no change, no count";

    auto sensors = listSensors();
    ASSERT_EQ(sensors.size(), 1u);
    struct usb_device* d = sensors[0].device;
    EXPECT_STREQ(sensors[0].bus->dirname, "001");
    EXPECT_EQ(d->filename, simusb::deviceFileName(id));
    EXPECT_EQ(d->descriptor.idProduct, 0x0012);
    EXPECT_EQ(d->descriptor.bDeviceSubClass, 0x15);
    ASSERT_EQ(d->descriptor.bNumConfigurations, 1);
    const usb_interface_descriptor& alt = d->config[0].interface[0].altsetting[0];
    ASSERT_EQ(alt.bNumEndpoints, 3);
    EXPECT_EQ(alt.endpoint[0].bEndpointAddress, 0x01);
    EXPECT_EQ(alt.endpoint[1].bEndpointAddress, 0x81);
    EXPECT_EQ(alt.endpoint[2].bEndpointAddress, 0x82);

    usb_dev_handle* h = usb_open(d);
    ASSERT_NE(h, nullptr);
    char serial[256];
    EXPECT_EQ(usb_get_string_simple(h, d->descriptor.iSerialNumber, serial, sizeof serial), 7);
    EXPECT_STREQ(serial, "SN-1234");
    uint8_t descriptor[18];
    ASSERT_EQ(usb_get_descriptor(h, USB_DT_DEVICE, 0, descriptor, sizeof descriptor), 18);
    EXPECT_EQ(descriptor[5], 0x15);
    EXPECT_EQ(descriptor[8] | (descriptor[9] << 8), TOV_USB_VENDOR_ID);
    EXPECT_EQ(usb_set_configuration(h, d->config[0].bConfigurationValue), 0);
    EXPECT_EQ(usb_claim_interface(h, 0), 0);
    EXPECT_EQ(usb_set_altinterface(h, 0), 0);
    EXPECT_EQ(usb_close(h), 0);

    EXPECT_EQ(simusb::plug(identity), 0) << "one serial, one sensor";
}

TEST_F(VirtualSensor, SensorWithoutSerialHasNoSerialIndex) {
    simusb::SensorSpec identity;
    identity.serial.clear();
    ASSERT_NE(simusb::plug(identity), 0);
    ASSERT_NE(simusb::plug(identity), 0) << "serial-less sensors may share a bus";
    rescan();
    auto sensors = listSensors();
    ASSERT_EQ(sensors.size(), 2u);
    EXPECT_EQ(sensors[0].device->descriptor.iSerialNumber, 0);
    EXPECT_STRNE(sensors[0].device->filename, sensors[1].device->filename);
}

TEST_F(VirtualSensor, ResetReEnumeratesUnderNewFileNameWithSameSerial) {
    const simusb::SensorId id = simusb::plug();
    rescan();
    usb_dev_handle* h = usb_open(listSensors().at(0).device);
    ASSERT_NE(h, nullptr);
    const std::string before = simusb::deviceFileName(id);

    EXPECT_EQ(usb_reset(h), 0);
    char c = 0;
    EXPECT_EQ(usb_bulk_write(h, 1, &c, 1, 100), -ENODEV) << "a handle from before the reset is stale";
    EXPECT_EQ(usb_find_devices(), 2) << "one device gone, one arrived";
    auto sensors = listSensors();
    ASSERT_EQ(sensors.size(), 1u);
    EXPECT_NE(std::string(sensors[0].device->filename), before);
    EXPECT_EQ(sensors[0].device->filename, simusb::deviceFileName(id));
    usb_dev_handle* again = usb_open(sensors[0].device);
    char serial[64];
    EXPECT_GT(usb_get_string_simple(again, 3, serial, sizeof serial), 0);
    EXPECT_STREQ(serial, "SIM00001");
    usb_close(again);
    usb_close(h);
}

TEST_F(VirtualSensor, FirmwareAnswersUnknownAndEmptyRequestsAndHooks) {
    simusb::plug();
    rescan();
    usb_dev_handle* h = usb_open(listSensors().at(0).device);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(exchange(h, {0xEE, 1, 2}), (std::vector<uint8_t>{0x01, 0x04}));
    EXPECT_EQ(exchange(h, {}), (std::vector<uint8_t>{0x05, 0x04}));

    simusb::setCommandHook(0xEE, [](std::span<const uint8_t> request) {
        simusb::Reply reply;
        reply.status = 0x0412;
        reply.payload.assign(request.begin() + 1, request.end());
        return reply;
    });
    EXPECT_EQ(exchange(h, {0xEE, 7, 8}), (std::vector<uint8_t>{0x12, 0x04, 7, 8}));
    std::vector<uint8_t> small(3);
    usb_bulk_write(h, 1, "\xEE\x01\x02\x03\x04", 5, 100);
    EXPECT_EQ(usb_bulk_read(h, 0x81, reinterpret_cast<char*>(small.data()), 3, 100), -EOVERFLOW)
        << "a reply larger than the read is an overflow, as on the wire";
    // A reply that is its payload alone may be empty: the read gets nothing, and fails nothing.
    simusb::setCommandHook(0xEF, [](std::span<const uint8_t>) {
        simusb::Reply reply;
        reply.whole = true;
        return reply;
    });
    ASSERT_EQ(usb_bulk_write(h, 1, "\xEF", 1, 100), 1);
    EXPECT_EQ(usb_bulk_read(h, 0x81, reinterpret_cast<char*>(small.data()), 3, 100), 0);
    usb_close(h);
}

TEST_F(VirtualSensor, BlockedReadWakesWithErrorOnUnplug) {
    const simusb::SensorId id = simusb::plug();
    rescan();
    usb_dev_handle* h = usb_open(listSensors().at(0).device);
    ASSERT_NE(h, nullptr);
    std::thread unplugger([id] {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        simusb::unplug(id);
    });
    const auto start = std::chrono::steady_clock::now();
    char buffer[64];
    EXPECT_EQ(usb_bulk_read(h, 0x82, buffer, sizeof buffer, 10000), -ENODEV);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    unplugger.join();
    usb_close(h);
}

TEST_F(VirtualSensor, FingerprintPushesEndInShortReads) {
    const simusb::SensorId id = simusb::plug();
    rescan();
    usb_dev_handle* h = usb_open(listSensors().at(0).device);
    std::vector<uint8_t> first(100, 1), second(10, 2);
    simusb::pushFingerprintData(id, first);
    simusb::pushFingerprintData(id, second);
    char buffer[256];
    EXPECT_EQ(usb_bulk_read(h, 0x82, buffer, 64, 100), 64);
    EXPECT_EQ(usb_bulk_read(h, 0x82, buffer, 64, 100), 36) << "never past the end of one push";
    EXPECT_EQ(usb_bulk_read(h, 0x82, buffer, 64, 100), 10);
    EXPECT_EQ(usb_bulk_read(h, 0x82, buffer, 64, 20), -ETIMEDOUT);
    simusb::scriptReads(id, 0x82, {{simusb::ReadFault::Empty}, {simusb::ReadFault::Error}});
    EXPECT_EQ(usb_bulk_read(h, 0x82, buffer, 64, 100), 0);
    EXPECT_EQ(usb_bulk_read(h, 0x82, buffer, 64, 100), -EIO);
    usb_close(h);
}

TEST_F(VirtualSensor, StoredStateOutlivesUnplugAndRun) {
    const auto directory = std::filesystem::temp_directory_path() / ("simusb-state-" + std::to_string(::getpid()));
    std::filesystem::create_directories(directory);
    simusb::setStateDirectory(directory.string());
    simusb::SensorSpec identity;
    identity.serial = "KEEP1";
    simusb::SensorId id = simusb::plug(identity);
    simusb::setStoredState(id, "flash", {1, 2, 3, 0, 255});
    simusb::setStoredState(id, "owner", {});
    EXPECT_TRUE(std::filesystem::exists(directory / "KEEP1.state"));
    simusb::unplug(id);

    id = simusb::plug(identity);
    EXPECT_EQ(simusb::storedState(id, "flash"), (std::vector<uint8_t>{1, 2, 3, 0, 255}));

    // A later run: a fresh firmware object reads the same file.
    simusb::Firmware fresh("KEEP1", TOV_USB_PID_DEFAULT, 0);
    ASSERT_TRUE(fresh.load(directory.string()));
    EXPECT_EQ(fresh.stored("flash").size(), 5u);

    // A damaged file is refused, not half read.
    std::FILE* f = std::fopen((directory / "BROKEN.state").c_str(), "wb");
    std::fputs("TOVSIMSTATE1\n\x05\x00\x00\x00ab", f);
    std::fclose(f);
    simusb::Firmware broken("BROKEN", TOV_USB_PID_DEFAULT, 0);
    EXPECT_FALSE(broken.load(directory.string()));
    simusb::resetAll();
    std::filesystem::remove_all(directory);
}

}  // namespace
