// Cost of our own stack per command exchange: iq_exchange against a simulated device that
// answers at once, so nothing but framing, dispatch, matching and copying is measured.

#include <memory>

#include <benchmark/benchmark.h>

#include "device/exchange.h"
#include "device/frames.h"
#include "device/readings.h"
#include "devicelink/backend_registry.h"
#include "devicelink/iq.h"
#include "sim/simulated_hid_backend.h"

namespace {

class OpenSimulatedDevice {
 public:
  OpenSimulatedDevice() : bus_(std::make_shared<nimbra::sim::SimulatedHidBackend>()) {
    const auto device = bus_->addDevice(nimbra::sim::ilumaOne());
    iq_install_backend(bus_);
    opened_ = iq_open(device->serial.c_str()) == 0;
  }
  ~OpenSimulatedDevice() {
    iq_close();
    iq_install_backend(nullptr);
  }
  bool opened() const { return opened_; }

 private:
  std::shared_ptr<nimbra::sim::SimulatedHidBackend> bus_;
  bool opened_ = false;
};

void BM_OneExchange(benchmark::State& state) {
  OpenSimulatedDevice device;
  if (!device.opened()) return state.SkipWithError("open failed");
  const uint8_t request[] = {0x3f, 0x04, 0xc0, 0x00, 0x00, 0x00};
  uint8_t reply[64];
  for (auto _ : state) {
    if (iq_exchange(request, sizeof request, reply) < 6) return state.SkipWithError("no reply");
    benchmark::DoNotOptimize(reply);
  }
}
BENCHMARK(BM_OneExchange);

void BM_TenCommandStatusLoop(benchmark::State& state) {
  OpenSimulatedDevice device;
  if (!device.opened()) return state.SkipWithError("open failed");
  for (auto _ : state) {
    for (const auto& read : nimbra::kStatusReads) {
      const auto payload = nimbra::exchange(nimbra::makeFrame(read.command, read.hop, {}, false));
      if (!payload.ok()) return state.SkipWithError("exchange failed");
      benchmark::DoNotOptimize(nimbra::successReading(read.hop, read.command, *payload));
    }
  }
}
BENCHMARK(BM_TenCommandStatusLoop);

}  // namespace
