#pragma once

// Shared by the fuzz targets: a private storage with a fixed key in a throw-away directory,
// and an abort that says which invariant broke. Not a target itself (no _fuzzer suffix).

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>

#include <unistd.h>

#include "core/file_system.h"
#include "storage/key_cache.h"
#include "storage/local_storage.h"

namespace nimbra::fuzz {

// Stops the run with the broken invariant's text; libFuzzer records the input as a crash.
[[noreturn]] inline void fail(const char* what) {
  std::fprintf(stderr, "invariant broken: %s\n", what);
  std::abort();
}

inline void check(bool holds, const char* what) {
  if (!holds) fail(what);
}

inline constexpr StorageKey kFixedKey = {
    0x6e, 0x69, 0x6d, 0x62, 0x72, 0x61, 0x2d, 0x66, 0x75, 0x7a, 0x7a, 0x2d, 0x6b, 0x65, 0x79, 0x21,
    0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 0x99, 0xaa, 0xbb, 0xcc, 0xdd, 0xee, 0xff};

// An application-support directory below /dev/shm (memory; falls back to the temporary
// directory) holding "nimbra-key/storage.key" = kFixedKey, made once per process and removed
// at exit. Every sealed file the targets read or write lives in its "nimbra-local".
class FixedKeyStorage {
 public:
  static FixedKeyStorage& instance() {
    static FixedKeyStorage storage;
    return storage;
  }

  LocalStorage storage() { return LocalStorage(base_, cache_); }
  const std::filesystem::path& dataDirectory() const { return data_; }

  ~FixedKeyStorage() {
    std::error_code ignored;
    std::filesystem::remove_all(base_, ignored);
  }

 private:
  FixedKeyStorage() {
    std::filesystem::path parent = std::filesystem::exists("/dev/shm")
                                       ? std::filesystem::path("/dev/shm")
                                       : std::filesystem::temp_directory_path();
    base_ = parent / ("nimbra-fuzz-" + std::to_string(::getpid()));
    std::error_code ignored;
    std::filesystem::remove_all(base_, ignored);
    check(createDirectories(base_ / LocalStorage::kKeyDirectoryName, 0700).ok(), "key directory");
    check(createFileExclusive(base_ / LocalStorage::kKeyDirectoryName / LocalStorage::kKeyFileName,
                              kFixedKey, 0600)
              .ok(),
          "key file");
    auto data = storage().localDirectory();
    check(data.ok(), "data directory");
    data_ = *data;
  }

  std::filesystem::path base_;
  std::filesystem::path data_;
  KeyCache cache_;
};

inline std::string_view textOf(const uint8_t* data, size_t size) {
  return {reinterpret_cast<const char*>(data), size};
}

}  // namespace nimbra::fuzz
