#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <tuple>

#include <gtest/gtest.h>

#include "app/flow_fixture.h"

// Rules of the controller a user meets, each with its counterpart that is allowed, so that a
// rule which stops holding, or holds always, shows here.

namespace nimbra::testing {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;

constexpr auto kPoll = Controller::kDevicePollInterval;

// Offered module resets; a calibration row that asks for a battery estimate; `records`
// analysable history records.
sim::SimulatedDeviceState fullDevice(uint32_t records = 0, bool inSession = false) {
  sim::SimulatedDeviceState device = withHistory(records);
  offerResets(device);
  std::vector<uint8_t> calibration(24, 0);
  calibration[2] = 100;
  device.readings[{0, 128}] = calibration;
  if (inSession) device.readings[{1, 129}] = {0x05, 0x42, 0xff, 0x7f};
  return device;
}

class PinnedRulesTest : public FlowTest {
 protected:
  size_t journal() { return controller().screenState().settingRecords.size(); }
  json resetNow() { return {{"action", "reset"}, {"target", controller().connectionId().text()}}; }
  bool light() { return last()["settings"]["light"].get<bool>(); }
};

// --- Device actions refused in one state and accepted without it.
enum class Refusal {
  resetDuringSession,
  lockDuringSession,
  settingToItsValue,
  disconnectWhileBusy
};

class RefusalTest : public PinnedRulesTest,
                    public ::testing::WithParamInterface<std::tuple<Refusal, bool>> {};

TEST_P(RefusalTest, ActionIsRefusedOnlyInItsState) {
  auto [refusal, refusing] = GetParam();
  bool session =
      refusing && (refusal == Refusal::resetDuringSession || refusal == Refusal::lockDuringSession);
  loaded();
  connected(fullDevice(0, session));
  ASSERT_EQ(last().contains("sessionStartedAt"), session);
  size_t records = journal();
  int opens = gate_->opens;

  json action;
  switch (refusal) {
    case Refusal::resetDuringSession:
      action = resetNow();
      break;
    case Refusal::lockDuringSession:
      action = {{"action", "setting"}, {"key", "lock"}, {"value", true}};
      break;
    case Refusal::settingToItsValue:
      action = {{"action", "setting"}, {"key", "light"}, {"value", refusing ? light() : !light()}};
      break;
    case Refusal::disconnectWhileBusy:
      action = {{"action", "disconnect"}};
      break;
  }
  if (refusal == Refusal::disconnectWhileBusy && refusing) {
    gate_->setOpen(false);  // a foreground read the user asked for holds the model
    controller().handleAction({{"action", "refresh"}});
    ASSERT_TRUE(model().busy());
  }
  controller().handleAction(action);
  gate_->setOpen(true);
  settle();

  bool accepted = journal() > records || !last()["connected"].get<bool>();
  EXPECT_EQ(accepted, !refusing);
  if (refusing && refusal != Refusal::disconnectWhileBusy) {
    EXPECT_EQ(gate_->opens, opens) << "nothing was sent to the device";
  }
}

std::string refusalName(const ::testing::TestParamInfo<RefusalTest::ParamType>& info) {
  static const char* const names[] = {"ResetDuringSession", "LockDuringSession",
                                      "SettingToItsValue", "DisconnectWhileBusy"};
  return std::string(names[static_cast<int>(std::get<0>(info.param))]) +
         (std::get<1>(info.param) ? "Refused" : "Accepted");
}

INSTANTIATE_TEST_SUITE_P(
    Refusals, RefusalTest,
    ::testing::Combine(::testing::Values(Refusal::resetDuringSession, Refusal::lockDuringSession,
                                         Refusal::settingToItsValue, Refusal::disconnectWhileBusy),
                       ::testing::Bool()),
    refusalName);

// --- What the page is shown, over every render of a session with the device.
TEST_F(PinnedRulesTest, EveryRenderHidesWhatItsStateForbids) {
  loaded();
  auto state = connected(fullDevice(40));
  ASSERT_EQ(last()["estimatedUses"], 12);

  state->history.fault = sim::HistoryFault::deviceFailure;
  send({{"action", "history"}});
  ASSERT_TRUE(ControllerPeer::retryScheduled(controller()));
  EXPECT_FALSE(last().contains("resetTarget")) << "a history retry waits";
  state->history.fault = sim::HistoryFault::none;
  advance(5s);
  ASSERT_TRUE(last().contains("resetTarget"));

  send(resetNow());
  for (int i = 0; i < 4; ++i) advance(kPoll);
  send({{"action", "disconnect"}});
  send({{"action", "refresh"}});
  unplug();

  int analysing = 0, waiting = 0, inactive = 0;
  for (const std::string& text : page_->renders) {
    json render = json::parse(text);
    if (render["analyzing"] || render["resetWaiting"]) {
      analysing += render["analyzing"].get<bool>();
      waiting += render["resetWaiting"].get<bool>();
      EXPECT_FALSE(render.contains("resetTarget")) << text;
    }
    if (!render["connected"]) {
      ++inactive;
      for (const char* key : {"estimatedUses", "sessionStartedAt", "serial", "sample"}) {
        EXPECT_FALSE(render.contains(key)) << key << " in " << text;
      }
    }
  }
  EXPECT_GT(analysing, 0);
  EXPECT_GT(waiting, 0);
  EXPECT_GT(inactive, 2);
}

TEST_F(PinnedRulesTest, FirstLoadWaitsForTheBatteryEstimate) {
  holdBattery_ = true;
  loaded();
  plugIn(fullDevice(0));
  usb_->attach(kPort, SimulatedUsbBus::ilumaOne(kSerial));
  ASSERT_TRUE(queue_.runUntil([this] {
    return !model().busy() && !page_->renders.empty() && last().contains("sample") &&
           last().contains("history") && !last()["readingHistory"].get<bool>();
  })) << "the status and history reads end";
  queue_.runPending();
  EXPECT_TRUE(last()["initialReading"].get<bool>()) << "the estimate is still on its way";

  holdBattery_ = false;
  settle();
  EXPECT_FALSE(last()["initialReading"].get<bool>());
  EXPECT_EQ(last()["estimatedUses"], 12);
}

// --- Rules that unfold over time or over more than one device.
enum class Rule {
  resetWaitsFifteenSeconds,
  historyIsCheckedAgainAfterTheFirstLoad,
  secondDeviceKeepsTheServedOne,
  archiveErrorIsRetried,
};

class RuleTest : public PinnedRulesTest, public ::testing::WithParamInterface<Rule> {};

TEST_P(RuleTest, Holds) {
  loaded();
  auto state = connected(fullDevice(2));
  switch (GetParam()) {
    case Rule::resetWaitsFifteenSeconds:
      send(resetNow());
      ASSERT_TRUE(model().updated().has_value()) << "read again at once after the reset";
      advance(Controller::kResetRecoveryDelay - 1ms);
      EXPECT_TRUE(last()["resetWaiting"].get<bool>());
      advance(1ms);
      EXPECT_FALSE(last()["resetWaiting"].get<bool>());
      break;
    case Rule::historyIsCheckedAgainAfterTheFirstLoad:
      state->history.entries[{0, 2}] = analysableEntry(2);
      state->history.records[0].end = 3;
      advance(kPoll);
      EXPECT_EQ(last()["history"].size(), 3u);
      EXPECT_EQ(last()["observations"].size(), 3u);
      break;
    case Rule::secondDeviceKeepsTheServedOne: {
      json served = last();
      usb_->attach("1-2", SimulatedUsbBus::ilumaOne("SIM0000000002"));
      settle();
      EXPECT_EQ(last()["resetTarget"], served["resetTarget"]) << "same connectionId";
      EXPECT_EQ(last()["serial"], served["serial"]);
      EXPECT_GE(last()["recent"].size(), served["recent"].size());
      EXPECT_EQ(last()["estimatedUses"], served["estimatedUses"]);
      break;
    }
    case Rule::archiveErrorIsRetried: {
      std::ifstream file(archiveFile(), std::ios::binary);
      std::string sealed{std::istreambuf_iterator<char>(file), {}};
      file.close();
      auto modified = std::filesystem::last_write_time(archiveFile());
      std::ofstream(archiveFile(), std::ios::trunc) << "not a sealed file";
      controller().publish();
      ASSERT_TRUE(last().contains("historyError"));
      // The very file as it was, down to its size, inode and time: the same revision.
      std::ofstream(archiveFile(), std::ios::trunc | std::ios::binary) << sealed;
      std::filesystem::last_write_time(archiveFile(), modified);
      controller().publish();
      EXPECT_FALSE(last().contains("historyError")) << "the same archive read again";
      break;
    }
  }
}

std::string ruleName(const ::testing::TestParamInfo<Rule>& info) {
  static const char* const names[] = {"ResetWaitsFifteenSeconds",
                                      "HistoryIsCheckedAgainAfterTheFirstLoad",
                                      "SecondDeviceKeepsTheServedOne", "ArchiveErrorIsRetried"};
  return names[static_cast<int>(info.param)];
}

INSTANTIATE_TEST_SUITE_P(Rules, RuleTest,
                         ::testing::Values(Rule::resetWaitsFifteenSeconds,
                                           Rule::historyIsCheckedAgainAfterTheFirstLoad,
                                           Rule::secondDeviceKeepsTheServedOne,
                                           Rule::archiveErrorIsRetried),
                         ruleName);

}  // namespace
}  // namespace nimbra::testing
