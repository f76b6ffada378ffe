// A device whose open Linux refuses for lack of permission: the page gets the exact fix, the
// model's message stays as it was, and nimbra tries again by itself when udev applies its
// rules again (a "change" event), when the device is plugged in again, or on the gentle
// retry of the poll timer.

#include "app/device_access.h"

#include <cerrno>

#include <gtest/gtest.h>

#include "app/controller_fixture.h"

namespace nimbra::testing {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;

TEST(DeviceAccessFix, CommandsFollowWhatTheSystemHas) {
  struct Case {
    const char* name;
    bool installed;
    std::optional<std::filesystem::path> shipped;
    std::string first;  // the first command
    size_t count;
  };
  const Case cases[] = {
      {"installed: apply only", true, "/usr/share/nimbra/70-nimbra.rules",
       DeviceAccess::kReloadCommand, 2},
      {"shipped file", false, "/opt/nimbra/share/nimbra/70-nimbra.rules",
       "sudo install -m 644 /opt/nimbra/share/nimbra/70-nimbra.rules /etc/udev/rules.d/", 3},
      {"shipped file in a folder with a space and a quote", false, "/home/a b/it's/70-nimbra.rules",
       R"(sudo install -m 644 '/home/a b/it'\''s/70-nimbra.rules' /etc/udev/rules.d/)", 3},
      {"no file: the rule's line", false, std::nullopt,
       std::string("echo '") + DeviceAccess::kRuleLine +
           "' | sudo tee /etc/udev/rules.d/70-nimbra.rules >/dev/null",
       3},
  };
  for (const Case& c : cases) {
    DeviceAccess::Fix fix = DeviceAccess::fixFor(c.installed, c.shipped);
    EXPECT_EQ(fix.ruleInstalled, c.installed) << c.name;
    ASSERT_EQ(fix.commands.size(), c.count) << c.name;
    EXPECT_EQ(fix.commands.front(), c.first) << c.name;
    EXPECT_EQ(fix.commands.back(), DeviceAccess::kTriggerCommand) << c.name;
  }
}

class DeviceAccessTest : public ControllerTest {
 protected:
  // A device plugged in before the rule: every open refused, the connection sequence spent.
  std::shared_ptr<sim::SimulatedDeviceState> refusedDevice() {
    sim::SimulatedDeviceState device = sim::ilumaOne(kSerial);
    device.openErrno = EACCES;
    auto state = plug(std::move(device));
    for (int attempt = 2; attempt <= ConnectionSequence::kMaxConnectionAttempts; ++attempt) {
      advance(Controller::kConnectionRetryDelay);
    }
    return state;
  }
};

TEST_F(DeviceAccessTest, RefusedOpenShowsTheFixBesideTheModelsMessage) {
  loaded();
  refusedDevice();
  json state = last();
  ASSERT_TRUE(state.contains("accessFix")) << state.dump();
  EXPECT_EQ(state["accessFix"]["commands"].back(), DeviceAccess::kTriggerCommand);
  EXPECT_EQ(state["message"], "无法打开 USB（-1013），请退出官方 IQOS 程序后刷新");
  EXPECT_EQ(state["connectionFailed"], true);
  saveState("access-refused");

  send({{"action", "copy-access-fix"}});
  ASSERT_EQ(sharing_.texts.size(), 1u);
  EXPECT_NE(sharing_.texts[0].find(DeviceAccess::kReloadCommand), std::string::npos);
  EXPECT_EQ(page_->scripts.back(), "window.sharingResult('copy-access-fix', true)");
}

TEST_F(DeviceAccessTest, OtherFailuresShowNoFixAndCopyNothing) {
  loaded();
  sim::SimulatedDeviceState device = sim::ilumaOne(kSerial);
  device.openErrno = EBUSY;
  plug(std::move(device));
  EXPECT_FALSE(last().contains("accessFix"));
  send({{"action", "copy-access-fix"}});
  EXPECT_TRUE(sharing_.texts.empty());
  EXPECT_EQ(page_->scripts.back(), "window.sharingResult('copy-access-fix', false)");
}

// Each way the permission comes back is noticed without the user pressing refresh.
TEST_F(DeviceAccessTest, PermissionGivenBackIsNoticedByItself) {
  struct Case {
    const char* name;
    std::function<void()> noticed;
  };
  const Case cases[] = {
      {"udev change event", [this] { usb_->change(kPort); }},
      {"replugged",
       [this] {
         usb_->detach(kPort);
         settle();
         usb_->attach(kPort, SimulatedUsbBus::ilumaOne(kSerial));
       }},
      {"gentle retry of the poll", [this] { advance(Controller::kDevicePollInterval); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    loaded();
    auto device = refusedDevice();
    const int opensWhileRefused = gate_->opens;
    device->openErrno = 0;
    c.noticed();
    settle();
    EXPECT_GT(gate_->opens, opensWhileRefused);
    EXPECT_EQ(last()["connected"], true);
    EXPECT_FALSE(last().contains("accessFix"));
    EXPECT_TRUE(last().contains("sample")) << "the device was read";
    unplug();
  }
}

// The change event and the poll retry only for a refused device: a device that never
// answered is left alone until refresh or a USB change, as before.
TEST_F(DeviceAccessTest, ChangeEventsAndThePollLeaveOtherFailuresAlone) {
  loaded();
  sim::SimulatedDeviceState device = sim::ilumaOne(kSerial);
  device.fault = sim::ReplyFault::drop;
  plug(std::move(device));
  for (int attempt = 2; attempt <= ConnectionSequence::kMaxConnectionAttempts; ++attempt) {
    advance(Controller::kConnectionRetryDelay);
  }
  const int opens = gate_->opens;
  usb_->change(kPort);
  settle();
  advance(Controller::kDevicePollInterval * 3);
  EXPECT_EQ(gate_->opens, opens);
}

}  // namespace
}  // namespace nimbra::testing
