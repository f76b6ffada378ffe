#include "app/export_sources.h"

#include <algorithm>
#include <cmath>
#include <optional>
#include <string>
#include <string_view>

#include "core/file_error.h"
#include "core/file_system.h"
#include "storage/day_file.h"
#include "storage/device_store.h"
#include "storage/history_archive.h"

namespace nimbra::ExportSources {
namespace {

using std::filesystem::path;

// A listing of a folder that is not there yet is empty.
Result<std::vector<std::string>> sortedNames(const path& directory) {
  Result<std::vector<std::string>> names = listDirectory(directory);
  if (!names) {
    if (isFileError(names.error(), FileErrorKind::readNoSuchFile)) {
      return std::vector<std::string>{};
    }
    return names.error();
  }
  std::sort(names->begin(), names->end());
  return names;
}

// The samples of one device directory inside [from, to).
Result<std::vector<DeviceSample>> deviceSamples(const LocalStorage& storage, const path& directory,
                                                int64_t firstDay, int64_t lastDay, double from,
                                                double to) {
  Result<std::vector<std::string>> names = sortedNames(directory);
  if (!names) return names.error();
  std::vector<int64_t> days;
  for (const std::string& name : *names) {
    std::optional<int64_t> day = parseDayFileName(name);
    if (day && *day >= firstDay && *day <= lastDay) days.push_back(*day);
  }
  std::sort(days.begin(), days.end());
  std::vector<DeviceSample> kept;
  for (int64_t day : days) {
    Result<std::vector<DeviceSample>> loaded = loadDayFile(storage, directory / dayFileName(day));
    if (!loaded) return loaded.error();
    for (DeviceSample& sample : *loaded) {
      if (sample.observedAt >= from && sample.observedAt < to) kept.push_back(std::move(sample));
    }
  }
  return kept;
}

}  // namespace

Result<std::vector<DataExport::DeviceSamples>> samples(const LocalStorage& storage,
                                                       const DeviceProfile& profile, double from,
                                                       double to) {
  std::vector<DataExport::DeviceSamples> devices;
  std::optional<int64_t> firstDay = dayNumber(from);
  std::optional<int64_t> lastDay = dayNumber(std::nextafter(to, from));
  if (!firstDay || !lastDay || !(from < to)) return devices;

  Result<path> data = storage.localDirectory();
  if (!data) return data.error();
  path root = *data / DeviceStore::kRootName;
  Result<std::string> sample =
      deviceDirectoryName(profile.brand, profile.model, profile.transport, "key");
  if (!sample) return sample.error();
  const std::string prefix = sample->substr(0, sample->size() - 3);

  Result<std::vector<std::string>> names = sortedNames(root);
  if (!names) return names.error();
  for (const std::string& name : *names) {
    if (name.size() <= prefix.size() || !name.starts_with(prefix)) continue;
    Result<std::vector<DeviceSample>> kept =
        deviceSamples(storage, root / name, *firstDay, *lastDay, from, to);
    if (!kept) return kept.error();
    if (!kept->empty()) devices.push_back({name.substr(prefix.size()), std::move(*kept)});
  }
  return devices;
}

Result<std::vector<DataExport::ArchiveRecords>> historyArchives(const LocalStorage& storage) {
  Result<path> data = storage.localDirectory();
  if (!data) return data.error();
  Result<std::vector<std::string>> names = sortedNames(*data);
  if (!names) return names.error();
  constexpr std::string_view kPrefix = "history-";
  constexpr std::string_view kSuffix = ".json";
  std::vector<DataExport::ArchiveRecords> archives;
  for (const std::string& name : *names) {
    if (!name.starts_with(kPrefix) || !name.ends_with(kSuffix) ||
        name.size() <= kPrefix.size() + kSuffix.size()) {
      continue;
    }
    std::string id = name.substr(kPrefix.size(), name.size() - kPrefix.size() - kSuffix.size());
    if (HistoryArchive::fileName(id) != name) continue;
    Result<std::optional<HistoryArchive::Records>> records =
        storage.loadSealed<HistoryArchive::Records>(*data / name, HistoryArchive::decode);
    if (!records) return records.error();
    if (*records) archives.push_back({std::move(id), std::move(**records)});
  }
  return archives;
}

}  // namespace nimbra::ExportSources
