#include "storage/local_storage.h"

#include <cerrno>
#include <system_error>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "core/user_folders.h"
#include "core/uuid.h"
#include "storage/storage_error.h"

namespace nimbra {
namespace {

using std::filesystem::path;

constexpr mode_t kPrivateDirectoryMode = 0700;
constexpr mode_t kKeyFileMode = 0600;

bool endsWith(std::string_view text, std::string_view suffix) {
  return text.size() >= suffix.size() && text.substr(text.size() - suffix.size()) == suffix;
}

// A data file that needs the key: named like one and starting with the sealed magic. Legacy
// plain files (named ".json" too) are left out, or an account upgraded from a version
// without a key could never get one and never migrate them. A file that cannot be read is
// counted, so doubt never leads to a new key. Only regular files (or links to them) are data
// files: the open is non-blocking, so a FIFO under such a name cannot hang the guard, which
// runs under the key-cache lock.
bool isSealedDataFile(const std::filesystem::directory_entry& entry) {
  std::string name = entry.path().filename().string();
  if (!endsWith(name, ".json") && !endsWith(name, ".sealed")) return false;
  int descriptor = ::open(entry.path().c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (descriptor < 0) return true;
  struct stat info {};
  bool regular = ::fstat(descriptor, &info) == 0 && S_ISREG(info.st_mode);
  char head[8] = {};
  ssize_t count = -1;
  if (regular) {
    do {
      count = ::read(descriptor, head, sizeof head);
    } while (count < 0 && errno == EINTR);
  }
  ::close(descriptor);
  if (!regular) return false;
  if (count < 0) return true;
  // A sealed file is far longer than its magic, so one read returns all eight bytes.
  return static_cast<size_t>(count) == sizeof head &&
         std::string_view(head, sizeof head) == LocalStorage::kMagic;
}

// Reads the key without following a link in its place; type, owner and mode must be exact.
Result<StorageKey> readKeyFile(const path& keyFile) {
  Result<FileStatus> status = linkStatus(keyFile);
  if (!status) return status.error();
  if (!status->isRegular || status->owner != ::getuid() || status->permissions != kKeyFileMode) {
    return storageError(StorageErrorKind::fileReadNoPermission, keyFile.string());
  }
  Result<std::string> bytes = readFile(keyFile);
  if (!bytes) return bytes.error();
  StorageKey key{};
  if (bytes->size() != key.size()) {
    return storageError(StorageErrorKind::fileReadCorruptFile, keyFile.string());
  }
  std::copy(bytes->begin(), bytes->end(), key.begin());
  return key;
}

}  // namespace

bool isNoSuchFile(const Error& error) {
  return isStorageError(error, StorageErrorKind::fileReadNoSuchFile) ||
         isStorageError(error, StorageErrorKind::fileNoSuchFile);
}

Result<path> LocalStorage::userDataHome() {
  std::optional<path> dataHome = UserFolders::folder(UserFolders::Folder::data);
  if (!dataHome) return storageError(StorageErrorKind::fileReadNoSuchFile, "HOME");
  return *dataHome;
}

Result<LocalStorage> LocalStorage::forCurrentUser() {
  Result<path> home = userDataHome();
  if (!home) return home.error();
  return LocalStorage(*home, KeyCache::process());
}

LocalStorage::LocalStorage(path applicationSupport, KeyCache& cache, WriteStepHook writeSteps)
    : applicationSupport_(std::move(applicationSupport)),
      cache_(&cache),
      writeSteps_(std::move(writeSteps)) {}

Result<path> LocalStorage::privateDirectory(std::string_view name) const {
  path directory = applicationSupport_ / name;
  if (Status made = createDirectories(directory, kPrivateDirectoryMode); !made) {
    // A file or a dangling link in the directory's place is a permission problem, not an
    // I/O one: report it the way the checks below would.
    Result<FileStatus> status = linkStatus(directory);
    if (status && !status->isDirectory) {
      return storageError(StorageErrorKind::fileReadNoPermission, directory.string());
    }
    return made.error();
  }
  Result<FileStatus> status = linkStatus(directory);
  if (!status || !status->isDirectory || status->owner != ::getuid()) {
    return storageError(StorageErrorKind::fileReadNoPermission, directory.string());
  }
  // Only a directory that is too wide is changed: a chmod on a read-only file system fails
  // even when it would change nothing, and reading must still work there.
  if (status->permissions != kPrivateDirectoryMode) {
    if (Status repaired = setPermissions(directory, kPrivateDirectoryMode); !repaired) {
      return repaired.error();
    }
  }
  return directory;
}

Result<path> LocalStorage::localDirectory() const { return privateDirectory(kDataDirectoryName); }

Result<StorageKey> LocalStorage::loadKey(bool createIfMissing) const {
  return cache_->getOrLoad([&] { return loadOrCreateKey(createIfMissing); });
}

Result<StorageKey> LocalStorage::loadOrCreateKey(bool createIfMissing) const {
  Result<path> keyDirectory = privateDirectory(kKeyDirectoryName);
  if (!keyDirectory) return keyDirectory.error();
  path keyFile = *keyDirectory / kKeyFileName;
  Result<bool> exists = fileExists(keyFile);
  if (!exists) return exists.error();
  if (!*exists && createIfMissing) {
    if (Status guarded = guardKeyCreation(keyFile); !guarded) return guarded.error();
    if (Status created = createKey(*keyDirectory, keyFile); !created) return created.error();
  }
  return readKeyFile(keyFile);
}

// A new key could never open files sealed under a lost one, and writing with it would
// replace them one by one; so no key is made while any data file exists.
Status LocalStorage::guardKeyCreation(const path& keyFile) const {
  Result<path> dataDirectory = localDirectory();
  if (!dataDirectory) return dataDirectory.error();
  std::error_code failure;
  std::filesystem::recursive_directory_iterator it(*dataDirectory, failure), end;
  for (; !failure && it != end; it.increment(failure)) {
    if (!isSealedDataFile(*it)) continue;
    Result<bool> exists = fileExists(keyFile);
    if (!exists) return exists.error();
    if (*exists) return {};  // another process made it meanwhile; the link will see it
    return storageError(StorageErrorKind::fileReadNoSuchFile, keyFile.string());
  }
  if (failure) return fileError(failure.value(), FileOperation::list, dataDirectory->string());
  return {};
}

// Race-safe between processes: each writes its own ".key-UUID" file and hard-links it to
// the key name; link() fails with EEXIST for every process but the first, and all of them
// then read the key that won.
Status LocalStorage::createKey(const path& keyDirectory, const path& keyFile) const {
  StorageKey key{};
  if (Status drawn = randomBytes(key); !drawn) return drawn;
  path temporary = keyDirectory / (".key-" + Uuid::random().text());
  if (Status written = createFileExclusive(temporary, key, kKeyFileMode, writeSteps_); !written) {
    return written;
  }
  Status result;
  if (writeSteps_) writeSteps_(WriteStep::link);
  if (::link(temporary.c_str(), keyFile.c_str()) != 0) {
    Error error = fileError(errno, FileOperation::write, keyFile.string());
    if (!isStorageError(error, StorageErrorKind::fileWriteFileExists)) result = error;
  } else {
    result = syncDirectory(keyDirectory, writeSteps_);
  }
  (void)removeFile(temporary, writeSteps_);
  return result;
}

Result<int> LocalStorage::removeAbandonedTemporaries() const {
  path dataDirectory = applicationSupport_ / kDataDirectoryName;
  Result<bool> exists = fileExists(dataDirectory);
  if (!exists) return exists.error();
  if (!*exists) return 0;
  Result<path> checked = localDirectory();
  if (!checked) return checked.error();
  int removed = 0;
  std::error_code failure;
  // Links are not followed: the walk stays inside the private directory.
  std::filesystem::recursive_directory_iterator it(*checked, failure), end;
  for (; !failure && it != end; it.increment(failure)) {
    if (!isAtomicWriteTemporary(it->path().filename().string())) continue;
    Result<FileStatus> status = linkStatus(it->path());
    if (!status || !status->isRegular) continue;
    if (Status gone = removeFile(it->path()); !gone) return gone.error();
    ++removed;
  }
  if (failure) return fileError(failure.value(), FileOperation::list, checked->string());
  return removed;
}

Result<std::string> LocalStorage::readSealed(const path& location) const {
  Result<std::string> file = readFile(location);
  if (!file) return file.error();
  if (file->size() < kMagic.size() || std::string_view(*file).substr(0, kMagic.size()) != kMagic) {
    return storageError(StorageErrorKind::fileReadCorruptFile, location.string());
  }
  std::span<const uint8_t> combined(reinterpret_cast<const uint8_t*>(file->data()) + kMagic.size(),
                                    file->size() - kMagic.size());
  if (combined.size() < kGcmNonceSize + kGcmTagSize) {
    return storageError(StorageErrorKind::incorrectParameterSize, location.string());
  }
  Result<StorageKey> key = loadKey(false);
  if (!key) return key.error();
  return openCombined(*key, combined, location.filename().string());
}

Status LocalStorage::writeSealed(std::string_view plaintext, const path& location) const {
  std::vector<uint8_t> scratch;
  return writeSealed(plaintext, location, scratch);
}

Status LocalStorage::writeSealed(std::string_view plaintext, const path& location,
                                 std::vector<uint8_t>& scratch) const {
  Result<StorageKey> key = loadKey(true);
  if (!key) return key.error();
  scratch.clear();
  scratch.reserve(kMagic.size() + kGcmNonceSize + plaintext.size() + kGcmTagSize);
  scratch.insert(scratch.end(), kMagic.begin(), kMagic.end());
  if (Status sealed = sealAppending(*key, plaintext, location.filename().string(), scratch);
      !sealed) {
    return sealed;
  }
  // The temporary file is created 0600 and renamed into place, so the file carries 0600
  // from its first byte on; no chmod afterwards is needed.
  return writeFileAtomically(location, scratch, writeSteps_);
}

Result<std::optional<std::string>> LocalStorage::readPlain(const path& location) const {
  Result<std::string> bytes = readFile(location);
  if (bytes) return std::optional<std::string>(std::move(*bytes));
  if (isStorageError(bytes.error(), StorageErrorKind::fileReadNoSuchFile)) {
    return std::optional<std::string>();
  }
  return bytes.error();
}

Status LocalStorage::removeIfPresent(const path& location) const {
  Status removed = removeFile(location, writeSteps_);
  if (!removed && isNoSuchFile(removed.error())) return {};
  return removed;
}

}  // namespace nimbra
