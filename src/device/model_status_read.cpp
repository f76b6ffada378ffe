#include "device/model_status_read.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <utility>

#include "device/exchange.h"
#include "device/frames.h"
#include "device/open_device.h"
#include "devicelink/iq.h"

namespace nimbra {
namespace {

constexpr char kSwitchedOffError[] = "02000000";
constexpr int kFirstExtendedCommand = 128;

// Reads that a switched-off device refuses with 02000000: calibration, system state, battery,
// light, flex and autostart.
constexpr std::array<std::pair<int, int>, 6> kSwitchedOffProbes{{
    {0, 128},
    {0, 129},
    {0, 385},
    {0, 144},
    {1, 137},
    {0, 147},
}};
constexpr std::size_t kSwitchedOffMinimum = 4;

std::vector<std::string_view> split(std::string_view text, char separator) {
  std::vector<std::string_view> parts;
  for (;;) {
    const auto at = text.find(separator);
    parts.push_back(text.substr(0, at));
    if (at == std::string_view::npos) return parts;
    text.remove_prefix(at + 1);
  }
}

void readCommands(std::vector<Reading>& rows) {
  for (const auto& read : kStatusReads) {
    auto payload = exchange(makeFrame(read.command, read.hop, {}, false));
    if (payload.ok()) {
      rows.push_back(successReading(read.hop, read.command, *payload));
    } else {
      rows.push_back(
          errorReading(payload.error(), read.hop, read.command, readingName(read.command)));
    }
  }
}

void readSetting(const Setting& setting, StatusReadResult& result) {
  auto payload = exchange(makeFrame(setting.command, setting.hop, setting.selector, false));
  if (!payload.ok()) {
    result.rows.push_back(
        errorReading(payload.error(), setting.hop, setting.command, setting.title));
    return;
  }
  if (const auto value = decodeSetting(setting, *payload)) result.values[setting.id] = *value;
}

bool hasGoodRow(const std::vector<Reading>& rows, int module, int command) {
  return std::ranges::any_of(rows, [&](const Reading& row) {
    return row.ok && row.module == module && row.command == command;
  });
}

bool refusedAsSwitchedOff(const std::vector<Reading>& rows, int module, int command) {
  return std::ranges::any_of(rows, [&](const Reading& row) {
    return !row.ok && row.module == module && row.command == command &&
           row.applicationError == kSwitchedOffError;
  });
}

}  // namespace

std::vector<Device> parseScan(std::string_view text) {
  std::vector<Device> devices;
  for (const auto line : split(text, '\n')) {
    if (line.empty()) continue;
    const auto fields = split(line, '\t');
    if (fields.size() != 3 || fields[0].empty() || fields[1] != iqos::kProductName) continue;
    devices.push_back({std::string(fields[0]), std::string(fields[1]), std::string(fields[2])});
  }
  return devices;
}

std::string chooseDevice(const std::vector<Device>& devices, const std::string& selected) {
  if (devices.empty()) return {};
  const bool stillThere = std::ranges::any_of(
      devices, [&](const Device& device) { return !selected.empty() && device.id == selected; });
  return stillThere ? selected : devices.front().id;
}

StatusReadResult readStatus(const std::string& serial, uint32_t epoch) {
  StatusReadResult result;
  OpenDevice device(serial, epoch);
  result.openStatus = device.status();
  if (!device.isOpen()) return result;

  readCommands(result.rows);
  for (const Setting& setting : settingCatalogue()) readSetting(setting, result);
  readSetting(lockSetting(), result);

  result.powerHint = powerHintApplies(result.rows);
  result.catalogueSettingsRead =
      static_cast<int>(std::ranges::count_if(settingCatalogue(), [&](const Setting& setting) {
        return result.values.contains(setting.id);
      }));
  return result;
}

bool openRefusedForPermission(int openStatus) {
  if (!IQ_STATUS_IS_ERRNO(openStatus)) return false;
  const int error = IQ_STATUS_ERRNO(openStatus);
  return error == EACCES || error == EPERM;
}

bool powerHintApplies(const std::vector<Reading>& rows) {
  if (rows.empty() || !hasGoodRow(rows, 0, 0) || !hasGoodRow(rows, 0, 1)) return false;
  if (std::ranges::any_of(rows, [](const Reading& row) {
        return row.ok && row.command >= kFirstExtendedCommand;
      })) {
    return false;
  }
  const auto refused = std::ranges::count_if(kSwitchedOffProbes, [&](const auto& probe) {
    return refusedAsSwitchedOff(rows, probe.first, probe.second);
  });
  return static_cast<std::size_t>(refused) >= kSwitchedOffMinimum &&
         refusedAsSwitchedOff(rows, 0, 385) && refusedAsSwitchedOff(rows, 0, 129);
}

}  // namespace nimbra
