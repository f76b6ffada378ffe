#include "app/program_facts.h"

#include <cstdlib>
#include <system_error>

#include "app/device_access.h"
#include "nimbra/build_config.h"
#include "storage/local_storage.h"
#include "update/update_source.h"
#include "update/update_support.h"

namespace nimbra::Diagnostics {
namespace {

using std::filesystem::path;

std::optional<path> absoluteVariable(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr || !path(value).is_absolute()) return std::nullopt;
  return path(value);
}

}  // namespace

std::string_view installationText(const RunningApp& running, std::string_view updateBaseUrl) {
  const UpdateSource source = updateSourceFor(updateBaseUrl, running);
  if (running.isBundle) {
    return source == UpdateSource::server
               ? "self-updating bundle"
               : "bundle (this build names no update server, so it does not update itself)";
  }
  if (source == UpdateSource::systemPackage) {
    return "system package under /usr (updated by the system's package manager)";
  }
  return "build tree or unpacked copy (not a bundle: updates are not installed)";
}

Folder folderAt(std::string role, std::optional<path> folder) {
  Folder facts{.role = std::move(role), .path = std::move(folder)};
  if (!facts.path) return facts;
  std::error_code failure;
  facts.exists = std::filesystem::is_directory(*facts.path, failure);
  if (!facts.exists) return facts;
  auto options = std::filesystem::directory_options::skip_permission_denied;
  std::filesystem::recursive_directory_iterator entry(*facts.path, options, failure);
  for (; !failure && entry != std::filesystem::recursive_directory_iterator();
       entry.increment(failure)) {
    std::error_code statFailure;
    if (!entry->is_regular_file(statFailure)) continue;
    const uintmax_t size = entry->file_size(statFailure);
    if (statFailure) continue;
    facts.bytes += size;
    ++facts.files;
  }
  return facts;
}

Facts programFacts(const RunningApp& running, ServerUrls servers) {
  Facts facts;
  facts.version = NIMBRA_VERSION;
  facts.build = NIMBRA_BUILD;
  facts.installation = std::string(installationText(running, servers.update));
  facts.executable =
      running.isBundle ? Bundle::executable(running.bundle) : running.bundle / Bundle::kExecutable;
  facts.analysisServerConfigured = !servers.analysis.empty();
  facts.updateServerConfigured = !servers.update.empty();
  facts.home = absoluteVariable("HOME");

  std::optional<path> dataHome;
  if (Result<path> home = LocalStorage::userDataHome()) dataHome = *home;
  auto below = [&](const char* name) -> std::optional<path> {
    if (!dataHome) return std::nullopt;
    return *dataHome / name;
  };
  facts.folders.push_back(folderAt("Data", below(LocalStorage::kDataDirectoryName)));
  facts.folders.push_back(folderAt("Key", below(LocalStorage::kKeyDirectoryName)));
  facts.folders.push_back(folderAt("Update cache", UpdateSupport::updateDirectory()));

  for (const char* folder : DeviceAccess::kRuleFolders) {
    facts.ruleFolders.emplace_back(folder);
    const path rule = path(folder) / DeviceAccess::kRuleFileName;
    std::error_code failure;
    if (std::filesystem::is_regular_file(rule, failure)) facts.installedRules.push_back(rule);
  }
  return facts;
}

}  // namespace nimbra::Diagnostics
