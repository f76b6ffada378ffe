// Main-thread cost of the controller's per-read flows at full size, each through the
// controller's own path (goal: under 16 ms, one frame at 60 Hz):
// - BM_FoldAndAppendAtFullDay: one publish that folds a new read and appends it to a day file
//   already holding 17,280 samples (one every 5 s), including the recent list and the render;
//   with the day file written on the main thread (/0) or on the sample writer's thread (/1).
// - BM_HistoryReadArchiveWork: one history read's result at 10,000 archived records: the
//   merge of a snapshot with one new record (which rewrites the archive), the pending list,
//   and the publish that reloads the observations.
// - BM_HistoryReadNothingNew: the same when every record read is archived already.

#include <chrono>
#include <ctime>
#include <filesystem>
#include <memory>

#include <benchmark/benchmark.h>

#include "app/controller.h"
#include "controller_world.h"
#include "core/dates.h"
#include "core/sha256.h"
#include "storage/day_file.h"

namespace nimbra {

class ControllerPeer {
 public:
  static void setReady(Controller& c, bool ready) { c.ready_ = ready; }
  static std::optional<double> lastObservedAt(const Controller& c) {
    const std::optional<DeviceSample>& sample = c.samples_.lastSample();
    return sample ? std::optional<double>(sample->observedAt) : std::nullopt;
  }
  static size_t observationCount(const Controller& c) {
    return c.history_.observations() ? c.history_.observations()->size() : 0;
  }
  static size_t samplesBeingWritten(const Controller& c) { return c.samples_.writer_.pending(); }
  static void historyRead(Controller& c, const HistorySnapshot& snapshot) {
    c.history_.historyReadFinished(c.model_->selected(), snapshot, c.connectionId_);
  }
};

namespace {

constexpr char kSerial[] = "BENCH00000001";
constexpr int kSamplesPerDay = 17280;
constexpr int kArchived = 10000;

std::vector<uint8_t> payload(int position) {
  std::vector<uint8_t> bytes(40, static_cast<uint8_t>(position));
  bytes[0] = 0x92;
  bytes[1] = static_cast<uint8_t>(position >> 8);
  return bytes;
}

using World = bench::ControllerWorld;

// 23:00 UTC of one day, so a full day of samples lies before it; appends still being written
// count as unsettled.
World::Options atLateEvening(std::function<void(World&)> prepare, bool writerThread = false) {
  return {.device = sim::ilumaOne(kSerial),
          .start = Date{} + std::chrono::hours(24 * 365 * 56 + 23),
          .prepare = std::move(prepare),
          .writerThread = writerThread,
          .quiet = [](const Controller& c) { return ControllerPeer::samplesBeingWritten(c) == 0; }};
}

void fillToday(World& world) {
  Result<DeviceStore> store = DeviceStore::open(world.storage(), world.clock);
  DeviceProfile profile = DeviceProfile::iqosIlumaOne();
  Result<std::string> directory =
      deviceDirectoryName(profile.brand, profile.model, profile.transport, sha256Hex(kSerial));
  double now = secondsSince1970(world.clock.now());
  Result<std::string> day = dayFileNameOf(now);
  std::filesystem::path folder = store->root() / *directory;
  std::filesystem::create_directories(folder);
  std::filesystem::permissions(folder, std::filesystem::perms::owner_all);
  double start = now - 23 * 3600.0;
  std::vector<DeviceSample> samples(kSamplesPerDay);
  for (int i = 0; i < kSamplesPerDay; ++i) {
    samples[i].observedAt = start + 4.5 * i;
    samples[i].battery = 80;
    samples[i].voltageADC = 3950;
    samples[i].temperatureRaw = 25;
    samples[i].firmware = "2.4.1";
    samples[i].engine = "1.9.3";
    samples[i].settings = {{"light", true}, {"flex", true},  {"gesture", true},
                           {"auto", false}, {"lock", false}, {"v0", true},
                           {"v1", false},   {"v2", true},    {"v3", false}};
  }
  (void)saveDayFile(world.storage(), folder / *day, samples);
}

// Arg 0: the day file written on the main thread; 1: on the sample writer's thread, as the
// program does (the write's outcome is taken in the untimed part).
void BM_FoldAndAppendAtFullDay(benchmark::State& state) {
  World world(atLateEvening(fillToday, state.range(0) != 0));
  Controller& controller = *world.controller;
  for (auto _ : state) {
    state.PauseTiming();
    // A new read, its publish held back so only the timed publish folds it.
    ControllerPeer::setReady(controller, false);
    world.clock.advance(std::chrono::seconds(5));
    controller.model().refresh(false);
    world.settle();
    ControllerPeer::setReady(controller, true);
    std::optional<double> before = ControllerPeer::lastObservedAt(controller);
    state.ResumeTiming();
    controller.publish();
    if (ControllerPeer::lastObservedAt(controller) == before) {
      state.SkipWithError("the read was not folded");
      break;
    }
  }
  state.counters["recent"] = static_cast<double>(controller.screenState().recent.size());
  if (controller.screenState().storageError) state.SkipWithError("the store failed");
}
BENCHMARK(BM_FoldAndAppendAtFullDay)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->Iterations(50);

// One idle poll as the program runs it, at a full day: the 5 s timer, the status read's result,
// the fold, the hand-over of the day file to the sample writer's thread, the history check's
// result and every publish with its encoded state. Timed is the main thread's own CPU time
// (CLOCK_THREAD_CPUTIME_ID), not the waits for the device and writer threads; counters:
// "renders" and "distinct" states per poll.
void BM_IdlePollMainThread(benchmark::State& state) {
  World world(atLateEvening(fillToday, true));
  auto threadSeconds = [] {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
  };
  const size_t renders = world.page->renderCount;
  const size_t distinct = world.page->distinctRenders;
  for (auto _ : state) {
    const double start = threadSeconds();
    world.clock.advance(Controller::kDevicePollInterval);
    world.queue.advance(Controller::kDevicePollInterval);
    world.settle();
    state.SetIterationTime(threadSeconds() - start);
  }
  const auto perPoll = [&](size_t count) {
    return static_cast<double>(count) / static_cast<double>(state.iterations());
  };
  state.counters["renders"] = perPoll(world.page->renderCount - renders);
  state.counters["distinct"] = perPoll(world.page->distinctRenders - distinct);
  if (world.controller->screenState().storageError) state.SkipWithError("the store failed");
}
BENCHMARK(BM_IdlePollMainThread)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(40);

void fillArchive(World& world) {
  HistoryArchive::Records records;
  for (int i = 0; i < kArchived; ++i) {
    HistoryPacket packet{{0, i, 40, 18}, payload(i)};
    HistoryArchive::Entry entry{0, 18, i, packet.payload, world.clock.now(), std::nullopt};
    entry.observation =
        HistoryObservation{i, world.clock.now(), i % 5, "stick_completed", "session"};
    records.emplace(HistoryArchive::entryKey(packet), entry);
  }
  std::filesystem::path file =
      *world.storage().localDirectory() / HistoryArchive::fileName(sha256Hex(kSerial));
  (void)world.storage().writeSealed(HistoryArchive::encode(records), file);
}

void BM_HistoryReadArchiveWork(benchmark::State& state) {
  World world(atLateEvening(fillArchive));
  Controller& controller = *world.controller;
  HistorySnapshot snapshot;
  snapshot.catalog = std::vector<uint8_t>(34, 0);
  for (int i = kArchived - 200; i < kArchived; ++i) {
    snapshot.packets.push_back({{0, i, 40, 18}, payload(i)});
  }
  snapshot.archiveCount = 201;
  snapshot.directoryCount = 2;
  snapshot.packets.push_back({{1, 0, 40, 3}, payload(0)});
  int position = 0;
  for (auto _ : state) {
    // One record the archive has not seen (directory 1: nothing to analyse), so the merge
    // writes and the observations are reloaded.
    snapshot.packets.back().entry.position = ++position;
    snapshot.packets.back().payload[2] = static_cast<uint8_t>(position);
    snapshot.packets.back().payload[3] = static_cast<uint8_t>(position >> 8);
    ControllerPeer::historyRead(controller, snapshot);
  }
  state.counters["observations"] =
      static_cast<double>(ControllerPeer::observationCount(controller));
  if (controller.screenState().historyError) state.SkipWithError("the archive failed");
}
BENCHMARK(BM_HistoryReadArchiveWork)->Unit(benchmark::kMillisecond)->Iterations(30);

// The common case: a changed catalogue whose records are all archived already, so nothing is
// written and the pending list comes from the records kept in memory.
void BM_HistoryReadNothingNew(benchmark::State& state) {
  World world(atLateEvening(fillArchive));
  Controller& controller = *world.controller;
  HistorySnapshot snapshot;
  snapshot.catalog = std::vector<uint8_t>(34, 0);
  for (int i = kArchived - 200; i < kArchived; ++i) {
    snapshot.packets.push_back({{0, i, 40, 18}, payload(i)});
  }
  snapshot.archiveCount = 200;
  snapshot.directoryCount = 1;
  for (auto _ : state) ControllerPeer::historyRead(controller, snapshot);
  state.counters["observations"] =
      static_cast<double>(ControllerPeer::observationCount(controller));
  if (controller.screenState().historyError) state.SkipWithError("the archive failed");
}
BENCHMARK(BM_HistoryReadNothingNew)->Unit(benchmark::kMillisecond)->Iterations(30);

}  // namespace
}  // namespace nimbra
