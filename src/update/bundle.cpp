#include "update/bundle.h"

#include <nlohmann/json.hpp>

#include "core/file_system.h"
#include "nimbra/build_config.h"

namespace nimbra {
namespace Bundle {
namespace {

std::optional<std::string> textValue(const nlohmann::json& object, const char* key) {
  auto found = object.find(key);
  if (found == object.end() || !found->is_string()) return std::nullopt;
  return found->get<std::string>();
}

}  // namespace

std::filesystem::path infoFile(const std::filesystem::path& bundle) {
  return bundle / "Contents" / "Info.json";
}
std::filesystem::path codeSignatureFolder(const std::filesystem::path& bundle) {
  return bundle / "Contents" / "CodeSignature";
}
std::filesystem::path executable(const std::filesystem::path& bundle) {
  return bundle / "Contents" / "bin" / kExecutable;
}
std::filesystem::path installer(const std::filesystem::path& bundle) {
  return bundle / "Contents" / "bin" / kInstallerName;
}

std::optional<BundleValues> readValues(const std::filesystem::path& bundle) {
  Result<std::string> text = readFile(infoFile(bundle));
  if (!text) return std::nullopt;
  nlohmann::json object = nlohmann::json::parse(*text, nullptr, false);
  if (!object.is_object()) return std::nullopt;
  return BundleValues{
      .identifier = textValue(object, "CFBundleIdentifier"),
      .executable = textValue(object, "CFBundleExecutable"),
      .shortVersion = textValue(object, "CFBundleShortVersionString"),
      .version = textValue(object, "CFBundleVersion"),
      .minimumSystem = textValue(object, "LSMinimumSystemVersion"),
  };
}

}  // namespace Bundle

std::filesystem::path RunningApp::installer() const {
  return isBundle ? Bundle::installer(bundle) : bundle / Bundle::kInstallerName;
}

std::optional<std::filesystem::path> RunningApp::resources() const {
  if (!isBundle) return std::nullopt;
  return bundle / "Contents" / "Resources";
}

RunningApp RunningApp::current() { return forExecutable(runningExecutable()); }

RunningApp RunningApp::forExecutable(const std::filesystem::path& executable) {
  std::filesystem::path folder = executable.parent_path();
  // ".../nimbra.app/Contents/bin/nimbra": the bundle is two levels above the folder.
  if (folder.filename() == "bin" && folder.parent_path().filename() == "Contents") {
    std::filesystem::path bundle = folder.parent_path().parent_path();
    if (std::optional<BundleValues> values = Bundle::readValues(bundle)) {
      return RunningApp{bundle, true, *values};
    }
  }
  BundleValues constants;
  constants.identifier = Bundle::kIdentifier;
  constants.executable = Bundle::kExecutable;
  constants.shortVersion = NIMBRA_VERSION;
  constants.version = NIMBRA_BUILD;
  return RunningApp{folder, false, constants};
}

}  // namespace nimbra
