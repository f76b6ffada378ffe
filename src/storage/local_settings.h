#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "storage/local_storage.h"

namespace nimbra {

// A byte value as local settings keep it: a JSON string holding its standard Base64.
struct StoredBytes {
  std::vector<uint8_t> bytes;
};
void to_json(nlohmann::json& json, const StoredBytes& value);
void from_json(const nlohmann::json& json, StoredBytes& value);

// Key-value settings, one sealed file per key: "Preferences/<key>.json" in the data
// directory, holding the value's JSON. Errors never reach the caller: a value that cannot be
// read is absent, and a write that fails leaves the old file (or none). A file that exists
// but cannot be read as the value's type is never overwritten, so nothing unreadable is lost.
//
// There are no user defaults on Linux, so there is nothing to take over from them and
// removeLegacy has nothing to remove. Main thread only (one writer per key).
class LocalSettings {
 public:
  static constexpr char kDirectoryName[] = "Preferences";

  explicit LocalSettings(LocalStorage storage) : storage_(std::move(storage)) {}

  template <typename T>
  std::optional<T> value(std::string_view key) const;
  template <typename T>
  void set(const T& value, std::string_view key) const;
  // As set, for a caller that shows the failure: the error of a write that did not happen
  // (including the refusal to replace a stored value that cannot be read).
  template <typename T>
  Status save(const T& value, std::string_view key) const;

  std::optional<std::vector<uint8_t>> bytesValue(std::string_view key) const;
  void setBytes(std::span<const uint8_t> bytes, std::string_view key) const;

  void removeLegacy(std::string_view /*key*/) const {}

  // The key's file, creating "Preferences" 0700 when needed. Keys must be plain file names:
  // empty keys, "." and "..", and keys holding "/" or NUL are refused.
  Result<std::filesystem::path> fileFor(std::string_view key) const;

  const LocalStorage& storage() const { return storage_; }

 private:
  LocalStorage storage_;
};

template <typename T>
std::optional<T> LocalSettings::value(std::string_view key) const {
  Result<std::filesystem::path> file = fileFor(key);
  if (!file) return std::nullopt;
  Result<std::optional<T>> loaded = storage_.loadSealed<T>(*file);
  if (!loaded) return std::nullopt;
  return std::move(*loaded);
}

template <typename T>
void LocalSettings::set(const T& value, std::string_view key) const {
  (void)save(value, key);
}

template <typename T>
Status LocalSettings::save(const T& value, std::string_view key) const {
  Result<std::filesystem::path> file = fileFor(key);
  if (!file) return file.error();
  if (Result<std::optional<T>> current = storage_.loadSealed<T>(*file); !current) {
    return current.error();
  }
  return storage_.saveSealed(value, *file);
}

}  // namespace nimbra
