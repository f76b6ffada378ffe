// The maintenance records as an older version may have left them, through the whole first
// start: the byte value under "NimbraMaintenanceRecords" is read, decoded, and seeds a new
// setting journal, which is written and read back.
//
// Input: the bytes of the value (meant to be the JSON array of records), as is.
// Invariants: a list that decodes re-encodes to one that decodes to the same list; the
// journal gets exactly one "legacy" entry per "reset" record whose start time is a
// representable moment, in order;
// the journal file it writes reads back to the same entries.

#include <cmath>
#include <cstdint>
#include <string>

#include "core/dates.h"
#include "fuzz_support.h"
#include "storage/maintenance_records.h"
#include "storage/setting_journal.h"

using nimbra::MaintenanceRecord;
using nimbra::SettingRecord;
using nimbra::fuzz::check;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto& fixture = nimbra::fuzz::FixedKeyStorage::instance();
  nimbra::LocalSettings settings(fixture.storage());
  auto valueFile = settings.fileFor(nimbra::kMaintenanceRecordsKey);
  check(valueFile.ok(), "the value's file");
  // A fresh start each time: no journal yet, and the value freshly stored.
  std::error_code ignored;
  std::filesystem::remove(fixture.dataDirectory() / nimbra::SettingJournal::kFileName, ignored);
  std::filesystem::remove(*valueFile, ignored);
  settings.setBytes(std::span(data, size), nimbra::kMaintenanceRecordsKey);

  std::vector<MaintenanceRecord> records = nimbra::loadMaintenanceRecords(settings);
  if (!records.empty()) {
    auto encoded = nimbra::encodeJson(records);
    check(encoded.ok(), "a decoded list encodes");
    auto again = nimbra::decodeJson<std::vector<MaintenanceRecord>>(*encoded);
    check(again.ok() && *again == records, "an encoded list decodes to the same list");
  }

  nimbra::SettingJournal journal(settings);
  check(journal.readable(), "a journal without a file is readable");
  size_t at = 0;
  for (const MaintenanceRecord& record : records) {
    if (record.action != MaintenanceRecord::Action::reset) continue;
    // A start time that names no representable moment is left out of the journal.
    if (!nimbra::checkedDateFromSecondsSince1970(record.startedAt)) continue;
    check(at < journal.records().size(), "one journal entry per reset");
    const SettingRecord& entry = journal.records()[at++];
    check(entry.action == "reset" && entry.result == SettingRecord::Result::legacy,
          "a seeded entry is a legacy reset");
    (void)entry;
  }
  check(at == journal.records().size(), "no journal entry beyond the resets");
  if (!journal.error()) {
    auto stored = fixture.storage().readSealed(*journal.url());
    check(stored.ok(), "the seeded journal file opens");
    auto decoded = nimbra::decodeSettingRecords(*stored);
    check(decoded.ok() && *decoded == journal.records(), "the seeded journal reads back");
  }
  return 0;
}
