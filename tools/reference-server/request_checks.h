#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

// What the analysis server accepts, checked as strictly as a real one would: the request of
// each path must have exactly the documented keys with the documented types and fixed
// values, and must come with the installation header. A check answers the first problem it
// finds, in words a test log can show, or nothing when the request is acceptable.
namespace nimbra::refserver {

using Problem = std::optional<std::string>;

// Request body limits of the analysis server; a larger body is refused with 413.
inline constexpr size_t kMaxAnalysisRequestBytes = 4 * 1024 * 1024;
inline constexpr size_t kMaxBatteryRequestBytes = 1024;
inline constexpr size_t kMaxTelemetryRequestBytes = 64 * 1024;
inline constexpr size_t kMaxTelemetryBatch = 20;

inline constexpr char kInstallationHeader[] = "X-Zuvo-Installation-ID";

// Canonical text: 36 characters, upper-case hexadecimal, groups 8-4-4-4-12.
bool isCanonicalUuid(std::string_view text);

Problem checkInstallationHeader(const std::optional<std::string>& value);
Problem checkContentType(const std::optional<std::string>& value);

// {"schemaVersion":1,"brand":"iqos","model":"m0033","records":[{"position":n,"payload":b64}]}
// with at least one record, positions non-negative, payloads non-empty standard Base64.
Problem checkAnalysisRequest(const nlohmann::json& body);

// {"schemaVersion":1,"brand":"iqos","model":"m0033","charge":n,"adc":n,"calibration":n}
// with charge 0 ... 100.
Problem checkBatteryRequest(const nlohmann::json& body);

// An array of 1 ... 20 events, each of the one installation named by the header, none of
// the kinds that only trigger the daily check ("foreground", "heartbeat", "launch").
Problem checkTelemetryUpload(const nlohmann::json& body, std::string_view installationHeader);

}  // namespace nimbra::refserver
