#include "sim/simulated_presence_source.h"

#include <utility>

#include "devicelink/iqos_device.h"

namespace nimbra {

UsbDeviceInfo SimulatedUsbBus::ilumaOne(std::string serial) {
  UsbDeviceInfo device;
  device.vendorId = iqos::kVendorId;
  device.productId = iqos::kProductId;
  device.productName = iqos::kProductName;
  device.serial = std::move(serial);
  return device;
}

// Deliveries are called under the lock so that an unsubscribed source hears nothing more;
// they only post to a queue, which never calls back into the bus.
void SimulatedUsbBus::attach(const std::string& port, UsbDeviceInfo device) {
  device.key = usbDeviceKey(port);
  std::lock_guard lock(mutex_);
  ports_[port] = device;
  for (auto& [id, delivery] : deliveries_) delivery->arrived(device);
}

void SimulatedUsbBus::detach(const std::string& port) {
  std::lock_guard lock(mutex_);
  if (ports_.erase(port) == 0) return;
  for (auto& [id, delivery] : deliveries_) delivery->departed(usbDeviceKey(port));
}

void SimulatedUsbBus::change(const std::string& port) {
  std::lock_guard lock(mutex_);
  if (ports_.count(port) == 0) return;
  for (auto& [id, delivery] : deliveries_) delivery->changed(usbDeviceKey(port));
}

void SimulatedUsbBus::changeWithoutEvents(const std::string& port,
                                          std::optional<UsbDeviceInfo> device) {
  std::lock_guard lock(mutex_);
  if (!device) {
    ports_.erase(port);
    return;
  }
  device->key = usbDeviceKey(port);
  ports_[port] = *device;
}

void SimulatedUsbBus::resynchronise() {
  std::lock_guard lock(mutex_);
  std::vector<UsbDeviceInfo> devices;
  for (const auto& [port, device] : ports_) devices.push_back(device);
  for (auto& [id, delivery] : deliveries_) delivery->resynchronised(devices);
}

std::vector<UsbDeviceInfo> SimulatedUsbBus::attached() const {
  std::lock_guard lock(mutex_);
  std::vector<UsbDeviceInfo> devices;
  for (const auto& [port, device] : ports_) devices.push_back(device);
  return devices;
}

int SimulatedUsbBus::subscribe(std::shared_ptr<PresenceDelivery> delivery,
                               std::vector<UsbDeviceInfo>* now) {
  std::lock_guard lock(mutex_);
  for (const auto& [port, device] : ports_) now->push_back(device);
  int id = nextId_++;
  deliveries_[id] = std::move(delivery);
  return id;
}

void SimulatedUsbBus::unsubscribe(int id) {
  std::lock_guard lock(mutex_);
  deliveries_.erase(id);
}

SimulatedPresenceSource::SimulatedPresenceSource(std::shared_ptr<SimulatedUsbBus> bus)
    : bus_(std::move(bus)) {}

SimulatedPresenceSource::~SimulatedPresenceSource() {
  if (!delivery_) return;
  bus_->unsubscribe(subscription_);
  delivery_->close();
}

Result<std::vector<UsbDeviceInfo>> SimulatedPresenceSource::start(MainQueue& queue, Events events) {
  delivery_ = std::make_shared<PresenceDelivery>(queue, std::move(events));
  std::vector<UsbDeviceInfo> now;
  subscription_ = bus_->subscribe(delivery_, &now);
  return now;
}

}  // namespace nimbra
