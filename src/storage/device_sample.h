#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "devicelink/iqos_device.h"

namespace nimbra {

// One status reading of the device as the sample store keeps it. The store treats the
// values as opaque and identifies a reading by `observedAt` (seconds since 1970) alone.
struct DeviceSample {
  double observedAt = 0;
  std::optional<int64_t> battery;
  std::optional<int64_t> voltageADC;
  std::optional<int64_t> temperatureRaw;
  std::optional<int64_t> processCount;
  std::optional<int64_t> cumulativePuffCount;
  std::optional<std::string> firmware;
  std::optional<std::string> engine;
  std::map<std::string, bool> settings;

  bool operator==(const DeviceSample&) const = default;
};

// The JSON keys of a stored sample. Every encoder and decoder of samples (to_json and
// from_json below, the day-file codec) names the members from here.
namespace SampleKey {
inline constexpr char observedAt[] = "observedAt";
inline constexpr char battery[] = "battery";
inline constexpr char voltageADC[] = "voltageADC";
inline constexpr char temperatureRaw[] = "temperatureRaw";
inline constexpr char processCount[] = "processCount";
inline constexpr char cumulativePuffCount[] = "cumulativePuffCount";
inline constexpr char firmware[] = "firmware";
inline constexpr char engine[] = "engine";
inline constexpr char settings[] = "settings";
}  // namespace SampleKey

// `observedAt` and `settings` are required; absent optionals are left out (null reads as
// absent); unknown keys are ignored. Integers must be JSON integers.
void to_json(nlohmann::json& json, const DeviceSample& sample);
void from_json(const nlohmann::json& json, DeviceSample& sample);

// The fixed identity of the served device kind. It names the sample directory (all fields
// but the adapter).
struct DeviceProfile {
  std::string brand;
  std::string model;
  std::string transport;
  std::string adapter;

  static DeviceProfile iqosIlumaOne() {
    return {iqos::kBrand, iqos::kModel, iqos::kTransport, iqos::kAdapter};
  }
};

inline constexpr double kSampleDayLength = 86400.0;

// floor(seconds / 86400), or absent when that is not finite or does not fit 64 bits.
std::optional<int64_t> dayNumber(double secondsSince1970);

// A day file's name: the decimal day number + ".json"; parsing takes an optional sign and
// digits only, so "notes.json", "12a.json" and "5.txt" are not day files.
std::string dayFileName(int64_t day);
std::optional<int64_t> parseDayFileName(std::string_view name);

}  // namespace nimbra
