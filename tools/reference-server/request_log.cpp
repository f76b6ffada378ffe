#include "reference-server/request_log.h"

#include <cerrno>

namespace nimbra::refserver {

RequestLog::~RequestLog() {
  if (file_ != nullptr) std::fclose(file_);
}

Status RequestLog::open(const std::filesystem::path& path) {
  std::FILE* file = std::fopen(path.c_str(), "a");
  if (file == nullptr) return Error::posix(errno, path.string());
  std::lock_guard lock(mutex_);
  if (file_ != nullptr) std::fclose(file_);
  file_ = file;
  return {};
}

void RequestLog::append(nlohmann::ordered_json entry) {
  std::lock_guard lock(mutex_);
  nlohmann::ordered_json numbered = nlohmann::ordered_json::object();
  numbered["seq"] = entries_.size() + 1;
  for (auto& [key, value] : entry.items()) numbered[key] = std::move(value);
  if (file_ != nullptr) {
    // Bodies are nimbra's own bytes; a stray invalid UTF-8 byte must not lose the line.
    std::string line =
        numbered.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
    line += '\n';
    std::fwrite(line.data(), 1, line.size(), file_);
    std::fflush(file_);
  }
  entries_.push_back(std::move(numbered));
}

std::vector<nlohmann::ordered_json> RequestLog::entries() const {
  std::lock_guard lock(mutex_);
  return entries_;
}

}  // namespace nimbra::refserver
