// The charge notification's rule and the background-mode choices with their autostart entry.
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "app/background_mode.h"
#include "app/charge_notice.h"
#include "storage/key_cache.h"
#include "support/temporary_folder.h"

namespace nimbra {
namespace {

TEST(ChargeNoticeTest, NotifiesOnReachingFullAndAgainOnlyAfterDroppingBelowNinety) {
  struct Case {
    const char* name;
    std::vector<std::optional<int64_t>> readings;
    int notifications;
  };
  const Case cases[] = {
      {"charging to full", {97, 98, 99, 100}, 1},
      {"staying full", {99, 100, 100, 100, 100}, 1},
      {"first seen full waits for a cycle", {100, 100, 95, 100}, 0},
      {"first seen full, then a whole cycle", {100, 89, 100}, 1},
      {"dropping to 90 is not below it", {99, 100, 90, 100}, 1},
      {"a whole cycle", {99, 100, 95, 89, 96, 100, 100}, 2},
      {"a read without a battery changes nothing", {99, std::nullopt, 100, std::nullopt, 100}, 1},
  };
  for (const Case& c : cases) {
    ChargeNotice notice;
    int sent = 0;
    for (std::optional<int64_t> battery : c.readings) sent += notice.observe("S1", battery);
    EXPECT_EQ(sent, c.notifications) << c.name;
  }
}

TEST(ChargeNoticeTest, EachDeviceHasItsOwnCycle) {
  ChargeNotice notice;
  EXPECT_FALSE(notice.observe("A", 99));
  EXPECT_FALSE(notice.observe("B", 100));
  EXPECT_TRUE(notice.observe("A", 100));
  EXPECT_FALSE(notice.observe("B", 100));
  EXPECT_EQ(ChargeNotice::texts("zh", "DEMO••••42").title, "IQOS ILUMA i ONE 已充满电");
  EXPECT_EQ(ChargeNotice::texts("en", "DEMO••••42").title, "IQOS ILUMA i ONE is fully charged");
}

class RecordingAutostart : public AutostartEntry {
 public:
  Status install(const std::string& text) override {
    entry = text;
    return {};
  }
  Status remove() override {
    entry.reset();
    return {};
  }
  std::optional<std::string> entry;
};

class BackgroundModeTest : public ::testing::Test {
 protected:
  LocalSettings settings() { return LocalSettings(LocalStorage(folder_.path(), cache_)); }
  BackgroundMode make() {
    return BackgroundMode(settings(), autostart_, "/usr/bin/nimbra", "app.id");
  }

  testing::TemporaryFolder folder_{"nimbra-background"};
  KeyCache cache_;
  RecordingAutostart autostart_;
};

TEST_F(BackgroundModeTest, PageSwitchesAreStoredAndStartAtLoginNeedsBackgroundMode) {
  struct Step {
    const char* body;
    bool handled;
    DesktopPreferences after;
    bool entry;
  };
  const Step steps[] = {
      {R"({"action":"preferences","language":"en","theme":"dark"})",
       false,
       {true, false, false},
       false},
      {R"({"action":"desktop","startAtLogin":true})", true, {true, false, false}, false},
      {R"({"action":"desktop","keepRunning":true})", true, {true, true, false}, false},
      {R"({"action":"desktop","startAtLogin":true})", true, {true, true, true}, true},
      {R"({"action":"desktop","chargeNotice":false,"keepRunning":"yes"})",
       true,
       {false, true, true},
       true},
      {R"({"action":"desktop","keepRunning":false})", true, {false, false, false}, false},
      {"not json", false, {false, false, false}, false},
  };
  BackgroundMode mode = make();
  EXPECT_EQ(mode.preferences(), DesktopPreferences{});
  for (const Step& step : steps) {
    EXPECT_EQ(mode.receive(step.body), step.handled) << step.body;
    EXPECT_EQ(mode.preferences(), step.after) << step.body;
    EXPECT_EQ(autostart_.entry.has_value(), step.entry) << step.body;
    EXPECT_EQ(make().preferences(), step.after) << "as stored after " << step.body;
  }
}

TEST_F(BackgroundModeTest, AStartWithStartAtLoginOnRewritesTheEntry) {
  (void)make().receive(R"({"action":"desktop","keepRunning":true,"startAtLogin":true})");
  autostart_.entry.reset();
  BackgroundMode again = make();
  ASSERT_TRUE(autostart_.entry.has_value());
  EXPECT_NE(autostart_.entry->find("Exec=\"/usr/bin/nimbra\" --hidden\n"), std::string::npos);
  EXPECT_EQ(again.pageJSON(), R"({"chargeNotice":true,"keepRunning":true,"startAtLogin":true})");
}

TEST(AutostartTextTest, TheProgramIsQuotedAsDesktopEntriesAsk) {
  const std::pair<const char*, const char*> cases[] = {
      {"/opt/my apps/nimbra", R"(Exec="/opt/my apps/nimbra" --hidden)"},
      {"/home/a$b/100%/x\"y", R"(Exec="/home/a\\$b/100%%/x\\"y" --hidden)"},
      {"/odd\\path", R"(Exec="/odd\\\\path" --hidden)"},
  };
  for (const auto& [program, exec] : cases) {
    std::string text = BackgroundMode::autostartText(program, "com.zuvo.devicecenter");
    EXPECT_TRUE(text.starts_with("[Desktop Entry]\nType=Application\n")) << text;
    EXPECT_NE(text.find(std::string(exec) + "\n"), std::string::npos) << text;
    EXPECT_NE(text.find("Icon=com.zuvo.devicecenter\n"), std::string::npos) << text;
  }
}

}  // namespace
}  // namespace nimbra
