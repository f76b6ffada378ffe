#include "update/zip_extract.h"

#include <algorithm>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

#include <archive.h>
#include <archive_entry.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "update/update_error.h"

namespace nimbra::ZipExtract {
namespace {

namespace fs = std::filesystem;
using UpdateSupport::updateError;

struct ReaderDeleter {
  void operator()(archive* a) const { archive_read_free(a); }
};
struct WriterDeleter {
  void operator()(archive* a) const { archive_write_free(a); }
};

Error refused() { return updateError(UpdateSupport::kToolFailed); }

// The parts of an entry name; absent when the name is empty, absolute or climbs with "..".
// Empty and "." parts are dropped ("dir/" names a folder).
std::optional<std::vector<std::string_view>> safeParts(std::string_view name) {
  if (name.empty() || name.front() == '/') return std::nullopt;
  std::vector<std::string_view> parts;
  while (!name.empty()) {
    size_t end = name.find('/');
    std::string_view part = name.substr(0, end);
    if (part == "..") return std::nullopt;
    if (!part.empty() && part != ".") parts.push_back(part);
    if (end == std::string_view::npos) break;
    name.remove_prefix(end + 1);
  }
  if (parts.empty()) return std::nullopt;
  return parts;
}

// Whether `target`, read from the folder that holds the link (`depth` folders below the
// destination), stays inside the destination by its text alone. Links through other links
// are checked again, resolved, once the bundle is staged.
bool linkStaysInside(std::string_view target, size_t depth) {
  if (target.empty() || target.front() == '/') return false;
  long level = static_cast<long>(depth);
  while (!target.empty()) {
    size_t end = target.find('/');
    std::string_view part = target.substr(0, end);
    if (part == "..") {
      if (--level < 0) return false;
    } else if (!part.empty() && part != ".") {
      ++level;
    }
    if (end == std::string_view::npos) break;
    target.remove_prefix(end + 1);
  }
  return true;
}

struct Fixup {
  std::string path;
  mode_t mode;
  bool directory;
};

Status restoreModes(const std::vector<Fixup>& fixups) {
  // Folders last, so a folder stored read-only does not block what goes inside it.
  for (bool directories : {false, true}) {
    for (const Fixup& fixup : fixups) {
      if (fixup.directory != directories) continue;
      int flags = O_RDONLY | O_CLOEXEC | O_NOFOLLOW | (directories ? O_DIRECTORY : O_NONBLOCK);
      int fd = ::open(fixup.path.c_str(), flags);
      if (fd < 0) return refused();
      bool changed = ::fchmod(fd, fixup.mode) == 0;
      ::close(fd);
      if (!changed) return refused();
    }
  }
  return {};
}

// Folders the archive does not list were made by libarchive with the process's umask, which
// may let group or others write. Takes those bits away; links are never followed.
Status tightenUnlistedFolders(const fs::path& root) {
  std::error_code error;
  for (fs::recursive_directory_iterator walk(root, error), end; !error && walk != end;
       walk.increment(error)) {
    struct stat info {};
    if (::lstat(walk->path().c_str(), &info) != 0) return refused();
    if (S_ISDIR(info.st_mode) && (info.st_mode & 022) != 0 &&
        ::chmod(walk->path().c_str(), info.st_mode & 0755) != 0) {
      return refused();
    }
  }
  return error ? refused() : Status();
}

// Counts what an entry puts on disk, not only the bytes it carries: libarchive extends a file
// to the size its header declares when the entry is finished (a sparse file), so a small
// entry declaring gigabytes would pass a count of data bytes alone.
uint64_t declaredSize(archive_entry* entry) {
  if (!archive_entry_size_is_set(entry) || archive_entry_size(entry) < 0) return 0;
  return static_cast<uint64_t>(archive_entry_size(entry));
}

Status copyData(archive* reader, archive* writer, uint64_t declared, uint64_t& total,
                uint64_t maxBytes) {
  const uint64_t room = maxBytes - total;
  uint64_t end = declared;
  if (end > room) return refused();
  for (;;) {
    const void* block = nullptr;
    size_t size = 0;
    la_int64_t offset = 0;
    int status = archive_read_data_block(reader, &block, &size, &offset);
    if (status == ARCHIVE_EOF) break;
    if (status < ARCHIVE_WARN || offset < 0) return refused();
    end = std::max(end, static_cast<uint64_t>(offset) + size);
    if (end > room) return refused();
    if (archive_write_data_block(writer, block, size, offset) < ARCHIVE_WARN) return refused();
  }
  total += end;
  return {};
}

}  // namespace

Result<std::vector<std::string_view>> admit(const EntryHeader& header) {
  std::optional<std::vector<std::string_view>> parts = safeParts(header.name);
  if (!parts || header.hardLink) return refused();
  if ((header.mode & (S_ISUID | S_ISGID)) != 0) return refused();
  if (header.type == AE_IFLNK) {
    if (!linkStaysInside(header.linkTarget, parts->size() - 1)) {
      return updateError(UpdateSupport::kLinkOutside);
    }
  } else if (header.type != AE_IFREG && header.type != AE_IFDIR) {
    return refused();
  }
  return std::move(*parts);
}

Status extract(const fs::path& archivePath, const fs::path& destination, const Limits& limits) {
  // Resolved first: SECURE_SYMLINKS would refuse every entry below a linked destination.
  std::error_code error;
  fs::path root = fs::canonical(destination, error);
  if (error) return refused();

  std::unique_ptr<archive, ReaderDeleter> reader(archive_read_new());
  std::unique_ptr<archive, WriterDeleter> writer(archive_write_disk_new());
  if (!reader || !writer) return refused();
  archive_read_support_format_zip(reader.get());
  // Names are made absolute below after checking them here, so NOABSOLUTEPATHS stays off;
  // PERM and OWNER stay off so no set-id bit or foreign owner is ever restored.
  archive_write_disk_set_options(writer.get(), ARCHIVE_EXTRACT_SECURE_SYMLINKS |
                                                   ARCHIVE_EXTRACT_SECURE_NODOTDOT |
                                                   ARCHIVE_EXTRACT_NO_OVERWRITE);
  if (archive_read_open_filename(reader.get(), archivePath.c_str(), 65536) != ARCHIVE_OK) {
    return refused();
  }

  std::vector<Fixup> fixups;
  uint64_t total = 0;
  size_t entries = 0;
  for (;;) {
    archive_entry* entry = nullptr;
    int status = archive_read_next_header(reader.get(), &entry);
    if (status == ARCHIVE_EOF) break;
    if (status < ARCHIVE_WARN || ++entries > limits.maxEntries) return refused();

    const char* name = archive_entry_pathname(entry);
    const char* hardLink = archive_entry_hardlink(entry);
    const char* target = archive_entry_symlink(entry);
    mode_t mode = archive_entry_mode(entry);
    mode_t type = archive_entry_filetype(entry);
    EntryHeader header{.name = name ? name : "",
                       .type = type,
                       .mode = mode,
                       .hardLink = hardLink != nullptr,
                       .linkTarget = target ? target : ""};
    Result<std::vector<std::string_view>> parts = admit(header);
    if (!parts) return parts.error();

    std::string full = root.string();
    for (std::string_view part : *parts) (full += '/') += part;
    archive_entry_set_pathname(entry, full.c_str());
    // Whatever the zip says, nothing is left writable by group or others: a world-writable
    // folder of the installed bundle would let any local user replace the program.
    const mode_t kept = mode & 0755;
    archive_entry_set_perm(entry, kept);
    // Refused before the file exists: the writer would extend it to this size even when no
    // data follows.
    if (type == AE_IFREG && declaredSize(entry) > limits.maxBytes - total) return refused();
    if (archive_write_header(writer.get(), entry) < ARCHIVE_WARN) return refused();
    if (type == AE_IFREG) {
      if (Status copied =
              copyData(reader.get(), writer.get(), declaredSize(entry), total, limits.maxBytes);
          !copied) {
        return copied;
      }
    }
    if (archive_write_finish_entry(writer.get()) < ARCHIVE_WARN) return refused();
    if (type != AE_IFLNK) fixups.push_back({full, kept, type == AE_IFDIR});
  }
  if (archive_write_close(writer.get()) != ARCHIVE_OK) return refused();
  if (Status status = restoreModes(fixups); !status) return status;
  return tightenUnlistedFolders(root);
}

}  // namespace nimbra::ZipExtract
