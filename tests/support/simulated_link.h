#pragma once

// Test fixture: the iq_ module talking to a simulated bus on virtual time.

#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "devicelink/backend_registry.h"
#include "devicelink/iq.h"
#include "sim/simulated_hid_backend.h"

namespace nimbra::testing {

class SimulatedLinkTest : public ::testing::Test {
 protected:
  explicit SimulatedLinkTest(sim::SimulatedTime time = sim::SimulatedTime::virtualClock)
      : bus_(std::make_shared<sim::SimulatedHidBackend>(time)) {}

  void SetUp() override { iq_install_backend(bus_); }
  void TearDown() override {
    iq_close();
    iq_install_backend(nullptr);
  }

  std::shared_ptr<sim::SimulatedDeviceState> plugIn(
      sim::SimulatedDeviceState device = sim::ilumaOne()) {
    return bus_->addDevice(std::move(device));
  }

  // Plugs in a default device and opens it.
  std::shared_ptr<sim::SimulatedDeviceState> openDevice() {
    auto device = plugIn();
    EXPECT_EQ(iq_open(device->serial.c_str()), 0);
    return device;
  }

  static std::vector<uint8_t> bytes(std::initializer_list<uint8_t> list) { return list; }

  std::shared_ptr<sim::SimulatedHidBackend> bus_;
};

}  // namespace nimbra::testing
