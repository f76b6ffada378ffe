#include "telemetry/telemetry.h"

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/dates.h"
#include "core/manual_main_queue.h"
#include "storage/key_cache.h"
#include "storage/local_settings.h"
#include "support/file_contents.h"
#include "support/result_assertions.h"
#include "support/temporary_folder.h"
#include "telemetry/telemetry_platform.h"

namespace nimbra {
namespace {

namespace fs = std::filesystem;
using std::chrono::hours;
using std::chrono::seconds;

Date at(const char* iso) { return *parseIso8601(iso); }

using testing::readAll;

Telemetry::Event queued(const std::string& kind, const Uuid& installId, Date time) {
  Telemetry::Event event;
  event.id = Uuid::random();
  event.installId = installId;
  event.sessionId = Uuid::random();
  event.occurredAt = secondsSince1970(time);
  event.kind = kind;
  event.language = "en";
  event.os = "Linux Test";
  event.appBuild = "1";
  return event;
}

Telemetry::Device aDevice(const std::string& serial) {
  Telemetry::Device device;
  device.connectionId = Uuid::random();
  device.brand = "iqos";
  device.model = "m0033";
  device.modelName = "IQOS ILUMA i ONE";
  device.serial = serial;
  return device;
}

std::vector<std::string> kindsOf(const std::vector<Telemetry::Event>& events) {
  std::vector<std::string> kinds;
  for (const auto& event : events) kinds.push_back(event.kind);
  return kinds;
}

size_t countKind(const Telemetry& telemetry, const std::string& kind) {
  auto kinds = kindsOf(telemetry.pending());
  return static_cast<size_t>(std::count(kinds.begin(), kinds.end(), kind));
}

// A fresh application-support directory per test; every make() is a new run of nimbra on it.
class TelemetryTest : public ::testing::Test {
 protected:
  void TearDown() override {
    telemetry_.reset();
    EXPECT_TRUE(queue_.runUntil([] { return HistoryAPI::callsInFlight() == 0; }));
  }

  Telemetry& make(HistoryAPI::Endpoint endpoint = {"http://127.0.0.1:9", seconds(1)}) {
    telemetry_.reset();
    telemetry_ = std::make_unique<Telemetry>(Telemetry::Seams{
        .queue = queue_,
        .clock = clock_,
        .uptime = [this] { return uptime_; },
        .installationId = [this] { return installation_; },
        .isApplicationActive = [this] { return active_; },
        .storage = storage(),
        .endpoint = std::move(endpoint),
        .os = "Linux Test",
        .appBuild = "7",
        .appVersion = "1.2.3",
    });
    return *telemetry_;
  }

  LocalStorage storage() { return LocalStorage(base_, cache_); }
  TelemetryOutbox outbox() { return TelemetryOutbox(storage()); }
  fs::path telemetryDir() { return base_ / "nimbra-local" / "Telemetry"; }
  fs::path outboxFile() { return telemetryDir() / "outbox.json.sealed"; }
  std::vector<std::string> reportedDays() {
    return LocalSettings(storage())
        .value<std::vector<std::string>>(TelemetryLedger::dailyReportsKey(installation_))
        .value_or(std::vector<std::string>{});
  }
  // Saving fails while a plain file stands where the telemetry directory belongs.
  void blockOutboxDirectory() {
    fs::remove_all(telemetryDir());
    fs::create_directories(telemetryDir().parent_path());
    std::ofstream(telemetryDir()) << "in the way";
  }
  void unblockOutboxDirectory() { fs::remove(telemetryDir()); }

  testing::TemporaryFolder folder_{"nimbra-telemetry-test"};
  fs::path base_ = folder_.path();
  KeyCache cache_;
  ManualMainQueue queue_;
  FakeClock clock_{at("2024-05-01T04:00:00Z")};
  double uptime_ = 1000;
  Uuid installation_ = *Uuid::parse("6f1c2d3e-4a5b-4c6d-8e7f-0a1b2c3d4e5f");
  bool active_ = true;
  std::unique_ptr<Telemetry> telemetry_;
};

TEST_F(TelemetryTest, TriggerKindsAreNeverStoredAndReportEachDayOnce) {
  Telemetry& telemetry = make();
  EXPECT_TRUE(telemetry.record("foreground", std::nullopt, std::nullopt, clock_.now()));
  EXPECT_TRUE(telemetry.record("heartbeat", std::nullopt, std::nullopt, clock_.now()));
  EXPECT_TRUE(telemetry.record("launch", std::nullopt, std::nullopt, clock_.now()));
  EXPECT_EQ(kindsOf(telemetry.pending()), std::vector<std::string>{"daily"});

  EXPECT_TRUE(telemetry.record("launch", std::nullopt, std::nullopt, clock_.now() + hours(24)));
  EXPECT_EQ(kindsOf(telemetry.pending()), (std::vector<std::string>{"daily", "daily"}));
  EXPECT_EQ(reportedDays(), (std::vector<std::string>{"2024-05-01", "2024-05-02"}));
}

// A build without an analysis server has no telemetry: no event of any kind is kept, no file
// is written, no day is marked reported and no timer runs.
TEST_F(TelemetryTest, WithoutAServerNothingIsRecordedStoredOrSent) {
  Telemetry& telemetry = make(HistoryAPI::Endpoint{});
  telemetry.start("en");
  for (const char* kind : {"foreground", "launch", "module", "device", "first_launch", "daily"}) {
    SCOPED_TRACE(kind);
    EXPECT_FALSE(telemetry.record(kind, std::string("home"), aDevice("SER-1"), clock_.now()));
  }
  telemetry.reportDailyIfNeeded(clock_.now() + hours(24));
  telemetry.flush();
  queue_.advance(Telemetry::kTickInterval * 3);

  EXPECT_FALSE(telemetry.isOn());
  EXPECT_FALSE(telemetry.isStarted());
  EXPECT_FALSE(telemetry.isUploading());
  EXPECT_TRUE(telemetry.pending().empty());
  EXPECT_FALSE(fs::exists(telemetryDir())) << "something was written";
  EXPECT_TRUE(reportedDays().empty());
  EXPECT_EQ(HistoryAPI::callsInFlight(), 0u);
}

TEST_F(TelemetryTest, FirstModuleOrDeviceEventOfADayFollowsThatDaysReport) {
  Telemetry& telemetry = make();
  EXPECT_TRUE(telemetry.record("module", "settings", std::nullopt, clock_.now()));
  Telemetry::Device device = aDevice("SER-1");
  EXPECT_TRUE(telemetry.record("device", std::nullopt, device, clock_.now() + hours(24)));
  EXPECT_TRUE(telemetry.record("module", "history", std::nullopt, clock_.now() + hours(24)));

  EXPECT_EQ(kindsOf(telemetry.pending()),
            (std::vector<std::string>{"daily", "module", "daily", "device", "module"}));
  // The serial of the last device seen goes with later events too.
  EXPECT_EQ(telemetry.pending().back().serial, "SER-1");
  EXPECT_FALSE(telemetry.pending().front().serial.has_value());
}

TEST_F(TelemetryTest, DayTurnsAtSixteenHundredUtcWhateverTheTimeZone) {
  const char* previous = std::getenv("TZ");
  const std::string saved = previous ? previous : "";
  for (const char* zone : {"America/Los_Angeles", "Asia/Kolkata"}) {
    setenv("TZ", zone, 1);
    tzset();
    EXPECT_EQ(telemetryDayText(at("2024-12-31T15:59:59Z")), "2024-12-31") << zone;
    EXPECT_EQ(telemetryDayText(at("2024-12-31T16:00:00Z")), "2025-01-01") << zone;

    installation_ = Uuid::random();  // a clean list of reported days per zone
    Telemetry& telemetry = make();
    (void)telemetry.record("foreground", std::nullopt, std::nullopt, at("2024-03-01T15:59:59Z"));
    (void)telemetry.record("foreground", std::nullopt, std::nullopt, at("2024-03-01T16:00:00Z"));
    (void)telemetry.record("foreground", std::nullopt, std::nullopt, at("2024-03-02T15:00:00Z"));
    EXPECT_EQ(reportedDays(), (std::vector<std::string>{"2024-03-01", "2024-03-02"})) << zone;
  }
  if (previous) {
    setenv("TZ", saved.c_str(), 1);
  } else {
    unsetenv("TZ");
  }
  tzset();
}

TEST_F(TelemetryTest, FullQueueDropsTheOldestEventThatIsNotAReport) {
  std::vector<Telemetry::Event> seeded{queued("first_launch", installation_, clock_.now()),
                                       queued("daily", installation_, clock_.now())};
  while (seeded.size() < Telemetry::kMaxPending) {
    seeded.push_back(queued("module", installation_, clock_.now()));
  }
  const Uuid oldestModule = seeded[2].id;
  const Uuid nextModule = seeded[3].id;
  ASSERT_OK(outbox().save(seeded));

  Telemetry& telemetry = make();
  EXPECT_TRUE(telemetry.record("module", "home", std::nullopt, clock_.now()));

  const auto& pending = telemetry.pending();
  ASSERT_EQ(pending.size(), Telemetry::kMaxPending);
  EXPECT_EQ(pending[0].kind, "first_launch");
  EXPECT_EQ(pending[1].kind, "daily");
  EXPECT_NE(pending[2].id, oldestModule);
  EXPECT_EQ(pending[2].id, nextModule);
  EXPECT_EQ(pending.back().module, "home");
}

TEST_F(TelemetryTest, QueueOfOnlyReportsGrowsPastTheCap) {
  std::vector<Telemetry::Event> seeded;
  seeded.push_back(queued("first_launch", installation_, clock_.now()));
  while (seeded.size() < Telemetry::kMaxPending) {
    seeded.push_back(queued("daily", installation_, clock_.now() - hours(24 * seeded.size())));
  }
  ASSERT_OK(outbox().save(seeded));

  Telemetry& telemetry = make();
  (void)telemetry.record("foreground", std::nullopt, std::nullopt, clock_.now());
  (void)telemetry.record("first_launch", std::nullopt, std::nullopt, clock_.now());
  EXPECT_EQ(telemetry.pending().size(), Telemetry::kMaxPending + 2);
}

TEST_F(TelemetryTest, FirstLaunchIsRecordedUntilSavedOncePerInstallation) {
  blockOutboxDirectory();
  make().start("zh-Hans");
  EXPECT_EQ(countKind(*telemetry_, "first_launch"), 1u);
  EXPECT_TRUE(telemetry_->isFirstLaunch());

  unblockOutboxDirectory();
  make().start("zh-Hans");
  EXPECT_EQ(countKind(*telemetry_, "first_launch"), 1u);
  EXPECT_FALSE(telemetry_->isFirstLaunch());

  make().start("zh-Hans");  // same installation: the saved first_launch is not repeated
  EXPECT_EQ(countKind(*telemetry_, "first_launch"), 1u);

  installation_ = Uuid::random();
  make().start("zh-Hans");
  EXPECT_EQ(countKind(*telemetry_, "first_launch"), 2u);
  EXPECT_EQ(telemetry_->pending().back().module, "home");
}

TEST_F(TelemetryTest, StartRunsOnceAndLaterCallsOnlySetTheLanguage) {
  Telemetry& telemetry = make();
  telemetry.start("zh-Hans");
  EXPECT_EQ(kindsOf(telemetry.pending()),
            (std::vector<std::string>{"first_launch", "daily", "module"}));
  telemetry.start("en");
  EXPECT_EQ(telemetry.pending().size(), 3u);
  EXPECT_EQ(telemetry.language(), "en");
  EXPECT_EQ(telemetry.pending().front().language, "zh-Hans");
  EXPECT_EQ(queue_.scheduledTimers(), 1u);
}

TEST_F(TelemetryTest, MinuteTickReportsANewDayOnlyWhileActive) {
  Telemetry& telemetry = make();
  telemetry.start("en");
  // The first tick's upload fails against the closed port, and with the uptime standing
  // still the back-off keeps later ticks from uploading.
  uptime_ = 0;
  queue_.advance(seconds(60));
  ASSERT_TRUE(queue_.runUntil([&] { return !telemetry.isUploading(); }));
  EXPECT_EQ(telemetry.nextAttempt(), 60);

  clock_.advance(hours(24));
  active_ = false;
  queue_.advance(seconds(60));
  EXPECT_EQ(countKind(telemetry, "daily"), 1u);

  active_ = true;
  queue_.advance(seconds(60));
  EXPECT_EQ(countKind(telemetry, "daily"), 2u);
  EXPECT_FALSE(telemetry.isUploading());
}

TEST_F(TelemetryTest, OutboxSurvivesARestart) {
  Telemetry& first = make();
  Telemetry::Device device = aDevice("SER-9");
  device.puffs = 12;
  device.sticks = 3;
  device.firmware = "1.0.4";
  ASSERT_TRUE(first.record("device", std::nullopt, device, clock_.now()));
  const std::vector<Telemetry::Event> before = first.pending();

  Telemetry& second = make();
  EXPECT_TRUE(second.outboxReadable());
  EXPECT_EQ(second.pending(), before);
  EXPECT_NE(second.sessionId(), before.front().sessionId);
}

TEST_F(TelemetryTest, LegacyPlainOutboxIsTakenOverAndSealed) {
  fs::create_directories(telemetryDir());
  Telemetry::Event legacy = queued("module", installation_, clock_.now());
  std::ofstream(telemetryDir() / "outbox.json") << telemetryEventsJson({legacy}).dump();

  Telemetry& telemetry = make();
  ASSERT_TRUE(telemetry.outboxReadable());
  ASSERT_EQ(telemetry.pending().size(), 1u);
  EXPECT_EQ(telemetry.pending().front(), legacy);
  EXPECT_FALSE(legacy.appVersion.has_value());
  EXPECT_FALSE(fs::exists(telemetryDir() / "outbox.json"));
  EXPECT_TRUE(fs::exists(outboxFile()));
}

TEST_F(TelemetryTest, DamagedOutboxKeepsEventsInMemoryAndIsNeverOverwritten) {
  ASSERT_OK(outbox().save({}));  // makes the key, so only the file is at fault
  const std::string damaged = std::string("NIMBRA2\n") + std::string(40, '\x5a');
  std::ofstream(outboxFile(), std::ios::binary) << damaged;

  Telemetry& telemetry = make();
  EXPECT_FALSE(telemetry.outboxReadable());
  telemetry.start("en");
  EXPECT_FALSE(telemetry.record("module", "history", std::nullopt, clock_.now()));
  // Nothing marked as reported or launched, and no duplicate report for the day.
  EXPECT_EQ(kindsOf(telemetry.pending()),
            (std::vector<std::string>{"first_launch", "daily", "module", "module"}));
  EXPECT_TRUE(reportedDays().empty());
  EXPECT_EQ(readAll(outboxFile()), damaged);
}

TEST_F(TelemetryTest, ReportOfAnUnsavedDayIsMarkedOnceTheOutboxSavesAgain) {
  Telemetry& telemetry = make();
  blockOutboxDirectory();
  EXPECT_FALSE(telemetry.record("module", "home", std::nullopt, clock_.now()));
  EXPECT_TRUE(reportedDays().empty());
  EXPECT_FALSE(telemetry.record("module", "home", std::nullopt, clock_.now()));
  EXPECT_EQ(countKind(telemetry, "daily"), 1u);

  unblockOutboxDirectory();
  EXPECT_TRUE(telemetry.record("foreground", std::nullopt, std::nullopt, clock_.now()));
  EXPECT_EQ(countKind(telemetry, "daily"), 1u);
  EXPECT_EQ(reportedDays(), std::vector<std::string>{"2024-05-01"});
  EXPECT_EQ(outbox().load()->size(), 3u);
}

TEST_F(TelemetryTest, ReportedDaysKeepOnlyTheNewestFourHundred) {
  const Date first = clock_.now();
  std::vector<std::string> stored;
  for (int day = 0; day < 398; ++day) stored.push_back(telemetryDayText(first + hours(24 * day)));
  LocalSettings(storage()).set(stored, TelemetryLedger::dailyReportsKey(installation_));

  Telemetry& telemetry = make();
  for (int day = 398; day < 405; ++day) {
    (void)telemetry.record("heartbeat", std::nullopt, std::nullopt, first + hours(24 * day));
  }
  const std::vector<std::string> days = reportedDays();
  ASSERT_EQ(days.size(), TelemetryLedger::kMaxReportedDays);
  EXPECT_EQ(days.front(), telemetryDayText(first + hours(24 * 5)));
  EXPECT_EQ(days.back(), telemetryDayText(first + hours(24 * 404)));
  EXPECT_EQ(countKind(telemetry, "daily"), 7u);
}

TEST_F(TelemetryTest, TextsThatAreNotUtf8AreRepairedBeforeQueueing) {
  Telemetry& telemetry = make();
  ASSERT_TRUE(telemetry.record("module", std::string("set\xff"), std::nullopt, clock_.now()));
  EXPECT_EQ(telemetry.pending().back().module, "set\xEF\xBF\xBD");
  EXPECT_OK(encodeTelemetryEvents(telemetry.pending()));
}

TEST(TelemetryPlatformTest, PrettyNameIsUnquotedAndUnescaped) {
  using TelemetryPlatform::prettyName;
  EXPECT_EQ(prettyName("NAME=\"Debian\"\nPRETTY_NAME=\"Debian GNU/Linux 12 (bookworm)\"\n"),
            "Debian GNU/Linux 12 (bookworm)");
  EXPECT_EQ(prettyName("PRETTY_NAME='Arch \"Linux\"'"), "Arch \"Linux\"");
  EXPECT_EQ(prettyName("PRETTY_NAME=\"Say \\\"hi\\\"\"\r\n"), "Say \"hi\"");
  EXPECT_EQ(prettyName("PRETTY_NAME=Bare"), "Bare");
  EXPECT_FALSE(prettyName("NAME=Debian\nPRETTY_NAME=\"\"\n").has_value());
  EXPECT_TRUE(TelemetryPlatform::osDescription().starts_with("Linux "));
}

}  // namespace
}  // namespace nimbra
