#include "storage/device_sample.h"

#include <charconv>
#include <cmath>

#include "core/json_fields.h"

namespace nimbra {
namespace {

using nlohmann::json;

template <typename T>
void writeOptional(json& object, const char* key, const std::optional<T>& value) {
  if (value) object[key] = *value;
}

}  // namespace

void to_json(json& object, const DeviceSample& sample) {
  namespace K = SampleKey;
  object = json::object();
  object[K::observedAt] = sample.observedAt;
  writeOptional(object, K::battery, sample.battery);
  writeOptional(object, K::voltageADC, sample.voltageADC);
  writeOptional(object, K::temperatureRaw, sample.temperatureRaw);
  writeOptional(object, K::processCount, sample.processCount);
  writeOptional(object, K::cumulativePuffCount, sample.cumulativePuffCount);
  writeOptional(object, K::firmware, sample.firmware);
  writeOptional(object, K::engine, sample.engine);
  object[K::settings] = sample.settings;
}

void from_json(const json& object, DeviceSample& sample) {
  namespace K = SampleKey;
  constexpr IntegerForm kForm = IntegerForm::integerLiterals;
  if (!object.is_object()) rejectJson(object, "a sample must be an object");
  sample.observedAt = requiredNumber(object, K::observedAt);
  sample.battery = optionalInt64(object, K::battery, kForm);
  sample.voltageADC = optionalInt64(object, K::voltageADC, kForm);
  sample.temperatureRaw = optionalInt64(object, K::temperatureRaw, kForm);
  sample.processCount = optionalInt64(object, K::processCount, kForm);
  sample.cumulativePuffCount = optionalInt64(object, K::cumulativePuffCount, kForm);
  sample.firmware = optionalString(object, K::firmware);
  sample.engine = optionalString(object, K::engine);
  const json& settings = requiredMember(object, K::settings);
  if (!settings.is_object()) rejectJson(settings, "settings must be an object");
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
