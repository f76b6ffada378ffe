#include "telemetry/installation_identity.h"

#include <algorithm>
#include <cctype>
#include <fstream>
#include <string>

#include "core/sha256.h"

namespace nimbra::InstallationIdentity {
namespace {

// /etc/machine-id is 33 bytes; anything much longer is not a machine id.
constexpr std::streamsize kMachineIdReadLimit = 128;

std::optional<LocalSettings> currentUserSettings() {
  Result<LocalStorage> storage = LocalStorage::forCurrentUser();
  if (!storage) return std::nullopt;
  return LocalSettings(std::move(*storage));
}

Uuid computeForThisProcess() {
  std::optional<LocalSettings> settings = currentUserSettings();
  return resolveInstallationID(platformUUID(), settings ? &*settings : nullptr);
}

}  // namespace

const Uuid& installationID() {
  static const Uuid identifier = computeForThisProcess();
  return identifier;
}

std::optional<Uuid> platformUUIDFromText(std::string_view text) {
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) {
    text.remove_suffix(1);
  }
  if (text.size() != 32) return std::nullopt;
  std::string canonical;
  canonical.reserve(36);
  for (size_t i = 0; i < text.size(); ++i) {
    if (i == 8 || i == 12 || i == 16 || i == 20) canonical.push_back('-');
    canonical.push_back(text[i]);
  }
  std::optional<Uuid> uuid = Uuid::parse(canonical);
  if (!uuid || uuid->isNil()) return std::nullopt;
  return uuid;
}

std::optional<Uuid> platformUUID(const std::filesystem::path& machineIdPath) {
  std::ifstream file(machineIdPath, std::ios::binary);
  if (!file) return std::nullopt;
  std::string text(kMachineIdReadLimit, '\0');
  file.read(text.data(), kMachineIdReadLimit);
  if (file.bad()) return std::nullopt;
  text.resize(static_cast<size_t>(file.gcount()));
  return platformUUIDFromText(text);
}

Uuid deriveInstallationID(const Uuid& platform) {
  std::string input = std::string(kDerivationPrefix) + platform.text();
  std::array<uint8_t, 32> digest =
      sha256(std::span(reinterpret_cast<const uint8_t*>(input.data()), input.size()));
  Uuid::Bytes bytes{};
  std::copy_n(digest.begin(), bytes.size(), bytes.begin());
  bytes[6] = static_cast<uint8_t>(0x80 | (bytes[6] & 0x0F));
  bytes[8] = static_cast<uint8_t>(0x80 | (bytes[8] & 0x3F));
  return Uuid(bytes);
}

Uuid resolveInstallationID(const std::optional<Uuid>& platform, const LocalSettings* settings) {
  if (platform) {
    if (settings) settings->removeLegacy(kSettingsKey);
    return deriveInstallationID(*platform);
  }
  if (settings) {
    if (std::optional<std::string> stored = settings->value<std::string>(kSettingsKey)) {
      if (std::optional<Uuid> uuid = Uuid::parse(*stored)) return *uuid;
    }
  }
  Uuid fresh = Uuid::random();
  if (settings) settings->set(fresh.text(), kSettingsKey);
  return fresh;
}

}  // namespace nimbra::InstallationIdentity
