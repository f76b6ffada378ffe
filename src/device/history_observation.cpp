#include "device/history_observation.h"

#include <cmath>

#include "core/dates.h"
#include "core/json_fields.h"

namespace nimbra {
namespace {

constexpr double kLargestDateOffset = 1e12;

Date readDate(const nlohmann::json& json, ObservationDates dates) {
  const nlohmann::json& value = json.at("candidateTime");
  if (dates == ObservationDates::iso8601) {
    if (value.is_string()) {
      if (std::optional<Date> date = parseIso8601(value.get_ref<const std::string&>())) {
        return *date;
      }
    }
  } else if (value.is_number()) {
    // Beyond this the conversion to the clock's integer ticks would overflow; no real
    // observation is tens of thousands of years away from 2001.
    double seconds = value.get<double>();
    if (std::isfinite(seconds) && std::fabs(seconds) < kLargestDateOffset) {
      return dateFromSecondsSince2001(seconds);
    }
  }
  throw nlohmann::json::type_error::create(302, "\"candidateTime\" is not a valid date", &value);
}

}  // namespace

nlohmann::ordered_json toJson(const HistoryObservation& observation, ObservationDates dates) {
  nlohmann::ordered_json json;
  json["position"] = observation.position;
  if (dates == ObservationDates::iso8601) {
    json["candidateTime"] = iso8601(observation.candidateTime);
  } else {
    json["candidateTime"] = secondsSince2001(observation.candidateTime);
  }
  json["tailEntries"] = observation.tailEntries;
  if (observation.eventKind) json["eventKind"] = *observation.eventKind;
  json["kind"] = observation.kind;
  return json;
}

HistoryObservation historyObservationFromJson(const nlohmann::json& json, ObservationDates dates) {
  HistoryObservation observation;
  observation.position = requiredInt64(json, "position");
  observation.candidateTime = readDate(json, dates);
  observation.tailEntries = requiredInt64(json, "tailEntries");
  observation.eventKind = optionalString(json, "eventKind");
  observation.kind = requiredString(json, "kind");
  return observation;
}

}  // namespace nimbra
