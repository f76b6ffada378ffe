#pragma once

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "core/uuid.h"
#include "storage/key_cache.h"
#include "storage/local_storage.h"
#include "storage/storage_error.h"
#include "support/file_contents.h"
#include "support/result_assertions.h"
#include "support/temporary_folder.h"

namespace nimbra::testing {

namespace fs = std::filesystem;

// Asserts that a Result or Status failed with the given storage kind.
#define EXPECT_STORAGE_ERROR(result, kind)                                \
  do {                                                                    \
    const auto& checked_ = (result);                                      \
    ASSERT_FALSE(checked_.ok()) << "expected " #kind;                     \
    EXPECT_TRUE(isStorageError(checked_.error(), StorageErrorKind::kind)) \
        << describe(checked_.error());                                    \
  } while (0)

inline mode_t modeOf(const fs::path& file) {
  struct stat info {};
  EXPECT_EQ(::lstat(file.c_str(), &info), 0) << file;
  return info.st_mode & 07777;
}

// A fresh application-support directory and key cache per test, so every test starts as a
// new user account would.
class StorageTest : public ::testing::Test {
 protected:
  LocalStorage storage() { return LocalStorage(base_, cache_); }
  // Another process of the same user: same files, empty key cache.
  LocalStorage freshProcess() {
    caches_.emplace_back(std::make_unique<KeyCache>());
    return LocalStorage(base_, *caches_.back());
  }
  fs::path dataDir() { return base_ / "nimbra-local"; }
  fs::path keyFile() { return base_ / "nimbra-key" / "storage.key"; }

  TemporaryFolder folder_{"nimbra-storage-test"};
  fs::path base_ = folder_.path();
  KeyCache cache_;
  std::vector<std::unique_ptr<KeyCache>> caches_;
};

}  // namespace nimbra::testing
