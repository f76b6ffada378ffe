#pragma once

// The fixture of the guest test program (kernel_stack_guest.cpp): the stack set up with the
// hidapi backend, a model and a presence monitor on a ManualMainQueue whose runUntil waits in
// real time for the device and udev threads, the gadget reset before each test, and the same
// reads against the simulator alone for comparison. Thread: the test's thread (the main one).

#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/clock.h"
#include "core/manual_main_queue.h"
#include "device/model.h"
#include "devicelink/backend_registry.h"
#include "devicelink/usb_presence.h"
#include "guest_support.h"
#include "platform/hidapi_backend.h"
#include "platform/udev_presence_source.h"
#include "sim/simulated_hid_backend.h"
#include "tools/usb_gadget/gadget_profile.h"

namespace nimbra::guest {

using namespace std::chrono_literals;
using Milliseconds = std::chrono::duration<double, std::milli>;
using gadget::kSerial;

// How long a plug, an unplug or a udev event may take in a TCG guest on a busy host.
constexpr auto kPlugLimit = 20s;

const USBPresence::Serials kOurs{kSerial};
const USBPresence::Serials kNone{};

inline void record(const char* what, Milliseconds value) {
  std::printf("[  FIGURE  ] %s: %.1f ms\n", what, value.count());
  std::fflush(stdout);
}
inline void record(const char* what, const std::string& value) {
  std::printf("[  FIGURE  ] %s: %s\n", what, value.c_str());
  std::fflush(stdout);
}

class KernelStack : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(guest::gadget("reset")) << "device program not reachable";
    ASSERT_TRUE(guest::waitForHidraw(kSerial, true, kPlugLimit)) << "gadget never appeared";
    guest::settleUdev();
    iq_install_backend(std::make_shared<HidapiBackend>());
  }
  void TearDown() override {
    model_.reset();
    presence_.reset();
    iq_close();
    iq_install_backend(nullptr);
  }

  static void command(const std::string& line) {
    auto answer = guest::gadget(line);
    ASSERT_TRUE(answer) << answer.error().message;
  }
  static int requestsSoFar() {
    auto answer = guest::gadget("requests");
    return answer ? std::stoi(answer->substr(3)) : -1;
  }

  // USBPresence on the udev monitor, every event also logged in tap_.
  void startPresence() {
    auto presence = USBPresence::create(
        queue_,
        std::make_unique<guest::TappedPresenceSource>(std::make_unique<UdevPresenceSource>(), tap_),
        [this](const USBPresence::Serials& serials) {
          reported_.push_back(serials);
          if (onReport_) onReport_(serials);
        });
    ASSERT_TRUE(presence) << presence.error().message;
    presence_ = std::move(presence.value());
  }
  bool waitForReport(const USBPresence::Serials& serials) {
    return queue_.runUntil([&] { return !reported_.empty() && reported_.back() == serials; },
                           kPlugLimit);
  }
  template <typename Done>
  bool runUntil(Done done, std::chrono::milliseconds limit = kPlugLimit) {
    return queue_.runUntil(done, limit);
  }

  Model& model() {
    if (!model_) model_ = std::make_unique<Model>(queue_, clock_);
    return *model_;
  }
  void refreshed() {
    model().refresh(false);
    ASSERT_TRUE(runUntil([this] { return !model_->busy(); })) << "model stayed busy";
  }

  ManualMainQueue queue_;
  SystemClock clock_;
  std::unique_ptr<Model> model_;
  std::shared_ptr<guest::TappedPresenceSource::Log> tap_ =
      std::make_shared<guest::TappedPresenceSource::Log>();
  std::vector<USBPresence::Serials> reported_;
  std::function<void(const USBPresence::Serials&)> onReport_;  // after each report, if set
  std::unique_ptr<USBPresence> presence_;
};

// The same reads against the simulator alone, on virtual time, for comparison.
struct SimulatorReference {
  std::vector<std::string> rows;
  SettingValues values;
  std::string message;
  int requests = 0;
  std::optional<HistorySnapshot> history;
};

inline SimulatorReference readFromSimulator() {
  auto bus = std::make_shared<sim::SimulatedHidBackend>();
  auto device = bus->addDevice(gadget::gadgetDeviceState());
  iq_install_backend(bus);
  ManualMainQueue queue;
  SystemClock clock;
  SimulatorReference reference;
  {
    Model model(queue, clock);
    model.refresh(false);
    queue.runUntil([&] { return !model.busy(); });
    reference.rows = guest::describeRows(model.rows());
    reference.values = model.values();
    reference.message = model.message();
    reference.requests = device->requestsReceived;
    model.readHistory(std::nullopt, false, [&](const std::string&, const HistoryOutcome& got) {
      if (auto* snapshot = std::get_if<HistorySnapshot>(&got)) reference.history = *snapshot;
    });
    queue.runUntil([&] { return !model.busy(); });
  }
  iq_install_backend(nullptr);
  return reference;
}

}  // namespace nimbra::guest
