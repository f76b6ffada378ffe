#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "core/error.h"

namespace nimbra {

// The update server's answer to the latest-release query. All members are required on the
// wire except packageFormat; unknown keys are ignored.
struct AppUpdateRelease {
  int64_t schemaVersion = 0;
  std::string version;
  int64_t build = 0;
  std::string architecture;
  std::string minSystemVersion;
  int64_t size = 0;
  std::string sha256;
  std::string platform;
  int64_t updateProtocol = 0;
  std::optional<std::string> packageFormat;
  std::string downloadUrl;

  // packageFormat, or "zip" when the server left it out.
  std::string format() const { return packageFormat.value_or("zip"); }
  // "1.4.0 (212)": the version, a space, the build in round brackets.
  std::string displayVersion() const;

  bool operator==(const AppUpdateRelease&) const = default;
};

namespace UpdateRelease {

inline constexpr char kPlatform[] = "linux";
inline constexpr int64_t kProtocol = 2;
inline constexpr int64_t kSchemaVersion = 1;
inline constexpr int64_t kMaxPackageBytes = 26214400;  // 25 MiB
inline constexpr size_t kMaxReplyBytes = 16384;
inline constexpr char kPackagesPath[] = "/v1/app/updates/packages/";

// The architecture name of this build as the server knows it: "x86_64" or "aarch64".
const char* buildArchitecture();

// The query, relative to the update server's base URL, for `architecture`.
std::string queryPath(std::string_view architecture);

// Strict decoding of the JSON text; any missing or mistyped member is a JSON decoding error.
Result<AppUpdateRelease> decode(std::string_view text);
nlohmann::ordered_json encode(const AppUpdateRelease& release);

// Whether the release is meant for this program at all: schema 1, platform "linux",
// protocol 2, and `architecture` or "universal".
bool applies(const AppUpdateRelease& release, std::string_view architecture);

// A decimal integer with an optional sign, nothing else; absent otherwise.
std::optional<int64_t> parseInteger(std::string_view text);
// A build text read as parseInteger does; anything else is 0.
int64_t buildNumber(std::string_view text);

// True when `size` lies within 1 … kMaxPackageBytes.
bool sizeAcceptable(int64_t size);

}  // namespace UpdateRelease
}  // namespace nimbra
