#include "storage/day_file.h"

#include "storage/sample_codec.h"
#include "storage/storage_error.h"

namespace nimbra {

Result<std::vector<DeviceSample>> loadDayFile(const LocalStorage& storage,
                                              const std::filesystem::path& file) {
  Result<std::optional<std::vector<DeviceSample>>> loaded =
      storage.loadSealed<std::vector<DeviceSample>>(file, decodeSampleArray);
  if (!loaded) return loaded.error();
  if (!*loaded) return std::vector<DeviceSample>();
  return std::move(**loaded);
}

Status saveDayFile(const LocalStorage& storage, const std::filesystem::path& file,
                   const std::vector<DeviceSample>& samples) {
  for (const DeviceSample& sample : samples) {
    if (!dayNumber(sample.observedAt)) {
      return storageError(StorageErrorKind::encodingFailed, "sample time out of range");
    }
  }
  return storage.writeSealed(encodeSampleArray(samples), file);
}

bool isSafeNamePart(std::string_view part) {
  if (part.empty()) return false;
  for (char c : part) {
    bool ok =
        (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-';
    if (!ok) return false;
  }
  return true;
}

Result<std::string> deviceDirectoryName(std::string_view brand, std::string_view model,
                                        std::string_view transport, std::string_view key) {
  for (std::string_view part : {brand, model, transport, key}) {
    if (!isSafeNamePart(part)) {
      return storageError(StorageErrorKind::fileReadCorruptFile,
                          "unusable device name part \"" + std::string(part) + "\"");
    }
  }
  std::string name;
  for (std::string_view part : {brand, model, transport}) {
    name += part;
    name += '-';
  }
  name += key;
  return name;
}

Result<std::string> dayFileNameOf(double observedAt) {
  std::optional<int64_t> day = dayNumber(observedAt);
  if (!day) return storageError(StorageErrorKind::encodingFailed, "sample time out of range");
  return dayFileName(*day);
}

}  // namespace nimbra
