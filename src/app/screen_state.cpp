#include "app/screen_state.h"

#include <algorithm>

#include "core/dates.h"
#include "core/json_writer.h"

namespace nimbra {
namespace {

// Counts the bytes of one UTF-8 character starting with `lead`; stray bytes count as one.
size_t utf8Length(unsigned char lead) {
  if (lead >= 0xF0) return 4;
  if (lead >= 0xE0) return 3;
  if (lead >= 0xC0) return 2;
  return 1;
}

// The writers below give each record the form it has elsewhere: samples as the sample store
// writes them (keys sorted), history entries, observations and the updater's state in their
// own fixed order, journal records as the journal's fields with ISO 8601 times.
class StateWriter {
 public:
  void values(const std::map<std::string, bool>& values) {
    out.beginObject();
    for (const auto& [key, on] : values) {
      out.key(key);
      out.boolean(on);
    }
    out.endObject();
  }

  void sample(const DeviceSample& sample) {
    out.beginObject();
    integer("battery", sample.battery);
    integer("cumulativePuffCount", sample.cumulativePuffCount);
    maybeText("engine", sample.engine);
    maybeText("firmware", sample.firmware);
    out.key("observedAt");
    out.number(sample.observedAt);
    integer("processCount", sample.processCount);
    out.key("settings");
    values(sample.settings);
    integer("temperatureRaw", sample.temperatureRaw);
    integer("voltageADC", sample.voltageADC);
    out.endObject();
  }

  void entry(const HistoryEntry& entry) {
    out.beginObject();
    integer("directory", entry.directory);
    integer("position", entry.position);
    integer("size", entry.size);
    integer("format", entry.format);
    out.endObject();
  }

  void observation(const HistoryObservation& observation) {
    out.beginObject();
    integer("position", observation.position);
    text("candidateTime", iso8601(observation.candidateTime));
    integer("tailEntries", observation.tailEntries);
    maybeText("eventKind", observation.eventKind);
    text("kind", observation.kind);
    out.endObject();
  }

  void record(const SettingRecord& record) {
    out.beginObject();
    text("id", record.id.text());
    text("time", iso8601(record.time));
    text("action", record.action);
    if (record.before) {
      out.key("before");
      values(*record.before);
    }
    boolean("requested", record.requested);
    if (record.after) {
      out.key("after");
      values(*record.after);
    }
    text("result", resultName(record.result));
    out.endObject();
  }

  void maintenance(const MaintenanceRecord& record) {
    out.beginObject();
    text("action", record.action == MaintenanceRecord::Action::reset ? "reset" : "diagnostics");
    out.key("startedAt");
    out.number(record.startedAt);
    out.endObject();
  }

  void updater(const AppUpdaterState& state) {
    out.beginObject();
    text("version", state.version);
    text("build", state.build);
    text("phase", state.phase);
    maybeText("availableVersion", state.availableVersion);
    boolean("automatic", state.automatic);
    out.endObject();
  }

  template <typename T, typename Each>
  void array(const char* name, const std::vector<T>& items, Each each) {
    out.key(name);
    out.beginArray();
    for (const T& item : items) (this->*each)(item);
    out.endArray();
  }

  void text(const char* name, std::string_view value) {
    out.key(name);
    out.string(value);
  }
  void maybeText(const char* name, const std::optional<std::string>& value) {
    if (value) text(name, *value);
  }
  void integer(const char* name, std::optional<int64_t> value) {
    if (!value) return;
    out.key(name);
    out.integer(*value);
  }
  void boolean(const char* name, std::optional<bool> value) {
    if (!value) return;
    out.key(name);
    out.boolean(*value);
  }

  JsonWriter out;
};

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
  StateWriter w;
  JsonWriter& out = w.out;
  out.beginObject();
  out.key("preferences");
  out.beginObject();
  w.text("language", state.preferences.language);
  w.text("theme", state.preferences.theme);
  out.endObject();
  w.text("effectiveLanguage", state.effectiveLanguage);
  w.boolean("connected", state.connected);
  w.boolean("busy", state.busy);
  w.boolean("initialReading", state.initialReading);
  w.boolean("connectionFailed", state.connectionFailed);
  w.integer("connectionAttempt", state.connectionAttempt);
  w.boolean("cablePresent", state.cablePresent);
  w.maybeText("serial", state.serial);
  w.text("message", state.message);
  if (state.sample) {
    out.key("sample");
    w.sample(*state.sample);
  }
  out.key("settings");
  w.values(state.settings);
  w.array("recent", state.recent, &StateWriter::sample);
  w.maybeText("storageError", state.storageError);
  if (state.history) w.array("history", *state.history, &StateWriter::entry);
  w.integer("archiveCount", state.archiveCount);
  w.integer("directoryCount", state.directoryCount);
  w.maybeText("historyError", state.historyError);
  if (state.observations) w.array("observations", *state.observations, &StateWriter::observation);
  w.boolean("analyzing", state.analyzing);
  w.boolean("readingHistory", state.readingHistory);
  w.integer("estimatedUses", state.estimatedUses);
  if (state.sessionStartedAt) {
    out.key("sessionStartedAt");
    out.number(*state.sessionStartedAt);
  }
  if (state.resetTarget) w.text("resetTarget", state.resetTarget->text());
  w.maybeText("resetStatus", state.resetStatus);
  w.boolean("resetWaiting", state.resetWaiting);
  w.array("settingRecords", state.settingRecords, &StateWriter::record);
  w.boolean("settingJournalError", state.settingJournalError);
  w.array("maintenanceRecords", state.maintenanceRecords, &StateWriter::maintenance);
  out.key("appUpdate");
  w.updater(state.appUpdate);
  if (state.accessFix) {
    out.key("accessFix");
    out.beginObject();
    w.boolean("ruleInstalled", state.accessFix->ruleInstalled);
    out.key("commands");
    out.beginArray();
    for (const std::string& command : state.accessFix->commands) out.string(command);
    out.endArray();
    out.endObject();
  }
  out.key("usageData");
  out.beginObject();
  w.boolean("enabled", state.usageData.enabled);
  w.boolean("notice", state.usageData.notice);
  out.endObject();
  out.endObject();
  return out.take();
}

}  // namespace nimbra
