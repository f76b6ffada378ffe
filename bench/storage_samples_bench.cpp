// Sample store costs at full size: a day file of 17,280 samples (one every 5 s, ~5 MB of
// JSON), and what an append of it costs the main thread. Run by hand:
// build/default/bench/storage_samples_bench
#include <chrono>
#include <filesystem>
#include <optional>

#include <benchmark/benchmark.h>

#include "app/sample_writer.h"
#include "core/clock.h"
#include "core/dates.h"
#include "core/manual_main_queue.h"
#include "storage/day_file.h"
#include "storage/device_store.h"
#include "storage/key_cache.h"
#include "storage/local_storage.h"
#include "storage/sample_codec.h"
#include "support/temporary_folder.h"

namespace nimbra {
namespace {

namespace fs = std::filesystem;

constexpr double kDay = 86400.0;
constexpr int64_t kToday = 20500;
constexpr int kSamplesPerDay = 17280;
constexpr char kKey[] = "9f86d081884c7d659a2feaa0c55ad015a3bf4f1b2b0b822cd15d6c15b0f00a08";

DeviceSample reading(double observedAt) {
  DeviceSample sample;
  sample.observedAt = observedAt;
  sample.battery = 87;
  sample.voltageADC = 3987;
  sample.temperatureRaw = 2211;
  sample.processCount = 1234;
  sample.cumulativePuffCount = 45678;
  sample.firmware = "v1.2.3-build-0042";
  sample.engine = "E0123456789";
  sample.settings = {{"light", true},   {"flex", false}, {"auto", true},
                     {"gesture", true}, {"v0", true},    {"v1", false},
                     {"v2", true},      {"v3", false},   {"lock", false}};
  return sample;
}

// A data directory with `days` full day files ending today, written directly.
class Fixture {
 public:
  explicit Fixture(int days)
      : storage_(folder_.path(), cache_),
        clock_(dateFromSecondsSince1970(kToday * kDay + kDay - 1)) {
    auto store = DeviceStore::open(storage_, clock_);
    fs::path dir = store->root() / (std::string("iqos-m0033-usb-hid-") + kKey);
    fs::create_directories(dir);
    for (int64_t day = kToday - days + 1; day <= kToday; ++day) {
      std::vector<DeviceSample> samples;
      samples.reserve(kSamplesPerDay);
      for (int i = 0; i < kSamplesPerDay; ++i) samples.push_back(reading(day * kDay + i * 5.0));
      (void)saveDayFile(storage_, dir / (std::to_string(day) + ".json"), samples);
    }
  }

  DeviceStore open() { return std::move(DeviceStore::open(storage_, clock_)).value(); }

 private:
  testing::TemporaryFolder folder_{"nimbra-bench"};
  KeyCache cache_;
  LocalStorage storage_;
  FakeClock clock_;
};

// One append into a day already holding a full day of samples (the load happens before the
// timed loop). Wall time includes the flush to disk.
void BM_AppendToFullDay(benchmark::State& state) {
  Fixture fixture(1);
  DeviceStore store = fixture.open();
  DeviceProfile profile = DeviceProfile::iqosIlumaOne();
  double at = kToday * kDay + kSamplesPerDay * 5.0 - 4.5;
  if (!store.append(reading(at), profile, kKey).ok()) state.SkipWithError("first append failed");
  for (auto _ : state) {
    at += 0.001;
    if (!store.append(reading(at), profile, kKey).ok()) state.SkipWithError("append failed");
  }
}
BENCHMARK(BM_AppendToFullDay)->UseRealTime()->Unit(benchmark::kMillisecond)->MinTime(2.0);

// What one append at a full day keeps the main thread busy for, through the sample writer the
// controller uses: at once (arg 0, all of it: encode, seal, write, flush, recent) or with the
// writer's own thread (arg 1: handing the sample over, then taking the outcome back). The
// counter "outcome_ms" is the time from the append to its outcome on the main queue.
void BM_MainThreadAppendAtFullDay(benchmark::State& state) {
  using Clock = std::chrono::steady_clock;
  const bool ownThread = state.range(0) != 0;
  Fixture fixture(1);
  ManualMainQueue queue;
  SampleWriter writer(queue, ownThread);
  writer.open(fixture.open());
  DeviceProfile profile = DeviceProfile::iqosIlumaOne();
  double at = kToday * kDay + kSamplesPerDay * 5.0 - 4.5;
  std::vector<DeviceSample> shown;
  Clock::duration outcomes{};
  for (auto _ : state) {
    at += 0.001;
    bool heard = false;
    Clock::duration taking{};
    const Clock::time_point start = Clock::now();
    writer.append(reading(at), profile, kKey, [&](SampleWriter::Outcome outcome) {
      const Clock::time_point taken = Clock::now();
      if (!outcome.appended || !outcome.recent) state.SkipWithError("append failed");
      if (outcome.recent) shown = std::move(*outcome.recent);
      heard = true;
      taking = Clock::now() - taken;
    });
    const Clock::duration handing = Clock::now() - start;
    if (!queue.runUntil([&] { return heard; })) state.SkipWithError("no outcome");
    outcomes += Clock::now() - start;
    // At once, the outcome is taken inside append(), so its time is in `handing` already.
    const Clock::duration mainThread = ownThread ? handing + taking : handing;
    state.SetIterationTime(std::chrono::duration<double>(mainThread).count());
  }
  state.counters["outcome_ms"] =
      benchmark::Counter(std::chrono::duration<double, std::milli>(outcomes).count() /
                         static_cast<double>(state.iterations()));
}
BENCHMARK(BM_MainThreadAppendAtFullDay)
    ->Arg(0)
    ->Arg(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->MinTime(2.0);

// The first append of a run: prune, load and decode the full day file, then append.
void BM_FirstAppendLoadsFullDay(benchmark::State& state) {
  Fixture fixture(1);
  DeviceProfile profile = DeviceProfile::iqosIlumaOne();
  double at = kToday * kDay + kSamplesPerDay * 5.0 - 4.5;
  for (auto _ : state) {
    state.PauseTiming();
    DeviceStore store = fixture.open();
    at += 0.001;
    state.ResumeTiming();
    if (!store.append(reading(at), profile, kKey).ok()) state.SkipWithError("append failed");
  }
}
BENCHMARK(BM_FirstAppendLoadsFullDay)->UseRealTime()->Unit(benchmark::kMillisecond);

// `recent` early in a day (one sample today, yesterday full), as each poll asks after its
// append: arg 0 from a fresh store each time (yesterday's file read and decoded, what every
// poll of a day's first 30 paid while the store did not keep other days' tails), arg 1 asked
// again of the same store.
void BM_RecentEarlyInTheDay(benchmark::State& state) {
  Fixture fixture(1);
  DeviceProfile profile = DeviceProfile::iqosIlumaOne();
  const double tomorrow = (kToday + 1) * kDay + 1.0;
  std::optional<DeviceStore> store;
  auto reopen = [&] {
    store.emplace(fixture.open());
    if (!store->append(reading(tomorrow), profile, kKey).ok()) state.SkipWithError("append");
  };
  reopen();
  for (auto _ : state) {
    if (state.range(0) == 0) {
      state.PauseTiming();
      reopen();
      state.ResumeTiming();
    }
    auto recent = store->recent(profile, kKey);
    if (!recent.ok() || recent->size() != 30) state.SkipWithError("recent failed");
    benchmark::DoNotOptimize(recent);
  }
}
BENCHMARK(BM_RecentEarlyInTheDay)->Arg(0)->Arg(1)->UseRealTime()->Unit(benchmark::kMillisecond);

// `recent` from a fresh store over 31 full days: reads only the newest day file.
void BM_RecentOver31FullDays(benchmark::State& state) {
  Fixture fixture(31);
  DeviceStore store = fixture.open();
  DeviceProfile profile = DeviceProfile::iqosIlumaOne();
  for (auto _ : state) {
    auto recent = store.recent(profile, kKey);
    if (!recent.ok() || recent->size() != 30) state.SkipWithError("recent failed");
    benchmark::DoNotOptimize(recent);
  }
}
BENCHMARK(BM_RecentOver31FullDays)->UseRealTime()->Unit(benchmark::kMillisecond);

std::vector<DeviceSample> fullDay() {
  std::vector<DeviceSample> samples;
  samples.reserve(kSamplesPerDay);
  for (int i = 0; i < kSamplesPerDay; ++i) samples.push_back(reading(kToday * kDay + i * 5.0));
  return samples;
}

// The codec alone, on warm buffers: what loading and switching days cost besides I/O.
void BM_DecodeFullDay(benchmark::State& state) {
  std::string text = encodeSampleArray(fullDay());
  for (auto _ : state) {
    auto samples = decodeSampleArray(text);
    if (!samples.ok() || samples->size() != kSamplesPerDay) state.SkipWithError("decode failed");
    benchmark::DoNotOptimize(samples);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_DecodeFullDay)->UseRealTime()->Unit(benchmark::kMillisecond);

void BM_EncodeFullDay(benchmark::State& state) {
  std::vector<DeviceSample> samples = fullDay();
  for (auto _ : state) benchmark::DoNotOptimize(encodeSampleArray(samples));
}
BENCHMARK(BM_EncodeFullDay)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace nimbra

BENCHMARK_MAIN();
