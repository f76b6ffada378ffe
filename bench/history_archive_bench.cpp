// Cost of the archive operations the controller runs after every history read, on an
// archive of 10,000 records (about 2 MB of JSON). Goal: a merge that adds a record, flush to
// disk included, in at most 75 ms.
#include <filesystem>

#include <benchmark/benchmark.h>

#include "core/clock.h"
#include "core/sha256.h"
#include "storage/history_archive.h"
#include "storage/key_cache.h"
#include "support/temporary_folder.h"

namespace nimbra {
namespace {

namespace fs = std::filesystem;

constexpr int kRecords = 10000;

HistoryPacket makePacket(int position, int salt) {
  std::vector<uint8_t> payload(64);
  for (size_t i = 0; i < payload.size(); ++i) {
    payload[i] = static_cast<uint8_t>(position * 31 + salt * 7 + static_cast<int>(i));
  }
  return HistoryPacket{HistoryEntry{0, position, 64, 18}, std::move(payload)};
}

// One archive on disk for the whole program: every third record carries an observation.
class ArchiveOnDisk {
 public:
  ArchiveOnDisk() : archive_(LocalStorage(folder_.path(), cache_), clock_) {
    std::vector<HistoryPacket> packets;
    for (int i = 0; i < kRecords; ++i) packets.push_back(makePacket(i, 0));
    if (!archive_.merge(packets, id_)) std::abort();
    std::map<std::string, HistoryObservation> observations;
    for (int i = 0; i < kRecords; i += 3) {
      observations[HistoryArchive::entryKey(packets[i])] =
          HistoryObservation{i, clock_.now(), 2, std::string("session"), "use"};
    }
    if (!archive_.attach(observations, id_)) std::abort();
  }

  const HistoryArchive& archive() const { return archive_; }
  // A handle that has read nothing yet, as at the program's start.
  HistoryArchive freshHandle() const {
    return HistoryArchive(LocalStorage(folder_.path(), cache_), clock_);
  }
  const std::string& id() const { return id_; }
  size_t fileSize() const {
    return fs::file_size(folder_.path() / "nimbra-local" / HistoryArchive::fileName(id_));
  }

 private:
  testing::TemporaryFolder folder_{"nimbra-archive-bench"};
  mutable KeyCache cache_;
  SystemClock clock_;
  HistoryArchive archive_;
  std::string id_ = sha256Hex("BENCH-SERIAL");
};

ArchiveOnDisk& shared() {
  static ArchiveOnDisk archive;
  return archive;
}

void BM_MergeAddingOneRecord(benchmark::State& state) {
  ArchiveOnDisk& disk = shared();
  int salt = 1;
  for (auto _ : state) {
    if (!disk.archive().merge({makePacket(salt % 400, salt)}, disk.id())) {
      state.SkipWithError("merge failed");
    }
    ++salt;
  }
  state.counters["fileBytes"] = static_cast<double>(disk.fileSize());
}
BENCHMARK(BM_MergeAddingOneRecord)->Unit(benchmark::kMillisecond);

void BM_MergeOfKnownPackets(benchmark::State& state) {
  ArchiveOnDisk& disk = shared();
  std::vector<HistoryPacket> known;
  for (int i = 0; i < 20; ++i) known.push_back(makePacket(i, 0));
  for (auto _ : state) {
    if (!disk.archive().merge(known, disk.id())) state.SkipWithError("merge failed");
  }
}
BENCHMARK(BM_MergeOfKnownPackets)->Unit(benchmark::kMillisecond);

void BM_Pending(benchmark::State& state) {
  ArchiveOnDisk& disk = shared();
  for (auto _ : state) {
    auto pending = disk.archive().pending(disk.id());
    if (!pending) state.SkipWithError("pending failed");
    benchmark::DoNotOptimize(pending);
  }
}
BENCHMARK(BM_Pending)->Unit(benchmark::kMillisecond);

void BM_Observations(benchmark::State& state) {
  ArchiveOnDisk& disk = shared();
  for (auto _ : state) {
    auto observations = disk.archive().observations(disk.id());
    if (!observations) state.SkipWithError("observations failed");
    benchmark::DoNotOptimize(observations);
  }
}
BENCHMARK(BM_Observations)->Unit(benchmark::kMillisecond);

// The first read after the start: the whole file is opened and decoded.
void BM_FirstLoad(benchmark::State& state) {
  ArchiveOnDisk& disk = shared();
  for (auto _ : state) {
    HistoryArchive fresh = disk.freshHandle();
    auto observations = fresh.observations(disk.id());
    if (!observations || !*observations) state.SkipWithError("load failed");
    benchmark::DoNotOptimize(observations);
  }
}
BENCHMARK(BM_FirstLoad)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace nimbra
