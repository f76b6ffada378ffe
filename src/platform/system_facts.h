#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/diagnostics_facts.h"
#include "core/error.h"

// The system's part of a diagnostics report: the OS, the kernel, the hidapi version and the
// served devices' HID nodes with the access this user has to them. Reads /etc, sysfs, udev's
// database and /dev; opens nothing and changes nothing. Any thread.
namespace nimbra::Diagnostics {

// PRETTY_NAME of os-release text, unquoted; empty when there is none. Pure.
std::string osPrettyName(std::string_view osRelease);

// Whether udev's tag list (":seat:uaccess:") holds `tag`. Pure.
bool hasTag(std::string_view tags, std::string_view tag);

// Fills os, kernel and hidapiVersion (hid_version_str() when `runtime`, else the version
// nimbra was compiled against) and the devices (or usbScanError).
void addSystemFacts(Facts& facts, bool runtime);

// The USB devices with these ids and their hidraw nodes, from udev.
Result<std::vector<UsbDevice>> listUsbDevices(uint16_t vendorId, uint16_t productId);

}  // namespace nimbra::Diagnostics
