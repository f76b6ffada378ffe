#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "core/clock.h"

namespace nimbra {

// The analysis server's observation of one history record. nimbra stores and shows `kind`,
// `eventKind` and `tailEntries` as received and gives them no meaning of its own.
struct HistoryObservation {
  int64_t position = 0;  // the record's position, as sent
  Date candidateTime{};  // the moment the server assigns to the record
  int64_t tailEntries = 0;
  std::optional<std::string> eventKind;
  std::string kind;

  bool operator==(const HistoryObservation&) const = default;
};

// How `candidateTime` is written in the document the observation stands in: the server's
// reply uses ISO 8601 text without fractional seconds, stored documents a number of seconds
// since 2001-01-01T00:00:00Z.
enum class ObservationDates { iso8601, secondsSince2001 };

// Keys in the order "position", "candidateTime", "tailEntries", "eventKind", "kind";
// an absent event kind leaves its key out.
nlohmann::ordered_json toJson(const HistoryObservation& observation, ObservationDates dates);

// Throws nlohmann::json::exception on a missing or mistyped key, on a date in the other form
// and on ISO 8601 text with fractional seconds or without a zone. Unknown keys are ignored;
// a null or missing event kind reads as absent.
HistoryObservation historyObservationFromJson(const nlohmann::json& json, ObservationDates dates);

}  // namespace nimbra
