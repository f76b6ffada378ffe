#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string_view>
#include <vector>

#include <sys/types.h>

#include "core/error.h"

namespace nimbra::ZipExtract {

// Caps that make a zip bomb fail instead of filling the disk. A bundle is a few dozen MiB
// and a few hundred entries; these leave ample room.
struct Limits {
  uint64_t maxBytes = 512ull * 1024 * 1024;
  size_t maxEntries = 20000;
};

// What decides whether one entry may be written, as the archive declares it.
struct EntryHeader {
  std::string_view name;
  mode_t type = 0;  // S_IFREG, S_IFDIR, S_IFLNK, …
  mode_t mode = 0;
  bool hardLink = false;
  std::string_view linkTarget;  // a symbolic link's target
};

// The entry's name split into its parts when it may be written: a plain relative name, a
// regular file, folder or symbolic link, no set-id bit, no hard link, and a link whose
// target (read from the folder holding it) stays inside the destination. Refusals as for
// extract.
Result<std::vector<std::string_view>> admit(const EntryHeader& header);

// Extracts the zip `archive` into the existing directory `destination`, refusing anything
// that could reach outside it or plant something dangerous: absolute names, ".." parts,
// hard links, devices, FIFOs and sockets, set-uid or set-gid bits, a symbolic link whose
// target is absolute or leaves the destination, writing through a link, an entry that
// replaces another, and more bytes or entries than `limits` allow. Regular files and
// folders get the permission bits stored in the archive less any write permission for group
// or others (and never set-id bits); ownership is never restored. Folders the archive does
// not list are created 0755 at most. Fails with "更新包含应用之外的链接。" for a link that leaves
// the destination and "更新文件处理失败。" for everything else; what was written stays for the
// caller to remove. Any thread.
Status extract(const std::filesystem::path& archive, const std::filesystem::path& destination,
               const Limits& limits = {});

}  // namespace nimbra::ZipExtract
