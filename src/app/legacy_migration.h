#pragma once

#include <filesystem>

// Takes over what the product left under its former name. Runs at every start, before the
// application; a no-op once done. Main thread, before anything else reads the data folder.
namespace nimbra::LegacyMigration {

enum class FolderMove { moved, nothingToMove, destinationExists, failed };

// In the application-support folder: moves "Dovel" to "zuvo" when "zuvo" does not exist
// (not even as a dangling link) and "Dovel" does. A failure leaves both where they were.
FolderMove moveLegacyFolder(const std::filesystem::path& applicationSupport);

// The whole migration for the current user: the folder move in $XDG_DATA_HOME (skipped
// when there is none). Linux has no defaults domain of the former product, so there are no
// legacy keys to copy. Errors are ignored: the next start tries again.
void run();

}  // namespace nimbra::LegacyMigration
