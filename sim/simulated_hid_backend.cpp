#include "sim/simulated_hid_backend.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <string>
#include <thread>

#include "devicelink/iq.h"
#include "devicelink/iqos_device.h"

namespace nimbra::sim {

struct SimulatedHidBackend::Clock {
  SimulatedTime mode;
  TimePoint virtualNow{std::chrono::seconds(1000)};

  TimePoint now() const {
    return mode == SimulatedTime::virtualClock ? virtualNow : std::chrono::steady_clock::now();
  }
  // Lets time reach `when`: sleeps on the real clock, jumps on the virtual one.
  void reach(TimePoint when) {
    if (mode == SimulatedTime::realClock) {
      std::this_thread::sleep_until(when);
    } else if (when > virtualNow) {
      virtualNow = when;
    }
  }
};

namespace {

const std::string kPathPrefix = "sim:";

using TimePoint = HidBackend::TimePoint;

// The open device: the kernel's input queue is modelled as reports with the time they arrive.
class SimulatedConnection final : public HidConnection {
 public:
  SimulatedConnection(std::shared_ptr<SimulatedDeviceState> device,
                      std::shared_ptr<SimulatedHidBackend::Clock> clock)
      : device_(std::move(device)), clock_(std::move(clock)) {}

  int write(std::span<const uint8_t, kHidReportSize> report) override {
    if (!device_->present) return IQ_STATUS_FROM_ERRNO(ENODEV);
    const TimePoint due = clock_->now() + device_->replyLatency;
    for (auto& reply : respond(*device_, report)) queue_.push_back({due, std::move(reply)});
    return 0;
  }

  int read(std::span<uint8_t, kHidReportSize> buffer, std::chrono::milliseconds timeout) override {
    if (!device_->present) return IQ_STATUS_FROM_ERRNO(ENODEV);
    const TimePoint deadline = clock_->now() + timeout;
    if (queue_.empty() || queue_.front().due > deadline) {
      clock_->reach(deadline);
      return 0;
    }
    clock_->reach(queue_.front().due);
    const std::vector<uint8_t> report = std::move(queue_.front().bytes);
    queue_.pop_front();
    const std::size_t length = std::min(report.size(), kHidReportSize);
    std::memcpy(buffer.data(), report.data(), length);
    return static_cast<int>(length);
  }

  void discardQueued() override {
    const TimePoint now = clock_->now();
    while (!queue_.empty() && queue_.front().due <= now) queue_.pop_front();
  }

 private:
  struct Queued {
    TimePoint due;
    std::vector<uint8_t> bytes;
  };
  std::shared_ptr<SimulatedDeviceState> device_;
  std::shared_ptr<SimulatedHidBackend::Clock> clock_;
  std::deque<Queued> queue_;
};

}  // namespace

SimulatedHidBackend::SimulatedHidBackend(SimulatedTime time)
    : clock_(std::make_shared<Clock>(Clock{time})) {}

SimulatedHidBackend::~SimulatedHidBackend() = default;

std::shared_ptr<SimulatedDeviceState> SimulatedHidBackend::addDevice(SimulatedDeviceState device) {
  devices_.push_back(std::make_shared<SimulatedDeviceState>(std::move(device)));
  return devices_.back();
}

void SimulatedHidBackend::removeAll() { devices_.clear(); }

void SimulatedHidBackend::advance(std::chrono::milliseconds by) {
  if (clock_->mode == SimulatedTime::virtualClock) clock_->virtualNow += by;
}

std::vector<HidDeviceInfo> SimulatedHidBackend::enumerate(uint16_t vendorId, uint16_t productId) {
  std::vector<HidDeviceInfo> listed;
  if (vendorId != iqos::kVendorId || productId != iqos::kProductId) return listed;
  for (std::size_t i = 0; i < devices_.size(); ++i) {
    const auto& device = *devices_[i];
    if (!device.present) continue;
    listed.push_back(
        {kPathPrefix + std::to_string(i), device.serial, device.product, device.manufacturer});
  }
  return listed;
}

HidOpenResult SimulatedHidBackend::open(const std::string& path) {
  const auto failed = [](int error) { return HidOpenResult{nullptr, IQ_STATUS_FROM_ERRNO(error)}; };
  if (path.rfind(kPathPrefix, 0) != 0) return failed(ENOENT);
  std::size_t index = 0;
  const char* first = path.data() + kPathPrefix.size();
  const char* last = path.data() + path.size();
  const auto [end, error] = std::from_chars(first, last, index);
  if (error != std::errc() || end != last || index >= devices_.size() || !devices_[index]->present)
    return failed(ENOENT);
  const auto& device = devices_[index];
  if (device->openErrno != 0) return failed(device->openErrno);
  return {std::make_unique<SimulatedConnection>(device, clock_), 0};
}

HidBackend::TimePoint SimulatedHidBackend::now() { return clock_->now(); }

}  // namespace nimbra::sim
