#include <optional>

#include "sample_fixture.h"
#include "storage/setting_journal.h"
#include "support/small_disk.h"

namespace nimbra::testing {
namespace {

// The application-support directory on a 256 KiB tmpfs that the test fills to the last
// page. Needs root (mount); skipped where mounting is not allowed.
class FullDiskTest : public SampleStoreTest {
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

  size_t entriesIn(const fs::path& dir) {
    return static_cast<size_t>(std::distance(fs::directory_iterator(dir), {}));
  }

  std::optional<SmallDisk> disk_;
};

TEST_F(FullDiskTest, AppendFailsAndLeavesTheDayFileIntact) {
  setToday(20000);
  DeviceStore store = openStore();
  double base = 20000 * kDay;
  ASSERT_OK(store.append(sampleAt(base + 1), profile_, kDeviceKey));
  ASSERT_OK(store.append(sampleAt(base + 2), profile_, kDeviceKey));
  std::string before = plaintextOf(dayFile(20000));

  disk_->fill();
  for (int i = 0; i < 3; ++i) {
    EXPECT_FALSE(store.append(sampleAt(base + 3 + i), profile_, kDeviceKey).ok());
  }
  EXPECT_EQ(plaintextOf(dayFile(20000)), before);
  EXPECT_EQ(entriesIn(deviceDir()), 1u);  // no temporary file left behind

  disk_->free();
  ASSERT_OK(store.append(sampleAt(base + 9), profile_, kDeviceKey));
  EXPECT_EQ(timesOf(samplesIn(dayFile(20000))),
            (std::vector<double>{base + 1, base + 2, base + 9}));
}

TEST_F(FullDiskTest, JournalSaveFailsVisiblyAndCatchesUpLater) {
  LocalSettings settings(storage());
  SettingJournal journal(settings);
  SettingRecord first;
  first.id = Uuid::random();
  first.action = "light";
  journal.add(first);
  ASSERT_FALSE(journal.error());
  fs::path file = *journal.url();
  std::string before = plaintextOf(file);

  disk_->fill();
  SettingRecord second = first;
  second.id = Uuid::random();
  journal.add(second);
  EXPECT_TRUE(journal.error());
  EXPECT_EQ(plaintextOf(file), before);
  EXPECT_EQ(entriesIn(file.parent_path()), 2u);  // the journal and "Preferences"

  disk_->free();
  journal.complete(first.id, SettingRecord::Values{{"light", true}},
                   SettingRecord::Result::confirmed);
  EXPECT_FALSE(journal.error());
  auto stored = decodeSettingRecords(plaintextOf(file));
  ASSERT_OK(stored);
  EXPECT_EQ(stored->size(), 2u);
}

}  // namespace
}  // namespace nimbra::testing
