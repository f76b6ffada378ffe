#pragma once

// Helpers of the guest test program (kernel_stack_guest.cpp), which runs as root inside the
// kernel-test VM next to nimbra-usb-gadget: control of the gadget, the host-side view of its
// nodes in sysfs, a watch on the hidraw node's removal, a presence source that lets a test see
// every event nimbra's monitor gets, and a probe run as another user.
// Thread: the test's thread unless a comment says otherwise.

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "core/error.h"
#include "device/readings.h"
#include "devicelink/presence_source.h"

namespace nimbra::guest {

using SteadyTime = std::chrono::steady_clock::time_point;

// Sends one command to the device program; fails on "error ..." or when it cannot be reached.
Result<std::string> gadget(const std::string& command);

// Waits for udevd to have handled every kernel event so far (udevadm settle).
void settleUdev();

// The host-side hidraw node (/dev/hidrawN) of the HID device with this serial, from sysfs.
std::optional<std::string> hidrawNodeOf(const std::string& serial);

// Waits up to `limit` for the node of `serial` to exist (or, with present false, to be gone).
bool waitForHidraw(const std::string& serial, bool present, std::chrono::milliseconds limit);

// Records when a node under /dev is deleted, seen through inotify on a thread of its own.
class NodeRemovalWatch {
 public:
  explicit NodeRemovalWatch(std::string name);  // e.g. "hidraw0"
  ~NodeRemovalWatch();
  NodeRemovalWatch(const NodeRemovalWatch&) = delete;
  NodeRemovalWatch& operator=(const NodeRemovalWatch&) = delete;

  // When the deletion was seen; waits up to `limit` for it.
  std::optional<SteadyTime> removedAt(std::chrono::milliseconds limit);

 private:
  std::string name_;
  int inotify_ = -1;
  int wake_ = -1;
  std::atomic<int64_t> removedNanos_{0};
  std::thread thread_;
};

// A PresenceSource that forwards to another and records, on the main queue and after the
// forwarded event has run, every arrival and departure. The log is read on the main thread.
class TappedPresenceSource final : public PresenceSource {
 public:
  struct Log {
    std::vector<UsbDeviceInfo> started;  // what start() returned
    std::vector<UsbDeviceInfo> arrivals;
    std::vector<uint64_t> departures;
  };

  TappedPresenceSource(std::unique_ptr<PresenceSource> inner, std::shared_ptr<Log> log)
      : inner_(std::move(inner)), log_(std::move(log)) {}

  Result<std::vector<UsbDeviceInfo>> start(MainQueue& queue, Events events) override;

 private:
  std::unique_ptr<PresenceSource> inner_;
  std::shared_ptr<Log> log_;
};

// The rows of a status read without their per-read identifiers, one text per row.
std::vector<std::string> describeRows(const std::vector<Reading>& rows);

// What a probe run as another user saw.
struct ProbeOutcome {
  int openStatus = 0;
  std::string message;  // the model's status line after one refresh
  int goodRows = 0;
};

// Runs this program again as uid/gid `user` with `mode` as its one argument and only
// `environment` (empty: this process's), and returns what it printed; fails when it did not
// exit with 0.
Result<std::string> runAsUser(uid_t user, const char* mode,
                              const std::vector<std::string>& environment);

// Runs this program again as uid/gid `user` with --probe (see runProbe), and returns its report.
Result<ProbeOutcome> probeAsUser(uid_t user);

// The probe's side, in the child: iq_open of the gadget's serial through the hidapi backend,
// then one Model refresh; prints the report to stdout. Returns the exit code.
int runProbe();

// "--diagnostics" in the child: "installation <id>" on the first line, then the report that
// "nimbra --diagnostics" prints, from the same facts but the toolkit's versions (the guest
// has no GTK). Returns the exit code.
int runDiagnostics();

}  // namespace nimbra::guest
