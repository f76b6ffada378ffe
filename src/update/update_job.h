#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

#include "core/error.h"
#include "core/uuid.h"
#include "update/release.h"

namespace nimbra {

// What the program hands the installer in "job.json" (keys in this order). Written once,
// 0600, in the job directory next to the installer's copy.
struct AppUpdateJob {
  Uuid id;
  int32_t parentPID = 0;
  std::string target;     // the running bundle
  std::string stagedApp;  // "<job>/unpacked/nimbra.app"
  std::string archive;    // "<job>/update.zip"
  AppUpdateRelease release;

  std::string encode() const;
  static Result<AppUpdateJob> decode(std::string_view text);
};

}  // namespace nimbra
