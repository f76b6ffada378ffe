#include "core/file_system.h"

#include <cerrno>
#include <cstdio>
#include <optional>
#include <system_error>
#include <utility>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "core/file_error.h"
#include "core/uuid.h"

namespace nimbra {
namespace {

using std::filesystem::path;

FileStatus statusOf(const struct stat& info) {
  FileStatus status;
  status.isDirectory = S_ISDIR(info.st_mode);
  status.isRegular = S_ISREG(info.st_mode);
  status.owner = info.st_uid;
  status.permissions = info.st_mode & 07777;
  status.size = static_cast<uint64_t>(info.st_size);
  return status;
}

// Closes on every path out of a function; close errors after a successful fsync carry no
// information we could act on.
class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  ~FileDescriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  int get() const { return fd_; }
  int release() { return std::exchange(fd_, -1); }

 private:
  int fd_;
};

void announce(const WriteStepHook& steps, WriteStep step) {
  if (steps) steps(step);
}

Status writeAll(int fd, std::span<const uint8_t> bytes, const path& where) {
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return fileError(errno, FileOperation::write, where.string());
    }
    done += static_cast<size_t>(n);
  }
  return {};
}

Status closeChecked(FileDescriptor& file, const path& where) {
  if (::close(file.release()) != 0 && errno != EINTR) {
    return fileError(errno, FileOperation::write, where.string());
  }
  return {};
}

}  // namespace

Result<FileStatus> linkStatus(const path& target) {
  struct stat info {};
  if (::lstat(target.c_str(), &info) != 0) {
    return fileError(errno, FileOperation::attributes, target.string());
  }
  return statusOf(info);
}

Result<bool> fileExists(const path& target) {
  struct stat info {};
  if (::lstat(target.c_str(), &info) == 0) return true;
  if (errno == ENOENT) return false;
  return fileError(errno, FileOperation::attributes, target.string());
}

Status readFileInto(const path& source, std::string& out) {
  // O_NONBLOCK keeps a FIFO put in a file's place from hanging the caller.
  FileDescriptor file(::open(source.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (file.get() < 0) return fileError(errno, FileOperation::read, source.string());
  struct stat info {};
  if (::fstat(file.get(), &info) != 0) {
    return fileError(errno, FileOperation::read, source.string());
  }
  if (!S_ISREG(info.st_mode)) return fileError(EINVAL, FileOperation::read, source.string());
  out.clear();
  out.reserve(static_cast<size_t>(info.st_size));
  char chunk[65536];
  for (;;) {
    // Read straight into the string's spare capacity when the size is known; the chunk
    // path covers files that grew since fstat.
    size_t spare = out.capacity() - out.size();
    if (spare > 0) {
      size_t at = out.size();
      out.resize(out.capacity());
      ssize_t n = ::read(file.get(), out.data() + at, spare);
      if (n < 0) {
        out.resize(at);
        if (errno == EINTR) continue;
        return fileError(errno, FileOperation::read, source.string());
      }
      out.resize(at + static_cast<size_t>(n));
      if (n == 0) return {};
      continue;
    }
    ssize_t n = ::read(file.get(), chunk, sizeof chunk);
    if (n < 0) {
      if (errno == EINTR) continue;
      return fileError(errno, FileOperation::read, source.string());
    }
    if (n == 0) return {};
    out.append(chunk, static_cast<size_t>(n));
  }
}

Result<std::string> readFile(const path& source) {
  std::string bytes;
  if (Status status = readFileInto(source, bytes); !status) return status.error();
  return bytes;
}

Status createFileExclusive(const path& target, std::span<const uint8_t> bytes, mode_t mode,
                           const WriteStepHook& steps) {
  announce(steps, WriteStep::create);
  FileDescriptor file(
      ::open(target.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, mode));
  if (file.get() < 0) return fileError(errno, FileOperation::write, target.string());
  // The umask may have narrowed `mode`; make it exact before any byte is written.
  Status status;
  if (::fchmod(file.get(), mode) != 0) {
    status = fileError(errno, FileOperation::write, target.string());
  } else {
    announce(steps, WriteStep::write);
    status = writeAll(file.get(), bytes, target);
  }
  if (status) announce(steps, WriteStep::flush);
  if (status && ::fsync(file.get()) != 0) {
    status = fileError(errno, FileOperation::write, target.string());
  }
  if (status) status = closeChecked(file, target);
  if (!status) ::unlink(target.c_str());
  return status;
}

// ".<name>.<UUID>": a dot name without ".json"/".sealed" at the end, so never mistaken for a
// data file by the key-creation guard, never listed as a day file.
bool isAtomicWriteTemporary(std::string_view name) {
  constexpr size_t kUuidLength = 36;
  if (name.size() < 1 + 1 + 1 + kUuidLength || name.front() != '.') return false;
  std::string_view uuid = name.substr(name.size() - kUuidLength);
  if (name[name.size() - kUuidLength - 1] != '.') return false;
  std::optional<Uuid> parsed = Uuid::parse(uuid);
  // Only the canonical (upper-case) text Uuid::text() writes.
  return parsed && parsed->text() == uuid;
}

Status writeFileAtomically(const path& target, std::span<const uint8_t> bytes,
                           const WriteStepHook& steps) {
  path directory = target.parent_path();
  path temporary = directory / ("." + target.filename().string() + "." + Uuid::random().text());
  if (Status status = createFileExclusive(temporary, bytes, 0600, steps); !status) return status;
  announce(steps, WriteStep::rename);
  if (::rename(temporary.c_str(), target.c_str()) != 0) {
    Error error = fileError(errno, FileOperation::write, target.string());
    ::unlink(temporary.c_str());
    return error;
  }
  return syncDirectory(directory.empty() ? path(".") : directory, steps);
}

Status removeFile(const path& target, const WriteStepHook& steps) {
  announce(steps, WriteStep::remove);
  if (::unlink(target.c_str()) != 0) {
    return fileError(errno, FileOperation::remove, target.string());
  }
  return {};
}

Status syncDirectory(const path& directory, const WriteStepHook& steps) {
  FileDescriptor dir(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir.get() < 0) return fileError(errno, FileOperation::write, directory.string());
  announce(steps, WriteStep::flushDirectory);
  if (::fsync(dir.get()) != 0) return fileError(errno, FileOperation::write, directory.string());
  return {};
}

Status setPermissions(const path& target, mode_t mode) {
  if (::chmod(target.c_str(), mode) != 0) {
    return fileError(errno, FileOperation::write, target.string());
  }
  return {};
}

Status createDirectories(const path& target, mode_t mode) {
  if (target.empty()) return {};
  struct stat info {};
  if (::stat(target.c_str(), &info) == 0) {
    if (S_ISDIR(info.st_mode)) return {};
    return fileError(ENOTDIR, FileOperation::createDirectory, target.string());
  }
  if (errno != ENOENT) return fileError(errno, FileOperation::createDirectory, target.string());
  path parent = target.parent_path();
  if (parent != target) {
    if (Status status = createDirectories(parent, mode); !status) return status;
  }
  if (::mkdir(target.c_str(), mode) != 0 && errno != EEXIST) {
    return fileError(errno, FileOperation::createDirectory, target.string());
  }
  return {};
}

Result<std::vector<std::string>> listDirectory(const path& directory) {
  DIR* dir = ::opendir(directory.c_str());
  if (dir == nullptr) return fileError(errno, FileOperation::list, directory.string());
  std::vector<std::string> names;
  errno = 0;
  while (struct dirent* entry = ::readdir(dir)) {
    std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(std::move(name));
    errno = 0;
  }
  int readError = errno;
  ::closedir(dir);
  if (readError != 0) return fileError(readError, FileOperation::list, directory.string());
  return names;
}

Status renameNoReplace(const path& from, const path& to) {
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) != 0) {
    return fileError(errno, FileOperation::write, errno == EEXIST ? to.string() : from.string());
  }
  return {};
}

Status renameExchange(const path& a, const path& b) {
  if (::renameat2(AT_FDCWD, a.c_str(), AT_FDCWD, b.c_str(), RENAME_EXCHANGE) != 0) {
    return fileError(errno, FileOperation::write, a.string());
  }
  return {};
}

bool isExchangeUnsupported(const Error& error) {
  return error.is(kPosixDomain, EINVAL) || error.is(kPosixDomain, ENOSYS) ||
         error.is(kPosixDomain, ENOTSUP);
}

path runningExecutable() {
  std::error_code failure;
  path executable = std::filesystem::read_symlink("/proc/self/exe", failure);
  return failure ? path() : executable;
}

}  // namespace nimbra
