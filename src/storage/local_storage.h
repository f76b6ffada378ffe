#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/error.h"
#include "core/file_system.h"
#include "storage/aes_gcm.h"
#include "storage/json_codec.h"
#include "storage/key_cache.h"

namespace nimbra {

// Sealed files: a JSON document encrypted and authenticated with AES-256-GCM under the one
// per-user key, laid out as
//   "NIMBRA2\n" | 12-byte nonce | ciphertext | 16-byte tag
// with the file's own name (no directory) as additional authenticated data, so a file
// renamed is unreadable while one copied elsewhere under its name still opens.
//
// Two private directories live in the application-support directory ($XDG_DATA_HOME):
// "nimbra-key" holds "storage.key" (32 raw bytes, 0600) and "nimbra-local" every data file.
// The key is made once, by the first write, and never while data files exist without it.
//
// A LocalStorage is a cheap handle naming the application-support directory, the key cache
// and the hook its writes announce their steps to (none in the program); it has no state of
// its own. Any thread: each file has one owner that serialises
// its writes, and only the key load takes a lock (in the KeyCache).
class LocalStorage {
 public:
  static constexpr std::string_view kMagic{"NIMBRA2\n", 8};
  static constexpr char kKeyDirectoryName[] = "nimbra-key";
  static constexpr char kDataDirectoryName[] = "nimbra-local";
  static constexpr char kKeyFileName[] = "storage.key";

  // The user's data folder (UserFolders::Folder::data); fileReadNoSuchFile without one.
  static Result<std::filesystem::path> userDataHome();
  // The real user's storage, sharing the process-wide key cache.
  static Result<LocalStorage> forCurrentUser();

  // `applicationSupport` is created on demand. The cache must outlive the handle.
  LocalStorage(std::filesystem::path applicationSupport, KeyCache& cache,
               WriteStepHook writeSteps = {});

  // `name` below the application-support directory, created 0700 if missing, then checked
  // (a real directory owned by this user, not a link) and set to 0700.
  Result<std::filesystem::path> privateDirectory(std::string_view name) const;
  Result<std::filesystem::path> localDirectory() const;

  Result<StorageKey> loadKey(bool createIfMissing) const;

  // Removes what killed writes left in the data directory (all its sub-directories): the
  // temporary files of writeFileAtomically, named "." + target name + "." + a UUID in
  // Uuid::text() form, that never got renamed over their target. Nothing else is touched.
  // Only safe while no write can be in progress: the program calls it once at start-up,
  // in its single (primary) instance, before any store writes. Returns how many it removed;
  // a missing data directory removes none.
  Result<int> removeAbandonedTemporaries() const;

  Result<std::string> readSealed(const std::filesystem::path& location) const;
  Status writeSealed(std::string_view plaintext, const std::filesystem::path& location) const;
  // As above, building the sealed bytes in `scratch`, whose capacity survives the call:
  // large files written often (the day's samples) then touch no fresh memory.
  Status writeSealed(std::string_view plaintext, const std::filesystem::path& location,
                     std::vector<uint8_t>& scratch) const;

  // Absent when the file (or the key) is missing; every other failure passes on.
  template <typename T>
  Result<std::optional<T>> loadSealed(const std::filesystem::path& location,
                                      const JsonDecoder<T>& decode = decodeJson<T>) const;
  template <typename T>
  Status saveSealed(const T& value, const std::filesystem::path& location) const;

  // Reads the sealed file, or takes over the legacy plain file once: its bytes are sealed
  // unchanged and the plain file is removed. Absent when neither exists. A sealed file that
  // fails for any other reason than being missing is reported and the plain one not looked at.
  template <typename T>
  Result<std::optional<T>> loadSealedMigrating(const std::filesystem::path& plainLocation,
                                               const std::filesystem::path& sealedLocation,
                                               const JsonDecoder<T>& decode) const;

  const std::filesystem::path& applicationSupport() const { return applicationSupport_; }

 private:
  Result<StorageKey> loadOrCreateKey(bool createIfMissing) const;
  Status guardKeyCreation(const std::filesystem::path& keyFile) const;
  Status createKey(const std::filesystem::path& keyDirectory,
                   const std::filesystem::path& keyFile) const;
  // Step 2 of loadSealedMigrating: the plain file's bytes, or absent if it is missing.
  Result<std::optional<std::string>> readPlain(const std::filesystem::path& location) const;
  Status removeIfPresent(const std::filesystem::path& location) const;

  std::filesystem::path applicationSupport_;
  KeyCache* cache_;
  WriteStepHook writeSteps_;
};

bool isNoSuchFile(const Error& error);

template <typename T>
Result<std::optional<T>> LocalStorage::loadSealed(const std::filesystem::path& location,
                                                  const JsonDecoder<T>& decode) const {
  Result<std::string> plaintext = readSealed(location);
  if (!plaintext) {
    if (isNoSuchFile(plaintext.error())) return std::optional<T>();
    return plaintext.error();
  }
  Result<T> value = decode(*plaintext);
  if (!value) return value.error();
  return std::optional<T>(std::move(*value));
}

template <typename T>
Status LocalStorage::saveSealed(const T& value, const std::filesystem::path& location) const {
  Result<std::string> text = encodeJson(value);
  if (!text) return text.error();
  return writeSealed(*text, location);
}

template <typename T>
Result<std::optional<T>> LocalStorage::loadSealedMigrating(
    const std::filesystem::path& plainLocation, const std::filesystem::path& sealedLocation,
    const JsonDecoder<T>& decode) const {
  Result<std::string> sealed = readSealed(sealedLocation);
  if (sealed) {
    Result<T> value = decode(*sealed);
    if (!value) return value.error();
    if (Status removed = removeIfPresent(plainLocation); !removed) return removed.error();
    return std::optional<T>(std::move(*value));
  }
  if (!isNoSuchFile(sealed.error())) return sealed.error();

  Result<std::optional<std::string>> plain = readPlain(plainLocation);
  if (!plain) return plain.error();
  if (!*plain) return std::optional<T>();
  Result<T> value = decode(**plain);
  if (!value) return value.error();
  if (Status written = writeSealed(**plain, sealedLocation); !written) return written.error();
  if (Status removed = removeFile(plainLocation, writeSteps_); !removed) return removed.error();
  return std::optional<T>(std::move(*value));
}

}  // namespace nimbra
