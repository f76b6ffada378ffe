#include "server/json_errors.h"

#include <cmath>
#include <limits>

namespace nimbra {
namespace {

using nlohmann::json;

[[noreturn]] void wrongType(const char* key, const json& value) {
  throw json::type_error::create(302, std::string("\"") + key + "\" has the wrong type", &value);
}

int64_t asInt64(const char* key, const json& value) {
  if (value.is_number_integer()) {
    if (value.is_number_unsigned() &&
        value.get<uint64_t>() > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) {
      wrongType(key, value);
    }
    return value.get<int64_t>();
  }
  if (value.is_number_float()) {
    double number = value.get<double>();
    // 2^63 itself is out of range, hence the strict upper bound.
    if (std::trunc(number) == number && number >= -9223372036854775808.0 &&
        number < 9223372036854775808.0) {
      return static_cast<int64_t>(number);
    }
  }
  wrongType(key, value);
}

}  // namespace

Error jsonDecodingError(const std::string& detail) {
  Error error =
      Error::make(kCocoaErrorDomain, kJsonDecodingErrorCode, "未能读取数据，因为它的格式不正确。");
  error.userInfo["detail"] = detail;
  return error;
}

Error jsonEncodingError(const std::string& detail) {
  Error error =
      Error::make(kCocoaErrorDomain, kJsonEncodingErrorCode, "未能写入数据，因为它的格式不正确。");
  error.userInfo["detail"] = detail;
  return error;
}

int64_t requiredInt64(const json& object, const char* key) { return asInt64(key, object.at(key)); }

std::string requiredString(const json& object, const char* key) {
  const json& value = object.at(key);
  if (!value.is_string()) wrongType(key, value);
  return value.get<std::string>();
}

std::optional<int64_t> optionalInt64(const json& object, const char* key) {
  auto found = object.find(key);
  if (found == object.end() || found->is_null()) return std::nullopt;
  return asInt64(key, *found);
}

std::optional<std::string> optionalString(const json& object, const char* key) {
  auto found = object.find(key);
  if (found == object.end() || found->is_null()) return std::nullopt;
  if (!found->is_string()) wrongType(key, *found);
  return found->get<std::string>();
}

}  // namespace nimbra
