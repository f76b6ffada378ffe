#include "storage/local_settings.h"

#include "core/base64.h"
#include "core/file_system.h"

namespace nimbra {

void to_json(nlohmann::json& json, const StoredBytes& value) { json = base64Encode(value.bytes); }

void from_json(const nlohmann::json& json, StoredBytes& value) {
  std::optional<std::vector<uint8_t>> bytes = base64Decode(json.get<std::string>());
  if (!bytes) {
    throw nlohmann::json::type_error::create(302, "value is not standard Base64", &json);
  }
  value.bytes = std::move(*bytes);
}

Result<std::filesystem::path> LocalSettings::fileFor(std::string_view key) const {
  if (key.empty() || key == "." || key == ".." || key.find('/') != std::string_view::npos ||
      key.find('\0') != std::string_view::npos) {
    return storageError(StorageErrorKind::fileReadNoPermission, std::string(key));
  }
  Result<std::filesystem::path> data = storage_.localDirectory();
  if (!data) return data.error();
  std::filesystem::path directory = *data / kDirectoryName;
  if (Status made = createDirectories(directory, 0700); !made) return made.error();
  return directory / (std::string(key) + ".json");
}

std::optional<std::vector<uint8_t>> LocalSettings::bytesValue(std::string_view key) const {
  std::optional<StoredBytes> stored = value<StoredBytes>(key);
  if (!stored) return std::nullopt;
  return std::move(stored->bytes);
}

void LocalSettings::setBytes(std::span<const uint8_t> bytes, std::string_view key) const {
  set(StoredBytes{{bytes.begin(), bytes.end()}}, key);
}

}  // namespace nimbra
