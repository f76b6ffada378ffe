#include "storage/history_archive.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <utility>

#include <sys/stat.h>

#include "core/base64.h"
#include "core/dates.h"
#include "core/hex.h"
#include "core/json_fields.h"
#include "core/sha256.h"
#include "storage/storage_error.h"

namespace nimbra {
namespace {

using nlohmann::json;
using std::filesystem::path;

constexpr size_t kArchiveIdLength = 64;

bool isArchiveId(std::string_view id) {
  return id.size() == kArchiveIdLength && std::all_of(id.begin(), id.end(), [](char c) {
           return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
         });
}

Date requiredDate(const json& object, const char* key) {
  const json& value = requiredMember(object, key);
  if (value.is_number()) {
    if (std::optional<Date> date = checkedDateFromSecondsSince2001(value.get<double>())) {
      return *date;
    }
  }
  throw json::type_error::create(302, std::string("\"") + key + "\" is not a date", &value);
}

HistoryArchive::Entry decodeEntry(const json& object) {
  HistoryArchive::Entry entry;
  entry.directory = requiredInt(object, "directory");
  entry.format = requiredInt(object, "format");
  entry.position = requiredInt(object, "position");
  std::optional<std::vector<uint8_t>> payload = base64Decode(requiredString(object, "payload"));
  if (!payload) throw json::type_error::create(302, "\"payload\" is not Base64", &object);
  entry.payload = std::move(*payload);
  entry.firstReadAt = requiredDate(object, "firstReadAt");
  if (const json* observation = optionalMember(object, "observation")) {
    entry.observation =
        historyObservationFromJson(*observation, ObservationDates::secondsSince2001);
  }
  return entry;
}

void appendNumber(std::string& out, double value) {
  char buffer[32];
  auto [end, failure] = std::to_chars(buffer, buffer + sizeof(buffer), value);
  out.append(buffer, failure == std::errc() ? end : buffer);
}

void appendNumber(std::string& out, int value) {
  char buffer[16];
  auto [end, failure] = std::to_chars(buffer, buffer + sizeof(buffer), value);
  out.append(buffer, failure == std::errc() ? end : buffer);
}

// Keys this program makes need no escaping, but a file from elsewhere may hold any key the
// reader accepted; written raw, a quote or a control character in one would make the whole
// rewritten archive unreadable.
void appendKey(std::string& out, const std::string& key) {
  bool plain = std::none_of(key.begin(), key.end(), [](char c) {
    return c == '"' || c == '\\' || static_cast<unsigned char>(c) < 0x20;
  });
  if (plain) {
    out += '"';
    out += key;
    out += '"';
  } else {
    out += json(key).dump(-1, ' ', false, json::error_handler_t::replace);
  }
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

Result<HistoryArchive::Records> HistoryArchive::decode(std::string_view plaintext) {
  Records records;
  try {
    json document = json::parse(plaintext);
    if (!document.is_object()) {
      throw json::type_error::create(302, "the archive is not a JSON object", &document);
    }
    for (auto& [key, value] : document.items()) {
      records.emplace_hint(records.end(), key, decodeEntry(value));
    }
  } catch (const json::exception& failure) {
    return storageError(StorageErrorKind::decodingFailed, failure.what());
  }
  return records;
}

// Written by hand rather than through a JSON tree: the archive only grows, and building and
// dumping a tree of every record costs several times the encryption and the write together.
// Base64 and numbers need no escaping, keys only when they came from elsewhere; observation
// texts go through the JSON library.
std::string HistoryArchive::encode(const Records& records) {
  std::string out;
  out.reserve(records.size() * 200 + 2);
  out += '{';
  bool first = true;
  for (const auto& [key, entry] : records) {
    if (!first) out += ',';
    first = false;
    appendKey(out, key);
    out += ":{\"directory\":";
    appendNumber(out, entry.directory);
    out += ",\"format\":";
    appendNumber(out, entry.format);
    out += ",\"position\":";
    appendNumber(out, entry.position);
    out += ",\"payload\":\"";
    out += base64Encode(entry.payload);
    out += "\",\"firstReadAt\":";
    appendNumber(out, secondsSince2001(entry.firstReadAt));
    if (entry.observation) {
      out += ",\"observation\":";
      out += toJson(*entry.observation, ObservationDates::secondsSince2001)
                 .dump(-1, ' ', false, json::error_handler_t::replace);
    }
    out += '}';
  }
  out += '}';
  return out;
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
  std::vector<HistoryObservation> found;
  for (const auto& [key, entry] : **records) {
    if (entry.observation) found.push_back(*entry.observation);
  }
  std::stable_sort(found.begin(), found.end(), [](const auto& a, const auto& b) {
    if (a.candidateTime != b.candidateTime) return a.candidateTime > b.candidateTime;
    return a.position > b.position;
  });
  return std::optional<std::vector<HistoryObservation>>(std::move(found));
}

Status HistoryArchive::merge(const std::vector<HistoryPacket>& packets,
                             std::string_view archiveId) const {
  Result<path> file = location(archiveId);
  if (!file) return file.error();
  Result<const Records*> loaded = load(*file);
  if (!loaded) return loaded.error();
  bool missing = *loaded == nullptr;
  Records records = missing ? Records() : **loaded;
  size_t countBefore = records.size();

  Date now = clock_->now();
  for (const HistoryPacket& packet : packets) {
    if (packet.payload.empty()) continue;
    Entry entry{packet.entry.directory,
                packet.entry.format,
                packet.entry.position,
                packet.payload,
                now,
                std::nullopt};
    // try_emplace leaves a record already stored untouched.
    records.try_emplace(entryKey(packet), std::move(entry));
  }
  if (!missing && records.size() == countBefore) return {};
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
  Records records = **loaded;

  for (const auto& [key, observation] : observations) {
    auto found = records.find(key);
    if (found != records.end() && found->second.observation) continue;
    if (found == records.end() || found->second.position != observation.position) {
      return storageError(StorageErrorKind::fileReadCorruptFile, key);
    }
    found->second.observation = observation;
  }
  return save(std::move(records), *file);
}

}  // namespace nimbra
