// The one-time import of an older version's SQLite database, on database files it did not
// write: the file is opened read-only, queried with the one SELECT, and its rows go into day
// files of a throw-away samples root.
//
// Input: the bytes of "devices.sqlite3", as is.
// Invariants: an import that succeeds deletes the database and leaves only day files named
// after their samples' day, each readable, sorted by observedAt without repeats, in device
// directories that are one safe path component below the root; a failed import keeps the
// database.

#include <cstdint>
#include <set>
#include <string>

#include "fuzz_support.h"
#include "storage/day_file.h"
#include "storage/legacy_import.h"
#include "storage/sample_codec.h"

namespace fs = std::filesystem;
using nimbra::fuzz::check;

namespace {

void checkDayFiles(const nimbra::LocalStorage& storage, const fs::path& root) {
  for (const fs::directory_entry& device : fs::directory_iterator(root)) {
    check(device.is_directory(), "only device directories below the root");
    for (const fs::directory_entry& day : fs::directory_iterator(device.path())) {
      std::string name = day.path().filename().string();
      std::optional<int64_t> number = nimbra::parseDayFileName(name);
      check(number.has_value(), "only day files in a device directory");
      auto samples = nimbra::loadDayFile(storage, day.path());
      check(samples.ok(), "an imported day file reads");
      check(!samples->empty(), "no empty day file");
      std::set<double> seen;
      double previous = -std::numeric_limits<double>::infinity();
      for (const nimbra::DeviceSample& sample : *samples) {
        check(nimbra::dayNumber(sample.observedAt) == number, "a sample is in its day's file");
        check(sample.observedAt >= previous, "a day file is sorted by observedAt");
        check(seen.insert(sample.observedAt).second, "no observedAt twice in a day file");
        previous = sample.observedAt;
      }
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto& fixture = nimbra::fuzz::FixedKeyStorage::instance();
  nimbra::LocalStorage storage = fixture.storage();
  const fs::path directory = fixture.dataDirectory() / "legacy";
  const fs::path root = directory / "DeviceSamples";
  const fs::path database = directory / "devices.sqlite3";
  std::error_code ignored;
  fs::remove_all(directory, ignored);
  check(nimbra::createDirectories(root, 0700).ok(), "samples root");
  check(nimbra::writeFileAtomically(database, std::span(data, size)).ok(), "database file");

  nimbra::Status imported = nimbra::importLegacyDatabase(storage, directory, root);
  check(imported.ok() != fs::exists(database), "the database goes exactly when the import works");
  if (imported) checkDayFiles(storage, root);
  return 0;
}
