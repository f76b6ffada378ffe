#include <tuple>

#include <gtest/gtest.h>

#include "app/controller.h"
#include "app/controller_fixture.h"
#include "app/message_bridge.h"

namespace nimbra::testing {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;

sim::SimulatedDeviceState silent() {
  sim::SimulatedDeviceState device = sim::ilumaOne(ControllerTest::kSerial);
  device.fault = sim::ReplyFault::drop;
  return device;
}

class MessagesTest : public ControllerTest {
 protected:
  // What an accepted action leaves behind, all counted at once.
  struct Effects {
    size_t renders, linkCopies, qrCopies, pickers, updateChecks, telemetry, journal;
    bool operator==(const Effects&) const = default;
  };
  Effects effects() {
    return {page_->renders.size(),
            static_cast<size_t>(sharing_.linkCopies),
            sharing_.qrCopies.size(),
            page_->pickers.size(),
            updater_.checks.size(),
            telemetry_->pending().size(),
            controller().screenState().settingRecords.size()};
  }

  json settingToggle() {
    bool light = last()["settings"].value("light", false);
    return {{"action", "setting"}, {"key", "light"}, {"value", !light}};
  }
  json resetNow() { return {{"action", "reset"}, {"target", controller().connectionId().text()}}; }

  // Starts a background read and holds it at the device, so the model stays busy.
  void holdBackgroundRead() {
    gate_->setOpen(false);
    clock_.advance(Controller::kDevicePollInterval);
    queue_.advance(Controller::kDevicePollInterval);
    ASSERT_TRUE(model().busy());
    ASSERT_TRUE(model().backgroundReading());
  }
};

enum class Situation { startupLoading, resetAwaited, paused, noCable, firstLoadUnfinished, ready };

const char* const kActions[] = {"refresh",  "disconnect",   "activity",    "preferences",
                                "history",  "reset",        "setting",     "share-link",
                                "share-qr", "share-system", "check-update"};

// Which actions each situation accepts, in the order of kActions.
bool accepted(Situation situation, const std::string& action) {
  if (action.starts_with("share-") || action == "check-update") return true;
  switch (situation) {
    case Situation::startupLoading:
    case Situation::resetAwaited:
      return false;
    case Situation::paused:
    case Situation::noCable:
      return action != "reset" && action != "setting";
    case Situation::firstLoadUnfinished:
      return action == "refresh";
    case Situation::ready:
      return true;
  }
  return false;
}

class GateTest : public MessagesTest,
                 public ::testing::WithParamInterface<std::tuple<Situation, const char*>> {
 protected:
  void enter(Situation situation) {
    loaded();
    switch (situation) {
      case Situation::startupLoading:
        plug(silent());
        ASSERT_TRUE(last()["initialReading"].get<bool>());
        break;
      case Situation::resetAwaited:
        connected(resettable());
        send(resetNow());
        ASSERT_TRUE(last()["resetWaiting"].get<bool>());
        break;
      case Situation::paused:
        connected(resettable());
        send({{"action", "disconnect"}});
        break;
      case Situation::noCable:
        break;
      case Situation::firstLoadUnfinished:
        plug(silent());
        for (int i = 0; i < 4; ++i) advance(Controller::kConnectionRetryDelay);
        ASSERT_TRUE(last()["connectionFailed"].get<bool>());
        break;
      case Situation::ready:
        connected(resettable());
        ASSERT_TRUE(last().contains("resetTarget"));
        break;
    }
  }

  json body(const std::string& action) {
    if (action == "activity") return {{"action", action}, {"module", "care"}};
    if (action == "preferences") return {{"action", action}, {"language", "en"}, {"theme", "dark"}};
    if (action == "reset") return resetNow();
    if (action == "setting") return settingToggle();
    if (action == "share-qr") return {{"action", action}, {"dark", true}};
    if (action == "share-system") return {{"action", action}, {"x", 10}, {"y", 20}};
    return {{"action", action}};
  }
};

TEST_P(GateTest, ActionIsAcceptedOnlyWhereAllowed) {
  auto [situation, action] = GetParam();
  enter(situation);
  Effects before = effects();
  controller().handleAction(body(action));
  EXPECT_EQ(effects() != before, accepted(situation, action));
}

std::string gateTestName(const ::testing::TestParamInfo<GateTest::ParamType>& info) {
  static const char* const names[] = {"StartupLoading", "ResetAwaited",        "Paused",
                                      "NoCable",        "FirstLoadUnfinished", "Ready"};
  std::string name = names[static_cast<int>(std::get<0>(info.param))];
  for (char c : std::string(std::get<1>(info.param))) {
    if (c != '-') name += c;
  }
  return name;
}

INSTANTIATE_TEST_SUITE_P(
    EverySituation, GateTest,
    ::testing::Combine(::testing::Values(Situation::startupLoading, Situation::resetAwaited,
                                         Situation::paused, Situation::noCable,
                                         Situation::firstLoadUnfinished, Situation::ready),
                       ::testing::ValuesIn(kActions)),
    gateTestName);

TEST_F(MessagesTest, SettingDuringABackgroundReadWaitsAndRunsOnce) {
  loaded();
  connected();
  json first = settingToggle();
  holdBackgroundRead();
  controller().handleAction(first);
  EXPECT_TRUE(last()["busy"].get<bool>()) << "a pending operation shows as busy";
  controller().handleAction({{"action", "setting"}, {"key", "flex"}, {"value", false}});
  size_t journal = controller().screenState().settingRecords.size();

  gate_->setOpen(true);
  settle();
  std::vector<SettingRecord> records = controller().screenState().settingRecords;
  ASSERT_EQ(records.size(), journal + 1);
  EXPECT_EQ(records[0].action, "light") << "the second request was dropped";
  EXPECT_EQ(records[0].result, SettingRecord::Result::confirmed);
  EXPECT_EQ(model().values().at("light"), first["value"].get<bool>());
  EXPECT_FALSE(last()["busy"].get<bool>());
}

TEST_F(MessagesTest, PendingOperationIsDroppedWhenTheDeviceGoes) {
  loaded();
  connected();
  holdBackgroundRead();
  controller().handleAction(settingToggle());
  usb_->detach(kPort);
  queue_.runPending();
  gate_->setOpen(true);
  settle();
  plug(sim::ilumaOne("SIM0000000002"));
  EXPECT_TRUE(controller().screenState().settingRecords.empty());
}

TEST_F(MessagesTest, PreferencesNeedAKnownLanguageAndTheme) {
  loaded();
  size_t renders = page_->renders.size();
  send({{"action", "preferences"}, {"language", "en"}, {"theme", "blue"}});
  send({{"action", "preferences"}, {"language", "fr"}, {"theme", "dark"}});
  send({{"action", "preferences"}, {"theme", "dark"}});
  EXPECT_EQ(page_->renders.size(), renders);

  send({{"action", "preferences"}, {"language", "zh"}, {"theme", "dark"}});
  EXPECT_EQ(last()["preferences"], (json{{"language", "zh"}, {"theme", "dark"}}));
  EXPECT_EQ(last()["effectiveLanguage"], "zh");
  EXPECT_EQ(telemetry_->language(), "zh");
  EXPECT_EQ(LocalSettings(storage()).value<PresentationPreferences>(kPresentationPreferencesKey),
            (PresentationPreferences{"zh", "dark"}));
}

TEST_F(MessagesTest, ResetStartsRecoveryAndIsRecordedTwice) {
  loaded();
  connected(resettable());
  send(resetNow());
  EXPECT_EQ(last()["resetWaiting"], true);
  EXPECT_FALSE(last().contains("resetTarget"));
  ASSERT_EQ(last()["maintenanceRecords"].size(), 1u);
  EXPECT_EQ(last()["maintenanceRecords"][0]["action"], "reset");
  ASSERT_EQ(last()["settingRecords"].size(), 1u);
  EXPECT_EQ(last()["settingRecords"][0]["action"], "reset");
  saveState("reset-waiting");

  for (int i = 0; i < 4; ++i) advance(5s);  // past the 15 s deadline, device read again
  EXPECT_EQ(last()["resetWaiting"], false);
  EXPECT_EQ(last()["resetStatus"], "acknowledged");
  EXPECT_EQ(last()["settingRecords"][0]["result"], "confirmed");
  saveState("reset-done");
}

TEST_F(MessagesTest, ResetForAnOlderConnectionIsDropped) {
  loaded();
  connected(resettable());
  std::string old = controller().connectionId().text();
  unplug();
  connected(resettable());
  ASSERT_NE(controller().connectionId().text(), old);
  send({{"action", "reset"}, {"target", old}});
  EXPECT_EQ(last()["resetWaiting"], false);
  EXPECT_TRUE(last()["settingRecords"].empty());
}

TEST_F(MessagesTest, SharePickerAnchorIsClampedToTheView) {
  loaded();
  page_->viewSize = {150, 100};
  send({{"action", "share-system"}, {"x", -5}, {"y", 40}});
  send({{"action", "share-system"}});
  send({{"action", "share-system"}, {"x", "12"}, {"y", 1e9}});
  send({{"action", "share-system"}, {"x", 0}, {"y", 60.5}});
  EXPECT_EQ(page_->pickers,
            (std::vector<std::pair<double, double>>{{0, 40}, {150, 100}, {150, 100}, {0, 60.5}}));
}

TEST_F(MessagesTest, CopyActionsReplyThroughThePage) {
  loaded();
  send({{"action", "share-link"}});
  send({{"action", "share-qr"}, {"dark", "yes"}});
  EXPECT_EQ(sharing_.qrCopies, std::vector<bool>{false}) << "a non-Boolean dark counts as false";
  EXPECT_EQ(page_->scripts.back(), "window.sharingResult('share-qr', false)");
  EXPECT_EQ(page_->scripts[page_->scripts.size() - 2], "window.sharingResult('share-link', true)");
  send({{"action", "check-update"}});
  EXPECT_EQ(updater_.checks, std::vector<bool>{true});
}

TEST_F(MessagesTest, MalformedBodiesAreIgnored) {
  loaded();
  connected();
  Effects before = effects();
  for (const json& body :
       {json::array({"refresh"}), json(5), json("refresh"), json(nullptr), json::object(),
        json{{"action", 5}}, json{{"action", json::array({"refresh"})}},
        json{{"action", "setting"}, {"key", 5}, {"value", true}},
        json{{"action", "setting"}, {"key", "light"}, {"value", "yes"}},
        json{{"action", "setting"}, {"key", "volume"}, {"value", true}},
        json{{"action", "activity"}, {"module", 7}},
        json{{"action", "activity"}, {"module", "shop"}},
        json{{"action", "preferences"}, {"language", 1}, {"theme", "dark"}},
        json{{"action", "reset"}, {"target", "not-a-uuid"}}, json{{"action", "launch"}}}) {
    send(body);
  }
  MessageBridge bridge(controller_);
  bridge.receive(std::string_view("{not json"));
  bridge.receive(std::string_view("[1,2]"));
  EXPECT_EQ(effects(), before);
}

TEST_F(MessagesTest, BridgeDropsMessagesOnceTheControllerIsGone) {
  loaded();
  MessageBridge bridge(controller_);
  bridge.receive(std::string_view(R"({"action":"share-link"})"));
  EXPECT_EQ(sharing_.linkCopies, 1);
  controller_.reset();
  bridge.receive(std::string_view(R"({"action":"share-link"})"));
  EXPECT_EQ(sharing_.linkCopies, 1);
}

}  // namespace
}  // namespace nimbra::testing
