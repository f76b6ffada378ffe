// The stores on a full disk and on a read-only data directory: each write fails with an error
// its owner can show (or, for the silent local settings, leaves the old value), the file keeps
// its old content, and the first write after the fault is complete.
//
// The application-support directory is a 256 KiB tmpfs; "read-only" remounts it so, which
// holds for root too (mode bits do not). Needs root (mount); skipped where mounting is not
// allowed. The sample store and the journal on a full disk are in full_disk_test.cpp.

#include <fcntl.h>
#include <sys/mount.h>

#include "sample_fixture.h"
#include "storage/history_archive.h"
#include "storage/maintenance_records.h"
#include "storage/setting_journal.h"
#include "telemetry/telemetry_outbox.h"

namespace nimbra::testing {
namespace {

class StoreFaultsTest : public SampleStoreTest {
 protected:
  void SetUp() override {
    SampleStoreTest::SetUp();
    if (::mount("tmpfs", base_.c_str(), "tmpfs", 0, "size=256k,mode=0700") != 0) {
      GTEST_SKIP() << "cannot mount a tmpfs here";
    }
    mounted_ = true;
  }
  void TearDown() override {
    if (mounted_) ::umount2(base_.c_str(), MNT_DETACH);
    SampleStoreTest::TearDown();
  }

  void fillDisk() {
    int fd = ::open((base_ / "filler").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ASSERT_GE(fd, 0);
    char page[4096] = {};
    while (::write(fd, page, sizeof page) > 0) {
    }
    ::close(fd);
  }
  void freeDisk() { fs::remove(base_ / "filler"); }
  void readOnly(bool on) {
    unsigned long flags = MS_REMOUNT | (on ? MS_RDONLY : 0);
    ASSERT_EQ(::mount("tmpfs", base_.c_str(), "tmpfs", flags, "size=256k,mode=0700"), 0);
  }

  // Runs `fault` (fill the disk, or make it read-only), then `undo`.
  struct Fault {
    const char* name;
    std::function<void()> on, off;
  };
  std::vector<Fault> faults() {
    return {{"full disk", [this] { fillDisk(); }, [this] { freeDisk(); }},
            {"read-only", [this] { readOnly(true); }, [this] { readOnly(false); }}};
  }

  std::string sealedBytes(const fs::path& file) { return readAll(file); }

  bool mounted_ = false;
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
  for (const Fault& fault : faults()) {
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
  readOnly(true);
  EXPECT_FALSE(store.append(sampleAt(base + 2), profile_, kDeviceKey).ok());
  EXPECT_EQ(sealedBytes(dayFile(20000)), before);
  readOnly(false);
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
  readOnly(true);
  record.id = Uuid::random();
  journal.add(record);
  EXPECT_TRUE(journal.error());
  EXPECT_EQ(sealedBytes(*journal.url()), before);
  readOnly(false);
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
  for (const Fault& fault : faults()) {
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
  for (const Fault& fault : faults()) {
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
  fillDisk();
  EXPECT_FALSE(storage().writeSealed("x", dataDir() / "probe.json").ok());
  EXPECT_FALSE(fs::exists(keyFile()));
  EXPECT_FALSE(fs::exists(dataDir() / "probe.json"));
  freeDisk();
  ASSERT_OK(freshProcess().writeSealed("x", dataDir() / "probe.json"));
  EXPECT_EQ(fs::file_size(keyFile()), 32u);
  EXPECT_EQ(*freshProcess().readSealed(dataDir() / "probe.json"), "x");
}

}  // namespace
}  // namespace nimbra::testing
