#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/device_access.h"
#include "app/presentation.h"
#include "app/usage_data.h"
#include "core/uuid.h"
#include "device/history_observation.h"
#include "device/history_types.h"
#include "storage/device_sample.h"
#include "storage/maintenance_records.h"
#include "storage/setting_journal.h"
#include "update/updater.h"

namespace nimbra {

// Everything the page draws, as the controller computed it for one publish. The encoder
// writes exactly these keys in this order; an absent optional is left out, never null.
struct ScreenState {
  PresentationPreferences preferences;
  std::string effectiveLanguage;  // "zh" or "en"
  bool connected = false;
  bool busy = false;
  bool initialReading = false;
  bool connectionFailed = false;
  std::optional<int> connectionAttempt;
  bool cablePresent = false;
  std::optional<std::string> serial;  // already masked
  std::string message;
  std::optional<DeviceSample> sample;
  std::map<std::string, bool> settings;
  std::vector<DeviceSample> recent;
  std::optional<std::string> storageError;
  std::optional<std::vector<HistoryEntry>> history;
  std::optional<int> archiveCount;
  std::optional<int> directoryCount;
  std::optional<std::string> historyError;
  std::optional<std::vector<HistoryObservation>> observations;
  bool analyzing = false;
  bool readingHistory = false;
  std::optional<int64_t> estimatedUses;
  std::optional<double> sessionStartedAt;  // seconds since 1970
  std::optional<Uuid> resetTarget;
  std::optional<std::string> resetStatus;
  bool resetWaiting = false;
  std::vector<SettingRecord> settingRecords;
  bool settingJournalError = false;
  std::vector<MaintenanceRecord> maintenanceRecords;
  AppUpdaterState appUpdate;
  // Only while the served device's last open was refused for permission: what the user runs.
  std::optional<DeviceAccess::Fix> accessFix;
  // The "Send usage data" switch and whether its first-start notice is still shown.
  UsageData::State usageData;
};

// The serial with its middle hidden: with n characters and k = clamp(n − 2, 0, 4), the
// first n − k − 2 characters, k times "•", then the last two. Counts UTF-8 characters.
std::string maskSerial(std::string_view serial);

// One JSON object. Dates inside records are ISO 8601 text; text that is not valid UTF-8 is
// written with U+FFFD in place of the bad bytes, so one odd device string cannot stop the
// page from being drawn. Pure; any thread.
std::string encodeScreenState(const ScreenState& state);

}  // namespace nimbra
