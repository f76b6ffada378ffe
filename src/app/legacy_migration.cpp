#include "app/legacy_migration.h"

#include <system_error>

#include "core/file_system.h"
#include "storage/local_storage.h"

namespace nimbra::LegacyMigration {
namespace {

constexpr char kLegacyFolder[] = "Dovel";
constexpr char kFolder[] = "zuvo";

bool occupied(const std::filesystem::path& path) {
  std::error_code failure;
  return std::filesystem::symlink_status(path, failure).type() !=
         std::filesystem::file_type::not_found;
}

}  // namespace

FolderMove moveLegacyFolder(const std::filesystem::path& applicationSupport) {
  std::filesystem::path legacy = applicationSupport / kLegacyFolder;
  std::filesystem::path current = applicationSupport / kFolder;
  if (occupied(current)) return FolderMove::destinationExists;
  if (!occupied(legacy)) return FolderMove::nothingToMove;
  // No replacing: a "zuvo" made meanwhile (even an empty one, which a plain rename would
  // replace) is never overwritten.
  if (!renameNoReplace(legacy, current)) return FolderMove::failed;
  return FolderMove::moved;
}

void run() {
  Result<std::filesystem::path> applicationSupport = LocalStorage::userDataHome();
  if (!applicationSupport) return;
  (void)moveLegacyFolder(*applicationSupport);
}

}  // namespace nimbra::LegacyMigration
