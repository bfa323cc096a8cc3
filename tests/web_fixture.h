// A fresh engine with a hand-set clock and a web service on it, for tests that
// drive the web interface from strings. The configuration file is a scratch
// file of its own; the debug level and the device serial number are put back.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <fstream>
#include <sstream>
#include <string>

#include "osdp/osdp_peripheral.h"
#include "util/globals.h"
#include "util/log.h"
#include "web/web_service.h"

class WebFixture : public ::testing::Test {
  protected:
    void SetUp() override {
        savedLevel = DebugLevel.load();
        savedSerial = DeviceSerial;
        DebugLevel.store(1);
        osdp.configPath = ::testing::TempDir() + "kanzo_web_" + std::to_string(getpid()) + ".conf";
        unlink(osdp.configPath.c_str());
    }
    void TearDown() override {
        unlink(osdp.configPath.c_str());
        DebugLevel.store(savedLevel);
        DeviceSerial = savedSerial;
    }

    uint32_t pendingCard(int reader) {
        MutexLock lock(osdp.mutex);
        return osdp.pendingCard[reader];
    }
    uint32_t lastCard(int reader) {
        MutexLock lock(osdp.mutex);
        return osdp.lastCard[reader];
    }
    // Takes the pending card away, as the controller's poll does.
    void collectCard(int reader) {
        MutexLock lock(osdp.mutex);
        osdp.pendingCard[reader] = 0;
    }
    std::string configText() {
        std::ifstream in(osdp.configPath);
        std::ostringstream text;
        text << in.rdbuf();
        return text.str();
    }

    WallTime now{1700000000, 0};
    int64_t monotonic = 1000000;
    OsdpPeripheral osdp{[this] { return now; }, [this] { return monotonic; }};
    WebService web{osdp};
    int32_t savedLevel = 0;
    std::string savedSerial;
};
