// The controller's own writes on a full disk and on a read-only data directory: each failed
// write shows in the screen state, the file keeps its old bytes, and the first write after
// the fault is gone holds everything, including what the failed write was to store.
//
// The stores live on a 256 KiB tmpfs mounted over the test's directory; "read-only"
// remounts it so, which binds root too. Needs root (mount); skipped elsewhere.

#include <fstream>
#include <functional>
#include <optional>

#include <fcntl.h>
#include <gtest/gtest.h>

#include "app/flow_fixture.h"
#include "app/presentation.h"
#include "support/small_disk.h"

namespace nimbra::testing {
namespace {

using nlohmann::json;
namespace fs = std::filesystem;

constexpr auto kPoll = Controller::kDevicePollInterval;
constexpr char kSampleNotSaved[] = "本次采样未能保存到本机数据库。";
constexpr char kArchiveNotSaved[] = "无法读取或保存本机加密历史记录。";

class StoreFaultsTest : public FlowTest {
 protected:
  void SetUp() override {
    FlowTest::SetUp();
    disk_.emplace(base_);
    if (!disk_->mounted()) GTEST_SKIP() << "cannot mount a tmpfs here (needs root)";
  }
  void TearDown() override {
    controller_.reset();
    disk_.reset();
    FlowTest::TearDown();
  }

  static std::string bytesOf(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  }
  // The one day file the device's samples went to today.
  fs::path dayFile() {
    for (const auto& item : fs::recursive_directory_iterator(base_)) {
      if (item.is_regular_file() &&
          item.path().parent_path().parent_path().filename() == DeviceStore::kRootName) {
        return item.path();
      }
    }
    return {};
  }
  size_t storedSamples() {
    Result<DeviceStore> store = DeviceStore::open(storage(), clock_);
    if (!store) return 0;
    auto recent = store->recent(DeviceProfile::iqosIlumaOne(), sha256Hex(kSerial));
    return recent ? recent->size() : 0;
  }
  json settingToggle() {
    bool light = last()["settings"].value("light", false);
    return {{"action", "setting"}, {"key", "light"}, {"value", !light}};
  }

  std::optional<SmallDisk> disk_;
};

TEST_F(StoreFaultsTest, FailedSampleFoldSaysSoAndTheNextFoldStoresIt) {
  loaded();
  connected();
  fs::path file = dayFile();
  ASSERT_FALSE(file.empty());
  for (const SmallDisk::Fault& fault : disk_->faults()) {
    size_t recent = last()["recent"].size();
    std::string before = bytesOf(file);
    fault.on();
    advance(kPoll);
    EXPECT_EQ(last()["storageError"], kSampleNotSaved) << fault.name;
    EXPECT_EQ(last()["recent"].size(), recent) << fault.name;
    EXPECT_EQ(bytesOf(file), before) << fault.name << ": overwritten";
    fault.off();
    advance(kPoll);
    EXPECT_FALSE(last().contains("storageError")) << fault.name;
    EXPECT_EQ(last()["recent"].size(), recent + 1) << fault.name;
    EXPECT_EQ(storedSamples(), recent + 1) << fault.name << ": the next start reads it";
  }
}

TEST_F(StoreFaultsTest, FailedJournalSaveSaysSoAndTheNextSaveHoldsEveryRecord) {
  loaded();
  connected();
  send(settingToggle());
  ASSERT_EQ(last()["settingRecords"].size(), 1u);
  ASSERT_FALSE(last()["settingJournalError"].get<bool>());
  auto journalFile = SettingJournal(LocalSettings(storage())).url();
  ASSERT_TRUE(journalFile);
  size_t records = 1;
  for (const SmallDisk::Fault& fault : disk_->faults()) {
    std::string before = bytesOf(*journalFile);
    fault.on();
    send(settingToggle());
    ++records;
    EXPECT_TRUE(last()["settingJournalError"].get<bool>()) << fault.name;
    EXPECT_EQ(last()["settingRecords"].size(), records) << fault.name << ": kept in memory";
    EXPECT_EQ(bytesOf(*journalFile), before) << fault.name << ": overwritten";
    fault.off();
    send(settingToggle());
    ++records;
    EXPECT_FALSE(last()["settingJournalError"].get<bool>()) << fault.name;
    SettingJournal reopened{LocalSettings(storage())};
    EXPECT_FALSE(reopened.error()) << fault.name;
    EXPECT_EQ(reopened.records().size(), records) << fault.name << ": the failed one too";
  }
}

TEST_F(StoreFaultsTest, FailedArchiveMergeSaysSoAndTheNextReadArchivesTheRecords) {
  loaded();
  auto device = connected(withHistory(2));
  ASSERT_EQ(archive().observations(archiveKey())->value().size(), 2u);
  uint32_t count = 2;
  for (const SmallDisk::Fault& fault : disk_->faults()) {
    std::string before = bytesOf(archiveFile());
    device->history.records[0] = {0, 0, count + 1};
    device->history.entries[{0, count}] = analysableEntry(count);
    ++count;
    fault.on();
    send({{"action", "history"}});
    EXPECT_EQ(last()["historyError"], kArchiveNotSaved) << fault.name;
    EXPECT_EQ(bytesOf(archiveFile()), before) << fault.name << ": overwritten";
    fault.off();
    send({{"action", "history"}});
    EXPECT_FALSE(last().contains("historyError")) << fault.name;
    EXPECT_EQ(archive().observations(archiveKey())->value().size(), count) << fault.name;
    EXPECT_EQ(last()["observations"].size(), count) << fault.name;
  }
}

// Without the error the user would see the new language now and the old one next start.
TEST_F(StoreFaultsTest, FailedPreferencesSaveSaysSoAndTheNextChoiceIsStored) {
  loaded();
  send({{"action", "preferences"}, {"language", "zh"}, {"theme", "dark"}});
  auto stored = [this] {
    return LocalSettings(storage())
        .value<PresentationPreferences>(kPresentationPreferencesKey)
        .value_or(PresentationPreferences{});
  };
  ASSERT_EQ(stored().language, "zh");
  for (const SmallDisk::Fault& fault : disk_->faults()) {
    fault.on();
    send({{"action", "preferences"}, {"language", "en"}, {"theme", "light"}});
    EXPECT_EQ(last()["preferences"]["language"], "en") << fault.name << ": kept for this run";
    EXPECT_EQ(last()["storageError"], Controller::kPreferencesNotSavedMessage) << fault.name;
    EXPECT_EQ(stored().language, "zh") << fault.name << ": overwritten";
    fault.off();
    send({{"action", "preferences"}, {"language", "en"}, {"theme", "dark"}});
    EXPECT_FALSE(last().contains("storageError")) << fault.name;
    EXPECT_EQ(stored().language, "en") << fault.name;
    EXPECT_EQ(stored().theme, "dark") << fault.name;
    send({{"action", "preferences"}, {"language", "zh"}, {"theme", "dark"}});
  }
}

}  // namespace
}  // namespace nimbra::testing
