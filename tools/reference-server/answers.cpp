#include "reference-server/answers.h"

#include <cmath>
#include <string>

#include "core/base64.h"
#include "core/dates.h"

namespace nimbra::refserver {
namespace {

using nlohmann::json;
using nlohmann::ordered_json;

constexpr int64_t kUsesOnFullCharge = 20;
constexpr int64_t kHalfHoursIn30Days = 30 * 48;

const char* kindOf(uint8_t first) {
  switch (first % 4) {
    case 0:
      return "session";
    case 1:
      return "charge";
    case 2:
      return "system";
    default:
      return "error";
  }
}

ordered_json observation(const json& record, size_t index, size_t count, Date reference) {
  const int64_t position = record.at("position");
  const std::vector<uint8_t> payload = *base64Decode(record.at("payload").get<std::string>());
  const Date start = std::chrono::floor<std::chrono::seconds>(reference) - std::chrono::days(30);
  ordered_json object = ordered_json::object();
  object["position"] = position;
  // Positions wrap every 30 days of half-hours, so any position gives a date in that span.
  object["candidateTime"] =
      iso8601(start + std::chrono::minutes(30) * (position % kHalfHoursIn30Days));
  object["tailEntries"] = static_cast<int64_t>(count - 1 - index);
  const char* kind = kindOf(payload.front());
  if (std::string(kind) == "session") {
    object["eventKind"] = payload.size() % 2 == 0 ? "complete" : "interrupted";
  }
  object["kind"] = kind;
  return object;
}

}  // namespace

ordered_json analysisReply(const json& request, Date reference) {
  const json& records = request.at("records");
  ordered_json observations = ordered_json::array();
  for (size_t i = 0; i < records.size(); ++i) {
    observations.push_back(observation(records[i], i, records.size(), reference));
  }
  ordered_json reply = ordered_json::object();
  reply["schemaVersion"] = 1;
  reply["observations"] = std::move(observations);
  return reply;
}

ordered_json batteryReply(const json& request) {
  const int64_t charge = request.at("charge");
  const int64_t adc = request.at("adc");
  const int64_t calibration = request.at("calibration");
  // A raw reading in millivolts, corrected by the calibration in hundredths.
  double voltage = static_cast<double>(adc) * static_cast<double>(calibration) / 100.0 / 1000.0;
  if (!(voltage >= 2.0 && voltage <= 5.0))
    voltage = 3.3 + 0.9 * static_cast<double>(charge) / 100.0;
  ordered_json reply = ordered_json::object();
  reply["schemaVersion"] = 1;
  reply["voltage"] = std::round(voltage * 1000.0) / 1000.0;
  reply["predictedUses"] = charge * kUsesOnFullCharge / 100;
  return reply;
}

}  // namespace nimbra::refserver
