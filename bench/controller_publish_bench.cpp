// One Controller::publish with a large screen state: 30 recent samples, 200 history
// entries, 100 journal records, 50 observations and every optional key present, from
// building the ScreenState to the JSON text handed to the page (goal: under 1 ms).
// And a burst of 100 model changes before the main queue runs, which must cost one publish
// (counter "publishes" = 1).

#include <chrono>
#include <memory>

#include <benchmark/benchmark.h>

#include "app/controller.h"
#include "controller_world.h"

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
struct World : bench::ControllerWorld {
  World() : bench::ControllerWorld(options()) {}
  static Options options() {
    Options options;
    auto& device = options.device;
    device.readings[{0, 0}][2] = 150, device.readings[{0, 0}][3] = 6;
    device.readings[{0, 0}][4] = 1;
    device.readings[{1, 0}][2] = 102, device.readings[{1, 0}][3] = 6;
    device.readings[{1, 0}][4] = 0;
    device.readings[{1, 129}] = {0x05, 0x42, 0xff, 0x7f};
    return options;
  }
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
