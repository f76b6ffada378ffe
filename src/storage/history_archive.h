#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/clock.h"
#include "core/error.h"
#include "device/history_observation.h"
#include "device/history_types.h"
#include "storage/local_storage.h"

namespace nimbra {

// Every distinct history packet ever read from one device, in one sealed file
// "history-<archive id>.json" of the data directory, with the time each was first read and
// the analysis server's observation once one has come back. Records are never removed; a
// record changes only by receiving its first observation.
//
// The archive id is the lower-case SHA-256 hex of the device serial (sha256Hex); anything
// else is refused, so an id can never name a file outside the data directory.
//
// A handle keeps the decoded records of the file version it last read or wrote, keyed by the
// file's revision, and reads the file again only when the revision changed; a file that
// fails to load is never rewritten. Not synchronised: call from one thread (the
// controller's main thread), never two operations on one archive at once.
class HistoryArchive {
 public:
  struct Entry {
    int directory = 0;
    int format = 0;
    int position = 0;
    std::vector<uint8_t> payload;  // never empty
    Date firstReadAt{};
    std::optional<HistoryObservation> observation;

    bool operator==(const Entry&) const = default;
  };

  // A record still waiting for analysis. `id` is its entry key.
  struct Pending {
    std::string id;
    HistoryPacket packet;  // directory 0, format 18, size = payload length
  };

  // Identity of one version of the archive file, from its attributes only. Every write
  // replaces the file, so a write changes at least the inode or the modification time.
  struct Revision {
    uint64_t size = 0;
    std::optional<Date> modified;
    uint64_t inode = 0;

    bool operator==(const Revision&) const = default;
  };

  // Entry key → record. Ordered so the file's bytes depend only on its content.
  using Records = std::map<std::string, Entry, std::less<>>;

  static constexpr int kAnalysableDirectory = 0;
  static constexpr int kAnalysableFormat = 18;

  // `clock` stamps firstReadAt and must outlive the archive handle.
  HistoryArchive(LocalStorage storage, const Clock& clock);

  // "<directory>:<position>:<SHA-256 hex of the payload>"
  static std::string entryKey(const HistoryPacket& packet);
  static std::filesystem::path fileName(std::string_view archiveId);

  // Absent when the file does not exist.
  Result<std::optional<Revision>> revision(std::string_view archiveId) const;
  // Newest candidateTime first; equal times by larger position first. Absent (not empty)
  // when the file does not exist.
  Result<std::optional<std::vector<HistoryObservation>>> observations(
      std::string_view archiveId) const;
  // Stores packets not yet archived (empty payloads never), all stamped with one time.
  // Writes when records were added, or to create a missing file as "{}"; otherwise nothing.
  Status merge(const std::vector<HistoryPacket>& packets, std::string_view archiveId) const;
  // Records of directory 0 and format 18 without observation, in no defined order.
  Result<std::vector<Pending>> pending(std::string_view archiveId) const;
  // Gives each keyed record its first observation; a record that has one keeps it. All or
  // nothing: a missing archive is fileReadNoSuchFile, an unknown key or a position that
  // differs from the record's is fileReadCorruptFile, and then nothing is written.
  Status attach(const std::map<std::string, HistoryObservation>& observations,
                std::string_view archiveId) const;

  // The stored document's form, exposed for tests and the benchmark. decode reads the text as
  // a stream of events (history_archive_decoder.cpp): a repeated key keeps its last value, unknown
  // members are skipped, and a NUL byte outside a string fails the document.
  static Result<Records> decode(std::string_view plaintext);
  static std::string encode(const Records& records);

 private:
  struct Cached {
    std::filesystem::path file;
    Revision revision;
    Records records;
  };

  Result<std::filesystem::path> location(std::string_view archiveId) const;
  static Result<std::optional<Revision>> revisionOf(const std::filesystem::path& file);
  // The records, null when the file does not exist.
  Result<const Records*> load(const std::filesystem::path& file) const;
  Records takeCached() const;
  Status save(Records records, const std::filesystem::path& file) const;

  LocalStorage storage_;
  const Clock* clock_;
  mutable std::optional<Cached> cache_;
};

}  // namespace nimbra
