#include <atomic>
#include <fstream>
#include <thread>

#include <gtest/gtest.h>

#include "app/flow_fixture.h"

namespace nimbra::testing {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;

constexpr auto kPoll = Controller::kDevicePollInterval;

// Row B of 24 bytes with the calibration value in bytes 2-3.
std::vector<uint8_t> calibrationRow(uint16_t calibration) {
  std::vector<uint8_t> row(24, 0);
  row[2] = calibration & 0xff;
  row[3] = calibration >> 8;
  return row;
}

sim::SimulatedDeviceState withBattery(std::vector<uint8_t> a, uint16_t calibration = 100) {
  sim::SimulatedDeviceState device = sim::ilumaOne(ControllerTest::kSerial);
  device.readings[{0, 385}] = std::move(a);
  device.readings[{0, 128}] = calibrationRow(calibration);
  return device;
}

class SamplesTest : public FlowTest {
 protected:
  size_t deviceEvents() {
    size_t count = 0;
    for (const Telemetry::Event& event : telemetry_->pending()) count += event.kind == "device";
    return count;
  }
  json settingToggle() {
    bool light = last()["settings"].value("light", false);
    return {{"action", "setting"}, {"key", "light"}, {"value", !light}};
  }
};

TEST_F(SamplesTest, ValidReadingAsksForTheEstimateOncePerCharge) {
  loaded();
  auto state = connected(withBattery({0x6E, 0x0F, 0x57, 0x19}));
  std::vector<json> requests = batteryRequests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0], (json{{"schemaVersion", 1},
                               {"brand", "iqos"},
                               {"model", "m0033"},
                               {"charge", 87},
                               {"adc", 3950},
                               {"calibration", 100}}));
  EXPECT_EQ(last()["estimatedUses"], 12);

  advance(kPoll);
  EXPECT_EQ(batteryRequests().size(), 1u) << "same charge: no new request";
  state->readings[{0, 385}][2] = 86;
  advance(kPoll);
  EXPECT_EQ(batteryRequests().size(), 2u);
}

TEST_F(SamplesTest, FailedEstimateIsAskedAgainOnTheNextSample) {
  batteryStatus_ = 500;
  loaded();
  connected(withBattery({0x6E, 0x0F, 0x57, 0x19}));
  EXPECT_EQ(batteryRequests().size(), 1u);
  EXPECT_FALSE(last().contains("estimatedUses"));
  batteryStatus_ = 200;
  advance(kPoll);
  EXPECT_EQ(batteryRequests().size(), 2u);
  EXPECT_EQ(last()["estimatedUses"], 12);
}

TEST_F(SamplesTest, ShortBatteryRowGivesNoBatteryValuesAndNoRequest) {
  loaded();
  connected(withBattery({0x6E, 0x0F, 0x57}));
  EXPECT_FALSE(last()["sample"].contains("battery"));
  EXPECT_FALSE(last()["sample"].contains("voltageADC"));
  EXPECT_FALSE(last()["sample"].contains("temperatureRaw"));
  EXPECT_TRUE(batteryRequests().empty());
}

TEST_F(SamplesTest, ChargeAboveHundredKeepsVoltageAndTemperature) {
  loaded();
  connected(withBattery({0x6E, 0x0F, 101, 0x19}));
  EXPECT_FALSE(last()["sample"].contains("battery"));
  EXPECT_EQ(last()["sample"]["voltageADC"], 3950);
  EXPECT_EQ(last()["sample"]["temperatureRaw"], 25);
  EXPECT_TRUE(batteryRequests().empty());
}

class CalibrationTest : public SamplesTest, public ::testing::WithParamInterface<uint16_t> {};

TEST_P(CalibrationTest, OutOfRangeCalibrationAsksForNothing) {
  loaded();
  connected(withBattery({0x6E, 0x0F, 0x57, 0x19}, GetParam()));
  EXPECT_EQ(last()["sample"]["battery"], 87);
  EXPECT_TRUE(batteryRequests().empty());
}

INSTANTIATE_TEST_SUITE_P(ZeroAnd256, CalibrationTest, ::testing::Values(0, 256));

TEST_F(SamplesTest, SameUpdateTimeFoldsNothing) {
  loaded();
  connected();
  size_t recent = last()["recent"].size();
  size_t events = deviceEvents();
  controller().publish();
  settle();
  EXPECT_EQ(last()["recent"].size(), recent);
  EXPECT_EQ(deviceEvents(), events);
}

TEST_F(SamplesTest, SameDeviceRecordIsSentAgainOnlyAfterSixtySeconds) {
  loaded();
  connected();
  ASSERT_EQ(deviceEvents(), 1u);
  EXPECT_EQ(telemetry_->pending().back().device->serial, kSerial);
  EXPECT_EQ(telemetry_->pending().back().device->firmware, "2.4.1");
  clock_.advance(59s);
  ControllerPeer::reportDevice(controller());
  EXPECT_EQ(deviceEvents(), 1u);
  clock_.advance(1s);
  ControllerPeer::reportDevice(controller());
  EXPECT_EQ(deviceEvents(), 2u);
  EXPECT_EQ(ControllerPeer::uploadedDeviceAt(controller()), clock_.now());
}

TEST_F(SamplesTest, ChangedDeviceRecordIsSentAtOnceAndKeepsMissingFields) {
  loaded();
  sim::SimulatedDeviceState device = sim::ilumaOne(kSerial);
  device.readings[{1, 134}] = std::vector<uint8_t>(24, 0);
  device.readings[{1, 134}][0] = 7;    // sticks
  device.readings[{1, 134}][10] = 40;  // puffs
  auto state = connected(device);
  ASSERT_EQ(deviceEvents(), 1u);
  EXPECT_EQ(telemetry_->pending().back().device->sticks, 7);
  EXPECT_EQ(telemetry_->pending().back().device->puffs, 40);
  state->readings.erase({0, 0});     // the firmware row fails from now on
  state->readings[{1, 134}][0] = 8;  // one more stick
  advance(kPoll);
  ASSERT_EQ(deviceEvents(), 2u) << "a changed record does not wait 60 s";
  EXPECT_EQ(telemetry_->pending().back().device->sticks, 8);
  EXPECT_EQ(telemetry_->pending().back().device->firmware, "2.4.1") << "taken from the last one";
}

TEST_F(SamplesTest, StoreThatFailsKeepsTheRecentListAndSaysSo) {
  loaded();
  connected();
  size_t recent = last()["recent"].size();
  ASSERT_GE(recent, 1u);
  // The device's sample directory becomes a plain file, so the next append cannot write.
  std::filesystem::path directory;
  for (const auto& item : std::filesystem::recursive_directory_iterator(base_)) {
    if (item.is_directory() && item.path().parent_path().filename() == DeviceStore::kRootName) {
      directory = item.path();
    }
  }
  ASSERT_FALSE(directory.empty());
  std::filesystem::remove_all(directory);
  std::ofstream(directory) << "x";
  advance(kPoll);
  EXPECT_EQ(last()["storageError"], "本次采样未能保存到本机数据库。");
  EXPECT_EQ(last()["recent"].size(), recent);
}

TEST_F(SamplesTest, ConfirmedSettingWriteCompletesItsRecord) {
  loaded();
  connected();
  json toggle = settingToggle();
  send(toggle);
  ASSERT_EQ(last()["settingRecords"].size(), 1u);
  json record = last()["settingRecords"][0];
  EXPECT_EQ(record["result"], "confirmed");
  EXPECT_EQ(record["after"], (json{{"light", toggle["value"]}}));
}

TEST_F(SamplesTest, WriteThatReadsNothingBackStaysUnconfirmed) {
  loaded();
  auto state = connected();
  state->fault = sim::ReplyFault::drop;
  send(settingToggle());
  ASSERT_EQ(last()["settingRecords"].size(), 1u);
  EXPECT_EQ(last()["settingRecords"][0]["result"], "unconfirmed");
  EXPECT_FALSE(last()["settingRecords"][0].contains("after"));
}

TEST_F(SamplesTest, AcknowledgedResetIsCompletedWithTheSettingsReadAfterReconnection) {
  loaded();
  auto state = connected(resettable());
  send({{"action", "reset"}, {"target", controller().connectionId().text()}});
  EXPECT_EQ(last()["resetStatus"], "acknowledged");
  EXPECT_EQ(last()["settingRecords"][0]["result"], "confirmed");
  EXPECT_FALSE(last()["settingRecords"][0].contains("after"));
  state->settings.light = 0x1E;  // what the device holds after its reset
  for (int i = 0; i < 4; ++i) advance(kPoll);
  EXPECT_FALSE(last()["resetWaiting"].get<bool>());
  json record = last()["settingRecords"][0];
  EXPECT_EQ(record["result"], "confirmed");
  EXPECT_EQ(record["after"], last()["settings"]);
}

TEST_F(SamplesTest, UnacknowledgedResetEndsReconnected) {
  loaded();
  sim::SimulatedDeviceState device = resettable();
  device.reset.replyPayloads[1] = {0x02, 0x00, 0x00, 0x00};
  connected(device);
  send({{"action", "reset"}, {"target", controller().connectionId().text()}});
  EXPECT_EQ(last()["resetStatus"], "unconfirmed");
  for (int i = 0; i < 4; ++i) advance(kPoll);
  EXPECT_EQ(last()["settingRecords"][0]["result"], "reconnected");
}

// The device drops off the bus as it takes the reset. As on real hardware, where the failed
// transfer takes far longer than the kernel's removal event, the host hears of the departure
// before the reset's transfer returns, so the reset's completion never reaches the controller:
// only a read after the device came back can end the wait.
class ResetLeavingBusTest : public SamplesTest {
 protected:
  json startReset() {
    sim::SimulatedDeviceState device = resettable();
    device.reset.leaveBus = [this] {
      usb_->detach(kPort);
      left_ = true;
      while (!released_) std::this_thread::yield();
    };
    connected(device);
    controller().handleAction(
        {{"action", "reset"}, {"target", controller().connectionId().text()}});
    for (int i = 0; i < 100000 && !left_; ++i) std::this_thread::yield();
    EXPECT_TRUE(left_) << "the reset never reached the device";
    queue_.runPending();  // the departure, before the reset's transfer returns
    released_ = true;
    unplug();
    EXPECT_EQ(last()["resetStatus"], "running");
    EXPECT_TRUE(last()["resetWaiting"].get<bool>());
    return last()["settingRecords"][0];
  }
  sim::SimulatedDeviceState other() {
    sim::SimulatedDeviceState device = resettable();
    device.serial = "SIM0000000002";
    return device;
  }

  std::atomic<bool> left_ = false;
  std::atomic<bool> released_ = false;
};

TEST_F(ResetLeavingBusTest, CompletionThatNeverComesTurnsUnconfirmedAtRecovery) {
  loaded();
  startReset();
  advance(kPoll);
  plug(resettable());
  for (int i = 0; i < 3; ++i) advance(kPoll);
  EXPECT_FALSE(last()["resetWaiting"].get<bool>());
  EXPECT_EQ(last()["resetStatus"], "unconfirmed");
  json record = last()["settingRecords"][0];
  EXPECT_EQ(record["result"], "reconnected");
  EXPECT_EQ(record["after"], last()["settings"]);
}

TEST_F(ResetLeavingBusTest, WaitForADeviceThatNeverComesBackEndsUnconfirmed) {
  loaded();
  json started = startReset();
  advance(Controller::kResetRecoveryLimit - std::chrono::seconds(1));
  EXPECT_TRUE(last()["resetWaiting"].get<bool>()) << "the wait is generous";
  advance(std::chrono::seconds(1));
  EXPECT_FALSE(last()["resetWaiting"].get<bool>());
  EXPECT_EQ(last()["resetStatus"], "unconfirmed");
  ASSERT_EQ(last()["settingRecords"].size(), 1u);
  EXPECT_EQ(last()["settingRecords"][0], started) << "kept unconfirmed, without after";

  // The device coming back later is served again and does not complete the record twice.
  connected(resettable());
  send(settingToggle());
  json records = last()["settingRecords"];
  ASSERT_EQ(records.size(), 2u) << "actions pass the gate again";
  EXPECT_EQ(records[1], started);
}

TEST_F(ResetLeavingBusTest, AnotherDeviceEndsTheWait) {
  loaded();
  json started = startReset();
  connected(other());
  advance(Controller::kResetRecoveryDelay);
  EXPECT_FALSE(last()["resetWaiting"].get<bool>());
  EXPECT_FALSE(last().contains("resetStatus"));
  EXPECT_TRUE(last().contains("resetTarget"));
  unplug();
  connected(resettable());
  EXPECT_EQ(last()["settingRecords"][0], started);
}

TEST_F(SamplesTest, ResetIsOfferedOnlyForItsFirmwareAndEngine) {
  loaded();
  connected(resettable());
  EXPECT_TRUE(last().contains("resetTarget"));
  unplug();
  sim::SimulatedDeviceState device = resettable();
  device.readings[{0, 0}][4] = 2;  // firmware 150.6.2
  connected(device);
  EXPECT_FALSE(last().contains("resetTarget"));
}

}  // namespace
}  // namespace nimbra::testing
