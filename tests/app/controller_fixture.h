#pragma once

// Test fixture: a Controller on a deterministic main queue and a fixed clock, with the
// simulated device as HID backend, a simulated USB bus as presence source, stores in a
// temporary directory, and recording fakes for the page, the sharing and the updater.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "app/controller.h"
#include "app/message_bridge.h"
#include "core/manual_main_queue.h"
#include "sim/simulated_presence_source.h"
#include "storage/key_cache.h"
#include "support/controller_fakes.h"
#include "support/simulated_link.h"
#include "support/temporary_folder.h"

namespace nimbra::testing {

// Forwards to the simulated bus, but holds every device task at its scan while closed, so a
// test can look at the controller while the model is busy.
class GatedBackend : public HidBackend {
 public:
  explicit GatedBackend(std::shared_ptr<HidBackend> inner) : inner_(std::move(inner)) {}

  std::vector<HidDeviceInfo> enumerate(uint16_t vendorId, uint16_t productId) override {
    std::unique_lock lock(mutex_);
    opened_.wait(lock, [this] { return open_; });
    lock.unlock();
    return inner_->enumerate(vendorId, productId);
  }
  HidOpenResult open(const std::string& path) override {
    ++opens;
    return inner_->open(path);
  }
  TimePoint now() override { return inner_->now(); }

  std::atomic<int> opens = 0;  // device tasks that reached the device, one open each

  void setOpen(bool open) {
    {
      std::lock_guard lock(mutex_);
      open_ = open;
    }
    opened_.notify_all();
  }

 private:
  std::shared_ptr<HidBackend> inner_;
  std::mutex mutex_;
  std::condition_variable opened_;
  bool open_ = true;  // guarded by mutex_
};

class ControllerTest : public SimulatedLinkTest {
 public:
  static constexpr char kSerial[] = "SIM0000000001";
  static constexpr char kPort[] = "1-1";

 protected:
  void SetUp() override {
    SimulatedLinkTest::SetUp();
    iq_install_backend(gate_);
    telemetry_ = std::make_unique<Telemetry>(Telemetry::Seams{
        .queue = queue_,
        .clock = clock_,
        .uptime = [] { return 100.0; },
        .installationId = [] { return kInstallation; },
        .isApplicationActive = {},
        .storage = storage(),
        .endpoint = {"http://127.0.0.1:9", std::chrono::seconds(1)},
        .os = "Linux Test",
        .appBuild = "7",
        .appVersion = "1.2.3",
    });
  }

  void TearDown() override {
    gate_->setOpen(true);
    controller_.reset();
    telemetry_.reset();
    SimulatedLinkTest::TearDown();
  }

  LocalStorage storage() { return LocalStorage(base_, cache_); }

  // Builds the controller; without a USB monitor when `withMonitor` is false.
  Controller& create(bool withMonitor = true) {
    std::unique_ptr<PresenceSource> source;
    if (withMonitor) source = std::make_unique<SimulatedPresenceSource>(usb_);
    controller_ = Controller::create(Controller::Seams{
        .queue = queue_,
        .clock = clock_,
        .storage = storage(),
        .settings = LocalSettings(storage()),
        .presentation = {},
        .effectiveLanguage = {},
        .presenceSource = std::move(source),
        .telemetry = *telemetry_,
        .installationId = [] { return kInstallation; },
        .analysisEndpoint = analysisEndpoint_,
        .sharing = sharing_,
        .updater = updater_,
        .page = page_,
        .arguments = {"--zuvo-update-health", "job-1"},
        .sleep = [](std::chrono::milliseconds) {},
        .diagnosticsFacts = diagnosticsFacts_,
        .fileChooser = fileChooser_,
    });
    settle();
    return *controller_;
  }

  // Builds the controller and loads the page.
  Controller& loaded(bool withMonitor = true) {
    create(withMonitor);
    controller_->pageFinishedLoading();
    settle();
    return *controller_;
  }

  Controller& controller() { return *controller_; }
  Model& model() { return controller_->model(); }

  // Runs the main queue, waiting for the device queue and the server calls in flight, until
  // nothing is left to do now.
  void settle() {
    auto quiet = [this] {
      return (!controller_ || !model().busy()) && HistoryAPI::callsInFlight() == 0;
    };
    for (int round = 0; round < 50; ++round) {
      ASSERT_TRUE(queue_.runUntil(quiet)) << "model stayed busy or a server call never ended";
      if (queue_.runPending() == 0 && quiet()) return;
    }
  }

  // Moves both clocks, then lets the work that became due finish.
  void advance(std::chrono::milliseconds by) {
    clock_.advance(by);
    queue_.advance(by);
    settle();
  }

  std::shared_ptr<sim::SimulatedDeviceState> plug(
      sim::SimulatedDeviceState device = sim::ilumaOne(kSerial)) {
    std::string serial = device.serial;
    auto state = plugIn(std::move(device));
    usb_->attach(kPort, SimulatedUsbBus::ilumaOne(serial));
    settle();
    return state;
  }

  void unplug() {
    bus_->removeAll();
    usb_->detach(kPort);
    settle();
  }

  // Plugs the default device in and lets its first load finish.
  std::shared_ptr<sim::SimulatedDeviceState> connected(
      sim::SimulatedDeviceState device = sim::ilumaOne(kSerial)) {
    auto state = plug(std::move(device));
    EXPECT_TRUE(last()["connected"].get<bool>());
    EXPECT_FALSE(last()["initialReading"].get<bool>()) << page_->renders.back();
    return state;
  }

  void send(const nlohmann::json& body) {
    controller_->handleAction(body);
    settle();
  }

  nlohmann::json last() { return page_->last(); }

  // Writes a rendered state (the last one by default) into the build tree for the page
  // tests: <build>/screen-states, beside the tests/ folder this program runs from.
  void saveState(const std::string& name, std::optional<std::string> state = std::nullopt) {
    const std::filesystem::path dir =
        std::filesystem::read_symlink("/proc/self/exe").parent_path().parent_path() /
        "screen-states";
    std::filesystem::create_directories(dir);
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::ofstream(
        dir / (std::string(info->test_suite_name()) + "." + info->name() + "." + name + ".json"))
        << state.value_or(page_->renders.back());
  }

  inline static const Uuid kInstallation = *Uuid::parse("0E5C3D2A-1B4F-4A6E-9C8D-7F6E5D4C3B2A");

  // Where analysis and battery requests go; nothing listens on port 9, so by default they
  // fail at once. Tests of those flows point it at a loopback server before create().
  HistoryAPI::Endpoint analysisEndpoint_{"http://127.0.0.1:9", std::chrono::seconds(1)};
  ManualMainQueue queue_;
  FakeClock clock_{Date{} + std::chrono::hours(24 * 365 * 56)};
  TemporaryFolder folder_{"nimbra-controller-test"};
  std::filesystem::path base_ = folder_.path();
  KeyCache cache_;
  std::shared_ptr<GatedBackend> gate_ = std::make_shared<GatedBackend>(bus_);
  std::shared_ptr<SimulatedUsbBus> usb_ = std::make_shared<SimulatedUsbBus>();
  std::shared_ptr<RecordingPage> page_ = std::make_shared<RecordingPage>();
  FakeSharing sharing_;
  // What the program and the system add to a diagnostics report; empty by default.
  std::function<Diagnostics::Facts()> diagnosticsFacts_;
  // Where exports are saved; none by default (exports not offered).
  FileChooser* fileChooser_ = nullptr;
  FakeUpdater updater_;
  std::unique_ptr<Telemetry> telemetry_;
  std::shared_ptr<Controller> controller_;
};

// Gives the device the firmware and engine that module resets are offered for.
inline void offerResets(sim::SimulatedDeviceState& device) {
  auto& software = device.readings[{0, 0}];
  software[2] = 150, software[3] = 6, software[4] = 1;
  auto& engine = device.readings[{1, 0}];
  engine[2] = 102, engine[3] = 6, engine[4] = 0;
}

// A device for which module resets are offered.
inline sim::SimulatedDeviceState resettable() {
  sim::SimulatedDeviceState device = sim::ilumaOne(ControllerTest::kSerial);
  offerResets(device);
  return device;
}

}  // namespace nimbra::testing
