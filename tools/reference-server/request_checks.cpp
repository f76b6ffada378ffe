#include "reference-server/request_checks.h"

#include <array>
#include <initializer_list>
#include <set>

#include "core/base64.h"

namespace nimbra::refserver {
namespace {

using nlohmann::json;

enum class Type { integer, number, text, object, array };

bool hasType(const json& value, Type type) {
  switch (type) {
    case Type::integer:
      return value.is_number_integer();
    case Type::number:
      return value.is_number();
    case Type::text:
      return value.is_string();
    case Type::object:
      return value.is_object();
    case Type::array:
      return value.is_array();
  }
  return false;
}

const char* typeName(Type type) {
  switch (type) {
    case Type::integer:
      return "an integer";
    case Type::number:
      return "a number";
    case Type::text:
      return "a string";
    case Type::object:
      return "an object";
    case Type::array:
      return "an array";
  }
  return "?";
}

struct Key {
  const char* name;
  Type type;
  bool required = true;
};

// `object` is an object holding exactly `keys` (optional ones may be missing, none may be
// null) with their types; `where` prefixes the problem.
Problem checkShape(const json& object, std::initializer_list<Key> keys, const std::string& where) {
  if (!object.is_object()) return where + " is not an object";
  std::set<std::string> known;
  for (const Key& key : keys) {
    known.insert(key.name);
    auto found = object.find(key.name);
    if (found == object.end()) {
      if (key.required) return where + " lacks \"" + key.name + "\"";
      continue;
    }
    if (!hasType(*found, key.type)) {
      return where + " \"" + key.name + "\" is not " + typeName(key.type);
    }
  }
  for (const auto& [name, value] : object.items()) {
    if (!known.contains(name)) return where + " has the unexpected key \"" + name + "\"";
  }
  return std::nullopt;
}

Problem checkFixedValues(const json& body) {
  if (body.at("schemaVersion") != 1) return "schemaVersion is not 1";
  if (body.at("brand") != "iqos") return "brand is not \"iqos\"";
  if (body.at("model") != "m0033") return "model is not \"m0033\"";
  return std::nullopt;
}

Problem checkUuidKey(const json& object, const char* key, const std::string& where) {
  auto found = object.find(key);
  if (found != object.end() && !isCanonicalUuid(found->get<std::string>())) {
    return where + " \"" + key + "\" is not a canonical upper-case UUID";
  }
  return std::nullopt;
}

Problem checkDevice(const json& device, const std::string& where) {
  if (Problem problem = checkShape(device,
                                   {{"connectionId", Type::text},
                                    {"brand", Type::text},
                                    {"model", Type::text},
                                    {"modelName", Type::text},
                                    {"serial", Type::text},
                                    {"puffs", Type::integer, false},
                                    {"sticks", Type::integer, false},
                                    {"firmware", Type::text, false},
                                    {"engine", Type::text, false}},
                                   where)) {
    return problem;
  }
  return checkUuidKey(device, "connectionId", where);
}

Problem checkEvent(const json& event, std::string_view installation, const std::string& where) {
  if (Problem problem = checkShape(event,
                                   {{"id", Type::text},
                                    {"installId", Type::text},
                                    {"sessionId", Type::text},
                                    {"occurredAt", Type::number},
                                    {"kind", Type::text},
                                    {"module", Type::text, false},
                                    {"language", Type::text},
                                    {"os", Type::text},
                                    {"appBuild", Type::text},
                                    {"device", Type::object, false},
                                    {"appVersion", Type::text, false},
                                    {"serial", Type::text, false}},
                                   where)) {
    return problem;
  }
  for (const char* key : {"id", "installId", "sessionId"}) {
    if (Problem problem = checkUuidKey(event, key, where)) return problem;
  }
  if (event.at("installId") != installation) {
    return where + " belongs to another installation than the header names";
  }
  const std::string kind = event.at("kind");
  if (kind == "foreground" || kind == "heartbeat" || kind == "launch") {
    return where + " has the kind \"" + kind + "\", which is never uploaded";
  }
  if (auto device = event.find("device"); device != event.end()) {
    return checkDevice(*device, where + " device");
  }
  return std::nullopt;
}

}  // namespace

bool isCanonicalUuid(std::string_view text) {
  if (text.size() != 36) return false;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (i == 8 || i == 13 || i == 18 || i == 23) {
      if (c != '-') return false;
    } else if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'))) {
      return false;
    }
  }
  return true;
}

Problem checkInstallationHeader(const std::optional<std::string>& value) {
  if (!value) return std::string("no ") + kInstallationHeader + " header";
  if (!isCanonicalUuid(*value)) {
    return std::string(kInstallationHeader) + " is not a canonical upper-case UUID";
  }
  return std::nullopt;
}

Problem checkContentType(const std::optional<std::string>& value) {
  if (!value || *value != "application/json") return "Content-Type is not application/json";
  return std::nullopt;
}

Problem checkAnalysisRequest(const json& body) {
  if (Problem problem = checkShape(body,
                                   {{"schemaVersion", Type::integer},
                                    {"brand", Type::text},
                                    {"model", Type::text},
                                    {"records", Type::array}},
                                   "the request")) {
    return problem;
  }
  if (Problem problem = checkFixedValues(body)) return problem;
  const json& records = body.at("records");
  if (records.empty()) return "records is empty";
  for (size_t i = 0; i < records.size(); ++i) {
    const std::string where = "record " + std::to_string(i);
    if (Problem problem =
            checkShape(records[i], {{"position", Type::integer}, {"payload", Type::text}}, where)) {
      return problem;
    }
    if (records[i].at("position").get<int64_t>() < 0) return where + " has a negative position";
    const std::string& payload = records[i].at("payload").get_ref<const std::string&>();
    std::optional<std::vector<uint8_t>> bytes = base64Decode(payload);
    if (!bytes) return where + " payload is not standard Base64 with padding";
    if (bytes->empty()) return where + " payload is empty";
  }
  return std::nullopt;
}

Problem checkBatteryRequest(const json& body) {
  if (Problem problem = checkShape(body,
                                   {{"schemaVersion", Type::integer},
                                    {"brand", Type::text},
                                    {"model", Type::text},
                                    {"charge", Type::integer},
                                    {"adc", Type::integer},
                                    {"calibration", Type::integer}},
                                   "the request")) {
    return problem;
  }
  if (Problem problem = checkFixedValues(body)) return problem;
  const int64_t charge = body.at("charge");
  if (charge < 0 || charge > 100) return "charge is outside 0 ... 100";
  return std::nullopt;
}

Problem checkTelemetryUpload(const json& body, std::string_view installationHeader) {
  if (!body.is_array()) return "the upload is not an array";
  if (body.empty()) return "the upload is empty";
  if (body.size() > kMaxTelemetryBatch) return "the upload holds more than 20 events";
  for (size_t i = 0; i < body.size(); ++i) {
    if (Problem problem = checkEvent(body[i], installationHeader, "event " + std::to_string(i))) {
      return problem;
    }
  }
  return std::nullopt;
}

}  // namespace nimbra::refserver
