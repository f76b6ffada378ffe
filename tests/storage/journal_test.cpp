#include "core/base64.h"
#include "core/dates.h"
#include "storage/maintenance_records.h"
#include "storage/setting_journal.h"
#include "storage_fixture.h"

namespace nimbra::testing {
namespace {

class SettingsTest : public StorageTest {
 protected:
  LocalSettings settings() { return LocalSettings(storage()); }
  fs::path prefFile(const std::string& key) { return dataDir() / "Preferences" / (key + ".json"); }
};

TEST_F(SettingsTest, ValuesRoundTripThroughOneSealedFilePerKey) {
  EXPECT_FALSE(settings().value<std::string>("ZuvoInstallationID"));
  settings().set(std::string("ABC"), "ZuvoInstallationID");
  EXPECT_EQ(settings().value<std::string>("ZuvoInstallationID"), "ABC");
  EXPECT_EQ(modeOf(dataDir() / "Preferences"), 0700u);
  auto plaintext = storage().readSealed(prefFile("ZuvoInstallationID"));
  ASSERT_OK(plaintext);
  EXPECT_EQ(*plaintext, "\"ABC\"");

  std::vector<std::string> days{"2026-01-01", "2026-01-02"};
  settings().set(days, "ZuvoDailyReports.ABC");
  EXPECT_EQ(settings().value<std::vector<std::string>>("ZuvoDailyReports.ABC"), days);
}

TEST_F(SettingsTest, UnreadableOrMistypedFileIsNeverOverwritten) {
  settings().set(std::string("keep"), "Key");
  std::string sealed = readAll(prefFile("Key"));
  settings().set(42, "Key");  // the file holds text, not a number
  EXPECT_EQ(readAll(prefFile("Key")), sealed);
  EXPECT_FALSE(settings().value<int>("Key"));

  std::string damaged = sealed;
  damaged.back() = static_cast<char>(damaged.back() ^ 1);
  writeAll(prefFile("Key"), damaged);
  EXPECT_FALSE(settings().value<std::string>("Key"));
  settings().set(std::string("new"), "Key");
  EXPECT_EQ(readAll(prefFile("Key")), damaged);
}

TEST_F(SettingsTest, KeysThatAreNotPlainFileNamesAreRefused) {
  for (const char* key : {"", ".", "..", "../escape", "a/b"}) {
    settings().set(std::string("x"), key);
    EXPECT_FALSE(settings().value<std::string>(key)) << key;
  }
  EXPECT_FALSE(fs::exists(dataDir() / "escape.json"));
}

TEST_F(SettingsTest, MaintenanceRecordsAreStoredAsBase64OfTheArrayNewestFirst) {
  std::vector<MaintenanceRecord> list = loadMaintenanceRecords(settings());
  EXPECT_TRUE(list.empty());
  addMaintenanceRecord(list, {MaintenanceRecord::Action::diagnostics, 10.5}, settings());
  addMaintenanceRecord(list, {MaintenanceRecord::Action::reset, 20}, settings());
  std::vector<MaintenanceRecord> expected{{MaintenanceRecord::Action::reset, 20},
                                          {MaintenanceRecord::Action::diagnostics, 10.5}};
  EXPECT_EQ(loadMaintenanceRecords(settings()), expected);

  auto plaintext = storage().readSealed(prefFile("NimbraMaintenanceRecords"));
  ASSERT_OK(plaintext);
  auto bytes = base64Decode(nlohmann::json::parse(*plaintext).get<std::string>());
  ASSERT_TRUE(bytes);
  auto array = nlohmann::json::parse(*bytes);
  EXPECT_EQ(array, nlohmann::json::parse(R"([{"action":"reset","startedAt":20},
                                             {"action":"diagnostics","startedAt":10.5}])"));

  settings().set(std::string("not base64!"), "NimbraMaintenanceRecords");
  EXPECT_TRUE(loadMaintenanceRecords(settings()).empty());
}

class JournalTest : public SettingsTest {
 protected:
  fs::path journalFile() { return dataDir() / "device-setting-history.json.sealed"; }
  std::string journalText() {
    auto text = freshProcess().readSealed(journalFile());
    EXPECT_OK(text);
    return text.ok() ? *text : std::string();
  }
  static SettingRecord change(const std::string& action, Date time) {
    SettingRecord record;
    record.id = Uuid::random();
    record.time = time;
    record.action = action;
    record.before = SettingRecord::Values{{action, false}};
    record.requested = true;
    return record;
  }
  Date t(double seconds) { return dateFromSecondsSince1970(seconds); }
};

TEST_F(JournalTest, FirstStartSeedsResetsFromMaintenanceRecords) {
  std::vector<MaintenanceRecord> list;
  addMaintenanceRecord(list, {MaintenanceRecord::Action::reset, 1000}, settings());
  addMaintenanceRecord(list, {MaintenanceRecord::Action::diagnostics, 2000}, settings());
  // A fractional start is kept to the whole second the journal file can hold.
  addMaintenanceRecord(list, {MaintenanceRecord::Action::reset, 3000.75}, settings());

  SettingJournal journal(settings());
  EXPECT_FALSE(journal.error());
  EXPECT_TRUE(journal.readable());
  ASSERT_EQ(journal.records().size(), 2u);
  EXPECT_EQ(journal.records()[0].time, t(3000));
  EXPECT_EQ(journal.records()[1].time, t(1000));
  for (const SettingRecord& record : journal.records()) {
    EXPECT_EQ(record.action, "reset");
    EXPECT_EQ(record.result, SettingRecord::Result::legacy);
    EXPECT_FALSE(record.before || record.requested || record.after);
  }
  EXPECT_NE(journal.records()[0].id, journal.records()[1].id);
  EXPECT_EQ(decodeSettingRecords(journalText()).value(), journal.records());

  // Seeding happens once: a later reset record does not reach an existing journal.
  addMaintenanceRecord(list, {MaintenanceRecord::Action::reset, 4000}, settings());
  EXPECT_EQ(SettingJournal(settings()).records().size(), 2u);
}

TEST_F(JournalTest, EmptySeedIsStillWritten) {
  SettingJournal journal(settings());
  EXPECT_TRUE(journal.records().empty());
  EXPECT_EQ(journalText(), "[]");
}

TEST_F(JournalTest, RecordsSurviveReopenInSortedPrettyIsoForm) {
  Date started = t(1769847300.75);  // fractions are dropped on writing
  {
    SettingJournal journal(settings());
    SettingRecord record = change("light", started);
    journal.add(record);
    journal.add(change("flex", started));
    journal.complete(record.id, SettingRecord::Values{{"light", true}},
                     SettingRecord::Result::confirmed);
    EXPECT_FALSE(journal.error());
  }
  SettingJournal reopened(settings());
  ASSERT_EQ(reopened.records().size(), 2u);
  const SettingRecord& light = reopened.records()[1];
  EXPECT_EQ(light.action, "light");
  EXPECT_EQ(light.time, t(1769847300));
  EXPECT_EQ(light.after, (SettingRecord::Values{{"light", true}}));
  EXPECT_EQ(light.result, SettingRecord::Result::confirmed);
  EXPECT_FALSE(reopened.records()[0].after);

  std::string text = journalText();
  EXPECT_NE(text.find("\"time\": \"2026-01-31T08:15:00Z\""), std::string::npos) << text;
  EXPECT_LT(text.find("\"action\""), text.find("\"before\""));
  EXPECT_LT(text.find("\"requested\""), text.find("\"result\""));
  EXPECT_EQ(text.find("null"), std::string::npos);
}

TEST_F(JournalTest, CompletingAnUnknownIdWritesNothing) {
  SettingJournal journal(settings());
  journal.add(change("auto", t(100)));
  std::string before = readAll(journalFile());
  journal.complete(Uuid::random(), SettingRecord::Values{}, SettingRecord::Result::confirmed);
  EXPECT_EQ(readAll(journalFile()), before);  // a rewrite would carry a fresh nonce
  EXPECT_EQ(journal.records()[0].result, SettingRecord::Result::unconfirmed);
}

TEST_F(JournalTest, UnreadableJournalIsNeverOverwrittenDuringTheRun) {
  ASSERT_OK(storage().localDirectory());
  std::string fractional =
      R"([{"id":"0A1B2C3D-4E5F-4A6B-8C7D-9E0F1A2B3C4D","time":"2026-01-31T08:15:00.5Z",)"
      R"("action":"reset","result":"legacy"}])";
  ASSERT_OK(storage().writeSealed(fractional, journalFile()));
  std::string sealed = readAll(journalFile());

  SettingJournal journal(settings());
  EXPECT_TRUE(journal.error());
  EXPECT_FALSE(journal.readable());
  EXPECT_TRUE(journal.records().empty());
  journal.add(change("gesture", t(5)));
  journal.complete(journal.records()[0].id, std::nullopt, SettingRecord::Result::confirmed);
  journal.save();
  EXPECT_EQ(journal.records().size(), 1u);
  EXPECT_EQ(readAll(journalFile()), sealed);

  ASSERT_OK(storage().writeSealed(R"([{"id":"0A1B2C3D-4E5F-4A6B-8C7D-9E0F1A2B3C4D",)"
                                  R"("time":791000000,"action":"reset","result":"legacy"}])",
                                  journalFile()));
  EXPECT_TRUE(SettingJournal(settings()).error());
}

TEST_F(JournalTest, LegacyPlainJournalIsSealedAndRemoved) {
  fs::create_directories(dataDir());
  std::string plain =
      "[\n  {\"id\": \"0a1b2c3d-4e5f-4a6b-8c7d-9e0f1a2b3c4d\", \"time\": "
      "\"2026-01-31T16:15:00+08:00\",\n   \"action\": \"v0\", \"before\": {\"v0\": true},\n"
      "   \"requested\": false, \"result\": \"reconnected\", \"extra\": 1}\n]\n";
  writeAll(dataDir() / "device-setting-history.json", plain);
  SettingJournal journal(settings());
  EXPECT_FALSE(journal.error());
  ASSERT_EQ(journal.records().size(), 1u);
  EXPECT_EQ(journal.records()[0].time, t(1769847300));
  EXPECT_EQ(journal.records()[0].requested, false);
  EXPECT_FALSE(fs::exists(dataDir() / "device-setting-history.json"));
  EXPECT_EQ(journalText(), plain);
}

}  // namespace
}  // namespace nimbra::testing
