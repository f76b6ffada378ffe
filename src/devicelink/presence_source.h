#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/error.h"
#include "core/main_queue.h"

namespace nimbra {

// What a hot-plug source knows about one attached USB device. Absent attributes stay empty.
struct UsbDeviceInfo {
  uint64_t key = 0;  // stable for as long as the device stays at its place on the bus
  std::optional<uint16_t> vendorId;
  std::optional<uint16_t> productId;
  std::optional<std::string> productName;
  std::optional<std::string> serial;

  bool operator==(const UsbDeviceInfo&) const = default;
};

// The key of a device at a bus path (a sysfs syspath on Linux). A departure carries only the
// path, since the device's attributes are gone by then, so the key must come from the path
// alone. FNV-1a: deterministic and good enough for the handful of paths on one bus.
inline uint64_t usbDeviceKey(std::string_view path) {
  uint64_t hash = 0xcbf29ce484222325ull;
  for (unsigned char c : path) {
    hash ^= c;
    hash *= 0x100000001b3ull;
  }
  return hash;
}

// Reports USB devices coming and going. A source reports every USB device, not only ours:
// matching is the caller's business.
class PresenceSource {
 public:
  struct Events {
    std::function<void(const UsbDeviceInfo&)> arrived;
    std::function<void(uint64_t key)> departed;
    // Every device attached now, after the source lost track (its event queue overran or
    // failed and it started watching afresh): replaces all that was reported before. May be
    // left empty by a receiver that does not care.
    std::function<void(const std::vector<UsbDeviceInfo>&)> resynchronised = {};
    // Something about an attached device changed that may change whether it can be opened:
    // its HID node appeared, or udev applied its rules to the device or its node again (a
    // "change" event, as after reloading the rules and triggering). May be left empty.
    std::function<void(uint64_t key)> changed = {};
  };

  virtual ~PresenceSource() = default;

  // Main thread, at most once. Begins watching and returns the devices attached now; every
  // later arrival and departure runs `events` on `queue`. A device may be reported again if
  // it arrived while the source was starting. Destroying the source (main thread) stops the
  // events, including those already posted but not yet run.
  virtual Result<std::vector<UsbDeviceInfo>> start(MainQueue& queue, Events events) = 0;
};

// Carries a source's reports to the main queue behind a shared liveness flag, so that a
// closed delivery drops reports that were posted before it closed. post() may be called from
// any thread; close() only from the main thread, where the posted reports also run.
class PresenceDelivery {
 public:
  PresenceDelivery(MainQueue& queue, PresenceSource::Events events)
      : queue_(queue), shared_(std::make_shared<Shared>(Shared{std::move(events), true})) {}
  ~PresenceDelivery() { close(); }
  PresenceDelivery(const PresenceDelivery&) = delete;
  PresenceDelivery& operator=(const PresenceDelivery&) = delete;

  void arrived(UsbDeviceInfo device) {
    queue_.post([shared = shared_, device = std::move(device)] {
      if (shared->open) shared->events.arrived(device);
    });
  }
  void departed(uint64_t key) {
    queue_.post([shared = shared_, key] {
      if (shared->open) shared->events.departed(key);
    });
  }
  void resynchronised(std::vector<UsbDeviceInfo> devices) {
    queue_.post([shared = shared_, devices = std::move(devices)] {
      if (shared->open && shared->events.resynchronised) shared->events.resynchronised(devices);
    });
  }
  void changed(uint64_t key) {
    queue_.post([shared = shared_, key] {
      if (shared->open && shared->events.changed) shared->events.changed(key);
    });
  }
  void close() { shared_->open = false; }

 private:
  struct Shared {
    PresenceSource::Events events;
    bool open;  // read and written on the main thread only
  };

  MainQueue& queue_;
  std::shared_ptr<Shared> shared_;
};

}  // namespace nimbra
