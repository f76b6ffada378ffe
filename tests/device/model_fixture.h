#pragma once

// Test fixture: a Model on a deterministic main queue, a fixed clock and a recorded sleep,
// talking to the simulated bus on virtual time.

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "core/clock.h"
#include "core/hex.h"
#include "core/manual_main_queue.h"
#include "device/model.h"
#include "support/simulated_link.h"

namespace nimbra::testing {

class ModelTest : public SimulatedLinkTest {
 protected:
  void SetUp() override {
    SimulatedLinkTest::SetUp();
    model_ = std::make_unique<Model>(mainQueue_, clock_, [this](std::chrono::milliseconds d) {
      sleeps_.push_back(d);
      if (duringSleep_) duringSleep_();
    });
  }
  void TearDown() override {
    model_.reset();
    SimulatedLinkTest::TearDown();
  }

  Model& model() { return *model_; }

  // Runs the main queue until the model is idle again.
  void settle() {
    ASSERT_TRUE(mainQueue_.runUntil([this] { return !model_->busy(); })) << "model stayed busy";
  }

  void refreshed(bool automatic = false) {
    model().refresh(automatic);
    settle();
  }

  // Plugs in the default device and reads it once.
  std::shared_ptr<sim::SimulatedDeviceState> connected(
      sim::SimulatedDeviceState state = sim::ilumaOne()) {
    auto device = plugIn(std::move(state));
    refreshed();
    return device;
  }

  // The frames the device received from index `from` on, as hex.
  static std::vector<std::string> framesFrom(const sim::SimulatedDeviceState& device,
                                             std::size_t from = 0) {
    std::vector<std::string> frames;
    for (std::size_t i = from; i < device.frameLog.size(); ++i) {
      frames.push_back(hexString(device.frameLog[i].bytes));
    }
    return frames;
  }

  ManualMainQueue mainQueue_;
  FakeClock clock_{Date{} + std::chrono::hours(24 * 365 * 56)};
  // Written on the device queue, read by the test once the model is idle.
  std::vector<std::chrono::milliseconds> sleeps_;
  std::function<void()> duringSleep_;
  std::unique_ptr<Model> model_;
};

}  // namespace nimbra::testing
