// The demo device's life on fake time: charging, a use session and its status codes, the
// history growing, unplugging and plugging in (also through the control file), and a device
// that still answers over the HID backend while its life moves on.

#include "sim/demo_device.h"

#include <array>
#include <filesystem>
#include <fstream>
#include <thread>

#include <gtest/gtest.h>

#include "device/frames.h"
#include "devicelink/backend_registry.h"
#include "devicelink/iq.h"
#include "support/temporary_folder.h"

namespace nimbra::sim {
namespace {

using std::chrono::seconds;

constexpr uint16_t kVendorId = 10073;
constexpr uint16_t kProductId = 3;

class DemoDeviceTest : public ::testing::Test {
 protected:
  // Lets `by` pass in ticks of a quarter second, as the program's timer would.
  void live(seconds by) {
    for (auto end = now_ + by; now_ < end;) {
      now_ += std::chrono::milliseconds(250);
      device_.tick(now_);
    }
  }

  Date now_ = Date{} + std::chrono::hours(24 * 20000);
  DemoPacing pacing_;
  DemoDevice device_{now_, pacing_};
};

TEST_F(DemoDeviceTest, ChargesWhilePluggedInAndStartsPluggedIn) {
  const DemoSnapshot start = device_.snapshot();
  EXPECT_TRUE(start.plugged);
  EXPECT_EQ(device_.bus()->attached().size(), 1u);
  EXPECT_EQ(device_.makeBackend()->enumerate(kVendorId, kProductId).at(0).serial,
            DemoDevice::kSerial);
  EXPECT_EQ(start.liveStatus, DemoDevice::kIdleCode);

  live(seconds(30));
  const DemoSnapshot later = device_.snapshot();
  EXPECT_EQ(later.charge, start.charge + 1);
  EXPECT_GT(later.voltageRaw, start.voltageRaw);
}

TEST_F(DemoDeviceTest, SessionShowsItsCodesDrainsTheBatteryAndAddsAHistoryEntry) {
  live(pacing_.firstSessionAfter);
  const DemoSnapshot started = device_.snapshot();
  ASSERT_TRUE(started.inSession);
  EXPECT_EQ(started.liveStatus, "0542ff7f");

  live(pacing_.heating);
  EXPECT_EQ(device_.snapshot().liveStatus, "0546ff7f");

  live(pacing_.sessionLength - pacing_.heating);
  const DemoSnapshot ended = device_.snapshot();
  EXPECT_FALSE(ended.inSession);
  EXPECT_EQ(ended.liveStatus, "0840ff7f");
  EXPECT_EQ(ended.charge, started.charge - 10);  // 1 % per 6 s for 60 s, no charging in use
  EXPECT_GT(ended.temperatureRaw, started.temperatureRaw);
  EXPECT_EQ(ended.processCount, started.processCount + 1);
  EXPECT_EQ(ended.puffCount, started.puffCount + 10);  // at 15, 20, ... 60 s
  EXPECT_EQ(ended.catalog[0].end, started.catalog[0].end + 1);
  EXPECT_EQ(ended.catalog[1].end, started.catalog[1].end);

  live(pacing_.endedCodeFor);
  EXPECT_EQ(device_.snapshot().liveStatus, DemoDevice::kIdleCode);
  // The next one comes on schedule.
  live(pacing_.sessionEvery - pacing_.sessionLength - pacing_.endedCodeFor);
  EXPECT_TRUE(device_.snapshot().inSession);
}

TEST_F(DemoDeviceTest, AFullChargeIsRecordedAndUnpluggedItNeitherChargesNorShows) {
  pacing_.firstSessionAfter = seconds(100000);  // no use, only charging
  DemoDevice device(now_, pacing_);
  device.setPlugged(false);
  EXPECT_TRUE(device.bus()->attached().empty());
  EXPECT_TRUE(device.makeBackend()->enumerate(kVendorId, kProductId).empty());
  const int charge = device.snapshot().charge;
  now_ += seconds(600);
  device.tick(now_);
  EXPECT_EQ(device.snapshot().charge, charge);

  device.setPlugged(true);
  EXPECT_EQ(device.bus()->attached().size(), 1u);
  now_ += seconds((100 - charge) * 20 + 60);
  device.tick(now_);
  const DemoSnapshot full = device.snapshot();
  EXPECT_EQ(full.charge, 100);
  EXPECT_EQ(full.catalog[1].end, 7u);
}

TEST_F(DemoDeviceTest, SettingsSurviveUnpluggingAndTheControlFileDrivesTheCable) {
  testing::TemporaryFolder dir("nimbra-demo");
  const auto control = dir.path() / "control";
  device_.setControlFile(control);
  device_.withState([](SimulatedDeviceState& state) { state.settings.light = 0x1E; });

  std::ofstream(control) << "unplug\n";
  live(seconds(1));
  EXPECT_FALSE(device_.snapshot().plugged);
  EXPECT_FALSE(std::filesystem::exists(control)) << "a taken command is removed";
  std::ofstream(control) << "plug";
  live(seconds(1));
  EXPECT_TRUE(device_.snapshot().plugged);
  EXPECT_EQ(device_.snapshot().settings.light, 0x1E);

  std::ofstream(control) << "session";
  live(seconds(1));
  EXPECT_TRUE(device_.snapshot().inSession);
  std::ofstream(control) << "manual";
  live(pacing_.sessionEvery * 2);
  EXPECT_FALSE(device_.snapshot().inSession) << "a session came by itself after \"manual\"";
  std::ofstream(control) << "session";
  live(seconds(1));
  EXPECT_TRUE(device_.snapshot().inSession);
  std::ofstream(control) << "explode";
  live(seconds(1));
  EXPECT_FALSE(std::filesystem::exists(control));
}

TEST_F(DemoDeviceTest, TheControlFileRunsAChargeCycle) {
  testing::TemporaryFolder dir("nimbra-demo");
  const auto control = dir.path() / "control";
  device_.setControlFile(control);
  for (auto [command, charge] :
       {std::pair{"full", 100}, std::pair{"drain", DemoDevice::kDrainedCharge},
        std::pair{"full", 100}}) {
    std::ofstream(control) << command;
    live(seconds(1));
    EXPECT_EQ(device_.snapshot().charge, charge) << command;
  }
}

TEST_F(DemoDeviceTest, BackendAnswersTheLiveStatusAsItChanges) {
  auto backend = device_.makeBackend();
  auto opened = backend->open(backend->enumerate(kVendorId, kProductId).at(0).path);
  ASSERT_TRUE(opened.connection);
  auto liveStatus = [&] {
    std::array<uint8_t, kHidReportSize> report{};
    const std::vector<uint8_t> frame = makeFrame(129, 1, {}, false);
    std::copy(frame.begin(), frame.end(), report.begin());
    EXPECT_EQ(opened.connection->write(report), 0);
    std::array<uint8_t, kHidReportSize> reply{};
    EXPECT_GT(opened.connection->read(reply, std::chrono::milliseconds(500)), 0);
    return std::vector<uint8_t>(reply.begin() + 5, reply.begin() + 9);
  };
  EXPECT_EQ(liveStatus(), (std::vector<uint8_t>{0x03, 0x00, 0x00, 0x00}));
  device_.startSession();
  EXPECT_EQ(liveStatus(), (std::vector<uint8_t>{0x05, 0x42, 0xff, 0x7f}));
  device_.setPlugged(false);
  std::array<uint8_t, kHidReportSize> report{};
  EXPECT_LT(opened.connection->write(report), 0) << "an unplugged device takes nothing";
}

// A device ticked only at its next change (and on the cable's commands) lives the same life,
// second by second, as one ticked four times a second: charging, sessions, their cooling.
TEST_F(DemoDeviceTest, TickingOnlyAtItsNextChangeLivesTheSameLife) {
  DemoDevice sparse{now_, pacing_};
  std::optional<Date> due = sparse.nextChangeAt();
  int sparseTicks = 0;
  for (int second = 1; second <= 900; ++second) {
    if (second == 100 || second == 400) {  // the cable pulled, then put back
      sparse.tick(now_);  // as a control command's tick does: the seconds since, first
      device_.setPlugged(second == 400);
      sparse.setPlugged(second == 400);
      due = sparse.nextChangeAt();
    }
    live(seconds(1));
    while (due && *due <= now_) {
      sparse.tick(*due);
      ++sparseTicks;
      due = sparse.nextChangeAt();
    }
    ASSERT_EQ(demoSnapshotJson(sparse.snapshot()), demoSnapshotJson(device_.snapshot()))
        << "second " << second;
  }
  EXPECT_LT(sparseTicks, 900) << "it ticked every second anyway";

  device_.stopAutomaticSessions();
  live(seconds(2100));  // charged full from anywhere, cooled down, no session to come
  EXPECT_FALSE(device_.nextChangeAt()) << "an idle full device still has something due";
}

TEST_F(DemoDeviceTest, DeviceLinkReadsWhileTheMainThreadTicks) {
  iq_install_backend(device_.makeBackend());
  int answered = 0;
  uint8_t catalog[34] = {};
  std::thread connection([&] {
    if (iq_open(DemoDevice::kSerial) != 0) return;
    const std::vector<uint8_t> frame = makeFrame(385, 0, {}, false);
    for (int i = 0; i < 100; ++i) {
      uint8_t reply[kHidReportSize] = {};
      if (iq_exchange(frame.data(), static_cast<uint32_t>(frame.size()), reply) > 0) ++answered;
    }
    iq_history_catalog(catalog);
    iq_close();
  });
  for (int i = 0; i < 400; ++i) live(seconds(1));  // sessions come and go meanwhile
  connection.join();
  iq_install_backend(nullptr);
  EXPECT_EQ(answered, 100);
  EXPECT_EQ(catalog[0], 0x01) << "the catalogue was read";
}

}  // namespace
}  // namespace nimbra::sim
