#include "update/bundle_swap.h"

#include <cerrno>
#include <system_error>

#include <fcntl.h>
#include <stdio.h>
#include <sys/file.h>
#include <unistd.h>

#include "core/file_error.h"
#include "core/file_system.h"
#include "core/uuid.h"
#include "update/bundle.h"
#include "update/install_progress.h"
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

// What an installer that recorded no progress left: a swapped-in bundle without its health
// marker goes back.
bool settleUnrecorded(const AppUpdateJob& job, const fs::path& updateDirectory) {
  fs::path target = job.target;
  fs::path staging = stagingPath(target, job.id.text());
  std::error_code ignored;
  restoreParked(target);
  if (!fs::exists(fs::symlink_status(staging, ignored))) return true;
  bool swapped = holdsBuild(target, job.release.build) && !holdsBuild(staging, job.release.build);
  bool healthy = fs::exists(UpdateSupport::healthMarker(updateDirectory, job.id.text()), ignored);
  if (swapped && !healthy) {
    if (!exchange(staging, target)) return false;
    UpdateSupport::recordFailedBuild(updateDirectory, job.release.build);
  }
  return true;
}

// The proven bundle at the target, whichever step the installer was killed in.
bool complete(const AppUpdateJob& job) {
  fs::path target = job.target;
  fs::path staging = stagingPath(target, job.id.text());
  std::error_code ignored;
  bool stagedNew =
      fs::exists(fs::symlink_status(staging, ignored)) && holdsBuild(staging, job.release.build);
  if (!fs::exists(fs::symlink_status(target, ignored))) {
    if (stagedNew) return ::rename(staging.c_str(), target.c_str()) == 0;
    restoreParked(target);
    return fs::exists(fs::symlink_status(target, ignored));
  }
  if (stagedNew && !holdsBuild(target, job.release.build)) return exchange(staging, target).ok();
  return true;
}

bool settle(const AppUpdateJob& job, const fs::path& jobDirectory,
            const fs::path& updateDirectory) {
  using InstallProgress::Step;
  std::optional<Step> step = InstallProgress::read(jobDirectory);
  if (!step) return settleUnrecorded(job, updateDirectory);
  switch (*step) {
    case Step::waiting:
    case Step::staged:
    case Step::proving:
      restoreParked(job.target);
      return true;
    case Step::failed:
      UpdateSupport::recordFailedBuild(updateDirectory, job.release.build);
      return true;
    case Step::proven:
    case Step::parked:
    case Step::swapped:
      return complete(job);
  }
  return true;
}

}  // namespace

fs::path stagingPath(const fs::path& target, const std::string& jobId) {
  return target.parent_path() / ("." + target.filename().string() + ".update-" + jobId);
}

Status exchange(const fs::path& a, const fs::path& b, const ExchangeOptions& options) {
  if (options.atomic) {
    Status swapped = renameExchange(a, b);
    if (swapped) return syncDirectory(b.parent_path());
    if (!isExchangeUnsupported(swapped.error())) return swapped;
  }
  fs::path parked = b.parent_path() / (parkedPrefix(b) + Uuid::random().text());
  if (::rename(b.c_str(), parked.c_str()) != 0) return renameError(b);
  if (options.onParked) options.onParked();
  if (::rename(a.c_str(), b.c_str()) != 0) {
    Error error = renameError(a);
    ::rename(parked.c_str(), b.c_str());
    return error;
  }
  // `a` now holds `b`'s place; the parked entry, if it cannot follow, is a leftover.
  (void)::rename(parked.c_str(), a.c_str());
  return syncDirectory(b.parent_path());
}

void removeLeftovers(const fs::path& target, const std::string& jobId) {
  std::error_code ignored;
  fs::path staging = stagingPath(target, jobId);
  fs::remove_all(staging.string() + ".copying", ignored);
  if (!fs::exists(fs::symlink_status(target, ignored))) return;
  fs::remove_all(staging, ignored);
  Result<std::vector<std::string>> names = listDirectory(target.parent_path());
  if (!names) return;
  for (const std::string& name : *names) {
    if (name.starts_with(parkedPrefix(target)))
      fs::remove_all(target.parent_path() / name, ignored);
  }
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
    std::error_code ignored;
    if (!job) {
      fs::remove_all(jobDirectory, ignored);
    } else if (settle(*job, jobDirectory, updateDirectory)) {
      removeLeftovers(job->target, job->id.text());
      fs::remove_all(jobDirectory, ignored);
    }  // else left for the next start
    ::close(fd);
  }
}

}  // namespace nimbra::BundleSwap
