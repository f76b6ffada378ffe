#include "storage/legacy_import.h"

#include <algorithm>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include <sqlite3.h>

#include "core/file_system.h"
#include "storage/day_file.h"
#include "storage/storage_error.h"

namespace nimbra {
namespace {

using std::filesystem::path;

constexpr char kDatabaseName[] = "devices.sqlite3";
constexpr const char* kCompanionSuffixes[] = {"-wal", "-shm", "-journal"};
constexpr char kQuery[] =
    "SELECT d.brand,d.model,d.transport,d.hardware_id,d.adapter,o.payload_json\n"
    "FROM observations o JOIN devices d ON d.id=o.device_id\n"
    "WHERE o.payload_version=1 ORDER BY d.id,o.observed_at";

// The one place SQLite's state becomes an Error.
Error sqliteError(StorageErrorKind kind, sqlite3* db, const char* step) {
  std::string detail = step;
  if (db != nullptr) {
    detail += ": ";
    detail += sqlite3_errmsg(db);
  }
  return storageError(kind, detail);
}

// Owns the connection and the statement; both are released on every path out.
class LegacyQuery {
 public:
  ~LegacyQuery() {
    sqlite3_finalize(statement_);
    sqlite3_close(db_);
  }

  Status open(const path& database) {
    int rc = sqlite3_open_v2(database.c_str(), &db_, SQLITE_OPEN_READONLY, nullptr);
    if (rc != SQLITE_OK || db_ == nullptr) {
      return sqliteError(StorageErrorKind::fileReadUnknown, db_, "open");
    }
    rc = sqlite3_prepare_v2(db_, kQuery, -1, &statement_, nullptr);
    if (rc != SQLITE_OK || statement_ == nullptr) {
      return sqliteError(StorageErrorKind::fileReadCorruptFile, db_, "prepare");
    }
    return {};
  }

  // True with a row, false when done, an error for anything else.
  Result<bool> step() {
    int rc = sqlite3_step(statement_);
    if (rc == SQLITE_ROW) return true;
    if (rc == SQLITE_DONE) return false;
    return sqliteError(StorageErrorKind::fileReadCorruptFile, db_, "step");
  }

  std::optional<std::string> text(int column) const {
    if (sqlite3_column_type(statement_, column) == SQLITE_NULL) return std::nullopt;
    const unsigned char* value = sqlite3_column_text(statement_, column);
    if (value == nullptr) return std::nullopt;
    int size = sqlite3_column_bytes(statement_, column);
    return std::string(reinterpret_cast<const char*>(value), static_cast<size_t>(size));
  }
  int columns() const { return sqlite3_column_count(statement_); }

 private:
  sqlite3* db_ = nullptr;
  sqlite3_stmt* statement_ = nullptr;
};

// Samples waiting for one day file; merged into it on flush.
class ImportBatch {
 public:
  explicit ImportBatch(const LocalStorage& storage) : storage_(storage) {}

  bool targets(const path& file) const { return target_ == file; }
  void retarget(path file) { target_ = std::move(file); }
  void add(DeviceSample sample) { samples_.push_back(std::move(sample)); }

  Status flush() {
    if (!target_) return {};
    Result<std::vector<DeviceSample>> stored = loadDayFile(storage_, *target_);
    if (!stored) return stored.error();
    std::set<double> seen;
    for (const DeviceSample& sample : *stored) seen.insert(sample.observedAt);
    for (DeviceSample& sample : samples_) {
      if (seen.insert(sample.observedAt).second) stored->push_back(std::move(sample));
    }
    std::stable_sort(
        stored->begin(), stored->end(),
        [](const DeviceSample& a, const DeviceSample& b) { return a.observedAt < b.observedAt; });
    if (Status saved = saveDayFile(storage_, *target_, *stored); !saved) return saved;
    samples_.clear();
    return {};
  }

 private:
  const LocalStorage& storage_;
  std::optional<path> target_;
  std::vector<DeviceSample> samples_;
};

Result<path> dayFileOfRow(const LegacyQuery& query, const path& root, DeviceSample& sample) {
  std::optional<std::string> columns[6];
  for (int i = 0; i < 6; ++i) {
    if (query.columns() > i) columns[i] = query.text(i);
    if (!columns[i]) {
      return storageError(StorageErrorKind::fileReadCorruptFile, "legacy row lacks a column");
    }
  }
  // columns[4], the adapter, must be present but does not name anything.
  Result<std::string> directory =
      deviceDirectoryName(*columns[0], *columns[1], *columns[2], *columns[3]);
  if (!directory) return directory.error();
  Result<DeviceSample> decoded = decodeJson<DeviceSample>(*columns[5]);
  if (!decoded) return decoded.error();
  sample = std::move(*decoded);
  Result<std::string> fileName = dayFileNameOf(sample.observedAt);
  if (!fileName) {
    return storageError(StorageErrorKind::fileReadCorruptFile, "legacy sample time out of range");
  }
  return root / *directory / *fileName;
}

Status importRows(const LocalStorage& storage, const path& database, const path& root) {
  LegacyQuery query;
  if (Status opened = query.open(database); !opened) return opened;
  ImportBatch batch(storage);
  for (;;) {
    Result<bool> row = query.step();
    if (!row) return row.error();
    if (!*row) break;
    DeviceSample sample;
    Result<path> file = dayFileOfRow(query, root, sample);
    if (!file) return file.error();
    if (!batch.targets(*file)) {
      if (Status flushed = batch.flush(); !flushed) return flushed;
      if (Status made = createDirectories(file->parent_path(), 0700); !made) return made;
      batch.retarget(*file);
    }
    batch.add(std::move(sample));
  }
  return batch.flush();
}

}  // namespace

Status importLegacyDatabase(const LocalStorage& storage, const path& dataDirectory,
                            const path& root) {
  path database = dataDirectory / kDatabaseName;
  Result<bool> exists = fileExists(database);
  if (!exists) return exists.error();
  if (!*exists) return {};
  if (Status imported = importRows(storage, database, root); !imported) return imported;
  if (Status removed = removeFile(database); !removed) return removed;
  for (const char* suffix : kCompanionSuffixes) {
    path companion = dataDirectory / (std::string(kDatabaseName) + suffix);
    Result<bool> present = fileExists(companion);
    if (!present) return present.error();
    if (!*present) continue;
    if (Status removed = removeFile(companion); !removed) return removed;
  }
  return {};
}

}  // namespace nimbra
