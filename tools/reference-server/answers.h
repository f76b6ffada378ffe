#pragma once

#include <nlohmann/json.hpp>

#include "core/clock.h"

// What the reference server answers to well-formed requests. The answers are deterministic
// functions of the request (and of the server's reference time for dates), so a test can
// predict them and nimbra's reply checks accept them.
namespace nimbra::refserver {

// {"schemaVersion":1,"observations":[...]}: one observation per record, in the records'
// order, with the record's position. `candidateTime` lies `position` half-hours (modulo 30
// days) after `reference` minus 30 days (whole seconds, ISO 8601 in UTC); `tailEntries` counts the
// records after it in the request; `kind` follows the payload's first byte, and records of
// the "session" kind also carry an `eventKind`.
// REQUIRES: `request` passed checkAnalysisRequest.
nlohmann::ordered_json analysisReply(const nlohmann::json& request, Date reference);

// {"schemaVersion":1,"voltage":v,"predictedUses":n}: the voltage from the raw reading scaled
// by the calibration when that gives 2.0 ... 5.0 volts, else from the charge (3.3 V empty,
// 4.2 V full); 20 uses on a full charge, in proportion below.
// REQUIRES: `request` passed checkBatteryRequest.
nlohmann::ordered_json batteryReply(const nlohmann::json& request);

}  // namespace nimbra::refserver
