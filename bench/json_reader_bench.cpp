// The two JSON readers of the stores, side by side, on the two documents read on the main
// thread: the history archive's first load (10,000 records, about 2 MB) and a full day file
// (17,280 samples, about 5 MB). Goal: each read within one 16 ms frame.
//
// "Decode" is what the program runs today: RapidJSON's event reader feeding the store's
// decoder. "Events" feeds a handler that only counts, so it measures a reader alone:
// RapidJSON's (readJsonEvents) against nlohmann's SAX parser (readJsonEventsExactly). A
// decoder on nlohmann's SAX parser alone would take about Decode - RapidJsonEvents +
// NlohmannEvents. NlohmannTree, json::parse into a tree, is for scale.
//
//   build/default/bench/json_reader_bench --benchmark_out_format=json
//       --benchmark_out=json-readers.json
#include <filesystem>
#include <string>

#include <benchmark/benchmark.h>
#include <nlohmann/json.hpp>

#include "core/clock.h"
#include "core/sha256.h"
#include "storage/history_archive.h"
#include "storage/json_event_reader.h"
#include "storage/key_cache.h"
#include "storage/local_storage.h"
#include "storage/sample_codec.h"
#include "support/temporary_folder.h"

namespace nimbra {
namespace {

namespace fs = std::filesystem;

constexpr int kArchiveRecords = 10000;
constexpr int kSamplesPerDay = 17280;

// Counts what it is fed and keeps nothing: the cost left is the reader's.
class CountingHandler final : public JsonEventHandler {
 public:
  bool value(const JsonScalar& scalar) override {
    ++events;
    bytes += scalar.text.size();
    return true;
  }
  bool key(std::string_view key) override {
    ++events;
    bytes += key.size();
    return true;
  }
  bool startObject() override { return ++events, true; }
  bool endObject() override { return ++events, true; }
  bool startArray() override { return ++events, true; }
  bool endArray() override { return ++events, true; }

  size_t events = 0;
  size_t bytes = 0;
};

HistoryPacket makePacket(int position) {
  std::vector<uint8_t> payload(64);
  for (size_t i = 0; i < payload.size(); ++i) {
    payload[i] = static_cast<uint8_t>(position * 31 + static_cast<int>(i));
  }
  return HistoryPacket{HistoryEntry{0, position, 64, 18}, std::move(payload)};
}

// The archive's plaintext as the program stores it: every third record carries an
// observation, as in history_archive_bench.
std::string archiveText() {
  testing::TemporaryFolder folder("nimbra-json-bench");
  const fs::path& base = folder.path();
  KeyCache cache;
  SystemClock clock;
  LocalStorage storage(base, cache);
  HistoryArchive archive(storage, clock);
  const std::string id = sha256Hex("BENCH-SERIAL");
  std::vector<HistoryPacket> packets;
  for (int i = 0; i < kArchiveRecords; ++i) packets.push_back(makePacket(i));
  std::map<std::string, HistoryObservation> observations;
  for (int i = 0; i < kArchiveRecords; i += 3) {
    observations[HistoryArchive::entryKey(packets[i])] =
        HistoryObservation{i, clock.now(), 2, std::string("session"), "use"};
  }
  if (!archive.merge(packets, id) || !archive.attach(observations, id)) std::abort();
  Result<std::string> text =
      storage.readSealed(base / "nimbra-local" / HistoryArchive::fileName(id));
  if (!text) std::abort();
  return *text;
}

// A full day of samples, one every 5 s, as the sample store writes it.
std::string dayText() {
  std::vector<DeviceSample> samples;
  samples.reserve(kSamplesPerDay);
  for (int i = 0; i < kSamplesPerDay; ++i) {
    DeviceSample sample;
    sample.observedAt = 20500 * 86400.0 + i * 5.0;
    sample.battery = 87;
    sample.voltageADC = 3987;
    sample.temperatureRaw = 2211;
    sample.processCount = 1234;
    sample.cumulativePuffCount = 45678 + i;
    sample.firmware = "v1.2.3-build-0042";
    sample.engine = "E0123456789";
    sample.settings = {{"light", true},   {"flex", false}, {"auto", true},
                       {"gesture", true}, {"v0", true},    {"v1", false},
                       {"v2", true},      {"v3", false},   {"lock", false}};
    samples.push_back(std::move(sample));
  }
  return encodeSampleArray(samples);
}

const std::string& archive() {
  static const std::string text = archiveText();
  return text;
}
const std::string& day() {
  static const std::string text = dayText();
  return text;
}

void sized(benchmark::State& state, const std::string& text) {
  state.counters["bytes"] = static_cast<double>(text.size());
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}

template <const std::string& (*Text)()>
void BM_RapidJsonEvents(benchmark::State& state) {
  for (auto _ : state) {
    CountingHandler handler;
    if (!readJsonEvents(Text(), handler)) state.SkipWithError(handler.problem.c_str());
    benchmark::DoNotOptimize(handler.events);
  }
  sized(state, Text());
}

template <const std::string& (*Text)()>
void BM_NlohmannEvents(benchmark::State& state) {
  for (auto _ : state) {
    CountingHandler handler;
    if (!readJsonEventsExactly(Text(), handler)) state.SkipWithError(handler.problem.c_str());
    benchmark::DoNotOptimize(handler.events);
  }
  sized(state, Text());
}

template <const std::string& (*Text)()>
void BM_NlohmannTree(benchmark::State& state) {
  for (auto _ : state) {
    nlohmann::json tree = nlohmann::json::parse(Text(), nullptr, false);
    if (tree.is_discarded()) state.SkipWithError("unreadable");
    benchmark::DoNotOptimize(tree);
  }
  sized(state, Text());
}

void BM_ArchiveDecode(benchmark::State& state) {
  for (auto _ : state) {
    auto records = HistoryArchive::decode(archive());
    if (!records || records->size() != kArchiveRecords) state.SkipWithError("decode failed");
    benchmark::DoNotOptimize(records);
  }
  sized(state, archive());
}

void BM_DayDecode(benchmark::State& state) {
  for (auto _ : state) {
    auto samples = decodeSampleArray(day());
    if (!samples || samples->size() != kSamplesPerDay) state.SkipWithError("decode failed");
    benchmark::DoNotOptimize(samples);
  }
  sized(state, day());
}

BENCHMARK(BM_ArchiveDecode)->Name("Archive/Decode")->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RapidJsonEvents<archive>)
    ->Name("Archive/RapidJsonEvents")
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_NlohmannEvents<archive>)
    ->Name("Archive/NlohmannEvents")
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_NlohmannTree<archive>)->Name("Archive/NlohmannTree")->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DayDecode)->Name("Day/Decode")->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RapidJsonEvents<day>)->Name("Day/RapidJsonEvents")->Unit(benchmark::kMillisecond);
BENCHMARK(BM_NlohmannEvents<day>)->Name("Day/NlohmannEvents")->Unit(benchmark::kMillisecond);
BENCHMARK(BM_NlohmannTree<day>)->Name("Day/NlohmannTree")->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace nimbra
