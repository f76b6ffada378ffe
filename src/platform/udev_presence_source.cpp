#include "platform/udev_presence_source.h"

#include <cerrno>
#include <charconv>
#include <string>
#include <thread>
#include <utility>

#include <libudev.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include "platform/udev_handles.h"

namespace nimbra {
namespace {

using Udev::DeviceHandle;
using Udev::EnumerateHandle;
using Udev::MonitorHandle;
using Udev::UdevHandle;

std::optional<std::string> attribute(udev_device* device, const char* name) {
  const char* value = udev_device_get_sysattr_value(device, name);
  if (value == nullptr) return std::nullopt;
  return std::string(value);
}

uint64_t keyOf(udev_device* device) {
  const char* path = udev_device_get_syspath(device);
  return usbDeviceKey(path != nullptr ? path : "");
}

UsbDeviceInfo describe(udev_device* device) {
  UsbDeviceInfo info;
  info.key = keyOf(device);
  if (auto text = attribute(device, "idVendor")) info.vendorId = parseUsbId(*text);
  if (auto text = attribute(device, "idProduct")) info.productId = parseUsbId(*text);
  info.productName = attribute(device, "product");
  info.serial = attribute(device, "serial");
  return info;
}

bool isUsbDevice(udev_device* device) {
  const char* type = udev_device_get_devtype(device);
  return type != nullptr && std::string_view(type) == "usb_device";
}

Result<std::vector<UsbDeviceInfo>> enumerateUsbDevices(udev* context) {
  EnumerateHandle enumerate(udev_enumerate_new(context));
  if (!enumerate) return Udev::error("enumerate_new", errno);
  if (int status = udev_enumerate_add_match_subsystem(enumerate.get(), "usb"); status < 0) {
    return Udev::error("enumerate_add_match_subsystem", status);
  }
  if (int status = udev_enumerate_scan_devices(enumerate.get()); status < 0) {
    return Udev::error("enumerate_scan_devices", status);
  }
  std::vector<UsbDeviceInfo> devices;
  udev_list_entry* entry;
  udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(enumerate.get())) {
    // A device unplugged since the scan simply has no entry any more; skip it.
    DeviceHandle device(udev_device_new_from_syspath(context, udev_list_entry_get_name(entry)));
    if (device && isUsbDevice(device.get())) devices.push_back(describe(device.get()));
  }
  return devices;
}

constexpr int kRetryMilliseconds = 1000;

}  // namespace

std::optional<uint16_t> parseUsbId(std::string_view text) {
  if (text.empty() || text.size() > 4) return std::nullopt;
  uint16_t value = 0;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, 16);
  if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

// The udev objects belong to the main thread until the thread starts and to the thread from
// then until it is joined; libudev objects are not safe to share between threads.
struct UdevPresenceSource::Watcher {
  UdevHandle context;
  MonitorHandle monitor;
  int wakeFd = -1;
  std::unique_ptr<PresenceDelivery> delivery;
  std::thread thread;

  ~Watcher() {
    if (thread.joinable()) {
      uint64_t one = 1;
      ssize_t written = ::write(wakeFd, &one, sizeof one);
      (void)written;  // an eventfd write fails only when the counter is full: awake anyway
      thread.join();
    }
    if (delivery) delivery->close();
    if (wakeFd >= 0) ::close(wakeFd);
  }

  Status open() {
    context.reset(udev_new());
    if (!context) return Udev::error("new", errno);
    if (Status opened = openMonitor(); !opened) return opened;
    wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wakeFd < 0) return Error::posix(errno, "eventfd");
    return {};
  }

  Status openMonitor() {
    // "udev": events after udevd has processed them. Without a running udevd none arrive,
    // which leaves the enumerated set standing.
    MonitorHandle opened(udev_monitor_new_from_netlink(context.get(), "udev"));
    if (!opened) return Udev::error("monitor_new_from_netlink", errno);
    int status = udev_monitor_filter_add_match_subsystem_devtype(opened.get(), "usb", "usb_device");
    if (status < 0) return Udev::error("monitor_filter_add_match_subsystem_devtype", status);
    // The HID nodes too: the access a rule grants is applied to them, and their "add" and
    // "change" events tell when a device refused before may be opened now.
    status = udev_monitor_filter_add_match_subsystem_devtype(opened.get(), "hidraw", nullptr);
    if (status < 0) return Udev::error("monitor_filter_add_match_subsystem_devtype", status);
    status = udev_monitor_enable_receiving(opened.get());
    if (status < 0) return Udev::error("monitor_enable_receiving", status);
    monitor = std::move(opened);
    return {};
  }

  void begin(MainQueue& queue, Events events) {
    delivery = std::make_unique<PresenceDelivery>(queue, std::move(events));
    thread = std::thread([this] { run(); });
  }

  // Runs until the wake-up. A monitor that fails (POLLERR, which a netlink overrun sets, or
  // a receive failing with ENOBUFS) has lost events: the watcher drops it, opens a fresh one,
  // enumerates again and reports the resynchronised set once. While no monitor can be opened
  // it tries again every second, so hot-plug resumes whenever udev does.
  void run() {
    pthread_setname_np(pthread_self(), "usb-presence");
    for (;;) {
      // poll passes over a negative descriptor, leaving only the wake-up and the time-out.
      const int monitorFd = monitor ? udev_monitor_get_fd(monitor.get()) : -1;
      pollfd fds[2] = {{monitorFd, POLLIN, 0}, {wakeFd, POLLIN, 0}};
      if (::poll(fds, 2, monitor ? -1 : kRetryMilliseconds) < 0) {
        if (errno == EINTR) continue;
        monitor.reset();  // poll itself failed: start over after the pause
        continue;
      }
      if (fds[1].revents != 0) return;
      bool lost = !monitor;
      if (monitor && (fds[0].revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) lost = true;
      if (monitor && !lost && (fds[0].revents & POLLIN) != 0) lost = !drainMonitor();
      if (lost) resynchronise();
    }
  }

  // False when the monitor reported lost events.
  bool drainMonitor() {
    for (;;) {
      errno = 0;
      DeviceHandle device{udev_monitor_receive_device(monitor.get())};
      if (!device) return errno != ENOBUFS;
      const char* action = udev_device_get_action(device.get());
      if (action == nullptr) continue;
      std::string_view what(action);
      if (!isUsbDevice(device.get())) {
        if (what == "add" || what == "change") nodeChanged(device.get());
        continue;
      }
      if (what == "add") delivery->arrived(describe(device.get()));
      if (what == "remove") delivery->departed(keyOf(device.get()));
      if (what == "change") delivery->changed(keyOf(device.get()));
    }
  }

  // A hidraw node belongs to the USB device above it in sysfs; the parent is owned by the
  // node's handle. A node on another bus (Bluetooth, uhid) has none and is passed over.
  void nodeChanged(udev_device* node) {
    udev_device* parent = udev_device_get_parent_with_subsystem_devtype(node, "usb", "usb_device");
    if (parent != nullptr) delivery->changed(keyOf(parent));
  }

  // The fresh monitor is opened before the enumeration, as at the start, so that nothing
  // plugged in meanwhile is missed. On failure the monitor stays closed and run() retries.
  void resynchronise() {
    monitor.reset();
    if (!openMonitor()) return;
    auto present = enumerateUsbDevices(context.get());
    if (!present) {
      monitor.reset();
      return;
    }
    delivery->resynchronised(std::move(*present));
  }
};

UdevPresenceSource::UdevPresenceSource() = default;

UdevPresenceSource::~UdevPresenceSource() = default;

// The monitor is opened before the enumeration so that nothing plugged in meanwhile is
// missed; a device seen by both is reported twice, which the receiver tolerates.
Result<std::vector<UsbDeviceInfo>> UdevPresenceSource::start(MainQueue& queue, Events events) {
  auto watcher = std::make_unique<Watcher>();
  if (Status opened = watcher->open(); !opened) return opened.error();
  auto present = enumerateUsbDevices(watcher->context.get());
  if (!present) return present.error();
  watcher->begin(queue, std::move(events));
  watcher_ = std::move(watcher);
  return present;
}

}  // namespace nimbra
