#include "storage/device_store.h"

#include <algorithm>
#include <cmath>
#include <utility>

#include <nlohmann/json.hpp>

#include "core/dates.h"
#include "core/file_system.h"
#include "core/utf8.h"
#include "storage/day_file.h"
#include "storage/legacy_import.h"
#include "storage/sample_codec.h"
#include "storage/storage_error.h"

namespace nimbra {
namespace {

using std::filesystem::path;

constexpr mode_t kDirectoryMode = 0700;
// Room for a whole day (17,280 samples, ~5 MB) so the cache never reallocates mid-day.
constexpr size_t kEncodedReserve = 6u << 20;

struct DayFile {
  int64_t day;
  path file;
};

// Day files of a directory, highest day first; other names are ignored.
Result<std::vector<DayFile>> listDayFiles(const path& directory) {
  Result<std::vector<std::string>> names = listDirectory(directory);
  if (!names) return names.error();
  std::vector<DayFile> days;
  for (const std::string& name : *names) {
    if (std::optional<int64_t> day = parseDayFileName(name)) {
      days.push_back({*day, directory / name});
    }
  }
  std::sort(days.begin(), days.end(),
            [](const DayFile& a, const DayFile& b) { return a.day > b.day; });
  return days;
}

// The texts of a sample come from the device (firmware, engine) or the page (setting ids);
// they are stored as valid UTF-8, so that every day file encodes and reads back.
DeviceSample withValidTexts(const DeviceSample& sample) {
  DeviceSample repaired = sample;
  repaired.firmware = validUtf8Optional(sample.firmware);
  repaired.engine = validUtf8Optional(sample.engine);
  repaired.settings.clear();
  for (const auto& [name, on] : sample.settings) repaired.settings.emplace(validUtf8(name), on);
  return repaired;
}

}  // namespace

Result<DeviceStore> DeviceStore::open(LocalStorage storage, const Clock& clock) {
  Result<path> data = storage.localDirectory();
  if (!data) return data.error();
  path root = *data / kRootName;
  if (Status made = createDirectories(root, kDirectoryMode); !made) return made.error();
  if (Status imported = importLegacyDatabase(storage, *data, root); !imported) {
    return imported.error();
  }
  return DeviceStore(std::move(storage), clock, std::move(root));
}

DeviceStore::DeviceStore(LocalStorage storage, const Clock& clock, path root)
    : storage_(std::move(storage)), clock_(&clock), root_(std::move(root)) {}

Result<path> DeviceStore::deviceDirectory(const DeviceProfile& profile,
                                          std::string_view deviceKey) const {
  Result<std::string> name =
      deviceDirectoryName(profile.brand, profile.model, profile.transport, deviceKey);
  if (!name) return name.error();
  return root_ / *name;
}

Status DeviceStore::append(const DeviceSample& sample, const DeviceProfile& profile,
                           std::string_view deviceKey) {
  Result<path> directory = deviceDirectory(profile, deviceKey);
  if (!directory) return directory.error();
  Result<std::string> fileName = dayFileNameOf(sample.observedAt);
  if (!fileName) return fileName.error();
  path file = *directory / *fileName;
  if (file != currentFile_) {
    if (Status switched = switchDay(*directory, file); !switched) return switched;
  }
  if (!currentSamples_.empty() && currentSamples_.back().observedAt == sample.observedAt) {
    return {};
  }

  // The cache is extended only by a sample that encodes and is written: on any failure it
  // is cut back to what the day file holds, so the next append writes a readable day.
  DeviceSample repaired = withValidTexts(sample);
  size_t previousSize = encoded_.size();
  Status written;
  try {
    if (!currentSamples_.empty()) encoded_ += ',';
    appendSampleJson(encoded_, repaired);
    encoded_ += ']';
    written = storage_.writeSealed(encoded_, file, sealBuffer_);
  } catch (const nlohmann::json::exception& failure) {
    written = storageError(StorageErrorKind::encodingFailed, failure.what());
  }
  if (!written) {
    encoded_.resize(previousSize);
    return written;
  }
  encoded_.pop_back();
  currentSamples_.push_back(std::move(repaired));
  return {};
}

// Moves the cache to another day file; on failure the cache stays on the old day.
Status DeviceStore::switchDay(const path& directory, const path& file) {
  if (Status made = createDirectories(directory, kDirectoryMode); !made) return made;
  if (Status pruned = prune(directory); !pruned) return pruned;
  Result<std::vector<DeviceSample>> samples = loadDayFile(storage_, file);
  if (!samples) return samples.error();

  encoded_.clear();
  encoded_.reserve(kEncodedReserve);
  appendSampleArray(encoded_, *samples);
  encoded_.pop_back();  // the closing "]"
  currentSamples_ = std::move(*samples);
  currentFile_ = file;
  otherDayTails_.clear();  // the day left behind may be among them, and pruning removes days
  return {};
}

Status DeviceStore::prune(const path& directory) const {
  std::optional<int64_t> cutoff = dayNumber(secondsSince1970(clock_->now()) - kRetentionSeconds);
  if (!cutoff) return {};
  Result<std::vector<DayFile>> days = listDayFiles(directory);
  if (!days) return days.error();
  for (const DayFile& day : *days) {
    if (day.day >= *cutoff) continue;
    if (Status removed = removeFile(day.file); !removed) return removed;
  }
  return {};
}

Result<std::vector<DeviceSample>> DeviceStore::recent(const DeviceProfile& profile,
                                                      std::string_view deviceKey) const {
  Result<path> directory = deviceDirectory(profile, deviceKey);
  if (!directory) return directory.error();
  Result<bool> exists = fileExists(*directory);
  if (!exists) return exists.error();
  if (!*exists) return std::vector<DeviceSample>();
  Result<std::vector<DayFile>> days = listDayFiles(*directory);
  if (!days) return days.error();

  std::vector<DeviceSample> result;
  for (const DayFile& day : *days) {
    const std::vector<DeviceSample>* samples = &currentSamples_;
    if (day.file != currentFile_) {
      auto tail = otherDayTails_.find(day.file);
      if (tail == otherDayTails_.end()) {
        Result<std::vector<DeviceSample>> read = loadDayFile(storage_, day.file);
        if (!read) return read.error();
        auto kept = static_cast<std::ptrdiff_t>(std::min(kRecentCount, read->size()));
        tail = otherDayTails_
                   .emplace(day.file,
                            std::vector<DeviceSample>(std::make_move_iterator(read->end() - kept),
                                                      std::make_move_iterator(read->end())))
                   .first;
      }
      samples = &tail->second;
    }
    size_t wanted = std::min(kRecentCount - result.size(), samples->size());
    result.insert(result.end(), samples->end() - static_cast<std::ptrdiff_t>(wanted),
                  samples->end());
    if (result.size() == kRecentCount) break;
  }
  return result;
}

}  // namespace nimbra
