// One Controller::publish with a large screen state: 30 recent samples, 200 history
// entries, 100 journal records, 50 observations and every optional key present, from
// building the ScreenState to the JSON text handed to the page (goal: under 1 ms).
// And a burst of 100 model changes before the main queue runs, which must cost one publish
// (counter "publishes" = 1).

#include <chrono>
#include <filesystem>
#include <memory>

#include <benchmark/benchmark.h>

#include "app/controller.h"
#include "core/manual_main_queue.h"
#include "devicelink/backend_registry.h"
#include "devicelink/iq.h"
#include "sim/simulated_hid_backend.h"
#include "sim/simulated_presence_source.h"
#include "storage/key_cache.h"
#include "support/controller_fakes.h"
#include "support/temporary_folder.h"

namespace nimbra {

class ControllerPeer {
 public:
  // Everything the history, analysis and battery flows would add, at full size.
  static void fillLargeState(Controller& c, const Clock& clock) {
    SampleFolder& folder = c.samples_;
    DeviceSample sample = *folder.lastSample_;
    folder.samples_.assign(30, sample);
    for (int i = 0; i < 30; ++i) folder.samples_[i].observedAt -= 900.0 * (30 - i);
    HistoryFlow& history = c.history_;
    std::vector<HistoryEntry> entries;
    for (int i = 0; i < 200; ++i) entries.push_back({i % 4, i, 18, 18});
    history.history_ = entries;
    history.archiveCount_ = 200;
    history.directoryCount_ = 50;
    history.historyError_ = "无法读取或保存本机加密历史记录。";
    std::vector<HistoryObservation> observations;
    for (int i = 0; i < 50; ++i) {
      observations.push_back({i, clock.now(), i % 5, "stick_completed", "session"});
    }
    history.observations_ = observations;
    folder.storageError_ = "本次采样未能保存到本机数据库。";
    c.battery_.batteryEstimate_ = HistoryAPI::BatteryEstimate{3.9, 14};
    c.reset_.resetStatus_ = "acknowledged";
    for (int i = 0; i < 100; ++i) {
      c.settingJournal_->add({Uuid::random(), clock.now(), "light",
                              SettingRecord::Values{{"light", i % 2 == 0}}, i % 2 != 0,
                              SettingRecord::Values{{"light", i % 2 != 0}},
                              SettingRecord::Result::confirmed});
    }
    for (int i = 0; i < 20; ++i) {
      c.maintenanceRecords_.push_back({MaintenanceRecord::Action::reset, 1780000000.0 + i});
    }
    c.connection_.connectionReadID_ = Uuid::random();  // shows connectionAttempt
    c.connection_.connectionAttempt_ = 1;
  }
};

namespace {

// A controller serving a simulated device whose module reset is offered and whose session
// runs, with its page loaded.
struct World {
  World() {
    page->keepAll = false;
    page->readyAnswer = false;
    updater.current.availableVersion = "1.5.0";
    auto device = sim::ilumaOne("BENCH00000001");
    device.readings[{0, 0}][2] = 150, device.readings[{0, 0}][3] = 6;
    device.readings[{0, 0}][4] = 1;
    device.readings[{1, 0}][2] = 102, device.readings[{1, 0}][3] = 6;
    device.readings[{1, 0}][4] = 0;
    device.readings[{1, 129}] = {0x05, 0x42, 0xff, 0x7f};
    hid->addDevice(device);
    iq_install_backend(hid);
    usb->attach("1-1", SimulatedUsbBus::ilumaOne("BENCH00000001"));
    telemetry = std::make_unique<Telemetry>(
        Telemetry::Seams{queue,
                         clock,
                         [] { return 1.0; },
                         [] { return Uuid(); },
                         {},
                         storage(),
                         {"http://127.0.0.1:9", std::chrono::seconds(1)},
                         "Linux",
                         "1",
                         "1.0"});
    controller = Controller::create(
        Controller::Seams{queue,
                          clock,
                          storage(),
                          LocalSettings(storage()),
                          {},
                          {},
                          std::make_unique<SimulatedPresenceSource>(usb),
                          *telemetry,
                          [] { return Uuid(); },
                          HistoryAPI::Endpoint{"http://127.0.0.1:9", std::chrono::seconds(1)},
                          sharing,
                          updater,
                          page,
                          {},
                          [](std::chrono::milliseconds) {}});
    controller->pageFinishedLoading();
    settle();
  }
  ~World() {
    controller.reset();
    telemetry.reset();
    iq_close();
    iq_install_backend(nullptr);
  }

  void settle() {
    for (int i = 0; i < 50; ++i) {
      queue.runUntil([&] { return !controller->model().busy(); });
      if (queue.runPending() == 0 && !controller->model().busy()) return;
    }
  }
  LocalStorage storage() { return LocalStorage(base, keys); }

  testing::TemporaryFolder folder{"nimbra-bench"};
  std::filesystem::path base = folder.path();
  KeyCache keys;
  std::shared_ptr<sim::SimulatedHidBackend> hid = std::make_shared<sim::SimulatedHidBackend>();
  std::shared_ptr<SimulatedUsbBus> usb = std::make_shared<SimulatedUsbBus>();
  ManualMainQueue queue;
  FakeClock clock{Date{} + std::chrono::hours(24 * 365 * 56)};
  std::shared_ptr<testing::RecordingPage> page = std::make_shared<testing::RecordingPage>();
  testing::FakeSharing sharing;
  testing::FakeUpdater updater;
  std::unique_ptr<Telemetry> telemetry;
  std::shared_ptr<Controller> controller;
};

void BM_PublishLargeState(benchmark::State& state) {
  World world;
  ControllerPeer::fillLargeState(*world.controller, world.clock);
  world.controller->publish();
  ScreenState screen = world.controller->screenState();
  if (!screen.connectionAttempt || !screen.serial || !screen.sample || !screen.storageError ||
      !screen.history || !screen.observations || !screen.estimatedUses ||
      !screen.sessionStartedAt || !screen.resetTarget || !screen.resetStatus ||
      !screen.historyError || screen.recent.size() != 30 || screen.settingRecords.size() != 100) {
    state.SkipWithError("the state is not complete");
    return;
  }
  for (auto _ : state) {
    world.controller->publish();
    benchmark::DoNotOptimize(world.page->renders.back().data());
  }
  state.counters["state_bytes"] = static_cast<double>(world.page->renders.back().size());
}
BENCHMARK(BM_PublishLargeState)->Unit(benchmark::kMicrosecond);

void BM_BurstOfModelChanges(benchmark::State& state) {
  World world;
  Model& model = world.controller->model();
  size_t renders = 0;
  for (auto _ : state) {
    size_t before = world.page->renderCount;
    for (int i = 0; i < 100; ++i) model.setAutomatic(i % 2 == 0);
    world.queue.runPending();
    renders += world.page->renderCount - before;
  }
  state.counters["publishes"] =
      benchmark::Counter(static_cast<double>(renders), benchmark::Counter::kAvgIterations);
}
BENCHMARK(BM_BurstOfModelChanges)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace nimbra
