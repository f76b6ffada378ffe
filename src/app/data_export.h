#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "storage/device_sample.h"
#include "storage/history_archive.h"
#include "storage/maintenance_records.h"
#include "storage/setting_journal.h"

// The kept data in open formats, for the user to take elsewhere: CSV (RFC 4180: a header row,
// CRLF line ends, a field with a comma, a double quote, CR or LF in double quotes with its
// quotes doubled) and JSON. Dates are ISO 8601 in UTC with "Z"; sample times keep their
// milliseconds. Pure functions of their arguments; any thread.
namespace nimbra::DataExport {

// One field as CSV writes it.
std::string csvField(std::string_view text);
// The fields joined by commas, ended by CRLF, appended to `out`.
void appendCsvRow(std::string& out, const std::vector<std::string>& fields);

// "2024-05-01T08:30:00.250Z": the time rounded to the millisecond.
std::string sampleTime(double secondsSince1970);

// The samples of one device directory; `device` is its key (the part after the device kind).
struct DeviceSamples {
  std::string device;
  std::vector<DeviceSample> samples;
};

// One row per sample, in the given order: device, observedAt, the reading's fields, then one
// column per setting ("setting.<id>") over every setting any sample has. An absent value is
// an empty field; settings are "true" or "false".
std::string samplesCsv(const std::vector<DeviceSamples>& devices);

// time, action, requested, before, after, result, id. "before" and "after" list the values as
// "id=true;id=false" in id order.
std::string settingJournalCsv(const std::vector<SettingRecord>& records);

// action ("diagnostics" or "reset"), startedAt.
std::string maintenanceCsv(const std::vector<MaintenanceRecord>& records);

// The records of one history archive file; `id` is the archive id in its file name.
struct ArchiveRecords {
  std::string id;
  HistoryArchive::Records records;
};

// {"archives": [{"archive": id, "records": [{"key", "directory", "format", "position",
// "payload" (hex), "firstReadAt", "observation" (absent until the server sent one)}]}]},
// records in key order, pretty-printed.
std::string historyJson(const std::vector<ArchiveRecords>& archives);

}  // namespace nimbra::DataExport
