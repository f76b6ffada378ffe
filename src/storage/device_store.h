#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/clock.h"
#include "storage/device_sample.h"
#include "storage/local_storage.h"

namespace nimbra {

// The device samples, one sealed file per UTC day ("<day number>.json") in a directory per
// device below "DeviceSamples" in the data directory. Day files older than 30 days are
// deleted when an append moves to a new day; opening imports a legacy SQLite database once.
//
// The day of the last append is kept in memory, decoded and as its encoded JSON, so an
// append of a new sample encodes only that sample, splices it in and rewrites the file: no
// read, no re-encoding of the day. The last samples of the other days recent() has read are
// kept as well: early in a day every poll's recent list reaches into yesterday, and
// yesterday's file does not change. This assumes no other writer changes the device's files
// while the store is open.
//
// Not synchronised: used by one thread at a time (the program's sample writer keeps it on a
// thread of its own, app/sample_writer.h). The clock is read by that thread.
class DeviceStore {
 public:
  static constexpr char kRootName[] = "DeviceSamples";
  static constexpr size_t kRecentCount = 30;
  static constexpr double kRetentionSeconds = 2592000.0;

  // Creates the samples root and runs the legacy import; any failure fails the open. The
  // clock (used for pruning) must outlive the store.
  static Result<DeviceStore> open(LocalStorage storage, const Clock& clock);

  // Adds the sample at the end of its day file unless it repeats the last sample's
  // observedAt. Texts that are not UTF-8 are stored repaired (U+FFFD). A failure leaves the
  // in-memory day unchanged, so the next append retries.
  Status append(const DeviceSample& sample, const DeviceProfile& profile,
                std::string_view deviceKey);

  // Up to 30 samples: the newest day's in file order, then the tail of the day before, …
  Result<std::vector<DeviceSample>> recent(const DeviceProfile& profile,
                                           std::string_view deviceKey) const;

  const std::filesystem::path& root() const { return root_; }

 private:
  DeviceStore(LocalStorage storage, const Clock& clock, std::filesystem::path root);

  Result<std::filesystem::path> deviceDirectory(const DeviceProfile& profile,
                                                std::string_view deviceKey) const;
  Status switchDay(const std::filesystem::path& directory, const std::filesystem::path& file);
  Status prune(const std::filesystem::path& directory) const;

  LocalStorage storage_;
  const Clock* clock_;
  std::filesystem::path root_;
  std::optional<std::filesystem::path> currentFile_;
  std::vector<DeviceSample> currentSamples_;
  // The JSON of currentSamples_ without its closing "]": appending a sample is "," + its
  // JSON, and the file's plaintext is this plus "]".
  std::string encoded_;
  std::vector<uint8_t> sealBuffer_;  // reused so large writes touch no fresh pages
  // The last kRecentCount samples of day files other than currentFile_ that recent() read;
  // forgotten when the store moves to another day.
  mutable std::map<std::filesystem::path, std::vector<DeviceSample>> otherDayTails_;
};

}  // namespace nimbra
