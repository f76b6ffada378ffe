#include "server/battery_estimate.h"

#include <utility>

#include "core/json_fields.h"

namespace nimbra::HistoryAPI {

nlohmann::ordered_json toJson(const BatteryInput& input) {
  nlohmann::ordered_json json;
  json["schemaVersion"] = input.schemaVersion;
  json["brand"] = input.brand;
  json["model"] = input.model;
  json["charge"] = input.charge;
  json["adc"] = input.adc;
  json["calibration"] = input.calibration;
  return json;
}

Result<BatteryEstimate> decodeBatteryEstimate(std::string_view body) {
  int64_t schemaVersion = 0;
  BatteryEstimate estimate;
  try {
    nlohmann::json reply = nlohmann::json::parse(body);
    schemaVersion = requiredInt64(reply, "schemaVersion");
    const nlohmann::json& voltage = reply.at("voltage");
    if (!voltage.is_number()) {
      throw nlohmann::json::type_error::create(302, "\"voltage\" is not a number", &voltage);
    }
    estimate.voltage = voltage.get<double>();
    estimate.predictedUses = optionalInt64(reply, "predictedUses");
  } catch (const nlohmann::json::exception& failure) {
    return jsonDecodingError(failure.what());
  }
  if (schemaVersion != kSchemaVersion || !(estimate.voltage >= kMinimumVoltage) ||
      !(estimate.voltage <= kMaximumVoltage)) {
    return clientError(kInvalidBatteryReplyMessage);
  }
  return estimate;
}

TaskHandle estimateBattery(MainQueue& queue, const Endpoint& endpoint, const Uuid& installationID,
                           const BatteryInput& input, BatteryCompletion completion) {
  return postJSON(queue, endpoint, kBatteryPath, toJson(input), installationID,
                  [completion = std::move(completion)](Result<Body> body) {
                    if (!body) return completion(body.error());
                    completion(decodeBatteryEstimate(*body));
                  });
}

}  // namespace nimbra::HistoryAPI
