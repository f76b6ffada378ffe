// The UpdateInstaller program run on a job whose bundles hold small shell stand-ins for
// nimbra, and the recovery of a job whose installer was killed. The installer's health
// wait is shortened for the test through NIMBRA_UPDATE_HEALTH_TIMEOUT_MS.
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iomanip>
#include <iostream>
#include <sstream>
#include <string>
#include <thread>

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include "core/uuid.h"
#include "support/file_contents.h"
#include "support/result_assertions.h"
#include "update/bundle_swap.h"
#include "update/update_error.h"
#include "update/update_job.h"
#include "update/update_support.h"
#include "update_fixture.h"

namespace nimbra::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

using testing::readAll;

// Records each start in $NIMBRA_TEST_LOG; a healthy new build leaves its marker where the
// program would.
std::string standIn(const std::string& name, bool healthy, bool aborts = false) {
  std::string script = "#!/bin/sh\necho \"" + name + " $*\" >> \"$NIMBRA_TEST_LOG\"\n";
  if (aborts) {
    script += "exit 1\n";
  } else if (healthy) {
    script +=
        "if [ \"$1\" = --zuvo-update-health ]; then\n"
        "  printf '{\"build\":\"101\",\"job\":\"%s\"}' \"$2\" > "
        "\"$XDG_CACHE_HOME/com.zuvo.devicecenter/Updates/health-$2.json\"\n"
        "fi\n";
  } else {
    script += "echo $$ > \"$NIMBRA_TEST_LOG.hanging\"\nexec sleep 600\n";
  }
  return script;
}

class InstallerTest : public UpdateFixture {
 protected:
  void SetUp() override {
    UpdateFixture::SetUp();
    ::setenv("XDG_CACHE_HOME", (root / "cache").c_str(), 1);
    ::setenv("NIMBRA_TEST_LOG", (root / "log").c_str(), 1);
    updates = *UpdateSupport::updateDirectory();
    target = makeBundle(root / "apps", goodValues("1.0.0", "100"), standIn("old", true));
  }

  // A job directory with the new bundle staged and its job.json, as the program leaves it.
  fs::path prepareJob(bool healthy, bool aborts = false) {
    // Only a build that hangs needs the health wait to run out, and it fails it however
    // busy the machine is; the others end the wait themselves (a marker or an exit), so they
    // get a wait no busy machine runs out of.
    bool hangs = !healthy && !aborts;
    ::setenv("NIMBRA_UPDATE_HEALTH_TIMEOUT_MS", hangs ? "1500" : "120000", 1);
    job.id = Uuid::random();
    fs::path directory = updates / Uuid::random().text();
    fs::path staged = makeBundle(directory / "unpacked", goodValues("1.1.0", "101"),
                                 standIn("new", healthy, aborts));
    // A parent that has already quit.
    Result<int> parent = UpdateSupport::launchDetached("/bin/true", {});
    ::waitpid(parent.value(), nullptr, 0);
    job.parentPID = parent.value();
    job.target = target.string();
    job.stagedApp = staged.string();
    job.archive = (directory / "update.zip").string();
    job.release.build = 101;
    writeText(directory / "job.json", job.encode(), 0600);
    return directory / "job.json";
  }

  static fs::path installerProgram() {
    return fs::read_symlink("/proc/self/exe").parent_path().parent_path() / "src" /
           "UpdateInstaller";
  }

  int64_t targetBuild() const {
    return UpdateRelease::buildNumber(Bundle::readValues(target)->version.value_or(""));
  }

  // Waits (real time, bounded generously for a busy machine) until the log holds `line`.
  bool logShows(const std::string& line) const {
    for (int i = 0; i < 1200; ++i) {
      if (readAll(root / "log").find(line) != std::string::npos) return true;
      std::this_thread::sleep_for(50ms);
    }
    return false;
  }

  fs::path target;
  AppUpdateJob job;
};

TEST_F(InstallerTest, AHealthyBundleReplacesTheOldOne) {
  fs::path jobFile = prepareJob(true);
  Status status = UpdateSupport::runTool(installerProgram(), {jobFile.string()});
  ASSERT_OK(status);
  EXPECT_EQ(targetBuild(), 101);
  EXPECT_TRUE(logShows("new --zuvo-update-health " + job.id.text()));
  EXPECT_FALSE(fs::exists(BundleSwap::stagingPath(target, job.id.text())));
  EXPECT_FALSE(fs::exists(jobFile.parent_path()));
  EXPECT_TRUE(UpdateSupport::failedBuilds(updates).empty());
  EXPECT_EQ(std::distance(fs::directory_iterator(target.parent_path()), {}), 1);
}

TEST_F(InstallerTest, ABundleWithoutItsMarkerIsRolledBack) {
  fs::path jobFile = prepareJob(false);
  Status status = UpdateSupport::runTool(installerProgram(), {jobFile.string()});
  EXPECT_TRUE(UpdateSupport::isUpdateError(status.error(), UpdateSupport::kToolFailed));
  EXPECT_EQ(targetBuild(), 100);
  EXPECT_EQ(UpdateSupport::failedBuilds(updates), std::vector<int64_t>{101});
  EXPECT_TRUE(logShows("old \n"));
  EXPECT_FALSE(fs::exists(BundleSwap::stagingPath(target, job.id.text())));
  EXPECT_FALSE(fs::exists(jobFile.parent_path()));
}

TEST_F(InstallerTest, AnUnreadableJobChangesNothing) {
  fs::path jobFile = prepareJob(true);
  writeText(jobFile, "{", 0600);
  EXPECT_FALSE(UpdateSupport::runTool(installerProgram(), {jobFile.string()}).ok());
  EXPECT_EQ(targetBuild(), 100);
}

TEST_F(InstallerTest, AKilledInstallAfterTheSwapIsRolledBackAtTheNextStart) {
  fs::path jobFile = prepareJob(true);
  fs::path staging = BundleSwap::stagingPath(target, job.id.text());
  ASSERT_OK(BundleSwap::moveTree(job.stagedApp, staging));
  ASSERT_OK(BundleSwap::exchange(staging, target));
  ASSERT_EQ(targetBuild(), 101);

  BundleSwap::recoverInterruptedInstalls(updates);
  EXPECT_EQ(targetBuild(), 100);
  EXPECT_EQ(UpdateSupport::failedBuilds(updates), std::vector<int64_t>{101});
  EXPECT_FALSE(fs::exists(staging));
  EXPECT_FALSE(fs::exists(jobFile.parent_path()));
}

TEST_F(InstallerTest, AKilledCopyLeavesNothingAfterTheNextStart) {
  fs::path jobFile = prepareJob(true);
  fs::path copying = BundleSwap::stagingPath(target, job.id.text()).string() + ".copying";
  fs::create_directories(copying / "Contents");

  BundleSwap::recoverInterruptedInstalls(updates);
  EXPECT_EQ(targetBuild(), 100);
  EXPECT_FALSE(fs::exists(copying));
  EXPECT_FALSE(fs::exists(jobFile.parent_path()));
  EXPECT_TRUE(UpdateSupport::failedBuilds(updates).empty());
}

TEST_F(InstallerTest, ATargetParkedByAKilledFallbackExchangeIsPutBack) {
  fs::path jobFile = prepareJob(true);
  fs::path parked = target.parent_path() / ".nimbra.app.swap-0A1B2C3D-4E5F-4A6B-8C7D-8E9F0A1B2C3D";
  fs::rename(target, parked);

  BundleSwap::recoverInterruptedInstalls(updates);
  EXPECT_EQ(targetBuild(), 100);
  EXPECT_FALSE(fs::exists(parked));
  EXPECT_FALSE(fs::exists(jobFile.parent_path()));
}

TEST_F(InstallerTest, AKilledInstallWhoseBundleProvedHealthyKeepsIt) {
  fs::path jobFile = prepareJob(true);
  fs::path staging = BundleSwap::stagingPath(target, job.id.text());
  ASSERT_OK(BundleSwap::moveTree(job.stagedApp, staging));
  ASSERT_OK(BundleSwap::exchange(staging, target));
  UpdateSupport::writeHealthMarker({"--zuvo-update-health", job.id.text()}, updates, "101");

  BundleSwap::recoverInterruptedInstalls(updates);
  EXPECT_EQ(targetBuild(), 101);
  EXPECT_TRUE(UpdateSupport::failedBuilds(updates).empty());
  EXPECT_FALSE(fs::exists(staging));
  EXPECT_FALSE(fs::exists(jobFile.parent_path()));
}

TEST_F(InstallerTest, AJobWhoseInstallerStillRunsIsLeftAlone) {
  fs::path jobFile = prepareJob(true);
  int fd = -1;
  ASSERT_TRUE(BundleSwap::lockJob(jobFile.parent_path(), fd));
  pid_t child = ::fork();
  if (child == 0) {
    BundleSwap::recoverInterruptedInstalls(updates);
    ::_exit(0);
  }
  ::waitpid(child, nullptr, 0);
  ::close(fd);
  EXPECT_TRUE(fs::exists(jobFile));
}

TEST_F(InstallerTest, AnOldProgramStillRunningIsWaitedForAndNeverReplaced) {
  fs::path jobFile = prepareJob(true);
  Result<int> parent = UpdateSupport::launchDetached("/bin/sleep", {"600"});
  ASSERT_OK(parent);
  job.parentPID = parent.value();
  writeText(jobFile, job.encode(), 0600);
  ::setenv("NIMBRA_UPDATE_PARENT_TIMEOUT_MS", "300", 1);
  Status status = UpdateSupport::runTool(installerProgram(), {jobFile.string()});
  ::unsetenv("NIMBRA_UPDATE_PARENT_TIMEOUT_MS");
  // Still running when the installer gave up: the program was never replaced or started.
  EXPECT_EQ(::waitpid(parent.value(), nullptr, WNOHANG), 0);
  ::kill(parent.value(), SIGKILL);
  ::waitpid(parent.value(), nullptr, 0);
  EXPECT_FALSE(status.ok());
  EXPECT_EQ(targetBuild(), 100);
  EXPECT_FALSE(fs::exists(root / "log"));
  EXPECT_TRUE(UpdateSupport::failedBuilds(updates).empty());
}

TEST_F(InstallerTest, AJobFolderLeftByAKilledRunIsRemovedUnlessItsRunGoesOn) {
  fs::path killed = updates / Uuid::random().text();
  fs::path running = updates / Uuid::random().text();
  fs::path other = updates / "not-a-job";
  for (const fs::path& folder : {killed, running, other}) {
    writeText(folder / "download.partial", std::string(1000, 'z'));
  }
  int fd = -1;
  ASSERT_TRUE(BundleSwap::lockJob(running, fd));
  BundleSwap::recoverInterruptedInstalls(updates);
  ::close(fd);
  EXPECT_FALSE(fs::exists(killed));
  EXPECT_TRUE(fs::exists(running / "download.partial"));
  EXPECT_TRUE(fs::exists(other));
}

// Starts the installer on `jobFile` so that it stops itself right after recording `step`,
// and kills it there (SIGKILL). False when it ended without reaching the step.
bool killInstallerAt(const fs::path& program, const fs::path& jobFile, const char* step,
                     bool renameOnly, const std::function<void()>& beforeKill = {}) {
  pid_t pid = ::fork();
  if (pid == 0) {
    ::setenv("NIMBRA_UPDATE_STOP_AT", step, 1);
    if (renameOnly) ::setenv("NIMBRA_UPDATE_RENAME_ONLY", "1", 1);
    ::execl(program.c_str(), program.c_str(), jobFile.c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  int status = 0;
  ::waitpid(pid, &status, WUNTRACED);
  if (!WIFSTOPPED(status)) return false;
  if (beforeKill) beforeKill();
  ::kill(pid, SIGKILL);
  ::waitpid(pid, &status, 0);
  return true;
}

// The installer killed at each of its steps, for a healthy new build and for one that
// aborts at start, with the atomic exchange and with three renames. Then the next start of
// the program (its recovery) and of whatever is at the target: a bundle is there, it starts
// and leaves its health marker, it is the new build only if that build proved healthy, and
// a build is recorded as failed only if it failed its proof.
TEST_F(InstallerTest, KilledAtAnyStepTheTargetHoldsAProvenBundle) {
  struct Build {
    const char* name;
    bool healthy;
    bool aborts;
  };
  std::ostringstream table;
  table << "step     | new build | exchange | reached | target after | failed list\n";
  for (const Build& build : {Build{"healthy", true, false}, Build{"aborts", false, true},
                             Build{"hangs", false, false}}) {
    for (bool renameOnly : {false, true}) {
      for (const char* step :
           {"waiting", "staged", "proving", "failed", "proven", "parked", "swapped"}) {
        SCOPED_TRACE(std::string(build.name) + " " + step + (renameOnly ? " rename" : ""));
        fs::remove_all(updates);
        fs::remove_all(target.parent_path());
        target = makeBundle(root / "apps", goodValues("1.0.0", "100"), standIn("old", true));
        fs::path jobFile = prepareJob(build.healthy, build.aborts);
        // A hanging new build is killed with the installer, not left running from the
        // staging name: its process id, once it runs, is watched through the kill.
        fs::path hanging = root / "log.hanging";
        fs::remove(hanging);
        int probeFd = -1;
        auto watchProbe = [&] {
          if (build.healthy || build.aborts || std::string_view(step) != "proving") return;
          ASSERT_TRUE(logShows("new --zuvo-update-health"));
          for (int i = 0; i < 1200 && readAll(hanging).empty(); ++i) {
            std::this_thread::sleep_for(50ms);
          }
          probeFd = static_cast<int>(::syscall(SYS_pidfd_open, std::stoi(readAll(hanging)), 0));
        };
        bool reached = killInstallerAt(installerProgram(), jobFile, step, renameOnly, watchProbe);
        if (probeFd >= 0) {
          pollfd ended{probeFd, POLLIN, 0};
          EXPECT_EQ(::poll(&ended, 1, 60000), 1) << "the probe outlived the installer";
          ::close(probeFd);
        }
        // The next start comes after the installer's probe has died with it, which on a
        // busy machine takes a moment: until then the probe still holds the job's lock.
        for (int i = 0; i < 1200 && fs::exists(jobFile.parent_path()); ++i) {
          int lock = -1;
          if (BundleSwap::lockJob(jobFile.parent_path(), lock)) {
            ::close(lock);
            break;
          }
          std::this_thread::sleep_for(50ms);
        }
        // The next start: the program's recovery, then the program at the target.
        BundleSwap::recoverInterruptedInstalls(updates);
        ASSERT_TRUE(BundleSwap::isBundleFolder(target));
        std::string probe = Uuid::random().text();
        EXPECT_TRUE(UpdateSupport::runTool(BundleSwap::programIn(target),
                                           {UpdateSupport::kHealthSwitch, probe})
                        .ok());
        EXPECT_TRUE(fs::exists(UpdateSupport::healthMarker(updates, probe)));
        bool proven = reached && build.healthy && std::string_view(step) != "waiting" &&
                      std::string_view(step) != "staged" && std::string_view(step) != "proving";
        // An installer that ran to its end installed a healthy build.
        if (!reached) proven = build.healthy;
        EXPECT_EQ(targetBuild(), proven ? 101 : 100);
        bool failedRecorded = !UpdateSupport::failedBuilds(updates).empty();
        bool failedProof = !build.healthy && (!reached || std::string_view(step) == "failed");
        EXPECT_EQ(failedRecorded, failedProof);
        EXPECT_EQ(std::distance(fs::directory_iterator(target.parent_path()), {}), 1)
            << "leftovers next to the target";
        EXPECT_FALSE(fs::exists(jobFile.parent_path()));
        table << std::left << std::setw(9) << step << "| " << std::setw(10) << build.name << "| "
              << std::setw(9) << (renameOnly ? "renames" : "atomic") << "| " << std::setw(8)
              << (reached ? "killed" : "ran out") << "| " << std::setw(13) << targetBuild() << "| "
              << (failedRecorded ? "101" : "-") << "\n";
      }
    }
  }
  std::cout << table.str();
}

TEST_F(InstallerTest, TheFailedBuildsListKeepsTwentyWithoutDuplicates) {
  for (int64_t build = 1; build <= 21; ++build) UpdateSupport::recordFailedBuild(updates, build);
  UpdateSupport::recordFailedBuild(updates, 21);
  std::vector<int64_t> builds = UpdateSupport::failedBuilds(updates);
  ASSERT_EQ(builds.size(), 20u);
  EXPECT_EQ(builds.front(), 2);
  EXPECT_EQ(builds.back(), 21);
}

}  // namespace
}  // namespace nimbra::test
