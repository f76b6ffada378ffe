// The stores on a full disk and on a read-only data directory: each write fails with an error
// its owner can show (or, for the silent local settings, leaves the old value), the file keeps
// its old content, and the first write after the fault is complete.
//
// The application-support directory is a 256 KiB tmpfs; "read-only" remounts it so, which
// holds for root too (mode bits do not). Needs root (mount); skipped where mounting is not
// allowed. The sample store and the journal on a full disk are in full_disk_test.cpp.

#include <optional>

#include "sample_fixture.h"
#include "storage/history_archive.h"
#include "storage/maintenance_records.h"
#include "storage/setting_journal.h"
#include "support/small_disk.h"
#include "telemetry/telemetry_outbox.h"

namespace nimbra::testing {
namespace {

class StoreFaultsTest : public SampleStoreTest {
 protected:
  void SetUp() override {
    SampleStoreTest::SetUp();
    disk_.emplace(base_);
    if (!disk_->mounted()) GTEST_SKIP() << "cannot mount a tmpfs here (needs root)";
  }
  void TearDown() override {
    disk_.reset();
    SampleStoreTest::TearDown();
  }

  std::string sealedBytes(const fs::path& file) { return readAll(file); }

  std::optional<SmallDisk> disk_;
};

HistoryPacket packetAt(int position) {
  return HistoryPacket{HistoryEntry{0, position, 3, 18}, {1, 2, static_cast<uint8_t>(position)}};
}

TEST_F(StoreFaultsTest, HistoryArchiveReportsTheErrorAndKeepsItsRecords) {
  const std::string id(64, 'b');
  HistoryArchive archive(storage(), clock_);
  ASSERT_OK(archive.merge({packetAt(1)}, id));
  fs::path file = dataDir() / HistoryArchive::fileName(id);
  int next = 2;
  for (const SmallDisk::Fault& fault : disk_->faults()) {
    std::string before = sealedBytes(file);
    fault.on();
    EXPECT_FALSE(archive.merge({packetAt(next)}, id).ok()) << fault.name;
    EXPECT_EQ(sealedBytes(file), before) << fault.name;
    fault.off();
    ASSERT_OK(archive.merge({packetAt(next)}, id));
    auto pending = archive.pending(id);
    ASSERT_OK(pending);
    EXPECT_EQ(pending->size(), static_cast<size_t>(next)) << fault.name;
    ++next;
  }
}

TEST_F(StoreFaultsTest, SampleStoreAppendFailsOnAReadOnlyDirectory) {
  setToday(20000);
  DeviceStore store = openStore();
  const double base = 20000 * kDay;
  ASSERT_OK(store.append(sampleAt(base + 1), profile_, kDeviceKey));
  std::string before = sealedBytes(dayFile(20000));
  disk_->readOnly(true);
  EXPECT_FALSE(store.append(sampleAt(base + 2), profile_, kDeviceKey).ok());
  EXPECT_EQ(sealedBytes(dayFile(20000)), before);
  disk_->readOnly(false);
  ASSERT_OK(store.append(sampleAt(base + 3), profile_, kDeviceKey));
  EXPECT_EQ(timesOf(samplesIn(dayFile(20000))), (std::vector<double>{base + 1, base + 3}));
}

TEST_F(StoreFaultsTest, JournalShowsTheErrorOnAReadOnlyDirectoryAndCatchesUp) {
  LocalSettings settings(storage());
  SettingJournal journal(settings);
  SettingRecord record;
  record.id = Uuid::random();
  record.action = "light";
  journal.add(record);
  ASSERT_FALSE(journal.error());
  std::string before = sealedBytes(*journal.url());
  disk_->readOnly(true);
  record.id = Uuid::random();
  journal.add(record);
  EXPECT_TRUE(journal.error());
  EXPECT_EQ(sealedBytes(*journal.url()), before);
  disk_->readOnly(false);
  journal.save();
  EXPECT_FALSE(journal.error());
  SettingJournal reopened(settings);
  EXPECT_EQ(reopened.records().size(), 2u);
}

TEST_F(StoreFaultsTest, OutboxSaveFailsAndKeepsTheQueuedEvents) {
  TelemetryOutbox outbox(storage());
  TelemetryEvent event;
  event.id = event.installId = event.sessionId = Uuid::random();
  event.kind = "module";
  ASSERT_OK(outbox.save({event}));
  for (const SmallDisk::Fault& fault : disk_->faults()) {
    std::string before = sealedBytes(outbox.sealedLocation());
    fault.on();
    EXPECT_FALSE(outbox.save({event, event}).ok()) << fault.name;
    EXPECT_EQ(sealedBytes(outbox.sealedLocation()), before) << fault.name;
    fault.off();
    ASSERT_OK(outbox.load());
    EXPECT_EQ(outbox.load()->size(), 1u) << fault.name;
  }
  ASSERT_OK(outbox.save({event, event, event}));
  EXPECT_EQ(outbox.load()->size(), 3u);
}

// Local settings report nothing; the old value must stay and the next set must land.
TEST_F(StoreFaultsTest, SettingsAndMaintenanceRecordsKeepTheOldValue) {
  LocalSettings settings(storage());
  std::vector<MaintenanceRecord> list;
  addMaintenanceRecord(list, {MaintenanceRecord::Action::reset, 1}, settings);
  settings.set(std::string("old"), "ZuvoInstallationID");
  int startedAt = 2;
  for (const SmallDisk::Fault& fault : disk_->faults()) {
    fault.on();
    settings.set(std::string("new"), "ZuvoInstallationID");
    addMaintenanceRecord(list, {MaintenanceRecord::Action::reset, double(startedAt)}, settings);
    fault.off();
    EXPECT_EQ(settings.value<std::string>("ZuvoInstallationID"), "old") << fault.name;
    EXPECT_EQ(loadMaintenanceRecords(settings).size(), static_cast<size_t>(startedAt - 1))
        << fault.name;
    list = loadMaintenanceRecords(settings);
    addMaintenanceRecord(list, {MaintenanceRecord::Action::reset, double(startedAt)}, settings);
    EXPECT_EQ(loadMaintenanceRecords(settings).size(), static_cast<size_t>(startedAt))
        << fault.name;
    ++startedAt;
  }
  settings.set(std::string("new"), "ZuvoInstallationID");
  EXPECT_EQ(settings.value<std::string>("ZuvoInstallationID"), "new");
}

// The first write of a new account makes the key; on a full disk that fails cleanly (no
// key, no data file), and the next write makes one whole key.
TEST_F(StoreFaultsTest, KeyCreationOnAFullDiskLeavesNoHalfKey) {
  fs::create_directories(dataDir());
  fs::create_directories(base_ / "nimbra-key");
  disk_->fill();
  EXPECT_FALSE(storage().writeSealed("x", dataDir() / "probe.json").ok());
  EXPECT_FALSE(fs::exists(keyFile()));
  EXPECT_FALSE(fs::exists(dataDir() / "probe.json"));
  disk_->free();
  ASSERT_OK(freshProcess().writeSealed("x", dataDir() / "probe.json"));
  EXPECT_EQ(fs::file_size(keyFile()), 32u);
  EXPECT_EQ(*freshProcess().readSealed(dataDir() / "probe.json"), "x");
}

}  // namespace
}  // namespace nimbra::testing
