// The sensor tool run in-process over the virtual sensor: a private scratch folder as working
// directory, settings file and sensor state folder, and command lines run through Execute as a
// script line runs them (the sensor stays open from command to command).
#pragma once

#include "tools/sensor/cli/sensor_tool.h"

#include "platform/test_seams.h"
#include "platform/usb_test_seams.h"
#include "sim/usb/sim_usb.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>
#include <vector>

class ToolSession {
public:
    // Call with ASSERT_NO_FATAL_FAILURE from a fixture's SetUp.
    void start(const std::string& name) {
        simusb::resetAll();
        palTestSetUsbPollInterval(5);
        palTestSetUsbWorkerStopTimeout(0);
        dir = ::testing::TempDir() + "/" + name + "_" + std::to_string(getpid());
        ASSERT_EQ(std::system(("rm -rf " + dir + " && mkdir -p " + dir + "/state").c_str()), 0);
        palTestSetSettingsPath((dir + "/settings").c_str());
        simusb::setStateDirectory(dir + "/state");
        ASSERT_NE(getcwd(cwd_, sizeof cwd_), nullptr);
        ASSERT_EQ(chdir(dir.c_str()), 0);
        SensorResetToolState();
        gScriptCommand = 1;  // keep the sensor open between the commands of one test
    }

    void stop() {
        if (g_hSensor != 0) DestroySensor();
        SensorResetToolState();
        EXPECT_EQ(chdir(cwd_), 0);
        simusb::resetAll();
        palTestSetUsbPollInterval(0);
        palTestSetSettingsPath(nullptr);
        std::system(("rm -rf " + dir).c_str());
    }

    // Runs one command line (with -doinit) through Execute; returns its result, its output in *output.
    int run(const std::vector<const char*>& words, std::string* output) {
        std::vector<std::string> storage{"sensor"};
        for (const char* w : words) storage.emplace_back(w);
        storage.emplace_back("-doinit");
        std::vector<char*> argv;
        for (auto& s : storage) argv.push_back(s.data());
        argv.push_back(nullptr);
        fflush(stdout);
        ::testing::internal::CaptureStdout();
        const int result = Execute(int(storage.size()), argv.data());
        fflush(stdout);
        *output = ::testing::internal::GetCapturedStdout();
        return result;
    }

    std::string dir;

private:
    char cwd_[4096] = {};
};
