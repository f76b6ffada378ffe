// Every store, killed with SIGKILL while it writes: afterwards its file is the last version
// the writer finished or the one it was writing, complete and readable by a fresh process;
// never torn, never older, never gone.
//
// A child process writes versions 1, 2, 3, … of one store's file. Its storage announces each
// step of a write (create, write, flush, rename, …) before making it; at the n-th step the
// child tells the parent through a pipe and waits to be killed. The parent kills it, reads the
// file as the next start of the program would, and lets the next child go on from what it
// found. The kill points are steps, never moments: first n = 1, 2, 3, … until a child has
// finished two versions before its kill point (every step of a first and of a later version
// has been one), then n drawn from a fixed seed within that range. A slow or busy machine
// makes the same kills.

#include <array>
#include <atomic>
#include <cstdio>
#include <functional>
#include <optional>
#include <random>
#include <string>

#include <poll.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include "sample_fixture.h"
#include "storage/day_file.h"
#include "storage/history_archive.h"
#include "storage/maintenance_records.h"
#include "storage/setting_journal.h"
#include "support/temporary_folder.h"
#include "telemetry/telemetry_outbox.h"

namespace nimbra::testing {
namespace {

constexpr int kKillsPerStore = 100;
// What a user would call a hang: a writer that reaches no step in this time is stuck.
constexpr int kHangMillis = 30000;

constexpr std::array<const char*, 7> kStepNames = {"create", "write",          "flush", "rename",
                                                   "link",   "flushDirectory", "remove"};

// The last version a child finished, shared with the parent.
struct Progress {
  std::atomic<int> finished;
};

// Runs a writer in a child until the parent kills it.
// `write(storage, first, finished)` writes versions first, first + 1, … and calls
// finished(v) after each; it returns only on a failed write (or, for a writer of one
// version, when done).
using Writer = std::function<void(const LocalStorage&, int first, const std::function<void(int)>&)>;

// Where one child was killed.
struct Kill {
  std::optional<WriteStep> step;  // none: the child ended by itself before the n-th step
  int finished = 0;               // the last version it finished (first - 1 if none)
};

class CrashSafetyTest : public SampleStoreTest {
 protected:
  void SetUp() override {
    SampleStoreTest::SetUp();
    // Memory-backed when possible: a kill tests what the process leaves behind, which does
    // not depend on the medium.
    if (fs::exists("/dev/shm")) base_ = memory_.emplace("nimbra-crash-test", "/dev/shm").path();
    void* shared = ::mmap(nullptr, sizeof(Progress), PROT_READ | PROT_WRITE,
                          MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(shared, MAP_FAILED);
    progress_ = new (shared) Progress{};
  }
  void TearDown() override {
    ::munmap(progress_, sizeof(Progress));
    SampleStoreTest::TearDown();
  }

  // Runs one writer from version `first` and kills it just before its `n`-th write step.
  Kill killAtStep(int first, int n, const Writer& write) {
    progress_->finished.store(first - 1);
    int pipe[2];
    EXPECT_EQ(::pipe(pipe), 0);
    pid_t child = ::fork();
    if (child == 0) {
      ::close(pipe[0]);
      int steps = 0;
      KeyCache cache;  // a new process: nothing cached
      LocalStorage storage(base_, cache, [&](WriteStep step) {
        if (++steps < n) return;
        auto code = static_cast<char>(step);
        (void)!::write(pipe[1], &code, 1);
        for (;;) ::pause();  // the parent kills here
      });
      write(storage, first, [this](int version) { progress_->finished.store(version); });
      ::_exit(3);  // ended before the n-th step
    }
    EXPECT_GT(child, 0);
    ::close(pipe[1]);
    Kill kill;
    pollfd ready{pipe[0], POLLIN, 0};
    char code = 0;
    if (::poll(&ready, 1, kHangMillis) != 1) {
      ADD_FAILURE() << "the writer reached no step " << n << " in " << kHangMillis << " ms";
    } else if (::read(pipe[0], &code, 1) == 1) {
      kill.step = static_cast<WriteStep>(code);
    }
    ::close(pipe[0]);
    ::kill(child, SIGKILL);
    int status = 0;
    ::waitpid(child, &status, 0);
    kill.finished = progress_->finished.load();
    ++kills_;
    if (kill.step) ++stepKills_[static_cast<size_t>(*kill.step)];
    return kill;
  }

  // The kill points: n = 1, 2, … while `visit(n)` says the last kill left steps uncovered,
  // then the rest of kKillsPerStore drawn from 1 … the sweep's length; none after stop_.
  template <typename Visit>
  void killAtEveryStepThenRandomly(const Visit& visit) {
    int n = 1;
    while (kills_ < kKillsPerStore && !stop_ && visit(n)) ++n;
    sweep_ = n;
    std::uniform_int_distribution<int> step(1, n);
    while (kills_ < kKillsPerStore && !stop_) visit(step(rng_));
  }

  // Kills a store's writer at every step, then at random steps. `read` gives the version a
  // fresh process finds (or -1 when the file is unreadable); it must be the finished one or
  // the next.
  void killRepeatedly(const char* store, const Writer& write,
                      const std::function<int(const LocalStorage&)>& read) {
    int version = read(freshProcess());
    ASSERT_GE(version, 0) << store << ": the starting file";
    int torn = 0, lost = 0, leftovers = 0;
    killAtEveryStepThenRandomly([&](int n) {
      Kill kill = killAtStep(version + 1, n, write);
      EXPECT_TRUE(kill.step) << store << ": the writer stopped before step " << n
                             << ": a write failed";
      int found = read(freshProcess());
      leftovers += removeLeftovers();
      if (found < 0) ++torn;
      if (found >= 0 && found < kill.finished) ++lost;
      EXPECT_TRUE(found == kill.finished || found == kill.finished + 1)
          << store << ": found version " << found << " after finishing " << kill.finished
          << ", killed before step " << n;
      bool sweeping = kill.finished < version + 2;  // a first and a later version not yet done
      version = found;
      stop_ = version < 0;  // a torn file: nothing to go on from
      return sweeping && kill.step.has_value();
    });
    std::printf(
        "[ kills    ] %s: %d kills (steps 1-%d each once, then random), %d versions written, "
        "%d torn, %d lost, %d temporaries removed; at %s\n",
        store, kills_, sweep_, version, torn, lost, leftovers, stepCounts().c_str());
    ASSERT_GE(version, 0) << store;
    // The cleanup took only temporaries: the store still reads as it did.
    EXPECT_EQ(read(freshProcess()), version) << store;
    RecordProperty("kills", kills_);
    EXPECT_GT(version, 0) << store << ": the writer made progress between kills";
  }

  // "create 12, write 12, …": the steps the kills happened before.
  std::string stepCounts() const {
    std::string text;
    for (size_t i = 0; i < kStepNames.size(); ++i) {
      if (stepKills_[i] == 0) continue;
      if (!text.empty()) text += ", ";
      text += std::string(kStepNames[i]) + " " + std::to_string(stepKills_[i]);
    }
    return text;
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
  std::optional<TemporaryFolder> memory_;  // the data folder in memory, where there is one
  std::mt19937 rng_{20261208};
  int kills_ = 0;
  int sweep_ = 0;
  bool stop_ = false;
  std::array<int, kStepNames.size()> stepKills_{};
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
  killRepeatedly("sample store", write, read);
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
  killRepeatedly("history archive", write, read);
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
  killRepeatedly("setting journal", write, read);
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
  killRepeatedly("maintenance records", write, read);
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
  killRepeatedly("local settings", write, read);
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
  killRepeatedly("telemetry outbox", write, read);
}

// The key is made once; a kill during its creation may leave no key (and then no data file)
// or the whole key, and a ".key-" temporary at worst. The next start must be able to write
// and read, with the one key that exists.
TEST_F(CrashSafetyTest, KeyCreation) {
  int withKey = 0, withoutKey = 0;
  killAtEveryStepThenRandomly([&](int n) {
    fs::remove_all(base_);
    fs::create_directories(base_);
    Kill kill = killAtStep(
        1, n, [&](const LocalStorage& storage, int, const std::function<void(int)>& done) {
          if (storage.writeSealed("first", dataDir() / "probe.json")) done(1);
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
      EXPECT_TRUE(first.ok() && *first == "first") << "killed before step " << n;
    }
    Status written = freshProcess().writeSealed("again", dataDir() / "probe.json");
    EXPECT_OK(written);
    auto again = freshProcess().readSealed(dataDir() / "probe.json");
    EXPECT_TRUE(again.ok() && *again == "again") << "killed before step " << n;
    return kill.step.has_value();  // past the last step the write finished unharmed
  });
  std::printf(
      "[ kills    ] key creation: %d kills (steps 1-%d each once, then random), %d left a key, "
      "%d left none; at %s\n",
      kills_, sweep_ - 1, withKey, withoutKey, stepCounts().c_str());
  RecordProperty("kills", kills_);
}

}  // namespace
}  // namespace nimbra::testing
