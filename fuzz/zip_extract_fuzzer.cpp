// The updater's zip extraction (libarchive). Each input is written as a package into a
// fresh scratch folder three levels deep and extracted into an empty folder beside it;
// whether or not the extraction succeeds, nothing may appear outside that folder, the
// package must be unchanged, and what was extracted must be plain folders, files without
// set-id bits and links whose text stays inside the folder, and after a success no more
// bytes and entries than the limits allow. The scratch folder is removed
// after every input.
//
// Input: the package's bytes.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <system_error>

#include <sys/stat.h>
#include <unistd.h>

#include "update/zip_extract.h"

namespace {

namespace fs = std::filesystem;

// Names the broken invariant by its line before aborting, so a finding explains itself.
void checkAt(bool condition, int line) {
  if (condition) return;
  std::fprintf(stderr, "invariant broken at %s:%d\n", __FILE__, line);
  std::abort();
}
#define check(condition) checkAt((condition), __LINE__)

std::set<std::string> names(const fs::path& folder) {
  std::set<std::string> found;
  for (const fs::directory_entry& entry : fs::directory_iterator(folder)) {
    found.insert(entry.path().filename().string());
  }
  return found;
}

std::string readAll(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// Whether `target`, read in the folder `from` (relative to the extraction folder), stays
// inside it by its text alone.
bool staysInside(const fs::path& from, const fs::path& target) {
  if (target.is_absolute()) return false;
  fs::path resolved = (from / target).lexically_normal();
  return resolved.empty() || *resolved.begin() != "..";
}

// Folders are extracted with the archive's modes, which may deny reading or searching them.
void openFolders(const fs::path& out) {
  for (fs::recursive_directory_iterator walk(out), end; walk != end; ++walk) {
    if (fs::is_directory(walk->symlink_status())) {
      fs::permissions(walk->path(), fs::perms::owner_all, fs::perm_options::add);
    }
  }
}

// Checks what `out` holds and, after a successful extraction, that it stays within `limits`.
void checkExtracted(const fs::path& out, bool extracted, const nimbra::ZipExtract::Limits& limits) {
  uint64_t bytes = 0;
  size_t entries = 0;
  std::error_code error;
  for (fs::recursive_directory_iterator walk(out, error), end; !error && walk != end;
       walk.increment(error)) {
    struct stat info {};
    check(::lstat(walk->path().c_str(), &info) == 0);
    check((info.st_mode & (S_ISUID | S_ISGID)) == 0);
    // Folders are left out of the count: one entry "a/b/c" makes two of them.
    if (!S_ISDIR(info.st_mode)) ++entries;
    if (S_ISREG(info.st_mode)) bytes += static_cast<uint64_t>(info.st_size);
    fs::path relative = walk->path().lexically_relative(out);
    if (S_ISLNK(info.st_mode)) {
      check(staysInside(relative.parent_path(), fs::read_symlink(walk->path())));
    } else {
      check(S_ISDIR(info.st_mode) || S_ISREG(info.st_mode));
    }
  }
  if (error) std::fprintf(stderr, "walking %s: %s\n", out.c_str(), error.message().c_str());
  check(!error);
  if (extracted && (bytes > limits.maxBytes || entries > limits.maxEntries)) {
    std::fprintf(stderr, "extracted %llu bytes in %zu entries\n",
                 static_cast<unsigned long long>(bytes), entries);
  }
  if (extracted) check(bytes <= limits.maxBytes && entries <= limits.maxEntries);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  char pattern[] = "/tmp/nimbra-fuzz-zip-XXXXXX";
  if (::mkdtemp(pattern) == nullptr) std::abort();
  const fs::path root(pattern);
  const fs::path folder = root / "a" / "b";
  const fs::path package = folder / "update.zip";
  const fs::path out = folder / "out";
  fs::create_directories(out);
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  {
    std::ofstream file(package, std::ios::binary);
    file << bytes;
    if (!file.flush()) std::abort();
  }

  // Small caps keep each run fast; the caps themselves are part of what is fuzzed.
  nimbra::ZipExtract::Limits limits{.maxBytes = 4u << 20, .maxEntries = 256};
  bool extracted = nimbra::ZipExtract::extract(package, out, limits).ok();

  openFolders(out);
  check(names(root) == std::set<std::string>{"a"});
  check(names(root / "a") == std::set<std::string>{"b"});
  check(names(folder) == (std::set<std::string>{"update.zip", "out"}));
  check(fs::is_regular_file(fs::symlink_status(package)) && readAll(package) == bytes);
  checkExtracted(out, extracted, limits);

  fs::remove_all(root);
  return 0;
}
