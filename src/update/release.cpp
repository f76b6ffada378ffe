#include "update/release.h"

#include <charconv>

#include "core/json_fields.h"

namespace nimbra {

std::string AppUpdateRelease::displayVersion() const {
  return version + " (" + std::to_string(build) + ")";
}

namespace UpdateRelease {

const char* buildArchitecture() {
#if defined(__x86_64__)
  return "x86_64";
#elif defined(__aarch64__)
  return "aarch64";
#else
#error "nimbra updates itself only on x86_64 and aarch64"
#endif
}

std::string queryPath(std::string_view architecture) {
  return "/v1/app/updates/latest?platform=linux&protocol=2&bundle=nimbra&format=zip&arch=" +
         std::string(architecture);
}

Result<AppUpdateRelease> decode(std::string_view text) {
  try {
    nlohmann::json document = nlohmann::json::parse(text);
    if (!document.is_object()) return jsonDecodingError("the release is not a JSON object");
    AppUpdateRelease release;
    release.schemaVersion = requiredInt64(document, "schemaVersion");
    release.version = requiredString(document, "version");
    release.build = requiredInt64(document, "build");
    release.architecture = requiredString(document, "architecture");
    release.minSystemVersion = requiredString(document, "minSystemVersion");
    release.size = requiredInt64(document, "size");
    release.sha256 = requiredString(document, "sha256");
    release.platform = requiredString(document, "platform");
    release.updateProtocol = requiredInt64(document, "updateProtocol");
    release.packageFormat = optionalString(document, "packageFormat");
    release.downloadUrl = requiredString(document, "downloadUrl");
    return release;
  } catch (const nlohmann::json::exception& e) {
    return jsonDecodingError(e.what());
  }
}

nlohmann::ordered_json encode(const AppUpdateRelease& release) {
  nlohmann::ordered_json object;
  object["schemaVersion"] = release.schemaVersion;
  object["version"] = release.version;
  object["build"] = release.build;
  object["architecture"] = release.architecture;
  object["minSystemVersion"] = release.minSystemVersion;
  object["size"] = release.size;
  object["sha256"] = release.sha256;
  object["platform"] = release.platform;
  object["updateProtocol"] = release.updateProtocol;
  if (release.packageFormat) object["packageFormat"] = *release.packageFormat;
  object["downloadUrl"] = release.downloadUrl;
  return object;
}

bool applies(const AppUpdateRelease& release, std::string_view architecture) {
  return release.schemaVersion == kSchemaVersion && release.platform == kPlatform &&
         release.updateProtocol == kProtocol &&
         (release.architecture == architecture || release.architecture == "universal");
}

std::optional<int64_t> parseInteger(std::string_view text) {
  if (text.size() > 1 && text[0] == '+' && text[1] != '-') text.remove_prefix(1);
  int64_t number = 0;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), number);
  if (text.empty() || error != std::errc() || end != text.data() + text.size()) {
    return std::nullopt;
  }
  return number;
}

int64_t buildNumber(std::string_view text) { return parseInteger(text).value_or(0); }

bool sizeAcceptable(int64_t size) { return size >= 1 && size <= kMaxPackageBytes; }

}  // namespace UpdateRelease
}  // namespace nimbra
