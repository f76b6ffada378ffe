#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>

#include "core/error.h"

namespace nimbra::ZipExtract {

// Caps that make a zip bomb fail instead of filling the disk. A bundle is a few dozen MiB
// and a few hundred entries; these leave ample room.
struct Limits {
  uint64_t maxBytes = 512ull * 1024 * 1024;
  size_t maxEntries = 20000;
};

// Extracts the zip `archive` into the existing directory `destination`, refusing anything
// that could reach outside it or plant something dangerous: absolute names, ".." parts,
// hard links, devices, FIFOs and sockets, set-uid or set-gid bits, a symbolic link whose
// target is absolute or leaves the destination, writing through a link, an entry that
// replaces another, and more bytes or entries than `limits` allow. Regular files and
// folders get the permission bits stored in the archive (never set-id bits); ownership is
// never restored. Fails with "更新包含应用之外的链接。" for a link that leaves the
// destination and "更新文件处理失败。" for everything else; what was written stays for the
// caller to remove. Any thread.
Status extract(const std::filesystem::path& archive, const std::filesystem::path& destination,
               const Limits& limits = {});

}  // namespace nimbra::ZipExtract
