// One full status read through the Model (scan, open, 19 exchanges, close, hand-back to the
// main queue) against a simulated device that takes 1 ms per reply, about one USB full-speed
// round trip. 19 ms is what the device itself costs; the stack's share is what lies above it.
// Reported counter "overhead_ratio" = measured time / 19 ms (goal: at most 1.1).

#include <algorithm>
#include <chrono>
#include <memory>
#include <thread>

#include <benchmark/benchmark.h>

#include "core/clock.h"
#include "core/manual_main_queue.h"
#include "device/model.h"
#include "devicelink/backend_registry.h"
#include "devicelink/iq.h"
#include "sim/simulated_hid_backend.h"

namespace {

constexpr auto kReplyLatency = std::chrono::milliseconds(1);
constexpr int kExchanges = 19;

void BM_ModelFullStatusRead(benchmark::State& state) {
  auto bus =
      std::make_shared<nimbra::sim::SimulatedHidBackend>(nimbra::sim::SimulatedTime::realClock);
  auto device = nimbra::sim::ilumaOne();
  device.replyLatency = kReplyLatency;
  bus->addDevice(std::move(device));
  iq_install_backend(bus);
  std::chrono::steady_clock::duration elapsed{};
  {
    nimbra::ManualMainQueue mainQueue;
    nimbra::SystemClock clock;
    nimbra::Model model(mainQueue, clock);
    const auto start = std::chrono::steady_clock::now();
    for (auto _ : state) {
      model.refresh(false);
      if (!mainQueue.runUntil([&] { return !model.busy(); })) {
        state.SkipWithError("read did not finish");
        break;
      }
      if (model.rows().size() != 10 || model.values().size() != 9) {
        state.SkipWithError("incomplete read");
        break;
      }
    }
    elapsed = std::chrono::steady_clock::now() - start;
  }
  iq_install_backend(nullptr);
  const double perRead =
      std::chrono::duration<double>(elapsed).count() /
      static_cast<double>(std::max<benchmark::IterationCount>(1, state.iterations()));
  const double deviceCost = std::chrono::duration<double>(kReplyLatency * kExchanges).count();
  state.counters["read_ms"] = perRead * 1e3;
  state.counters["device_ms"] = deviceCost * 1e3;
  state.counters["overhead_ratio"] = perRead / deviceCost;
}
BENCHMARK(BM_ModelFullStatusRead)->Unit(benchmark::kMillisecond)->UseRealTime();

// The floor on this machine: the simulator waits out each reply latency with sleep_until, so
// the operating system's timer wake-up adds to every one of the 19 replies. Comparing against
// this separates the stack's own cost from the sleep overshoot of a loaded machine.
void BM_NineteenReplyLatencies(benchmark::State& state) {
  for (auto _ : state) {
    for (int i = 0; i < kExchanges; ++i) {
      std::this_thread::sleep_until(std::chrono::steady_clock::now() + kReplyLatency);
    }
  }
}
BENCHMARK(BM_NineteenReplyLatencies)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
