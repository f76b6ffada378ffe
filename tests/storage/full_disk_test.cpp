#include <fcntl.h>
#include <sys/mount.h>

#include "sample_fixture.h"
#include "storage/setting_journal.h"

namespace nimbra::testing {
namespace {

// The application-support directory on a 256 KiB tmpfs that the test fills to the last
// page. Needs root (mount); skipped where mounting is not allowed.
class FullDiskTest : public SampleStoreTest {
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
  size_t entriesIn(const fs::path& dir) {
    return static_cast<size_t>(std::distance(fs::directory_iterator(dir), {}));
  }

  bool mounted_ = false;
};

TEST_F(FullDiskTest, AppendFailsAndLeavesTheDayFileIntact) {
  setToday(20000);
  DeviceStore store = openStore();
  double base = 20000 * kDay;
  ASSERT_OK(store.append(sampleAt(base + 1), profile_, kDeviceKey));
  ASSERT_OK(store.append(sampleAt(base + 2), profile_, kDeviceKey));
  std::string before = plaintextOf(dayFile(20000));

  fillDisk();
  for (int i = 0; i < 3; ++i) {
    EXPECT_FALSE(store.append(sampleAt(base + 3 + i), profile_, kDeviceKey).ok());
  }
  EXPECT_EQ(plaintextOf(dayFile(20000)), before);
  EXPECT_EQ(entriesIn(deviceDir()), 1u);  // no temporary file left behind

  freeDisk();
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

  fillDisk();
  SettingRecord second = first;
  second.id = Uuid::random();
  journal.add(second);
  EXPECT_TRUE(journal.error());
  EXPECT_EQ(plaintextOf(file), before);
  EXPECT_EQ(entriesIn(file.parent_path()), 2u);  // the journal and "Preferences"

  freeDisk();
  journal.complete(first.id, SettingRecord::Values{{"light", true}},
                   SettingRecord::Result::confirmed);
  EXPECT_FALSE(journal.error());
  auto stored = decodeSettingRecords(plaintextOf(file));
  ASSERT_OK(stored);
  EXPECT_EQ(stored->size(), 2u);
}

}  // namespace
}  // namespace nimbra::testing
