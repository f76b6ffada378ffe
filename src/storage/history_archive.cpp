#include "storage/history_archive.h"

#include <algorithm>
#include <cerrno>
#include <utility>

#include <sys/stat.h>

#include "core/base64.h"
#include "core/dates.h"
#include "core/hex.h"
#include "core/json_writer.h"
#include "core/sha256.h"
#include "storage/storage_error.h"

namespace nimbra {
namespace {

using std::filesystem::path;

constexpr size_t kArchiveIdLength = 64;

bool isArchiveId(std::string_view id) {
  return id.size() == kArchiveIdLength && std::all_of(id.begin(), id.end(), [](char c) {
           return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
         });
}

// The keys and forms of toJson(observation, secondsSince2001).
void writeObservation(JsonWriter& w, const HistoryObservation& observation) {
  w.beginObject();
  w.key("position");
  w.integer(observation.position);
  w.key("candidateTime");
  w.number(secondsSince2001(observation.candidateTime));
  w.key("tailEntries");
  w.integer(observation.tailEntries);
  if (observation.eventKind) {
    w.key("eventKind");
    w.string(*observation.eventKind);
  }
  w.key("kind");
  w.string(observation.kind);
  w.endObject();
}

Error invalidArchiveId() { return Error::posix(EINVAL, "history archive id"); }

}  // namespace

HistoryArchive::HistoryArchive(LocalStorage storage, const Clock& clock)
    : storage_(std::move(storage)), clock_(&clock) {}

std::string HistoryArchive::entryKey(const HistoryPacket& packet) {
  return std::to_string(packet.entry.directory) + ':' + std::to_string(packet.entry.position) +
         ':' + hexString(sha256(packet.payload));
}

path HistoryArchive::fileName(std::string_view archiveId) {
  return "history-" + std::string(archiveId) + ".json";
}

Result<path> HistoryArchive::location(std::string_view archiveId) const {
  if (!isArchiveId(archiveId)) return invalidArchiveId();
  Result<path> directory = storage_.localDirectory();
  if (!directory) return directory.error();
  return *directory / fileName(archiveId);
}

// Written straight into the text rather than through a JSON tree: the archive only grows,
// and building and dumping a tree of every record costs several times the encryption and the
// write together.
std::string HistoryArchive::encode(const Records& records) {
  JsonWriter w;
  w.beginObject();
  for (const auto& [key, entry] : records) {
    w.key(key);
    w.beginObject();
    w.key("directory");
    w.integer(entry.directory);
    w.key("format");
    w.integer(entry.format);
    w.key("position");
    w.integer(entry.position);
    w.key("payload");
    w.string(base64Encode(entry.payload));
    w.key("firstReadAt");
    w.number(secondsSince2001(entry.firstReadAt));
    if (entry.observation) {
      w.key("observation");
      writeObservation(w, *entry.observation);
    }
    w.endObject();
  }
  w.endObject();
  return w.take();
}

Result<std::optional<HistoryArchive::Revision>> HistoryArchive::revisionOf(const path& file) {
  struct stat info {};
  if (::stat(file.c_str(), &info) != 0) {
    Error error = fileError(errno, FileOperation::attributes, file.string());
    if (isNoSuchFile(error)) return std::optional<Revision>();
    return error;
  }
  Revision revision;
  revision.size = static_cast<uint64_t>(info.st_size);
  revision.modified = Date{std::chrono::duration_cast<Date::duration>(
      std::chrono::seconds(info.st_mtim.tv_sec) + std::chrono::nanoseconds(info.st_mtim.tv_nsec))};
  revision.inode = static_cast<uint64_t>(info.st_ino);
  return std::optional<Revision>(revision);
}

// The decoded records of the version last read or written are kept; a file whose revision
// still matches is not opened again. Only this process writes the file while it runs, and
// every write replaces it, so a matching revision means the same content. Null when the file
// does not exist; the pointer is valid until the next operation.
Result<const HistoryArchive::Records*> HistoryArchive::load(const path& file) const {
  Result<std::optional<Revision>> revision = revisionOf(file);
  if (!revision) return revision.error();
  bool hit = cache_ && cache_->file == file && *revision && cache_->revision == **revision;
  if (!hit && cache_ && cache_->file == file) cache_.reset();
  if (!*revision) return static_cast<const Records*>(nullptr);
  if (hit) return &cache_->records;
  Result<std::optional<Records>> loaded = storage_.loadSealed<Records>(file, decode);
  if (!loaded) return loaded.error();
  if (!*loaded) return static_cast<const Records*>(nullptr);
  cache_ = Cached{file, **revision, std::move(**loaded)};
  return &cache_->records;
}

// The records a change starts from, without a copy of thousands of them: the cache gives
// them up, and save() keeps the new version, or nothing when the write fails, so the next
// load reads the unchanged file again. Only after load() returned the cached records.
HistoryArchive::Records HistoryArchive::takeCached() const {
  Records records = std::move(cache_->records);
  cache_.reset();
  return records;
}

Status HistoryArchive::save(Records records, const path& file) const {
  cache_.reset();
  Status written = storage_.writeSealed(encode(records), file);
  if (!written) return written;
  Result<std::optional<Revision>> revision = revisionOf(file);
  if (revision && *revision) cache_ = Cached{file, **revision, std::move(records)};
  return written;
}

Result<std::optional<HistoryArchive::Revision>> HistoryArchive::revision(
    std::string_view archiveId) const {
  Result<path> file = location(archiveId);
  if (!file) return file.error();
  return revisionOf(*file);
}

Result<std::optional<std::vector<HistoryObservation>>> HistoryArchive::observations(
    std::string_view archiveId) const {
  Result<path> file = location(archiveId);
  if (!file) return file.error();
  Result<const Records*> records = load(*file);
  if (!records) return records.error();
  if (!*records) return std::optional<std::vector<HistoryObservation>>();
  // Sorted as pointers, then copied once in order: moving thousands of observations with
  // their texts around during the sort costs more than the rest of this together.
  std::vector<const HistoryObservation*> order;
  for (const auto& [key, entry] : **records) {
    if (entry.observation) order.push_back(&*entry.observation);
  }
  std::stable_sort(order.begin(), order.end(), [](const auto* a, const auto* b) {
    if (a->candidateTime != b->candidateTime) return a->candidateTime > b->candidateTime;
    return a->position > b->position;
  });
  std::vector<HistoryObservation> found;
  found.reserve(order.size());
  for (const HistoryObservation* observation : order) found.push_back(*observation);
  return std::optional<std::vector<HistoryObservation>>(std::move(found));
}

Status HistoryArchive::merge(const std::vector<HistoryPacket>& packets,
                             std::string_view archiveId) const {
  Result<path> file = location(archiveId);
  if (!file) return file.error();
  Result<const Records*> loaded = load(*file);
  if (!loaded) return loaded.error();
  bool missing = *loaded == nullptr;

  Records added;
  Date now = clock_->now();
  for (const HistoryPacket& packet : packets) {
    if (packet.payload.empty()) continue;
    std::string key = entryKey(packet);
    if (!missing && (*loaded)->contains(key)) continue;
    Entry entry{packet.entry.directory,
                packet.entry.format,
                packet.entry.position,
                packet.payload,
                now,
                std::nullopt};
    // try_emplace keeps the first of two equal packets in one read.
    added.try_emplace(std::move(key), std::move(entry));
  }
  if (!missing && added.empty()) return {};
  Records records = missing ? Records() : takeCached();
  records.merge(added);
  return save(std::move(records), *file);
}

Result<std::vector<HistoryArchive::Pending>> HistoryArchive::pending(
    std::string_view archiveId) const {
  Result<path> file = location(archiveId);
  if (!file) return file.error();
  Result<const Records*> records = load(*file);
  if (!records) return records.error();
  std::vector<Pending> result;
  if (!*records) return result;
  for (const auto& [key, entry] : **records) {
    if (entry.directory != kAnalysableDirectory || entry.format != kAnalysableFormat ||
        entry.observation) {
      continue;
    }
    HistoryPacket packet;
    packet.entry = HistoryEntry{kAnalysableDirectory, entry.position,
                                static_cast<int>(entry.payload.size()), kAnalysableFormat};
    packet.payload = entry.payload;
    result.push_back(Pending{key, std::move(packet)});
  }
  return result;
}

Status HistoryArchive::attach(const std::map<std::string, HistoryObservation>& observations,
                              std::string_view archiveId) const {
  if (observations.empty()) return {};
  Result<path> file = location(archiveId);
  if (!file) return file.error();
  Result<const Records*> loaded = load(*file);
  if (!loaded) return loaded.error();
  if (!*loaded) return storageError(StorageErrorKind::fileReadNoSuchFile, file->string());
  // Checked in full before anything changes, so a refused batch leaves the records as read.
  for (const auto& [key, observation] : observations) {
    auto found = (*loaded)->find(key);
    if (found != (*loaded)->end() && found->second.observation) continue;
    if (found == (*loaded)->end() || found->second.position != observation.position) {
      return storageError(StorageErrorKind::fileReadCorruptFile, key);
    }
  }
  Records records = takeCached();
  for (const auto& [key, observation] : observations) {
    Entry& entry = records.find(key)->second;
    if (!entry.observation) entry.observation = observation;
  }
  return save(std::move(records), *file);
}

}  // namespace nimbra
