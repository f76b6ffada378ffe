#include "devicelink/usb_presence.h"

#include <utility>

#include "devicelink/iqos_device.h"

namespace nimbra {

bool USBPresence::matches(const UsbDeviceInfo& device) {
  return device.vendorId == iqos::kVendorId && device.productId == iqos::kProductId &&
         device.productName == iqos::kProductName && device.serial && !device.serial->empty();
}

Result<std::unique_ptr<USBPresence>> USBPresence::create(MainQueue& queue,
                                                         std::unique_ptr<PresenceSource> source,
                                                         OnChange onChange,
                                                         OnNodeChange onNodeChange) {
  std::unique_ptr<USBPresence> presence(
      new USBPresence(std::move(onChange), std::move(onNodeChange)));
  // The events may capture the raw pointer: destroying the source, which the presence owns,
  // drops every event not yet run.
  USBPresence* self = presence.get();
  auto attached = source->start(
      queue, PresenceSource::Events{
                 [self](const UsbDeviceInfo& device) { self->handleArrival(device); },
                 [self](uint64_t key) { self->handleDeparture(key); },
                 [self](const std::vector<UsbDeviceInfo>& devices) { self->handleResync(devices); },
                 [self](uint64_t key) { self->handleNodeChange(key); }});
  if (!attached) return attached.error();
  presence->source_ = std::move(source);
  for (const UsbDeviceInfo& device : *attached) presence->recordArrival(device);
  // One report of the starting set, whatever it is; a caller learns "nothing attached" too.
  presence->report();
  return presence;
}

USBPresence::USBPresence(OnChange onChange, OnNodeChange onNodeChange)
    : onChange_(std::move(onChange)), onNodeChange_(std::move(onNodeChange)) {}

USBPresence::~USBPresence() = default;

USBPresence::Serials USBPresence::serials() const {
  Serials result;
  for (const auto& [key, serial] : devices_) result.insert(serial);
  return result;
}

bool USBPresence::recordArrival(const UsbDeviceInfo& device) {
  if (!matches(device)) return false;
  Serials before = serials();
  devices_[device.key] = *device.serial;
  return serials() != before;
}

bool USBPresence::recordDeparture(uint64_t key) {
  Serials before = serials();
  devices_.erase(key);
  return serials() != before;
}

void USBPresence::handleArrival(const UsbDeviceInfo& device) {
  if (recordArrival(device)) report();
}

void USBPresence::handleDeparture(uint64_t key) {
  if (recordDeparture(key)) report();
}

// The set after a source lost events may differ in any way from what was known: replace it
// whole and report it once, changed or not.
void USBPresence::handleResync(const std::vector<UsbDeviceInfo>& devices) {
  devices_.clear();
  for (const UsbDeviceInfo& device : devices) recordArrival(device);
  report();
}

// Only for a device of ours: the source reports every device's changes.
void USBPresence::handleNodeChange(uint64_t key) {
  auto found = devices_.find(key);
  if (found == devices_.end() || !onNodeChange_) return;
  OnNodeChange onNodeChange = onNodeChange_;
  onNodeChange(std::string(found->second));
}

// The controller may destroy this presence from inside onChange, so the call runs on a copy
// and nothing touches the members after it.
void USBPresence::report() {
  OnChange onChange = onChange_;
  onChange(serials());
}

}  // namespace nimbra
