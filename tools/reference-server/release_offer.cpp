#include "reference-server/release_offer.h"

#include <nlohmann/json.hpp>

#include "core/file_system.h"
#include "core/sha256.h"

namespace nimbra::refserver {

Result<ReleaseOffer> loadReleaseOffer(const std::filesystem::path& releaseJson,
                                      const std::filesystem::path& package,
                                      const std::string& baseUrl) {
  Result<std::string> text = readFile(releaseJson);
  if (!text) return text.error();
  nlohmann::ordered_json document =
      nlohmann::ordered_json::parse(*text, nullptr, /*allow_exceptions=*/false);
  if (!document.is_object()) {
    return Error::make("ReferenceServer", 3, releaseJson.string() + " is not a JSON object");
  }
  ReleaseOffer offer;
  if (!package.empty()) {
    Result<std::string> bytes = readFile(package);
    if (!bytes) return bytes.error();
    offer.package = std::move(bytes).value();
    offer.packageName = package.filename().string();
    if (!document.contains("size")) document["size"] = offer.package.size();
    if (!document.contains("sha256")) document["sha256"] = sha256Hex(offer.package);
    if (!document.contains("downloadUrl")) {
      document["downloadUrl"] = baseUrl + kPackagesPath + offer.packageName;
    }
  }
  offer.document = document.dump();
  return offer;
}

}  // namespace nimbra::refserver
