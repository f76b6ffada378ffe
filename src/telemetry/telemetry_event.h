#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "core/error.h"
#include "core/uuid.h"

namespace nimbra {

// The device descriptor a "device" event carries; the controller fills it after a read.
struct TelemetryDevice {
  Uuid connectionId;
  std::string brand;
  std::string model;
  std::string modelName;
  std::string serial;
  std::optional<int64_t> puffs;
  std::optional<int64_t> sticks;
  std::optional<std::string> firmware;
  std::optional<std::string> engine;

  bool operator==(const TelemetryDevice&) const = default;
};

// One outbox entry and one element of an upload. `occurredAt` is seconds since 1970 and
// kept as stored, so an event read back is written out bit for bit the same.
struct TelemetryEvent {
  Uuid id;
  Uuid installId;
  Uuid sessionId;
  double occurredAt = 0;
  std::string kind;
  std::optional<std::string> module;
  std::string language;
  std::string os;
  std::string appBuild;
  std::optional<TelemetryDevice> device;
  std::optional<std::string> appVersion;  // events stored by older versions lack it
  std::optional<std::string> serial;

  bool operator==(const TelemetryEvent&) const = default;
};

// The server and older outboxes read these documents, so the key order is fixed and
// absent optionals are left out. UUIDs are written in canonical upper case.
nlohmann::ordered_json telemetryDeviceJson(const TelemetryDevice& device);
nlohmann::ordered_json telemetryEventJson(const TelemetryEvent& event);
nlohmann::ordered_json telemetryEventsJson(const std::vector<TelemetryEvent>& events);

// Reads a JSON array of events; unknown keys are ignored, UUIDs accepted in either case.
// Any element that is not a well-formed event fails the whole document.
Result<std::vector<TelemetryEvent>> decodeTelemetryEvents(std::string_view text);

// Compact JSON of the array, or the encoding error.
Result<std::string> encodeTelemetryEvents(const std::vector<TelemetryEvent>& events);

}  // namespace nimbra
