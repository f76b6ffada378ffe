#include "storage/maintenance_records.h"

#include "core/json_fields.h"

namespace nimbra {

NLOHMANN_JSON_SERIALIZE_ENUM(MaintenanceRecord::Action,
                             {{MaintenanceRecord::Action::diagnostics, "diagnostics"},
                              {MaintenanceRecord::Action::reset, "reset"}})

void to_json(nlohmann::json& json, const MaintenanceRecord& record) {
  json = {{"action", record.action}, {"startedAt", record.startedAt}};
}

void from_json(const nlohmann::json& json, MaintenanceRecord& record) {
  const nlohmann::json& action = requiredMember(json, "action");
  if (action != "diagnostics" && action != "reset") {
    throw nlohmann::json::type_error::create(302, "unknown maintenance action", &json);
  }
  action.get_to(record.action);
  record.startedAt = requiredNumber(json, "startedAt");
}

std::vector<MaintenanceRecord> loadMaintenanceRecords(const LocalSettings& settings) {
  std::optional<std::vector<uint8_t>> bytes = settings.bytesValue(kMaintenanceRecordsKey);
  if (!bytes) return {};
  Result<std::vector<MaintenanceRecord>> records = decodeJson<std::vector<MaintenanceRecord>>(
      std::string_view(reinterpret_cast<const char*>(bytes->data()), bytes->size()));
  if (!records) return {};
  return std::move(*records);
}

void addMaintenanceRecord(std::vector<MaintenanceRecord>& records, MaintenanceRecord record,
                          const LocalSettings& settings) {
  records.insert(records.begin(), record);
  Result<std::string> encoded = encodeJson(records);
  if (!encoded) return;
  settings.setBytes(std::span(reinterpret_cast<const uint8_t*>(encoded->data()), encoded->size()),
                    kMaintenanceRecordsKey);
}

}  // namespace nimbra
