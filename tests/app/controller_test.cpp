#include "app/controller.h"

#include <gtest/gtest.h>

#include "app/controller_fixture.h"
#include "app/session_tracking.h"

namespace nimbra::testing {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;

constexpr auto kRetry = Controller::kConnectionRetryDelay;

sim::SimulatedDeviceState silentDevice() {
  sim::SimulatedDeviceState device = sim::ilumaOne(ControllerTest::kSerial);
  device.fault = sim::ReplyFault::drop;
  return device;
}

sim::SimulatedDeviceState inSession() {
  sim::SimulatedDeviceState device = sim::ilumaOne(ControllerTest::kSerial);
  device.readings[{1, 129}] = {0x05, 0x42, 0xff, 0x7f};
  return device;
}

TEST_F(ControllerTest, PluggingInStartsAConnectionReadAtAttemptOne) {
  loaded();
  size_t before = page_->renders.size();
  connected();
  json first = json::parse(page_->renders.at(before));
  EXPECT_EQ(first["connectionAttempt"], 1);
  EXPECT_EQ(first["initialReading"], true);
  EXPECT_EQ(first["connectionFailed"], false);
  saveState("first-reading", page_->renders.at(before));

  EXPECT_FALSE(last().contains("connectionAttempt"));
  EXPECT_EQ(last()["serial"], "SIM0000••••01");
  EXPECT_TRUE(last().contains("sample"));
  EXPECT_TRUE(model().automatic()) << "a good read hands over to the poll timer";
  EXPECT_TRUE(controller().hasDevicePollTimer());
  saveState("connected");
}

TEST_F(ControllerTest, SilentDeviceGetsFiveReadsThreeSecondsApartThenFails) {
  loaded();
  plug(silentDevice());
  EXPECT_EQ(gate_->opens, 1);
  EXPECT_EQ(last()["connectionAttempt"], 1);
  EXPECT_EQ(last()["initialReading"], true);

  advance(kRetry - 1ms);
  EXPECT_EQ(gate_->opens, 1) << "no retry before 3 s";
  advance(1ms);
  EXPECT_EQ(gate_->opens, 2);
  EXPECT_EQ(last()["connectionAttempt"], 2);
  for (int attempt = 3; attempt <= 5; ++attempt) advance(kRetry);
  EXPECT_EQ(gate_->opens, 5);

  EXPECT_EQ(last()["connectionFailed"], true);
  EXPECT_EQ(last()["initialReading"], false);
  EXPECT_FALSE(last().contains("connectionAttempt"));
  saveState("connection-failed");

  advance(kRetry * 3);
  EXPECT_EQ(gate_->opens, 5) << "no sixth read";
}

TEST_F(ControllerTest, RetryOfAnOlderSequenceDoesNothing) {
  loaded();
  plug(silentDevice());  // sequence A fails, its retry is due at 3 s
  advance(1s);
  usb_->attach("1-2", SimulatedUsbBus::ilumaOne("SIM0000000002"));  // sequence B at 1 s
  settle();
  EXPECT_EQ(gate_->opens, 2);
  EXPECT_EQ(last()["connectionAttempt"], 1);

  advance(2s);  // A's retry comes due
  EXPECT_EQ(gate_->opens, 2);
  EXPECT_EQ(last()["connectionAttempt"], 1);
  advance(1s);  // B's retry
  EXPECT_EQ(gate_->opens, 3);
  EXPECT_EQ(last()["connectionAttempt"], 2);
}

TEST_F(ControllerTest, BurstOfModelChangesGivesOneRender) {
  loaded();
  connected();
  size_t before = page_->renders.size();
  model().setAutomatic(false);
  model().setAutomatic(true);
  model().setAutomatic(false);
  EXPECT_EQ(page_->renders.size(), before);
  queue_.runPending();
  EXPECT_EQ(page_->renders.size(), before + 1);
}

TEST_F(ControllerTest, SameSetOfSerialsChangesNothing) {
  loaded();
  connected();
  size_t renders = page_->renders.size();
  int opens = gate_->opens;
  usb_->attach("2-1", SimulatedUsbBus::ilumaOne(kSerial));  // the same serial once more
  settle();
  EXPECT_EQ(page_->renders.size(), renders);
  EXPECT_EQ(gate_->opens, opens);
  EXPECT_TRUE(model().updated().has_value()) << "the device was not forgotten";
}

TEST_F(ControllerTest, NothingRendersOrChangesBeforeThePageIsReady) {
  create();
  plug();
  EXPECT_TRUE(page_->renders.empty());
  EXPECT_TRUE(page_->scripts.empty());
  EXPECT_FALSE(controller().hasDevicePollTimer());
  EXPECT_FALSE(controller().sessionStartedAt().has_value());

  controller().pageFinishedLoading();
  ASSERT_EQ(page_->scripts.size(), 2u);
  EXPECT_EQ(page_->scripts[0],
            R"j(window.configureSharing({"url":"https://updates.nimbra.invalid/download",)j"
            R"j("qr":"data:image/png;base64,AAAA","qrDark":""}))j");
  EXPECT_EQ(page_->scripts[1],
            R"j(window.configureServices({"analysis":true,"updates":"server"}))j");
  EXPECT_EQ(page_->renders.size(), 1u);
  EXPECT_TRUE(controller().hasDevicePollTimer());
  EXPECT_EQ(updater_.healthMarkers,
            (std::vector<std::vector<std::string>>{{"--zuvo-update-health", "job-1"}}));
}

TEST_F(ControllerTest, PageThatIsNotReadyWritesNoHealthMarker) {
  page_->readyAnswer = false;
  loaded();
  EXPECT_EQ(page_->probes, 1);
  EXPECT_TRUE(updater_.healthMarkers.empty());
}

TEST_F(ControllerTest, WithoutAMonitorTheModelReadsAtOnceAndPolls) {
  plugIn(sim::ilumaOne(kSerial));
  create(/*withMonitor=*/false);
  EXPECT_TRUE(model().automatic());
  EXPECT_TRUE(model().updated().has_value());
  controller().pageFinishedLoading();
  settle();
  EXPECT_EQ(last()["cablePresent"], true);
  int opens = gate_->opens;
  advance(Controller::kDevicePollInterval);
  EXPECT_GT(gate_->opens, opens) << "the poll timer reads in the background";
}

TEST_F(ControllerTest, UpdaterMayInstallOnlyWhenIdle) {
  loaded();
  plug(silentDevice());
  EXPECT_FALSE(updater_.canInstall()) << "a connection sequence runs";
  unplug();
  EXPECT_TRUE(updater_.canInstall());
  updater_.current.phase = "checking";
  size_t renders = page_->renders.size();
  updater_.onChange();
  EXPECT_EQ(page_->renders.size(), renders + 1);
  EXPECT_EQ(last()["appUpdate"]["phase"], "checking");
}

TEST_F(ControllerTest, PausedWithTheCableShowsNothingOfTheDevice) {
  loaded();
  connected(inSession());
  ASSERT_TRUE(last().contains("sessionStartedAt"));
  send({{"action", "disconnect"}});
  EXPECT_EQ(last()["connected"], false);
  EXPECT_EQ(last()["cablePresent"], true);
  EXPECT_EQ(last()["message"], "");
  EXPECT_FALSE(last().contains("serial"));
  EXPECT_EQ(last()["settings"], json::object());
  EXPECT_FALSE(last().contains("estimatedUses"));
  EXPECT_FALSE(last().contains("sessionStartedAt"));
  EXPECT_FALSE(last().contains("sample"));
  EXPECT_FALSE(controller().hasDevicePollTimer());
  saveState("paused");
}

TEST_F(ControllerTest, PowerHintReplacesTheModelMessage) {
  loaded();
  sim::SimulatedDeviceState device = sim::ilumaOne(kSerial);
  device.switchedOff = true;
  plug(device);
  for (int i = 0; i < 4; ++i) advance(5s);  // history retries of the refusing device
  ASSERT_TRUE(model().powerHint().has_value());
  EXPECT_EQ(last()["message"], Controller::kPowerHintMessage);
  saveState("power-hint");
}

TEST_F(ControllerTest, UnpluggingClearsTheDevice) {
  loaded();
  connected();
  unplug();
  EXPECT_EQ(last()["connected"], false);
  EXPECT_EQ(last()["cablePresent"], false);
  EXPECT_FALSE(last().contains("serial"));
  EXPECT_EQ(last()["recent"], json::array());
  EXPECT_FALSE(controller().hasDevicePollTimer());
  saveState("no-cable");
}

TEST_F(ControllerTest, UnopenableSampleStoreIsReportedAndReadingGoesOn) {
  std::filesystem::create_directories(base_ / "nimbra-local");
  std::filesystem::permissions(base_ / "nimbra-local", std::filesystem::perms::owner_all);
  std::ofstream(base_ / "nimbra-local" / DeviceStore::kRootName) << "not a directory";
  loaded();
  EXPECT_EQ(last()["storageError"], Controller::kStoreOpenFailedMessage);
  connected();
  EXPECT_TRUE(last().contains("sample"));
  EXPECT_EQ(last()["recent"], json::array()) << "nothing stored without a store";
  saveState("store-unopenable");
}

// Session tracking on its own: start, keep, end, and the 360-second rule.
TEST(SessionTrackerTest, CodesStartKeepAndEndTheSession) {
  SessionTracker session;
  EXPECT_EQ(session.track("0542ff7f", 1000), SessionTracker::Change::started);
  EXPECT_EQ(session.track("0546ff7f", 1010), SessionTracker::Change::none);
  EXPECT_EQ(session.startedAt(), 1000) << "a running code keeps the first start";
  EXPECT_EQ(session.track("0840ff7f", 1020), SessionTracker::Change::ended);
  EXPECT_FALSE(session.startedAt().has_value());
  EXPECT_EQ(session.track("0040ff7f", 1030), SessionTracker::Change::none);
}

TEST(SessionTrackerTest, UnknownCodeEndsASessionOnlyAfter360Seconds) {
  SessionTracker session;
  session.track("0502ff7f", 1000);
  EXPECT_EQ(session.track("03000000", 1360), SessionTracker::Change::none);
  EXPECT_EQ(session.track(std::nullopt, 1360), SessionTracker::Change::none);
  EXPECT_EQ(session.track("03000000", 1361), SessionTracker::Change::ended);

  session.track("0504ff7f", 2000);
  EXPECT_EQ(session.track(std::nullopt, 2361), SessionTracker::Change::ended);
}

TEST_F(ControllerTest, LiveStatusTimerRunsOnlyDuringASessionWithTheCable) {
  loaded();
  auto device = connected(inSession());
  ASSERT_TRUE(controller().sessionStartedAt().has_value());
  EXPECT_TRUE(controller().hasLiveStatusTimer());
  saveState("session");

  device->readings[{1, 129}] = {0x08, 0x40, 0xff, 0x7f};
  advance(Controller::kLiveStatusInterval);
  EXPECT_FALSE(controller().sessionStartedAt().has_value()) << "the live status ended it";
  EXPECT_FALSE(last().contains("sessionStartedAt"));
  EXPECT_FALSE(controller().hasLiveStatusTimer());
}

TEST_F(ControllerTest, LiveStatusTimerStopsWhenPausedOrUnplugged) {
  loaded();
  connected(inSession());
  ASSERT_TRUE(controller().hasLiveStatusTimer());
  send({{"action", "disconnect"}});
  EXPECT_FALSE(controller().hasLiveStatusTimer());

  clock_.advance(1s);  // the next read is a new one
  send({{"action", "refresh"}});
  EXPECT_TRUE(controller().hasLiveStatusTimer()) << "the session came back with the read";
  unplug();
  EXPECT_FALSE(controller().hasLiveStatusTimer());
}

}  // namespace
}  // namespace nimbra::testing
