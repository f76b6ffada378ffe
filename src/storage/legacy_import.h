#pragma once

#include <filesystem>

#include "storage/local_storage.h"

namespace nimbra {

// Takes over the samples of an older version's SQLite database "devices.sqlite3" in
// `dataDirectory`: every payload-version-1 observation goes into the day file of its device
// below `root` (sorted by observedAt, de-duplicated against what the file holds), then the
// database and its "-wal", "-shm" and "-journal" companions are deleted. Nothing to do
// when the database is absent. On failure the database stays and a later run imports it
// again; the de-duplication keeps that from doubling samples. The only file that uses
// SQLite. Main thread only.
Status importLegacyDatabase(const LocalStorage& storage, const std::filesystem::path& dataDirectory,
                            const std::filesystem::path& root);

}  // namespace nimbra
