#pragma once

// A folder of one's own for a test, a benchmark or a fuzzer run. No GoogleTest here.

#include <cerrno>
#include <filesystem>
#include <string>
#include <string_view>
#include <system_error>

#include <stdlib.h>

namespace nimbra::testing {

// Made empty, with a unique name ("<prefix>-XXXXXX", mode 0700) under the system's temporary
// folder or `parent`, and removed with everything in it at destruction. Throws
// std::system_error when it cannot be made.
class TemporaryFolder {
 public:
  explicit TemporaryFolder(
      std::string_view prefix = "nimbra-test",
      const std::filesystem::path& parent = std::filesystem::temp_directory_path()) {
    std::string pattern = (parent / (std::string(prefix) + "-XXXXXX")).string();
    if (::mkdtemp(pattern.data()) == nullptr) {
      throw std::system_error(errno, std::generic_category(), pattern);
    }
    path_ = pattern;
  }
  ~TemporaryFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  TemporaryFolder(const TemporaryFolder&) = delete;
  TemporaryFolder& operator=(const TemporaryFolder&) = delete;

  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

}  // namespace nimbra::testing
