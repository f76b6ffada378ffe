#pragma once

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/clock.h"
#include "core/uuid.h"
#include "storage/local_settings.h"

namespace nimbra {

// One device setting change or module reset the user started, with what was asked for and
// what the device read back.
struct SettingRecord {
  enum class Result { unconfirmed, confirmed, reconnected, legacy };
  using Values = std::map<std::string, bool>;

  Uuid id;
  Date time;
  std::string action;  // a setting id, or "reset"
  std::optional<Values> before;
  std::optional<bool> requested;
  std::optional<Values> after;
  Result result = Result::unconfirmed;

  bool operator==(const SettingRecord&) const = default;
};

// The result's name as the journal file, the page and the exports spell it.
const char* resultName(SettingRecord::Result result);

// The journal file's form: a JSON array of records, dates as ISO 8601 without fractions,
// keys sorted, pretty-printed. Reading rejects dates with fractions or as numbers.
std::string encodeSettingRecords(const std::vector<SettingRecord>& records);
nimbra::Result<std::vector<SettingRecord>> decodeSettingRecords(std::string_view text);

// The journal of setting changes and resets, newest first, in the sealed file
// "device-setting-history.json.sealed" (taking over the plain "device-setting-history.json").
// A file that could not be read at open is never written during the run, so its content is
// not lost; records added then live in memory only. A journal that has no file at all is
// seeded once from the maintenance records' resets.
//
// Owned by the controller; main thread only.
class SettingJournal {
 public:
  static constexpr char kFileName[] = "device-setting-history.json.sealed";
  static constexpr char kLegacyFileName[] = "device-setting-history.json";

  // Never fails: a failure sets error().
  explicit SettingJournal(const LocalSettings& settings);

  void add(SettingRecord record);
  // Sets `after` and `result` of the record with `id` and saves; an unknown id changes
  // nothing and writes nothing.
  void complete(const Uuid& id, std::optional<SettingRecord::Values> after,
                SettingRecord::Result result);
  void save();

  const std::vector<SettingRecord>& records() const { return records_; }
  bool error() const { return error_; }
  bool readable() const { return readable_; }
  const std::optional<std::filesystem::path>& url() const { return url_; }

 private:
  void open(const LocalSettings& settings);
  void seed(const LocalSettings& settings);

  LocalStorage storage_;
  std::vector<SettingRecord> records_;
  bool error_ = false;
  bool readable_ = false;
  std::optional<std::filesystem::path> url_;
};

}  // namespace nimbra
