#pragma once

// The device side of the kernel tests: the "IQOS ILUMA i ONE" gadget whose /dev/hidgN answers
// every output report through the simulator's device logic, a second gadget that nimbra must
// ignore, and the faults a test asks for (unplug, replug, dropped or late replies).
//
// Thread: one thread does everything. Its loop polls hidgFd() (POLLIN, and POLLOUT while
// wantsToWrite()), calls onReadable()/onWritable(), wakes at nextDue() and calls runDue().
// Nothing here blocks: /dev/hidgN is non-blocking and replies wait in a queue until the host
// has taken the previous one.

#include <chrono>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "configfs_gadget.h"
#include "core/error.h"
#include "sim/simulated_device.h"

namespace nimbra::gadget {

class GadgetDevice {
 public:
  using TimePoint = std::chrono::steady_clock::time_point;

  // Builds both gadgets (unbound) for the UDCs given; the other one stays unplugged until asked.
  static Result<std::unique_ptr<GadgetDevice>> create(const std::string& udc,
                                                      const std::string& otherUdc);

  // Runs one control command and returns its one-line answer ("ok ..." or "error ...").
  // Commands: plug, unplug, unplug-for MS, plug-after MS, unplug-after MS,
  // unplug-on-request [N] (the Nth request from now, not answered, unplugs), drop N (replies
  // lost), delay MS (replies late), other plug|unplug, requests, reset.
  std::string command(const std::string& line);

  // The gadget node while bound, else -1; and whether the device has replies to write.
  int hidgFd() const { return hidg_; }
  bool wantsToWrite() const;
  // The HID node is readable or writable.
  void onReadable();
  void onWritable();
  // The next scheduled event (a replug, an unplug or a delayed reply); run them with runDue().
  std::optional<TimePoint> nextDue() const;
  void runDue();

  Status plug();
  Status unplug();

 private:
  struct Pending {
    TimePoint due;
    std::vector<uint8_t> report;  // 64 bytes
  };

  GadgetDevice(std::unique_ptr<ConfigfsGadget> gadget, std::unique_ptr<ConfigfsGadget> other);
  void answer(const std::vector<uint8_t>& request);
  void resetState();

  std::unique_ptr<ConfigfsGadget> gadget_;
  std::unique_ptr<ConfigfsGadget> other_;
  int hidg_ = -1;
  sim::SimulatedDeviceState device_;
  std::deque<Pending> replies_;

  int dropReplies_ = 0;
  std::chrono::milliseconds replyDelay_{0};
  int unplugOnRequest_ = 0;  // unplug instead of answering the request this many from now
  std::optional<TimePoint> plugAt_;
  std::optional<TimePoint> unplugAt_;
  int requests_ = 0;
};

}  // namespace nimbra::gadget
