#pragma once

#include <cstdio>
#include <filesystem>
#include <mutex>
#include <vector>

#include <nlohmann/json.hpp>

#include "core/error.h"

// Every request the reference server answered, one JSON object per line, so a test can
// assert on what nimbra sent. Lines are flushed as they are written: a test reading the file
// while the server runs sees every answered request. The entries are also kept in memory.
// Any thread; one lock guards the file and the list.

namespace nimbra::refserver {

class RequestLog {
 public:
  RequestLog() = default;
  ~RequestLog();
  RequestLog(const RequestLog&) = delete;
  RequestLog& operator=(const RequestLog&) = delete;

  // Appends to `path` from now on (the file is created when missing).
  Status open(const std::filesystem::path& path);

  // Gives the entry its sequence number ("seq", from 1) and records it.
  void append(nlohmann::ordered_json entry);

  std::vector<nlohmann::ordered_json> entries() const;

 private:
  mutable std::mutex mutex_;
  std::FILE* file_ = nullptr;                    // guarded by mutex_
  std::vector<nlohmann::ordered_json> entries_;  // guarded by mutex_
};

}  // namespace nimbra::refserver
