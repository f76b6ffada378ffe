#include "app/data_export.h"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <set>

#include <nlohmann/json.hpp>

#include "core/dates.h"
#include "core/hex.h"
#include "device/history_observation.h"

namespace nimbra::DataExport {
namespace {

std::string optionalInteger(const std::optional<int64_t>& value) {
  return value ? std::to_string(*value) : std::string();
}

std::string boolText(bool value) { return value ? "true" : "false"; }

std::string values(const std::optional<SettingRecord::Values>& values) {
  if (!values) return {};
  std::string text;
  for (const auto& [id, value] : *values) {
    if (!text.empty()) text += ';';
    text += id + "=" + boolText(value);
  }
  return text;
}

}  // namespace

std::string csvField(std::string_view text) {
  if (text.find_first_of(",\"\r\n") == std::string_view::npos) return std::string(text);
  std::string quoted = "\"";
  for (char c : text) {
    if (c == '"') quoted += '"';
    quoted += c;
  }
  quoted += '"';
  return quoted;
}

void appendCsvRow(std::string& out, const std::vector<std::string>& fields) {
  for (size_t i = 0; i < fields.size(); ++i) {
    if (i > 0) out += ',';
    out += csvField(fields[i]);
  }
  out += "\r\n";
}

std::string sampleTime(double secondsSince1970) {
  if (!std::isfinite(secondsSince1970)) return {};
  auto millis = static_cast<int64_t>(std::llround(secondsSince1970 * 1000.0));
  int64_t seconds = millis / 1000;
  int64_t fraction = millis % 1000;
  if (fraction < 0) {
    fraction += 1000;
    seconds -= 1;
  }
  std::string text = iso8601(dateFromSecondsSince1970(static_cast<double>(seconds)));
  char digits[8];
  std::snprintf(digits, sizeof digits, ".%03d", static_cast<int>(fraction));
  text.insert(text.size() - 1, digits);  // before the "Z"
  return text;
}

std::string samplesCsv(const std::vector<DeviceSamples>& devices) {
  std::set<std::string> settingIds;
  for (const DeviceSamples& device : devices) {
    for (const DeviceSample& sample : device.samples) {
      for (const auto& entry : sample.settings) settingIds.insert(entry.first);
    }
  }
  std::vector<std::string> header{"device",
                                  SampleKey::observedAt,
                                  SampleKey::battery,
                                  SampleKey::voltageADC,
                                  SampleKey::temperatureRaw,
                                  SampleKey::processCount,
                                  SampleKey::cumulativePuffCount,
                                  SampleKey::firmware,
                                  SampleKey::engine};
  for (const std::string& id : settingIds) header.push_back("setting." + id);

  std::string out;
  appendCsvRow(out, header);
  std::vector<std::string> row;
  for (const DeviceSamples& device : devices) {
    for (const DeviceSample& sample : device.samples) {
      row = {device.device,
             sampleTime(sample.observedAt),
             optionalInteger(sample.battery),
             optionalInteger(sample.voltageADC),
             optionalInteger(sample.temperatureRaw),
             optionalInteger(sample.processCount),
             optionalInteger(sample.cumulativePuffCount),
             sample.firmware.value_or(""),
             sample.engine.value_or("")};
      for (const std::string& id : settingIds) {
        auto found = sample.settings.find(id);
        row.push_back(found == sample.settings.end() ? std::string() : boolText(found->second));
      }
      appendCsvRow(out, row);
    }
  }
  return out;
}

std::string settingJournalCsv(const std::vector<SettingRecord>& records) {
  std::string out;
  appendCsvRow(out, {"time", "action", "requested", "before", "after", "result", "id"});
  for (const SettingRecord& record : records) {
    appendCsvRow(
        out, {iso8601(record.time), record.action,
              record.requested ? boolText(*record.requested) : std::string(), values(record.before),
              values(record.after), resultName(record.result), record.id.text()});
  }
  return out;
}

std::string maintenanceCsv(const std::vector<MaintenanceRecord>& records) {
  std::string out;
  appendCsvRow(out, {"action", "startedAt"});
  for (const MaintenanceRecord& record : records) {
    const char* action =
        record.action == MaintenanceRecord::Action::reset ? "reset" : "diagnostics";
    appendCsvRow(out, {action, iso8601(dateFromSecondsSince1970(record.startedAt))});
  }
  return out;
}

std::string historyJson(const std::vector<ArchiveRecords>& archives) {
  nlohmann::ordered_json list = nlohmann::ordered_json::array();
  for (const ArchiveRecords& archive : archives) {
    nlohmann::ordered_json records = nlohmann::ordered_json::array();
    for (const auto& [key, entry] : archive.records) {
      nlohmann::ordered_json record{{"key", key},
                                    {"directory", entry.directory},
                                    {"format", entry.format},
                                    {"position", entry.position},
                                    {"payload", hexString(entry.payload)},
                                    {"firstReadAt", iso8601(entry.firstReadAt)}};
      if (entry.observation) {
        record["observation"] = toJson(*entry.observation, ObservationDates::iso8601);
      }
      records.push_back(std::move(record));
    }
    list.push_back({{"archive", archive.id}, {"records", std::move(records)}});
  }
  nlohmann::ordered_json document{{"archives", std::move(list)}};
  return document.dump(2) + "\n";
}

}  // namespace nimbra::DataExport
