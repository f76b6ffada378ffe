// Every store, killed with SIGKILL at random moments while it writes: afterwards its file is
// the last version the writer finished or the one it was writing, complete and readable by
// a fresh process; never torn, never older, never gone.
//
// A child process writes versions 1, 2, 3, … of one store's file and reports each finished
// version in shared memory; the parent kills it after a random delay (fixed seeds), reads
// the file as the next start of the program would, and lets the next child go on from what
// it found. Each store gets a bounded number of kills and a bounded time.

#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <random>

#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>

#include "sample_fixture.h"
#include "storage/day_file.h"
#include "storage/history_archive.h"
#include "storage/maintenance_records.h"
#include "storage/setting_journal.h"
#include "telemetry/telemetry_outbox.h"

namespace nimbra::testing {
namespace {

constexpr int kKillsPerStore = 150;
constexpr auto kTimePerStore = std::chrono::seconds(4);

// What one child reports to the parent.
struct Progress {
  std::atomic<int> finished;
};

// Runs a writer in a child until the parent kills it.
// `write(storage, first, finished)` writes versions first, first + 1, … and calls
// finished(v) after each; it returns only on a failed write.
using Writer = std::function<void(const LocalStorage&, int first, const std::function<void(int)>&)>;

class CrashSafetyTest : public SampleStoreTest {
 protected:
  void SetUp() override {
    SampleStoreTest::SetUp();
    // Memory-backed when possible: a kill tests what the process leaves behind, which does
    // not depend on the medium, and many fsyncs on a disk would cost the time budget.
    if (fs::exists("/dev/shm")) {
      fs::remove_all(base_);
      base_ = fs::path("/dev/shm") / ("nimbra-crash-test-" + Uuid::random().text());
      fs::create_directories(base_);
    }
    void* shared = ::mmap(nullptr, sizeof(Progress), PROT_READ | PROT_WRITE,
                          MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(shared, MAP_FAILED);
    progress_ = new (shared) Progress{};
  }
  void TearDown() override {
    ::munmap(progress_, sizeof(Progress));
    SampleStoreTest::TearDown();
  }

  // Kills one writer started at version `first` after a random delay of up to
  // `maxDelayMicros`; returns the last version it finished (first - 1 if none).
  int killOnce(int first, int maxDelayMicros, const Writer& write) {
    progress_->finished.store(first - 1);
    pid_t child = ::fork();
    if (child == 0) {
      KeyCache cache;  // a new process: nothing cached
      LocalStorage storage(base_, cache);
      write(storage, first, [this](int version) { progress_->finished.store(version); });
      ::_exit(3);  // a write failed
    }
    EXPECT_GT(child, 0);
    std::uniform_int_distribution<int> delay(0, maxDelayMicros);
    ::usleep(static_cast<useconds_t>(delay(rng_)));
    ::kill(child, SIGKILL);
    int status = 0;
    ::waitpid(child, &status, 0);
    EXPECT_TRUE(WIFSIGNALED(status)) << "the writer stopped by itself: a write failed";
    ++kills_;
    return progress_->finished.load();
  }

  // Repeats kills until the budget is spent. `read` gives the version a fresh process finds
  // (or -1 when the file is unreadable); it must be the finished one or the next.
  void killRepeatedly(const char* store, int maxDelayMicros, const Writer& write,
                      const std::function<int(const LocalStorage&)>& read) {
    const auto start = std::chrono::steady_clock::now();
    int version = read(freshProcess());
    ASSERT_GE(version, 0) << store << ": the starting file";
    int torn = 0, lost = 0, leftovers = 0;
    while (kills_ < kKillsPerStore && std::chrono::steady_clock::now() - start < kTimePerStore) {
      int finished = killOnce(version + 1, maxDelayMicros, write);
      int found = read(freshProcess());
      leftovers += removeLeftovers();
      if (found < 0) ++torn;
      if (found >= 0 && found < finished) ++lost;
      EXPECT_TRUE(found == finished || found == finished + 1)
          << store << ": found version " << found << " after finishing " << finished;
      if (found < 0) return;
      version = found;
    }
    std::printf(
        "[ kills    ] %s: %d kills, %d versions written, %d torn, %d lost, %d temporaries "
        "removed\n",
        store, kills_, version, torn, lost, leftovers);
    // The cleanup took only temporaries: the store still reads as it did.
    EXPECT_EQ(read(freshProcess()), version) << store;
    RecordProperty("kills", kills_);
    EXPECT_GT(version, 0) << store << ": the writer made progress between kills";
  }

  // Start-up's cleanup of what killed writes left; afterwards no dot-named file of the
  // temporary form may remain anywhere in the data directory.
  int removeLeftovers() {
    Result<int> removed = freshProcess().removeAbandonedTemporaries();
    EXPECT_TRUE(removed) << removed.error().message;
    for (const auto& entry : fs::recursive_directory_iterator(dataDir())) {
      std::string name = entry.path().filename().string();
      EXPECT_FALSE(name.size() > 37 && name[0] == '.' && name[name.size() - 37] == '.')
          << "left behind: " << entry.path();
    }
    return removed ? *removed : 0;
  }

  Progress* progress_ = nullptr;
  std::mt19937 rng_{20261208};
  int kills_ = 0;
};

HistoryPacket packetAt(int position) {
  std::vector<uint8_t> payload(40, static_cast<uint8_t>(position));
  return HistoryPacket{HistoryEntry{0, position, 40, 18}, std::move(payload)};
}

TEST_F(CrashSafetyTest, SampleStore) {
  setToday(20000);
  const double base = 20000 * kDay;
  { ASSERT_OK(DeviceStore::open(storage(), clock_)); }
  auto write = [&](const LocalStorage& storage, int first, const std::function<void(int)>& done) {
    auto store = DeviceStore::open(storage, clock_);
    if (!store) return;
    for (int v = first;; ++v) {
      if (!store->append(sampleAt(base + v), profile_, kDeviceKey)) return;
      done(v);
    }
  };
  auto read = [&](const LocalStorage& storage) {
    auto samples = loadDayFile(storage, dayFile(20000));
    if (!samples) return -1;
    for (size_t i = 0; i < samples->size(); ++i) {
      if ((*samples)[i].observedAt != base + static_cast<double>(i + 1)) return -1;
    }
    return static_cast<int>(samples->size());
  };
  killRepeatedly("sample store", 3000, write, read);
}

TEST_F(CrashSafetyTest, HistoryArchive) {
  const std::string id(64, 'a');
  ASSERT_OK(HistoryArchive(storage(), clock_).merge({}, id));
  auto write = [&](const LocalStorage& storage, int first, const std::function<void(int)>& done) {
    HistoryArchive archive(storage, clock_);
    for (int v = first;; ++v) {
      if (!archive.merge({packetAt(v)}, id)) return;
      done(v);
    }
  };
  auto read = [&](const LocalStorage& storage) {
    auto pending = HistoryArchive(storage, clock_).pending(id);
    if (!pending) return -1;
    std::set<int> positions;
    for (const auto& record : *pending) positions.insert(record.packet.entry.position);
    int count = static_cast<int>(positions.size());
    if (count > 0 && (*positions.begin() != 1 || *positions.rbegin() != count)) return -1;
    return count;
  };
  killRepeatedly("history archive", 3000, write, read);
}

TEST_F(CrashSafetyTest, SettingJournal) {
  { SettingJournal opened{LocalSettings(storage())}; }  // writes the empty journal
  auto record = [](int v) {
    SettingRecord r;
    r.id = Uuid::random();
    r.time = dateFromSecondsSince1970(1780000000 + v);
    r.action = "light";
    r.requested = v % 2 == 0;
    return r;
  };
  auto write = [&](const LocalStorage& storage, int first, const std::function<void(int)>& done) {
    SettingJournal journal{LocalSettings(storage)};
    if (!journal.readable()) return;
    for (int v = first;; ++v) {
      journal.add(record(v));
      if (journal.error()) return;
      done(v);
    }
  };
  auto read = [&](const LocalStorage& storage) {
    SettingJournal journal{LocalSettings(storage)};
    if (journal.error() || !journal.readable()) return -1;
    int count = static_cast<int>(journal.records().size());
    for (int i = 0; i < count; ++i) {  // newest first: count, count - 1, …, 1
      if (journal.records()[i].time != dateFromSecondsSince1970(1780000000 + count - i)) return -1;
    }
    return count;
  };
  killRepeatedly("setting journal", 3000, write, read);
}

TEST_F(CrashSafetyTest, MaintenanceRecords) {
  auto write = [&](const LocalStorage& storage, int first, const std::function<void(int)>& done) {
    LocalSettings settings(storage);
    std::vector<MaintenanceRecord> list = loadMaintenanceRecords(settings);
    for (int v = first;; ++v) {
      addMaintenanceRecord(list, {MaintenanceRecord::Action::reset, static_cast<double>(v)},
                           settings);
      done(v);  // storing is silent; the read below tells whether it happened
    }
  };
  auto read = [&](const LocalStorage& storage) {
    LocalSettings settings(storage);
    auto file = settings.fileFor(kMaintenanceRecordsKey);
    if (!file) return -1;
    if (fs::exists(*file) && !settings.bytesValue(kMaintenanceRecordsKey)) return -1;
    std::vector<MaintenanceRecord> list = loadMaintenanceRecords(settings);
    int count = static_cast<int>(list.size());
    for (int i = 0; i < count; ++i) {
      if (list[i].startedAt != count - i) return -1;
    }
    return count;
  };
  killRepeatedly("maintenance records", 3000, write, read);
}

TEST_F(CrashSafetyTest, LocalSettingsValue) {
  constexpr char kKey[] = "ZuvoCrashTest";
  const std::string padding(4000, 'x');  // a value of some size, so a write takes a while
  LocalSettings(storage()).set(std::string("0:") + padding, kKey);
  auto write = [&](const LocalStorage& storage, int first, const std::function<void(int)>& done) {
    LocalSettings settings(storage);
    for (int v = first;; ++v) {
      settings.set(std::to_string(v) + ":" + padding, kKey);
      done(v);
    }
  };
  auto read = [&](const LocalStorage& storage) {
    auto value = LocalSettings(storage).value<std::string>(kKey);
    if (!value) return -1;
    size_t colon = value->find(':');
    if (colon == std::string::npos || value->substr(colon + 1) != padding) return -1;
    return std::stoi(value->substr(0, colon));
  };
  killRepeatedly("local settings", 3000, write, read);
}

TEST_F(CrashSafetyTest, TelemetryOutbox) {
  auto event = [](int v) {
    TelemetryEvent e;
    e.id = Uuid::random();
    e.installId = e.sessionId = Uuid::random();
    e.occurredAt = v;
    e.kind = "module";
    e.module = "home";
    e.language = "zh-Hans";
    e.os = "Linux";
    e.appBuild = "1";
    return e;
  };
  ASSERT_OK(TelemetryOutbox(storage()).save({}));
  auto write = [&](const LocalStorage& storage, int first, const std::function<void(int)>& done) {
    TelemetryOutbox outbox(storage);
    auto events = outbox.load();
    if (!events) return;
    for (int v = first;; ++v) {
      events->push_back(event(v));
      if (!outbox.save(*events)) return;
      done(v);
    }
  };
  auto read = [&](const LocalStorage& storage) {
    auto events = TelemetryOutbox(storage).load();
    if (!events) return -1;
    for (size_t i = 0; i < events->size(); ++i) {
      if ((*events)[i].occurredAt != static_cast<double>(i + 1)) return -1;
    }
    return static_cast<int>(events->size());
  };
  killRepeatedly("telemetry outbox", 3000, write, read);
}

// The key is made once; a kill during its creation may leave no key (and then no data file)
// or the whole key, and a ".key-" temporary at worst. The next start must be able to write
// and read, with the one key that exists.
TEST_F(CrashSafetyTest, KeyCreation) {
  const auto start = std::chrono::steady_clock::now();
  int withKey = 0, withoutKey = 0;
  while (kills_ < kKillsPerStore && std::chrono::steady_clock::now() - start < kTimePerStore) {
    fs::remove_all(base_);
    fs::create_directories(base_);
    killOnce(1, 1500, [&](const LocalStorage& storage, int, const std::function<void(int)>& done) {
      if (!storage.writeSealed("first", dataDir() / "probe.json")) return;
      done(1);
      ::pause();
    });
    if (fs::exists(keyFile())) {
      ++withKey;
      EXPECT_EQ(fs::file_size(keyFile()), 32u);
      EXPECT_EQ(modeOf(keyFile()), 0600u);
    } else {
      ++withoutKey;
      EXPECT_FALSE(fs::exists(dataDir() / "probe.json")) << "a data file without its key";
    }
    if (fs::exists(dataDir() / "probe.json")) {
      auto first = freshProcess().readSealed(dataDir() / "probe.json");
      EXPECT_TRUE(first.ok() && *first == "first") << "kill " << kills_;
    }
    LocalStorage next = freshProcess();
    ASSERT_OK(next.writeSealed("again", dataDir() / "probe.json"));
    auto again = freshProcess().readSealed(dataDir() / "probe.json");
    ASSERT_TRUE(again.ok() && *again == "again") << "kill " << kills_;
  }
  std::printf("[ kills    ] key creation: %d kills, %d left a key, %d left none\n", kills_, withKey,
              withoutKey);
  RecordProperty("kills", kills_);
}

}  // namespace
}  // namespace nimbra::testing
