#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "core/error.h"
#include "core/main_queue.h"
#include "core/uuid.h"
#include "server/analysis_documents.h"
#include "server/post_json.h"

// Turning a raw battery reading into a voltage and a predicted number of remaining uses.
namespace nimbra::HistoryAPI {

inline constexpr char kBatteryPath[] = "v1/battery/estimate";
inline constexpr char kInvalidBatteryReplyMessage[] = "电池估算响应格式无效";
inline constexpr double kMinimumVoltage = 2.0;
inline constexpr double kMaximumVoltage = 5.0;

// The request body. Only charge, adc and calibration are the caller's; the controller
// compares whole inputs to avoid asking twice for the same reading.
struct BatteryInput {
  int64_t schemaVersion = kSchemaVersion;
  std::string brand = kBrand;
  std::string model = kModel;
  int64_t charge = 0;
  int64_t adc = 0;
  int64_t calibration = 0;

  bool operator==(const BatteryInput&) const = default;
};

struct BatteryEstimate {
  double voltage = 0;                    // volts, within 2.0 ... 5.0
  std::optional<int64_t> predictedUses;  // absent: unknown

  bool operator==(const BatteryEstimate&) const = default;
};

// Keys in the order "schemaVersion", "brand", "model", "charge", "adc", "calibration".
nlohmann::ordered_json toJson(const BatteryInput& input);

// A JSON-decoding error when the body is not the expected shape; kInvalidBatteryReplyMessage
// when the schema version is not 1 or the voltage lies outside 2.0 ... 5.0 (ends included).
Result<BatteryEstimate> decodeBatteryEstimate(std::string_view body);

using BatteryCompletion = std::function<void(Result<BatteryEstimate>)>;

// Any thread; `completion` runs on `queue` (not after a cancel made on the main thread).
TaskHandle estimateBattery(MainQueue& queue, const Endpoint& endpoint, const Uuid& installationID,
                           const BatteryInput& input, BatteryCompletion completion);

}  // namespace nimbra::HistoryAPI
