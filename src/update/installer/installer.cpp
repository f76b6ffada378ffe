#include "update/installer/installer.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <string>
#include <system_error>
#include <thread>

#include <poll.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include "storage/file_system.h"
#include "update/bundle_swap.h"
#include "update/update_job.h"
#include "update/update_support.h"

namespace nimbra::Installer {
namespace {

namespace fs = std::filesystem;
using std::chrono::milliseconds;

milliseconds shortenedBy(const char* variable, milliseconds standard) {
  const char* text = std::getenv(variable);
  if (text == nullptr) return standard;
  char* end = nullptr;
  long long value = std::strtoll(text, &end, 10);
  if (end == text || *end != '\0' || value < 0) return standard;
  return std::min(standard, milliseconds(value));
}

int openPidfd(pid_t pid) { return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)); }

// True when `pid` ended within `limit` (or was already gone).
bool waitForExit(pid_t pid, milliseconds limit) {
  int fd = openPidfd(pid);
  if (fd < 0) return errno == ESRCH;
  pollfd watch{fd, POLLIN, 0};
  int ready;
  do {
    ready = ::poll(&watch, 1, static_cast<int>(limit.count()));
  } while (ready < 0 && errno == EINTR);
  ::close(fd);
  return ready > 0;
}

// Waits for the new program's marker; false when the time runs out or the program ends
// without leaving one.
bool waitForHealth(pid_t pid, const fs::path& marker, milliseconds limit) {
  auto deadline = std::chrono::steady_clock::now() + limit;
  int fd = openPidfd(pid);
  for (;;) {
    std::error_code ignored;
    if (fs::exists(marker, ignored)) break;
    auto left =
        std::chrono::duration_cast<milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    pollfd watch{fd, POLLIN, 0};
    int slice = static_cast<int>(std::min<long long>(left.count(), 100));
    if (fd >= 0 && ::poll(&watch, 1, slice) > 0) {
      break;  // ended; the marker may still have been written just before
    } else if (fd < 0) {
      std::this_thread::sleep_for(milliseconds(slice));
    }
  }
  if (fd >= 0) ::close(fd);
  std::error_code ignored;
  return fs::exists(marker, ignored);
}

void stop(pid_t pid, milliseconds grace) {
  ::kill(pid, SIGTERM);
  if (!waitForExit(pid, grace)) ::kill(pid, SIGKILL);
  ::waitpid(pid, nullptr, 0);
}

void startOld(const fs::path& target) {
  (void)UpdateSupport::launchDetached(BundleSwap::programIn(target), {});
}

}  // namespace

Waits Waits::fromEnvironment() {
  Waits waits;
  waits.parent = shortenedBy("NIMBRA_UPDATE_PARENT_TIMEOUT_MS", waits.parent);
  waits.health = shortenedBy("NIMBRA_UPDATE_HEALTH_TIMEOUT_MS", waits.health);
  return waits;
}

Outcome run(const fs::path& jobFile, const Waits& waits) {
  fs::path jobDirectory = jobFile.parent_path();
  fs::path updateDirectory = jobDirectory.parent_path();
  Result<std::string> text = readFile(jobFile);
  if (!text) return Outcome::notStarted;
  Result<AppUpdateJob> decoded = AppUpdateJob::decode(*text);
  if (!decoded) return Outcome::notStarted;
  const AppUpdateJob& job = *decoded;
  // Only a bundle is ever replaced: never the folder that happens to hold a program.
  if (!BundleSwap::isBundleFolder(job.target)) return Outcome::notStarted;
  int lock = -1;
  if (!BundleSwap::lockJob(jobDirectory, lock)) return Outcome::notStarted;

  std::error_code ignored;
  fs::path target = job.target;
  fs::path staging = BundleSwap::stagingPath(target, job.id.text());
  if (!waitForExit(job.parentPID, waits.parent) || !BundleSwap::moveTree(job.stagedApp, staging)) {
    // The program still runs, or the new bundle could not be brought next to it: nothing
    // was touched, so there is nothing to undo.
    fs::remove_all(staging, ignored);
    fs::remove_all(jobDirectory, ignored);
    if (waitForExit(job.parentPID, milliseconds(0))) startOld(target);
    return Outcome::notStarted;
  }
  if (!BundleSwap::exchange(staging, target)) {
    fs::remove_all(staging, ignored);
    fs::remove_all(jobDirectory, ignored);
    startOld(target);
    return Outcome::notStarted;
  }

  fs::path marker = UpdateSupport::healthMarker(updateDirectory, job.id.text());
  Result<int> started = UpdateSupport::launchDetached(
      BundleSwap::programIn(target), {UpdateSupport::kHealthSwitch, job.id.text()});
  if (started && waitForHealth(*started, marker, waits.health)) {
    // The new program keeps running; it was started in its own session.
    fs::remove_all(staging, ignored);
    fs::remove_all(jobDirectory, ignored);
    return Outcome::installed;
  }
  if (started) stop(*started, waits.stop);
  // Keeps the job (and so the recovery at the next start) if even this fails.
  if (!BundleSwap::exchange(staging, target)) return Outcome::rolledBack;
  fs::remove_all(staging, ignored);
  UpdateSupport::recordFailedBuild(updateDirectory, job.release.build);
  startOld(target);
  fs::remove_all(jobDirectory, ignored);
  return Outcome::rolledBack;
}

}  // namespace nimbra::Installer
