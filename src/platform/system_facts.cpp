#include "platform/system_facts.h"

#include <fstream>
#include <sstream>

#include <hidapi.h>
#include <sys/utsname.h>

#include "devicelink/iqos_device.h"

namespace nimbra::Diagnostics {
namespace {

std::string readText(const char* file) {
  std::ifstream in(file);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::string kernel() {
  utsname name{};
  if (::uname(&name) != 0) return {};
  return std::string(name.sysname) + " " + name.release + " " + name.machine;
}

}  // namespace

std::string osPrettyName(std::string_view osRelease) {
  constexpr std::string_view kKey = "PRETTY_NAME=";
  while (!osRelease.empty()) {
    const size_t end = osRelease.find('\n');
    std::string_view line = osRelease.substr(0, end);
    osRelease = end == std::string_view::npos ? std::string_view() : osRelease.substr(end + 1);
    if (!line.starts_with(kKey)) continue;
    std::string_view value = line.substr(kKey.size());
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
        value.back() == value.front()) {
      value = value.substr(1, value.size() - 2);
    }
    return std::string(value);
  }
  return {};
}

bool hasTag(std::string_view tags, std::string_view tag) {
  while (!tags.empty()) {
    const size_t end = tags.find(':');
    if (tags.substr(0, end) == tag) return true;
    if (end == std::string_view::npos) break;
    tags.remove_prefix(end + 1);
  }
  return false;
}

void addSystemFacts(Facts& facts, bool runtime) {
  // os-release(5): /etc first, /usr/lib when /etc has none.
  facts.os = osPrettyName(readText("/etc/os-release"));
  if (facts.os.empty()) facts.os = osPrettyName(readText("/usr/lib/os-release"));
  facts.kernel = kernel();
  facts.hidapiVersion = runtime ? hid_version_str() : HID_API_VERSION_STR;
  Result<std::vector<UsbDevice>> devices = listUsbDevices(iqos::kVendorId, iqos::kProductId);
  if (devices) {
    facts.devices = std::move(*devices);
  } else {
    facts.usbScanError = devices.error().message;
  }
}

}  // namespace nimbra::Diagnostics
