#include "core/json_fields.h"

#include <cmath>
#include <limits>

namespace nimbra {
namespace {

using nlohmann::json;

[[noreturn]] void wrongType(const char* key, const json& value) {
  rejectJson(value, std::string("\"") + key + "\" has the wrong type");
}

int64_t asInt64(const char* key, const json& value, IntegerForm form) {
  if (value.is_number_integer()) {
    // The day files' reader takes an unsigned literal above 2^63 - 1 as the library converts
    // it (modulo 2^64); a stored day must stay readable, so that form keeps the conversion.
    if (form == IntegerForm::wholeNumbers && value.is_number_unsigned() &&
        value.get<uint64_t>() > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) {
      wrongType(key, value);
    }
    return value.get<int64_t>();
  }
  if (value.is_number_float() && form == IntegerForm::wholeNumbers) {
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

void rejectJson(const json& where, const std::string& why) {
  throw json::type_error::create(302, why, &where);
}

const json* optionalMember(const json& object, const char* key) {
  if (!object.is_object()) rejectJson(object, std::string("\"") + key + "\" needs an object");
  auto found = object.find(key);
  if (found == object.end() || found->is_null()) return nullptr;
  return &*found;
}

const json& requiredMember(const json& object, const char* key) {
  const json* value = optionalMember(object, key);
  if (value == nullptr) {
    throw json::out_of_range::create(403, std::string("key '") + key + "' not found", &object);
  }
  return *value;
}

int64_t requiredInt64(const json& object, const char* key, IntegerForm form) {
  return asInt64(key, requiredMember(object, key), form);
}

std::optional<int64_t> optionalInt64(const json& object, const char* key, IntegerForm form) {
  const json* value = optionalMember(object, key);
  if (value == nullptr) return std::nullopt;
  return asInt64(key, *value, form);
}

int requiredInt(const json& object, const char* key) {
  int64_t value = requiredInt64(object, key);
  if (value < std::numeric_limits<int>::min() || value > std::numeric_limits<int>::max()) {
    throw json::out_of_range::create(406, std::string("\"") + key + "\" is out of range", &object);
  }
  return static_cast<int>(value);
}

double requiredNumber(const json& object, const char* key) {
  const json& value = requiredMember(object, key);
  if (!value.is_number()) wrongType(key, value);
  return value.get<double>();
}

std::string requiredString(const json& object, const char* key) {
  const json& value = requiredMember(object, key);
  if (!value.is_string()) wrongType(key, value);
  return value.get<std::string>();
}

std::optional<std::string> optionalString(const json& object, const char* key) {
  const json* value = optionalMember(object, key);
  if (value == nullptr) return std::nullopt;
  if (!value->is_string()) wrongType(key, *value);
  return value->get<std::string>();
}

std::optional<bool> optionalBool(const json& object, const char* key) {
  const json* value = optionalMember(object, key);
  if (value == nullptr) return std::nullopt;
  if (!value->is_boolean()) wrongType(key, *value);
  return value->get<bool>();
}

}  // namespace nimbra
