#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>

#include "core/error.h"
#include "core/main_queue.h"
#include "devicelink/presence_source.h"

namespace nimbra {

// Tells the controller which "IQOS ILUMA i ONE" serial numbers are attached to the computer.
// It only watches the bus through its PresenceSource; it never opens a device.
//
// Main thread only: create, destroy and every onChange call. Two devices with the same serial
// count once. After destruction onChange is never called again, even for reports the source
// had already posted.
class USBPresence {
 public:
  using Serials = std::set<std::string>;
  using OnChange = std::function<void(const Serials& serials)>;
  // An attached device of ours changed in a way that may let it be opened now (its HID node
  // appeared, or udev applied its rules again); the set of serials is the same.
  using OnNodeChange = std::function<void(const std::string& serial)>;

  // Starts `source` and reports the attached serials through onChange once, before
  // returning, even when none is attached; afterwards onChange runs only when the set
  // changes. Fails when the source cannot start, so the caller can fall back to polling.
  static Result<std::unique_ptr<USBPresence>> create(MainQueue& queue,
                                                     std::unique_ptr<PresenceSource> source,
                                                     OnChange onChange,
                                                     OnNodeChange onNodeChange = {});
  ~USBPresence();
  USBPresence(const USBPresence&) = delete;
  USBPresence& operator=(const USBPresence&) = delete;

  Serials serials() const;

  // Whether a device is one of ours: vendor 10073, product 3, our exact product name and a
  // non-empty serial.
  static bool matches(const UsbDeviceInfo& device);

 private:
  USBPresence(OnChange onChange, OnNodeChange onNodeChange);

  // Each returns whether the reported set changed.
  bool recordArrival(const UsbDeviceInfo& device);
  bool recordDeparture(uint64_t key);
  void handleArrival(const UsbDeviceInfo& device);
  void handleDeparture(uint64_t key);
  void handleResync(const std::vector<UsbDeviceInfo>& devices);
  void handleNodeChange(uint64_t key);
  void report();

  std::map<uint64_t, std::string> devices_;  // device key → serial, matching devices only
  OnChange onChange_;
  OnNodeChange onNodeChange_;
  std::unique_ptr<PresenceSource> source_;
};

}  // namespace nimbra
