#include "update/installer/installer.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <string>
#include <system_error>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include "core/file_system.h"
#include "update/bundle_swap.h"
#include "update/install_progress.h"
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

void startProgram(const fs::path& bundle) {
  (void)UpdateSupport::launchDetached(BundleSwap::programIn(bundle), {});
}

// Starts the new program for its proof. It must not outlive the installer: killed with it,
// the proof is void, and a window left open from the staging name would only confuse.
Result<pid_t> startProbe(const fs::path& program, const std::string& jobId) {
  pid_t installer = ::getpid();
  pid_t pid = ::fork();
  if (pid < 0) return Error::posix(errno, "fork");
  if (pid == 0) {
    ::setsid();
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != installer) ::_exit(127);
    int null = ::open("/dev/null", O_RDWR);
    for (int fd : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) ::dup2(null, fd);
    ::execl(program.c_str(), program.c_str(), UpdateSupport::kHealthSwitch, jobId.c_str(),
            static_cast<char*>(nullptr));
    ::_exit(127);
  }
  return pid;
}

// The installer's steps, recorded before each takes effect. For tests, the installer stops
// itself (SIGSTOP) right after recording the step named by NIMBRA_UPDATE_STOP_AT, so a test
// can kill it at exactly that point.
class Steps {
 public:
  explicit Steps(fs::path jobDirectory) : jobDirectory_(std::move(jobDirectory)) {
    const char* stopAt = std::getenv("NIMBRA_UPDATE_STOP_AT");
    if (stopAt != nullptr) stopAt_ = stopAt;
  }
  void reach(InstallProgress::Step step) const {
    (void)InstallProgress::record(jobDirectory_, step);
    if (stopAt_ == InstallProgress::name(step)) ::raise(SIGSTOP);
  }

 private:
  fs::path jobDirectory_;
  std::string stopAt_;
};

}  // namespace

Waits Waits::fromEnvironment() {
  Waits waits;
  waits.parent = shortenedBy("NIMBRA_UPDATE_PARENT_TIMEOUT_MS", waits.parent);
  waits.health = shortenedBy("NIMBRA_UPDATE_HEALTH_TIMEOUT_MS", waits.health);
  const char* renameOnly = std::getenv("NIMBRA_UPDATE_RENAME_ONLY");
  waits.atomicExchange = renameOnly == nullptr || std::string_view(renameOnly) != "1";
  return waits;
}

// The new bundle is proven healthy from its staging name, next to the target, before it is
// put in place: a build that cannot start never reaches the target, and the target only
// ever holds a bundle that runs. Each step is recorded first (InstallProgress), so the next
// start of the program completes or undoes an installation whose installer was killed.
Outcome run(const fs::path& jobFile, const Waits& waits) {
  using InstallProgress::Step;
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
  Steps steps(jobDirectory);

  std::error_code ignored;
  fs::path target = job.target;
  fs::path staging = BundleSwap::stagingPath(target, job.id.text());
  auto giveUp = [&](Outcome outcome) {
    BundleSwap::removeLeftovers(target, job.id.text());
    fs::remove_all(jobDirectory, ignored);
    return outcome;
  };
  steps.reach(Step::waiting);
  if (!waitForExit(job.parentPID, waits.parent)) return giveUp(Outcome::notStarted);
  if (!BundleSwap::moveTree(job.stagedApp, staging)) {
    // Nothing was touched. A full disk would fail again at once: counted, so the automatic
    // check backs off.
    UpdateSupport::recordInstallFailure(updateDirectory, job.release.build);
    startProgram(target);
    return giveUp(Outcome::notStarted);
  }
  steps.reach(Step::staged);

  fs::path marker = UpdateSupport::healthMarker(updateDirectory, job.id.text());
  Result<pid_t> probe = startProbe(BundleSwap::programIn(staging), job.id.text());
  steps.reach(Step::proving);
  bool healthy = probe && waitForHealth(*probe, marker, waits.health);
  if (probe) stop(*probe, waits.stop);
  if (!healthy) {
    steps.reach(Step::failed);
    UpdateSupport::recordFailedBuild(updateDirectory, job.release.build);
    startProgram(target);
    return giveUp(Outcome::rolledBack);
  }
  steps.reach(Step::proven);

  BundleSwap::ExchangeOptions exchange{.atomic = waits.atomicExchange,
                                       .onParked = [&steps] { steps.reach(Step::parked); }};
  if (!BundleSwap::exchange(staging, target, exchange)) {
    // The old bundle is still (or again) at the target; the proven one is not installed.
    startProgram(target);
    return giveUp(Outcome::notStarted);
  }
  steps.reach(Step::swapped);
  startProgram(target);
  return giveUp(Outcome::installed);
}

}  // namespace nimbra::Installer
