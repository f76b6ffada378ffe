#include "update/bundle_swap.h"

#include <cerrno>
#include <system_error>

#include <fcntl.h>
#include <stdio.h>
#include <sys/file.h>
#include <unistd.h>

#include "core/uuid.h"
#include "storage/file_system.h"
#include "storage/storage_error.h"
#include "update/bundle.h"
#include "update/update_job.h"
#include "update/update_support.h"

namespace nimbra::BundleSwap {
namespace {

namespace fs = std::filesystem;

Error renameError(const fs::path& path) {
  return fileError(errno, FileOperation::write, path.string());
}

bool holdsBuild(const fs::path& bundle, int64_t build) {
  std::optional<BundleValues> values = Bundle::readValues(bundle);
  return values && values->version && UpdateRelease::parseInteger(*values->version) == build;
}

std::string parkedPrefix(const fs::path& target) {
  return "." + target.filename().string() + ".swap-";
}

// The three-rename exchange parks the target under a temporary name for a moment; a kill
// then leaves no bundle at the target. Put the parked one back.
void restoreParked(const fs::path& target) {
  std::error_code ignored;
  if (fs::exists(fs::symlink_status(target, ignored))) return;
  Result<std::vector<std::string>> names = listDirectory(target.parent_path());
  if (!names) return;
  for (const std::string& name : *names) {
    if (name.starts_with(parkedPrefix(target))) {
      fs::path parked = target.parent_path() / name;
      if (::rename(parked.c_str(), target.c_str()) == 0) return;
    }
  }
}

void settle(const fs::path& jobDirectory, const AppUpdateJob& job,
            const fs::path& updateDirectory) {
  fs::path target = job.target;
  fs::path staging = stagingPath(target, job.id.text());
  std::error_code ignored;
  restoreParked(target);
  // A copy across file systems cut short.
  fs::remove_all(staging.string() + ".copying", ignored);
  if (fs::exists(fs::symlink_status(staging, ignored))) {
    bool swapped = holdsBuild(target, job.release.build) && !holdsBuild(staging, job.release.build);
    bool healthy = fs::exists(UpdateSupport::healthMarker(updateDirectory, job.id.text()), ignored);
    if (swapped && !healthy) {
      if (!exchange(staging, target)) return;  // leave everything for the next start
      UpdateSupport::recordFailedBuild(updateDirectory, job.release.build);
    }
    // Now the staging name holds whichever bundle lost.
    fs::remove_all(staging, ignored);
  }
  fs::remove_all(jobDirectory, ignored);
}

}  // namespace

fs::path stagingPath(const fs::path& target, const std::string& jobId) {
  return target.parent_path() / ("." + target.filename().string() + ".update-" + jobId);
}

Status exchange(const fs::path& a, const fs::path& b) {
  if (::renameat2(AT_FDCWD, a.c_str(), AT_FDCWD, b.c_str(), RENAME_EXCHANGE) == 0) {
    return syncDirectory(b.parent_path());
  }
  if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP) return renameError(a);
  fs::path parked = b.parent_path() / (parkedPrefix(b) + Uuid::random().text());
  if (::rename(b.c_str(), parked.c_str()) != 0) return renameError(b);
  if (::rename(a.c_str(), b.c_str()) != 0) {
    Error error = renameError(a);
    ::rename(parked.c_str(), b.c_str());
    return error;
  }
  if (::rename(parked.c_str(), a.c_str()) != 0) return renameError(parked);
  return syncDirectory(b.parent_path());
}

Status moveTree(const fs::path& from, const fs::path& to) {
  if (::rename(from.c_str(), to.c_str()) == 0) return syncDirectory(to.parent_path());
  if (errno != EXDEV) return renameError(from);
  fs::path copying = to.parent_path() / (to.filename().string() + ".copying");
  std::error_code error;
  fs::remove_all(copying, error);
  fs::copy(from, copying, fs::copy_options::recursive | fs::copy_options::copy_symlinks, error);
  if (error) {
    fs::remove_all(copying, error);
    return Error::posix(EIO, "copy " + from.string());
  }
  if (::rename(copying.c_str(), to.c_str()) != 0) {
    Error failure = renameError(copying);
    fs::remove_all(copying, error);
    return failure;
  }
  return syncDirectory(to.parent_path());
}

fs::path programIn(const fs::path& bundle) { return Bundle::executable(bundle); }

bool isBundleFolder(const fs::path& path) {
  if (path.filename() != Bundle::kBundleName) return false;
  Result<FileStatus> folder = linkStatus(path);
  Result<FileStatus> info = linkStatus(Bundle::infoFile(path));
  return folder && folder->isDirectory && info && info->isRegular;
}

bool lockJob(const fs::path& jobDirectory, int& fd) {
  fs::path lock = jobDirectory / kLockFile;
  fd = ::open(lock.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) return false;
  if (::flock(fd, LOCK_EX | LOCK_NB) == 0) return true;
  ::close(fd);
  fd = -1;
  return false;
}

void recoverInterruptedInstalls(const fs::path& updateDirectory) {
  Result<std::vector<std::string>> names = listDirectory(updateDirectory);
  if (!names) return;
  for (const std::string& name : *names) {
    if (!Uuid::parse(name)) continue;
    fs::path jobDirectory = updateDirectory / name;
    int fd = -1;
    if (!lockJob(jobDirectory, fd)) continue;  // its run or its installer still goes on
    Result<std::string> text = readFile(jobDirectory / "job.json");
    Result<AppUpdateJob> job =
        text ? AppUpdateJob::decode(*text) : Result<AppUpdateJob>(text.error());
    if (job) {
      settle(jobDirectory, *job, updateDirectory);
    } else {
      std::error_code ignored;
      fs::remove_all(jobDirectory, ignored);
    }
    ::close(fd);
  }
}

}  // namespace nimbra::BundleSwap
