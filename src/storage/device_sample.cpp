#include "storage/device_sample.h"

#include <charconv>
#include <cmath>

namespace nimbra {
namespace {

using nlohmann::json;

[[noreturn]] void reject(const json& where, const std::string& why) {
  throw json::type_error::create(302, why, &where);
}

const json* optionalMember(const json& object, const char* key) {
  auto found = object.find(key);
  if (found == object.end() || found->is_null()) return nullptr;
  return &*found;
}

void readInteger(const json& object, const char* key, std::optional<int64_t>& out) {
  const json* value = optionalMember(object, key);
  if (value == nullptr) return;
  if (!value->is_number_integer()) reject(*value, std::string(key) + " must be an integer");
  out = value->get<int64_t>();
}

void readText(const json& object, const char* key, std::optional<std::string>& out) {
  if (const json* value = optionalMember(object, key)) out = value->get<std::string>();
}

template <typename T>
void writeOptional(json& object, const char* key, const std::optional<T>& value) {
  if (value) object[key] = *value;
}

}  // namespace

void to_json(json& object, const DeviceSample& sample) {
  object = json::object();
  object["observedAt"] = sample.observedAt;
  writeOptional(object, "battery", sample.battery);
  writeOptional(object, "voltageADC", sample.voltageADC);
  writeOptional(object, "temperatureRaw", sample.temperatureRaw);
  writeOptional(object, "processCount", sample.processCount);
  writeOptional(object, "cumulativePuffCount", sample.cumulativePuffCount);
  writeOptional(object, "firmware", sample.firmware);
  writeOptional(object, "engine", sample.engine);
  object["settings"] = sample.settings;
}

void from_json(const json& object, DeviceSample& sample) {
  if (!object.is_object()) reject(object, "a sample must be an object");
  const json& observedAt = object.at("observedAt");
  if (!observedAt.is_number()) reject(observedAt, "observedAt must be a number");
  sample.observedAt = observedAt.get<double>();
  readInteger(object, "battery", sample.battery);
  readInteger(object, "voltageADC", sample.voltageADC);
  readInteger(object, "temperatureRaw", sample.temperatureRaw);
  readInteger(object, "processCount", sample.processCount);
  readInteger(object, "cumulativePuffCount", sample.cumulativePuffCount);
  readText(object, "firmware", sample.firmware);
  readText(object, "engine", sample.engine);
  const json& settings = object.at("settings");
  if (!settings.is_object()) reject(settings, "settings must be an object");
  sample.settings = settings.get<std::map<std::string, bool>>();
}

std::optional<int64_t> dayNumber(double secondsSince1970) {
  double day = std::floor(secondsSince1970 / kSampleDayLength);
  // 2^63 is exactly representable; anything at or above it (or NaN) does not fit.
  constexpr double kLimit = 9223372036854775808.0;
  if (!std::isfinite(day) || day < -kLimit || day >= kLimit) return std::nullopt;
  return static_cast<int64_t>(day);
}

std::string dayFileName(int64_t day) { return std::to_string(day) + ".json"; }

std::optional<int64_t> parseDayFileName(std::string_view name) {
  constexpr std::string_view kExtension = ".json";
  if (name.size() <= kExtension.size() || !name.ends_with(kExtension)) return std::nullopt;
  std::string_view number = name.substr(0, name.size() - kExtension.size());
  if (number.front() == '+') number.remove_prefix(1);
  if (number.empty() || number == "-") return std::nullopt;
  int64_t day = 0;
  auto [end, failure] = std::from_chars(number.data(), number.data() + number.size(), day);
  if (failure != std::errc() || end != number.data() + number.size()) return std::nullopt;
  return day;
}

}  // namespace nimbra
