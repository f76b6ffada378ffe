// Cost of our own stack per history entry: a full history read (catalogue, 200 entries, the
// catalogue again) against a simulated device that answers at once. About half the entries
// need multi-part replies. BM_SimulatorAnswersOnly measures what the simulator itself spends
// producing the same replies, so the difference is the link's and the read task's overhead.

#include <array>
#include <memory>

#include <benchmark/benchmark.h>

#include "device/history_read.h"
#include "devicelink/backend_registry.h"
#include "devicelink/iq.h"
#include "devicelink/iq_history_wire.h"
#include "sim/simulated_hid_backend.h"

namespace {

constexpr uint32_t kEntries = 200;
const nimbra::sim::CatalogRecords kRecords{{{0, 0, 150}, {1, 0, 0}, {2, 10, 60}, {3, 0, 0}}};

void perEntry(benchmark::State& state) {
  state.counters["per_entry"] = benchmark::Counter(
      kEntries, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

void BM_FullHistoryRead(benchmark::State& state) {
  auto bus = std::make_shared<nimbra::sim::SimulatedHidBackend>();
  auto device = bus->addDevice(nimbra::sim::ilumaOne());
  device->history.records = kRecords;
  iq_install_backend(bus);
  for (auto _ : state) {
    auto outcome = nimbra::readHistoryFromDevice(device->serial, iq_connection_epoch(), {});
    const auto* snapshot = std::get_if<nimbra::HistorySnapshot>(&outcome);
    if (snapshot == nullptr || snapshot->archiveCount != static_cast<int>(kEntries)) {
      state.SkipWithError("read failed");
      break;
    }
    benchmark::DoNotOptimize(outcome);
  }
  iq_install_backend(nullptr);
  perEntry(state);
}
BENCHMARK(BM_FullHistoryRead)->Unit(benchmark::kMillisecond);

void BM_SimulatorAnswersOnly(benchmark::State& state) {
  nimbra::sim::SimulatedHistory history;
  history.records = kRecords;
  std::array<uint8_t, nimbra::kHidReportSize> report;
  for (auto _ : state) {
    for (const auto& record : kRecords) {
      for (uint32_t position = record.start; position < record.end; ++position) {
        std::array<uint8_t, nimbra::iq::kEntryPayloadLength> payload;
        nimbra::iq::entryRequestPayload(record.directory, position, payload);
        nimbra::iq::buildHistoryRequest(payload, report);
        benchmark::DoNotOptimize(nimbra::sim::respondToHistory(history, report));
      }
    }
  }
  perEntry(state);
}
BENCHMARK(BM_SimulatorAnswersOnly)->Unit(benchmark::kMillisecond);

}  // namespace
