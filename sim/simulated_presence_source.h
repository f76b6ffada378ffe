#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "devicelink/presence_source.h"

namespace nimbra {

// A USB bus that tests and the demo plug simulated devices into, by port name (which plays the
// sysfs path). attach() and detach() may be called from any thread; sources watching the bus
// hear of them on their main queue, never on the caller's thread.
class SimulatedUsbBus {
 public:
  // How an "IQOS ILUMA i ONE" with this serial describes itself (key left to attach()).
  static UsbDeviceInfo ilumaOne(std::string serial);

  // Plugs `device` in at `port`, replacing whatever was there; its key comes from the port.
  void attach(const std::string& port, UsbDeviceInfo device);
  // Unplugs the device at `port`; nothing happens when the port is empty.
  void detach(const std::string& port);

  std::vector<UsbDeviceInfo> attached() const;

  // A "change" event for the device at `port`, as udev sends when its rules are applied
  // again (reload and trigger); nothing happens when the port is empty.
  void change(const std::string& port);

  // Plugs in (or, with nullopt, unplugs) at `port` without telling any source, as when the
  // kernel's event queue overran; resynchronise() then hands every source the whole set, as
  // a source does after it recovered from such an overrun.
  void changeWithoutEvents(const std::string& port, std::optional<UsbDeviceInfo> device);
  void resynchronise();

 private:
  friend class SimulatedPresenceSource;
  int subscribe(std::shared_ptr<PresenceDelivery> delivery, std::vector<UsbDeviceInfo>* now);
  void unsubscribe(int id);

  mutable std::mutex mutex_;
  std::map<std::string, UsbDeviceInfo> ports_;                   // guarded by mutex_
  std::map<int, std::shared_ptr<PresenceDelivery>> deliveries_;  // guarded by mutex_
  int nextId_ = 1;                                               // guarded by mutex_
};

// The PresenceSource that watches a SimulatedUsbBus. Main thread, like every source.
class SimulatedPresenceSource final : public PresenceSource {
 public:
  explicit SimulatedPresenceSource(std::shared_ptr<SimulatedUsbBus> bus);
  ~SimulatedPresenceSource() override;

  Result<std::vector<UsbDeviceInfo>> start(MainQueue& queue, Events events) override;

 private:
  std::shared_ptr<SimulatedUsbBus> bus_;
  std::shared_ptr<PresenceDelivery> delivery_;
  int subscription_ = 0;
};

}  // namespace nimbra
