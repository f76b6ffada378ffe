#include <algorithm>
#include <random>
#include <set>
#include <utility>

#include <gtest/gtest.h>

#include "app/flow_fixture.h"
#include "storage/day_file.h"

// 300 simulated minutes of a device that comes and goes (also by dropping off the bus on a
// module reset, or rebooting its modules on the bus), switches off, drops replies (also for
// one whole read at a time) and spoils history transfers, with the page sending valid and
// invalid actions at random; at the end a device that was read on its connection is still
// polled. Fixed seed; the device and the queue run on fake time.

namespace nimbra::testing {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;

constexpr auto kStep = 5s;
constexpr int kSteps = 300 * 60 / 5;

class SoakTest : public FlowTest {
 protected:
  sim::SimulatedDeviceState device() {
    sim::SimulatedDeviceState device = withHistory(0);
    offerResets(device);
    std::vector<uint8_t> calibration(24, 0);
    calibration[2] = 100;
    device.readings[{0, 128}] = calibration;
    device.history.records[0] = {0, 0, historyLength_};
    for (uint32_t position = 0; position < historyLength_; ++position) {
      device.history.entries[{0, position}] = analysableEntry(position);
    }
    // Some devices drop off the bus when they take a module reset; the others stay on it
    // while their modules reboot, answering nothing for a while of the test's clock.
    if (chance(0.5)) {
      device.reset.leaveBus = [this] { usb_->detach(kPort); };
    } else {
      device.reset.rebootTime =
          std::chrono::milliseconds(std::uniform_int_distribution<int>(100, 8000)(rng_));
      device.clock = [this] {
        return std::chrono::steady_clock::time_point(
            std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                clock_.now().time_since_epoch()));
      };
    }
    return device;
  }

  json randomAction() {
    std::string connection = controller().connectionId().text();
    bool light = last()["settings"].value("light", true);
    const json actions[] = {
        {{"action", "refresh"}},
        {{"action", "disconnect"}},
        {{"action", "history"}},
        {{"action", "setting"}, {"key", "light"}, {"value", !light}},
        {{"action", "setting"}, {"key", "light"}, {"value", !light}},
        {{"action", "reset"}, {"target", connection}},
        {{"action", "reset"}, {"target", Uuid::random().text()}},
        {{"action", "setting"}, {"key", "nope"}, {"value", true}},
        {{"action", "setting"}, {"key", "light"}, {"value", "yes"}},
        {{"action", 5}},
        json::object(),
        {{"action", "activity"}, {"module", "care"}},
        {{"action", "preferences"}, {"language", "xx"}, {"theme", "dark"}},
    };
    return actions[std::uniform_int_distribution<size_t>(0, std::size(actions) - 1)(rng_)];
  }

  bool chance(double p) { return std::bernoulli_distribution(p)(rng_); }

  // Still polled: a device read on this connection and not paused by the user is read again
  // by the timers alone once it answers, whatever failed before (whole reads, a reset whose
  // modules reboot, a sequence that gave up). Returns whether the check applied.
  bool expectStillPolled() {
    if (!plugged_ || !last()["connected"].get<bool>() || !ControllerPeer::readOnce(controller())) {
      return false;
    }
    state_->switchedOff = false;
    state_->fault = sim::ReplyFault::none;
    state_->readings[{1, 129}] = {0x08, 0x40, 0xff, 0x7f};  // no use session
    const std::optional<DeviceSample>& sample = ControllerPeer::lastSample(controller());
    double before = sample ? sample->observedAt : 0;
    for (int i = 0; i < 3; ++i) advance(kStep);
    EXPECT_TRUE(sample && sample->observedAt != before) << "the device is no longer polled";
    return true;
  }

  std::mt19937 rng_{20261208};
  uint32_t historyLength_ = 5;
  std::shared_ptr<sim::SimulatedDeviceState> state_;
  bool plugged_ = false;
};

TEST_F(SoakTest, ThreeHundredMinutesOfFaultsLeaveConsistentState) {
  loaded();
  state_ = plug(device());
  plugged_ = true;
  std::set<double> folded;
  size_t acceptedActions = 0;
  int stillPolledChecks = 0;

  for (int step = 0; step < kSteps; ++step) {
    if (chance(0.01)) {
      if (plugged_) {
        unplug();
      } else {
        state_ = plug(device());
      }
      plugged_ = !plugged_;
    }
    if (plugged_ && !model().busy()) {
      if (chance(0.02)) state_->switchedOff = !state_->switchedOff;
      if (chance(0.03)) {
        state_->fault =
            state_->fault == sim::ReplyFault::none ? sim::ReplyFault::drop : sim::ReplyFault::none;
      }
      if (chance(0.03)) {
        const sim::HistoryFault faults[] = {
            sim::HistoryFault::none, sim::HistoryFault::deviceFailure,
            sim::HistoryFault::brokenSequence, sim::HistoryFault::tooManyParts};
        state_->history.fault = faults[std::uniform_int_distribution<int>(0, 3)(rng_)];
      }
      if (chance(0.02) && historyLength_ < 200) {
        state_->history.entries[{0, historyLength_}] = analysableEntry(historyLength_);
        state_->history.records[0].end = ++historyLength_;
      }
    }
    if (chance(0.3)) {
      json action = randomAction();
      size_t before = controller().screenState().settingRecords.size();
      // The steps settle, so the model is idle here and no action is deferred to a later
      // read: an accepted setting or reset starts its device work before handleAction returns.
      ASSERT_FALSE(model().busy());
      controller().handleAction(action);
      bool changesDevice =
          action.value("action", json()) == "setting" || action.value("action", json()) == "reset";
      bool accepted = changesDevice && model().busy();
      settle();
      const std::vector<SettingRecord> records = controller().screenState().settingRecords;
      EXPECT_EQ(records.size() - before, accepted ? 1u : 0u) << action.dump();
      acceptedActions += accepted;
      if (plugged_ && !state_->present) {  // it left the bus on a reset
        unplug();
        plugged_ = false;
      }
      if (accepted && records.front().action == "light" &&
          records.front().result == SettingRecord::Result::confirmed) {
        ASSERT_TRUE(plugged_);
        bool held = state_->settings.light == 0x64;
        EXPECT_EQ(held, records.front().after->at("light")) << "confirmed but not held";
      }
    }
    if (chance(0.02)) stillPolledChecks += expectStillPolled();
    if (plugged_ && !model().busy() && chance(0.05)) {
      // One whole read fails (every reply dropped), then the device answers again.
      sim::ReplyFault fault = std::exchange(state_->fault, sim::ReplyFault::drop);
      advance(kStep);
      state_->fault = fault;
    }
    advance(kStep);
    if (const auto& sample = ControllerPeer::lastSample(controller()))
      folded.insert(sample->observedAt);
  }

  stillPolledChecks += expectStillPolled();
  EXPECT_GT(stillPolledChecks, 10);

  // Calm down: a healthy device, plugged, read on request.
  if (!plugged_) state_ = plug(device());
  state_->switchedOff = false;
  state_->fault = sim::ReplyFault::none;
  state_->history.fault = sim::HistoryFault::none;
  send({{"action", "refresh"}});
  for (int i = 0; i < 8; ++i) advance(kStep);
  send({{"action", "history"}});
  for (int i = 0; i < 8; ++i) advance(kStep);
  if (const auto& sample = ControllerPeer::lastSample(controller()))
    folded.insert(sample->observedAt);

  EXPECT_FALSE(model().busy());
  EXPECT_FALSE(last()["busy"].get<bool>());
  EXPECT_FALSE(last()["readingHistory"].get<bool>());
  EXPECT_FALSE(last()["analyzing"].get<bool>());
  EXPECT_FALSE(last()["resetWaiting"].get<bool>());

  const std::vector<SettingRecord> records = controller().screenState().settingRecords;
  EXPECT_EQ(records.size(), acceptedActions) << "one record per accepted action";
  std::set<std::string> ids;
  for (const SettingRecord& record : records) {
    EXPECT_TRUE(ids.insert(record.id.text()).second) << record.id.text();
    EXPECT_TRUE(record.action == "light" || record.action == "reset") << record.action;
  }

  // Every folded sample is in a day file.
  std::set<double> stored;
  for (const auto& item : std::filesystem::recursive_directory_iterator(base_)) {
    if (!item.is_regular_file() ||
        item.path().parent_path().parent_path().filename() != DeviceStore::kRootName) {
      continue;
    }
    Result<std::vector<DeviceSample>> day = loadDayFile(storage(), item.path());
    ASSERT_TRUE(day) << item.path();
    for (const DeviceSample& sample : *day) stored.insert(sample.observedAt);
  }
  for (double observedAt : folded) EXPECT_TRUE(stored.contains(observedAt)) << observedAt;

  // The archive holds every entry the device ever announced.
  HistoryArchive::Records archived;
  Result<std::vector<HistoryArchive::Pending>> pending = archive().pending(archiveKey());
  ASSERT_TRUE(pending);
  Result<std::optional<std::vector<HistoryObservation>>> observations =
      archive().observations(archiveKey());
  ASSERT_TRUE(observations && *observations);
  std::set<int64_t> positions;
  for (const auto& record : *pending) positions.insert(record.packet.entry.position);
  for (const auto& observation : **observations) positions.insert(observation.position);
  EXPECT_EQ(positions.size(), historyLength_);
  EXPECT_TRUE(pending->empty()) << "the calm end analyses everything";
  RecordProperty("folded", static_cast<int>(folded.size()));
  RecordProperty("stillPolledChecks", stillPolledChecks);
  RecordProperty("historyLength", static_cast<int>(historyLength_));
  RecordProperty("settingRecords", static_cast<int>(records.size()));
  RecordProperty("resets", static_cast<int>(std::count_if(
                               records.begin(), records.end(),
                               [](const SettingRecord& r) { return r.action == "reset"; })));
}

}  // namespace
}  // namespace nimbra::testing
