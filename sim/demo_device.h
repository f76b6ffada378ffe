#pragma once

// The demo's live "IQOS ILUMA i ONE": a simulated device whose state moves on with time, so
// the program started for the demo (NIMBRA_SIMULATED_DEVICE=1) has something to show. Its
// battery drains during use and charges while the cable is in, a use session comes now and
// then (live status "0542ff7f" while heating, "0546ff7f" while in use, "0840ff7f" once
// ended), each session and each full charge adds an entry to the history, and settings
// written by the program stay as long as the process runs (unplugging keeps them).
//
// Wiring: the program installs makeBackend() as the device link's HID backend and watches
// bus() with a SimulatedPresenceSource; its main queue calls tick() when the control file
// arrives and at nextChangeAt(), which keeps the device as ticking every second would. Tests and
// scripts unplug and plug the device with setPlugged() or through the control file
// (DemoControlFile).
//
// Thread: tick(), setPlugged() and the observers on the main thread. The backend runs on the
// device link's connection thread; it and tick() share the device state under one lock.

#include <array>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "core/clock.h"
#include "devicelink/hid_backend.h"
#include "sim/simulated_device.h"
#include "sim/simulated_presence_source.h"

namespace nimbra::sim {

// The demo's rhythm. Short enough that a viewer sees a session within a minute.
struct DemoPacing {
  std::chrono::seconds firstSessionAfter{40};
  std::chrono::seconds sessionEvery{180};  // start to start
  std::chrono::seconds sessionLength{60};
  std::chrono::seconds heating{15};       // "0542ff7f", then "0546ff7f"
  std::chrono::seconds endedCodeFor{30};  // "0840ff7f", then the idle code
  std::chrono::seconds drainEvery{6};     // one percent during a session
  std::chrono::seconds chargeEvery{20};   // one percent while plugged in and idle
  std::chrono::seconds puffEvery{5};      // once heated
  int minimumChargeForSession = 10;
};

// What the device currently reports, decoded from its answers.
struct DemoSnapshot {
  bool plugged = false;
  bool inSession = false;
  std::string liveStatus;  // hex of (hop 1, command 129)
  int charge = 0;          // percent
  int voltageRaw = 0;
  int temperatureRaw = 0;
  int processCount = 0;
  int puffCount = 0;
  CatalogRecords catalog{};
  SimulatedSettings settings;
};

// The snapshot as one JSON object: what a test compares with the page.
std::string demoSnapshotJson(const DemoSnapshot& snapshot);

// A control file a test drops in place (write elsewhere, then rename): one command, "unplug",
// "plug", "session" (start a use session now), "manual" (from now on a session starts only on
// "session": a measurement's quiet minute stays quiet), "report" (hand the device's snapshot
// to the report sink), "deny" (every open fails with EACCES from now on, as without the udev
// rule), "allow" (opens succeed again, and the bus sends the "change" event that reloading
// and triggering the rules gives), "full" (the battery charged to 100 % at once) or "drain"
// (the battery down to kDrainedCharge, below where a full charge is announced again: with
// "full" a charge cycle on the cable). poll() reads and removes it, so its disappearance tells
// the test the command was taken.
class DemoControlFile {
 public:
  enum class Command { unplug, plug, session, manual, report, deny, allow, full, drain };

  explicit DemoControlFile(std::filesystem::path path) : path_(std::move(path)) {}

  // The command waiting in the file, if any; an unknown command is dropped.
  std::optional<Command> poll();

  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

class DemoDevice {
 public:
  static constexpr char kSerial[] = "DEMO00000042";
  static constexpr char kPort[] = "demo-usb-1";
  static constexpr char kIdleCode[] = "03000000";
  static constexpr int kDrainedCharge = 85;

  // Plugged in from the start. `start` is the time of the first tick to come.
  explicit DemoDevice(Date start, DemoPacing pacing = {}, std::string serial = kSerial);
  ~DemoDevice();
  DemoDevice(const DemoDevice&) = delete;
  DemoDevice& operator=(const DemoDevice&) = delete;

  // A HID backend showing this device; may be called more than once. It may outlive the
  // DemoDevice (the device then stays as it was last left).
  std::unique_ptr<HidBackend> makeBackend();
  std::shared_ptr<SimulatedUsbBus> bus() const { return bus_; }

  // Lets the device's life run up to `now`, second by second; a clock going backwards
  // changes nothing, and a jump of more than a day only moves the schedule. With a control
  // file set, its command is applied first.
  void tick(Date now);
  void setPlugged(bool plugged);
  void startSession();
  // Whether opening the device is refused with EACCES; giving access back announces it with a
  // "change" event on the bus.
  void setAccessDenied(bool denied);
  // The battery at `percent` (0-100) now; charging on the cable goes on from there.
  void setCharge(int percent);
  // Sessions start only through startSession() from now on.
  void stopAutomaticSessions() { automaticSessions_ = false; }
  void setControlFile(std::filesystem::path path) { control_.emplace(std::move(path)); }
  // Receives the snapshot on the control file's "report" (before the command's tick moves
  // the device on).
  void setReportSink(std::function<void(const DemoSnapshot&)> sink) { report_ = std::move(sink); }

  DemoSnapshot snapshot() const;
  // When the device next changes by itself (a charge step, a second of a session or of its
  // cooling, the end code running out, an automatic session), or none while nothing is due.
  // Ticking then, and on each control command, keeps it exactly as a tick every second would.
  std::optional<Date> nextChangeAt() const;

  // The device state under the device's lock, for the demo wiring and tests.
  void withState(const std::function<void(SimulatedDeviceState&)>& use) const;

  struct Shared;

 private:
  void step();
  void beginSession();
  void endSession();
  void publish();

  DemoPacing pacing_;
  std::string serial_;
  std::shared_ptr<Shared> shared_;
  std::shared_ptr<SimulatedUsbBus> bus_;
  std::optional<DemoControlFile> control_;
  std::function<void(const DemoSnapshot&)> report_;

  // The device's life, in whole seconds since the first tick. Main thread only.
  Date lastStep_;
  int64_t elapsed_ = 0;
  bool plugged_ = true;
  bool automaticSessions_ = true;
  int charge_ = 62;
  int temperature_ = 25;
  int processCount_ = 5;
  int puffCount_ = 300;
  std::optional<int64_t> sessionStartedAt_;
  int64_t nextSessionAt_ = 0;
  int64_t endedCodeUntil_ = -1;
  int64_t lastDrainAt_ = 0;
  int64_t lastChargeAt_ = 0;
  int64_t lastPuffAt_ = 0;
};

}  // namespace nimbra::sim
