#pragma once

// A simulated USB bus of emulated devices behind the HidBackend interface.
//
// Time: with SimulatedTime::virtualClock (tests, benchmarks) nothing sleeps: a read that finds
// no report due within its time-out moves the simulated clock forward by the time-out, so a
// 2-second wait finishes at once. With SimulatedTime::realClock (the demo, cancel tests) reads
// really wait and reply latency is real time.
// Thread: the connection thread, as for any HidBackend; the test that owns the backend may
// change device state between calls.

#include <deque>
#include <memory>
#include <vector>

#include "devicelink/hid_backend.h"
#include "sim/simulated_device.h"

namespace nimbra::sim {

enum class SimulatedTime { virtualClock, realClock };

class SimulatedHidBackend final : public HidBackend {
 public:
  explicit SimulatedHidBackend(SimulatedTime time = SimulatedTime::virtualClock);
  ~SimulatedHidBackend() override;

  // Plugs a device in; the returned state stays valid for the backend's lifetime.
  std::shared_ptr<SimulatedDeviceState> addDevice(SimulatedDeviceState device);
  void removeAll();

  // Virtual time only: lets time pass outside any wait, so late replies become queued.
  void advance(std::chrono::milliseconds by);

  std::vector<HidDeviceInfo> enumerate(uint16_t vendorId, uint16_t productId) override;
  HidOpenResult open(const std::string& path) override;
  TimePoint now() override;

  struct Clock;

 private:
  std::shared_ptr<Clock> clock_;
  std::vector<std::shared_ptr<SimulatedDeviceState>> devices_;
};

}  // namespace nimbra::sim
