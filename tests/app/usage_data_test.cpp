// The "Send usage data" switch as the page uses it: accepted in every state, kept across
// starts, applied to telemetry at once; and the first-start notice that points to it.

#include "app/usage_data.h"

#include <gtest/gtest.h>

#include "app/controller_fixture.h"

namespace nimbra::testing {
namespace {

using nlohmann::json;

class UsageDataTest : public ControllerTest {};

TEST_F(UsageDataTest, NoticeShowsUntilClosedOrTheSwitchIsUsed) {
  struct Case {
    const char* name;
    json action;
    bool enabledAfter;
  };
  const Case cases[] = {
      {"closed", {{"action", "usage-data-notice"}}, true},
      {"switched off", {{"action", "usage-data"}, {"enabled", false}}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    for (const char* key : {UsageData::kEnabledKey, UsageData::kNoticeSeenKey}) {
      std::filesystem::remove(*LocalSettings(storage()).fileFor(key));
    }
    loaded();
    EXPECT_EQ(last()["usageData"], (json{{"enabled", true}, {"notice", true}}));
    send(c.action);
    EXPECT_EQ(last()["usageData"], (json{{"enabled", c.enabledAfter}, {"notice", false}}));
    EXPECT_EQ(UsageData::load(LocalSettings(storage())),
              (UsageData::State{.enabled = c.enabledAfter, .notice = false}));
  }
}

// While the device's first load runs most actions wait; the user's say over usage data does
// not. Off, telemetry drops what it holds at once and records none of the device's reads.
TEST_F(UsageDataTest, SwitchedOffDuringTheFirstLoadStopsTelemetryAndStaysOffAfterARestart) {
  loaded();
  gate_->setOpen(false);
  sim::SimulatedDeviceState device = sim::ilumaOne(kSerial);
  std::string serial = device.serial;
  plugIn(std::move(device));
  usb_->attach(kPort, SimulatedUsbBus::ilumaOne(serial));
  queue_.runPending();
  ASSERT_TRUE(model().busy());
  ASSERT_TRUE(telemetry_->record("module", "home", std::nullopt, clock_.now()));

  controller().handleAction({{"action", "usage-data"}, {"enabled", false}});
  EXPECT_FALSE(telemetry_->enabled());
  EXPECT_TRUE(telemetry_->pending().empty());
  gate_->setOpen(true);
  settle();
  EXPECT_TRUE(last().contains("sample")) << "the device was read";
  EXPECT_TRUE(telemetry_->pending().empty()) << "no device record while off";

  // A new run: the controller applies the stored choice to telemetry before anything else.
  controller_.reset();
  telemetry_->setEnabled(true);
  loaded();
  EXPECT_FALSE(telemetry_->enabled());
  EXPECT_EQ(last()["usageData"], (json{{"enabled", false}, {"notice", false}}));
}

}  // namespace
}  // namespace nimbra::testing
