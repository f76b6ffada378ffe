// listUsbDevices (system_facts.h): the served devices and their hidraw nodes, from udev's
// database, each node with its owner, mode and this user's access.
#include <cerrno>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <grp.h>
#include <libudev.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/system_facts.h"
#include "platform/udev_handles.h"
#include "platform/udev_presence_source.h"

namespace nimbra::Diagnostics {
namespace {

using Udev::DeviceHandle;
using Udev::EnumerateHandle;
using Udev::UdevHandle;

std::string text(const char* value) {
  return value != nullptr ? std::string(value) : std::string();
}

std::optional<std::string> attribute(udev_device* device, const char* name) {
  const char* value = udev_device_get_sysattr_value(device, name);
  if (value == nullptr) return std::nullopt;
  return std::string(value);
}

bool matches(udev_device* device, uint16_t vendorId, uint16_t productId) {
  auto vendor = attribute(device, "idVendor");
  auto product = attribute(device, "idProduct");
  return vendor && product && parseUsbId(*vendor) == vendorId && parseUsbId(*product) == productId;
}

std::string userName(uid_t uid) {
  std::vector<char> buffer(16384);
  passwd entry{};
  passwd* found = nullptr;
  if (::getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr) {
    return entry.pw_name;
  }
  return std::to_string(uid);
}

std::string groupName(gid_t gid) {
  std::vector<char> buffer(16384);
  group entry{};
  group* found = nullptr;
  if (::getgrgid_r(gid, &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr) {
    return entry.gr_name;
  }
  return std::to_string(gid);
}

HidNode describeNode(udev_device* device) {
  HidNode node;
  node.devnode = text(udev_device_get_devnode(device));
  struct stat status {};
  if (!node.devnode.empty() && ::stat(node.devnode.c_str(), &status) == 0) {
    node.owner = userName(status.st_uid) + ":" + groupName(status.st_gid);
    node.mode = static_cast<unsigned>(status.st_mode & 07777);
  }
  node.readWrite = !node.devnode.empty() && ::access(node.devnode.c_str(), R_OK | W_OK) == 0;
  for (const char* property : {"CURRENT_TAGS", "TAGS"}) {
    const char* tags = udev_device_get_property_value(device, property);
    if (tags != nullptr && hasTag(tags, "uaccess")) node.uaccessTag = true;
  }
  return node;
}

UsbDevice describeDevice(udev_device* device) {
  UsbDevice facts;
  facts.location = "bus " + attribute(device, "busnum").value_or("?") + " device " +
                   attribute(device, "devnum").value_or("?");
  facts.productName = attribute(device, "product");
  facts.serial = attribute(device, "serial");
  return facts;
}

Result<EnumerateHandle> scan(udev* context, const char* subsystem) {
  EnumerateHandle enumerate(udev_enumerate_new(context));
  if (!enumerate) return Udev::error("enumerate_new", errno);
  if (int status = udev_enumerate_add_match_subsystem(enumerate.get(), subsystem); status < 0) {
    return Udev::error("enumerate_add_match_subsystem", status);
  }
  if (int status = udev_enumerate_scan_devices(enumerate.get()); status < 0) {
    return Udev::error("enumerate_scan_devices", status);
  }
  return enumerate;
}

}  // namespace

Result<std::vector<UsbDevice>> listUsbDevices(uint16_t vendorId, uint16_t productId) {
  UdevHandle context(udev_new());
  if (!context) return Udev::error("new", errno);

  // The USB devices first, so that one without a hidraw node is listed too, then each hidraw
  // node under the device it belongs to (by the device's syspath).
  std::map<std::string, UsbDevice> devices;
  Result<EnumerateHandle> usb = scan(context.get(), "usb");
  if (!usb) return usb.error();
  udev_list_entry* entry;
  udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(usb->get())) {
    DeviceHandle device(
        udev_device_new_from_syspath(context.get(), udev_list_entry_get_name(entry)));
    if (!device || text(udev_device_get_devtype(device.get())) != "usb_device") continue;
    if (!matches(device.get(), vendorId, productId)) continue;
    devices.emplace(text(udev_device_get_syspath(device.get())), describeDevice(device.get()));
  }

  Result<EnumerateHandle> hidraw = scan(context.get(), "hidraw");
  if (!hidraw) return hidraw.error();
  udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(hidraw->get())) {
    DeviceHandle node(udev_device_new_from_syspath(context.get(), udev_list_entry_get_name(entry)));
    if (!node) continue;
    // Owned by the node's handle.
    udev_device* parent =
        udev_device_get_parent_with_subsystem_devtype(node.get(), "usb", "usb_device");
    if (parent == nullptr) continue;
    auto owner = devices.find(text(udev_device_get_syspath(parent)));
    if (owner != devices.end()) owner->second.nodes.push_back(describeNode(node.get()));
  }

  std::vector<UsbDevice> listed;
  for (auto& [syspath, device] : devices) listed.push_back(std::move(device));
  return listed;
}

}  // namespace nimbra::Diagnostics
