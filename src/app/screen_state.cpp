#include "app/screen_state.h"

#include <algorithm>

#include "core/dates.h"

namespace nimbra {
namespace {

using Json = nlohmann::ordered_json;

const char* resultName(SettingRecord::Result result) {
  switch (result) {
    case SettingRecord::Result::confirmed:
      return "confirmed";
    case SettingRecord::Result::reconnected:
      return "reconnected";
    case SettingRecord::Result::legacy:
      return "legacy";
    case SettingRecord::Result::unconfirmed:
      break;
  }
  return "unconfirmed";
}

Json valuesJson(const std::map<std::string, bool>& values) {
  Json json = Json::object();
  for (const auto& [key, on] : values) json[key] = on;
  return json;
}

// The journal's own record form, with the time as ISO 8601 text.
Json recordJson(const SettingRecord& record) {
  Json json;
  json["id"] = record.id.text();
  json["time"] = iso8601(record.time);
  json["action"] = record.action;
  if (record.before) json["before"] = valuesJson(*record.before);
  if (record.requested) json["requested"] = *record.requested;
  if (record.after) json["after"] = valuesJson(*record.after);
  json["result"] = resultName(record.result);
  return json;
}

Json sampleJson(const DeviceSample& sample) { return Json(nlohmann::json(sample)); }

Json maintenanceJson(const MaintenanceRecord& record) {
  Json json;
  json["action"] = record.action == MaintenanceRecord::Action::reset ? "reset" : "diagnostics";
  json["startedAt"] = record.startedAt;
  return json;
}

Json updaterJson(const AppUpdaterState& state) {
  Json json;
  json["version"] = state.version;
  json["build"] = state.build;
  json["phase"] = state.phase;
  if (state.availableVersion) json["availableVersion"] = *state.availableVersion;
  json["automatic"] = state.automatic;
  return json;
}

template <typename T, typename F>
Json arrayJson(const std::vector<T>& items, F&& each) {
  Json json = Json::array();
  for (const T& item : items) json.push_back(each(item));
  return json;
}

template <typename T>
void putOptional(Json& json, const char* key, const std::optional<T>& value) {
  if (value) json[key] = *value;
}

// Counts the bytes of one UTF-8 character starting with `lead`; stray bytes count as one.
size_t utf8Length(unsigned char lead) {
  if (lead >= 0xF0) return 4;
  if (lead >= 0xE0) return 3;
  if (lead >= 0xC0) return 2;
  return 1;
}

}  // namespace

std::string maskSerial(std::string_view serial) {
  std::vector<std::string_view> characters;
  for (size_t at = 0; at < serial.size();) {
    size_t length =
        std::min(utf8Length(static_cast<unsigned char>(serial[at])), serial.size() - at);
    characters.push_back(serial.substr(at, length));
    at += length;
  }
  size_t n = characters.size();
  size_t hidden = n > 2 ? std::min<size_t>(n - 2, 4) : 0;
  std::string masked;
  for (size_t i = 0; i + hidden + 2 < n; ++i) masked += characters[i];
  for (size_t i = 0; i < hidden; ++i) masked += "•";
  for (size_t i = n >= 2 ? n - 2 : 0; i < n; ++i) masked += characters[i];
  return masked;
}

std::string encodeScreenState(const ScreenState& state) {
  Json json;
  json["preferences"] = toJson(state.preferences);
  json["effectiveLanguage"] = state.effectiveLanguage;
  json["connected"] = state.connected;
  json["busy"] = state.busy;
  json["initialReading"] = state.initialReading;
  json["connectionFailed"] = state.connectionFailed;
  putOptional(json, "connectionAttempt", state.connectionAttempt);
  json["cablePresent"] = state.cablePresent;
  putOptional(json, "serial", state.serial);
  json["message"] = state.message;
  if (state.sample) json["sample"] = sampleJson(*state.sample);
  json["settings"] = valuesJson(state.settings);
  json["recent"] = arrayJson(state.recent, sampleJson);
  putOptional(json, "storageError", state.storageError);
  if (state.history) {
    json["history"] = arrayJson(*state.history, [](const HistoryEntry& e) { return toJson(e); });
  }
  putOptional(json, "archiveCount", state.archiveCount);
  putOptional(json, "directoryCount", state.directoryCount);
  putOptional(json, "historyError", state.historyError);
  if (state.observations) {
    json["observations"] = arrayJson(*state.observations, [](const HistoryObservation& o) {
      return toJson(o, ObservationDates::iso8601);
    });
  }
  json["analyzing"] = state.analyzing;
  json["readingHistory"] = state.readingHistory;
  putOptional(json, "estimatedUses", state.estimatedUses);
  putOptional(json, "sessionStartedAt", state.sessionStartedAt);
  if (state.resetTarget) json["resetTarget"] = state.resetTarget->text();
  putOptional(json, "resetStatus", state.resetStatus);
  json["resetWaiting"] = state.resetWaiting;
  json["settingRecords"] = arrayJson(state.settingRecords, recordJson);
  json["settingJournalError"] = state.settingJournalError;
  json["maintenanceRecords"] = arrayJson(state.maintenanceRecords, maintenanceJson);
  json["appUpdate"] = updaterJson(state.appUpdate);
  return json.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

}  // namespace nimbra
