#pragma once

#include <filesystem>
#include <string>

#include "core/error.h"

// The release the reference server offers on the update paths, loaded from the files a test
// or scripts/bundle made.
namespace nimbra::refserver {

inline constexpr char kPackagesPath[] = "/v1/app/updates/packages/";

struct ReleaseOffer {
  std::string document;     // the release document as served
  std::string packageName;  // served under kPackagesPath; empty: no package
  std::string package;      // its bytes
};

// Reads the release document (a JSON object) and, when `package` is given, the package. The
// document's "size", "sha256" and "downloadUrl" are filled in from the package when the file
// leaves them out (the URL under `baseUrl`); values the file gives are kept, so a test can
// offer a release whose announcement does not match its package.
Result<ReleaseOffer> loadReleaseOffer(const std::filesystem::path& releaseJson,
                                      const std::filesystem::path& package,
                                      const std::string& baseUrl);

}  // namespace nimbra::refserver
