#include "storage/setting_journal.h"

#include "core/dates.h"
#include "core/json_fields.h"
#include "storage/maintenance_records.h"

namespace nimbra {
namespace {

using nlohmann::json;

constexpr std::pair<SettingRecord::Result, const char*> kResultNames[] = {
    {SettingRecord::Result::unconfirmed, "unconfirmed"},
    {SettingRecord::Result::confirmed, "confirmed"},
    {SettingRecord::Result::reconnected, "reconnected"},
    {SettingRecord::Result::legacy, "legacy"},
};

SettingRecord::Values valuesFrom(const json& object) {
  if (!object.is_object()) rejectJson(object, "setting values must be an object");
  return object.get<SettingRecord::Values>();
}

json toJson(const SettingRecord& record) {
  // nlohmann::json keeps object keys in a std::map, so the output is sorted by key.
  json object = {{"id", record.id.text()},
                 {"time", iso8601(record.time)},
                 {"action", record.action},
                 {"result", resultName(record.result)}};
  if (record.before) object["before"] = *record.before;
  if (record.requested) object["requested"] = *record.requested;
  if (record.after) object["after"] = *record.after;
  return object;
}

SettingRecord fromJson(const json& object) {
  if (!object.is_object()) rejectJson(object, "journal entry must be an object");
  SettingRecord record;
  std::optional<Uuid> id = Uuid::parse(requiredString(object, "id"));
  if (!id) rejectJson(object, "journal entry id is not a UUID");
  record.id = *id;
  const json& time = requiredMember(object, "time");
  if (!time.is_string()) rejectJson(object, "journal date must be ISO 8601 text");
  std::optional<Date> date = parseIso8601(time.get<std::string>());
  if (!date) rejectJson(object, "journal date is not ISO 8601 without fractions");
  record.time = *date;
  record.action = requiredString(object, "action");
  if (const json* before = optionalMember(object, "before")) record.before = valuesFrom(*before);
  record.requested = optionalBool(object, "requested");
  if (const json* after = optionalMember(object, "after")) record.after = valuesFrom(*after);
  std::string result = requiredString(object, "result");
  bool known = false;
  for (const auto& [value, name] : kResultNames) {
    if (result == name) {
      record.result = value;
      known = true;
    }
  }
  if (!known) rejectJson(object, "unknown journal result");
  return record;
}

}  // namespace

const char* resultName(SettingRecord::Result result) {
  for (const auto& [value, name] : kResultNames) {
    if (value == result) return name;
  }
  return "unconfirmed";
}

std::string encodeSettingRecords(const std::vector<SettingRecord>& records) {
  json array = json::array();
  for (const SettingRecord& record : records) array.push_back(toJson(record));
  return array.dump(2);
}

nimbra::Result<std::vector<SettingRecord>> decodeSettingRecords(std::string_view text) {
  try {
    json array = json::parse(text);
    if (!array.is_array()) rejectJson(array, "journal must be an array");
    std::vector<SettingRecord> records;
    records.reserve(array.size());
    for (const json& entry : array) records.push_back(fromJson(entry));
    return records;
  } catch (const json::exception& failure) {
    return storageError(StorageErrorKind::decodingFailed, failure.what());
  }
}

SettingJournal::SettingJournal(const LocalSettings& settings) : storage_(settings.storage()) {
  open(settings);
}

void SettingJournal::open(const LocalSettings& settings) {
  nimbra::Result<std::filesystem::path> directory = storage_.localDirectory();
  if (!directory) {
    error_ = true;
    return;
  }
  url_ = *directory / kFileName;
  auto loaded = storage_.loadSealedMigrating<std::vector<SettingRecord>>(
      *directory / kLegacyFileName, *url_, decodeSettingRecords);
  if (!loaded) {
    error_ = true;
    return;
  }
  readable_ = true;
  if (*loaded) {
    records_ = std::move(**loaded);
    return;
  }
  seed(settings);
  save();
}

void SettingJournal::seed(const LocalSettings& settings) {
  for (const MaintenanceRecord& maintenance : loadMaintenanceRecords(settings)) {
    if (maintenance.action != MaintenanceRecord::Action::reset) continue;
    std::optional<Date> time = checkedDateFromSecondsSince1970(maintenance.startedAt);
    if (!time) continue;  // a record that names no real moment carries nothing to show
    SettingRecord record;
    record.id = Uuid::random();
    // The file keeps whole seconds; holding the same here keeps memory and file equal.
    record.time = std::chrono::floor<std::chrono::seconds>(*time);
    record.action = "reset";
    record.result = SettingRecord::Result::legacy;
    records_.push_back(std::move(record));
  }
}

void SettingJournal::add(SettingRecord record) {
  records_.insert(records_.begin(), std::move(record));
  save();
}

void SettingJournal::complete(const Uuid& id, std::optional<SettingRecord::Values> after,
                              SettingRecord::Result result) {
  for (SettingRecord& record : records_) {
    if (record.id != id) continue;
    record.after = std::move(after);
    record.result = result;
    save();
    return;
  }
}

void SettingJournal::save() {
  if (!readable_ || !url_) return;
  std::string text;
  try {
    text = encodeSettingRecords(records_);
  } catch (const nlohmann::json::exception&) {
    error_ = true;  // e.g. an action that is not valid UTF-8
    return;
  }
  error_ = !storage_.writeSealed(text, *url_).ok();
}

}  // namespace nimbra
