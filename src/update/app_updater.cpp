#include "update/app_updater.h"

#include <algorithm>
#include <system_error>
#include <utility>

#include <unistd.h>

#include "core/file_error.h"
#include "core/file_system.h"
#include "core/uuid.h"
#include "update/bundle_swap.h"
#include "update/code_signature.h"
#include "update/update_error.h"
#include "update/update_job.h"
#include "update/update_support.h"

namespace nimbra {

namespace fs = std::filesystem;
using UpdateSupport::updateError;

// One check from "checking" to its final phase.
struct AppUpdater::Run {
  bool manual = false;
  bool installerStarted = false;
  std::optional<fs::path> jobDirectory;
  AppUpdateRelease release;
  fs::path package;
  fs::path staged;
  CodeSignature::TrustAnchors anchors;
  // The job directory's lock, held while this run owns it so that another start of the
  // program does not take it for the leftover of a killed run.
  int lock = -1;

  void unlock() {
    if (lock >= 0) ::close(lock);
    lock = -1;
  }
  ~Run() { unlock(); }
};

AppUpdater::AppUpdater(Seams seams)
    : seams_(std::move(seams)), source_(updateSourceFor(seams_.baseUrl, seams_.running)) {}

AppUpdater::~AppUpdater() {
  cancelled_ = true;
  timer_.cancel();
  if (worker_.joinable()) worker_.join();
}

template <typename T>
void AppUpdater::background(std::function<T()> work, std::function<void(T)> then) {
  if (worker_.joinable()) worker_.join();
  std::weak_ptr<int> alive = alive_;
  MainQueue& queue = seams_.queue;
  try {
    worker_ = std::thread([work = std::move(work), then = std::move(then), alive, &queue] {
      auto result = std::make_shared<T>(work());
      queue.post([result, then, alive] {
        if (alive.lock()) then(std::move(*result));
      });
    });
  } catch (const std::system_error& e) {
    fail(Error::posix(e.code().value(), "thread"));
  }
}

AppUpdater::State AppUpdater::state() const {
  const BundleValues& values = seams_.running.values;
  return State{
      .version = values.shortVersion.value_or("—"),
      .build = values.version.value_or("—"),
      .phase = std::string(phaseText(phase_)),
      .availableVersion = availableVersion_,
      .automatic = true,
  };
}

void AppUpdater::startAutomaticChecks() {
  if (timer_.isActive()) return;
  // An installer killed in an earlier session left its job behind: settle it before
  // anything else looks at the bundle.
  if (seams_.updateDirectory) BundleSwap::recoverInterruptedInstalls(*seams_.updateDirectory);
  // A system package or a build without an update server: the page says where updates come
  // from, and nothing is asked of any server.
  if (source_ != UpdateSource::server) return;
  if (!run_) checkForUpdates(false);
  timer_ = seams_.queue.repeat(kCheckInterval, std::chrono::seconds(0),
                               [this] { checkForUpdates(false); });
}

void AppUpdater::writeHealthMarker(const std::vector<std::string>& arguments) {
  if (!seams_.updateDirectory) return;
  UpdateSupport::writeHealthMarker(arguments, *seams_.updateDirectory, state().build);
}

void AppUpdater::setPhase(UpdatePhase phase) {
  phase_ = phase;
  if (onChange_) onChange_();
}

void AppUpdater::fail(const Error&) {
  // The page learns only the phase; the error itself is not kept.
  finish(UpdatePhase::error);
}

void AppUpdater::finish(UpdatePhase phase) {
  setPhase(phase);
  endRun();
}

void AppUpdater::endRun() {
  if (run_ && !run_->installerStarted && run_->jobDirectory) {
    std::error_code ignored;
    fs::remove_all(*run_->jobDirectory, ignored);
  }
  run_.reset();
}

void AppUpdater::checkForUpdates(bool manual) {
  // The program is quitting for the installer; nothing may start after that.
  if (run_ || phase_ == UpdatePhase::installing || source_ != UpdateSource::server) return;
  run_ = std::make_unique<Run>();
  run_->manual = manual;
  setPhase(UpdatePhase::checking);
  std::optional<std::string> url =
      UpdateTransport::resolve(seams_.baseUrl, UpdateRelease::queryPath(seams_.architecture));
  if (!url) return fail(updateError(UpdateSupport::kCheckFailed));
  UpdateTransport::Options options = seams_.transport;
  background<Result<UpdateTransport::Reply>>(
      [url = *url, options, this] {
        return UpdateTransport::fetch(url, UpdateRelease::kMaxReplyBytes, options, &cancelled_);
      },
      [this](Result<UpdateTransport::Reply> reply) { judgeReply(std::move(reply)); });
}

void AppUpdater::judgeReply(Result<UpdateTransport::Reply> reply) {
  if (!reply) return fail(reply.error());
  if (reply->status == 204) return finish(UpdatePhase::current);
  if (reply->status != 200 || reply->bodyTooLong) {
    return fail(updateError(UpdateSupport::kCheckFailed));
  }
  Result<AppUpdateRelease> release = UpdateRelease::decode(reply->body);
  if (!release) return fail(release.error());
  if (!UpdateRelease::applies(*release, seams_.architecture)) return finish(UpdatePhase::current);
  int64_t runningBuild = UpdateRelease::buildNumber(seams_.running.values.version.value_or(""));
  if (release->build <= runningBuild) return finish(UpdatePhase::current);
  if (!run_->manual && seams_.updateDirectory) {
    std::vector<int64_t> failed = UpdateSupport::failedBuilds(*seams_.updateDirectory);
    if (std::find(failed.begin(), failed.end(), release->build) != failed.end() ||
        UpdateSupport::installBackingOff(*seams_.updateDirectory, release->build, seams_.now())) {
      return finish(UpdatePhase::rollback);
    }
  }
  std::optional<std::string> downloadUrl =
      UpdateTransport::acceptableDownloadUrl(release->downloadUrl, seams_.baseUrl);
  if (!downloadUrl || !UpdateRelease::sizeAcceptable(release->size)) {
    return fail(updateError(UpdateSupport::kCheckFailed));
  }
  // Only a program running from its own signed bundle may install, and only updates signed
  // by a key that bundle trusts. Anything else (the build tree, the Debian package, a copy
  // next to UpdateInstaller) stops here, before anything is downloaded or written.
  background<Result<std::optional<CodeSignature::TrustAnchors>>>(
      [running = seams_.running] { return CodeSignature::trustAnchors(running); },
      [this, release = std::move(*release), downloadUrl = std::move(*downloadUrl)](
          Result<std::optional<CodeSignature::TrustAnchors>> anchors) mutable {
        if (!anchors) return fail(anchors.error());
        if (!*anchors) return finish(UpdatePhase::permission);
        run_->anchors = std::move(**anchors);
        accept(std::move(release), std::move(downloadUrl));
      });
}

void AppUpdater::accept(AppUpdateRelease release, std::string downloadUrl) {
  availableVersion_ = release.displayVersion();
  if (!seams_.updateDirectory) return fail(Error::posix(ENOENT, "caches directory"));
  if (Status status = UpdateSupport::ensurePrivateDirectory(*seams_.updateDirectory); !status) {
    return fail(status.error());
  }
  fs::path job = *seams_.updateDirectory / Uuid::random().text();
  if (Status status = UpdateSupport::ensurePrivateDirectory(job); !status) {
    return fail(status.error());
  }
  run_->jobDirectory = job;
  (void)BundleSwap::lockJob(job, run_->lock);
  run_->release = std::move(release);
  run_->package = job / ("update." + run_->release.format());
  setPhase(UpdatePhase::downloading);
  UpdateTransport::Options options = seams_.transport;
  fs::path partial = job / "download.partial";
  background<Result<long>>(
      [downloadUrl, partial, options, this] {
        return UpdateTransport::download(downloadUrl, partial, UpdateRelease::kMaxPackageBytes,
                                         options, &cancelled_);
      },
      [this](Result<long> status) { downloaded(std::move(status)); });
}

void AppUpdater::downloaded(Result<long> status) {
  if (!status) return fail(status.error());
  if (*status != 200) return fail(updateError(UpdateSupport::kDownloadFailed));
  fs::path partial = *run_->jobDirectory / "download.partial";
  if (::rename(partial.c_str(), run_->package.c_str()) != 0) {
    return fail(fileError(errno, FileOperation::write, run_->package.string()));
  }
  setPhase(UpdatePhase::verifying);
  background<Status>(
      [package = run_->package, release = run_->release] {
        return UpdateSupport::verifyArchive(package, release);
      },
      [this](Status verified) {
        if (!verified) return fail(verified.error());
        unpack();
      });
}

void AppUpdater::unpack() {
  fs::path unpacked = *run_->jobDirectory / "unpacked";
  if (Status status = UpdateSupport::ensurePrivateDirectory(unpacked); !status) {
    return fail(status.error());
  }
  run_->staged = unpacked / Bundle::kBundleName;
  background<Status>(
      [package = run_->package, unpacked, format = run_->release.format(), staged = run_->staged,
       release = run_->release, anchors = run_->anchors,
       limits = UpdateSupport::unpackLimits(run_->release, seams_.unpackLimits)] {
        if (Status status = UpdateSupport::unpackArchive(package, unpacked, format, limits);
            !status) {
          return status;
        }
        return UpdateSupport::verifyStagedApp(staged, release, anchors);
      },
      [this](Status status) {
        if (!status) return fail(status.error());
        verified();
      });
}

void AppUpdater::verified() {
  fs::path folder = seams_.running.bundle.parent_path();
  if (!seams_.isWritable || !seams_.isWritable(folder)) return finish(UpdatePhase::permission);
  setPhase(UpdatePhase::ready);
  seams_.queue.postAfter(kReadyPause, [this, alive = std::weak_ptr<int>(alive_)] {
    if (alive.lock()) askToInstall();
  });
}

void AppUpdater::askToInstall() {
  if (canInstall_ && !canInstall_()) {
    setPhase(UpdatePhase::waiting);
    seams_.queue.postAfter(kWaitingInterval, [this, alive = std::weak_ptr<int>(alive_)] {
      if (alive.lock()) askToInstall();
    });
    return;
  }
  handOver();
}

void AppUpdater::handOver() {
  const fs::path& job = *run_->jobDirectory;
  AppUpdateJob record{
      .id = Uuid::random(),
      .parentPID = seams_.processId,
      .target = seams_.running.bundle.string(),
      .stagedApp = run_->staged.string(),
      .archive = run_->package.string(),
      .release = run_->release,
  };
  std::string text = record.encode();
  fs::path jobFile = job / kJobFile;
  auto bytes = std::span(reinterpret_cast<const uint8_t*>(text.data()), text.size());
  if (Status status = writeFileAtomically(jobFile, bytes); !status) return fail(status.error());
  if (Status status = setPermissions(jobFile, 0600); !status) return fail(status.error());

  fs::path installer = seams_.running.installer();
  Result<FileStatus> found = linkStatus(installer);
  if (!found || !found->isRegular) return fail(updateError(UpdateSupport::kInstallerMissing));
  Result<std::string> program = readFile(installer);
  if (!program) return fail(program.error());
  fs::path copy = job / Bundle::kInstallerName;
  auto programBytes = std::span(reinterpret_cast<const uint8_t*>(program->data()), program->size());
  if (Status status = createFileExclusive(copy, programBytes, 0700); !status) {
    return fail(status.error());
  }
  if (!seams_.launch) return fail(Error::posix(ENOEXEC, copy.string()));
  // The installer takes the lock over; job.json already tells a later start what to do.
  run_->unlock();
  if (Status status = seams_.launch(copy, {jobFile.string()}); !status) {
    return fail(status.error());
  }
  run_->installerStarted = true;
  setPhase(UpdatePhase::installing);
  endRun();
  if (seams_.terminate) seams_.terminate();
}

}  // namespace nimbra
