#include "telemetry/telemetry_event.h"

#include <utility>

#include "core/json_fields.h"
#include "storage/storage_error.h"

namespace nimbra {
namespace {

using nlohmann::json;
using nlohmann::ordered_json;

template <typename T>
void putOptional(ordered_json& object, const char* key, const std::optional<T>& value) {
  if (value) object[key] = *value;
}

Uuid requiredUuid(const json& object, const char* key) {
  std::optional<Uuid> parsed = Uuid::parse(requiredString(object, key));
  if (!parsed) {
    throw json::type_error::create(302, std::string(key) + " is not a UUID", &object.at(key));
  }
  return *parsed;
}

TelemetryDevice deviceFromJson(const json& object) {
  TelemetryDevice device;
  device.connectionId = requiredUuid(object, "connectionId");
  device.brand = requiredString(object, "brand");
  device.model = requiredString(object, "model");
  device.modelName = requiredString(object, "modelName");
  device.serial = requiredString(object, "serial");
  device.puffs = optionalInt64(object, "puffs");
  device.sticks = optionalInt64(object, "sticks");
  device.firmware = optionalString(object, "firmware");
  device.engine = optionalString(object, "engine");
  return device;
}

TelemetryEvent eventFromJson(const json& object) {
  TelemetryEvent event;
  event.id = requiredUuid(object, "id");
  event.installId = requiredUuid(object, "installId");
  event.sessionId = requiredUuid(object, "sessionId");
  event.occurredAt = requiredNumber(object, "occurredAt");
  event.kind = requiredString(object, "kind");
  event.module = optionalString(object, "module");
  event.language = requiredString(object, "language");
  event.os = requiredString(object, "os");
  event.appBuild = requiredString(object, "appBuild");
  if (const json* device = optionalMember(object, "device")) event.device = deviceFromJson(*device);
  event.appVersion = optionalString(object, "appVersion");
  event.serial = optionalString(object, "serial");
  return event;
}

}  // namespace

ordered_json telemetryDeviceJson(const TelemetryDevice& device) {
  ordered_json object = ordered_json::object();
  object["connectionId"] = device.connectionId.text();
  object["brand"] = device.brand;
  object["model"] = device.model;
  object["modelName"] = device.modelName;
  object["serial"] = device.serial;
  putOptional(object, "puffs", device.puffs);
  putOptional(object, "sticks", device.sticks);
  putOptional(object, "firmware", device.firmware);
  putOptional(object, "engine", device.engine);
  return object;
}

ordered_json telemetryEventJson(const TelemetryEvent& event) {
  ordered_json object = ordered_json::object();
  object["id"] = event.id.text();
  object["installId"] = event.installId.text();
  object["sessionId"] = event.sessionId.text();
  object["occurredAt"] = event.occurredAt;
  object["kind"] = event.kind;
  putOptional(object, "module", event.module);
  object["language"] = event.language;
  object["os"] = event.os;
  object["appBuild"] = event.appBuild;
  if (event.device) object["device"] = telemetryDeviceJson(*event.device);
  putOptional(object, "appVersion", event.appVersion);
  putOptional(object, "serial", event.serial);
  return object;
}

ordered_json telemetryEventsJson(const std::vector<TelemetryEvent>& events) {
  ordered_json array = ordered_json::array();
  for (const TelemetryEvent& event : events) array.push_back(telemetryEventJson(event));
  return array;
}

Result<std::vector<TelemetryEvent>> decodeTelemetryEvents(std::string_view text) {
  try {
    json document = json::parse(text);
    if (!document.is_array()) {
      return storageError(StorageErrorKind::decodingFailed, "the outbox is not a JSON array");
    }
    std::vector<TelemetryEvent> events;
    events.reserve(document.size());
    for (const json& element : document) events.push_back(eventFromJson(element));
    return events;
  } catch (const json::exception& failure) {
    return storageError(StorageErrorKind::decodingFailed, failure.what());
  }
}

Result<std::string> encodeTelemetryEvents(const std::vector<TelemetryEvent>& events) {
  try {
    return telemetryEventsJson(events).dump();
  } catch (const json::exception& failure) {
    return storageError(StorageErrorKind::encodingFailed, failure.what());
  }
}

}  // namespace nimbra
