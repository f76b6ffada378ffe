#pragma once

#include <string>
#include <vector>

#include "storage/local_settings.h"

namespace nimbra {

// One maintenance run the user started. `startedAt` is seconds since 1970.
struct MaintenanceRecord {
  enum class Action { diagnostics, reset };
  Action action = Action::reset;
  double startedAt = 0;

  bool operator==(const MaintenanceRecord&) const = default;
};
void to_json(nlohmann::json& json, const MaintenanceRecord& record);
void from_json(const nlohmann::json& json, MaintenanceRecord& record);

inline constexpr char kMaintenanceRecordsKey[] = "NimbraMaintenanceRecords";

// The list, newest first, kept under kMaintenanceRecordsKey as a byte value whose bytes are
// the JSON array. Missing or unreadable gives the empty list. Main thread only.
std::vector<MaintenanceRecord> loadMaintenanceRecords(const LocalSettings& settings);

// Puts `record` at the front of the caller's list and stores the whole list, unless the
// stored list exists but cannot be read: that one is never overwritten.
void addMaintenanceRecord(std::vector<MaintenanceRecord>& records, MaintenanceRecord record,
                          const LocalSettings& settings);

}  // namespace nimbra
