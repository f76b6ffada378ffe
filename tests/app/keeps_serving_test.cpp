#include <chrono>

#include <gtest/gtest.h>

#include "app/flow_fixture.h"

// The controller keeps serving the device after reads that fail completely, after a module
// reset whose modules take a moment to reboot, and after a connection sequence that gives up.

namespace nimbra::testing {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;

constexpr auto kPoll = Controller::kDevicePollInterval;
constexpr auto kRetry = Controller::kConnectionRetryDelay;

sim::SimulatedDeviceState silentDevice() {
  sim::SimulatedDeviceState device = sim::ilumaOne(ControllerTest::kSerial);
  device.fault = sim::ReplyFault::drop;
  return device;
}

class KeepsServingTest : public FlowTest {
 protected:
  // A device offered module resets whose modules answer nothing for 300 ms of the test's clock
  // after each reset, staying on the bus.
  sim::SimulatedDeviceState rebooting() {
    sim::SimulatedDeviceState device = resettable();
    device.reset.rebootTime = 300ms;
    device.clock = [this] {
      return std::chrono::steady_clock::time_point(
          std::chrono::duration_cast<std::chrono::steady_clock::duration>(
              clock_.now().time_since_epoch()));
    };
    return device;
  }

  sim::SimulatedDeviceState inSession() {
    sim::SimulatedDeviceState device = sim::ilumaOne(kSerial);
    device.readings[{1, 129}] = {0x05, 0x42, 0xff, 0x7f};
    return device;
  }
};

TEST_F(KeepsServingTest, ResetWhoseModulesRebootIsConfirmedWithTheSettingsReadAfterwards) {
  loaded();
  connected(rebooting());
  send({{"action", "reset"}, {"target", controller().connectionId().text()}});
  ASSERT_EQ(last()["resetStatus"], "acknowledged");
  ASSERT_FALSE(model().updated()) << "the read right after the reset met rebooting modules";

  for (int i = 0; i < 4; ++i) advance(kPoll);  // past the 15 s wait
  EXPECT_FALSE(last()["resetWaiting"].get<bool>());
  json record = last()["settingRecords"][0];
  EXPECT_EQ(record["result"], "confirmed");
  EXPECT_EQ(record["after"], last()["settings"]);
  EXPECT_TRUE(last().contains("resetTarget")) << "the device is served again";
}

TEST_F(KeepsServingTest, FailedStatusReadWhileAHistoryRetryWaitsEndsTheFirstLoad) {
  loaded();
  sim::SimulatedDeviceState device = withHistory(3);
  device.history.fault = sim::HistoryFault::deviceFailure;
  auto state = plug(device);
  ASSERT_TRUE(ControllerPeer::retryScheduled(controller()));
  state->fault = sim::ReplyFault::drop;  // switched off: the next status read fails completely
  advance(kPoll);
  advance(kPoll);
  EXPECT_FALSE(last()["initialReading"].get<bool>()) << "the load cannot go on";
  EXPECT_TRUE(last()["connectionFailed"].get<bool>());

  state->fault = sim::ReplyFault::none;
  state->history.fault = sim::HistoryFault::none;
  send({{"action", "refresh"}});  // what the page asks the user to do
  EXPECT_FALSE(last()["initialReading"].get<bool>());
  EXPECT_FALSE(last()["connectionFailed"].get<bool>());
  EXPECT_EQ(last()["history"].size(), 3u);
}

TEST_F(KeepsServingTest, OneFailedBackgroundReadDoesNotStopPolling) {
  loaded();
  auto state = connected();
  size_t recent = last()["recent"].size();
  state->fault = sim::ReplyFault::drop;
  advance(kPoll);
  ASSERT_FALSE(model().updated()) << "the background read failed completely";
  state->fault = sim::ReplyFault::none;
  advance(kPoll);
  EXPECT_TRUE(model().updated().has_value());
  EXPECT_EQ(last()["recent"].size(), recent + 1) << "the next poll read and stored a sample";
  EXPECT_TRUE(last().contains("sample"));
}

// The chosen behaviour: a sequence that gives up hands the device back to the poll timer
// (model automatic), which reads it again only if this connection once had a good read.
TEST_F(KeepsServingTest, SessionOutlivesAFailedSequenceOnlyUntilTheDeviceAnswers) {
  loaded();
  auto state = connected(inSession());
  ASSERT_TRUE(controller().sessionStartedAt().has_value());
  state->fault = sim::ReplyFault::drop;
  usb_->attach("1-2", SimulatedUsbBus::ilumaOne("SIM0000000002"));  // a new sequence
  settle();
  for (int i = 0; i < 4; ++i) advance(kRetry);
  ASSERT_FALSE(last().contains("connectionAttempt")) << "five failed reads end the sequence";
  EXPECT_TRUE(model().automatic());

  state->fault = sim::ReplyFault::none;
  state->readings[{1, 129}] = {0x08, 0x40, 0xff, 0x7f};  // the session ended
  advance(kPoll);
  EXPECT_FALSE(controller().sessionStartedAt().has_value());
  EXPECT_FALSE(controller().hasLiveStatusTimer());
  EXPECT_TRUE(updater_.canInstall());
}

TEST_F(KeepsServingTest, WithoutAMonitorAFailedSequenceEndsAndTheDeviceIsLookedForAgain) {
  plugIn(silentDevice());
  loaded(/*withMonitor=*/false);
  ASSERT_TRUE(last()["connectionFailed"].get<bool>());
  bus_->removeAll();
  send({{"action", "refresh"}});
  ASSERT_EQ(last()["connectionAttempt"], 1);
  for (int i = 0; i < 4; ++i) advance(kRetry);
  EXPECT_FALSE(last().contains("connectionAttempt")) << "five reads found nothing";

  plugIn(sim::ilumaOne(kSerial));
  advance(kPoll);
  EXPECT_TRUE(last()["connected"].get<bool>());
  EXPECT_TRUE(last().contains("sample"));
}

}  // namespace
}  // namespace nimbra::testing
