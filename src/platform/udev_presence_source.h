#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

#include "devicelink/presence_source.h"

namespace nimbra {

// The PresenceSource on libudev: usb_device entries of the "usb" subsystem, read from sysfs
// (idVendor, idProduct, product, serial), keyed by their syspath.
//
// start() enumerates the attached devices on the calling (main) thread and opens a udev
// monitor whose add and remove events a watcher thread posts to the main queue; "change"
// events of a usb_device, and "add" and "change" events of a hidraw node (reported for the
// usb_device it belongs to), become `changed`. The thread
// only reads the monitor and posts; destruction wakes it, joins it and drops whatever it
// posted that has not run yet. When the monitor fails or overruns (events lost), the thread
// opens a fresh monitor, enumerates again and reports the whole set through `resynchronised`.
// Create, start and destroy on the main thread.
class UdevPresenceSource final : public PresenceSource {
 public:
  UdevPresenceSource();
  ~UdevPresenceSource() override;
  UdevPresenceSource(const UdevPresenceSource&) = delete;
  UdevPresenceSource& operator=(const UdevPresenceSource&) = delete;

  // Fails, with nothing left running, when udev or its monitor cannot be set up.
  Result<std::vector<UsbDeviceInfo>> start(MainQueue& queue, Events events) override;

 private:
  struct Watcher;
  std::unique_ptr<Watcher> watcher_;
};

// A sysfs USB id ("2759", "0003"): hexadecimal text of at most four digits.
std::optional<uint16_t> parseUsbId(std::string_view text);

}  // namespace nimbra
